#include "db/sqlite/SqliteConnection.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include "db/DbError.h"
#include "db/Utf8Fast.h"

namespace vdpattern::db {

namespace {

// The names the engine gives a table's row id. A real column may take one of them, and then shadows it under that
// name only: an editable result reads the row id by the first name left free.
constexpr const char* kRowIdNames[] = {"_rowid_", "rowid", "oid"};

void AppendNumber(std::string& out, std::size_t n) { out += std::to_string(n); }

CString Wide(const char* utf8) {
  CString s;
  if (utf8) AssignFromUtf8(s.str(), utf8, std::strlen(utf8));
  return s;
}

bool EqualsNoCase(const char* a, const char* b) { return a && b && sqlite3_stricmp(a, b) == 0; }

void DescribeColumn(sqlite3* db, sqlite3_stmt* stmt, int index, ColumnInfo& info) {
  info.name = Wide(sqlite3_column_name(stmt, index));
  const char* declared = sqlite3_column_decltype(stmt, index);
  info.declaredType = Wide(declared);
  info.type = MapDeclaredType(declared ? declared : "");
  const char* table = sqlite3_column_table_name(stmt, index);
  const char* origin = sqlite3_column_origin_name(stmt, index);
  const char* database = sqlite3_column_database_name(stmt, index);
  if (!table || !origin) return;
  info.table = Wide(table);
  info.baseColumn = Wide(origin);
  info.baseColumnUtf8 = origin;
  int notNull = 0, primaryKey = 0, autoIncrement = 0;
  if (sqlite3_table_column_metadata(db, database, table, origin, nullptr, nullptr, &notNull, &primaryKey,
                                    &autoIncrement) == SQLITE_OK) {
    info.nullability = notNull ? SQL_NO_NULLS : SQL_NULLABLE;
    info.primaryKey = primaryKey != 0;
  }
}

std::shared_ptr<const SqliteColumnSet> Describe(sqlite3* db, sqlite3_stmt* stmt) {
  auto set = std::make_shared<SqliteColumnSet>();
  const int count = sqlite3_column_count(stmt);
  set->columns.resize(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) DescribeColumn(db, stmt, k, set->columns[static_cast<std::size_t>(k)]);
  for (const ColumnInfo& column : set->columns) set->kinds.push_back(column.type.kind);
  set->stride = static_cast<std::size_t>(count);
  return set;
}

// The description of a SELECT prepared with the row id added as its last column under the name `rowId`, or null
// when the result is not made of the columns of one table of the main database plus that table's real row id;
// `shadowed` then tells whether a real column of that name was read instead (another name may do).
std::shared_ptr<const SqliteColumnSet> DescribeEditable(sqlite3* db, sqlite3_stmt* stmt, const char* rowId,
                                                        bool& shadowed) {
  shadowed = false;
  const int count = sqlite3_column_count(stmt);
  if (count < 2) return nullptr;
  const int hidden = count - 1;
  const char* table = sqlite3_column_table_name(stmt, hidden);
  const char* origin = sqlite3_column_origin_name(stmt, hidden);
  if (!table || !origin || !EqualsNoCase(sqlite3_column_database_name(stmt, hidden), "main")) return nullptr;
  for (int k = 0; k < hidden; ++k) {
    if (!EqualsNoCase(sqlite3_column_table_name(stmt, k), table) || !sqlite3_column_origin_name(stmt, k) ||
        !EqualsNoCase(sqlite3_column_database_name(stmt, k), "main"))
      return nullptr;
  }
  // A real column named like the row id shadows it: only an INTEGER PRIMARY KEY (the row id itself) or the
  // implicit row id will do, which the engine describes so under any of the row id's names.
  const char* declared = nullptr;
  int primaryKey = 0;
  if (sqlite3_table_column_metadata(db, "main", table, rowId, &declared, nullptr, nullptr, &primaryKey, nullptr) !=
          SQLITE_OK ||
      !primaryKey || !EqualsNoCase(declared, "INTEGER")) {
    shadowed = true;
    return nullptr;
  }

  auto set = std::make_shared<SqliteColumnSet>();
  set->columns.resize(static_cast<std::size_t>(hidden));
  for (int k = 0; k < hidden; ++k) DescribeColumn(db, stmt, k, set->columns[static_cast<std::size_t>(k)]);
  for (const ColumnInfo& column : set->columns) set->kinds.push_back(column.type.kind);
  set->updatable = true;
  set->table = table;
  set->rowId = rowId;
  set->stride = static_cast<std::size_t>(count);
  std::string& reread = set->rereadSql;
  reread = "SELECT ";
  for (const ColumnInfo& column : set->columns) {
    AppendQuotedName(reread, column.baseColumnUtf8);
    reread += ',';
  }
  reread += rowId;
  reread += " FROM \"main\".";
  AppendQuotedName(reread, set->table);
  reread += " WHERE ";
  reread += rowId;
  reread += "=?1";
  return set;
}

bool OnlyBlanks(const char* p) {
  while (p && *p) {
    if (*p != ' ' && *p != ';' && *p != '\t' && *p != '\n' && *p != '\r') return false;
    ++p;
  }
  return true;
}

// Copies the current row of `stmt` into `cells`, `stride` of them. Each value is read once
// through sqlite3_column_value: the connection is used by one thread at a time, so the unprotected value may
// be read directly, which saves the per-call checks of the sqlite3_column_* functions.
void ReadRow(sqlite3_stmt* stmt, RecordsetState& state, Cell* cells, std::size_t stride) {
  const int available = sqlite3_column_count(stmt);
  for (std::size_t k = 0; k < stride; ++k) {
    Cell& cell = cells[k];
    const int column = static_cast<int>(k);
    if (column >= available) {
      cell = Cell();
      continue;
    }
    sqlite3_value* value = sqlite3_column_value(stmt, column);
    switch (sqlite3_value_type(value)) {
      case SQLITE_INTEGER:
        cell.kind = CellKind::kInteger;
        cell.i = sqlite3_value_int64(value);
        break;
      case SQLITE_FLOAT:
        cell.kind = CellKind::kReal;
        cell.d = sqlite3_value_double(value);
        break;
      case SQLITE_TEXT:
      case SQLITE_BLOB: {
        const bool text = sqlite3_value_type(value) == SQLITE_TEXT;
        const void* bytes = text ? static_cast<const void*>(sqlite3_value_text(value)) : sqlite3_value_blob(value);
        const std::size_t length = static_cast<std::size_t>(sqlite3_value_bytes(value));
        if (state.arena.size() + length > std::numeric_limits<std::uint32_t>::max())
          ThrowDbError(kStateGeneral, L"The result is too large to be held in memory (over 4 GB of text).");
        cell.kind = text ? CellKind::kText : CellKind::kBlob;
        cell.bytes.offset = static_cast<std::uint32_t>(state.arena.size());
        cell.bytes.length = static_cast<std::uint32_t>(length);
        if (length) state.arena.append(static_cast<const char*>(bytes), length);
        break;
      }
      default:
        cell = Cell();
        break;
    }
  }
}

void Bind(SqliteConnection& c, sqlite3_stmt* stmt, int index, const PendingValue& value, const std::string& sql) {
  int rc;
  switch (value.kind) {
    case CellKind::kInteger:
      rc = sqlite3_bind_int64(stmt, index, value.i);
      break;
    case CellKind::kReal:
      rc = sqlite3_bind_double(stmt, index, value.d);
      break;
    case CellKind::kText:
      rc = sqlite3_bind_text(stmt, index, value.bytes.data(), static_cast<int>(value.bytes.size()), SQLITE_STATIC);
      break;
    case CellKind::kBlob:
      rc = sqlite3_bind_blob(stmt, index, value.bytes.data(), static_cast<int>(value.bytes.size()), SQLITE_STATIC);
      break;
    default:
      rc = sqlite3_bind_null(stmt, index);
      break;
  }
  if (rc != SQLITE_OK) c.Fail(rc, sql);
}

// Runs a generated write statement whose parameters are bound; returns the number of rows it changed.
int RunWrite(SqliteConnection& c, sqlite3_stmt* stmt, const std::string& sql) {
  StatementReset reset(stmt);
  c.StartClock();
  const int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) c.Fail(rc, sql);
  return sqlite3_changes(c.handle());
}

// The description of a state's result, made by this engine (Describe).
const SqliteColumnSet& Columns(const RecordsetState& state) {
  return static_cast<const SqliteColumnSet&>(*state.columns);
}

// The row id of a row of an editable result: its last cell.
std::int64_t RowId(const RecordsetState& state, std::size_t row) {
  return state.cells.At(row, state.columns->stride - 1).i;
}

// Reads row `row` of the state's table again by its row id, so the state shows what the file now holds.
void Reread(SqliteConnection& c, RecordsetState& state, std::size_t row) {
  const SqliteColumnSet& columns = Columns(state);
  sqlite3_stmt* stmt = c.Internal(columns.rereadSql);
  StatementReset reset(stmt);
  sqlite3_bind_int64(stmt, 1, RowId(state, row));
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW)
    ReadRow(stmt, state, state.cells.Row(row), columns.stride);
  else if (rc != SQLITE_DONE)
    c.Fail(rc, columns.rereadSql);
}

std::string TableRef(const ColumnSet& columns) {
  std::string ref = "\"main\".";
  AppendQuotedName(ref, columns.table);
  return ref;
}

[[noreturn]] void RowGone(const ColumnSet& columns) {
  CString message;
  message.Format(L"The current row no longer exists in the table \"%s\": another connection deleted it.",
                 VdFromUtf8(columns.table));
  ThrowDbError(kStateGeneral, message);
}

}  // namespace

namespace {

bool IsNameChar(unsigned char ch) {
  return ch >= 0x80 || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
         ch == '$';
}

// The text that is prepared for a translated statement, and the positions the translation noted in it.
struct PreparedText {
  std::string sql;
  std::size_t fromPos, distinctPos, tailPos;
  std::vector<std::uint32_t> nested;  // StatementText::nestedDistinct
};

// Takes out the COLLATE NOCASE that the translation put after a column holding numbers (the engine could not
// use a plain index of that column through it, and numbers have no case). Every COLLATE of a folded text is
// one the translation added, right after the operand it applies to.
void UnfoldNumericColumns(SqliteConnection& c, PreparedText& t) {
  static constexpr char kFold[] = "COLLATE NOCASE";
  static constexpr std::size_t kFoldLength = sizeof kFold - 1;
  std::string& sql = t.sql;
  for (std::size_t k = 0; k < sql.size();) {
    const char ch = sql[k];
    if (ch == '\'' || ch == '"' || ch == '`' || ch == '[') {
      const char close = ch == '[' ? ']' : ch;
      std::size_t end = sql.find(close, k + 1);
      while (end != std::string::npos && close != ']' && end + 1 < sql.size() && sql[end + 1] == close)
        end = sql.find(close, end + 2);
      k = end == std::string::npos ? sql.size() : end + 1;
      continue;
    }
    if (!IsNameChar(static_cast<unsigned char>(ch))) {
      ++k;
      continue;
    }
    const std::size_t word = k;
    while (k < sql.size() && IsNameChar(static_cast<unsigned char>(sql[k]))) ++k;
    if (sql.compare(word, kFoldLength, kFold) != 0 || word == 0) continue;
    // The operand before: a name, bare or quoted.
    std::size_t end = word;
    if (end > 0 && sql[end - 1] == ' ') --end;
    std::size_t begin = end;
    std::string_view name;
    if (end > 0 && (sql[end - 1] == ']' || sql[end - 1] == '"' || sql[end - 1] == '`')) {
      const char close = sql[end - 1];
      const std::size_t open = sql.rfind(close == ']' ? '[' : close, end - 2 < end ? end - 2 : 0);
      if (open != std::string::npos && open + 1 < end) name = std::string_view(sql).substr(open + 1, end - open - 2);
    } else {
      while (begin > 0 && IsNameChar(static_cast<unsigned char>(sql[begin - 1]))) --begin;
      const unsigned char first = begin < end ? static_cast<unsigned char>(sql[begin]) : '0';
      const bool parameter = begin > 0 && (sql[begin - 1] == '?' || sql[begin - 1] == ':' || sql[begin - 1] == '@');
      if (!(first >= '0' && first <= '9') && !parameter) name = std::string_view(sql).substr(begin, end - begin);
    }
    if (name.empty() || !c.IsNumericColumn(name)) continue;
    // Remove "COLLATE NOCASE" and the blank before it.
    const std::size_t from = end, count = word + kFoldLength - end;
    sql.erase(from, count);
    for (std::size_t* pos : {&t.fromPos, &t.distinctPos, &t.tailPos})
      if (*pos != std::string::npos && *pos > from) *pos -= count;
    for (std::uint32_t& pos : t.nested)
      if (pos > from) pos -= static_cast<std::uint32_t>(count);
    k = from;
  }
}

// A top-level SELECT DISTINCT as a SELECT grouped by every result column ignoring case, which is how DISTINCT
// ignores case whatever the columns declare; empty when the engine does not take it (an aggregate among the
// results, say), and the statement then runs as written.
std::string DistinctAsGroups(sqlite3* db, const PreparedText& t) {
  static constexpr std::size_t kSelect = 7;  // "SELECT "
  if (t.distinctPos < kSelect || t.tailPos > t.sql.size()) return std::string();
  // The statement itself (after an EXPLAIN) tells the number of result columns.
  const std::size_t start = t.distinctPos - kSelect;
  sqlite3_stmt* probe = nullptr;
  int columns = 0;
  if (sqlite3_prepare_v2(db, t.sql.c_str() + start, static_cast<int>(t.sql.size() - start), &probe, nullptr) ==
          SQLITE_OK &&
      probe)
    columns = sqlite3_column_count(probe);
  sqlite3_finalize(probe);
  if (columns <= 0) return std::string();
  std::size_t after = t.distinctPos + 8;  // "DISTINCT"
  if (after < t.sql.size() && t.sql[after] == ' ') ++after;
  if (after > t.tailPos) return std::string();
  std::string grouped = t.sql.substr(0, t.distinctPos);
  grouped.append(t.sql, after, t.tailPos - after);
  if (!grouped.empty() && grouped.back() != ' ') grouped += ' ';
  grouped += "GROUP BY ";
  for (int k = 1; k <= columns; ++k) {
    if (k > 1) grouped += ", ";
    AppendNumber(grouped, static_cast<std::size_t>(k));
    grouped += " COLLATE NOCASE";
  }
  if (t.tailPos < t.sql.size()) {
    grouped += ' ';
    grouped.append(t.sql, t.tailPos, std::string::npos);
  }
  return grouped;
}

// Every nested SELECT DISTINCT as a SELECT grouped ignoring case, as DistinctAsGroups does at the top level.
// The innermost (the last) goes first, so an outer one's column count is read from its rewritten text; one the
// engine cannot prepare on its own (a correlated subquery, say) stays as written.
void NestedDistinctAsGroups(sqlite3* db, PreparedText& t) {
  for (std::size_t k = t.nested.size(); k >= 2; k -= 2) {
    PreparedText inner{std::string(), 0, t.nested[k - 2], t.nested[k - 1], {}};
    if (inner.distinctPos < 7 || inner.tailPos > t.sql.size()) continue;
    const std::size_t start = inner.distinctPos - 7, end = inner.tailPos;
    inner.sql.assign(t.sql, start, end - start);
    inner.distinctPos -= start;
    inner.tailPos = inner.sql.size();
    std::string grouped = DistinctAsGroups(db, inner);
    sqlite3_stmt* probe = nullptr;
    const bool takes =
        !grouped.empty() &&
        sqlite3_prepare_v2(db, grouped.c_str(), static_cast<int>(grouped.size()), &probe, nullptr) == SQLITE_OK &&
        probe;
    sqlite3_finalize(probe);
    if (!takes) continue;
    if (end < t.sql.size() && t.sql[end] != ' ' && t.sql[end] != ')') grouped += ' ';  // before its ORDER BY
    t.sql.replace(start, end - start, grouped);
    // Positions after the rewritten part move by the change of its length; those before it stay.
    const auto shift = [&](auto& pos) {
      if (pos != static_cast<std::remove_reference_t<decltype(pos)>>(std::string::npos) && pos >= end)
        pos = static_cast<std::remove_reference_t<decltype(pos)>>(pos + grouped.size() - (end - start));
    };
    for (std::size_t* pos : {&t.fromPos, &t.distinctPos, &t.tailPos}) shift(*pos);
    for (std::size_t j = 0; j + 2 < k; ++j) shift(t.nested[j]);
  }
}

CachedStatement PrepareQuery(SqliteConnection& c, const StatementText& text) {
  sqlite3* db = c.handle();
  const unsigned flags = text.cacheable ? SQLITE_PREPARE_PERSISTENT : 0;
  CachedStatement entry;
  PreparedText t{text.sql, text.fromPos, text.distinctPos, text.tailPos, text.nestedDistinct};
  if (text.folded) UnfoldNumericColumns(c, t);
  if (!t.nested.empty()) NestedDistinctAsGroups(db, t);
  if (t.distinctPos != std::string::npos) {
    const std::string grouped = DistinctAsGroups(db, t);
    sqlite3_stmt* stmt = nullptr;
    if (!grouped.empty() &&
        sqlite3_prepare_v3(db, grouped.c_str(), static_cast<int>(grouped.size()), flags, &stmt, nullptr) == SQLITE_OK &&
        stmt) {
      entry.stmt = stmt;
      entry.columns = Describe(db, stmt);
      return entry;
    }
    sqlite3_finalize(stmt);
  }
  if (text.singleTableSelect) {
    for (const char* rowId : kRowIdNames) {
      std::string withRowId = t.sql;
      withRowId.insert(t.fromPos, std::string(", ") + rowId + " ");
      sqlite3_stmt* stmt = nullptr;
      bool shadowed = false;
      if (sqlite3_prepare_v3(db, withRowId.c_str(), static_cast<int>(withRowId.size()), flags, &stmt, nullptr) ==
              SQLITE_OK &&
          stmt) {
        entry.columns = DescribeEditable(db, stmt, rowId, shadowed);
        if (entry.columns) {
          entry.stmt = stmt;
          return entry;
        }
      }
      sqlite3_finalize(stmt);
      if (!shadowed) break;
    }
  }
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v3(db, t.sql.c_str(), static_cast<int>(t.sql.size()), flags, &stmt, &tail);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    c.Fail(rc, t.sql);
  }
  if (!stmt) ThrowDbError(kStateSyntax, L"The SQL text holds no statement.");
  if (!OnlyBlanks(tail)) {
    sqlite3_finalize(stmt);
    ThrowDbError(kStateSyntax, L"The text holds more than one SQL statement; only one statement can be run at a time.");
  }
  entry.stmt = stmt;
  entry.columns = Describe(db, stmt);
  return entry;
}

}  // namespace

namespace {

// BEGIN and COMMIT run around every catalog search; kept prepared by the connection, they are not parsed anew
// each time. They give no rows and take no parameters, and fail the same way on either path.
bool IsTransactionControl(const StatementText& text) {
  if (text.cacheable || !text.literalEnds.empty()) return false;
  for (const char* word : {"BEGIN", "COMMIT", "ROLLBACK", "END"})
    if (text.sql == word) return true;
  return false;
}

}  // namespace

void SqliteConnection::Execute(const wchar_t* text) {
  std::unique_ptr<SqliteRecordsetState> state = TakeState();
  TranslateStatement(text, state->text, m_shapes);
  if (IsTransactionControl(state->text)) {
    if (m_transactionLost && state->text.sql == "ROLLBACK") {
      Rollback();
    } else {
      Exec(state->text.sql);
      m_transactionOpen = InTransaction();  // a host's own BEGIN or COMMIT
    }
  } else
    Run(*state);
  ReturnState(std::move(state));
}

std::unique_ptr<RecordsetState> SqliteConnection::Query(const wchar_t* text) {
  std::unique_ptr<SqliteRecordsetState> state = TakeState();
  TranslateStatement(text, state->text, m_shapes);
  Run(*state);
  return state;
}

// Only states of this connection come here (Connection.h).
void SqliteConnection::Requery(RecordsetState& state) { Run(static_cast<SqliteRecordsetState&>(state)); }

void SqliteConnection::Run(SqliteRecordsetState& state) {
  const StatementText& text = state.text;
  for (int attempt = 0;; ++attempt) {
    CachedStatement oneShot;
    struct Finalizer {
      sqlite3_stmt*& stmt;
      ~Finalizer() {
        if (stmt) sqlite3_finalize(stmt);
      }
    } finalizer{oneShot.stmt};

    CachedStatement* entry = nullptr;
    if (text.cacheable) {
      entry = Find(text.sql);
      if (!entry) entry = &Insert(text.sql, PrepareQuery(*this, text));
    } else {
      oneShot = PrepareQuery(*this, text);
      entry = &oneShot;
    }
    sqlite3_stmt* stmt = entry->stmt;
    StatementReset reset(stmt);

    std::uint32_t start = 0;
    for (std::size_t k = 0; k < text.literalEnds.size(); ++k) {
      const std::uint32_t end = text.literalEnds[k];
      const int rc = sqlite3_bind_text(stmt, static_cast<int>(k + 1), text.literals.data() + start,
                                       static_cast<int>(end - start), SQLITE_STATIC);
      if (rc != SQLITE_OK) Fail(rc, text.sql);
      start = end;
    }

    state.columns = entry->columns;
    const std::size_t stride = state.columns->stride;
    state.cells.Reset(stride);
    state.arena.clear();
    state.unread.clear();
    state.rows = 0;
    state.position = 0;

    StartClock();
    int rc = sqlite3_step(stmt);
    // The schema changed since the statement was described: describe it anew. Only a read is run again; a
    // write has done its work in that first step, and running it twice would write twice.
    if (attempt == 0 && entry != &oneShot && sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 1) > 0 &&
        sqlite3_stmt_readonly(stmt)) {
      reset.Dismiss();
      sqlite3_reset(stmt);
      Evict(text.sql);
      continue;
    }
    while (rc == SQLITE_ROW) {
      ReadRow(stmt, state, state.cells.AppendRow(), stride);
      ++state.rows;
      rc = sqlite3_step(stmt);
    }
    if (rc != SQLITE_DONE) {
      state.cells.Reset(stride);
      state.rows = 0;
      Fail(rc, text.sql);
    }
    return;
  }
}

// ---------------------------------------------------------------- every family in one statement

namespace {

// A read transaction of its own for the making of the probe, when none is open: the table list and the
// statement then come from one state of the file. Ended by ROLLBACK, which for a read is what COMMIT does.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(SqliteConnection& c) : m_c(c), m_began(!c.InTransaction() && c.BeginRead()) {}
  ~ReadSnapshot() {
    if (!m_began) return;
    try {
      m_c.Rollback();
    } catch (CDBException* e) {
      e->Delete();
    }
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

 private:
  SqliteConnection& m_c;
  bool m_began;
};

}  // namespace

void SqliteConnection::DropTableProbe() {
  sqlite3_finalize(m_probe.stmt);
  m_probe = TableProbe{};
}

void SqliteConnection::MakeTableProbe(const std::function<bool(const CVdODBCTableDefInfo&)>& isCandidate,
                                      const wchar_t* column) {
  DropTableProbe();
  RefreshTables(SqliteStage::kStatement);
  m_probe.version = m_tablesVersion;
  m_probe.column = column;
  m_probe.refused = true;
  if (m_probe.column.find(L']') != std::wstring::npos) return;
  std::wstring text;
  for (std::size_t k = 0; k < m_tables.size(); ++k) {
    if (!isCandidate(m_tables[k])) continue;
    const std::wstring& name = m_tables[k].m_strName.str();
    if (name.find(L']') != std::wstring::npos) return;
    text += m_probe.arms.empty() ? L"SELECT " : L" UNION ALL SELECT ";
    text += std::to_wstring(m_probe.arms.size()) + L" FROM [" + name + L"] WHERE [" + m_probe.column + L"] = ''";
    m_probe.arms.push_back(k);
  }
  m_probe.refused = false;
  if (m_probe.arms.empty()) return;
  // A failure names the statement by its first part: the whole text may run to many thousand characters.
  AppendUtf8(m_probe.label, text.data(), std::min(text.find(L" UNION ALL "), text.size()));
  if (m_probe.arms.size() > 1) m_probe.label += " UNION ALL ... (" + std::to_string(m_probe.arms.size()) + " tables)";
  text += L" LIMIT 1";
  StatementText translated;
  TranslateStatement(text.c_str(), translated);
  try {
    m_probe.stmt = PrepareQuery(*this, translated).stmt;
  } catch (CDBException* e) {
    // A candidate without the column, or more candidates than the engine joins in one statement (500): the
    // caller asks table by table, and passes over a table that cannot answer.
    if (e->GetCategory() == CDBException::eTimeout) throw;
    e->Delete();
    m_probe.refused = true;
    return;
  }
  m_probe.parameters = sqlite3_bind_parameter_count(m_probe.stmt);
}

Connection::Probe SqliteConnection::FirstTableHolding(
    const std::function<bool(const CVdODBCTableDefInfo&)>& isCandidate, const wchar_t* column, const wchar_t* value,
    CString& table) {
  std::string bound;
  const std::wstring_view text(value ? value : L"");
  AppendUtf8(bound, text.data(), text.size());
  // Runs the kept statement; nullopt when the schema changed since it was made, or it could not run.
  const auto ask = [&]() -> std::optional<Probe> {
    sqlite3_stmt* stmt = m_probe.stmt;
    StatementReset reset(stmt);
    for (int k = 1; k <= m_probe.parameters; ++k)
      if (sqlite3_bind_text(stmt, k, bound.data(), static_cast<int>(bound.size()), SQLITE_STATIC) != SQLITE_OK)
        return std::nullopt;
    const int reprepared = sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
    StartClock();
    const int rc = sqlite3_step(stmt);
    // Prepared again: the tables may not be those of the list any more.
    if (sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0) != reprepared) return std::nullopt;
    if (rc == SQLITE_DONE) return Probe::kNotFound;
    if (rc == SQLITE_ROW) {
      const sqlite3_int64 arm = sqlite3_column_int64(stmt, 0);
      if (arm < 0 || static_cast<std::size_t>(arm) >= m_probe.arms.size()) return Probe::kUnanswered;
      table = m_tables[m_probe.arms[static_cast<std::size_t>(arm)]].m_strName;
      return Probe::kFound;
    }
    const int code = rc & 0xff;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED || code == SQLITE_INTERRUPT) Fail(rc, m_probe.label);
    return std::nullopt;
  };

  // The kept statement answers while the list it was made from is the connection's: a change of the schema
  // by another connection makes the engine prepare it again, which `ask` sees.
  const bool kept = m_probe.version >= 0 && m_probe.version == m_tablesVersion && m_probe.column == column;
  if (kept && m_probe.refused) return Probe::kUnanswered;
  if (kept && m_probe.stmt)
    if (const auto answer = ask()) return *answer;
  ReadSnapshot snapshot(*this);
  MakeTableProbe(isCandidate, column);
  if (m_probe.refused) return Probe::kUnanswered;
  if (!m_probe.stmt) return Probe::kNotFound;
  if (const auto answer = ask()) return *answer;
  m_probe.refused = true;
  return Probe::kUnanswered;
}

namespace {

// The text of a write that sets the dirty columns, built by `build` only when they differ from the last
// write's.
template <typename Build>
const std::string& WriteSql(SqliteColumnSet::WriteText& cache, const std::vector<char>& dirty, Build build) {
  if (cache.sql.empty() || cache.dirty != dirty) {
    cache.sql.clear();
    build(cache.sql);
    cache.dirty = dirty;
  }
  return cache.sql;
}

// Binds the pending values of the dirty columns to ?1, ?2, ...; returns how many were bound.
int BindDirty(SqliteConnection& c, sqlite3_stmt* stmt, const RecordsetState& state, const std::string& sql) {
  int index = 0;
  for (std::size_t k = 0; k < state.dirty.size(); ++k)
    if (state.dirty[k]) Bind(c, stmt, ++index, state.pending[k], sql);
  return index;
}

}  // namespace

void SqliteConnection::UpdateRow(RecordsetState& state) {
  const SqliteColumnSet& columns = Columns(state);
  const std::string& sql = WriteSql(columns.updateText, state.dirty, [&](std::string& out) {
    out = "UPDATE " + TableRef(columns) + " SET ";
    std::size_t count = 0;
    for (std::size_t k = 0; k < columns.columns.size(); ++k) {
      if (!state.dirty[k]) continue;
      if (count++) out += ',';
      AppendQuotedName(out, columns.columns[k].baseColumnUtf8);
      out += "=?";
      AppendNumber(out, count);
    }
    out += " WHERE ";
    out += columns.rowId;
    out += "=?";
    AppendNumber(out, count + 1);
  });

  sqlite3_stmt* stmt = Internal(sql);
  const int index = BindDirty(*this, stmt, state, sql);
  const auto row = static_cast<std::size_t>(state.position);
  sqlite3_bind_int64(stmt, index + 1, RowId(state, row));
  if (RunWrite(*this, stmt, sql) == 0) RowGone(columns);
  state.MarkUnread(row);
}

void SqliteConnection::InsertRow(RecordsetState& state) {
  const SqliteColumnSet& columns = Columns(state);
  const std::string& sql = WriteSql(columns.insertText, state.dirty, [&](std::string& out) {
    out = "INSERT INTO " + TableRef(columns);
    std::string values;
    std::size_t count = 0;
    for (std::size_t k = 0; k < columns.columns.size(); ++k) {
      if (!state.dirty[k]) continue;
      out += count ? "," : " (";
      values += count ? "," : " VALUES (";
      ++count;
      AppendQuotedName(out, columns.columns[k].baseColumnUtf8);
      values += '?';
      AppendNumber(values, count);
    }
    if (count)
      out += ")" + values + ")";
    else
      out += " DEFAULT VALUES";
  });

  sqlite3_stmt* stmt = Internal(sql);
  BindDirty(*this, stmt, state, sql);
  RunWrite(*this, stmt, sql);
  const std::int64_t rowId = sqlite3_last_insert_rowid(m_db);

  const std::size_t row = state.rows;
  state.cells.Truncate(row);  // a read that failed half way may have left a row behind
  Cell& id = state.cells.AppendRow()[columns.stride - 1];
  id.kind = CellKind::kInteger;
  id.i = rowId;
  ++state.rows;
  state.MarkUnread(row);
}

std::size_t SqliteConnection::InsertRows(RecordsetState& state, bool* kept) {
  const SqliteColumnSet& columns = Columns(state);
  if (kept) *kept = false;  // a file's rows are read back cheaply by the caller, which needs no round trip for it
  // As many rows a statement as the engine binds (up to a host's batch): its work per statement is spread over
  // them, and the texts stay few, so the kept prepared statements serve every full batch.
  constexpr std::size_t kMaxRows = 5000;
  const auto limit = static_cast<std::size_t>(std::max(1, sqlite3_limit(m_db, SQLITE_LIMIT_VARIABLE_NUMBER, -1)));
  return ForEachBatchStatement(state.queued, limit, kMaxRows,
                               [&](std::size_t first, std::size_t end, std::size_t width) {
                                 const std::vector<char>& dirty = state.queued[first].dirty;
                                 std::string sql = "INSERT INTO " + TableRef(columns);
                                 if (width == 0) {
                                   sql += " DEFAULT VALUES";
                                   RunWrite(*this, Internal(sql), sql);
                                   return;
                                 }
                                 AppendColumnList(sql, columns, dirty);
                                 sql += " VALUES ";
                                 for (std::size_t r = first; r < end; ++r) {
                                   sql += r == first ? "(" : ",(";
                                   for (std::size_t c = 0; c < width; ++c) sql += c ? ",?" : "?";
                                   sql += ')';
                                 }
                                 sqlite3_stmt* stmt = Internal(sql);
                                 int index = 0;
                                 for (std::size_t r = first; r < end; ++r)
                                   for (std::size_t k = 0; k < dirty.size(); ++k)
                                     if (dirty[k]) Bind(*this, stmt, ++index, state.queued[r].values[k], sql);
                                 RunWrite(*this, stmt, sql);
                               });
}

void SqliteConnection::DeleteRow(RecordsetState& state) {
  const SqliteColumnSet& columns = Columns(state);
  const std::string sql = "DELETE FROM " + TableRef(columns) + " WHERE " + columns.rowId + "=?1";
  sqlite3_stmt* stmt = Internal(sql);
  sqlite3_bind_int64(stmt, 1, RowId(state, static_cast<std::size_t>(state.position)));
  if (RunWrite(*this, stmt, sql) == 0) RowGone(columns);
}

void SqliteConnection::ReadBack(RecordsetState& state) {
  while (!state.unread.empty()) {
    const std::size_t row = state.unread.back();
    Reread(*this, state, row);
    state.unread.pop_back();
  }
}

}  // namespace vdpattern::db
