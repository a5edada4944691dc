// The history store: records in chunks, items in order, damaged records and files.
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
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audit.h"
#include "ndbm_store.h"
#include "rules_util.h"
#include "stats.h"

#define EXPECT_SAYS(said, what) EXPECT_NE((said).find(what), std::string::npos) << (said)
namespace {

using Ints = std::vector<int>;
namespace fs = std::filesystem;

const int kFailSrc = TOT_FAIL << 24 | 256 | FLAG_SRC, kFailUsr = TOT_FAIL << 24 | 256 | FLAG_USR,
          kTrafficUsr = TOT_TRAFFIC << 24 | 256 | FLAG_USR;  // kind, number 1, fields
std::string Bytes(const Ints &v) { return std::string((const char *)v.data(), v.size() * 4); }
std::string Contents(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
template <class F> std::string Stderr(F f) {
  testing::internal::CaptureStderr(), f();
  return testing::internal::GetCapturedStderr();
}

// Every aggregate's items are kept for the rule set's keep time.
int KeepOf(const std::string &) { return ALRM_table_ptr->longest_keep(); }

class History : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/historyXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Move(std::string(tmpl) + "/hist"), Set("alice", 1000);
  }
  void Close() {
    if (store_ != nullptr) lost_ += store_->lost_updates;
    rules_.table.set_store(nullptr), store_ = nullptr;
  }
  void Open() {
    Close();
    std::string failed;
    auto store = std::make_unique<NdbmStore>(base_, O_RDWR | O_CREAT, &failed);
    ASSERT_TRUE(store->is_open()) << failed;
    store_ = store.get(), rules_.table.set_store(std::move(store));
  }
  void Move(const std::string &base) {  // the history at base in place of the fixture's, opened
    free(rules_.table.audit_file_name);
    rules_.table.audit_file_name = strdup((base_ = base).c_str()), Open();
  }
  uint64_t Lost() const { return lost_ + (store_ != nullptr ? store_->lost_updates : 0); }
  // Makes a connection from 1.2.3.4 the record under check.
  void Set(const char *user, int time, int err = 0, uint32_t in = 0, int last = 0, int id = 0) {
    rec_.set_value(inet_addr("1.2.3.4"), inet_addr("5.6.7.8"), user, time, 80, err, in, 0, "",
                   "", "", 42, 1, last, id, 1);
    record.share(rec_);
  }
  void Store(int flags, const std::string &bytes) {  // count word first, chunked as stored
    std::string key = history_key(flags);
    size_t max = (MAX_REC_LEN - key.size()) & ~3;
    for (size_t at = 0, k = 0; at < bytes.size(); at += max, k++) {
      std::string data = bytes.substr(at, max);
      key[1] = static_cast<char>(k);  // the chunk
      datum kd = {&key[0], int(key.size())}, dd = {&data[0], int(data.size())};
      ASSERT_EQ(dbm_store(k == 0 ? store_->d1 : store_->d2, kd, dd, DBM_REPLACE), 0);
    }
  }
  Ints Read(int flags) {  // count word first
    Ints items, rec;
    store_->read(history_key(flags), 0, items);
    rec.push_back(int(items.size())), rec.insert(rec.end(), items.begin(), items.end());
    return rec;
  }
  // One evaluation counting the record under check (a failure, or its
  // traffic for the connection), items older than until dropped.
  double Count(int flags, int until = 0) {
    ItemUpdate u;
    if (flags >> 24 == TOT_FAIL) {
      u.add = {record.time()};
    } else {
      u.increment = 3, u.replace_time = record.last(), u.replace_id = record.id();
      u.add = {record.time(), int(record.in()), record.id()};
    }
    u.until = until;
    Ints items;
    store_->update(history_key(flags), u, items);
    return items_total(items.data(), int(items.size()), u.increment, 0);
  }
  bool Fail(const std::string &user) {  // counts a failure of the user; whether it was written
    uint64_t lost = Lost();
    return Set(user.c_str(), now_, 5), Count(kFailUsr), Lost() == lost;
  }
  std::string base_;
  TestRules rules_;
  NdbmStore *store_ = nullptr;
  uint64_t lost_ = 0;
  Record rec_;
  int now_ = static_cast<int>(time(nullptr));
};
using HistoryDeathTest = History;

// Items stay in order, equal times in order of coming; a connection reported
// again replaces its last read's item, equal times told apart by connection
// id.  64511 fail times fill all 256 chunks a key can number: newest kept.
TEST_F(History, ItemsStayInOrderAndConnectionReportedAgainReplacesItsItem) {
  for (int t : {100, 50, 100}) Set("alice", t, 5), Count(kFailUsr);
  EXPECT_EQ(Read(kFailUsr), (Ints{3, 50, 100, 100}));
  struct { int t, in, last, id; double sum; } cases[] = {
      {100, 10, 0, 7, 10}, {105, 5, 0, 8, 15}, {110, 30, 100, 7, 35}, {120, 1, 115, 9, 36},
      {130, 100, 0, 10, 136}, {130, 200, 0, 11, 336}, {130, 300, 0, 12, 636},
      {140, 12, 130, 12, 348}, {140, 10, 130, 10, 258}};
  for (auto &c : cases)
    EXPECT_EQ((Set("dan", c.t, 0, c.in, c.last, c.id), Count(kTrafficUsr)), c.sum) << c.t;
  Ints rec = Read(kTrafficUsr), full{64511};
  EXPECT_EQ(Ints(rec.end() - 9, rec.end()), (Ints{130, 200, 11, 140, 12, 12, 140, 10, 10}));
  for (int i = 1; i <= 64511; i++) full.push_back(i);
  Store(kFailSrc, Bytes(full)), Set("alice", 70000, 5);
  EXPECT_SAYS(Stderr([&] { EXPECT_EQ(Count(kFailSrc), 64511); }),
              "history record full, oldest items dropped, ");
  EXPECT_TRUE((rec = Read(kFailSrc)).size() == 64512u && rec[1] == 2 && rec[64511] == 70000);
}

// A history held in memory (a dry run's): records the files hold are read
// from them once; stores leave the files as they are until a flush
// writes every record, one emptied removed; closing forgets the rest.
TEST_F(History, HeldHistoryWritesTheFilesOnlyWhenFlushed) {
  Store(kFailSrc, Bytes({2, now_ - 10, now_ - 5}));
  store_->hold(true);
  std::string files = Contents(base_ + "1.pag");
  Ints items;
  ItemUpdate cut;  // every item dropped
  cut.until = now_ + 1;
  EXPECT_EQ((Set("alice", now_, 5), Count(kFailSrc)), 3);
  EXPECT_EQ(Count(kFailUsr), 1);
  EXPECT_EQ(Count(kFailUsr), 2);
  store_->update(history_key(kFailSrc), cut, items);
  EXPECT_EQ(Contents(base_ + "1.pag"), files);
  EXPECT_EQ(Count(kFailSrc), 1);
  store_->flush(), store_->hold(false);
  EXPECT_EQ(Read(kFailSrc), (Ints{1, now_}));
  EXPECT_EQ(Read(kFailUsr), (Ints{2, now_, now_}));
  store_->hold(true), store_->update(history_key(kFailSrc), cut, items);
  Count(kFailUsr), store_->flush(), Count(kFailUsr), Open(), store_->hold(false);
  EXPECT_EQ(Read(kFailSrc), Ints{0});
  EXPECT_EQ(Read(kFailUsr), (Ints{3, now_, now_, now_}));
}

// A change to a key's items: the connection's earlier items (same time and
// id) out, the new ones after those of equal time, then those before until
// dropped.  A value over 32 bits comes as two items from the caller.
TEST(ApplyUpdate, ReplacesInsertsAndCuts) {
  struct { int inc, rtime, rid; Ints add; int until; Ints before, after; } cases[] = {
      {1, 0, 0, {50}, 0, {10, 50, 90}, {10, 50, 50, 90}},                   // after equal times
      {1, 0, 0, {5}, 10, {10, 20}, {10, 20}},                               // new item already cut
      {1, 0, 0, {30}, 20, {10, 20, 20, 40}, {20, 20, 30, 40}},              // until keeps its own time
      {2, 20, 7, {30, 7}, 0, {20, 7, 20, 8, 20, 7}, {20, 8, 30, 7}},        // every earlier report out
      {2, 20, 7, {30, 7}, 0, {20, 8, 25, 7}, {20, 8, 25, 7, 30, 7}},        // other time: kept
      {3, 0, 0, {5, 1, 9}, 0, {}, {5, 1, 9}},                               // none to replace
      {3, 5, 9, {7, -1, 9, 7, 6, 9}, 0, {5, 10, 9, 7, 2, 4},
       {7, 2, 4, 7, -1, 9, 7, 6, 9}},                                       // a split value, in order
      {3, 5, 9, {7, 1, 9}, 8, {5, 10, 9, 6, 1, 1}, {}},                     // all before until
  };
  for (auto &c : cases) {
    ItemUpdate u;
    u.increment = c.inc, u.replace_time = c.rtime, u.replace_id = c.rid, u.add = c.add, u.until = c.until;
    Ints items = c.before;
    apply_update(items, u);
    EXPECT_EQ(items, c.after) << c.inc << " " << c.rtime << " " << c.until;
  }
}

TEST_F(HistoryDeathTest, InconsistentRecordsStop) {
  std::pair<std::string, const char *> cases[] = {{std::string(6, '\0'), "database corrupt"},
      {Bytes({5, 10, 20}), "count differs from data size while reading"},
      {Bytes({1, 10, 20}), "data size greater than count while reading"},
      {Bytes({0x7fffffff, 1}), "record capacity reached while reading"},
      {Bytes({3, 50, 40, 60}), "fail times are not increasing"}};
  for (auto &[bytes, msg] : cases)
    EXPECT_EXIT((Store(kFailSrc, bytes), Read(kFailSrc)), testing::ExitedWithCode(1),
                std::string(msg) + ", FAIL\\[#1\\]: key=");
}

// A damaged history is said with the file's name and kept aside as it was;
// every record that still reads back whole goes on in fresh files.
TEST_F(History, DamagedHistoryIsSetAsideWithWhatReadsBack) {
  auto salvaged = [&](const std::string &says, int left_out, const Ints &fails) {
    Close();
    EXPECT_SAYS(Stderr([&] { prepare_history(base_.c_str(), KeepOf("")); }),
                "history file " + base_ + says + "; moved aside as " + base_ + "1.damaged and " +
                    base_ + "2.damaged, " + std::to_string(left_out) + " damaged records left out");
    EXPECT_EQ(history_damage(base_), "");
    Open();
    EXPECT_EQ(Read(kFailSrc), fails);
    EXPECT_EQ(Read(kTrafficUsr), (Ints{0}));
  };
  Set("user7", now_), Store(kFailSrc, Bytes({1, now_}));
  Store(kTrafficUsr, Bytes({6, now_, 10, 1, now_ - 5, 10, 2})), Close();
  std::string before = Contents(base_ + "1.pag");
  salvaged("1.pag holds a damaged record: fail times are not increasing", 1, {1, now_});
  EXPECT_EQ(Contents(base_ + "1.damaged.pag"), before);
  Close(), fs::remove(base_ + "2.pag");  // a record in one chunk needs no file 2
  salvaged("2.pag is missing", 0, {1, now_});
  Close(), std::ofstream(base_ + "1.pag", std::ios::trunc).close();
  salvaged("1.pag is empty", 0, {0});
  EXPECT_EQ(fs::file_size(base_ + "1.damaged.pag"), 0u);
}

// Items stamped over the slack after the record's time count in no window,
// said once; the refresh drops those past its own time's slack.
TEST_F(History, ItemsFromTheFutureCountNowhereAndTheRefreshDropsThem) {
  int now = now_, soon = now + FUTURE_SLACK, later = now + 3600;
  Set("alice", now), Store(kFailSrc, Bytes({5, now - 10, now, soon, later, later}));
  Store(kTrafficUsr, Bytes({9, now, 10, 1, now + 30, 20, 2, later, 300, 3}));
  auto window = [&](int flags, int since) {
    Ints items;
    store_->read(history_key(flags), 0, items);
    return items_window(history_key(flags), items, flags >> 24 == TOT_FAIL ? 1 : 3, since, now);
  };
  std::string said = Stderr([&] {
    EXPECT_EQ(window(kFailSrc, 0) * 10 + window(kFailSrc, now - 5), 32);
    EXPECT_EQ(Read(kFailSrc)[0], 5);  // the record itself keeps them
    EXPECT_EQ(window(kTrafficUsr, 0), 30);
  });
  EXPECT_EQ(said.find("future ignored: "), said.rfind("future ignored: ")) << said;
  EXPECT_SAYS(said, "ignored: 2, up to 3600 s ahead, FAIL[#1]: key=");
  EXPECT_SAYS(Stderr([&] { EXPECT_EQ(store_->refresh(now, KeepOf), 0); }),
              "history refresh dropped 3 items from the future");
  EXPECT_EQ(Read(kFailSrc), (Ints{3, now - 10, now, soon}));
  EXPECT_EQ(Read(kTrafficUsr), (Ints{6, now, 10, 1, now + 30, 20, 2}));
  Store(kFailSrc, Bytes({2, now, later}));
  EXPECT_SAYS(Stderr([&] { EXPECT_EQ(window(kFailSrc, 0), 1); }),
              "history items from the future ignored: 1, ");
}

// On a full disk updates are lost, counted, said once a minute, never half
// written (as gdbm alone would in a third of rounds) whatever the space and
// record sizes; a refresh gives up leaving no fresh files; space again, written.
TEST_F(History, FullDiskLosesUpdatesNotTheFiles) {
  std::string disk = base_.substr(0, base_.rfind('/')) + "/disk";
  if (!fs::create_directory(disk) || mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k") != 0)
    GTEST_SKIP() << "no tmpfs of its own: " << strerror(errno);
  std::string said = Stderr([&] {
    for (int round = 0; round < 64; round++) {
      Move(disk + "/hist");
      ASSERT_TRUE(Fail("early"));
      struct statvfs st;  // the disk filled up to (16 + round) kB free
      for (std::ofstream filler(disk + "/filler", std::ios::binary);
           statvfs(disk.c_str(), &st) == 0 && st.f_bavail * st.f_frsize > (16u + round) * 1024 &&
           filler.write(std::string(4096, 'x').data(), 4096) && filler.flush();) {}
      int users = 1 + round * 61 % 997;  // one record in many chunks, or many
      std::vector<int> items(users);
      uint64_t lost = Lost();
      for (int i = 0; Lost() == lost && i < 1000000; i++)
        items[i % users] += Fail("u" + std::to_string(i % users));
      ASSERT_NE(Lost(), lost) << "never full";
      EXPECT_EQ(round ? 1 : store_->refresh(now_, KeepOf), 1);  // the first round's refresh gives up
      std::set<std::string> files, want{"filler", "hist1.dir", "hist1.pag", "hist2.dir", "hist2.pag"};
      for (auto &e : fs::directory_iterator(disk)) files.insert(e.path().filename());
      EXPECT_EQ(files, want);  // no fresh files left
      Close();
      ASSERT_EQ(history_damage(base_), "") << "round " << round;
      Open();
      for (int u = 0; u < users; u++)
        EXPECT_EQ((Set(("u" + std::to_string(u)).c_str(), now_), Read(kFailUsr)[0]), items[u])
            << "round " << round << " user " << u;
      EXPECT_TRUE((fs::remove(disk + "/filler"), Fail("after")));
      EXPECT_EQ(Read(kFailUsr), (Ints{1, now_}));
      Close();
      for (auto &e : fs::directory_iterator(disk)) fs::remove(e.path());
    }
  });
  EXPECT_EQ(Lost(), 64u);
  EXPECT_EQ(said.find("history not written: "), said.rfind("history not written: ")) << said;
  EXPECT_SAYS(said, "history not written: 1 updates lost since the last report. No space left on device");
  EXPECT_SAYS(said, "history " + disk + "/hist not refreshed: ");
  umount2(disk.c_str(), MNT_DETACH);
}

// Links under history names are refused, as are directories others may
// write to unless sticky, and there files of others or with other names.
TEST_F(HistoryDeathTest, LinksAndOpenDirectoriesAreRefused) {
  std::string dir = base_.substr(0, base_.rfind('/'));
  Store(kFailSrc, Bytes({1, now_})), Close(), std::ofstream(dir + "/victim") << "keep";
  for (std::string name : {"1.pag", "2.dir", ".tmp1.pag", ".refresh", "2.pag"}) {  // 2.pag: reload
    fs::path at = base_ + name;
    bool had = fs::exists(at) && (fs::rename(at, dir + "/aside"), true), open = name == "2.pag";
    fs::create_symlink("victim", at);
    EXPECT_EXIT(open ? (void)NdbmStore(base_) : prepare_history(base_.c_str(), 300), testing::ExitedWithCode(1),
                (open ? "^open db file2 error: " : "^") + ("history file " + at.string() + " is a symbolic link"));
    if (fs::remove(at) && had) fs::rename(dir + "/aside", at);
  }
  chmod(dir.c_str(), 0777);
  EXPECT_EXIT(prepare_history(base_.c_str(), 300), testing::ExitedWithCode(1),
              "^history directory " + dir + " is writable by others");
  chmod(dir.c_str(), 01777), prepare_history(base_.c_str(), 300);  // a sticky directory, like /tmp
  fs::create_hard_link(base_ + "1.pag", dir + "/other");
  EXPECT_EXIT(prepare_history(base_.c_str(), 300), testing::ExitedWithCode(1),
              "^history file " + base_ + "1.pag has other links");
  chmod(dir.c_str(), 0700);
}

}  // namespace
