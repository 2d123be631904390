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

// Appends to `out` a text whose plain order is the natural order of `text` (VdNaturalLessFolded's, on the text
// folded): a run of digits becomes '0', its length without leading zeros, then those digits. Made once per row,
// it lets a sort of 100,000 names compare code units instead of parsing numbers at every comparison. A digit
// stands only in runs, so '0' always starts one, and it compares with any other character as every digit does.
// `folded` is a buffer the caller keeps between calls.
void AppendNaturalKey(const std::wstring& text, std::wstring& folded, std::wstring& out) {
  folded.assign(text);
  VdFoldLower(folded);
  auto digit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
  for (std::size_t i = 0; i < folded.size();) {
    if (!digit(folded[i])) {
      out += folded[i++];
      continue;
    }
    std::size_t end = i;
    while (end < folded.size() && digit(folded[end])) ++end;
    while (i + 1 < end && folded[i] == L'0') ++i;
    out += L'0';
    out += static_cast<wchar_t>(end - i);
    out.append(folded, i, end - i);
    i = end;
  }
}

}  // namespace

// The rows' sort keys: by the sort column (numbers by value, a missing one first, anything else naturally by its
// text), then naturally by name, then as the catalog gave the rows. Texts are kept one after another in one
// buffer each, not one allocation per row.
struct Server::SortKeys {
  std::wstring names, values;                      // natural keys of the names and of the sort column's texts
  std::vector<std::size_t> nameAt{0}, valueAt{0};  // where each row's begins, and one more at the end
  std::vector<double> numbers;
  std::vector<char> missing;

  std::wstring_view Name(std::size_t i) const {
    return std::wstring_view(names).substr(nameAt[i], nameAt[i + 1] - nameAt[i]);
  }
  std::wstring_view Value(std::size_t i) const {
    return std::wstring_view(values).substr(valueAt[i], valueAt[i + 1] - valueAt[i]);
  }
};

// The names of the rows that meet the condition, and the values of the sort column when it is not the name,
// read in one statement of only those columns.
bool Server::ReadOrder(Listing& l, const Column& name, const Column* sort, SortKeys& keys) {
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
    std::wstring text, folded;
    for (; !rs.IsEOF(); rs.MoveNext()) {
      rs.GetFieldValue(static_cast<short>(0), cell);
      text = DBV_BSTRAll(&cell).str();
      l.text += text;
      l.at.push_back(l.text.size());
      AppendNaturalKey(text, folded, keys.names);
      keys.nameAt.push_back(keys.names.size());
      if (!sort) continue;
      rs.GetFieldValue(static_cast<short>(1), cell);
      bool missing = cell.m_dwType == DBVT_NULL;
      if (!missing && numeric) {
        const COleVariant v = CVdRecordset::getOLEVariant(cell);
        keys.numbers.push_back(VariantToDouble(&v));
        missing = std::isnan(keys.numbers.back());  // a server's NaN has no place in an order: it goes first
      } else {
        keys.numbers.push_back(0);
        if (!missing) AppendNaturalKey(DBV_BSTRAll(&cell).str(), folded, keys.values);
      }
      keys.valueAt.push_back(keys.values.size());
      keys.missing.push_back(missing);
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
  SortKeys keys;
  if (m_session.Failed() || !ReadOrder(l, *name, column == name ? nullptr : column, keys)) {
    Reply(r, m_session.Failed() ? 500 : 400, {{"error", Why("the family cannot be read")}});
    return nullptr;
  }
  l.order.resize(l.at.size() - 1);
  for (std::size_t i = 0; i < l.order.size(); ++i) l.order[i] = i;
  const bool bySort = column != name, numeric = IsNumeric(column->kind);
  std::stable_sort(l.order.begin(), l.order.end(), [&](std::size_t a, std::size_t b) {
    if (bySort && keys.missing[a] != keys.missing[b]) return keys.missing[a] != 0;
    if (bySort && !keys.missing[a]) {
      if (numeric && keys.numbers[a] != keys.numbers[b]) return keys.numbers[a] < keys.numbers[b];
      if (!numeric) {
        const int order = keys.Value(a).compare(keys.Value(b));
        if (order != 0) return order < 0;
      }
    }
    return keys.Name(a) < keys.Name(b);
  });
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
  const std::size_t total = l->order.size();
  for (std::size_t i = static_cast<std::size_t>(offset); i < total && page.size() < static_cast<std::size_t>(limit);
       ++i) {
    page.push_back(VdToUtf8(l->Name(order == "desc" ? total - 1 - i : i)));
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
