#pragma once
// Test support: a temporary folder removed with everything in it, and raw SQLite access to build and inspect
// database files without going through the library.

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

namespace vdtest {

// A fresh folder for one test, removed with everything in it when the test ends. Each instance gets its own
// folder (mkdtemp), so tests can run in parallel. Permissions that a test took away are given back first, so
// the removal also works for a user without privileges.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vdpattern-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(m_path, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::string File(const std::string& name) const { return (m_path / name).string(); }

  // Writes `bytes` to a new file `name` and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string file = File(name);
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

 private:
  std::filesystem::path m_path;
};

// A connection of its own to a database file (created when missing), independent of the library under test;
// `busyMs` is how long it waits for another connection's lock. For a catalog on a server (an address that
// DbTest made) it is a second connection through the library: statements in the catalogs' dialect, values
// read as the library's text of them.
class RawDb {
 public:
  explicit RawDb(const std::string& path, int busyMs = 0) {
    if (path.compare(0, 11, "postgresql:") == 0) {
      m_server = std::make_unique<CVdDatabase>();
      m_server->Open(CString(VdFromUtf8(path).c_str()));
      return;
    }
    if (sqlite3_open(path.c_str(), &m_db) != SQLITE_OK) {
      sqlite3_close(m_db);
      throw std::runtime_error("cannot open " + path);
    }
    sqlite3_busy_timeout(m_db, busyMs);
  }
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;
  ~RawDb() { sqlite3_close(m_db); }

  int TryExec(const std::string& sql) {
    if (!m_server) return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr);
    try {
      ForEachStatement(sql, [&](const std::string& one) {
        m_failed = one;
        m_server->ExecuteSQL(VdFromUtf8(one).c_str());
      });
      return 0;
    } catch (CDBException* e) {
      m_failed += ": " + VdToUtf8(e->m_strError.str());
      e->Delete();
      return 1;
    }
  }
  void Exec(const std::string& sql) {
    if (TryExec(sql) != 0) throw std::runtime_error("SQL failed: " + (m_db ? sqlite3_errmsg(m_db) : m_failed));
  }
  // The first column of the first row, as text: "NULL" for a null value, "<no row>" when there is none.
  std::string One(const std::string& sql) {
    std::string result = "<no row>";
    if (m_server) {
      try {
        CVdRecordset rs(m_server.get());
        rs.Open(0, VdFromUtf8(sql).c_str(), 0);
        if (!rs.IsEOF()) {
          CDBVariant v;
          rs.GetFieldValue(static_cast<short>(0), v);
          result = v.m_dwType == DBVT_NULL ? "NULL" : VdToUtf8(DBV_BSTRAll(&v).str());
          // Real numbers as SQLite writes them, so that a test compares one text on both engines.
          if ((v.m_dwType == DBVT_DOUBLE || v.m_dwType == DBVT_SINGLE) &&
              result.find_first_not_of("-0123456789") == std::string::npos)
            result += ".0";
        }
      } catch (CDBException* e) {
        e->Delete();
        throw std::runtime_error("query failed: " + sql);
      }
      return result;
    }
    auto first = [](void* out, int, char** values, char**) {
      *static_cast<std::string*>(out) = values[0] ? values[0] : "NULL";
      return 1;  // one row is enough
    };
    const int rc = sqlite3_exec(m_db, sql.c_str(), first, &result, nullptr);
    if (rc != SQLITE_OK && rc != SQLITE_ABORT) throw std::runtime_error("query failed: " + sql);
    return result;
  }

  // Calls `run` with each statement of `sql`, ended by ";" outside quotes.
  template <typename Run>
  static void ForEachStatement(const std::string& sql, Run run) {
    std::string statement;
    bool quoted = false;
    for (char c : sql) {
      if (c == '\'') quoted = !quoted;
      if (c != ';' || quoted) {
        statement += c;
        continue;
      }
      if (statement.find_first_not_of(" \n\t") != std::string::npos) run(statement);
      statement.clear();
    }
    if (statement.find_first_not_of(" \n\t") != std::string::npos) run(statement);
  }

 private:
  sqlite3* m_db = nullptr;
  std::unique_ptr<CVdDatabase> m_server;
  std::string m_failed;  // the server statement that failed last, and why
};

// Runs one or more SQL statements on a database file, creating it when missing.
inline void ExecSql(const std::string& file, const std::string& sql) { RawDb(file).Exec(sql); }

// The first column of the first row of a query, as text ("NULL" for a null value).
inline std::string QueryText(const std::string& file, const std::string& sql) { return RawDb(file).One(sql); }

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Changes the current directory for its lifetime (tests may share one process).
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::filesystem::path& dir) : m_saved(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(m_saved, ignored);
  }
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::filesystem::path m_saved;
};

// A sample file the tests read from outside the tree may be missing on a developer's machine, and its tests are
// then skipped visibly; in CI (CI=true) a missing sample fails them, so a lost file never passes unnoticed.
#define VDTEST_REQUIRE_SAMPLE(path)                                                            \
  do {                                                                                         \
    if (!std::filesystem::exists(path)) {                                                      \
      const char* ci = std::getenv("CI");                                                      \
      if (ci && std::string(ci) == "true") FAIL() << "the sample " << (path) << " is missing"; \
      GTEST_SKIP() << "the sample " << (path) << " is not there";                              \
    }                                                                                          \
  } while (false)

}  // namespace vdtest
