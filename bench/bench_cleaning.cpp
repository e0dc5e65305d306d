// Throughput of the cleaning routine on files of raw terminal output, next
// to memcpy of the same bytes as the ceiling. Built and driven by
// bench_cleaning.py; it must never check results (the tests do that) or
// time anything but the calls themselves.
//
// usage: bench_cleaning REPS FILE...
// prints, per file: file bytes cleaned_bytes best_seconds for each of
// sanitize (the path this processor gets), sanitize_sse2, sanitize_portable,
// strip and memcpy, one "key=value" per field.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <malloc.h>
#include <string>
#include <vector>

#include "text/cleaning.h"

namespace {

template <class F>
double best_of(int reps, F&& run) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

volatile std::size_t g_sink;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s REPS FILE...\n", argv[0]);
    return 2;
  }
  const int reps = std::atoi(argv[1]);
  // The module never cleans more than 4 MiB at once, a size glibc serves
  // from memory it has already faulted in. Far larger inputs would get a
  // fresh mapping per call and time the kernel's page faulting instead of
  // the cleaning, so keep freed memory around as the smaller sizes do.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  for (int a = 2; a < argc; ++a) {
    std::ifstream f(argv[a], std::ios::binary);
    if (!f) {
      std::fprintf(stderr, "cannot read %s\n", argv[a]);
      return 1;
    }
    const std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<char> copy(data.size(), 1);  // faulted in before timing

    const std::size_t cleaned = morvik::text::sanitize_for_agent(data).size();
    const double t_sanitize =
        best_of(reps, [&] { g_sink = morvik::text::sanitize_for_agent(data).size(); });
    const double t_sse2 =
        best_of(reps, [&] { g_sink = morvik::text::detail::sanitize_for_agent_sse2(data).size(); });
    const double t_portable = best_of(
        reps, [&] { g_sink = morvik::text::detail::sanitize_for_agent_portable(data).size(); });
    const double t_strip =
        best_of(reps, [&] { g_sink = morvik::text::strip_terminal_bytes(data).size(); });
    const double t_memcpy = best_of(reps, [&] {
      std::memcpy(copy.data(), data.data(), data.size());
      g_sink = static_cast<unsigned char>(copy[data.size() / 2]);
    });
    std::printf(
        "file=%s bytes=%zu cleaned=%zu sanitize=%.6f sanitize_sse2=%.6f sanitize_portable=%.6f strip=%.6f "
        "memcpy=%.6f\n",
        argv[a], data.size(), cleaned, t_sanitize, t_sse2, t_portable, t_strip, t_memcpy);
  }
  return 0;
}
