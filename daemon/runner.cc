// The daemon's command runner: a queue of firing lines, children started
// in firing order and reaped without blocking, timeouts by process group.
#include "runner.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "error.h"
#include "stats.h"

ActionQueue ALRM_action_queue;
volatile sig_atomic_t ActionQueue::child_exited_;

namespace {

constexpr int64_t kDropReportMs = 60000;

}  // namespace

int64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void ActionQueue::configure(int children, int timeout) {
  max_children_ = children < 1 ? 1 : children;
  timeout_ms_ = timeout < 0 ? 0 : timeout * 1000;
}

void ActionQueue::run(int, const char *line) {
  if (queue_.size() >= kMaxQueued) {
    ALRM_stats.dropped++;
    dropped_unreported_++;
    return;
  }
  queue_.emplace_back(line);
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
// shell and everything it started, and a terminal's signals miss it.
void ActionQueue::start(std::string &line) {
  pid_t pid = fork();
  if (pid < 0) err_sys("Action::execute fork() failed");
  if (pid == 0) {
    setpgid(0, 0);
    Action::do_child(line.c_str());
  }
  setpgid(pid, pid);  // whichever of the two runs first
  ALRM_stats.run++;
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
