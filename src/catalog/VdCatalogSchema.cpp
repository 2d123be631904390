#include <vdpattern/catalog/VdCatalogSchema.h>

#include <cstdio>
#include <cwchar>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <set>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include <vdpattern/toolkit/VdServerAddress.h>
#include <vdpattern/toolkit/VariantConv.h>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include "catalog/ChangeLog.h"
#include "catalog/History.h"
#include "catalog/UnitComments.h"
#include "catalog/WriteGroup.h"
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
  const std::wstring base = CVdCatalogSchema::NameIndexName(family).str();
  if (!ObjectExists(db, base)) return base;
  for (int k = 2;; ++k) {
    const std::wstring name = base + L"_nocase" + (k == 2 ? L"" : L"_" + std::to_wstring(k));
    if (!ObjectExists(db, name)) return name;
  }
}

}  // namespace

CString CVdCatalogSchema::NameIndexName(const CString& family) { return L"ix_" + family + L"_Name"; }

CVdCatalogSchema::UpgradeResult CVdCatalogSchema::UpgradeCatalog(const CString& path, unsigned long timeLimit,
                                                                 std::vector<std::wstring>& added,
                                                                 std::vector<std::wstring>& leftAsIs, CString& error,
                                                                 std::vector<std::wstring>* madeExact,
                                                                 std::vector<std::wstring>* trimmed) {
  added.clear();
  leftAsIs.clear();
  if (madeExact) madeExact->clear();
  if (trimmed) trimmed->clear();
  error.Empty();
  const bool server = VdIsServerAddress(path);
  auto connection = std::make_unique<CVdDatabase>();
  connection->SetQueryTimeout(timeLimit);
  try {
    connection->Open(path, 0, 0);
  } catch (CDBException* e) {
    error = e->m_strError;
    e->Delete();
    return eFailed;
  }
  CVdDatabase* db = connection.get();
  CVdPatternCatalog catalog(connection.release(), nullptr, false);  // takes the connection over
  if (!catalog.IsOpened()) return eNotCatalog;
  if (!db->CanUpdate()) return eReadOnly;
  // `work` in one transaction: kept when it changed something, eFailed with nothing changed after a failure.
  const auto inOneTransaction = [&](const auto& work) {
    try {
      db->BeginTrans();
      if (!work()) {
        db->Rollback();
        return eUpToDate;
      }
      db->CommitTrans();
      return eUpgraded;
    } catch (CDBException* e) {
      error = e->m_strError;
      e->Delete();
      added.clear();
      try {
        if (db->IsInTransaction()) db->Rollback();
      } catch (CDBException* again) {
        again->Delete();
      }
      return eFailed;
    }
  };
  if (server) {
    // What an earlier version did not give a server catalog: its units as column comments, text columns that
    // plain SQL's LIKE accepts, a history (made only by a role of the schema's owner: another's would not be
    // believed), and logs without what every recorded change paid for.
    std::vector<std::wstring> exact, lighter;
    const UpgradeResult result = inOneTransaction([&] {
      std::vector<VdColumnComment> missing;
      vdpattern::catalog::MissingUnitComments(*db, missing, added);
      if (!missing.empty()) db->ExecuteSQL(nullptr, missing);
      db->MakeTextColumnsExact(exact, leftAsIs);
      CVdODBCTableDefInfo history;
      bool made = false;
      if (!db->GetTableDefInfo(vdpattern::catalog::kHistoryTable, history)) {
        made = vdpattern::catalog::MayMakeHistory(*db);
        if (made) vdpattern::catalog::MakeHistoryTable(*db);
        (made ? added : leftAsIs).push_back(vdpattern::catalog::kHistoryTable);
      }
      db->TrimLibraryLogs(lighter);
      return !missing.empty() || !exact.empty() || made || !lighter.empty();
    });
    if (madeExact && result == eUpgraded) *madeExact = exact;
    if (trimmed && result == eUpgraded) *trimmed = lighter;
    if (result == eFailed) leftAsIs.clear();
    return result;
  }
  std::list<std::wstring> families;
  if (!catalog.GetFamilies(families)) return eFailed;
  return inOneTransaction([&] {
    for (const std::wstring& family : families) {
      if (family.find(L']') != std::wstring::npos) {
        leftAsIs.push_back(family);
        continue;
      }
      if (IsVirtual(*db, family)) continue;
      const std::wstring column = NameColumn(*db, family);
      if (column.empty() || column.find(L']') != std::wstring::npos || HasNameIndex(*db, family, column)) continue;
      const std::wstring index = FreeIndexName(*db, family);
      db->ExecuteSQL(
          (L"CREATE INDEX [" + index + L"] ON [" + family + L"] ([" + column + L"] COLLATE NOCASE)").c_str());
      added.push_back(family);
    }
    CVdODBCTableDefInfo history;
    if (!db->GetTableDefInfo(vdpattern::catalog::kHistoryTable, history)) {
      vdpattern::catalog::MakeHistoryTable(*db);
      added.push_back(vdpattern::catalog::kHistoryTable);
    }
    return !added.empty();
  });
}

bool CVdCatalogSchema::IsKnownType(const CString& type) { return VdIsKnownColumnType(type); }

bool CVdCatalogSchema::AddHistory(const CString& path, CString& error) {
  return InTransaction(path, error, [&](CVdDatabase& db) {
    CVdODBCTableDefInfo info;
    if (!db.GetTableDefInfo(vdpattern::catalog::kHistoryTable, info)) vdpattern::catalog::MakeHistoryTable(db);
    return true;
  });
}

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
    vdpattern::catalog::MakeHistoryTable(db);  // a new catalog keeps its history from the first write
    return true;
  };
  bool made = false;
  const bool done = InTransaction(path, error, tables, &made);
  if (!done && made) std::remove(path.ToUtf8().c_str());  // no half-made catalog file is left behind
  return done;
}

namespace {

// A new family as its history shows it: its code, then each column's type and, beside it, its unit.
std::vector<vdpattern::HistoryColumn> FamilyMade(const CString& code,
                                                 const std::vector<CVdCatalogSchema::Column>& columns) {
  using vdpattern::HistoryValue;
  std::vector<vdpattern::HistoryColumn> made(1);
  made[0].column = L"code";
  made[0].after = {HistoryValue::eText, code.str()};
  for (const CVdCatalogSchema::Column& c : columns) {
    made.push_back({c.name.str(), {}, {HistoryValue::eText, c.type.str()}});
    if (!c.unit.IsEmpty()) made.push_back({c.name.str() + L" unit", {}, {HistoryValue::eText, c.unit.str()}});
  }
  return made;
}

// The family's table name between brackets and its column definitions, or false with `error`.
bool FamilyDefinition(const CString& family, const CString& code, const std::vector<CVdCatalogSchema::Column>& columns,
                      CString& table, CString& definition, CString& error) {
  if (!VdBracketName(family, table)) {
    error.Format(L"\"%s\" cannot be a family name.", family);
    return false;
  }
  if (CVdCatalogSchema::IsLibraryTable(family)) {
    error.Format(L"\"%s\" cannot be a family name: names beginning with \"vd_\" are the library's own tables.", family);
    return false;
  }
  if (code.IsEmpty()) {
    error = L"A family needs a code.";
    return false;
  }
  std::set<std::wstring> seen{L"name"};
  definition = L"[Name] TEXT COLLATE NOCASE NOT NULL";
  for (const CVdCatalogSchema::Column& c : columns) {
    CString column;
    std::wstring folded = c.name.str();
    VdFoldLower(folded);
    if (!VdBracketName(c.name, column) || !seen.insert(folded).second) {
      error.Format(L"\"%s\" cannot be a column of the family (empty, duplicate, or holding ']').", c.name);
      return false;
    }
    if (!CVdCatalogSchema::IsKnownType(c.type) || c.type.Find(L';') >= 0 || c.type.Find(L'[') >= 0) {
      error.Format(L"Unknown column type \"%s\" for column %s.", c.type, c.name);
      return false;
    }
    // Text columns compare ignoring case in the file itself (its indexes, and any other program reading it), as
    // the library's statements do.
    bool text = false;
    VdIsKnownColumnType(c.type, &text);
    definition += L", " + column + L" " + c.type + (text ? L" COLLATE NOCASE" : L"");
  }
  return true;
}

// The family's table, index, description, units and change record, in `db`'s open transaction.
bool MakeFamily(CVdDatabase& db, const CString& family, const CString& code,
                const std::vector<CVdCatalogSchema::Column>& columns, const CString& table, const CString& definition,
                CString& error) {
  using Column = CVdCatalogSchema::Column;
  {
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
    // On a server the columns' units go with the table as its columns' comments, in the same round trip.
    db.ExecuteSQL(L"CREATE TABLE " + table + L" (" + definition + L")",
                  vdpattern::catalog::UnitCommentsOf(family, columns));
    CString index;
    VdBracketName(CVdCatalogSchema::NameIndexName(family), index);
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
    vdpattern::catalog::RecordOther(db, family, CString(), vdpattern::catalog::kChangeFamily,
                                    FamilyMade(code, columns));
    return true;
  }
}

}  // namespace

bool CVdCatalogSchema::AddFamily(const CString& path, const CString& family, const CString& code,
                                 const std::vector<Column>& columns, CString& error) {
  CString table, definition;
  if (!FamilyDefinition(family, code, columns, table, definition, error)) return false;
  return InTransaction(
      path, error, [&](CVdDatabase& db) { return MakeFamily(db, family, code, columns, table, definition, error); });
}

bool CVdCatalogSchema::AddFamilyInGroup(CVdDatabase& db, const CString& family, const CString& code,
                                        const std::vector<Column>& columns, CString& error) {
  CString table, definition;
  if (!FamilyDefinition(family, code, columns, table, definition, error)) return false;
  try {
    return MakeFamily(db, family, code, columns, table, definition, error);
  } catch (CDBException* e) {
    error = e->m_strError;
    e->Delete();
    return false;
  }
}

namespace {

// The names of a table's columns, in order.
std::vector<CString> ColumnNames(CVdDatabase& db, const CString& table) {
  CVdRecordset rs(&db);
  rs.Open(0, L"SELECT * FROM " + table + L" WHERE 0", 0);
  std::vector<CString> names;
  for (short i = 0, n = rs.GetODBCFieldCount(); i < n; ++i) {
    CODBCFieldInfo field;
    rs.GetODBCFieldInfo(i, field);
    names.push_back(field.m_strName);
  }
  return names;
}

std::wstring FoldedName(const CString& name) {
  std::wstring folded = name.str();
  VdFoldLower(folded);
  return folded;
}

// Columns added to a family as its history shows them: each column's type and, beside it, its unit.
std::vector<vdpattern::HistoryColumn> ColumnsAdded(const std::vector<CVdCatalogSchema::Column>& columns) {
  using vdpattern::HistoryValue;
  std::vector<vdpattern::HistoryColumn> added;
  for (const CVdCatalogSchema::Column& c : columns) {
    added.push_back({c.name.str(), {}, {HistoryValue::eText, c.type.str()}});
    if (!c.unit.IsEmpty()) added.push_back({c.name.str() + L" unit", {}, {HistoryValue::eText, c.unit.str()}});
  }
  return added;
}

}  // namespace

CVdDatabase* CVdCatalogSchema::WritableFamily(CVdPatternCatalog& catalog, const CString& family, CString& table,
                                              CString& error) {
  error.Empty();
  CVdDatabase* db = catalog.Database();
  if (!db || !catalog.CanWrite()) {
    error = L"The catalog cannot be written.";
    return nullptr;
  }
  if (!VdBracketName(family, table) || IsLibraryTable(family) || !catalog.FindFamily(family)) {
    error.Format(L"The catalog has no family \"%s\".", family);
    return nullptr;
  }
  return db;
}

void CVdCatalogSchema::ReadUnitsAgain(CVdPatternCatalog& catalog, const CString& family) {
  const bool converts = catalog.m_bHasUnits;
  std::wstring upper = family.str();
  VdFoldUpper(upper);
  catalog.m_units.erase(upper);
  catalog.FillUnitsPool();
  catalog.m_bHasUnits = converts;
}

bool CVdCatalogSchema::AddColumnsInGroup(CVdPatternCatalog& catalog, const CString& family,
                                         const std::vector<Column>& columns, CString& error) {
  CString table;
  CVdDatabase* db = WritableFamily(catalog, family, table, error);
  if (!db) return false;
  if (columns.empty()) {
    error = L"No column to add.";
    return false;
  }
  // Each new column's definition, checked before anything is written.
  std::vector<CString> definitions;
  std::set<std::wstring> listed;
  for (const Column& c : columns) {
    CString column;
    if (!VdBracketName(c.name, column) || !listed.insert(FoldedName(c.name)).second) {
      error.Format(L"\"%s\" cannot be a new column of the family (empty, repeated, or holding ']').", c.name);
      return false;
    }
    bool text = false;
    if (!VdIsKnownColumnType(c.type, &text) || c.type.Find(L';') >= 0 || c.type.Find(L'[') >= 0) {
      error.Format(L"Unknown column type \"%s\" for column %s.", c.type, c.name);
      return false;
    }
    definitions.push_back(column + L" " + c.type + (text ? L" COLLATE NOCASE" : L""));
  }
  try {
    vdpattern::catalog::WriteGroup group(db);  // nested in the caller's group, or the call's own
    std::vector<CString> shape = ColumnNames(*db, table);
    std::set<std::wstring> present;
    for (const CString& name : shape) present.insert(FoldedName(name));
    for (const Column& c : columns) {
      if (present.count(FoldedName(c.name))) {
        error.Format(L"The family \"%s\" has a column \"%s\" already; no column was added.", family, c.name);
        return false;
      }
      shape.push_back(c.name);
    }
    if (!VdCheckTableShape(*db, family, shape, error)) return false;
    std::vector<CString> unitShape = ColumnNames(*db, L"[Units]");
    std::set<std::wstring> unitColumns;
    for (const CString& name : unitShape) unitColumns.insert(FoldedName(name));
    std::vector<const Column*> newUnitColumns;
    for (const Column& c : columns)
      if (!c.unit.IsEmpty() && !unitColumns.count(FoldedName(c.name))) {
        unitShape.push_back(c.name);
        newUnitColumns.push_back(&c);
      }
    if (!VdCheckTableShape(*db, L"Units", unitShape, error)) {
      error += L" The columns' units cannot be recorded.";
      return false;
    }

    for (std::size_t k = 0; k < columns.size(); ++k)
      db->ExecuteSQL(L"ALTER TABLE " + table + L" ADD COLUMN " + definitions[k],
                     vdpattern::catalog::UnitCommentsOf(family, std::vector<Column>{columns[k]}));
    for (const Column* c : newUnitColumns) {
      CString column;
      VdBracketName(c->name, column);
      db->ExecuteSQL(L"ALTER TABLE [Units] ADD COLUMN " + column + L" TEXT COLLATE NOCASE");
    }
    CString assignments, names, values;
    for (const Column& c : columns) {
      if (c.unit.IsEmpty()) continue;
      CString column;
      VdBracketName(c.name, column);
      assignments += (assignments.IsEmpty() ? L"" : L", ") + column + L" = " + VdQuoteText(c.unit);
      names += L", " + column;
      values += L", " + VdQuoteText(c.unit);
    }
    if (!assignments.IsEmpty()) {
      CVdRecordset row(db);
      row.Open(0, L"SELECT COUNT(*) FROM [Units] WHERE [Family] = " + VdQuoteText(family), 0);
      CDBVariant cell;
      row.GetFieldValue(short(0), cell);
      const COleVariant count = CVdRecordset::getOLEVariant(cell);
      row.Close();
      if (VariantToLong(&count) > 0)
        db->ExecuteSQL(L"UPDATE [Units] SET " + assignments + L" WHERE [Family] = " + VdQuoteText(family));
      else
        db->ExecuteSQL(L"INSERT INTO [Units] ([Family]" + names + L") VALUES (" + VdQuoteText(family) + values + L")");
    }
    catalog.RecordFamilyWrite(family, vdpattern::catalog::kChangeColumns, ColumnsAdded(columns));
    group.Keep();
  } catch (CDBException* e) {
    error = e->m_strError;
    error.TrimRight();
    e->Delete();
    return false;
  }
  // The catalog's units of the family, read again with the new ones; its way of writing values stays.
  ReadUnitsAgain(catalog, family);
  return true;
}

bool CVdCatalogSchema::SetUnitsInGroup(CVdPatternCatalog& catalog, const CString& family,
                                       const std::vector<Column>& units, CString& error) {
  using vdpattern::HistoryValue;
  CString table;
  CVdDatabase* db = WritableFamily(catalog, family, table, error);
  if (!db) return false;
  if (units.empty()) {
    error = L"No unit to change.";
    return false;
  }
  std::set<std::wstring> listed;
  for (const Column& c : units) {
    CString column;
    if (!VdBracketName(c.name, column) || c.name.CompareNoCase(L"Name") == 0 ||
        !listed.insert(FoldedName(c.name)).second) {
      error.Format(L"\"%s\" cannot have a unit set (empty, repeated, \"Name\" or holding ']').", c.name);
      return false;
    }
  }
  try {
    vdpattern::catalog::WriteGroup group(db);
    // Each column as the family spells it, which its comment names.
    std::map<std::wstring, CString> spelt;
    for (const CString& name : ColumnNames(*db, table)) spelt.emplace(FoldedName(name), name);
    for (const Column& c : units)
      if (!spelt.count(FoldedName(c.name))) {
        error.Format(L"The family \"%s\" has no column \"%s\"; no unit was changed.", family, c.name);
        return false;
      }
    std::vector<CString> unitShape = ColumnNames(*db, L"[Units]");
    std::map<std::wstring, CString> unitColumns;
    for (const CString& name : unitShape) unitColumns.emplace(FoldedName(name), name);
    std::vector<const Column*> newUnitColumns;
    for (const Column& c : units)
      if (!c.unit.IsEmpty() && !unitColumns.count(FoldedName(c.name))) {
        unitShape.push_back(c.name);
        newUnitColumns.push_back(&c);
      }
    if (!VdCheckTableShape(*db, L"Units", unitShape, error)) {
      error += L" The units cannot be recorded.";
      return false;
    }
    // The units before, from the family's first row, as the catalog reads them.
    std::map<std::wstring, std::wstring> before;
    bool hasRow = false;
    {
      CVdRecordset row(db);
      row.Open(0, L"SELECT * FROM [Units] WHERE [Family] = " + VdQuoteText(family), 0);
      hasRow = !row.IsEOF();
      CDBVariant cell;
      for (short i = 0, n = row.GetODBCFieldCount(); hasRow && i < n; ++i) {
        CODBCFieldInfo field;
        row.GetODBCFieldInfo(i, field);
        row.GetFieldValue(i, cell);
        if (cell.m_dwType == DBVT_WSTRING && cell.m_pstring && !cell.m_pstring->IsEmpty())
          before[FoldedName(field.m_strName)] = cell.m_pstring->str();
      }
    }
    for (const Column* c : newUnitColumns) {
      CString column;
      VdBracketName(c->name, column);
      db->ExecuteSQL(L"ALTER TABLE [Units] ADD COLUMN " + column + L" TEXT COLLATE NOCASE");
    }
    CString assignments, names, values;
    std::vector<VdColumnComment> comments;
    std::vector<vdpattern::HistoryColumn> changed;
    for (const Column& c : units) {
      const std::wstring folded = FoldedName(c.name);
      const auto old = before.find(folded);
      comments.push_back({family, spelt[folded], c.unit});
      changed.push_back({c.name.str() + L" unit",
                         old == before.end() ? HistoryValue{} : HistoryValue{HistoryValue::eText, old->second},
                         c.unit.IsEmpty() ? HistoryValue{} : HistoryValue{HistoryValue::eText, c.unit.str()}});
      // A column "Units" lacks needs no NULL written into it.
      if (c.unit.IsEmpty() && !unitColumns.count(folded)) continue;
      CString column;
      VdBracketName(c.name, column);
      const CString value = c.unit.IsEmpty() ? CString(L"NULL") : VdQuoteText(c.unit);
      assignments += (assignments.IsEmpty() ? L"" : L", ") + column + L" = " + value;
      names += L", " + column;
      values += L", " + value;
    }
    // The comments go with the row's write, in its round trip.
    if (hasRow && !assignments.IsEmpty())
      db->ExecuteSQL(L"UPDATE [Units] SET " + assignments + L" WHERE [Family] = " + VdQuoteText(family), comments);
    else if (!hasRow && !assignments.IsEmpty())
      db->ExecuteSQL(L"INSERT INTO [Units] ([Family]" + names + L") VALUES (" + VdQuoteText(family) + values + L")",
                     comments);
    else
      db->ExecuteSQL(nullptr, comments);
    catalog.RecordFamilyWrite(family, vdpattern::catalog::kChangeUnits, changed);
    group.Keep();
  } catch (CDBException* e) {
    error = e->m_strError;
    error.TrimRight();
    e->Delete();
    return false;
  }
  ReadUnitsAgain(catalog, family);
  return true;
}
