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

namespace {

// ---------------------------------------------------------------- conditions

// A condition given with --where, checked and rewritten token by token, so that it stays a condition on the
// family's own columns: column names (bare, [bracketed] or "quoted") must be columns of the family and are
// written bracketed; numbers, 'texts', comparison and arithmetic operators, parentheses, AND / OR / NOT, LIKE,
// IN, BETWEEN, IS [NOT] NULL and a few plain functions are allowed. Anything else (another table, a SELECT, a
// second statement, a comment, functions that make huge values) is refused with the word that is not allowed.
bool RewriteCondition(const std::string& condition, const std::vector<Column>& columns, CString& out,
                      std::string& error) {
  static const char* const kKeywords[] = {"AND", "OR", "NOT", "LIKE", "IN", "BETWEEN", "IS", "NULL", "ESCAPE"};
  static const char* const kFunctions[] = {"ABS", "ROUND", "LOWER", "UPPER", "LENGTH", "TRIM", "ISNULL", "IIF"};
  const std::wstring text = Wide(condition).str();
  std::wstring result;
  int depth = 0;
  std::size_t i = 0;
  auto isIdentStart = [](wchar_t c) { return std::iswalpha(c) || c == L'_' || c >= 0x80; };
  auto isIdentChar = [](wchar_t c) { return std::iswalnum(c) || c == L'_' || c >= 0x80; };
  auto upper = [](std::wstring w) {
    VdFoldUpper(w);
    return VdToUtf8(w);
  };
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (std::iswspace(c)) {
      ++i;
      continue;
    }
    if (!result.empty()) result += L' ';
    if (std::iswdigit(c) || (c == L'.' && i + 1 < text.size() && std::iswdigit(text[i + 1]))) {
      std::size_t j = i;
      while (j < text.size() && (std::iswdigit(text[j]) || text[j] == L'.')) ++j;
      if (j < text.size() && (text[j] == L'e' || text[j] == L'E')) {
        ++j;
        if (j < text.size() && (text[j] == L'+' || text[j] == L'-')) ++j;
        while (j < text.size() && std::iswdigit(text[j])) ++j;
      }
      if (j < text.size() && isIdentChar(text[j])) {
        error = "\"" + Shown(VdToUtf8(text.substr(i, j - i + 1))) + "\" is not a number";
        return false;
      }
      result += text.substr(i, j - i);
      i = j;
      continue;
    }
    if (c == L'\'') {
      std::size_t j = i + 1;
      for (;; ++j) {
        if (j >= text.size()) {
          error = "a text in quotes is not closed";
          return false;
        }
        if (text[j] == L'\'') {
          if (j + 1 < text.size() && text[j + 1] == L'\'') {
            ++j;
            continue;
          }
          break;
        }
      }
      result += text.substr(i, j + 1 - i);
      i = j + 1;
      continue;
    }
    if (c == L'[' || c == L'"' || isIdentStart(c)) {
      std::wstring word;
      bool quoted = c != L'[' && c != L'"' ? false : true;
      if (quoted) {
        const wchar_t close = c == L'[' ? L']' : L'"';
        const std::size_t end = text.find(close, i + 1);
        if (end == std::wstring::npos) {
          error = "a quoted column name is not closed";
          return false;
        }
        word = text.substr(i + 1, end - i - 1);
        i = end + 1;
      } else {
        std::size_t j = i;
        while (j < text.size() && isIdentChar(text[j])) ++j;
        word = text.substr(i, j - i);
        i = j;
      }
      std::size_t next = i;
      while (next < text.size() && std::iswspace(text[next])) ++next;
      const std::string name = upper(word);
      if (!quoted) {
        if (std::find(std::begin(kKeywords), std::end(kKeywords), name) != std::end(kKeywords)) {
          result += Wide(name).str();
          continue;
        }
        if (next < text.size() && text[next] == L'(') {
          if (std::find(std::begin(kFunctions), std::end(kFunctions), name) == std::end(kFunctions)) {
            error = "the function " + Shown(VdToUtf8(word)) + " cannot be used in a condition";
            return false;
          }
          result += Wide(name).str();
          continue;
        }
      }
      const Column* column = FindColumn(columns, word);
      if (!column) {
        error = "no column \"" + Shown(VdToUtf8(word)) + "\" in the family";
        return false;
      }
      result += L"[" + column->name + L"]";
      continue;
    }
    // Operators, longest first.
    static const wchar_t* const kOperators[] = {L"<>", L"<=", L">=", L"!=", L"==", L"||", L"=", L"<", L">",
                                                L"+",  L"-",  L"*",  L"/",  L"%",  L"(",  L")", L","};
    bool matched = false;
    for (const wchar_t* op : kOperators) {
      const std::size_t n = std::wcslen(op);
      if (text.compare(i, n, op) != 0) continue;
      if (n == 1 && (c == L'-' || c == L'/') && i + 1 < text.size() && text[i + 1] == c) break;  // a comment
      if (c == L'(') ++depth;
      if (c == L')' && --depth < 0) {
        error = "a ')' has no '('";
        return false;
      }
      result += op;
      i += n;
      matched = true;
      break;
    }
    if (!matched) {
      error = "\"" + Shown(VdToUtf8(text.substr(i, 10))) + "\" is not allowed in a condition";
      return false;
    }
  }
  if (depth != 0) {
    error = "a '(' is not closed";
    return false;
  }
  if (result.empty()) {
    error = "the condition is empty";
    return false;
  }
  out = CString(result);
  return true;
}

// Names compared as a person reads them: ignoring case, and runs of digits by their value, so "IPE 80" comes
// before "IPE 600".
// `x` and `y` are the names folded to lower case.
bool NaturalLessFolded(const std::wstring& x, const std::wstring& y) {
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
      const int order = x.compare(i, iEnd - i, y, j, jEnd - j);
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

}  // namespace

bool NaturalLess(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = Folded(a), y = Folded(b);
  return NaturalLessFolded(x, y) || (!NaturalLessFolded(y, x) && a < b);
}

void SortNaturally(std::list<std::wstring>& names) { names.sort(NaturalLess); }

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
                   [](const Row& a, const Row& b) { return NaturalLessFolded(a.key, b.key); });
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
