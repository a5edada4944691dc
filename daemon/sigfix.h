// Signal handler installation used by the daemon: empty mask, no flags,
// so a handled signal interrupts a sleep or a wait at once.
#ifndef TW_SIGFIX_H
#define TW_SIGFIX_H

#include <signal.h>
#include <string.h>

typedef void (*sig_handler_t)(int);

inline void install_handler(int sig, sig_handler_t handler) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

#endif  // TW_SIGFIX_H
