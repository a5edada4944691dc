// Following a log file line by line across rotations, with the position
// kept in a state file.
#include "follow.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>

namespace bridge {

namespace {

constexpr size_t kChunk = 64 * 1024;          // bytes read at a time
constexpr size_t kLongestLine = 16 << 20;     // bound on max_line
constexpr int64_t kCheckMs = 100;             // how often the name is looked at
constexpr size_t kHeadMax = 64;               // bytes of a file's head hashed

uint64_t Hash(const char *p, size_t n) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (size_t i = 0; i < n; i++) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// What tells one file from another: device, inode, and a hash of its
// first bytes for a new file that got a freed inode number.
struct Ident {
  uint64_t dev = 0, ino = 0;
  uint32_t head_len = 0;
  uint64_t head = 0;
};

bool SameInode(const struct stat &st, const Ident &id) {
  return static_cast<uint64_t>(st.st_dev) == id.dev &&
         static_cast<uint64_t>(st.st_ino) == id.ino;
}

void ReadHead(int fd, Ident *id) {
  char b[kHeadMax];
  ssize_t n = pread(fd, b, sizeof b, 0);
  if (n < 0) n = 0;
  id->head_len = static_cast<uint32_t>(n);
  id->head = Hash(b, n);
}

bool HeadMatches(int fd, const Ident &id) {
  char b[kHeadMax];
  ssize_t n = pread(fd, b, id.head_len, 0);
  return n == static_cast<ssize_t>(id.head_len) && Hash(b, n) == id.head;
}

// One slot of the state file: a line of fixed width, its fields in hex,
// ended by a hash of what comes before " sum=".
struct Record {
  uint64_t seq = 0;
  Ident id;
  uint64_t off = 0;
};

#define TW_SLOT_BODY                                                    \
  "twfollow seq=%016" PRIx64 " dev=%016" PRIx64 " ino=%016" PRIx64     \
  " off=%016" PRIx64 " head=%02" PRIx32 ":%016" PRIx64
constexpr size_t kBody = 117;
constexpr size_t kSlot = kBody + 22;  // " sum=" 16 digits "\n"

void FormatSlot(const Record &r, char out[kSlot + 1]) {
  char body[kBody + 1];
  snprintf(body, sizeof body, TW_SLOT_BODY, r.seq, r.id.dev, r.id.ino, r.off,
           r.id.head_len, r.id.head);
  snprintf(out, kSlot + 1, "%s sum=%016" PRIx64 "\n", body, Hash(body, kBody));
}

// A slot is good when formatting what it says gives it back byte for byte.
bool ParseSlot(const char *p, Record *r) {
  char in[kSlot + 1], again[kSlot + 1];
  memcpy(in, p, kSlot);
  in[kSlot] = '\0';
  if (sscanf(in,
             "twfollow seq=%16" SCNx64 " dev=%16" SCNx64 " ino=%16" SCNx64
             " off=%16" SCNx64 " head=%2" SCNx32 ":%16" SCNx64,
             &r->seq, &r->id.dev, &r->id.ino, &r->off, &r->id.head_len,
             &r->id.head) != 6 ||
      r->id.head_len > kHeadMax)
    return false;
  FormatSlot(*r, again);
  return memcmp(in, again, kSlot) == 0;
}

}  // namespace

struct Follower::Impl {
  Impl(const std::string &p, const Options &o, std::string *e)
      : path(p), opt(o), err(e) {
    if (opt.max_line > kLongestLine) opt.max_line = kLongestLine;
    cap = kChunk + opt.max_line + 2;
    buf.reset(new char[cap]);
  }
  ~Impl() {
    if (fd >= 0 && !is_stdin) close(fd);
    if (state_fd >= 0) close(state_fd);
  }

  bool Open();
  bool OpenState(Record *r, bool *have);
  void Resume(const Record &r);
  int FindRotated();
  int Next(std::string *line, bool *cut);
  bool Take(std::string *line, bool *cut);
  bool Flush(std::string *line, bool *cut);
  void Emit(const char *p, size_t n, std::string *line, bool *cut);
  int Fill();
  bool Grown();
  int AtEnd(std::string *line, bool *cut);
  bool Check();
  bool OpenName();
  int OpenLog(const char *name, Ident *id, struct stat *st);
  void Attach(int nfd, const Ident &id, uint64_t off);
  void Seek(uint64_t off);
  void Drop();
  void Reopen();
  bool Save(bool sync);
  uint64_t Behind() const;
  void Wait(int ms, int watch);
  void Fail(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

  // Offset in the file of the next byte to look at.
  uint64_t Offset() const { return roff - (end - start); }

  std::string path;
  Options opt;
  std::string *err;
  bool is_stdin = false;

  int fd = -1;            // the file being read; -1 while there is none
  Ident id;               // the file being read, or the one last read
  bool have_id = false;
  uint64_t roff = 0;      // offset in the file of buf[end]
  uint64_t pos = 0;       // offset just after the last line handed out
  std::unique_ptr<char[]> buf;
  size_t cap = 0, start = 0, end = 0;
  bool skipping = false;  // in a line longer than max_line; held is its head
  bool idle = false;      // the last read met the end
  std::string held;
  bool rotated = false;   // another file is at the name: finish this one first
  bool anew = false;      // the next file opened at the name is read from its start
  bool done = false;      // the end was handed out
  int64_t last_check = 0;
  bool force_check = true;
  int last_errno = 0;     // of the last failed open reported, to say it once
  int read_errno = 0;     // of the last failed read reported

  int state_fd = -1;
  Record saved;           // what the state file holds
  bool synced = false;
};

enum { kData, kEnd, kNotNow };  // what Fill() found
enum { kAgain = 2 };            // AtEnd(): read again

void Follower::Impl::Fail(const char *fmt, ...) {
  char b[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(b, sizeof b, fmt, ap);
  va_end(ap);
  *err = b;
}

bool Follower::Impl::Open() {
  if (path == "-") {
    struct stat st;
    if (fstat(0, &st) != 0) {
      Fail("cannot read standard input: %s", strerror(errno));
      return false;
    }
    is_stdin = true;
    fd = 0;
    return true;
  }
  Record r;
  bool have = false;
  if (!opt.state_path.empty() && !OpenState(&r, &have)) return false;
  if (have) {
    Resume(r);
  } else if (OpenName() && !opt.from_start) {
    Seek(lseek(fd, 0, SEEK_END));
  }
  if (fd < 0 && last_errno != 0) return false;  // OpenLog() said why
  if (fd < 0 && opt.stop_at_end) {
    Fail("cannot open %s: %s", path.c_str(), strerror(ENOENT));
    return false;
  }
  last_check = NowMs();
  force_check = false;
  return true;
}

// Opens (creating it) and locks the state file, and reads the newer of
// its good slots into *r.
bool Follower::Impl::OpenState(Record *r, bool *have) {
  const char *name = opt.state_path.c_str();
  state_fd = ::open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (state_fd < 0) {
    Fail("cannot open state file %s: %s", name, strerror(errno));
    return false;
  }
  if (flock(state_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    Fail("state file %s is in use by another process", name);
    return false;
  }
  char b[2 * kSlot];
  ssize_t n = pread(state_fd, b, sizeof b, 0);
  if (n < 0) {
    Fail("cannot read state file %s: %s", name, strerror(errno));
    return false;
  }
  if (n == 0) return true;
  Record a, c;
  bool good_a = n >= static_cast<ssize_t>(kSlot) && ParseSlot(b, &a);
  bool good_c = n == sizeof b && ParseSlot(b + kSlot, &c);
  if (!good_a && !good_c) {
    Fail("state file %s is damaged", name);
    return false;
  }
  *r = good_a && (!good_c || a.seq > c.seq) ? a : c;
  *have = true;
  saved = *r;
  return true;
}

// Goes where the state says: into the file at the name when it is the
// one the state names, else into a rotated copy of it next to the name,
// read to its end before the file now at the name.
void Follower::Impl::Resume(const Record &r) {
  id = r.id;
  have_id = true;
  pos = roff = r.off;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !SameInode(st, id)) {
    int rfd = FindRotated();
    if (rfd >= 0) {
      Attach(rfd, r.id, r.off);
      rotated = true;
      return;
    }
  }
  OpenName();
}

// A file next to the name, called name.* or name-*, that is the one the
// state names and still holds the position.
int Follower::Impl::FindRotated() {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int found = -1;
  struct dirent *e;
  while (found < 0 && (e = readdir(d)) != nullptr) {
    const char *n = e->d_name;
    struct stat st;
    if (strncmp(n, base.c_str(), base.size()) != 0 ||
        (n[base.size()] != '.' && n[base.size()] != '-') ||
        fstatat(dirfd(d), n, &st, 0) != 0 || !SameInode(st, id) ||
        static_cast<uint64_t>(st.st_size) < pos)
      continue;
    int rfd = openat(dirfd(d), n, O_RDONLY | O_CLOEXEC);
    if (rfd >= 0 && HeadMatches(rfd, id))
      found = rfd;
    else if (rfd >= 0)
      close(rfd);
  }
  closedir(d);
  return found;
}

int Follower::Impl::Next(std::string *line, bool *cut) {
  if (done) return -1;
  for (;;) {
    if (Take(line, cut)) return 1;
    int got = Fill();
    if (got == kData) continue;
    if (got == kNotNow) return 0;
    int r = AtEnd(line, cut);
    if (r != kAgain) return r;
  }
}

// A whole line from the buffer.  The head of a line longer than max_line
// is kept aside and the rest dropped as it comes.
bool Follower::Impl::Take(std::string *line, bool *cut) {
  const char *p = buf.get() + start;
  size_t avail = end - start;
  const char *nl = static_cast<const char *>(memchr(p, '\n', avail));
  if (nl == nullptr) {
    if (!skipping && avail > opt.max_line + 1) {
      held.assign(p, opt.max_line);
      skipping = true;
    }
    if (skipping) start = end;
    return false;
  }
  start += nl - p + 1;
  pos = Offset();
  if (skipping) {
    skipping = false;
    line->assign(held);
    *cut = true;
  } else {
    Emit(p, nl - p, line, cut);
  }
  return true;
}

// What is left of an unfinished line, as the last line.
bool Follower::Impl::Flush(std::string *line, bool *cut) {
  if (skipping) {
    skipping = false;
    line->assign(held);
    *cut = true;
  } else if (start < end) {
    Emit(buf.get() + start, end - start, line, cut);
  } else {
    return false;
  }
  start = end;
  pos = roff;
  return true;
}

void Follower::Impl::Emit(const char *p, size_t n, std::string *line,
                          bool *cut) {
  if (n > 0 && p[n - 1] == '\r') n--;
  *cut = n > opt.max_line;
  line->assign(p, *cut ? opt.max_line : n);
}

int Follower::Impl::Fill() {
  if (fd < 0 || (idle && !is_stdin && !Grown())) return kEnd;
  if (start == end) {
    start = end = 0;
  } else if (cap - end < kChunk) {
    memmove(buf.get(), buf.get() + start, end - start);
    end -= start;
    start = 0;
  }
  if (is_stdin) {
    struct pollfd p = {0, POLLIN, 0};
    if (poll(&p, 1, 0) == 0) return kNotNow;
  }
  ssize_t n = read(fd, buf.get() + end, cap - end);
  idle = n == 0;
  if (n >= 0) read_errno = 0;
  if (n > 0) {
    end += n;
    roff += n;
    return kData;
  }
  if (n == 0) return kEnd;
  if (errno == EINTR || errno == EAGAIN) return kNotNow;
  if (errno != read_errno) {
    Fail("cannot read %s: %s", is_stdin ? "standard input" : path.c_str(),
         strerror(errno));
  }
  read_errno = errno;
  if (is_stdin) {
    done = true;  // next() ends
  } else {
    Drop();  // looked for again at its name
  }
  return kNotNow;
}

// After the end was met: false while the file has nothing new.  A file
// now shorter than the position, or with other first bytes, was
// truncated in place and is read again from its start.
bool Follower::Impl::Grown() {
  struct stat st;
  if (fstat(fd, &st) != 0) return true;  // read() says why
  uint64_t size = st.st_size;
  if (size == roff) return false;
  if (size < roff || !HeadMatches(fd, id)) {
    Seek(0);
    ReadHead(fd, &id);
  } else if (id.head_len < kHeadMax) {
    ReadHead(fd, &id);  // the file had fewer bytes than the hash takes
  }
  return true;
}

// At the end of what the input holds now (or with no file open).
int Follower::Impl::AtEnd(std::string *line, bool *cut) {
  if (is_stdin || opt.stop_at_end) {
    if (Flush(line, cut)) return 1;
    done = true;
    return -1;
  }
  if (rotated) {
    // The writer has moved to the new file: the old one's unfinished
    // line will not be ended.
    if (Flush(line, cut)) return 1;
    Drop();
    anew = true;  // until it opens, the state names the old file's end
    OpenName();
    return kAgain;
  }
  return Check() ? kAgain : 0;
}

// Looks at the name, at most every kCheckMs: a file appeared, or another
// one is there.  True when there is more to read.
bool Follower::Impl::Check() {
  int64_t now = NowMs();
  if (!force_check && now - last_check < kCheckMs) return false;
  last_check = now;
  force_check = false;
  if (fd < 0) return OpenName();
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;  // renamed, none new yet
  if (SameInode(st, id)) return false;
  // Another file: read this one to its end, then that one.  While the
  // new one is empty the writer may still be writing here.
  if (st.st_size == 0) return false;
  rotated = true;
  return true;
}

// Opens the file at the name: at the position when it is the file read
// before and still holds it, else at its start.
bool Follower::Impl::OpenName() {
  Ident nid;
  struct stat st;
  int nfd = OpenLog(path.c_str(), &nid, &st);
  if (nfd < 0) return false;
  bool same = !anew && have_id && SameInode(st, id) &&
              static_cast<uint64_t>(st.st_size) >= pos && HeadMatches(nfd, id);
  Attach(nfd, same ? id : nid, same ? pos : 0);
  return true;
}

int Follower::Impl::OpenLog(const char *name, Ident *nid, struct stat *st) {
  int nfd = ::open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  int e = errno;
  if (nfd >= 0 && fstat(nfd, st) == 0 && S_ISREG(st->st_mode)) {
    last_errno = 0;
    nid->dev = st->st_dev;
    nid->ino = st->st_ino;
    ReadHead(nfd, nid);
    return nfd;
  }
  if (nfd >= 0) {
    e = EINVAL;
    close(nfd);
  }
  if (e != ENOENT && e != last_errno) {
    Fail("cannot open %s: %s", name,
         e == EINVAL ? "not a regular file" : strerror(e));
  }
  last_errno = e == ENOENT ? 0 : e;
  return -1;
}

void Follower::Impl::Attach(int nfd, const Ident &nid, uint64_t off) {
  if (fd >= 0) close(fd);
  fd = nfd;
  id = nid;
  have_id = true;
  rotated = false;
  anew = false;
  Seek(off);
}

void Follower::Impl::Seek(uint64_t off) {
  lseek(fd, static_cast<off_t>(off), SEEK_SET);
  roff = pos = off;
  start = end = 0;
  skipping = false;
  idle = false;
}

// Closes the file; it is looked for again at its name, and read on from
// the position when it is the same file.
void Follower::Impl::Drop() {
  if (fd >= 0) close(fd);
  fd = -1;
  start = end = 0;
  skipping = false;
  idle = false;
  rotated = false;
}

void Follower::Impl::Reopen() {
  if (is_stdin) return;
  force_check = true;
  struct stat st;
  if (fd < 0 || stat(path.c_str(), &st) != 0) return;
  if (SameInode(st, id)) {
    Drop();
    OpenName();
  } else {
    rotated = true;
  }
}

bool Follower::Impl::Save(bool sync) {
  if (state_fd < 0 || !have_id) return true;
  if (fd >= 0 && id.head_len < kHeadMax) ReadHead(fd, &id);
  Record r;
  r.seq = saved.seq + 1;
  r.id = id;
  r.off = pos;
  if (r.off == saved.off && r.id.dev == saved.id.dev &&
      r.id.ino == saved.id.ino && r.id.head_len == saved.id.head_len &&
      r.id.head == saved.id.head && (synced || !sync))
    return true;
  char slot[kSlot + 1];
  FormatSlot(r, slot);
  off_t at = r.seq % 2 == 1 ? 0 : kSlot;  // the older slot
  ssize_t n = pwrite(state_fd, slot, kSlot, at);
  if (n != static_cast<ssize_t>(kSlot) || (sync && fsync(state_fd) != 0)) {
    Fail("cannot write state file %s: %s", opt.state_path.c_str(),
         n < 0 || n == static_cast<ssize_t>(kSlot) ? strerror(errno)
                                                   : "short write");
    return false;
  }
  saved = r;
  synced = sync;
  return true;
}

uint64_t Follower::Impl::Behind() const {
  struct stat st;
  if (is_stdin || fd < 0 || fstat(fd, &st) != 0) return 0;
  uint64_t size = st.st_size;
  uint64_t behind = size > pos ? size - pos : 0;
  if (rotated && stat(path.c_str(), &st) == 0) behind += st.st_size;
  return behind;
}

void Follower::Impl::Wait(int ms, int watch) {
  struct pollfd p[2];
  nfds_t n = 0;
  if (watch >= 0) p[n++] = {watch, POLLIN, 0};
  if (is_stdin && !done) p[n++] = {0, POLLIN, 0};
  poll(p, n, ms);
}

Follower::Follower(const std::string &path, const Options &options)
    : impl_(new Impl(path, options, &error_)) {}

Follower::~Follower() { delete impl_; }

bool Follower::open() { return impl_->Open(); }

int Follower::next(std::string *line, bool *cut) {
  if (!error_.empty()) error_.clear();
  return impl_->Next(line, cut);
}

void Follower::wait(int ms, int fd_to_watch) { impl_->Wait(ms, fd_to_watch); }

bool Follower::save(bool sync) { return impl_->Save(sync); }

void Follower::reopen() { impl_->Reopen(); }

uint64_t Follower::behind() const { return impl_->Behind(); }

}  // namespace bridge
