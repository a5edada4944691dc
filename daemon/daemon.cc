// Detaching from the terminal, telling the caller how the start went, and
// the trace file.
#include "daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audit.h"
#include "error.h"

namespace {

int ready_fd = -1;               // to the waiting parent, until ready
int trace_fd = -1;               // the trace file, once opened detached
const char *trace_path = nullptr;

// The parent's side: waits for the child's word.  End of file without it
// means the child stopped; its message is already on standard error.
[[noreturn]] void wait_for_child(int fd) {
  char c = 0;
  ssize_t n;
  while ((n = read(fd, &c, 1)) < 0 && errno == EINTR) {
  }
  _exit(n == 1 && c == '0' ? 0 : 1);
}

// An open trace file descriptor, or -1 after reporting why not.
int trace_open(const char *path, bool fatal) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY |
                          O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fatal) err_sys("can't open %s for writing", path);
    err_ret("can't open %s for writing", path);
  } else if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    errno = 0;
    if (fatal) err_quit("can't open %s for writing: not a regular file of ours", path);
    err_ret("can't open %s for writing: not a regular file of ours", path);
  } else {
    fcntl(fd, F_SETFL, O_APPEND);  // blocking writes from here on
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

// The parent stays until the child is ready or gone; the child leads a new
// session.  The working directory is kept unless asked, so relative rule
// and history paths keep working.
int daemon_start(int changeroot) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0) err_sys("can't fork daemon child");
  pid_t pid = fork();
  if (pid < 0) err_sys("can't fork daemon child");
  if (pid > 0) {
    close(fds[1]);
    wait_for_child(fds[0]);
  }
  close(fds[0]);
  ready_fd = fds[1];
  ALRM_echo = 1;  // until ready, the caller sees every message too
  setsid();
  errno = 0;
  if (changeroot) (void)!chdir("/");
  umask(022);
  return 0;
}

void daemon_ready() {
  if (ready_fd < 0) return;
  int null = open("/dev/null", O_RDWR);
  if (null < 0) err_sys("can't open /dev/null");
  trace_flush();  // what is buffered belongs to the caller's standard error
  dup2(null, STDIN_FILENO);
  dup2(null, STDOUT_FILENO);
  dup2(trace_fd >= 0 ? trace_fd : null, STDERR_FILENO);
  if (null > STDERR_FILENO) close(null);
  if (trace_fd >= 0) close(trace_fd);
  trace_fd = -1;
  ALRM_echo = 0;
  (void)!write(ready_fd, "0", 1);
  close(ready_fd);
  ready_fd = -1;
}

void open_trace(const char *path) {
  trace_path = path;
  trace_fd = trace_open(path, true);
}

void reopen_trace() {
  if (trace_path == nullptr || ready_fd >= 0) return;
  int fd = trace_open(trace_path, false);
  if (fd < 0) return;
  trace_flush();  // the trace so far goes to the file it was written for
  dup2(fd, STDERR_FILENO);
  close(fd);
}
