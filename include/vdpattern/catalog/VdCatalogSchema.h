#pragma once
// CVdCatalogSchema: creates catalog files and family tables, the schema work that CVdPatternCatalog itself does
// not do. A new catalog holds "Definition" (one row: type name, version, last update, editor),
// "FamilyDescription" (Name, FamilyCode, Description) and "Units" (Family, then one column per parameter that
// has a unit). A new family is a table whose first column is "Name" (indexed, so a lookup by name does not
// scan the table), its "FamilyDescription" row and, for the columns that have a unit, a "Units" row.
//
// Text columns are declared COLLATE NOCASE, so that the file compares its texts ignoring ASCII case for any
// program, and the index on Name serves the catalog's lookups (which ignore case; see VdRecordset.h).
//
// Column types are the database's declared types that the toolkit maps (INTEGER, DOUBLE, TEXT, DATE, ...);
// names may hold any character but ']' (they are written between brackets). Every operation runs in one
// transaction: it is done whole or not at all. Failures return false with a message for people in `error`;
// nothing is reported through the report channel. Static functions; no state.
//
// Extension: on a server each family column that has a unit also carries it as the column's comment (COMMENT ON
// COLUMN), for SQL tools that show comments; AddFamily, AddFamilyInGroup, AddColumnsInGroup and SetUnitsInGroup
// write it in the same transaction, with the statement that makes or changes the column's unit (no round trip
// more), and UpgradeCatalog adds those an older server catalog lacks. "Units" stays what the library reads. A
// file keeps no column comments (SQLite has none): there only "Units" holds the units.

#include <string>
#include <vector>
#include <vdpattern/VdPatternExport.h>
#include <vdpattern/toolkit/String.h>

class CVdDatabase;
class CVdPatternCatalog;

class VDPATTERN_EXPORT CVdCatalogSchema {
 public:
  struct Column {
    CString name;
    CString type;  // declared type, e.g. "DOUBLE"
    CString unit;  // unit text, e.g. "mm"; empty for none
  };

  // A new catalog file at `path`; an existing file is never overwritten.
  static bool CreateCatalog(const CString& path, const CString& typeName, const CString& editor, int version,
                            CString& error);
  // A new family in the catalog file at `path`: refused when a table of that name exists.
  static bool AddFamily(const CString& path, const CString& family, const CString& code,
                        const std::vector<Column>& columns, CString& error);
  // Extension: AddFamily on the open database `db` (borrowed), inside the write group the caller holds
  // (CVdDatabase::BeginWriteGroup), so that a family and its first rows are kept or undone together. Nothing is
  // committed here. False with `error` when the family is refused, or after a database failure, whose writes the
  // caller's group must then undo. Does not throw.
  static bool AddFamilyInGroup(CVdDatabase& db, const CString& family, const CString& code,
                               const std::vector<Column>& columns, CString& error);
  // Extension: adds `columns` (each with its declared type and unit) to the existing family `family` of the open
  // catalog `catalog` (borrowed), inside the write group the caller holds on it (CVdPatternCatalog::
  // BeginWriteGroup) as a group nested in it, or in a group of its own, kept here, when the caller holds none.
  // Each column is added with ALTER TABLE (on a server with the server's types, as a new family gets them), its
  // unit written in the family's "Units" row, and the whole recorded as one change of kind "columns" that holds
  // each column's type and unit: in the catalog's open history batch (BeginHistoryBatch) when there is one, so
  // that the columns and the values written into them are one set, else as a set of its own. The catalog then
  // knows the family's new units; whether it converts values (SetHasUnits) stays as it was. All or nothing:
  // refused with `error`, nothing changed, when the family is missing, a column is there already (in any case
  // of its name) or repeated, a name or type cannot be written, or the engine could not hold the wider table or
  // "Units"; a database failure undoes the call's writes (on a server it may lose the caller's group:
  // IsWriteGroupLost). Undo refuses a "columns" change, and so the set that holds it. Does not throw.
  static bool AddColumnsInGroup(CVdPatternCatalog& catalog, const CString& family, const std::vector<Column>& columns,
                                CString& error);
  // Extension: gives existing columns of the family `family` of the open catalog `catalog` (borrowed) new units:
  // each of `units` names a column (in any case) and its unit (`type` is not read; an empty unit removes the
  // column's). Grouped as AddColumnsInGroup is (nested in the caller's write group, or a group of its own); the
  // units are written in the family's "Units" row (a column more in "Units" where a name has none yet) and, on
  // a server, as the columns' comments in the same round trip; recorded as one change of kind "units" holding
  // each column's unit before and after, which undo refuses. The catalog then knows the new units; whether it
  // converts values stays as it was. Values are never converted: they are read in the new unit from then on.
  // All or nothing: refused with `error`, nothing changed, when the family or a column is missing, a column is
  // repeated or "Name", or "Units" could not hold the new column; a database failure undoes the call's writes.
  // Does not throw.
  static bool SetUnitsInGroup(CVdPatternCatalog& catalog, const CString& family, const std::vector<Column>& units,
                              CString& error);
  // Whether `type` is a declared type that the toolkit maps to a column type.
  static bool IsKnownType(const CString& type);
  // Extension: gives the catalog at `path` (a file or a server catalog) the history table that new catalogs
  // have (CVdPatternCatalog::GetHistory); true and nothing changed when it has one. Does not throw.
  static bool AddHistory(const CString& path, CString& error);
  // Extension: whether `table` is one of the library's own tables, whose names begin with "vd_" in any case
  // (aliases, change records and the like). Such a table is never a family: it is not listed, not read as one,
  // and AddFamily refuses the name.
  static bool IsLibraryTable(const wchar_t* table);

  // Extension: the name of the index on a family's "Name" column (ignoring case) that every writer of catalogs
  // gives a new family, so that lookups by name do not scan the table. Does not throw.
  static CString NameIndexName(const CString& family);

  // Extension: what UpgradeCatalog did.
  enum UpgradeResult {
    eUpgraded,    // indexes were added (`added` names their families)
    eUpToDate,    // every family had its name index; nothing was changed
    eNotCatalog,  // the file opened but holds no catalog
    eReadOnly,    // the file cannot be written; nothing was changed
    eFailed       // `error` says why (empty when the catalog already reported it); nothing was changed
  };
  // Extension: gives a catalog file made by an earlier version the name index that NameIndexName describes, on
  // every family that lacks one that serves lookups ignoring case (a full index with Name first, compared
  // NOCASE). Only indexes are added, all in one transaction: rows, columns and their collations stay as they
  // are. A family whose name holds ']' is left as it is and put in `leftAsIs`; a virtual table, or one without
  // a Name column, is skipped. A free name is taken when another object has the index's. Statements run at
  // most `timeLimit` seconds each (0: no limit). A catalog on a server needs no name index (every writer gives
  // a family one ignoring case): there the upgrade gives each family column whose unit "Units" holds
  // that unit as its comment where it lacks it, in one transaction, and puts the families so changed in
  // `added` (eUpgraded), or changes nothing (eUpToDate). A file without the library's history table
  // ("vd_history", CVdPatternCatalog::GetHistory) gets it, and its name is put in `added` then. Does not throw; a
  // failure the catalog reports while listing its families goes through the report channel.
  // On a server, in the same transaction, text columns that an earlier version made case-blind by their own
  // collation get the exact one of new catalogs (CVdDatabase::MakeTextColumnsExact), so that plain SQL's LIKE and
  // ILIKE work on them: the tables changed go in `madeExact` (borrowed, may be null), those whose indexes could
  // not be made again as they were in `leftAsIs`. A server catalog without the history table gets it when the
  // connection's role is the schema's owner or one of its members (another's table would not be believed), and
  // "vd_history" is put in `added` then (in `leftAsIs` when another role runs it); the library's logs that an earlier
  // version gave a row identity (and the history its index on "cset") lose them (CVdDatabase::TrimLibraryLogs), named
  // in `trimmed` (borrowed, may be null).
  static UpgradeResult UpgradeCatalog(const CString& path, unsigned long timeLimit, std::vector<std::wstring>& added,
                                      std::vector<std::wstring>& leftAsIs, CString& error,
                                      std::vector<std::wstring>* madeExact = nullptr,
                                      std::vector<std::wstring>* trimmed = nullptr);

 private:
  // The database of `catalog` (borrowed) when it may be written and holds `family`, with the family's bracketed
  // name in `table`; null with `error` otherwise.
  static CVdDatabase* WritableFamily(CVdPatternCatalog& catalog, const CString& family, CString& table, CString& error);
  // Reads the family's units again after a change of them, keeping whether the catalog converts values.
  static void ReadUnitsAgain(CVdPatternCatalog& catalog, const CString& family);
};
