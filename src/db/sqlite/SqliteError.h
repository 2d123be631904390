#pragma once
// The one conversion of SQLite failures into CDBException: the ODBC state from the result code (and, for the
// generic SQLITE_ERROR, from the engine's message), the extended result code as the native code, and a message
// that says what was being done.

#include <vdpattern/toolkit/DBTypes.h>

struct sqlite3;

namespace vdpattern::db {

enum class SqliteStage {
  kOpen,       // opening the file or reading its schema: unreadable content is "cannot open" (08001)
  kStatement,  // preparing or running a statement
};

// `what` says what failed ("Cannot open the database \"x.db\"", "The statement ... failed"); the engine's
// message follows it. `message` may be null: the connection's current message is used.
CDBException* NewSqliteException(int resultCode, const char* message, SqliteStage stage, const CString& what);

[[noreturn]] void ThrowSqlite(sqlite3* db, int resultCode, SqliteStage stage, const CString& what);

}  // namespace vdpattern::db
