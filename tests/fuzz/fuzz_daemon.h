// What the daemon's fuzz targets add to fuzz_support: exit() that returns
// to the target, and the memory of a stopped run given back.
#ifndef TW_FUZZ_DAEMON_H
#define TW_FUZZ_DAEMON_H

// Runs one input.  run() returns true when it ended normally and false
// when it stopped through an error function or exit(), which jump back to
// fuzz_stop.  Every block a stopped run still holds is then freed, as the
// exiting program would lose it; a run that ends normally must give back
// all it took (the fuzzer's leak check).  Anything that must outlive a
// stopped run is allocated outside run(); state of a library that run()
// touched is closed in run()'s stop branch and opened again afterwards.
// Returns what run() returned.
bool fuzz_run(bool (*run)(const void *arg), const void *arg);

#endif  // TW_FUZZ_DAEMON_H
