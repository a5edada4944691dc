// Isolation for tests that create the connection table or mutexes.
#ifndef TW_TESTS_PRIVATE_TMP_H
#define TW_TESTS_PRIVATE_TMP_H

// Moves the (single-threaded) process into its own mount and IPC namespace
// with a fresh /tmp, or where that is not allowed takes a lock that makes
// such tests run one at a time. True when a private namespace was entered.
bool EnterPrivateTmp();

#endif  // TW_TESTS_PRIVATE_TMP_H
