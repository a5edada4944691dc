// Fuzz target for one of the bridge's log formats, FUZZ_FORMAT ("dante" or
// "jsonl"): the input, split into lines, goes to one format object for the
// whole input, so that what a format keeps between lines is fuzzed too.
#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <string_view>
#include <vector>

#include "format.h"

namespace {

// What every format promises: a refused line adds nothing, and each event
// names its session.
void Check(bridge::Format *f, std::string_view line, bool dante) {
  std::vector<bridge::Event> events;
  if (!f->parse(line, &events) && !events.empty()) abort();
  for (const bridge::Event &e : events) {
    if (e.sid.empty()) abort();
    if (dante && e.sid != bridge::endpoint_sid(e.src, e.proxy)) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::unique_ptr<bridge::Format> f(bridge::new_format(FUZZ_FORMAT));
  const bool dante = std::string_view(FUZZ_FORMAT) == "dante";
  std::string_view in(reinterpret_cast<const char *>(data), size);
  while (!in.empty()) {
    size_t end = in.find('\n');
    std::string_view line = in.substr(0, end);
    in.remove_prefix(end == std::string_view::npos ? in.size() : end + 1);
    Check(f.get(), line, dante);
  }
  return 0;
}
