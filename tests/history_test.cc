// The history store: records in chunks, items in order and with connection
// ids, damaged records and files.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audit.h"
#include "rules_util.h"
#include "stats.h"

namespace {

using testing::ExitedWithCode;
using Ints = std::vector<int>;
namespace fs = std::filesystem;

int Flags(int kind, int number, int fields) { return kind << 24 | number << 8 | fields; }
const int kFailSrc = Flags(TOT_FAIL, 1, FLAG_SRC), kTrafficUsr = Flags(TOT_TRAFFIC, 1, FLAG_USR),
          kFailUsr = Flags(TOT_FAIL, 1, FLAG_USR);
std::string Bytes(const Ints &v) { return std::string((const char *)v.data(), v.size() * 4); }
std::string Contents(const std::string &path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

class History : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/historyXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = std::string(tmpl) + "/hist";
    rules_.table.audit_file_name = strdup(base_.c_str());
    Open();
    Set("alice", 1000);
  }
  void TearDown() override { Database().close(); }
  void Open() {
    Database().close();
    db1 = dbm_open(const_cast<char *>((base_ + "1").c_str()), O_RDWR | O_CREAT, 0600);
    db2 = dbm_open(const_cast<char *>((base_ + "2").c_str()), O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(db1 != nullptr && db2 != nullptr);
  }
  // Makes a connection from 1.2.3.4 the record under check.
  void Set(const char *user, int time, int err = 0, uint32_t in = 0, uint32_t out = 0,
           int dur = 0, int last = 0, int id = 0) {
    rec_.set_value(inet_addr("1.2.3.4"), inet_addr("5.6.7.8"), user, time, 80, err, in, out, "",
                   "", "", 42, dur, last, id, 1);
    record.share(rec_);
  }
  // The key of the record under check for an aggregate, with its chunk.
  static std::string Key(int flags, int chunk = 0) {
    Database db;
    db.set_key(flags);
    std::string k(db.key.dptr, db.key.dsize);
    k[1] = static_cast<char>(chunk);
    return k;
  }
  // Writes a record's bytes (count word first) in chunks as the store does.
  static void Store(int flags, const std::string &bytes) {
    size_t max = (MAX_REC_LEN - Key(flags).size()) & ~3;
    for (size_t at = 0, k = 0; at < bytes.size(); at += max, k++) {
      std::string key = Key(flags, k), data = bytes.substr(at, max);
      datum kd = {&key[0], int(key.size())}, dd = {&data[0], int(data.size())};
      ASSERT_EQ(dbm_store(k == 0 ? db1 : db2, kd, dd, DBM_REPLACE), 0);
    }
  }
  static Ints Read(int flags) {  // count word first
    Database db;
    db.set_key(flags), db.retrieve(db1, db2, 1);
    return Ints(db.newly, db.newly + db.count + 1);
  }
  // One aggregate evaluation that counts the record under check.
  static double Count(Database &db, int flags) {
    db.set_key(flags), db.retrieve(db1, db2, 1), db.add_new(record), db.remove(0);
    double v = db.total(0);
    db.free_space();
    return v;
  }

  // The history at base in place of the fixture's, opened.
  void Move(const std::string &base) {
    base_ = base;
    free(rules_.table.audit_file_name);
    rules_.table.audit_file_name = strdup(base.c_str());
    Open();
  }
  std::string Dir() const { return base_.substr(0, base_.rfind('/')); }
  // Counts a failure of the user; whether it was written.
  bool Fail(const std::string &user) {
    Set(user.c_str(), now_, 5);
    uint64_t lost = ALRM_stats.store_failures;
    Database db;
    Count(db, kFailUsr);
    return ALRM_stats.store_failures == lost;
  }

  std::string base_;
  TestRules rules_;
  Record rec_;
  int now_ = static_cast<int>(time(nullptr));
};
using HistoryDeathTest = History;

// Times inserted out of order keep the record in order; equal ones are in order.
TEST_F(History, ItemsStayInOrder) {
  Database db;
  for (int t : {100, 50, 100}) {
    Set("alice", t, 5);
    Count(db, kFailSrc);
  }
  EXPECT_EQ(Read(kFailSrc), (Ints{3, 50, 100, 100}));
}

TEST_F(HistoryDeathTest, InconsistentRecordsStop) {
  std::pair<std::string, const char *> cases[] = {
      {std::string(6, '\0'), "database corrupt"},
      {Bytes({5, 10, 20}), "count differs from data size while reading"},
      {Bytes({1, 10, 20}), "data size greater than count while reading"},
      {Bytes({0x7fffffff, 1}), "record capacity reached while reading"},
      {Bytes({3, 50, 40, 60}), "fail times are not increasing"}};
  Database db;
  db.set_key(kFailSrc);
  for (auto &[bytes, msg] : cases) {
    Store(kFailSrc, bytes);
    EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1),
                std::string(msg) + ", FAIL\\[#1\\]: key=");
  }
}

// A connection reported again replaces the item of its last read; items
// of equal time are told apart by their connection ids.
TEST_F(History, ConnectionReportedAgainReplacesItsItem) {
  struct { int t, in, last, id; double sum; } cases[] = {
      {100, 10, 0, 7, 10}, {105, 5, 0, 8, 15}, {110, 30, 100, 7, 35}, {120, 1, 115, 9, 36},
      {130, 100, 0, 10, 136}, {130, 200, 0, 11, 336}, {130, 300, 0, 12, 636},
      {140, 12, 130, 12, 348}, {140, 10, 130, 10, 258}};
  Database2 db;
  for (auto &c : cases) {
    Set("dan", c.t, 0, c.in, 0, 1, c.last, c.id);
    EXPECT_EQ(Count(db, kTrafficUsr), c.sum) << c.t << " " << c.id;
  }
  Ints rec = Read(kTrafficUsr);
  EXPECT_EQ(Ints(rec.end() - 9, rec.end()), (Ints{130, 200, 11, 140, 12, 12, 140, 10, 10}));
}

// 64511 fail times fill all 256 chunks a key can number.
TEST_F(History, FullRecordKeepsItsNewestItems) {
  Ints full{64511};
  for (int i = 1; i <= 64511; i++) full.push_back(i);
  Store(kFailSrc, Bytes(full));
  Database db;
  Set("alice", 70000, 5);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Count(db, kFailSrc), 64511);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("history record full, oldest items dropped, "), std::string::npos) << said;
  Ints rec = Read(kFailSrc);
  EXPECT_TRUE(rec.size() == 64512u && rec[1] == 2 && rec[64511] == 70000);
}

// A damaged history does not stop the start-up: it is said with the
// file's name, the files are kept aside as they were, and every record
// that still reads back whole goes on in fresh ones.
TEST_F(History, DamagedHistoryIsSetAsideWithWhatReadsBack) {
  auto salvaged = [&](const std::string &says, int left_out) {
    testing::internal::CaptureStderr();
    prepare_history(base_.c_str());
    std::string said = testing::internal::GetCapturedStderr();
    std::string want = "history file " + base_ + says + "; moved aside as " + base_ +
                       "1.damaged and " + base_ + "2.damaged, " + std::to_string(left_out) +
                       " damaged records left out";
    EXPECT_NE(said.find(want), std::string::npos) << said;
    EXPECT_EQ(history_damage(base_), "");
    Open();
  };
  Set("alice", now_);
  Store(kFailSrc, Bytes({1, now_}));
  Set("user7", now_);
  Store(kTrafficUsr, Bytes({6, now_, 10, 1, now_ - 5, 10, 2}));
  Database().close();
  std::string before = Contents(base_ + "1.pag");
  salvaged("1.pag holds a damaged record: fail times are not increasing", 1);
  EXPECT_EQ(Contents(base_ + "1.damaged.pag"), before);
  EXPECT_EQ(Read(kTrafficUsr), (Ints{0}));
  Set("alice", now_);
  EXPECT_EQ(Read(kFailSrc), (Ints{1, now_}));
  Database().close();

  fs::remove(base_ + "2.pag");  // a record in one chunk needs no file 2
  salvaged("2.pag is missing", 0);
  EXPECT_EQ(Read(kFailSrc), (Ints{1, now_}));
  Database().close();

  std::ofstream(base_ + "1.pag", std::ios::trunc).close();
  salvaged("1.pag is empty", 0);
  EXPECT_EQ(Read(kFailSrc), (Ints{0}));
  EXPECT_EQ(fs::file_size(base_ + "1.damaged.pag"), 0u);
}

size_t Occurrences(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// Items stamped more than the slack after the record's time count in no
// window, said once; the refresh drops those past the slack after its own
// time, and what comes later is said again.
TEST_F(History, ItemsFromTheFutureCountNowhereAndTheRefreshDropsThem) {
  int now = static_cast<int>(time(nullptr)), soon = now + FUTURE_SLACK, later = now + 3600;
  Set("alice", now);
  Store(kFailSrc, Bytes({5, now - 10, now, soon, later, later}));
  Store(kTrafficUsr, Bytes({9, now, 10, 1, now + 30, 20, 2, later, 300, 3}));
  Database fail;
  Database2 traffic;
  testing::internal::CaptureStderr();
  fail.set_key(kFailSrc), fail.retrieve(db1, db2, 0);
  EXPECT_EQ(fail.window(0, now), 3);
  EXPECT_EQ(fail.window(now - 5, now), 2);
  EXPECT_EQ(fail.count, 5);  // the record itself keeps them
  traffic.set_key(kTrafficUsr), traffic.retrieve(db1, db2, 0);
  EXPECT_EQ(traffic.window(0, now), 30);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(Occurrences(said, "history items from the future ignored: "), 1u) << said;
  EXPECT_NE(said.find("ignored: 2, up to 3600 s ahead, FAIL[#1]: key="), std::string::npos) << said;

  testing::internal::CaptureStderr();
  EXPECT_EQ(Database().refresh(), 0);
  said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("history refresh dropped 3 items from the future"), std::string::npos) << said;
  EXPECT_EQ(Read(kFailSrc), (Ints{3, now - 10, now, soon}));
  EXPECT_EQ(Read(kTrafficUsr), (Ints{6, now, 10, 1, now + 30, 20, 2}));

  Store(kFailSrc, Bytes({2, now, later}));
  testing::internal::CaptureStderr();
  fail.set_key(kFailSrc), fail.retrieve(db1, db2, 0);
  EXPECT_EQ(fail.window(0, now), 1);
  said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("history items from the future ignored: 1, "), std::string::npos) << said;
}

// Fills the file system in which dir lies up to the given free bytes.
void FillUpTo(const std::string &dir, int64_t free_bytes) {
  std::ofstream filler(dir + "/filler", std::ios::binary);
  std::string block(4096, 'x');
  struct statvfs fs;
  while (statvfs(dir.c_str(), &fs) == 0 &&
         int64_t(fs.f_bavail) * int64_t(fs.f_frsize) > free_bytes &&
         filler.write(block.data(), block.size()) && filler.flush()) {
  }
}

// On a full file system updates are lost, counted and said at most once a
// minute, but never half written (gdbm, left to meet the end of the space
// itself, leaves a file that no longer reads through in a third of these
// rounds): whatever the free space left and the sizes of the
// records, the files read through with every item written, a refresh gives
// up without leaving fresh files, and once there is space again the next
// update is written.
TEST_F(History, FullDiskLosesUpdatesNotTheFiles) {
  std::string disk = Dir() + "/disk";
  fs::create_directory(disk);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "no tmpfs of its own: " << strerror(errno);
  testing::internal::CaptureStderr();
  for (int round = 0; round < 64; round++) {
    Move(disk + "/hist");
    ASSERT_TRUE(Fail("early"));
    FillUpTo(disk, (16 + round) * 1024);
    int users = 1 + round * 61 % 997;  // one record in many chunks, or many
    std::vector<int> items(users);
    uint64_t lost = ALRM_stats.store_failures;
    for (int i = 0; ALRM_stats.store_failures == lost; i++) {
      ASSERT_LT(i, 1000000) << "never full";
      items[i % users] += Fail("u" + std::to_string(i % users));
    }
    if (round == 0) {
      EXPECT_EQ(Database().refresh(), 1);
      for (auto &e : fs::directory_iterator(disk))
        EXPECT_TRUE(e.path().filename() == "filler" || e.path().extension() == ".pag" ||
                    e.path().extension() == ".dir") << e.path();
    }
    Database().close();
    ASSERT_EQ(history_damage(base_), "") << "round " << round;
    Open();
    for (int u = 0; u < users; u++) {
      Set(("u" + std::to_string(u)).c_str(), now_, 5);
      Database db;
      db.set_key(kFailUsr), db.retrieve(db1, db2, 0);
      EXPECT_EQ(db.count, items[u]) << "round " << round << " user " << u;
    }
    fs::remove(disk + "/filler");
    EXPECT_TRUE(Fail("after"));
    Set("after", now_, 5);
    EXPECT_EQ(Read(kFailUsr), (Ints{1, now_}));
    Database().close();
    for (auto &e : fs::directory_iterator(disk)) fs::remove(e.path());
  }
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ALRM_stats.store_failures, 64u);
  EXPECT_EQ(Occurrences(said, "history not written: "), 1u) << said;
  EXPECT_NE(said.find("history not written: 1 updates lost since the last report. No space left on device"),
            std::string::npos) << said;
  EXPECT_NE(said.find("history " + disk + "/hist not refreshed: "), std::string::npos) << said;
  umount2(disk.c_str(), MNT_DETACH);
}

// A link under a history name is never followed, and a directory others
// may write to is used only with the sticky bit, and then only with files
// of the daemon's user that have no other name.
TEST_F(HistoryDeathTest, LinksAndOpenDirectoriesAreRefused) {
  Database db;
  Count(db, kFailSrc);
  std::string dir = Dir(), victim = dir + "/victim";
  std::ofstream(victim) << "keep";
  Database().close();
  auto refused = [&](const std::string &says) {
    EXPECT_EXIT(prepare_history(base_.c_str()), ExitedWithCode(1), "^" + says);
  };
  for (std::string name : {"1.pag", "2.dir", ".tmp1.pag", ".refresh"}) {
    fs::path at = base_ + name;
    bool had = fs::exists(at);
    if (had) fs::rename(at, dir + "/aside");
    fs::create_symlink("victim", at);
    refused("history file " + at.string() + " is a symbolic link");
    fs::remove(at);
    if (had) fs::rename(dir + "/aside", at);
  }
  fs::create_symlink("victim", base_ + "2.pag.new");
  fs::rename(base_ + "2.pag", dir + "/aside");
  fs::rename(base_ + "2.pag.new", base_ + "2.pag");
  EXPECT_EXIT(open_history(base_.c_str()), ExitedWithCode(1),
              "^open db file2 error: history file " + base_ + "2.pag is a symbolic link");
  fs::rename(dir + "/aside", base_ + "2.pag");

  Open();  // a link planted under a fresh file's name while the daemon runs
  fs::create_symlink("victim", base_ + ".tmp1.pag");
  EXPECT_EQ(Database().refresh(), 0);
  EXPECT_EQ(Contents(victim), "keep");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(base_ + "1.pag")));
  Database().close();

  chmod(dir.c_str(), 0777);
  refused("history directory " + dir + " is writable by others");
  chmod(dir.c_str(), 01777);
  prepare_history(base_.c_str());  // a sticky directory, like /tmp
  if (geteuid() == 0) {
    ASSERT_EQ(chown((base_ + "2.dir").c_str(), 65534, 65534), 0);
    refused("history file " + base_ + "2.dir belongs to another user");
    ASSERT_EQ(chown((base_ + "2.dir").c_str(), 0, 0), 0);
  }
  fs::create_hard_link(base_ + "1.pag", dir + "/other");
  refused("history file " + base_ + "1.pag has other links");
  chmod(dir.c_str(), 0700);
}

}  // namespace
