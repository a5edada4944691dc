// The bridge's session book on a real table: keys and numbers per server
// process, sessions written whole, held sessions, the wait for the alarm
// reader, and lines read again after a takeover.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "monMmapInt.h"
#include "sessions.h"

namespace {

using bridge::Event;

Event ev(Event::Kind kind, uint32_t pid, int port, int64_t t) {
  Event e;
  e.kind = kind;
  e.pid = pid;
  e.time_us = t * 1000000;
  e.user = "u" + std::to_string(port);
  e.src.ip4 = htonl(0x0a000001);
  e.src.port = static_cast<uint16_t>(port);
  e.proxy.ip4 = htonl(0x0a000002);
  e.proxy.port = 1080;
  e.sid = "10.0.0.1." + std::to_string(port) + " 10.0.0.2.1080";
  if (kind == Event::kStart) {
    e.cmd = bridge::kCmdConnect;
    e.dst.ip4 = htonl(0xc0000201);
    e.dst.port = 443;
  }
  return e;
}

uint32_t DeadPid() {  // a process id no process has any more
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  return static_cast<uint32_t>(waitpid(pid, nullptr, 0));
}

Event ended(uint32_t pid, int port, int64_t t, uint32_t in, uint32_t err = 0) {
  Event e = ev(Event::kEnd, pid, port, t);
  e.has_bytes = true;
  e.in = in;
  e.out = 7;
  e.err = err;
  return e;
}

class BookTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Mon_MmapOpen(0, &h_));
    map_ = monMmapPtr;
  }
  void TearDown() override {
    if (reader_ != nullptr) Mon_MmapDrop(reader_);
    monMmapPtr = map_;  // the reader's mapping was the process's last
    Mon_MmapClose(h_);
  }
  void AttachReader() {
    ASSERT_EQ(0, Mon_MmapOpen(5, &reader_));
    monMmapPtr = map_;
  }
  std::vector<Mon_Conn_t> Take() {  // one scan by reader 5
    std::vector<Mon_Conn_t> out(1);
    for (int32_t i = 0; Mon_MmapGetNextConn(reader_, 1, &i, &out.back()) == 1;) out.emplace_back();
    out.pop_back();
    return out;
  }
  Mon_Handle_t h_ = nullptr, reader_ = nullptr;
  MonMmap_t *map_ = nullptr;
  volatile int stop_ = 0;
};

// Keys are (process, its own count); the alarm key follows that count;
// a start and an end make one record with the end's counts; an end with
// no start, or a failure in one line, is written whole.
TEST_F(BookTest, KeysNumbersAndWholeSessions) {
  AttachReader();
  bridge::Book book(h_, bridge::Book::Options(), &stop_);
  const uint32_t me = getpid(), gone = DeadPid();
  book.apply(ev(Event::kStart, me, 1, 100), 0);
  book.apply(ev(Event::kStart, gone, 2, 100), 0);  // a process not here: held
  book.apply(ev(Event::kStart, me, 3, 101), 0);
  EXPECT_EQ(std::make_pair(size_t{3}, size_t{1}), std::make_pair(book.open(), book.held()));
  book.apply(ended(me, 1, 105, 5000), 0);
  book.apply(ended(gone, 2, 106, 6000), 0);
  Event fail = ended(me, 4, 107, 0, bridge::kErrAuth);
  fail.cmd = bridge::kCmdNone;
  book.apply(fail, 0);
  auto taken = Take();
  ASSERT_EQ(4u, taken.size());
  std::sort(taken.begin(), taken.end(), [](const Mon_Conn_t &a, const Mon_Conn_t &b) {
    return std::make_pair(a.key.word[0], a.key.word[1]) < std::make_pair(b.key.word[0], b.key.word[1]);
  });
  // (pid, n, alarm key, start, end, in, err, active)
  auto row = [](const Mon_Conn_t &c) {
    return std::make_tuple(c.key.word[0], c.key.word[1], c.alarmKey, c.startTime, c.endTime,
                           c.inTotBytes, c.socksErrType, (c.connState & MON_ACTIVE) != 0);
  };
    if (gone < me) std::rotate(taken.begin(), taken.begin() + 1, taken.end());  // gone's record last
  EXPECT_EQ(std::make_tuple(me, 0u, 0u, 100, 105, 5000u, 0u, false), row(taken[0]));
  EXPECT_EQ(std::make_tuple(me, 1u, 1u, 101, 0, 0u, 0u, true), row(taken[1]));
  EXPECT_EQ(std::make_tuple(me, 2u, 2u, 107, 107, 0u, 10u, false), row(taken[2]));
  EXPECT_EQ(std::make_tuple(gone, 0u, 0u, 100, 106, 6000u, 0u, false), row(taken[3]));
  EXPECT_EQ(std::make_pair(0, 2), std::make_pair(int(taken[2].socksCmd), int(taken[2].authorize)));
  EXPECT_EQ(std::string("u4"), taken[2].userName);
  EXPECT_EQ(4u, book.counters().sessions);
}

// More sessions than the table holds, the reader taking now and then:
// none is lost, held ones go in as room appears.  A reader that takes
// nothing costs sessions only after the wait, and they are counted.
TEST_F(BookTest, WaitsForTheReaderAndCountsWhatAStuckOneLoses) {
  AttachReader();
  bridge::Book::Options o;
  o.wait_ms = 2000;
  bridge::Book book(h_, o, &stop_);
  const uint32_t me = getpid();
  pid_t drainer = fork();  // reader 5 in another process, slowly
  if (drainer == 0) {
    Mon_Handle_t r;
    for (int i = 0; i < 400; i++, usleep(5000)) {
      if (Mon_MmapOpen(5, &r) != 0) continue;
      Mon_Conn_t c;
      for (int32_t k = 0; Mon_MmapGetNextConn(r, 1, &k, &c) == 1;) {
      }
      Mon_MmapDrop(r);
    }
    _exit(0);
  }
  Mon_MmapDrop(reader_);
  reader_ = nullptr;
  monMmapPtr = map_;
  MonMmapRegion()->procPid[5] = drainer;
  for (int n = 0; n < 300; n++) {
    book.apply(ev(Event::kStart, me, 1000 + n, 100), 0);
    if (n >= 20) book.apply(ended(me, 1000 + n - 20, 101, 1), 0);
  }
  EXPECT_EQ(0u, book.counters().dropped);
  kill(drainer, SIGKILL);
  pid_t stuck = fork();  // attached, taking nothing
  if (stuck == 0) for (;;) pause();
  MonMmapRegion()->procPid[5] = stuck;
  bridge::Book::Options quick;
  quick.wait_ms = 100;
  bridge::Book book2(h_, quick, &stop_);
  for (int n = 0; n < 100; n++) book2.apply(ended(me, 5000 + n, 102, 1), 0);
  EXPECT_GT(book2.counters().dropped, 0u);
  EXPECT_EQ(100u, book2.counters().sessions);
  kill(stuck, SIGKILL);
  while (waitpid(-1, nullptr, 0) > 0) {
  }
}

// More open sessions than the table holds: the rest are held, go in as
// ends make room, and one that ends while held is written whole.
TEST_F(BookTest, HeldSessionsGoInWhenRoomAppears) {
  AttachReader();
  bridge::Book book(h_, bridge::Book::Options(), &stop_);
  const uint32_t me = getpid();
  for (int n = 0; n < 60; n++) book.apply(ev(Event::kStart, me, 100 + n, 100), 0);
  Take();
  size_t held = book.held();
  EXPECT_GT(held, 10u);
  EXPECT_LT(held, 30u);
  for (int n = 0; n < 30; n++) book.apply(ended(me, 100 + n, 101, 1), 0);
  Take();
  book.apply(ended(me, 159, 101, 1), 0);  // held: written whole
  book.tick(102 * 1000000LL);
  EXPECT_EQ(std::make_tuple(size_t{0}, uint64_t{60}, uint64_t{0}),
            std::make_tuple(book.held(), book.counters().sessions, book.counters().dropped));
}

// After a takeover the open records are open sessions again: their ends
// close them, and a start or end read a second time is not applied twice.
TEST_F(BookTest, TakeoverRereadsNothingTwice) {
  const uint32_t me = getpid();
  {
    bridge::Book book(h_, bridge::Book::Options(), &stop_);
    book.apply(ev(Event::kStart, me, 1, 100), 0);
    book.apply(ev(Event::kStart, me, 2, 100), 0);
    book.apply(ended(me, 2, 103, 9), 0);
  }
  bridge::Book again(h_, bridge::Book::Options(), &stop_);
  again.adopt();
  EXPECT_EQ(1u, again.open());
  again.apply(ev(Event::kStart, me, 1, 100), 0);  // read again
  again.apply(ended(me, 2, 103, 9), 0);           // read again
  again.apply(ended(me, 1, 104, 5), 0);
  again.apply(ev(Event::kStart, me, 3, 105), 0);
  EXPECT_EQ(std::make_pair(size_t{1}, uint64_t{1}), std::make_pair(again.open(), again.counters().sessions));
  Uint64 k1 = {{me, 0}}, k3 = {{me, 2}}, k4 = {{me, 3}};
  ASSERT_NE(nullptr, MonMmapConnPtr(h_, k1));
  EXPECT_EQ(104, MonMmapConnPtr(h_, k1)->endTime);
  EXPECT_EQ(nullptr, MonMmapConnPtr(h_, k4)) << "a session written twice";
  EXPECT_NE(nullptr, MonMmapConnPtr(h_, k3)) << "numbering goes on after the highest";
}

}  // namespace
