#include <vdpattern/toolkit/VdRecordset.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vdpattern/toolkit/VariantConv.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include "db/Connection.h"
#include "db/DbError.h"
#include "db/RecordsetState.h"
#include "db/ValueConv.h"

using vdpattern::db::CellToText;
using vdpattern::db::CellToVariant;
using vdpattern::db::ColumnInfo;
using vdpattern::db::ColumnSet;
using vdpattern::db::Connection;
using vdpattern::db::CountStatements;
using vdpattern::db::kStateGeneral;
using vdpattern::db::kStateNoColumn;
using vdpattern::db::RecordsetState;
using vdpattern::db::ThrowDbError;

namespace {

RecordsetState& RequireOpen(RecordsetState* state) {
  if (!state) ThrowDbError(kStateGeneral, L"The record set is not open.");
  return *state;
}

Connection& LiveConnection(Connection* connection, const RecordsetState& state) {
  if (!connection || connection->serial() != state.connectionSerial)
    ThrowDbError(kStateGeneral, L"The database of the record set has been closed.");
  return *connection;
}

// Reads back the rows the record set wrote, before any of its cells is read.
void Settle(Connection* current, RecordsetState& state) {
  if (!state.unread.empty()) LiveConnection(current, state).ReadBack(state);
}

bool HasCurrentRow(const RecordsetState& state) {
  return state.position >= 0 && static_cast<std::size_t>(state.position) < state.rows;
}

void RequireCurrentRow(const RecordsetState& state) {
  if (!HasCurrentRow(state))
    ThrowDbError(kStateGeneral,
                 L"The record set has no current row (it is empty, or before its first or after "
                 L"its last row).");
}

std::size_t RequireColumn(const RecordsetState& state, long index) {
  const std::size_t count = state.columns->columns.size();
  if (index < 0 || static_cast<std::size_t>(index) >= count) {
    CString message;
    message.Format(L"The record set has no column at position %ld (it has %llu columns).", index,
                   static_cast<unsigned long long>(count));
    ThrowDbError(kStateNoColumn, message);
  }
  return static_cast<std::size_t>(index);
}

int RequireColumn(const RecordsetState& state, const wchar_t* name) {
  const int index = state.columns->Find(name);
  if (index < 0) {
    CString message;
    message.Format(L"The record set has no column named \"%s\".", name ? name : L"");
    ThrowDbError(kStateNoColumn, message);
  }
  return index;
}

std::uint64_t NextResultSerial() {
  static std::atomic<std::uint64_t> serial{0};
  return ++serial;
}

// The type a column reports: its declared type, or for a column without one, the type of its first value.
vdpattern::db::SqlTypeInfo ColumnType(Connection* current, RecordsetState& state, std::size_t index) {
  const ColumnInfo& column = state.columns->columns[index];
  if (column.type.kind != vdpattern::db::ValueKind::kFromValue) return column.type;
  Settle(current, state);
  for (std::size_t row = 0; row < state.rows; ++row) {
    const vdpattern::db::Cell& cell = state.cells.At(row, index);
    if (cell.kind != vdpattern::db::CellKind::kNull) return vdpattern::db::TypeFromValue(cell.kind);
  }
  return vdpattern::db::SqlTypeInfo{};
}

void SetText(CDBVariant& value, const CString& text) {
  value.Clear();
  value.m_pstringW = new CString(text);
  value.m_dwType = DBVT_WSTRING;
}

}  // namespace

CVdRecordset::CVdRecordset(CVdDatabase* database) : m_pDatabase(database) {}

// Not through the virtual Close: a derived class is already gone here.
CVdRecordset::~CVdRecordset() { ReleaseState(); }

Connection* CVdRecordset::CurrentConnection() const { return m_pDatabase ? m_pDatabase->CurrentConnection() : nullptr; }

// Hands the state's buffers back to the connection that filled them, if it is still open.
void CVdRecordset::ReleaseState() {
  if (!m_pState) return;
  std::unique_ptr<RecordsetState> state(m_pState);
  m_pState = nullptr;
  Connection* connection = CurrentConnection();
  if (connection && connection->serial() == state->connectionSerial) connection->ReturnState(std::move(state));
}

int CVdRecordset::Open(unsigned int, const wchar_t* text, unsigned long) {
  Close();
  Connection* connection = CurrentConnection();
  if (!connection) ThrowDbError(kStateGeneral, L"The record set cannot be opened: its database is not open.");
  CountStatements();
  std::unique_ptr<RecordsetState> state = connection->Query(text);
  state->connectionSerial = connection->serial();
  state->resultSerial = NextResultSerial();
  m_pState = state.release();
  return TRUE;
}

void CVdRecordset::Close() { ReleaseState(); }

BOOL CVdRecordset::IsOpen() const { return m_pState != nullptr; }

BOOL CVdRecordset::Requery() {
  RecordsetState& state = RequireOpen(m_pState);
  Connection& connection = LiveConnection(CurrentConnection(), state);
  state.mode = RecordsetState::Mode::kNone;
  state.edits.clear();  // their rows are read again
  state.editSlots.clear();
  CountStatements();
  connection.Requery(state);
  state.resultSerial = NextResultSerial();
  return TRUE;
}

unsigned long long CVdRecordset::GetResultSerial() const { return m_pState ? m_pState->resultSerial : 0; }

long CVdRecordset::GetRecordCount() const { return m_pState ? static_cast<long>(m_pState->rows) : 0; }

BOOL CVdRecordset::IsEOF() const {
  const RecordsetState& state = RequireOpen(m_pState);
  return state.rows == 0 || (state.position >= 0 && static_cast<std::size_t>(state.position) >= state.rows);
}

BOOL CVdRecordset::IsBOF() const {
  const RecordsetState& state = RequireOpen(m_pState);
  return state.rows == 0 || state.position < 0;
}

void CVdRecordset::MoveFirst() {
  RecordsetState& state = RequireOpen(m_pState);
  state.mode = RecordsetState::Mode::kNone;
  state.position = 0;
}

void CVdRecordset::MoveNext() {
  RecordsetState& state = RequireOpen(m_pState);
  if (state.position >= 0 && static_cast<std::size_t>(state.position) >= state.rows)
    ThrowDbError(kStateGeneral, L"MoveNext was called after the last row of the record set.");
  state.mode = RecordsetState::Mode::kNone;
  ++state.position;
}

void CVdRecordset::MovePrev() {
  RecordsetState& state = RequireOpen(m_pState);
  if (state.position < 0 || state.rows == 0)
    ThrowDbError(kStateGeneral, L"MovePrev was called before the first row of the record set.");
  state.mode = RecordsetState::Mode::kNone;
  --state.position;
}

void CVdRecordset::MoveLast() {
  RecordsetState& state = RequireOpen(m_pState);
  state.mode = RecordsetState::Mode::kNone;
  state.position = state.rows ? static_cast<long>(state.rows) - 1 : 0;
}

BOOL CVdRecordset::CanUpdate() const {
  if (!m_pState || !m_pState->columns->updatable) return FALSE;
  const Connection* connection = CurrentConnection();
  return connection && connection->serial() == m_pState->connectionSerial && !connection->readOnly();
}

namespace {

// The connection to write through, after checking that this result may be written at all.
Connection& RequireWritable(Connection* current, const RecordsetState& state) {
  Connection& connection = LiveConnection(current, state);
  if (connection.readOnly()) {
    if (!connection.readOnlyReason().IsEmpty()) ThrowDbError(kStateGeneral, connection.readOnlyReason());
    CString message;
    message.Format(L"The database \"%s\" is open read-only: its rows cannot be changed.", connection.name());
    ThrowDbError(kStateGeneral, message);
  }
  if (!state.columns->updatable && !state.columns->readOnlyReason.IsEmpty())
    ThrowDbError(kStateGeneral, state.columns->readOnlyReason);
  if (!state.columns->updatable)
    ThrowDbError(kStateGeneral,
                 L"The record set is read-only: only the result of a SELECT over the columns of "
                 L"one table, without computed columns, DISTINCT or GROUP BY, can be changed.");
  return connection;
}

// Runs `done` when the scope ends, whichever way it ends.
template <typename Done>
struct AtExit {
  Done done;
  ~AtExit() { done(); }
};
template <typename Done>
AtExit(Done) -> AtExit<Done>;

void BeginEdit(RecordsetState& state, RecordsetState::Mode mode) {
  const std::size_t count = state.columns->columns.size();
  state.pending.assign(count, vdpattern::db::PendingValue());
  state.dirty.assign(count, 0);
  state.mode = mode;
}

RecordsetState& RequireEditing(RecordsetState* state) {
  RecordsetState& s = RequireOpen(state);
  if (s.mode == RecordsetState::Mode::kNone)
    ThrowDbError(kStateGeneral, L"A value can only be set after Edit or AddNew.");
  return s;
}

}  // namespace

void CVdRecordset::Edit() {
  RecordsetState& state = RequireOpen(m_pState);
  RequireCurrentRow(state);
  RequireWritable(CurrentConnection(), state);
  BeginEdit(state, RecordsetState::Mode::kEdit);
}

void CVdRecordset::AddNew() {
  RecordsetState& state = RequireOpen(m_pState);
  RequireWritable(CurrentConnection(), state);
  BeginEdit(state, RecordsetState::Mode::kAdd);
}

BOOL CVdRecordset::Update() {
  RecordsetState& state = RequireOpen(m_pState);
  if (state.mode == RecordsetState::Mode::kNone)
    ThrowDbError(kStateGeneral, L"Update was called without Edit or AddNew.");
  Connection& connection = RequireWritable(CurrentConnection(), state);
  BOOL changed = TRUE;
  if (state.mode == RecordsetState::Mode::kEdit) {
    RequireCurrentRow(state);
    const auto row = static_cast<std::size_t>(state.position);
    if (row < state.editSlots.size() && state.editSlots[row])  // it would be written before the queued edit
      ThrowDbError(kStateGeneral, L"Update was called on a row with a queued edit: WriteQueuedEdits writes it first.");
    changed = std::find(state.dirty.begin(), state.dirty.end(), 1) != state.dirty.end() ? TRUE : FALSE;
    if (changed) {
      CountStatements();
      connection.UpdateRow(state);
    }
  } else {
    CountStatements();
    connection.InsertRow(state);
  }
  state.mode = RecordsetState::Mode::kNone;
  state.resultSerial = NextResultSerial();  // a column typed by its first value may read differently now
  return changed;
}

void CVdRecordset::QueueNew() {
  RecordsetState& state = RequireOpen(m_pState);
  if (state.mode != RecordsetState::Mode::kAdd) ThrowDbError(kStateGeneral, L"QueueNew was called without AddNew.");
  RequireWritable(CurrentConnection(), state);
  state.queued.push_back({std::move(state.pending), std::move(state.dirty)});
  state.pending.clear();
  state.dirty.clear();
  state.mode = RecordsetState::Mode::kNone;
}

std::size_t CVdRecordset::GetQueuedCount() const { return m_pState ? m_pState->queued.size() : 0; }

void CVdRecordset::WriteQueued() {
  RecordsetState& state = RequireOpen(m_pState);
  if (state.queued.empty()) return;
  Connection& connection = RequireWritable(CurrentConnection(), state);
  // Written or not, the rows leave the queue: a failure undone by the caller's savepoint must not write them again.
  const AtExit emptied{[&] { state.queued.clear(); }};
  CountStatements(connection.InsertRows(state, nullptr));
}

bool CVdRecordset::WriteQueuedKeepingRows() {
  RecordsetState& state = RequireOpen(m_pState);
  if (state.queued.empty()) return true;
  Connection& connection = RequireWritable(CurrentConnection(), state);
  const AtExit emptied{[&] { state.queued.clear(); }};
  bool kept = false;
  const std::size_t before = state.rows;
  try {
    CountStatements(connection.InsertRows(state, &kept));
  } catch (...) {
    if (kept) {  // rows of the statements before the failure: their group is undone, so they are not shown
      state.cells.Truncate(before);
      state.rows = before;
    }
    throw;
  }
  if (kept) state.resultSerial = NextResultSerial();
  return kept;
}

void CVdRecordset::QueueEdit() {
  RecordsetState& state = RequireOpen(m_pState);
  if (state.mode != RecordsetState::Mode::kEdit) ThrowDbError(kStateGeneral, L"QueueEdit was called without Edit.");
  RequireCurrentRow(state);
  RequireWritable(CurrentConnection(), state);
  const auto row = static_cast<std::size_t>(state.position);
  state.mode = RecordsetState::Mode::kNone;
  if (std::find(state.dirty.begin(), state.dirty.end(), 1) == state.dirty.end()) return;  // nothing set
  if (state.editSlots.size() <= row) state.editSlots.resize(state.rows, 0);
  std::size_t& slot = state.editSlots[row];
  if (!slot) {
    state.edits.push_back({std::move(state.pending), std::move(state.dirty), row});
    slot = state.edits.size();
    return;
  }
  // A second edit of the row: its values win where it set them, as a second Update would.
  RecordsetState::QueuedRow& edit = state.edits[slot - 1];
  for (std::size_t k = 0; k < state.dirty.size(); ++k)
    if (state.dirty[k]) {
      edit.values[k] = std::move(state.pending[k]);
      edit.dirty[k] = 1;
    }
}

std::size_t CVdRecordset::GetQueuedEditCount() const { return m_pState ? m_pState->edits.size() : 0; }

void CVdRecordset::WriteQueuedEdits() {
  RecordsetState& state = RequireOpen(m_pState);
  if (state.edits.empty()) return;
  Connection& connection = RequireWritable(CurrentConnection(), state);
  const AtExit emptied{[&] {
    state.edits.clear();
    state.editSlots.clear();
  }};
  CountStatements(connection.UpdateRows(state));
  state.resultSerial = NextResultSerial();
}

void CVdRecordset::CancelUpdate() {
  if (m_pState) m_pState->mode = RecordsetState::Mode::kNone;
}

void CVdRecordset::Delete() {
  RecordsetState& state = RequireOpen(m_pState);
  RequireCurrentRow(state);
  if (!state.edits.empty())  // they name their rows by position, which a deletion moves
    ThrowDbError(kStateGeneral, L"Delete was called with edits queued: WriteQueuedEdits writes them first.");
  Connection& connection = RequireWritable(CurrentConnection(), state);
  state.mode = RecordsetState::Mode::kNone;
  CountStatements();
  connection.DeleteRow(state);
  state.EraseRow(static_cast<std::size_t>(state.position));
  state.resultSerial = NextResultSerial();
}

void CVdRecordset::GetFieldValue(const wchar_t* name, CDBVariant& value, short type) {
  const RecordsetState& state = RequireOpen(m_pState);
  GetFieldValue(static_cast<short>(RequireColumn(state, name)), value, type);
}

void CVdRecordset::GetFieldValue(short index, CDBVariant& value, short type) {
  // The path a row reader takes for every column: checks and conversion without a call when they succeed.
  if (const RecordsetState* open = m_pState; open && type == 0) {
    const ColumnSet& columns = *open->columns;
    if (index >= 0 && static_cast<std::size_t>(index) < columns.kinds.size() && HasCurrentRow(*open) &&
        open->unread.empty()) {
      CellToVariant(open->cells.At(static_cast<std::size_t>(open->position), static_cast<std::size_t>(index)),
                    open->arena.data(), columns.kinds[static_cast<std::size_t>(index)], value);
      return;
    }
  }
  RecordsetState& state = RequireOpen(m_pState);
  const std::size_t column = RequireColumn(state, index);
  RequireCurrentRow(state);
  Settle(CurrentConnection(), state);
  const ColumnSet& columns = *state.columns;
  const vdpattern::db::Cell& cell = state.cells.At(static_cast<std::size_t>(state.position), column);
  const vdpattern::db::ValueKind kind = columns.columns[column].type.kind;
  if (type == 0 || type == SQL_C_DEFAULT || cell.kind == vdpattern::db::CellKind::kNull) {
    CellToVariant(cell, state.arena.data(), kind, value);
    return;
  }
  switch (type) {
    case SQL_C_CHAR:
    case SQL_C_WCHAR:
      SetText(value, CellToText(cell, state.arena.data(), kind));
      return;
    case SQL_C_DOUBLE:
    case SQL_C_LONG:
    case SQL_C_SLONG: {
      CDBVariant own;
      CellToVariant(cell, state.arena.data(), kind, own);
      const COleVariant ole = getOLEVariant(own);
      value.Clear();
      if (type == SQL_C_DOUBLE) {
        value.m_dwType = DBVT_DOUBLE;
        value.m_dblVal = VariantToDouble(&ole);
      } else {
        value.m_dwType = DBVT_LONG;
        value.m_lVal = static_cast<LONG>(VariantToLong(&ole));
      }
      return;
    }
    default:
      CellToVariant(cell, state.arena.data(), kind, value);
      return;
  }
}

namespace {

// Marks a column's new pending value to be written once its column can hold it; a refused value leaves the
// column unset, so no earlier value of it is written in its place either.
void CheckPending(RecordsetState& state, std::size_t column) {
  try {
    vdpattern::db::CheckFits(state.columns->columns[column], state.pending[column]);
  } catch (CDBException*) {
    state.pending[column] = vdpattern::db::PendingValue();
    state.dirty[column] = 0;
    throw;
  }
  state.dirty[column] = 1;
}

}  // namespace

void CVdRecordset::SetFieldValue(const wchar_t* name, const wchar_t* value) {
  RecordsetState& state = RequireEditing(m_pState);
  const auto index = static_cast<std::size_t>(RequireColumn(state, name));
  vdpattern::db::PendingValue& pending = state.pending[index];
  vdpattern::db::TextToPending(value, pending);
  CheckPending(state, index);
}

void CVdRecordset::SetFieldValue(const wchar_t* name, const COleVariant& value) {
  RecordsetState& state = RequireEditing(m_pState);
  SetFieldValue(RequireColumn(state, name), value);
}

void CVdRecordset::SetFieldValue(int index, const COleVariant& value) {
  RecordsetState& state = RequireEditing(m_pState);
  const std::size_t column = RequireColumn(state, index);
  vdpattern::db::PendingValue& pending = state.pending[column];
  vdpattern::db::VariantToPending(value, pending);
  CheckPending(state, column);
}

short CVdRecordset::GetODBCFieldCount() const {
  return m_pState ? static_cast<short>(m_pState->columns->columns.size()) : 0;
}

void CVdRecordset::GetODBCFieldInfo(short index, CODBCFieldInfo& info) const {
  const RecordsetState& state = RequireOpen(m_pState);
  const std::size_t column = RequireColumn(state, index);
  const ColumnInfo& c = state.columns->columns[column];
  const vdpattern::db::SqlTypeInfo type = ColumnType(CurrentConnection(), *m_pState, column);
  info.m_strName = c.name;
  info.m_nSQLType = type.sqlType;
  info.m_nPrecision = type.precision;
  info.m_nScale = type.scale;
  info.m_nNullability = c.nullability;
}

void CVdRecordset::GetODBCFieldInfo(const wchar_t* name, CODBCFieldInfo& info) const {
  const RecordsetState& state = RequireOpen(m_pState);
  GetODBCFieldInfo(static_cast<short>(RequireColumn(state, name)), info);
}

void CVdRecordset::GetFieldInfoEx(int index, CODBCFieldInfoEx& info, unsigned long) const {
  const RecordsetState& state = RequireOpen(m_pState);
  const std::size_t column = RequireColumn(state, index);
  const ColumnInfo& c = state.columns->columns[column];
  const vdpattern::db::SqlTypeInfo type = ColumnType(CurrentConnection(), *m_pState, column);
  info.m_strTableName = c.table;
  info.m_strName = c.name;
  info.m_strBaseColumnName = c.baseColumn;
  info.m_strTypeName = c.declaredType;
  info.m_nSQLType = type.sqlType;
  info.m_nPrecision = type.precision;
  info.m_nScale = type.scale;
  info.m_nNullability = c.nullability;
  info.m_bPrimaryKey = c.primaryKey ? TRUE : FALSE;
}

COleVariant CVdRecordset::getOLEVariant(const CDBVariant& value) {
  COleVariant ole;
  switch (value.m_dwType) {
    case DBVT_BOOL:
      ole.vt = VT_BOOL;
      ole.boolVal = value.m_boolVal ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case DBVT_UCHAR:
      ole.vt = VT_UI1;
      ole.bVal = value.m_chVal;
      break;
    case DBVT_SHORT:
      ole.vt = VT_I2;
      ole.iVal = value.m_iVal;
      break;
    case DBVT_LONG:
      ole.vt = VT_I4;
      ole.lVal = value.m_lVal;
      break;
    case DBVT_SINGLE:
      ole.vt = VT_R4;
      ole.fltVal = value.m_fltVal;
      break;
    case DBVT_DOUBLE:
      ole.vt = VT_R8;
      ole.dblVal = value.m_dblVal;
      break;
    case DBVT_DATE: {
      DATE date;
      const TIMESTAMP_STRUCT* ts = value.m_pdate;
      if (ts &&
          VdDateFromParts(ts->year, ts->month, ts->day, ts->hour, ts->minute, ts->second + ts->fraction / 1e9, date)) {
        ole.vt = VT_DATE;
        ole.date = date;
      } else {
        ole.vt = VT_NULL;
      }
      break;
    }
    case DBVT_STRING:
    case DBVT_ASTRING:
    case DBVT_WSTRING:
      ole = value.m_pstring ? COleVariant(*value.m_pstring) : COleVariant(L"");
      break;
    case DBVT_BINARY:
      if (value.m_pbinary)
        PutBinaryIntoVariant(&ole, value.m_pbinary->m_data.data(),
                             static_cast<unsigned long>(value.m_pbinary->m_data.size()));
      else
        PutBinaryIntoVariant(&ole, nullptr, 0);
      break;
    default:
      ole.vt = VT_NULL;
      break;
  }
  return ole;
}
