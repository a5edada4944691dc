// Running an alarm's command: the stored command becomes a shell line for
// the record under check, values cleaned of shell syntax, run by /bin/sh
// in a child that is waited for, at most once per keep time.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <syslog.h>

#include <string>

#include "audit.h"
#include "error.h"
#include "runner.h"
#include "stats.h"

ExecList ALRM_exec_list;

namespace {

// Characters an inserted value may keep; each other one becomes '?'.
bool ok_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || strchr(" !@%-_=+\\:,./", c) != nullptr;
}

bool alpha_num(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9');
}

// Characters a value may show bare outside quotes: the shell neither
// splits, expands nor escapes on them.
bool bare_char(unsigned char c) {
  return alpha_num(c) || strchr("@%_+:,./-", c) != nullptr;
}

// Where the stored command stands before its next byte: outside quotes or
// inside its own single or double quotes, and whether a backslash has
// just made that byte plain.
struct Quoting {
  char quote = 0;
  bool escaped = false;

  void step(char c) {
    if (escaped) {
      escaped = false;
    } else if (quote == '\'') {
      if (c == '\'') quote = 0;
    } else if (c == '\\') {
      escaped = true;
    } else if (quote == '"') {
      if (c == '"') quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    }
  }
};

// The cleaned text of a value: what ok_char keeps stays, each other byte
// and a leading '-' (which would read as an option) become '?'.
std::string clean(const char *text) {
  std::string s;
  for (const char *t = text; *t != '\0'; t++)
    s += ok_char(static_cast<unsigned char>(*t)) ? *t : '?';
  if (!s.empty() && s[0] == '-') s[0] = '?';
  return s;
}

// How a cleaned value is written where the command stands, so that the
// shell reads it as one literal piece of text: bare outside quotes when
// nothing in it is special, else single-quoted; as it is inside the
// command's single quotes; with backslashes doubled inside its double
// quotes.  (A value always follows a delimiter of the command, so no
// backslash of the command is pending before it.)
std::string quoted(const std::string &value, const Quoting &q) {
  if (q.quote == '\'') return value;
  std::string out;
  if (q.quote == '"') {
    for (char c : value) out += c == '\\' ? "\\\\" : std::string(1, c);
    return out;
  }
  bool bare = !value.empty();
  for (char c : value) bare = bare && bare_char(static_cast<unsigned char>(c));
  return bare ? value : "'" + value + "'";
}

// The longest text a variable can give: user and host names as the record
// takes them from the table (128 bytes), the application name (16), a
// dotted address, "65535/udp", ctime's 24 characters, and the 14 digits of
// an error, process number or aggregate.
size_t widest(int variable) {
  switch (variable) {
    case VAR_SRC_NAME: case VAR_SRC: case VAR_DST_NAME: case VAR_DST:
    case VAR_USER: return 128;
    case VAR_SRC_IP: case VAR_DST_IP: return 15;
    case VAR_APP_NAME: case VAR_APP: return 16;
    case VAR_APP_PORT: return 9;
    case VAR_TIME: return 24;
  }
  return 14;
}

// The most a value of n bytes takes once quoted where the command stands:
// every byte a backslash inside double quotes, two quotes outside.
size_t quoted_width(size_t n, const Quoting &q) {
  if (q.quote == '\'') return n;
  return q.quote == '"' ? 2 * n : n + 2;
}

}  // namespace

// Builds the line from the stored command: with how_expand 1 only plain
// variables are filled in (time and aggregate items stay as stored), with
// 2 every item.  Inserted values are cleaned while they are copied, so the
// record itself is left as it is for the alarms after this one, and each
// goes in as one literal word of the shell.  The line grows as needed:
// its length is bounded by the command and the table's field sizes.
void Action::substitute(std::string &line, int how_expand) const {
  line.clear();
  Quoting q;
  const char *p = command;
  while (*p != '\0') {
    int marker = static_cast<unsigned char>(*p);
    if (marker != ITEM_VARIABLE && marker != ITEM_AGGREGATE) {
      q.step(*p);
      line += *p++;
      continue;
    }
    if (marker > how_expand) {
      line.append(p, ITEM_SIZE);
      p += ITEM_SIZE;
      continue;
    }
    int variable;
    void *ref;
    memcpy(&variable, p + 1, sizeof variable);
    memcpy(&ref, p + 1 + sizeof variable, sizeof ref);
    p += ITEM_SIZE;
    const char *text = record.get_str(variable, ref);
    line += quoted(clean(text != nullptr ? text : ""), q);
  }
}

size_t Action::longest() const {
  size_t n = 0;
  Quoting q;
  const char *p = command;
  while (*p != '\0') {
    int marker = static_cast<unsigned char>(*p);
    if (marker != ITEM_VARIABLE && marker != ITEM_AGGREGATE) {
      q.step(*p++);
      n++;
      continue;
    }
    int variable;
    memcpy(&variable, p + 1, sizeof variable);
    p += ITEM_SIZE;
    n += quoted_width(widest(variable), q);
  }
  return n;
}

void Action::execute(int id) {
  std::string line;
  substitute(line, 1);
  if (ALRM_exec_list.find(line.data(), static_cast<int>(line.size()), id,
                          keep_time, ALRM_action_sink->timed_by_clock())) {
    ALRM_stats.suppressed++;
    alarm_counts(id).suppressed++;
    if (ALRM_action_sink->reports_suppressed()) {
      substitute(line, 2);
      ALRM_action_sink->suppressed(id, line.c_str());
    }
    return;
  }
  substitute(line, 2);

  const char *cmd = line.c_str();
  bool any = false;
  for (const char *c = cmd; *c != '\0' && !any; c++)
    any = alpha_num(static_cast<unsigned char>(*c));
  if (!any) {
    err_ret("Action::execute\"%s\" contains no alphanumeric characters.", cmd);
    return;
  }
  if (ALRM_table_ptr->trace()) fprintf(stderr, "%s\n", cmd);
  if (ALRM_table_ptr->log()) SYSLOG(LOG_NOTICE, cmd);
  ALRM_action_sink->run(id, cmd);
}

namespace {

// Runs each line at once and waits for it: the sink of programs and tests
// that want a command done before the check goes on.  The daemon queues.
class ShellRunner : public ActionSink {
 public:
  void run(int id, const char *cmd) override;
};

ShellRunner shell_runner;

}  // namespace

ActionSink *ALRM_action_sink = &shell_runner;

// A command that cannot start is reported and the run goes on; no
// process at all stops it.
void ShellRunner::run(int, const char *cmd) {
  pid_t pid;
  int err = spawn_shell(cmd, false, ALRM_table_ptr->trace(), &pid);
  if (err != 0 && no_process(err)) {
    errno = err;
    err_sys("Action::execute fork() failed");
  }
  if (err != 0) {
    report_unstarted(err, cmd);
    return;
  }
  errno = 0;
  int status = 0;
  pid_t w;
  while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  // A command killed by a signal is not reported; one that exits non-zero is.
  if (w < 0 || (WIFEXITED(status) && WEXITSTATUS(status) != 0))
    err_ret("action `%s' unsuccessful", cmd);
}

// ---- Recent executions

ExecList::~ExecList() {
  for (Pix p = list.first(); p != nullptr; list.next(p)) free(list(p).cmd);
}

// By the clock a run is over once its keep time has passed on the
// monotonic clock, which a step of the wall clock leaves alone; by record
// time once a record at least that much later comes.
int ExecList::find(const char *cmd, int cmd_len, int id, int keep_time,
                   bool by_clock) {
  int64_t now = record.time();
  int64_t now_ms = monotonic_ms();
  int match = 0;
  Pix prev = nullptr;
  Pix p = list.first();
  while (p != nullptr) {
    Execution &e = list(p);
    if (by_clock ? now_ms - e.ran_ms >= e.keep_ms : e.expire_time <= now) {
      free(e.cmd);
      list.next(p);
      list.del_after(prev);
      continue;
    }
    if (e.id == id && e.cmd_len == cmd_len && memcmp(e.cmd, cmd, cmd_len) == 0)
      match = 1;
    prev = p;
    list.next(p);
  }
  if (match) return 1;

  Execution e;
  e.cmd = static_cast<char *>(malloc(cmd_len > 0 ? cmd_len : 1));
  if (e.cmd == nullptr) memory_err();
  memcpy(e.cmd, cmd, cmd_len);
  e.cmd_len = cmd_len;
  e.expire_time = now + keep_time;
  e.ran_ms = now_ms;
  e.keep_ms = static_cast<int64_t>(keep_time) * 1000;
  e.id = id;
  list.append(e);
  return 0;
}
