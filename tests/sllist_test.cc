// The list container: order, deletion, joining, deep copies, positions,
// item lifetimes and the messages that stop the program on misuse.
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "LList.h"

namespace {

using Ints = std::vector<int>;

Ints Items(const SLList<int> &l) {
  Ints v;
  for (Pix p = l.first(); p != nullptr; l.next(p)) v.push_back(l(p));
  return v;
}

SLList<int> Make(const Ints &v) {
  SLList<int> l;
  for (int x : v) l.append(x);
  return l;
}

// Position of the i-th node, null for i < 0.
Pix At(const SLList<int> &l, int i) {
  if (i < 0) return nullptr;
  Pix p = l.first();
  while (i-- > 0) l.next(p);
  return p;
}

// Checks contents, length, ends and invariant together.
void Expect(const SLList<int> &l, const Ints &want) {
  EXPECT_EQ(Items(l), want);
  EXPECT_EQ(l.length(), static_cast<int>(want.size()));
  EXPECT_EQ(l.empty() != 0, want.empty());
  if (!want.empty()) {
    EXPECT_EQ(l.front(), want.front());
    EXPECT_EQ(l.rear(), want.back());
  }
  EXPECT_EQ(l.OK(), 1);
}

TEST(SLList, InsertionOrder) {
  SLList<int> l;
  Expect(l, {});
  EXPECT_EQ(l.first(), nullptr);
  Pix two = l.append(2);
  l.prepend(1);
  Pix three = l.append(3);
  Expect(l, {1, 2, 3});
  l.ins_after(nullptr, 0);  // front
  l.ins_after(two, 20);     // middle
  Pix end = l.ins_after(three, 30);
  Expect(l, {0, 1, 2, 20, 3, 30});
  l.append(40);  // after the node inserted at the end
  Expect(l, {0, 1, 2, 20, 3, 30, 40});
  EXPECT_EQ(l(end), 30);
}

TEST(SLList, DelAfter) {
  struct Case { Ints start; int after; Ints want; };
  const Case cases[] = {
      {{1, 2, 3, 4}, -1, {2, 3, 4}},  // null: the first node
      {{1, 2, 3, 4}, 0, {1, 3, 4}},
      {{1, 2, 3, 4}, 2, {1, 2, 3}},   // the last node
      {{5}, -1, {}},
      {{5, 6}, 0, {5}},
  };
  for (const Case &c : cases) {
    SLList<int> l = Make(c.start);
    l.del_after(At(l, c.after));
    Expect(l, c.want);
    l.append(9);  // the ring and last are still right
    Ints more = c.want;
    more.push_back(9);
    Expect(l, more);
  }
}

TEST(SLList, Join) {
  SLList<int> a = Make({1, 2}), b = Make({3, 4}), none;
  a.join(b);
  Expect(a, {1, 2, 3, 4});
  Expect(b, {});
  a.join(none);
  none.join(a);
  Expect(a, {});
  Expect(none, {1, 2, 3, 4});
  none.join(none);
  Expect(none, {1, 2, 3, 4});
  b.append(5);  // the emptied list is usable again
  none.join(b);
  Expect(none, {1, 2, 3, 4, 5});
}

TEST(SLList, CopyAndAssignmentAreDeep) {
  SLList<int> a = Make({1, 2, 3});
  SLList<int> c(a);
  c(c.first()) = 10;
  c.append(4);
  Expect(a, {1, 2, 3});
  Expect(c, {10, 2, 3, 4});

  SLList<int> d = Make({7, 8, 9, 9});
  d = a;
  d.rear() = 30;
  Expect(a, {1, 2, 3});
  Expect(d, {1, 2, 30});
  const SLList<int> &same = d;
  d = same;
  Expect(d, {1, 2, 30});
  d = SLList<int>();
  Expect(d, {});
  SLList<int> e(d);
  Expect(e, {});
}

TEST(SLList, PositionsAndRemoval) {
  SLList<int> a = Make({1, 2, 3}), b = Make({1});
  for (Pix p = a.first(); p != nullptr; a.next(p)) EXPECT_TRUE(a.owns(p));
  EXPECT_FALSE(a.owns(b.first()));
  EXPECT_FALSE(a.owns(nullptr));
  Pix p = At(a, 2);
  a.next(p);
  EXPECT_EQ(p, nullptr);

  int x = 0;
  a.remove_front(x);
  EXPECT_EQ(x, 1);
  Expect(a, {2, 3});
  a.del_front();
  Expect(a, {3});
  a.remove_front(x);
  EXPECT_EQ(x, 3);
  Expect(a, {});
  a = Make({4, 5});
  a.clear();
  Expect(a, {});
}

// An item that counts its living copies.
struct Counted {
  static int live;
  int v;
  explicit Counted(int x) : v(x) { ++live; }
  Counted(const Counted &o) : v(o.v) { ++live; }
  Counted &operator=(const Counted &) = default;
  ~Counted() { --live; }
};
int Counted::live = 0;

TEST(SLList, ItemsAreDestroyedOnce) {
  {
    SLList<Counted> l;
    for (int i = 0; i < 5; ++i) l.append(Counted(i));
    EXPECT_EQ(Counted::live, 5);
    l.del_after(nullptr);
    l.del_after(l.first());
    l.del_front();
    EXPECT_EQ(Counted::live, 2);
    Counted out(0);
    l.remove_front(out);
    EXPECT_EQ(out.v, 3);
    EXPECT_EQ(Counted::live, 2);
    SLList<Counted> m(l), n;
    n = l;
    n.join(m);
    EXPECT_EQ(Counted::live, 4);
    l.clear();
    EXPECT_EQ(Counted::live, 3);
  }
  EXPECT_EQ(Counted::live, 0);
}

// Breaks the ring the way a stray write would.
struct Broken : SLList<int> {
  void cut() { last->tl = nullptr; }
  void loop_past_last() { last->tl->tl = last->tl; }
};

TEST(SLListDeathTest, MisuseStops) {
  struct Case { std::function<void()> misuse; const char *message; };
  const Case cases[] = {
      {[] { SLList<int> l = Make({1, 2}); l.del_after(At(l, 1)); },
       "cannot del_after last"},
      {[] { SLList<int> l; int x; l.remove_front(x); },
       "remove_front of empty list"},
      {[] { SLList<int> l; l.del_front(); }, "del_front of empty list"},
      {[] { SLList<int> l = Make({1}); l(nullptr); }, "null Pix"},
      {[] { SLList<int> l; l.front(); }, "front: empty list"},
      {[] { SLList<int> l; l.rear(); }, "rear: empty list"},
      {[] { Broken l; l.append(1); l.append(2); l.cut(); l.OK(); },
       "invariant failure"},
      {[] { Broken l; for (int i = 0; i < 3; ++i) l.append(i);
            l.loop_past_last(); l.OK(); },
       "invariant failure"},
  };
  for (const Case &c : cases) {
    EXPECT_EXIT(c.misuse(), testing::ExitedWithCode(1),
                std::string("^SLList error: ") + c.message + "\n")
        << c.message;
  }
}

}  // namespace
