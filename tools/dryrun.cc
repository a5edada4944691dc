// The dry run's command sink and scratch history.
#include "dryrun.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "error.h"
#include "ndbm_store.h"

void PrintSink::run(int, const char *line) {
  fprintf(out_, "would run: %s\n", line);
  ran++;
}

void PrintSink::suppressed(int, const char *line) {
  fprintf(out_, "suppressed: %s\n", line);
  held++;
}

namespace {

std::string scratch_dir;

void remove_scratch() {
  if (scratch_dir.empty()) return;
  // The store's held records go with the files; an open store may
  // outlive its names.
  if (DIR *d = opendir(scratch_dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        unlink((scratch_dir + "/" + e->d_name).c_str());
    closedir(d);
  }
  rmdir(scratch_dir.c_str());
  scratch_dir.clear();
}

// Copies from to a new file to; a missing from is left out unless must.
void copy_file(const std::string &from, const std::string &to, bool must) {
  int in = open(from.c_str(), O_RDONLY);
  if (in < 0) {
    if (errno == ENOENT && !must) return;
    err_sys("can't read %s", from.c_str());
  }
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (out < 0) err_sys("can't create %s", to.c_str());
  char buf[65536];
  ssize_t n;
  while ((n = read(in, buf, sizeof buf)) > 0)
    if (write(out, buf, n) != n) err_sys("can't write %s", to.c_str());
  if (n < 0) err_sys("can't read %s", from.c_str());
  close(in);
  if (close(out) != 0) err_sys("can't write %s", to.c_str());
}

}  // namespace

void open_scratch_history(AlarmTable &table, const char *base) {
  const char *tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
                    "/twcheck.XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) err_sys("can't make %s", dir.c_str());
  scratch_dir = dir;
  atexit(remove_scratch);

  std::string copy = dir + "/history";
  if (base != nullptr)
    for (const char *n : {"1", "2"})
      for (const char *suffix : {".pag", ".dir"})
        copy_file(base + std::string(n) + suffix, copy + n + suffix,
                  strcmp(suffix, ".pag") == 0);

  free(table.audit_file_name);
  table.audit_file_name = strdup(copy.c_str());
  if (table.audit_file_name == nullptr) memory_err();
  std::string failed;
  auto store = std::make_unique<NdbmStore>(copy, O_RDWR | O_CREAT, &failed);
  if (!store->is_open())
    err_quit("open db file%c error", failed.empty() ? '1' : failed.back());
  store->hold(true);
  table.set_store(std::move(store));
}
