// Fuzz target for the history record decoder: the input gives a key (its
// first byte an aggregate kind) and the chunks stored under it in a
// scratch store, which then reads the key's items.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "audit.h"
#include "fuzz.h"
#include "items.h"
#include "ndbm_store.h"

namespace {

char dir[] = "/tmp/tw-history-fuzz-XXXXXX";
NdbmStore *store;

void OpenScratch() {
  std::string failed;
  delete store;
  store = new NdbmStore(std::string(dir) + "/h", O_RDWR | O_CREAT, &failed);
  if (!store->is_open()) abort();
}

struct Input {
  std::string key;  // byte 1 is set to each chunk's number
  std::vector<std::string> chunks;
};

// Stores (or with erase, deletes) the chunks: the first in the first file.
void Put(Input &in, bool erase) {
  for (size_t k = 0; k < in.chunks.size(); k++) {
    in.key[1] = static_cast<char>(k);
    datum key = {&in.key[0], static_cast<int>(in.key.size())};
    datum val = {&in.chunks[k][0], static_cast<int>(in.chunks[k].size())};
    DBM *db = k == 0 ? store->d1 : store->d2;
    if (erase) dbm_delete(db, key);
    else dbm_store(db, key, val, DBM_REPLACE);
  }
}

bool Retrieve(const void *arg) {
  const Input *in = static_cast<const Input *>(arg);
  static std::vector<int> items;
  std::string key = in->key;
  key[1] = 0;
  int kind = static_cast<unsigned char>(key[0]);
  int increment = kind == TOT_FAIL ? 1 : kind == TOT_ACCESS ? 2 : 3;
  if (setjmp(fuzz_stop) != 0) {
    store->close();  // the library's blocks go back through the library
    return false;
  }
  store->read(key, increment, items);
  if (!items.empty())  // the items as aggregates read them
    items_total(items.data(), static_cast<int>(items.size()), increment, items[0]);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    if (mkdtemp(dir) == nullptr) abort();
    OpenScratch();
    atexit([] {
      delete store;
      if (system((std::string("rm -rf ") + dir).c_str()) != 0) {}
    });
    return true;
  }();
  (void)ready;
  FuzzedDataProvider fdp(data, size);
  Input in;
  fdp.ConsumeBool();  // kept, so the corpus still reads the same
  in.key = fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange<size_t>(4, 64));
  if (in.key.size() < 4) return 0;
  in.key[0] = static_cast<char>(static_cast<unsigned char>(in.key[0]) % N_TOTALS);
  int nchunks = fdp.ConsumeIntegralInRange(1, 8);
  for (int k = 0; k < nchunks && fdp.remaining_bytes() > 0; k++)
    in.chunks.push_back(
        fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange<size_t>(0, 1100)));
  Put(in, false);
  if (!fuzz_run(Retrieve, &in)) OpenScratch();
  Put(in, true);
  return 0;
}
