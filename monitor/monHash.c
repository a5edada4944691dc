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
    return monMmapPtr->size / UNIT + 2;
}

/* First use: the anchor points at itself, and the whole arena is one
 * block handed to MmapFree to be linked in. */
static void InitArena(info_t *info)
{
    MonMmap_t *hdr = monMmapPtr;

    hdr->base.off = hdr->freeOff = offsetof(MonMmap_t, base);
    hdr->base.nUnits = 0;
    HDR(MON_ARENA_OFF)->nUnits = (hdr->size - MON_HDR_SIZE) / UNIT;
    MmapFree(info, MON_PTR(MON_ARENA_OFF + UNIT));
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
    if (hdr == NULL || hdr->size < MON_MMAP_SIZE) {
        SetErr(info, EFAULT, "%s: no mmap()'d memory", "MmapAlloc");
        return NULL;
    }
    if (hdr->freeOff == 0)
        InitArena(info);

    MonLock(info->freeMutex);
    prev = hdr->freeOff;
    cand = HDR(prev)->off;
    for (steps = 0; steps < MaxSteps(); steps++) {
        MonMmapHeader_t *c = HDR(cand);
        if (c->nUnits >= units) {
            if (c->nUnits == units) {
                HDR(prev)->off = c->off;
                taken = cand;
            } else {
                c->nUnits -= units;
                taken = cand + c->nUnits * UNIT;
                HDR(taken)->nUnits = units;
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
    uint32_t b, p, steps;

    if (info == NULL) {
        MON_ERR("MmapFree", MON_BAD_HANDLE);
        return;
    }
    /* The block's header must lie inside the arena, never on the anchor. */
    if (hdr == NULL || at < base + MON_ARENA_OFF + UNIT ||
        at > base + hdr->size - 4) {
        SetErr(info, EFAULT, "%s: can't free bad addr=0x%lx", "MmapFree",
               (unsigned long)at);
        return;
    }
    b = (uint32_t)(at - base) - UNIT;

    MonLock(info->freeMutex);
    p = hdr->freeOff;
    for (steps = 0; steps < MaxSteps(); steps++) {
        uint32_t succ = HDR(p)->off;
        if (b > p && b < succ)
            break;
        if (p >= succ && (b > p || b < succ))
            break;
        p = succ;
    }
    /* A block that overlaps a free one was never handed out, or is freed
     * twice: linking it in would corrupt the list. */
    if (steps == MaxSteps() || Overlaps(p, b) || Overlaps(b, HDR(p)->off)) {
        MonUnlock(info->freeMutex);
        SetErr(info, EFAULT, "%s: can't free bad addr=0x%lx", "MmapFree",
               (unsigned long)at);
        return;
    }
    if (b + HDR(b)->nUnits * UNIT == HDR(p)->off) {
        HDR(b)->nUnits += HDR(HDR(p)->off)->nUnits;
        HDR(b)->off = HDR(HDR(p)->off)->off;
    } else {
        HDR(b)->off = HDR(p)->off;
    }
    if (p + HDR(p)->nUnits * UNIT == b) {
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
 * stop the search and are never handed out.  Every slot has been tried
 * after nMaxConn + 2 probes. */
int32_t HashIndex(Uint64 key)
{
    const uint32_t *slots = MON_SLOTS();
    int32_t n = monMmapPtr->nMaxConn;
    int32_t slot = Hash(key, n), tries;

    for (tries = 0; tries < n + 2; tries++) {
        if (slots[slot] == 0)
            return slot;
        if (slots[slot] != 1 && SameKey(slots[slot], key))
            return slot;
        slot = tries == 0 ? Hash(key, n - 4) : (slot + 1) % n;
    }
    return -1;
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
 * slots and every record goes where a lookup of its key finds it.  A
 * placed slot is never touched again, so the slots a lookup passes before
 * its key all hold records.  The caller holds the hash mutex, so readers
 * never see the array half done.
 */
void MonRehashInPlace(void)
{
    uint32_t *slots = MON_SLOTS();
    int32_t n = monMmapPtr->nMaxConn, i;
    uint32_t off;

    for (i = 0; i < n; i++)
        slots[i] = slots[i] > 1 ? slots[i] | UNPLACED : 0;
    for (i = 0; i < n; i++) {
        if (!(slots[i] & UNPLACED))
            continue;
        off = slots[i] & ~UNPLACED;
        slots[i] = 0;
        while (off != 0)
            off = Place(slots, n, off);
    }
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
    MonLock(info->hashMutex);
    memset(slots, 0, n * sizeof *slots);
    monMmapPtr->connOff = MON_OFF(slots);
    monMmapPtr->nMaxConn = n;
    monMmapPtr->nCurConn = 0;
    monMmapPtr->nDelConn = 0;
    MonUnlock(info->hashMutex);
    return 0;
}

int ResizeHashTable(Mon_Handle_t handle, int32_t nMaxConn)
{
    info_t *info = handle;
    MonMmap_t *hdr = monMmapPtr;
    uint32_t *slots = NULL, *old;
    int32_t n, oldN, i;

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
        MonLock(info->hashMutex);
        MonRehashInPlace();
        MonUnlock(info->hashMutex);
        if (n == hdr->nMaxConn)
            return 0;
        MON_ERR("ResizeHashTable", "failed to resize hash table, conns=%d", n);
        return -1;
    }
    memset(slots, 0, n * sizeof *slots);

    MonLock(info->hashMutex);
    old = MON_SLOTS();
    oldN = hdr->nMaxConn;
    hdr->nMaxConn = n;
    hdr->nDelConn = 0;
    hdr->connOff = MON_OFF(slots);
    for (i = 0; i < oldN; i++)
        if (old[i] > 1)
            slots[HashIndex(((Mon_Conn_t *)MON_PTR(old[i]))->key)] = old[i];
    MonUnlock(info->hashMutex);

    MmapFree(info, old);
    return 0;
}

Mon_Conn_t *MonMmapConnPtr(Mon_Handle_t handle, Uint64 key)
{
    info_t *info = handle;
    Mon_Conn_t *rec = NULL;
    int32_t slot;

    if (info == NULL) {
        MON_ERR("MonMmapConnPtr", MON_BAD_HANDLE);
        return NULL;
    }
    MonLock(info->hashMutex);
    slot = HashIndex(key);
    if (slot >= 0 && MON_SLOTS()[slot] > 1)
        rec = MON_PTR(MON_SLOTS()[slot]);
    MonUnlock(info->hashMutex);
    return rec;
}
