#pragma once
// CPU clocks of the benchmarks, and busy time that hands work measured elsewhere (a child process, a server's
// backend) to the framework's CPU clock, which counts this thread's time.

#include <time.h>

namespace benchcpu {

inline double Seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

inline double ThreadSeconds() { return Seconds(CLOCK_THREAD_CPUTIME_ID); }
inline double ProcessSeconds() { return Seconds(CLOCK_PROCESS_CPUTIME_ID); }

// Keeps this thread busy for `seconds` of its CPU time.
inline void Spend(double seconds) {
  const double end = ThreadSeconds() + seconds;
  while (ThreadSeconds() < end) {
  }
}

}  // namespace benchcpu
