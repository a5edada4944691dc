// Names and texts from the table made safe for one line of a trace or log:
// control bytes as octal escapes, a backslash doubled. Apart from the error
// functions, so that programs with error functions of their own can use it.
#include <stdio.h>

#include <string>

#include "error.h"

std::string printable(const char *text) {
  std::string out;
  char octal[8];
  for (const char *t = text != nullptr ? text : ""; *t != '\0'; t++) {
    unsigned char c = static_cast<unsigned char>(*t);
    if (c < 0x20 || c == 0x7f) {
      snprintf(octal, sizeof octal, "\\%03o", c);
      out += octal;
    } else {
      if (c == '\\') out += '\\';
      out += *t;
    }
  }
  return out;
}
