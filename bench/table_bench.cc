// Throughput of the table's per-record paths against a plain copy of one
// record, measured in the same run:
//   BM_Memcpy752      copying 752 bytes (the floor for taking a record)
//   BM_ReaderTake     reader 5 taking changed records from a table of 40
//                     live ones (writer in a child), one per call (/0,
//                     Mon_MmapGetNextConn) or 64 per hold of the lock (/64,
//                     Mon_MmapGetChanged)
//   BM_WriterCycle    start + update + end of one connection, without a
//                     reader (/0) and with reader 5 draining in a child (/1)
#include <benchmark/benchmark.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "monMmapInt.h"
#include "private_tmp.h"

namespace {

constexpr int kLive = 40;

Uint64 Key(uint32_t w0, uint32_t w1) {
  Uint64 k;
  k.word[0] = w0;
  k.word[1] = w1;
  return k;
}

void BM_Memcpy752(benchmark::State &state) {
  std::vector<Mon_Conn_t> src(kLive);
  Mon_Conn_t dst;
  size_t i = 0;
  for (auto _ : state) {
    memcpy(&dst, &src[i], sizeof dst);
    benchmark::DoNotOptimize(dst);
    i = (i + 1) % kLive;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Memcpy752);

// A child that holds the table as its writer; the parent reads it.  The
// child marks all its records changed again whenever the parent asks.
class Writer {
 public:
  Writer() {
    if (pipe(req_) != 0 || pipe(ack_) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) Run();
    char c;
    if (read(ack_[0], &c, 1) != 1) abort();  // table created
  }
  ~Writer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    unlink("/tmp/mon.mmap");
  }
  void Touch() {
    char c = 't';
    if (write(req_[1], &c, 1) != 1 || read(ack_[0], &c, 1) != 1) abort();
  }

 private:
  [[noreturn]] void Run() {
    Mon_Handle_t h;
    if (Mon_MmapOpen(0, &h) != 0) _exit(1);
    char c = 'r';
    (void)!write(ack_[1], &c, 1);
    while (monMmapPtr->procPid[5] == 0) usleep(100);
    for (uint32_t i = 0; i < kLive; i++)
      MonMmapStartConn(h, Key(getpid(), i), 1, 0, "bench", nullptr, "host");
    while (read(req_[0], &c, 1) == 1) {
      for (uint32_t i = 0; i < kLive; i++)
        MonMmapUpdateConn(h, Key(getpid(), i), 2, i, i, 1, nullptr, nullptr,
                          nullptr, nullptr, nullptr);
      (void)!write(ack_[1], &c, 1);
    }
    _exit(0);
  }
  pid_t pid_;
  int req_[2], ack_[2];
};

// Argument 0: one record per call (Mon_MmapGetNextConn); otherwise that
// many per hold of the lock (Mon_MmapGetChanged).
void BM_ReaderTake(benchmark::State &state) {
  Writer writer;
  Mon_Handle_t h;
  if (Mon_MmapOpen(5, &h) != 0) {
    state.SkipWithError("open as reader 5 failed");
    return;
  }
  const int batch = static_cast<int>(state.range(0));
  static Mon_Conn_t conns[64];
  int64_t taken = 0;
  for (auto _ : state) {
    state.PauseTiming();
    writer.Touch();
    state.ResumeTiming();
    int32_t index = 0;
    if (batch == 0) {
      while (Mon_MmapGetNextConn(h, 1, &index, &conns[0]) == 1) taken++;
      continue;
    }
    for (int n; (n = Mon_MmapGetChanged(h, 1, &index, conns, batch)) > 0;) {
      taken += n;
      if (index == 0) break;
    }
  }
  state.SetItemsProcessed(taken);
  state.counters["per_pass"] =
      benchmark::Counter(static_cast<double>(taken) / state.iterations());
  Mon_MmapClose(h);
}
BENCHMARK(BM_ReaderTake)->Arg(0)->Arg(64)->UseRealTime();

// Reader 5 in a child draining the table as fast as it can.
pid_t StartDrainer() {
  pid_t pid = fork();
  if (pid != 0) return pid;
  Mon_Handle_t h;
  while (Mon_MmapOpen(5, &h) != 0) usleep(1000);
  Mon_Conn_t conn;
  for (;;) {
    int32_t index = 0;
    int n = 0;
    while (Mon_MmapGetNextConn(h, 1, &index, &conn) == 1) n++;
    if (n == 0) usleep(100);
  }
}

// Argument 0: no reader attached, every ended record goes at the next
// cleanup.  Argument 1: reader 5 drains in a child; waits for it to catch
// up are not timed.
void BM_WriterCycle(benchmark::State &state) {
  Mon_Handle_t h;
  if (Mon_MmapOpen(0, &h) != 0) {
    state.SkipWithError("create failed");
    return;
  }
  pid_t drainer = state.range(0) ? StartDrainer() : 0;
  while (drainer && monMmapPtr->procPid[5] == 0) usleep(100);
  uint32_t n = 0;
  for (auto _ : state) {
    Uint64 k = Key(getpid(), n++);
    MonMmapStartConn(h, k, 1, 0, "bench", nullptr, "host");
    MonMmapUpdateConn(h, k, 2, 100, 200, 1, "app", nullptr, "proxy", nullptr,
                      "dest");
    MonMmapEndConn(h, k, 3);
    // Keep the table from filling faster than the reader empties it, so
    // no start ever needs a full cleanup.
    if (monMmapPtr->nCurConn >= 27) {
      state.PauseTiming();
      while (monMmapPtr->nCurConn >= 27) {
        usleep(50);
        MonMmapCleanup(h, 0);
      }
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  if (drainer) {
    kill(drainer, SIGKILL);
    waitpid(drainer, nullptr, 0);
  }
  Mon_MmapClose(h);
}
BENCHMARK(BM_WriterCycle)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  EnterPrivateTmp();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
