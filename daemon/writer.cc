// Who may write the connection table.  With -W the daemon attaches only
// to a table of the proxy's user or root that no other user may write, and
// says once why it refuses one; without, it warns once when every user may
// write the table it attached to.
#include <errno.h>
#include <grp.h>
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

// A user or group named by name or number; the run stops naming the
// option when there is none.
static bool id_number(const char *arg, unsigned long limit, unsigned long *n) {
  char *end;
  errno = 0;
  *n = strtoul(arg, &end, 10);
  return arg[0] >= '0' && arg[0] <= '9' && *end == '\0' && errno == 0 &&
         *n < limit;
}

uid_t user_arg(const char *user) {
  unsigned long n;
  if (id_number(user, static_cast<uid_t>(-1), &n)) return static_cast<uid_t>(n);
  struct passwd *pw = getpwnam(user);
  if (pw == nullptr) err_quit("-W %s: no such user", user);
  return pw->pw_uid;
}

gid_t group_arg(const char *group) {
  unsigned long n;
  if (id_number(group, static_cast<gid_t>(-1), &n)) return static_cast<gid_t>(n);
  struct group *gr = getgrnam(group);
  if (gr == nullptr) err_quit("-g %s: no such group", group);
  return gr->gr_gid;
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
