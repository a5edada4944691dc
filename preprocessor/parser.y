%{
// Grammar of the rule language.  Each definition is written out as soon
// as it is complete; each alarm's condition is normalised (no negation
// left) and printed when its closing parenthesis is read, its action
// assembled token by token and written after END.
#include <string.h>

#include "yyaux.h"

#define YYMALLOC tw_alloc
#define YYFREE tw_free
#define YY_(msg) parser_message(msg)

static const char *parser_message(const char *msg);
static void write_condition(Condition *c);
static void print_body(Condition *c, char *index_list);

static int first_line;   // line of WHEN
static int action_line;  // first line of the action
%}

%code requires {
#include "yyaux.h"
}

%union {
  char *str;
  int op;
  Condition *cond;
}

%token WHEN EXEC END VALUE
%token INDEX_VARIABLE FIELD VARIABLE AGGREGATE WORD REFERENCE OTHER
%token AND OR NOT EQ NE LT GT LE GE

%type <str> operand index_operand variable words index_list aggregate
%type <op> relation
%type <cond> condition comparison index_condition index_comparison

%left OR
%left AND
%precedence NOT

%%

rule_file
  : { start_save(); } statements
  ;

statements
  : %empty
  | statements definition
  | statements alarm
  ;

definition
  : WORD { save_str(atom); } '=' { save_str("="); } VALUE
      { end_pattern(); end_cmd(); }
  ;

alarm
  : WHEN { first_line = lineno; } '(' condition ')' { write_condition($4); }
    EXEC { action_line = lineno; start_save(); } action_items END
      {
        fprintf(yyout, " #line:%d-%d-%d\n", first_line, action_line,
                lineno - 1);
        end_cmd();
      }
  ;

condition
  : condition OR condition   { $$ = new_node(COND_OR, $1, $3); }
  | condition AND condition  { $$ = new_node(COND_AND, $1, $3); }
  | NOT condition            { $$ = $2; $$->negate = !$$->negate; }
  | '(' condition ')'        { $$ = $2; }
  | comparison
  ;

comparison
  : operand relation operand { $$ = new_leaf($1, $2, $3); }
  ;

relation
  : EQ { $$ = EQU; }
  | NE { $$ = NEQ; }
  | GT { $$ = GTH; }
  | GE { $$ = GEQ; }
  | LT { $$ = LTH; }
  | LE { $$ = LEQ; }
  ;

operand
  : REFERENCE { $$ = xstrdup(atom); }
  | words
  | variable
  | aggregate
  ;

variable
  : INDEX_VARIABLE { $$ = xstrdup(atom); }
  | VARIABLE       { $$ = xstrdup(atom); }
  ;

aggregate
  : AGGREGATE { start_cond(); save_cond_buf(atom); save_cond_buf("["); }
    '[' aggregate_body ']'
      { save_cond_buf("]"); $$ = xstrdup(cond_text()); }
  ;

aggregate_body
  : index_condition                { print_body($1, nullptr); }
  | index_list                     { print_body(nullptr, $1); }
  | index_condition ',' index_list { print_body($1, $3); }
  ;

index_condition
  : index_condition OR index_condition  { $$ = new_node(COND_OR, $1, $3); }
  | index_condition AND index_condition { $$ = new_node(COND_AND, $1, $3); }
  | NOT index_condition                 { $$ = $2; $$->negate = !$$->negate; }
  | '(' index_condition ')'             { $$ = $2; }
  | index_comparison
  ;

index_comparison
  : index_operand relation index_operand { $$ = new_leaf($1, $2, $3); }
  ;

index_operand
  : REFERENCE { $$ = xstrdup(atom); }
  | words
  | variable
  ;

words
  : WORD       { $$ = xstrdup(atom); }
  | words WORD { $$ = xjoin($1, " ", atom); }
  ;

index_list
  : INDEX_VARIABLE                { $$ = xstrdup(atom); }
  | index_list ',' INDEX_VARIABLE { $$ = xjoin($1, ",", atom); }
  ;

action_items
  : %empty
  | action_item action_items
  ;

action_item
  : FIELD     { save_str(atom); }
  | REFERENCE { save_str(atom); }
  | WORD      { save_str(atom); }
  | OTHER     { save_str(atom); }
  | variable  { save_str($1); tw_free($1); }
  | aggregate { save_str($1); tw_free($1); }
  | AND       { save_str("&"); }
  | OR        { save_str("|"); }
  | NOT       { save_str("!"); }
  | relation  { save_str(operator_str[$1]); }
  | '('       { save_str("("); }
  | ')'       { save_str(")"); }
  | '['       { save_str("["); }
  | ']'       { save_str("]"); }
  | ','       { save_str(","); }
  | '='       { save_str("="); }
  ;

%%

// Stack growth past its limit is reported in the words administrators
// know from earlier versions of the preprocessor's messages.
static const char *parser_message(const char *msg) {
  return strcmp(msg, "memory exhausted") == 0 ? "yacc stack overflow" : msg;
}

static void write_condition(Condition *c) {
  treat_neg(c);
  start_cond();
  print_cond(c, 1);
  rm_cond(c);
  fprintf(yyout, "WHEN %s", cond_text());
}

// An aggregate's body: its condition without outer brackets, then its
// index list.
static void print_body(Condition *c, char *index_list) {
  if (c != nullptr) {
    treat_neg(c);
    print_cond(c, 0);
  }
  if (c != nullptr && index_list != nullptr) save_cond_buf(",");
  save_cond_buf(index_list);
  tw_free(index_list);
  rm_cond(c);
}
