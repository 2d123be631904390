// vdstress: the multi-process reliability runs that do not belong in the unit tests (they take seconds and
// fork writers that are killed or race each other, or start vdcatalog thousands of times). tests/reliability/run
// starts them.
//
//   vdstress crash      --dir DIR [--kills N] [--max-delay-ms N] [--seed N]
//   vdstress concurrent --dir DIR [--seconds S] [--seed N]
//   vdstress server-writers --address ADDRESS [--writers N] [--writes N] [--readers N]
//   vdstress server-kills   --address ADDRESS [--kills N] [--seed N]
//   vdstress names|damaged|kills|disk-full|locks|race --tool VDCATALOG --dir DIR [--rounds N] [--rows N]
//            [--seed N] [--full EMPTY_DIR_ON_A_SMALL_FILESYSTEM | --skipped REASON]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "reliability/StressRuns.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vdstress crash --dir DIR [--kills N] [--max-delay-ms N] [--seed N]\n"
               "       vdstress concurrent --dir DIR [--seconds S] [--seed N]\n"
               "       vdstress server-writers --address ADDRESS [--writers N] [--writes N] [--readers N]\n"
               "       vdstress server-kills --address ADDRESS [--kills N] [--seed N]\n"
               "       vdstress names|damaged|kills|disk-full|locks|race --tool VDCATALOG --dir DIR [--rounds N]\n"
               "                [--rows N] [--seed N] [--full EMPTY_DIR_ON_A_SMALL_FILESYSTEM | --skipped REASON]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string mode = argv[1];
  vdstress::CrashOptions crash;
  vdstress::ConcurrentOptions concurrent;
  vdstress::ToolOptions tool;
  vdstress::ServerOptions server;
  for (int k = 2; k + 1 < argc; k += 2) {
    const std::string option = argv[k];
    const char* value = argv[k + 1];
    if (option == "--dir")
      crash.dir = concurrent.dir = tool.dir = value;
    else if (option == "--address")
      server.address = value;
    else if (option == "--writers")
      server.writers = std::atoi(value);
    else if (option == "--writes")
      server.writes = std::atoi(value);
    else if (option == "--readers")
      server.readers = std::atoi(value);
    else if (option == "--kills")
      crash.kills = server.kills = std::atoi(value);
    else if (option == "--max-delay-ms")
      crash.maxDelayMs = std::atoi(value);
    else if (option == "--seconds")
      concurrent.seconds = std::atof(value);
    else if (option == "--seed")
      crash.seed = concurrent.seed = tool.seed = server.seed = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    else if (option == "--tool")
      tool.tool = value;
    else if (option == "--rounds")
      tool.rounds = std::atoi(value);
    else if (option == "--rows")
      tool.rows = std::atoi(value);
    else if (option == "--full")
      tool.full = value;
    else if (option == "--skipped")
      tool.skipped = value;
    else
      return Usage();
  }
  if (mode.rfind("server-", 0) == 0 && (argc % 2) == 0 && !server.address.empty() && server.writers > 0 &&
      server.writes > 0 && server.readers >= 0 && server.kills > 0) {
    try {
      return mode == "server-writers" ? vdstress::RunServerWriters(server) : vdstress::RunServerKills(server);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vdstress %s: %s\n", mode.c_str(), e.what());
      std::printf("%s: FAILED\n", mode.c_str());
      return 1;
    }
  }
  if ((argc % 2) != 0 || crash.dir.empty() || crash.kills < 1 || crash.maxDelayMs < 1 || concurrent.seconds <= 0 ||
      tool.rounds < 0 || tool.rows < 0)
    return Usage();
  using Run = int (*)(const vdstress::ToolOptions&);
  const std::pair<const char*, Run> toolRuns[] = {
      {"names", &vdstress::RunToolNames}, {"damaged", &vdstress::RunToolDamaged},
      {"kills", &vdstress::RunToolKills}, {"disk-full", &vdstress::RunToolDiskFull},
      {"locks", &vdstress::RunToolLocks}, {"race", &vdstress::RunToolRace},
  };
  try {
    if (mode == "crash") return vdstress::RunCrash(crash);
    if (mode == "concurrent") return vdstress::RunConcurrent(concurrent);
    for (const auto& [name, run] : toolRuns) {
      if (mode != name) continue;
      if (tool.tool.empty()) return Usage();
      return run(tool);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vdstress %s: %s\n", mode.c_str(), e.what());
    std::printf("%s: FAILED\n", mode.c_str());
    return 1;
  }
  return Usage();
}
