// Detaching from the terminal.
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audit.h"
#include "error.h"

// The parent exits; the child leads a new session.  The working directory
// is kept unless asked, so relative rule and history paths keep working.
int daemon_start(int changeroot) {
  pid_t pid = fork();
  if (pid < 0) err_sys("can't fork daemon child");
  if (pid > 0) exit(0);
  setsid();
  errno = 0;
  if (changeroot) (void)!chdir("/");
  umask(0);
  return 0;
}
