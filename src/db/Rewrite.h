#pragma once
// The rewrites of the catalogs' statement language that every engine's translation makes, over the shared tokens
// (Statement.h). Each dialect decides where its grammar lets them apply and writes everything else in its engine's
// spelling (SqliteDialect.h, PgDialect.h); what a rewrite turns the text into is written here, once.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>
#include "db/Statement.h"

namespace vdpattern::db {

// IsNull(x), the catalogs' test for a missing value, is ((x) IS NULL) on every engine: SQLite reads ISNULL as a
// postfix operator, so no function of that name can be called there, and the server knows none.
inline constexpr char kIsNullOpen[] = "((";
inline constexpr char kIsNullClose[] = ") IS NULL)";
// Whether the word ISNULL ending before token `after` is called: the position of the '(' that opens its
// arguments, or `end` when it is an ordinary word. Between the two may stand only the tokens `between` accepts
// (the engines' grammars differ in what may separate a function from its parenthesis).
std::size_t IsNullCall(const std::vector<StatementToken>& t, std::size_t after, std::size_t end,
                       bool (*between)(const StatementToken&));

// A text that is only the name of a table reads as all of that table: SELECT * FROM "name", whose FROM (where a
// row identity column goes) is at kBareTableFromPos.
inline constexpr char kBareTableSelect[] = "SELECT * FROM ";
inline constexpr std::size_t kBareTableFromPos = 9;

// The value of the 'quoted' literal `quoted` (as a kString token holds it): the text between its quotes, a
// doubled quote one quote. Writes it at `out`, which has room for `quoted.size()` bytes; returns its end.
char* UnquoteLiteral(std::string_view quoted, char* out);
std::string UnquoteLiteral(std::string_view quoted);

}  // namespace vdpattern::db
