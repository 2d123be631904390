#pragma once
// CVdPatternFactory: converts between the rows of a family table and CVdPattern objects, in both directions,
// applying the family's units, and offers the hooks through which a host customises patterns (their class,
// type, parameter names, standard names). The base class is complete and usable without derivation.
//
// Ownership: the host creates a factory and hands it to a manager or a catalog, which may own it (each says
// so). The unit manager is borrowed (m_pUnitManager, may be null, must outlive the factory); copies share it.
// Patterns returned by CreatePattern, CreatePatternFromTable and NewStandard belong to the caller; a pattern
// stored through *pattern by GetParamPatternFromStandardCode belongs to the caller too. Record sets handed in
// are borrowed for the call. Database failures are caught, handed to OnDBException (report caption
// "Erreur DAO") and reported as null or false.
//
// Choices:
// - Units asked for without a unit manager: no conversion is applied (the factor is 1), so values are stored
//   and written exactly as the catalog holds them. Refusing would lose whole rows over a missing setting.
// - The factor F = M^e / k is computed by repeated squaring of M over the bits of |e|.
// - A null column of a type without a default (memo, date, binary, ...) becomes a VT_NULL value.
// - FieldErrorType has one value, eFieldValueMissing = 1.
// - When a catalog reads a family, the column names and SQL types are described once per record-set result
//   (CVdRecordset::GetResultSerial), not once per row.
// Instances are used by one thread at a time.

#include <map>
#include <memory>
#include <string>
#include <vector>
#include <vdpattern/VdPatternExport.h>
#include <vdpattern/factory/UnitInfo.h>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdUnit.h>

class CVdRecordset;
class CDBException;

class VDPATTERN_EXPORT CVdPatternFactory {
 public:
  enum FieldErrorType { eFieldValueMissing = 1 };

  CVdPatternFactory();
  CVdPatternFactory(const CVdPatternFactory& other);
  CVdPatternFactory& operator=(const CVdPatternFactory& other);
  virtual ~CVdPatternFactory();

  // A new, empty pattern of the family (caller owns it).
  virtual CVdPattern* CreatePattern(const wchar_t* family, const wchar_t* familyCode);
  // The current row of `recordSet` as a new pattern (caller owns it), or null after a database failure.
  virtual CVdPattern* CreatePatternFromTable(CVdRecordset* recordSet, const wchar_t* family, const wchar_t* familyCode,
                                             std::map<std::wstring, UNITINFO> units, bool useUnits);
  // Fills the current row (in edit or append mode) from the pattern; false after a database failure.
  virtual bool ModifyTableFromPattern(CVdRecordset* recordSet, CVdPattern* pattern, const wchar_t* familyCode,
                                      std::map<std::wstring, UNITINFO> units, bool useUnits);
  // Hooks with inert defaults.
  virtual CVdPattern* NewStandard(const CString& name, CVdPattern::enumCheckUserName* check) const;
  virtual bool IsValidSerie(const CString& serie) const;
  virtual bool IsValidCatalog(CString typeName) const;
  virtual CVdPattern::enumCheckUserName GetParamPatternFromStandardCode(const wchar_t* code, CVdPattern** pattern);
  virtual std::wstring GetMappedName(const wchar_t* columnName, unsigned int column);

  CVdUnitManager* GetUnitManager() const { return m_pUnitManager; }  // borrowed, may be null

  // F = M^e / k for `unit` with this factory's metrics factor M (1 without a unit manager).
  double GetUnitFactor(CVdUnit unit) const;

 protected:
  virtual unsigned int GetPatternType(const wchar_t* family, const wchar_t* familyCode);
  virtual CVdPattern* CreatePatternObject(const wchar_t* family, const wchar_t* familyCode);  // caller owns
  virtual void AddPatternValue(CVdPattern* pattern, const wchar_t* columnName, unsigned int column, COleVariant& value,
                               CVdUnit unit);
  virtual void AddPatternValue(CVdPattern* pattern, const wchar_t* columnName, unsigned int column, COleVariant& value);
  virtual bool GetPatternValue(CVdPattern* pattern, const wchar_t* columnName, unsigned int column, COleVariant* value,
                               double factor);
  virtual bool GetPatternValue(CVdPattern* pattern, const wchar_t* columnName, unsigned int column, COleVariant* value);
  virtual void BeginWriting(CVdPattern* pattern);
  virtual void EndLoading(CVdPattern* pattern);
  virtual void OnDBException(CDBException* e);  // borrowed: the caller deletes the exception
  virtual void OnFieldError(FieldErrorType type, const wchar_t* family, const wchar_t* userName,
                            const wchar_t* columnName);
  // Extension: called once for each record-set result a read describes, with its columns' names as the table
  // spells them, in the table's order (Name first), so that a host can show a family as it is stored. The
  // default does nothing.
  virtual void OnColumnsDescribed(const std::vector<std::wstring>& names);

  unsigned int m_nPatternType = 0;
  CVdUnitManager* m_pUnitManager = nullptr;  // borrowed
  // Extension: when set, a null column reads as a VT_NULL value whatever its type, instead of its type's
  // default (0, 0.0, "" or False), so that a host can tell a missing value from a stored zero. Off by default.
  bool m_bKeepNulls = false;

 private:
  friend class CVdPatternCatalog;

  // What reading the rows of one record set learns once: the lower-case names and SQL types of the columns of
  // its current result, and the unit entry of each. One reading serves one loop over rows; the units map is
  // borrowed from the caller and must not change during it.
  struct RowReading {
    RowReading(const std::map<std::wstring, UNITINFO>& units, bool useUnits) : units(units), useUnits(useUnits) {}
    struct Column {
      std::wstring name;
      short sqlType = 0;
      const UNITINFO* unit = nullptr;  // into `units`; null without an entry or when units are not used
    };
    const std::map<std::wstring, UNITINFO>& units;
    const bool useUnits;
    unsigned long long result = 0;  // CVdRecordset::GetResultSerial of the result `columns` describe
    std::vector<Column> columns;
    CString family;  // the family of the last row, kept to be given to the next one without a new string
    // One cell a column, so a text column's string is reused from row to row instead of made anew.
    std::vector<CDBVariant> cells;
    // For a factory that keeps this class's GetMappedName and AddPatternValue: the parameter names of the
    // columns after the first as a pattern stores them (made by Describe, owned here) and each column's place
    // among them (slots[i - 1] for column i). Null: every value goes through AddPatternValue.
    std::unique_ptr<CVdPattern> shape;
    std::vector<std::size_t> slots;
  };

  // CreatePatternFromTable's work with the columns described once per result. The catalog calls it directly
  // for a factory that keeps this class's CreatePatternFromTable, sparing a copy of the units map and a
  // description of the columns for every row.
  CVdPattern* ReadPattern(CVdRecordset* recordSet, const wchar_t* family, const wchar_t* familyCode,
                          RowReading& reading);
  void Describe(CVdRecordset& recordSet, RowReading& reading);
  // True when `factory` is exactly of this class, so that CreatePatternFromTable is this class's own code.
  static bool ReadsRowsAsBase(const CVdPatternFactory* factory);
  // True when this factory keeps this class's GetMappedName and both AddPatternValue: a read value then goes
  // to the pattern under its column's name.
  bool AddsValuesAsBase() const;
};
