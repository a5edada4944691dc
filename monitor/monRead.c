/*
 * A reader's batch: the changed connections of a scan taken under one hold
 * of the hash mutex, so that a busy writer and the reader trade the lock
 * once per batch instead of once per record.
 */
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "monErr.h"
#include "monMmapInt.h"

int Mon_MmapGetChanged(Mon_Handle_t handle, int32_t readTime,
                       int32_t *indexPtr, Mon_Conn_t *conns, int max)
{
    info_t *info = handle;
    Mon_Conn_t *rec;
    uint32_t mask, state;
    int shift, n = 0;

    if (info == NULL || info->addr == NULL) {
        MON_ERR("Mon_MmapGetChanged", MON_BAD_HANDLE);
        errno = ENOENT;
        return -1;
    }
    if (info->procId == 0 || max < 1) {
        MON_ERR("Mon_MmapGetChanged", "bad reader procId=%d", info->procId);
        errno = EINVAL;
        return -1;
    }
    if (monMmapPtr->procPid[info->procId] == 0)
        monMmapPtr->procPid[info->procId] = getpid();
    shift = MON_CHG_SHIFT(info->procId);
    mask = 7u << shift;

    if (MonLock(info->hashMutex) < 0) {
        *indexPtr = 0;
        return -1;
    }
    errno = 0;
    while (n < max && (rec = MonMmapScan(indexPtr)) != NULL) {
        if (!(__atomic_load_n(&rec->connState, __ATOMIC_ACQUIRE) & mask))
            continue;
        state = __atomic_fetch_and(&rec->connState, ~mask, __ATOMIC_ACQ_REL);
        memcpy(&conns[n], rec, sizeof *rec);
        conns[n].connState = ((state & mask) >> shift) | (state & MON_ACTIVE);
        if (readTime != 0)
            rec->readTime = readTime;
        n++;
    }
    MonUnlock(info->hashMutex);
    if (n == 0 && errno == EINVAL)
        return -1;
    return n;
}
