// Start-up and life of the daemon process: detaching, the trace file,
// reloading the rules, and following the connection table through a
// proxy restart.
#ifndef TW_DAEMON_H
#define TW_DAEMON_H

#include <signal.h>

class AlarmTable;

// Detached child: the start-up went well (rules loaded, history open,
// table attached).  The waiting parent exits 0; the standard descriptors
// go to /dev/null, standard error to the trace file when there is one.
// Nothing in the foreground.
void daemon_ready();

// Opens the trace file for appending without following a symbolic link,
// created 0600; it must be a regular file of this user.  It becomes
// standard error once the daemon is ready.  Failure stops the process.
void open_trace(const char *path);
// Opens the trace file again (after it was moved away); on failure the
// old one stays and the reason is logged.
void reopen_trace();

// Set by SIGHUP; reload_rules acts on it between records.
extern volatile sig_atomic_t reload_requested;
void reload_signal(int sig);
// The rule file the daemon loaded, loaded again on SIGHUP.
extern const char *ALRM_rule_file;
void reload_rules(AlarmTable &table);

// Once per polling pass, and after a failed read: when the table handle
// points to is gone or replaced, logs it, waits quietly for a live table
// and attaches to it.  1 when it attached anew, 0 when nothing changed.
int table_watch(void *&handle);

#endif  // TW_DAEMON_H
