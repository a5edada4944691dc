// tollwatch: the command line, start-up, the polling loop over the
// connection table, and what the daemon does on its signals.
#include <arpa/inet.h>
#include <errno.h>
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
#include "monErr.h"
#include "monMmap.h"
#include "sigfix.h"

namespace {

const char kTraceFile[] = "/tmp/tollwatch.log";

volatile sig_atomic_t quit_requested;
volatile sig_atomic_t refresh_requested;
int refreshing;      // a refresh is running
int idle_count = 1;  // idle polling passes, plus one

struct Options {
  const char *inputfile = "./tollwatch.conf";
  const char *datafile = "datafile";
  int refresh_time = 3600;
  int ds = 1;
  int log = 1;
  int traceflag = 0;
  int check = 0;        // -n: check the rules and exit
  int syslog = 0;       // -S: the system log in the foreground too
  const char *parsedfile = nullptr;
};

[[noreturn]] void usage(const char *pname) {
  printf("Usage: %s [-i inputfile] [-d datafile] ", pname);
  printf("[-r refresh_time] [-f] [-l] [-t] [-h]\n");
  printf("where  f:foreground;  l:syslog no action;  t:trace %s;  h:this help\n",
         kTraceFile);
  printf("       [-n] [-P parsedfile] [-S] [-V] [--help] [--version]\n");
  printf("where  n:check the rules and exit;  P:parsed rules there;  "
         "S:syslog in the foreground;  V:version\n");
  exit(0);
}

[[noreturn]] void version() {
  printf("tollwatch %s\n", TW_VERSION);
  exit(0);
}

// Words not yet consumed are counted by argc; letters may be grouped, and
// each of i, d, r takes the next word, whatever it looks like.
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
      if (strchr("idrP", *c) != nullptr) {
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
        case 'n': o.check = 1; break;
        case 'P': o.parsedfile = arg; break;
        case 'S': o.syslog = 1; break;
        case 'h': usage(pname);
        case 'V': version();
        default: err_quit("unknown command line option: %c", *c);
      }
    }
  }
  return o;
}

[[noreturn]] void quit() {
  if (db1 != nullptr) dbm_close(db1);
  if (db2 != nullptr) dbm_close(db2);
  db1 = db2 = nullptr;
  SYSLOG(LOG_NOTICE, "process quits on the QUIT signal");
  exit(0);
}

}  // namespace

// ---- Signals: the handlers only take note; the work is done between
// records and after sleeps, never inside malloc, a table scan or a
// history rewrite.

void quit_handle(int) { quit_requested = 1; }

void refresh_signal(int) { refresh_requested = 1; }

void reload_signal(int) { reload_requested = 1; }

void internal_error(int) { err_dump("internal data error"); }

void memory_err() { err_dump("Memory allocation error"); }

void handle_signals() {
  if (quit_requested) quit();
  if (refresh_requested) {
    refresh_requested = 0;
    refresh_db();
  }
  if (reload_requested) reload_rules(*ALRM_table_ptr);
}

void refresh_db() {
  if (refreshing || ALRM_table_ptr->db_clean()) return;
  refreshing = 1;
  Database().refresh();
  ALRM_table_ptr->set_db_clean();
  refreshing = 0;
}

// ---- Polling

int read_from_monitor(const Mon_Conn_t *conn, Record &rec) {
  int port = ntohs(conn->dstSockAddr.sin_port);
  switch (conn->socksCmd) {
    case 3: port = -port; break;  // UDP associate
    case 1:
    case 2: break;                // connect, bind
    default: return -1;           // not known yet
  }
  int duration = conn->endTime != 0 ? conn->endTime - conn->startTime
                                    : conn->curTime - conn->startTime;
  return rec.set_value(
      static_cast<int>(conn->srcSockAddr.sin_addr.s_addr),
      static_cast<int>(conn->dstSockAddr.sin_addr.s_addr), conn->userName,
      conn->curTime, port, static_cast<int>(conn->socksErrType),
      static_cast<int>(conn->inTotBytes), static_cast<int>(conn->outTotBytes),
      conn->srcHostName, conn->dstHostName, conn->applicName,
      static_cast<int>(conn->key.word[0]), duration, conn->readTime,
      static_cast<int>(conn->alarmKey), 0);
}

// Takes every changed connection; sleeps a second when there was none,
// or refreshes the history after refr_time idle passes.
void process_mmap(AlarmTable &alarm_table, void *&handle, int refr_time) {
  static Record rec;
  static Mon_Conn_t conn;
  int32_t index = 0;
  int sleep_flag = 1;
  int status;

  handle_signals();
  table_watch(handle);
  for (;;) {
    int32_t now = static_cast<int32_t>(time(nullptr));
    status = Mon_MmapGetNextConn(handle, now, &index, &conn);
    if (status <= 0) break;
    conn.curTime = now;  // the moment this reader took it
    sleep_flag = 0;
    errno = 0;  // the scan's own errno would end up in this record's reports
    if (read_from_monitor(&conn, rec) == 0) alarm_table.check(rec);
    handle_signals();
  }
  if (status == -1 && !table_watch(handle))
    err_quit("read error in connection table");

  if (!sleep_flag) {
    idle_count = 1;
    return;
  }
  if (refr_time != 0 && ++idle_count > refr_time) {
    refresh_db();
    idle_count = 1;
    return;
  }
  sleep(1);  // a signal ends it early
  handle_signals();
}

int tollwatch_main(int argc, char **argv) {
  Options o = parse_args(argc, argv);
  ALRM_parsed_file = o.parsedfile;
  ALRM_rule_file = o.inputfile;
  if (o.check) {
    check_config(o.inputfile);
    printf("configuration OK\n");
    return 0;
  }
  ALRM_daemon = o.ds || o.syslog;
  mon_Daemon = ALRM_daemon;  // the table library's reports go the same way
  if (o.ds) daemon_start(0);
  err_init(argv[0]);
  install_handler(SIGHUP, reload_signal);

  AlarmTable alarm_table(o.inputfile, o.datafile);
  if (o.traceflag) {
    if (o.ds) open_trace(kTraceFile);
    alarm_table.set_trace();
  }
  alarm_table.set_log(o.log);

  Mon_Handle_t handle;
  if (Mon_MmapOpen(MON_ALARM_READER, &handle) < 0)
    err_quit("monitor mmap open error");
  daemon_ready();
  for (;;) process_mmap(alarm_table, handle, o.refresh_time);
}
