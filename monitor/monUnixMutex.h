/*
 * Named cross-process mutexes, each one System V semaphore whose key is
 * derived from a file "/tmp/<name>".  Not re-entrant.  SEM_UNDO gives a
 * mutex back when its holder dies.
 */
#ifndef MON_UNIX_MUTEX_H
#define MON_UNIX_MUTEX_H

#include "monTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MON_MUTEX_DIR     "/tmp/"
#define MON_MUTEX_NAMELEN 250   /* longest name used, longer ones are cut */
#define MON_ERRMSG_LEN    128

int MonMutexOpen(const char *mutexName, Boolean_t create,
                 Mon_Handle_t *handlePtr);
int MonMutexClose(Mon_Handle_t handle);
int MonMutexRequest(Mon_Handle_t handle);
int MonMutexRelease(Mon_Handle_t handle);
int MonMutexQuery(Mon_Handle_t handle);
void MonMutexLastErr(Mon_Handle_t handle, int *errNumPtr, char *errMsg);

#ifdef __cplusplus
}
#endif

#endif /* MON_UNIX_MUTEX_H */
