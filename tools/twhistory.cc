// twhistory: lists what tollwatch's history databases hold, one line per
// aggregate record, and can age every item for trying out windows and the
// refresh.
//
//   twhistory [-s SECONDS] DATAFILE
//
// Each line: kind, "#" and the aggregate's number, its key fields, then
// items=N first=T last=T, and sum=S for the kinds whose items carry a
// value.  Lines are sorted.  A corrupt record stops the listing with the
// daemon's own message and exit status 1; so do damaged files, checked
// before anything is read, and named in the message.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "audit.h"
#include "error.h"
#include "ndbm_store.h"
#include "store_open.h"

namespace {

const char kUsage[] =
    "usage: twhistory [-s SECONDS] DATAFILE\n"
    "       twhistory -D URL [-k PREFIX] [-A PASSWORD_FILE]\n"
    "                 [--import DATAFILE | --export DATAFILE]\n"
    "       twhistory -h | --help | -V | --version\n";

[[noreturn]] void Usage() {
  fputs(kUsage, stderr);
  exit(1);
}

std::string Dotted(const unsigned char *p) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
  return buf;
}

int IntAt(const unsigned char *p) {
  int v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Ports in the rule language's code: +p tcp, -p udp, p + 65536 either.
std::string Port(int app) {
  char buf[24];
  if (app > 65535)
    snprintf(buf, sizeof buf, "%d/either", app - 65536);
  else if (app < 0)
    snprintf(buf, sizeof buf, "%lld/udp", -static_cast<long long>(app));
  else
    snprintf(buf, sizeof buf, "%d/tcp", app);
  return buf;
}

// The kind, number and fields of a key; false when the key's length does
// not fit the fields its flags select.
bool Describe(const datum &key, std::string *text) {
  const unsigned char *k = reinterpret_cast<const unsigned char *>(key.dptr);
  if (key.dsize < 4 || (k[3] & ~0x1f) != 0) return false;
  int bits = k[3], need = 4;
  for (int b = 0; b < 4; b++)
    if (bits & (1 << b)) need += 4;
  if (key.dsize < need || (!(bits & FLAG_USR) && key.dsize != need))
    return false;

  *text = k[0] < N_TOTALS ? tot[k[0]] : "kind" + std::to_string(k[0]);
  *text += " #" + std::to_string(k[2]);
  int pos = 4;
  if (bits & FLAG_SRC) { *text += " src=" + Dotted(k + pos); pos += 4; }
  if (bits & FLAG_DST) { *text += " dst=" + Dotted(k + pos); pos += 4; }
  if (bits & FLAG_APP) { *text += " app=" + Port(IntAt(k + pos)); pos += 4; }
  if (bits & FLAG_ERR) {
    *text += " err=" + std::to_string(IntAt(k + pos));
    pos += 4;
  }
  if (bits & FLAG_USR)
    *text += " usr=" +
             printable(std::string(key.dptr + pos, key.dsize - pos).c_str());
  return true;
}

// Every key of file 1 that starts a record, copied out before anything is
// read or written, so that no write disturbs the key walk.
std::vector<std::string> Keys(NdbmStore &store) {
  std::vector<std::string> keys;
  for (std::string &key : store.keys()) {
    if (key.size() >= 2 && key[1] != '\0') {
      fprintf(stderr, "twhistory: skipping a key of chunk %d in file 1\n",
              static_cast<unsigned char>(key[1]));
      continue;
    }
    keys.push_back(std::move(key));
  }
  return keys;
}

int Increment(const std::string &key) {
  int kind = static_cast<unsigned char>(key[0]);
  return kind == TOT_FAIL ? 1 : kind == TOT_ACCESS ? 2 : 3;
}

// Moves every item of every record the given seconds into the past.
void Age(NdbmStore &store, int seconds) {
  std::vector<int> items;
  for (const std::string &key : Keys(store)) {
    int inc = Increment(key);
    store.read(key, inc, items);
    for (size_t i = 0; i < items.size(); i += inc)
      items[i] = items[i] >= INT_MIN + seconds ? items[i] - seconds : INT_MIN;
    store.write(key, items);
  }
}

using Entries = std::vector<std::pair<std::string, std::vector<int>>>;

// Every key of the files with its items.
Entries FileEntries(NdbmStore &store) {
  Entries all;
  for (const std::string &key : Keys(store)) {
    all.emplace_back(key, std::vector<int>());
    store.read(key, Increment(key), all.back().second);
  }
  return all;
}

// Every key of a server's store with its items.
Entries ServerEntries(HistoryStore &store) {
  Entries all;
  store.for_each(
      [](const std::string &key, const std::vector<int> &items, void *arg) {
        static_cast<Entries *>(arg)->emplace_back(key, items);
      },
      &all);
  return all;
}

int List(const Entries &entries) {
  std::vector<std::string> lines;
  int status = 0;
  for (const auto &[key, items] : entries) {
    std::string line;
    datum k = {const_cast<char *>(key.data()), static_cast<int>(key.size())};
    if (!Describe(k, &line)) {
      std::string octal;
      char byte[8];
      for (unsigned char c : key) {
        snprintf(byte, sizeof byte, "\\%03o", c);
        octal += byte;
      }
      fprintf(stderr, "twhistory: undecodable key %s\n", octal.c_str());
      status = 1;
      continue;
    }
    int kind = static_cast<unsigned char>(key[0]), inc = Increment(key);
    int n = static_cast<int>(items.size());
    if (n == 0) continue;
    char tail[96];
    snprintf(tail, sizeof tail, " items=%d first=%d last=%d", n / inc,
             items[0], items[n - inc]);
    line += tail;
    if (inc == 3 && kind != TOT_FAIL && kind < N_TOTALS) {
      snprintf(tail, sizeof tail, " sum=%.0f",
               items_total(items.data(), n, inc, INT_MIN));
      line += tail;
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  for (const std::string &line : lines) printf("%s\n", line.c_str());
  return status;
}

// Copies every key's items from one store to the other: into the server
// as additions to what it holds (no expiry until a daemon changes the
// key), into the files replacing what they hold under the key.
int Copy(const Entries &entries, HistoryStore *server, NdbmStore *files) {
  std::vector<int> after;
  int status = 0;
  for (const auto &[key, items] : entries) {
    if (items.empty()) continue;
    int rc;
    if (server != nullptr) {
      ItemUpdate u;
      u.increment = Increment(key);
      u.add = items;
      u.until = INT_MIN;
      rc = server->update(key, u, after);
    } else {
      rc = files->write(key, items);
    }
    if (rc != 0) status = 1;
  }
  printf("twhistory: %zu keys copied%s\n", entries.size(),
         status != 0 ? ", some not kept" : "");
  return status;
}

std::unique_ptr<NdbmStore> OpenFiles(const std::string &base, int flags) {
  std::string fault = history_damage(base);
  if (!fault.empty()) {
    fprintf(stderr, "twhistory: %s\n", fault.c_str());
    exit(1);
  }
  std::string failed;
  auto store = std::make_unique<NdbmStore>(base, flags, &failed);
  if (!store->is_open()) {
    fprintf(stderr, "twhistory: can't open %s: %s\n", failed.c_str(),
            errno != 0 ? strerror(errno) : "not a readable history file");
    exit(1);
  }
  return store;
}

// twhistory -D URL [-k PREFIX] [-A FILE] [--import|--export DATAFILE]
int ServerMain(int argc, char **argv) {
  const char *import = nullptr, *export_to = nullptr;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) Usage();
    const char *o = argv[i], *v = argv[i + 1];
    if (!strcmp(o, "-D")) ALRM_store_spec.url = v;
    else if (!strcmp(o, "-k")) ALRM_store_spec.prefix = v;
    else if (!strcmp(o, "-A")) ALRM_store_spec.password_file = v;
    else if (!strcmp(o, "--import")) import = v;
    else if (!strcmp(o, "--export")) export_to = v;
    else Usage();
  }
  if (ALRM_store_spec.url == nullptr || (import != nullptr && export_to != nullptr))
    Usage();
  std::unique_ptr<HistoryStore> server = open_server_store();
  int status;
  if (import != nullptr) {
    status = Copy(FileEntries(*OpenFiles(import, O_RDONLY)), server.get(), nullptr);
  } else if (export_to != nullptr) {
    status = Copy(ServerEntries(*server), nullptr,
                  OpenFiles(export_to, O_RDWR | O_CREAT).get());
  } else {
    status = List(ServerEntries(*server));
  }
  server->close();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  int age = 0;
  int arg = 1;
  if (argc == 2 && (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help"))) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && (!strcmp(argv[1], "-V") || !strcmp(argv[1], "--version"))) {
    printf("twhistory %s\n", TW_VERSION);
    return 0;
  }
  for (int i = 1; i < argc; i++)
    if (!strcmp(argv[i], "-D")) return ServerMain(argc, argv);
  if (arg < argc && strcmp(argv[arg], "-s") == 0) {
    if (arg + 1 >= argc) Usage();
    char *end;
    long v = strtol(argv[arg + 1], &end, 10);
    if (*argv[arg + 1] == '\0' || *end != '\0' || v <= 0 || v > INT_MAX)
      Usage();
    age = static_cast<int>(v);
    arg += 2;
  }
  if (argc - arg != 1 || argv[arg][0] == '-') Usage();
  std::string base = argv[arg];

  std::string fault = history_damage(base);
  if (!fault.empty()) {
    fprintf(stderr, "twhistory: %s\n", fault.c_str());
    return 1;
  }
  int flags = age != 0 ? O_RDWR : O_RDONLY;
  std::string failed;
  NdbmStore store(base, flags, &failed);
  if (!store.is_open()) {
    fprintf(stderr, "twhistory: can't open %s: %s\n", failed.c_str(),
            errno != 0 ? strerror(errno) : "not a readable history file");
    return 1;
  }
  if (age != 0) Age(store, age);
  int status = List(FileEntries(store));
  store.close();
  return status;
}
