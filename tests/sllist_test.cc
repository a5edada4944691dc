// The list container: order, deletion, joining, deep copies, positions,
// item lifetimes and the messages that stop the program on misuse.
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

Pix At(const SLList<int> &l, int i) {  // the i-th node, null for i < 0
  Pix p = i < 0 ? nullptr : l.first();
  for (; i > 0; i--) l.next(p);
  return p;
}

// Checks contents, length, the last node and the invariant together.
void Expect(const SLList<int> &l, const Ints &want) {
  Ints items;
  for (Pix p = l.first(); p != nullptr; l.next(p)) items.push_back(l(p));
  EXPECT_EQ(items, want);
  EXPECT_EQ(l.length(), static_cast<int>(want.size()));
  EXPECT_EQ(l.empty() != 0, want.empty());
  EXPECT_TRUE(want.empty() || l.rear() == want.back());
  EXPECT_EQ(l.OK(), 1);
}

TEST(SLList, InsertionAndDeletion) {
  SLList<int> l;
  Expect(l, {});
  l.prepend(2);  // into an empty list
  l.prepend(1);
  l.ins_after(nullptr, 0);  // front
  l.ins_after(At(l, 1), 10);
  EXPECT_EQ(l(l.ins_after(At(l, 3), 30)), 30);
  l.append(40);  // after the node inserted at the end
  Expect(l, {0, 1, 10, 2, 30, 40});
  // del_after(null) deletes the first node; then ring and last still hold.
  struct { Ints start; int after; Ints want; } cases[] = {
      {{1, 2, 3}, -1, {2, 3, 9}}, {{1, 2, 3}, 0, {1, 3, 9}}, {{1, 2, 3}, 1, {1, 2, 9}},
      {{5}, -1, {9}}};
  for (auto &c : cases) {
    SLList<int> m = Make(c.start);
    m.del_after(At(m, c.after));
    m.append(9);
    Expect(m, c.want);
  }
  l.del_front();
  Expect(l, {1, 10, 2, 30, 40});
  l.clear();
  Expect(l, {});
  int x = 0;
  SLList<int> one = Make({7});
  one.remove_front(x);  // the only node
  EXPECT_EQ(x, 7);
  Expect(one, {});
}

TEST(SLList, JoinCopyAndPositions) {
  SLList<int> a = Make({1, 2}), b = Make({3, 4}), none;
  a.join(b);
  Expect(b, {});
  a.join(none);
  none.join(a);
  none.join(none);
  Expect(a, {});
  b.append(5);  // the emptied list is usable again
  none.join(b);
  Expect(none, {1, 2, 3, 4, 5});
  SLList<int> c(none), d = Make({7, 8, 9, 9});
  c.front() = 10;
  d = none;
  d.rear() = 50;
  const SLList<int> &same = d;
  d = same;
  Expect(none, {1, 2, 3, 4, 5});
  Expect(c, {10, 2, 3, 4, 5});
  Expect(d, {1, 2, 3, 4, 50});
  d = SLList<int>();
  Expect(SLList<int>(d), {});
  EXPECT_TRUE(c.owns(c.first()) && c.owns(At(c, 4)));
  EXPECT_FALSE(c.owns(none.first()) || c.owns(nullptr));
}

TEST(SLList, ItemsAreDestroyedOnce) {
  auto item = std::make_shared<int>(0);  // counts its living copies
  {
    SLList<std::shared_ptr<int>> l;
    for (int i = 0; i < 4; ++i) l.append(item);
    l.del_after(nullptr);
    l.del_front();
    std::shared_ptr<int> out;
    l.remove_front(out);
    EXPECT_EQ(item.use_count(), 3);  // item, out and the last node's
    SLList<std::shared_ptr<int>> m(l), n;
    n = l;
    n.join(m);
    l.clear();
    EXPECT_EQ(item.use_count(), 4);
  }
  EXPECT_EQ(item.use_count(), 1);
}

// Breaks the ring the way a stray write would, keeping hold of the node
// cut off so that the stopping program does not leak it.
struct Broken : SLList<int> {
  void cut() { lost = last->tl; last->tl = nullptr; }
  void loop_past_last() { lost = last->tl->tl; last->tl->tl = last->tl; }
  BaseSLNode *lost = nullptr;
};

TEST(SLListDeathTest, MisuseStops) {
  std::pair<std::function<void()>, const char *> cases[] = {
      {[] { SLList<int> l = Make({1, 2}); l.del_after(At(l, 1)); }, "cannot del_after last"},
      {[] { SLList<int> l; int x; l.remove_front(x); }, "remove_front of empty list"},
      {[] { SLList<int>().del_front(); }, "del_front of empty list"},
      {[] { Make({1})(nullptr); }, "null Pix"},
      {[] { SLList<int>().front(); }, "front: empty list"},
      {[] { SLList<int>().rear(); }, "rear: empty list"},
      {[] { Broken l; l.append(1); l.append(2); l.cut(); l.OK(); }, "invariant failure"},
      {[] { Broken l; for (int i = 0; i < 3; ++i) l.append(i);
            l.loop_past_last(); l.OK(); }, "invariant failure"}};
  for (auto &c : cases)
    EXPECT_EXIT(c.first(), testing::ExitedWithCode(1),
                "^SLList error: " + std::string(c.second) + "\n");
}

}  // namespace
