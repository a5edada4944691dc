// Format "jsonl": one JSON object a line, each an event of a session.
//
//   field        type                 meaning
//   event        string (required)    "start", "end" or "error"
//   time         number               seconds since the epoch, a fraction
//                                     allowed; absent: when read
//   pid          integer              the serving process, 0 to 4294967295
//   session      string or integer    the session id; absent: the client
//                                     and proxy addresses and ports stand
//                                     for it (src is then required)
//   user         string               the user name
//   src          string               the client's address, IPv4 or IPv6
//   src_port     integer              0 to 65535
//   src_name     string               the client's host name
//   proxy        string               the proxy's address, IPv4 or IPv6
//   proxy_port   integer              0 to 65535
//   dst          string               the destination: IPv4 or IPv6
//                                     address, or a host name
//   dst_port     integer              0 to 65535
//   dst_name     string               the destination's host name
//   app          string               the application (service) name
//   protocol     string               "connect" or "tcp", "bind",
//                                     "udp-associate" or "udp"
//   bytes_in     integer or string    bytes sent to the client, 0 to
//                                     2^64-1 (above 2^63-1 as a string of
//                                     digits: JSON readers stop there)
//   bytes_out    integer or string    bytes received from the client, as
//                                     bytes_in
//   duration     number               seconds (fraction dropped), 0 to
//                                     2147483647
//   error        integer              the error code, 0 to 255: 1 general,
//                                     2 refused by a rule, 3 network and
//                                     4 host unreachable, 5 connection
//                                     refused, 6 timed out, 7 command and
//                                     8 address type not supported, 10
//                                     failed login
//   reason       string               why the session ended or failed
//
// A line that is no JSON object, has no valid event or a field of the
// wrong type or out of range is refused; null stands for an absent field
// and other fields are ignored.  An address that is IPv6 is kept as the
// endpoint's name, so src_name or dst_name does not replace it.
//
// "end" with an error above 0 is a failed session, told whole; "error"
// is a failure of a session that may still end (its error, if absent or
// 0, is 1); "start" may not carry an error.
#include <jansson.h>
#include <math.h>

#include "format.h"

namespace bridge {

namespace {

// A field of the object, or null when it is absent or JSON null.
json_t *field(json_t *o, const char *name) {
  json_t *v = json_object_get(o, name);
  return json_is_null(v) ? nullptr : v;
}

// Integer field in [lo, hi]; absent leaves *v alone.
bool get_int(json_t *o, const char *name, json_int_t lo, json_int_t hi,
             json_int_t *v) {
  json_t *f = field(o, name);
  if (f == nullptr) return true;
  if (!json_is_integer(f)) return false;
  json_int_t x = json_integer_value(f);
  if (x < lo || x > hi) return false;
  *v = x;
  return true;
}

// Number field (integer or real) in [0, hi]; absent leaves *v alone.
bool get_number(json_t *o, const char *name, double hi, double *v) {
  json_t *f = field(o, name);
  if (f == nullptr) return true;
  if (!json_is_number(f)) return false;
  double x = json_number_value(f);
  if (!(x >= 0 && x <= hi)) return false;
  *v = x;
  return true;
}

bool get_string(json_t *o, const char *name, std::string *v) {
  json_t *f = field(o, name);
  if (f == nullptr) return true;
  if (!json_is_string(f)) return false;
  v->assign(json_string_value(f), json_string_length(f));
  return true;
}

// A byte count: an integer, or a string of 1 to 20 digits up to 2^64-1.
bool get_bytes(json_t *o, const char *name, uint64_t *v, bool *given) {
  json_t *f = field(o, name);
  if (f == nullptr) return true;
  *given = true;
  if (json_is_integer(f)) {
    if (json_integer_value(f) < 0) return false;
    *v = static_cast<uint64_t>(json_integer_value(f));
    return true;
  }
  if (!json_is_string(f)) return false;
  const char *s = json_string_value(f);
  size_t n = json_string_length(f);
  if (n == 0 || n > 20) return false;
  uint64_t x = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned d = static_cast<unsigned char>(s[i]) - '0';
    if (d > 9 || x > (UINT64_MAX - d) / 10) return false;
    x = x * 10 + d;
  }
  *v = x;
  return true;
}

// An endpoint from its address, port and name fields.
bool get_endpoint(json_t *o, const char *addr, const char *port,
                  const char *name, bool names, Endpoint *e) {
  std::string text;
  json_int_t p = 0;
  if (!get_string(o, addr, &text) || !get_int(o, port, 0, 65535, &p))
    return false;
  if (!text.empty() && !parse_address(text, names, e)) return false;
  e->port = static_cast<uint16_t>(p);
  if (name == nullptr) return true;
  std::string host;
  if (!get_string(o, name, &host)) return false;
  bool ip6 = e->ip4 == 0 && e->name.find(':') != std::string::npos;
  if (!host.empty() && !ip6) e->name = host;
  return true;
}

bool get_kind(json_t *o, Event::Kind *kind) {
  json_t *f = field(o, "event");
  if (!json_is_string(f)) return false;
  std::string_view s(json_string_value(f), json_string_length(f));
  if (s == "start") *kind = Event::kStart;
  else if (s == "end") *kind = Event::kEnd;
  else if (s == "error") *kind = Event::kError;
  else return false;
  return true;
}

bool get_cmd(json_t *o, uint8_t *cmd) {
  std::string s;
  if (!get_string(o, "protocol", &s)) return false;
  if (s.empty()) *cmd = kCmdNone;  // absent
  else if (s == "connect" || s == "tcp") *cmd = kCmdConnect;
  else if (s == "bind") *cmd = kCmdBind;
  else if (s == "udp-associate" || s == "udp") *cmd = kCmdUdp;
  else return false;
  return true;
}

// The session id: given, else the client's and the proxy's ends.
bool get_sid(json_t *o, Event *e) {
  json_t *f = field(o, "session");
  if (json_is_integer(f)) {
    e->sid = std::to_string(json_integer_value(f));
    return true;
  }
  if (f != nullptr && !get_string(o, "session", &e->sid)) return false;
  if (!e->sid.empty()) return true;
  if (field(o, "src") == nullptr) return false;
  e->sid = endpoint_sid(e->src, e->proxy);
  return true;
}

bool get_event(json_t *o, Event *e) {
  json_int_t pid = 0, err = -1;
  double time = 0, duration = -1;
  if (!get_kind(o, &e->kind) || !get_number(o, "time", 1e11, &time) ||
      !get_int(o, "pid", 0, UINT32_MAX, &pid) ||
      !get_string(o, "user", &e->user) || !get_string(o, "app", &e->app) ||
      !get_string(o, "reason", &e->reason) ||
      !get_endpoint(o, "src", "src_port", "src_name", false, &e->src) ||
      !get_endpoint(o, "proxy", "proxy_port", nullptr, false, &e->proxy) ||
      !get_endpoint(o, "dst", "dst_port", "dst_name", true, &e->dst) ||
      !get_cmd(o, &e->cmd) ||
      !get_bytes(o, "bytes_in", &e->in, &e->has_bytes) ||
      !get_bytes(o, "bytes_out", &e->out, &e->has_bytes) ||
      !get_number(o, "duration", INT32_MAX, &duration) ||
      !get_int(o, "error", 0, 255, &err) || !get_sid(o, e))
    return false;
  e->time_us = llround(time * 1e6);
  e->pid = static_cast<uint32_t>(pid);
  if (duration >= 0) e->duration = static_cast<int32_t>(duration);
  if (e->kind == Event::kStart && err > 0) return false;
  if (e->kind == Event::kError && err <= 0) err = kErrGeneral;
  e->err = err > 0 ? static_cast<uint32_t>(err) : kErrNone;
  return true;
}

class Jsonl : public Format {
 public:
  bool parse(std::string_view line, std::vector<Event> *out) override {
    if (line.size() > kMaxLine) return false;
    json_error_t error;
    json_t *o = json_loadb(line.data(), line.size(), JSON_REJECT_DUPLICATES,
                           &error);
    Event e;
    bool ok = json_is_object(o) && get_event(o, &e);
    json_decref(o);
    if (ok) out->push_back(std::move(e));
    return ok;
  }
};

}  // namespace

Format *new_jsonl_format() { return new Jsonl; }

}  // namespace bridge
