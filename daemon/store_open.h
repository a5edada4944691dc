// Which history store the daemon and its tools use: the ndbm files (the
// default) or a Redis server shared by several daemons (-D, -k, -A).
#ifndef TW_STORE_OPEN_H
#define TW_STORE_OPEN_H

#include <memory>

#include "store.h"

struct StoreSpec {
  const char *url = nullptr;            // null: the ndbm files
  const char *prefix = "tollwatch:";    // before every key on the server
  const char *password_file = nullptr;  // its first line is the password
};

extern StoreSpec ALRM_store_spec;

// The store on the server ALRM_store_spec names, its messages going to the
// system log (or standard error in the foreground).  Stops with the reason
// for a bad URL, an unreadable password file, or a build without the
// Redis store; a server that cannot be reached is waited for.
std::unique_ptr<HistoryStore> open_server_store();

#endif  // TW_STORE_OPEN_H
