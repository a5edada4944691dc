// The history store.
#include <signal.h>
#include <stdio.h>
#include <time.h>

#include "audit.h"

// Rewrites the history files.  Dropping the items older than the keep
// time arrives with the aggregates' history records; what is here already
// is the frame: the quit and interrupt signals held back for the whole
// rewrite, and the trace notice with the cut-off.
int Database::refresh() {
  sigset_t quit, intr;
  sigemptyset(&quit);
  sigaddset(&quit, SIGQUIT);
  sigemptyset(&intr);
  sigaddset(&intr, SIGINT);
  sigprocmask(SIG_BLOCK, &quit, nullptr);
  sigprocmask(SIG_BLOCK, &intr, nullptr);

  int cutoff = static_cast<int>(time(nullptr)) - ALRM_table_ptr->get_keep();
  if (ALRM_table_ptr->trace()) {
    fprintf(stderr, "refresh database: removing everything before %d", cutoff);
    fflush(stderr);
  }

  sigprocmask(SIG_UNBLOCK, &intr, nullptr);
  sigprocmask(SIG_UNBLOCK, &quit, nullptr);
  return 0;
}
