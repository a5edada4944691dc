// What the fuzz target puts in place of the error module and the memory
// functions of the real program.
#ifndef TW_FUZZ_SUPPORT_H
#define TW_FUZZ_SUPPORT_H

#include <setjmp.h>
#include <stddef.h>

// Where err_quit and err_sys jump to instead of exiting.
extern jmp_buf fuzz_stop;

// Frees every block the parser still holds; returns how many there were.
size_t fuzz_free_all();

#endif  // TW_FUZZ_SUPPORT_H
