// The writer's field updates and the reader's take, in process memory.
#include "replay.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

using feedscript::Event;
using feedscript::Kind;
using feedscript::Step;

namespace {

// Ended connections are dropped at every tenth start, once taken, as the
// writer's cleanup does.
constexpr uint32_t kCleanupEvery = 10;

uint64_t KeyOf(Uint64 k) { return (uint64_t)k.word[0] << 32 | k.word[1]; }

// A text into a fixed-width field, zero-padded, as the writer stores it:
// a text as long as the field has no terminator; empty keeps the field.
void PutText(char *field, size_t size, const std::string &text) {
  if (text.empty()) return;
  size_t n = strnlen(text.c_str(), size);
  memcpy(field, text.c_str(), n);
  memset(field + n, 0, size - n);
}

void PutAddr(struct sockaddr_in *field, bool has,
             const struct sockaddr_in &addr) {
  if (has) *field = addr;
}

}  // namespace

const Mon_Conn_t *Replay::Find(Uint64 key) const {
  auto it = conns_.find(KeyOf(key));
  return it == conns_.end() ? nullptr : &it->second;
}

int32_t Replay::TimeOf(const Event &ev) {
  if (clock_ > INT32_MAX) clock_ = INT32_MAX;  // a sleep past the last second
  if (!ev.hasTime) return static_cast<int32_t>(clock_);
  if (ev.time > clock_) clock_ = ev.time;
  return ev.time;
}

Mon_Conn_t *Replay::Existing(const char *what, const Event &ev,
                             std::string *err) {
  auto it = conns_.find(KeyOf(ev.key));
  if (it != conns_.end()) return &it->second;
  char buf[96];
  snprintf(buf, sizeof buf, "%s: no connection <%lu,%lu>", what,
           (unsigned long)ev.key.word[0], (unsigned long)ev.key.word[1]);
  *err = buf;
  return nullptr;
}

void Replay::Start(const Event &ev, int32_t t) {
  Mon_Conn_t &c = conns_[KeyOf(ev.key)];
  memset(&c, 0, sizeof c);
  c.key = ev.key;
  c.startTime = t;
  c.authorize = static_cast<uint8_t>(ev.auth);
  PutText(c.userName, sizeof c.userName, ev.user);
  PutAddr(&c.srcSockAddr, ev.hasSrc, ev.src);
  PutText(c.srcHostName, sizeof c.srcHostName, ev.srcHost);
  c.connState = MON_ACTIVE;
  c.alarmKey = starts_;
  Take(c, MON_CHG_START, t);
  if (++starts_ % kCleanupEvery == 0) Cleanup();
}

// The reader's copy carries the read time of the take before; the record
// time is the moment of this take.
void Replay::Take(Mon_Conn_t &c, uint32_t change, int32_t t) {
  Mon_Conn_t copy = c;
  copy.connState = change | (c.connState & MON_ACTIVE);
  copy.curTime = t;
  c.readTime = t;
  changes_++;
  errno = 0;
  if (read_from_monitor(&copy, rec_) != 0) return;
  records_++;
  table_.check(rec_);
}

void Replay::Cleanup() {
  for (auto it = conns_.begin(); it != conns_.end();) {
    if (it->second.connState & MON_ACTIVE)
      ++it;
    else
      it = conns_.erase(it);
  }
}

bool Replay::Apply(const Step &st, std::string *err) {
  const Event &ev = st.ev;
  Mon_Conn_t *c = nullptr;
  int32_t t;
  switch (st.kind) {
    case Kind::kStart:
      Start(ev, TimeOf(ev));
      return true;
    case Kind::kUpdate:
      if ((c = Existing("update", ev, err)) == nullptr) return false;
      t = TimeOf(ev);
      c->curTime = t;
      if (ev.hasIn) c->inTotBytes = static_cast<uint32_t>(ev.in);
      if (ev.hasOut) c->outTotBytes = static_cast<uint32_t>(ev.out);
      if (ev.hasCmd) c->socksCmd = static_cast<uint8_t>(ev.cmd);
      PutText(c->applicName, sizeof c->applicName, ev.app);
      PutAddr(&c->proxySockAddr, ev.hasProxy, ev.proxy);
      PutText(c->proxyHostName, sizeof c->proxyHostName, ev.proxyHost);
      PutAddr(&c->dstSockAddr, ev.hasDst, ev.dst);
      PutText(c->dstHostName, sizeof c->dstHostName, ev.dstHost);
      Take(*c, MON_CHG_UPDATE, t);
      return true;
    case Kind::kError:
      if ((c = Existing("error", ev, err)) == nullptr) return false;
      t = TimeOf(ev);
      c->curTime = t;
      c->socksErrType = static_cast<uint32_t>(ev.code);
      PutText(c->socksErrMsg, sizeof c->socksErrMsg, ev.msg);
      Take(*c, MON_CHG_ERROR, t);
      return true;
    case Kind::kEnd:
      if ((c = Existing("end", ev, err)) == nullptr) return false;
      t = TimeOf(ev);
      c->endTime = t;
      c->connState &= ~MON_ACTIVE;
      Take(*c, MON_CHG_UPDATE, t);
      return true;
    case Kind::kSleep:
      clock_ += st.seconds;
      return true;
    case Kind::kWaitReader:  // the replay is its own reader, never behind
    case Kind::kWaitDrained:
    case Kind::kNone:
      return true;
  }
  return true;
}
