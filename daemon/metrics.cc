// The status line and the metrics file, from the same counters.
#include "metrics.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include "audit.h"
#include "missed.h"
#include "ndbm_store.h"
#include "promfile.h"
#include "runner.h"
#include "stats.h"

std::vector<AlarmCounts> ALRM_alarm_stats;

namespace {

constexpr int64_t kWriteMs = 10000;       // between writes of the file
constexpr int64_t kErrorReportMs = 60000;  // between reports of a failed write
constexpr int64_t kKeyCountMs = 60000;     // between walks over the history keys

const MissedTracker *tracker;
const char *file_path;
int64_t last_write_ms = -1;
int64_t last_error_ms = -1;
int64_t last_key_count_ms = -1;
uint64_t key_count;

uint64_t missed_starts() { return tracker != nullptr ? tracker->missed_starts() : 0; }
uint64_t missed_ends() { return tracker != nullptr ? tracker->missed_ends() : 0; }

HistoryStore *store() {
  return ALRM_table_ptr != nullptr ? ALRM_table_ptr->store() : nullptr;
}

// The ndbm store, null for another kind or none.
NdbmStore *ndbm() { return dynamic_cast<NdbmStore *>(store()); }

// The bytes of the history's .pag and .dir files.
uint64_t history_bytes(const NdbmStore &s) {
  uint64_t total = 0;
  for (const char *name : {"1.pag", "1.dir", "2.pag", "2.dir"}) {
    struct stat st;
    if (stat((s.base() + name).c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

// The keys of file 1, counted at most once a minute.
uint64_t history_keys(NdbmStore &s, int64_t now) {
  if (last_key_count_ms >= 0 && now - last_key_count_ms < kKeyCountMs) return key_count;
  last_key_count_ms = now;
  key_count = 0;
  if (s.d1 == nullptr) return 0;
  for (datum k = dbm_firstkey(s.d1); k.dptr != nullptr; k = dbm_nextkey(s.d1)) key_count++;
  return key_count;
}

void counter(PromText &p, const char *name, const char *help, uint64_t v) {
  p.family(name, "counter", help);
  p.sample(name, v);
}

void gauge(PromText &p, const char *name, const char *help, double v) {
  p.family(name, "gauge", help);
  p.sample(name, "", v);
}

void daemon_metrics(PromText &p) {
  const DaemonStats &s = ALRM_stats;
  counter(p, "tollwatch_records_taken_total", "Records taken from the connection table.", s.taken);
  counter(p, "tollwatch_records_checked_total", "Records checked against the rules.", s.checked);
  counter(p, "tollwatch_records_invalid_total", "Records skipped as not valid.", s.invalid);
  counter(p, "tollwatch_alarms_fired_total", "Alarms whose condition held.", s.fired);
  counter(p, "tollwatch_commands_run_total", "Commands started.", s.run);
  counter(p, "tollwatch_commands_suppressed_total", "Commands skipped as repeats.", s.suppressed);
  counter(p, "tollwatch_commands_unsuccessful_total", "Commands that failed.", s.unsuccessful);
  counter(p, "tollwatch_commands_timed_out_total", "Commands ended for running too long.", s.timed_out);
  counter(p, "tollwatch_commands_dropped_total", "Commands dropped from a full queue.", s.dropped);
  counter(p, "tollwatch_missed_starts_total", "Connection starts never seen.", missed_starts());
  counter(p, "tollwatch_missed_ends_total", "Connection ends never seen.", missed_ends());
  counter(p, "tollwatch_history_store_failures_total", "History updates not written.", s.store_failures);
  gauge(p, "tollwatch_command_queue_length", "Commands waiting to start.",
        static_cast<double>(ALRM_action_queue.queued()));
  gauge(p, "tollwatch_table_attached", "1 while a connection table is attached.", s.attached ? 1 : 0);
  int64_t now = monotonic_ms();
  int64_t since = s.last_taken_ms != 0 ? s.last_taken_ms : s.started_ms;
  gauge(p, "tollwatch_seconds_since_last_record", "Whole seconds since the last record taken (or the start).",
        static_cast<double>((now - since) / 1000));
  gauge(p, "tollwatch_last_refresh_timestamp_seconds", "Time of the last history refresh, 0 for none.",
        static_cast<double>(s.last_refresh));
  if (NdbmStore *n = ndbm()) {
    gauge(p, "tollwatch_history_file_bytes", "Bytes of the history files.",
          static_cast<double>(history_bytes(*n)));
    gauge(p, "tollwatch_history_keys", "Keys of the history (counted once a minute).",
          static_cast<double>(history_keys(*n, now)));
  }
  p.family("tollwatch_build_info", "gauge", "The daemon's version.");
  p.sample("tollwatch_build_info", "version=\"" + prom_label(TW_VERSION) + "\"", 1);
  gauge(p, "tollwatch_start_time_seconds", "Time the daemon started.", static_cast<double>(s.started));
}

// The rule="first-last" label of an alarm; its number when the lines are
// not known.
std::string rule_label(const Alarm &a) {
  std::string r = a.first_line > 0 && a.last_line > 0
                      ? std::to_string(a.first_line) + "-" + std::to_string(a.last_line)
                      : std::to_string(a.alarm_id);
  return "rule=\"" + prom_label(r) + "\"";
}

// One family over the loaded alarms.
void alarm_family(PromText &p, const char *name, const char *help,
                  uint64_t AlarmCounts::*field) {
  p.family(name, "counter", help);
  if (ALRM_table_ptr == nullptr) return;
  for (Pix i = ALRM_table_ptr->AlarmList.first(); i != nullptr; ALRM_table_ptr->AlarmList.next(i)) {
    const Alarm &a = ALRM_table_ptr->AlarmList(i);
    p.sample(name, rule_label(a), static_cast<double>(alarm_counts(a.alarm_id).*field));
  }
}

void write_file(int64_t now) {
  last_write_ms = now;
  if (write_metrics_file(file_path, metrics_text()) == 0) return;
  if (last_error_ms >= 0 && now - last_error_ms < kErrorReportMs) return;
  last_error_ms = now;
  err_ret("can't write the metrics file %s", file_path);
}

}  // namespace

void metrics_track(const MissedTracker *missed) { tracker = missed; }

std::string status_line() {
  char when[32] = "never";
  if (ALRM_stats.last_refresh != 0) {
    struct tm tm;
    localtime_r(&ALRM_stats.last_refresh, &tm);
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  }
  char line[512];
  const DaemonStats &s = ALRM_stats;
  snprintf(line, sizeof line,
           "status: taken=%llu checked=%llu invalid=%llu fired=%llu run=%llu "
           "suppressed=%llu unsuccessful=%llu timed_out=%llu dropped=%llu "
           "queued=%zu missed_starts=%llu missed_ends=%llu last_refresh=%s "
           "store_failures=%llu",
           static_cast<unsigned long long>(s.taken),
           static_cast<unsigned long long>(s.checked),
           static_cast<unsigned long long>(s.invalid),
           static_cast<unsigned long long>(s.fired),
           static_cast<unsigned long long>(s.run),
           static_cast<unsigned long long>(s.suppressed),
           static_cast<unsigned long long>(s.unsuccessful),
           static_cast<unsigned long long>(s.timed_out),
           static_cast<unsigned long long>(s.dropped),
           ALRM_action_queue.queued(),
           static_cast<unsigned long long>(missed_starts()),
           static_cast<unsigned long long>(missed_ends()), when,
           static_cast<unsigned long long>(s.store_failures));
  std::string text = line;
  if (store() != nullptr) text += store()->status();
  return text;
}

std::string metrics_text() {
  PromText p;
  daemon_metrics(p);
  alarm_family(p, "tollwatch_alarm_fired_total", "Times the alarm's condition held.",
               &AlarmCounts::fired);
  alarm_family(p, "tollwatch_alarm_commands_run_total", "Commands of the alarm started.",
               &AlarmCounts::run);
  alarm_family(p, "tollwatch_alarm_commands_suppressed_total",
               "Commands of the alarm skipped as repeats.", &AlarmCounts::suppressed);
  return p.text();
}

void metrics_file(const char *path) { file_path = path; }

void metrics_due() {
  if (file_path == nullptr) return;
  int64_t now = monotonic_ms();
  if (last_write_ms < 0 || now - last_write_ms >= kWriteMs) write_file(now);
}

void metrics_now() {
  if (file_path != nullptr) write_file(monotonic_ms());
}
