// Counters of the daemon's work, shown by the status line (SIGUSR1).
#ifndef TW_STATS_H
#define TW_STATS_H

#include <stdint.h>
#include <time.h>

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
};

extern DaemonStats ALRM_stats;

#endif  // TW_STATS_H
