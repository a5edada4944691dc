// twparser as the daemon runs it: rule texts in, parsed file, messages and
// exit status out.  Every case runs the real program in a child process.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string Slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}
void Spit(const std::string &p, const std::string &s) { std::ofstream(p, std::ios::binary) << s; }

// A scratch directory of this process, removed at exit; it also holds the
// program under its own name.
struct Scratch {
  std::string dir = std::filesystem::temp_directory_path() / "twparserXXXXXX";
  Scratch() {
    if (!mkdtemp(&dir[0]) || symlink(TWPARSER, (dir + "/twparser").c_str())) abort();
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
  std::string operator/(const char *name) const { return dir + "/" + name; }
} tmp;

struct Outcome { int status; std::string out, err; };  // status: neither 0 nor 1 when killed

// Runs twparser (as "twparser") with `args`, `input` on standard input.
Outcome Exec(const std::vector<std::string> &args, const std::string &input = "") {
  std::string cmd = "PATH='" + tmp.dir + "' twparser";
  for (const auto &a : args) cmd += " '" + a + "'";
  Spit(tmp / "stdin", input);
  cmd += " <" + tmp / "stdin" + " >" + tmp / "stdout" + " 2>" + tmp / "stderr";
  int st = system(cmd.c_str());
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, Slurp(tmp / "stdout"), Slurp(tmp / "stderr")};
}

// Runs `twparser RULES PARSED extra...` on `rules`; `out` is the parsed file.
Outcome Parse(const std::string &rules, std::vector<std::string> extra = {}) {
  Spit(tmp / "rules", rules);
  unlink((tmp / "parsed").c_str());
  extra.insert(extra.begin(), {tmp / "rules", tmp / "parsed"});
  Outcome r = Exec(extra);
  return {r.status, Slurp(tmp / "parsed"), r.err};
}

using R = std::tuple<int, std::string, std::string>;
R Got(const Outcome &r) { return R(r.status, r.out, r.err); }

void ExpectParsed(const std::string &rules, const std::string &parsed) {
  EXPECT_EQ(Got(Parse(rules)), R(0, parsed, "")) << "rules: " << testing::PrintToString(rules);
}

// `message` is the text of the one report; it goes out with a line break.
void ExpectFails(const std::string &rules, const std::string &message) {
  Outcome r = Parse(rules);
  EXPECT_EQ(std::tie(r.status, r.err), std::make_tuple(1, message + "\n"))
      << "rules: " << testing::PrintToString(rules);
}

struct Case { std::string in, want; };

std::string Word(size_t n) { return std::string(n, 'w'); }

// One alarm with an empty action around `cond`, and what it parses to.
std::string Alarm(const std::string &cond) { return "WHEN (" + cond + ")\nEXEC\nEND\n"; }
std::string AlarmParsed(const std::string &cond, const std::string &printed) {
  std::string exec = std::to_string(3 + std::count(cond.begin(), cond.end(), '\n'));
  return "WHEN " + printed + " #line:1-" + exec + "-" + exec + "\n\n";
}

// An action of `body` (the lines between EXEC and END), and what it parses to.
std::string Action(const std::string &body) { return "WHEN (a == 1)\nEXEC\n" + body + "END\n"; }
std::string ActionParsed(const std::string &body, const std::string &line) {
  int end = 3 + std::count(body.begin(), body.end(), '\n');
  return "WHEN (a==1) #line:1-3-" + std::to_string(end) + "\n" + line + "\n";
}

TEST(Twparser, RuleFileOfDefinitionsAndAlarms) {
  ExpectParsed(
      "# the network we watch\n"
      "mynet = 10.1.0.0/255.255.0.0\n"
      "alert_time=10\n"
      "\n"
      "WHEN (src == 1.2.3.4 & !(app == telnet | dst == foo))\n"
      "EXEC\n"
      "  echo alarm src | mail root\n"
      "END\n"
      "WHEN (FAIL[src == $mynet, src] > 5)\n"
      "EXEC\n"
      "END\n",
      "mynet= 10.1.0.0/255.255.0.0\n"
      "alert_time=10\n"
      "WHEN ((src==1.2.3.4)&((app!=telnet)&(dst!=foo))) #line:5-7-8\n"
      " echo alarm src | mail root ; \n"
      "WHEN (FAIL[src==$mynet,src]>5) #line:9-11-11\n"
      "\n");
}

TEST(Twparser, ConditionsAreBracketedAndFreeOfNegation) {
  const Case cases[] = {
      {"!!(c < 3)", "(c<3)"},
      {"!(c < 3)", "(c>=3)"},
      {"!(!(a == 1 & b == 2))", "((a==1)&(b==2))"},
      {"a == 1 & b == 2 | c == 3 & d == 4", "(((a==1)&(b==2))|((c==3)&(d==4)))"},
      {"a<=1|b>=2&c!=3", "((a<=1)|((b>=2)&(c!=3)))"},
      {"! x == 1 & (y == 2 & z == 3)", "((x!=1)&((y==2)&(z==3)))"},
      {"!(a == 1 | b == 2 & c == 3)", "((a!=1)&((b!=2)|(c!=3)))"},
      {"!(a == 1) & !(b != 2) & !(c <= 3) & !(d < 4) & !(e >= 5) & !(f > 6)",
       "((((((a!=1)&(b==2))&(c>3))&(d>=4))&(e<5))&(f<=6))"},
      {"tm == {Mon-Fri}  -\t- \\\n {09:00-17:00}\t -", "(tm=={Mon-Fri} - - {09:00-17:00} -)"},
      {"source == a | destination == b | application == c | user == d",
       "((((source==a)|(destination==b))|(application==c))|(user==d))"},
      {"socks.pid > 1 & pid < 2 & usr == u & err != e & error == e",
       "(((((socks.pid>1)&(pid<2))&(usr==u))&(err!=e))&(error==e))"},
      {"srcx == $net & src.x == END & $a\\b == when",
       "(((srcx==$net)&(src.x==END))&($a\\b==when))"},
      {"a == 1 &\n# a comment line\n\n   b == 2", "((a==1)&(b==2))"},
      // Aggregates: index list; condition and index list; condition.
      {"FAIL[src, dst] > 3", "(FAIL[src,dst]>3)"},
      {"ACCESS[!(src == 1.2.3.4 & dst == x)] > 1", "(ACCESS[(src!=1.2.3.4)|(dst!=x)]>1)"},
      {"DURATION[usr == b | err == e, source, destination, application, user, error] >= 60",
       "(DURATION[(usr==b)|(err==e),source,destination,application,user,error]>=60)"},
      {"5 <= TRAFFIC[app, usr, err]", "(5<=TRAFFIC[app,usr,err])"},
      {"FAIL[ !!(src == x) ,src ] > 1", "(FAIL[src==x,src]>1)"},
      {"!(FAIL[src] > 5) | IN[dst] == OUT[tm == $w]", "((FAIL[src]<=5)|(IN[dst]==OUT[tm==$w]))"},
  };
  for (const auto &c : cases) ExpectParsed(Alarm(c.in), AlarmParsed(c.in, c.want));
}

TEST(Twparser, DefinitionsAndLineMarkers) {
  const Case cases[] = {
      {"a =\tEXEC = c # d & !e \t\n", "a=\tEXEC = c # d & !e \t\n"},
      {"a = \n", "a= \n"},
      {"x.y-z_1 = $w\nb=2\n", "x.y-z_1= $w\nb=2\n"},
      {"a = 1 \\\n 2\n", "a= 1   2\n"},
      {"a = x\\\n# skipped\ny\n", "a= x y\n"},
      {"a = x\\\n\nb=2\n", "a= x \nb=2\n"},
      {"a=\\\n\n", "a=\n"},
      {Word(79) + "=1\n", Word(79) + "=1\n"},
      {"", ""},
      {"# only\n#comments\n\n  \n", ""},
      {"a=1\n   ", "a=1\n"},
      {"WHEN (a == 1) EXEC\necho x\nEND\n", "WHEN (a==1) #line:1-2-3\necho x ; \n"},
      {"WHEN (a == 1)\nEXEC\necho hi END\n", "WHEN (a==1) #line:1-3-3\necho hi \n"},
      {"WHEN (a == 1)\nEXEC  \t\nEND \t\n", "WHEN (a==1) #line:1-3-3\n\n"},
      {"WHEN\n(a == 1)\nEXEC\nEND\n", "WHEN (a==1) #line:1-4-4\n\n"},
      {"# c\n\nWHEN (a == 1 &\n# note\n      b == 2)\nEXEC\necho x\n\necho y\nEND\n",
       "WHEN ((a==1)&(b==2)) #line:3-7-10\necho x ; echo y ; \n"},
      {"a=1\nWHEN (b == $a)\nEXEC\nEND\nc=2\n", "a=1\nWHEN (b==$a) #line:2-4-4\n\nc=2\n"},
      {"a = 1\r\n\r\nWHEN (a == 1)\r\nEXEC\r\necho hi\r\n\r\nEND\r\n",
       "a= 1\r\nWHEN (a==1) #line:3-5-7\necho hi  ; \n"},
  };
  for (const auto &c : cases) ExpectParsed(c.in, c.want);
}

TEST(Twparser, ActionsAreJoinedIntoOneLine) {
  const Case cases[] = {
      {"", ""},
      {"\n \t\n", ""},
      {"\techo \t \"a   b\"\t  'c'\n  y\n", " echo \"a b\" 'c' ;  y ; "},
      {"a\n\n \t\n# comment\n # indented\nb\n", "a ;  # indented ; b ; "},
      {"echo a\\\n  b\\\nc\n", "echo a bc ; "},
      {"mail $to src.name dst.name app.port application.port $x\\y pid\n",
       "mail $to src.name dst.name app.port application.port $x\\y pid ; "},
      {"a&&b||!c x<=y x>=y x==y x!=y x<y x>y ( ) [ ] , = ; % # \\\"\n",
       "a&&b||!c x<=y x>=y x==y x!=y x<y x>y ( ) [ ] , = ; % # \\\" ; "},
      {"echo FAIL[ src ]\n", "echo   FAIL[src] ; "},
      {"echo FAIL[src == x, src] IN[!(dst == y)] TRAFFIC[usr,err]\n",
       "echo    FAIL[src==x,src]   IN[dst!=y] TRAFFIC[usr,err] ; "},
      {"echo FAIL[src,\n dst]\n", "echo  ;  FAIL[src,dst] ; "},
  };
  for (const auto &c : cases) ExpectParsed(Action(c.in), ActionParsed(c.in, c.want));
}

TEST(Twparser, ErrorsNameLineAndToken) {
  const Case cases[] = {
      // Definitions.
      {"src = 1\n", "line 1: syntax error at src"},
      {"FAIL = 1\n", "line 1: syntax error at FAIL"},
      {"src.name = 1\n", "line 1: syntax error at src.name"},
      {"WHEN = 1\n", "line 1: syntax error at ="},
      {"# c\n\nfoo bar = 1\n", "line 3: syntax error at bar"},
      {"foo\n", "line 1: unrecognized LF at end of line"},
      {"a=\n", "line 1: unrecognized LF at end of line"},
      {"a=EXEC\n", "line 2: syntax error at EXEC\n"},
      {"a = 1", "line 1: syntax error at 1"},
      {"a = x\\\n", "line 2: syntax error at end of line"},
      // Conditions.
      {"when (a == 1)\n", "line 1: syntax error at ("},
      {"WHEN a == 1\n", "line 1: syntax error at a"},
      {"WHEN (a = 1)\n", "line 1: syntax error at ="},
      {"WHEN (a)\n", "line 1: syntax error at )"},
      {"WHEN (a == 1 == 2)\n", "line 1: syntax error at =="},
      {"WHEN (a == 1\n # x\n)\n", "line 2: syntax error at #"},
      {"WHEN (src.name == x)\n", "line 1: syntax error at src.name"},
      {"WHEN (a\\ == 1)\n", "line 1: syntax error at \\"},
      {"WHEN (a == 1) x\n", "line 1: syntax error at x"},
      {"WHEN (FAIL[src, dst == x] > 1)\n", "line 1: syntax error at =="},
      {"WHEN (FAIL[] > 1)\n", "line 1: syntax error at ]"},
      {"WHEN (FAIL[tm] > 1)\n", "line 1: syntax error at ]"},
      {"WHEN (FAIL[IN[src] > 1] > 2)\n", "line 1: syntax error at IN"},
      {"WHEN (FAIL > 1)\n", "line 1: syntax error at >"},
      {"WHEN (a == 1", "line 1: syntax error at end of line"},
      // Keywords and actions.
      {"END\n", "line 2: syntax error at END\n"},
      {"WHEN (a == 1)\nEND  \n", "line 3: syntax error at END  \n"},
      {"WHEN (a == 1) EXEC echo\n", "line 1: syntax error at EXEC"},
      {"WHEN (a == 1)\nEXEC\nEXEC\nEND\n", "line 4: syntax error at EXEC\n"},
      {"WHEN (a == 1)\nEXEC\nWHEN (b == 2)\nEND\n", "line 3: syntax error at WHEN"},
      {"WHEN (a == 1)\nEXEC\necho FAIL x\nEND\n", "line 3: syntax error at x"},
      {"WHEN (a == 1)\nEXEC\necho x\n", "line 4: syntax error at end of line"},
      {"WHEN (a == 1)\nEXEC\necho x\nEND", "line 4: syntax error at end of line"},
      {"WHEN (a == 1)\nEXEC\nEND\nfoo\n", "line 4: unrecognized LF at end of line"},
      {"WHEN (a == 1)\nEXEC\nEND\n# no line break", "line 4: syntax error at #"},
      // Bytes outside printable ASCII.
      {std::string("a=1\n# x\0y\n", 10), "line 2: invalid byte 0x00"},
      {"a = x\\\ny\xff\n", "line 2: invalid byte 0xff"},
      {"WHEN (a == \x80)\n", "line 1: invalid byte 0x80"},
      {Action("echo \"\xe2\x82\xac\"\n"), "line 3: invalid byte 0xe2"},
      // Control bytes: only tab, line feed and a carriage return before it.
      {Action("echo \x01x\n"), "line 3: invalid byte 0x01"},
      {Action("echo \x02\n"), "line 3: invalid byte 0x02"},
      {"WHEN (a == 1)\r \nEXEC\nEND\n", "line 1: invalid byte 0x0d"},
      {Action("echo a\rb\n"), "line 3: invalid byte 0x0d"},
      {"# x\x1b[2J\n", "line 1: invalid byte 0x1b"},
      {"a = x\x0by\n", "line 1: invalid byte 0x0b"},
      {"WHEN (a == b\x7f)\n", "line 1: invalid byte 0x7f"},
  };
  for (const auto &c : cases) ExpectFails(c.in, c.want);
}

TEST(Twparser, Limits) {
  // Words: 79 characters pass, 80 fail.
  ExpectParsed(Alarm("a == " + Word(79)), AlarmParsed("", "(a==" + Word(79) + ")"));
  ExpectFails(Alarm("a ==\n" + Word(80)), "line 2: token too long at " + Word(79));
  ExpectFails(Alarm("a == $" + Word(79)), "line 1: token too long at $" + Word(78));
  ExpectFails(Action("echo " + Word(80) + "\n"), "line 3: token too long at " + Word(79));

  // Condition text, also an aggregate's own: 127 characters pass, 128 fail.
  std::string w55 = Word(55), w56 = Word(56), w60 = Word(60), w61 = Word(61);
  ExpectParsed(Alarm("a == " + w61 + " " + w60), AlarmParsed("", "(a==" + w61 + " " + w60 + ")"));
  ExpectFails(Alarm("a == " + w61 + " " + w61), "line too long in (a==" + w61 + " " + w61 + "\n");
  ExpectFails(Alarm("a == " + w60 + " " + w60 + " " + w60), "line too long in (\n");
  ExpectParsed(Action("FAIL[src == " + w60 + " " + w55 + "]\n"),
               ActionParsed("\n", "   FAIL[src==" + w60 + " " + w55 + "] ; "));
  ExpectFails(Action("FAIL[src == " + w60 + " " + w56 + "]\n"),
              "line too long in FAIL[src==" + w60 + " " + w56 + "\n");

  // Statements: 510 characters pass.
  std::string v300(300, 'v'), v508(508, 'v'), lines, joined;
  ExpectParsed("a=" + v508 + "\n", "a=" + v508 + "\n");
  ExpectFails("a=" + v508 + "v\n", "line 1: statement too long");
  ExpectFails("a=" + v300 + "\\\n" + v300 + "\n", "line 2: statement too long");
  for (int i = 0; i < 102; i++) lines += "ab\n", joined += "ab ; ";
  ExpectParsed(Action(lines), ActionParsed(lines, joined));
  ExpectFails(Action(lines + "ab\n"), "line 105: statement too long");

  // Nesting.
  const int kDeep = 3000, kTooDeep = 20000;
  ExpectParsed(Alarm(std::string(kDeep, '(') + "a == 1" + std::string(kDeep, ')')),
               AlarmParsed("", "(a==1)"));
  ExpectParsed(Alarm(std::string(kDeep + 1, '!') + "a == 1"), AlarmParsed("", "(a!=1)"));
  ExpectFails(Alarm(std::string(kTooDeep, '(') + "a == 1" + std::string(kTooDeep, ')')),
              "line 1: yacc stack overflow at (");
  ExpectFails(Alarm(std::string(kTooDeep, '!') + "a == 1"), "line 1: yacc stack overflow at !");
}

const char kRules[] = "a = 1\nWHEN (!(a == $a))\nEXEC\necho x\nEND\n";
const char kParsed[] = "a= 1\nWHEN (a!=$a) #line:2-4-5\necho x ; \n";
const std::string kLF = "line 1: unrecognized LF at end of line\n";

TEST(TwparserProgram, StreamsFilesAndDaemonFlag) {
  EXPECT_EQ(Got(Exec({}, kRules)), R(0, kParsed, ""));
  EXPECT_EQ(Got(Exec({}, "foo\n")), R(1, "", kLF));
  EXPECT_EQ(Got(Parse(kRules, {"0"})), R(0, kParsed, "twparser\n"));
  EXPECT_EQ(Got(Parse("foo\n", {"0"})), R(1, "", "twparser\n" + kLF));
  EXPECT_EQ(Got(Parse("foo\n", {"1"})), R(1, "", ""));  // to the system log instead

  const std::string rules = tmp / "rules", parsed = tmp / "parsed", missing = tmp / "missing",
                    bad = tmp / "none/parsed";
  Spit(rules, kRules);
  EXPECT_EQ(Got(Exec({rules}, "ignored\n")), R(0, kParsed, ""));
  Spit(parsed, std::string(1000, 'x'));
  EXPECT_EQ(Got(Exec({rules, parsed})), R(0, "", ""));
  EXPECT_EQ(Slurp(parsed), kParsed) << "written afresh";
  EXPECT_EQ(Got(Exec({missing, parsed})), R(1, "", "can't open `" + missing + "' for reading\n"));
  EXPECT_EQ(Got(Exec({rules, bad})), R(1, "", "can't open `" + bad + "' for writing\n"));
  Outcome r = Exec({tmp.dir, parsed});  // opens, but cannot be read
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err, "");
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  r = Exec({rules, "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("write error on `", 0), 0u) << r.err;
}

}  // namespace
