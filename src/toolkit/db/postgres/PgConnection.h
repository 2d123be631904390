#pragma once
// The PostgreSQL engine behind a Connection (Connection.h): one libpq connection whose search_path is the
// catalog's schema (ServerAddress.h), the description of results by their shape, transactions, and
// running statements into a record set's storage and writing its rows back (PgConnection.cpp).
//
// Choices made where the behaviour was ours to decide:
// - Results are read in text form and converted by the column's server type (numbers, booleans as 0/1, bytea
//   as bytes, the rest as UTF-8 text), so cells hold what the file engine would hold for the same declared
//   type, and the declared type reported is the catalogs' name of that type (DeclaredTypeOf). A numeric with a
//   precision over 15 digits, and a uuid, are exact text. A numeric read as a double that no double holds (more
//   than 15 significant digits, other than the full form of a double the library wrote) fails the read: it is
//   never rounded without a word.
// - At open, one statement asks whether the role may write in the catalog's schema at all (create a table, or
//   change the rows of one) and whether the server takes writes; when not, the connection is read-only and
//   readOnlyReason says why. A result over a table without the row identity says why it cannot be changed.
// - Row identity: tables the library creates carry the hidden column kPgRowId (PgDialect.h). A SELECT of plain
//   columns of one such table runs with that column added last; the result is then editable, and the column
//   is kept in the identity cell after the shown ones. Any column of that name is never shown. A result over
//   a table without it is read-only.
// - The server aborts a transaction at its first failed statement, where the file engine lets it go on; each
//   statement run inside a transaction is therefore wrapped in a savepoint, so a failed statement undoes only
//   its own writes, and the transaction stays usable. Inside BeginRead's read-only transaction the plain reads
//   share one savepoint instead (nothing of theirs can be lost), so a walk over many tables costs one statement
//   per table.
// - A SELECT, INSERT, UPDATE or DELETE text sent a second time is prepared on the server under a name of this
//   connection and from then on sent by that name: the server parses and plans it once instead of at every
//   lookup (the dialect lifts 'text' literals into parameters, so lookups of different names share one text).
//   At most kMaxPrepared texts are kept; others are sent as text. One whose tables another connection changed
//   is dropped and sent again as text.
// - A lost connection fails its call with 08S01; the next call reconnects with the same settings. A connection
//   lost inside a transaction took the transaction with it (the server undoes it), so the calls that follow
//   would run outside it: every call fails with 08S01 (InTransaction stays true, Commit throws) until the
//   host ends the transaction with Rollback, or the group that began it with EndSavepoint(false); Rollback
//   then returns true, and the next call reconnects.
// - Failures are converted in one function (PgFail), from the server's SQLSTATE. The server's notices and
//   warnings are dropped: a library writes nothing to the host's standard error.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include "toolkit/db/Connection.h"
#include "toolkit/db/RecordsetState.h"
#include "toolkit/db/ServerAddress.h"
#include "toolkit/db/postgres/PgDialect.h"

struct pg_conn;
struct pg_result;

namespace vdpattern::db {

// A server result's columns: `source` maps each cell of a row to the result column it is read from.
struct PgColumnSet final : ColumnSet {
  std::vector<int> source;
  std::vector<unsigned> serverTypes;  // of every result column
};

struct PgRecordsetState final : RecordsetState {
  PgStatement statement;
  bool withRowId = false;
};

class PgConnection final : public Connection {
 public:
  // Connects to `address` (shown as `name` in messages). Throws CDBException 08001 when the server cannot be
  // reached or the catalog's schema does not exist.
  static std::unique_ptr<PgConnection> Open(const CString& name, const ServerAddress& address, bool readOnly,
                                            int busyTimeoutMs);
  // Makes the catalog's schema (and its collation); an existing schema with tables is refused with 08001.
  static void Create(const CString& name, const ServerAddress& address);
  // A connection to the catalog at `address`, which does not exist yet (08001 when it does, or when the
  // database's default schema is meant and holds tables): the first transaction begun on it makes the schema
  // and its collation before anything else, so they exist once it commits and are gone when it is rolled back
  // or the connection ends. Until then reads see an empty catalog.
  static std::unique_ptr<PgConnection> OpenNew(const CString& name, const ServerAddress& address, int busyTimeoutMs);
  ~PgConnection() override;

  // Connection
  void SetBusyTimeout(int milliseconds) override;
  void SetQueryTimeout(unsigned long seconds) override;
  int TableCount() override;
  const CVdODBCTableDefInfo& TableAt(std::size_t index) override;
  bool TableByName(const wchar_t* name, CVdODBCTableDefInfo& info) override;
  // One statement over the table list this connection last read, which also checks that list against the
  // schema's: a search over 40 families is one round trip instead of 40 (a list that changed is read again).
  Probe FirstTableHolding(const std::function<bool(const CVdODBCTableDefInfo&)>& isCandidate, const wchar_t* column,
                          const wchar_t* value, CString& table) override;
  bool InTransaction() const override;
  bool TransactionLost() const override { return m_lostTransaction; }
  bool Begin() override;
  // REPEATABLE READ, READ ONLY: one snapshot, no locks.
  bool BeginRead() override;
  bool Commit() override;
  bool Rollback() override;
  void BeginSavepoint() override;
  void EndSavepoint(bool keep) override;
  void Execute(const wchar_t* text) override;
  std::unique_ptr<RecordsetState> Query(const wchar_t* text) override;
  void Requery(RecordsetState& state) override;
  void ReturnState(std::unique_ptr<RecordsetState> state) override;
  // Writes return the row as the server holds it (RETURNING), so nothing is left unread.
  void UpdateRow(RecordsetState& state) override;
  void InsertRow(RecordsetState& state) override;
  void DeleteRow(RecordsetState& state) override;
  void ReadBack(RecordsetState& state) override;

 private:
  PgConnection(const CString& name, const ServerAddress& address, bool readOnly);
  // Connects (again) and applies the settings; throws 08001.
  void Connect();
  // Marks the connection read-only, with the reason, when the role cannot write in the catalog's schema at
  // all (neither create a table nor change a row) or the server takes no writes: one statement.
  void CheckRights();
  // Reconnects when the connection was lost by an earlier call; throws 08S01 while the transaction it was
  // lost in is not ended.
  void EnsureConnected();
  [[noreturn]] void ThrowLostTransaction() const;
  // Runs `sql` with text parameters (null entries: SQL NULL; `binary` marks byte parameters); the caller
  // owns the result, which succeeded. Inside a transaction the statement runs in a savepoint of its own, but
  // a statement that `reads` only (a plain SELECT), inside a transaction that BeginRead began, runs in the
  // savepoint the reads before it share.
  pg_result* Run(const std::string& sql, const std::vector<const char*>& values = {},
                 const std::vector<int>& lengths = {}, const std::vector<int>& binary = {}, bool reads = false);
  // Sends `sql` by its prepared name when it has one (or makes it one when it is seen a second time), as text
  // otherwise; `prepared` tells which name was used. Returns libpq's result, unchecked.
  pg_result* Send(const std::string& sql, const std::vector<const char*>& values, const std::vector<int>& lengths,
                  const std::vector<int>& binary, std::string& prepared);
  pg_result* Read(const std::string& sql, const std::vector<const char*>& values = {});
  // BEGIN, then the catalog's write lock (an advisory lock on its schema, held to the end of the transaction),
  // as Connection::Begin promises: two writers that both read "not there" before they insert would otherwise
  // both insert. Readers take no such lock and are never blocked by it. Throws HYT00 after the lock time-out.
  void BeginWriting();
  // Runs generated SQL without parameters or rows.
  void Exec(const std::string& sql);
  // Throws the failure of `result` (cleared here; may be null) for `sql`.
  [[noreturn]] void PgFail(pg_result* result, const std::string& sql);
  void RunState(PgRecordsetState& state);
  // Translates `text` with the schema's names, runs it through `run`, and when the server does not know a name
  // (another connection changed the schema) reads the names again and tries once more.
  template <typename Statement, typename RunIt>
  void WithNames(const wchar_t* text, Statement& statement, RunIt run);
  void RefreshNames();
  // Drops what was read of the schema's tables and columns, to be read again when next needed.
  void ForgetSchema();
  bool HasRowId(const std::string& table);
  void RefreshTables();
  std::shared_ptr<const PgColumnSet> Describe(pg_result* result, const PgRecordsetState& state);

  pg_conn* m_conn = nullptr;  // owned
  ServerAddress m_address;
  int m_lockTimeoutMs = 0;
  unsigned long m_statementTimeoutS = 0;
  std::vector<bool> m_groups;      // open BeginSavepoint groups: whether each began the transaction
  bool m_readTransaction = false;  // the open transaction is BeginRead's
  bool m_readSavepoint = false;    // the reads' shared savepoint is the newest one (Run)
  bool m_inTransaction = false;    // the connection was in a transaction when the current call began
  bool m_lostTransaction = false;  // it was lost in that transaction, which the host has not ended yet
  bool m_pendingCreate = false;    // the catalog is made by the next transaction (OpenNew)
  std::string m_creation;          // the statements that make it
  std::vector<CVdODBCTableDefInfo> m_tables;
  bool m_tablesRead = false;
  std::string m_tablesSignature;  // the names of m_tables in byte order, each ended by '\x01'
  std::string m_probeRefused;     // the signature of a list some candidate of which could not be probed
  std::unordered_map<std::string, bool> m_rowIdTables;
  PgNames m_names;
  bool m_namesRead = false;
  static constexpr std::size_t kMaxPrepared = 512;
  std::unordered_map<std::string, std::string> m_prepared;  // text -> its prepared statement's name
  std::unordered_set<std::string> m_seenOnce;               // texts sent once, not (yet) prepared
  unsigned long m_preparedCount = 0;
  // Descriptions by the shape of the result they describe (ShapeOf in PgConnection.cpp).
  std::unordered_map<std::string, std::shared_ptr<const PgColumnSet>> m_described;
};

}  // namespace vdpattern::db
