// The bridge's book of open proxy sessions, and how they go into the
// connection table: one record per session, keyed by the serving process
// (word 0) and that process's number for it (word 1), written with the
// table library's writer operations as the proxy itself would.
//
// The bridge reads a log, so it can wait for the alarm reader: before a
// new record would make the table delete ended connections the reader has
// not taken, it waits (bounded) for the reader.  A session that finds no
// room is kept here and written when room appears, at the latest whole at
// its end.
#ifndef TW_BRIDGE_SESSIONS_H
#define TW_BRIDGE_SESSIONS_H

#include <stdint.h>

#include <list>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "event.h"
#include "monMmap.h"

namespace bridge {

struct Counters {
  uint64_t lines = 0;      // lines read
  uint64_t sessions = 0;   // sessions written to the table
  uint64_t unparsed = 0;   // lines not understood
  uint64_t dropped = 0;    // sessions that never reached the alarm reader
  uint64_t evicted = 0;    // open sessions ended early (bound, process gone)
};

class Book {
 public:
  struct Options {
    size_t max_open = 100000;  // open sessions kept at most
    int wait_ms = 10000;       // longest wait for the alarm reader
  };
  // stop: set by a signal; ends any wait at once.
  Book(Mon_Handle_t table, const Options &options,
       volatile const int *stop);

  // After taking over a table: its open records become open sessions
  // again, and its ended ones are remembered so that a line read again
  // is not applied twice.
  void adopt();
  // One event of the log; now_us stands in for an event without time.
  void apply(const Event &ev, int64_t now_us);
  // About once a second: held sessions written when room appeared,
  // sessions of processes that are gone ended.
  void tick(int64_t now_us);
  // Waits (bounded) until the alarm reader has taken every change;
  // false when it did not.
  bool drain(int ms);

  size_t open() const { return open_.size(); }
  size_t held() const { return held_; }
  const Counters &counters() const { return counters_; }
  Counters &counters() { return counters_; }

 private:
  struct Session {
    uint32_t pid = 0;
    uint32_t number = 0;       // key word 1, and the alarm key
    bool written = false;      // its record is in the table
    Event start;               // what the start said (held sessions)
    int32_t start_s = 0;
    std::list<std::string>::iterator age;  // place in the eviction order
  };

  static std::string key_of(uint32_t pid, const std::string &sid);
  static Uint64 table_key(const Session &s);

  void start(const Event &ev, int32_t t);
  void fail(const Event &ev, int32_t t);
  void end(const Event &ev, int32_t t);
  Session *find(const Event &ev, std::string *key);
  Session &open_session(const std::string &key, const Event &ev, int32_t t,
                        uint32_t number);
  void close_session(const std::string &key);

  bool write_new(Session &s, const Mon_Conn_t &c, uint32_t events);
  bool write_start(Session &s);
  void write_end(const Session &s, const Event &ev, int32_t t);
  bool write_whole(Session &s, const Event &ev, int32_t t);
  void end_record(const Session &s, int32_t t);
  void bound_open(int32_t t);

  bool room();
  bool runs_here(uint32_t pid, int32_t t);
  void count_doomed();
  bool reader_moved() const;
  bool reader_attached() const;
  int pending_ended(std::vector<Uint64> *keys) const;
  void nap(int ms) const;

  Mon_Handle_t table_;
  Options options_;
  volatile const int *stop_;
  Counters counters_;
  std::unordered_map<std::string, Session> open_;
  std::list<std::string> order_;                 // open sessions, oldest first
  std::unordered_map<uint32_t, uint32_t> next_;  // next number per process
  std::unordered_map<uint32_t, size_t> per_pid_; // open sessions per process
  std::set<std::string> ended_;  // ended records found at a takeover
  struct Liveness {
    int32_t checked = 0;
    bool alive = false;
  };
  std::unordered_map<uint32_t, Liveness> alive_;  // per process, per second
  int room_left_ = 0;            // records known to fit without a wait
  bool full_ = false;            // a create failed: open records fill it
  size_t held_ = 0;
  bool adopted_ = false;         // sessions taken over from an earlier run
  bool reader_stuck_ = false;
  int32_t stuck_at_ = 0;         // when the reader was found stuck
  std::vector<Uint64> doomed_;   // unseen ended records a create may delete
};

}  // namespace bridge

#endif  // TW_BRIDGE_SESSIONS_H
