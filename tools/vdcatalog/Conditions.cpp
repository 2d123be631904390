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
#include <vdpattern/toolkit/VdCondition.h>
#include <vdpattern/vdpattern.h>

#include "CsvFile.h"
#include "Output.h"

namespace vdcatalog {

namespace {

// ---------------------------------------------------------------- conditions

// A condition given with --where, kept a condition on the family's own columns (VdCondition.h).
bool RewriteCondition(const std::string& condition, const std::vector<Column>& columns, CString& out,
                      std::string& error) {
  std::vector<std::wstring> names;
  for (const Column& column : columns) names.push_back(column.name);
  std::wstring rewritten;
  if (!VdRewriteCondition(Wide(condition).str(), names, rewritten, error)) return false;
  out = CString(rewritten);
  return true;
}

}  // namespace

void SortNaturally(std::list<std::wstring>& names) {
  names.sort([](const std::wstring& a, const std::wstring& b) { return VdNaturalLess(a, b); });
}

// The rows of a family, optionally those whose name is like `like` and that meet the condition `where`, sorted
// by name as a person reads names; false with a message that says why.
bool ReadRows(CVdDatabase* db, const std::string& family, const std::vector<Column>& columns, const std::string& like,
              const std::string& where, std::vector<Row>& rows) {
  CString table;
  if (!Bracketed(Wide(family).str(), table)) return false;
  CString statement = L"SELECT * FROM " + table;
  if (!like.empty()) statement += L" WHERE [Name] Like " + VdQuoteText(Wide(like));
  if (!where.empty()) {
    CString condition;
    std::string error;
    if (!RewriteCondition(where, columns, condition, error)) {
      Error("the condition \"" + Shown(where) + "\" cannot be used: " + error);
      return false;
    }
    statement += CString(like.empty() ? L" WHERE (" : L" AND (") + condition + L")";
  }
  try {
    CVdRecordset rs(db);
    rs.Open(0, statement, 0);
    std::vector<short> cells(columns.size(), -1);
    short nameCell = -1;
    for (short c = 0, n = rs.GetODBCFieldCount(); c < n; ++c) {
      CODBCFieldInfo info;
      rs.GetODBCFieldInfo(c, info);
      for (std::size_t i = 0; i < columns.size(); ++i)
        if (VdCompareNoCase(info.m_strName.str(), columns[i].name) == 0) cells[i] = c;
      if (info.m_strName.CompareNoCase(L"Name") == 0) nameCell = c;
    }
    CDBVariant cell;
    for (; !rs.IsEOF(); rs.MoveNext()) {
      Row row;
      for (short c : cells) {
        if (c < 0) {
          row.values.emplace_back();
          continue;
        }
        rs.GetFieldValue(c, cell);
        row.values.push_back(CVdRecordset::getOLEVariant(cell));
        if (c == nameCell) row.name = Utf8(VariantToString(&row.values.back(), true));
      }
      row.key = Folded(Wide(row.name).str());
      rows.push_back(std::move(row));
    }
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    Error("cannot read family " + family + (where.empty() ? "" : " with the condition \"" + Shown(where) + "\"") +
          ": " + Utf8(reason.TrimRight()));
    return false;
  }
  // Names equal but for case keep the order the catalog gave.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return VdNaturalLessFolded(a.key, b.key); });
  return true;
}

std::string Text(const VARIANT* v) { return v ? Utf8(VariantToString(v, true)) : std::string(); }

namespace {

// The names of `catalogs` closest to `name`; `unread` gets the reason of each family that could not be read,
// which a search passes over without a word.
std::vector<std::string> ClosestNames(Session& session, const std::vector<CVdPatternCatalog*>& catalogs,
                                      const std::string& name, std::vector<std::string>& unread) {
  const std::wstring wanted = Folded(Wide(name).str());
  std::vector<std::pair<std::size_t, std::string>> scored;
  for (CVdPatternCatalog* catalog : catalogs) {
    // The catalog's name index gives the names next to the wanted one: a few rows, not every family.
    std::vector<std::wstring> near;
    if (catalog->GetNeighbourNames(Wide(name).str().c_str(), 64, near)) {
      for (const std::wstring& candidate : near)
        if (!candidate.empty()) scored.emplace_back(EditDistance(wanted, Folded(candidate)), VdToUtf8(candidate));
      continue;
    }
    std::list<std::wstring> families;
    catalog->GetFamilies(families);
    for (const std::wstring& family : families) {
      if (family.find(L']') != std::wstring::npos) continue;
      CVdRecordset rs(session.Database(catalog));
      try {
        rs.Open(0, L"SELECT [Name] FROM [" + CString(family) + L"]", 0);
        for (; !rs.IsEOF(); rs.MoveNext()) {
          CDBVariant cell;
          rs.GetFieldValue(L"Name", cell);
          const std::wstring candidate = DBV_BSTRAll(&cell).str();
          if (candidate.empty()) continue;  // a row without a name is nothing to suggest
          scored.emplace_back(EditDistance(wanted, Folded(candidate)), VdToUtf8(candidate));
        }
      } catch (CDBException* e) {
        if (e->GetCategory() != CDBException::eNoSuchObject) unread.push_back(Utf8(e->m_strError.TrimRight()));
        e->Delete();
      }
    }
  }
  std::sort(scored.begin(), scored.end());
  std::vector<std::string> best;
  const std::size_t limit = std::max<std::size_t>(2, wanted.size() / 3);
  for (const auto& [distance, candidate] : scored) {
    if (distance > limit || best.size() == 3) break;
    if (std::find(best.begin(), best.end(), candidate) == best.end()) best.push_back(candidate);
  }
  return best;
}

// "; did you mean A, B or C?" with the pattern names of `catalogs` closest to `name`, or nothing; then why
}  // namespace

// each family that could not be searched was not.
std::string DidYouMean(Session& session, const std::vector<CVdPatternCatalog*>& catalogs, const std::string& name) {
  std::vector<std::string> unread;
  const std::vector<std::string> close = ClosestNames(session, catalogs, name, unread);
  std::string hint;
  // Escaped here: the message's own line breaks become spaces, and "a\nb" must not read as "a b".
  for (std::size_t i = 0; i < close.size(); ++i)
    hint += (i ? (i + 1 == close.size() ? " or " : ", ") : "") + Visible(close[i]);
  hint = hint.empty() ? hint : "; did you mean " + hint + "?";
  for (const std::string& reason : unread) hint += " (not searched: " + reason + ")";
  return hint;
}

}  // namespace vdcatalog
