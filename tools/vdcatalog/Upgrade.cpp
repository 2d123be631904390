// vdcatalog upgrade: gives a catalog made by an earlier version what lookups by name need today, an index on
// each family's Name that ignores case. Without it the engine reads the whole family for every lookup, and an
// import of many rows takes time that grows with the square of their number.
//
// Only indexes are added, all in one transaction: the rows, the columns and their declared collations stay as
// they are (changing a column's collation would mean copying its table), and comparisons ignore case anyway.

#include <filesystem>
#include <list>
#include <vdpattern/vdpattern.h>

#include "Commands.h"
#include "Output.h"

namespace vdcatalog {

namespace {

// The family's column called Name as the table spells it; empty when it has none.
std::wstring NameColumn(CVdDatabase& db, const std::wstring& family) {
  CVdRecordset rs(&db);
  rs.Open(0, L"SELECT name FROM pragma_table_info(" + VdQuoteText(family) + L") WHERE name = 'Name'", 0);
  if (rs.IsEOF()) return std::wstring();
  CDBVariant cell;
  rs.GetFieldValue(short(0), cell);
  return cell.m_dwType == DBVT_WSTRING && cell.m_pstring ? cell.m_pstring->str() : std::wstring();
}

// Whether an index of the family serves lookups of `column` ignoring case: a full (not partial) index whose
// first column it is, with the NOCASE collation.
bool HasNameIndex(CVdDatabase& db, const std::wstring& family, const std::wstring& column) {
  CVdRecordset rs(&db);
  rs.Open(0,
          L"SELECT 1 FROM pragma_index_list(" + VdQuoteText(family) +
              L") AS l, pragma_index_xinfo(l.name) AS x WHERE l.partial = 0 AND x.seqno = 0 AND x.name = " +
              VdQuoteText(column) + L" AND x.coll = 'NOCASE'",
          0);
  return !rs.IsEOF();
}

// A virtual table keeps its rows elsewhere and cannot be indexed.
bool IsVirtual(CVdDatabase& db, const std::wstring& family) {
  CVdRecordset rs(&db);
  rs.Open(0,
          L"SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = " + VdQuoteText(family) +
              L" AND sql LIKE 'CREATE VIRTUAL%'",
          0);
  return !rs.IsEOF();
}

bool ObjectExists(CVdDatabase& db, const std::wstring& name) {
  CVdRecordset rs(&db);
  rs.Open(0, L"SELECT 1 FROM sqlite_master WHERE name = " + VdQuoteText(name), 0);
  return !rs.IsEOF();
}

// A name for the new index that no table or index of the file has (names of objects ignore case).
std::wstring FreeIndexName(CVdDatabase& db, const std::wstring& family) {
  const std::wstring base = L"ix_" + family + L"_Name";
  if (!ObjectExists(db, base)) return base;
  for (int k = 2;; ++k) {
    const std::wstring name = base + L"_nocase" + (k == 2 ? L"" : L"_" + std::to_wstring(k));
    if (!ObjectExists(db, name)) return name;
  }
}

}  // namespace

int Upgrade(const std::string& file) {
  if (IsCatalogOnServer(file)) {
    Error(file +
          " is a catalog on a server: upgrade adds what catalog files of earlier versions lack, and a "
          "server catalog compares names ignoring case by its columns' own collation");
    return kError;
  }
  if (RefuseSpecialFile(file)) return kError;
  const std::string path = std::filesystem::absolute(file).lexically_normal().string();
  auto* db = new CVdDatabase();
  db->SetQueryTimeout(TimeLimit());
  try {
    db->Open(CString(path.c_str()), 0, 0);
  } catch (CDBException* e) {
    Error(Utf8(e->m_strError));
    e->Delete();
    delete db;
    return kError;
  }
  CVdPatternCatalog catalog(db, nullptr, false);  // takes the connection over
  if (!catalog.IsOpened()) {
    Error(file + " is not a catalog (it has no \"Definition\" and \"FamilyDescription\" tables)");
    return kError;
  }
  if (!db->CanUpdate()) {
    Error(file + " is read-only: upgrade needs to write it, and nothing was changed");
    return kError;
  }
  std::list<std::wstring> families;
  if (!catalog.GetFamilies(families)) return kError;

  std::vector<std::string> added;
  try {
    db->BeginTrans();
    for (const std::wstring& family : families) {
      if (family.find(L']') != std::wstring::npos) {
        Error("family \"" + Utf8(family) + "\" is left as it is: its name holds ']'");
        continue;
      }
      if (IsVirtual(*db, family)) continue;
      const std::wstring column = NameColumn(*db, family);
      if (column.empty() || column.find(L']') != std::wstring::npos || HasNameIndex(*db, family, column)) continue;
      const std::wstring index = FreeIndexName(*db, family);
      db->ExecuteSQL(
          (L"CREATE INDEX [" + index + L"] ON [" + family + L"] ([" + column + L"] COLLATE NOCASE)").c_str());
      added.push_back(Utf8(family));
    }
    if (added.empty()) {
      db->Rollback();
      std::printf("%s is up to date: every family has its name index; nothing was changed\n", file.c_str());
      return kOk;
    }
    db->CommitTrans();
  } catch (CDBException* e) {
    Error(Utf8(e->m_strError));
    e->Delete();
    try {
      if (db->IsInTransaction()) db->Rollback();
    } catch (CDBException* again) {
      again->Delete();
    }
    return kError;
  }
  std::printf("upgraded %s: name index added to %zu famil%s:", file.c_str(), added.size(),
              added.size() == 1 ? "y" : "ies");
  for (const std::string& family : added) std::printf(" %s", Visible(family).c_str());
  std::printf("\n");
  return kOk;
}

}  // namespace vdcatalog
