#pragma once
// A fresh directory for one test, removed with everything in it when the test ends. Each instance gets its own
// directory (mkdtemp), so tests can run in parallel. Permissions that a test took away are given back first, so
// the removal also works for a non-privileged user.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vdpattern-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
    m_path = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    namespace fs = std::filesystem;
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(m_path, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(m_path, ignored);
  }

  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

  // Writes `bytes` to a new file `name` and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string path = File(name);
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return path;
  }

 private:
  std::string m_path;
};
