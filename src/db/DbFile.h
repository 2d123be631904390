#pragma once
// What a database file is before any engine touches it: its format, read from its first bytes, and whether it
// may be written. CVdDatabase::Open dispatches on the format, so a new format needs a detector here and an
// opener there.

#include <cstddef>
#include <cstdint>
#include <vdpattern/toolkit/String.h>

namespace vdpattern::db {

// kLink: a catalog link file (ServerAddress.h), which names a catalog on a server.
enum class DbFormat { kUnknown, kEmpty, kSqlite3, kAccess, kLink };

struct DbFileProbe {
  DbFormat format = DbFormat::kUnknown;
  // The file and its folder are writable: access() allows it and each carries at least one write permission
  // bit (so a file made read-only counts as read-only for the superuser too, as on the platform).
  bool writable = false;
  std::uint64_t size = 0;
  unsigned char header[100] = {};
  std::size_t headerLength = 0;
};

DbFormat DetectDbFormat(const unsigned char* bytes, std::size_t length);

// Throws CDBException (state 08001) naming the file when it does not exist, is not a regular file or cannot
// be read.
DbFileProbe ProbeDbFile(const CString& path);

}  // namespace vdpattern::db
