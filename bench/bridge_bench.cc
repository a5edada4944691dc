// The bridge's per-line path, measured in one run against splitting the
// same lines alone:
//   BM_SplitLines    finding the line ends of a Dante log (the floor)
//   BM_DanteParse    parsing those lines into events
//   BM_JsonlParse    parsing the same sessions written as JSON lines
//   BM_BookSessions  parsed events of whole sessions into a table with no
//                    reader (private /tmp), records written and deleted
// Items are lines; bench/bridge_replay.sh measures the whole program.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "event.h"
#include "monMmap.h"
#include "private_tmp.h"
#include "sessions.h"

namespace {

// A session of four lines, as Dante writes it, numbered i.
void dante_session(std::string *out, int i) {
  char c[64], h[96], d[32];
  snprintf(c, sizeof c, "10.1.%d.%d.%d", i / 256 % 256, i % 256, 1024 + i % 60000);
  snprintf(h, sizeof h, "Dec  7 04:54:39 (%d.%06d) danted[%d]: info: ",
           1796619279 + i / 1000, i % 1000000, 3900000 + i % 50);
  snprintf(d, sizeof d, "192.0.2.%d.443", i % 200);
  std::string u = std::string("username%user") + std::to_string(i % 97) + "@" + c + " 10.0.0.1.1080";
  *out += std::string(h) + "pass(1): tcp/accept [: " + c + " 10.0.0.1.1080\n";
  *out += std::string(h) + "pass(1): tcp/connect [: " + u + " -> 10.0.0.1.40000 " + d + "\n";
  *out += std::string(h) + "pass(1): tcp/connect ]: 5555 -> " + u + " -> 78, 78 -> 10.0.0.1.40000 " +
          d + " -> 5555: local client closed.  Session duration: 1s\n";
  *out += std::string(h) + "pass(1): tcp/accept ]: 5555 -> " + c + " 10.0.0.1.1080 -> 78: local client closed.  Session duration: 1s\n";
}

void jsonl_session(std::string *out, int i) {
  char buf[512];
  snprintf(buf, sizeof buf,
           "{\"event\":\"start\",\"time\":%d.5,\"pid\":%d,\"session\":\"s%d\",\"user\":\"user%d\","
           "\"src\":\"10.1.%d.%d\",\"src_port\":%d,\"protocol\":\"connect\",\"dst\":\"192.0.2.%d\",\"dst_port\":443}\n"
           "{\"event\":\"end\",\"time\":%d.9,\"pid\":%d,\"session\":\"s%d\",\"bytes_in\":5555,"
           "\"bytes_out\":78,\"duration\":1,\"reason\":\"local client closed\"}\n",
           1796619279 + i / 1000, 3900000 + i % 50, i, i % 97, i / 256 % 256, i % 256,
           1024 + i % 60000, i % 200, 1796619279 + i / 1000, 3900000 + i % 50, i);
  *out += buf;
}

std::vector<std::string> lines_of(void (*make)(std::string *, int), int sessions) {
  std::string text;
  for (int i = 0; i < sessions; i++) make(&text, i);
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  return lines;
}

const std::vector<std::string> &dante_lines() {
  static const std::vector<std::string> lines = lines_of(dante_session, 2500);
  return lines;
}

void BM_SplitLines(benchmark::State &state) {
  std::string text;
  for (const std::string &l : dante_lines()) text += l + "\n";
  for (auto _ : state) {
    size_t n = 0;
    for (const char *p = text.data(), *end = p + text.size();
         (p = static_cast<const char *>(memchr(p, '\n', end - p))) != nullptr; p++)
      n++;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * dante_lines().size());
}
BENCHMARK(BM_SplitLines);

void parse_all(benchmark::State &state, const char *format,
               const std::vector<std::string> &lines) {
  std::unique_ptr<bridge::Format> f(bridge::new_format(format));
  std::vector<bridge::Event> events;
  for (auto _ : state) {
    for (const std::string &l : lines) {
      events.clear();
      if (!f->parse(l, &events)) state.SkipWithError("a line not understood");
    }
    benchmark::DoNotOptimize(events);
  }
  state.SetItemsProcessed(state.iterations() * lines.size());
}

void BM_DanteParse(benchmark::State &state) { parse_all(state, "dante", dante_lines()); }
BENCHMARK(BM_DanteParse);

void BM_JsonlParse(benchmark::State &state) {
  static const std::vector<std::string> lines = lines_of(jsonl_session, 5000);
  parse_all(state, "jsonl", lines);
}
BENCHMARK(BM_JsonlParse);

void BM_BookSessions(benchmark::State &state) {
  std::unique_ptr<bridge::Format> f(bridge::new_format("dante"));
  std::vector<bridge::Event> events;
  for (const std::string &l : dante_lines()) f->parse(l, &events);
  Mon_Handle_t h;
  if (Mon_MmapOpen(0, &h) != 0) {
    state.SkipWithError("no table");
    return;
  }
  volatile int stop = 0;
  bridge::Book book(h, bridge::Book::Options(), &stop);
  int64_t t = 0;
  for (auto _ : state)
    for (const bridge::Event &ev : events) book.apply(ev, ++t);
  state.SetItemsProcessed(state.iterations() * dante_lines().size());
  Mon_MmapClose(h);
}
BENCHMARK(BM_BookSessions);

}  // namespace

int main(int argc, char **argv) {
  EnterPrivateTmp();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
