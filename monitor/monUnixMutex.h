/*
 * Named cross-process mutexes, each one System V semaphore whose key is
 * derived from a file "/tmp/<name>".  Not re-entrant.  SEM_UNDO gives a
 * mutex back when its holder dies.
 */
#ifndef MON_UNIX_MUTEX_H
#define MON_UNIX_MUTEX_H

#include <sys/ipc.h>
#include <sys/types.h>

#include "monTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MON_MUTEX_DIR     "/tmp/"
#define MON_MUTEX_NAMELEN 250   /* longest name used, longer ones are cut */
#define MON_ERRMSG_LEN    128

int MonMutexOpen(const char *mutexName, Boolean_t create,
                 Mon_Handle_t *handlePtr);
/* Gives back the mutex when this handle holds it (a creator removes it). */
int MonMutexClose(Mon_Handle_t handle);
/* Waits as long as the mutex is held, after a signal too. */
int MonMutexRequest(Mon_Handle_t handle);
/* Waits at most ms milliseconds (0 or less: only tries); a signal ends the
 * wait.  -1 with EAGAIN when the time ran out, EINTR after a signal, EIDRM
 * or EINVAL when the semaphore is gone. */
int MonMutexRequestWithin(Mon_Handle_t handle, int32_t ms);
int MonMutexRelease(Mon_Handle_t handle);
/* Waits at most ms milliseconds (0: only looks) until some process holds
 * the mutex, without taking it: 1 when it is held, 0 when the time ran
 * out, -1 with EINTR after a signal, EIDRM or EINVAL when the
 * semaphore is gone.  Not reported. */
int MonMutexAwaitHeld(Mon_Handle_t handle, int32_t ms);
int MonMutexQuery(Mon_Handle_t handle);
void MonMutexLastErr(Mon_Handle_t handle, int *errNumPtr, char *errMsg);
/* Creators: the mode and group ((gid_t)-1 leaves it) given to the key
 * files and semaphore sets made or taken up from now on; both must then be
 * this user's own.  Without a call, key files are made 0666 less the umask
 * and sets 0666. */
void MonMutexSetMode(mode_t mode, gid_t group);
/* The owner, creator and mode of the mutex's semaphore set. */
int MonMutexPerm(Mon_Handle_t handle, struct ipc_perm *perm);

#ifdef __cplusplus
}
#endif

#endif /* MON_UNIX_MUTEX_H */
