// Counting the connections the alarm reader never saw.
#include <gtest/gtest.h>
#include <unistd.h>

#include "missed.h"
#include "monMmapInt.h"

namespace {

constexpr uint32_t kActive = 0x80000000u, kStarted = 4, kUpdated = 1;

Mon_Conn_t Conn(uint32_t writer, uint32_t n, uint32_t number, uint32_t state) {
  Mon_Conn_t c{};
  c.key.word[0] = writer, c.key.word[1] = n, c.alarmKey = number, c.connState = state;
  return c;
}

// A gap in a writer's numbers still open a pass after its own is a missed start.
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

// A number far off the highest seen, either way, starts the writer's
// numbering afresh; a step across 2^32 is a step like any other.
TEST(MissedTest, FarNumbersAndWrapping) {
  MissedTracker m;
  for (uint32_t n : {5u, 0xfffffff0u}) m.taken(Conn(1, n, n, kActive | kStarted));
  m.pass_done(), m.pass_done();
  EXPECT_EQ(m.missed_starts(), 0u);
  // 0xfffffff1 to 0xfffffffe and 0 missing, 0xfffffff5 late.
  for (uint32_t n : {0xffffffffu, 1u, 0xfffffff5u}) m.taken(Conn(1, n, n, kActive | kStarted));
  m.pass_done(), m.pass_done();
  EXPECT_EQ(m.missed_starts(), 14u);
  for (uint32_t n : {100000u, 50u, 52u, 40u}) m.taken(Conn(1, n, n, kActive | kStarted));
  m.pass_done(), m.pass_done();
  EXPECT_EQ(m.missed_starts(), 15u);  // 51; 40 came late
}

// Seen active, then started again or gone before its end was taken: a missed end.
TEST(MissedTest, MissedEnds) {
  Mon_Handle_t writer, reader;
  ASSERT_TRUE(Mon_MmapOpen(0, &writer) == 0 && Mon_MmapOpen(MON_ALARM_READER, &reader) == 0);
  MissedTracker m;
  uint32_t self = static_cast<uint32_t>(getpid());
  for (uint32_t n = 1; n <= 4; n++) m.taken(Conn(self, n, n, kActive | kStarted));
  m.taken(Conn(self, 2, 2, kUpdated));  // its end
  m.taken(Conn(self, 1, 5, kActive | kStarted));
  m.taken(Conn(self, 2, 6, kActive | kStarted));
  EXPECT_EQ(m.missed_ends(), 1u);
  for (uint32_t n : {1u, 2u})  // 3 and 4 are gone, 4 with its end taken
    ASSERT_EQ(0, MonMmapStartConn(writer, {{self, n}}, 1, 0, "u", nullptr, nullptr));
  m.taken(Conn(self, 4, 4, kUpdated));
  m.sweep(reader), m.sweep(reader);
  EXPECT_EQ(m.missed_ends(), 2u);
  EXPECT_TRUE(Mon_MmapClose(writer) == 0 && Mon_MmapClose(reader) == 0);  // the writer first
}

// A sweep whose look-ups get no answer (the table's lock held past the
// bound, a bad header) counts no missed end; the next one that does, does.
TEST(MissedTest, SweepWithoutAnswersCountsNothing) {
  Mon_Handle_t writer, reader;
  ASSERT_TRUE(Mon_MmapOpen(0, &writer) == 0 && Mon_MmapOpen(MON_ALARM_READER, &reader) == 0);
  MissedTracker m;
  m.taken(Conn(static_cast<uint32_t>(getpid()), 7, 1, kActive | kStarted));  // never in the table
  Mon_Handle_t hash = static_cast<info_t *>(writer)->hashMutex;
  Mon_MmapSetLockWait(100, nullptr);
  ASSERT_EQ(0, MonMutexRequest(hash));  // not re-entrant: held against the reader
  m.sweep(reader);
  MonMutexRelease(hash);
  const int32_t slots = MonMmapRegion()->nMaxConn;
  MonMmapRegion()->nMaxConn = 0;
  m.sweep(reader);
  EXPECT_EQ(m.missed_ends(), 0u);
  MonMmapRegion()->nMaxConn = slots;
  m.sweep(reader);
  EXPECT_EQ(m.missed_ends(), 1u);
  Mon_MmapSetLockWait(0, nullptr);
  EXPECT_TRUE(Mon_MmapClose(writer) == 0 && Mon_MmapClose(reader) == 0);
}

}  // namespace
