// vdcatalog serve: a family's rows a page at a time. The order of a family is read once (the names and the sort
// column only, the condition checked by the database) and kept while the catalog's change counter stands still;
// each page then reads its own rows by name, so the first page of 100,000 rows costs one narrow scan and a sort.

#include <algorithm>
#include <cmath>
#include <vdpattern/toolkit/VdCondition.h>

#include "Serve.h"

namespace vdcatalog {
namespace serve {

namespace {

// Orders kept at once: a few sorts and filters of a few families, the oldest used dropped first.
constexpr std::size_t kListingsKept = 4;

// A text whose plain order is the natural order of `text` (VdNaturalLessFolded's, on the text folded): a run of
// digits becomes '0', its length without leading zeros, then those digits. Made once per row, it lets a sort of
// 100,000 names compare code units instead of parsing numbers at every comparison. A digit stands only in runs,
// so '0' always starts one, and it compares with any other character as every digit does.
std::wstring NaturalKey(const std::wstring& text) {
  std::wstring folded = Folded(text), key;
  key.reserve(folded.size() + 4);
  auto digit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
  for (std::size_t i = 0; i < folded.size();) {
    if (!digit(folded[i])) {
      key += folded[i++];
      continue;
    }
    std::size_t end = i;
    while (end < folded.size() && digit(folded[end])) ++end;
    while (i + 1 < end && folded[i] == L'0') ++i;
    key += L'0';
    key += static_cast<wchar_t>(end - i);
    key.append(folded, i, end - i);
    i = end;
  }
  return key;
}

}  // namespace

// A row's sort key: by the sort column (numbers by value, a missing one first, anything else naturally by its
// text), then naturally by name, then as the catalog gave the rows.
struct Server::SortKey {
  bool missing = true;
  double number = 0;
  std::wstring text;  // NaturalKey of the value
  std::wstring name;  // NaturalKey of the name
};

// The names of the rows that meet the condition, and the values of the sort column when it is not the name,
// read in one statement of only those columns.
bool Server::ReadOrder(Listing& l, const Column& name, const Column* sort, std::vector<SortKey>& keys) {
  CString table, nameColumn, sortColumn;
  if (!Bracketed(Wide(l.family).str(), table) || !Bracketed(name.name, nameColumn) ||
      (sort && !Bracketed(sort->name, sortColumn)))
    return false;
  CString statement = L"SELECT " + nameColumn + (sort ? L", " + sortColumn : CString()) + L" FROM " + table;
  if (!l.where.empty()) {
    std::vector<std::wstring> names;
    for (const Column& column : l.columns) names.push_back(column.name);
    std::wstring condition;
    std::string error;
    if (!VdRewriteCondition(Wide(l.where).str(), names, condition, error)) {
      Error("the condition \"" + Shown(l.where) + "\" cannot be used: " + error);
      return false;
    }
    statement += L" WHERE (" + CString(condition) + L")";
  }
  const bool numeric = sort && IsNumeric(sort->kind);
  try {
    CVdRecordset rs(m_session.Database(l.catalog));
    rs.Open(0, statement, 0);
    CDBVariant cell;
    for (; !rs.IsEOF(); rs.MoveNext()) {
      rs.GetFieldValue(static_cast<short>(0), cell);
      l.names.push_back(DBV_BSTRAll(&cell).str());
      SortKey key;
      key.name = NaturalKey(l.names.back());
      if (sort) {
        rs.GetFieldValue(static_cast<short>(1), cell);
        key.missing = cell.m_dwType == DBVT_NULL;
        if (!key.missing && numeric) {
          const COleVariant v = CVdRecordset::getOLEVariant(cell);
          key.number = VariantToDouble(&v);
          key.missing = std::isnan(key.number);  // a server's NaN has no place in an order: it goes first
        } else if (!key.missing) {
          key.text = NaturalKey(DBV_BSTRAll(&cell).str());
        }
      }
      keys.push_back(std::move(key));
    }
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    Error("cannot read family " + l.family + (l.where.empty() ? "" : " with the condition \"" + Shown(l.where) + "\"") +
          ": " + Utf8(reason.TrimRight()));
    return false;
  }
  return true;
}

const Server::Listing* Server::List(CVdPatternCatalog* catalog, const std::string& family, const std::string& where,
                                    const std::string& sort, httplib::Response& r) {
  // Another program's write, or another workstation's, moves the counter; a catalog that keeps no change
  // records (an Access file, one this library never wrote) is read again only after the page's own writes.
  long long change = -1;
  const CVdPatternCatalog::eChanges counted = catalog->GetLastChange(change);
  if (counted == CVdPatternCatalog::eChangesFailed) {
    Reply(r, 500, {{"error", Why("the catalog's change counter cannot be read")}});
    return nullptr;
  }
  if (counted == CVdPatternCatalog::eChangesNotKept) change = -1;
  for (auto at = m_listings.begin(); at != m_listings.end(); ++at) {
    if (at->catalog != catalog || at->family != family || at->where != where || at->sort != sort) continue;
    if (at->change != change) {
      m_listings.erase(at);
      break;
    }
    m_listings.splice(m_listings.begin(), m_listings, at);
    return &m_listings.front();
  }

  Listing l;
  l.catalog = catalog, l.family = family, l.where = where, l.sort = sort, l.change = change;
  l.columns = FamilyColumns(m_session, catalog, family);
  const Column* name = FindColumn(l.columns, L"Name");
  const Column* column = sort.empty() ? name : FindColumn(l.columns, Wide(sort).str());
  if (!m_session.Failed() && (!name || !column)) {
    Reply(r, 400,
          {{"error", name ? "no column \"" + Shown(sort) + "\" in the family" : "the family has no Name column"}});
    return nullptr;
  }
  std::vector<SortKey> keys;
  if (m_session.Failed() || !ReadOrder(l, *name, column == name ? nullptr : column, keys)) {
    Reply(r, m_session.Failed() ? 500 : 400, {{"error", Why("the family cannot be read")}});
    return nullptr;
  }
  std::vector<std::size_t> order(l.names.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  const bool bySort = column != name, numeric = IsNumeric(column->kind);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const SortKey &x = keys[a], &y = keys[b];
    if (bySort && (x.missing || y.missing) && x.missing != y.missing) return x.missing;
    if (bySort && !x.missing && !y.missing) {
      if (numeric && x.number != y.number) return x.number < y.number;
      if (!numeric && x.text != y.text) return x.text < y.text;
    }
    return x.name < y.name;
  });
  std::vector<std::wstring> sorted(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) sorted[i] = std::move(l.names[order[i]]);
  l.names = std::move(sorted);
  m_listings.push_front(std::move(l));
  if (m_listings.size() > kListingsKept) m_listings.pop_back();
  return &m_listings.front();
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
  const Listing* l = List(catalog, family, q.get_param_value("where"), q.get_param_value("sort"), r);
  if (!l) return;
  // The page's names, then their whole rows, read by name through the condition checker (names are quoted texts).
  std::vector<std::string> page;
  std::string names;
  const std::size_t total = l->names.size();
  for (std::size_t i = static_cast<std::size_t>(offset); i < total && page.size() < static_cast<std::size_t>(limit);
       ++i) {
    page.push_back(VdToUtf8(l->names[order == "desc" ? total - 1 - i : i]));
    std::string quoted;
    for (char c : page.back()) quoted += c == '\'' ? "''" : std::string(1, c);
    names += (names.empty() ? "'" : ", '") + quoted + "'";
  }
  std::vector<Row> whole;
  if (!page.empty() &&
      !ReadRows(m_session.Database(catalog), family, l->columns, "", "Name IN (" + names + ")", whole)) {
    Reply(r, 500, {{"error", Why("the family cannot be read")}});
    return;
  }
  std::vector<bool> used(whole.size());
  json rows = json::array();
  for (const std::string& wanted : page) {
    json entry = json::object();
    // The row of that name (each used once: a name may be stored twice); a row without a name has only its name.
    const Row* row = nullptr;
    for (std::size_t i = 0; i < whole.size() && !row; ++i)
      if (!used[i] && whole[i].name == wanted) used[i] = true, row = &whole[i];
    for (std::size_t c = 0; c < l->columns.size(); ++c)
      entry[VdToUtf8(l->columns[c].name)] = row ? ToJson(&row->values[c], l->columns[c].kind)
                                            : VdCompareNoCase(l->columns[c].name, L"Name") == 0 ? json(wanted)
                                                                                                : json(nullptr);
    rows.push_back(entry);
  }
  Reply(r, 200,
        {{"family", family},
         {"total", total},
         {"offset", offset},
         {"columns", ColumnsJson(catalog, family, l->columns)},
         {"rows", rows}});
}

}  // namespace serve
}  // namespace vdcatalog
