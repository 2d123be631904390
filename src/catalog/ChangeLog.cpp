#include "catalog/ChangeLog.h"
#include "catalog/History.h"

#include <algorithm>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/VariantConv.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

namespace vdpattern::catalog {

namespace {

std::wstring TextOf(const CDBVariant& cell) {
  if (cell.m_dwType == DBVT_STRING || cell.m_dwType == DBVT_ASTRING || cell.m_dwType == DBVT_WSTRING)
    return cell.m_pstring->str();
  return std::wstring();
}

long long NumberOf(const CDBVariant& cell) {
  const COleVariant number = CVdRecordset::getOLEVariant(cell);
  return static_cast<long long>(VariantToDouble(&number));
}

// Opens `statement` on `rs`; false when the change table is missing.
bool OpenChanges(CVdRecordset& rs, const CString& statement) {
  try {
    rs.Open(0, statement, 0);
    return true;
  } catch (CDBException* e) {
    if (e->GetCategory() != CDBException::eNoSuchObject) throw;  // only a catalog never written lacks the table
    e->Delete();
    return false;
  }
}

}  // namespace

bool EnsureChangeTable(CVdDatabase& db, bool* known) {
  if (*known) return false;
  CVdODBCTableDefInfo info;
  if (db.GetTableDefInfo(kChangeTable, info)) {
    *known = true;
    return false;
  }
  // Left unknown: the group that makes it may yet be undone, and the next write then looks again. A server makes
  // the index with the table, under the same name: one statement, one round trip fewer.
  if (!ServerSchema(db).empty()) {
    db.ExecuteSQL(
        L"CREATE TABLE [vd_change] ([seq] INTEGER NOT NULL, [family] TEXT, [name] TEXT, [kind] TEXT, CONSTRAINT "
        L"[vd_change_seq] UNIQUE ([seq]))");
    return true;
  }
  db.ExecuteSQL(L"CREATE TABLE [vd_change] ([seq] INTEGER NOT NULL, [family] TEXT, [name] TEXT, [kind] TEXT)");
  db.ExecuteSQL(L"CREATE UNIQUE INDEX [vd_change_seq] ON [vd_change] ([seq])");
  return true;
}

void RecordChange(CVdDatabase& db, const CString& family, const CString& name, const wchar_t* kind, bool ahead) {
  const CString sql =
      L"INSERT INTO [vd_change] ([seq], [family], [name], [kind]) SELECT IIF(IsNull(MAX([seq])), 0, "
      L"MAX([seq])) + 1, " +
      VdQuoteText(family) + L", " + VdQuoteText(name) + L", " + VdQuoteText(kind) + L" FROM [vd_change]";
  Write(db, sql, ahead);
  db.NoteChangeRecorded();
}

void Write(CVdDatabase& db, const wchar_t* sql, bool ahead) {
  if (ahead)
    db.ExecuteSQLAhead(sql);
  else
    db.ExecuteSQL(sql);
}

void RecordChanges(CVdDatabase& db, const CString& family, const std::vector<std::wstring>& names, const wchar_t* kind,
                   bool madeNow) {
  if (names.empty()) return;
  long long last = 0;
  if (!madeNow) ReadLastChange(db, last);       // a table made by this write holds no record yet
  constexpr std::size_t kRowsPerInsert = 5000;  // three bound texts each: within every engine's limit
  const std::wstring tail = L", " + VdQuoteText(family).str() + L", ";
  const std::wstring kindText = L", " + VdQuoteText(kind).str() + L")";
  for (std::size_t first = 0; first < names.size(); first += kRowsPerInsert) {
    std::wstring sql = L"INSERT INTO [vd_change] ([seq], [family], [name], [kind]) VALUES ";
    const std::size_t end = std::min(names.size(), first + kRowsPerInsert);
    for (std::size_t r = first; r < end; ++r)
      sql.append(r == first ? L"(" : L", (")
          .append(std::to_wstring(++last))
          .append(tail)
          .append(VdQuoteText(CString(names[r])).str())
          .append(kindText);
    db.ExecuteSQL(sql.c_str());
  }
  db.NoteChangeRecorded();
}

bool ReadLastChange(CVdDatabase& db, long long& last) {
  CVdRecordset rs(&db);
  if (!OpenChanges(rs, L"SELECT IIF(IsNull(MAX([seq])), 0, MAX([seq])) AS [last] FROM [vd_change]")) return false;
  CDBVariant cell;
  last = rs.IsEOF() ? 0 : (rs.GetFieldValue(short(0), cell), NumberOf(cell));
  rs.Close();
  return true;
}

bool ReadChanges(CVdDatabase& db, long long after, std::vector<CVdPatternCatalog::PatternChange>& rows) {
  CVdRecordset rs(&db);
  CString statement;
  statement.Format(L"SELECT [seq], [family], [name], [kind] FROM [vd_change] WHERE [seq] > %lld ORDER BY [seq]", after);
  if (!OpenChanges(rs, statement)) return false;
  CDBVariant cell;
  for (; !rs.IsEOF(); rs.MoveNext()) {
    CVdPatternCatalog::PatternChange row;
    rs.GetFieldValue(short(0), cell);
    row.sequence = NumberOf(cell);
    rs.GetFieldValue(short(1), cell);
    row.family = TextOf(cell);
    rs.GetFieldValue(short(2), cell);
    row.name = TextOf(cell);
    rs.GetFieldValue(short(3), cell);
    row.kind = TextOf(cell);
    rows.push_back(std::move(row));
  }
  rs.Close();
  return true;
}

}  // namespace vdpattern::catalog
