#pragma once
// The commands of vdcatalog. Each returns an exit status (Output.h). Wherever a command takes a catalog, it may
// be a file, a catalog link file or a server address ("postgresql://host/database?catalog=NAME"). They work through the
// library's public classes only: CVdCatalogSchema for new files and families, CVdPatternCatalog, CVdPatternManager, the
// factory and pools for everything else.

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace vdcatalog {

struct Options {
  bool json = false;
};

int Create(const std::string& file, const std::string& type, const std::string& editor, int version);
int AddFamily(const std::string& file, const std::string& family, const std::string& code,
              const std::vector<std::string>& columns);
int Info(const std::string& file, const Options& options);
int Families(const std::vector<std::string>& files, const Options& options);
// `like`: a name pattern ('%', '_'; a name's spelling when it matches no name as written), or with `exact` a
// name whose '%', '_' and '[' stand for themselves.
int List(const std::string& file, const std::string& family, const std::string& like, bool exact,
         const std::string& where, const Options& options);
int Show(const std::vector<std::string>& catalogs, const std::string& name, const std::string& family, double metrics,
         bool withMetrics, const Options& options);
int Set(const std::string& file, const std::string& family, const std::string& name,
        const std::vector<std::string>& assignments);
int Remove(const std::string& file, const std::string& name, const std::string& family);
int Max(const std::string& file, const std::string& table, const std::string& column, const std::string& keyColumn,
        const std::string& key, const Options& options);
int Export(const std::string& file, const std::string& family, const std::string& format, const std::string& out);
// How import reads its CSV file: `delimiter` 0 takes ';' when the header holds ';' and no ',' (as spreadsheets
// set to a European language write), otherwise ','; `decimalComma` reads numbers written "60,5".
struct ImportOptions {
  bool keepGoing = false;
  char delimiter = 0;
  bool decimalComma = false;
};
int Import(const std::string& file, const std::string& family, const std::string& csv, const ImportOptions& options);
int Import(const std::string& file, const std::string& family, const std::string& csv, bool keepGoing);
// Copies a catalog into a new file or a new server catalog, whole or not at all.
int Convert(const std::string& in, const std::string& out);
// Writes a catalog link file for the server catalog at `address`, once the catalog opens.
int Link(const std::string& file, const std::string& address);
// Recomputes the section properties stored in FAMILY (or every family) from the stored dimensions and lists
// those outside `tolerancePct` per cent, with the likely cause (Verify.cpp): kNotFound when any row is outside.
int Verify(const std::string& file, const std::string& family, double tolerancePct, const Options& options);
// Fills the missing section properties of a family from its dimensions in one transaction, adding the property
// columns it lacks first when `addColumns` (Compute.cpp).
int Compute(const std::string& file, const std::string& family, bool addColumns);
// Imports the shapes of a table in a known format (`from`: aisc, freecad or bolts) into new families with units, the
// source's other spellings as aliases, in one write (ImportShapes.cpp). `units` (aisc: us or si) is checked
// against the rows; `standard` is what each row's Standard says; `prefix` goes before every family's name.
struct ImportShapesOptions {
  std::string units, standard, prefix;
  bool replace = false;  // rows whose names an existing family holds are written over, not refused
};
int ImportShapes(const std::string& file, const std::string& from, const std::string& source,
                 const ImportShapesOptions& options);
// Registers compute and import-shapes, whose status goes to `status` (SectionCommands.cpp).
void AddSectionCommands(CLI::App& app, int& status);
// Prints the catalog's changes as they are committed, polling every `intervalMs`: those after record `since`,
// or (negative) after the newest one at the start; stops after `count` changes (0: never).
int Watch(const std::string& file, long long count, unsigned intervalMs, long long since);
// A catalog's history, newest first (History.cpp): what to select, or --prune-before DATE.
struct HistoryQuery {
  std::string family, since, by, pruneBefore;
};
int History(const std::string& file, const std::string& name, const HistoryQuery& query, const Options& options);
// Who set each current value of a pattern.
int Blame(const std::string& file, const std::string& name, const std::string& family, const Options& options);
// Puts back what a change (and the others of its set) did, as a new change.
int Undo(const std::string& file, long long change);
// Adds the name indexes that ignore case to the families of a catalog made by an earlier version (Upgrade.cpp).
int Upgrade(const std::string& file);
// Prints the statements that give a server catalog's schema its owner, writers and readers (Grant.cpp); runs
// nothing and needs no server. kError for a file, an address without a catalog, or a name the server would not
// keep whole or that is given twice.
int Grant(const std::string& address, const std::string& owner, const std::vector<std::string>& writers,
          const std::vector<std::string>& readers);
std::string GrantStatements(const std::string& schema, const std::string& owner,
                            const std::vector<std::string>& writers, const std::vector<std::string>& readers);
// Serves the catalogs to a web page and its JSON API on `listen`:`port` (0: any free port) until SIGINT or
// SIGTERM (Serve.cpp).
int Serve(const std::vector<std::string>& files, int port, const std::string& listen, bool readOnly);
// Aliases of a catalog's patterns: ACTION add ALIAS NAME, rm ALIAS, list, or reindex (Alias.cpp).
int Alias(const std::string& file, const std::string& action, const std::vector<std::string>& args,
          const std::string& family, const Options& options);

// Seconds any one statement the tool runs may take before it is stopped with a message (0: no limit).
constexpr unsigned long kDefaultTimeLimit = 120;
void SetTimeLimit(unsigned long seconds);
unsigned long TimeLimit();

// Runs one command and makes sure that nothing it meets ends the process: a CDBException* or any other exception
// that escapes the command is reported in one line and gives kError, and so does output that could not be
// written (a full disk, a closed pipe): standard output is flushed and checked before the status is returned.
int Run(const std::function<int()>& command);

// Whether `target` reaches a catalog on a server: a server address, or a catalog link file.
bool IsCatalogOnServer(const std::string& target);

// True after a message when `target` is a path to something that is not a regular file (a FIFO, a device, a
// folder, a socket), which no command opens as a catalog.
bool RefuseSpecialFile(const std::string& target);

// Says the reports of catalogs the tool does not make itself (its own catalogs report to their command).
void InstallReportHandler();

}  // namespace vdcatalog
