// The polling loop's idle refresh: after refr_time idle passes the
// history is rewritten instead of sleeping; with 0 it never is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <string>

#include "audit.h"
#include "monMmap.h"

namespace {

class LoopTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Mon_MmapOpen(0, &writer_));
    ASSERT_EQ(0, Mon_MmapOpen(MON_ALARM_READER, &reader_));
    char n1[] = "/tmp/hist1", n2[] = "/tmp/hist2";
    db1 = dbm_open(n1, O_RDWR | O_CREAT, 0600);
    db2 = dbm_open(n2, O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(db1 != nullptr && db2 != nullptr);
    table_.audit_file_name = strdup("/tmp/hist");
    table_.set_trace();
  }
  // The writer first: it detaches through the reader's mapping.
  void TearDown() override {
    EXPECT_EQ(0, Mon_MmapClose(writer_));
    EXPECT_EQ(0, Mon_MmapClose(reader_));
  }

  // Runs idle passes; returns their trace and the seconds they took.
  std::string Passes(int n, int refr_time, double *seconds) {
    testing::internal::CaptureStderr();
    time_t t0 = time(nullptr);
    for (int i = 0; i < n; i++) {
      table_.set_db_dirty();  // something to refresh every time
      process_mmap(table_, reader_, refr_time);
    }
    *seconds = difftime(time(nullptr), t0);
    return testing::internal::GetCapturedStderr();
  }

  Mon_Handle_t writer_ = nullptr, reader_ = nullptr;
  AlarmTable table_;
};

TEST_F(LoopTest, IdlePassesRefreshAfterTheirCount) {
  double secs;
  // Pass 1 sleeps; pass 2 finds the count above 2 and refreshes at once.
  std::string out = Passes(2, 2, &secs);
  EXPECT_NE(out.find("refresh database: removing everything before"),
            std::string::npos);
  EXPECT_EQ(out.find("refresh database"), out.rfind("refresh database"));
  EXPECT_GE(secs, 1);
  EXPECT_LE(secs, 3);
}

TEST_F(LoopTest, ZeroTurnsTheIdleRefreshOff) {
  double secs;
  std::string out = Passes(3, 0, &secs);
  EXPECT_EQ(out.find("refresh database"), std::string::npos);
  EXPECT_GE(secs, 2);  // every idle pass sleeps
}

TEST_F(LoopTest, ActivityRestartsTheCount) {
  double secs;
  Passes(1, 2, &secs);  // one idle pass counted
  sockaddr_in dst = {};
  dst.sin_family = AF_INET;
  dst.sin_port = htons(80);
  dst.sin_addr.s_addr = htonl(0x0a000001);
  Uint64 key = {{static_cast<uint32_t>(getpid()), 1}};
  ASSERT_EQ(0, MonMmapStartConn(writer_, key, 1, 0, "u", nullptr, nullptr));
  ASSERT_EQ(0, MonMmapUpdateConn(writer_, key, 2, 1, 1, 1, nullptr, nullptr,
                                 nullptr, &dst, "host"));
  std::string out = Passes(1, 2, &secs);  // takes the connection
  EXPECT_EQ(out.find("refresh database"), std::string::npos);
  EXPECT_LT(secs, 1) << "a pass that took a connection does not sleep";
  out = Passes(1, 2, &secs);  // without the restart this one would refresh
  EXPECT_EQ(out.find("refresh database"), std::string::npos);
}

}  // namespace
