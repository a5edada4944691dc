// Fuzz target for the history record decoder (Database::retrieve): the
// input gives a key, the chunks stored under it in the two ndbm files of a
// scratch database, and whether room for a new item is asked for.  The
// key's first byte is an aggregate kind, which picks the store variant as
// the aggregates do.  A record the
// decoder refuses stops the run through exit(), which jumps back here.
#include <fcntl.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "audit.h"
#include "fuzz_daemon.h"
#include "fuzz_support.h"

namespace {

DBM *scratch1, *scratch2;

char dir[] = "/tmp/tw-history-fuzz-XXXXXX";

// The scratch database, in a directory of its own that is removed at exit.
void OpenScratch() {
  std::string name1 = std::string(dir) + "/h1", name2 = std::string(dir) + "/h2";
  scratch1 = dbm_open(&name1[0], O_RDWR | O_CREAT, 0600);
  scratch2 = dbm_open(&name2[0], O_RDWR | O_CREAT, 0600);
  if (scratch1 == nullptr || scratch2 == nullptr) abort();
}

void CloseScratch() {
  dbm_close(scratch1);
  dbm_close(scratch2);
  scratch1 = scratch2 = nullptr;
}

void Setup() {
  if (mkdtemp(dir) == nullptr) abort();
  OpenScratch();
  atexit([] {
    CloseScratch();
    std::string rm = std::string("rm -rf ") + dir;
    if (system(rm.c_str()) != 0) {}
  });
}

struct Input {
  std::string key;           // byte 1 is set to each chunk's number
  std::vector<std::string> chunks;
  bool increase;
};

datum Datum(const std::string &s) {
  return {const_cast<char *>(s.data()), static_cast<int>(s.size())};
}

void Store(Input &in) {
  for (size_t k = 0; k < in.chunks.size(); k++) {
    in.key[1] = static_cast<char>(k);
    dbm_store(k == 0 ? scratch1 : scratch2, Datum(in.key), Datum(in.chunks[k]),
              DBM_REPLACE);
  }
}

void Erase(Input &in) {
  for (size_t k = 0; k < in.chunks.size(); k++) {
    in.key[1] = static_cast<char>(k);
    dbm_delete(k == 0 ? scratch1 : scratch2, Datum(in.key));
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
  db->retrieve(scratch1, scratch2, in->increase);
  // The decoded items as the aggregates read them.
  if (db->count > 0) db->total(db->info[1]);
  db->free_space();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = (Setup(), true);
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
  Store(in);
  if (!fuzz_run(Retrieve, &in)) OpenScratch();
  Erase(in);
  return 0;
}
