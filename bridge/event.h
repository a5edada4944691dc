// One thing a proxy's log says about a session, in the form the bridge
// writes into the connection table.  The log formats (dante.cc, jsonl.cc)
// make these; the session book (sessions.cc) turns them into table writes.
#ifndef TW_BRIDGE_EVENT_H
#define TW_BRIDGE_EVENT_H

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace bridge {

// Error codes written to the table: the SOCKS5 reply codes where the log
// names the reason, 10 for a failed authentication, 1 for anything else.
enum ErrCode : uint32_t {
  kErrNone = 0,
  kErrGeneral = 1,        // general failure, or a reason not mapped
  kErrNotAllowed = 2,     // the proxy's own rules refused the session
  kErrNetUnreach = 3,
  kErrHostUnreach = 4,    // also: a name that does not resolve
  kErrRefused = 5,
  kErrTtl = 6,
  kErrCommand = 7,
  kErrAddrType = 8,
  kErrAuth = 10,          // authentication failed
};

// SOCKS5 commands; 0 when the session failed or ended before the client
// named one (a failed login).
enum Cmd : uint8_t { kCmdNone = 0, kCmdConnect = 1, kCmdBind = 2, kCmdUdp = 3 };

// One end of a session as the log gives it.  An IPv4 address is kept in
// network byte order in ip4; any other address (IPv6) leaves ip4 at 0 and
// is kept as text in name, as is a host name the log gives instead of an
// address.  port is in host order, 0 when not known.
struct Endpoint {
  uint32_t ip4 = 0;
  uint16_t port = 0;
  std::string name;
  bool known() const { return ip4 != 0 || port != 0 || !name.empty(); }
};

struct Event {
  enum Kind {
    kStart,  // the session began (the client's command is known)
    kError,  // the session failed; it may still get its end
    kEnd,    // the session ended: bytes, duration and reason are final
  };
  Kind kind = kStart;
  int64_t time_us = 0;     // when, microseconds since the epoch; 0 = now
  uint32_t pid = 0;        // the proxy process that served it; 0 = unknown
  // Tells this session from the others of the same process while both
  // ends are open (the log's session id, or the client and proxy
  // addresses as text).  Never empty.
  std::string sid;
  std::string user;        // empty when the log names none
  Endpoint src, proxy, dst;
  std::string app;         // application (service) name, may be empty
  uint8_t cmd = kCmdNone;
  bool has_bytes = false;  // in and out are given
  uint64_t in = 0;         // bytes to the client (download)
  uint64_t out = 0;        // bytes from the client (upload)
  int32_t duration = -1;   // seconds, -1 when not given
  uint32_t err = kErrNone;
  std::string reason;      // the log's words for the end or the error
};

// A log format.  parse() reads one line (without its line end) and adds
// what it says to *out; it returns false for a line it does not
// understand, true for one it understood, also when that says nothing a
// rule could use (then *out is left as it was).  A format may keep state
// between lines (to tell one session's repeated lines apart).
class Format {
 public:
  virtual ~Format() = default;
  virtual bool parse(std::string_view line, std::vector<Event> *out) = 0;
};

// "dante" or "jsonl"; null for any other name.
Format *new_format(std::string_view name);

}  // namespace bridge

#endif  // TW_BRIDGE_EVENT_H
