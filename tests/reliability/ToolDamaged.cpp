// Damaged catalogs through the whole tool: every read command of vdcatalog on every file of the damaged-file
// corpus (DamagedCatalogs.h), and on more copies of the good catalog with a few bits flipped anywhere. A
// damaged file may be read or refused, but the tool must end by itself with one of its statuses and say why
// when it fails: an abort (an exception that escaped), a crash or a hang is a fault.

#include <random>
#include <string>
#include <vector>

#include "reliability/DamagedCatalogs.h"
#include "reliability/StressRuns.h"
#include "reliability/ToolRun.h"

namespace vdstress {

int RunToolDamaged(const ToolOptions& options) {
  Faults faults("damaged");
  Tool tool(options.tool, options.dir + "/io");
  Aliases() = {{options.dir, "DIR"}};
  vdtest::TempDir temp;
  std::vector<vdtest::Damaged> corpus = vdtest::MakeCorpus(temp);
  const std::string good = vdtest::GoodCatalog(temp, "flips.sqlite", vdtest::CatalogBuilder());
  std::mt19937 rng(options.seed);
  const int flipped = options.rounds > 0 ? options.rounds : 30;
  for (int k = 0; k < flipped; ++k) {
    // Every other copy is hit in its first pages, past the file header: the schema and the small tables that
    // every command reads first (Definition, FamilyDescription, Units) live there.
    const bool early = k % 2 == 1;
    const std::size_t from = early ? 100 : 0, span = early ? 8 * 1024 - 100 : good.size();
    std::string bytes = good;
    const int bits = 1 + static_cast<int>(rng() % 8);
    for (int n = 0; n < bits; ++n) bytes[from + rng() % span] ^= static_cast<char>(1u << (rng() % 8));
    corpus.push_back({std::to_string(bits) + " bits flipped" + (early ? " in the first pages" : "") + ", round " +
                          std::to_string(k + 1),
                      bytes, false});
  }

  const std::string file = options.dir + "/damaged.mdb";
  const std::string out = options.dir + "/out";
  long statuses[3] = {0, 0, 0};
  for (const vdtest::Damaged& damaged : corpus) {
    // A file that can never be a catalog stops every command at the same open: three of them are enough.
    std::vector<std::vector<std::string>> commands = {
        {"info", file},
        {"list", file, "Beams"},
        {"export", file, "--format", "json", "-o", out},
    };
    if (!damaged.mustFail)
      commands.insert(commands.end(), {{"families", file},
                                       {"list", file, "Angles", "--json", "--where", "Side > 10"},
                                       {"export", file, "Beams", "--format", "csv", "-o", out},
                                       {"show", "HE 7", "--catalog", file},
                                       {"max", file, "Beams", "Height", "Name", "HE 9"}});
    for (const std::vector<std::string>& args : commands) {
      // Every command meets the file as it was made: what an earlier command did to it (a journal rolled
      // back, a page written) must not decide what the next one sees.
      vdtest::WriteAll(file, damaged.bytes);
      const ToolResult r = tool.Run(args, "", 30);
      if (!r.Clean())
        faults.Add(damaged.name + ": " + Shown(args) + " " + r.Describe());
      else if (r.status != 0 && r.err.empty())
        faults.Add(damaged.name + ": " + Shown(args) + " failed without a message");
      else
        ++statuses[r.status];
      for (const char* suffix : {"", "-journal", "-wal", "-shm"}) ::unlink((file + suffix).c_str());
      ::unlink(out.c_str());
    }
  }
  std::printf(
      "damaged: %zu damaged catalogs (%d with bits flipped), %ld read commands run (%ld ok, %ld not found, "
      "%ld refused), %s\n",
      corpus.size(), flipped, tool.runs, statuses[0], statuses[1], statuses[2], faults.Summary().c_str());
  return faults.Empty() ? 0 : 1;
}

}  // namespace vdstress
