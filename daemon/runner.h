// Running alarms' commands off the polling loop.  Firing lines wait in a
// bounded queue and start in firing order, at most a set number at once;
// each runs in a process group of its own, which is ended when the command
// runs past its time.  Nothing here blocks.
#ifndef TW_RUNNER_H
#define TW_RUNNER_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <deque>
#include <string>
#include <vector>

#include "audit.h"

class ActionQueue : public ActionSink {
 public:
  static constexpr size_t kMaxQueued = 10000;
  static constexpr int kKillDelayMs = 2000;  // SIGTERM, then SIGKILL

  // children: commands running at once (at least 1); timeout: seconds a
  // command may run, 0 for no limit.
  void configure(int children, int timeout);

  // Queues the line; a full queue drops it and counts it.
  void run(int id, const char *line) override;
  // The daemon runs commands as records come in: repeats are timed by
  // the monotonic clock, whatever the wall clock does.
  bool timed_by_clock() const override { return true; }

  // Reaps children that ended, ends those past their time, starts queued
  // commands while fewer than the limit run, and reports drops.
  void service();

  // Milliseconds until service() has a timer to act on, or -1 for none.
  int next_timer_ms() const;

  size_t queued() const { return queue_.size(); }
  size_t running() const { return running_.size(); }
  bool idle() const { return queue_.empty() && running_.empty(); }

  // Forgets the queued commands and returns how many there were; running
  // commands are left to finish on their own.
  size_t abandon();

  // Called from the SIGCHLD handler.
  static void child_signal() { child_exited_ = 1; }

 private:
  struct Queued {
    int id;  // the alarm's
    std::string line;
  };
  struct Child {
    pid_t pid;
    std::string line;
    int64_t started_ms;
    int64_t term_ms;  // when SIGTERM was sent, 0 before
    bool killed;      // SIGKILL sent
  };

  void reap();
  void enforce_timeouts(int64_t now);
  void start(Queued &q);
  void report_drops(int64_t now);

  int max_children_ = 1;
  int timeout_ms_ = 60000;
  std::deque<Queued> queue_;
  std::vector<Child> running_;
  uint64_t dropped_unreported_ = 0;
  int64_t last_drop_report_ms_ = -1;  // none yet
  static volatile sig_atomic_t child_exited_;
};

extern ActionQueue ALRM_action_queue;

// Starts "/bin/sh -c cmd" the way every command runs: /dev/null on
// standard input and output, and on standard error unless it is kept (it
// is the trace), descriptors 3 to 9 closed (every other one of the daemon
// is close-on-exec), the daemon's signals back at their default and none
// blocked; with own_group, at the head of a process group of its own.
// Returns 0 and the child in pid, or the error number of the failed start.
int spawn_shell(const char *cmd, bool own_group, bool keep_stderr, pid_t *pid);

// Whether a failed start made no process at all (the system is out of
// processes or memory), as a failed fork did, rather than no shell.
bool no_process(int err);

// Reports a command that could not start: why, then the line as
// unsuccessful, as for a command that exits non-zero.
void report_unstarted(int err, const char *cmd);

// Monotonic milliseconds.
int64_t monotonic_ms();

#endif  // TW_RUNNER_H
