// tollwatch: the command line, start-up, the polling loop over the
// connection table, and what the daemon does on its signals.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "audit.h"
#include "daemon.h"
#include "error.h"
#include "metrics.h"
#include "missed.h"
#include "monErr.h"
#include "monMmap.h"
#include "runner.h"
#include "sigfix.h"
#include "stats.h"
#include "store_open.h"

DaemonStats ALRM_stats;

namespace {

const char kTraceFile[] = "/tmp/tollwatch.log";
constexpr int kSweepMs = 1000;           // look for ended connections gone
constexpr int64_t kMissedReportMs = 60000;
constexpr int32_t kLockWaitMs = 5000;    // the table's lock held longer: lost
constexpr int64_t kWatchMs = 100;        // how often the table is looked at
constexpr int kBatch = 64;               // connections taken per hold of the lock
// After the writer took the table's lock: time for it to finish the change
// it began, whose marks go in after it lets go of the lock.
const struct timespec kSettle = {0, 200 * 1000};

volatile sig_atomic_t quit_requested;    // quit signals received
volatile sig_atomic_t refresh_requested;
volatile sig_atomic_t status_requested;
int refreshing;                          // a refresh is running
int wake_pipe[2] = {-1, -1};             // a signal makes the wait end

int poll_ms = 10;          // longest wait after a pass that found nothing
int64_t idle_since_ms;     // start of the idle time, 0 while busy
int64_t last_sweep_ms;
int64_t last_watch_ms = -kWatchMs;
bool woken_by_writer;      // the last wait ended as the writer took the lock
int64_t last_missed_report_ms = -1;
uint64_t missed_reported;  // missed starts and ends already reported
MissedTracker missed;

struct Options {
  const char *inputfile = "./tollwatch.conf";
  const char *datafile = "datafile";
  int refresh_time = 3600;
  int ds = 1;
  int log = 1;
  int traceflag = 0;
  int poll_ms = 10;
  int children = 1;
  int timeout = 60;
  int check = 0;        // -n: check the rules and exit
  int syslog = 0;       // -S: the system log in the foreground too
  const char *parsedfile = nullptr;
  const char *writer = nullptr;  // -W: the proxy's user
  const char *metrics = nullptr; // -M: the metrics file
};

[[noreturn]] void usage(const char *pname) {
  printf("Usage: %s [-i inputfile] [-d datafile] ", pname);
  printf("[-r refresh_time] [-f] [-l] [-t] [-h]\n");
  printf("where  f:foreground;  l:syslog no action;  t:trace %s;  h:this help\n",
         kTraceFile);
  printf("       [-p poll_ms] [-a action_children] [-T action_timeout]\n");
  printf("       [-n] [-P parsedfile] [-S] [-V] [--help] [--version]\n");
  printf("where  p:longest wait when idle (10);  a:commands at once (1);  "
         "T:seconds a command may run (60, 0 no limit)\n");
  printf("where  n:check the rules and exit;  P:parsed rules there;  "
         "S:syslog in the foreground;  V:version\n");
  printf("       [-W user]: attach only to a table of this user or root that "
         "no one else may write\n");
  printf("       [-M file]: metrics in the Prometheus text format there, "
         "every 10 s\n");
  printf("       [-D url] [-k prefix] [-A password_file]: the history on a Redis "
         "server,\n       redis://host[:port][/db] or unix:/path[?db=n], keys "
         "after prefix (tollwatch:)\n");
  exit(0);
}

[[noreturn]] void version() {
  printf("tollwatch %s\n", TW_VERSION);
  exit(0);
}

// A whole number from lo to hi, or the run stops naming the option.
int number_arg(char opt, const char *arg, long lo, long hi, const char *what) {
  char *end;
  errno = 0;
  long v = strtol(arg, &end, 10);
  if (errno != 0 || end == arg || *end != '\0' || v < lo || v > hi)
    err_quit("-%c %s: %s must be %ld to %ld", opt, arg, what, lo, hi);
  return static_cast<int>(v);
}

// Words not yet consumed are counted by argc; letters may be grouped, and
// each of i, d, r, p, a, T, P, W, M, D, k, A takes the next word, whatever it looks like.
Options parse_args(int argc, char **argv) {
  Options o;
  const char *pname = argv[0];
  argc--;
  argv++;
  while (argc > 0) {
    const char *w = *argv;
    if (strcmp(w, "--help") == 0) usage(pname);
    if (strcmp(w, "--version") == 0) version();
    if (w[0] != '-') err_quit("please use - before the options");
    argc--;
    argv++;
    for (const char *c = w + 1; *c != '\0'; c++) {
      const char *arg = nullptr;
      if (strchr("idrpaTPWMDkA", *c) != nullptr) {
        if (--argc < 0) err_quit("-%c requires another argument", *c);
        arg = *argv++;
      }
      switch (*c) {
        case 'i': o.inputfile = arg; break;
        case 'd': o.datafile = arg; break;
        case 'r':
          if (atol(arg) < 0) err_quit("-r %s: refresh time cannot be negative", arg);
          o.refresh_time = static_cast<int>(atol(arg) * 60);
          break;
        case 'f': o.ds = 0; break;
        case 'l': o.log = 0; break;
        case 't': o.traceflag = 1; break;
        case 'p': o.poll_ms = number_arg('p', arg, 1, 60000, "milliseconds"); break;
        case 'a': o.children = number_arg('a', arg, 1, 1000, "children"); break;
        case 'T': o.timeout = number_arg('T', arg, 0, 86400, "seconds"); break;
        case 'n': o.check = 1; break;
        case 'P': o.parsedfile = arg; break;
        case 'S': o.syslog = 1; break;
        case 'W': o.writer = arg; break;
        case 'M': o.metrics = arg; break;
        case 'D': ALRM_store_spec.url = arg; break;
        case 'k': ALRM_store_spec.prefix = arg; break;
        case 'A': ALRM_store_spec.password_file = arg; break;
        case 'h': usage(pname);
        case 'V': version();
        default: err_quit("unknown command line option: %c", *c);
      }
    }
  }
  return o;
}

// A signal not yet acted on ends a wait for the table's lock.
int signal_pending() {
  return quit_requested || refresh_requested || status_requested ||
         reload_requested;
}

void wake() {
  if (wake_pipe[1] < 0) return;
  int saved = errno;
  (void)!write(wake_pipe[1], "", 1);
  errno = saved;
}

void open_wake_pipe() {
  if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) < 0)
    err_sys("can't create the wake-up pipe");
}

// Waits up to ms milliseconds, less when a signal arrives.
void wait_ms(int ms) {
  if (wake_pipe[0] < 0) open_wake_pipe();
  struct pollfd p = {wake_pipe[0], POLLIN, 0};
  if (poll(&p, 1, ms) > 0) {
    char buf[64];
    while (read(wake_pipe[0], buf, sizeof buf) > 0) {
    }
  }
}

// True when a signal came since the pipe was last emptied.
bool signalled() {
  char buf[64];
  bool any = false;
  while (read(wake_pipe[0], buf, sizeof buf) > 0) any = true;
  return any;
}

// After a pass that found nothing: sleeps until the writer next takes the
// table's lock, or ms milliseconds, or a signal.  Woken by the writer, it
// waits a moment for the change to be marked; when the pass after such a
// wake found nothing (the marks came later still), it naps a millisecond
// before waiting on the lock again.
void wait_for_change(void *handle, int ms) {
  if (handle == nullptr) {
    wait_ms(ms);
    return;
  }
  if (woken_by_writer) {
    woken_by_writer = false;
    wait_ms(ms < 1 ? ms : 1);
    return;
  }
  if (wake_pipe[0] < 0) open_wake_pipe();
  if (signalled() || signal_pending()) return;
  int woke = 0;
  if (!table_read([&] { woke = Mon_MmapAwaitWriter(handle, ms); })) return;
  if (woke == 1) {
    woken_by_writer = true;
    nanosleep(&kSettle, nullptr);
  } else if (woke < 0 && errno != EINTR) {
    wait_ms(ms);  // its semaphores gone: the next pass finds the table lost
  }
}

// Lets the queued commands run to their end; a second quit signal cuts
// this short.
void drain_actions() {
  while (!ALRM_action_queue.idle()) {
    if (quit_requested > 1) {
      size_t n = ALRM_action_queue.abandon();
      errno = 0;
      err_ret("quit during the drain: %zu queued commands not run", n);
      return;
    }
    ALRM_action_queue.service();
    int t = ALRM_action_queue.next_timer_ms();
    wait_ms(t < 0 || t > 100 ? 100 : t);
  }
}

[[noreturn]] void quit() {
  drain_actions();
  metrics_now();
  if (ALRM_table_ptr != nullptr && ALRM_table_ptr->store() != nullptr)
    ALRM_table_ptr->store()->close();
  SYSLOG(LOG_NOTICE, "process quits on the QUIT signal");
  exit(0);
}

void log_status() { SYSLOG(LOG_NOTICE, status_line().c_str()); }

// At most once a minute: how many starts and ends went unseen since the
// last such line.
void report_missed(int64_t now) {
  uint64_t total = missed.missed_starts() + missed.missed_ends();
  if (total == missed_reported) return;
  if (last_missed_report_ms >= 0 && now - last_missed_report_ms < kMissedReportMs)
    return;
  static uint64_t starts_reported, ends_reported;
  errno = 0;
  err_ret("missed %llu starts and %llu ends of connections since the last report",
          static_cast<unsigned long long>(missed.missed_starts() - starts_reported),
          static_cast<unsigned long long>(missed.missed_ends() - ends_reported));
  starts_reported = missed.missed_starts();
  ends_reported = missed.missed_ends();
  missed_reported = total;
  last_missed_report_ms = now;
}

// Between passes: commands, the missed-connection watch.
void housekeeping(void *&handle) {
  ALRM_action_queue.service();
  if (ALRM_table_ptr != nullptr && ALRM_table_ptr->store() != nullptr)
    ALRM_table_ptr->store()->poll();
  int64_t now = monotonic_ms();
  if (now - last_sweep_ms >= kSweepMs) {
    if (!table_read([&] { missed.sweep(handle); })) {
      table_lost(handle);
      missed.reset();
    }
    last_sweep_ms = now;
  }
  report_missed(now);
  metrics_due();
}

}  // namespace

// ---- Signals: the handlers only take note; the work is done between
// records and after sleeps, never inside malloc, a table scan or a
// history rewrite.

void quit_handle(int) {
  if (quit_requested < 2) quit_requested++;
  wake();
}

void refresh_signal(int) {
  refresh_requested = 1;
  wake();
}

void status_signal(int) {
  status_requested = 1;
  wake();
}

void child_signal(int) {
  ActionQueue::child_signal();
  wake();
}

void reload_signal(int) {
  reload_requested = 1;
  wake();
}

void internal_error(int) { err_dump("internal data error"); }

void memory_err() { err_dump("Memory allocation error"); }

void handle_signals() {
  if (quit_requested) quit();
  if (refresh_requested) {
    refresh_requested = 0;
    refresh_db();
  }
  if (status_requested) {
    status_requested = 0;
    log_status();
  }
  if (reload_requested) reload_rules(*ALRM_table_ptr);
}

namespace {

// Every aggregate's items are kept for the longest keep time of all.
int longest_keep(const std::string &) { return ALRM_table_ptr->longest_keep(); }

}  // namespace

void refresh_db() {
  if (refreshing || ALRM_table_ptr->db_clean()) return;
  refreshing = 1;
  HistoryStore *store = ALRM_table_ptr->store();
  if (store != nullptr &&
      store->refresh(static_cast<int>(time(nullptr)), longest_keep) == 0)
    ALRM_stats.last_refresh = time(nullptr);
  ALRM_table_ptr->set_db_clean();
  refreshing = 0;
}

// ---- Polling

// A connection that failed or ended before its client named a command (a
// failed login) is checked with application 0; one still open without a
// command waits until it has one.
int read_from_monitor(const Mon_Conn_t *conn, Record &rec) {
  int port = ntohs(conn->dstSockAddr.sin_port);
  bool finished = conn->endTime != 0 || !(conn->connState & MON_ACTIVE) ||
                  static_cast<int>(conn->socksErrType) > 0;
  switch (conn->socksCmd) {
    case 3: port = -port; break;  // UDP associate
    case 1:
    case 2: break;                // connect, bind
    case 0:                       // none yet
      if (!finished) return -1;
      port = 0;
      break;
    default: return -1;           // not one we know
  }
  int duration = seconds_between(
      conn->startTime, conn->endTime != 0 ? conn->endTime : conn->curTime);
  return rec.set_value(
      static_cast<int>(conn->srcSockAddr.sin_addr.s_addr),
      static_cast<int>(conn->dstSockAddr.sin_addr.s_addr), conn->userName,
      conn->curTime, port, static_cast<int>(conn->socksErrType),
      conn->inTotBytes, conn->outTotBytes,
      conn->srcHostName, conn->dstHostName, conn->applicName,
      static_cast<int>(conn->key.word[0]), duration, conn->readTime,
      static_cast<int>(conn->alarmKey), 0, finished);
}

// One connection taken from the table, checked.
static void take(AlarmTable &alarm_table, Mon_Conn_t &conn, int32_t now, Record &rec) {
  conn.curTime = now;  // the moment this reader took it
  ALRM_stats.taken++;
  ALRM_stats.last_taken_ms = monotonic_ms();
  missed.taken(conn);
  errno = 0;  // the scan's own errno would end up in this record's reports
  if (read_from_monitor(&conn, rec) == 0) {
    ALRM_stats.checked++;
    alarm_table.check(rec);
  } else {
    ALRM_stats.invalid++;
  }
  handle_signals();
}

// A batch of connections checked together, for a store that takes a
// batch's changes in one round trip; signals are acted on after it.
static void take_batch(AlarmTable &alarm_table, Mon_Conn_t *conns, int n,
                       int32_t now) {
  static Record recs[kBatch];
  int valid = 0;
  for (int i = 0; i < n; i++) {
    conns[i].curTime = now;
    ALRM_stats.taken++;
    missed.taken(conns[i]);
    errno = 0;
    if (read_from_monitor(&conns[i], recs[valid]) == 0) {
      ALRM_stats.checked++;
      valid++;
    } else {
      ALRM_stats.invalid++;
    }
  }
  if (n > 0) ALRM_stats.last_taken_ms = monotonic_ms();
  alarm_table.check_many(recs, valid);
  handle_signals();
}

// Takes every changed connection, a batch per hold of the table's lock.  A pass that found something is followed
// by the next at once; after one that found nothing the loop waits for the
// writer's next change, at most poll_ms (a signal or an ending command cuts
// the wait short), or, once the table has been idle for refr_time seconds,
// refreshes the history instead.  A signal that ends a wait for the
// table's lock ends the pass.  Whether the table is still the live one is
// looked at every kWatchMs.
void process_mmap(AlarmTable &alarm_table, void *&handle, int refr_time) {
  static Record rec;
  static Mon_Conn_t batch[kBatch];
  int32_t index = 0;
  bool found = false;
  int status = 0;

  handle_signals();
  int64_t start = monotonic_ms();
  if (handle == nullptr || start - last_watch_ms >= kWatchMs) {
    if (table_watch(handle)) missed.reset();  // before the table's semaphores are used
    last_watch_ms = start;
  }
  for (;;) {
    int32_t now = static_cast<int32_t>(time(nullptr));
    if (!table_read([&] { status = Mon_MmapGetChanged(handle, now, &index, batch, kBatch); })) {
      table_lost(handle);  // its file cut short under the mapping
      missed.reset();
      return;
    }
    if (status <= 0) break;
    found = true;
    HistoryStore *store = alarm_table.store();
    // Traced, each record's lines stay before its check's.
    if (store != nullptr && store->batches() && !alarm_table.trace())
      take_batch(alarm_table, batch, status, now);
    else
      for (int i = 0; i < status; i++) take(alarm_table, batch[i], now, rec);
    status = 0;
    if (index == 0) break;  // the scan came to its end
  }
  trace_flush();  // the pass's trace, before its commands start
  if (status == -1) {
    if (!table_read_failed(handle)) {
      handle_signals();
      return;
    }
    missed.reset();
  }
  missed.pass_done();
  housekeeping(handle);

  int64_t now = monotonic_ms();
  if (found) {
    idle_since_ms = 0;
    woken_by_writer = false;
    return;
  }
  if (idle_since_ms == 0) idle_since_ms = now;
  if (refr_time != 0 && now - idle_since_ms >= static_cast<int64_t>(refr_time) * 1000) {
    refresh_db();
    idle_since_ms = monotonic_ms();
    return;
  }
  int wait = poll_ms;
  int timer = ALRM_action_queue.next_timer_ms();
  if (timer >= 0 && timer < wait) wait = timer;
  wait_for_change(handle, wait);
  handle_signals();
}

void set_poll_interval(int ms) { poll_ms = ms; }

int tollwatch_main(int argc, char **argv) {
  Options o = parse_args(argc, argv);
  ALRM_parsed_file = o.parsedfile;
  ALRM_rule_file = o.inputfile;
  ALRM_stats.started = time(nullptr);
  ALRM_stats.started_ms = monotonic_ms();
  metrics_track(&missed);
  metrics_file(o.metrics);
  if (o.check) {
    check_config(o.inputfile);
    printf("configuration OK\n");
    return 0;
  }
  if (o.writer != nullptr) table_writer(user_arg(o.writer));
  ALRM_daemon = o.ds || o.syslog;
  mon_Daemon = ALRM_daemon;  // the table library's reports go the same way
  if (o.ds) daemon_start(0);
  err_init(argv[0]);
  open_wake_pipe();
  install_handler(SIGHUP, reload_signal);

  AlarmTable alarm_table(o.inputfile, o.datafile);
  if (o.traceflag) {
    if (o.ds) open_trace(kTraceFile);
    alarm_table.set_trace();
  }
  alarm_table.set_log(o.log);
  poll_ms = o.poll_ms;
  ALRM_action_queue.configure(o.children, o.timeout);
  ALRM_action_sink = &ALRM_action_queue;
  install_handler(SIGTERM, quit_handle);
  install_handler(SIGUSR1, status_signal);
  install_handler(SIGCHLD, child_signal);
  install_handler(SIGBUS, table_fault_signal);
  Mon_MmapSetLockWait(kLockWaitMs, signal_pending);

  Mon_Handle_t handle;
  bool waiting = false;
  if (Mon_MmapOpen(MON_ALARM_READER, &handle) == 0) {
    ALRM_stats.attached = true;
    table_attached(handle);
  } else if (table_refused_at_start(handle) || table_unfit_at_start(handle)) {
    Mon_MmapDrop(handle);
    handle = nullptr;
    waiting = true;
  } else {
    err_quit("monitor mmap open error");
  }
  last_sweep_ms = monotonic_ms();
  daemon_ready();
  if (waiting) table_watch(handle);  // as for a lost table
  for (;;) process_mmap(alarm_table, handle, o.refresh_time);
}
