// Time from the call that starts a command to the exec of /bin/sh in the
// child, in a process with /0 or /48 MB of memory written (the daemon's
// tables and history make it tens of MB):
//   BM_ForkExec   fork, then the child sets itself up and calls execl, as
//                 commands were started before
//   BM_Spawn      spawn_shell, as the daemon starts commands
// The child holds the write end of a close-on-exec pipe, past the
// descriptors its set-up closes; end of file in the parent marks the exec.
// Each child runs ':' and is reaped outside the timing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "runner.h"

namespace {

std::vector<char> ballast;

void grow(size_t mb) {
  if (ballast.size() >= mb << 20) return;
  ballast.resize(mb << 20);
  memset(ballast.data(), 1, ballast.size());
}

// A pipe whose write end lies past 9; both ends close-on-exec.
void marker(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) abort();
  int w = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
  if (w < 0) abort();
  close(fds[1]);
  fds[1] = w;
}

// The child's set-up before commands were spawned.
[[noreturn]] void old_child(const char *cmd) {
  setpgid(0, 0);
  closelog();
  for (int fd = 0; fd <= 9; fd++) close(fd);
  if (open("/dev/null", O_RDWR) != 0 || dup(0) != 1 || dup(0) != 2) _exit(1);
  for (int sig : {SIGQUIT, SIGVTALRM, SIGSEGV, SIGINT, SIGTERM, SIGHUP,
                  SIGUSR1, SIGCHLD, SIGPIPE})
    signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execl("/bin/sh", "sh", "-c", cmd, static_cast<char *>(nullptr));
  _exit(1);
}

pid_t fork_exec() {
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) old_child(":");
  setpgid(pid, pid);
  return pid;
}

pid_t spawn() {
  pid_t pid;
  if (spawn_shell(":", true, false, &pid) != 0) abort();
  return pid;
}

template <pid_t (*start)()>
void BM_Start(benchmark::State &state) {
  grow(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    int fds[2];
    marker(fds);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = start();
    close(fds[1]);
    char c;
    while (read(fds[0], &c, 1) > 0) {
    }
    auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    close(fds[0]);
    waitpid(pid, nullptr, 0);
  }
}

void BM_ForkExec(benchmark::State &state) { BM_Start<fork_exec>(state); }
void BM_Spawn(benchmark::State &state) { BM_Start<spawn>(state); }

BENCHMARK(BM_ForkExec)->Arg(0)->Arg(48)->UseManualTime()->Unit(
    benchmark::kMicrosecond);
BENCHMARK(BM_Spawn)->Arg(0)->Arg(48)->UseManualTime()->Unit(
    benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
