// Counting the connections the alarm reader never saw.
#include <gtest/gtest.h>
#include <unistd.h>

#include "missed.h"
#include "monMmapInt.h"

namespace {
constexpr uint32_t kActive = 0x80000000u, kStarted = 4, kUpdated = 1;

Mon_Conn_t Conn(uint32_t writer, uint32_t n, uint32_t number, uint32_t state = kActive | kStarted) {
  Mon_Conn_t c{};
  c.key.word[0] = writer, c.key.word[1] = n, c.alarmKey = number, c.connState = state;
  return c;
}

// A gap in a writer's numbers still open a pass after its own is a missed start.
TEST(MissedTest, GapsInStartNumbers) {
  MissedTracker m;
  for (uint32_t n : {5u, 8u, 6u}) m.taken(Conn(1, n, n));
  m.taken(Conn(2, 1, 100)), m.pass_done();
  m.taken(Conn(1, 9, 9, kStarted)), m.pass_done();
  EXPECT_EQ(m.missed_starts(), 1u);  // 7
  m.taken(Conn(1, 7, 7));  // too late
  m.taken(Conn(1, 5, 5, kActive | kUpdated));  // not a start: no number
  m.reset(), m.taken(Conn(1, 50, 50));  // a new table: no gap
  m.pass_done(), m.pass_done();
  EXPECT_EQ(m.missed_starts(), 1u);
}

// A number far off the highest seen, either way, starts the writer's
// numbering afresh; a step across 2^32 is a step like any other.
TEST(MissedTest, FarNumbersAndWrapping) {
  MissedTracker m;
  // 0xfffffff1 to 0xfffffffe and 0 missing, 0xfffffff5 late; then 51 missing, 40 late.
  for (auto [numbers, missed] : {std::pair{std::vector<uint32_t>{5, 0xfffffff0u}, 0u},
                                 {{0xffffffffu, 1, 0xfffffff5u}, 14u}, {{5000000, 50, 52, 40}, 15u}}) {
    for (uint32_t n : numbers) m.taken(Conn(1, n, n));
    m.pass_done(), m.pass_done();
    EXPECT_EQ(m.missed_starts(), missed);
  }
}

// Seen active, then started again or gone before its end was taken: a missed
// end.  A sweep whose look-ups get no answer (the table's lock held past the
// bound, a bad header) counts none; the next one that does, does.
TEST(MissedTest, MissedEnds) {
  Mon_Handle_t writer, reader;
  ASSERT_TRUE(Mon_MmapOpen(0, &writer) == 0 && Mon_MmapOpen(MON_ALARM_READER, &reader) == 0);
  MissedTracker m, later;
  uint32_t self = static_cast<uint32_t>(getpid());
  for (uint32_t n = 1; n <= 4; n++) m.taken(Conn(self, n, n));
  m.taken(Conn(self, 2, 2, kUpdated));  // its end
  m.taken(Conn(self, 1, 5)), m.taken(Conn(self, 2, 6));
  EXPECT_EQ(m.missed_ends(), 1u);
  for (uint32_t n : {1u, 2u})  // 3 and 4 are gone, 4 with its end taken
    ASSERT_EQ(0, MonMmapStartConn(writer, {{self, n}}, 1, 0, "u", nullptr, nullptr));
  m.taken(Conn(self, 4, 4, kUpdated));
  m.sweep(reader), m.sweep(reader);
  EXPECT_EQ(m.missed_ends(), 2u);
  later.taken(Conn(self, 7, 1));  // never in the table
  Mon_Handle_t hash = static_cast<info_t *>(writer)->hashMutex;
  Mon_MmapSetLockWait(100, nullptr);
  ASSERT_EQ(0, MonMutexRequest(hash));  // not re-entrant: held against the reader
  later.sweep(reader), MonMutexRelease(hash);
  const int32_t slots = MonMmapRegion()->nMaxConn;
  MonMmapRegion()->nMaxConn = 0, later.sweep(reader);
  EXPECT_EQ(later.missed_ends(), 0u);
  MonMmapRegion()->nMaxConn = slots, later.sweep(reader);
  EXPECT_EQ(later.missed_ends(), 1u);
  Mon_MmapSetLockWait(0, nullptr);
  EXPECT_TRUE(Mon_MmapClose(writer) == 0 && Mon_MmapClose(reader) == 0);  // the writer first
}

}  // namespace
