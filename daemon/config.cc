// Reading a parsed rule file into a rule set, where the parsed file goes,
// and the configuration check that loads rules without starting anything
// and warns of commands that could grow past what the shell can be given.
#include <errno.h>
#include <limits.h>
#include <new>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "audit.h"
#include "loadrules.h"
#include "sigfix.h"

extern char **environ;

const char *ALRM_parsed_file = nullptr;

namespace {

bool check_lengths;  // the configuration check warns of commands too long

// The longest command line the shell can be started with here: a single
// argument holds at most 32 pages with its terminator, and the shell's
// arguments with this environment and their pointers fit within the
// system's argument limit.
size_t command_room() {
  size_t one = 32 * static_cast<size_t>(sysconf(_SC_PAGESIZE)) - 1;
  size_t used = sizeof "sh" + sizeof "-c" + 1 + 4 * sizeof(char *);
  for (char **e = environ; *e != nullptr; e++)
    used += strlen(*e) + 1 + sizeof(char *);
  long arg_max = sysconf(_SC_ARG_MAX);
  size_t all = arg_max > 0 && static_cast<size_t>(arg_max) > used
                   ? static_cast<size_t>(arg_max) - used
                   : 0;
  return all < one ? all : one;
}

// Names the lines of an action whose values, each at the longest the table
// allows, could make a line the shell cannot be started with.
void warn_if_long(const Action &action) {
  static size_t room = command_room();
  size_t n = action.longest();
  if (n <= room) return;
  errno = 0;
  err_ret("%s command may expand to %zu bytes, over the argument limit of %zu",
          token.print_line_range(), n, room);
}

}  // namespace

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
  while ((rc = work.read(in)) != -3) {
    if (rc != 1) continue;
    if (check_lengths) warn_if_long(work.action);
    AlarmList.append(work);  // the list takes over its parts
  }
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
  check_lengths = true;
  load_rules(rules, input_file);
}
