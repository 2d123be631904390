#pragma once
// Shared by the fuzz targets: turning the fuzzer's bytes into the values a target needs, and the check that
// stops a run on a broken promise (the fuzzer then keeps the input that broke it).

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vdpattern/toolkit/Report.h>
#include <vdpattern/toolkit/Utf8.h>

namespace vdfuzz {

inline void Check(bool condition) {
  if (!condition) std::abort();
}

// A new folder for a target's files, on tmpfs when there is one: catalog writes are synchronous, and a disk
// would make each run wait.
inline std::string MakeScratchFolder(const std::string& prefix) {
  struct stat st {};
  std::string pattern = (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm/" : "/tmp/") + prefix;
  pattern += "-XXXXXX";
  Check(::mkdtemp(pattern.data()) != nullptr);
  return pattern;
}

// What a target that opens files sets up once: the library's trace lines dropped, and a heap limit for the
// engine, since a damaged file may announce huge contents (the engine then fails cleanly rather than taking the
// machine's memory).
inline void QuietFileTarget() {
  VdSetTraceHandler([](const wchar_t*) {});
  sqlite3_hard_heap_limit64(256 << 20);
}

// The fuzzer's bytes written as the whole content of the file at `path`.
inline void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  Check(f != nullptr);
  if (size) Check(std::fwrite(data, 1, size, f) == size);
  Check(std::fclose(f) == 0);
}

// Reads values off the front of the input; past its end every value is 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

  std::uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  std::uint64_t U64() {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v = (v << 8) | Byte();
    return v;
  }
  double Double() {
    const std::uint64_t bits = U64();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  std::size_t Left() const { return m_size - m_pos; }

  // The rest as a wide text. An even selector reads it as UTF-8 (invalid bytes become U+FFFD, as everywhere
  // in the library); an odd one as raw 32-bit code units, so that texts holding values that are no character
  // at all (surrogates, values beyond U+10FFFF, negative ones) reach the code too.
  std::wstring Text(std::uint8_t selector) {
    std::wstring text;
    if (selector % 2 == 0) {
      text = VdFromUtf8(std::string(reinterpret_cast<const char*>(m_data + m_pos), Left()));
    } else {
      for (; Left() >= 4; m_pos += 4) {
        std::uint32_t u;
        std::memcpy(&u, m_data + m_pos, 4);
        text += static_cast<wchar_t>(u);
      }
    }
    m_pos = m_size;
    return text;
  }
  std::wstring Text() { return Text(Byte()); }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_pos = 0;
};

}  // namespace vdfuzz
