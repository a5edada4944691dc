// A writer process races a reader process over the table as fast as both
// can go.  For every connection the reader must end up with a copy taken
// after the connection's last change: ended, with its final byte counts.
#include <poll.h>
#include <sched.h>
#include <time.h>

#include <chrono>
#include <vector>

#include "table_util.h"

namespace {

constexpr long kEvents = 200000;  // starts, updates and ends
constexpr size_t kMaxActive = 20;
constexpr int kMaxLive = 27;      // records in the table, ended ones too

uint32_t Steps(uint32_t id) { return 1 + id % 4; }
uint32_t FinalIn(uint32_t id) { return Steps(id) * (100 + id % 7); }
uint32_t FinalOut(uint32_t id) { return Steps(id) * 10; }

struct Report {
  uint32_t conns;    // connections made, numbered 0..conns-1
  uint32_t failures; // writer operations that returned -1
  uint32_t drained;  // 1 when the reader took every change in time
  double seconds;    // time spent on the events
};

struct Active {
  uint32_t id, done, in, out;
};

// Starts, updates and ends connections in random order; never more than
// kMaxLive records at once, so the table never needs a full cleanup.
Report Feed(Mon_Handle_t h) {
  Report rep = {};
  std::vector<Active> active;
  uint32_t rnd = 12345;
  long events = 0;
  auto t0 = std::chrono::steady_clock::now();
  while (events < kEvents || !active.empty()) {
    rnd = rnd * 1103515245u + 12345u;
    uint32_t r = rnd >> 8;
    bool mayStart = events < kEvents && active.size() < kMaxActive;
    if (mayStart && (active.empty() || r % 3 == 0)) {
      while (monMmapPtr->nCurConn >= kMaxLive) {
        MonMmapCleanup(h, 0);
        sched_yield();
      }
      uint32_t id = rep.conns++;
      if (MonMmapStartConn(h, MyKey(id), 1, 0, "stress", nullptr, nullptr))
        rep.failures++;
      active.push_back({id, 0, 0, 0});
    } else {
      size_t j = r % active.size();
      Active &c = active[j];
      if (c.done < Steps(c.id)) {
        c.done++;
        c.in += 100 + c.id % 7;
        c.out += 10;
        if (MonMmapUpdateConn(h, MyKey(c.id), 2, c.in, c.out, 1, nullptr,
                              nullptr, nullptr, nullptr, nullptr))
          rep.failures++;
      } else {
        if (MonMmapEndConn(h, MyKey(c.id), 3)) rep.failures++;
        active[j] = active.back();
        active.pop_back();
      }
    }
    events++;
  }
  rep.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return rep;
}

bool AllTaken() {
  int32_t index = 0;
  Mon_Conn_t *rec;
  while ((rec = MonMmapScan(&index)) != nullptr)
    if (__atomic_load_n(&rec->connState, __ATOMIC_ACQUIRE) & MON_CHG_MASK(5))
      return false;
  return true;
}

[[noreturn]] void Writer(int out, int in) {
  Mon_Handle_t h;
  char c = Mon_MmapOpen(0, &h) == 0 ? 'r' : 'x';
  (void)!write(out, &c, 1);
  while (monMmapPtr->procPid[5] == 0) usleep(1000);
  Report rep = Feed(h);
  for (int i = 0; i < 60000 && !AllTaken(); i++) usleep(1000);
  rep.drained = AllTaken();
  (void)!write(out, &rep, sizeof rep);
  (void)!read(in, &c, 1);  // the reader is done with the table
  Mon_MmapClose(h);
  _exit(0);
}

bool ReportReady(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST(Stress, ReaderTakesEveryLastChange) {
  int up[2], down[2];
  ASSERT_EQ(0, pipe(up));
  ASSERT_EQ(0, pipe(down));
  pid_t writer = fork();
  if (writer == 0) Writer(up[1], down[0]);
  char c = 0;
  ASSERT_EQ(1, read(up[0], &c, 1));
  ASSERT_EQ('r', c);
  Mon_Handle_t h;
  ASSERT_EQ(0, Mon_MmapOpen(5, &h));

  std::vector<Mon_Conn_t> last;
  std::vector<char> seen;
  long copies = 0;
  bool finished = false;
  Report rep = {};
  for (int quiet = 0; quiet < 2;) {
    if (!finished && ReportReady(up[0])) {
      ASSERT_EQ(static_cast<ssize_t>(sizeof rep), read(up[0], &rep, sizeof rep));
      finished = true;  // one more full pass after this, then stop
    }
    int32_t index = 0;
    int taken = 0, rc;
    Mon_Conn_t conn;
    while ((rc = Mon_MmapGetNextConn(h, static_cast<int32_t>(time(nullptr)),
                                     &index, &conn)) == 1) {
      uint32_t id = conn.key.word[1];
      if (id >= last.size()) {
        last.resize(id + 1024);
        seen.resize(id + 1024);
      }
      last[id] = conn;
      seen[id] = 1;
      taken++;
    }
    ASSERT_EQ(0, rc);
    copies += taken;
    if (taken == 0) sched_yield();
    if (finished) quiet += taken == 0;
  }
  ASSERT_EQ(1, write(down[1], "q", 1));
  int status;
  waitpid(writer, &status, 0);
  EXPECT_EQ(0, status);
  EXPECT_EQ(0, Mon_MmapClose(h));

  ASSERT_EQ(1u, rep.drained) << "writer saw unread changes at the end";
  EXPECT_EQ(0u, rep.failures);
  EXPECT_GE(rep.conns * 3, 66000u);
  int bad = 0;
  for (uint32_t id = 0; id < rep.conns && bad < 5; id++) {
    const Mon_Conn_t &l = last[id];
    bool ok = seen[id] && l.endTime == 3 && !(l.connState & MON_ACTIVE) &&
              (l.connState & MON_CHG_UPDATE) && l.inTotBytes == FinalIn(id) &&
              l.outTotBytes == FinalOut(id);
    if (!ok) {
      bad++;
      ADD_FAILURE() << "connection " << id << " seen=" << int(seen[id])
                    << " state=" << std::hex << l.connState << std::dec
                    << " end=" << l.endTime << " in=" << l.inTotBytes << "/"
                    << FinalIn(id) << " out=" << l.outTotBytes;
    }
  }
  long events = 0;
  for (uint32_t id = 0; id < rep.conns; id++) events += 2 + Steps(id);
  printf("stress: %ld events on %u connections in %.2f s: %.0f events/s; "
         "reader took %ld copies\n",
         events, rep.conns, rep.seconds, events / rep.seconds, copies);
}

}  // namespace
