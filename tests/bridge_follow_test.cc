// The log follower: lines as they arrive, rotations and truncations, the
// state file across restarts, cut lines, standard input.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "follow.h"

namespace {

using bridge::Follower;
using S = std::string;

class Follow : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = (std::filesystem::temp_directory_path() / "followXXXXXX").string();
    ASSERT_NE(mkdtemp(&dir_[0]), nullptr);
    log_ = dir_ + "/log";
    opt_.state_path = dir_ + "/state";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static void Append(const S &path, const S &text) { std::ofstream(path, std::ios::app) << text; }
  bool Open(const S &path = "") {  // a new follower on path (else the log), opened
    f_.reset(new Follower(path.empty() ? log_ : path, opt_));  // the old one gone before
    return f_->open();
  }
  // Up to n lines, space-separated ("/cut" after a cut one, END for the
  // end of the input), waiting up to ms for them; Add appends text first.
  S Lines(int n, int ms = 2000) {
    S out, line;
    bool cut = false;
    for (int got = 0, waited = 0, r = 1; got < n && waited < ms && r >= 0; waited += r ? 0 : 10) {
      if ((r = f_->next(&line, &cut)) == 0) f_->wait(10, -1);
      else out += (got++ ? " " : "") + (r < 0 ? "END" : line + (cut ? "/cut" : ""));
    }
    return out;
  }
  S Add(const S &text, int n, int ms = 2000) { Append(log_, text); return Lines(n, ms); }
  S dir_, log_;
  Follower::Options opt_;
  std::unique_ptr<Follower> f_;
};

// The file may come later; an unfinished line waits for its end, behind()
// counts the rest; reopen() goes on after the last line handed out.  With
// stop_at_end: the unended last line, then the end; lines over max_line
// cut, also one larger than the read buffer; a CR before the line end not
// counted.  Standard input: whole lines, the unended last one at its close.
TEST_F(Follow, LinesInPiecesAndEnds) {
  ASSERT_TRUE(Open()) << f_->error();
  EXPECT_EQ("", Lines(1, 10));
  EXPECT_EQ("", Add("ab", 1, 300));
  EXPECT_EQ("abc", Add("c\r\nd", 1));
  EXPECT_EQ("", Lines(1, 10));
  EXPECT_EQ(1u, f_->behind());
  EXPECT_EQ("d e", Add("\ne\nf\n", 2));
  f_->reopen();
  EXPECT_EQ("f", Lines(2, 300));
  Append(dir_ + "/long", "0123456789\n12345678\r\n" + S(300000, 'x') + "\nok\nc\r");
  opt_.stop_at_end = opt_.from_start = true;
  opt_.max_line = 8;
  ASSERT_TRUE(Open(dir_ + "/long"));
  EXPECT_EQ("01234567/cut 12345678 xxxxxxxx/cut ok c END", Lines(9));
  int p[2];
  ASSERT_EQ(0, pipe(p));
  dup2(p[0], 0);
  close(p[0]);
  opt_.stop_at_end = opt_.from_start = false;
  ASSERT_TRUE(Open("-"));
  ASSERT_EQ(3, write(p[1], "x\ny", 3));
  EXPECT_EQ("x", Lines(1));
  EXPECT_EQ("", Lines(1, 10));
  close(p[1]);
  EXPECT_EQ("y END", Lines(3));  // stdin is left at its end
}

// Renamed away, the old file is read to its end, also what is written there
// while the new file is still empty, then the new file.  Truncated in place:
// read again from the start, also when it grew past the old position.
TEST_F(Follow, RenameRotationAndCopyTruncate) {
  opt_.from_start = true;
  Append(log_, "1\n2\n");
  ASSERT_TRUE(Open());
  EXPECT_EQ("1 2", Lines(2));
  int old = open(log_.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(0, rename(log_.c_str(), (log_ + ".1").c_str()));
  Append(log_, "");
  ASSERT_EQ(2, write(old, "3\n", 2));
  EXPECT_EQ("3", Lines(1));
  EXPECT_EQ("", Lines(1, 300));  // looked at the empty new file
  ASSERT_EQ(3, write(old, "4\n5", 3));
  close(old);
  EXPECT_EQ("4 5 " + S(80, '6') + " 7", Add(S(80, '6') + "\n7\n", 4));
  ASSERT_EQ(0, truncate(log_.c_str(), 0));
  EXPECT_EQ("8", Add("8\n", 2, 300));
  ASSERT_EQ(0, truncate(log_.c_str(), 0));
  EXPECT_EQ(S(90, '9') + " ten", Add(S(90, '9') + "\nten\n", 3, 300));
  EXPECT_EQ("eleven", Add("eleven\n", 2, 300));
}

// A new follower goes on after the last line handed out, not after what
// was read ahead; a file truncated since from its start; with no state at
// the end; the state is private.  Rotated meanwhile: the rest of the
// rotated file found next to the name, then the new file (alone if none).
TEST_F(Follow, ResumeFromState) {
  Append(log_, "1\n2\n3\n4\n");
  ASSERT_TRUE(Open());
  EXPECT_EQ("5", Add("5\n", 1));
  ASSERT_TRUE(f_->save());
  EXPECT_EQ(std::filesystem::perms(0600), std::filesystem::status(opt_.state_path).permissions());
  ASSERT_EQ(0, truncate(log_.c_str(), 0));
  Append(log_, "a\nb\nc\n");
  ASSERT_TRUE(Open());
  EXPECT_EQ("a b", Lines(2));
  ASSERT_TRUE(f_->save());
  ASSERT_TRUE(Open());
  EXPECT_EQ("c", Lines(2, 300));
  opt_.from_start = true;
  for (const S moved : {"/log.1", "/elsewhere"}) {
    unlink(opt_.state_path.c_str());
    std::ofstream(log_) << "1\n2\n";
    ASSERT_TRUE(Open());
    EXPECT_EQ("1", Lines(1));
    ASSERT_TRUE(f_->save(true));
    ASSERT_EQ(0, rename(log_.c_str(), (dir_ + moved).c_str()));
    Append(dir_ + moved, "3\n");
    Append(log_, "1\n2\n");
    ASSERT_TRUE(Open());
    EXPECT_EQ(moved == "/log.1" ? "2 3 1 2" : "1 2", Lines(4, 500)) << moved;
  }
}

// The state is kept in two slots written in turn: a damaged newer slot
// leaves the older one, two damaged slots are an error.
TEST_F(Follow, DamagedStateSlots) {
  opt_.from_start = true;
  Append(log_, "1\n2\n3\n");
  ASSERT_TRUE(Open());
  EXPECT_EQ("1", Lines(1));
  ASSERT_TRUE(f_->save());
  EXPECT_EQ("2", Lines(1));
  ASSERT_TRUE(f_->save());
  int fd = open(opt_.state_path.c_str(), O_WRONLY);
  ASSERT_EQ(3, pwrite(fd, "xyz", 3, std::filesystem::file_size(opt_.state_path) - 30));
  ASSERT_TRUE(Open()) << f_->error();
  EXPECT_EQ("2 3", Lines(2));
  ASSERT_EQ(3, pwrite(fd, "xyz", 3, 20));
  close(fd);
  EXPECT_FALSE(Open());
  EXPECT_NE(S::npos, f_->error().find("damaged")) << f_->error();
}

}  // namespace
