/*
 * A reader's wait for the writer.  Every writer operation finds its record
 * under the hash mutex, so a process that sleeps until someone takes that
 * mutex wakes as soon as the table starts to change, and sleeps on while
 * nothing happens.
 */
#include <errno.h>

#include "monErr.h"
#include "monMmapInt.h"

int Mon_MmapAwaitWriter(Mon_Handle_t handle, int32_t ms)
{
    info_t *info = handle;

    if (info == NULL || info->addr == NULL || info->hashMutex == NULL) {
        MON_ERR("Mon_MmapAwaitWriter", MON_BAD_HANDLE);
        errno = EINVAL;
        return -1;
    }
    return MonMutexAwaitHeld(info->hashMutex, ms < 0 ? 0 : ms);
}
