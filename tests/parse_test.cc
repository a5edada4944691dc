// Loading the parsed rule file: line markers, settings, host specifications,
// comparisons and ranges, condition trees, aggregates, action commands.
#include <arpa/inet.h>
#include <errno.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "audit.h"
#include "rules_util.h"

namespace {

using testing::ExitedWithCode;
using Texts = std::initializer_list<std::pair<std::string, std::string>>;

std::string Dotted(uint32_t a) { return inet_ntoa(in_addr{a}); }
std::string When(const std::string &cond) { return "WHEN " + cond + " #line:4-5-5\nx\n"; }

// c<var> for a comparison, &(..,..) and |(..,..) for and/or nodes, '-' for none.
std::string Shape(const Condition *c) {
  if (c == nullptr) return "-";
  if (c->rule == RULE_COMPARISON) return "c" + std::to_string(c->comp->operandtype[0]);
  return (c->rule == RULE_AND ? "&(" : "|(") + Shape(c->subcond1) + "," + Shape(c->subcond2) + ")";
}

// A stored command: an item shows as <marker:code>, '*' when it points somewhere.
std::string Decode(const char *p) {
  std::string out;
  for (int code; *p != '\0'; p++) {
    if (*p != 1 && *p != 2) { out += *p; continue; }
    void *ptr;
    memcpy(&code, p + 1, sizeof code), memcpy(&ptr, p + 1 + sizeof code, sizeof ptr);
    out += "<" + std::to_string(*p) + ":" + std::to_string(code) + (ptr ? "*>" : ">");
    p += sizeof code + sizeof ptr;
  }
  return out;
}

// A host record read from text at line 1: "ip/mask" or "name exact|tail".
struct Parsed {
  explicit Parsed(std::string text) { char *p = &text[0]; GetHostAndMask(p, &h, 1); }
  ~Parsed() { if (h.type == 1) delete[] h.n.name; }
  std::string Show() const {
    if (h.type == 0) return Dotted(h.s.ip) + "/" + Dotted(h.s.mask);
    return std::string(h.n.name) + (h.n.exact ? " exact" : " tail");
  }
  host h{};
};

class ParseTest : public testing::Test {
 protected:
  Total *ReadAgg(std::string text) {  // as written in a condition
    char *p = &text[0];
    token.get(p, 0, OPERAND_DELIMS);
    void *data;
    token.parse(data, p);
    return static_cast<Total *>(data);
  }
  const Comparison &Comp() { return *rules.Last().condition.comp; }
  TestRules rules;
};
using ComparisonTest = ParseTest;

// Trailing blanks go; line markers give the prefixes of the condition's
// and the action's messages.
TEST_F(ParseTest, WordsAndLineMarkers) {
  for (auto [word, stripped] : Texts{{"ab \t\n", "ab"}, {"a b \r ", "a b \r"}, {"  ", ""}}) {
    token.ptr = &word[0];
    token.rm_trailing_space();
    EXPECT_STREQ(word.c_str(), stripped.c_str());
  }
  token.line_num = 9;
  for (auto [line, want] : Texts{
           {"WHEN (x) #line:4-5-5", "line 4 (parsed 9):|line 5 (parsed 9):"},
           {"a#b #line:12-20-31", "lines 12-19 (parsed 9):|lines 20-31 (parsed 9):"},
           {"WHEN (x) #line:0-5-6", "parsed line 9: |lines 5-6 (parsed 9):"},
           {"WHEN (x) #line:1--2147483648-3", "parsed line 9: |parsed line 9: "}}) {
    token.parse_cond_line_no(line.c_str());
    std::string cond = token.print_line_range();
    token.parse_action_line_no(line.c_str());
    EXPECT_EQ(cond + "|" + token.print_line_range(), want);
  }
}

// A redefined symbol keeps its place; alarms read before keep the old value.
TEST_F(ParseTest, SettingsAndSymbols) {
  ASSERT_EQ(rules.Load("react_time=5\nalert_time = 12.9 junk\nreact_time=0\n"), 0);
  EXPECT_TRUE(rules.table.get_alert() == 12 && rules.table.get_keep_action() == 0);
  ASSERT_EQ(rules.Load("a=\t1 \nwho=alice\nWHEN (usr==$who) #line:4-5-5\n\nwho=bob\n"
                       "WHEN (usr==$who) #line:8-9-9\n\n"), 2);
  EXPECT_STREQ(rules.table.retrieve_symbol("a"), "\t1 ");
  auto *first = rules.table.AlarmList.front().condition.comp;
  EXPECT_EQ(std::string((char *)first->operand[1]) + (char *)Comp().operand[1], "alicebob");
}

// Every refusal while loading: the rule's lines, or the parsed line, and
// the reason.  Conditions in parentheses are loaded as an alarm of line 4.
TEST_F(ParseTest, LoaderMessages) {
  const char *L4 = "line 4 (parsed 1): ";
  struct { std::string text; const char *msg; } cases[] = {
      {"alert_time=\n", "parsed line 1:  error near alert_time, more information expected"},
      {"x=1\nreact_time=-1\n", "parsed line 2:  error near -1, value cannot be less than 0"},
      {"react_time=1e99\n", "parsed line 1:  error near 1e99, value out of range"},
      {"name(=1\n", "parsed line 1:  error near name, '=' expected"},
      {"   \n", "parsed line 1:  error near end of line, more information expected"},
      {"x=1\n\n", "parsed line 2:  there is an empty line"},
      {std::string(511, 'x') + "\n", "parsed line 1:  line too long"},
      {"e=\nWHEN (usr==$e) #line:4-5-5\n\n", "line 4 (parsed 2): error near $e, value=null"},
      {"WHEN (err==1) #line:4-6-7\n", "lines 6-7 (parsed 2): action missing"},
      {"WHEN err==1 #line:4-5-5\nx\n",
       "line 4 (parsed 1): delimitor expected at err==1 #line:4-5-5"},
      {"(1==2)", "error near 2,  both operands are constant"}, {"(err==1x)", "1x is not numeric"},
      {"(usr==err)", "error near err, inconsistent operands"},
      {"(dst>1.2.3.4 5.6.7.8)", "error near 1.2.3.4 5.6.7.8, '==' or '!=' expected"},
      {"(err=5)", "error near err,  relational operator expected"},
      {"(src==$no)", "error near $no, symbol not found"},
      {"(tm==- dec - - -)", "dec is not in 'Jan' - 'Dec'"},
      {"(FAIL[src]>1234567890123456)", "number 1234567890123456 is too long"},
      {"(FAIL[src,time]>1)", "error near time, illegal array index"},
      {"((err==1)&(err==2)|(err==3))", "closing delimitor expected at |(err==3)) #line:4-5-5"},
      {"(src,dst)", "not a normal condition at src,dst) #line:4-5-5"},
      {"(pid==5)", "error near 5, variable not allowed in the condition"},
      {"(app==65536)", "port out of range at 65536"},
      {"(src==1.2.3.4/x)", "parse error for host specification"},
      {"(app==nosuchsvc)", "port not found for the 'nosuchsvc' protocol"},
      {"(app=={1-2}/xyz)", "error near /xyz, protocol expected"},
      {"(err=={5 9})", "'-' missing at {5 9}"}, {"(err=={5-9 x)", "'}' missing at {5-9 x"},
      {"(err=={9-5})", "upper limit at {9-5} is < lower limit"},
      {"(tm==- - {5-32} - -)", "upper limit at {5-32} - - out of range"},
      {"(tm=={Mon-Fri} - - {8:00-18:00})", "error near 18:00, more information expected"},
      {"(tm==- - - 24:00 -)", "hours at 24:00 should be in {0-23}"},
      {"WHEN (err==1) #line:5-6-6\necho \x01" "AAAAAAAA\n",
       "line 6 (parsed 2): invalid byte 0x01 in the action"},
      {"m=x\x02y\nWHEN (err==1) #line:5-6-6\necho $m\n",
       "line 6 (parsed 3): invalid byte 0x02 in the action"},
      {"a=" + std::string(255, 'a') + "\nWHEN (err==1) #line:5-6-6\n$a $a\n",
       "line 6 (parsed 3): action command too long"}};
  for (auto &c : cases) {
    bool cond = c.text[0] == '(';
    EXPECT_EXIT(TestRules().Load(cond ? When(c.text) : c.text), ExitedWithCode(1),
                testing::Eq((cond ? L4 : "") + std::string(c.msg) + "\n")) << c.text;
  }
}

TEST_F(ParseTest, ConditionTreesAndDiscardedText) {
  for (auto [cond, shape] : Texts{{"((err==1))", "&(c11,-)"},
                                  {"( (err==1) | (src==1.2.3.4) )", "|(c11,c2)"},
                                  {"((err==1)&((src==1.)|(dst==5.)))", "&(c11,|(c2,c5))"}}) {
    ASSERT_EQ(rules.Load(When(cond)), 1);
    EXPECT_EQ(Shape(&rules.Last().condition), shape);
  }
  errno = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(rules.Load("WHEN (err==1)   #line:1-2-2\n\nWHEN (err==2) junk #line:3-4-4\nx\n"), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "line 3: junk #line:3-4-4 discarded\n");
}

// Comparisons: the constant's side, ports with their protocol, lists.
TEST_F(ComparisonTest, OperatorsAndOperands) {
  struct { const char *cond; int oper; double value; } cases[] = {
      {"(err<=5)", OP_LE, 5}, {"(err>=5)", OP_GE, 5}, {"(5!=err)", OP_NE, 5},
      {"(5>=error)", OP_LE, 5}, {"(err==-1.9)", OP_EQ, -1}, {"(app==23/udp)", OP_EQ, -23},
      {"(app==23)", OP_EQ, 23 + 65536}, {"(app==65535/tcp)", OP_EQ, 65535}};
  for (auto &c : cases) {
    ASSERT_EQ(rules.Load(When(c.cond)), 1);
    EXPECT_EQ(Comp().comp_operator, c.oper) << c.cond;
    EXPECT_EQ(*static_cast<int *>(Comp().operand[1]), c.value) << c.cond;
  }
  ASSERT_EQ(rules.Load(When("(5<FAIL[src==1.2.3.4])")), 1);  // the aggregate moves left
  EXPECT_TRUE(Comp().operandtype[0] > CONSTANT_OPERAND && Comp().comp_operator == OP_GT);
  EXPECT_EQ(*static_cast<double *>(Comp().operand[1]), 5.0);
  ASSERT_EQ(rules.Load(When("(FAIL[src==1.2.3.4]>IN[dst==1.2.3.4])")), 1);  // freed as aggregates
  rules.Load("nets= 1.2.3.4 10.\n");
  for (auto [cond, shape] : Texts{{"(src==$nets)", "|(c2,|(c2,-))"},
                                  {"(app=={1000-2000}/udp 23 {5-})", "|(c8,|(c8,|(c8,-)))"}}) {
    ASSERT_EQ(rules.Load(When(cond)), 1);
    EXPECT_EQ(Shape(static_cast<Condition *>(Comp().operand[1])), shape) << cond;
  }
}

// Host specifications: class masks, prefix lengths, partial addresses,
// names exact or by their tail; every malformed one is refused.
TEST(Check, HostForms) {
  for (auto [text, want] : Texts{
           {" \t-", "0.0.0.0/0.0.0.0"}, {"1.2.3.4", "1.2.3.4/255.255.255.255"},
           {"1.2.3.4/n", "1.0.0.0/255.0.0.0"}, {"191.1.2.3/s", "191.1.2.0/255.255.255.0"},
           {"192.1.2.3/s", "192.1.2.0/255.255.255.240"}, {"128.1.2.3/n", "128.1.0.0/255.255.0.0"},
           {"10.", "10.0.0.0/255.0.0.0"}, {"1.2.3.", "1.2.3.0/255.255.255.0"},
           {"10.0.0.17/16", "10.0.0.0/255.255.0.0"}, {"10.1.2.3/32", "10.1.2.3/255.255.255.255"},
           {"10.1.2.3/31", "10.1.2.2/255.255.255.254"}, {"10.1.2.3/0", "0.0.0.0/0.0.0.0"},
           {"1.2.3.4/255.255.0.0 x", "1.2.0.0/255.255.0.0"},
           {"Gone.invalid", "Gone.invalid exact"}, {".corp.invalid", ".corp.invalid tail"}})
    EXPECT_EQ(Parsed(text).Show(), want) << text;
  for (const char *bad : {"", "/h", "1.2.3.999/n", "gone.invalid/h", "10.x.", "1.2.3.4.", ".",
                          "1.2.3.4/33", "1.2.3.4/", "1.2.3.4/99999999999", "10.0.0.256"})
    EXPECT_EXIT(Parsed{bad}, ExitedWithCode(1),
                testing::Eq("line 1: parse error for host specification\n")) << "'" << bad << "'";
}

TEST(Check, Wildcards) {
  struct { const char *text, *pattern; int want; } cases[] = {
      {nullptr, "*", 1}, {nullptr, "a*", 0}, {"", "**", 1}, {"", "?", 0}, {"a", "", 0},
      {"Bob", "bob", 0}, {"abc", "a?c", 1}, {"ac", "a?c", 0}, {"bx", "{a-c}x", 1},
      {"dx", "{a-c}x", 0}, {"dx", "{^a-c}x", 1}, {"bx", "{^a-c}x", 0}, {"a*", "a\\*", 1},
      {"ab", "a\\*", 0}, {"axyb", "a**b", 1}, {"axy", "a**b", 0}, {"abcbcd", "a*bcd", 1},
      {"b", "{a-c", 1}, {"C", "{-c}", 1}, {"d", "{-c}", 0}, {"}", "{\\}}", 1},
      {"b", "{a\\-c}", 0}, {"a", "{\xe9-z}", 1}};  // bytes compare signed
  for (auto &c : cases)
    EXPECT_EQ(WildMatch(c.text, c.pattern), c.want)
        << (c.text ? c.text : "(null)") << " ~ " << c.pattern;
}

// Sequence numbers run to 126 per kind; equal aggregates are stored once.
TEST_F(ParseTest, Aggregates) {
  ASSERT_EQ(rules.Load("WHEN (FAIL[src==1.2.3.4,src]>5) #line:1-2-2\necho FAIL[src==1.2.3.4,src]\n"
                       "WHEN (FAIL[source==1.2.3.4,source]>7) #line:6-7-7\n\n"),
            2);
  void *first = rules.table.AlarmList.front().condition.comp->operand[0];
  EXPECT_EQ(Comp().operand[0], first);
  EXPECT_EQ(Decode(rules.table.AlarmList.front().action.command), "echo <2:526*>");
  EXPECT_EQ(ReadAgg("DURATION[usr, err ,destination]")->flags, TOT_DURATION << 24 | 1 << 8 | 0x1a);
  for (int n = 2; n <= 126; n++)
    ASSERT_EQ(ReadAgg("FAIL[err==" + std::to_string(n) + "]")->flags >> 8, n);
  EXPECT_EXIT(ReadAgg("FAIL[err==2]"), ExitedWithCode(1), "capacity for the aggregate reached");
}

TEST_F(ParseTest, ActionCommands) {
  ASSERT_EQ(rules.Load("who=alice\n"), 0);
  for (auto [action, stored] : Texts{
           {"src.name dst.ip app.port pid usr err tm source",
            "<1:0> <1:4> <1:7> <1:12> <1:9> <1:11> <2:10> <1:2>"},
           {"mail $who %who $no Src", "mail alice alice $no Src"},
           {"  x=src,dst\t\"usr\" 'src'x ;  ", "  x=<1:2>,<1:5>\t\"<1:9>\" '<1:2>'x ;  "},
           {"echo IN[src]", "echo <2:" + std::to_string(13 + (TOT_IN << 24 | 257)) + "*>"}}) {
    ASSERT_EQ(rules.Load("WHEN (err==1) #line:2-3-3\n" + action + "\n"), 1);
    EXPECT_EQ(Decode(rules.Last().action.command), stored) << action;
  }
  ASSERT_EQ(rules.Load("a=" + std::string(255, 'a') + "\nb=" + std::string(254, 'b') +
                       "\nWHEN (err==1) #line:5-6-6\n$a $b\n"), 1);
  EXPECT_EQ(strlen(rules.Last().action.command), 510u);  // the longest that fits
}

}  // namespace
