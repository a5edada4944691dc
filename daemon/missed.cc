// Counting starts and ends that the alarm reader never took.
#include "missed.h"

#include <errno.h>
#include <string.h>

namespace {

constexpr uint32_t kActive = 0x80000000u;
constexpr uint32_t kStarted = 4;

uint64_t key_of(const Uint64 &k) {
  return static_cast<uint64_t>(k.word[0]) << 32 | k.word[1];
}

}  // namespace

void MissedTracker::taken(const Mon_Conn_t &conn) {
  uint64_t key = key_of(conn.key);
  if (conn.connState & kStarted) number_seen(conn.key.word[0], conn.alarmKey);

  auto it = active_.find(key);
  if (it != active_.end() && it->second != conn.alarmKey) {
    missed_ends_++;  // started again before its end was taken
    active_.erase(it);
    it = active_.end();
  }
  if (!(conn.connState & kActive)) {
    if (it != active_.end()) active_.erase(it);
  } else if (it == active_.end() && active_.size() < kMaxActive) {
    active_.emplace(key, conn.alarmKey);
  }
}

// Numbers arrive in table order, not start order, so a number a little
// below the highest one seen only fills a gap.  A number far from it
// starts the writer's numbering afresh; the gaps noted before keep their
// course.  Counting on past 2^32 wraps to 0.
void MissedTracker::number_seen(uint32_t writer, uint32_t n) {
  auto it = writers_.find(writer);
  if (it == writers_.end()) {
    writers_.emplace(writer, Writer{n, {}});
    return;
  }
  Writer &w = it->second;
  if (n == w.high || w.gaps.erase(n) != 0) return;
  if (n < w.high && w.high - n <= kMaxStep) return;  // taken late
  if (n - w.high > kMaxStep) {                        // a new numbering
    w.high = n;
    return;
  }
  for (uint32_t k = w.high + 1; k != n; k++) {
    if (w.gaps.size() < kMaxGaps)
      w.gaps.emplace(k, pass_);
    else
      missed_starts_++;
  }
  w.high = n;
}

void MissedTracker::pass_done() {
  pass_++;
  for (auto &entry : writers_) {
    auto &gaps = entry.second.gaps;
    for (auto g = gaps.begin(); g != gaps.end();) {
      if (g->second + 2 <= pass_) {
        missed_starts_++;
        g = gaps.erase(g);
      } else {
        ++g;
      }
    }
  }
}

void MissedTracker::sweep(Mon_Handle_t handle) {
  for (auto it = active_.begin(); it != active_.end();) {
    Uint64 key;
    key.word[0] = static_cast<uint32_t>(it->first >> 32);
    key.word[1] = static_cast<uint32_t>(it->first);
    if (MonMmapConnPtr(handle, key) != nullptr) {
      ++it;
      continue;
    }
    if (errno != ESRCH) return;  // no answer (lock not had, bad header)
    missed_ends_++;
    it = active_.erase(it);
  }
}

void MissedTracker::reset() {
  writers_.clear();
  active_.clear();
  pass_ = 0;
}
