// Deciding alarms: comparisons, condition trees, the check of a record with
// its trace, and actions: substitution, the shell child, repeats.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audit.h"
#include "rules_util.h"

namespace {

// Local time; month 1 to 12.
int Day(int mon, int mday, int hour = 12, int min = 0, int year = 2023) {
  struct tm t {};
  t.tm_year = year - 1900, t.tm_mon = mon - 1, t.tm_mday = mday;
  t.tm_hour = hour, t.tm_min = min, t.tm_isdst = -1;
  return static_cast<int>(mktime(&t));
}

// One connection; the source's host name is ws.corp.invalid.
struct Fields {
  explicit Fields(const char *u = "alice") : user(u) {}
  const char *src = "10.1.2.3", *dst = "192.0.2.7", *user;
  int time = Day(6, 14);  // a Wednesday, noon
  int app = 80, err = 0;
  const char *Dst = "";
};

// A condition with the values of one field for which it holds and not.
template <class T> struct Case { const char *cond; std::vector<T> yes, no; };

std::string ReadFile(const std::string &path) {
  std::stringstream s;
  s << std::ifstream(path).rdbuf();
  return s.str();
}
std::string When(time_t t) { return std::string(ctime(&t), 24); }

class EvalTest : public testing::Test {
 protected:
  EvalTest() : dir(mkdtemp(tmpl)) {}
  ~EvalTest() override {
    SLList<Execution> &l = ALRM_exec_list.list;  // process-wide: forget it
    for (Pix p = l.first(); p != nullptr; l.next(p)) free(l(p).cmd);
    l.clear();
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
  }

  void Set(const Fields &f) {
    rec.set_value(inet_addr(f.src), inet_addr(f.dst), f.user, f.time, f.app,
                  f.err, 10, 20, "ws.corp.invalid", f.Dst, "", 42, 1, 0, 7, 1);
    record.share(rec);
  }
  // Whether a condition, as twparser prints it, holds for f.
  int Holds(const std::string &cond, const Fields &f) {
    EXPECT_EQ(rules.Load("WHEN " + cond + " #line:1-2-2\n\n"), 1) << cond;
    Set(f);
    return rules.Last().condition.value(1);
  }
  template <class T>
  void Table(T Fields::*field, const std::vector<Case<T>> &cases) {
    Fields f;
    for (auto &c : cases)
      for (int want : {1, 0})
        for (T v : want ? c.yes : c.no) {
          f.*field = v;
          EXPECT_EQ(Holds(c.cond, f), want) << c.cond << " with " << v;
        }
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
    char buf[MAX_LINE];
    memset(buf, '#', sizeof buf);  // a line not terminated shows
    int n = rules.Last().action.substitute(buf, size, how_expand);
    return n < 0 ? "(failed)" : std::string(buf, n);
  }
  std::string Path(const char *name) const { return dir + "/" + name; }

  char tmpl[16] = "/tmp/evalXXXXXX";
  std::string dir;
  TestRules rules;
  Record rec;
};

TEST_F(EvalTest, PortsAndProtocols) {
  Table<int>(&Fields::app,
             {{"(app==80/tcp)", {80}, {-80}}, {"(app==80)", {80, -80}, {}},
              {"(app>1023)", {-2000}, {}}, {"(app>1023/tcp)", {}, {-2000}},
              {"(app!=80)", {}, {-80}}, {"(app<1024/udp)", {-53}, {-2000, 53}},
              {"(app=={100-200}/udp)", {-150, -200}, {-250, 150}},
              {"(app=={1000-2000})", {1500, -1500}, {999, -2001}},
              {"(app==22 80 53/udp)", {-53, -80}, {53, 8080}},
              {"(app!=22 {8000-8100}/tcp)", {-8080}, {8080}}});
}

// No history files are open here, so no aggregate has a value.
TEST_F(EvalTest, ErrorsRangesAndAggregates) {
  Table<int>(&Fields::err,
             {{"(err=={1-10})", {1, 10}, {0, 11}}, {"(err>0)", {1}, {-1}},
              {"(err==3 5 {8-9})", {9}, {4}}, {"(err!=3 5 {8-9})", {4}, {8}},
              {"(err=={5-})", {65535}, {}}, {"(err=={-4})", {}, {5}},
              {"(err==error)", {3}, {}}, {"((FAIL[src]<1)|(err==0))", {0}, {}},
              {"(FAIL[src]>0)", {}, {0}}, {"(FAIL[src]<1)", {}, {0}},
              {"(ACCESS[usr==adm*,src]!=5)", {}, {0}}});
}

// A time against a time must not be read as a calendar range.
TEST_F(EvalTest, Calendar) {
  const int dec31 = Day(12, 31), jan1 = Day(1, 1, 8, 0, 2024);
  Table<int>(
      &Fields::time,
      {{"(tm==- - - {08:00-17:00} -)", {Day(6, 14, 8), Day(6, 14, 17)},
        {Day(6, 14, 17, 1), Day(6, 14, 7, 59)}},
       {"(tm==- {Mar-May} - {00:00-23:59} -)", {Day(4, 15)}, {dec31}},
       {"(tm!=- {Mar-May} - - -)", {dec31}, {Day(5, 31)}},
       {"(tm=={Mon-Fri} - - - -)", {Day(12, 29)}, {Day(12, 30), dec31}},
       {"(tm==- - {1-15} - -)", {Day(6, 15)}, {Day(6, 16)}},
       {"(tm==- - - - {2020-2023})", {dec31}, {jan1}},
       {"(tm==Sat - - - - {Mon-Fri} - - {09:00-17:00} -)",
        {Day(12, 30, 3), jan1 + 7200}, {jan1}},
       {"(tm==time)", {dec31}, {}}, {"(tm!=tm)", {}, {dec31}}});
}

TEST_F(EvalTest, Hosts) {
  Table<const char *>(
      &Fields::src,
      {{"(src==10.1.0.0/255.255.0.0)", {"10.1.200.3"}, {"10.2.0.1"}},
       {"(src!=10.)", {"11.0.0.1"}, {"10.0.0.1"}},
       {"(src==.corp.invalid)", {"10.9.9.9"}, {}}});
  Table<const char *>(&Fields::dst,
                      {{"(dst!=.corp.invalid 192.0.2.0/255.255.255.0)",
                        {"192.0.3.1"}, {"192.0.2.99"}},
                       {"(src==dst)", {"10.1.2.3"}, {"10.1.2.4"}},
                       {"(dst!=src)", {"10.1.2.4"}, {"10.1.2.3"}}});
  Table<const char *>(
      &Fields::Dst,
      {{"(dst==.corp.invalid)", {"www.corp.invalid"}, {"wwwcorp.invalid", ""}},
       {"(dst==localhost)", {"localhost"}, {"localhost.corp"}}});
}

TEST_F(EvalTest, Users) {
  Table<const char *>(
      &Fields::user,
      {{"(usr==adm*)", {"admin"}, {"guest"}}, {"(usr==UNKNOWN)", {""}, {}},
       {"(usr!=adm*)", {"guest"}, {"admin"}}, {"(usr==user)", {"x"}, {}},
       {"(usr==alice bob adm*)", {"admin"}, {"carol"}},
       {"(usr!=alice bob adm*)", {"carol"}, {"adm"}}});
}

// In the trees, the second child carries an operator that stops the run
// with status 1 if it is ever evaluated.  For alice the first decides.
TEST_F(EvalTest, ConditionTreesStopAtTheFirstChildThatDecides) {
  EXPECT_EQ(Holds("((err==0))", Fields()), 1);  // an and-node of one child
  EXPECT_EQ(Holds("((err==1))", Fields()), 0);
  Condition node;  // without a test
  node.initialize();
  node.rule = RULE_TRUE;
  EXPECT_EQ(node.value(0), 1);
  node.rule = 9;
  EXPECT_EQ(node.value(0), 1);
  for (auto c : {std::make_pair("((usr==bob)&(err==2))", 0),
                 std::make_pair("((usr==alice)|(err==2))", 1)}) {
    Holds(c.first, Fields("bob"));
    Condition &tree = rules.Last().condition;
    tree.subcond2->comp->comp_operator = 99;
    EXPECT_EXIT(tree.value(1), testing::ExitedWithCode(1),
                "^unsupported operator found\n$") << c.first;
    Set(Fields());
    EXPECT_EQ(tree.value(1), c.second);
  }
}

// Every alarm that holds runs, in file order; the shell's standard error
// joins the trace, or goes nowhere.
TEST_F(EvalTest, CheckRunsEveryMatchingAlarmAndTracesIt) {
  rules.Load("WHEN (usr==alice) #line:1-2-2\necho one >&2 ; \n"
             "WHEN (err==1) #line:3-4-4\necho never >&2\n"
             "WHEN (app==80) #line:5-6-6\necho two >&2\n"
             "WHEN (src==10.) #line:7-8-8\necho three >&2\n");
  rules.table.set_trace();
  EXPECT_EQ(Check(Fields()),
            "cond.1:true;echo one >&2 ; \none\ncond.2:false;cond.3:true;"
            "echo two >&2\ntwo\ncond.4:true;echo three >&2\nthree\n\n\n");
  Fields none("bob");  // a miss of all four
  none.app = 81, none.src = "11.0.0.1";
  EXPECT_EQ(Check(none),
            "cond.1:false;cond.2:false;cond.3:false;cond.4:false;\n\n");
  rules.table.unset_trace();
  rules.table.set_log(1);  // in the foreground the log is standard error
  EXPECT_EQ(Check(Fields()), "echo one >&2 ; \necho two >&2\necho three >&2\n");
  rules.table.set_log(0);
  EXPECT_EQ(Check(Fields()), "");
}

// A copy is cleaned: later alarms see the record as it is.
TEST_F(EvalTest, InsertedValuesAreCleaned) {
  rules.Load("WHEN (err==0) #line:1-2-2\necho ' usr ' .\n");
  Fields f("a'b;c$d\"e`f|g&h>i<j(k)l*m?n~o#p{q}r[s]t^u\tv\xe9w");
  EXPECT_EQ(Line(f, 2),
            "echo ' a?b?c?d?e?f?g?h?i?j?k?l?m?n?o?p?q?r?s?t?u?v?w ' .");
  EXPECT_STREQ(record.usr(), f.user);
  f.user = " !@%-_=+\\:,./AZaz09";
  EXPECT_EQ(Line(f, 2), "echo '  !@%-_=+\\:,./AZaz09 ' .");
}

TEST_F(EvalTest, LinesThatDoNotFit) {
  rules.Load("WHEN (err==0) #line:1-2-2\necho usr\n");
  Fields f("abcdefghijklm");  // "echo " and 13 characters leave the last byte
  EXPECT_EQ(Line(f, 1, 20), "echo abcdefghijklm");
  f.user = "abcdefghijklmn";
  testing::internal::CaptureStderr();
  errno = 0;
  EXPECT_EQ(Line(f, 1, 20), "(failed)");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "shell command too long: " + std::string(25, ' ') + "echo ...\n");
  std::string out = Path("out"), user(128, 'u'), msg = "too long: echo ";
  rules.Load("WHEN (err==0) #line:3-4-4\necho usr usr usr usr >> " + out +
             "\n");
  msg = "shell command " + msg + user + " " + user;
  EXPECT_EQ(Check(Fields(user.c_str())), msg.substr(0, 254) + "\n");
  EXPECT_EQ(ReadFile(out), "");
}

TEST_F(EvalTest, FailedAndRefusedCommands) {
  std::string out = Path("out");
  rules.Load("react_time=300\nWHEN (usr==three) #line:1-2-2\nexit 3\n"
             "WHEN (usr==killed) #line:3-4-4\necho ran >> " + out +
             " ; kill -KILL $$\nWHEN (usr==.*) #line:5-6-6\nusr ;\n");
  EXPECT_EQ(Check(Fields("three")), "action `exit 3' unsuccessful\n");
  EXPECT_EQ(Check(Fields("killed")), "");
  EXPECT_EQ(ReadFile(out), "ran\n");
  EXPECT_EQ(Check(Fields("...")),
            "Action::execute\"... ;\" contains no alphanumeric characters.\n");
  EXPECT_EQ(Check(Fields("...")), "");  // already entered among the recent runs
}

// Whatever the daemon blocks or ignores, the shell starts with the quit
// and refresh signals unblocked and at their defaults, and with /dev/null on
// its standard descriptors and no others.  Where a private mount namespace
// allows, bash, which keeps the mask it is given, stands in for the shell.
TEST_F(EvalTest, TheChildStartsClean) {
  char ns[64] = "", one[64] = "";
  bool bash = readlink("/proc/self/ns/mnt", ns, 63) > 0 &&
              (readlink("/proc/1/ns/mnt", one, 63) < 0 || strcmp(ns, one)) &&
              mount("/bin/bash", "/bin/sh", nullptr, MS_BIND, nullptr) == 0;
  std::string self = Path("self"), parent = Path("parent"), fds = Path("fds");
  rules.Load("WHEN (usr==alice) #line:1-2-2\n"
             "grep ^Sig /proc/self/status > " + self +
             " ; grep ^SigBlk /proc/$PPID/status > " + parent +
             " ; readlink /proc/self/fd/0 /proc/self/fd/2 > " + fds +
             " ; test -e /proc/self/fd/5 || echo closed >> " + fds + "\n");
  for (int sig : {SIGQUIT, SIGVTALRM}) signal(sig, SIG_IGN);
  sigset_t both_set;
  sigemptyset(&both_set), sigaddset(&both_set, SIGQUIT);
  sigaddset(&both_set, SIGVTALRM);
  sigprocmask(SIG_BLOCK, &both_set, nullptr);
  int fd = open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(fd, 5), 5);  // a descriptor the child must not keep
  Check(Fields());
  close(5), close(fd);
  sigprocmask(SIG_UNBLOCK, &both_set, nullptr);
  for (int sig : {SIGQUIT, SIGVTALRM}) signal(sig, SIG_DFL);
  if (bash) umount("/bin/sh");
  auto mask = [](const std::string &text, const char *field) {
    return strtoull(text.substr(text.find(field) + 7).c_str(), nullptr, 16);
  };
  const auto both = 1ull << (SIGQUIT - 1) | 1ull << (SIGVTALRM - 1);
  std::string status = ReadFile(self);
  EXPECT_EQ(mask(status, "SigIgn:") & both, 0u) << status;
  EXPECT_TRUE(!bash || mask(status, "SigBlk:") == 0) << status;
  EXPECT_EQ(mask(ReadFile(parent), "SigBlk:") & both, both);
  EXPECT_EQ(ReadFile(fds), "/dev/null\n/dev/null\nclosed\n");
}

class ExecListTest : public EvalTest {};

TEST_F(ExecListTest, OneRunPerAlarmLineAndKeepTime) {
  const int t = 1700000000;
  const std::string xy("x\0y", 3), xz("x\0z", 3);
  struct { std::string cmd; int id, keep, at, want; } runs[] = {
      {"z", 9, 0, t, 0}, {"z", 9, 0, t, 0},  // keep time 0 never suppresses
      {"a", 1, 300, t, 0}, {"a", 1, 300, t + 100, 1}, {"a", 1, 300, t + 299, 1},
      {"a", 1, 300, t + 300, 0}, {"a", 1, 300, t + 250, 1},  // an earlier one
      {"a", 2, 300, t + 300, 0}, {"a", 2, 300, t + 300, 1},  // another alarm
      {"ab", 1, 300, t + 300, 0}, {xy, 1, 300, t + 300, 0},
      {xz, 1, 300, t + 300, 0}, {xz, 1, 300, t + 300, 1},
      {"short", 1, 10, t + 300, 0},
      {"a", 1, 300, t + 310, 1}};  // the walk goes on after the match
  ExecList list;
  for (auto &r : runs) {
    Fields f;
    f.time = r.at;
    Set(f);
    EXPECT_EQ(list.find(r.cmd.data(), static_cast<int>(r.cmd.size()), r.id,
                        r.keep), r.want) << r.cmd << " at t+" << r.at - t;
  }
  EXPECT_EQ(list.list.length(), 5);  // "short" has gone
}

// The first pass leaves time and aggregates as they are stored, and the
// line it builds is the key of the repeats.
TEST_F(EvalTest, RepeatsAreKeyedByTheFirstPassLine) {
  std::string out = Path("out");
  rules.Load("react_time=300\nWHEN (err==0) #line:1-2-2\necho usr time "
             "FAIL[src] >> " + out + "\n");
  const int t0 = Fields().time;
  std::string first = Line(Fields(), 1), item(1, ITEM_AGGREGATE);
  ASSERT_EQ(first.size(), 11 + 2 * ITEM_SIZE + 5 + out.size());
  EXPECT_EQ(first.substr(0, 12), "echo alice " + item);
  std::pair<const char *, int> runs[] = {
      {"alice", 0}, {"alice", 1}, {"bob", 1}, {"alice", 300}};
  for (auto &r : runs) {
    Fields f(r.first);
    f.time = t0 + r.second;
    Check(f);
  }
  EXPECT_EQ(ReadFile(out), "alice " + When(t0) + " 0\nbob " + When(t0 + 1) +
                               " 0\nalice " + When(t0 + 300) + " 0\n");
}

// What a value becomes in a command line: bytes outside the kept set and a
// leading '-' turn into '?'.
std::string Cleaned(const std::string &v) {
  std::string out;
  for (unsigned char c : v)
    out += isalnum(c) || (c != 0 && strchr(" !@%-_=+\\:,./", c)) ? c : '?';
  if (!out.empty() && out[0] == '-') out[0] = '?';
  return out;
}

// What the shell prints for a line, run in dir.
std::string Shell(const std::string &dir, const std::string &line) {
  std::string out;
  // By descriptor: in the private /tmp the old directory's path may be gone.
  int cwd = open(".", O_RDONLY | O_DIRECTORY);
  EXPECT_GE(cwd, 0);
  EXPECT_EQ(chdir(dir.c_str()), 0);
  FILE *p = popen(line.c_str(), "r");
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  EXPECT_EQ(fchdir(cwd), 0);
  close(cwd);
  return out;
}

std::string Listing(const std::string &dir) {
  std::string names;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    names += e.path().filename().string() + "\n";
  return names;
}

// Every name reaches the command as one argument equal to its cleaned
// text, wherever the command puts it: no splitting, globbing, option or
// escape, and nothing run.
TEST_F(EvalTest, ValuesReachTheShellAsOneLiteralWord) {
  for (const char *f : {"Uxu", "x", "a b", "-la"}) std::ofstream(Path(f)) << "";
  std::vector<std::string> values = {
      "--version", "-la /etc/shadow", "a b  c", "/??" "?/??" "???", "x\\", "*",
      "U;u", "$(touch pwned)", "`touch pwned`", "a'b\"c", "!x", "=",
      "ab@c%d_e+f:g,h.i/j-k"};
  for (int b = 1; b < 256; b++) {
    values.push_back(std::string(1, static_cast<char>(b)) + "v" +
                     std::string(1, static_cast<char>(b)));
    values.push_back(std::string(1, static_cast<char>(b)));
  }
  const std::string before = Listing(dir);
  struct { const char *command, *want; } forms[] = {
      {"printf '<%s>\\n' usr src.name dst.name app.name", "<V>\n<V>\n<V>\n<V>\n"},
      {"printf '<%s>\\n' \"usr\" 'src.name' \"[dst.name]\" x'app.name'y",
       "<V>\n<V>\n<[V]>\n<xVy>\n"}};
  for (auto &form : forms) {
    rules.Load(std::string("WHEN (err==0) #line:1-2-2\n") + form.command + "\n");
    for (const std::string &v : values) {
      std::string app = v.substr(0, 15);
      rec.set_value(inet_addr("10.1.2.3"), inet_addr("192.0.2.7"), v.c_str(),
                    Day(6, 14), 80, 0, 0, 0, v.c_str(), v.c_str(), app.c_str(),
                    42, 1, 0, 7, 1);
      record.share(rec);
      char buf[MAX_LINE];
      int n = rules.Last().action.substitute(buf, sizeof buf, 2);
      ASSERT_GT(n, 0) << v;
      std::string want = form.want, line(buf, n);
      for (size_t at = 0, field = 0; (at = want.find('V', at)) != std::string::npos;) {
        std::string text = Cleaned(++field == 4 ? app : v);
        want.replace(at, 1, text);
        at += text.size();
      }
      EXPECT_EQ(Shell(dir, line), want) << "value " << v << " line " << line;
    }
  }
  EXPECT_EQ(Listing(dir), before);
  // Ordinary values read as they are; others are quoted once.
  rules.Load("WHEN (err==0) #line:1-2-2\necho usr \"usr\" 'usr'\n");
  std::pair<const char *, const char *> lines[] = {
      {"ann@corp.example:8080", "echo ann@corp.example:8080 \"ann@corp.example:8080\" "
                                "'ann@corp.example:8080'"},
      {"a b\\", "echo 'a b\\' \"a b\\\\\" 'a b\\'"},
      {"-x", "echo '?x' \"?x\" '?x'"}};
  for (auto &l : lines) EXPECT_EQ(Line(Fields(l.first), 2), l.second);
}

}  // namespace
