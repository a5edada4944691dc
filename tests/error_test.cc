// The daemon's messages in the foreground: texts, cutting, and how the
// stopping functions end the process.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <syslog.h>

#include <string>

#include <gtest/gtest.h>

#include "error.h"

namespace {

std::string Text(int err) { return strerror(err); }

TEST(Error, ForegroundMessages) {
  testing::internal::CaptureStderr();
  err_init("tollwatch");
  errno = 0;
  EXPECT_EQ(err_ret("rule %d skipped", 7), -1);
  errno = ENOENT;
  EXPECT_EQ(err_ret("cannot open %s", "x"), -1);
  SYSLOG(LOG_NOTICE, "100% done %s");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tollwatch\nrule 7 skipped\ncannot open x. " + Text(ENOENT) +
                "\n100% done %s\n");
}

TEST(Error, LongMessagesAreCut) {
  std::string big(300, 'x');
  std::string with_text = big.substr(0, 250) + ". " + Text(ENOENT);
  testing::internal::CaptureStderr();
  errno = ENOENT;
  err_ret("%s", big.c_str());  // no room left for the error text
  err_ret("%s", big.substr(0, 250).c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            big.substr(0, 254) + "\n" + with_text.substr(0, 254) + "\n");
}

int pag1 = -1, pag2 = -1;

// Quits with both history files open; at exit, tells whether they were closed.
void QuitWithHistoryOpen() {
  char name1[] = "/tmp/hist1", name2[] = "/tmp/hist2";
  db1 = dbm_open(name1, O_RDWR | O_CREAT, 0644);
  db2 = dbm_open(name2, O_RDWR | O_CREAT, 0644);
  if (db1 == nullptr || db2 == nullptr) _exit(2);
  pag1 = dbm_pagfno(db1);
  pag2 = dbm_pagfno(db2);
  atexit([] {
    bool closed = db1 == nullptr && db2 == nullptr && fcntl(pag1, F_GETFD) == -1 &&
                  fcntl(pag2, F_GETFD) == -1;
    fputs(closed ? "history closed\n" : "history open\n", stderr);
  });
  err_quit("giving up");
}

TEST(ErrorDeathTest, StoppingFunctions) {
  // err_quit never adds the system error text.
  EXPECT_EXIT({ errno = ENOENT; err_quit("bad option %c", 'z'); }, testing::ExitedWithCode(1),
              "bad option z\n$");
  EXPECT_EXIT({ errno = EACCES; err_sys("cannot read %s", "f"); }, testing::ExitedWithCode(1),
              "cannot read f\\. " + Text(EACCES) + "\n$");
  EXPECT_EXIT({ rlimit none = {}; setrlimit(RLIMIT_CORE, &none); err_dump("out of %s", "memory"); },
              testing::KilledBySignal(SIGABRT), "out of memory\n");
  EXPECT_EXIT(QuitWithHistoryOpen(), testing::ExitedWithCode(1), "giving up\nhistory closed\n$");
}

}  // namespace
