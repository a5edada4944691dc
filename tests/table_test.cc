// Writer and readers in separate processes: change bits, stamping,
// numbering, reader registration and the cleanups.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "table_util.h"

namespace {

using TableTest = WriterTest;

sockaddr_in Addr(const char *ip, int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = inet_addr(ip);
  return a;
}

TEST_F(TableTest, ReaderSeesEveryChange) {
  ReaderProc r(5);
  ASSERT_EQ(0, r.open_result);
  EXPECT_EQ(r.pid(), hdr()->procPid[5]);
  EXPECT_TRUE(r.Drain(0).empty());

  sockaddr_in src = Addr("10.1.2.3", 4000), dst = Addr("192.0.2.7", 53);
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 100, 7, "alice", &src, "client"));
  auto got = r.Drain(1000);
  ASSERT_EQ(1u, got.size());
  uint32_t firstKey = got[0].alarmKey;
  EXPECT_EQ(MON_ACTIVE | MON_CHG_START, got[0].connState);
  EXPECT_EQ(100, got[0].startTime);
  EXPECT_EQ(7, got[0].authorize);
  EXPECT_STREQ("alice", got[0].userName);
  EXPECT_STREQ("client", got[0].srcHostName);
  EXPECT_EQ(0, memcmp(&src, &got[0].srcSockAddr, sizeof src));
  EXPECT_EQ(0, got[0].readTime) << "the copy keeps the earlier stamp";
  EXPECT_TRUE(r.Drain(1001).empty()) << "taken changes are not seen again";

  ASSERT_EQ(0, MonMmapUpdateConn(h_, MyKey(1), 110, 5, 6, 3, "dns", nullptr,
                                 "proxy", &dst, "resolver"));
  got = r.Drain(2000);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(MON_ACTIVE | MON_CHG_UPDATE, got[0].connState);
  EXPECT_EQ(1000, got[0].readTime);
  EXPECT_EQ(110, got[0].curTime);
  EXPECT_EQ(5u, got[0].inTotBytes);
  EXPECT_EQ(6u, got[0].outTotBytes);
  EXPECT_EQ(3, got[0].socksCmd);
  EXPECT_STREQ("dns", got[0].applicName);
  EXPECT_STREQ("resolver", got[0].dstHostName);
  EXPECT_STREQ("alice", got[0].userName) << "null texts keep the field";
  EXPECT_EQ(htons(53), got[0].dstSockAddr.sin_port);

  ASSERT_EQ(0, MonMmapErrConn(h_, MyKey(1), 120, 4, "refused"));
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(1), 130));
  got = r.Drain(0);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(MON_CHG_ERROR | MON_CHG_UPDATE, got[0].connState);
  EXPECT_EQ(4u, got[0].socksErrType);
  EXPECT_STREQ("refused", got[0].socksErrMsg);
  EXPECT_EQ(130, got[0].endTime);
  EXPECT_EQ(2000, MonMmapConnPtr(h_, MyKey(1))->readTime)
      << "readTime 0 leaves the stamp alone";

  // Start and update before the reader looks: both bits in one copy; each
  // start is numbered with the writer's count of earlier starts.
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(2), 140, 0, nullptr, nullptr, nullptr));
  ASSERT_EQ(0, MonMmapUpdateConn(h_, MyKey(2), 141, 1, 1, 1, nullptr, nullptr,
                                 nullptr, nullptr, nullptr));
  got = r.Drain(3000);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(MON_ACTIVE | MON_CHG_START | MON_CHG_UPDATE, got[0].connState);
  EXPECT_EQ(firstKey + 1, got[0].alarmKey);
  EXPECT_EQ(0, hdr()->nDelConn);
}

TEST_F(TableTest, TextAsLongAsFieldHasNoTerminator) {
  std::string user(200, 'u'), app(16, 'a');
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 1, 0, user.c_str(), nullptr, ""));
  ASSERT_EQ(0, MonMmapUpdateConn(h_, MyKey(1), 2, 0, 0, 1, app.c_str(), nullptr,
                                 nullptr, nullptr, nullptr));
  Mon_Conn_t *rec = MonMmapConnPtr(h_, MyKey(1));
  EXPECT_EQ(std::string(128, 'u'), std::string(rec->userName, 128));
  EXPECT_EQ(app, std::string(rec->applicName, 16));
  EXPECT_EQ('\0', rec->srcHostName[0]);
  // Restarting a key resets its record and counts it once.
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 9, 0, "bob", nullptr, nullptr));
  EXPECT_EQ(rec, MonMmapConnPtr(h_, MyKey(1)));
  EXPECT_STREQ("bob", rec->userName);
  EXPECT_EQ('\0', rec->applicName[0]);
  EXPECT_EQ(1, hdr()->nCurConn);
}

TEST_F(TableTest, ReaderRegistration) {
  ReaderProc first(5);
  ASSERT_EQ(0, first.open_result);

  ReaderProc second(5);
  EXPECT_EQ(-1, second.open_result);
  EXPECT_EQ(EBUSY, second.open_errno);
  EXPECT_EQ("Duplicate procId=5, in use by PID=" + std::to_string(first.pid()),
            std::string(second.open_msg));
  EXPECT_EQ(first.pid(), hdr()->procPid[5]);

  first.Kill();
  ReaderProc third(5);
  EXPECT_EQ(0, third.open_result) << "a dead reader's entry is taken over";
  EXPECT_EQ(third.pid(), hdr()->procPid[5]);

  Mon_Handle_t h = reinterpret_cast<Mon_Handle_t>(1);
  errno = 0;
  EXPECT_EQ(-1, Mon_MmapOpen(10, &h));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(nullptr, h);
}

TEST(TableOpen, ReaderBeforeCreatorFails) {
  Mon_Handle_t h;
  EXPECT_EQ(-1, Mon_MmapOpen(5, &h));
  ASSERT_NE(nullptr, h);
  EXPECT_STREQ("open(/tmp/mon.mmap,0x2,0x1b6) failed", Info(h)->errMsg);
  EXPECT_EQ(ENOENT, Info(h)->errNum);
}

TEST(TableOpen, CreatorZeroesLeftoverTable) {
  pid_t pid = fork();
  if (pid == 0) {
    Mon_Handle_t h;
    if (Mon_MmapOpen(0, &h) != 0) _exit(1);
    MonMmapStartConn(h, Key(1, 1), 1, 0, "left", nullptr, nullptr);
    _exit(0);  // dies without closing
  }
  int status;
  waitpid(pid, &status, 0);
  ASSERT_EQ(0, status);
  Mon_Handle_t h;
  ASSERT_EQ(0, Mon_MmapOpen(0, &h));
  EXPECT_EQ(0, monMmapPtr->nCurConn);
  EXPECT_EQ(nullptr, MonMmapConnPtr(h, Key(1, 1)));
  EXPECT_EQ(0, Mon_MmapClose(h));
  struct stat st;
  EXPECT_EQ(-1, stat("/tmp/mon.mmap", &st)) << "the creator's close removes it";
  EXPECT_EQ(-1, stat("/tmp/mon.hash.mutex", &st));
}

TEST_F(TableTest, ScanEndsAndRestarts) {
  ReaderProc r(5);
  // Empty table: 0 at once, position back at 0.
  Mon_Conn_t c;
  int32_t index = 0;
  EXPECT_EQ(nullptr, MonMmapIterateConn(h_, &index));
  EXPECT_EQ(0, index);

  // A record in the last slot is returned, then the scan ends.
  uint32_t w = 1;
  while (Hash(MyKey(w), 37) != 36) w++;
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(w), 1, 0, "last", nullptr, nullptr));
  index = 0;
  Mon_Conn_t *rec = MonMmapIterateConn(h_, &index);
  ASSERT_NE(nullptr, rec);
  EXPECT_EQ(37, index);
  EXPECT_EQ(nullptr, MonMmapIterateConn(h_, &index));
  EXPECT_EQ(0, index);
  auto got = r.Drain(5);
  ASSERT_EQ(1u, got.size());
  EXPECT_STREQ("last", got[0].userName);

  // The writer has no change bits to take.
  index = 0;
  EXPECT_EQ(-1, Mon_MmapGetNextConn(h_, 0, &index, &c));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, Mon_MmapGetNextConn(nullptr, 0, &index, &c));
  EXPECT_EQ(ENOENT, errno);
}

TEST_F(TableTest, DeadAlarmReaderIsDroppedByNextStart) {
  ReaderProc r(5);
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 1, 0, "a", nullptr, nullptr));
  EXPECT_EQ(MON_ACTIVE | 0x4000u, MonMmapConnPtr(h_, MyKey(1))->connState);
  r.Kill();
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(2), 1, 0, "b", nullptr, nullptr));
  EXPECT_EQ(0, hdr()->procPid[5]);
  EXPECT_EQ(MON_ACTIVE, MonMmapConnPtr(h_, MyKey(2))->connState);
  EXPECT_EQ(0u, MonMmapConnPtr(h_, MyKey(2))->alarmKey);
  // The pending start of the first record is withdrawn by its next change.
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(1), 2));
  EXPECT_EQ(0u, MonMmapConnPtr(h_, MyKey(1))->connState);
}

TEST_F(TableTest, TenthStartCleansOnlyWhatEveryReaderTook) {
  ReaderProc r5(5), r1(1);
  for (uint32_t i = 0; i < 3; i++) {
    ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(i), 1, 0, "u", nullptr, nullptr));
    ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(i), 2));
  }
  // Ten more starts make exactly one cleanup: nothing taken, nothing goes.
  for (uint32_t i = 100; i < 110; i++)
    ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(i), 1, 0, "u", nullptr, nullptr));
  EXPECT_EQ(13, hdr()->nCurConn);

  EXPECT_EQ(13u, r5.Drain(9).size());
  for (uint32_t i = 100; i < 110; i++)
    ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(i), 1, 0, "u", nullptr, nullptr));
  EXPECT_EQ(13, hdr()->nCurConn) << "reader 1 has not taken the ends";

  EXPECT_EQ(13u, r1.Drain(9).size());
  r5.Drain(9);
  for (uint32_t i = 100; i < 110; i++)
    ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(i), 1, 0, "u", nullptr, nullptr));
  EXPECT_EQ(10, hdr()->nCurConn);
  for (uint32_t i = 0; i < 3; i++)
    EXPECT_EQ(nullptr, MonMmapConnPtr(h_, MyKey(i)));
}

TEST_F(TableTest, FullCleanupInterruptsLateReaders) {
  ReaderProc late(1), current(2);
  ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(1), 1, 0, "u", nullptr, nullptr));
  ASSERT_EQ(0, MonMmapEndConn(h_, MyKey(1), 2));
  current.Drain(3);
  ASSERT_EQ(0, MonMmapCleanup(h_, 1));
  int status = late.WaitFor(5);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(nullptr, MonMmapConnPtr(h_, MyKey(1)));
  EXPECT_EQ(0, hdr()->nCurConn);
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
  auto got = r.Drain(6);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(MON_CHG_UPDATE, got[0].connState);
}

}  // namespace
