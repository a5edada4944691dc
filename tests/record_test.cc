// The connection record: validation, its variables as numbers and texts,
// the trace line, and which aggregate kinds a record counts for.
#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "audit.h"
#include "monMmap.h"
#include "rules_util.h"

namespace {

int A(const char *dotted) { return static_cast<int>(inet_addr(dotted)); }

// One connection as the polling loop hands it over; valid as it stands.
struct Conn {
  int src = A("1.2.3.4"), dst = A("5.6.7.8"), time = 1000000000, app = 21, err = 0;
  const char *user = "bob", *Src = "a.example", *Dst = "b.example", *App = "ftp";
  uint32_t in = 10, out = 20;
  int pid = 7, dur = 3, last = 0, id = 99, mute = 0;
  int Into(Record &r) const {
    return r.set_value(src, dst, user, time, app, err, in, out, Src, Dst, App, pid, dur, last, id,
                       mute);
  }
};

// What f writes on standard error, with errno cleared so that none is shown.
template <class F> std::string Stderr(F f) {
  errno = 0;
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

class RecordTest : public testing::Test {
 protected:
  TestRules rules;  // the current rule set holds the trace flag
  Record r;
};

TEST_F(RecordTest, ValidationKindsAndTrace) {
  // kinds, for a valid record: bit k set when it counts for kind k (FAIL,
  // IN, OUT, TRAFFIC, ACCESS, DURATION).
  struct { int app, err; uint32_t in, out; int dur, rc, kinds; } cases[] = {
      {65535, 0, 10, 20, 3, 0, 0x3e}, {-65535, 5, 10, 20, 3, 0, 0x01}, {21, 0, 0, 0, 0, 0, 0x10},
      {21, -3, 0, 0, 0, 0, 0x10}, {-1, 0, 10, 0, 0, 0, 0x1a}, {21, 0, 0, 5, 1, 0, 0x3c},
      {0, 0, 10, 20, 3, -1, 0}, {65536, 0, 10, 20, 3, -1, 0}, {-65536, 0, 10, 20, 3, -1, 0},
      {21, 0, 10, 20, -1, -1, 0}, {21, 0, 3000000000, 1, 3, 0, 0x3e},
      {21, 0, 0, UINT32_MAX, 0, 0, 0x1c}, {21, 0, UINT32_MAX, UINT32_MAX, 3, 0, 0x3e}};
  for (auto &c : cases) {
    Conn conn;
    conn.app = c.app, conn.err = c.err, conn.in = c.in, conn.out = c.out, conn.dur = c.dur;
    Stderr([&] { EXPECT_EQ(conn.Into(r), c.rc) << c.app << " " << c.in << " " << c.out; });
    int kinds = 0;
    for (int k = 0; k <= N_TOTALS; k++) kinds |= r.must_update(k) << k;
    EXPECT_EQ(c.rc ? 0 : kinds, c.kinds) << c.err << " " << c.in << " " << c.out << " " << c.dur;
  }

  // A rejected record is reported once it has a destination, unless muted.
  Conn conn;
  conn.app = 0, conn.user = "";
  EXPECT_EQ(Stderr([&] { conn.Into(r); }),
            "invalid: port:0(ftp) UNKNOWN@a.example->b.example dur:3 in:10 out:20\n");
  conn.dst = 0;
  EXPECT_EQ(Stderr([&] { EXPECT_EQ(conn.Into(r), -1); }), "");
  Conn muted;
  muted.app = 0, muted.mute = 1, muted.user = nullptr;
  EXPECT_EQ(Stderr([&] { EXPECT_EQ(muted.Into(r), 0); }), "");
  EXPECT_STREQ(r.usr(), "UNKNOWN");

  // The trace line, when tracing and not muted.
  Conn udp;
  udp.app = -53, udp.err = 5, udp.last = 42;
  rules.table.set_trace();
  EXPECT_EQ(Stderr([&] { udp.Into(r); }),
            "\n1000000000: bob@1.2.3.4->5.6.7.8 53/udp err:5 10(i)+20(o)=30"
            " pid: 7 dur: 3 id:99 read=42\n");
  EXPECT_EQ(Stderr([&] { muted.Into(r); }), "");
  // Byte counts are unsigned and add up exactly.
  udp.in = 3000000000u, udp.out = UINT32_MAX, udp.err = 0;
  EXPECT_EQ(Stderr([&] { EXPECT_EQ(udp.Into(r), 0); }),
            "\n1000000000: bob@1.2.3.4->5.6.7.8 53/udp err:0 3000000000(i)+4294967295(o)="
            "7294967295 pid: 7 dur: 3 id:99 read=42\n");
  EXPECT_TRUE(r.in() == 3000000000u && r.out() == UINT32_MAX && r.tot() == 7294967295u);
  udp.app = INT32_MIN, udp.in = 1, udp.out = 2;  // traced, then refused
  EXPECT_EQ(Stderr([&] { EXPECT_EQ(udp.Into(r), -1); }),
            "\n1000000000: bob@1.2.3.4->5.6.7.8 2147483648/udp err:0 1(i)+2(o)=3"
            " pid: 7 dur: 3 id:99 read=42\n"
            "invalid: port:-2147483648(ftp) bob@a.example->b.example dur:3 in:1 out:2\n");
}

TEST_F(RecordTest, Variables) {
  Conn udp;  // without source or service name
  udp.app = -53, udp.err = 5, udp.Src = "", udp.App = "";
  Conn tcp;  // without destination name; an error code out of range
  tcp.err = -1, tcp.Dst = nullptr, tcp.pid = 0;
  struct { const Conn *conn; int var; const char *text; } texts[] = {
      {&udp, VAR_SRC_NAME, "1.2.3.4"}, {&udp, VAR_SRC, "1.2.3.4"}, {&udp, VAR_DST, "b.example"},
      {&udp, VAR_DST_IP, "5.6.7.8"}, {&udp, VAR_APP_NAME, "53/udp"}, {&udp, VAR_APP, "53/udp"},
      {&udp, VAR_USER, "bob"}, {&udp, VAR_ERROR, "5"}, {&udp, VAR_PID, "7"}, {&tcp, VAR_PID, "0"},
      {&tcp, VAR_SRC_IP, "1.2.3.4"}, {&tcp, VAR_SRC, "a.example"}, {&tcp, VAR_DST_NAME, "5.6.7.8"},
      {&tcp, VAR_APP_NAME, "ftp"}, {&tcp, VAR_APP_PORT, "21/tcp"}, {&tcp, VAR_ERROR, "overflow"}};
  for (auto &c : texts) {
    c.conn->Into(r);
    EXPECT_STREQ(r.get_str(c.var, nullptr), c.text) << c.var;
  }
  udp.Into(r);
  time_t t = udp.time;
  EXPECT_EQ(r.get_str(VAR_TIME, nullptr) + std::string("\n"), ctime(&t));
  for (auto [var, num] : std::initializer_list<std::pair<int, int>>{
           {VAR_SRC, A("1.2.3.4")}, {VAR_DST, A("5.6.7.8")}, {VAR_APP, -53},
           {VAR_TIME, 1000000000}, {VAR_ERROR, 5}})
    EXPECT_EQ(*static_cast<int *>(r.get_num(var, nullptr)), num) << var;
  EXPECT_STREQ(static_cast<char *>(r.get_num(VAR_USER, nullptr)), "bob");

  char agg[] = "FAIL[src]", *p = agg;  // an aggregate with nothing counted yet
  token.get(p, 0, OPERAND_DELIMS);
  void *total;
  int code = token.parse(total, p);
  EXPECT_STREQ(r.get_str(code, total), "0");
  EXPECT_EQ(*static_cast<double *>(r.get_num(code, total)), 0.0);

  EXPECT_EQ(Stderr([&] { EXPECT_EQ(r.get_num(VAR_SRC_NAME, nullptr), nullptr); }),
            "internal error when getting variable value\n");
}

TEST_F(RecordTest, LongTextsAreCut) {
  std::string host(200, 'h'), app(20, 'p');
  Conn conn;
  conn.Src = conn.Dst = host.c_str(), conn.App = app.c_str();
  // A user field of 128 bytes with no terminator, before an unreadable page.
  long page = sysconf(_SC_PAGESIZE);
  char *mem = static_cast<char *>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(mem + page, page, PROT_NONE), 0);
  conn.user = static_cast<char *>(memset(mem + page - 128, 'u', 128));
  ASSERT_EQ(conn.Into(r), 0);
  EXPECT_EQ(r.usr(), std::string(128, 'u'));
  EXPECT_EQ(r.Src(), host.substr(0, 128));
  EXPECT_EQ(r.get_str(VAR_DST_NAME, nullptr), host.substr(0, 128));
  EXPECT_EQ(r.get_str(VAR_APP, nullptr), app.substr(0, 16));
  munmap(mem, 2 * page);
}

// The table's times give the duration, from the start to the end or, while
// the connection runs, to the moment it was taken; extreme times neither
// wrap around nor overflow.
TEST_F(RecordTest, DurationFromTheTable) {
  struct { int32_t start, cur, end; int rc, dur; } cases[] = {
      {100, 250, 0, 0, 150}, {100, 250, 180, 0, 80}, {100, 50, 0, -1, -50},
      {INT32_MIN, INT32_MAX, 0, 0, INT32_MAX}, {INT32_MIN + 1, 5, INT32_MAX, 0, INT32_MAX},
      {INT32_MAX, 0, INT32_MIN, -1, INT32_MIN}, {INT32_MAX, INT32_MIN, 0, -1, INT32_MIN}};
  for (auto &c : cases) {
    Mon_Conn_t conn{};
    conn.startTime = c.start, conn.curTime = c.cur, conn.endTime = c.end;
    conn.socksCmd = 1, conn.inTotBytes = 3000000000u, conn.outTotBytes = 1;
    conn.dstSockAddr.sin_port = htons(80);
    Stderr([&] { EXPECT_EQ(read_from_monitor(&conn, r), c.rc) << c.start << " " << c.end; });
    EXPECT_EQ(r.dur(), c.dur) << c.start << " " << c.cur << " " << c.end;
    EXPECT_EQ(r.in(), 3000000000u);
  }
}

// Names with control bytes cannot forge lines of the trace or the log.
TEST_F(RecordTest, NamesAreEscapedInTraceAndReports) {
  Conn forged;
  forged.user = "eve\n1000000000: root\\x\x1b[2J\x7f";
  rules.table.set_trace();
  EXPECT_EQ(Stderr([&] { forged.Into(r); }),
            "\n1000000000: eve\\0121000000000: root\\\\x\\033[2J\\177@1.2.3.4->"
            "5.6.7.8 21/tcp err:0 10(i)+20(o)=30 pid: 7 dur: 3 id:99 read=0\n");
  rules.table.unset_trace();
  forged.app = 0, forged.Src = "s\rt", forged.Dst = "d\n", forged.App = "a\tb";
  EXPECT_EQ(Stderr([&] { forged.Into(r); }),
            "invalid: port:0(a\\011b) eve\\0121000000000: root\\\\x\\033[2J\\177"
            "@s\\015t->d\\012 dur:3 in:10 out:20\n");
  EXPECT_STREQ(r.usr(), forged.user);  // the record keeps the name as it is
}

}  // namespace
