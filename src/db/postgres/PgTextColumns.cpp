// Text columns of a catalog made by an earlier version: they carried the case-blind collation vd_nocase
// themselves, which the server refuses for LIKE and ILIKE. They are given the exact collation of new catalogs
// (PgDialect.h), and their indexes are made again under vd_nocase, so the catalogs' lookups keep theirs.
// The library's append-only logs of such a catalog lose what new ones are made without, and every recorded change
// paid for: vd_change's and vd_history's row identity, and the history's index on cset.

#include <libpq-fe.h>
#include <map>
#include <set>
#include <sstream>
#include <vdpattern/toolkit/Utf8.h>
#include "db/postgres/PgConnection.h"
#include "db/postgres/PgDialect.h"
#include "db/postgres/PgInternal.h"

namespace vdpattern::db {

using pg::ResultGuard;

namespace {

std::vector<long> Numbers(const char* text) {
  std::vector<long> out;
  std::istringstream in(text);
  for (long n; in >> n;) out.push_back(n);
  return out;
}

}  // namespace

bool PgConnection::MakeTextExact(std::vector<std::wstring>& made, std::vector<std::wstring>& left) {
  made.clear();
  left.clear();
  EnsureConnected();
  if (m_schemaOid.empty()) return true;
  std::string noCaseOid;
  {
    ResultGuard oid{Read("SELECT oid FROM pg_catalog.pg_collation WHERE collname = $2 AND collnamespace = $1::oid",
                         {m_schemaOid.c_str(), kPgNoCase})};
    if (PQntuples(oid.result) != 1) return true;
    noCaseOid = PQgetvalue(oid.result, 0, 0);
  }
  // The columns under it (of the text types the library makes; a domain is not its).
  ResultGuard columns{
      Read("SELECT c.oid, c.relname, a.attnum, a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod) FROM "
           "pg_catalog.pg_class c JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT "
           "a.attisdropped WHERE c.relnamespace = $1::oid AND c.relkind IN ('r', 'p') AND a.atttypid IN (25, 1042, "
           "1043) AND a.attcollation = $2::oid ORDER BY c.relname, a.attnum",
           {m_schemaOid.c_str(), noCaseOid.c_str()})};
  struct Table {
    std::string name;
    std::map<long, std::pair<std::string, std::string>> columns;  // number -> name, type
  };
  std::map<std::string, Table> tables;  // by oid
  for (int r = 0; r < PQntuples(columns.result); ++r) {
    Table& t = tables[PQgetvalue(columns.result, r, 0)];
    t.name = PQgetvalue(columns.result, r, 1);
    t.columns[std::atol(PQgetvalue(columns.result, r, 2))] = {PQgetvalue(columns.result, r, 3),
                                                              PQgetvalue(columns.result, r, 4)};
  }
  if (tables.empty()) return true;
  // Their indexes under it. Altering a column's collation rebuilds an index under the column's new one, so each
  // is made again as it was: only plain ones (columns in ascending order, no expression, no predicate, no
  // included column, no constraint of its own) can be. A table with any other such index is left as it is, so
  // that no uniqueness ignoring case becomes an exact one.
  ResultGuard indexes{
      Read("SELECT i.indrelid, x.relname, i.indisunique, i.indkey::text, i.indcollation::text, i.indoption::text, "
           "i.indexprs IS NULL AND i.indpred IS NULL AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_constraint k WHERE "
           "k.conindid = i.indexrelid) FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class x ON x.oid = "
           "i.indexrelid WHERE x.relnamespace = $1::oid AND $2::oid = ANY (i.indcollation::oid[])",
           {m_schemaOid.c_str(), noCaseOid.c_str()})};
  const std::string noCase = NoCase(m_schema);
  std::map<std::string, std::vector<std::string>> drops, creates;  // by table oid
  std::set<std::string> refused;                                   // table oids
  for (int r = 0; r < PQntuples(indexes.result); ++r) {
    const std::string table = PQgetvalue(indexes.result, r, 0);
    const auto found = tables.find(table);
    if (found == tables.end()) continue;
    const std::vector<long> keys = Numbers(PQgetvalue(indexes.result, r, 3));
    const std::vector<long> collations = Numbers(PQgetvalue(indexes.result, r, 4));
    const std::vector<long> options = Numbers(PQgetvalue(indexes.result, r, 5));
    bool plain = *PQgetvalue(indexes.result, r, 6) == 't' && collations.size() == keys.size();
    for (long option : options) plain = plain && option == 0;
    std::string sql = std::string(*PQgetvalue(indexes.result, r, 2) == 't' ? "CREATE UNIQUE INDEX " : "CREATE INDEX ");
    AppendQuotedName(sql, PQgetvalue(indexes.result, r, 1));
    sql += " ON " + QualifiedTable(found->second.name) + " (";
    std::string single;  // the column of a one-column index that ignores case, which gets an exact twin
    for (std::size_t k = 0; plain && k < collations.size(); ++k) {
      const auto column = found->second.columns.find(keys[k]);
      std::string name;
      if (column != found->second.columns.end()) {
        name = column->second.first;
      } else {
        ResultGuard attribute{
            Read("SELECT attname FROM pg_catalog.pg_attribute WHERE attrelid = $1::oid AND attnum = $2::int2",
                 {table.c_str(), std::to_string(keys[k]).c_str()})};
        if (keys[k] <= 0 || PQntuples(attribute.result) != 1) {
          plain = false;
          break;
        }
        name = PQgetvalue(attribute.result, 0, 0);
      }
      if (k > 0) sql += ", ";
      AppendQuotedName(sql, name);
      if (std::to_string(collations[k]) == noCaseOid) {
        sql += " COLLATE " + noCase;
        single = name;
      }
    }
    if (!plain) {
      refused.insert(table);
      continue;
    }
    sql += ')';
    creates[table].push_back(sql);
    if (collations.size() == 1 && *PQgetvalue(indexes.result, r, 2) != 't' && !PgLibraryTable(found->second.name)) {
      std::string twin = "CREATE INDEX ON " + QualifiedTable(found->second.name) + " (";
      AppendQuotedName(twin, single);
      creates[table].push_back(twin + ')');
    }
    std::string drop = "DROP INDEX ";
    AppendQuotedName(drop, m_schema);
    drop += '.';
    AppendQuotedName(drop, PQgetvalue(indexes.result, r, 1));
    drops[table].push_back(drop);
  }
  for (const auto& [oid, table] : tables) {
    if (refused.count(oid)) {
      left.push_back(VdFromUtf8(table.name));
      continue;
    }
    for (const std::string& drop : drops[oid]) Exec(drop);
    std::string alter = "ALTER TABLE " + QualifiedTable(table.name);
    bool first = true;
    for (const auto& [number, column] : table.columns) {
      alter += first ? " ALTER COLUMN " : ", ALTER COLUMN ";
      first = false;
      AppendQuotedName(alter, column.first);
      // The type as the server writes it: only text, character varying(n) or character(n) are read above.
      alter += " TYPE " + column.second + " COLLATE " + kPgExact;
    }
    Exec(alter);
    for (const std::string& create : creates[oid]) Exec(create);
    made.push_back(VdFromUtf8(table.name));
  }
  m_described.clear();
  m_rowIdTables.clear();
  m_namesRead = false;
  return true;
}

bool PgConnection::TrimLogs(std::vector<std::wstring>& trimmed) {
  trimmed.clear();
  EnsureConnected();
  if (m_schemaOid.empty()) return true;
  // Only the logs the connection's role owns (through its roles): another's are left as they are, as the history
  // of a table the schema's owner does not own is left unread.
  ResultGuard found{Read(
      "SELECT c.relname, EXISTS (SELECT 1 FROM pg_catalog.pg_attribute a WHERE a.attrelid = c.oid AND a.attname = "
      "$2 AND NOT a.attisdropped), EXISTS (SELECT 1 FROM pg_catalog.pg_index x JOIN pg_catalog.pg_class i ON i.oid = "
      "x.indexrelid WHERE x.indrelid = c.oid AND i.relname = 'vd_history_cset') FROM pg_catalog.pg_class c WHERE "
      "c.relnamespace = $1::oid AND c.relkind = 'r' AND c.relname IN ('vd_change', 'vd_history') AND "
      "pg_catalog.pg_has_role(c.relowner, 'MEMBER') ORDER BY c.relname",
      {m_schemaOid.c_str(), kPgRowId})};
  for (int r = 0; r < PQntuples(found.result); ++r) {
    const std::string table = PQgetvalue(found.result, r, 0);
    const bool rowId = *PQgetvalue(found.result, r, 1) == 't', cset = *PQgetvalue(found.result, r, 2) == 't';
    if (!rowId && !cset) continue;
    // Its identity sequence and key go with the column; the rows stay, and no table is rewritten.
    if (rowId) Exec("ALTER TABLE " + QualifiedTable(table) + " DROP COLUMN " + pg::Quoted(kPgRowId));
    if (cset) Exec("DROP INDEX " + QualifiedTable("vd_history_cset"));
    trimmed.push_back(VdFromUtf8(table));
  }
  if (trimmed.empty()) return true;
  m_described.clear();
  m_rowIdTables.clear();
  m_namesRead = false;
  return true;
}

}  // namespace vdpattern::db
