#include "db/postgres/PgConnection.h"

#include <libpq-fe.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// How long a write group of the library's own may sit idle on the server before the server ends it.
constexpr int kOwnGroupIdleMs = 60000;
// A write group's savepoint, as BeginSavepoint defers it.
constexpr const char* kGroupSavepoint = "SAVEPOINT vd_write_group";

// "program (user@host)", as the server shows it in pg_stat_activity: who holds a lock, for an administrator.
std::string ApplicationName() {
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "?");
  const passwd* user = getpwuid(geteuid());
  return std::string(program_invocation_short_name) + " (" + (user && user->pw_name ? user->pw_name : "?") + "@" +
         host + ")";
}

// Connects with keepalives (a writer whose network dropped is noticed in about a minute, not two hours), a name
// for the session, and the session's settings in the startup message (`settings`: "-c name=value" options), so
// that none of them costs a round trip. What the address itself sets wins, since its keys are read after these;
// its own "options" come after ours.
PGconn* ConnectWithDefaults(const std::string& conninfo, const std::string& settings) {
  const std::string name = ApplicationName();
  std::string options = settings;
  if (PQconninfoOption* given = PQconninfoParse(conninfo.c_str(), nullptr)) {
    for (const PQconninfoOption* o = given; o->keyword; ++o)
      if (std::strcmp(o->keyword, "options") == 0 && o->val && *o->val) options += std::string(" ") + o->val;
    PQconninfoFree(given);
  }
  const char* const keys[] = {"keepalives",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "fallback_application_name",
                              "dbname",
                              "client_encoding",
                              "options",
                              nullptr};
  const char* const values[] = {"1", "30", "10", "3", name.c_str(), conninfo.c_str(), "UTF8", options.c_str(), nullptr};
  return PQconnectdbParams(keys, values, 1);
}

}  // namespace

PgConnection::PgConnection(const CString& name, const ServerAddress& address, bool readOnly)
    : Connection(name, readOnly, CString()), m_address(address) {}

PgConnection::~PgConnection() {
  DropOpeningReads();
  if (m_conn) PQfinish(m_conn);
}

namespace {

// The catalog's tables it reads whole as it opens, and how long after the opening their answers stand for a
// read: a read made later asks the server, since another connection may have written them meanwhile.
constexpr const char* kOpeningTables[] = {"Definition", "FamilyDescription", "Units"};
constexpr int kOpeningReadsMs = 2000;

}  // namespace

void PgConnection::DropOpeningReads() {
  m_openingTables = m_tablesConfirmed = false;
  for (auto& read : m_openingReads) PQclear(read.second);
  m_openingReads.clear();
}

bool PgConnection::TakeOpeningTables() {
  const bool fresh = std::chrono::steady_clock::now() - m_openedAt < std::chrono::milliseconds(kOpeningReadsMs);
  const bool confirmed = m_tablesConfirmed && std::chrono::steady_clock::now() - m_tablesConfirmedAt <
                                                  std::chrono::milliseconds(kOpeningReadsMs);
  const bool taken = ((m_openingTables && fresh) || confirmed) && m_tablesRead;
  m_openingTables = m_tablesConfirmed = false;
  return taken;
}

// The names read as the catalog opened stand for the first call only, within the opening's time: later, inside a
// transaction (which reads its own state), or once this connection changed the schema (the names are then
// unread), another connection may have changed it too.
bool PgConnection::TakeOpeningColumns() {
  const bool fresh = std::chrono::steady_clock::now() - m_openedAt < std::chrono::milliseconds(kOpeningReadsMs);
  const bool taken = m_openingColumns && fresh && m_namesRead && !InTransaction();
  m_openingColumns = false;
  return taken;
}

PGresult* PgConnection::TakeOpeningRead(const std::string& sql) {
  if (m_openingReads.empty()) return nullptr;
  const auto it = m_openingReads.find(sql);
  const bool fresh = std::chrono::steady_clock::now() - m_openedAt < std::chrono::milliseconds(kOpeningReadsMs);
  if (it == m_openingReads.end() || !fresh) {
    DropOpeningReads();
    return nullptr;
  }
  PGresult* result = it->second;
  m_openingReads.erase(it);
  return result;
}

std::unique_ptr<PgConnection> PgConnection::Open(const CString& name, const ServerAddress& address, bool readOnly,
                                                 int busyTimeoutMs) {
  std::unique_ptr<PgConnection> c(new PgConnection(name, address, readOnly));
  c->m_lockTimeoutMs = std::max(0, busyTimeoutMs);
  c->Connect();
  return c;
}

void PgConnection::Connect() {
  DropOpeningReads();
  m_openingColumns = false;
  if (m_conn) PQfinish(m_conn);
  m_ahead.clear();  // their answers ended with the session
  m_inTransaction = false;
  m_schema = m_address.catalog;
  // Nothing a writer of the catalog can create in is searched: every table is qualified with the schema. A
  // row-level policy would run its code with the reader's rights: such a read fails instead. Without a catalog
  // key the schema is the one the user's own path finds, asked for below before the path is set.
  std::string settings =
      "-c DateStyle=ISO -c bytea_output=hex -c standard_conforming_strings=on -c lock_timeout=" + LockTimeoutSetting() +
      " -c statement_timeout=" + std::to_string(m_statementTimeoutS * 1000);
  if (readOnly()) settings += " -c default_transaction_read_only=on";
  if (!m_schema.empty()) settings += " -c search_path=pg_catalog,pg_temp -c row_security=off";
  m_conn = ConnectWithDefaults(m_address.conninfo, settings);
  m_pendingSettings.clear();
  m_settingsInTransaction.clear();
  m_groups.clear();
  m_changedAtGroup.clear();
  m_changeRecorded = m_listening = false;  // the new session listens to nothing yet
  m_prepared.clear();                      // they lived in the session that ended
  m_seenOnce.clear();
  m_readTransaction = m_readSavepoint = false;
  m_deferred.clear();
  m_writeLocked = m_namesUnderLock = false;
  if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
    CString message;
    message.Format(L"Cannot open the database \"%s\": %s", name(), VdFromUtf8(ConnectFailure(m_conn)));
    if (m_conn) PQfinish(m_conn);
    m_conn = nullptr;
    ThrowDbError(kStateCannotOpen, message);
  }
  // The server's notices ("table does not exist, skipping") would go to the host's standard error.
  PQsetNoticeProcessor(
      m_conn, [](void*, const char*) {}, nullptr);
  try {
    if (m_schema.empty()) {  // the database's default schema, as the user's own search path finds it
      ResultGuard current{Run("SELECT pg_catalog.current_schema()")};
      if (PQntuples(current.result) == 1 && !PQgetisnull(current.result, 0, 0))
        m_schema = PQgetvalue(current.result, 0, 0);
      // Qualified, since the path is still the user's own.
      Exec(
          "SELECT pg_catalog.set_config('search_path', 'pg_catalog, pg_temp', false), "
          "pg_catalog.set_config('row_security', 'off', false)");
    }
    m_schemaOid.clear();
    m_lockKey = "0";
    if (!m_schema.empty()) CheckSchema();
  } catch (...) {
    PQfinish(m_conn);
    m_conn = nullptr;
    throw;
  }
}

void PgConnection::CheckRights(PGresult* schemaRow) {
  CString reason;
  if (*PQgetvalue(schemaRow, 0, 4) == 't')
    reason = L"The catalog is read-only: the server accepts no writes (a standby, or read-only by its settings).";
  else if (*PQgetvalue(schemaRow, 0, 5) != 't')
    reason.Format(
        L"The role \"%s\" may only read the catalog \"%s\": it may neither create tables in its schema nor change "
        L"the rows of any of its tables; its administrator grants writing (GRANT INSERT, UPDATE, DELETE on its "
        L"tables).",
        VdFromUtf8(PQgetvalue(schemaRow, 0, 6)), VdFromUtf8(m_schema));
  if (!reason.IsEmpty()) SetReadOnly(reason);
}

bool PgConnection::SendPiped(const std::vector<Piped>& statements) {
  bool sent = true;
  for (const Piped& p : statements)
    sent = sent && PQsendQueryParams(m_conn, p.sql.c_str(), static_cast<int>(p.values.size()), nullptr, p.values.data(),
                                     nullptr, nullptr, 0) == 1;
  return sent && PQpipelineSync(m_conn) == 1;
}

std::vector<PGresult*> PgConnection::ReadPipeline(std::size_t expected, bool sent) {
  std::vector<PGresult*> results = ReadToSync(expected, sent);
  PQexitPipelineMode(m_conn);
  return results;
}

std::vector<PGresult*> PgConnection::ReadToSync(std::size_t expected, bool sent) {
  std::vector<PGresult*> results;
  for (std::size_t k = 0; sent && k < expected; ++k) {
    PGresult* result = PQgetResult(m_conn);
    if (!result) break;
    results.push_back(result);
    while (PGresult* rest = PQgetResult(m_conn)) PQclear(rest);  // up to the end of this statement's answer
  }
  // The end of the pipeline (its sync), unless the connection went first.
  if (sent) DrainToSync();
  return results;
}

std::vector<PGresult*> PgConnection::Pipeline(const std::vector<Piped>& statements) {
  if (PQenterPipelineMode(m_conn) != 1) PgFail(nullptr, statements.front().sql);
  std::vector<PGresult*> results = ReadPipeline(statements.size(), SendPiped(statements));
  if (results.size() < statements.size()) {
    for (PGresult* r : results) PQclear(r);
    PgFail(nullptr, statements.front().sql);  // the connection's own error
  }
  return results;
}

void PgConnection::CheckSchema() {
  // One round trip: the schema, its write lock's key, every collation of its case-blind name next to those
  // made as the library makes them, owned by the schema's owner or a member of that role (who could act as the
  // owner anyway; a database's public schema belongs to pg_database_owner, the database's owner makes its
  // collation), whether the role may write (CheckRights); and the names of its tables, piped with it.
  static const char* const kSchema =
      "SELECT n.oid, hashtext(n.nspname), (SELECT count(*) FROM pg_collation c WHERE c.collnamespace = n.oid AND "
      "c.collname = $2), (SELECT count(*) FROM pg_collation c WHERE c.collnamespace = n.oid AND c.collname = $2 AND "
      "c.collprovider = 'i' AND NOT c.collisdeterministic AND pg_has_role(c.collowner, n.nspowner, 'MEMBER') AND "
      "COALESCE(to_jsonb(c) ->> 'colliculocale', to_jsonb(c) ->> 'colllocale') = $3), "
      "current_setting('transaction_read_only') = 'on' OR pg_is_in_recovery(), has_schema_privilege(n.oid, "
      "'CREATE') OR EXISTS (SELECT 1 FROM pg_class c WHERE c.relnamespace = n.oid AND c.relkind IN ('r','p') AND "
      "has_table_privilege(c.oid, 'INSERT, UPDATE, DELETE')), CURRENT_USER, hashtext($1), has_schema_privilege(n.oid, "
      "'USAGE') "
      "FROM (SELECT 0) AS one LEFT JOIN pg_namespace n ON n.nspname = $1";
  // The catalog's first reads, worded as a read of a library-made table is sent (RunState: the statement
  // "Select * From [T]" with the row identity added); on a table without it the text differs and is not used.
  std::vector<Piped> statements = {
      {kSchema, {m_schema.c_str(), kPgNoCase, kPgNoCaseLocale}},
      {NamesQuery("(SELECT oid FROM pg_namespace WHERE nspname = $1)"), {m_schema.c_str(), kPgRowId}}};
  if (!m_pendingCreate)
    for (const char* table : kOpeningTables)
      statements.push_back({"Select * , " + Quoted(kPgRowId) + " From " + QualifiedTable(table), {}});
  std::vector<PGresult*> answers = Pipeline(statements);
  ResultGuard found{answers[0]}, names{answers[1]};
  std::vector<std::pair<std::string, PGresult*>> reads;
  for (std::size_t k = 2; k < answers.size(); ++k) {
    if (PQresultStatus(answers[k]) == PGRES_TUPLES_OK)
      reads.emplace_back(statements[k].sql, answers[k]);
    else
      PQclear(answers[k]);
  }
  struct Keep {  // the reads are the connection's once the schema is known to be the catalog's
    std::vector<std::pair<std::string, PGresult*>>& reads;
    ~Keep() {
      for (auto& r : reads) PQclear(r.second);
    }
  } keep{reads};
  for (ResultGuard* answer : {&found, &names}) {
    if (PQresultStatus(answer->result) == PGRES_TUPLES_OK) continue;
    PGresult* failed = answer->result;
    answer->result = nullptr;  // PgFail clears it
    PgFail(failed, answer == &found ? kSchema : "SELECT (the names of the catalog's tables)");
  }
  CString message;
  const bool exists = !PQgetisnull(found.result, 0, 0);
  if (!exists && m_pendingCreate) {
    m_lockKey = PQgetvalue(found.result, 0, 7);  // made by the first transaction, under the key its name will have
    return;
  }
  if (!exists) {
    message.Format(L"Cannot open the database \"%s\": the catalog \"%s\" does not exist on the server", name(),
                   VdFromUtf8(m_schema));
    ThrowDbError(kStateCannotOpen, message);
  }
  if (*PQgetvalue(found.result, 0, 8) != 't') {  // else every read fails as if the catalog held nothing
    message.Format(
        L"Cannot open the database \"%s\": the role \"%s\" has no access to the catalog \"%s\" (no USAGE on "
        L"its schema); its administrator grants reading (GRANT USAGE ON SCHEMA, then GRANT SELECT ON ALL TABLES IN "
        L"SCHEMA)",
        name(), VdFromUtf8(PQgetvalue(found.result, 0, 6)), VdFromUtf8(m_schema));
    ThrowDbError(kStateCannotOpen, message);
  }
  if (std::strcmp(PQgetvalue(found.result, 0, 2), PQgetvalue(found.result, 0, 3)) != 0) {
    message.Format(
        L"Cannot open the database \"%s\": the collation %s of the catalog \"%s\" is not the one the "
        L"library makes (an ICU collation '%s' that ignores case, owned by the owner of the schema); "
        L"someone else may have replaced it",
        name(), VdFromUtf8(kPgNoCase), VdFromUtf8(m_schema), VdFromUtf8(kPgNoCaseLocale));
    ThrowDbError(kStateCannotOpen, message);
  }
  m_schemaOid = PQgetvalue(found.result, 0, 0);
  m_lockKey = PQgetvalue(found.result, 0, 1);
  if (!readOnly() && !m_pendingCreate) CheckRights(found.result);
  ReadNames(names.result);
  m_openedAt = std::chrono::steady_clock::now();
  m_openingTables = m_openingColumns = true;
  for (auto& r : reads) m_openingReads.emplace(r.first, r.second);
  reads.clear();
}

void PgConnection::EnsureConnected() {
  Settle();
  if (m_lostTransaction) ThrowLostTransaction();
  if (m_conn && PQstatus(m_conn) == CONNECTION_OK) return;
  ForgetSchema();
  Connect();
}

std::unique_ptr<PgConnection> PgConnection::OpenNew(const CString& name, const ServerAddress& address,
                                                    int busyTimeoutMs) {
  std::unique_ptr<PgConnection> c(new PgConnection(name, address, false));
  c->m_lockTimeoutMs = std::max(0, busyTimeoutMs);
  c->m_pendingCreate = true;
  c->Connect();
  std::string schema = address.catalog;
  if (schema.empty()) {
    if (c->m_schema.empty())
      ThrowDbError(kStateCannotOpen, L"Cannot create the catalog: the database has no default schema.");
    schema = c->m_schema;
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
  } else {
    ResultGuard found{c->Run("SELECT 1 FROM pg_namespace WHERE nspname = $1", {schema.c_str()})};
    if (PQntuples(found.result) != 0) {
      CString message;
      message.Format(L"Cannot create the database \"%s\": the catalog \"%s\" already exists", name, VdFromUtf8(schema));
      ThrowDbError(kStateCannotOpen, message);
    }
    c->m_creation = "CREATE SCHEMA " + Quoted(schema) + "; ";
  }
  // The collation lives in the catalog's own schema, owned with it by its maker (Connect checks both).
  c->m_creation += "CREATE COLLATION IF NOT EXISTS " + Quoted(schema) + "." + kPgNoCase +
                   " (provider = icu, locale = '" + kPgNoCaseLocale + "', deterministic = false); ";
  return c;
}

void PgConnection::Create(const CString& name, const ServerAddress& address) {
  std::unique_ptr<PgConnection> c = OpenNew(name, address, 0);
  c->Begin();
  try {
    c->Commit();
  } catch (...) {
    c->Rollback();
    throw;
  }
}

// A time-out of 0 means "do not wait", as on a file; the server's 0 would wait for ever.
std::string PgConnection::LockTimeoutSetting() const { return std::to_string(std::max(1, m_lockTimeoutMs)); }

// A new setting rides with the next statement (Send): a command that sets its time limits after opening pays no
// round trip for them. Inside a transaction it is sent at once, so that it holds from the next statement on
// whatever becomes of a pipeline's implicit transaction.
void PgConnection::SetBusyTimeout(int milliseconds) {
  milliseconds = std::max(0, milliseconds);
  if (milliseconds == m_lockTimeoutMs) return;
  m_lockTimeoutMs = milliseconds;
  if (m_conn) NoteSetting("lock_timeout", LockTimeoutSetting());
}

void PgConnection::SetQueryTimeout(unsigned long seconds) {
  if (seconds == m_statementTimeoutS) return;
  m_statementTimeoutS = seconds;
  if (m_conn) NoteSetting("statement_timeout", std::to_string(seconds * 1000));
}

void PgConnection::NoteSetting(const char* name, const std::string& value) {
  const std::string call = std::string("pg_catalog.set_config('") + name + "', '" + value + "', false)";
  if (InTransaction()) {
    Exec("SELECT " + call);
    JoinSettings(m_settingsInTransaction, "SELECT " + call);
    return;
  }
  JoinSettings(m_pendingSettings, "SELECT " + call);
}

// The settings the transaction carried are undone with it: sent again with the next statement, before any newer.
void PgConnection::SettingsUndone() {
  std::string undone = std::move(m_settingsInTransaction);
  m_settingsInTransaction.clear();
  JoinSettings(undone, m_pendingSettings);
  m_pendingSettings = std::move(undone);
}

void PgConnection::JoinSettings(std::string& to, const std::string& calls) {
  static constexpr std::string_view kSelect = "SELECT ";
  if (calls.empty()) return;
  to += to.empty() ? calls : ", " + calls.substr(kSelect.size());
}

void PgConnection::DrainToSync() {
  while (PQstatus(m_conn) == CONNECTION_OK) {
    PGresult* rest = PQgetResult(m_conn);
    if (!rest) continue;
    const bool end = PQresultStatus(rest) == PGRES_PIPELINE_SYNC;
    PQclear(rest);
    if (end) return;
  }
}

// A setting sent in a transaction would be undone with it: pending ones go first, on their own.
void PgConnection::FlushSettings() {
  if (m_pendingSettings.empty() || !m_conn) return;
  const std::string settings = std::move(m_pendingSettings);
  m_pendingSettings.clear();
  PGresult* set = PQexec(m_conn, settings.c_str());
  if (PQresultStatus(set) != PGRES_TUPLES_OK) PgFail(set, settings);
  PQclear(set);
}

bool PgConnection::InTransaction() const {
  if (m_lostTransaction) return true;
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

void PgConnection::BeginWriting(bool ownGroup) {
  // A catalog not made yet is made first, inside the transaction: its schema exists once the first commit
  // keeps it, and a rollback or a connection that ends leaves nothing behind. The lock's key is a number the
  // server computed at Connect (CheckSchema): no name is part of the text.
  const std::string lock = "SELECT pg_advisory_xact_lock(" + m_lockKey + ")";
  const std::string idle = "SET LOCAL idle_in_transaction_session_timeout = " + std::to_string(kOwnGroupIdleMs);
  const std::string begin =
      "BEGIN; " + (m_pendingCreate ? m_creation : std::string()) + lock + (ownGroup ? "; " + idle : std::string());
  m_readTransaction = m_readSavepoint = false;
  m_inTransaction = false;  // a loss during BEGIN ends no transaction of the host's
  m_settingsInTransaction.clear();
  m_changeRecorded = false;
  m_changedAtGroup.clear();
  m_deferred.clear();
  m_writeLocked = m_namesUnderLock = false;
  if (!m_pendingCreate && !m_schemaOid.empty()) {
    BeginLocked(lock, ownGroup ? idle : std::string(), begin);
    return;
  }
  FlushSettings();
  PGresult* begun = PQexec(m_conn, begin.c_str());
  if (PQresultStatus(begun) != PGRES_TUPLES_OK) {
    if (m_conn && PQstatus(m_conn) == CONNECTION_OK) PQclear(PQexec(m_conn, "ROLLBACK"));
    PgFail(begun, begin);
  }
  PQclear(begun);
  m_writeLocked = true;
  if (!m_pendingCreate) return;
  ForgetSchema();  // what was read before the schema existed
  ResultGuard made{Run("SELECT oid FROM pg_namespace WHERE nspname = $1", {m_schema.c_str()})};
  if (PQntuples(made.result) == 1) m_schemaOid = PQgetvalue(made.result, 0, 0);
}

// One round trip, one sync: BEGIN, the pending settings, the write lock and the names as they stand once the lock
// is held, so that the write's lookups of the library's own tables need no statement of their own. The settings
// go inside the transaction, which a rollback would undo: they are kept (m_settingsInTransaction) to be sent
// again then. A sync of their own would let the server answer them before the rest is sent: a second turn
// whenever the client is slow to send it.
void PgConnection::BeginLocked(const std::string& lock, const std::string& idle, const std::string& begin) {
  const std::string settings = std::move(m_pendingSettings);
  m_pendingSettings.clear();
  const std::string names = NamesQuery("$1::oid");
  std::vector<Piped> sent;
  sent.push_back({"BEGIN", {}});
  if (!settings.empty()) sent.push_back({settings, {}});
  sent.push_back({lock, {}});
  if (!idle.empty()) sent.push_back({idle, {}});
  sent.push_back({names, {m_schemaOid.c_str(), kPgRowId}});
  if (PQenterPipelineMode(m_conn) != 1) PgFail(nullptr, begin);
  std::vector<PGresult*> results = ReadPipeline(sent.size(), SendPiped(sent));
  struct Clear {
    std::vector<PGresult*>& results;
    ~Clear() {
      for (PGresult* r : results) PQclear(r);
    }
  } clear{results};
  const auto good = [](PGresult* r) {
    return PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
  };
  // The first statement that failed is the failure; a setting refused fails the BEGIN it came with, as before,
  // and is not sent again. Settings undone with a failure after them are.
  PGresult* failed = nullptr;
  std::string failedSql = begin;
  bool settingFailed = false;
  for (std::size_t k = 0; k < results.size() && !failed; ++k)
    if (!good(results[k])) {
      failed = results[k];
      results[k] = nullptr;
      settingFailed = k == 1 && !settings.empty();
      if (settingFailed) failedSql = settings;
    }
  if (failed || results.size() < sent.size()) {
    if (!settingFailed) m_pendingSettings = settings;
    if (m_conn && PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) != PQTRANS_IDLE)
      PQclear(PQexec(m_conn, "ROLLBACK"));
    PgFail(failed, failedSql);
  }
  m_settingsInTransaction = settings;
  m_writeLocked = true;
  ReadNames(results.back());
}

void PgConnection::ForgetSchema() {
  DropOpeningReads();
  m_openingColumns = false;
  m_described.clear();
  m_rowIdTables.clear();
  m_namesRead = m_tablesRead = false;
}

bool PgConnection::BeginRead() {
  EnsureConnected();
  if (InTransaction()) return false;
  m_writeLocked = m_namesUnderLock = false;
  Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  m_readTransaction = true;
  return true;
}

bool PgConnection::Commit() {
  if (!InTransaction()) return false;
  if (m_lostTransaction) ThrowLostTransaction();
  CommitWithNotice();
  m_groups.clear();
  m_pendingCreate = false;
  return true;
}

// A transaction whose connection ends is undone by the server, so a rollback that finds the connection gone
// (now or at an earlier call) has done its work.
bool PgConnection::Rollback() {
  if (!InTransaction()) return false;
  Settle(true);        // what failed ahead is undone with the rest
  m_deferred.clear();  // undone with the rest
  struct Undone {      // once the ROLLBACK has gone: pending settings would be sent in front of it, and undone
    PgConnection& connection;
    ~Undone() { connection.SettingsUndone(); }
  } undone{*this};
  m_writeLocked = m_namesUnderLock = false;
  m_groups.clear();
  m_changedAtGroup.clear();
  m_changeRecorded = false;
  if (m_pendingCreate) {  // the tables made with the schema are gone with it, and so is a schema it made
    ForgetSchema();
    if (!m_address.catalog.empty()) m_schemaOid.clear();
  }
  if (m_lostTransaction) {
    m_lostTransaction = m_lostAhead = false;
    return true;
  }
  try {
    Exec("ROLLBACK");
  } catch (CDBException* e) {
    if (!m_lostTransaction) throw;
    e->Delete();
    m_lostTransaction = false;
  }
  return true;
}

// A group outside a transaction makes one, as the file engine's SAVEPOINT does, and ends it with the group.
void PgConnection::BeginSavepoint() {
  EnsureConnected();
  const bool began = !InTransaction();
  if (began) BeginWriting(true);
  m_readSavepoint = false;  // the group's savepoint comes after it
  // Sent with the group's first statement: a group that sends none costs nothing. The savepoint fails only where
  // the transaction failed already, which that statement then reports.
  m_deferred.push_back(kGroupSavepoint);
  m_groups.push_back(began);
  m_changedAtGroup.push_back(m_changeRecorded);
}

void PgConnection::EndSavepoint(bool keep) {
  Settle(true);  // a failure ahead loses the transaction: said below, as any lost transaction is
  const bool began = !m_groups.empty() && m_groups.back();
  if (!m_groups.empty()) m_groups.pop_back();
  if (!m_changedAtGroup.empty()) {
    if (!keep) m_changeRecorded = m_changedAtGroup.back();  // the records it wrote are undone with it
    m_changedAtGroup.pop_back();
  }
  m_readSavepoint = false;  // a savepoint made inside the group ends with it
  // A savepoint still waiting to be sent: the group sent nothing, so there is nothing to keep or undo.
  const bool unsent = !m_deferred.empty() && m_deferred.back() == kGroupSavepoint;
  if (unsent) m_deferred.pop_back();
  if (m_lostTransaction) {
    // The group's writes are gone with the transaction: undoing them is done, keeping them cannot be.
    m_deferred.clear();
    CDBException* lost = keep ? LostTransactionError() : nullptr;  // says why, before that is forgotten
    if (began) m_lostTransaction = m_lostAhead = false;
    if (lost) throw lost;
    return;
  }
  if (!unsent) {
    if (!keep) {
      Exec("ROLLBACK TO SAVEPOINT vd_write_group");
      Exec("RELEASE SAVEPOINT vd_write_group");
    } else {
      m_deferred.push_back("RELEASE SAVEPOINT vd_write_group");  // goes with the next statement or the COMMIT
    }
  }
  if (began) {
    CommitWithNotice();
    m_pendingCreate = false;
  }
}

void PgConnection::CommitWithNotice() {
  Settle();
  // A transaction the server has aborted answers COMMIT with a ROLLBACK that reports success: never taken for a
  // commit.
  if (m_conn && PQtransactionStatus(m_conn) == PQTRANS_INERROR)
    ThrowDbError(kStateGeneral, L"The transaction on the database \"" + name() +
                                    L"\" failed before its end and cannot be kept; it must be rolled back.");
  m_changedAtGroup.clear();
  m_writeLocked = m_namesUnderLock = false;
  if (!m_changeRecorded || m_schemaOid.empty()) {
    try {
      Exec("COMMIT");  // after the deferred statements, in its round trip (Send)
    } catch (...) {
      SettingsUndone();
      throw;
    }
    m_settingsInTransaction.clear();
    return;
  }
  m_changeRecorded = false;
  // All in one text: a failed statement leaves the transaction aborted and uncommitted, for the caller to roll back.
  std::string sql;
  for (const std::string& deferred : m_deferred) sql += deferred + "; ";
  m_deferred.clear();
  sql += "SELECT pg_notify('" + ChangeChannel() + "', (SELECT max(seq) FROM " + QualifiedTable("vd_change") +
         ")::text); COMMIT";
  DropOpeningReads();
  m_inTransaction = true;
  m_readTransaction = m_readSavepoint = false;
  PGresult* done = PQexec(m_conn, sql.c_str());
  if (PQresultStatus(done) != PGRES_COMMAND_OK) {
    SettingsUndone();
    PgFail(done, sql);
  }
  PQclear(done);
  m_settingsInTransaction.clear();
}

bool PgConnection::NamesTrusted() const {
  return m_namesUnderLock && m_writeLocked && m_namesRead && !m_lostTransaction && m_conn &&
         PQtransactionStatus(m_conn) == PQTRANS_INTRANS;
}

void PgConnection::FlushDeferred() {
  if (m_deferred.empty() || !m_conn) return;
  std::string sql;
  for (const std::string& deferred : m_deferred) sql += (sql.empty() ? "" : "; ") + deferred;
  m_deferred.clear();
  PGresult* done = PQexec(m_conn, sql.c_str());
  if (PQresultStatus(done) != PGRES_COMMAND_OK) {
    SettingsUndone();
    PgFail(done, sql);
  }
  PQclear(done);
  m_settingsInTransaction.clear();
}

void PgConnection::Settle(bool quiet) {
  if (m_ahead.empty()) return;
  const std::vector<Ahead> ahead = std::move(m_ahead);
  m_ahead.clear();
  PGresult* failed = nullptr;
  std::string failedSql = ahead.front().sql;
  bool cut = false;  // the connection went before every answer came
  for (std::size_t k = 0; k < ahead.size() && !cut; ++k) {
    const std::vector<PGresult*> results = ReadToSync(ahead[k].statements, ahead[k].sent);
    cut = results.size() < ahead[k].statements;
    for (PGresult* result : results) {
      const ExecStatusType status = PQresultStatus(result);
      if (!failed && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        failed = result;
        failedSql = ahead[k].sql;
      } else {
        PQclear(result);
      }
    }
  }
  PQexitPipelineMode(m_conn);
  if (!failed && !cut) return;
  m_inTransaction = true;  // what is lost now is the transaction the statements went in
  const bool connected = !cut && m_conn && PQstatus(m_conn) == CONNECTION_OK;
  if (connected) {
    // The server aborted the transaction at the failure; ended now, it holds the write lock no longer, and the
    // calls that follow fail as after a lost connection until the host rolls back.
    PQclear(PQexec(m_conn, "ROLLBACK"));
    m_lostAhead = true;
  }
  try {
    PgFail(failed, failedSql);
  } catch (CDBException* e) {
    m_lostTransaction = true;
    m_writeLocked = m_namesUnderLock = false;
    m_deferred.clear();
    m_lostAheadWhy = e->m_strError;
    if (!quiet) throw;
    e->Delete();
  }
}

void PgConnection::NoteChangeRecorded() {
  if (InTransaction()) {
    m_changeRecorded = true;
    return;
  }
  // A record written outside a transaction is committed already: its notice goes on its own.
  if (!m_schemaOid.empty())
    Exec("SELECT pg_notify('" + ChangeChannel() + "', (SELECT max(seq) FROM " + QualifiedTable("vd_change") +
         ")::text)");
}

bool PgConnection::WaitForChangeNotice(int timeoutMs) {
  if (InTransaction()) return Connection::WaitForChangeNotice(timeoutMs);
  EnsureConnected();
  if (!m_listening) {
    // A change committed before the LISTEN took effect told nobody: the caller looks at the records again.
    Exec("LISTEN " + Quoted(ChangeChannel()));
    m_listening = true;
    return true;
  }
  const auto noticed = [this] {
    bool any = false;
    while (PGnotify* notice = PQnotifies(m_conn)) {
      any = true;
      PQfreemem(notice);
    }
    return any;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  for (;;) {
    if (noticed()) return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd socket{PQsocket(m_conn), POLLIN, 0};
    const int ready = poll(&socket, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return false;  // nothing to wait on: the caller looks again
    if (ready > 0 && PQconsumeInput(m_conn) != 1) {
      m_inTransaction = false;
      PgFail(nullptr, "LISTEN " + Quoted(ChangeChannel()));
    }
  }
}

std::string PgConnection::QualifiedTable(const std::string& table) const {
  return m_schema.empty() ? Quoted(table) : Quoted(m_schema) + "." + Quoted(table);
}

}  // namespace vdpattern::db
