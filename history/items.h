// What is done with an aggregate's items in memory: counting them from a
// time on, and leaving out those stamped too far ahead of the clock.
// Items are `increment` ints each, time first, in time order.
#ifndef TW_HISTORY_ITEMS_H
#define TW_HISTORY_ITEMS_H

#include <string>
#include <vector>

// Seconds an item may be stamped after the record under check (or the
// refresh) and still count: more came from a clock that was ahead.
constexpr int FUTURE_SLACK = 60;

// Items from the future were said (until a refresh drops them).
extern bool future_told;

// The latest time an item may have when the clock shows now.
int slack_limit(int now);
// Ints in the first n of items whose time is at or after t.
int ints_since(const int *items, int n, int increment, int t);
// The aggregate's value over the first n ints: the items from t on, or for
// items with values (increment 3) the sum of their unsigned values.
double items_total(const int *items, int n, int increment, int t);
// The aggregate's value from since up to now over a key's items: items
// stamped more than FUTURE_SLACK after now count in no window (said once,
// naming the key).
double items_window(const std::string &key, const std::vector<int> &items,
                    int increment, int since, int now);
// A key as messages show it: "KIND[#n]: key=\ooo...".
std::string key_text(const std::string &key);

#endif  // TW_HISTORY_ITEMS_H
