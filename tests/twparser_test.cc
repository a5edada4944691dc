// twparser as the daemon runs it: rule texts in, parsed file, messages and
// exit status out.  Every case runs the real program in a child process.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef TWPARSER
#error "TWPARSER must name the twparser program"
#endif

namespace {

using namespace std::string_literals;

class TempFile {
 public:
  TempFile() {
    const char *dir = getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/twparserXXXXXX";
    int fd = mkstemp(&path_[0]);
    if (fd < 0) abort();
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string &path() const { return path_; }
  void Write(const std::string &text) const {
    std::ofstream(path_, std::ios::binary) << text;
  }
  std::string Read() const {
    std::ostringstream s;
    s << std::ifstream(path_, std::ios::binary).rdbuf();
    return s.str();
  }

 private:
  std::string path_;
};

struct Outcome {
  int status = -1;  // exit status; 128 + signal number when killed
  std::string out;  // the parsed file, or standard output
  std::string err;  // standard error
};

// Runs twparser (as "twparser") with `args`, feeding `input` on standard
// input.
Outcome Exec(const std::vector<std::string> &args, const std::string &input = "") {
  TempFile in, out, err;
  in.Write(input);
  std::vector<char *> argv{const_cast<char *>("twparser")};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int fd0 = open(in.path().c_str(), O_RDONLY);
    int fd1 = open(out.path().c_str(), O_WRONLY);
    int fd2 = open(err.path().c_str(), O_WRONLY);
    if (fd0 < 0 || fd1 < 0 || fd2 < 0) _exit(126);
    dup2(fd0, 0);
    dup2(fd1, 1);
    dup2(fd2, 2);
    execv(TWPARSER, argv.data());
    _exit(127);
  }
  Outcome r;
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid)
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = out.Read();
  r.err = err.Read();
  return r;
}

// Runs `twparser IN OUT extra...` on `rules`; `out` is the parsed file.
Outcome Parse(const std::string &rules, std::vector<std::string> extra = {}) {
  TempFile in, out;
  in.Write(rules);
  std::vector<std::string> args{in.path(), out.path()};
  args.insert(args.end(), extra.begin(), extra.end());
  Outcome r = Exec(args);
  r.out = out.Read();
  return r;
}

void ExpectParsed(const std::string &rules, const std::string &parsed) {
  SCOPED_TRACE("rules: " + testing::PrintToString(rules));
  Outcome r = Parse(rules);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, parsed);
}

// `message` is the text of the one report; it goes out with a line break.
void ExpectFails(const std::string &rules, const std::string &message) {
  SCOPED_TRACE("rules: " + testing::PrintToString(rules));
  Outcome r = Parse(rules);
  EXPECT_EQ(r.err, message + "\n");
  EXPECT_EQ(r.status, 1);
}

struct Case {
  std::string in, want;
};

std::string Word(size_t n) { return std::string(n, 'w'); }

// One alarm with an empty action around `cond`, and what it parses to.
std::string Alarm(const std::string &cond) {
  return "WHEN (" + cond + ")\nEXEC\nEND\n";
}
std::string AlarmParsed(const std::string &cond, const std::string &printed) {
  int exec = 3 + std::count(cond.begin(), cond.end(), '\n');
  return "WHEN " + printed + " #line:1-" + std::to_string(exec) + "-" +
         std::to_string(exec) + "\n\n";
}

// An action of `body` (the lines between EXEC and END), and what it parses to.
std::string Action(const std::string &body) {
  return "WHEN (a == 1)\nEXEC\n" + body + "END\n";
}
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
      {"src == 1.2.3.4", "(src==1.2.3.4)"},
      {"!!(c < 3)", "(c<3)"},
      {"!(c < 3)", "(c>=3)"},
      {"!(!(a == 1 & b == 2))", "((a==1)&(b==2))"},
      {"a == 1 & b == 2 | c == 3 & d == 4", "(((a==1)&(b==2))|((c==3)&(d==4)))"},
      {"a == 1 | b == 2 & c == 3", "((a==1)|((b==2)&(c==3)))"},
      {"a == 1 | b == 2 | c == 3", "(((a==1)|(b==2))|(c==3))"},
      {"a == 1 | (b == 2 | c == 3)", "((a==1)|((b==2)|(c==3)))"},
      {"! x == 1 & y == 2", "((x!=1)&(y==2))"},
      {"!(a == 1 & !(b < 2))", "((a!=1)|(b<2))"},
      {"!(a == 1 | b == 2 & c == 3)", "((a!=1)&((b!=2)|(c!=3)))"},
      {"!(a == 1) & !(b != 2) & !(c <= 3) & !(d < 4) & !(e >= 5) & !(f > 6)",
       "((((((a!=1)&(b==2))&(c>3))&(d>=4))&(e<5))&(f<=6))"},
      {"a<=1&b>=2|c!=3", "(((a<=1)&(b>=2))|(c!=3))"},
      {"tm == {Mon-Fri}  -\t- \\\n {09:00-17:00}\r -",
       "(tm=={Mon-Fri} - - {09:00-17:00} -)"},
      {"src == $net & $a\\b == x\\y", "((src==$net)&($a\\b==x\\y))"},
      {"source == a | destination == b | application == c | user == d",
       "((((source==a)|(destination==b))|(application==c))|(user==d))"},
      {"socks.pid > 1 & pid < 2 & usr == u & err != e & error == e",
       "(((((socks.pid>1)&(pid<2))&(usr==u))&(err!=e))&(error==e))"},
      {"srcx == when & src.x == END", "((srcx==when)&(src.x==END))"},
      {"a == 1 &\n# a comment line\n\n   b == 2", "((a==1)&(b==2))"},
      // Aggregates: condition, condition and index list, index list.
      {"FAIL[src, dst] > 3", "(FAIL[src,dst]>3)"},
      {"FAIL[src == x, src] > 5", "(FAIL[src==x,src]>5)"},
      {"ACCESS[!(src == 1.2.3.4 & dst == x)] > 1",
       "(ACCESS[(src!=1.2.3.4)|(dst!=x)]>1)"},
      {"DURATION[usr == b | err == e, source, destination, application, user,"
       " error] >= 60",
       "(DURATION[(usr==b)|(err==e),source,destination,application,user,"
       "error]>=60)"},
      {"IN[src == dst, src] < 1", "(IN[src==dst,src]<1)"},
      {"OUT[tm == $w] != 0", "(OUT[tm==$w]!=0)"},
      {"5 <= TRAFFIC[app, usr, err]", "(5<=TRAFFIC[app,usr,err])"},
      {"FAIL[ !!(src == x) ,src ] > 1", "(FAIL[src==x,src]>1)"},
      {"!(FAIL[src] > 5) | IN[dst] == OUT[dst]",
       "((FAIL[src]<=5)|(IN[dst]==OUT[dst]))"},
  };
  for (const auto &c : cases) ExpectParsed(Alarm(c.in), AlarmParsed(c.in, c.want));
}

TEST(Twparser, DefinitionsKeepTheirValueByteForByte) {
  const Case cases[] = {
      {"a = 1   \n", "a= 1   \n"},
      {"a =\tx\t\n", "a=\tx\t\n"},
      {"a=1\r\n", "a=1\r\n"},
      {"a = \n", "a= \n"},
      {"a = b = c # d & !e\n", "a= b = c # d & !e\n"},
      {"a = EXEC\n", "a= EXEC\n"},
      {"x.y-z_1 = $w\nb=2\n", "x.y-z_1= $w\nb=2\n"},
      {"a = 1 \\\n 2\n", "a= 1   2\n"},
      {"a = x\\\n# skipped\ny\n", "a= x y\n"},
      {"a = x\\\n\nb=2\n", "a= x \nb=2\n"},
      {"a = x\\\n \t\n", "a= x \n"},
      {"a=\\\n\n", "a=\n"},
      {Word(79) + "=1\n", Word(79) + "=1\n"},
  };
  for (const auto &c : cases) ExpectParsed(c.in, c.want);
}

TEST(Twparser, ActionsAreJoinedIntoOneLine) {
  const Case cases[] = {
      {"", ""},
      {"\n \t\n", ""},
      {"echo \t a\r  b\n", "echo a b ; "},
      {"\techo x\n  y\n", " echo x ;  y ; "},
      {"a\n\n \t\n# comment\nb\n", "a ; b ; "},
      {"echo a\\\n  b\\\nc\n", "echo a bc ; "},
      {" # indented\n", " # indented ; "},
      {"echo \"a   b\" 'c'\n", "echo \"a b\" 'c' ; "},
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

TEST(Twparser, LineMarkersAndLineEnds) {
  const Case cases[] = {
      {"", ""},
      {"# only\n#comments\n\n  \n", ""},
      {"a=1\n   ", "a=1\n"},
      {"WHEN (a == 1) EXEC\necho x\nEND\n", "WHEN (a==1) #line:1-2-3\necho x ; \n"},
      {"WHEN (a == 1)\nEXEC\necho hi END\n", "WHEN (a==1) #line:1-3-3\necho hi \n"},
      {"WHEN (a == 1)\nEXEC  \t\nEND \t\n", "WHEN (a==1) #line:1-3-3\n\n"},
      {"WHEN\n(a == 1)\nEXEC\nEND\n", "WHEN (a==1) #line:1-4-4\n\n"},
      {"# c\n\nWHEN (a == 1 &\n# note\n      b == 2)\nEXEC\necho x\n\necho y\nEND\n",
       "WHEN ((a==1)&(b==2)) #line:3-7-10\necho x ; echo y ; \n"},
      {"a=1\nWHEN (b == $a)\nEXEC\nEND\nc=2\n",
       "a=1\nWHEN (b==$a) #line:2-4-4\n\nc=2\n"},
      {"a = 1\r\n\r\nWHEN (a == 1)\r\nEXEC\r\necho hi\r\n\r\nEND\r\n",
       "a= 1\r\nWHEN (a==1) #line:3-5-7\necho hi  ; \n"},
  };
  for (const auto &c : cases) ExpectParsed(c.in, c.want);
}

TEST(Twparser, SyntaxErrorsNameLineAndToken) {
  const Case cases[] = {
      // Definitions.
      {"src = 1\n", "line 1: syntax error at src"},
      {"time = 1\n", "line 1: syntax error at time"},
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
      {"WHEN ()\n", "line 1: syntax error at )"},
      {"WHEN (a == 1 == 2)\n", "line 1: syntax error at =="},
      {"WHEN (a == 1\n # x\n)\n", "line 2: syntax error at #"},
      {"WHEN (src.name == x)\n", "line 1: syntax error at src.name"},
      {"WHEN (a\\ == 1)\n", "line 1: syntax error at \\"},
      {"WHEN ($ == 1)\n", "line 1: syntax error at $"},
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
  };
  for (const auto &c : cases) ExpectFails(c.in, c.want);
}

TEST(Twparser, InvalidBytesAreRejectedWithTheirLine) {
  const Case cases[] = {
      {"\0"s, "line 1: invalid byte 0x00"},
      {"a=1\n# x\0y\n"s, "line 2: invalid byte 0x00"},
      {"a = caf\xc3\xa9\n", "line 1: invalid byte 0xc3"},
      {"a = x\\\ny\xff\n", "line 2: invalid byte 0xff"},
      {"# fine\n\n#\xa0\n", "line 3: invalid byte 0xa0"},
      {"WHEN (a == \x80)\n", "line 1: invalid byte 0x80"},
      {Action("echo \"\xe2\x82\xac\"\n"), "line 3: invalid byte 0xe2"},
  };
  for (const auto &c : cases) ExpectFails(c.in, c.want);
}

TEST(Twparser, TokenLimit) {
  ExpectParsed(Alarm("a == " + Word(79)), AlarmParsed("", "(a==" + Word(79) + ")"));
  ExpectParsed(Alarm("a == $" + Word(78)), AlarmParsed("", "(a==$" + Word(78) + ")"));
  ExpectFails(Alarm("a ==\n" + Word(80)), "line 2: token too long at " + Word(79));
  ExpectFails(Alarm("a == $" + Word(79)), "line 1: token too long at $" + Word(78));
  ExpectFails(Action("echo " + Word(80) + "\n"),
              "line 3: token too long at " + Word(79));
}

TEST(Twparser, ConditionTextLimit) {
  std::string w61 = Word(61), w60 = Word(60);
  ExpectParsed(Alarm("a == " + w61 + " " + w60),
               AlarmParsed("", "(a==" + w61 + " " + w60 + ")"));  // 127
  ExpectFails(Alarm("a == " + w61 + " " + w61),
              "line too long in (a==" + w61 + " " + w61 + "\n");
  ExpectFails(Alarm("a == " + w60 + " " + w60 + " " + w60), "line too long in (\n");
  // An aggregate's own text has the same limit, also in an action.
  std::string w55 = Word(55), w56 = Word(56), w60b = Word(60);
  ExpectParsed(Action("FAIL[src == " + w60b + " " + w55 + "]\n"),
               ActionParsed("\n", "   FAIL[src==" + w60b + " " + w55 + "] ; "));
  ExpectFails(Action("FAIL[src == " + w60b + " " + w56 + "]\n"),
              "line too long in FAIL[src==" + w60b + " " + w56 + "\n");
}

TEST(Twparser, StatementLimit) {
  std::string v508(508, 'v');
  ExpectParsed("a=" + v508 + "\n", "a=" + v508 + "\n");
  ExpectFails("a=" + v508 + "v\n", "line 1: statement too long");
  std::string v300(300, 'v');
  ExpectFails("a=" + v300 + "\\\n" + v300 + "\n", "line 2: statement too long");

  std::string words;  // 507 characters
  for (int i = 0; i < 50; i++) words += "abcdefghi ";
  words += "abcdefg";
  ExpectParsed(Action(words + "\n"), ActionParsed("\n", words + " ; "));
  ExpectFails(Action(words + "h\n"), "line 3: statement too long");

  std::string lines, joined;
  for (int i = 0; i < 102; i++) lines += "ab\n", joined += "ab ; ";
  ExpectParsed(Action(lines), ActionParsed(lines, joined));  // 510
  ExpectFails(Action(lines + "ab\n"), "line 105: statement too long");
}

TEST(Twparser, DeepNesting) {
  const int kDeep = 3000, kTooDeep = 20000;
  std::string open(kDeep, '('), close(kDeep, ')');
  ExpectParsed(Alarm(open + "a == 1" + close), AlarmParsed("", "(a==1)"));
  ExpectParsed(Alarm(std::string(kDeep + 1, '!') + "a == 1"),
               AlarmParsed("", "(a!=1)"));
  ExpectFails(Alarm(std::string(kTooDeep, '(') + "a == 1" +
                    std::string(kTooDeep, ')')),
              "line 1: yacc stack overflow at (");
  ExpectFails(Alarm(std::string(kTooDeep, '!') + "a == 1"),
              "line 1: yacc stack overflow at !");
}

const char kRules[] = "a = 1\nWHEN (!(a == $a))\nEXEC\necho x\nEND\n";
const char kParsed[] = "a= 1\nWHEN (a!=$a) #line:2-4-5\necho x ; \n";

TEST(TwparserProgram, FilterAndRuleFileToStandardOutput) {
  Outcome r = Exec({}, kRules);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kParsed);
  EXPECT_EQ(r.err, "");

  r = Exec({}, "foo\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "line 1: unrecognized LF at end of line\n");

  TempFile in;
  in.Write(kRules);
  r = Exec({in.path()}, "ignored\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kParsed);
}

TEST(TwparserProgram, ParsedFileIsWrittenAfresh) {
  TempFile in, out;
  in.Write(kRules);
  out.Write(std::string(1000, 'x'));
  Outcome r = Exec({in.path(), out.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(out.Read(), kParsed);
}

TEST(TwparserProgram, DaemonFlag) {
  Outcome r = Parse(kRules, {"0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kParsed);
  EXPECT_EQ(r.err, "twparser\n");

  r = Parse("foo\n", {"0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "twparser\nline 1: unrecognized LF at end of line\n");

  r = Parse("foo\n", {"1"});  // reported to the system log instead
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
}

TEST(TwparserProgram, FilesThatCannotBeOpenedOrWritten) {
  TempFile in;
  in.Write(kRules);
  std::string missing = in.path() + ".missing";
  Outcome r = Exec({missing, in.path() + ".out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "can't open `" + missing + "' for reading\n");
  unlink((in.path() + ".out").c_str());

  std::string bad_out = in.path() + ".d/parsed";
  r = Exec({in.path(), bad_out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "can't open `" + bad_out + "' for writing\n");

  // A rule file that opens but cannot be read is an error like the others.
  std::string dir = in.path() + ".dir";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  r = Exec({dir, in.path() + ".out"});
  rmdir(dir.c_str());
  unlink((in.path() + ".out").c_str());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err, "");

  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  r = Exec({in.path(), "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("write error on `", 0), 0u) << r.err;
}

}  // namespace
