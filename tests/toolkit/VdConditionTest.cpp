#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <vdpattern/toolkit/VdCondition.h>

namespace {

const std::vector<std::wstring> kColumns = {L"Name", L"h", L"Grade", L"\u00c9paisseur"};

TEST(VdCondition, AllowedConditionsAreRewrittenOnTheColumnsAsTheyAreSpelt) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"h>200", L"[h] > 200"},
      {L"  [H] >= 2e2 and not grade is null  ", L"[h] >= 2e2 AND NOT [Grade] IS NULL"},
      {L"abs(h) in (3, 4.5) OR \"name\" like 'IPE%' escape '!'",
       L"ABS ( [h] ) IN ( 3 , 4.5 ) OR [Name] LIKE 'IPE%' ESCAPE '!'"},
      {L"grade = 'it''s' || 'x'", L"[Grade] = 'it''s' || 'x'"},
      {L"\u00c9PAISSEUR <> .5e-1", L"[\u00c9paisseur] <> .5e-1"},
      {L"IsNull (h) or h != 1", L"ISNULL ( [h] ) OR [h] != 1"},
      {L"NOT -h + 2 * (h % 3) NOT BETWEEN 1 AND 2 OR round(h, 1) NOT IN (1, -2) AND iif(h > 1, h, NULL) IS NOT NULL",
       L"NOT - [h] + 2 * ( [h] % 3 ) NOT BETWEEN 1 AND 2 OR ROUND ( [h] , 1 ) NOT IN ( 1 , - 2 ) AND IIF ( [h] > 1 , "
       L"[h] , "
       L"NULL ) IS NOT NULL"},
  };
  for (const auto& [condition, expected] : cases) {
    std::wstring out;
    std::string error;
    EXPECT_TRUE(VdRewriteCondition(condition, kColumns, out, error)) << error;
    EXPECT_EQ(out, expected);
  }
}

TEST(VdCondition, AnythingButAConditionOnTheColumnsIsRefusedWithItsReasonAndNoOutput) {
  const std::pair<const wchar_t*, const char*> cases[] = {
      {L"0) UNION SELECT name FROM sqlite_master --", "a ')' has no '('"},
      {L"h IN (SELECT 1 FROM Victim)", "no column \"SELECT\" in the family"},
      {L"[Victim].h > 1", "no column \"Victim\" in the family"},
      {L"length(randomblob(1e9)) > 0", "the function randomblob cannot be used in a condition"},
      {L"h > 1 -- rest", "\"-- rest\" is not allowed in a condition"},
      {L"h > 1 /* rest", "\"/* rest\" is not allowed in a condition"},
      {L"h > 1; DROP TABLE IPE", "\"; DROP TAB\" is not allowed in a condition"},
      {L"h::text = '1'", "\"::text = '\" is not allowed in a condition"},
      {L"grade = 'open", "a quoted text is not closed"},
      {L"[grade = 1", "a bracketed name is not closed"},
      {L"h > 12abc", "\"12abc\" is not a number"},
      {L"(h > 1", "a '(' is not closed"},
      {L"  ", "the condition is empty"},
      {L"\x01h = 1", "\"?h = 1\" is not allowed in a condition"},
      // Allowed tokens that make no condition, told before an engine would name its statement.
      {L"hh < 1", "no column \"hh\" in the family; did you mean h?"},
      {L"grde = 'S'", "no column \"grde\" in the family; did you mean Grade?"},
      {L"x = 1", "no column \"x\" in the family"},
      {L"h <", "it is incomplete after \"<\""},
      {L"h IS NOT", "it is incomplete after \"NOT\""},
      {L"h h", "\"h\" cannot follow \"h\""},
      {L"AND h = 1", "it cannot begin with \"AND\""},
      {L"h IN (1,)", "\")\" cannot follow \",\""},
      {L"h < 1 < 2", "\"<\" cannot follow \"1\""},
      {L"h LIKE 'a' ESCAPE", "it is incomplete after \"ESCAPE\""},
      {L"round(h, 1, 2) = 1", "the function ROUND takes one value or two values, not 3"},
      {L"abs() = 1", "\")\" cannot follow \"(\""},
  };
  for (const auto& [condition, why] : cases) {
    std::wstring out = L"kept";
    std::string error;
    EXPECT_FALSE(VdRewriteCondition(condition, kColumns, out, error));
    EXPECT_EQ(error, why);
    EXPECT_EQ(out, L"kept");
  }
}

}  // namespace
