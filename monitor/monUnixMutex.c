/*
 * Named cross-process mutexes.  Each mutex is one System V semaphore
 * (0 free, 1 held) whose key comes from the file "/tmp/<name>".  Failures
 * on a valid handle are kept in the handle for MonMutexLastErr; only a
 * null handle is reported at once.
 */
#include "monUnixMutex.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "monErr.h"

#define BAD_HANDLE "bad handle, MonMutexOpen() not called"

typedef struct {
    int32_t id;                     /* semaphore set identifier */
    uint8_t creator;                /* only the creator removes the mutex */
    uint8_t held;                   /* taken through this handle */
    int32_t errNum;                 /* last failure on this handle */
    char errMsg[MON_ERRMSG_LEN];
    char path[256];                 /* "/tmp/" and the name */
} info_t;

/* The caller defines the argument of semctl. */
union semun {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

/* Records a failure in the handle and in errno; returns -1. */
static int __attribute__((format(printf, 3, 4)))
SetErr(info_t *info, int num, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    vsnprintf(info->errMsg, sizeof info->errMsg, fmt, ap);
    va_end(ap);
    info->errNum = num;
    errno = num;
    return -1;
}

/* Runs a semaphore operation, again after a signal interrupted it. */
static int
SemOp(info_t *info, struct sembuf *ops, size_t nops, const char *op)
{
    while (semop(info->id, ops, nops) == -1) {
        if (errno != EINTR)
            return SetErr(info, errno, "%s: semop(%d) failed", op,
                          (int)info->id);
    }
    return 0;
}

/* Creators' mode and group for key files and sets (MonMutexSetMode). */
static mode_t keyMode = 0666;
static gid_t keyGroup = (gid_t)-1;
static int keyModeSet;

void
MonMutexSetMode(mode_t mode, gid_t group)
{
    keyMode = mode & 0777;
    keyGroup = group;
    keyModeSet = 1;
}

/* ftok()'s key, taken from the file opened rather than from whatever lies
 * at its path by the time ftok() would look. */
static key_t
FileKey(const struct stat *st)
{
    return (key_t)(((unsigned)'V' << 24) |
                   ((unsigned)(st->st_dev & 0xff) << 16) |
                   (unsigned)(st->st_ino & 0xffff));
}

/* Creator: its own key file gets the mode and group asked for. */
static int
OwnKeyFile(info_t *info, int fd, const struct stat *st)
{
    if (st->st_uid != geteuid())
        return SetErr(info, EPERM, "MonMutexOpen: %s belongs to uid %lu",
                      info->path, (unsigned long)st->st_uid);
    if ((keyGroup != (gid_t)-1 && fchown(fd, (uid_t)-1, keyGroup) != 0) ||
        fchmod(fd, keyMode) != 0)
        return SetErr(info, errno, "MonMutexOpen: mode of %s not set",
                      info->path);
    return 0;
}

/* The key file, never through a symbolic link and only a regular file: the
 * creator makes or opens it to write the set's id in it, so it must have
 * one link; a reader only looks at it.  The descriptor, or -1. */
static int
OpenKeyFile(info_t *info, Boolean_t create, struct stat *st)
{
    int fd;

    if (create)
        fd = open(info->path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK |
                  O_CLOEXEC, keyMode);
    else
        fd = open(info->path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return SetErr(info, errno, "MonMutexOpen: open(%s) failed",
                      info->path);
    if (fstat(fd, st) != 0)
        SetErr(info, errno, "MonMutexOpen: fstat(%s) failed", info->path);
    else if (!S_ISREG(st->st_mode) || (create && st->st_nlink != 1))
        SetErr(info, EINVAL, "MonMutexOpen: %s: not a regular file with "
               "one link", info->path);
    else if (!create || !keyModeSet || OwnKeyFile(info, fd, st) == 0)
        return fd;
    close(fd);
    return -1;
}

static int
StatSet(info_t *info, struct semid_ds *ds, const char *op)
{
    union semun arg;

    arg.buf = ds;
    if (semctl(info->id, 0, IPC_STAT, arg) == -1)
        return SetErr(info, errno, "%s: semctl(%d, IPC_STAT) failed", op,
                      (int)info->id);
    return 0;
}

/* Creator: the set made, or left by its own last run, gets the mode and
 * group asked for; one another user made is not taken up. */
static int
OwnSet(info_t *info)
{
    struct semid_ds ds;
    union semun arg;

    if (StatSet(info, &ds, "MonMutexOpen") < 0)
        return -1;
    if (ds.sem_perm.cuid != geteuid() || ds.sem_perm.uid != geteuid())
        return SetErr(info, EPERM, "MonMutexOpen: the semaphore set of %s "
                      "belongs to uid %lu", info->path,
                      (unsigned long)(ds.sem_perm.cuid != geteuid() ?
                                      ds.sem_perm.cuid : ds.sem_perm.uid));
    ds.sem_perm.mode = keyMode;
    if (keyGroup != (gid_t)-1)
        ds.sem_perm.gid = keyGroup;
    arg.buf = &ds;
    if (semctl(info->id, 0, IPC_SET, arg) == -1)
        return SetErr(info, errno, "MonMutexOpen: semctl(%d, IPC_SET) "
                      "failed, path=%s", (int)info->id, info->path);
    return 0;
}

int
MonMutexPerm(Mon_Handle_t handle, struct ipc_perm *perm)
{
    struct semid_ds ds;

    if (handle == NULL) {
        MON_SYS_ERR("MonMutexPerm", BAD_HANDLE);
        return -1;
    }
    if (StatSet(handle, &ds, "MonMutexPerm") < 0)
        return -1;
    *perm = ds.sem_perm;
    return 0;
}

/* Writes the semaphore id into the mutex file, for people to read. */
static void
WriteId(int fd, int id)
{
    char buf[16];
    int len = snprintf(buf, sizeof buf, "%d", id);
    ssize_t n = write(fd, buf, (size_t)len);

    (void)n;
    close(fd);
}

int
MonMutexOpen(const char *mutexName, Boolean_t create, Mon_Handle_t *handlePtr)
{
    static const char op[] = "MonMutexOpen";
    info_t *info;
    int fd = -1;
    int nsems = 0;
    int flags = 0666;
    key_t key;
    struct stat st;

    *handlePtr = NULL;
    info = calloc(1, sizeof *info);
    if (info == NULL) {
        MON_SYS_ERR(op, "malloc() failed");
        return -1;
    }
    info->id = -1;  /* no set yet: a failed open must not remove set 0 */
    *handlePtr = info;

    if (mutexName == NULL || mutexName[0] == '\0')
        return SetErr(info, ENOENT, "%s: bad mutex name", op);
    snprintf(info->path, sizeof info->path, "%s%.*s", MON_MUTEX_DIR,
             MON_MUTEX_NAMELEN, mutexName);

    if ((fd = OpenKeyFile(info, create, &st)) < 0)
        return -1;
    if (create) {
        info->creator = 1;
        nsems = 1;
        flags = IPC_CREAT | (int)keyMode;
    } else {
        close(fd);
        fd = -1;
    }

    key = FileKey(&st);
    info->id = semget(key, nsems, flags);
    if (info->id == -1) {
        SetErr(info, errno, "%s: semget(0x%lx) failed, path=%s", op,
               (unsigned long)key, info->path);
        goto fail;
    }
    if (create && keyModeSet && OwnSet(info) < 0) {
        info->id = -1;  /* not ours to remove */
        goto fail;
    }
    if (fd >= 0)
        WriteId(fd, info->id);
    return 0;

fail:
    if (fd >= 0)
        close(fd);
    return -1;
}

int
MonMutexClose(Mon_Handle_t handle)
{
    info_t *info = handle;

    if (info == NULL) {
        MON_SYS_ERR("MonMutexClose", BAD_HANDLE);
        return -1;
    }
    /* A holder that lets go of a table in mid-operation gives the lock back. */
    if (info->held && !info->creator)
        MonMutexRelease(info);
    if (info->creator) {
        semctl(info->id, 0, IPC_RMID);
        unlink(info->path);
    }
    free(info);
    return 0;
}

/* Wait for 0 and take it in one step; the kernel undoes it if we die. */
static int
Take(info_t *info, const struct timespec *limit, short waitFlags,
     const char *op)
{
    struct sembuf ops[2] = {
        { .sem_num = 0, .sem_op = 0, .sem_flg = waitFlags },
        { .sem_num = 0, .sem_op = 1, .sem_flg = SEM_UNDO },
    };

    if (info == NULL) {
        MON_SYS_ERR(op, BAD_HANDLE);
        return -1;
    }
    if (limit == NULL && !(waitFlags & IPC_NOWAIT)) {
        if (SemOp(info, ops, 2, op) < 0)
            return -1;
    } else if (semtimedop(info->id, ops, 2, limit) == -1) {
        return SetErr(info, errno, "%s: semtimedop(%d) failed", op,
                      (int)info->id);
    }
    info->held = 1;
    return 0;
}

int
MonMutexRequest(Mon_Handle_t handle)
{
    return Take(handle, NULL, 0, "MonMutexRequest");
}

int
MonMutexRequestWithin(Mon_Handle_t handle, int32_t ms)
{
    struct timespec limit;

    if (ms <= 0)
        return Take(handle, NULL, IPC_NOWAIT, "MonMutexRequestWithin");
    limit.tv_sec = ms / 1000;
    limit.tv_nsec = (long)(ms % 1000) * 1000000L;
    return Take(handle, &limit, 0, "MonMutexRequestWithin");
}

int
MonMutexAwaitHeld(Mon_Handle_t handle, int32_t ms)
{
    /* Needs the value at 1 and leaves it there: the pair is one step, so
     * nothing is taken and nothing is left to undo. */
    struct sembuf ops[2] = {
        { .sem_num = 0, .sem_op = -1, .sem_flg = 0 },
        { .sem_num = 0, .sem_op = 1, .sem_flg = 0 },
    };
    struct timespec limit;
    info_t *info = handle;

    if (info == NULL) {
        MON_SYS_ERR("MonMutexAwaitHeld", BAD_HANDLE);
        errno = EINVAL;
        return -1;
    }
    limit.tv_sec = ms / 1000;
    limit.tv_nsec = (long)(ms % 1000) * 1000000L;
    if (semtimedop(info->id, ops, 2, &limit) == 0)
        return 1;
    return errno == EAGAIN ? 0 : -1;
}

int
MonMutexRelease(Mon_Handle_t handle)
{
    /* Never waits: releasing a free mutex fails with EAGAIN. */
    struct sembuf ops[1] = {
        { .sem_num = 0, .sem_op = -1, .sem_flg = IPC_NOWAIT | SEM_UNDO },
    };
    info_t *info = handle;

    if (info == NULL) {
        MON_SYS_ERR("MonMutexRelease", BAD_HANDLE);
        return -1;
    }
    info->held = 0;
    return SemOp(info, ops, 1, "MonMutexRelease");
}

int
MonMutexQuery(Mon_Handle_t handle)
{
    info_t *info = handle;
    unsigned short values[1];
    union semun arg;

    if (info == NULL) {
        MON_SYS_ERR("MonMutexQuery", BAD_HANDLE);
        return -1;
    }
    arg.array = values;
    if (semctl(info->id, 0, GETALL, arg) == -1)
        return SetErr(info, errno, "%s: semctl(%d) failed", "MonMutexQuery",
                      (int)info->id);
    return values[0];
}

void
MonMutexLastErr(Mon_Handle_t handle, int *errNumPtr, char *errMsg)
{
    const info_t *info = handle;

    if (info == NULL) {
        *errNumPtr = ENOENT;
        snprintf(errMsg, MON_ERRMSG_LEN, "%s", BAD_HANDLE);
        return;
    }
    *errNumPtr = info->errNum;
    snprintf(errMsg, MON_ERRMSG_LEN, "%s", info->errMsg);
}
