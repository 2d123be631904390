#pragma once
// What an open CVdRecordset holds, whatever engine filled it: the description of its columns (shared with the
// prepared statement that produced it), its rows as flat cells with their text and byte values in one arena,
// its position and its pending edit.
//
// Engine slot: an engine derives from RecordsetState (the statement it runs again on Requery, say) and from
// ColumnSet (the statements that write and read back rows of an editable result), and only ever makes its own
// derived objects (Connection.h), so it may cast the ones handed back to it. Connections keep a few spare
// states and hand them out again, so opening a record set reuses their buffers instead of allocating new ones.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/String.h>
#include "db/Cell.h"
#include "db/TypeMap.h"

namespace vdpattern::db {

struct ColumnInfo {
  CString name;        // as the result names it
  CString table;       // table of origin; empty for a computed column
  CString baseColumn;  // column of origin; empty for a computed column
  CString declaredType;
  std::string baseColumnUtf8;
  SqlTypeInfo type;  // from the declared type; kFromValue when there is none
  SWORD nullability = SQL_NULLABLE_UNKNOWN;
  bool primaryKey = false;
};

// The columns of a result; made by the engine, immutable once shared (an engine's own cached parts aside).
struct ColumnSet {
  virtual ~ColumnSet() = default;

  std::vector<ColumnInfo> columns;
  std::vector<ValueKind> kinds;  // columns[k].type.kind, packed together for the readers of every row
  bool updatable = false;
  CString readOnlyReason;  // why a result that is not updatable is not, when the engine knows better
  std::string table;       // the one table of an editable result (UTF-8)
  // Cells per stored row: the columns, then for an editable result the cells that identify the row to the
  // engine, which nothing else reads.
  std::size_t stride = 0;

  // The column of that name ignoring case, or -1.
  int Find(const wchar_t* name) const {
    if (!name) return -1;
    const std::wstring_view wanted(name);
    for (std::size_t k = 0; k < columns.size(); ++k)
      if (VdCompareNoCase(columns[k].name.str(), wanted) == 0) return static_cast<int>(k);
    return -1;
  }
};

struct RecordsetState {
  enum class Mode { kNone, kEdit, kAdd };

  virtual ~RecordsetState() = default;

  std::shared_ptr<const ColumnSet> columns;
  CellStore cells;    // the rows
  std::string arena;  // bytes of the text and blob cells
  std::size_t rows = 0;
  long position = 0;
  std::uint64_t connectionSerial = 0;
  std::uint64_t resultSerial = 0;  // CVdRecordset::GetResultSerial
  Mode mode = Mode::kNone;
  std::vector<PendingValue> pending;
  std::vector<char> dirty;
  // Rows this state wrote and has not read back yet. Most writers never read a row they have just written, so
  // reading it back (the database's defaults and conversions) waits for the first use.
  std::vector<std::size_t> unread;
  // New rows kept by CVdRecordset::QueueNew for one batched write (Connection::InsertRows), and edits of rows
  // kept by QueueEdit (Connection::UpdateRows): each one's pending values and dirty marks, as Update would
  // have written them, and for an edit the row it changes (one edit per row: a second one is merged into it).
  struct QueuedRow {
    std::vector<PendingValue> values;
    std::vector<char> dirty;
    std::size_t row = 0;
  };
  std::vector<QueuedRow> queued;
  std::vector<QueuedRow> edits;
  std::vector<std::size_t> editSlots;  // by row: 1 + the index of its edit in `edits`, 0 for none

  void MarkUnread(std::size_t row) {
    if (std::find(unread.begin(), unread.end(), row) == unread.end()) unread.push_back(row);
  }

  // Takes out row `row` after the engine deleted it from its table; the rows after it move up one.
  void EraseRow(std::size_t row) {
    cells.EraseRow(row);
    --rows;
    unread.erase(std::remove(unread.begin(), unread.end(), row), unread.end());
    for (std::size_t& entry : unread)
      if (entry > row) --entry;
  }

  // Empties the state and keeps its buffers (an engine empties its own part as well).
  void Reset() {
    columns.reset();
    cells.Reset(0);
    arena.clear();
    rows = 0;
    position = 0;
    connectionSerial = 0;
    resultSerial = 0;
    mode = Mode::kNone;
    pending.clear();
    dirty.clear();
    unread.clear();
    queued.clear();
    edits.clear();
    editSlots.clear();
  }
};

}  // namespace vdpattern::db
