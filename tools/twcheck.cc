// twcheck: loads a rule file as tollwatch does and, with -r, replays a
// feed script through it offline: no connection table, no command run,
// the live history untouched.
//
//   twcheck [-d datafile] [-r script] rulefile
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <string>

#include "audit.h"
#include "dryrun.h"
#include "store_open.h"
#include "error.h"
#include "feedscript.h"
#include "loadrules.h"
#include "replay.h"
#include "sigfix.h"
#include "stats.h"

namespace {

volatile sig_atomic_t stopped;

void on_stop(int) { stopped = 1; }

[[noreturn]] void usage() {
  fprintf(stderr, "usage: twcheck [-d datafile | -D url [-k prefix] [-A password_file]]\n"
                  "               [-r script] rulefile\n");
  exit(1);
}

void print_summary(const AlarmTable &t) {
  printf("configuration OK\n");
  printf("%d alarms, %d symbols, aggregates:", t.AlarmList.length(),
         t.symbol_table.count);
  for (int k = 0; k < N_TOTALS; k++)
    printf("%s %s %d", k == 0 ? "" : ",", tot[k], t.total_num(k));
  printf("\n");
}

// The trace and the messages of the rule set go to standard error; in a
// dry run they join the report on standard output, in order: standard
// error is standard output's stream, fully buffered while tracing.
FILE *join_stderr_to_stdout() {
  FILE *real = stderr;
  stderr = stdout;
  return real;
}

int replay(AlarmTable &table, const char *path, const char *datafile) {
  std::ifstream file;
  bool use_stdin = strcmp(path, "-") == 0;
  // Standard input read through a buffer of its own rather than a
  // character at a time through stdio.
  if (use_stdin) std::ios::sync_with_stdio(false);
  if (!use_stdin) {
    file.open(path);
    if (!file) err_sys("can't open %s", path);
  }
  std::istream &in = use_stdin ? std::cin : file;
  const char *name = use_stdin ? "stdin" : path;

  if (ALRM_store_spec.url != nullptr)
    table.set_store(open_server_store());  // its keys under -k's prefix
  else
    open_scratch_history(table, datafile);
  table.set_log(0);
  PrintSink sink(stdout);
  ALRM_action_sink = &sink;
  FILE *real_stderr = join_stderr_to_stdout();
  table.set_trace();

  Replay r(table, static_cast<int32_t>(time(nullptr)));
  std::string line, err;
  int n = 0;
  bool ok = true;
  while (ok && std::getline(in, line)) {
    n++;
    feedscript::Step st;
    ok = !stopped && feedscript::ParseLine(line, &st, &err) && r.Apply(st, &err);
  }
  // A signal may also end the reading itself.
  if (stopped) ok = false, err = "interrupted";
  if (ok && in.bad()) ok = false, err = "read error";
  if (!ok) {
    fflush(stdout);
    fprintf(real_stderr, "twcheck: %s:%d: %s\n", name, n, err.c_str());
    return 1;
  }
  printf("summary: %ld records, %ld alarms fired, %ld commands would run, "
         "%ld suppressed\n",
         r.records(), static_cast<long>(ALRM_stats.fired), sink.ran, sink.held);
  fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const char *datafile = nullptr, *script = nullptr;
  int c;
  ALRM_store_spec.prefix = "twcheck:";
  while ((c = getopt(argc, argv, "d:r:D:k:A:")) != -1) {
    switch (c) {
      case 'd': datafile = optarg; break;
      case 'D': ALRM_store_spec.url = optarg; break;
      case 'k': ALRM_store_spec.prefix = optarg; break;
      case 'A': ALRM_store_spec.password_file = optarg; break;
      case 'r': script = optarg; break;
      default: usage();
    }
  }
  if (optind != argc - 1) usage();

  // Without restarting, so that a signal also ends a read from a terminal.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) install_handler(sig, on_stop);
  AlarmTable table;
  load_rules(table, argv[optind]);
  if (script == nullptr) {
    print_summary(table);
    return 0;
  }
  return replay(table, script, datafile);
}
