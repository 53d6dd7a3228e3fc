// Timing shared by the benchmark programs: a figure is the median and the fastest of
// repeated runs, printed as one line.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace tapline::bench {

inline double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The times of `runs` calls of `work`, after one call that makes buffers and touches pages.
inline std::vector<double> timed(int runs, const std::function<void()>& work) {
  work();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(ms_since(start));
  }
  return times;
}

// The same, with `prepare` called untimed before each call of `work`.
inline std::vector<double> timed(int runs, const std::function<void()>& prepare,
                                 const std::function<void()>& work) {
  prepare();
  work();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(ms_since(start));
  }
  return times;
}

// One line: the figure's name, the median and the fastest of `times`, and how many.
inline void report(const char* name, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::printf("%-58s median %8.3f ms   min %8.3f ms   (%zu runs)\n", name, times[times.size() / 2],
              times[0], times.size());
  std::fflush(stdout);
}

inline void report(const char* name, int runs, const std::function<void()>& work) {
  report(name, timed(runs, work));
}

}  // namespace tapline::bench
