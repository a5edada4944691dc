// The history store: records in chunks, items in order and with connection
// ids, damaged records and files.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
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

int Flags(int kind, int number, int fields) { return kind << 24 | number << 8 | fields; }
const int kFailSrc = Flags(TOT_FAIL, 1, FLAG_SRC), kTrafficUsr = Flags(TOT_TRAFFIC, 1, FLAG_USR);
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

  std::string base_;
  TestRules rules_;
  Record rec_;
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
  testing::internal::GetCapturedStderr();
  Ints rec = Read(kFailSrc);
  EXPECT_TRUE(rec.size() == 64512u && rec[1] == 2 && rec[64511] == 70000);
}

// Damaged history stops the start-up with the file's name, untouched.
TEST_F(HistoryDeathTest, DamagedHistoryIsRefusedUntouched) {
  Set("user7", 1000);
  Store(kTrafficUsr, Bytes({6, 1000, 10, 1, 995, 10, 2}));
  Database().close();
  std::string pag1 = base_ + "1.pag", before = Contents(pag1);
  for (std::string says : {"1.pag holds a damaged record: fail times are not increasing",
                           "2.pag is missing"}) {
    if (says[0] == '2') fs::remove(base_ + "2.pag");
    EXPECT_EXIT(prepare_history(base_.c_str()), ExitedWithCode(1), "^history file " + base_ + says);
    EXPECT_EQ(Contents(pag1), before);
  }
}

}  // namespace
