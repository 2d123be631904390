#include <vdpattern/catalog/VdCatalogSchema.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include "catalog/ChangeLog.h"
#include "toolkit/Environment.h"

namespace {

// Runs `work` in one transaction on a connection to `path`; any database failure rolls back and becomes the
// error text. With `made`, the database is made first (on a server by the same transaction, so a failure
// leaves no schema), and `*made` tells whether that much succeeded.
template <typename Work>
bool InTransaction(const CString& path, CString& error, Work work, bool* made = nullptr) {
  CVdDatabase db;
  try {
    if (made) {
      db.CreateAndOpen(path);
      *made = true;
    } else {
      db.Open(path, 0, 0);
    }
    if (!db.CanUpdate()) {
      error.Format(L"The catalog \"%s\" is read-only.", path);
      return false;
    }
    db.BeginTrans();
    if (!work(db)) {
      db.Rollback();
      return false;
    }
    db.CommitTrans();
    return true;
  } catch (CDBException* e) {
    error = e->m_strError;
    e->Delete();
    try {
      if (db.IsInTransaction()) db.Rollback();
    } catch (CDBException* again) {
      again->Delete();
    }
    return false;
  }
}

}  // namespace

bool CVdCatalogSchema::IsKnownType(const CString& type) { return VdIsKnownColumnType(type); }

bool CVdCatalogSchema::IsLibraryTable(const wchar_t* table) {
  return table && (table[0] == L'v' || table[0] == L'V') && (table[1] == L'd' || table[1] == L'D') && table[2] == L'_';
}

bool CVdCatalogSchema::CreateCatalog(const CString& path, const CString& typeName, const CString& editor, int version,
                                     CString& error) {
  CString versionText;
  versionText.Format(L"%d", version);
  const auto tables = [&](CVdDatabase& db) {
    db.ExecuteSQL(
        L"CREATE TABLE [Definition] ([def_name] TEXT COLLATE NOCASE, [def_version] INTEGER, "
        L"[def_lastUpdate] TEXT COLLATE NOCASE, [def_editorName] TEXT COLLATE NOCASE)");
    db.ExecuteSQL(L"INSERT INTO [Definition] VALUES (" + VdQuoteText(typeName) + L", " + versionText + L", " +
                  VdQuoteText(VdDateStamp()) + L", " + VdQuoteText(editor) + L")");
    db.ExecuteSQL(
        L"CREATE TABLE [FamilyDescription] ([Name] TEXT COLLATE NOCASE, [FamilyCode] TEXT COLLATE NOCASE, "
        L"[Description] TEXT COLLATE NOCASE)");
    db.ExecuteSQL(L"CREATE TABLE [Units] ([Family] TEXT COLLATE NOCASE)");
    return true;
  };
  bool made = false;
  const bool done = InTransaction(path, error, tables, &made);
  if (!done && made) std::remove(path.ToUtf8().c_str());  // no half-made catalog file is left behind
  return done;
}

bool CVdCatalogSchema::AddFamily(const CString& path, const CString& family, const CString& code,
                                 const std::vector<Column>& columns, CString& error) {
  CString table;
  if (!VdBracketName(family, table)) {
    error.Format(L"\"%s\" cannot be a family name.", family);
    return false;
  }
  if (IsLibraryTable(family)) {
    error.Format(L"\"%s\" cannot be a family name: names beginning with \"vd_\" are the library's own tables.", family);
    return false;
  }
  if (code.IsEmpty()) {
    error = L"A family needs a code.";
    return false;
  }
  std::set<std::wstring> seen{L"name"};
  CString definition = L"[Name] TEXT COLLATE NOCASE NOT NULL";
  for (const Column& c : columns) {
    CString column;
    std::wstring folded = c.name.str();
    VdFoldLower(folded);
    if (!VdBracketName(c.name, column) || !seen.insert(folded).second) {
      error.Format(L"\"%s\" cannot be a column of the family (empty, duplicate, or holding ']').", c.name);
      return false;
    }
    if (!IsKnownType(c.type) || c.type.Find(L';') >= 0 || c.type.Find(L'[') >= 0) {
      error.Format(L"Unknown column type \"%s\" for column %s.", c.type, c.name);
      return false;
    }
    // Text columns compare ignoring case in the file itself (its indexes, and any other program reading it), as
    // the library's statements do.
    bool text = false;
    VdIsKnownColumnType(c.type, &text);
    definition += L", " + column + L" " + c.type + (text ? L" COLLATE NOCASE" : L"");
  }
  return InTransaction(path, error, [&](CVdDatabase& db) {
    CVdODBCTableDefInfo info;
    if (db.GetTableDefInfo(family, info)) {
      error.Format(L"The catalog already has a table named \"%s\".", family);
      return false;
    }
    // What the engine could not hold, or would cut, is refused before anything is made: the family table, and
    // "Units" with a column more for each new parameter that has a unit.
    std::vector<CString> familyColumns{L"Name"};
    for (const Column& c : columns) familyColumns.push_back(c.name);
    if (!VdCheckTableShape(db, family, familyColumns, error)) return false;
    {
      CVdRecordset units(&db);
      units.Open(0, L"SELECT * FROM [Units] WHERE 0", 0);
      std::vector<CString> unitNames;
      std::set<std::wstring> folded;
      for (short i = 0, n = units.GetODBCFieldCount(); i < n; ++i) {
        CODBCFieldInfo field;
        units.GetODBCFieldInfo(i, field);
        unitNames.push_back(field.m_strName);
        std::wstring f = field.m_strName.str();
        VdFoldLower(f);
        folded.insert(f);
      }
      for (const Column& c : columns) {
        std::wstring f = c.name.str();
        VdFoldLower(f);
        if (!c.unit.IsEmpty() && folded.insert(f).second) unitNames.push_back(c.name);
      }
      if (!VdCheckTableShape(db, L"Units", unitNames, error)) {
        error += L" The family's units cannot be recorded.";
        return false;
      }
    }
    db.ExecuteSQL(L"CREATE TABLE " + table + L" (" + definition + L")");
    CString index;
    VdBracketName(L"ix_" + family + L"_Name", index);
    db.ExecuteSQL(L"CREATE INDEX " + index + L" ON " + table + L" ([Name] COLLATE NOCASE)");
    db.ExecuteSQL(L"INSERT INTO [FamilyDescription] ([Name], [FamilyCode]) VALUES (" + VdQuoteText(family) + L", " +
                  VdQuoteText(code) + L")");

    // Units: one column per parameter name in "Units", and one row for the family when it has any unit.
    CString names = L"[Family]", values = VdQuoteText(family);
    bool anyUnit = false;
    CVdRecordset units(&db);
    units.Open(0, L"Units", 0);
    std::set<std::wstring> unitColumns;
    for (short i = 0, n = units.GetODBCFieldCount(); i < n; ++i) {
      CODBCFieldInfo field;
      units.GetODBCFieldInfo(i, field);
      std::wstring folded = field.m_strName.str();
      VdFoldLower(folded);
      unitColumns.insert(folded);
    }
    units.Close();
    for (const Column& c : columns) {
      if (c.unit.IsEmpty()) continue;
      CString column;
      VdBracketName(c.name, column);
      std::wstring folded = c.name.str();
      VdFoldLower(folded);
      if (unitColumns.insert(folded).second)
        db.ExecuteSQL(L"ALTER TABLE [Units] ADD COLUMN " + column + L" TEXT COLLATE NOCASE");
      names += L", " + column;
      values += L", " + VdQuoteText(c.unit);
      anyUnit = true;
    }
    if (anyUnit) db.ExecuteSQL(L"INSERT INTO [Units] (" + names + L") VALUES (" + values + L")");
    // Hosts attached to the catalog learn of the new family from its change records.
    bool known = false;
    vdpattern::catalog::EnsureChangeTable(db, &known);
    vdpattern::catalog::RecordChange(db, family, CString(), vdpattern::catalog::kChangeFamily);
    return true;
  });
}
