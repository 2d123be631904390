#include <vdpattern/factory/VdPatternFactory.h>

#include <cmath>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Report.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "toolkit/BaseSlot.h"

namespace {

std::wstring LowerName(const CString& name) {
  std::wstring folded = name.str();
  VdFoldLower(folded);
  return folded;
}

// The value given to a null column, by the column's ODBC SQL type.
COleVariant NullDefault(SWORD sqlType) {
  switch (sqlType) {
    case SQL_WCHAR:
    case SQL_VARCHAR:
    case SQL_CHAR:
      return COleVariant(L"");
    case SQL_BIT:
      return COleVariant(short(0), VT_BOOL);
    case SQL_BIGINT:
    case SQL_NUMERIC:
    case SQL_INTEGER:
      return COleVariant(0L);
    case SQL_DECIMAL:
    case SQL_REAL:
    case SQL_DOUBLE:
      return COleVariant(0.0);
    case SQL_FLOAT:
      return COleVariant(0.0f);
    default: {
      COleVariant null;
      null.vt = VT_NULL;
      return null;
    }
  }
}

}  // namespace

void CVdPatternFactory::Describe(CVdRecordset& recordSet, RowReading& reading) {
  reading.result = 0;  // stays unset if describing fails half way
  const short count = recordSet.GetODBCFieldCount();
  reading.columns.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  CODBCFieldInfo info;
  std::vector<std::wstring> spelled;
  spelled.reserve(reading.columns.size());
  for (short i = 0; i < count; ++i) {
    recordSet.GetODBCFieldInfo(i, info);
    RowReading::Column& column = reading.columns[static_cast<std::size_t>(i)];
    spelled.push_back(info.m_strName.str());
    column.name = LowerName(info.m_strName);
    column.sqlType = info.m_nSQLType;
    const auto entry = reading.useUnits ? reading.units.find(column.name) : reading.units.end();
    column.unit = entry == reading.units.end() ? nullptr : &entry->second;
  }
  OnColumnsDescribed(spelled);
  reading.shape.reset();
  if (AddsValuesAsBase()) {
    std::vector<std::wstring> names;
    // The name as AddPatternValue passes it on, through its C string.
    for (std::size_t i = 1; i < reading.columns.size(); ++i) names.emplace_back(reading.columns[i].name.c_str());
    auto shape = std::make_unique<CVdPattern>(1, nullptr, nullptr);
    shape->MakeReadShape(names, reading.slots);
    reading.shape = std::move(shape);
  }
  reading.result = recordSet.GetResultSerial();
}

bool CVdPatternFactory::AddsValuesAsBase() const {
  using MapFn = std::wstring (CVdPatternFactory::*)(const wchar_t*, unsigned);
  using AddFn = void (CVdPatternFactory::*)(CVdPattern*, const wchar_t*, unsigned, COleVariant&);
  using AddUnitFn = void (CVdPatternFactory::*)(CVdPattern*, const wchar_t*, unsigned, COleVariant&, CVdUnit);
  static const CVdPatternFactory reference;
  return KeepsBaseSlot(*this, reference, static_cast<MapFn>(&CVdPatternFactory::GetMappedName)) &&
         KeepsBaseSlot(*this, reference, static_cast<AddFn>(&CVdPatternFactory::AddPatternValue)) &&
         KeepsBaseSlot(*this, reference, static_cast<AddUnitFn>(&CVdPatternFactory::AddPatternValue));
}

bool CVdPatternFactory::ReadsRowsAsBase(const CVdPatternFactory* factory) {
  using ReadFn = CVdPattern* (CVdPatternFactory::*)(CVdRecordset*, const wchar_t*, const wchar_t*,
                                                    std::map<std::wstring, UNITINFO>, bool);
  static const CVdPatternFactory reference;
  return factory && KeepsBaseSlot(*factory, reference, static_cast<ReadFn>(&CVdPatternFactory::CreatePatternFromTable));
}

CVdPatternFactory::CVdPatternFactory() = default;
CVdPatternFactory::CVdPatternFactory(const CVdPatternFactory& other) = default;
CVdPatternFactory& CVdPatternFactory::operator=(const CVdPatternFactory& other) = default;
CVdPatternFactory::~CVdPatternFactory() = default;

double CVdPatternFactory::GetUnitFactor(CVdUnit unit) const {
  if (!m_pUnitManager) return 1.0;  // no unit manager: no conversion
  // The factory's own metrics factor decides, whatever the unit was parsed with.
  unit.SetMetricsFactor(m_pUnitManager->m_dMetricsFactor);
  return unit.GetFactor();
}

CVdPattern* CVdPatternFactory::CreatePattern(const wchar_t* family, const wchar_t* familyCode) {
  m_nPatternType = GetPatternType(family, familyCode);
  return CreatePatternObject(family, familyCode);
}

CVdPattern* CVdPatternFactory::CreatePatternFromTable(CVdRecordset* recordSet, const wchar_t* family,
                                                      const wchar_t* familyCode, std::map<std::wstring, UNITINFO> units,
                                                      bool useUnits) {
  RowReading reading(units, useUnits);
  return ReadPattern(recordSet, family, familyCode, reading);
}

CVdPattern* CVdPatternFactory::ReadPattern(CVdRecordset* recordSet, const wchar_t* family, const wchar_t* familyCode,
                                           RowReading& reading) {
  if (!recordSet) return nullptr;
  std::unique_ptr<CVdPattern> pattern;
  try {
    if (reading.result == 0 || reading.result != recordSet->GetResultSerial()) Describe(*recordSet, reading);
    const std::vector<RowReading::Column>& columns = reading.columns;
    const short count = static_cast<short>(columns.size());
    m_nPatternType = GetPatternType(family, familyCode);
    pattern.reset(CreatePatternObject(family, familyCode));
    if (!pattern) return nullptr;
    // Base slots throughout: each value goes straight to its place among names laid out once per result.
    const bool direct = reading.shape && pattern->TakeReadShape(*reading.shape);
    if (!direct && count > 1) pattern->ReserveParams(static_cast<std::size_t>(count - 1));
    pattern->SetPatternType(CVdPattern::ePatternTypeCatalog);
    if (!family) family = L"";
    if (reading.family.str() != family) reading.family = family;
    pattern->SetFamily(reading.family);

    if (reading.cells.size() < static_cast<std::size_t>(count ? count : 1)) reading.cells.resize(count ? count : 1);
    recordSet->GetFieldValue(short(0), reading.cells[0]);
    pattern->SetReadUserName(DBV_BSTRAll(&reading.cells[0]));

    for (short i = 1; i < count; ++i) {
      const RowReading::Column& column = columns[static_cast<std::size_t>(i)];
      CDBVariant& cell = reading.cells[static_cast<std::size_t>(i)];
      recordSet->GetFieldValue(i, cell);
      COleVariant value = cell.m_dwType != DBVT_NULL ? CVdRecordset::getOLEVariant(cell)
                          : m_bKeepNulls             ? NullDefault(SQL_UNKNOWN_TYPE)
                                                     : NullDefault(column.sqlType);
      const wchar_t* name = column.name.c_str();
      if (direct) {
        // What AddPatternValue does with a unit, whose mapped name is the column's own (empty: no unit).
        if (column.unit && *name && value.vt == VT_R8 && value.dblVal != 0.0)
          value.dblVal *= GetUnitFactor(column.unit->unit);
        pattern->PlaceReadValue(reading.slots[static_cast<std::size_t>(i - 1)], pattern->NewReadValueFrom(value));
      } else if (column.unit && !GetMappedName(name, static_cast<unsigned>(i)).empty()) {
        AddPatternValue(pattern.get(), name, static_cast<unsigned>(i), value, column.unit->unit);
      } else {
        AddPatternValue(pattern.get(), name, static_cast<unsigned>(i), value);
      }
    }
    EndLoading(pattern.get());
    return pattern.release();
  } catch (CDBException* e) {
    pattern.reset();
    OnDBException(e);
    e->Delete();
    return nullptr;
  }
}

bool CVdPatternFactory::ModifyTableFromPattern(CVdRecordset* recordSet, CVdPattern* pattern, const wchar_t* familyCode,
                                               std::map<std::wstring, UNITINFO> units, bool useUnits) {
  if (!recordSet || !pattern) return false;
  try {
    const short count = recordSet->GetODBCFieldCount();
    const CString family = pattern->GetFamily();
    m_nPatternType = GetPatternType(family, familyCode);
    BeginWriting(pattern);
    CODBCFieldInfo info;
    for (short i = 0; i < count; ++i) {
      recordSet->GetODBCFieldInfo(i, info);
      if (info.m_strName.CompareNoCase(L"Name") == 0) {
        recordSet->SetFieldValue(i, COleVariant(pattern->GetUserNameW()));
        continue;
      }
      const std::wstring name = LowerName(info.m_strName);
      COleVariant value;
      const auto entry = useUnits ? units.find(name) : units.end();
      const bool found = entry != units.end()
                             ? GetPatternValue(pattern, name.c_str(), static_cast<unsigned>(i), &value,
                                               GetUnitFactor(entry->second.unit))
                             : GetPatternValue(pattern, name.c_str(), static_cast<unsigned>(i), &value);
      if (!found) {
        OnFieldError(eFieldValueMissing, family, pattern->GetUserNameW(), name.c_str());
        continue;
      }
      if ((info.m_nSQLType == SQL_CHAR || info.m_nSQLType == SQL_VARCHAR) && value.vt == VT_BSTR &&
          (!value.bstrVal || value.bstrVal[0] == L'\0'))
        value.Clear();
      recordSet->SetFieldValue(i, value);
    }
    return true;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return false;
  }
}

CVdPattern* CVdPatternFactory::NewStandard(const CString&, CVdPattern::enumCheckUserName*) const { return nullptr; }
bool CVdPatternFactory::IsValidSerie(const CString&) const { return true; }
bool CVdPatternFactory::IsValidCatalog(CString) const { return true; }

CVdPattern::enumCheckUserName CVdPatternFactory::GetParamPatternFromStandardCode(const wchar_t*, CVdPattern**) {
  return CVdPattern::eCheckUserNameOk;
}

std::wstring CVdPatternFactory::GetMappedName(const wchar_t* columnName, unsigned int) {
  return columnName ? std::wstring(columnName) : std::wstring();
}

unsigned int CVdPatternFactory::GetPatternType(const wchar_t*, const wchar_t*) { return 0; }

CVdPattern* CVdPatternFactory::CreatePatternObject(const wchar_t*, const wchar_t*) {
  return new CVdPattern(1, nullptr, nullptr);
}

void CVdPatternFactory::AddPatternValue(CVdPattern* pattern, const wchar_t* columnName, unsigned int column,
                                        COleVariant& value, CVdUnit unit) {
  if (value.vt == VT_R8 && value.dblVal != 0.0) value.dblVal *= GetUnitFactor(unit);
  AddPatternValue(pattern, columnName, column, value);
}

void CVdPatternFactory::AddPatternValue(CVdPattern* pattern, const wchar_t* columnName, unsigned int column,
                                        COleVariant& value) {
  if (!pattern) return;
  const std::wstring name = GetMappedName(columnName, column);
  CVdPatternValue* stored = pattern->NewReadValue(value);
  pattern->SetValue(pattern->GetMapOfAttribute(name.c_str()), name, stored);
}

bool CVdPatternFactory::GetPatternValue(CVdPattern* pattern, const wchar_t* columnName, unsigned int column,
                                        COleVariant* value, double factor) {
  if (!GetPatternValue(pattern, columnName, column, value)) return false;
  // The division is the inverse of the reading conversion; a factor that could not have come from a unit
  // leaves the value as stored rather than writing an infinity.
  if (value->vt == VT_R8 && value->dblVal != 0.0 && factor != 0.0 && std::isfinite(factor)) value->dblVal /= factor;
  return true;
}

bool CVdPatternFactory::GetPatternValue(CVdPattern* pattern, const wchar_t* columnName, unsigned int column,
                                        COleVariant* value) {
  if (!pattern || !value) return false;
  const std::wstring name = GetMappedName(columnName, column);
  CVdPatternValue* stored = nullptr;
  if (!pattern->GetValue(pattern->GetMapOfAttribute(name.c_str()), name, &stored) || !stored) return false;
  *value = static_cast<const VARIANT&>(*stored);
  return true;
}

void CVdPatternFactory::BeginWriting(CVdPattern*) {}
void CVdPatternFactory::EndLoading(CVdPattern*) {}
void CVdPatternFactory::OnFieldError(FieldErrorType, const wchar_t*, const wchar_t*, const wchar_t*) {}
void CVdPatternFactory::OnColumnsDescribed(const std::vector<std::wstring>&) {}

void CVdPatternFactory::OnDBException(CDBException* e) {
  const CString text = L"CVdPatternFactory::OnDBException : " + (e ? e->GetReportText() : CString());
  MessageBoxW(nullptr, text, L"Erreur DAO", MB_OK);
}
