// The open sessions of the proxy and their records in the table.
#include "sessions.h"

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "error.h"
#include "format.h"

namespace bridge {

namespace {

constexpr int kNapMs = 5;

int32_t seconds(int64_t us) { return static_cast<int32_t>(us / 1000000); }

struct sockaddr_in sockaddr_of(const Endpoint &e) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(e.port);
  sa.sin_addr.s_addr = e.ip4;
  return sa;
}

const char *text_or_null(const std::string &s) {
  return s.empty() ? nullptr : s.c_str();
}

uint32_t clamp32(uint64_t v) {
  return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

// What an event says, over what a record holds; what it does not give is
// kept.
void fill(Mon_Conn_t *c, const Event &e) {
  if (!e.user.empty()) {
    memset(c->userName, 0, sizeof c->userName);
    memcpy(c->userName, e.user.data(), std::min(e.user.size(), sizeof c->userName));
    c->authorize = 2;  // SOCKS5 username/password
  }
  auto put = [](const Endpoint &e, struct sockaddr_in *sa, char *name,
                size_t size) {
    if (!e.known()) return;
    *sa = sockaddr_of(e);
    memset(name, 0, size);
    memcpy(name, e.name.data(), std::min(e.name.size(), size));
  };
  put(e.src, &c->srcSockAddr, c->srcHostName, sizeof c->srcHostName);
  put(e.proxy, &c->proxySockAddr, c->proxyHostName, sizeof c->proxyHostName);
  put(e.dst, &c->dstSockAddr, c->dstHostName, sizeof c->dstHostName);
  if (!e.app.empty()) {
    memset(c->applicName, 0, sizeof c->applicName);
    memcpy(c->applicName, e.app.data(), std::min(e.app.size(), sizeof c->applicName));
  }
  if (e.cmd != kCmdNone) c->socksCmd = e.cmd;
  if (e.has_bytes) {
    c->inTotBytes = clamp32(e.in);
    c->outTotBytes = clamp32(e.out);
  }
  if (e.err != kErrNone) {
    c->socksErrType = e.err;
    memset(c->socksErrMsg, 0, sizeof c->socksErrMsg);
    memcpy(c->socksErrMsg, e.reason.data(), std::min(e.reason.size(), sizeof c->socksErrMsg));
  }
}

// An endpoint as the record keeps it: the address, or, for one that is
// not IPv4, its text in the host name field.
Endpoint endpoint_of(const struct sockaddr_in &sa, const char *name,
                     size_t size) {
  Endpoint e;
  e.ip4 = sa.sin_addr.s_addr;
  e.port = ntohs(sa.sin_port);
  if (e.ip4 == 0) e.name.assign(name, strnlen(name, size));
  return e;
}

bool alive(uint32_t pid) {
  if (pid == 0 || pid > INT32_MAX) return true;  // not known: never probed
  return !(kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH);
}

}  // namespace

Book::Book(Mon_Handle_t table, const Options &options,
           volatile const int *stop)
    : table_(table), options_(options), stop_(stop) {}

std::string Book::key_of(uint32_t pid, const std::string &sid) {
  std::string k(reinterpret_cast<const char *>(&pid), sizeof pid);
  k += sid;
  return k;
}

Uint64 Book::table_key(const Session &s) {
  Uint64 k;
  k.word[0] = s.pid;
  k.word[1] = s.number;
  return k;
}

void Book::adopt() {
  int32_t index = 0;
  Mon_Conn_t *rec;
  while ((rec = MonMmapIterateConn(table_, &index)) != nullptr) {
    Mon_Conn_t c;
    memcpy(&c, rec, sizeof c);
    Event ev;
    ev.pid = c.key.word[0];
    ev.src = endpoint_of(c.srcSockAddr, c.srcHostName, sizeof c.srcHostName);
    ev.proxy = endpoint_of(c.proxySockAddr, c.proxyHostName,
                           sizeof c.proxyHostName);
    ev.sid = endpoint_text(ev.src) + " " + endpoint_text(ev.proxy);
    uint32_t &next = next_[ev.pid];
    next = std::max(next, c.key.word[1] + 1);
    std::string key = key_of(ev.pid, ev.sid);
    if (!(c.connState & MON_ACTIVE)) {
      ended_.insert(key + '\0' + std::to_string(c.endTime));
      continue;
    }
    ev.user.assign(c.userName, strnlen(c.userName, sizeof c.userName));
    Session &s = open_session(key, ev, c.startTime, c.key.word[1]);
    s.written = true;
    held_--;
    adopted_ = true;
  }
}

void Book::apply(const Event &ev, int64_t now_us) {
  int32_t t = seconds(ev.time_us != 0 ? ev.time_us : now_us);
  switch (ev.kind) {
    case Event::kStart: start(ev, t); break;
    case Event::kError: fail(ev, t); break;
    case Event::kEnd: end(ev, t); break;
  }
}

Book::Session *Book::find(const Event &ev, std::string *key) {
  *key = key_of(ev.pid, ev.sid);
  auto it = open_.find(*key);
  if (it == open_.end() && adopted_ && (ev.src.known() || ev.proxy.known())) {
    // A session adopted from the table is known by its endpoints.
    std::string k = key_of(ev.pid, endpoint_text(ev.src) + " " +
                                       endpoint_text(ev.proxy));
    if ((it = open_.find(k)) != open_.end()) *key = k;
  }
  return it == open_.end() ? nullptr : &it->second;
}

Book::Session &Book::open_session(const std::string &key, const Event &ev,
                                  int32_t t, uint32_t number) {
  order_.push_back(key);
  Session &s = open_[key];
  s.pid = ev.pid;
  s.number = number;
  s.start = ev;
  s.start_s = t;
  s.age = std::prev(order_.end());
  per_pid_[ev.pid]++;
  held_++;
  return s;
}

void Book::close_session(const std::string &key) {
  auto it = open_.find(key);
  if (it == open_.end()) return;
  if (!it->second.written) held_--;
  auto n = per_pid_.find(it->second.pid);
  if (n != per_pid_.end() && --n->second == 0) per_pid_.erase(n);
  order_.erase(it->second.age);
  open_.erase(it);
}

// A new session is numbered at once, so numbers follow the log's order.
void Book::start(const Event &ev, int32_t t) {
  std::string key;
  Session *old = find(ev, &key);
  if (old != nullptr) {
    if (old->start_s >= t - 1 && old->start_s <= t) return;  // read again
    // Its end never came: end it before the new one starts.
    if (old->written) end_record(*old, t);
    close_session(key);
    counters_.evicted++;
  }
  bound_open(t);
  Session &s = open_session(key_of(ev.pid, ev.sid), ev, t, next_[ev.pid]++);
  // A process this host does not run is not probed by the table's
  // cleanup in time: such a session (a replayed log, say) is written
  // whole at its end.
  if (runs_here(ev.pid, t)) write_start(s);
}

void Book::fail(const Event &ev, int32_t t) {
  std::string key;
  Session *s = find(ev, &key);
  if (s == nullptr) {  // a session that failed at once
    end(ev, t);
    return;
  }
  if (s->written) {
    MonMmapErrConn(table_, table_key(*s), t, ev.err,
                   text_or_null(ev.reason));
  } else {
    s->start.err = ev.err;
    s->start.reason = ev.reason;
  }
}

void Book::end(const Event &ev, int32_t t) {
  std::string key;
  Session *s = find(ev, &key);
  if (s == nullptr) {
    std::string k = key_of(ev.pid, ev.sid);
    if (!ended_.empty() && ended_.erase(k + '\0' + std::to_string(t)) != 0)
      return;  // applied before the restart
    Session whole;
    whole.pid = ev.pid;
    whole.number = next_[ev.pid]++;
    whole.start = ev;
    whole.start_s = ev.duration > 0 ? t - ev.duration : t;
    write_whole(whole, ev, t);
    return;
  }
  if (s->written) {
    write_end(*s, ev, t);
  } else {
    write_whole(*s, ev, t);
  }
  close_session(key);
}

// A new record for s, written and marked in one step, so that a reader
// takes it as one change.  False when the table has no room for it.
bool Book::write_new(Session &s, const Mon_Conn_t &c, uint32_t events) {
  Uint64 key = table_key(s);
  bool made = room() && MonMmapCreateConn(table_, key) != nullptr &&
              MonMmapWriteConn(table_, key, &c, events) == 0;
  count_doomed();
  if (!made) full_ = true;  // open connections fill it: wait for an end
  return made;
}

// The start: user, client, command and destination.
bool Book::write_start(Session &s) {
  if (full_) return false;
  Mon_Conn_t c;
  memset(&c, 0, sizeof c);
  // The log's clock is read finer than the readers' time(): a start in
  // the second they have not reached yet would give an open connection a
  // duration of -1.
  c.startTime = c.curTime = std::min(s.start_s, static_cast<int32_t>(time(nullptr)));
  c.connState = MON_ACTIVE;
  c.alarmKey = s.number;
  fill(&c, s.start);
  if (!write_new(s, c, MON_CHG_START | (c.socksErrType ? MON_CHG_ERROR : 0)))
    return false;
  s.written = true;
  held_--;
  counters_.sessions++;
  return true;
}

// The end with its final counts and reason, as one change.
void Book::write_end(const Session &s, const Event &ev, int32_t t) {
  const Mon_Conn_t *rec = MonMmapConnPtr(table_, table_key(s));
  if (rec == nullptr) return;  // ended and taken already (its process died)
  Mon_Conn_t c;
  memcpy(&c, rec, sizeof c);
  fill(&c, ev);
  c.curTime = c.endTime = t;
  c.connState = 0;
  MonMmapWriteConn(table_, table_key(s), &c,
                   MON_CHG_UPDATE | (ev.err ? MON_CHG_ERROR : 0));
  full_ = false;  // its record goes once the readers took the end
}

// A session whose start the table never saw, written whole as one change.
// What the end does not say is taken from the start, when there was one.
bool Book::write_whole(Session &s, const Event &ev, int32_t t) {
  Mon_Conn_t c;
  memset(&c, 0, sizeof c);
  c.startTime = s.start_s;
  c.curTime = c.endTime = t;
  c.alarmKey = s.number;
  fill(&c, s.start);
  fill(&c, ev);
  if (!write_new(s, c, MON_CHG_START | MON_CHG_UPDATE |
                           (c.socksErrType ? MON_CHG_ERROR : 0))) {
    counters_.dropped++;
    return false;
  }
  counters_.sessions++;
  return true;
}

void Book::end_record(const Session &s, int32_t t) {
  MonMmapEndConn(table_, table_key(s), t);
  full_ = false;  // its record goes once the readers took the end
}

// The oldest open sessions end when there are too many.
void Book::bound_open(int32_t t) {
  while (open_.size() >= options_.max_open && !order_.empty()) {
    std::string key = order_.front();
    Session &s = open_[key];
    if (s.written) end_record(s, t);
    close_session(key);
    counters_.evicted++;
  }
}

void Book::tick(int64_t now_us) {
  int32_t t = seconds(now_us);
  std::vector<std::string> gone;
  full_ = false;  // a cleanup may have ended a gone process's records
  bool room_for_held = true;
  for (const std::string &key : order_) {
    Session &s = open_[key];
    if (!runs_here(s.pid, t)) {
      if (s.written) gone.push_back(key);
    } else if (!s.written && room_for_held) {
      room_for_held = write_start(s);  // in order: the rest wait their turn
    }
  }
  // A process that died wrote no end for its sessions.
  for (const std::string &key : gone) {
    Session &s = open_[key];
    const Mon_Conn_t *rec = MonMmapConnPtr(table_, table_key(s));
    if (rec != nullptr && (rec->connState & MON_ACTIVE)) end_record(s, t);
    close_session(key);
    counters_.evicted++;
  }
  // Processes gone with no session left are forgotten.
  for (auto it = next_.begin(); it != next_.end();) {
    bool idle = per_pid_.count(it->first) == 0 && !runs_here(it->first, t);
    if (idle) alive_.erase(it->first);
    it = idle ? next_.erase(it) : std::next(it);
  }
}

bool Book::reader_attached() const {
  int32_t pid = MonMmapRegion()->procPid[MON_ALARM_READER];
  return pid > 0 && !(kill(pid, 0) == -1 && errno == ESRCH);
}

// Ended records whose last change the alarm reader has not taken.
int Book::pending_ended(std::vector<Uint64> *keys) const {
  int32_t index = 0;
  int n = 0;
  Mon_Conn_t *rec;
  while ((rec = MonMmapIterateConn(table_, &index)) != nullptr) {
    uint32_t state = __atomic_load_n(&rec->connState, __ATOMIC_ACQUIRE);
    if (!(state & MON_ACTIVE) && (state & MON_CHG_MASK(MON_ALARM_READER))) {
      n++;
      if (keys != nullptr) keys->push_back(rec->key);
    }
  }
  return n;
}

void Book::nap(int ms) const {
  struct timespec ts = {0, ms * 1000000L};
  nanosleep(&ts, nullptr);
}

// Whether the alarm reader took anything since it was found stuck: it
// stamps each record it takes with the time.
bool Book::reader_moved() const {
  int32_t index = 0;
  Mon_Conn_t *rec;
  while ((rec = MonMmapIterateConn(table_, &index)) != nullptr)
    if (rec->readTime > stuck_at_) return true;
  return false;
}

// Whether a new record may be made now.  When the table would have to
// delete ended connections the alarm reader has not taken, wait for the
// reader (a cleanup deletes what it took).  A reader that is away, or
// stays stuck past the wait, does not hold the bridge up: what the table
// then deletes unseen is counted as dropped (count_doomed).
bool Book::room() {
  doomed_.clear();
  // Only this writer makes records, and deletes only make room: what was
  // free a moment ago is still free, less what was made since.
  if (room_left_ > 0) {
    room_left_--;
    return true;
  }
  if (reader_stuck_ && reader_moved()) reader_stuck_ = false;
  for (int waited = 0;; waited += kNapMs) {
    if ((room_left_ = MonMmapRoom(table_)) > 0) break;
    MonMmapCleanup(table_, 0);
    if ((room_left_ = MonMmapRoom(table_)) > 0 || !reader_attached()) break;
    if (pending_ended(nullptr) == 0) break;  // nothing to lose
    if (reader_stuck_ || *stop_) {
      pending_ended(&doomed_);
      break;
    }
    if (waited >= options_.wait_ms) {
      reader_stuck_ = true;
      stuck_at_ = static_cast<int32_t>(time(nullptr));
      errno = 0;
      err_ret("alarm reader took nothing for %.1f s: sessions are dropped",
              options_.wait_ms / 1000.0);
      pending_ended(&doomed_);
      break;
    }
    nap(kNapMs);
  }
  if (room_left_ > 0) room_left_--;
  return true;
}

// Whether the process runs on this host, asked at most once a second.
bool Book::runs_here(uint32_t pid, int32_t t) {
  Liveness &l = alive_[pid];
  if (l.checked != t) {
    l.checked = t;
    l.alive = alive(pid);
  }
  return l.alive;
}

// Ended records the last create's full cleanup deleted unseen.
void Book::count_doomed() {
  for (const Uint64 &k : doomed_)
    if (MonMmapConnPtr(table_, k) == nullptr) counters_.dropped++;
  doomed_.clear();
}

bool Book::drain(int ms) {
  for (int waited = 0; waited < ms && !*stop_; waited += kNapMs) {
    if (!reader_attached()) return true;  // nobody to wait for
    int32_t index = 0;
    bool pending = false;
    Mon_Conn_t *rec;
    while (!pending && (rec = MonMmapIterateConn(table_, &index)) != nullptr)
      pending = __atomic_load_n(&rec->connState, __ATOMIC_ACQUIRE) &
                MON_CHG_MASK(MON_ALARM_READER);
    if (!pending) return true;
    nap(kNapMs);
  }
  return false;
}

}  // namespace bridge
