// The history store: keys, records in chunks, items with connection ids,
// the refresh that rewrites the files, and the aggregates of a rule check.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <fstream>
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
int Flags(int kind, int number, int fields) { return kind << 24 | number << 8 | fields; }
int Now() { return static_cast<int>(time(nullptr)); }
const int kFailSrc = Flags(TOT_FAIL, 1, FLAG_SRC), kTrafficUsr = Flags(TOT_TRAFFIC, 1, FLAG_USR);
const char *kFiles[] = {"1.pag", "1.dir", "2.pag", "2.dir"};

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
  void Open(int flags = O_RDWR | O_CREAT) {
    Database().close();
    db1 = dbm_open(const_cast<char *>((base_ + "1").c_str()), flags, 0600);
    db2 = dbm_open(const_cast<char *>((base_ + "2").c_str()), flags, 0600);
    ASSERT_TRUE(db1 != nullptr && db2 != nullptr);
  }
  // Makes a connection the record under check.
  void Set(const char *user, int time, int err = 0, uint32_t in = 0, uint32_t out = 0,
           int dur = 0, int last = 0, int id = 0) {
    rec_.set_value(A("1.2.3.4"), A("5.6.7.8"), user, time, 80, err, in, out, "", "", "", 42,
                   dur, last, id, 1);
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
  static datum D(const std::string &s) { return {const_cast<char *>(s.data()), int(s.size())}; }
  static std::string Bytes(const Ints &v) {
    return std::string(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(int));
  }
  static void Put(DBM *d, const std::string &key, const std::string &bytes) {
    ASSERT_EQ(dbm_store(d, D(key), D(bytes), DBM_REPLACE), 0);
  }
  static int Size(DBM *d, const std::string &key) {  // -1: no such chunk
    datum v = dbm_fetch(d, D(key));
    return v.dptr != nullptr ? v.dsize : -1;
  }
  // Writes a whole record (count word first) in chunks as the store does.
  static void PutRecord(int flags, const Ints &rec) {
    std::string bytes = Bytes(rec), key = Key(flags);
    size_t max = (MAX_REC_LEN - key.size()) & ~3;
    for (size_t at = 0, k = 0; at < bytes.size(); at += max, k++)
      Put(k == 0 ? db1 : db2, Key(flags, k), bytes.substr(at, max));
  }
  static Ints Read(int flags) {  // count word first
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
  int Held(int kind) { return Read(Agg(kind)->flags)[0]; }
  // An alarm whose action appends text to the output file.
  std::string Rule(const std::string &cond, const std::string &text) {
    return "WHEN " + cond + " #line:1-2-2\necho " + text + " >> " + base_ + ".out\n";
  }
  std::string Out() {  // and empties the file
    std::string s = Contents(base_ + ".out");
    truncate((base_ + ".out").c_str(), 0);
    return s;
  }
  void Check() { rules_.table.check(rec_); }

  std::string base_;
  TestRules rules_;
  Record rec_;
};

using HistoryDeathTest = History;

// Keys carry kind, chunk, number, fields and values; chunk room follows.
TEST_F(History, KeysAndChunkSizes) {
  Set("bob", 1000, 7);
  struct { int flags; std::string key; int max_data, increment; } cases[] = {
      {kFailSrc, std::string("\0\0\1\1\1\2\3\4", 8), 1008, 1},
      {Flags(TOT_TRAFFIC, 7, 0x1f),
       std::string("\3\0\7\x1f\1\2\3\4\5\6\7\x8", 12) + Bytes({80, 7}) + "bob", 992, 3},
      {Flags(TOT_ACCESS, 2, 0), std::string("\4\0\2\0", 4), 1012, 2}};
  for (auto &c : cases) {
    Database db;
    db.set_key(c.flags);
    EXPECT_EQ(std::string(db.key.dptr, db.key.dsize), c.key);
    db.retrieve(db1, db2, 1);
    EXPECT_EQ(db.max_data, c.max_data);
    EXPECT_EQ(db.increment, c.increment);
  }
}

// Times inserted out of order; item_num against a plain count for one to
// three ints an item.
TEST_F(History, ItemsStayInOrderAndAreCounted) {
  Database db;
  for (int t : {100, 50, 100}) {
    Set("alice", t, 5);
    Count(db, kFailSrc);
  }
  EXPECT_EQ(Read(kFailSrc), (Ints{3, 50, 100, 100}));
  srand(7);
  for (int inc = 1; inc <= 3; inc++) {
    Ints rec{0};
    for (int n = 1, t = 10; n <= 20; n++) {
      rec.push_back(t += rand() % 3 * 5);
      rec.resize(rec.size() + inc - 1, n);
      db.count = rec[0] = n * inc, db.increment = inc, db.newly = rec.data();
      for (int s = 0; s <= t + 6; s++) {
        int want = 0;
        for (size_t i = 1; i < rec.size(); i += inc) want += rec[i] >= s ? inc : 0;
        ASSERT_EQ(db.item_num(s), want) << inc << " " << n << " " << s;
      }
    }
  }
  db.newly = nullptr;
}

TEST_F(HistoryDeathTest, InconsistentRecordsStop) {
  struct { std::string bytes; const char *msg; } cases[] = {
      {std::string(6, '\0'), "database corrupt"},
      {std::string(1012, '\0'), "database corrupt"},
      {Bytes({5, 10, 20}), "count differs from data size while reading"},
      {Bytes({1, 10, 20}), "data size greater than count while reading"},
      {Bytes({0x7fffffff, 1}), "record capacity reached while reading"},
      {Bytes({3, 50, 40, 60}), "fail times are not increasing"}};
  Database db;
  db.set_key(kFailSrc);
  for (auto &c : cases) {
    Put(db1, Key(kFailSrc), c.bytes);
    EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1),
                std::string(c.msg) + ", FAIL\\[#1\\]: key=");
  }
  Ints big(401, 1);  // a record of several chunks whose second is missing
  big[0] = 400;
  PutRecord(kFailSrc, big);
  dbm_delete(db2, D(Key(kFailSrc, 1)));
  EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1), "count differs from data size");
}

// A connection reported again replaces the item of its last read; items
// of equal time are told apart by their connection ids.
TEST_F(History, ConnectionReportedAgainReplacesItsItem) {
  Database2 db;
  auto Traffic = [&](int t, int in, int last, int id) {
    Set("dan", t, 0, in, 0, 1, last, id);
    return Count(db, kTrafficUsr);
  };
  struct { int t, in, last, id; double sum; } cases[] = {
      {100, 10, 0, 7, 10}, {105, 5, 0, 8, 15}, {110, 30, 100, 7, 35}, {120, 1, 115, 9, 36},
      {130, 100, 0, 10, 136}, {130, 200, 0, 11, 336}, {130, 300, 0, 12, 636},
      {140, 12, 130, 12, 348}, {140, 10, 130, 10, 258}};
  for (auto &c : cases) EXPECT_EQ(Traffic(c.t, c.in, c.last, c.id), c.sum) << c.t << " " << c.id;
  Ints rec = Read(kTrafficUsr);
  EXPECT_EQ(Ints(rec.end() - 9, rec.end()), (Ints{130, 200, 11, 140, 12, 12, 140, 10, 10}));
}

TEST_F(History, ItemsCarryTheValueOfTheirKind) {
  Set("dan", 100, 0, 3000000000u, 4, 9, 0, 5);
  struct { int kind; double total; Ints rec; } cases[] = {
      {TOT_IN, 3e9, {3, 100, -1294967296, 5}}, {TOT_OUT, 4, {3, 100, 4, 5}},
      {TOT_TRAFFIC, 3000000004.0, {3, 100, -1294967292, 5}}, {TOT_ACCESS, 1, {2, 100, 5}},
      {TOT_DURATION, 9, {3, 100, 9, 5}}};
  Database2 db;
  for (auto &c : cases) {
    EXPECT_EQ(Count(db, Flags(c.kind, 1, FLAG_SRC)), c.total) << tot[c.kind];
    EXPECT_EQ(Read(Flags(c.kind, 1, FLAG_SRC)), c.rec) << tot[c.kind];
  }
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(db.add_new(record), -1);  // no error: no failure
}

TEST_F(History, LongRecordSpansChunks) {
  Database db;
  for (int i = 0; i < 1200; i++) {
    Set("alice", 1000 + i, 5);
    ASSERT_EQ(Count(db, kFailSrc), i + 1);
  }
  // 4804 bytes: four full chunks of 1008 and one of 772, chunk 0 in file 1.
  for (int k = 0; k <= 5; k++)
    EXPECT_EQ(Size(k ? db2 : db1, Key(kFailSrc, k)), k < 4 ? 1008 : k == 4 ? 772 : -1) << k;
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 0);
  db.remove(1949);  // to exactly one full chunk: the tail goes
  for (int k = 1; k <= 4; k++) EXPECT_EQ(Size(db2, Key(kFailSrc, k)), -1) << k;
  Ints rec = Read(kFailSrc);
  EXPECT_TRUE(rec.size() == 252u && rec[1] == 1949 && rec[251] == 2199);
}

TEST_F(History, FullRecordKeepsItsNewestItems) {
  Ints full{64511};  // fills all 256 chunks a key can number
  for (int i = 1; i <= 64511; i++) full.push_back(i);
  PutRecord(kFailSrc, full);
  Database db;
  Set("alice", 70000, 5);
  errno = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Count(db, kFailSrc), 64511);
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("history record full, oldest", 0), 0u);
  Ints rec = Read(kFailSrc);
  EXPECT_TRUE(rec.size() == 64512u && rec[1] == 2 && rec[64511] == 70000);
}

TEST_F(History, RefreshKeepsOnlyItemsInsideTheKeepTime) {
  rules_.table.set_keep(3600);
  const int now = Now();
  int a = kFailSrc, b = Flags(TOT_FAIL, 2, FLAG_SRC), c = Flags(TOT_FAIL, 3, FLAG_SRC),
      d = Flags(TOT_TRAFFIC, 1, FLAG_SRC);
  PutRecord(a, {3, now - 7200, now - 60, now});
  PutRecord(b, {2, now - 7200, now - 5000});
  PutRecord(d, {6, now - 4000, 5, 1, now - 10, 7, 2});
  Ints longer{1200}, kept{600};  // five chunks, of which three remain
  for (int i = 0; i < 1200; i++) longer.push_back(now - (i < 600 ? 7000 : 3000) + i);
  kept.insert(kept.end(), longer.begin() + 601, longer.end());
  PutRecord(c, longer);
  rules_.table.set_db_clean();
  refresh_db();  // nothing stored since the last refresh
  EXPECT_EQ(Read(b).size(), 3u);
  rules_.table.set_db_dirty();
  refresh_db();
  for (const char *name : {".tmp1.pag", ".tmp2.pag"}) EXPECT_FALSE(fs::exists(base_ + name));
  for (int pass = 0; pass < 2; pass++, Open()) {  // the handles left open, then the files
    EXPECT_EQ(Read(a), (Ints{2, now - 60, now}));
    EXPECT_EQ(Size(db1, Key(b)), -1);
    EXPECT_EQ(Read(c), kept);
    EXPECT_EQ(Read(d), (Ints{3, now - 10, 7, 2}));
  }
}

// A refresh cut short before its mark leaves the old files, which the
// start-up keeps; once the mark is down the start-up moves the rest.
TEST_F(History, InterruptedRefreshLeavesOldOrNewFiles) {
  const int now = Now();
  rules_.table.set_keep(3600);
  PutRecord(kFailSrc, {2, now - 9999, now});
  Database().close();
  auto copy_all = [&](const std::string &from, const std::string &to, int moved = 4) {
    for (int i = 0; i < 4; i++)
      fs::copy_file(from + kFiles[i], to + (i < moved ? "" : ".tmp") + kFiles[i],
                    fs::copy_options::overwrite_existing);
  };
  copy_all(base_, base_ + ".old");
  Open();
  ASSERT_EQ(Database().refresh(), 0);
  Database().close();
  copy_all(base_, base_ + ".new");
  struct { int moved; bool mark; Ints want; } cases[] = {
      {0, false, {2, now - 9999, now}}, {0, true, {1, now}}, {3, true, {1, now}}};
  for (auto &c : cases) {
    copy_all(base_ + ".old", base_);
    copy_all(base_ + ".new", base_, c.moved);
    if (c.mark) std::ofstream(base_ + ".refresh");
    finish_refresh(base_);
    EXPECT_FALSE(fs::exists(base_ + ".tmp1.pag") || fs::exists(base_ + ".refresh"));
    EXPECT_EQ(history_damage(base_), "") << c.moved;
    Open();
    EXPECT_EQ(Read(kFailSrc), c.want) << c.moved << c.mark;
    Database().close();
  }
}

// Damaged history stops the start-up with the file's name, untouched.
TEST_F(HistoryDeathTest, DamagedHistoryIsRefusedUntouched) {
  Set("user7", Now());
  PutRecord(kTrafficUsr, {6, Now(), 10, 1, Now() - 5, 10, 2});
  Database().close();
  std::string pag1 = base_ + "1.pag", pag2 = base_ + "2.pag", saved = base_ + ".saved";
  fs::create_directory(saved);
  for (const char *n : kFiles) fs::copy_file(base_ + n, saved + "/" + n);
  std::pair<std::string, std::string> cases[] = {
      {pag1, "holds a damaged record: fail times are not increasing"},
      {pag1, "is empty"}, {pag2, "is missing"}};
  for (auto &[file, says] : cases) {
    for (const char *n : kFiles)
      fs::copy_file(saved + "/" + n, base_ + n, fs::copy_options::overwrite_existing);
    if (says == "is empty") std::ofstream(pag1, std::ios::trunc);
    if (says == "is missing") fs::remove(pag2);
    std::string before = Contents(pag1);
    EXPECT_EXIT(prepare_history(base_.c_str()), ExitedWithCode(1),
                "^history file " + file + " " + says);
    EXPECT_EQ(Contents(pag1), before);
  }
  for (const char *n : kFiles) fs::remove(base_ + n);
  prepare_history(base_.c_str());  // no files at all go through
  EXPECT_EQ(history_damage(base_), "");
}

// Only the kinds a record counts for are stored; the first three
// aggregates are read by a condition, the others by a silent action.
TEST_F(History, RecordsCountOnlyForTheirKinds) {
  ASSERT_EQ(rules_.Load("WHEN (((FAIL[src]>999)|(IN[src]>999))|(OUT[src]>999)) #line:1-2-2\n\n" +
                        Rule("(usr==nobody)", "TRAFFIC[src] ACCESS[src] DURATION[src]")),
            2);
  struct { int err, in, out, dur; const char *held; } records[] = {
      {5, 10, 10, 5, "1 0 0 0 0 0 "}, {0, 10, 0, 0, "1 3 0 3 2 0 "},
      {-1, 0, 3, 2, "1 3 3 6 4 3 "}};
  int id = 0;
  for (auto &r : records) {
    Set("alice", 1000, r.err, r.in, r.out, r.dur, 0, ++id);
    Check();
    std::string held;  // FAIL IN OUT TRAFFIC ACCESS DURATION
    for (int kind = 0; kind < N_TOTALS; kind++) held += std::to_string(Held(kind)) + " ";
    EXPECT_EQ(held, r.held);
  }
}

// Its own condition false, an aggregate counts nothing and has no value;
// behind a false test of its alarm it still counts.
TEST_F(History, AggregateConditionsAndShortCircuits) {
  ASSERT_EQ(rules_.Load(Rule("(FAIL[usr==bob,src]<1)", "less") +
                        Rule("(usr==alice)", "alice FAIL[usr==bob,src]") +
                        Rule("((usr==zed)&(ACCESS[src]>1))", "fired ACCESS[src]")),
            3);
  Set("alice", 1000, 5, 0, 0, 0, 0, 1);
  Check();
  EXPECT_EQ(Out(), "alice 0\n");
  EXPECT_EQ(Held(TOT_FAIL), 0);
  Set("bob", 1001, 5, 0, 0, 0, 0, 2);
  Check();
  for (const char *user : {"carol", "zed"}) {  // carol's counts behind usr==zed
    Set(user, 1003, 0, 1, 0, 0, 0, *user);
    Check();
  }
  EXPECT_EQ(Out(), "fired 2\n");
  Set("bob", 1004);
  ASSERT_NE(Agg(TOT_FAIL)->process(), nullptr);
  EXPECT_EQ(*Agg(TOT_FAIL)->process(), 1);
}

// One aggregate read by alarms of different windows is stored once,
// counts each record once, and keeps items for its longest window.
TEST_F(History, EachAlarmSeesItsWindow) {
  ASSERT_EQ(rules_.Load(Rule("(FAIL[src]>0)", "short FAIL[src]") + "alert_time=600\n" +
                        Rule("(FAIL[src]>0)", "long FAIL[src]")),
            2);
  EXPECT_EQ(rules_.table.total_num(TOT_FAIL), 1);
  EXPECT_EQ(rules_.table.longest_keep(), 600);
  const int now = Now();
  for (int ago : {700, 500, 400, 100, 0}) {
    Out();
    Set("alice", now - ago, 5);
    Check();
  }
  EXPECT_EQ(Out(), "short 2\nlong 4\n");
  EXPECT_EQ(Read(Agg(TOT_FAIL)->flags).size(), 5u);
  Database().refresh();
  EXPECT_EQ(Read(Agg(TOT_FAIL)->flags).size(), 5u);
}

}  // namespace
