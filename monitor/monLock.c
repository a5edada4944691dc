/*
 * Taking the table's mutexes, and how long this process waits for them.
 * By default a lock is waited for as long as it is held; a process that
 * must stay responsive sets a bound, and a lock it does not get then fails
 * the table operation that asked for it.
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "monErr.h"
#include "monMmapInt.h"

#define SLICE_MS     200   /* longest single wait, between looks at giveUp */
#define LAST_TRY_MS  50    /* a try once the bound is spent */

static int32_t waitMs;          /* 0: for ever */
static int (*giveUp)(void);
static int lastErr;             /* why the last lock was not taken */
static int32_t lastWaited;      /* how long it was waited for */
static int64_t since = -1;      /* first try for a lock not taken since */

static int64_t NowMs(void)
{
    struct timespec t;

    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

void Mon_MmapSetLockWait(int32_t ms, int (*stop)(void))
{
    waitMs = ms > 0 ? ms : 0;
    giveUp = stop;
    since = -1;
}

int Mon_MmapLockFailed(int32_t *waitedMsPtr)
{
    if (waitedMsPtr != NULL)
        *waitedMsPtr = lastErr != 0 ? lastWaited : 0;
    return lastErr;
}

/* The error kept in the mutex handle, in errno too. */
static int MutexErr(Mon_Handle_t mutex)
{
    int num;
    char msg[MON_ERRMSG_LEN];

    MonMutexLastErr(mutex, &num, msg);
    errno = num;
    return num;
}

/* The time still allowed, in one slice; a wait interrupted earlier counts
 * on from its first try. */
static int32_t Slice(int64_t now)
{
    int64_t left = since + waitMs - now;

    if (left < LAST_TRY_MS)
        return LAST_TRY_MS;
    return left < SLICE_MS ? (int32_t)left : SLICE_MS;
}

static int Bounded(Mon_Handle_t mutex)
{
    int64_t now = NowMs();
    int err;

    if (since < 0)
        since = now;
    for (;;) {
        if (giveUp != NULL && giveUp()) {
            err = EINTR;
            break;
        }
        if (MonMutexRequestWithin(mutex, Slice(now)) == 0) {
            since = -1;
            lastErr = 0;
            return 0;
        }
        err = MutexErr(mutex);
        now = NowMs();
        if (err != EAGAIN)
            break;
        if (now - since >= waitMs) {
            err = ETIMEDOUT;
            break;
        }
    }
    lastErr = err;
    lastWaited = (int32_t)(now - since);
    errno = err;
    return -1;
}

/* Reports a failure kept in the mutex handle; its error number in errno. */
static int Report(const char *name, Mon_Handle_t mutex)
{
    int num;
    char msg[MON_ERRMSG_LEN];

    MonMutexLastErr(mutex, &num, msg);
    errno = num;
    MON_SYS_ERR(name, "%s", msg);
    return num;
}

/* Without a bound a failure (the semaphore gone) is reported and the
 * operation goes on, as the table's writers always have. */
int MonLock(Mon_Handle_t mutex)
{
    if (waitMs > 0)
        return Bounded(mutex);
    lastErr = MonMutexRequest(mutex) == 0 ? 0 : Report("MonMutexRequest", mutex);
    lastWaited = 0;
    return 0;
}

void MonUnlock(Mon_Handle_t mutex)
{
    if (MonMutexRelease(mutex) != 0)
        Report("MonMutexRelease", mutex);
}
