/*
 * How large a table is, and how many records it holds.  A creator makes
 * the default table unless asked for a larger one; a larger arena is laid
 * out as a chain of blocks of at most MON_MAX_UNITS units each, and starts
 * with a hash array large enough that the load policy never asks for a
 * full cleanup before the arena is really full.
 */
#include <errno.h>

#include "monMmapInt.h"

#define UNIT       sizeof(MonMmapHeader_t)
#define REC_UNITS  MonUnitsFor(sizeof(Mon_Conn_t))

/* The size the next creator maps. */
static uint32_t wantedSize = MON_MMAP_SIZE;

int MonGoodSize(uint32_t size)
{
    return size >= MON_MMAP_SIZE && size <= MON_MMAP_MAX_SIZE &&
           size % 1024 == 0;
}

int Mon_MmapSetSize(uint32_t bytes)
{
    if (bytes == 0)
        bytes = MON_MMAP_SIZE;
    if (!MonGoodSize(bytes)) {
        errno = EINVAL;
        return -1;
    }
    wantedSize = bytes;
    return 0;
}

uint32_t MonMmapWantedSize(void)
{
    return wantedSize;
}

uint32_t MonUnitsFor(uint32_t nBytes)
{
    return (uint32_t)(((uint64_t)nBytes + UNIT - 1) / UNIT + 1);
}

int32_t MonLoadLimit(int32_t nMaxConn)
{
    return (3 * nMaxConn / 2) / 2;
}

uint32_t MonReserveRecords(int32_t nMaxConn)
{
    uint32_t array = MonUnitsFor((uint32_t)nMaxConn * sizeof(uint32_t));

    return (array + REC_UNITS - 1) / REC_UNITS;
}

uint32_t MonArenaRecords(uint32_t size, int32_t n)
{
    uint32_t left = (size - MON_HDR_SIZE) / UNIT, block, records = 0;
    uint32_t array = n > 0 ? MonUnitsFor((uint32_t)n * sizeof(uint32_t)) : 0;

    if (array > MON_MAX_UNITS || array > left)
        return 0;
    for (; left > 0; left -= block, array = 0) {
        block = left < MON_MAX_UNITS ? left : MON_MAX_UNITS;
        records += (block - array) / REC_UNITS;
    }
    return records;
}

int32_t MonInitSlots(uint32_t size)
{
    int32_t n = Prime(MON_INIT_CONNS), fit, want;

    if (size <= MON_MMAP_SIZE)
        return n;
    while (MonLoadLimit(n) < (fit = (int32_t)MonArenaRecords(size, n))) {
        want = (fit * 4 + 2) / 3;
        n = Prime(want > n ? want : n + 1);
    }
    return n;
}

/* Records a fresh table of size bytes holds before the writer must make
 * room: what the load policy allows, and what fits with room kept for a
 * rebuild of the hash array (as MonMmapRoom counts). */
static int32_t Capacity(uint32_t size)
{
    int32_t n = MonInitSlots(size);
    int64_t fit = (int64_t)MonArenaRecords(size, n) - MonReserveRecords(n);
    int32_t limit = MonLoadLimit(n) + 1;

    return fit < limit ? (int32_t)fit : limit;
}

uint32_t Mon_MmapSizeFor(int32_t sessions)
{
    uint64_t size;

    if (sessions <= Capacity(MON_MMAP_SIZE))
        return MON_MMAP_SIZE;
    /* No smaller table holds them even with the arena all records. */
    size = (uint64_t)sessions * REC_UNITS * UNIT + MON_HDR_SIZE;
    size = size < MON_MMAP_SIZE ? MON_MMAP_SIZE : (size + 1023) / 1024 * 1024;
    for (; size <= MON_MMAP_MAX_SIZE; size += 1024)
        if (Capacity((uint32_t)size) >= sessions)
            return (uint32_t)size;
    return 0;
}
