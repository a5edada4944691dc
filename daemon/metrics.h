// The daemon's counters as the status line (SIGUSR1) and as metrics in
// the Prometheus text format (-M), both read from the same counters.
#ifndef TW_METRICS_H
#define TW_METRICS_H

#include <string>

class MissedTracker;

// Whose missed starts and ends are shown: the daemon's tracker.
void metrics_track(const MissedTracker *missed);

// "status: taken=... store_failures=..." and the store's status.
std::string status_line();
// Every metric, one text.
std::string metrics_text();

// -M: the file the metrics go to, null for none.
void metrics_file(const char *path);
// Writes the file when 10 s have passed since the last write (the first
// time at once); from the polling loop.
void metrics_due();
// Writes it now (at quit).
void metrics_now();

#endif  // TW_METRICS_H
