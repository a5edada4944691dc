// The table's region layout and the allocator inside it.
#include <sys/stat.h>

#include "table_util.h"

namespace {

using AllocTest = WriterTest;

TEST_F(AllocTest, FreshTableLayout) {
  EXPECT_EQ(752u, sizeof(Mon_Conn_t));
  EXPECT_EQ(84u, sizeof(MonMmap_t));
  EXPECT_EQ(8u, sizeof(MonMmapHeader_t));
  EXPECT_EQ(72u, offsetof(MonMmap_t, base));
  EXPECT_EQ(94u, offsetof(Mon_Conn_t, userName));
  EXPECT_EQ(622u, offsetof(Mon_Conn_t, socksErrMsg));

  struct stat st;
  ASSERT_EQ(0, stat("/tmp/mon.mmap", &st));
  EXPECT_EQ(32768, st.st_size);
  EXPECT_EQ(31744u, hdr()->size);
  EXPECT_EQ(37, hdr()->nMaxConn);
  EXPECT_EQ(0, hdr()->nCurConn);
  EXPECT_EQ(getpid(), hdr()->procPid[0]);

  // The arena is one 3957-unit block at offset 80 until first used; the
  // 148-byte hash array then takes 20 units from its end.
  using Blocks = decltype(FreeBlocks());
  EXPECT_EQ(Blocks({{80, 3937}}), FreeBlocks());
  EXPECT_EQ(80u + 3937 * 8 + 8, hdr()->connOff);
  EXPECT_EQ(20u, BlockAt(hdr()->connOff - 8)->nUnits);
  hdr()->freeOff = 0;  // as before any allocation
  void *p = MmapAlloc(h_, 148);
  EXPECT_EQ(Blocks({{80, 3937}}), FreeBlocks());
  EXPECT_EQ(80u + 3937 * 8 + 8, OffsetOf(p));
}

TEST_F(AllocTest, ExactFitUnlinksAndTooBigFails) {
  uint32_t rest = FreeBlocks()[0].second;
  void *all = MmapAlloc(h_, (rest - 1) * 8);
  ASSERT_NE(nullptr, all);
  EXPECT_TRUE(FreeBlocks().empty());
  errno = 0;
  EXPECT_EQ(nullptr, MmapAlloc(h_, 1));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_EQ(ENOMEM, Info(h_)->errNum);
  EXPECT_STREQ("MmapAlloc: no more free memory", Info(h_)->errMsg);

  MmapFree(h_, all);
  EXPECT_EQ(rest, FreeBlocks()[0].second);
  EXPECT_EQ(nullptr, MmapAlloc(h_, 0xfffffffcu)) << "a size that wraps in 32 bits";
  EXPECT_EQ(ENOMEM, errno);
}

TEST_F(AllocTest, AdjacentBlocksMergeInEitherOrder) {
  auto before = FreeBlocks();
  for (int order = 0; order < 2; order++) {
    void *a = MmapAlloc(h_, 752);
    void *b = MmapAlloc(h_, 752);  // taken from below a
    void *c = MmapAlloc(h_, 752);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(OffsetOf(a) - 95 * 8, OffsetOf(b));
    MmapFree(h_, order ? a : b);
    EXPECT_EQ(2u, FreeBlocks().size());
    MmapFree(h_, order ? b : a);
    auto mid = FreeBlocks();
    ASSERT_EQ(2u, mid.size()) << "a and b merged into one block";
    EXPECT_EQ(95u * 2, mid[1].second);
    MmapFree(h_, c);
    EXPECT_EQ(before, FreeBlocks()) << "order " << order;
  }
}

TEST_F(AllocTest, BadOrDoubleFreeChangesNothing) {
  void *a = MmapAlloc(h_, 100);
  ASSERT_NE(nullptr, MmapAlloc(h_, 100));
  MmapFree(h_, a);
  auto before = FreeBlocks();
  char *base = reinterpret_cast<char *>(hdr());
  for (char *bad : {base + 40, base + 80, base + hdr()->size, base - 8, static_cast<char *>(a)}) {
    errno = 0;
    MmapFree(h_, bad);  // a: its place is already in the list
    EXPECT_EQ(EFAULT, errno);
    char want[128];
    snprintf(want, sizeof want, "MmapFree: can't free bad addr=0x%lx", (unsigned long)bad);
    EXPECT_STREQ(want, Info(h_)->errMsg);
    EXPECT_EQ(before, FreeBlocks());
  }
}

}  // namespace
