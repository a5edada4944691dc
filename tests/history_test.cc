// The history store: keys, records and their chunks, items with
// connection ids, the refresh that rewrites the files, and the aggregates
// that count records into it during a rule check.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

int A(const char *dotted) { return static_cast<int>(inet_addr(dotted)); }

int Flags(int kind, int number, int fields) {
  return kind << 24 | number << 8 | fields;
}

const int kFailSrc = Flags(TOT_FAIL, 1, FLAG_SRC);
const int kTrafficUsr = Flags(TOT_TRAFFIC, 1, FLAG_USR);

// Escapes a text for a death test's regular expression.
std::string Re(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (strchr("\\^$.|?*+()[]{}", c) != nullptr) out += '\\';
    out += c;
  }
  return out;
}

// Open descriptors of this process.
int OpenFds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) n++;
  closedir(d);
  return n;
}

ino_t Inode(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

int Blocked(int sig) {
  sigset_t set;
  sigprocmask(SIG_BLOCK, nullptr, &set);
  return sigismember(&set, sig);
}

class History : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/historyXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    base_ = dir_ + "/hist";
    rules_.table.audit_file_name = strdup(base_.c_str());
    OpenFiles(O_RDWR | O_CREAT);
    Set(A("1.2.3.4"), "alice", 1000);
  }
  void TearDown() override { CloseFiles(); }

  void OpenFiles(int flags) {
    db1 = dbm_open(const_cast<char *>((base_ + "1").c_str()), flags, 0600);
    db2 = dbm_open(const_cast<char *>((base_ + "2").c_str()), flags, 0600);
    ASSERT_NE(db1, nullptr);
    ASSERT_NE(db2, nullptr);
  }
  void CloseFiles() {
    if (db1 != nullptr) dbm_close(db1);
    if (db2 != nullptr) dbm_close(db2);
    db1 = db2 = nullptr;
  }

  // Makes a connection the record under check.
  void Set(int src, const char *user, int time, int err = 0, int in = 0,
           int out = 0, int dur = 0, int last = 0, int id = 0) {
    rec_.set_value(src, A("5.6.7.8"), user, time, 80, err, in, out, "", "",
                   "", 42, dur, last, id, 1);
    record.share(rec_);
  }

  // The key of the record under check for an aggregate, with its chunk
  // number.
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
  static void Put(DBM *d, const std::string &key, const std::string &bytes) {
    ASSERT_EQ(dbm_store(d, D(key), D(bytes), DBM_REPLACE), 0);
  }
  static void Put(DBM *d, const std::string &key, const Ints &ints) {
    Put(d, key, std::string(reinterpret_cast<const char *>(ints.data()),
                            ints.size() * sizeof(int)));
  }
  // The raw chunk under a key; empty when there is none.
  static Ints Get(DBM *d, const std::string &key) {
    datum v = dbm_fetch(d, D(key));
    Ints out(v.dptr != nullptr ? v.dsize / 4 : 0);
    if (v.dptr != nullptr) memcpy(out.data(), v.dptr, out.size() * 4);
    return out;
  }
  static bool Has(DBM *d, const std::string &key) {
    return dbm_fetch(d, D(key)).dptr != nullptr;
  }
  // Writes a whole record (count word first) in chunks as the store does.
  static void PutRecord(int flags, const Ints &rec) {
    std::string key = Key(flags);
    int max_data = (MAX_REC_LEN - static_cast<int>(key.size())) & ~3;
    const char *p = reinterpret_cast<const char *>(rec.data());
    int bytes = static_cast<int>(rec.size()) * 4;
    for (int chunk = 0; bytes > 0; chunk++) {
      int n = bytes < max_data ? bytes : max_data;
      Put(chunk == 0 ? db1 : db2, Key(flags, chunk), std::string(p, n));
      p += n;
      bytes -= n;
    }
  }
  // The stored record, count word first, as the store reads it.
  static Ints Read(int flags) {
    Database db;
    db.set_key(flags);
    db.retrieve(db1, db2, 0);
    return Ints(db.newly, db.newly + db.count + 1);
  }
  // One aggregate evaluation that counts the record under check.
  static double Count(Database &db, int flags, int until, int since = 0) {
    db.set_key(flags);
    db.retrieve(db1, db2, 1);
    db.add_new(record);
    db.remove(until);
    double v = db.total(since);
    db.free_space();
    return v;
  }
  // Items of the record under check held for an aggregate.
  static int Items(const Total *t) {
    Database db;
    db.set_key(t->flags);
    db.retrieve(db1, db2, 0);
    return db.count / db.increment;
  }
  Total *Agg(int kind) { return &rules_.table.total_table[kind].list.front(); }

  // What the actions appended to the output file; the file is emptied.
  std::string Out() {
    std::ifstream in(dir_ + "/out");
    std::stringstream s;
    s << in.rdbuf();
    truncate((dir_ + "/out").c_str(), 0);
    return s.str();
  }
  std::string OutPath() const { return dir_ + "/out"; }

  std::string dir_, base_;
  TestRules rules_;
  Record rec_;
};

using HistoryDeathTest = History;

// ---- Keys, reading and writing

TEST_F(History, KeysHoldTheFlagsAndTheSelectedFields) {
  Database db;
  Set(A("1.2.3.4"), "bob", 1000, 7);
  db.set_key(kFailSrc);
  EXPECT_EQ(std::string(db.key.dptr, db.key.dsize),
            std::string("\0\0\1\1\1\2\3\4", 8));
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(db.max_data, 1008);
  EXPECT_EQ(db.increment, 1);
  db.free_space();
  EXPECT_EQ(db.key.dptr, nullptr);
  EXPECT_EQ(db.key.dsize, 0);

  // Every field, in the order source, destination, application, error,
  // user; the integers as they are held in memory.
  db.set_key(Flags(TOT_TRAFFIC, 7, 0x1f));
  int app = 80, err = 7;
  std::string want("\3\0\7\x1f\1\2\3\4\5\6\7\x8", 12);
  want.append(reinterpret_cast<char *>(&app), 4);
  want.append(reinterpret_cast<char *>(&err), 4);
  want += "bob";
  EXPECT_EQ(std::string(db.key.dptr, db.key.dsize), want);
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(db.max_data, 992);  // 1016 - 23, rounded down to whole ints
  EXPECT_EQ(db.increment, 3);
  db.free_space();

  db.set_key(Flags(TOT_ACCESS, 2, 0));
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(db.key.dsize, 4);
  EXPECT_EQ(db.max_data, 1012);
  EXPECT_EQ(db.increment, 2);
}

TEST_F(History, EmptyRecordIsNeitherWrittenNorDeleted) {
  struct { int kind, capacity; } cases[] = {
      {TOT_FAIL, 2}, {TOT_ACCESS, 3}, {TOT_IN, 4}};
  for (auto &c : cases) {
    int flags = Flags(c.kind, 1, FLAG_SRC);
    Put(db2, Key(flags, 1), Ints{9, 9});  // a stray chunk of another time
    Database db;
    db.set_key(flags);
    db.retrieve(db1, db2, 1);
    EXPECT_EQ(db.count, 0);
    EXPECT_EQ(db.capacity, c.capacity);
    EXPECT_EQ(db.newly, db.info);
    EXPECT_EQ(db.info[0], 0);
    rules_.table.set_db_clean();
    db.store();
    EXPECT_EQ(rules_.table.db_clean(), 0) << "a store marks the history dirty";
    EXPECT_FALSE(Has(db1, Key(flags)));
    EXPECT_EQ(Get(db2, Key(flags, 1)), (Ints{9, 9}));
  }
}

TEST_F(History, FailTimesStayInOrder) {
  Database db;
  for (int t : {100, 50, 100}) {
    Set(A("1.2.3.4"), "alice", t, 5);
    db.set_key(kFailSrc);
    db.retrieve(db1, db2, 1);
    EXPECT_EQ(db.add_new(record), 0);
    db.store();
    db.free_space();
  }
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(Ints(db.newly, db.newly + 4), (Ints{3, 50, 100, 100}));
  EXPECT_EQ(db.item_num(100), 2);
  EXPECT_EQ(db.item_num(101), 0);
  EXPECT_EQ(db.item_num(0), 3);
  EXPECT_EQ(db.item_num(50), 3);
  EXPECT_EQ(db.item_num(51), 2);
  EXPECT_EQ(db.total(100), 2.0);
  db.remove(60);
  EXPECT_EQ(Get(db1, Key(kFailSrc)), (Ints{2, 100, 100}));
  EXPECT_EQ(Read(kFailSrc), (Ints{2, 100, 100}));
}

// item_num against a plain count, over records of every size up to 20
// items with runs of equal times, for one, two and three ints an item.
TEST_F(History, ItemCountsMatchAPlainCount) {
  srand(7);
  for (int inc : {1, 2, 3}) {
    for (int n = 1; n <= 20; n++) {
      Ints rec{n * inc};
      int t = 10;
      for (int i = 0; i < n; i++) {
        t += rand() % 3 * 5;  // equal, +5 or +10
        rec.push_back(t);
        for (int j = 1; j < inc; j++) rec.push_back(i);
      }
      Database db;
      db.count = n * inc;
      db.increment = inc;
      db.newly = rec.data();
      for (int s = 0; s <= t + 6; s++) {
        int want = 0;
        for (int i = 0; i < n; i++) want += rec[1 + i * inc] >= s ? inc : 0;
        ASSERT_EQ(db.item_num(s), want) << "inc " << inc << " n " << n
                                        << " time " << s;
      }
      db.newly = nullptr;
    }
  }
}

TEST_F(History, PrintKeyWritesEveryByteInOctal) {
  Set(A("255.0.1.2"), "alice", 1000);
  Database db;
  db.set_key(Flags(TOT_TRAFFIC, 7, FLAG_SRC));
  errno = 0;
  testing::internal::CaptureStderr();
  db.print_key("look", 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "look, TRAFFIC[#7]: key=\\003\\000\\007\\001\\377\\000\\001\\002\n");
  EXPECT_NE(db1, nullptr) << "a report without exit keeps the files open";
}

TEST_F(HistoryDeathTest, InconsistentRecordsStop) {
  const std::string key = "\\\\000\\\\000\\\\001\\\\001\\\\001\\\\002\\\\003\\\\004";
  struct { std::string bytes; const char *msg; } cases[] = {
      {std::string(6, '\0'), "database corrupt"},
      {std::string(2, '\0'), "database corrupt"},
      {std::string(1012, '\0'), "database corrupt"},  // longer than max_data
      {std::string("\5\0\0\0\x0a\0\0\0\x14\0\0\0", 12),
       "count differs from data size while reading"},
      {std::string("\1\0\0\0\x0a\0\0\0\x14\0\0\0", 12),
       "data size greater than count while reading"},
      {std::string("\xff\xff\xff\x7f\1\0\0\0", 8),
       "record capacity reached while reading"},
      {std::string("\3\0\0\0\x32\0\0\0\x28\0\0\0\x3c\0\0\0", 16),
       "fail times are not increasing"}};
  for (auto &c : cases) {
    Put(db1, Key(kFailSrc), c.bytes);
    Database db;
    db.set_key(kFailSrc);
    EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1),
                Re(c.msg) + ", FAIL\\[#1\\]: key=" + key)
        << c.msg;
  }

  // A record of several chunks whose second chunk is missing or broken.
  Ints big{400};
  for (int i = 0; i < 400; i++) big.push_back(i);
  PutRecord(kFailSrc, big);
  Put(db2, Key(kFailSrc, 1), std::string(6, '\0'));
  Database db;
  db.set_key(kFailSrc);
  EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1), "database corrupt");
  dbm_delete(db2, D(Key(kFailSrc, 1)));
  EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1),
              "count differs from data size while reading");

  // Items with values are checked by their times only.
  Put(db1, Key(kTrafficUsr), Ints{6, 200, 1, 7, 100, 300, 8});
  db.set_key(kTrafficUsr);
  EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1),
              "fail times are not increasing, TRAFFIC");
}

TEST_F(HistoryDeathTest, TraceDumpsTheRecordBeforeStopping) {
  Ints rec{14};
  for (int i = 1; i <= 13; i++) rec.push_back(i * 1000);
  rec.push_back(5);
  Put(db1, Key(kFailSrc), rec);
  rules_.table.set_trace();
  std::string dump = "The current record dump:\n";
  char num[16];
  for (int i = 1; i <= 14; i++) {
    snprintf(num, sizeof num, "%11d", rec[i]);
    dump += num;
    if (i == 12 || i == 14) dump += "\n";
  }
  Database db;
  db.set_key(kFailSrc);
  EXPECT_EXIT(db.retrieve(db1, db2, 1), ExitedWithCode(1),
              "fail times are not increasing.*\n" + dump + "$");
}

TEST_F(HistoryDeathTest, WriteAndRoomFailuresStop) {
  Put(db1, Key(kFailSrc), Ints{1, 100});
  Database db;
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 0);  // read without room for another item
  EXPECT_EXIT(db.add_new(record), ExitedWithCode(1),
              "reserved memory run out, FAIL\\[#1\\]");

  CloseFiles();
  OpenFiles(O_RDONLY);
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 0);
  EXPECT_EXIT(db.remove(50), ExitedWithCode(1),
              "dbm_store failed for file 1, FAIL\\[#1\\]");

  // Chunk 0 still goes to file 1 when only file 2 refuses.
  CloseFiles();
  db1 = dbm_open(const_cast<char *>((base_ + "1").c_str()), O_RDWR, 0600);
  db2 = dbm_open(const_cast<char *>((base_ + "2").c_str()), O_RDONLY, 0600);
  Ints big{400};
  for (int i = 0; i < 400; i++) big.push_back(i);
  db.count = 400;
  db.newly = big.data();
  EXPECT_EXIT(db.store(), ExitedWithCode(1), "dbm_store failed for file 2");
  db.newly = nullptr;
}

// ---- Items with connection ids

TEST_F(History, ConnectionReportedAgainReplacesItsItem) {
  Database2 db;
  auto Traffic = [&](int t, int in, int last, int id) {
    Set(A("1.2.3.4"), "dan", t, 0, in, 0, 1, last, id);
    return Count(db, kTrafficUsr, 0);
  };
  EXPECT_EQ(Traffic(100, 10, 0, 7), 10);
  EXPECT_EQ(Traffic(105, 5, 0, 8), 15);
  EXPECT_EQ(Traffic(110, 30, 100, 7), 35);  // 7 read at 100 before
  EXPECT_EQ(Read(kTrafficUsr), (Ints{6, 105, 5, 8, 110, 30, 7}));

  // The item of the time it was read before is gone: simply added.
  EXPECT_EQ(Traffic(120, 1, 115, 9), 36);
  EXPECT_EQ(Read(kTrafficUsr).size(), 10u);

  // Three connections read at the same time are told apart by their ids.
  Traffic(130, 100, 0, 10);
  Traffic(130, 200, 0, 11);
  Traffic(130, 300, 0, 12);
  EXPECT_EQ(Traffic(140, 250, 130, 11), 36 + 100 + 300 + 250);
  Ints rec = Read(kTrafficUsr);
  EXPECT_EQ(Ints(rec.end() - 9, rec.end()),
            (Ints{130, 100, 10, 130, 300, 12, 140, 250, 11}));

  // Only the item read last is replaced; an older one of the same
  // connection stays.
  Traffic(150, 1, 0, 20);
  Traffic(160, 2, 155, 20);  // its read at 155 left no item
  EXPECT_EQ(Traffic(170, 3, 160, 20), 36 + 100 + 300 + 250 + 1 + 3);
}

TEST_F(History, ItemsCarryTheValueOfTheirKind) {
  Set(A("1.2.3.4"), "dan", 100, 0, 3, 4, 9, 0, 5);
  struct { int kind; Ints want; } cases[] = {
      {TOT_IN, {3, 100, 3, 5}},       {TOT_OUT, {3, 100, 4, 5}},
      {TOT_TRAFFIC, {3, 100, 7, 5}},  {TOT_ACCESS, {2, 100, 5}},
      {TOT_DURATION, {3, 100, 9, 5}}};
  for (auto &c : cases) {
    Database2 db;
    Count(db, Flags(c.kind, 1, FLAG_SRC), 0);
    EXPECT_EQ(Read(Flags(c.kind, 1, FLAG_SRC)), c.want) << tot[c.kind];
  }
  Database2 db;
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(db.add_new(record), -1);
  EXPECT_EQ(db.count, 0);
}

TEST_F(History, FindIndexAmongEqualTimes) {
  for (int inc : {2, 3}) {
    Ints rec{0, 90, 0, 1};
    for (int id = 1; id <= 10; id++) rec.insert(rec.end(), {100, id, id});
    rec.insert(rec.end(), {110, 0, 3});
    if (inc == 2)  // no value
      for (size_t i = 2; i < rec.size(); i += 2) rec.erase(rec.begin() + i);
    rec[0] = static_cast<int>(rec.size()) - 1;
    Database2 db;
    db.count = rec[0];
    db.increment = inc;
    db.newly = rec.data();
    for (int id = 1; id <= 10; id++) {
      int k = db.find_index(100, id);
      ASSERT_GT(k, 0) << id;
      EXPECT_EQ(rec[k], 100);
      EXPECT_EQ(rec[k + inc - 1], id);
    }
    EXPECT_EQ(db.find_index(100, 11), 0);
    EXPECT_EQ(db.find_index(95, 1), 0);
    EXPECT_EQ(db.find_index(90, 1), 1);
    EXPECT_EQ(db.find_index(110, 3), db.count - inc + 1);
    EXPECT_EQ(db.find_index(111, 3), 0);
    db.newly = nullptr;
  }
}

TEST_F(History, TotalsCountAccessesAndSumValues) {
  int access = Flags(TOT_ACCESS, 1, FLAG_SRC), in = Flags(TOT_IN, 1, FLAG_SRC);
  Put(db1, Key(access), Ints{4, 100, 7, 200, 8});
  Put(db1, Key(in), Ints{6, 100, 10, 7, 200, 30, 8});
  Database2 db;
  db.set_key(access);
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(db.total(0), 2);
  EXPECT_EQ(db.total(150), 1);
  EXPECT_EQ(db.total(200), 1);
  EXPECT_EQ(db.total(201), 0);
  db.set_key(in);
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(db.total(50), 40);
  EXPECT_EQ(db.total(150), 30);
  EXPECT_EQ(db.total(201), 0);
  db.set_key(Flags(TOT_IN, 2, FLAG_SRC));
  db.retrieve(db1, db2, 1);
  EXPECT_EQ(db.total(0), 0);
}

// ---- Records of several chunks

TEST_F(History, LongRecordSpansChunks) {
  Database db;
  for (int i = 0; i < 1200; i++) {
    Set(A("1.2.3.4"), "alice", 1000 + i, 5);
    ASSERT_EQ(Count(db, kFailSrc, 0), i + 1);
  }
  Ints rec = Read(kFailSrc);
  ASSERT_EQ(rec.size(), 1201u);
  for (int i = 0; i < 1200; i++) ASSERT_EQ(rec[1 + i], 1000 + i);
  // 4804 bytes: four full chunks of 1008 and one of 772; chunk 0 in
  // file 1, the others in file 2.
  EXPECT_EQ(Get(db1, Key(kFailSrc)).size(), 252u);
  EXPECT_FALSE(Has(db2, Key(kFailSrc)));
  for (int k = 1; k <= 3; k++) EXPECT_EQ(Get(db2, Key(kFailSrc, k)).size(), 252u);
  EXPECT_EQ(Get(db2, Key(kFailSrc, 4)).size(), 193u);
  EXPECT_FALSE(Has(db2, Key(kFailSrc, 5)));
  EXPECT_FALSE(Has(db1, Key(kFailSrc, 1)));

  // Shrunk to exactly one full chunk: the tail goes, and the full chunk
  // does not pick up anything after it.
  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 0);
  db.remove(2199 - 250);
  db.free_space();
  for (int k = 1; k <= 4; k++) EXPECT_FALSE(Has(db2, Key(kFailSrc, k))) << k;
  rec = Read(kFailSrc);
  ASSERT_EQ(rec.size(), 252u);
  EXPECT_EQ(rec[1], 1949);
  EXPECT_EQ(rec[251], 2199);

  db.set_key(kFailSrc);
  db.retrieve(db1, db2, 0);
  db.remove(5000);
  EXPECT_FALSE(Has(db1, Key(kFailSrc)));
  EXPECT_EQ(dbm_firstkey(db2).dptr, nullptr);
}

TEST_F(History, ReplacementReachesIntoEarlierChunks) {
  Database2 db;
  int src = Flags(TOT_TRAFFIC, 1, FLAG_SRC);
  double sum = 0;
  for (int id = 1; id <= 400; id++) {
    Set(A("1.2.3.4"), "dan", 1000 + id, 0, id, 0, 1, 0, id);
    sum += id;
    ASSERT_EQ(Count(db, src, 0), sum);
  }
  Set(A("1.2.3.4"), "dan", 2000, 0, 1000, 0, 1, 1003, 3);
  EXPECT_EQ(Count(db, src, 0), sum - 3 + 1000);
  EXPECT_EQ(Read(src).size(), 1u + 400 * 3);
}

TEST_F(History, FullRecordKeepsItsNewestItems) {
  // 64511 fail times fill all 256 chunks that a key can number.
  Ints full{64511};
  for (int i = 1; i <= 64511; i++) full.push_back(i);
  PutRecord(kFailSrc, full);
  ASSERT_TRUE(Has(db2, Key(kFailSrc, 255)));
  Database db;
  errno = 0;
  testing::internal::CaptureStderr();
  Set(A("1.2.3.4"), "alice", 70000, 5);
  EXPECT_EQ(Count(db, kFailSrc, 0), 64511);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.rfind("history record full, oldest items dropped, FAIL[#1]: key=", 0),
            0u) << said;
  Ints rec = Read(kFailSrc);
  ASSERT_EQ(rec.size(), 64512u);
  EXPECT_EQ(rec[1], 2);
  EXPECT_EQ(rec[64511], 70000);

  testing::internal::CaptureStderr();
  Set(A("1.2.3.4"), "alice", 70001, 5);
  EXPECT_EQ(Count(db, kFailSrc, 0), 64511);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "said only once";
  rec = Read(kFailSrc);
  EXPECT_EQ(rec[1], 3);
  EXPECT_EQ(rec[64511], 70001);

  // Items of three ints are dropped whole.
  int src = Flags(TOT_TRAFFIC, 1, FLAG_SRC);
  Ints items{64509};
  for (int i = 1; i <= 21503; i++) items.insert(items.end(), {i, 1, i});
  PutRecord(src, items);
  Database2 db2nd;
  Set(A("1.2.3.4"), "dan", 70000, 0, 1, 0, 1, 0, 99999);
  EXPECT_EQ(Count(db2nd, src, 0), 21503);
  rec = Read(src);
  ASSERT_EQ(rec.size(), 64510u);
  EXPECT_EQ(Ints(rec.begin() + 1, rec.begin() + 4), (Ints{2, 1, 2}));
  EXPECT_EQ(Ints(rec.end() - 3, rec.end()), (Ints{70000, 1, 99999}));
}

// ---- Refresh

TEST_F(History, RefreshKeepsOnlyItemsInsideTheKeepTime) {
  rules_.table.set_keep(3600);
  int now = static_cast<int>(time(nullptr));
  int a = Flags(TOT_FAIL, 1, FLAG_SRC), b = Flags(TOT_FAIL, 2, FLAG_SRC),
      c = Flags(TOT_FAIL, 3, FLAG_SRC), d = Flags(TOT_TRAFFIC, 1, FLAG_SRC),
      e = Flags(TOT_FAIL, 4, FLAG_SRC), f = Flags(TOT_FAIL, 5, FLAG_SRC);
  PutRecord(a, {3, now - 7200, now - 60, now});
  PutRecord(b, {2, now - 7200, now - 5000});
  Ints longer{1200}, old{600}, shrinking{610};
  for (int i = 0; i < 1200; i++) longer.push_back(now - 3000 + i);
  for (int i = 0; i < 600; i++) old.push_back(now - 7000 + i);
  for (int i = 0; i < 610; i++) shrinking.push_back(i < 600 ? now - 7000 + i : now - i);
  std::sort(shrinking.begin() + 1, shrinking.end());
  PutRecord(c, longer);
  PutRecord(d, {6, now - 4000, 5, 1, now - 10, 7, 2});
  PutRecord(e, old);
  PutRecord(f, shrinking);

  DBM *old1 = db1;
  ino_t before = Inode(base_ + "1.pag");
  Database db;
  EXPECT_EQ(db.refresh(), 0);
  EXPECT_NE(db1, old1);
  EXPECT_NE(Inode(base_ + "1.pag"), before);
  EXPECT_EQ(rules_.table.db_clean(), 0);

  auto Check = [&] {
    EXPECT_EQ(Read(a), (Ints{2, now - 60, now}));
    EXPECT_FALSE(Has(db1, Key(b)));
    EXPECT_EQ(Read(c), longer);
    EXPECT_EQ(Read(d), (Ints{3, now - 10, 7, 2}));
    EXPECT_FALSE(Has(db1, Key(e)));
    Ints kept{10};
    kept.insert(kept.end(), shrinking.begin() + 601, shrinking.end());
    EXPECT_EQ(Read(f), kept);
    // File 2 holds the tail of c and nothing else.
    int keys = 0;
    for (datum k = dbm_firstkey(db2); k.dptr != nullptr; k = dbm_nextkey(db2))
      keys++;
    EXPECT_EQ(keys, 4);
    for (int k = 1; k <= 4; k++) EXPECT_TRUE(Has(db2, Key(c, k)));
  };
  Check();  // through the handles the refresh left open
  for (const char *name : {".tmp1.pag", ".tmp1.dir", ".tmp2.pag", ".tmp2.dir"})
    EXPECT_FALSE(Exists(base_ + name)) << name;
  CloseFiles();
  OpenFiles(O_RDWR);  // and as the files now named
  Check();
}

TEST_F(History, RefreshOfEmptyFilesLeavesEmptyFiles) {
  sigset_t both;
  sigemptyset(&both);
  sigaddset(&both, SIGINT);
  sigaddset(&both, SIGQUIT);
  sigprocmask(SIG_BLOCK, &both, nullptr);
  Database db;
  EXPECT_EQ(db.refresh(), 0);
  EXPECT_FALSE(Blocked(SIGINT));
  EXPECT_FALSE(Blocked(SIGQUIT));
  for (const char *name : {"1.pag", "1.dir", "2.pag", "2.dir"})
    EXPECT_TRUE(Exists(base_ + name)) << name;
  EXPECT_EQ(dbm_firstkey(db1).dptr, nullptr);
  CloseFiles();
  OpenFiles(O_RDWR);
  EXPECT_EQ(dbm_firstkey(db1).dptr, nullptr);
  EXPECT_EQ(dbm_firstkey(db2).dptr, nullptr);
}

TEST_F(History, RefreshRunsOnlyAfterAStore) {
  PutRecord(kFailSrc, {1, static_cast<int>(time(nullptr))});
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

TEST_F(History, RefreshTracesItsCutOffWithoutLineEnd) {
  rules_.table.set_trace();
  int before = static_cast<int>(time(nullptr)) - 300;
  testing::internal::CaptureStderr();
  Database db;
  db.refresh();
  std::string said = testing::internal::GetCapturedStderr();
  int after = static_cast<int>(time(nullptr)) - 300;
  const std::string prefix = "refresh database: removing everything before ";
  ASSERT_EQ(said.rfind(prefix, 0), 0u) << said;
  std::string number = said.substr(prefix.size());
  ASSERT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << said;
  int cutoff = atoi(number.c_str());
  EXPECT_GE(cutoff, before);
  EXPECT_LE(cutoff, after);
}

TEST_F(History, RefreshWithoutTemporaryFilesChangesNothing) {
  int now = static_cast<int>(time(nullptr));
  PutRecord(kFailSrc, {2, now - 9999, now});
  for (const char *blocker : {".tmp1.pag", ".tmp2.pag"}) {
    unlink((base_ + blocker).c_str());  // left by the case before
    ASSERT_EQ(mkdir((base_ + blocker).c_str(), 0700), 0);
    sigset_t both;
    sigemptyset(&both);
    sigaddset(&both, SIGINT);
    sigaddset(&both, SIGQUIT);
    sigprocmask(SIG_BLOCK, &both, nullptr);
    DBM *old1 = db1, *old2 = db2;
    int fds = OpenFds();
    errno = 0;
    testing::internal::CaptureStderr();
    Database db;
    EXPECT_EQ(db.refresh(), 1) << blocker;
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("db tmp* files open error, not refreshed\n", 0), 0u) << said;
    EXPECT_EQ(db1, old1);
    EXPECT_EQ(db2, old2);
    EXPECT_EQ(OpenFds(), fds) << "a temporary database that opened is closed";
    EXPECT_FALSE(Blocked(SIGINT));
    EXPECT_FALSE(Blocked(SIGQUIT));
    EXPECT_EQ(Read(kFailSrc), (Ints{2, now - 9999, now}));
    rmdir((base_ + blocker).c_str());
  }
}

TEST_F(History, FailedRenameIsReported) {
  int now = static_cast<int>(time(nullptr));
  PutRecord(kFailSrc, {1, now});
  ASSERT_EQ(unlink((base_ + "1.dir").c_str()), 0);
  ASSERT_EQ(mkdir((base_ + "1.dir").c_str(), 0700), 0);
  std::ofstream(base_ + "1.dir/keep") << "x";
  errno = 0;
  testing::internal::CaptureStderr();
  Database db;
  EXPECT_EQ(db.refresh(), 0);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("can't rename " + base_ + ".tmp1.dir to " + base_ + "1.dir"),
            std::string::npos) << said;
  EXPECT_FALSE(Exists(base_ + ".tmp1.pag"));
  EXPECT_TRUE(Exists(base_ + ".tmp1.dir"));
  EXPECT_EQ(Read(kFailSrc), (Ints{1, now}));
}

TEST_F(HistoryDeathTest, CorruptRecordStopsTheRefreshBeforeAnyMove) {
  int now = static_cast<int>(time(nullptr));
  Put(db1, Key(kFailSrc), std::string(6, '\0'));
  Set(A("9.9.9.9"), "alice", now);
  PutRecord(kFailSrc, {1, now});
  ino_t before = Inode(base_ + "1.pag");
  Database db;
  EXPECT_EXIT(db.refresh(), ExitedWithCode(1), "database corrupt");
  EXPECT_EQ(Inode(base_ + "1.pag"), before);
  CloseFiles();
  OpenFiles(O_RDWR);
  EXPECT_EQ(Read(kFailSrc), (Ints{1, now}));
}

// ---- Aggregates in a rule check

TEST_F(History, FailAggregateReadByTwoAlarmsCountsARecordOnce) {
  ASSERT_EQ(rules_.Load("WHEN (FAIL[src]>0) #line:1-2-2\n"
                        "echo a FAIL[src] >> " + OutPath() + "\n"
                        "WHEN (FAIL[src]>0) #line:3-4-4\n"
                        "echo b FAIL[src] >> " + OutPath() + "\n"),
            2);
  EXPECT_EQ(rules_.table.total_num(TOT_FAIL), 1);
  Set(A("1.2.3.4"), "alice", 1000, 5);
  rules_.table.check(rec_);
  Set(A("1.2.3.4"), "alice", 1001, 5);
  rules_.table.check(rec_);
  EXPECT_EQ(Out(), "a 1\nb 1\na 2\nb 2\n");
  EXPECT_EQ(Items(Agg(TOT_FAIL)), 2);
  EXPECT_EQ(Agg(TOT_FAIL)->db_updated, 0);
}

TEST_F(History, RecordsCountOnlyForTheirKinds) {
  // The first three aggregates are read by a condition, the others only
  // by the action of an alarm that never fires.
  ASSERT_EQ(rules_.Load("WHEN (((FAIL[src]>999)|(IN[src]>999))|(OUT[src]>999))"
                        " #line:1-2-2\n\n"
                        "WHEN (usr==nobody) #line:3-4-4\n"
                        "echo TRAFFIC[src] ACCESS[src] DURATION[src]\n"),
            2);
  auto Counts = [&] {
    std::string s;
    for (int kind = 0; kind < N_TOTALS; kind++)
      s += std::to_string(Items(Agg(kind)));
    return s;  // FAIL IN OUT TRAFFIC ACCESS DURATION
  };
  Set(A("1.2.3.4"), "alice", 1000, 5, 10, 10, 5, 0, 1);
  rules_.table.check(rec_);
  EXPECT_EQ(Counts(), "100000");
  Set(A("1.2.3.4"), "alice", 1001, 0, 10, 0, 0, 0, 2);
  rules_.table.check(rec_);
  EXPECT_EQ(Counts(), "110110");
  Set(A("1.2.3.4"), "alice", 1002, -1, 0, 3, 2, 0, 3);  // not failed
  rules_.table.check(rec_);
  EXPECT_EQ(Counts(), "111221");
  for (int kind = 0; kind < N_TOTALS; kind++)
    EXPECT_EQ(Agg(kind)->db_updated, 0) << tot[kind];
}

TEST_F(History, AggregateBehindAFalseAndStillCounts) {
  ASSERT_EQ(rules_.Load("WHEN ((usr==zed)&(ACCESS[src]>2)) #line:1-2-2\n"
                        "echo fired ACCESS[src] >> " + OutPath() + "\n"),
            1);
  Set(A("1.2.3.4"), "alice", 1000, 0, 0, 0, 0, 0, 1);
  rules_.table.check(rec_);
  Set(A("1.2.3.4"), "alice", 1001, 0, 0, 0, 0, 0, 2);
  rules_.table.check(rec_);
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(Items(Agg(TOT_ACCESS)), 2);
  Set(A("1.2.3.4"), "zed", 1002, 0, 0, 0, 0, 0, 3);
  rules_.table.check(rec_);
  EXPECT_EQ(Out(), "fired 3\n");
}

TEST_F(History, AggregateWhoseConditionFailsHasNoValue) {
  ASSERT_EQ(rules_.Load("WHEN (FAIL[usr==bob,src]<1) #line:1-2-2\n"
                        "echo less FAIL[usr==bob,src] >> " + OutPath() + "\n"
                        "WHEN (usr==alice) #line:3-4-4\n"
                        "echo alice FAIL[usr==bob,src] >> " + OutPath() + "\n"),
            2);
  Total *fail = Agg(TOT_FAIL);
  Set(A("1.2.3.4"), "alice", 1000, 5);
  EXPECT_EQ(fail->process(), nullptr);
  fail->db_updated = 0;
  Set(A("1.2.3.4"), "alice", 1000, 0, 1);  // does not count for FAIL
  rules_.table.check(rec_);
  EXPECT_EQ(Out(), "alice 0\n");
  EXPECT_EQ(fail->db_updated, 0);
  Set(A("1.2.3.4"), "bob", 1001, 5);
  rules_.table.check(rec_);
  Set(A("1.2.3.4"), "bob", 1002, 5);
  rules_.table.check(rec_);
  EXPECT_EQ(Items(fail), 2);
  Set(A("1.2.3.4"), "bob", 1003, 0, 1);
  double *v = fail->process();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(*v, 2);
  EXPECT_EQ(Out(), "");
}

TEST_F(History, AlertTimeIsTheWindowAndKeepTimeTheRetention) {
  rules_.table.set_keep(3600);
  ASSERT_EQ(rules_.Load("WHEN (FAIL[src]>0) #line:1-2-2\n"
                        "echo short FAIL[src] >> " + OutPath() + "\n"
                        "alert_time=3600\n"
                        "WHEN (FAIL[src]>0) #line:4-5-5\n"
                        "echo long FAIL[src] >> " + OutPath() + "\n"),
            2);
  EXPECT_EQ(Agg(TOT_FAIL)->keep_time, 3600);
  for (int t : {6000, 7000, 9000, 9800}) {
    Set(A("1.2.3.4"), "alice", t, 5);
    rules_.table.check(rec_);
  }
  Out();
  Set(A("1.2.3.4"), "alice", 10000, 5);
  rules_.table.check(rec_);
  EXPECT_EQ(Out(), "short 2\nlong 4\n");
  EXPECT_EQ(Read(Agg(TOT_FAIL)->flags), (Ints{4, 7000, 9000, 9800, 10000}));
}

}  // namespace
