// Running an alarm's command: the stored command becomes a shell line for
// the record under check, values cleaned of shell syntax, run by /bin/sh
// in a child that is waited for, at most once per keep time.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "audit.h"
#include "error.h"
#include "stats.h"

ExecList ALRM_exec_list;

namespace {

constexpr int kLineSize = 512;

// Characters an inserted value may keep; each other one becomes '?'.
bool ok_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || strchr(" !@%-_=+\\:,./", c) != nullptr;
}

bool alpha_num(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9');
}

// Reports a line that does not fit; the part built so far is shown.
int too_long(char *result, int pos) {
  result[pos] = '\0';
  err_ret("shell command too long: %30s...", result);
  return -1;
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

}  // namespace

// Builds the line from the stored command: with how_expand 1 only plain
// variables are filled in (time and aggregate items stay as stored), with
// 2 every item.  Inserted values are cleaned while they are copied, so the
// record itself is left as it is for the alarms after this one, and each
// goes in as one literal word of the shell.
int Action::substitute(char *result, int result_len, int how_expand) {
  int pos = 0;
  Quoting q;
  const char *p = command;
  while (*p != '\0') {
    int marker = static_cast<unsigned char>(*p);
    if (marker != ITEM_VARIABLE && marker != ITEM_AGGREGATE) {
      if (pos + 1 >= result_len - 1) return too_long(result, pos);
      q.step(*p);
      result[pos++] = *p++;
      continue;
    }
    if (marker > how_expand) {
      if (pos + ITEM_SIZE >= result_len - 1) return too_long(result, pos);
      memcpy(result + pos, p, ITEM_SIZE);
      pos += ITEM_SIZE;
      p += ITEM_SIZE;
      continue;
    }
    int variable;
    void *ref;
    memcpy(&variable, p + 1, sizeof variable);
    memcpy(&ref, p + 1 + sizeof variable, sizeof ref);
    p += ITEM_SIZE;
    const char *text = record.get_str(variable, ref);
    std::string value = quoted(clean(text != nullptr ? text : ""), q);
    int n = static_cast<int>(value.size());
    if (pos + n >= result_len - 1) return too_long(result, pos);
    memcpy(result + pos, value.data(), n);
    pos += n;
  }
  result[pos] = '\0';
  return pos;
}

void Action::execute(int id) {
  char cmd[kLineSize];
  int n = substitute(cmd, kLineSize, 1);
  if (n < 0) return;
  if (ALRM_exec_list.find(cmd, n, id, keep_time)) {
    ALRM_stats.suppressed++;
    if (ALRM_action_sink->reports_suppressed() &&
        substitute(cmd, kLineSize, 2) >= 0)
      ALRM_action_sink->suppressed(id, cmd);
    return;
  }
  if (substitute(cmd, kLineSize, 2) < 0) return;

  bool any = false;
  for (const char *c = cmd; *c != '\0' && !any; c++)
    any = alpha_num(static_cast<unsigned char>(*c));
  if (!any) {
    err_ret("Action::execute\"%s\" contains no alphanumeric characters.", cmd);
    return;
  }
  if (ALRM_table_ptr->trace()) {
    fprintf(stderr, "%s\n", cmd);
    fflush(stderr);
  }
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

void ShellRunner::run(int, const char *cmd) {
  pid_t pid = fork();
  if (pid < 0) err_sys("Action::execute fork() failed");
  if (pid == 0) Action::do_child(cmd);
  errno = 0;
  int status = 0;
  pid_t w;
  while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  // A command killed by a signal is not reported; one that exits non-zero is.
  if (w < 0 || (WIFEXITED(status) && WEXITSTATUS(status) != 0))
    err_ret("action `%s' unsuccessful", cmd);
}

// In the child: /dev/null on the standard descriptors (standard error
// stays the trace when tracing), the signals as a shell expects them,
// then the shell.
void Action::do_child(const char *cmd) {
  const char *failure = nullptr;
  bool tracing = ALRM_table_ptr->trace();
  closelog();
  for (int fd = 0; fd <= 9; fd++)
    if (!(tracing && fd == 2)) close(fd);

  if (open("/dev/null", O_RDWR) != 0) {
    failure = "open /dev/null";
  } else if (dup(0) != 1 || (!tracing && dup(0) != 2)) {
    failure = "dup()";
  } else {
    // The daemon holds its quit and refresh signals back during a check;
    // the administrator's command starts with none blocked or caught.
    for (int sig : {SIGQUIT, SIGVTALRM, SIGSEGV, SIGINT, SIGTERM, SIGHUP,
                    SIGUSR1, SIGCHLD, SIGPIPE})
      signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl("/bin/sh", "sh", "-c", cmd, static_cast<char *>(nullptr));
    failure = "execl /bin/sh";
  }
  err_init("tollwatch");
  err_quit("Cannot execute shell command when %s", failure);
}

// ---- Recent executions, timed by the record under check

ExecList::~ExecList() {
  for (Pix p = list.first(); p != nullptr; list.next(p)) free(list(p).cmd);
}

int ExecList::find(const char *cmd, int cmd_len, int id, int keep_time) {
  int now = record.time();
  int match = 0;
  Pix prev = nullptr;
  Pix p = list.first();
  while (p != nullptr) {
    Execution &e = list(p);
    if (e.expire_time <= now) {
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
  e.id = id;
  list.append(e);
  return 0;
}
