#pragma once
// Test support for everything that runs against a database: the one fixture that makes a test's database files,
// and helpers to look at what the toolkit answers.
//
// Every suite of the toolkit, factory, catalog and manager tests makes its files through DbTest, so the engine
// they run against is chosen here and nowhere else.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "support/CatalogBuilder.h"
#include "support/DbEngines.h"
#include "support/TestFiles.h"

namespace vdtest {

// The engine the DbTest suites run against in this process: VDPATTERN_TEST_ENGINE=server makes their
// databases catalogs on the PostgreSQL server that VDPATTERN_TEST_PG names (CTest registers those suites a
// second time so), anything else files.
inline Engine CurrentEngine() {
  const char* engine = std::getenv("VDPATTERN_TEST_ENGINE");
  return engine && std::string(engine) == "server" ? Engine::kServer : Engine::kFile;
}

class DbTest : public ::testing::Test {
 protected:
  // Fixtures that set up more call this first and return when the test was skipped.
  void SetUp() override {
    if (!OnServer()) return;
    if (EngineDatabase::ServerBase().empty()) {
      const char* ci = std::getenv("CI");
      if (ci && std::string(ci) == "true") FAIL() << "no PostgreSQL server (set VDPATTERN_TEST_PG)";
      GTEST_SKIP() << "no PostgreSQL server configured (VDPATTERN_TEST_PG)";
    }
  }
  void TearDown() override { m_server.reset(); }

  static bool OnServer() { return CurrentEngine() == Engine::kServer; }

  // A database `name` holding what `sql` makes (statements ended by ";"): a file in the test's folder, or on
  // the server the catalog named by the file's stem, in a server database of the test's own.
  std::string MakeDb(const std::string& name, const std::string& sql) {
    if (!OnServer()) {
      const std::string path = m_dir.File(name);
      ExecSql(path, sql);
      return path;
    }
    const std::string address = ServerCatalog(name);
    RawDb(address).Exec(sql);
    return address;
  }
  // An empty database `name`, made by the library (CVdDatabase::CreateDatabase).
  std::string MakeEmptyDb(const std::string& name) {
    if (OnServer()) return ServerCatalog(name);
    const std::string path = m_dir.File(name);
    CVdDatabase::CreateDatabase(CString(VdFromUtf8(path).c_str()));
    return path;
  }
  // A catalog `name` as `catalog` describes it, replacing any catalog of that name.
  std::string MakeCatalog(const std::string& name, const CatalogBuilder& catalog) {
    if (!OnServer()) {
      const std::string path = m_dir.File(name);
      std::filesystem::remove(path);
      catalog.Write(path);
      return path;
    }
    const std::string address = ServerCatalog(name);
    catalog.Write(address);
    return address;
  }

  TempDir m_dir;

 private:
  // A fresh, empty catalog on the server named after the stem of `file`.
  std::string ServerCatalog(const std::string& file) {
    if (!m_server) m_server = std::make_unique<ServerDatabase>();
    const std::string stem = std::filesystem::path(file).stem().string();
    return m_server->FreshCatalog(stem);
  }

  std::unique_ptr<ServerDatabase> m_server;
};

// Skips a case that looks at a database file itself (its bytes, its storage classes, a raw SQLite connection).
#define VDTEST_FILE_ONLY() \
  if (OnServer()) GTEST_SKIP() << "looks at the SQLite file itself"

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
