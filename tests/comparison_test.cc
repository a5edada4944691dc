// Comparisons of the rules: operators, constants and their conversion,
// lists, equality, and the ranges of ports, error codes and times.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <string>

#include "audit.h"
#include "rules_util.h"

namespace {

using Texts = std::initializer_list<std::pair<std::string, std::string>>;

// A comparison read from the text after a condition's "(", freed at the end.
struct Read {
  explicit Read(std::string t) : text(std::move(t)) {
    char *p = &text[0];
    rc = c.read(p);
    rest = p;
  }
  ~Read() { if (rc == -2) c.remove(); }
  template <class T> T value() const { return *static_cast<T *>(c.operand[1]); }
  const Condition *list() const { return static_cast<const Condition *>(c.operand[1]); }
  const Comparison &item(int i) const {  // the i-th test of a list
    const Condition *n = list();
    while (i-- > 0) n = n->subcond2;
    return *n->subcond1->comp;
  }
  int items() const {
    int n = 0;
    for (auto *l = list(); l != nullptr; l = l->subcond2, ++n) EXPECT_EQ(l->rule, RULE_OR);
    return n;
  }
  std::string text;
  Comparison c{};
  int rc;
  std::string rest;
};

// f stops the program with msg as the one line at parsed line 7.
template <class F> void Dies(F f, const std::string &msg) {
  EXPECT_EXIT(f(), testing::ExitedWithCode(1), testing::Eq("parsed line 7:  " + msg + "\n"));
}

// One range of the given kind read from text.
void ParseInto(Range &r, char *&p) { r.parse(p, 1); }
void ParseInto(AppRange &r, char *&p) { r.parse(p); }
void ParseInto(TimeRange &r, char *&p) { r.parse(p); }
template <class R> R Parse(std::string text, R r = R()) {
  char *p = &text[0];
  ParseInto(r, p);
  return r;
}

template <class R> int Translate(std::string word) { return R().translate(&word[0]); }

class ComparisonTest : public testing::Test {
 protected:
  ComparisonTest() { token.line_num = 7; }
  void Define(const char *name, const char *value) {
    char *p = const_cast<char *>(value);
    rules.table.symbol_table.update(name, p);
  }
  TestRules rules;
};

TEST_F(ComparisonTest, OperatorsAndOperands) {
  struct { const char *text; int oper; } cases[] = {
      {"err==5", OP_EQ}, {"err<=5", OP_LE}, {"err>=5", OP_GE},    {"err<5", OP_LT},
      {"err>5", OP_GT},  {"err!=5", OP_NE}, {"5>=error", OP_LE}, {"5!=err", OP_NE}};
  for (auto &t : cases) {
    Read r(t.text);
    ASSERT_EQ(r.rc, -2) << t.text;
    EXPECT_EQ(r.c.operandtype[0], VAR_ERROR) << t.text;
    EXPECT_EQ(r.c.comp_operator, t.oper) << t.text;
    EXPECT_EQ(r.c.operandtype[1], CONSTANT_OPERAND) << t.text;
    EXPECT_EQ(r.value<int>(), 5) << t.text;
  }
  Read agg("5<FAIL[src==1.2.3.4]");  // the aggregate moves left
  EXPECT_GT(agg.c.operandtype[0], CONSTANT_OPERAND);
  EXPECT_EQ(agg.c.comp_operator, OP_GT);
  EXPECT_EQ(agg.value<double>(), 5.0);
  EXPECT_EQ(agg.c.constant_length, 8);
  Read lone("src,dst]");  // an aggregate's index
  EXPECT_EQ(lone.rc, VAR_SRC);
  EXPECT_EQ(lone.rest, ",dst]");
  EXPECT_EQ(Read("FAIL[src==1.2.3.4]>IN[dst==1.2.3.4]").rc, -2);
  // Numbers: integers cut, aggregates' constants kept whole.
  EXPECT_EQ(Read("err==-1.9").value<int>(), -1);
  EXPECT_EQ(Read("FAIL[src==1]>123456789012345").value<double>(), 123456789012345.0);
  EXPECT_EQ(a2d("12x", 9, 1), 12.0);

  Define("empty", "");
  for (auto &t : Texts{{"1==2", "error near 2,  both operands are constant"},
                       {"usr==err", "error near err, inconsistent operands"},
                       {"usr>root", "error near root, '==' or '!=' expected"},
                       {"pid==5", "error near 5, variable not allowed in the condition"},
                       {"err=5", "error near err,  relational operator expected"},
                       {"src==$nosuch", "error near $nosuch, symbol not found"},
                       {"src==$empty", "error near $empty, value=null"},
                       {"FAIL[src==1]>1234567890123456", "number 1234567890123456 is too long"},
                       {"err==1x", "1x is not numeric"}})
    Dies([&] { Read{t.first}; }, t.second);
}

TEST_F(ComparisonTest, Ports) {
  for (auto [text, code] : std::initializer_list<std::pair<const char *, int>>{
           {"23", 23 + 65536}, {"23/udp", -23}, {"23/tcp", 23}, {"23/x", 23}, {"65535", 131071}})
    EXPECT_EQ(get_port(const_cast<char *>(text)), code) << text;
  EXPECT_EQ(Read("app>=1024/udp").value<int>(), -1024);
  for (auto &t : Texts{{"65536", "port out of range at 65536"},
                       {"nosuchsvc", "port not found for the 'nosuchsvc' protocol"},
                       {"nosuchsvc2", "number nosuchsvc2 is too long"}})
    Dies([&] { get_port(const_cast<char *>(t.first.c_str())); }, t.second);

  if (access("/etc/services", R_OK) != 0) GTEST_SKIP() << "no services file";
  for (const char *name : {"ssh", "domain"}) {  // either protocol, or both
    servent *s = getservbyname(name, "tcp");
    int tcp = s ? ntohs(s->s_port) : -1;
    s = getservbyname(name, "udp");
    int udp = s ? ntohs(s->s_port) : -1;
    if (tcp < 0 && udp < 0) continue;
    EXPECT_EQ(get_port(const_cast<char *>(name)), tcp < 0 ? -udp : udp < 0 ? tcp : tcp + 65536);
  }
}

TEST_F(ComparisonTest, Lists) {
  Read hosts("dst!=1.2.3.4 5.6.7.8  9.10.11.12");
  ASSERT_EQ(hosts.c.elemental, 0);
  EXPECT_EQ(hosts.c.comp_operator, OP_NE);
  ASSERT_EQ(hosts.items(), 3);
  for (int i = 0; i < 3; i++)
    EXPECT_TRUE(hosts.item(i).comp_operator == OP_EQ && hosts.item(i).operandtype[0] == VAR_DST);
  Dies([] { Read("dst>1.2.3.4 5.6.7.8"); },
       "error near 1.2.3.4 5.6.7.8, '==' or '!=' expected");
  Define("nets", " 1.2.3.4 10.");
  EXPECT_EQ(Read("src==$nets").items(), 2);

  Read apps("app=={1000-2000}/udp 23 {5-}");
  ASSERT_EQ(apps.items(), 3);
  EXPECT_EQ(apps.item(0).comp_operator, OP_IN_RANGE);
  EXPECT_EQ(static_cast<AppRange *>(apps.item(0).operand[1])->high, -2000);
  EXPECT_EQ(*static_cast<int *>(apps.item(1).operand[1]), 23 + 65536);
  EXPECT_EQ(static_cast<AppRange *>(apps.item(2).operand[1])->low, 5 + 65536);
  EXPECT_STREQ(static_cast<char *>(Read("usr=={root} adm*").item(0).operand[1]), "{root}");

  Read times("tm=={Mon-Fri} - - {8:00-18:00} - Sat - - - {2000-}");
  ASSERT_EQ(times.items(), 2);
  auto *t = static_cast<TimeRange *>(times.item(0).operand[1]);
  EXPECT_EQ(t->week_days.high, 5);
  EXPECT_EQ(t->minutes.low, 480);
  EXPECT_EQ(t->years.high, 2070);
  EXPECT_EQ(static_cast<TimeRange *>(times.item(1).operand[1])->years.low, 2000);
}

TEST_F(ComparisonTest, Equality) {
  struct { const char *a, *b; int equal; } cases[] = {
      {"dst==1.2.3.4", "dst==1.2.3.4", 1},   {"dst==1.2.3.4", "dst!=1.2.3.4", 0},
      {"dst==1.2.3.4", "dst==1.2.3.5", 0},   {"dst==localhost", "dst==localhost", 1},
      {"dst==localhost", "dst==127.0.0.1", 0}, {"usr==root", "usr==roof", 0},
      {"app==23 24", "app==23 24", 1},       {"app==23 24", "app==23 25", 0},
      {"err=={1-5}", "err=={1-5}", 1},       {"src==dst", "src==src", 0}};
  for (auto &t : cases) EXPECT_EQ(Read(t.a).c == Read(t.b).c, t.equal) << t.a << " vs " << t.b;
}

TEST_F(ComparisonTest, RangesAndCalendarWords) {
  auto bounds = [](const Range &r) { return std::make_pair(r.low, r.high); };
  struct { const char *text; int low, high; } days[] = {
      {"-", 1, 31}, {"{-5}", 1, 5}, {"{5-}", 5, 31}, {"{-}", 1, 31}, {"{ 3 - 9 }", 3, 9},
      {"7", 7, 7}};
  for (auto &t : days)
    EXPECT_EQ(bounds(Parse(t.text, Range(1, 31))), std::make_pair(t.low, t.high)) << t.text;
  EXPECT_EQ(bounds(Parse<AppRange>("{1000-2000}")), std::make_pair(66536, 67536));
  EXPECT_EQ(bounds(Parse<AppRange>("{1000-2000}/udp")), std::make_pair(-1000, -2000));
  EXPECT_EQ(bounds(Parse<AppRange>("{1000-2000} /tcp")), std::make_pair(1000, 2000));
  for (auto &t : Texts{{"0 2000", "0 2000 is out of range"}, {"{5 9}", "'-' missing at {5 9}"},
                       {"{0-5} 2000", "lower limit at {0-5} 2000 out of range"},
                       {"{5-32}", "upper limit at {5-32} out of range"},
                       {"{9-5}", "upper limit at {9-5} is < lower limit"},
                       {"{5-9 x", "'}' missing at {5-9 x"}, {"{x-5}", "x is not numeric"},
                       {"123456", "number 123456 is too long"}})
    Dies([&] { Parse(t.first, Range(1, 31)); }, t.second);
  Dies([] { Parse<AppRange>("{1-2}/xyz"); }, "error near /xyz, protocol expected");
  Dies([] { Parse<MinuteRange>("{22:00-6:00}"); }, 
       "upper limit at {22:00-6:00} is < lower limit");
  Dies([] { Parse<TimeRange>("{Mon-Fri} - - {8:00-18:00}"); },
       "error near 18:00, more information expected");

  EXPECT_EQ(Translate<WeekDayRange>("Sat"), 6);
  EXPECT_EQ(Translate<MonthRange>("Dec"), 11);
  EXPECT_EQ(Translate<MinuteRange>("8:05"), 485);
  EXPECT_EQ(Translate<MinuteRange>(":30"), 30);
  Dies([] { Translate<WeekDayRange>("mon"); }, "mon is not in 'Sun' - 'Sat'");
  Dies([] { Translate<MonthRange>("dec"); }, "dec is not in 'Jan' - 'Dec'");
  for (auto &t : Texts{{"800", "':' expected when parse 800 as time"},
                       {"123:00", "hour field at 123:00 too long"},
                       {"24:00", "hours at 24:00 should be in {0-23}"},
                       {"8:005", "minute field at 8:005 too long"},
                       {"8:60", "minutes at 8:60 should be in {0-59}"}})
    Dies([&] { Translate<MinuteRange>(t.first); }, t.second);
}

}  // namespace
