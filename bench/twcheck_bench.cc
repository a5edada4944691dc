// A dry run's speed: twcheck replays a generated script of 1,000,000
// records (333,334 connections of a start, two changes and an end, one in
// eight failing) through 50 alarms, five of them over an aggregate of its
// own (FAIL, IN, OUT, TRAFFIC, ACCESS), with the full trace and report
// going to /dev/null.  The same records then go through AlarmTable::check
// alone, in this process, with the same rules and an empty history.
// Figures are CPU seconds (twcheck's own, this process's for the check),
// so that other load on the machine counts little; twcheck's wall time is
// shown too.  The history lives in a private /tmp (memory).
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "audit.h"
#include "dryrun.h"
#include "loadrules.h"
#include "private_tmp.h"

#if !defined(TWCHECK) || !defined(TWPARSER)
#error "TWCHECK and TWPARSER must name the programs"
#endif

namespace {

constexpr int kConns = 333334;  // three records each
constexpr int kAlarms = 50;
constexpr int kT0 = 1700000000;

double Seconds(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// 45 conditions that hold for none of the records, then one alarm per
// aggregate kind, thresholds out of reach but for FAIL.
std::string RuleFile() {
  std::string text = "react_time = 60\n";
  for (int i = 0; i < kAlarms - 5; i++) {
    int n = i / 9;
    std::string c;
    switch (i % 9) {
      case 0: c = "src == 172." + std::to_string(n) + ".0.0/255.255.0.0"; break;
      case 1: c = "dst == 172." + std::to_string(16 + n) + "."; break;
      case 2: c = "dst == .corp" + std::to_string(n) + ".invalid"; break;
      case 3: c = "app == " + std::to_string(1000 + n) + "/udp"; break;
      case 4:
        c = "app == {" + std::to_string(2000 + n * 100) + "-" +
            std::to_string(2099 + n * 100) + "}/tcp";
        break;
      case 5: c = "usr == adm" + std::to_string(n) + "*"; break;
      case 6: c = "usr == root operator daemon" + std::to_string(n); break;
      case 7: c = "err == {" + std::to_string(100 + n) + "-200}"; break;
      default: c = "tm == - - - - {" + std::to_string(1970 + n) + "-1990}"; break;
    }
    text += "WHEN (" + c + ")\nEXEC\necho never usr\nEND\n";
  }
  for (const char *agg : {"FAIL[src] > 3", "IN[usr] > 1000000000000",
                          "OUT[dst] > 1000000000000", "TRAFFIC[usr] > 1000000000000",
                          "ACCESS[src] > 1000000"})
    text += std::string("WHEN (") + agg + ")\nEXEC\necho aggregate usr src.ip\nEND\n";
  return text;
}

// Connection i: from one of 62,500 sources and 50 users to one of 200
// destinations, one connection a second.
struct Conn {
  explicit Conn(int i)
      : i(i), t(kT0 + i), fails(i % 8 == 0), in(1000 + i % 5000), out(200 + i % 700) {
    snprintf(src, sizeof src, "10.1.%d.%d", i / 250 % 250, i % 250);
    snprintf(dst, sizeof dst, "198.51.100.%d", i % 200);
    snprintf(user, sizeof user, "user%d", i % 50);
  }
  int Port() const { return i % 3 == 0 ? 443 : 80; }
  int i, t;
  bool fails;
  int in, out;
  char src[20], dst[20], user[16];
};

void WriteScript(FILE *f) {
  for (int i = 0; i < kConns; i++) {
    Conn c(i);
    fprintf(f, "start 1,%d user=%s src=%s:40000 time=%d\n", i, c.user, c.src, c.t);
    fprintf(f, "update 1,%d cmd=connect dst=%s:%d time=%d\n", i, c.dst, c.Port(), c.t);
    if (c.fails)
      fprintf(f, "error 1,%d code=5 time=%d\n", i, c.t + 1);
    else
      fprintf(f, "update 1,%d in=%d out=%d time=%d\n", i, c.in, c.out, c.t + 1);
    fprintf(f, "end 1,%d time=%d\n", i, c.t + 2);
  }
}

// The three records of connection i, as the daemon builds them.
void SetRecord(Record &r, const Conn &c, int k) {
  int err = k > 0 && c.fails ? 5 : 0;
  int in = k > 0 && !c.fails ? c.in : 0, out = k > 0 && !c.fails ? c.out : 0;
  r.set_value(static_cast<int>(inet_addr(c.src)), static_cast<int>(inet_addr(c.dst)),
              c.user, c.t + k, c.Port(), err, in, out, "", "", "", 1, k,
              k == 0 ? c.t : c.t + k - 1, c.i, 1);
}

class CountSink : public ActionSink {
 public:
  void run(int, const char *) override { ran++; }
  long ran = 0;
};

// twcheck -r - on the generated script; its CPU and wall seconds.
bool DryRun(double *cpu, double *wall) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  double start = Seconds(CLOCK_MONOTONIC);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execl(TWCHECK, "twcheck", "-r", "-", "rules.conf", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  FILE *f = fdopen(fds[1], "w");
  WriteScript(f);
  fclose(f);
  int status;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid) return false;
  *wall = Seconds(CLOCK_MONOTONIC) - start;
  *cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
         ru.ru_stime.tv_usec / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// CPU seconds of building every record, with or without checking it.
double Records(AlarmTable *table) {
  Record r;
  double start = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  for (int i = 0; i < kConns; i++) {
    Conn c(i);
    for (int k = 0; k < 3; k++) {
      SetRecord(r, c, k);
      if (table != nullptr) table->check(r);
    }
  }
  return Seconds(CLOCK_PROCESS_CPUTIME_ID) - start;
}

}  // namespace

int main() {
  EnterPrivateTmp();
  char dir[] = "/tmp/twcheck_bench.XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 1;
  FILE *f = fopen("rules.conf", "w");
  fputs(RuleFile().c_str(), f);
  fclose(f);
  if (symlink(TWPARSER, "twparser") != 0) return 1;

  double dry_cpu, dry_wall;
  if (!DryRun(&dry_cpu, &dry_wall)) {
    fprintf(stderr, "twcheck failed\n");
    return 1;
  }
  const double records = 3.0 * kConns;
  printf("dry run: %.0f records in %.2f s CPU (%.2f s wall): %.0f records/s\n",
         records, dry_cpu, dry_wall, records / dry_cpu);

  AlarmTable table;
  load_rules(table, "rules.conf");
  open_scratch_history(table, nullptr);
  CountSink sink;
  ALRM_action_sink = &sink;
  double build = Records(nullptr);
  double check = Records(&table) - build;
  printf("check alone: %.2f s CPU (records built in %.2f s more): %.0f records/s,"
         " %ld commands\n", check, build, records / check, sink.ran);
  printf("a dry run costs %.2f times the check alone\n", dry_cpu / check);
  for (const char *name : {"rules.conf", "rules.conf.parsed", "twparser"}) unlink(name);
  rmdir(dir);
  return 0;
}
