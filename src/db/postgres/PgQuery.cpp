// The server engine's statements: sending them (prepared once seen twice), reading results into cells, the
// table and name lists, and the row writes of a recordset.
#include "db/postgres/PgConnection.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>
#include <set>
#include <vdpattern/toolkit/Utf8.h>
#include "db/DbError.h"
#include "db/postgres/PgInternal.h"

namespace vdpattern::db {

using namespace pg;

namespace {

// and where the point stands ("-00120.0500" and "-1.2005e2" give "-12005@3"). The digit count is `digits`.
std::string DecimalKey(const char* text, int& digits) {
  std::string key, run;  // run: the digits read since the last non-zero one
  bool negative = false, started = false, point = false;
  long position = 0;
  const char* p = text;
  for (; *p && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '-') negative = true;
    if (*p == '.') point = true;
    if (*p < '0' || *p > '9') continue;
    if (*p == '0' && !started) {
      if (point) --position;
      continue;
    }
    started = true;
    if (!point) ++position;
    run += *p;
    if (*p != '0') {
      key += run;
      run.clear();
    }
  }
  if (*p) position += std::strtol(p + 1, nullptr, 10);
  digits = static_cast<int>(key.size());
  if (key.empty()) return "0";
  return (negative ? "-" : "") + key + "@" + std::to_string(position);
}

// Whether the double nearest to the numeric `text` holds it without a change that matters: a value of at most
// 15 significant digits (every double keeps those), or one the library wrote from a double in full (17 digits).
bool DoubleHolds(const char* text, double value) {
  int digits = 0, written = 0;
  const std::string key = DecimalKey(text, digits);
  if (digits <= 15) return true;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return DecimalKey(buffer, written) == key;
}

// Copies value (row, column) of `result` into `cell`, converted by the column's server type.
void ReadCell(const PGresult* result, int row, int column, RecordsetState& state, Cell& cell) {
  if (PQgetisnull(result, row, column)) {
    cell = Cell();
    return;
  }
  const char* text = PQgetvalue(result, row, column);
  switch (PQftype(result, column)) {
    case kBool:
      cell.kind = CellKind::kInteger;
      cell.i = text[0] == 't' ? 1 : 0;
      return;
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid:
      cell.kind = CellKind::kInteger;
      cell.i = std::strtoll(text, nullptr, 10);
      return;
    case kNumeric:
      if (PgNumericAsText(PQfmod(result, column))) break;
      cell.kind = CellKind::kReal;
      cell.d = std::strtod(text, nullptr);
      // A numeric column without a precision (or a CURRENCY) may still hold a value no double holds.
      if (!DoubleHolds(text, cell.d)) {
        CString message;
        message.Format(
            L"A value of the column \"%s\" has more significant digits than a number holds exactly: declare the "
            L"column NUMERIC(p,s) with p over 15, which reads as exact text.",
            VdFromUtf8(PQfname(result, column)));
        ThrowDbError(kStateGeneral, message);
      }
      return;
    case kFloat4:
    case kFloat8:
      cell.kind = CellKind::kReal;
      cell.d = std::strtod(text, nullptr);
      return;
    default:
      break;
  }
  const bool bytes = PQftype(result, column) == kBytea;
  std::size_t length = static_cast<std::size_t>(PQgetlength(result, row, column));
  unsigned char* unescaped = nullptr;
  if (bytes) {
    unescaped = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &length);
    if (!unescaped) ThrowDbError(kStateGeneral, L"A byte value of the result could not be read (out of memory).");
  }
  struct Freer {
    unsigned char* p;
    ~Freer() {
      if (p) PQfreemem(p);
    }
  } freer{unescaped};
  if (state.arena.size() + length > std::numeric_limits<std::uint32_t>::max())
    ThrowDbError(kStateGeneral, L"The result is too large to be held in memory (over 4 GB of text).");
  cell.kind = bytes ? CellKind::kBlob : CellKind::kText;
  cell.bytes.offset = static_cast<std::uint32_t>(state.arena.size());
  cell.bytes.length = static_cast<std::uint32_t>(length);
  if (length) state.arena.append(bytes ? reinterpret_cast<const char*>(unescaped) : text, length);
}

void ReadRow(const PGresult* result, int row, RecordsetState& state, const PgColumnSet& columns, Cell* cells) {
  for (std::size_t k = 0; k < columns.stride; ++k) ReadCell(result, row, columns.source[k], state, cells[k]);
}

// What Describe reads of a result, as a key: statements that differ only in their values (a search for one
// name after another) share one description, and no statement text is kept for each of them.
std::string ShapeOf(const PGresult* result, bool withRowId) {
  const int fields = PQnfields(result);
  std::string key;
  key.reserve(1 + static_cast<std::size_t>(fields) * 24);
  key += withRowId ? 'r' : '-';
  for (int f = 0; f < fields; ++f) {
    const std::uint32_t numbers[] = {PQftype(result, f), static_cast<std::uint32_t>(PQfmod(result, f)),
                                     PQftable(result, f), static_cast<std::uint32_t>(PQftablecol(result, f))};
    key.append(reinterpret_cast<const char*>(numbers), sizeof numbers);
    key += PQfname(result, f);
    key += '\0';
  }
  return key;
}

// Whether the server stores `value`, written to a column of type `serverType` as Parameters sends it,
// unchanged, so that ReadCell would read back what CellAsSent makes of it. Not where it may change it: a
// numeric rounds, a bpchar pads, a text is parsed as a number or a date, a NaN keeps the server's own sign.
bool StoredAsSent(const PendingValue& value, unsigned serverType) {
  switch (value.kind) {
    case CellKind::kNull:
      return true;
    case CellKind::kInteger:
      return serverType == kInt2 || serverType == kInt4 || serverType == kInt8 || serverType == kBool ||
             serverType == kFloat8;
    case CellKind::kReal:
      return serverType == kFloat8 && !std::isnan(value.d);  // 17 digits read back as the same double
    case CellKind::kText:
      return serverType == kText || serverType == kVarchar;  // SetFieldValue refuses a text over varchar(n)
    case CellKind::kBlob:
      return serverType == kBytea;
  }
  return false;
}

void CellAsSent(const PendingValue& value, unsigned serverType, std::string& arena, Cell& cell) {
  switch (value.kind) {
    case CellKind::kInteger:
      if (serverType == kFloat8) {
        cell.kind = CellKind::kReal;
        cell.d = static_cast<double>(value.i);  // rounded to the nearest, as the server's parse of its digits
      } else {
        cell.kind = CellKind::kInteger;
        cell.i = serverType == kBool ? value.i != 0 : value.i;
      }
      return;
    case CellKind::kReal:
      cell.kind = CellKind::kReal;
      cell.d = value.d;
      return;
    case CellKind::kText:
    case CellKind::kBlob:
      if (arena.size() + value.bytes.size() > std::numeric_limits<std::uint32_t>::max())
        ThrowDbError(kStateGeneral, L"The result is too large to be held in memory (over 4 GB of text).");
      cell.kind = value.kind;
      cell.bytes.offset = static_cast<std::uint32_t>(arena.size());
      cell.bytes.length = static_cast<std::uint32_t>(value.bytes.size());
      arena.append(value.bytes);
      return;
    default:
      cell = Cell();
      return;
  }
}

const PgColumnSet& Columns(const RecordsetState& state) { return static_cast<const PgColumnSet&>(*state.columns); }

// The server's type of the table column that result column `k` reads.
unsigned ServerType(const PgColumnSet& columns, std::size_t k) {
  return columns.serverTypes[static_cast<std::size_t>(columns.source[k])];
}

[[noreturn]] void RowGone(const ColumnSet& columns) {
  CString message;
  message.Format(L"The current row no longer exists in the table \"%s\": another connection deleted it.",
                 VdFromUtf8(columns.table));
  ThrowDbError(kStateGeneral, message);
}

// The parameters of a write: the pending values of the dirty columns, as text (bytes for byte values).
struct Parameters {
  std::vector<std::string> texts;
  std::vector<const char*> values;
  std::vector<int> lengths, binary;

  void Add(const PendingValue& value, unsigned serverType) {
    texts.emplace_back();
    std::string& text = texts.back();
    bool null = false, bytes = false;
    switch (value.kind) {
      case CellKind::kInteger:
        text = serverType == kBool ? (value.i ? "true" : "false") : std::to_string(value.i);
        break;
      case CellKind::kReal: {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", value.d);
        text = serverType == kBool ? (value.d != 0 ? "true" : "false") : buffer;
        break;
      }
      case CellKind::kText:
        text = value.bytes;
        break;
      case CellKind::kBlob:
        text = value.bytes;
        bytes = true;
        break;
      default:
        null = true;
        break;
    }
    values.push_back(null ? nullptr : "");
    lengths.push_back(static_cast<int>(text.size()));
    binary.push_back(bytes ? 1 : 0);
  }
  // Pointers taken once every text is in place (the vector may have moved them before).
  void Finish() {
    for (std::size_t k = 0; k < texts.size(); ++k)
      if (values[k]) values[k] = texts[k].c_str();
  }
};

}  // namespace

PGresult* PgConnection::Send(const std::string& sql, const std::vector<const char*>& values,
                             const std::vector<int>& lengths, const std::vector<int>& binary, std::string& prepared,
                             bool savepoint) {
  const int count = static_cast<int>(values.size());
  const int* lengthsOrNull = lengths.empty() ? nullptr : lengths.data();
  const int* binaryOrNull = binary.empty() ? nullptr : binary.data();
  prepared.clear();
  std::string making;  // the name it is prepared under now
  const auto it = m_prepared.find(sql);
  if (it != m_prepared.end()) {
    prepared = it->second;
  } else if (IsPreparable(sql) && m_prepared.size() < kMaxPrepared && !m_seenOnce.insert(sql).second) {
    // Seen before: worth a statement of its own on the server from now on.
    m_seenOnce.erase(sql);
    making = "vd_s" + std::to_string(++m_preparedCount);
  }
  if (m_seenOnce.size() >= kMaxPrepared) m_seenOnce.clear();  // texts seen once are not kept without bound
  if (IsTransactionControl(sql)) FlushSettings();
  // What ExecuteCommenting adds after the statement, taken now: a failure below leaves none for the next one.
  const std::vector<std::string> also = std::move(m_alsoSend);
  m_alsoSend.clear();
  const bool trailing = m_wantTrailingNames && !m_schemaOid.empty();
  if (making.empty() && m_pendingSettings.empty() && !savepoint && m_deferred.empty() && !trailing && also.empty()) {
    if (prepared.empty())
      return PQexecParams(m_conn, sql.c_str(), count, nullptr, values.data(), lengthsOrNull, binaryOrNull, 0);
    return PQexecPrepared(m_conn, prepared.c_str(), count, values.data(), lengthsOrNull, binaryOrNull, 0);
  }
  // The settings, the preparation and the statement go in one pipeline: one round trip. Outside a transaction
  // the pipeline is one implicit transaction, so a statement that fails undoes the settings sent with it: they
  // are then kept for the next one.
  // A statement in a savepoint of its own is sent between the SAVEPOINT and its RELEASE, in the same pipeline:
  // one round trip where three were. When it fails, the server skips the RELEASE and the caller undoes the
  // savepoint.
  // The write group's deferred statements go first, and a schema change inside the write lock is followed by
  // the names it changed (m_trailingNames).
  if (PQenterPipelineMode(m_conn) != 1) return nullptr;
  const bool settings = !m_pendingSettings.empty();
  static const char* const kSavepoint = "SAVEPOINT vd_statement";
  static const char* const kRelease = "RELEASE SAVEPOINT vd_statement";
  const std::vector<std::string> deferred = std::move(m_deferred);
  m_deferred.clear();
  bool sent = true;
  for (const std::string& d : deferred)
    sent = sent && PQsendQueryParams(m_conn, d.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
  sent = sent && (!savepoint || PQsendQueryParams(m_conn, kSavepoint, 0, nullptr, nullptr, nullptr, nullptr, 0) == 1);
  sent = sent && (!settings ||
                  PQsendQueryParams(m_conn, m_pendingSettings.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1);
  if (!making.empty()) sent = sent && PQsendPrepare(m_conn, making.c_str(), sql.c_str(), count, nullptr) == 1;
  const std::string& name = making.empty() ? prepared : making;
  if (name.empty())
    sent = sent &&
           PQsendQueryParams(m_conn, sql.c_str(), count, nullptr, values.data(), lengthsOrNull, binaryOrNull, 0) == 1;
  else
    sent = sent && PQsendQueryPrepared(m_conn, name.c_str(), count, values.data(), lengthsOrNull, binaryOrNull, 0) == 1;
  for (const std::string& next : also)
    sent = sent && PQsendQueryParams(m_conn, next.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
  sent = sent && (!savepoint || PQsendQueryParams(m_conn, kRelease, 0, nullptr, nullptr, nullptr, nullptr, 0) == 1);
  const std::string names = trailing ? NamesQuery("$1::oid") : std::string();
  const char* const namesValues[] = {m_schemaOid.c_str(), kPgRowId};
  sent = sent &&
         (!trailing || PQsendQueryParams(m_conn, names.c_str(), 2, nullptr, namesValues, nullptr, nullptr, 0) == 1);
  sent = sent && PQpipelineSync(m_conn) == 1;
  const std::size_t expected = deferred.size() + (savepoint ? 2 : 0) + (settings ? 1 : 0) + (making.empty() ? 0 : 1) +
                               1 + also.size() + (trailing ? 1 : 0);
  std::vector<PGresult*> results = ReadPipeline(expected, sent);
  if (results.size() < expected) {
    for (PGresult* r : results) PQclear(r);
    return nullptr;  // the connection's own failure
  }
  std::size_t k = 0;
  const auto ok = [](PGresult* r) {
    return PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
  };
  if (trailing) {  // taken only after a statement that succeeded
    PGresult* read = results.back();
    results.pop_back();
    if (ok(read) && !m_trailingNames)
      m_trailingNames = read;
    else
      PQclear(read);
  }
  for (std::size_t d = 0; d < deferred.size(); ++d, ++k) {
    if (ok(results[k])) {
      PQclear(results[k]);
      continue;
    }
    // A deferred statement that failed fails this one: nothing after it ran.
    PGresult* failed = results[k];
    for (std::size_t rest = k + 1; rest < results.size(); ++rest) PQclear(results[rest]);
    if (m_trailingNames) {
      PQclear(m_trailingNames);
      m_trailingNames = nullptr;
    }
    return failed;
  }
  PGresult* begun = savepoint ? results[k++] : nullptr;
  PGresult* set = settings ? results[k++] : nullptr;
  PGresult* made = making.empty() ? nullptr : results[k++];
  PGresult* result = results[k++];
  const std::size_t firstAlso = k;
  k += also.size();
  PGresult* released = savepoint ? results[k] : nullptr;
  // A statement sent after the main one that failed fails the whole: the caller undoes them together.
  if (!also.empty()) {
    PGresult* failed = nullptr;
    if (ok(result))
      for (std::size_t a = 0; a < also.size() && !failed; ++a)
        if (!ok(results[firstAlso + a])) failed = results[firstAlso + a];
    for (std::size_t a = 0; a < also.size(); ++a)
      if (results[firstAlso + a] != failed) PQclear(results[firstAlso + a]);
    if (failed) {
      if (!making.empty() && ok(made)) m_prepared.emplace(sql, making);
      for (PGresult* r : {begun, set, made, result, released}) PQclear(r);
      if (m_trailingNames) {
        PQclear(m_trailingNames);
        m_trailingNames = nullptr;
      }
      return failed;
    }
  }
  if (begun && !ok(begun)) {  // no savepoint: nothing after it ran
    for (PGresult* r : {set, made, result, released}) PQclear(r);
    return begun;
  }
  PQclear(begun);
  if (set && !ok(set)) {  // a setting the server refused fails the statement it came with
    PQclear(made);
    PQclear(result);
    PQclear(released);
    m_pendingSettings.clear();
    return set;
  }
  PQclear(set);
  if (made && !ok(made)) {  // the failure is the statement's own: it is reported as such
    PQclear(result);
    PQclear(released);
    return made;
  }
  PQclear(made);
  if (released && ok(result) && !ok(released)) {
    if (!making.empty()) m_prepared.emplace(sql, making);
    PQclear(result);
    return released;
  }
  PQclear(released);
  if (!making.empty()) prepared = m_prepared.emplace(sql, making).first->second;
  if (ok(result) || PQtransactionStatus(m_conn) != PQTRANS_IDLE) m_pendingSettings.clear();
  return result;
}

PGresult* PgConnection::Run(const std::string& sql, const std::vector<const char*>& values,
                            const std::vector<int>& lengths, const std::vector<int>& binary, bool reads) {
  DropOpeningReads();  // they stood for the state at the opening, which this statement may change
  EnsureConnected();
  // What a loss during this call ends: a transaction the host holds, or nothing.
  m_inTransaction = PQtransactionStatus(m_conn) != PQTRANS_IDLE;
  const bool control = IsTransactionControl(sql);
  if (control) m_readTransaction = m_readSavepoint = m_writeLocked = m_namesUnderLock = false;
  for (int attempt = 0;; ++attempt) {
    const bool inTransaction = PQtransactionStatus(m_conn) == PQTRANS_INTRANS && !control;
    // In a read-only transaction a read changes nothing that a rollback could lose, so the reads share one
    // savepoint, made by the first of them and kept: a read costs one statement, not three.
    const bool shared = inTransaction && reads && m_readTransaction;
    const bool wrap = inTransaction && !shared;
    if (shared && !m_readSavepoint) {
      FlushDeferred();
      PGresult* begun = PQexec(m_conn, "SAVEPOINT vd_statement");
      if (PQresultStatus(begun) != PGRES_COMMAND_OK) PgFail(begun, "SAVEPOINT vd_statement");
      PQclear(begun);
    }
    // What another statement does inside the read-only transaction (a SET) comes after the shared savepoint,
    // where a read that fails would undo it: the next read makes a savepoint of its own, after it.
    m_readSavepoint = shared;
    std::string prepared;
    PGresult* result = Send(sql, values, lengths, binary, prepared, wrap);
    const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      if (shared && PQstatus(m_conn) == CONNECTION_OK) {
        PGresult* undone = PQexec(m_conn, "ROLLBACK TO SAVEPOINT vd_statement");
        if (PQresultStatus(undone) != PGRES_COMMAND_OK) m_readSavepoint = false;
        PQclear(undone);
      }
      if (wrap && PQstatus(m_conn) == CONNECTION_OK)
        PQclear(PQexec(m_conn, "ROLLBACK TO SAVEPOINT vd_statement; RELEASE SAVEPOINT vd_statement"));
      // A prepared statement whose tables another connection changed ("cached plan must not change result
      // type"): forgotten, and the statement sent once more as text.
      const char* sqlState = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
      if (attempt == 0 && !prepared.empty() && sqlState && std::strcmp(sqlState, "0A000") == 0 &&
          PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) != PQTRANS_INERROR) {
        PQclear(result);
        PQclear(PQexec(m_conn, ("DEALLOCATE " + prepared).c_str()));
        m_prepared.erase(sql);
        continue;
      }
      PgFail(result, sql);
    }
    return result;  // a wrapped statement's savepoint was released in its pipeline
  }
}

PGresult* PgConnection::Read(const std::string& sql, const std::vector<const char*>& values) {
  return Run(sql, values, {}, {}, true);
}

void PgConnection::Exec(const std::string& sql) { PQclear(Run(sql)); }

namespace {

// The schema's tables, and the same list as one text (byte order, each name ended by chr(1)), which the search
// probe compares with the list it was built from.
// Only tables ('r', 'p') are families: a view or a rule would run its owner's code in a reader's statement.
constexpr const char* kTableList = "SELECT relname FROM pg_class WHERE relnamespace = $1 AND relkind IN ('r','p')";
// `schemaParameter` is the marker of the schema's oid ("$3").
std::string TableSignature(const char* schemaParameter) {
  return std::string(
             "COALESCE((SELECT string_agg(relname::text || chr(1), '' ORDER BY relname::text COLLATE "
             "\"C\") FROM pg_class WHERE relnamespace = ") +
         schemaParameter + "::oid AND relkind IN ('r','p')), '')";
}

}  // namespace

void PgConnection::RefreshTables() {
  std::vector<CVdODBCTableDefInfo> tables;
  m_tablesSignature.clear();
  m_tablesRead = true;
  if (m_schemaOid.empty()) {  // no schema: no families
    m_tables.clear();
    return;
  }
  ResultGuard list{Read(kTableList, {m_schemaOid.c_str()})};
  std::vector<std::string> bytes;
  for (int r = 0; r < PQntuples(list.result); ++r) {
    bytes.emplace_back(PQgetvalue(list.result, r, 0));
    CVdODBCTableDefInfo info;
    info.m_strName = CString(VdFromUtf8(bytes.back()).c_str());
    info.m_lAttributes = 0;
    info.m_strTableType = L"TABLE";
    tables.push_back(std::move(info));
  }
  SortTables(tables);
  std::sort(bytes.begin(), bytes.end());
  for (const std::string& name : bytes) m_tablesSignature.append(name).push_back('\x01');
  m_tables = std::move(tables);
}

Connection::Probe PgConnection::FirstTableHolding(const std::function<bool(const CVdODBCTableDefInfo&)>& isCandidate,
                                                  const wchar_t* column, const wchar_t* value, CString& table) {
  EnsureConnected();
  if (!m_tablesRead) RefreshTables();
  if (!m_namesRead) RefreshNames();
  if (m_schemaOid.empty()) return Probe::kNotFound;
  // The value is the statement's second parameter: the text stays the same for every value, and is prepared.
  const std::wstring tail = L"] = $2 UNION ALL ";
  const std::string valueUtf8 = VdToUtf8(value ? value : L"");
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (m_tablesSignature == m_probeRefused) return Probe::kUnanswered;
    // SELECT min(k) FROM (SELECT 0 AS k FROM [A] WHERE [Name] = 'x' UNION ALL SELECT 1 ...) AS probe
    std::vector<const CVdODBCTableDefInfo*> candidates;
    std::wstring text = L"SELECT min(k) FROM (";
    for (const CVdODBCTableDefInfo& info : m_tables) {
      if (!isCandidate(info)) continue;
      // Each table's column as it is spelt there: one made as "NAME" would fail the whole probe as "Name".
      CString spelt(column);
      if (!ColumnSpelling(info.m_strName.str().c_str(), column, spelt) || spelt.str().find(L']') != std::wstring::npos)
        spelt = column;
      text += L"SELECT " + std::to_wstring(candidates.size()) + L" AS k FROM [" + info.m_strName.str() + L"] WHERE [" +
              spelt.str() + tail;
      candidates.push_back(&info);
    }
    std::string probe = "NULL::integer";
    if (!candidates.empty()) {
      text.resize(text.size() - std::wcslen(L" UNION ALL "));
      text += L") AS probe";
      PgStatement statement;
      TranslateToPg(text.c_str(), statement, &m_names, true, m_schema);
      probe = "(" + statement.sql + ")";
    }
    try {
      const std::string signature = TableSignature(candidates.empty() ? "$2" : "$3");
      ResultGuard answer{
          Run("SELECT " + probe + ", " + signature + " = $1",
              candidates.empty()
                  ? std::vector<const char*>{m_tablesSignature.c_str(), m_schemaOid.c_str()}
                  : std::vector<const char*>{m_tablesSignature.c_str(), valueUtf8.c_str(), m_schemaOid.c_str()})};
      if (*PQgetvalue(answer.result, 0, 1) != 't') {  // the list changed since it was read
        RefreshTables();
        RefreshNames();
        continue;
      }
      m_tablesConfirmed = true;
      m_tablesConfirmedAt = std::chrono::steady_clock::now();
      if (PQgetisnull(answer.result, 0, 0)) return Probe::kNotFound;
      const unsigned long k = std::strtoul(PQgetvalue(answer.result, 0, 0), nullptr, 10);
      if (k >= candidates.size()) return Probe::kUnanswered;
      table = candidates[k]->m_strName;
      return Probe::kFound;
    } catch (CDBException* e) {
      // A candidate without the column, or one dropped by another connection: read the list again once, then
      // leave this list to the caller's table by table walk.
      const CDBException::Category category = e->GetCategory();
      if (category == CDBException::eTimeout || category == CDBException::eConnection) throw;
      e->Delete();
      if (attempt == 0) {
        RefreshTables();
        RefreshNames();
        continue;
      }
      m_probeRefused = m_tablesSignature;
    }
  }
  return Probe::kUnanswered;
}

int PgConnection::TableCount() {
  if (!TakeOpeningTables()) RefreshTables();
  return static_cast<int>(m_tables.size());
}

const CVdODBCTableDefInfo& PgConnection::TableAt(std::size_t index) { return TableIn(m_tables, index); }

// The list read with the names answers; a name it does not hold is asked for again, since another connection
// may have made that table since: a family added after this connection opened is found at its first lookup.
bool PgConnection::TableByName(const wchar_t* name, CVdODBCTableDefInfo& info) {
  EnsureConnected();
  if (m_tablesRead && FindTable(m_tables, name, info)) return true;
  if (NamesTrusted()) return false;
  RefreshTables();
  return FindTable(m_tables, name, info);
}

namespace {

std::string AsciiLower(std::string name) {
  for (char& ch : name)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  return name;
}

}  // namespace

bool PgConnection::ColumnSpelling(const wchar_t* table, const wchar_t* column, CString& spelt) {
  EnsureConnected();
  if (!m_namesRead) RefreshNames();
  const std::string wanted = VdToUtf8(table ? table : L"");
  const std::string key = AsciiLower(VdToUtf8(column ? column : L""));
  for (const auto& entry : m_baseColumns) {
    if (entry.second.table != wanted) continue;
    for (const auto& c : entry.second.columns) {
      if (AsciiLower(c.first) != key) continue;
      spelt = CString(VdFromUtf8(c.first).c_str());
      return true;
    }
    return false;
  }
  return false;
}

namespace {

// Per table (its oid, name and facts: FactsOf) and column (name, number, NOT NULL, whether a BYTE: a smallint with
// the range check CREATE TABLE gives it, PgDialect.h; then its type and modifier as a result reports them, a
// domain's being those of its base type), in column order; a table without columns has one row with
// NULL columns. The facts: whether it has the row identity, and what of its own a write to it would run:
// triggers other than the server's internal ones, rules, and defaults, checks or index expressions that call a
// function or operator outside pg_catalog, or columns of a domain made outside it (whose checks may call one).
// Only tables ('r', 'p') are families.
constexpr const char* kNamesHead =
    "SELECT c.relname, a.attname, a.attnum, a.attnotnull, EXISTS (SELECT 1 FROM pg_constraint k WHERE k.conrelid = "
    "a.attrelid AND k.contype = 'c' AND k.conkey = ARRAY[a.attnum] AND pg_get_constraintdef(k.oid) = "
    "format('CHECK (((%1$I >= 0) AND (%1$I <= 255)))', a.attname)), c.oid, c.rowid, c.triggers, c.relhasrules, "
    "c.code, c.domains, (SELECT CASE WHEN y.typtype = 'd' THEN y.typbasetype ELSE y.oid END FROM pg_type y WHERE y.oid "
    "= a.atttypid), (SELECT CASE WHEN y.typtype = 'd' THEN y.typtypmod ELSE a.atttypmod END FROM pg_type y WHERE "
    "y.oid = a.atttypid), c.filled FROM (SELECT c.oid, c.relname, c.relhasrules, EXISTS (SELECT 1 FROM pg_attribute a "
    "WHERE a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped AND a.attname <> $2 AND (a.atthasdef OR "
    "a.attidentity <> '')) AS filled, EXISTS (SELECT 1 FROM pg_attribute a WHERE "
    "a.attrelid = c.oid AND a.attname = $2 AND NOT a.attisdropped) AS rowid, EXISTS (SELECT 1 FROM pg_trigger t "
    "WHERE t.tgrelid = c.oid AND NOT t.tgisinternal) AS triggers, EXISTS (SELECT 1 FROM pg_depend d LEFT JOIN "
    "pg_proc p ON d.refclassid = 'pg_proc'::regclass AND p.oid = d.refobjid LEFT JOIN pg_operator o ON "
    "d.refclassid = 'pg_operator'::regclass AND o.oid = d.refobjid WHERE ((d.classid = 'pg_attrdef'::regclass AND "
    "d.objid IN (SELECT oid FROM pg_attrdef WHERE adrelid = c.oid)) OR (d.classid = 'pg_constraint'::regclass AND "
    "d.objid IN (SELECT oid FROM pg_constraint WHERE conrelid = c.oid)) OR (d.classid = 'pg_class'::regclass AND "
    "d.objid IN (SELECT indexrelid FROM pg_index WHERE indrelid = c.oid))) AND COALESCE(p.pronamespace, "
    "o.oprnamespace) <> 'pg_catalog'::regnamespace) AS code, EXISTS (SELECT 1 FROM pg_attribute a JOIN pg_type y "
    "ON y.oid = a.atttypid WHERE a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped AND y.typtype = 'd' AND "
    "y.typnamespace <> 'pg_catalog'::regnamespace) AS domains FROM pg_class c WHERE c.relkind IN ('r','p') AND "
    "c.relnamespace = ";
constexpr const char* kNamesTail =
    ") AS c LEFT JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped ORDER BY c.oid, "
    "a.attnum";

}  // namespace

std::string pg::NamesQuery(const std::string& schemaOid) { return kNamesHead + schemaOid + kNamesTail; }

void PgConnection::RefreshNames() {
  if (m_schemaOid.empty()) {
    m_names.clear();
    m_clashes.clear();
    m_namesRead = true;
    return;
  }
  ResultGuard names{Read(NamesQuery("$1::oid"), {m_schemaOid.c_str(), kPgRowId})};
  ReadNames(names.result);
}

void PgConnection::ReadNames(PGresult* result) {
  m_names.clear();
  m_clashes.clear();
  m_rowIdTables.clear();
  m_baseColumns.clear();
  m_namesRead = true;
  m_namesUnderLock = m_writeLocked;
  std::unordered_set<std::string> seen;
  std::unordered_map<std::string, std::string> columns;  // of the table being read: lower case -> as spelt
  std::vector<CVdODBCTableDefInfo> tables;
  std::vector<std::string> bytes;
  std::string table;
  BaseColumns* base = nullptr;
  auto yes = [&](int r, int column) { return *PQgetvalue(result, r, column) == 't'; };
  for (int r = 0; r < PQntuples(result); ++r) {
    const std::string relation = PQgetvalue(result, r, 0);
    if (r == 0 || relation != table) {
      table = relation;
      columns.clear();
      if (seen.insert(relation).second) m_names.emplace(AsciiLower(relation), relation);
      m_names.emplace(kPgTableKey + AsciiLower(relation), relation);
      TableFacts& facts = m_rowIdTables[relation];
      facts = FactsFrom(relation, yes(r, 6), yes(r, 7), yes(r, 8), yes(r, 9), yes(r, 10));
      facts.filled = yes(r, 13);
      base = &m_baseColumns[static_cast<unsigned>(std::strtoul(PQgetvalue(result, r, 5), nullptr, 10))];
      base->table = relation;
      bytes.push_back(relation);
      CVdODBCTableDefInfo info;
      info.m_strName = CString(VdFromUtf8(relation).c_str());
      info.m_lAttributes = 0;
      info.m_strTableType = L"TABLE";
      tables.push_back(std::move(info));
    }
    if (PQgetisnull(result, r, 1)) continue;
    std::string column = PQgetvalue(result, r, 1);
    const auto number = static_cast<std::size_t>(std::atoi(PQgetvalue(result, r, 2)));
    if (number == 0) continue;
    if (base->columns.size() < number) base->columns.resize(number);
    base->columns[number - 1] = {column, yes(r, 3)};
    if (base->types.size() < number) base->types.resize(number);
    base->types[number - 1] = {static_cast<unsigned>(std::strtoul(PQgetvalue(result, r, 11), nullptr, 10)),
                               std::atoi(PQgetvalue(result, r, 12))};
    if (yes(r, 4)) base->bytes.insert(static_cast<int>(number));
    std::string key = AsciiLower(column);
    const auto [it, fresh] = columns.emplace(key, column);
    if (!fresh && !m_clashes.count(table)) {
      CString message;
      message.Format(
          L"The family \"%s\" of the database \"%s\" has the columns \"%s\" and \"%s\", whose names "
          L"differ only in case: the catalogs cannot tell them apart. Rename one of them on the server",
          VdFromUtf8(table), name(), VdFromUtf8(it->second), VdFromUtf8(column));
      m_clashes.emplace(table, message);
    }
    if (fresh) m_names.emplace(kPgColumnKey + key, column);
    m_names.emplace(TypeKey(table, column), PgIsTextType(base->types[number - 1].first) ? "t" : "");
    if (seen.insert(column).second) m_names.emplace(std::move(key), std::move(column));
  }
  // The table list comes with the names: a search or a listing right after needs no statement of its own.
  SortTables(tables);
  std::sort(bytes.begin(), bytes.end());
  m_tablesSignature.clear();
  for (const std::string& name : bytes) m_tablesSignature.append(name).push_back('\x01');
  m_tables = std::move(tables);
  m_tablesRead = true;
}

template <typename Statement, typename RunIt>
void PgConnection::WithNames(const wchar_t* text, Statement& statement, RunIt run) {
  EnsureConnected();
  bool fresh = !m_namesRead;
  if (fresh) RefreshNames();
  fresh = fresh || NamesTrusted();  // read inside the write lock: no table was made or dropped by another since
  for (int attempt = 0;; ++attempt) {
    TranslateToPg(text, statement, &m_names, true, m_schema);
    // A table the names do not hold stays unqualified, and a DROP TABLE IF EXISTS of one that another
    // connection made would then pass over it: a change of the schema is translated with the names as they are.
    if (statement.changesSchema && !fresh) {
      RefreshNames();
      fresh = true;
      TranslateToPg(text, statement, &m_names, true, m_schema);
    }
    if (statement.changesSchema) {
      m_described.clear();
      m_rowIdTables.clear();
      m_namesRead = false;
    }
    try {
      if (statement.preparable) CheckTables(statement);
      run();
      return;
    } catch (CDBException* e) {
      const CDBException::Category category = e->GetCategory();
      if (attempt > 0 || category != CDBException::eNoSuchObject || !m_conn ||
          PQtransactionStatus(m_conn) == PQTRANS_INERROR)
        throw;
      e->Delete();
      m_described.clear();
      m_rowIdTables.clear();
      RefreshNames();
    }
  }
}

void PgConnection::CheckTables(const PgStatement& statement) {
  // A family whose columns the catalogs cannot tell apart is neither read nor written.
  for (const std::string& table : statement.tables) {
    const auto clash = m_clashes.find(table);
    if (clash != m_clashes.end()) ThrowDbError(kStateGeneral, clash->second);
  }
  if (IsWrite(statement.sql))
    for (const std::string& table : statement.tables) CheckWritable(table);
}

void PgConnection::Execute(const wchar_t* text) {
  PgStatement statement;
  WithNames(text, statement, [&] {
    // A schema change inside the write lock brings the names it changed back in its own round trip.
    m_wantTrailingNames = statement.changesSchema && m_writeLocked && !m_lostTransaction &&
                          PQtransactionStatus(m_conn) == PQTRANS_INTRANS;
    struct Reset {
      PgConnection& c;
      ~Reset() {
        c.m_wantTrailingNames = false;
        c.m_alsoSend.clear();  // never sent with a statement they were not made for
        PQclear(c.m_trailingNames);
        c.m_trailingNames = nullptr;
      }
    } reset{*this};
    m_alsoSend = statement.also;  // taken by the statement's own send
    PQclear(Run(statement.sql, Values(statement)));
    if (m_trailingNames) ReadNames(m_trailingNames);
  });
}

void PgConnection::ExecuteAhead(const wchar_t* text) {
  // Only a plain write inside the write lock goes ahead: there a failure can undo the whole transaction, which
  // holds nothing another writer could have changed. Anything else runs at once.
  const bool ahead = m_namesRead && m_writeLocked && !m_lostTransaction && m_conn &&
                     PQstatus(m_conn) == CONNECTION_OK && m_pendingSettings.empty() &&
                     (!m_ahead.empty() || PQtransactionStatus(m_conn) == PQTRANS_INTRANS);
  PgStatement statement;
  if (ahead) TranslateToPg(text, statement, &m_names, true, m_schema);
  if (!ahead || statement.changesSchema || !statement.also.empty() || !IsWrite(statement.sql)) {
    Execute(text);
    return;
  }
  CheckTables(statement);
  DropOpeningReads();
  // The write group's deferred statements go first, in its pipeline, as they would with any statement.
  if (m_ahead.empty() && PQenterPipelineMode(m_conn) != 1) PgFail(nullptr, statement.sql);
  std::vector<Piped> sent;
  for (const std::string& d : m_deferred) sent.push_back({d, {}});
  m_deferred.clear();
  sent.push_back({statement.sql, Values(statement)});
  const bool went = SendPiped(sent);
  m_ahead.push_back({statement.sql, sent.size(), went});
  if (!went) Settle();  // the connection refused it: said now
}

std::string PgConnection::SpeltAs(char kind, const std::string& name) const {
  const auto range = m_names.equal_range(kind + AsciiLower(name));
  for (auto it = range.first; it != range.second; ++it)
    if (it->second == name) return name;
  return range.first == range.second ? name : range.first->second;
}

namespace {

// A comment's text as a literal of the server, or a refusal: a NUL would cut it.
std::string CommentLiteral(pg_conn* conn, const CString& comment) {
  const std::string text = VdToUtf8(comment.str());
  if (text.find('\0') != std::string::npos)
    ThrowDbError(kStateSyntax, L"A column comment cannot hold a NUL character.");
  char* escaped = PQescapeLiteral(conn, text.data(), text.size());
  if (!escaped) ThrowDbError(kStateGeneral, CString(VdFromUtf8(PQerrorMessage(conn)).c_str()));
  std::string literal(escaped);
  PQfreemem(escaped);
  return literal;
}

}  // namespace

void PgConnection::ExecuteCommenting(const wchar_t* text, const std::vector<ColumnComment>& comments) {
  if (comments.empty()) {
    if (text) Execute(text);
    return;
  }
  // Built once the statement is translated, from the names as they stood before it: a table or column it
  // makes is not among them and is taken as written.
  const auto commentsSql = [&] {
    std::vector<std::string> sql;
    for (const ColumnComment& c : comments) {
      const std::string table = SpeltAs(kPgTableKey, VdToUtf8(c.table.str()));
      std::string column = VdToUtf8(c.column.str());
      for (const auto& entry : m_baseColumns) {
        if (entry.second.table != table) continue;
        for (const auto& known : entry.second.columns)
          if (AsciiLower(known.first) == AsciiLower(column)) column = known.first;
        break;
      }
      sql.push_back("COMMENT ON COLUMN " + QualifiedTable(table) + "." + Quoted(column) + " IS " +
                    (c.comment.IsEmpty() ? std::string("NULL") : CommentLiteral(m_conn, c.comment)));
    }
    return sql;
  };
  if (!text) {
    EnsureConnected();
    if (!m_namesRead) RefreshNames();
    std::vector<std::string> sql = commentsSql();
    const std::string first = sql.front();
    sql.erase(sql.begin());
    m_alsoSend = std::move(sql);
    PQclear(Run(first));
    return;
  }
  PgStatement statement;
  WithNames(text, statement, [&] {
    m_alsoSend = statement.also;
    for (std::string& comment : commentsSql()) m_alsoSend.push_back(std::move(comment));
    try {
      PQclear(Run(statement.sql, Values(statement)));
    } catch (...) {
      m_alsoSend.clear();  // never sent with a statement they were not made for
      throw;
    }
  });
}

bool PgConnection::ColumnComments(std::map<std::wstring, std::map<std::wstring, std::wstring>>& comments) {
  comments.clear();
  EnsureConnected();
  if (m_schemaOid.empty()) return true;
  ResultGuard found{
      Read("SELECT c.relname, a.attname, d.description FROM pg_catalog.pg_class c JOIN pg_catalog.pg_attribute a ON "
           "a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped JOIN pg_catalog.pg_description d ON d.objoid = "
           "c.oid AND d.classoid = 'pg_catalog.pg_class'::pg_catalog.regclass AND d.objsubid = a.attnum WHERE "
           "c.relnamespace = $1::oid AND c.relkind IN ('r', 'p')",
           {m_schemaOid.c_str()})};
  for (int r = 0; r < PQntuples(found.result); ++r)
    comments[VdFromUtf8(PQgetvalue(found.result, r, 0))][VdFromUtf8(PQgetvalue(found.result, r, 1))] =
        VdFromUtf8(PQgetvalue(found.result, r, 2));
  return true;
}

std::unique_ptr<RecordsetState> PgConnection::Query(const wchar_t* text) {
  auto state = std::make_unique<PgRecordsetState>();
  WithNames(text, state->statement, [&] { RunState(*state); });
  return state;
}

void PgConnection::Requery(RecordsetState& state) { RunState(static_cast<PgRecordsetState&>(state)); }

void PgConnection::ReturnState(std::unique_ptr<RecordsetState>) {}

PgConnection::TableFacts PgConnection::FactsFrom(const std::string& table, bool rowId, bool triggers, bool rules,
                                                 bool code, bool domains) const {
  TableFacts facts;
  facts.rowId = rowId;
  const char* why = triggers  ? "its triggers"
                    : rules   ? "its rules"
                    : code    ? "its defaults, checks or indexes, which call functions made in the catalog"
                    : domains ? "the checks of its columns' types, made in the catalog"
                              : nullptr;
  if (why) {
    CString message;
    message.Format(
        L"The family \"%s\" of the database \"%s\" is not written: a write would run %S with "
        L"your rights. Its owner can remove them on the server",
        VdFromUtf8(table), name(), why);
    facts.writeRefused = message;
  }
  return facts;
}

const PgConnection::TableFacts& PgConnection::FactsOf(const std::string& table) {
  if (!m_namesRead) RefreshNames();  // the facts of every table come with the names
  const auto it = m_rowIdTables.find(table);
  if (it != m_rowIdTables.end()) return it->second;
  // A table the names do not know (made since they were read, or outside the schema): asked for on its own.
  TableFacts facts;
  if (!m_schemaOid.empty()) {
    ResultGuard found{Read(NamesQuery("$1::oid"), {m_schemaOid.c_str(), kPgRowId})};
    ReadNames(found.result);
    const auto again = m_rowIdTables.find(table);
    if (again != m_rowIdTables.end()) return again->second;
  }
  return m_rowIdTables.emplace(table, std::move(facts)).first->second;
}

bool PgConnection::HasRowId(const std::string& table) { return FactsOf(table).rowId; }

void PgConnection::CheckWritable(const std::string& table) {
  const TableFacts& facts = FactsOf(table);
  if (!facts.writeRefused.IsEmpty()) ThrowDbError(kStateGeneral, facts.writeRefused);
}

bool PgConnection::ColumnsOfTables(const std::vector<CString>& tables,
                                   std::map<std::wstring, std::vector<ColumnInfo>>& columns) {
  EnsureConnected();
  if (m_schemaOid.empty()) return false;
  if (!TakeOpeningColumns()) RefreshNames();
  std::unordered_map<std::string, const BaseColumns*> byName;
  for (const auto& entry : m_baseColumns) byName.emplace(entry.second.table, &entry.second);
  for (const CString& table : tables) {
    const std::string utf8 = VdToUtf8(table.str());
    const auto found = byName.find(utf8);
    if (found == byName.end() || m_clashes.count(utf8)) continue;  // read alone: it says why
    const BaseColumns& base = *found->second;
    std::vector<ColumnInfo>& out = columns[table.str()];
    out.clear();
    for (std::size_t k = 0; k < base.columns.size(); ++k) {
      const std::string& name = base.columns[k].first;
      if (name.empty() || name == kPgRowId) continue;  // a dropped column's number, or the row identity
      ColumnInfo info;
      info.name = CString(VdFromUtf8(name).c_str());
      info.table = table;
      info.baseColumn = info.name;
      info.baseColumnUtf8 = name;
      const auto type = k < base.types.size() ? base.types[k] : std::pair<unsigned, int>{0, -1};
      std::string declared = DeclaredTypeOf(type.first, type.second);
      if (declared == "SHORT" && base.bytes.count(static_cast<int>(k + 1))) declared = "BYTE";
      info.declaredType = CString(VdFromUtf8(declared).c_str());
      info.type = MapDeclaredType(declared);
      info.nullability = base.columns[k].second ? SQL_NO_NULLS : SQL_NULLABLE;
      out.push_back(std::move(info));
    }
  }
  return true;
}

std::shared_ptr<const PgColumnSet> PgConnection::Describe(PGresult* result, const PgRecordsetState& state) {
  const int fields = PQnfields(result);
  auto set = std::make_shared<PgColumnSet>();
  // Base column names of the tables the result reads (the result gives only their numbers).
  std::unordered_map<unsigned, std::vector<std::pair<std::string, bool>>> tableColumns;
  std::unordered_map<unsigned, std::string> tableNames;
  std::set<std::pair<unsigned, int>> byteColumns;  // (table, column number)
  for (int f = 0; f < fields; ++f) {
    set->serverTypes.push_back(PQftype(result, f));
    const unsigned table = PQftable(result, f);
    if (table == 0 || tableNames.count(table)) continue;
    // Read with the names, unless the table is not the schema's or has columns added since.
    const auto known = m_baseColumns.find(table);
    bool cached = known != m_baseColumns.end();
    for (int g = f; cached && g < fields; ++g)
      cached = PQftable(result, g) != table ||
               static_cast<std::size_t>(std::max(0, PQftablecol(result, g))) <= known->second.columns.size();
    if (cached) {
      tableColumns[table] = known->second.columns;
      tableNames[table] = known->second.table;
      for (int number : known->second.bytes) byteColumns.emplace(table, number);
      continue;
    }
    const std::string oid = std::to_string(table);
    // The last column: whether the column is a BYTE, a smallint with the range check CREATE TABLE gives it
    // (PgDialect.h), so that its values are checked as a file checks them.
    ResultGuard attributes{
        Read("SELECT attnum, attname, attnotnull, (SELECT relname FROM pg_class WHERE oid = $1), EXISTS (SELECT 1 "
             "FROM pg_catalog.pg_constraint k WHERE k.conrelid OPERATOR(pg_catalog.=) attrelid AND k.contype "
             "OPERATOR(pg_catalog.=) 'c' AND k.conkey OPERATOR(pg_catalog.=) ARRAY[attnum] AND "
             "pg_catalog.pg_get_constraintdef(k.oid) OPERATOR(pg_catalog.=) "
             "pg_catalog.format('CHECK (((%1$I >= 0) AND (%1$I <= 255)))', attname)) "
             "FROM pg_attribute WHERE attrelid = $1 AND attnum > 0 AND NOT attisdropped",
             {oid.c_str()})};
    auto& columns = tableColumns[table];
    for (int r = 0; r < PQntuples(attributes.result); ++r) {
      const auto number = static_cast<std::size_t>(std::atoi(PQgetvalue(attributes.result, r, 0)));
      if (columns.size() < number) columns.resize(number);
      columns[number - 1] = {PQgetvalue(attributes.result, r, 1), PQgetvalue(attributes.result, r, 2)[0] == 't'};
      tableNames[table] = PQgetvalue(attributes.result, r, 3);
      if (PQgetvalue(attributes.result, r, 4)[0] == 't') byteColumns.emplace(table, static_cast<int>(number));
    }
  }
  const int identity = state.withRowId ? fields - 1 : -1;
  bool oneTable = identity > 0 && PQftable(result, identity) != 0;
  const unsigned identityTable = oneTable ? PQftable(result, identity) : 0;
  for (int f = 0; f < fields; ++f) {
    const unsigned table = PQftable(result, f);
    const int number = PQftablecol(result, f);
    const std::vector<std::pair<std::string, bool>>* base =
        table && tableColumns.count(table) ? &tableColumns[table] : nullptr;
    const bool fromTable = base && number > 0 && static_cast<std::size_t>(number) <= base->size();
    const std::string baseName = fromTable ? (*base)[static_cast<std::size_t>(number - 1)].first : std::string();
    if (f == identity) continue;
    if (fromTable && baseName == kPgRowId) continue;  // never shown
    if (!fromTable || table != identityTable) oneTable = false;
    ColumnInfo info;
    info.name = CString(VdFromUtf8(PQfname(result, f)).c_str());
    if (fromTable) {
      info.table = CString(VdFromUtf8(tableNames[table]).c_str());
      info.baseColumn = CString(VdFromUtf8(baseName).c_str());
      info.baseColumnUtf8 = baseName;
      std::string declared = DeclaredTypeOf(PQftype(result, f), PQfmod(result, f));
      if (declared == "SHORT" && byteColumns.count({table, number})) declared = "BYTE";
      info.declaredType = CString(VdFromUtf8(declared).c_str());
      info.type = MapDeclaredType(declared);
      info.nullability = (*base)[static_cast<std::size_t>(number - 1)].second ? SQL_NO_NULLS : SQL_NULLABLE;
    }
    set->columns.push_back(std::move(info));
    set->source.push_back(f);
  }
  for (const ColumnInfo& column : set->columns) set->kinds.push_back(column.type.kind);
  set->stride = set->columns.size();
  if (!oneTable && state.statement.singleTableSelect && !state.withRowId)
    set->readOnlyReason.Format(
        L"The table \"%s\" was not made by the library: it has no row identity column %S, so "
        L"its rows cannot be changed.",
        VdFromUtf8(state.statement.table), kPgRowId);
  if (oneTable) {
    set->updatable = true;
    set->table = tableNames[identityTable];
    set->source.push_back(identity);
    ++set->stride;
  }
  return set;
}

void PgConnection::RunState(PgRecordsetState& state) {
  const PgStatement& statement = state.statement;
  std::string sql = statement.sql;
  state.withRowId = statement.singleTableSelect && HasRowId(statement.table);
  if (state.withRowId) sql.insert(statement.fromPos, std::string(", ") + Quoted(kPgRowId) + " ");
  const std::vector<const char*> values = Values(statement);
  PGresult* opening = values.empty() && statement.singleTableSelect ? TakeOpeningRead(sql) : nullptr;
  ResultGuard result{opening ? opening : statement.singleTableSelect ? Read(sql, values) : Run(sql, values)};
  std::shared_ptr<const PgColumnSet>& described = m_described[ShapeOf(result.result, state.withRowId)];
  if (!described) described = Describe(result.result, state);
  state.columns = described;
  const PgColumnSet& columns = *described;
  state.cells.Reset(columns.stride);
  state.arena.clear();
  state.unread.clear();
  state.rows = 0;
  state.position = 0;
  const int rows = PQntuples(result.result);
  try {
    for (int r = 0; r < rows; ++r) {
      ReadRow(result.result, r, state, columns, state.cells.AppendRow());
      ++state.rows;
    }
  } catch (...) {
    state.cells.Reset(columns.stride);
    state.rows = 0;
    throw;
  }
}

namespace {

// "RETURNING" and the shown columns, then the identity: the written row as the table now holds it.
// `alias`: the table's alias in a statement that reads another relation too, or empty.
std::string Returning(const PgColumnSet& columns, const std::string& alias = std::string()) {
  std::string out = " RETURNING ";
  for (const ColumnInfo& column : columns.columns) {
    out += alias;
    AppendQuotedName(out, column.baseColumnUtf8);
    out += ',';
  }
  out += alias;
  AppendQuotedName(out, kPgRowId);
  return out;
}

Parameters DirtyParameters(const RecordsetState& state, const PgColumnSet& columns) {
  Parameters p;
  for (std::size_t k = 0; k < state.dirty.size() && k < columns.columns.size(); ++k)
    if (state.dirty[k]) p.Add(state.pending[k], ServerType(columns, k));
  return p;
}

// The written row's values, read from a RETURNING result whose columns follow the cells.
void FillFromReturning(const PGresult* result, RecordsetState& state, std::size_t row, int resultRow = 0) {
  const PgColumnSet& columns = Columns(state);
  Cell* cells = state.cells.Row(row);
  for (std::size_t k = 0; k < columns.stride; ++k) ReadCell(result, resultRow, static_cast<int>(k), state, cells[k]);
}

// The name of a built-in type that types the parameters of a VALUES list, or null for any other type (one of
// a stranger's schema is not named in a statement: its values are written one statement per row).
const char* BuiltInTypeName(unsigned type) {
  switch (type) {
    case kBool:
      return "boolean";
    case kBytea:
      return "bytea";
    case kInt8:
      return "bigint";
    case kInt2:
      return "smallint";
    case kInt4:
      return "integer";
    case kFloat4:
      return "real";
    case kFloat8:
      return "double precision";
    case kNumeric:
      return "numeric";
    case kText:
      return "text";
    case kVarchar:
      return "varchar";
    case kBpchar:
      return "bpchar";
    case kDate:
      return "date";
    case kTimestamp:
      return "timestamp";
    case kTimestampTz:
      return "timestamptz";
    default:
      return nullptr;
  }
}

}  // namespace

void PgConnection::UpdateRow(RecordsetState& state) {
  const PgColumnSet& columns = Columns(state);
  CheckWritable(columns.table);
  const auto row = static_cast<std::size_t>(state.position);
  std::string sql = "UPDATE " + QualifiedTable(columns.table) + " SET ";
  Parameters p = DirtyParameters(state, columns);
  std::size_t count = 0;
  for (std::size_t k = 0; k < columns.columns.size(); ++k) {
    if (!state.dirty[k]) continue;
    if (count++) sql += ',';
    AppendQuotedName(sql, columns.columns[k].baseColumnUtf8);
    sql += "=$" + std::to_string(count);
  }
  sql += " WHERE " + Quoted(kPgRowId) + "=$" + std::to_string(count + 1) + Returning(columns);
  const std::string id = std::to_string(state.cells.At(row, columns.stride - 1).i);
  p.texts.push_back(id);
  p.values.push_back("");
  p.lengths.push_back(static_cast<int>(id.size()));
  p.binary.push_back(0);
  p.Finish();
  ResultGuard result{Run(sql, p.values, p.lengths, p.binary)};
  if (PQntuples(result.result) == 0) RowGone(columns);
  FillFromReturning(result.result, state, row);
}

std::size_t PgConnection::UpdateRows(RecordsetState& state) {
  const PgColumnSet& columns = Columns(state);
  CheckWritable(columns.table);
  const std::string idCell = Quoted(kPgRowId);
  constexpr std::size_t kMaxParameters = 65535, kMaxRows = 5000;
  std::size_t statements = 0;
  // Each row binds its id besides its values: one parameter per row of the most a statement holds is kept back.
  ForEachBatchStatement(
      state.edits, kMaxParameters - kMaxRows, kMaxRows, [&](std::size_t first, std::size_t end, std::size_t) {
        if (end - first == 1) {  // UpdateRow's own statement, prepared once for every such row
          statements += UpdateEach(state, first, end);
          return;
        }
        const std::vector<char>& dirty = state.edits[first].dirty;
        // The first row's values carry their types, which type the whole list.
        std::vector<std::size_t> set;
        std::string types = "$1::bigint";
        for (std::size_t k = 0; k < columns.columns.size(); ++k) {
          if (!dirty[k]) continue;
          const char* type = BuiltInTypeName(ServerType(columns, k));
          if (!type) {
            statements += UpdateEach(state, first, end);
            return;
          }
          set.push_back(k);
          types += ",$" + std::to_string(set.size() + 1) + "::" + type;
        }
        std::string sql = "UPDATE " + QualifiedTable(columns.table) + " AS vd_t SET ";
        for (std::size_t c = 0; c < set.size(); ++c) {
          if (c) sql += ',';
          AppendQuotedName(sql, columns.columns[set[c]].baseColumnUtf8);
          sql += "=vd_v.c" + std::to_string(c);
        }
        sql += " FROM (VALUES (" + types + ")";
        Parameters p;
        std::unordered_map<long long, std::size_t> rowOf;  // row id -> the state's row
        std::size_t marker = set.size() + 1;
        for (std::size_t r = first; r < end; ++r) {
          RecordsetState::QueuedRow& edit = state.edits[r];
          const long long id = state.cells.At(edit.row, columns.stride - 1).i;
          rowOf.emplace(id, edit.row);
          PendingValue idValue;
          idValue.kind = CellKind::kInteger;
          idValue.i = id;
          p.Add(idValue, kInt8);
          for (std::size_t k : set) p.Add(edit.values[k], ServerType(columns, k));
          if (r == first) continue;
          sql += ",(";
          for (std::size_t c = 0; c <= set.size(); ++c) sql += (c ? ",$" : "$") + std::to_string(++marker);
          sql += ')';
        }
        sql += ") AS vd_v(vd_id";
        for (std::size_t c = 0; c < set.size(); ++c) sql += ",c" + std::to_string(c);
        sql += ") WHERE vd_t." + idCell + "=vd_v.vd_id" + Returning(columns, "vd_t.");
        p.Finish();
        ResultGuard result{Run(sql, p.values, p.lengths, p.binary)};
        ++statements;
        const int rows = PQntuples(result.result);
        if (static_cast<std::size_t>(rows) != rowOf.size()) RowGone(columns);  // another connection deleted one
        for (int r = 0; r < rows; ++r) {
          const auto row =
              rowOf.find(std::strtoll(PQgetvalue(result.result, r, static_cast<int>(columns.stride) - 1), nullptr, 10));
          if (row != rowOf.end()) FillFromReturning(result.result, state, row->second, r);
        }
      });
  return statements;
}

void PgConnection::InsertRow(RecordsetState& state) {
  const PgColumnSet& columns = Columns(state);
  CheckWritable(columns.table);
  std::string sql = "INSERT INTO " + QualifiedTable(columns.table);
  std::string values;
  std::size_t count = 0;
  for (std::size_t k = 0; k < columns.columns.size(); ++k) {
    if (!state.dirty[k]) continue;
    sql += count ? "," : " (";
    values += count ? "," : " VALUES (";
    ++count;
    AppendQuotedName(sql, columns.columns[k].baseColumnUtf8);
    values += "$" + std::to_string(count);
  }
  sql += count ? ")" + values + ")" : " DEFAULT VALUES";
  sql += Returning(columns);
  Parameters p = DirtyParameters(state, columns);
  p.Finish();
  ResultGuard result{Run(sql, p.values, p.lengths, p.binary)};
  const std::size_t row = state.rows;
  state.cells.Truncate(row);  // a read that failed half way may have left a row behind
  state.cells.AppendRow();
  ++state.rows;
  FillFromReturning(result.result, state, row);
}

std::size_t PgConnection::InsertRows(RecordsetState& state, bool* kept) {
  const PgColumnSet& columns = Columns(state);
  CheckWritable(columns.table);
  // The rows read back in the insert's own round trip, rather than by a read of their names after it. Where
  // the server stores the values as sent and fills no column itself, only the row ids come back and the cells
  // are the values sent: a server's text of a million numbers costs it more than storing them.
  if (kept) *kept = true;
  const std::string returning = kept ? Returning(columns) : std::string();
  const std::string returningId = " RETURNING " + Quoted(kPgRowId);
  const bool plain = kept && !FactsOf(columns.table).filled;
  const std::size_t id = columns.stride - 1;
  const auto asSent = [&](std::size_t first, std::size_t end) {
    if (!plain) return false;
    for (std::size_t r = first; r < end; ++r)
      for (std::size_t k = 0; k < id; ++k)
        if (state.queued[r].dirty[k] && !StoredAsSent(state.queued[r].values[k], ServerType(columns, k))) return false;
    return true;
  };
  const auto keep = [&](PGresult* result, std::size_t first, std::size_t end, bool sent) {
    ResultGuard guard{result};
    if (!kept) return;
    const int rows = PQntuples(result);
    if (sent && static_cast<std::size_t>(rows) != end - first)
      ThrowDbError(kStateGeneral, L"The server did not say which rows it inserted.");
    state.cells.Truncate(state.rows);  // a read that failed half way may have left a row behind
    for (int r = 0; r < rows; ++r) {
      Cell* cells = state.cells.AppendRow();
      ++state.rows;
      if (!sent) {
        for (std::size_t k = 0; k < columns.stride; ++k) ReadCell(result, r, static_cast<int>(k), state, cells[k]);
        continue;
      }
      const RecordsetState::QueuedRow& row = state.queued[first + static_cast<std::size_t>(r)];
      for (std::size_t k = 0; k < id; ++k)
        if (row.dirty[k]) CellAsSent(row.values[k], ServerType(columns, k), state.arena, cells[k]);
      ReadCell(result, r, 0, state, cells[id]);
    }
  };
  // The protocol counts a statement's parameters in 16 bits; every statement is a round trip, so a statement
  // holds as many rows as that allows, up to the few thousand a host's batch holds.
  constexpr std::size_t kMaxParameters = 65535, kMaxRows = 5000;
  return ForEachBatchStatement(state.queued, kMaxParameters, kMaxRows,
                               [&](std::size_t first, std::size_t end, std::size_t width) {
                                 const std::vector<char>& dirty = state.queued[first].dirty;
                                 std::string sql = "INSERT INTO " + QualifiedTable(columns.table);
                                 const bool sent = asSent(first, end);
                                 if (width == 0) {
                                   sql += " DEFAULT VALUES" + (sent ? returningId : returning);
                                   keep(Run(sql), first, end, sent);  // one row: a statement of no values is cut to one
                                   return;
                                 }
                                 AppendColumnList(sql, columns, dirty);
                                 sql += " VALUES ";
                                 Parameters p;
                                 sql.reserve(sql.size() + (end - first) * width * 8 + returning.size());
                                 std::size_t marker = 0;
                                 for (std::size_t r = first; r < end; ++r) {
                                   sql += r == first ? "(" : ",(";
                                   for (std::size_t k = 0; k < columns.columns.size(); ++k) {
                                     if (!dirty[k]) continue;
                                     if (sql.back() != '(') sql += ',';
                                     sql += '$' + std::to_string(++marker);
                                     p.Add(state.queued[r].values[k], ServerType(columns, k));
                                   }
                                   sql += ')';
                                 }
                                 sql += sent ? returningId : returning;
                                 p.Finish();
                                 keep(Run(sql, p.values, p.lengths, p.binary), first, end, sent);
                               });
}

void PgConnection::DeleteRow(RecordsetState& state) {
  const PgColumnSet& columns = Columns(state);
  CheckWritable(columns.table);
  const std::string sql = "DELETE FROM " + QualifiedTable(columns.table) + " WHERE " + Quoted(kPgRowId) + "=$1";
  const std::string id = std::to_string(state.cells.At(static_cast<std::size_t>(state.position), columns.stride - 1).i);
  ResultGuard result{Run(sql, {id.c_str()})};
  if (std::strcmp(PQcmdTuples(result.result), "0") == 0) RowGone(columns);
}

void PgConnection::ReadBack(RecordsetState& state) { state.unread.clear(); }

}  // namespace vdpattern::db
