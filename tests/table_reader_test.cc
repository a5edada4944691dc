// The alarm reader's side of the table: changes taken in batches, and the
// sleep that ends when the writer next takes the table's lock.
#include <signal.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>
#include <set>
#include <gtest/gtest.h>
#include "monMmapInt.h"

namespace {
Uint64 MyKey(uint32_t n) { return Uint64{{static_cast<uint32_t>(getpid()), n}}; }
int64_t Ms() { timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec * 1000L + t.tv_nsec / 1000000; }
info_t *Info(Mon_Handle_t h) { return static_cast<info_t *>(h); }

// The test process as writer, with reader 5 sharing its mapping.
class ReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Mon_MmapOpen(0, &w_));
    MonMmap_t *map = monMmapPtr;
    ASSERT_EQ(0, Mon_MmapOpen(5, &r_));
    monMmapPtr = map;
  }
  void TearDown() override { EXPECT_EQ(0, Mon_MmapClose(r_)); EXPECT_EQ(0, Mon_MmapClose(w_)); }
  int Start(uint32_t n) { return MonMmapStartConn(w_, MyKey(n), 1, 0, "u", nullptr, nullptr); }
  Mon_Handle_t w_ = nullptr, r_ = nullptr;
};

TEST_F(ReaderTest, BatchesTakeEachChangeOnceInSlotOrder) {
  for (uint32_t n = 1; n <= 10; n++) ASSERT_EQ(0, Start(n));
  Mon_Conn_t c[4];
  int32_t index = 0;
  std::vector<int> sizes;
  std::vector<int32_t> positions;
  std::set<uint32_t> seen;
  for (int n; (n = Mon_MmapGetChanged(r_, 500, &index, c, 4)) > 0;) {
    sizes.push_back(n), positions.push_back(index);
    for (int i = 0; i < n; i++) {
      seen.insert(c[i].key.word[1]);
      EXPECT_EQ(MON_ACTIVE | MON_CHG_START, c[i].connState);
      EXPECT_EQ(0, c[i].readTime) << "the copy keeps the time before";
      EXPECT_EQ(500, MonMmapConnPtr(w_, c[i].key)->readTime);
      EXPECT_EQ(0u, MonMmapConnPtr(w_, c[i].key)->connState & MON_CHG_MASK(5));
    }
    if (index == 0) break;
  }
  EXPECT_EQ((std::vector<int>{4, 4, 2}), sizes);
  EXPECT_TRUE(positions[0] > 0 && positions[1] > positions[0] && positions[2] == 0);
  EXPECT_EQ(10u, seen.size());
  EXPECT_EQ(0, Mon_MmapGetChanged(r_, 1, &index, c, 4)) << "nothing changed since";
  ASSERT_EQ(0, MonMmapEndConn(w_, MyKey(3), 9));
  EXPECT_EQ(1, Mon_MmapGetChanged(r_, 1, &index, c, 4));
  EXPECT_EQ(std::make_tuple(MON_CHG_UPDATE, 9u, 0), std::make_tuple(c[0].connState, c[0].key.word[1] * 3, index));
  EXPECT_EQ(-1, Mon_MmapGetChanged(w_, 1, &index, c, 4)) << "the writer has no marks";
  monMmapPtr->nMaxConn = 0;
  EXPECT_EQ(std::make_pair(-1, EINVAL), std::make_pair(Mon_MmapGetChanged(r_, 1, &index, c, 4), errno));
  monMmapPtr->nMaxConn = 37;
}

// A writer in another process updates, ends and updates every connection
// once more: the batches end up with each one's last state, never copy a
// record half-written (both counts are written together) and never take
// the last state twice.
TEST_F(ReaderTest, BatchesKeepUpWithAWriter) {
  constexpr uint32_t kConns = 5000;
  pid_t writer = fork();
  if (writer == 0) {
    int failures = 0;
    auto update = [&](uint32_t id, uint32_t n) {
      failures += MonMmapUpdateConn(w_, MyKey(id), 2, n, n, 1, "app", 0, 0, 0, 0) != 0;
    };
    for (uint32_t id = 0; id < kConns; id++) {
      while (monMmapPtr->nCurConn >= 27) MonMmapCleanup(w_, 0), sched_yield();  // never a full cleanup
      failures += Start(id) != 0;
      update(id, id);
      failures += MonMmapEndConn(w_, MyKey(id), 3) != 0;
      update(id, id + 1);
    }
    _exit(failures != 0);
  }
  std::vector<Mon_Conn_t> last(kConns);
  std::vector<int> finals(kConns);
  Mon_Conn_t c[8];
  int status = -1, torn = 0;
  for (bool ended = false; !ended;) {
    ended = waitpid(writer, &status, WNOHANG) == writer;  // then one last whole scan
    int32_t index = 0;
    for (int n; (n = Mon_MmapGetChanged(r_, 1, &index, c, 8)) > 0;) {
      for (int i = 0; i < n; i++) {
        uint32_t id = c[i].key.word[1];
        last[id] = c[i], torn += c[i].inTotBytes != c[i].outTotBytes;
        finals[id] += c[i].endTime == 3 && c[i].inTotBytes == id + 1;
      }
      if (index == 0) break;
    }
  }
  int bad = 0;
  for (uint32_t id = 0; id < kConns; id++)
    bad += !(last[id].endTime == 3 && last[id].inTotBytes == id + 1 && !(last[id].connState & MON_ACTIVE) &&
             finals[id] == 1);
  EXPECT_EQ(std::make_tuple(0, 0, 0), std::make_tuple(status, bad, torn)) << "writer's status, bad, torn";
}

TEST_F(ReaderTest, AwaitWriterWakesOnTheLockTimesOutAndStops) {
  int64_t t = Ms();
  EXPECT_EQ(0, Mon_MmapAwaitWriter(r_, 50));
  EXPECT_GE(Ms() - t, 45) << "an idle table: the whole wait";
  pid_t writer = fork();  // changes the table after 100 ms
  if (writer == 0) _exit((usleep(100000), Start(1)));
  t = Ms();
  EXPECT_EQ(1, Mon_MmapAwaitWriter(r_, 5000));
  EXPECT_LT(Ms() - t, 1000);
  EXPECT_GE(Ms() - t, 90);
  waitpid(writer, nullptr, 0);
  pid_t holder = fork();
  if (holder == 0) _exit(MonMutexRequest(Info(w_)->hashMutex) == 0 ? pause() : 1);
  while (MonMutexQuery(Info(w_)->hashMutex) != 1) usleep(1000);
  EXPECT_EQ(1, Mon_MmapAwaitWriter(r_, 5000)) << "held now: at once";
  kill(holder, SIGKILL), waitpid(holder, nullptr, 0);
  struct sigaction sa = {};
  sa.sa_handler = [](int) {};
  sigaction(SIGALRM, &sa, nullptr);
  ualarm(50000, 0), t = Ms();
  EXPECT_EQ(std::make_pair(-1, EINTR), std::make_pair(Mon_MmapAwaitWriter(r_, 5000), errno));
  EXPECT_LT(Ms() - t, 1000);
  ASSERT_EQ(0, semctl(semget(ftok("/tmp/mon.hash.mutex", 'V'), 0, 0), 0, IPC_RMID));
  EXPECT_EQ(-1, Mon_MmapAwaitWriter(r_, 5000));
  EXPECT_TRUE(errno == EIDRM || errno == EINVAL) << errno;
}
}  // namespace
