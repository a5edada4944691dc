// exit() for the daemon's fuzz targets (linked with -Wl,--wrap=exit), and
// the bookkeeping that frees what a stopped run leaves behind.
#include <netdb.h>
#include <sanitizer/allocator_interface.h>
#include <stdlib.h>

#include <unordered_set>

#include "fuzz.h"

namespace {

bool in_run;    // exit() jumps back only while a target runs an input
bool tracking;  // blocks are being recorded
bool inside;    // in a hook: the set's own blocks are not recorded
std::unordered_set<const volatile void *> *live;

void Track(const volatile void *p, bool taken) {
  if (!tracking || inside) return;
  inside = true;
  if (taken) live->insert(p);
  else live->erase(p);
  inside = false;
}
void OnMalloc(const volatile void *p, size_t) { Track(p, true); }
void OnFree(const volatile void *p) { Track(p, false); }

}  // namespace

// A stopped run's blocks go back with free(), whether malloc or new took them.
extern "C" const char *__asan_default_options() {
  return "alloc_dealloc_mismatch=0";
}

// Service names are looked up with the bookkeeping paused, so a stopped run
// does not free the library's own state; host names are not looked up at
// all (no network; a name stays as written, as when it does not resolve).
extern "C" struct servent *__real_getservbyname(const char *, const char *);
extern "C" struct servent *__wrap_getservbyname(const char *name,
                                                const char *proto) {
  bool was = tracking;
  tracking = false;
  struct servent *s = __real_getservbyname(name, proto);
  tracking = was;
  return s;
}

extern "C" struct hostent *__wrap_gethostbyname(const char *) {
  h_errno = HOST_NOT_FOUND;
  return nullptr;
}

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (in_run) longjmp(fuzz_stop, 1);
  __real_exit(status);
}

bool fuzz_run(bool (*run)(const void *arg), const void *arg) {
  static bool hooked =
      __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
  if (!hooked) abort();
  if (live == nullptr) live = new std::unordered_set<const volatile void *>;
  in_run = tracking = true;
  bool finished = run(arg);
  in_run = tracking = false;
  if (!finished)
    for (const volatile void *p : *live) free(const_cast<void *>(p));
  live->clear();
  return finished;
}
