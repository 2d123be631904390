// vdcatalog upgrade: gives a catalog made by an earlier version what lookups by name need today, an index on
// each family's Name that ignores case (on a server, which has no need of it: each unit as its column's comment,
// and text columns under the exact collation, which plain SQL's LIKE takes).
// Without it the engine reads the whole family for every lookup, and an import of many rows takes time that grows with
// the square of their number.
//
// Everything is done in one transaction. On a file only indexes are added: the rows, the columns and their
// declared collations stay as they are (changing a column's collation would mean copying its table), and
// comparisons ignore case anyway.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>
#include <vdpattern/vdpattern.h>

#include "Commands.h"
#include "Tool.h"
#include "Output.h"

namespace vdcatalog {

namespace {

// "upgraded CATALOG: WHAT: name name ...", when there is any name.
void Upgraded(const std::string& catalog, const std::string& what, const std::vector<std::wstring>& names) {
  if (names.empty()) return;
  std::printf("upgraded %s: %s:", catalog.c_str(), what.c_str());
  for (const std::wstring& name : names) std::printf(" %s", Visible(Utf8(name)).c_str());
  std::printf("\n");
}

}  // namespace

int Upgrade(const std::string& file) {
  // A server catalog compares names ignoring case from the start; what an older one may lack is its units as
  // column comments and text columns that take LIKE.
  const bool server = IsCatalogOnServer(file);
  if (!server && RefuseSpecialFile(file)) return kError;
  const std::string path = server ? file : std::filesystem::absolute(file).lexically_normal().string();
  const std::string shown = server ? Masked(file) : file;
  std::vector<std::wstring> added, leftAsIs, exact, trimmed;
  CString error;
  const CVdCatalogSchema::UpgradeResult result =
      CVdCatalogSchema::UpgradeCatalog(CString(path.c_str()), TimeLimit(), added, leftAsIs, error, &exact, &trimmed);
  for (const std::wstring& family : leftAsIs)
    Error(server && family == L"vd_history"
              ? "no history was added: only the schema's owner (or a member of its role) can make one that the "
                "library believes; run upgrade as that role"
          : server ? "table \"" + Utf8(family) +
                         "\" keeps its case-blind text columns, on which LIKE stays refused: one of its indexes (a "
                         "constraint's, an expression's or a partial one) cannot be made again as it is"
                   : "family \"" + Utf8(family) + "\" is left as it is: its name holds ']'");
  switch (result) {
    case CVdCatalogSchema::eNotCatalog:
      Error(shown + " is not a catalog (it has no \"Definition\" and \"FamilyDescription\" tables)");
      return kError;
    case CVdCatalogSchema::eReadOnly:
      Error(shown + " is read-only: upgrade needs to write it, and nothing was changed");
      return kError;
    case CVdCatalogSchema::eFailed:
      if (!error.IsEmpty()) Error(Utf8(error));
      return kError;
    case CVdCatalogSchema::eUpToDate:
      if (server) {
        std::printf(
            "%s is up to date: its columns carry their units as comments and its text columns take LIKE; "
            "nothing was changed\n",
            shown.c_str());
        return kOk;
      }
      std::printf("%s is up to date: every family has its name index; nothing was changed\n", file.c_str());
      return kOk;
    case CVdCatalogSchema::eUpgraded:
      break;
  }
  // The history table is named among the families that were changed; it is said on a line of its own.
  const auto history = std::find(added.begin(), added.end(), std::wstring(L"vd_history"));
  if (history != added.end()) {
    added.erase(history);
    std::printf("upgraded %s: it keeps a history of its edits from now on%s\n", shown.c_str(),
                server ? "; run grant again for its writers, so that they add to it but cannot rewrite it" : "");
  }
  const auto families = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " family" : " families"); };
  if (server) {
    Upgraded(shown, "the library's change logs no longer keep a row number each", trimmed);
    Upgraded(shown, "units written as column comments in " + families(added.size()), added);
    Upgraded(shown,
             "text columns made exact (LIKE and ILIKE work from SQL tools) in " + std::to_string(exact.size()) +
                 (exact.size() == 1 ? " table" : " tables"),
             exact);
    return kOk;
  }
  Upgraded(file, "name index added to " + families(added.size()), added);
  return kOk;
}

}  // namespace vdcatalog
