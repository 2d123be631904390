// The SQLite translation reads the shared tokens but keeps SQLite's own reading of a text where the two differ:
// words begin at a letter, form feed is a blank, an operator may run into the next token. These cases pin down
// what the engine is handed.

#include <gtest/gtest.h>

#include <string>
#include <vdpattern/toolkit/DBTypes.h>
#include "db/sqlite/SqliteDialect.h"

namespace vdpattern::db {
namespace {

std::string Translated(const wchar_t* text, StatementText& out) {
  try {
    TranslateStatement(text, out);
    return out.sql;
  } catch (CDBException* e) {
    e->Delete();
    return "refused";
  }
}

TEST(SqliteDialect, KeepsTheEnginesReadingOfWordsOperatorsAndLayout) {
  const struct {
    const wchar_t* text;
    const char* sql;
  } cases[] = {
      // 1.FROM is a number and the keyword: the row id goes before FROM, after a blank made for it.
      {L"SELECT 1.FROM T", "SELECT 1. FROM T"},
      // << is a shift, the = after it compares; ->> is no comparison, and the literal after it is lifted.
      {L"SELECT a FROM T WHERE b<<=2", "SELECT a FROM T WHERE b<< COLLATE NOCASE =2"},
      {L"SELECT a->>'x' FROM T", "SELECT a->>?1 FROM T"},
      // Blanks (form feed among them) may separate IsNull from its parenthesis, a comment may not.
      {L"SELECT a FROM T WHERE IsNull\f(b)", "SELECT a FROM T WHERE ((b) IS NULL)"},
      {L"SELECT a FROM T WHERE IsNull/**/(b)", "SELECT a FROM T WHERE IsNull (b)"},
      // The sign of an exponent never takes the start of a comment.
      {L"SELECT 1e--x\nFROM T", "SELECT 1e FROM T"},
      // After the statement only layout may follow: a comment left open is layout, a quote left open is not.
      {L"SELECT a FROM T;\f/* open", "SELECT a FROM T"},
      {L"SELECT a FROM T; 'open", "refused"},
      // Inside the statement, a quote left open runs to the end for the engine to refuse.
      {L"SELECT a FROM T WHERE n = 'open", "SELECT a FROM T WHERE n COLLATE NOCASE = 'open"},
      // A first word that begins no statement, or a bracketed name alone, names a table.
      {L"Odd Family;", "SELECT * FROM \"Odd Family\""},
      {L" [a\"b] ; ", "SELECT * FROM \"a\"\"b\""},
      {L"\f-- nothing\n;", "refused"},
  };
  for (const auto& c : cases) {
    StatementText out;
    EXPECT_EQ(Translated(c.text, out), c.sql) << "case " << (&c - cases);
  }
}

// A remembered shape puts a text's literals back by their places in the text, counted in characters: a
// literal after other non-ASCII text must still be read whole.
TEST(SqliteDialect, RememberedShapesReadLiteralsByCharacterPositions) {
  StatementShapes shapes;
  StatementText first, again, full;
  TranslateStatement(L"SELECT a FROM [Träger] WHERE n = 'é' AND m = 'b'", first, shapes);
  ASSERT_EQ(first.literalSpans, (std::vector<std::uint32_t>{33, 35, 45, 47}));
  const wchar_t* text = L"SELECT a FROM [Träger] WHERE n = 'ü''x' AND m = '中'";
  TranslateStatement(text, again, shapes);
  TranslateStatement(text, full);
  EXPECT_EQ(again.sql, full.sql);
  EXPECT_EQ(again.literals, full.literals);
  EXPECT_EQ(again.literals, "ü'x中");
  EXPECT_EQ(again.literalEnds, full.literalEnds);
}

}  // namespace
}  // namespace vdpattern::db
