// The history store on a Redis server: connection, the update script, the
// queue of changes kept while the server is away, and the local mirror.
#include "redis_store.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include <hiredis/hiredis.h>

#include <algorithm>
#include <random>
#include <unordered_set>

void (*redis_log)(int priority, const char *msg) = nullptr;

namespace {

// apply_update on the server, on the one key it names.  ARGV: increment,
// replace_time, replace_id, until, keep in ms (<= 0: the expiry stays),
// the added items as little-endian ints.  Gives the items after it.
const char kScript[] = R"lua(
local inc = tonumber(ARGV[1])
local rt, rid = tonumber(ARGV[2]), tonumber(ARGV[3])
local untl, keep = tonumber(ARGV[4]), tonumber(ARGV[5])
local add, w = ARGV[6], inc * 4
local s = redis.call('GET', KEYS[1]) or ''
local n = math.floor(#s / w)
s = string.sub(s, 1, n * w)
local function time(i) return (struct.unpack('<i4', s, (i - 1) * w + 1)) end
-- the first item whose time is after t (after: at or after t)
local function search(t, at)
  local lo, hi = 1, n + 1
  while lo < hi do
    local mid = math.floor((lo + hi) / 2)
    local m = time(mid)
    if m < t or (not at and m == t) then lo = mid + 1 else hi = mid end
  end
  return lo
end
if rt ~= 0 and inc > 1 then
  local i = search(rt, true)
  while i <= n and time(i) == rt do
    local p = (i - 1) * w
    if struct.unpack('<i4', s, p + w - 3) == rid then
      s = string.sub(s, 1, p) .. string.sub(s, p + w + 1)
      n = n - 1
    else
      i = i + 1
    end
  end
end
for p = 1, #add - w + 1, w do
  local q = (search(struct.unpack('<i4', add, p), false) - 1) * w
  s = string.sub(s, 1, q) .. string.sub(add, p, p + w - 1) .. string.sub(s, q + 1)
  n = n + 1
end
s = string.sub(s, (search(untl, true) - 1) * w + 1)
if s == '' then
  redis.call('DEL', KEYS[1])
elseif keep > 0 then
  redis.call('SET', KEYS[1], s, 'PX', keep)
else
  redis.call('SET', KEYS[1], s, 'KEEPTTL')
end
return s
)lua";

constexpr size_t kPipeline = 1024;  // commands sent before reading replies
constexpr int64_t kMaxBackoffMs = 1000;
constexpr int64_t kTrimEveryMs = 10000;

void say(int priority, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
void say(int priority, const char *fmt, ...) {
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  if (redis_log) redis_log(priority, msg);
  else fprintf(stderr, "%s\n", msg);
}

int64_t mono_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string clock_text(time_t t) {
  char buf[32];
  struct tm tm;
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", localtime_r(&t, &tm));
  return buf;
}

bool parse_number(const std::string &s, int max, int &out) {
  if (s.empty() || s.size() > 9) return false;
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > max) return false;
  out = static_cast<int>(v);
  return true;
}

// "redis://HOST[:PORT][/DB]" (HOST may be [v6 address]) or
// "unix:/PATH[?db=N]".
bool parse_url(const std::string &url, std::string &host, int &port,
               std::string &path, int &db) {
  if (url.compare(0, 5, "unix:") == 0) {
    std::string rest = url.substr(5);
    size_t q = rest.find('?');
    path = rest.substr(0, q);
    if (path.size() < 2 || path[0] != '/') return false;
    if (q == std::string::npos) return true;
    std::string query = rest.substr(q + 1);
    return query.compare(0, 3, "db=") == 0 &&
           parse_number(query.substr(3), 65535, db);
  }
  if (url.compare(0, 8, "redis://") != 0) return false;
  std::string rest = url.substr(8);
  size_t slash = rest.find('/');
  std::string hostport = rest.substr(0, slash);
  if (slash != std::string::npos &&
      !parse_number(rest.substr(slash + 1), 65535, db))
    return false;
  size_t colon;
  if (!hostport.empty() && hostport[0] == '[') {
    size_t end = hostport.find(']');
    if (end == std::string::npos) return false;
    host = hostport.substr(1, end - 1);
    colon = end + 1 < hostport.size() ? end + 1 : std::string::npos;
    if (colon != std::string::npos && hostport[colon] != ':') return false;
  } else {
    colon = hostport.find(':');
    host = hostport.substr(0, colon);
  }
  if (host.empty() || host.find_first_of("@/?# ") != std::string::npos)
    return false;
  if (colon != std::string::npos &&
      (!parse_number(hostport.substr(colon + 1), 65535, port) || port == 0))
    return false;
  return true;
}

std::string encode(const std::vector<int> &ints) {
  std::string s(ints.size() * 4, '\0');
  for (size_t i = 0; i < ints.size(); i++) {
    uint32_t v = static_cast<uint32_t>(ints[i]);
    for (int b = 0; b < 4; b++) s[i * 4 + b] = static_cast<char>(v >> (8 * b));
  }
  return s;
}

void decode(const char *p, size_t len, std::vector<int> &ints) {
  ints.resize(len / 4);
  const unsigned char *b = reinterpret_cast<const unsigned char *>(p);
  for (size_t i = 0; i < ints.size(); i++, b += 4)
    ints[i] = static_cast<int>(b[0] | b[1] << 8 | b[2] << 16 |
                               static_cast<uint32_t>(b[3]) << 24);
}

bool starts_with(const char *s, size_t len, const char *head) {
  size_t n = strlen(head);
  return len >= n && memcmp(s, head, n) == 0;
}

std::string glob_escape(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (strchr("*?[]\\", c) && c != '\0') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::unique_ptr<RedisStore> RedisStore::open(const std::string &url,
                                             const std::string &prefix,
                                             const std::string &password_file,
                                             std::string *error) {
  std::unique_ptr<RedisStore> s(new RedisStore);
  s->url_ = url;
  s->prefix_ = prefix;
  if (!parse_url(url, s->host_, s->port_, s->path_, s->db_)) {
    if (error)
      *error = "bad URL (redis://HOST[:PORT][/DB] or unix:/PATH[?db=N])";
    return nullptr;
  }
  if (!password_file.empty()) {
    FILE *f = fopen(password_file.c_str(), "r");
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n = f ? getline(&line, &cap, f) : -1;
    int e = errno;
    if (f) fclose(f);
    if (n > 0) s->password_.assign(line, n);
    free(line);
    while (!s->password_.empty() &&
           (s->password_.back() == '\n' || s->password_.back() == '\r'))
      s->password_.pop_back();
    if (s->password_.empty()) {
      if (error)
        *error = "password file " + password_file + ": " +
                 (f ? "no password on its first line" : strerror(e));
      return nullptr;
    }
  }
  // A server that goes away must not end the process with SIGPIPE (the
  // daemon's commands get it back at its default).
  struct sigaction sa;
  if (sigaction(SIGPIPE, nullptr, &sa) == 0 && sa.sa_handler == SIG_DFL)
    signal(SIGPIPE, SIG_IGN);
  s->down_since_ = time(nullptr);
  s->reconnect_if_due();
  return s;
}

RedisStore::~RedisStore() { close(); }

redisReply *RedisStore::command(const std::vector<std::string> &args) {
  std::vector<const char *> argv;
  std::vector<size_t> lens;
  for (const std::string &a : args) {
    argv.push_back(a.data());
    lens.push_back(a.size());
  }
  void *r = redisCommandArgv(ctx_, static_cast<int>(argv.size()), argv.data(),
                             lens.data());
  if (!r) go_down(ctx_->errstr[0] ? ctx_->errstr : "connection lost");
  return static_cast<redisReply *>(r);
}

// AUTH, SELECT, the script and the marker on a fresh connection.
bool RedisStore::handshake(std::string &why, bool &auth) {
  auto step = [&](const std::vector<std::string> &args,
                  std::string *value) -> bool {
    redisReply *r = command(args);
    if (!r) {
      why = why_down_;
      return false;
    }
    bool ok = r->type != REDIS_REPLY_ERROR;
    if (!ok) why = std::string(r->str, r->len);
    if (ok && value) value->assign(r->str ? r->str : "", r->str ? r->len : 0);
    freeReplyObject(r);
    return ok;
  };
  if (!password_.empty() && !step({"AUTH", password_}, nullptr)) {
    auth = ctx_ != nullptr;
    return false;
  }
  if (db_ && !step({"SELECT", std::to_string(db_)}, nullptr)) return false;
  return step({"SCRIPT", "LOAD", kScript}, &sha_);
}

// The marker key holds a token set by the first daemon to find it absent;
// a token that changed or vanished means the server lost its keys.
bool RedisStore::check_marker(bool &lost) {
  std::string seen;
  for (int round = 0; round < 2; round++) {
    redisReply *r = command({"GET", marker()});
    if (!r) return false;
    bool nil = r->type == REDIS_REPLY_NIL;
    if (r->type == REDIS_REPLY_STRING) seen.assign(r->str, r->len);
    freeReplyObject(r);
    if (!nil) break;
    if (round == 0) {
      char token[32];
      std::random_device rd;
      snprintf(token, sizeof token, "%08x%08x", rd(), rd());
      r = command({"SET", marker(), token, "NX"});
      if (!r) return false;
      freeReplyObject(r);
    }
  }
  lost = !epoch_.empty() && seen != epoch_;
  epoch_ = seen;
  return true;
}

bool RedisStore::connect() {
  struct timeval tv = {0, kTimeoutMs * 1000};
  redisContext *c = path_.empty()
                        ? redisConnectWithTimeout(host_.c_str(), port_, tv)
                        : redisConnectUnixWithTimeout(path_.c_str(), tv);
  if (!c || c->err) {
    why_down_ = c ? c->errstr : "out of memory";
    if (c) redisFree(c);
    return false;
  }
  redisSetTimeout(c, tv);
  ctx_ = c;
  std::string why;
  bool auth = false, lost = false;
  if (!handshake(why, auth) || !check_marker(lost)) {
    if (auth) why = "authentication failed: " + why;
    if (ctx_) redisFree(ctx_);
    ctx_ = nullptr;
    why_down_ = why.empty() ? why_down_ : why;
    return false;
  }
  if (lost) lost_ = true;
  return true;
}

void RedisStore::go_down(const std::string &why) {
  if (ctx_) redisFree(ctx_);
  ctx_ = nullptr;
  why_down_ = why;
  if (!announced_) {
    down_since_ = time(nullptr);
    written_ = 0;
  }
  next_try_ms_ = mono_ms();  // the first retry at once
  backoff_ms_ = 0;
}

bool RedisStore::reconnect_if_due() {
  if (ctx_) return true;
  int64_t now = mono_ms(), backoff = backoff_ms_;
  if (now < next_try_ms_) return false;
  if (!connect()) {  // (a failed command inside resets the back-off)
    backoff_ms_ = backoff ? std::min(backoff * 2, kMaxBackoffMs) : 50;
    next_try_ms_ = now + backoff_ms_;
    if (!announced_) {
      std::string since = clock_text(down_since_);
      if (why_down_.compare(0, 22, "authentication failed:") == 0)
        say(LOG_ERR, "history store %s: %s; unreachable since %s",
            url_.c_str(), why_down_.c_str(), since.c_str());
      else
        say(LOG_ERR, "history store unreachable since %s: %s: %s",
            since.c_str(), url_.c_str(), why_down_.c_str());
      announced_ = true;
    }
    return false;
  }
  backoff_ms_ = 0;
  if (!flush()) return false;
  if (announced_)
    say(LOG_NOTICE, "history store back, %zu updates written", written_);
  if (lost_)
    say(LOG_WARNING,
        "history store lost its data; refilled from %zu buffered updates",
        written_);
  announced_ = lost_ = false;
  written_ = 0;
  return true;
}

// Writes the queue in order, kPipeline commands per round trip.  False
// when the connection was lost (the unconfirmed changes stay queued).
bool RedisStore::flush() {
  int reloads = 0;
  while (ctx_ && !pending_.empty()) {
    size_t n = std::min(pending_.size(), kPipeline);
    for (size_t i = 0; i < n; i++) {
      const Pending &p = pending_[i];
      std::string args[] = {
          "EVALSHA", sha_, "1", prefix_ + p.key,
          std::to_string(p.u.increment), std::to_string(p.u.replace_time),
          std::to_string(p.u.replace_id), std::to_string(p.u.until),
          std::to_string(static_cast<int64_t>(p.u.keep_s) * 1000),
          encode(p.u.add)};
      const char *argv[10];
      size_t lens[10];
      for (int a = 0; a < 10; a++) {
        argv[a] = args[a].data();
        lens[a] = args[a].size();
      }
      redisAppendCommandArgv(ctx_, 10, argv, lens);
    }
    std::vector<Pending> again;  // answered NOSCRIPT: sent once more
    size_t got = 0;
    bool broken = false;
    for (; got < n; got++) {
      void *v = nullptr;
      if (redisGetReply(ctx_, &v) != REDIS_OK || !v) {
        broken = true;
        break;
      }
      redisReply *r = static_cast<redisReply *>(v);
      Pending &p = pending_[got];
      if (r->type == REDIS_REPLY_ERROR &&
          starts_with(r->str, r->len, "NOSCRIPT")) {
        again.push_back(std::move(p));
      } else if (r->type == REDIS_REPLY_ERROR) {
        if (refused_++ % 1000 == 0)
          say(LOG_ERR, "history store %s: update refused: %.*s", url_.c_str(),
              static_cast<int>(r->len), r->str);
        if (p.state) *p.state = 2;
      } else {
        if (p.out && r->type == REDIS_REPLY_STRING) decode(r->str, r->len, *p.out);
        else if (p.out) p.out->clear();
        if (p.state) *p.state = 1;
        written_++;
      }
      freeReplyObject(r);
    }
    pending_.erase(pending_.begin(), pending_.begin() + got);
    pending_.insert(pending_.begin(), std::make_move_iterator(again.begin()),
                    std::make_move_iterator(again.end()));
    if (broken) {
      go_down(ctx_->errstr[0] ? ctx_->errstr : "connection lost");
      return false;
    }
    if (!again.empty()) {
      std::string why;
      bool auth = false;
      if (++reloads > 3) {
        go_down("the update script keeps disappearing");
        return false;
      }
      if (!handshake(why, auth)) {
        if (ctx_) go_down(why);
        return false;
      }
    }
  }
  return ctx_ != nullptr;
}

void RedisStore::mirror_apply(const std::string &key, const ItemUpdate &u) {
  Mirror &m = mirror_[key];
  apply_update(m.items, u);
  m.changed_ms = mono_ms();
  m.keep_s = u.keep_s;
}

void RedisStore::trim_mirror() {
  int64_t now = mono_ms();
  if (now - trimmed_ms_ < kTrimEveryMs) return;
  trimmed_ms_ = now;
  for (auto it = mirror_.begin(); it != mirror_.end();) {
    const Mirror &m = it->second;
    if (m.items.empty() ||
        (m.keep_s > 0 && now - m.changed_ms >= int64_t{m.keep_s} * 1000))
      it = mirror_.erase(it);
    else
      ++it;
  }
}

int RedisStore::update(const std::string &key, const ItemUpdate &u,
                       std::vector<int> &items) {
  std::vector<std::vector<int>> out(1);
  int rc = submit({key}, &u, 1, out, nullptr);
  items.swap(out[0]);
  return rc;
}

int RedisStore::update_batch(const std::vector<std::string> &keys,
                             const std::vector<ItemUpdate> &ups,
                             std::vector<std::vector<int>> &items) {
  items.resize(keys.size());
  return submit(keys, ups.data(), std::min(keys.size(), ups.size()), items,
                nullptr);
}

int RedisStore::update_many(const std::vector<std::string> &keys,
                            const std::vector<ItemUpdate> &ups,
                            std::vector<std::vector<int>> &results,
                            std::vector<int> &rcs) {
  results.resize(keys.size());
  rcs.assign(keys.size(), 0);
  return submit(keys, ups.data(), std::min(keys.size(), ups.size()), results,
                &rcs);
}

// Every change goes through the queue: mirrored, queued, and written at
// once when the server is there.
int RedisStore::submit(const std::vector<std::string> &keys,
                       const ItemUpdate *ups, size_t n,
                       std::vector<std::vector<int>> &items,
                       std::vector<int> *rcs) {
  std::vector<char> state(n, 0);
  for (size_t i = 0; i < n; i++) {
    // A look (a change that changes nothing) is not kept for later.  Each
    // change is answered, unless the server answers, with the items as
    // they stand after it (not after the batch's later changes).
    if (!ctx_ && ups[i].add.empty() && ups[i].replace_time == 0 &&
        ups[i].until == INT_MIN) {
      items[i] = mirror_[keys[i]].items;
      continue;
    }
    mirror_apply(keys[i], ups[i]);
    items[i] = mirror_[keys[i]].items;
    if (pending_.size() >= max_pending_) {
      pending_.pop_front();
      dropped_++;
    }
    pending_.push_back(Pending{keys[i], ups[i], &items[i], &state[i]});
  }
  if (ctx_) flush();
  if (!ctx_) reconnect_if_due();
  size_t mine = std::min(n, pending_.size());
  for (size_t i = pending_.size() - mine; i < pending_.size(); i++) {
    pending_[i].out = nullptr;
    pending_[i].state = nullptr;
  }
  int rc = 0;
  for (size_t i = 0; i < n; i++) {
    if (state[i] == 2) rc = -1;
    if (rcs && state[i] == 2) (*rcs)[i] = -1;
  }
  trim_mirror();
  return rc;
}

int RedisStore::read(const std::string &key, int, std::vector<int> &items) {
  items.clear();
  redisReply *r = nullptr;
  for (int i = 0; i < 2 && !r && (ctx_ || reconnect_if_due()); i++)
    r = command({"GET", prefix_ + key});
  if (!r) {
    auto it = mirror_.find(key);
    if (it != mirror_.end()) items = it->second.items;
    return 0;
  }
  int rc = 0;
  if (r->type == REDIS_REPLY_STRING) {
    decode(r->str, r->len, items);
  } else if (r->type == REDIS_REPLY_ERROR) {
    say(LOG_ERR, "history store %s: read refused: %.*s", url_.c_str(),
        static_cast<int>(r->len), r->str);
    rc = -1;
  }
  freeReplyObject(r);
  return rc;
}

int RedisStore::refresh(int, int (*)(const std::string &)) {
  poll();
  return 0;
}

void RedisStore::poll() {
  reconnect_if_due();
  trim_mirror();
}

void RedisStore::for_each(void (*f)(const std::string &key,
                                    const std::vector<int> &items, void *arg),
                          void *arg) {
  if (!reconnect_if_due()) {  // what this host knows
    for (const auto &m : mirror_)
      if (!m.second.items.empty()) f(m.first, m.second.items, arg);
    return;
  }
  std::unordered_set<std::string> seen;  // SCAN may give a key twice
  std::string cursor = "0", match = glob_escape(prefix_) + "*";
  std::vector<int> items;
  do {
    redisReply *r = command({"SCAN", cursor, "MATCH", match, "COUNT", "1000"});
    if (!r) return;
    if (r->type != REDIS_REPLY_ARRAY || r->elements != 2) {
      freeReplyObject(r);
      return;
    }
    cursor.assign(r->element[0]->str, r->element[0]->len);
    std::vector<std::string> get = {"MGET"};
    for (size_t i = 0; i < r->element[1]->elements; i++) {
      redisReply *k = r->element[1]->element[i];
      std::string key(k->str, k->len);
      if (key != marker() && seen.insert(key).second) get.push_back(key);
    }
    freeReplyObject(r);
    if (get.size() == 1) continue;
    r = command(get);
    if (!r) return;
    for (size_t i = 0; r->type == REDIS_REPLY_ARRAY && i < r->elements; i++) {
      redisReply *v = r->element[i];
      if (v->type != REDIS_REPLY_STRING) continue;  // expired meanwhile
      decode(v->str, v->len, items);
      f(get[i + 1].substr(prefix_.size()), items, arg);
    }
    freeReplyObject(r);
  } while (cursor != "0");
}

void RedisStore::close() {
  if (ctx_) flush();
  if (!pending_.empty())
    say(LOG_ERR, "history store %s: closed with %zu updates not written",
        url_.c_str(), pending_.size());
  pending_.clear();
  if (ctx_) redisFree(ctx_);
  ctx_ = nullptr;
  next_try_ms_ = INT64_MAX;  // closed: no more attempts
}

std::string RedisStore::status() const {
  std::string s = ctx_ ? " history_store=up"
                       : " history_store=down pending=" +
                             std::to_string(pending_.size()) +
                             " dropped=" + std::to_string(dropped_);
  if (refused_) s += " refused=" + std::to_string(refused_);
  return s;
}
