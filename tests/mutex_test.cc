// Named mutexes: holding and releasing, failures kept in the handle, and
// behaviour between processes.
#include <errno.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "monUnixMutex.h"

namespace {

std::string LastErr(Mon_Handle_t h, int *num) {
  char msg[MON_ERRMSG_LEN];
  MonMutexLastErr(h, num, msg);
  return msg;
}

TEST(Mutex, HoldReleaseAttachAndClose) {
  Mon_Handle_t h, r, r2, late;
  int num;
  ASSERT_EQ(MonMutexOpen("mt", 1, &h), 0);
  int id = semget(ftok("/tmp/mt", 'V'), 0, 0);  // found as another process would
  std::string file;
  std::getline(std::ifstream("/tmp/mt"), file);
  EXPECT_EQ(file, std::to_string(id));
  const std::string semop_failed = ": semop(" + std::to_string(id) + ") failed";

  ASSERT_EQ(MonMutexOpen("mt", 0, &r), 0);
  EXPECT_EQ(MonMutexQuery(h), 0);
  EXPECT_EQ(MonMutexRequest(h), 0);
  EXPECT_EQ(MonMutexQuery(r), 1);
  EXPECT_EQ(MonMutexRelease(h), 0);
  EXPECT_EQ(MonMutexQuery(r), 0);
  EXPECT_EQ(MonMutexRelease(r), -1);  // not held
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(LastErr(r, &num), "MonMutexRelease" + semop_failed);
  EXPECT_EQ(num, EAGAIN);
  EXPECT_EQ(MonMutexQuery(h), 0);

  ASSERT_EQ(MonMutexOpen("mt", 0, &r2), 0);
  EXPECT_EQ(MonMutexClose(r2), 0);  // a reader leaves the mutex in place
  EXPECT_EQ(access("/tmp/mt", F_OK), 0);

  EXPECT_EQ(MonMutexClose(h), 0);  // the creator removes file and semaphore set
  EXPECT_NE(access("/tmp/mt", F_OK), 0);
  EXPECT_EQ(semctl(id, 0, GETVAL), -1);
  EXPECT_EQ(MonMutexRequest(r), -1);
  EXPECT_EQ(LastErr(r, &num), "MonMutexRequest" + semop_failed);
  EXPECT_EQ(MonMutexOpen("mt", 0, &late), -1);
  EXPECT_EQ(LastErr(late, &num), "MonMutexOpen: ftok(/tmp/mt) failed");
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
  for (size_t at = 0; (at = out.find(bad, at)) != std::string::npos; at++) reports++;
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

// The wait outlasts signals handled without SA_RESTART and ends when the
// holder, another process, is killed.
TEST(Mutex, WaitsThroughSignalsForKilledHolder) {
  Mon_Handle_t h;
  ASSERT_EQ(MonMutexOpen("mt.kill", 1, &h), 0);
  pid_t pid = fork();
  if (pid == 0) {  // holds the mutex until SIGALRM kills it a second later
    if (MonMutexOpen("mt.kill", 0, &h) != 0 || MonMutexRequest(h) != 0) _exit(2);
    alarm(1);
    for (;;) pause();
  }
  for (int i = 0; i < 5000 && MonMutexQuery(h) != 1; i++) usleep(1000);
  ASSERT_EQ(MonMutexQuery(h), 1);

  struct sigaction sa = {}, old;
  sa.sa_handler = [](int) { alarms++; };
  sigaction(SIGALRM, &sa, &old);
  itimerval tick = {{0, 200000}, {0, 200000}}, off = {};
  setitimer(ITIMER_REAL, &tick, nullptr);
  EXPECT_EQ(MonMutexRequest(h), 0);
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_GE(alarms, 2) << "the wait ended before the holder was killed";
  EXPECT_EQ(MonMutexQuery(h), 1);

  int status;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM);
  EXPECT_EQ(MonMutexRelease(h), 0);
  EXPECT_EQ(MonMutexClose(h), 0);
}

}  // namespace
