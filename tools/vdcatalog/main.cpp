// vdcatalog: keeps pattern catalogs from the command line, through the vdpattern library.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <string>
#include <vdpattern/Version.h>
#include <vector>

#include "Commands.h"
#include "Output.h"

int main(int argc, char** argv) {
  using namespace vdcatalog;
  CLI::App app{"vdcatalog: create, inspect and edit pattern catalogs"};
  app.set_version_flag("--version", "vdcatalog " VDPATTERN_VERSION_STRING);
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Help for every command");
  Options options;
  int status = kOk;
  unsigned long timeLimit = kDefaultTimeLimit;
  app.add_option("--time-limit", timeLimit, "Seconds any one database statement may run (0: no limit)")
      ->capture_default_str();
  app.parse_complete_callback([&] { SetTimeLimit(timeLimit); });

  std::string file, type, editor, family, code, name, like, where, table, column, keyColumn, key, format, out, csv;
  int version = 1;
  double metrics = 1.0;
  bool keepGoing = false;
  std::vector<std::string> files, columns, assignments;

  auto* create = app.add_subcommand("create", "Create a new, empty catalog: a file, or a schema on a server");
  create
      ->add_option("FILE", file,
                   "File or server address (postgresql://host/db?catalog=NAME) of the new catalog (never written over)")
      ->required();
  create->add_option("--type", type, "The catalog's type name")->required();
  create->add_option("--editor", editor, "The editor's name");
  create->add_option("--version", version, "The catalog's version number");
  create->callback([&] { status = Run([&] { return Create(file, type, editor, version); }); });

  auto* addFamily = app.add_subcommand("add-family", "Add a family table to a catalog");
  addFamily->add_option("FILE", file, "Catalog: a file, a link file or a server address")->required();
  addFamily->add_option("FAMILY", family, "Family (table) name")->required();
  addFamily->add_option("--code", code, "The family's code")->required();
  addFamily->add_option("--column", columns, "A column NAME:TYPE[:UNIT], e.g. h:DOUBLE:mm (repeatable)")
      ->allow_extra_args(false);
  addFamily->footer(
      "Column types: INTEGER, BIGINT, SMALLINT, BYTE (whole numbers); DOUBLE, SINGLE, DECIMAL, CURRENCY (numbers);\n"
      "TEXT, TEXT(n), MEMO (texts); BIT (true/false); DATETIME, DATE (dates); LONGBINARY (bytes).\n"
      "Units: any the library knows, e.g. mm, cm, m, in, kg, kg/m, mm2, cm4.");
  addFamily->callback([&] { status = Run([&] { return AddFamily(file, family, code, columns); }); });

  auto* info = app.add_subcommand("info", "Describe a catalog and its families");
  info->add_option("FILE", file, "Catalog: a file, a link file or a server address")->required();
  info->add_flag("--json", options.json, "Machine-readable output");
  info->callback([&] { status = Run([&] { return Info(file, options); }); });

  auto* families = app.add_subcommand("families", "List the families of catalogs");
  families->add_option("FILE", files, "Catalogs: files, link files or server addresses")->required();
  families->add_flag("--json", options.json, "Machine-readable output");
  families->callback([&] { status = Run([&] { return Families(files, options); }); });

  auto* list = app.add_subcommand("list", "List the patterns of a family");
  list->add_option("FILE", file, "Catalog: a file, a link file or a server address")->required();
  list->add_option("FAMILY", family, "Family name")->required();
  list->add_option("--like", like, "Name pattern with % and _ wildcards, e.g. \"HEB 3%\"");
  list->add_option("--where", where, "An SQL condition on the family's columns, e.g. \"h > 200\"");
  list->add_flag("--json", options.json, "Machine-readable output");
  list->callback([&] { status = Run([&] { return List(file, family, like, where, options); }); });

  auto* show = app.add_subcommand("show", "Resolve a pattern by name and print it");
  std::vector<std::string> showArgs;
  show->add_option("[CATALOG...] NAME", showArgs,
                   "Pattern name, e.g. \"IPE 200\" or \"HEA 100 mm\", after the catalogs to search when --catalog "
                   "does not name them")
      ->required();
  show->add_option("--catalog", files,
                   "Catalog (file, link file or server address), searched in the order given (repeatable)")
      ->allow_extra_args(false);
  show->add_option("--family", family, "Search this family only");
  auto* metricsOption =
      show->add_option("--metrics", metrics, "Host units per metre (1000 for millimetres)")->check(CLI::PositiveNumber);
  show->add_flag("--json", options.json, "Machine-readable output");
  show->callback([&] {
    // The last word is the name; any before it are catalogs, searched after those of --catalog.
    name = showArgs.back();
    files.insert(files.end(), showArgs.begin(), showArgs.end() - 1);
    if (files.empty()) {
      Error("show needs a catalog: vdcatalog show CATALOG NAME, or --catalog CATALOG");
      status = kError;
      return;
    }
    status = Run([&] { return Show(files, name, family, metrics, metricsOption->count() > 0, options); });
  });

  auto* set = app.add_subcommand("set", "Insert or overwrite a pattern");
  set->add_option("FILE", file, "Catalog: a file, a link file or a server address")->required();
  set->add_option("FAMILY", family, "Family name")->required();
  set->add_option("NAME", name, "Pattern name")->required();
  set->add_option("VALUES", assignments, "key=value pairs, typed by the family's columns");
  set->callback([&] { status = Run([&] { return Set(file, family, name, assignments); }); });

  auto* rm = app.add_subcommand("rm", "Remove a pattern");
  rm->add_option("FILE", file, "Catalog: a file, a link file or a server address")->required();
  rm->add_option("NAME", name, "Pattern name")->required();
  rm->add_option("--family", family, "Family name (default: the first family that holds the name)");
  rm->callback([&] { status = Run([&] { return Remove(file, name, family); }); });

  auto* max = app.add_subcommand("max", "A column's value for a key, or the column's maximum");
  max->add_option("FILE", file, "Catalog: a file, a link file or a server address")->required();
  max->add_option("TABLE", table, "Table")->required();
  max->add_option("COLUMN", column, "Value column")->required();
  max->add_option("KEYCOLUMN", keyColumn, "Key column")->required();
  max->add_option("KEY", key, "Key")->required();
  max->add_flag("--json", options.json, "Machine-readable output");
  max->callback([&] { status = Run([&] { return Max(file, table, column, keyColumn, key, options); }); });

  auto* exportCommand = app.add_subcommand("export", "Write families as CSV or JSON");
  exportCommand->add_option("FILE", file, "Catalog: a file, a link file or a server address")->required();
  exportCommand->add_option("FAMILY", family, "Family (default: every family, JSON only)");
  exportCommand->add_option("--format", format, "csv or json")->required()->check(CLI::IsMember({"csv", "json"}));
  exportCommand->add_option("-o,--output", out, "Output file (default: standard output)");
  exportCommand->callback([&] { status = Run([&] { return Export(file, family, format, out); }); });

  auto* importCommand = app.add_subcommand("import", "Insert or overwrite a family's patterns from CSV");
  importCommand->add_option("FILE", file, "Catalog: a file, a link file or a server address")->required();
  importCommand->add_option("FAMILY", family, "Family name")->required();
  importCommand->add_option("CSV", csv, "CSV file with a header row of column names")->required();
  importCommand->add_flag("--keep-going", keepGoing, "Keep the rows that fit when others fail");
  importCommand->callback([&] { status = Run([&] { return Import(file, family, csv, keepGoing); }); });

  std::string convertOut;
  auto* convert =
      app.add_subcommand("convert", "Copy a catalog (an Access file too) into a new file or a new server catalog");
  convert->add_option("IN", file, "Catalog (file, link file or server address) or Access file to read")->required();
  convert->add_option("OUT", convertOut, "New file or server address (never written over)")->required();
  convert->callback([&] { status = Run([&] { return Convert(file, convertOut); }); });

  std::string address;
  auto* link = app.add_subcommand("link", "Write a catalog link file that reaches a catalog on a server");
  link->add_option("FILE", file, "The link file to write (an existing link file is replaced)")->required();
  link->add_option("ADDRESS", address, "Server address, e.g. postgresql://host/db?catalog=NAME (no password)")
      ->required();
  link->callback([&] { status = Run([&] { return Link(file, address); }); });

  auto* upgrade =
      app.add_subcommand("upgrade", "Add the name indexes that ignore case to a catalog made by an earlier version");
  upgrade->add_option("FILE", file, "Catalog: a file, a link file or a server address")->required();
  upgrade->callback([&] { status = Run([&] { return Upgrade(file); }); });

  InstallReportHandler();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // A mistyped command gets the command it most resembles.
    const std::string given = argc > 1 ? argv[1] : "";
    const auto commands = app.get_subcommands([](const CLI::App*) { return true; });
    const bool known = std::any_of(commands.begin(), commands.end(),
                                   [&](const CLI::App* command) { return command->get_name() == given; });
    if (!given.empty() && given[0] != '-' && !known) {
      std::string best;
      std::size_t bestDistance = 3;  // more edits than that make another word
      for (const CLI::App* command : commands) {
        const std::size_t d = EditDistance(given, command->get_name());
        if (d < bestDistance) bestDistance = d, best = command->get_name();
      }
      Error("unknown command \"" + Shown(given) + "\"" +
            (best.empty() ? "; see vdcatalog --help" : "; did you mean \"" + best + "\"?"));
      return kError;
    }
    app.exit(e);
    return kError;
  }
  return status;
}
