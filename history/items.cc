// The items of one aggregate key in memory: the change a record makes to
// them, and their count or sum over a window.
#include "items.h"

#include <limits.h>
#include <stdint.h>
#include <errno.h>
#include <stdio.h>

#include <algorithm>

#include "error.h"
#include "store.h"

namespace {

// The connection's earlier items, stamped replace_time with its id last.
void take_out(std::vector<int> &items, const ItemUpdate &u) {
  int inc = u.increment;
  size_t n = items.size() / inc;
  size_t lo = 0, hi = n;
  while (lo < hi) {  // the first item of replace_time
    size_t mid = (lo + hi) / 2;
    if (items[mid * inc] < u.replace_time) lo = mid + 1;
    else hi = mid;
  }
  size_t out = lo;
  for (size_t k = lo; k < n; k++) {
    const int *item = &items[k * inc];
    if (item[0] == u.replace_time && item[inc - 1] == u.replace_id) continue;
    if (out != k) std::copy(item, item + inc, &items[out * inc]);
    out++;
  }
  items.resize(out * inc);
}

// Puts an item in time order, after the items of the same time.
void insert(std::vector<int> &items, const int *item, int inc) {
  size_t pos = items.size();
  while (pos >= static_cast<size_t>(inc) && items[pos - inc] > item[0])
    pos -= inc;
  items.insert(items.begin() + pos, item, item + inc);
}

}  // namespace

bool future_told;

void apply_update(std::vector<int> &items, const ItemUpdate &u) {
  int inc = u.increment;
  if (u.replace_time != 0 && inc > 1) take_out(items, u);
  for (size_t k = 0; k + inc <= u.add.size(); k += inc)
    insert(items, &u.add[k], inc);
  int n = static_cast<int>(items.size());
  int drop = n - ints_since(items.data(), n, inc, u.until);
  if (drop > 0) items.erase(items.begin(), items.begin() + drop);
}

int slack_limit(int now) {
  int64_t t = static_cast<int64_t>(now) + FUTURE_SLACK;
  return t > INT_MAX ? INT_MAX : static_cast<int>(t);
}

int ints_since(const int *items, int n, int increment, int t) {
  int lo = 0, hi = n / increment;
  while (lo < hi) {  // the first item at or after t
    int mid = (lo + hi) / 2;
    if (items[mid * increment] < t) lo = mid + 1;
    else hi = mid;
  }
  return n - lo * increment;
}

double items_total(const int *items, int n, int increment, int t) {
  if (increment != 3) return ints_since(items, n, increment, t) / increment;
  double sum = 0;
  for (int k = n - 3; k >= 0 && items[k] >= t; k -= 3)
    sum += static_cast<uint32_t>(items[k + 1]);
  return sum;
}

namespace {

// Seconds from now to t, held within an int.
int ahead_of(int now, int t) {
  int64_t d = static_cast<int64_t>(t) - now;
  return d > INT_MAX ? INT_MAX : d < INT_MIN ? INT_MIN : static_cast<int>(d);
}

}  // namespace

// The aggregate's value from since up to now: items stamped more than
// FUTURE_SLACK after now count in no window (said once).
double items_window(const std::string &key, const std::vector<int> &items,
              int increment, int since, int now) {
  int n = static_cast<int>(items.size());
  int newest = slack_limit(now);
  int ahead = newest == INT_MAX || n == 0
                  ? 0
                  : ints_since(items.data(), n, increment, newest + 1);
  if (ahead > 0 && !future_told) {
    char msg[96];
    snprintf(msg, sizeof msg,
             "history items from the future ignored: %d, up to %d s ahead",
             ahead / increment, ahead_of(now, items[n - increment]));
    errno = 0;
    err_ret("%s, %s", msg, key_text(key).c_str());
    future_told = true;
  }
  return items_total(items.data(), n - ahead, increment, since);
}

std::string key_text(const std::string &key) {
  static const char *const kinds[] = {"FAIL",   "IN",     "OUT",
                                      "TRAFFIC", "ACCESS", "DURATION"};
  std::string text;
  char octal[8];
  for (unsigned char c : key) {
    snprintf(octal, sizeof octal, "\\%03o", c);
    text += octal;
  }
  int kind = key.empty() ? 0 : static_cast<unsigned char>(key[0]);
  char head[32];
  snprintf(head, sizeof head, "%s[#%d]: key=", kind < 6 ? kinds[kind] : "?",
           key.size() > 2 ? static_cast<unsigned char>(key[2]) : 0);
  return head + text;
}
