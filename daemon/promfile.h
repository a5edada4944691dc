// Metrics in the Prometheus text format, written whole to a file that a
// collector (node_exporter's textfile collector) reads: never seen half
// written.
#ifndef TW_PROMFILE_H
#define TW_PROMFILE_H

#include <stdint.h>

#include <string>

class PromText {
 public:
  // A metric's HELP and TYPE lines ("counter", "gauge", "info" as gauge).
  void family(const char *name, const char *type, const char *help);
  // One sample: name{labels} value; labels may be empty, else a ready
  // list such as rule="12-15".
  void sample(const char *name, const std::string &labels, double value);
  void sample(const char *name, uint64_t value) { sample(name, "", static_cast<double>(value)); }
  const std::string &text() const { return text_; }
  void clear() { text_.clear(); }

 private:
  std::string text_;
};

// A label value with \, " and newline escaped as the format wants.
std::string prom_label(const std::string &value);

// Writes text to path through a temporary file in the same directory,
// mode 0644, then renamed over path.  0, or -1 with errno (nothing left
// behind).
int write_metrics_file(const std::string &path, const std::string &text);

#endif  // TW_PROMFILE_H
