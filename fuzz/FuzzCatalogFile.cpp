// Catalog files from arbitrary bytes: the bytes become a file that CVdDatabase and CVdPatternCatalog open, and
// whatever opens is read and written as a host would. Every format enters the same way, through the look at the
// file's first bytes in CVdDatabase::Open: SQLite files and Access files (tests/reliability/run adds the Access
// files of every version from the shared test data to the seeds).

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Report.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "FuzzInput.h"

using vdfuzz::Check;

namespace {

std::string g_dir;
std::string g_path;

void Quiet(const wchar_t* text, const wchar_t* caption) { Check(text && caption); }

void RemoveFiles() {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::remove((g_path + suffix).c_str());
}

void Cleanup() {
  RemoveFiles();
  ::rmdir(g_dir.c_str());
}

void Described(CDBException* e) {
  Check(!e->m_strError.IsEmpty() && e->m_strStateNativeOrigin.Find(L"State:") == 0);
  e->Delete();
}

// The database layer alone: the table list, and every row and column of every table.
void ReadDatabase() {
  CVdDatabase db;
  try {
    db.Open(CString(g_path.c_str()));
    const int count = db.GetTableDefCount();
    for (int k = 0; k < count && k < 16; ++k) {
      CVdODBCTableDefInfo info;
      db.GetTableDefInfo(static_cast<unsigned>(k), info);
      CVdRecordset rs(&db);
      try {
        rs.Open(0, L"[" + info.m_strName + L"]");
        const short columns = rs.GetODBCFieldCount();
        for (int row = 0; !rs.IsEOF() && row < 64; ++row, rs.MoveNext()) {
          for (short c = 0; c < columns; ++c) {
            CDBVariant value;
            rs.GetFieldValue(c, value);
            DBV_BSTRAll(&value);
            const COleVariant ole = CVdRecordset::getOLEVariant(value);
            CODBCFieldInfoEx field;
            rs.GetFieldInfoEx(c, field, 3);
          }
        }
      } catch (CDBException* e) {
        Described(e);
      }
    }
  } catch (CDBException* e) {
    Described(e);
  }
}

// The catalog: what a host reads, then one pattern written and removed again in the first family.
void UseCatalog() {
  CVdPatternCatalog catalog(VdFromUtf8(g_path).c_str());
  if (!catalog.IsOpened()) return;
  std::list<std::wstring> families;
  catalog.GetFamilies(families);
  int seen = 0;
  for (const std::wstring& family : families) {
    if (++seen > 8) break;
    CVdPatternPool pool;
    catalog.GetFamilyPattern(&pool, family.c_str(), nullptr);
    catalog.GetFamilyPattern(&pool, family.c_str(), L"%a%");
    if (CVdPattern* first = pool.FindFirstPattern()) {
      std::unique_ptr<CVdPattern> again(catalog.GetPattern(first->GetUserNameW(), nullptr));
    }
    catalog.GetUnitsMap(family);
  }
  CVdPatternPool all;
  catalog.GetFamilyPatternSQL(&all, L"SELECT * FROM FamilyDescription", L"");
  try {
    catalog.GetTypeName();
    catalog.GetEditorName();
    catalog.GetLastUpdateDate();
    catalog.GetVerNumber();
  } catch (CDBException* e) {
    Described(e);
  }
  if (!families.empty()) {
    CVdPattern pattern(1, L"fuzz 1", families.front().c_str());
    pattern.SetParam(0, L"height", 1.5);
    catalog.InsertPattern(&pattern, false);
    try {
      catalog.ModifyPattern(L"fuzz 1", nullptr, &pattern);
    } catch (CDBException* e) {
      Described(e);
    }
    catalog.RemovePattern(L"fuzz 1", nullptr);
    CVdPatternValue key(COleVariant(L"fuzz 1"));
    catalog.GetMaxValue(families.front().c_str(), L"Name", L"Name", key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = vdfuzz::MakeScratchFolder("vdpattern-fuzz");
  g_path = g_dir + "/fuzz.mdb";
  std::atexit(&Cleanup);
  VdSetReportHandler(&Quiet);
  vdfuzz::QuietFileTarget();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RemoveFiles();
  vdfuzz::WriteFile(g_path, data, size);
  ReadDatabase();
  UseCatalog();
  return 0;
}
