#include <vdpattern/catalog/VdPatternNames.h>

#include <cstdint>
#include <vdpattern/toolkit/String.h>
#include <vector>

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The characters that only differ from an ASCII one in their code: the first rule.
wchar_t Plain(wchar_t c) {
  if ((c >= 0x2010 && c <= 0x2015) || c == 0x2212) return L'-';
  if (c == 0x2044) return L'/';
  if (c == L'\t' || c == 0x00A0 || c == 0x2007 || c == 0x2009 || c == 0x200A || c == 0x202F || c == 0x3000) return L' ';
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - L'a' + L'A');
  return c;
}

bool IsDimensionSign(wchar_t c) { return c == L'X' || c == L'*' || c == 0x00D7; }

// A cursor over the plain text.
struct Reader {
  const std::wstring& s;
  std::size_t i = 0;
  wchar_t At(std::size_t k) const { return k < s.size() ? s[k] : L'\0'; }
  bool IsDecimalMark(std::size_t k) const { return (At(k) == L'.' || At(k) == L',') && IsDigit(At(k + 1)); }
  // Whether a number starts at k: a digit, or a decimal mark before one that no digit precedes.
  bool NumberAt(std::size_t k) const { return IsDigit(At(k)) || (IsDecimalMark(k) && (k == 0 || !IsDigit(At(k - 1)))); }
  std::size_t SkipSpaces(std::size_t k) const {
    while (At(k) == L' ') ++k;
    return k;
  }
  std::wstring Digits() {
    std::wstring d;
    while (IsDigit(At(i))) d += s[i++];
    return d;
  }
};

// Up to 18 digits, as a whole number; false when longer (such a number is kept as its digits).
bool ToInteger(const std::wstring& digits, std::uint64_t& value) {
  if (digits.empty() || digits.size() > 18) return false;
  value = 0;
  for (wchar_t c : digits) value = value * 10 + static_cast<std::uint64_t>(c - L'0');
  return true;
}

// A number as whole digits and the digits after the point, without leading or trailing zeros.
std::wstring Canonical(std::wstring whole, std::wstring fraction) {
  const std::size_t first = whole.find_first_not_of(L'0');
  whole = first == std::wstring::npos ? std::wstring() : whole.substr(first);
  const std::size_t last = fraction.find_last_not_of(L'0');
  fraction = last == std::wstring::npos ? std::wstring() : fraction.substr(0, last + 1);
  if (fraction.empty()) return whole.empty() ? L"0" : whole;
  return whole + L"." + fraction;
}

// whole + numerator / denominator when that has a finite decimal form of at most 18 digits after the point.
bool FractionText(std::uint64_t whole, std::uint64_t numerator, std::uint64_t denominator, std::wstring& out) {
  if (denominator == 0) return false;
  whole += numerator / denominator;
  std::uint64_t rest = numerator % denominator;
  std::wstring fraction;
  while (rest != 0) {
    if (fraction.size() == 18) return false;  // 1/3 and the like: no finite decimal
    rest *= 10;
    fraction += static_cast<wchar_t>(L'0' + rest / denominator);
    rest %= denominator;
  }
  out = Canonical(std::to_wstring(whole), fraction);
  return true;
}

// Reads the number at r.i (NumberAt holds there) and returns its normal form.
std::wstring ReadNumber(Reader& r) {
  const std::wstring whole = r.Digits();
  if (r.IsDecimalMark(r.i)) {
    ++r.i;
    return Canonical(whole, r.Digits());
  }
  std::uint64_t a = 0, b = 0, c = 0;
  // A simple fraction: whole is its numerator.
  if (r.At(r.i) == L'/' && IsDigit(r.At(r.i + 1))) {
    Reader probe = r;
    ++probe.i;
    std::wstring text;
    if (ToInteger(whole, a) && ToInteger(probe.Digits(), b) && !probe.IsDecimalMark(probe.i) &&
        FractionText(0, a, b, text)) {
      r.i = probe.i;
      return text;
    }
    return Canonical(whole, L"");
  }
  // A mixed number: whole, '-' or spaces, then a simple fraction.
  const std::size_t gap = r.At(r.i) == L'-' ? r.i + 1 : r.SkipSpaces(r.i);
  if (gap != r.i && IsDigit(r.At(gap))) {
    Reader probe = r;
    probe.i = gap;
    const std::wstring numerator = probe.Digits();
    if (probe.At(probe.i) == L'/' && IsDigit(probe.At(probe.i + 1))) {
      ++probe.i;
      std::wstring text;
      if (ToInteger(whole, a) && ToInteger(numerator, b) && ToInteger(probe.Digits(), c) && b < c &&
          !probe.IsDecimalMark(probe.i) && FractionText(a, b, c, text)) {
        r.i = probe.i;
        return text;
      }
    }
  }
  return Canonical(whole, L"");
}

// One piece of the name: a number's normal form, or one other character; spaces are kept as single pieces
// until the rule about them is applied.
struct Piece {
  std::wstring text;
  bool number = false;
  bool space = false;
};

std::vector<Piece> Pieces(const std::wstring& plain) {
  std::vector<Piece> pieces;
  Reader r{plain};
  while (r.i < plain.size()) {
    if (r.NumberAt(r.i)) {
      pieces.push_back({ReadNumber(r), true, false});
      // A dimension sign between this number and the next joins them, spaces around it dropped.
      const std::size_t sign = r.SkipSpaces(r.i);
      const std::size_t next = r.SkipSpaces(sign + 1);
      if (IsDimensionSign(r.At(sign)) && r.NumberAt(next)) {
        pieces.push_back({L"X", false, false});
        r.i = next;
      }
      continue;
    }
    const wchar_t c = plain[r.i++];
    if (c == L' ' && !pieces.empty() && pieces.back().space) continue;
    pieces.push_back({std::wstring(1, c), false, c == L' '});
  }
  return pieces;
}

}  // namespace

std::wstring VdNormalName(std::wstring_view name) {
  std::wstring plain;
  plain.reserve(name.size());
  for (wchar_t c : name) plain += Plain(c);
  const std::vector<Piece> pieces = Pieces(plain);
  std::wstring out;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const Piece& p = pieces[k];
    if (p.space) {
      // Kept only inside the name and between two numbers or two things that are not numbers.
      if (k == 0 || k + 1 == pieces.size() || pieces[k - 1].number != pieces[k + 1].number) continue;
    }
    out += p.text;
  }
  return out;
}

bool VdNaturalLessFolded(std::wstring_view x, std::wstring_view y) {
  auto digit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
  std::size_t i = 0, j = 0;
  while (i < x.size() && j < y.size()) {
    if (digit(x[i]) && digit(y[j])) {
      std::size_t iEnd = i, jEnd = j;
      while (iEnd < x.size() && digit(x[iEnd])) ++iEnd;
      while (jEnd < y.size() && digit(y[jEnd])) ++jEnd;
      while (i + 1 < iEnd && x[i] == L'0') ++i;  // leading zeros do not count
      while (j + 1 < jEnd && y[j] == L'0') ++j;
      if (iEnd - i != jEnd - j) return iEnd - i < jEnd - j;
      const int order = x.substr(i, iEnd - i).compare(y.substr(j, jEnd - j));
      if (order != 0) return order < 0;
      i = iEnd;
      j = jEnd;
      continue;
    }
    if (x[i] != y[j]) return x[i] < y[j];
    ++i;
    ++j;
  }
  return x.size() - i < y.size() - j;
}

bool VdNaturalLess(std::wstring_view a, std::wstring_view b) {
  std::wstring x(a), y(b);
  VdFoldLower(x);
  VdFoldLower(y);
  return VdNaturalLessFolded(x, y) || (!VdNaturalLessFolded(y, x) && a < b);
}

// ---------------------------------------------------------------- the catalog's names (extension)

#include <algorithm>
#include <memory>
#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include "catalog/NameTables.h"

namespace {

constexpr wchar_t kNameTable[] = L"vd_name";
constexpr wchar_t kAliasTable[] = L"vd_alias";
// Rows per INSERT when the name index is written anew: one statement per row cost a rebuild of 100,000 names
// most of its time in statement preparation.
constexpr std::size_t kRowsPerInsert = 200;

struct Closer {
  void operator()(CVdRecordset* rs) const {
    try {
      if (rs->IsOpen()) rs->Close();
    } catch (CDBException* e) {
      e->Delete();  // cleanup: the failure that led here, if any, is the one to tell
    }
    delete rs;
  }
};
using Recordset = std::unique_ptr<CVdRecordset, Closer>;

// The call's writes, undone unless Keep is reached.
class Writes {
 public:
  explicit Writes(CVdDatabase* database) : m_database(database) { database->BeginWriteGroup(); }
  ~Writes() {
    if (!m_open) return;
    try {
      m_database->EndWriteGroup(FALSE);
    } catch (CDBException* e) {
      e->Delete();
    }
  }
  void Keep() {
    m_open = false;
    m_database->EndWriteGroup(TRUE);
  }
  Writes(const Writes&) = delete;
  Writes& operator=(const Writes&) = delete;

 private:
  CVdDatabase* m_database;
  bool m_open = true;
};

std::wstring Field(CVdRecordset& rs, const wchar_t* column) {
  CDBVariant value;
  rs.GetFieldValue(column, value);
  return DBV_BSTRAll(&value).str();
}

std::wstring Quote(const std::wstring& text) { return VdQuoteText(CString(text)).str(); }

bool SameNoCase(const std::wstring& a, const std::wstring& b) { return VdCompareNoCase(a, b) == 0; }

// A failure that says nothing about the statement: the connection is gone, or a lock or time limit stopped it.
bool IsLostOrTimedOut(const CDBException* e) {
  const CDBException::Category category = e->GetCategory();
  return category == CDBException::eConnection || category == CDBException::eTimeout;
}

// The family's name column bracketed as the schema spells it: a server tells "NAME" from "Name".
std::wstring NameColumnOf(CVdDatabase& db, const std::wstring& family) {
  CString column;
  if (!db.GetColumnSpelling(family.c_str(), L"Name", column) || column.str().find(L']') != std::wstring::npos)
    return L"[Name]";
  return L"[" + column.str() + L"]";
}

// The family as the catalog spells it, or empty when it has none of that name.
std::wstring SpelledFamily(CVdPatternCatalog& catalog, const std::wstring& family) {
  std::list<std::wstring> families;
  catalog.GetFamilies(families);
  for (const std::wstring& f : families)
    if (SameNoCase(f, family)) return f;
  return std::wstring();
}

}  // namespace

bool CVdPatternCatalog::HasTable(const wchar_t* table) {
  CVdODBCTableDefInfo info;
  return Database()->GetTableDefInfo(table, info) && !(info.m_lAttributes & VD_TABLEDEF_MISSING);
}

bool vdpattern::catalog::MakeNameTable(CVdDatabase& db, const wchar_t* table) {
  const CString name(table);
  if (name.CompareNoCase(kNameTable) == 0) {
    db.ExecuteSQL(
        L"CREATE TABLE [vd_name] ([family] TEXT COLLATE NOCASE NOT NULL, [name] TEXT COLLATE NOCASE "
        L"NOT NULL, [normal] TEXT COLLATE NOCASE NOT NULL)");
    db.ExecuteSQL(L"CREATE INDEX [vd_name_normal] ON [vd_name] ([normal] COLLATE NOCASE)");
    return true;
  }
  if (name.CompareNoCase(kAliasTable) == 0) {
    db.ExecuteSQL(
        L"CREATE TABLE [vd_alias] ([alias] TEXT COLLATE NOCASE NOT NULL, [family] TEXT COLLATE "
        L"NOCASE NOT NULL, [name] TEXT COLLATE NOCASE NOT NULL, [normal] TEXT COLLATE NOCASE NOT NULL)");
    db.ExecuteSQL(L"CREATE UNIQUE INDEX [vd_alias_normal] ON [vd_alias] ([normal] COLLATE NOCASE)");
    return true;
  }
  return false;
}

bool CVdPatternCatalog::EnsureNameTables() {
  if (!HasTable(kNameTable)) vdpattern::catalog::MakeNameTable(*Database(), kNameTable);
  if (!HasTable(kAliasTable)) vdpattern::catalog::MakeNameTable(*Database(), kAliasTable);
  m_nameIndex = eNameIndexTable;
  return true;
}

void CVdPatternCatalog::NoteName(const std::wstring& family, const std::wstring& name, bool added) {
  // Known once per opening: an import would otherwise ask for the table at every row.
  if (m_nameIndex == eNameIndexUnknown) m_nameIndex = HasTable(kNameTable) ? eNameIndexTable : eNameIndexAbsent;
  if (m_nameIndex == eNameIndexAbsent) return;  // nothing to keep: the names are read when first needed
  const std::wstring normal = VdNormalName(name);
  if (m_nameIndex == eNameIndexScanned) {
    auto range = m_scannedNames.equal_range(normal);
    for (auto it = range.first; it != range.second;) {
      const bool same = SameNoCase(it->second.first, family) && SameNoCase(it->second.second, name);
      it = same ? m_scannedNames.erase(it) : std::next(it);
    }
    if (added) m_scannedNames.emplace(normal, std::make_pair(family, name));
    return;
  }
  // Case is compared in our code's terms, not the column's: the normal form narrows the rows to a few.
  std::vector<NameMatch> rows;
  Candidates(normal, rows);
  for (const NameMatch& row : rows) {
    if (!SameNoCase(row.family, family) || !SameNoCase(row.name, name)) continue;
    const std::wstring where = L" WHERE [normal] = " + Quote(normal) + L" AND [family] = " + Quote(row.family) +
                               L" AND [name] = " + Quote(row.name);
    if (row.alias.empty()) Database()->ExecuteSQL((L"DELETE FROM [vd_name]" + where).c_str());
  }
  if (added) {
    Database()->ExecuteSQL((L"INSERT INTO [vd_name] ([family], [name], [normal]) VALUES (" + Quote(family) + L", " +
                            Quote(name) + L", " + Quote(normal) + L")")
                               .c_str());
    return;
  }
  // A removed row takes its aliases with it: they would point at nothing.
  if (!HasTable(kAliasTable)) return;
  Recordset rs(new CVdRecordset(Database()));
  rs->Open(0, (L"SELECT [alias], [family], [name] FROM [vd_alias] WHERE [family] = " + Quote(family)).c_str(), 0);
  std::vector<std::wstring> gone;
  for (; !rs->IsEOF(); rs->MoveNext())
    if (SameNoCase(Field(*rs, L"name"), name)) gone.push_back(VdNormalName(Field(*rs, L"alias")));
  rs->Close();
  for (const std::wstring& n : gone)
    Database()->ExecuteSQL((L"DELETE FROM [vd_alias] WHERE [normal] = " + Quote(n)).c_str());
}

void CVdPatternCatalog::NoteNames(const std::wstring& family, const std::vector<std::wstring>& names, bool appended) {
  if (names.empty()) return;
  if (m_nameIndex == eNameIndexUnknown) m_nameIndex = HasTable(kNameTable) ? eNameIndexTable : eNameIndexAbsent;
  if (m_nameIndex == eNameIndexAbsent) return;
  if (m_nameIndex == eNameIndexScanned) {
    for (const std::wstring& name : names) NoteName(family, name, true);
    return;
  }
  // 5,000 names a statement (three bound texts each, within every engine's limit): an import pays a statement
  // per batch, not one per row.
  constexpr std::size_t kBatch = 5000;
  const std::wstring quotedFamily = Quote(family);
  for (std::size_t first = 0; first < names.size(); first += kBatch) {
    const std::size_t end = std::min(names.size(), first + kBatch);
    // Entries of rows that another program removed would stand beside the new ones. Rows appended to a family
    // that the caller found empty skip this: an entry left over is never a match (candidates are checked
    // against their family) and only costs the check.
    if (!appended) {
      std::wstring in;
      for (std::size_t r = first; r < end; ++r) in += (r == first ? L"" : L", ") + Quote(names[r]);
      Database()->ExecuteSQL(
          (L"DELETE FROM [vd_name] WHERE [family] = " + quotedFamily + L" AND [name] IN (" + in + L")").c_str());
    }
    std::wstring sql = L"INSERT INTO [vd_name] ([family], [name], [normal]) VALUES ";
    for (std::size_t r = first; r < end; ++r)
      sql += (r == first ? L"(" : L", (") + quotedFamily + L", " + Quote(names[r]) + L", " +
             Quote(VdNormalName(names[r])) + L")";
    Database()->ExecuteSQL(sql.c_str());
  }
}

std::wstring vdpattern::catalog::CheckedCandidatesStatement(const std::wstring& normal, bool aliases,
                                                            const std::vector<NameColumn>& families) {
  const std::wstring quoted = Quote(normal);
  std::wstring sql = L"SELECT [family], [name], [alias], ";
  if (families.empty()) {
    sql += L"0";
  } else {
    // The family's term comes first and names no table of the probe, so each engine tests it once per
    // candidate and probes only the family the candidate names. The row's name is compared ignoring case, as
    // the entry was written from it: the family's own collation could differ from the index's, which a server
    // would refuse to choose between.
    sql += L"CASE WHEN ";
    for (std::size_t k = 0; k < families.size(); ++k) {
      const NameColumn& f = families[k];
      if (k) sql += L" OR ";
      sql += L"([vd_c].[family] = " + Quote(f.first) + L" COLLATE NOCASE AND EXISTS (SELECT 1 FROM [" + f.first +
             L"] AS [vd_f] WHERE [vd_f].[" + f.second + L"] = [vd_c].[name] COLLATE NOCASE))";
    }
    sql += L" THEN 1 ELSE 0 END";
  }
  sql += L" AS [vd_here] FROM (";
  if (aliases) sql += L"SELECT [family], [name], [alias] FROM [vd_alias] WHERE [normal] = " + quoted + L" UNION ALL ";
  sql += L"SELECT [family], [name], '' AS [alias] FROM [vd_name] WHERE [normal] = " + quoted + L") AS [vd_c]";
  return sql;
}

void CVdPatternCatalog::ReadNameColumns() {
  m_nameColumns.clear();
  m_nameColumnsRead = true;
  std::list<std::wstring> families;
  GetFamilies(families);
  for (const std::wstring& family : families) {
    CString column;
    // A family whose name cannot be bracketed, or whose name column the schema does not report, is left out:
    // its candidates are checked one statement each.
    if (family.find(L']') != std::wstring::npos || !Database()->GetColumnSpelling(family.c_str(), L"Name", column) ||
        column.str().find(L']') != std::wstring::npos)
      continue;
    m_nameColumns.emplace_back(family, column.str());
  }
}

bool CVdPatternCatalog::Candidates(const std::wstring& normal, std::vector<NameMatch>& found,
                                   std::vector<signed char>* here) {
  if (m_nameIndex == eNameIndexUnknown || m_nameIndex == eNameIndexAbsent) {
    if (m_nameIndex == eNameIndexUnknown && HasTable(kNameTable)) {
      m_nameIndex = eNameIndexTable;
    } else {
      // No index in the file: its names are read once, and kept for this opening.
      std::list<std::wstring> families;
      GetFamilies(families);
      for (const std::wstring& family : families) {
        if (family.find(L']') != std::wstring::npos) continue;
        Recordset rs(new CVdRecordset(Database()));
        rs->Open(0, (L"SELECT " + NameColumnOf(*Database(), family) + L" AS [Name] FROM [" + family + L"]").c_str(), 0);
        for (; !rs->IsEOF(); rs->MoveNext()) {
          const std::wstring name = Field(*rs, L"Name");
          m_scannedNames.emplace(VdNormalName(name), std::make_pair(family, name));
        }
      }
      m_nameIndex = eNameIndexScanned;
    }
  }
  const bool aliases = HasTable(kAliasTable);
  const std::size_t first = found.size();
  const auto unchecked = [&] {
    if (here) here->resize(found.size(), -1);
  };
  if (m_nameIndex == eNameIndexScanned) {
    auto range = m_scannedNames.equal_range(normal);
    for (auto it = range.first; it != range.second; ++it) found.push_back({it->second.first, it->second.second, L""});
    unchecked();
    if (!aliases) return true;
  }
  if (here && m_nameIndex == eNameIndexTable) {
    // The candidates come checked against their rows: on a server one round trip for them all.
    if (!m_nameColumnsRead) ReadNameColumns();
    try {
      Recordset rs(new CVdRecordset(Database()));
      rs->Open(0, vdpattern::catalog::CheckedCandidatesStatement(normal, aliases, m_nameColumns).c_str(), 0);
      bool unlisted = false;
      for (; !rs->IsEOF(); rs->MoveNext()) {
        found.push_back({Field(*rs, L"family"), Field(*rs, L"name"), Field(*rs, L"alias")});
        const std::wstring& family = found.back().family;
        const bool listed =
            std::any_of(m_nameColumns.begin(), m_nameColumns.end(),
                        [&](const std::pair<std::wstring, std::wstring>& f) { return SameNoCase(f.first, family); });
        unlisted = unlisted || !listed;
        here->push_back(listed ? (Field(*rs, L"vd_here") == L"0" ? 0 : 1) : -1);
      }
      // A family made since the list was read: read it again for the next lookup.
      if (unlisted) m_nameColumnsRead = false;
      return true;
    } catch (CDBException* e) {
      if (IsLostOrTimedOut(e)) throw;
      // A family dropped or changed since the list was read: this lookup checks its candidates one by one.
      e->Delete();
      found.resize(first);
      here->resize(first);
      m_nameColumnsRead = false;
    }
  }
  // Aliases and spellings in one statement: one round trip on a server.
  std::wstring statement;
  if (aliases) statement = L"SELECT [family], [name], [alias] FROM [vd_alias] WHERE [normal] = " + Quote(normal);
  if (m_nameIndex == eNameIndexTable) {
    if (!statement.empty()) statement += L" UNION ALL ";
    statement += L"SELECT [family], [name], '' AS [alias] FROM [vd_name] WHERE [normal] = " + Quote(normal);
  }
  Recordset rs(new CVdRecordset(Database()));
  rs->Open(0, statement.c_str(), 0);
  for (; !rs->IsEOF(); rs->MoveNext())
    found.push_back({Field(*rs, L"family"), Field(*rs, L"name"), Field(*rs, L"alias")});
  unchecked();
  return true;
}

bool CVdPatternCatalog::GetNeighbourNames(const wchar_t* name, std::size_t around, std::vector<std::wstring>& names) {
  names.clear();
  if (!Database() || !name) return false;
  try {
    if (m_nameIndex == eNameIndexUnknown) m_nameIndex = HasTable(kNameTable) ? eNameIndexTable : eNameIndexAbsent;
    if (m_nameIndex != eNameIndexTable) return false;
    const std::wstring normal = Quote(VdNormalName(name));
    const std::wstring limit = std::to_wstring(around);
    Recordset rs(new CVdRecordset(Database()));
    rs->Open(0,
             (L"SELECT [name] FROM (SELECT [name] FROM [vd_name] WHERE [normal] < " + normal +
              L" ORDER BY [normal] DESC LIMIT " + limit +
              L") AS [below] UNION ALL SELECT [name] FROM (SELECT [name] "
              L"FROM [vd_name] WHERE [normal] >= " +
              normal + L" ORDER BY [normal] LIMIT " + limit + L") AS [above]")
                 .c_str(),
             0);
    for (; !rs->IsEOF(); rs->MoveNext()) names.push_back(Field(*rs, L"name"));
    return true;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    names.clear();
    return false;
  }
}

std::wstring vdpattern::catalog::NearNamesStatement(const std::wstring& name, const std::wstring& family,
                                                    std::size_t around, bool names, bool aliases,
                                                    const std::vector<NameColumn>& families) {
  const std::wstring limit = std::to_wstring(std::max<std::size_t>(around, 1));
  const std::wstring normal = Quote(VdNormalName(name));
  const std::wstring onlyFamily = family.empty() ? L"" : L" AND [family] = " + Quote(family) + L" COLLATE NOCASE";
  std::wstring sql;
  std::size_t branch = 0;
  // The rows of `from` on either side of `key` in the order of `column`: each side is one index range read.
  const auto beside = [&](const std::wstring& select, const std::wstring& from, const std::wstring& column,
                          const std::wstring& key, const std::wstring& where, const std::wstring& rows) {
    for (const bool below : {true, false}) {
      sql += (sql.empty() ? L"" : L" UNION ALL ") + std::wstring(L"SELECT * FROM (SELECT ") + select + L" FROM " +
             from + L" WHERE " + column + (below ? L" < " : L" >= ") + key + where + L" ORDER BY " + column +
             (below ? L" DESC" : L"") + L" LIMIT " + rows + L") AS [vd_near" + std::to_wstring(branch++) + L"]";
    }
  };
  if (names)
    beside(L"-1 AS [k], [family], [name], '' AS [alias], 0 AS [exact]", L"[vd_name]", L"[normal]", normal, onlyFamily,
           limit);
  if (aliases)
    beside(L"-1 AS [k], [family], [name], [alias], 0 AS [exact]", L"[vd_alias]", L"[normal]", normal, onlyFamily,
           limit);
  // Each family shares the rows: forty families must not cost forty times the download of one.
  const std::wstring share =
      std::to_wstring(std::max<std::size_t>(8, 2 * around / std::max<std::size_t>(families.size(), 1)));
  std::wstring upper = name;
  VdFoldUpper(upper);
  const std::wstring typed = Quote(name);
  for (std::size_t k = 0; k < families.size(); ++k) {
    const std::wstring column = L"[" + families[k].second + L"]";
    const std::wstring select = std::to_wstring(k) + L" AS [k], '' AS [family], " + column +
                                L" AS [name], '' AS [alias], CASE WHEN " + column + L" = " + typed +
                                L" THEN 1 ELSE 0 END AS [exact]";
    const std::wstring table = L"[" + families[k].first + L"]";
    // As written, and in capitals: "heb 300" sorts among the lower-case names, "HEB 300" among the catalog's.
    beside(select, table, column, typed, L"", share);
    if (upper != name) beside(select, table, column, Quote(upper), L"", share);
  }
  return sql;
}

bool CVdPatternCatalog::GetNearNames(const wchar_t* name, const wchar_t* family, std::size_t around,
                                     std::vector<NearName>& names, std::vector<NameMatch>* spellings) {
  names.clear();
  if (!Database() || !name) return false;
  const std::wstring only = family ? family : L"";
  try {
    if (m_nameIndex == eNameIndexUnknown) m_nameIndex = HasTable(kNameTable) ? eNameIndexTable : eNameIndexAbsent;
    const bool indexed = m_nameIndex == eNameIndexTable;
    const bool aliases = HasTable(kAliasTable);
    // Without the name index the spellings are FindNames' own (the names read once per opening).
    if (spellings && !indexed && !FindNames(name, family, *spellings)) return false;
    const bool together = spellings && indexed;
    for (int attempt = 0; attempt < 2; ++attempt) {
      // The index spans every family; without it, or for one family, the families are probed themselves.
      if (!m_nameColumnsRead && (together || !indexed || !only.empty())) ReadNameColumns();
      std::vector<vdpattern::catalog::NameColumn> probed;
      if (!indexed || !only.empty())
        for (const auto& f : m_nameColumns)
          if (only.empty() || SameNoCase(f.first, only)) probed.push_back(f);
      std::wstring statement = vdpattern::catalog::NearNamesStatement(name, only, around, indexed, aliases, probed);
      // The spelling's checked candidates lead, as [k] -2 with their check as [exact].
      if (together)
        statement = L"SELECT -2 AS [k], [family], [name], [alias], [vd_here] AS [exact] FROM (" +
                    vdpattern::catalog::CheckedCandidatesStatement(VdNormalName(name), aliases, m_nameColumns) +
                    L") AS [vd_spelt]" + (statement.empty() ? L"" : L" UNION ALL " + statement);
      if (statement.empty()) return true;  // nothing to ask: no index, and no family readable so
      std::vector<NameMatch> found;
      std::vector<signed char> here;
      try {
        Recordset rs(new CVdRecordset(Database()));
        rs->Open(0, statement.c_str(), 0);
        bool unlisted = false;
        for (; !rs->IsEOF(); rs->MoveNext()) {
          const long k = std::wcstol(Field(*rs, L"k").c_str(), nullptr, 10);
          const bool checked = Field(*rs, L"exact") == L"1";
          if (k == -2) {
            found.push_back({Field(*rs, L"family"), Field(*rs, L"name"), Field(*rs, L"alias")});
            const std::wstring& f = found.back().family;
            const bool listed =
                std::any_of(m_nameColumns.begin(), m_nameColumns.end(),
                            [&](const vdpattern::catalog::NameColumn& c) { return SameNoCase(c.first, f); });
            unlisted = unlisted || !listed;
            here.push_back(listed ? (checked ? 1 : 0) : -1);
            continue;
          }
          NearName near;
          near.family = k >= 0 && static_cast<std::size_t>(k) < probed.size()
                            ? probed[static_cast<std::size_t>(k)].first
                            : Field(*rs, L"family");
          near.name = Field(*rs, L"name");
          near.alias = Field(*rs, L"alias");
          near.exact = checked;
          if (!near.name.empty()) names.push_back(std::move(near));
        }
        rs->Close();
        // A family made since the list was read: read it again for the next lookup.
        if (unlisted) m_nameColumnsRead = false;
      } catch (CDBException* e) {
        if (IsLostOrTimedOut(e)) throw;
        // A family dropped or changed since its name column was read: read them again once. A statement the
        // engine still refuses (names it cannot compare so) leaves the families to the caller, quietly.
        e->Delete();
        names.clear();
        m_nameColumnsRead = false;
        continue;
      }
      if (together) KeepMatches(found, here, family, *spellings);
      return true;
    }
    // The spellings still answer: the caller reads the families itself for the suggestions.
    if (together && !FindNames(name, family, *spellings)) return false;
    return false;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    names.clear();
    return false;
  }
}

bool CVdPatternCatalog::FindNames(const wchar_t* name, const wchar_t* family, std::vector<NameMatch>& matches) {
  if (!Database() || !name) return false;
  try {
    std::vector<NameMatch> found;
    std::vector<signed char> here;
    Candidates(VdNormalName(name), found, &here);
    KeepMatches(found, here, family, matches);
    return true;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return false;
  }
}

void CVdPatternCatalog::KeepMatches(const std::vector<NameMatch>& found, const std::vector<signed char>& here,
                                    const wchar_t* family, std::vector<NameMatch>& matches) {
  for (std::size_t k = 0; k < found.size(); ++k) {
    const NameMatch& m = found[k];
    if (family && *family && !SameNoCase(m.family, family)) continue;
    const bool seen = std::any_of(matches.begin(), matches.end(), [&](const NameMatch& o) {
      return SameNoCase(o.family, m.family) && SameNoCase(o.name, m.name);
    });
    if (seen) continue;
    // A stale entry (its row removed by another program) is never a match.
    bool exists = here[k] > 0;
    if (here[k] < 0 && m.family.find(L']') == std::wstring::npos)
      Recordset rs(InternalFindPattern(m.name.c_str(), m.family.c_str(), exists));
    if (!exists) continue;
    matches.push_back(m);
  }
}

CVdPattern* CVdPatternCatalog::GetPatternBySpelling(const wchar_t* name, const wchar_t* family, StoredRow* row) {
  std::vector<NameMatch> matches;
  const bool spellings = m_bMatchSpellings;
  m_bMatchSpellings = false;  // the candidates are looked up by their exact names
  const bool answered = FindNames(name, family, matches);
  CVdPattern* pattern = nullptr;
  if (answered && matches.size() == 1)
    pattern = row ? ReadPattern(matches[0].name.c_str(), matches[0].family.c_str(), row)
                  : GetPattern(matches[0].name.c_str(), matches[0].family.c_str());
  m_bMatchSpellings = spellings;
  return pattern;
}

bool CVdPatternCatalog::CheckAlias(const Alias& alias, std::wstring& family, std::wstring& name, CString& error) {
  const std::wstring normal = VdNormalName(alias.alias);
  if (normal.empty()) {
    error = L"An alias cannot be empty.";
    return false;
  }
  std::vector<NameMatch> taken;
  Candidates(normal, taken);
  bool isName = false;
  Recordset exact(InternalFindPattern(alias.alias.c_str(), nullptr, isName));
  if (isName) {
    error.Format(L"\"%s\" is the name of a pattern, so it cannot be an alias.", alias.alias.c_str());
    return false;
  }
  if (!taken.empty()) {
    error.Format(L"\"%s\" is already %s of %s.", alias.alias.c_str(),
                 taken[0].alias.empty() ? L"a spelling" : L"an alias", taken[0].name.c_str());
    return false;
  }
  const bool spellings = m_bMatchSpellings;
  m_bMatchSpellings = false;
  std::unique_ptr<CVdPattern> target;
  family = alias.family.empty() ? std::wstring() : SpelledFamily(*this, alias.family);
  if (alias.family.empty() || !family.empty())
    target.reset(GetPattern(alias.name.c_str(), family.empty() ? nullptr : family.c_str()));
  m_bMatchSpellings = spellings;
  if (!target) {
    error.Format(L"\"%s\" is not a pattern%s, so an alias cannot point at it.", alias.name.c_str(),
                 alias.family.empty() ? L" of this catalog" : (L" of family " + alias.family).c_str());
    return false;
  }
  if (family.empty()) family = SpelledFamily(*this, target->GetFamily().str());
  name = target->GetUserNameW().str();
  return true;
}

bool CVdPatternCatalog::AddAliases(const std::vector<Alias>& aliases, CString& error) {
  if (!Database()) return false;
  if (!CanWrite()) {
    error = L"The catalog is read-only.";
    return false;
  }
  // Until the writes are kept, what the catalog knows of its tables may be undone with them.
  struct Forget {
    CVdPatternCatalog& catalog;
    bool kept = false;
    ~Forget() {
      if (kept) return;
      catalog.m_nameIndex = eNameIndexUnknown;
      catalog.m_scannedNames.clear();
    }
  } forget{*this};
  try {
    Writes writes(Database());
    // A catalog whose names were never indexed: the index is written before any alias is checked against it.
    const bool indexed = HasTable(kNameTable);
    EnsureNameTables();
    if (!indexed && !RebuildNameIndex(error)) return false;
    std::vector<NameMatch> added;
    for (const Alias& a : aliases) {
      std::wstring family, name;
      if (!CheckAlias(a, family, name, error)) return false;
      Database()->ExecuteSQL((L"INSERT INTO [vd_alias] ([alias], [family], [name], [normal]) VALUES (" +
                              Quote(a.alias) + L", " + Quote(family) + L", " + Quote(name) + L", " +
                              Quote(VdNormalName(a.alias)) + L")")
                                 .c_str());
      added.push_back({family, name, a.alias});
    }
    RecordAliasWrite(added, true);
    writes.Keep();
    forget.kept = true;
    return true;
  } catch (CDBException* e) {
    error = GetDBExceptionString(e);
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::AddAlias(const wchar_t* alias, const wchar_t* name, const wchar_t* family, CString& error) {
  if (!alias || !name) return false;
  return AddAliases({{alias, family ? family : L"", name}}, error);
}

bool CVdPatternCatalog::RemoveAlias(const wchar_t* alias, CString& error) {
  if (!Database() || !alias) return false;
  try {
    const std::wstring normal = VdNormalName(alias);
    std::vector<NameMatch> found;
    Candidates(normal, found);
    if (std::none_of(found.begin(), found.end(), [](const NameMatch& m) { return !m.alias.empty(); })) {
      error.Format(L"\"%s\" is not an alias of this catalog.", alias);
      return false;
    }
    Writes writes(Database());
    Database()->ExecuteSQL((L"DELETE FROM [vd_alias] WHERE [normal] = " + Quote(normal)).c_str());
    RecordAliasWrite(found, false);
    writes.Keep();
    return true;
  } catch (CDBException* e) {
    error = GetDBExceptionString(e);
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::GetAliases(std::vector<Alias>& aliases) {
  if (!Database()) return false;
  try {
    if (!HasTable(kAliasTable)) return true;
    Recordset rs(new CVdRecordset(Database()));
    rs->Open(0, L"SELECT [alias], [family], [name] FROM [vd_alias]", 0);
    for (; !rs->IsEOF(); rs->MoveNext())
      aliases.push_back({Field(*rs, L"alias"), Field(*rs, L"family"), Field(*rs, L"name")});
    std::sort(aliases.begin(), aliases.end(),
              [](const Alias& a, const Alias& b) { return VdCompareNoCase(a.alias, b.alias) < 0; });
    return true;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::RebuildNameIndex(CString& error) {
  if (!Database()) return false;
  if (!CanWrite()) {
    error = L"The catalog is read-only.";
    return false;
  }
  try {
    Writes writes(Database());
    EnsureNameTables();
    Database()->ExecuteSQL(L"DELETE FROM [vd_name]");
    std::list<std::wstring> families;
    GetFamilies(families);
    std::wstring values;
    std::size_t rows = 0;
    const auto flush = [&] {
      if (rows == 0) return;
      Database()->ExecuteSQL((L"INSERT INTO [vd_name] ([family], [name], [normal]) VALUES " + values).c_str());
      values.clear();
      rows = 0;
    };
    for (const std::wstring& family : families) {
      if (family.find(L']') != std::wstring::npos) continue;
      Recordset rs(new CVdRecordset(Database()));
      rs->Open(0, (L"SELECT " + NameColumnOf(*Database(), family) + L" AS [Name] FROM [" + family + L"]").c_str(), 0);
      std::vector<std::wstring> names;
      for (; !rs->IsEOF(); rs->MoveNext()) names.push_back(Field(*rs, L"Name"));
      rs->Close();
      for (const std::wstring& name : names) {
        values +=
            (rows ? L", (" : L"(") + Quote(family) + L", " + Quote(name) + L", " + Quote(VdNormalName(name)) + L")";
        if (++rows == kRowsPerInsert) flush();
      }
    }
    flush();
    writes.Keep();
    m_nameIndex = eNameIndexTable;
    m_scannedNames.clear();
    return true;
  } catch (CDBException* e) {
    error = GetDBExceptionString(e);
    e->Delete();
    m_nameIndex = eNameIndexUnknown;
    return false;
  }
}
