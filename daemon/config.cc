// Reading a parsed rule file into a rule set, where the parsed file goes,
// and the configuration check that loads rules without starting anything.
#include <limits.h>
#include <new>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "audit.h"
#include "loadrules.h"
#include "sigfix.h"

const char *ALRM_parsed_file = nullptr;

char *parsed_name(const char *input_file) {
  static char out_file[PATH_MAX];
  if (ALRM_parsed_file != nullptr) {
    if (strlen(ALRM_parsed_file) >= sizeof out_file)
      err_quit("%s: file name too long", ALRM_parsed_file);
    snprintf(out_file, sizeof out_file, "%s", ALRM_parsed_file);
    return out_file;
  }
  // Beside the rule file, the name must fit in 99 characters.
  if (strlen(input_file) + 8 > 99) err_quit("%s: file name too long", input_file);
  snprintf(out_file, sizeof out_file, "%s.parsed", input_file);
  return out_file;
}

void AlarmTable::read_rules(const char *parsed_file) {
  ALRM_table_ptr = this;
  token.line_num = 0;  // alarm numbers and line numbers start afresh
  token.cond_num = 0;
  FILE *in = fopen(parsed_file, "r");
  if (in == nullptr) err_quit("file `%s' not available", parsed_file);
  Alarm work;
  memset(static_cast<void *>(&work), 0, sizeof work);
  int rc;
  while ((rc = work.read(in)) != -3)
    if (rc == 1) AlarmList.append(work);  // the list takes over its parts
  if (AlarmList.empty()) err_quit("no alarm read, the program quits");
  fclose(in);
}

namespace {

// Node for node, so pointers into either list stay good.
template <class T>
void swap_list(SLList<T> &a, SLList<T> &b) {
  SLList<T> tmp;
  tmp.join(a);
  a.join(b);
  b.join(tmp);
}

template <class T>
void swap_value(T &a, T &b) {
  T tmp = a;
  a = b;
  b = tmp;
}

}  // namespace

void AlarmTable::swap_rules(AlarmTable &other) {
  swap_list(AlarmList, other.AlarmList);
  swap_list(symbol_table.list, other.symbol_table.list);
  swap_value(symbol_table.count, other.symbol_table.count);
  for (int kind = 0; kind < N_TOTALS; kind++) {
    swap_list(total_table[kind].list, other.total_table[kind].list);
    swap_value(total_table[kind].count, other.total_table[kind].count);
  }
  swap_value(alert_time, other.alert_time);
  swap_value(keep_action, other.keep_action);
}

void check_config(const char *input_file) {
  AlarmTable rules;
  load_rules(rules, input_file);
}
