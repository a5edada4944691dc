// The history store: keys, records in chunks, items with connection ids,
// the refresh that rewrites the files, and the aggregates of a rule check.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audit.h"
#include "rules_util.h"

namespace {

using testing::ExitedWithCode;
using Ints = std::vector<int>;
namespace fs = std::filesystem;

int A(const char *dotted) { return static_cast<int>(inet_addr(dotted)); }
int Flags(int kind, int number, int fields) {
  return kind << 24 | number << 8 | fields;
}
int Now() { return static_cast<int>(time(nullptr)); }
const int kFailSrc = Flags(TOT_FAIL, 1, FLAG_SRC);
const int kTrafficUsr = Flags(TOT_TRAFFIC, 1, FLAG_USR);

ino_t Inode(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}
// Blocks SIGINT and SIGQUIT, or only tells whether either is blocked.
bool Hold(bool block) {
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigprocmask(SIG_BLOCK, block ? &set : nullptr, &old);
  return sigismember(&old, SIGINT) || sigismember(&old, SIGQUIT);
}
// What f writes to standard error.
template <class F> std::string Said(F f) {
  errno = 0;
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

class History : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/historyXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = std::string(tmpl) + "/hist";
    rules_.table.audit_file_name = strdup(base_.c_str());
    Open(O_RDWR | O_CREAT, O_RDWR | O_CREAT);
    Set("alice", 1000);
  }
  void TearDown() override { Database().close(); }
  void Open(int flags1, int flags2) {
    Database().close();
    db1 = dbm_open(const_cast<char *>((base_ + "1").c_str()), flags1, 0600);
    db2 = dbm_open(const_cast<char *>((base_ + "2").c_str()), flags2, 0600);
    ASSERT_TRUE(db1 != nullptr && db2 != nullptr);
  }
  // Makes a connection the record under check.
  void Set(const char *user, int time, int err = 0, uint32_t in = 0, uint32_t out = 0,
           int dur = 0, int last = 0, int id = 0, int src = A("1.2.3.4")) {
    rec_.set_value(src, A("5.6.7.8"), user, time, 80, err, in, out, "", "",
                   "", 42, dur, last, id, 1);
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
  static datum D(const std::string &s) {
    return datum{const_cast<char *>(s.data()), static_cast<int>(s.size())};
  }
  static std::string Bytes(const Ints &ints) {
    return std::string(reinterpret_cast<const char *>(ints.data()),
                       ints.size() * sizeof(int));
  }
  static void Put(DBM *d, const std::string &key, const std::string &bytes) {
    ASSERT_EQ(dbm_store(d, D(key), D(bytes), DBM_REPLACE), 0);
  }
  // The size of the chunk under a key; -1 when there is none.
  static int Size(DBM *d, const std::string &key) {
    datum v = dbm_fetch(d, D(key));
    return v.dptr != nullptr ? v.dsize : -1;
  }
  // Writes a whole record (count word first) in chunks as the store does.
  static void PutRecord(int flags, const Ints &rec) {
    std::string bytes = Bytes(rec), key = Key(flags);
    size_t max_data = (MAX_REC_LEN - key.size()) & ~3;
    for (size_t at = 0, k = 0; at < bytes.size(); at += max_data, k++)
      Put(k == 0 ? db1 : db2, Key(flags, k), bytes.substr(at, max_data));
  }
  // The stored record, count word first, as the store reads it.
  static Ints Read(int flags) {
    Database db;
    db.set_key(flags);
    db.retrieve(db1, db2, 0);
    return Ints(db.newly, db.newly + db.count + 1);
  }
  // One aggregate evaluation that counts the record under check.
  static double Count(Database &db, int flags) {
    db.set_key(flags);
    db.retrieve(db1, db2, 1);
    db.add_new(record);
    db.remove(0);
    double v = db.total(0);
    db.free_space();
    return v;
  }
  Total *Agg(int kind) { return &rules_.table.total_table[kind].list.front(); }
  // The ints an aggregate holds for the record under check.
  int Held(int kind) { return Read(Agg(kind)->flags)[0]; }
  // An alarm whose action appends TEXT to the output file.
  std::string Rule(const std::string &cond, const std::string &text) {
    return "WHEN " + cond + " #line:1-2-2\necho " + text + " >> " + base_ +
           ".out\n";
  }
  // What the actions appended to the output file; the file is emptied.
  std::string Out() {
    std::stringstream s;
    s << std::ifstream(base_ + ".out").rdbuf();
    truncate((base_ + ".out").c_str(), 0);
    return s.str();
  }

  std::string base_;
  TestRules rules_;
  Record rec_;
};

using HistoryDeathTest = History;

TEST_F(History, KeysAndChunkSizes) {
  Set("bob", 1000, 7, 0, 0, 0, 0, 0, A("255.0.1.2"));
  struct { int flags; std::string key; int max_data, increment; } cases[] = {
      {kFailSrc, std::string("\0\0\1\1\377\0\1\2", 8), 1008, 1},
      // every field in order, the integers as held in memory
      {Flags(TOT_TRAFFIC, 7, 0x1f),
       std::string("\3\0\7\x1f\377\0\1\2\5\6\7\x8", 12) + Bytes({80, 7}) +
           "bob",
       992, 3},
      {Flags(TOT_ACCESS, 2, 0), std::string("\4\0\2\0", 4), 1012, 2}};
  Database db;
  for (auto &c : cases) {
    db.set_key(c.flags);
    EXPECT_EQ(std::string(db.key.dptr, db.key.dsize), c.key);
    db.retrieve(db1, db2, 1);
    EXPECT_EQ(db.max_data, c.max_data);
    EXPECT_EQ(db.increment, c.increment);
  }
  db.set_key(Flags(TOT_TRAFFIC, 7, FLAG_SRC));
  EXPECT_EQ(Said([&] { db.print_key("look", 0); }),
            "look, TRAFFIC[#7]: key="
            "\\003\\000\\007\\001\\377\\000\\001\\002\n");
}

TEST_F(History, EmptyRecordIsNeitherWrittenNorDeleted) {
  std::pair<int, int> cases[] = {{TOT_FAIL, 2}, {TOT_ACCESS, 3}, {TOT_IN, 4}};
  for (auto &c : cases) {
    int flags = Flags(c.first, 1, FLAG_SRC);
    Put(db2, Key(flags, 1), Bytes({9, 9}));  // a stray chunk of another time
    Database db;
    db.set_key(flags);
    db.retrieve(db1, db2, 1);
    EXPECT_TRUE(db.count == 0 && db.newly[0] == 0 && db.capacity == c.second);
    rules_.table.set_db_clean();
    db.store();
    EXPECT_EQ(rules_.table.db_clean(), 0) << "a store marks the history dirty";
    EXPECT_TRUE(Size(db1, Key(flags)) == -1 && Size(db2, Key(flags, 1)) == 8);
  }
}

TEST_F(History, FailTimesStayInOrder) {
  Database db;
  for (int t : {100, 50, 100}) {
    Set("alice", t, 5);
    db.set_key(kFailSrc);
    db.retrieve(db1, db2, 1);
    EXPECT_EQ(db.add_new(record), 0);
    db.store();
  }
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(Ints(db.newly, db.newly + 4), (Ints{3, 50, 100, 100}));
  std::pair<int, int> counts[] = {{100, 2}, {101, 0}, {0, 3}, {50, 3}, {51, 2}};
  for (auto &c : counts) EXPECT_EQ(db.item_num(c.first), c.second) << c.first;
  EXPECT_EQ(db.total(100), 2.0);
  db.remove(60);
  EXPECT_EQ(Read(kFailSrc), (Ints{2, 100, 100}));
}

// item_num against a plain count, over records of up to 20 items with runs
// of equal times, for one, two and three ints an item.
TEST_F(History, ItemCountsMatchAPlainCount) {
  srand(7);
  Database db;
  for (int inc = 1; inc <= 3; inc++) {
    Ints rec{0};
    for (int n = 1, t = 10; n <= 20; n++) {
      rec.push_back(t += rand() % 3 * 5);  // equal, +5 or +10
      rec.resize(rec.size() + inc - 1, n);
      db.count = rec[0] = n * inc, db.increment = inc, db.newly = rec.data();
      for (int s = 0; s <= t + 6; s++) {
        int want = 0;
        for (size_t i = 1; i < rec.size(); i += inc)
          want += rec[i] >= s ? inc : 0;
        ASSERT_EQ(db.item_num(s), want) << inc << " " << n << " " << s;
      }
    }
  }
}

TEST_F(HistoryDeathTest, InconsistentRecordsAndFailedWritesStop) {
  struct { std::string bytes; const char *msg; } cases[] = {
      {std::string(6, '\0'), "database corrupt"},
      {std::string(1012, '\0'), "database corrupt"},  // longer than max_data
      {Bytes({5, 10, 20}), "count differs from data size while reading"},
      {Bytes({1, 10, 20}), "data size greater than count while reading"},
      {Bytes({0x7fffffff, 1}), "record capacity reached while reading"},
      {Bytes({3, 50, 40, 60}), "fail times are not increasing"}};
  Database db;
  db.set_key(kFailSrc);
  for (auto &c : cases) {
    Put(db1, Key(kFailSrc), c.bytes);
    EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1),
                std::string(c.msg) + ", FAIL\\[#1\\]: key=\\\\000\\\\000"
                "\\\\001\\\\001\\\\001\\\\002\\\\003\\\\004");
  }
  // The refresh stops on it before any file is moved.
  ino_t before = Inode(base_ + "1.pag");
  // The daemon refreshes through a fresh store object, as here.
  EXPECT_EXIT(Database().refresh(), ExitedWithCode(1), "fail times are not increasing");
  EXPECT_EQ(Inode(base_ + "1.pag"), before);
  // A record of several chunks whose second chunk is missing.
  Ints big(401, 1);
  big[0] = 400;
  PutRecord(kFailSrc, big);
  dbm_delete(db2, D(Key(kFailSrc, 1)));
  EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1),
              "count differs from data size while reading");
  // Items with values are checked by their times only; with tracing, the
  // record is dumped before the program stops.
  Put(db1, Key(kTrafficUsr), Bytes({6, 200, 300, 7, 100, 1, 8}));
  db.set_key(kTrafficUsr);
  rules_.table.set_trace();
  EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1),
              "fail times are not increasing, TRAFFIC.*\nThe current record "
              "dump:\n {8}200 {8}300 {10}7 {8}100 {10}1 {10}8\n$");
  Put(db1, Key(kFailSrc), Bytes({1, 100}));
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 1);
  Open(O_RDONLY, O_RDONLY);
  EXPECT_EXIT(db.remove(50), ExitedWithCode(1),
              "dbm_store failed for file 1, FAIL\\[#1\\]");
  Open(O_RDWR, O_RDONLY);  // chunk 0 still goes to file 1
  db.count = big[0];
  db.newly = big.data();
  EXPECT_EXIT(db.store(), ExitedWithCode(1), "dbm_store failed for file 2");
}

TEST_F(History, ConnectionReportedAgainReplacesItsItem) {
  Database2 db;
  auto Traffic = [&](int t, int in, int last, int id) {
    Set("dan", t, 0, in, 0, 1, last, id);
    return Count(db, kTrafficUsr);
  };
  EXPECT_EQ(Traffic(100, 10, 0, 7), 10);
  EXPECT_EQ(Traffic(105, 5, 0, 8), 15);
  EXPECT_EQ(Traffic(110, 30, 100, 7), 35);  // 7 read at 100 before
  EXPECT_EQ(Read(kTrafficUsr), (Ints{6, 105, 5, 8, 110, 30, 7}));
  EXPECT_EQ(Traffic(120, 1, 115, 9), 36);  // no item of 115: simply added
  // Connections read at the same time are told apart by their ids, found
  // after and before the one the search lands on.
  for (int id : {10, 11, 12}) Traffic(130, id * 100 - 900, 0, id);
  Traffic(140, 12, 130, 12);
  double sum = Traffic(140, 10, 130, 10);
  EXPECT_EQ(sum, 36 + 200 + 12 + 10);
  Ints rec = Read(kTrafficUsr);
  EXPECT_EQ(Ints(rec.end() - 9, rec.end()),
            (Ints{130, 200, 11, 140, 12, 12, 140, 10, 10}));
  // Only the item read last is replaced; an older one of it stays.
  Traffic(150, 1, 0, 20);
  Traffic(160, 2, 155, 20);
  EXPECT_EQ(Traffic(170, 3, 160, 20), sum + 1 + 3);
}

TEST_F(History, ItemsCarryTheValueOfTheirKindAndCount) {
  Set("dan", 100, 0, 3, 4, 9, 0, 5);
  std::pair<int, Ints> cases[] = {
      {TOT_IN, {3, 100, 3, 5}},      {TOT_OUT, {3, 100, 4, 5}},
      {TOT_TRAFFIC, {3, 100, 7, 5}}, {TOT_ACCESS, {2, 100, 5}},
      {TOT_DURATION, {3, 100, 9, 5}}};
  Database2 db;
  for (auto &c : cases) {
    Count(db, Flags(c.first, 1, FLAG_SRC));
    EXPECT_EQ(Read(Flags(c.first, 1, FLAG_SRC)), c.second) << tot[c.first];
  }
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(db.add_new(record), -1);
  EXPECT_EQ(db.count, 0);

  int access = Flags(TOT_ACCESS, 2, FLAG_SRC), in = Flags(TOT_IN, 2, FLAG_SRC);
  Put(db1, Key(access), Bytes({4, 100, 7, 200, 8}));
  Put(db1, Key(in), Bytes({6, 100, 10, 7, 200, 30, 8}));
  struct { int flags, since; double want; } totals[] = {
      {access, 0, 2}, {access, 150, 1}, {access, 200, 1}, {access, 201, 0},
      {in, 50, 40},   {in, 150, 30},    {in, 201, 0},
      {Flags(TOT_IN, 3, FLAG_SRC), 0, 0}};
  for (auto &c : totals) {
    db.set_key(c.flags);
    db.retrieve(db1, db2, 1);
    EXPECT_EQ(db.total(c.since), c.want) << c.flags << " " << c.since;
  }
}

TEST_F(History, LongRecordSpansChunks) {
  Database db;
  for (int i = 0; i < 1200; i++) {
    Set("alice", 1000 + i, 5);
    ASSERT_EQ(Count(db, kFailSrc), i + 1);
  }
  Ints rec = Read(kFailSrc);
  ASSERT_EQ(rec.size(), 1201u);
  for (int i = 0; i < 1200; i++) ASSERT_EQ(rec[1 + i], 1000 + i);
  // 4804 bytes: four full chunks of 1008 and one of 772, chunk 0 in file 1.
  EXPECT_EQ(Size(db1, Key(kFailSrc)), 1008);
  EXPECT_TRUE(Size(db2, Key(kFailSrc)) < 0 && Size(db1, Key(kFailSrc, 1)) < 0);
  for (int k = 1; k <= 4; k++)
    EXPECT_EQ(Size(db2, Key(kFailSrc, k)), k < 4 ? 1008 : 772) << k;
  EXPECT_EQ(Size(db2, Key(kFailSrc, 5)), -1);

  // Shrunk to exactly one full chunk: the tail goes, and the full chunk
  // does not pick up anything after it; then to nothing.
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 0);
  db.remove(2199 - 250);
  for (int k = 1; k <= 4; k++) EXPECT_EQ(Size(db2, Key(kFailSrc, k)), -1) << k;
  rec = Read(kFailSrc);
  ASSERT_EQ(rec.size(), 252u);
  EXPECT_TRUE(rec[1] == 1949 && rec[251] == 2199);
  db.retrieve(db1, db2, 0);
  db.remove(5000);
  EXPECT_EQ(Size(db1, Key(kFailSrc)), -1);
  EXPECT_EQ(dbm_firstkey(db2).dptr, nullptr);
}

TEST_F(History, FullRecordKeepsItsNewestItems) {
  // 64511 fail times fill all 256 chunks that a key can number.
  Ints full{64511};
  for (int i = 1; i <= 64511; i++) full.push_back(i);
  PutRecord(kFailSrc, full);
  ASSERT_GT(Size(db2, Key(kFailSrc, 255)), 0);
  Database db;
  Set("alice", 70000, 5);
  std::string said = Said([&] { EXPECT_EQ(Count(db, kFailSrc), 64511); });
  EXPECT_EQ(said.rfind("history record full, oldest items dropped", 0), 0u)
      << said;
  Ints rec = Read(kFailSrc);
  EXPECT_TRUE(rec.size() == 64512u && rec[1] == 2 && rec[64511] == 70000);
  Set("alice", 70001, 5);
  EXPECT_EQ(Said([&] { Count(db, kFailSrc); }), "");  // said only once
  rec = Read(kFailSrc);
  EXPECT_TRUE(rec[1] == 3 && rec[64511] == 70001);
}

TEST_F(History, RefreshKeepsOnlyItemsInsideTheKeepTime) {
  rules_.table.set_keep(3600);
  rules_.table.set_trace();
  const int now = Now();
  int a = Flags(TOT_FAIL, 1, FLAG_SRC), b = Flags(TOT_FAIL, 2, FLAG_SRC),
      c = Flags(TOT_FAIL, 3, FLAG_SRC), d = Flags(TOT_TRAFFIC, 1, FLAG_SRC);
  PutRecord(a, {3, now - 7200, now - 60, now});
  PutRecord(b, {2, now - 7200, now - 5000});
  PutRecord(d, {6, now - 4000, 5, 1, now - 10, 7, 2});
  Ints longer{1200}, kept{600};  // five chunks, of which three remain
  for (int i = 0; i < 1200; i++)
    longer.push_back(now - (i < 600 ? 7000 : 3000) + i);
  kept.insert(kept.end(), longer.begin() + 601, longer.end());
  PutRecord(c, longer);

  DBM *old1 = db1;
  ino_t before = Inode(base_ + "1.pag");
  Database db;
  std::string said = Said([&] { EXPECT_EQ(db.refresh(), 0); });
  const std::string line = "refresh database: removing everything before ";
  ASSERT_EQ(said.rfind(line, 0), 0u) << said;
  ASSERT_EQ(said.find_first_not_of("0123456789", line.size()),
            std::string::npos);
  int cutoff = atoi(said.c_str() + line.size());
  EXPECT_TRUE(cutoff >= now - 3600 && cutoff <= Now() - 3600) << cutoff;
  EXPECT_TRUE(db1 != old1 && Inode(base_ + "1.pag") != before);
  EXPECT_EQ(rules_.table.db_clean(), 0);
  for (const char *name : {".tmp1.pag", ".tmp1.dir", ".tmp2.pag", ".tmp2.dir"})
    EXPECT_FALSE(fs::exists(base_ + name)) << name;
  // Through the handles the refresh left open, then the files as now named.
  for (int pass = 0; pass < 2; pass++, Open(O_RDWR, O_RDWR)) {
    EXPECT_EQ(Read(a), (Ints{2, now - 60, now}));
    EXPECT_EQ(Size(db1, Key(b)), -1);
    EXPECT_EQ(Read(c), kept);
    EXPECT_EQ(Read(d), (Ints{3, now - 10, 7, 2}));
    int keys = 0;  // file 2 holds the tail of c and nothing else
    for (datum k = dbm_firstkey(db2); k.dptr != nullptr; k = dbm_nextkey(db2))
      keys++;
    EXPECT_EQ(keys, 2);
  }
}

TEST_F(History, RefreshOfEmptyFilesAndOnlyAfterAStore) {
  Database db;
  Hold(true);
  EXPECT_EQ(db.refresh(), 0);
  EXPECT_FALSE(Hold(false));
  for (const char *name : {"1.pag", "1.dir", "2.pag", "2.dir"})
    EXPECT_TRUE(fs::exists(base_ + name)) << name;
  Open(O_RDWR, O_RDWR);
  EXPECT_TRUE(!dbm_firstkey(db1).dptr && !dbm_firstkey(db2).dptr);

  PutRecord(kFailSrc, {1, Now()});
  ino_t first = Inode(base_ + "1.pag");
  rules_.table.set_db_clean();
  refresh_db();
  EXPECT_EQ(Inode(base_ + "1.pag"), first);
  rules_.table.set_db_dirty();
  refresh_db();
  EXPECT_NE(Inode(base_ + "1.pag"), first);
  EXPECT_EQ(rules_.table.db_clean(), 1);
  EXPECT_EQ(Read(kFailSrc).size(), 2u);
}

TEST_F(History, RefreshWithoutTemporaryFilesChangesNothing) {
  const int now = Now();
  PutRecord(kFailSrc, {2, now - 9999, now});
  auto fds = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
  };
  for (const char *blocker : {".tmp1.pag", ".tmp2.pag"}) {
    fs::remove(base_ + blocker);  // left by the case before
    ASSERT_TRUE(fs::create_directory(base_ + blocker));
    Hold(true);
    DBM *old1 = db1, *old2 = db2;
    auto open = fds();
    Database db;
    std::string said = Said([&] { EXPECT_EQ(db.refresh(), 1) << blocker; });
    EXPECT_EQ(said.rfind("db tmp* files open error, not refreshed\n", 0), 0u)
        << said;
    EXPECT_TRUE(db1 == old1 && db2 == old2);
    EXPECT_EQ(fds(), open) << "a temporary database that opened is closed";
    EXPECT_FALSE(Hold(false));
    EXPECT_EQ(Read(kFailSrc), (Ints{2, now - 9999, now}));
    fs::remove(base_ + blocker);
  }
}

// A move that fails is reported and leaves the mark; the files cannot be
// opened again, so the process stops, and the next start-up finishes the
// moves: the history is then the refreshed one.
TEST_F(HistoryDeathTest, FailedRenameIsFinishedAtTheNextStart) {
  const int now = Now();
  rules_.table.set_keep(3600);
  PutRecord(kFailSrc, {2, now - 9999, now});
  ASSERT_TRUE(fs::remove(base_ + "1.dir"));
  ASSERT_TRUE(fs::create_directory(base_ + "1.dir"));
  std::ofstream(base_ + "1.dir/keep") << "x";
  Database db;
  EXPECT_EXIT(db.refresh(), ExitedWithCode(1),
              "can't rename " + base_ + ".tmp1.dir to " + base_ + "1.dir");
  EXPECT_TRUE(fs::exists(base_ + ".refresh"));
  EXPECT_NE(history_damage(base_).find("in the middle of a refresh"),
            std::string::npos);
  fs::remove_all(base_ + "1.dir");
  Database().close();
  finish_refresh(base_);
  for (const char *name : {".tmp1.pag", ".tmp1.dir", ".refresh"})
    EXPECT_FALSE(fs::exists(base_ + name)) << name;
  EXPECT_EQ(history_damage(base_), "");
  Open(O_RDWR, O_RDWR);
  EXPECT_EQ(Read(kFailSrc), (Ints{1, now}));
}

// A refresh cut short before its mark leaves the old files, which the
// start-up keeps; once the mark is down the start-up moves the rest.
TEST_F(History, InterruptedRefreshLeavesOldOrNewFiles) {
  const int now = Now();
  rules_.table.set_keep(3600);
  PutRecord(kFailSrc, {2, now - 9999, now});
  Database().close();
  std::string names[] = {"1.pag", "1.dir", "2.pag", "2.dir"};
  auto copy_all = [&](const std::string &from, const std::string &to) {
    for (const std::string &n : names)
      fs::copy_file(from + n, to + n, fs::copy_options::overwrite_existing);
  };
  std::string saved = base_ + ".old", fresh = base_ + ".new";
  copy_all(base_, saved);
  Open(O_RDWR, O_RDWR);
  ASSERT_EQ(Database().refresh(), 0);
  Database().close();
  copy_all(base_, fresh);
  // moved: how many files the crash had moved; mark: whether it was down.
  struct { int moved; bool mark; Ints want; } cases[] = {
      {0, false, {2, now - 9999, now}},
      {0, true, {1, now}},
      {1, true, {1, now}},
      {3, true, {1, now}}};
  for (auto &c : cases) {
    copy_all(saved, base_);
    for (int i = 0; i < 4; i++)
      fs::copy_file(fresh + names[i],
                    i < c.moved ? base_ + names[i]
                                : base_ + ".tmp" + names[i],
                    fs::copy_options::overwrite_existing);
    if (c.mark) std::ofstream(base_ + ".refresh");
    finish_refresh(base_);
    for (const std::string &n : names)
      EXPECT_FALSE(fs::exists(base_ + ".tmp" + n)) << c.moved << n;
    EXPECT_FALSE(fs::exists(base_ + ".refresh"));
    EXPECT_EQ(history_damage(base_), "") << c.moved;
    Open(O_RDWR, O_RDWR);
    EXPECT_EQ(Read(kFailSrc), c.want) << c.moved << c.mark;
    Database().close();
  }
}

std::string Contents(const std::string &path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

// Damaged history stops the start-up with the file's name, before
// anything has touched the files.
TEST_F(HistoryDeathTest, DamagedHistoryIsRefusedUntouched) {
  const int now = Now();
  for (int i = 0; i < 40; i++) {
    Set(("user" + std::to_string(i)).c_str(), now);
    PutRecord(kTrafficUsr, {3, now, 10, i});
  }
  Database().close();
  std::string pag1 = base_ + "1.pag", pag2 = base_ + "2.pag";
  std::string dir1 = base_ + "1.dir", dir2 = base_ + "2.dir";
  std::string good = Contents(pag1);
  auto write = [](const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  };
  struct { std::function<void()> harm; std::string file, says; } cases[] = {
      {[&] { write(pag1, ""); }, pag1, "is empty"},
      {[&] { write(pag1, good.substr(0, good.size() / 2)); }, pag1,
       "cannot be read"},
      {[&] { write(pag1, good.substr(0, 4096) + std::string(good.size() - 4096, '\xab')); },
       pag1, "cannot be read"},
      {[&] { write(pag1, std::string(good.size(), '\x55')); }, pag1,
       "cannot be read"},
      {[&] { fs::remove(dir1); }, dir1, "is missing"},
      {[&] { fs::remove(pag2); }, pag2, "is missing"},
      {[&] { fs::remove(pag2), fs::remove(dir2); }, pag2, "is missing"},
      {[&] {
         Open(O_RDWR, O_RDWR);
         Set("user7", now);
         PutRecord(kTrafficUsr, {6, now, 10, 1, now - 5, 10, 2});
         Database().close();
       },
       pag1, "holds a damaged record: fail times are not increasing"},
      {[&] {
         Open(O_RDWR, O_RDWR);
         Set("user8", now);
         PutRecord(kTrafficUsr, {0x7fffffff, now, 10, 1});
         Database().close();
       },
       pag1, "holds a damaged record: record capacity reached"},
  };
  std::string saved = base_ + ".saved";
  fs::create_directory(saved);
  for (const char *n : {"1.pag", "1.dir", "2.pag", "2.dir"})
    fs::copy_file(base_ + n, saved + "/" + n);
  for (auto &c : cases) {
    for (const char *n : {"1.pag", "1.dir", "2.pag", "2.dir"})
      fs::copy_file(saved + "/" + n, base_ + n,
                    fs::copy_options::overwrite_existing);
    c.harm();
    std::vector<std::string> before;
    for (const std::string &f : {pag1, dir1, pag2, dir2})
      before.push_back(fs::exists(f) ? Contents(f) : "(none)");
    EXPECT_EXIT(prepare_history(base_.c_str()), ExitedWithCode(1),
                "^history file " + c.file + " " + c.says)
        << c.file << " " << c.says;
    int i = 0;
    for (const std::string &f : {pag1, dir1, pag2, dir2})
      EXPECT_EQ(fs::exists(f) ? Contents(f) : "(none)", before[i++])
          << f << " changed: " << c.says;
  }
  // Sound files, and no files at all, go through.
  for (const char *n : {"1.pag", "1.dir", "2.pag", "2.dir"})
    fs::copy_file(saved + "/" + n, base_ + n,
                  fs::copy_options::overwrite_existing);
  EXPECT_EQ(history_damage(base_), "");
  for (const char *n : {"1.pag", "1.dir", "2.pag", "2.dir"})
    fs::remove(base_ + n);
  EXPECT_EQ(history_damage(base_), "");
}

// The first three aggregates are read by a condition, the others only by
// the action of an alarm that never fires.
TEST_F(History, RecordsCountOnlyForTheirKinds) {
  ASSERT_EQ(rules_.Load("WHEN (((FAIL[src]>999)|(IN[src]>999))|(OUT[src]>999))"
                        " #line:1-2-2\n\n" +
                        Rule("(usr==nobody)",
                             "TRAFFIC[src] ACCESS[src] DURATION[src]")),
            2);
  struct { int err, in, out, dur; const char *held; } records[] = {
      {5, 10, 10, 5, "1 0 0 0 0 0 "},  // failed
      {0, 10, 0, 0, "1 3 0 3 2 0 "},
      {-1, 0, 3, 2, "1 3 3 6 4 3 "}};  // not failed either
  int id = 0;
  for (auto &r : records) {
    Set("alice", 1000, r.err, r.in, r.out, r.dur, 0, ++id);
    rules_.table.check(rec_);
    std::string held;  // FAIL IN OUT TRAFFIC ACCESS DURATION
    for (int kind = 0; kind < N_TOTALS; kind++) {
      held += std::to_string(Held(kind)) + " ";
      EXPECT_EQ(Agg(kind)->db_updated, 0) << tot[kind];
    }
    EXPECT_EQ(held, r.held);
  }
}

TEST_F(History, AggregateBehindAFalseAndStillCounts) {
  ASSERT_EQ(
      rules_.Load(Rule("((usr==zed)&(ACCESS[src]>2))", "fired ACCESS[src]")),
      1);
  int id = 0;
  for (const char *user : {"alice", "alice", "zed"}) {
    Set(user, 1000, 0, 0, 0, 0, 0, ++id);
    rules_.table.check(rec_);
  }
  EXPECT_EQ(Out(), "fired 3\n");
}

// Its own condition false, an aggregate counts nothing and has no value:
// the comparison fails and the command shows 0.
TEST_F(History, AggregateWhoseConditionFailsHasNoValue) {
  ASSERT_EQ(rules_.Load(Rule("(FAIL[usr==bob,src]<1)", "less") +
                        Rule("(usr==alice)", "alice FAIL[usr==bob,src]")),
            2);
  Set("alice", 1000, 5);
  rules_.table.check(rec_);
  EXPECT_EQ(Out(), "alice 0\n");
  EXPECT_EQ(Held(TOT_FAIL), 0);
  for (int t : {1001, 1002}) {
    Set("bob", t, 5);
    rules_.table.check(rec_);
  }
  Set("bob", 1003, 0, 1);
  double *v = Agg(TOT_FAIL)->process();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(*v, 2);
  EXPECT_EQ(Out(), "");
}

// One aggregate read by two alarms counts a record once, and both see it.
TEST_F(History, AlertTimeIsTheWindowAndKeepTimeTheRetention) {
  rules_.table.set_keep(3600);
  ASSERT_EQ(rules_.Load(Rule("(FAIL[src]>0)", "short FAIL[src]") +
                        "alert_time=3600\n" +
                        Rule("(FAIL[src]>0)", "long FAIL[src]")), 2);
  EXPECT_EQ(rules_.table.total_num(TOT_FAIL), 1);
  EXPECT_EQ(Agg(TOT_FAIL)->keep_time, 3600);
  for (int t : {6000, 7000, 9000, 9800, 10000}) {
    Out();
    Set("alice", t, 5);
    rules_.table.check(rec_);
  }
  EXPECT_EQ(Out(), "short 2\nlong 4\n");
  EXPECT_EQ(Read(Agg(TOT_FAIL)->flags), (Ints{4, 7000, 9000, 9800, 10000}));
  EXPECT_EQ(Agg(TOT_FAIL)->db_updated, 0);
}

// Byte counts up to 2^32 - 1 each are summed exactly, and so is a traffic
// beyond 2^32, also when its connection is reported again.
TEST_F(History, ByteCountsBeyondTwoGiB) {
  ASSERT_EQ(rules_.Load(Rule("(IN[src]>999999999)",
                             "IN[src] OUT[src] TRAFFIC[src]")), 1);
  const uint32_t max = UINT32_MAX;
  struct { uint32_t in, out; int time, last, id; const char *out_line; } cases[] = {
      {3000000000u, 1, 1000, 0, 1, "3000000000 1 3000000001\n"},
      {max, max, 1001, 0, 2, "7294967295 4294967296 11589934591\n"},
      {max, 2, 1002, 1001, 2, "7294967295 3 7294967298\n"},  // replaces both
      {5, 5, 1003, 1002, 2, "3000000005 6 3000000011\n"}};
  for (auto &c : cases) {
    Set("alice", c.time, 0, c.in, c.out, 1, c.last, c.id);
    rules_.table.check(rec_);
    EXPECT_EQ(Out(), c.out_line) << c.time;
  }
  EXPECT_EQ(Held(TOT_TRAFFIC), 6);  // one item each
}

// A window longer than the rule set's keep time keeps its items, in the
// aggregate and through a refresh, for every alarm that reads it; with
// windows of 300 s only, the refresh drops what is older.
TEST_F(History, LongestWindowKeepsItsItems) {
  struct { const char *settings; std::string out; int keep; size_t kept; } cases[] = {
      {"alert_time=600\n", "short 2\nlong 4\n", 600, 4}, {"", "short 2\nlong 2\n", 300, 2}};
  int src = 0;
  for (auto &c : cases) {
    auto rules = std::make_unique<TestRules>();
    rules->table.audit_file_name = rules_.table.audit_file_name;
    ASSERT_EQ(rules->Load(Rule("(FAIL[src]>0)", "short FAIL[src]") + c.settings +
                          Rule("(FAIL[src]>0)", "long FAIL[src]")), 2);
    Total &agg = rules->table.total_table[TOT_FAIL].list.front();
    EXPECT_EQ(agg.keep_time, c.keep);
    EXPECT_EQ(rules->table.longest_keep(), c.keep);
    const int now = Now();
    int addr = A("10.0.0.1") + ++src;  // a key of its own
    for (int ago : {500, 400, 100, 0}) {
      Out();
      Set("alice", now - ago, 5, 0, 0, 0, 0, 0, addr);
      rules->table.check(rec_);
    }
    EXPECT_EQ(Out(), c.out) << c.settings;
    PutRecord(agg.flags, {4, now - 500, now - 400, now - 100, now});
    Database().refresh();
    EXPECT_EQ(Read(agg.flags).size(), c.kept + 1) << c.settings;
    // The fixture keeps its file name and open files.
    DBM *open1 = db1, *open2 = db2;
    rules->table.audit_file_name = nullptr;
    db1 = db2 = nullptr;
    rules.reset();
    db1 = open1, db2 = open2;
    ALRM_table_ptr = &rules_.table;
  }
}

}  // namespace
