// Loading the parsed rule file: words, line markers and message prefixes,
// settings and symbols, alarms and their condition trees, aggregates and
// stored action commands.
#include <errno.h>
#include <string.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "audit.h"
#include "rules_util.h"

namespace {

using testing::ExitedWithCode;

// Matches exactly msg as the one line written to standard error.
std::string Exactly(const std::string &msg) {
  return "^" + std::regex_replace(msg, std::regex(R"([.^$|()\[\]{}*+?\\])"),
                                  R"(\$&)") + "\n$";
}

// The shape of a condition tree: c<var> for a comparison, &(..,..) and
// |(..,..) for and/or nodes ('-' for a missing second operand), T for true.
std::string Shape(const Condition *c) {
  if (c == nullptr) return "-";
  switch (c->rule) {
    case RULE_COMPARISON: return "c" + std::to_string(c->comp->operandtype[0]);
    case RULE_TRUE: return "T";
  }
  return std::string(c->rule == RULE_AND ? "&(" : "|(") + Shape(c->subcond1) +
         "," + Shape(c->subcond2) + ")";
}

bool AllAlertTimes(const Condition *c, int t) {
  return c == nullptr || (c->alert_time == t && AllAlertTimes(c->subcond1, t) &&
                          AllAlertTimes(c->subcond2, t));
}

// A stored command made readable: an item shows as <marker:code>, with '*'
// when it points to an aggregate (to agg, when that is given).
std::string Decode(const char *cmd, const void *agg = nullptr) {
  const size_t item = 1 + sizeof(int) + sizeof(void *);
  std::string out;
  for (const char *p = cmd; *p != '\0';) {
    if (*p != 1 && *p != 2) {
      out += *p++;
      continue;
    }
    int code;
    void *ptr;
    memcpy(&code, p + 1, sizeof code);
    memcpy(&ptr, p + 1 + sizeof code, sizeof ptr);
    out += "<" + std::to_string(*p) + ":" + std::to_string(code) +
           (ptr == nullptr ? ">" : agg == nullptr || ptr == agg ? "*>" : "?>");
    p += item;
  }
  return out;
}

class ParseTest : public testing::Test {
 protected:
  // An aggregate reference as written in a condition, e.g. "IN[src]".
  struct Agg { int code; Total *total; std::string rest; };
  Agg ReadAgg(std::string text) {
    char *p = &text[0];
    token.get(p, 0, OPERAND_DELIMS);
    void *data;
    int code = token.parse(data, p);
    return {code, static_cast<Total *>(data), p};
  }
  std::string Symbols() {
    std::string s;
    SymbolTable &t = rules.table.symbol_table;
    for (Pix p = t.list.first(); p != nullptr; t.list.next(p))
      s += std::string(t.list(p).symbol) + "=" + t.list(p).value + ";";
    return s;
  }
  const Comparison &Comp(int alarm) {
    Pix p = rules.table.AlarmList.first();
    while (--alarm > 0) rules.table.AlarmList.next(p);
    return *rules.table.AlarmList(p).condition.comp;
  }

  TestRules rules;
};

TEST_F(ParseTest, WordsTakeTheirFirstCharacter) {
  struct { const char *text, *delims, *word, *rest; } cases[] = {
      {"=abc def", WORD_DELIMS, "=abc", " def"}, {"((a", WORD_DELIMS, "(", "(a"},
      {"(a b", WORD_DELIMS, "(a", " b"}, {" \tword)", WORD_DELIMS, "word", ")"},
      {"x\r\n", WORD_DELIMS, "x", "\r\n"}, {"ab", WORD_DELIMS, "ab", ""},
      {"a b==c", OPERAND_DELIMS, "a b", "==c"}};
  for (auto &c : cases) {
    std::string s = c.text;
    char *p = &s[0];
    token.get(p, 0, c.delims);
    EXPECT_STREQ(token.ptr, c.word) << c.text;
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, c.rest) << c.text;
  }
  for (const char *blank : {" \t ", "", "  \n"}) {
    std::string s = blank;
    char *p = &s[0];
    token.get(p, -3, WORD_DELIMS);
    EXPECT_STREQ(token.ptr, "") << '"' << blank << '"';
    EXPECT_EQ(p, nullptr);
  }
}

TEST_F(ParseTest, TrailingSpaceAndTranslation) {
  struct { const char *word, *stripped; } strip[] = {
      {"ab \t\n", "ab"}, {"ab\r", "ab\r"}, {"a b \r ", "a b \r"}, {"  ", ""}};
  for (auto &c : strip) {
    char buf[16];
    strcpy(buf, c.word);
    token.ptr = buf;
    token.rm_trailing_space();
    EXPECT_STREQ(buf, c.stripped);
  }
  struct { const char *word; int code; } words[] = {
      {"source", 2}, {"src", 2}, {"Source", 13}, {"src.name", 0},
      {"destination.ip", 4}, {"app.port", 7}, {"usr", 9}, {"tm", 10},
      {"time", 10}, {"error", 11}, {"socks.pid", 12}, {"pid", 12},
      {"FAIL", 13}, {"", 13}};
  for (auto &w : words) {
    token.ptr = const_cast<char *>(w.word);
    EXPECT_EQ(token.translate(), w.code) << w.word;
  }
}

TEST_F(ParseTest, LineMarkersNameTheRuleFileLines) {
  struct { const char *line, *cond, *action; } cases[] = {
      {"WHEN (x) #line:4-6-7", "lines 4-5 (parsed 9):", "lines 6-7 (parsed 9):"},
      {"WHEN (x) #line:4-5-5", "line 4 (parsed 9):", "line 5 (parsed 9):"},
      {"a#b #line:12-20-31", "lines 12-19 (parsed 9):", "lines 20-31 (parsed 9):"},
      {"WHEN (x) #line:0-5-6", "parsed line 9: ", "lines 5-6 (parsed 9):"},
      {"WHEN (x) #line:4", "parsed line 9: ", "parsed line 9: "},
      {"x=1", "parsed line 9: ", "parsed line 9: "}};
  token.line_num = 9;
  for (auto &c : cases) {
    token.parse_cond_line_no(c.line);
    EXPECT_STREQ(token.print_line_range(), c.cond) << c.line;
    token.parse_action_line_no(c.line);
    EXPECT_STREQ(token.print_line_range(), c.action) << c.line;
  }
  token.parse_cond_line_no("#line:0-5-6");
  EXPECT_EQ(token.last_line, 0);
}

TEST_F(ParseTest, Settings) {
  ASSERT_EQ(rules.Load("react_time=5\nalert_time = 12.9 junk\nreact_time=0\n"), 0);
  EXPECT_EQ(rules.table.get_alert(), 12);
  EXPECT_EQ(rules.table.get_keep_action(), 0);
  EXPECT_EQ(Symbols(), "");

  struct { const char *text, *msg; } bad[] = {
      {"alert_time=\n",
       "parsed line 1:  error near alert_time, more information expected"},
      {"alert_time=0\n", "parsed line 1:  error near 0, value cannot be 0"},
      {"alert_time=-5\n", "parsed line 1:  error near -5, value cannot be less than 0"},
      {"x=1\nreact_time=-1\n",
       "parsed line 2:  error near -1, value cannot be less than 0"},
      {"react_time=1234567890\n", "parsed line 1:  number 1234567890 is too long"},
      {"alert_time=12x\n", "parsed line 1:  12x is not numeric"},
      {"name(=1\n", "parsed line 1:  error near name, '=' expected"},
      {"name\n", "parsed line 1:  error near name, '=' expected"},
      {"   \n",
       "parsed line 1:  error near end of line, more information expected"}};
  token.ptr = nullptr;  // no word read yet
  for (auto &b : bad)
    EXPECT_EXIT(rules.Load(b.text), ExitedWithCode(1), Exactly(b.msg)) << b.text;
}

TEST_F(ParseTest, SymbolsAreRedefinedInPlace) {
  ASSERT_EQ(rules.Load("a=\t1 \nwho=alice\nempty=\n"
                       "WHEN (usr==$who) #line:4-5-5\n\n"
                       "who=bob\n"
                       "WHEN (usr==$who) #line:8-9-9\n\n"),
            2);
  EXPECT_EQ(Symbols(), "a=\t1 ;who=bob;empty=;");
  EXPECT_EQ(rules.table.symbol_table.count, 3);
  EXPECT_STREQ(static_cast<char *>(Comp(1).operand[1]), "alice");
  EXPECT_STREQ(static_cast<char *>(Comp(2).operand[1]), "bob");
  EXPECT_EQ(rules.table.retrieve_symbol("nobody"), nullptr);
  EXPECT_EXIT(rules.Load("WHEN (usr==$empty) #line:4-5-5\n\n"), ExitedWithCode(1),
              Exactly("line 4 (parsed 1): error near $empty, value=null"));
}

TEST_F(ParseTest, ConditionTrees) {
  struct { const char *cond, *shape; } cases[] = {
      {"(err==1)", "c11"},
      {"((err==1))", "&(c11,-)"},
      {"( (err==1) | (src==1.2.3.4) )", "|(c11,c2)"},
      {"((err==1)&((src==1.2.3.4)|(dst==5.6.7.8)))", "&(c11,|(c2,c5))"},
      {"(((err==1)|(err==2))&(FAIL[src]>3))", "&(|(c11,c11),c270)"}};
  int id = 0;
  for (auto &c : cases) {
    int t = 10 * ++id;
    std::string text = "alert_time=" + std::to_string(t) + "\nWHEN " + c.cond +
                       " #line:1-2-2\necho\n";
    ASSERT_EQ(rules.Load(text), 1) << c.cond;
    EXPECT_EQ(rules.Last().alarm_id, id);
    EXPECT_EQ(Shape(&rules.Last().condition), c.shape);
    EXPECT_TRUE(AllAlertTimes(&rules.Last().condition, t)) << c.cond;
  }
  EXPECT_EQ(rules.table.AlarmList.front().condition.alert_time, 10);
}

TEST_F(ParseTest, MalformedRules) {
  std::string too_long(511, 'x');
  struct { std::string text, msg; } cases[] = {
      {"WHEN err==1 #line:4-5-5\nx\n",
       "line 4 (parsed 1): delimitor expected at err==1 #line:4-5-5"},
      {"WHEN ((err==1)&(err==2)|(err==3)) #line:4-5-5\nx\n",
       "line 4 (parsed 1): closing delimitor expected at |(err==3)) #line:4-5-5"},
      {"WHEN ((err==1)&&(err==2)) #line:4-6-6\nx\n",
       "lines 4-5 (parsed 1): delimitor expected at &(err==2)) #line:4-6-6"},
      {"x=1\nWHEN (src,dst) #line:4-5-5\nx\n",
       "line 4 (parsed 2): not a normal condition at src,dst) #line:4-5-5"},
      {"WHEN (err==1) #line:4-6-7\n", "lines 6-7 (parsed 2): action missing"},
      {"\n", "parsed line 1:  there is an empty line"},
      {"x=1\n\n", "parsed line 2:  there is an empty line"},
      {too_long + "\n", "parsed line 1:  line too long"},
      {"x=1", "parsed line 1:  line too long"},
      {"WHEN (err==1) #line:1-2-2\necho", "line 2 (parsed 2): line too long"}};
  for (auto &c : cases)
    EXPECT_EXIT(rules.Load(c.text), ExitedWithCode(1), Exactly(c.msg)) << c.text;

  std::string longest = "x=" + std::string(508, 'v') + "\n";
  ASSERT_EQ(rules.Load(longest), 0);
  EXPECT_EQ(strlen(rules.table.retrieve_symbol("x")), 508u);
}

TEST_F(ParseTest, TextAfterTheConditionIsDiscarded) {
  errno = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(rules.Load("WHEN (err==1)   #line:1-2-2\n\n"
                       "WHEN (err==2) junk #line:3-4-4\necho\n"),
            2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "line 3: junk #line:3-4-4 discarded\n");
  EXPECT_STREQ(rules.table.AlarmList.front().action.command, "");
}

TEST_F(ParseTest, AggregateFlags) {
  struct { const char *text; int kind, fields, rule; } cases[] = {
      {"FAIL[src==1.2.3.4,src,dst]>5", TOT_FAIL, 0x03, RULE_COMPARISON},
      {"IN[src]", TOT_IN, 0x01, RULE_TRUE},
      {"OUT[err>0,user]", TOT_OUT, 0x10, RULE_COMPARISON},
      {"TRAFFIC[source,destination,application,user,error]", TOT_TRAFFIC, 0x1f,
       RULE_TRUE},
      {"ACCESS[(src==1.2.3.4)|(dst==1.2.3.4)]", TOT_ACCESS, 0, RULE_OR},
      {"DURATION[usr, err ,app]", TOT_DURATION, 0x1c, RULE_TRUE}};
  for (auto &c : cases) {
    Agg a = ReadAgg(c.text);
    ASSERT_NE(a.total, nullptr) << c.text;
    EXPECT_EQ(a.total->flags, c.kind << 24 | 1 << 8 | c.fields) << c.text;
    EXPECT_EQ(a.code, 13 + a.total->flags) << c.text;
    EXPECT_EQ(a.total->rule, c.rule) << c.text;
    EXPECT_EQ(a.total->keep_time, 300) << c.text;
    EXPECT_EQ(a.total->db_updated, 0);
    EXPECT_EQ(a.rest, c.kind == TOT_FAIL ? ">5" : "") << c.text;
  }
  token.line_num = 7;
  struct { const char *text, *msg; } bad[] = {
      {"FAIL[src==1.2.3.4,time]", "parsed line 7:  error near time, illegal array index"},
      {"FAIL[src,tm]", "parsed line 7:  error near tm, illegal array index"},
      {"FAIL[app.port]", "parsed line 7:  error near app.port, illegal array index"},
      {"FAIL[src dst]", "parsed line 7:  error near src, ',' or ']' expected"}};
  for (auto &b : bad)
    EXPECT_EXIT(ReadAgg(b.text), ExitedWithCode(1), Exactly(b.msg)) << b.text;
}

TEST_F(ParseTest, EqualAggregatesAreStoredOnce) {
  ASSERT_EQ(rules.Load("WHEN (FAIL[src==1.2.3.4,src]>5) #line:1-2-2\n"
                       "echo FAIL[src==1.2.3.4,src]\n"
                       "alert_time=60\n"
                       "WHEN (FAIL[source==1.2.3.4,source]>7) #line:4-5-5\n\n"
                       "WHEN (FAIL[src==1.2.3.4,dst]>7) #line:6-7-7\n\n"),
            3);
  EXPECT_EQ(rules.table.total_num(TOT_FAIL), 2);
  auto *first = static_cast<Total *>(Comp(1).operand[0]);
  EXPECT_EQ(Comp(2).operand[0], first);
  auto *other = static_cast<Total *>(Comp(3).operand[0]);
  EXPECT_NE(other, first);
  EXPECT_EQ(first->flags, 1 << 8 | FLAG_SRC);
  EXPECT_EQ(first->alert_time, 300);
  EXPECT_EQ(other->flags, 2 << 8 | FLAG_DST);
  // The action refers to the stored one too, with the code it was read
  // with (13 + the flags, sequence number 2).
  EXPECT_EQ(Decode(rules.table.AlarmList.front().action.command, first),
            "echo <2:526*>");
}

TEST_F(ParseTest, AggregateCapacity) {
  token.line_num = 7;
  for (int n = 1; n <= 126; n++) {
    Agg a = ReadAgg("FAIL[err==" + std::to_string(n) + "]");
    ASSERT_EQ(a.total->flags >> 8, n);
  }
  EXPECT_EQ(rules.table.total_num(TOT_FAIL), 126);
  EXPECT_EQ(ReadAgg("IN[err==1]").total->flags, TOT_IN << 24 | 1 << 8);
  for (const char *again : {"FAIL[err==127]", "FAIL[err==1]"})
    EXPECT_EXIT(ReadAgg(again), ExitedWithCode(1),
                Exactly("parsed line 7:  capacity for the aggregate reached"))
        << again;
}

TEST_F(ParseTest, ActionCommands) {
  ASSERT_EQ(rules.Load("who=alice\n"), 0);
  struct { std::string action, stored; } table[] = {
      {"echo src time", "echo <1:2> <2:10>"},
      {"src.name dst.ip app.port pid usr err tm source",
       "<1:0> <1:4> <1:7> <1:12> <1:9> <1:11> <2:10> <1:2>"},
      {"mail $who %who $nobody Src", "mail alice alice $nobody Src"},
      {"  a\t(b)|c ;  ", "  a\t(b)|c ;  "},
      {"x=src,dst ; ", "x=<1:2>,<1:5> ; "},
      {"echo IN[src] >f", "echo <2:" + std::to_string(13 + (1 << 24 | 1 << 8 | 1)) +
                              "*> >f"},
      {"", ""}};
  for (auto &c : table) {
    ASSERT_EQ(rules.Load("WHEN (err==1) #line:2-3-3\n" + c.action + "\n"), 1);
    EXPECT_EQ(Decode(rules.Last().action.command), c.stored) << c.action;
  }
  ASSERT_EQ(rules.Load("react_time=30\nWHEN (err==1) #line:2-3-3\n\n"), 1);
  EXPECT_EQ(rules.Last().action.keep_time, 30);
  EXPECT_EQ(rules.table.AlarmList.front().action.keep_time, 0);
}

TEST_F(ParseTest, ActionCommandLength) {
  ASSERT_EQ(rules.Load("a=" + std::string(255, 'a') + "\nb=" + std::string(254, 'b') +
                       "\nWHEN (err==1) #line:5-6-6\n$a $b\n"),
            1);
  EXPECT_EQ(strlen(rules.Last().action.command), 510u);
  std::string items;  // 51 items and blanks: 510 bytes, then one more
  for (int i = 0; i < 51; i++) items += "src ";
  EXPECT_EXIT(rules.Load("WHEN (err==1) #line:5-6-6\n$a $a\n"), ExitedWithCode(1),
              Exactly("line 6 (parsed 2): action command too long"));
  EXPECT_EXIT(rules.Load("WHEN (err==1) #line:5-6-6\n" + items + "x\n"),
              ExitedWithCode(1), Exactly("line 6 (parsed 2): action command too long"));
}

}  // namespace
