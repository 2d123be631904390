#include "toolkit/db/Connection.h"

#include <atomic>
#include "toolkit/db/DbError.h"
#include "toolkit/db/DbFile.h"
#include "toolkit/db/access/AccessLoader.h"
#include "toolkit/db/sqlite/SqliteConnection.h"

namespace vdpattern::db {

namespace {

std::atomic<std::uint64_t> g_nextSerial{1};

[[noreturn]] void CannotOpen(const CString& path, const wchar_t* reason) {
  CString message;
  message.Format(L"Cannot open the database \"%s\": %s", path, reason);
  ThrowDbError(kStateCannotOpen, message);
}

}  // namespace

Connection::Connection(const CString& name, bool readOnly, const CString& readOnlyReason)
    : m_name(name), m_readOnly(readOnly), m_readOnlyReason(readOnlyReason), m_serial(g_nextSerial++) {}

Connection::~Connection() = default;

// One opener per file format. A format that no engine reads directly (Access) is loaded into an in-memory SQLite
// database, read-only, which then serves every statement.
std::unique_ptr<Connection> OpenConnection(const CString& path, bool exclusive, bool readOnly, int busyTimeoutMs) {
  const DbFileProbe probe = ProbeDbFile(path);
  switch (probe.format) {
    case DbFormat::kSqlite3:
      return SqliteConnection::OpenFile(path, probe, readOnly, exclusive, busyTimeoutMs);
    case DbFormat::kAccess:
      return OpenAccessFile(path, probe);
    case DbFormat::kEmpty:
      CannotOpen(path, L"the file is empty, it is not a database.");
    case DbFormat::kUnknown:
      break;
  }
  CannotOpen(path, L"the file is not a database (its content is of no known database format).");
}

void CreateDatabase(const CString& path) { SqliteConnection::CreateFile(path); }

}  // namespace vdpattern::db
