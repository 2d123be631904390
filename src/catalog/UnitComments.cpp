#include "catalog/UnitComments.h"

#include <map>
#include <set>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

namespace vdpattern::catalog {

namespace {

std::wstring Folded(const std::wstring& name) {
  std::wstring folded = name;
  VdFoldLower(folded);
  return folded;
}

}  // namespace

bool MissingUnitComments(CVdDatabase& db, std::vector<VdColumnComment>& missing, std::vector<std::wstring>& families) {
  missing.clear();
  families.clear();
  std::map<std::wstring, std::map<std::wstring, std::wstring>> present;
  if (!db.GetColumnComments(present)) return false;
  CVdODBCTableDefInfo unitsTable;
  if (!db.GetTableDefInfo(L"Units", unitsTable)) return true;

  // Each family's units as "Units" holds them: the first row of a family counts, as the catalog reads it.
  struct Row {
    CString family;
    std::vector<std::pair<std::wstring, std::wstring>> units;  // column, unit
  };
  std::vector<Row> rows;
  std::set<std::wstring> seen;
  {
    CVdRecordset units(&db);
    units.Open(0, L"SELECT * FROM [Units]", 0);
    const short n = units.GetODBCFieldCount();
    short familyField = -1;
    std::vector<CString> names;
    for (short i = 0; i < n; ++i) {
      CODBCFieldInfo field;
      units.GetODBCFieldInfo(i, field);
      names.push_back(field.m_strName);
      if (familyField < 0 && field.m_strName.CompareNoCase(L"Family") == 0) familyField = i;
    }
    if (familyField < 0) return true;
    CDBVariant cell;
    for (; !units.IsEOF(); units.MoveNext()) {
      units.GetFieldValue(familyField, cell);
      if (cell.m_dwType != DBVT_WSTRING || !cell.m_pstring || cell.m_pstring->IsEmpty()) continue;
      Row row;
      row.family = *cell.m_pstring;
      if (!seen.insert(Folded(row.family.str())).second) continue;
      for (short i = 0; i < n; ++i) {
        if (i == familyField) continue;
        units.GetFieldValue(i, cell);
        if (cell.m_dwType == DBVT_WSTRING && cell.m_pstring && !cell.m_pstring->IsEmpty())
          row.units.emplace_back(names[static_cast<std::size_t>(i)].str(), cell.m_pstring->str());
      }
      if (!row.units.empty()) rows.push_back(std::move(row));
    }
  }
  if (rows.empty()) return true;

  // The families' columns as the schema spells them, read in one statement for all.
  std::vector<CString> tables;
  for (const Row& row : rows) tables.push_back(row.family);
  std::map<std::wstring, std::vector<CODBCFieldInfo>> columns;
  db.GetColumnsOfTables(tables, columns);
  for (const Row& row : rows) {
    CVdODBCTableDefInfo table;
    if (!db.GetTableDefInfo(row.family, table)) continue;  // a unit of a family that is not there
    const auto found = columns.find(row.family.str());
    if (found == columns.end()) continue;
    const std::map<std::wstring, std::wstring>& carried = present[table.m_strName.str()];
    bool any = false;
    for (const auto& [column, unit] : row.units) {
      for (const CODBCFieldInfo& field : found->second) {
        if (Folded(field.m_strName.str()) != Folded(column)) continue;
        const auto comment = carried.find(field.m_strName.str());
        if (comment == carried.end() || comment->second != unit) {
          missing.push_back({table.m_strName, field.m_strName, CString(unit.c_str())});
          any = true;
        }
        break;
      }
    }
    if (any) families.push_back(table.m_strName.str());
  }
  return true;
}

}  // namespace vdpattern::catalog
