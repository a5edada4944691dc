// Reports of the connection-table library on standard error: their form,
// the burst limit and the fatal variants.
#include <errno.h>
#include <string.h>

#include <initializer_list>
#include <string>

#include <gtest/gtest.h>

#include "monErr.h"

namespace {

const char kDate[] = "Jan  2 2024";

// Reports once from the call site (line, file); returns the output.
std::string Report(int line, const char *file, bool sys = false, const char *msg = "msg") {
  testing::internal::CaptureStderr();
  if (sys)
    Mon_SysErrRet(line, file, kDate, "Mon_Op", "%s", msg);
  else
    Mon_ErrRet(line, file, kDate, "Mon_Op", "%s", msg);
  return testing::internal::GetCapturedStderr();
}

// How many of the reports from these sites were shown.
int Shown(std::initializer_list<int> lines, const char *file) {
  int n = 0;
  for (int line : lines) n += !Report(line, file).empty();
  return n;
}

TEST(MonErr, ReportForms) {
  std::string out = Report(12, "site.c", false, "bad thing");
  std::string head = "\nERROR: Mon_Op: bad thing\nsite.c(12) of [Jan  2 2024] on ";
  ASSERT_EQ(out.substr(0, head.size()), head);
  EXPECT_EQ(out.size(), head.size() + 25);  // ctime's 24 characters, '\n'

  errno = ENOENT;
  out = Report(13, "site.c", true, "open x");
  head = "\nSYSTEM ERROR: Mon_Op: open x\nerrno=2 " + std::string(strerror(ENOENT)) +
         "\nsite.c(13)";
  EXPECT_EQ(out.substr(0, head.size()), head);
  EXPECT_EQ(errno, ENOENT);

  out = Report(14, "site.c", false, std::string(1000, 'x').c_str());
  EXPECT_EQ(out.size(), 255u) << "cut to the buffer";
  EXPECT_EQ(out.substr(0, 20), "\nERROR: Mon_Op: xxxx");
  EXPECT_EQ(out.back(), '\n');
}

TEST(MonErr, ErrnoWithoutTextBecomesEnosys) {
  const std::string enosys = "\nerrno=38 " + std::string(strerror(ENOSYS)) + "\n";
  int line = 20;
  for (int e : {0, -1, 99999}) {
    errno = e;
    EXPECT_NE(Report(line++, "sys.c", true).find(enosys), std::string::npos) << "errno " << e;
    EXPECT_EQ(errno, ENOSYS);
  }
  errno = 0;  // a plain error leaves errno alone
  EXPECT_EQ(Report(line, "sys.c").find("errno="), std::string::npos);
  EXPECT_EQ(errno, 0);
}

TEST(MonErr, BurstFromOneSiteIsCut) {
  EXPECT_EQ(Shown({30, 30, 30, 30, 30}, "burst.c"), 3);
  EXPECT_EQ(Shown({31, 30, 30}, "burst.c"), 3);  // another site resets
  EXPECT_EQ(Shown({30, 31, 30, 31, 30, 31, 30, 31}, "burst.c"), 8);
  char file[] = "x.c";  // the site is remembered by its text, not its address
  EXPECT_EQ(Shown({32, 32, 32}, file), 3);
  file[0] = 'y';
  EXPECT_EQ(Shown({32}, file), 1);
}

TEST(MonErrDeathTest, FatalReportsExitOne) {
  EXPECT_EXIT(Mon_SysErrFatal(40, "fatal.c", kDate, "Mon_Op", "boom"), testing::ExitedWithCode(1),
              "\nFATAL SYSTEM ERROR: Mon_Op: boom\nerrno=");
  EXPECT_EXIT(Mon_ErrFatal(41, "fatal.c", kDate, "Mon_Op", "boom"), testing::ExitedWithCode(1),
              "\nFATAL ERROR: Mon_Op: boom\n");
  // Suppressed: nothing follows the third report's location line.
  EXPECT_EXIT(
      {
        for (int i = 1; i <= 3; i++) Mon_ErrRet(42, "fatal.c", kDate, "Mon_Op", "n=%d", i);
        Mon_ErrFatal(42, "fatal.c", kDate, "Mon_Op", "n=%d", 4);
      },
      testing::ExitedWithCode(1), "n=3\n[^\n]*\n$");
}

}  // namespace
