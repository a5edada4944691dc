// Reading feed script lines: words, keys, addresses, numbers and the
// NAME=VALUE words each kind of line accepts.
#include "feedscript.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace feedscript {

namespace {

const double kDefaultWait = 30;

__attribute__((format(printf, 2, 3)))
bool Fail(std::string *err, const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  *err = buf;
  return false;
}

// Splits a line into words at blanks.  Double quotes group blanks into a
// word and are dropped; a word starting with '#' begins a comment.
bool SplitWords(const std::string &line, std::vector<std::string> *words,
                std::string *err) {
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
      if (q == std::string::npos) return Fail(err, "unterminated quote");
      w.append(line, i + 1, q - i - 1);
      i = q + 1;
    }
    words->push_back(w);
  }
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
    ev->hasTime = true;
  }
  return true;
}

// Reads "WORD KEY NAME=VALUE...", accepting only the names in `allowed`.
bool ParseEvent(const std::vector<std::string> &w, const char *allowed,
                Event *ev, std::string *err) {
  if (w.size() < 2) return Fail(err, "%s: missing key", w[0].c_str());
  if (!ParseKey(w[1], &ev->key))
    return Fail(err, "%s: bad key \"%s\"", w[0].c_str(), w[1].c_str());
  ev->time = (int32_t)time(nullptr);
  std::string names = std::string(" ") + allowed + " ";
  for (size_t i = 2; i < w.size(); i++) {
    size_t eq = w[i].find('=');
    std::string name = w[i].substr(0, eq);
    if (eq == std::string::npos || eq == 0 ||
        names.find(" " + name + " ") == std::string::npos)
      return Fail(err, "%s: unknown word \"%s\"", w[0].c_str(), w[i].c_str());
    if (!SetOption(name, w[i].substr(eq + 1), ev))
      return Fail(err, "%s: bad value in \"%s\"", w[0].c_str(), w[i].c_str());
  }
  return true;
}

// Reads the optional seconds argument of sleep and the waits.
bool ParseDelay(const std::vector<std::string> &w, double dflt, double *out,
                std::string *err) {
  *out = dflt;
  if (w.size() > 2) return Fail(err, "%s: too many words", w[0].c_str());
  if (w.size() == 2 && !ParseSeconds(w[1], out))
    return Fail(err, "%s: bad seconds \"%s\"", w[0].c_str(), w[1].c_str());
  return true;
}

struct KeyCommand {
  const char *word;
  const char *options;  // NAME= words allowed after the key
  Kind kind;
};

const KeyCommand kKeyCommands[] = {
    {"start", "user src srchost auth time", Kind::kStart},
    {"update", "cmd in out app proxy proxyhost dst dsthost time", Kind::kUpdate},
    {"error", "code msg time", Kind::kError},
    {"end", "time", Kind::kEnd},
};

bool ParseWords(const std::vector<std::string> &w, Step *step,
                std::string *err) {
  if (w[0] == "sleep") {
    step->kind = Kind::kSleep;
    if (w.size() != 2) return Fail(err, "sleep: expected SECONDS");
    return ParseDelay(w, 0, &step->seconds, err);
  }
  if (w[0] == "wait-reader" || w[0] == "wait-drained") {
    step->kind = w[0] == "wait-reader" ? Kind::kWaitReader : Kind::kWaitDrained;
    return ParseDelay(w, kDefaultWait, &step->seconds, err);
  }
  for (const KeyCommand &c : kKeyCommands) {
    if (w[0] != c.word) continue;
    step->kind = c.kind;
    if (!ParseEvent(w, c.options, &step->ev, err)) return false;
    if (c.kind == Kind::kError && !step->ev.hasCode)
      return Fail(err, "error: missing code=N");
    return true;
  }
  return Fail(err, "unknown word \"%s\"", w[0].c_str());
}

}  // namespace

bool ParseNum(const std::string &v, unsigned long max, unsigned long *out) {
  if (v.empty() || !isdigit((unsigned char)v[0])) return false;
  char *end;
  errno = 0;
  unsigned long x = strtoul(v.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || x > max) return false;
  *out = x;
  return true;
}

bool ParseLine(const std::string &line, Step *step, std::string *err) {
  *step = Step();
  std::vector<std::string> words;
  if (!SplitWords(line, &words, err)) return false;
  if (words.empty()) return true;
  return ParseWords(words, step, err);
}

}  // namespace feedscript
