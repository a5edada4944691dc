// Opening the history store on a server.
#include "store_open.h"

#include <syslog.h>

#include <string>

#include "error.h"
#ifdef TW_HAVE_REDIS
#include "redis_store.h"
#endif

StoreSpec ALRM_store_spec;

#ifdef TW_HAVE_REDIS

namespace {

void store_log(int priority, const char *msg) {
  if (priority <= LOG_ERR) {
    errno = 0;
    err_ret("%s", msg);
  } else {
    SYSLOG(priority, msg);
  }
}

}  // namespace

std::unique_ptr<HistoryStore> open_server_store() {
  const StoreSpec &s = ALRM_store_spec;
  std::string why;
  redis_log = store_log;
  std::unique_ptr<RedisStore> store = RedisStore::open(
      s.url, s.prefix, s.password_file != nullptr ? s.password_file : "", &why);
  if (store == nullptr) err_quit("history store %s: %s", s.url, why.c_str());
  return store;
}

#else

std::unique_ptr<HistoryStore> open_server_store() {
  err_quit("history store %s: the Redis store is not built in (no hiredis)",
           ALRM_store_spec.url);
}

#endif
