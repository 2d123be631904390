#pragma once
// From the statement text a host hands in (the dialect the catalogs write, VdRecordset.h) to the text the
// PostgreSQL server runs.
//
// One pass over the text, which:
// - refuses a text without a statement or with more than one (42000), as the file engine does;
// - turns [name] into "name" (a '"' inside doubled), keeps 'literals' as they are and drops comments;
// - spells names the way the schema does: the server compares quoted names exactly, the catalogs' first engine
//   ignored their case. A [bracketed], "quoted" or bare name that the schema holds in another case is written
//   as the schema spells it (a bare word followed by '(' is a function and stays as written). CREATE TABLE
//   quotes the table's and its columns' names, so they keep the case they are written in;
// - reads COLLATE NOCASE as COLLATE vd_nocase, and drops it after a text type in CREATE TABLE (those columns
//   carry a collation already);
// - makes the catalogs' comparisons ignore case (Choices below): COLLATE vd_nocase goes after each text column
//   that is an operand of = <> < <= > >= IN or BETWEEN (not the column of a SET assignment), after each text
//   column that is an ORDER BY term (unless the statement has a compound part), and after each plain text
//   column a DISTINCT selects (AS its own name). A statement that names a collation other than NOCASE is taken
//   as written. Which columns hold text the names say (TypeKey), for the tables the statement names;
// - turns x'0A1B' (bytes) into '\x0A1B'::bytea;
// - rewrites IIF(a, b, c) to (CASE WHEN a THEN b ELSE c END) and IsNull(x) to ((x) IS NULL);
// - turns  x [NOT] LIKE p  into  x COLLATE "und-x-icu" [NOT] ILIKE p: ICU's lower case folds all of Unicode,
//   and a column of an earlier catalog carries vd_nocase, which the server refuses for LIKE;
// - reads a bare number as the whole condition of WHERE, HAVING or ON (WHERE 0) as false or true;
// - turns the bare name of a table into SELECT * FROM name;
// - qualifies every table it names that the schema holds (every one when `names` is null) with the catalog's
//   schema ("schema"."table"), since the session's search path holds only pg_catalog and pg_temp, where any
//   other name is looked up (PgConnection.h). A new table of CREATE TABLE is always qualified. The places of
//   tables: those of FROM lists (with their commas, JOINs, nested
//   joins and subqueries), INSERT INTO, UPDATE, DELETE FROM, CREATE/DROP/ALTER TABLE or VIEW, DROP/ALTER INDEX,
//   CREATE INDEX ... ON and REFERENCES. An index's own name in CREATE INDEX cannot be qualified (the server puts
//   it with its table); a name already qualified, a function in a FROM list and a name defined by WITH stay;
//   columns written "t"."c" still name the table t of a qualified FROM. vd_nocase is qualified likewise;
// - leaves numbers as they are: a BIT column is the server's boolean, which takes TRUE and FALSE (and values
//   bound by the record set) but refuses a bare 1 or -1;
// - in CREATE TABLE, turns the declared types of the catalogs into the server's (TypeMap.h: DOUBLE, CURRENCY,
//   BIT, DATETIME, MEMO, LONGBINARY, GUID, TEXT(n), LONG, SHORT, BYTE, SINGLE, COUNTER...), makes text
//   columns COLLATE "C" (kPgExact), and adds the hidden row identity kPgRowId, which makes results over the table
//   editable (PgConnection.h), to every table but the library's append-only logs vd_change and vd_history;
//   ALTER TABLE t ADD [COLUMN] writes its column the same way (without the identity);
// - notes whether the statement is a SELECT of plain columns of one table without DISTINCT, GROUP BY, HAVING,
//   joins or compound parts, and where its top-level FROM is: such a result can carry the row identity;
// - in a SELECT, INSERT, UPDATE or DELETE, lifts each 'text' literal that stands where a value may stand into a
//   parameter ($1, $2, ...; PgStatement::params), so that statements differing only in their texts share one
//   prepared statement on the server (PgConnection.h). A literal after a word that could make it a typed literal
//   (DATE '...', E'...') stays, and so does every literal of a text that already holds a $ word;
// - gives CREATE INDEX name ON t (c COLLATE NOCASE) an exact twin, CREATE INDEX ON t (c), run after it in its
//   round trip (PgStatement::also).
//
// Choices: how text ignores case. The catalogs compare texts ignoring case on every engine; on the server that
// must not stop plain SQL tools (psql, pandas, BI tools), which run =, LIKE, ILIKE and ORDER BY on the tables.
// - A nondeterministic collation on the columns (vd_nocase, what earlier versions did) makes = ignore case for
//   everyone, but PostgreSQL 15 refuses LIKE and ILIKE on such columns: every tool that filters by pattern fails.
// - citext would keep both, but its operators live outside pg_catalog, in a schema someone may write: a
//   planted operator would then run in every reader's session. Only the server's built-ins are used.
// - lower() on both sides needs an expression index per column and folds differently from vd_nocase, so an
//   earlier catalog's names could compare differently.
// So the columns are plain text under "C" (exact, byte order, independent of the server's locale, and its
// btree index serves LIKE 'prefix%'), and case-blindness is the statement's: the comparisons the catalogs
// write get COLLATE vd_nocase, and the name index is built under it. Plain SQL sees exact text; ILIKE, or
// COLLATE vd_nocase, asks for the catalogs' comparison. GROUP BY stays exact: an expression of a grouped
// column in the select list would no longer be one. A catalog of an earlier version keeps working as it is
// (COLLATE vd_nocase on a vd_nocase column changes nothing), and upgrade gives it the new columns.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vdpattern::db {

inline constexpr const char* kPgRowId = "vd_row";
inline constexpr const char* kPgNoCase = "vd_nocase";
inline constexpr const char* kPgNoCaseLocale = "und-u-ks-level2";  // vd_nocase's ICU locale
inline constexpr const char* kPgExact = "pg_catalog.\"C\"";        // the collation of text columns

struct PgStatement {
  std::string sql;                          // UTF-8 text for the server
  std::size_t fromPos = std::string::npos;  // of the top-level FROM of a single-table SELECT
  std::string table;                        // that table's name, unquoted (UTF-8)
  bool singleTableSelect = false;
  bool changesSchema = false;  // CREATE, DROP, ALTER
  bool createTable = false;
  bool preparable = false;          // a SELECT, INSERT, UPDATE or DELETE: the server may keep it prepared
  std::vector<std::string> params;  // the lifted literals' values, for $1, $2, ... of `sql`
  std::vector<std::string> tables;  // the tables it names, unquoted, as the schema spells them
  std::vector<std::string> also;    // statements to run after it, in its transaction (plain SQL, no parameters)
};

// The names of the tables and columns of a schema: ASCII lower case -> the spelling the schema holds. Each is
// held a second time under its key prefixed with kPgTableKey or kPgColumnKey, so that a name in a table's place
// (or before a '.') is spelt as the table, and any other as the column, even where a table and a column differ
// only in case (family "T" with column "t").
// Each column is held once more under TypeKey(table, column) (both as the schema spells them), with "t" for a
// text column and "" for any other: a comparison of a text column is made case-blind by the statement.
using PgNames = std::unordered_multimap<std::string, std::string>;
inline constexpr char kPgTableKey = '\x01';
inline constexpr char kPgColumnKey = '\x02';
inline constexpr char kPgTypeKey = '\x03';
// A server name holds no NUL, so no name of the schema is such a key.
inline std::string TypeKey(std::string_view table, std::string_view column) {
  std::string key(1, kPgTypeKey);
  key.append(table).push_back('\0');
  return key.append(column);
}
// Whether a column of base type `oid` holds text: text, varchar, char.
inline bool PgIsTextType(unsigned oid) { return oid == 25 || oid == 1043 || oid == 1042; }

// Throws CDBException (42000) for a text without a statement or with more than one. `names` (borrowed, may be
// null) are the schema's names. `liftLiterals` false keeps every literal in the text. `schema` (an extension:
// empty writes names unqualified) is the catalog's schema, which qualifies every table and the collation.
void TranslateToPg(const wchar_t* text, PgStatement& out, const PgNames* names, bool liftLiterals = true,
                   std::string_view schema = {});

// The server's type for a declared type of the catalogs (its word and an optional "(n)"), with COLLATE "C"
// (kPgExact) for text and an identity for COUNTER; a type it does not know is passed on as written.
std::string PgTypeOf(std::string_view declared);

// Whether `table` is one of the library's own tables (vd_..., in any case), which only the library reads.
inline bool PgLibraryTable(std::string_view table) {
  return table.size() >= 3 && (table[0] | 0x20) == 'v' && (table[1] | 0x20) == 'd' && table[2] == '_';
}

// The case-blind collation of `schema`, qualified ("schema".vd_nocase); unqualified for an empty schema.
std::string NoCase(std::string_view schema);

// The declared type the catalogs would have written for a column of server type `oid` with modifier `typmod`,
// so the record set reports the same ODBC types as for a file; empty for a type it does not know. A numeric
// with more digits than a double holds exactly is NUMERIC_TEXT(p,s), a text type (as the Access reader
// declares such columns), and a uuid TEXT(36): their values are read as the exact text the server gives.
std::string DeclaredTypeOf(unsigned oid, int typmod);

// Whether a numeric column of modifier `typmod` is read as exact text: a precision over the 15 significant
// digits every double holds exactly (the catalogs' CURRENCY, numeric(19,4), is a double on every engine).
inline bool PgNumericAsText(int typmod) {
  return typmod >= 4 && typmod != ((19 << 16) | 4) + 4 && (((typmod - 4) >> 16) & 0xffff) > 15;
}

}  // namespace vdpattern::db
