// Who may write the connection table.  With -W the daemon attaches only
// to a table of the proxy's user or root that no other user may write, and
// says once why it refuses one; without, it warns once when every user may
// write the table it attached to.
#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <syslog.h>

#include <set>
#include <string>

#include "daemon.h"
#include "error.h"
#include "monMmap.h"

namespace {

bool writer_named;
bool warned;
std::set<std::string> told;       // refusals said since the last attach
constexpr size_t kMaxTold = 16;   // beyond this, new reasons go unsaid

}  // namespace

uid_t user_arg(const char *user) {
  char *end;
  errno = 0;
  unsigned long n = strtoul(user, &end, 10);
  if (user[0] >= '0' && user[0] <= '9' && *end == '\0' && errno == 0 &&
      n < static_cast<unsigned long>(static_cast<uid_t>(-1)))
    return static_cast<uid_t>(n);
  struct passwd *pw = getpwnam(user);
  if (pw == nullptr) err_quit("-W %s: no such user", user);
  return pw->pw_uid;
}

void table_writer(uid_t uid) {
  writer_named = true;
  Mon_MmapSetWriter(uid);
}

bool table_refused(void *handle) {
  int num;
  const char *why = Mon_MmapLastErr(handle, &num);
  if (!writer_named || num != EPERM) return false;
  if (told.size() < kMaxTold && told.insert(why).second)
    SYSLOG(LOG_WARNING, (std::string("not attaching: ") + why).c_str());
  return true;
}

// So that a table planted before the proxy starts cannot stop the daemon:
// with a writer named, one that is there but not fit to take is waited for.
bool table_refused_at_start(void *handle) {
  int num;
  Mon_MmapLastErr(handle, &num);
  return table_refused(handle) || (writer_named && (num == ELOOP || num == EINVAL));
}

void table_attached(void *handle) {
  told.clear();
  if (writer_named || warned || Mon_MmapCheckWriter(handle, static_cast<uid_t>(-1)) == 0)
    return;
  int num;
  const char *why = Mon_MmapLastErr(handle, &num);
  if (num != EPERM) return;  // not a verdict: the library said what failed
  warned = true;
  SYSLOG(LOG_WARNING, (std::string(why) + "; name the proxy's user with -W").c_str());
}
