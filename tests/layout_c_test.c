/* The table header compiled as C: the layout checks in it run at compile
 * time; this also links the library from a C program, as the proxy does. */
#include <stdio.h>

#include "monMmap.h"

int main(void) {
    if (Prime(36) != 37) {
        printf("Prime(36) = %d\n", Prime(36));
        return 1;
    }
    printf("Mon_Conn_t %zu bytes, MonMmap_t %zu bytes\n",
           sizeof(Mon_Conn_t), sizeof(MonMmap_t));
    return 0;
}
