// vdcatalog serve: what the page reads, shaped as JSON: the catalogs and their families and a pattern's values.
// A family's rows, a page at a time, are ServeListing.cpp's; names and their search ServeNames.cpp's.

#include <algorithm>
#include <cstdlib>

#include "Serve.h"

namespace vdcatalog {
namespace serve {

namespace {

using vdpattern::HistoryEntry;

// The newest changes a pattern's page lists; `vdcatalog history` gives the rest.
constexpr std::size_t kHistoryShown = 20;

// Where a family's rows come from, when it says so: the distinct values of its Standard column, at most
// `kSourcesShown` (a family drawn from one standard has one) and "more" beyond; null without the column or when
// it cannot be read (the family's other facts still are shown).
constexpr int kSourcesShown = 3;
json FamilySources(CVdDatabase* db, const std::wstring& family, const std::vector<Column>& columns) {
  const Column* column = FindColumn(columns, L"Standard");
  CString table, name;
  if (!column || !Bracketed(family, table) || !Bracketed(column->name, name)) return nullptr;
  CString statement;
  statement.Format(L"SELECT DISTINCT %s FROM %s WHERE %s IS NOT NULL LIMIT %d", name.GetString(), table.GetString(),
                   name.GetString(), kSourcesShown + 1);
  json sources = json::array();
  bool more = false;
  try {
    CVdRecordset rs(db);
    rs.Open(0, statement, 0);
    CDBVariant cell;
    for (; !rs.IsEOF(); rs.MoveNext()) {
      if (sources.size() == kSourcesShown) {
        more = true;
        break;
      }
      rs.GetFieldValue(short(0), cell);
      const COleVariant value = CVdRecordset::getOLEVariant(cell);
      sources.push_back(Text(&value));
    }
    rs.Close();
  } catch (CDBException* e) {
    e->Delete();
    return nullptr;
  }
  return {{"column", VdToUtf8(column->name)}, {"values", sources}, {"more", more}};
}

}  // namespace

// The newest changes of a row, when its catalog keeps a history: {"history": [...], "history_more": bool}, or
// {"history_error": why} when it cannot be read (the values are still worth showing); nothing without one.
json Server::HistoryOf(CVdPatternCatalog* catalog, const std::string& family, const std::string& name) {
  if (!catalog->HasHistory()) return json::object();
  vdpattern::HistoryFilter filter;
  filter.family = Wide(family).str();
  filter.name = Wide(name).str();
  std::vector<HistoryEntry> entries;
  if (catalog->GetHistory(filter, entries) != CVdPatternCatalog::eChangesRead)
    return {{"history_error", Why("the history could not be read")}};
  json out = json::array();
  for (std::size_t i = 0; i < entries.size() && i < kHistoryShown; ++i) {
    const HistoryEntry& e = entries[i];
    out.push_back({{"id", e.change},
                   {"when", Utf8(e.at)},
                   {"who", Utf8(e.who)},
                   {"kind", Utf8(e.kind)},
                   {"columns", HistoryColumnsJson(e)}});
  }
  return {{"history", out}, {"history_more", entries.size() > kHistoryShown}};
}

json Server::ColumnsJson(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns) {
  std::wstring upper = Wide(family).str();
  VdFoldUpper(upper);
  const auto units = catalog->GetUnitsMap(upper);
  json out = json::array();
  for (const Column& c : columns) {
    const auto u = units.find(Folded(c.name));
    out.push_back({{"name", VdToUtf8(c.name)},
                   {"type", KindName(c.kind)},
                   {"unit", u == units.end() ? std::string() : Utf8(u->second.unit.GetText())}});
  }
  return out;
}

void Server::Catalogs(const httplib::Request&, httplib::Response& r) {
  json out = json::array();
  for (std::size_t i = 0; i < m_catalogs.size(); ++i) {
    CVdPatternCatalog* catalog = m_catalogs[i];
    CVdDatabase* db = m_session.Database(catalog);
    std::list<std::wstring> names;
    catalog->GetFamilies(names);
    SortNaturally(names);
    json families = json::array();
    for (const std::wstring& family : names) {
      wchar_t code[64] = {};
      catalog->GetFamilyCode(family.c_str(), code);
      const long count = CountRows(db, family);
      const std::vector<Column> columns = FamilyColumns(m_session, catalog, VdToUtf8(family));
      families.push_back({{"family", VdToUtf8(family)},
                          {"code", VdToUtf8(code)},
                          {"patterns", count < 0 ? json(nullptr) : json(count)},
                          {"columns", ColumnsJson(catalog, VdToUtf8(family), columns)},
                          {"provenance", FamilySources(db, family, columns)}});
    }
    out.push_back({{"index", i},
                   {"catalog", Utf8(catalog->GetName())},
                   {"path", Masked(Utf8(catalog->GetPath()))},
                   {"read_only", m_readOnly || !catalog->CanWrite()},
                   {"families", families}});
  }
  Reply(r, 200, out);
}

// The stored row of `name` in `family`, found as the catalog finds names (case ignored).
std::optional<Row> Server::FindRow(CVdPatternCatalog* catalog, const std::string& family,
                                   const std::vector<Column>& columns, const std::string& name) {
  std::vector<Row> rows;
  if (!ReadRows(m_session.Database(catalog), family, columns, name, "", rows)) return std::nullopt;
  for (Row& row : rows)  // '%' and '_' in a name match more than itself
    if (VdCompareNoCase(Wide(row.name).str(), Wide(name).str()) == 0) return std::move(row);
  return std::nullopt;
}

// A pattern's values: as stored ("catalog"), in SI units ("si"), or in host units of `metrics` per metre, with
// the row's history when the catalog keeps one.
void Server::Pattern(const httplib::Request& q, httplib::Response& r) {
  CVdPatternCatalog* catalog = CatalogOf(q, r);
  if (!catalog) return;
  const std::string family = FamilyOf(catalog, q.get_param_value("family"), r);
  if (family.empty()) return;
  const std::string metrics = q.has_param("metrics") ? q.get_param_value("metrics") : "catalog";
  double factor = 0;
  if (metrics == "si") {
    factor = 1;
  } else if (metrics != "catalog") {
    char* end = nullptr;
    factor = std::strtod(metrics.c_str(), &end);
    if (metrics.empty() || end != metrics.c_str() + metrics.size() || !(factor >= 1e-12 && factor <= 1e12)) {
      Reply(r, 400, {{"error", "metrics is catalog, si or host units per metre from 1e-12 to 1e12"}});
      return;
    }
  }
  const std::string name = q.get_param_value("name");
  const std::vector<Column> columns = FamilyColumns(m_session, catalog, family);
  const std::optional<Row> row = FindRow(catalog, family, columns, name);
  if (!row) {
    Reply(r, m_session.Failed() ? 500 : 404, {{"error", Why("\"" + name + "\" not found in " + family)}});
    return;
  }
  json reply = PatternJson(catalog, family, columns, *row, metrics, factor, q.get_param_value("asked"));
  reply.update(HistoryOf(catalog, family, row->name));
  Reply(r, 200, reply);
}

// A row's history alone: what a page that had the values by a search fills in afterwards.
void Server::RowHistory(const httplib::Request& q, httplib::Response& r) {
  CVdPatternCatalog* catalog = CatalogOf(q, r);
  if (!catalog) return;
  const std::string family = FamilyOf(catalog, q.get_param_value("family"), r);
  if (family.empty()) return;
  const std::optional<Row> row =
      FindRow(catalog, family, FamilyColumns(m_session, catalog, family), q.get_param_value("name"));
  if (!row) {
    Reply(r, m_session.Failed() ? 500 : 404,
          {{"error", Why("\"" + q.get_param_value("name") + "\" not found in " + family)}});
    return;
  }
  Reply(r, 200, HistoryOf(catalog, family, row->name));
}

// The page of `row` without its history; `factor` 0 keeps the values as stored, else host units of `factor` per
// metre (1: SI).
json Server::PatternJson(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns,
                         const Row& row, const std::string& metrics, double factor, const std::string& asked) {
  std::wstring upper = Wide(family).str();
  VdFoldUpper(upper);
  const auto units = catalog->GetUnitsMap(upper);
  CVdUnitManager hostUnits(factor > 0 ? factor : 1.0);
  ToolFactory host(&hostUnits, m_session.Reported());
  wchar_t code[64] = {};
  catalog->GetFamilyCode(Wide(family).GetString(), code);
  json parameters = json::array();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Column& column = columns[i];
    if (VdCompareNoCase(column.name, L"Name") == 0) continue;
    const COleVariant& v = row.values[i];
    const auto u = units.find(Folded(column.name));
    json value = ToJson(&v, column.kind);
    const bool missing = v.vt == VT_NULL || v.vt == VT_EMPTY;
    if (factor > 0 && !missing && IsNumeric(column.kind) && u != units.end())
      value = HostValue(VariantToDouble(&v) * host.GetUnitFactor(u->second.unit));
    parameters.push_back({{"name", VdToUtf8(column.name)},
                          {"type", KindName(column.kind)},
                          {"unit", u == units.end() ? std::string() : Utf8(u->second.unit.GetText())},
                          {"value", value}});
  }
  json reply{{"catalog", Utf8(catalog->GetName())},
             {"family", family},
             {"code", VdToUtf8(code)},
             {"name", row.name},
             {"names", NamesOf(catalog, family, row.name, asked)},
             {"metrics", metrics},
             {"read_only", m_readOnly || !catalog->CanWrite()},
             {"parameters", parameters}};
  reply.update(SectionCheckJson(catalog, family, columns, row));  // "findings" and "provenance" (Verify.cpp)
  return reply;
}

}  // namespace serve
}  // namespace vdcatalog
