// monfeed: writes connection events into the shared connection table the
// way the proxy server does, and shows what the table holds.
//
//   monfeed [--force] [--group GROUP] [-z SESSIONS] SCRIPT | -
//                          create the table (mode 0660, of GROUP, holding
//                          SESSIONS open ones), run the script, hold the
//                          table; a table whose creator lives is left
//                          alone unless forced
//   monfeed --dump          print every record once (as reader 9)
//   monfeed --watch [N]     print each change as reader N (default 5) takes it

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <grp.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "feedscript.h"
#include "monMmap.h"

namespace {

using feedscript::Event;
using feedscript::Kind;
using feedscript::ParseNum;
using feedscript::Step;

const int kDumpReader = 9;
const double kPollSeconds = 0.1;

volatile sig_atomic_t stopped;

void OnStop(int) { stopped = 1; }

// SIGINT and SIGTERM end every mode cleanly.  Without SA_RESTART a pending
// sleep returns at once.
void CatchStop() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Sleeps for the given time; false when a stop signal came first.
bool Nap(double seconds) {
  struct timespec ts;
  ts.tv_sec = (time_t)seconds;
  ts.tv_nsec = (long)((seconds - ts.tv_sec) * 1e9);
  while (!stopped && nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
  return !stopped;
}

// Blocks until SIGINT or SIGTERM.
void HoldUntilStopped() {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, &old);
  while (!stopped) sigsuspend(&old);
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// ---- Printing records

std::string AddrText(const struct sockaddr_in &sa) {
  char ip[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip) == nullptr)
    strcpy(ip, "?");
  return std::string(ip) + ":" + std::to_string(ntohs(sa.sin_port));
}

std::string CmdText(unsigned cmd) {
  switch (cmd) {
    case 1: return "connect";
    case 2: return "bind";
    case 3: return "udp";
    default: return std::to_string(cmd);
  }
}

std::string ChgText(unsigned chg) {
  std::string s;
  if (chg & MON_CHG_START) s += "+start";
  if (chg & MON_CHG_UPDATE) s += "+update";
  if (chg & MON_CHG_ERROR) s += "+error";
  return s.empty() ? "-" : s.substr(1);
}

// One record on one line.  Texts are printed with the field size as bound,
// since a text that fills its field has no NUL.  The error text may hold
// blanks, so it comes last.
void PrintConn(const Mon_Conn_t &c, unsigned chg) {
  printf("<%lu,%lu> %s start=%d cur=%d end=%d read=%d alarm=%u"
         " in=%u out=%u cmd=%s err=%u auth=%u"
         " src=%s srchost=%.*s proxy=%s proxyhost=%.*s"
         " dst=%s dsthost=%.*s user=%.*s app=%.*s chg=%s msg=%.*s\n",
         (unsigned long)c.key.word[0], (unsigned long)c.key.word[1],
         (c.connState & MON_ACTIVE) ? "active" : "ended",
         c.startTime, c.curTime, c.endTime, c.readTime, c.alarmKey,
         c.inTotBytes, c.outTotBytes, CmdText(c.socksCmd).c_str(),
         c.socksErrType, c.authorize,
         AddrText(c.srcSockAddr).c_str(),
         (int)sizeof c.srcHostName, c.srcHostName,
         AddrText(c.proxySockAddr).c_str(),
         (int)sizeof c.proxyHostName, c.proxyHostName,
         AddrText(c.dstSockAddr).c_str(),
         (int)sizeof c.dstHostName, c.dstHostName,
         (int)sizeof c.userName, c.userName,
         (int)sizeof c.applicName, c.applicName,
         ChgText(chg).c_str(),
         (int)sizeof c.socksErrMsg, c.socksErrMsg);
  fflush(stdout);
}

// ---- Reader modes

// Prints every live record with reader 5's pending change bits.
int RunDump() {
  Mon_Handle_t h;
  if (Mon_MmapOpen(kDumpReader, &h) != 0) {
    fprintf(stderr, "monfeed: cannot attach to the connection table\n");
    Mon_MmapFree(h);
    return 1;
  }
  int32_t index = 0;
  Mon_Conn_t *rec;
  int rc = 0;
  while ((rec = MonMmapIterateConn(h, &index)) != nullptr) {
    Mon_Conn_t copy;
    memcpy(&copy, rec, sizeof copy);
    PrintConn(copy, copy.connState >> MON_CHG_SHIFT(MON_ALARM_READER) & 7);
  }
  if (errno != ESRCH) {  // not the end of the scan: a damaged table
    fprintf(stderr, "monfeed: read error in connection table\n");
    rc = 1;
  }
  if (Mon_MmapClose(h) != 0) rc = 1;
  return rc;
}

// Takes every change as the given reader and prints it, until stopped.
int RunWatch(int reader) {
  Mon_Handle_t h;
  if (Mon_MmapOpen((uint8_t)reader, &h) != 0) {
    fprintf(stderr, "monfeed: cannot attach as reader %d\n", reader);
    Mon_MmapFree(h);
    return 1;
  }
  int rc = 0;
  while (!stopped) {
    int32_t index = 0;
    Mon_Conn_t conn;
    int n, found = 0;
    while ((n = Mon_MmapGetNextConn(h, (int32_t)time(nullptr), &index,
                                    &conn)) == 1) {
      PrintConn(conn, conn.connState & 7);
      found++;
    }
    if (n < 0) {
      fprintf(stderr, "monfeed: read error in connection table\n");
      rc = 1;
      break;
    }
    if (found == 0) Nap(kPollSeconds);
  }
  if (Mon_MmapClose(h) != 0) rc = 1;
  return rc;
}

// ---- Script

struct Script {
  Mon_Handle_t h;
  std::string name;  // for messages
  int line;
  std::string err;   // why the current line failed
};

__attribute__((format(printf, 2, 3)))
bool Fail(Script *s, const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  s->err = buf;
  return false;
}

const char *Text(const std::string &t) { return t.empty() ? nullptr : t.c_str(); }

const struct sockaddr_in *Addr(bool has, const struct sockaddr_in &sa) {
  return has ? &sa : nullptr;
}

bool NoConn(Script *s, const char *what, const Event &ev) {
  return Fail(s, "%s: no connection <%lu,%lu>", what,
              (unsigned long)ev.key.word[0], (unsigned long)ev.key.word[1]);
}

bool DoStart(Script *s, const Event &ev) {
  if (MonMmapStartConn(s->h, ev.key, ev.time, (uint8_t)ev.auth,
                       Text(ev.user), Addr(ev.hasSrc, ev.src),
                       Text(ev.srcHost)) != 0)
    return Fail(s, "start: cannot create connection <%lu,%lu>",
                (unsigned long)ev.key.word[0], (unsigned long)ev.key.word[1]);
  return true;
}

// The update writes command and byte counts every time; those not given
// keep the values the record already has.
bool DoUpdate(Script *s, const Event &ev) {
  uint32_t in = 0, out = 0;
  uint8_t cmd = 0;
  const Mon_Conn_t *rec = MonMmapConnPtr(s->h, ev.key);
  if (rec != nullptr) {
    in = rec->inTotBytes;
    out = rec->outTotBytes;
    cmd = rec->socksCmd;
  }
  if (ev.hasIn) in = (uint32_t)ev.in;
  if (ev.hasOut) out = (uint32_t)ev.out;
  if (ev.hasCmd) cmd = (uint8_t)ev.cmd;
  if (MonMmapUpdateConn(s->h, ev.key, ev.time, in, out, cmd, Text(ev.app),
                        Addr(ev.hasProxy, ev.proxy), Text(ev.proxyHost),
                        Addr(ev.hasDst, ev.dst), Text(ev.dstHost)) != 0)
    return NoConn(s, "update", ev);
  return true;
}

bool DoError(Script *s, const Event &ev) {
  if (MonMmapErrConn(s->h, ev.key, ev.time, (uint32_t)ev.code,
                     Text(ev.msg)) != 0)
    return NoConn(s, "error", ev);
  return true;
}

bool DoEnd(Script *s, const Event &ev) {
  if (MonMmapEndConn(s->h, ev.key, ev.time) != 0) return NoConn(s, "end", ev);
  return true;
}

bool ReaderAttached(Script *) {
  return MonMmapRegion()->procPid[MON_ALARM_READER] != 0;
}

// True when reader 5 has taken every change of every record.
bool Drained(Script *s) {
  int32_t index = 0;
  const Mon_Conn_t *rec;
  while ((rec = MonMmapIterateConn(s->h, &index)) != nullptr)
    if (rec->connState & MON_CHG_MASK(MON_ALARM_READER)) return false;
  return true;
}

bool WaitFor(Script *s, const char *what, double timeout,
             bool (*done)(Script *)) {
  double deadline = Now() + timeout;
  while (!done(s)) {
    if (Now() >= deadline)
      return Fail(s, "%s: timed out after %g s", what, timeout);
    if (!Nap(kPollSeconds)) return Fail(s, "interrupted");
  }
  return true;
}

bool RunStep(Script *s, const Step &st) {
  switch (st.kind) {
    case Kind::kStart: return DoStart(s, st.ev);
    case Kind::kUpdate: return DoUpdate(s, st.ev);
    case Kind::kError: return DoError(s, st.ev);
    case Kind::kEnd: return DoEnd(s, st.ev);
    case Kind::kSleep:
      return Nap(st.seconds) || Fail(s, "interrupted");
    case Kind::kWaitReader:
      return WaitFor(s, "wait-reader", st.seconds, ReaderAttached);
    case Kind::kWaitDrained:
      return WaitFor(s, "wait-drained", st.seconds, Drained);
    case Kind::kNone: break;
  }
  return true;
}

bool RunScript(Script *s, std::istream &in) {
  std::string line;
  while (std::getline(in, line)) {
    s->line++;
    Step st;
    if (!feedscript::ParseLine(line, &st, &s->err)) return false;
    if (st.kind == Kind::kNone) continue;
    if (stopped) return Fail(s, "interrupted");
    if (!RunStep(s, st)) return false;
  }
  return true;
}

// Creates the table, runs the script and holds the table until stopped.
int RunFeed(const char *path, bool force, gid_t group, uint32_t size) {
  std::ifstream file;
  bool useStdin = strcmp(path, "-") == 0;
  if (!useStdin) {
    file.open(path);
    if (!file) {
      fprintf(stderr, "monfeed: cannot open %s: %s\n", path, strerror(errno));
      return 1;
    }
  }
  Script s;
  s.name = useStdin ? "stdin" : path;
  s.line = 0;
  // Creating zeroes the table: a live proxy's table is not ours to take.
  int32_t holder = Mon_MmapLiveCreator();
  if (holder != 0 && !force) {
    fprintf(stderr,
            "monfeed: the connection table is held by live process %ld; "
            "--force takes it over\n", (long)holder);
    return 1;
  }
  Mon_MmapSetMode(0660, group);
  Mon_MmapSetSize(size);
  if (Mon_MmapOpen(0, &s.h) != 0) {
    fprintf(stderr, "monfeed: cannot create the connection table\n");
    Mon_MmapFree(s.h);
    return 1;
  }
  printf("monfeed: table created, pid %ld\n", (long)getpid());
  fflush(stdout);
  bool ok = RunScript(&s, useStdin ? std::cin : file);
  if (ok) {
    printf("monfeed: script done, holding table\n");
    fflush(stdout);
    HoldUntilStopped();
  } else {
    fprintf(stderr, "monfeed: %s:%d: %s\n", s.name.c_str(), s.line,
            s.err.c_str());
  }
  if (Mon_MmapClose(s.h) != 0) return 1;
  return ok ? 0 : 1;
}

const char kUsage[] =
    "usage: monfeed [--force] [--group GROUP] [-z SESSIONS] SCRIPT | -\n"
    "       monfeed --dump\n"
    "       monfeed --watch [READER]\n"
    "       monfeed -h | --help | -V | --version\n";

int Usage() {
  fputs(kUsage, stderr);
  return 1;
}

// A group by name or number; false when there is none.
bool GroupArg(const char *name, gid_t *gid) {
  unsigned long n;
  if (ParseNum(name, static_cast<gid_t>(-1) - 1UL, &n)) {
    *gid = static_cast<gid_t>(n);
    return true;
  }
  const struct group *gr = getgrnam(name);
  if (gr != nullptr) *gid = gr->gr_gid;
  return gr != nullptr;
}

// A table that holds that many open sessions; false when none does.
bool SizeArg(const char *sessions, uint32_t *size) {
  unsigned long n;
  *size = ParseNum(sessions, INT32_MAX, &n) ? Mon_MmapSizeFor((int32_t)n) : 0;
  return *size != 0;
}

// The feeding form: options, then the script.
int Feed(int argc, char **argv) {
  bool force = false;
  gid_t group = static_cast<gid_t>(-1);
  uint32_t size = 0;  // the default table
  if (argc < 2) return Usage();
  for (int i = 1; i < argc - 1; i++) {
    if (strcmp(argv[i], "--force") == 0) {
      force = true;
    } else if (strcmp(argv[i], "--group") == 0 && i + 1 < argc - 1) {
      if (!GroupArg(argv[++i], &group)) {
        fprintf(stderr, "monfeed: --group %s: no such group\n", argv[i]);
        return 1;
      }
    } else if (strcmp(argv[i], "-z") == 0 && i + 1 < argc - 1) {
      if (!SizeArg(argv[++i], &size)) {
        fprintf(stderr, "monfeed: -z %s: not a number of sessions a table"
                " can hold\n", argv[i]);
        return 1;
      }
    } else {
      return Usage();
    }
  }
  const char *script = argv[argc - 1];
  if (script[0] == '-' && strcmp(script, "-") != 0) return Usage();
  return RunFeed(script, force, group, size);
}

}  // namespace

int main(int argc, char **argv) {
  CatchStop();
  if (argc == 2 && (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help"))) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && (!strcmp(argv[1], "-V") || !strcmp(argv[1], "--version"))) {
    printf("monfeed %s\n", TW_VERSION);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--dump") == 0) return RunDump();
  if ((argc == 2 || argc == 3) && strcmp(argv[1], "--watch") == 0) {
    unsigned long reader = MON_ALARM_READER;
    if (argc == 3 && (!ParseNum(argv[2], MON_MAX_PROC - 1, &reader) ||
                      reader == 0))
      return Usage();
    return RunWatch((int)reader);
  }
  return Feed(argc, argv);
}
