#pragma once
// The history of a catalog: table "vd_history", one row per change a library write made, in the same write
// group (transaction or savepoint) as the change itself, so the history holds a change exactly when the
// catalog does.
//
// Layout: vd_history (seq, cset, at, who, host, program, family, name, kind, columns).
// - seq is the change's number in the change records (vd_change), so pools, watchers and the history count
//   with one numbering that only grows; cset is the number of the first change of the same library write, so an
//   import of many rows is one set that undo can take back whole.
// - at is UTC text (ISO 8601, sortable as text); who is the OS user, or on a server the role the connection
//   runs as (current_user, which the server says, not the client); host and program are the writer's.
// - columns holds every column the change touched with its value before and after, as one JSON array of
//   [column, before, after]: null for NULL, true/false, numbers (a real always carries '.' or an exponent, so an
//   integer stays an integer), strings for texts, {"date": ...}, {"bytes": hex} and {"real": "inf"} for what
//   JSON has no literal for. One row per change rather than one per value keeps an import at one history row
//   per pattern (a family of 20 columns would otherwise cost 20), and the text stays readable by the engines'
//   own JSON functions (json_each, jsonb) for anyone querying the file by hand.
//
// Which catalogs keep one: those that have the table. A new catalog gets it (CVdCatalogSchema::CreateCatalog),
// `vdcatalog upgrade` adds it; an older file without it, and an Access file, keep writing the change records
// only, as before. Writes by other programs are not recorded: on a file nothing could see them; on a server a
// trigger could, but it would be a function the writers' statements resolve through the schema, which is
// what a planted object abuses, so the library records its own writes only (a foreign write shows in undo's
// refusal, as values that no recorded change wrote).
//
// Batches: inside CVdPatternCatalog::BeginHistoryBatch the changes are kept in memory and EndHistoryBatch
// writes their change records and history rows with multi-row statements numbered from the last record, under
// the write lock the caller's group holds. A long batch is written in parts of one set as it goes
// (FlushHistoryPart), each part numbered on from the last.

#include <string>
#include <utility>
#include <vector>
#include <vdpattern/catalog/VdPatternHistory.h>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/String.h>

class CVdDatabase;
class CVdRecordset;

namespace vdpattern::catalog {

inline constexpr const wchar_t* kHistoryTable = L"vd_history";
inline constexpr const wchar_t* kChangeUndo = L"undo";
inline constexpr const wchar_t* kChangePrune = L"prune";
inline constexpr const wchar_t* kChangeAlias = L"alias";
inline constexpr const wchar_t* kChangeConvert = L"convert";
inline constexpr const wchar_t* kChangeColumns = L"columns";  // columns added to a family
inline constexpr const wchar_t* kChangeUnits = L"units";      // units of a family's columns changed

// The schema of a server catalog ("public" for the database's default); empty for a file. A link file is a file
// that names a server catalog.
std::wstring ServerSchema(CVdDatabase& db);

// The values of a row, by column, in the result's order.
using RowValues = std::vector<std::pair<std::wstring, HistoryValue>>;

// Makes the history table (and the change table when missing). Database failures pass to the caller.
void MakeHistoryTable(CVdDatabase& db);

// The current row of `rs`. Database failures pass to the caller.
RowValues ReadRowValues(CVdRecordset& rs);
// The columns whose value differs between `before` and `after` (either may be empty: a new or removed row).
std::vector<HistoryColumn> Changed(const RowValues& before, const RowValues& after);

std::wstring EncodeColumns(const std::vector<HistoryColumn>& columns);
// What EncodeColumns(Changed({}, ReadRowValues(rs))) gives for the current row of `rs`, a row just inserted,
// written straight from its cells (an import records every row so); `names` are InsertedNames(rs). Database
// failures pass to the caller.
std::vector<std::wstring> InsertedNames(CVdRecordset& rs);
std::wstring EncodeInserted(CVdRecordset& rs, const std::vector<std::wstring>& names);
// False when `text` is not what EncodeColumns writes.
bool DecodeColumns(const std::wstring& text, std::vector<HistoryColumn>& columns);

struct PendingChange {
  CString family, name;
  const wchar_t* kind;
  std::wstring columns;  // encoded
};

// Writes the history row of the change record just written (the newest one), as a set of its own; `ahead` as
// for Write (ChangeLog.h).
void WriteHistory(CVdDatabase& db, const PendingChange& change, bool ahead = false);
// Writes the change records and history rows of `pending` as one set, numbered after the newest record, and
// empties it. Database failures pass to the caller (`pending` is then left as it was).
void FlushHistory(CVdDatabase& db, std::vector<PendingChange>& pending);
// A change set written in parts (a long import, whose rows are recorded while it goes on): its number, the first
// record's, once its first part is written, and how many records its parts hold.
struct ChangeSet {
  long long first = 0;
  long long written = 0;
};
// Writes `pending` as the next part of `set` (the first part numbered after the newest record, the others on from
// the last part) and empties it. `ahead`: the statements go ahead of their answers (CVdDatabase::ExecuteSQLAhead),
// whose failure the next call to the database throws. Database failures pass to the caller (`pending` and `set`
// are then left as they were).
void FlushHistoryPart(CVdDatabase& db, std::vector<PendingChange>& pending, ChangeSet& set, bool ahead);

// Writes the change record and, when the catalog keeps a history, the history row of one change that is not a
// row's: a family made, an alias added or removed. Database failures pass to the caller.
void RecordOther(CVdDatabase& db, const CString& family, const CString& name, const wchar_t* kind,
                 const std::vector<HistoryColumn>& columns);
// Gives a catalog just filled by a copy the change records and history a new catalog has, and records the copy
// as one change (its tables and rows), not one per row. Database failures pass to the caller.
void RecordCopy(CVdDatabase& db, long long tables, long long rows);

// Whether the history table may be believed: on a server only one owned by the owner of the catalog's schema (or
// a member of that role) is, since any writer may create tables there and a writer's own table is one it can
// rewrite; a file's always is. Asks only the server's catalog tables and built-in functions, schema-qualified.
// Database failures pass to the caller.
bool IsHistoryTrusted(CVdDatabase& db);
// Whether a history table made now would be trusted: on a server, whether the connection's role owns the schema
// (through its roles), since the table it makes is its own. Database failures pass to the caller.
bool MayMakeHistory(CVdDatabase& db);

// The entries `filter` selects, newest first. False when the catalog has no history table.
bool ReadHistory(CVdDatabase& db, const HistoryFilter& filter, std::vector<HistoryEntry>& entries);
// Removes the entries older than `before` and records the pruning as a change; the count removed.
long long PruneHistory(CVdDatabase& db, const std::wstring& before);

// A value as a record set writes it back into its column; false for one that cannot be (bytes).
bool ToVariant(const HistoryValue& value, COleVariant& out);

}  // namespace vdpattern::catalog
