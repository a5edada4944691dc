// Helpers for tests of rule loading: an empty rule set made current, and
// parsed rule text loaded through the same reader as the daemon's.
#ifndef TW_TESTS_RULES_UTIL_H
#define TW_TESTS_RULES_UTIL_H

#include <stdio.h>
#include <string.h>

#include <string>

#include "audit.h"

// An empty rule set, current for the test, with the tokenizer reset.
struct TestRules {
  TestRules() {
    memset(static_cast<void *>(&token), 0, sizeof token);
    token.line_num = 1;
  }
  // Loads parsed-file text as the daemon does; returns the alarms read.
  int Load(const std::string &text) {
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    Alarm work;
    memset(static_cast<void *>(&work), 0, sizeof work);
    int rc, alarms = 0;
    token.line_num = 0;
    while ((rc = work.read(in)) != -3)
      if (rc == 1) {
        table.AlarmList.append(work);
        alarms++;
      }
    fclose(in);
    return alarms;
  }
  Alarm &Last() { return table.AlarmList.rear(); }

  AlarmTable table;
};

#endif  // TW_TESTS_RULES_UTIL_H
