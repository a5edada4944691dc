// Host constants of the rules and their matching; wildcard user patterns.
#include <arpa/inet.h>
#include <netdb.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "audit.h"

namespace {

uint32_t A(const char *dotted) { return inet_addr(dotted); }

// A host record read from text at line 1, with the name it may own freed.
struct Parsed {
  explicit Parsed(std::string text) {
    char *p = &text[0];
    GetHostAndMask(p, &h, 1);
  }
  ~Parsed() {
    if (h.type == 1) delete[] h.n.name;
  }
  host h{};
};

TEST(Check, ClassfulMasks) {
  struct { const char *ip, *net, *sub; } cases[] = {
      {"127.9.9.9", "255.0.0.0", "255.255.0.0"},
      {"128.0.0.1", "255.255.0.0", "255.255.255.0"},
      {"191.9.9.9", "255.255.0.0", "255.255.255.0"},
      {"192.0.0.1", "255.255.255.0", "255.255.255.240"},
      {"223.9.9.9", "255.255.255.0", "255.255.255.240"},
      {"224.0.0.1", "255.255.255.255", "255.255.255.255"}};
  for (auto &c : cases) {
    EXPECT_EQ(StandardNetMaskForClass(A(c.ip)), A(c.net)) << c.ip;
    EXPECT_EQ(StandardSubnetMaskForClass(A(c.ip)), A(c.sub)) << c.ip;
  }
}

TEST(Check, AddressForms) {
  struct { const char *text, *ip, *mask; } cases[] = {
      {" \t-", "0.0.0.0", "0.0.0.0"},
      {"1.2.3.4", "1.2.3.4", "255.255.255.255"},
      {"1.2.3.4/n", "1.0.0.0", "255.0.0.0"},
      {"1.2.3.4/subnet", "1.2.0.0", "255.255.0.0"},
      {"200.1.2.3/s", "200.1.2.0", "255.255.255.240"},
      {"1.2.3.4/host", "1.2.3.4", "255.255.255.255"},
      {"1.2.3.4/a", "0.0.0.0", "0.0.0.0"},
      {"10.0.0.17/16", "0.0.0.16", "0.0.0.16"},  // a number, not a length
      {"1.2.3.4/255.255.0.0 x", "1.2.0.0", "255.255.0.0"},
      {"1.2.3.4/x", "1.2.3.4", "255.255.255.255"},  // unreadable mask
      {"10.", "10.0.0.0", "255.0.0.0"},
      {"192.168.", "192.168.0.0", "255.255.0.0"},
      {"1.2.3.", "1.2.3.0", "255.255.255.0"}};
  for (auto &c : cases) {
    Parsed ph(c.text);
    EXPECT_EQ(ph.h.type, 0) << c.text;
    EXPECT_EQ(ph.h.s.ip, A(c.ip)) << c.text;
    EXPECT_EQ(ph.h.s.mask, A(c.mask)) << c.text;
  }
}

TEST(Check, NameForms) {
  const hostent *he = gethostbyname("localhost");
  ASSERT_NE(he, nullptr);
  std::string official = he->h_name;
  struct { const char *text, *name; int exact; } cases[] = {
      {"localhost", official.c_str(), 1},
      {"Gone.invalid", "Gone.invalid", 1},  // failed lookup keeps the text
      {".corp.invalid", ".corp.invalid", 0}};
  for (auto &c : cases) {
    Parsed ph(c.text);
    EXPECT_EQ(ph.h.type, 1) << c.text;
    EXPECT_STREQ(ph.h.n.name, c.name);
    EXPECT_EQ(ph.h.n.len, static_cast<int>(strlen(c.name))) << c.text;
    EXPECT_EQ(ph.h.n.exact, c.exact) << c.text;
  }
}

// addr null: no socket address given; "0.0.0.0": an address not known.
TEST(Check, Matching) {
  struct { const char *text, *addr, *name; int want; } cases[] = {
      {"-", nullptr, nullptr, 1},           {"-", "0.0.0.0", nullptr, 1},
      {"1.2.3.4", nullptr, nullptr, 0},     {"1.2.3.4", nullptr, "1.2.3.5", 0},
      {"1.2.3.4", "0.0.0.0", "1.2.3.4", 1}, {"1.2.3.4", "1.2.3.4", "9.9.9.9", 1},
      {"10.", "10.200.3.4", nullptr, 1},    {"10.", "11.0.0.1", nullptr, 0},
      {"192.168.", "192.168.9.1", nullptr, 1},
      {"192.168.", "192.169.0.1", nullptr, 0},
      {"gone.invalid", "1.2.3.4", nullptr, 0},
      {"gone.invalid", nullptr, "gone.invalid", 1},
      {"gone.invalid", nullptr, "a.gone.invalid", 0},
      {"gone.invalid", nullptr, "GONE.invalid", 0},
      {".corp.invalid", nullptr, "a.b.corp.invalid", 1},
      {".corp.invalid", nullptr, "corp.invalid", 0},
      {".corp.invalid", nullptr, "xcorp.invalid", 0}};
  for (auto &c : cases) {
    Parsed ph(c.text);
    sockaddr_in s{};
    if (c.addr != nullptr) s.sin_addr.s_addr = A(c.addr);
    EXPECT_EQ(CheckHost(&ph.h, c.addr ? &s : nullptr, c.name), c.want)
        << c.text << " " << (c.addr ? c.addr : "-") << " "
        << (c.name ? c.name : "-");
  }
}

TEST(CheckDeathTest, UnreadableHosts) {
  const char *bad[] = {"", " \t\n", "/h", "1.2.3.999/n", "gone.invalid/h",
                       "10.x.", "1.2.3.4.", "."};
  for (const char *text : bad)
    EXPECT_EXIT(Parsed ph(text), testing::ExitedWithCode(1),
                "^line 1: parse error for host specification\n$")
        << "'" << text << "'";
}

TEST(Check, Wildcards) {
  struct { const char *text, *pattern; int want; } cases[] = {
      {nullptr, "*", 1}, {nullptr, "a*", 0}, {"a", nullptr, 0},
      {"", "*", 1}, {"", "**", 1}, {"", "", 1}, {"", "?", 0}, {"", "{a}", 0},
      {"a", "", 0}, {"Bob", "bob", 0}, {"abc", "a?c", 1}, {"ac", "a?c", 0},
      {"bx", "{a-c}x", 1}, {"dx", "{a-c}x", 0},
      {"dx", "{^a-c}x", 1}, {"bx", "{^a-c}x", 0},
      {"a*", "a\\*", 1}, {"ab", "a\\*", 0}, {"ab", "a\\", 0},
      {"ab", "a**b", 1}, {"axyb", "a**b", 1}, {"axy", "a**b", 0},
      {"abcbcd", "a*bcd", 1}, {"mississippi", "*sip*", 1},
      {"b", "{a-c", 1}, {"bx", "{a-cx", 0},  // the set runs to the end
      {"C", "{-c}", 1}, {"d", "{-c}", 0}, {"-", "{a-}", 1},
      {"}", "{\\}}", 1}, {"-", "{a\\-c}", 1}, {"b", "{a\\-c}", 0},
      {"[a]", "[a]", 1}, {"a", "[a]", 0},
      {"a", "{\xe9-z}", 1}, {"\xe9", "{-z}", 0}};  // signed bytes
  for (auto &c : cases)
    EXPECT_EQ(WildMatch(c.text, c.pattern), c.want)
        << (c.text ? c.text : "(null)") << " ~ "
        << (c.pattern ? c.pattern : "(null)");
}

}  // namespace
