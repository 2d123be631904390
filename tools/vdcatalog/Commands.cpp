#include "Commands.h"

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
#include "toolkit/db/ServerAddress.h"
#include "toolkit/db/postgres/PgDialect.h"
#include "Output.h"

namespace vdcatalog {

using nlohmann::json;

namespace {

bool g_databaseFailed = false;

// Seconds any one statement of the tool may run; set from the command line.
unsigned long g_timeLimit = kDefaultTimeLimit;

// While a catalog is being opened, the library's reports are held back: a file that is no catalog is then
// described in one sentence of the tool's, not by the statement that failed on it.
bool g_holdReports = false;
std::string g_heldReport;
std::string g_lastReport;  // the library's last report, held or not

void OnReport(const wchar_t* text, const wchar_t*) {
  g_databaseFailed = true;
  CString message(text);
  message.TrimRight();
  g_lastReport = Utf8(message);
  if (g_holdReports)
    g_heldReport = Utf8(message);
  else
    Error(Utf8(message));
}

// Holds the library's reports back for its lifetime.
class HeldReports {
 public:
  HeldReports() {
    g_holdReports = true;
    g_heldReport.clear();
  }
  ~HeldReports() { g_holdReports = false; }
  HeldReports(const HeldReports&) = delete;
  HeldReports& operator=(const HeldReports&) = delete;
};

CString Wide(const std::string& utf8) { return CString(utf8.c_str()); }

std::wstring Folded(std::wstring text) {
  VdFoldLower(text);
  return text;
}

// ---------------------------------------------------------------- columns and values

enum class Kind { kInteger, kReal, kText, kBool, kDate, kBinary };

struct Column {
  std::wstring name;
  short sqlType = 0;
  Kind kind = Kind::kText;
};

Kind KindOf(short sqlType) {
  switch (sqlType) {
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
      return Kind::kInteger;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return Kind::kReal;
    case SQL_BIT:
      return Kind::kBool;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_DATETIME:
      return Kind::kDate;
    case SQL_LONGVARBINARY:
    case SQL_VARBINARY:
    case SQL_BINARY:
      return Kind::kBinary;
    default:
      return Kind::kText;
  }
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kInteger:
      return "integer";
    case Kind::kReal:
      return "double";
    case Kind::kBool:
      return "boolean";
    case Kind::kDate:
      return "date";
    case Kind::kBinary:
      return "binary";
    default:
      return "text";
  }
}

bool Set(CVdPatternValue& out, const CVdPatternValue& value) {
  out = value;
  return true;
}

// The value a text gives for a column of `kind` (`sqlType`: its exact type), in `out`; false with a reason when
// it does not fit. An empty text is a null value. The library checks the narrower integer types' ranges.
bool ParseValue(Kind kind, short sqlType, const std::string& text, CVdPatternValue& out, std::string& why) {
  if (text.empty()) {
    out = CVdPatternValue();
    return true;
  }
  switch (kind) {
    case Kind::kInteger: {
      const bool wide = sqlType == SQL_BIGINT;
      long long v = 0;
      const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
      if (r.ec != std::errc() || r.ptr != text.data() + text.size() || (!wide && (v < INT32_MIN || v > INT32_MAX))) {
        why = wide ? "not a whole number in the 64-bit range" : "not a whole number in the 32-bit range";
        return false;
      }
      if (!wide) return Set(out, CVdPatternValue(static_cast<long>(v), VT_I4));
      VARIANT exact;
      VariantInit(&exact);
      exact.vt = VT_I8;
      exact.llVal = v;
      return Set(out, CVdPatternValue(exact));
    }
    case Kind::kReal: {
      double v = 0;
      if (!VdParseDouble(text.c_str(), v)) {
        // A number too large for a double is no typing error: say what is wrong with it.
        char* end = nullptr;
        errno = 0;
        std::strtod(text.c_str(), &end);
        const bool tooLarge = errno == ERANGE && end == text.c_str() + text.size();
        why = tooLarge ? "out of the range of a double (at most about 1.8e308)" : "not a number";
        return false;
      }
      return Set(out, CVdPatternValue(v));
    }
    case Kind::kBool: {
      const std::wstring f = Folded(Wide(text).str());
      if (f == L"1" || f == L"true" || f == L"yes") return Set(out, CVdPatternValue(short(1), VT_BOOL));
      if (f == L"0" || f == L"false" || f == L"no") return Set(out, CVdPatternValue(short(0), VT_BOOL));
      why = "not a boolean (true/false, yes/no, 1/0)";
      return false;
    }
    case Kind::kDate: {
      COleDateTime date;
      if (!date.ParseIso(Wide(text))) {
        why = "not a date (YYYY-MM-DD [HH:MM:SS])";
        return false;
      }
      return Set(out, CVdPatternValue(date));
    }
    case Kind::kBinary: {
      if (text.size() % 2 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        why = "not hexadecimal bytes";
        return false;
      }
      std::vector<unsigned char> bytes(text.size() / 2);
      for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
      return Set(out, CVdPatternValue(bytes.data(), static_cast<unsigned long>(bytes.size())));
    }
    default:
      return Set(out, CVdPatternValue(Wide(text).GetString(), VT_BSTR));
  }
}

// Invalid UTF-8 from a damaged file is shown as U+FFFD rather than failing the whole output.
std::string JsonText(const json& value) { return value.dump(2, ' ', false, json::error_handler_t::replace); }

// `kind`: the value's column. A 64-bit integer beyond what a double holds exactly is read as its digits; in an
// integer column it is written as the number it is.
json ToJson(const VARIANT* v, Kind kind = Kind::kText) {
  if (!v) return nullptr;
  if (kind == Kind::kInteger && v->vt == VT_BSTR && v->bstrVal) {
    const std::string digits = Utf8(CString(v->bstrVal));
    long long exact = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), exact);
    if (r.ec == std::errc() && r.ptr == digits.data() + digits.size() && !digits.empty()) return exact;
  }
  switch (v->vt) {
    case VT_EMPTY:
    case VT_NULL:
      return nullptr;
    case VT_I2:
    case VT_I4:
    case VT_UI1:
      return VariantToLong(v);
    case VT_R4:
    case VT_R8:
    case VT_CY:
      return VariantToDouble(v);
    case VT_BOOL:
      return v->boolVal != VARIANT_FALSE;
    default:
      return Utf8(VariantToString(v, true));
  }
}

// ---------------------------------------------------------------- opening catalogs

// Whether `target` is a server address ("postgresql://...", "host=... catalog=...") rather than a path.
bool IsAddress(const std::string& target) { return vdpattern::db::IsServerAddress(Wide(target).str()); }

// Whether `target` reaches a catalog on a server: an address, or a catalog link file that holds one. Only a
// regular file is read, opened without waiting: a FIFO would otherwise block the open until someone wrote to it.
bool OnServer(const std::string& target) {
  if (IsAddress(target)) return true;
  const int fd = ::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  unsigned char bytes[64];
  ssize_t length = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) length = ::read(fd, bytes, sizeof bytes);
  ::close(fd);
  return length > 0 && vdpattern::db::IsLinkFileHeader(bytes, static_cast<std::size_t>(length));
}

// What a path names when it is not a regular file, for a message; empty for a regular file or nothing at all.
std::string SpecialKind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return std::string();
  return S_ISFIFO(st.st_mode)   ? "a named pipe (FIFO)"
         : S_ISCHR(st.st_mode)  ? "a character device"
         : S_ISBLK(st.st_mode)  ? "a block device"
         : S_ISDIR(st.st_mode)  ? "a folder"
         : S_ISSOCK(st.st_mode) ? "a socket"
                                : "not a regular file";
}

// A catalog file is a regular file: anything else is refused before anything opens it (a FIFO would block the
// first read forever, a device would be read as a database). False after a message.
bool IsCatalogFile(const std::string& target) {
  if (IsAddress(target)) return true;
  const std::string kind = SpecialKind(target);
  if (kind.empty()) return true;
  Error(Shown(target, 200) + " is " + kind + ", not a catalog file; nothing was opened");
  return false;
}

// Why a catalog file that exists cannot be read, when the reason is one the engine puts badly: a catalog in
// write-ahead-log mode needs its -shm file beside it even to be read, and in a read-only folder nobody can make
// it. (Opening it as immutable would work, but would read wrong data while its owner writes it.) Empty when that
// is not the case.
std::string UnreadableWhy(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string();
  unsigned char header[20] = {};
  const ssize_t n = ::read(fd, header, sizeof header);
  ::close(fd);
  const bool wal = n == sizeof header && std::memcmp(header, "SQLite format 3", 16) == 0 && header[18] == 2;
  const std::string folder = std::filesystem::path(path).parent_path().string();
  struct stat st {};
  if (!wal || ::access(folder.empty() ? "." : folder.c_str(), W_OK) == 0 || ::stat((path + "-shm").c_str(), &st) == 0)
    return std::string();
  return "the folder " + folder +
         " is read-only and the catalog uses a write-ahead log, which needs its -shm file in that folder even to be "
         "read: copy the catalog to a writable folder, or have its owner switch it to PRAGMA journal_mode=DELETE";
}

// What the library is handed: a server address as given, a path made absolute (messages then name the file
// wherever the tool was started).
std::string Located(const std::string& target) {
  return IsAddress(target) ? target : std::filesystem::absolute(target).lexically_normal().string();
}

// Whether nothing is at `path` (not even a dangling link), so a new file may take its name.
bool IsNewPath(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

// Whether the server catalog at `address` exists (its schema, with tables or none); false when it does not or
// the server cannot be reached (what follows reports why).
bool ServerCatalogExists(const std::string& address) {
  try {
    CVdDatabase db;
    db.SetQueryTimeout(g_timeLimit);
    db.Open(Wide(address), 0, 1);
    return true;
  } catch (CDBException* e) {
    e->Delete();
    return false;
  }
}

// Undoes the making of the server catalog at `address` after a failure: its schema is dropped when it holds no
// table, so that a failed create or convert leaves nothing that blocks the next one. The schema of a catalog
// with tables, or the database's default schema, is never dropped.
void DropEmptyServerCatalog(const std::string& address) {
  try {
    const std::string schema = vdpattern::db::ParseServerAddress(Wide(address).str()).catalog;
    CString bracketed;
    if (schema.empty() || !VdBracketName(VdFromUtf8(schema), bracketed)) return;
    CVdDatabase db;
    db.SetQueryTimeout(g_timeLimit);
    db.Open(Wide(address), 0, 0);
    if (db.GetTableDefCount() != 0) return;
    // The collation that making the catalog put in, then the schema: both refuse to go while anything uses them.
    db.ExecuteSQL(VdFromUtf8(std::string("DROP COLLATION IF EXISTS ") + vdpattern::db::kPgNoCase).c_str());
    db.ExecuteSQL(L"DROP SCHEMA " + bracketed);
  } catch (CDBException* e) {
    e->Delete();
  }
}

// A factory whose unit manager holds the host's metrics factor.
class ToolFactory : public CVdPatternFactory {
 public:
  explicit ToolFactory(CVdUnitManager* units) { m_pUnitManager = units; }
};

// The catalogs given on the command line, opened on connections of our own so that their columns can be listed
// and a write can span several calls in one transaction. Only `show` attaches them to a manager, which needs
// their names to differ; the other commands may open two catalogs of the same name from different folders.
class Session {
 public:
  explicit Session(double metricsFactor = 1.0) : m_units(metricsFactor) {
    m_factory = new ToolFactory(&m_units);
    m_manager = std::make_unique<CVdPatternManager>(m_factory);  // the manager owns the factory
  }

  // The catalog at `file`, attached to the manager when `attach` says so; null (the reason already printed)
  // when it cannot be opened.
  CVdPatternCatalog* Open(const std::string& file, bool attach = false) {
    if (!IsCatalogFile(file)) return nullptr;
    const std::string path = Located(file);
    auto* db = new CVdDatabase();
    db->SetQueryTimeout(g_timeLimit);
    try {
      db->Open(Wide(path), 0, 0);
    } catch (CDBException* e) {
      const std::string why = IsAddress(file) ? std::string() : UnreadableWhy(path);
      Error(why.empty() ? Utf8(e->m_strError) : file + " cannot be read: " + why);
      e->Delete();
      delete db;
      return nullptr;
    }
    // The catalog takes the connection over; it stays reachable through m_databases while the catalog lives.
    std::unique_ptr<CVdPatternCatalog> catalog;
    {
      HeldReports held;
      catalog = std::make_unique<CVdPatternCatalog>(db, m_factory, false);
      if (catalog->IsOpened()) catalog->FillUnitsPool();
    }
    if (!catalog->IsOpened()) {
      if (const std::string why = IsAddress(file) ? std::string() : UnreadableWhy(path); !why.empty()) {
        Error(file + " cannot be read: " + why);
        return nullptr;
      }
      Error(file + (OnServer(file) ? " holds no catalog" : " is not a catalog") +
            ": it has no readable \"Definition\" and \"FamilyDescription\" tables");
      return nullptr;
    }
    if (!g_heldReport.empty()) Error(file + ": the units of its families cannot be read: " + g_heldReport);
    CVdPatternCatalog* raw = catalog.get();
    if (attach) {
      if (!m_manager->AttachCatalog(raw)) {
        Error(file + ": a catalog of the same name is already open");
        return nullptr;
      }
      catalog.release();  // the manager owns it now
    } else {
      m_catalogs.push_back(std::move(catalog));
    }
    m_databases[raw] = db;
    return raw;
  }

  CVdDatabase* Database(CVdPatternCatalog* catalog) { return m_databases[catalog]; }
  CVdPatternManager& Manager() { return *m_manager; }
  ToolFactory& Factory() { return *m_factory; }

 private:
  CVdUnitManager m_units;
  ToolFactory* m_factory;  // owned by the manager
  std::unique_ptr<CVdPatternManager> m_manager;
  std::vector<std::unique_ptr<CVdPatternCatalog>> m_catalogs;  // not attached; released before the manager
  std::map<CVdPatternCatalog*, CVdDatabase*> m_databases;      // borrowed from the catalogs
};

// The writes of one command, kept only when it reaches Keep: a transaction that holds the write lock from the
// first read to the COMMIT, so what the command read cannot change before it writes.
class WriteScope {
 public:
  explicit WriteScope(CVdDatabase* db) : m_db(db) { db->BeginWriteGroup(); }
  ~WriteScope() {
    if (!m_open) return;
    try {
      m_db->EndWriteGroup(FALSE);
    } catch (CDBException* e) {
      e->Delete();
    }
  }
  // Throws CDBException* when the COMMIT fails; nothing is kept then.
  void Keep() {
    m_open = false;
    m_db->EndWriteGroup(TRUE);
  }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

 private:
  CVdDatabase* m_db;
  bool m_open = true;
};

// A table or column name as the tool's statements write it: between brackets, so that no name read from a file
// or typed by a user is ever taken for SQL. Brackets have no escape, so a name holding ']' is refused.
bool Bracketed(const std::wstring& name, CString& out) {
  if (VdBracketName(name, out)) return true;
  Error("the name \"" + Shown(VdToUtf8(name)) + "\" cannot be used: " +
        (name.empty()                            ? "it is empty"
         : name.find(L']') != std::wstring::npos ? "it holds ']'"
                                                 : "it holds a NUL"));
  return false;
}

// The columns of a family, listed through the family-property enumerator; empty when there is no such table.
std::vector<Column> FamilyColumns(CVdDatabase* db, const std::string& family) {
  std::vector<Column> columns;
  CString table;
  if (family.find(']') != std::string::npos) return columns;
  table = L"[" + Wide(family) + L"] WHERE 0";
  CVdRecordset rs(db);
  try {
    rs.Open(0, L"SELECT * FROM " + table, 0);
  } catch (CDBException* e) {
    // A table the engine refuses to read (columns it cannot tell apart) says why; a missing one is the caller's.
    if (e->GetCategory() != CDBException::eNoSuchObject) {
      Error(Utf8(e->m_strError));
      g_databaseFailed = true;  // said once, here: the caller stops without a second word
    }
    e->Delete();
    return columns;
  }
  CEnumPropFamily* enumerator = nullptr;
  if (CEnumPropFamily::Create(&rs, &enumerator) != S_OK) return columns;
  enumerator->AddRef();
  PROPFAMILYINFO* item = nullptr;
  while (enumerator->Next(0, &item) == S_OK) {
    columns.push_back(Column{item->name, item->sqlType, KindOf(item->sqlType)});
    delete item;
  }
  enumerator->Release();
  return columns;
}

// The number of rows of a family, counted by the engine, or only up to `limit` when one is given; -1 when the
// table cannot be read.
long CountRows(CVdDatabase* db, const std::wstring& family, long limit = 0) {
  CString table;
  if (!VdBracketName(family, table)) return -1;
  CVdRecordset rs(db);
  try {
    CString rows = table;
    if (limit > 0) rows.Format(L"(SELECT 1 FROM %s LIMIT %ld)", table, limit);
    rs.Open(0, L"SELECT COUNT(*) AS n FROM " + rows, 0);
    CDBVariant cell;
    rs.GetFieldValue(short(0), cell);
    const COleVariant count = CVdRecordset::getOLEVariant(cell);
    return VariantToLong(&count);
  } catch (CDBException* e) {
    e->Delete();
    return -1;
  }
}

const Column* FindColumn(const std::vector<Column>& columns, const std::wstring& name) {
  for (const Column& c : columns)
    if (VdCompareNoCase(c.name, name) == 0) return &c;
  return nullptr;
}

bool HasFamily(CVdPatternCatalog& catalog, const std::string& family) {
  if (catalog.FindFamily(Wide(family))) return true;
  Error("no family \"" + family + "\" in " + Utf8(catalog.GetPath()));
  return false;
}

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

bool NaturalLess(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = Folded(a), y = Folded(b);
  return NaturalLessFolded(x, y) || (!NaturalLessFolded(y, x) && a < b);
}

void SortNaturally(std::list<std::wstring>& names) { names.sort(NaturalLess); }

// A row of a family as the catalog stores it: a missing value stays null.
struct Row {
  std::string name;
  std::wstring key;                 // the name folded, to sort by
  std::vector<COleVariant> values;  // one per column of the family, in the family's order
};

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

int Finish(int status) { return g_databaseFailed && status == kOk ? kError : status; }

}  // namespace

bool DatabaseFailed() { return g_databaseFailed; }

bool IsCatalogOnServer(const std::string& target) { return OnServer(target); }

bool RefuseSpecialFile(const std::string& target) { return !IsCatalogFile(target); }

void SetTimeLimit(unsigned long seconds) { g_timeLimit = seconds; }
unsigned long TimeLimit() { return g_timeLimit; }

int Run(const std::function<int()>& command) {
  g_databaseFailed = false;  // a process may run several commands (the fuzzer does)
  int status = kError;
  try {
    status = command();
  } catch (CDBException* e) {
    CString text = e->m_strError;
    text.TrimRight();
    Error("database error: " + (text.IsEmpty() ? std::string("(no description)") : Utf8(text)));
    e->Delete();
    status = kError;
  } catch (const std::bad_alloc&) {
    Error("out of memory");
    status = kError;
  } catch (const std::exception& e) {
    Error(std::string("unexpected failure: ") + e.what());
    status = kError;
  }
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    Error(std::string("cannot write the output: ") + (errno ? std::strerror(errno) : "write error"));
    return kError;
  }
  return status;
}

void InstallReportHandler() { VdSetReportHandler(&OnReport); }

// ---------------------------------------------------------------- create, add-family

int Create(const std::string& file, const std::string& type, const std::string& editor, int version) {
  const bool onServer = IsAddress(file);
  if (onServer) {
    if (ServerCatalogExists(file)) {
      Error(file + " already exists; a catalog is never created over another");
      return kNotFound;
    }
  } else {
    // The file is made here once, so that a folder that is missing or not writable is reported with its reason.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      ::unlink(file.c_str());
    } else if (errno != EEXIST) {
      Error("cannot create " + file + ": " + std::strerror(errno));
      return kError;
    }
    struct stat st {};
    if (stat(file.c_str(), &st) == 0) {
      const std::string kind = SpecialKind(file);
      Error(file + " already exists" + (kind.empty() ? "" : " as " + kind) +
            "; a catalog is never created over an existing file" +
            (OnServer(file) ? " (it is a catalog link: create the catalog at the address it holds)" : ""));
      return kNotFound;
    }
  }
  CString error;
  if (!CVdCatalogSchema::CreateCatalog(Wide(file), Wide(type), Wide(editor), version, error)) {
    if (onServer) DropEmptyServerCatalog(file);
    Error(Utf8(error));
    return kError;
  }
  std::printf("created %s (type %s, version %d)\n", Visible(Masked(file)).c_str(), Visible(type).c_str(), version);
  return kOk;
}

int AddFamily(const std::string& file, const std::string& family, const std::string& code,
              const std::vector<std::string>& columnTexts) {
  std::vector<CVdCatalogSchema::Column> columns;
  for (const std::string& text : columnTexts) {
    const std::size_t first = text.find(':');
    if (first == std::string::npos || first == 0) {
      Error("column \"" + text + "\" must be written NAME:TYPE or NAME:TYPE:UNIT");
      return kError;
    }
    const std::size_t second = text.find(':', first + 1);
    CVdCatalogSchema::Column c;
    c.name = Wide(text.substr(0, first));
    c.type = Wide(text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1));
    if (second != std::string::npos) c.unit = Wide(text.substr(second + 1));
    if (!c.unit.IsEmpty()) {
      CVdUnit unit;
      CString lower = c.unit;
      if (CVdUnitManager::UnitFromString(lower.MakeLower(), unit, 1.0) != 0) {
        Error("unknown unit \"" + Utf8(c.unit) + "\" for column " + Utf8(c.name));
        return kError;
      }
    }
    columns.push_back(c);
  }
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (catalog->FindFamily(Wide(family))) {
    Error("the catalog already has a family \"" + family + "\"");
    return kNotFound;
  }
  CString error;
  if (!CVdCatalogSchema::AddFamily(catalog->GetPath(), Wide(family), Wide(code), columns, error)) {
    Error(Utf8(error));
    return kError;
  }
  std::string names = "Name";
  for (const CVdCatalogSchema::Column& c : columns) names += ", " + Utf8(c.name);
  std::printf("added family %s (code %s) with %zu columns: %s\n", Visible(family).c_str(), Visible(code).c_str(),
              columns.size() + 1, Visible(names).c_str());
  return kOk;
}

// ---------------------------------------------------------------- info, families, list

int Info(const std::string& file, const Options& options) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  CVdDatabase* db = session.Database(catalog);
  // The "Definition" row first: a catalog whose row is missing or odd is described as such, not half-printed.
  std::string typeName, editor, lastUpdate;
  int version = 0;
  try {
    typeName = Utf8(catalog->GetTypeName());
    editor = Utf8(catalog->GetEditorName());
    lastUpdate = Utf8(catalog->GetLastUpdateDate());
    version = catalog->GetVerNumber();
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    reason.TrimRight();
    Error("the \"Definition\" table of " + file + " cannot be read: " + Utf8(reason));
    return kError;
  }
  std::list<std::wstring> families;
  if (!catalog->GetFamilies(families)) return kError;
  SortNaturally(families);
  json jsonFamilies = json::array();
  Table table({"Family", "Code", "Patterns", "Columns"});
  for (const std::wstring& family : families) {
    wchar_t code[64];
    catalog->GetFamilyCode(family.c_str(), code);
    std::wstring upper = family;
    VdFoldUpper(upper);
    const auto units = catalog->GetUnitsMap(upper);
    std::string columnText;
    json jsonColumns = json::array();
    const std::vector<Column> columns = FamilyColumns(db, VdToUtf8(family));
    for (std::size_t i = 1; i < columns.size(); ++i) {
      const auto u = units.find(Folded(columns[i].name));
      const std::string unit = u == units.end() ? std::string() : Utf8(u->second.unit.GetText());
      columnText += (i > 1 ? ", " : "") + VdToUtf8(columns[i].name) + (unit.empty() ? "" : " [" + unit + "]");
      jsonColumns.push_back({{"name", VdToUtf8(columns[i].name)}, {"type", KindName(columns[i].kind)}, {"unit", unit}});
    }
    const long count = CountRows(db, family);
    table.Add({VdToUtf8(family), VdToUtf8(code), count < 0 ? "unreadable" : std::to_string(count), columnText});
    jsonFamilies.push_back({{"family", VdToUtf8(family)},
                            {"code", VdToUtf8(code)},
                            {"patterns", count < 0 ? json(nullptr) : json(count)},
                            {"columns", jsonColumns}});
  }
  const bool writable = catalog->CanWrite();
  // The database's own reason (a role without write rights, an Access file), for the user to act on.
  std::string readOnlyReason = writable ? std::string() : Utf8(db->GetReadOnlyReason().TrimRight());
  if (options.json) {
    json out = {{"name", Utf8(catalog->GetName())},
                {"path", Masked(Utf8(catalog->GetPath()))},
                {"type", typeName},
                {"version", version},
                {"editor", editor},
                {"last_update", lastUpdate},
                {"read_only", !writable},
                {"families", jsonFamilies}};
    std::printf("%s\n", JsonText(out).c_str());
  } else {
    PrintFields({{"Name", Utf8(catalog->GetName())},
                 {"Path", Masked(Utf8(catalog->GetPath()))},
                 {"Type", typeName},
                 {"Version", std::to_string(version)},
                 {"Editor", editor},
                 {"Last update", lastUpdate},
                 {"Read-only", writable                 ? "no"
                               : readOnlyReason.empty() ? "yes"
                                                        : "yes: " + readOnlyReason}});
    std::printf("\n");
    table.Print();
  }
  return Finish(kOk);
}

int Families(const std::vector<std::string>& files, const Options& options) {
  Session session;
  json out = json::array();
  Table table({"Catalog", "Family", "Code"});
  for (const std::string& file : files) {
    CVdPatternCatalog* catalog = session.Open(file);
    if (!catalog) return kError;
    std::list<std::wstring> families;
    catalog->GetFamilies(families);
    SortNaturally(families);
    for (const std::wstring& family : families) {
      wchar_t code[64];
      catalog->GetFamilyCode(family.c_str(), code);
      table.Add({Utf8(catalog->GetName()), VdToUtf8(family), VdToUtf8(code)});
      out.push_back({{"catalog", Utf8(catalog->GetName())}, {"family", VdToUtf8(family)}, {"code", VdToUtf8(code)}});
    }
  }
  if (options.json)
    std::printf("%s\n", JsonText(out).c_str());
  else
    table.Print();
  return Finish(kOk);
}

int List(const std::string& file, const std::string& family, const std::string& like, const std::string& where,
         const Options& options) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (!HasFamily(*catalog, family)) return kNotFound;
  const std::vector<Column> columns = FamilyColumns(session.Database(catalog), family);
  if (g_databaseFailed) return kError;
  std::vector<Row> rows;
  if (!ReadRows(session.Database(catalog), family, columns, like, where, rows)) return kError;
  if (options.json) {
    json out = json::array();
    for (const Row& row : rows) {
      json entry = json::object();
      for (std::size_t i = 0; i < columns.size(); ++i)
        entry[VdToUtf8(columns[i].name)] = ToJson(&row.values[i], columns[i].kind);
      out.push_back(entry);
    }
    std::printf("%s\n", JsonText(out).c_str());
  } else {
    std::vector<std::string> headers;
    for (const Column& c : columns) headers.push_back(VdToUtf8(c.name));
    Table table(headers);
    for (const Row& row : rows) {
      std::vector<std::string> cells;
      for (const COleVariant& v : row.values) cells.push_back(Text(&v));
      table.Add(cells);
    }
    table.Print();
  }
  return Finish(kOk);
}

// ---------------------------------------------------------------- show

int Show(const std::vector<std::string>& files, const std::string& name, const std::string& family, double metrics,
         bool withMetrics, const Options& options) {
  Session session(withMetrics ? metrics : 1.0);
  std::vector<CVdPatternCatalog*> catalogs;
  for (const std::string& file : files) {
    CVdPatternCatalog* catalog = session.Open(file, true);
    if (!catalog) return kError;
    catalogs.push_back(catalog);
  }
  CVdPatternManager& manager = session.Manager();
  std::unique_ptr<CVdPattern> pattern;
  if (family.empty()) {
    CVdPattern::enumCheckUserName check = CVdPattern::eCheckUserNameOk;
    pattern.reset(manager.GetPattern(Wide(name), CVdPattern::ePatternTypeCatalog, &check));
  } else {
    // The same normalised lookup as the manager's, limited to one family.
    const CString normalised = CVdUnit::NormalizedPatternName(Wide(name));
    for (CVdPatternCatalog* c = manager.FindFirstCatalog(); c && !pattern; c = manager.FindNextCatalog()) {
      pattern.reset(c->GetPattern(normalised, Wide(family)));
      if (pattern) pattern->SetUserName(Wide(name));
    }
  }
  if (!pattern) {
    if (g_databaseFailed) return kError;
    Error("\"" + Visible(name) + "\" not found" + DidYouMean(session, catalogs, name));
    return kNotFound;
  }

  CVdPatternCatalog* source = manager.GetCatalog(pattern->GetCatalog());
  const auto units =
      source ? source->GetUnitsMap(CString(pattern->GetFamily()).MakeUpper().str()) : CVdPatternCatalog::FamilyUnits();
  // The family and its columns as the catalog spells them, and the row as it is stored, so that a missing value
  // shows as missing and a GUID that is not stored is not shown as one.
  std::string familyName = Utf8(pattern->GetFamily());
  std::vector<Column> columns;
  std::vector<Row> rows;
  if (source) {
    std::list<std::wstring> families;
    source->GetFamilies(families);
    for (const std::wstring& f : families)
      if (VdCompareNoCase(f, pattern->GetFamily().str()) == 0) familyName = VdToUtf8(f);
    columns = FamilyColumns(session.Database(source), familyName);
    const std::string stored = Utf8(CVdUnit::NormalizedPatternName(Wide(name)));
    ReadRows(session.Database(source), familyName, columns, stored, "", rows);  // '%' and '_' match more
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [&](const Row& r) { return VdCompareNoCase(Wide(r.name).str(), Wide(stored).str()); }),
               rows.end());
  }
  const Row* row = rows.size() == 1 ? &rows[0] : nullptr;
  json guid = nullptr;
  std::string guidText = "none stored (a new one is made at each read)";
  if (const Column* column = FindColumn(columns, L"GUID"); column && row) {
    const COleVariant& v = row->values[static_cast<std::size_t>(column - columns.data())];
    if (v.vt != VT_NULL && v.vt != VT_EMPTY) guidText = Text(&v), guid = guidText;
  }

  json parameters = json::array();
  Table table(withMetrics ? std::vector<std::string>{"Parameter", "Value", "Type", "Unit", "Host value"}
                          : std::vector<std::string>{"Parameter", "Value", "Type", "Unit"});
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Column& column = columns[i];
    if (VdCompareNoCase(column.name, L"Name") == 0 || VdCompareNoCase(column.name, L"GUID") == 0) continue;
    const std::wstring param = Folded(column.name);
    CVdPatternValue* read = nullptr;
    pattern->GetFixedParam(0, param, &read);
    const VARIANT* value = row ? static_cast<const VARIANT*>(&row->values[i]) : read;
    const bool missing = !value || value->vt == VT_NULL || value->vt == VT_EMPTY;
    const auto u = units.find(param);
    const std::string unit = u == units.end() ? std::string() : Utf8(u->second.unit.GetText());
    json entry = {{"name", VdToUtf8(column.name)},
                  {"value", ToJson(value, column.kind)},
                  {"type", KindName(column.kind)},
                  {"unit", unit}};
    std::vector<std::string> cells{VdToUtf8(column.name), Text(value), KindName(column.kind), unit};
    if (withMetrics) {
      std::string host = missing ? std::string() : Text(value);
      json hostJson = missing ? json(nullptr) : ToJson(value);
      if (!missing && read && read->vt == VT_R8 && u != units.end()) {
        const double converted = read->dblVal * session.Factory().GetUnitFactor(u->second.unit);
        host = Utf8(VdDoubleToString(converted));
        hostJson = converted;
      }
      cells.push_back(host);
      entry["host_value"] = hostJson;
    }
    table.Add(cells);
    parameters.push_back(entry);
  }
  if (options.json) {
    json out = {{"name", Utf8(pattern->GetUserNameW())},
                {"guid", guid},
                {"family", familyName},
                {"catalog", Utf8(pattern->GetCatalog())},
                {"parameters", parameters}};
    if (withMetrics) out["metrics_factor"] = metrics;
    std::printf("%s\n", JsonText(out).c_str());
  } else {
    PrintFields({{"Name", Utf8(pattern->GetUserNameW())},
                 {"GUID", guidText},
                 {"Family", familyName},
                 {"Catalog", Utf8(pattern->GetCatalog())}});
    std::printf("\n");
    table.Print();
  }
  return Finish(kOk);
}

// ---------------------------------------------------------------- set, rm, max

namespace {

// Stores the value `text` of `column` (`folded`: its parameter name) in `pattern`; false with a message when the
// text does not fit the column's type.
bool AssignTo(CVdPattern& pattern, const Column& column, const std::wstring& folded, const std::string& text,
              std::string& error) {
  if (text.find('\0') != std::string::npos) {
    error = "the value of " + VdToUtf8(column.name) + " holds a NUL byte";
    return false;
  }
  CVdPatternValue* stored = nullptr;
  if (column.kind == Kind::kReal && !text.empty()) {
    // Numbers are most of what an import writes: one already stored is overwritten where it stands.
    double number = 0;
    if (VdParseDouble(text.c_str(), number) && pattern.GetValue(0, folded, &stored) && stored && stored->vt == VT_R8) {
      stored->dblVal = number;
      return true;
    }
  }
  std::string why;
  CVdPatternValue value;
  if (!ParseValue(column.kind, column.sqlType, text, value, why)) {
    error = "value \"" + Shown(text) + "\" does not fit column " + VdToUtf8(column.name) + " (" +
            KindName(column.kind) + "): " + why;
    return false;
  }
  // A pattern used for row after row (import) already holds the parameter: its value is replaced in place.
  if (stored || (pattern.GetValue(0, folded, &stored) && stored))
    *stored = value;
  else
    pattern.SetValue(0, folded, new CVdPatternValue(static_cast<const COleVariant&>(value)));
  return true;
}

// The column a `key=value` or a CSV header names; null with a message when there is none, or when it is the
// Name column, which holds the pattern's name and is no value.
const Column* ValueColumn(const std::vector<Column>& columns, const std::string& key, std::string& error) {
  const Column* column = FindColumn(columns, Wide(key).str());
  if (!column) {
    error = "no column \"" + Shown(key) + "\" in the family";
    return nullptr;
  }
  if (VdCompareNoCase(column->name, L"Name") == 0) {
    error = "the Name column is the pattern's name; it cannot be set as a value";
    return nullptr;
  }
  return column;
}

}  // namespace

int Set(const std::string& file, const std::string& family, const std::string& name,
        const std::vector<std::string>& assignments) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (!HasFamily(*catalog, family)) return kNotFound;
  const std::vector<Column> columns = FamilyColumns(session.Database(catalog), family);
  if (g_databaseFailed) return kError;
  catalog->SetHasUnits(false);  // values are given as the catalog stores them
  // Only the columns named are written: the pattern holds those values alone, and the factory leaves the
  // columns of parameters a pattern does not have as they are.
  CVdPattern pattern(1, Wide(name), Wide(family));
  for (const std::string& assignment : assignments) {
    const std::size_t eq = assignment.find('=');
    std::string error;
    if (eq == std::string::npos || eq == 0) {
      Error("\"" + Shown(assignment) + "\" must be written key=value");
      return kError;
    }
    const Column* column = ValueColumn(columns, assignment.substr(0, eq), error);
    if (!column || !AssignTo(pattern, *column, Folded(column->name), assignment.substr(eq + 1), error)) {
      Error(error);
      return kError;
    }
  }
  // Whether the name is there and the write are one transaction, so "added" is true when it is printed.
  WriteScope scope(session.Database(catalog));
  const bool existed = catalog->FindPattern(Wide(name), Wide(family));
  if (g_databaseFailed) return kError;
  if (!catalog->InsertPattern(&pattern, false)) {
    if (!g_databaseFailed) Error("the catalog refused the pattern (does family " + family + " have a family code?)");
    return g_databaseFailed ? kError : kNotFound;
  }
  scope.Keep();
  std::printf("%s %s in %s\n", existed ? "updated" : "added", Visible(name).c_str(), Visible(family).c_str());
  return Finish(kOk);
}

int Remove(const std::string& file, const std::string& name, const std::string& family) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  const CString wideFamily = Wide(family);
  if (!catalog->RemovePattern(Wide(name), family.empty() ? nullptr : wideFamily.GetString())) {
    if (g_databaseFailed) return kError;
    Error("\"" + Visible(name) + "\" not found" + (family.empty() ? "" : " in family " + Visible(family)) +
          DidYouMean(session, {catalog}, name));
    return kNotFound;
  }
  std::printf("removed %s\n", Visible(name).c_str());
  return Finish(kOk);
}

int Max(const std::string& file, const std::string& table, const std::string& column, const std::string& keyColumn,
        const std::string& key, const Options& options) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  // The names are bracketed here: the catalog places them in its statements as they are given.
  CString tableName, columnName, keyName;
  if (!Bracketed(Wide(table).str(), tableName) || !Bracketed(Wide(column).str(), columnName) ||
      !Bracketed(Wide(keyColumn).str(), keyName))
    return kError;
  CVdPatternValue value(Wide(key).GetString(), VT_BSTR);
  const auto status = catalog->GetMaxValue(tableName, columnName, keyName, value);
  if (status == CVdPatternCatalog::eFunctionFailed) {
    if (!g_databaseFailed) Error("more than one row of " + table + " has " + keyColumn + " = " + key);
    return kError;
  }
  const bool found = status == CVdPatternCatalog::eFunctionFound;
  if (options.json) {
    json out = {{"status", found ? "found" : "not-found"}, {"value", ToJson(&value)}};
    std::printf("%s\n", JsonText(out).c_str());
  } else {
    std::printf("%s: %s\n", found ? "found" : "not found, column maximum", Visible(Text(&value)).c_str());
  }
  return Finish(kOk);
}

// ---------------------------------------------------------------- export, import

namespace {

// CSV is text, and a NUL byte is none: the tool's own import refuses it, other programs cut the text at it.
// Escaping it would need an escape character, itself escaped in every text; JSON carries it exactly instead.
// False after a message naming the first cell that holds one; checked before anything is written.
bool CsvCanCarry(const std::string& family, const std::vector<Column>& columns, const std::vector<Row>& rows) {
  for (const Column& c : columns) {
    if (c.name.find(L'\0') == std::wstring::npos) continue;
    Error("a column name of family " + Shown(family) +
          " holds a NUL byte, which CSV cannot carry: export it with "
          "--format json; nothing was written");
    return false;
  }
  for (const Row& row : rows) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (Text(&row.values[i]).find('\0') == std::string::npos) continue;
      Error("the " + VdToUtf8(columns[i].name) + " of pattern \"" + Shown(row.name) + "\" in family " + Shown(family) +
            " holds a NUL byte, which CSV cannot carry: export it with --format json; nothing was "
            "written");
      return false;
    }
  }
  return true;
}

}  // namespace

int Export(const std::string& file, const std::string& family, const std::string& format, const std::string& outPath) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  std::list<std::wstring> families;
  if (family.empty()) {
    if (!catalog->GetFamilies(families)) return kError;
    SortNaturally(families);
  } else {
    if (!HasFamily(*catalog, family)) return kNotFound;
    families.push_back(Wide(family).str());
  }
  if (format == "csv" && families.size() != 1) {
    Error("CSV holds one family: name the family to export");
    return kError;
  }
  OutputFile output;
  std::string error;
  if (!output.Open(outPath, file, error)) {
    Error(error);
    return kError;
  }
  std::FILE* out = output.Stream();
  json document = json::object();
  for (const std::wstring& f : families) {
    const std::vector<Column> columns = FamilyColumns(session.Database(catalog), VdToUtf8(f));
    if (g_databaseFailed) return kError;
    std::vector<Row> rows;
    if (!ReadRows(session.Database(catalog), VdToUtf8(f), columns, "", "", rows)) return kError;
    Progress progress("export", rows.size());
    if (format == "csv") {
      if (!CsvCanCarry(VdToUtf8(f), columns, rows)) return kError;
      std::vector<std::string> header;
      for (const Column& c : columns) header.push_back(GuardedCsvText(VdToUtf8(c.name)));
      WriteCsvRecord(out, header);
      for (std::size_t r = 0; r < rows.size(); ++r) {
        std::vector<std::string> cells;
        for (std::size_t i = 0; i < columns.size(); ++i) {
          const std::string text = Text(&rows[r].values[i]);
          cells.push_back(columns[i].kind == Kind::kText ? GuardedCsvText(text) : text);
        }
        WriteCsvRecord(out, cells);
        progress.Step(r + 1);
      }
    } else {
      json list = json::array();
      for (std::size_t r = 0; r < rows.size(); ++r) {
        json entry = json::object();
        for (std::size_t i = 0; i < columns.size(); ++i)
          entry[VdToUtf8(columns[i].name)] = ToJson(&rows[r].values[i], columns[i].kind);
        list.push_back(entry);
        progress.Step(r + 1);
      }
      document[VdToUtf8(f)] = list;
    }
  }
  if (format == "json") std::fprintf(out, "%s\n", JsonText(document).c_str());
  if (!output.Commit(error)) {
    Error(error);
    return kError;
  }
  return Finish(kOk);
}

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// Exit status of a command stopped by Ctrl-C, as shells report a process that SIGINT ended.
constexpr int kInterrupted = 130;

// While it lives, Ctrl-C asks the import to stop at the next row, so that its transaction is undone and said so,
// instead of ending the process in the middle of a write.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = [](int) { g_interrupted = 1; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_previous);
  }
  ~InterruptGuard() { sigaction(SIGINT, &m_previous, nullptr); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction m_previous {};
};

// A set of hashes, open addressed: 8 to 16 bytes an element (a million names take 16 MB at most).
class HashSet {
 public:
  bool Contains(std::uint64_t hash) const {
    if (m_slots.empty()) return false;
    hash = hash ? hash : 1;
    for (std::size_t i = hash & Mask();; i = (i + 1) & Mask()) {
      if (m_slots[i] == hash) return true;
      if (m_slots[i] == 0) return false;
    }
  }
  void Insert(std::uint64_t hash) {
    hash = hash ? hash : 1;  // 0 marks a free slot
    if ((m_size + 1) * 4 > m_slots.size() * 3) Grow();
    for (std::size_t i = hash & Mask();; i = (i + 1) & Mask()) {
      if (m_slots[i] == hash) return;
      if (m_slots[i] == 0) {
        m_slots[i] = hash;
        ++m_size;
        return;
      }
    }
  }
  std::size_t Size() const { return m_size; }

 private:
  std::size_t Mask() const { return m_slots.size() - 1; }
  void Grow() {
    std::vector<std::uint64_t> old(m_slots.empty() ? 1024 : m_slots.size() * 2);
    old.swap(m_slots);
    m_size = 0;
    for (std::uint64_t hash : old)
      if (hash) Insert(hash);
  }

  std::vector<std::uint64_t> m_slots;  // a power of two of them, at most three quarters used
  std::size_t m_size = 0;
};

// The CSV header of an import matched to the family's columns once for the whole file: each field's column
// and folded parameter name, and which field is the Name.
struct ImportHeader {
  std::vector<const Column*> columns;  // borrowed from the family's columns given to Match; null for the Name
  std::vector<std::wstring> names;
  std::size_t nameIndex = 0;
  std::string csvPath;

  // Where a message about a line of the file points; made only when there is something to say.
  std::string Where(std::size_t line) const { return csvPath + " line " + std::to_string(line) + ": "; }

  // Reports the first fault of the header and returns false.
  bool Match(const CsvRecord& header, const std::vector<Column>& family, const std::string& familyName,
             const std::string& path) {
    csvPath = path;
    const std::string where = Where(header.line);
    std::vector<std::string> fields = header.fields;
    for (std::string& field : fields)
      if (IsGuardedCsvText(field)) field.erase(0, 1);  // column names are exported as guarded texts
    bool hasName = false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const Column* column = FindColumn(family, Wide(fields[i]).str());
      if (!column || fields[i].find('\0') != std::string::npos) {
        Error(where + "no column \"" + Shown(fields[i]) + "\" in family " + familyName);
        return false;
      }
      for (std::size_t k = 0; k < i; ++k) {
        if (VdCompareNoCase(Wide(fields[k]).str(), column->name) == 0) {
          Error(where + "the column " + VdToUtf8(column->name) + " is given twice");
          return false;
        }
      }
      const bool isName = VdCompareNoCase(column->name, L"Name") == 0;
      if (isName) nameIndex = i;
      hasName |= isName;
      columns.push_back(isName ? nullptr : column);
      names.push_back(isName ? std::wstring() : Folded(column->name));
    }
    if (!hasName) Error(csvPath + ": the header needs a Name column");
    return hasName;
  }

  // Sets the pattern's name and every value of the record; reports the first fault and returns false.
  bool Fill(CVdPattern& pattern, const CsvRecord& record, std::string& error) const {
    if (record.fields.size() != columns.size()) {
      Error(Where(record.line) + "expected " + std::to_string(columns.size()) + " fields, found " +
            std::to_string(record.fields.size()));
      return false;
    }
    const std::string& field = record.fields[nameIndex];
    const std::string& name = IsGuardedCsvText(field) ? field.substr(1) : field;
    if (name.empty() || name.find('\0') != std::string::npos) {
      Error(Where(record.line) + (name.empty() ? "the Name is empty" : "the Name holds a NUL byte"));
      return false;
    }
    pattern.SetUserName(Wide(name));
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const std::string& cell = record.fields[i];
      const bool guarded = columns[i] && columns[i]->kind == Kind::kText && IsGuardedCsvText(cell);
      if (columns[i] && !AssignTo(pattern, *columns[i], names[i], guarded ? cell.substr(1) : cell, error)) {
        Error(Where(record.line) + error);
        return false;
      }
    }
    return true;
  }
};

// What the rows of an import wrote, read and refused.
struct ImportCounts {
  std::size_t rows = 0, failed = 0;
  HashSet names;  // the folded names' hashes: the distinct patterns the rows wrote
};

constexpr const char* kConnectionLost = "the connection to the server was lost; nothing was imported";

// Writes every row after the header into the family, inside the caller's write scope: kOk when the rows are
// to be kept (some may have been refused under --keep-going), otherwise the status that ends the import.
int ImportRows(CsvReader& reader, const ImportHeader& header, CVdPatternCatalog& catalog, CVdDatabase* db,
               const std::string& family, bool keepGoing, ImportCounts& counts) {
  // Into a family that held no row when the write began, a name the file has not given before is new: its row
  // is appended without the search for an existing one (the write holds the file, so nobody adds one).
  const bool startedEmpty = CountRows(db, Wide(family).str(), 1) == 0;
  Progress progress("import", reader.Size());
  CsvRecord record;
  std::string error;
  // One pattern serves every row: each row sets its name and every value of the header's columns.
  CVdPattern pattern(1, nullptr, Wide(family));
  std::string previousRefusal;
  while (reader.Next(record, error)) {
    if (g_interrupted) break;
    // With --keep-going each row is a group of its own, so a row the catalog refuses leaves no part behind.
    if (keepGoing) db->BeginWriteGroup();
    bool ok = header.Fill(pattern, record, error);
    const std::size_t hash = ok ? std::hash<std::wstring>()(Folded(pattern.GetUserNameW().str())) : 0;
    std::string refusal;  // the database's reason, when it refused the row
    g_lastReport.clear();
    if (ok && !catalog.InsertPattern(&pattern, startedEmpty && !counts.names.Contains(hash))) {
      Error(header.Where(record.line) + "the catalog refused the row");
      refusal = g_lastReport;
      ok = false;
    }
    if (keepGoing) db->EndWriteGroup(ok);
    // The server undid every row with the transaction; the rows after would be refused one by one.
    if (db->IsTransactionLost()) {
      Error(kConnectionLost);
      return kError;
    }
    if (ok) {
      ++counts.rows;
      counts.names.Insert(hash);
    } else {
      ++counts.failed;
      if (!keepGoing) {
        Error("nothing was imported (use --keep-going to import the rows that fit)");
        return kError;
      }
      // A reason that is the database's, not the row's (no right to write, a server gone), would come again for
      // every row: given twice in a row before any row was kept, it ends the import.
      if (counts.rows == 0 && !refusal.empty() && refusal == previousRefusal) {
        Error("the catalog refuses every row for the same reason; nothing was imported");
        return kError;
      }
      previousRefusal = refusal;
    }
    progress.Step(reader.BytesRead());
  }
  progress.Done();
  if (!error.empty()) {
    Error(error + "; nothing was imported");
    return kError;
  }
  if (g_interrupted) {
    Error("interrupted: nothing was imported");
    return kInterrupted;
  }
  return kOk;
}

}  // namespace

int Import(const std::string& file, const std::string& family, const std::string& csvPath, bool keepGoing) {
  CsvReader reader;
  CsvRecord headerRecord;
  std::string error;
  if (!reader.Open(csvPath, error) || !reader.Next(headerRecord, error)) {
    Error(error.empty() ? csvPath + " is empty: it needs a header row of column names" : error);
    return kError;
  }
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (!HasFamily(*catalog, family)) return kNotFound;
  CVdDatabase* db = session.Database(catalog);
  const std::vector<Column> columns = FamilyColumns(db, family);  // the header points into it
  if (g_databaseFailed) return kError;
  ImportHeader header;
  if (!header.Match(headerRecord, columns, family, csvPath)) return kError;

  if (!catalog->CanWrite()) {
    // Every row would fail the same way.
    Error(file + " is read-only; nothing was imported");
    return kError;
  }
  catalog->SetHasUnits(false);  // rows hold values as the catalog stores them
  InterruptGuard interrupt;
  WriteScope scope(db);
  ImportCounts counts;
  try {
    if (const int status = ImportRows(reader, header, *catalog, db, family, keepGoing, counts); status != kOk)
      return status;
  } catch (CDBException* e) {
    if (!db->IsTransactionLost()) throw;
    e->Delete();
    Error(kConnectionLost);
    return kError;
  }
  try {
    scope.Keep();
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    reason.TrimRight();
    Error("nothing was imported: " + Utf8(reason));
    return kError;
  }
  const std::size_t patterns = counts.names.Size();
  std::printf("imported %zu rows into %s", counts.rows, Visible(family).c_str());
  if (patterns != counts.rows) std::printf(" (%zu patterns: a name given again overwrote the row before)", patterns);
  if (counts.failed) std::printf(", %zu rows refused", counts.failed);
  std::printf("\n");
  return counts.failed ? kNotFound : kOk;
}

// ---------------------------------------------------------------- convert

namespace {

// A cell as convert writes it: a date with a fraction of a second (Access's extended dates keep 100 ns) as the
// text the database reads dates from, which keeps every digit; anything else as the platform's value.
COleVariant ExactValue(const CDBVariant& cell) {
  if (cell.m_dwType != DBVT_DATE || !cell.m_pdate || cell.m_pdate->fraction == 0)
    return CVdRecordset::getOLEVariant(cell);
  const TIMESTAMP_STRUCT& t = *cell.m_pdate;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%09u", static_cast<unsigned>(t.fraction));
  std::string fraction(digits);
  fraction.erase(fraction.find_last_not_of('0') + 1);
  CString text;
  text.Format(L"%04d-%02u-%02u %02u:%02u:%02u.%S", t.year, t.month, t.day, t.hour, t.minute, t.second,
              fraction.c_str());
  return COleVariant(text, VT_BSTR);
}

// Copies one table of `source` into `out`: the same columns with the same declared types, a "Name" column
// indexed for lookups, then every row. False after a message; a database failure is thrown.
bool CopyTable(CVdDatabase& source, CVdDatabase& out, const CString& name, std::size_t& rows) {
  CString bracketed;
  if (!Bracketed(name.str(), bracketed)) return false;
  CVdRecordset from(&source);
  from.Open(0, L"SELECT * FROM " + bracketed, 0);
  CString definition;
  bool hasName = false;
  const short columns = from.GetODBCFieldCount();
  for (short c = 0; c < columns; ++c) {
    CODBCFieldInfoEx info;
    from.GetFieldInfoEx(c, info, 0);
    CString column;
    if (!Bracketed(info.m_strName.str(), column)) return false;
    const CString type = info.m_strTypeName.IsEmpty() ? CString(L"TEXT") : info.m_strTypeName;
    if (type.Find(L')') >= 0 && type.Find(L'(') < 0) {
      Error("column " + Utf8(info.m_strName) + " has a type that cannot be copied: " + Shown(Utf8(type)));
      return false;
    }
    // Text columns compare ignoring case in the copy's own schema too (its indexes, other programs).
    const bool text = info.m_strTypeName.IsEmpty() || KindOf(info.m_nSQLType) == Kind::kText;
    definition += CString(c ? L", " : L"") + column + L" " + type + (text ? L" COLLATE NOCASE" : L"");
    hasName = hasName || info.m_strName.CompareNoCase(L"Name") == 0;
  }
  out.ExecuteSQL(L"CREATE TABLE " + bracketed + L" (" + definition + L")");
  CString index;
  if (hasName && Bracketed(L"ix_" + name.str() + L"_Name", index))
    out.ExecuteSQL(L"CREATE INDEX " + index + L" ON " + bracketed + L" ([Name] COLLATE NOCASE)");
  CVdRecordset to(&out);
  to.Open(0, L"SELECT * FROM " + bracketed, 0);
  Progress progress(Utf8(name).c_str(), static_cast<std::size_t>(from.GetRecordCount()));
  std::size_t copied = 0;
  CDBVariant cell;
  for (; !from.IsEOF(); from.MoveNext()) {
    to.AddNew();
    for (short c = 0; c < columns; ++c) {
      from.GetFieldValue(c, cell);
      to.SetFieldValue(c, ExactValue(cell));
    }
    to.Update();
    progress.Step(++copied);
  }
  rows += copied;
  return true;
}

}  // namespace

namespace {

// Copies every table of `source` but the engine's own into `out`, in one transaction; false after a message (the
// copy undone), a database failure thrown after undoing it.
bool CopyCatalog(CVdDatabase& source, CVdDatabase& out, std::size_t& tables, std::size_t& rows) {
  WriteScope scope(&out);
  const int count = source.GetTableDefCount();
  // A table the target could not hold, or would hold with its names cut, is refused before any table is copied.
  for (unsigned int t = 0; t < static_cast<unsigned int>(count); ++t) {
    CVdODBCTableDefInfo table;
    source.GetTableDefInfo(t, table);
    if (table.m_lAttributes & VD_TABLEDEF_SYSTEM) continue;
    CString bracketed;
    if (!Bracketed(table.m_strName.str(), bracketed)) return false;
    CVdRecordset shape(&source);
    shape.Open(0, L"SELECT * FROM " + bracketed + L" WHERE 0", 0);
    std::vector<CString> names;
    for (short c = 0, n = shape.GetODBCFieldCount(); c < n; ++c) {
      CODBCFieldInfo info;
      shape.GetODBCFieldInfo(c, info);
      names.push_back(info.m_strName);
    }
    CString why;
    if (!VdCheckTableShape(out, table.m_strName, names, why)) {
      why.TrimRight(L'.');
      Error(Utf8(why) + "; nothing was converted");
      return false;
    }
  }
  for (unsigned int t = 0; t < static_cast<unsigned int>(count); ++t) {
    CVdODBCTableDefInfo table;
    source.GetTableDefInfo(t, table);
    if (table.m_lAttributes & VD_TABLEDEF_SYSTEM) continue;
    if (!CopyTable(source, out, table.m_strName, rows)) return false;
    ++tables;
  }
  scope.Keep();
  return true;
}

// A new catalog on a server, copied in one transaction that makes its schema too: a copy that fails, is
// stopped, or loses its server leaves no schema behind to block the next one.
bool ConvertToServer(CVdDatabase& source, const std::string& address, std::size_t& tables, std::size_t& rows) {
  CVdDatabase out;
  out.SetQueryTimeout(g_timeLimit);
  out.CreateAndOpen(Wide(address));  // refused when the catalog exists
  return CopyCatalog(source, out, tables, rows);
}

// A new file, made under a temporary name in the target's folder and given its name only when complete, so a
// failed or killed convert leaves no file that would block the next one.
bool ConvertToFile(CVdDatabase& source, const std::string& outPath, std::size_t& tables, std::size_t& rows) {
  const std::size_t slash = outPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : outPath.substr(0, slash == 0 ? 1 : slash);
  std::string temporary = folder + "/.vdcatalog-convert-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    Error("cannot write " + outPath + ": " + std::strerror(errno));
    return false;
  }
  close(fd);
  unlink(temporary.c_str());  // CreateDatabase never writes over a file
  SignalCleanup signals("nothing was converted; the unfinished copy was removed");
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) signals.Add(temporary + suffix);
  struct Cleanup {
    const std::string& path;
    ~Cleanup() {
      for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    }
  } cleanup{temporary};
  const CString target = Wide(temporary);
  {
    CVdDatabase out;
    out.SetQueryTimeout(g_timeLimit);
    CVdDatabase::CreateDatabase(target);
    out.Open(target, 0, 0);
    if (!CopyCatalog(source, out, tables, rows)) return false;
    out.Close();
  }
  std::string error;
  if (!signals.Settle([&] { return LinkNew(temporary, outPath, error); })) {
    Error(error);
    return false;
  }
  return true;
}

}  // namespace

int Link(const std::string& file, const std::string& address) {
  if (!IsAddress(address)) {
    Error("\"" + address +
          "\" is not a server address: write postgresql://[user@]host[:port]/database?catalog=NAME or "
          "\"host=... dbname=... catalog=NAME\"");
    return kError;
  }
  const std::wstring wide = Wide(address).str();
  try {
    vdpattern::db::ParseServerAddress(wide, false);
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    Error(Utf8(reason.TrimRight()));
    return kError;
  }
  try {
    vdpattern::db::ParseServerAddress(wide, true);  // what a link may hold: no password, only naming keys
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    Error(Utf8(reason.TrimRight()) + "; no link was written");
    return kError;
  }
  // Nobody is pointed at a catalog that does not open.
  Session session;
  CVdPatternCatalog* catalog = session.Open(address);
  if (!catalog) {
    Error("no link was written");
    return kNotFound;
  }
  std::list<std::wstring> families;
  catalog->GetFamilies(families);
  try {
    vdpattern::db::WriteLinkFile(Wide(file), wide);
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    Error(Utf8(reason.TrimRight()));
    return kError;
  }
  std::printf("linked %s to catalog %s (%zu families)\n", Visible(file).c_str(),
              Visible(Utf8(catalog->GetName())).c_str(), families.size());
  return Finish(kOk);
}

int Convert(const std::string& in, const std::string& outPath) {
  const bool toServer = IsAddress(outPath);
  if (toServer ? ServerCatalogExists(outPath) : !IsNewPath(outPath)) {
    Error(outPath + (toServer            ? " already exists; convert never writes over a catalog"
                     : OnServer(outPath) ? " is a catalog link; convert to the address it holds, a new catalog"
                     : SpecialKind(outPath).empty()
                         ? " already exists; convert never writes over a file"
                         : " already exists as " + SpecialKind(outPath) + "; convert writes a new file"));
    return kNotFound;
  }
  if (!IsCatalogFile(in)) return kError;
  CVdDatabase source;
  source.SetQueryTimeout(g_timeLimit);
  std::size_t tables = 0, rows = 0;
  try {
    try {
      source.Open(Wide(Located(in)), 0, 1);
    } catch (CDBException* e) {
      const std::string why = IsAddress(in) ? std::string() : UnreadableWhy(Located(in));
      if (why.empty()) throw;
      e->Delete();
      Error(in + " cannot be read: " + why + "; nothing was converted");
      return kError;
    }
    if (!(toServer ? ConvertToServer(source, outPath, tables, rows) : ConvertToFile(source, outPath, tables, rows)))
      return kError;
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    reason.TrimRight();
    Error(Utf8(reason) + "; nothing was converted");
    return kError;
  }
  std::printf("converted %s: %zu tables, %zu rows into %s\n", Masked(in).c_str(), tables, rows,
              Masked(outPath).c_str());
  return kOk;
}

}  // namespace vdcatalog
