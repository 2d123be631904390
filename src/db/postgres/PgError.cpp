// How the server engine reports a failure: the ODBC state of a server error, and a message that names the
// statement and the database.
#include "db/postgres/PgConnection.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>
#include <set>
#include <string>
#include <vector>
#include <vdpattern/toolkit/Utf8.h>
#include "db/DbError.h"
#include "db/postgres/PgInternal.h"

namespace vdpattern::db {

using namespace pg;

namespace {

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

// Whether `sql` makes, changes or drops an object (what a role without CREATE is refused).
bool IsSchemaChange(const std::string& sql) {
  for (const char* word : {"CREATE", "ALTER", "DROP", "COMMENT"})
    if (sql.size() > std::strlen(word) && strncasecmp(sql.c_str(), word, std::strlen(word)) == 0) return true;
  return false;
}

// The milliseconds of a time-out, as a message says them.
std::string Duration(int ms) {
  char text[32];
  if (ms % 1000 == 0)
    std::snprintf(text, sizeof text, "%d s", ms / 1000);
  else
    std::snprintf(text, sizeof text, "%d ms", ms);
  return text;
}

// The text between the first pair of double quotes after `after` in `text`, or empty.
std::string QuotedAfter(const std::string& text, const std::string& after) {
  const std::size_t at = text.find(after);
  if (at == std::string::npos) return std::string();
  const std::size_t open = text.find('"', at + after.size());
  const std::size_t close = open == std::string::npos ? open : text.find('"', open + 1);
  return close == std::string::npos ? std::string() : text.substr(open + 1, close - open - 1);
}

}  // namespace

// libpq gives no SQLSTATE for a refused connection: the server's answer is told by its FATAL message, in
// English unless the server's lc_messages says otherwise (an answer not recognized is quoted as it came).
// Only a connection that got no answer at all is "cannot be reached".
std::string PgConnection::ConnectFailure(PGconn* conn) {
  if (!conn) return "the connection cannot be made (out of memory)";
  std::string text = PQerrorMessage(conn);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  const char* db = PQdb(conn);
  const char* user = PQuser(conn);
  const std::string database = db ? db : "", role = user ? user : "";
  if (PQconnectionNeedsPassword(conn))
    return "the server requires a password for the role \"" + role +
           "\" and none was given: put it in the password file (~/.pgpass), a service file or PGPASSWORD, never in "
           "the address";
  const std::size_t fatal = text.find("FATAL:");
  if (fatal == std::string::npos)
    return "the server cannot be reached (" + text +
           "); check the host, port or socket folder, and that the server "
           "is running";
  std::string answer = text.substr(fatal + 6);
  answer.erase(0, answer.find_first_not_of(' '));
  for (std::size_t nl; (nl = answer.find('\n')) != std::string::npos;) answer.replace(nl, 1, " ");
  if (answer.find("database \"") == 0 && answer.find("does not exist") != std::string::npos)
    return "the server has no database \"" + QuotedAfter(answer, "database ") +
           "\": correct the database in the address, or have its administrator create it (createdb)";
  if (answer.find("role \"") == 0 && answer.find("does not exist") != std::string::npos)
    return "the server has no role \"" + QuotedAfter(answer, "role ") +
           "\": give an existing role in the address (user@ or user=), or have the administrator create it "
           "(CREATE ROLE ... LOGIN)";
  if (answer.find("password authentication failed") != std::string::npos)
    return "the server refused the password of the role \"" + role +
           "\": correct it in the password file (~/.pgpass), the service file or PGPASSWORD";
  if (answer.find("no pg_hba.conf entry") != std::string::npos)
    return "the server accepts no connection of the role \"" + role + "\" to the database \"" + database +
           "\" from here (" + answer + "): its administrator allows it in pg_hba.conf";
  if (answer.find("permission denied for database") != std::string::npos)
    return "the role \"" + role + "\" may not connect to the database \"" + database +
           "\": its administrator grants it (GRANT CONNECT ON DATABASE)";
  if (answer.find("starting up") != std::string::npos || answer.find("shutting down") != std::string::npos ||
      answer.find("recovery mode") != std::string::npos || answer.find("too many clients") != std::string::npos)
    return "the server answered but takes no connection now (" + answer + "): try again shortly";
  return "the server refused the connection: " + answer;
}

// What a role was refused (42501), in words: what it may do, what it tried, and who can change that. The
// statement is not shown: it is the library's, not the user's.
std::string PgConnection::Refusal(const char* detail, bool writing) const {
  const std::string text = detail ? detail : "";
  const std::string role = m_conn && PQuser(m_conn) ? PQuser(m_conn) : "?";
  const std::string catalog = m_schema.empty() ? std::string("(default schema)") : m_schema;
  const std::size_t table = text.find("for table ");
  const std::string object = table == std::string::npos ? std::string() : text.substr(table + 10);
  if (text.find("for schema ") != std::string::npos)
    return "The role \"" + role + "\" may not add tables to the catalog \"" + catalog + "\" (the server said: " + text +
           "); families are added by the catalog's owner.";
  if (writing)
    return "The role \"" + role + "\" may only read the catalog \"" + catalog + "\"" +
           (object.empty() ? std::string() : ": it may not change the table \"" + object + "\"") +
           " (the server said: " + text +
           "); its administrator grants writing (GRANT INSERT, UPDATE, DELETE on its tables).";
  return "The role \"" + role + "\" may not read " +
         (object.empty() ? std::string("all of the catalog") : "the table \"" + object + "\" of the catalog") + " \"" +
         catalog + "\" (the server said: " + text + "); its administrator grants reading (GRANT SELECT on its tables).";
}

// The holder is the session with the catalog's write lock (the advisory lock of BeginWriting, whose key is
// the schema's number), else one holding a strong lock on a table of its schema (a host's or psql's own
// transaction). Only the server's catalogs are read, with the key and the schema bound. Outside a
// transaction the question goes on this connection; inside one (which the failure has aborted) on a short
// connection of its own, since the failure path may cost what the common one must not.
std::string PgConnection::LockHolder() {
  static const char* const kHolder =
      "SELECT coalesce(a.application_name, ''), coalesce(a.usename::text, ''), "
      "coalesce(pg_catalog.host(a.client_addr), CASE WHEN a.client_port OPERATOR(pg_catalog.=) -1 THEN "
      "'a local socket' ELSE '' END), "
      "coalesce(pg_catalog.to_char(a.xact_start AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS'), ''), "
      "coalesce(a.state, ''), l.pid FROM pg_catalog.pg_locks l LEFT JOIN pg_catalog.pg_stat_activity a "
      "ON a.pid OPERATOR(pg_catalog.=) l.pid WHERE l.granted AND l.pid OPERATOR(pg_catalog.<>) "
      "pg_catalog.pg_backend_pid() AND ((l.locktype OPERATOR(pg_catalog.=) 'advisory' AND l.objsubid "
      "OPERATOR(pg_catalog.=) 1 AND ((l.classid::pg_catalog.int8 OPERATOR(pg_catalog.<<) 32) "
      "OPERATOR(pg_catalog.|) l.objid::pg_catalog.int8) OPERATOR(pg_catalog.=) $1::pg_catalog.int8 AND l.database "
      "OPERATOR(pg_catalog.=) (SELECT oid FROM pg_catalog.pg_database WHERE datname OPERATOR(pg_catalog.=) "
      "pg_catalog.current_database())) OR (l.locktype OPERATOR(pg_catalog.=) 'relation' AND l.mode "
      "OPERATOR(pg_catalog.<>) 'AccessShareLock' AND l.relation IN (SELECT c.oid FROM pg_catalog.pg_class c WHERE "
      "c.relnamespace OPERATOR(pg_catalog.=) $2::pg_catalog.oid))) "
      "ORDER BY l.locktype OPERATOR(pg_catalog.=) 'advisory' DESC LIMIT 1";
  PGconn* asked = m_conn;
  PGconn* own = nullptr;
  if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) return std::string();
  if (PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
    const char* const keys[] = {"dbname", "connect_timeout", "options", nullptr};
    const char* const values[] = {m_address.conninfo.c_str(), "5",
                                  "-c search_path=pg_catalog,pg_temp -c statement_timeout=5000", nullptr};
    own = PQconnectdbParams(keys, values, 1);
    if (!own || PQstatus(own) != CONNECTION_OK) {
      if (own) PQfinish(own);
      return std::string();
    }
    asked = own;
  }
  const std::string schemaOid = m_schemaOid.empty() ? "0" : m_schemaOid;
  const char* const params[] = {m_lockKey.c_str(), schemaOid.c_str()};
  ResultGuard found{PQexecParams(asked, kHolder, 2, nullptr, params, nullptr, nullptr, 0)};
  std::string phrase;
  if (PQresultStatus(found.result) == PGRES_TUPLES_OK && PQntuples(found.result) == 1) {
    const std::string program = PQgetvalue(found.result, 0, 0), role = PQgetvalue(found.result, 0, 1),
                      from = PQgetvalue(found.result, 0, 2), since = PQgetvalue(found.result, 0, 3),
                      state = PQgetvalue(found.result, 0, 4);
    phrase = "held by " + (program.empty() ? std::string("a session") : "\"" + program + "\"");
    std::vector<std::string> facts;
    if (!role.empty()) facts.push_back("role " + role);
    if (!from.empty()) facts.push_back("from " + from);
    if (!since.empty()) facts.push_back("in a transaction since " + since + " UTC");
    if (!state.empty()) facts.push_back(state);
    facts.push_back(std::string("server process ") + PQgetvalue(found.result, 0, 5));
    for (std::size_t i = 0; i < facts.size(); ++i) phrase += (i ? ", " : " (") + facts[i];
    phrase += ")";
  }
  if (own) PQfinish(own);
  return phrase;
}

CDBException* PgConnection::LostTransactionError() const {
  CString message;
  if (m_lostAhead)
    message.Format(
        L"A write inside a transaction on the database \"%s\" failed, and the server has undone the transaction: "
        L"every call fails until the transaction is rolled back. %s",
        name(), m_lostAheadWhy.GetString());
  else
    message.Format(
        L"The connection to the database \"%s\" was lost inside a transaction, which the server has undone: "
        L"every call fails until the transaction is rolled back.",
        name());
  return NewDbException("08S01", message, 0, kOrigin);
}

void PgConnection::PgFail(PGresult* result, const std::string& sql) {
  ResultGuard guard{result};
  const bool lost = !m_conn || PQstatus(m_conn) != CONNECTION_OK;
  if (lost && m_inTransaction) m_lostTransaction = true;
  if (lost) m_inTransaction = false;
  const char* sqlState = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* detail = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (!detail) detail = m_conn ? PQerrorMessage(m_conn) : "no connection";
  const char* state = StateOf(sqlState, lost);
  CString message;
  if (std::strcmp(state, kStateTimeout) == 0 && sqlState && std::strcmp(sqlState, "57014") == 0)
    message.Format(L"The statement \"%s\" on the database \"%s\" was stopped after its time limit of %lu s",
                   VdFromUtf8(sql), name(), m_statementTimeoutS);
  else if (std::strcmp(state, kStateTimeout) == 0) {
    const std::string holder = lost ? std::string() : LockHolder();
    message.Format(
        L"The database \"%s\" is locked by another connection%s; the statement \"%s\" gave up waiting "
        L"after %s (the lock time-out)",
        name(), VdFromUtf8(holder.empty() ? holder : " " + holder), VdFromUtf8(sql),
        VdFromUtf8(Duration(m_lockTimeoutMs)));
  } else if (lost)
    message.Format(L"The connection to the database \"%s\" was lost during the statement \"%s\"", name(),
                   VdFromUtf8(sql));
  else if (sqlState && std::strcmp(sqlState, "42501") == 0)  // said whole, without the statement
    throw NewDbException(state, CString(VdFromUtf8(Refusal(detail, IsWrite(sql) || IsSchemaChange(sql))).c_str()),
                         static_cast<int>(std::strtol(sqlState, nullptr, 36)), kOrigin);
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

}  // namespace vdpattern::db
