// Counting the connections the alarm reader never saw.
#include <gtest/gtest.h>
#include <unistd.h>

#include "missed.h"
#include "monMmap.h"

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

}  // namespace
