// Fuzz target for twparser's scanner, grammar and writer, in-process: an
// error jumps back here, and a run that ends normally leaves nothing allocated.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "fuzz.h"
#include "yyaux.h"

struct yy_buffer_state;
yy_buffer_state *yy_scan_bytes(const char *bytes, int len);
int yylex_destroy();

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  static FILE *sink = fopen("/dev/null", "w");
  yyout = sink;  // the scanner's reset forgets it
  lineno = 1;
  cond_mode = action_mode = pattern_mode = 0;
  yy_scan_bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
  bool finished = false;
  if (setjmp(fuzz_stop) == 0) {
    yyparse();
    finished = true;
  }
  yylex_destroy();
  size_t left = fuzz_free_all();
  if (finished && left != 0) {
    fprintf(stderr, "%zu blocks left after a complete parse\n", left);
    abort();
  }
  return 0;
}
