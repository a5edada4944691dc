// The connection table and its mutexes: allocator, hash index, writer and
// readers in one or two processes, cleanups, and a table that is replaced.
#include <arpa/inet.h>
#include <sched.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "monMmapInt.h"
#include "sigfix.h"

namespace {

using S = std::string;
using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;
const char kPath[] = MON_MMAP_DIR MON_MMAP_NAME;

Uint64 Key(uint32_t w0, uint32_t w1) { return Uint64{{w0, w1}}; }
Uint64 MyKey(uint32_t n) { return Key(getpid(), n); }  // served by a live process
Uint64 FromBytes(const char *b) { Uint64 k; memcpy(&k, b, 8); return k; }  // in memory order
info_t *Info(Mon_Handle_t h) { return static_cast<info_t *>(h); }
uint32_t WordFor(int32_t slot, uint32_t w = 1) {  // MyKey(w) has home `slot` of 37
  while (Hash(MyKey(w), 37) != slot) w++;
  return w;
}
S Stderr(const std::function<void()> &f) {  // what f reports
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}
pid_t DeadPid() {  // a process id that no process has any more
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  return waitpid(pid, nullptr, 0);
}
int Reap(pid_t pid) {  // pid's wait status; killed after 5 s
  int status = 0;
  for (int i = 0; waitpid(pid, &status, WNOHANG) == 0; i++, usleep(10000))
    if (i == 500) kill(pid, SIGKILL);
  return status;
}
Blocks FreeBlocks() {  // (offset, units) in list order from the anchor
  Blocks out;
  auto block = [](uint32_t off) { return static_cast<MonMmapHeader_t *>(MON_PTR(off)); };
  for (uint32_t off = monMmapPtr->base.off; off != 72 && out.size() < 5000; off = block(off)->off)
    out.emplace_back(off, block(off)->nUnits);
  return out;
}

// The test process as the table's creator and writer; readers opened with
// Reader() share its mapping and are closed before it.
class TableTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, Mon_MmapOpen(0, &h_)); map_ = monMmapPtr; }
  void TearDown() override {
    for (Mon_Handle_t r : readers_) EXPECT_EQ(0, Mon_MmapClose(r));
    EXPECT_EQ(0, Mon_MmapClose(h_));
  }
  MonMmap_t *hdr() { return monMmapPtr; }
  Mon_Handle_t Reader(uint8_t id) {
    Mon_Handle_t r;
    EXPECT_EQ(0, Mon_MmapOpen(id, &r));
    monMmapPtr = map_;
    return readers_.push_back(r), r;
  }
  std::vector<Mon_Conn_t> Drain(Mon_Handle_t r, int32_t readTime = 1) {  // one scan's copies
    std::vector<Mon_Conn_t> out(1);
    for (int32_t i = 0; Mon_MmapGetNextConn(r, readTime, &i, &out.back()) == 1;) out.emplace_back();
    return out.pop_back(), out;
  }
  int Start(uint32_t n) { return MonMmapStartConn(h_, MyKey(n), 1, 0, "u", nullptr, nullptr); }
  void Create(uint32_t n) { ASSERT_NE(nullptr, MonMmapCreateConn(h_, MyKey(n))); }
  void Delete(uint32_t n) { MonMmapDeleteConn(h_, MyKey(n)); }
  Mon_Handle_t h_ = nullptr;
  MonMmap_t *map_ = nullptr;
  std::vector<Mon_Handle_t> readers_;
};
using TableAlloc = TableTest;
using HashTest = TableTest;
using Stress = TableTest;

// The region layout other programs share, exact fits and exhaustion; freed
// neighbours merge in either order; bad or double frees change nothing.
TEST_F(TableAlloc, LayoutFitsMergesAndRefusals) {
  struct stat st;
  ASSERT_EQ(0, stat(kPath, &st));
  const Blocks fresh = {{80, 3937}};  // the hash array was taken from the arena's end
  EXPECT_EQ(std::make_tuple(32768L, 31744u, 37, getpid(), fresh, 80u + 3937 * 8 + 8),
            std::make_tuple(long{st.st_size}, hdr()->size, hdr()->nMaxConn, hdr()->procPid[0], FreeBlocks(),
                            hdr()->connOff));
  void *all = MmapAlloc(h_, 3936 * 8);
  EXPECT_EQ(std::make_tuple(88u, true, Blocks{}), std::make_tuple(MON_OFF(all), !MmapAlloc(h_, 1), FreeBlocks()));
  EXPECT_EQ(std::make_pair(ENOMEM, S("MmapAlloc: no more free memory")),
            std::make_pair(Info(h_)->errNum, S(Info(h_)->errMsg)));
  MmapFree(h_, all);
  EXPECT_EQ(std::make_pair(fresh, true), std::make_pair(FreeBlocks(), !MmapAlloc(h_, 0xfffffffcu)));
  for (int order = 0; order < 2; order++) {
    void *a = MmapAlloc(h_, 752), *b = MmapAlloc(h_, 752), *c = MmapAlloc(h_, 752);
    MmapFree(h_, order ? a : b), MmapFree(h_, order ? b : a);
    EXPECT_EQ(std::make_pair(MON_OFF(b) - 8, 190u), FreeBlocks().back()) << "a and b merged";
    MmapFree(h_, c);
    EXPECT_EQ(fresh, FreeBlocks()) << order;
  }
  char *a = static_cast<char *>(MmapAlloc(h_, 100)), *base = reinterpret_cast<char *>(hdr());
  MmapFree(h_, a);
  for (char *bad : {base + 40, base + 80, base + hdr()->size, base - 8, a}) {  // a: freed twice
    MmapFree(h_, bad);
    EXPECT_EQ(std::make_pair(EFAULT, fresh), std::make_pair(errno, FreeBlocks()));
  }
}

// The primes, hash and probes other programs share: home, Hash(key, n - 4),
// then on by one past markers; a rebuild drops markers, frees the old array.
TEST_F(HashTest, PrimesHashAndProbes) {
  for (auto [n, p] : {std::pair{0, 5}, {4, 5}, {8, 11}, {36, 37}, {37, 37}, {55, 59}, {-7, 5}, {121, 127}})
    EXPECT_EQ(p, Prime(n)) << n;
  const Uint64 key = FromBytes("\1\0\0\0\2\0\0\0");
  EXPECT_EQ(std::make_tuple(28, 32, 0, int((0xffu << 17) % 1000003u)),
            std::make_tuple(Hash(key, 37), Hash(key, 33), Hash(key, 0), Hash(FromBytes("\0\0\0\0\0\0\0\xff"), 1000003)));
  Create(WordFor(28)), Create(WordFor(32)), Delete(WordFor(32));
  EXPECT_EQ(std::make_tuple(1u, 1, 33), std::make_tuple(MON_SLOTS()[32], hdr()->nDelConn, HashIndex(key)));
  ASSERT_NE(nullptr, MonMmapCreateConn(h_, key));
  auto units = [] { uint32_t n = 0; for (auto b : FreeBlocks()) n += b.second; return n; };
  const uint32_t before = units();
  ASSERT_EQ(0, ResizeHashTable(h_, 37));
  EXPECT_EQ(std::make_tuple(0, 32, before), std::make_tuple(hdr()->nDelConn, HashIndex(key), units()));
}

// Rebuilt in place without memory, arrays of many shapes lose their markers
// and every live record is found by its key, by a scan and by a reader.
TEST_F(HashTest, InPlaceRebuildKeepsEveryRecordFindable) {
  Mon_Handle_t r5 = Reader(5);
  std::mt19937 rng(9);
  for (int round = 0; round < 60; round++) {
    std::vector<uint32_t> live, taken;
    for (int i = 0; i < 45 && hdr()->nCurConn < 27; i++) {
      const uint32_t w = round % 3 ? rng() % 100000 + 1 : WordFor(7, rng() % 100000 + 1);
      if (MonMmapConnPtr(h_, MyKey(w)) != nullptr) continue;
      Create(w);
      if (rng() % 100 < round % 5 * 25u) Delete(w);
      else live.push_back(w), MonMmapConnPtr(h_, MyKey(w))->connState = MON_CHG_START << 12;
    }
    std::vector<void *> hog;  // no memory left for a new array
    for (unsigned size : {752, 64, 8})
      for (void *p; (p = MmapAlloc(h_, size)) != nullptr;) hog.push_back(p);
    const uint32_t connOff = hdr()->connOff;
    ASSERT_EQ(0, ResizeHashTable(h_, 37));
    int32_t index = 0, scanned = 0;
    while (MonMmapIterateConn(h_, &index) != nullptr) scanned++;
    for (const Mon_Conn_t &c : Drain(r5)) taken.push_back(c.key.word[1]);
    std::sort(taken.begin(), taken.end()), std::sort(live.begin(), live.end());
    EXPECT_EQ(std::make_tuple(connOff, 0, 0L, live, int(live.size()), true),
              std::make_tuple(hdr()->connOff, hdr()->nDelConn, std::count(MON_SLOTS(), MON_SLOTS() + 37, 1u),
                              taken, scanned, HashIndex(MyKey(100001)) >= 0)) << "round " << round;
    for (uint32_t w : live) EXPECT_NE(nullptr, MonMmapConnPtr(h_, MyKey(w))) << w;
    for (void *p : hog) MmapFree(h_, p);
    for (uint32_t w : live) Delete(w);
  }
}

// Reader 5 takes each change once with its fields, nothing reported; scans
// end after the last slot; texts are cut and zero-padded to their fields.
TEST_F(TableTest, ReaderSeesEveryChange) {
  testing::internal::CaptureStderr();
  Mon_Handle_t r = Reader(5);
  sockaddr_in src = {AF_INET, htons(4000), {inet_addr("10.1.2.3")}, {}}, dst = src;
  const uint32_t w = WordFor(36);
  const S user(200, 'u'), host(128, 'h');
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(w), 100, 7, user.c_str(), &src, "client"));
  int32_t index = 0;
  EXPECT_TRUE(MonMmapIterateConn(h_, &index) && index == 37 && !MonMmapIterateConn(h_, &index) && index == 0);
  auto c = Drain(r, 1000);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(std::make_tuple(MON_ACTIVE | MON_CHG_START, 100, 7, 0, S(128, 'u'), S("client"), 0),
            std::make_tuple(c[0].connState, c[0].startTime, +c[0].authorize, c[0].readTime, S(c[0].userName, 128),
                            S(c[0].srcHostName), memcmp(&src, &c[0].srcSockAddr, sizeof src)));
  dst.sin_port = htons(53);
  ASSERT_EQ(0, MonMmapUpdateConn(h_, MyKey(w), 110, 5, 6, 3, "abcdefghijklmnop", 0, "proxy", &dst, host.c_str()));
  const uint32_t firstKey = c[0].alarmKey;
  ASSERT_EQ(1u, (c = Drain(r, 2000)).size());
  EXPECT_EQ(std::make_tuple(MON_ACTIVE | MON_CHG_UPDATE, 1000, 110, 5u, 6u, 3, S("abcdefghijklmnop"), S("proxy"), host, 0),
            std::make_tuple(c[0].connState, c[0].readTime, c[0].curTime, c[0].inTotBytes, c[0].outTotBytes,
                            +c[0].socksCmd, S(c[0].applicName, 16), S(c[0].proxyHostName), S(c[0].dstHostName, 128),
                            memcmp(&dst, &c[0].dstSockAddr, sizeof dst)));
  ASSERT_FALSE(MonMmapUpdateConn(h_, MyKey(w), 110, 5, 6, 3, "ab", 0, 0, 0, 0) ||
               MonMmapErrConn(h_, MyKey(w), 120, 4, "refused") || MonMmapEndConn(h_, MyKey(w), 130));
  ASSERT_EQ(1u, (c = Drain(r, 0)).size());
  EXPECT_EQ(std::make_tuple(MON_CHG_ERROR | MON_CHG_UPDATE, 4u, S("refused"), 130, S("ab") + S(14, 0), host, 2000),
            std::make_tuple(c[0].connState, c[0].socksErrType, S(c[0].socksErrMsg), c[0].endTime,
                            S(c[0].applicName, 16), S(c[0].dstHostName, 128), MonMmapConnPtr(h_, MyKey(w))->readTime));
  // Both marks in one copy; starts numbered by the writer's count of them.
  ASSERT_FALSE(Start(w + 1) || MonMmapUpdateConn(h_, MyKey(w + 1), 1, 1, 1, 1, 0, 0, 0, 0, 0));
  ASSERT_EQ(1u, (c = Drain(r, 3000)).size());
  EXPECT_EQ(std::make_pair(MON_ACTIVE | MON_CHG_START | MON_CHG_UPDATE, firstKey + 1),
            std::make_pair(c[0].connState, c[0].alarmKey));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  hdr()->nMaxConn = 0;  // a header without slots is refused
  EXPECT_EQ(-1, Mon_MmapGetNextConn(r, 0, &index, &c[0]));
}

// An early reader fails, its handle freed quietly; a dead writer's table is
// made anew, dropped by a reader, removed on close; null handles reported.
TEST(TableOpen, EarlyReaderLeftoverTableAndRemoval) {
  Mon_Handle_t h, r;
  EXPECT_EQ(-1, Mon_MmapOpen(5, &h));
  EXPECT_EQ(std::make_pair(ENOENT, S("open(/tmp/mon.mmap,0x2,0x1b6) failed")),
            std::make_pair(Info(h)->errNum, S(Info(h)->errMsg)));
  EXPECT_EQ("", Stderr([&] { Mon_MmapFree(h), Mon_MmapFree(nullptr); }));
  pid_t pid = fork();
  if (pid == 0) _exit(Mon_MmapOpen(0, &h) || MonMmapStartConn(h, Key(1, 1), 1, 0, "left", nullptr, nullptr));
  ASSERT_EQ(0, Reap(pid));
  ASSERT_EQ(0, Mon_MmapOpen(0, &h));
  EXPECT_EQ(std::make_pair(0, true), std::make_pair(monMmapPtr->nCurConn, !MonMmapConnPtr(h, Key(1, 1))));
  ASSERT_FALSE(Mon_MmapOpen(5, &r) || Mon_MmapReplaced(r)) << "a live table is not replaced";
  Mon_MmapDrop(r);
  EXPECT_EQ(nullptr, monMmapPtr) << "a dropped mapping is forgotten";
  monMmapPtr = static_cast<MonMmap_t *>(Info(h)->addr);
  EXPECT_EQ(0, Mon_MmapClose(h));
  for (const char *f : {kPath, "/tmp/mon.hash.mutex", "/tmp/mon.free.mutex"}) EXPECT_NE(0, access(f, F_OK)) << f;
  EXPECT_NE(S::npos, Stderr([] { int32_t i = 0; MonMmapIterateConn(nullptr, &i); }).find(MON_BAD_HANDLE));
  EXPECT_NE(S::npos, Stderr([] { CreateHashTable(nullptr, 5); }).find(MON_BAD_HANDLE));
}

// A dead alarm reader is dropped at the next start: no marks, no numbers,
// and its pending marks are withdrawn at the next change.
TEST_F(TableTest, DeadAlarmReaderIsDroppedByNextStart) {
  hdr()->procPid[5] = getpid();
  ASSERT_EQ(0, Start(1));  // marked for reader 5
  hdr()->procPid[5] = DeadPid();
  ASSERT_EQ(0, Start(2));
  const Mon_Conn_t *rec = MonMmapConnPtr(h_, MyKey(2));
  EXPECT_EQ(std::make_tuple(0, MON_ACTIVE, 0u), std::make_tuple(hdr()->procPid[5], rec->connState, rec->alarmKey));
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(1), 2));
  EXPECT_EQ(0u, MonMmapConnPtr(h_, MyKey(1))->connState) << "pending start withdrawn";
}

// A cleanup ends the connections of gone servers; the full one deletes ended
// records and interrupts the live readers 1-4 that had not taken them only.
TEST_F(TableTest, Cleanups) {
  Mon_Handle_t r2 = Reader(2);
  pid_t late = fork();
  if (late == 0) for (;;) pause();
  hdr()->procPid[1] = late, hdr()->procPid[3] = getpid();
  const int32_t gone = DeadPid();
  ASSERT_FALSE(MonMmapStartConn(h_, Key(gone, 1), 1, 0, "u", nullptr, nullptr) || Start(2));
  Drain(r2);
  ASSERT_EQ(0, MonMmapCleanup(h_, 0));
  auto c = Drain(r2);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(std::make_tuple(MON_CHG_UPDATE, uint32_t(gone), true),
            std::make_tuple(c[0].connState, c[0].key.word[0], c[0].endTime != 0));
  hdr()->procPid[3] = 0;  // gone without taking its marks
  pid_t cleaner = fork();  // in a process group of its own
  if (cleaner == 0) setpgid(0, 0), _exit(MonMmapCleanup(h_, 1));
  EXPECT_EQ(std::make_pair(0, SIGINT), std::make_pair(Reap(cleaner), Reap(late))) << "wait statuses";
  EXPECT_EQ(std::make_pair(true, 1), std::make_pair(!MonMmapConnPtr(h_, Key(gone, 1)), hdr()->nCurConn));
}

// Sixty connections open against room for about 41: starts beyond it fail
// for memory only, ends make room again, and the table never jams.
TEST_F(TableTest, SixtyOpenConnectionsNeverJamTheTable) {
  Mon_Handle_t r5 = Reader(5);
  std::vector<char> held(2100);  // by key: started
  int open = 0, fewest = 99, otherErrors = 0;
  auto start = [&](uint32_t n) {
    errno = 0;
    otherErrors += !(held[n] = Start(n) == 0) && errno != ENOMEM;
    return open += held[n], held[n];
  };
  testing::internal::CaptureStderr();
  for (uint32_t n = 0; n < 1620; n++) {
    if (n >= 60) {
      EXPECT_EQ(held[n - 60] - 1, MonMmapEndConn(h_, MyKey(n - 60), 3));
      open -= held[n - 60];
    }
    if (n % 7 == 0 || n >= 1560) Drain(r5);
    if (n < 1560) start(n), fewest = std::min(fewest, n >= 60 ? open : 99);
  }
  for (uint32_t n = 2000; n < 2040; n++) EXPECT_TRUE(start(n)) << "after the ends, start " << n;
  const S err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::make_tuple(true, 0, S::npos, 0),
            std::make_tuple(fewest >= 40, otherErrors, err.find("hash table full"), MonMutexQuery(Info(h_)->hashMutex)));
}

// A writer that waits while the table has no room never makes it delete an
// ended connection the alarm reader has not taken; a connection written
// whole is one change, numbered as its writer says.
TEST_F(TableTest, RoomNeverCostsAnUnseenEnd) {
  Mon_Handle_t r5 = Reader(5);
  EXPECT_EQ(28, MonMmapRoom(h_)) << "three quarters of 37 slots, plus one";
  auto unseen = [&] {
    int n = 0;
    for (int32_t i = 0; const Mon_Conn_t *c = MonMmapIterateConn(h_, &i);)
      n += !(c->connState & MON_ACTIVE) && (c->connState & MON_CHG_MASK(5));
    return n;
  };
  int waits = 0;
  for (uint32_t n = 1; n <= 400; n++) {
    while (MonMmapRoom(h_) == 0) {  // the reader takes, a cleanup frees
      waits++;
      Drain(r5);
      MonMmapCleanup(h_, 0);
    }
    int before = unseen();
    Mon_Conn_t c{};
    c.connState = MON_ACTIVE, c.alarmKey = 7000 + n, c.startTime = 1, c.userName[0] = 'u';
    ASSERT_FALSE(!MonMmapCreateConn(h_, MyKey(n)) || MonMmapWriteConn(h_, MyKey(n), &c, MON_CHG_START));
    ASSERT_EQ(std::make_tuple(7000 + n, MON_ACTIVE | MON_CHG_START << 12), std::make_tuple(
        MonMmapConnPtr(h_, MyKey(n))->alarmKey, MonMmapConnPtr(h_, MyKey(n))->connState)) << "one change";
    ASSERT_EQ(before, unseen()) << "start " << n << " deleted an unseen end";
    if (n > 12) {
      ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(n - 12), 2));
    }
    if (n % 50 == 0) Drain(r5);
  }
  EXPECT_GT(waits, 0);
}

// A table whose writer was killed is taken over with its records; its
// reader, still registered, attaches again.  A live writer's is refused.
TEST(TableOpen, TakeOverAfterAKilledWriter) {
  Mon_Handle_t h, r;
  pid_t pid = fork();
  if (pid == 0) _exit(Mon_MmapOpen(0, &h) || MonMmapStartConn(h, Key(1, 9), 5, 0, "kept", nullptr, nullptr));
  ASSERT_EQ(0, Reap(pid));
  ASSERT_EQ(0, Mon_MmapTakeOver(&h));
  ASSERT_NE(nullptr, MonMmapConnPtr(h, Key(1, 9)));
  EXPECT_EQ(S("kept"), S(MonMmapConnPtr(h, Key(1, 9))->userName));
  EXPECT_EQ(getpid(), monMmapPtr->procPid[0]);
  monMmapPtr->procPid[5] = getpid();  // left from before the writer died
  MonMmap_t *map = monMmapPtr;
  ASSERT_EQ(0, Mon_MmapOpen(5, &r));
  monMmapPtr = map;
  EXPECT_EQ(0, Mon_MmapClose(r));
  pid = fork();
  if (pid == 0) _exit(Mon_MmapTakeOver(&r) == -1 && errno == EBUSY ? 0 : 1);
  EXPECT_EQ(0, Reap(pid)) << "a live writer's table is not taken";
  EXPECT_EQ(0, Mon_MmapClose(h));
}

// A writer in another process races reader 5 as fast as both can go; the
// reader must end up with every connection's final state.
TEST_F(Stress, ReaderTakesEveryLastChange) {
  constexpr uint32_t kConns = 10000;
  auto steps = [](uint32_t id) { return 1 + id % 4; };
  Mon_Handle_t r5 = Reader(5);
  pid_t writer = fork();
  if (writer == 0) {  // never more than 27 records, so no full cleanup
    int failures = 0;
    for (uint32_t id = 0; id < kConns; id++) {
      while (hdr()->nCurConn >= 27) MonMmapCleanup(h_, 0), sched_yield();
      failures += Start(id) != 0;
      for (uint32_t done = 1; done <= steps(id); done++)
        failures += MonMmapUpdateConn(h_, MyKey(id), 2, done * 100, done * 10, 1, 0, 0, 0, 0, 0) != 0;
      failures += MonMmapEndConn(h_, MyKey(id), 3) != 0;
    }
    _exit(failures != 0);
  }
  std::vector<Mon_Conn_t> last(kConns);
  int status = -1, bad = 0;
  for (bool ended = false; !ended; sched_yield()) {  // a last scan after the writer's end
    ended = waitpid(writer, &status, WNOHANG) == writer;
    for (const Mon_Conn_t &c : Drain(r5)) last[c.key.word[1] % kConns] = c;
  }
  for (uint32_t id = 0; id < kConns; id++)
    bad += !(last[id].endTime == 3 && (last[id].connState & (MON_ACTIVE | MON_CHG_UPDATE)) == MON_CHG_UPDATE &&
             last[id].inTotBytes == steps(id) * 100 && last[id].outTotBytes == steps(id) * 10);
  EXPECT_EQ(std::make_pair(0, 0), std::make_pair(status, bad)) << "writer's status, wrong last copies";
}

std::pair<S, int> LastErr(Mon_Handle_t h) {  // message, error number
  char msg[MON_ERRMSG_LEN];
  int num;
  MonMutexLastErr(h, &num, msg);
  return {msg, num};
}

// A holder excludes others, a free mutex is not released, failures are kept
// in the handle, the creator's close removes it, a null handle is reported.
TEST(Mutex, HoldReleaseBadNamesAndHandles) {
  Mon_Handle_t first, h, r;  // first: so that mt's set id is not 0
  ASSERT_FALSE(MonMutexOpen("first", 1, &first) || MonMutexOpen("mt", 1, &h) || MonMutexOpen("mt", 0, &r));
  const int id = semget(ftok("/tmp/mt", 'V'), 0, 0);
  S file;
  std::getline(std::ifstream("/tmp/mt"), file);
  EXPECT_EQ(std::to_string(id), file) << "the file names the set";
  EXPECT_TRUE(MonMutexRequest(h) == 0 && MonMutexQuery(r) == 1 && MonMutexRelease(h) == 0 && MonMutexQuery(r) == 0);
  EXPECT_EQ(-1, MonMutexRelease(r)) << "not held";
  EXPECT_EQ(std::make_pair("MonMutexRelease: semop(" + std::to_string(id) + ") failed", EAGAIN), LastErr(r));
  EXPECT_FALSE(MonMutexClose(h) || MonMutexClose(r) || MonMutexClose(first));
  EXPECT_EQ(std::make_pair(-1, -1), std::make_pair(access("/tmp/mt", F_OK), semctl(id, 0, GETVAL)));
  for (const char *name : {"", static_cast<const char *>(nullptr)}) {
    EXPECT_EQ(-1, MonMutexOpen(name, 1, &h));
    EXPECT_EQ(std::make_pair(S("MonMutexOpen: bad mutex name"), ENOENT), LastErr(h));
    EXPECT_EQ(0, MonMutexClose(h));
  }
  EXPECT_NE(S::npos, Stderr([] { EXPECT_EQ(-1, MonMutexQuery(nullptr)); }).find("bad handle, MonMutexOpen"));
}

// ---- Who may write the table

union SemArg {
  int val;
  semid_ds *buf;
  unsigned short *array;
};
S Slurp(const char *path) {
  std::ifstream f(path, std::ios::binary);
  return S(std::istreambuf_iterator<char>(f), {});
}
void Put(const char *path, const S &bytes) { std::ofstream(path, std::ios::binary) << bytes; }
std::pair<unsigned, gid_t> FileMode(const char *path) {
  struct stat st = {};
  stat(path, &st);
  return {st.st_mode & 0777, st.st_gid};
}
semid_ds SetOf(const char *key) {  // the semaphore set keyed by that file
  semid_ds ds = {};
  SemArg arg;
  arg.buf = &ds;
  semctl(semget(ftok(key, 'V'), 0, 0), 0, IPC_STAT, arg);
  return ds;
}
void SetPerm(const char *key, uid_t uid, unsigned mode) {
  semid_ds ds = SetOf(key);
  SemArg arg;
  ds.sem_perm.uid = uid, ds.sem_perm.mode = mode, arg.buf = &ds;
  ASSERT_EQ(0, semctl(semget(ftok(key, 'V'), 0, 0), 0, IPC_SET, arg));
}

// Nothing at the table's path or a key file's is opened through a symbolic
// link, and no writer opens a second link or a FIFO there: their target is
// never written.  A short file is not mapped.
TEST(TableOpen, LinksFifosAndShortFilesRefused) {
  const S victim(32768, 'v');
  Put("/tmp/victim", victim);
  Mon_Handle_t h;
  auto open = [&](int procId) {  // errno and message of a failed open
    errno = 0;
    int r = procId < 0 ? Mon_MmapTakeOver(&h) : Mon_MmapOpen(procId, &h);
    auto out = std::make_pair(r == -1 ? errno : 0, S(Info(h)->errMsg));
    Mon_MmapFree(h);
    return out;
  };
  const S notRegular = "/tmp/mon.mmap: not a regular file with one link";
  testing::internal::CaptureStderr();
  ASSERT_EQ(0, symlink("/tmp/victim", kPath));
  for (int id : {0, 5, -1}) EXPECT_EQ(ELOOP, open(id).first) << id;
  ASSERT_FALSE(unlink(kPath) || link("/tmp/victim", kPath));
  for (int id : {0, 5, -1}) EXPECT_EQ(std::make_pair(EINVAL, notRegular), open(id)) << id;
  ASSERT_FALSE(unlink(kPath) || mkfifo(kPath, 0666));
  EXPECT_EQ(0, Mon_MmapLiveCreator()) << "not blocked by a FIFO";
  for (int id : {0, 5}) EXPECT_EQ(std::make_pair(EINVAL, notRegular), open(id)) << id;
  unlink(kPath);
  Put(kPath, S(MON_MMAP_SIZE - 1, 0));
  EXPECT_EQ(EAGAIN, open(5).first);
  unlink(kPath);
  ASSERT_EQ(0, symlink("/tmp/victim", "/tmp/mt"));
  for (bool create : {true, false}) {
    EXPECT_EQ(-1, MonMutexOpen("mt", create, &h));
    EXPECT_EQ(create ? ELOOP : EINVAL, LastErr(h).second) << create;
    EXPECT_EQ(0, MonMutexClose(h));
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::make_tuple(victim, 0), std::make_tuple(Slurp("/tmp/victim"), access("/tmp/mt", F_OK)));
  unlink("/tmp/mt"), unlink("/tmp/victim");
}

// A creator that names a mode and group gives them to the table file, the
// key files and the semaphore sets whatever its umask, and takes up no file
// of another user; without, files are 0666 less the umask and sets 0666.
TEST(TableOpen, CreatorModeAndGroup) {
  const char *keys[] = {"/tmp/mon.free.mutex", "/tmp/mon.hash.mutex"};
  for (bool asked : {false, true}) {
    pid_t pid = fork();
    if (pid == 0) {  // leaves the table for the test to look at
      umask(asked ? 077 : 022);
      if (asked) Mon_MmapSetMode(0660, 4242);
      Mon_Handle_t h;
      _exit(Mon_MmapOpen(0, &h));
    }
    ASSERT_EQ(0, Reap(pid));
    const auto file = asked ? std::make_pair(0660u, gid_t{4242}) : std::make_pair(0644u, getgid());
    const auto set = asked ? file : std::make_pair(0666u, getgid());
    EXPECT_EQ(file, FileMode(kPath)) << asked;
    for (const char *key : keys) {
      const semid_ds ds = SetOf(key);
      EXPECT_EQ(std::make_tuple(file, set), std::make_tuple(FileMode(key), std::make_pair(ds.sem_perm.mode & 0777u, ds.sem_perm.gid)))
          << key << " " << asked;
    }
    Mon_Handle_t h;
    ASSERT_EQ(0, Mon_MmapTakeOver(&h));
    EXPECT_EQ(file, FileMode(kPath)) << "no mode named: the mode stays";
    EXPECT_EQ(0, Mon_MmapClose(h));
  }
  Put(kPath, S(32768, 'x'));
  ASSERT_EQ(0, chown(kPath, 65534, 65534));
  pid_t pid = fork();
  if (pid == 0) {
    Mon_Handle_t h;
    Mon_MmapSetMode(0660, static_cast<gid_t>(-1));
    Stderr([&] { _exit(Mon_MmapOpen(0, &h) == -1 && errno == EPERM &&
                       Info(h)->errMsg == S("/tmp/mon.mmap belongs to uid 65534") ? 0 : 1); });
  }
  EXPECT_EQ(0, Reap(pid)) << "another user's file taken up";
  EXPECT_EQ(S(32768, 'x'), Slurp(kPath));
  unlink(kPath);
}

// A reader that names the writer attaches only to a table of that user or
// root that no other user may write; a refused table is neither reported
// nor written.  The same check on an attached table.
TEST(TableOpen, ReaderChecksTheWriter) {
  const mode_t umaskWas = umask(0);
  Mon_Handle_t h, r;
  ASSERT_EQ(0, Mon_MmapOpen(0, &h));
  umask(umaskWas);
  MonMmap_t *map = monMmapPtr;
  auto refusal = [&](uid_t writer) {  // why the reader was refused, "" when it attached
    S why;
    Mon_MmapSetWriter(writer);
    const S err = Stderr([&] {
      if (Mon_MmapOpen(5, &r) == 0) {
        Mon_MmapClose(r);
        return;
      }
      const bool quiet = errno == EPERM && map->procPid[5] == 0;
      int num;
      why = Mon_MmapLastErr(r, &num);
      if (!quiet || num != EPERM) why += " (not EPERM, or written)";
      Mon_MmapFree(r);
    });
    Mon_MmapSetWriter(static_cast<uid_t>(-1));
    monMmapPtr = map;
    return why + err;
  };
  EXPECT_EQ(-1, Mon_MmapCheckWriter(h, static_cast<uid_t>(-1)));
  EXPECT_EQ(std::make_pair(S("connection table /tmp/mon.mmap is writable by every user"), EPERM),
            std::make_pair(S(Mon_MmapLastErr(h, nullptr)), errno));
  EXPECT_EQ("connection table /tmp/mon.mmap is writable by every user", refusal(0));
  ASSERT_EQ(0, chmod(kPath, 0664));
  EXPECT_EQ("semaphore set of /tmp/mon.free.mutex is writable by every user", refusal(0));
  SetPerm("/tmp/mon.free.mutex", 0, 0660), SetPerm("/tmp/mon.hash.mutex", 0, 0620);
  EXPECT_EQ(std::make_tuple(S(), 0), std::make_tuple(refusal(0), Mon_MmapCheckWriter(h, static_cast<uid_t>(-1))));
  ASSERT_EQ(0, chown(kPath, 65534, -1));
  EXPECT_EQ(std::make_tuple(S("connection table /tmp/mon.mmap belongs to uid 65534, not to root"), S(), 0),
            std::make_tuple(refusal(0), refusal(65534), Mon_MmapCheckWriter(h, 65534)));
  ASSERT_EQ(0, chown(kPath, 0, -1));
  SetPerm("/tmp/mon.hash.mutex", 65534, 0600);
  EXPECT_EQ(std::make_tuple(S("semaphore set of /tmp/mon.hash.mutex belongs to uid 65534, not to root or uid 1234"), S()),
            std::make_tuple(refusal(1234), refusal(65534)));
  EXPECT_EQ(0, Mon_MmapClose(h));
}


// ---- A table others get in the way of

std::pair<int, int> Sound(Mon_Handle_t r) {  // Mon_MmapSound and its errno
  int rc = Mon_MmapSound(r);
  return {rc, errno};
}
int64_t Ms() {  // monotonic milliseconds
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// Slots no record can be at are passed over by every look-up, never
// followed, and dropped by a rebuild; a header that does not place the
// array inside the mapping fails every look-up, and no writer operation
// crashes on it.
TEST_F(HashTest, BadSlotsPassedOverBadHeadersRefused) {
  const uint32_t a = WordFor(7), b = WordFor(7, a + 1);  // b one probe past a
  Create(a), Create(b);
  const int32_t bSlot = HashIndex(MyKey(b));
  const S err = Stderr([&] {
    for (uint32_t bad : {0xfffffff8u, 40000u, 31744u - 744, 81u, 2u, 72u}) {
      MON_SLOTS()[7] = bad;
      EXPECT_EQ(nullptr, MonMmapConnPtr(h_, MyKey(a))) << bad;
      EXPECT_EQ(ESRCH, errno) << bad;
      EXPECT_TRUE(HashIndex(MyKey(b)) == bSlot && MonMmapConnPtr(h_, MyKey(b)) != nullptr) << bad;
    }
  });
  EXPECT_EQ("", err);
  ASSERT_EQ(0, ResizeHashTable(h_, 37));
  auto bad = [](uint32_t v) { return v > 1 && !MonGoodRecordOff(v); };
  EXPECT_EQ(std::make_tuple(1, true, 0L), std::make_tuple(hdr()->nCurConn, MonMmapConnPtr(h_, MyKey(b)) != nullptr,
                                                           std::count_if(MON_SLOTS(), MON_SLOTS() + 37, bad)));
  const MonMmap_t good = *hdr();
  Mon_Handle_t r5 = Reader(5);
  const uint32_t off = good.connOff;
  for (auto [n, at] : {std::pair{0, off}, {-5, off}, {INT32_MAX, off}, {7917, 80u}, {37, 0u}, {37, 79u},
                       {37, off + 2}, {37, 0xfffffff8u}}) {
    hdr()->nMaxConn = n, hdr()->connOff = at;
    Stderr([&] {
      EXPECT_EQ(-1, HashIndex(MyKey(b)));
      EXPECT_EQ(EINVAL, errno);
      EXPECT_EQ(nullptr, MonMmapConnPtr(r5, MyKey(b)));
      EXPECT_EQ(EINVAL, errno);
      EXPECT_EQ(std::make_pair(-1, EINVAL), Sound(r5));
      EXPECT_EQ(std::make_pair(0, true), std::make_pair(MonMmapRoom(h_), !MonMmapCreateConn(h_, MyKey(99))));
      MonMmapDeleteConn(h_, MyKey(b)), ResizeHashTable(h_, 37);
    });
    hdr()->nMaxConn = good.nMaxConn, hdr()->connOff = good.connOff;
  }
  EXPECT_EQ(0, Mon_MmapSound(r5));
}

// A free-list link or block leading out of the arena ends the walk: no
// memory handed out, nothing freed; a pointer not on a block is refused.
TEST_F(TableAlloc, BadLinksAndBlocksNotFollowed) {
  const Blocks fresh = FreeBlocks();
  char *a = static_cast<char *>(MmapAlloc(h_, 100));
  auto *at = static_cast<MonMmapHeader_t *>(MON_PTR(hdr()->freeOff));
  const MonMmapHeader_t keep = *at, first = *static_cast<MonMmapHeader_t *>(MON_PTR(keep.off));
  for (uint32_t bad : {0xfffffff8u, 31744u, 40u, 81u}) {
    at->off = bad;
    EXPECT_EQ(nullptr, MmapAlloc(h_, 8)) << bad;
    MmapFree(h_, a);
    EXPECT_EQ(EFAULT, errno) << bad;
    EXPECT_EQ(0, MonMmapRoom(h_)) << bad;
  }
  *at = keep;
  static_cast<MonMmapHeader_t *>(MON_PTR(keep.off))->nUnits = 0xffff;  // runs past the end
  EXPECT_EQ(nullptr, MmapAlloc(h_, 8));
  *static_cast<MonMmapHeader_t *>(MON_PTR(keep.off)) = first;
  MmapFree(h_, a + 4);
  EXPECT_EQ(EFAULT, errno);
  MmapFree(h_, a);
  EXPECT_EQ(fresh, FreeBlocks());
}

// With a bound, a lock held elsewhere fails the read when the bound is
// spent, waits cut short by a signal adding up; a signal or stop ends the
// wait at once; removed semaphores fail it without a report.  Without a
// bound (a writer) the operation goes on after reporting them.
TEST_F(TableTest, LockWaitsAreBounded) {
  Mon_Handle_t r5 = Reader(5);
  Mon_Conn_t c;
  int32_t index = 0, waited = -1;
  pid_t holder = fork();
  if (holder == 0) _exit(MonMutexRequest(Info(h_)->hashMutex) == 0 ? pause() : 1);
  for (int i = 0; i < 500 && MonMutexQuery(Info(h_)->hashMutex) != 1; i++) usleep(10000);
  struct sigaction sa = {};
  sa.sa_handler = [](int) {};
  sigaction(SIGALRM, &sa, nullptr);
  Mon_MmapSetLockWait(300, nullptr);
  int64_t t = Ms();
  ualarm(100000, 0);
  EXPECT_EQ(-1, Mon_MmapGetNextConn(r5, 1, &index, &c));
  EXPECT_EQ(EINTR, errno);
  EXPECT_EQ(EINTR, Mon_MmapLockFailed(&waited));
  EXPECT_LT(Ms() - t, 250);
  EXPECT_EQ(nullptr, MonMmapConnPtr(r5, MyKey(1)));
  EXPECT_EQ(ETIMEDOUT, errno);
  EXPECT_EQ(ETIMEDOUT, Mon_MmapLockFailed(&waited));
  EXPECT_GE(waited, 300);
  EXPECT_LT(Ms() - t, 450) << "the interrupted wait counts";
  t = Ms();
  EXPECT_EQ(nullptr, MonMmapIterateConn(r5, &index));
  EXPECT_EQ(ETIMEDOUT, errno);
  EXPECT_LT(Ms() - t, 200) << "a last try only";
  Mon_MmapSetLockWait(300, [] { return 1; });
  t = Ms();
  EXPECT_EQ(-1, Mon_MmapGetNextConn(r5, 1, &index, &c));
  EXPECT_EQ(EINTR, Mon_MmapLockFailed(nullptr));
  EXPECT_LT(Ms() - t, 50);
  Mon_MmapSetLockWait(300, nullptr);
  kill(holder, SIGKILL), Reap(holder);
  EXPECT_EQ(0, Mon_MmapGetNextConn(r5, 1, &index, &c));
  EXPECT_EQ(0, Mon_MmapLockFailed(&waited));
  EXPECT_EQ(0, waited);
  ASSERT_EQ(0, semctl(semget(ftok("/tmp/mon.hash.mutex", 'V'), 0, 0), 0, IPC_RMID));
  EXPECT_EQ("", Stderr([&] { EXPECT_EQ(-1, Mon_MmapGetNextConn(r5, 1, &index, &c)); }));
  EXPECT_EQ(EINVAL, Mon_MmapLockFailed(nullptr));
  Mon_MmapSetLockWait(0, nullptr);
  S err = Stderr([&] { EXPECT_NE(nullptr, MonMmapCreateConn(h_, MyKey(9))); });
  EXPECT_NE(S::npos, err.find("MonMutexRequest")) << err;
}

// A reader that lets go of a table in mid-operation gives its lock back.
TEST_F(TableTest, DropGivesBackAHeldLock) {
  Mon_Handle_t r;
  ASSERT_EQ(0, Mon_MmapOpen(5, &r));
  ASSERT_EQ(0, MonLock(Info(r)->hashMutex));
  EXPECT_EQ(1, MonMutexQuery(Info(h_)->hashMutex));
  Mon_MmapDrop(r);
  monMmapPtr = map_;
  EXPECT_EQ(0, MonMutexQuery(Info(h_)->hashMutex));
}

// Whether the table is still fit to read: its file cut short (checked
// before the mapping is touched), its header bad, the file replaced.  The
// daemon's reads of a mapping whose file was cut short are caught.
TEST_F(TableTest, SoundnessAndACutFile) {
  Mon_Handle_t r5 = Reader(5);
  EXPECT_EQ(0, Mon_MmapSound(r5));
  hdr()->nMaxConn = 0;
  EXPECT_EQ(std::make_pair(-1, EINVAL), Sound(r5));
  hdr()->nMaxConn = 37;
  ASSERT_EQ(0, truncate(kPath, 1000));
  EXPECT_EQ(std::make_pair(-1, ENODATA), Sound(r5));
  install_handler(SIGBUS, table_fault_signal);
  volatile char sink = 0;
  const volatile char *cut = reinterpret_cast<char *>(hdr()) + 20000;
  EXPECT_FALSE(table_read([&] { sink = *cut; }));
  EXPECT_TRUE(table_read([&] { sink = sink + 1; }));
  signal(SIGBUS, SIG_DFL);
  ASSERT_EQ(0, truncate(kPath, 32768));
  EXPECT_EQ(0, Mon_MmapSound(r5));
  ASSERT_EQ(0, rename(kPath, "/tmp/old.mmap"));
  { std::ofstream(kPath) << S(32768, '\0'); }
  EXPECT_EQ(std::make_pair(-1, ESTALE), Sound(r5));
  ASSERT_EQ(0, rename("/tmp/old.mmap", kPath));
}

}  // namespace
