// Connections the daemon never saw.  A writer numbers its starts one by one
// while the alarm reader is attached, so a number that never turns up is a
// start that was missed; a connection seen active that leaves the table,
// or starts again under its key, before its end was taken is a missed end.
#ifndef TW_MISSED_H
#define TW_MISSED_H

#include <stdint.h>

#include <unordered_map>

#include "monMmap.h"

class MissedTracker {
 public:
  static constexpr size_t kMaxGaps = 65536;     // pending numbers per writer
  static constexpr size_t kMaxActive = 65536;   // connections followed
  // How far a writer's start number may lie from the highest seen, ahead
  // (the starts between two takes, counted across a wrap past 2^32) or
  // behind (one taken late): far more than the largest table holds
  // (about 88,000 records).  A number further off starts that writer's
  // numbering afresh, with no gap counted.
  static constexpr uint32_t kMaxStep = 1u << 20;

  // Notes a connection taken from the table (the reader's copy).
  void taken(const Mon_Conn_t &conn);
  // Ends a pass over the table.  A number still missing after the whole
  // pass that followed the one it went missing in was never started.
  void pass_done();
  // Looks up every connection seen active; those gone from the table
  // ended unseen.  A look-up without an answer (the table's lock not had,
  // its header bad) ends the sweep.  Meant for about once a second.
  void sweep(Mon_Handle_t handle);
  // Forgets everything, for a new table.
  void reset();

  uint64_t missed_starts() const { return missed_starts_; }
  uint64_t missed_ends() const { return missed_ends_; }

 private:
  struct Writer {
    uint32_t high;                                  // highest number seen
    std::unordered_map<uint32_t, uint64_t> gaps;    // number -> pass noticed
  };

  void number_seen(uint32_t writer, uint32_t n);

  std::unordered_map<uint32_t, Writer> writers_;
  std::unordered_map<uint64_t, uint32_t> active_;  // key -> its start number
  uint64_t pass_ = 0;
  uint64_t missed_starts_ = 0;
  uint64_t missed_ends_ = 0;
};

#endif  // TW_MISSED_H
