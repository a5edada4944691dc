// monfeed: writes connection events into the shared connection table the
// way the proxy server does, and shows what the table holds.
//
//   monfeed SCRIPT | -      create the table, run the script, hold the table
//   monfeed --dump          print every record once (as reader 9)
//   monfeed --watch [N]     print each change as reader N (default 5) takes it

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
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

#include "monMmap.h"

namespace {

const int kDumpReader = 9;
const double kPollSeconds = 0.1;
const double kDefaultWait = 30;

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

// Splits a line into words at blanks.  Double quotes group blanks into a
// word and are dropped; a word starting with '#' begins a comment.
bool SplitWords(Script *s, const std::string &line,
                std::vector<std::string> *words) {
  size_t i = 0, n = line.size();
  for (;;) {
    while (i < n && isspace((unsigned char)line[i])) i++;
    if (i == n || line[i] == '#') return true;
    std::string w;
    while (i < n && !isspace((unsigned char)line[i])) {
      if (line[i] != '"') {
        w += line[i++];
        continue;
      }
      size_t q = line.find('"', i + 1);
      if (q == std::string::npos) return Fail(s, "unterminated quote");
      w.append(line, i + 1, q - i - 1);
      i = q + 1;
    }
    words->push_back(w);
  }
}

bool ParseNum(const std::string &v, unsigned long max, unsigned long *out) {
  if (v.empty() || !isdigit((unsigned char)v[0])) return false;
  char *end;
  errno = 0;
  unsigned long x = strtoul(v.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || x > max) return false;
  *out = x;
  return true;
}

bool ParseSeconds(const std::string &v, double *out) {
  if (v.empty() || !(isdigit((unsigned char)v[0]) || v[0] == '.'))
    return false;
  char *end;
  errno = 0;
  double x = strtod(v.c_str(), &end);
  if (errno != 0 || *end != '\0') return false;
  *out = x;
  return true;
}

// KEY is "N" (served by this process) or "PID,N".
bool ParseKey(const std::string &v, Uint64 *key) {
  unsigned long pid = (unsigned long)getpid(), n;
  size_t comma = v.find(',');
  if (comma != std::string::npos && !ParseNum(v.substr(0, comma),
                                              0xffffffffUL, &pid))
    return false;
  std::string num = comma == std::string::npos ? v : v.substr(comma + 1);
  if (!ParseNum(num, 0xffffffffUL, &n)) return false;
  key->word[0] = (uint32_t)pid;
  key->word[1] = (uint32_t)n;
  return true;
}

// IP:PORT, IPv4 only.
bool ParseAddr(const std::string &v, struct sockaddr_in *sa) {
  size_t colon = v.rfind(':');
  unsigned long port;
  if (colon == std::string::npos ||
      !ParseNum(v.substr(colon + 1), 65535, &port))
    return false;
  memset(sa, 0, sizeof *sa);
  sa->sin_family = AF_INET;
  sa->sin_port = htons((uint16_t)port);
  return inet_pton(AF_INET, v.substr(0, colon).c_str(), &sa->sin_addr) == 1;
}

bool ParseCmd(const std::string &v, unsigned long *cmd) {
  if (v == "connect") *cmd = 1;
  else if (v == "bind") *cmd = 2;
  else if (v == "udp") *cmd = 3;
  else return ParseNum(v, 255, cmd);
  return true;
}

// Everything a start, update, error or end line may say.  Empty texts and
// absent addresses leave the record's field as it is.
struct Event {
  Uint64 key;
  int32_t time;
  unsigned long auth = 0, cmd = 0, in = 0, out = 0, code = 0;
  bool hasCmd = false, hasIn = false, hasOut = false, hasCode = false;
  struct sockaddr_in src, proxy, dst;
  bool hasSrc = false, hasProxy = false, hasDst = false;
  std::string user, srcHost, app, proxyHost, dstHost, msg;
};

const char *Text(const std::string &t) { return t.empty() ? nullptr : t.c_str(); }

const struct sockaddr_in *Addr(bool has, const struct sockaddr_in &sa) {
  return has ? &sa : nullptr;
}

// Stores one NAME=VALUE word; false when the value does not parse.
bool SetOption(const std::string &name, const std::string &v, Event *ev) {
  const unsigned long kMax32 = 0xffffffffUL;
  unsigned long t;
  if (name == "user") ev->user = v;
  if (name == "srchost") ev->srcHost = v;
  if (name == "app") ev->app = v;
  if (name == "proxyhost") ev->proxyHost = v;
  if (name == "dsthost") ev->dstHost = v;
  if (name == "msg") ev->msg = v;
  if (name == "auth") return ParseNum(v, 255, &ev->auth);
  if (name == "src") return ev->hasSrc = ParseAddr(v, &ev->src);
  if (name == "proxy") return ev->hasProxy = ParseAddr(v, &ev->proxy);
  if (name == "dst") return ev->hasDst = ParseAddr(v, &ev->dst);
  if (name == "cmd") return ev->hasCmd = ParseCmd(v, &ev->cmd);
  if (name == "in") return ev->hasIn = ParseNum(v, kMax32, &ev->in);
  if (name == "out") return ev->hasOut = ParseNum(v, kMax32, &ev->out);
  if (name == "code") return ev->hasCode = ParseNum(v, kMax32, &ev->code);
  if (name == "time") {
    if (!ParseNum(v, 0x7fffffffUL, &t)) return false;
    ev->time = (int32_t)t;
  }
  return true;
}

// Reads "WORD KEY NAME=VALUE...", accepting only the names in `allowed`.
bool ParseEvent(Script *s, const std::vector<std::string> &w,
                const char *allowed, Event *ev) {
  if (w.size() < 2) return Fail(s, "%s: missing key", w[0].c_str());
  if (!ParseKey(w[1], &ev->key))
    return Fail(s, "%s: bad key \"%s\"", w[0].c_str(), w[1].c_str());
  ev->time = (int32_t)time(nullptr);
  std::string names = std::string(" ") + allowed + " ";
  for (size_t i = 2; i < w.size(); i++) {
    size_t eq = w[i].find('=');
    std::string name = w[i].substr(0, eq);
    if (eq == std::string::npos || eq == 0 ||
        names.find(" " + name + " ") == std::string::npos)
      return Fail(s, "%s: unknown word \"%s\"", w[0].c_str(), w[i].c_str());
    if (!SetOption(name, w[i].substr(eq + 1), ev))
      return Fail(s, "%s: bad value in \"%s\"", w[0].c_str(), w[i].c_str());
  }
  return true;
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
  if (!ev.hasCode) return Fail(s, "error: missing code=N");
  if (MonMmapErrConn(s->h, ev.key, ev.time, (uint32_t)ev.code,
                     Text(ev.msg)) != 0)
    return NoConn(s, "error", ev);
  return true;
}

bool DoEnd(Script *s, const Event &ev) {
  if (MonMmapEndConn(s->h, ev.key, ev.time) != 0) return NoConn(s, "end", ev);
  return true;
}

// Reads the optional seconds argument of sleep and the waits.
bool ParseDelay(Script *s, const std::vector<std::string> &w, double dflt,
                double *out) {
  *out = dflt;
  if (w.size() > 2) return Fail(s, "%s: too many words", w[0].c_str());
  if (w.size() == 2 && !ParseSeconds(w[1], out))
    return Fail(s, "%s: bad seconds \"%s\"", w[0].c_str(), w[1].c_str());
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

bool WaitFor(Script *s, const std::vector<std::string> &w,
             bool (*done)(Script *)) {
  double timeout;
  if (!ParseDelay(s, w, kDefaultWait, &timeout)) return false;
  double deadline = Now() + timeout;
  while (!done(s)) {
    if (Now() >= deadline)
      return Fail(s, "%s: timed out after %g s", w[0].c_str(), timeout);
    if (!Nap(kPollSeconds)) return Fail(s, "interrupted");
  }
  return true;
}

bool DoSleep(Script *s, const std::vector<std::string> &w) {
  double secs;
  if (w.size() != 2) return Fail(s, "sleep: expected SECONDS");
  if (!ParseDelay(s, w, 0, &secs)) return false;
  if (!Nap(secs)) return Fail(s, "interrupted");
  return true;
}

struct KeyCommand {
  const char *word;
  const char *options;  // NAME= words allowed after the key
  bool (*run)(Script *, const Event &);
};

const KeyCommand kKeyCommands[] = {
    {"start", "user src srchost auth time", DoStart},
    {"update", "cmd in out app proxy proxyhost dst dsthost time", DoUpdate},
    {"error", "code msg time", DoError},
    {"end", "time", DoEnd},
};

bool RunWords(Script *s, const std::vector<std::string> &w) {
  if (w[0] == "sleep") return DoSleep(s, w);
  if (w[0] == "wait-reader") return WaitFor(s, w, ReaderAttached);
  if (w[0] == "wait-drained") return WaitFor(s, w, Drained);
  for (const KeyCommand &c : kKeyCommands) {
    if (w[0] != c.word) continue;
    Event ev;
    return ParseEvent(s, w, c.options, &ev) && c.run(s, ev);
  }
  return Fail(s, "unknown word \"%s\"", w[0].c_str());
}

bool RunScript(Script *s, std::istream &in) {
  std::string line;
  while (std::getline(in, line)) {
    s->line++;
    std::vector<std::string> words;
    if (!SplitWords(s, line, &words)) return false;
    if (words.empty()) continue;
    if (stopped) return Fail(s, "interrupted");
    if (!RunWords(s, words)) return false;
  }
  return true;
}

// Creates the table, runs the script and holds the table until stopped.
int RunFeed(const char *path) {
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

int Usage() {
  fprintf(stderr,
          "usage: monfeed SCRIPT | -\n"
          "       monfeed --dump\n"
          "       monfeed --watch [READER]\n");
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  CatchStop();
  if (argc == 2 && strcmp(argv[1], "--dump") == 0) return RunDump();
  if ((argc == 2 || argc == 3) && strcmp(argv[1], "--watch") == 0) {
    unsigned long reader = MON_ALARM_READER;
    if (argc == 3 && (!ParseNum(argv[2], MON_MAX_PROC - 1, &reader) ||
                      reader == 0))
      return Usage();
    return RunWatch((int)reader);
  }
  if (argc == 2 && (argv[1][0] != '-' || strcmp(argv[1], "-") == 0))
    return RunFeed(argv[1]);
  return Usage();
}
