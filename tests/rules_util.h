// An empty rule set made current, loading parsed rule text through the
// same reader as the daemon's.
#ifndef TW_TESTS_RULES_UTIL_H
#define TW_TESTS_RULES_UTIL_H

#include <stdio.h>
#include <string.h>

#include <string>

#include "audit.h"

struct TestRules {
  TestRules() { memset(static_cast<void *>(&token), 0, sizeof token); }
  int Load(const std::string &text) {  // returns the alarms read
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    Alarm work;
    memset(static_cast<void *>(&work), 0, sizeof work);
    int rc, alarms = 0;
    for (token.line_num = 0; (rc = work.read(in)) != -3;)
      if (rc == 1) table.AlarmList.append(work), alarms++;
    fclose(in);
    return alarms;
  }
  Alarm &Last() { return table.AlarmList.rear(); }
  AlarmTable table;
};

#endif  // TW_TESTS_RULES_UTIL_H
