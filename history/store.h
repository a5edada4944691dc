// The history store: for each aggregate key, the items the aggregate has
// counted, in time order.  An item is `increment` ints, time first: FAIL
// items are a time (1 int), ACCESS items a time and a connection id (2),
// the others a time, an unsigned 32-bit value and a connection id (3).
// The rule set owns one store; the ndbm files are the first kind, a
// shared server the second.
#ifndef TW_HISTORY_STORE_H
#define TW_HISTORY_STORE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

// One aggregate's change for the record under check, applied to its
// items in this order:
//  1. with replace_time != 0 (increment 2 or 3): every item whose time is
//     replace_time and whose last int (the connection id) is replace_id is
//     taken out (the connection's earlier report);
//  2. each item of `add` (whole items, increment ints each, all of the
//     record's time) goes in after the items of the same or an earlier
//     time, in the order given;
//  3. the items older than `until` (time < until) are dropped.
// keep_s is the aggregate's keep time: a store that expires keys lets the
// key go keep_s seconds after its last change.
struct ItemUpdate {
  int increment = 1;
  int replace_time = 0;
  int replace_id = 0;
  std::vector<int> add;
  int until = 0;
  int keep_s = 0;
};

// Applies u to items (increment ints per item, in time order) as above.
void apply_update(std::vector<int> &items, const ItemUpdate &u);

class HistoryStore {
 public:
  virtual ~HistoryStore() = default;

  // The key's items, in time order; empty when it has none.  0, or -1
  // when they could not be had (items then empty; the store has said why).
  virtual int read(const std::string &key, int increment,
                   std::vector<int> &items) = 0;
  // Applies u to the key's items as one step (for a store shared between
  // daemons, atomic on the server) and gives the items after it.  0, or -1
  // when the change could not be kept (counted; items then hold what the
  // store knows, the change applied).
  virtual int update(const std::string &key, const ItemUpdate &u,
                     std::vector<int> &items) = 0;
  // Drops the items older than each aggregate's keep time; keep_of gives
  // an aggregate key's keep time in seconds.  0 when done, 1 when nothing
  // could be changed.
  virtual int refresh(int now, int (*keep_of)(const std::string &key)) = 0;
  // Calls f for every key and its items (twhistory, copies between stores).
  virtual void for_each(void (*f)(const std::string &key,
                                  const std::vector<int> &items, void *arg),
                        void *arg) = 0;
  virtual void close() = 0;
  // Appended to the daemon's status line (" name=value ..."), may be empty.
  virtual std::string status() const = 0;

  // Whether update_many saves round trips: the rule engine then hands a
  // record's changes over together.
  virtual bool batches() const { return false; }
  // update for several keys at once; results[i] as update gives them.  0,
  // or -1 when one of the changes could not be kept; rcs[i] says which.
  virtual int update_many(const std::vector<std::string> &keys,
                          const std::vector<ItemUpdate> &ups,
                          std::vector<std::vector<int>> &results,
                          std::vector<int> &rcs) {
    int rc = 0;
    results.resize(keys.size());
    rcs.resize(keys.size());
    for (size_t i = 0; i < keys.size(); i++)
      if ((rcs[i] = update(keys[i], ups[i], results[i])) != 0) rc = -1;
    return rc;
  }
  // Between passes of the daemon: a store that lost its server tries it
  // again when due.
  virtual void poll() {}
};

#endif  // TW_HISTORY_STORE_H
