// The writer: statement and condition texts, condition trees and their
// negation-free printed form, and the lines of the parsed rule file.
#include "yyaux.h"

#include <string.h>

#include "error.h"

const char *const operator_str[] = {"==", "!=", "<=", "<", ">=", ">"};
const int neg[] = {NEQ, EQU, GTH, GEQ, LTH, LEQ};

namespace {

char save_buf[kSaveMax + 1];
size_t savebp;  // end of the statement text
char cond_buf[kCondSize];
size_t cond_bp;  // end of the condition text

// Appends n bytes to the statement text, which never grows beyond the
// longest line the daemon reads.
void save_bytes(const char *s, size_t n) {
  if (savebp + n > kSaveMax) err_quit("line %d: statement too long", lineno);
  memcpy(save_buf + savebp, s, n);
  savebp += n;
  save_buf[savebp] = '\0';
}

}  // namespace

void start_save() {
  savebp = 0;
  save_buf[0] = '\0';
}

void save_str(const char *s) { save_bytes(s, strlen(s)); }

// Appends one line of a definition's value; the backslash of a continued
// line becomes a blank.  Returns 1 when the value is complete.
int save_pattern(const char *s) {
  const char *lf = strchr(s, '\n');
  if (lf == nullptr) err_quit("internal error: LF missing in %s", s);
  save_bytes(s, lf - s);
  if (lf != s && lf[-1] == '\\') {
    save_buf[savebp - 1] = ' ';
    return 0;
  }
  return 1;
}

void end_cmd() {
  for (size_t i = 0; i < savebp; i++)
    putc(save_buf[i] == '\n' ? ';' : save_buf[i], yyout);
  putc('\n', yyout);
  start_save();
}

void start_cond() {
  cond_bp = 0;
  cond_buf[0] = '\0';
}

// Stops the run when n more characters would not fit the condition text.
static void check_cond_room(size_t n) {
  if (cond_bp + n >= kCondSize) err_quit("line too long in %s\n", cond_buf);
}

void save_cond_buf(const char *s) {
  if (s == nullptr) return;
  size_t n = strlen(s);
  check_cond_room(n);
  memcpy(cond_buf + cond_bp, s, n + 1);
  cond_bp += n;
}

const char *cond_text() { return cond_buf; }

// The comparison goes in whole or not at all.
void print_comp(const Comparison *c) {
  const char *op = operator_str[c->op];
  check_cond_room(strlen(c->expr1) + strlen(op) + strlen(c->expr2));
  save_cond_buf(c->expr1);
  save_cond_buf(op);
  save_cond_buf(c->expr2);
}

void print_cond(const Condition *c, int parenthesis) {
  if (c == nullptr) return;
  if (c->negate) save_cond_buf("!");
  if (parenthesis) save_cond_buf("(");
  switch (c->rule) {
    case COND_COMPARISON:
      print_comp(c->comparison);
      break;
    case COND_AND:
    case COND_OR:
      print_cond(c->cond1, 1);
      save_cond_buf(c->rule == COND_AND ? "&" : "|");
      print_cond(c->cond2, 1);
      break;
    default:
      err_quit("wrong condition rule to print");
  }
  if (parenthesis) save_cond_buf(")");
}

Condition *new_leaf(char *expr1, int op, char *expr2) {
  Comparison *cmp = static_cast<Comparison *>(xmalloc(sizeof *cmp));
  cmp->op = op;
  cmp->expr1 = expr1;
  cmp->expr2 = expr2;
  Condition *c = new_node(COND_COMPARISON, nullptr, nullptr);
  c->comparison = cmp;
  return c;
}

Condition *new_node(int rule, Condition *cond1, Condition *cond2) {
  Condition *c = static_cast<Condition *>(xmalloc(sizeof *c));
  c->rule = rule;
  c->negate = 0;
  c->comparison = nullptr;
  c->cond1 = cond1;
  c->cond2 = cond2;
  return c;
}

// Pushes every negation down onto the comparisons (De Morgan), so the
// printed condition holds no "!".
void treat_neg(Condition *c) {
  if (c == nullptr) return;
  if (c->negate) {
    switch (c->rule) {
      case COND_COMPARISON:
        c->comparison->op = neg[c->comparison->op];
        break;
      case COND_AND:
      case COND_OR:
        c->rule = c->rule == COND_AND ? COND_OR : COND_AND;
        c->cond1->negate = !c->cond1->negate;
        c->cond2->negate = !c->cond2->negate;
        break;
      default:
        err_quit("unknown negation");
    }
    c->negate = 0;
  }
  if (c->rule == COND_AND || c->rule == COND_OR) {
    treat_neg(c->cond1);
    treat_neg(c->cond2);
  }
}

void rm_comp(Comparison *c) {
  tw_free(c->expr1);
  tw_free(c->expr2);
  tw_free(c);
}

void rm_cond(Condition *c) {
  if (c == nullptr) return;
  switch (c->rule) {
    case COND_COMPARISON:
      rm_comp(c->comparison);
      break;
    case COND_AND:
    case COND_OR:
      rm_cond(c->cond1);
      rm_cond(c->cond2);
      break;
    default:
      err_quit("unknown rule when free memory");
  }
  tw_free(c);
}

void *xmalloc(size_t n) {
  void *p = tw_alloc(n);
  if (p == nullptr) err_quit("malloc error");
  return p;
}

char *xstrdup(const char *s) {
  size_t n = strlen(s) + 1;
  return static_cast<char *>(memcpy(xmalloc(n), s, n));
}

char *xjoin(char *left, const char *sep, const char *right) {
  size_t a = strlen(left), b = strlen(sep), c = strlen(right);
  char *out = static_cast<char *>(xmalloc(a + b + c + 1));
  memcpy(out, left, a);
  memcpy(out + a, sep, b);
  memcpy(out + a + b, right, c + 1);
  tw_free(left);
  return out;
}
