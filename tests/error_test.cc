// Reports of the daemon and of the table library on standard error: texts,
// cutting, bursts, and how the stopping functions end the process.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include <gtest/gtest.h>

#include "error.h"
#include "monErr.h"

namespace {

using S = std::string;
const char kDate[] = "Jan  2 2024";

TEST(Error, ForegroundMessagesAreCut) {
  const S big(300, 'x'), text = ". " + S(strerror(ENOENT));
  testing::internal::CaptureStderr();
  err_init("tollwatch");
  errno = 0;
  EXPECT_EQ(-1, err_ret("rule %d skipped", 7));
  errno = ENOENT;
  EXPECT_EQ(-1, err_ret("cannot open %s", "x"));
  SYSLOG(LOG_NOTICE, "100% done %s");
  err_ret("%s", big.c_str());  // no room left for the error text
  err_ret("%s", big.substr(0, 250).c_str());
  EXPECT_EQ("tollwatch\nrule 7 skipped\ncannot open x" + text + "\n100% done %s\n" + big.substr(0, 254) +
                "\n" + (big.substr(0, 250) + text).substr(0, 254) + "\n",
            testing::internal::GetCapturedStderr());
}

// Names are shown with control bytes in octal and backslashes doubled.
TEST(Error, PrintableNames) {
  for (auto [in, out] : {std::pair{"a b\xc3\xa9", "a b\xc3\xa9"}, {"a\tb\n", "a\\011b\\012"}, {"\x7f\\", "\\177\\\\"}})
    EXPECT_EQ(out, printable(in)) << in;
  EXPECT_EQ("", printable(nullptr));
}

int pag1 = -1, pag2 = -1;

// Quits with both history files open; at exit, tells whether they were closed.
void QuitWithHistoryOpen() {
  char name1[] = "/tmp/hist1", name2[] = "/tmp/hist2";
  if ((db1 = dbm_open(name1, O_RDWR | O_CREAT, 0644)) == nullptr ||
      (db2 = dbm_open(name2, O_RDWR | O_CREAT, 0644)) == nullptr)
    _exit(2);
  pag1 = dbm_pagfno(db1), pag2 = dbm_pagfno(db2);
  atexit([] {
    bool closed = !db1 && !db2 && fcntl(pag1, F_GETFD) == -1 && fcntl(pag2, F_GETFD) == -1;
    fputs(closed ? "history closed\n" : "history open\n", stderr);
  });
  err_quit("giving up");
}

TEST(ErrorDeathTest, StoppingFunctions) {
  EXPECT_EXIT({ errno = ENOENT; err_quit("bad option %c", 'z'); }, testing::ExitedWithCode(1), "bad option z\n$");
  EXPECT_EXIT({ errno = EACCES; err_sys("cannot read %s", "f"); }, testing::ExitedWithCode(1),
              "cannot read f\\. " + S(strerror(EACCES)) + "\n$");
  EXPECT_EXIT({ rlimit none = {}; setrlimit(RLIMIT_CORE, &none); err_dump("out of %s", "memory"); },
              testing::KilledBySignal(SIGABRT), "out of memory\n");
  EXPECT_EXIT(QuitWithHistoryOpen(), testing::ExitedWithCode(1), "giving up\nhistory closed\n$");
}

// One library report from the call site (line, file).
S Report(int line, const char *file, bool sys = false, const char *msg = "msg") {
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

// The report's lines, the system error (ENOSYS for one without a text),
// errno kept, and a long report cut to the buffer with its line ended.
TEST(MonErr, ReportForms) {
  S head = "\nERROR: Mon_Op: bad thing\nsite.c(12) of [Jan  2 2024] on ";
  S out = Report(12, "site.c", false, "bad thing");
  EXPECT_EQ(std::make_pair(head, head.size() + 25), std::make_pair(out.substr(0, head.size()), out.size()));
  for (int e : {ENOENT, 0, -1, 99999}) {
    errno = e;
    out = Report(20 + e % 7, "site.c", true, "open x");
    const int shown = e == ENOENT ? e : ENOSYS;
    head = "\nSYSTEM ERROR: Mon_Op: open x\nerrno=" + std::to_string(shown) + " " + strerror(shown) + "\nsite.c(";
    EXPECT_EQ(std::make_pair(head, shown), std::make_pair(out.substr(0, head.size()), errno)) << e;
  }
  out = Report(14, "site.c", false, S(1000, 'x').c_str());
  EXPECT_EQ(std::make_tuple(size_t{255}, S("\nERROR: Mon_Op: xxxx"), '\n'),
            std::make_tuple(out.size(), out.substr(0, 20), out.back()));
}

// A site reporting many times in a row is shown three times, until another
// site reports; sites are told apart by their text, not its address.
TEST(MonErr, BurstFromOneSiteIsCut) {
  EXPECT_EQ(3, Shown({30, 30, 30, 30, 30}, "burst.c"));
  EXPECT_EQ(3, Shown({31, 30, 30}, "burst.c"));
  EXPECT_EQ(8, Shown({30, 31, 30, 31, 30, 31, 30, 31}, "burst.c"));
  char file[] = "x.c";
  EXPECT_EQ(3, Shown({32, 32, 32}, file));
  file[0] = 'y';
  EXPECT_EQ(1, Shown({32}, file));
}

TEST(MonErrDeathTest, FatalReportsExitOne) {
  EXPECT_EXIT(Mon_SysErrFatal(40, "fatal.c", kDate, "Mon_Op", "boom"), testing::ExitedWithCode(1),
              "\nFATAL SYSTEM ERROR: Mon_Op: boom\nerrno=");
  EXPECT_EXIT(Mon_ErrFatal(41, "fatal.c", kDate, "Mon_Op", "boom"), testing::ExitedWithCode(1),
              "\nFATAL ERROR: Mon_Op: boom\n");
  EXPECT_EXIT(  // suppressed: nothing follows the third report's location line
      {
        for (int i = 1; i <= 3; i++) Mon_ErrRet(42, "fatal.c", kDate, "Mon_Op", "n=%d", i);
        Mon_ErrFatal(42, "fatal.c", kDate, "Mon_Op", "n=%d", 4);
      },
      testing::ExitedWithCode(1), "n=3\n[^\n]*\n$");
}

}  // namespace
