// Following the connection table through a proxy restart: the table file
// is removed or replaced and its semaphores go.  The daemon lets go of the
// old table, waits quietly for a live one, and attaches to it as before.
// A table that stops being fit to read is lost the same way: its file cut
// short under the mapping, its header damaged, its semaphores removed, or
// its lock held past the bound the daemon sets on every wait for it.
#include <errno.h>
#include <stdio.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "audit.h"
#include "daemon.h"
#include "metrics.h"
#include "monErr.h"
#include "monMmap.h"
#include "runner.h"
#include "stats.h"

sigjmp_buf table_fault_jump;
volatile sig_atomic_t table_fault_armed;

namespace {

// Between attempts; a new table is seen well within 2 s.
const struct timespec kRetry = {0, 500 * 1000 * 1000};

const char kTablePath[] = MON_MMAP_DIR MON_MMAP_NAME;
bool lost;             // "lost" said, "back" not yet
int usual_err_limit;   // the table library's bursts outside the wait

// The table's lock can be had: one step of a scan takes and gives it back.
bool lock_free(void *handle) {
  int32_t index = 0;
  MonMmapIterateConn(handle, &index);
  return Mon_MmapLockFailed(nullptr) == 0;
}

// Attaches to the table at the table's path when it is sound and its lock
// can be had; else lets go of it again.
bool attach(void *&handle) {
  bool opened = false, ok = false;
  if (!table_read([&] {
        opened = Mon_MmapOpen(MON_ALARM_READER, &handle) == 0;
        ok = opened && Mon_MmapSound(handle) == 0 && lock_free(handle);
      }))
    ok = false;
  if (!opened) table_refused(handle);  // a table of the wrong user: said once
  if (ok) return true;
  Mon_MmapDrop(handle);
  handle = nullptr;
  return false;
}

}  // namespace

void table_fault_signal(int) {
  if (!table_fault_armed) {
    signal(SIGBUS, SIG_DFL);  // not the table's: the fault comes again, fatal
    return;
  }
  table_fault_armed = 0;
  siglongjmp(table_fault_jump, 1);
}

void table_fault_unblock() {
  sigset_t bus;
  sigemptyset(&bus);
  sigaddset(&bus, SIGBUS);
  sigprocmask(SIG_UNBLOCK, &bus, nullptr);
}

void table_lost(void *&handle) {
  if (!lost) {
    SYSLOG(LOG_WARNING, "connection table lost, waiting for a new one");
    lost = true;
    usual_err_limit = mon_ErrLimit;
    mon_ErrLimit = 1;  // a failure met on every try is reported once
  }
  Mon_MmapDrop(handle);
  handle = nullptr;
  ALRM_stats.attached = false;
  for (;;) {
    handle_signals();  // a quit still ends the wait
    ALRM_action_queue.service();  // queued commands still run
    metrics_due();
    if (Mon_MmapLiveCreator() != 0 && attach(handle)) break;
    nanosleep(&kRetry, nullptr);
  }
  mon_ErrLimit = usual_err_limit;
  lost = false;
  SYSLOG(LOG_NOTICE, "connection table back, attached again");
  ALRM_stats.attached = true;
  table_attached(handle);
}

int table_watch(void *&handle) {
  int sound = -1;
  table_read([&] { sound = Mon_MmapSound(handle); });
  if (sound == 0) return 0;
  table_lost(handle);
  return 1;
}

bool table_unfit_at_start(void *handle) {
  int num;
  Mon_MmapLastErr(handle, &num);
  return num == EAGAIN || num == EINVAL ||
         (num == ENOENT && access(kTablePath, F_OK) == 0);
}

int table_read_failed(void *&handle) {
  int32_t waited = 0;
  int err = Mon_MmapLockFailed(&waited);
  if (err == EINTR) return 0;
  if (err == ETIMEDOUT) {
    char msg[64];
    snprintf(msg, sizeof msg, "connection table locked for %d s",
             static_cast<int>(waited / 1000));
    SYSLOG(LOG_WARNING, msg);
  }
  table_lost(handle);
  return 1;
}
