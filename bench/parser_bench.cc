// twparser as a whole process on a large generated rule file, against
// `wc -l` reading the same file in the same run:
//   BM_Twparser   twparser RULES PARSED, one process per iteration
//   BM_WcLines    wc -l RULES, one process per iteration
// Both report source lines per second ("lines"), so the ratio of the two
// rates is the parser's cost over merely reading the file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifndef TWPARSER
#error "TWPARSER must name the twparser program"
#endif

namespace {

constexpr int kAlarms = 10000;
constexpr int kDefinitions = 300;

std::string TempName() {
  const char *dir = getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/twbenchXXXXXX";
  int fd = mkstemp(&path[0]);
  if (fd < 0) abort();
  close(fd);
  return path;
}

// Rule text generator: alarms with mixed conditions, aggregates of every
// kind and body form, multi-line actions, and definitions they refer to.
class Generator {
 public:
  std::string Rules() {
    std::ostringstream s;
    s << "# generated rules\n\nalert_time=10\nreact_time = 30\n";
    for (int i = 0; i < kDefinitions; i++) {
      switch (i % 3) {
        case 0: s << "net" << i << " = 10." << i % 250 << ".0.0/255.255.0.0\n"; break;
        case 1: s << "users" << i << " =\tadm* ops? guest" << i << " \\\n   root\n"; break;
        default: s << "mail" << i << "=ops" << i << "@example.org  \n"; break;
      }
    }
    for (int i = 0; i < kAlarms; i++) {
      if (i % 10 == 0) s << "\n# group " << i / 10 << "\n";
      s << "WHEN (" << Condition(0) << ")\nEXEC\n" << Action(i) << "END\n";
    }
    return s.str();
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::string N(int n) { return std::to_string(Pick(n)); }
  std::string Def(int kind) {  // a defined name of the given kind
    return std::to_string(Pick(kDefinitions / 3) * 3 + kind);
  }

  std::string Rel() {
    static const char *const rel[] = {"==", "!=", "<", ">", "<=", ">="};
    return rel[Pick(6)];
  }

  std::string Leaf() {
    switch (Pick(10)) {
      case 0: return "src == 10." + N(256) + "." + N(256) + ".0/24";
      case 1: return "dst == *.host" + N(100) + ".example.org";
      case 2: return "usr == adm*" + N(10) + "?";
      case 3: return "app == " + std::to_string(1 + Pick(65535));
      case 4: return "application != {" + N(1024) + "-" + N(1024) + "}";
      case 5: return "tm == {Mon-Fri} - - {08:00-18:00} -";
      case 6: return "src == $net" + Def(0);
      case 7: return "user != $users" + Def(1);
      case 8: return "err " + Rel() + " " + N(8);
      default: return Aggregate() + " " + Rel() + " " + N(100);
    }
  }

  std::string Aggregate() {
    static const char *const kind[] = {"FAIL", "ACCESS", "DURATION",
                                       "IN", "OUT", "TRAFFIC"};
    std::string k = kind[Pick(6)];
    switch (Pick(3)) {
      case 0: return k + "[src, usr]";
      case 1: return k + "[usr == $users" + Def(1) + ", src, dst]";
      default: return k + "[!(dst == h" + N(100) + " | app == " + N(100) + ")]";
    }
  }

  // Up to three leaves under negations, "&", "|" and brackets; the printed
  // form stays well within the condition text limit.
  std::string Condition(int depth) {
    int shape = depth >= 2 ? 0 : Pick(6);
    std::string c;
    switch (shape) {
      case 0: case 1: c = Leaf(); break;
      case 2: c = Leaf() + " & " + Leaf(); break;
      case 3: c = Leaf() + " |\n      " + Leaf(); break;
      case 4: c = "!(" + Leaf() + " & !(" + Leaf() + "))"; break;
      default: c = "(" + Leaf() + " | " + Leaf() + ") & " + Leaf(); break;
    }
    if (c.size() > 95) c = Leaf();
    return Pick(4) == 0 ? "!" + c : c;
  }

  std::string Action(int i) {
    std::string a = "  mail -s \"alarm " + std::to_string(i) + " src.name\" $mail" +
                    Def(2) + " < /dev/null\n";
    if (Pick(2)) a += "\techo  $src app.port FAIL[src] >> /var/log/tw.log  \\\n  2>&1\n";
    if (Pick(4) == 0) a += "\n# quiet\n";
    return a;
  }

  std::mt19937 rng_{20240601};
};

struct RuleFile {
  std::string path = TempName(), parsed = TempName(), err = TempName();
  long lines = 0;
  RuleFile() {
    std::string text = Generator().Rules();
    std::ofstream(path, std::ios::binary) << text;
    for (char c : text) lines += c == '\n';
  }
  ~RuleFile() {
    unlink(path.c_str());
    unlink(parsed.c_str());
    unlink(err.c_str());
  }
};

const RuleFile &Rules() {
  static RuleFile f;
  return f;
}

// Runs argv with standard output and error into the given files; returns
// the exit status (-1 when it did not exit).
int Spawn(const std::vector<const char *> &argv, const std::string &out,
          const std::string &err) {
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_TRUNC);
    int e = open(err.c_str(), O_WRONLY | O_TRUNC);
    if (o < 0 || e < 0) _exit(126);
    dup2(o, 1);
    dup2(e, 2);
    execvp(argv[0], const_cast<char *const *>(argv.data()));
    _exit(127);
  }
  int st;
  if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st)) return -1;
  return WEXITSTATUS(st);
}

void RunEach(benchmark::State &state, const std::vector<const char *> &argv,
             const std::string &out) {
  const RuleFile &f = Rules();
  for (auto _ : state) {
    if (Spawn(argv, out, f.err) != 0) {
      std::ifstream e(f.err);
      std::string why((std::istreambuf_iterator<char>(e)),
                      std::istreambuf_iterator<char>());
      state.SkipWithError(("failed: " + why).c_str());
      break;
    }
  }
  state.counters["lines"] = benchmark::Counter(
      static_cast<double>(f.lines), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Twparser(benchmark::State &state) {
  const RuleFile &f = Rules();
  RunEach(state, {TWPARSER, f.path.c_str(), f.parsed.c_str(), nullptr},
          "/dev/null");
}
BENCHMARK(BM_Twparser)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WcLines(benchmark::State &state) {
  const RuleFile &f = Rules();
  RunEach(state, {"wc", "-l", f.path.c_str(), nullptr}, "/dev/null");
}
BENCHMARK(BM_WcLines)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
