// Fuzz target for the table's readers: each input becomes the whole mapped
// region, walked by both iterators. Makes a real table: run it in nsrun.sh.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "monErr.h"
#include "monMmap.h"

namespace {

Mon_Handle_t writer, reader;

void Attach() {
  mon_ErrLimit = 1;  // one line per kind of damage is plenty here
  if (Mon_MmapOpen(0, &writer) || Mon_MmapOpen(MON_ALARM_READER, &reader))
    abort();
  atexit([] {  // the writer first: it detaches through the reader's mapping
    Mon_MmapClose(writer);
    Mon_MmapClose(reader);
  });
}

// Reads every text of a record within its field, as a reader must.
size_t TextBytes(const Mon_Conn_t &c) {
  return strnlen(c.userName, sizeof c.userName) +
         strnlen(c.applicName, sizeof c.applicName) +
         strnlen(c.srcHostName, sizeof c.srcHostName) +
         strnlen(c.proxyHostName, sizeof c.proxyHostName) +
         strnlen(c.dstHostName, sizeof c.dstHostName) +
         strnlen(c.socksErrMsg, sizeof c.socksErrMsg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (reader == nullptr) Attach();
  char *region = reinterpret_cast<char *>(MonMmapRegion());
  size_t n = size < MON_MMAP_SIZE ? size : MON_MMAP_SIZE;
  memcpy(region, data, n);
  memset(region + n, 0, MON_MMAP_SIZE - n);

  volatile size_t sink = 0;
  Mon_Conn_t conn;
  int32_t index = 0;
  // Each call moves on by at least one slot, and a valid array has fewer
  // slots than this; more calls would mean a scan that never ends.
  int calls = 0;
  while (Mon_MmapGetNextConn(reader, 1, &index, &conn) == 1)
    if (++calls > (int)(MON_MMAP_SIZE / 4)) abort();
    else sink = sink + TextBytes(conn);
  index = 0;
  calls = 0;
  Mon_Conn_t *rec;
  while ((rec = MonMmapIterateConn(reader, &index)) != nullptr)
    if (++calls > (int)(MON_MMAP_SIZE / 4)) abort();
    else sink = sink + TextBytes(*rec) + rec->connState +
                (MonMmapConnPtr(reader, rec->key) != nullptr);
  // The hash look-up of a key the input names, whatever the slots hold.
  Uint64 key = {};
  memcpy(&key, data, size < sizeof key ? size : sizeof key);
  sink = sink + (MonMmapConnPtr(reader, key) != nullptr);
  return 0;
}
