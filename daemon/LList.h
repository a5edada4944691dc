// The daemon's one list container: a singly linked circular list that
// keeps a pointer to its last node (whose successor is the first node).
// A position is an opaque Pix, a node pointer; null means none.
//
// Items are copied into the list and owned by it.  Destroying or clearing
// the list runs each item's destructor once; what an item points to is
// freed by the item's owner, not by the list.
//
// Misuse (deleting after the last node, taking from an empty list, using a
// null position, a broken list) stops the program through err_quit with
// "SLList error: <what>".
//
// Typical walk:
//   for (Pix p = list.first(); p != nullptr; list.next(p)) use(list(p));
#ifndef TW_LLIST_H
#define TW_LLIST_H

typedef void *Pix;

struct BaseSLNode {
  BaseSLNode *tl;  // next node; the last node points back to the first
};

template <class T>
struct SLNode : BaseSLNode {
  T hd;

  explicit SLNode(const T &h) : hd(h) { tl = nullptr; }
};

// The type-independent part: it links and unlinks nodes.  Nodes are made
// and freed only through the two virtual hooks, which SLList<T> provides.
class BaseSLList {
 public:
  BaseSLList(const BaseSLList &) = delete;
  BaseSLList &operator=(const BaseSLList &) = delete;

  int length() const;
  int empty() const { return last == nullptr; }
  void clear();

  // Deletes the node after p; a null p deletes the first node.
  void del_after(Pix p);
  // Non-zero if p is a node of this list.
  int owns(Pix p) const;
  void del_front();

  // The first position, or null for an empty list.
  Pix first() const { return last == nullptr ? nullptr : last->tl; }
  // Advances p; null after the last node.
  void next(Pix &p) const {
    p = (p == nullptr || p == last) ? nullptr
                                    : static_cast<BaseSLNode *>(p)->tl;
  }

  // Returns 1 when the list is a well-formed ring through last; otherwise
  // stops the program with "invariant failure".
  int OK() const;

 protected:
  BaseSLList() : last(nullptr) {}
  // Derived destructors call clear(): the hooks are gone by the time this
  // one runs.
  virtual ~BaseSLList() {}

  Pix prepend(const void *item);
  Pix append(const void *item);
  Pix ins_after(Pix p, const void *item);
  // Moves every node of other to the end of this list.
  void join(BaseSLList &other);

  // Checks used by the item accessors of SLList<T>.
  BaseSLNode *checked_node(Pix p) const {
    if (p == nullptr) error("null Pix");
    return static_cast<BaseSLNode *>(p);
  }
  BaseSLNode *front_node() const;
  BaseSLNode *rear_node() const;

  [[noreturn]] static void error(const char *msg);

  // Frees a node and its item.
  virtual void delete_node(BaseSLNode *node) = 0;
  // Returns a new unlinked node holding a copy of *item.
  virtual BaseSLNode *copy_node(const void *item) = 0;

  BaseSLNode *last;  // null when empty; last->tl is the first node
};

template <class T>
class SLList : public BaseSLList {
 public:
  SLList() {}
  SLList(const SLList<T> &other) : BaseSLList() { append_all(other); }
  ~SLList() override { clear(); }

  // Deep: this list gets its own copies of other's items.
  SLList<T> &operator=(const SLList<T> &other) {
    if (&other != this) {
      clear();
      append_all(other);
    }
    return *this;
  }

  // Each returns the position of the new node.
  Pix prepend(const T &item) { return BaseSLList::prepend(&item); }
  Pix append(const T &item) { return BaseSLList::append(&item); }
  // Inserts after p; a null p inserts at the front.
  Pix ins_after(Pix p, const T &item) {
    return BaseSLList::ins_after(p, &item);
  }

  // Moves all of other's items to the end of this list; other ends empty.
  void join(SLList<T> &other) { BaseSLList::join(other); }

  // Copies the front item into x, then deletes the front node.
  void remove_front(T &x) {
    if (empty()) error("remove_front of empty list");
    x = front();
    del_front();
  }

  T &front() { return node(front_node())->hd; }
  const T &front() const { return node(front_node())->hd; }
  T &rear() { return node(rear_node())->hd; }
  const T &rear() const { return node(rear_node())->hd; }

  T &operator()(Pix p) { return node(checked_node(p))->hd; }
  const T &operator()(Pix p) const { return node(checked_node(p))->hd; }

 protected:
  void delete_node(BaseSLNode *n) override { delete node(n); }
  BaseSLNode *copy_node(const void *item) override {
    return new SLNode<T>(*static_cast<const T *>(item));
  }

 private:
  void append_all(const SLList<T> &other) {
    for (Pix p = other.first(); p != nullptr; other.next(p)) append(other(p));
  }
  static SLNode<T> *node(BaseSLNode *n) { return static_cast<SLNode<T> *>(n); }
};

#endif  // TW_LLIST_H
