// A busy proxy for the connection table: creates the table as its writer
// and runs R connections a second, K open at once, for S seconds, without
// ever waiting for a reader.  Each connection is started (user c<seq>),
// updated (destination 192.0.2.1, port 80, connect, application "web") and,
// K starts later, ended.  The end is written as the end followed by one last
// update to port 9 with application "end", so a record on port 9 is always
// an ended connection, and a reader takes it exactly once.  The log names
// each ended connection and the CLOCK_REALTIME time (ns) its end was
// written:  c<seq> <ns>
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "monMmap.h"

namespace {

constexpr uint16_t kPort = 80, kEndPort = 9;

struct Options {
  double rate = 20, seconds = 10, wait = 10;
  int open = 10;
  uint32_t size = 0;  // -z: the table's size; 0 the default
  const char *log = "loadgen.log";
};

volatile sig_atomic_t stop_flag = 0;
void OnStop(int) { stop_flag = 1; }

[[noreturn]] void Usage() {
  fprintf(stderr,
          "usage: tw_loadgen [-r rate] [-k open] [-s seconds] [-w wait] [-z sessions]\n"
          "                  [-o log]\n"
          "  -r connections per second (0: no traffic, only hold the table)\n"
          "  -k connections open at once   -s seconds of traffic\n"
          "  -w seconds to wait for reader 5 to attach (0: do not wait)\n"
          "  -z open sessions the table holds (default: the default table)\n"
          "  -o log of ended connections, one \"c<seq> <ns>\" a line\n");
  exit(2);
}

Options ParseArgs(int argc, char **argv) {
  Options o;
  int c;
  while ((c = getopt(argc, argv, "r:k:s:w:z:o:")) != -1) {
    switch (c) {
      case 'r': o.rate = atof(optarg); break;
      case 'k': o.open = atoi(optarg); break;
      case 's': o.seconds = atof(optarg); break;
      case 'w': o.wait = atof(optarg); break;
      case 'z': if ((o.size = Mon_MmapSizeFor(atoi(optarg))) == 0) Usage(); break;
      case 'o': o.log = optarg; break;
      default: Usage();
    }
  }
  if (optind != argc || o.rate < 0 || o.open < 1 || o.seconds < 0) Usage();
  return o;
}

int64_t Now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void SleepUntil(int64_t ns) {
  timespec ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0 && !stop_flag) {
  }
}

sockaddr_in Addr(const char *ip, uint16_t port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = inet_addr(ip);
  return a;
}

// The writer's side of the run: open connections and what has ended.
class Proxy {
 public:
  explicit Proxy(Mon_Handle_t h) : h_(h) {}

  void Start(uint32_t seq) {
    const std::string user = "c" + std::to_string(seq);
    const sockaddr_in src = Addr("10.0.0.1", static_cast<uint16_t>(1024 + seq % 60000));
    const sockaddr_in dst = Addr("192.0.2.1", kPort);
    const int32_t now = static_cast<int32_t>(time(nullptr));
    // A connection the table refused stays open all the same.
    const bool recorded =
        MonMmapStartConn(h_, Key(seq), now, 0, user.c_str(), &src, "client") == 0;
    open_.emplace_back(seq, recorded);
    if (!recorded) {
      failed_++;
      return;
    }
    started_++;
    MonMmapUpdateConn(h_, Key(seq), now, 100, 200, 1, "web", nullptr, nullptr, &dst, "server");
  }

  // Ends the oldest open connection.
  void EndOldest() {
    const auto [seq, recorded] = open_.front();
    const sockaddr_in dst = Addr("192.0.2.1", kEndPort);
    const int32_t now = static_cast<int32_t>(time(nullptr));
    open_.pop_front();
    if (!recorded) return;
    if (MonMmapEndConn(h_, Key(seq), now) != 0 ||
        MonMmapUpdateConn(h_, Key(seq), now, 100, 200, 1, "end", nullptr, nullptr, &dst,
                          "server") != 0) {
      failedEnds_++;
      return;
    }
    ended_.emplace_back(seq, Now(CLOCK_REALTIME));
  }

  size_t Open() const { return open_.size(); }

  bool WriteLog(const char *path) const {
    FILE *f = fopen(path, "w");
    if (f == nullptr) return false;
    for (const auto &[seq, ns] : ended_) fprintf(f, "c%u %lld\n", seq, static_cast<long long>(ns));
    return fclose(f) == 0;
  }

  // The pace kept shows as the time the whole run took against the time
  // its schedule gave it.
  void Summary(double planned, double took) const {
    printf("loadgen: started %lu, failed starts %lu, ended %zu, failed ends %lu,"
           " in %.2f s (planned %.2f s)\n",
           started_, failed_, ended_.size(), failedEnds_, took, planned);
  }

 private:
  static Uint64 Key(uint32_t seq) { return Uint64{{static_cast<uint32_t>(getpid()), seq}}; }

  Mon_Handle_t h_;
  std::deque<std::pair<uint32_t, bool>> open_;  // seq, in the table
  std::vector<std::pair<uint32_t, int64_t>> ended_;
  unsigned long started_ = 0, failed_ = 0, failedEnds_ = 0;
};

bool WaitForReader(double seconds) {
  for (int64_t end = Now(CLOCK_MONOTONIC) + static_cast<int64_t>(seconds * 1e9);
       Now(CLOCK_MONOTONIC) < end && !stop_flag; usleep(10000))
    if (MonMmapRegion()->procPid[MON_ALARM_READER] != 0) return true;
  return false;
}

// Starts at an even pace; once K are open each start ends the oldest.  After
// the last start the pace goes on with ends only, so every connection lives
// K / R seconds.
void Run(Proxy &proxy, const Options &o) {
  const uint64_t total = static_cast<uint64_t>(o.rate * o.seconds);
  const double planned = (total - 1.0 + std::min<uint64_t>(total, o.open)) / o.rate;
  const int64_t t0 = Now(CLOCK_MONOTONIC);
  for (uint64_t i = 0; !stop_flag && (i < total || proxy.Open() > 0); i++) {
    SleepUntil(t0 + static_cast<int64_t>(i * 1e9 / o.rate));
    if (i >= total || proxy.Open() >= static_cast<size_t>(o.open)) proxy.EndOldest();
    if (i < total) proxy.Start(static_cast<uint32_t>(i));
  }
  while (proxy.Open() > 0) proxy.EndOldest();
  proxy.Summary(planned, (Now(CLOCK_MONOTONIC) - t0) / 1e9);
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = ParseArgs(argc, argv);
  Mon_Handle_t h;

  struct sigaction sa = {};
  sa.sa_handler = OnStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Mon_MmapSetSize(o.size);
  if (Mon_MmapOpen(0, &h) != 0) return 1;
  printf("loadgen: table created, pid %d\n", static_cast<int>(getpid()));
  if (o.wait > 0 && !WaitForReader(o.wait)) printf("loadgen: reader 5 did not attach\n");

  Proxy proxy(h);
  if (o.rate > 0) Run(proxy, o);
  if (!proxy.WriteLog(o.log)) perror(o.log);
  printf("loadgen: done, holding table\n");
  sigset_t stops, old;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, &old);
  while (!stop_flag) sigsuspend(&old);
  return Mon_MmapClose(h) == 0 ? 0 : 1;
}
