// The list container: edits, copies, item lifetimes and misuse.
#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "LList.h"

namespace {

using Ints = std::vector<int>;

SLList<int> Make(const Ints &v) {
  SLList<int> l;
  for (int x : v) l.append(x);
  return l;
}
// Contents, length, the last node and the invariant together.
void Expect(const SLList<int> &l, const Ints &want) {
  Ints items;
  for (Pix p = l.first(); p != nullptr; l.next(p)) items.push_back(l(p));
  EXPECT_EQ(items, want);
  EXPECT_TRUE(l.length() == int(want.size()) && !l.empty() == !want.empty() && l.OK() &&
              (want.empty() || l.rear() == want.back()));
}

TEST(SLList, EditsKeepOrderAndTheLastNode) {
  SLList<int> l, m = Make({1, 2, 3}), a = Make({1, 2}), b = Make({3}), none;
  l.prepend(2), l.prepend(1), l.ins_after(nullptr, 0), l.ins_after(l.first(), 10);
  l.append(40), l.del_after(nullptr), m.del_after(m.first()), m.append(9);
  a.join(b), a.join(none), none.join(a);
  Expect(l, {10, 1, 2, 40}), Expect(m, {1, 3, 9}), Expect(a, {}), Expect(b, {});
  SLList<int> c(none), d = Make({7, 8, 9});
  c.front() = 10, d = none, d.rear() = 50, d = static_cast<const SLList<int> &>(d);
  Expect(none, {1, 2, 3}), Expect(c, {10, 2, 3}), Expect(d, {1, 2, 50});
}

TEST(SLList, ItemsAreDestroyedOnce) {
  auto item = std::make_shared<int>(0);  // counts its living copies
  {
    SLList<std::shared_ptr<int>> l, n;
    for (int i = 0; i < 4; ++i) l.append(item);
    std::shared_ptr<int> out;
    l.del_after(nullptr), l.del_front(), l.remove_front(out);
    EXPECT_EQ(item.use_count(), 3);  // item, out and the last node's
    SLList<std::shared_ptr<int>> m(l);  // copies, joined, then the original cleared
    n = l, n.join(m), l.clear();
    EXPECT_EQ(item.use_count(), 4);
  }
  EXPECT_EQ(item.use_count(), 1);
}

struct Broken : SLList<int> {  // the ring cut as a stray write would
  void cut() { lost = last->tl, last->tl = nullptr; }
  BaseSLNode *lost = nullptr;
};

TEST(SLListDeathTest, MisuseStops) {
  std::pair<std::function<void()>, const char *> cases[] = {
      {[] { SLList<int> l = Make({1}); l.del_after(l.first()); }, "cannot del_after last"},
      {[] { SLList<int> l; int x; l.remove_front(x); }, "remove_front of empty list"},
      {[] { SLList<int>().del_front(); }, "del_front of empty list"},
      {[] { Broken l; l.append(1), l.append(2), l.cut(), l.OK(); }, "invariant failure"}};
  for (auto &c : cases)
    EXPECT_EXIT(c.first(), testing::ExitedWithCode(1), "^SLList error: " + std::string(c.second));
}

}  // namespace
