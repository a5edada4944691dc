// Error functions that jump back to the fuzz target, and memory functions
// that remember every live block.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <unordered_set>

#include "error.h"
#include "fuzz.h"
#include "yyaux.h"

jmp_buf fuzz_stop;
int ALRM_daemon, ALRM_echo;
void (*ALRM_close_history)();

namespace {

std::unordered_set<void *> live;

// The consistency checks that no input may reach abort; others jump back.
[[noreturn]] void stop(const char *fmt) {
  for (const char *t : {"internal error", "wrong condition rule",
                        "unknown negation", "unknown rule"})
    if (strncmp(fmt, t, strlen(t)) == 0) {
      fprintf(stderr, "internal check failed: %s\n", fmt);
      abort();
    }
  longjmp(fuzz_stop, 1);
}

}  // namespace

void *tw_alloc(size_t n) {
  void *p = malloc(n);
  if (p != nullptr) live.insert(p);
  return p;
}

void tw_free(void *p) {
  if (p == nullptr) return;
  if (live.erase(p) != 1) abort();  // freed twice, or never ours
  free(p);
}

size_t fuzz_free_all() {
  size_t n = live.size();
  for (void *p : live) free(p);
  live.clear();
  return n;
}

void err_init(const char *) {}
void SYSLOG(int, const char *) {}
void my_perror() {}
void err_quit(const char *fmt, ...) { stop(fmt); }
void err_sys(const char *fmt, ...) { stop(fmt); }
int err_ret(const char *, ...) { return -1; }
void err_dump(const char *, ...) { abort(); }  // an internal fault
void trace_buffer() {}
void trace_put(const char *, size_t) {}
void trace_drain() {}
void trace_flush() {}
