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

// Seconds any one statement of the tool may run; set from the command line.
unsigned long g_timeLimit = kDefaultTimeLimit;

namespace {

// The reports of the catalog being opened, whose base class reports before the tool's part of it is made.
thread_local Reports* t_opening = nullptr;

// A report of a catalog being opened goes to its session; one of a catalog the tool did not make itself
// (upgrade's) is said, and no more.
void OnReport(const wchar_t* text, const wchar_t*) {
  if (t_opening) {
    t_opening->Add(text);
    return;
  }
  CString message(text);
  message.TrimRight();
  Error(Utf8(message));
}

// Holds the reports of the catalog being opened back for its lifetime.
class Opening {
 public:
  explicit Opening(Reports& reports) : m_reports(reports) {
    m_reports.Hold();
    t_opening = &reports;
  }
  ~Opening() {
    t_opening = nullptr;
    m_reports.Release();
  }
  Opening(const Opening&) = delete;
  Opening& operator=(const Opening&) = delete;

 private:
  Reports& m_reports;
};

}  // namespace

void Reports::Add(CString text) {
  m_failed = true;
  text.TrimRight();
  m_last = Utf8(text);
  if (m_holding)
    m_held = m_last;
  else
    Error(m_last);
}

void ToolFactory::OnDBException(CDBException* e) {
  m_reports.Add(L"CVdPatternFactory::OnDBException : " + (e ? e->GetReportText() : CString()));
}

void ToolCatalog::OnDBException(CDBException* e) { m_reports.Add(GetDBExceptionString(e)); }

CString Wide(const std::string& utf8) { return CString(utf8.c_str()); }

std::wstring Folded(std::wstring text) {
  VdFoldLower(text);
  return text;
}

// ---------------------------------------------------------------- opening catalogs

// Whether `target` is a server address ("postgresql://...", "host=... catalog=...") rather than a path.
bool IsAddress(const std::string& target) { return VdIsServerAddress(Wide(target)); }

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
  return length > 0 && VdIsLinkFileHeader(bytes, static_cast<std::size_t>(length));
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

namespace {

// What to add to a server address that names no catalog, and the catalogs its database holds; empty for
// anything else.
std::string NoCatalogHint(const std::string& file) {
  if (!IsAddress(file)) return std::string();
  try {
    if (!VdServerCatalogName(Wide(file)).IsEmpty()) return std::string();
  } catch (CDBException* e) {
    e->Delete();
    return std::string();
  }
  std::string hint =
      "; the address names no catalog, so the database's default schema was read: add ?catalog=NAME "
      "(postgresql://host/database?catalog=NAME) or catalog=NAME";
  const std::vector<CString> found = VdListServerCatalogs(Wide(file), 10);
  for (std::size_t k = 0; k < found.size(); ++k) hint += (k ? ", " : " (catalogs there: ") + Visible(Utf8(found[k]));
  return found.empty() ? hint : hint + ")";
}

}  // namespace

// The catalog at `file`, attached to the manager when `attach` says so; null (the reason already printed)
// when it cannot be opened.
CVdPatternCatalog* Session::Open(const std::string& file, bool attach) {
  if (!IsCatalogFile(file)) return nullptr;
  const std::string path = Located(file);
  auto connection = std::make_unique<CVdDatabase>();
  connection->SetQueryTimeout(g_timeLimit);
  try {
    connection->Open(Wide(path), 0, 0);
  } catch (CDBException* e) {
    const std::string why = IsAddress(file) ? std::string() : UnreadableWhy(path);
    Error(why.empty() ? Utf8(e->m_strError) : file + " cannot be read: " + why);
    e->Delete();
    return nullptr;
  }
  // The catalog takes the connection over; it stays reachable through m_databases while the catalog lives.
  CVdDatabase* db = connection.get();
  std::unique_ptr<CVdPatternCatalog> catalog;
  {
    Opening opening(m_reports);
    catalog = std::make_unique<ToolCatalog>(connection.release(), m_factory, m_reports);
    if (catalog->IsOpened()) catalog->FillUnitsPool();
  }
  if (!catalog->IsOpened()) {
    if (const std::string why = IsAddress(file) ? std::string() : UnreadableWhy(path); !why.empty()) {
      Error(file + " cannot be read: " + why);
      return nullptr;
    }
    Error(file + (OnServer(file) ? " holds no catalog" : " is not a catalog") +
          ": it has no readable \"Definition\" and \"FamilyDescription\" tables" + NoCatalogHint(file));
    return nullptr;
  }
  if (!m_reports.Held().empty()) Error(file + ": the units of its families cannot be read: " + m_reports.Held());
  CVdPatternCatalog* raw = catalog.get();
  if (attach) {
    if (!m_manager->AttachCatalog(raw)) {
      // A link is named after the catalog it reaches, so a second way to one catalog is told as such.
      const CString name = raw->GetName();
      const CVdPatternCatalog* other = m_manager->GetCatalog(name);
      Error(file + ": its catalog is named \"" + Visible(Utf8(name)) + "\", as that of " +
            (other ? Visible(Utf8(other->GetPath())) : std::string("another catalog")) +
            ", already open; a name is attached once (a link file is named after the server catalog it reaches)");
      return nullptr;
    }
    catalog.release();  // the manager owns it now
  } else {
    m_catalogs.push_back(std::move(catalog));
  }
  m_databases[raw] = db;
  return raw;
}

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
std::vector<Column> FamilyColumns(Session& session, CVdPatternCatalog* catalog, const std::string& family) {
  CVdDatabase* db = session.Database(catalog);
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
      Error("cannot read family " + Visible(family) + ": " + EngineReason(Utf8(e->m_strError)));
      session.Reported().SetFailed();  // said once, here: the caller stops without a second word
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

std::map<std::wstring, std::vector<Column>> FamiliesColumns(Session& session, CVdPatternCatalog* catalog,
                                                            const std::list<std::wstring>& families) {
  std::map<std::wstring, std::vector<Column>> columns;
  std::map<std::wstring, std::vector<CODBCFieldInfo>> described;
  try {
    session.Database(catalog)->GetColumnsOfTables(std::vector<CString>(families.begin(), families.end()), described);
  } catch (CDBException* e) {
    e->Delete();  // each family is read alone, which says why it cannot be
    described.clear();
  }
  for (const std::wstring& family : families) {
    const auto found = described.find(family);
    std::vector<Column>& out = columns[family];
    if (found == described.end()) {
      out = FamilyColumns(session, catalog, VdToUtf8(family));
      continue;
    }
    for (const CODBCFieldInfo& field : found->second)
      out.push_back(Column{field.m_strName.str(), field.m_nSQLType, KindOf(field.m_nSQLType)});
  }
  return columns;
}

// The number of rows of a family, counted by the engine, or only up to `limit` when one is given; -1 when the
// table cannot be read.
long CountRows(CVdDatabase* db, const std::wstring& family, long limit) {
  CString table;
  if (!VdBracketName(family, table)) return -1;
  CVdRecordset rs(db);
  try {
    CString rows = table;
    // The subquery is named: a server refuses one without an alias.
    if (limit > 0) rows.Format(L"(SELECT 1 FROM %s LIMIT %ld) AS [first_rows]", table, limit);
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
  Error("no family \"" + Visible(family) + "\" in " + Utf8(catalog.GetPath()) + FamilyHint({&catalog}, family));
  return false;
}

int OpenFamily(Session& session, const std::string& file, const std::string& family, CVdPatternCatalog*& catalog,
               std::vector<Column>& columns) {
  catalog = session.Open(file);
  if (!catalog) return kError;
  if (!HasFamily(*catalog, family)) return kNotFound;
  columns = FamilyColumns(session, catalog, family);
  return session.Failed() ? kError : kOk;
}

bool IsCatalogOnServer(const std::string& target) { return OnServer(target); }

bool RefuseSpecialFile(const std::string& target) { return !IsCatalogFile(target); }

void SetTimeLimit(unsigned long seconds) { g_timeLimit = seconds; }
unsigned long TimeLimit() { return g_timeLimit; }

int Run(const std::function<int()>& command) {
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

}  // namespace vdcatalog
