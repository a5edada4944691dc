// Isolation for tests that create the connection table or mutexes.
#ifndef TW_TESTS_PRIVATE_TMP_H
#define TW_TESTS_PRIVATE_TMP_H

// Moves the calling (still single-threaded) process into its own mount and
// System V IPC namespace with a fresh tmpfs on /tmp, so the table file, the
// mutex files and the semaphores it makes meet no one else's.  Where that is
// not allowed, takes an exclusive lock that makes such tests run one at a
// time instead.  Returns true when a private namespace was entered.
bool EnterPrivateTmp();

#endif  // TW_TESTS_PRIVATE_TMP_H
