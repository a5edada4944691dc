// The hash index: probing, deleted markers, resizing and the load policy.
#include <algorithm>
#include <iterator>
#include <random>
#include <tuple>

#include "table_util.h"

namespace {

using HashTest = WriterTest;

// Word 1 of a key served by this process that hashes to slot `slot`.
uint32_t WordFor(int32_t slot, int32_t n, uint32_t from = 1) {
  for (uint32_t w = from;; w++)
    if (Hash(MyKey(w), n) == slot) return w;
}

// The slot of a key served by this process, found without the lookup.
int32_t SlotOf(Uint64 key) {
  for (int32_t i = 0; i < monMmapPtr->nMaxConn; i++) {
    uint32_t off = MON_SLOTS()[i];
    if (off > 1 && static_cast<Mon_Conn_t *>(MON_PTR(off))->key.word[1] == key.word[1]) return i;
  }
  return -1;
}

Uint64 FromBytes(const char *bytes) {  // the key's 8 bytes in memory order
  Uint64 key;
  memcpy(&key, bytes, sizeof key);
  return key;
}

TEST(HashFunctions, PrimeAndHash) {
  for (auto [n, p] : {std::pair{0, 5}, {4, 5}, {8, 11}, {36, 37}, {37, 37}, {55, 59}, {-7, 5},
                      {121, 127}})  // 121 = 11 * 11
    EXPECT_EQ(p, Prime(n)) << n;
  Uint64 key = FromBytes("\1\0\0\0\2\0\0\0");
  EXPECT_EQ(28, Hash(key, 37));  // 1 ^ (2 << 5) = 65
  EXPECT_EQ(32, Hash(key, 33));
  // Every byte counts, each at its own shift.
  key = FromBytes("\0\0\0\0\0\0\0\xff");
  EXPECT_EQ(static_cast<int32_t>((0xffu << 17) % 1000003u), Hash(key, 1000003));
}

TEST_F(HashTest, CollisionsProbeOnAndMarkersKeepKeysFindable) {
  Uint64 key = FromBytes("\1\0\0\0\2\0\0\0");
  ASSERT_EQ(28, HashIndex(key));
  // Fill 28, then 32 with other keys: the key probes on to 32, then 33.
  Uint64 a = MyKey(WordFor(28, 37)), b = MyKey(WordFor(32, 37));
  ASSERT_NE(nullptr, MonMmapCreateConn(h_, a));
  EXPECT_EQ(32, HashIndex(key));
  ASSERT_NE(nullptr, MonMmapCreateConn(h_, b));
  EXPECT_EQ(33, HashIndex(key));
  // A key whose home slot is taken lands at Hash(key, n - 4).
  Uint64 c = MyKey(WordFor(28, 37, a.word[1] + 1));
  ASSERT_NE(nullptr, MonMmapCreateConn(h_, c));
  int32_t want = Hash(c, 33);
  while (want == 28 || want == 32) want = (want + 1) % 37;  // a and b
  EXPECT_EQ(want, SlotOf(c));
  // Deleting a leaves a marker that hides no key and is given to no new one.
  EXPECT_EQ(0, MonMmapDeleteConn(h_, a));
  EXPECT_EQ(1u, MON_SLOTS()[28]);
  EXPECT_EQ(1, hdr()->nDelConn);
  EXPECT_EQ(2, hdr()->nCurConn);
  EXPECT_NE(nullptr, MonMmapConnPtr(h_, c));
  EXPECT_NE(28, HashIndex(MyKey(WordFor(28, 37, c.word[1] + 1))));
  EXPECT_EQ(nullptr, MonMmapConnPtr(h_, a));
  // A same-size rebuild drops the marker and keeps everything findable.
  ASSERT_EQ(0, ResizeHashTable(h_, 37));
  EXPECT_EQ(37, hdr()->nMaxConn);
  EXPECT_EQ(0, hdr()->nDelConn);
  EXPECT_NE(nullptr, MonMmapConnPtr(h_, b));
  EXPECT_NE(nullptr, MonMmapConnPtr(h_, c));
  EXPECT_EQ(28, SlotOf(c)) << "c moves to its home slot";
}

TEST_F(HashTest, StartBeyondThreeQuartersGrowsTable) {
  for (uint32_t i = 0; i < 28; i++)
    ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(i), 1, 0, "u", nullptr, nullptr));
  EXPECT_EQ(37, hdr()->nMaxConn);
  EXPECT_EQ(28, hdr()->nCurConn);
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(28), 1, 0, "u", nullptr, nullptr));
  EXPECT_EQ(59, hdr()->nMaxConn);
  EXPECT_EQ(29, hdr()->nCurConn);
  for (uint32_t i = 0; i <= 28; i++) EXPECT_NE(nullptr, MonMmapConnPtr(h_, MyKey(i))) << i;
}

TEST_F(HashTest, MarkersPastTheLimitAreDropped) {
  // 20 records, 16 of them deleted: 4 records and 16 markers.
  for (uint32_t i = 0; i < 20; i++) ASSERT_NE(nullptr, MonMmapCreateConn(h_, MyKey(i)));
  for (uint32_t i = 0; i < 16; i++) MonMmapDeleteConn(h_, MyKey(i));
  EXPECT_EQ(16, hdr()->nDelConn);
  // Ten more creations pass 27 records and markers: rebuilt in place.
  for (uint32_t i = 100; i < 110; i++) ASSERT_NE(nullptr, MonMmapCreateConn(h_, MyKey(i)));
  EXPECT_EQ(37, hdr()->nMaxConn);
  EXPECT_LT(hdr()->nDelConn, 16);
  EXPECT_EQ(14, hdr()->nCurConn);
}

TEST_F(HashTest, MarkersFillingTheArrayAreDroppedWithoutMemory) {
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 1, 0, "u", nullptr, nullptr));
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(2), 1, 0, "u", nullptr, nullptr));
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(2), 2));
  while (MmapAlloc(h_, 8) != nullptr) {}  // no memory left for a new array,
  std::replace(MON_SLOTS(), MON_SLOTS() + hdr()->nMaxConn, 0u, 1u);  // every empty slot a marker
  hdr()->nDelConn = hdr()->nMaxConn - hdr()->nCurConn;
  EXPECT_EQ(-1, HashIndex(MyKey(3)));
  const uint32_t connOff = hdr()->connOff;
  // The start rebuilds the array in place; the ended record's memory
  // serves the new one.
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(3), 1, 0, "u", nullptr, nullptr));
  EXPECT_EQ(connOff, hdr()->connOff);
  EXPECT_EQ(1, hdr()->nDelConn) << "only the ended record's marker";
  EXPECT_NE(nullptr, MonMmapConnPtr(h_, MyKey(1)));
  EXPECT_NE(nullptr, MonMmapConnPtr(h_, MyKey(3)));
  // Out of memory with nothing to clean: the start fails for memory, not
  // for a full array, and the key already there is still restarted.
  errno = 0;
  EXPECT_EQ(-1, MonMmapStartConn(h_, MyKey(4), 1, 0, "u", nullptr, nullptr));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_EQ(0, MonMmapStartConn(h_, MyKey(1), 2, 0, "u", nullptr, nullptr));
  EXPECT_EQ(2, hdr()->nCurConn);
  EXPECT_EQ(0, MonMutexQuery(Info(h_)->hashMutex)) << "hash mutex let go";
}

// Without memory for a new array, a same-size rebuild succeeds in place and
// a growth fails, but drops the markers all the same.
TEST_F(HashTest, ResizeWithoutMemoryDropsMarkersInPlace) {
  for (auto [want, result] : {std::pair{37, 0}, {55, -1}}) {
    SCOPED_TRACE(want);
    for (uint32_t i = 0; i < 10; i++) ASSERT_NE(nullptr, MonMmapCreateConn(h_, MyKey(i)));
    for (uint32_t i = 0; i < 10; i += 2) MonMmapDeleteConn(h_, MyKey(i));
    std::vector<void *> hog;
    for (void *p; (p = MmapAlloc(h_, 8)) != nullptr;) hog.push_back(p);
    const uint32_t connOff = hdr()->connOff;
    EXPECT_EQ(result, ResizeHashTable(h_, want));
    EXPECT_EQ(std::make_tuple(connOff, 37, 5, 0),
              std::make_tuple(hdr()->connOff, hdr()->nMaxConn, hdr()->nCurConn, hdr()->nDelConn));
    for (uint32_t i = 1; i < 10; i += 2) EXPECT_NE(nullptr, MonMmapConnPtr(h_, MyKey(i))) << i;
    for (void *p : hog) MmapFree(h_, p);
    for (uint32_t i = 1; i < 10; i += 2) MonMmapDeleteConn(h_, MyKey(i));
  }
}

// Rebuilt in place, without memory, over arrays of many shapes: every
// record is found by its key, by a scan and by a reader in another process,
// and new keys find empty slots again.
TEST_F(HashTest, InPlaceRebuildKeepsEveryRecordFindable) {
  struct Shape {
    int records, deletePercent;
    bool sameHome;  // all keys hash to one slot: long probe chains
  };
  const Shape shapes[] = {{27, 50, false}, {27, 30, true}, {20, 0, true}, {40, 30, false},
                          {12, 100, false}, {45, 40, false}, {45, 40, true}};
  ReaderProc r5(5);
  std::mt19937 rng(9);
  for (int round = 0; round < 100; round++) {
    const Shape &sh = shapes[round % std::size(shapes)];
    SCOPED_TRACE(testing::Message() << "round " << round);
    std::vector<uint32_t> live;
    for (int i = 0; i < sh.records; i++) {
      uint32_t w = rng() % 100000 + 1;
      if (sh.sameHome) w = WordFor(7, 37, w);
      if (MonMmapConnPtr(h_, MyKey(w)) != nullptr) continue;
      ASSERT_NE(nullptr, MonMmapCreateConn(h_, MyKey(w)));
      if (static_cast<int>(rng() % 100) < sh.deletePercent) {
        MonMmapDeleteConn(h_, MyKey(w));  // a marker, and the memory is back
      } else {
        MonMmapConnPtr(h_, MyKey(w))->connState = MON_ACTIVE | MON_CHG_START << 12;
        live.push_back(w);
      }
      if (hdr()->nCurConn == 27) break;  // one more would grow the array
    }
    std::vector<void *> hog;
    for (unsigned size : {752u, 64u, 8u})  // no memory left for a new array
      for (void *p; (p = MmapAlloc(h_, size)) != nullptr;) hog.push_back(p);
    const uint32_t connOff = hdr()->connOff;
    ASSERT_EQ(0, ResizeHashTable(h_, 37));
    EXPECT_EQ(connOff, hdr()->connOff) << "rebuilt where it lies";
    EXPECT_EQ(37, hdr()->nMaxConn);
    EXPECT_EQ(0, hdr()->nDelConn);
    EXPECT_EQ(0, std::count(MON_SLOTS(), MON_SLOTS() + 37, 1u)) << "no marker left";
    for (uint32_t w : live) {
      Mon_Conn_t *rec = MonMmapConnPtr(h_, MyKey(w));
      ASSERT_NE(nullptr, rec) << w;
      EXPECT_EQ(w, rec->key.word[1]);
    }
    EXPECT_GE(HashIndex(MyKey(100001)), 0);
    int32_t index = 0;
    size_t scanned = 0;
    while (MonMmapIterateConn(h_, &index) != nullptr) scanned++;
    EXPECT_EQ(live.size(), scanned);
    std::vector<uint32_t> taken;
    for (const Mon_Conn_t &c : r5.Drain(1)) taken.push_back(c.key.word[1]);
    std::sort(taken.begin(), taken.end());
    std::sort(live.begin(), live.end());
    EXPECT_EQ(live, taken) << "the reader takes every live record once";
    for (void *p : hog) MmapFree(h_, p);
    for (uint32_t w : live) MonMmapDeleteConn(h_, MyKey(w));
    ASSERT_EQ(0, ResizeHashTable(h_, 37));  // an empty array for the next round
  }
}

TEST_F(HashTest, AllocationFailureRunsFullCleanupAndRetries) {
  // An ended record nobody has taken, then memory runs out: the cleanup
  // frees the ended record and its memory serves the new one.
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 1, 0, "u", nullptr, nullptr));
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(1), 2));
  while (MmapAlloc(h_, 8) != nullptr) {}
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(2), 3, 0, "u", nullptr, nullptr));
  EXPECT_EQ(nullptr, MonMmapConnPtr(h_, MyKey(1)));
  EXPECT_NE(nullptr, MonMmapConnPtr(h_, MyKey(2)));
  EXPECT_EQ(1, hdr()->nCurConn);
  EXPECT_EQ(0, MonMutexQuery(Info(h_)->hashMutex)) << "hash mutex let go";
  // With nothing to clean, the start fails and says why.
  EXPECT_EQ(-1, MonMmapStartConn(h_, MyKey(3), 3, 0, "u", nullptr, nullptr));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_EQ(0, MonMutexQuery(Info(h_)->hashMutex));
}

}  // namespace
