// twparser: checks a rule file and writes its normalised parsed form.
//
//   twparser [rule-file [parsed-file [daemon-flag]]]
//   twparser -h | --help | -V | --version
//
// Reads standard input and writes standard output when the files are not
// given.  Exit status 0 when the whole file was read and written, 1 after
// the first error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "error.h"
#include "yyaux.h"

int main(int argc, char **argv) {
  if (argc == 2 && (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help"))) {
    printf("usage: twparser [rulefile [parsedfile [daemonflag]]]\n"
           "       twparser -h | --help | -V | --version\n");
    return 0;
  }
  if (argc == 2 && (!strcmp(argv[1], "-V") || !strcmp(argv[1], "--version"))) {
    printf("twparser %s\n", TW_VERSION);
    return 0;
  }
  if (argc > 3) {
    ALRM_daemon = atoi(argv[3]);
    err_init(argv[0]);
  }
  yyin = stdin;
  yyout = stdout;
  if (argc > 1 && (yyin = fopen(argv[1], "r")) == nullptr)
    err_quit("can't open `%s' for reading", argv[1]);
  if (argc > 2 && (yyout = fopen(argv[2], "w")) == nullptr)
    err_quit("can't open `%s' for writing", argv[2]);

  int rc = yyparse();
  // A parsed file that did not reach the disk must not pass for one.
  if (fflush(yyout) != 0 || ferror(yyout))
    err_sys("write error on `%s'", argc > 2 ? argv[2] : "standard output");
  return rc == 0 ? 0 : 1;
}
