// The bridge's log formats: real Dante server lines and JSON lines read
// into the events the bridge writes, and the lines they must refuse.
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "format.h"

namespace {

using bridge::Event;
using S = std::string;

// An endpoint: P for 127.0.0.1.1080, L<port> for 127.0.0.1, other IPv4 as
// "A.B.C.D.PORT", text as "<NAME>.PORT", "-" for none.
S Show(const bridge::Endpoint &e) {
  if (!e.known()) return "-";
  S t = e.ip4 ? bridge::endpoint_text(e) : "<" + e.name + ">." + std::to_string(e.port);
  return t == "127.0.0.1.1080" ? "P" : t.rfind("127.0.0.1.", 0) ? t : "L" + t.substr(10);
}

// kind|pid|user|src|proxy|dst|cmd|in/out|duration|err, the last three left
// out when they are -|-1|0 (no counts, no duration, no error).
S Show(const Event &e) {
  S bytes = e.has_bytes ? std::to_string(e.in) + "/" + std::to_string(e.out) : "-";
  S tail = "|" + bytes + "|" + std::to_string(e.duration) + "|" + std::to_string(e.err);
  return S("SXE").substr(e.kind, 1) + "|" + std::to_string(e.pid) + "|" + e.user + "|" +
         Show(e.src) + "|" + Show(e.proxy) + "|" + Show(e.dst) + "|" + std::to_string(e.cmd) +
         (tail == "|-|-1|0" ? "" : tail);
}

// What a new format makes of lines read in turn: its events, "!" for a
// refused line, one a line; the events themselves into *all.
S Read(const char *format, const std::vector<S> &lines, std::vector<Event> *all = nullptr) {
  std::unique_ptr<bridge::Format> f(bridge::new_format(format));
  S got;
  for (const S &line : lines) {
    std::vector<Event> events;
    if (!f->parse(line, &events)) got += "\n!";
    for (const Event &e : events) got += "\n" + Show(e);
    if (all) all->insert(all->end(), events.begin(), events.end());
  }
  return got.substr(got.empty() ? 0 : 1);
}

// Every line of the real logs is understood and the sessions come out
// whole: one event for a failure, start and end otherwise, none for the
// accept ] lines that close them; bind and UDP ends carry the start's
// process though another process logged them.
TEST(DanteLog, RealSessions) {
  std::ifstream in(S(TW_TEST_DATA) + "/dante-1.4.log");
  std::vector<S> lines;
  for (S line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  std::vector<Event> events;
  EXPECT_EQ(Read("dante", lines, &events),
      "S|20582|alice|L33548|P|L8080|1\nE|20582|alice|L33548|P|L8080|1|555/78|0|0\nE|20561|alice|"
      "L33558|P|-|0|-|-1|10\nE|20561|bob|L33562|P|-|0|-|-1|10\nE|20582|alice|L33568|P|L9|1|0/0|0|"
      "5\nS|20582|alice|L33580|P|L8080|1\nE|20582|alice|L33580|P|L8080|1|555/78|0|0\nE|3042|alice|"
      "L41196|P|L9999|1|-|-1|2\nS|3063|alice|L41198|P|L8080|1\nE|3063|alice|L41198|P|L8080|1|"
      "735/78|0|0\nE|3042|alice|L41200|P|<nosuchhost.invalid>.0|1|-|-1|4\nS|3063|alice|L41206|P|"
      "L8080|1\nE|3063|alice|L41206|P|L8080|1|3145933/81|0|0\nS|19366|carol smith|L49332|P|L8080|"
      "1\nE|19366|carol smith|L49332|P|L8080|1|190/78|0|0\nS|19366||L49338|P|L8080|1\nE|19366||"
      "L49338|P|L8080|1|190/78|0|0\nE|19350|alice|L49380|P|10.9.0.1.80|1|-|-1|3\nE|19350|alice|"
      "L49386|P|10.8.0.1.80|1|-|-1|4\nE|19350|alice|L49390|P|10.7.0.1.80|1|-|-1|2\nS|19366|alice|"
      "L49412|P|L8081|1\nS|19366|alice|<::1>.45066|<::1>.1080|L8080|1\nE|19366|alice|<::1>.45066|"
      "<::1>.1080|L8080|1|190/78|0|0\nS|19366|alice|<::1>.45070|<::1>.1080|<::1>.8086|1\nE|19366|"
      "alice|<::1>.45070|<::1>.1080|<::1>.8086|1|190/74|0|0\nS|19366|alice|L49424|P|<::1>.8086|1\n"
      "E|19366|alice|L49424|P|<::1>.8086|1|190/74|0|0\nE|19349|alice|<::1>.45074|<::1>.1080|-|0|-|"
      "-1|10\nE|19366|alice|<::1>.45078|<::1>.1080|L8086|1|0/0|0|5\nS|19366|alice|L49440|P|L7777|"
      "1\nE|19366|alice|L49412|P|L8081|1|2000/78|0|0\nE|19366|alice|L49440|P|L7777|1|0/0|3|0\nE|"
      "19349||L58136|P|-|0|-|-1|1\nE|19349||L58140|P|-|0|-|-1|1\nE|19349||127.0.0.2.39335|P|-|0|-|"
      "-1|2\nE|19349||L58150|P|-|0|-|-1|7\nS|19350|alice|L60053|L37271|-|3\nE|19350|alice|L60053|"
      "L37271|L5353|3|363/333|0|0\nS|19350|alice|<::1>.55061|<::1>.33067|-|3\nE|19350|alice|"
      "<::1>.55061|<::1>.33067|L5353|3|363/333|1|0\nS|19350|alice|L58168|P|L0|2\nE|19350|alice|"
      "L58168|P|L40597|2|1000/300|0|0\nS|19350|alice|<::1>.53278|<::1>.1080|L0|2\nE|19350|alice|"
      "<::1>.53278|<::1>.1080|L56359|2|1000/300|0|0\nE|19349|al@ice|L58170|P|-|0|-|-1|10\nS|20348|"
      "alice|L58172|P|L8080|1\nE|20348|alice|L58172|P|L8080|1|190/88|0|0\nE|20348|alice|L58188|P|"
      "10.5.0.1.80|1|0/0|4|6\nS|20348|al@ice|L35528|P|L8080|1\nE|20348|al@ice|L35528|P|L8080|1|0/0|"
      "0|0\nS|20348|alice|L35542|P|L8080|1\nE|20348|alice|L35542|P|L8080|1|520/21|1|0\nE|20332|"
      "alice|L46279|-|-|3|-|-1|2\nE|20332|alice|127.0.0.3.34703|P|L0|2|-|-1|2\nS|0|alice|L35550|P|"
      "L0|2\nE|0|alice|L35550|P|L0|2\nS|20332|alice|L35556|P|127.0.0.4.0|2\nE|20332|alice|L35556|P|"
      "127.0.0.4.0|2|-|-1|2\nS|20332|alice|L34117|L41283|-|3\nE|20332|alice|L34117|L41283|L5353|3|"
      "363/333|0|0\nS|20332||L33668|L60732|-|3\nE|20332||L33668|L60732|L5353|3|363/333|0|0");
  for (const Event &e : events)
    EXPECT_EQ(e.sid, bridge::endpoint_text(e.src) + " " + bridge::endpoint_text(e.proxy));
}

// Lines alone: the headers a line may have, and the process and time they
// give; odd users, names and reasons; what is silent ("") and what is
// refused ("!").
TEST(Dante, Lines) {
  const S h = "Dec  7 04:54:39 (1796619279.257782) danted[9]: info: ";
  const S t = "pass(1): tcp/connect ", c = h + t, o = c + "[: ", sp = "127.0.0.1.5 127.0.0.1.1080";
  const std::tuple<S, uint32_t, int64_t> heads[] = {
      {"Dec  7 04:54:39 (1796619279.257782) danted[20582]: info: ", 20582, 1796619279257782},
      {"Dec  7 04:54:39 (1796619279.25) danted[7]: info: ", 7, 1796619279250000},
      {"1796619279.257782 host danted[20582]: info: ", 20582, 1796619279257782},
      {"1796619279 host sockd[1]: info: ", 1, 1796619279000000},
      {"Dec  7 04:54:39 host danted[123]: info: ", 123, 0},
      {"Dec  7 04:54:39 host danted: info: ", 0, 0}, {"info: ", 0, 0}};
  for (const auto &[head, pid, time_us] : heads) {
    std::vector<Event> e;
    ASSERT_EQ(Read("dante", {head + t + "[: " + sp + " -> 127.0.0.1.9 1.2.3.4.80"}, &e),
              "S|" + std::to_string(pid) + "||L5|P|1.2.3.4.80|1");
    EXPECT_EQ(std::make_pair(e[0].time_us, e[0].sid), std::make_pair(time_us, sp)) << head;
  }
  const S to = " 127.0.0.1.1080 -> 1.1.1.1.1 ", why = "\": Name or service not known";
  const S end = c + "]: 0 -> username%alice@" + sp + " -> 0, 0 -> 127.0.0.1.6 1.2.3.4.80 -> 0: ";
  const S d = ".  Session duration: 2s", p = end + "remote peer error (";
  const S acc = h + "block(1): tcp/accept ]: " + sp + ": ", o5 = o + "127.0.0.1.5" + to;
  const S rest = " -> 2, 3 -> 1.1.1.1.1 1.2.3.4.80 -> 4: x";
  const S ended = "E|9|alice|L5|P|1.2.3.4.80|1|0/0|2|", failed = "E|9||L5|P|-|0|-|-1|";
  const std::pair<S, S> cases[] = {
      // a user with blanks, " -> " and '@'; a host name as destination
      {o + "username%x -> y@z@::1.33548 ::1.1080 -> 127.0.0.1.45153 www.example.com.80",
       "S|9|x -> y@z|<::1>.33548|<::1>.1080|<www.example.com>.80|1"},
      {o + "username%@127.0.0.1.5" + to + "1.2.3.4.80", "S|9||L5|P|1.2.3.4.80|1"},
      {end + "tcp-fin-wait timeout" + d, ended + "0"},  // reasons not in the real logs
      {p + "Connection reset by peer)" + d, ended + "1"}, {p + "Protocol error)" + d, ended + "1"},
      {p + "Host is unreachable)" + d, ended + "4"}, {p + "Connection timed out)" + d, ended + "6"},
      {acc + "error after reading 20 bytes in 0 seconds: pam_authenticate() for user \"a\" b\" "
             "failed: Authentication failure", "E|9|a\" b|L5|P|-|0|-|-1|10"},
      {acc + "negotiate timeout", failed + "6"}, {acc + "address type not supported", failed + "8"},
      {acc + "request was not performed due to error: could not resolve hostname \"no user \"x\" "
             "found" + why, failed + "4"},
      // a name in the reason cannot pose as the client
      {h + "block(1): tcp/connect ]: username%alice@" + sp + ": could not resolve hostname "
           "\"x@9.9.9.9.9 9.9.9.9.9" + why, "E|9|alice|L5|P|-|1|-|-1|4"},
      {h + "pass(1): tcp/accept ]: " + sp + ": eof from client", ""},  // silent
      {h + "pass(4): tcp/bindreply ]: 1.1.1.1.1 127.0.0.1.2 -> 127.0.0.1.1080 127.0.0.1.5", ""},
      {"alert: mother[1/1]: shutting down", ""},
      {"", "!"}, {"garbage", "!"},  // refused
      {"Dec  7 04:54:39 host danted[1]: pass(1): tcp/connect [: " + sp, "!"},
      {o5 + "1.2.3.4.5.80", "!"}, {o5 + "1.2.3.4.65536", "!"}, {o + sp + " -> 1.1.1.1.1", "!"},
      {o + "username%alice" + to + "1.2.3.4.80", "!"}, {o + "localhost.5" + to + "1.2.3.4.80", "!"},
      {c + "]: 1 -> " + sp + rest + ".  Session duration: 99999999999s", "!"},
      {c + "]: 18446744073709551616 -> " + sp + rest, "!"},
      {h + "pass(1): tcp/frobnicate [: " + sp, "!"}, {h + "pass(1): tcp/connect", "!"},
      {o + S(bridge::kMaxLine, 'x'), "!"}};
  for (const auto &[line, want] : cases) EXPECT_EQ(Read("dante", {line}), want) << line;
}

// An accept ] line closes only a session its own process reported, and
// only one reported lately.
TEST(Dante, AcceptClosesItsOwnSession) {
  const S h = "Dec  7 05:02:05 (1796619725.742393) danted[", sp = "127.0.0.1.41196 127.0.0.1.1080";
  const S blocked = h + "1]: info: block(1): tcp/connect ]: username%alice@" + sp +
                    " -> 0.0.0.0.0 127.0.0.1.9999";
  const S accept = "]: info: block(1): tcp/accept ]: " + sp +
                   ": blocked by higher-level socks-rule #1";
  const S session = "E|1|alice|L41196|P|L9999|1|-|-1|2", failure = "||L41196|P|-|0|-|-1|2";
  EXPECT_EQ(Read("dante", {blocked, h + "2" + accept, h + "1" + accept}),
            session + "\nE|2" + failure);
  std::vector<S> lines = {blocked};
  lines.resize(1002, "info: Dante/server[1/1] v1.4.2 running");
  lines.push_back(h + "1" + accept);
  EXPECT_EQ(Read("dante", lines), session + "\nE|1" + failure);
}

// JSON lines: each field into its place, absent ones left unset; the
// lines refused.
TEST(Jsonl, Lines) {
  const std::pair<S, S> cases[] = {
      {R"({"event":"start","pid":12,"session":"a1","user":"bob","src":"10.0.0.1","src_port":5,)"
       R"("proxy":"::1","proxy_port":1080,"dst":"example.com","dst_port":443,"protocol":"tcp"})",
       "S|12|bob|10.0.0.1.5|<::1>.1080|<example.com>.443|1"},
      {R"({"event":"end","session":7,"bytes_in":9223372036854775807,)"
       R"("bytes_out":"18446744073709551615","duration":2.9,"protocol":"udp-associate"})",
       "E|0||-|-|-|3|9223372036854775807/18446744073709551615|2|0"},
      {R"({"event":"end","src":"10.0.0.1","src_port":5,"error":5,"protocol":"bind","x":[1]})",
       "E|0||10.0.0.1.5|-|-|2|-|-1|5"},
      {R"({"event":"error","session":"s","reason":"refused"})", "X|0||-|-|-|0|-|-1|1"},
      {R"({"event":"error","session":"s","error":10,"user":null})", "X|0||-|-|-|0|-|-1|10"},
      {R"({"event":"end","session":"s","dst":"1.2.3.4","dst_name":"h.example","bytes_out":3})",
       "E|0||-|-|1.2.3.4.0|0|0/3|-1|0"},
      {R"({"event":"start","session":"s","src":"fe80::1","src_name":"pc"})",
       "S|0||<fe80::1>.0|-|-|0"}};
  for (const auto &[line, want] : cases) EXPECT_EQ(Read("jsonl", {line}), want) << line;
  std::vector<Event> e;
  Read("jsonl", {R"({"event":"start","time":1796619279.257782,"src":"10.0.0.1","src_port":5,)"
                 R"("proxy":"10.0.0.2","proxy_port":1080,"app":"web","dst":"1.2.3.4",)"
                 R"("dst_name":"h.example","reason":"r"})"}, &e);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(std::make_tuple(e[0].time_us, e[0].sid, e[0].dst.name, e[0].app, e[0].reason),
            std::make_tuple(int64_t{1796619279257782}, S("10.0.0.1.5 10.0.0.2.1080"),
                            S("h.example"), S("web"), S("r")));
  // refused whole (an end with neither session nor src among them)
  const S refused[] = {"", "[]", "{}", "not json", R"({"event":"start","session":"s"} x)",
      R"({"event":"begin","session":"s"})", R"({"event":1,"session":"s"})", R"({"event":"end"})",
      R"({"event":"end","session":1.5})", R"({"event":"start","session":"s","error":2})",
      R"({"event":"start","session":"s","reason":")" + S(bridge::kMaxLine, 'x') + "\"}"};
  for (const S &line : refused) EXPECT_EQ(Read("jsonl", {line}), "!") << line;
  // an end refused for one field (a number past 2^64 - 1 only as a string)
  const char *fields[] = {R"("session":"t")", R"("time":-1)", R"("time":"now")", R"("pid":-1)",
      R"("pid":4294967296)", R"("src_port":65536)", R"("src":"example.com")",
      R"("src":"10.0.0.256")", R"("dst":"1.2.3.4.5")", R"("dst":"a b")", R"("bytes_in":-1)",
      R"("bytes_in":18446744073709551615)", R"("bytes_in":"18446744073709551616")",
      R"("bytes_in":"1e3")", R"("bytes_out":1.5)", R"("duration":-1)", R"("error":256)",
      R"("protocol":"icmp")", R"("user":5)"};
  for (const char *f : fields)
    EXPECT_EQ(Read("jsonl", {R"({"event":"end","session":"s",)" + S(f) + "}"}), "!") << f;
  EXPECT_EQ(bridge::new_format("syslog"), nullptr);
}

}  // namespace
