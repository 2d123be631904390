#pragma once
// Test support for everything that runs against a database: the one fixture that makes a test's database files,
// and helpers to look at what the toolkit answers.
//
// Every suite of the toolkit, factory, catalog and manager tests makes its files through DbTest, so the engine
// they run against is chosen here and nowhere else.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "support/CatalogBuilder.h"
#include "support/TestFiles.h"

namespace vdtest {

// The PostgreSQL server the suites may use: its address without a catalog (scripts/with-pg-server.sh sets
// VDPATTERN_TEST_PG; libpq's PG* variables do the rest), or empty when none is configured.
inline std::string ServerBase() {
  const char* base = std::getenv("VDPATTERN_TEST_PG");
  return base ? base : "";
}

// A database of its own on the server for one test, dropped with its catalogs at the end: catalogs in it are
// schemas named as the test names its files, so names seen in a catalog are the same on both engines.
class ServerDatabase {
 public:
  ServerDatabase() {
    static std::atomic<int> counter{0};
    m_name = "vdtest_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    Admin("CREATE DATABASE \"" + m_name + "\"");
  }
  ServerDatabase(const ServerDatabase&) = delete;
  ServerDatabase& operator=(const ServerDatabase&) = delete;
  ~ServerDatabase() {
    try {
      Admin("DROP DATABASE IF EXISTS \"" + m_name + "\" WITH (FORCE)");
    } catch (CDBException* e) {
      e->Delete();
    }
  }

  // The address of the catalog `name`, made or not.
  std::string Address(const std::string& name) const { return "postgresql:///" + m_name + "?catalog=" + name; }
  // An empty catalog `name`, replacing one of that name.
  std::string FreshCatalog(const std::string& name) {
    {
      CVdDatabase db;
      db.Open(CString(VdFromUtf8("postgresql:///" + m_name).c_str()));
      db.ExecuteSQL(VdFromUtf8("DROP SCHEMA IF EXISTS [" + name + "] CASCADE").c_str());
    }
    CVdDatabase::CreateDatabase(CString(VdFromUtf8(Address(name)).c_str()));
    return Address(name);
  }

 private:
  static void Admin(const std::string& sql) {
    CVdDatabase db;
    db.Open(CString(VdFromUtf8(ServerBase()).c_str()));
    db.ExecuteSQL(VdFromUtf8(sql).c_str());
  }

  std::string m_name;
};

class DbTest : public ::testing::Test {
 protected:
  // Fixtures that set up more call this first and return when the test was skipped.
  // Without a server the server cases are skipped visibly; with CI=true they fail instead, so a CI run
  // without its server never passes unnoticed.
  void SetUp() override {
    if (!OnServer()) return;
    if (ServerBase().empty()) {
      const char* ci = std::getenv("CI");
      if (ci && std::string(ci) == "true") FAIL() << "no PostgreSQL server (set VDPATTERN_TEST_PG)";
      GTEST_SKIP() << "no PostgreSQL server configured (VDPATTERN_TEST_PG)";
    }
  }
  void TearDown() override { m_server.reset(); }

  // The engine the suites run against in this process: VDPATTERN_TEST_ENGINE=server makes their databases
  // catalogs on the server (CTest registers those suites a second time so), anything else files.
  static bool OnServer() {
    const char* engine = std::getenv("VDPATTERN_TEST_ENGINE");
    return engine && std::string(engine) == "server";
  }

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

  // The address of a database `name` not made yet, for a program under test to make.
  std::string NewDbAddress(const std::string& name) {
    return OnServer() ? Server().Address(std::filesystem::path(name).stem().string()) : m_dir.File(name);
  }

  TempDir m_dir;

 private:
  ServerDatabase& Server() {
    if (!m_server) m_server = std::make_unique<ServerDatabase>();
    return *m_server;
  }
  // A fresh, empty catalog on the server named after the stem of `file`.
  std::string ServerCatalog(const std::string& file) {
    return Server().FreshCatalog(std::filesystem::path(file).stem().string());
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

// The first column of a query on `db`, as texts joined by '|'.
inline std::string Column(CVdDatabase& db, const std::wstring& sql) {
  CVdRecordset rs(&db);
  rs.Open(0, sql.c_str(), 0);
  std::string texts;
  for (; !rs.IsEOF(); rs.MoveNext()) {
    CDBVariant v;
    rs.GetFieldValue(static_cast<short>(0), v);
    texts += (texts.empty() ? "" : "|") + U8(DBV_BSTRAll(&v));
  }
  return texts;
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
