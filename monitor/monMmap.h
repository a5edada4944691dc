/*
 * The shared connection table: a memory-mapped file in which the proxy
 * server (participant 0, the writer) keeps its current and recently ended
 * connections, and which readers 1 to 9 watch.  The byte layout below is
 * shared with programs outside this tree and must not change.
 */
#ifndef MON_MMAP_H
#define MON_MMAP_H

#include <stddef.h>
#include <stdint.h>
#include <netinet/in.h>
#include <sys/types.h>

#include "monTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MON_MMAP_DIR      "/tmp/"
#define MON_MMAP_NAME     "mon.mmap"
#define MON_FREE_MUTEX    "mon.free.mutex"
#define MON_HASH_MUTEX    "mon.hash.mutex"

#define MON_MMAP_SIZE     31744u  /* default bytes mapped: 31 blocks of 1024 */
#define MON_MMAP_BLOCKS   32      /* blocks of 1024 zero bytes written for it */
#define MON_MMAP_MAX_SIZE (64u << 20)  /* largest table a creator may ask for */
#define MON_MAX_PROC      10      /* participants 0..9 */
#define MON_ALARM_READER  5       /* the alarm daemon's reader number */
#define MON_INIT_CONNS    36      /* capacity asked for by the default table */

#define MON_STR_LEN       128
#define MON_APPL_LEN      16

/* connState: bit 31 = active; three change bits per reader p at 3*(p-1). */
#define MON_ACTIVE        0x80000000u
#define MON_CHG_UPDATE    1u      /* updated or ended */
#define MON_CHG_ERROR     2u
#define MON_CHG_START     4u
#define MON_CHG_SHIFT(p)  (3 * ((p) - 1))
#define MON_CHG_MASK(p)   (7u << MON_CHG_SHIFT(p))

/* One connection record, 752 bytes. */
typedef struct Mon_Conn {
    Uint64             key;            /*   0 word 0 = serving process id */
    uint32_t           connState;      /*   8 */
    int32_t            startTime;      /*  12 */
    int32_t            curTime;        /*  16 */
    int32_t            endTime;        /*  20 0 while active */
    int32_t            readTime;       /*  24 last time a reader took it */
    uint32_t           alarmKey;       /*  28 */
    uint32_t           inTotBytes;     /*  32 */
    uint32_t           outTotBytes;    /*  36 */
    uint32_t           socksErrType;   /*  40 */
    struct sockaddr_in srcSockAddr;    /*  44 */
    struct sockaddr_in proxySockAddr;  /*  60 */
    struct sockaddr_in dstSockAddr;    /*  76 */
    uint8_t            authorize;      /*  92 */
    uint8_t            socksCmd;       /*  93 1 connect, 2 bind, 3 udp */
    char               userName[MON_STR_LEN];      /*  94 */
    char               applicName[MON_APPL_LEN];   /* 222 */
    char               srcHostName[MON_STR_LEN];   /* 238 */
    char               proxyHostName[MON_STR_LEN]; /* 366 */
    char               dstHostName[MON_STR_LEN];   /* 494 */
    char               socksErrMsg[MON_STR_LEN];   /* 622 */
} Mon_Conn_t;

/* Header in front of every arena block; lengths are in 8-byte units. */
typedef struct MonMmapHeader {
    uint32_t off;      /* next free block while this one is free */
    uint16_t nUnits;   /* block length including this header */
    uint16_t pad;
} MonMmapHeader_t;

/* Control header at offset 0 of the region, 84 bytes.  References inside
 * the region are byte offsets from its start; 0 means none. */
typedef struct MonMmap {
    uint32_t        addr;       /*  0 creator's mapping address (low bits) */
    uint32_t        size;       /*  4 */
    int32_t         nMaxConn;   /*  8 hash slots */
    int32_t         nCurConn;   /* 12 records in the table */
    int32_t         nDelConn;   /* 16 deleted-slot markers */
    int32_t         procPid[MON_MAX_PROC]; /* 20 pid per participant */
    uint32_t        connOff;    /* 60 hash array */
    uint32_t        freeOff;    /* 64 allocator rover; 0 before first use */
    int32_t         align;      /* 68 reserved */
    MonMmapHeader_t base;       /* 72 free-list anchor */
    uint8_t         free;       /* 80 start of the arena */
} MonMmap_t;

#define MON_ARENA_OFF  80u
#define MON_HDR_SIZE   84u

#ifdef __cplusplus
#define MON_STATIC_ASSERT static_assert
#else
#define MON_STATIC_ASSERT _Static_assert
#endif
#define MON_AT(t, f, o) MON_STATIC_ASSERT(offsetof(t, f) == (o), #t "." #f)

MON_AT(Mon_Conn_t, key, 0);            MON_AT(Mon_Conn_t, connState, 8);
MON_AT(Mon_Conn_t, startTime, 12);     MON_AT(Mon_Conn_t, curTime, 16);
MON_AT(Mon_Conn_t, endTime, 20);       MON_AT(Mon_Conn_t, readTime, 24);
MON_AT(Mon_Conn_t, alarmKey, 28);      MON_AT(Mon_Conn_t, inTotBytes, 32);
MON_AT(Mon_Conn_t, outTotBytes, 36);   MON_AT(Mon_Conn_t, socksErrType, 40);
MON_AT(Mon_Conn_t, srcSockAddr, 44);   MON_AT(Mon_Conn_t, proxySockAddr, 60);
MON_AT(Mon_Conn_t, dstSockAddr, 76);   MON_AT(Mon_Conn_t, authorize, 92);
MON_AT(Mon_Conn_t, socksCmd, 93);      MON_AT(Mon_Conn_t, userName, 94);
MON_AT(Mon_Conn_t, applicName, 222);   MON_AT(Mon_Conn_t, srcHostName, 238);
MON_AT(Mon_Conn_t, proxyHostName, 366); MON_AT(Mon_Conn_t, dstHostName, 494);
MON_AT(Mon_Conn_t, socksErrMsg, 622);
MON_STATIC_ASSERT(sizeof(Mon_Conn_t) == 752, "Mon_Conn_t size");

MON_AT(MonMmapHeader_t, off, 0);       MON_AT(MonMmapHeader_t, nUnits, 4);
MON_STATIC_ASSERT(sizeof(MonMmapHeader_t) == 8, "MonMmapHeader_t size");

MON_AT(MonMmap_t, addr, 0);            MON_AT(MonMmap_t, size, 4);
MON_AT(MonMmap_t, nMaxConn, 8);        MON_AT(MonMmap_t, nCurConn, 12);
MON_AT(MonMmap_t, nDelConn, 16);       MON_AT(MonMmap_t, procPid, 20);
MON_AT(MonMmap_t, connOff, 60);        MON_AT(MonMmap_t, freeOff, 64);
MON_AT(MonMmap_t, align, 68);          MON_AT(MonMmap_t, base, 72);
MON_AT(MonMmap_t, free, 80);
MON_STATIC_ASSERT(sizeof(MonMmap_t) == MON_HDR_SIZE, "MonMmap_t size");

/* Attaching and reading (any participant).  A failed open or close leaves
 * the handle allocated; Mon_MmapFree gives back what such a handle still
 * holds (mutex handles, mapping, descriptor) and the handle itself.  It
 * does not detach: use it only where Mon_MmapOpen or Mon_MmapClose failed.
 *
 * The table's file and the mutexes' key files are never opened through a
 * symbolic link; each must be a regular file (the files a creator writes
 * of one link, so that no link at their path makes it write another
 * file), else the open fails with errno ELOOP or EINVAL.  A table file
 * shorter than the default table, or whose header gives no size yet,
 * fails with EAGAIN (still being laid out); a header size that is not one
 * a creator makes, or larger than the file, fails with EINVAL.
 *
 * The readers trust nothing in the region: a header whose hash array does
 * not lie inside the mapping makes Mon_MmapGetNextConn return -1 and
 * MonMmapIterateConn return null with errno EINVAL (null with ESRCH is the
 * end of a scan); a slot whose record would not lie whole and 8-aligned
 * inside the mapping is skipped and reported once.  Every other look-up
 * (HashIndex, MonMmapConnPtr, the allocator's free-list walks, the
 * cleanups) checks the header and each offset the same way before it
 * follows it: a bad slot is passed over, a bad header fails the look-up,
 * a bad free-list link ends the walk. */
int Mon_MmapOpen(uint8_t procId, Mon_Handle_t *handlePtr);
int Mon_MmapClose(Mon_Handle_t handle);
void Mon_MmapFree(Mon_Handle_t handle);
int Mon_MmapGetNextConn(Mon_Handle_t handle, int32_t readTime,
                        int32_t *indexPtr, Mon_Conn_t *connPtr);
Mon_Conn_t *MonMmapIterateConn(Mon_Handle_t handle, int32_t *indexPtr);
/* Mon_MmapGetNextConn for up to max connections at once, all taken under
 * one hold of the hash mutex: copies the changed connections from the
 * position on into conns, in slot order, and returns how many.  The
 * position is left after the last one copied, or at 0 when the scan came
 * to its end; 0 means nothing changed from the position to the end.  -1
 * as Mon_MmapGetNextConn (a bad header: errno EINVAL). */
int Mon_MmapGetChanged(Mon_Handle_t handle, int32_t readTime,
                       int32_t *indexPtr, Mon_Conn_t *conns, int max);

/* The table's size.  The default table (MON_MMAP_SIZE) holds 28 records
 * before the writer must make room with a full cleanup, which deletes
 * ended connections that readers have not yet taken.  A proxy that keeps
 * more sessions open asks for a larger table before it creates it:
 *
 *     Mon_MmapSetSize(Mon_MmapSizeFor(sessions));
 *     Mon_MmapOpen(0, &handle);
 *
 * The size is kept in the header; readers and Mon_MmapTakeOver map what it
 * says.  Mon_MmapSetSize takes effect for the next creation; 0 gives back
 * the default.  -1 with errno EINVAL for a size below MON_MMAP_SIZE, above
 * MON_MMAP_MAX_SIZE or not a multiple of 1024. */
int Mon_MmapSetSize(uint32_t bytes);
/* The smallest size (a multiple of 1024) whose table holds at least that
 * many records before a full cleanup: MON_MMAP_SIZE for anything the
 * default table holds, 0 for more than the largest table holds. */
uint32_t Mon_MmapSizeFor(int32_t sessions);

/* Who may write the table.  Creators (Mon_MmapOpen(0, ...) and
 * Mon_MmapTakeOver) called after Mon_MmapSetMode give the table file, the
 * mutex key files and the semaphore sets exactly that mode, whatever the
 * umask, and that group unless it is (gid_t)-1; they then take up only
 * such files and sets of their own user (else EPERM).  Without a call,
 * files are made with mode 0666 less the umask and sets with 0666. */
void Mon_MmapSetMode(mode_t mode, gid_t group);
/* Readers opened after this call attach only to a table whose file and
 * both semaphore sets (owner and creator) belong to uid or to root and
 * that no other user may write; group write is allowed.  (uid_t)-1, the
 * default, takes any table.  A table refused fails Mon_MmapOpen with
 * errno EPERM and the reason kept for Mon_MmapLastErr, before anything is
 * mapped or written, and is not reported: the caller says why. */
void Mon_MmapSetWriter(uid_t uid);
/* The same check on the table attached to through handle; with uid
 * (uid_t)-1 only that no other user may write it.  0, or -1 with errno
 * EPERM and the reason kept for Mon_MmapLastErr, not reported. */
int Mon_MmapCheckWriter(Mon_Handle_t handle, uid_t uid);
/* The message of the last failure kept in handle, and its error number. */
const char *Mon_MmapLastErr(Mon_Handle_t handle, int *errNumPtr);

/* A writer goes on with the table a killed writer left at the table's
 * path, records and all, instead of making a new one (which would lose
 * the connections still open in it).  Fails when the file is not a
 * table or its creator still runs. */
int Mon_MmapTakeOver(Mon_Handle_t *handlePtr);

/* The pid of the live process that created the table at the table's
 * path, or 0 when there is no such table or its creator is gone. */
int32_t Mon_MmapLiveCreator(void);
/* 1 when the table attached to through handle is no longer the live one
 * at the table's path (removed, replaced, made again, or its creator
 * gone); else 0. */
int Mon_MmapReplaced(Mon_Handle_t handle);
/* A reader lets go of a table without touching it (it may be gone): the
 * mapping, the descriptor and the handle are freed, and a lock still held
 * through it (an operation cut short) is given back. */
void Mon_MmapDrop(Mon_Handle_t handle);
/* Whether the table the handle maps is still fit to read: -1 with errno
 * ESTALE when it is no longer the live one at the table's path
 * (Mon_MmapReplaced), ENODATA when its file is now shorter than the mapping
 * (a read of the part cut off would raise SIGBUS), EINVAL when its header
 * no longer gives the mapped size (a table laid out anew) or no longer
 * places the hash array inside the mapping; else 0.  Nothing is
 * locked and nothing reported. */
int Mon_MmapSound(Mon_Handle_t handle);

/* Sleeps until some process next takes the table's hash mutex, which
 * every writer operation does, or for ms milliseconds: 1 when the mutex
 * was taken (the table is about to change, or a reader scans it), 0 when
 * the time ran out, -1 with EINTR when a signal ended the wait and EIDRM
 * or EINVAL when the semaphores are gone.  Nothing is locked or reported;
 * a reader calls it after a scan that found nothing, instead of a sleep. */
int Mon_MmapAwaitWriter(Mon_Handle_t handle, int32_t ms);

/*
 * Waiting for the table's locks.  By default a process waits for a lock as
 * long as it is held, and again after a signal; when the semaphores are
 * gone the failure is reported and the operation goes on without the lock.
 * The writers (the proxy, twbridge, monfeed) keep this.
 *
 * A process that must stay responsive (the alarm daemon) sets a bound of
 * ms milliseconds (0 gives back the default): it then waits for a lock at
 * most that long in all, in slices of at most 200 ms, counted from its
 * first try after the last lock it took, so that waits cut short by
 * signals add up; once the bound is spent each request still tries for
 * 50 ms.  A signal ends the wait at once, and so does stop (may be null)
 * returning non-zero, asked before each slice.  A lock not taken fails
 * the operation that asked for it, without a report and without touching
 * the table: Mon_MmapGetNextConn returns -1, MonMmapIterateConn,
 * MonMmapConnPtr and MmapAlloc null, the other writer operations their
 * failure, each with the lock's error in errno.
 */
void Mon_MmapSetLockWait(int32_t ms, int (*stop)(void));
/* Why the last lock this process asked for was not taken: 0 when it was,
 * ETIMEDOUT when it stayed held past the bound, EINTR when a signal or
 * stop ended the wait, EIDRM or EINVAL when the semaphores are gone.
 * *waitedMsPtr (may be null): how long it was waited for, 0 when taken. */
int Mon_MmapLockFailed(int32_t *waitedMsPtr);

/* The mapped region of this process, or null when not attached. */
MonMmap_t *MonMmapRegion(void);

/* Region allocator and hash index. */
void *MmapAlloc(Mon_Handle_t handle, unsigned nBytes);
void MmapFree(Mon_Handle_t handle, void *ptr);
int32_t Prime(int32_t n);
int32_t Hash(Uint64 key, int32_t maxHash);
/* Slot holding key, or the empty slot where it belongs; -1 when the
 * array has no empty slot left, or with errno EINVAL when the header does
 * not place it inside the mapping.  The caller holds the hash mutex. */
int32_t HashIndex(Uint64 key);
int CreateHashTable(Mon_Handle_t handle, int32_t nMaxConn);
/* Moves the records to a new array (in place when there is no memory for
 * one), dropping deleted markers and slots no record can be at, and
 * counts the records anew. */
int ResizeHashTable(Mon_Handle_t handle, int32_t nMaxConn);
/* The record of key, or null with errno ESRCH when there is none, EINVAL
 * for a bad header, or the lock's error (see Mon_MmapSetLockWait). */
Mon_Conn_t *MonMmapConnPtr(Mon_Handle_t handle, Uint64 key);

/* Writer operations (participant 0).  Updates, errors, ends and whole
 * writes put their fields and marks in under the hash mutex, under which
 * readers copy records: a reader never takes a record half-written. */
Mon_Conn_t *MonMmapCreateConn(Mon_Handle_t handle, Uint64 key);
int MonMmapDeleteConn(Mon_Handle_t handle, Uint64 key);
int MonMmapCleanup(Mon_Handle_t handle, Boolean_t all);
int MonMmapStartConn(Mon_Handle_t handle, Uint64 key, int32_t startTime,
                     uint8_t authorize, const char *userName,
                     const struct sockaddr_in *srcSockAddrPtr,
                     const char *srcHostName);
int MonMmapUpdateConn(Mon_Handle_t handle, Uint64 key, int32_t curTime,
                      uint32_t inTotBytes, uint32_t outTotBytes,
                      uint8_t socksCmd, const char *applicName,
                      const struct sockaddr_in *proxySockAddrPtr,
                      const char *proxyHostName,
                      const struct sockaddr_in *dstSockAddrPtr,
                      const char *dstHostName);
/* Writes a connection's fields at once (all but its key, marks, alarm key
 * and readTime), sets or clears its active bit as conn's connState says,
 * then marks events (MON_CHG_* bits) for the readers in one step, so that
 * a reader takes the whole change as one: a session reported after the
 * fact (created with MonMmapCreateConn, then written with start, update
 * and error marks), or an end with its final counts and error.  With
 * MON_CHG_START, conn's alarmKey becomes the record's, so that a writer
 * reporting for several serving processes can number each one's starts
 * (key word 0) one by one.  -1 when no record has the key. */
int MonMmapWriteConn(Mon_Handle_t handle, Uint64 key, const Mon_Conn_t *conn,
                     uint32_t events);
/* How many connections can be created now before the table must make
 * room with a full cleanup, which deletes ended connections that readers
 * have not yet taken.  A writer that must not lose them waits for the
 * readers while this is 0. */
int MonMmapRoom(Mon_Handle_t handle);
int MonMmapErrConn(Mon_Handle_t handle, Uint64 key, int32_t curTime,
                   uint32_t socksErrType, const char *socksErrMsg);
int MonMmapEndConn(Mon_Handle_t handle, Uint64 key, int32_t endTime);

#ifdef __cplusplus
}
#endif

#endif /* MON_MMAP_H */
