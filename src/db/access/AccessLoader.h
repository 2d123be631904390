#pragma once
// Microsoft Access files (.mdb, .accdb) of every version from Access 97 to Access 2019, read by AccessFile (our
// own reader of the format: see AccessFile.h for why and how) into an in-memory SQLite database that then serves
// every statement, so the dialect, the type table and the record sets work on them unchanged. The connection is
// read-only; its writes throw a message that says how to convert the file into a writable catalog.
//
// What the copy holds:
// - every table MSysObjects (page 2) lists, read with our row reader; tables flagged as system, the MSys ones
//   and the hidden tables behind complex columns are marked as system tables;
// - values converted from their raw bytes: texts, numbers, dates (as the toolkit's date text), currency, GUIDs,
//   binary values; NULL told from an empty text by the row's null mask; long values (MEMO, OLE) followed page
//   by page up to their declared length, with a cycle in their page chain taken for damage;
// - decimals as exact text, under the declared type NUMERIC_TEXT(p,s): they have up to 28 significant digits,
//   which a double cannot hold, and SQLite's NUMERIC affinity would turn them into doubles. The toolkit reads
//   them as text, and "vdcatalog convert" copies them digit for digit;
// - extended dates (Access 2019) as dates to 100 ns, years 1 to 9999;
// - calculated fields as their stored result, of the type their ResultType property gives;
// - attachment, multi-value and version-history columns as text a user can read (file names, values, or each
//   version's date and text), taken from their hidden tables, which are copied too.
// A table that gives fewer rows than its definition stores is damage, never a shorter table; so are a table the
// catalog lists twice, two complex columns sharing one hidden table, and what AccessFile.h bounds (shared long
// values, a file that decodes to far more than its size). Damage throws CDBException (state 08001) naming the
// file; the copy then is freed whole.

#include <memory>
#include <vdpattern/toolkit/String.h>
#include "db/DbFile.h"

namespace vdpattern::db {

class SqliteConnection;

// Reads the Access file at `path`, which ProbeDbFile found to start with an Access signature. The whole read
// counts as one statement for the connection's time limit: after `timeLimit` seconds (0: none) it stops with
// CDBException HYT00. Caller owns the result.
std::unique_ptr<SqliteConnection> OpenAccessFile(const CString& path, const DbFileProbe& probe,
                                                 unsigned long timeLimit = 0);

}  // namespace vdpattern::db
