#include "db/TypeMap.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <sqlite3.h>
#include "db/DbError.h"
#include "db/postgres/PgConnection.h"
#include "db/postgres/PgDialect.h"
#include "db/sqlite/SqliteConnection.h"

namespace vdpattern::db {

namespace {

constexpr SQLULEN kLongLength = 1073741823;  // what the platform's drivers report for memo and binary columns
constexpr SQLULEN kTextLength = 255;

struct Entry {
  const char* word;
  SWORD sqlType;
  ValueKind kind;
  SQLULEN precision;
  SWORD scale;
};

// Declared types by their first word; sizes in parentheses override the precision and scale.
constexpr Entry kTable[] = {
    {"INTEGER", SQL_INTEGER, ValueKind::kLong, 10, 0},
    {"INT", SQL_INTEGER, ValueKind::kLong, 10, 0},
    {"LONG", SQL_INTEGER, ValueKind::kLong, 10, 0},
    {"COUNTER", SQL_INTEGER, ValueKind::kLong, 10, 0},
    {"AUTOINCREMENT", SQL_INTEGER, ValueKind::kLong, 10, 0},
    {"BIGINT", SQL_BIGINT, ValueKind::kBigInt, 19, 0},
    {"SMALLINT", SQL_SMALLINT, ValueKind::kShort, 5, 0},
    {"SHORT", SQL_SMALLINT, ValueKind::kShort, 5, 0},
    {"TINYINT", SQL_TINYINT, ValueKind::kUChar, 3, 0},
    {"BYTE", SQL_TINYINT, ValueKind::kUChar, 3, 0},
    {"BIT", SQL_BIT, ValueKind::kBool, 1, 0},
    {"BOOLEAN", SQL_BIT, ValueKind::kBool, 1, 0},
    {"BOOL", SQL_BIT, ValueKind::kBool, 1, 0},
    {"YESNO", SQL_BIT, ValueKind::kBool, 1, 0},
    {"LOGICAL", SQL_BIT, ValueKind::kBool, 1, 0},
    {"REAL", SQL_REAL, ValueKind::kSingle, 7, 0},
    {"SINGLE", SQL_REAL, ValueKind::kSingle, 7, 0},
    {"FLOAT", SQL_FLOAT, ValueKind::kSingle, 15, 0},
    {"DOUBLE", SQL_DOUBLE, ValueKind::kDouble, 15, 0},
    {"NUMBER", SQL_DOUBLE, ValueKind::kDouble, 15, 0},
    {"NUMERIC", SQL_NUMERIC, ValueKind::kDouble, 15, 0},
    {"DECIMAL", SQL_DECIMAL, ValueKind::kDouble, 15, 0},
    {"CURRENCY", SQL_DECIMAL, ValueKind::kDouble, 19, 4},
    {"MONEY", SQL_DECIMAL, ValueKind::kDouble, 19, 4},
    {"CHAR", SQL_CHAR, ValueKind::kText, kTextLength, 0},
    {"CHARACTER", SQL_CHAR, ValueKind::kText, kTextLength, 0},
    {"NCHAR", SQL_WCHAR, ValueKind::kText, kTextLength, 0},
    {"VARCHAR", SQL_VARCHAR, ValueKind::kText, kTextLength, 0},
    {"TEXT", SQL_VARCHAR, ValueKind::kText, kTextLength, 0},
    {"NVARCHAR", SQL_VARCHAR, ValueKind::kText, kTextLength, 0},
    {"STRING", SQL_VARCHAR, ValueKind::kText, kTextLength, 0},
    {"MEMO", SQL_LONGVARCHAR, ValueKind::kText, kLongLength, 0},
    {"LONGTEXT", SQL_LONGVARCHAR, ValueKind::kText, kLongLength, 0},
    {"LONGCHAR", SQL_LONGVARCHAR, ValueKind::kText, kLongLength, 0},
    {"CLOB", SQL_LONGVARCHAR, ValueKind::kText, kLongLength, 0},
    {"DATE", SQL_TYPE_TIMESTAMP, ValueKind::kDate, 19, 0},
    {"DATETIME", SQL_TYPE_TIMESTAMP, ValueKind::kDate, 19, 0},
    {"TIMESTAMP", SQL_TYPE_TIMESTAMP, ValueKind::kDate, 19, 0},
    {"TIME", SQL_TYPE_TIMESTAMP, ValueKind::kDate, 19, 0},
    {"BLOB", SQL_LONGVARBINARY, ValueKind::kBinary, kLongLength, 0},
    {"BINARY", SQL_LONGVARBINARY, ValueKind::kBinary, kLongLength, 0},
    {"VARBINARY", SQL_LONGVARBINARY, ValueKind::kBinary, kLongLength, 0},
    {"LONGBINARY", SQL_LONGVARBINARY, ValueKind::kBinary, kLongLength, 0},
    {"IMAGE", SQL_LONGVARBINARY, ValueKind::kBinary, kLongLength, 0},
    {"OLEOBJECT", SQL_LONGVARBINARY, ValueKind::kBinary, kLongLength, 0},
};

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// "(n)" or "(n, m)" anywhere in the declared type.
void ReadSizes(std::string_view declared, SqlTypeInfo& info) {
  const std::size_t open = declared.find('(');
  if (open == std::string_view::npos) return;
  auto number = [&](std::size_t& at, long long& out) {
    while (at < declared.size() && declared[at] == ' ') ++at;
    if (at >= declared.size() || !std::isdigit(static_cast<unsigned char>(declared[at]))) return false;
    out = 0;
    while (at < declared.size() && std::isdigit(static_cast<unsigned char>(declared[at])) && out < 1000000000)
      out = out * 10 + (declared[at++] - '0');
    return true;
  };
  std::size_t at = open + 1;
  long long n = 0, m = 0;
  if (!number(at, n)) return;
  info.precision = static_cast<SQLULEN>(n);
  while (at < declared.size() && declared[at] == ' ') ++at;
  if (at < declared.size() && declared[at] == ',' && number(++at, m) && m < 0x7fff) info.scale = static_cast<SWORD>(m);
}

}  // namespace

SqlTypeInfo MapDeclaredType(std::string_view declared) {
  std::size_t begin = 0;
  while (begin < declared.size() && std::isspace(static_cast<unsigned char>(declared[begin]))) ++begin;
  if (begin == declared.size()) return SqlTypeInfo{};
  std::size_t end = begin;
  while (end < declared.size() && IsWordChar(declared[end])) ++end;
  std::string word(declared.substr(begin, end - begin));
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  SqlTypeInfo info;
  bool found = false;
  for (const Entry& e : kTable) {
    if (word == e.word) {
      info = SqlTypeInfo{e.sqlType, e.kind, e.precision, e.scale};
      found = true;
      break;
    }
  }
  if (!found) {
    std::string all(declared);
    for (char& c : all) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto has = [&all](const char* part) { return all.find(part) != std::string::npos; };
    if (has("INT"))
      info = SqlTypeInfo{SQL_INTEGER, ValueKind::kLong, 10, 0};
    else if (has("CHAR") || has("CLOB") || has("TEXT"))
      info = SqlTypeInfo{SQL_VARCHAR, ValueKind::kText, kTextLength, 0};
    else if (has("BLOB"))
      info = SqlTypeInfo{SQL_LONGVARBINARY, ValueKind::kBinary, kLongLength, 0};
    else if (has("REAL") || has("FLOA") || has("DOUB"))
      info = SqlTypeInfo{SQL_DOUBLE, ValueKind::kDouble, 15, 0};
    else
      info = SqlTypeInfo{SQL_NUMERIC, ValueKind::kDouble, 15, 0};
  }
  if (info.kind == ValueKind::kText || info.sqlType == SQL_NUMERIC || info.sqlType == SQL_DECIMAL)
    ReadSizes(declared, info);
  return info;
}

SqlTypeInfo TypeFromValue(CellKind kind) {
  switch (kind) {
    case CellKind::kInteger:
      return SqlTypeInfo{SQL_INTEGER, ValueKind::kFromValue, 10, 0};
    case CellKind::kReal:
      return SqlTypeInfo{SQL_DOUBLE, ValueKind::kFromValue, 15, 0};
    case CellKind::kText:
      return SqlTypeInfo{SQL_VARCHAR, ValueKind::kFromValue, kTextLength, 0};
    case CellKind::kBlob:
      return SqlTypeInfo{SQL_LONGVARBINARY, ValueKind::kFromValue, kLongLength, 0};
    case CellKind::kNull:
      break;
  }
  return SqlTypeInfo{};
}

}  // namespace vdpattern::db

bool VdIsKnownColumnType(const CString& declared, bool* text) {
  if (text) *text = false;
  const std::string type = VdToUtf8(declared.str());
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  std::size_t begin = 0, last = type.size();
  while (begin < last && space(type[begin])) ++begin;
  while (last > begin && space(type[last - 1])) --last;
  const std::size_t end = std::min(type.find_first_of(" (", begin), last);
  std::string word = type.substr(begin, end - begin);
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const vdpattern::db::Entry& e : vdpattern::db::kTable) {
    if (word != e.word) continue;
    if (text) *text = e.kind == vdpattern::db::ValueKind::kText;
    return true;
  }
  return false;
}

namespace {

// PostgreSQL's own limits, fixed when the server is built (NAMEDATALEN 64, MaxHeapAttributeNumber 1600).
constexpr std::size_t kServerNameBytes = 63;
constexpr std::size_t kServerColumns = 1600;

std::wstring Folded(const CString& name) {
  std::wstring folded = name.str();
  VdFoldLower(folded);
  return folded;
}

bool TooManyColumns(const CString& table, std::size_t count, std::size_t most, const wchar_t* why, CString& error) {
  if (count <= most) return false;
  error.Format(L"The table \"%s\" would have %zu columns; %s holds at most %zu.", table, count, why, most);
  return true;
}

}  // namespace

bool VdCheckTableShape(CVdDatabase& db, const CString& table, const std::vector<CString>& columns, CString& error) {
  vdpattern::db::Connection* connection = db.CurrentConnection();
  if (!connection) vdpattern::db::ThrowDbError(vdpattern::db::kStateGeneral, L"The database is not open.");
  if (auto* file = dynamic_cast<vdpattern::db::SqliteConnection*>(connection)) {
    const int limit = sqlite3_limit(file->handle(), SQLITE_LIMIT_COLUMN, -1);
    const std::size_t most = limit > 1 ? static_cast<std::size_t>(limit - 1) : 0;
    if (TooManyColumns(table, columns.size(), most,
                       L"a table of a file catalog (its engine's column limit less the row id it reads with them)",
                       error))
      return false;
    std::size_t taken = 0;
    for (const wchar_t* name : {L"_rowid_", L"rowid", L"oid"})
      for (const CString& column : columns)
        if (Folded(column) == name) {
          ++taken;
          break;
        }
    if (taken == 3) {
      error.Format(
          L"The table \"%s\" has columns named _rowid_, rowid and oid; a file catalog reads each row's "
          L"identity by one of those names, so one of them must stay free.",
          table);
      return false;
    }
    return true;
  }
  if (dynamic_cast<vdpattern::db::PgConnection*>(connection)) {
    if (TooManyColumns(table, columns.size(), kServerColumns - 1,
                       L"a table of a server catalog (the server's 1600 less its hidden row identity)", error))
      return false;
    const std::wstring hidden = VdFromUtf8(vdpattern::db::kPgRowId);
    auto longName = [&error](const wchar_t* what, const CString& name) {
      const std::size_t bytes = VdToUtf8(name.str()).size();
      if (bytes <= kServerNameBytes) return false;
      error.Format(
          L"The %s name \"%s\" is %zu bytes long; a server catalog takes names of at most %zu bytes of "
          L"UTF-8 (the server would cut it).",
          what, name, bytes, kServerNameBytes);
      return true;
    };
    if (longName(L"table", table)) return false;
    for (const CString& column : columns) {
      if (longName(L"column", column)) return false;
      if (Folded(column) == hidden) {
        error.Format(
            L"The table \"%s\" has a column named \"%s\", which a server catalog cannot hold: the server "
            L"keeps each row's hidden identity under that name.",
            table, column);
        return false;
      }
    }
  }
  return true;
}
