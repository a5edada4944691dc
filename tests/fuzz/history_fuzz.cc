// Fuzz target for the history record decoder: the input gives a key (its
// first byte an aggregate kind), the chunks stored under it in a scratch
// database and whether room for a new item is asked for.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "audit.h"
#include "fuzz.h"

namespace {

DBM *scratch[2];
char dir[] = "/tmp/tw-history-fuzz-XXXXXX";

void OpenScratch() {
  for (int i = 0; i < 2; i++) {
    std::string name = std::string(dir) + (i == 0 ? "/h1" : "/h2");
    scratch[i] = dbm_open(&name[0], O_RDWR | O_CREAT, 0600);
    if (scratch[i] == nullptr) abort();
  }
}

void CloseScratch() { for (DBM *&db : scratch) dbm_close(db), db = nullptr; }

struct Input {
  std::string key;  // byte 1 is set to each chunk's number
  std::vector<std::string> chunks;
  bool increase;
};

// Stores (or with erase, deletes) the chunks: the first in the first file.
void Put(Input &in, bool erase) {
  for (size_t k = 0; k < in.chunks.size(); k++) {
    in.key[1] = static_cast<char>(k);
    datum key = {&in.key[0], static_cast<int>(in.key.size())};
    datum val = {&in.chunks[k][0], static_cast<int>(in.chunks[k].size())};
    DBM *db = scratch[k == 0 ? 0 : 1];
    if (erase) dbm_delete(db, key);
    else dbm_store(db, key, val, DBM_REPLACE);
  }
}

bool Retrieve(const void *arg) {
  const Input *in = static_cast<const Input *>(arg);
  static Database plain;
  static Database2 per_item;
  static Database *db;
  db = in->key[0] == TOT_FAIL ? &plain : &per_item;
  db->key.dsize = static_cast<int>(in->key.size());
  db->key.dptr = static_cast<char *>(malloc(in->key.size()));
  if (db->key.dptr == nullptr) abort();
  memcpy(db->key.dptr, in->key.data(), in->key.size());
  if (setjmp(fuzz_stop) != 0) {
    db->free_space();
    CloseScratch();  // the library's blocks go back through the library
    return false;
  }
  db->retrieve(scratch[0], scratch[1], in->increase);
  if (db->count > 0) db->total(db->info[1]);  // the items as aggregates read them
  db->free_space();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    if (mkdtemp(dir) == nullptr) abort();
    OpenScratch();
    atexit([] {
      CloseScratch();
      if (system((std::string("rm -rf ") + dir).c_str()) != 0) {}
    });
    return true;
  }();
  (void)ready;
  FuzzedDataProvider fdp(data, size);
  Input in;
  in.increase = fdp.ConsumeBool();
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
