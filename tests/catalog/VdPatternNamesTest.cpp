// The normal form of names: the spellings that must meet, and the names that must stay apart.

#include <gtest/gtest.h>
#include <vdpattern/catalog/VdPatternNames.h>
#include <vdpattern/toolkit/Utf8.h>

namespace {

std::string Normal(const wchar_t* name) { return VdToUtf8(VdNormalName(name)); }

}  // namespace

TEST(VdNormalName, EquivalentSpellingsMeet) {
  const struct {
    const wchar_t* a;
    const wchar_t* b;
  } same[] = {
      {L"HEB300", L"HEB 300"},
      {L"heb 300", L"HEB 300"},
      {L"HE 300 B", L"HE300B"},
      {L"EQA 120x12", L"EQA 120 X 12"},
      {L"L 120×120×12", L"l 120*120*12"},
      {L"CHS 33.7x4.0", L"CHS 33,7x4"},
      {L"HSS14X10X.625", L"HSS14X10X5/8"},
      {L"HSS14X10X0.625", L"HSS14X10X5/8"},
      {L"HSS12X3-1/2X.375", L"HSS12X3.5X3/8"},
      {L"Pipe 3 1/2 SCH40", L"PIPE 3-1/2 SCH40"},
      {L"Pipe 3\u20111/2\u00a0SCH40", L"Pipe 3-1/2 SCH40"},
      {L"L 4x4x1/4", L"L4X4X.25"},
      {L"\u00d8 20", L"\u00d820"},
      {L"  Gusset   plate ", L"GUSSET PLATE"},
      {L"IPE 080", L"IPE 80"},
  };
  for (const auto& c : same) EXPECT_EQ(Normal(c.a), Normal(c.b)) << VdToUtf8(c.a) << " / " << VdToUtf8(c.b);
  EXPECT_EQ(Normal(L"HSS12X3-1/2X.375"), "HSS12X3.5X.375");
  EXPECT_EQ(Normal(L"L 4x4x1/4"), "L4X4X.25");
}

TEST(VdNormalName, DifferentNamesStayApart) {
  const struct {
    const wchar_t* a;
    const wchar_t* b;
  } apart[] = {
      {L"HEA 300", L"HEB 300"},  {L"10 20", L"1020"},   {L"W8-10", L"W8.10"}, {L"1/3", L"0.333333"},
      {L"TAB 5%", L"TAB 5_"},    {L"O'Neil", L"ONeil"}, {L"A[1]", L"A1"},     {L"\u00d8 20", L"\u00f8 20"},
      {L"STD PIPE", L"STDPIPE"}, {L"3-1/2", L"3-1"},    {L"BOX", L"B0X"},     {L"2x", L"2"},
  };
  for (const auto& c : apart) EXPECT_NE(Normal(c.a), Normal(c.b)) << VdToUtf8(c.a) << " / " << VdToUtf8(c.b);
  // Fractions without a finite decimal and division by zero are kept as written; nothing is lost.
  EXPECT_EQ(Normal(L"1/3"), "1/3");
  EXPECT_EQ(Normal(L"PL 5/0"), "PL5/0");
  EXPECT_EQ(Normal(L"99999999999999999999/2"), "99999999999999999999/2");
  EXPECT_EQ(Normal(L""), "");
}

// The order every listing shares: digits by value, case ignored, ties settled so that sorting is repeatable.
TEST(VdNaturalLess, ListsNamesAsTheyAreRead) {
  const std::vector<std::wstring> ordered = {L"HEA 100", L"IPE 80",  L"IPE 080a", L"IPE 100",
                                             L"ipe 100", L"IPE 600", L"L 50x5",   L"L 50x50x5"};
  for (std::size_t i = 0; i < ordered.size(); ++i)
    for (std::size_t j = 0; j < ordered.size(); ++j)
      EXPECT_EQ(VdNaturalLess(ordered[i], ordered[j]), i < j) << i << " " << j;
}
