#pragma once
// Running statements into a record set's storage and writing its rows back.
//
// A SELECT over one table is prepared with the row id as one more, hidden, column (checked to be the real row
// id of that table); its rows can then be changed one by one even when several hold the same values. Any
// other statement is prepared as it is and its result is read-only.
//
// RunQuery steps the statement to its end, copying every value into the state, and resets it before
// returning, so no statement stays active (and no lock stays held) between calls. A statement that the engine
// had to prepare again (the schema changed) is dropped from the cache and prepared afresh, so that the
// description of its columns is never stale.

#include "toolkit/db/RecordsetState.h"
#include "toolkit/db/sqlite/SqliteConnection.h"

namespace vdpattern::db {

// Prepares and describes a statement (not cached). Throws CDBException.
CachedStatement PrepareQuery(SqliteConnection& connection, const StatementText& text);

// Runs state.text and stores its rows in the state (replacing what it held). Throws CDBException.
void RunQuery(SqliteConnection& connection, RecordsetState& state);

// The pending edit of the current row / the pending new row / the current row itself. The state must hold an
// editable result (ColumnSet::updatable). UpdateRow returns false when no column was set.
bool UpdateRow(SqliteConnection& connection, RecordsetState& state);
void InsertRow(SqliteConnection& connection, RecordsetState& state);
void DeleteRow(SqliteConnection& connection, RecordsetState& state);

// Reads back the rows InsertRow and UpdateRow wrote (RecordsetState::unread). Throws CDBException.
void ReadBack(SqliteConnection& connection, RecordsetState& state);

}  // namespace vdpattern::db
