#pragma once
// The runs of vdstress. Each prints one summary line with its figures on stdout and returns the process's exit
// status: 0 when every check passed.

#include <string>

namespace vdstress {

struct CrashOptions {
  std::string dir;      // an existing folder for the catalog and the child's log
  int kills = 120;      // how many times the writer is killed
  int maxDelayMs = 80;  // a kill lands up to this long after the writer starts
  unsigned seed = 1;
};

struct ConcurrentOptions {
  std::string dir;
  double seconds = 20;  // how long the writers and the reader run
  unsigned seed = 1;
};

int RunCrash(const CrashOptions& options);
int RunConcurrent(const ConcurrentOptions& options);

}  // namespace vdstress
