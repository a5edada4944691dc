// The history store: the aggregates' past items in two ndbm files, one
// record per aggregate and key, read, extended, pruned and written one at
// a time, and the periodic rewrite that drops what has expired.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "audit.h"
#include "error.h"

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
}  // namespace

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

int Database::store() {
  if (max_data < 8) error("key leaves no room for data", count);
  if (count + 1 > max_ints(max_data)) keep_newest(*this);
  unsigned char *kb = key_bytes(key);
  int bytes = count != 0 ? (count + 1) * 4 : 0;
  const char *p = reinterpret_cast<const char *>(newly);
  int chunk = 0;
  while (bytes > 0) {
    int n = bytes < max_data ? bytes : max_data;
    datum d = {const_cast<char *>(p), n};
    kb[1] = static_cast<unsigned char>(chunk);
    if (dbm_store(chunk == 0 ? db1 : db2, key, d, DBM_REPLACE) != 0)
      error(chunk == 0 ? "dbm_store failed for file 1"
                       : "dbm_store failed for file 2",
            count);
    p += n;
    bytes -= n;
    chunk++;
  }
  // A shrunken record leaves no stale tail; an empty one disappears.
  for (int k = chunk; k < chunks; k++) {
    kb[1] = static_cast<unsigned char>(k);
    dbm_delete(k == 0 ? db1 : db2, key);
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
    case TOT_IN: value = rec.in(); break;
    case TOT_OUT: value = rec.out(); break;
    case TOT_TRAFFIC: value = rec.tot(); break;
    case TOT_DURATION: value = static_cast<uint32_t>(rec.dur()); break;
    case TOT_ACCESS: value = 0; break;
    default: return -1;
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

std::string dir_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

const char *const kSuffixes[] = {"pag", "dir"};

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
  int fd = open(mark.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
  finish_refresh(base);
  std::string fault = history_damage(base);
  if (!fault.empty()) err_quit("%s", fault.c_str());
}

// Copies every record into fresh files without its expired items, syncs
// them, and then moves them over the live ones, which are opened again.
// The quit and interrupt signals wait meanwhile; a crash in between leaves
// the old files or, once the mark is down, the new ones for the next
// start-up to finish moving.
int Database::refresh() {
  hold(SIG_BLOCK, SIGQUIT, SIGINT);
  DBM *old1 = db1, *old2 = db2;
  std::string base = ALRM_table_ptr->db_file();
  db1 = dbm_open(const_cast<char *>(tmp_name(base, 1).c_str()),
                 O_RDWR | O_CREAT | O_TRUNC, 0600);
  db2 = dbm_open(const_cast<char *>(tmp_name(base, 2).c_str()),
                 O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (db1 == nullptr || db2 == nullptr) {
    err_ret("db tmp* files open error, not refreshed\n");
    if (db1 != nullptr) dbm_close(db1);
    if (db2 != nullptr) dbm_close(db2);
    db1 = old1;
    db2 = old2;
    hold(SIG_UNBLOCK, SIGINT, SIGQUIT);
    return 1;
  }

  int cutoff = static_cast<int>(time(nullptr)) - ALRM_table_ptr->longest_keep();
  if (ALRM_table_ptr->trace()) {
    fprintf(stderr, "refresh database: removing everything before %d", cutoff);
    fflush(stderr);
  }
  for (datum k = dbm_firstkey(old1); k.dptr != nullptr; k = dbm_nextkey(old1)) {
    key.dptr = static_cast<char *>(malloc(k.dsize));
    if (key.dptr == nullptr) memory_err();
    memcpy(key.dptr, k.dptr, k.dsize);
    key.dsize = k.dsize;
    chunks = 0;  // nothing of it is in the fresh files yet
    retrieve(old1, old2, 0);
    if (count != 0) {
      chunks = 0;
      remove(cutoff);
    }
    free_space();
  }
  bool walked = dbm_error(old1) == 0;  // a walk cut short would lose keys
  dbm_close(db1);  // written out, so they can be synced
  dbm_close(db2);
  db1 = old1;
  db2 = old2;
  if (!walked) {
    err_ret("history file %s1.pag cannot be read through, not refreshed",
            base.c_str());
    remove_fresh(base);
    hold(SIG_UNBLOCK, SIGINT, SIGQUIT);
    return 1;
  }
  if (!commit_fresh(base)) {
    err_ret("history refresh files of %s not written, not refreshed",
            base.c_str());
    remove_fresh(base);
    unlink(commit_mark(base).c_str());
    hold(SIG_UNBLOCK, SIGINT, SIGQUIT);
    return 1;
  }
  close();
  // A move that failed leaves the mark: the next start-up moves again.
  if (move_fresh(base)) {
    unlink(commit_mark(base).c_str());
    sync_path(dir_of(base));
  }
  std::string b1 = base + "1", b2 = base + "2";
  db1 = dbm_open(const_cast<char *>(b1.c_str()), O_RDWR, 0600);
  db2 = dbm_open(const_cast<char *>(b2.c_str()), O_RDWR, 0600);
  if (db1 == nullptr || db2 == nullptr)
    err_quit("can't open history %s after its refresh", base.c_str());
  hold(SIG_UNBLOCK, SIGINT, SIGQUIT);
  return 0;
}
