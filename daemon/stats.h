// Counters of the daemon's work, shown by the status line (SIGUSR1) and
// the metrics file (-M).
#ifndef TW_STATS_H
#define TW_STATS_H

#include <stdint.h>
#include <time.h>

#include <vector>

struct DaemonStats {
  uint64_t taken = 0;         // records taken from the table
  uint64_t checked = 0;       // records that went through the rule check
  uint64_t invalid = 0;       // records skipped as not (yet) valid
  uint64_t fired = 0;         // alarms whose condition held
  uint64_t suppressed = 0;    // commands skipped as repeats
  uint64_t run = 0;           // commands started
  uint64_t unsuccessful = 0;  // commands that exited non-zero
  uint64_t timed_out = 0;     // commands ended for running too long
  uint64_t dropped = 0;       // commands dropped from a full queue
  time_t last_refresh = 0;    // last history refresh, 0 = none yet
  uint64_t store_failures = 0;  // history updates not written
  bool attached = false;      // a connection table is attached
  time_t started = 0;         // start of the daemon
  int64_t started_ms = 0;     // the same, monotonic milliseconds
  int64_t last_taken_ms = 0;  // last record taken, monotonic; 0 = none yet
};

extern DaemonStats ALRM_stats;

// One alarm's counters.
struct AlarmCounts {
  uint64_t fired = 0;
  uint64_t run = 0;         // its commands started
  uint64_t suppressed = 0;  // its commands skipped as repeats
};

// Indexed by alarm id; an alarm loaded afresh (a reload) starts at zero.
extern std::vector<AlarmCounts> ALRM_alarm_stats;

inline AlarmCounts &alarm_counts(int id) {
  size_t i = id < 0 ? 0 : static_cast<size_t>(id);
  if (i >= ALRM_alarm_stats.size()) ALRM_alarm_stats.resize(i + 1);
  return ALRM_alarm_stats[i];
}

#endif  // TW_STATS_H
