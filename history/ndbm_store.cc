// The history in two ndbm files: one record per aggregate and key, read,
// changed and written one at a time, and the periodic rewrite that drops
// what has expired.
#include "ndbm_store.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "error.h"
#include "items.h"

namespace {

constexpr int kKinds = 6;  // aggregate kinds a key's first byte names
constexpr int kFail = 0, kAccess = 4;

// Largest number of ints a record may hold in all its chunks.
int max_ints(int max_data) { return MAX_CHUNKS * max_data / 4; }

// The history's file names: files 1 and 2, each a .pag and a .dir.
std::string file_name(const std::string &stem, int n, const char *suffix) {
  return stem + std::to_string(n) + "." + suffix;
}

int64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The store whose files a fatal error closes before the process ends.
const NdbmStore *published;

void close_published() {
  if (published == nullptr) return;
  if (published->d1 != nullptr) dbm_close(published->d1);
  if (published->d2 != nullptr) dbm_close(published->d2);
  published = nullptr;
}

void publish(const NdbmStore &s) {
  published = &s;
  ALRM_close_history = close_published;
}

const char kNotIncreasing[] = "fail times are not increasing";
const char kUnreadable[] = "history file cannot be read";

// One record of a store as read from and written to the files: the count
// word first, then the items, from newly on in info.
class Rec {
 public:
  explicit Rec(NdbmStore &store) : s(store) {}
  ~Rec() { free_space(); }

  void set(const std::string &k);
  int retrieve(DBM *dbm1, DBM *dbm2, int increase);
  // Reads the key's record as retrieve does; null when it reads back
  // whole, else what is wrong, with file set to 1 or 2 for where.
  const char *read_record(DBM *dbm1, DBM *dbm2, int increase, int *file);
  // The record's items become these.
  void set_items(const std::vector<int> &items);
  // Writes the record; 0 when written, -1 when not (no room reserved for
  // it, or a write failed), the record then left as it was or, when that
  // cannot be, removed.  Lost updates are counted and reported.
  int store();
  int remove(int until);
  int drop_future(int newest);
  void print_key(const char *message, int Exit);
  [[noreturn]] void error(const char *message, int item_num);
  void free_space();
  std::string copy(DBM *from1, DBM *from2, int now,
                   int (*keep_of)(const std::string &), int keep,
                   bool salvaging, int *ahead, int *skipped);

  NdbmStore &s;
  int *info = nullptr;
  datum key = {nullptr, 0};  // in key_buf
  std::string key_buf;
  int count = 0;
  int increment = 1;
  int *newly = nullptr;
  int max_data = 0;
  int capacity = 0;
  int chunks = 0;          // chunks held under the key, from the last read/write
  bool rewriting = false;  // storing into a refresh's fresh files

 private:
  Rec(const Rec &) = delete;
  Rec &operator=(const Rec &) = delete;
  int lost(bool reopen, int written);
  const char *read_files(DBM *dbm1, DBM *dbm2, int increase, int *file);
};

unsigned char *key_bytes(datum &key) {
  return reinterpret_cast<unsigned char *>(key.dptr);
}

void memory_out() { err_dump("Memory allocation error"); }

}  // namespace

void Rec::set(const std::string &k) {
  free_space();
  key_buf.assign(k.data(), k.size());
  key.dptr = &key_buf[0];
  key.dsize = static_cast<int>(k.size());
}

// ---- Records held in memory

namespace {

constexpr size_t kMostHeld = 1 << 18;  // more, and they go to the files

void forget_held(NdbmStore &s) {
  s.held.clear();
  s.last_held = nullptr;
}

// A record that a store puts in memory, as read_record takes it back.
void keep_held(NdbmStore &s, const datum &key, const int *newly, int count,
               int chunks) {
  size_t len = static_cast<size_t>(key.dsize);
  if (s.last_held == nullptr || s.last_key.size() != len ||
      memcmp(s.last_key.data(), key.dptr, len) != 0) {
    s.last_key.assign(key.dptr, len);
    s.last_held = &s.held[s.last_key];
  }
  s.last_held->ints.assign(newly, newly + count + 1);
  s.last_held->chunks = chunks;
}

// Whether records of these files are held.
bool holds(const NdbmStore &s, DBM *dbm1, DBM *dbm2) {
  return s.holding && dbm1 == s.d1 && dbm2 == s.d2 && s.d1 != nullptr;
}

// Writes the held records to the files and forgets them.  They are taken
// out first: a write that fails reopens the files, which forgets them too.
void spill_held(NdbmStore &s) {
  std::unordered_map<std::string, NdbmStore::Held> out;
  out.swap(s.held);
  s.last_held = nullptr;
  s.holding = false;
  Rec db(s);
  for (auto &entry : out) {
    db.set(entry.first);
    db.retrieve(s.d1, s.d2, 0);  // the chunks the files hold
    const std::vector<int> &ints = entry.second.ints;
    free(db.info);
    db.info = static_cast<int *>(malloc(ints.size() * sizeof(int)));
    if (db.info == nullptr) memory_out();
    memcpy(db.info, ints.data(), ints.size() * sizeof(int));
    db.newly = db.info;
    db.count = ints[0];
    db.capacity = static_cast<int>(ints.size());
    db.store();
  }
  s.holding = s.d1 != nullptr;
  s.files_blank = false;
}

}  // namespace

void NdbmStore::hold(bool on) {
  forget_held(*this);
  holding = on && d1 != nullptr;
  files_blank = holding && dbm_firstkey(d1).dptr == nullptr;
}

void NdbmStore::flush() {
  if (holding && !held.empty()) spill_held(*this);
}

// ---- Reading records

const char *Rec::read_record(DBM *dbm1, DBM *dbm2, int increase, int *file) {
  free(info);
  info = newly = nullptr;
  count = 0;
  *file = 1;
  unsigned char *kb = key_bytes(key);
  if (key.dsize < 4 || key.dsize > MAX_REC_LEN - 8 || kb[0] >= kKinds)
    return "database corrupt";
  increment = kb[0] == kFail ? 1 : kb[0] == kAccess ? 2 : 3;
  max_data = (MAX_REC_LEN - key.dsize) & ~3;

  bool in_memory = holds(s, dbm1, dbm2);
  if (in_memory) {
    if (s.held.size() >= kMostHeld) spill_held(s);
    s.last_key.assign(key.dptr, static_cast<size_t>(key.dsize));
    auto it = s.held.find(s.last_key);
    s.last_held = it != s.held.end() ? &it->second : nullptr;
    if (it != s.held.end()) {
      const std::vector<int> &ints = it->second.ints;
      count = ints[0];
      capacity = count == 0 ? increment + 1
                            : count + 1 + (increase ? increment : 0);
      info = static_cast<int *>(calloc(capacity, sizeof(int)));
      if (info == nullptr) memory_out();
      memcpy(info, ints.data(), ints.size() * sizeof(int));
      newly = info;
      chunks = it->second.chunks;
      return nullptr;
    }
  }
  if (in_memory && s.files_blank) {
    capacity = increment + 1;
    info = static_cast<int *>(calloc(capacity, sizeof(int)));
    if (info == nullptr) memory_out();
    newly = info;
    chunks = 0;
    return nullptr;
  }
  const char *fault = read_files(dbm1, dbm2, increase, file);
  if (in_memory && fault == nullptr) keep_held(s, key, newly, count, chunks);
  return fault;
}

// read_record from the files themselves.
const char *Rec::read_files(DBM *dbm1, DBM *dbm2, int increase,
                                 int *file) {
  unsigned char *kb = key_bytes(key);

  const char *fault = nullptr;
  int chunk = 0, read = 0;
  while (chunk < MAX_CHUNKS && fault == nullptr) {
    DBM *from = chunk == 0 ? dbm1 : dbm2;
    *file = chunk == 0 ? 1 : 2;
    kb[1] = static_cast<unsigned char>(chunk);
    datum d = dbm_fetch(from, key);
    if (d.dptr == nullptr) {
      if (dbm_error(from)) fault = kUnreadable;
      break;
    }
    if (d.dsize < 4 || d.dsize > max_data || d.dsize % 4 != 0) {
      fault = "database corrupt";
    } else if (chunk == 0) {
      memcpy(&count, d.dptr, 4);
      // Checked before any arithmetic: the count is the file's word.
      if (count < 0 || count > max_ints(max_data) - 1) {
        fault = "record capacity reached while reading";
      } else {
        capacity = count + 1 + (increase ? increment : 0);
        info = static_cast<int *>(malloc(capacity * sizeof(int)));
        if (info == nullptr) memory_out();
      }
    }
    if (fault == nullptr && d.dsize / 4 > count + 1 - read)
      fault = "data size greater than count while reading";
    if (fault != nullptr) break;
    memcpy(info + read, d.dptr, d.dsize);
    read += d.dsize / 4;
    chunk++;
    if (d.dsize != max_data) break;  // a full chunk has a successor
  }
  kb[1] = 0;
  chunks = chunk;
  if (fault != nullptr) return fault;

  if (read == 0) {
    free(info);
    capacity = increment + 1;
    info = static_cast<int *>(calloc(capacity, sizeof(int)));
    if (info == nullptr) memory_out();
    count = 0;
    newly = info;
    return nullptr;
  }
  newly = info;
  if (count != read - 1) return "count differs from data size while reading";
  if (count % increment != 0) return "count is not whole items while reading";
  *file = 1;
  for (int i = 1; i < count - (increment - 1); i += increment)
    if (info[i] > info[i + increment]) return kNotIncreasing;
  return nullptr;
}

int Rec::retrieve(DBM *dbm1, DBM *dbm2, int increase) {
  int file;
  const char *fault = read_record(dbm1, dbm2, increase, &file);
  if (fault == kNotIncreasing) error(fault, count);
  if (fault == kUnreadable && !s.base_.empty()) {
    std::string where = "history file " + file_name(s.base_, file, "pag") +
                        " cannot be read";
    print_key(where.c_str(), 1);
  }
  if (fault != nullptr) print_key(fault, 1);
  return 0;
}

namespace {

// A record too long for the chunks a key can number keeps its newest
// items; that is said once in the log.
void keep_newest(Rec &db) {
  static bool told;
  int limit = max_ints(db.max_data) - 1;
  int drop = db.count - limit;
  drop += (db.increment - drop % db.increment) % db.increment;
  db.newly += drop;
  db.count -= drop;
  db.newly[0] = db.count;
  if (!told) {
    db.print_key("history record full, oldest items dropped", 0);
    told = true;
  }
}

}  // namespace

// ---- Opening without links

namespace {

const char *const kSuffixes[] = {"pag", "dir"};

std::string dir_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string with_errno(const std::string &text) {
  return text + ": " + strerror(errno);
}

// Why the history's directory is unsafe for a root daemon, empty when it
// is not.  *shared tells whether others may write to it: then only the
// sticky bit keeps them from replacing our files with links of theirs.
std::string dir_fault(const std::string &base, bool *shared) {
  std::string dir = dir_of(base);
  struct stat st;
  *shared = false;
  if (stat(dir.c_str(), &st) != 0)
    return with_errno("history directory " + dir + " cannot be examined");
  *shared = (st.st_mode & S_IWOTH) != 0;
  if (*shared && !(st.st_mode & S_ISVTX))
    return "history directory " + dir + " is writable by others";
  return "";
}

// Why a name of the history may not be used, empty when it may; st is
// what the name holds, st_ino 0 when nothing.  A link is never followed;
// in a directory others may write to, a file must be the daemon's user's
// and have no other name.
std::string file_fault(const std::string &name, bool shared, struct stat *st) {
  if (lstat(name.c_str(), st) != 0) {
    st->st_ino = 0;
    if (errno == ENOENT) return "";
    return with_errno("history file " + name + " cannot be examined");
  }
  if (S_ISLNK(st->st_mode))
    return "history file " + name + " is a symbolic link";
  if (!S_ISREG(st->st_mode))
    return "history file " + name + " is not a regular file";
  if (shared && st->st_uid != geteuid())
    return "history file " + name + " belongs to another user";
  if (shared && st->st_nlink != 1)
    return "history file " + name + " has other links";
  return "";
}

bool same_file(int fd, const struct stat &want) {
  struct stat st;
  return fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == want.st_dev &&
         st.st_ino == want.st_ino;
}

// Whether the descriptor is the regular file under the name now.
bool is_name(int fd, const std::string &name) {
  struct stat st;
  return lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         same_file(fd, st);
}

// Room for bytes more at the end of the file: allocated past its end
// (the size kept), where no one else can take it, or, where the file
// system cannot allocate ahead, free.  False, with errno set, when there
// is none.
bool room_at(int fd, int64_t bytes) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (static_cast<int64_t>(st.st_blocks) * 512 >= st.st_size + bytes)
    return true;
  // From the start, so that a hole inside is filled too.
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, st.st_size + bytes) == 0)
    return true;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return false;
  struct statvfs fs;
  if (fstatvfs(fd, &fs) != 0) return false;
  if (static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize) >=
      bytes)
    return true;
  errno = ENOSPC;
  return false;
}

// Opens the database stem (stem.pag and stem.dir) for reading and writing.
// gdbm opens by name and follows links, so a missing file is first made
// here, exclusively and not through a link, with room for gdbm to begin
// it (a start that fails half way is not undone by gdbm), and after the
// open both descriptors must be the files under the names (gdbm may make
// the .dir file again).  Null, with the reason in *why, when it cannot be
// opened; files made here are then removed.
DBM *open_db(const std::string &stem, bool shared, std::string *why) {
  std::string names[2] = {stem + ".pag", stem + ".dir"};
  struct stat want;
  bool made[2] = {false, false};
  DBM *db = nullptr;
  why->clear();
  for (int i = 0; i < 2 && why->empty(); i++) {
    *why = file_fault(names[i], shared, &want);
    if (!why->empty() || want.st_ino != 0) continue;
    int fd = open(names[i].c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    if (fd < 0)
      *why = with_errno("can't create " + names[i]);
    else if (i == 0 &&
             (fstat(fd, &st) != 0 || !room_at(fd, 16 * int64_t(st.st_blksize))))
      *why = with_errno("no room for " + names[i]);
    made[i] = fd >= 0;
    if (fd >= 0) ::close(fd);
  }
  if (why->empty()) {
    errno = 0;
    db = dbm_open(const_cast<char *>(stem.c_str()),
                  O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (db == nullptr)
      *why =
          errno != 0 ? with_errno("can't open " + stem) : "can't open " + stem;
    else if (!is_name(dbm_pagfno(db), names[0]) ||
             !is_name(dbm_dirfno(db), names[1]))
      *why = "history files " + stem + " changed while they were opened";
  }
  if (why->empty()) return db;
  if (db != nullptr) dbm_close(db);
  for (int i = 0; i < 2; i++)
    if (made[i]) unlink(names[i].c_str());
  return nullptr;
}

}  // namespace

// ---- Room for a write, and writes that fail

namespace {

constexpr int64_t kReportMs = 60000;  // lost updates said at most this often

uint64_t lost_unreported;  // updates not written since the last report
int lost_errno;            // why the last one was not
int64_t lost_reported_ms = -1;

// At most once a minute: the updates lost since the last report, with the
// system's reason for the last of them.
void report_lost() {
  if (lost_unreported == 0) return;
  int64_t now = monotonic_ms();
  if (lost_reported_ms >= 0 && now - lost_reported_ms < kReportMs) return;
  errno = lost_errno;
  err_ret("history not written: %llu updates lost since the last report",
          static_cast<unsigned long long>(lost_unreported));
  lost_unreported = 0;
  lost_reported_ms = now;
}

// Room for ops stores or deletes in a history file.  gdbm grows its file
// at the end only, by buckets, blocks of data and a doubled directory, and
// a store that fails half way for want of space leaves a file that no
// longer reads through; so the most the ops could take must be there
// first.  False, with errno set, when it is not.
//
// One look (an fstat) makes sure of the room for kRoomAhead ops when the
// file system has it, and the ops after it use that up without looking
// again; a directory that grew meanwhile is looked at at once.  Without
// that much room, every op is looked at as it comes.
constexpr int kRoomAhead = 8;

struct Reserved {
  DBM *db = nullptr;
  int fd = -1;
  int depth = -1;
  int ops = 0;  // ops the last look made room for and not yet used
};

Reserved reserved[2];  // for the two history files

// Before a history file is closed: its handle may come back for another.
void forget_room() {
  for (Reserved &r : reserved) r = Reserved();
}

bool room(const NdbmStore &s, DBM *db, int ops) {
  if (ops <= 0) return true;
  int block = 4096, depth = 16;
  gdbm_setopt(db->file, GDBM_GETBLOCKSIZE, &block, sizeof block);
  gdbm_setopt(db->file, GDBM_GETDIRDEPTH, &depth, sizeof depth);
  int fd = dbm_pagfno(db);
  Reserved &r = reserved[db == reserved[1].db || db == s.d2 ? 1 : 0];
  if (r.db == db && r.fd == fd && r.depth == depth && r.ops >= ops) {
    r.ops -= ops;
    return true;
  }
  // Per op the data, two buckets and the avail block of a split, a spilled
  // avail block; the directory doubled twice; a spare.
  int64_t dir = static_cast<int64_t>(sizeof(off_t)) << depth;
  auto need = [&](int n) {
    return 6 * dir + (5 * static_cast<int64_t>(n) + 3) * block;
  };
  r = Reserved();
  int saved = errno;
  int ahead = ops > kRoomAhead ? ops : kRoomAhead;
  if (room_at(fd, need(ahead))) {
    r = Reserved{db, fd, depth, ahead - ops};
    errno = saved;
    return true;
  }
  if (!room_at(fd, need(ops))) return false;
  errno = saved;
  return true;
}

// Reopens the history files: gdbm takes no more writes on a handle once
// one has failed.  Without them the aggregates have no value until the
// daemon starts again.
bool reopen_history(NdbmStore &s) {
  s.close();
  const char *base = s.base_.c_str();
  std::string why;
  DBM *one = nullptr, *two = nullptr;
  bool shared;
  std::string fault = dir_fault(base, &shared);
  if (fault.empty()) one = open_db(std::string(base) + "1", shared, &why);
  if (one != nullptr) two = open_db(std::string(base) + "2", shared, &why);
  if (two == nullptr) {
    if (one != nullptr) dbm_close(one);
    errno = 0;
    err_ret("history %s closed: %s", base,
            fault.empty() ? why.c_str() : fault.c_str());
    return false;
  }
  s.d1 = one;
  s.d2 = two;
  publish(s);
  return true;
}

}  // namespace


// An update not written.  After a failed write the files are opened
// again, and a record whose first chunk was written but not the rest is
// removed, so that it never reads back with parts that disagree.  In a
// refresh nothing is lost: the refresh gives up.
int Rec::lost(bool reopen, int written) {
  int err = errno;
  if (rewriting) return -1;
  if (reopen && reopen_history(s) && written > 0) {
    unsigned char *kb = key_bytes(key);
    int last = written > chunks ? written : chunks;
    for (int k = 0; k < last; k++) {
      kb[1] = static_cast<unsigned char>(k);
      dbm_delete(k == 0 ? s.d1 : s.d2, key);
    }
    kb[1] = 0;
    chunks = 0;
  }
  s.lost_updates++;
  lost_unreported++;
  lost_errno = err;
  report_lost();
  return -1;
}

int Rec::store() {
  if (max_data < 8) error("key leaves no room for data", count);
  if (count + 1 > max_ints(max_data)) keep_newest(*this);
  if (!rewriting && holds(s, s.d1, s.d2)) {
    keep_held(s, key, newly, count, chunks);
    return 0;
  }
  if (!rewriting) report_lost();
  unsigned char *kb = key_bytes(key);
  int bytes = count != 0 ? (count + 1) * 4 : 0;
  int whole = (bytes + max_data - 1) / max_data;
  int last = whole > chunks ? whole : chunks;  // chunks stored or deleted
  if (!room(s, s.d1, last > 0 ? 1 : 0) || !room(s, s.d2, last - 1))
    return lost(false, 0);
  const char *p = reinterpret_cast<const char *>(newly);
  int chunk = 0;
  while (bytes > 0) {
    int n = bytes < max_data ? bytes : max_data;
    datum d = {const_cast<char *>(p), n};
    kb[1] = static_cast<unsigned char>(chunk);
    if (dbm_store(chunk == 0 ? s.d1 : s.d2, key, d, DBM_REPLACE) != 0) {
      kb[1] = 0;
      return lost(true, chunk);
    }
    p += n;
    bytes -= n;
    chunk++;
  }
  // A shrunken record leaves no stale tail; an empty one disappears.
  for (int k = chunk; k < chunks; k++) {
    kb[1] = static_cast<unsigned char>(k);
    DBM *db = k == 0 ? s.d1 : s.d2;
    if (dbm_delete(db, key) != 0 && dbm_error(db)) {
      kb[1] = 0;
      return lost(true, chunk);
    }
  }
  kb[1] = 0;
  chunks = chunk;
  return 0;
}

void Rec::set_items(const std::vector<int> &items) {
  int n = static_cast<int>(items.size());
  if (info == nullptr || n + 1 > capacity) {
    free(info);
    capacity = n + 1;
    info = static_cast<int *>(malloc(capacity * sizeof(int)));
    if (info == nullptr) memory_out();
  }
  newly = info;
  count = n;
  newly[0] = n;
  if (n > 0) memcpy(newly + 1, items.data(), n * sizeof(int));
}

int Rec::remove(int until) {
  int old = count;
  count = ints_since(newly + 1, count, increment, until);
  newly += old - count;
  newly[0] = count;
  return store();
}

int Rec::drop_future(int newest) {
  if (newest == INT_MAX || count == 0) return 0;
  int ahead = ints_since(newly + 1, count, increment, newest + 1);
  count -= ahead;
  newly[0] = count;
  return ahead / increment;
}

void Rec::print_key(const char *message, int Exit) {
  std::string k(key.dptr != nullptr ? key.dptr : "", key.dsize);
  err_ret("%s, %s", message, key_text(k).c_str());
  if (Exit) {
    s.close();
    exit(1);
  }
}

void Rec::error(const char *message, int item_num) {
  print_key(message, 0);
  if (s.tracing_ != nullptr && s.tracing_()) {
    trace_drain();
    fputs("The current record dump:\n", stderr);
    std::string line;
    char num[16];
    for (int i = 1; i <= item_num; i++) {
      snprintf(num, sizeof num, "%*d", 11, newly[i]);
      line += num;
      if (i % 12 == 0 || i == item_num) {
        fprintf(stderr, "%s\n", line.c_str());
        fflush(stderr);
        line.clear();
      }
    }
  }
  s.close();
  exit(1);
}

void Rec::free_space() {
  free(info);
  key.dptr = nullptr;
  key.dsize = 0;
  info = newly = nullptr;
}

// ---- Refresh and start-up

namespace {

void hold_signals(int how, int first, int second) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, first);
  sigprocmask(how, &set, nullptr);
  sigemptyset(&set);
  sigaddset(&set, second);
  sigprocmask(how, &set, nullptr);
}

std::string tmp_name(const std::string &base, int n) {
  return base + ".tmp" + std::to_string(n);
}

// Present while the fresh files of a refresh are complete and being moved
// over the live ones: a start-up finishes the moves.
std::string commit_mark(const std::string &base) { return base + ".refresh"; }

// Forces a file, or the directory a name lies in, to the disk.
bool sync_path(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Moves the fresh files over the live ones (those still there).
bool move_fresh(const std::string &base) {
  bool ok = true;
  for (int n = 1; n <= 2; n++)
    for (const char *suffix : kSuffixes) {
      std::string from = file_name(base + ".tmp", n, suffix);
      std::string to = file_name(base, n, suffix);
      if (access(from.c_str(), F_OK) != 0) continue;
      if (rename(from.c_str(), to.c_str()) != 0) {
        err_ret("can't rename %s to %s", from.c_str(), to.c_str());
        ok = false;
      }
    }
  return sync_path(dir_of(base)) && ok;
}

void remove_fresh(const std::string &base) {
  for (int n = 1; n <= 2; n++)
    for (const char *suffix : kSuffixes)
      unlink(file_name(base + ".tmp", n, suffix).c_str());
}

// The fresh files and the mark go to the disk before the first move, so
// that a crash leaves either the old files or all the new ones.
bool commit_fresh(const std::string &base) {
  for (int n = 1; n <= 2; n++)
    for (const char *suffix : kSuffixes)
      if (!sync_path(file_name(base + ".tmp", n, suffix))) return false;
  std::string mark = commit_mark(base);
  unlink(mark.c_str());
  int fd = open(mark.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  ::close(fd);
  return ok && sync_path(dir_of(base));
}

// What is wrong with one history file; empty when it reads through.
std::string unreadable(const std::string &stem, int n) {
  std::string name = file_name(stem, n, "pag");
  DBM *d = dbm_open(const_cast<char *>((stem + std::to_string(n)).c_str()),
                    O_RDONLY, 0);
  if (d == nullptr) return "history file " + name + " cannot be read";
  datum k;
  for (k = dbm_firstkey(d); k.dptr != nullptr; k = dbm_nextkey(d)) {
  }
  bool bad = dbm_error(d) != 0;
  dbm_close(d);
  return bad ? "history file " + name + " cannot be read through" : "";
}

// Every record whose first chunk file 1 holds must read back whole.
std::string bad_record(const std::string &base) {
  std::string b1 = base + "1", b2 = base + "2";
  DBM *d1 = dbm_open(const_cast<char *>(b1.c_str()), O_RDONLY, 0);
  DBM *d2 = dbm_open(const_cast<char *>(b2.c_str()), O_RDONLY, 0);
  std::vector<std::string> keys;
  if (d1 != nullptr)
    for (datum k = dbm_firstkey(d1); k.dptr != nullptr; k = dbm_nextkey(d1))
      keys.emplace_back(k.dptr, k.dsize);
  std::string fault;
  NdbmStore none;
  Rec db(none);
  for (const std::string &key : keys) {
    if (d1 == nullptr || d2 == nullptr) break;
    db.set(key);
    int file = 1;
    const char *why = key.size() >= 2 && key[1] != '\0'
                          ? "database corrupt"
                          : db.read_record(d1, d2, 0, &file);
    if (why != nullptr) {
      fault = "history file " + file_name(base, file, "pag") +
              " holds a damaged record: " + why;
      break;
    }
  }
  if (d1 != nullptr) dbm_close(d1);
  if (d2 != nullptr) dbm_close(d2);
  return fault;
}

// Why one of the history's names may not be used, empty when none: the
// live files, a refresh's fresh files and its mark.
std::string names_fault(const std::string &base) {
  bool shared;
  std::string fault = dir_fault(base, &shared);
  std::vector<std::string> names = {commit_mark(base)};
  for (const std::string &stem : {base, base + ".tmp"})
    for (int n = 1; n <= 2; n++)
      for (const char *suffix : kSuffixes)
        names.push_back(file_name(stem, n, suffix));
  struct stat st;
  for (const std::string &name : names)
    if (fault.empty()) fault = file_fault(name, shared, &st);
  return fault;
}

// Opens a rewrite's fresh files as the store's (the caller keeps the old
// handles); empty when opened, else why not.
std::string open_fresh(NdbmStore &s, const std::string &base, bool shared) {
  std::string why;
  remove_fresh(base);
  s.d1 = open_db(tmp_name(base, 1), shared, &why);
  s.d2 = s.d1 != nullptr ? open_db(tmp_name(base, 2), shared, &why) : nullptr;
  if (s.d2 == nullptr && s.d1 != nullptr) dbm_close(s.d1);
  if (s.d2 == nullptr) s.d1 = nullptr;
  publish(s);
  return why;
}

// Closes the fresh files, written out so that they can be synced.
void close_fresh(NdbmStore &s) {
  forget_room();
  if (s.d1 != nullptr) dbm_close(s.d1);
  if (s.d2 != nullptr) dbm_close(s.d2);
  s.d1 = s.d2 = nullptr;
  publish(s);
}

// Gives a refresh up: the fresh files go, the live ones stand.
int not_refreshed(const std::string &base, const std::string &why) {
  remove_fresh(base);
  unlink(commit_mark(base).c_str());
  errno = 0;
  err_ret("history %s not refreshed: %s", base.c_str(), why.c_str());
  hold_signals(SIG_UNBLOCK, SIGINT, SIGQUIT);
  return 1;
}

}  // namespace

void finish_refresh(const std::string &base) {
  std::string mark = commit_mark(base);
  if (access(mark.c_str(), F_OK) != 0) {
    remove_fresh(base);  // an unfinished rewrite: the old files stand
    return;
  }
  if (!move_fresh(base))
    err_quit("history refresh of %s not finished", base.c_str());
  unlink(mark.c_str());
  sync_path(dir_of(base));
}

std::string history_damage(const std::string &base) {
  if (access(commit_mark(base).c_str(), F_OK) == 0)
    return "history " + base + " is in the middle of a refresh";
  int present = 0;
  std::string missing;
  for (int n = 1; n <= 2; n++)
    for (const char *suffix : kSuffixes) {
      std::string name = file_name(base, n, suffix);
      struct stat st;
      if (stat(name.c_str(), &st) != 0) {
        if (missing.empty()) missing = "history file " + name + " is missing";
        continue;
      }
      present++;
      if (st.st_size == 0) return "history file " + name + " is empty";
    }
  if (present == 0) return "";  // a history yet to begin
  if (!missing.empty()) return missing;
  for (int n = 1; n <= 2; n++) {
    std::string fault = unreadable(base, n);
    if (!fault.empty()) return fault;
  }
  return bad_record(base);
}


namespace {

// The time keep seconds before now, as the cut-off of a copy.
int seconds_back(int now, int keep) { return now - keep; }

void salvage(NdbmStore &s, int keep, const std::string &fault);

}  // namespace

// Copies the records whose first chunk from1 holds into the store's files,
// without the items expired at now (older than keep_of(key) seconds, or
// keep without keep_of) or stamped past its slack (counted in *ahead).  A
// damaged record ends the daemon (retrieve) or, when salvaging, is left
// out (counted in *skipped), as is what a walk cut short does not reach.
// Empty when copied, else why not.
std::string Rec::copy(DBM *from1, DBM *from2, int now,
                      int (*keep_of)(const std::string &), int keep,
                      bool salvaging, int *ahead, int *skipped) {
  int newest = slack_limit(now);
  std::vector<std::string> keys;
  if (from1 != nullptr)
    for (datum k = dbm_firstkey(from1); k.dptr != nullptr;
         k = dbm_nextkey(from1))
      keys.emplace_back(k.dptr, k.dsize);
  // A walk cut short would lose the keys it did not reach.
  if (from1 != nullptr && !salvaging && dbm_error(from1) != 0)
    return "history file " + s.base_ + "1.pag cannot be read through";
  for (const std::string &k : keys) {
    set(k);
    int file;
    if (!salvaging) {
      retrieve(from1, from2, 0);
    } else if (k.size() < 2 || k[1] != '\0' ||
               read_record(from1, from2, 0, &file) != nullptr) {
      (*skipped)++;
      continue;
    }
    if (count == 0) continue;
    *ahead += drop_future(newest);
    chunks = 0;  // nothing of it is in the fresh files yet
    int cutoff = seconds_back(now, keep_of != nullptr ? keep_of(k) : keep);
    if (remove(cutoff) != 0) return with_errno("a record could not be written");
  }
  free_space();
  return "";
}

// Copies every record into fresh files without its expired items and
// those stamped well after the clock, syncs them, and then moves them over
// the live ones, which are opened again.  The quit and interrupt signals
// wait meanwhile; a crash in between leaves the old files or, once the mark
// is down, the new ones for the next start-up to finish moving.  A refresh
// that cannot be finished (no room, a file that cannot be made) leaves the
// live files as they were and no fresh ones.
int NdbmStore::refresh(int now, int (*keep_of)(const std::string &key)) {
  if (d1 == nullptr || d2 == nullptr) return 1;  // the history was closed
  flush();
  hold_signals(SIG_BLOCK, SIGQUIT, SIGINT);
  Rec rec(*this);
  rec.rewriting = true;
  DBM *old1 = d1, *old2 = d2;
  std::string base = base_;
  bool shared;
  std::string why = dir_fault(base, &shared);
  if (why.empty()) why = open_fresh(*this, base, shared);
  if (!why.empty()) {
    d1 = old1;
    d2 = old2;
    publish(*this);
    return not_refreshed(base, why);
  }
  int ahead = 0;
  if (tracing_ != nullptr && tracing_()) {
    trace_drain();
    fprintf(stderr, "refresh database: removing everything before %d",
            seconds_back(now, keep_of(std::string())));
    fflush(stderr);
  }
  why = rec.copy(old1, old2, now, keep_of, 0, false, &ahead, nullptr);
  close_fresh(*this);
  d1 = old1;
  d2 = old2;
  publish(*this);
  if (why.empty() && !commit_fresh(base))
    why = with_errno("fresh files not written");
  if (!why.empty()) return not_refreshed(base, why);
  close();
  // A move that failed leaves the mark: the next start-up moves again.
  if (move_fresh(base)) {
    unlink(commit_mark(base).c_str());
    sync_path(dir_of(base));
  }
  d1 = open_db(base + "1", shared, &why);
  d2 = d1 != nullptr ? open_db(base + "2", shared, &why) : nullptr;
  publish(*this);
  if (d1 == nullptr || d2 == nullptr)
    err_quit("can't open history %s after its refresh: %s", base.c_str(),
             why.c_str());
  hold_signals(SIG_UNBLOCK, SIGINT, SIGQUIT);
  if (ahead > 0) {
    errno = 0;
    err_ret("history refresh dropped %d items from the future", ahead);
  }
  future_told = false;  // any found from now on are new
  return 0;
}

namespace {

// The fresh files are committed as a refresh's are before the damaged ones
// are moved aside, so that after a crash the next start-up moves them in.
// Without file 2, file 1 stands in for it: a record that needs file 2 then
// reads short and is left out; so are the records a walk cut short does
// not reach.
void salvage(NdbmStore &s, int keep, const std::string &fault) {
  const std::string &base = s.base_;
  Rec rec(s);
  rec.rewriting = true;
  bool shared;
  std::string why = dir_fault(base, &shared);
  if (why.empty()) why = open_fresh(s, base, shared);
  if (!why.empty())
    err_quit("%s; not salvaged: %s", fault.c_str(), why.c_str());
  std::string b1 = base + "1", b2 = base + "2";
  DBM *old1 = dbm_open(const_cast<char *>(b1.c_str()), O_RDONLY, 0);
  DBM *old2 = dbm_open(const_cast<char *>(b2.c_str()), O_RDONLY, 0);
  int ahead = 0, skipped = 0;
  why = rec.copy(old1, old2 != nullptr ? old2 : old1,
                 static_cast<int>(time(nullptr)), nullptr, keep, true, &ahead,
                 &skipped);
  if (old1 != nullptr) dbm_close(old1);
  if (old2 != nullptr) dbm_close(old2);
  close_fresh(s);
  if (why.empty() && !commit_fresh(base))
    why = with_errno("fresh files not written");
  if (!why.empty()) {
    remove_fresh(base);
    unlink(commit_mark(base).c_str());
    err_quit("%s; not salvaged: %s", fault.c_str(), why.c_str());
  }
  for (int n = 1; n <= 2; n++)
    for (const char *suffix : kSuffixes)
      rename(file_name(base, n, suffix).c_str(),
             file_name(base, n, (std::string("damaged.") + suffix).c_str())
                 .c_str());
  finish_refresh(base);
  errno = 0;
  err_ret(
      "%s; moved aside as %s1.damaged and %s2.damaged, %d damaged records "
      "left out",
      fault.c_str(), base.c_str(), base.c_str(), skipped);
}

}  // namespace

// ---- The store

NdbmStore::NdbmStore(const std::string &base) : base_(base) {
  bool shared;
  std::string why = dir_fault(base, &shared);
  if (why.empty()) d1 = open_db(base + "1", shared, &why);
  if (d1 == nullptr) err_quit("open db file1 error: %s", why.c_str());
  publish(*this);
  d2 = open_db(base + "2", shared, &why);
  if (d2 == nullptr) err_quit("open db file2 error: %s", why.c_str());
  publish(*this);
}

NdbmStore::NdbmStore(const std::string &base, int flags, std::string *failed)
    : base_(base) {
  for (int n = 1; n <= 2; n++) {
    std::string stem = base + std::to_string(n);
    errno = 0;
    DBM *d = dbm_open(const_cast<char *>(stem.c_str()), flags, 0600);
    (n == 1 ? d1 : d2) = d;
    if (d == nullptr) {
      int err = errno;
      close();
      if (failed != nullptr) *failed = stem;
      errno = err;
      return;
    }
  }
  publish(*this);
}

NdbmStore::~NdbmStore() { close(); }

void NdbmStore::close() {
  forget_held(*this);
  forget_room();
  if (d1 != nullptr) dbm_close(d1);
  if (d2 != nullptr) dbm_close(d2);
  if (published == this) {
    published = nullptr;
    ALRM_close_history = nullptr;
  }
  d1 = d2 = nullptr;
}

int NdbmStore::read(const std::string &key, int, std::vector<int> &items) {
  items.clear();
  if (d1 == nullptr || d2 == nullptr) return -1;
  Rec rec(*this);
  rec.set(key);
  rec.retrieve(d1, d2, 0);
  items.assign(rec.newly + 1, rec.newly + 1 + rec.count);
  return 0;
}

int NdbmStore::update(const std::string &key, const ItemUpdate &u,
                      std::vector<int> &items) {
  items.clear();
  if (d1 == nullptr || d2 == nullptr) return -1;
  Rec rec(*this);
  rec.set(key);
  rec.retrieve(d1, d2, 1);  // room for an item or two more
  items.assign(rec.newly + 1, rec.newly + 1 + rec.count);
  apply_update(items, u);
  rec.set_items(items);
  int rc = rec.store();
  if (rec.count != static_cast<int>(items.size()))  // the newest were kept
    items.assign(rec.newly + 1, rec.newly + 1 + rec.count);
  return rc;
}

int NdbmStore::write(const std::string &key, const std::vector<int> &items) {
  if (d1 == nullptr || d2 == nullptr) return -1;
  Rec rec(*this);
  rec.set(key);
  rec.retrieve(d1, d2, 0);
  rec.set_items(items);
  return rec.store();
}

std::vector<std::string> NdbmStore::keys() {
  std::vector<std::string> all;
  if (d1 != nullptr)
    for (datum k = dbm_firstkey(d1); k.dptr != nullptr; k = dbm_nextkey(d1))
      all.emplace_back(k.dptr, k.dsize);
  return all;
}

void NdbmStore::for_each(void (*f)(const std::string &key,
                                   const std::vector<int> &items, void *arg),
                         void *arg) {
  flush();
  std::vector<int> items;
  for (const std::string &key : keys()) {
    if (key.size() < 4 || key[1] != '\0' ||
        static_cast<unsigned char>(key[0]) >= kKinds)
      continue;
    read(key, 0, items);
    if (!items.empty()) f(key, items, arg);
  }
}

void prepare_history(const char *base, int keep) {
  std::string fault = names_fault(base);
  if (!fault.empty()) err_quit("%s", fault.c_str());
  finish_refresh(base);
  fault = history_damage(base);
  if (fault.empty()) return;
  NdbmStore fresh;
  fresh.base_ = base;
  salvage(fresh, keep, fault);
}
