#pragma once
// The engines a database suite runs against, as GoogleTest parameters: a file in a test's own folder, and a
// catalog (a schema of its own, so tests run in parallel) on the PostgreSQL server that VDPATTERN_TEST_PG
// names (scripts/with-pg-server.sh sets it; libpq's PG* variables do the rest). Without a server the server
// cases are skipped visibly; with CI=true a skipped server case fails instead, so a CI run without its server
// never passes unnoticed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include "support/TestFiles.h"

namespace vdtest {

enum class Engine { kFile, kServer };

inline std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::kFile ? "File" : "Server";
}

// A database made for one test on one engine, and dropped at the end of the test.
class EngineDatabase {
 public:
  EngineDatabase() = default;
  EngineDatabase(const EngineDatabase&) = delete;
  EngineDatabase& operator=(const EngineDatabase&) = delete;
  ~EngineDatabase() { Drop(); }

  // The server's address without a catalog, or empty when no server is configured.
  static std::string ServerBase() {
    const char* base = std::getenv("VDPATTERN_TEST_PG");
    return base ? base : "";
  }

  // Makes the database; returns false when its engine is not available here (the caller skips). With `create`
  // false only its address is chosen, for a program under test to create (it is dropped all the same).
  bool Make(Engine engine, bool create = true) {
    m_engine = engine;
    if (engine == Engine::kFile) {
      m_address = m_dir.File("catalog.mdb");
      if (create) CVdDatabase::CreateDatabase(CString(VdFromUtf8(m_address).c_str()));
      return true;
    }
    const std::string base = ServerBase();
    if (base.empty()) return false;
    static std::atomic<int> counter{0};
    m_schema = "vdtest_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    m_address = base + (base.find('?') == std::string::npos ? "?catalog=" : "&catalog=") + m_schema;
    if (create) CVdDatabase::CreateDatabase(CString(VdFromUtf8(m_address).c_str()));
    return true;
  }

  const std::string& address() const { return m_address; }
  CString Address() const { return CString(VdFromUtf8(m_address).c_str()); }
  Engine engine() const { return m_engine; }
  // The server catalog's name (its schema); empty for a file.
  const std::string& catalog() const { return m_schema; }

 private:
  void Drop() {
    if (m_schema.empty()) return;
    try {
      CVdDatabase db;
      db.Open(CString(VdFromUtf8(ServerBase()).c_str()));
      db.ExecuteSQL(VdFromUtf8("DROP SCHEMA [" + m_schema + "] CASCADE").c_str());
    } catch (CDBException* e) {
      e->Delete();
    }
  }

  TempDir m_dir;
  Engine m_engine = Engine::kFile;
  std::string m_address;
  std::string m_schema;
};

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

  // An empty catalog `name`, replacing one of that name.
  std::string FreshCatalog(const std::string& name) {
    const std::string base = "postgresql:///" + m_name;
    {
      CVdDatabase db;
      db.Open(CString(VdFromUtf8(base).c_str()));
      db.ExecuteSQL(VdFromUtf8("DROP SCHEMA IF EXISTS [" + name + "] CASCADE").c_str());
    }
    const std::string address = base + "?catalog=" + name;
    CVdDatabase::CreateDatabase(CString(VdFromUtf8(address).c_str()));
    return address;
  }

 private:
  static void Admin(const std::string& sql) {
    CVdDatabase db;
    db.Open(CString(VdFromUtf8(EngineDatabase::ServerBase()).c_str()));
    db.ExecuteSQL(VdFromUtf8(sql).c_str());
  }

  std::string m_name;
};

// Makes `database` for the test's engine, or skips the test when the engine is not available (fails in CI).
#define VDTEST_MAKE_DATABASE(database, engine)                                                       \
  do {                                                                                               \
    if (!(database).Make(engine)) {                                                                  \
      const char* ci = std::getenv("CI");                                                            \
      if (ci && std::string(ci) == "true") FAIL() << "no PostgreSQL server (set VDPATTERN_TEST_PG)"; \
      GTEST_SKIP() << "no PostgreSQL server configured (VDPATTERN_TEST_PG)";                         \
    }                                                                                                \
  } while (false)

}  // namespace vdtest
