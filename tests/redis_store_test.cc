// The Redis history store against a private redis-server on a Unix socket:
// the server's script against apply_update, several writers on one key,
// the server going away and coming back, passwords and expiry.
#include "redis_store.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>

namespace {

std::vector<std::string> logged;
void capture(int, const char *msg) { logged.push_back(msg); }

bool said(const std::string &text) {
  for (const std::string &m : logged)
    if (m.find(text) != std::string::npos) return true;
  return false;
}

class RedisTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (system("command -v redis-server >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "redis-server is not installed";
    char tmpl[] = "/tmp/redis_store_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    url_ = "unix:" + dir_ + "/redis.sock";
    logged.clear();
    redis_log = capture;
  }
  void TearDown() override {
    if (dir_.empty()) return;
    stop();
    std::string rm = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
  }
  void start(const std::string &options = "") {
    std::string cmd = "sh " REDIS_ENV " start '" + dir_ + "' " + options;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  }
  void stop() {
    std::string cmd = "sh " REDIS_ENV " stop '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::unique_ptr<RedisStore> open(const std::string &password_file = "") {
    std::string err;
    auto s = RedisStore::open(url_, "tw:", password_file, &err);
    EXPECT_TRUE(s) << err;
    return s;
  }
  // A plain connection for looking at the server's side.
  long long pttl(const std::string &key) {
    redisContext *c = redisConnectUnix((dir_ + "/redis.sock").c_str());
    redisReply *r = static_cast<redisReply *>(
        redisCommand(c, "PTTL %b", key.data(), key.size()));
    long long v = r ? r->integer : -3;
    if (r) freeReplyObject(r);
    redisFree(c);
    return v;
  }
  // Until the store is back (it must be within 2 s of the server).
  static bool comes_back(RedisStore &s) {
    for (int i = 0; i < 40 && !s.up(); i++) {
      usleep(50000);
      s.poll();
    }
    return s.up();
  }
  std::string dir_, url_;
};

// An ACCESS-like change: one item (time, id), the connection's earlier
// report taken out.
ItemUpdate access(int t, int id, int until = 0, int keep = 0) {
  ItemUpdate u;
  u.increment = 2;
  u.add = {t, id};
  u.replace_time = t;
  u.replace_id = id;
  u.until = until;
  u.keep_s = keep;
  return u;
}

TEST_F(RedisTest, UrlsAndPasswordFiles) {
  const char *bad[] = {"", "redis:/h", "http://h", "redis://", "redis://h:0",
                       "redis://h:70000", "redis://h:x", "redis://h/db",
                       "redis://[::1", "unix:", "unix:rel", "unix:/s?db=x",
                       "unix:/s?x=1"};
  for (const char *url : bad) {
    std::string err;
    EXPECT_FALSE(RedisStore::open(url, "tw:", "", &err)) << url;
    EXPECT_NE(err.find("bad URL"), std::string::npos) << err;
  }
  const char *good[] = {"redis://127.0.0.1:1/3", "redis://[::1]:1",
                        "unix:/nonexistent/s?db=2"};
  for (const char *url : good) {
    std::string err;
    auto s = RedisStore::open(url, "tw:", "", &err);
    ASSERT_TRUE(s) << url << ": " << err;
    EXPECT_FALSE(s->up());
  }
  std::string err;
  EXPECT_FALSE(RedisStore::open(url_, "tw:", dir_ + "/none", &err));
  EXPECT_NE(err.find("password file"), std::string::npos) << err;
}

// The server's script against apply_update, whole results compared, on
// random changes to keys of each item size (times mostly rising, some
// late, replacements of existing items, windows moving on), sent one by
// one or several in one round trip (a key may come twice in one).
TEST_F(RedisTest, ScriptDoesApplyUpdate) {
  start();
  auto s = open();
  std::mt19937 rng(7);
  std::vector<std::vector<int>> local(6);
  std::vector<std::vector<int>> results;
  std::vector<int> rcs, got;
  int now = 1000;
  for (int n = 0; n < 3000;) {
    std::vector<std::string> keys;
    std::vector<ItemUpdate> ups;
    std::vector<std::vector<int>> want;
    for (int m = rng() % 5 + 1; m > 0; m--, n++) {
      int k = rng() % 6, inc = k % 3 + 1;
      ItemUpdate u;
      u.increment = inc;
      now += rng() % 3;
      int t = now - (rng() % 8 == 0 ? rng() % 20 : 0);
      std::vector<int> &mine = local[k];
      if (inc > 1 && !mine.empty() && rng() % 2) {
        size_t at = (rng() % (mine.size() / inc)) * inc;
        u.replace_time = mine[at];
        u.replace_id = mine[at + inc - 1];
      }
      for (int a = rng() % 3; a > 0; a--) {
        u.add.push_back(t);
        if (inc == 3) u.add.push_back(static_cast<int>(rng()));  // 32 bits
        if (inc > 1) u.add.push_back(static_cast<int>(rng() % 5) - 2);
      }
      u.until = rng() % 4 ? now - 30 : 0;
      apply_update(mine, u);
      keys.push_back(std::string("k\0", 2) + char(k) + "[*]");
      ups.push_back(u);
      want.push_back(mine);
    }
    if (keys.size() == 1) {
      results.resize(1);
      ASSERT_EQ(s->update(keys[0], ups[0], results[0]), 0);
    } else {
      ASSERT_EQ(s->update_many(keys, ups, results, rcs), 0);
    }
    ASSERT_EQ(results, want) << "update " << n;
    ASSERT_EQ(s->read(keys.back(), ups.back().increment, got), 0);
    ASSERT_EQ(got, want.back());
  }
  EXPECT_EQ(s->status(), " history_store=up");
}

TEST_F(RedisTest, WritersInSeveralProcessesLoseNothing) {
  start();
  std::vector<pid_t> kids;
  for (int child = 0; child < 3; child++) {
    pid_t pid = fork();
    if (pid == 0) {
      auto s = RedisStore::open(url_, "tw:", "", nullptr);
      std::vector<int> items;
      for (int i = 0; i < 1000; i++)
        if (!s || s->update("user", access(100 + i, child * 1000 + i), items))
          _exit(1);
      _exit(s && s->up() ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int st;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  std::vector<int> items;
  auto s = open();
  ASSERT_EQ(s->read("user", 2, items), 0);
  ASSERT_EQ(items.size(), 6000u);
  std::set<int> ids;
  for (size_t i = 0; i < items.size(); i += 2) {
    ids.insert(items[i + 1]);
    if (i) {
      EXPECT_LE(items[i - 2], items[i]);
    }
  }
  EXPECT_EQ(ids.size(), 3000u);
}

// Killed mid-way and started again, with its data kept or not: the changes
// made meanwhile are answered from the mirror and written on its return.
TEST_F(RedisTest, ServerRestarts) {
  struct Case {
    const char *options;
    size_t kept;  // items on the server in the end
    bool lost;
  } cases[] = {{"--appendonly yes --appendfsync always", 1000, false},
               {"", 500, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options);
    logged.clear();
    start(c.options);
    auto s = open();
    std::vector<int> items;
    for (int i = 0; i < 1000; i++) {
      if (i == 500) stop();
      ASSERT_EQ(s->update("k", access(i + 1, i), items), 0);
      ASSERT_EQ(items.size(), 2u * (i + 1));
    }
    EXPECT_FALSE(s->up());
    EXPECT_EQ(s->status(), " history_store=down pending=500 dropped=0");
    EXPECT_TRUE(said("history store unreachable since "));
    ASSERT_EQ(s->read("k", 2, items), 0);
    EXPECT_EQ(items.size(), 2000u);
    start(c.options);
    ASSERT_TRUE(comes_back(*s));
    EXPECT_TRUE(said("history store back, 500 updates written"));
    EXPECT_EQ(said("history store lost its data; refilled from 500 "
                   "buffered updates"), c.lost);
    ASSERT_EQ(s->read("k", 2, items), 0);
    ASSERT_EQ(items.size(), 2 * c.kept);
    EXPECT_EQ(items[0], 1001 - static_cast<int>(c.kept));
    EXPECT_EQ(items.back(), 999);
    stop();
  }
}

TEST_F(RedisTest, AbsentAtStartAndQueueBounded) {
  auto s = open();
  EXPECT_FALSE(s->up());
  EXPECT_TRUE(said("history store unreachable since "));
  EXPECT_TRUE(said(url_ + ": "));
  s->set_max_pending(10);
  std::vector<int> items;
  for (int i = 0; i < 15; i++) ASSERT_EQ(s->update("k", access(i + 1, i), items), 0);
  EXPECT_EQ(items.size(), 30u);
  EXPECT_EQ(s->status(), " history_store=down pending=10 dropped=5");
  start();
  ASSERT_TRUE(comes_back(*s));
  EXPECT_TRUE(said("history store back, 10 updates written"));
  EXPECT_FALSE(said("lost its data"));
  ASSERT_EQ(s->read("k", 2, items), 0);
  EXPECT_EQ(items.size(), 20u);
}

TEST_F(RedisTest, Passwords) {
  start("--requirepass s3cret");
  struct Case {
    const char *line;  // the password file's first line; null: no file
    bool up;
  } cases[] = {{nullptr, false}, {"wrong\n", false}, {"s3cret\n", true}};
  for (const Case &c : cases) {
    logged.clear();
    std::string file;
    if (c.line) {
      file = dir_ + "/password";
      std::ofstream(file) << c.line << "ignored\n";
    }
    auto s = open(file);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->up(), c.up) << (c.line ? c.line : "no file");
    std::vector<int> items;
    EXPECT_EQ(s->update("k", access(5, 1), items), 0);
    EXPECT_EQ(items, (std::vector<int>{5, 1}));
    if (c.line && !c.up) {
      EXPECT_TRUE(said("history store " + url_ +
                       ": authentication failed: WRONGPASS"));
    }
  }
}

TEST_F(RedisTest, ExpiryAndKeys) {
  start();
  auto s = open();
  std::vector<int> items;
  ASSERT_EQ(s->update("k", access(5, 1, 0, 100), items), 0);
  long long ttl = pttl("tw:k");
  EXPECT_GT(ttl, 99000);
  EXPECT_LE(ttl, 100000);
  ASSERT_EQ(s->update("k", access(6, 1), items), 0);  // keep 0: expiry stays
  EXPECT_GT(pttl("tw:k"), 99000);
  ASSERT_EQ(s->update("k", access(7, 1, 8), items), 0);  // all dropped
  EXPECT_TRUE(items.empty());
  EXPECT_EQ(pttl("tw:k"), -2);

  // Keys of any bytes under a prefix with glob characters; other prefixes
  // and the store's own marker are not listed.
  std::string err;
  auto g = RedisStore::open(url_, "a*[b]:", "", &err);
  ASSERT_TRUE(g) << err;
  std::string bin("\0\1*", 3);
  ASSERT_EQ(g->update(bin, access(9, 2), items), 0);
  ASSERT_EQ(s->update("other", access(9, 2), items), 0);
  std::vector<std::pair<std::string, std::vector<int>>> seen;
  g->for_each([](const std::string &k, const std::vector<int> &v, void *arg) {
    static_cast<decltype(seen) *>(arg)->push_back({k, v});
  }, &seen);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, bin);
  EXPECT_EQ(seen[0].second, (std::vector<int>{9, 2}));
}

}  // namespace
