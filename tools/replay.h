// Replaying a feed script without a connection table: every connection is
// kept as the table's writer keeps it, every change is taken as the alarm
// reader takes it, at the script's time, and the record built from it is
// checked against the rule set exactly as the daemon checks it.
#ifndef TW_TOOLS_REPLAY_H
#define TW_TOOLS_REPLAY_H

#include <stdint.h>

#include <string>
#include <unordered_map>

#include "audit.h"
#include "feedscript.h"
#include "monMmap.h"

class Replay {
 public:
  // Lines without a time= happen at the script clock, which starts at
  // start_time, moves on with each sleep and never runs back.
  Replay(AlarmTable &table, int32_t start_time)
      : table_(table), clock_(start_time) {}

  // Applies one step; false with *err when it names no connection.
  bool Apply(const feedscript::Step &st, std::string *err);

  long records() const { return records_; }     // records checked
  long changes() const { return changes_; }     // changes taken
  size_t connections() const { return conns_.size(); }
  // The connection as the table would hold it, or null.
  const Mon_Conn_t *Find(Uint64 key) const;

 private:
  Replay(const Replay &) = delete;
  Replay &operator=(const Replay &) = delete;

  int32_t TimeOf(const feedscript::Event &ev);
  Mon_Conn_t *Existing(const char *what, const feedscript::Event &ev,
                       std::string *err);
  void Start(const feedscript::Event &ev, int32_t t);
  void Take(Mon_Conn_t &c, uint32_t change, int32_t t);
  void Cleanup();

  AlarmTable &table_;
  double clock_;
  uint32_t starts_ = 0;  // numbers the connections, as the writer does
  long records_ = 0;
  long changes_ = 0;
  std::unordered_map<uint64_t, Mon_Conn_t> conns_;
  Record rec_;
};

#endif  // TW_TOOLS_REPLAY_H
