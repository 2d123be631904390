#pragma once
// For benchmarks that measure work done elsewhere (a child process, a server's backend): CPU clocks, busy time
// that hands those seconds to the framework's CPU clock (which counts this thread's time), and this program's own
// path, to start a child of itself.

#include <time.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

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

inline std::string SelfPath() {
  std::vector<char> buffer(4096);
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) throw std::runtime_error("cannot find this program");
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

}  // namespace benchcpu
