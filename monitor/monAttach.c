/*
 * Whether a table is there and held by a live creator, read from its file
 * without attaching, and whether the table a process attached to is still
 * the one at the table's path.  A reader uses them to follow a proxy that
 * restarts; a writer to leave a live table alone.
 */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "monMmapInt.h"

static int Alive(int32_t pid)
{
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

int32_t Mon_MmapLiveCreator(void)
{
    char path[256];
    struct stat st;
    int32_t pid = 0;
    int fd;

    snprintf(path, sizeof path, "%s%s", MON_MMAP_DIR, MON_MMAP_NAME);
    /* Not blocked by a FIFO put at the path. */
    if ((fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)) < 0)
        return 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_nlink != 1 || st.st_size < (off_t)MON_MMAP_SIZE ||
        pread(fd, &pid, sizeof pid, offsetof(MonMmap_t, procPid)) !=
            (ssize_t)sizeof pid)
        pid = 0;
    close(fd);
    return Alive(pid) ? pid : 0;
}

int Mon_MmapReplaced(Mon_Handle_t handle)
{
    const info_t *info = handle;
    struct stat now, mapped;

    if (info == NULL || info->addr == NULL)
        return 1;
    if (lstat(info->path, &now) != 0 || fstat(info->fd, &mapped) != 0)
        return 1;
    if (now.st_dev != mapped.st_dev || now.st_ino != mapped.st_ino)
        return 1;
    /* A table made again in the same file no longer names this reader. */
    if (info->procId != 0 && monMmapPtr->procPid[info->procId] != getpid())
        return 1;
    return !Alive(monMmapPtr->procPid[0]);
}

static int Unsound(int num)
{
    errno = num;
    return -1;
}

int Mon_MmapSound(Mon_Handle_t handle)
{
    const info_t *info = handle;
    struct stat st;
    int32_t n;

    if (info == NULL || info->addr == NULL || fstat(info->fd, &st) != 0)
        return Unsound(ESTALE);
    /* First, before anything in the mapping is read. */
    if (st.st_size < (off_t)info->size)
        return Unsound(ENODATA);
    if (__atomic_load_n(&((const MonMmap_t *)info->addr)->size,
                        __ATOMIC_RELAXED) != info->size)
        return Unsound(EINVAL);
    if (Mon_MmapReplaced(handle))
        return Unsound(ESTALE);
    if (MonMmapSlots(&n) == NULL)
        return Unsound(EINVAL);
    return 0;
}

void Mon_MmapDrop(Mon_Handle_t handle)
{
    info_t *info = handle;

    if (info == NULL)
        return;
    if (info->addr != NULL) {
        munmap(info->addr, info->size);
        if (monMmapPtr == info->addr)
            monMmapPtr = NULL;
    }
    if (info->fd >= 0)
        close(info->fd);
    /* A reader's mutex handles own nothing but their memory. */
    if (info->freeMutex != NULL)
        MonMutexClose(info->freeMutex);
    if (info->hashMutex != NULL)
        MonMutexClose(info->hashMutex);
    free(info);
}
