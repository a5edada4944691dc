// Deciding alarms: comparisons of every variable kind against the record
// under check, condition trees, the per-record check with its trace, and
// running actions: substitution, cleaning, the shell child, and the
// suppression of repeats.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "audit.h"
#include "rules_util.h"

namespace {

using testing::ExitedWithCode;

int A(const char *dotted) { return static_cast<int>(inet_addr(dotted)); }

// Local time; month 1 to 12.
int Local(int year, int mon, int mday, int hour, int min) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_isdst = -1;
  return static_cast<int>(mktime(&t));
}

// One connection; each test changes what it is about.
struct Fields {
  const char *src = "10.1.2.3", *dst = "192.0.2.7", *user = "alice";
  int time = Local(2023, 6, 14, 12, 0);  // a Wednesday, noon
  int app = 80, err = 0;
  const char *Src = "ws.corp.invalid", *Dst = "", *App = "";
  int pid = 42;
};

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class EvalTest : public testing::Test {
 protected:
  EvalTest() {
    char tmpl[] = "/tmp/evalXXXXXX";
    dir = mkdtemp(tmpl);
    ForgetExecutions();
  }
  ~EvalTest() override {
    ForgetExecutions();
    std::string cmd = "rm -rf " + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

  // The recent-execution list is process-wide; each test starts afresh.
  static void ForgetExecutions() {
    SLList<Execution> &l = ALRM_exec_list.list;
    for (Pix p = l.first(); p != nullptr; l.next(p)) free(l(p).cmd);
    l.clear();
  }

  void Set(const Fields &f) {
    rec.set_value(A(f.src), A(f.dst), f.user, f.time, f.app, f.err, 10, 20,
                  f.Src, f.Dst, f.App, f.pid, 1, 0, 7, 1);
  }

  // Whether a condition, as twparser prints it, holds for f.
  int Holds(const std::string &cond, const Fields &f) {
    EXPECT_EQ(rules.Load("WHEN " + cond + " #line:1-2-2\n\n"), 1) << cond;
    Set(f);
    record.share(rec);
    return rules.Last().condition.value(1);
  }

  // Checks f against the rule set; returns what went to standard error.
  std::string Check(const Fields &f) {
    Set(f);
    errno = 0;
    testing::internal::CaptureStderr();
    rules.table.check(rec);
    return testing::internal::GetCapturedStderr();
  }

  // The line that substitution builds for the last alarm's action.
  std::string Line(const Fields &f, int how_expand, int size = MAX_LINE) {
    Set(f);
    record.share(rec);
    char buf[MAX_LINE];
    memset(buf, '#', sizeof buf);
    int n = rules.Last().action.substitute(buf, size, how_expand);
    return n < 0 ? "(failed)" : std::string(buf, n);
  }

  std::string Path(const char *name) const { return dir + "/" + name; }

  std::string dir;
  TestRules rules;
  Record rec;
};

// ---- Comparisons, one variable kind at a time

TEST_F(EvalTest, PortsAndProtocols) {
  struct { const char *cond; int app, want; } cases[] = {
      {"(app==80/tcp)", 80, 1},          {"(app==80/tcp)", -80, 0},
      {"(app==80)", 80, 1},              {"(app==80)", -80, 1},
      {"(app!=80)", -80, 0},             {"(app>1023)", -2000, 1},
      {"(app<1024/udp)", -53, 1},        {"(app<1024/udp)", -2000, 0},
      {"(app<1024/udp)", 53, 0},         {"(app>=1024/udp)", -1024, 1},
      {"(app>1023/tcp)", -2000, 0},      {"(app!=80/tcp)", -80, 0},
      {"(app=={100-200}/udp)", -150, 1}, {"(app=={100-200}/udp)", -100, 1},
      {"(app=={100-200}/udp)", -200, 1},
      {"(app=={100-200}/udp)", -250, 0}, {"(app=={100-200}/udp)", 150, 0},
      {"(app=={1000-2000})", 1500, 1},   {"(app=={1000-2000})", -1500, 1},
      {"(app=={1000-2000})", -2001, 0},  {"(app=={1000-2000})", 999, 0},
      {"(app==22 80 53/udp)", -53, 1},   {"(app==22 80 53/udp)", 53, 0},
      {"(app==22 80 53/udp)", -80, 1},   {"(app==22 80 53/udp)", 8080, 0},
      {"(app!=22 {8000-8100}/tcp)", 8080, 0},
      {"(app!=22 {8000-8100}/tcp)", -8080, 1}};
  for (auto &c : cases) {
    Fields f;
    f.app = c.app;
    EXPECT_EQ(Holds(c.cond, f), c.want) << c.cond << " port " << c.app;
  }
}

TEST_F(EvalTest, ErrorsAndRanges) {
  struct { const char *cond; int err, want; } cases[] = {
      {"(err=={1-10})", 1, 1},       {"(err=={1-10})", 10, 1},
      {"(err=={1-10})", 0, 0},       {"(err=={1-10})", 11, 0},
      {"(err>0)", 1, 1},             {"(err>0)", -1, 0},
      {"(err==3 5 {8-9})", 9, 1},    {"(err==3 5 {8-9})", 4, 0},
      {"(err!=3 5 {8-9})", 4, 1},    {"(err!=3 5 {8-9})", 8, 0},
      {"(err=={5-})", 65535, 1},     {"(err=={-4})", 5, 0}};
  for (auto &c : cases) {
    Fields f;
    f.err = c.err;
    EXPECT_EQ(Holds(c.cond, f), c.want) << c.cond << " error " << c.err;
  }
}

// Two variables of one kind compare their values; a time against a time
// must not be read as a calendar range.
TEST_F(EvalTest, VariableAgainstVariableOfTheSameKind) {
  Fields f;
  EXPECT_EQ(Holds("(tm==time)", f), 1);
  EXPECT_EQ(Holds("(tm!=tm)", f), 0);
  EXPECT_EQ(Holds("(err==error)", f), 1);
  EXPECT_EQ(Holds("(usr==user)", f), 1);
}

TEST_F(EvalTest, TimeOfDayBoundsAreInclusive) {
  struct { int hour, min, want; } cases[] = {
      {8, 0, 1}, {17, 0, 1}, {12, 30, 1}, {17, 1, 0}, {7, 59, 0}, {0, 0, 0}};
  for (auto &c : cases) {
    Fields f;
    f.time = Local(2023, 6, 14, c.hour, c.min);
    EXPECT_EQ(Holds("(tm==- - - {08:00-17:00} -)", f), c.want)
        << c.hour << ":" << c.min;
  }
}

TEST_F(EvalTest, Calendar) {
  const int dec31 = Local(2023, 12, 31, 12, 0);  // a Sunday
  struct { const char *cond; int time, want; } cases[] = {
      {"(tm==- {Mar-May} - - -)", dec31, 0},
      {"(tm==- {Mar-May} - {00:00-23:59} -)", dec31, 0},
      {"(tm==- {Mar-May} - - -)", Local(2023, 4, 15, 12, 0), 1},
      {"(tm==- {Mar-May} - - -)", Local(2023, 6, 1, 0, 0), 0},
      {"(tm!=- {Mar-May} - - -)", dec31, 1},
      {"(tm=={Mon-Fri} - - - -)", Local(2023, 12, 29, 12, 0), 1},
      {"(tm=={Mon-Fri} - - - -)", Local(2023, 12, 30, 12, 0), 0},
      {"(tm=={Mon-Fri} - - - -)", dec31, 0},
      {"(tm==- - {1-15} - -)", Local(2023, 6, 15, 12, 0), 1},
      {"(tm==- - {1-15} - -)", Local(2023, 6, 16, 12, 0), 0},
      {"(tm==- - - - {2020-2023})", Local(2024, 1, 1, 0, 0), 0},
      // Two groups: Saturdays all day, or weekdays in office hours.
      {"(tm==Sat - - - - {Mon-Fri} - - {09:00-17:00} -)",
       Local(2023, 12, 30, 3, 0), 1},
      {"(tm==Sat - - - - {Mon-Fri} - - {09:00-17:00} -)",
       Local(2024, 1, 1, 8, 0), 0},
      {"(tm==Sat - - - - {Mon-Fri} - - {09:00-17:00} -)",
       Local(2024, 1, 1, 10, 0), 1}};
  for (auto &c : cases) {
    Fields f;
    f.time = c.time;
    EXPECT_EQ(Holds(c.cond, f), c.want) << c.cond << " at " << c.time;
  }
}

TEST_F(EvalTest, Hosts) {
  struct { const char *cond, *src, *dst, *Dst; int want; } cases[] = {
      {"(src==10.1.2.3)", "10.1.2.3", "192.0.2.7", "", 1},
      {"(src==10.1.2.3)", "10.1.2.4", "192.0.2.7", "", 0},
      {"(src==10.1.0.0/255.255.0.0)", "10.1.200.3", "192.0.2.7", "", 1},
      {"(src==10.1.0.0/255.255.0.0)", "10.2.0.1", "192.0.2.7", "", 0},
      {"(src!=10.)", "11.0.0.1", "192.0.2.7", "", 1},
      {"(src!=10.)", "10.0.0.1", "192.0.2.7", "", 0},
      {"(src==.corp.invalid)", "10.1.2.3", "192.0.2.7", "", 1},
      {"(dst==.corp.invalid)", "10.1.2.3", "192.0.2.7", "www.corp.invalid", 1},
      {"(dst==.corp.invalid)", "10.1.2.3", "192.0.2.7", "wwwcorp.invalid", 0},
      {"(dst==.corp.invalid)", "10.1.2.3", "192.0.2.7", "", 0},
      {"(dst==localhost)", "10.1.2.3", "192.0.2.7", "localhost", 1},
      {"(dst==localhost)", "10.1.2.3", "192.0.2.7", "localhost.corp", 0},
      {"(src==dst)", "10.1.2.3", "10.1.2.3", "", 1},
      {"(src==dst)", "10.1.2.3", "10.1.2.4", "", 0},
      {"(dst!=src)", "10.1.2.3", "10.1.2.4", "", 1},
      {"(src==172.16. 10.1.)", "10.1.7.7", "192.0.2.7", "", 1},
      {"(src==172.16. 10.1.)", "10.2.7.7", "192.0.2.7", "", 0},
      {"(dst!=.corp.invalid 192.0.2.0/255.255.255.0)", "10.1.2.3",
       "192.0.3.1", "a.example", 1},
      {"(dst!=.corp.invalid 192.0.2.0/255.255.255.0)", "10.1.2.3",
       "192.0.2.99", "a.example", 0}};
  for (auto &c : cases) {
    Fields f;
    f.src = c.src, f.dst = c.dst, f.Dst = c.Dst;
    EXPECT_EQ(Holds(c.cond, f), c.want)
        << c.cond << " " << c.src << "->" << c.dst << " " << c.Dst;
  }
}

TEST_F(EvalTest, Users) {
  struct { const char *cond, *user; int want; } cases[] = {
      {"(usr==adm*)", "admin", 1},    {"(usr==adm*)", "guest", 0},
      {"(usr!=adm*)", "guest", 1},    {"(usr!=adm*)", "admin", 0},
      {"(usr=={a-c}?b)", "bob", 1},   {"(usr=={a-c}*)", "dave", 0},
      {"(usr==UNKNOWN)", "", 1},      {"(usr==alice bob adm*)", "admin", 1},
      {"(usr==alice bob adm*)", "carol", 0},
      {"(usr!=alice bob adm*)", "carol", 1},
      {"(usr!=alice bob adm*)", "adm", 0}};
  for (auto &c : cases) {
    Fields f;
    f.user = c.user;
    EXPECT_EQ(Holds(c.cond, f), c.want) << c.cond << " user " << c.user;
  }
}

// No history files are open here, so no aggregate has a value.
TEST_F(EvalTest, AggregatesWithoutAValueAreFalse) {
  Fields f;
  EXPECT_EQ(Holds("(FAIL[src]>0)", f), 0);
  EXPECT_EQ(Holds("(FAIL[src]<1)", f), 0);
  EXPECT_EQ(Holds("(ACCESS[usr==adm*,src]!=5)", f), 0);
  EXPECT_EQ(Holds("((FAIL[src]<1)|(err==0))", f), 1);
}

// ---- Condition trees

// The second child of each tree carries an operator that stops the run
// with status 1 if it is ever evaluated.  For error 0 the first child
// decides; for error 1 it does not.
TEST_F(EvalTest, AndAndOrStopAtTheFirstChildThatDecides) {
  Fields decides, goes_on;
  goes_on.err = 1;
  struct { const char *cond; int want; } cases[] = {
      {"((err==1)&(err==2))", 0}, {"((err==0)|(err==2))", 1}};
  for (auto &c : cases) {
    Holds(c.cond, decides);
    Condition &tree = rules.Last().condition;
    tree.subcond2->comp->comp_operator = 99;
    EXPECT_EXIT(exit(tree.value(1) == c.want ? 0 : 2), ExitedWithCode(0), "")
        << c.cond;
    EXPECT_EXIT(
        {
          Set(goes_on);
          record.share(rec);
          tree.value(1);
        },
        ExitedWithCode(1), "^unsupported operator found\n$")
        << c.cond;
  }
}

TEST_F(EvalTest, NodesWithoutASecondChildOrATest) {
  Fields zero, one;
  one.err = 1;
  EXPECT_EQ(Holds("((err==1))", one), 1);  // an and-node of one child
  EXPECT_EQ(Holds("((err==1))", zero), 0);
  EXPECT_EQ(Holds("(((err==1)|(err==0))&((usr==alice)|(usr==bob)))", zero), 1);
  Condition c;
  c.initialize();
  c.rule = RULE_TRUE;
  EXPECT_EQ(c.value(0), 1);
  c.rule = 9;
  EXPECT_EQ(c.value(0), 1);
}

// ---- The check of one record

TEST_F(EvalTest, TraceOfARecordThatMatchesNothing) {
  rules.Load("WHEN (err==1) #line:1-2-2\nexit 0\n"
             "WHEN (usr==bob) #line:3-4-4\nexit 0\n");
  rules.table.set_trace();
  EXPECT_EQ(Check(Fields()), "cond.1:false;cond.2:false;\n\n");
}

TEST_F(EvalTest, TraceAndLogOfAnActionRun) {
  rules.Load("WHEN (usr==alice) #line:1-2-2\nexit 0 ; \n"
             "WHEN (usr==bob) #line:3-4-4\nexit 0\n");
  rules.table.set_trace();
  EXPECT_EQ(Check(Fields()), "cond.1:true;exit 0 ; \ncond.2:false;\n\n");
  rules.table.set_log(1);  // in the foreground the log is standard error
  EXPECT_EQ(Check(Fields()),
            "cond.1:true;exit 0 ; \nexit 0 ; \ncond.2:false;\n\n");
  rules.table.unset_trace();
  EXPECT_EQ(Check(Fields()), "exit 0 ; \n");
  rules.table.set_log(0);
  EXPECT_EQ(Check(Fields()), "");
}

TEST_F(EvalTest, EveryMatchingAlarmRunsInFileOrder) {
  std::string out = Path("order");
  rules.Load("WHEN (usr==alice) #line:1-2-2\necho one >> " + out + " ; \n" +
             "WHEN (err==1) #line:3-4-4\necho never >> " + out + " ; \n" +
             "WHEN (app==80) #line:5-6-6\necho two >> " + out + " ; \n" +
             "WHEN (src==10.) #line:7-8-8\necho three >> " + out + " ; \n");
  EXPECT_EQ(Check(Fields()), "");
  EXPECT_EQ(ReadFile(out), "one\ntwo\nthree\n");
}

TEST_F(EvalTest, SignalsAreUnblockedAfterTheCheck) {
  sigset_t both, now;
  sigemptyset(&both);
  sigaddset(&both, SIGQUIT);
  sigaddset(&both, SIGVTALRM);
  sigprocmask(SIG_BLOCK, &both, nullptr);
  rules.Load("WHEN (err==1) #line:1-2-2\n\n");
  Check(Fields());
  sigprocmask(SIG_BLOCK, nullptr, &now);
  EXPECT_FALSE(sigismember(&now, SIGQUIT));
  EXPECT_FALSE(sigismember(&now, SIGVTALRM));
}

// ---- Building the command line

TEST_F(EvalTest, TimeAndAggregatesWaitForTheSecondPass) {
  rules.Load("WHEN (err==0) #line:1-2-2\necho usr time FAIL[src] .\n");
  Fields f;
  std::string first = Line(f, 1);
  const std::string head = "echo alice ";
  ASSERT_EQ(first.size(), head.size() + 2 * ITEM_SIZE + 3);
  EXPECT_EQ(first.substr(0, head.size()), head);
  const char *item = first.data() + head.size();
  int code;
  void *ref;
  EXPECT_EQ(item[0], ITEM_AGGREGATE);
  memcpy(&code, item + 1, sizeof code);
  EXPECT_EQ(code, VAR_TIME);
  item += ITEM_SIZE;
  EXPECT_EQ(item[0], ' ');
  EXPECT_EQ(item[1], ITEM_AGGREGATE);
  memcpy(&code, item + 2, sizeof code);
  memcpy(&ref, item + 2 + sizeof code, sizeof ref);
  EXPECT_GT(code, CONSTANT_OPERAND);
  EXPECT_EQ(ref, &rules.table.total_table[TOT_FAIL].list.front());
  EXPECT_EQ(std::string(item + ITEM_SIZE + 1), " .");

  time_t t = f.time;
  std::string when = ctime(&t);
  when.pop_back();
  EXPECT_EQ(Line(f, 2), head + when + " 0 .");
}

TEST_F(EvalTest, InsertedValuesAreCleaned) {
  rules.Load("WHEN (err==0) #line:1-2-2\necho ' usr ' .\n");
  Fields f;
  f.user = "a'b;c$d\"e`f|g&h>i<j(k)l*m?n~o#p{q}r[s]t^u\tv\xe9w";
  EXPECT_EQ(Line(f, 2),
            "echo ' a?b?c?d?e?f?g?h?i?j?k?l?m?n?o?p?q?r?s?t?u?v?w ' .");
  f.user = " !@%-_=+\\:,./AZaz09";
  EXPECT_EQ(Line(f, 2), "echo '  !@%-_=+\\:,./AZaz09 ' .");
}

TEST_F(EvalTest, CleaningLeavesTheRecordAlone) {
  std::string out = Path("out"), marker = Path("marker");
  rules.Load("WHEN (usr==x*) #line:1-2-2\necho usr >> " + out + " ; \n" +
             "WHEN (usr==*;touch*) #line:3-4-4\necho real >> " + out + " ; \n");
  Fields f;
  std::string user = "x;touch " + marker + ";y$HOME";
  f.user = user.c_str();
  EXPECT_EQ(Check(f), "");
  EXPECT_EQ(ReadFile(out), "x?touch " + marker + "?y?HOME\nreal\n");
  EXPECT_FALSE(Exists(marker));
  EXPECT_EQ(std::string(record.usr()), user);
  EXPECT_EQ(std::string(rec.usr()), user);
}

TEST_F(EvalTest, LinesThatDoNotFit) {
  rules.Load("WHEN (err==0) #line:1-2-2\necho usr\n");
  Fields f;
  f.user = "abcdefghijklm";  // "echo " and 13 characters leave the last byte
  EXPECT_EQ(Line(f, 1, 20), "echo abcdefghijklm");
  f.user = "abcdefghijklmn";
  testing::internal::CaptureStderr();
  errno = 0;
  EXPECT_EQ(Line(f, 1, 20), "(failed)");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "shell command too long: " + std::string(25, ' ') + "echo ...\n");

  std::string out = Path("out");
  rules.Load("WHEN (err==0) #line:3-4-4\necho usr usr usr usr >> " + out +
             "\n");
  std::string user(128, 'u');
  f.user = user.c_str();
  // The message buffer holds 254 characters of it.
  std::string msg = "shell command too long: echo " + user + " " + user +
                    " " + user + " ...";
  EXPECT_EQ(Check(f), msg.substr(0, 254) + "\n");
  EXPECT_FALSE(Exists(out));
}

TEST_F(EvalTest, LinesWithoutLettersOrDigitsAreRefusedOnce) {
  rules.Load("react_time=300\nWHEN (usr==*) #line:1-2-2\nusr ;\n");
  Fields f;
  f.user = "...";
  EXPECT_EQ(Check(f),
            "Action::execute\"... ;\" contains no alphanumeric characters.\n");
  EXPECT_EQ(Check(f), "");  // already entered among the recent runs
  rules.Load("WHEN (usr==*) #line:3-4-4\n\n");  // an empty action
  f.user = "....";
  EXPECT_EQ(Check(f),
            "Action::execute\".... ;\" contains no alphanumeric characters.\n"
            "Action::execute\"\" contains no alphanumeric characters.\n");
}

// ---- Running the command

TEST_F(EvalTest, ExitStatusAndSignals) {
  std::string out = Path("out");
  rules.Load("WHEN (usr==three) #line:1-2-2\nexit 3\n"
             "WHEN (usr==zero) #line:3-4-4\nexit 0\n"
             "WHEN (usr==killed) #line:5-6-6\necho ran >> " + out +
             " ; kill -KILL $$\n");
  Fields f;
  f.user = "three";
  EXPECT_EQ(Check(f), "action `exit 3' unsuccessful\n");
  f.user = "zero";
  EXPECT_EQ(Check(f), "");
  f.user = "killed";
  EXPECT_EQ(Check(f), "");
  EXPECT_EQ(ReadFile(out), "ran\n");
}

// The shell starts with the quit and refresh signals at their defaults and
// /dev/null on its standard descriptors, while the daemon holds those
// signals back.
TEST_F(EvalTest, TheChildStartsClean) {
  std::string self = Path("self"), parent = Path("parent"), fds = Path("fds");
  rules.Load("WHEN (usr==alice) #line:1-2-2\n"
             "grep ^Sig /proc/self/status > " + self +
             " ; grep ^SigBlk /proc/$PPID/status > " + parent +
             " ; readlink /proc/self/fd/0 /proc/self/fd/2 > " + fds +
             " ; test -e /proc/self/fd/5 || echo closed >> " + fds + "\n");
  struct sigaction ignore {}, old_quit, old_alrm;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGQUIT, &ignore, &old_quit);
  sigaction(SIGVTALRM, &ignore, &old_alrm);
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(fd, 5), 5);
  Check(Fields());
  close(5);
  close(fd);
  sigaction(SIGQUIT, &old_quit, nullptr);
  sigaction(SIGVTALRM, &old_alrm, nullptr);

  auto mask = [](const std::string &text, const char *field) {
    size_t at = text.find(field);
    return at == std::string::npos
               ? ~0ull
               : strtoull(text.c_str() + at + strlen(field), nullptr, 16);
  };
  const unsigned long long quit = 1ull << (SIGQUIT - 1);
  const unsigned long long alrm = 1ull << (SIGVTALRM - 1);
  std::string status = ReadFile(self);
  EXPECT_EQ(mask(status, "SigIgn:") & (quit | alrm), 0u) << status;
  EXPECT_EQ(mask(ReadFile(parent), "SigBlk:") & (quit | alrm), quit | alrm);
  EXPECT_EQ(ReadFile(fds), "/dev/null\n/dev/null\nclosed\n");
}

// The system shell may clear its signal mask itself; a shell that keeps
// the mask it was started with shows what the child handed over.  It is
// mounted over /bin/sh only inside this test's private mount namespace.
TEST_F(EvalTest, TheChildBlocksNoSignal) {
  auto ns = [](const char *pid) {
    char buf[64] = "";
    std::string link = std::string("/proc/") + pid + "/ns/mnt";
    return std::string(buf, std::max<ssize_t>(0, readlink(link.c_str(), buf,
                                                          sizeof buf)));
  };
  if (ns("self") == ns("1") ||
      mount("/bin/bash", "/bin/sh", nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "no private mount namespace to replace the shell in";
  std::string self = Path("self");
  rules.Load("WHEN (usr==alice) #line:1-2-2\n"
             "grep ^SigBlk /proc/self/status > " + self + "\n");
  Check(Fields());
  umount("/bin/sh");
  EXPECT_EQ(ReadFile(self), "SigBlk:\t0000000000000000\n");
}

TEST_F(EvalTest, WhenTracingTheShellWritesIntoTheTrace) {
  rules.Load("WHEN (usr==alice) #line:1-2-2\necho to-trace >&2\n");
  rules.table.set_trace();
  EXPECT_EQ(Check(Fields()), "cond.1:true;echo to-trace >&2\nto-trace\n\n\n");
}

// ---- Repeats

class ExecListTest : public EvalTest {
 protected:
  // find() on a list of its own, with the record's time at.
  int Find(const std::string &cmd, int id, int keep, int at) {
    Fields f;
    f.time = at;
    Set(f);
    record.share(rec);
    return list.find(cmd.data(), static_cast<int>(cmd.size()), id, keep);
  }
  ExecList list;
  const int t = 1700000000;
};

TEST_F(ExecListTest, KeepTimeZeroNeverSuppresses) {
  EXPECT_EQ(Find("a", 1, 0, t), 0);
  EXPECT_EQ(Find("a", 1, 0, t), 0);
  EXPECT_EQ(list.list.length(), 1);
}

TEST_F(ExecListTest, OneWindowPerKeepTime) {
  struct { int at, want; } runs[] = {{0, 0},   {100, 1}, {299, 1}, {300, 0},
                                     {301, 1}, {599, 1}, {600, 0}, {550, 1}};
  for (auto &r : runs) EXPECT_EQ(Find("a", 1, 300, t + r.at), r.want) << r.at;
  EXPECT_EQ(Find("a", 1, 300, t - 50), 1);  // an earlier record
}

TEST_F(ExecListTest, TheKeyIsTheAlarmAndTheBytes) {
  EXPECT_EQ(Find("a", 1, 300, t), 0);
  EXPECT_EQ(Find("a", 2, 300, t), 0);
  EXPECT_EQ(Find("a", 2, 300, t), 1);
  EXPECT_EQ(Find("ab", 1, 300, t), 0);
  EXPECT_EQ(Find(std::string("x\0y", 3), 1, 300, t), 0);
  EXPECT_EQ(Find(std::string("x\0z", 3), 1, 300, t), 0);
  EXPECT_EQ(Find(std::string("x\0z", 3), 1, 300, t), 1);
}

TEST_F(ExecListTest, ExpiredEntriesGoEvenAfterAMatch) {
  EXPECT_EQ(Find("long", 1, 300, t), 0);
  EXPECT_EQ(Find("short", 1, 10, t), 0);
  EXPECT_EQ(Find("long", 1, 300, t + 20), 1);
  EXPECT_EQ(list.list.length(), 1);
}

TEST_F(EvalTest, RepeatsAreKeyedByTheFirstPassLine) {
  std::string out = Path("out");
  rules.Load("react_time=300\nWHEN (err==0) #line:1-2-2\necho usr time >> " +
             out + "\n");
  Fields f;
  int t0 = f.time;
  Check(f);
  f.time = t0 + 1;  // the time inserted differs, the key does not
  Check(f);
  f.user = "bob";
  Check(f);
  f.user = "alice", f.time = t0 + 300;
  Check(f);
  std::istringstream lines(ReadFile(out));
  std::string line, users;
  while (std::getline(lines, line))
    users += line.substr(0, line.find(' ')) + ";";
  EXPECT_EQ(users, "alice;bob;alice;");
}

}  // namespace
