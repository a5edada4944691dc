/*
 * Attaching to and detaching from the connection table, and the readers'
 * walk over it.
 */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "monErr.h"
#include "monMmapInt.h"

MonMmap_t *monMmapPtr = NULL;
uint32_t monMmapSize = MON_MMAP_SIZE;

MonMmap_t *MonMmapRegion(void)
{
    return monMmapPtr;
}

/* Records a failure of fn in the handle and reports it as a system error. */
static int Fail(info_t *info, int line, const char *fn, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

static int Fail(info_t *info, int line, const char *fn, const char *fmt, ...)
{
    va_list ap;

    info->errNum = errno;
    va_start(ap, fmt);
    vsnprintf(info->errMsg, sizeof info->errMsg, fmt, ap);
    va_end(ap);
    Mon_SysErrRet(line, __FILE__, __DATE__, fn, "%s", info->errMsg);
    return -1;
}

/* Reports a mutex failure kept in the mutex handle. */
static int MutexFail(info_t *info, int line, const char *fn, Mon_Handle_t m)
{
    MonMutexLastErr(m, &info->errNum, info->errMsg);
    errno = info->errNum;
    Mon_SysErrRet(line, __FILE__, __DATE__, fn, "%s", info->errMsg);
    return -1;
}

/* Set by Mon_MmapSetMode and Mon_MmapSetWriter. */
static mode_t tableMode = 0666;
static gid_t tableGroup = (gid_t)-1;
static int tableModeSet;
static uid_t tableWriter = (uid_t)-1;

void Mon_MmapSetMode(mode_t mode, gid_t group)
{
    tableMode = mode & 0777;
    tableGroup = group;
    tableModeSet = 1;
    MonMutexSetMode(mode, group);
}

void Mon_MmapSetWriter(uid_t uid)
{
    tableWriter = uid;
}

/* Keeps a refusal of the writer check without reporting it. */
static int Refuse(info_t *info, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

static int Refuse(info_t *info, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    vsnprintf(info->errMsg, sizeof info->errMsg, fmt, ap);
    va_end(ap);
    info->errNum = EPERM;
    errno = EPERM;
    return -1;
}

/* One owner (or creator) and mode against writer uid: the owner must be
 * uid or root, unless uid is (uid_t)-1, and no other user may write. */
static int CheckOwner(info_t *info, const char *what, const char *path,
                      uid_t owner, mode_t mode, uid_t uid)
{
    char who[40] = "root";

    if (uid != (uid_t)-1 && owner != 0 && owner != uid) {
        if (uid != 0)
            snprintf(who, sizeof who, "root or uid %lu", (unsigned long)uid);
        return Refuse(info, "%s %s belongs to uid %lu, not to %s", what,
                      path, (unsigned long)owner, who);
    }
    if (mode & S_IWOTH)
        return Refuse(info, "%s %s is writable by every user", what, path);
    return 0;
}

static int CheckSet(info_t *info, Mon_Handle_t mutex, const char *name,
                    uid_t uid, const char *fn)
{
    struct ipc_perm perm;
    char path[64];

    if (MonMutexPerm(mutex, &perm) < 0)
        return MutexFail(info, __LINE__, fn, mutex);
    snprintf(path, sizeof path, "%s%s", MON_MUTEX_DIR, name);
    if (CheckOwner(info, "semaphore set of", path, perm.cuid, perm.mode, uid) < 0)
        return -1;
    return CheckOwner(info, "semaphore set of", path, perm.uid, perm.mode, uid);
}

static int CheckSets(info_t *info, uid_t uid, const char *fn)
{
    if (CheckSet(info, info->freeMutex, MON_FREE_MUTEX, uid, fn) < 0)
        return -1;
    return CheckSet(info, info->hashMutex, MON_HASH_MUTEX, uid, fn);
}

int Mon_MmapCheckWriter(Mon_Handle_t handle, uid_t uid)
{
    info_t *info = handle;
    struct stat st;

    if (info == NULL || info->addr == NULL) {
        MON_ERR("Mon_MmapCheckWriter", MON_BAD_HANDLE);
        errno = EINVAL;
        return -1;
    }
    if (fstat(info->fd, &st) != 0)
        return Fail(info, __LINE__, "Mon_MmapCheckWriter",
                    "fstat(%s) failed", info->path);
    if (CheckOwner(info, "connection table", info->path, st.st_uid,
                   st.st_mode, uid) < 0)
        return -1;
    return CheckSets(info, uid, "Mon_MmapCheckWriter");
}

const char *Mon_MmapLastErr(Mon_Handle_t handle, int *errNumPtr)
{
    const info_t *info = handle;

    if (errNumPtr != NULL)
        *errNumPtr = info != NULL ? info->errNum : ENOENT;
    return info != NULL ? info->errMsg : MON_BAD_HANDLE;
}

/* Creator: its own table file gets the mode and group asked for. */
static int OwnFile(info_t *info, const struct stat *st, const char *fn)
{
    if (st->st_uid != geteuid()) {
        errno = EPERM;
        return Fail(info, __LINE__, fn, "%s belongs to uid %lu", info->path,
                    (unsigned long)st->st_uid);
    }
    if ((tableGroup != (gid_t)-1 &&
         fchown(info->fd, (uid_t)-1, tableGroup) != 0) ||
        fchmod(info->fd, tableMode) != 0)
        return Fail(info, __LINE__, fn, "mode of %s not set", info->path);
    return 0;
}

/* Opens the table's file, never through a symbolic link, and makes sure it
 * is a regular file of one link, so that nothing placed at the table's
 * path makes this process write another file.  A creator then gives it
 * the mode asked for; a reader checks its owner when a writer was named. */
static int OpenFile(info_t *info, int flags, const char *fn)
{
    struct stat st;

    info->fd = open(info->path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    tableMode);
    if (info->fd < 0)
        return Fail(info, __LINE__, fn, "open(%s,0x%x,0x%x) failed",
                    info->path, flags, (unsigned)tableMode);
    if (fstat(info->fd, &st) != 0)
        return Fail(info, __LINE__, fn, "fstat(%s) failed", info->path);
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        errno = EINVAL;
        return Fail(info, __LINE__, fn, "%s: not a regular file with one link",
                    info->path);
    }
    if (info->creator)
        return tableModeSet ? OwnFile(info, &st, fn) : 0;
    if (tableWriter == (uid_t)-1)
        return 0;
    return CheckOwner(info, "connection table", info->path, st.st_uid,
                      st.st_mode, tableWriter);
}

/* Creator: zero the file so nothing of an earlier run survives; one block
 * more than the mapping, as for the default table. */
static int ZeroFile(info_t *info)
{
    static const char zero[1024];
    int i, blocks = (int)(info->size / sizeof zero) + 1;

    for (i = 0; i < blocks; i++)
        if (write(info->fd, zero, sizeof zero) != (ssize_t)sizeof zero)
            return Fail(info, __LINE__, "Mon_MmapOpen",
                        "write() %dth mmap'ed page failed", i);
    return 0;
}

/* Maps size bytes of the table file. */
static int MapFile(info_t *info, uint32_t size)
{
    struct stat st;
    void *addr;

    /* A file still being laid out by its creator is too short to map
     * safely: touching the missing part would kill the process. */
    if (fstat(info->fd, &st) == 0 && st.st_size < (off_t)size)
        errno = EAGAIN;
    else if ((addr = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED,
                          info->fd, 0)) != MAP_FAILED) {
        info->addr = addr;
        info->size = size;
        monMmapPtr = addr;
        monMmapSize = size;
        return 0;
    }
    return Fail(info, __LINE__, "Mon_MmapOpen", "mmap() size=%lu fd=%d failed",
                (unsigned long)size, info->fd);
}

static void Unmap(info_t *info)
{
    munmap(info->addr, info->size);
    if (monMmapPtr == info->addr)
        monMmapPtr = NULL;
    info->addr = NULL;
}

/* Fails an open of a table whose header gives a size this process cannot
 * map (yet): EAGAIN while it is being laid out, else EINVAL. */
static int BadSize(info_t *info, int num, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

static int BadSize(info_t *info, int num, const char *fmt, ...)
{
    va_list ap;

    Unmap(info);
    info->errNum = errno = num;
    va_start(ap, fmt);
    vsnprintf(info->errMsg, sizeof info->errMsg, fmt, ap);
    va_end(ap);
    Mon_SysErrRet(__LINE__, __FILE__, __DATE__, "Mon_MmapOpen", "%s",
                  info->errMsg);
    return -1;
}

/* A reader (or a writer taking a table over) maps the default size, reads
 * the size the header gives and, when the file holds that much, maps the
 * table again at that size. */
static int MapTable(info_t *info)
{
    struct stat st;
    uint32_t size;

    if (MapFile(info, MON_MMAP_SIZE) < 0)
        return -1;
    size = __atomic_load_n(&monMmapPtr->size, __ATOMIC_RELAXED);
    if (size == MON_MMAP_SIZE)
        return 0;
    if (size == 0)
        return BadSize(info, EAGAIN, "%s: table not laid out yet", info->path);
    if (!MonGoodSize(size))
        return BadSize(info, EINVAL, "%s: bad table size %u", info->path, size);
    if (fstat(info->fd, &st) != 0)
        st.st_size = 0;
    if (st.st_size < (off_t)size)
        return BadSize(info, EINVAL, "table size %u does not fit file of %lld bytes",
                       size, (long long)st.st_size);
    Unmap(info);
    if (MapFile(info, size) < 0)
        return -1;
    if (__atomic_load_n(&monMmapPtr->size, __ATOMIC_RELAXED) != size)
        return BadSize(info, EAGAIN, "%s: table laid out anew", info->path);
    return 0;
}

/* Reader: refuse a number that a live process holds; take over a dead
 * one's.  An entry that is not a process id at all is taken over too: a
 * probe of it would ask about a process group or every process. */
static int ClaimReader(info_t *info)
{
    int32_t pid = monMmapPtr->procPid[info->procId];

    /* Our own entry is left from before we let go of this table (its
     * writer went away and a new one took the table over). */
    if (pid <= 0 || pid == getpid() || (kill(pid, 0) == -1 && errno == ESRCH))
        return 0;
    info->errNum = EBUSY;
    snprintf(info->errMsg, sizeof info->errMsg,
             "Duplicate procId=%d, in use by PID=%d", info->procId, pid);
    MON_ERR("Mon_MmapOpen", "%s", info->errMsg);
    errno = EBUSY;
    return -1;
}

static int InitRegion(info_t *info)
{
    MonMmap_t *hdr = monMmapPtr;

    hdr->addr = (uint32_t)(uintptr_t)info->addr;
    hdr->size = info->size;
    memset(hdr->procPid, 0, sizeof hdr->procPid);
    return CreateHashTable(info, MonInitSlots(info->size));
}

int Mon_MmapOpen(uint8_t procId, Mon_Handle_t *handlePtr)
{
    const int flags = O_RDWR | (procId == 0 ? O_CREAT : 0);
    info_t *info;

    *handlePtr = NULL;
    if (procId >= MON_MAX_PROC) {
        MON_ERR("Mon_MmapOpen", "bad reader procId=%d, must be %d..%d",
                procId, 1, MON_MAX_PROC - 1);
        errno = EINVAL;
        return -1;
    }
    if ((info = calloc(1, sizeof *info)) == NULL) {
        MON_SYS_ERR("Mon_MmapOpen", "malloc() failed");
        return -1;
    }
    *handlePtr = info;
    snprintf(info->path, sizeof info->path, "%s%s", MON_MMAP_DIR, MON_MMAP_NAME);
    errno = 0;
    info->creator = procId == 0;

    if (OpenFile(info, flags, "Mon_MmapOpen") < 0)
        return -1;
    info->procId = procId;
    if (info->creator) {
        info->size = MonMmapWantedSize();
        if (ZeroFile(info) < 0 || MapFile(info, info->size) < 0)
            return -1;
    } else if (MapTable(info) < 0) {
        return -1;
    }

    if (MonMutexOpen(MON_FREE_MUTEX, info->creator, &info->freeMutex) < 0)
        return MutexFail(info, __LINE__, "Mon_MmapOpen", info->freeMutex);
    if (MonMutexOpen(MON_HASH_MUTEX, info->creator, &info->hashMutex) < 0)
        return MutexFail(info, __LINE__, "Mon_MmapOpen", info->hashMutex);
    if (!info->creator && tableWriter != (uid_t)-1 &&
        CheckSets(info, tableWriter, "Mon_MmapOpen") < 0)
        return -1;

    if (info->creator ? InitRegion(info) < 0 : ClaimReader(info) < 0)
        return -1;
    monMmapPtr->procPid[procId] = getpid();
    return 0;
}

/* A table a dead writer left behind, fit to go on with: the size mapped,
 * its hash array inside the mapping, and no live process as its creator. */
static int Abandoned(info_t *info)
{
    const MonMmap_t *hdr = monMmapPtr;
    int32_t index = 0, creator = hdr->procPid[0];

    errno = 0;
    if (hdr->size != info->size ||
        (MonMmapScan(&index) == NULL && errno == EINVAL)) {
        errno = EINVAL;
        return Fail(info, __LINE__, "Mon_MmapTakeOver",
                    "%s: not a connection table", info->path);
    }
    if (creator > 0 && creator != getpid() &&
        !(kill(creator, 0) == -1 && errno == ESRCH)) {
        errno = EBUSY;
        return Fail(info, __LINE__, "Mon_MmapTakeOver",
                    "%s: in use by writer PID=%d", info->path, creator);
    }
    return 0;
}

int Mon_MmapTakeOver(Mon_Handle_t *handlePtr)
{
    info_t *info;

    *handlePtr = NULL;
    if ((info = calloc(1, sizeof *info)) == NULL) {
        MON_SYS_ERR("Mon_MmapTakeOver", "malloc() failed");
        return -1;
    }
    *handlePtr = info;
    snprintf(info->path, sizeof info->path, "%s%s", MON_MMAP_DIR, MON_MMAP_NAME);
    info->creator = 1;
    if (OpenFile(info, O_RDWR, "Mon_MmapTakeOver") < 0 || MapTable(info) < 0 ||
        Abandoned(info) < 0)
        return -1;
    /* The semaphores outlive a killed writer (a lock it held was undone
     * by the kernel); made again when someone removed them. */
    if (MonMutexOpen(MON_FREE_MUTEX, 1, &info->freeMutex) < 0)
        return MutexFail(info, __LINE__, "Mon_MmapTakeOver", info->freeMutex);
    if (MonMutexOpen(MON_HASH_MUTEX, 1, &info->hashMutex) < 0)
        return MutexFail(info, __LINE__, "Mon_MmapTakeOver", info->hashMutex);
    monMmapPtr->procPid[0] = getpid();
    return 0;
}

int Mon_MmapClose(Mon_Handle_t handle)
{
    info_t *info = handle;

    if (info == NULL || info->addr == NULL) {
        MON_ERR("Mon_MmapClose", MON_BAD_HANDLE);
        return -1;
    }
    monMmapPtr->procPid[info->procId] = 0;

    if (MonMutexClose(info->freeMutex) < 0)
        return MutexFail(info, __LINE__, "Mon_MmapClose", info->freeMutex);
    info->freeMutex = NULL;
    if (MonMutexClose(info->hashMutex) < 0)
        return MutexFail(info, __LINE__, "Mon_MmapClose", info->hashMutex);
    info->hashMutex = NULL;

    if (munmap(info->addr, info->size) < 0)
        return Fail(info, __LINE__, "Mon_MmapClose", "munmap(0x%lx,%lu) failed",
                    (unsigned long)(uintptr_t)info->addr,
                    (unsigned long)info->size);
    if (monMmapPtr == info->addr)
        monMmapPtr = NULL;
    info->addr = NULL;
    if (info->fd > 0 && close(info->fd) < 0)
        return Fail(info, __LINE__, "Mon_MmapClose", "close(%d) path=%s failed",
                    info->fd, info->path);
    info->fd = -1;
    if (info->creator && unlink(info->path) < 0)
        return Fail(info, __LINE__, "Mon_MmapClose", "unlink(%s) failed",
                    info->path);
    free(info);
    return 0;
}

void Mon_MmapFree(Mon_Handle_t handle)
{
    info_t *info = handle;

    if (info == NULL)
        return;
    if (info->freeMutex != NULL)
        MonMutexClose(info->freeMutex);
    if (info->hashMutex != NULL)
        MonMutexClose(info->hashMutex);
    if (info->addr != NULL) {
        munmap(info->addr, info->size);
        if (monMmapPtr == info->addr)
            monMmapPtr = NULL;
    }
    if (info->fd > 0)
        close(info->fd);
    free(info);
}

/*
 * The table file is shared with other processes, so nothing read from it is
 * trusted: the hash array and every record must lie whole inside the arena
 * of this process's mapping, whatever the header's own size field says.
 */

/* The header's placing of the hash array, read once. */
static int GoodHeader(int32_t *nPtr, uint32_t *offPtr)
{
    int32_t n = __atomic_load_n(&monMmapPtr->nMaxConn, __ATOMIC_RELAXED);
    uint32_t off = __atomic_load_n(&monMmapPtr->connOff, __ATOMIC_RELAXED);

    *nPtr = n;
    *offPtr = off;
    return n > 0 && off >= MON_ARENA_OFF &&
           off % sizeof(MonMmapHeader_t) == 0 &&
           (uint64_t)off + (uint64_t)n * sizeof(uint32_t) <= monMmapSize;
}

uint32_t *MonMmapSlots(int32_t *nPtr)
{
    int32_t n;
    uint32_t off;

    if (monMmapPtr == NULL || !GoodHeader(&n, &off))
        return NULL;
    *nPtr = n;
    return MON_PTR(off);
}

/* The hash array and its length, or null (reported, errno EINVAL) when the
 * header does not place it inside the arena. */
static const uint32_t *Slots(int32_t *nPtr)
{
    int32_t n;
    uint32_t off;

    if (!GoodHeader(&n, &off)) {
        MON_ERR("MonMmapScan", "bad table header: nMaxConn=%d connOff=%u",
                n, off);
        errno = EINVAL;
        return NULL;
    }
    *nPtr = n;
    return MON_PTR(off);
}

int MonGoodRecordOff(uint32_t off)
{
    return off >= MON_ARENA_OFF && off % sizeof(MonMmapHeader_t) == 0 &&
           off <= monMmapSize - sizeof(Mon_Conn_t);
}

/* Reports a bad slot of the n in the array the first time it holds this
 * offset, so a damaged slot is not reported again on every scan.  What
 * was reported is kept per slot, for as many slots as the array has. */
static void BadSlot(int32_t i, uint32_t off, int32_t n)
{
    static uint32_t *reported;
    static int32_t nReported;
    uint32_t *more;

    if (i >= nReported && (more = realloc(reported, n * sizeof *more)) != NULL) {
        memset(more + nReported, 0, (size_t)(n - nReported) * sizeof *more);
        reported = more;
        nReported = n;
    }
    if (i < nReported && reported[i] == off)
        return;
    if (i < nReported)
        reported[i] = off;
    MON_ERR("MonMmapScan", "bad slot %d: record offset %u skipped", i, off);
}

/* 1 and the next live record, 0 at the end (position 0, errno ESRCH), or
 * -1 for a bad header (position 0, errno EINVAL). */
static int Scan(int32_t *indexPtr, Mon_Conn_t **recPtr)
{
    const uint32_t *slots;
    uint32_t off;
    int32_t i, n;

    *recPtr = NULL;
    if ((slots = Slots(&n)) == NULL) {
        *indexPtr = 0;
        return -1;
    }
    for (i = *indexPtr; i >= 0 && i < n; i++) {
        off = __atomic_load_n(&slots[i], __ATOMIC_RELAXED);
        if (off <= 1)       /* empty, or a deleted marker */
            continue;
        if (!MonGoodRecordOff(off)) {
            BadSlot(i, off, n);
            continue;
        }
        *indexPtr = i + 1;
        *recPtr = MON_PTR(off);
        return 1;
    }
    *indexPtr = 0;
    errno = ESRCH;
    return 0;
}

Mon_Conn_t *MonMmapScan(int32_t *indexPtr)
{
    Mon_Conn_t *rec;

    Scan(indexPtr, &rec);
    return rec;
}

Mon_Conn_t *MonMmapIterateConn(Mon_Handle_t handle, int32_t *indexPtr)
{
    info_t *info = handle;
    Mon_Conn_t *rec;

    if (info == NULL || info->addr == NULL) {
        MON_ERR("MonMmapIterateConn", MON_BAD_HANDLE);
        return NULL;
    }
    if (MonLock(info->hashMutex) < 0) {
        *indexPtr = 0;
        return NULL;
    }
    rec = MonMmapScan(indexPtr);
    MonUnlock(info->hashMutex);
    return rec;
}

/*
 * Takes the next records that changed for this reader, up to max, under
 * one hold of the hash mutex; fn names the caller in reports.  The mutex is
 * held from finding a record until it is copied, so a cleanup cannot delete
 * and reuse it meanwhile, and a writer cannot change it half-way; the
 * reader's bits are taken in one atomic step before the copy, so a change
 * marked after the copy stays marked for the next scan.
 */
static int TakeChanged(info_t *info, const char *fn, int32_t readTime,
                       int32_t *indexPtr, Mon_Conn_t *conns, int max)
{
    Mon_Conn_t *rec;
    uint32_t mask, state;
    int shift, n = 0, found = 0;

    if (info == NULL || info->addr == NULL) {
        MON_ERR(fn, MON_BAD_HANDLE);
        errno = ENOENT;
        return -1;
    }
    /* The writer has no change bits of its own. */
    if (info->procId == 0 || max < 1) {
        MON_ERR(fn, "bad reader procId=%d", info->procId);
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
    while (n < max && (found = Scan(indexPtr, &rec)) == 1) {
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
    if (n == 0 && found < 0) {
        errno = EINVAL;
        return -1;
    }
    return n;
}

int Mon_MmapGetNextConn(Mon_Handle_t handle, int32_t readTime,
                        int32_t *indexPtr, Mon_Conn_t *connPtr)
{
    return TakeChanged(handle, "Mon_MmapGetNextConn", readTime, indexPtr,
                       connPtr, 1);
}

int Mon_MmapGetChanged(Mon_Handle_t handle, int32_t readTime,
                       int32_t *indexPtr, Mon_Conn_t *conns, int max)
{
    return TakeChanged(handle, "Mon_MmapGetChanged", readTime, indexPtr,
                       conns, max);
}
