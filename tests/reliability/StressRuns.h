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

// The runs of vdcatalog itself (ToolNames.cpp, ToolDamaged.cpp, ToolFailures.cpp).
struct ToolOptions {
  std::string tool;     // the vdcatalog program
  std::string dir;      // an existing folder to work in
  std::string full;     // disk-full: an empty folder on a small filesystem of its own; empty skips those rounds
  std::string skipped;  // disk-full: why there is none, for the summary
  int rounds = 0;       // kills, rounds, or files with bits flipped; 0 takes the run's own default
  int rows = 0;         // patterns in the catalog the kills and the full disk work on; 0 takes the default
  unsigned seed = 1;
};

// The runs against a catalog on a PostgreSQL server (ServerStress.cpp).
struct ServerOptions {
  std::string address;  // the server, without a catalog (the runs make their own)
  int writers = 8;
  int writes = 1000;  // by each writer
  int readers = 2;
  int kills = 100;
  unsigned seed = 1;
};

int RunCrash(const CrashOptions& options);
int RunServerWriters(const ServerOptions& options);
int RunServerKills(const ServerOptions& options);
int RunConcurrent(const ConcurrentOptions& options);
int RunToolNames(const ToolOptions& options);
int RunToolDamaged(const ToolOptions& options);
int RunToolKills(const ToolOptions& options);
int RunToolDiskFull(const ToolOptions& options);
int RunToolLocks(const ToolOptions& options);
int RunToolRace(const ToolOptions& options);

}  // namespace vdstress
