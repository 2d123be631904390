#pragma once
// Test support: writes a catalog file as the library expects to find one, with plain SQL through the engine.
//
//   vdtest::CatalogBuilder catalog;
//   catalog.AddFamily("Beams", "HE", "Height DOUBLE, Area DOUBLE", "('HE 100', 100, 26), ('HE 200', 200, 53.8)");
//   catalog.SetUnits("Beams", {{"Height", "mm"}, {"Area", "cm2"}});
//   catalog.Write(dir.File("steel.mdb"));
//
// A family table has "Name TEXT" first, then the given columns; its rows are SQL value tuples. Every family has
// a "FamilyDescription" row (Name, FamilyCode, Description) unless it is added with AddTable. The "Units" table
// has the column "Family" and one column per parameter named in SetUnits (in the order first named); each
// SetUnits call is one row, so two calls for one family give two rows. Texts passed as names or units are
// quoted here; column definitions and rows are SQL as written.

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include "support/TestFiles.h"

namespace vdtest {

class CatalogBuilder {
 public:
  using UnitList = std::vector<std::pair<std::string, std::string>>;  // column, unit text

  // The single "Definition" row.
  CatalogBuilder& SetDefinition(std::string typeName, int version, std::string lastUpdate, std::string editor) {
    m_typeName = std::move(typeName);
    m_version = version;
    m_lastUpdate = std::move(lastUpdate);
    m_editor = std::move(editor);
    return *this;
  }

  // A family table with its "FamilyDescription" row; an empty code is written as ''.
  CatalogBuilder& AddFamily(const std::string& name, const std::string& code, const std::string& columnsSql,
                            const std::string& rowsSql = "") {
    AddTable(name, columnsSql, rowsSql);
    return AddDescription(name, code);
  }

  // A table without a "FamilyDescription" row: a family without a code, or one of the special tables.
  CatalogBuilder& AddTable(const std::string& name, const std::string& columnsSql, const std::string& rowsSql = "") {
    std::string sql =
        "CREATE TABLE " + Name(name) + " (Name TEXT" + (columnsSql.empty() ? "" : ", " + columnsSql) + ");\n";
    if (!rowsSql.empty()) sql += "INSERT INTO " + Name(name) + " VALUES " + rowsSql + ";\n";
    m_tables += sql;
    return *this;
  }

  // One more "FamilyDescription" row (a second row for a name gives a duplicate).
  CatalogBuilder& AddDescription(const std::string& name, const std::string& code) {
    m_descriptions.push_back({name, code});
    return *this;
  }

  // One "Units" row for `family` (std::nullopt writes a null Family).
  CatalogBuilder& SetUnits(std::optional<std::string> family, const UnitList& units) {
    for (const auto& [column, unit] : units) {
      bool known = false;
      for (const std::string& c : m_unitColumns) known = known || c == column;
      if (!known) m_unitColumns.push_back(column);
    }
    m_units.push_back({std::move(family), units});
    return *this;
  }

  CatalogBuilder& WithoutUnitsTable() {
    m_withUnits = false;
    return *this;
  }

  CatalogBuilder& WithoutDefinitionTable() {
    m_withDefinition = false;
    return *this;
  }

  // Any further SQL, run after the tables above.
  CatalogBuilder& AddSql(const std::string& sql) {
    m_extra += sql + "\n";
    return *this;
  }

  std::string Sql() const {
    std::string sql = "BEGIN;\n";
    if (m_withDefinition) {
      sql +=
          "CREATE TABLE Definition (def_name TEXT, def_version INTEGER, def_lastUpdate TEXT, def_editorName TEXT);\n";
      sql += "INSERT INTO Definition VALUES (" + Quote(m_typeName) + ", " + std::to_string(m_version) + ", " +
             Quote(m_lastUpdate) + ", " + Quote(m_editor) + ");\n";
    }
    sql += "CREATE TABLE FamilyDescription (Name TEXT, FamilyCode TEXT, Description TEXT);\n";
    for (const auto& [name, code] : m_descriptions)
      sql += "INSERT INTO FamilyDescription VALUES (" + Quote(name) + ", " + Quote(code) + ", " +
             Quote("The " + name + " family") + ");\n";
    if (m_withUnits) {
      sql += "CREATE TABLE Units (Family TEXT";
      for (const std::string& column : m_unitColumns) sql += ", " + Name(column) + " TEXT";
      sql += ");\n";
      for (const auto& [family, units] : m_units) {
        std::string columns = "Family", values = family ? Quote(*family) : "NULL";
        for (const auto& [column, unit] : units) {
          columns += ", " + Name(column);
          values += ", " + Quote(unit);
        }
        sql += "INSERT INTO Units (" + columns + ") VALUES (" + values + ");\n";
      }
    }
    return sql + m_tables + m_extra + "COMMIT;\n";
  }

  // Writes the catalog to a file, or into the existing, empty catalog at a server address (TestDb.h).
  void Write(const std::string& path) const { RawDb(path).Exec(Sql()); }

  static std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
  }
  static std::string Name(const std::string& name) { return "[" + name + "]"; }

 private:
  struct Description {
    std::string name, code;
  };
  struct UnitsRow {
    std::optional<std::string> family;
    UnitList units;
  };

  std::string m_typeName = "VdCatalog";
  int m_version = 3;
  std::string m_lastUpdate = "2001/01/01";
  std::string m_editor = "Editor";
  bool m_withDefinition = true;
  bool m_withUnits = true;
  std::vector<Description> m_descriptions;
  std::vector<std::string> m_unitColumns;
  std::vector<UnitsRow> m_units;
  std::string m_tables;
  std::string m_extra;
};

}  // namespace vdtest
