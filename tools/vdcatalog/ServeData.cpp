// vdcatalog serve: what the page reads, shaped as JSON: the catalogs and their families, a family's rows in
// pages, a name found as show finds it, and a pattern's values.

#include <algorithm>
#include <cstdlib>

#include "Serve.h"

namespace vdcatalog {
namespace serve {

namespace {

// A value's sort key: numbers by value (a missing one first), anything else naturally by its text.
struct SortKey {
  bool missing = true;
  double number = 0;
  std::wstring text;
};

}  // namespace

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
      families.push_back(
          {{"family", VdToUtf8(family)},
           {"code", VdToUtf8(code)},
           {"patterns", count < 0 ? json(nullptr) : json(count)},
           {"columns", ColumnsJson(catalog, VdToUtf8(family), FamilyColumns(m_session, catalog, VdToUtf8(family)))}});
    }
    out.push_back({{"index", i},
                   {"catalog", Utf8(catalog->GetName())},
                   {"path", Masked(Utf8(catalog->GetPath()))},
                   {"read_only", m_readOnly || !catalog->CanWrite()},
                   {"families", families}});
  }
  Reply(r, 200, out);
}

const Server::Listing* Server::List(CVdPatternCatalog* catalog, const std::string& family, const std::string& where,
                                    const std::string& sort, bool descending, httplib::Response& r) {
  Listing& l = m_listing;
  if (l.catalog == catalog && l.family == family && l.where == where && l.sort == sort) {
    if (l.descending != descending) std::reverse(l.order.begin(), l.order.end());
    l.descending = descending;
    return &l;
  }
  l = Listing();
  CVdDatabase* db = m_session.Database(catalog);
  l.columns = FamilyColumns(m_session, catalog, family);
  const Column* name = FindColumn(l.columns, L"Name");
  const Column* column = sort.empty() ? name : FindColumn(l.columns, Wide(sort).str());
  if (!m_session.Failed() && !column) {
    Reply(r, 400, {{"error", "no column \"" + Shown(sort) + "\" in the family"}});
    return nullptr;
  }
  // Only the name and the sort column are read, unless a condition needs the others to be checked against.
  std::vector<Column> read;
  if (!where.empty()) {
    read = l.columns;
  } else {
    if (name) read.push_back(*name);
    if (column && column != name) read.push_back(*column);
  }
  if (m_session.Failed() || !ReadRows(db, family, read, "", where, l.rows)) {
    l = Listing();
    Reply(r, m_session.Failed() ? 500 : 400, {{"error", Why("the family cannot be read")}});
    return nullptr;
  }
  l.order.resize(l.rows.size());
  for (std::size_t i = 0; i < l.order.size(); ++i) l.order[i] = i;
  if (column != name) {
    const std::size_t at = static_cast<std::size_t>(FindColumn(read, column->name) - read.data());
    const bool numeric = IsNumeric(column->kind);
    std::vector<SortKey> keys(l.rows.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const COleVariant& v = l.rows[i].values[at];
      keys[i].missing = v.vt == VT_NULL || v.vt == VT_EMPTY;
      if (keys[i].missing) continue;
      if (numeric)
        keys[i].number = VariantToDouble(&v);
      else
        keys[i].text = Wide(Text(&v)).str();
    }
    // Rows already stand in name order: a stable sort keeps it among equal values.
    std::stable_sort(l.order.begin(), l.order.end(), [&](std::size_t a, std::size_t b) {
      const SortKey &x = keys[a], &y = keys[b];
      if (x.missing || y.missing) return x.missing && !y.missing;
      return numeric ? x.number < y.number : VdNaturalLess(x.text, y.text);
    });
  }
  if (descending) std::reverse(l.order.begin(), l.order.end());
  l.catalog = catalog, l.family = family, l.where = where, l.sort = sort, l.descending = descending;
  return &l;
}

// The whole rows of one page, read by their names through the condition checker (names are quoted texts).
bool Server::PageRows(const Listing& l, std::size_t offset, std::size_t limit, std::vector<const Row*>& page,
                      std::vector<Row>& whole) {
  std::string names;
  for (std::size_t i = offset; i < l.order.size() && page.size() < limit; ++i) {
    page.push_back(&l.rows[l.order[i]]);
    std::string quoted;
    for (char c : page.back()->name) quoted += c == '\'' ? "''" : std::string(1, c);
    names += (names.empty() ? "'" : ", '") + quoted + "'";
  }
  return page.empty() ||
         ReadRows(m_session.Database(l.catalog), l.family, l.columns, "", "Name IN (" + names + ")", whole);
}

void Server::Rows(const httplib::Request& q, httplib::Response& r) {
  CVdPatternCatalog* catalog = CatalogOf(q, r);
  if (!catalog) return;
  const std::string family = FamilyOf(catalog, q.get_param_value("family"), r);
  if (family.empty()) return;
  long offset = 0, limit = 50;
  if ((q.has_param("offset") && !ParseLong(q.get_param_value("offset"), offset)) || offset < 0 ||
      (q.has_param("limit") && !ParseLong(q.get_param_value("limit"), limit)) || limit < 1 || limit > kMaxPage) {
    Reply(r, 400, {{"error", "offset is a whole number from 0, limit one from 1 to " + std::to_string(kMaxPage)}});
    return;
  }
  const std::string order = q.get_param_value("order");
  if (!order.empty() && order != "asc" && order != "desc") {
    Reply(r, 400, {{"error", "order is asc or desc"}});
    return;
  }
  const Listing* l = List(catalog, family, q.get_param_value("where"), q.get_param_value("sort"), order == "desc", r);
  if (!l) return;
  std::vector<const Row*> page;
  std::vector<Row> whole;
  if (!PageRows(*l, static_cast<std::size_t>(offset), static_cast<std::size_t>(limit), page, whole)) {
    Reply(r, 500, {{"error", Why("the family cannot be read")}});
    return;
  }
  std::vector<bool> used(whole.size());
  json rows = json::array();
  for (const Row* wanted : page) {
    json entry = json::object();
    // The row of that name (each used once: a name may be stored twice); a row without a name has only its name.
    const Row* row = nullptr;
    for (std::size_t i = 0; i < whole.size() && !row; ++i)
      if (!used[i] && whole[i].name == wanted->name) used[i] = true, row = &whole[i];
    for (std::size_t c = 0; c < l->columns.size(); ++c)
      entry[VdToUtf8(l->columns[c].name)] = row ? ToJson(&row->values[c], l->columns[c].kind)
                                            : VdCompareNoCase(l->columns[c].name, L"Name") == 0 ? json(wanted->name)
                                                                                                : json(nullptr);
    rows.push_back(entry);
  }
  Reply(r, 200,
        {{"family", family},
         {"total", l->rows.size()},
         {"offset", offset},
         {"columns", ColumnsJson(catalog, family, l->columns)},
         {"rows", rows}});
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

// Resolves a name as show does: the manager's lookup over every catalog, in the order given.
void Server::Search(const httplib::Request& q, httplib::Response& r) {
  const std::string name = q.get_param_value("q");
  if (name.empty() || name.size() > 1000) {
    Reply(r, 400, {{"error", "a search needs a name of at most 1000 bytes"}});
    return;
  }
  CVdPattern::enumCheckUserName check = CVdPattern::eCheckUserNameOk;
  std::unique_ptr<CVdPattern> pattern(
      m_session.Manager().GetPattern(Wide(name), CVdPattern::ePatternTypeCatalog, &check));
  CVdPatternCatalog* source = pattern ? m_session.Manager().GetCatalog(pattern->GetCatalog()) : nullptr;
  const auto at = std::find(m_catalogs.begin(), m_catalogs.end(), source);
  if (!pattern || at == m_catalogs.end()) {
    if (m_session.Failed()) {
      Reply(r, 500, {{"error", Why("the search failed")}});
      return;
    }
    const std::string hint = DidYouMean(m_session, m_catalogs, name);
    Reply(r, 404, {{"error", "\"" + name + "\" not found" + hint}});
    return;
  }
  const std::string family = FamilyOf(source, Utf8(pattern->GetFamily()), r);
  if (family.empty()) return;
  const std::vector<Column> columns = FamilyColumns(m_session, source, family);
  const std::optional<Row> row = FindRow(source, family, columns, Utf8(CVdUnit::NormalizedPatternName(Wide(name))));
  Reply(r, 200,
        {{"catalog", at - m_catalogs.begin()},
         {"family", family},
         {"name", row ? row->name : Utf8(pattern->GetUserNameW())}});
}

// A pattern's values: as stored ("catalog"), in SI units ("si"), or in host units of `metrics` per metre.
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
    const COleVariant& v = row->values[i];
    const auto u = units.find(Folded(column.name));
    json value = ToJson(&v, column.kind);
    const bool missing = v.vt == VT_NULL || v.vt == VT_EMPTY;
    if (factor > 0 && !missing && IsNumeric(column.kind) && u != units.end())
      value = VariantToDouble(&v) * host.GetUnitFactor(u->second.unit);
    parameters.push_back({{"name", VdToUtf8(column.name)},
                          {"type", KindName(column.kind)},
                          {"unit", u == units.end() ? std::string() : Utf8(u->second.unit.GetText())},
                          {"value", value}});
  }
  Reply(r, 200,
        {{"catalog", Utf8(catalog->GetName())},
         {"family", family},
         {"code", VdToUtf8(code)},
         {"name", row->name},
         {"metrics", metrics},
         {"read_only", m_readOnly || !catalog->CanWrite()},
         {"parameters", parameters}});
}

}  // namespace serve
}  // namespace vdcatalog
