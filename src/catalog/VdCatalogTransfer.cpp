#include <vdpattern/catalog/VdCatalogTransfer.h>

#include <cstdio>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include "catalog/History.h"
#include "catalog/NameTables.h"
#include "catalog/UnitComments.h"

namespace {

// A name for a message: at most 60 characters, "..." when cut, control characters shown as '?'.
CString Shown(const CString& text) {
  const std::string bytes = text.ToUtf8();
  std::string out;
  std::size_t characters = 0;
  for (const char b : bytes) {
    const auto c = static_cast<unsigned char>(b);
    if ((c & 0xC0) != 0x80 && characters++ == 60) return CString((out + "...").c_str());
    out += c < 0x20 ? '?' : b;
  }
  return CString(out.c_str());
}

// `name` between brackets, or false with the reason in `error`.
bool Bracketed(const CString& name, CString& out, CString& error) {
  if (VdBracketName(name, out)) return true;
  const std::wstring& text = name.str();
  error = L"the name \"" + Shown(name) + L"\" cannot be used: " +
          (text.empty()                            ? L"it is empty"
           : text.find(L']') != std::wstring::npos ? L"it holds ']'"
                                                   : L"it holds a NUL");
  return false;
}

bool IsTextType(short sqlType) {
  switch (sqlType) {
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_BIT:
    case SQL_TYPE_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_DATETIME:
    case SQL_LONGVARBINARY:
    case SQL_VARBINARY:
    case SQL_BINARY:
      return false;
    default:
      return true;
  }
}

// A cell as the copy writes it: a date with a fraction of a second (Access's extended dates keep 100 ns) as the
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

// The definition of the copy of `name`: its columns with their declared types, and the bracketed "Name" column
// as the table spells it (empty: none), which a server compares exactly; false with the reason.
bool TableDefinition(CVdRecordset& from, CString& definition, CString& nameColumn, CString& error) {
  definition.Empty();
  nameColumn.Empty();
  for (short c = 0, columns = from.GetODBCFieldCount(); c < columns; ++c) {
    CODBCFieldInfoEx info;
    from.GetFieldInfoEx(c, info, 0);
    CString column;
    if (!Bracketed(info.m_strName, column, error)) return false;
    const CString type = info.m_strTypeName.IsEmpty() ? CString(L"TEXT") : info.m_strTypeName;
    if (type.Find(L')') >= 0 && type.Find(L'(') < 0) {
      error = L"column " + info.m_strName + L" has a type that cannot be copied: " + Shown(type);
      return false;
    }
    // Text columns compare ignoring case in the copy's own schema too (its indexes, other programs).
    const bool text = info.m_strTypeName.IsEmpty() || IsTextType(info.m_nSQLType);
    definition += CString(c ? L", " : L"") + column + L" " + type + (text ? L" COLLATE NOCASE" : L"");
    if (nameColumn.IsEmpty() && info.m_strName.CompareNoCase(L"Name") == 0) nameColumn = column;
  }
  return true;
}

// Copies one table: made with its name index when it has a Name column, then every row.
bool CopyTable(CVdDatabase& source, CVdDatabase& out, const CString& name, CVdCatalogTransfer::Counts& counts,
               CString& error, const CVdCatalogTransfer::Progress& progress) {
  CString bracketed;
  if (!Bracketed(name, bracketed, error)) return false;
  CVdRecordset from(&source);
  from.Open(0, L"SELECT * FROM " + bracketed, 0);
  CString definition;
  CString nameColumn;
  if (!TableDefinition(from, definition, nameColumn, error)) return false;
  // The library's tables of names are made as the library makes them, with their own indexes; their rows are
  // then placed by column name.
  const bool made = vdpattern::catalog::MakeNameTable(out, name);
  if (!made) {
    out.ExecuteSQL(L"CREATE TABLE " + bracketed + L" (" + definition + L")");
    CString index;
    if (!nameColumn.IsEmpty() && VdBracketName(CVdCatalogSchema::NameIndexName(name), index))
      out.ExecuteSQL(L"CREATE INDEX " + index + L" ON " + bracketed + L" (" + nameColumn + L" COLLATE NOCASE)");
  }
  std::vector<CString> names;
  for (short c = 0, n = from.GetODBCFieldCount(); made && c < n; ++c) {
    CODBCFieldInfo info;
    from.GetODBCFieldInfo(c, info);
    names.push_back(info.m_strName);
  }
  CVdRecordset to(&out);
  to.Open(0, L"SELECT * FROM " + bracketed, 0);
  const short columns = from.GetODBCFieldCount();
  const auto total = static_cast<std::size_t>(from.GetRecordCount());
  if (progress) progress(name, 0, total);
  std::size_t copied = 0;
  CDBVariant cell;
  // Rows are queued and written a few thousand at a time in multi-row statements: on a server each row on its
  // own was a round trip. The caller's write group undoes every batch when one fails.
  constexpr std::size_t kRowsPerWrite = 5000;
  const auto flush = [&] {
    const std::size_t queued = to.GetQueuedCount();
    to.WriteQueued();
    copied += queued;
    if (progress && queued) progress(name, copied, total);
  };
  for (; !from.IsEOF(); from.MoveNext()) {
    to.AddNew();
    for (short c = 0; c < columns; ++c) {
      from.GetFieldValue(c, cell);
      if (made)
        to.SetFieldValue(names[static_cast<std::size_t>(c)].GetString(), ExactValue(cell));
      else
        to.SetFieldValue(c, ExactValue(cell));
    }
    to.QueueNew();
    if (to.GetQueuedCount() >= kRowsPerWrite) flush();
  }
  flush();
  counts.rows += copied;
  ++counts.tables;
  return true;
}

// Undoes the group unless it was kept.
class Group {
 public:
  explicit Group(CVdDatabase& db) : m_db(db) { db.BeginWriteGroup(); }
  ~Group() {
    if (!m_open) return;
    try {
      m_db.EndWriteGroup(FALSE);
    } catch (CDBException* e) {
      e->Delete();
    }
  }
  void Keep() {
    m_open = false;
    m_db.EndWriteGroup(TRUE);
  }
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

 private:
  CVdDatabase& m_db;
  bool m_open = true;
};

}  // namespace

CVdCatalogTransfer::CopyResult CVdCatalogTransfer::CopyCatalog(CVdDatabase& source, CVdDatabase& target, Counts& counts,
                                                               CString& error, const Progress& progress) {
  counts = Counts();
  error.Empty();
  Group group(target);
  std::vector<CString> tables;
  for (unsigned int t = 0, n = static_cast<unsigned int>(source.GetTableDefCount()); t < n; ++t) {
    CVdODBCTableDefInfo table;
    source.GetTableDefInfo(t, table);
    // The change records and the history belong to the catalog they were written in: a copy begins its own.
    if (!(table.m_lAttributes & VD_TABLEDEF_SYSTEM) && table.m_strName.CompareNoCase(L"vd_change") != 0 &&
        table.m_strName.CompareNoCase(L"vd_history") != 0)
      tables.push_back(table.m_strName);
  }
  // A table the target could not hold, or would hold with its names cut, is refused before any table is copied.
  for (const CString& table : tables) {
    CString bracketed;
    if (!Bracketed(table, bracketed, error)) return eRefusedName;
    CVdRecordset shape(&source);
    shape.Open(0, L"SELECT * FROM " + bracketed + L" WHERE 0", 0);
    std::vector<CString> names;
    for (short c = 0, n = shape.GetODBCFieldCount(); c < n; ++c) {
      CODBCFieldInfo info;
      shape.GetODBCFieldInfo(c, info);
      names.push_back(info.m_strName);
    }
    if (!VdCheckTableShape(target, table, names, error)) {
      error.TrimRight(L'.');
      return eTooLarge;
    }
  }
  for (const CString& table : tables) {
    if (!CopyTable(source, target, table, counts, error, progress)) {
      counts = Counts();
      return eRefusedName;
    }
  }
  // A server copy's family columns carry their units as comments, as the library's own families do.
  std::vector<VdColumnComment> comments;
  std::vector<std::wstring> commented;
  if (vdpattern::catalog::MissingUnitComments(target, comments, commented) && !comments.empty())
    target.ExecuteSQL(nullptr, comments);
  vdpattern::catalog::RecordCopy(target, static_cast<long long>(counts.tables), static_cast<long long>(counts.rows));
  group.Keep();
  return eCopied;
}
