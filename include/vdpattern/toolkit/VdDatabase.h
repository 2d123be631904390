#pragma once
// CVdDatabase: a connection to one catalog, the platform's ODBC database class as the catalog uses it. What
// Open is given says where the catalog is: an SQLite 3 file, a legacy Access file (read-only), a server
// address ("postgresql://host/db?catalog=NAME" or "host=... dbname=... catalog=NAME": a schema on a
// PostgreSQL server), or a catalog link file (a small text file holding such an address, for hosts that only
// know file paths). The host (or a catalog) creates it, opens it and destroys it; CVdRecordset objects borrow
// it and must be closed or destroyed before it is.
//
// Choices:
// - A server catalog behaves as a file does in everything below that names no file: locking, time-outs,
//   read-only connections, table lists and errors; what differs is said where it differs.
// - Open never creates a file. It reads the file's first bytes to learn its format: an SQLite 3 file is opened
//   in place, read-write, or read-only (CanUpdate() 0) when the file or its folder is not writable, where a
//   file or folder without any write permission bit counts as not writable even for the superuser, as a
//   read-only file does on the platform. A Microsoft Access file (Jet 3/4, ACE) is read whole into memory and
//   opened read-only: CanUpdate() is 0, its system tables (MSys*) carry VD_TABLEDEF_SYSTEM, and a damaged one
//   fails Open. Other content is refused with a CDBException naming the file.
// - The file keeps normal locking so that other processes can read and write the same catalog: a lock is taken
//   for each statement only. A writer of another process is waited for up to the busy timeout (5 s unless
//   SetBusyTimeout says otherwise); then the statement fails with state HYT00. Writes outside BeginTrans are
//   atomic and durable when they return (synchronous=FULL).
// - Connection settings, which a raw-engine comparison should copy: the file opened without URI parsing,
//   no per-connection mutex (SQLITE_OPEN_NOMUTEX: one thread at a time), extended result codes, the busy
//   timeout, synchronous=FULL. Open's `exclusive` argument adds locking_mode=EXCLUSIVE (the file stays locked
//   while open); `readOnly` forces a read-only connection.
// - Statements are prepared once per connection and kept in a cache keyed on the statement text with its
//   quoted literals lifted out as parameters (see CVdRecordset).
// - Table definitions (GetTableDefCount / GetTableDefInfo) list the tables in ascending name order ignoring
//   case; the engine's own tables (sqlite_*) carry VD_TABLEDEF_SYSTEM. The list is cached. GetTableDefCount and
//   GetTableDefInfo by name read it again when the schema version of the file has changed, by this connection
//   or by another process; GetTableDefInfo by position reads the list that the last GetTableDefCount checked,
//   so a walk over the positions sees one consistent list.
// - A table asked for by name that does not exist is not a failure: GetTableDefInfo returns 0 and fills the
//   record with an empty name and VD_TABLEDEF_SYSTEM | VD_TABLEDEF_MISSING (DBTypes.h).
// - Every failure throws CDBException* (m_nRetCode SQL_ERROR); the catcher releases it with Delete().
// - Operations are virtual so that a host or a test can derive.
//
// Thread use: one thread at a time, together with the record sets that borrow it.

#include <functional>
#include <map>
#include <string>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>
#include <vdpattern/toolkit/WinTypes.h>

namespace vdpattern::db {
class Connection;
}

class VDTOOLKIT_EXPORT CVdDatabase {
 public:
  CVdDatabase();
  CVdDatabase(const CVdDatabase&) = delete;
  CVdDatabase& operator=(const CVdDatabase&) = delete;
  virtual ~CVdDatabase();

  // Creates a new, empty database file; an existing file is never overwritten (CDBException).
  static void CreateDatabase(const CString& path);
  // Opens an existing database file (closing the one open before). Returns TRUE; failures throw.
  virtual int Open(const CString& path, int exclusive = 0, int readOnly = 0);
  // Extension: makes the database at `path` and opens it read-write (closing the one open before), for a
  // host that fills a new catalog in one transaction. A file is made as CreateDatabase makes it. On a server
  // the catalog's schema is made by the first transaction or write group, inside it: it exists for others
  // once that commits, and a rollback, a lost connection or a stopped process leaves nothing. Returns TRUE;
  // throws CDBException (08001 when the file or catalog exists, nothing opened then).
  int CreateAndOpen(const CString& path);
  // Closes the connection; record sets still open keep their rows but can no longer requery or write.
  virtual void Close();
  virtual BOOL IsOpen() const;
  virtual BOOL CanUpdate() const;
  // Extension: why CanUpdate() is 0 when the database, not the host, is the reason (an Access file, a server
  // role without write rights, a server that accepts no writes); empty otherwise.
  CString GetReadOnlyReason() const;
  // The path as given to Open; empty when closed.
  virtual CString GetDatabaseName() const;

  virtual int GetTableDefCount();
  // The table at `index` (0-based, in the order above); an index out of range throws. Returns TRUE.
  virtual int GetTableDefInfo(const unsigned int& index, CVdODBCTableDefInfo& info);
  // The table of that name (ignoring case); returns FALSE for a table that does not exist (see above).
  virtual int GetTableDefInfo(const wchar_t* name, CVdODBCTableDefInfo& info);

  // Which table, of those `isCandidate` admits and in the order above, first holds a row whose column `column`
  // equals `value` (text compared as statements compare it), asked in one statement where the engine gains by
  // it: on a server one round trip instead of one per table. Returns 1 and sets `table` when one does, 0 when
  // none does, -1 when the engine does not answer in one statement or could not here (a candidate without that
  // column): the caller then asks table by table. `column` must not hold ']'. Throws CDBException when the
  // connection is lost or a lock or statement time-out is reached; the callback must not throw.
  int FindFirstTableHolding(const std::function<bool(const CVdODBCTableDefInfo&)>& isCandidate, const wchar_t* column,
                            const wchar_t* value, CString& table);
  // Extension: the name of `table`'s column `column` (compared ignoring ASCII case) as the schema spells it, for a
  // statement that must name it where case counts: a server keeps the case a column was made in, so a column
  // made as "NAME" is not found as "Name" there. On a file, whose engine reads names in any case, `column` as
  // given. Returns FALSE, `spelt` unchanged, when a server's table or column is not among the names read with its
  // table list. Runs no statement once those are read; throws CDBException when the connection is lost.
  BOOL GetColumnSpelling(const wchar_t* table, const wchar_t* column, CString& spelt);

  // Extension: the columns of each of `tables` as CVdRecordset::GetODBCFieldInfo describes those of a read of the
  // whole table ("SELECT * FROM [T]"), into `columns` by the table's name as given, asked in one statement where
  // the engine gains by it: on a server one round trip for all of them, read from the server's own catalog
  // (pg_attribute), so a family added or changed by another connection is seen as it is now. A table left out
  // (not there, one whose read is refused, or every table on an engine that gains nothing by it) is for the
  // caller to read alone, which then says why. Throws CDBException when the connection is lost or a time-out
  // is reached.
  void GetColumnsOfTables(const std::vector<CString>& tables,
                          std::map<std::wstring, std::vector<CODBCFieldInfo>>& columns);

  // Groups writes into one transaction. BeginTrans returns FALSE when a transaction is already open;
  // CommitTrans and Rollback return FALSE when none is.
  virtual BOOL BeginTrans();
  virtual BOOL CommitTrans();
  virtual BOOL Rollback();
  virtual BOOL IsInTransaction() const;
  // Extension: whether the open transaction was lost with the connection to the server (or with a write sent
  // ahead that failed, ExecuteSQLAhead). Its writes are gone;
  // every call fails (state 08S01) until Rollback (or EndWriteGroup(FALSE) of the outermost group) ends it,
  // and the next call then connects again.
  BOOL IsTransactionLost() const;

  // A group of writes that is kept or undone as a whole, for calls that write more than one row or read before
  // they write. Outside a transaction the outermost group is a transaction that takes the write lock at once (as
  // BeginTrans does), so that what it read cannot change before it writes; inside a transaction (the host's or
  // an outer group's) it is a savepoint, so that undoing it leaves the writes made before it. Every
  // BeginWriteGroup that returned is matched by one EndWriteGroup: `keep` TRUE commits or releases, FALSE
  // undoes. A failure to keep throws after undoing the group's writes.
  virtual void BeginWriteGroup();
  virtual void EndWriteGroup(BOOL keep);

  // A group of reads that sees one state of the database and pays its locking once: outside a transaction a
  // transaction that takes the shared lock at its first read only (so a writer of another process is waited
  // for by neither side), inside one nothing. Neither call throws: a group that cannot begin or end leaves the
  // reads it covers to run on their own. BeginReadGroup returns whether it began a transaction; pass that to
  // EndReadGroup.
  virtual BOOL BeginReadGroup();
  virtual void EndReadGroup(BOOL began);
  // Extension: BeginReadGroup only where the group pays for itself, for a few reads that need not see one
  // state: a file, where each read alone takes and drops its lock; on a server (where BEGIN and COMMIT would
  // be two round trips more) it begins nothing and returns FALSE.
  BOOL BeginSavingReadGroup();

  // Runs one statement and drops any rows it gives (the one-statement rule of CVdRecordset applies).
  virtual void ExecuteSQL(const wchar_t* text);
  // Extension: runs `text` (null: no statement) and then sets `comments` on their columns, all or nothing, in
  // the open transaction or group; on a server the comments go in the statement's round trip (COMMENT ON
  // COLUMN, names quoted as names and the comment as a literal). Names are as the catalog names them; a table
  // or column that `text` makes is taken as written. A file keeps no column comments: there `text` runs alone
  // and `comments` are ignored. Throws CDBException as ExecuteSQL does (a comment on a column that does not
  // exist fails the whole call).
  void ExecuteSQL(const wchar_t* text, const std::vector<VdColumnComment>& comments);
  // Extension: a write of the open transaction or group whose answer is not needed now. On a server it is sent
  // without waiting, so that the server runs it while the caller prepares its next statement; a failure is
  // thrown by the next call that reaches the server (a Rollback drops it) and leaves the transaction lost
  // (IsTransactionLost): the server undoes it, and nothing of it is kept. Inside a write group that is a savepoint
  // of the host's transaction it runs at once, so that undoing the group leaves the host's earlier writes. On a
  // file it runs at once, as ExecuteSQL. Throws CDBException as ExecuteSQL does.
  void ExecuteSQLAhead(const wchar_t* text);
  // Extension: the column comments of the catalog's tables, by table and column as the schema spells them
  // (only columns that have one). FALSE, `comments` empty, on a file, which keeps none. Throws CDBException
  // when the connection is lost or a time-out is reached.
  BOOL GetColumnComments(std::map<std::wstring, std::map<std::wstring, std::wstring>>& comments);
  // Extension: on a server catalog made by an earlier version, whose text columns ignored case by their own
  // collation (which plain SQL's LIKE and ILIKE refuse), gives them the exact collation of new catalogs, in
  // the open transaction or group; their indexes are made again ignoring case, so lookups keep them. `made`
  // names the tables changed; `leftAsIs` those left as they are, whose indexes could not be made again as they
  // were (an expression, a predicate, a constraint's own). FALSE, nothing done, on a file. Throws CDBException
  // as ExecuteSQL does.
  BOOL MakeTextColumnsExact(std::vector<std::wstring>& made, std::vector<std::wstring>& leftAsIs);
  // Extension: on a server catalog made by an earlier version, drops from the library's change logs ("vd_change",
  // "vd_history") what new catalogs' logs are made without and every recorded change paid for: their row
  // identity and the history's index on "cset". Only logs the connection's role owns are changed, in the open
  // transaction; `trimmed` names them. The rows stay. FALSE, nothing done, on a file. Throws CDBException as
  // ExecuteSQL does.
  BOOL TrimLibraryLogs(std::vector<std::wstring>& trimmed);

  // Milliseconds to wait for another process's lock before failing with HYT00; applies now and to later
  // opens. Negative values count as 0. On a server it is the session's lock_timeout, which bounds the wait
  // for the catalog's write lock as well as for a table's. The message of such a failure names the holder
  // when it can: on a server the holder's application_name, role, client address and transaction start (read
  // only after the wait failed); on a file the process id, program and user of another process's lock.
  virtual void SetBusyTimeout(int milliseconds);
  virtual int GetBusyTimeout() const;
  // Extension: the busy timeout a CVdDatabase made afterwards starts with, 5000 ms unless this says
  // otherwise; for hosts whose connections are made by the library (a catalog opened by its path, a manager).
  // Safe from any thread; negative values count as 0.
  static void SetDefaultBusyTimeout(int milliseconds);
  static int GetDefaultBusyTimeout();
  // Seconds a statement may run before it is stopped with state HYT00 ("timeout expired"); 0 (the default)
  // lets statements run as long as they take. Applies now and to later opens. Extension: an Access file is
  // loaded at Open, and that load counts as one statement (Open throws HYT00 past the limit).
  virtual void SetQueryTimeout(DWORD seconds);
  // Extension, change notices (what CVdPatternCatalog::WaitForChange needs): NoteChangeRecorded says that the
  // open transaction wrote a change record, so that a server tells its listeners when it commits (one
  // notification per transaction, sent with the COMMIT; nothing on a file). WaitForChangeNotice returns within
  // `timeoutMs`: TRUE when another connection may have committed a change (a server's notification; the first
  // call on a connection starts listening and answers TRUE at once), FALSE when the time passed; on a file it
  // waits 20 ms at most and answers FALSE. A notice is only a sign: the change records tell what changed. Both
  // throw CDBException* as a statement does (08S01 for a lost connection).
  void NoteChangeRecorded();
  BOOL WaitForChangeNotice(int timeoutMs);

 private:
  friend class CVdRecordset;
  friend bool VdCheckTableShape(CVdDatabase&, const CString&, const std::vector<CString>&, CString&);
  // The open connection, or null; owned.
  vdpattern::db::Connection* CurrentConnection() const { return m_pConnection; }
  // Takes ownership of `opened` (not null), opened at `path`, in place of the connection held.
  int Adopt(vdpattern::db::Connection* opened, const CString& path);

  vdpattern::db::Connection* m_pConnection = nullptr;  // owned
  CString m_strPath;
  int m_nBusyTimeout = GetDefaultBusyTimeout();
  DWORD m_dwQueryTimeout = 0;
  int m_nWriteGroups = 0;                // open write groups
  bool m_bGroupOwnsTransaction = false;  // the outermost group began the transaction it runs in
};
