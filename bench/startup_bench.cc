// tollwatch's start-up and its per-record conversion:
//   BM_Startup          tollwatch -f -i RULES on 5,000 generated alarms, one
//                       process per iteration, until it stops at attaching
//                       to the (absent) connection table: running twparser,
//                       loading the parsed file and opening the history.
//                       Reports the peak resident memory of the run
//                       (tollwatch, or twparser if larger) in kB.
//   BM_TwparserOnly     twparser alone on the same rules, for the share of
//                       the start-up that is preprocessing, and its memory.
//   BM_ReadFromMonitor  read_from_monitor on one prepared record, against
//   BM_Memcpy752        copying the 752-byte record, in the same run.
// The figures and the two ratios are printed after the table.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "audit.h"
#include "monMmap.h"
#include "private_tmp.h"

#ifndef TOLLWATCH
#error "TOLLWATCH must name the tollwatch program"
#endif
#ifndef TWPARSER
#error "TWPARSER must name the twparser program"
#endif

namespace {

constexpr int kAlarms = 5000;
constexpr int kNets = 40, kUserLists = 20;
constexpr int kAggregatesPerKind = 12;  // far below the 126 a kind may hold

// Rules over every kind of variable a condition may test: hosts in each
// specification form, ports by number, protocol, service name, range and
// list, users by pattern and list, error codes, calendar ranges, the two
// addresses against each other, and aggregates of every kind compared with
// counts.  Host names are left out: each would cost a resolver look-up.
class Generator {
 public:
  std::string Rules() {
    std::ostringstream s;
    s << "# generated rules\nalert_time = 600\nreact_time = 60\n";
    for (int i = 0; i < kNets; i++)
      s << "net" << i << " = 10." << i << ".0.0/255.255.0.0\n";
    for (int i = 0; i < kUserLists; i++)
      s << "staff" << i << " = adm" << i << "* ops? guest" << i << " root\n";
    s << "mailto = security@example.org\n";
    for (int i = 0; i < kAlarms; i++) {
      if (i % 1000 == 999) s << "alert_time = " << 300 + i / 10 << "\n";
      s << "WHEN (" << Condition() << ")\nEXEC\n  echo alarm " << i
        << " src.name usr app.port time | mail -s tollwatch $mailto\nEND\n";
    }
    return s.str();
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::string N(int n) { return std::to_string(Pick(n)); }
  std::string Rel() {
    static const char *const rel[] = {"==", "!=", "<", ">", "<=", ">="};
    return rel[Pick(6)];
  }

  std::string Host() {
    std::string a = "172." + N(32) + "." + N(256);
    switch (Pick(7)) {
      case 0: return a + "." + N(256);
      case 1: return a + ".0/255.255.255.0";
      case 2: return a + ".1/n";
      case 3: return a + ".1/s";
      case 4: return "192.168.";
      case 5: return "-";
      default: return "$net" + N(kNets);
    }
  }

  std::string Leaf() {
    switch (Pick(14)) {
      case 0: return "src == " + Host();
      case 1: return "dst != " + Host();
      case 2: return "src == dst";
      case 3: return "app == " + std::to_string(1 + Pick(65535));
      case 4: return "app == " + std::to_string(1 + Pick(1024)) + "/udp";
      case 5: return Pick(10) ? "app > 1023" : "app == smtp";
      case 6: return "app == {6000-6063}/tcp 22 {1-19}";
      case 7: return "usr == adm" + N(100) + "*";
      case 8: return "user != $staff" + N(kUserLists);
      case 9: return "err " + Rel() + " " + N(10);
      case 10: return "err == {1-4} 9";
      case 11: return "tm == {Mon-Fri} - - {08:00-18:00} -";
      case 12: return "tm != - {Jun-Aug} {1-15} - {2020-2030}";
      default: return Aggregate() + " " + Rel() + " " + N(1000);
    }
  }

  std::string Aggregate() {
    static const char *const kind[] = {"FAIL", "IN", "OUT", "TRAFFIC",
                                       "ACCESS", "DURATION"};
    std::string k = kind[Pick(6)];
    int form = Pick(kAggregatesPerKind);
    switch (form % 4) {
      case 0: return k + "[src, usr]";
      case 1: return k + "[dst]";
      case 2: return k + "[app == " + std::to_string(20 + form) + ", src]";
      default: return k + "[usr == $staff" + std::to_string(form) + ", dst, err]";
    }
  }

  // One to three leaves under "&", "|", "!" and brackets; the printed form
  // stays within twparser's limit for a condition.
  std::string Condition() {
    std::string c;
    switch (Pick(5)) {
      case 0: c = Leaf(); break;
      case 1: c = Leaf() + " & " + Leaf(); break;
      case 2: c = Leaf() + " | " + Leaf(); break;
      case 3: c = "!(" + Leaf() + " & " + Leaf() + ")"; break;
      default: c = "(" + Leaf() + " | " + Leaf() + ") & " + Leaf(); break;
    }
    return c.size() > 100 ? Leaf() : c;
  }

  std::mt19937 rng_{20261206};
};

struct Outcome {
  int status = -1;    // exit status; -1 when it did not exit
  long maxrss = 0;    // kB
  std::string err;    // standard error
};

// Runs argv in dir with standard output and error into files there.
Outcome Spawn(const std::string &dir, const std::vector<const char *> &argv) {
  std::string out = dir + "/run.out", err = dir + "/run.err";
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int n = open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || n < 0 || chdir(dir.c_str()) != 0) _exit(126);
    dup2(n, 0);
    dup2(o, 1);
    dup2(e, 2);
    execv(argv[0], const_cast<char *const *>(argv.data()));
    _exit(127);
  }
  Outcome r;
  int st;
  struct rusage ru;
  if (pid > 0 && wait4(pid, &st, 0, &ru) == pid) {
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    r.maxrss = ru.ru_maxrss;
  }
  std::ifstream in(err);
  r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return r;
}

// The work directory: the rule file, twparser beside it, the history.
struct Workspace {
  std::string dir;
  long lines = 0;
  Workspace() {
    const char *t = getenv("TMPDIR");
    dir = std::string(t && *t ? t : "/tmp") + "/twstartXXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) abort();
    std::string text = Generator().Rules();
    std::ofstream(dir + "/rules.conf", std::ios::binary) << text;
    lines = std::count(text.begin(), text.end(), '\n');
    if (symlink(TWPARSER, (dir + "/twparser").c_str()) != 0) abort();
  }
  ~Workspace() {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
};

Workspace &Work() {
  static Workspace w;
  return w;
}

std::map<std::string, double> g_ns;  // nanoseconds per iteration, by name
long g_peak_kb = 0, g_parser_peak_kb = 0;

void BM_Startup(benchmark::State &state) {
  Workspace &w = Work();
  if (access("/tmp/mon.mmap", F_OK) == 0) {
    state.SkipWithError("a connection table exists: tollwatch would attach");
    return;
  }
  long peak = 0;
  for (auto _ : state) {
    Outcome r = Spawn(w.dir, {TOLLWATCH, "-f", "-i", "rules.conf", "-d", "hist", nullptr});
    if (r.status != 1 || r.err.find("monitor mmap open error") == std::string::npos) {
      state.SkipWithError(("start-up did not reach the table: " + r.err.substr(0, 300)).c_str());
      return;
    }
    peak = std::max(peak, r.maxrss);
  }
  state.counters["peak_rss_kB"] = static_cast<double>(peak);
  state.counters["alarms"] = kAlarms;
  g_peak_kb = std::max(g_peak_kb, peak);
}
BENCHMARK(BM_Startup)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_TwparserOnly(benchmark::State &state) {
  Workspace &w = Work();
  long peak = 0;
  for (auto _ : state) {
    Outcome r = Spawn(w.dir, {TWPARSER, "rules.conf", "only.parsed", "0", nullptr});
    if (r.status != 0) {
      state.SkipWithError(("twparser failed: " + r.err.substr(0, 300)).c_str());
      return;
    }
    peak = std::max(peak, r.maxrss);
  }
  state.counters["lines"] = static_cast<double>(w.lines);
  state.counters["peak_rss_kB"] = static_cast<double>(peak);
  g_parser_peak_kb = std::max(g_parser_peak_kb, peak);
}
BENCHMARK(BM_TwparserOnly)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2);

Mon_Conn_t SampleConn() {
  Mon_Conn_t c;
  memset(&c, 0, sizeof c);
  c.key.word[0] = 4242;
  c.key.word[1] = 7;
  c.connState = 0x80000000u | 0x1000;
  c.startTime = 1700000000;
  c.curTime = 1700000042;
  c.readTime = 1700000030;
  c.alarmKey = 99;
  c.inTotBytes = 48213;
  c.outTotBytes = 2210;
  c.srcSockAddr.sin_family = AF_INET;
  c.srcSockAddr.sin_port = htons(51514);
  c.srcSockAddr.sin_addr.s_addr = inet_addr("192.168.10.21");
  c.dstSockAddr.sin_family = AF_INET;
  c.dstSockAddr.sin_port = htons(443);
  c.dstSockAddr.sin_addr.s_addr = inet_addr("93.184.216.34");
  c.socksCmd = 1;
  snprintf(c.userName, sizeof c.userName, "alice");
  snprintf(c.applicName, sizeof c.applicName, "browser");
  snprintf(c.srcHostName, sizeof c.srcHostName, "ws-alice.example.net");
  snprintf(c.proxyHostName, sizeof c.proxyHostName, "gw.example.net");
  snprintf(c.dstHostName, sizeof c.dstHostName, "www.example.com");
  return c;
}

void BM_ReadFromMonitor(benchmark::State &state) {
  AlarmTable table;  // current rule set, trace off
  Mon_Conn_t conn = SampleConn();
  Record rec;
  for (auto _ : state) {
    int rc = read_from_monitor(&conn, rec);
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
  if (read_from_monitor(&conn, rec) != 0) state.SkipWithError("record refused");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadFromMonitor);

void BM_Memcpy752(benchmark::State &state) {
  static_assert(sizeof(Mon_Conn_t) == 752, "record size");
  Mon_Conn_t src = SampleConn(), dst;
  for (auto _ : state) {
    memcpy(&dst, &src, sizeof dst);
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Memcpy752);

// Keeps the time per iteration of every run for the summary.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (!r.error_occurred && r.iterations > 0 && r.run_type == Run::RT_Iteration)
        g_ns[r.run_name.function_name] =
            r.GetAdjustedRealTime() * Multiplier(r.time_unit);
    ConsoleReporter::ReportRuns(runs);
  }

 private:
  static double Multiplier(benchmark::TimeUnit u) {
    switch (u) {
      case benchmark::kSecond: return 1e9;
      case benchmark::kMillisecond: return 1e6;
      case benchmark::kMicrosecond: return 1e3;
      default: return 1;
    }
  }
};

void Summary() {
  auto get = [](const char *name) {
    auto it = g_ns.find(name);
    return it == g_ns.end() ? 0.0 : it->second;
  };
  double start = get("BM_Startup"), parse = get("BM_TwparserOnly");
  double conv = get("BM_ReadFromMonitor"), copy = get("BM_Memcpy752");
  printf("\nsummary, %d alarms, %ld rule lines:\n", kAlarms, Work().lines);
  if (start > 0) {
    printf("  start-up to the table:      %8.1f ms\n", start / 1e6);
    if (parse > 0)
      printf("    of which twparser:        %8.1f ms (%.0f%%)\n", parse / 1e6,
             100 * parse / start);
    printf("  peak resident memory:       %8ld kB (twparser alone: %ld kB)\n",
           g_peak_kb, g_parser_peak_kb);
  }
  if (conv > 0 && copy > 0)
    printf("  read_from_monitor / record: %8.1f ns = %.1f x memcpy of 752 bytes (%.1f ns)\n",
           conv, conv / copy, copy);
}

}  // namespace

int main(int argc, char **argv) {
  EnterPrivateTmp();  // no connection table can be found there
  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  Summary();
  return 0;
}
