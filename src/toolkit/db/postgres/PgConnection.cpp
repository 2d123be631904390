#include "toolkit/db/postgres/PgConnection.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>
#include <set>
#include <vdpattern/toolkit/Utf8.h>
#include "toolkit/db/DbError.h"

namespace vdpattern::db {

namespace {

constexpr unsigned kBool = 16, kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26, kFloat4 = 700, kFloat8 = 701,
                   kNumeric = 1700;
constexpr const wchar_t* kOrigin = L"[vdpattern][PostgreSQL]";

// Clears a result when the scope ends, whichever way it ends.
struct ResultGuard {
  PGresult* result;
  ~ResultGuard() {
    if (result) PQclear(result);
  }
};

std::string Quoted(const std::string& name) {
  std::string out;
  AppendQuotedName(out, name);
  return out;
}

// The ODBC state of a server failure (SQLSTATE, five characters), or of a connection that went away.
const char* StateOf(const char* sqlState, bool connectionLost) {
  if (connectionLost) return "08S01";
  if (!sqlState || std::strlen(sqlState) != 5) return kStateGeneral;
  const std::string s(sqlState);
  if (s.compare(0, 2, "23") == 0) return kStateConstraint;
  if (s == "55P03" || s == "57014") return kStateTimeout;
  if (s == "42P01") return kStateNoTable;
  if (s == "42703") return kStateNoColumn;
  if (s.compare(0, 2, "42") == 0) return kStateSyntax;
  if (s.compare(0, 2, "08") == 0) return "08S01";
  if (s == "40001" || s == "40P01") return "40001";
  if (s == "3F000") return kStateCannotOpen;
  return kStateGeneral;
}

bool IsTransactionControl(const std::string& sql) {
  for (const char* word : {"BEGIN", "COMMIT", "ROLLBACK", "END", "SAVEPOINT", "RELEASE", "START"}) {
    const std::size_t n = std::strlen(word);
    if (sql.size() >= n && strncasecmp(sql.c_str(), word, n) == 0 && (sql.size() == n || sql[n] == ' ')) return true;
  }
  return false;
}

// The lifted literals of `statement`, as libpq takes them (pointers into the statement).
std::vector<const char*> Values(const PgStatement& statement) {
  std::vector<const char*> values;
  values.reserve(statement.params.size());
  for (const std::string& value : statement.params) values.push_back(value.c_str());
  return values;
}

// Whether the server can keep `sql` as a prepared statement: a SELECT, INSERT, UPDATE or DELETE.
bool IsPreparable(const std::string& sql) {
  for (const char* word : {"SELECT", "INSERT", "UPDATE", "DELETE"}) {
    const std::size_t n = std::strlen(word);
    if (sql.size() > n && strncasecmp(sql.c_str(), word, n) == 0 && sql[n] == ' ') return true;
  }
  return false;
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
    case kFloat4:
    case kFloat8:
    case kNumeric:
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

const PgColumnSet& Columns(const RecordsetState& state) { return static_cast<const PgColumnSet&>(*state.columns); }

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

PgConnection::PgConnection(const CString& name, const ServerAddress& address, bool readOnly)
    : Connection(name, readOnly, CString()), m_address(address) {}

PgConnection::~PgConnection() {
  if (m_conn) PQfinish(m_conn);
}

std::unique_ptr<PgConnection> PgConnection::Open(const CString& name, const ServerAddress& address, bool readOnly,
                                                 int busyTimeoutMs) {
  std::unique_ptr<PgConnection> c(new PgConnection(name, address, readOnly));
  c->m_lockTimeoutMs = std::max(0, busyTimeoutMs);
  c->Connect();
  return c;
}

void PgConnection::Connect() {
  if (m_conn) PQfinish(m_conn);
  m_conn = PQconnectdb(m_address.conninfo.c_str());
  m_groups.clear();
  m_prepared.clear();  // they lived in the session that ended
  m_seenOnce.clear();
  m_readTransaction = m_readSavepoint = false;
  if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
    CString message;
    message.Format(L"Cannot open the database \"%s\": the server cannot be reached (%s)", name(),
                   VdFromUtf8(m_conn ? PQerrorMessage(m_conn) : "out of memory"));
    if (m_conn) PQfinish(m_conn);
    m_conn = nullptr;
    ThrowDbError(kStateCannotOpen, message);
  }
  // The server's notices ("table does not exist, skipping") would go to the host's standard error.
  PQsetNoticeProcessor(
      m_conn, [](void*, const char*) {}, nullptr);
  try {
    if (PQsetClientEncoding(m_conn, "UTF8") != 0) PgFail(nullptr, "SET client_encoding");
    Exec("SET DateStyle = ISO");
    Exec("SET bytea_output = hex");
    Exec("SET standard_conforming_strings = on");
    if (readOnly()) Exec("SET default_transaction_read_only = on");
    Exec("SET lock_timeout = " + std::to_string(m_lockTimeoutMs));
    Exec("SET statement_timeout = " + std::to_string(m_statementTimeoutS * 1000));
    if (!m_address.catalog.empty()) {
      const char* values[] = {m_address.catalog.c_str()};
      ResultGuard found{Run("SELECT 1 FROM pg_namespace WHERE nspname = $1", {values[0]})};
      if (PQntuples(found.result) == 0) {
        CString message;
        message.Format(L"Cannot open the database \"%s\": the catalog \"%s\" does not exist on the server", name(),
                       VdFromUtf8(m_address.catalog));
        ThrowDbError(kStateCannotOpen, message);
      }
      Exec("SET search_path TO " + Quoted(m_address.catalog));
    }
  } catch (...) {
    PQfinish(m_conn);
    m_conn = nullptr;
    throw;
  }
}

void PgConnection::EnsureConnected() {
  if (m_conn && PQstatus(m_conn) == CONNECTION_OK) return;
  m_described.clear();
  m_rowIdTables.clear();
  m_namesRead = false;
  Connect();
}

void PgConnection::Create(const CString& name, const ServerAddress& address) {
  ServerAddress server = address;
  server.catalog.clear();
  std::unique_ptr<PgConnection> c(new PgConnection(name, server, false));
  c->Connect();
  std::string schema = address.catalog;
  if (schema.empty()) {
    ResultGuard current{c->Run("SELECT current_schema()")};
    if (PQntuples(current.result) == 0 || PQgetisnull(current.result, 0, 0))
      ThrowDbError(kStateCannotOpen, L"Cannot create the catalog: the database has no default schema.");
    schema = PQgetvalue(current.result, 0, 0);
    ResultGuard tables{
        c->Run("SELECT 1 FROM pg_class WHERE relnamespace = to_regnamespace(quote_ident($1)) AND relkind IN "
               "('r','p') LIMIT 1",
               {schema.c_str()})};
    if (PQntuples(tables.result) != 0) {
      CString message;
      message.Format(L"Cannot create the database \"%s\": the schema \"%s\" already holds tables", name,
                     VdFromUtf8(schema));
      ThrowDbError(kStateCannotOpen, message);
    }
  }
  c->Exec("BEGIN");
  try {
    if (!address.catalog.empty()) {
      ResultGuard found{c->Run("SELECT 1 FROM pg_namespace WHERE nspname = $1", {schema.c_str()})};
      if (PQntuples(found.result) != 0) {
        CString message;
        message.Format(L"Cannot create the database \"%s\": the catalog \"%s\" already exists", name,
                       VdFromUtf8(schema));
        ThrowDbError(kStateCannotOpen, message);
      }
      c->Exec("CREATE SCHEMA " + Quoted(schema));
    }
    // The collation lives in the catalog's own schema, which is the only one its statements search.
    c->Exec("CREATE COLLATION IF NOT EXISTS " + Quoted(schema) + "." + kPgNoCase +
            " (provider = icu, locale = 'und-u-ks-level2', deterministic = false)");
    c->Exec("COMMIT");
  } catch (...) {
    if (c->m_conn) PQclear(PQexec(c->m_conn, "ROLLBACK"));
    throw;
  }
}

void PgConnection::PgFail(PGresult* result, const std::string& sql) {
  ResultGuard guard{result};
  const bool lost = !m_conn || PQstatus(m_conn) != CONNECTION_OK;
  const char* sqlState = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* detail = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (!detail) detail = m_conn ? PQerrorMessage(m_conn) : "no connection";
  const char* state = StateOf(sqlState, lost);
  CString message;
  if (std::strcmp(state, kStateTimeout) == 0 && sqlState && std::strcmp(sqlState, "57014") == 0)
    message.Format(L"The statement \"%s\" on the database \"%s\" was stopped after its time limit of %lu s",
                   VdFromUtf8(sql), name(), m_statementTimeoutS);
  else if (std::strcmp(state, kStateTimeout) == 0)
    message.Format(L"The database \"%s\" is locked by another connection; the statement \"%s\" gave up waiting", name(),
                   VdFromUtf8(sql));
  else if (lost)
    message.Format(L"The connection to the database \"%s\" was lost during the statement \"%s\"", name(),
                   VdFromUtf8(sql));
  else
    message.Format(L"The statement \"%s\" failed on the database \"%s\"", VdFromUtf8(sql), name());
  std::string text(detail);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  message += L": ";
  message += CString(VdFromUtf8(text).c_str());
  if (message.GetLength() && message[message.GetLength() - 1] != L'.') message += L'.';
  int native = 0;
  if (sqlState) native = static_cast<int>(std::strtol(sqlState, nullptr, 36));
  throw NewDbException(state, message, native, kOrigin);
}

PGresult* PgConnection::Send(const std::string& sql, const std::vector<const char*>& values,
                             const std::vector<int>& lengths, const std::vector<int>& binary, std::string& prepared) {
  const int count = static_cast<int>(values.size());
  const int* lengthsOrNull = lengths.empty() ? nullptr : lengths.data();
  const int* binaryOrNull = binary.empty() ? nullptr : binary.data();
  prepared.clear();
  const auto it = m_prepared.find(sql);
  if (it != m_prepared.end()) {
    prepared = it->second;
  } else if (IsPreparable(sql) && m_prepared.size() < kMaxPrepared && !m_seenOnce.insert(sql).second) {
    // Seen before: worth a statement of its own on the server from now on.
    m_seenOnce.erase(sql);
    std::string name = "vd_s" + std::to_string(++m_preparedCount);
    PGresult* made = PQprepare(m_conn, name.c_str(), sql.c_str(), count, nullptr);
    const bool ok = made && PQresultStatus(made) == PGRES_COMMAND_OK;
    if (!ok) return made;  // the failure is the statement's own: it is reported as such
    PQclear(made);
    prepared = m_prepared.emplace(sql, std::move(name)).first->second;
  }
  if (m_seenOnce.size() >= kMaxPrepared) m_seenOnce.clear();  // texts seen once are not kept without bound
  if (prepared.empty())
    return PQexecParams(m_conn, sql.c_str(), count, nullptr, values.data(), lengthsOrNull, binaryOrNull, 0);
  return PQexecPrepared(m_conn, prepared.c_str(), count, values.data(), lengthsOrNull, binaryOrNull, 0);
}

PGresult* PgConnection::Run(const std::string& sql, const std::vector<const char*>& values,
                            const std::vector<int>& lengths, const std::vector<int>& binary, bool reads) {
  EnsureConnected();
  const bool control = IsTransactionControl(sql);
  if (control) m_readTransaction = m_readSavepoint = false;
  for (int attempt = 0;; ++attempt) {
    const bool inTransaction = PQtransactionStatus(m_conn) == PQTRANS_INTRANS && !control;
    // In a read-only transaction a read changes nothing that a rollback could lose, so the reads share one
    // savepoint, made by the first of them and kept: a read costs one statement, not three.
    const bool shared = inTransaction && reads && m_readTransaction;
    const bool wrap = inTransaction && !shared;
    if (wrap || (shared && !m_readSavepoint)) {
      PGresult* begun = PQexec(m_conn, "SAVEPOINT vd_statement");
      if (PQresultStatus(begun) != PGRES_COMMAND_OK) PgFail(begun, "SAVEPOINT vd_statement");
      PQclear(begun);
    }
    // What another statement does inside the read-only transaction (a SET) comes after the shared savepoint,
    // where a read that fails would undo it: the next read makes a savepoint of its own, after it.
    m_readSavepoint = shared;
    std::string prepared;
    PGresult* result = Send(sql, values, lengths, binary, prepared);
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
    if (wrap) {
      PGresult* released = PQexec(m_conn, "RELEASE SAVEPOINT vd_statement");
      if (PQresultStatus(released) != PGRES_COMMAND_OK) {
        PQclear(result);
        PgFail(released, "RELEASE SAVEPOINT vd_statement");
      }
      PQclear(released);
    }
    return result;
  }
}

PGresult* PgConnection::Read(const std::string& sql, const std::vector<const char*>& values) {
  return Run(sql, values, {}, {}, true);
}

void PgConnection::Exec(const std::string& sql) { PQclear(Run(sql)); }

void PgConnection::SetBusyTimeout(int milliseconds) {
  m_lockTimeoutMs = std::max(0, milliseconds);
  if (m_conn) Exec("SET lock_timeout = " + std::to_string(m_lockTimeoutMs));
}

void PgConnection::SetQueryTimeout(unsigned long seconds) {
  m_statementTimeoutS = seconds;
  if (m_conn) Exec("SET statement_timeout = " + std::to_string(seconds * 1000));
}

namespace {

// The schema's tables, and the same list as one text (byte order, each name ended by chr(1)), which the search
// probe compares with the list it was built from.
constexpr const char* kTableList =
    "SELECT relname FROM pg_class WHERE relnamespace = to_regnamespace(quote_ident(current_schema())) AND relkind IN "
    "('r','p')";
constexpr const char* kTableSignature =
    "COALESCE((SELECT string_agg(relname::text || chr(1), '' ORDER BY relname::text COLLATE \"C\") FROM pg_class "
    "WHERE relnamespace = to_regnamespace(quote_ident(current_schema())) AND relkind IN ('r','p')), '')";

}  // namespace

void PgConnection::RefreshTables() {
  ResultGuard list{Read(kTableList)};
  std::vector<CVdODBCTableDefInfo> tables;
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
  m_tablesSignature.clear();
  for (const std::string& name : bytes) m_tablesSignature.append(name).push_back('\x01');
  m_tables = std::move(tables);
  m_tablesRead = true;
}

Connection::Probe PgConnection::FirstTableHolding(const std::function<bool(const CVdODBCTableDefInfo&)>& isCandidate,
                                                  const wchar_t* column, const wchar_t* value, CString& table) {
  EnsureConnected();
  if (!m_tablesRead) RefreshTables();
  if (!m_namesRead) RefreshNames();
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
      text += L"SELECT " + std::to_wstring(candidates.size()) + L" AS k FROM [" + info.m_strName.str() + L"] WHERE [" +
              column + tail;
      candidates.push_back(&info);
    }
    std::string probe = "NULL::integer";
    if (!candidates.empty()) {
      text.resize(text.size() - std::wcslen(L" UNION ALL "));
      text += L") AS probe";
      PgStatement statement;
      TranslateToPg(text.c_str(), statement, &m_names);
      probe = "(" + statement.sql + ")";
    }
    try {
      ResultGuard answer{Run("SELECT " + probe + ", " + kTableSignature + " = $1",
                             candidates.empty()
                                 ? std::vector<const char*>{m_tablesSignature.c_str()}
                                 : std::vector<const char*>{m_tablesSignature.c_str(), valueUtf8.c_str()})};
      if (*PQgetvalue(answer.result, 0, 1) != 't') {  // the list changed since it was read
        RefreshTables();
        RefreshNames();
        continue;
      }
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
  RefreshTables();
  return static_cast<int>(m_tables.size());
}

const CVdODBCTableDefInfo& PgConnection::TableAt(std::size_t index) { return TableIn(m_tables, index); }

bool PgConnection::TableByName(const wchar_t* name, CVdODBCTableDefInfo& info) {
  RefreshTables();
  return FindTable(m_tables, name, info);
}

bool PgConnection::InTransaction() const {
  if (!m_conn) return false;
  const PGTransactionStatusType status = PQtransactionStatus(m_conn);
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

bool PgConnection::Begin() {
  EnsureConnected();
  if (InTransaction()) return false;
  BeginWriting();
  return true;
}

void PgConnection::BeginWriting() {
  static const char* const kBegin = "BEGIN; SELECT pg_advisory_xact_lock(hashtext(current_schema()))";
  m_readTransaction = m_readSavepoint = false;
  PGresult* begun = PQexec(m_conn, kBegin);
  if (PQresultStatus(begun) != PGRES_TUPLES_OK) {
    if (m_conn && PQstatus(m_conn) == CONNECTION_OK) PQclear(PQexec(m_conn, "ROLLBACK"));
    PgFail(begun, kBegin);
  }
  PQclear(begun);
}

bool PgConnection::BeginRead() {
  EnsureConnected();
  if (InTransaction()) return false;
  Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  m_readTransaction = true;
  return true;
}

bool PgConnection::Commit() {
  if (!InTransaction()) return false;
  Exec("COMMIT");
  m_groups.clear();
  return true;
}

bool PgConnection::Rollback() {
  if (!InTransaction()) return false;
  Exec("ROLLBACK");
  m_groups.clear();
  return true;
}

// A group outside a transaction makes one, as the file engine's SAVEPOINT does, and ends it with the group.
void PgConnection::BeginSavepoint() {
  EnsureConnected();
  const bool began = !InTransaction();
  if (began) BeginWriting();
  m_readSavepoint = false;  // the group's savepoint comes after it
  try {
    Exec("SAVEPOINT vd_write_group");
  } catch (...) {
    if (began) PQclear(PQexec(m_conn, "ROLLBACK"));
    throw;
  }
  m_groups.push_back(began);
}

void PgConnection::EndSavepoint(bool keep) {
  const bool began = !m_groups.empty() && m_groups.back();
  if (!m_groups.empty()) m_groups.pop_back();
  m_readSavepoint = false;  // a savepoint made inside the group ends with it
  if (!keep) Exec("ROLLBACK TO SAVEPOINT vd_write_group");
  Exec("RELEASE SAVEPOINT vd_write_group");
  if (began) Exec("COMMIT");
}

void PgConnection::RefreshNames() {
  ResultGuard names{Read(
      "SELECT c.relname FROM pg_class c WHERE c.relnamespace = to_regnamespace(quote_ident(current_schema())) "
      "AND c.relkind IN ('r','p','v','m') UNION SELECT a.attname FROM pg_attribute a JOIN pg_class c "
      "ON c.oid = a.attrelid WHERE c.relnamespace = to_regnamespace(quote_ident(current_schema())) AND c.relkind IN "
      "('r','p','v','m') AND a.attnum > 0 AND NOT a.attisdropped")};
  m_names.clear();
  for (int r = 0; r < PQntuples(names.result); ++r) {
    std::string name = PQgetvalue(names.result, r, 0);
    std::string key = name;
    for (char& ch : key)
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
    m_names.emplace(std::move(key), std::move(name));
  }
  m_namesRead = true;
}

template <typename Statement, typename RunIt>
void PgConnection::WithNames(const wchar_t* text, Statement& statement, RunIt run) {
  EnsureConnected();
  if (!m_namesRead) RefreshNames();
  for (int attempt = 0;; ++attempt) {
    TranslateToPg(text, statement, &m_names);
    if (statement.changesSchema) {
      m_described.clear();
      m_rowIdTables.clear();
      m_namesRead = false;
    }
    try {
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

void PgConnection::Execute(const wchar_t* text) {
  PgStatement statement;
  WithNames(text, statement, [&] { PQclear(Run(statement.sql, Values(statement))); });
}

std::unique_ptr<RecordsetState> PgConnection::Query(const wchar_t* text) {
  auto state = std::make_unique<PgRecordsetState>();
  WithNames(text, state->statement, [&] { RunState(*state); });
  return state;
}

void PgConnection::Requery(RecordsetState& state) { RunState(static_cast<PgRecordsetState&>(state)); }

void PgConnection::ReturnState(std::unique_ptr<RecordsetState>) {}

bool PgConnection::HasRowId(const std::string& table) {
  const auto it = m_rowIdTables.find(table);
  if (it != m_rowIdTables.end()) return it->second;
  ResultGuard found{Read(
      "SELECT 1 FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid WHERE c.relnamespace = "
      "to_regnamespace(quote_ident(current_schema())) AND c.relname = $1 AND a.attname = $2 AND NOT a.attisdropped",
      {table.c_str(), kPgRowId})};
  const bool has = PQntuples(found.result) > 0;
  m_rowIdTables.emplace(table, has);
  return has;
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
  ResultGuard result{statement.singleTableSelect ? Read(sql, values) : Run(sql, values)};
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
std::string Returning(const PgColumnSet& columns) {
  std::string out = " RETURNING ";
  for (const ColumnInfo& column : columns.columns) {
    AppendQuotedName(out, column.baseColumnUtf8);
    out += ',';
  }
  AppendQuotedName(out, kPgRowId);
  return out;
}

Parameters DirtyParameters(const RecordsetState& state, const PgColumnSet& columns) {
  Parameters p;
  for (std::size_t k = 0; k < state.dirty.size() && k < columns.columns.size(); ++k)
    if (state.dirty[k]) p.Add(state.pending[k], columns.serverTypes[static_cast<std::size_t>(columns.source[k])]);
  return p;
}

// The written row's values, read from a RETURNING result whose columns follow the cells.
void FillFromReturning(const PGresult* result, RecordsetState& state, std::size_t row) {
  const PgColumnSet& columns = Columns(state);
  Cell* cells = state.cells.Row(row);
  for (std::size_t k = 0; k < columns.stride; ++k) ReadCell(result, 0, static_cast<int>(k), state, cells[k]);
}

}  // namespace

void PgConnection::UpdateRow(RecordsetState& state) {
  const PgColumnSet& columns = Columns(state);
  const auto row = static_cast<std::size_t>(state.position);
  std::string sql = "UPDATE " + Quoted(columns.table) + " SET ";
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

void PgConnection::InsertRow(RecordsetState& state) {
  const PgColumnSet& columns = Columns(state);
  std::string sql = "INSERT INTO " + Quoted(columns.table);
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

void PgConnection::DeleteRow(RecordsetState& state) {
  const PgColumnSet& columns = Columns(state);
  const std::string sql = "DELETE FROM " + Quoted(columns.table) + " WHERE " + Quoted(kPgRowId) + "=$1";
  const std::string id = std::to_string(state.cells.At(static_cast<std::size_t>(state.position), columns.stride - 1).i);
  ResultGuard result{Run(sql, {id.c_str()})};
  if (std::strcmp(PQcmdTuples(result.result), "0") == 0) RowGone(columns);
}

void PgConnection::ReadBack(RecordsetState& state) { state.unread.clear(); }

}  // namespace vdpattern::db
