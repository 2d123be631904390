#pragma once
// The change records of a catalog: table "vd_change" (seq, family, name, kind), one row per pattern or family
// that a library write touched, numbered by a counter that only grows. A write records its change inside its
// own write group, so a change is seen exactly when the write is: a reader that has seen record N has seen
// every write up to it. The number is the greatest one plus one, taken under the write lock: writers are one at
// a time, so the numbers grow in commit order with no gap a reader could pass over (a server sequence would
// hand out numbers in the order writers began, not the order they committed).
//
// Each record written tells the database (CVdDatabase::NoteChangeRecorded), so that on a server the transaction
// that wrote it notifies the catalog's listeners as it commits, with the newest number.
//
// The table is made by the first library write of a catalog that lacks it (older files); a catalog that has
// never been written by this library, and an Access file, have none, and their readers learn nothing from it.

#include <string>
#include <vector>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/toolkit/String.h>

class CVdDatabase;

namespace vdpattern::catalog {

inline constexpr const wchar_t* kChangeTable = L"vd_change";

// Kinds of change, as stored.
inline constexpr const wchar_t* kChangeInsert = L"insert";
inline constexpr const wchar_t* kChangeModify = L"modify";
inline constexpr const wchar_t* kChangeRemove = L"remove";
inline constexpr const wchar_t* kChangeFamily = L"family";

// Makes the table when `*known` is false and the database lacks it; sets `*known` when it found the table; true
// when it made it (empty, then). Inside a write group; database failures pass to the caller.
bool EnsureChangeTable(CVdDatabase& db, bool* known);
// Runs a write of the caller's write group; `ahead`: sent without waiting for its answer
// (CVdDatabase::ExecuteSQLAhead), its failure then said by the group's next statement or its end. Database
// failures pass to the caller.
void Write(CVdDatabase& db, const wchar_t* sql, bool ahead);
// Appends one record (inside the caller's write group), `ahead` as for Write. Database failures pass to the
// caller.
void RecordChange(CVdDatabase& db, const CString& family, const CString& name, const wchar_t* kind, bool ahead = false);
// Appends one record per name, numbered in order, in one statement per 5,000 names after one read of the
// greatest number (inside the caller's write group, with the table made), none when `madeNow` says the table was
// made empty by this write (EnsureChangeTable's answer). Database failures pass to the caller.
void RecordChanges(CVdDatabase& db, const CString& family, const std::vector<std::wstring>& names, const wchar_t* kind,
                   bool madeNow = false);
// Reads the records numbered above `after`, in order, in one statement. False when the catalog has no change
// table; other database failures pass to the caller.
bool ReadChanges(CVdDatabase& db, long long after, std::vector<CVdPatternCatalog::PatternChange>& rows);

// The number of the newest record (0 for none); false when the catalog has no change table.
bool ReadLastChange(CVdDatabase& db, long long& last);

}  // namespace vdpattern::catalog
