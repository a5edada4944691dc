/* The table header compiled as C, its layout checks included, and the
 * library linked from a C program, as the proxy does. */
#include "monMmap.h"

int main(void) { return Prime(36) == 37 ? 0 : 1; }
