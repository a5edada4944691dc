// Counting the connections the alarm reader never saw: gaps in a writer's
// start numbers, however the table orders them, and connections seen
// active that vanish or start again before their end was taken.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include "missed.h"
#include "monMmap.h"

namespace {

constexpr uint32_t kActive = 0x80000000u, kStarted = 4, kUpdated = 1;

Mon_Conn_t Conn(uint32_t writer, uint32_t n, uint32_t number, uint32_t state) {
  Mon_Conn_t c;
  memset(&c, 0, sizeof c);
  c.key.word[0] = writer;
  c.key.word[1] = n;
  c.alarmKey = number;
  c.connState = state;
  return c;
}

// Starts taken in table order: a number below the highest only fills a
// gap; a gap still open after the whole pass that followed the one it
// opened in is a missed start.  Each writer numbers on its own.
TEST(MissedTest, GapsInStartNumbers) {
  MissedTracker m;
  for (uint32_t n : {5u, 8u, 6u}) m.taken(Conn(1, n, n, kActive | kStarted));
  m.taken(Conn(2, 1, 100, kActive | kStarted));  // another writer's first
  m.pass_done();
  EXPECT_EQ(m.missed_starts(), 0u);
  m.taken(Conn(1, 9, 9, kStarted));  // started and ended between passes
  m.pass_done();
  EXPECT_EQ(m.missed_starts(), 1u);  // 7 never turned up
  m.taken(Conn(1, 7, 7, kActive | kStarted));  // too late to undo: seen now
  m.taken(Conn(1, 12, 12, kActive | kStarted));
  m.taken(Conn(1, 5, 5, kActive | kUpdated));  // not a start: no number
  m.pass_done();
  m.taken(Conn(1, 10, 10, kActive | kStarted));
  m.pass_done();
  EXPECT_EQ(m.missed_starts(), 2u);  // 11
  m.reset();
  m.taken(Conn(1, 50, 50, kActive | kStarted));  // a new table: no gap
  m.pass_done(), m.pass_done();
  EXPECT_EQ(m.missed_starts(), 2u);
}

// A connection seen active and started again under its key before its end
// was taken lost that end; one whose end was taken lost nothing.
TEST(MissedTest, ConnectionsStartedAgain) {
  MissedTracker m;
  m.taken(Conn(1, 1, 1, kActive | kStarted));
  m.taken(Conn(1, 2, 2, kActive | kStarted));
  m.taken(Conn(1, 2, 2, kUpdated));  // its end
  m.taken(Conn(1, 1, 3, kActive | kStarted));
  m.taken(Conn(1, 2, 4, kActive | kStarted));
  EXPECT_EQ(m.missed_ends(), 1u);
  EXPECT_EQ(m.missed_starts(), 0u);
}

// Connections seen active that leave the table are found by the sweep.
TEST(MissedTest, ConnectionsGoneFromTheTable) {
  Mon_Handle_t writer, reader;
  ASSERT_EQ(0, Mon_MmapOpen(0, &writer));
  ASSERT_EQ(0, Mon_MmapOpen(MON_ALARM_READER, &reader));
  MissedTracker m;
  uint32_t self = static_cast<uint32_t>(getpid());
  for (uint32_t n = 1; n <= 3; n++) {
    Uint64 key = {{self, n}};
    ASSERT_EQ(0, MonMmapStartConn(writer, key, 1, 0, "u", nullptr, nullptr));
    m.taken(Conn(self, n, n - 1, kActive | kStarted));
  }
  Uint64 two = {{self, 2}}, three = {{self, 3}};
  MonMmapDeleteConn(writer, two);
  m.taken(Conn(self, 3, 2, kUpdated));  // 3's end was taken
  MonMmapDeleteConn(writer, three);
  m.sweep(reader);
  EXPECT_EQ(m.missed_ends(), 1u);
  m.sweep(reader);
  EXPECT_EQ(m.missed_ends(), 1u);
  EXPECT_EQ(Mon_MmapClose(writer), 0);  // the writer first: one mapping
  EXPECT_EQ(Mon_MmapClose(reader), 0);
}

}  // namespace
