/* Small types shared by the connection-table library and its callers. */
#ifndef MON_TYPES_H
#define MON_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of an open table or mutex. */
typedef void *Mon_Handle_t;

/* Truth value: 0 false, anything else true. */
typedef uint8_t Boolean_t;

/* Connection key.  word[0] is the serving proxy process id, word[1] that
 * process's number for the connection.  Hashed in memory byte order. */
typedef struct Uint64 {
    uint32_t word[2];
} Uint64;

#ifdef __cplusplus
}
#endif

#endif /* MON_TYPES_H */
