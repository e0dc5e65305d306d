// What the C++ benchmarks share: the best of several timed runs, a sink the
// optimiser cannot see through, freed memory kept mapped, and an input file
// read whole. Header-only, so that each benchmark stays one source file that
// its driver compiles with the sources under test. Nothing here may check a
// result: the tests do that.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace bench {

inline volatile std::size_t sink;

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

template <class F>
double best_of(int reps, F&& run) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    run();
    best = std::min(best, seconds_since(t0));
  }
  return best;
}

// The module never cleans more than 4 MiB at once, a size glibc serves from
// memory it has already faulted in. Far larger inputs would get a fresh
// mapping per call and time the kernel's page faulting instead of the work,
// so freed memory is kept around as the smaller sizes do.
inline void keep_freed_memory() {
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

// The file's bytes; a file that cannot be read ends the run.
inline std::string read_file(const char* path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(1);
  }
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The benchmarks' main: the command line REPS FILE..., and each file read
// whole and handed to time_file(path, bytes, reps), which prints its line.
template <class F>
int over_files(int argc, char** argv, F&& time_file) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s REPS FILE...\n", argv[0]);
    return 2;
  }
  const int reps = std::atoi(argv[1]);
  keep_freed_memory();
  for (int a = 2; a < argc; ++a) time_file(argv[a], read_file(argv[a]), reps);
  return 0;
}

}  // namespace bench
