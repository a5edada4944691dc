// Helpers for tests of the connection table: a writer fixture, keys,
// a view of the free list, and reader processes driven over pipes.
#ifndef TW_TESTS_TABLE_UTIL_H
#define TW_TESTS_TABLE_UTIL_H

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "monMmapInt.h"

inline Uint64 Key(uint32_t w0, uint32_t w1) {
  Uint64 k;
  k.word[0] = w0;
  k.word[1] = w1;
  return k;
}

// A key served by this (live) process.
inline Uint64 MyKey(uint32_t n) { return Key(getpid(), n); }

inline MonMmapHeader_t *BlockAt(uint32_t off) {
  return reinterpret_cast<MonMmapHeader_t *>(
      reinterpret_cast<char *>(monMmapPtr) + off);
}

inline uint32_t OffsetOf(const void *p) {
  return static_cast<uint32_t>(static_cast<const char *>(p) -
                               reinterpret_cast<const char *>(monMmapPtr));
}

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
  void TearDown() override {
    if (h_ != nullptr) {
      EXPECT_EQ(0, Mon_MmapClose(h_));
    }
  }
  MonMmap_t *hdr() { return monMmapPtr; }
  Mon_Handle_t h_ = nullptr;
};

// A child process attached as a reader.  It opens the table at once and
// then, on request, drains every changed record and sends the copies back.
class ReaderProc {
 public:
  explicit ReaderProc(int procId) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      Serve(procId, down[0], up[1]);
    }
    close(up[1]);
    close(down[0]);
    from_ = up[0];
    to_ = down[1];
    ReadAll(&open_result, sizeof open_result);
    ReadAll(&open_errno, sizeof open_errno);
    ReadAll(open_msg, sizeof open_msg);
  }
  ~ReaderProc() {
    if (pid_ > 0) {
      char q = 'q';
      (void)!write(to_, &q, 1);
      Wait();
    }
    close(from_);
    close(to_);
  }

  // Takes every changed record, stamping them with readTime.
  std::vector<Mon_Conn_t> Drain(int32_t readTime) {
    char d = 'd';
    EXPECT_EQ(1, write(to_, &d, 1));
    EXPECT_EQ(static_cast<ssize_t>(sizeof readTime),
              write(to_, &readTime, sizeof readTime));
    int n = 0;
    ReadAll(&n, sizeof n);
    std::vector<Mon_Conn_t> out(n > 0 ? n : 0);
    for (auto &c : out) ReadAll(&c, sizeof c);
    return out;
  }

  // Ends the child without detaching; returns its wait status.
  int Kill(int sig = SIGKILL) {
    kill(pid_, sig);
    return Wait();
  }
  // Waits at most `seconds` for the child to end by itself, then kills it;
  // returns its wait status.
  int WaitFor(int seconds) {
    for (int i = 0; i < seconds * 100; i++) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      usleep(10000);
    }
    return Kill();
  }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  pid_t pid() const { return pid_; }

  int open_result = -1;
  int open_errno = 0;
  char open_msg[128] = {};

 private:
  void ReadAll(void *p, size_t n) {
    char *c = static_cast<char *>(p);
    while (n > 0) {
      ssize_t r = read(from_, c, n);
      if (r <= 0) {
        ADD_FAILURE() << "reader process went away";
        return;
      }
      c += r;
      n -= r;
    }
  }
  [[noreturn]] static void Serve(int procId, int in, int out) {
    Mon_Handle_t h;
    int rc = Mon_MmapOpen(static_cast<uint8_t>(procId), &h);
    int err = errno;
    char msg[128] = {};
    if (h != nullptr) memcpy(msg, Info(h)->errMsg, sizeof msg);
    (void)!write(out, &rc, sizeof rc);
    (void)!write(out, &err, sizeof err);
    (void)!write(out, msg, sizeof msg);
    char cmd;
    while (read(in, &cmd, 1) == 1 && cmd == 'd') {
      int32_t readTime = 0;
      if (read(in, &readTime, sizeof readTime) != sizeof readTime) break;
      std::vector<Mon_Conn_t> got;
      Mon_Conn_t c;
      int32_t index = 0;
      while (Mon_MmapGetNextConn(h, readTime, &index, &c) == 1)
        got.push_back(c);
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
