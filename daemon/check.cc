// Host patterns of the rules: reading a host constant into a host record
// when the rules are loaded, matching a connection's host against such a
// record, and the wildcard matcher used for user names.
#include <arpa/inet.h>
#include <netdb.h>
#include <string.h>

#include <string>

#include "audit.h"
#include "error.h"

namespace {

constexpr uint32_t ALL_ONES = 0xffffffffu;  // also inet_addr's failure

bool is_blank(char c) {
  return c != '\0' && strchr(" \t\n\v\f\r", c) != nullptr;
}

// The end of the word at p: the first blank, "/" (when slash_ends) or the
// end of the text.
char *word_end(char *p, bool slash_ends) {
  while (*p != '\0' && !is_blank(*p) && !(slash_ends && *p == '/')) ++p;
  return p;
}

void set_address(host *h, uint32_t ip, uint32_t mask) {
  h->s.type = 0;
  h->s.ip = ip & mask;
  h->s.mask = mask;
}

bool digits_and_dots(const std::string &text) {
  return !text.empty() &&
         text.find_first_not_of("0123456789.") == std::string::npos;
}

// A dotted address as the resolver reads it; all ones is an address too.
bool read_address(const std::string &text, uint32_t *ip) {
  in_addr a;
  if (inet_aton(text.c_str(), &a) == 0) return false;
  *ip = a.s_addr;
  return true;
}

// A prefix length: a decimal number from 0 to 32, without a dot.
bool read_prefix_length(const std::string &text, uint32_t *mask) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  int bits = 0;
  for (char c : text)
    if ((bits = bits * 10 + (c - '0')) > 32) return false;
  *mask = bits == 0 ? 0 : htonl(ALL_ONES << (32 - bits));
  return true;
}

// The mask written after "/": only the first letter of host, all, net or
// subnet counts; else a prefix length or a dotted mask.  Anything else
// is refused.
bool mask_after_slash(const std::string &text, uint32_t ip, uint32_t *mask) {
  switch (text.empty() ? '\0' : text[0]) {
    case 'h': *mask = ALL_ONES; return true;
    case 'a': *mask = 0; return true;
    case 'n': *mask = StandardNetMaskForClass(ip); return true;
    case 's': *mask = StandardSubnetMaskForClass(ip); return true;
  }
  if (read_prefix_length(text, mask)) return true;
  return text.find('.') != std::string::npos && read_address(text, mask);
}

// "address/mask"; ptr stands on the "/" and is left after the mask.
void read_masked(const std::string &word, char *&ptr, host *h, int lnum) {
  uint32_t ip, mask;
  if (!read_address(word, &ip)) badLine(lnum);
  char *mask_text = ptr + 1;
  ptr = word_end(mask_text, false);
  if (!mask_after_slash(std::string(mask_text, ptr), ip, &mask)) badLine(lnum);
  set_address(h, ip, mask);
}

// A network prefix such as "10." or "192.168.": one octet of mask per dot.
void read_prefix(const std::string &word, host *h, int lnum) {
  uint32_t ip = inet_addr((word + "0").c_str());
  if (ip == ALL_ONES) badLine(lnum);
  uint32_t mask = 0;
  for (char c : word)
    if (c == '.') mask = mask >> 8 | 0xff000000u;
  set_address(h, ip, htonl(mask));
}

// A host name, or with a leading dot a domain suffix.  The official name
// is kept when the name resolves, else the text as written.
void read_name(const std::string &word, host *h) {
  const hostent *he = gethostbyname(word.c_str());
  const char *name =
      he != nullptr && he->h_name != nullptr ? he->h_name : word.c_str();
  h->n.type = 1;
  h->n.exact = word[0] != '.';
  h->n.len = static_cast<int>(strlen(name));
  h->n.name = new char[h->n.len + 1];
  memcpy(h->n.name, name, h->n.len + 1);
}

// The connection's numeric address: the socket's when known, else its
// name read as a dotted address, else all ones.
uint32_t connection_address(const sockaddr_in *s, const char *name) {
  if (s != nullptr && s->sin_addr.s_addr != 0) return s->sin_addr.s_addr;
  return name != nullptr ? inet_addr(name) : ALL_ONES;
}

int match_name(const n_ip &n, const char *name) {
  if (name == nullptr) return 0;
  long offset = static_cast<long>(strlen(name)) - n.len;
  if (offset < 0 || (n.exact && offset != 0)) return 0;
  return memcmp(name + offset, n.name, n.len) == 0;
}

bool in_range(signed char low, signed char high, signed char c) {
  return low <= c && c <= high;
}

// A character set; p stands after "{".  Returns the pattern after the set,
// or null when c's membership disagrees with the set's sense.
const char *match_set(const char *p, char c) {
  bool negated = *p == '^';
  if (negated) ++p;
  bool member = false;
  signed char last = 0;  // a leading "-" ranges up from code 0
  for (; *p != '\0' && *p != '}'; ++p) {
    if (*p == '\\') {
      if (*++p == '\0') break;
    } else if (*p == '-' && p[1] != '\0' && p[1] != '}') {
      ++p;
      member |= in_range(last, *p, c);
      last = *p;
      continue;
    }
    member |= *p == c;
    last = *p;
  }
  if (member == negated) return nullptr;
  return *p == '}' ? p + 1 : p;
}

// One pattern element other than "*" against the text character c (never
// the end of the text): the next element, or null when it fails.
const char *match_one(const char *p, char c) {
  switch (*p) {
    case '?': return p + 1;
    case '\\': return p[1] == c ? p + 2 : nullptr;
    case '{': return match_set(p + 1, c);
    default: return *p == c ? p + 1 : nullptr;
  }
}

// A run of "*": the rest of the pattern at each later place in the text.
int match_star(const char *text, const char *p) {
  while (*p == '*') ++p;
  if (*p == '\0') return 1;
  for (; *text != '\0'; ++text)
    if (DoMatch(text, p)) return 1;
  return 0;
}

}  // namespace

void GetHostAndMask(char *&ptr, host *h, int lnum) {
  while (is_blank(*ptr)) ++ptr;
  if (*ptr == '\0') badLine(lnum);
  char *end = word_end(ptr, true);
  std::string word(ptr, end);
  ptr = end;
  uint32_t ip;
  if (word[0] == '-')
    set_address(h, 0, 0);  // any host
  else if (*ptr == '/')  // the only case where the word may be empty
    read_masked(word, ptr, h, lnum);
  else if (word.back() == '.')
    read_prefix(word, h, lnum);
  else if (read_address(word, &ip))
    set_address(h, ip, ALL_ONES);
  else if (digits_and_dots(word))
    badLine(lnum);  // no such address, and no name either
  else
    read_name(word, h);
}

uint32_t StandardNetMaskForClass(uint32_t ip) {
  uint32_t first = ntohl(ip) >> 24;
  if (first < 128) return htonl(0xff000000u);
  if (first < 192) return htonl(0xffff0000u);
  if (first < 224) return htonl(0xffffff00u);
  return ALL_ONES;
}

uint32_t StandardSubnetMaskForClass(uint32_t ip) {
  uint32_t first = ntohl(ip) >> 24;
  if (first < 128) return htonl(0xffff0000u);
  if (first < 192) return htonl(0xffffff00u);
  if (first < 224) return htonl(0xfffffff0u);
  return ALL_ONES;
}

// Names the rule's lines in the administrator's file when the parsed line
// being read carries them.
void badLine(int n) {
  if (token.line_num == n && token.first_line > 0 && token.last_line > 0)
    err_quit("%s parse error for host specification", token.print_line_range());
  err_quit("line %d: parse error for host specification", n);
}

int CheckHost(const host *h, const sockaddr_in *s, const char *name) {
  if (h->type == 1) return match_name(h->n, name);
  return (connection_address(s, name) & h->s.mask) == h->s.ip;
}

int WildMatch(const char *text, const char *p) {
  if (p == nullptr) return 0;
  if (strcmp(p, "*") == 0) return 1;
  if (text == nullptr) return 0;
  return DoMatch(text, p);
}

int DoMatch(const char *text, const char *p) {
  while (*p != '\0') {
    if (*p == '*') return match_star(text, p);
    if (*text == '\0') return 0;
    p = match_one(p, *text++);
    if (p == nullptr) return 0;
  }
  return *text == '\0';
}
