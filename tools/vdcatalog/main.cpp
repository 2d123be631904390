// vdcatalog: keeps pattern catalogs from the command line, through the vdpattern library.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vdpattern/Version.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vector>

#include "Commands.h"
#include "Output.h"

namespace {

using namespace vdcatalog;

// The longest statement time a server can be given: its statement_timeout is a 32-bit count of milliseconds.
constexpr long long kMaxTimeLimit = 2147483;
// Host units per metre, from kilometres' fractions to nanometres' multiples with room either side: within it no
// catalog value of a realistic size turns into an infinity when converted.
constexpr double kMinMetrics = 1e-12, kMaxMetrics = 1e12;

// CLI11 validators: an empty text accepts the value, any other is the usage error shown.
std::string CheckTimeLimit(const std::string& text) {
  long long seconds = -1;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (r.ec == std::errc() && r.ptr == text.data() + text.size() && seconds >= 0 && seconds <= kMaxTimeLimit)
    return std::string();
  return "whole seconds from 0 (no limit) to " + std::to_string(kMaxTimeLimit) + ", not \"" + Shown(text) + "\"";
}

std::string CheckMetrics(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double factor = text.empty() ? 0 : std::strtod(text.c_str(), &end);
  if (end == text.c_str() + text.size() && errno == 0 && std::isfinite(factor) && factor >= kMinMetrics &&
      factor <= kMaxMetrics)
    return std::string();
  return "a number of host units per metre from 1e-12 to 1e12, not \"" + Shown(text) + "\"";
}

// What the commands' arguments and options are read into, and the status of the command that ran.
struct Arguments {
  Options options;
  int status = kOk;
  std::string file, type, editor, family, code, name, like, where, table, column, keyColumn, key, format, out, csv,
      convertOut, address, action, delimiter, owner;
  std::vector<std::string> writers, readers;
  int version = 1;
  double metrics = 1.0;
  bool keepGoing = false, readOnly = false, exact = false, decimalComma = false;
  int port = 8765;
  std::string listen = "127.0.0.1";
  double tolerance = 1.0;
  long long watchCount = 0, watchSince = -1;
  unsigned watchInterval = 500;
  HistoryQuery history;
  long long change = 0;
  std::vector<std::string> files, columns, assignments, showArgs;
};

// create, add-family, info, families.
void AddCatalogCommands(CLI::App& app, Arguments& a) {
  auto* create = app.add_subcommand("create", "Create a new, empty catalog: a file, or a schema on a server");
  create
      ->add_option("FILE", a.file,
                   "File or server address (postgresql://host/db?catalog=NAME) of the new catalog (never written over)")
      ->required();
  create->add_option("--type", a.type, "The catalog's type name")->required();
  create->add_option("--editor", a.editor, "The editor's name");
  create->add_option("--version", a.version, "The catalog's version number");
  create->callback([&] { a.status = Run([&] { return Create(a.file, a.type, a.editor, a.version); }); });

  auto* addFamily = app.add_subcommand("add-family", "Add a family table to a catalog");
  addFamily->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  addFamily->add_option("FAMILY", a.family, "Family (table) name")->required();
  addFamily->add_option("--code", a.code, "The family's code")->required();
  addFamily->add_option("--column", a.columns, "A column NAME:TYPE[:UNIT], e.g. h:DOUBLE:mm (repeatable)")
      ->allow_extra_args(false);
  addFamily->footer(
      "Column types: INTEGER, BIGINT, SMALLINT, BYTE (whole numbers); DOUBLE, SINGLE, DECIMAL, CURRENCY (numbers);\n"
      "TEXT, TEXT(n), MEMO (texts); BIT (true/false); DATETIME, DATE (dates); LONGBINARY (bytes).\n"
      "Units: any the library knows, e.g. mm, cm, m, in, kg, kg/m, mm2, cm4.");
  addFamily->callback([&] { a.status = Run([&] { return AddFamily(a.file, a.family, a.code, a.columns); }); });

  auto* info = app.add_subcommand("info", "Describe a catalog and its families");
  info->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  info->add_flag("--json", a.options.json, "Machine-readable output");
  info->callback([&] { a.status = Run([&] { return Info(a.file, a.options); }); });

  auto* families = app.add_subcommand("families", "List the families of catalogs");
  families->add_option("FILE", a.files, "Catalogs: files, link files or server addresses")->required();
  families->add_flag("--json", a.options.json, "Machine-readable output");
  families->callback([&] { a.status = Run([&] { return Families(a.files, a.options); }); });
}

// list, show, set, rm, max.
void AddPatternCommands(CLI::App& app, Arguments& a) {
  auto* list = app.add_subcommand("list", "List the patterns of a family");
  list->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  list->add_option("FAMILY", a.family, "Family name")->required();
  list->add_option("--like", a.like,
                   "Name pattern: % any characters, _ one, [ itself, case ignored, e.g. \"HEB 3%\"; one that "
                   "matches no name as written is matched against their spellings (\"heb3%\")");
  list->add_flag("--exact", a.exact, "--like is a name, its %, _ and [ literal (or its alias or spelling)");
  list->add_option("--where", a.where, "An SQL condition on the family's columns, e.g. \"h > 200\"");
  list->add_flag("--json", a.options.json, "Machine-readable output");
  list->callback([&] { a.status = Run([&] { return List(a.file, a.family, a.like, a.exact, a.where, a.options); }); });

  auto* show = app.add_subcommand("show", "Resolve a pattern by name and print it");
  show->add_option("[CATALOG...] NAME", a.showArgs,
                   "Pattern name, e.g. \"IPE 200\" or \"HEA 100 mm\", after the catalogs to search when --catalog "
                   "does not name them")
      ->required();
  show->add_option("--catalog", a.files,
                   "Catalog (file, link file or server address), searched in the order given (repeatable)")
      ->allow_extra_args(false);
  show->add_option("--family", a.family, "Search this family only");
  auto* metricsOption =
      show->add_option("--metrics", a.metrics, "Host units per metre (1000 for millimetres)")->check(CheckMetrics);
  show->add_flag("--json", a.options.json, "Machine-readable output");
  show->callback([&a, metricsOption] {  // the option outlives this function, its pointer does not
    // The last word is the name; any before it are catalogs, searched after those of --catalog.
    a.name = a.showArgs.back();
    a.files.insert(a.files.end(), a.showArgs.begin(), a.showArgs.end() - 1);
    if (a.files.empty()) {
      Error("show needs a catalog: vdcatalog show CATALOG NAME, or --catalog CATALOG");
      a.status = kError;
      return;
    }
    a.status = Run([&] { return Show(a.files, a.name, a.family, a.metrics, metricsOption->count() > 0, a.options); });
  });

  auto* set = app.add_subcommand("set", "Insert or overwrite a pattern");
  set->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  set->add_option("FAMILY", a.family, "Family name")->required();
  set->add_option("NAME", a.name, "Pattern name")->required();
  set->add_option("VALUES", a.assignments, "key=value pairs, typed by the family's columns");
  set->callback([&] { a.status = Run([&] { return Set(a.file, a.family, a.name, a.assignments); }); });

  auto* rm = app.add_subcommand("rm", "Remove a pattern");
  rm->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  rm->add_option("NAME", a.name, "Pattern name")->required();
  rm->add_option("--family", a.family, "Family name (default: the first family that holds the name)");
  rm->callback([&] { a.status = Run([&] { return Remove(a.file, a.name, a.family); }); });

  auto* max = app.add_subcommand("max", "A column's value for a key, or the column's maximum");
  max->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  max->add_option("TABLE", a.table, "Table")->required();
  max->add_option("COLUMN", a.column, "Value column")->required();
  max->add_option("KEYCOLUMN", a.keyColumn, "Key column")->required();
  max->add_option("KEY", a.key, "Key")->required();
  max->add_flag("--json", a.options.json, "Machine-readable output");
  max->callback([&] { a.status = Run([&] { return Max(a.file, a.table, a.column, a.keyColumn, a.key, a.options); }); });
}

// export, import, convert, link, upgrade.
void AddTransferCommands(CLI::App& app, Arguments& a) {
  auto* exportCommand = app.add_subcommand("export", "Write families as CSV or JSON");
  exportCommand->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  exportCommand->add_option("FAMILY", a.family, "Family (default: every family, JSON only)");
  exportCommand->add_option("--format", a.format, "csv or json")->required()->check(CLI::IsMember({"csv", "json"}));
  exportCommand->add_option("-o,--output", a.out, "Output file (default: standard output)");
  exportCommand->callback([&] { a.status = Run([&] { return Export(a.file, a.family, a.format, a.out); }); });

  auto* importCommand =
      app.add_subcommand("import", "Insert or overwrite a family's patterns from CSV or a JSON export");
  importCommand->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  importCommand->add_option("FAMILY", a.family, "Family name")->required();
  importCommand->add_option("CSV", a.csv, "CSV file with a header row of column names, or a JSON export")->required();
  importCommand->add_flag("--keep-going", a.keepGoing, "Keep the rows that fit when others fail");
  importCommand
      ->add_option("--delimiter", a.delimiter,
                   "Field separator, one character (default: ';' when the header holds ';' and no ',', else ',')")
      ->check([](const std::string& d) {
        return d.size() == 1 && d != "\"" && d != "\n" && d != "\r"
                   ? std::string()
                   : std::string("one character other than a quote or a line break");
      });
  importCommand->add_flag("--decimal-comma", a.decimalComma, "Numbers are written with a decimal comma (60,5)");
  importCommand->callback([&] {
    a.status = Run([&] {
      return Import(a.file, a.family, a.csv,
                    ImportOptions{a.keepGoing, a.delimiter.empty() ? '\0' : a.delimiter[0], a.decimalComma});
    });
  });

  auto* convert =
      app.add_subcommand("convert", "Copy a catalog (an Access file too) into a new file or a new server catalog");
  convert->add_option("IN", a.file, "Catalog (file, link file or server address) or Access file to read")->required();
  convert->add_option("OUT", a.convertOut, "New file or server address (never written over)")->required();
  convert->callback([&] { a.status = Run([&] { return Convert(a.file, a.convertOut); }); });

  auto* link = app.add_subcommand("link", "Write a catalog link file that reaches a catalog on a server");
  link->add_option("FILE", a.file, "The link file to write (an existing link file is replaced)")->required();
  link->add_option("ADDRESS", a.address, "Server address, e.g. postgresql://host/db?catalog=NAME (no password)")
      ->required();
  link->callback([&] { a.status = Run([&] { return Link(a.file, a.address); }); });

  auto* upgrade = app.add_subcommand(
      "upgrade",
      "Bring a catalog made by an earlier version up to date (name indexes; on a server, units as column comments)");
  upgrade->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  upgrade->callback([&] { a.status = Run([&] { return Upgrade(a.file); }); });

  auto* grant = app.add_subcommand(
      "grant", "Print (never run) the SQL that gives a server catalog's owner, writers and readers their rights");
  grant->add_option("ADDRESS", a.address, "Server address naming the catalog, e.g. postgresql://host/db?catalog=NAME")
      ->required();
  grant->add_option("--owner", a.owner, "The role that owns the schema and alone adds families")->required();
  grant->add_option("--writer", a.writers, "A role that changes rows but creates nothing (repeatable)");
  grant->add_option("--reader", a.readers, "A role that only reads (repeatable)");
  grant->callback([&] { a.status = Run([&] { return Grant(a.address, a.owner, a.writers, a.readers); }); });

  auto* serve = app.add_subcommand("serve", "Browse and edit catalogs in a web page on this machine");
  serve->add_option("CATALOG", a.files, "Catalogs: files, link files or server addresses")->required();
  serve->add_option("--port", a.port, "Port to listen on (0: any free one)")->capture_default_str();
  serve->add_option("--listen", a.listen, "Address to listen on (the page has no login)")->capture_default_str();
  serve->add_flag("--read-only", a.readOnly, "Refuse every change");
  serve->callback([&] { a.status = Run([&] { return Serve(a.files, a.port, a.listen, a.readOnly); }); });
  auto* verify = app.add_subcommand(
      "verify", "Recompute the section properties of a family from its dimensions and list what disagrees");
  verify->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  verify->add_option("FAMILY", a.family, "Family name (default: every family with a Shape column)");
  verify->add_option("--tolerance", a.tolerance, "Per cent a stored property may differ (default 1)");
  verify->add_flag("--json", a.options.json, "Machine-readable output");
  verify->callback([&] { a.status = Run([&] { return Verify(a.file, a.family, a.tolerance, a.options); }); });
  auto* watch = app.add_subcommand("watch", "Print a catalog's changes as they are committed");
  watch->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  watch->add_option("--count", a.watchCount, "Stop after this many changes (default: run until stopped)");
  watch->add_option("--since", a.watchSince, "Print the changes after this record number first");
  watch
      ->add_option("--interval", a.watchInterval,
                   "Longest wait between reads of the changes, in milliseconds (default 500); a server's notice or, on "
                   "a file, a look every 20 ms ends it sooner")
      ->check(CLI::Range(10u, 3600000u));
  watch->callback([&] { a.status = Run([&] { return Watch(a.file, a.watchCount, a.watchInterval, a.watchSince); }); });
  auto* alias = app.add_subcommand("alias", "Add, remove or list the aliases of a catalog's patterns");
  alias->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  alias
      ->add_option("ACTION", a.action,
                   "add ALIAS NAME, rm ALIAS, import ALIASES.csv, list, or reindex (after other programs wrote)")
      ->required()
      ->check(CLI::IsMember({"add", "rm", "import", "list", "reindex"}));
  alias->add_option("ARGS", a.assignments,
                    "The alias, and for add the pattern's name; for import a CSV file of alias,name[,family]");
  alias->add_option("--family", a.family, "The pattern's family (default: the family that holds the name)");
  alias->add_flag("--json", a.options.json, "Machine-readable output");
  alias->callback([&] { a.status = Run([&] { return Alias(a.file, a.action, a.assignments, a.family, a.options); }); });
}

// history, blame, undo.
void AddHistoryCommands(CLI::App& app, Arguments& a) {
  auto* history = app.add_subcommand("history", "Show a catalog's recorded edits, newest first, or prune them");
  history->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  history->add_option("NAME", a.name, "Only this pattern's changes");
  history->add_option("--family", a.history.family, "Only this family's changes");
  history->add_option("--since", a.history.since, "Only changes at or after this UTC date (YYYY-MM-DD[THH:MM:SS])");
  history->add_option("--by", a.history.by, "Only changes by this user (on a server: role)");
  history->add_option("--prune-before", a.history.pruneBefore, "Remove the entries recorded before this UTC date");
  history->add_flag("--json", a.options.json, "Machine-readable output");
  history->callback([&] { a.status = Run([&] { return History(a.file, a.name, a.history, a.options); }); });
  auto* blame = app.add_subcommand("blame", "Show who set each current value of a pattern");
  blame->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  blame->add_option("NAME", a.name, "The pattern's name")->required();
  blame->add_option("--family", a.family, "The pattern's family");
  blame->add_flag("--json", a.options.json, "Machine-readable output");
  blame->callback([&] { a.status = Run([&] { return Blame(a.file, a.name, a.family, a.options); }); });
  auto* undo = app.add_subcommand("undo", "Put back what a change did, with the changes written with it");
  undo->add_option("FILE", a.file, "Catalog: a file, a link file or a server address")->required();
  undo->add_option("CHANGE", a.change, "The change's number (vdcatalog history shows it)")->required();
  undo->callback([&] { a.status = Run([&] { return Undo(a.file, a.change); }); });
}

// The closest of `names` to `given`, or empty when every one needs three edits or more (another word then).
std::string Nearest(const std::string& given, const std::vector<std::string>& names) {
  std::string best;
  std::size_t bestDistance = std::max<std::size_t>(3, given.size() / 4);
  for (const std::string& name : names) {
    const std::size_t d = EditDistance(given, name);
    if (d < bestDistance) bestDistance = d, best = name;
  }
  return best;
}

// The long options `command` takes, the global ones included.
std::vector<std::string> LongOptions(const CLI::App& app, const CLI::App* command) {
  std::vector<std::string> names{"--help"};
  for (const CLI::App* owner : {&app, command})
    if (owner)
      for (const CLI::Option* option : owner->get_options())
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
  return names;
}

// An option `command` does not know, with the one it most resembles: "--lik" for list's "--like". False when
// every option given is known.
bool UnknownOption(const CLI::App& app, const std::vector<std::string>& args, const CLI::App* command) {
  const std::vector<std::string> known = LongOptions(app, command);
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) continue;
    const std::string name = arg.substr(0, arg.find('='));
    if (std::find(known.begin(), known.end(), name) != known.end()) continue;
    const std::string best = Nearest(name, known);
    if (best.empty() && command) {
      // An option of another command: say whose it is.
      for (const CLI::App* other : app.get_subcommands([](const CLI::App*) { return true; })) {
        const std::string near = Nearest(name, LongOptions(app, other));
        if (near.empty() || other == command) continue;
        Error("unknown option \"" + Shown(name) + "\" for " + command->get_name() + "; \"" + near +
              "\" is an option of " + other->get_name());
        return true;
      }
    }
    Error("unknown option \"" + Shown(name) + "\"" + (command ? " for " + command->get_name() : std::string()) +
          (best.empty() ? "; see vdcatalog " + (command ? command->get_name() + " " : std::string()) + "--help"
                        : "; did you mean \"" + best + "\"?"));
    return true;
  }
  return false;
}

// A mistyped command gets the command it most resembles, a mistyped option the option; any other parse error,
// CLI11's own message.
int ParseFailed(CLI::App& app, const std::vector<std::string>& args, const CLI::ParseError& e) {
  const auto commands = app.get_subcommands([](const CLI::App*) { return true; });
  const CLI::App* command = nullptr;
  for (const std::string& arg : args)
    for (const CLI::App* c : commands)
      if (!command && c->get_name() == arg) command = c;
  if (UnknownOption(app, args, command)) return kError;
  std::string given;  // the first word that is no option nor an option's value
  for (std::size_t i = 0; i < args.size() && given.empty(); ++i) {
    if (args[i].rfind("--", 0) == 0) {
      if (args[i].find('=') == std::string::npos && i + 1 < args.size()) ++i;  // the global options take a value
      continue;
    }
    given = args[i];
  }
  const bool known = std::any_of(commands.begin(), commands.end(),
                                 [&](const CLI::App* command) { return command->get_name() == given; });
  if (!given.empty() && given[0] != '-' && !known) {
    std::vector<std::string> names;
    for (const CLI::App* c : commands) names.push_back(c->get_name());
    const std::string best = Nearest(given, names);
    Error("unknown command \"" + Shown(given) + "\"" +
          (best.empty() ? "; see vdcatalog --help" : "; did you mean \"" + best + "\"?"));
    return kError;
  }
  app.exit(e);
  return kError;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vdcatalog: create, inspect and edit pattern catalogs"};
  app.set_version_flag("--version", "vdcatalog " VDPATTERN_VERSION_STRING);
  app.require_subcommand(1);
  // Global options go before or after the command: a command passes the options it does not know up to here.
  // Set before the commands are added, which copy it.
  app.fallthrough();
  app.set_help_all_flag("--help-all", "Help for every command");
  unsigned long timeLimit = kDefaultTimeLimit;
  app.add_option(
         "--time-limit", timeLimit,
         "Seconds any one database statement may run (0: no limit, at most " + std::to_string(kMaxTimeLimit) + ")")
      ->check(CheckTimeLimit)
      ->capture_default_str();
  // Every connection the tool makes starts with it.
  unsigned long lockTimeout = static_cast<unsigned long>(CVdDatabase::GetDefaultBusyTimeout() / 1000);
  app.add_option("--lock-timeout", lockTimeout,
                 "Seconds to wait for another writer's lock before giving up (0: do not wait, at most " +
                     std::to_string(kMaxTimeLimit) + ")")
      ->check([](const std::string& text) {
        return CheckTimeLimit(text).empty()
                   ? std::string()
                   : "whole seconds from 0 to " + std::to_string(kMaxTimeLimit) + ", not \"" + Shown(text) + "\"";
      })
      ->capture_default_str();
  app.parse_complete_callback([&] {
    SetTimeLimit(timeLimit);
    CVdDatabase::SetDefaultBusyTimeout(static_cast<int>(lockTimeout * 1000));
  });
  Arguments arguments;
  AddCatalogCommands(app, arguments);
  AddPatternCommands(app, arguments);
  AddTransferCommands(app, arguments);
  AddSectionCommands(app, arguments.status);
  AddHistoryCommands(app, arguments);

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
    return ParseFailed(app, std::vector<std::string>(argv + 1, argv + argc), e);
  }
  return arguments.status;
}
