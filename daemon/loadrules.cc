// Loading a rule file: twparser, then the parsed file read alarm by alarm.
#include "loadrules.h"

#include <signal.h>
#include <new>

#include "error.h"
#include "sigfix.h"

void load_rules(AlarmTable &table, const char *input_file) {
  ALRM_table_ptr = &table;
  std::set_new_handler(memory_err);
  install_handler(SIGSEGV, internal_error);

  table.read_rules(first_pass(input_file));
}
