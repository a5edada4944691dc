// The feed script format: one line of connection events or pauses at a
// time, read into a Step.  monfeed writes the steps into the connection
// table; twcheck replays them without one.
#ifndef TW_TOOLS_FEEDSCRIPT_H
#define TW_TOOLS_FEEDSCRIPT_H

#include <netinet/in.h>
#include <stdint.h>

#include <string>

#include "monTypes.h"

namespace feedscript {

// Everything a start, update, error or end line may say.  Empty texts and
// absent addresses leave the record's field as it is.
struct Event {
  Uint64 key;
  int32_t time;       // the line's time=, else the current time
  bool hasTime = false;
  unsigned long auth = 0, cmd = 0, in = 0, out = 0, code = 0;
  bool hasCmd = false, hasIn = false, hasOut = false, hasCode = false;
  struct sockaddr_in src, proxy, dst;
  bool hasSrc = false, hasProxy = false, hasDst = false;
  std::string user, srcHost, app, proxyHost, dstHost, msg;
};

enum class Kind {
  kNone,  // a blank or comment line
  kStart, kUpdate, kError, kEnd,
  kSleep, kWaitReader, kWaitDrained
};

struct Step {
  Kind kind = Kind::kNone;
  Event ev;              // the four connection events
  double seconds = 0;    // sleep, or the waits' time limit
};

// Reads one script line.  False with *err saying why when it does not
// parse.  A key without a process id takes the caller's own.
bool ParseLine(const std::string &line, Step *step, std::string *err);

// A decimal number up to max.
bool ParseNum(const std::string &v, unsigned long max, unsigned long *out);

}  // namespace feedscript

#endif  // TW_TOOLS_FEEDSCRIPT_H
