// Small pieces the server engine's files share: result ownership, quoting, the kinds of statement.
#pragma once

#include <libpq-fe.h>
#include <strings.h>

#include <cstring>
#include <string>
#include <vector>
#include "db/postgres/PgDialect.h"

namespace vdpattern::db::pg {

inline constexpr unsigned kBool = 16, kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26, kFloat4 = 700,
                          kFloat8 = 701, kNumeric = 1700, kText = 25, kBpchar = 1042, kVarchar = 1043, kDate = 1082,
                          kTimestamp = 1114, kTimestampTz = 1184;
inline constexpr const wchar_t* kOrigin = L"[vdpattern][PostgreSQL]";

// Clears a result when the scope ends, whichever way it ends.
struct ResultGuard {
  PGresult* result;
  ~ResultGuard() {
    if (result) PQclear(result);
  }
};

inline std::string Quoted(const std::string& name) {
  std::string out;
  AppendQuotedName(out, name);
  return out;
}

inline bool IsWrite(const std::string& sql) {
  for (const char* word : {"INSERT", "UPDATE", "DELETE"}) {
    const std::size_t n = std::strlen(word);
    if (sql.size() > n && strncasecmp(sql.c_str(), word, n) == 0 && sql[n] == ' ') return true;
  }
  return false;
}

inline bool IsTransactionControl(const std::string& sql) {
  for (const char* word : {"BEGIN", "COMMIT", "ROLLBACK", "END", "SAVEPOINT", "RELEASE", "START"}) {
    const std::size_t n = std::strlen(word);
    if (sql.size() >= n && strncasecmp(sql.c_str(), word, n) == 0 && (sql.size() == n || sql[n] == ' ')) return true;
  }
  return false;
}

// The lifted literals of `statement`, as libpq takes them (pointers into the statement).
inline std::vector<const char*> Values(const PgStatement& statement) {
  std::vector<const char*> values;
  values.reserve(statement.params.size());
  for (const std::string& value : statement.params) values.push_back(value.c_str());
  return values;
}

// Whether the server can keep `sql` as a prepared statement: a SELECT, INSERT, UPDATE or DELETE.
inline bool IsPreparable(const std::string& sql) {
  for (const char* word : {"SELECT", "INSERT", "UPDATE", "DELETE"}) {
    const std::size_t n = std::strlen(word);
    if (sql.size() > n && strncasecmp(sql.c_str(), word, n) == 0 && sql[n] == ' ') return true;
  }
  return false;
}

// The statement that reads the names of the catalog's tables, with what is known of each table (PgQuery.cpp):
// `schemaOid` is the SQL that gives the schema's oid; the row identity's name is parameter $2.
std::string NamesQuery(const std::string& schemaOid);

// A decimal number's value as a key, whatever its form: the sign, the digits without leading or trailing zeros,

}  // namespace vdpattern::db::pg
