// Memory for twparser's condition trees, operand texts and parser stacks.
#include <stdlib.h>

#include "yyaux.h"

void *tw_alloc(size_t n) { return malloc(n); }

void tw_free(void *p) { free(p); }
