// The rule set's construction and destruction (running twparser and
// loading its output), and the record under check with its variables.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "audit.h"
#include "error.h"
#include "loadrules.h"
#include "ndbm_store.h"
#include "store_open.h"
#include "sigfix.h"
#include "stats.h"

const char *const defined_var[N_VARIABLES] = {
    "source.name", "source.ip", "source", "destination.name",
    "destination.ip", "destination", "application.name", "application.port",
    "application", "user", "time", "error", "socks.pid"};
const char *const shorthand[N_VARIABLES] = {
    "src.name", "src.ip", "src", "dst.name", "dst.ip", "dst", "app.name",
    "app.port", "app", "usr", "tm", "err", "pid"};
const char *const tot[N_TOTALS] = {"FAIL", "IN", "OUT", "TRAFFIC", "ACCESS",
                                   "DURATION"};

AlarmTable *ALRM_table_ptr;
Record record;

// ---- The trace

namespace {

// The trace is written for every record and every alarm: its text is put
// together here, not by printf, and gathers in the trace's own buffer.
void put(const char *text) { trace_put(text, strlen(text)); }

// A number in decimal, padded with blanks to width as printf does, at the
// end of buf; gives where it starts.
char *digits(char *end, unsigned long long v, bool minus, int width = 0) {
  char *p = end;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (minus) *--p = '-';
  while (end - p < width) *--p = ' ';
  return p;
}

void put_int(int v, int width = 0) {
  char buf[16];
  unsigned magnitude = static_cast<unsigned>(v);
  char *p = digits(buf + sizeof buf, v < 0 ? 0u - magnitude : magnitude,
                   v < 0, width);
  trace_put(p, static_cast<size_t>(buf + sizeof buf - p));
}

void put_uint(unsigned long long v) {
  char buf[24];
  char *p = digits(buf + sizeof buf, v, false);
  trace_put(p, static_cast<size_t>(buf + sizeof buf - p));
}

// An address in network byte order as inet_ntoa writes it, into a buffer
// of its own (host patterns ask for it with every record).
const char *dotted(int addr) {
  static char buf[16];
  const unsigned char *b = reinterpret_cast<const unsigned char *>(&addr);
  char *p = buf;
  for (int i = 0; i < 4; i++) {
    unsigned v = b[i];
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
    *p++ = i < 3 ? '.' : '\0';
  }
  return buf;
}

// A name as printable gives it; most need no escape.
void put_name(const char *name) {
  for (const char *t = name; *t != '\0'; t++) {
    unsigned char c = static_cast<unsigned char>(*t);
    if (c < 0x20 || c == 0x7f || c == '\\') {
      put(printable(name).c_str());
      return;
    }
  }
  put(name);
}

}  // namespace

// ---- The rule set

namespace {

// Whether the rule set in use traces, for the history store's reports.
int tracing() { return ALRM_table_ptr != nullptr && ALRM_table_ptr->trace(); }

}  // namespace

AlarmTable::AlarmTable(const char *input_file, const char *audit_file) {
  load_rules(*this, input_file);

  size_t len = strlen(audit_file);
  audit_file_name = static_cast<char *>(malloc(len + 2));
  if (audit_file_name == nullptr) memory_err();
  memcpy(audit_file_name, audit_file, len);
  audit_file_name[len] = '\0';
  if (ALRM_store_spec.url != nullptr) {
    history = open_server_store();
  } else {
    // Damaged files are set aside, never written.
    prepare_history(audit_file, longest_keep());
    auto files = std::make_unique<NdbmStore>(audit_file);
    files->set_tracing(tracing);
    history = std::move(files);
  }

  install_handler(SIGVTALRM, refresh_signal);
  install_handler(SIGQUIT, quit_handle);
  DB_clean = 0;
  refresh_db();
}

AlarmTable::AlarmTable() { ALRM_table_ptr = this; }

AlarmTable::~AlarmTable() {
  for (Pix p = AlarmList.first(); p != nullptr; AlarmList.next(p))
    AlarmList(p).remove();
  for (Pix p = symbol_table.list.first(); p != nullptr;
       symbol_table.list.next(p))
    symbol_table.list(p).remove();
  for (TotalTable &t : total_table)
    for (Pix p = t.list.first(); p != nullptr; t.list.next(p))
      t.list(p).Condition::remove();
  free(audit_file_name);
  audit_file_name = nullptr;
  history.reset();
  for (TotalTable &t : total_table) t.list.clear();
  symbol_table.list.clear();
  AlarmList.clear();
}

int AlarmTable::longest_keep() const {
  int longest = keep_time;
  for (const TotalTable &t : total_table)
    for (Pix p = t.list.first(); p != nullptr; t.list.next(p))
      if (t.list(p).keep_time > longest) longest = t.list(p).keep_time;
  return longest;
}

// Signal handlers only take note, and the polling loop acts on them
// between records, so no quit or refresh ever runs inside a check.
void AlarmTable::check(Record &rec) {
  ALRM_table_ptr = this;
  record.share(rec);
  if (history != nullptr && history->batches()) change_ahead(*history);
  check_shared();
}

void AlarmTable::check_shared() {
  for (Pix p = AlarmList.first(); p != nullptr; AlarmList.next(p))
    AlarmList(p).check();
  for (int kind = 0; kind < N_TOTALS; kind++) {
    if (record.must_update(static_cast<unsigned char>(kind)))
      total_table[kind].update();
    else
      total_table[kind].clean_status();
  }
  if (trace_flag) {
    put("\n\n");
    trace_drain();
  }
}

// ---- Alarms and conditions

void Alarm::check() {
  bool tracing = ALRM_table_ptr->trace();
  if (tracing) {  // "cond.ID:", put together in one piece
    char buf[24];
    char *end = buf + sizeof buf - 1;
    *end = ':';
    unsigned magnitude = static_cast<unsigned>(alarm_id);
    char *p = digits(end, alarm_id < 0 ? 0u - magnitude : magnitude,
                     alarm_id < 0) - 5;
    memcpy(p, "cond.", 5);
    trace_put(p, static_cast<size_t>(end + 1 - p));
  }
  if (condition.value(1)) {
    ALRM_stats.fired++;
    alarm_counts(alarm_id).fired++;
    if (tracing) {
      put("true;");
      trace_drain();  // the action's own lines come after
    }
    action.execute(alarm_id);
  } else if (tracing) {
    put("false;");
  }
}

// Stops as soon as the result is known.
int Condition::value(int set_alert_time) {
  if (set_alert_time) ALRM_table_ptr->set_alert(alert_time);
  switch (rule) {
    case RULE_COMPARISON:
      return comp->value();
    case RULE_AND:
      if (subcond1 != nullptr && !subcond1->value(0)) return 0;
      return subcond2 == nullptr ? 1 : subcond2->value(0);
    case RULE_OR:
      if (subcond1 != nullptr && subcond1->value(0)) return 1;
      return subcond2 == nullptr ? 0 : subcond2->value(0);
  }
  return 1;  // RULE_TRUE
}

// ---- Comparisons

namespace {

// A list is a chain of or-nodes, each with one test of an item; walked
// here without a call per node.  Any other shape is valued as a tree.
int list_value(Condition *node) {
  for (; node != nullptr; node = node->subcond2) {
    if (node->rule != RULE_OR) return node->value(0);
    Condition *item = node->subcond1;
    if (item == nullptr) continue;
    if (item->rule == RULE_COMPARISON ? item->comp->value() : item->value(0))
      return 1;
  }
  return 0;
}

// The six relations, on two numbers of one type.
template <class T>
inline int relate(int op, T a, T b) {
  switch (op) {
    case OP_EQ: return a == b;
    case OP_LE: return a <= b;
    case OP_GE: return a >= b;
    case OP_LT: return a < b;
    case OP_GT: return a > b;
    case OP_NE: return a != b;
  }
  err_quit("unsupported operator found");
}

}  // namespace

int Comparison::value() {
  if (!elemental) {
    int r = list_value(static_cast<Condition *>(operand[1]));
    return comp_operator == OP_EQ ? r : !r;
  }
  int var = operandtype[0];
  if (operandtype[1] != CONSTANT_OPERAND) return value_of_two(var);
  const void *c = operand[1];
  switch (var) {
    case VAR_SRC:
    case VAR_DST: {
      int r = check_host(var, c);
      return comp_operator == OP_EQ ? r : !r;
    }
    case VAR_APP: {
      int port = record.app();
      return check_application(&port, c);
    }
    case VAR_USER: {
      int r = WildMatch(record.usr(), static_cast<const char *>(c));
      return comp_operator == OP_EQ ? r : !r;
    }
    case VAR_TIME:
      return static_cast<const TimeRange *>(c)->check(record.time());
    case VAR_ERROR: {
      int error = record.err();
      return check_error(&error, c);
    }
  }
  if (var <= CONSTANT_OPERAND || operand[0] == nullptr || c == nullptr)
    return 0;
  double *v = static_cast<Total *>(operand[0])->process();
  return v != nullptr && relate(comp_operator, *v, *static_cast<const double *>(c));
}

// A variable or aggregate on the right: two addresses, two times, or two
// aggregates are compared by value.
int Comparison::value_of_two(int var) {
  const void *c = record.get_num(operandtype[1], operand[1]);
  switch (var) {
    case VAR_SRC:
    case VAR_DST:
    case VAR_TIME:
      return c != nullptr && evaluate(record.get_num(var, nullptr), c, 0);
    case VAR_APP:
      return check_application(static_cast<int *>(record.get_num(var, nullptr)), c);
    case VAR_USER: {
      int r = WildMatch(record.usr(), static_cast<const char *>(c));
      return comp_operator == OP_EQ ? r : !r;
    }
    case VAR_ERROR:
      return check_error(static_cast<int *>(record.get_num(var, nullptr)), c);
  }
  if (var <= CONSTANT_OPERAND || operand[0] == nullptr || c == nullptr)
    return 0;
  double *v = static_cast<Total *>(operand[0])->process();
  return v != nullptr && evaluate(v, c, 1);
}

int Comparison::evaluate(const void *expr1, const void *expr2,
                         int is_double) const {
  if (is_double)
    return relate(comp_operator, *static_cast<const double *>(expr1),
                  *static_cast<const double *>(expr2));
  return relate(comp_operator, *static_cast<const int *>(expr1),
                *static_cast<const int *>(expr2));
}

int Comparison::check_application(const int *data0, const void *data1) const {
  if (comp_operator == OP_IN_RANGE)
    return static_cast<const AppRange *>(data1)->check(*data0);
  int r = *data0;
  int c = *static_cast<const int *>(data1);
  if (c > 65535) {
    if (r <= 65535) r = abs(r) + 65536;
    return relate(comp_operator, r, c);
  }
  if ((r < 0) != (c < 0)) return 0;
  if (r < 0) return relate(comp_operator, c, r);  // -p reverses the order of p
  return relate(comp_operator, r, c);
}

int Comparison::check_error(const int *data0, const void *data1) const {
  if (comp_operator != OP_IN_RANGE)
    return relate(comp_operator, *data0, *static_cast<const int *>(data1));
  const Range *range = static_cast<const Range *>(data1);
  return range->low <= *data0 && *data0 <= range->high;
}

int Comparison::check_host(int var, const void *pattern_ptr) const {
  struct sockaddr_in si;
  memset(&si, 0, sizeof si);
  si.sin_family = AF_INET;
  si.sin_addr.s_addr =
      static_cast<in_addr_t>(var == VAR_SRC ? record.src() : record.dst());
  const host *h = static_cast<const host *>(pattern_ptr);
  // An address pattern reads the name only when the address is unknown.
  if (h->type == 0 && si.sin_addr.s_addr != 0) return CheckHost(h, &si, nullptr);
  return CheckHost(h, &si, record.get_str(var, nullptr));
}

int AppRange::check(int port) const {
  if (low > 65535) {
    if (port <= 65535) port = abs(port) + 65536;
    return low <= port && port <= high;
  }
  if ((port < 0) != (high < 0)) return 0;
  if (port < 0) return high <= port && port <= low;
  return low <= port && port <= high;
}

// The calendar fields of a time, worked out once per minute: time
// comparisons read nothing finer than the minute, and the records of one
// check, and mostly the next ones, share it.
const struct tm *calendar(int t) {
  static int64_t cached_minute = INT64_MIN;
  static bool valid;
  static struct tm tm;
  int64_t minute = (static_cast<int64_t>(t) - ((t % 60) + 60) % 60) / 60;
  if (minute != cached_minute) {
    time_t when = t;
    valid = localtime_r(&when, &tm) != nullptr;
    cached_minute = minute;
  }
  return valid ? &tm : nullptr;
}

int TimeRange::check(int t) const {
  const struct tm *cal = calendar(t);
  if (cal == nullptr) return 0;
  const struct tm &tm = *cal;
  auto in = [](const Range &r, int v) { return r.low <= v && v <= r.high; };
  return in(week_days, tm.tm_wday) && in(months, tm.tm_mon) &&
         in(days, tm.tm_mday) && minutes.check(tm.tm_hour * 60 + tm.tm_min) &&
         in(years, tm.tm_year + 1900);
}

// ---- Aggregates

// After a check, every aggregate of a kind the record counts for has
// counted it, whether or not an alarm read the aggregate.
void TotalTable::update() {
  for (Pix p = list.first(); p != nullptr; list.next(p)) {
    Total &t = list(p);
    if (!t.db_updated) t.process();
    t.db_updated = 0;
    t.fetched = false;
  }
}

void TotalTable::clean_status() {
  for (Pix p = list.first(); p != nullptr; list.next(p))
    list(p).db_updated = 0, list(p).fetched = false;
}

// ---- Running the preprocessor

char *first_pass(const char *input_file) {
  char *out_file = parsed_name(input_file);

  fflush(nullptr);  // nothing buffered is written by the child too
  pid_t pid = fork();
  if (pid < 0) err_sys("execute fork() failed");
  if (pid == 0) parser(input_file, out_file);
  int status;
  pid_t w;
  while ((w = waitpid(pid, &status, 0)) != pid) {
    // No status to go by when the wait itself fails.
    if (w < 0 && errno != EINTR) err_quit("the parser failed");
  }
  if (WIFSIGNALED(status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    err_quit("the parser failed");
  return out_file;
}

namespace {

// Runs dir/twparser; returns when it cannot.
void exec_parser(const std::string &dir, char *const argv[]) {
  execv((dir + "/twparser").c_str(), argv);
}

}  // namespace

// twparser comes from the directory of the running program, where an
// installation puts both, then from the absolute directories of the search
// path: never from the working directory as such, where a planted file
// would run with the daemon's rights at every start and reload.
void parser(const char *input_file, const char *out_file) {
  const char *daemon_flag = ALRM_daemon ? "1" : "0";
  char *const argv[] = {const_cast<char *>("twparser"),
                        const_cast<char *>(input_file),
                        const_cast<char *>(out_file),
                        const_cast<char *>(daemon_flag), nullptr};
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string exe(self, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    if (slash != std::string::npos) exec_parser(exe.substr(0, slash), argv);
  }
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/bin:/usr/bin";  // as execvp
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && dir[0] == '/') exec_parser(dir, argv);
    start = end + 1;
  }
  err_quit("Cannot execute twparser");
}

// ---- The record

namespace {

// The host text length and the application text length of the table.
constexpr int kHostLen = 128;
constexpr int kAppLen = 16;

char number_buf[16];

const char *number_text(double v) {
  if (v >= 0 && v < 1e14)
    snprintf(number_buf, sizeof number_buf, "%.0f", v);
  else
    snprintf(number_buf, sizeof number_buf, "overflow");
  return number_buf;
}

const char *or_dotted(const char *name, int addr) {
  return name != nullptr && name[0] != '\0' ? name : dotted(addr);
}

}  // namespace

int seconds_before(int t, int seconds) {
  int64_t when = static_cast<int64_t>(t) - seconds;
  return when < INT32_MIN ? INT32_MIN : static_cast<int>(when);
}

int seconds_between(int from, int to) {
  int64_t d = static_cast<int64_t>(to) - from;
  if (d > INT32_MAX) return INT32_MAX;
  return d < INT32_MIN ? INT32_MIN : static_cast<int>(d);
}

Record::Record() {}

Record::~Record() {
  if (!owner) return;
  for (char *s : {user, src_str, dst_str, app_str}) free(s);
}

void Record::share(const Record &r) {
  if (owner)
    for (char *s : {user, src_str, dst_str, app_str}) free(s);
  source = r.source;
  destination = r.destination;
  application = r.application;
  error = r.error;
  user = r.user;
  failtime = r.failtime;
  incoming = r.incoming;
  outgoing = r.outgoing;
  traffic = r.traffic;
  src_str = r.src_str;
  dst_str = r.dst_str;
  app_str = r.app_str;
  socks_id = r.socks_id;
  duration = r.duration;
  last_read = r.last_read;
  conn_id = r.conn_id;
  owner = false;
}

// Replaces d by at most len characters of s (all of it for len -1);
// never reads s beyond len characters.
void Record::copy_str(char *&d, const char *s, int len) {
  free(d);
  d = nullptr;
  if (s == nullptr) return;
  size_t n = len < 0 ? strlen(s) : strnlen(s, len);
  d = static_cast<char *>(malloc(n + 1));
  if (d == nullptr) memory_err();
  memcpy(d, s, n);
  d[n] = '\0';
}

int Record::set_value(int src, int dst, const char *userid, int time,
                      int appl, int err, uint32_t in, uint32_t out,
                      const char *Src, const char *Dst, const char *App,
                      int pid, int dur, int last, int id, int mute,
                      bool finished) {
  source = src;
  destination = dst;
  failtime = time;
  application = appl;
  error = err;
  incoming = in;
  outgoing = out;
  traffic = static_cast<uint64_t>(in) + out;
  // The table's user field need not be terminated: take at most its size.
  if (userid == nullptr || userid[0] == '\0')
    copy_str(user, "UNKNOWN", -1);
  else
    copy_str(user, userid, kHostLen);
  copy_str(src_str, Src, kHostLen);
  copy_str(dst_str, Dst, kHostLen);
  copy_str(app_str, App, kAppLen);
  socks_id = pid;
  duration = dur;
  last_read = last;
  conn_id = id;
  if (mute) return 0;

  if (ALRM_table_ptr != nullptr && ALRM_table_ptr->trace()) trace();
  if ((appl != 0 || finished) && appl >= -65535 && appl <= 65535 &&
      user != nullptr && dur >= 0)
    return 0;
  if (dst != 0)
    err_ret("invalid: port:%d(%s) %s@%s->%s dur:%d in:%u out:%u", appl,
            printable(app_str).c_str(), printable(user).c_str(),
            printable(src_str).c_str(), printable(dst_str).c_str(), dur, in,
            out);
  return -1;
}

// The record's line of the trace:
//   \nTIME: USER@SRC->DST PORT/PROTO err:E IN(i)+OUT(o)=SUM pid:%2d dur:%2d
//   id:ID read=READ\n
void Record::trace() const {
  put("\n");
  put_int(failtime);
  put(": ");
  put_name(user);
  put("@");
  put(dotted(source));
  put("->");
  put(dotted(destination));
  put(" ");
  if (application > 0) {
    put_int(application);
    put("/tcp");
  } else {
    put_uint(0u - static_cast<unsigned>(application));
    put("/udp");
  }
  put(" err:");
  put_int(error);
  put(" ");
  put_uint(incoming);
  put("(i)+");
  put_uint(outgoing);
  put("(o)=");
  put_uint(traffic);
  put(" pid:");
  put_int(socks_id, 2);
  put(" dur:");
  put_int(duration, 2);
  put(" id:");
  put_int(conn_id);
  put(" read=");
  put_int(last_read);
  put("\n");
  trace_drain();
}

void *Record::get_num(int variable, void *operand) {
  static double value;
  switch (variable) {
    case VAR_SRC: return &source;
    case VAR_DST: return &destination;
    case VAR_APP: return &application;
    case VAR_TIME: return &failtime;
    case VAR_ERROR: return &error;
    case VAR_USER: return user;
  }
  if (variable > CONSTANT_OPERAND && operand != nullptr) {
    double *v = static_cast<Total *>(operand)->process();
    value = v != nullptr ? *v : 0.0;
    return &value;
  }
  err_ret("internal error when getting variable value");
  return nullptr;
}

const char *Record::get_str(int variable, void *operand) {
  static char time_buf[32];
  switch (variable) {
    case VAR_SRC_NAME:
    case VAR_SRC: return or_dotted(src_str, source);
    case VAR_SRC_IP: return dotted(source);
    case VAR_DST_NAME:
    case VAR_DST: return or_dotted(dst_str, destination);
    case VAR_DST_IP: return dotted(destination);
    case VAR_APP_NAME:
    case VAR_APP:
      if (app_str != nullptr && app_str[0] != '\0') return app_str;
      return get_str(VAR_APP_PORT, operand);
    case VAR_APP_PORT:
      if (application > 0)
        snprintf(number_buf, sizeof number_buf, "%d/tcp", application);
      else
        snprintf(number_buf, sizeof number_buf, "%u/udp",
                 0u - static_cast<unsigned>(application));
      return number_buf;
    case VAR_USER: return user;
    case VAR_TIME: {
      time_t t = failtime;
      if (ctime_r(&t, time_buf) == nullptr) return "";
      time_buf[strcspn(time_buf, "\n")] = '\0';
      return time_buf;
    }
    case VAR_ERROR: return number_text(error);
    case VAR_PID: return number_text(socks_id);
  }
  if (variable > CONSTANT_OPERAND && operand != nullptr) {
    double *v = static_cast<Total *>(operand)->process();
    return v != nullptr ? number_text(*v) : "0";
  }
  err_ret("internal error when getting variable value");
  return nullptr;
}

int Record::must_update(unsigned char kind) const {
  if (error > 0) return kind == TOT_FAIL;
  switch (kind) {
    case TOT_IN: return incoming > 0;
    case TOT_OUT: return outgoing > 0;
    case TOT_TRAFFIC: return traffic > 0;
    case TOT_ACCESS: return 1;
    case TOT_DURATION: return duration > 0;
  }
  return 0;
}

namespace {

// Says what is wrong with an aggregate's key; with quit, closes the
// history and ends the process.
void say_key(const char *message, const std::string &key, bool quit) {
  err_ret("%s, %s", message, key_text(key).c_str());
  if (!quit) return;
  if (ALRM_table_ptr != nullptr && ALRM_table_ptr->store() != nullptr)
    ALRM_table_ptr->store()->close();
  exit(1);
}

void append(std::string &key, int bit, const void *data, size_t len,
            int flags) {
  if (flags & (1 << bit)) key.append(static_cast<const char *>(data), len);
}

// The change the record under check makes to an aggregate's items: the
// connection's earlier report replaced, its item added.  Values are
// unsigned 32-bit words; a traffic beyond one word (two full byte counts)
// takes two items of the same time and connection.
void record_update(ItemUpdate &u, int kind, int until, int keep) {
  u.increment = kind == TOT_FAIL ? 1 : kind == TOT_ACCESS ? 2 : 3;
  u.until = until;
  u.keep_s = keep;
  u.add.clear();
  u.replace_time = kind == TOT_FAIL ? 0 : record.last();
  u.replace_id = record.id();
  if (kind == TOT_FAIL) {
    u.add.push_back(record.time());
    return;
  }
  if (kind == TOT_ACCESS) {
    u.add.insert(u.add.end(), {record.time(), record.id()});
    return;
  }
  uint64_t value = kind == TOT_IN        ? record.in()
                   : kind == TOT_OUT     ? record.out()
                   : kind == TOT_TRAFFIC ? record.tot()
                                         : static_cast<uint32_t>(record.dur());
  if (value > UINT32_MAX) {
    u.add.insert(u.add.end(), {record.time(), -1, record.id()});
    value -= UINT32_MAX;
  }
  u.add.insert(u.add.end(), {record.time(), static_cast<int>(value),
                             record.id()});
}

}  // namespace

namespace {

// What a batch of checks asks of the store, in the order the checks would.
struct Plan {
  std::vector<std::string> keys;
  std::vector<ItemUpdate> ups;
  std::vector<std::pair<Total *, bool>> totals;  // and whether it changes
  std::vector<std::vector<int>> results;
  std::vector<int> rcs;
  void clear() { keys.clear(), ups.clear(), totals.clear(); }
};

Plan plan;

}  // namespace

// The record's change to every aggregate that counts it and, with reads,
// a look at every other aggregate whose condition holds (an alarm may
// read it): a look is a change that changes nothing.
void AlarmTable::plan_changes(bool reads) {
  for (int kind = 0; kind < N_TOTALS; kind++) {
    bool changes = record.must_update(static_cast<unsigned char>(kind));
    if (!changes && !reads) continue;
    SLList<Total> &list = total_table[kind].list;
    for (Pix p = list.first(); p != nullptr; list.next(p)) {
      Total &t = list(p);
      if (t.db_updated != 0 || !t.Condition::value(0)) continue;
      plan.ups.emplace_back();
      ItemUpdate &u = plan.ups.back();
      if (changes) {
        record_update(u, kind, seconds_before(record.time(), t.keep_time), t.keep_time);
      } else {
        u.increment = kind == TOT_FAIL ? 1 : kind == TOT_ACCESS ? 2 : 3;
        u.until = INT_MIN;
      }
      plan.keys.push_back(history_key(t.flags));
      plan.totals.emplace_back(&t, changes);
    }
  }
}

// Gives each aggregate of the plan from `from` on its answer, up to `to`.
void AlarmTable::hand_over(size_t from, size_t to) {
  for (size_t i = from; i < to; i++) {
    Total *t = plan.totals[i].first;
    t->fetched = true;
    t->fetched_rc = plan.rcs[i];
    t->fetched_items.swap(plan.results[i]);
  }
}

void AlarmTable::change_ahead(HistoryStore &store) {
  plan.clear();
  plan_changes(false);
  if (plan.keys.empty()) return;
  store.update_many(plan.keys, plan.ups, plan.results, plan.rcs);
  hand_over(0, plan.keys.size());
}

void AlarmTable::check_many(Record *recs, int n) {
  if (history == nullptr || !history->batches() || n < 2) {
    for (int i = 0; i < n; i++) check(recs[i]);
    return;
  }
  ALRM_table_ptr = this;
  static std::vector<size_t> first;
  plan.clear();
  first.clear();
  for (int i = 0; i < n; i++) {
    record.share(recs[i]);
    first.push_back(plan.keys.size());
    plan_changes(true);
  }
  first.push_back(plan.keys.size());
  if (!plan.keys.empty())
    history->update_many(plan.keys, plan.ups, plan.results, plan.rcs);
  for (int i = 0; i < n; i++) {
    record.share(recs[i]);
    hand_over(first[i], first[i + 1]);
    check_shared();
  }
}

std::string history_key(int flags) {
  std::string key;
  uint32_t word = htonl(static_cast<uint32_t>(flags));
  key.append(reinterpret_cast<const char *>(&word), 4);
  int src = record.src(), dst = record.dst(), app = record.app(),
      err = record.err();
  append(key, 0, &src, 4, flags);
  append(key, 1, &dst, 4, flags);
  append(key, 2, &app, 4, flags);
  append(key, 3, &err, 4, flags);
  append(key, 4, record.usr(), strlen(record.usr()), flags);
  if (key.size() > MAX_REC_LEN) {
    char msg[64];
    snprintf(msg, sizeof msg, "key size (%d) exceeds MAX_REC_LEN(%d)",
             static_cast<int>(key.size()), MAX_REC_LEN);
    say_key(msg, key, true);
  }
  return key;
}

// The aggregate's value for the record under check over the alarm's
// window, the record counted first (once per check) when it qualifies;
// null when the aggregate's own condition does not hold.  A change the
// store could not keep (db_updated 2) is counted again in memory for the
// rest of the check, and stored again at the next.
double *Total::process() {
  static double result;
  static std::vector<int> items;
  static ItemUpdate u;
  if (!Condition::value(0)) {
    db_updated = 1;
    return nullptr;
  }
  HistoryStore *store = ALRM_table_ptr->store();
  if (store == nullptr) return nullptr;  // no history
  std::string key = history_key(flags);
  int k = kind();
  int increment = k == TOT_FAIL ? 1 : k == TOT_ACCESS ? 2 : 3;
  int since = seconds_before(record.time(), ALRM_table_ptr->get_alert());
  int until = seconds_before(record.time(), keep_time);
  if (fetched) {  // answered ahead: the same items for the whole check
    bool changes = record.must_update(static_cast<unsigned char>(k));
    if (changes && db_updated == 0) {
      if (fetched_rc == 0)
        ALRM_table_ptr->set_db_dirty();
      else
        ALRM_stats.store_failures++;
      db_updated = fetched_rc == 0 ? 1 : 2;
    }
    if (fetched_rc != 0 && (!changes || fetched_items.empty())) return nullptr;
    result = items_window(key, fetched_items, increment, since, record.time());
    return &result;
  }
  if (record.must_update(static_cast<unsigned char>(k)) && db_updated != 1) {
    record_update(u, k, until, keep_time);
    if (db_updated == 0) {
      int rc = store->update(key, u, items);
      if (rc != 0 && items.empty()) return nullptr;  // the history closed
      if (rc == 0)
        ALRM_table_ptr->set_db_dirty();
      else
        ALRM_stats.store_failures++;
      db_updated = rc == 0 ? 1 : 2;
    } else {
      if (store->read(key, increment, items) != 0) return nullptr;
      u.until = INT_MIN;
      apply_update(items, u);
    }
  } else if (store->read(key, increment, items) != 0) {
    return nullptr;
  }
  result = items_window(key, items, increment, since, record.time());
  return &result;
}
