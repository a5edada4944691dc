// Reading the parsed rule file: the tokenizer and its messages, symbol
// definitions and settings, alarms, condition trees, actions and
// aggregate specifications.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <string>

#include "audit.h"
#include "error.h"
#include "stats.h"

const char *const WORD_DELIMS = " \t\r\n()=><!&,|[]";
const char *const OPERAND_DELIMS = "()=><!&,|[]";
// In an action a quote also ends a word, so that a variable written inside
// the command's quotes is still filled in.
const char *const ACTION_DELIMS = " \t\r\n()=><!&,|[]'\"";

Token token;

namespace {

char tmptoken[MAX_LINE];  // the current word
char line_info[52];       // the location prefix

void skip_blanks(char *&p) {
  while (*p == ' ' || *p == '\t') p++;
}

// Whether c (not the terminator) is one of set.
bool one_of(char c, const char *set) {
  return c != '\0' && strchr(set, c) != nullptr;
}

// A line number of a marker: digits that give 1 to INT_MAX, else 0.
int line_number(const char *s) {
  if (*s < '0' || *s > '9') return 0;
  errno = 0;
  long n = strtol(s, nullptr, 10);
  return errno == 0 && n > 0 && n <= INT_MAX ? static_cast<int>(n) : 0;
}

}  // namespace

// ---- Token

void Token::get(char *&lineptr, int more, const char *separator) {
  if (lineptr != nullptr) skip_blanks(lineptr);
  if (lineptr == nullptr || *lineptr == '\0' || *lineptr == '\n') {
    if (more == 0) error("more information expected");
    tmptoken[0] = '\0';
    ptr = tmptoken;
    lineptr = nullptr;
    return;
  }
  size_t n = 0;
  tmptoken[n++] = *lineptr++;  // the first character, whatever it is
  while (*lineptr != '\0' && !strchr(separator, *lineptr) &&
         n < sizeof tmptoken - 1)
    tmptoken[n++] = *lineptr++;
  tmptoken[n] = '\0';
  ptr = tmptoken;
}

void Token::rm_trailing_space() {
  if (ptr == nullptr) return;
  for (size_t n = strlen(ptr); n > 0; n--) {
    char c = ptr[n - 1];
    if (c != ' ' && c != '\t' && c != '\n') break;
    ptr[n - 1] = '\0';
  }
}

int Token::translate() const {
  for (int i = 0; i < N_VARIABLES; i++)
    if (strcmp(ptr, defined_var[i]) == 0 || strcmp(ptr, shorthand[i]) == 0)
      return i;
  return CONSTANT_OPERAND;
}

// Classifies the current word; an aggregate's specification is read from
// lineptr and the stored aggregate returned in data.
int Token::parse(void *&data, char *&lineptr) {
  data = nullptr;
  int code = translate();
  if (code < CONSTANT_OPERAND) return code;
  int kind = 0;
  while (kind < N_TOTALS && strcmp(ptr, tot[kind]) != 0) kind++;
  if (kind == N_TOTALS) return CONSTANT_OPERAND;

  Total fresh;
  memset(static_cast<void *>(&fresh), 0, sizeof fresh);
  int flags = fresh.parse(lineptr, static_cast<char>(kind));
  Total *stored = ALRM_table_ptr->insert_total(kind, fresh);
  // Items stay as long as the longest window of the alarms that read it.
  if (ALRM_table_ptr->get_keep() > stored->keep_time)
    stored->keep_time = ALRM_table_ptr->get_keep();
  if (ALRM_table_ptr->get_alert() > stored->keep_time)
    stored->keep_time = ALRM_table_ptr->get_alert();
  data = stored;
  return CONSTANT_OPERAND + flags;
}

// The marker "#line:W-E-N" names the rule's lines in the rule file: the
// condition runs from W to E-1, the action from E to N.
void Token::parse_cond_line_no(const char *lp) {
  first_line = last_line = 0;
  const char *hash = strrchr(lp, '#');
  if (hash == nullptr) return;
  const char *colon = strchr(hash, ':');
  if (colon == nullptr) return;
  first_line = line_number(colon + 1);
  if (first_line < 1) return;
  const char *dash = strchr(colon, '-');
  if (dash == nullptr) return;
  int end = line_number(dash + 1);
  if (end > 0) last_line = end - 1;
}

void Token::parse_action_line_no(const char *lp) {
  first_line = last_line = 0;
  const char *hash = strrchr(lp, '#');
  if (hash == nullptr) return;
  const char *dash = strchr(hash, '-');
  if (dash == nullptr) return;
  first_line = line_number(dash + 1);
  if (first_line < 1) return;
  const char *next = strchr(dash + 1, '-');
  if (next != nullptr) last_line = line_number(next + 1);
}

const char *Token::print_line_range() {
  if (first_line > 0 && last_line > 0 && first_line != last_line)
    snprintf(line_info, sizeof line_info, "lines %d-%d (parsed %d):",
             first_line, last_line, line_num);
  else if (first_line > 0 && last_line > 0)
    snprintf(line_info, sizeof line_info, "line %d (parsed %d):", first_line,
             line_num);
  else
    snprintf(line_info, sizeof line_info, "parsed line %d: ", line_num);
  return line_info;
}

void Token::error(const char *msg) {
  const char *where = print_line_range();
  if (ptr == nullptr || ptr[0] == '\0')
    err_quit("%s error near end of line, %s", where, msg);
  err_quit("%s error near %s, %s", where, ptr, msg);
}

void err_line(const char *fmt, const char *var) {
  std::string format = std::string(token.print_line_range()) + " " + fmt;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  err_quit(format.c_str(), var);
#pragma GCC diagnostic pop
}

// ---- Symbols and settings

int TableEntry::operator==(const TableEntry &b) const {
  return strcmp(symbol, b.symbol) == 0;
}

void TableEntry::remove() {
  free(symbol);
  free(value);
  symbol = value = nullptr;
}

void SymbolTable::read(char *sym, char *&lineptr) {
  std::string name = sym;  // the word buffer is reused by the next word
  skip_blanks(lineptr);
  if (*lineptr != '=') token.error("'=' expected");
  lineptr++;

  bool react = name == "react_time";
  if (!react && name != "alert_time") {
    update(name.c_str(), lineptr);
    return;
  }
  token.get(lineptr, 0, WORD_DELIMS);
  double number = a2d(token, 9, 0);  // "1e99" and "inf" fit in nine
  if (!(number > -1 && number < 2147483648.0))
    token.error(number < 0 ? "value cannot be less than 0"
                           : "value out of range");
  int value = static_cast<int>(number);
  if (value < 0) token.error("value cannot be less than 0");
  if (react) {
    ALRM_table_ptr->set_keep_action(value);
  } else {
    if (value == 0) token.error("value cannot be 0");
    ALRM_table_ptr->set_alert(value);
  }
}

char *SymbolTable::retrieve(const char *symbol) {
  for (Pix p = list.first(); p != nullptr; list.next(p))
    if (strcmp(list(p).symbol, symbol) == 0) return list(p).value;
  return nullptr;
}

// A redefinition replaces the entry in place.
void SymbolTable::update(const char *symbol, char *&lineptr) {
  Pix prev = nullptr;
  bool replaced = false;
  for (Pix p = list.first(); p != nullptr; prev = p, list.next(p)) {
    if (strcmp(list(p).symbol, symbol) == 0) {
      list(p).remove();
      list.del_after(prev);
      replaced = true;
      break;
    }
  }
  TableEntry entry;
  entry.symbol = strdup(symbol);
  entry.value = strdup(lineptr);
  if (entry.symbol == nullptr || entry.value == nullptr) memory_err();
  if (replaced) {
    list.ins_after(prev, entry);
  } else {
    list.append(entry);
    count++;
  }
}

// ---- Alarms

namespace {

char line[MAX_LINE];

// Reads the next parsed line into `line` without its line feed; false at
// the end of the file.
bool read_line(FILE *infile) {
  if (fgets(line, sizeof line, infile) == nullptr) return false;
  char *lf = strchr(line, '\n');
  if (lf == nullptr) err_line("line too long", "");
  *lf = '\0';
  return true;
}

}  // namespace

int Alarm::read(FILE *infile) {
  token.line_num++;
  if (!read_line(infile)) return -3;
  if (line[0] == '\0') err_line("there is an empty line", "");
  token.parse_cond_line_no(line);
  char *p = line;
  token.get(p, 0, WORD_DELIMS);
  if (strcmp(token, "WHEN") != 0) {
    ALRM_table_ptr->read_symbol(token, p);
    return 0;
  }

  alarm_id = ++token.cond_num;
  alarm_counts(alarm_id) = AlarmCounts();  // a rule loaded afresh counts from 0
  first_line = token.first_line;
  if (condition.read(p, "(") != -2)
    err_line("not a normal condition at %s", p);
  skip_blanks(p);
  if (*p != '\0' && *p != '#')
    err_ret("line %d: %s discarded", token.line_num, p);
  token.parse_action_line_no(p);
  last_line = token.last_line;

  token.line_num++;
  if (!read_line(infile)) err_line("action missing", "");
  p = line;
  action.read(p);
  return 1;
}

void Alarm::remove() {
  condition.remove();
  delete[] action.command;
  action.command = nullptr;
}

// ---- Conditions

void Condition::initialize() {
  alert_time = 0;
  subcond1 = subcond2 = nullptr;
  comp = nullptr;
  rule = RULE_AND;
}

// Reads "(" comparison ")" or "(" "(" cond ")" [&|] "(" cond ")" ")";
// with "[" an aggregate's condition, which a "," or "]" closes.
int Condition::read(char *&lineptr, const char *delimitor) {
  const char *closing = delimitor[0] == '[' ? "]," : ")";
  initialize();
  alert_time = ALRM_table_ptr->get_alert();
  skip_blanks(lineptr);
  if (!one_of(*lineptr, delimitor))
    err_line("delimitor expected at %s", lineptr);
  lineptr++;
  skip_blanks(lineptr);

  if (*lineptr != '(') {
    comp = new Comparison();
    comp->elemental = 1;
    char *p = lineptr;
    if (comp->read(p) != -2) {
      delete comp;
      comp = nullptr;
      rule = RULE_TRUE;  // a lone operand: the selectors of an aggregate
      return 0;
    }
    rule = RULE_COMPARISON;
    lineptr = p;
  } else {
    subcond1 = new Condition;
    subcond1->read(lineptr, "(");
    skip_blanks(lineptr);
    if (*lineptr == '&' || *lineptr == '|') {
      rule = *lineptr == '&' ? RULE_AND : RULE_OR;
      lineptr++;
      subcond2 = new Condition;
      subcond2->read(lineptr, "(");
    }
  }

  skip_blanks(lineptr);
  if (*lineptr == ',') {
    lineptr++;
    return 0;
  }
  if (!one_of(*lineptr, closing))
    err_line("closing delimitor expected at %s", lineptr);
  lineptr++;
  return -2;
}

void Condition::remove() {
  if (rule == RULE_COMPARISON && comp != nullptr) {
    comp->remove();
    delete comp;
  }
  comp = nullptr;
  for (Condition *sub : {subcond1, subcond2}) {
    if (sub == nullptr) continue;
    sub->remove();
    delete sub;
  }
  subcond1 = subcond2 = nullptr;
}

int Condition::operator==(const Condition &b) const {
  if (this == &b) return 1;
  if (rule != b.rule) return 0;
  const Condition *mine[2] = {subcond1, subcond2};
  const Condition *theirs[2] = {b.subcond1, b.subcond2};
  for (int i = 0; i < 2; i++) {
    if ((mine[i] == nullptr) != (theirs[i] == nullptr)) return 0;
    if (mine[i] != nullptr && !(*mine[i] == *theirs[i])) return 0;
  }
  if (comp != nullptr && b.comp != nullptr) return *comp == *b.comp;
  return comp == nullptr && b.comp == nullptr;
}

// ---- Aggregates

void set_flag(int var, int &flags) {
  switch (var) {
    case VAR_SRC: flags |= FLAG_SRC; break;
    case VAR_DST: flags |= FLAG_DST; break;
    case VAR_APP: flags |= FLAG_APP; break;
    case VAR_USER: flags |= FLAG_USR; break;
    case VAR_ERROR: flags |= FLAG_ERR; break;
    default: token.error("illegal array index");
  }
}

int Total::parse(char *&lineptr, char tot_type) {
  flags = tot_type << 24;
  if (Condition::read(lineptr, "[") != -2) {
    for (;;) {  // the selectors
      token.get(lineptr, 0, WORD_DELIMS);
      set_flag(token.translate(), flags);
      skip_blanks(lineptr);
      if (*lineptr == ']') {
        lineptr++;
        break;
      }
      if (*lineptr != ',') token.error("',' or ']' expected");
      lineptr++;
    }
  }
  int n = ALRM_table_ptr->total_num(tot_type) + 1;
  if (n > MAX_TOTALS) err_line("capacity for the aggregate reached", "");
  flags |= n << 8;
  db_updated = 0;
  return flags;
}

Pix TotalTable::lookup(Total &total) {
  const int seq = 0xff00;
  for (Pix p = list.first(); p != nullptr; list.next(p)) {
    Total &t = list(p);
    if ((t.flags & ~seq) == (total.flags & ~seq) &&
        t.Condition::operator==(total))
      return p;
  }
  return nullptr;
}

// Stores an aggregate, or the equal one already stored.
Total *TotalTable::insert(Total &total) {
  Pix p = lookup(total);
  if (p != nullptr) {
    total.Condition::remove();
    return &list(p);
  }
  count++;
  return &list(list.append(total));
}

// ---- Actions

namespace {

// Appends n bytes to the command being built.
void put(char *buf, size_t &pos, const void *data, size_t n) {
  if (pos + n >= MAX_LINE - 1) err_line("action command too long", "");
  memcpy(buf + pos, data, n);
  pos += n;
}

// Literal text of a command; the item markers may not appear in it, or
// the substitution would take the bytes after one for a pointer.
void put_text(char *buf, size_t &pos, const char *text, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ITEM_VARIABLE || c == ITEM_AGGREGATE) {
      char byte[8];
      snprintf(byte, sizeof byte, "0x%02x", c);
      err_line("invalid byte %s in the action", byte);
    }
  }
  put(buf, pos, text, n);
}

// A variable or aggregate word becomes an item for the substitution.
void put_item(char *buf, size_t &pos, int code, void *data) {
  char item[ITEM_SIZE];
  item[0] = code == VAR_TIME || code > CONSTANT_OPERAND ? ITEM_AGGREGATE
                                                       : ITEM_VARIABLE;
  memcpy(item + 1, &code, sizeof code);
  memcpy(item + 1 + sizeof code, &data, sizeof data);
  put(buf, pos, item, sizeof item);
}

}  // namespace

void Action::read(char *&lineptr) {
  char buf[MAX_LINE];
  size_t pos = 0;
  while (lineptr != nullptr && *lineptr != '\0') {
    char *start = lineptr;
    skip_blanks(lineptr);
    if (*lineptr == '\0') {  // trailing blanks
      put_text(buf, pos, start, lineptr - start);
    } else if (one_of(*lineptr, ACTION_DELIMS)) {
      lineptr++;
      put_text(buf, pos, start, lineptr - start);
    } else if (lineptr != start) {
      put_text(buf, pos, start, lineptr - start);
    } else {
      token.get(lineptr, 0, ACTION_DELIMS);
      std::string word = token.ptr;
      void *data;
      int code = token.parse(data, lineptr);
      if (code != CONSTANT_OPERAND) {
        put_item(buf, pos, code, data);
      } else {
        const char *value = ALRM_table_ptr->retrieve_symbol(word.c_str() + 1);
        const char *piece = value != nullptr ? value : word.c_str();
        put_text(buf, pos, piece, strlen(piece));
      }
    }
  }
  buf[pos] = '\0';
  command = new char[pos + 1];
  memcpy(command, buf, pos + 1);
  keep_time = ALRM_table_ptr->get_keep_action();
}
