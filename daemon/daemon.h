// Start-up and life of the daemon process: detaching, the trace file,
// reloading the rules, and following the connection table through a
// proxy restart.
#ifndef TW_DAEMON_H
#define TW_DAEMON_H

#include <setjmp.h>
#include <signal.h>
#include <sys/types.h>

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

// Once per polling pass: when the table handle points to is gone,
// replaced or no longer fit to read (Mon_MmapSound; a null handle too),
// loses it as table_lost does.  1 when it attached anew, 0 when nothing
// changed.
int table_watch(void *&handle);
// Logs "connection table lost, waiting for a new one" (once, however often
// a wait is cut short and begun again), lets go of the table, waits
// quietly for a live and sound one whose lock can be had, attaches to it
// and logs "connection table back, attached again".  Signals are acted on
// and queued commands run meanwhile.
void table_lost(void *&handle);
// At start-up, after a failed attach: true when a table is there that is
// only unfit for now (cut short, its semaphores gone), to be waited for as
// a lost one; a table that is not there at all stays fatal.
bool table_unfit_at_start(void *handle);
// After a read of the table failed: 0 when a signal ended the wait for its
// lock (the pass ends; the signal is to be acted on), else the table is
// lost (its lock held past the bound, then logged as "connection table
// locked for N s"; its semaphores removed; its header damaged): 1 once
// attached again through table_lost.
int table_read_failed(void *&handle);

// Reads of the mapped table.  A table file cut short under the mapping
// raises SIGBUS at the next read of the part cut off: table_fault_signal,
// the daemon's SIGBUS handler, then jumps back out of the read that
// table_read runs, which returns false, and the table is to be lost.  A
// SIGBUS anywhere else ends the daemon as before.  Not nested.
extern sigjmp_buf table_fault_jump;
extern volatile sig_atomic_t table_fault_armed;
void table_fault_signal(int sig);
void table_fault_unblock();
template <class F>
bool table_read(F &&read) {
  // The signal mask is not saved (a system call on every read): the jump
  // leaves SIGBUS blocked, which the fault path lifts.
  if (sigsetjmp(table_fault_jump, 0) != 0) {
    table_fault_unblock();
    return false;
  }
  table_fault_armed = 1;
  read();
  table_fault_armed = 0;
  return true;
}

// Who may write the table (-W): the user's uid, from a name or a number;
// the run stops when there is no such user.
uid_t user_arg(const char *user);
// The group of -g, by name or number; stops the run when there is none.
gid_t group_arg(const char *group);
// From now on only a table of uid or root that no other user may write is
// attached to.
void table_writer(uid_t uid);
// After a failed attach: true when a writer was named and the table was
// refused for it; the reason is logged the first time it comes up.
bool table_refused(void *handle);
// The same at start-up, true also for a symbolic link or a file that is not
// a regular one of one link at the table's path: the caller waits for a
// table as for a lost one instead of stopping.
bool table_refused_at_start(void *handle);
// After every attach: forgets the reasons logged; with no writer named,
// warns once when every user may write the table.
void table_attached(void *handle);

#endif  // TW_DAEMON_H
