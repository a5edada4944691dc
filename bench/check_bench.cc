// The per-record rule check, AlarmTable::check, on a generated rule set of
// 50 alarms over every kind of variable a condition may test (hosts by
// address, mask, prefix and domain, the two addresses against each other,
// ports by number, protocol, range and list, users by pattern and list,
// error codes and ranges, calendar ranges, and/or trees).  No condition
// holds for the records checked, so no action runs; tracing is off.
//   BM_Check      records checked per second
//   BM_ShareOnly  copying the record into the one under check, the first
//                 step of every check, in the same run
//   BM_CopyConn   copying one 752-byte connection out of the table
// The check rate, the goal of 1,500,000 records/s and the ratios to the
// two copies are printed after the table.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <string.h>
#include <time.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "audit.h"
#include "monMmap.h"
#include "rules_util.h"

namespace {

constexpr int kAlarms = 50;
constexpr double kGoal = 1500000;

// One condition per alarm, cycling through the kinds; n varies the
// constants.  None holds for the records below (sources 192.168.1.x,
// destinations 198.51.100.x named www.example.com, ports 443/tcp, 80/tcp
// and 53/udp, users alice to dave, no error, the present day).
std::string Condition(int i) {
  const int n = i / 12;
  std::ostringstream c;
  switch (i % 12) {
    case 0: c << "(src==10." << n << ".0.0/255.255.0.0)"; break;
    case 1: c << "(dst==172." << 16 + n << ".)"; break;
    case 2: c << "(dst==.corp" << n << ".invalid)"; break;
    case 3: c << "(src==dst)"; break;
    case 4: c << "(app==" << 1000 + n << "/udp)"; break;
    case 5:
      c << "(app=={" << 2000 + n * 100 << "-" << 2099 + n * 100 << "}/tcp)";
      break;
    case 6: c << "(app==21 22 23 " << 5000 + n << "/udp)"; break;
    case 7: c << "(usr==adm" << n << "*)"; break;
    case 8: c << "(usr==root operator daemon" << n << ")"; break;
    case 9: c << "(err=={" << 100 + n << "-200} " << 7 + n << ")"; break;
    case 10: c << "(tm==- - - - {" << 1970 + n << "-1990})"; break;
    default:
      c << "(((usr==alice bob)&(app<" << 10 + n
        << "/udp))|((err>0)&(src==10.)))";
      break;
  }
  return c.str();
}

struct Fixture {
  Fixture() {
    std::string text;
    for (int i = 0; i < kAlarms; i++)
      text += "WHEN " + Condition(i) + " #line:1-2-2\necho never usr\n";
    alarms = rules.Load(text);
    const char *users[] = {"alice", "bob", "carol", "dave"};
    const int ports[] = {443, 80, -53, 443};
    int now = static_cast<int>(time(nullptr));
    for (int i = 0; i < 4; i++) {
      std::string src = "192.168.1." + std::to_string(10 + i);
      std::string dst = "198.51.100." + std::to_string(20 + i);
      recs[i].set_value(static_cast<int>(inet_addr(src.c_str())),
                        static_cast<int>(inet_addr(dst.c_str())), users[i],
                        now + i, ports[i], 0, 1000 * i, 2000, "ws.example.net",
                        "www.example.com", "", 4242, i, 0, i, 1);
    }
  }
  TestRules rules;
  int alarms = 0;
  Record recs[4];
};

Fixture &Rules() {
  static Fixture f;
  return f;
}

void BM_Check(benchmark::State &state) {
  Fixture &f = Rules();
  if (f.alarms != kAlarms) {
    state.SkipWithError("the rules did not load");
    return;
  }
  unsigned i = 0;
  for (auto _ : state) f.rules.table.check(f.recs[i++ & 3]);
  if (ALRM_exec_list.list.length() != 0)
    state.SkipWithError("an alarm fired");
  state.SetItemsProcessed(state.iterations());
  state.counters["alarms"] = f.alarms;
}
BENCHMARK(BM_Check);

void BM_ShareOnly(benchmark::State &state) {
  Fixture &f = Rules();
  unsigned i = 0;
  for (auto _ : state) {
    record.share(f.recs[i++ & 3]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ShareOnly);

void BM_CopyConn(benchmark::State &state) {
  std::vector<Mon_Conn_t> table(40);
  Mon_Conn_t out;
  size_t i = 0;
  for (auto _ : state) {
    memcpy(&out, &table[i], sizeof out);
    benchmark::DoNotOptimize(out);
    i = (i + 1) % table.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyConn);

// Keeps the records per second of every run for the summary.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      auto it = r.counters.find("items_per_second");
      if (!r.error_occurred && r.run_type == Run::RT_Iteration &&
          it != r.counters.end())
        rate[r.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rate;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto check = reporter.rate.find("BM_Check");
  auto share = reporter.rate.find("BM_ShareOnly");
  auto copy = reporter.rate.find("BM_CopyConn");
  if (check == reporter.rate.end()) return 0;
  printf("\nrule check: %.0f records/s over %d alarms (goal %.0f: %s)\n",
         check->second, kAlarms, kGoal,
         check->second >= kGoal ? "reached" : "NOT reached");
  if (share != reporter.rate.end())
    printf("a check costs %.1f times a bare copy of the record (%.0f/s)\n",
           share->second / check->second, share->second);
  if (copy != reporter.rate.end())
    printf("a check costs %.1f times a 752-byte copy (%.0f/s)\n",
           copy->second / check->second, copy->second);
  return 0;
}
