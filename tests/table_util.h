// Helpers for tests of the connection table: a writer fixture, keys,
// a view of the free list, and reader processes driven over pipes.
#ifndef TW_TESTS_TABLE_UTIL_H
#define TW_TESTS_TABLE_UTIL_H

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "monMmapInt.h"

inline Uint64 Key(uint32_t w0, uint32_t w1) { return Uint64{{w0, w1}}; }

// A key served by this (live) process.
inline Uint64 MyKey(uint32_t n) { return Key(getpid(), n); }

inline MonMmapHeader_t *BlockAt(uint32_t off) {
  return static_cast<MonMmapHeader_t *>(MON_PTR(off));
}
inline uint32_t OffsetOf(const void *p) { return MON_OFF(p); }

// Free blocks as (offset, units), in list order from the anchor.
inline std::vector<std::pair<uint32_t, uint32_t>> FreeBlocks() {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  const uint32_t anchor = offsetof(MonMmap_t, base);
  for (uint32_t off = monMmapPtr->base.off; off != anchor && out.size() < 5000;
       off = BlockAt(off)->off)
    out.emplace_back(off, BlockAt(off)->nUnits);
  return out;
}

inline info_t *Info(Mon_Handle_t h) { return static_cast<info_t *>(h); }

// The test process as the table's creator and writer.
class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, Mon_MmapOpen(0, &h_)); }
  void TearDown() override { EXPECT_EQ(0, Mon_MmapClose(h_)); }
  MonMmap_t *hdr() { return monMmapPtr; }
  Mon_Handle_t h_ = nullptr;
};

// A child process attached as a reader.  It opens the table at once and
// then, for each readTime it is sent, takes every changed record and sends
// the copies back; it ends when its pipe is closed.
class ReaderProc {
 public:
  struct Opened {
    int result, err;
    char msg[MON_ERRMSG_LEN];
  } open = {};

  explicit ReaderProc(int procId) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) abort();
    if ((pid_ = fork()) == 0) {
      close(up[0]);
      close(down[1]);
      Serve(procId, down[0], up[1]);
    }
    close(up[1]);
    close(down[0]);
    from_ = up[0];
    to_ = down[1];
    Read(&open, sizeof open);
  }
  ~ReaderProc() {
    close(to_);
    if (pid_ > 0) Wait(5);
    close(from_);
  }

  std::vector<Mon_Conn_t> Drain(int32_t readTime) {
    EXPECT_EQ(static_cast<ssize_t>(sizeof readTime), write(to_, &readTime, sizeof readTime));
    int n = 0;
    Read(&n, sizeof n);
    std::vector<Mon_Conn_t> out(n > 0 ? n : 0);
    for (auto &c : out) Read(&c, sizeof c);
    return out;
  }

  // Waits at most `seconds` for the child to end by itself, then kills it;
  // returns its wait status.
  int Wait(int seconds) {
    int status = 0;
    for (int i = 0; waitpid(pid_, &status, WNOHANG) == 0; i++) {
      if (i == seconds * 100) kill(pid_, SIGKILL);
      usleep(10000);
    }
    pid_ = -1;
    return status;
  }
  int Kill() { return Wait(0); }  // ends the child without detaching
  pid_t pid() const { return pid_; }

 private:
  // Records and counts are each written at once and fit a pipe's atomic size.
  void Read(void *p, size_t n) {
    if (read(from_, p, n) != static_cast<ssize_t>(n))
      ADD_FAILURE() << "reader process went away";
  }
  [[noreturn]] static void Serve(int procId, int in, int out) {
    Mon_Handle_t h;
    Opened o = {Mon_MmapOpen(static_cast<uint8_t>(procId), &h), errno, {}};
    if (h != nullptr) memcpy(o.msg, Info(h)->errMsg, sizeof o.msg);
    (void)!write(out, &o, sizeof o);
    int32_t readTime;
    while (read(in, &readTime, sizeof readTime) == sizeof readTime) {
      std::vector<Mon_Conn_t> got;
      Mon_Conn_t c;
      for (int32_t i = 0; Mon_MmapGetNextConn(h, readTime, &i, &c) == 1;) got.push_back(c);
      int n = static_cast<int>(got.size());
      (void)!write(out, &n, sizeof n);
      for (auto &g : got) (void)!write(out, &g, sizeof g);
    }
    _exit(0);
  }

  pid_t pid_ = -1;
  int from_ = -1, to_ = -1;
};

#endif  // TW_TESTS_TABLE_UTIL_H
