#include "Tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <cwctype>
#include <climits>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vdpattern/vdpattern.h>

#include "CsvFile.h"
#include "Output.h"

namespace vdcatalog {

// ---------------------------------------------------------------- info, families, list

namespace {

// Whether `text` is like `pattern`: '%' any run of characters, '_' one character, every other character itself
// (both already folded or normalised alike).
bool Like(std::wstring_view text, std::wstring_view pattern) {
  std::size_t t = 0, p = 0, starP = std::wstring_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == L'_' || pattern[p] == text[t])) {
      ++t, ++p;
    } else if (p < pattern.size() && pattern[p] == L'%') {
      starP = p++, starT = t;
    } else if (starP != std::wstring_view::npos) {
      p = starP + 1, t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'%') ++p;
  return p == pattern.size();
}

// The rows of `family` that --like asks for. `exact`: the row named `like` (case ignored, its '%', '_' and '['
// themselves), else those its alias or spelling reaches. Otherwise a pattern with '%' and '_', matched by the
// engine; when it matches no name as written, against the names' normal forms ("heb3%" finds "HEB 300").
bool ReadLikeRows(Session& session, CVdPatternCatalog* catalog, const std::string& family,
                  const std::vector<Column>& columns, const std::string& like, bool exact, const std::string& where,
                  std::vector<Row>& rows) {
  CVdDatabase* db = session.Database(catalog);
  if (!exact && !ReadRows(db, family, columns, like, where, rows)) return false;
  if (like.empty() || !rows.empty()) return true;
  if (!ReadRows(db, family, columns, "", where, rows)) return false;
  std::vector<std::wstring> names;  // normal forms of what the rows may be named
  if (exact) {
    const std::wstring asked = Folded(Wide(like).str());
    const auto named = std::count_if(rows.begin(), rows.end(), [&](const Row& r) { return r.key == asked; });
    if (named > 0) {
      rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const Row& r) { return r.key != asked; }), rows.end());
      return true;
    }
    std::vector<CVdPatternCatalog::NameMatch> found;
    if (!catalog->FindNames(Wide(like), Wide(family), found)) return false;
    for (const auto& m : found) names.push_back(Folded(m.name));
    rows.erase(
        std::remove_if(rows.begin(), rows.end(),
                       [&](const Row& r) { return std::find(names.begin(), names.end(), r.key) == names.end(); }),
        rows.end());
    return true;
  }
  const std::wstring pattern = VdNormalName(Wide(like).str());
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [&](const Row& r) { return !Like(VdNormalName(Wide(r.name).str()), pattern); }),
             rows.end());
  return true;
}

}  // namespace

int Info(const std::string& file, const Options& options) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  CVdDatabase* db = session.Database(catalog);
  // The "Definition" row first: a catalog whose row is missing or odd is described as such, not half-printed.
  std::string typeName, editor, lastUpdate;
  int version = 0;
  try {
    typeName = Utf8(catalog->GetTypeName());
    editor = Utf8(catalog->GetEditorName());
    lastUpdate = Utf8(catalog->GetLastUpdateDate());
    version = catalog->GetVerNumber();
  } catch (CDBException* e) {
    const std::string reason = EngineReason(Utf8(e->m_strError));
    e->Delete();
    Error("the \"Definition\" table of " + file + " cannot be read: " + reason);
    return kError;
  }
  std::list<std::wstring> families;
  if (!catalog->GetFamilies(families)) return kError;
  SortNaturally(families);
  json jsonFamilies = json::array();
  Table table({"Family", "Code", "Patterns", "Columns"});
  // The columns first: right after opening they are known from it. Each in one statement; a family either could
  // not answer is read alone.
  const std::map<std::wstring, std::vector<Column>> allColumns = FamiliesColumns(session, catalog, families);
  std::map<std::wstring, long> counts;
  catalog->CountFamilies(families, counts);
  for (const std::wstring& family : families) {
    wchar_t code[64];
    catalog->GetFamilyCode(family.c_str(), code);
    std::wstring upper = family;
    VdFoldUpper(upper);
    const auto units = catalog->GetUnitsMap(upper);
    std::string columnText;
    json jsonColumns = json::array();
    const std::vector<Column>& columns = allColumns.at(family);
    for (std::size_t i = 1; i < columns.size(); ++i) {
      const auto u = units.find(Folded(columns[i].name));
      const std::string unit = u == units.end() ? std::string() : Utf8(u->second.unit.GetText());
      columnText += (i > 1 ? ", " : "") + VdToUtf8(columns[i].name) + (unit.empty() ? "" : " [" + unit + "]");
      jsonColumns.push_back({{"name", VdToUtf8(columns[i].name)}, {"type", KindName(columns[i].kind)}, {"unit", unit}});
    }
    const auto counted = counts.find(family);
    const long count = counted != counts.end() ? counted->second : CountRows(db, family);
    table.Add({VdToUtf8(family), VdToUtf8(code), count < 0 ? "unreadable" : std::to_string(count), columnText});
    jsonFamilies.push_back({{"family", VdToUtf8(family)},
                            {"code", VdToUtf8(code)},
                            {"patterns", count < 0 ? json(nullptr) : json(count)},
                            {"columns", jsonColumns}});
  }
  const bool writable = catalog->CanWrite();
  // The database's own reason (a role without write rights, an Access file), for the user to act on.
  std::string readOnlyReason = writable ? std::string() : Utf8(db->GetReadOnlyReason().TrimRight());
  if (options.json) {
    json out = {{"name", Utf8(catalog->GetName())},
                {"path", Masked(Utf8(catalog->GetPath()))},
                {"type", typeName},
                {"version", version},
                {"editor", editor},
                {"last_update", lastUpdate},
                {"read_only", !writable},
                {"families", jsonFamilies}};
    std::printf("%s\n", JsonText(out).c_str());
  } else {
    PrintFields({{"Name", Utf8(catalog->GetName())},
                 {"Path", Masked(Utf8(catalog->GetPath()))},
                 {"Type", typeName},
                 {"Version", std::to_string(version)},
                 {"Editor", editor},
                 {"Last update", lastUpdate},
                 {"Read-only", writable                 ? "no"
                               : readOnlyReason.empty() ? "yes"
                                                        : "yes: " + readOnlyReason}});
    std::printf("\n");
    table.Print();
  }
  return session.Finish(kOk);
}

int Families(const std::vector<std::string>& files, const Options& options) {
  Session session;
  json out = json::array();
  Table table({"Catalog", "Family", "Code"});
  for (const std::string& file : files) {
    CVdPatternCatalog* catalog = session.Open(file);
    if (!catalog) return kError;
    std::list<std::wstring> families;
    catalog->GetFamilies(families);
    SortNaturally(families);
    for (const std::wstring& family : families) {
      wchar_t code[64];
      catalog->GetFamilyCode(family.c_str(), code);
      table.Add({Utf8(catalog->GetName()), VdToUtf8(family), VdToUtf8(code)});
      out.push_back({{"catalog", Utf8(catalog->GetName())}, {"family", VdToUtf8(family)}, {"code", VdToUtf8(code)}});
    }
  }
  if (options.json)
    std::printf("%s\n", JsonText(out).c_str());
  else
    table.Print();
  return session.Finish(kOk);
}

int List(const std::string& file, const std::string& family, const std::string& like, bool exact,
         const std::string& where, const Options& options) {
  Session session;
  CVdPatternCatalog* catalog = nullptr;
  std::vector<Column> columns;
  if (const int status = OpenFamily(session, file, family, catalog, columns); status != kOk) return status;
  std::vector<Row> rows;
  if (!ReadLikeRows(session, catalog, family, columns, like, exact, where, rows)) return kError;
  if (options.json) {
    json out = json::array();
    for (const Row& row : rows) {
      json entry = json::object();
      for (std::size_t i = 0; i < columns.size(); ++i)
        entry[VdToUtf8(columns[i].name)] = ToJson(&row.values[i], columns[i].kind);
      out.push_back(entry);
    }
    std::printf("%s\n", JsonText(out).c_str());
  } else {
    std::vector<std::string> headers;
    for (const Column& c : columns) headers.push_back(VdToUtf8(c.name));
    Table table(headers);
    for (const Row& row : rows) {
      std::vector<std::string> cells;
      for (const COleVariant& v : row.values) cells.push_back(Text(&v));
      table.Add(cells);
    }
    table.Print();
  }
  return session.Finish(kOk);
}

}  // namespace vdcatalog
