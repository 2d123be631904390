#pragma once
// From the statement text a host hands in (the Access dialect the catalog writes) to the text SQLite prepares.
//
// The text is read into the shared tokens (Statement.h) and emitted in one pass over them, which:
// - finds the end of the first statement and refuses anything but blanks, semicolons and comments after it
//   (so a quote left open by a name cannot start a second statement);
// - rewrites the Access call IsNull(x) to ((x) IS NULL) (Rewrite.h); quoted texts and [bracketed] / "quoted"
//   names are copied untouched, and what is left open runs to the end, for SQLite to refuse;
// - reads words as SQLite does: a word begins at a letter, so 1.FROM is a number and the keyword FROM;
// - for SELECT / INSERT / UPDATE / DELETE (and WITH, VALUES, REPLACE), lifts every 'quoted' literal out into a
//   numbered parameter ?N, so that statements differing only in their literals share one prepared statement,
//   and the text without literals is the cache key (an X'..' blob literal and an alias written as AS 'name'
//   stay in place, since no parameter can stand there);
// - collapses blanks and drops comments, so the key does not depend on layout;
// - turns a text that begins with a word which begins no statement, or that is only a [bracketed] name, into
//   SELECT * FROM "name" (Rewrite.h);
// - makes text comparisons ignore ASCII letter case whatever the columns declare, as the catalogs' first engine
//   did: COLLATE NOCASE goes after the left operand of = == <> != < <= > >= IN BETWEEN (not after the column
//   of a SET assignment), and after every ORDER BY, GROUP BY and PARTITION BY term. An explicit collation on
//   the left operand wins, and a comparison on a NOCASE column can still use a NOCASE index. A statement that
//   names a collation itself is taken as written. DISTINCT needs the number of result columns, so it is turned
//   into a GROUP BY when the statement is prepared (SqliteQuery.cpp), from the positions noted here; so is the
//   DISTINCT of every nested SELECT (a subquery, a WITH part, the SELECT of an INSERT), so that counting the rows
//   of SELECT DISTINCT in a FROM ignores case as the top-level DISTINCT does;
// - reads EXPLAIN [QUERY PLAN] <statement> as its statement, so the plan shown is the plan of the text that
//   statement is translated into;
// - notes whether the statement is a SELECT over one table without DISTINCT, GROUP BY, HAVING, window or
//   compound parts, and where its top-level FROM starts: such a result can carry the row id of each row, which
//   makes it editable.
// Other statements (PRAGMA, CREATE, ...) are passed through with their literals, and are not cached.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include <vdpattern/toolkit/VdToolkitExport.h>

namespace vdpattern::db {

struct StatementText {
  std::string sql;                              // UTF-8 text to prepare; the cache key when `cacheable`
  std::string literals;                         // the lifted literals' values, UTF-8, back to back
  std::vector<std::uint32_t> literalEnds;       // end of literal N-1 in `literals` (it is bound to ?N)
  std::vector<std::uint32_t> literalSpans;      // opening and closing quote of each lifted literal in the source
  std::size_t fromPos = std::string::npos;      // position in `sql` of the top-level FROM of a SELECT
  std::size_t distinctPos = std::string::npos;  // of the top-level DISTINCT that may become a GROUP BY
  std::size_t tailPos = std::string::npos;      // where that GROUP BY goes: ORDER BY, LIMIT or the end
  // The DISTINCT and the GROUP BY place of each nested SELECT DISTINCT (its ORDER BY, LIMIT or closing
  // parenthesis), two positions in `sql` each, in the order their DISTINCTs come.
  std::vector<std::uint32_t> nestedDistinct;
  bool cacheable = false;
  bool singleTableSelect = false;
  bool folded = false;        // COLLATE NOCASE was added (the only collations of the text then)
  std::vector<char> scratch;  // the scan's work buffer; only ever grows, so a reused text allocates nothing

  void Clear() {
    sql.clear();
    literals.clear();
    literalEnds.clear();
    literalSpans.clear();
    nestedDistinct.clear();
    fromPos = std::string::npos;
    distinctPos = std::string::npos;
    tailPos = std::string::npos;
    cacheable = false;
    singleTableSelect = false;
    folded = false;
  }
};

// Throws CDBException (state 42000) for a text without a statement or with more than one. Exported for the
// tests only.
VDTOOLKIT_EXPORT void TranslateStatement(const wchar_t* text, StatementText& out);

// The shapes of the statements translated before: a host runs the same statements again and again with other
// names in their quotes, and a text that equals a remembered one outside its lifted literals translates to the
// same SQL, so only its literals need reading: the catalog's probe takes some 0.12 us that way, against 1.4 us
// for reading it into tokens and emitting them (Release build, one core). Shapes are found by a hash of the text
// up to its first quote, in a table of small sets: a catalog search runs one statement per family, and with one
// slot per hash value two families sharing a slot would push each other out on every search. A full set gives up
// its least recently used shape.
class StatementShapes {
 public:
  // Fills `out` when `text` has a remembered shape; otherwise returns false, and `out` is to be filled anew.
  bool Match(const wchar_t* text, StatementText& out);
  // Remembers the shape of `text`, which was just translated into `translated` (a cacheable statement).
  void Remember(const wchar_t* text, const StatementText& translated);

 private:
  struct Shape {
    std::wstring source;  // empty: the slot is free
    std::vector<std::uint32_t> spans;
    std::vector<std::uint32_t> nestedDistinct;
    std::string sql;
    std::size_t fromPos = std::string::npos;
    std::size_t distinctPos = std::string::npos;
    std::size_t tailPos = std::string::npos;
    std::size_t hash = 0;  // of the source up to its first quote
    std::uint64_t lastUse = 0;
    bool singleTableSelect = false;
    bool folded = false;
  };
  static constexpr std::size_t kWays = 8;              // shapes per set
  static constexpr std::size_t kSets = 32;             // a power of two
  static constexpr std::size_t kLongestSource = 4096;  // longer texts are rare and not worth keeping
  static std::size_t HashOf(const wchar_t* text, std::size_t length);
  static bool MatchShape(const Shape& shape, const wchar_t* text, std::size_t length, StatementText& out);
  std::vector<Shape> m_slots;  // kSets * kWays once the first shape is remembered, set by set
  std::uint64_t m_clock = 0;
};

// Translation through the remembered shapes, falling back on the full scan.
VDTOOLKIT_EXPORT void TranslateStatement(const wchar_t* text, StatementText& out, StatementShapes& shapes);

}  // namespace vdpattern::db
