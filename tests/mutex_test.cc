// Named mutexes: holding and releasing, failures kept in the handle, and
// behaviour between processes.
#include <errno.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "monUnixMutex.h"

namespace {

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The semaphore set behind a mutex file, found as another process would.
int SetId(const std::string &path) {
  return semget(ftok(path.c_str(), 'V'), 0, 0);
}

std::string LastErr(Mon_Handle_t h, int *num) {
  char msg[MON_ERRMSG_LEN];
  MonMutexLastErr(h, num, msg);
  return msg;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Forks a process that takes the mutex and is killed by SIGALRM about a
// second later, still holding it.
pid_t ForkHolder(const char *name) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    Mon_Handle_t h;
    if (MonMutexOpen(name, 0, &h) != 0 || MonMutexRequest(h) != 0) _exit(2);
    if (write(fds[1], "h", 1) != 1) _exit(3);
    alarm(1);
    for (;;) pause();
  }
  char c;
  close(fds[1]);
  if (read(fds[0], &c, 1) != 1) pid = -1;
  close(fds[0]);
  return pid;
}

TEST(Mutex, HoldReleaseAndAttach) {
  Mon_Handle_t h, r;
  ASSERT_EQ(MonMutexOpen("mt.basic", 1, &h), 0);
  int id = SetId("/tmp/mt.basic");
  ASSERT_GE(id, 0);
  EXPECT_EQ(ReadFile("/tmp/mt.basic"), std::to_string(id));
  EXPECT_EQ(MonMutexQuery(h), 0);

  ASSERT_EQ(MonMutexOpen("mt.basic", 0, &r), 0);
  EXPECT_EQ(MonMutexRequest(h), 0);
  EXPECT_EQ(MonMutexQuery(r), 1);
  EXPECT_EQ(MonMutexRelease(h), 0);
  EXPECT_EQ(MonMutexQuery(r), 0);

  int num;
  EXPECT_EQ(MonMutexRelease(r), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(LastErr(r, &num),
            "MonMutexRelease: semop(" + std::to_string(id) + ") failed");
  EXPECT_EQ(num, EAGAIN);
  EXPECT_EQ(MonMutexQuery(h), 0);

  EXPECT_EQ(MonMutexClose(r), 0);  // a reader leaves the mutex in place
  EXPECT_EQ(MonMutexQuery(h), 0);
  EXPECT_EQ(access("/tmp/mt.basic", F_OK), 0);
  EXPECT_EQ(MonMutexClose(h), 0);
}

TEST(Mutex, CreatorCloseRemovesMutex) {
  Mon_Handle_t h, r, late;
  ASSERT_EQ(MonMutexOpen("mt.gone", 1, &h), 0);
  ASSERT_EQ(MonMutexOpen("mt.gone", 0, &r), 0);
  int id = SetId("/tmp/mt.gone");
  EXPECT_EQ(MonMutexClose(h), 0);
  EXPECT_NE(access("/tmp/mt.gone", F_OK), 0);
  EXPECT_EQ(semctl(id, 0, GETVAL), -1);

  int num;
  EXPECT_EQ(MonMutexRequest(r), -1);
  EXPECT_EQ(LastErr(r, &num),
            "MonMutexRequest: semop(" + std::to_string(id) + ") failed");
  EXPECT_EQ(MonMutexOpen("mt.gone", 0, &late), -1);
  EXPECT_EQ(LastErr(late, &num), "MonMutexOpen: ftok(/tmp/mt.gone) failed");
  EXPECT_EQ(num, ENOENT);
  EXPECT_EQ(MonMutexClose(late), 0);
  EXPECT_EQ(MonMutexClose(r), 0);
}

TEST(Mutex, BadNamesAndHandles) {
  int num;
  for (const char *name : {"", static_cast<const char *>(nullptr)}) {
    Mon_Handle_t h = nullptr;
    EXPECT_EQ(MonMutexOpen(name, 1, &h), -1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(LastErr(h, &num), "MonMutexOpen: bad mutex name");
    EXPECT_EQ(num, 2);
    EXPECT_EQ(MonMutexClose(h), 0);
  }

  const std::string bad = "bad handle, MonMutexOpen() not called";
  EXPECT_EQ(LastErr(nullptr, &num), bad);
  EXPECT_EQ(num, 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MonMutexRequest(nullptr), -1);
  EXPECT_EQ(MonMutexRelease(nullptr), -1);
  EXPECT_EQ(MonMutexQuery(nullptr), -1);
  EXPECT_EQ(MonMutexClose(nullptr), -1);
  std::string out = testing::internal::GetCapturedStderr();
  int reports = 0;
  for (size_t at = out.find(bad); at != std::string::npos;
       at = out.find(bad, at + 1))
    reports++;
  EXPECT_EQ(reports, 4);
}

TEST(Mutex, LongNameIsCut) {
  Mon_Handle_t h;
  std::string cut = "/tmp/" + std::string(250, 'n');
  ASSERT_EQ(MonMutexOpen(std::string(300, 'n').c_str(), 1, &h), 0);
  EXPECT_EQ(access(cut.c_str(), F_OK), 0);
  EXPECT_EQ(MonMutexClose(h), 0);
  EXPECT_NE(access(cut.c_str(), F_OK), 0);
}

volatile sig_atomic_t alarms;
void OnAlarm(int) { alarms++; }

// The wait survives a signal handled without SA_RESTART and ends when the
// holder is killed.
TEST(Mutex, WaitsThroughSignalForKilledHolder) {
  Mon_Handle_t h;
  ASSERT_EQ(MonMutexOpen("mt.kill", 1, &h), 0);
  pid_t pid = ForkHolder("mt.kill");
  ASSERT_GT(pid, 0);
  EXPECT_EQ(MonMutexQuery(h), 1);

  struct sigaction sa = {}, old;
  sa.sa_handler = OnAlarm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, &old);
  itimerval tick = {{0, 0}, {0, 200000}};
  alarms = 0;
  setitimer(ITIMER_REAL, &tick, nullptr);

  double start = Now();
  EXPECT_EQ(MonMutexRequest(h), 0);
  EXPECT_GT(Now() - start, 0.5);
  EXPECT_EQ(alarms, 1);
  EXPECT_EQ(MonMutexQuery(h), 1);
  sigaction(SIGALRM, &old, nullptr);

  int status;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM);
  EXPECT_EQ(MonMutexRelease(h), 0);
  EXPECT_EQ(MonMutexClose(h), 0);
}

}  // namespace
