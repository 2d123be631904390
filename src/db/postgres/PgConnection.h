#pragma once
// The PostgreSQL engine behind a Connection (Connection.h): one libpq connection to the catalog's schema
// (ServerAddress.h), the description of results by their shape, transactions, and running statements into a
// record set's storage and writing its rows back (PgConnection.cpp).
//
// Choices made where the behaviour was ours to decide:
// - Whoever may create objects in the catalog's schema (every writer: add-family makes tables there) must not
//   be able to run code in another role's session. The server resolves an operator or function by the best
//   match of argument types over the whole search path, so with the schema on the path a planted
//   =(varchar,varchar) or lower(varchar) would beat pg_catalog's text versions even behind pg_catalog. The
//   session's search_path is therefore "pg_catalog, pg_temp" (no schema anyone else can create in), and the
//   dialect qualifies every table of the schema it names with the schema (PgDialect.h; other names are found
//   in pg_catalog); the library's own statements take the schema as a bound oid. Qualifying each operator
//   instead (OPERATOR(pg_catalog.=)) would have to reach every operator a host writes; keeping the schema off
//   the path reaches them all.
// - The case-blind collation vd_nocase lives in the catalog's schema and is written qualified. At Connect, in
//   the query that finds the schema, every collation of that name there must be an ICU, nondeterministic
//   collation of locale kPgNoCaseLocale owned by the schema's owner or a member of that role (only an owner
//   can drop or replace it); otherwise the catalog is not opened (08001: it is not the catalog it claims to
//   be). A schema without one (a database's default schema, tables made by hand) opens; statements that need
//   it then fail by name.
// - Only tables ('r', 'p') are families and have their names resolved: a view or a rule runs its owner's code.
//   row_security is off, so a read of a table with row-level policies fails instead of running them.
// - A write runs the table's own triggers, rules, defaults, checks, index expressions and domain checks with
//   the writer's rights. Where the row identity is looked up (one query per table, kept with it), a table
//   whose triggers or rules are not the server's internal ones, or whose defaults, checks or indexes call a
//   function or operator made outside pg_catalog, or with a column of a domain made outside it, is refused
//   for writing (HY000) with the reason; reading it runs none of them. Code a partition of a partitioned
//   table carries is not looked at: the library makes no partitions.
// - Columns whose names differ only in ASCII case (Name and NAME, made by hand) cannot be told apart by the
//   catalogs, which compare names so on both engines: such a family is refused with HY000, naming both
//   columns, by every SELECT, INSERT, UPDATE or DELETE that names it. It can still be dropped or altered.
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
// - Opening costs one round trip after the connection's own: the schema check, the rights, the names of every
//   table and column, and the catalog's reads of its own three tables (m_openingReads) go in one pipeline.
// - Change notices: a write transaction that recorded a change (NoteChangeRecorded) sends, in the round trip of
//   its COMMIT, pg_notify on the channel "vd_change_" followed by the lock key (hashtext of the schema's name,
//   so any schema name fits a channel's 63 bytes; two schemas whose keys clash only wake each other's
//   listeners for nothing), with the newest change number as the payload: one notification per transaction,
//   which the server delivers only once it commits. A group undone forgets the records it wrote. A waiter
//   (WaitForChangeNotice) LISTENs on its first call, then waits on the connection's socket; notices that
//   arrive during other statements are kept by libpq until the next wait takes them, so a connection that
//   waited once keeps them queued (a few bytes each) until it waits again or reconnects.
// - Failures are converted in one function (PgFail), from the server's SQLSTATE. The server's notices and
//   warnings are dropped: a library writes nothing to the host's standard error.

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include "db/Connection.h"
#include "db/RecordsetState.h"
#include "db/postgres/ServerAddress.h"
#include "db/postgres/PgDialect.h"

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
  // reached, the catalog's schema does not exist, or its vd_nocase is not the library's (see Choices).
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
  // From the names read with the table list: a column made in another case ("NAME") is named so.
  bool ColumnSpelling(const wchar_t* table, const wchar_t* column, CString& spelt) override;
  // From the names statement, read again for the answer (one round trip); right after opening, the names read
  // then answer the first call, alike (m_openingColumns).
  bool ColumnsOfTables(const std::vector<CString>& tables,
                       std::map<std::wstring, std::vector<ColumnInfo>>& columns) override;
  bool InTransaction() const override;
  bool TransactionLost() const override { return m_lostTransaction; }
  bool Begin() override;
  // REPEATABLE READ, READ ONLY: one snapshot, no locks.
  bool BeginRead() override;
  bool ReadGroupsSave() const override { return false; }
  bool Commit() override;
  bool Rollback() override;
  void BeginSavepoint() override;
  void EndSavepoint(bool keep) override;
  void Execute(const wchar_t* text) override;
  void ExecuteAhead(const wchar_t* text) override;
  // The comments go after the statement in its pipeline and its savepoint: one round trip, all or nothing.
  void ExecuteCommenting(const wchar_t* text, const std::vector<ColumnComment>& comments) override;
  // One statement over pg_description for the schema's tables (by its oid).
  bool ColumnComments(std::map<std::wstring, std::map<std::wstring, std::wstring>>& comments) override;
  bool MakeTextExact(std::vector<std::wstring>& made, std::vector<std::wstring>& left) override;
  bool TrimLogs(std::vector<std::wstring>& trimmed) override;
  std::unique_ptr<RecordsetState> Query(const wchar_t* text) override;
  void Requery(RecordsetState& state) override;
  void ReturnState(std::unique_ptr<RecordsetState> state) override;
  // Writes return the row as the server holds it (RETURNING), so nothing is left unread.
  void UpdateRow(RecordsetState& state) override;
  void InsertRow(RecordsetState& state) override;
  void DeleteRow(RecordsetState& state) override;
  std::size_t InsertRows(RecordsetState& state, bool* kept) override;
  // The edits of rows that set the same columns of built-in types, a few thousand in one UPDATE ... FROM
  // (VALUES ...) RETURNING; any other one by one.
  std::size_t UpdateRows(RecordsetState& state) override;
  void ReadBack(RecordsetState& state) override;
  void NoteChangeRecorded() override;
  // Notices arrive between transactions only: inside one it waits as a file does.
  bool WaitForChangeNotice(int timeoutMs) override;

 private:
  PgConnection(const CString& name, const ServerAddress& address, bool readOnly);
  // Connects (again) and applies the settings; throws 08001.
  void Connect();
  // Marks the connection read-only, with the reason, when the role cannot write in the catalog's schema at
  // all (neither create a table nor change a row) or the server takes no writes: columns 4 to 6 of the
  // schema's row (CheckSchema).
  void CheckRights(pg_result* schemaRow);
  // Reconnects when the connection was lost by an earlier call; throws 08S01 while the transaction it was
  // lost in is not ended.
  void EnsureConnected();
  [[noreturn]] void ThrowLostTransaction() const { throw LostTransactionError(); }
  CDBException* LostTransactionError() const;  // its failure, owned by the caller
  // Runs `sql` with text parameters (null entries: SQL NULL; `binary` marks byte parameters); the caller
  // owns the result, which succeeded. Inside a transaction the statement runs in a savepoint of its own, but
  // a statement that `reads` only (a plain SELECT), inside a transaction that BeginRead began, runs in the
  // savepoint the reads before it share.
  pg_result* Run(const std::string& sql, const std::vector<const char*>& values = {},
                 const std::vector<int>& lengths = {}, const std::vector<int>& binary = {}, bool reads = false);
  // Sends `sql` by its prepared name when it has one (or makes it one when it is seen a second time), as text
  // otherwise; `prepared` tells which name was used. `savepoint`: inside a savepoint of its own, made and
  // released in the same round trip. Returns libpq's result, unchecked (a failed SAVEPOINT or RELEASE in its
  // place).
  pg_result* Send(const std::string& sql, const std::vector<const char*>& values, const std::vector<int>& lengths,
                  const std::vector<int>& binary, std::string& prepared, bool savepoint = false);
  pg_result* Read(const std::string& sql, const std::vector<const char*>& values = {});
  // BEGIN, then the catalog's write lock (an advisory lock on its schema, held to the end of the transaction),
  // as Connection::Begin promises: two writers that both read "not there" before they insert would otherwise
  // both insert. Readers take no such lock and are never blocked by it. Throws HYT00 after the lock time-out.
  // `ownGroup`: the transaction is the library's own write group, which never waits on its host between
  // statements, so the server ends it when it sits idle (a frozen or cut-off writer) and frees the write lock.
  void BeginWriting(bool ownGroup = false);
  // BeginWriting's pipeline on a catalog that exists: `idle` the SET LOCAL of an own group (or empty), `begin`
  // the text a failure names.
  void BeginLocked(const std::string& lock, const std::string& idle, const std::string& begin);
  // Runs generated SQL without parameters or rows.
  void Exec(const std::string& sql);
  // COMMIT, after the change notice when the transaction recorded a change, in one round trip.
  void CommitWithNotice();
  std::string ChangeChannel() const { return "vd_change_" + m_lockKey; }
  // Throws the failure of `result` (cleared here; may be null) for `sql`.
  [[noreturn]] void PgFail(pg_result* result, const std::string& sql);
  // Who holds the lock a statement of this connection gave up waiting for, as a phrase for the message
  // ("held by ..."); empty when the server cannot tell. Asked only after a lock time-out; never throws.
  std::string LockHolder();
  // Why `conn` (may be null) did not connect, for a message: what the server answered and what to do, or that
  // it could not be reached.
  static std::string ConnectFailure(pg_conn* conn);
  // The lock_timeout value of the current time-out (milliseconds, never the server's "no limit").
  std::string LockTimeoutSetting() const;
  // The message of a 42501 refusal: `detail` is the server's, `writing` whether the statement changes data.
  std::string Refusal(const char* detail, bool writing) const;
  void RunState(PgRecordsetState& state);
  // Translates `text` with the schema's names, runs it through `run`, and when the server does not know a name
  // (another connection changed the schema) reads the names again and tries once more.
  template <typename Statement, typename RunIt>
  void WithNames(const wchar_t* text, Statement& statement, RunIt run);
  void RefreshNames();
  // Drops what was read of the schema's tables and columns, to be read again when next needed.
  void ForgetSchema();
  // Checks the catalog's schema (it exists, and its vd_nocase is the library's: throws 08001 otherwise), reads
  // its oid, write lock key and the role's rights, and, in the same round trip, its names (ReadNames).
  void CheckSchema();
  // Statements sent together, one round trip (libpq's pipeline, outside a transaction only): their results
  // in order, owned by the caller; one that failed is returned as it is, and those after it as aborted.
  struct Piped {
    std::string sql;
    std::vector<const char*> values;
  };
  std::vector<pg_result*> Pipeline(const std::vector<Piped>& statements);
  // Pipeline's halves, for callers that add their own: sends the statements and a sync (false when the
  // connection refused them); reads one result per statement, up to `expected` (fewer when the connection
  // went), then the rest up to the sync, and leaves pipeline mode.
  bool SendPiped(const std::vector<Piped>& statements);
  std::vector<pg_result*> ReadPipeline(std::size_t expected, bool sent);
  // ReadPipeline without leaving pipeline mode: one sync's answers, for a pipeline that holds more.
  std::vector<pg_result*> ReadToSync(std::size_t expected, bool sent);
  // Keeps a changed setting for the next statement (m_pendingSettings), or sends it now inside a transaction.
  void NoteSetting(const char* name, const std::string& value);
  void FlushSettings();
  // Puts the settings a transaction carried back in front of the pending ones: its end undid them.
  void SettingsUndone();
  // Appends the calls of `calls` ("SELECT a, b") to those of `to`, after them.
  static void JoinSettings(std::string& to, const std::string& calls);
  // Reads and drops what is left of a pipeline's answers up to its sync, unless the connection goes first.
  void DrainToSync();
  // Takes the answer of the names statement (NamesQuery in PgQuery.cpp): the names, the clashes, the table
  // list, each table's facts and base columns.
  void ReadNames(pg_result* names);
  // Whether the names read stand for every table inside the open write transaction (m_namesUnderLock).
  bool NamesTrusted() const;
  // Sends the deferred statements now, on their own (before a statement that bypasses Send).
  void FlushDeferred();
  // Reads the answers of the statements sent ahead (ExecuteAhead). The first that failed ends the transaction
  // (it is rolled back at once, and the transaction counts as lost) and is thrown; `quiet` drops it instead,
  // for a rollback that undoes it anyway.
  void Settle(bool quiet = false);
  struct TableFacts {
    bool rowId = false;
    CString writeRefused;  // why a write would run code of the table's own; empty when none would
    bool filled = true;    // a column but the row id has a default or is an identity: the server fills it
  };
  const TableFacts& FactsOf(const std::string& table);
  TableFacts FactsFrom(const std::string& table, bool rowId, bool triggers, bool rules, bool code, bool domains) const;
  bool HasRowId(const std::string& table);
  // Throws HY000 with the reason when a write to `table` would run code of its own (FactsOf).
  void CheckWritable(const std::string& table);
  // Refuses a statement on a family whose columns differ only in case, and a write to a table CheckWritable
  // refuses.
  void CheckTables(const PgStatement& statement);
  std::string QualifiedTable(const std::string& table) const;
  // `name` (UTF-8) as the schema spells the table (kind kPgTableKey) or column (kPgColumnKey) of that name in
  // any ASCII case, or as given when the names read hold none.
  std::string SpeltAs(char kind, const std::string& name) const;
  void RefreshTables();
  std::shared_ptr<const PgColumnSet> Describe(pg_result* result, const PgRecordsetState& state);

  pg_conn* m_conn = nullptr;  // owned
  ServerAddress m_address;
  int m_lockTimeoutMs = 0;
  unsigned long m_statementTimeoutS = 0;
  std::vector<bool> m_groups;          // open BeginSavepoint groups: whether each began the transaction
  bool m_readTransaction = false;      // the open transaction is BeginRead's
  bool m_readSavepoint = false;        // the reads' shared savepoint is the newest one (Run)
  bool m_inTransaction = false;        // the connection was in a transaction when the current call began
  bool m_lostTransaction = false;      // it was lost in that transaction, which the host has not ended yet
  bool m_pendingCreate = false;        // the catalog is made by the next transaction (OpenNew)
  bool m_changeRecorded = false;       // the open transaction wrote a change record (NoteChangeRecorded)
  std::vector<bool> m_changedAtGroup;  // m_changeRecorded as each open BeginSavepoint group found it
  bool m_listening = false;            // this session LISTENs on the change channel
  // Statements of a write group whose answer nobody waits for (its SAVEPOINT, a kept group's RELEASE): sent in
  // order ahead of the next statement, in its round trip; dropped when the transaction ends first.
  std::vector<std::string> m_deferred;
  // The statements sent ahead and not yet answered, in pipeline mode: each with the number of statements sent
  // before its sync (the deferred ones it took, and itself).
  struct Ahead {
    std::string sql;
    std::size_t statements = 0;
    bool sent = false;
  };
  std::vector<Ahead> m_ahead;
  bool m_lostAhead = false;  // m_lostTransaction came from a statement sent ahead, not from the connection
  CString m_lostAheadWhy;    // that statement's failure, as it was thrown
  // The open transaction took the write lock (BeginWriting), and the names were read after it: while it holds,
  // every writer of the library makes its tables under that lock, so a table the names lack is not there.
  bool m_writeLocked = false;
  bool m_namesUnderLock = false;
  // Set by Execute for a schema change inside a locked transaction: Send reads the names after the statement, in
  // its round trip, into m_trailingNames (owned; taken by Execute).
  bool m_wantTrailingNames = false;
  pg_result* m_trailingNames = nullptr;
  std::string m_creation;  // the statements that make it
  std::vector<CVdODBCTableDefInfo> m_tables;
  bool m_tablesRead = false;
  std::string m_tablesSignature;  // the names of m_tables in byte order, each ended by '\x01'
  std::string m_probeRefused;     // the signature of a list some candidate of which could not be probed
  std::unordered_map<std::string, TableFacts> m_rowIdTables;
  // Base columns of the schema's tables by oid, as the names were read: Describe needs no statement for them.
  struct BaseColumns {
    std::string table;
    std::vector<std::pair<std::string, bool>> columns;  // by number - 1: name, NOT NULL
    std::vector<std::pair<unsigned, int>> types;        // by number - 1: type oid and modifier, as a result's
    std::set<int> bytes;                                // numbers of BYTE columns
  };
  std::unordered_map<unsigned, BaseColumns> m_baseColumns;
  // Settings changed since the last statement (SetBusyTimeout, SetQueryTimeout), sent with the next one.
  std::string m_pendingSettings;
  // Settings sent inside the open transaction (BeginLocked, NoteSetting): a rollback undoes them.
  std::string m_settingsInTransaction;
  // Statements sent after the next one, in its pipeline and savepoint (ExecuteCommenting); Send clears them.
  std::vector<std::string> m_alsoSend;
  std::string m_schema;     // the catalog's schema (the database's default one without a catalog key), UTF-8
  std::string m_schemaOid;  // its oid in decimal; empty when there is none
  std::string m_lockKey = "0";
  PgNames m_names;
  // The tables with columns whose names differ only in ASCII case, and the message that refuses them.
  std::unordered_map<std::string, CString> m_clashes;
  bool m_namesRead = false;
  static constexpr std::size_t kMaxPrepared = 512;
  std::unordered_map<std::string, std::string> m_prepared;  // text -> its prepared statement's name
  std::unordered_set<std::string> m_seenOnce;               // texts sent once, not (yet) prepared
  unsigned long m_preparedCount = 0;
  // Descriptions by the shape of the result they describe (ShapeOf in PgConnection.cpp).
  std::unordered_map<std::string, std::shared_ptr<const PgColumnSet>> m_described;
  // The reads a catalog makes right after it opens (its tables Definition, FamilyDescription and Units, as
  // the catalog words them), sent in the opening round trip: each answers the first statement of the same
  // text, once, within kOpeningReadsMs of the opening, and any other statement, a reconnection or a change of
  // the schema drops them unused. Owned; cleared here.
  std::unordered_map<std::string, pg_result*> m_openingReads;
  bool m_openingTables = false;  // the table list read with the names answers the first TableCount, alike
  // The columns read with the names answer the first ColumnsOfTables, alike; other statements leave them, since
  // one of this connection's that changes a table unreads the names.
  bool m_openingColumns = false;
  std::chrono::steady_clock::time_point m_openedAt;
  // A search probe that found the table list unchanged (its signature) confirms it as the opening's read does:
  // the next TableCount within kOpeningReadsMs of the probe, with no statement in between, takes the list
  // instead of reading it again.
  bool m_tablesConfirmed = false;
  std::chrono::steady_clock::time_point m_tablesConfirmedAt;
  void DropOpeningReads();
  pg_result* TakeOpeningRead(const std::string& sql);
  bool TakeOpeningTables();
  bool TakeOpeningColumns();
};

}  // namespace vdpattern::db
