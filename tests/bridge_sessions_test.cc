// The bridge's session book on a real table: keys and numbers per process, sessions
// written whole, held ones, the wait for the alarm reader, lines read again after a takeover.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "monMmapInt.h"
#include "sessions.h"

namespace {

using bridge::Event;

// User uPORT's session from 10.0.0.1.PORT via 10.0.0.2.1080 at t seconds: its start
// to 192.0.2.1.443, or, given in, its end (in bytes in, 7 out, error err).
Event ev(uint32_t pid, int port, int64_t t, int64_t in = -1, uint32_t err = 0) {
  Event e;
  e.kind = in < 0 ? Event::kStart : Event::kEnd;
  e.pid = pid;
  e.time_us = t * 1000000;
  e.user = "u" + std::to_string(port);
  e.src = {htonl(0x0a000001), static_cast<uint16_t>(port), {}};
  e.proxy = {htonl(0x0a000002), 1080, {}};
  e.sid = "10.0.0.1." + std::to_string(port) + " 10.0.0.2.1080";
  if (in < 0) e.dst = {htonl(0xc0000201), 443, {}};
  e.cmd = in < 0 ? bridge::kCmdConnect : bridge::kCmdNone;
  e.has_bytes = in >= 0;
  e.in = in < 0 ? 0 : static_cast<uint64_t>(in);
  e.out = in < 0 ? 0 : 7;
  e.err = err;
  return e;
}

class BookTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, Mon_MmapOpen(0, &h_)); map_ = monMmapPtr; }
  void TearDown() override {
    if (reader_ != nullptr) Mon_MmapDrop(reader_);
    monMmapPtr = map_;  // the reader's mapping was the process's last
    Mon_MmapClose(h_);
  }
  void AttachReader() { ASSERT_EQ(0, Mon_MmapOpen(5, &reader_)); monMmapPtr = map_; }
  std::vector<Mon_Conn_t> Take() {  // one scan by reader 5
    std::vector<Mon_Conn_t> out(1);
    for (int32_t i = 0; Mon_MmapGetNextConn(reader_, 1, &i, &out.back()) == 1;) out.emplace_back();
    out.pop_back();
    return out;
  }
  const uint32_t me = getpid();
  bridge::Book::Options opt_;
  Mon_Handle_t h_ = nullptr, reader_ = nullptr;
  MonMmap_t *map_ = nullptr;
  volatile int stop_ = 0;
};

// Keys are (process, its own count), the alarm key that count; a start and an end make one
// record with the end's counts; an end with no start, or a failure in one line, is written
// whole.  More open sessions than the table holds: the rest held, going in as ends make room.
TEST_F(BookTest, KeysNumbersAndWholeSessions) {
  AttachReader();
  bridge::Book book(h_, opt_, &stop_);
  pid_t child = fork();
  if (child == 0) _exit(0);
  const uint32_t gone = waitpid(child, nullptr, 0);  // a process no more
  for (const Event &e : {ev(me, 1, 100), ev(gone, 2, 100), ev(me, 3, 101)}) book.apply(e, 0);
  EXPECT_EQ(std::make_pair(size_t{3}, size_t{1}), std::make_pair(book.open(), book.held()));
  for (const Event &e : {ev(me, 1, 105, 5000), ev(gone, 2, 106, 6000), ev(me, 4, 107, 0, 10)})
    book.apply(e, 0);  // gone's start was held; port 4 a failed login, with no command
  std::multiset<std::tuple<uint32_t, uint32_t, uint32_t, int, int, uint32_t, uint32_t, bool>> rows;
  for (const Mon_Conn_t &c : Take()) {  // rows: (pid, n, alarm key, start, end, in, err, active)
    rows.emplace(c.key.word[0], c.key.word[1], c.alarmKey, c.startTime, c.endTime, c.inTotBytes,
                 c.socksErrType, (c.connState & MON_ACTIVE) != 0);
    if (c.key.word[1] != 2) continue;  // the rest for the failed login
    EXPECT_EQ(std::make_tuple(0, 2, std::string("u4")),
              std::make_tuple(int(c.socksCmd), int(c.authorize), std::string(c.userName)));
  }
  EXPECT_EQ(rows, (decltype(rows){
      {me, 0, 0, 100, 105, 5000, 0, false}, {me, 1, 1, 101, 0, 0, 0, true},
      {me, 2, 2, 107, 107, 0, 10, false}, {gone, 0, 0, 100, 106, 6000, 0, false}}));
  EXPECT_EQ(4u, book.counters().sessions);
  for (int n = 0; n < 60; n++) book.apply(ev(me, 100 + n, 100), 0);
  Take();
  EXPECT_TRUE(book.held() > 10 && book.held() < 30) << book.held();
  for (int n = 0; n < 30; n++) book.apply(ev(me, 100 + n, 101, 1), 0);
  Take();
  book.apply(ev(me, 159, 101, 1), 0);  // held: written whole
  book.tick(102 * 1000000LL);
  EXPECT_EQ(std::make_tuple(size_t{0}, uint64_t{64}, uint64_t{0}),
            std::make_tuple(book.held(), book.counters().sessions, book.counters().dropped));
}

// More sessions than the table holds, the reader taking now and then: none is lost.  A reader
// that takes nothing costs sessions only after the wait, and they are counted.
TEST_F(BookTest, WaitsForTheReaderAndCountsWhatAStuckOneLoses) {
  AttachReader();
  opt_.wait_ms = 2000;
  bridge::Book book(h_, opt_, &stop_);
  pid_t drainer = fork();  // reader 5 in another process, slowly
  if (drainer == 0) {
    Mon_Handle_t r;
    Mon_Conn_t c;
    for (int i = 0; i < 400; i++, usleep(5000)) {
      if (Mon_MmapOpen(5, &r) != 0) continue;
      for (int32_t k = 0; Mon_MmapGetNextConn(r, 1, &k, &c) == 1;) {}
      Mon_MmapDrop(r);
    }
    _exit(0);
  }
  Mon_MmapDrop(reader_);
  reader_ = nullptr;
  monMmapPtr = map_;
  MonMmapRegion()->procPid[5] = drainer;
  for (int n = 0; n < 300; n++) {
    book.apply(ev(me, 1000 + n, 100), 0);
    if (n >= 20) book.apply(ev(me, 1000 + n - 20, 101, 1), 0);
  }
  EXPECT_EQ(0u, book.counters().dropped);
  kill(drainer, SIGKILL);
  pid_t stuck = fork();  // attached, taking nothing
  if (stuck == 0) for (;;) pause();
  MonMmapRegion()->procPid[5] = stuck;
  opt_.wait_ms = 100;
  bridge::Book book2(h_, opt_, &stop_);
  for (int n = 0; n < 100; n++) book2.apply(ev(me, 5000 + n, 102, 1), 0);
  EXPECT_GT(book2.counters().dropped, 0u);
  EXPECT_EQ(100u, book2.counters().sessions);
  kill(stuck, SIGKILL);
  while (waitpid(-1, nullptr, 0) > 0) {}
}

// After a takeover the open records are open sessions again, closed by their ends; a start
// or end read a second time is not applied twice.
TEST_F(BookTest, TakeoverRereadsNothingTwice) {
  {
    bridge::Book book(h_, opt_, &stop_);
    for (const Event &e : {ev(me, 1, 100), ev(me, 2, 100), ev(me, 2, 103, 9)}) book.apply(e, 0);
  }
  bridge::Book again(h_, opt_, &stop_);
  again.adopt();
  EXPECT_EQ(1u, again.open());
  // the start of 1 and the end of 2 read again, then new lines
  for (const Event &e : {ev(me, 1, 100), ev(me, 2, 103, 9), ev(me, 1, 104, 5), ev(me, 3, 105)})
    again.apply(e, 0);
  EXPECT_EQ(std::make_pair(size_t{1}, uint64_t{1}),
            std::make_pair(again.open(), again.counters().sessions));
  ASSERT_NE(nullptr, MonMmapConnPtr(h_, {{me, 0}}));
  EXPECT_EQ(104, MonMmapConnPtr(h_, {{me, 0}})->endTime);
  EXPECT_EQ(nullptr, MonMmapConnPtr(h_, {{me, 3}})) << "a session written twice";
  EXPECT_NE(nullptr, MonMmapConnPtr(h_, {{me, 2}})) << "numbering goes on after the highest";
}

}  // namespace
