// Writer and readers in separate processes: change bits, stamping,
// numbering, reader registration and the cleanups.
#include <arpa/inet.h>

#include <deque>
#include <string>
#include <tuple>

#include "table_util.h"

namespace {

using TableTest = WriterTest;

// Drains `r`, which must take exactly one change.
Mon_Conn_t TakeOne(ReaderProc &r, int32_t readTime) {
  auto got = r.Drain(readTime);
  EXPECT_EQ(1u, got.size());
  return got.empty() ? Mon_Conn_t{} : got[0];
}

TEST_F(TableTest, ReaderSeesEveryChange) {
  using S = std::string;
  ReaderProc r(5);
  ASSERT_EQ(0, r.open.result);
  sockaddr_in src = {AF_INET, htons(4000), {inet_addr("10.1.2.3")}, {}};
  sockaddr_in dst = {AF_INET, htons(53), {inet_addr("192.0.2.7")}, {}};
  uint32_t w = 1;
  while (Hash(MyKey(w), 37) != 36) w++;
  const Uint64 k = MyKey(w);  // in the last slot: the scans must reach it, then end
  ASSERT_EQ(0, MonMmapStartConn(h_, k, 100, 7, "alice", &src, "client"));
  int32_t index = 0;
  ASSERT_NE(nullptr, MonMmapIterateConn(h_, &index));
  EXPECT_EQ(37, index);
  EXPECT_EQ(nullptr, MonMmapIterateConn(h_, &index));
  EXPECT_EQ(0, index);
  Mon_Conn_t c = TakeOne(r, 1000);
  const uint32_t firstKey = c.alarmKey;
  EXPECT_EQ(std::make_tuple(MON_ACTIVE | MON_CHG_START, 100, 7, 0, "alice", "client"),
            std::make_tuple(c.connState, c.startTime, +c.authorize, c.readTime, S(c.userName),
                            S(c.srcHostName)));  // the copy keeps the earlier readTime
  EXPECT_EQ(0, memcmp(&src, &c.srcSockAddr, sizeof src));
  EXPECT_TRUE(r.Drain(1001).empty()) << "taken changes are not seen again";
  ASSERT_EQ(0, MonMmapUpdateConn(h_, k, 110, 5, 6, 3, "dns", nullptr, "proxy", &dst,
                                 "resolver"));
  c = TakeOne(r, 2000);
  EXPECT_EQ(std::make_tuple(MON_ACTIVE | MON_CHG_UPDATE, 1000, 110, 5u, 6u, 3),
            std::make_tuple(c.connState, c.readTime, c.curTime, c.inTotBytes, c.outTotBytes,
                            +c.socksCmd));
  EXPECT_EQ(std::make_tuple("dns", "proxy", "resolver", "alice"),  // null texts keep the field
            std::make_tuple(S(c.applicName), S(c.proxyHostName), S(c.dstHostName), S(c.userName)));
  EXPECT_EQ(0, memcmp(&dst, &c.dstSockAddr, sizeof dst));
  ASSERT_EQ(0, MonMmapErrConn(h_, k, 120, 4, "refused"));
  ASSERT_EQ(0, MonMmapEndConn(h_, k, 130));
  c = TakeOne(r, 0);
  EXPECT_EQ(std::make_tuple(MON_CHG_ERROR | MON_CHG_UPDATE, 4u, "refused", 130),
            std::make_tuple(c.connState, c.socksErrType, S(c.socksErrMsg), c.endTime));
  EXPECT_EQ(2000, MonMmapConnPtr(h_, k)->readTime) << "readTime 0 leaves the stamp";
  // Both bits in one copy; starts numbered by the writer's count of earlier ones.
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(w + 1), 140, 0, nullptr, nullptr, nullptr));
  ASSERT_EQ(0, MonMmapUpdateConn(h_, MyKey(w + 1), 141, 1, 1, 1, nullptr, nullptr, nullptr,
                                 nullptr, nullptr));
  c = TakeOne(r, 3000);
  EXPECT_EQ(MON_ACTIVE | MON_CHG_START | MON_CHG_UPDATE, c.connState);
  EXPECT_EQ(firstKey + 1, c.alarmKey);
}

TEST_F(TableTest, TextAsLongAsFieldHasNoTerminatorAndRestartResets) {
  std::string user(200, 'u'), app(16, 'a');
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 1, 0, user.c_str(), nullptr, ""));
  ASSERT_EQ(0, MonMmapUpdateConn(h_, MyKey(1), 2, 0, 0, 1, app.c_str(), nullptr, nullptr,
                                 nullptr, nullptr));
  Mon_Conn_t *rec = MonMmapConnPtr(h_, MyKey(1));
  EXPECT_EQ(std::string(128, 'u'), std::string(rec->userName, 128));
  EXPECT_EQ(app, std::string(rec->applicName, 16));
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 9, 0, "bob", nullptr, nullptr));
  EXPECT_STREQ("bob", rec->userName);
  EXPECT_EQ('\0', rec->applicName[0]);
  EXPECT_EQ(1, hdr()->nCurConn);
}

TEST_F(TableTest, ReaderRegistration) {
  ReaderProc first(5);
  ASSERT_EQ(0, first.open.result);
  ReaderProc second(5);
  EXPECT_EQ(-1, second.open.result);
  EXPECT_EQ(EBUSY, second.open.err);
  EXPECT_EQ("Duplicate procId=5, in use by PID=" + std::to_string(first.pid()),
            std::string(second.open.msg));
  EXPECT_EQ(first.pid(), hdr()->procPid[5]);
  first.Kill();
  ReaderProc third(5);
  EXPECT_EQ(0, third.open.result) << "a dead reader's entry is taken over";
  EXPECT_EQ(third.pid(), hdr()->procPid[5]);
  Mon_Handle_t h = reinterpret_cast<Mon_Handle_t>(1);
  errno = 0;
  EXPECT_EQ(-1, Mon_MmapOpen(10, &h));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(nullptr, h);
  Mon_Conn_t c;
  int32_t index = 0;
  EXPECT_EQ(-1, Mon_MmapGetNextConn(h_, 0, &index, &c)) << "the writer takes no bits";
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, Mon_MmapGetNextConn(nullptr, 0, &index, &c));
  EXPECT_EQ(ENOENT, errno);
}

TEST(TableOpen, EarlyReaderLeftoverTableAndRemoval) {
  Mon_Handle_t h;
  EXPECT_EQ(-1, Mon_MmapOpen(5, &h));
  ASSERT_NE(nullptr, h);
  EXPECT_STREQ("open(/tmp/mon.mmap,0x2,0x1b6) failed", Info(h)->errMsg);
  EXPECT_EQ(ENOENT, Info(h)->errNum);
  Mon_MmapFree(h);
  pid_t pid = fork();
  if (pid == 0)  // dies without closing
    _exit(Mon_MmapOpen(0, &h) || MonMmapStartConn(h, Key(1, 1), 1, 0, "left", nullptr, nullptr));
  int status;
  waitpid(pid, &status, 0);
  ASSERT_EQ(0, status);
  ASSERT_EQ(0, Mon_MmapOpen(0, &h));
  EXPECT_EQ(0, monMmapPtr->nCurConn);
  EXPECT_EQ(nullptr, MonMmapConnPtr(h, Key(1, 1)));
  EXPECT_EQ(0, Mon_MmapClose(h));
  EXPECT_NE(0, access("/tmp/mon.mmap", F_OK));
  EXPECT_NE(0, access("/tmp/mon.hash.mutex", F_OK));
}

TEST_F(TableTest, DeadAlarmReaderIsDroppedByNextStart) {
  ReaderProc r(5);
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 1, 0, "a", nullptr, nullptr));
  EXPECT_EQ(MON_ACTIVE | MON_CHG_START << 12, MonMmapConnPtr(h_, MyKey(1))->connState);
  r.Kill();
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(2), 1, 0, "b", nullptr, nullptr));
  EXPECT_EQ(0, hdr()->procPid[5]);
  EXPECT_EQ(MON_ACTIVE, MonMmapConnPtr(h_, MyKey(2))->connState);
  EXPECT_EQ(0u, MonMmapConnPtr(h_, MyKey(2))->alarmKey);
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(1), 2));
  EXPECT_EQ(0u, MonMmapConnPtr(h_, MyKey(1))->connState) << "pending start withdrawn";
}

TEST_F(TableTest, TenthStartCleansOnlyWhatEveryReaderTook) {
  ReaderProc r5(5), r1(1);
  auto start10 = [&] {
    for (uint32_t i = 100; i < 110; i++)
      ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(i), 1, 0, "u", nullptr, nullptr));
  };
  for (uint32_t i = 0; i < 3; i++)
    ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(i), 1, 0, "u", nullptr, nullptr) |
                     MonMmapEndConn(h_, MyKey(i), 2));
  start10();  // one cleanup: nothing taken, nothing goes
  EXPECT_EQ(13, hdr()->nCurConn);
  EXPECT_EQ(13u, r5.Drain(9).size());
  start10();
  EXPECT_EQ(13, hdr()->nCurConn) << "reader 1 has not taken the ends";
  EXPECT_EQ(13u, r1.Drain(9).size());
  r5.Drain(9);
  start10();
  EXPECT_EQ(10, hdr()->nCurConn);
  for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(nullptr, MonMmapConnPtr(h_, MyKey(i)));
}

TEST_F(TableTest, FullCleanupInterruptsLateReaders) {
  ReaderProc late(1), current(2);
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 1, 0, "u", nullptr, nullptr));
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(1), 2));
  current.Drain(3);
  ASSERT_EQ(0, MonMmapCleanup(h_, 1));
  int status = late.Wait(5);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(nullptr, MonMmapConnPtr(h_, MyKey(1)));
  EXPECT_TRUE(current.Drain(4).empty()) << "reader 2 was not interrupted";
}

TEST_F(TableTest, CleanupEndsConnectionsOfDeadServers) {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  ReaderProc r(5);
  ASSERT_EQ(0, MonMmapStartConn(h_, Key(gone, 1), 1, 0, "u", nullptr, nullptr));
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(2), 1, 0, "u", nullptr, nullptr));
  r.Drain(5);
  ASSERT_EQ(0, MonMmapCleanup(h_, 0));
  Mon_Conn_t *rec = MonMmapConnPtr(h_, Key(gone, 1));
  ASSERT_NE(nullptr, rec) << "ended, but reader 5 has not seen the end";
  EXPECT_EQ(MON_CHG_UPDATE << 12, rec->connState);
  EXPECT_NE(0, rec->endTime);
  EXPECT_EQ(MON_ACTIVE, MonMmapConnPtr(h_, MyKey(2))->connState);
  EXPECT_EQ(MON_CHG_UPDATE, TakeOne(r, 6).connState);
}

// A proxy with 60 connections open at once against a table that holds
// about 41: starts beyond capacity fail with their report, every end makes
// room for a later start however long it goes on, and once the connections
// have ended every start succeeds again.
TEST_F(TableTest, SixtyOpenConnectionsNeverJamTheTable) {
  ReaderProc r5(5);
  std::deque<std::pair<uint32_t, bool>> open;  // key word 1, has a record
  uint32_t next = 0;
  int failed = 0, held = 0, fewest = 99, otherErrors = 0;
  auto start = [&] {
    errno = 0;
    bool ok = MonMmapStartConn(h_, MyKey(next), 1, 0, "u", nullptr, nullptr) == 0;
    if (ok) {
      EXPECT_EQ(0, MonMmapUpdateConn(h_, MyKey(next), 2, 1, 1, 1, "app", nullptr, nullptr,
                                     nullptr, "dst"));
    }
    failed += !ok;
    otherErrors += !ok && errno != ENOMEM;
    held += ok;
    open.emplace_back(next++, ok);
    return ok;
  };
  auto end = [&] {
    auto [w, had] = open.front();
    open.pop_front();
    EXPECT_EQ(had ? 0 : -1, MonMmapEndConn(h_, MyKey(w), 3)) << w;
    held -= had;
  };
  testing::internal::CaptureStderr();
  for (int i = 0; i < 60; i++) start();
  EXPECT_GE(held, 40);
  EXPECT_EQ(60 - held, failed);
  for (int step = 0; step < 1500; step++) {
    end();
    if (step % 7 == 0) r5.Drain(4);
    start();
    fewest = std::min(fewest, held);
  }
  EXPECT_GE(fewest, 40) << "the table kept room for the connections";
  EXPECT_EQ(0, otherErrors) << "only memory may run out";
  while (!open.empty()) end();
  r5.Drain(5);
  for (int i = 0; i < 40; i++) EXPECT_TRUE(start()) << "after the ends, start " << i;
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string::npos, err.find("hash table full")) << err.substr(0, 2000);
  EXPECT_NE(std::string::npos, err.find("allocate failed"));
  EXPECT_EQ(0, MonMutexQuery(Info(h_)->hashMutex)) << "hash mutex let go";
}

}  // namespace
