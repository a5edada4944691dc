// The history store on a Redis server shared by several daemons: one
// string key per aggregate key, its items as little-endian 32-bit ints,
// changed by a server-side script so that daemons never overwrite each
// other's items.  While the server is away the store answers from a mirror
// of this host's own recent items and keeps the changes in a bounded queue,
// written in order once the server is back.
#ifndef TW_HISTORY_REDIS_STORE_H
#define TW_HISTORY_REDIS_STORE_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "store.h"

struct redisContext;
struct redisReply;

// Where the store's messages go (priority as for syslog(3)); the daemon
// points it at its error functions.  Null: standard error.
extern void (*redis_log)(int priority, const char *msg);

class RedisStore : public HistoryStore {
 public:
  static constexpr size_t kMaxPending = 100000;
  static constexpr int kTimeoutMs = 500;  // connect and each command

  // url is "redis://HOST[:PORT][/DB]" or "unix:/PATH[?db=N]"; prefix goes
  // before every key; the password, if any, is the first line of
  // password_file.  Null with the reason in *error (to follow "history
  // store URL: ") for a bad URL or an unreadable password file; a server
  // that cannot be reached is no error (the store starts without it and
  // keeps trying).  Sets SIGPIPE to be ignored if it is at its default.
  static std::unique_ptr<RedisStore> open(const std::string &url,
                                          const std::string &prefix,
                                          const std::string &password_file,
                                          std::string *error);
  ~RedisStore() override;

  int read(const std::string &key, int increment,
           std::vector<int> &items) override;
  int update(const std::string &key, const ItemUpdate &u,
             std::vector<int> &items) override;
  // Several keys' changes in one round trip, in order (a key may come
  // twice); items[i] as update gives them.  0, or -1 when one of the
  // changes could not be kept.  update_many is the same with rcs[i].
  int update_batch(const std::vector<std::string> &keys,
                   const std::vector<ItemUpdate> &ups,
                   std::vector<std::vector<int>> &items);
  bool batches() const override { return true; }
  int update_many(const std::vector<std::string> &keys,
                  const std::vector<ItemUpdate> &ups,
                  std::vector<std::vector<int>> &results,
                  std::vector<int> &rcs) override;
  // The server expires keys itself; only the mirror is trimmed.  0.
  int refresh(int now, int (*keep_of)(const std::string &key)) override;
  // The server's keys under the prefix; while it is away, the mirror's.
  void for_each(void (*f)(const std::string &key,
                          const std::vector<int> &items, void *arg),
                void *arg) override;
  void close() override;
  std::string status() const override;

  // Between passes: reconnects when due and trims the mirror.
  void poll() override;
  bool up() const { return ctx_ != nullptr; }
  void set_max_pending(size_t n) { max_pending_ = n; }

 private:
  struct Mirror {
    std::vector<int> items;
    int64_t changed_ms = 0;
    int keep_s = 0;
  };
  // A change not yet confirmed by the server; out and state point into
  // the caller's results while its call lasts.
  struct Pending {
    std::string key;
    ItemUpdate u;
    std::vector<int> *out = nullptr;
    char *state = nullptr;  // 1 written, 2 refused by the server
  };

  RedisStore() = default;
  bool connect();
  bool handshake(std::string &why, bool &auth);
  bool check_marker(bool &lost);
  void go_down(const std::string &why);
  bool reconnect_if_due();
  bool flush();
  int submit(const std::vector<std::string> &keys, const ItemUpdate *ups,
             size_t n, std::vector<std::vector<int>> &items,
             std::vector<int> *rcs);
  redisReply *command(const std::vector<std::string> &args);
  void mirror_apply(const std::string &key, const ItemUpdate &u);
  void trim_mirror();
  std::string marker() const { return prefix_ + "@e"; }

  std::string url_, prefix_, password_;
  std::string host_, path_;
  int port_ = 6379, db_ = 0;

  redisContext *ctx_ = nullptr;
  std::string sha_;
  std::string epoch_;  // the marker's value as last seen; empty: none yet
  bool announced_ = false;  // "unreachable" said for this outage
  bool lost_ = false;       // the server came back without its keys
  std::string why_down_;
  int64_t down_since_ = 0;  // wall clock, s
  int64_t next_try_ms_ = 0, backoff_ms_ = 0;
  size_t written_ = 0;      // queued changes written since the outage

  std::deque<Pending> pending_;
  size_t max_pending_ = kMaxPending;
  uint64_t dropped_ = 0, refused_ = 0;
  std::unordered_map<std::string, Mirror> mirror_;
  int64_t trimmed_ms_ = 0;
};

#endif  // TW_HISTORY_REDIS_STORE_H
