// Loading a rule file: twparser, then the parsed file read alarm by alarm.
#include "loadrules.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include "error.h"
#include "sigfix.h"

void load_rules(AlarmTable &table, const char *input_file) {
  ALRM_table_ptr = &table;
  std::set_new_handler(memory_err);
  install_handler(SIGSEGV, internal_error);

  const char *parsed = first_pass(input_file);
  FILE *in = fopen(parsed, "r");
  if (in == nullptr) err_quit("file `%s' not available", parsed);
  Alarm work;
  memset(static_cast<void *>(&work), 0, sizeof work);
  int rc;
  while ((rc = work.read(in)) != -3)
    if (rc == 1) table.AlarmList.append(work);  // the list takes over its parts
  if (table.AlarmList.empty()) err_quit("no alarm read, the program quits");
  fclose(in);
}
