/* Private to the table library: the per-process handle and the mapping. */
#ifndef MON_MMAP_INT_H
#define MON_MMAP_INT_H

#include "monMmap.h"
#include "monUnixMutex.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct info {
    int32_t      fd;
    void        *addr;
    uint32_t     size;
    Mon_Handle_t freeMutex;
    Mon_Handle_t hashMutex;
    uint8_t      procId;
    uint8_t      creator;
    int32_t      errNum;
    char         errMsg[MON_ERRMSG_LEN];
    char         path[256];
} info_t;

/* The region this process is attached to; one table per process.  Every
 * offset read from the region is checked against monMmapSize, the size
 * this process mapped it at, never against the header's own size. */
extern MonMmap_t *monMmapPtr;
extern uint32_t monMmapSize;

/* A block's nUnits is 16 bits: a larger arena is a chain of blocks. */
#define MON_MAX_UNITS 65535u

/* Table sizes (monSize.c): a size a creator may make, and the size the
 * next creator maps. */
int MonGoodSize(uint32_t size);
uint32_t MonMmapWantedSize(void);
/* Units of a block that holds nBytes, header included. */
uint32_t MonUnitsFor(uint32_t nBytes);
/* The load policy's limit for n slots: more records than this in the
 * table, and the next creation runs a full cleanup first. */
int32_t MonLoadLimit(int32_t nMaxConn);
/* Records' worth of arena kept free for a rebuild of an n-slot array. */
uint32_t MonReserveRecords(int32_t nMaxConn);
/* Records a fresh arena of a size-byte region holds beside a hash array
 * of n slots (none for 0), which the first allocation takes from the end
 * of the first block. */
uint32_t MonArenaRecords(uint32_t size, int32_t n);
/* The hash slots a new table of size bytes starts with. */
int32_t MonInitSlots(uint32_t size);

#define MON_BAD_HANDLE "bad handle, Mon_MmapOpen() not called"

/* Offset <-> address inside the region. */
#define MON_PTR(off)  ((void *)((char *)monMmapPtr + (off)))
#define MON_OFF(ptr)  ((uint32_t)((char *)(ptr) - (char *)monMmapPtr))
#define MON_SLOTS()   ((uint32_t *)MON_PTR(monMmapPtr->connOff))

/* Takes one of the table's mutexes, waiting as Mon_MmapSetLockWait says:
 * -1 (errno, and Mon_MmapLockFailed, say why) only in a process with a
 * bound; without one a failure is reported and 0 returned.  MonUnlock
 * gives it back and reports a failure. */
int MonLock(Mon_Handle_t mutex);
void MonUnlock(Mon_Handle_t mutex);

/* The hash array and its length as the header places them now, or null
 * when the array would not lie inside the mapping (not reported).  Every
 * use of the array goes through one such look at the header. */
uint32_t *MonMmapSlots(int32_t *nPtr);
/* A record offset as the allocator hands them out: 8-aligned, with the
 * whole record inside the arena.  Nothing else in a slot is followed. */
int MonGoodRecordOff(uint32_t off);
/* HashIndex on the array as the header places it now: the slot, and the
 * array in *slotsPtr; -1 with a null array and errno EINVAL for a bad
 * header.  The caller holds the hash mutex. */
int32_t MonHashLookup(Uint64 key, uint32_t **slotsPtr);

/* MonMmapConnPtr that keeps the hash mutex when it finds the record, for
 * the caller to give back once it has changed it: a writer writes and marks
 * a change under the mutex, under which readers copy records, so a reader
 * never takes a record half-written, nor one change twice (once by the
 * marks of the change before, once by its own).  Null with the mutex not
 * held and errno as MonMmapConnPtr gives it. */
Mon_Conn_t *MonMmapHold(Mon_Handle_t handle, Uint64 key);

/* The next live record from slot *indexPtr on; the caller holds the hash
 * mutex.  At the end: position 0, errno ESRCH, null; for a header that
 * does not place the hash array inside the mapping: position 0, errno
 * EINVAL, null (reported). */
Mon_Conn_t *MonMmapScan(int32_t *indexPtr);

/* Drops the deleted markers and places every record anew, inside the
 * array as it is; the caller holds the hash mutex. */
void MonRehashInPlace(void);

#ifdef __cplusplus
}
#endif

#endif /* MON_MMAP_INT_H */
