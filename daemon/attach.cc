// Following the connection table through a proxy restart: the table file
// is removed or replaced and its semaphores go.  The daemon lets go of the
// old table, waits quietly for a live one, and attaches to it as before.
#include <syslog.h>
#include <time.h>

#include "audit.h"
#include "daemon.h"
#include "monMmap.h"
#include "runner.h"

namespace {

// Between attempts; a new table is seen well within 2 s.
const struct timespec kRetry = {0, 500 * 1000 * 1000};

}  // namespace

int table_watch(void *&handle) {
  if (!Mon_MmapReplaced(handle)) return 0;
  SYSLOG(LOG_WARNING, "connection table lost, waiting for a new one");
  Mon_MmapDrop(handle);
  handle = nullptr;
  for (;;) {
    handle_signals();  // a quit still ends the wait
    ALRM_action_queue.service();  // queued commands still run
    if (Mon_MmapLiveCreator() != 0) {
      if (Mon_MmapOpen(MON_ALARM_READER, &handle) == 0) break;
      Mon_MmapDrop(handle);
      handle = nullptr;
    }
    nanosleep(&kRetry, nullptr);
  }
  SYSLOG(LOG_NOTICE, "connection table back, attached again");
  return 1;
}
