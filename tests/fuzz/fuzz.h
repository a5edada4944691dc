// What the fuzz targets put in place of the error module, the memory
// functions and exit() of the real programs.
#ifndef TW_FUZZ_H
#define TW_FUZZ_H

#include <setjmp.h>
#include <stddef.h>

// Where err_quit, err_sys and (in the daemon's targets) exit() jump to.
extern jmp_buf fuzz_stop;

// Frees every block the parser still holds; returns how many there were.
size_t fuzz_free_all();

// Runs one input of a daemon target: true when run() ended normally, false
// when it stopped through an error function or exit(). The blocks a
// stopped run still holds are then freed, as the exiting program would
// lose them; a run that ends normally must give back all it took (the
// fuzzer's leak check). State of a library that run() touched is closed in
// run()'s stop branch and opened again by the caller.
bool fuzz_run(bool (*run)(const void *arg), const void *arg);

#endif  // TW_FUZZ_H
