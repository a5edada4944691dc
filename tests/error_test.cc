// Reports of the daemon and of the table library on standard error: texts,
// cutting, bursts, and how the stopping functions end the process.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <syslog.h>

#include <string>

#include <gtest/gtest.h>

#include "error.h"
extern "C" {
#include <ndbm.h>
}
#include "monErr.h"

namespace {

using S = std::string;

// The daemon's messages: the system error text only where asked and where
// there is room, cut to the buffer; names shown printable.
TEST(Error, ForegroundMessages) {
  const S big(300, 'x'), text = ". " + S(strerror(ENOENT));
  testing::internal::CaptureStderr();
  err_init("tollwatch");
  errno = 0;
  EXPECT_EQ(-1, err_ret("rule %d skipped", 7));
  errno = ENOENT;
  EXPECT_EQ(-1, err_ret("cannot open %s", "x"));
  SYSLOG(LOG_NOTICE, "100% done %s");
  err_ret("%s", big.c_str());
  err_ret("%s", big.substr(0, 250).c_str());
  EXPECT_EQ("tollwatch\nrule 7 skipped\ncannot open x" + text + "\n100% done %s\n" + big.substr(0, 254) + "\n" +
                (big.substr(0, 250) + text).substr(0, 254) + "\n",
            testing::internal::GetCapturedStderr());
  for (auto [in, out] : {std::pair{"a b\xc3\xa9", "a b\xc3\xa9"}, {"a\tb\n", "a\\011b\\012"}, {"\x7f\\", "\\177\\\\"}})
    EXPECT_EQ(out, printable(in)) << in;
}

// Quits with both history files open; at exit, tells whether they were closed.
void QuitWithHistoryOpen() {
  char name1[] = "/tmp/hist1", name2[] = "/tmp/hist2";
  static DBM *d1 = dbm_open(name1, O_RDWR | O_CREAT, 0644), *d2 = dbm_open(name2, O_RDWR | O_CREAT, 0644);
  static int pag1 = dbm_pagfno(d1), pag2 = dbm_pagfno(d2);
  ALRM_close_history = [] { dbm_close(d1), dbm_close(d2); };
  atexit([] {
    const bool closed = !ALRM_close_history && fcntl(pag1, F_GETFD) == -1 && fcntl(pag2, F_GETFD) == -1;
    fputs(closed ? "history closed\n" : "history open\n", stderr);
  });
  err_quit("giving up");
}

// The stopping functions of both end the process, the daemon's with the
// history files closed first.
TEST(MonErrorDeathTest, StoppingFunctions) {
  EXPECT_EXIT({ errno = ENOENT; err_quit("bad option %c", 'z'); }, testing::ExitedWithCode(1), "bad option z\n$");
  EXPECT_EXIT({ errno = EACCES; err_sys("cannot read %s", "f"); }, testing::ExitedWithCode(1),
              "cannot read f\\. " + S(strerror(EACCES)) + "\n$");
  EXPECT_EXIT({ rlimit none = {}; setrlimit(RLIMIT_CORE, &none); err_dump("out of %s", "memory"); },
              testing::KilledBySignal(SIGABRT), "out of memory\n");
  EXPECT_EXIT(QuitWithHistoryOpen(), testing::ExitedWithCode(1), "giving up\nhistory closed\n$");
  EXPECT_EXIT(Mon_SysErrFatal(40, "f.c", "", "Mon_Op", "boom"), testing::ExitedWithCode(1),
              "\nFATAL SYSTEM ERROR: Mon_Op: boom\nerrno=");
  EXPECT_EXIT(Mon_ErrFatal(41, "f.c", "", "Mon_Op", "boom"), testing::ExitedWithCode(1), "\nFATAL ERROR: Mon_Op: boom\n");
}

S Report(int line, const char *file = "site.c", bool sys = false, const char *msg = "msg") {
  testing::internal::CaptureStderr();
  (sys ? Mon_SysErrRet : Mon_ErrRet)(line, file, "Jan  2 2024", "Mon_Op", "%s", msg);
  return testing::internal::GetCapturedStderr();
}

// A report's lines, the system error (ENOSYS for one without a text) with
// errno kept, a long report cut to the buffer with its line ended, bursts.
TEST(MonErr, ReportFormsAndBursts) {
  S head = "\nERROR: Mon_Op: bad thing\nsite.c(12) of [Jan  2 2024] on ", out = Report(12, "site.c", false, "bad thing");
  EXPECT_EQ(std::make_pair(head, head.size() + 25), std::make_pair(out.substr(0, head.size()), out.size()));
  for (auto [e, shown] : {std::pair{ENOENT, ENOENT}, {0, ENOSYS}, {-1, ENOSYS}, {99999, ENOSYS}}) {
    head = "\nSYSTEM ERROR: Mon_Op: open x\nerrno=" + std::to_string(shown) + " " + strerror(shown) + "\nsite.c(";
    out = (errno = e, Report(20 + e % 7, "site.c", true, "open x"));
    EXPECT_EQ(std::make_pair(head, shown), std::make_pair(out.substr(0, head.size()), errno)) << e;
  }
  out = Report(14, "site.c", false, S(1000, 'x').c_str());
  EXPECT_EQ(std::make_tuple(size_t{255}, S("\nERROR: Mon_Op: xxxx"), '\n'),
            std::make_tuple(out.size(), out.substr(0, 20), out.back()));
  // Bursts from one site are cut after three, sites told apart by their text.
  char file[] = "x.c";
  int shown = 0;
  for (int line : {30, 30, 30, 30, 31, 30, 30, 30, 30}) shown += !Report(line, file).empty();
  file[0] = 'y';
  EXPECT_EQ(std::make_pair(7, false), std::make_pair(shown, Report(30, file).empty()));
}

}  // namespace
