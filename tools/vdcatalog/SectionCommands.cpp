// The section commands' command lines: compute and import-shapes.

#include <CLI/CLI.hpp>
#include <string>

#include "Commands.h"

namespace vdcatalog {

void AddSectionCommands(CLI::App& app, int& status) {
  struct Arguments {
    std::string file, family, from, source;
    bool addColumns = false;
    ImportShapesOptions shapes;
  };
  static Arguments a;  // CLI11 writes into it while parsing; one command line per process

  auto* compute = app.add_subcommand("compute", "Fill a family's missing section properties from its dimensions");
  compute->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  compute->add_option("FAMILY", a.family, "Family name (it needs a Shape column)")->required();
  compute->add_flag("--add-columns", a.addColumns, "Add the property columns the family lacks, with their units");
  compute->callback([&status] { status = Run([] { return Compute(a.file, a.family, a.addColumns); }); });

  auto* shapes = app.add_subcommand("import-shapes",
                                    "Import a section table (AISC Shapes Database, profiles.csv, "
                                    "a BOLTS .blt) into families, in one write");
  shapes->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  shapes->add_option("SOURCE", a.source, "The table: a CSV file or a .blt file")->required();
  shapes
      ->add_option("--from", a.from,
                   "Its format: aisc (the AISC Shapes Database as CSV), freecad (profiles.csv) or bolts (a BOLTS "
                   ".blt collection of profiles)")
      ->required();
  shapes->add_option("--units", a.shapes.units, "aisc: us or si (default: told by the rows' weight per area)");
  shapes->add_option("--standard", a.shapes.standard,
                     "What each row's Standard says (aisc default: \"AISC Shapes Database vN\" from the file name; "
                     "bolts: the standards each class names)");
  shapes->add_option("--prefix", a.shapes.prefix, "Put before every new family's name, e.g. US_");
  shapes->add_flag("--replace", a.shapes.replace,
                   "Write over the rows whose names a family holds already, instead of refusing the import");
  shapes->callback([&status] { status = Run([] { return ImportShapes(a.file, a.from, a.source, a.shapes); }); });
}

}  // namespace vdcatalog
