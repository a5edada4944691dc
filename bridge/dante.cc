// Format "dante": the server log of Dante 1.4 written with
// "log: connect disconnect error" (iooperation lines are read and skipped).
//
// A line is a header, a level and a message; these headers are read:
//
//   Dec  7 04:54:39 (1796619279.257782) danted[20582]: info: MESSAGE
//   1796619279.257782 host danted[20582]: info: MESSAGE    journalctl -o short-unix
//   Dec  7 04:54:39 host danted[20582]: info: MESSAGE      syslog
//   info: MESSAGE                                          journalctl -o cat
//
// "(SECONDS.MICRO)" or a leading unix time is the event's time (without
// one the event happens now), NAME[PID] the serving process (else 0).
// A session's messages are "VERDICT(RULE): PROTO/COMMAND MARK: BODY", the
// verdict pass or block, the mark "[" when a session starts, "]" when it
// ends and "-" for its I/O in between.  Endpoints are ADDRESS.PORT (IPv6
// too, "::1.1080"); a client may be METHOD%USER@ADDRESS.PORT, the user
// name holding anything, '@' and blanks too.
//
// Events:
//   tcp/connect [, tcp/bind [, udp/udpassociate [   start (UDP: the client's
//                      UDP address and the relay's stand for client and proxy)
//   tcp/connect ], udp/udpassociate ]   end; with bytes when data moved
//                      (the first count went to the client, the second came
//                      from it), else a failed session (block)
//   tcp/bindreply ]    end of the bind session, with its bytes; the
//                      tcp/bind ] after it says nothing
//   tcp/bind ]         end of a bind that got no reply, or was refused
//   block tcp/accept ] a session that failed in negotiation: a login (10),
//                      a client rule (2), anything else by its reason
// A bind or UDP session ends in another process than the one that took
// its request and logged its start; its end is told with the start's.
// The tcp/accept ] that closes a session its process reported just
// before (the same client, or any UDP client) says nothing, nor does a
// passed tcp/accept ] without one: the client left during negotiation.
// tcp/accept [, tcp/bindreply [ and "-" lines say nothing either, nor do
// the server's other messages.  A line without a level, or a session
// message out of shape, is refused.
//
// Reasons and their error codes; the first the reason contains counts:
//   could not resolve                          4  name of the destination
//   blocked by                                 2  a rule refused it
//   connect timeout                            6  destination silent
//   i/o timeout, tcp-fin-wait timeout          0  idle session closed
//   Connection refused                         5
//   Network is unreachable                     3
//   No route to host, Host is unreachable      4
//   timed out, timeout                         6
//   Permission denied, Operation not permitted 2  the host's firewall
//   Connection reset by peer, Broken pipe      0 once data moved, else 1
//   address type                               8
//   unknown socks_v5 command, not supported    7  (command)
//   any other "error (...)"                    1
//   anything else                              0 for pass, 1 for block
//   no reason                                  0 for pass, 2 for block
// A block tcp/accept ] naming a failed login gives 10 before all these.
#include <stdint.h>
#include <string.h>

#include <deque>
#include <string>
#include <unordered_map>

#include "format.h"

namespace bridge {

namespace {

using std::string_view;
constexpr size_t npos = string_view::npos;

// How many '@' of a client are tried as the end of its user name.
constexpr int kMaxAt = 64;
// Sessions whose accept ] line is awaited, and for how many lines.
constexpr int kRecent = 32;
constexpr uint64_t kRecentLines = 1000;
// Bind and UDP sessions whose start process is remembered.
constexpr size_t kMaxStarts = 4096;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool starts_with(string_view s, string_view w) {
  return s.substr(0, w.size()) == w;
}

// Reads a line a piece at a time.  A call that fails may have consumed
// part of what it read; callers then give the line up.
struct Cursor {
  string_view s;

  bool lit(string_view w) {
    if (!starts_with(s, w)) return false;
    s.remove_prefix(w.size());
    return true;
  }

  bool number(uint64_t *v) {
    size_t n = 0;
    uint64_t x = 0;
    for (; n < s.size() && is_digit(s[n]); n++) {
      unsigned d = s[n] - '0';
      if (x > (UINT64_MAX - d) / 10) return false;
      x = x * 10 + d;
    }
    if (n == 0) return false;
    s.remove_prefix(n);
    *v = x;
    return true;
  }

  // Bytes, and for UDP "/packets" after them.
  bool count(uint64_t *v) {
    uint64_t packets;
    if (!number(v)) return false;
    return !lit("/") || number(&packets);
  }

  // ADDRESS.PORT, up to a blank or the end; a ':' after it is left.
  bool endpoint(Endpoint *e, bool names) {
    string_view t = s.substr(0, s.find(' '));
    if (!t.empty() && t.back() == ':') t.remove_suffix(1);
    size_t dot = t.rfind('.');
    if (dot == npos) return false;
    Cursor p{t.substr(dot + 1)};
    uint64_t port;
    if (!p.number(&port) || !p.s.empty() || port > 65535) return false;
    Endpoint got;
    if (!parse_address(t.substr(0, dot), names, &got)) return false;
    got.port = static_cast<uint16_t>(port);
    *e = std::move(got);
    s.remove_prefix(t.size());
    return true;
  }

  // ": REASON" to the end, or nothing at all.
  bool reason(string_view *r) {
    *r = {};
    if (s.empty()) return true;
    if (!lit(": ")) return false;
    *r = s;
    s = {};
    return true;
  }
};

// What a session line's body says.
struct Body {
  std::string user;
  Endpoint client, proxy, dst;
  bool bytes = false;
  uint64_t in = 0, out = 0;
  string_view reason;
};

// A client, "[METHOD%USER@]ADDRESS.PORT", then what tail reads to the end
// of the line.  The user name may hold '@' and what looks like the rest of
// a line, so each '@' is tried in turn, from the left: a reason after the
// client (a destination's name, say) can then not pose as the client.
template <class Tail>
bool client(Cursor c, Body *b, Tail tail) {
  Cursor t = c;
  if (t.endpoint(&b->client, false) && tail(t)) {
    b->user.clear();
    return true;
  }
  string_view s = c.s;
  size_t pct = s.find('%');
  if (pct == 0 || pct == npos || s.substr(0, pct).find(' ') != npos)
    return false;
  size_t at = s.find('@', pct);
  for (int i = 0; at != npos && i < kMaxAt; i++) {
    t.s = s.substr(at + 1);
    if (t.endpoint(&b->client, false) && tail(t)) {
      b->user.assign(s.substr(pct + 1, at - pct - 1));
      return true;
    }
    at = s.find('@', at + 1);
  }
  return false;
}

// " -> EXT DST", optional; the proxy's own outgoing end is not kept.
bool opt_route(Cursor &c, Endpoint *dst) {
  Endpoint ext;
  *dst = Endpoint();
  if (!c.lit(" -> ")) return true;
  return c.endpoint(&ext, true) && c.lit(" ") && c.endpoint(dst, true);
}

// Session bodies (connect, bind, udpassociate):
//   start  CLIENT PROXY [-> EXT DST]
//   ended  A -> CLIENT PROXY -> B, C -> EXT DST -> D: REASON
//   plain  CLIENT PROXY [-> EXT DST] [: REASON]
bool session_start(string_view body, Body *b) {
  return client(Cursor{body}, b, [b](Cursor &t) {
    return t.lit(" ") && t.endpoint(&b->proxy, false) &&
           opt_route(t, &b->dst) && t.s.empty();
  });
}

bool session_ended(string_view body, Body *b) {
  Cursor c{body};
  if (!c.count(&b->in) || !c.lit(" -> ")) return false;
  b->bytes = true;
  return client(c, b, [b](Cursor &t) {
    uint64_t from_dst, to_dst;
    Endpoint ext;
    return t.lit(" ") && t.endpoint(&b->proxy, false) && t.lit(" -> ") &&
           t.count(&b->out) && t.lit(", ") && t.count(&to_dst) &&
           t.lit(" -> ") && t.endpoint(&ext, true) && t.lit(" ") &&
           t.endpoint(&b->dst, true) && t.lit(" -> ") &&
           t.count(&from_dst) && !t.s.empty() && t.reason(&b->reason);
  });
}

bool session_plain(string_view body, Body *b) {
  return client(Cursor{body}, b, [b](Cursor &t) {
    return t.lit(" ") && t.endpoint(&b->proxy, false) &&
           opt_route(t, &b->dst) && t.reason(&b->reason);
  });
}

// Bind reply bodies, from the peer that connected to the bound address
// to the client:
//   start  PEER BOUND -> PROXY CLIENT
//   ended  A -> PEER BOUND -> B, C -> PROXY CLIENT -> D: REASON
//   plain  PEER BOUND -> PROXY CLIENT [: REASON]
bool reply_head(Cursor &c, Body *b) {
  Endpoint bound;
  return c.endpoint(&b->dst, false) && c.lit(" ") &&
         c.endpoint(&bound, false) && c.lit(" -> ");
}

bool reply_plain(string_view body, Body *b) {
  Cursor c{body};
  return reply_head(c, b) && c.endpoint(&b->proxy, false) && c.lit(" ") &&
         client(c, b, [b](Cursor &t) { return t.reason(&b->reason); });
}

bool reply_ended(string_view body, Body *b) {
  Cursor c{body};
  uint64_t to_peer, from_peer;
  if (!c.count(&to_peer) || !c.lit(" -> ") || !reply_head(c, b) ||
      !c.count(&from_peer) || !c.lit(", ") || !c.count(&b->in) ||
      !c.lit(" -> ") || !c.endpoint(&b->proxy, false) || !c.lit(" "))
    return false;
  b->bytes = true;
  return client(c, b, [b](Cursor &t) {
    return t.lit(" -> ") && t.count(&b->out) && !t.s.empty() &&
           t.reason(&b->reason);
  });
}

// Accept bodies, the client's control connection:
//   start  CLIENT PROXY
//   ended  A -> CLIENT PROXY -> B: REASON
//   plain  CLIENT PROXY [: REASON]
bool accept_plain(string_view body, Body *b) {
  return client(Cursor{body}, b, [b](Cursor &t) {
    return t.lit(" ") && t.endpoint(&b->proxy, false) &&
           t.reason(&b->reason);
  });
}

bool accept_ended(string_view body, Body *b) {
  Cursor c{body};
  if (!c.count(&b->in) || !c.lit(" -> ")) return false;
  b->bytes = true;
  return client(c, b, [b](Cursor &t) {
    return t.lit(" ") && t.endpoint(&b->proxy, false) && t.lit(" -> ") &&
           t.count(&b->out) && !t.s.empty() && t.reason(&b->reason);
  });
}

// Cuts ".  Session duration: Ns" off the end of a body.
bool cut_duration(string_view *body, int32_t *secs) {
  static const string_view kWords = ".  Session duration: ";
  *secs = -1;
  size_t at = body->rfind(kWords);
  if (at == npos) return true;
  Cursor c{body->substr(at + kWords.size())};
  uint64_t n;
  if (!c.number(&n) || !c.lit("s") || !c.s.empty() || n > INT32_MAX)
    return false;
  *secs = static_cast<int32_t>(n);
  body->remove_suffix(body->size() - at);
  return true;
}

// A request that failed after negotiation; its reason may name a host
// the client asked for, never a login.
const string_view kNotDone = "request was not performed due to error: ";

// The reason without the words some lines put in front of it.
string_view inner_reason(string_view r) {
  if (starts_with(r, kNotDone)) return r.substr(kNotDone.size());
  size_t colon = r.find(": ");
  if (starts_with(r, "error after reading ") && colon != npos)
    return r.substr(colon + 2);
  return r;
}

constexpr int kResetRule = -1;  // 0 once data moved, else 1

struct ReasonCode {
  const char *words;
  int err;
};

const ReasonCode kReasonCodes[] = {
    {"could not resolve", kErrHostUnreach},
    {"blocked by", kErrNotAllowed},
    {"connect timeout", kErrTtl},
    {"i/o timeout", kErrNone},
    {"tcp-fin-wait timeout", kErrNone},
    {"Connection refused", kErrRefused},
    {"Network is unreachable", kErrNetUnreach},
    {"No route to host", kErrHostUnreach},
    {"Host is unreachable", kErrHostUnreach},
    {"timed out", kErrTtl},
    {"timeout", kErrTtl},
    {"Permission denied", kErrNotAllowed},
    {"Operation not permitted", kErrNotAllowed},
    {"Connection reset by peer", kResetRule},
    {"Broken pipe", kResetRule},
    {"address type", kErrAddrType},
    {"unknown socks_v5 command", kErrCommand},
    {"not supported", kErrCommand},
    {"error (", kErrGeneral},
};

uint32_t reason_err(string_view reason, bool block, bool moved) {
  for (const ReasonCode &r : kReasonCodes) {
    if (reason.find(r.words) == npos) continue;
    if (r.err == kResetRule) return moved ? kErrNone : kErrGeneral;
    return static_cast<uint32_t>(r.err);
  }
  if (reason.empty()) return block ? kErrNotAllowed : kErrNone;
  return block ? kErrGeneral : kErrNone;
}

// The failed logins a server reports in negotiation, and the words
// around the user.
struct Login {
  const char *before, *after;
};

const Login kLogins[] = {
    {"authentication failed for user \"", "\""},
    {"could not access user \"", "\"'s records"},
    {"no user \"", "\" found"},
    {"crypt(3) failed for user \"", "\": "},
    {"pam_authenticate() for user \"", "\" failed"},
};

const char *const kLoginWords[] = {"authentication failed", "pam_",
                                   "bsdauth", "system password"};

bool failed_login(string_view reason, std::string *user) {
  if (starts_with(reason, kNotDone)) return false;
  for (const Login &l : kLogins) {
    size_t at = reason.find(l.before);
    if (at == npos) continue;
    at += strlen(l.before);
    size_t end = reason.rfind(l.after);
    if (end == npos || end < at) continue;
    user->assign(reason.substr(at, end - at));
    return true;
  }
  for (const char *w : kLoginWords)
    if (reason.find(w) != npos) return true;
  return false;
}

// The name in 'could not resolve hostname "NAME": ...', when it is one.
void unresolved_name(string_view reason, Endpoint *dst) {
  static const string_view kWords = "could not resolve hostname \"";
  size_t at = reason.find(kWords);
  if (at == npos) return;
  at += kWords.size();
  size_t end = reason.rfind('"');
  if (end > at) parse_address(reason.substr(at, end - at), true, dst);
}

bool parse_time(string_view t, int64_t *us) {
  Cursor c{t};
  uint64_t s, frac = 0;
  if (!c.number(&s) || s > 100000000000ull) return false;
  if (c.lit(".")) {
    size_t digits = c.s.size();
    if (digits == 0 || digits > 9 || !c.number(&frac)) return false;
    for (; digits < 6; digits++) frac *= 10;
    for (; digits > 6; digits--) frac /= 10;
  }
  if (!c.s.empty()) return false;
  *us = static_cast<int64_t>(s * 1000000 + frac);
  return true;
}

bool is_level(string_view w) {
  static const string_view kLevels[] = {"emerg", "alert", "crit", "error",
                                        "warning", "notice", "info", "debug"};
  for (string_view l : kLevels)
    if (w == l) return true;
  return false;
}

// The head of a line; msg is what follows the level.
struct Head {
  uint32_t pid = 0;
  int64_t time_us = 0;
  string_view msg;
};

// "... NAME[PID]" with "(SECONDS.MICRO)" or a leading unix time in it.
void read_header(string_view h, Head *head) {
  size_t open = h.rfind('[');
  if (!h.empty() && h.back() == ']' && open != npos) {
    Cursor c{h.substr(open + 1, h.size() - open - 2)};
    uint64_t pid;
    if (c.number(&pid) && c.s.empty() && pid <= UINT32_MAX)
      head->pid = static_cast<uint32_t>(pid);
  }
  size_t start = 0;
  while (start < h.size()) {
    size_t end = h.find(' ', start);
    if (end == npos) end = h.size();
    string_view tok = h.substr(start, end - start);
    if (tok.size() > 2 && tok.front() == '(' && tok.back() == ')')
      tok = tok.substr(1, tok.size() - 2);
    else if (start != 0)
      tok = {};
    if (!tok.empty() && parse_time(tok, &head->time_us)) return;
    start = end + 1;
  }
}

bool read_head(string_view line, Head *head) {
  size_t colon = line.find(": ");
  if (colon == npos) return false;
  string_view first = line.substr(0, colon);
  if (is_level(first)) {
    head->msg = line.substr(colon + 2);
    return true;
  }
  read_header(first, head);
  string_view rest = line.substr(colon + 2);
  colon = rest.find(": ");
  if (colon == npos || !is_level(rest.substr(0, colon))) return false;
  head->msg = rest.substr(colon + 2);
  return true;
}

// "VERDICT(RULE): PROTO/COMMAND MARK: BODY"
struct Line {
  Head head;
  bool block = false;
  uint64_t rule = 0;
  string_view what;
  char mark = 0;
  string_view body;
};

bool read_session(string_view msg, Line *l) {
  Cursor c{msg};
  if (c.lit("block(")) l->block = true;
  else if (!c.lit("pass(")) return false;
  if (!c.number(&l->rule) || !c.lit("): ")) return false;
  size_t blank = c.s.find(' ');
  if (blank == npos || c.s.size() < blank + 4) return false;
  l->what = c.s.substr(0, blank);
  l->mark = c.s[blank + 1];
  c.s.remove_prefix(blank + 2);
  if (!c.lit(": ")) return false;
  l->body = c.s;
  return true;
}

std::string rule_text(const Line &l, const char *kind) {
  return std::string("blocked by ") + kind + " #" + std::to_string(l.rule);
}

class Dante : public Format {
 public:
  bool parse(string_view line, std::vector<Event> *out) override;

 private:
  // A session line of a process that its accept ] line will close.
  struct Recent {
    enum What { kFree, kSession, kUdp, kBindDone };
    What what = kFree;
    uint32_t pid = 0;
    std::string key;  // the client's endpoint, or the bind's sid
    uint64_t line = 0;
  };
  struct Start {
    uint32_t pid;
    uint64_t seq;
  };

  bool session(const Line &l, uint8_t cmd, std::vector<Event> *out);
  bool bind_reply(const Line &l, std::vector<Event> *out);
  bool accept(const Line &l, std::vector<Event> *out);
  Event event(const Line &l, Event::Kind kind, uint8_t cmd,
              const Body &b) const;

  void note(Recent::What what, uint32_t pid, std::string key);
  bool take(Recent::What what, uint32_t pid, const std::string &key);
  void note_start(const std::string &sid, uint32_t pid);
  uint32_t take_start(const std::string &sid, uint32_t pid);

  Recent recent_[kRecent];
  int next_recent_ = 0;
  uint64_t lines_ = 0;
  // Bind and UDP sessions start in the process that took the request and
  // end in the one that moved their data; the end is told with the
  // start's process so that both name one session.
  std::unordered_map<std::string, Start> starts_;
  std::deque<std::pair<std::string, uint64_t>> start_order_;
  uint64_t start_seq_ = 0;
};

bool Dante::parse(string_view line, std::vector<Event> *out) {
  if (line.size() > kMaxLine) return false;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  lines_++;
  Line l;
  if (!read_head(line, &l.head)) return false;
  if (!starts_with(l.head.msg, "pass(") && !starts_with(l.head.msg, "block("))
    return true;  // the server's own news
  if (!read_session(l.head.msg, &l)) return false;
  if (l.mark != '[' && l.mark != ']' && l.mark != '-') return false;
  if (l.what == "tcp/accept") return accept(l, out);
  if (l.what == "tcp/connect") return session(l, kCmdConnect, out);
  if (l.what == "tcp/bind") return session(l, kCmdBind, out);
  if (l.what == "udp/udpassociate") return session(l, kCmdUdp, out);
  if (l.what == "tcp/bindreply") return bind_reply(l, out);
  return l.what == "udp/udpreply";
}

Event Dante::event(const Line &l, Event::Kind kind, uint8_t cmd,
                   const Body &b) const {
  Event e;
  e.kind = kind;
  e.time_us = l.head.time_us;
  e.pid = l.head.pid;
  e.user = b.user;
  e.src = b.client;
  e.proxy = b.proxy;
  e.dst = b.dst;
  e.sid = endpoint_sid(e.src, e.proxy);
  e.cmd = cmd;
  e.has_bytes = b.bytes;
  e.in = b.in;
  e.out = b.out;
  e.reason.assign(inner_reason(b.reason));
  return e;
}

bool Dante::session(const Line &l, uint8_t cmd, std::vector<Event> *out) {
  Body b;
  if (l.mark == '-') return true;
  if (l.mark == '[') {
    if (!session_start(l.body, &b)) return false;
    out->push_back(event(l, Event::kStart, cmd, b));
    if (cmd != kCmdConnect) note_start(out->back().sid, l.head.pid);
    return true;
  }
  string_view body = l.body;
  int32_t secs;
  if (!cut_duration(&body, &secs)) return false;
  if (!session_ended(body, &b)) {
    b = Body();
    if (!session_plain(body, &b)) return false;
  }
  std::string sid = endpoint_sid(b.client, b.proxy);
  note(cmd == kCmdUdp ? Recent::kUdp : Recent::kSession, l.head.pid,
       endpoint_text(b.client));
  if (cmd == kCmdBind && take(Recent::kBindDone, l.head.pid, sid))
    return true;  // its reply's end ended it
  Event e = event(l, Event::kEnd, cmd, b);
  e.duration = secs;
  e.err = reason_err(b.reason, l.block, b.in != 0 || b.out != 0);
  if (!e.dst.known()) unresolved_name(b.reason, &e.dst);
  if (l.block && b.reason.empty()) e.reason = rule_text(l, "socks-rule");
  if (cmd != kCmdConnect) e.pid = take_start(sid, l.head.pid);
  out->push_back(std::move(e));
  return true;
}

bool Dante::bind_reply(const Line &l, std::vector<Event> *out) {
  Body b;
  string_view body = l.body;
  int32_t secs;
  if (l.mark == '-') return true;
  if (l.mark == '[') return reply_plain(body, &b) && b.reason.empty();
  if (!cut_duration(&body, &secs)) return false;
  if (!reply_ended(body, &b)) {  // refused: the bind's own end tells it
    b = Body();
    return reply_plain(body, &b);
  }
  Event e = event(l, Event::kEnd, kCmdBind, b);
  e.duration = secs;
  e.err = reason_err(b.reason, l.block, b.in != 0 || b.out != 0);
  e.pid = take_start(e.sid, l.head.pid);
  note(Recent::kBindDone, l.head.pid, e.sid);
  out->push_back(std::move(e));
  return true;
}

bool Dante::accept(const Line &l, std::vector<Event> *out) {
  Body b;
  string_view body = l.body;
  int32_t secs;
  if (l.mark == '-') return true;
  if (l.mark == '[') return accept_plain(body, &b) && b.reason.empty();
  if (!cut_duration(&body, &secs)) return false;
  if (!accept_ended(body, &b)) {
    b = Body();
    if (!accept_plain(body, &b)) return false;
  }
  if (take(Recent::kSession, l.head.pid, endpoint_text(b.client)) ||
      !l.block)
    return true;
  Event e = event(l, Event::kEnd, kCmdNone, b);
  e.duration = secs;
  if (failed_login(b.reason, &e.user)) {
    e.err = kErrAuth;
  } else {
    e.err = reason_err(b.reason, true, false);
    if (b.reason.empty()) e.reason = rule_text(l, "client-rule");
  }
  out->push_back(std::move(e));
  return true;
}

void Dante::note(Recent::What what, uint32_t pid, std::string key) {
  Recent &r = recent_[next_recent_];
  next_recent_ = (next_recent_ + 1) % kRecent;
  r.what = what;
  r.pid = pid;
  r.key = std::move(key);
  r.line = lines_;
}

// A session of the same process: the same client, else any UDP one
// (whose client address is its UDP end, not the control connection's).
bool Dante::take(Recent::What what, uint32_t pid, const std::string &key) {
  Recent *udp = nullptr;
  for (Recent &r : recent_) {
    if (r.what == Recent::kFree || r.pid != pid ||
        lines_ - r.line > kRecentLines)
      continue;
    if (r.what == what && r.key == key) {
      r.what = Recent::kFree;
      return true;
    }
    if (what == Recent::kSession && r.what == Recent::kUdp &&
        (udp == nullptr || r.line > udp->line))
      udp = &r;
  }
  if (udp == nullptr) return false;
  udp->what = Recent::kFree;
  return true;
}

void Dante::note_start(const std::string &sid, uint32_t pid) {
  starts_[sid] = Start{pid, ++start_seq_};
  start_order_.emplace_back(sid, start_seq_);
  while (start_order_.size() > kMaxStarts) {
    auto it = starts_.find(start_order_.front().first);
    if (it != starts_.end() && it->second.seq == start_order_.front().second)
      starts_.erase(it);
    start_order_.pop_front();
  }
}

uint32_t Dante::take_start(const std::string &sid, uint32_t pid) {
  auto it = starts_.find(sid);
  if (it == starts_.end()) return pid;
  pid = it->second.pid;
  starts_.erase(it);
  return pid;
}

}  // namespace

Format *new_dante_format() { return new Dante; }

}  // namespace bridge
