// The polling loop's pacing: after a pass that found nothing it waits up to
// the poll interval, cut short by a signal; after refr_time seconds without
// activity it refreshes the history instead; a pass that took something is
// followed at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <string>

#include "audit.h"
#include "monMmap.h"
#include "sigfix.h"

namespace {

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int Count(const std::string &s, const std::string &what) {
  int n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1))
    n++;
  return n;
}

class LoopTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Mon_MmapOpen(0, &writer_));
    ASSERT_EQ(0, Mon_MmapOpen(MON_ALARM_READER, &reader_));
    char n1[] = "/tmp/hist1", n2[] = "/tmp/hist2";
    db1 = dbm_open(n1, O_RDWR | O_CREAT, 0600);
    db2 = dbm_open(n2, O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(db1 != nullptr && db2 != nullptr);
    table_.audit_file_name = strdup("/tmp/hist");
    table_.set_trace();
    set_poll_interval(10);
  }
  // The writer first: it detaches through the reader's mapping.
  void TearDown() override {
    EXPECT_EQ(0, Mon_MmapClose(writer_));
    EXPECT_EQ(0, Mon_MmapClose(reader_));
  }

  // Runs passes for about the given seconds, the history dirty before each;
  // returns their trace.
  std::string PassesFor(double seconds, int refr_time) {
    testing::internal::CaptureStderr();
    double end = Now() + seconds;
    while (Now() < end) {
      table_.set_db_dirty();
      process_mmap(table_, reader_, refr_time);
    }
    return testing::internal::GetCapturedStderr();
  }

  void Connection(uint32_t n) {
    sockaddr_in dst = {};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(80);
    dst.sin_addr.s_addr = htonl(0x0a000001);
    Uint64 key = {{static_cast<uint32_t>(getpid()), n}};
    ASSERT_EQ(0, MonMmapStartConn(writer_, key, 1, 0, "u", nullptr, nullptr));
    ASSERT_EQ(0, MonMmapUpdateConn(writer_, key, 2, 1, 1, 1, nullptr, nullptr,
                                   nullptr, &dst, "host"));
  }

  Mon_Handle_t writer_ = nullptr, reader_ = nullptr;
  AlarmTable table_;
};

TEST_F(LoopTest, IdlePassesWaitThePollInterval) {
  for (int ms : {10, 100}) {
    set_poll_interval(ms);
    double t0 = Now();
    for (int i = 0; i < 5; i++) process_mmap(table_, reader_, 0);
    double took = Now() - t0;
    EXPECT_GE(took, 5 * ms / 1000.0 * 0.9) << ms;
    EXPECT_LT(took, 5 * ms / 1000.0 + 0.2) << ms;
  }
}

// The idle time is elapsed time, so -r keeps its meaning whatever the
// poll interval; 0 turns the idle refresh off.
TEST_F(LoopTest, TheIdleRefreshComesAfterRefrTimeSeconds) {
  std::string out = PassesFor(0.8, 1);
  EXPECT_EQ(Count(out, "refresh database"), 0);
  out = PassesFor(0.5, 1);
  EXPECT_EQ(Count(out, "refresh database"), 1);
  out = PassesFor(2.2, 0);
  EXPECT_EQ(Count(out, "refresh database"), 0);
}

TEST_F(LoopTest, ActivityRestartsTheIdleTime) {
  PassesFor(0.7, 1);
  Connection(1);
  testing::internal::CaptureStderr();
  double t0 = Now();
  process_mmap(table_, reader_, 1);  // takes the connection, does not wait
  EXPECT_LT(Now() - t0, 0.005);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("u@"), std::string::npos);
  out = PassesFor(0.7, 1);  // without the restart this would refresh
  EXPECT_EQ(Count(out, "refresh database"), 0);
}

// A refresh signal ends a long wait at once and is acted on.
TEST_F(LoopTest, ASignalCutsTheWaitShort) {
  install_handler(SIGVTALRM, refresh_signal);
  set_poll_interval(5000);
  struct itimerval it = {};
  it.it_value.tv_usec = 200000;
  setitimer(ITIMER_REAL, &it, nullptr);
  install_handler(SIGALRM, [](int) { kill(getpid(), SIGVTALRM); });
  table_.set_db_dirty();
  testing::internal::CaptureStderr();
  double t0 = Now();
  process_mmap(table_, reader_, 0);
  double took = Now() - t0;
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_GE(took, 0.15);
  EXPECT_LT(took, 1.0);
  EXPECT_EQ(Count(out, "refresh database"), 1);
}

}  // namespace
