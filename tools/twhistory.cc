// twhistory: lists what tollwatch's history databases hold, one line per
// aggregate record, and can age every item for trying out windows and the
// refresh.
//
//   twhistory [-s SECONDS] DATAFILE
//   twhistory [-w SECONDS] --top N [KIND] DATAFILE
//
// Each line: kind, "#" and the aggregate's number, its key fields, then
// items=N first=T last=T, and sum=S for the kinds whose items carry a
// value.  Lines are sorted.  A corrupt record stops the listing with the
// daemon's own message and exit status 1; so do damaged files, checked
// before anything is read, and named in the message.
//
// --top reads the files as the daemon goes on writing them: a record that
// does not read back whole (caught mid-write) is skipped, not fatal.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audit.h"
#include "error.h"
#include "items.h"
#include "ndbm_store.h"
#include "store_open.h"

namespace {

const char kUsage[] =
    "usage: twhistory [-s SECONDS] DATAFILE\n"
    "       twhistory [-w SECONDS] --top N [KIND] DATAFILE\n"
    "       twhistory -D URL [-k PREFIX] [-A PASSWORD_FILE]\n"
    "                 [--import DATAFILE | --export DATAFILE |\n"
    "                  [-w SECONDS] --top N [KIND]]\n"
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

// What --top shows: the n keys of most value per aggregate over the
// window's seconds up to now, of one kind (kind >= 0) or all.
struct TopSpec {
  int n = 0;
  int kind = -1;
  int window = 3600;
};

struct Ranked {
  double value;
  std::string fields;
};

// Per aggregate ("KIND #n"), its keys with a value in the window.
using Ranking = std::map<std::pair<std::string, int>, std::vector<Ranked>>;

void Rank(const Entries &entries, const TopSpec &top, Ranking *ranking) {
  int now = static_cast<int>(time(nullptr));
  int since = now - top.window;
  for (const auto &[key, items] : entries) {
    std::string text;
    datum k = {const_cast<char *>(key.data()), static_cast<int>(key.size())};
    int kind = static_cast<unsigned char>(key.empty() ? 0xff : key[0]);
    if (kind >= N_TOTALS || !Describe(k, &text)) continue;
    if (top.kind >= 0 && kind != top.kind) continue;
    int inc = Increment(key);
    int n = static_cast<int>(items.size()) - static_cast<int>(items.size()) % inc;
    // Items stamped past the clock's slack count in no window.
    n -= ints_since(items.data(), n, inc, slack_limit(now) + 1);
    double value = items_total(items.data(), n, inc, since);
    if (value <= 0) continue;
    size_t space = text.find(' ', text.find('#'));
    (*ranking)[{tot[kind], static_cast<unsigned char>(key[2])}].push_back(
        {value, space == std::string::npos ? "" : text.substr(space + 1)});
  }
}

int Top(const Entries &entries, const TopSpec &top) {
  Ranking ranking;
  Rank(entries, top, &ranking);
  for (auto &[aggregate, keys] : ranking) {
    std::sort(keys.begin(), keys.end(), [](const Ranked &a, const Ranked &b) {
      return a.value != b.value ? a.value > b.value : a.fields < b.fields;
    });
    printf("%s #%d: %zu keys in the last %d s\n", aggregate.first.c_str(),
           aggregate.second, keys.size(), top.window);
    for (size_t i = 0; i < keys.size() && i < static_cast<size_t>(top.n); i++)
      printf("%.0f%s%s\n", keys[i].value, keys[i].fields.empty() ? "" : " ",
             keys[i].fields.c_str());
  }
  return 0;
}

// A record's items as the files hold them, its chunks checked as the
// daemon checks them; false when it does not read back whole (a writer
// changed it under the read, or it is damaged).
bool ReadWhole(const NdbmStore &store, std::string key, int inc,
               std::vector<int> *items) {
  items->clear();
  int max_data = (MAX_REC_LEN - static_cast<int>(key.size())) & ~3;
  if (key.size() < 4 || max_data < 8) return false;
  std::vector<int> ints;
  for (int chunk = 0; chunk < MAX_CHUNKS; chunk++) {
    key[1] = static_cast<char>(chunk);
    datum k = {key.data(), static_cast<int>(key.size())};
    datum d = dbm_fetch(chunk == 0 ? store.d1 : store.d2, k);
    if (d.dptr == nullptr) break;
    if (d.dsize < 4 || d.dsize > max_data || d.dsize % 4 != 0) return false;
    size_t at = ints.size();
    ints.resize(at + d.dsize / 4);
    memcpy(&ints[at], d.dptr, d.dsize);
    if (d.dsize != max_data) break;  // a full chunk has a successor
  }
  if (ints.empty()) return true;  // gone since the key walk
  int count = ints[0];
  if (count != static_cast<int>(ints.size()) - 1 || count % inc != 0)
    return false;
  for (int i = 1; i + inc <= count; i += inc)
    if (ints[i] > ints[i + inc]) return false;
  items->assign(ints.begin() + 1, ints.end());
  return true;
}

// Every key of files a daemon may be writing, with the items of those
// that read back whole; the others are counted and said.
Entries LiveEntries(const NdbmStore &store, const std::vector<std::string> &keys) {
  Entries all;
  int skipped = 0;
  for (const std::string &key : keys) {
    all.emplace_back(key, std::vector<int>());
    if (!ReadWhole(store, key, Increment(key), &all.back().second)) {
      all.pop_back();
      skipped++;
    }
  }
  if (skipped > 0)
    fprintf(stderr, "twhistory: %d records skipped: not read back whole\n",
            skipped);
  return all;
}

// --top on the files: the daemon is not waited for, only a refresh that
// is moving fresh files in (at most 5 s).
int TopFiles(const std::string &base, const TopSpec &top) {
  std::string mark = base + ".refresh";
  for (int tries = 50; tries > 0 && access(mark.c_str(), F_OK) == 0; tries--)
    usleep(100000);
  std::string failed;
  errno = 0;
  NdbmStore store(base, O_RDONLY, &failed);
  if (!store.is_open()) {
    fprintf(stderr, "twhistory: can't open %s: %s\n", failed.c_str(),
            errno != 0 ? strerror(errno) : "not a readable history file");
    return 1;
  }
  std::vector<std::string> keys;
  for (std::string &key : store.keys())
    if (key.size() >= 4 && key[1] == '\0') keys.push_back(std::move(key));
  int status = Top(LiveEntries(store, keys), top);
  store.close();
  return status;
}

// A count given on the command line: 1 to INT_MAX, or the usage.
int Positive(const char *arg) {
  char *end;
  errno = 0;
  long v = strtol(arg, &end, 10);
  if (*arg == '\0' || *end != '\0' || errno != 0 || v <= 0 || v > INT_MAX)
    Usage();
  return static_cast<int>(v);
}

// Takes -w SECONDS and --top N [KIND] out of argv[i...]; i moves past
// them.  KIND is taken when it names a kind and, with files, is not the
// last argument (the DATAFILE).
bool TopOption(int argc, char **argv, int *i, bool files, TopSpec *top) {
  if (!strcmp(argv[*i], "-w")) {
    if (*i + 1 >= argc) Usage();
    top->window = Positive(argv[*i + 1]);
    *i += 2;
    return true;
  }
  if (strcmp(argv[*i], "--top") != 0) return false;
  if (*i + 1 >= argc) Usage();
  top->n = Positive(argv[*i + 1]);
  *i += 2;
  if (*i < argc && (!files || *i + 1 < argc))
    for (int k = 0; k < N_TOTALS; k++)
      if (!strcmp(argv[*i], tot[k])) {
        top->kind = k;
        (*i)++;
        break;
      }
  return true;
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
  TopSpec top;
  for (int i = 1; i < argc;) {
    if (TopOption(argc, argv, &i, false, &top)) continue;
    if (i + 1 >= argc) Usage();
    const char *o = argv[i], *v = argv[i + 1];
    i += 2;
    if (!strcmp(o, "-D")) ALRM_store_spec.url = v;
    else if (!strcmp(o, "-k")) ALRM_store_spec.prefix = v;
    else if (!strcmp(o, "-A")) ALRM_store_spec.password_file = v;
    else if (!strcmp(o, "--import")) import = v;
    else if (!strcmp(o, "--export")) export_to = v;
    else Usage();
  }
  if (ALRM_store_spec.url == nullptr ||
      (import != nullptr) + (export_to != nullptr) + (top.n != 0) > 1 ||
      (top.n == 0 && top.window != 3600))
    Usage();
  std::unique_ptr<HistoryStore> server = open_server_store();
  int status;
  if (import != nullptr) {
    status = Copy(FileEntries(*OpenFiles(import, O_RDONLY)), server.get(), nullptr);
  } else if (export_to != nullptr) {
    status = Copy(ServerEntries(*server), nullptr,
                  OpenFiles(export_to, O_RDWR | O_CREAT).get());
  } else if (top.n != 0) {
    status = Top(ServerEntries(*server), top);
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
  TopSpec top;
  while (age == 0 && arg < argc && TopOption(argc, argv, &arg, true, &top)) {
  }
  if (argc - arg != 1 || argv[arg][0] == '-') Usage();
  if (top.n == 0 && top.window != 3600) Usage();
  std::string base = argv[arg];
  if (top.n != 0) return TopFiles(base, top);

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
