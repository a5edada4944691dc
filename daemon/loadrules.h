// Loading a rule file into a rule set, without the history or the table:
// twparser checks it and the parsed form becomes the alarms, symbols and
// aggregates.  Failures stop the program with the loading messages.
#ifndef TW_LOADRULES_H
#define TW_LOADRULES_H

#include "audit.h"

// Makes table the current rule set and loads input_file into it.
void load_rules(AlarmTable &table, const char *input_file);

#endif  // TW_LOADRULES_H
