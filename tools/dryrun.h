// What a dry run puts in place of the daemon's side effects: a sink that
// shows each command line instead of running it, and history files that
// are scratch copies in a temporary directory.
#ifndef TW_TOOLS_DRYRUN_H
#define TW_TOOLS_DRYRUN_H

#include <stdio.h>

#include "audit.h"

// Prints "would run: LINE" or "suppressed: LINE" and counts them.
class PrintSink : public ActionSink {
 public:
  explicit PrintSink(FILE *out) : out_(out) {}
  void run(int id, const char *line) override;
  void suppressed(int id, const char *line) override;
  bool reports_suppressed() const override { return true; }

  long ran = 0;
  long held = 0;  // suppressed

 private:
  FILE *out_;
};

// Opens the rule set's history on copies, in a new temporary directory,
// of the files of base (base1 and base2, .pag and .dir), or on empty files
// when base is null.  The live files are only read; the records of the
// copies are held in memory (NdbmStore::hold).  The directory goes when the
// program exits; failures stop the program.
void open_scratch_history(AlarmTable &table, const char *base);

#endif  // TW_TOOLS_DRYRUN_H
