// twparser's shared state: the scanner's line count and modes, the
// condition trees the grammar builds, and the writer that assembles
// statements and condition texts and prints them as parsed-file lines.
#ifndef TW_YYAUX_H
#define TW_YYAUX_H

#include <stddef.h>
#include <stdio.h>

// Condition node kinds; a negation is a flag on a node, never a node.
enum { COND_COMPARISON, COND_NOT, COND_AND, COND_OR };

// Operator codes, indexes of operator_str and neg.
enum { EQU, NEQ, LEQ, LTH, GEQ, GTH };

struct Comparison {
  int op;       // operator code
  char *expr1;  // operand texts, owned
  char *expr2;
};

struct Condition {
  int rule;     // COND_COMPARISON, COND_AND or COND_OR
  int negate;
  Comparison *comparison;  // leaves only
  Condition *cond1;        // "and"/"or" children
  Condition *cond2;
};

extern const char *const operator_str[];  // spelling of each operator
extern const int neg[];                   // complement of each operator

// Limits: the daemon reads lines of up to 510 characters; printed
// conditions and aggregates hold at most 127; a token at most 79.
constexpr size_t kSaveMax = 510;
constexpr size_t kCondSize = 128;
constexpr size_t kAtomSize = 80;

// Scanner state.
extern int lineno;        // line being read, from 1
extern int cond_mode;     // between WHEN and EXEC: line breaks allowed
extern int action_mode;   // between EXEC and END: blanks go to the action
extern int pattern_mode;  // after a definition's "="
extern char atom[kAtomSize];  // text of the last token that has one
extern FILE *yyin, *yyout;

int yylex();
[[noreturn]] void yyerror(const char *msg);
void begin_pattern();
void end_pattern();
int yyparse();

// Statement text: a definition or an action being assembled.
void start_save();
void save_str(const char *s);
int save_pattern(const char *s);
void end_cmd();

// Condition text: a printed condition or aggregate being assembled.
void start_cond();
void save_cond_buf(const char *s);
const char *cond_text();
void print_comp(const Comparison *c);
void print_cond(const Condition *c, int parenthesis);

// Condition trees.
Condition *new_leaf(char *expr1, int op, char *expr2);
Condition *new_node(int rule, Condition *cond1, Condition *cond2);
void treat_neg(Condition *c);
void rm_comp(Comparison *c);
void rm_cond(Condition *c);

// Memory of trees and operand texts.  tw_alloc returns null on failure;
// the x-functions stop the run with "malloc error" instead.
void *tw_alloc(size_t n);
void tw_free(void *p);
void *xmalloc(size_t n);
char *xstrdup(const char *s);
char *xjoin(char *left, const char *sep, const char *right);  // frees left

#endif  // TW_YYAUX_H
