#pragma once
// CVdPatternCatalog: one catalog: an SQLite file, a read-only legacy Access file, or a schema on a PostgreSQL
// server named by a server address or a catalog link file (CVdDatabase says how each is told apart). While open it
// keeps a connection, two long-lived record sets over its system tables "Definition" and "FamilyDescription", the units
// of its families (table "Units") and a cache of family codes; a factory turns its rows into patterns and back.
// Families are the other tables: one row per pattern, column "Name" holding the user name.
//
// Ownership: the catalog owns its connection and record sets, and its factory when the own-the-factory flag
// says so. Copies (copy constructor, operator=) share the connection, the record sets and the factory with
// their source: each shared object is released exactly once, when the last catalog that refers to it lets go
// (Close or destruction). A connection handed to the connection constructor is taken over. Patterns returned
// by GetPattern are the caller's; pools handed in are borrowed. Record sets made by InternalFindPattern are
// the caller's. A catalog is used by one thread at a time.
//
// Errors: database failures arrive as CDBException* from the toolkit. Where the catalog reports them it calls
// OnDBException, whose base version shows the report (caption "Erreur DB", text GetDBExceptionString) through
// MessageBoxW's handler. These let a CDBException* pass to the caller, who releases it with Delete():
// - GetEditorName, GetLastUpdateDate, GetVerNumber, SetName, SetEditorName, SetVerNumber and UpdateDate, when
//   "Definition" cannot be read or written (no row, a missing column, a damaged file, a lock held elsewhere);
// - ModifyPattern, on any failure of the toolkit or the factory's writes (a lock timeout has state HYT00).
// Every other operation reports or swallows its failures and answers false, null or eFunctionFailed. A database
// that could not answer (a lost or refused server connection, a catalog file gone, a lock or statement time-out)
// is always reported, once per call, and never answered as "not found" or an empty family: the lookups
// (GetPattern, FindPattern) and family reads (GetFamilyPattern, GetFamilyPatternSQL) report it even where a
// refused statement stays quiet. The next call connects again (a server connection is made anew).
//
// Choices:
// - Paths: a server address is kept as it is given, and a link file is a path like any other. For a file path,
//   '/' separates directories; '\' is accepted too, for paths written by hosts on the original platform.
//   A path without a separator is completed with the current directory; ".mdb" is appended to a path without a
//   '.'. The name is the text between the last separator and the last '.'; a server catalog is named after its
//   schema (empty for the database's default schema), whether it is opened by its address or by a link file. A
//   name says which catalog it is, and a manager attaches one catalog per name: a file is the catalog, so its
//   stem names it, but a link file only points at one, so it takes the name of the catalog it reaches. Two
//   links to one catalog, or a link and the address, are then one name, and the second is refused by the
//   manager instead of showing the catalog twice under two names (or hiding a catalog of the link's name).
// - AttachFactory with the factory already held keeps it alive and only takes the new own-the-factory flag.
// - A factory that the catalog makes itself (CreateFactory, when it has none) is always its own to release,
//   whatever the own-the-factory flag said before: nobody else knows of it, so it would leak otherwise.
// - Family-code lookups leave the "FamilyDescription" record set past its last row; the field accessors then
//   fail until the catalog is reopened (OpenDB after CloseDB), as they read the row the record set stands on.
// - Units are parsed with the factory's unit manager's metrics factor, or 1 when there is no factory or no unit
//   manager; the factory then applies no conversion without a unit manager, so values stay as stored.
// - Each units entry learns its parameter name: the factory's GetMappedName of the column, so GetParamUnit
//   finds a unit by parameter name.
// - A family code of 64 characters or more does not fit the callers' 64-character buffers: GetFamilyCode
//   refuses it (false), so such a family is read and written as one without a code. Cutting it could make two
//   families share a code.
// - A table that does not exist answers FindFamily false without a report: the toolkit marks its empty
//   definition with the bit of value 4.
// - Quoting: texts between single quotes have each ' doubled, the key of GetMaxValue included (a key such as
//   O'Neil must not end the text early); table names go between [ ] unchanged, so a family name holding ']'
//   is refused (the search passes over it, readers return false or null) rather than let it end the brackets.
// - A lock timeout while searching the families is reported and ends the search: "not found" would be a lie.
// - Writes are all or nothing. InsertPattern, ModifyPattern and RemovePattern run their lookup, the row's write
//   and the stamp of "def_lastUpdate" as one write group of the database (CVdDatabase::BeginWriteGroup): a
//   transaction that takes the write lock before the lookup, or a savepoint inside the host's transaction. So
//   two processes inserting one new name store it once (the second overwrites), and a call that fails after
//   writing the row (the stamp fails, the COMMIT meets a full disk) returns false with the file unchanged.
//   RemovePattern therefore never deletes the row when it answers false.
// - The append path of InsertPattern opens the family as "Select * From [family] WHERE 0": an empty result to
//   add the row to (reading the family would cost every row), and a table name never taken for a statement,
//   whatever words it begins with.
// - A pattern search over all families runs as one read group of the database (CVdDatabase::BeginReadGroup),
//   so it pays the file locking once and sees one state of the file.
// - Each operation names what it does with a database failure it answers itself: report it (OnDBException) or
//   stay quiet; a lock timeout met while searching the families is always reported (CDBException::eTimeout).
// - Extension, change records: InsertPattern, ModifyPattern and RemovePattern (and CVdCatalogSchema::AddFamily)
//   add a row to the library's table "vd_change" inside their write group: a number that only grows, the
//   family, the pattern's name and the kind of change ("insert", "modify", "remove", "family"). The first such
//   write makes the table in a catalog that lacks it. GetChanges reads them, so a host learns what other
//   connections changed without reading the families again (CVdPatternManager::RefreshPool).

#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>
#include <vdpattern/VdPatternExport.h>
#include <vdpattern/catalog/VdEnumPropFamily.h>
#include <vdpattern/catalog/VdPatternHistory.h>
#include <vdpattern/factory/UnitInfo.h>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/String.h>

class CVdDatabase;
class CVdRecordset;
class CDBException;

class VDPATTERN_EXPORT CVdPatternCatalog {
 public:
  enum eOpenDBRetCode { eOpenDBFailed = 0, eOpenDBOpened = 1, eOpenDBAlreadyOpen = 2 };
  enum eFunctionThreeState { eFunctionFailed = 0, eFunctionNotFound = 1, eFunctionFound = 2 };

  using FamilyUnits = std::map<std::wstring, UNITINFO>;

  static const wchar_t* const c_szExt;  // ".mdb"

  // Opens `path` when it is not null. A non-null factory becomes the catalog's, owned when `ownsFactory`.
  CVdPatternCatalog(const wchar_t* path = nullptr, CVdPatternFactory* factory = nullptr, bool ownsFactory = true);
  // Takes over `database` (may be null) and opens the system tables on it.
  CVdPatternCatalog(CVdDatabase* database, CVdPatternFactory* factory, bool ownsFactory);
  CVdPatternCatalog(const CVdPatternCatalog& other);
  CVdPatternCatalog& operator=(const CVdPatternCatalog& other);
  virtual ~CVdPatternCatalog();

  virtual void Dump();

  // ---- lifecycle
  virtual bool Open(const wchar_t* path);
  virtual bool FillUnitsPool();
  virtual bool FillUnitsMap(CVdRecordset& columns, CVdRecordset& values, FamilyUnits& units);
  virtual void Close();

  // ---- families
  virtual bool FindFamily(const wchar_t* table);
  virtual bool GetFamilies(std::list<std::wstring>& families);

  // ---- queries and writes
  virtual bool GetFamilyPattern(CVdPatternPool* pool, const wchar_t* family, const wchar_t* nameFilter);
  virtual bool GetFamilyPatternSQL(CVdPatternPool* pool, const CString& statement, const CString& family);
  virtual bool FindPattern(const wchar_t* name, const wchar_t* family);
  virtual bool RemovePattern(const wchar_t* name, const wchar_t* family);
  virtual CVdPattern* GetPattern(const wchar_t* name, const wchar_t* family);  // caller deletes the result
  virtual bool ModifyPattern(const wchar_t* name, const wchar_t* family, CVdPattern* pattern);
  virtual bool InsertPattern(CVdPattern* pattern, bool append);

  // ---- factory
  virtual void AttachFactory(CVdPatternFactory* factory, bool ownsFactory);
  const CVdPatternFactory* GetFactory() const;  // borrowed, may be null

  // ---- open state and metadata
  eOpenDBRetCode OpenDB();
  bool IsOpened() const;
  bool CanWrite() const;
  void CloseDB();
  CString GetTypeName();
  bool IsCatalog();
  CString GetName() const { return m_strName; }
  CString GetPath() const { return m_strPath; }
  void SetName(const CString& typeName);
  void SetEditorName(const CString& editor);
  CString GetEditorName();
  CString GetLastUpdateDate();
  int GetVerNumber();

  // ---- family codes and descriptions
  bool GetFamilyCode(const wchar_t* family, wchar_t* code);  // `code`: 64 characters
  void ClearFamiliesCode();
  const CVdRecordset* GetFamilyDescriptionRS() const;
  bool GetFamilyDescriptionField(const wchar_t* column, COleVariant& value);
  bool GetFamilyDescriptionField(int column, COleVariant& value);
  bool SetFamilyDescriptionField(const wchar_t* column, const COleVariant& value);
  bool SetFamilyDescriptionField(int column, const COleVariant& value);
  bool SetFamilyDescriptionField(const wchar_t* column, const wchar_t* value);
  bool SetFamilyDescriptionField(int column, const wchar_t* value);
  long EnumerateProperties(const wchar_t* family, IEnumPropFamily** enumerator);

  // ---- values and units
  eFunctionThreeState GetMaxValue(const wchar_t* table, const wchar_t* valueColumn, const wchar_t* keyColumn,
                                  CVdPatternValue& value);
  FamilyUnits GetUnitsMap(std::wstring family);
  bool GetParamUnit(std::wstring family, std::wstring name, CVdUnit& unit);
  void SetHasUnits(bool hasUnits) { m_bHasUnits = hasUnits; }
  bool GetHasUnits() const { return m_bHasUnits; }

  // ---- extension: change records
  struct PatternChange {
    long long sequence = 0;  // grows with every recorded write, in commit order
    std::wstring family;     // as the write named it
    std::wstring name;       // the pattern's name; empty for a change of the family itself
    std::wstring kind;       // "insert", "modify", "remove" or "family"
  };
  enum eChanges { eChangesRead, eChangesNotKept, eChangesFailed };
  // Appends the records numbered above `after` to `changes`, oldest first, in one statement. eChangesNotKept:
  // the catalog has no change table (never written by this library, an Access file), so nothing can be said;
  // eChangesFailed: a database failure, reported through OnDBException.
  eChanges GetChanges(long long after, std::vector<PatternChange>& changes);
  // The number of the newest record in `last` (0 when there is none yet), in one statement; same answers.
  eChanges GetLastChange(long long& last);
  // Waits until the catalog holds a record numbered above `after`, or `timeoutMs` passed, and puts the newest
  // number in `last` (not above `after` when the time passed first). It returns at once when the records are
  // already past `after`. On a server it sleeps on the connection until a writer's notice at commit (LISTEN on
  // the catalog's channel, PgConnection.h), so a change is seen within milliseconds, and each wake costs one
  // statement; outside a transaction only (inside one it polls, as on a file). On a file it looks at the
  // records every 20 ms. Same answers as GetLastChange; eChangesNotKept when the time passed on a catalog
  // without change records.
  eChanges WaitForChange(long long after, unsigned timeoutMs, long long& last);
  // ---- extension: many writes as one (what an import needs)
  // BeginWriteGroup opens a write group of the catalog's database (CVdDatabase::BeginWriteGroup: a transaction
  // that takes the write lock at once, or a savepoint inside the host's transaction), and the host ends it with
  // exactly one EndWriteGroup: `keep` true commits (or releases) it, false undoes every write made since. The
  // catalog's writes in between (InsertPattern, ModifyPattern, RemovePattern, InsertPatterns, the aliases) join
  // it, each still all or nothing on its own, with their change records, so a host may retry or skip one
  // refused write and keep the others. Groups nest. BeginWriteGroup returns false on a closed catalog and
  // throws CDBException* when the group cannot begin (a lock held elsewhere past the lock time-out: HYT00; a
  // server that cannot be reached). EndWriteGroup(true) throws CDBException* when the COMMIT fails, after
  // undoing the group; EndWriteGroup(false) never throws. The catcher releases the exception with Delete().
  bool BeginWriteGroup();
  void EndWriteGroup(bool keep);
  // Whether the server dropped the open write group with its connection: its writes are gone and every write
  // fails until EndWriteGroup(false) ends it.
  bool IsWriteGroupLost() const;
  // The rows of `family`, counted by the engine, or only up to `limit` when it is above 0 (CountPatterns(f, 1)
  // asks whether the family is empty in one short statement). -1 when the family cannot be read: a missing
  // table, a name holding ']', a database failure (reported).
  long CountPatterns(const wchar_t* family, long limit = 0);
  // The rows of each of `families`, counted by the engine in one statement per 400 families (a UNION ALL of
  // their counts: on a server one round trip instead of one per family), added to `counts` under the names
  // as given. False when a statement could not run (a missing or unreadable family, a name holding ']', a
  // database failure, reported); the families it held are then not in `counts`, for CountPatterns to count
  // one by one.
  bool CountFamilies(const std::list<std::wstring>& families, std::map<std::wstring, long>& counts);
  // Writes every pattern of `patterns`, all of one family, as InsertPattern(pattern, append) would (a name
  // that the family holds is overwritten, other names are added), in one write group and few statements: the
  // new rows in multi-row INSERTs of bound values (CVdRecordset::QueueNew), their change records and name
  // index entries a statement per 5,000 rows, one lookup of the names per 5,000 unless `append` says
  // the caller knows that none of them is in the family. A name given twice, and a name the family holds, is
  // written row by row after the new ones. All or nothing: false (the factory refused a pattern, a database
  // failure, reported through OnDBException) leaves the catalog as it was; the caller may then write the
  // patterns one by one to learn which was refused. The patterns are borrowed.
  bool InsertPatterns(const std::vector<CVdPattern*>& patterns, bool append);

  // ---- extension: the history (VdPatternHistory.h; the table's layout is described in src/catalog/History.h)
  // A catalog that has the library's table "vd_history" (a new one has; CVdCatalogSchema::UpgradeCatalog adds
  // it to an older file) records in it, inside the same write group, every change that InsertPattern,
  // ModifyPattern, RemovePattern and UndoChange make: its number (that of its change record), the UTC time,
  // the writer (OS user; on a server the role), host, program, family, name, and each touched column's value
  // before and after. A catalog without it writes the change records only, as before. Only the library's own
  // writes are recorded. On a file, whoever may write the file may rewrite its history too.
  // None of these calls throws; entries are the caller's.
  bool HasHistory();  // whether the catalog keeps a history; a failure to tell counts as no
  // On a server, a history table not owned by the owner of the catalog's schema (a writer made it) is not the
  // catalog's: HasHistory says no, it is neither read nor written, and this says why; empty otherwise.
  CString GetHistoryDistrust();
  // The entries `filter` selects, newest first, appended to `entries`. eChangesNotKept: no history;
  // eChangesFailed: a database failure, reported through OnDBException.
  eChanges GetHistory(const vdpattern::HistoryFilter& filter, std::vector<vdpattern::HistoryEntry>& entries);
  // Puts back what the set of change `change` did (every change one library write made, an import's rows
  // included), newest first, in one write group, recorded as a new set of kind "undo". Refused, with nothing
  // changed and the reason in `error`, when a value the set wrote is no longer current: `error` names the later
  // change that wrote it, or says that no recorded change did. False with `error` also for an unknown change,
  // a catalog without history or read-only, a value that cannot be written back (bytes), a database failure.
  bool UndoChange(long long change, CString& error);
  // Removes the entries recorded before `before` (an ISO date or time, UTC) and records that it did, as an
  // entry of kind "prune"; `removed` says how many went. False with `error` as for UndoChange.
  bool PruneHistory(const wchar_t* before, long long& removed, CString& error);
  // A host that writes many patterns inside one group of its own (an import) brackets them with these: the
  // changes are kept in memory and EndHistoryBatch(true) writes their change records and history as one set,
  // a few statements for all of them, and must run inside that same group, before it is kept. A long batch is
  // written in parts as it goes: once it holds a few thousand changes, InsertPatterns writes them into the
  // group (on a server ahead of their answers, so the server writes them while the host reads its next rows;
  // a failure then fails a later call and loses the group, IsWriteGroupLost). EndHistoryBatch(false) drops
  // what is left (the host undoes its group, and with it the parts). EndHistoryBatch answers false after a
  // database failure, reported through OnDBException; the host then undoes its group. Without a history the
  // batch changes nothing.
  void BeginHistoryBatch();
  bool EndHistoryBatch(bool keep);
  // ---- names as engineers write them (extension; the normal form is VdNormalName, VdPatternNames.h)
  // Two library-owned tables serve them: "vd_alias" (alias, family, name, normal), the names a catalog says
  // stand for a row ("HE 300 B" for HEB 300), and "vd_name" (family, name, normal), every row's name with its
  // normal form, so that a spelling is found through the index on "normal" rather than by reading every family
  // (a column of the families would change their shape for other programs; an index on an expression would
  // need our function inside the database, which other programs and the server do not have). Library writes
  // keep "vd_name": InsertPattern adds a new row's name, RemovePattern drops it together with the row's
  // aliases. Rows that other programs add reach it with RebuildNameIndex (vdcatalog alias FILE reindex); a
  // catalog without "vd_name" (a legacy or read-only file) has its names read once per opening instead.
  // Every candidate is checked against its family before it is answered, so a stale entry is never a match.
  struct NameMatch {
    std::wstring family;  // as the catalog spells the table
    std::wstring name;    // the row's name as stored
    std::wstring alias;   // the alias that led there; empty for a spelling of the name itself
  };
  struct Alias {
    std::wstring alias, family, name;
  };
  // Off by default, so that GetPattern and FindPattern keep their contract for exact names. On, a name that
  // is not found as given is looked up by its aliases and its normal form, and answers when exactly one row
  // matches; the pattern then carries the row's real name. With several rows it answers as not found:
  // FindNames lists them.
  void SetMatchSpellings(bool on) { m_bMatchSpellings = on; }
  bool GetMatchSpellings() const { return m_bMatchSpellings; }
  // The rows that `name` reaches through an alias or its normal form, within `family` when not null (compared
  // without case), with duplicates removed. Exact names are not looked up here. False after a database
  // failure, reported.
  bool FindNames(const wchar_t* name, const wchar_t* family, std::vector<NameMatch>& matches);
  // Adds an alias for the row `name` (in `family`, or searched in every family when null or empty). Refused
  // with a message in `error`: an alias whose normal form is a row's name or another alias's, a row that does
  // not exist, a read-only catalog. Creates the two tables when missing. All or nothing.
  bool AddAlias(const wchar_t* alias, const wchar_t* name, const wchar_t* family, CString& error);
  // Removes the alias whose normal form is `alias`'s; false with `error` when there is none.
  bool RemoveAlias(const wchar_t* alias, CString& error);
  // Every alias, sorted by alias. False after a database failure, reported; true and empty without aliases.
  bool GetAliases(std::vector<Alias>& aliases);
  // Adds every alias in one write group, checked as AddAlias does; the first refusal leaves the catalog
  // unchanged and names the alias in `error`.
  bool AddAliases(const std::vector<Alias>& aliases, CString& error);
  // Writes "vd_name" anew from the families' rows; creates the tables when missing. All or nothing.
  bool RebuildNameIndex(CString& error);
  // Names for a "did you mean" (extension): the names of "vd_name" whose normal forms sort next to `name`'s,
  // up to `around` on either side, read through its index in one statement, so that a suggestion downloads a
  // few names instead of every family. False, `names` empty, when the catalog keeps no name index (the caller
  // then reads the families itself) or after a database failure, reported.
  bool GetNeighbourNames(const wchar_t* name, std::size_t around, std::vector<std::wstring>& names);
  // Names for a "did you mean" over the whole catalog (extension), in one statement whatever the number of
  // families: the names of "vd_name" and the aliases of "vd_alias" whose normal forms sort next to `name`'s, up
  // to `around` on either side of it through their indexes; and, in a catalog without "vd_name" or for one
  // family, the names of each family (of `family` only, when not null or empty) that sort next to `name` as
  // written and in capitals, through the family's own name column, so that a suggestion never downloads a
  // family whole. `exact` is the engine's answer to the family's [Name] = `name` (what FindPattern asks), for
  // a name held by another family than the one asked for. A family whose name cannot be bracketed is passed
  // over. False, `names` empty: after a database failure, reported; or, quietly, when the engine refuses the
  // statement (a family whose names it cannot compare so), and the caller then reads the families itself.
  // When `spellings` is not null, it gets what FindNames(name, family, *spellings) answers (also when the
  // statement was refused), asked in the same statement where the catalog keeps a name index: a missing name's
  // spellings and suggestions are then one round trip on a server.
  struct NearName {
    std::wstring family;  // as the catalog spells the table
    std::wstring name;    // the row's name as stored (for an alias, the name it stands for)
    std::wstring alias;   // the alias that led there; empty for a name
    bool exact = false;   // the family's row of exactly `name`
  };
  bool GetNearNames(const wchar_t* name, const wchar_t* family, std::size_t around, std::vector<NearName>& names,
                    std::vector<NameMatch>* spellings = nullptr);
  // ---- extension: a pattern with the row it was read from
  // The row as GetPatternWithRow's lookup read it: each column as the engine names it, in the table's order,
  // with its value as stored (a missing value is VT_NULL).
  struct StoredRow {
    std::vector<std::wstring> columns;
    std::vector<COleVariant> values;
  };
  // As the base class's GetPattern (spellings matched when SetMatchSpellings says so), also handing back in
  // `row` the row the pattern was read from: a host that shows what is stored reads the row once, not again
  // after the lookup. Null, `row` empty, where GetPattern answers null. The pattern is the caller's.
  CVdPattern* GetPatternWithRow(const wchar_t* name, const wchar_t* family, StoredRow& row);

  // ---- fixed results
  static CString GetDBExceptionString(CDBException* e);
  static bool CompactDatabase(const wchar_t* path, bool flag);
  CVdPatternCatalog* CreateLike(const wchar_t* path, CVdPatternFactory* factory, bool ownsFactory);

 protected:
  virtual CVdPatternFactory* CreateFactory();   // a new default factory; the caller stores or deletes it
  virtual void OnDBException(CDBException* e);  // borrowed: the caller deletes the exception

  CVdPatternFactory* GetFactoryObject();  // the factory, or a new one that the caller deletes
  bool IsDBCatalog();
  void SetVerNumber(int version);
  void SubStringReplace(const wchar_t* source, const wchar_t* find, const wchar_t* replacement, CString& out);
  // The record set used for the search (caller closes and deletes it), or null; `found` says whether it stands
  // on the pattern's row.
  CVdRecordset* InternalFindPattern(const wchar_t* name, const wchar_t* family, bool& found);

 private:
  struct SharedDatabase;

  // What an operation does with a database failure that it answers itself (false, null, eFunctionFailed):
  // report it through OnDBException, or keep quiet. Either way the exception is released.
  enum eFailure { eReport, eQuiet };
  // Runs `work` and returns its result; a CDBException from it is handled as `failure` says and `failed` is
  // returned instead.
  template <typename Result, typename Work>
  Result Guarded(eFailure failure, Result failed, Work&& work);
  // As Guarded, for reads whose refused statement (a missing family, a host's statement that does not fit)
  // stays quiet: a database that could not answer (connection, file, lock, time limit) is still reported.
  template <typename Result, typename Work>
  Result GuardedRead(Result failed, Work&& work);

  // The shared objects, or null; borrowed.
  CVdDatabase* Database() const;
  CVdRecordset* DefinitionRS() const;
  CVdRecordset* FamilyDescriptionRS() const;
  CVdPatternFactory* Factory() const { return m_factory.get(); }

  bool ReadCatalogType();
  void UpdateDate(bool editAndUpdate);
  bool OpenSystemRecordsets();
  CVdDatabase* NewConnection(const CString& path);  // an open connection, or null after the report
  void AdoptDatabase(CVdDatabase* database);
  // Connects to `path` in place of the open database and reads the catalog's tables and units; false, closed,
  // after the report.
  bool OpenAt(const CString& path);
  void ReleaseDatabase();
  bool EnsureFactory();
  void SetNameFromPath();
  // The factory's pattern of the current row. `reading` carries what one loop over rows learns once; a
  // factory that keeps the base class's reading gets it, and the units map lent rather than copied.
  CVdPattern* ReadRow(CVdRecordset* recordSet, const wchar_t* family, const wchar_t* familyCode,
                      CVdPatternFactory::RowReading& reading);
  // Fills the row in edit or append mode from the pattern with the units of `family` and stores it (an edit
  // with `queue`: queued, CVdRecordset::QueueEdit, for the caller's WriteQueuedEdits); false, the edit
  // cancelled, when the factory refuses. Database failures pass to the caller.
  bool StoreRow(CVdRecordset& rs, CVdPattern* pattern, const wchar_t* code, const std::wstring& family,
                bool queue = false);

  // Records a change inside the caller's write group, making the change table when it is missing.
  void RecordChange(const CString& family, const CString& name, const wchar_t* kind);
  // Records a change and, when the catalog keeps one, its history: the columns that differ between the row's
  // values before and after (CatalogHistory.cpp). Database failures pass to the caller.
  struct HistoryBatch;
  // The open batch's changes not yet written (0 without a batch), and the dropping of those after the first
  // `held` (a write that failed was undone with its group).
  std::size_t HistoryHeld() const;
  void ForgetHistoryAfter(std::size_t held);
  // Writes the open batch's changes as a part of its set once they are many, ahead of their answers on a server
  // (a failure is reported, and the changes stay for the batch's end).
  void WriteHistoryPart();
  using RowSnapshot = std::vector<std::pair<std::wstring, vdpattern::HistoryValue>>;
  RowSnapshot Snapshot(CVdRecordset& rs);  // empty when the catalog keeps no history
  // `written`, when not null, holds the inserted rows as stored and no others; otherwise they are read back by
  // name.
  bool RecordInserted(const CString& family, const CString& table, const std::vector<std::wstring>& names,
                      CVdRecordset* written);
  void RecordWrite(const CString& family, const CString& name, const wchar_t* kind, const RowSnapshot& before,
                   const RowSnapshot& after);
  // RecordWrite of a catalog that keeps a history, with the changed columns encoded already.
  void RecordEncoded(const CString& family, const CString& name, const wchar_t* kind, std::wstring columns);
  // Records a change that is no row's (columns added to a family) in the open batch, or as a set of its own.
  // Database failures pass to the caller.
  void RecordFamilyWrite(const CString& family, const wchar_t* kind,
                         const std::vector<vdpattern::HistoryColumn>& columns);
  friend class CVdCatalogSchema;  // AddColumnsInGroup records through the batch and reads the family's units again
  // Records aliases added or removed (NameMatch::alias of each), one change per alias, on the pattern it names.
  void RecordAliasWrite(const std::vector<NameMatch>& aliases, bool added);
  // Names as engineers write them (VdPatternNames.cpp).
  enum eNameIndex { eNameIndexUnknown, eNameIndexAbsent, eNameIndexTable, eNameIndexScanned };
  bool HasTable(const wchar_t* table);
  bool EnsureNameTables();  // database failures pass to the caller
  void NoteName(const std::wstring& family, const std::wstring& name, bool added);  // inside a write group
  // Notes new rows' names in batches (inside a write group); `appended`: added to a family found empty.
  void NoteNames(const std::wstring& family, const std::vector<std::wstring>& names, bool appended);
  // InsertPatterns' work inside its write group; database failures pass to the caller.
  bool WritePatterns(const std::vector<CVdPattern*>& patterns, bool append);
  // WritePatterns' rows whose names the family holds: written over in place, their rows read in batches, each
  // recorded as a modification. `patterns` are borrowed. Database failures pass to the caller.
  bool WriteOver(const CString& family, const wchar_t* code, const std::vector<CVdPattern*>& patterns);
  class OwnBatch;  // a history batch of a write's own (VdPatternCatalog.cpp)
  // The rows whose alias or name has the normal form `normal`. With `here`, each is checked against its family
  // in the same statement where the name index answers: 1 there, 0 gone, -1 left to the caller to check.
  // Failures pass on.
  bool Candidates(const std::wstring& normal, std::vector<NameMatch>& found, std::vector<signed char>* here = nullptr);
  void ReadNameColumns();  // failures pass on
  // FindNames' answer from the candidates and their checks (Candidates' `here`); failures pass on.
  void KeepMatches(const std::vector<NameMatch>& found, const std::vector<signed char>& here, const wchar_t* family,
                   std::vector<NameMatch>& matches);
  bool CheckAlias(const Alias& alias, std::wstring& family, std::wstring& name, CString& error);
  // Caller deletes; `row`, when not null, gets the row the pattern was read from.
  CVdPattern* GetPatternBySpelling(const wchar_t* name, const wchar_t* family, StoredRow* row = nullptr);
  CVdPattern* ReadPattern(const wchar_t* name, const wchar_t* family, StoredRow* row);  // GetPattern's work

  bool m_bMatchSpellings = false;
  eNameIndex m_nameIndex = eNameIndexUnknown;
  std::unordered_multimap<std::wstring, std::pair<std::wstring, std::wstring>> m_scannedNames;  // normal -> row
  // Each family with its name column as the schema spells it, for the check in a spelling's statement: read at
  // the first spelling looked up, and again after a candidate named a family missing here or that check failed.
  std::vector<std::pair<std::wstring, std::wstring>> m_nameColumns;
  bool m_nameColumnsRead = false;

  bool m_bHasUnits = false;
  bool m_changeTableKnown = false;  // the change table was seen by a write of this catalog
  enum eHistory { eHistoryUnknown, eHistoryAbsent, eHistoryKept };
  eHistory m_history = eHistoryUnknown;          // asked once per opening
  std::shared_ptr<HistoryBatch> m_historyBatch;  // the open batch, or null
  std::map<std::wstring, FamilyUnits> m_units;
  CString m_strPath;
  CString m_strName;
  std::map<std::wstring, std::wstring> m_familyCodes;

  // The connection and the two system record sets, owned together and shared with copies; null while closed.
  std::shared_ptr<SharedDatabase> m_sharedDatabase;
  // The factory, shared with copies; its deleter says whether the catalog owns it (AttachFactory).
  std::shared_ptr<CVdPatternFactory> m_factory;
};
