// Reloading the rule file on SIGHUP.  A child runs twparser and loads the
// new rules first, so a broken file costs the child, never the daemon: the
// running rules stay and the child's message says why.  Only when the child
// loaded everything does the daemon read the same parsed file into a new
// rule set and switch to it.  The history store and table stay as they are.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>


#include "audit.h"
#include "daemon.h"
#include "loadrules.h"

volatile sig_atomic_t reload_requested;

namespace {

// 1 when a child loaded the rule file completely, twparser included.
int rules_load(const char *input_file) {
  fflush(nullptr);  // nothing buffered is written twice
  pid_t pid = fork();
  if (pid < 0) {
    err_ret("can't fork to check the rule file");
    return 0;
  }
  if (pid == 0) {
    ALRM_close_history = nullptr;  // the daemon's history files are not the child's
    AlarmTable rules;
    load_rules(rules, input_file);
    _exit(0);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return 0;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

const char *ALRM_rule_file = "./tollwatch.conf";

void reload_rules(AlarmTable &table) {
  const char *input_file = ALRM_rule_file;
  if (!reload_requested) return;
  reload_requested = 0;
  reopen_trace();
  if (!rules_load(input_file)) {
    errno = 0;
    err_ret("reload of %s failed, the running rules stay", input_file);
    return;
  }
  {
    AlarmTable fresh;  // takes the old rules away, not the history store
    fresh.read_rules(parsed_name(input_file));
    table.swap_rules(fresh);
  }
  ALRM_table_ptr = &table;
  char msg[300];
  snprintf(msg, sizeof msg, "rules reloaded from %s", input_file);
  SYSLOG(LOG_NOTICE, msg);
}
