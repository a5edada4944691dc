// Metrics text and its atomic file.
#include "promfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

void PromText::family(const char *name, const char *type, const char *help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  text_ += help;
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void PromText::sample(const char *name, const std::string &labels, double value) {
  char num[40];
  if (value == static_cast<double>(static_cast<int64_t>(value)))
    snprintf(num, sizeof num, "%lld", static_cast<long long>(value));
  else
    snprintf(num, sizeof num, "%.17g", value);
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    text_ += labels;
    text_ += '}';
  }
  text_ += ' ';
  text_ += num;
  text_ += '\n';
}

std::string prom_label(const std::string &value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

int write_metrics_file(const std::string &path, const std::string &text) {
  size_t slash = path.rfind('/');
  std::string tmp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
                    ".tmp." + (slash == std::string::npos ? path : path.substr(slash + 1)) +
                    "." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  int saved = 0;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      saved = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (saved == 0 && fchmod(fd, 0644) != 0) saved = errno;
  if (close(fd) != 0 && saved == 0) saved = errno;
  if (saved == 0 && rename(tmp.c_str(), path.c_str()) != 0) saved = errno;
  if (saved != 0) {
    unlink(tmp.c_str());
    errno = saved;
    return -1;
  }
  return 0;
}
