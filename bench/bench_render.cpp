// Throughput of the line renderer next to the cleaner and memcpy on the
// same bytes, whole and in reads of 64 KiB. Built and driven by
// bench_render.py; it must never check results (the tests do) or time
// anything but the calls themselves.
//
// usage: bench_render REPS FILE...
// prints, per file, "key=value" fields: bytes, rendered bytes, and the best
// seconds of each way of reading it.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "text/cleaning.h"
#include "text/line_render.h"

namespace {

using bench::best_of;
using bench::sink;

constexpr std::size_t READ = 64 * 1024;

std::size_t render_whole(std::string_view data) {
  morvik::text::LineRenderer r(80);  // a terminal 80 columns wide
  r.feed(data);
  return r.take(true).size();
}

// As an agent reads: a read at a time, the text taken after each.
std::size_t render_reads(std::string_view data) {
  morvik::text::LineRenderer r(80);  // a terminal 80 columns wide
  std::size_t total = 0;
  for (std::size_t at = 0; at < data.size(); at += READ) {
    r.feed(data.substr(at, READ));
    total += r.take().size();
  }
  return total + r.take(true).size();
}

std::size_t clean_reads(std::string_view data) {
  std::size_t total = 0;
  for (std::size_t at = 0; at < data.size(); at += READ) {
    total += morvik::text::sanitize_for_agent(data.substr(at, READ)).size();
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  return bench::over_files(argc, argv, [](const char* path, const std::string& data, int reps) {
    std::vector<char> copy(data.size(), 1);
    const std::size_t rendered = render_whole(data);
    const double t_clean = best_of(reps, [&] { sink = morvik::text::sanitize_for_agent(data).size(); });
    const double t_render = best_of(reps, [&] { sink = render_whole(data); });
    const double t_clean_reads = best_of(reps, [&] { sink = clean_reads(data); });
    const double t_render_reads = best_of(reps, [&] { sink = render_reads(data); });
    const double t_memcpy = best_of(reps, [&] {
      std::memcpy(copy.data(), data.data(), data.size());
      sink = static_cast<unsigned char>(copy[data.size() / 2]);
    });
    std::printf("file=%s bytes=%zu rendered=%zu clean=%.6f render=%.6f clean_reads=%.6f render_reads=%.6f memcpy=%.6f\n",
                path, data.size(), rendered, t_clean, t_render, t_clean_reads, t_render_reads, t_memcpy);
  });
}
