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
#include <iterator>
#include <optional>
#include <tuple>
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
          ": " + EngineReason(Utf8(reason)));
    return false;
  }
  // Names equal but for case keep the order the catalog gave.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return VdNaturalLessFolded(a.key, b.key); });
  return true;
}

std::string Text(const VARIANT* v) { return v ? Utf8(VariantToString(v, true)) : std::string(); }

namespace {

// The leading letters of a normal form ("heb" of "heb300") and its numbers, which a suggestion weighs beyond the
// edits: "L 50x5" is nearer "L 50x50x5" (same letters, numbers 50 and 5 kept) than "U 50x25" (two edits).
struct NameParts {
  std::wstring letters;
  std::vector<std::wstring> numbers;
};

NameParts PartsOf(const std::wstring& normal) {
  NameParts parts;
  std::size_t i = 0;
  while (i < normal.size() && std::iswalpha(normal[i])) parts.letters += normal[i++];
  for (; i < normal.size(); ++i) {
    if (!std::iswdigit(normal[i])) continue;
    std::size_t end = i;
    while (end < normal.size() && (std::iswdigit(normal[end]) || normal[end] == L'.')) ++end;
    parts.numbers.push_back(normal.substr(i, end - i));
    i = end;
  }
  std::sort(parts.numbers.begin(), parts.numbers.end());
  return parts;
}

// The numbers of one name not matched in the other, both ways.
std::size_t Unmatched(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b) {
  std::vector<std::wstring> common;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(common));
  return a.size() + b.size() - 2 * common.size();
}

// How far apart two names are for a suggestion: the fewer edits of their folded texts or of their normal forms
// (VdNormalName), so that "heb300" is as close to "HEB 300" as "HEB 300" itself; two more when their leading
// letters differ, since those name the kind of section.
std::size_t NameDistance(const std::wstring& folded, const std::wstring& normal, const NameParts& parts,
                         const std::wstring& candidate, std::size_t& unmatched) {
  const std::wstring candidateNormal = VdNormalName(candidate);
  const NameParts other = PartsOf(candidateNormal);
  unmatched = Unmatched(parts.numbers, other.numbers);
  return std::min(EditDistance(folded, Folded(candidate)), EditDistance(normal, candidateNormal)) +
         (parts.letters == other.letters ? 0 : 2);
}

struct Scored {
  std::size_t distance, unmatched;
  std::string text;
  bool operator<(const Scored& o) const {
    return std::tie(distance, unmatched, text) < std::tie(o.distance, o.unmatched, o.text);
  }
};

// The closest of `scored`, ties in distance kept (those with the most numbers in common first), at most three,
// none farther than `limit`.
std::vector<std::string> Closest(std::vector<Scored> scored, std::size_t limit) {
  std::sort(scored.begin(), scored.end());
  std::vector<std::string> best;
  for (const Scored& s : scored) {
    if (s.distance > limit || best.size() == 3 || s.distance > scored.front().distance) break;
    if (std::find(best.begin(), best.end(), s.text) == best.end()) best.push_back(s.text);
  }
  return best;
}

// "A, B or C".
std::string Alternatives(const std::vector<std::string>& texts) {
  std::string out;
  // Escaped here: the message's own line breaks become spaces, and "a\nb" must not read as "a b".
  for (std::size_t i = 0; i < texts.size(); ++i)
    out += (i ? (i + 1 == texts.size() ? " or " : ", ") : "") + Visible(texts[i]);
  return out;
}

// The names of `catalogs` (of `family` only, when given) closest to `name`, their aliases counted as spellings of
// them; `unread` gets the reason of each family that could not be read, which a search passes over without a
// word. The name asked for is never suggested to itself.
std::vector<std::string> ClosestNames(Session& session, const std::vector<CVdPatternCatalog*>& catalogs,
                                      const std::string& name, const std::string& onlyFamily,
                                      std::vector<std::string>& unread, const NearNames* known) {
  const std::wstring wanted = Folded(Wide(name).str()), normal = VdNormalName(Wide(name).str());
  const NameParts parts = PartsOf(normal);
  std::vector<Scored> scored;
  const auto consider = [&](const std::wstring& spelling, const std::wstring& real) {
    if (spelling.empty() || real.empty() || Folded(real) == wanted || VdNormalName(real) == normal) return;
    std::size_t unmatched = 0;
    const std::size_t distance = NameDistance(wanted, normal, parts, spelling, unmatched);
    scored.push_back({distance, unmatched, VdToUtf8(real)});
  };
  const CString wideFamily = Wide(onlyFamily);
  for (CVdPatternCatalog* catalog : catalogs) {
    // The names next to the wanted one, the aliases among them, asked of the catalog in one statement: a few rows,
    // whatever the number of families.
    std::vector<CVdPatternCatalog::NearName> near;
    const auto answered = known ? known->find(catalog) : NearNames::const_iterator();
    if ((known && answered != known->end()) ||
        catalog->GetNearNames(Wide(name), onlyFamily.empty() ? nullptr : wideFamily.GetString(), kNearNames, near)) {
      for (const auto& n : known&& answered != known->end() ? answered->second : near)
        consider(n.alias.empty() ? n.name : n.alias, n.name);
      continue;
    }
    if (session.Failed()) break;  // the database could not answer, and said so
    // A catalog that refused that statement (names that its engine cannot compare so) is read family by family.
    std::list<std::wstring> families;
    catalog->GetFamilies(families);
    for (const std::wstring& family : families) {
      if (family.find(L']') != std::wstring::npos) continue;
      if (!onlyFamily.empty() && VdCompareNoCase(family, Wide(onlyFamily).str()) != 0) continue;
      CVdRecordset rs(session.Database(catalog));
      try {
        rs.Open(0, L"SELECT [Name] FROM [" + CString(family) + L"]", 0);
        for (; !rs.IsEOF(); rs.MoveNext()) {
          CDBVariant cell;
          rs.GetFieldValue(L"Name", cell);
          const std::wstring candidate = DBV_BSTRAll(&cell).str();
          consider(candidate, candidate);  // a row without a name is nothing to suggest
        }
      } catch (CDBException* e) {
        if (e->GetCategory() != CDBException::eNoSuchObject) unread.push_back(EngineReason(Utf8(e->m_strError)));
        e->Delete();
      }
    }
    std::vector<CVdPatternCatalog::Alias> aliases;
    if (catalog->GetAliases(aliases))
      for (const auto& a : aliases)
        if (onlyFamily.empty() || VdCompareNoCase(a.family, Wide(onlyFamily).str()) == 0) consider(a.alias, a.name);
  }
  return Closest(std::move(scored), std::max<std::size_t>(3, wanted.size() / 3));
}

}  // namespace

std::string DidYouMean(Session& session, const std::vector<CVdPatternCatalog*>& catalogs, const std::string& name,
                       const std::string& family, const NearNames* known) {
  std::vector<std::string> unread;
  const std::vector<std::string> close = ClosestNames(session, catalogs, name, family, unread, known);
  std::string hint = close.empty() ? std::string() : "; did you mean " + Alternatives(close) + "?";
  for (const std::string& reason : unread) hint += " (not searched: " + reason + ")";
  return hint;
}

std::string FamilyHint(const std::vector<CVdPatternCatalog*>& catalogs, const std::string& family) {
  const std::wstring wanted = Folded(Wide(family).str());
  std::vector<Scored> scored;
  for (CVdPatternCatalog* catalog : catalogs) {
    std::list<std::wstring> families;
    catalog->GetFamilies(families);
    for (const std::wstring& f : families) scored.push_back({EditDistance(wanted, Folded(f)), 0, VdToUtf8(f)});
  }
  const std::vector<std::string> close = Closest(std::move(scored), std::max<std::size_t>(2, wanted.size() / 3));
  return close.empty() ? std::string() : "; did you mean " + Alternatives(close) + "?";
}

std::string ColumnHint(const std::vector<Column>& columns, const std::string& column) {
  const std::wstring wanted = Folded(Wide(column).str());
  // A one-letter column is a guess from any other letter: only names of two letters or more get a hint.
  if (wanted.size() < 2) return std::string();
  std::vector<Scored> scored;
  for (const Column& c : columns) scored.push_back({EditDistance(wanted, Folded(c.name)), 0, Utf8(c.name)});
  const std::vector<std::string> close = Closest(std::move(scored), std::max<std::size_t>(1, wanted.size() / 3));
  return close.empty() ? std::string() : "; did you mean " + Alternatives(close) + "?";
}

}  // namespace vdcatalog
