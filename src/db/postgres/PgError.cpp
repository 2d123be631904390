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

}  // namespace

void PgConnection::ThrowLostTransaction() const {
  CString message;
  message.Format(
      L"The connection to the database \"%s\" was lost inside a transaction, which the server has undone: "
      L"every call fails until the transaction is rolled back.",
      name());
  throw NewDbException("08S01", message, 0, kOrigin);
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

}  // namespace vdpattern::db
