#pragma once
// CVdRecordset: the rows of one statement over a CVdDatabase, the platform's ODBC record set as the catalog
// and the factory use it: navigation, column values as CDBVariant, column descriptions, and edits of the
// current row. The caller creates it on a database that it borrows (the database must outlive it), opens and
// closes it, and destroys it.
//
// Choices:
// - Open takes exactly one statement, or the bare name of a table (all of its rows). Text after the first
//   statement (other than blanks, semicolons and comments) is refused with a CDBException, so no quoted name
//   can carry a second statement. The Access dialect that the catalog writes works: [bracketed] names, Like
//   with % and _ (ASCII letters without case), IIF, IsNull(x) (rewritten to ((x) IS NULL) outside quotes and
//   brackets), COUNT(*), MAX. Column names are matched ignoring case.
// - All rows are read at Open into the record set's own storage and the engine's statement is released, so an
//   open record set holds no lock on the file: it sees the data as of Open plus its own edits; Requery reads
//   again. The open type and options are accepted for the platform's signature and do not change this.
// - Quoted literals of SELECT/INSERT/UPDATE/DELETE statements are lifted out of the text and bound as
//   parameters, so statements that differ only in their literals share one prepared statement.
// - Texts compare ignoring the case of ASCII letters, as in the catalogs' first engine, whatever the file's
//   columns declare (a file made by another program has no collations): =, <>, <, >, BETWEEN, IN, ORDER BY,
//   GROUP BY, PARTITION BY and the DISTINCT of the top-level SELECT. The mechanism is the engine's NOCASE
//   collation, put into the statement: the left operand of each comparison and each sort or grouping term get
//   COLLATE NOCASE, and a top-level SELECT DISTINCT runs as a SELECT grouped by each of its result columns with
//   NOCASE. A comparison so marked still uses an index that ignores case (catalogs made by the library declare
//   their text columns COLLATE NOCASE and index Name with it); the mark is left off columns declared numeric or
//   date, whose values have no case and whose plain indexes it would bypass. Only A-Z and a-z fold: letters
//   beyond ASCII compare exactly ("É" is not "é"), because an index ordered by a wider folding would be
//   out of order for every other program that writes the same file. LIKE already ignores ASCII case. A statement
//   that names a collation itself is run as written, and so are a DISTINCT inside a subquery and an aggregate's
//   DISTINCT (they compare as their columns declare). EXPLAIN QUERY PLAN shows the plan of the statement as
//   rewritten. The cost is paid at translation and prepare time only, both cached.
// - Values: NULL is DBVT_NULL whatever the column's type; otherwise the column's declared type chooses the
//   value type (INTEGER -> DBVT_LONG, DOUBLE -> DBVT_DOUBLE, texts -> DBVT_WSTRING, DATE -> DBVT_DATE from
//   ISO-8601 text, BLOB -> DBVT_BINARY, ...); a value that does not convert cleanly to its column's type comes
//   back as its own type; an integer beyond +-2^53 (a BIGINT, say) comes back as its exact digits in a
//   DBVT_WSTRING rather than rounded to a double. Dates are written as ISO-8601 text, texts as UTF-8.
// - Limits (an extension): SetFieldValue refuses, on every engine alike, a value its column's declared type
//   cannot hold: outside 0..255 for BYTE, the 16-, 32- or 64-bit range for SMALLINT, INTEGER, BIGINT (also a
//   fraction, or a text that is no whole number), or a text longer than a declared size TEXT(n) in characters.
//   It throws CDBException (state 22003 or 22001) naming the column, the value and the limit, and the column is
//   left unset (not written by Update), so the value never reaches the database.
// - Edits: Edit / AddNew, SetFieldValue, Update write the current row (by its row id) or a new row of a result
//   that reads the columns of one table; any other result (several tables, computed columns, DISTINCT, GROUP
//   BY, compound) is read-only and edits throw. After Update the row is read back, so the record set shows what
//   the file holds; a new row is appended at the end of the record set, and the current row does not move.
//   Columns not set by AddNew get their default. Setting an empty or null variant writes NULL. Delete removes
//   the current row; the row after it becomes current (or EOF).
// - Extension, batched appends: QueueNew, called in place of Update after AddNew and the SetFieldValue calls,
//   keeps the new row (the values SetFieldValue accepted, checked as for Update) instead of writing it, and
//   WriteQueued writes every row kept in as few statements as the engine takes: multi-row INSERTs of bound
//   values, each within the engine's limit of parameters. Queued rows are not added to the record set and are
//   not read back (WriteQueuedKeepingRows reads them where that costs no round trip); the queue is emptied by
//   WriteQueued, written or not, and by Close. WriteQueued may run several statements: when it throws, the rows of
//   those before the failure stay written, so a caller that needs all or nothing runs it inside a write group
//   (CVdDatabase::BeginWriteGroup) and undoes that.
// - Extension, batched edits: QueueEdit, called in place of Update after Edit and the SetFieldValue calls, keeps
//   the edit of the current row, and WriteQueuedEdits writes every edit kept in as few statements as the engine
//   takes (a server: one UPDATE per few thousand rows that set the same columns; a file: one per row, which
//   costs no round trip). A second QueueEdit of a row is merged into its first, the later values winning. The
//   rows show their old values until WriteQueuedEdits, then what the database holds, as after Update. The
//   queue is emptied by WriteQueuedEdits, written or not, by Requery and by Close; Delete and an Update of a row
//   with a queued edit throw while edits are queued (they would reorder them). All or nothing as WriteQueued.
// - MoveFirst on an empty record set leaves it at EOF without failing; MoveNext at EOF throws.
// - Every failure throws CDBException* (m_nRetCode SQL_ERROR); the catcher releases it with Delete().
// - Operations are virtual so that a host or a test can derive.
//
// Thread use: one thread at a time, the thread that uses its database.

#include <cstddef>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>
#include <vdpattern/toolkit/WinTypes.h>

class CVdDatabase;

namespace vdpattern::db {
class Connection;
struct RecordsetState;
}  // namespace vdpattern::db

class VDTOOLKIT_EXPORT CVdRecordset {
 public:
  // `database` is borrowed: it must stay alive (not necessarily open) as long as this record set.
  explicit CVdRecordset(CVdDatabase* database);
  CVdRecordset(const CVdRecordset&) = delete;
  CVdRecordset& operator=(const CVdRecordset&) = delete;
  virtual ~CVdRecordset();

  // Runs the statement (or reads the named table) and stands on the first row. Returns TRUE; failures throw
  // and leave the record set closed.
  virtual int Open(unsigned int openType, const wchar_t* text, unsigned long options = 0);
  virtual void Close();
  virtual BOOL IsOpen() const;
  // Reads the rows again with the same statement and stands on the first row.
  virtual BOOL Requery();

  // The number of rows (0 when empty or closed).
  virtual long GetRecordCount() const;
  virtual BOOL IsEOF() const;
  virtual BOOL IsBOF() const;
  virtual void MoveFirst();
  virtual void MoveNext();
  virtual void MovePrev();
  virtual void MoveLast();

  // Whether Edit, AddNew and Delete are possible: an open, one-table result on a writable database.
  virtual BOOL CanUpdate() const;
  virtual void Edit();
  virtual void AddNew();
  // Writes the edited or new row; FALSE when nothing was set during Edit.
  virtual BOOL Update();
  virtual void CancelUpdate();
  virtual void Delete();
  // Extension, batched appends (see above). QueueNew throws after anything but AddNew, or on a read-only
  // result; WriteQueued throws CDBException* for the engine's refusal (a constraint, a lock time-out).
  void QueueNew();
  void WriteQueued();
  // WriteQueued, and where the engine reads the written rows back in the same statements (a server), appends
  // them to the record set as Update would, in the order queued, and returns true; false when it did not (a
  // file), the rows then being for the caller to read. Throws as WriteQueued does, the record set then showing
  // none of the rows.
  bool WriteQueuedKeepingRows();
  std::size_t GetQueuedCount() const;
  // Extension, batched edits (see above). QueueEdit throws after anything but Edit, or on a read-only result;
  // WriteQueuedEdits throws CDBException* for the engine's refusal, or when another connection deleted a row.
  void QueueEdit();
  void WriteQueuedEdits();
  std::size_t GetQueuedEditCount() const;

  // `type` 0 (or SQL_C_DEFAULT) gives the column's own type; SQL_C_CHAR / SQL_C_WCHAR give its text,
  // SQL_C_DOUBLE a double, SQL_C_LONG / SQL_C_SLONG a 32-bit integer.
  virtual void GetFieldValue(const wchar_t* name, CDBVariant& value, short type = 0);
  virtual void GetFieldValue(short index, CDBVariant& value, short type = 0);

  // Valid between Edit/AddNew and Update. A null text writes NULL.
  virtual void SetFieldValue(const wchar_t* name, const wchar_t* value);
  virtual void SetFieldValue(const wchar_t* name, const COleVariant& value);
  virtual void SetFieldValue(int index, const COleVariant& value);

  virtual short GetODBCFieldCount() const;
  virtual void GetODBCFieldInfo(short index, CODBCFieldInfo& info) const;
  virtual void GetODBCFieldInfo(const wchar_t* name, CODBCFieldInfo& info) const;
  // The full description of column `index`; every member is filled whatever `options` says (the platform's
  // callers pass 0 or 3).
  virtual void GetFieldInfoEx(int index, CODBCFieldInfoEx& info, unsigned long options) const;

  // The OLE form of a value: DBVT_LONG -> VT_I4, DBVT_DOUBLE -> VT_R8, DBVT_WSTRING -> VT_BSTR, DBVT_DATE ->
  // VT_DATE, DBVT_BINARY -> VT_ARRAY | VT_UI1, DBVT_NULL -> VT_NULL, ...
  static COleVariant getOLEVariant(const CDBVariant& value);

  CVdDatabase* GetDatabase() const { return m_pDatabase; }

  // Names the current result: it changes whenever the column names or types that GetODBCFieldInfo reports
  // may have changed (Open, Requery, a written row), is never the same for two results of one process, and is
  // 0 while closed. A reader of many rows describes the columns once per result with it.
  unsigned long long GetResultSerial() const;

 private:
  // The database's open connection, or null; owned by the database.
  vdpattern::db::Connection* CurrentConnection() const;
  void ReleaseState();

  CVdDatabase* m_pDatabase;                           // borrowed
  vdpattern::db::RecordsetState* m_pState = nullptr;  // owned while open, null while closed
};
