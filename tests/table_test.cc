// The connection table and its mutexes: allocator, hash index, writer and
// readers in one or two processes, cleanups, and a table that is replaced.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
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

#include "monMmapInt.h"

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
uint32_t FreeUnits() { uint32_t n = 0; for (auto b : FreeBlocks()) n += b.second; return n; }

// The test process as the table's creator and writer; readers opened with
// Reader() share its mapping and are closed before it.
class TableTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Mon_MmapOpen(0, &h_));
    map_ = monMmapPtr;
  }
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
  std::vector<void *> Hog() {  // every free byte, in pieces as small as they come
    std::vector<void *> hog;
    for (unsigned size : {752, 64, 8})
      for (void *p; (p = MmapAlloc(h_, size)) != nullptr;) hog.push_back(p);
    return hog;
  }
  Mon_Handle_t h_ = nullptr;
  MonMmap_t *map_ = nullptr;
  std::vector<Mon_Handle_t> readers_;
};
using TableAlloc = TableTest;
using HashTest = TableTest;
using ReplacedTest = TableTest;
using Stress = TableTest;

// The region layout other programs share, exact fits and exhaustion.
TEST_F(TableAlloc, LayoutExactFitAndExhaustion) {
  struct stat st;
  ASSERT_EQ(0, stat(kPath, &st));
  EXPECT_EQ(std::make_tuple(32768L, 31744u, 37, getpid(), Blocks{{80, 3937}}, 80u + 3937 * 8 + 8),
            std::make_tuple(long{st.st_size}, hdr()->size, hdr()->nMaxConn, hdr()->procPid[0], FreeBlocks(),
                            hdr()->connOff));  // the hash array taken from the arena's end
  void *all = MmapAlloc(h_, 3936 * 8);
  EXPECT_EQ(std::make_tuple(88u, true, Blocks{}), std::make_tuple(MON_OFF(all), !MmapAlloc(h_, 1), FreeBlocks()));
  EXPECT_EQ(std::make_pair(ENOMEM, S("MmapAlloc: no more free memory")),
            std::make_pair(Info(h_)->errNum, S(Info(h_)->errMsg)));
  MmapFree(h_, all);
  EXPECT_EQ(std::make_pair(Blocks{{80, 3937}}, true), std::make_pair(FreeBlocks(), !MmapAlloc(h_, 0xfffffffcu)));
}

// Freed neighbours merge in either order; bad or double frees change nothing.
TEST_F(TableAlloc, FreesMergeOrAreRefused) {
  const Blocks before = FreeBlocks();
  for (int order = 0; order < 2; order++) {
    void *a = MmapAlloc(h_, 752), *b = MmapAlloc(h_, 752), *c = MmapAlloc(h_, 752);
    MmapFree(h_, order ? a : b), MmapFree(h_, order ? b : a);
    EXPECT_EQ(std::make_pair(MON_OFF(b) - 8, 190u), FreeBlocks().back()) << "a and b merged";
    MmapFree(h_, c);
    EXPECT_EQ(before, FreeBlocks()) << order;
  }
  char *a = static_cast<char *>(MmapAlloc(h_, 100)), *base = reinterpret_cast<char *>(hdr());
  ASSERT_NE(nullptr, MmapAlloc(h_, 100));
  MmapFree(h_, a);
  const Blocks freed = FreeBlocks();
  for (char *bad : {base + 40, base + 80, base + hdr()->size, base - 8, a}) {
    MmapFree(h_, bad);
    EXPECT_EQ(std::make_tuple(EFAULT, 0ul, freed),
              std::make_tuple(errno, S(Info(h_)->errMsg).find("MmapFree: can't free bad addr=0x"), FreeBlocks()));
  }
}

// The primes and the hash other programs share.
TEST(HashFunctions, PrimeAndHash) {
  for (auto [n, p] : {std::pair{0, 5}, {4, 5}, {8, 11}, {36, 37}, {37, 37}, {55, 59}, {-7, 5}, {121, 127}})
    EXPECT_EQ(p, Prime(n)) << n;
  for (auto [n, h] : {std::pair{37, 28}, {33, 32}, {0, 0}}) EXPECT_EQ(h, Hash(FromBytes("\1\0\0\0\2\0\0\0"), n));
  EXPECT_EQ(int((0xffu << 17) % 1000003u), Hash(FromBytes("\0\0\0\0\0\0\0\xff"), 1000003));
}

// A taken home slot sends a key to Hash(key, n - 4), then on by one, past
// deleted markers; a same-size rebuild drops them, moves keys home and
// gives the old array back.
TEST_F(HashTest, ProbesAndMarkers) {
  const Uint64 key = FromBytes("\1\0\0\0\2\0\0\0");  // home 28, then 32
  const uint32_t a = WordFor(32);
  Create(WordFor(28)), Create(a), Delete(a);
  EXPECT_EQ(std::make_tuple(1u, 1, 1, 33),
            std::make_tuple(MON_SLOTS()[32], hdr()->nDelConn, hdr()->nCurConn, HashIndex(key)));
  ASSERT_NE(nullptr, MonMmapCreateConn(h_, key));
  const uint32_t units = FreeUnits();
  ASSERT_EQ(0, ResizeHashTable(h_, 37));
  EXPECT_EQ(std::make_tuple(0, 32, units), std::make_tuple(hdr()->nDelConn, HashIndex(key), FreeUnits()));
}

// Without memory for a new array the markers still go, in place: a
// same-size resize succeeds, a growth fails.
TEST_F(HashTest, ResizeWithoutMemoryDropsMarkersInPlace) {
  for (auto [want, result] : {std::pair{37, 0}, {55, -1}}) {
    for (uint32_t i = 0; i < 10; i++) Create(i);
    for (uint32_t i = 0; i < 10; i += 2) Delete(i);
    const std::vector<void *> hog = Hog();
    const uint32_t connOff = hdr()->connOff;
    EXPECT_EQ(result, ResizeHashTable(h_, want));
    EXPECT_EQ(std::make_tuple(connOff, 37, 5, 0, true), std::make_tuple(hdr()->connOff, hdr()->nMaxConn,
              hdr()->nCurConn, hdr()->nDelConn, !!MonMmapConnPtr(h_, MyKey(9))));
    for (void *p : hog) MmapFree(h_, p);
    for (uint32_t i = 1; i < 10; i += 2) Delete(i);
  }
}

// Rebuilt in place over arrays of many shapes, long probe chains among
// them, every live record is found by its key, by a scan and by a reader.
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
    const std::vector<void *> hog = Hog();
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

// Reader 5 takes each change once, with the fields that go with it, and
// nothing is reported on the way; scans reach the last slot and end there.
TEST_F(TableTest, ReaderSeesEveryChange) {
  testing::internal::CaptureStderr();
  Mon_Handle_t r = Reader(5);
  sockaddr_in src = {AF_INET, htons(4000), {inet_addr("10.1.2.3")}, {}}, dst = src;
  const uint32_t w = WordFor(36);
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(w), 100, 7, "alice", &src, "client"));
  int32_t index = 0;
  EXPECT_TRUE(MonMmapIterateConn(h_, &index) && index == 37 && !MonMmapIterateConn(h_, &index) && index == 0);
  auto c = Drain(r, 1000);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(std::make_tuple(MON_ACTIVE | MON_CHG_START, 100, 7, 0, S("alice"), S("client"), 0),
            std::make_tuple(c[0].connState, c[0].startTime, +c[0].authorize, c[0].readTime, S(c[0].userName),
                            S(c[0].srcHostName), memcmp(&src, &c[0].srcSockAddr, sizeof src)));
  EXPECT_TRUE(Drain(r, 1001).empty()) << "taken changes are not seen again";
  dst.sin_port = htons(53);
  ASSERT_EQ(0, MonMmapUpdateConn(h_, MyKey(w), 110, 5, 6, 3, "dns", nullptr, "proxy", &dst, "resolver"));
  const uint32_t firstKey = c[0].alarmKey;
  ASSERT_EQ(1u, (c = Drain(r, 2000)).size());
  EXPECT_EQ(std::make_tuple(MON_ACTIVE | MON_CHG_UPDATE, 1000, 110, 5u, 6u, 3, S("dns"), S("proxy"), S("resolver"), 0),
            std::make_tuple(c[0].connState, c[0].readTime, c[0].curTime, c[0].inTotBytes, c[0].outTotBytes,
                            +c[0].socksCmd, S(c[0].applicName), S(c[0].proxyHostName), S(c[0].dstHostName),
                            memcmp(&dst, &c[0].dstSockAddr, sizeof dst)));
  ASSERT_EQ(0, MonMmapErrConn(h_, MyKey(w), 120, 4, "refused") | MonMmapEndConn(h_, MyKey(w), 130));
  ASSERT_EQ(1u, (c = Drain(r, 0)).size());
  EXPECT_EQ(std::make_tuple(MON_CHG_ERROR | MON_CHG_UPDATE, 4u, S("refused"), 130, S("alice"), 2000),
            std::make_tuple(c[0].connState, c[0].socksErrType, S(c[0].socksErrMsg), c[0].endTime,
                            S(c[0].userName), MonMmapConnPtr(h_, MyKey(w))->readTime));
  // Both marks in one copy; starts numbered by the writer's count of them.
  ASSERT_EQ(0, Start(w + 1) | MonMmapUpdateConn(h_, MyKey(w + 1), 1, 1, 1, 1, 0, 0, 0, 0, 0));
  ASSERT_EQ(1u, (c = Drain(r, 3000)).size());
  EXPECT_EQ(std::make_pair(MON_ACTIVE | MON_CHG_START | MON_CHG_UPDATE, firstKey + 1),
            std::make_pair(c[0].connState, c[0].alarmKey));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

// A text fills its field zero-padded, without a terminator when as long as
// the field; a shorter one leaves nothing of the earlier; a restart resets.
TEST_F(TableTest, TextFields) {
  const S user(200, 'u'), dst(128, 'd');
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 1, 0, user.c_str(), nullptr, "") |
                   MonMmapUpdateConn(h_, MyKey(1), 2, 0, 0, 1, "abcdefghijklmnop", 0, 0, 0, dst.c_str()));
  Mon_Conn_t *rec = MonMmapConnPtr(h_, MyKey(1));
  EXPECT_EQ(std::make_tuple(S(128, 'u'), S("abcdefghijklmnop"), dst),
            std::make_tuple(S(rec->userName, 128), S(rec->applicName, 16), S(rec->dstHostName, 128)));
  ASSERT_EQ(0, MonMmapUpdateConn(h_, MyKey(1), 3, 0, 0, 1, "ab", 0, 0, 0, 0));
  EXPECT_EQ(S("ab") + S(14, '\0'), S(rec->applicName, 16));
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 9, 0, "bob", nullptr, nullptr));
  EXPECT_EQ(std::make_tuple(S("bob"), '\0', 1), std::make_tuple(S(rec->userName), rec->applicName[0], hdr()->nCurConn));
}

// A reader number held by a live process is refused and reported, a dead
// holder's is taken over; bad numbers, the writer as a reader and a header
// without slots are refused.
TEST_F(TableTest, ReaderRegistration) {
  Mon_Handle_t r5 = Reader(5), r;
  int rc = 0;
  const S err = Stderr([&] { rc = Mon_MmapOpen(5, &r); });
  monMmapPtr = map_;
  const S msg = "Duplicate procId=5, in use by PID=" + std::to_string(getpid());
  EXPECT_EQ(std::make_tuple(-1, EBUSY, msg, true),
            std::make_tuple(rc, Info(r)->errNum, S(Info(r)->errMsg), err.find(msg) != S::npos));
  Mon_MmapFree(r);
  EXPECT_EQ(0, access("/tmp/mon.hash.mutex", F_OK)) << "a reader removes no mutex";
  hdr()->procPid[5] = DeadPid();
  Reader(5);
  EXPECT_EQ(getpid(), hdr()->procPid[5]);
  EXPECT_EQ(-1, Mon_MmapOpen(10, &r));
  EXPECT_EQ(std::make_pair(EINVAL, true), std::make_pair(errno, r == nullptr));
  Mon_Conn_t c;
  int32_t index = 0;
  EXPECT_EQ(-1, Mon_MmapGetNextConn(h_, 0, &index, &c)) << "the writer takes no marks";
  hdr()->nMaxConn = 0;
  EXPECT_EQ(-1, Mon_MmapGetNextConn(r5, 0, &index, &c)) << "no slots";
  hdr()->nMaxConn = 37;
}

// Every entry point refuses a null handle and says so.
TEST(TableOpen, NullHandleIsReported) {
  int32_t i = 0;
  Mon_Conn_t c;
  const std::function<void()> calls[] = {
      [&] { MonMmapIterateConn(nullptr, &i); }, [] { CreateHashTable(nullptr, 5); },
      [] { ResizeHashTable(nullptr, 5); }, [] { MmapAlloc(nullptr, 8); }, [] { MmapFree(nullptr, nullptr); },
      [] { MonMmapConnPtr(nullptr, Key(1, 1)); }, [] { MonMmapCreateConn(nullptr, Key(1, 1)); },
      [] { MonMmapDeleteConn(nullptr, Key(1, 1)); }, [] { Mon_MmapClose(nullptr); },
      [&] { EXPECT_EQ(-1, Mon_MmapGetNextConn(nullptr, 0, &i, &c)); }};
  for (size_t n = 0; n < std::size(calls); n++)
    EXPECT_NE(S::npos, Stderr(calls[n]).find(MON_BAD_HANDLE)) << "call " << n;
}

// A reader before any table fails with the cause kept and its handle is
// freed quietly; a table left by a dead writer is made anew; the creator's
// close removes the file and the mutexes.
TEST(TableOpen, EarlyReaderLeftoverTableAndRemoval) {
  Mon_Handle_t h;
  EXPECT_EQ(-1, Mon_MmapOpen(5, &h));
  EXPECT_EQ(std::make_pair(ENOENT, S("open(/tmp/mon.mmap,0x2,0x1b6) failed")),
            std::make_pair(Info(h)->errNum, S(Info(h)->errMsg)));
  EXPECT_EQ("", Stderr([&] { Mon_MmapFree(h), Mon_MmapFree(nullptr); }));
  pid_t pid = fork();
  if (pid == 0) _exit(Mon_MmapOpen(0, &h) || MonMmapStartConn(h, Key(1, 1), 1, 0, "left", nullptr, nullptr));
  ASSERT_EQ(0, Reap(pid));
  ASSERT_EQ(0, Mon_MmapOpen(0, &h));
  EXPECT_EQ(std::make_pair(0, true), std::make_pair(monMmapPtr->nCurConn, !MonMmapConnPtr(h, Key(1, 1))));
  EXPECT_EQ(0, Mon_MmapClose(h));
  for (const char *f : {kPath, "/tmp/mon.hash.mutex", "/tmp/mon.free.mutex"}) EXPECT_NE(0, access(f, F_OK)) << f;
}

// A dead alarm reader is dropped at the next start: no marks, no numbers,
// and its pending marks are withdrawn at the next change.
TEST_F(TableTest, DeadAlarmReaderIsDroppedByNextStart) {
  hdr()->procPid[5] = getpid();
  ASSERT_EQ(0, Start(1));
  EXPECT_EQ(MON_ACTIVE | MON_CHG_START << 12, MonMmapConnPtr(h_, MyKey(1))->connState);
  hdr()->procPid[5] = DeadPid();
  ASSERT_EQ(0, Start(2));
  const Mon_Conn_t *rec = MonMmapConnPtr(h_, MyKey(2));
  EXPECT_EQ(std::make_tuple(0, MON_ACTIVE, 0u), std::make_tuple(hdr()->procPid[5], rec->connState, rec->alarmKey));
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(1), 2));
  EXPECT_EQ(0u, MonMmapConnPtr(h_, MyKey(1))->connState) << "pending start withdrawn";
}

// A cleanup ends the connections of servers that are gone, for the readers
// to take; the full one deletes ended records all the same and interrupts
// the live readers 1-4 that had not taken them, and no other process.
TEST_F(TableTest, Cleanups) {
  Mon_Handle_t r2 = Reader(2);
  pid_t late = fork();
  if (late == 0) for (;;) pause();
  hdr()->procPid[1] = late, hdr()->procPid[3] = getpid();
  const int32_t gone = DeadPid();
  ASSERT_EQ(0, MonMmapStartConn(h_, Key(gone, 1), 1, 0, "u", nullptr, nullptr) | Start(2));
  Drain(r2);
  ASSERT_EQ(0, MonMmapCleanup(h_, 0));
  auto c = Drain(r2);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(std::make_tuple(MON_CHG_UPDATE, uint32_t(gone), true),
            std::make_tuple(c[0].connState, c[0].key.word[0], c[0].endTime != 0));
  hdr()->procPid[3] = 0;  // gone without taking its marks
  pid_t cleaner = fork();  // in a process group of its own
  if (cleaner == 0) setpgid(0, 0), _exit(MonMmapCleanup(h_, 1));
  EXPECT_EQ(0, Reap(cleaner));
  const int status = Reap(late);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(std::make_pair(true, 1), std::make_pair(!MonMmapConnPtr(h_, Key(gone, 1)), hdr()->nCurConn));
}

// Sixty connections open at once with room for about 41: starts beyond it
// fail for memory only, every end makes room for a later start, and once
// all have ended every start succeeds again.
TEST_F(TableTest, SixtyOpenConnectionsNeverJamTheTable) {
  Mon_Handle_t r5 = Reader(5);
  std::vector<char> held(2100);  // by key: started
  int open = 0, fewest = 99, otherErrors = 0;
  auto start = [&](uint32_t n) {
    errno = 0;
    otherErrors += !(held[n] = Start(n) == 0) && errno != ENOMEM;
    return open += held[n], held[n];
  };
  auto end = [&](uint32_t n) {
    open -= held[n];
    EXPECT_EQ(held[n] - 1, MonMmapEndConn(h_, MyKey(n), 3));
  };
  testing::internal::CaptureStderr();
  for (uint32_t n = 0; n < 1560; n++) {
    if (n >= 60) end(n - 60);
    if (n % 7 == 0) Drain(r5);
    start(n), fewest = std::min(fewest, n >= 60 ? open : 99);
  }
  for (uint32_t n = 1500; n < 1560; n++) end(n);
  Drain(r5);
  for (uint32_t n = 2000; n < 2040; n++) EXPECT_TRUE(start(n)) << "after the ends, start " << n;
  const S err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::make_tuple(true, 0, S::npos, 0),
            std::make_tuple(fewest >= 40, otherErrors, err.find("hash table full"), MonMutexQuery(Info(h_)->hashMutex)));
}

void WriteTable(off_t size, int32_t pid) {  // a table file whose creator is pid
  int fd = open(kPath, O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_TRUE(fd >= 0 && ftruncate(fd, size) == 0 && pwrite(fd, &pid, 4, offsetof(MonMmap_t, procPid)) == 4);
  close(fd);
}

// Only a whole regular table file whose creator lives names a creator.
TEST(LiveCreatorTest, NamesOnlyALiveCreatorOfAWholeTable) {
  const int32_t me = getpid();
  const std::pair<std::function<void()>, int32_t> cases[] = {
      {[] {}, 0}, {[&] { WriteTable(MON_MMAP_SIZE, me); }, me}, {[] { WriteTable(MON_MMAP_SIZE, DeadPid()); }, 0},
      {[] { WriteTable(MON_MMAP_SIZE, 0); }, 0}, {[&] { WriteTable(MON_MMAP_SIZE - 1, me); }, 0},
      {[&] { WriteTable(MON_MMAP_SIZE, me), (void)!rename(kPath, "/tmp/x"), (void)!symlink("/tmp/x", kPath); }, 0}};
  for (size_t n = 0; n < std::size(cases); n++) {
    unlink(kPath), cases[n].first();
    EXPECT_EQ(cases[n].second, Mon_MmapLiveCreator()) << "case " << n;
  }
}

// A reader sees its table removed, replaced, made again or left by its creator.
TEST_F(ReplacedTest, SeesATableGoneReplacedOrMadeAgain) {
  const std::pair<std::function<void()>, int> cases[] = {
      {[] {}, 0}, {[] { rename(kPath, "/tmp/old"); }, 1},
      {[] { rename(kPath, "/tmp/old"), WriteTable(MON_MMAP_SIZE, getpid()); }, 1},
      {[] { monMmapPtr->procPid[0] = DeadPid(); }, 1}, {[] { monMmapPtr->procPid[5] = 0; }, 1}};
  for (size_t n = 0; n < std::size(cases); n++) {
    Mon_Handle_t r;
    ASSERT_EQ(0, Mon_MmapOpen(MON_ALARM_READER, &r));
    cases[n].first();
    EXPECT_EQ(cases[n].second, Mon_MmapReplaced(r)) << "case " << n;
    Mon_MmapDrop(r);
    EXPECT_EQ(nullptr, monMmapPtr) << "the dropped mapping is forgotten";
    monMmapPtr = map_, hdr()->procPid[0] = getpid(), hdr()->procPid[5] = 0;
    rename("/tmp/old", kPath);
  }
}

constexpr uint32_t kConns = 10000;
uint32_t Steps(uint32_t id) { return 1 + id % 4; }

// Reader 5 in a process of its own takes copies until told to stop; exits
// with the number of connections whose last copy is not their final state.
int ReadUntil(int stop) {
  Mon_Handle_t h;
  std::vector<Mon_Conn_t> last(kConns);
  Mon_Conn_t c;
  int rc = 0, bad = 0;
  if (Mon_MmapOpen(5, &h) != 0) return 101;
  for (pollfd p = {stop, POLLIN, 0}; rc == 0 && poll(&p, 1, 0) == 0; sched_yield())
    for (int32_t i = 0; (rc = Mon_MmapGetNextConn(h, 1, &i, &c)) == 1;) last[c.key.word[1] % kConns] = c;
  for (uint32_t id = 0; id < kConns; id++)
    bad += !(last[id].endTime == 3 && (last[id].connState & (MON_ACTIVE | MON_CHG_UPDATE)) == MON_CHG_UPDATE &&
             last[id].inTotBytes == Steps(id) * 100 && last[id].outTotBytes == Steps(id) * 10);
  return rc < 0 ? 102 : std::min(bad, 100);
}

// The writer races reader 5 in another process as fast as both can go; the
// reader must end up with every connection's final state.
TEST_F(Stress, ReaderTakesEveryLastChange) {
  int stop[2], failures = 0;
  ASSERT_EQ(0, pipe(stop));
  pid_t reader = fork();
  if (reader == 0) close(stop[1]), _exit(ReadUntil(stop[0]));
  for (int i = 0; i < 5000 && hdr()->procPid[5] == 0; i++) usleep(1000);
  for (uint32_t id = 0; id < kConns; id++) {
    while (hdr()->nCurConn >= 27) MonMmapCleanup(h_, 0), sched_yield();  // never a full cleanup
    failures += Start(id) != 0;
    for (uint32_t done = 1; done <= Steps(id); done++)
      failures += MonMmapUpdateConn(h_, MyKey(id), 2, done * 100, done * 10, 1, 0, 0, 0, 0, 0) != 0;
    failures += MonMmapEndConn(h_, MyKey(id), 3) != 0;
  }
  auto allTaken = [] {
    int32_t i = 0;
    for (Mon_Conn_t *rec; (rec = MonMmapScan(&i)) != nullptr;)
      if (__atomic_load_n(&rec->connState, __ATOMIC_ACQUIRE) & MON_CHG_MASK(5)) return false;
    return true;
  };
  for (int i = 0; i < 30000 && !allTaken(); i++) usleep(1000);
  close(stop[1]);
  EXPECT_EQ(std::make_tuple(true, 0, 0), std::make_tuple(allTaken(), failures, Reap(reader)))
      << "all taken, failed operations, the reader's status (wrong last copies << 8)";
}

std::pair<S, int> LastErr(Mon_Handle_t h) {  // message, error number
  char msg[MON_ERRMSG_LEN];
  int num;
  MonMutexLastErr(h, &num, msg);
  return {msg, num};
}

// A holder excludes others and a free mutex is not released, failures kept
// in the handle; a reader's close leaves the mutex, the creator's removes it.
TEST(Mutex, HoldReleaseAttachAndClose) {
  Mon_Handle_t first, h, r, r2, late;
  ASSERT_EQ(0, MonMutexOpen("first", 1, &first));  // so that the next set's id is not 0
  ASSERT_EQ(0, MonMutexOpen("mt", 1, &h));
  const int id = semget(ftok("/tmp/mt", 'V'), 0, 0);
  S file;
  std::getline(std::ifstream("/tmp/mt"), file);
  EXPECT_EQ(std::to_string(id), file) << "the file names the set";
  ASSERT_EQ(0, MonMutexOpen("mt", 0, &r) | MonMutexOpen("mt", 0, &r2));
  EXPECT_TRUE(MonMutexRequest(h) == 0 && MonMutexQuery(r) == 1 && MonMutexRelease(h) == 0 && MonMutexQuery(r) == 0);
  EXPECT_EQ(-1, MonMutexRelease(r)) << "not held";
  const S semop = ": semop(" + std::to_string(id) + ") failed";
  EXPECT_EQ(std::make_pair("MonMutexRelease" + semop, EAGAIN), LastErr(r));
  EXPECT_EQ(0, MonMutexClose(r2));
  EXPECT_EQ(0, access("/tmp/mt", F_OK)) << "a reader's close leaves the mutex";
  EXPECT_EQ(0, MonMutexClose(h));
  EXPECT_EQ(std::make_tuple(-1, -1, -1),
            std::make_tuple(access("/tmp/mt", F_OK), semctl(id, 0, GETVAL), MonMutexRequest(r)));
  EXPECT_EQ("MonMutexRequest" + semop, LastErr(r).first);
  EXPECT_EQ(-1, MonMutexOpen("mt", 0, &late));
  EXPECT_EQ(std::make_pair(S("MonMutexOpen: ftok(/tmp/mt) failed"), ENOENT), LastErr(late));
  EXPECT_EQ(0, MonMutexClose(late) | MonMutexClose(r) | MonMutexClose(first));
}

// Bad names fail in the handle, long ones are cut; a null handle is
// refused and reported.
TEST(Mutex, BadNamesAndHandles) {
  Mon_Handle_t h;
  for (const char *name : {"", static_cast<const char *>(nullptr)}) {
    EXPECT_EQ(-1, MonMutexOpen(name, 1, &h));
    EXPECT_EQ(std::make_pair(S("MonMutexOpen: bad mutex name"), ENOENT), LastErr(h));
    EXPECT_EQ(0, MonMutexClose(h));
  }
  ASSERT_EQ(0, MonMutexOpen(S(300, 'n').c_str(), 1, &h));
  EXPECT_EQ(0, access(("/tmp/" + S(250, 'n')).c_str(), F_OK));
  EXPECT_EQ(0, MonMutexClose(h));
  EXPECT_EQ(std::make_pair(S("bad handle, MonMutexOpen() not called"), ENOENT), LastErr(nullptr));
  for (auto op : {MonMutexRequest, MonMutexRelease, MonMutexQuery, MonMutexClose})
    EXPECT_NE(S::npos, Stderr([&] { EXPECT_EQ(-1, op(nullptr)); }).find("bad handle, MonMutexOpen"));
}

}  // namespace
