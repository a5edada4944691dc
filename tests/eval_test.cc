// The connection record, deciding alarms, and their actions.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audit.h"
#include "rules_util.h"

namespace {

int Day(int mon, int mday, int hour = 12, int min = 0, int year = 2023) {  // local time
  struct tm t {};
  t.tm_year = year - 1900, t.tm_mon = mon - 1, t.tm_mday = mday, t.tm_hour = hour, t.tm_min = min;
  return t.tm_isdst = -1, static_cast<int>(mktime(&t));
}

// One connection as the polling loop hands it over; valid as it stands.
struct Fields {
  explicit Fields(const char *u = "alice") : user(u) {}
  const char *src = "10.1.2.3", *dst = "192.0.2.7", *user;
  int time = Day(6, 14), app = 80, err = 0;  // a Wednesday, noon
  uint32_t in = 10, out = 20;
  const char *Src = "ws.corp.invalid", *Dst = "", *App = "";
  int pid = 42, dur = 1, last = 0, id = 7, mute = 0;
};

template <class F> std::string Stderr(F f) {  // errno cleared: none shown
  errno = 0, testing::internal::CaptureStderr(), f();
  return testing::internal::GetCapturedStderr();
}

class EvalTest : public testing::Test {
 protected:
  ~EvalTest() override {
    SLList<Execution> &l = ALRM_exec_list.list;  // process-wide: forget it
    for (Pix p = l.first(); p != nullptr; l.next(p)) free(l(p).cmd);
    l.clear();
  }
  int Set(const Fields &f) {
    int rc = rec.set_value(inet_addr(f.src), inet_addr(f.dst), f.user, f.time, f.app, f.err,
                           f.in, f.out, f.Src, f.Dst, f.App, f.pid, f.dur, f.last, f.id, f.mute);
    return record.share(rec), rc;
  }
  int Holds(const std::string &cond, const Fields &f) {  // cond as twparser prints it
    EXPECT_EQ(rules.Load("WHEN " + cond + " #line:1-2-2\n\n"), 1) << cond;
    return Set(f), rules.Last().condition.value(1);
  }
  template <class T> struct Case { const char *cond; std::vector<T> yes, no; };  // values of a field
  template <class T> void Table(T Fields::*field, const std::vector<Case<T>> &cases) {
    Fields f;
    for (auto &c : cases)
      for (int want : {1, 0})
        for (T v : want ? c.yes : c.no)
          EXPECT_EQ(Holds(c.cond, (f.*field = v, f)), want) << c.cond << " with " << v;
  }
  std::string Check(const Fields &f) {  // what the rule check wrote on standard error
    return Set(f), Stderr([&] { rules.table.check(rec); });
  }
  std::string Line(const Fields &f) {  // the line built for the last alarm's action
    std::string line;
    return Set(f), rules.Last().action.substitute(line, 2), line;
  }
  static std::string Run(const std::string &line) {  // the command's output; it succeeds
    FILE *p = popen(line.c_str(), "r");
    std::string got;
    for (char buf[4096]; size_t n = fread(buf, 1, sizeof buf, p);) got.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << line;
    return got;
  }
  TestRules rules;
  Record rec;
};
typedef EvalTest RecordTest, ActionTest;

// kinds: bit k when it counts for FAIL, IN, OUT, TRAFFIC, ACCESS, DURATION.
TEST_F(RecordTest, ValidationAndKinds) {
  struct { int app, err; uint32_t in, out; int dur, rc, kinds; } cases[] = {
      {65535, 0, 10, 20, 3, 0, 0x3e}, {-65535, 5, 10, 20, 3, 0, 0x01}, {21, -3, 0, 0, 0, 0, 0x10},
      {-1, 0, 10, 0, 0, 0, 0x1a},     {21, 0, 0, 5, 1, 0, 0x3c},       {0, 0, 10, 20, 3, -1, 0},
      {65536, 0, 1, 2, 3, -1, 0},     {-65536, 0, 1, 2, 3, -1, 0},     {21, 0, 1, 2, -1, -1, 0}};
  for (auto &c : cases) {
    Fields f;
    f.app = c.app, f.err = c.err, f.in = c.in, f.out = c.out, f.dur = c.dur;
    Stderr([&] { EXPECT_EQ(Set(f), c.rc) << c.app << " " << c.dur; });
    int kinds = 0;
    for (int k = 0; k <= N_TOTALS; k++) kinds |= rec.must_update(k) << k;
    EXPECT_EQ(c.rc ? 0 : kinds, c.kinds) << c.app << " " << c.err << " " << c.in << " " << c.out;
  }
}

// Texts of the variables, names falling back to addresses, long ones cut.
// In the trace byte counts beyond 2^32 add up, control bytes cannot forge lines.
TEST_F(RecordTest, VariablesTraceAndInvalidReports) {
  std::string host(200, 'h'), user(200, 'u');
  Fields udp, tcp(user.c_str());
  udp.app = -53, udp.err = -1, tcp.Dst = host.c_str(), tcp.App = "ftpdataxxxxxxxxxxxx";
  struct { const Fields *f; int var; std::string text; } cases[] = {
      {&udp, VAR_SRC_NAME, "ws.corp.invalid"}, {&udp, VAR_SRC_IP, "10.1.2.3"},
      {&udp, VAR_DST, "192.0.2.7"}, {&udp, VAR_APP, "53/udp"}, {&udp, VAR_ERROR, "overflow"},
      {&tcp, VAR_USER, user.substr(0, 128)}, {&tcp, VAR_DST_NAME, host.substr(0, 128)},
      {&tcp, VAR_APP, "ftpdataxxxxxxxxx"}, {&tcp, VAR_APP_PORT, "80/tcp"}};
  for (auto &c : cases) {
    Set(*c.f);
    EXPECT_EQ(rec.get_str(c.var, nullptr) + std::string(rec.Src()), c.text + "ws.corp.invalid");
  }
  Fields f("eve\n1: root\x1b");
  f.app = -53, f.err = 5, f.last = 42, f.in = 3000000000u, f.out = UINT32_MAX;
  rules.table.set_trace();
  EXPECT_EQ(Stderr([&] { Set(f); }), "\n" + std::to_string(f.time) +
            ": eve\\0121: root\\033@10.1.2.3->192.0.2.7 53/udp err:5 3000000000(i)"
            "+4294967295(o)=7294967295 pid:42 dur: 1 id:7 read=42\n");
  EXPECT_TRUE(rec.in() == f.in && rec.out() == f.out);  // as IN and OUT sum them
  f.app = 0, f.mute = 1;  // muted: neither traced nor reported
  EXPECT_EQ(Stderr([&] { EXPECT_EQ(Set(f), 0); }), "");
}

// Comparisons of every kind against the values of their field.
TEST_F(EvalTest, ConditionsHoldForTheirValues) {
  Table<int>(&Fields::app, {{"(app==80/tcp)", {80}, {-80}}, {"(app==80)", {80, -80}, {}},
                            {"(app>1023/tcp)", {2000}, {-2000}}, {"(app<1024/udp)", {-53}, {53}},
                            {"(app=={100-200}/udp)", {-100, -200}, {-250, 150}},
                            {"(app!=22 {8000-8100}/tcp)", {-8080}, {8080}}});
  Table<int>(&Fields::err, {{"(err=={1-10})", {1, 10}, {0, 11}}, {"(err>=5)", {5}, {4}},
                            {"(err<5)", {4}, {5}}, {"(err!=3 5 {8-9})", {4}, {9}}, {"(err==error)", {3}, {}},
                            {"((FAIL[src]<1)|(err==0))", {0}, {}}, {"((err==0))", {0}, {1}},  // and of one
                            {"(FAIL[src]<1)", {}, {0}}});  // no history: no value
  const int dec31 = Day(12, 31), jan1 = Day(1, 1, 8, 0, 2024);
  Table<int>(&Fields::time, {
      {"(tm==- - - {08:00-17:00} -)", {Day(6, 14, 8), Day(6, 14, 17)}, {Day(6, 14, 17, 1)}},
      {"(tm!=- {Mar-May} - - -)", {dec31}, {Day(5, 31)}}, {"(tm==time)", {dec31}, {}},
      {"(tm=={Mon-Fri} - - - -)", {Day(12, 29)}, {Day(12, 30)}},
      {"(tm==- - {1-15} - {2020-2023})", {Day(6, 15)}, {Day(6, 16), jan1}},
      {"(tm==Sat - - - - {Mon-Fri} - - {09:00-17:00} -)", {jan1 + 7200}, {jan1}}});
  Table<const char *>(&Fields::src, {{"(src==10.1.0.0/255.255.0.0)", {"10.1.200.3"}, {"10.2.0.1"}},
      {"(src!=10.)", {"11.0.0.1"}, {"10.0.0.1"}}, {"(src==.corp.invalid)", {"10.9.9.9"}, {}},
      {"(src==dst)", {"192.0.2.7"}, {"10.1.2.3"}}});
  Table<const char *>(&Fields::Dst, {{"(dst==.x.invalid)", {"a.x.invalid"}, {"ax.invalid"}},
                                     {"(dst==192.0.2.0/24)", {"x"}, {}}});
  Table<const char *>(&Fields::user, {{"(usr==adm*)", {"admin"}, {"guest"}}, {"(usr==UNKNOWN)", {""}, {}},
      {"(usr!=alice bob adm*)", {"carol"}, {"adm"}}});
}

// Every name at its longest, in each quoting: the line is built whole, past
// 511 bytes, each value reaches the shell whole, the checked bound is met.
TEST_F(ActionTest, LongestValuesGoInWholeAndEachValueAsOneLiteralWord) {
  rules.Load("WHEN (err==0) #line:1-2-2\nprintf '<%s>' usr src.name dst.name app.name"
             " \"usr dst.name\" 'src.name app.name'\n");
  std::string user(128, '\\'), src(128, '\\'), dst(128, '\\'), app(16, '\\');
  Fields f(user.c_str());
  f.Src = src.c_str(), f.Dst = dst.c_str(), f.App = app.c_str();
  std::string line = Line(f);
  EXPECT_EQ(line.size(), rules.Last().action.longest());
  EXPECT_GT(line.size(), 1000u);
  EXPECT_EQ(Run(line), "<" + user + "><" + src + "><" + dst + "><" + app + "><" + user + " " + dst +
                     "><" + src + " " + app + ">");
  // Every byte reaches the command as one literal word, inside quotes or not:
  // kept if alphanumeric or in the safe set, else '?', and '?' for a leading '-'.
  char dir[] = "/tmp/evalXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  rules.Load("WHEN (err==0) #line:1-2-2\ncd " + std::string(dir) + "; printf '<%s>' usr \"usr\" x'usr'y\n");
  for (int b = 1; b < 256; b++) {
    std::string v = std::string(1, char(b)) + "v" + char(b), cmd = Line(Fields(v.c_str()));
    std::string c = isalnum(b) || strchr(" !@%-_=+\\:,./", b) ? v : "?v?";
    if (b == '-') c[0] = '?';
    EXPECT_EQ(Run(cmd), "<" + c + "><" + c + "><x" + c + "y>") << b << ": " << cmd;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

// The trace of a check: each alarm's decision in order, a command's line
// after the decision that ran it, a message where it came; all of it
// written out before a stop that ends in abort, though buffered.
TEST_F(ActionTest, TraceKeepsItsOrderAndSurvivesAnAbort) {
  rules.Load("WHEN (usr==zed) #line:1-2-2\ntrue\nWHEN (err==0) #line:3-4-4\nexit 3\n");
  rules.table.set_trace();
  Fields f("zed");
  std::string head = "\n" + std::to_string(f.time) + ": zed@10.1.2.3->192.0.2.7 80/tcp err:0 "
                     "10(i)+20(o)=30 pid:42 dur: 1 id:7 read=0\n";
  EXPECT_EQ(Stderr([&] { Set(f), rules.table.check(rec); }),
            head + "cond.1:true;true\ncond.2:true;exit 3\naction `exit 3' unsuccessful\n\n\n");
  EXPECT_DEATH((ALRM_daemon = 1, Set(f), err_dump("stop")), "zed@10.1.2.3->192.0.2.7 .* read=0");
  rules.table.unset_trace();
}

// Failed commands are said, and their repeats held back.  By record time a
// run holds back the same line until a record its keep time later; by the
// clock for its keep time on the monotonic clock, whatever the records' times.
TEST_F(ActionTest, FailedCommandsAndRepeatsByRecordTimeOrByTheClock) {
  rules.Load("react_time=300\nWHEN (usr==three) #line:1-2-2\nexit 3\nWHEN (usr==.*) #line:5-6-6\nusr ;\n");
  EXPECT_EQ(Check(Fields("three")), "action `exit 3' unsuccessful\n");
  EXPECT_EQ(Check(Fields("...")), "Action::execute\"... ;\" contains no alphanumeric characters.\n");
  EXPECT_EQ(Check(Fields("...")), "");  // already among the recent runs
  ExecList &runs = ALRM_exec_list;
  auto at = [&](int t) { Fields f; f.time = t; Set(f); };
  EXPECT_EQ((at(1000), runs.find("a", 1, 1, 2, false)), 0);
  EXPECT_EQ(runs.find("a", 1, 1, 2, false) * 2 + runs.find("a", 1, 2, 2, false), 2);
  EXPECT_EQ(runs.find("z", 1, 1, INT32_MAX, false), 0);  // held for ever
  EXPECT_EQ((at(1002), runs.find("a", 1, 1, 2, false)) * 2 + runs.find("z", 1, 1, 2, false), 1);
  EXPECT_EQ(runs.find("c", 1, 1, 1, true), 0);
  EXPECT_EQ((at(1002 - 7200), runs.find("c", 1, 1, 1, true)), 1);
  EXPECT_EQ((at(1002 + 7200), runs.find("c", 1, 1, 1, true)), 1);
  EXPECT_EQ((usleep(1100 * 1000), runs.find("c", 1, 1, 1, true)), 0);
}

}  // namespace
