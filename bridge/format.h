// What the log formats share: endpoints as text, and the formats' makers.
#ifndef TW_BRIDGE_FORMAT_H
#define TW_BRIDGE_FORMAT_H

#include <string>
#include <string_view>

#include "event.h"

namespace bridge {

// The longest line a format reads; longer ones are refused.
constexpr size_t kMaxLine = 8192;

// An endpoint as one text, "A.B.C.D.PORT" for IPv4, else "NAME.PORT"
// (an IPv6 address or a host name).  A session known by its ends has
// endpoint_text(src) + " " + endpoint_text(proxy) as its sid.
std::string endpoint_text(const Endpoint &e);
std::string endpoint_sid(const Endpoint &src, const Endpoint &proxy);

// Reads an address: IPv4 (four numeric labels, each up to 255) into ip4,
// IPv6 (any text with a ':') into name; with names, anything else that
// has no blank or control character into name, as a host name.  A text
// of numeric labels only must be IPv4.  Leaves *e alone when false.
bool parse_address(std::string_view text, bool names, Endpoint *e);

Format *new_dante_format();
Format *new_jsonl_format();

}  // namespace bridge

#endif  // TW_BRIDGE_FORMAT_H
