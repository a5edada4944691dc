// The connection table and its mutexes: allocator, hash index, writers, readers, locks, who may write it.
#include <arpa/inet.h>
#include <sched.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <fstream>
#include <random>
#include <gtest/gtest.h>
#include "daemon.h"
#include "monErr.h"
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
MonMmapHeader_t *Block(uint32_t off) { return static_cast<MonMmapHeader_t *>(MON_PTR(off)); }
uint32_t WordFor(int32_t slot, uint32_t w = 1) { while (Hash(MyKey(w), 37) != slot) w++; return w; }  // home slot
// What f reports; f's child's wait status (killed after 5 s); a pid no process has; a mutex's last error.
S Stderr(const std::function<void()> &f) { testing::internal::CaptureStderr(), f(); return testing::internal::GetCapturedStderr(); }
int Reap(pid_t pid, int i = 0, int st = 0) {
  for (; waitpid(pid, &st, WNOHANG) == 0; i++, usleep(10000)) if (i == 500) kill(pid, SIGKILL);
  return st;
}
int InChild(const std::function<int()> &f) { pid_t pid = fork(); if (pid == 0) _exit(f()); return Reap(pid); }
pid_t DeadPid() { pid_t pid = fork(); if (pid == 0) _exit(0); return waitpid(pid, nullptr, 0); }
Blocks FreeBlocks() {  // (offset, units) in list order from the anchor
  Blocks out;
  for (uint32_t off = monMmapPtr->base.off; off != 72 && out.size() < 5000; off = Block(off)->off)
    out.emplace_back(off, Block(off)->nUnits);
  return out;
}
template <class T> std::pair<T, int> WithErrno(T rc) { return {rc, errno}; }
std::pair<S, int> LastErr(Mon_Handle_t h) { char m[MON_ERRMSG_LEN] = ""; int n = 0; MonMutexLastErr(h, &n, m); return {m, n}; }
S Slurp(const char *path) { std::ifstream f(path, std::ios::binary); return S(std::istreambuf_iterator<char>(f), {}); }
void Put(const char *path, const S &bytes) { std::ofstream(path, std::ios::binary) << bytes; }
auto FileMode(const char *path) { struct stat st = {}; stat(path, &st); return std::pair{st.st_mode & 0777, st.st_gid}; }
union SemArg { semid_ds *buf; };  // semctl's fourth argument
int SetId(const char *key) { return semget(ftok(key, 'V'), 0, 0); }  // the semaphore set keyed by that file
semid_ds SetOf(const char *key) { semid_ds ds = {}; semctl(SetId(key), 0, IPC_STAT, SemArg{&ds}); return ds; }
int SetPerm(const char *key, uid_t uid, unsigned mode) {
  semid_ds ds = SetOf(key);
  return ds.sem_perm.uid = uid, ds.sem_perm.mode = mode, semctl(SetId(key), 0, IPC_SET, SemArg{&ds});
}
int64_t Ms() { timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec * 1000L + t.tv_nsec / 1000000; }
// The test process as the table's creator and writer; Reader()s share its mapping, closed before it.
class TableTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, Mon_MmapOpen(0, &h_)); map_ = monMmapPtr; }
  void TearDown() override { for (auto r : readers_) EXPECT_EQ(0, Mon_MmapClose(r)); EXPECT_EQ(0, Mon_MmapClose(h_)); }
  MonMmap_t *hdr() { return monMmapPtr; }
  Mon_Handle_t Reader(uint8_t id, Mon_Handle_t r = nullptr) {
    EXPECT_EQ(0, Mon_MmapOpen(id, &r));
    return monMmapPtr = map_, readers_.push_back(r), r;
  }
  std::vector<Mon_Conn_t> Drain(Mon_Handle_t r, int32_t readTime = 1) {  // one scan's copies
    std::vector<Mon_Conn_t> out(1);
    for (int32_t i = 0; Mon_MmapGetNextConn(r, readTime, &i, &out.back()) == 1;) out.emplace_back();
    return out.pop_back(), out;
  }
  int Start(uint32_t n) { return MonMmapStartConn(h_, MyKey(n), 1, 0, "u", nullptr, nullptr); }
  void Create(uint32_t n) { ASSERT_NE(nullptr, MonMmapCreateConn(h_, MyKey(n))); }
  void Delete(uint32_t n) { MonMmapDeleteConn(h_, MyKey(n)); }
  Mon_Handle_t h_ = nullptr; MonMmap_t *map_ = nullptr; std::vector<Mon_Handle_t> readers_;
};
using TableAlloc = TableTest;
using HashTest = TableTest;
using Stress = TableTest;
TEST_F(TableAlloc, LayoutFitsMergesAndRefusals) {  // layout, fits, merges either way, bad frees
  struct stat st = {};
  const Blocks fresh = {{80, 3937}};  // the hash array was taken from the arena's end
  EXPECT_EQ(std::make_tuple(0, 32768L, 31744u, 37, getpid(), fresh, 80u + 3937 * 8 + 8),
            (std::tuple{stat(kPath, &st), long{st.st_size}, hdr()->size, hdr()->nMaxConn, hdr()->procPid[0],
                        FreeBlocks(), hdr()->connOff}));
  void *all = MmapAlloc(h_, 3936 * 8);
  EXPECT_EQ(std::make_tuple(88u, true, Blocks{}), std::make_tuple(MON_OFF(all), !MmapAlloc(h_, 1), FreeBlocks()));
  EXPECT_EQ(std::make_pair(ENOMEM, S("MmapAlloc: no more free memory")),
            std::make_pair(Info(h_)->errNum, S(Info(h_)->errMsg)));
  EXPECT_EQ(std::make_pair(fresh, true), (MmapFree(h_, all), std::pair{FreeBlocks(), !MmapAlloc(h_, 0xfffffffcu)}));
  for (int order = 0; order < 2; order++) {
    void *a = MmapAlloc(h_, 752), *b = MmapAlloc(h_, 752), *c = MmapAlloc(h_, 752);
    MmapFree(h_, order ? a : b), MmapFree(h_, order ? b : a);
    EXPECT_EQ(std::make_pair(MON_OFF(b) - 8, 190u), FreeBlocks().back()) << "a and b merged";
    EXPECT_EQ(fresh, (MmapFree(h_, c), FreeBlocks())) << order;
  }
  char *a = static_cast<char *>(MmapAlloc(h_, 100)), *base = reinterpret_cast<char *>(hdr());
  MmapFree(h_, a);
  for (char *bad : {base + 40, base + 80, base + hdr()->size, base - 8, a})  // a: freed twice
    EXPECT_EQ(std::make_pair(EFAULT, fresh), (MmapFree(h_, bad), std::pair{+errno, FreeBlocks()}));
}
TEST_F(TableAlloc, BadLinksAndBlocksNotFollowed) {  // links or blocks out of the arena
  const Blocks fresh = FreeBlocks();
  char *a = static_cast<char *>(MmapAlloc(h_, 100));
  MonMmapHeader_t *at = Block(hdr()->freeOff);
  const MonMmapHeader_t keep = *at, first = *Block(keep.off);
  for (uint32_t bad : {0xfffffff8u, 31744u, 40u, 81u})
    EXPECT_EQ(std::make_tuple(true, EFAULT, 0),
              (std::tuple{(at->off = bad, !MmapAlloc(h_, 8)), (MmapFree(h_, a), +errno), MonMmapRoom(h_)})) << bad;
  EXPECT_EQ(nullptr, (*at = keep, Block(keep.off)->nUnits = 0xffff, MmapAlloc(h_, 8))) << "a block past the end";
  EXPECT_EQ(EFAULT, (*Block(keep.off) = first, MmapFree(h_, a + 4), +errno));
  EXPECT_EQ(fresh, (MmapFree(h_, a), FreeBlocks()));
}
TEST_F(HashTest, PrimesHashAndProbes) {  // home, Hash(key, n - 4), then by one
  for (auto [n, p] : {std::pair{0, 5}, {4, 5}, {8, 11}, {36, 37}, {37, 37}, {55, 59}, {-7, 5}, {121, 127}})
    EXPECT_EQ(p, Prime(n)) << n;
  const Uint64 key = FromBytes("\1\0\0\0\2\0\0\0");
  EXPECT_EQ(std::make_tuple(28, 32, 0, int((0xffu << 17) % 1000003u)),
            std::make_tuple(Hash(key, 37), Hash(key, 33), Hash(key, 0), Hash(FromBytes("\0\0\0\0\0\0\0\xff"), 1000003)));
  Create(WordFor(28)), Create(WordFor(32)), Delete(WordFor(32));
  EXPECT_EQ(std::make_tuple(1u, 1, 33), std::make_tuple(MON_SLOTS()[32], hdr()->nDelConn, HashIndex(key)));
  auto units = [] { uint32_t n = 0; for (auto b : FreeBlocks()) n += b.second; return n; };
  const uint32_t before = (MonMmapCreateConn(h_, key), units());
  ASSERT_EQ(0, ResizeHashTable(h_, 37));
  EXPECT_EQ(std::make_tuple(0, 32, before), std::make_tuple(hdr()->nDelConn, HashIndex(key), units()));
}
TEST_F(HashTest, InPlaceRebuildKeepsEveryRecordFindable) {  // markers dropped, records kept
  Mon_Handle_t r5 = Reader(5);
  std::mt19937 rng(9);
  for (int round = 0; round < 60; round++) {
    std::vector<uint32_t> live, taken;
    for (int i = 0; i < 45 && hdr()->nCurConn < 27; i++) {
      const uint32_t w = round % 3 ? rng() % 100000 + 1 : WordFor(7, rng() % 100000 + 1);
      if (MonMmapConnPtr(h_, MyKey(w)) != nullptr) continue;
      if (Create(w), rng() % 100 < round % 5 * 25u) Delete(w);
      else live.push_back(w), MonMmapConnPtr(h_, MyKey(w))->connState = MON_CHG_START << 12;
    }
    std::vector<void *> hog;  // no memory left for a new array
    for (unsigned size : {752, 64, 8}) for (void *p; (p = MmapAlloc(h_, size)) != nullptr;) hog.push_back(p);
    const uint32_t connOff = hdr()->connOff;
    ASSERT_EQ(0, ResizeHashTable(h_, 37));
    int32_t index = 0, scanned = 0;
    for (; MonMmapIterateConn(h_, &index) != nullptr; scanned++) {}
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
TEST_F(HashTest, BadSlotsPassedOverBadHeadersRefused) {  // never followed
  const uint32_t a = WordFor(7), b = WordFor(7, a + 1);  // b one probe past a
  const int32_t bSlot = (Create(a), Create(b), HashIndex(MyKey(b)));
  EXPECT_EQ("", Stderr([&] {
    for (uint32_t bad : {0xfffffff8u, 40000u, 31744u - 744, 81u, 2u, 72u}) {
      MON_SLOTS()[7] = bad;
      EXPECT_EQ(std::make_pair(true, ESRCH), WithErrno(!MonMmapConnPtr(h_, MyKey(a)))) << bad;
      EXPECT_TRUE(HashIndex(MyKey(b)) == bSlot && MonMmapConnPtr(h_, MyKey(b)) != nullptr) << bad;
    }
  }));
  ASSERT_EQ(0, ResizeHashTable(h_, 37));
  EXPECT_EQ(std::make_tuple(1, true, 0L), std::make_tuple(hdr()->nCurConn, MonMmapConnPtr(h_, MyKey(b)) != nullptr,
            std::count_if(MON_SLOTS(), MON_SLOTS() + 37, [](uint32_t v) { return v > 1 && !MonGoodRecordOff(v); })));
  const MonMmap_t good = *hdr();
  const uint32_t off = good.connOff;
  Mon_Handle_t r5 = Reader(5);
  for (auto [n, at] : {std::pair{0, off}, {-5, off}, {INT32_MAX, off}, {7917, 80u}, {37, 0u}, {37, 79u},
                       {37, off + 2}, {37, 0xfffffff8u}}) {
    hdr()->nMaxConn = n, hdr()->connOff = at;
    Stderr([&] {
      EXPECT_EQ(std::make_pair(-1, EINVAL), WithErrno(HashIndex(MyKey(b))));
      EXPECT_EQ(std::make_pair(true, EINVAL), WithErrno(!MonMmapConnPtr(r5, MyKey(b))));
      EXPECT_EQ(std::make_pair(-1, EINVAL), WithErrno(Mon_MmapSound(r5)));
      EXPECT_EQ(std::make_pair(0, true), std::make_pair(MonMmapRoom(h_), !MonMmapCreateConn(h_, MyKey(99))));
      MonMmapDeleteConn(h_, MyKey(b)), ResizeHashTable(h_, 37);
    });
    hdr()->nMaxConn = good.nMaxConn, hdr()->connOff = good.connOff;
  }
  EXPECT_EQ(0, Mon_MmapSound(r5));
}
TEST_F(TableTest, ReaderSeesEveryChange) {  // once each, fields cut and zero-padded
  testing::internal::CaptureStderr();
  Mon_Handle_t r = Reader(5);
  sockaddr_in src = {AF_INET, htons(4000), {inet_addr("10.1.2.3")}, {}}, dst = {AF_INET, htons(53), src.sin_addr, {}};
  const uint32_t w = WordFor(36);
  const S host(128, 'h');
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(w), 100, 7, S(200, 'u').c_str(), &src, "client"));
  int32_t index = 0;
  EXPECT_TRUE(MonMmapIterateConn(h_, &index) && index == 37 && !MonMmapIterateConn(h_, &index) && index == 0);
  auto c = Drain(r, 1000);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(std::make_tuple(MON_ACTIVE | MON_CHG_START, 100, 7, 0, S(128, 'u'), S("client"), 0),
            std::make_tuple(c[0].connState, c[0].startTime, +c[0].authorize, c[0].readTime, S(c[0].userName, 128),
                            S(c[0].srcHostName), memcmp(&src, &c[0].srcSockAddr, sizeof src)));
  const uint32_t firstKey = c[0].alarmKey;
  ASSERT_EQ(0, MonMmapUpdateConn(h_, MyKey(w), 110, 5, 6, 3, "abcdefghijklmnop", 0, "proxy", &dst, host.c_str()));
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
  EXPECT_EQ(std::make_tuple(MON_ACTIVE | MON_CHG_START | MON_CHG_UPDATE, firstKey + 1, S()),
            std::make_tuple(c[0].connState, c[0].alarmKey, testing::internal::GetCapturedStderr()));
  EXPECT_EQ(-1, (hdr()->nMaxConn = 0, Mon_MmapGetNextConn(r, 0, &index, &c[0]))) << "a header without slots";
}
TEST_F(TableTest, DeadAlarmReaderIsDroppedByNextStart) {  // pending marks withdrawn
  ASSERT_EQ(0, (hdr()->procPid[5] = getpid(), Start(1))) << "marked for reader 5";
  ASSERT_EQ(0, (hdr()->procPid[5] = DeadPid(), Start(2)));
  const Mon_Conn_t *rec = MonMmapConnPtr(h_, MyKey(2));
  EXPECT_EQ(std::make_tuple(0, MON_ACTIVE, 0u), std::make_tuple(hdr()->procPid[5], rec->connState, rec->alarmKey));
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(1), 2));
  EXPECT_EQ(0u, MonMmapConnPtr(h_, MyKey(1))->connState) << "pending start withdrawn";
}
TEST_F(TableTest, Cleanups) {  // of gone servers; full ones interrupt laggard readers
  Mon_Handle_t r2 = Reader(2);
  pid_t late = fork();
  if (late == 0) for (;;) pause();
  const int32_t gone = (hdr()->procPid[1] = late, hdr()->procPid[3] = getpid(), DeadPid());
  ASSERT_FALSE(MonMmapStartConn(h_, Key(gone, 1), 1, 0, "u", nullptr, nullptr) || Start(2));
  ASSERT_EQ(0, (Drain(r2), MonMmapCleanup(h_, 0)));
  auto c = Drain(r2);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(std::make_tuple(MON_CHG_UPDATE, uint32_t(gone), true),
            std::make_tuple(c[0].connState, c[0].key.word[0], c[0].endTime != 0));
  hdr()->procPid[3] = 0;  // gone without taking its marks
  const int cleaner = InChild([&] { return setpgid(0, 0), MonMmapCleanup(h_, 1); });  // in a group of its own
  EXPECT_EQ(std::make_pair(0, SIGINT), std::make_pair(cleaner, Reap(late))) << "wait statuses";
  EXPECT_EQ(std::make_pair(true, 1), std::make_pair(!MonMmapConnPtr(h_, Key(gone, 1)), hdr()->nCurConn));
}
TEST_F(TableTest, SixtyOpenConnectionsNeverJamTheTable) {  // fail for memory only
  Mon_Handle_t r5 = Reader(5);
  std::vector<char> held(2100);  // by key: started
  int open = 0, fewest = 99, otherErrors = 0;
  auto start = [&](uint32_t n) {  // errors but ENOMEM counted
    return errno = 0, otherErrors += !(held[n] = Start(n) == 0) && errno != ENOMEM, open += held[n], held[n]; };
  testing::internal::CaptureStderr();
  for (uint32_t n = 0; n < 1620; n++) {
    if (n >= 60) { EXPECT_EQ(held[n - 60] - 1, (open -= held[n - 60], MonMmapEndConn(h_, MyKey(n - 60), 3))); }
    if (n % 7 == 0 || n >= 1560) Drain(r5);
    if (n < 1560) start(n), fewest = std::min(fewest, n >= 60 ? open : 99);
  }
  for (uint32_t n = 2000; n < 2040; n++) EXPECT_TRUE(start(n)) << "after the ends, start " << n;
  EXPECT_EQ(std::make_tuple(true, 0, S::npos, 0), std::make_tuple(fewest >= 40, otherErrors,
            testing::internal::GetCapturedStderr().find("hash table full"), MonMutexQuery(Info(h_)->hashMutex)));
}
TEST_F(TableTest, RoomNeverCostsAnUnseenEnd) {  // and a whole write is one change
  Mon_Handle_t r5 = Reader(5);
  EXPECT_EQ(28, MonMmapRoom(h_)) << "three quarters of 37 slots, plus one";
  auto unseen = [&](int n = 0) {  // ended, not taken by reader 5
    for (int32_t i = 0; const Mon_Conn_t *c = MonMmapIterateConn(h_, &i);)
      n += !(c->connState & MON_ACTIVE) && (c->connState & MON_CHG_MASK(5));
    return n; };
  int waits = 0;
  for (uint32_t n = 1; n <= 400; n++) {
    for (; MonMmapRoom(h_) == 0; waits++) Drain(r5), MonMmapCleanup(h_, 0);  // the reader takes, a cleanup frees
    const int before = unseen();
    Mon_Conn_t c{};
    c.connState = MON_ACTIVE, c.alarmKey = 7000 + n, c.startTime = 1, c.userName[0] = 'u';
    ASSERT_FALSE(!MonMmapCreateConn(h_, MyKey(n)) || MonMmapWriteConn(h_, MyKey(n), &c, MON_CHG_START));
    ASSERT_EQ(std::make_tuple(7000 + n, MON_ACTIVE | MON_CHG_START << 12), std::make_tuple(
        MonMmapConnPtr(h_, MyKey(n))->alarmKey, MonMmapConnPtr(h_, MyKey(n))->connState)) << "one change";
    ASSERT_EQ(before, unseen()) << "start " << n << " deleted an unseen end";
    if (n > 12) { ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(n - 12), 2)); }
    if (n % 50 == 0) Drain(r5);
  }
  EXPECT_GT(waits, 0);
}
TEST_F(Stress, ReaderTakesEveryLastChange) {  // against a writer in another process
  constexpr uint32_t kConns = 10000;
  auto steps = [](uint32_t id) { return 1 + id % 4; };
  Mon_Handle_t r5 = Reader(5);
  pid_t writer = fork();
  if (writer == 0) {  // never more than 27 records, so no full cleanup
    int failures = 0;
    for (uint32_t id = 0; id < kConns; failures += MonMmapEndConn(h_, MyKey(id++), 3) != 0) {
      while (hdr()->nCurConn >= 27) MonMmapCleanup(h_, 0), sched_yield();
      failures += Start(id) != 0;
      for (uint32_t done = 1; done <= steps(id); done++)
        failures += MonMmapUpdateConn(h_, MyKey(id), 2, done * 100, done * 10, 1, 0, 0, 0, 0, 0) != 0;
    }
    _exit(failures != 0);
  }
  std::vector<Mon_Conn_t> last(kConns);
  int status = -1, bad = 0;
  for (bool ended = false; !ended; sched_yield())  // a last scan after the writer's end
    for (const Mon_Conn_t &c : (ended = waitpid(writer, &status, WNOHANG) == writer, Drain(r5))) last[c.key.word[1] % kConns] = c;
  for (uint32_t id = 0; id < kConns; id++)
    bad += !(last[id].endTime == 3 && (last[id].connState & (MON_ACTIVE | MON_CHG_UPDATE)) == MON_CHG_UPDATE &&
             last[id].inTotBytes == steps(id) * 100 && last[id].outTotBytes == steps(id) * 10);
  EXPECT_EQ(std::make_pair(0, 0), std::make_pair(status, bad)) << "writer's status, wrong last copies";
}
TEST_F(TableTest, LockWaitsAreBounded) {  // signals add up, a stop ends them
  Mon_Handle_t r5 = Reader(5);
  Mon_Conn_t c;
  int32_t index = 0, waited = -1;
  pid_t holder = fork();
  if (holder == 0) _exit(MonMutexRequest(Info(h_)->hashMutex) == 0 ? pause() : 1);
  for (int i = 0; i < 500 && MonMutexQuery(Info(h_)->hashMutex) != 1; i++) usleep(10000);
  struct sigaction sa = {};
  sa.sa_handler = [](int) {}, sigaction(SIGALRM, &sa, nullptr), Mon_MmapSetLockWait(300, nullptr);
  int64_t t = (ualarm(100000, 0), Ms());
  EXPECT_EQ(std::make_tuple(-1, EINTR, EINTR, true),
            (std::tuple{Mon_MmapGetNextConn(r5, 1, &index, &c), +errno, Mon_MmapLockFailed(&waited), Ms() - t < 250}));
  EXPECT_EQ(std::make_tuple(true, ETIMEDOUT, ETIMEDOUT, true, true),
            (std::tuple{!MonMmapConnPtr(r5, MyKey(1)), +errno, Mon_MmapLockFailed(&waited), waited >= 300,
                        Ms() - t < 450})) << "the interrupted wait counts";
  t = Ms();
  EXPECT_EQ(std::make_tuple(true, ETIMEDOUT, true), (std::tuple{!MonMmapIterateConn(r5, &index), +errno, Ms() - t < 200}))
      << "a last try only";
  Mon_MmapSetLockWait(300, [] { return 1; }), t = Ms();
  EXPECT_EQ(std::make_tuple(-1, EINTR, true),
            (std::tuple{Mon_MmapGetNextConn(r5, 1, &index, &c), Mon_MmapLockFailed(nullptr), Ms() - t < 50}));
  Mon_MmapSetLockWait(300, nullptr), kill(holder, SIGKILL), Reap(holder);
  EXPECT_EQ(std::make_tuple(0, 0, 0),
            (std::tuple{Mon_MmapGetNextConn(r5, 1, &index, &c), Mon_MmapLockFailed(&waited), +waited}));
  ASSERT_EQ(0, semctl(SetId("/tmp/mon.hash.mutex"), 0, IPC_RMID));
  EXPECT_EQ(std::make_pair(S(), EINVAL), (std::pair{Stderr([&] { EXPECT_EQ(-1, Mon_MmapGetNextConn(r5, 1, &index, &c)); }),
                                                     Mon_MmapLockFailed(nullptr)}));
  S err = (Mon_MmapSetLockWait(0, nullptr), Stderr([&] { EXPECT_NE(nullptr, MonMmapCreateConn(h_, MyKey(9))); }));
  EXPECT_NE(S::npos, err.find("MonMutexRequest")) << err;
}
TEST_F(TableTest, SoundnessAndACutFile) {  // cut, replaced; a dropped lock is given back
  Mon_Handle_t r;
  ASSERT_FALSE(Mon_MmapOpen(5, &r) || MonLock(Info(r)->hashMutex));
  EXPECT_EQ(1, MonMutexQuery(Info(h_)->hashMutex));
  EXPECT_EQ(0, (Mon_MmapDrop(r), monMmapPtr = map_, MonMutexQuery(Info(h_)->hashMutex))) << "lock given back";
  Mon_Handle_t r5 = Reader(5);
  EXPECT_EQ(0, Mon_MmapSound(r5));
  EXPECT_EQ(std::make_pair(-1, ENODATA), (truncate(kPath, 1000), WithErrno(Mon_MmapSound(r5))));
  install_handler(SIGBUS, table_fault_signal);
  volatile char sink = 0;
  const volatile char *cut = reinterpret_cast<char *>(hdr()) + 20000;
  EXPECT_EQ(std::make_pair(false, true), (std::pair{table_read([&] { sink = *cut; }), table_read([&] { sink = sink + 1; })}));
  EXPECT_EQ(0, (signal(SIGBUS, SIG_DFL), truncate(kPath, 32768), Mon_MmapSound(r5)));
  ASSERT_EQ(0, rename(kPath, "/tmp/old.mmap"));
  EXPECT_EQ(std::make_pair(-1, ESTALE), (Put(kPath, S(32768, '\0')), WithErrno(Mon_MmapSound(r5))));
  ASSERT_EQ(0, rename("/tmp/old.mmap", kPath));
}
TEST(Mutex, HoldReleaseBadNamesAndHandles) {  // the creator's close removes the set
  Mon_Handle_t first, h, r;  // first: so that mt's set id is not 0
  ASSERT_FALSE(MonMutexOpen("first", 1, &first) || MonMutexOpen("mt", 1, &h) || MonMutexOpen("mt", 0, &r));
  const int id = SetId("/tmp/mt");
  EXPECT_EQ(std::to_string(id), Slurp("/tmp/mt")) << "the file names the set";
  EXPECT_TRUE(MonMutexRequest(h) == 0 && MonMutexQuery(r) == 1 && MonMutexRelease(h) == 0 && MonMutexQuery(r) == 0);
  EXPECT_EQ(-1, MonMutexRelease(r)) << "not held";
  EXPECT_EQ(std::make_pair("MonMutexRelease: semop(" + std::to_string(id) + ") failed", EAGAIN), LastErr(r));
  EXPECT_FALSE(MonMutexClose(h) || MonMutexClose(r) || MonMutexClose(first));
  EXPECT_EQ(std::make_pair(-1, -1), std::make_pair(access("/tmp/mt", F_OK), semctl(id, 0, GETVAL)));
  for (const char *name : {"", static_cast<const char *>(nullptr)})
    EXPECT_EQ(std::make_tuple(-1, std::pair{S("MonMutexOpen: bad mutex name"), ENOENT}, 0),
              (std::tuple{MonMutexOpen(name, 1, &h), LastErr(h), MonMutexClose(h)}));
  EXPECT_NE(S::npos, Stderr([] { EXPECT_EQ(-1, MonMutexQuery(nullptr)); }).find("bad handle, MonMutexOpen"));
}
TEST(TableOpen, EarlyReaderLeftoverTableAndRemoval) {  // dead writers' tables made anew or taken over
  Mon_Handle_t h, r;
  EXPECT_EQ(-1, Mon_MmapOpen(5, &h));
  EXPECT_EQ(std::make_pair(ENOENT, S("open(/tmp/mon.mmap,0x2,0x1b6) failed")),
            std::make_pair(Info(h)->errNum, S(Info(h)->errMsg)));
  EXPECT_EQ("", Stderr([&] { Mon_MmapFree(h), Mon_MmapFree(nullptr); }));
  ASSERT_EQ(0, InChild([&] { return Mon_MmapOpen(0, &h) || MonMmapStartConn(h, Key(1, 1), 1, 0, "left", 0, 0); }));
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
  // A killed writer's table is taken over with its records and reader; a live writer's is refused.
  ASSERT_FALSE(InChild([&] { return Mon_MmapOpen(0, &h) || MonMmapStartConn(h, Key(1, 9), 5, 0, "kept", 0, 0); }) ||
               Mon_MmapTakeOver(&h) || !MonMmapConnPtr(h, Key(1, 9)));
  EXPECT_EQ(std::make_pair(S("kept"), getpid()),
            std::make_pair(S(MonMmapConnPtr(h, Key(1, 9))->userName), monMmapPtr->procPid[0]));
  MonMmap_t *map = monMmapPtr;
  map->procPid[5] = getpid();  // left from before the writer died
  ASSERT_EQ(0, Mon_MmapOpen(5, &r));
  EXPECT_EQ(0, (monMmapPtr = map, Mon_MmapClose(r)));
  EXPECT_EQ(0, InChild([&] { return Mon_MmapTakeOver(&r) == -1 && errno == EBUSY ? 0 : 1; })) << "live writer's table taken";
  EXPECT_EQ(0, Mon_MmapClose(h));
}
TEST(TableOpen, LinksFifosAndShortFilesRefused) {  // at the table's or a key's path: never written
  const S victim(32768, 'v');
  Put("/tmp/victim", victim);
  Mon_Handle_t h;
  auto open = [&](int procId) {  // errno and message of a failed open
    int r = (errno = 0, procId < 0 ? Mon_MmapTakeOver(&h) : Mon_MmapOpen(procId, &h));
    auto out = std::make_pair(r == -1 ? errno : 0, S(Info(h)->errMsg));
    return Mon_MmapFree(h), out;
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
  EXPECT_EQ(EAGAIN, (unlink(kPath), Put(kPath, S(MON_MMAP_SIZE - 1, 0)), open(5).first)) << "a short file";
  ASSERT_FALSE(unlink(kPath) || symlink("/tmp/victim", "/tmp/mt"));
  for (bool create : {true, false})
    EXPECT_EQ(std::make_tuple(-1, create ? ELOOP : EINVAL, 0),
              (std::tuple{MonMutexOpen("mt", create, &h), LastErr(h).second, MonMutexClose(h)})) << create;
  EXPECT_EQ(std::make_tuple(victim, 0), (testing::internal::GetCapturedStderr(),
                                         std::make_tuple(Slurp("/tmp/victim"), access("/tmp/mt", F_OK))));
  unlink("/tmp/mt"), unlink("/tmp/victim");
}
TEST(TableOpen, CreatorModeAndGroup) {  // whatever the umask; no other user's file taken up
  for (bool asked : {false, true}) {
    ASSERT_EQ(0, InChild([&] {  // leaves the table for the test to look at
      Mon_Handle_t h;
      if (umask(asked ? 077 : 022), asked) Mon_MmapSetMode(0660, 4242);
      return Mon_MmapOpen(0, &h);
    }));
    const auto file = asked ? std::make_pair(0660u, gid_t{4242}) : std::make_pair(0644u, getgid());
    const auto set = asked ? file : std::make_pair(0666u, getgid());
    EXPECT_EQ(file, FileMode(kPath)) << asked;
    for (const char *key : {"/tmp/mon.free.mutex", "/tmp/mon.hash.mutex"})
      EXPECT_EQ(std::make_tuple(file, set), std::make_tuple(FileMode(key), std::pair{SetOf(key).sem_perm.mode & 0777u,
                                                                                     SetOf(key).sem_perm.gid})) << key << asked;
    Mon_Handle_t h;
    ASSERT_EQ(0, Mon_MmapTakeOver(&h));
    EXPECT_EQ(std::make_pair(file, 0), (std::pair{FileMode(kPath), Mon_MmapClose(h)})) << "the mode stays";
  }
  ASSERT_EQ(0, (Put(kPath, S(32768, 'x')), chown(kPath, 65534, 65534)));
  EXPECT_EQ(0, InChild([] {
    Mon_Handle_t h;
    Mon_MmapSetMode(0660, static_cast<gid_t>(-1)), testing::internal::CaptureStderr();
    return Mon_MmapOpen(0, &h) == -1 && errno == EPERM && Info(h)->errMsg == S("/tmp/mon.mmap belongs to uid 65534") ? 0 : 1;
  })) << "another user's file taken up";
  EXPECT_EQ(S(32768, 'x'), Slurp(kPath));
  unlink(kPath);
}
TEST(TableOpen, ReaderChecksTheWriter) {  // only its or root's table no other user may write
  const mode_t umaskWas = umask(0);
  Mon_Handle_t h, r;
  ASSERT_EQ(0, Mon_MmapOpen(0, &h));
  MonMmap_t *map = (umask(umaskWas), monMmapPtr);
  auto refusal = [&](uid_t writer) {  // why the reader was refused, "" when it attached
    S why;
    const S err = Stderr([&] {
      if (Mon_MmapSetWriter(writer), Mon_MmapOpen(5, &r) == 0) return (void)Mon_MmapClose(r);
      int num, quiet = errno == EPERM && map->procPid[5] == 0;
      why = Mon_MmapLastErr(r, &num);
      why += quiet && num == EPERM ? "" : " (not EPERM, or written)";
      Mon_MmapFree(r);
    });
    return Mon_MmapSetWriter(static_cast<uid_t>(-1)), monMmapPtr = map, why + err;
  };
  EXPECT_EQ(std::make_tuple(-1, EPERM, S("connection table /tmp/mon.mmap is writable by every user")),
            (std::tuple{Mon_MmapCheckWriter(h, static_cast<uid_t>(-1)), +errno, S(Mon_MmapLastErr(h, nullptr))}));
  EXPECT_EQ("connection table /tmp/mon.mmap is writable by every user", refusal(0));
  ASSERT_EQ(0, chmod(kPath, 0664));
  EXPECT_EQ("semaphore set of /tmp/mon.free.mutex is writable by every user", refusal(0));
  ASSERT_FALSE(SetPerm("/tmp/mon.free.mutex", 0, 0660) || SetPerm("/tmp/mon.hash.mutex", 0, 0620));
  EXPECT_EQ(std::make_tuple(S(), 0), std::make_tuple(refusal(0), Mon_MmapCheckWriter(h, static_cast<uid_t>(-1))));
  ASSERT_EQ(0, chown(kPath, 65534, -1));
  EXPECT_EQ(std::make_tuple(S("connection table /tmp/mon.mmap belongs to uid 65534, not to root"), S(), 0),
            std::make_tuple(refusal(0), refusal(65534), Mon_MmapCheckWriter(h, 65534)));
  ASSERT_FALSE(chown(kPath, 0, -1) || SetPerm("/tmp/mon.hash.mutex", 65534, 0600));
  EXPECT_EQ(std::make_tuple(S("semaphore set of /tmp/mon.hash.mutex belongs to uid 65534, not to root or uid 1234"), S()),
            std::make_tuple(refusal(1234), refusal(65534)));
  EXPECT_EQ(0, Mon_MmapClose(h));
}

// A table made for 4096 open sessions (the proxy's case) and the checks on a table's size.
class BigTable : public TableTest {
 protected:
  void SetUp() override { ASSERT_EQ(0, Mon_MmapSetSize(size_)); TableTest::SetUp(), Mon_MmapSetSize(0); }
  const uint32_t size_ = Mon_MmapSizeFor(4096);
};
TEST(TableSize, SizesAskedForAndRefused) {
  for (auto [bytes, rc] : {std::pair{0u, 0}, {31744u, 0}, {32768u, 0}, {MON_MMAP_MAX_SIZE, 0}, {31743u, -1},
                           {30720u, -1}, {32768u + 512, -1}, {MON_MMAP_MAX_SIZE + 1024, -1}, {0xfffffc00u, -1}})
    EXPECT_EQ(std::make_pair(rc, rc ? EINVAL : 0), (errno = 0, WithErrno(Mon_MmapSetSize(bytes)))) << bytes;
  Mon_MmapSetSize(0);
  for (auto [sessions, size] : {std::pair{-5, 31744u}, {0, 31744u}, {28, 31744u}, {29, 32768u}, {1000000, 0u}})
    EXPECT_EQ(size, Mon_MmapSizeFor(sessions)) << sessions;
  for (int32_t sessions : {100, 4096, 80000})
    EXPECT_TRUE(Mon_MmapSizeFor(sessions) % 1024 == 0 && Mon_MmapSizeFor(sessions) < Mon_MmapSizeFor(sessions + 100));
}
TEST_F(BigTable, HoldsEveryUnseenEndAndReaderTakesThem) {  // a full cleanup only when the arena is full
  struct stat st = {};
  const Blocks fresh = FreeBlocks();  // the hash array from the first block's end, as in the default table
  EXPECT_EQ(std::make_tuple(0, long{size_ / 1024 + 1} * 1024, size_, true, 80u + 65535 * 8, true),
            (std::tuple{stat(kPath, &st), long{st.st_size}, hdr()->size, MonMmapRoom(h_) >= 4096,
                        hdr()->connOff + hdr()->nMaxConn * 4u + 4,
                        std::all_of(fresh.begin(), fresh.end(), [](auto b) { return b.second > 95; })}));
  Mon_Handle_t r5 = Reader(5);
  for (uint32_t n = 0; n < 4096; n++) ASSERT_FALSE(Start(n) || MonMmapEndConn(h_, MyKey(n), 2)) << n;
  EXPECT_EQ(std::make_pair(4096, size_t{4096}), std::make_pair(hdr()->nCurConn, Drain(r5).size()));
  S err = Stderr([&] {  // once the arena is full of unseen ends, a full cleanup makes room
    for (uint32_t n = 5000; n < 9200; n++) EXPECT_FALSE(Start(n) || MonMmapEndConn(h_, MyKey(n), 2)) << n;
  });
  EXPECT_EQ(std::make_tuple(S(), true), std::make_tuple(err, hdr()->nCurConn < 4200));
}
TEST_F(BigTable, FreesNeverMergeAboveWhatABlockCounts) {  // 16-bit nUnits
  auto units = [] { uint32_t n = 0; for (auto b : FreeBlocks()) n += b.second; return n; };
  auto ordered = [] { Blocks b = FreeBlocks(); for (size_t i = 1; i < b.size(); i++) if (b[i - 1].first + b[i - 1].second * 8 > b[i].first) return false; return true; };
  const uint32_t fresh = units();
  EXPECT_EQ(std::make_pair(true, ENOMEM), WithErrno(!MmapAlloc(h_, 65535 * 8))) << "one block at most";
  std::vector<void *> held;
  std::mt19937 rng(5);
  for (unsigned size : {65534 * 8, 752, 8}) for (void *p; (p = MmapAlloc(h_, size)) != nullptr;) held.push_back(p);
  std::shuffle(held.begin(), held.end(), rng);
  for (void *p : held) MmapFree(h_, p);
  EXPECT_EQ(std::make_pair(fresh, true), std::make_pair(units(), ordered()));
  EXPECT_NE(nullptr, MmapAlloc(h_, 65534 * 8));
}
TEST_F(TableTest, ReaderMapsOnlyASizeTheFileHolds) {  // refused, or waited for while laid out
  mon_ErrLimit = 9;  // every refusal reported
  for (auto [size, num, msg] : {std::tuple{0u, EAGAIN, S("/tmp/mon.mmap: table not laid out yet")},
                                {1024u, EINVAL, S("/tmp/mon.mmap: bad table size 1024")},
                                {32768u + 8, EINVAL, S("/tmp/mon.mmap: bad table size 32776")},
                                {MON_MMAP_MAX_SIZE + 1024, EINVAL, S("/tmp/mon.mmap: bad table size 67109888")},
                                {65536u, EINVAL, S("table size 65536 does not fit file of 32768 bytes")}}) {
    Mon_Handle_t r;
    hdr()->size = size;
    const S err = Stderr([&] { EXPECT_EQ(std::make_pair(-1, num), WithErrno(Mon_MmapOpen(5, &r))) << size; });
    EXPECT_EQ(std::make_tuple(msg, num, true), std::make_tuple(S(Info(r)->errMsg), Info(r)->errNum, err.find(msg) != S::npos));
    Mon_MmapFree(r), monMmapPtr = map_, hdr()->size = MON_MMAP_SIZE;
  }
  Mon_Handle_t r5 = Reader(5);
  ASSERT_EQ(0, truncate(kPath, 65536));
  EXPECT_EQ(std::make_pair(-1, EINVAL), (hdr()->size = 65536, WithErrno(Mon_MmapSound(r5)))) << "laid out anew";
  Mon_Handle_t r6;
  EXPECT_EQ(std::make_tuple(0, 65536u, 65536u), (std::tuple{Mon_MmapOpen(6, &r6), Info(r6)->size, monMmapSize}));
  readers_.push_back(r6), monMmapPtr = map_, monMmapSize = hdr()->size = MON_MMAP_SIZE, mon_ErrLimit = 3;
}
TEST(TableOpen, LargerTableTakenOver) {  // mapped as its header says, records and all
  const uint32_t size = Mon_MmapSizeFor(500);
  Mon_Handle_t h;
  ASSERT_EQ(0, InChild([&] { return Mon_MmapSetSize(size) || Mon_MmapOpen(0, &h) || MonMmapStartConn(h, Key(1, 9), 5, 0, "kept", 0, 0); }));
  ASSERT_EQ(0, Mon_MmapTakeOver(&h));
  EXPECT_EQ(std::make_tuple(size, size, S("kept"), true),
            std::make_tuple(Info(h)->size, monMmapSize, S(MonMmapConnPtr(h, Key(1, 9))->userName),
                            MonMmapCreateConn(h, Key(1, 10)) != nullptr));
  EXPECT_EQ(0, Mon_MmapClose(h));
}

}  // namespace
