// twparser run as a program on rule texts: parsed file, message, status.
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

std::string Slurp(const std::string &p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}
void Spit(const std::string &p, const std::string &s) { std::ofstream(p, std::ios::binary) << s; }

// A scratch directory holding the program under its own name.
struct Scratch {
  std::string dir = std::filesystem::temp_directory_path() / "twparserXXXXXX";
  Scratch() {
    if (!mkdtemp(&dir[0]) || symlink(TWPARSER, (dir + "/twparser").c_str())) abort();
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
  std::string operator/(const char *name) const { return dir + "/" + name; }
} tmp;

using Out = std::tuple<int, std::string, std::string>;  // status, output, messages
// twparser ARGS with INPUT on standard input.
Out Exec(const std::vector<std::string> &args, const std::string &input = "") {
  std::string cmd = "PATH='" + tmp.dir + "' twparser";
  for (const auto &a : args) cmd += " '" + a + "'";
  Spit(tmp / "in", input);
  int st = system((cmd + " <" + tmp / "in" + " >" + tmp / "out" + " 2>" + tmp / "err").c_str());
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, Slurp(tmp / "out"), Slurp(tmp / "err")};
}
// twparser RULES PARSED EXTRA...; the output is the parsed file.
Out Parse(const std::string &rules, std::vector<std::string> extra = {}) {
  Spit(tmp / "rules", rules);
  unlink((tmp / "parsed").c_str());
  extra.insert(extra.begin(), {tmp / "rules", tmp / "parsed"});
  Out r = Exec(extra);
  return {std::get<0>(r), Slurp(tmp / "parsed"), std::get<2>(r)};
}

struct Case { std::string in, want; };
std::string W(size_t n, char c = 'w') { return std::string(n, c); }
int Lines(const std::string &s) { return std::count(s.begin(), s.end(), '\n'); }
// An alarm around the condition C, and its parsed form.
std::string Alarm(const std::string &c) { return "WHEN (" + c + ")\nEXEC\nEND\n"; }
std::string Parsed(const std::string &c, const std::string &p) {
  auto n = std::to_string(3 + Lines(c));
  return "WHEN " + p + " #line:1-" + n + "-" + n + "\n\n";
}
// An action of the lines B, and its parsed form.
std::string Action(const std::string &b) { return "WHEN (a == 1)\nEXEC\n" + b + "END\n"; }
std::string Joined(const std::string &b, const std::string &line) {
  return "WHEN (a==1) #line:1-3-" + std::to_string(3 + Lines(b)) + "\n" + line + "\n";
}
// The case's text parses to want, or fails with the message want.
void Passes(const Case &c) { EXPECT_EQ(Parse(c.in), Out(0, c.want, "")) << testing::PrintToString(c.in); }
void Fails(const Case &c) {
  Out r = Parse(c.in);
  EXPECT_EQ(std::tie(std::get<0>(r), std::get<2>(r)), std::make_tuple(1, c.want + "\n")) << testing::PrintToString(c.in);
}

// Negation pushed into the operators, AND before OR, every group bracketed.
TEST(Twparser, Conditions) {
  const Case cases[] = {
      {"!!(c < 3)", "(c<3)"},
      {"!(a == 1) & !(b != 2) & !(c <= 3) & !(d < 4) & !(e >= 5) & !(f > 6)",
       "((((((a!=1)&(b==2))&(c>3))&(d>=4))&(e<5))&(f<=6))"},
      {"!(a == 1 | b == 2 & c == 3)", "((a!=1)&((b!=2)|(c!=3)))"},
      {"a == 1 & b == 2 | c == 3 & d == 4", "(((a==1)&(b==2))|((c==3)&(d==4)))"},
      {"tm == {Mon-Fri}  -\t- \\\n {09:00-17:00}\t -", "(tm=={Mon-Fri} - - {09:00-17:00} -)"},
      {"source == a | socks.pid > 1 & usr == u & error == e",
       "((source==a)|(((socks.pid>1)&(usr==u))&(error==e)))"},
      {"srcx == $net & src.x == END & $a\\b == when", "(((srcx==$net)&(src.x==END))&($a\\b==when))"},
      {"a == 1 &\n# a comment line\n\n   b == 2", "((a==1)&(b==2))"},
      {"ACCESS[!(src == 1.2.3.4 & dst == x)] > 1", "(ACCESS[(src!=1.2.3.4)|(dst!=x)]>1)"},
      {"DURATION[usr == b | err == e, source, application, user] >= 60",
       "(DURATION[(usr==b)|(err==e),source,application,user]>=60)"},
      {"5 <= TRAFFIC[app, usr, err]", "(5<=TRAFFIC[app,usr,err])"},
      {"!(FAIL[src] > 5) | IN[dst] == OUT[tm == $w]", "((FAIL[src]<=5)|(IN[dst]==OUT[tm==$w]))"},
  };
  for (const auto &c : cases) Passes({Alarm(c.in), Parsed(c.in, c.want)});
}

// Definitions kept, comments and blank lines dropped, line markers right.
TEST(Twparser, FilesAndActions) {
  const Case files[] = {
      {"# net\nmynet = 10.1.0.0/255.255.0.0\nalert_time=10\n\nWHEN (src == 1.2.3.4 & !(app == t))\n"
       "EXEC\n  echo alarm src | mail root\nEND\n",
       "mynet= 10.1.0.0/255.255.0.0\nalert_time=10\nWHEN ((src==1.2.3.4)&(app!=t)) #line:5-7-8\n"
       " echo alarm src | mail root ; \n"},
      {"a =\tEXEC = c # d & !e \t\n", "a=\tEXEC = c # d & !e \t\n"},
      {"a = 1 \\\n 2\nb = x\\\n# skipped\ny\n", "a= 1   2\nb= x y\n"},
      {"# only\n#comments\n\n  \n", ""},
      {"WHEN (a == 1) EXEC\necho x\nEND\n", "WHEN (a==1) #line:1-2-3\necho x ; \n"},
      {"# c\n\nWHEN (a == 1 &\n# note\n b == 2)\nEXEC\necho x\n\necho y\nEND\nc=2\n",
       "WHEN ((a==1)&(b==2)) #line:3-7-10\necho x ; echo y ; \nc=2\n"},
      {"a = 1\r\n\r\nWHEN (a == 1)\r\nEXEC\r\necho hi\r\n\r\nEND\r\n", "a= 1\r\nWHEN (a==1) #line:3-5-7\necho hi  ; \n"},
  };
  for (const auto &c : files) Passes(c);
  const Case actions[] = {
      {"\techo \t \"a   b\"\t  'c'\n  y\n", " echo \"a b\" 'c' ;  y ; "},
      {"a\n\n \t\n# comment\n # indented\nb\n", "a ;  # indented ; b ; "},
      {"echo a\\\n  b\\\nc\n", "echo a bc ; "},
      {"a&&b||!c x<=y x!=y ( ) [ ] , = ; % # \\\"\n", "a&&b||!c x<=y x!=y ( ) [ ] , = ; % # \\\" ; "},
      {"echo FAIL[src == x, src] IN[!(dst == y)] TRAFFIC[usr,err]\n",
       "echo    FAIL[src==x,src]   IN[dst!=y] TRAFFIC[usr,err] ; "},
      {"echo FAIL[src,\n dst]\n", "echo  ;  FAIL[src,dst] ; "},
  };
  for (const auto &c : actions) Passes({Action(c.in), Joined(c.in, c.want)});
}

// Each report names the line and the token where the text went wrong.
TEST(Twparser, Errors) {
  const Case cases[] = {
      {"src = 1\n", "line 1: syntax error at src"},
      {"# c\n\nfoo bar = 1\n", "line 3: syntax error at bar"},
      {"foo\n", "line 1: unrecognized LF at end of line"},
      {"a=EXEC\n", "line 2: syntax error at EXEC\n"},
      {"a = x\\\n", "line 2: syntax error at end of line"},
      {"WHEN (a = 1)\n", "line 1: syntax error at ="},
      {"WHEN (a == 1 == 2)\n", "line 1: syntax error at =="},
      {"WHEN (a == 1\n # x\n)\n", "line 2: syntax error at #"},
      {"WHEN (FAIL[src, dst == x] > 1)\n", "line 1: syntax error at =="},
      {"WHEN (FAIL[tm] > 1)\n", "line 1: syntax error at ]"},
      {"WHEN (FAIL[IN[src] > 1] > 2)\n", "line 1: syntax error at IN"},
      {"WHEN (a == 1", "line 1: syntax error at end of line"},
      {"WHEN (a == 1)\nEND  \n", "line 3: syntax error at END  \n"},
      {"WHEN (a == 1)\nEXEC\nWHEN (b == 2)\nEND\n", "line 3: syntax error at WHEN"},
      {"WHEN (a == 1)\nEXEC\necho FAIL x\nEND\n", "line 3: syntax error at x"},
      {"WHEN (a == 1)\nEXEC\necho x\nEND", "line 4: syntax error at end of line"},
      {std::string("a=1\n# x\0y\n", 10), "line 2: invalid byte 0x00"},
      {"a = x\\\ny\xff\n", "line 2: invalid byte 0xff"},
      {Action("echo \x01x\n"), "line 3: invalid byte 0x01"},
      {Action("echo a\rb\n"), "line 3: invalid byte 0x0d"},
      {"WHEN (a == b\x7f)\n", "line 1: invalid byte 0x7f"},
      // Limits: words of 79, condition texts of 127, statements of 510.
      {Alarm("a ==\n" + W(80)), "line 2: token too long at " + W(79)},
      {Action("echo " + W(80) + "\n"), "line 3: token too long at " + W(79)},
      {Alarm("a == " + W(61) + " " + W(61)), "line too long in (a==" + W(61) + " " + W(61) + "\n"},
      {Action("FAIL[src == " + W(60) + " " + W(56) + "]\n"), "line too long in FAIL[src==" + W(60) + " " + W(56) + "\n"},
      {"a=" + W(509, 'v') + "\n", "line 1: statement too long"},
      {"a=" + W(300, 'v') + "\\\n" + W(300, 'v') + "\n", "line 2: statement too long"},
      {Alarm(W(20000, '(') + "a == 1" + W(20000, ')')), "line 1: yacc stack overflow at ("},
  };
  for (const auto &c : cases) Fails(c);
  std::string lines, joined;
  for (int i = 0; i < 102; i++) lines += "ab\n", joined += "ab ; ";
  Fails({Action(lines + "ab\n"), "line 105: statement too long"});
  const Case fits[] = {
      {Alarm("a == " + W(79)), Parsed("", "(a==" + W(79) + ")")},
      {Alarm("a == " + W(61) + " " + W(60)), Parsed("", "(a==" + W(61) + " " + W(60) + ")")},
      {Action("FAIL[src == " + W(60) + " " + W(55) + "]\n"), Joined("\n", "   FAIL[src==" + W(60) + " " + W(55) + "] ; ")},
      {"a=" + W(508, 'v') + "\n", "a=" + W(508, 'v') + "\n"},
      {Action(lines), Joined(lines, joined)},
      {Alarm(W(3000, '(') + "a == 1" + W(3000, ')')), Parsed("", "(a==1)")},
      {Alarm(W(3001, '!') + "a == 1"), Parsed("", "(a!=1)")},
  };
  for (const auto &c : fits) Passes(c);
}

// Standard streams, the daemon flag, and files that cannot be used.
TEST(Twparser, Program) {
  const std::string rules = "a = 1\nWHEN (!(a == $a))\nEXEC\necho x\nEND\n", lf = "line 1: unrecognized LF at end of line\n";
  const std::string parsed = "a= 1\nWHEN (a!=$a) #line:2-4-5\necho x ; \n";
  const std::string file = tmp / "rules", out = tmp / "parsed", none = tmp / "none/x";
  EXPECT_EQ(Exec({}, rules), Out(0, parsed, ""));
  EXPECT_EQ(Parse(rules, {"0"}), Out(0, parsed, "twparser\n"));
  EXPECT_EQ(Parse("foo\n", {"0"}), Out(1, "", "twparser\n" + lf));
  EXPECT_EQ(Parse("foo\n", {"1"}), Out(1, "", ""));  // to the system log
  Spit(file, rules);
  EXPECT_EQ(Exec({file}, "ignored\n"), Out(0, parsed, ""));
  Spit(out, W(1000));
  EXPECT_EQ(Exec({file, out}), Out(0, "", ""));
  EXPECT_EQ(Slurp(out), parsed);
  EXPECT_EQ(Exec({none, out}), Out(1, "", "can't open `" + none + "' for reading\n"));
  EXPECT_EQ(Exec({file, none}), Out(1, "", "can't open `" + none + "' for writing\n"));
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  Out r = Exec({file, "/dev/full"});
  EXPECT_EQ(std::get<0>(r), 1);
  EXPECT_EQ(std::get<2>(r).rfind("write error on `", 0), 0u) << std::get<2>(r);
}

}  // namespace
