// The daemon's command runner: a queue of firing lines, children started
// in firing order and reaped without blocking, timeouts by process group.
#include "runner.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "error.h"
#include "stats.h"

ActionQueue ALRM_action_queue;
volatile sig_atomic_t ActionQueue::child_exited_;

namespace {

constexpr int64_t kDropReportMs = 60000;

// The signals the daemon handles, and those a shell expects at their
// default though whoever started the daemon may have ignored them (an
// ignored signal stays ignored across exec).
constexpr int kDefaultSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGBUS,
                                   SIGSEGV, SIGUSR1, SIGPIPE, SIGTERM,
                                   SIGCHLD, SIGVTALRM};

int set_files(posix_spawn_file_actions_t *files, bool keep_stderr) {
  int err = posix_spawn_file_actions_addopen(files, 0, "/dev/null", O_RDWR, 0);
  if (err == 0) err = posix_spawn_file_actions_adddup2(files, 0, 1);
  if (err == 0 && !keep_stderr)
    err = posix_spawn_file_actions_adddup2(files, 0, 2);
  // Closing one that is not open is no failure.
  for (int fd = 3; fd <= 9 && err == 0; fd++)
    err = posix_spawn_file_actions_addclose(files, fd);
  return err;
}

int set_attributes(posix_spawnattr_t *attr, bool own_group) {
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : kDefaultSignals) sigaddset(&defaults, sig);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (own_group) flags |= POSIX_SPAWN_SETPGROUP;
  int err = posix_spawnattr_setflags(attr, flags);
  if (err == 0) err = posix_spawnattr_setsigdefault(attr, &defaults);
  if (err == 0) err = posix_spawnattr_setsigmask(attr, &none);
  if (err == 0 && own_group) err = posix_spawnattr_setpgroup(attr, 0);
  return err;
}

}  // namespace

// The trace written so far goes out before the command can add its own.
int spawn_shell(const char *cmd, bool own_group, bool keep_stderr, pid_t *pid) {
  fflush(stderr);
  posix_spawn_file_actions_t files;
  posix_spawnattr_t attr;
  int err = posix_spawn_file_actions_init(&files);
  if (err != 0) return err;
  err = posix_spawnattr_init(&attr);
  if (err == 0) {
    err = set_files(&files, keep_stderr);
    if (err == 0) err = set_attributes(&attr, own_group);
    char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                    const_cast<char *>(cmd), nullptr};
    if (err == 0)
      err = posix_spawn(pid, "/bin/sh", &files, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
  }
  posix_spawn_file_actions_destroy(&files);
  return err;
}

bool no_process(int err) { return err == EAGAIN || err == ENOMEM; }

void report_unstarted(int err, const char *cmd) {
  errno = err;
  if (no_process(err))
    err_ret("Action::execute fork() failed");
  else
    err_ret("Cannot execute shell command when execl /bin/sh");
  errno = 0;
  err_ret("action `%s' unsuccessful", cmd);
}

int64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void ActionQueue::configure(int children, int timeout) {
  max_children_ = children < 1 ? 1 : children;
  timeout_ms_ = timeout < 0 ? 0 : timeout * 1000;
}

void ActionQueue::run(int id, const char *line) {
  if (queue_.size() >= kMaxQueued) {
    ALRM_stats.dropped++;
    dropped_unreported_++;
    return;
  }
  queue_.push_back(Queued{id, line});
}

void ActionQueue::service() {
  if (child_exited_) {
    child_exited_ = 0;
    reap();
  }
  int64_t now = monotonic_ms();
  if (!running_.empty() && timeout_ms_ > 0) enforce_timeouts(now);
  while (!queue_.empty() && static_cast<int>(running_.size()) < max_children_) {
    start(queue_.front());
    queue_.pop_front();
  }
  if (dropped_unreported_ > 0) report_drops(now);
}

int ActionQueue::next_timer_ms() const {
  if (timeout_ms_ == 0 || running_.empty()) return -1;
  int64_t now = monotonic_ms(), next = INT64_MAX;
  for (const Child &c : running_) {
    int64_t due;
    if (c.term_ms == 0)
      due = c.started_ms + timeout_ms_;
    else if (!c.killed)
      due = c.term_ms + kKillDelayMs;
    else
      continue;
    if (due < next) next = due;
  }
  if (next == INT64_MAX) return -1;
  return next <= now ? 0 : static_cast<int>(next - now);
}

size_t ActionQueue::abandon() {
  size_t n = queue_.size();
  queue_.clear();
  return n;
}

// A command killed by a signal is not reported (a timed-out one was
// reported when it was ended); one that exits non-zero is.
void ActionQueue::reap() {
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    for (size_t i = 0; i < running_.size(); i++) {
      if (running_[i].pid != pid) continue;
      if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        ALRM_stats.unsuccessful++;
        errno = 0;
        err_ret("action `%s' unsuccessful", running_[i].line.c_str());
      }
      running_.erase(running_.begin() + static_cast<long>(i));
      break;
    }
  }
}

void ActionQueue::enforce_timeouts(int64_t now) {
  for (Child &c : running_) {
    if (c.term_ms == 0 && now - c.started_ms >= timeout_ms_) {
      kill(-c.pid, SIGTERM);
      c.term_ms = now;
      ALRM_stats.timed_out++;
      errno = 0;
      err_ret("action `%s' timed out after %d s", c.line.c_str(),
              timeout_ms_ / 1000);
    } else if (c.term_ms != 0 && !c.killed && now - c.term_ms >= kKillDelayMs) {
      kill(-c.pid, SIGKILL);
      c.killed = true;
    }
  }
}

// The child leads a process group of its own, so that a timeout ends the
// shell and everything it started, and a terminal's signals miss it.  A
// command that cannot start counts as run and unsuccessful, and the
// daemon goes on: the next one may start.
void ActionQueue::start(Queued &q) {
  std::string &line = q.line;
  pid_t pid;
  int err = spawn_shell(line.c_str(), true, ALRM_table_ptr->trace(), &pid);
  ALRM_stats.run++;
  alarm_counts(q.id).run++;
  if (err != 0) {
    ALRM_stats.unsuccessful++;
    report_unstarted(err, line.c_str());
    return;
  }
  running_.push_back(Child{pid, std::move(line), monotonic_ms(), 0, false});
}

void ActionQueue::report_drops(int64_t now) {
  if (last_drop_report_ms_ >= 0 && now - last_drop_report_ms_ < kDropReportMs)
    return;
  errno = 0;
  err_ret("action queue full: %llu commands dropped",
          static_cast<unsigned long long>(dropped_unreported_));
  dropped_unreported_ = 0;
  last_drop_report_ms_ = now;
}
