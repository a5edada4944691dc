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
#include "rules_util.h"

namespace {

int A(const char *dotted) { return static_cast<int>(inet_addr(dotted)); }

// One connection as the polling loop hands it over; valid as it stands.
struct Conn {
  int src = A("1.2.3.4"), dst = A("5.6.7.8");
  const char *user = "bob";
  int time = 1000000000, app = 21, err = 0, in = 10, out = 20;
  const char *Src = "a.example", *Dst = "b.example", *App = "ftp";
  int pid = 7, dur = 3, last = 0, id = 99, mute = 0;

  int Into(Record &r) const {
    return r.set_value(src, dst, user, time, app, err, in, out, Src, Dst, App,
                       pid, dur, last, id, mute);
  }
};

class RecordTest : public testing::Test {
 protected:
  // Runs f with standard error captured; errno is cleared first so that
  // messages carry no system error text.
  template <class F> std::string Stderr(F f) {
    errno = 0;
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
  }

  TestRules rules;  // the current rule set holds the trace flag
  Record r;
};

TEST_F(RecordTest, Validation) {
  struct { int app, dur, in, out; const char *user; int rc; } cases[] = {
      {21, 3, 10, 20, "bob", 0},     {0, 3, 10, 20, "bob", -1},
      {65535, 3, 10, 20, "bob", 0},  {-65535, 3, 10, 20, "bob", 0},
      {65536, 3, 10, 20, "bob", -1}, {-65536, 3, 10, 20, "bob", -1},
      {21, -1, 10, 20, "bob", -1},   {21, 3, -1, 20, "bob", -1},
      {21, 3, 10, -1, "bob", -1},    {21, 0, 0, 0, "bob", 0},
      {-53, 3, 10, 20, "", 0},       {-53, 3, 10, 20, nullptr, 0}};
  for (auto &c : cases) {
    Conn conn;
    conn.app = c.app, conn.dur = c.dur, conn.in = c.in, conn.out = c.out;
    conn.user = c.user;
    Stderr([&] { EXPECT_EQ(conn.Into(r), c.rc) << c.app << " " << c.dur; });
    EXPECT_STREQ(r.usr(), c.user != nullptr && *c.user ? c.user : "UNKNOWN");
  }
  EXPECT_EQ(r.tot(), 30);
  Conn muted;
  muted.app = 0, muted.mute = 1;
  EXPECT_EQ(Stderr([&] { EXPECT_EQ(muted.Into(r), 0); }), "");
}

TEST_F(RecordTest, RejectedRecordsAreLoggedOnceTheyHaveADestination) {
  Conn conn;
  conn.app = 0;
  EXPECT_EQ(Stderr([&] { conn.Into(r); }),
            "invalid: port:0(ftp) bob@a.example->b.example dur:3 in:10 out:20\n");
  conn.app = 21, conn.dur = -4, conn.user = "";
  EXPECT_EQ(Stderr([&] { conn.Into(r); }),
            "invalid: port:21(ftp) UNKNOWN@a.example->b.example dur:-4 in:10 out:20\n");
  conn.dst = 0;
  EXPECT_EQ(Stderr([&] { EXPECT_EQ(conn.Into(r), -1); }), "");
}

TEST_F(RecordTest, TraceLine) {
  rules.table.set_trace();
  Conn conn;
  conn.app = -53, conn.err = 5, conn.pid = 12345, conn.dur = 100, conn.last = 42;
  EXPECT_EQ(Stderr([&] { conn.Into(r); }),
            "\n1000000000: bob@1.2.3.4->5.6.7.8 53/udp err:5 10(i)+20(o)=30"
            " pid:12345 dur:100 id:99 read=42\n");
  Conn bad;  // traced before it is rejected
  bad.app = 0;
  EXPECT_EQ(Stderr([&] { bad.Into(r); }),
            "\n1000000000: bob@1.2.3.4->5.6.7.8 0/udp err:0 10(i)+20(o)=30"
            " pid: 7 dur: 3 id:99 read=0\n"
            "invalid: port:0(ftp) bob@a.example->b.example dur:3 in:10 out:20\n");
  bad.mute = 1;
  EXPECT_EQ(Stderr([&] { bad.Into(r); }), "");
  rules.table.unset_trace();
  EXPECT_EQ(Stderr([&] { conn.Into(r); }), "");
}

TEST_F(RecordTest, Texts) {
  Conn udp;
  udp.app = -53, udp.err = 5, udp.Src = "", udp.App = "";
  Conn tcp;
  tcp.err = -1, tcp.Dst = nullptr, tcp.pid = 0;
  struct { const Conn *conn; int var; const char *text; } cases[] = {
      {&udp, VAR_SRC_NAME, "1.2.3.4"}, {&udp, VAR_SRC_IP, "1.2.3.4"},
      {&udp, VAR_SRC, "1.2.3.4"},      {&udp, VAR_DST_NAME, "b.example"},
      {&udp, VAR_DST_IP, "5.6.7.8"},   {&udp, VAR_DST, "b.example"},
      {&udp, VAR_APP_NAME, "53/udp"},  {&udp, VAR_APP_PORT, "53/udp"},
      {&udp, VAR_APP, "53/udp"},       {&udp, VAR_USER, "bob"},
      {&udp, VAR_ERROR, "5"},          {&udp, VAR_PID, "7"},
      {&tcp, VAR_SRC, "a.example"},    {&tcp, VAR_DST_NAME, "5.6.7.8"},
      {&tcp, VAR_APP_NAME, "ftp"},     {&tcp, VAR_APP_PORT, "21/tcp"},
      {&tcp, VAR_APP, "ftp"},          {&tcp, VAR_ERROR, "overflow"},
      {&tcp, VAR_PID, "0"}};
  for (auto &c : cases) {
    c.conn->Into(r);
    EXPECT_STREQ(r.get_str(c.var, nullptr), c.text) << c.var;
  }
  EXPECT_EQ(r.Dst(), nullptr);

  time_t t = udp.time;
  std::string when = ctime(&t);
  when.pop_back();
  EXPECT_EQ(r.get_str(VAR_TIME, nullptr), when);

  EXPECT_EQ(Stderr([&] {
              EXPECT_EQ(r.get_str(CONSTANT_OPERAND, nullptr), nullptr);
              EXPECT_EQ(r.get_num(VAR_SRC_NAME, nullptr), nullptr);
              EXPECT_EQ(r.get_num(14, nullptr), nullptr);
            }),
            "internal error when getting variable value\n"
            "internal error when getting variable value\n"
            "internal error when getting variable value\n");
}

TEST_F(RecordTest, LongTextsAreCut) {
  std::string host(200, 'h');
  Conn conn;
  conn.Src = host.c_str(), conn.Dst = host.c_str();
  std::string app(20, 'p');
  conn.App = app.c_str();

  // A user field that fills its 128 bytes with no terminator, right
  // before an unreadable page.
  long page = sysconf(_SC_PAGESIZE);
  char *mem = static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(mem + page, page, PROT_NONE), 0);
  char *field = mem + page - 128;
  memset(field, 'u', 128);
  conn.user = field;

  ASSERT_EQ(conn.Into(r), 0);
  EXPECT_EQ(r.usr(), std::string(128, 'u'));
  EXPECT_EQ(r.Src(), host.substr(0, 128));
  EXPECT_EQ(r.get_str(VAR_DST_NAME, nullptr), host.substr(0, 128));
  EXPECT_EQ(r.get_str(VAR_APP, nullptr), app.substr(0, 16));
  munmap(mem, 2 * page);
}

TEST_F(RecordTest, Numbers) {
  Conn conn;
  conn.app = -53, conn.err = 5;
  conn.Into(r);
  EXPECT_EQ(*static_cast<int *>(r.get_num(VAR_SRC, nullptr)), A("1.2.3.4"));
  EXPECT_EQ(*static_cast<int *>(r.get_num(VAR_DST, nullptr)), A("5.6.7.8"));
  EXPECT_EQ(*static_cast<int *>(r.get_num(VAR_APP, nullptr)), -53);
  EXPECT_EQ(*static_cast<int *>(r.get_num(VAR_TIME, nullptr)), 1000000000);
  EXPECT_EQ(*static_cast<int *>(r.get_num(VAR_ERROR, nullptr)), 5);
  EXPECT_STREQ(static_cast<char *>(r.get_num(VAR_USER, nullptr)), "bob");

  // An aggregate with nothing counted yet.
  std::string text = "FAIL[src]";
  char *p = &text[0];
  token.get(p, 0, OPERAND_DELIMS);
  void *total;
  int code = token.parse(total, p);
  ASSERT_GT(code, CONSTANT_OPERAND);
  EXPECT_STREQ(r.get_str(code, total), "0");
  EXPECT_EQ(*static_cast<double *>(r.get_num(code, total)), 0.0);
}

TEST_F(RecordTest, KindsCounted) {
  // Bit k set: the record counts for kind k (FAIL, IN, OUT, TRAFFIC,
  // ACCESS, DURATION).
  struct { int err, in, out, dur, kinds; } cases[] = {
      {5, 10, 20, 3, 0x01},  {1, 0, 0, 0, 0x01},   {0, 10, 20, 3, 0x3e},
      {0, 0, 0, 0, 0x10},    {-3, 0, 0, 0, 0x10},  {0, 10, 0, 0, 0x1a},
      {0, 0, 5, 1, 0x3c}};
  for (auto &c : cases) {
    Conn conn;
    conn.err = c.err, conn.in = c.in, conn.out = c.out, conn.dur = c.dur;
    conn.Into(r);
    int kinds = 0;
    for (int k = 0; k < N_TOTALS; k++) kinds |= r.must_update(k) << k;
    EXPECT_EQ(kinds, c.kinds) << c.err << " " << c.in << " " << c.out << " " << c.dur;
    EXPECT_EQ(r.must_update(N_TOTALS), 0);
  }
}

}  // namespace
