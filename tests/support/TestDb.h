#pragma once
// Test support for everything that runs against a database: the one fixture that makes a test's database files,
// and helpers to look at what the toolkit answers.
//
// Every suite of the toolkit, factory, catalog and manager tests makes its files through DbTest, so the engine
// they run against is chosen here and nowhere else.

#include <gtest/gtest.h>

#include <string>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "support/CatalogBuilder.h"
#include "support/TestFiles.h"

namespace vdtest {

class DbTest : public ::testing::Test {
 protected:
  // A database file `name` in the test's folder holding what `sql` makes.
  std::string MakeDb(const std::string& name, const std::string& sql) {
    const std::string path = m_dir.File(name);
    ExecSql(path, sql);
    return path;
  }
  // A catalog file `name` as `catalog` describes it, replacing any file of that name.
  std::string MakeCatalog(const std::string& name, const CatalogBuilder& catalog) {
    const std::string path = m_dir.File(name);
    std::filesystem::remove(path);
    catalog.Write(path);
    return path;
  }

  TempDir m_dir;
};

}  // namespace vdtest

// Texts are compared as UTF-8: glibc's vectorised wide compare reads past the end of its blocks, which
// valgrind reports although the result is right; narrow compares do not have that problem.
inline std::string U8(const std::wstring& text) { return VdToUtf8(text); }
inline std::string U8(const wchar_t* text) { return VdToUtf8(text); }
inline std::string U8(const CString& text) { return VdToUtf8(text.str()); }

// What a CDBException carried, copied out (as UTF-8) so the exception can be released at once.
struct DbFailure {
  bool thrown = false;
  RETCODE retCode = 0;
  std::string message;
  std::string stateNativeOrigin;
  CDBException::Category category = CDBException::eOther;

  bool HasState(const char* state) const {
    return stateNativeOrigin.rfind(std::string("State:") + state + ",", 0) == 0;
  }
  bool Mentions(const std::string& text) const { return message.find(text) != std::string::npos; }
};

template <typename F>
DbFailure CatchDb(F&& call) {
  DbFailure failure;
  try {
    call();
  } catch (CDBException* e) {
    failure.thrown = true;
    failure.retCode = e->m_nRetCode;
    failure.message = U8(e->m_strError);
    failure.stateNativeOrigin = U8(e->m_strStateNativeOrigin);
    failure.category = e->GetCategory();
    e->Delete();
  }
  return failure;
}

// The plan of a statement as the toolkit rewrites it, one detail line per step.
inline std::string Plan(CVdDatabase& db, const std::wstring& sql) {
  std::string plan;
  CVdRecordset rs(&db);
  rs.Open(0, (L"EXPLAIN QUERY PLAN " + sql).c_str(), 0);
  for (; !rs.IsEOF(); rs.MoveNext()) {
    CDBVariant v;
    rs.GetFieldValue(L"detail", v);
    plan += VdToUtf8(DBV_BSTRAll(&v).str()) + "\n";
  }
  return plan;
}
