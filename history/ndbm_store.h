// The history in two ndbm files, base1 and base2 (.pag and .dir each).
// A record is a count word and items of `increment` ints (time first,
// rising), stored in chunks of at most max_data bytes: chunk 0 in file 1,
// chunk k > 0 in file 2, under the key with byte 1 = k.
#ifndef TW_HISTORY_NDBM_STORE_H
#define TW_HISTORY_NDBM_STORE_H

#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "store.h"

extern "C" {
#include <ndbm.h>  // declares C functions without a C++ guard
}

constexpr int MAX_REC_LEN = 1016;  // key plus chunk
constexpr int MAX_CHUNKS = 256;    // chunk numbers a key byte can hold

class NdbmStore : public HistoryStore {
 public:
  // The history at base, opened as the daemon opens it: both files,
  // created when missing, never through a link; stops with the reason
  // ("open db file1 error: ...") when it cannot.
  explicit NdbmStore(const std::string &base);
  // The files as they are, opened with flags (O_RDONLY, O_RDWR | O_CREAT)
  // and no more checks: a scratch copy, a tool's look.  When one cannot be
  // opened the store stays closed, *failed names it and errno says why.
  NdbmStore(const std::string &base, int flags, std::string *failed);
  // A store on no files (a refresh's or salvage's helper).
  NdbmStore() {}
  ~NdbmStore() override;

  int read(const std::string &key, int increment,
           std::vector<int> &items) override;
  int update(const std::string &key, const ItemUpdate &u,
             std::vector<int> &items) override;
  // Copies every record into fresh files without the items older than
  // now - keep_of(key) or stamped past now's slack, and moves them over
  // the live ones.
  int refresh(int now, int (*keep_of)(const std::string &key)) override;
  void for_each(void (*f)(const std::string &key,
                          const std::vector<int> &items, void *arg),
                void *arg) override;
  void close() override;
  std::string status() const override { return ""; }

  bool is_open() const { return d1 != nullptr && d2 != nullptr; }
  // Every key of file 1, copied out before anything is read or written.
  std::vector<std::string> keys();
  // Writes the key's items as they are (a tool's change); 0 or -1.
  int write(const std::string &key, const std::vector<int> &items);
  // For a history that need not outlive the process (a dry run's scratch
  // copy): its records are held in memory once read, and stores go there;
  // the files take them only when many are held, at flush or a refresh.
  // Closing forgets them.
  void hold(bool on);
  void flush();
  // Whether the daemon traces: the refresh then says its cut-off
  // (now - keep_of("")), and a record found out of order is dumped.
  void set_tracing(int (*on)()) { tracing_ = on; }
  const std::string &base() const { return base_; }

  // What the store's records share; public for the record code.
  struct Held {
    std::vector<int> ints;  // count word first
    int chunks = 0;
  };
  DBM *d1 = nullptr, *d2 = nullptr;
  std::string base_;
  int (*tracing_)() = nullptr;
  bool holding = false;
  bool files_blank = false;  // the files hold no record: one not held is empty
  uint64_t lost_updates = 0;  // changes the files could not take
  std::unordered_map<std::string, Held> held;
  Held *last_held = nullptr;  // the record read last, for the store after it
  std::string last_key;

 private:
  NdbmStore(const NdbmStore &) = delete;
  NdbmStore &operator=(const NdbmStore &) = delete;
};

// Before the daemon opens the history: refuses a directory others may
// write to without the sticky bit, and links or (there) files not the
// daemon's own under the history's names; finishes or drops a refresh that
// was cut short, then, when the history is damaged, says so naming the
// file and salvages it (prepare_history: the salvage drops the items older
// than keep seconds).  history_damage only tells: an empty string when
// the files are sound or none exists yet.
void finish_refresh(const std::string &base);
std::string history_damage(const std::string &base);
void prepare_history(const char *base, int keep);

#endif  // TW_HISTORY_NDBM_STORE_H
