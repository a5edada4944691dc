// The feed script reader and the records an offline replay hands to the
// rule set.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audit.h"
#include "feedscript.h"
#include "replay.h"
#include "rules_util.h"

namespace {

TEST(FeedScript, Lines) {
  std::pair<const char *, const char *> cases[] = {
      {"  # a comment", ""}, {"start 7,1 user=\"a b\" time=5", ""}, {"sleep .5", ""},
      {"sleep", "sleep: expected SECONDS"}, {"wait-reader x", "wait-reader: bad seconds \"x\""},
      {"end", "end: missing key"}, {"start 1 src=1.2.3.4", "start: bad value in \"src=1.2.3.4\""},
      {"end 1 in=3", "end: unknown word \"in=3\""}, {"start 1 \"open", "unterminated quote"}};
  for (auto &[line, want] : cases) {
    feedscript::Step st;
    std::string err;
    EXPECT_EQ(feedscript::ParseLine(line, &st, &err), !*want) << line;
    EXPECT_EQ(err, want) << line;
  }
}

// Notes the record under check each time the always-true alarm fires.
struct NoteSink : ActionSink {
  void run(int, const char *) override {
    seen += std::to_string(record.time()) + " dur=" + std::to_string(record.dur()) + " read=" +
            std::to_string(record.last()) + " id=" + std::to_string(record.id()) + " in=" +
            std::to_string(record.in()) + " app=" + std::to_string(record.app()) + ";";
  }
  std::string seen;
};

// A start makes no record (no command yet); later changes carry the time
// of the take before as their read time and keep fields not given; lines
// without a time follow the clock; a restarted key gets the next number.
TEST(ReplayTest, ChangesBecomeRecordsAtScriptTime) {
  TestRules rules;
  rules.Load("WHEN (err >= 0) #line:1-2-2\nx\n");
  NoteSink sink;
  ActionSink *saved = ALRM_action_sink;
  ALRM_action_sink = &sink;
  Replay replay{rules.table, 1000};
  for (const char *l : {"start 5,1 user=ann time=100", "update 5,1 cmd=connect dst=1.1.1.1:80 time=110",
                        "update 5,1 in=7 cmd=udp time=120", "end 5,1 time=130", "sleep 2.5",
                        "start 5,1", "update 5,1 cmd=bind dst=1.1.1.1:21", "end 2,2"}) {
    feedscript::Step st;
    std::string err;
    ASSERT_TRUE(feedscript::ParseLine(l, &st, &err)) << l;
    EXPECT_EQ(replay.Apply(st, &err), strcmp(l, "end 2,2") != 0) << l;
  }
  ALRM_action_sink = saved;
  EXPECT_EQ(sink.seen, "110 dur=10 read=100 id=0 in=0 app=80;120 dur=20 read=110 id=0 in=7 app=-80;"
                       "130 dur=30 read=120 id=0 in=7 app=-80;1002 dur=0 read=1002 id=1 in=0 app=21;");
  EXPECT_EQ(replay.records(), 4);
}

}  // namespace
