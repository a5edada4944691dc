// Cost of the history per record checked, against the ndbm calls it rests
// on, measured in the same run:
//   BM_Check           AlarmTable::check of one record against five alarms
//                      that never fire, each reading one aggregate
//                      (FAIL[src], ACCESS[src], TRAFFIC[usr], IN[dst],
//                      DURATION[src,usr]), over 10,000 sources, users and
//                      destinations in turn; one key in five fails.  Each
//                      key is met every 250 s of record time, so records
//                      hold two items, as under a steady load.
//   BM_RawFetchStore   one dbm_fetch and one dbm_store of a record of the
//                      same size under a key of the same size, over 10,000
//                      keys in turn
//   BM_Refresh         the ndbm store's refresh of history files that hold
//                      100,000 records, all kept
// The files live in a private /tmp (memory), so the figures are those of
// history in the page cache.  At the end the time of one aggregate
// evaluation (a check's time over its five aggregates) is set against one
// raw fetch and store.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "audit.h"
#include "ndbm_store.h"
#include "private_tmp.h"
#include "rules_util.h"

namespace {

constexpr int kKeys = 10000;
constexpr int kRefreshKeys = 100000;
constexpr int kAggregates = 5;
constexpr int kPerSecond = 40;  // records per second of record time

const char kRules[] =
    "WHEN (FAIL[src]>1000000) #line:1-2-2\n\n"
    "WHEN (ACCESS[src]>1000000) #line:3-4-4\n\n"
    "WHEN (TRAFFIC[usr]>1000000000) #line:5-6-6\n\n"
    "WHEN (IN[dst]>1000000000) #line:7-8-8\n\n"
    "WHEN (DURATION[src,usr]>1000000000) #line:9-10-10\n\n";

DBM *Open(const std::string &name) {
  DBM *d = dbm_open(const_cast<char *>(name.c_str()), O_RDWR | O_CREAT | O_TRUNC,
                    0600);
  if (d == nullptr) {
    perror(name.c_str());
    exit(1);
  }
  return d;
}

// The rule set's history: files at base, emptied.
NdbmStore *OpenStore(AlarmTable &table, const std::string &base) {
  std::string failed;
  auto store = std::make_unique<NdbmStore>(base, O_RDWR | O_CREAT | O_TRUNC,
                                           &failed);
  if (!store->is_open()) {
    perror(failed.c_str());
    exit(1);
  }
  NdbmStore *files = store.get();
  table.set_store(std::move(store));
  return files;
}

void Remove(const std::string &base) {
  for (const char *s : {"1.pag", "1.dir", "2.pag", "2.dir"})
    unlink((base + s).c_str());
}

uint32_t Addr(int net, int i) {
  return htonl(static_cast<uint32_t>(net << 24 | (i / 256) << 8 | i % 256));
}

// The rule set and its history files for the checks.
struct CheckSetup {
  CheckSetup() : base("/tmp/bench-check"), rules(new TestRules) {
    rules->table.audit_file_name = strdup(base.c_str());
    if (rules->Load(kRules) != kAggregates) abort();
    OpenStore(rules->table, base);
    for (int i = 0; i < kKeys; i++) users.push_back("user" + std::to_string(i));
  }
  ~CheckSetup() {
    rules.reset();  // closes the files
    Remove(base);
  }
  // The n-th record: key n % kKeys, record time advancing kPerSecond
  // records a second.
  void Check(long n) {
    int i = static_cast<int>(n % kKeys);
    int err = i % 5 == 0 ? 5 : 0;
    rec.set_value(static_cast<int>(Addr(10, i)), static_cast<int>(Addr(20, i)),
                  users[i].c_str(), 1000000000 + static_cast<int>(n / kPerSecond),
                  80, err, 1000, 200, "", "", "", 1, 3, 0,
                  static_cast<int>(n), 1);
    rules->table.check(rec);
  }

  std::string base;
  std::unique_ptr<TestRules> rules;
  Record rec;
  std::vector<std::string> users;
};

void BM_Check(benchmark::State &state) {
  CheckSetup s;
  long n = 0;
  for (; n < 3L * kKeys; n++) s.Check(n);  // every key holds its items
  for (auto _ : state) s.Check(n++);
  state.SetItemsProcessed(state.iterations());
  state.counters["aggregates"] = kAggregates;
}
BENCHMARK(BM_Check)->Unit(benchmark::kNanosecond);

// A record of two items of three ints under an 8-byte key, as a TRAFFIC or
// IN record of the checks holds.
void BM_RawFetchStore(benchmark::State &state) {
  std::string base = "/tmp/bench-raw";
  DBM *d = Open(base + "1");
  int rec[7] = {6, 1000000000, 1200, 1, 1000000250, 1200, 2};
  std::vector<std::string> keys;
  for (int i = 0; i < kKeys; i++) {
    uint32_t head = htonl(TOT_TRAFFIC << 24 | 1 << 8 | FLAG_SRC);
    uint32_t src = Addr(10, i);
    std::string k(reinterpret_cast<char *>(&head), 4);
    k.append(reinterpret_cast<char *>(&src), 4);
    keys.push_back(k);
    datum kd = {&keys.back()[0], 8};
    datum v = {reinterpret_cast<char *>(rec), sizeof rec};
    dbm_store(d, kd, v, DBM_REPLACE);
  }
  long n = 0;
  for (auto _ : state) {
    std::string &k = keys[n++ % kKeys];
    datum kd = {&k[0], 8};
    datum v = dbm_fetch(d, kd);
    benchmark::DoNotOptimize(v.dptr);
    rec[6] = static_cast<int>(n);
    datum w = {reinterpret_cast<char *>(rec), sizeof rec};
    if (dbm_store(d, kd, w, DBM_REPLACE) != 0) abort();
  }
  dbm_close(d);
  Remove(base);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawFetchStore)->Unit(benchmark::kNanosecond);

void BM_Refresh(benchmark::State &state) {
  const int keys = static_cast<int>(state.range(0));
  std::string base = "/tmp/bench-refresh";
  auto rules = std::make_unique<TestRules>();
  rules->table.audit_file_name = strdup(base.c_str());
  NdbmStore *files = OpenStore(rules->table, base);
  int now = static_cast<int>(time(nullptr));
  int rec[3] = {2, now - 10, now};
  for (int i = 0; i < keys; i++) {
    uint32_t key[2] = {htonl(TOT_FAIL << 24 | 1 << 8 | FLAG_SRC), Addr(10, i)};
    datum kd = {reinterpret_cast<char *>(key), sizeof key};
    datum v = {reinterpret_cast<char *>(rec), sizeof rec};
    dbm_store(files->d1, kd, v, DBM_REPLACE);
  }
  for (auto _ : state) {
    rules->table.set_db_dirty();
    refresh_db();
  }
  int left = static_cast<int>(files->keys().size());
  if (left != keys) state.SkipWithError("records lost in the refresh");
  rules.reset();  // closes the files
  Remove(base);
  state.counters["records"] = keys;
}
BENCHMARK(BM_Refresh)->Arg(kRefreshKeys)->Iterations(3)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time per iteration, in nanoseconds, for the
// comparison at the end.
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        ns[r.run_name.function_name] =
            r.GetAdjustedRealTime() *
            (r.time_unit == benchmark::kMillisecond ? 1e6 : 1.0);
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> ns;
};

}  // namespace

int main(int argc, char **argv) {
  EnterPrivateTmp();
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto check = reporter.ns.find("BM_Check"), raw = reporter.ns.find("BM_RawFetchStore");
  if (check != reporter.ns.end() && raw != reporter.ns.end()) {
    double per_eval = check->second / kAggregates;
    printf("\nrecords checked per second: %.0f\n", 1e9 / check->second);
    printf("one aggregate evaluation: %.0f ns = %.2f x one dbm_fetch + "
           "dbm_store (%.0f ns); goal <= 1.5 x\n",
           per_eval, per_eval / raw->second, raw->second);
  }
  auto refresh = reporter.ns.find("BM_Refresh");
  if (refresh != reporter.ns.end())
    printf("refresh of %d records: %.0f ms\n", kRefreshKeys, refresh->second / 1e6);
  return 0;
}
