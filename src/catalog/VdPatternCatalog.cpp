#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/catalog/VdCatalogSchema.h>

#include <chrono>
#include <cwchar>
#include <fstream>
#include <optional>
#include <set>
#include <string_view>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Report.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VariantConv.h>

#include "catalog/ChangeLog.h"
#include "catalog/History.h"
#include "catalog/WriteGroup.h"
#include "toolkit/BaseSlot.h"
#include "toolkit/Environment.h"
#include "db/postgres/ServerAddress.h"

using vdpattern::catalog::WriteGroup;

const wchar_t* const CVdPatternCatalog::c_szExt = L".mdb";

namespace {

constexpr std::size_t kFamilyCodeBuffer = 64;  // the callers' buffers, terminator included

std::size_t LastSeparator(const std::wstring& path) { return path.find_last_of(L"/\\"); }

std::wstring Upper(std::wstring text) {
  VdFoldUpper(text);
  return text;
}

std::wstring Lower(std::wstring text) {
  VdFoldLower(text);
  return text;
}

// The one way the catalog handles a database failure that it does not pass on: `work` runs; a CDBException
// from it goes to `onFailure` (which may report it), is released, and `failed` is returned instead.
template <typename Result, typename Work, typename OnFailure>
Result Guard(Result failed, Work&& work, OnFailure&& onFailure) {
  try {
    return work();
  } catch (CDBException* e) {
    onFailure(e);
    e->Delete();
    return failed;
  }
}

// Cleanup on the way out: a failure there cannot be answered and must not hide the one that led here.
template <typename Work>
void Quietly(Work&& work) {
  Guard(
      true,
      [&] {
        work();
        return true;
      },
      [](CDBException*) {});
}

// Whether a failure says that the database could not answer at all (its connection or file is gone, a lock or
// the time limit stopped the statement), rather than that the statement does not fit the family (a missing
// table or column): such a failure is never taken for "nothing there", and is reported even where a refused
// statement stays quiet.
bool IsDatabaseFailure(const CDBException* e) {
  const CDBException::Category category = e->GetCategory();
  return category == CDBException::eConnection || category == CDBException::eTimeout;
}

// Whether a table name can be written between [ and ]: the brackets have no escape for a ']' inside.
bool IsBracketable(std::wstring_view name) { return name.find(L']') == std::wstring_view::npos; }

bool IsText(const CDBVariant& v) {
  return v.m_dwType == DBVT_STRING || v.m_dwType == DBVT_ASTRING || v.m_dwType == DBVT_WSTRING;
}

// Case-insensitive membership. The comparison folds code unit by code unit, so only names of the same length
// can be equal: the length test spares the comparisons that a search over every family would repeat. The
// lists are constants with their lengths known at compile time, since every search tests every table.
template <std::size_t N>
bool IsOneOf(const CString& name, const std::wstring_view (&names)[N]) {
  const std::wstring& text = name.str();
  for (const std::wstring_view n : names)
    if (n.size() == text.size() && VdCompareNoCase(text, n) == 0) return true;
  return false;
}

// The catalog's own tables, and the tables that hold no patterns although a catalog may have them.
constexpr std::wstring_view kCatalogTables[] = {L"Definition", L"FamilyDescription", L"Units"};
constexpr std::wstring_view kNotFamilies[] = {L"Definition",   L"FamilyDescription",  L"Units",
                                              L"Paste Errors", L"CorespondenceTable", L"Types",
                                              L"Regulations",  L"Steel Curves"};

bool IsFamilyTable(const CVdODBCTableDefInfo& info) {
  return !(info.m_lAttributes & VD_TABLEDEF_SYSTEM) && !IsOneOf(info.m_strName, kNotFamilies) &&
         !CVdCatalogSchema::IsLibraryTable(info.m_strName);
}

// A record set that belongs to one call: closed when open and destroyed on every path out.
struct RecordsetCloser {
  void operator()(CVdRecordset* rs) const {
    Quietly([&] {
      if (rs->IsOpen()) rs->Close();
    });
    delete rs;
  }
};
using ScopedRecordset = std::unique_ptr<CVdRecordset, RecordsetCloser>;

// The family of a found row: the one asked for, else the table the row came from.
std::wstring FamilyOfRow(CVdRecordset& rs, const wchar_t* family) {
  if (family) return family;
  CODBCFieldInfoEx info;
  rs.GetFieldInfoEx(0, info, 3);
  return info.m_strTableName.str();
}

// The database's read group for its lifetime (CVdDatabase::BeginReadGroup), when given a database.
class ReadGroup {
 public:
  explicit ReadGroup(CVdDatabase* database) : m_database(database), m_began(database && database->BeginReadGroup()) {}
  // Only where it saves work (BeginSavingReadGroup).
  struct Saving {};
  ReadGroup(CVdDatabase* database, Saving)
      : m_database(database), m_began(database && database->BeginSavingReadGroup()) {}
  ~ReadGroup() {
    if (m_database) m_database->EndReadGroup(m_began);
  }
  ReadGroup(const ReadGroup&) = delete;
  ReadGroup& operator=(const ReadGroup&) = delete;

 private:
  CVdDatabase* m_database;
  BOOL m_began;
};

}  // namespace

template <typename Result, typename Work>
Result CVdPatternCatalog::Guarded(eFailure failure, Result failed, Work&& work) {
  return Guard(failed, work, [&](CDBException* e) {
    if (failure == eReport) OnDBException(e);
  });
}

template <typename Result, typename Work>
Result CVdPatternCatalog::GuardedRead(Result failed, Work&& work) {
  return Guard(failed, work, [&](CDBException* e) {
    if (IsDatabaseFailure(e)) OnDBException(e);
  });
}

// The connection and the two system record sets, shared by a catalog and its copies and released by the last.
// The record sets are declared after the connection, so they close first.
struct CVdPatternCatalog::SharedDatabase {
  struct Closer {
    void operator()(CVdDatabase* database) const {
      Quietly([&] {
        if (database->IsOpen()) database->Close();
      });
      delete database;
    }
  };
  explicit SharedDatabase(CVdDatabase* db) : database(db) {}

  std::unique_ptr<CVdDatabase, Closer> database;
  ScopedRecordset definition, familyDescription;
};

namespace {

// Deletes the catalog's factory when the catalog owns it; the flag may change while it is shared.
struct FactoryDeleter {
  bool owns;
  void operator()(CVdPatternFactory* factory) const {
    if (owns) delete factory;
  }
};

std::shared_ptr<CVdPatternFactory> ShareFactory(CVdPatternFactory* factory, bool owns) {
  if (!factory) return nullptr;
  return std::shared_ptr<CVdPatternFactory>(factory, FactoryDeleter{owns});
}

}  // namespace

CVdDatabase* CVdPatternCatalog::Database() const {
  return m_sharedDatabase ? m_sharedDatabase->database.get() : nullptr;
}
CVdRecordset* CVdPatternCatalog::DefinitionRS() const {
  return m_sharedDatabase ? m_sharedDatabase->definition.get() : nullptr;
}
CVdRecordset* CVdPatternCatalog::FamilyDescriptionRS() const {
  return m_sharedDatabase ? m_sharedDatabase->familyDescription.get() : nullptr;
}
const CVdPatternFactory* CVdPatternCatalog::GetFactory() const { return Factory(); }
const CVdRecordset* CVdPatternCatalog::GetFamilyDescriptionRS() const { return FamilyDescriptionRS(); }

// ---------------------------------------------------------------- construction and copies

CVdPatternCatalog::CVdPatternCatalog(const wchar_t* path, CVdPatternFactory* factory, bool ownsFactory) {
  m_factory = ShareFactory(factory, ownsFactory);
  if (path) Open(path);
}

CVdPatternCatalog::CVdPatternCatalog(CVdDatabase* database, CVdPatternFactory* factory, bool ownsFactory)
    : CVdPatternCatalog(static_cast<const wchar_t*>(nullptr), factory, ownsFactory) {
  if (!database) return;
  AdoptDatabase(database);
  if (!IsDBCatalog()) return;
  m_strPath = database->GetDatabaseName();
  if (LastSeparator(m_strPath.str()) != std::wstring::npos || vdpattern::db::IsServerAddress(m_strPath.str()))
    SetNameFromPath();
}

CVdPatternCatalog::CVdPatternCatalog(const CVdPatternCatalog& other) { *this = other; }

CVdPatternCatalog& CVdPatternCatalog::operator=(const CVdPatternCatalog& other) {
  if (this == &other) return *this;
  m_bHasUnits = other.m_bHasUnits;
  m_units = other.m_units;
  m_strPath = other.m_strPath;
  m_strName = other.m_strName;
  m_familyCodes = other.m_familyCodes;
  m_bMatchSpellings = other.m_bMatchSpellings;
  m_nameIndex = other.m_nameIndex;
  m_scannedNames = other.m_scannedNames;
  m_nameColumns = other.m_nameColumns;
  m_nameColumnsRead = other.m_nameColumnsRead;
  m_sharedDatabase = other.m_sharedDatabase;
  m_factory = other.m_factory;
  return *this;
}

CVdPatternCatalog::~CVdPatternCatalog() { CVdPatternCatalog::Close(); }

void CVdPatternCatalog::Dump() {}

// ---------------------------------------------------------------- factory

void CVdPatternCatalog::AttachFactory(CVdPatternFactory* factory, bool ownsFactory) {
  if (factory && factory == Factory()) {
    // The same factory again: keep it alive and take the new ownership only.
    std::get_deleter<FactoryDeleter>(m_factory)->owns = ownsFactory;
    return;
  }
  m_factory = ShareFactory(factory, ownsFactory);
}

CVdPatternFactory* CVdPatternCatalog::CreateFactory() { return new CVdPatternFactory(); }

CVdPatternFactory* CVdPatternCatalog::GetFactoryObject() { return Factory() ? Factory() : CreateFactory(); }

bool CVdPatternCatalog::EnsureFactory() {
  if (Factory()) return true;
  // A factory the catalog made itself is always its own to release.
  m_factory = ShareFactory(CreateFactory(), true);
  return Factory() != nullptr;
}

// ---------------------------------------------------------------- opening and closing

void CVdPatternCatalog::AdoptDatabase(CVdDatabase* database) {
  m_nameIndex = eNameIndexUnknown;  // another file, or the same one changed meanwhile
  m_scannedNames.clear();
  m_nameColumnsRead = false;
  m_sharedDatabase = std::make_shared<SharedDatabase>(database);
}

void CVdPatternCatalog::ReleaseDatabase() { m_sharedDatabase.reset(); }

bool CVdPatternCatalog::OpenSystemRecordsets() {
  SharedDatabase& shared = *m_sharedDatabase;
  CString statement;
  statement.Format(L"Select * From [%s]", L"Definition");
  shared.definition.reset(new CVdRecordset(Database()));
  shared.definition->Open(0, statement, 0);
  shared.definition->MoveFirst();
  statement.Format(L"Select * From [%s]", L"FamilyDescription");
  shared.familyDescription.reset(new CVdRecordset(Database()));
  shared.familyDescription->Open(0, statement, 0);
  if (shared.familyDescription->GetRecordCount() > 0) shared.familyDescription->MoveFirst();
  return true;
}

void CVdPatternCatalog::SetNameFromPath() {
  const std::wstring& path = m_strPath.str();
  // A server address has no file name: the catalog is named after its schema, as Open names it.
  if (vdpattern::db::IsServerAddress(path)) {
    try {
      m_strName = CString(VdFromUtf8(vdpattern::db::ParseServerAddress(path).catalog).c_str());
    } catch (CDBException* e) {
      e->Delete();  // the connection was opened with this address, so it parsed then
    }
    return;
  }
  // A link file is named after the server catalog it reaches (see the header); the open just read it.
  std::ifstream file(VdToUtf8(path), std::ios::binary);
  unsigned char head[64] = {};
  file.read(reinterpret_cast<char*>(head), sizeof head);
  try {
    if (vdpattern::db::IsLinkFileHeader(head, static_cast<std::size_t>(file.gcount()))) {
      m_strName = CString(VdFromUtf8(vdpattern::db::ReadLinkFile(m_strPath).catalog).c_str());
      return;
    }
  } catch (CDBException* e) {
    e->Delete();  // the file went away since the open: named by its path, as any file
  }
  const std::size_t separator = LastSeparator(path);
  const std::size_t dot = path.rfind(L'.');
  const std::size_t start = separator == std::wstring::npos ? 0 : separator + 1;
  m_strName = (dot == std::wstring::npos || dot < start) ? CString() : CString(path.substr(start, dot - start));
}

CVdDatabase* CVdPatternCatalog::NewConnection(const CString& path) {
  std::unique_ptr<CVdDatabase> database(new CVdDatabase());
  return Guarded(eReport, static_cast<CVdDatabase*>(nullptr), [&] {
    database->Open(path, 0, 0);
    return database.release();
  });
}

bool CVdPatternCatalog::OpenAt(const CString& path) {
  CVdDatabase* database = NewConnection(path);
  if (!database) return false;
  Close();
  AdoptDatabase(database);
  if (!Guarded(eReport, false, [&] { return OpenSystemRecordsets() && (FillUnitsPool(), true); })) {
    Close();
    return false;
  }
  return true;
}

bool CVdPatternCatalog::Open(const wchar_t* path) {
  std::wstring full = path ? path : L"";
  // A server address is used as given: it has no folder and no extension.
  const bool server = vdpattern::db::IsServerAddress(full);
  if (server) {
    if (!OpenAt(CString(full))) return false;
    m_strPath = CString(full);
    // The catalog's name is its schema's (empty for the database's default schema).
    try {
      m_strName = CString(VdFromUtf8(vdpattern::db::ParseServerAddress(full).catalog).c_str());
    } catch (CDBException* e) {
      e->Delete();  // the address was parsed once already, by the open that just succeeded
    }
    return true;
  }
  if (LastSeparator(full) == std::wstring::npos) {
    const std::wstring directory = VdCurrentDirectory();
    full = directory + (!directory.empty() && directory.back() == L'/' ? L"" : L"/") + full;
  }
  if (full.find(L'.') == std::wstring::npos) full += c_szExt;

  if (!OpenAt(CString(full))) return false;
  std::wstring stored = Database()->GetDatabaseName().str();
  const std::size_t dot = stored.rfind(L'.');
  const std::size_t separator = LastSeparator(stored);
  if (dot == std::wstring::npos || (separator != std::wstring::npos && dot < separator)) stored += c_szExt;
  m_strPath = stored;
  if (LastSeparator(stored) != std::wstring::npos) SetNameFromPath();
  return true;
}

CVdPatternCatalog::eOpenDBRetCode CVdPatternCatalog::OpenDB() {
  if (IsOpened()) return eOpenDBAlreadyOpen;
  if (m_strPath.IsEmpty()) return eOpenDBFailed;
  CVdDatabase* database = NewConnection(m_strPath);
  if (!database) return eOpenDBFailed;
  CloseDB();
  AdoptDatabase(database);
  if (!Guarded(eReport, false, [&] { return OpenSystemRecordsets(); })) {
    CloseDB();
    return eOpenDBFailed;
  }
  return eOpenDBOpened;
}

bool CVdPatternCatalog::IsDBCatalog() {
  if (Guarded(eReport, false, [&] { return OpenSystemRecordsets(); })) return true;
  Close();
  return false;
}

bool CVdPatternCatalog::IsOpened() const { return Database() && Database()->IsOpen(); }

bool CVdPatternCatalog::CanWrite() const { return Database() && Database()->CanUpdate(); }

void CVdPatternCatalog::Close() {
  if (!Database()) return;
  ReleaseDatabase();
  m_strPath.Empty();
  m_strName.Empty();
  m_familyCodes.clear();
  m_units.clear();
  m_history = eHistoryUnknown;
  m_historyBatch.reset();
}

void CVdPatternCatalog::CloseDB() { ReleaseDatabase(); }

// ---------------------------------------------------------------- recognition and metadata

namespace {

CString DefinitionText(CVdRecordset* definition, const wchar_t* column) {
  if (!definition) return CString();
  CDBVariant value;
  definition->GetFieldValue(column, value);
  return DBV_BSTRAll(&value);
}

}  // namespace

CString CVdPatternCatalog::GetTypeName() {
  if (!DefinitionRS()) return CString();
  return Guarded(eQuiet, CString(), [&] { return DefinitionText(DefinitionRS(), L"def_name"); });
}

bool CVdPatternCatalog::ReadCatalogType() { return !Factory() || Factory()->IsValidCatalog(GetTypeName()); }

bool CVdPatternCatalog::IsCatalog() { return ReadCatalogType(); }

CString CVdPatternCatalog::GetEditorName() { return DefinitionText(DefinitionRS(), L"def_editorName"); }

CString CVdPatternCatalog::GetLastUpdateDate() { return DefinitionText(DefinitionRS(), L"def_lastUpdate"); }

int CVdPatternCatalog::GetVerNumber() {
  if (!DefinitionRS()) return 0;
  CDBVariant value;
  DefinitionRS()->GetFieldValue(L"def_version", value);
  if (value.m_dwType == DBVT_LONG) return value.m_lVal;
  // A version stored with another type is read as the number it holds.
  const COleVariant converted = CVdRecordset::getOLEVariant(value);
  return static_cast<int>(VariantToLong(&converted));
}

void CVdPatternCatalog::SetName(const CString& typeName) {
  if (!DefinitionRS()) return;
  DefinitionRS()->Edit();
  DefinitionRS()->SetFieldValue(L"def_name", typeName.GetString());
  UpdateDate(false);
  DefinitionRS()->Update();
}

void CVdPatternCatalog::SetEditorName(const CString& editor) {
  if (!DefinitionRS()) return;
  DefinitionRS()->Edit();
  DefinitionRS()->SetFieldValue(L"def_editorName", editor.GetString());
  UpdateDate(false);
  DefinitionRS()->Update();
}

void CVdPatternCatalog::SetVerNumber(int version) {
  if (!DefinitionRS()) return;
  DefinitionRS()->Edit();
  DefinitionRS()->SetFieldValue(L"def_version", COleVariant(static_cast<long>(version), VT_I4));
  UpdateDate(false);
  DefinitionRS()->Update();
}

void CVdPatternCatalog::UpdateDate(bool editAndUpdate) {
  if (!DefinitionRS()) return;
  const wchar_t* date = VdDateStamp();
  if (editAndUpdate) {
    // A stamp that is already today's is not written again: an import of many rows would otherwise write the
    // "Definition" row once per pattern (two statements of every seven the insert of a row runs).
    CDBVariant current;
    DefinitionRS()->GetFieldValue(L"def_lastUpdate", current);
    if ((current.m_dwType == DBVT_WSTRING || current.m_dwType == DBVT_STRING || current.m_dwType == DBVT_ASTRING) &&
        DBV_BSTRAll(&current) == date)
      return;
    DefinitionRS()->Edit();
  }
  DefinitionRS()->SetFieldValue(L"def_lastUpdate", date);
  if (editAndUpdate) DefinitionRS()->Update();
}

// ---------------------------------------------------------------- errors and fixed results

void CVdPatternCatalog::OnDBException(CDBException* e) {
  MessageBoxW(nullptr, GetDBExceptionString(e), L"Erreur DB", MB_OK);
}

CString CVdPatternCatalog::GetDBExceptionString(CDBException* e) { return e ? e->GetReportText() : CString(); }

void CVdPatternCatalog::SubStringReplace(const wchar_t* source, const wchar_t* find, const wchar_t* replacement,
                                         CString& out) {
  out = source;
  out.Replace(find, replacement);
}

bool CVdPatternCatalog::CompactDatabase(const wchar_t*, bool) { return false; }

CVdPatternCatalog* CVdPatternCatalog::CreateLike(const wchar_t*, CVdPatternFactory*, bool) { return nullptr; }

// ---------------------------------------------------------------- families

bool CVdPatternCatalog::FindFamily(const wchar_t* table) {
  if (!table || !*table || !Database()) return false;
  return Guarded(eReport, false, [&] {
    CVdODBCTableDefInfo info;
    Database()->GetTableDefInfo(table, info);
    if (info.m_lAttributes & VD_TABLEDEF_SYSTEM) return false;
    return !IsOneOf(info.m_strName, kCatalogTables) && !CVdCatalogSchema::IsLibraryTable(info.m_strName);
  });
}

bool CVdPatternCatalog::GetFamilies(std::list<std::wstring>& families) {
  if (!Database()) return false;
  return Guarded(eReport, false, [&] {
    const int count = Database()->GetTableDefCount();
    CVdODBCTableDefInfo info;
    for (unsigned int i = 0; i < static_cast<unsigned int>(count); ++i) {
      Database()->GetTableDefInfo(i, info);
      if (IsFamilyTable(info)) families.push_back(info.m_strName.str());
    }
    return true;
  });
}

bool CVdPatternCatalog::GetFamilyCode(const wchar_t* family, wchar_t* code) {
  if (code) code[0] = L'\0';
  if (m_familyCodes.empty() && FamilyDescriptionRS()) {
    const bool read = Guarded(eQuiet, false, [&] {
      if (FamilyDescriptionRS()->GetRecordCount() < 1) return true;
      CDBVariant name, value;
      for (FamilyDescriptionRS()->MoveFirst(); !FamilyDescriptionRS()->IsEOF(); FamilyDescriptionRS()->MoveNext()) {
        FamilyDescriptionRS()->GetFieldValue(L"Name", name);
        FamilyDescriptionRS()->GetFieldValue(L"FamilyCode", value);
        std::wstring familyCode = Upper(DBV_BSTRAll(&value).str());
        if (!familyCode.empty()) m_familyCodes.emplace(Upper(DBV_BSTRAll(&name).str()), std::move(familyCode));
      }
      return true;
    });
    if (!read) m_familyCodes.clear();
  }
  auto it = m_familyCodes.find(Upper(family ? family : L""));
  // A family another connection described after this one read the descriptions (a family added after the
  // catalog was attached): they are read again, with the units, once per miss; codes already found stay.
  if (it == m_familyCodes.end() && family && *family && FamilyDescriptionRS() && FamilyDescriptionRS()->IsOpen() &&
      Guarded(eQuiet, false, [&] { return FamilyDescriptionRS()->Requery() != FALSE; })) {
    CDBVariant name, value;
    const bool read = Guarded(eQuiet, false, [&] {
      for (FamilyDescriptionRS()->MoveFirst(); !FamilyDescriptionRS()->IsEOF(); FamilyDescriptionRS()->MoveNext()) {
        FamilyDescriptionRS()->GetFieldValue(L"Name", name);
        FamilyDescriptionRS()->GetFieldValue(L"FamilyCode", value);
        std::wstring familyCode = Upper(DBV_BSTRAll(&value).str());
        if (!familyCode.empty()) m_familyCodes.emplace(Upper(DBV_BSTRAll(&name).str()), std::move(familyCode));
      }
      return true;
    });
    it = m_familyCodes.find(Upper(family));
    if (read && it != m_familyCodes.end() && !m_units.count(Upper(family))) FillUnitsPool();
  }
  if (it == m_familyCodes.end() || it->second.size() >= kFamilyCodeBuffer) return false;
  if (code) std::wcscpy(code, it->second.c_str());
  return true;
}

void CVdPatternCatalog::ClearFamiliesCode() { m_familyCodes.clear(); }

bool CVdPatternCatalog::GetFamilyDescriptionField(const wchar_t* column, COleVariant& value) {
  if (!FamilyDescriptionRS()) return false;
  return Guarded(eQuiet, false, [&] {
    CDBVariant cell;
    FamilyDescriptionRS()->GetFieldValue(column, cell);
    value = CVdRecordset::getOLEVariant(cell);
    return true;
  });
}

bool CVdPatternCatalog::GetFamilyDescriptionField(int column, COleVariant& value) {
  if (!FamilyDescriptionRS()) return false;
  return Guarded(eQuiet, false, [&] {
    CDBVariant cell;
    FamilyDescriptionRS()->GetFieldValue(static_cast<short>(column), cell);
    value = CVdRecordset::getOLEVariant(cell);
    return true;
  });
}

namespace {

// Edit, set one column of the current row, Update; a failure drops the edit and is released.
template <typename Set>
bool EditFamilyDescription(CVdRecordset* rs, Set set) {
  if (!rs) return false;
  const bool stored = Guard(
      false,
      [&] {
        rs->Edit();
        set(*rs);
        rs->Update();
        return true;
      },
      [](CDBException*) {});
  if (!stored) Quietly([&] { rs->CancelUpdate(); });
  return stored;
}

}  // namespace

bool CVdPatternCatalog::SetFamilyDescriptionField(const wchar_t* column, const COleVariant& value) {
  return EditFamilyDescription(FamilyDescriptionRS(), [&](CVdRecordset& rs) { rs.SetFieldValue(column, value); });
}

bool CVdPatternCatalog::SetFamilyDescriptionField(int column, const COleVariant& value) {
  return EditFamilyDescription(FamilyDescriptionRS(), [&](CVdRecordset& rs) { rs.SetFieldValue(column, value); });
}

bool CVdPatternCatalog::SetFamilyDescriptionField(const wchar_t* column, const wchar_t* value) {
  return EditFamilyDescription(FamilyDescriptionRS(), [&](CVdRecordset& rs) { rs.SetFieldValue(column, value); });
}

bool CVdPatternCatalog::SetFamilyDescriptionField(int column, const wchar_t* value) {
  const COleVariant text(value, VT_BSTR);
  return EditFamilyDescription(FamilyDescriptionRS(), [&](CVdRecordset& rs) { rs.SetFieldValue(column, text); });
}

long CVdPatternCatalog::EnumerateProperties(const wchar_t*, IEnumPropFamily** enumerator) {
  if (enumerator) *enumerator = nullptr;
  return E_POINTER;
}

// ---------------------------------------------------------------- queries

namespace {

// Whether the catalog lists its families with the base class's GetFamilies, so that the engine may list them
// itself in a search of all families.
bool ListsFamiliesAsBase(const CVdPatternCatalog& catalog) {
  static const CVdPatternCatalog reference;
  return KeepsBaseSlot(catalog, reference, &CVdPatternCatalog::GetFamilies);
}

}  // namespace

CVdRecordset* CVdPatternCatalog::InternalFindPattern(const wchar_t* name, const wchar_t* family, bool& found) {
  found = false;
  if (!Database()) return nullptr;
  ScopedRecordset rs(new CVdRecordset(Database()));  // handed to the caller when the search ends well
  // Everything after the table's name is the same for every family.
  static constexpr std::wstring_view kHead = L"Select * From [";
  const std::wstring tail = L"] WHERE Name = " + VdQuoteText(name ? name : L"").str();
  CString statement;
  // Probes the tables in order until one holds the name; false after a failure reported.
  const auto search = [&](const std::list<std::wstring>& families) {
    for (const std::wstring& table : families) {
      // A name holding ']' cannot be written between brackets: it would end the name early and the rest would
      // be read as SQL ("Beams] --" reads every row of Beams, and a removal would then delete one of them).
      if (!IsBracketable(table)) continue;
      try {
        if (rs->IsOpen()) rs->Close();
        // "Select * From [%s] WHERE Name = '%s'", appended rather than formatted: formatting cost a search
        // more than the engine's probe of the table.
        statement.str().assign(kHead.data(), kHead.size()).append(table).append(tail);
        rs->Open(0, statement, 0);
        if (rs->GetRecordCount() > 0) {
          rs->MoveFirst();
          found = true;
          return true;
        }
      } catch (CDBException* e) {
        // A family that cannot answer is passed over, but a lock timeout or a lost connection says nothing about
        // the family: taken for "not there", it would make an insert add a second row, a removal report a name
        // as missing, and a lookup answer null as for a name no family holds.
        if (e->m_nRetCode == SQL_ERROR && !IsDatabaseFailure(e)) {
          e->Delete();
          continue;
        }
        OnDBException(e);
        e->Delete();
        return false;
      }
    }
    return true;
  };

  if (family) return search({family}) ? rs.release() : nullptr;

  // One statement asks every family at once (on a server, round trips would otherwise grow with the number of
  // families; in a file, the engine probes them all in one step under one lock); the row is then read from the
  // family it names. A row removed in between, or an engine that does not answer so, leaves the search to the
  // walk below.
  if (ListsFamiliesAsBase(*this)) {
    CString first;
    int probed = -1;
    try {
      probed = Database()->FindFirstTableHolding(
          [](const CVdODBCTableDefInfo& info) { return IsFamilyTable(info) && IsBracketable(info.m_strName.str()); },
          L"Name", name ? name : L"", first);
    } catch (CDBException* e) {
      OnDBException(e);
      e->Delete();
      return nullptr;
    }
    if (probed == 0) return rs.release();
    if (probed == 1) {
      if (!search({first.str()})) return nullptr;
      if (found) return rs.release();
    }
  }
  // A walk over the families reads the table list and up to one table per family: one read transaction makes
  // it lock the file once and see one state of it.
  ReadGroup reads(Database());
  std::list<std::wstring> families;
  GetFamilies(families);
  return search(families) ? rs.release() : nullptr;
}

bool CVdPatternCatalog::FindPattern(const wchar_t* name, const wchar_t* family) {
  bool found = false;
  ScopedRecordset rs(InternalFindPattern(name, family, found));
  if (found || !m_bMatchSpellings) return found;
  std::vector<NameMatch> matches;
  return FindNames(name, family, matches) && matches.size() == 1;
}

CVdPattern* CVdPatternCatalog::GetPattern(const wchar_t* name, const wchar_t* family) {
  return ReadPattern(name, family, nullptr);
}

CVdPattern* CVdPatternCatalog::GetPatternWithRow(const wchar_t* name, const wchar_t* family, StoredRow& row) {
  row = StoredRow();
  return ReadPattern(name, family, &row);
}

CVdPattern* CVdPatternCatalog::ReadPattern(const wchar_t* name, const wchar_t* family, StoredRow* row) {
  bool found = false;
  ScopedRecordset rs(InternalFindPattern(name, family, found));
  if (!found) {
    if (!m_bMatchSpellings) return nullptr;
    rs.reset();
    // On a file, the candidates and the row they lead to are read under one lock.
    ReadGroup reads(Database(), ReadGroup::Saving{});
    return GetPatternBySpelling(name, family, row);
  }
  CVdPattern* pattern = Guarded(eReport, static_cast<CVdPattern*>(nullptr), [&]() -> CVdPattern* {
    const std::wstring upper = Upper(FamilyOfRow(*rs, family));
    wchar_t code[kFamilyCodeBuffer];
    if (!GetFamilyCode(upper.c_str(), code) || !EnsureFactory()) return nullptr;
    if (row) {
      // Taken before the factory reads the row: what it reads is then exactly what is handed back.
      CDBVariant cell;
      for (short c = 0, n = rs->GetODBCFieldCount(); c < n; ++c) {
        CODBCFieldInfo info;
        rs->GetODBCFieldInfo(c, info);
        rs->GetFieldValue(c, cell);
        row->columns.push_back(info.m_strName.str());
        row->values.push_back(CVdRecordset::getOLEVariant(cell));
      }
    }
    CVdPatternFactory::RowReading reading(m_units[upper], false);
    CVdPattern* read = ReadRow(rs.get(), upper.c_str(), code, reading);
    if (read) {
      read->SetCatalog(m_strName);
      read->SetPatternType(CVdPattern::ePatternTypeCatalog);
    }
    return read;
  });
  if (!pattern && row) *row = StoredRow();
  return pattern;
}

bool CVdPatternCatalog::GetFamilyPattern(CVdPatternPool* pool, const wchar_t* family, const wchar_t* nameFilter) {
  if (!family || !*family || !IsBracketable(family) || !EnsureFactory() || !pool || !Database()) return false;
  CString statement;
  if (!nameFilter || !*nameFilter) {
    statement.Format(L"SELECT * FROM [%s]", family);
  } else {
    statement.Format(L"SELECT * FROM [%s] WHERE Name Like %s", family, VdQuoteText(nameFilter));
  }
  ScopedRecordset rs(new CVdRecordset(Database()));
  return GuardedRead(false, [&] {
    rs->Open(1, statement, 0);
    const std::wstring upper = Upper(family);
    wchar_t code[kFamilyCodeBuffer];
    if (!GetFamilyCode(upper.c_str(), code)) {
      rs->Close();
      return false;
    }
    if (rs->GetRecordCount() > 0) {
      CVdPatternFactory::RowReading reading(m_units[upper], m_bHasUnits);
      for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
        std::unique_ptr<CVdPattern> pattern(ReadRow(rs.get(), family, code, reading));
        if (!pattern) continue;
        pattern->SetCatalog(m_strName);
        if (pool->AddPattern(pattern.get(), false)) pattern.release();  // else a duplicate the pool refused
      }
    }
    rs->Close();
    return true;
  });
}

bool CVdPatternCatalog::GetFamilyPatternSQL(CVdPatternPool* pool, const CString& statement, const CString& family) {
  if (!EnsureFactory() || !pool || !Database()) return false;
  ScopedRecordset rs(new CVdRecordset(Database()));
  return GuardedRead(false, [&] {
    wchar_t code[kFamilyCodeBuffer] = L"";
    rs->Open(1, statement, 0);
    if (rs->GetRecordCount() > 0) {
      rs->MoveFirst();
      const std::wstring upper = Upper(family.str());
      if (!upper.empty()) GetFamilyCode(upper.c_str(), code);
      CVdPatternFactory::RowReading familyReading(m_units[upper], m_bHasUnits);
      std::optional<CVdPatternFactory::RowReading> rowReading;  // for rows that name their own family
      for (; !rs->IsEOF(); rs->MoveNext()) {
        std::wstring rowFamily = upper;
        const wchar_t* rowCode = code;
        if (upper.empty()) {
          CDBVariant first;
          rs->GetFieldValue(short(0), first);
          rowFamily = Upper(DBV_BSTRAll(&first).str());
          rowCode = L"";
        }
        // Without a family each row names its own, and so its own units.
        if (upper.empty()) rowReading.emplace(m_units[rowFamily], m_bHasUnits);
        std::unique_ptr<CVdPattern> pattern(
            ReadRow(rs.get(), rowFamily.c_str(), rowCode, upper.empty() ? *rowReading : familyReading));
        if (!pattern) continue;
        pattern->SetCatalog(m_strName);
        pattern->SetPatternType(CVdPattern::ePatternTypeCatalog);
        if (pool->AddPattern(pattern.get(), true)) pattern.release();
      }
    }
    rs->Close();
    return true;
  });
}

CVdPatternCatalog::eFunctionThreeState CVdPatternCatalog::GetMaxValue(const wchar_t* table, const wchar_t* valueColumn,
                                                                      const wchar_t* keyColumn,
                                                                      CVdPatternValue& value) {
  if (!Database() || !table || !valueColumn || !keyColumn) return eFunctionFailed;
  // The key is a text between quotes, like every name the catalog looks up.
  const CString key = VdQuoteText(value.vt == VT_BSTR ? CString(value.bstrVal) : VariantToString(&value, true));
  const CString column(valueColumn);
  ScopedRecordset rs(new CVdRecordset(Database()));
  return Guarded(eReport, eFunctionFailed, [&]() -> CVdPatternCatalog::eFunctionThreeState {
    const CString countStatement = L"SELECT COUNT(*) as NrLines, MAX(" + column + L") as maxim \n" + L"FROM " + table +
                                   L"\n" + L"WHERE " + keyColumn + L" = " + key;
    rs->Open(0, countStatement, 0);
    CDBVariant cell;
    rs->GetFieldValue(L"nrLines", cell);
    const COleVariant count = CVdRecordset::getOLEVariant(cell);
    eFunctionThreeState result;
    switch (VariantToLong(&count)) {
      case 0: {
        const CString maxStatement =
            L"SELECT IIF(IsNull(MAX(" + column + L")), 0, MAX(" + column + L")) AS maxim \n" + L"FROM " + table;
        rs->Close();
        rs->Open(0, maxStatement, 0);
        rs->MoveFirst();
        result = eFunctionNotFound;
        break;
      }
      case 1:
        result = eFunctionFound;
        break;
      default:
        return eFunctionFailed;
    }
    rs->GetFieldValue(L"maxim", cell);
    value = CVdPatternValue(CVdRecordset::getOLEVariant(cell));
    return result;
  });
}

// ---------------------------------------------------------------- writing

bool CVdPatternCatalog::InsertPattern(CVdPattern* pattern, bool append) {
  if (!pattern || !Database()) return false;
  const CString family = pattern->GetFamily();
  if (!IsBracketable(family.str())) return false;
  return Guarded(eReport, false, [&] {
    // The lookup and the write are one group: a second writer of the same new name waits for this one and then
    // finds its row, instead of adding a second one; and a write that fails half-way (the row written, the
    // date not) leaves nothing behind.
    WriteGroup group(Database());
    bool found = false;
    ScopedRecordset rs;
    if (append) {
      // An empty result of the table is all a new row needs: opening the table itself would read every row.
      rs.reset(new CVdRecordset(Database()));
      rs->Open(0, L"Select * From [" + family + L"] WHERE 0", 0);
    } else {
      rs.reset(InternalFindPattern(pattern->GetUserNameW(), family, found));
    }
    if (!rs) return false;
    wchar_t code[kFamilyCodeBuffer];
    if (!GetFamilyCode(family, code) || !EnsureFactory()) return false;
    const RowSnapshot before = found ? Snapshot(*rs) : RowSnapshot();
    if (found) {
      rs->Edit();
    } else {
      rs->AddNew();
      if (!append) rs->SetFieldValue(L"Name", pattern->GetUserNameW().GetString());
    }
    if (!StoreRow(*rs, pattern, code, family.str())) return false;
    if (!found) rs->MoveLast();  // the new row is appended to the result
    // The table's own spelling of the family: a pattern's family is folded to lower case.
    if (!found) NoteName(family.str(), pattern->GetUserNameW().str(), true);
    RecordWrite(FamilyOfRow(*rs, nullptr).c_str(), pattern->GetUserNameW(),
                found ? vdpattern::catalog::kChangeModify : vdpattern::catalog::kChangeInsert, before, Snapshot(*rs));
    group.Keep();
    return true;
  });
}

bool CVdPatternCatalog::BeginWriteGroup() {
  if (!Database()) return false;
  Database()->BeginWriteGroup();
  return true;
}

void CVdPatternCatalog::EndWriteGroup(bool keep) {
  if (!Database()) return;
  if (keep) {
    Database()->EndWriteGroup(TRUE);
    return;
  }
  Quietly([&] { Database()->EndWriteGroup(FALSE); });
}

bool CVdPatternCatalog::IsWriteGroupLost() const { return Database() && Database()->IsTransactionLost(); }

long CVdPatternCatalog::CountPatterns(const wchar_t* family, long limit) {
  if (!Database() || !family || !*family || !IsBracketable(family)) return -1;
  CString rows = L"[" + CString(family) + L"]";
  // The subquery is named: a server refuses one without an alias.
  if (limit > 0) rows.Format(L"(SELECT 1 FROM [%s] LIMIT %ld) AS [first_rows]", family, limit);
  ScopedRecordset rs(new CVdRecordset(Database()));
  return Guarded(eReport, -1L, [&] {
    rs->Open(0, L"SELECT COUNT(*) AS n FROM " + rows, 0);
    CDBVariant cell;
    rs->GetFieldValue(short(0), cell);
    const COleVariant count = CVdRecordset::getOLEVariant(cell);
    return VariantToLong(&count);
  });
}

bool CVdPatternCatalog::CountFamilies(const std::list<std::wstring>& families, std::map<std::wstring, long>& counts) {
  if (!Database()) return false;
  // A file engine takes at most 500 terms in one compound statement.
  constexpr std::size_t kPerStatement = 400;
  std::vector<const std::wstring*> batch;
  bool all = true;
  const auto count = [&] {
    CString statement;
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (k) statement += L" UNION ALL ";
      CString term;
      term.Format(L"SELECT %u AS k, COUNT(*) AS n FROM [%s]", static_cast<unsigned>(k), batch[k]->c_str());
      statement += term;
    }
    ScopedRecordset rs(new CVdRecordset(Database()));
    std::map<std::wstring, long> found;
    const bool read = GuardedRead(false, [&] {
      rs->Open(0, statement, 0);
      CDBVariant cell;
      for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
        rs->GetFieldValue(short(0), cell);
        const COleVariant k = CVdRecordset::getOLEVariant(cell);
        rs->GetFieldValue(short(1), cell);
        const COleVariant n = CVdRecordset::getOLEVariant(cell);
        const long index = VariantToLong(&k);
        if (index < 0 || static_cast<std::size_t>(index) >= batch.size()) return false;
        found[*batch[static_cast<std::size_t>(index)]] = VariantToLong(&n);
      }
      return found.size() == batch.size();
    });
    if (read) counts.insert(found.begin(), found.end());
    all = all && read;
    batch.clear();
  };
  for (const std::wstring& family : families) {
    if (!IsBracketable(family)) {
      all = false;
      continue;
    }
    batch.push_back(&family);
    if (batch.size() == kPerStatement) count();
  }
  if (!batch.empty()) count();
  return all;
}

namespace {

struct LessNoCase {
  bool operator()(const std::wstring& a, const std::wstring& b) const { return VdCompareNoCase(a, b) < 0; }
};

// Names a statement, for the lookup of names a batch of patterns may already have: 5,000 bound texts stay within
// every engine's limit of parameters.
constexpr std::size_t kNamesPerLookup = 5000;

// Reads the rows of `family` holding `names` (name(i) of i < count), a statement per kNamesPerLookup names:
// `each` takes each statement's open record set.
template <typename Name, typename Each>
void ReadRowsNamed(CVdDatabase* db, const CString& family, const char* columns, std::size_t count, Name name,
                   Each each) {
  for (std::size_t first = 0; first < count; first += kNamesPerLookup) {
    CString in;
    const std::size_t end = std::min(count, first + kNamesPerLookup);
    for (std::size_t i = first; i < end; ++i) in += (i == first ? L"" : L", ") + VdQuoteText(name(i));
    CVdRecordset rows(db);
    rows.Open(
        0, L"SELECT " + CString(VdFromUtf8(columns).c_str()) + L" FROM [" + family + L"] WHERE [Name] IN (" + in + L")",
        0);
    each(rows);
  }
}

// The cell of the Name column of `rows`, or -1.
short NameCell(CVdRecordset& rows) {
  for (short c = 0, n = rows.GetODBCFieldCount(); c < n; ++c) {
    CODBCFieldInfo info;
    rows.GetODBCFieldInfo(c, info);
    if (info.m_strName.CompareNoCase(L"Name") == 0) return c;
  }
  return -1;
}

}  // namespace

// A history batch of a write's own, when `wanted` (the caller holds none): Keep() writes it before the write
// returns, and a failure midway drops it, so that no batch is left behind for the next write.
class CVdPatternCatalog::OwnBatch {
 public:
  OwnBatch(CVdPatternCatalog& catalog, bool wanted) : m_catalog(catalog), m_own(wanted) {
    if (m_own) m_catalog.BeginHistoryBatch();
  }
  ~OwnBatch() {
    if (m_own) m_catalog.EndHistoryBatch(false);
  }
  OwnBatch(const OwnBatch&) = delete;
  OwnBatch& operator=(const OwnBatch&) = delete;
  bool Keep() {
    const bool own = m_own;
    m_own = false;
    return !own || m_catalog.EndHistoryBatch(true);
  }

 private:
  CVdPatternCatalog& m_catalog;
  bool m_own;
};

// The history of rows a batch inserted: each row's values as stored (the insert's own answer on a server, else read
// back a statement per kNamesPerLookup names), recorded as one set (the caller's open batch, or one of its own,
// written before this returns).
bool CVdPatternCatalog::RecordInserted(const CString& family, const CString& table,
                                       const std::vector<std::wstring>& names, CVdRecordset* written) {
  OwnBatch batch(*this, !m_historyBatch);
  const auto record = [&](CVdRecordset& rows) {
    const std::vector<std::wstring> columns = vdpattern::catalog::InsertedNames(rows);
    for (const short nameCell = NameCell(rows); nameCell >= 0 && !rows.IsEOF(); rows.MoveNext()) {
      CDBVariant name;
      rows.GetFieldValue(nameCell, name);
      RecordEncoded(table, DBV_BSTRAll(&name), vdpattern::catalog::kChangeInsert,
                    vdpattern::catalog::EncodeInserted(rows, columns));
    }
  };
  if (written) {
    written->MoveFirst();
    record(*written);
  }
  if (!written)
    ReadRowsNamed(
        Database(), family, "*", names.size(), [&](std::size_t i) { return CString(names[i]); }, record);
  return batch.Keep();
}

bool CVdPatternCatalog::InsertPatterns(const std::vector<CVdPattern*>& patterns, bool append) {
  if (!Database() || patterns.empty()) return Database() != nullptr;
  const CString family = patterns.front() ? patterns.front()->GetFamily() : CString();
  if (!IsBracketable(family.str())) return false;
  for (CVdPattern* pattern : patterns)
    if (!pattern || pattern->GetFamily().CompareNoCase(family) != 0) return false;
  const std::size_t held = HistoryHeld();
  const bool written = Guarded(eReport, false, [&] {
    WriteGroup group(Database());
    if (!WritePatterns(patterns, append)) return false;
    group.Keep();
    return true;
  });
  // The rows recorded before a failure were undone with the group: a host that writes them again, one by one,
  // records them once.
  if (written)
    WriteHistoryPart();
  else
    ForgetHistoryAfter(held);
  return written;
}

bool CVdPatternCatalog::WritePatterns(const std::vector<CVdPattern*>& patterns, bool append) {
  const CString family = patterns.front()->GetFamily();
  // Which names the family holds already, asked 5,000 at a time.
  std::set<std::wstring, LessNoCase> stored;
  if (!append) {
    const auto name = [&](std::size_t i) { return patterns[i]->GetUserNameW(); };
    ReadRowsNamed(Database(), family, "[Name]", patterns.size(), name, [&](CVdRecordset& found) {
      for (; !found.IsEOF(); found.MoveNext()) {
        CDBVariant cell;
        found.GetFieldValue(short(0), cell);
        stored.insert(DBV_BSTRAll(&cell).str());
      }
    });
  }
  // New names go into the batch; a name stored or given before in the batch is written on its own afterwards,
  // as InsertPattern writes it, so the last one given wins as it would row by row.
  std::set<std::wstring, LessNoCase> batched;
  std::vector<CVdPattern*> later;
  std::vector<std::wstring> names;
  wchar_t code[kFamilyCodeBuffer];
  if (!GetFamilyCode(family, code) || !EnsureFactory()) return false;
  ScopedRecordset rs(new CVdRecordset(Database()));
  rs->Open(0, L"Select * From [" + family + L"] WHERE 0", 0);
  const FamilyUnits units = GetUnitsMap(Upper(family.str()));
  for (CVdPattern* pattern : patterns) {
    const std::wstring name = pattern->GetUserNameW().str();
    if (stored.count(name) || !batched.insert(name).second) {
      later.push_back(pattern);
      continue;
    }
    rs->AddNew();
    if (!Factory()->ModifyTableFromPattern(rs.get(), pattern, code, units, m_bHasUnits)) {
      rs->CancelUpdate();
      return false;
    }
    rs->QueueNew();
    names.push_back(name);
  }
  // With a history, the rows as stored are what it records: on a server the insert hands them back.
  const bool history = !names.empty() && HasHistory();
  const bool kept = history ? rs->WriteQueuedKeepingRows() : (rs->WriteQueued(), false);
  if (!names.empty()) {
    // The table's own spelling of the family: a pattern's family is folded to lower case.
    const CString table = FamilyOfRow(*rs, nullptr).c_str();
    if (history) {
      if (!RecordInserted(family, table, names, kept ? rs.get() : nullptr)) return false;
    } else {
      const bool madeNow = vdpattern::catalog::EnsureChangeTable(*Database(), &m_changeTableKnown);
      vdpattern::catalog::RecordChanges(*Database(), table, names, vdpattern::catalog::kChangeInsert, madeNow);
    }
    NoteNames(family.str(), names, append);
    UpdateDate(true);
  }
  return later.empty() || WriteOver(family, code, later);
}

// Each pattern written over the row of its name, in the order given, as InsertPattern writes one; the rows are
// read a statement per kNamesPerLookup names, not looked up one by one. A name no row holds (any more) is
// written by InsertPattern.
bool CVdPatternCatalog::WriteOver(const CString& family, const wchar_t* code,
                                  const std::vector<CVdPattern*>& patterns) {
  // Their records go in one batch (the caller's open one, or one of its own, written before this returns); a
  // catalog without a history takes their change records in one statement.
  OwnBatch batch(*this, !m_historyBatch && HasHistory());
  std::vector<std::wstring> modified;
  CString table;
  std::map<std::wstring, std::vector<CVdPattern*>, LessNoCase> byName;
  for (CVdPattern* pattern : patterns) byName[pattern->GetUserNameW().str()].push_back(pattern);
  std::vector<const std::wstring*> names;
  for (const auto& entry : byName) names.push_back(&entry.first);
  bool written = true;  // every row so far
  const auto name = [&](std::size_t i) { return CString(*names[i]); };
  ReadRowsNamed(Database(), family, "*", names.size(), name, [&](CVdRecordset& rows) {
    table = FamilyOfRow(rows, nullptr).c_str();
    // The last write of each row is queued, and the rows so written go in a statement or a few; a name given
    // more than once has its earlier writes made one by one, before it, so each is recorded as it was.
    struct Queued {
      long row;
      CVdPattern* pattern;
      RowSnapshot before;
    };
    std::vector<Queued> queued;
    long row = 0;
    for (const short nameCell = NameCell(rows); written && nameCell >= 0 && !rows.IsEOF(); rows.MoveNext(), ++row) {
      CDBVariant cell;
      rows.GetFieldValue(nameCell, cell);
      const auto given = byName.find(DBV_BSTRAll(&cell).str());
      if (given == byName.end()) continue;
      for (std::size_t k = 0; k < given->second.size(); ++k) {
        CVdPattern* pattern = given->second[k];
        const bool last = k + 1 == given->second.size();
        RowSnapshot before = Snapshot(rows);
        rows.Edit();
        if (!(written = StoreRow(rows, pattern, code, family.str(), last))) return;
        if (!HasHistory())
          modified.push_back(pattern->GetUserNameW().str());
        else if (last)
          queued.push_back({row, pattern, std::move(before)});
        else
          RecordWrite(table, pattern->GetUserNameW(), vdpattern::catalog::kChangeModify, before, Snapshot(rows));
      }
      given->second.clear();
    }
    if (!written) return;
    rows.WriteQueuedEdits();
    if (queued.empty()) return;
    rows.MoveFirst();
    long at = 0;
    for (const Queued& q : queued) {
      for (; at < q.row; ++at) rows.MoveNext();
      RecordWrite(table, q.pattern->GetUserNameW(), vdpattern::catalog::kChangeModify, q.before, Snapshot(rows));
    }
  });
  if (!written) return false;
  if (!modified.empty()) {
    const bool madeNow = vdpattern::catalog::EnsureChangeTable(*Database(), &m_changeTableKnown);
    vdpattern::catalog::RecordChanges(*Database(), table, modified, vdpattern::catalog::kChangeModify, madeNow);
  }
  if (!batch.Keep()) return false;
  for (const auto& entry : byName)
    for (CVdPattern* pattern : entry.second)
      if (!InsertPattern(pattern, false)) return false;
  return true;
}

bool CVdPatternCatalog::ModifyPattern(const wchar_t* name, const wchar_t* family, CVdPattern* pattern) {
  if (!pattern || !Database()) return false;
  WriteGroup group(Database());
  bool found = false;
  ScopedRecordset rs(InternalFindPattern(name, family, found));
  if (!found || !EnsureFactory()) return false;
  const std::wstring table = FamilyOfRow(*rs, family);
  wchar_t code[kFamilyCodeBuffer];
  if (!GetFamilyCode(table.c_str(), code)) return false;
  const RowSnapshot before = Snapshot(*rs);
  rs->Edit();
  if (!StoreRow(*rs, pattern, code, table)) return false;
  // A pattern stored under another name leaves the old one and makes the new one; the history keeps one entry,
  // under the new name, whose Name column says what it was.
  const CString stored = pattern->GetUserNameW();
  const bool renamed = name && stored.CompareNoCase(name) != 0;
  if (renamed) RecordChange(table.c_str(), name, vdpattern::catalog::kChangeModify);
  RecordWrite(table.c_str(), renamed ? stored : CString(name ? name : L""), vdpattern::catalog::kChangeModify, before,
              Snapshot(*rs));
  group.Keep();
  return true;
}

bool CVdPatternCatalog::StoreRow(CVdRecordset& rs, CVdPattern* pattern, const wchar_t* code, const std::wstring& family,
                                 bool queue) {
  if (!Factory()->ModifyTableFromPattern(&rs, pattern, code, GetUnitsMap(Upper(family)), m_bHasUnits)) {
    rs.CancelUpdate();
    return false;
  }
  if (queue)
    rs.QueueEdit();
  else
    rs.Update();
  UpdateDate(true);
  return true;
}

bool CVdPatternCatalog::RemovePattern(const wchar_t* name, const wchar_t* family) {
  if (!Database()) return false;
  return Guarded(eReport, false, [&] {
    WriteGroup group(Database());
    bool found = false;
    ScopedRecordset rs(InternalFindPattern(name, family, found));
    if (!found) return false;
    CDBVariant stored;
    rs->GetFieldValue(L"Name", stored);
    const std::wstring table = FamilyOfRow(*rs, family);
    const RowSnapshot before = Snapshot(*rs);
    rs->Delete();
    rs->MoveFirst();
    NoteName(table, DBV_BSTRAll(&stored).str(), false);
    UpdateDate(true);
    RecordWrite(table.c_str(), DBV_BSTRAll(&stored), vdpattern::catalog::kChangeRemove, before, RowSnapshot());
    group.Keep();
    return true;
  });
}

void CVdPatternCatalog::RecordChange(const CString& family, const CString& name, const wchar_t* kind) {
  // The table's existence is checked once per catalog: every later write goes straight to the insert.
  vdpattern::catalog::EnsureChangeTable(*Database(), &m_changeTableKnown);
  vdpattern::catalog::RecordChange(*Database(), family, name, kind, true);  // its failure is the write's
}

CVdPatternCatalog::eChanges CVdPatternCatalog::GetChanges(long long after, std::vector<PatternChange>& changes) {
  if (!Database()) return eChangesFailed;
  return Guarded(eReport, eChangesFailed, [&] {
    return vdpattern::catalog::ReadChanges(*Database(), after, changes) ? eChangesRead : eChangesNotKept;
  });
}

CVdPatternCatalog::eChanges CVdPatternCatalog::GetLastChange(long long& last) {
  last = 0;
  if (!Database()) return eChangesFailed;
  return Guarded(eReport, eChangesFailed, [&] {
    return vdpattern::catalog::ReadLastChange(*Database(), last) ? eChangesRead : eChangesNotKept;
  });
}

CVdPatternCatalog::eChanges CVdPatternCatalog::WaitForChange(long long after, unsigned timeoutMs, long long& last) {
  last = 0;
  if (!Database()) return eChangesFailed;
  return Guarded(eReport, eChangesFailed, [&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const bool kept = vdpattern::catalog::ReadLastChange(*Database(), last);
      if (kept && last > after) return eChangesRead;
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return kept ? eChangesRead : eChangesNotKept;
      Database()->WaitForChangeNotice(static_cast<int>(left));
    }
  });
}

// ---------------------------------------------------------------- units

bool CVdPatternCatalog::FillUnitsPool() {
  if (!Database()) return false;
  ScopedRecordset rs(new CVdRecordset(Database()));
  return Guarded(eQuiet, false, [&] {
    CString statement;
    statement.Format(L"Select * From [%s]", L"Units");
    rs->Open(0, statement, 0);
    m_bHasUnits = true;
    CDBVariant family;
    for (; !rs->IsEOF(); rs->MoveNext()) {
      rs->GetFieldValue(L"Family", family);
      if (!IsText(family)) continue;
      FamilyUnits row;
      FillUnitsMap(*rs, *rs, row);
      m_units.emplace(Upper(family.m_pstring->str()), std::move(row));
    }
    rs->Close();
    return true;
  });
}

bool CVdPatternCatalog::FillUnitsMap(CVdRecordset& columns, CVdRecordset& values, FamilyUnits& units) {
  return Guarded(eQuiet, false, [&] {
    const CVdUnitManager* manager = Factory() ? Factory()->GetUnitManager() : nullptr;
    const double metricsFactor = manager ? manager->m_dMetricsFactor : 1.0;
    const short count = columns.GetODBCFieldCount();
    CODBCFieldInfo info;
    CDBVariant cell;
    for (short i = 1; i < count; ++i) {
      columns.GetODBCFieldInfo(i, info);
      if (info.m_strName.IsEmpty()) continue;
      values.GetFieldValue(info.m_strName, cell);
      if (!IsText(cell)) continue;
      if (cell.m_dwType == DBVT_STRING) OutputDebugStringW(L"varValue.m_dwType != DBVT_ASTRING in FillUnitsMap\n");
      CString text = *cell.m_pstring;
      if (text.IsEmpty()) continue;
      text.MakeLower();
      CVdUnit unit;
      const int status = CVdUnitManager::UnitFromString(text, unit, metricsFactor);
      if (status == CVdUnitManager::eUnknownUnit) {
        OutputDebugStringW(L"Error in Units table: unknown unit\n");
        continue;
      }
      if (status != CVdUnitManager::eUnitRecognized) continue;
      const std::wstring column = Lower(info.m_strName.str());
      const std::wstring parameter =
          Factory() ? Lower(Factory()->GetMappedName(column.c_str(), static_cast<unsigned>(i))) : column;
      units.emplace(column, UNITINFO{unit, parameter});
    }
    return true;
  });
}

CVdPatternCatalog::FamilyUnits CVdPatternCatalog::GetUnitsMap(std::wstring family) { return m_units[family]; }

CVdPattern* CVdPatternCatalog::ReadRow(CVdRecordset* recordSet, const wchar_t* family, const wchar_t* familyCode,
                                       CVdPatternFactory::RowReading& reading) {
  if (CVdPatternFactory::ReadsRowsAsBase(Factory()))
    return Factory()->ReadPattern(recordSet, family, familyCode, reading);
  return Factory()->CreatePatternFromTable(recordSet, family, familyCode, reading.units, reading.useUnits);
}

bool CVdPatternCatalog::GetParamUnit(std::wstring family, std::wstring name, CVdUnit& unit) {
  for (const auto& [column, info] : m_units[family]) {
    if (info.paramName == name) {
      unit = info.unit;
      return true;
    }
  }
  return false;
}
