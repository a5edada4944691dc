// Records per second through the Redis history store, each record changing
// five aggregates (FAIL-like items, a ten-minute window, 1,000 users):
// one round trip per aggregate, one per record (update_batch), one per
// pass of 16 or 64 records (as the daemon sends them), the same records
// on the ndbm files, and the same changes in memory as the floor.  The server is a private one on a
// Unix socket (tests/redis_env.sh).
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <unordered_map>

#include <fcntl.h>

#include "ndbm_store.h"
#include "redis_store.h"

namespace {

std::string dir;
std::unique_ptr<RedisStore> store;

// Record n's five changes: aggregate a of user n % 1000, time n / 10.
void record(long n, std::vector<std::string> &keys,
            std::vector<ItemUpdate> &ups) {
  keys.resize(5);
  ups.resize(5);
  int t = static_cast<int>(n / 10);
  for (int a = 0; a < 5; a++) {
    // As the daemon keys a FAIL aggregate: kind 0, chunk byte 0, its number.
    keys[a] = std::string("\0\0", 2) + char(a + 1) + std::string(1, '\x10') +
              "user" + std::to_string(n % 1000);
    ups[a].add = {t};
    ups[a].until = t - 600;
    ups[a].keep_s = 600;
  }
}

// Records of five changes, each change a call of the store's own.
void EachChange(HistoryStore &s, benchmark::State &state) {
  std::vector<std::string> keys;
  std::vector<ItemUpdate> ups;
  std::vector<int> items;
  long n = 0;
  for (auto _ : state) {
    record(n++, keys, ups);
    for (int a = 0; a < 5; a++) s.update(keys[a], ups[a], items);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_OneRoundTripPerAggregate(benchmark::State &state) {
  EachChange(*store, state);
  if (!store->up()) state.SkipWithError("server gone");
}

void BM_OneRoundTripPerRecord(benchmark::State &state) {
  std::vector<std::string> keys;
  std::vector<ItemUpdate> ups;
  std::vector<std::vector<int>> items;
  long n = 0;
  for (auto _ : state) {
    record(n++, keys, ups);
    store->update_batch(keys, ups, items);
  }
  state.SetItemsProcessed(state.iterations());
  if (!store->up()) state.SkipWithError("server gone");
}

// The daemon's way: a pass's records (the argument) in one round trip.
void BM_OneRoundTripPerPass(benchmark::State &state) {
  const int per = static_cast<int>(state.range(0));
  std::vector<std::string> keys, k;
  std::vector<ItemUpdate> ups, u;
  std::vector<std::vector<int>> items;
  long n = 0;
  for (auto _ : state) {
    keys.clear(), ups.clear();
    for (int r = 0; r < per; r++) {
      record(n++, k, u);
      keys.insert(keys.end(), k.begin(), k.end());
      ups.insert(ups.end(), u.begin(), u.end());
    }
    store->update_batch(keys, ups, items);
  }
  state.SetItemsProcessed(state.iterations() * per);
  if (!store->up()) state.SkipWithError("server gone");
}

// The same records on the ndbm files (in the server's directory).
void BM_NdbmFiles(benchmark::State &state) {
  std::string failed;
  NdbmStore files(dir + "/ndbm", O_RDWR | O_CREAT, &failed);
  if (!files.is_open()) {
    state.SkipWithError("ndbm files not opened");
    return;
  }
  EachChange(files, state);
}

void BM_InMemory(benchmark::State &state) {
  std::unordered_map<std::string, std::vector<int>> mem;
  std::vector<std::string> keys;
  std::vector<ItemUpdate> ups;
  long n = 0;
  for (auto _ : state) {
    record(n++, keys, ups);
    for (int a = 0; a < 5; a++) apply_update(mem[keys[a]], ups[a]);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_OneRoundTripPerAggregate)->MinTime(2)->UseRealTime();
BENCHMARK(BM_OneRoundTripPerRecord)->MinTime(2)->UseRealTime();
BENCHMARK(BM_OneRoundTripPerPass)->Arg(16)->Arg(64)->MinTime(2)->UseRealTime();
BENCHMARK(BM_NdbmFiles)->MinTime(2)->UseRealTime();
BENCHMARK(BM_InMemory);

int server(const char *what) {
  std::string cmd = std::string("sh " REDIS_ENV " ") + what + " '" + dir + "'";
  return system(cmd.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  char tmpl[] = "/tmp/redis_bench.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  dir = tmpl;
  if (server("start") != 0) {
    fprintf(stderr, "no redis-server to measure against\n");
    return 1;
  }
  std::string err;
  store = RedisStore::open("unix:" + dir + "/redis.sock", "bench:", "", &err);
  if (!store || !store->up()) {
    fprintf(stderr, "%s\n", err.empty() ? "store not up" : err.c_str());
    server("stop");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  store.reset();
  // The server's own time per script run, when redis-cli is there.
  std::string stats = "redis-cli -s '" + dir + "/redis.sock' info commandstats"
                      " 2>/dev/null | grep evalsha";
  if (system(stats.c_str()) != 0) fprintf(stderr, "(no server figures)\n");
  server("stop");
  std::string rm = "rm -rf '" + dir + "'";
  return system(rm.c_str());
}
