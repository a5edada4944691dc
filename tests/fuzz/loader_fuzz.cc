// Fuzz target for the loader of parsed rule files: the input is read as the
// daemon reads twparser's output into an empty rule set, then destroyed.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "audit.h"
#include "fuzz.h"

namespace {

std::string text;  // the input, read as a file as the daemon reads one

bool Load(const void *) {
  static FILE *file;
  static AlarmTable *table;
  static Alarm work;
  file = fmemopen(&text[0], text.size(), "r");
  if (file == nullptr) return true;
  memset(static_cast<void *>(&token), 0, sizeof token);
  memset(static_cast<void *>(&work), 0, sizeof work);
  table = new AlarmTable;
  if (setjmp(fuzz_stop) != 0) {
    fclose(file);
    ALRM_table_ptr = nullptr;
    return false;
  }
  int rc;
  while ((rc = work.read(file)) != -3)
    if (rc == 1) table->AlarmList.append(work);  // the list takes its parts
  fclose(file);
  delete table;
  ALRM_table_ptr = nullptr;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 1 << 16) return 0;
  text.assign(reinterpret_cast<const char *>(data), size);
  fuzz_run(Load, nullptr);
  return 0;
}
