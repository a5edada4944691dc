// Reading comparisons, their constants, lists and intervals from the
// parsed rule file; the number conversion used by the whole loader.
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <climits>

#include "audit.h"
#include "error.h"

const char *const op[6] = {"==", "<=", ">=", "<", ">", "!="};

namespace {

const char *const kRangeWord = " \t\r\n";   // a bound outside braces
const char *const kLowerWord = "- \t\r\n";  // the lower bound in braces
const char *const kUpperWord = "} \t\r\n";  // the upper bound in braces

const char *const WeekDays[7] = {"Sun", "Mon", "Tue", "Wed",
                                 "Thu", "Fri", "Sat"};
const char *const Months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void skip_blanks(char *&p) {
  while (p && (*p == ' ' || *p == '\t')) ++p;
}

// Truncation toward zero; a value no int can hold gives INT_MIN, as the
// hardware conversion does, so that range checks refuse it.
int trunc_int(double d) {
  if (!(d > static_cast<double>(INT_MIN) - 1 &&
        d < static_cast<double>(INT_MAX) + 1))
    return INT_MIN;
  return static_cast<int>(d);
}

int is_host_var(int v) { return v == VAR_SRC || v == VAR_DST; }

int is_eq_or_ne(int oper) { return oper == OP_EQ || oper == OP_NE; }

// Swaps the direction of an operator whose operands change sides.
int mirror(int oper) {
  switch (oper) {
    case OP_LE: return OP_GE;
    case OP_GE: return OP_LE;
    case OP_LT: return OP_GT;
    case OP_GT: return OP_LT;
    default: return oper;
  }
}

int *new_int(int v) {
  int *p = static_cast<int *>(malloc(sizeof(int)));
  *p = v;
  return p;
}

double *new_double(double v) {
  double *p = static_cast<double *>(malloc(sizeof(double)));
  *p = v;
  return p;
}

host *new_host(char *text) {
  host *h = static_cast<host *>(calloc(1, sizeof(host)));
  char *p = text;
  GetHostAndMask(p, h, token.line_num);
  return h;
}

Condition *new_condition() {
  Condition *c = new Condition;
  c->initialize();
  return c;
}

// The port of a service for one protocol, or -1 when it has none.
int service_port(const char *name, const char *proto) {
  struct servent *s = getservbyname(name, proto);
  return s ? ntohs(static_cast<uint16_t>(s->s_port)) : -1;
}

// Port code of a service name known to tcp, udp or both.
int service_code(char *name) {
  int tcp = service_port(name, "tcp");
  int udp = service_port(name, "udp");
  if (tcp >= 0 && udp >= 0) {
    if (tcp != udp) err_dump("%s has different port nos.", name);
    return tcp + 65536;
  }
  if (tcp >= 0) return tcp;
  if (udp >= 0) return -udp;
  err_line("port not found for the '%s' protocol", name);
}

// One field of a time of day ("8" of "8:05"), at most two characters.
int time_field(const char *word, const char *field, int len, const char *what) {
  if (len > 2) err_line(what, word);
  char buf[3] = {0, 0, 0};
  memcpy(buf, field, static_cast<size_t>(len));
  return trunc_int(a2d(buf, 2, 0));
}

// Index of word in names, or -1.
int name_index(const char *word, const char *const *names, int n) {
  for (int i = 0; i < n; ++i)
    if (strcmp(word, names[i]) == 0) return i;
  return -1;
}

}  // namespace

// ---- Number conversion and ports

double a2d(const char *str, int len, int no_quit) {
  if (strlen(str) > static_cast<size_t>(len))
    err_line("number %s is too long", str);
  char *end;
  double d = strtod(str, &end);
  if (*end && !no_quit) err_line("%s is not numeric", str);
  return d;
}

int get_port(char *data) {
  double d = a2d(data, 9, 1);
  if (!(d > -1 && d < 65536)) err_line("port out of range at %s", data);
  int n = static_cast<int>(d);
  if (n == 0) return service_code(data);
  const char *slash = strchr(data, '/');
  if (!slash) return n + 65536;
  return slash[1] == 'u' ? -n : n;
}

// ---- Reading a comparison

int Comparison::read(char *&lineptr) {
  char *text0 = get_operand(0, lineptr);
  if (text0 && text0[0] == '|')
    err_ret("Maybe parentheses are forgotten for a term");
  skip_blanks(lineptr);
  if (*lineptr == '&' || *lineptr == ',' || *lineptr == ']') {
    free(text0);
    return operandtype[0];
  }
  comp_operator = get_operator(lineptr);
  char *text1 = get_operand(1, lineptr);
  char *text = text1;
  if (operandtype[0] == CONSTANT_OPERAND) {  // keep the constant right
    operandtype[0] = operandtype[1];
    operand[0] = operand[1];
    operandtype[1] = CONSTANT_OPERAND;
    operand[1] = nullptr;
    comp_operator = mirror(comp_operator);
    text = text0;
  }
  if (operandtype[1] != CONSTANT_OPERAND) {
    elemental = 1;
    constant_length = 0;
    if (!check_consistency()) token.error("inconsistent operands");
  } else if (text[0] == '{' || strchr(text, ' ')) {
    if (!is_eq_or_ne(comp_operator)) token.error("'==' or '!=' expected");
    elemental = 0;
    constant_length = 0;
    Condition *list = new_condition();
    operand[1] = list;
    list->parse_list(operandtype[0], text);
  } else {
    elemental = 1;
    set_constant(text, 1);
  }
  free(text0);
  free(text1);
  return -2;
}

char *Comparison::get_operand(int index, char *&lineptr) {
  token.get(lineptr, 0, OPERAND_DELIMS);
  token.rm_trailing_space();
  operand[index] = nullptr;
  if (token.ptr[0] == '$') {
    const char *value = ALRM_table_ptr->retrieve_symbol(token.ptr + 1);
    if (!value) token.error("symbol not found");
    operandtype[index] = CONSTANT_OPERAND;
    return strdup(value);
  }
  operandtype[index] = token.parse(operand[index], lineptr);
  return operandtype[index] == CONSTANT_OPERAND ? strdup(token.ptr) : nullptr;
}

int Comparison::get_operator(char *&lineptr) {
  for (int i = 0; i < 6; ++i) {
    size_t len = strlen(op[i]);
    if (strncmp(lineptr, op[i], len) == 0) {
      lineptr += len;
      return i;
    }
  }
  token.error(" relational operator expected");
}

// ---- Constants

void Comparison::set_constant(char *data, int const_index) {
  operandtype[const_index] = CONSTANT_OPERAND;
  if (!*data) token.error("value=null");
  int var = operandtype[1 - const_index];
  void *value;
  if (is_host_var(var)) {
    if (!is_eq_or_ne(comp_operator)) token.error("'==' or '!=' expected");
    value = new_host(data);
    constant_length = 12;  // type, ip and mask of the address variant
  } else if (var == VAR_APP) {
    value = new_int(get_port(data));
    constant_length = sizeof(int);
  } else if (var == VAR_USER) {
    if (!is_eq_or_ne(comp_operator)) token.error("'==' or '!=' expected");
    value = strdup(data);
    constant_length = static_cast<int>(strlen(data)) + 1;
  } else if (var == VAR_ERROR) {
    value = new_int(trunc_int(a2d(data, 9, 0)));
    constant_length = sizeof(int);
  } else if (var == CONSTANT_OPERAND) {
    token.error(" both operands are constant");
  } else if (var > CONSTANT_OPERAND) {
    value = new_double(a2d(data, 15, 0));
    constant_length = sizeof(double);
  } else {
    token.error("variable not allowed in the condition");
  }
  operand[const_index] = value;
}

void Comparison::set_by_list(int var0, int oper, char *ptr1, char *ptr0) {
  operandtype[0] = var0;
  operand[0] = ptr0;
  comp_operator = oper;
  elemental = 1;
  set_constant(ptr1, 1);
}

void Comparison::set_interval(int variable, char *&lineptr) {
  void *range;
  if (variable == VAR_APP) {
    AppRange *r = new AppRange;
    r->parse(lineptr);
    range = r;
    constant_length = sizeof(AppRange);
  } else if (variable == VAR_TIME) {
    TimeRange *r = new TimeRange;
    r->parse(lineptr);
    range = r;
    constant_length = sizeof(TimeRange);
  } else {
    Range *r = new Range(0, 65535);
    r->parse(lineptr, 1);
    range = r;
    constant_length = sizeof(Range);
  }
  comp_operator = OP_IN_RANGE;
  elemental = 1;
  operandtype[0] = variable;
  operandtype[1] = CONSTANT_OPERAND;
  operand[0] = nullptr;
  operand[1] = range;
}

// A list constant: one equality test per blank-separated item, or'ed
// together to the right.
void Condition::parse_list(int variable, char *lineptr) {
  char *copy = strdup(lineptr);
  char *p = copy;
  rule = RULE_OR;
  subcond1 = new_condition();
  subcond1->rule = RULE_COMPARISON;
  subcond1->comp = new Comparison();
  subcond1->comp->elemental = 1;
  skip_blanks(p);
  if (variable == VAR_TIME ||
      ((variable == VAR_APP || variable == VAR_ERROR) && *p == '{')) {
    subcond1->comp->set_interval(variable, p);
  } else {
    token.get(p, -3, WORD_DELIMS);
    subcond1->comp->set_by_list(variable, OP_EQ, token.ptr, nullptr);
  }
  skip_blanks(p);
  if (p && *p) {
    subcond2 = new_condition();
    subcond2->parse_list(variable, p);
  }
  free(copy);
}

int Comparison::check_consistency() const {
  if (operandtype[0] > CONSTANT_OPERAND && operandtype[1] > CONSTANT_OPERAND)
    return 1;
  if (is_host_var(operandtype[0])) return is_host_var(operandtype[1]);
  return operandtype[0] == operandtype[1];
}

// ---- Freeing and equality

void Comparison::remove() {
  if (!elemental) {
    Condition *list = static_cast<Condition *>(operand[1]);
    if (list) {
      list->remove();
      delete list;
    }
  } else if (operandtype[1] == CONSTANT_OPERAND && operand[1]) {
    if (comp_operator == OP_IN_RANGE) {
      if (operandtype[0] == VAR_TIME)
        delete static_cast<TimeRange *>(operand[1]);
      else
        delete static_cast<Range *>(operand[1]);
    } else {
      host *h = static_cast<host *>(operand[1]);
      if (is_host_var(operandtype[0]) && h->type == 1) delete[] h->n.name;
      free(operand[1]);
    }
  }
  operand[1] = nullptr;
}

int Comparison::operator==(const Comparison &b) const {
  if (this == &b) return 1;
  if (elemental != b.elemental || operandtype[0] != b.operandtype[0] ||
      operandtype[1] != b.operandtype[1] ||
      constant_length != b.constant_length ||
      comp_operator != b.comp_operator)
    return 0;
  const void *mine = operand[1];
  const void *theirs = b.operand[1];
  if (!elemental) {
    if (!mine || !theirs) return mine == theirs;
    return *static_cast<const Condition *>(mine) ==
           *static_cast<const Condition *>(theirs);
  }
  const host *h = static_cast<const host *>(mine);
  if (is_host_var(operandtype[0]) && operandtype[1] == CONSTANT_OPERAND &&
      h && h->type == 1) {
    const host *g = static_cast<const host *>(theirs);
    return g && g->type == 1 && h->n.exact == g->n.exact &&
           h->n.len == g->n.len && strcmp(h->n.name, g->n.name) == 0;
  }
  if (mine && theirs)
    return memcmp(mine, theirs, static_cast<size_t>(constant_length)) == 0;
  return !mine && !theirs;
}

// ---- Ranges

int Range::translate(char *ptr) { return trunc_int(a2d(ptr, 5, 0)); }

int WeekDayRange::translate(char *ptr) {
  int i = name_index(ptr, WeekDays, 7);
  if (i < 0) err_line("%s is not in 'Sun' - 'Sat'", ptr);
  return i;
}

int MonthRange::translate(char *ptr) {
  int i = name_index(ptr, Months, 12);
  if (i < 0) err_line("%s is not in 'Jan' - 'Dec'", ptr);
  return i;
}

// "hh:mm" as minutes of the day.
int MinuteRange::translate(char *ptr) {
  const char *colon = strchr(ptr, ':');
  if (!colon) err_line("':' expected when parse %s as time", ptr);
  int hours = time_field(ptr, ptr, static_cast<int>(colon - ptr),
                         "hour field at %s too long");
  if (hours > 23) err_line("hours at %s should be in {0-23}", ptr);
  int minutes = time_field(ptr, colon + 1, static_cast<int>(strlen(colon + 1)),
                           "minute field at %s too long");
  if (minutes >= 60) err_line("minutes at %s should be in {0-59}", ptr);
  return hours * 60 + minutes;
}

// A lone '-' is the whole range; it is consumed.
int Range::check_dash(char *&lineptr) {
  skip_blanks(lineptr);
  if (*lineptr != '-') return 0;
  ++lineptr;
  low = min_value;
  high = max_value;
  return 1;
}

// One range: '-', a single value, or braces around optional bounds
// separated by '-'.
void Range::parse(char *&lineptr, int check_order) {
  if (check_dash(lineptr)) return;
  const char *start = lineptr;  // named in the messages
  if (*lineptr != '{') {
    token.get(lineptr, 0, kRangeWord);
    low = high = translate(token.ptr);
    if (low < min_value || low > max_value)
      err_line("%s is out of range", start);
    return;
  }
  ++lineptr;
  skip_blanks(lineptr);
  if (*lineptr == '-') {
    low = min_value;
  } else {
    token.get(lineptr, 0, kLowerWord);
    low = translate(token.ptr);
    skip_blanks(lineptr);
    if (*lineptr != '-') err_line("'-' missing at %s", start);
  }
  ++lineptr;
  if (low < min_value || low > max_value)
    err_line("lower limit at %s out of range", start);
  skip_blanks(lineptr);
  if (*lineptr == '}') {
    high = max_value;
  } else {
    token.get(lineptr, 0, kUpperWord);
    high = translate(token.ptr);
    skip_blanks(lineptr);
    if (*lineptr != '}') err_line("'}' missing at %s", start);
  }
  ++lineptr;
  if (check_order && high < low)
    err_line("upper limit at %s is < lower limit", start);
  if (high > max_value || high < min_value)
    err_line("upper limit at %s out of range", start);
}

// A port range, then "/udp", "/tcp" or nothing (either protocol).
void AppRange::parse(char *&lineptr) {
  Range::parse(lineptr, 1);
  skip_blanks(lineptr);
  if (*lineptr != '/') {
    low += 65536;
    high += 65536;
  } else if (strncmp(lineptr + 1, "udp", 3) == 0) {
    low = -low;
    high = -high;
    lineptr += 4;
  } else if (strncmp(lineptr + 1, "tcp", 3) == 0) {
    lineptr += 4;
  } else {
    err_line("error near %s, protocol expected", lineptr);
  }
}

// Week days, months, days of month, times of day, years.
void TimeRange::parse(char *&lineptr) {
  week_days.parse(lineptr, 1);
  months.parse(lineptr, 1);
  days.parse(lineptr, 1);
  minutes.parse(lineptr, 1);
  years.parse(lineptr, 1);
}
