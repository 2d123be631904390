#pragma once
// Test support: a temporary folder removed with everything in it, and raw SQLite access to build and inspect
// database files without going through the library.

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// Runs one or more SQL statements on a database file, creating it when missing.
inline void ExecSql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot open " + file);
  }
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  const std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("SQL failed: " + message + " in: " + sql);
}

// The first column of the first row of a query, as text ("NULL" for a null value).
inline std::string QueryText(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  std::string result = "<no row>";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    result = sqlite3_column_type(stmt, 0) == SQLITE_NULL ? "NULL" : reinterpret_cast<const char*>(text);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return result;
}

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
