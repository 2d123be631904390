#pragma once
// Microsoft Access files (.mdb, .accdb), read through libmdb into an in-memory SQLite database that then serves
// every statement, so the dialect, the type table and the record sets work on them unchanged. The connection is
// read-only; its writes throw a message that says how to convert the file into a writable catalog.
//
// libmdb trusts the file it reads, so the reader checks what it hands it and does the conversions itself:
// - the signature, version and size are checked before libmdb opens the file, and every page number the
//   reader follows is checked against the size;
// - the catalog (MSysObjects, page 2) is read with the row reader below, never with mdb_read_catalog (whose
//   property parser hangs or crashes on damaged files); each table's usage map is checked before its rows are;
// - values are converted from their raw bytes (texts, doubles, dates, currency, binary), NULL told from an
//   empty text by the row's null bitmap, long values (MEMO, OLE) followed page by page up to their declared
//   length, with a cycle in their page chain taken for damage;
// - a table that gives fewer rows than it stores in its definition is damage, never a shorter table.
// Damage throws CDBException (state 08001) naming the file.

#include <memory>
#include <vdpattern/toolkit/String.h>
#include "toolkit/db/DbFile.h"

namespace vdpattern::db {

class SqliteConnection;

// Reads the Access file at `path`, which ProbeDbFile found to start with an Access signature.
std::unique_ptr<SqliteConnection> OpenAccessFile(const CString& path, const DbFileProbe& probe);

}  // namespace vdpattern::db
