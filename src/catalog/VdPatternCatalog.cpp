#include <vdpattern/catalog/VdPatternCatalog.h>

#include <unistd.h>

#include <cerrno>
#include <cwchar>
#include <optional>
#include <string_view>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Report.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VariantConv.h>

#include "catalog/DateStamp.h"
#include "factory/DBExceptionText.h"

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

// The toolkit's state for "another connection holds the lock and the wait gave up".
bool IsLockTimeout(const CDBException* e) { return e->m_strStateNativeOrigin.str().rfind(L"State:HYT00,", 0) == 0; }

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

// The current directory; empty when it cannot be read.
std::wstring CurrentDirectory() {
  std::vector<char> buffer(4096);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return std::wstring();
    buffer.resize(buffer.size() * 2);
  }
  return VdFromUtf8(buffer.data());
}

// A record set that belongs to one call: closed when open and destroyed on every path out.
struct RecordsetCloser {
  void operator()(CVdRecordset* rs) const {
    try {
      if (rs->IsOpen()) rs->Close();
    } catch (CDBException* e) {
      e->Delete();
    }
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

// A read transaction for its lifetime, unless the host has a transaction open. A deferred BEGIN takes the
// shared lock at the first read only; BeginTrans would take the write lock, so a search would wait for, and
// then fail on, a writer of another process. Failing to begin or end it does not fail the reads it covers.
class ReadTransaction {
 public:
  explicit ReadTransaction(CVdDatabase* database) {
    if (!database || database->IsInTransaction()) return;
    try {
      database->ExecuteSQL(L"BEGIN");
      m_database = database;
    } catch (CDBException* e) {
      e->Delete();
    }
  }
  ~ReadTransaction() {
    if (!m_database || !m_database->IsInTransaction()) return;
    for (const wchar_t* end : {L"COMMIT", L"ROLLBACK"}) {
      try {
        m_database->ExecuteSQL(end);
        return;
      } catch (CDBException* e) {
        e->Delete();
      }
    }
  }
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  CVdDatabase* m_database = nullptr;
};

// One call's writes, kept only when the call reaches Keep: undone on every other way out, a thrown failure
// included. Beginning it takes the write lock (or a savepoint inside the host's transaction) and may throw.
class WriteGroup {
 public:
  explicit WriteGroup(CVdDatabase* database) : m_database(database) { database->BeginWriteGroup(); }
  ~WriteGroup() {
    if (m_open) End(FALSE);
  }
  // Throws when the writes cannot be kept (a failed COMMIT); they are undone then.
  void Keep() {
    m_open = false;
    m_database->EndWriteGroup(TRUE);
  }
  WriteGroup(const WriteGroup&) = delete;
  WriteGroup& operator=(const WriteGroup&) = delete;

 private:
  void End(BOOL keep) {
    m_open = false;
    try {
      m_database->EndWriteGroup(keep);
    } catch (CDBException* e) {
      e->Delete();
    }
  }
  CVdDatabase* m_database;
  bool m_open = true;
};

}  // namespace

// The connection and the two system record sets, shared by a catalog and its copies and released by the last.
struct CVdPatternCatalog::SharedDatabase {
  explicit SharedDatabase(CVdDatabase* db) : database(db) {}
  ~SharedDatabase() {
    for (CVdRecordset* rs : {definition, familyDescription}) {
      if (!rs) continue;
      RecordsetCloser()(rs);
    }
    try {
      if (database->IsOpen()) database->Close();
    } catch (CDBException* e) {
      e->Delete();
    }
    delete database;
  }
  SharedDatabase(const SharedDatabase&) = delete;
  SharedDatabase& operator=(const SharedDatabase&) = delete;

  CVdDatabase* database;
  CVdRecordset* definition = nullptr;
  CVdRecordset* familyDescription = nullptr;
};

// The factory, shared by a catalog and its copies; deleted by the last when owned.
struct CVdPatternCatalog::SharedFactory {
  SharedFactory(CVdPatternFactory* f, bool owns) : factory(f), owned(owns) {}
  ~SharedFactory() {
    if (owned) delete factory;
  }
  SharedFactory(const SharedFactory&) = delete;
  SharedFactory& operator=(const SharedFactory&) = delete;

  CVdPatternFactory* factory;
  bool owned;
};

// ---------------------------------------------------------------- construction and copies

CVdPatternCatalog::CVdPatternCatalog(const wchar_t* path, CVdPatternFactory* factory, bool ownsFactory) {
  if (factory) {
    m_pFactory = factory;
    m_bOwnsFactory = ownsFactory;
    m_sharedFactory = std::make_shared<SharedFactory>(factory, ownsFactory);
  }
  if (path) Open(path);
}

CVdPatternCatalog::CVdPatternCatalog(CVdDatabase* database, CVdPatternFactory* factory, bool ownsFactory)
    : CVdPatternCatalog(static_cast<const wchar_t*>(nullptr), factory, ownsFactory) {
  if (!database) return;
  AdoptDatabase(database);
  if (!IsDBCatalog()) return;
  m_strPath = database->GetDatabaseName();
  if (LastSeparator(m_strPath.str()) != std::wstring::npos) SetNameFromPath();
}

CVdPatternCatalog::CVdPatternCatalog(const CVdPatternCatalog& other) { *this = other; }

CVdPatternCatalog& CVdPatternCatalog::operator=(const CVdPatternCatalog& other) {
  if (this == &other) return *this;
  m_bHasUnits = other.m_bHasUnits;
  m_units = other.m_units;
  m_strPath = other.m_strPath;
  m_strName = other.m_strName;
  m_pDatabase = other.m_pDatabase;
  m_pDefinitionRS = other.m_pDefinitionRS;
  m_pFamilyDescriptionRS = other.m_pFamilyDescriptionRS;
  m_bOwnsFactory = other.m_bOwnsFactory;
  m_pFactory = other.m_pFactory;
  m_familyCodes = other.m_familyCodes;
  m_sharedDatabase = other.m_sharedDatabase;
  m_sharedFactory = other.m_sharedFactory;
  return *this;
}

CVdPatternCatalog::~CVdPatternCatalog() {
  CVdPatternCatalog::Close();
  m_sharedFactory.reset();
}

void CVdPatternCatalog::Dump() {}

// ---------------------------------------------------------------- factory

void CVdPatternCatalog::AttachFactory(CVdPatternFactory* factory, bool ownsFactory) {
  if (factory && factory == m_pFactory) {
    // The same factory again: keep it alive and take the new ownership only.
    if (m_sharedFactory) m_sharedFactory->owned = ownsFactory;
    m_bOwnsFactory = ownsFactory;
    return;
  }
  m_sharedFactory.reset();
  m_pFactory = factory;
  m_bOwnsFactory = ownsFactory;
  if (factory) m_sharedFactory = std::make_shared<SharedFactory>(factory, ownsFactory);
}

CVdPatternFactory* CVdPatternCatalog::CreateFactory() { return new CVdPatternFactory(); }

CVdPatternFactory* CVdPatternCatalog::GetFactoryObject() { return m_pFactory ? m_pFactory : CreateFactory(); }

bool CVdPatternCatalog::EnsureFactory() {
  if (m_pFactory) return true;
  CVdPatternFactory* made = CreateFactory();
  if (!made) return false;
  // A factory the catalog made itself is always its own to release.
  m_pFactory = made;
  m_bOwnsFactory = true;
  m_sharedFactory = std::make_shared<SharedFactory>(made, true);
  return true;
}

// ---------------------------------------------------------------- opening and closing

void CVdPatternCatalog::AdoptDatabase(CVdDatabase* database) {
  m_sharedDatabase = std::make_shared<SharedDatabase>(database);
  m_pDatabase = database;
}

void CVdPatternCatalog::ReleaseDatabase() {
  m_sharedDatabase.reset();
  m_pDatabase = nullptr;
  m_pDefinitionRS = nullptr;
  m_pFamilyDescriptionRS = nullptr;
}

bool CVdPatternCatalog::OpenSystemRecordsets() {
  SharedDatabase& shared = *m_sharedDatabase;
  CString statement;
  statement.Format(L"Select * From [%s]", L"Definition");
  shared.definition = m_pDefinitionRS = new CVdRecordset(m_pDatabase);
  m_pDefinitionRS->Open(0, statement, 0);
  m_pDefinitionRS->MoveFirst();
  statement.Format(L"Select * From [%s]", L"FamilyDescription");
  shared.familyDescription = m_pFamilyDescriptionRS = new CVdRecordset(m_pDatabase);
  m_pFamilyDescriptionRS->Open(0, statement, 0);
  if (m_pFamilyDescriptionRS->GetRecordCount() > 0) m_pFamilyDescriptionRS->MoveFirst();
  return true;
}

void CVdPatternCatalog::SetNameFromPath() {
  const std::wstring& path = m_strPath.str();
  const std::size_t separator = LastSeparator(path);
  const std::size_t dot = path.rfind(L'.');
  const std::size_t start = separator == std::wstring::npos ? 0 : separator + 1;
  m_strName = (dot == std::wstring::npos || dot < start) ? CString() : CString(path.substr(start, dot - start));
}

CVdDatabase* CVdPatternCatalog::NewConnection(const CString& path) {
  auto* database = new CVdDatabase();
  try {
    database->Open(path, 0, 0);
    return database;
  } catch (CDBException* e) {
    OnDBException(e);
    delete database;
    e->Delete();
    return nullptr;
  }
}

bool CVdPatternCatalog::Open(const wchar_t* path) {
  std::wstring full = path ? path : L"";
  if (LastSeparator(full) == std::wstring::npos) {
    const std::wstring directory = CurrentDirectory();
    full = directory + (!directory.empty() && directory.back() == L'/' ? L"" : L"/") + full;
  }
  if (full.find(L'.') == std::wstring::npos) full += c_szExt;

  CVdDatabase* database = NewConnection(CString(full));
  if (!database) return false;
  Close();
  AdoptDatabase(database);
  try {
    OpenSystemRecordsets();
    FillUnitsPool();
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    Close();
    return false;
  }
  std::wstring stored = m_pDatabase->GetDatabaseName().str();
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
  try {
    OpenSystemRecordsets();
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    CloseDB();
    return eOpenDBFailed;
  }
  return eOpenDBOpened;
}

bool CVdPatternCatalog::IsDBCatalog() {
  try {
    return OpenSystemRecordsets();
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    Close();
    return false;
  }
}

bool CVdPatternCatalog::IsOpened() const { return m_pDatabase && m_pDatabase->IsOpen(); }

bool CVdPatternCatalog::CanWrite() const { return m_pDatabase && m_pDatabase->CanUpdate(); }

void CVdPatternCatalog::Close() {
  if (!m_pDatabase) return;
  ReleaseDatabase();
  m_strPath.Empty();
  m_strName.Empty();
  m_familyCodes.clear();
  m_units.clear();
}

void CVdPatternCatalog::CloseDB() { ReleaseDatabase(); }

// ---------------------------------------------------------------- recognition and metadata

CString CVdPatternCatalog::GetTypeName() {
  if (!m_pDefinitionRS) return CString();
  CDBVariant value;
  try {
    m_pDefinitionRS->GetFieldValue(L"def_name", value);
  } catch (CDBException* e) {
    e->Delete();
    value.Clear();
  }
  return DBV_BSTRAll(&value);
}

bool CVdPatternCatalog::ReadCatalogType() { return !m_pFactory || m_pFactory->IsValidCatalog(GetTypeName()); }

bool CVdPatternCatalog::IsCatalog() { return ReadCatalogType(); }

namespace {

CString DefinitionText(CVdRecordset* definition, const wchar_t* column) {
  if (!definition) return CString();
  CDBVariant value;
  definition->GetFieldValue(column, value);
  return DBV_BSTRAll(&value);
}

}  // namespace

CString CVdPatternCatalog::GetEditorName() { return DefinitionText(m_pDefinitionRS, L"def_editorName"); }

CString CVdPatternCatalog::GetLastUpdateDate() { return DefinitionText(m_pDefinitionRS, L"def_lastUpdate"); }

int CVdPatternCatalog::GetVerNumber() {
  if (!m_pDefinitionRS) return 0;
  CDBVariant value;
  m_pDefinitionRS->GetFieldValue(L"def_version", value);
  if (value.m_dwType == DBVT_LONG) return value.m_lVal;
  // A version stored with another type is read as the number it holds.
  const COleVariant converted = CVdRecordset::getOLEVariant(value);
  return static_cast<int>(VariantToLong(&converted));
}

void CVdPatternCatalog::SetName(const CString& typeName) {
  if (!m_pDefinitionRS) return;
  m_pDefinitionRS->Edit();
  m_pDefinitionRS->SetFieldValue(L"def_name", typeName.GetString());
  UpdateDate(false);
  m_pDefinitionRS->Update();
}

void CVdPatternCatalog::SetEditorName(const CString& editor) {
  if (!m_pDefinitionRS) return;
  m_pDefinitionRS->Edit();
  m_pDefinitionRS->SetFieldValue(L"def_editorName", editor.GetString());
  UpdateDate(false);
  m_pDefinitionRS->Update();
}

void CVdPatternCatalog::SetVerNumber(int version) {
  if (!m_pDefinitionRS) return;
  m_pDefinitionRS->Edit();
  m_pDefinitionRS->SetFieldValue(L"def_version", COleVariant(static_cast<long>(version), VT_I4));
  UpdateDate(false);
  m_pDefinitionRS->Update();
}

void CVdPatternCatalog::UpdateDate(bool editAndUpdate) {
  if (!m_pDefinitionRS) return;
  const wchar_t* date = vdpattern::catalog::DateStamp();
  if (editAndUpdate) {
    // A stamp that is already today's is not written again: an import of many rows would otherwise write the
    // "Definition" row once per pattern (two statements of every seven the insert of a row runs).
    CDBVariant current;
    m_pDefinitionRS->GetFieldValue(L"def_lastUpdate", current);
    if ((current.m_dwType == DBVT_WSTRING || current.m_dwType == DBVT_STRING || current.m_dwType == DBVT_ASTRING) &&
        DBV_BSTRAll(&current) == date)
      return;
    m_pDefinitionRS->Edit();
  }
  m_pDefinitionRS->SetFieldValue(L"def_lastUpdate", date);
  if (editAndUpdate) m_pDefinitionRS->Update();
}

// ---------------------------------------------------------------- errors and fixed results

void CVdPatternCatalog::OnDBException(CDBException* e) {
  MessageBoxW(nullptr, GetDBExceptionString(e), L"Erreur DB", MB_OK);
}

CString CVdPatternCatalog::GetDBExceptionString(CDBException* e) { return VdDBExceptionText(e); }

void CVdPatternCatalog::SubStringReplace(const wchar_t* source, const wchar_t* find, const wchar_t* replacement,
                                         CString& out) {
  out = source;
  out.Replace(find, replacement);
}

bool CVdPatternCatalog::CompactDatabase(const wchar_t*, bool) { return false; }

CVdPatternCatalog* CVdPatternCatalog::CreateLike(const wchar_t*, CVdPatternFactory*, bool) { return nullptr; }

// ---------------------------------------------------------------- families

bool CVdPatternCatalog::FindFamily(const wchar_t* table) {
  if (!table || !*table || !m_pDatabase) return false;
  try {
    CVdODBCTableDefInfo info;
    m_pDatabase->GetTableDefInfo(table, info);
    if (info.m_lAttributes & 4) return false;
    return !IsOneOf(info.m_strName, kCatalogTables);
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::GetFamilies(std::list<std::wstring>& families) {
  if (!m_pDatabase) return false;
  try {
    const int count = m_pDatabase->GetTableDefCount();
    CVdODBCTableDefInfo info;
    for (unsigned int i = 0; i < static_cast<unsigned int>(count); ++i) {
      m_pDatabase->GetTableDefInfo(i, info);
      if (info.m_lAttributes & 4) continue;
      if (IsOneOf(info.m_strName, kNotFamilies)) continue;
      families.push_back(info.m_strName.str());
    }
    return true;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::GetFamilyCode(const wchar_t* family, wchar_t* code) {
  if (code) code[0] = L'\0';
  if (m_familyCodes.empty() && m_pFamilyDescriptionRS) {
    try {
      if (m_pFamilyDescriptionRS->GetRecordCount() >= 1) {
        CDBVariant name, value;
        for (m_pFamilyDescriptionRS->MoveFirst(); !m_pFamilyDescriptionRS->IsEOF();
             m_pFamilyDescriptionRS->MoveNext()) {
          m_pFamilyDescriptionRS->GetFieldValue(L"Name", name);
          m_pFamilyDescriptionRS->GetFieldValue(L"FamilyCode", value);
          std::wstring familyCode = Upper(DBV_BSTRAll(&value).str());
          if (!familyCode.empty()) m_familyCodes.emplace(Upper(DBV_BSTRAll(&name).str()), std::move(familyCode));
        }
      }
    } catch (CDBException* e) {
      e->Delete();
      m_familyCodes.clear();
    }
  }
  const auto it = m_familyCodes.find(Upper(family ? family : L""));
  if (it == m_familyCodes.end() || it->second.size() >= kFamilyCodeBuffer) return false;
  if (code) std::wcscpy(code, it->second.c_str());
  return true;
}

void CVdPatternCatalog::ClearFamiliesCode() { m_familyCodes.clear(); }

bool CVdPatternCatalog::GetFamilyDescriptionField(const wchar_t* column, COleVariant& value) {
  if (!m_pFamilyDescriptionRS) return false;
  try {
    CDBVariant cell;
    m_pFamilyDescriptionRS->GetFieldValue(column, cell);
    value = CVdRecordset::getOLEVariant(cell);
    return true;
  } catch (CDBException* e) {
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::GetFamilyDescriptionField(int column, COleVariant& value) {
  if (!m_pFamilyDescriptionRS) return false;
  try {
    CDBVariant cell;
    m_pFamilyDescriptionRS->GetFieldValue(static_cast<short>(column), cell);
    value = CVdRecordset::getOLEVariant(cell);
    return true;
  } catch (CDBException* e) {
    e->Delete();
    return false;
  }
}

namespace {

// Edit, set one column of the current row, Update; a failure drops the edit and is released.
template <typename Set>
bool EditFamilyDescription(CVdRecordset* rs, Set set) {
  if (!rs) return false;
  try {
    rs->Edit();
    set(*rs);
    rs->Update();
    return true;
  } catch (CDBException* e) {
    e->Delete();
    try {
      rs->CancelUpdate();
    } catch (CDBException* again) {
      again->Delete();
    }
    return false;
  }
}

}  // namespace

bool CVdPatternCatalog::SetFamilyDescriptionField(const wchar_t* column, const COleVariant& value) {
  return EditFamilyDescription(m_pFamilyDescriptionRS, [&](CVdRecordset& rs) { rs.SetFieldValue(column, value); });
}

bool CVdPatternCatalog::SetFamilyDescriptionField(int column, const COleVariant& value) {
  return EditFamilyDescription(m_pFamilyDescriptionRS, [&](CVdRecordset& rs) { rs.SetFieldValue(column, value); });
}

bool CVdPatternCatalog::SetFamilyDescriptionField(const wchar_t* column, const wchar_t* value) {
  return EditFamilyDescription(m_pFamilyDescriptionRS, [&](CVdRecordset& rs) { rs.SetFieldValue(column, value); });
}

bool CVdPatternCatalog::SetFamilyDescriptionField(int column, const wchar_t* value) {
  const COleVariant text(value, VT_BSTR);
  return EditFamilyDescription(m_pFamilyDescriptionRS, [&](CVdRecordset& rs) { rs.SetFieldValue(column, text); });
}

long CVdPatternCatalog::EnumerateProperties(const wchar_t*, IEnumPropFamily** enumerator) {
  if (enumerator) *enumerator = nullptr;
  return E_POINTER;
}

// ---------------------------------------------------------------- queries

CVdRecordset* CVdPatternCatalog::InternalFindPattern(const wchar_t* name, const wchar_t* family, bool& found) {
  found = false;
  if (!m_pDatabase) return nullptr;
  // A walk over the families reads the table list and up to one table per family: one read transaction makes
  // it lock the file once and see one state of it.
  ReadTransaction transaction(family ? nullptr : m_pDatabase);
  std::list<std::wstring> families;
  if (family)
    families.push_back(family);
  else
    GetFamilies(families);

  auto* rs = new CVdRecordset(m_pDatabase);
  CString quoted(name ? name : L"");
  quoted.Replace(L"'", L"''");
  // Everything after the table's name is the same for every family.
  static constexpr std::wstring_view kHead = L"Select * From [";
  std::wstring tail(L"] WHERE Name = '");
  tail.append(quoted.str()).push_back(L'\'');
  CString statement;
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
        break;
      }
    } catch (CDBException* e) {
      // A family that cannot answer is passed over, but a lock timeout says nothing about the family: taken
      // for "not there", it would make an insert add a second row and a removal report a name as missing.
      if (e->m_nRetCode == SQL_ERROR && !IsLockTimeout(e)) {
        e->Delete();
        continue;
      }
      OnDBException(e);
      e->Delete();
      delete rs;
      return nullptr;
    }
  }
  return rs;
}

bool CVdPatternCatalog::FindPattern(const wchar_t* name, const wchar_t* family) {
  bool found = false;
  ScopedRecordset rs(InternalFindPattern(name, family, found));
  return found;
}

CVdPattern* CVdPatternCatalog::GetPattern(const wchar_t* name, const wchar_t* family) {
  bool found = false;
  ScopedRecordset rs(InternalFindPattern(name, family, found));
  if (!found) return nullptr;
  try {
    const std::wstring upper = Upper(FamilyOfRow(*rs, family));
    wchar_t code[kFamilyCodeBuffer];
    if (!GetFamilyCode(upper.c_str(), code) || !EnsureFactory()) return nullptr;
    CVdPatternFactory::RowReading reading(m_units[upper], false);
    CVdPattern* pattern = ReadRow(rs.get(), upper.c_str(), code, reading);
    if (pattern) {
      pattern->SetCatalog(m_strName);
      pattern->SetPatternType(CVdPattern::ePatternTypeCatalog);
    }
    return pattern;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return nullptr;
  }
}

bool CVdPatternCatalog::GetFamilyPattern(CVdPatternPool* pool, const wchar_t* family, const wchar_t* nameFilter) {
  if (!family || !*family || !IsBracketable(family) || !EnsureFactory() || !pool || !m_pDatabase) return false;
  CString statement;
  if (!nameFilter || !*nameFilter) {
    statement.Format(L"SELECT * FROM [%s]", family);
  } else {
    CString quoted;
    SubStringReplace(nameFilter, L"'", L"''", quoted);
    statement.Format(L"SELECT * FROM [%s] WHERE Name Like '%s'", family, quoted);
  }
  ScopedRecordset rs(new CVdRecordset(m_pDatabase));
  try {
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
        CVdPattern* pattern = ReadRow(rs.get(), family, code, reading);
        if (!pattern) continue;
        pattern->SetCatalog(m_strName);
        if (!pool->AddPattern(pattern, false)) delete pattern;  // a duplicate the pool refused
      }
    }
    rs->Close();
    return true;
  } catch (CDBException* e) {
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::GetFamilyPatternSQL(CVdPatternPool* pool, const CString& statement, const CString& family) {
  if (!EnsureFactory() || !pool || !m_pDatabase) return false;
  ScopedRecordset rs(new CVdRecordset(m_pDatabase));
  try {
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
        CVdPattern* pattern =
            ReadRow(rs.get(), rowFamily.c_str(), rowCode, upper.empty() ? *rowReading : familyReading);
        if (!pattern) continue;
        pattern->SetCatalog(m_strName);
        pattern->SetPatternType(CVdPattern::ePatternTypeCatalog);
        if (!pool->AddPattern(pattern, true)) delete pattern;
      }
    }
    rs->Close();
    return true;
  } catch (CDBException* e) {
    e->Delete();
    return false;
  }
}

CVdPatternCatalog::eFunctionThreeState CVdPatternCatalog::GetMaxValue(const wchar_t* table, const wchar_t* valueColumn,
                                                                      const wchar_t* keyColumn,
                                                                      CVdPatternValue& value) {
  if (!m_pDatabase || !table || !valueColumn || !keyColumn) return eFunctionFailed;
  CString key = value.vt == VT_BSTR ? CString(value.bstrVal) : VariantToString(&value, true);
  key.Replace(L"'", L"''");  // the key is a text between quotes, like every name the catalog looks up
  const CString column(valueColumn);
  ScopedRecordset rs(new CVdRecordset(m_pDatabase));
  try {
    const CString countStatement = L"SELECT COUNT(*) as NrLines, MAX(" + column + L") as maxim \n" + L"FROM " + table +
                                   L"\n" + L"WHERE " + keyColumn + L" = '" + key + L"'";
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
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return eFunctionFailed;
  }
}

// ---------------------------------------------------------------- writing

bool CVdPatternCatalog::InsertPattern(CVdPattern* pattern, bool append) {
  if (!pattern || !m_pDatabase) return false;
  const CString family = pattern->GetFamily();
  if (!IsBracketable(family.str())) return false;
  try {
    // The lookup and the write are one group: a second writer of the same new name waits for this one and then
    // finds its row, instead of adding a second one; and a write that fails half-way (the row written, the
    // date not) leaves nothing behind.
    WriteGroup group(m_pDatabase);
    bool found = false;
    ScopedRecordset rs;
    if (append) {
      // An empty result of the table is all a new row needs: opening the table itself would read every row.
      rs.reset(new CVdRecordset(m_pDatabase));
      rs->Open(0, L"Select * From [" + family + L"] WHERE 0", 0);
    } else {
      rs.reset(InternalFindPattern(pattern->GetUserNameW(), family, found));
    }
    if (!rs) return false;
    wchar_t code[kFamilyCodeBuffer];
    if (!GetFamilyCode(family, code) || !EnsureFactory()) return false;
    if (found) {
      rs->Edit();
    } else {
      rs->AddNew();
      if (!append) rs->SetFieldValue(L"Name", pattern->GetUserNameW().GetString());
    }
    if (!StoreRow(*rs, pattern, code, family.str())) return false;
    group.Keep();
    return true;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::ModifyPattern(const wchar_t* name, const wchar_t* family, CVdPattern* pattern) {
  if (!pattern || !m_pDatabase) return false;
  WriteGroup group(m_pDatabase);
  bool found = false;
  ScopedRecordset rs(InternalFindPattern(name, family, found));
  if (!found || !EnsureFactory()) return false;
  const std::wstring table = FamilyOfRow(*rs, family);
  wchar_t code[kFamilyCodeBuffer];
  if (!GetFamilyCode(table.c_str(), code)) return false;
  rs->Edit();
  if (!StoreRow(*rs, pattern, code, table)) return false;
  group.Keep();
  return true;
}

bool CVdPatternCatalog::StoreRow(CVdRecordset& rs, CVdPattern* pattern, const wchar_t* code,
                                 const std::wstring& family) {
  if (!m_pFactory->ModifyTableFromPattern(&rs, pattern, code, GetUnitsMap(Upper(family)), m_bHasUnits)) {
    rs.CancelUpdate();
    return false;
  }
  rs.Update();
  UpdateDate(true);
  return true;
}

bool CVdPatternCatalog::RemovePattern(const wchar_t* name, const wchar_t* family) {
  if (!m_pDatabase) return false;
  try {
    WriteGroup group(m_pDatabase);
    bool found = false;
    ScopedRecordset rs(InternalFindPattern(name, family, found));
    if (!found) return false;
    rs->Delete();
    rs->MoveFirst();
    UpdateDate(true);
    group.Keep();
    return true;
  } catch (CDBException* e) {
    OnDBException(e);
    e->Delete();
    return false;
  }
}

// ---------------------------------------------------------------- units

bool CVdPatternCatalog::FillUnitsPool() {
  if (!m_pDatabase) return false;
  ScopedRecordset rs(new CVdRecordset(m_pDatabase));
  try {
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
  } catch (CDBException* e) {
    e->Delete();
    return false;
  }
}

bool CVdPatternCatalog::FillUnitsMap(CVdRecordset& columns, CVdRecordset& values, FamilyUnits& units) {
  try {
    const CVdUnitManager* manager = m_pFactory ? m_pFactory->GetUnitManager() : nullptr;
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
      if (status == 2) {
        OutputDebugStringW(L"Error in Units table: unknown unit\n");
        continue;
      }
      if (status != 0) continue;
      const std::wstring column = Lower(info.m_strName.str());
      const std::wstring parameter =
          m_pFactory ? Lower(m_pFactory->GetMappedName(column.c_str(), static_cast<unsigned>(i))) : column;
      units.emplace(column, UNITINFO{unit, parameter});
    }
    return true;
  } catch (CDBException* e) {
    e->Delete();
    return false;
  }
}

CVdPatternCatalog::FamilyUnits CVdPatternCatalog::GetUnitsMap(std::wstring family) { return m_units[family]; }

CVdPattern* CVdPatternCatalog::ReadRow(CVdRecordset* recordSet, const wchar_t* family, const wchar_t* familyCode,
                                       CVdPatternFactory::RowReading& reading) {
  if (CVdPatternFactory::ReadsRowsAsBase(m_pFactory))
    return m_pFactory->ReadPattern(recordSet, family, familyCode, reading);
  return m_pFactory->CreatePatternFromTable(recordSet, family, familyCode, reading.units, reading.useUnits);
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
