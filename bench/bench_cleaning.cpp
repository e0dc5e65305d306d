// Throughput of the cleaning routine on files of raw terminal output, next
// to memcpy of the same bytes as the ceiling. Built and driven by
// bench_cleaning.py; it must never check results (the tests do that) or
// time anything but the calls themselves.
//
// usage: bench_cleaning REPS FILE...
// prints, per file: file bytes cleaned_bytes best_seconds for each of
// sanitize (the path this processor gets), sanitize_sse2, sanitize_portable,
// strip and memcpy, one "key=value" per field.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "text/cleaning.h"

using bench::best_of;
using bench::sink;

int main(int argc, char** argv) {
  return bench::over_files(argc, argv, [](const char* path, const std::string& data, int reps) {
    std::vector<char> copy(data.size(), 1);  // faulted in before timing

    const std::size_t cleaned = morvik::text::sanitize_for_agent(data).size();
    const double t_sanitize =
        best_of(reps, [&] { sink = morvik::text::sanitize_for_agent(data).size(); });
    const double t_sse2 =
        best_of(reps, [&] { sink = morvik::text::detail::sanitize_for_agent_sse2(data).size(); });
    const double t_portable = best_of(
        reps, [&] { sink = morvik::text::detail::sanitize_for_agent_portable(data).size(); });
    const double t_strip =
        best_of(reps, [&] { sink = morvik::text::strip_terminal_bytes(data).size(); });
    const double t_memcpy = best_of(reps, [&] {
      std::memcpy(copy.data(), data.data(), data.size());
      sink = static_cast<unsigned char>(copy[data.size() / 2]);
    });
    std::printf(
        "file=%s bytes=%zu cleaned=%zu sanitize=%.6f sanitize_sse2=%.6f sanitize_portable=%.6f strip=%.6f "
        "memcpy=%.6f\n",
        path, data.size(), cleaned, t_sanitize, t_sse2, t_portable, t_strip, t_memcpy);
  });
}
