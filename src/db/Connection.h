#pragma once
// Connection: what CVdDatabase and CVdRecordset ask of a database engine, and the contract every engine
// implements in a folder of its own (sqlite/, postgres/; the Access reader loads its files into an SQLite
// connection).
// OpenConnection, below, is the one place that chooses the engine: a new engine is a new folder and one branch
// there. Nothing outside src/db knows which engine serves a database.
//
// Ownership. OpenConnection's caller owns the connection: CVdDatabase deletes it on Close, on the next Open and
// when destroyed. Record set states are the engine's own types, derived from RecordsetState and ColumnSet
// (RecordsetState.h): Query makes a state and its caller owns it, and gives it back with ReturnState while the
// connection is open (or deletes it once the connection is gone). A state only ever reaches the connection that
// made it, since CVdRecordset compares serial() with the state's connectionSerial before every call, so an
// engine may cast the states and column descriptions it is handed to its own types.
//
// Failures. Every operation that can fail throws CDBException* (m_nRetCode SQL_ERROR; the catcher deletes it):
// the engine converts its own failures in one function of its folder, and throws the layer's through
// ThrowDbError, with the ODBC states of DbError.h (HYT00 for a lock waited on too long or a time limit, 42000
// for a text that is not exactly one statement, 23000 for a broken constraint, 08001 at open). A write that
// throws has changed nothing. The destructor, the accessors, InTransaction and ReturnState never throw.
//
// Statement texts come from hosts in the dialect the catalogs write (VdRecordset.h): [bracketed] names, quoted
// literals, IIF, IsNull(x), Like with % and _, texts compared ignoring the case of ASCII letters. Each engine
// translates them into its own dialect ([name] -> "name", IIF -> CASE, its own way to ignore case), refuses a
// text that holds more than one statement, and may cache translations and prepared statements.
//
// Results. Query reads every row at once into the state's cells and arena and lets go of the engine's
// statement, so an open record set holds no lock and no server resource. CVdRecordset reads cells without
// calling the connection, so values must be cells by the time Query, InsertRow or ReadBack return. A result
// over the columns of one table (no computed column, DISTINCT, GROUP BY or compound part) is editable: its
// ColumnSet is `updatable`, names the table, and stores after the shown columns the cells that identify each row
// to the engine (SQLite: the row id; a server engine: the key columns), which nothing else reads.
//
// Thread use: one thread at a time, together with the record sets that use it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>

#include "db/RecordsetState.h"

namespace vdpattern::db {

using ColumnComment = ::VdColumnComment;

class Connection {
 public:
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // Closes the engine's connection and frees what it cached; an open transaction is rolled back.
  virtual ~Connection();

  // What Open was given (the path of a file); messages name it.
  const CString& name() const { return m_name; }
  bool readOnly() const { return m_readOnly; }
  // Why writes are refused, when the format of the file or the rights on a server are the reason; empty
  // otherwise.
  const CString& readOnlyReason() const { return m_readOnlyReason; }
  // Distinguishes this connection from any other of the process, also one opened later at the same address.
  std::uint64_t serial() const { return m_serial; }

  // Milliseconds to wait for another connection's lock before failing with HYT00.
  virtual void SetBusyTimeout(int milliseconds) = 0;
  // Seconds a statement may run before it is stopped with HYT00; 0: no limit.
  virtual void SetQueryTimeout(unsigned long seconds) = 0;

  // The tables in ascending name order ignoring case, the engine's own marked VD_TABLEDEF_SYSTEM (VdDatabase.h).
  // TableCount and TableByName see the current list; TableAt reads the one the last TableCount saw, and throws
  // 42S02 for a position beyond it. TableByName returns false for a name that is no table.
  virtual int TableCount() = 0;
  virtual const CVdODBCTableDefInfo& TableAt(std::size_t index) = 0;
  virtual bool TableByName(const wchar_t* name, CVdODBCTableDefInfo& info) = 0;

  // Which of the tables `isCandidate` admits, in the order above, first holds a row whose column `column` equals
  // `value` (compared as statements compare text), asked in one statement. kUnanswered: not in one statement here
  // (the engine gains nothing by it, or a candidate cannot be asked); the caller then asks table by table.
  // Throws what a statement throws for a lost connection or a time-out. `column` must be bracketable, and
  // `isCandidate` must answer from a table's description alone (an engine may keep its answers).
  enum class Probe { kFound, kNotFound, kUnanswered };
  virtual Probe FirstTableHolding(const std::function<bool(const CVdODBCTableDefInfo&)>& isCandidate,
                                  const wchar_t* column, const wchar_t* value, CString& table);
  // The name of `table`'s column that equals `column` ignoring ASCII case, as the schema spells it, read without
  // a statement where the engine keeps its names; false when the table or the column is not known. The default
  // gives `column` as written: the file engines read a name in any case.
  virtual bool ColumnSpelling(const wchar_t* table, const wchar_t* column, CString& spelt);

  // The columns of each of `tables` as a read of all its columns describes them (name, declared type, type,
  // nullability; never the engine's row identity), asked in one statement, into `columns` by the table's name as
  // given. A table left out is not answered here (not there, or one whose read the engine refuses): the caller
  // reads it alone. False when the engine gains nothing by it. Throws what a statement throws.
  virtual bool ColumnsOfTables(const std::vector<CString>& tables,
                               std::map<std::wstring, std::vector<ColumnInfo>>& columns);

  // Transactions. Begin starts one that is going to write: it takes the write lock at once where the engine
  // has one, so that what it reads cannot change before it writes. BeginRead starts one that sees one state of
  // the data and locks as little and as late as the engine can. Both return false when a transaction is open
  // already; Commit and Rollback return false when none is. A Commit that throws may leave the transaction
  // open, for the caller to roll back.
  virtual bool InTransaction() const = 0;
  // Whether the open transaction was lost with the engine's connection (a server engine): its writes are gone,
  // and every call but Rollback fails until the host ends it.
  virtual bool TransactionLost() const { return false; }
  virtual bool Begin() = 0;
  virtual bool BeginRead() = 0;
  // Whether reads inside BeginRead's transaction cost less than the same reads alone: true where each read alone
  // locks the data (a file); false where the transaction's own statements cost more than it saves (a server:
  // its BEGIN and COMMIT are round trips of their own, and each read alone sees one committed state).
  virtual bool ReadGroupsSave() const { return true; }
  virtual bool Commit() = 0;
  virtual bool Rollback() = 0;
  // A nested group inside the open transaction: EndSavepoint(false) undoes the writes made since the matching
  // BeginSavepoint; either way the group ends. Groups nest.
  virtual void BeginSavepoint() = 0;
  virtual void EndSavepoint(bool keep) = 0;

  // Runs one host statement and drops any rows it gives.
  virtual void Execute(const wchar_t* text) = 0;
  // Runs a write of the open transaction whose answer the caller does not need now (a server engine sends it and
  // returns, and the server works while the caller goes on). Its failure is thrown by the next call that talks
  // to the engine, and leaves the transaction lost (TransactionLost): nothing of it can then be kept. The
  // default runs it at once.
  virtual void ExecuteAhead(const wchar_t* text) { Execute(text); }
  // Runs `text` (null: none) and then sets each comment of `comments` on its column, all or nothing, in one
  // round trip where the engine keeps comments; an engine without column comments (a file) runs `text` alone.
  // Table and column names are as the catalog names them (the engine spells them as its schema does; a table
  // or column `text` makes is taken as written). An empty comment removes the column's. Throws what a statement
  // throws.
  virtual void ExecuteCommenting(const wchar_t* text, const std::vector<ColumnComment>& /*comments*/) {
    if (text) Execute(text);
  }
  // The comments the columns of the catalog's tables carry, by table and column as the schema spells them;
  // false (nothing read) on an engine without column comments. Throws what a statement throws.
  virtual bool ColumnComments(std::map<std::wstring, std::map<std::wstring, std::wstring>>& comments) {
    comments.clear();
    return false;
  }
  // Gives the text columns that an earlier version made case-blind by their own collation the exact collation
  // of new ones, in the open transaction, their indexes kept case-blind: the tables changed in `made`, those
  // left as they are (an index that cannot be made again as it was) in `left`. False, nothing done, on an
  // engine whose columns never had such a collation (a file). Throws what a statement throws.
  virtual bool MakeTextExact(std::vector<std::wstring>& made, std::vector<std::wstring>& left) {
    made.clear();
    left.clear();
    return false;
  }
  // Drops from the library's logs (vd_change, vd_history) that the connection's role owns what an earlier
  // version gave them and new ones lack: their row identity and the history's cset index, in the open
  // transaction; the logs changed in `trimmed`. False, nothing done, on an engine that never gave them these (a
  // file). Throws what a statement throws.
  virtual bool TrimLogs(std::vector<std::wstring>& trimmed) {
    trimmed.clear();
    return false;
  }

  // Runs one host statement, or reads the table given by its bare name, into a new state standing on row 0.
  // Caller owns the result.
  virtual std::unique_ptr<RecordsetState> Query(const wchar_t* text) = 0;
  // Runs the state's statement again; its rows and columns are replaced, its position is 0.
  virtual void Requery(RecordsetState& state) = 0;
  // Takes ownership of a state this connection made, to reuse its buffers. Null is allowed.
  virtual void ReturnState(std::unique_ptr<RecordsetState> state) = 0;

  // Writing the rows of an editable result: the pending values of the columns marked dirty (at least one for
  // UpdateRow). UpdateRow writes them into the current row and DeleteRow removes that row from the table (not
  // from the state); both throw when another connection deleted the row. InsertRow writes a new row and appends
  // it to the state with its identity cells. A written row is to show what the database holds, its defaults and
  // conversions included: the engine fills it at once, or lists it in the state's `unread` and fills it in
  // ReadBack, which CVdRecordset calls before it reads any cell of that state.
  virtual void UpdateRow(RecordsetState& state) = 0;
  virtual void InsertRow(RecordsetState& state) = 0;
  virtual void DeleteRow(RecordsetState& state) = 0;
  virtual void ReadBack(RecordsetState& state) = 0;
  // Writes the state's queued rows as new rows of its table in as few statements as the engine takes
  // (multi-row INSERTs of bound values, each within the engine's limit of parameters), and returns how many
  // statements it ran. The rows are not added to the state, unless `kept` is given and the engine can read them
  // back in the same statements (a server: INSERT ... RETURNING): it then appends them to the state, filled as
  // InsertRow fills its row, in the order queued, and sets *kept. A failure throws; the rows of the statements that
  // ran before it stay written, so a caller that needs all or nothing runs it inside a savepoint.
  virtual std::size_t InsertRows(RecordsetState& state, bool* kept) = 0;
  // Writes the state's queued edits (`edits`) into their rows, as UpdateRow writes each, in as few statements
  // as the engine takes, and returns how many statements it ran; each written row then shows what the database
  // holds, as after UpdateRow. Throws as UpdateRow does (also when another connection deleted one of the rows);
  // the edits of the statements that ran before a failure stay written. This default writes them one by one.
  virtual std::size_t UpdateRows(RecordsetState& state);

  // Change notices (an extension the change records use, catalog/ChangeLog.h). NoteChangeRecorded: the open
  // transaction wrote a change record; an engine that can tell other connections does so when that transaction
  // commits (a server: one notification carrying the newest change number), and forgets it when the group that
  // wrote it is undone. WaitForChangeNotice returns within `timeoutMs`: true at a sign that another connection
  // may have committed a change, false when the time passed. An engine without such signs (a file) waits
  // kChangePollMs at most and answers false, so its caller looks at the change records again, as it does
  // after any answer: they stay the truth, a notice only wakes it. Both throw what a statement throws.
  static constexpr int kChangePollMs = 20;
  virtual void NoteChangeRecorded() {}
  virtual bool WaitForChangeNotice(int timeoutMs);

 protected:
  // `readOnlyReason` is empty unless the file's format is why the connection is read-only.
  Connection(const CString& name, bool readOnly, const CString& readOnlyReason);

  // What the engines share for their table lists: the order TableCount promises, the table at a position of
  // a list (42S02 beyond it), and the table of a name in a list so ordered.
  static void SortTables(std::vector<CVdODBCTableDefInfo>& tables);
  const CVdODBCTableDefInfo& TableIn(const std::vector<CVdODBCTableDefInfo>& tables, std::size_t index) const;
  static bool FindTable(const std::vector<CVdODBCTableDefInfo>& tables, const wchar_t* name, CVdODBCTableDefInfo& info);
  // The queued edits [first, end) of `state` written one by one by UpdateRow; returns how many.
  std::size_t UpdateEach(RecordsetState& state, std::size_t first, std::size_t end);
  // For an engine that learns only once connected that it cannot write (a server role without the rights).
  void SetReadOnly(const CString& reason) {
    m_readOnly = true;
    m_readOnlyReason = reason;
  }

 private:
  CString m_name;
  bool m_readOnly;
  CString m_readOnlyReason;
  std::uint64_t m_serial;
};

// Opens the database at `path` with the engine that reads it: a server address (ServerAddress.h) or a link file
// holding one reaches a catalog on a PostgreSQL server; for any other file, its first bytes tell its format.
// Caller owns the result. Throws CDBException (08001) naming the file or address when it cannot be opened.
// `queryTimeout` bounds the statements an open itself runs: loading an Access file is one (HYT00 past it).
std::unique_ptr<Connection> OpenConnection(const CString& path, bool exclusive, bool readOnly, int busyTimeoutMs,
                                           unsigned long queryTimeout = 0);

// Cuts queued rows (a state's new rows or its edits) into the statements of an InsertRows or UpdateRows: runs
// of rows that set the same columns, each binding at most `maxParameters` values and holding at most `maxRows`
// rows. Calls `write(first, end, width)` for the rows [first, end), `width` values each, and returns the
// statements.
template <typename Write>
std::size_t ForEachBatchStatement(const std::vector<RecordsetState::QueuedRow>& rows, std::size_t maxParameters,
                                  std::size_t maxRows, Write write) {
  std::size_t statements = 0;
  for (std::size_t first = 0; first < rows.size(); ++statements) {
    const std::vector<char>& dirty = rows[first].dirty;
    const auto width = static_cast<std::size_t>(std::count(dirty.begin(), dirty.end(), 1));
    const std::size_t fit = width ? std::max<std::size_t>(1, std::min(maxRows, maxParameters / width)) : 1;
    std::size_t end = first + 1;
    while (end < rows.size() && end - first < fit && rows[end].dirty == dirty) ++end;
    write(first, end, width);
    first = end;
  }
  return statements;
}

// Statements the library has handed to an engine in this process (every thread), for tests that count what a
// command costs: a record set's Open, Requery, row write or delete and each statement of InsertRows, ExecuteSQL,
// and the transaction and savepoint statements of write and read groups.
VDTOOLKIT_EXPORT std::uint64_t StatementCount();
void CountStatements(std::uint64_t statements = 1);

// Appends `name` as a quoted identifier, "name" with a '"' inside doubled: the form both engines read.
void AppendQuotedName(std::string& out, const std::string& name);
// Appends " (a,b,...)": the names of the columns marked in `dirty`, each quoted, as an INSERT lists them.
void AppendColumnList(std::string& out, const ColumnSet& columns, const std::vector<char>& dirty);

// Makes a new, empty database file, or at a server address the catalog's schema; an existing file or schema is
// never touched (08001). Throws CDBException.
void CreateDatabase(const CString& path);
// Makes the database at `path` and opens it, read-write: a file as CreateDatabase makes it; on a server a
// connection whose first transaction makes the catalog's schema inside it (PgConnection::OpenNew), so that a
// copy into it that fails or is stopped leaves nothing. Caller owns the result. Throws CDBException (08001
// when the file or catalog exists).
std::unique_ptr<Connection> CreateAndOpenConnection(const CString& path, int busyTimeoutMs);

}  // namespace vdpattern::db
