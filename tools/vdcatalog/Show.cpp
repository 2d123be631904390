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

// ---------------------------------------------------------------- show

namespace {

// What follows "not found in family F": the families that do hold the name (or its one spelling), else the
// closest names of F.
std::string ElsewhereOrSimilar(Session& session, const std::vector<CVdPatternCatalog*>& catalogs,
                               const std::string& name, const std::string& family, const NearNames* near) {
  if (family.empty()) return DidYouMean(session, catalogs, name, family, near);
  std::vector<std::string> elsewhere;
  const CString normalised = CVdUnit::NormalizedPatternName(Wide(name));
  for (CVdPatternCatalog* catalog : catalogs) {
    std::list<std::wstring> families;
    catalog->GetFamilies(families);
    for (const std::wstring& f : families)
      if (VdCompareNoCase(f, Wide(family).str()) != 0 && catalog->FindPattern(normalised, f.c_str()) &&
          std::find(elsewhere.begin(), elsewhere.end(), VdToUtf8(f)) == elsewhere.end())
        elsewhere.push_back(VdToUtf8(f));
  }
  if (elsewhere.empty()) {
    Resolved resolved;
    if (ResolveName(catalogs, name, std::string(), resolved) && resolved.catalog) elsewhere.push_back(resolved.family);
  }
  if (elsewhere.empty()) return DidYouMean(session, catalogs, name, family, near);
  std::string list;
  for (std::size_t i = 0; i < elsewhere.size(); ++i)
    list += (i ? (i + 1 == elsewhere.size() ? " and " : ", ") : "") + Visible(elsewhere[i]);
  return std::string(elsewhere.size() > 1 ? "; it is in families " : "; it is in family ") + list;
}

}  // namespace

int Show(const std::vector<std::string>& files, const std::string& asked, const std::string& family, double metrics,
         bool withMetrics, const Options& options) {
  Session session(withMetrics ? metrics : 1.0);
  std::vector<CVdPatternCatalog*> catalogs;
  for (const std::string& file : files) {
    CVdPatternCatalog* catalog = session.Open(file, true);
    if (!catalog) return kError;
    catalogs.push_back(catalog);
  }
  if (!family.empty() && std::none_of(catalogs.begin(), catalogs.end(),
                                      [&](CVdPatternCatalog* c) { return c->FindFamily(Wide(family)); })) {
    Error("no family \"" + Visible(family) + "\"" + (catalogs.size() == 1 ? " in " + files[0] : "") +
          FamilyHint(catalogs, family));
    return kNotFound;
  }
  CVdPatternManager& manager = session.Manager();
  // The lookup that finds the name is the one whose pattern is shown, and its row is the one whose stored values
  // are shown: no catalog is asked twice. It is the manager's (its catalogs in order, the name normalised),
  // limited to one family when one is given; the tool's factory makes no standard patterns, and its pool is empty.
  CVdPatternCatalog::StoredRow stored;
  const auto lookUp = [&](const std::string& name) {
    std::unique_ptr<CVdPattern> found;
    const CString normalised = CVdUnit::NormalizedPatternName(Wide(name));
    const CString wideFamily = Wide(family);
    for (CVdPatternCatalog* c = manager.FindFirstCatalog(); c && !found; c = manager.FindNextCatalog()) {
      found.reset(c->GetPatternWithRow(normalised, family.empty() ? nullptr : wideFamily.GetString(), stored));
      if (found) found->SetUserName(Wide(name));
    }
    return found;
  };
  // A name that no catalog holds as given is looked up by its aliases and spelling, once all were asked.
  std::string name = asked;
  Resolved resolved;
  NearNames near;
  std::unique_ptr<CVdPattern> pattern = lookUp(asked);
  if (!pattern) {
    // The names next to it come in the same statement, for the suggestions should it be missing.
    if (session.Failed() || !ResolveName(catalogs, asked, family, resolved, &near) || session.Failed()) return kError;
    if (!resolved.ambiguous.empty()) {
      Error(resolved.ambiguous);
      return kNotFound;
    }
    if (resolved.catalog) {
      // The row the spelling reached, read from its family alone: one statement, not a search of every family.
      name = resolved.name;
      const CString wideFamily = Wide(resolved.family);
      pattern.reset(
          resolved.catalog->GetPatternWithRow(CVdUnit::NormalizedPatternName(Wide(name)), wideFamily, stored));
      if (pattern) pattern->SetUserName(Wide(name));
    }
  }
  if (!pattern) {
    if (session.Failed()) return kError;
    Error("\"" + Visible(name) + "\" not found" + (family.empty() ? "" : " in family " + Visible(family)) +
          ElsewhereOrSimilar(session, catalogs, name, family, name == asked ? &near : nullptr));
    return kNotFound;
  }

  CVdPatternCatalog* source = manager.GetCatalog(pattern->GetCatalog());
  const auto units =
      source ? source->GetUnitsMap(CString(pattern->GetFamily()).MakeUpper().str()) : CVdPatternCatalog::FamilyUnits();
  // The family and its columns as the catalog spells them, and the row as it is stored, so that a missing value
  // shows as missing and a GUID that is not stored is not shown as one.
  std::string familyName = Utf8(pattern->GetFamily());
  std::vector<Column> columns;
  std::optional<Row> row;
  if (source) {
    // The table list and the columns are those read as the catalog opened, when that was just now.
    CVdODBCTableDefInfo table;
    if (session.Database(source)->GetTableDefInfo(pattern->GetFamily().GetString(), table))
      familyName = Utf8(table.m_strName);
    columns = FamiliesColumns(session, source, {Wide(familyName).str()}).begin()->second;
    // The stored values, in the order of the columns, from the row the lookup read.
    if (!stored.columns.empty()) {
      row.emplace();
      for (const Column& column : columns) {
        const auto at = std::find_if(stored.columns.begin(), stored.columns.end(),
                                     [&](const std::wstring& c) { return VdCompareNoCase(c, column.name) == 0; });
        row->values.push_back(at == stored.columns.end()
                                  ? COleVariant()
                                  : stored.values[static_cast<std::size_t>(at - stored.columns.begin())]);
      }
    }
  }
  json guid = nullptr;
  std::string guidText = "none stored (a new one is made at each read)";
  if (const Column* column = FindColumn(columns, L"GUID"); column && row) {
    const COleVariant& v = row->values[static_cast<std::size_t>(column - columns.data())];
    if (v.vt != VT_NULL && v.vt != VT_EMPTY) guidText = Text(&v), guid = guidText;
  }

  json parameters = json::array();
  Table table(withMetrics ? std::vector<std::string>{"Parameter", "Value", "Type", "Unit", "Host value"}
                          : std::vector<std::string>{"Parameter", "Value", "Type", "Unit"});
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Column& column = columns[i];
    if (VdCompareNoCase(column.name, L"Name") == 0 || VdCompareNoCase(column.name, L"GUID") == 0) continue;
    const std::wstring param = Folded(column.name);
    CVdPatternValue* read = nullptr;
    pattern->GetFixedParam(0, param, &read);
    const VARIANT* value = row ? static_cast<const VARIANT*>(&row->values[i]) : read;
    const bool missing = !value || value->vt == VT_NULL || value->vt == VT_EMPTY;
    const auto u = units.find(param);
    const std::string unit = u == units.end() ? std::string() : Utf8(u->second.unit.GetText());
    json entry = {{"name", VdToUtf8(column.name)},
                  {"value", ToJson(value, column.kind)},
                  {"type", KindName(column.kind)},
                  {"unit", unit}};
    std::vector<std::string> cells{VdToUtf8(column.name), Text(value), KindName(column.kind), unit};
    if (withMetrics) {
      std::string host = missing ? std::string() : Text(value);
      json hostJson = missing ? json(nullptr) : ToJson(value);
      if (!missing && read && read->vt == VT_R8 && u != units.end()) {
        const double converted = HostValue(read->dblVal * session.Factory().GetUnitFactor(u->second.unit));
        host = Utf8(VdDoubleToString(converted));
        hostJson = converted;
      }
      cells.push_back(host);
      entry["host_value"] = hostJson;
    }
    table.Add(cells);
    parameters.push_back(entry);
  }
  if (options.json) {
    json out = {{"name", Utf8(pattern->GetUserNameW())},
                {"asked", resolved.catalog ? json(asked) : json(nullptr)},
                {"guid", guid},
                {"family", familyName},
                {"catalog", Utf8(pattern->GetCatalog())},
                {"parameters", parameters}};
    if (withMetrics) out["metrics_factor"] = metrics;
    std::printf("%s\n", JsonText(out).c_str());
  } else {
    PrintFields({{"Name", Utf8(pattern->GetUserNameW()) + resolved.Note()},
                 {"GUID", guidText},
                 {"Family", familyName},
                 {"Catalog", Utf8(pattern->GetCatalog())}});
    std::printf("\n");
    table.Print();
  }
  return session.Finish(kOk);
}

}  // namespace vdcatalog
