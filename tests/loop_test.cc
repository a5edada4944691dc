// The polling loop's pacing and the count of connections the alarm reader
// never saw.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <string>

#include "audit.h"
#include "missed.h"
#include "monMmap.h"
#include "sigfix.h"

namespace {

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

class LoopTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Mon_MmapOpen(0, &writer_));
    ASSERT_EQ(0, Mon_MmapOpen(MON_ALARM_READER, &reader_));
    char n1[] = "/tmp/hist1", n2[] = "/tmp/hist2";
    db1 = dbm_open(n1, O_RDWR | O_CREAT, 0600), db2 = dbm_open(n2, O_RDWR | O_CREAT, 0600);
    table_.audit_file_name = strdup("/tmp/hist");
    table_.set_trace();
  }
  void TearDown() override {  // the writer first: it detaches through the reader's mapping
    EXPECT_EQ(0, Mon_MmapClose(writer_));
    EXPECT_EQ(0, Mon_MmapClose(reader_));
  }
  // Runs passes for about the given seconds, the history dirty before each;
  // returns how many refreshes their trace shows.
  int Refreshes(double seconds, int refr_time) {
    testing::internal::CaptureStderr();
    double end = Now() + seconds;
    do {
      table_.set_db_dirty();
      process_mmap(table_, reader_, refr_time);
    } while (Now() < end);
    std::string s = testing::internal::GetCapturedStderr();
    int n = 0;
    for (size_t p = 0; (p = s.find("refresh database", p)) != std::string::npos; p++) n++;
    return n;
  }
  Uint64 Start(uint32_t n) {
    Uint64 key = {{static_cast<uint32_t>(getpid()), n}};
    EXPECT_EQ(0, MonMmapStartConn(writer_, key, 1, 0, "u", nullptr, nullptr));
    return key;
  }

  Mon_Handle_t writer_ = nullptr, reader_ = nullptr;
  AlarmTable table_;
};

// An idle pass waits the poll interval; refr_time seconds of elapsed idle
// time bring a refresh (0: never); a pass that took something restarts it
// and is followed at once.
TEST_F(LoopTest, IdleWaitsAndRefreshes) {
  set_poll_interval(10);
  EXPECT_EQ(Refreshes(0.8, 1), 0);
  EXPECT_EQ(Refreshes(0.5, 1), 1);
  EXPECT_EQ(Refreshes(1.2, 0), 0);
  Refreshes(0.7, 1);
  Start(1);
  double t0 = Now();
  EXPECT_EQ(Refreshes(0, 1), 0);  // one pass: takes the connection, does not wait
  EXPECT_LT(Now() - t0, 0.005);
  EXPECT_EQ(Refreshes(0.7, 1), 0);
  set_poll_interval(100);
  t0 = Now();
  for (int i = 0; i < 5; i++) process_mmap(table_, reader_, 0);
  EXPECT_TRUE(Now() - t0 >= 0.45 && Now() - t0 < 0.7) << Now() - t0;
}

// A refresh signal ends a long wait at once and is acted on.
TEST_F(LoopTest, ASignalCutsTheWaitShort) {
  install_handler(SIGVTALRM, refresh_signal);
  install_handler(SIGALRM, [](int) { kill(getpid(), SIGVTALRM); });
  set_poll_interval(5000);
  struct itimerval it = {};
  it.it_value.tv_usec = 200000;
  setitimer(ITIMER_REAL, &it, nullptr);
  double t0 = Now();
  EXPECT_EQ(Refreshes(0, 0), 1);
  EXPECT_TRUE(Now() - t0 >= 0.15 && Now() - t0 < 1.0);
}

constexpr uint32_t kActive = 0x80000000u, kStarted = 4, kUpdated = 1;

Mon_Conn_t Conn(uint32_t writer, uint32_t n, uint32_t number, uint32_t state) {
  Mon_Conn_t c;
  memset(&c, 0, sizeof c);
  c.key.word[0] = writer, c.key.word[1] = n, c.alarmKey = number, c.connState = state;
  return c;
}

// A number below the highest fills a gap; a gap still open after the pass
// that followed its own is a missed start.  Each writer numbers on its own.
TEST(MissedTest, GapsInStartNumbers) {
  MissedTracker m;
  for (uint32_t n : {5u, 8u, 6u}) m.taken(Conn(1, n, n, kActive | kStarted));
  m.taken(Conn(2, 1, 100, kActive | kStarted));
  m.pass_done();
  m.taken(Conn(1, 9, 9, kStarted));
  m.pass_done();
  EXPECT_EQ(m.missed_starts(), 1u);  // 7
  m.taken(Conn(1, 7, 7, kActive | kStarted));  // too late
  m.taken(Conn(1, 5, 5, kActive | kUpdated));  // not a start: no number
  m.reset();
  m.taken(Conn(1, 50, 50, kActive | kStarted));  // a new table: no gap
  m.pass_done(), m.pass_done();
  EXPECT_EQ(m.missed_starts(), 1u);
}

// Seen active, then started again or gone from the table before its end
// was taken: a missed end; an end taken loses nothing.
TEST_F(LoopTest, MissedEnds) {
  MissedTracker m;
  uint32_t self = static_cast<uint32_t>(getpid());
  for (uint32_t n = 1; n <= 4; n++) m.taken(Conn(self, n, n, kActive | kStarted));
  m.taken(Conn(self, 2, 2, kUpdated));  // its end
  m.taken(Conn(self, 1, 5, kActive | kStarted));
  m.taken(Conn(self, 2, 6, kActive | kStarted));
  EXPECT_EQ(m.missed_ends(), 1u);
  Start(1), Start(2);  // 3 and 4 are gone, 4 with its end taken
  m.taken(Conn(self, 4, 4, kUpdated));
  m.sweep(reader_), m.sweep(reader_);
  EXPECT_EQ(m.missed_ends(), 2u);
}

}  // namespace
