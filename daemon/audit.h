// The rule set and its parts, shared by the daemon's modules: the record
// under check and its variables, the tokenizer of the parsed rule file,
// symbols, alarms, condition trees, comparisons, ranges, aggregates and
// host patterns.
#ifndef TW_AUDIT_H
#define TW_AUDIT_H

#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>

#include "LList.h"
#include "error.h"
#include "items.h"
#include "store.h"

// ---- Record variables

// Variable numbers: index of defined_var (long names) and shorthand.
enum {
  VAR_SRC_NAME, VAR_SRC_IP, VAR_SRC, VAR_DST_NAME, VAR_DST_IP, VAR_DST,
  VAR_APP_NAME, VAR_APP_PORT, VAR_APP, VAR_USER, VAR_TIME, VAR_ERROR,
  VAR_PID
};
constexpr int N_VARIABLES = 13;
constexpr int CONSTANT_OPERAND = 13;  // above it: 13 + an aggregate's flags

extern const char *const defined_var[N_VARIABLES];
extern const char *const shorthand[N_VARIABLES];

// Aggregate kinds, index of tot.
enum { TOT_FAIL, TOT_IN, TOT_OUT, TOT_TRAFFIC, TOT_ACCESS, TOT_DURATION };
constexpr int N_TOTALS = 6;
constexpr int MAX_TOTALS = 126;  // aggregates per kind
extern const char *const tot[N_TOTALS];

// One connection as the rules see it.
class Record {
 public:
  Record();
  ~Record();
  // A field-for-field copy that shares the texts and owns nothing.
  void share(const Record &r);

  // finished: the connection failed or ended, so it is checked even
  // without a command (application 0: a failed login, say).
  int set_value(int src, int dst, const char *userid, int time, int appl,
                int err, uint32_t in, uint32_t out, const char *Src,
                const char *Dst, const char *App, int pid, int dur, int last,
                int id, int mute, bool finished = false);
  void *get_num(int variable, void *operand);
  const char *get_str(int variable, void *operand);
  int must_update(unsigned char kind) const;
  static void copy_str(char *&d, const char *s, int len);
  // Writes the record's line of the trace.
  void trace() const;

  int src() const { return source; }
  int dst() const { return destination; }
  int app() const { return application; }
  int err() const { return error; }
  const char *usr() const { return user; }
  int time() const { return failtime; }
  uint32_t in() const { return incoming; }
  uint32_t out() const { return outgoing; }
  uint64_t tot() const { return traffic; }
  const char *Src() const { return src_str; }
  const char *Dst() const { return dst_str; }
  const char *App() const { return app_str; }
  int pid() const { return socks_id; }
  int dur() const { return duration; }
  int last() const { return last_read; }
  int id() const { return conn_id; }

 private:
  Record(const Record &) = delete;
  Record &operator=(const Record &) = delete;

  int source = 0;       // network byte order
  int destination = 0;  // network byte order
  int application = 0;  // +port tcp, -port udp
  int error = 0;
  char *user = nullptr;
  int failtime = 0;
  uint32_t incoming = 0;  // byte counts as the table holds them
  uint32_t outgoing = 0;
  uint64_t traffic = 0;   // their exact sum
  char *src_str = nullptr;
  char *dst_str = nullptr;
  char *app_str = nullptr;
  int socks_id = 0;
  int duration = 0;
  int last_read = 0;
  int conn_id = 0;
  bool owner = true;  // false for the shared copy
};

extern Record record;  // the record under check

// Time differences that cannot overflow: the time the given seconds before
// t (no earlier than the earliest time), and the seconds from one time to
// another (held within an int).
int seconds_before(int t, int seconds);
int seconds_between(int from, int to);

// ---- Reading the parsed rule file

// Word delimiters.
extern const char *const WORD_DELIMS;     // blanks and ()=><!&,|[]
extern const char *const OPERAND_DELIMS;  // ()=><!&,|[] (blanks belong)

class Total;

// The one tokenizer of the parsed rule file; it also knows where in the
// administrator's rule file the current line came from.
class Token {
 public:
  void get(char *&lineptr, int more, const char *separator);
  void rm_trailing_space();
  int translate() const;
  int parse(void *&data, char *&lineptr);
  void parse_cond_line_no(const char *lp);
  void parse_action_line_no(const char *lp);
  const char *print_line_range();
  [[noreturn]] void error(const char *msg);

  int &linenum() { return line_num; }
  int &condnum() { return cond_num; }
  operator char *() const { return ptr; }

  char *ptr;
  int line_num;
  int cond_num;
  int first_line;
  int last_line;
};

extern Token token;

// Fatal error at the current place; fmt takes var as its one argument.
[[noreturn]] void err_line(const char *fmt, const char *var);

// ---- Host patterns

// Address variant: ip (already masked) and mask, network byte order.
struct s_ip {
  char type;  // 0
  uint32_t ip;
  uint32_t mask;
};

// Name variant: the host name must equal name (exact) or end with it.
struct n_ip {
  char type;  // 1
  char exact;
  char *name;  // owned
  int len;
};

union host {
  char type;
  s_ip s;
  n_ip n;
};

void GetHostAndMask(char *&ptr, host *h, int lnum);
uint32_t StandardNetMaskForClass(uint32_t ip);
uint32_t StandardSubnetMaskForClass(uint32_t ip);
[[noreturn]] void badLine(int n);
int CheckHost(const host *h, const struct sockaddr_in *s, const char *name);
int WildMatch(const char *text, const char *p);
int DoMatch(const char *text, const char *p);

// ---- Ranges

class Range {
 public:
  Range(int min = 0, int max = 65535) : max_value(max), min_value(min) {}
  virtual ~Range() {}
  virtual int translate(char *ptr);
  int check_dash(char *&lineptr);
  void parse(char *&lineptr, int check_order);

  int low = 0;
  int high = 0;
  int max_value;
  int min_value;
};

class AppRange : public Range {
 public:
  AppRange() : Range(0, 65535) {}
  void parse(char *&lineptr);
  // Whether a port (in the port encoding) lies in the range.
  int check(int port) const;
};

class WeekDayRange : public Range {
 public:
  WeekDayRange() : Range(0, 6) {}
  int translate(char *ptr) override;
};

class MonthRange : public Range {
 public:
  MonthRange() : Range(0, 11) {}
  int translate(char *ptr) override;
};

class MinuteRange : public Range {
 public:
  MinuteRange() : Range(0, 1439) {}
  int translate(char *ptr) override;
  int check(int minute) const { return low <= minute && minute <= high; }
};

class TimeRange {
 public:
  TimeRange() : days(1, 31), years(1970, 2070) {}
  void parse(char *&lineptr);
  // Whether the local time of t falls in all five fields.
  int check(int t) const;

  WeekDayRange week_days;
  MonthRange months;
  Range days;
  MinuteRange minutes;
  Range years;
};

// ---- Comparisons and conditions

enum { OP_EQ, OP_LE, OP_GE, OP_LT, OP_GT, OP_NE, OP_IN_RANGE };
extern const char *const op[6];

class Comparison {
 public:
  int read(char *&lineptr);
  char *get_operand(int index, char *&lineptr);
  int get_operator(char *&lineptr);
  void set_constant(char *data, int const_index);
  void set_by_list(int var0, int oper, char *ptr1, char *ptr0);
  void set_interval(int variable, char *&lineptr);
  int check_consistency() const;
  void remove();
  int operator==(const Comparison &b) const;

  // The value of this comparison for the record under check.
  int value();
  int evaluate(const void *expr1, const void *expr2, int is_double) const;
  int value_of_two(int var);
  int check_application(const int *data0, const void *data1) const;
  int check_error(const int *data0, const void *data1) const;
  int check_host(int var, const void *pattern_ptr) const;

  int operandtype[2];
  void *operand[2];
  int comp_operator;
  int constant_length;
  int elemental;
};

int get_port(char *data);
double a2d(const char *str, int len, int no_quit);

enum { RULE_AND, RULE_OR, RULE_TRUE, RULE_COMPARISON };

class Condition {
 public:
  void initialize();
  int read(char *&lineptr, const char *delimitor);
  void remove();
  int operator==(const Condition &b) const;
  void parse_list(int variable, char *lineptr);
  // The value for the record under check; the top condition of an alarm
  // also makes its alert time the aggregates' window.
  int value(int set_alert_time);

  int alert_time;
  Condition *subcond1;
  Condition *subcond2;
  Comparison *comp;
  int rule;
};

// Flags word of an aggregate: field bits 0-4, sequence number in bits
// 8-15, kind in bits 24-31.
enum {
  FLAG_SRC = 1 << 0, FLAG_DST = 1 << 1, FLAG_APP = 1 << 2,
  FLAG_ERR = 1 << 3, FLAG_USR = 1 << 4
};
void set_flag(int var, int &flags);

// An aggregate: the records it counts (the condition part) and how it
// keys them (the flags word).
class Total : public Condition {
 public:
  int parse(char *&lineptr, char tot_type);
  int kind() const { return (flags >> 24) & 0xff; }
  // The aggregate's value for the record under check, or null when it
  // has none.
  double *process();

  int flags;
  int db_updated;  // this check: 1 counted or not to be, 2 not stored
  int keep_time;
  // Changed ahead of the check together with the record's other
  // aggregates (a store that batches): the store's answer, for process().
  bool fetched = false;
  int fetched_rc = 0;
  std::vector<int> fetched_items;
};

class TotalTable {
 public:
  Pix lookup(Total &total);
  Total *insert(Total &total);
  // After a check: every aggregate of the kind takes note of a record
  // that counts for it (update) or forgets the check (clean_status).
  void update();
  void clean_status();

  SLList<Total> list;
  int count = 0;
};

// ---- Actions, alarms, symbols

// A stored command holds the action line with each variable or aggregate
// word replaced by an item: a marker byte, the word's code (int, native
// order) and a pointer to the aggregate or null (native width).
constexpr int ITEM_VARIABLE = 1;
constexpr int ITEM_AGGREGATE = 2;  // also the time variable
constexpr int ITEM_SIZE = 1 + sizeof(int) + sizeof(void *);
constexpr int MAX_LINE = 512;      // parsed-file line buffer

class Action {
 public:
  void read(char *&lineptr);
  void execute(int id);
  void substitute(std::string &line, int how_expand) const;
  // The longest line substitute can give, every value at its widest.
  size_t longest() const;
  int get_keep() const { return keep_time; }
  void set_keep(int t) { keep_time = t; }

  char *command;
  int keep_time;
};

// Where a firing alarm's command line goes once it has passed its checks:
// the daemon runs it with the shell, a dry run only shows it.  The line is
// finished text; the sink copies what it keeps.
class ActionSink {
 public:
  virtual ~ActionSink() {}
  // The line is due to run for alarm id.
  virtual void run(int id, const char *line) = 0;
  // The same line ran for alarm id within its keep time; line is the
  // fully expanded text.  Only asked for when reports_suppressed().
  virtual void suppressed(int id, const char *line) { (void)id, (void)line; }
  virtual bool reports_suppressed() const { return false; }
  // Whether repeats are timed by the monotonic clock, as for commands run
  // while records come in, rather than by the records' times (a replay).
  virtual bool timed_by_clock() const { return false; }
};

// The sink in use; the daemon's shell runner unless a program sets another.
extern ActionSink *ALRM_action_sink;

class Alarm {
 public:
  int read(FILE *infile);
  void remove();
  void check();

  int alarm_id;
  // The alarm's lines in the rule file, 0 when the parsed file does not say.
  int first_line;
  int last_line;
  Condition condition;
  Action action;
};

// One action run, remembered until its keep time has passed.
class Execution {
 public:
  char *cmd;  // the first-pass line, cmd_len bytes, owned
  int cmd_len;
  int64_t expire_time;  // record time
  int64_t ran_ms;       // monotonic milliseconds when it ran
  int64_t keep_ms;
  int id;
};

class ExecList {
 public:
  ~ExecList();
  // 1 when the same alarm ran the same line within its keep time (then
  // the action is skipped); otherwise enters this run and gives 0.  The
  // keep time runs on the monotonic clock when by_clock, else on the
  // times of the records.
  int find(const char *cmd, int cmd_len, int id, int keep_time,
           bool by_clock);

  SLList<Execution> list;
};

extern ExecList ALRM_exec_list;

class TableEntry {
 public:
  const char *get_symbol() const { return symbol; }
  const char *get_value() const { return value; }
  int operator==(const TableEntry &b) const;
  void remove();

  char *symbol;
  char *value;
};

class SymbolTable {
 public:
  void read(char *sym, char *&lineptr);
  char *retrieve(const char *symbol);
  void update(const char *symbol, char *&lineptr);

  SLList<TableEntry> list;
  int count = 0;
};

// ---- The rule set

class AlarmTable {
 public:
  AlarmTable(const char *input_file, const char *audit_file);
  // An empty rule set with the default settings, into which statements
  // can be loaded directly; no preprocessor, no history files.
  AlarmTable();
  ~AlarmTable();

  // Checks every alarm against a record, runs the actions of those that
  // hold, and lets the aggregates take note of the record.
  void check(Record &rec);
  // Checks n records one after the other as check() does; a store that
  // batches is handed all their changes, and the looks their alarms may
  // take, in one go first, in the order the checks make them.
  void check_many(Record *recs, int n);
  // For a store that batches: the record's changes to every aggregate that
  // counts it, handed to the store in one go before the alarms are read.
  void change_ahead(HistoryStore &store);
  // Loads the alarms, symbols, aggregates and settings of a parsed rule
  // file; any loading error stops the process.
  void read_rules(const char *parsed_file);
  // Trades the loaded rules and the settings the rule file gives with
  // another rule set; history, trace and logging stay.
  void swap_rules(AlarmTable &other);
  // check() for the record already shared, its store answers fetched.
  void check_shared();
  void plan_changes(bool reads);
  void hand_over(size_t from, size_t to);

  void read_symbol(char *sym, char *&lineptr) { symbol_table.read(sym, lineptr); }
  char *retrieve_symbol(const char *s) { return symbol_table.retrieve(s); }
  void set_alert(int t) { alert_time = t; }
  int get_alert() const { return alert_time; }
  int get_keep() const { return keep_time; }
  void set_keep(int t) { keep_time = t; }
  // The longest keep time of all aggregates, at least the rule set's.
  int longest_keep() const;
  int get_keep_action() const { return keep_action; }
  void set_keep_action(int t) { keep_action = t; }
  int total_num(int kind) const { return total_table[kind].count; }
  Total *insert_total(int kind, Total &t) { return total_table[kind].insert(t); }
  void set_trace() {
    trace_flag = 1;
    trace_buffer();
  }
  void unset_trace() { trace_flag = 0; }
  int trace() const { return trace_flag; }
  const char *db_file() const { return audit_file_name; }
  // The history store, null when the rule set has none.
  HistoryStore *store() const { return history.get(); }
  void set_store(std::unique_ptr<HistoryStore> s) { history = std::move(s); }
  int db_clean() const { return DB_clean; }
  void set_db_clean() { DB_clean = 1; }
  void set_db_dirty() { DB_clean = 0; }
  int log() const { return log_action; }
  void set_log(int l) { log_action = l; }

  SLList<Alarm> AlarmList;
  SymbolTable symbol_table;
  TotalTable total_table[N_TOTALS];
  int alert_time = 300;
  int keep_time = 300;
  int keep_action = 0;
  int trace_flag = 0;
  int log_action = 0;
  char *audit_file_name = nullptr;
  int DB_clean = 0;
  std::unique_ptr<HistoryStore> history;

 private:
  AlarmTable(const AlarmTable &) = delete;
  AlarmTable &operator=(const AlarmTable &) = delete;
};

extern AlarmTable *ALRM_table_ptr;

// Where twparser writes the parsed rules: this path when set, else the
// rule file's name followed by ".parsed".
extern const char *ALRM_parsed_file;
// The parsed file's name for a rule file; stops when it is too long.
char *parsed_name(const char *input_file);
// Loads a rule file exactly as at start-up, twparser included, without
// opening the history or the table; a loading error stops the process
// with its message and exit status 1.  An action whose longest line would
// not fit the system's argument limit is reported with its lines.
void check_config(const char *input_file);

// Runs twparser on the rule file; returns the parsed file's name.
char *first_pass(const char *input_file);
// The child's side: becomes twparser.
[[noreturn]] void parser(const char *input_file, const char *out_file);

// ---- History store

// The aggregates' past items are kept in the rule set's store
// (history/store.h).  The key of the record under check for an aggregate
// of these flags: the flags word, then the fields they select.  Stops
// when the key would not fit a history record.
std::string history_key(int flags);

// ---- Daemon core (tollwatch.cc)

// Signal handlers only note the signal; the polling loop acts on it at
// safe points (handle_signals).
void quit_handle(int sig);
void refresh_signal(int sig);
void status_signal(int sig);
void child_signal(int sig);
void internal_error(int sig);
void memory_err();
void handle_signals();
// Rewrites the history unless nothing was stored since the last time.
void refresh_db();

struct Mon_Conn;
// Turns a connection taken from the table into rec; 0 when it is valid.
int read_from_monitor(const struct Mon_Conn *conn_ptr, Record &rec);
// One polling pass over the connection table.
void process_mmap(AlarmTable &alarm_table, void *&handle, int refr_time);
// Longest wait, in milliseconds, after a pass that found nothing.
void set_poll_interval(int ms);
// Detaches from the terminal.
int daemon_start(int changeroot);
// The program: command line, start-up, polling for ever.
int tollwatch_main(int argc, char **argv);

#endif  // TW_AUDIT_H
