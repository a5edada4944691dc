// twbridge: plays the proxy's part for a SOCKS5 server that does not link
// the table library.  It follows the server's log, turns each session it
// reports into a connection in the shared table, and so lets tollwatch
// and every other reader see the server's traffic.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "audit.h"
#include "daemon.h"
#include "error.h"
#include "event.h"
#include "follow.h"
#include "monErr.h"
#include "monMmap.h"
#include "promfile.h"
#include "sessions.h"
#include "sigfix.h"

namespace {

constexpr int kPollMs = 10;             // longest wait for more log
constexpr int64_t kTickUs = 1000000;    // held sessions, gone processes
constexpr int64_t kSaveUs = 1000000;    // position kept at least this often
constexpr int64_t kMetricsUs = 10 * 1000000LL;  // -M file rewritten this often
constexpr int64_t kUnparsedReportUs = 60 * 1000000LL;
constexpr size_t kSampleLen = 160;      // of a line not understood
constexpr int32_t kSessions = 4096;     // open sessions the table holds

volatile int stop_requested;            // SIGTERM, SIGQUIT
volatile sig_atomic_t reopen_requested;
volatile sig_atomic_t status_requested;
int wake_pipe[2] = {-1, -1};
// The table is held to the end and, but after -b, left attached for the
// next start: the handle lives as long as the process.
Mon_Handle_t table;

struct Options {
  bool foreground = false;
  bool syslog = false;
  bool from_start = false;   // -b: the whole file, then exit
  std::string format = "dante";
  std::string state;
  int wait_s = 10;
  long max_open = 100000;
  uint32_t table_size = 0;   // -z: for the open sessions the table holds
  gid_t group = static_cast<gid_t>(-1);  // -g: of the table, made 0660
  std::string metrics;       // -M: metrics file
  std::string input;
};

void wake() {
  int saved = errno;
  if (wake_pipe[1] >= 0) (void)!write(wake_pipe[1], "", 1);
  errno = saved;
}

void on_stop(int) { stop_requested = 1; wake(); }
void on_hup(int) { reopen_requested = 1; wake(); }
void on_usr1(int) { status_requested = 1; wake(); }

int64_t now_us() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec * 1000000LL + tv.tv_usec;
}

const char kUsage[] =
    "usage: twbridge [-f] [-S] [-b] [-F dante|jsonl] [-s statefile]\n"
    "                [-w seconds] [-o max_open] [-g group] [-z sessions]\n"
    "                [-M metrics_file]\n"
    "                logfile | -\n"
    "       twbridge -h | --help | -V | --version\n"
    "where  f:foreground;  S:syslog in the foreground;  b:from the beginning,\n"
    "       exit at the end;  F:log format (dante);  s:keep the position there;\n"
    "       w:longest wait for the alarm reader (10);  o:open sessions kept (100000)\n"
    "       g:group of the table, made mode 0660\n"
    "       z:open sessions the table holds (4096; 0: the default table, 28)\n"
    "       M:metrics for a Prometheus textfile collector, every 10 s\n";

[[noreturn]] void usage(int status) {
  fputs(kUsage, status == 0 ? stdout : stderr);
  exit(status);
}

long number_arg(char opt, const char *arg, long lo, long hi) {
  char *end;
  errno = 0;
  long v = strtol(arg, &end, 10);
  if (errno != 0 || end == arg || *end != '\0' || v < lo || v > hi)
    err_quit("-%c %s: must be %ld to %ld", opt, arg, lo, hi);
  return v;
}

// The size of a table that holds that many open sessions.
uint32_t table_size_arg(const char *arg) {
  long sessions = number_arg('z', arg, 0, INT32_MAX);
  uint32_t size = Mon_MmapSizeFor(static_cast<int32_t>(sessions));
  if (size == 0) err_quit("-z %s: more sessions than the largest table holds", arg);
  return size;
}

Options parse_args(int argc, char **argv) {
  static const struct option longopts[] = {
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0}};
  Options o;
  int c;
  while ((c = getopt_long(argc, argv, "fSbF:s:w:o:g:z:M:hV", longopts, nullptr)) != -1) {
    switch (c) {
      case 'f': o.foreground = true; break;
      case 'S': o.syslog = true; break;
      case 'b': o.from_start = true; break;
      case 'F': o.format = optarg; break;
      case 's': o.state = optarg; break;
      case 'w': o.wait_s = static_cast<int>(number_arg('w', optarg, 0, 3600)); break;
      case 'o': o.max_open = number_arg('o', optarg, 1, 10000000); break;
      case 'g': o.group = group_arg(optarg); break;
      case 'z': o.table_size = table_size_arg(optarg); break;
      case 'M': o.metrics = optarg; break;
      case 'h': usage(0);
      case 'V': printf("twbridge %s\n", TW_VERSION); exit(0);
      default: usage(1);
    }
  }
  if (optind != argc - 1) usage(1);
  if (o.table_size == 0) o.table_size = Mon_MmapSizeFor(kSessions);
  o.input = argv[optind];
  // Standard input cannot follow a detached process.
  if (o.input == "-") o.foreground = true;
  return o;
}

// The table: a live writer's is not ours to take; one a killed writer
// left (this program's last run, say) is taken over with its records;
// otherwise a new one is made.
Mon_Handle_t open_table(bool *taken_over) {
  int32_t holder = Mon_MmapLiveCreator();
  if (holder != 0 && holder != getpid())
    err_quit("the connection table is held by live process %ld", (long)holder);
  Mon_Handle_t h;
  *taken_over = false;
  if (access(MON_MMAP_DIR MON_MMAP_NAME, F_OK) == 0) {
    if (Mon_MmapTakeOver(&h) == 0) {
      *taken_over = true;
      return h;
    }
    Mon_MmapFree(h);
  }
  if (Mon_MmapOpen(0, &h) != 0) err_quit("cannot create the connection table");
  return h;
}

// What the status line and the metrics file tell, taken at one moment.
struct Status {
  bridge::Counters c;
  size_t open, held;
};

Status status_of(const bridge::Book &book) {
  return {book.counters(), book.open(), book.held()};
}

void log_status(const bridge::Book &book) {
  Status s = status_of(book);
  const bridge::Counters &c = s.c;
  char line[300];
  snprintf(line, sizeof line,
           "status: lines=%llu sessions=%llu unparsed=%llu dropped=%llu "
           "open=%zu held=%zu evicted=%llu",
           (unsigned long long)c.lines, (unsigned long long)c.sessions,
           (unsigned long long)c.unparsed, (unsigned long long)c.dropped,
           s.open, s.held, (unsigned long long)c.evicted);
  SYSLOG(LOG_NOTICE, line);
}

// Lines not understood: counted, and told at most once a minute with one
// of them as a sample, escaped so that it cannot forge a log line.
class UnparsedReport {
 public:
  void note(const std::string &line, int64_t now) {
    if (count_++ == 0) sample_ = line.substr(0, kSampleLen);
    flush(now, false);
  }
  void flush(int64_t now, bool force) {
    if (count_ == 0 || (!force && now - last_ < kUnparsedReportUs)) return;
    errno = 0;
    err_ret("%llu lines not understood, for example: %s",
            (unsigned long long)count_, printable(sample_.c_str()).c_str());
    count_ = 0;
    last_ = now;
  }

 private:
  uint64_t count_ = 0;
  int64_t last_ = INT64_MIN / 2;
  std::string sample_;
};

struct Bridge {
  Options opt;
  bridge::Follower *input;
  bridge::Format *format;
  bridge::Book *book;
  UnparsedReport unparsed;
  std::vector<bridge::Event> events;
  std::string line;
  int64_t last_tick = 0, last_save = 0, last_metrics = 0;
  int64_t newest_us = 0;  // the latest time a line read gave
  bool at_end = false;    // every line written so far has been read
};

// The metrics file: the status line's counters, and how far behind the
// log the bridge is: now less the newest time a line gave, while lines
// wait to be read; 0 at the end of the log.
std::string metrics_text(const Bridge &b, int64_t now) {
  Status s = status_of(*b.book);
  int64_t behind =
      b.at_end || b.newest_us == 0 ? 0 : (now - b.newest_us) / 1000000;
  PromText p;
  struct { const char *name, *help; uint64_t value; } counters[] = {
      {"twbridge_lines_read_total", "Log lines read.", s.c.lines},
      {"twbridge_sessions_written_total",
       "Sessions written to the connection table.", s.c.sessions},
      {"twbridge_lines_unparsed_total", "Log lines not understood.",
       s.c.unparsed},
      {"twbridge_sessions_dropped_total",
       "Sessions that never reached the alarm reader.", s.c.dropped},
      {"twbridge_sessions_evicted_total",
       "Open sessions ended early (bound, process gone).", s.c.evicted},
  };
  for (const auto &m : counters) {
    p.family(m.name, "counter", m.help);
    p.sample(m.name, m.value);
  }
  p.family("twbridge_sessions_open", "gauge", "Sessions open.");
  p.sample("twbridge_sessions_open", s.open);
  p.family("twbridge_sessions_held", "gauge",
           "Sessions held back for lack of room in the table.");
  p.sample("twbridge_sessions_held", s.held);
  p.family("twbridge_seconds_behind_log", "gauge",
           "Seconds from the newest line read to now while more wait; "
           "0 at the end.");
  p.sample("twbridge_seconds_behind_log", "",
           static_cast<double>(behind > 0 ? behind : 0));
  p.family("twbridge_build_info", "gauge", "The version running.");
  p.sample("twbridge_build_info", "version=\"" + prom_label(TW_VERSION) + "\"", 1);
  return p.text();
}

// With -M, every kMetricsUs and when forced (at the end).
void write_metrics(Bridge &b, bool force) {
  if (b.opt.metrics.empty()) return;
  int64_t now = now_us();
  if (!force && now - b.last_metrics < kMetricsUs) return;
  b.last_metrics = now;
  if (write_metrics_file(b.opt.metrics, metrics_text(b, now)) != 0)
    err_ret("can't write the metrics file %s", b.opt.metrics.c_str());
}

void handle_signals(Bridge &b) {
  if (reopen_requested) {
    reopen_requested = 0;
    b.input->reopen();
  }
  if (status_requested) {
    status_requested = 0;
    log_status(*b.book);
  }
}

// One line: its events go into the table, then the position past it is
// kept, so that a restart neither repeats nor skips it.
void take_line(Bridge &b, bool cut) {
  int64_t now = now_us();
  b.book->counters().lines++;
  b.at_end = false;
  b.events.clear();
  if (cut || !b.format->parse(b.line, &b.events)) {
    b.book->counters().unparsed++;
    b.unparsed.note(b.line, now);
    return;
  }
  for (const bridge::Event &ev : b.events) {
    if (ev.time_us > b.newest_us) b.newest_us = ev.time_us;
    b.book->apply(ev, now);
  }
  if (!b.events.empty()) {
    b.input->save();
    b.last_save = now;
  }
}

void housekeeping(Bridge &b) {
  int64_t now = now_us();
  if (now - b.last_tick >= kTickUs) {
    b.book->tick(now);
    b.unparsed.flush(now, false);
    b.last_tick = now;
  }
  if (now - b.last_save >= kSaveUs) {
    b.input->save();
    b.last_save = now;
  }
  if (!b.input->error().empty()) {
    errno = 0;
    err_ret("%s", b.input->error().c_str());
  }
}

// Reads until stopped or, with -b, to the end of the file.
void run(Bridge &b) {
  bool cut;
  while (!stop_requested) {
    handle_signals(b);
    int r = b.input->next(&b.line, &cut);
    if (r == 1) {
      take_line(b, cut);
      write_metrics(b, false);
      continue;
    }
    b.at_end = true;
    housekeeping(b);
    write_metrics(b, false);
    if (r < 0) break;
    b.input->wait(kPollMs, wake_pipe[0]);
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options o = parse_args(argc, argv);
  std::unique_ptr<bridge::Format> format(bridge::new_format(o.format));
  if (format == nullptr) err_quit("-F %s: unknown log format", o.format.c_str());

  ALRM_daemon = !o.foreground || o.syslog;
  mon_Daemon = ALRM_daemon;
  if (!o.foreground) daemon_start(0);
  err_init("twbridge");
  if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) < 0)
    err_sys("can't create the wake-up pipe");
  install_handler(SIGTERM, on_stop);
  install_handler(SIGQUIT, on_stop);
  install_handler(SIGINT, on_stop);
  install_handler(SIGHUP, on_hup);
  install_handler(SIGUSR1, on_usr1);
  signal(SIGPIPE, SIG_IGN);

  bridge::Follower::Options fo;
  fo.from_start = o.from_start;
  fo.stop_at_end = o.from_start;
  fo.state_path = o.state;
  bridge::Follower input(o.input, fo);
  if (!input.open()) err_quit("%s", input.error().c_str());

  bool taken_over;
  Mon_MmapSetMode(0660, o.group);  // the writer's user and group alone
  Mon_MmapSetSize(o.table_size);
  table = open_table(&taken_over);
  bridge::Book::Options bo;
  bo.max_open = static_cast<size_t>(o.max_open);
  bo.wait_ms = o.wait_s * 1000;
  bridge::Book book(table, bo, &stop_requested);
  if (taken_over) book.adopt();

  char msg[300];
  snprintf(msg, sizeof msg, "%s, following %s",
           taken_over ? "connection table taken over" : "connection table created",
           o.input.c_str());
  SYSLOG(LOG_NOTICE, msg);
  daemon_ready();

  Bridge b;
  b.opt = o;
  b.input = &input;
  b.format = format.get();
  b.book = &book;
  run(b);

  b.unparsed.flush(now_us(), true);
  input.save(true);
  if (o.from_start && !stop_requested) {
    // A trial: the alarm reader gets everything, then the table goes.
    if (!book.drain(bo.wait_ms) && book.counters().sessions != 0) {
      errno = 0;
      err_ret("the alarm reader did not take every session");
    }
    log_status(book);
    write_metrics(b, true);
    Mon_MmapClose(table);
    return 0;
  }
  // The table stays: the next start takes it over with the sessions
  // still open, and the readers follow.
  log_status(book);
  write_metrics(b, true);
  SYSLOG(LOG_NOTICE, "twbridge quits; the connection table stays for the next start");
  return 0;
}
