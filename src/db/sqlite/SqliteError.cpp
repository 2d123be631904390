#include "db/sqlite/SqliteError.h"

#include <sqlite3.h>

#include <cstring>
#include "db/DbError.h"

namespace vdpattern::db {

namespace {

const char* StateOf(int code, const char* message, SqliteStage stage) {
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_INTERRUPT:  // only ever a statement stopped at its time limit
      return kStateTimeout;
    case SQLITE_CONSTRAINT:
      return kStateConstraint;
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
      return kStateCannotOpen;
    case SQLITE_CORRUPT:
    case SQLITE_IOERR:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return stage == SqliteStage::kOpen ? kStateCannotOpen : kStateGeneral;
    case SQLITE_ERROR:
      break;
    default:
      return kStateGeneral;
  }
  if (!message) return kStateGeneral;
  auto has = [message](const char* part) { return std::strstr(message, part) != nullptr; };
  if (has("no such table")) return kStateNoTable;
  if (has("no such column")) return kStateNoColumn;
  if (has("syntax error") || has("unrecognized token") || has("incomplete input") || has("no such function") ||
      has("wrong number of arguments") || has("misuse of aggregate") || has("ambiguous column"))
    return kStateSyntax;
  return kStateGeneral;
}

}  // namespace

CDBException* NewSqliteException(int resultCode, const char* message, SqliteStage stage, const CString& what) {
  const char* text = message && *message ? message : sqlite3_errstr(resultCode);
  CString full = what;
  full += L": ";
  full += CString(text);
  if (full.GetLength() && full[full.GetLength() - 1] != L'.') full += L'.';
  return NewDbException(StateOf(resultCode, text, stage), full, resultCode, L"[vdpattern][SQLite]");
}

void ThrowSqlite(sqlite3* db, int resultCode, SqliteStage stage, const CString& what) {
  const char* message = db ? sqlite3_errmsg(db) : nullptr;
  throw NewSqliteException(resultCode, message, stage, what);
}

}  // namespace vdpattern::db
