#pragma once
// What an open CVdRecordset holds: the statement it ran (to run it again on Requery), the description of its
// columns (shared with the prepared statement that produced it), its rows as flat cells with their text and
// byte values in one arena, its position and its pending edit. Connections keep a few spare states and hand
// them out again, so opening a record set reuses their buffers instead of allocating new ones.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include "toolkit/db/Cell.h"
#include "toolkit/db/sqlite/SqlDialect.h"

namespace vdpattern::db {

struct ColumnSet;

struct RecordsetState {
  enum class Mode { kNone, kEdit, kAdd };

  StatementText text;
  std::shared_ptr<const ColumnSet> columns;
  CellStore cells;    // the rows; an editable result stores the row id in a row's last cell
  std::string arena;  // bytes of the text and blob cells
  std::size_t rows = 0;
  long position = 0;
  std::uint64_t connectionSerial = 0;
  std::uint64_t resultSerial = 0;  // CVdRecordset::GetResultSerial
  Mode mode = Mode::kNone;
  std::vector<PendingValue> pending;
  std::vector<char> dirty;
  // Rows this state wrote and has not read back yet, with their row ids. Most writers never read a row they
  // have just written, so reading it back (the file's defaults and conversions) waits for the first use.
  std::vector<std::pair<std::size_t, std::int64_t>> unread;

  // Empties the state and keeps its buffers.
  void Reset() {
    text.Clear();
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
  }
};

}  // namespace vdpattern::db
