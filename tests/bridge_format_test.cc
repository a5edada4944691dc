// The bridge's log formats: real Dante server lines and JSON lines read
// into the events the bridge writes, and the lines they must refuse.
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "format.h"

namespace {

using bridge::Endpoint;
using bridge::Event;
using bridge::Format;
using S = std::string;
using Lines = std::vector<S>;

// An endpoint: "A.B.C.D.PORT" for IPv4, "<NAME>.PORT" for text, "-".
S Show(const Endpoint &e) {
  if (!e.known()) return "-";
  if (e.ip4 == 0) return "<" + e.name + ">." + std::to_string(e.port);
  return bridge::endpoint_text(e);
}

// kind|pid|user|src|proxy|dst|cmd|in/out|duration|err
S Show(const Event &e) {
  S bytes = e.has_bytes ? std::to_string(e.in) + "/" + std::to_string(e.out) : "-";
  return S("SXE").substr(e.kind, 1) + "|" + std::to_string(e.pid) + "|" + e.user + "|" +
         Show(e.src) + "|" + Show(e.proxy) + "|" + Show(e.dst) + "|" +
         std::to_string(e.cmd) + "|" + bytes + "|" + std::to_string(e.duration) + "|" +
         std::to_string(e.err);
}

// What a format makes of lines read in turn: an event each, "!" for a
// refused line.
Lines Read(const char *format, const Lines &lines, std::vector<Event> *all = nullptr) {
  std::unique_ptr<Format> f(bridge::new_format(format));
  Lines got;
  for (const S &line : lines) {
    std::vector<Event> events;
    if (!f->parse(line, &events)) got.push_back("!");
    for (const Event &e : events) got.push_back(Show(e));
    if (all) all->insert(all->end(), events.begin(), events.end());
  }
  return got;
}

// One line read by a new format: its events, "!" when refused.
S One(const char *format, const S &line) {
  Lines got = Read(format, {line});
  S s;
  for (const S &g : got) s += (s.empty() ? "" : " + ") + g;
  return s;
}

Lines DataLines(const char *name) {
  std::ifstream in(S(TW_TEST_DATA) + "/" + name);
  Lines lines;
  for (S line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

// Every line of the real logs is understood and the sessions come out
// whole: one event for a failure, start and end otherwise, none for the
// accept ] lines that close them; bind and UDP ends carry the start's
// process though another process logged them.
TEST(DanteLog, RealSessions) {
  Lines lines = DataLines("dante-1.4.log");
  ASSERT_GT(lines.size(), 150u);
  std::vector<Event> events;
  Lines got = Read("dante", lines, &events);
  const Lines want = {
      // run 1
      "S|20582|alice|127.0.0.1.33548|127.0.0.1.1080|127.0.0.1.8080|1|-|-1|0",
      "E|20582|alice|127.0.0.1.33548|127.0.0.1.1080|127.0.0.1.8080|1|555/78|0|0",
      "E|20561|alice|127.0.0.1.33558|127.0.0.1.1080|-|0|-|-1|10",
      "E|20561|bob|127.0.0.1.33562|127.0.0.1.1080|-|0|-|-1|10",
      "E|20582|alice|127.0.0.1.33568|127.0.0.1.1080|127.0.0.1.9|1|0/0|0|5",
      "S|20582|alice|127.0.0.1.33580|127.0.0.1.1080|127.0.0.1.8080|1|-|-1|0",
      "E|20582|alice|127.0.0.1.33580|127.0.0.1.1080|127.0.0.1.8080|1|555/78|0|0",
      "E|3042|alice|127.0.0.1.41196|127.0.0.1.1080|127.0.0.1.9999|1|-|-1|2",
      "S|3063|alice|127.0.0.1.41198|127.0.0.1.1080|127.0.0.1.8080|1|-|-1|0",
      "E|3063|alice|127.0.0.1.41198|127.0.0.1.1080|127.0.0.1.8080|1|735/78|0|0",
      "E|3042|alice|127.0.0.1.41200|127.0.0.1.1080|<nosuchhost.invalid>.0|1|-|-1|4",
      "S|3063|alice|127.0.0.1.41206|127.0.0.1.1080|127.0.0.1.8080|1|-|-1|0",
      "E|3063|alice|127.0.0.1.41206|127.0.0.1.1080|127.0.0.1.8080|1|3145933/81|0|0",
      // run 2
      "S|19366|carol smith|127.0.0.1.49332|127.0.0.1.1080|127.0.0.1.8080|1|-|-1|0",
      "E|19366|carol smith|127.0.0.1.49332|127.0.0.1.1080|127.0.0.1.8080|1|190/78|0|0",
      "S|19366||127.0.0.1.49338|127.0.0.1.1080|127.0.0.1.8080|1|-|-1|0",
      "E|19366||127.0.0.1.49338|127.0.0.1.1080|127.0.0.1.8080|1|190/78|0|0",
      "E|19350|alice|127.0.0.1.49380|127.0.0.1.1080|10.9.0.1.80|1|-|-1|3",
      "E|19350|alice|127.0.0.1.49386|127.0.0.1.1080|10.8.0.1.80|1|-|-1|4",
      "E|19350|alice|127.0.0.1.49390|127.0.0.1.1080|10.7.0.1.80|1|-|-1|2",
      "S|19366|alice|127.0.0.1.49412|127.0.0.1.1080|127.0.0.1.8081|1|-|-1|0",
      "S|19366|alice|<::1>.45066|<::1>.1080|127.0.0.1.8080|1|-|-1|0",
      "E|19366|alice|<::1>.45066|<::1>.1080|127.0.0.1.8080|1|190/78|0|0",
      "S|19366|alice|<::1>.45070|<::1>.1080|<::1>.8086|1|-|-1|0",
      "E|19366|alice|<::1>.45070|<::1>.1080|<::1>.8086|1|190/74|0|0",
      "S|19366|alice|127.0.0.1.49424|127.0.0.1.1080|<::1>.8086|1|-|-1|0",
      "E|19366|alice|127.0.0.1.49424|127.0.0.1.1080|<::1>.8086|1|190/74|0|0",
      "E|19349|alice|<::1>.45074|<::1>.1080|-|0|-|-1|10",
      "E|19366|alice|<::1>.45078|<::1>.1080|127.0.0.1.8086|1|0/0|0|5",
      "S|19366|alice|127.0.0.1.49440|127.0.0.1.1080|127.0.0.1.7777|1|-|-1|0",
      "E|19366|alice|127.0.0.1.49412|127.0.0.1.1080|127.0.0.1.8081|1|2000/78|0|0",
      "E|19366|alice|127.0.0.1.49440|127.0.0.1.1080|127.0.0.1.7777|1|0/0|3|0",
      "E|19349||127.0.0.1.58136|127.0.0.1.1080|-|0|-|-1|1",
      "E|19349||127.0.0.1.58140|127.0.0.1.1080|-|0|-|-1|1",
      "E|19349||127.0.0.2.39335|127.0.0.1.1080|-|0|-|-1|2",
      "E|19349||127.0.0.1.58150|127.0.0.1.1080|-|0|-|-1|7",
      "S|19350|alice|127.0.0.1.60053|127.0.0.1.37271|-|3|-|-1|0",
      "E|19350|alice|127.0.0.1.60053|127.0.0.1.37271|127.0.0.1.5353|3|363/333|0|0",
      "S|19350|alice|<::1>.55061|<::1>.33067|-|3|-|-1|0",
      "E|19350|alice|<::1>.55061|<::1>.33067|127.0.0.1.5353|3|363/333|1|0",
      "S|19350|alice|127.0.0.1.58168|127.0.0.1.1080|127.0.0.1.0|2|-|-1|0",
      "E|19350|alice|127.0.0.1.58168|127.0.0.1.1080|127.0.0.1.40597|2|1000/300|0|0",
      "S|19350|alice|<::1>.53278|<::1>.1080|127.0.0.1.0|2|-|-1|0",
      "E|19350|alice|<::1>.53278|<::1>.1080|127.0.0.1.56359|2|1000/300|0|0",
      "E|19349|al@ice|127.0.0.1.58170|127.0.0.1.1080|-|0|-|-1|10",
      // run 3
      "S|20348|alice|127.0.0.1.58172|127.0.0.1.1080|127.0.0.1.8080|1|-|-1|0",
      "E|20348|alice|127.0.0.1.58172|127.0.0.1.1080|127.0.0.1.8080|1|190/88|0|0",
      "E|20348|alice|127.0.0.1.58188|127.0.0.1.1080|10.5.0.1.80|1|0/0|4|6",
      "S|20348|al@ice|127.0.0.1.35528|127.0.0.1.1080|127.0.0.1.8080|1|-|-1|0",
      "E|20348|al@ice|127.0.0.1.35528|127.0.0.1.1080|127.0.0.1.8080|1|0/0|0|0",
      "S|20348|alice|127.0.0.1.35542|127.0.0.1.1080|127.0.0.1.8080|1|-|-1|0",
      "E|20348|alice|127.0.0.1.35542|127.0.0.1.1080|127.0.0.1.8080|1|520/21|1|0",
      "E|20332|alice|127.0.0.1.46279|-|-|3|-|-1|2",
      "E|20332|alice|127.0.0.3.34703|127.0.0.1.1080|127.0.0.1.0|2|-|-1|2",
      "S|0|alice|127.0.0.1.35550|127.0.0.1.1080|127.0.0.1.0|2|-|-1|0",
      "E|0|alice|127.0.0.1.35550|127.0.0.1.1080|127.0.0.1.0|2|-|-1|0",
      "S|20332|alice|127.0.0.1.35556|127.0.0.1.1080|127.0.0.4.0|2|-|-1|0",
      "E|20332|alice|127.0.0.1.35556|127.0.0.1.1080|127.0.0.4.0|2|-|-1|2",
      "S|20332|alice|127.0.0.1.34117|127.0.0.1.41283|-|3|-|-1|0",
      "E|20332|alice|127.0.0.1.34117|127.0.0.1.41283|127.0.0.1.5353|3|363/333|0|0",
      "S|20332||127.0.0.1.33668|127.0.0.1.60732|-|3|-|-1|0",
      "E|20332||127.0.0.1.33668|127.0.0.1.60732|127.0.0.1.5353|3|363/333|0|0",
  };
  EXPECT_EQ(got, want);
  for (const Event &e : events)
    EXPECT_EQ(e.sid, bridge::endpoint_text(e.src) + " " + bridge::endpoint_text(e.proxy));
}

// The headers a Dante line may have, and what they give.
TEST(Dante, Headers) {
  const S msg = "pass(1): tcp/connect [: 127.0.0.1.5 127.0.0.1.1080 -> 127.0.0.1.9 1.2.3.4.80";
  struct {
    S head;
    uint32_t pid;
    int64_t time_us;
  } cases[] = {
      {"Dec  7 04:54:39 (1796619279.257782) danted[20582]: info: ", 20582, 1796619279257782},
      {"Dec  7 04:54:39 (1796619279.25) danted[7]: info: ", 7, 1796619279250000},
      {"1796619279.257782 host danted[20582]: info: ", 20582, 1796619279257782},
      {"1796619279 host sockd[1]: info: ", 1, 1796619279000000},
      {"Dec  7 04:54:39 host danted[123]: info: ", 123, 0},
      {"Dec  7 04:54:39 host danted: info: ", 0, 0},
      {"info: ", 0, 0},
  };
  for (const auto &c : cases) {
    std::unique_ptr<Format> f(bridge::new_format("dante"));
    std::vector<Event> events;
    ASSERT_TRUE(f->parse(c.head + msg, &events)) << c.head;
    ASSERT_EQ(events.size(), 1u) << c.head;
    EXPECT_EQ(events[0].pid, c.pid) << c.head;
    EXPECT_EQ(events[0].time_us, c.time_us) << c.head;
    EXPECT_EQ(events[0].sid, "127.0.0.1.5 127.0.0.1.1080");
  }
}

// Lines alone: odd users, names and reasons; what is silent ("") and
// what is refused ("!").
TEST(Dante, Lines) {
  const S h = "Dec  7 04:54:39 (1796619279.257782) danted[9]: info: ";
  const S ended = "pass(1): tcp/connect ]: 0 -> username%alice@127.0.0.1.5 127.0.0.1.1080 -> "
                  "0, 0 -> 127.0.0.1.6 1.2.3.4.80 -> 0: ";
  const S failed = "E|9|alice|127.0.0.1.5|127.0.0.1.1080|1.2.3.4.80|1|0/0|2|";
  const std::pair<S, S> cases[] = {
      // a user with blanks, " -> " and '@'; a host name as destination
      {h + "pass(1): tcp/connect [: username%x -> y@z@::1.33548 ::1.1080 -> 127.0.0.1.45153 "
           "www.example.com.80",
       "S|9|x -> y@z|<::1>.33548|<::1>.1080|<www.example.com>.80|1|-|-1|0"},
      {h + "pass(1): tcp/connect [: username%@127.0.0.1.5 127.0.0.1.1080 -> 1.1.1.1.1 1.2.3.4.80",
       "S|9||127.0.0.1.5|127.0.0.1.1080|1.2.3.4.80|1|-|-1|0"},
      // reasons not in the real logs
      {h + ended + "remote peer error (Connection reset by peer).  Session duration: 2s", failed + "1"},
      {h + ended + "remote peer error (Host is unreachable).  Session duration: 2s", failed + "4"},
      {h + ended + "remote peer error (Connection timed out).  Session duration: 2s", failed + "6"},
      {h + ended + "remote peer error (Protocol error).  Session duration: 2s", failed + "1"},
      {h + ended + "tcp-fin-wait timeout.  Session duration: 2s", failed + "0"},
      {h + "block(1): tcp/accept ]: 127.0.0.1.5 127.0.0.1.1080: error after reading 20 bytes in 0 "
           "seconds: pam_authenticate() for user \"a\" b\" failed: Authentication failure",
       "E|9|a\" b|127.0.0.1.5|127.0.0.1.1080|-|0|-|-1|10"},
      {h + "block(1): tcp/accept ]: 127.0.0.1.5 127.0.0.1.1080: negotiate timeout",
       "E|9||127.0.0.1.5|127.0.0.1.1080|-|0|-|-1|6"},
      {h + "block(1): tcp/accept ]: 127.0.0.1.5 127.0.0.1.1080: address type not supported",
       "E|9||127.0.0.1.5|127.0.0.1.1080|-|0|-|-1|8"},
      {h + "block(1): tcp/accept ]: 127.0.0.1.5 127.0.0.1.1080: request was not performed due to "
           "error: could not resolve hostname \"no user \"x\" found\": Name or service not known",
       "E|9||127.0.0.1.5|127.0.0.1.1080|-|0|-|-1|4"},
      // a name in the reason cannot pose as the client
      {h + "block(1): tcp/connect ]: username%alice@127.0.0.1.5 127.0.0.1.1080: could not resolve "
           "hostname \"x@9.9.9.9.9 9.9.9.9.9\": Name or service not known",
       "E|9|alice|127.0.0.1.5|127.0.0.1.1080|-|1|-|-1|4"},
      // silent
      {h + "pass(1): tcp/accept ]: 127.0.0.1.5 127.0.0.1.1080: eof from client", ""},
      {h + "pass(1): tcp/connect -: 127.0.0.1.8080 127.0.0.1.45153 -> 127.0.0.1.1080 "
           "username%alice@127.0.0.1.33548 (555)",
       ""},
      {h + "pass(4): tcp/bindreply ]: 1.1.1.1.1 127.0.0.1.2 -> 127.0.0.1.1080 127.0.0.1.5", ""},
      {h + "Dante/server[1/1] v1.4.2 running", ""},
      {"alert: mother[1/1]: shutting down", ""},
      // refused
      {"", "!"},
      {"garbage", "!"},
      {"Dec  7 04:54:39 host danted[1]: pass(1): tcp/connect [: 127.0.0.1.5 127.0.0.1.1080", "!"},
      {h + "pass(1): tcp/connect [: 127.0.0.1.5 127.0.0.1.1080 -> 1.1.1.1.1 1.2.3.4.5.80", "!"},
      {h + "pass(1): tcp/connect [: 127.0.0.1.5 127.0.0.1.1080 -> 1.1.1.1.1 1.2.3.4.65536", "!"},
      {h + "pass(1): tcp/connect [: 127.0.0.1.5 127.0.0.1.1080 -> 1.1.1.1.1", "!"},
      {h + "pass(1): tcp/connect [: username%alice 127.0.0.1.1080 -> 1.1.1.1.1 1.2.3.4.80", "!"},
      {h + "pass(1): tcp/connect [: localhost.5 127.0.0.1.1080 -> 1.1.1.1.1 1.2.3.4.80", "!"},
      {h + "pass(1): tcp/connect ]: 1 -> 127.0.0.1.5 127.0.0.1.1080 -> 2, 3 -> 1.1.1.1.1 "
           "1.2.3.4.80 -> 4: x.  Session duration: 99999999999s",
       "!"},
      {h + "pass(1): tcp/connect ]: 18446744073709551616 -> 127.0.0.1.5 127.0.0.1.1080 -> 2, 3 -> "
           "1.1.1.1.1 1.2.3.4.80 -> 4: x",
       "!"},
      {h + "pass(1): tcp/frobnicate [: 127.0.0.1.5 127.0.0.1.1080", "!"},
      {h + "pass(1): tcp/connect", "!"},
      {h + "pass(1): tcp/connect [: " + S(bridge::kMaxLine, 'x'), "!"},
  };
  for (const auto &[line, want] : cases) EXPECT_EQ(One("dante", line), want) << line;
}

// An accept ] line closes only a session its own process reported, and
// only one reported lately.
TEST(Dante, AcceptClosesItsOwnSession) {
  const S h = "Dec  7 05:02:05 (1796619725.742393) danted[";
  const S blocked = "]: info: block(1): tcp/connect ]: username%alice@127.0.0.1.41196 "
                    "127.0.0.1.1080 -> 0.0.0.0.0 127.0.0.1.9999";
  const S accept = "]: info: block(1): tcp/accept ]: 127.0.0.1.41196 127.0.0.1.1080: "
                   "blocked by higher-level socks-rule #1";
  const S session = "E|1|alice|127.0.0.1.41196|127.0.0.1.1080|127.0.0.1.9999|1|-|-1|2";
  const S failure = "E|2||127.0.0.1.41196|127.0.0.1.1080|-|0|-|-1|2";
  EXPECT_EQ(Read("dante", {h + "1" + blocked, h + "2" + accept, h + "1" + accept}),
            (Lines{session, failure}));
  Lines lines = {h + "1" + blocked};
  lines.resize(1002, "info: Dante/server[1/1] v1.4.2 running");
  lines.push_back(h + "1" + accept);
  Lines got = Read("dante", lines);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], "E|1||127.0.0.1.41196|127.0.0.1.1080|-|0|-|-1|2");
}

// JSON lines: each field into its place, absent ones left unset.
TEST(Jsonl, Events) {
  const std::pair<S, S> cases[] = {
      {R"({"event":"start","pid":12,"session":"a1","user":"bob","src":"10.0.0.1","src_port":5,)"
       R"("proxy":"::1","proxy_port":1080,"dst":"example.com","dst_port":443,"protocol":"tcp"})",
       "S|12|bob|10.0.0.1.5|<::1>.1080|<example.com>.443|1|-|-1|0"},
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
       "S|0||<fe80::1>.0|-|-|0|-|-1|0"},
  };
  for (const auto &[line, want] : cases) EXPECT_EQ(One("jsonl", line), want) << line;

  std::vector<Event> e;
  std::unique_ptr<Format> f(bridge::new_format("jsonl"));
  ASSERT_TRUE(f->parse(R"({"event":"start","time":1796619279.257782,"src":"10.0.0.1",)"
                       R"("src_port":5,"proxy":"10.0.0.2","proxy_port":1080,"app":"web",)"
                       R"("dst":"1.2.3.4","dst_name":"h.example","reason":"r"})",
                       &e));
  EXPECT_EQ(e[0].time_us, 1796619279257782);
  EXPECT_EQ(e[0].sid, "10.0.0.1.5 10.0.0.2.1080");
  EXPECT_EQ(e[0].dst.name, "h.example");
  EXPECT_EQ(e[0].app, "web");
  EXPECT_EQ(e[0].reason, "r");
}

TEST(Jsonl, Refused) {
  const S refused[] = {
      "",
      "[]",
      "{}",
      "not json",
      R"({"event":"start","session":"s"} x)",
      R"({"event":"begin","session":"s"})",
      R"({"event":1,"session":"s"})",
      R"({"event":"end"})",                                   // no session, no src
      R"({"event":"end","session":"s","session":"t"})",
      R"({"event":"end","session":1.5})",
      R"({"event":"end","session":"s","time":-1})",
      R"({"event":"end","session":"s","time":"now"})",
      R"({"event":"end","session":"s","pid":-1})",
      R"({"event":"end","session":"s","pid":4294967296})",
      R"({"event":"end","session":"s","src_port":65536})",
      R"({"event":"end","session":"s","src":"example.com"})",
      R"({"event":"end","session":"s","src":"10.0.0.256"})",
      R"({"event":"end","session":"s","dst":"1.2.3.4.5"})",
      R"({"event":"end","session":"s","dst":"a b"})",
      R"({"event":"end","session":"s","bytes_in":-1})",
      R"({"event":"end","session":"s","bytes_in":18446744073709551615})",  // a string then
      R"({"event":"end","session":"s","bytes_in":"18446744073709551616"})",
      R"({"event":"end","session":"s","bytes_in":"1e3"})",
      R"({"event":"end","session":"s","bytes_out":1.5})",
      R"({"event":"end","session":"s","duration":-1})",
      R"({"event":"end","session":"s","error":256})",
      R"({"event":"end","session":"s","protocol":"icmp"})",
      R"({"event":"end","session":"s","user":5})",
      R"({"event":"start","session":"s","error":2})",
      R"({"event":"start","session":"s","reason":")" + S(bridge::kMaxLine, 'x') + "\"}",
  };
  for (const S &line : refused) EXPECT_EQ(One("jsonl", line), "!") << line;
  EXPECT_EQ(bridge::new_format("syslog"), nullptr);
}

}  // namespace
