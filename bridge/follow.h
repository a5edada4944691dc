// Following a log file the way "tail -F" does, line by line, with the
// position kept in a state file so that a restart neither repeats nor
// skips a line.
//
// The file may not exist yet (it is waited for), may be renamed away and
// a new one made at its name (the old one is read to its end first, then
// the new one from its start), or truncated in place (read again from its
// start).  "-" reads standard input.
#ifndef TW_BRIDGE_FOLLOW_H
#define TW_BRIDGE_FOLLOW_H

#include <stdint.h>
#include <sys/types.h>

#include <string>

namespace bridge {

class Follower {
 public:
  struct Options {
    // Start at the beginning of the file (else at its end, or where the
    // state file says).
    bool from_start = false;
    // Stop at the end of the file instead of waiting for more.
    bool stop_at_end = false;
    // Where the position is kept; empty for none.
    std::string state_path;
    // Longer lines are cut to this many bytes; the rest is skipped.
    size_t max_line = 8192;
  };

  Follower(const std::string &path, const Options &options);
  ~Follower();
  Follower(const Follower &) = delete;
  Follower &operator=(const Follower &) = delete;

  // Opens the input and, with a state file, goes to the position it
  // keeps when it names the same file (same device and inode, not
  // shorter than the position); else to the start or the end as the
  // options say.  A file not there yet is not an error (but is with
  // stop_at_end).  False, with error() set, when the state file cannot be
  // opened, read or locked or is damaged, when the file is there but
  // cannot be opened, or standard input cannot be read.
  bool open();

  // The next whole line, without its line end.  1: a line in *line
  // (*cut says whether it was longer than max_line and was cut);
  // 0: no whole line now (wait, then ask again); -1: the end (with
  // stop_at_end at the end of the file, or standard input closed).
  // A last line without a line end is returned only at the end with
  // stop_at_end, or when standard input closes.
  int next(std::string *line, bool *cut);

  // Waits up to ms milliseconds for more input; returns early when
  // fd_to_watch (when >= 0) becomes readable, so that a signal's
  // self-pipe ends the wait.
  void wait(int ms, int fd_to_watch);

  // Writes the position after the last line next() returned into the
  // state file, so that it survives SIGKILL (and, with sync, a power
  // cut).  A no-op without a state file or when nothing changed.
  bool save(bool sync = false);

  // Looks at the name again (SIGHUP): the same file is opened anew and
  // read on from the position; another file there is taken as a rotation.
  void reopen();

  // Bytes between the position and the end of the file now (0 for
  // standard input).
  uint64_t behind() const;

  // Why open() or save() failed; after next(), set when it met an error
  // (a file that cannot be read is dropped and looked for again).
  const std::string &error() const { return error_; }

 private:
  struct Impl;
  Impl *impl_;
  std::string error_;
};

}  // namespace bridge

#endif  // TW_BRIDGE_FOLLOW_H
