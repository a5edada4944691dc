// The type-independent operations of the list container.  They only link
// and unlink nodes; nodes are made and freed through the hooks of SLList<T>.
#include "LList.h"

#include "error.h"

namespace {

BaseSLNode *to_node(Pix p) { return static_cast<BaseSLNode *>(p); }

}  // namespace

void BaseSLList::error(const char *msg) { err_quit("SLList error: %s", msg); }

int BaseSLList::length() const {
  if (last == nullptr) return 0;
  int n = 1;
  for (BaseSLNode *t = last->tl; t != last; t = t->tl) ++n;
  return n;
}

void BaseSLList::clear() {
  if (last == nullptr) return;
  BaseSLNode *p = last->tl;
  last->tl = nullptr;  // cut the ring so that the walk stops after last
  last = nullptr;
  while (p != nullptr) {
    BaseSLNode *nxt = p->tl;
    delete_node(p);
    p = nxt;
  }
}

Pix BaseSLList::prepend(const void *item) {
  BaseSLNode *t = copy_node(item);
  if (last == nullptr) {
    t->tl = t;
    last = t;
  } else {
    t->tl = last->tl;
    last->tl = t;
  }
  return t;
}

Pix BaseSLList::append(const void *item) {
  BaseSLNode *t = copy_node(item);
  if (last == nullptr) {
    t->tl = t;
  } else {
    t->tl = last->tl;
    last->tl = t;
  }
  last = t;
  return t;
}

Pix BaseSLList::ins_after(Pix p, const void *item) {
  if (p == nullptr) return prepend(item);
  BaseSLNode *u = to_node(p);
  BaseSLNode *t = copy_node(item);
  t->tl = u->tl;
  u->tl = t;
  if (u == last) last = t;
  return t;
}

void BaseSLList::join(BaseSLList &other) {
  if (&other == this || other.last == nullptr) return;
  BaseSLNode *t = other.last;
  other.last = nullptr;
  if (last != nullptr) {
    BaseSLNode *f = last->tl;  // our first node
    last->tl = t->tl;          // our last -> other's first
    t->tl = f;                 // other's last closes the ring
  }
  last = t;
}

void BaseSLList::del_after(Pix p) {
  BaseSLNode *u = to_node(p);
  if (last == nullptr || u == last) error("cannot del_after last");
  if (u == nullptr) u = last;  // the node after last is the first
  BaseSLNode *t = u->tl;
  if (t == u) {
    last = nullptr;
  } else {
    u->tl = t->tl;
    if (t == last) last = u;
  }
  delete_node(t);
}

int BaseSLList::owns(Pix p) const {
  if (last == nullptr) return 0;
  BaseSLNode *t = last;
  do {
    if (t == p) return 1;
    t = t->tl;
  } while (t != last);
  return 0;
}

void BaseSLList::del_front() {
  if (last == nullptr) error("del_front of empty list");
  BaseSLNode *t = last->tl;
  if (t == last)
    last = nullptr;
  else
    last->tl = t->tl;
  delete_node(t);
}

int BaseSLList::OK() const {
  if (last == nullptr) return 1;
  // Following the links from the first node must lead to last.  A null
  // link breaks the ring; a loop that misses last is caught when the fast
  // walker (two steps at a time) lands on the slow one.
  BaseSLNode *slow = last->tl;
  BaseSLNode *fast = last->tl;
  while (slow != nullptr) {
    if (slow == last) return 1;
    slow = slow->tl;
    for (int i = 0; i < 2 && fast != nullptr && fast != last; ++i)
      fast = fast->tl;
    if (slow == fast && slow != last) break;
  }
  error("invariant failure");
}

BaseSLNode *BaseSLList::front_node() const {
  if (last == nullptr) error("front: empty list");
  return last->tl;
}

BaseSLNode *BaseSLList::rear_node() const {
  if (last == nullptr) error("rear: empty list");
  return last;
}
