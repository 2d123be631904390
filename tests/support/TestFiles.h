#pragma once
// Test support: a temporary folder removed with everything in it, and raw SQLite access to build and inspect
// database files without going through the library.

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

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
// `busyMs` is how long it waits for another connection's lock.
class RawDb {
 public:
  explicit RawDb(const std::string& path, int busyMs = 0) {
    if (sqlite3_open(path.c_str(), &m_db) != SQLITE_OK) {
      sqlite3_close(m_db);
      throw std::runtime_error("cannot open " + path);
    }
    sqlite3_busy_timeout(m_db, busyMs);
  }
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;
  ~RawDb() { sqlite3_close(m_db); }

  int TryExec(const std::string& sql) { return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr); }
  void Exec(const std::string& sql) {
    if (TryExec(sql) != SQLITE_OK) throw std::runtime_error("SQL failed: " + std::string(sqlite3_errmsg(m_db)));
  }
  // The first column of the first row, as text: "NULL" for a null value, "<no row>" when there is none.
  std::string One(const std::string& sql) {
    std::string result = "<no row>";
    auto first = [](void* out, int, char** values, char**) {
      *static_cast<std::string*>(out) = values[0] ? values[0] : "NULL";
      return 1;  // one row is enough
    };
    const int rc = sqlite3_exec(m_db, sql.c_str(), first, &result, nullptr);
    if (rc != SQLITE_OK && rc != SQLITE_ABORT) throw std::runtime_error("query failed: " + sql);
    return result;
  }

 private:
  sqlite3* m_db = nullptr;
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
