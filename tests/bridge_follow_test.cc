// The log follower: lines as they arrive, rotations and truncations, the
// state file across restarts, cut lines, standard input.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "follow.h"

namespace {

using bridge::Follower;
using S = std::string;

class Follow : public testing::Test {
 protected:
  void SetUp() override {
    const char *t = getenv("TMPDIR");
    dir_ = S(t && *t ? t : "/tmp") + "/followXXXXXX";
    ASSERT_NE(mkdtemp(&dir_[0]), nullptr);
    log_ = dir_ + "/log";
    opt_.state_path = dir_ + "/state";
  }
  void TearDown() override {
    DIR *d = opendir(dir_.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
      if (e->d_name[0] != '.') unlink((dir_ + "/" + e->d_name).c_str());
    if (d) closedir(d);
    rmdir(dir_.c_str());
  }

  static void Append(const S &path, const S &text) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
  }

  // Up to n lines (space-separated, "/cut" after a cut one), waiting up to
  // ms for them.
  static S Lines(Follower &f, int n, int ms = 2000) {
    S out, line;
    bool cut;
    for (int got = 0, waited = 0; got < n && waited < ms;) {
      int r = f.next(&line, &cut);
      if (r < 0) break;
      if (r == 0) {
        f.wait(10, -1);
        waited += 10;
        continue;
      }
      out += (got++ ? " " : "") + line + (cut ? "/cut" : "");
    }
    return out;
  }

  static int Next(Follower &f) {
    S line;
    bool cut;
    return f.next(&line, &cut);
  }

  S dir_, log_;
  Follower::Options opt_;
};

// The file may come later; an unfinished line waits for its end, the rest
// of the file is what behind() counts, and reopen() goes on from the last
// line handed out, not from what was read ahead.
TEST_F(Follow, LinesInPieces) {
  Follower f(log_, opt_);
  ASSERT_TRUE(f.open()) << f.error();
  EXPECT_EQ(0, Next(f));
  Append(log_, "ab");
  EXPECT_EQ("", Lines(f, 1, 300));
  Append(log_, "c\r\nd");
  EXPECT_EQ("abc", Lines(f, 1));
  EXPECT_EQ(0, Next(f));
  EXPECT_EQ(1u, f.behind());
  Append(log_, "\ne\nf\n");
  EXPECT_EQ("d e", Lines(f, 2));
  f.reopen();
  EXPECT_EQ("f", Lines(f, 2, 300));
}

// Renamed away, the old file is read to its end, also what the writer puts
// there while the new file is still empty, then the new file.
TEST_F(Follow, RenameRotation) {
  Append(log_, "1\n2\n");
  opt_.from_start = true;
  Follower f(log_, opt_);
  ASSERT_TRUE(f.open());
  EXPECT_EQ("1 2", Lines(f, 2));
  int old = open(log_.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(0, rename(log_.c_str(), (log_ + ".1").c_str()));
  Append(log_, "");
  ASSERT_EQ(2, write(old, "3\n", 2));
  EXPECT_EQ("3", Lines(f, 1));
  EXPECT_EQ("", Lines(f, 1, 300));  // looked at the empty new file
  ASSERT_EQ(3, write(old, "4\n5", 3));
  close(old);
  Append(log_, "6\n7\n");
  EXPECT_EQ("4 5 6 7", Lines(f, 4));
}

// Truncated in place: read again from the start, also when the file grew
// past the old position before it was looked at.
TEST_F(Follow, CopyTruncate) {
  const S one(80, '1');
  Append(log_, one + "\ntwo\n");
  opt_.from_start = true;
  Follower f(log_, opt_);
  ASSERT_TRUE(f.open());
  EXPECT_EQ(one + " two", Lines(f, 2));
  ASSERT_EQ(0, truncate(log_.c_str(), 0));
  Append(log_, "3\n");
  EXPECT_EQ("3", Lines(f, 2, 300));
  ASSERT_EQ(0, truncate(log_.c_str(), 0));
  Append(log_, S(90, '4') + "\nfive\n");
  EXPECT_EQ(S(90, '4') + " five", Lines(f, 3, 300));
  Append(log_, "six\n");
  EXPECT_EQ("six", Lines(f, 2, 300));
}

// A new follower goes on after the last line handed out, not after what
// was read ahead; a file truncated since is read from its start; without
// a state the start is the end of the file.
TEST_F(Follow, ResumeFromState) {
  Append(log_, "1\n2\n3\n4\n");
  {
    Follower f(log_, opt_);
    ASSERT_TRUE(f.open());
    Append(log_, "5\n");
    EXPECT_EQ("5", Lines(f, 1));
    ASSERT_TRUE(f.save());
  }
  struct stat st;
  ASSERT_EQ(0, stat(opt_.state_path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  ASSERT_EQ(0, truncate(log_.c_str(), 0));
  Append(log_, "a\nb\nc\n");
  {
    Follower f(log_, opt_);
    ASSERT_TRUE(f.open());
    EXPECT_EQ("a b", Lines(f, 2));
    ASSERT_TRUE(f.save());
  }
  Follower f(log_, opt_);
  ASSERT_TRUE(f.open());
  EXPECT_EQ("c", Lines(f, 2, 300));
}

// Rotated while no follower ran: the rest of the rotated file found next
// to the name, then the new file; with no rotated file, the new file.
TEST_F(Follow, ResumeAcrossRotation) {
  Append(log_, "1\n2\n");
  opt_.from_start = true;
  for (const char *moved : {"/log.1", "/elsewhere"}) {
    unlink(opt_.state_path.c_str());
    {
      Follower f(log_, opt_);
      ASSERT_TRUE(f.open());
      EXPECT_EQ("1", Lines(f, 1));
      ASSERT_TRUE(f.save(true));
    }
    ASSERT_EQ(0, rename(log_.c_str(), (dir_ + moved).c_str()));
    Append(dir_ + moved, "3\n");
    Append(log_, "1\n2\n");
    Follower f(log_, opt_);
    ASSERT_TRUE(f.open());
    EXPECT_EQ(S(moved) == "/log.1" ? "2 3 1 2" : "1 2", Lines(f, 4, 500)) << moved;
  }
}

// The state is kept in two slots written in turn: a damaged newer slot
// leaves the older one, two damaged slots are an error.
TEST_F(Follow, DamagedStateSlots) {
  Append(log_, "1\n2\n3\n");
  opt_.from_start = true;
  {
    Follower f(log_, opt_);
    ASSERT_TRUE(f.open());
    EXPECT_EQ("1", Lines(f, 1));
    ASSERT_TRUE(f.save());
    EXPECT_EQ("2", Lines(f, 1));
    ASSERT_TRUE(f.save());
  }
  struct stat st;
  ASSERT_EQ(0, stat(opt_.state_path.c_str(), &st));
  int fd = open(opt_.state_path.c_str(), O_WRONLY);
  ASSERT_EQ(3, pwrite(fd, "xyz", 3, st.st_size - 30));
  {
    Follower f(log_, opt_);
    ASSERT_TRUE(f.open()) << f.error();
    EXPECT_EQ("2 3", Lines(f, 2));
  }
  ASSERT_EQ(3, pwrite(fd, "xyz", 3, 20));
  close(fd);
  Follower f(log_, opt_);
  EXPECT_FALSE(f.open());
  EXPECT_NE(S::npos, f.error().find("damaged")) << f.error();
}

// At the end with stop_at_end, the unended last line, then the end.  Lines
// longer than max_line are cut, also one larger than the read buffer; a
// CR before the line end does not count.
TEST_F(Follow, StopAtEndAndLongLines) {
  Append(log_, "0123456789\n12345678\r\n" + S(300000, 'x') + "\nok\nc\r");
  opt_.from_start = opt_.stop_at_end = true;
  opt_.max_line = 8;
  Follower f(log_, opt_);
  ASSERT_TRUE(f.open());
  EXPECT_EQ("01234567/cut 12345678 xxxxxxxx/cut ok c", Lines(f, 9));
  EXPECT_EQ(-1, Next(f));
}

// Standard input: lines as they come, nothing while none is whole, the
// unended last one when it closes.
TEST_F(Follow, StandardInput) {
  int p[2], saved = dup(0);
  ASSERT_EQ(0, pipe(p));
  dup2(p[0], 0);
  close(p[0]);
  Follower f("-", opt_);
  ASSERT_TRUE(f.open());
  ASSERT_EQ(3, write(p[1], "x\ny", 3));
  EXPECT_EQ("x", Lines(f, 1));
  EXPECT_EQ(0, Next(f));
  close(p[1]);
  EXPECT_EQ("y", Lines(f, 2));
  EXPECT_EQ(-1, Next(f));
  dup2(saved, 0);
  close(saved);
}

}  // namespace
