#include "private_tmp.h"

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

bool EnterPrivateTmp() {
  if (unshare(CLONE_NEWNS | CLONE_NEWIPC) == 0 &&
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      mount("tmpfs", "/tmp", "tmpfs", 0, "size=64m,mode=1777") == 0)
    return true;
  fprintf(stderr, "note: no private namespace; running serialised\n");
  int fd = open("/tmp/tollwatch-tests.lock", O_RDWR | O_CREAT, 0666);
  if (fd >= 0) flock(fd, LOCK_EX);  // held until the process ends
  return false;
}
