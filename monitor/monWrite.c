/*
 * The writer's side of the table: connections are created, started,
 * updated, failed and ended, each change marked for the attached readers,
 * and ended connections are deleted once every reader has taken them.
 */
#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <time.h>

#include "monErr.h"
#include "monMmapInt.h"

/* Starts made by this writer process; numbers reader 5's records. */
static uint32_t totStart;

/* A process that may still run; nothing at or below 0 is a process id. */
static int Alive(int32_t pid)
{
    return pid > 0 && !(kill(pid, 0) == -1 && errno == ESRCH);
}

/* Copies a text into a fixed-width field, zero-padded; a text as long as
 * the field fills it without a terminator.  Null or empty keeps the field. */
static void PutText(char *field, size_t size, const char *text)
{
    size_t n;

    if (text == NULL || text[0] == '\0')
        return;
    n = strnlen(text, size);
    memcpy(field, text, n);
    memset(field + n, 0, size - n);
}

static void PutAddr(struct sockaddr_in *field, const struct sockaddr_in *addr)
{
    if (addr != NULL)
        memcpy(field, addr, sizeof *field);
}

/*
 * Marks events (MON_CHG_* bits) for the readers.  The fields are written
 * before this is called, and the marks go in with one atomic or, so a
 * reader that takes the mark always copies the fields that go with it.
 */
static void Mark(Mon_Conn_t *rec, uint32_t event, uint32_t number)
{
    int32_t *procPid = monMmapPtr->procPid;
    uint32_t set = 0;
    int p;

    for (p = 1; p <= 4; p++)
        if (procPid[p] != 0)
            set |= event << MON_CHG_SHIFT(p);

    p = MON_ALARM_READER;
    if (event & MON_CHG_START) {
        if (procPid[p] != 0 && !Alive(procPid[p])) {
            procPid[p] = 0;
        } else if (procPid[p] != 0) {
            rec->alarmKey = number;
            set |= event << MON_CHG_SHIFT(p);
        }
    } else if (procPid[p] == 0) {
        __atomic_fetch_and(&rec->connState, ~MON_CHG_MASK(p), __ATOMIC_ACQ_REL);
    } else {
        set |= event << MON_CHG_SHIFT(p);
    }
    __atomic_fetch_or(&rec->connState, set, __ATOMIC_ACQ_REL);
}

/* Keeps three quarters of the slots at most in use, records and deleted
 * markers together, so that lookups stay short and always end. */
static void ApplyLoadPolicy(info_t *info)
{
    const MonMmap_t *hdr = monMmapPtr;
    int32_t n, limit;

    if (MonMmapSlots(&n) == NULL)   /* a bad header: nothing to size by */
        return;
    limit = MonLoadLimit(n);
    if (hdr->nCurConn > limit) {
        MonMmapCleanup(info, 1);
        ResizeHashTable(info, 3 * n / 2);
    } else if ((int64_t)hdr->nCurConn + hdr->nDelConn > limit) {
        ResizeHashTable(info, n);
    }
}

/* Finds or makes the record for key; the caller holds the hash mutex.
 * *slotPtr is -1 when the array has no room for a new key (or the header
 * none at all); *slotsPtr is the array the slot is in. */
static Mon_Conn_t *FindOrAlloc(info_t *info, Uint64 key, uint32_t **slotsPtr,
                               int32_t *slotPtr, int *isNew)
{
    int32_t slot = MonHashLookup(key, slotsPtr);
    uint32_t off;

    *slotPtr = slot;
    *isNew = 0;
    if (slot < 0)
        return NULL;
    off = (*slotsPtr)[slot];
    if (MonGoodRecordOff(off))
        return MON_PTR(off);
    *isNew = 1;
    return MmapAlloc(info, sizeof(Mon_Conn_t));
}

Mon_Conn_t *MonMmapCreateConn(Mon_Handle_t handle, Uint64 key)
{
    info_t *info = handle;
    Mon_Conn_t *rec;
    uint32_t *slots;
    int32_t slot;
    int isNew;

    if (info == NULL) {
        MON_ERR("MonMmapCreateConn", MON_BAD_HANDLE);
        return NULL;
    }
    ApplyLoadPolicy(info);

    if (MonLock(info->hashMutex) < 0)
        return NULL;
    rec = FindOrAlloc(info, key, &slots, &slot, &isNew);
    if (rec == NULL) {
        /* No memory or no slot: the full cleanup deletes every ended
         * record.  It takes the hash mutex itself: let go of it, and look
         * the key up again afterwards, first dropping the markers it left
         * when they are all the room there is. */
        MonUnlock(info->hashMutex);
        MonMmapCleanup(info, 1);
        if (MonLock(info->hashMutex) < 0)
            return NULL;
        if (HashIndex(key) < 0)
            MonRehashInPlace();
        rec = FindOrAlloc(info, key, &slots, &slot, &isNew);
    }
    if (rec != NULL) {
        memset(rec, 0, sizeof *rec);
        rec->key = key;
        slots[slot] = MON_OFF(rec);
        if (isNew)
            monMmapPtr->nCurConn++;
    }
    MonUnlock(info->hashMutex);

    if (rec == NULL && slot < 0) {
        MON_ERR("MonMmapCreateConn", "%s: hash table full, key=<%lu,%lu>",
                "MonMmapCreateConn", (unsigned long)key.word[0],
                (unsigned long)key.word[1]);
        errno = ENOSPC;
    } else if (rec == NULL) {
        MON_ERR("MonMmapCreateConn", "%s: allocate failed, key=<%lu,%lu>",
                "MonMmapCreateConn", (unsigned long)key.word[0],
                (unsigned long)key.word[1]);
    }
    return rec;
}

/* A free-list link that leads to a block header inside the mapping. */
static int GoodLink(uint32_t p)
{
    return p >= offsetof(MonMmap_t, base) && p % sizeof(MonMmapHeader_t) == 0 &&
           p <= monMmapSize - sizeof(MonMmapHeader_t);
}

/* Records that fit in the free blocks, less room for one more hash array
 * of n slots (a rebuild makes the new array before it frees the old). */
static int32_t FreeRecords(int32_t n)
{
    const MonMmap_t *hdr = monMmapPtr;
    const uint32_t unit = sizeof(MonMmapHeader_t);
    const uint32_t recUnits = MonUnitsFor(sizeof(Mon_Conn_t));
    uint32_t reserve = MonUnitsFor((uint32_t)n * 4);
    uint32_t p = hdr->freeOff, steps, units, fit = 0, spare = 0;

    if (p == 0)        /* the arena is not laid out yet */
        return (int32_t)MonArenaRecords(monMmapSize, 0);
    for (steps = 0; steps <= monMmapSize / unit && GoodLink(p); steps++) {
        p = ((const MonMmapHeader_t *)MON_PTR(p))->off;
        if (!GoodLink(p))
            break;
        units = ((const MonMmapHeader_t *)MON_PTR(p))->nUnits;
        fit += units / recUnits;
        spare = units % recUnits > spare ? units % recUnits : spare;
        if (p == hdr->freeOff)
            break;
    }
    /* No block has the array's room to spare: it takes records' room. */
    if (spare < reserve)
        fit = fit > MonReserveRecords(n) ? fit - MonReserveRecords(n) : 0;
    return (int32_t)fit;
}

int MonMmapRoom(Mon_Handle_t handle)
{
    info_t *info = handle;
    const MonMmap_t *hdr = monMmapPtr;
    int32_t n, limit, room = 0;

    if (info == NULL || hdr == NULL) {
        MON_ERR("MonMmapRoom", MON_BAD_HANDLE);
        return 0;
    }
    if (MonLock(info->hashMutex) < 0)
        return 0;
    if (MonLock(info->freeMutex) < 0) {
        MonUnlock(info->hashMutex);
        return 0;
    }
    if (MonMmapSlots(&n) != NULL) {
        limit = MonLoadLimit(n);
        room = hdr->nCurConn > limit || hdr->nCurConn < 0 ? 0 :
               limit + 1 - hdr->nCurConn;
        if (FreeRecords(n) < room)
            room = FreeRecords(n);
    }
    MonUnlock(info->freeMutex);
    MonUnlock(info->hashMutex);
    return room;
}

int MonMmapDeleteConn(Mon_Handle_t handle, Uint64 key)
{
    info_t *info = handle;
    uint32_t *slots, off = 0;
    int32_t slot;

    if (info == NULL) {
        MON_ERR("MonMmapDeleteConn", MON_BAD_HANDLE);
        return 0;
    }
    if (MonLock(info->hashMutex) < 0)
        return -1;
    slot = MonHashLookup(key, &slots);
    if (slot >= 0)
        off = slots[slot];
    if (MonGoodRecordOff(off)) {
        void *rec = MON_PTR(off);
        slots[slot] = 1;
        MmapFree(info, rec);
        monMmapPtr->nCurConn--;
        monMmapPtr->nDelConn++;
    }
    MonUnlock(info->hashMutex);
    return 0;
}

/* Full cleanup: readers 1-4 that have not taken the last change are told
 * with SIGINT; all marks are then dropped. */
static void ForceTaken(Mon_Conn_t *rec)
{
    uint32_t state = __atomic_load_n(&rec->connState, __ATOMIC_ACQUIRE);
    const int32_t *procPid = monMmapPtr->procPid;
    int p;

    for (p = 1; p <= 4; p++)
        if (procPid[p] > 0 && (state & MON_CHG_MASK(p)))
            kill(procPid[p], SIGINT);
    __atomic_store_n(&rec->connState, 0, __ATOMIC_RELEASE);
}

/* Records a cleanup takes per hold of the hash mutex: a table of
 * thousands is walked with few lock round trips. */
#define CLEANUP_BATCH 64

/* The last serving process probed in one cleanup; records of one
 * process often come one after another. */
typedef struct {
    uint32_t server;
    int alive;
} Probe_t;

static int ServerGone(Probe_t *probe, uint32_t server)
{
    if (server == 0 || server > INT32_MAX)
        return 0;
    if (server != probe->server) {
        probe->server = server;
        probe->alive = Alive((int32_t)server);
    }
    return !probe->alive;
}

static void CleanRecord(Mon_Handle_t handle, Mon_Conn_t *rec, Boolean_t all,
                        Probe_t *probe)
{
    if ((__atomic_load_n(&rec->connState, __ATOMIC_ACQUIRE) & MON_ACTIVE) &&
        ServerGone(probe, rec->key.word[0]))
        MonMmapEndConn(handle, rec->key, (int32_t)time(NULL));
    if (__atomic_load_n(&rec->connState, __ATOMIC_ACQUIRE) & MON_ACTIVE)
        return;
    if (all)
        ForceTaken(rec);
    if (__atomic_load_n(&rec->connState, __ATOMIC_ACQUIRE) == 0)
        MonMmapDeleteConn(handle, rec->key);
}

int MonMmapCleanup(Mon_Handle_t handle, Boolean_t all)
{
    info_t *info = handle;
    Mon_Conn_t *batch[CLEANUP_BATCH];
    Probe_t probe = { 0, 1 };
    int32_t index = 0;
    int n, i;

    if (info == NULL) {
        MON_ERR("MonMmapCleanup", MON_BAD_HANDLE);
        return 0;
    }
    do {
        if (MonLock(info->hashMutex) < 0)
            return 0;
        for (n = 0; n < CLEANUP_BATCH && (batch[n] = MonMmapScan(&index)) != NULL; n++)
            ;
        MonUnlock(info->hashMutex);
        for (i = 0; i < n; i++)
            CleanRecord(handle, batch[i], all, &probe);
    } while (n == CLEANUP_BATCH);
    return 0;
}

int MonMmapStartConn(Mon_Handle_t handle, Uint64 key, int32_t startTime,
                     uint8_t authorize, const char *userName,
                     const struct sockaddr_in *srcSockAddrPtr,
                     const char *srcHostName)
{
    Mon_Conn_t *rec = MonMmapCreateConn(handle, key);

    if (rec == NULL)
        return -1;
    rec->startTime = startTime;
    rec->authorize = authorize;
    PutText(rec->userName, sizeof rec->userName, userName);
    PutAddr(&rec->srcSockAddr, srcSockAddrPtr);
    PutText(rec->srcHostName, sizeof rec->srcHostName, srcHostName);
    __atomic_fetch_or(&rec->connState, MON_ACTIVE, __ATOMIC_ACQ_REL);
    Mark(rec, MON_CHG_START, totStart);
    if (++totStart % 10 == 0)
        MonMmapCleanup(handle, 0);
    return 0;
}

/* Everything of a connection but its key, marks, alarm key and the
 * readers' time. */
static void PutFields(Mon_Conn_t *rec, const Mon_Conn_t *conn)
{
    rec->startTime = conn->startTime;
    rec->curTime = conn->curTime;
    rec->endTime = conn->endTime;
    rec->inTotBytes = conn->inTotBytes;
    rec->outTotBytes = conn->outTotBytes;
    rec->socksErrType = conn->socksErrType;
    rec->srcSockAddr = conn->srcSockAddr;
    rec->proxySockAddr = conn->proxySockAddr;
    rec->dstSockAddr = conn->dstSockAddr;
    rec->authorize = conn->authorize;
    rec->socksCmd = conn->socksCmd;
    memcpy(rec->userName, conn->userName, sizeof rec->userName);
    memcpy(rec->applicName, conn->applicName, sizeof rec->applicName);
    memcpy(rec->srcHostName, conn->srcHostName, sizeof rec->srcHostName);
    memcpy(rec->proxyHostName, conn->proxyHostName, sizeof rec->proxyHostName);
    memcpy(rec->dstHostName, conn->dstHostName, sizeof rec->dstHostName);
    memcpy(rec->socksErrMsg, conn->socksErrMsg, sizeof rec->socksErrMsg);
}

static void Release(Mon_Handle_t handle)
{
    MonUnlock(((info_t *)handle)->hashMutex);
}

int MonMmapWriteConn(Mon_Handle_t handle, Uint64 key, const Mon_Conn_t *conn,
                     uint32_t events)
{
    Mon_Conn_t *rec = MonMmapHold(handle, key);

    if (rec == NULL)
        return -1;
    PutFields(rec, conn);
    if (conn->connState & MON_ACTIVE)
        __atomic_fetch_or(&rec->connState, MON_ACTIVE, __ATOMIC_ACQ_REL);
    else
        __atomic_fetch_and(&rec->connState, ~MON_ACTIVE, __ATOMIC_ACQ_REL);
    Mark(rec, events & 7u, conn->alarmKey);
    Release(handle);
    if ((events & MON_CHG_START) && ++totStart % 10 == 0)
        MonMmapCleanup(handle, 0);
    return 0;
}

int MonMmapUpdateConn(Mon_Handle_t handle, Uint64 key, int32_t curTime,
                      uint32_t inTotBytes, uint32_t outTotBytes,
                      uint8_t socksCmd, const char *applicName,
                      const struct sockaddr_in *proxySockAddrPtr,
                      const char *proxyHostName,
                      const struct sockaddr_in *dstSockAddrPtr,
                      const char *dstHostName)
{
    Mon_Conn_t *rec = MonMmapHold(handle, key);

    if (rec == NULL)
        return -1;
    rec->curTime = curTime;
    rec->inTotBytes = inTotBytes;
    rec->outTotBytes = outTotBytes;
    rec->socksCmd = socksCmd;
    PutText(rec->applicName, sizeof rec->applicName, applicName);
    PutAddr(&rec->proxySockAddr, proxySockAddrPtr);
    PutText(rec->proxyHostName, sizeof rec->proxyHostName, proxyHostName);
    PutAddr(&rec->dstSockAddr, dstSockAddrPtr);
    PutText(rec->dstHostName, sizeof rec->dstHostName, dstHostName);
    Mark(rec, MON_CHG_UPDATE, 0);
    Release(handle);
    return 0;
}

int MonMmapErrConn(Mon_Handle_t handle, Uint64 key, int32_t curTime,
                   uint32_t socksErrType, const char *socksErrMsg)
{
    Mon_Conn_t *rec = MonMmapHold(handle, key);

    if (rec == NULL)
        return -1;
    rec->curTime = curTime;
    rec->socksErrType = socksErrType;
    PutText(rec->socksErrMsg, sizeof rec->socksErrMsg, socksErrMsg);
    Mark(rec, MON_CHG_ERROR, 0);
    Release(handle);
    return 0;
}

int MonMmapEndConn(Mon_Handle_t handle, Uint64 key, int32_t endTime)
{
    Mon_Conn_t *rec = MonMmapHold(handle, key);

    if (rec == NULL)
        return -1;
    rec->endTime = endTime;
    __atomic_fetch_and(&rec->connState, ~MON_ACTIVE, __ATOMIC_ACQ_REL);
    Mark(rec, MON_CHG_UPDATE, 0);
    Release(handle);
    return 0;
}
