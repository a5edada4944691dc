/*
 * Dynamic memory inside the table region, and the hash index that finds a
 * connection record by its key.  Everything is kept as offsets from the
 * region start, so it works wherever a process maps the region.
 */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "monErr.h"
#include "monMmapInt.h"

#define UNIT  sizeof(MonMmapHeader_t)
#define HDR(off)  ((MonMmapHeader_t *)MON_PTR(off))

static void SetErr(info_t *info, int num, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Allocator failures are kept in the handle and errno, not displayed. */
static void SetErr(info_t *info, int num, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    vsnprintf(info->errMsg, sizeof info->errMsg, fmt, ap);
    va_end(ap);
    info->errNum = num;
    errno = num;
}

/* The most free-list links a sane arena can have; walking further means
 * the list is damaged (or a block is freed twice). */
static uint32_t MaxSteps(void)
{
    return monMmapSize / UNIT + 2;
}

/* A block header the free list may lead to: the anchor, or 8-aligned in
 * the arena.  The list lies in the shared file, so each link is checked
 * before it is followed. */
static int GoodBlock(uint32_t off)
{
    return off == offsetof(MonMmap_t, base) ||
           (off >= MON_ARENA_OFF && off % UNIT == 0 &&
            off <= monMmapSize - UNIT);
}

/* Whether a block of units units at off ends inside the mapping. */
static int Fits(uint32_t off, uint32_t units)
{
    return (uint64_t)off + units * UNIT <= monMmapSize;
}

/* First use: the anchor points at itself, and the arena is cut into
 * blocks of at most MON_MAX_UNITS units (one block in the default table),
 * each handed to MmapFree to be linked in.  The first search starts at
 * the first block. */
static void InitArena(info_t *info)
{
    MonMmap_t *hdr = monMmapPtr;
    uint32_t off = MON_ARENA_OFF, left = (monMmapSize - MON_HDR_SIZE) / UNIT;
    uint32_t units;

    hdr->base.off = hdr->freeOff = offsetof(MonMmap_t, base);
    hdr->base.nUnits = 0;
    for (; left > 0; off += units * UNIT, left -= units) {
        units = left < MON_MAX_UNITS ? left : MON_MAX_UNITS;
        HDR(off)->nUnits = (uint16_t)units;
        MmapFree(info, MON_PTR(off + UNIT));
    }
    hdr->freeOff = offsetof(MonMmap_t, base);
}

void *MmapAlloc(Mon_Handle_t handle, unsigned nBytes)
{
    info_t *info = handle;
    MonMmap_t *hdr = monMmapPtr;
    uint64_t units = ((uint64_t)nBytes + UNIT - 1) / UNIT + 1;
    uint32_t prev, cand, taken = 0, steps;

    if (info == NULL) {
        MON_ERR("MmapAlloc", MON_BAD_HANDLE);
        errno = EINVAL;
        return NULL;
    }
    /* The header must give the size this process mapped. */
    if (hdr == NULL || hdr->size != monMmapSize) {
        SetErr(info, EFAULT, "%s: no mmap()'d memory", "MmapAlloc");
        return NULL;
    }
    if (hdr->freeOff == 0)
        InitArena(info);

    if (MonLock(info->freeMutex) < 0) {
        SetErr(info, errno, "%s: lock not taken", "MmapAlloc");
        return NULL;
    }
    prev = hdr->freeOff;
    cand = GoodBlock(prev) ? HDR(prev)->off : 0;
    for (steps = 0; steps < MaxSteps() && GoodBlock(cand); steps++) {
        MonMmapHeader_t *c = HDR(cand);
        uint32_t have = c->nUnits;

        if (!Fits(cand, have))
            break;
        if (have >= units) {
            if (have == units) {
                HDR(prev)->off = c->off;
                taken = cand;
            } else {
                c->nUnits = (uint16_t)(have - units);
                taken = cand + (have - (uint32_t)units) * UNIT;
                HDR(taken)->nUnits = (uint16_t)units;
            }
            hdr->freeOff = prev;
            break;
        }
        if (cand == hdr->freeOff)
            break;
        prev = cand;
        cand = c->off;
    }
    MonUnlock(info->freeMutex);

    if (taken == 0) {
        SetErr(info, ENOMEM, "%s: no more free memory", "MmapAlloc");
        return NULL;
    }
    return MON_PTR(taken + UNIT);
}

/* Whether block lo reaches into block hi (the anchor has no extent). */
static int Overlaps(uint32_t lo, uint32_t hi)
{
    return lo < hi && lo + HDR(lo)->nUnits * UNIT > hi;
}

void MmapFree(Mon_Handle_t handle, void *ptr)
{
    info_t *info = handle;
    MonMmap_t *hdr = monMmapPtr;
    uintptr_t at = (uintptr_t)ptr, base = (uintptr_t)hdr;
    uint32_t b, p, succ = 0, steps;

    if (info == NULL) {
        MON_ERR("MmapFree", MON_BAD_HANDLE);
        return;
    }
    /* The block's header must lie inside the arena, never on the anchor. */
    if (hdr == NULL || at < base + MON_ARENA_OFF + UNIT ||
        at > base + monMmapSize - 4 || (at - base) % UNIT != 0) {
        SetErr(info, EFAULT, "%s: can't free bad addr=0x%lx", "MmapFree",
               (unsigned long)at);
        return;
    }
    b = (uint32_t)(at - base) - UNIT;

    if (MonLock(info->freeMutex) < 0) {
        SetErr(info, errno, "%s: lock not taken", "MmapFree");
        return;
    }
    p = hdr->freeOff;
    for (steps = 0; steps < MaxSteps(); steps++) {
        if (!GoodBlock(p) || !GoodBlock(succ = HDR(p)->off)) {
            steps = MaxSteps();     /* a link out of the arena */
            break;
        }
        if (b > p && b < succ)
            break;
        if (p >= succ && (b > p || b < succ))
            break;
        p = succ;
    }
    /* A block that overlaps a free one was never handed out, or is freed
     * twice: linking it in would corrupt the list. */
    if (steps >= MaxSteps() || Overlaps(p, b) || Overlaps(b, succ)) {
        MonUnlock(info->freeMutex);
        SetErr(info, EFAULT, "%s: can't free bad addr=0x%lx", "MmapFree",
               (unsigned long)at);
        return;
    }
    /* Neighbours merge only into a block nUnits can still count. */
    if (b + HDR(b)->nUnits * UNIT == succ &&
        HDR(b)->nUnits + HDR(succ)->nUnits <= MON_MAX_UNITS) {
        HDR(b)->nUnits += HDR(succ)->nUnits;
        HDR(b)->off = HDR(succ)->off;
    } else {
        HDR(b)->off = succ;
    }
    if (p + HDR(p)->nUnits * UNIT == b &&
        HDR(p)->nUnits + HDR(b)->nUnits <= MON_MAX_UNITS) {
        HDR(p)->nUnits += HDR(b)->nUnits;
        HDR(p)->off = HDR(b)->off;
    } else {
        HDR(p)->off = b;
    }
    hdr->freeOff = p;
    MonUnlock(info->freeMutex);
}

/* Odd candidates only. */
static int IsPrime(int32_t cand)
{
    int32_t d;

    for (d = 3; d <= cand / d; d += 2)
        if (cand % d == 0)
            return 0;
    return 1;
}

int32_t Prime(int32_t n)
{
    int32_t cand = n <= 4 ? 5 : n;

    if (cand % 2 == 0)
        cand++;
    while (!IsPrime(cand))
        cand += 2;
    return cand;
}

int32_t Hash(Uint64 key, int32_t maxHash)
{
    static const uint8_t sConstants[8] = { 0, 24, 3, 21, 5, 19, 7, 17 };
    const uint8_t *byte = (const uint8_t *)&key;
    uint32_t h = 0;
    int i;

    if (maxHash <= 0)
        return 0;
    for (i = 0; i < 8; i++)
        h ^= (uint32_t)byte[i] << sConstants[i];
    return (int32_t)(h % (uint32_t)maxHash);
}

static int SameKey(uint32_t off, Uint64 key)
{
    const Mon_Conn_t *rec = MON_PTR(off);

    return rec->key.word[0] == key.word[0] && rec->key.word[1] == key.word[1];
}

/* Double-hash first step, linear probing after it; deleted markers never
 * stop the search and are never handed out, and neither does a slot
 * holding an offset no record can have (it is passed over, never
 * followed).  Every slot has been tried after n + 2 probes. */
static int32_t Find(const uint32_t *slots, int32_t n, Uint64 key)
{
    int32_t slot = Hash(key, n), tries;
    uint32_t off;

    for (tries = 0; tries < n + 2; tries++) {
        off = __atomic_load_n(&slots[slot], __ATOMIC_RELAXED);
        if (off == 0)
            return slot;
        if (MonGoodRecordOff(off) && SameKey(off, key))
            return slot;
        slot = tries == 0 ? Hash(key, n - 4) : (slot + 1) % n;
    }
    return -1;
}

int32_t MonHashLookup(Uint64 key, uint32_t **slotsPtr)
{
    int32_t n;

    if ((*slotsPtr = MonMmapSlots(&n)) == NULL) {
        errno = EINVAL;
        return -1;
    }
    return Find(*slotsPtr, n, key);
}

int32_t HashIndex(Uint64 key)
{
    uint32_t *slots;

    return MonHashLookup(key, &slots);
}

/* Records the array's slots point to. */
static int32_t CountRecords(const uint32_t *slots, int32_t n)
{
    int32_t i, count = 0;

    for (i = 0; i < n; i++)
        count += MonGoodRecordOff(slots[i]);
    return count;
}

/* Offsets of records are multiples of 8: bit 1 tags a record that the
 * rebuild in place has not put back yet. */
#define UNPLACED 2u

/* Puts the record at off on the first empty or unplaced slot of its key's
 * probe sequence; returns the unplaced record it pushed out, or 0. */
static uint32_t Place(uint32_t *slots, int32_t n, uint32_t off)
{
    Uint64 key = ((const Mon_Conn_t *)MON_PTR(off))->key;
    int32_t slot = Hash(key, n), tries;
    uint32_t was;

    for (tries = 0; tries < n + 2; tries++) {
        was = slots[slot];
        if (was == 0 || (was & UNPLACED)) {
            slots[slot] = off;
            return was & ~UNPLACED;
        }
        slot = tries == 0 ? Hash(key, n - 4) : (slot + 1) % n;
    }
    return 0;   /* not reached: a slot is free for every record in hand */
}

/*
 * Rebuilds the array where it lies, without memory: markers become empty
 * slots and every record goes where a lookup of its key finds it; an
 * offset no record can have is dropped, and the records are counted
 * anew.  A placed slot is never touched again, so the slots a lookup
 * passes before its key all hold records.  The caller holds the hash
 * mutex, so readers never see the array half done.
 */
void MonRehashInPlace(void)
{
    int32_t n, i;
    uint32_t *slots = MonMmapSlots(&n);
    uint32_t off;

    if (slots == NULL)
        return;
    for (i = 0; i < n; i++)
        slots[i] = MonGoodRecordOff(slots[i]) ? slots[i] | UNPLACED : 0;
    for (i = 0; i < n; i++) {
        if (!(slots[i] & UNPLACED))
            continue;
        off = slots[i] & ~UNPLACED;
        slots[i] = 0;
        while (MonGoodRecordOff(off))
            off = Place(slots, n, off);
    }
    monMmapPtr->nCurConn = CountRecords(slots, n);
    monMmapPtr->nDelConn = 0;
}

int CreateHashTable(Mon_Handle_t handle, int32_t nMaxConn)
{
    info_t *info = handle;
    int32_t n;
    uint32_t *slots;

    if (info == NULL) {
        MON_ERR("CreateHashTable", MON_BAD_HANDLE);
        errno = EINVAL;
        return -1;
    }
    n = Prime(nMaxConn);
    if ((slots = MmapAlloc(info, n * sizeof *slots)) == NULL) {
        MON_ERR("CreateHashTable", "failed to allocate hash table conns=%d", n);
        return -1;
    }
    if (MonLock(info->hashMutex) < 0) {
        MmapFree(info, slots);
        return -1;
    }
    memset(slots, 0, n * sizeof *slots);
    monMmapPtr->connOff = MON_OFF(slots);
    monMmapPtr->nMaxConn = n;
    monMmapPtr->nCurConn = 0;
    monMmapPtr->nDelConn = 0;
    MonUnlock(info->hashMutex);
    return 0;
}

/* Moves the records of old into the empty array slots of n slots, which
 * the header then names; offsets no record can have stay behind. */
static void Move(const uint32_t *old, int32_t oldN, uint32_t *slots, int32_t n)
{
    MonMmap_t *hdr = monMmapPtr;
    int32_t i, slot;
    uint32_t off;

    for (i = 0; old != NULL && i < oldN; i++) {
        off = old[i];
        if (!MonGoodRecordOff(off))
            continue;
        slot = Find(slots, n, ((const Mon_Conn_t *)MON_PTR(off))->key);
        if (slot >= 0)
            slots[slot] = off;
    }
    hdr->nMaxConn = n;
    hdr->nCurConn = CountRecords(slots, n);
    hdr->nDelConn = 0;
    hdr->connOff = MON_OFF(slots);
}

int ResizeHashTable(Mon_Handle_t handle, int32_t nMaxConn)
{
    info_t *info = handle;
    MonMmap_t *hdr = monMmapPtr;
    uint32_t *slots = NULL, *old;
    int32_t n, oldN = 0;

    if (info == NULL) {
        MON_ERR("ResizeHashTable", MON_BAD_HANDLE);
        errno = EINVAL;
        return -1;
    }
    n = Prime(nMaxConn);
    /* An array too small for the records would lose some of them. */
    if (n >= hdr->nCurConn)
        slots = MmapAlloc(info, n * sizeof *slots);
    if (slots == NULL) {
        /* Without a new array the markers still go, in place, so that
         * they never fill the array for good. */
        if (MonLock(info->hashMutex) < 0)
            return -1;
        MonRehashInPlace();
        MonUnlock(info->hashMutex);
        if (n == hdr->nMaxConn)
            return 0;
        MON_ERR("ResizeHashTable", "failed to resize hash table, conns=%d", n);
        return -1;
    }
    memset(slots, 0, n * sizeof *slots);

    if (MonLock(info->hashMutex) < 0) {
        MmapFree(info, slots);
        return -1;
    }
    old = MonMmapSlots(&oldN);
    Move(old, oldN, slots, n);
    MonUnlock(info->hashMutex);

    if (old != NULL)
        MmapFree(info, old);
    return 0;
}

/* Null with errno ESRCH when no record has the key, EINVAL for a bad
 * header, or the lock's error. */
Mon_Conn_t *MonMmapHold(Mon_Handle_t handle, Uint64 key)
{
    info_t *info = handle;
    uint32_t *slots, off = 0;
    int32_t slot;

    if (info == NULL) {
        MON_ERR("MonMmapConnPtr", MON_BAD_HANDLE);
        errno = EINVAL;
        return NULL;
    }
    if (MonLock(info->hashMutex) < 0)
        return NULL;
    slot = MonHashLookup(key, &slots);
    if (slot >= 0)
        off = __atomic_load_n(&slots[slot], __ATOMIC_RELAXED);
    if (MonGoodRecordOff(off))
        return MON_PTR(off);
    MonUnlock(info->hashMutex);
    errno = slots != NULL ? ESRCH : EINVAL;
    return NULL;
}

Mon_Conn_t *MonMmapConnPtr(Mon_Handle_t handle, Uint64 key)
{
    Mon_Conn_t *rec = MonMmapHold(handle, key);

    if (rec != NULL)
        MonUnlock(((info_t *)handle)->hashMutex);
    return rec;
}
