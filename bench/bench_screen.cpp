// The screen model's cost: libvterm's feed rate on a file (24 x 80, reads of
// 4 KiB), memcpy of the same bytes in the same run, and LazyScreen taking
// the whole file (reads of 64 KiB) then materialising the screen, with the
// result compared to the eagerly fed model. Built and driven by
// bench_screen.py; it times only the calls themselves.
//
// usage: bench_screen REPS FILE...

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "screen/lazy_screen.h"
#include "screen/screen.h"

using bench::Clock;
using bench::seconds_since;
using bench::sink;

int main(int argc, char** argv) {
  return bench::over_files(argc, argv, [](const char* path, const std::string& data, int reps) {
    const std::string_view all(data);
    std::vector<char> copy(data.size(), 1);

    double t_feed = 1e30;
    double t_memcpy = 1e30;
    double t_append = 1e30;
    double t_screen = 1e30;
    bool exact = true;
    std::size_t held = 0;
    unsigned long long restarts = 0;
    for (int r = 0; r < reps; ++r) {
      morvik::screen::Screen eager(24, 80);
      auto t0 = Clock::now();
      for (std::size_t at = 0; at < data.size(); at += 4096) eager.feed(all.substr(at, 4096));
      t_feed = std::min(t_feed, seconds_since(t0));

      t0 = Clock::now();
      std::memcpy(copy.data(), data.data(), data.size());
      sink = static_cast<unsigned char>(copy[data.size() / 2]);
      t_memcpy = std::min(t_memcpy, seconds_since(t0));

      morvik::screen::LazyScreen lazy(24, 80);
      t0 = Clock::now();
      for (std::size_t at = 0; at < data.size(); at += 65536) lazy.append(all.substr(at, 65536));
      t_append = std::min(t_append, seconds_since(t0));
      held = lazy.held_bytes();
      t0 = Clock::now();
      const auto& seen = lazy.screen();
      t_screen = std::min(t_screen, seconds_since(t0));
      restarts = lazy.restarts();
      exact = exact && seen.lines() == eager.lines() && seen.cursor() == eager.cursor();
    }
    std::printf("file=%s bytes=%zu feed=%.6f memcpy=%.6f append=%.6f screen=%.6f held=%zu restarts=%llu exact=%d\n",
                path, data.size(), t_feed, t_memcpy, t_append, t_screen, held, restarts, exact ? 1 : 0);
  });
}
