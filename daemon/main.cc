#include "audit.h"

int main(int argc, char **argv) { return tollwatch_main(argc, argv); }
