// Endpoints as text, and the choice of a log format by name.
#include "format.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

namespace bridge {

namespace {

// A host name (or a domain as a client asked for it) is at most this long.
constexpr size_t kMaxName = 255;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "A.B.C.D" with each label 1 to 3 digits and at most 255.
bool parse_ip4(std::string_view s, uint32_t *ip4) {
  uint8_t b[4];
  for (int i = 0; i < 4; i++) {
    size_t n = 0;
    unsigned v = 0;
    while (n < s.size() && n < 4 && is_digit(s[n])) v = v * 10 + (s[n++] - '0');
    if (n == 0 || n > 3 || v > 255) return false;
    b[i] = static_cast<uint8_t>(v);
    s.remove_prefix(n);
    if (i < 3 && (s.empty() || s[0] != '.')) return false;
    if (i < 3) s.remove_prefix(1);
  }
  if (!s.empty()) return false;
  memcpy(ip4, b, sizeof b);  // network order: the bytes as written
  return true;
}

// An IPv6 address, with a "%zone" after it allowed.
bool is_ip6(std::string_view s) {
  s = s.substr(0, s.find('%'));
  char buf[INET6_ADDRSTRLEN];
  if (s.empty() || s.size() >= sizeof buf) return false;
  memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  struct in6_addr a;
  return inet_pton(AF_INET6, buf, &a) == 1;
}

// Labels of digits only, as in "1.2.3.4" or "10.999": never a host name.
bool all_numeric(std::string_view s) {
  for (char c : s)
    if (!is_digit(c) && c != '.') return false;
  return true;
}

bool plain_text(std::string_view s) {
  for (unsigned char c : s)
    if (c <= ' ' || c == 0x7f) return false;
  return true;
}

}  // namespace

// Decimal digits of v appended to s; on every session's path, so no printf.
static void append_number(std::string *s, unsigned v) {
  char buf[12];
  char *p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  s->append(p, buf + sizeof buf - p);
}

std::string endpoint_text(const Endpoint &e) {
  std::string s;
  s.reserve(e.name.size() + 24);
  if (e.ip4 != 0 || e.name.empty()) {
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&e.ip4);
    for (int i = 0; i < 4; i++) {
      append_number(&s, b[i]);
      s += '.';
    }
  } else {
    s = e.name;
    s += '.';
  }
  append_number(&s, e.port);
  return s;
}

std::string endpoint_sid(const Endpoint &src, const Endpoint &proxy) {
  return endpoint_text(src) + " " + endpoint_text(proxy);
}

bool parse_address(std::string_view text, bool names, Endpoint *e) {
  uint32_t ip4;
  if (parse_ip4(text, &ip4)) {
    e->ip4 = ip4;
    e->name.clear();
    return true;
  }
  bool ip6 = text.find(':') != std::string_view::npos;
  if (ip6 ? !is_ip6(text)
          : !names || text.empty() || text.size() > kMaxName ||
                all_numeric(text) || !plain_text(text))
    return false;
  e->ip4 = 0;
  e->name.assign(text);
  return true;
}

Format *new_format(std::string_view name) {
  if (name == "dante") return new_dante_format();
  if (name == "jsonl") return new_jsonl_format();
  return nullptr;
}

}  // namespace bridge
