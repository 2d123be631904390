#pragma once
// A directory of a benchmark's own under $TMPDIR (or /tmp), removed with everything in it when the object goes:
// a run leaves no catalog behind, whatever benchmark failed.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace bench {

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name) {
    const char* base = std::getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/vdpattern-" + name + "-XXXXXX";
    if (!::mkdtemp(dir.data())) throw std::runtime_error("cannot create a temporary directory");
    m_path = dir;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace bench
