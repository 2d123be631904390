#pragma once
// SQL run on a server catalog as a plain SQL tool runs it, through libpq and not the library: the search path
// set to the catalog's schema.

#include <libpq-fe.h>

#include <string>

namespace vdtest {

// The rows of `sql` (several statements: the last one's), one line per row with its cells joined by '|';
// "<failed: ...>" with the server's message.
inline std::string ServerSql(const std::string& address, const std::string& sql) {
  PGconn* conn = PQconnectdb(address.substr(0, address.find('?')).c_str());
  const std::string schema = address.substr(address.find("catalog=") + 8);
  PQclear(PQexec(conn, ("SET search_path = \"" + schema + "\"").c_str()));
  PGresult* r = PQexec(conn, sql.c_str());
  std::string out;
  const ExecStatusType status = PQresultStatus(r);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
    out = "<failed: " + std::string(PQerrorMessage(conn)) + ">";
  for (int row = 0; row < PQntuples(r); ++row) {
    if (row > 0) out += '\n';
    for (int c = 0; c < PQnfields(r); ++c) out += (c > 0 ? "|" : "") + std::string(PQgetvalue(r, row, c));
  }
  PQclear(r);
  PQfinish(conn);
  return out;
}

}  // namespace vdtest
