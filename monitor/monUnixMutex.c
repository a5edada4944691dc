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
#include <sys/types.h>
#include <unistd.h>

#include "monErr.h"

#define BAD_HANDLE "bad handle, MonMutexOpen() not called"

typedef struct {
    int32_t id;                     /* semaphore set identifier */
    uint8_t creator;                /* only the creator removes the mutex */
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

    if (create) {
        fd = open(info->path, O_RDWR | O_CREAT, 0666);
        if (fd < 0)
            return SetErr(info, errno, "%s: open(%s) failed", op,
                          info->path);
        info->creator = 1;
        nsems = 1;
        flags = IPC_CREAT | 0666;
    }

    key = ftok(info->path, 'V');
    if (key == -1) {
        SetErr(info, errno, "%s: ftok(%s) failed", op, info->path);
        goto fail;
    }
    info->id = semget(key, nsems, flags);
    if (info->id == -1) {
        SetErr(info, errno, "%s: semget(0x%lx) failed, path=%s", op,
               (unsigned long)key, info->path);
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
    if (info->creator) {
        semctl(info->id, 0, IPC_RMID);
        unlink(info->path);
    }
    free(info);
    return 0;
}

int
MonMutexRequest(Mon_Handle_t handle)
{
    /* Wait for 0 and take it in one step; the kernel undoes it if we die. */
    struct sembuf ops[2] = {
        { .sem_num = 0, .sem_op = 0, .sem_flg = 0 },
        { .sem_num = 0, .sem_op = 1, .sem_flg = SEM_UNDO },
    };

    if (handle == NULL) {
        MON_SYS_ERR("MonMutexRequest", BAD_HANDLE);
        return -1;
    }
    return SemOp(handle, ops, 2, "MonMutexRequest");
}

int
MonMutexRelease(Mon_Handle_t handle)
{
    /* Never waits: releasing a free mutex fails with EAGAIN. */
    struct sembuf ops[1] = {
        { .sem_num = 0, .sem_op = -1, .sem_flg = IPC_NOWAIT | SEM_UNDO },
    };

    if (handle == NULL) {
        MON_SYS_ERR("MonMutexRelease", BAD_HANDLE);
        return -1;
    }
    return SemOp(handle, ops, 1, "MonMutexRelease");
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
