// The history store: the aggregates' past items in two ndbm files, one
// record per aggregate and key, read, extended, pruned and written one at
// a time, and the periodic rewrite that drops what has expired.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "audit.h"
#include "error.h"
#include "runner.h"
#include "stats.h"

namespace {

// Largest number of ints a record may hold in all its chunks.
int max_ints(int max_data) { return MAX_CHUNKS * max_data / 4; }

// The history's file names: files 1 and 2, each a .pag and a .dir.
std::string file_name(const std::string &stem, int n, const char *suffix) {
  return stem + std::to_string(n) + "." + suffix;
}

unsigned char *key_bytes(datum &key) {
  return reinterpret_cast<unsigned char *>(key.dptr);
}

}  // namespace

// ---- Keys

int Database::set_key(int variable) {
  int len = 4;
  for (int bit = 0; bit < 4; bit++)
    if (variable & (1 << bit)) len += 4;
  if (variable & FLAG_USR) len += static_cast<int>(strlen(record.usr()));

  free(key.dptr);
  key.dptr = static_cast<char *>(malloc(len));
  if (key.dptr == nullptr) memory_err();
  key.dsize = len;
  uint32_t word = htonl(static_cast<uint32_t>(variable));
  memcpy(key.dptr, &word, 4);
  key_len = 4;

  int src = record.src(), dst = record.dst(), app = record.app(),
      err = record.err();
  compose_key(0, &src, 4, variable);
  compose_key(1, &dst, 4, variable);
  compose_key(2, &app, 4, variable);
  compose_key(3, &err, 4, variable);
  compose_key(4, record.usr(), static_cast<int>(strlen(record.usr())), variable);
  if (len > MAX_REC_LEN) {
    char msg[64];
    snprintf(msg, sizeof msg, "key size (%d) exceeds MAX_REC_LEN(%d)", len,
             MAX_REC_LEN);
    print_key(msg, 1);
  }
  return 0;
}

void Database::compose_key(int bit, const void *data, int len, int variable) {
  if (!(variable & (1 << bit))) return;
  memcpy(key.dptr + key_len, data, len);
  key_len += len;
}

// ---- Reading and writing records

namespace {

const char kNotIncreasing[] = "fail times are not increasing";
const char kUnreadable[] = "history file cannot be read";

// A history held in memory (hold_history): each record as it was last
// read or stored, the count word first, and the chunks the files hold
// under its key.
struct Held {
  std::vector<int> ints;
  int chunks = 0;
};

constexpr size_t kMostHeld = 1 << 18;  // more, and they go to the files
bool holding;
bool files_blank;  // the files hold no record: one not held is empty
std::unordered_map<std::string, Held> held;

// The record held under last_key, the one read last, for the store that
// mostly follows: null when none is.
Held *last_held;
std::string last_key;

void forget_held() {
  held.clear();
  last_held = nullptr;
}

// A record that a store puts in memory, as read_record takes it back.
void hold(const datum &key, const int *newly, int count, int chunks) {
  size_t len = static_cast<size_t>(key.dsize);
  if (last_held == nullptr || last_key.size() != len ||
      memcmp(last_key.data(), key.dptr, len) != 0) {
    last_key.assign(key.dptr, len);
    last_held = &held[last_key];
  }
  last_held->ints.assign(newly, newly + count + 1);
  last_held->chunks = chunks;
}

// Whether records of these files are held.
bool holds(DBM *dbm1, DBM *dbm2) {
  return holding && dbm1 == db1 && dbm2 == db2 && db1 != nullptr;
}

// Writes the held records to the files and forgets them.  They are taken
// out first: a write that fails reopens the files, which forgets them too.
void spill_held() {
  std::unordered_map<std::string, Held> out;
  out.swap(held);
  last_held = nullptr;
  holding = false;
  for (auto &entry : out) {
    Database db;
    db.key.dsize = static_cast<int>(entry.first.size());
    db.key.dptr = static_cast<char *>(malloc(entry.first.size()));
    if (db.key.dptr == nullptr) memory_err();
    memcpy(db.key.dptr, entry.first.data(), entry.first.size());
    db.retrieve(db1, db2, 0);  // the chunks the files hold
    const std::vector<int> &ints = entry.second.ints;
    free(db.info);
    db.info = static_cast<int *>(malloc(ints.size() * sizeof(int)));
    if (db.info == nullptr) memory_err();
    memcpy(db.info, ints.data(), ints.size() * sizeof(int));
    db.newly = db.info;
    db.count = ints[0];
    db.capacity = static_cast<int>(ints.size());
    db.store();
  }
  holding = db1 != nullptr;
  files_blank = false;
}

}  // namespace

void hold_history(bool on) {
  forget_held();
  holding = on && db1 != nullptr;
  files_blank = holding && dbm_firstkey(db1).dptr == nullptr;
}

void flush_history() {
  if (holding && !held.empty()) spill_held();
}

const char *Database::read_record(DBM *dbm1, DBM *dbm2, int increase,
                                  int *file) {
  free(info);
  info = newly = nullptr;
  count = 0;
  *file = 1;
  unsigned char *kb = key_bytes(key);
  if (key.dsize < 4 || key.dsize > MAX_REC_LEN - 8 || kb[0] >= N_TOTALS)
    return "database corrupt";
  increment = kb[0] == TOT_FAIL ? 1 : kb[0] == TOT_ACCESS ? 2 : 3;
  max_data = (MAX_REC_LEN - key.dsize) & ~3;

  bool in_memory = holds(dbm1, dbm2);
  if (in_memory) {
    if (held.size() >= kMostHeld) spill_held();
    last_key.assign(key.dptr, static_cast<size_t>(key.dsize));
    auto it = held.find(last_key);
    last_held = it != held.end() ? &it->second : nullptr;
    if (it != held.end()) {
      const std::vector<int> &ints = it->second.ints;
      count = ints[0];
      capacity = count == 0 ? increment + 1
                            : count + 1 + (increase ? increment : 0);
      info = static_cast<int *>(calloc(capacity, sizeof(int)));
      if (info == nullptr) memory_err();
      memcpy(info, ints.data(), ints.size() * sizeof(int));
      newly = info;
      chunks = it->second.chunks;
      return nullptr;
    }
  }
  if (in_memory && files_blank) {
    capacity = increment + 1;
    info = static_cast<int *>(calloc(capacity, sizeof(int)));
    if (info == nullptr) memory_err();
    newly = info;
    chunks = 0;
    return nullptr;
  }
  const char *fault = read_files(dbm1, dbm2, increase, file);
  if (in_memory && fault == nullptr) hold(key, newly, count, chunks);
  return fault;
}

// read_record from the files themselves.
const char *Database::read_files(DBM *dbm1, DBM *dbm2, int increase,
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
        if (info == nullptr) memory_err();
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
    if (info == nullptr) memory_err();
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

int Database::retrieve(DBM *dbm1, DBM *dbm2, int increase) {
  int file;
  const char *fault = read_record(dbm1, dbm2, increase, &file);
  if (fault == kNotIncreasing) error(fault, count);
  if (fault == kUnreadable && ALRM_table_ptr != nullptr &&
      ALRM_table_ptr->db_file() != nullptr) {
    std::string where = "history file " +
                        file_name(ALRM_table_ptr->db_file(), file, "pag") +
                        " cannot be read";
    print_key(where.c_str(), 1);
  }
  if (fault != nullptr) print_key(fault, 1);
  return 0;
}

// A record too long for the chunks a key can number keeps its newest
// items; that is said once in the log.
static void keep_newest(Database &db) {
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

bool room(DBM *db, int ops) {
  if (ops <= 0) return true;
  int block = 4096, depth = 16;
  gdbm_setopt(db->file, GDBM_GETBLOCKSIZE, &block, sizeof block);
  gdbm_setopt(db->file, GDBM_GETDIRDEPTH, &depth, sizeof depth);
  int fd = dbm_pagfno(db);
  Reserved &r = reserved[db == reserved[1].db || db == db2 ? 1 : 0];
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
bool reopen_history() {
  Database().close();
  const char *base = ALRM_table_ptr->db_file();
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
  db1 = one;
  db2 = two;
  return true;
}

}  // namespace

// An update not written.  After a failed write the files are opened
// again, and a record whose first chunk was written but not the rest is
// removed, so that it never reads back with parts that disagree.  In a
// refresh nothing is lost: the refresh gives up.
int Database::lost(bool reopen, int written) {
  int err = errno;
  if (rewriting) return -1;
  if (reopen && reopen_history() && written > 0) {
    unsigned char *kb = key_bytes(key);
    int last = written > chunks ? written : chunks;
    for (int k = 0; k < last; k++) {
      kb[1] = static_cast<unsigned char>(k);
      dbm_delete(k == 0 ? db1 : db2, key);
    }
    kb[1] = 0;
    chunks = 0;
  }
  ALRM_stats.store_failures++;
  lost_unreported++;
  lost_errno = err;
  report_lost();
  return -1;
}

int Database::store() {
  if (max_data < 8) error("key leaves no room for data", count);
  if (count + 1 > max_ints(max_data)) keep_newest(*this);
  if (!rewriting && holds(db1, db2)) {
    hold(key, newly, count, chunks);
    ALRM_table_ptr->set_db_dirty();
    return 0;
  }
  if (!rewriting) report_lost();
  unsigned char *kb = key_bytes(key);
  int bytes = count != 0 ? (count + 1) * 4 : 0;
  int whole = (bytes + max_data - 1) / max_data;
  int last = whole > chunks ? whole : chunks;  // chunks stored or deleted
  if (!room(db1, last > 0 ? 1 : 0) || !room(db2, last - 1))
    return lost(false, 0);
  const char *p = reinterpret_cast<const char *>(newly);
  int chunk = 0;
  while (bytes > 0) {
    int n = bytes < max_data ? bytes : max_data;
    datum d = {const_cast<char *>(p), n};
    kb[1] = static_cast<unsigned char>(chunk);
    if (dbm_store(chunk == 0 ? db1 : db2, key, d, DBM_REPLACE) != 0) {
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
    DBM *db = k == 0 ? db1 : db2;
    if (dbm_delete(db, key) != 0 && dbm_error(db)) {
      kb[1] = 0;
      return lost(true, chunk);
    }
  }
  kb[1] = 0;
  chunks = chunk;
  ALRM_table_ptr->set_db_dirty();
  return 0;
}

int Database::remove(int until) {
  int old = count;
  count = item_num(until);
  newly += old - count;
  newly[0] = count;
  return store();
}

// Ints in the items whose time is at or after search_time.
int Database::item_num(int search_time) const {
  if (count == 0) return 0;
  int low = 1, high = count - (increment - 1), first = count + 1;
  while (low <= high) {
    int mid = (low + high) / 2;
    mid -= (mid - 1) % increment;
    if (search_time > newly[mid]) {
      low = mid + increment;
    } else if (search_time < newly[mid]) {
      first = mid;
      high = mid - increment;
    } else {
      while (mid - increment >= 1 && newly[mid - increment] >= search_time)
        mid -= increment;
      first = mid;
      break;
    }
  }
  return count - first + 1;
}

double Database::total(int search_time) { return item_num(search_time); }

// ---- Items from the future

namespace {

bool future_told;  // ignored items were reported (until a refresh drops them)

// The latest time an item may have when the clock shows now.
int slack_limit(int now) {
  int64_t t = static_cast<int64_t>(now) + FUTURE_SLACK;
  return t > INT_MAX ? INT_MAX : static_cast<int>(t);
}

}  // namespace

int Database::drop_future(int newest) {
  if (newest == INT_MAX || count == 0) return 0;
  int ahead = item_num(newest + 1);
  count -= ahead;
  newly[0] = count;
  return ahead / increment;
}

// The items are in time order, so those from the future are the tail,
// left out of the count while the window is summed.
double Database::window(int since, int now) {
  int held = count;
  int last = count - increment + 1;  // the newest item, when there is one
  int ahead = drop_future(slack_limit(now));
  if (ahead > 0 && !future_told) {
    char msg[96];
    snprintf(msg, sizeof msg,
             "history items from the future ignored: %d, up to %d s ahead",
             ahead, seconds_between(now, newly[last]));
    errno = 0;
    print_key(msg, 0);
    future_told = true;
  }
  if (ahead == 0) return total(since);
  double value = total(since);
  count = held;
  newly[0] = held;
  return value;
}

int Database::check_new_item() {
  if (count + increment + 1 > capacity) error("reserved memory run out", count);
  return 0;
}

// Puts an item in time order, after the items of the same time.
void Database::insert_item(const int *item) {
  int pos = count + 1;
  while (pos - increment >= 1 && newly[pos - increment] > item[0]) {
    memcpy(newly + pos, newly + pos - increment, increment * sizeof(int));
    pos -= increment;
  }
  memcpy(newly + pos, item, increment * sizeof(int));
  count += increment;
  newly[0] = count;
}

int Database::add_new(Record &rec) {
  check_new_item();
  int item = rec.time();
  insert_item(&item);
  return 0;
}

// ---- Reports

void Database::print_key(const char *message, int Exit) {
  const unsigned char *kb = key_bytes(key);
  std::string text;
  char octal[8];
  for (int i = 0; i < key.dsize; i++) {
    snprintf(octal, sizeof octal, "\\%0*o", 3, kb[i]);
    text += octal;
  }
  int kind = key.dsize > 0 ? kb[0] : 0;
  err_ret("%s, %s[#%d]: key=%s", message, kind < N_TOTALS ? tot[kind] : "?",
          key.dsize > 2 ? kb[2] : 0, text.c_str());
  if (Exit) {
    close();
    exit(1);
  }
}

void Database::error(const char *message, int item_num) {
  print_key(message, 0);
  if (ALRM_table_ptr != nullptr && ALRM_table_ptr->trace()) {
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
  close();
  exit(1);
}

void Database::close() {
  forget_held();
  forget_room();
  if (db1 != nullptr) dbm_close(db1);
  if (db2 != nullptr) dbm_close(db2);
  db1 = db2 = nullptr;
}

void Database::free_space() {
  free(key.dptr);
  free(info);
  key.dptr = nullptr;
  key.dsize = 0;
  info = newly = nullptr;
}

// ---- Items with connection ids

int Database2::find_index(int search_time, int id) const {
  if (count == 0) return 0;
  int low = 1, high = count - (increment - 1), hit = 0;
  while (low <= high && hit == 0) {
    int mid = (low + high) / 2;
    mid -= (mid - 1) % increment;
    if (search_time > newly[mid])
      low = mid + increment;
    else if (search_time < newly[mid])
      high = mid - increment;
    else
      hit = mid;
  }
  if (hit == 0) return 0;
  for (int k = hit; k >= low; k -= increment) {
    if (newly[k + increment - 1] == id) return k;
    if (newly[k] != search_time) break;
  }
  for (int k = hit + increment; k <= high; k += increment) {
    if (newly[k + increment - 1] == id) return k;
    if (newly[k] != search_time) break;
  }
  return 0;
}

// The connection's earlier item (stored under the time it was read
// before) is replaced, so each connection counts once with its latest
// report.  Values are unsigned 32-bit words; a traffic beyond one word
// (two full byte counts) takes two items of the same time and connection.
int Database2::add_new(Record &rec) {
  check_new_item();
  int kind = key_bytes(key)[0];
  uint64_t value;
  switch (kind) {
    case TOT_IN:
      value = rec.in();
      break;
    case TOT_OUT:
      value = rec.out();
      break;
    case TOT_TRAFFIC:
      value = rec.tot();
      break;
    case TOT_DURATION:
      value = static_cast<uint32_t>(rec.dur());
      break;
    case TOT_ACCESS:
      value = 0;
      break;
    default:
      return -1;
  }
  int k;
  while (rec.last() != 0 && (k = find_index(rec.last(), rec.id())) != 0) {
    memmove(newly + k, newly + k + increment,
            (count + 1 - (k + increment)) * sizeof(int));
    count -= increment;
    newly[0] = count;
  }
  if (value > UINT32_MAX) {
    add_value_item(rec, UINT32_MAX);
    value -= UINT32_MAX;
  }
  add_value_item(rec, static_cast<uint32_t>(value));
  return 0;
}

// One item of the record's time and connection, with room made for it.
void Database2::add_value_item(const Record &rec, uint32_t value) {
  if (count + increment + 1 > capacity) {
    long at = newly - info;
    capacity += increment;
    info = static_cast<int *>(realloc(info, capacity * sizeof(int)));
    if (info == nullptr) memory_err();
    newly = info + at;
  }
  int item[3] = {rec.time(), static_cast<int>(value), rec.id()};
  if (increment == 2) item[1] = rec.id();
  insert_item(item);
}

double Database2::total(int search_time) {
  if (count == 0) return 0;
  if (increment == 2) return item_num(search_time) / 2;
  double sum = 0;
  for (int k = count - increment + 1; k >= 1 && newly[k] >= search_time;
       k -= increment)
    sum += static_cast<uint32_t>(newly[k + 1]);
  return sum;
}

// ---- Refresh and start-up

namespace {

void hold(int how, int first, int second) {
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
  Database db;
  for (const std::string &key : keys) {
    if (d1 == nullptr || d2 == nullptr) break;
    db.free_space();
    db.key.dptr = static_cast<char *>(malloc(key.size() + 1));
    if (db.key.dptr == nullptr) memory_err();
    memcpy(db.key.dptr, key.data(), key.size());
    db.key.dsize = static_cast<int>(key.size());
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

// Opens a rewrite's fresh files as db1 and db2 (the caller keeps the old
// handles); empty when opened, else why not.
std::string open_fresh(const std::string &base, bool shared) {
  std::string why;
  remove_fresh(base);
  db1 = open_db(tmp_name(base, 1), shared, &why);
  db2 = db1 != nullptr ? open_db(tmp_name(base, 2), shared, &why) : nullptr;
  if (db2 == nullptr && db1 != nullptr) dbm_close(db1);
  if (db2 == nullptr) db1 = nullptr;
  return why;
}

// Closes the fresh files, written out so that they can be synced.
void close_fresh() {
  forget_room();
  dbm_close(db1);
  dbm_close(db2);
  db1 = db2 = nullptr;
}

// Gives a refresh up: the fresh files go, the live ones stand.
int not_refreshed(const std::string &base, const std::string &why) {
  remove_fresh(base);
  unlink(commit_mark(base).c_str());
  errno = 0;
  err_ret("history %s not refreshed: %s", base.c_str(), why.c_str());
  hold(SIG_UNBLOCK, SIGINT, SIGQUIT);
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

void prepare_history(const char *base) {
  std::string fault = names_fault(base);
  if (!fault.empty()) err_quit("%s", fault.c_str());
  finish_refresh(base);
  fault = history_damage(base);
  if (!fault.empty()) Database().salvage(base, fault);
}

void open_history(const char *base) {
  bool shared;
  std::string why = dir_fault(base, &shared);
  if (why.empty()) db1 = open_db(std::string(base) + "1", shared, &why);
  if (db1 == nullptr) err_quit("open db file1 error: %s", why.c_str());
  db2 = open_db(std::string(base) + "2", shared, &why);
  if (db2 == nullptr) err_quit("open db file2 error: %s", why.c_str());
}

// Copies the records whose first chunk from1 holds into db1 and db2,
// without the items expired at now or stamped past its slack (counted in
// *ahead).  A damaged record ends the daemon (retrieve) or, when
// salvaging, is left out (counted in *skipped), as is what a walk cut
// short does not reach.  Empty when copied, else why not.
std::string Database::copy(DBM *from1, DBM *from2, int now, bool salvaging,
                           int *ahead, int *skipped) {
  int cutoff = now - ALRM_table_ptr->longest_keep();
  int newest = slack_limit(now);
  std::vector<std::string> keys;
  if (from1 != nullptr)
    for (datum k = dbm_firstkey(from1); k.dptr != nullptr;
         k = dbm_nextkey(from1))
      keys.emplace_back(k.dptr, k.dsize);
  // A walk cut short would lose the keys it did not reach.
  if (from1 != nullptr && !salvaging && dbm_error(from1) != 0)
    return "history file " + std::string(ALRM_table_ptr->db_file()) +
           "1.pag cannot be read through";
  for (const std::string &k : keys) {
    free_space();
    key.dptr = static_cast<char *>(malloc(k.size() + 1));
    if (key.dptr == nullptr) memory_err();
    memcpy(key.dptr, k.data(), k.size());
    key.dsize = static_cast<int>(k.size());
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
int Database::refresh() {
  if (db1 == nullptr || db2 == nullptr) return 1;  // the history was closed
  flush_history();
  hold(SIG_BLOCK, SIGQUIT, SIGINT);
  rewriting = true;
  DBM *old1 = db1, *old2 = db2;
  std::string base = ALRM_table_ptr->db_file();
  bool shared;
  std::string why = dir_fault(base, &shared);
  if (why.empty()) why = open_fresh(base, shared);
  if (!why.empty()) {
    db1 = old1;
    db2 = old2;
    return not_refreshed(base, why);
  }
  int now = static_cast<int>(time(nullptr)), ahead = 0;
  if (ALRM_table_ptr->trace()) {
    trace_drain();
    fprintf(stderr, "refresh database: removing everything before %d",
            now - ALRM_table_ptr->longest_keep());
    fflush(stderr);
  }
  why = copy(old1, old2, now, false, &ahead, nullptr);
  close_fresh();
  db1 = old1;
  db2 = old2;
  if (why.empty() && !commit_fresh(base))
    why = with_errno("fresh files not written");
  if (!why.empty()) return not_refreshed(base, why);
  close();
  // A move that failed leaves the mark: the next start-up moves again.
  if (move_fresh(base)) {
    unlink(commit_mark(base).c_str());
    sync_path(dir_of(base));
  }
  db1 = open_db(base + "1", shared, &why);
  db2 = db1 != nullptr ? open_db(base + "2", shared, &why) : nullptr;
  if (db1 == nullptr || db2 == nullptr)
    err_quit("can't open history %s after its refresh: %s", base.c_str(),
             why.c_str());
  hold(SIG_UNBLOCK, SIGINT, SIGQUIT);
  if (ahead > 0) {
    errno = 0;
    err_ret("history refresh dropped %d items from the future", ahead);
  }
  future_told = false;  // any found from now on are new
  return 0;
}

// The fresh files are committed as a refresh's are before the damaged ones
// are moved aside, so that after a crash the next start-up moves them in.
// Without file 2, file 1 stands in for it: a record that needs file 2 then
// reads short and is left out; so are the records a walk cut short does
// not reach.
void Database::salvage(const std::string &base, const std::string &fault) {
  rewriting = true;
  bool shared;
  std::string why = dir_fault(base, &shared);
  if (why.empty()) why = open_fresh(base, shared);
  if (!why.empty())
    err_quit("%s; not salvaged: %s", fault.c_str(), why.c_str());
  std::string b1 = base + "1", b2 = base + "2";
  DBM *old1 = dbm_open(const_cast<char *>(b1.c_str()), O_RDONLY, 0);
  DBM *old2 = dbm_open(const_cast<char *>(b2.c_str()), O_RDONLY, 0);
  int ahead = 0, skipped = 0;
  why = copy(old1, old2 != nullptr ? old2 : old1,
             static_cast<int>(time(nullptr)), true, &ahead, &skipped);
  if (old1 != nullptr) dbm_close(old1);
  if (old2 != nullptr) dbm_close(old2);
  close_fresh();
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
