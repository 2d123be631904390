// The section commands' command lines: compute and import-shapes.

#include <CLI/CLI.hpp>
#include <string>

#include "Commands.h"

namespace vdcatalog {

void AddSectionCommands(CLI::App& app, int& status) {
  struct Arguments {
    std::string file, family, from, source;
    bool addColumns = false;
  };
  static Arguments a;  // CLI11 writes into it while parsing; one command line per process

  auto* compute = app.add_subcommand("compute", "Fill a family's missing section properties from its dimensions");
  compute->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  compute->add_option("FAMILY", a.family, "Family name (it needs a Shape column)")->required();
  compute->add_flag("--add-columns", a.addColumns, "Add the property columns the family lacks, with their units");
  compute->callback([&status] { status = Run([] { return Compute(a.file, a.family, a.addColumns); }); });
}

}  // namespace vdcatalog
