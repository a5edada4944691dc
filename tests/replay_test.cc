// The feed script reader and the offline replay: what each line says, and
// the records a replayed script hands to the rule set (times, durations,
// read times, connection numbers, fields kept across changes).
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audit.h"
#include "feedscript.h"
#include "replay.h"
#include "rules_util.h"
#include "stats.h"

namespace {

using feedscript::Kind;
using feedscript::Step;

TEST(FeedScript, Lines) {
  struct { const char *line; const char *err; Kind kind; } cases[] = {
      {"  # a comment", nullptr, Kind::kNone},
      {"", nullptr, Kind::kNone},
      {"start 7,1 user=\"a b\" time=5", nullptr, Kind::kStart},
      {"update 1 cmd=udp in=3 dst=1.2.3.4:53", nullptr, Kind::kUpdate},
      {"sleep .5", nullptr, Kind::kSleep},
      {"wait-drained", nullptr, Kind::kWaitDrained},
      {"sleep", "sleep: expected SECONDS", Kind::kSleep},
      {"wait-reader 2 3", "wait-reader: too many words", Kind::kWaitReader},
      {"wait-reader x", "wait-reader: bad seconds \"x\"", Kind::kWaitReader},
      {"update x", "update: bad key \"x\"", Kind::kUpdate},
      {"end", "end: missing key", Kind::kEnd},
      {"start 1 src=1.2.3.4", "start: bad value in \"src=1.2.3.4\"", Kind::kStart},
      {"end 1 in=3", "end: unknown word \"in=3\"", Kind::kEnd},
      {"error 1 msg=x", "error: missing code=N", Kind::kError},
      {"start 1 \"open", "unterminated quote", Kind::kNone},
      {"launch 1", "unknown word \"launch\"", Kind::kNone},
  };
  for (auto &c : cases) {
    Step st;
    std::string err;
    EXPECT_EQ(feedscript::ParseLine(c.line, &st, &err), c.err == nullptr) << c.line;
    EXPECT_EQ(err, c.err ? c.err : "") << c.line;
    if (c.err == nullptr) {
      EXPECT_EQ(st.kind, c.kind) << c.line;
    }
  }
  Step st;
  std::string err;
  ASSERT_TRUE(feedscript::ParseLine("start 7,1 user=\"a b\" time=5", &st, &err));
  EXPECT_EQ(st.ev.key.word[0], 7u);
  EXPECT_EQ(st.ev.user, "a b");
  EXPECT_TRUE(st.ev.hasTime);
  EXPECT_EQ(st.ev.time, 5);
  ASSERT_TRUE(feedscript::ParseLine("sleep 2.5", &st, &err));
  EXPECT_EQ(st.seconds, 2.5);
}

// Notes the record under check each time the always-true alarm fires.
class NoteSink : public ActionSink {
 public:
  void run(int, const char *) override { Note(); }
  void suppressed(int, const char *) override { Note(); }
  bool reports_suppressed() const override { return true; }
  void Note() {
    char buf[128];
    snprintf(buf, sizeof buf, "t=%d dur=%d read=%d id=%d in=%d out=%d err=%d app=%d %s",
             record.time(), record.dur(), record.last(), record.id(), record.in(),
             record.out(), record.err(), record.app(), record.usr());
    seen.push_back(buf);
  }
  std::vector<std::string> seen;
};

class ReplayTest : public testing::Test {
 protected:
  ReplayTest() {
    rules.Load("WHEN (err >= 0) #line:1-2-2\nx\n");
    saved = ALRM_action_sink;
    ALRM_action_sink = &sink;
  }
  ~ReplayTest() override { ALRM_action_sink = saved; }
  // Replays the lines from clock 1000; the error of the first line that
  // fails, or "".
  std::string Run(std::initializer_list<const char *> lines) {
    for (const char *l : lines) {
      Step st;
      std::string err;
      if (!feedscript::ParseLine(l, &st, &err) || !replay.Apply(st, &err)) return err;
    }
    return "";
  }

  TestRules rules;
  NoteSink sink;
  ActionSink *saved;
  Replay replay{rules.table, 1000};
};

TEST_F(ReplayTest, ChangesBecomeRecordsAtScriptTime) {
  ASSERT_EQ(Run({"start 5,1 user=ann src=10.0.0.1:1000 time=100",
                 "update 5,1 cmd=connect dst=10.0.0.2:80 time=110",
                 "update 5,1 in=7 time=120", "error 5,1 code=3 time=125",
                 "update 5,1 out=9 cmd=udp time=126", "end 5,1 time=130"}),
            "");
  // The start is taken but makes no record (no command yet); each later
  // change carries the time of the take before as its read time; fields
  // not given are kept; an ended connection's duration stops at its end.
  EXPECT_EQ(sink.seen, (std::vector<std::string>{
                           "t=110 dur=10 read=100 id=0 in=0 out=0 err=0 app=80 ann",
                           "t=120 dur=20 read=110 id=0 in=7 out=0 err=0 app=80 ann",
                           "t=125 dur=25 read=120 id=0 in=7 out=0 err=3 app=80 ann",
                           "t=126 dur=26 read=125 id=0 in=7 out=9 err=3 app=-80 ann",
                           "t=130 dur=30 read=126 id=0 in=7 out=9 err=3 app=-80 ann"}));
  EXPECT_EQ(replay.records(), 5);
  EXPECT_EQ(replay.changes(), 6);
  EXPECT_EQ(ALRM_stats.fired, 5u);
}

TEST_F(ReplayTest, ClockConnectionNumbersAndRestart) {
  ASSERT_EQ(Run({"start 1,1", "start 1,2 user=bo", "update 1,2 cmd=bind dst=1.1.1.1:21",
                 "sleep 2.5", "update 1,2 in=1", "update 1,2 in=2 time=900",
                 "sleep 1", "update 1,2 in=3 time=5000", "update 1,2 in=4",
                 "start 1,2 user=cy", "update 1,2 cmd=connect dst=1.1.1.1:22"}),
            "");
  // Lines without a time follow the clock: its start, sleeps, and a later
  // time= (an earlier one does not turn it back).  A restarted key is a
  // fresh record with the next connection number.
  EXPECT_EQ(sink.seen, (std::vector<std::string>{
                           "t=1000 dur=0 read=1000 id=1 in=0 out=0 err=0 app=21 bo",
                           "t=1002 dur=2 read=1000 id=1 in=1 out=0 err=0 app=21 bo",
                           "t=5000 dur=4000 read=900 id=1 in=3 out=0 err=0 app=21 bo",
                           "t=5000 dur=4000 read=5000 id=1 in=4 out=0 err=0 app=21 bo",
                           "t=5000 dur=0 read=5000 id=2 in=0 out=0 err=0 app=22 cy"}));
  // The change at 900 (before the start) has a negative duration: it is
  // taken, but makes no record.
  EXPECT_EQ(replay.changes(), 9);  // all but the sleeps
}

TEST_F(ReplayTest, EndedConnectionsGoAtEveryTenthStart) {
  ASSERT_EQ(Run({"start 1,100", "end 1,100", "update 1,100 in=1"}), "");
  for (int i = 1; i <= 8; i++)
    ASSERT_EQ(Run({("start 1," + std::to_string(i)).c_str()}), "");
  ASSERT_EQ(Run({"update 1,100 in=2"}), "");  // nine starts: still there
  EXPECT_EQ(Run({"start 1,9", "update 1,100 in=3"}), "update: no connection <1,100>");
  EXPECT_EQ(Run({"update 1,1 in=1", "error 2,1 code=1"}), "error: no connection <2,1>");
  EXPECT_EQ(Run({"end 2,2"}), "end: no connection <2,2>");
  EXPECT_EQ(replay.connections(), 9u);
}

}  // namespace
