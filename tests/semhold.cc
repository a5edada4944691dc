// Plays a process that gets in the table's way through one of its
// semaphores, found as the table library finds them (the key of /tmp/NAME):
//   semhold hold NAME     takes it, says "held", and keeps it until killed
//   semhold set NAME N    sets its value to N and exits (nothing undoes it)
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <string>

namespace {

int usage() {
  fprintf(stderr, "usage: semhold hold NAME | semhold set NAME N\n");
  return 2;
}

int fail(const char *what) {
  fprintf(stderr, "semhold: %s: %s\n", what, strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return usage();
  const std::string path = std::string("/tmp/") + argv[2];
  int id = semget(ftok(path.c_str(), 'V'), 0, 0);
  if (id < 0) return fail(path.c_str());
  if (strcmp(argv[1], "set") == 0 && argc == 4) {
    if (semctl(id, 0, SETVAL, atoi(argv[3])) < 0) return fail("semctl");
    return 0;
  }
  if (strcmp(argv[1], "hold") != 0 || argc != 3) return usage();
  struct sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
  while (semop(id, take, 2) < 0)
    if (errno != EINTR) return fail("semop");
  printf("held\n");
  fflush(stdout);
  for (;;) pause();
}
