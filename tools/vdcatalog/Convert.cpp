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
#include "db/postgres/ServerAddress.h"
#include "db/postgres/PgDialect.h"
#include "Output.h"

namespace vdcatalog {

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

// The engine's tables, and the library's own: a copy begins a change history of its own.
bool Skipped(const CVdODBCTableDefInfo& table) {
  return (table.m_lAttributes & VD_TABLEDEF_SYSTEM) || CVdCatalogSchema::IsLibraryTable(table.m_strName);
}

// Copies every table of `source` but the engine's own into `out`, in one transaction; false after a message (the
// copy undone), a database failure thrown after undoing it.
bool CopyCatalog(CVdDatabase& source, CVdDatabase& out, std::size_t& tables, std::size_t& rows) {
  WriteScope scope(&out);
  const int count = source.GetTableDefCount();
  // A table the target could not hold, or would hold with its names cut, is refused before any table is copied.
  for (unsigned int t = 0; t < static_cast<unsigned int>(count); ++t) {
    CVdODBCTableDefInfo table;
    source.GetTableDefInfo(t, table);
    if (Skipped(table)) continue;
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
    if (Skipped(table)) continue;
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
