// Following a table through a proxy restart: whether a live table is at
// the path, and whether the one attached to is still it.
#include <fcntl.h>
#include <sys/stat.h>

#include <functional>

#include "table_util.h"

namespace {

const char kPath[] = MON_MMAP_DIR MON_MMAP_NAME;

// A process id that no process has any more.
int32_t DeadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// A table file of size bytes whose creator entry is pid.
void WriteTable(off_t size, int32_t pid) {
  int fd = open(kPath, O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, size));
  ASSERT_EQ(4, pwrite(fd, &pid, 4, offsetof(MonMmap_t, procPid)));
  close(fd);
}

TEST(LiveCreatorTest, NamesOnlyALiveCreatorOfAWholeTable) {
  const int32_t me = getpid();
  struct Case {
    const char *name;
    std::function<void()> make;
    int32_t want;
  } cases[] = {
      {"no file", [] {}, 0},
      {"live creator", [&] { WriteTable(MON_MMAP_SIZE, me); }, me},
      {"dead creator", [] { WriteTable(MON_MMAP_SIZE, DeadPid()); }, 0},
      {"no creator", [] { WriteTable(MON_MMAP_SIZE, 0); }, 0},
      {"short file", [&] { WriteTable(MON_MMAP_SIZE - 1, me); }, 0},
      {"symbolic link", [&] {
         WriteTable(MON_MMAP_SIZE, me);
         ASSERT_EQ(0, rename(kPath, "/tmp/elsewhere"));
         ASSERT_EQ(0, symlink("/tmp/elsewhere", kPath));
       }, 0},
  };
  for (const Case &c : cases) {
    unlink(kPath);
    c.make();
    EXPECT_EQ(c.want, Mon_MmapLiveCreator()) << c.name;
  }
  unlink(kPath);
  unlink("/tmp/elsewhere");
}

using ReplacedTest = WriterTest;

// Each case changes the table under an attached reader 5 in its own way.
TEST_F(ReplacedTest, SeesATableGoneReplacedOrMadeAgain) {
  struct Case {
    const char *name;
    std::function<void()> change;
    int want;
  } cases[] = {
      {"unchanged", [] {}, 0},
      {"file removed", [] { ASSERT_EQ(0, rename(kPath, "/tmp/old.mmap")); }, 1},
      {"file replaced", [] {
         ASSERT_EQ(0, rename(kPath, "/tmp/old.mmap"));
         WriteTable(MON_MMAP_SIZE, getpid());
       }, 1},
      {"creator gone", [] { monMmapPtr->procPid[0] = DeadPid(); }, 1},
      {"made again in place", [] { monMmapPtr->procPid[MON_ALARM_READER] = 0; }, 1},
  };
  MonMmap_t *writer_region = monMmapPtr;
  for (const Case &c : cases) {
    Mon_Handle_t r = nullptr;
    ASSERT_EQ(0, Mon_MmapOpen(MON_ALARM_READER, &r)) << c.name;
    c.change();
    EXPECT_EQ(c.want, Mon_MmapReplaced(r)) << c.name;
    // Put the writer's table back as it was for the next case.
    Mon_MmapDrop(r);
    EXPECT_EQ(nullptr, monMmapPtr) << "the dropped mapping is forgotten";
    monMmapPtr = writer_region;
    monMmapPtr->procPid[0] = getpid();
    monMmapPtr->procPid[MON_ALARM_READER] = 0;
    if (access("/tmp/old.mmap", F_OK) == 0) {
      ASSERT_EQ(0, rename("/tmp/old.mmap", kPath));
    }
  }
}

}  // namespace
