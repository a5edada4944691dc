// The readers on a table that another process has damaged: a header that
// does not place the hash array inside the mapping fails the call, a slot
// that does not name a whole, aligned record inside it is skipped and
// reported once.  And the handle of a failed open can be freed.
#include <errno.h>

#include <string>
#include <vector>

#include "monErr.h"
#include "table_util.h"

namespace {

// The test process as writer and as reader 5, with two records that
// reader 5 has not taken yet.
class DamageTest : public WriterTest {
 protected:
  void SetUp() override {
    mon_ErrLimit = 1000;  // every report of every case is looked at
    WriterTest::SetUp();
    ASSERT_EQ(0, Mon_MmapOpen(MON_ALARM_READER, &reader_));
    for (uint32_t k : {1, 2})
      ASSERT_EQ(0, MonMmapStartConn(h_, MyKey(k), 100, 0, k == 1 ? "one" : "two",
                                    nullptr, nullptr));
    memcpy(pristine_, monMmapPtr, sizeof pristine_);
  }
  // The writer first: it detaches through the reader's mapping.
  void TearDown() override {
    memcpy(monMmapPtr, pristine_, sizeof pristine_);
    WriterTest::TearDown();
    EXPECT_EQ(0, Mon_MmapClose(reader_));
  }

  uint32_t *SlotOf(uint32_t k) {
    uint32_t *slots = MON_SLOTS();
    for (int32_t i = 0; i < monMmapPtr->nMaxConn; i++)
      if (slots[i] > 1 && static_cast<Mon_Conn_t *>(MON_PTR(slots[i]))->key.word[1] == k)
        return &slots[i];
    ADD_FAILURE() << "no slot for " << k;
    static uint32_t none;
    return &none;
  }

  // Users of the records one reader scan takes; -1 in rc for an error.
  std::vector<std::string> Take(int *rc) {
    std::vector<std::string> users;
    Mon_Conn_t c;
    int32_t index = 0;
    while ((*rc = Mon_MmapGetNextConn(reader_, 0, &index, &c)) == 1) users.push_back(c.userName);
    EXPECT_EQ(0, index);
    return users;
  }

  Mon_Handle_t reader_ = nullptr;
  char pristine_[MON_MMAP_SIZE];
};

TEST_F(DamageTest, BadHeaderFailsTheCall) {
  const uint32_t arrayOff = monMmapPtr->connOff;
  const int32_t pastEnd = static_cast<int32_t>((MON_MMAP_SIZE - arrayOff) / 4 + 1);
  struct Case {
    const char *name;
    int32_t nMaxConn;  // 0: as it is
    uint32_t connOff;  // 0: as it is
  } cases[] = {
      {"nMaxConn huge", INT32_MAX, 0},
      {"nMaxConn negative", -5, 0},
      {"nMaxConn past the end", pastEnd, 0},
      {"connOff in the header", 0, 8},
      {"connOff at the end", 0, MON_MMAP_SIZE},
      {"connOff wraps", 0, 0xfffffff8u},
      {"connOff unaligned", 0, arrayOff + 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    memcpy(monMmapPtr, pristine_, sizeof pristine_);
    if (c.nMaxConn != 0) monMmapPtr->nMaxConn = c.nMaxConn;
    if (c.connOff != 0) monMmapPtr->connOff = c.connOff;
    testing::internal::CaptureStderr();
    int rc;
    EXPECT_TRUE(Take(&rc).empty());
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(EINVAL, errno);
    int32_t index = 3;
    EXPECT_EQ(nullptr, MonMmapIterateConn(reader_, &index));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, index);
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find("bad table header"));
  }
  memcpy(monMmapPtr, pristine_, sizeof pristine_);
  int rc;
  EXPECT_EQ(2u, Take(&rc).size()) << "a mended header reads again";
}

TEST_F(DamageTest, BadSlotIsSkippedAndReportedOnce) {
  const uint32_t good = *SlotOf(1);
  struct Case {
    const char *name;
    uint32_t off;
    bool hugeSize;  // the header's size field claims more than is mapped
  } cases[] = {
      {"outside the mapping", 40000, true},
      {"record past the end", MON_MMAP_SIZE - sizeof(Mon_Conn_t) + 8, false},
      {"in the header", 40, false},
      {"4-aligned only", good + 4, false},
      {"unaligned", good + 1, false},
      {"all ones", 0xffffffffu, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    memcpy(monMmapPtr, pristine_, sizeof pristine_);
    *SlotOf(1) = c.off;
    if (c.hugeSize) monMmapPtr->size = 0xffffffffu;
    testing::internal::CaptureStderr();
    int rc;
    EXPECT_EQ(std::vector<std::string>{"two"}, Take(&rc));
    EXPECT_EQ(0, rc);
    int32_t index = 0;
    while (MonMmapIterateConn(reader_, &index) != nullptr) {
    }
    EXPECT_EQ(ESRCH, errno);
    std::string out = testing::internal::GetCapturedStderr();
    size_t first = out.find("bad slot");
    EXPECT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos, out.find("bad slot", first + 1)) << out;
  }
}

TEST(TableOpen, FailedOpenHandleCanBeFreed) {
  Mon_Handle_t h;
  ASSERT_EQ(-1, Mon_MmapOpen(5, &h)) << "no table yet";
  ASSERT_NE(nullptr, h);
  Mon_MmapFree(h);
  Mon_MmapFree(nullptr);

  // A failure after the mapping and the mutexes: a live process holds 5.
  ASSERT_EQ(0, Mon_MmapOpen(0, &h));
  MonMmap_t *writerMap = monMmapPtr;
  ReaderProc holder(5);
  ASSERT_EQ(0, holder.open.result);
  Mon_Handle_t failed;
  ASSERT_EQ(-1, Mon_MmapOpen(5, &failed));
  EXPECT_EQ(EBUSY, errno);
  Mon_MmapFree(failed);
  EXPECT_EQ(nullptr, monMmapPtr) << "the failed open's mapping is gone";
  monMmapPtr = writerMap;  // one table per process: the writer's again
  EXPECT_EQ(0, access("/tmp/mon.hash.mutex", F_OK)) << "a reader removes no mutex";
  EXPECT_EQ(holder.pid(), monMmapPtr->procPid[5]);
  holder.Kill();
  EXPECT_EQ(0, Mon_MmapClose(h));
}

}  // namespace
