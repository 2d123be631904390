#pragma once
// The raw-engine side of the benchmarks: one row read from a prepared statement into tagged values, texts
// converted to wide strings as the library does, buffers reused from row to row.

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>
#include <vdpattern/toolkit/Utf8.h>

namespace rawbench {

struct Tagged {
  int type = SQLITE_NULL;
  std::int64_t i = 0;
  double d = 0;
  std::wstring text;
  std::vector<unsigned char> bytes;
};

// UTF-8 to wide text into a reused string: ASCII directly, anything else through the toolkit's converter.
inline void AssignUtf8(std::wstring& out, const char* p, std::size_t n) {
  std::size_t ascii = 0;
  while (ascii < n && static_cast<unsigned char>(p[ascii]) < 0x80) ++ascii;
  out.resize(ascii);
  for (std::size_t k = 0; k < ascii; ++k) out[k] = static_cast<unsigned char>(p[k]);
  if (ascii < n) out += VdFromUtf8(std::string_view(p + ascii, n - ascii));
}

inline void ReadRow(sqlite3_stmt* stmt, std::vector<Tagged>& row) {
  const int columns = sqlite3_column_count(stmt);
  row.resize(static_cast<std::size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    Tagged& value = row[static_cast<std::size_t>(c)];
    value.type = sqlite3_column_type(stmt, c);
    switch (value.type) {
      case SQLITE_INTEGER:
        value.i = sqlite3_column_int64(stmt, c);
        break;
      case SQLITE_FLOAT:
        value.d = sqlite3_column_double(stmt, c);
        break;
      case SQLITE_TEXT:
        AssignUtf8(value.text, reinterpret_cast<const char*>(sqlite3_column_text(stmt, c)),
                   static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
        break;
      case SQLITE_BLOB: {
        const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, c));
        value.bytes.assign(p, p + sqlite3_column_bytes(stmt, c));
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace rawbench
