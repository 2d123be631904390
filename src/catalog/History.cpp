#include "catalog/History.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string_view>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include <vdpattern/toolkit/VdServerAddress.h>

#include "catalog/ChangeLog.h"
#include "db/postgres/ServerAddress.h"

namespace vdpattern::catalog {

namespace {

// A batch's rows per INSERT: at most four bound texts each, within every engine's limit of parameters (32,766 on a
// file), so an import of a few thousand rows records its history in one statement.
constexpr std::size_t kRowsPerStatement = 8000;

// ---------------------------------------------------------------- values

// The shortest digits that read back as exactly `value` (an import formats every cell, and %.17g costs several
// times as much); HistoryValue compares reals by value, so older histories' 17 digits still match.
void AppendReal(std::wstring& out, double value) {
  char text[40];
  const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
  out.append(text, end.ptr);
  if (std::find_if(text, end.ptr, [](char c) { return c == '.' || c == 'e' || c == 'n'; }) == end.ptr)
    out += L".0";  // a real stays a real when read back
}

std::wstring RealText(double value) {
  std::wstring out;
  AppendReal(out, value);
  return out;
}

HistoryValue ValueOf(const CDBVariant& cell) {
  HistoryValue value;
  switch (cell.m_dwType) {
    case DBVT_NULL:
      break;
    case DBVT_BOOL:
      value = {HistoryValue::eBool, cell.m_boolVal ? L"true" : L"false"};
      break;
    case DBVT_UCHAR:
      value = {HistoryValue::eInteger, std::to_wstring(cell.m_chVal)};
      break;
    case DBVT_SHORT:
      value = {HistoryValue::eInteger, std::to_wstring(cell.m_iVal)};
      break;
    case DBVT_LONG:
      value = {HistoryValue::eInteger, std::to_wstring(cell.m_lVal)};
      break;
    case DBVT_SINGLE:
      value = {HistoryValue::eReal, RealText(cell.m_fltVal)};
      break;
    case DBVT_DOUBLE:
      value = {HistoryValue::eReal, RealText(cell.m_dblVal)};
      break;
    case DBVT_DATE:
      value = {HistoryValue::eDate, DBV_BSTRAll(const_cast<CDBVariant*>(&cell)).str()};
      break;
    case DBVT_BINARY:
      value = {HistoryValue::eBytes, DBV_BSTRAll(const_cast<CDBVariant*>(&cell)).str()};
      break;
    default:
      value = {HistoryValue::eText, cell.m_pstring ? cell.m_pstring->str() : std::wstring()};
      break;
  }
  return value;
}

// ---------------------------------------------------------------- JSON of the columns

void AppendString(std::wstring& out, const std::wstring& text) {
  out += L'"';
  for (wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += L'\\';
      out += c;
    } else if (c < 0x20) {
      wchar_t escaped[8];
      std::swprintf(escaped, 8, L"\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += L'"';
}

void AppendValue(std::wstring& out, const HistoryValue& value) {
  switch (value.type) {
    case HistoryValue::eNull:
      out += L"null";
      return;
    case HistoryValue::eBool:
    case HistoryValue::eInteger:
      out += value.text;
      return;
    case HistoryValue::eReal:
      if (value.text.find_first_of(L"in") == std::wstring::npos) {
        out += value.text;
      } else {
        out += L"{\"real\":";  // inf and nan have no JSON literal
        AppendString(out, value.text);
        out += L'}';
      }
      return;
    case HistoryValue::eText:
      AppendString(out, value.text);
      return;
    case HistoryValue::eDate:
    case HistoryValue::eBytes:
      out += value.type == HistoryValue::eDate ? L"{\"date\":" : L"{\"bytes\":";
      AppendString(out, value.text);
      out += L'}';
      return;
  }
}

// A reader of exactly what EncodeColumns writes.
class Reader {
 public:
  explicit Reader(const std::wstring& text) : m_text(text) {}
  bool Eat(wchar_t c) {
    if (m_pos < m_text.size() && m_text[m_pos] == c) {
      ++m_pos;
      return true;
    }
    return false;
  }
  bool AtEnd() const { return m_pos == m_text.size(); }
  bool String(std::wstring& out) {
    if (!Eat(L'"')) return false;
    out.clear();
    while (m_pos < m_text.size()) {
      wchar_t c = m_text[m_pos++];
      if (c == L'"') return true;
      if (c != L'\\') {
        out += c;
        continue;
      }
      if (m_pos >= m_text.size()) return false;
      c = m_text[m_pos++];
      if (c == L'u') {
        if (m_pos + 4 > m_text.size()) return false;
        out += static_cast<wchar_t>(std::wcstoul(m_text.substr(m_pos, 4).c_str(), nullptr, 16));
        m_pos += 4;
      } else {
        out += c;
      }
    }
    return false;
  }
  bool Word(const wchar_t* word) {
    const std::size_t n = std::char_traits<wchar_t>::length(word);
    if (m_text.compare(m_pos, n, word) != 0) return false;
    m_pos += n;
    return true;
  }
  bool Value(HistoryValue& value) {
    if (Word(L"null")) {
      value = {};
      return true;
    }
    if (Word(L"true") || Word(L"false")) {
      value = {HistoryValue::eBool, m_text[m_pos - 1] == L'e' && m_text[m_pos - 2] == L'u' ? L"true" : L"false"};
      return true;
    }
    if (m_pos < m_text.size() && m_text[m_pos] == L'"') {
      value.type = HistoryValue::eText;
      return String(value.text);
    }
    if (Eat(L'{')) {
      std::wstring tag;
      if (!String(tag) || !Eat(L':') || !String(value.text) || !Eat(L'}')) return false;
      if (tag == L"date")
        value.type = HistoryValue::eDate;
      else if (tag == L"bytes")
        value.type = HistoryValue::eBytes;
      else if (tag == L"real")
        value.type = HistoryValue::eReal;
      else
        return false;
      return true;
    }
    const std::size_t end = m_text.find_first_of(L",]", m_pos);
    if (end == std::wstring::npos || end == m_pos) return false;
    value.text = m_text.substr(m_pos, end - m_pos);
    value.type = value.text.find_first_of(L".eE") == std::wstring::npos ? HistoryValue::eInteger : HistoryValue::eReal;
    m_pos = end;
    return true;
  }

 private:
  const std::wstring& m_text;
  std::size_t m_pos = 0;
};

// ---------------------------------------------------------------- who, where, when

struct Writer {
  CString user, host, program;
};

const Writer& ThisWriter() {
  static const Writer writer = [] {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    const passwd* user = getpwuid(geteuid());
    Writer w;
    w.user = CString(VdFromUtf8(user && user->pw_name ? user->pw_name : std::to_string(geteuid())));
    w.host = CString(VdFromUtf8(host));
    w.program = CString(VdFromUtf8(program_invocation_short_name));
    return w;
  }();
  return writer;
}

CString UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return CString(VdFromUtf8(text));
}

// The writer's name as the statement gives it: on a server the role the server says the session runs as.
CString WhoExpression(CVdDatabase& db) {
  return ServerSchema(db).empty() ? VdQuoteText(ThisWriter().user) : CString(L"current_user");
}

// The values after seq and cset of one history row.
CString RowTail(CVdDatabase& db, const CString& at, const PendingChange& change) {
  const Writer& w = ThisWriter();
  return L", " + VdQuoteText(at) + L", " + WhoExpression(db) + L", " + VdQuoteText(w.host) + L", " +
         VdQuoteText(w.program) + L", " + VdQuoteText(change.family) + L", " + VdQuoteText(change.name) + L", " +
         VdQuoteText(change.kind) + L", " + VdQuoteText(CString(change.columns));
}

constexpr const wchar_t* kHistoryColumns =
    L"INSERT INTO [vd_history] ([seq], [cset], [at], [who], [host], [program], [family], [name], [kind], "
    L"[columns]) ";

std::wstring TextOf(const CDBVariant& cell) {
  if (cell.m_dwType == DBVT_STRING || cell.m_dwType == DBVT_ASTRING || cell.m_dwType == DBVT_WSTRING)
    return cell.m_pstring->str();
  return std::wstring();
}

long long NumberOf(const CDBVariant& cell) {
  switch (cell.m_dwType) {
    case DBVT_LONG:
      return cell.m_lVal;
    case DBVT_SHORT:
      return cell.m_iVal;
    case DBVT_DOUBLE:
      return static_cast<long long>(cell.m_dblVal);
    default:
      return std::wcstoll(TextOf(cell).c_str(), nullptr, 10);
  }
}

// On a server, a batch's rows as one text per column, each value after a separator that none of them holds, split
// into arrays and zipped back into rows by the server's built-in string_to_array and unnest: a few parameters
// per statement instead of three per row, which the server parses and plans at a fraction of the cost of a long
// VALUES list. The leading separator makes every array start with an empty element (dropped by ordinality),
// so that a batch of one empty value still yields its row. False when every candidate separator occurs in the
// values: the caller then writes the rows as VALUES.
bool WriteServerBatch(CVdDatabase& db, const std::vector<PendingChange>& pending, std::size_t start, std::size_t end,
                      long long base, long long cset, bool oneFamily, bool oneKind, const CString& shared, bool ahead) {
  // The candidates are the control characters U+0018 to U+001F, U+001F first; bit k of `used` stands for
  // U+0018 + k (a branchless test: the scan reads every character of the batch).
  unsigned used = 0;
  const auto note = [&](std::wstring_view text) {
    for (const wchar_t c : text) {
      const unsigned d = static_cast<unsigned>(c) - 0x18u;
      used |= static_cast<unsigned>(d < 8u) << (d & 7u);
    }
  };
  for (std::size_t i = start; i < end; ++i) {
    note(pending[i].name.str());
    note(pending[i].columns);
    if (!oneFamily) note(pending[i].family.str());
    if (!oneKind) note(pending[i].kind);
  }
  int pick = 7;
  while (pick >= 0 && (used >> pick) & 1u) --pick;
  if (pick < 0) return false;
  const wchar_t separator = static_cast<wchar_t>(0x18 + pick);
  // The statement is built in one buffer sized up front: a batch's texts run to megabytes, and each copy a
  // concatenation makes of them costs as much as the rest of the row's history.
  std::size_t size = 1024 + shared.GetLength();
  for (std::size_t i = start; i < end; ++i)
    size += 4 + pending[i].name.GetLength() + pending[i].columns.size() +
            (oneFamily ? 0 : 1 + pending[i].family.GetLength()) + (oneKind ? 0 : 1 + std::wcslen(pending[i].kind));
  std::wstring sql;
  sql.reserve(size + size / 8);  // quotes inside the values are doubled
  sql.append(kHistoryColumns)
      .append(L"SELECT [o] + ")
      .append(std::to_wstring(base + static_cast<long long>(start) - 2))
      .append(L", ")
      .append(std::to_wstring(cset))
      .append(shared.str())
      .append(oneFamily ? VdQuoteText(pending[start].family).str() : L"[f]")
      .append(L", [n], ")
      .append(oneKind ? VdQuoteText(CString(pending[start].kind)).str() : L"[k]")
      .append(L", [c] FROM ");
  // One array's elements with their places, joined on the place (a name list's own; ROWS FROM would zip them,
  // but the statement's dialect reads its ROWS as a table).
  const auto unnest = [&](const wchar_t* value, auto text) {
    if (*value != L'n') sql.append(L" JOIN ");
    sql.append(L"pg_catalog.unnest(pg_catalog.string_to_array('");
    for (std::size_t i = start; i < end; ++i) {
      sql += separator;
      VdAppendQuotedBody(sql, text(pending[i]));
    }
    sql.append(L"', '").append(1, separator).append(L"')) WITH ORDINALITY AS [v").append(value).append(L"] ([");
    sql.append(value).append(L"], [o");
    if (*value != L'n')
      sql.append(value).append(L"]) ON [o").append(value).append(L"] = [o]");
    else
      sql.append(L"])");
  };
  unnest(L"n", [](const PendingChange& p) -> std::wstring_view { return p.name.str(); });
  unnest(L"c", [](const PendingChange& p) -> std::wstring_view { return p.columns; });
  if (!oneFamily) unnest(L"f", [](const PendingChange& p) -> std::wstring_view { return p.family.str(); });
  if (!oneKind) unnest(L"k", [](const PendingChange& p) -> std::wstring_view { return p.kind; });
  sql.append(L" WHERE [o] > 1");
  Write(db, sql.c_str(), ahead);
  return true;
}

}  // namespace

std::wstring ServerSchema(CVdDatabase& db) {
  thread_local std::map<std::wstring, std::wstring> known;  // asked once per path: single writes ask at every one
  const std::wstring path = db.GetDatabaseName().str();
  if (const auto it = known.find(path); it != known.end()) return it->second;
  std::wstring schema;
  try {
    if (vdpattern::db::IsServerAddress(path)) {
      schema = VdFromUtf8(vdpattern::db::ParseServerAddress(path).catalog);
      if (schema.empty()) schema = L"public";
    } else {
      std::ifstream file(VdToUtf8(path), std::ios::binary);
      unsigned char head[64] = {};
      file.read(reinterpret_cast<char*>(head), sizeof head);
      if (vdpattern::db::IsLinkFileHeader(head, static_cast<std::size_t>(file.gcount()))) {
        schema = VdFromUtf8(vdpattern::db::ReadLinkFile(CString(path)).catalog);
        if (schema.empty()) schema = L"public";
      }
    }
  } catch (CDBException* e) {
    e->Delete();  // the connection is open, so the address was read before: this does not happen
  }
  return known.emplace(path, schema).first->second;
}

void MakeHistoryTable(CVdDatabase& db) {
  bool known = false;
  EnsureChangeTable(db, &known);
  db.ExecuteSQL(
      L"CREATE TABLE [vd_history] ([seq] INTEGER NOT NULL, [cset] INTEGER NOT NULL, [at] TEXT NOT NULL, [who] "
      L"TEXT, [host] TEXT, [program] TEXT, [family] TEXT COLLATE NOCASE, [name] TEXT COLLATE NOCASE, [kind] TEXT NOT "
      L"NULL, [columns] MEMO)");
  // Names and families compare ignoring case, as everywhere in a catalog; the index on them must collate the same
  // way, or a history read by name scans the whole table.
  db.ExecuteSQL(L"CREATE UNIQUE INDEX [vd_history_seq] ON [vd_history] ([seq])");
  db.ExecuteSQL(L"CREATE INDEX [vd_history_name] ON [vd_history] ([name] COLLATE NOCASE)");
  // A set's records are numbered one after another from the set's own number, so a set is read as a range of
  // seq (ReadHistory): an index on cset would cost every recorded row and serve nothing.
  // On a server the library's writes only add rows. A rule or trigger that kept writers from changing them
  // would make the table one the library refuses to write (its rules would run with the writer's rights), so
  // the table's owner grants writers INSERT and SELECT on it, not UPDATE, DELETE or TRUNCATE: new tables give
  // other roles no rights of their own.
}

RowValues ReadRowValues(CVdRecordset& rs) {
  RowValues values;
  const short count = rs.GetODBCFieldCount();
  values.reserve(count);
  CDBVariant cell;
  CODBCFieldInfo info;
  for (short i = 0; i < count; ++i) {
    rs.GetODBCFieldInfo(i, info);
    rs.GetFieldValue(i, cell);
    values.emplace_back(info.m_strName.str(), ValueOf(cell));
  }
  return values;
}

std::vector<HistoryColumn> Changed(const RowValues& before, const RowValues& after) {
  std::vector<HistoryColumn> columns;
  const RowValues& shape = after.empty() ? before : after;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    HistoryColumn column;
    column.column = shape[i].first;
    // Both snapshots come from results of the same table, so a column stands at the same place in each.
    if (i < before.size()) column.before = before[i].second;
    if (i < after.size()) column.after = after[i].second;
    if (column.before != column.after) columns.push_back(std::move(column));
  }
  return columns;
}

std::wstring EncodeColumns(const std::vector<HistoryColumn>& columns) {
  std::wstring out = L"[";
  for (const HistoryColumn& c : columns) {
    if (out.size() > 1) out += L',';
    out += L'[';
    AppendString(out, c.column);
    out += L',';
    AppendValue(out, c.before);
    out += L',';
    AppendValue(out, c.after);
    out += L']';
  }
  return out + L"]";
}

std::vector<std::wstring> InsertedNames(CVdRecordset& rs) {
  std::vector<std::wstring> names;
  CODBCFieldInfo info;
  for (short i = 0; i < rs.GetODBCFieldCount(); ++i) {
    rs.GetODBCFieldInfo(i, info);
    std::wstring name = L"[";
    AppendString(name, info.m_strName.str());
    names.push_back(name + L",null,");
  }
  return names;
}

std::wstring EncodeInserted(CVdRecordset& rs, const std::vector<std::wstring>& names) {
  std::wstring out = L"[";
  CDBVariant cell;
  for (std::size_t i = 0; i < names.size(); ++i) {
    rs.GetFieldValue(static_cast<short>(i), cell);
    if (cell.m_dwType == DBVT_NULL) continue;  // as it was before: not a change
    if (out.size() > 1) out += L',';
    out += names[i];
    if (cell.m_dwType == DBVT_DOUBLE && std::isfinite(cell.m_dblVal)) {
      AppendReal(out, cell.m_dblVal);  // as AppendValue writes a finite real, without the value between
    } else {
      AppendValue(out, ValueOf(cell));
    }
    out += L']';
  }
  return out + L"]";
}

bool DecodeColumns(const std::wstring& text, std::vector<HistoryColumn>& columns) {
  columns.clear();
  Reader r(text);
  if (!r.Eat(L'[')) return false;
  if (r.Eat(L']')) return r.AtEnd();
  do {
    HistoryColumn c;
    if (!r.Eat(L'[') || !r.String(c.column) || !r.Eat(L',') || !r.Value(c.before) || !r.Eat(L',') ||
        !r.Value(c.after) || !r.Eat(L']'))
      return false;
    columns.push_back(std::move(c));
  } while (r.Eat(L','));
  return r.Eat(L']') && r.AtEnd();
}

void WriteHistory(CVdDatabase& db, const PendingChange& change, bool ahead) {
  Write(db,
        kHistoryColumns + CString(L"SELECT MAX([seq]), MAX([seq])") + RowTail(db, UtcNow(), change) +
            L" FROM [vd_change]",
        ahead);
}

void FlushHistory(CVdDatabase& db, std::vector<PendingChange>& pending) {
  ChangeSet set;
  FlushHistoryPart(db, pending, set, false);
}

void FlushHistoryPart(CVdDatabase& db, std::vector<PendingChange>& pending, ChangeSet& set, bool ahead) {
  if (pending.empty()) return;
  long long first = set.first;
  if (first == 0) {
    long long last = 0;
    ReadLastChange(db, last);
    first = last + 1;
  }
  const long long base = first + set.written;  // this part's first record
  const CString at = UtcNow();
  const Writer& w = ThisWriter();
  const CString shared = L", " + VdQuoteText(at) + L", " + WhoExpression(db) + L", " + VdQuoteText(w.host) + L", " +
                         VdQuoteText(w.program) + L", ";
  const bool server = !ServerSchema(db).empty();
  for (std::size_t start = 0; start < pending.size(); start += kRowsPerStatement) {
    const std::size_t end = std::min(pending.size(), start + kRowsPerStatement);
    // What every row of the statement shares is sent once, in the select list; the rows carry only their own
    // values (an import's rows differ in seq, name and columns alone).
    bool oneFamily = true, oneKind = true;
    for (std::size_t i = start + 1; i < end; ++i) {
      oneFamily = oneFamily && pending[i].family == pending[start].family;
      oneKind = oneKind && std::wcscmp(pending[i].kind, pending[start].kind) == 0;
    }
    if (server && WriteServerBatch(db, pending, start, end, base, first, oneFamily, oneKind, shared, ahead)) continue;
    CString rows;
    for (std::size_t i = start; i < end; ++i) {
      const PendingChange& p = pending[i];
      rows += (i == start ? L"(" : L", (") + std::to_wstring(base + static_cast<long long>(i)) + L", " +
              VdQuoteText(p.name) + L", " + VdQuoteText(CString(p.columns));
      if (!oneFamily) rows += L", " + VdQuoteText(p.family);
      if (!oneKind) rows += L", " + VdQuoteText(p.kind);
      rows += L")";
    }
    // The rows' own values are VALUES' column1, column2...
    const CString family = oneFamily ? VdQuoteText(pending[start].family) : CString(L"[column4]");
    const CString kind = oneKind ? VdQuoteText(pending[start].kind) : CString(oneFamily ? L"[column4]" : L"[column5]");
    Write(db,
          CString(kHistoryColumns) + L"SELECT [column1], " + std::to_wstring(first) + shared + family +
              L", [column2], " + kind + L", [column3] FROM (VALUES " + rows + L") AS [v]",
          ahead);
  }
  // The change records are the history rows' own numbers, families, names and kinds: copied on the server's side
  // rather than sent again.
  const long long count = static_cast<long long>(pending.size());
  Write(db,
        CString(L"INSERT INTO [vd_change] ([seq], [family], [name], [kind]) SELECT [seq], [family], [name], [kind] "
                L"FROM [vd_history] WHERE [seq] BETWEEN ") +
            std::to_wstring(base) + L" AND " + std::to_wstring(base + count - 1),
        ahead);
  db.NoteChangeRecorded();
  set.first = first;
  set.written += count;
  pending.clear();
}

void RecordOther(CVdDatabase& db, const CString& family, const CString& name, const wchar_t* kind,
                 const std::vector<HistoryColumn>& columns) {
  bool known = false;
  EnsureChangeTable(db, &known);
  RecordChange(db, family, name, kind);
  CVdODBCTableDefInfo history;
  if (db.GetTableDefInfo(kHistoryTable, history) && IsHistoryTrusted(db))
    WriteHistory(db, {family, name, kind, EncodeColumns(columns)});
}

namespace {

// True on a file; on a server the one boolean that `query`, a question to the server's own catalogs ending in a
// comparison with the schema's name, answers for the catalog's schema (false for no row).
bool SchemaSays(CVdDatabase& db, const wchar_t* query) {
  const std::wstring schema = ServerSchema(db);
  if (schema.empty()) return true;
  CVdRecordset rs(&db);
  rs.Open(0, query + VdQuoteText(CString(schema)), 0);
  CDBVariant cell;
  bool yes = false;
  if (!rs.IsEOF()) {
    rs.GetFieldValue(short(0), cell);
    yes = cell.m_dwType == DBVT_BOOL ? cell.m_boolVal != 0 : NumberOf(cell) != 0;
  }
  rs.Close();
  return yes;
}

}  // namespace

bool IsHistoryTrusted(CVdDatabase& db) {
  return SchemaSays(db,
                    L"SELECT pg_catalog.pg_has_role(c.relowner, n.nspowner, 'MEMBER') FROM pg_catalog.pg_class c, "
                    L"pg_catalog.pg_namespace n WHERE n.oid = c.relnamespace AND c.relname = 'vd_history' AND "
                    L"n.nspname = ");
}

bool MayMakeHistory(CVdDatabase& db) {
  return SchemaSays(
      db, L"SELECT pg_catalog.pg_has_role(n.nspowner, 'MEMBER') FROM pg_catalog.pg_namespace n WHERE n.nspname = ");
}

void RecordCopy(CVdDatabase& db, long long tables, long long rows) {
  CVdODBCTableDefInfo history;
  if (!db.GetTableDefInfo(kHistoryTable, history)) MakeHistoryTable(db);
  std::vector<HistoryColumn> what(2);
  what[0].column = L"tables";
  what[0].after = {HistoryValue::eInteger, std::to_wstring(tables)};
  what[1].column = L"rows";
  what[1].after = {HistoryValue::eInteger, std::to_wstring(rows)};
  RecordOther(db, CString(), CString(), kChangeConvert, what);
}

bool ReadHistory(CVdDatabase& db, const HistoryFilter& filter, std::vector<HistoryEntry>& entries) {
  CString where;
  const auto add = [&](const CString& condition) { where += (where.IsEmpty() ? L" WHERE " : L" AND ") + condition; };
  if (!filter.name.empty()) add(L"[name] = " + VdQuoteText(filter.name));
  if (!filter.family.empty()) add(L"[family] = " + VdQuoteText(filter.family));
  if (!filter.since.empty()) add(L"[at] >= " + VdQuoteText(filter.since));
  if (!filter.by.empty()) add(L"[who] = " + VdQuoteText(filter.by));
  if (filter.change > 0) {
    // The set's records run from its number to the first record of another set after it.
    CString set, range;
    set.Format(L"(SELECT [cset] FROM [vd_history] WHERE [seq] = %lld)", filter.change);
    range.Format(
        L"(SELECT IIF(IsNull(MIN([seq])), %lld, MIN([seq])) FROM [vd_history] WHERE [seq] > %s AND [cset] <> %s)",
        std::numeric_limits<long long>::max(), set.GetString(), set.GetString());
    add(L"[cset] = " + set + L" AND [seq] >= " + set + L" AND [seq] < " + range);
  }
  CVdRecordset rs(&db);
  try {
    rs.Open(0,
            L"SELECT [seq], [cset], [at], [who], [host], [program], [family], [name], [kind], [columns] FROM "
            L"[vd_history]" +
                where + L" ORDER BY [seq] DESC",
            0);
  } catch (CDBException* e) {
    if (e->GetCategory() != CDBException::eNoSuchObject) throw;
    e->Delete();
    return false;
  }
  CDBVariant cell;
  for (; !rs.IsEOF(); rs.MoveNext()) {
    HistoryEntry entry;
    std::wstring* texts[] = {&entry.at,     &entry.who,  &entry.host, &entry.program,
                             &entry.family, &entry.name, &entry.kind};
    rs.GetFieldValue(short(0), cell);
    entry.change = NumberOf(cell);
    rs.GetFieldValue(short(1), cell);
    entry.set = NumberOf(cell);
    for (short i = 0; i < 7; ++i) {
      rs.GetFieldValue(short(2 + i), cell);
      *texts[i] = TextOf(cell);
    }
    rs.GetFieldValue(short(9), cell);
    // A row someone edited by hand into something else still shows who and when; its columns are left empty.
    DecodeColumns(TextOf(cell), entry.columns);
    entries.push_back(std::move(entry));
  }
  rs.Close();
  return true;
}

long long PruneHistory(CVdDatabase& db, const std::wstring& before) {
  CVdRecordset rs(&db);
  rs.Open(0, L"SELECT COUNT(*) FROM [vd_history] WHERE [at] < " + VdQuoteText(before), 0);
  CDBVariant cell;
  rs.GetFieldValue(short(0), cell);
  const long long removed = NumberOf(cell);
  rs.Close();
  // On a server only a role granted DELETE on the table (its owner) may prune; anyone else's pruning fails here.
  db.ExecuteSQL(L"DELETE FROM [vd_history] WHERE [at] < " + VdQuoteText(before));
  RecordChange(db, CString(), CString(), kChangePrune);
  std::vector<HistoryColumn> what(1);
  what[0].column = L"before";
  what[0].after = {HistoryValue::eText, before};
  WriteHistory(db, {CString(), CString(), kChangePrune, EncodeColumns(what)});
  return removed;
}

bool ToVariant(const HistoryValue& value, COleVariant& out) {
  switch (value.type) {
    case HistoryValue::eNull:
      out = COleVariant();
      return true;
    case HistoryValue::eBool:
      out = COleVariant(short(value.text == L"true" ? -1 : 0), VT_BOOL);
      return true;
    case HistoryValue::eInteger: {
      errno = 0;
      const long long n = std::wcstoll(value.text.c_str(), nullptr, 10);
      if (errno == 0 && n >= -2147483648LL && n <= 2147483647LL)
        out = COleVariant(static_cast<long>(n), VT_I4);
      else
        out = COleVariant(value.text.c_str());  // beyond 32 bits: its exact digits, as the record set reads it
      return true;
    }
    case HistoryValue::eReal:
      out = COleVariant(std::wcstod(value.text.c_str(), nullptr));
      return true;
    case HistoryValue::eText:
    case HistoryValue::eDate:
      out = COleVariant(value.text.c_str());
      return true;
    case HistoryValue::eBytes:
      return false;
  }
  return false;
}

}  // namespace vdpattern::catalog

namespace vdpattern {

namespace {

bool ParseReal(const std::wstring& text, double& value) {
  char narrow[64];
  if (text.empty() || text.size() >= sizeof narrow) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] > 0x7f) return false;
    narrow[i] = static_cast<char>(text[i]);
  }
  const char* end = narrow + text.size();
  const std::from_chars_result r = std::from_chars(narrow, end, value);
  return r.ec == std::errc() && r.ptr == end;
}

}  // namespace

bool SameReal(const std::wstring& a, const std::wstring& b) {
  double x = 0, y = 0;
  return ParseReal(a, x) && ParseReal(b, y) && x == y && std::signbit(x) == std::signbit(y);  // -0 stays -0
}

}  // namespace vdpattern
