// Loading the parsed rule file: words, line markers and message prefixes,
// settings and symbols, alarms and their condition trees, aggregates and
// stored action commands.
#include <errno.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "audit.h"
#include "rules_util.h"

namespace {

using testing::ExitedWithCode;
using Texts = std::initializer_list<std::pair<std::string, std::string>>;

// c<var> for a comparison, &(..,..) and |(..,..) for and/or nodes, '-' for
// a missing operand; '!' marks a node whose alert time is not t.
std::string Shape(const Condition *c, int t) {
  if (c == nullptr) return "-";
  std::string s = c->alert_time == t ? "" : "!";
  if (c->rule == RULE_COMPARISON) return s + "c" + std::to_string(c->comp->operandtype[0]);
  return s + (c->rule == RULE_AND ? "&(" : "|(") + Shape(c->subcond1, t) + "," +
         Shape(c->subcond2, t) + ")";
}

// A stored command made readable: an item shows as <marker:code>, with '*'
// when it points to an aggregate (to agg, when that is given).
std::string Decode(const char *p, const void *agg = nullptr) {
  std::string out;
  for (; *p != '\0'; p++) {
    int code;
    void *ptr;
    if (*p != 1 && *p != 2) {
      out += *p;
      continue;
    }
    memcpy(&code, p + 1, sizeof code);
    memcpy(&ptr, p + 1 + sizeof code, sizeof ptr);
    out += "<" + std::to_string(*p) + ":" + std::to_string(code) +
           (ptr == nullptr ? ">" : agg == nullptr || ptr == agg ? "*>" : "?>");
    p += sizeof code + sizeof ptr;
  }
  return out;
}

class ParseTest : public testing::Test {
 protected:
  // An aggregate reference as written in a condition, e.g. "IN[src]".
  Total *ReadAgg(std::string text) {
    char *p = &text[0];
    token.get(p, 0, OPERAND_DELIMS);
    void *data;
    token.parse(data, p);
    return static_cast<Total *>(data);
  }
  void *Operand(const Alarm &a, int i) { return a.condition.comp->operand[i]; }
  // f stops the program with msg as its one line of output.
  template <class F> void Dies(F f, const std::string &msg) {
    EXPECT_EXIT(f(), ExitedWithCode(1), testing::Eq(msg + "\n")) << msg;
  }

  TestRules rules;
};

TEST_F(ParseTest, WordsAndLineMarkers) {
  // A word takes its first character whatever it is; "-": nothing left.
  for (auto [text, want] : Texts{{"=abc def", "=abc| def"}, {"((a", "(|(a"},
                                 {"x\r\n", "x|\r\n"}, {" \t\n", "|-"}}) {
    char *p = &text[0];
    token.get(p, -3, WORD_DELIMS);
    EXPECT_EQ(std::string(token.ptr) + "|" + (p != nullptr ? p : "-"), want);
  }
  for (auto [word, stripped] : Texts{{"ab \t\n", "ab"}, {"a b \r ", "a b \r"}, {"  ", ""}}) {
    token.ptr = &word[0];
    token.rm_trailing_space();
    EXPECT_STREQ(word.c_str(), stripped.c_str());
  }
  // The prefixes of the condition's and of the action's messages.
  token.line_num = 9;
  for (auto [line, want] : Texts{
           {"WHEN (x) #line:4-5-5", "line 4 (parsed 9):|line 5 (parsed 9):"},
           {"a#b #line:12-20-31", "lines 12-19 (parsed 9):|lines 20-31 (parsed 9):"},
           {"WHEN (x) #line:0-5-6", "parsed line 9: |lines 5-6 (parsed 9):"},
           {"WHEN (x) #line:4", "parsed line 9: |parsed line 9: "},
           // Numbers beyond an int are no line numbers.
           {"WHEN (x) #line:1--2147483648-3", "parsed line 9: |parsed line 9: "},
           {"WHEN (x) #line:2147483647-2147483648-99999999999",
            "parsed line 9: |parsed line 9: "},
           {"WHEN (x) #line:7-2147483647-2147483647",
            "lines 7-2147483646 (parsed 9):|line 2147483647 (parsed 9):"}}) {
    token.parse_cond_line_no(line.c_str());
    std::string cond = token.print_line_range();
    token.parse_action_line_no(line.c_str());
    EXPECT_EQ(cond + "|" + token.print_line_range(), want);
  }
}

TEST_F(ParseTest, SettingsAndSymbols) {
  ASSERT_EQ(rules.Load("react_time=5\nalert_time = 12.9 junk\nreact_time=0\n"), 0);
  EXPECT_EQ(rules.table.get_alert(), 12);
  EXPECT_EQ(rules.table.get_keep_action(), 0);
  EXPECT_EQ(rules.table.symbol_table.count, 0);
  // A redefined symbol keeps its place; alarms read before keep the old value.
  ASSERT_EQ(rules.Load("a=\t1 \nwho=alice\nempty=\nWHEN (usr==$who) #line:4-5-5\n\n"
                       "who=bob\nWHEN (usr==$who) #line:8-9-9\n\n"),
            2);
  auto &symbols = rules.table.symbol_table.list;
  std::string all;
  for (Pix p = symbols.first(); p != nullptr; symbols.next(p))
    all += std::string(symbols(p).symbol) + "=" + symbols(p).value + ";";
  EXPECT_EQ(all, "a=\t1 ;who=bob;empty=;");
  EXPECT_EQ(rules.table.symbol_table.count, 3);
  EXPECT_STREQ(static_cast<char *>(Operand(rules.table.AlarmList.front(), 1)), "alice");
  EXPECT_STREQ(static_cast<char *>(Operand(rules.Last(), 1)), "bob");
  EXPECT_EQ(rules.table.retrieve_symbol("nobody"), nullptr);

  token.ptr = nullptr;  // no word read yet
  for (auto &c : Texts{
           {"alert_time=\n", "parsed line 1:  error near alert_time, more information expected"},
           {"alert_time=0\n", "parsed line 1:  error near 0, value cannot be 0"},
           {"x=1\nreact_time=-1\n", "parsed line 2:  error near -1, value cannot be less than 0"},
           {"react_time=1234567890\n", "parsed line 1:  number 1234567890 is too long"},
           {"react_time=1e99\n", "parsed line 1:  error near 1e99, value out of range"},
           {"alert_time=inf\n", "parsed line 1:  error near inf, value out of range"},
           {"react_time=-inf\n", "parsed line 1:  error near -inf, value cannot be less than 0"},
           {"name(=1\n", "parsed line 1:  error near name, '=' expected"},
           {"   \n", "parsed line 1:  error near end of line, more information expected"},
           {"e=\nWHEN (usr==$e) #line:4-5-5\n\n", "line 4 (parsed 2): error near $e, value=null"}})
    Dies([&] { rules.Load(c.first); }, c.second);
}

TEST_F(ParseTest, ConditionTrees) {
  int id = 0;
  for (auto [cond, shape] : Texts{{"(err==1)", "c11"},
                                  {"((err==1))", "&(c11,-)"},
                                  {"( (err==1) | (src==1.2.3.4) )", "|(c11,c2)"},
                                  {"((err==1)&((src==1.2.3.4)|(dst==5.6.7.8)))", "&(c11,|(c2,c5))"},
                                  {"(((err==1)|(err==2))&(FAIL[src]>3))", "&(|(c11,c11),c270)"}}) {
    int t = 10 * ++id;
    std::string text = "alert_time=" + std::to_string(t) + "\nWHEN " + cond + " #line:1-2-2\nx\n";
    ASSERT_EQ(rules.Load(text), 1);
    EXPECT_EQ(rules.Last().alarm_id, id);
    EXPECT_EQ(Shape(&rules.Last().condition, t), shape);
  }
  EXPECT_EQ(rules.table.AlarmList.front().condition.alert_time, 10);
}

TEST_F(ParseTest, MalformedRules) {
  for (auto &c : Texts{
           {"WHEN err==1 #line:4-5-5\nx\n",
            "line 4 (parsed 1): delimitor expected at err==1 #line:4-5-5"},
           {"WHEN ((err==1)&(err==2)|(err==3)) #line:4-5-5\nx\n",
            "line 4 (parsed 1): closing delimitor expected at |(err==3)) #line:4-5-5"},
           {"x=1\nWHEN (src,dst) #line:4-5-5\nx\n",
            "line 4 (parsed 2): not a normal condition at src,dst) #line:4-5-5"},
           {"WHEN (err==1) #line:4-6-7\n", "lines 6-7 (parsed 2): action missing"},
           {"x=1\n\n", "parsed line 2:  there is an empty line"},
           {std::string(511, 'x') + "\n", "parsed line 1:  line too long"},
           {"WHEN (err==1) #line:1-2-2\necho", "line 2 (parsed 2): line too long"}})
    Dies([&] { rules.Load(c.first); }, c.second);
  ASSERT_EQ(rules.Load("x=" + std::string(508, 'v') + "\n"), 0);  // the longest line
  EXPECT_EQ(strlen(rules.table.retrieve_symbol("x")), 508u);

  // Text after the condition is discarded with a warning.
  errno = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(rules.Load("WHEN (err==1)   #line:1-2-2\n\nWHEN (err==2) junk #line:3-4-4\nx\n"), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "line 3: junk #line:3-4-4 discarded\n");
  EXPECT_STREQ(rules.table.AlarmList.front().action.command, "");
}

TEST_F(ParseTest, Aggregates) {
  struct { const char *text; int kind, fields, rule; } cases[] = {
      {"FAIL[src==1.2.3.4,src,dst]>5", TOT_FAIL, 0x03, RULE_COMPARISON},
      {"IN[src]", TOT_IN, 0x01, RULE_TRUE},
      {"OUT[err>0,user]", TOT_OUT, 0x10, RULE_COMPARISON},
      {"TRAFFIC[destination,error]", TOT_TRAFFIC, 0x0a, RULE_TRUE},
      {"ACCESS[(src==1.2.3.4)|(dst==1.2.3.4)]", TOT_ACCESS, 0, RULE_OR},
      {"DURATION[usr, err ,app]", TOT_DURATION, 0x1c, RULE_TRUE}};
  for (auto &c : cases) {
    Total *a = ReadAgg(c.text);
    ASSERT_NE(a, nullptr) << c.text;
    EXPECT_EQ(a->flags, c.kind << 24 | 1 << 8 | c.fields) << c.text;
    EXPECT_EQ(a->rule, c.rule) << c.text;
  }
  token.line_num = 7;
  for (auto &c : Texts{{"FAIL[src==1.2.3.4,time]", "error near time, illegal array index"},
                                {"FAIL[src dst]", "error near src, ',' or ']' expected"}})
    Dies([&] { ReadAgg(c.first); }, "parsed line 7:  " + c.second);

  // Sequence numbers run to 126 per kind.
  for (int n = 2; n <= 126; n++)
    ASSERT_EQ(ReadAgg("FAIL[err==" + std::to_string(n) + "]")->flags >> 8, n);
  EXPECT_EQ(ReadAgg("IN[err==1]")->flags, TOT_IN << 24 | 2 << 8);  // per kind
  for (const char *again : {"FAIL[err==127]", "FAIL[err==2]"})  // even an equal one
    Dies([&] { ReadAgg(again); }, "parsed line 7:  capacity for the aggregate reached");
}

TEST_F(ParseTest, EqualAggregatesAreStoredOnce) {
  ASSERT_EQ(rules.Load("WHEN (FAIL[src==1.2.3.4,src]>5) #line:1-2-2\n"
                       "echo FAIL[src==1.2.3.4,src]\nalert_time=60\n"
                       "WHEN (FAIL[src==1.2.3.4,dst]>7) #line:4-5-5\n\n"
                       "WHEN (FAIL[source==1.2.3.4,source]>7) #line:6-7-7\n\n"),
            3);
  auto *first = static_cast<Total *>(Operand(rules.table.AlarmList.front(), 0));
  EXPECT_EQ(Operand(rules.Last(), 0), first);
  EXPECT_EQ(first->flags, 1 << 8 | FLAG_SRC);
  EXPECT_EQ(first->alert_time, 300);
  EXPECT_EQ(rules.table.total_num(TOT_FAIL), 2);
  // The action's item points to the stored one, code 13 + its flags.
  EXPECT_EQ(Decode(rules.table.AlarmList.front().action.command, first), "echo <2:526*>");
}

TEST_F(ParseTest, ActionCommands) {
  ASSERT_EQ(rules.Load("who=alice\n"), 0);
  for (auto [action, stored] : Texts{
           {"src.name dst.ip app.port pid usr err tm source",
            "<1:0> <1:4> <1:7> <1:12> <1:9> <1:11> <2:10> <1:2>"},
           {"mail $who %who $nobody Src", "mail alice alice $nobody Src"},
           {"  x=src,dst\t(b)|c ;  ", "  x=<1:2>,<1:5>\t(b)|c ;  "},
           {"echo IN[src] >f",
            "echo <2:" + std::to_string(13 + (TOT_IN << 24 | 1 << 8 | FLAG_SRC)) + "*> >f"}}) {
    ASSERT_EQ(rules.Load("WHEN (err==1) #line:2-3-3\n" + action + "\n"), 1);
    EXPECT_EQ(Decode(rules.Last().action.command), stored) << action;
  }
  ASSERT_EQ(rules.Load("react_time=30\nWHEN (err==1) #line:2-3-3\n\n"), 1);
  EXPECT_EQ(rules.Last().action.keep_time, 30);
  EXPECT_EQ(rules.table.AlarmList.front().action.keep_time, 0);

  // 510 bytes fit; one more does not.
  ASSERT_EQ(rules.Load("a=" + std::string(255, 'a') + "\nb=" + std::string(254, 'b') +
                       "\nWHEN (err==1) #line:5-6-6\n$a $b\n"),
            1);
  EXPECT_EQ(strlen(rules.Last().action.command), 510u);
  Dies([&] { rules.Load("WHEN (err==1) #line:5-6-6\n$a $a\n"); },
       "line 6 (parsed 2): action command too long");

  // Quotes end words, so variables inside the command's quotes are items.
  ASSERT_EQ(rules.Load("WHEN (err==1) #line:2-3-3\necho \"usr\" 'src'x\n"), 1);
  EXPECT_EQ(Decode(rules.Last().action.command), "echo \"<1:9>\" '<1:2>'x");
  // The item markers may not come from the file, in the text or a symbol.
  for (auto [text, msg] : Texts{
           {"WHEN (err==1) #line:5-6-6\necho \x01" "AAAAAAAA\n",
            "line 6 (parsed 2): invalid byte 0x01 in the action"},
           {"WHEN (err==1) #line:5-6-6\necho a\x02" "x\n",
            "line 6 (parsed 2): invalid byte 0x02 in the action"},
           {"m=x\x01y\nWHEN (err==1) #line:5-6-6\necho $m\n",
            "line 6 (parsed 3): invalid byte 0x01 in the action"}})
    Dies([&] { rules.Load(text); }, msg);
}

}  // namespace
