// Host constants of the rules and their matching; wildcard user patterns.
#include <arpa/inet.h>
#include <netdb.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "audit.h"
#include "rules_util.h"

namespace {

uint32_t A(const char *dotted) { return inet_addr(dotted); }
std::string Dotted(uint32_t a) { return inet_ntoa(in_addr{a}); }
using Pairs = std::initializer_list<std::pair<const char *, std::string>>;

// A host record read from text at line 1, with the name it may own freed.
struct Parsed {
  explicit Parsed(std::string text) { char *p = &text[0]; GetHostAndMask(p, &h, 1); }
  ~Parsed() { if (h.type == 1) delete[] h.n.name; }
  // "ip/mask" for an address, "name exact|tail" for a name.
  std::string Show() const {
    if (h.type == 0) return Dotted(h.s.ip) + "/" + Dotted(h.s.mask);
    EXPECT_EQ(h.n.len, static_cast<int>(strlen(h.n.name)));
    return std::string(h.n.name) + (h.n.exact ? " exact" : " tail");
  }
  host h{};
};

TEST(Check, HostForms) {
  for (auto [ip, masks] : Pairs{{"127.9.9.9", "255.0.0.0 255.255.0.0"},
                                {"128.0.0.1", "255.255.0.0 255.255.255.0"},
                                {"191.9.9.9", "255.255.0.0 255.255.255.0"},
                                {"192.0.0.1", "255.255.255.0 255.255.255.240"},
                                {"223.9.9.9", "255.255.255.0 255.255.255.240"},
                                {"224.0.0.1", "255.255.255.255 255.255.255.255"}})
    EXPECT_EQ(Dotted(StandardNetMaskForClass(A(ip))) + " " +
                  Dotted(StandardSubnetMaskForClass(A(ip))), masks) << ip;
  const hostent *he = gethostbyname("localhost");
  ASSERT_NE(he, nullptr);
  for (auto [text, want] : Pairs{
           {" \t-", "0.0.0.0/0.0.0.0"}, {"1.2.3.4", "1.2.3.4/255.255.255.255"},
           {"1.2.3.4/n", "1.0.0.0/255.0.0.0"}, {"1.2.3.4/subnet", "1.2.0.0/255.255.0.0"},
           {"200.1.2.3/s", "200.1.2.0/255.255.255.240"}, {"1.2.3.4/a", "0.0.0.0/0.0.0.0"},
           {"1.2.3.4/host", "1.2.3.4/255.255.255.255"}, {"10.", "10.0.0.0/255.0.0.0"},
           {"10.0.0.17/16", "10.0.0.0/255.255.0.0"},  // a prefix length
           {"10.1.2.3/8", "10.0.0.0/255.0.0.0"}, {"10.1.2.3/0", "0.0.0.0/0.0.0.0"},
           {"10.1.2.3/32", "10.1.2.3/255.255.255.255"}, {"10.1.2.3/032", "10.1.2.3/255.255.255.255"},
           {"10.1.2.3/1", "0.0.0.0/128.0.0.0"}, {"10.1.2.3/31", "10.1.2.2/255.255.255.254"},
           {"1.2.3.4/255.255.0.0 x", "1.2.0.0/255.255.0.0"},
           {"1.2.3.4/255.255.255.255", "1.2.3.4/255.255.255.255"},
           {"255.255.255.255", "255.255.255.255/255.255.255.255"},
           {"192.168.", "192.168.0.0/255.255.0.0"}, {"1.2.3.", "1.2.3.0/255.255.255.0"},
           {"localhost", std::string(he->h_name) + " exact"},
           {"Gone.invalid", "Gone.invalid exact"},  // failed lookup keeps the text
           {".corp.invalid", ".corp.invalid tail"}})
    EXPECT_EQ(Parsed(text).Show(), want) << text;
  for (const char *bad : {"", " \t\n", "/h", "1.2.3.999/n", "gone.invalid/h", "10.x.", "1.2.3.4.",
                          ".", "1.2.3.4/33", "1.2.3.4/x", "1.2.3.4/", "1.2.3.4/-1", "1.2.3.4/99999999999",
                          "1.2.3.4/0x0f", "1.2.3.4/1.2.3.4.5", "300.1.1.1", "1.2.3.4.5", "10.0.0.256"})
    EXPECT_EXIT(Parsed{bad}, testing::ExitedWithCode(1),
                testing::Eq("line 1: parse error for host specification\n")) << "'" << bad << "'";
}

// Refused while the rules load, the message names the rule's lines.
TEST(CheckDeathTest, RefusedSpecificationNamesTheRule) {
  struct { const char *text, *msg; } cases[] = {
      {"WHEN (src==10.0.0.0/33) #line:3-5-6\necho x\n", "lines 3-4 (parsed 1)"},
      {"net=300.1.1.1\nWHEN ((usr==a)|(dst!=$net)) #line:4-5-6\necho x\n",
       "line 4 (parsed 2)"},
      {"WHEN (src==1.2.3.4/x)\necho x\n", "line 1"}};  // no marker
  for (auto &c : cases)
    EXPECT_EXIT(TestRules().Load(c.text), testing::ExitedWithCode(1),
                testing::Eq(std::string(c.msg) + ": parse error for host specification\n"))
        << c.text;
}

// addr null: no socket address given; "0.0.0.0": an address not known.
TEST(Check, Matching) {
  struct { const char *text, *addr, *name; int want; } cases[] = {
      {"-", nullptr, nullptr, 1}, {"-", "0.0.0.0", nullptr, 1}, {"1.2.3.4", nullptr, nullptr, 0},
      {"1.2.3.4", nullptr, "1.2.3.5", 0}, {"1.2.3.4", "0.0.0.0", "1.2.3.4", 1},
      {"1.2.3.4", "1.2.3.4", "9.9.9.9", 1}, {"10.", "10.200.3.4", nullptr, 1},
      {"10.", "11.0.0.1", nullptr, 0}, {"192.168.", "192.168.9.1", nullptr, 1},
      {"10.0.0.0/8", "10.1.2.3", nullptr, 1}, {"10.0.0.0/8", "11.0.0.1", nullptr, 0},
      {"10.0.0.0/8", "192.168.1.2", nullptr, 0}, {"9.9.9.9/0", "192.168.1.2", nullptr, 1},
      {"9.9.9.9/0", nullptr, nullptr, 1}, {"10.1.2.3/32", "10.1.2.3", nullptr, 1},
      {"10.1.2.3/32", "10.1.2.4", nullptr, 0},
      {"192.168.", "192.169.0.1", nullptr, 0}, {"gone.invalid", "1.2.3.4", nullptr, 0},
      {"gone.invalid", nullptr, "gone.invalid", 1}, {"gone.invalid", nullptr, "a.gone.invalid", 0},
      {"gone.invalid", nullptr, "GONE.invalid", 0}, {".corp.invalid", nullptr, "corp.invalid", 0},
      {".corp.invalid", nullptr, "a.b.corp.invalid", 1},
      {".corp.invalid", nullptr, "xcorp.invalid", 0}};
  for (auto &c : cases) {
    Parsed ph(c.text);
    sockaddr_in s{};
    if (c.addr != nullptr) s.sin_addr.s_addr = A(c.addr);
    EXPECT_EQ(CheckHost(&ph.h, c.addr ? &s : nullptr, c.name), c.want)
        << c.text << " " << (c.addr ? c.addr : "-") << " " << (c.name ? c.name : "-");
  }
}

TEST(Check, Wildcards) {
  struct { const char *text, *pattern; int want; } cases[] = {
      {nullptr, "*", 1}, {nullptr, "a*", 0}, {"a", nullptr, 0}, {"", "*", 1}, {"", "**", 1},
      {"", "", 1}, {"", "?", 0}, {"", "{a}", 0}, {"a", "", 0}, {"Bob", "bob", 0}, {"abc", "a?c", 1},
      {"ac", "a?c", 0}, {"bx", "{a-c}x", 1}, {"dx", "{a-c}x", 0}, {"dx", "{^a-c}x", 1},
      {"bx", "{^a-c}x", 0}, {"a*", "a\\*", 1}, {"ab", "a\\*", 0}, {"ab", "a\\", 0},
      {"ab", "a**b", 1}, {"axyb", "a**b", 1}, {"axy", "a**b", 0}, {"abcbcd", "a*bcd", 1},
      {"mississippi", "*sip*", 1},
      {"b", "{a-c", 1}, {"bx", "{a-cx", 0},  // the set runs to the end
      {"C", "{-c}", 1}, {"d", "{-c}", 0}, {"-", "{a-}", 1}, {"}", "{\\}}", 1}, {"-", "{a\\-c}", 1},
      {"b", "{a\\-c}", 0}, {"[a]", "[a]", 1}, {"a", "[a]", 0},
      {"a", "{\xe9-z}", 1}, {"\xe9", "{-z}", 0}};  // signed bytes
  for (auto &c : cases)
    EXPECT_EQ(WildMatch(c.text, c.pattern), c.want)
        << (c.text ? c.text : "(null)") << " ~ " << (c.pattern ? c.pattern : "(null)");
}

}  // namespace
