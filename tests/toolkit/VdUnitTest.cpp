#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>
#include <vdpattern/toolkit/VdUnit.h>

namespace {

// Reads `text` with M = 1; the status and, when recognised, the unit.
int Read(const CString& text, CVdUnit& unit) { return CVdUnitManager::UnitFromString(text, unit, 1.0); }

CString Eliminated(unsigned int kind, const wchar_t* text) {
  CString s(text);
  CVdUnit::EliminateUnitsSymbol(kind, s);
  return s;
}

// The normalisation a name goes through before it is looked up.
CString Normalised(const wchar_t* text) {
  CString s(text);
  CVdUnit::EliminateUnitsSymbol(1, s);
  CVdUnit::EliminateUnitsSymbol(11, s);
  CVdUnit::ReplaceNumberSeparator(L'.', s);
  CVdUnit::ReplaceNumberSeparator(L',', s);
  return s;
}

// Every spelling of the table with its length power and its catalog units in one SI unit, worked out by hand.
// Case is folded only when the whole text has one case; blanks around the unit are ignored.
const struct {
  int exponent;
  double coef;
  std::vector<const wchar_t*> spellings;
} kRows[] = {
    {1, 1000, {L"mm", L"Nmm", L"MM", L"  mm\t"}},
    {1, 100, {L"cm"}},
    {1, 10, {L"dm"}},
    {1, 1, {L"m"}},
    {1, 1e-3, {L"km", L"kN.m", L"kN*m", L"kN\u00B7m", L"kN\u22C5m", L"kNm", L"tm", L"KNM"}},
    {1, 39.37007874015748, {L"in"}},
    {1, 3.280839895013123, {L"ft"}},
    {1, 1.0936132983377078, {L"yd"}},
    {4, 1e8, {L"cm4", L"cm\u2074"}},
    {2, 1e4, {L"cm2", L"cm^2", L"cm**2", L"cm\u00B2"}},
    {3, 1e3, {L"dm\u00B3"}},
    {-4, 1e-8, {L"cm-4", L"cm^-4", L"cm**-4"}},
    {2, 1, {L"m^+2"}},
    {-1, 1, {L"m\u207B\u00B9", L"kg/m", L"1/m", L"KG/M"}},
    {10, 1e30, {L"mm\u00B9\u2070"}},
    {99, 1, {L"m^99"}},
    {-99, 1, {L"m-99"}},
    {4, 2402509.6100288304, {L"in4"}},
    {0, 1000, {L"g"}},
    {0, 1, {L"kg", L"N", L"rad", L"", L"-", L"  "}},
    {0, 1e-3, {L"t", L"kN", L"kN.m/m", L"kN/m*m", L"kN/m.m"}},
    {0, 2.2046226218487757, {L"lb"}},
    {0, 0.1, {L"daN"}},
    {0, 1e-6, {L"MN"}},
    {0, 0.10197162129779283, {L"kgf"}},
    {0, 1.0197162129779283e-4, {L"tf"}},
    {0, 0.2248089430997105, {L"lbf"}},
    {0, 2.248089430997105e-4, {L"kip"}},
    {-2, 1, {L"Pa", L"1/m2", L"kg/m/m"}},
    {-2, 1e-3, {L"kPa", L"kN/m2", L"kpa"}},
    {-2, 1e-6, {L"MPa", L"N/mm2", L"N/mm\u00B2", L"MPA"}},
    {-2, 1e-9, {L"GPa"}},
    {-2, 1.4503773773020923e-4, {L"psi"}},
    {-2, 1.4503773773020923e-7, {L"ksi"}},
    {-1, 1e-3, {L"t/m"}},
    {-2, 1e-7, {L"kN/cm2"}},
    {-2, 1.0197162129779283e-5, {L"kgf/cm2"}},
    {1, 0.1, {L"kNcm"}},
    {1, 1.0197162129779283e-4, {L"tfm"}},
    {2, 1e-3, {L"kNm2"}},
    {-1, 0.01, {L"1/cm"}},
    {0, 57.29577951308232, {L"deg", L"\u00B0"}},
    {0, 63.66197723675813, {L"grad"}},
    {0, 100, {L"%"}},
};

}  // namespace

TEST(VdUnitGrammar, ReadsEveryFormOfTheTable) {
  for (const auto& row : kRows)
    for (const wchar_t* text : row.spellings) {
      SCOPED_TRACE(CString(text).ToUtf8());
      CVdUnit unit;
      ASSERT_EQ(Read(text, unit), CVdUnitManager::eUnitRecognized);
      EXPECT_EQ(unit.GetExponent(), row.exponent);
      EXPECT_NEAR(unit.GetCoef() / row.coef, 1.0, 1e-12);
      EXPECT_EQ(unit.GetText(), text);
    }
}

TEST(VdUnitGrammar, RefusesWhatIsNotAUnitAndResultsOutOfRange) {
  const wchar_t* const texts[] = {
      L"cm 2",   L"10 cm",    L"10cm", L"1e3m", L"2/m",    L"1",     L"1/",        L"m^2^2",
      L"m2^2",   L"m\u00B22", L"cm/",  L"/cm",  L"cm//m",  L"cm..m", L"m^",        L"m**",
      L"m^+",    L"m\u207B",  L"m-",   L"m^0",  L"m0",     L"m^100", L"m-100",     L"m^999999999999",
      L"Mm",     L"mPa",      L"Kg",   L"kN/M", L"mN",     L"mkN",   L"min",       L"mmm",
      L"%%",     L"--",       L"kN-m", L"kN m", L"kN / m", L"inch",  L"cm\u00D7m", L"\uFFFD",
      L"mm\x01", L"m\u00A0",  L"x",
  };
  std::vector<CString> refused(std::begin(texts), std::end(texts));
  refused.push_back(std::wstring(L"cm\0", 3));
  // Out of range: length powers -100 and 100, k = 1e-360 underflows, k overflows.
  for (const wchar_t* text : {L"Pa^50", L"GPa^40", L"1/GPa^40", L"GPa^20.GPa^20"}) refused.push_back(text);
  std::wstring hundredMetres = L"m";
  for (int i = 1; i < 100; ++i) hundredMetres += L".m";
  refused.push_back(hundredMetres);
  for (const CString& text : refused) {
    SCOPED_TRACE(text.ToUtf8());
    CVdUnit unit;
    EXPECT_EQ(Read(text, unit), CVdUnitManager::eUnknownUnit);
  }
}

TEST(VdUnitGrammar, SurvivesArbitraryTextsAndOnlyAcceptsSaneUnits) {
  const wchar_t alphabet[] = L"mcMkNaPgtd1024-^*./ \u00B2\u207B\u00B0%x\u00B7\0";
  std::uint32_t state = 12345;
  int accepted = 0;
  for (int n = 0; n < 20000; ++n) {
    std::wstring text;
    const int length = static_cast<int>(state % 9);
    for (int i = 0; i < length; ++i) {
      state = state * 1664525u + 1013904223u;
      text += alphabet[(state >> 16) % (sizeof(alphabet) / sizeof(wchar_t))];
    }
    state = state * 1664525u + 1013904223u;
    CVdUnit unit;
    if (CVdUnitManager::UnitFromString(text, unit, 1000.0) == CVdUnitManager::eUnitRecognized) {
      ++accepted;
      EXPECT_LE(std::abs(unit.GetExponent()), 99);
      EXPECT_TRUE(std::isnormal(unit.GetCoef()) && unit.GetCoef() > 0);
      EXPECT_TRUE(std::isfinite(unit.GetFactor()));
    }
    CString name(text);
    CVdUnit::EliminateUnitsSymbol(11, name);
    EXPECT_LE(name.GetLength(), static_cast<int>(text.size()));
  }
  EXPECT_GT(accepted, 0);
}

TEST(VdUnitManager, FillsTheUnitOnlyWhenRecognised) {
  EXPECT_EQ(CVdUnitManager().m_dMetricsFactor, 1.0);  // host lengths in metres unless told otherwise
  CVdUnit unit;
  ASSERT_EQ(CVdUnitManager::UnitFromString(L"cm4", unit, 1000.0), CVdUnitManager::eUnitRecognized);
  EXPECT_EQ(unit.GetMetricsFactor(), 1000.0);

  for (const double bad :
       {0.0, -1000.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(CVdUnitManager::UnitFromString(L"mm", unit, bad), CVdUnitManager::eInvalidMetricsFactor);
  }
  EXPECT_EQ(CVdUnitManager::UnitFromString(L"cm 4", unit, 1.0), CVdUnitManager::eUnknownUnit);
  EXPECT_EQ(unit.GetExponent(), 4);  // unchanged by the failures
  EXPECT_EQ(unit.GetCoef(), 1e8);
  EXPECT_EQ(unit.GetMetricsFactor(), 1000.0);
  EXPECT_EQ(unit.GetText(), L"cm4");
}

TEST(VdUnitFactor, ConvertsCatalogValuesToHostUnits) {
  const double mm = 1000.0;  // a host working in millimetres
  const struct {
    const wchar_t* text;
    double metricsFactor;
    double factor;
  } cases[] = {
      {L"cm4", mm, 1e4},     {L"mm", mm, 1},
      {L"m", mm, 1000},      {L"MPa", mm, 1},
      {L"kN", mm, 1000},     {L"kNm", mm, 1e6},
      {L"kg/m", mm, 1e-3},   {L"cm-4", mm, 1e-4},
      {L"%", mm, 0.01},      {L"-", mm, 1},
      {L"mm", 1.0, 1e-3},    {L"cm2", 1.0, 1e-4},
      {L"ft", 1.0, 0.3048},  {L"deg", mm, 0.017453292519943295},
      {L"m^99", 10.0, 1e99}, {L"m^-99", 10.0, 1e-99},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(CString(c.text).ToUtf8());
    CVdUnit unit;
    ASSERT_EQ(CVdUnitManager::UnitFromString(c.text, unit, c.metricsFactor), 0);
    EXPECT_NEAR(unit.GetFactor() / c.factor, 1.0, 1e-12);
  }
  EXPECT_DOUBLE_EQ(CVdUnit(1.0, -2, 10.0).GetFactor(), 0.01);
}

TEST(VdUnitEliminate, KindOneRemovesLengthUnitsAfterNumbersAndKindElevenAnyUnit) {
  // Kind, text, what is left. "kN" is no length, and no shorter length unit is carved out of "m.kN".
  const std::tuple<unsigned int, const wchar_t*, const wchar_t*> cases[] = {
      {1, L"HEA 100 mm", L"HEA 100"},        {1, L"L 50x50x5mm", L"L 50x50x5"},
      {1, L"L 50mmx50mmx5mm", L"L 50x50x5"}, {1, L"HEA 100 mm S235", L"HEA 100 S235"},
      {1, L"HEA 100 MM", L"HEA 100"},        {1, L"PL 10 cm2", L"PL 10"},
      {1, L"HEA 100 kN", L"HEA 100 kN"},     {11, L"HEA 100 kN", L"HEA 100"},
      {11, L"HEA 100 kN/m", L"HEA 100"},     {11, L"HEA 100 m.kN", L"HEA 100"},
      {1, L"HEA 100 m.kN", L"HEA 100 m.kN"}, {11, L"TUBE 45\u00B0", L"TUBE 45"},
      {11, L"UPN 100 -", L"UPN 100 -"}};
  for (const auto& [kind, text, left] : cases) EXPECT_EQ(Eliminated(kind, text), left) << kind << " " << CString(text);
}

TEST(VdUnitEliminate, LeavesDesignationsAndWordsAlone) {
  // "M" is a series letter, not metres; a unit without a number before it is no unit.
  for (const unsigned int kind : {1u, 11u})
    for (const wchar_t* text :
         {L"HE 300 M", L"HE 300 A", L"PL 10 minimum", L"W 8 inch", L"IPE mm", L"mm", L"CHS 48.3x3.2"})
      EXPECT_EQ(Eliminated(kind, text), text) << kind;
  for (const unsigned int kind : {0u, 2u, 10u, 12u}) EXPECT_EQ(Eliminated(kind, L"HEA 100 mm"), L"HEA 100 mm");
}

TEST(VdUnitSeparator, TurnsSeparatorsBetweenDigitsIntoTheCanonicalOneWhateverItIsSetTo) {
  CString s(L"CHS 48,3x3,2");
  EXPECT_FALSE(CVdUnit::ReplaceNumberSeparator(L'.', s));  // already canonical
  EXPECT_TRUE(CVdUnit::ReplaceNumberSeparator(L',', s));
  EXPECT_EQ(s, L"CHS 48.3x3.2");
  for (const wchar_t* untouched : {L"A,B", L",5", L"5,", L"1,,2", L"L, 5", L""}) {
    CString t(untouched);
    EXPECT_FALSE(CVdUnit::ReplaceNumberSeparator(L',', t));
    EXPECT_EQ(t, untouched);
  }
  CString digits(L"1020");
  EXPECT_FALSE(CVdUnit::ReplaceNumberSeparator(L'0', digits));  // a digit is never a separator
  EXPECT_EQ(digits, L"1020");
  EXPECT_EQ(Normalised(L"CHS 48,3x3,2 mm"), L"CHS 48.3x3.2");
  EXPECT_EQ(Normalised(L"IPE AA"), L"IPE AA");

  // The canonical separator is a setting.
  EXPECT_EQ(CVdUnit::GetDecimalSeparator(), L'.');
  EXPECT_FALSE(CVdUnit::SetDecimalSeparator(L'5'));
  EXPECT_FALSE(CVdUnit::SetDecimalSeparator(L'\0'));
  ASSERT_TRUE(CVdUnit::SetDecimalSeparator(L','));
  const bool changed = CVdUnit::ReplaceNumberSeparator(L'.', s);
  CVdUnit::SetDecimalSeparator(L'.');
  EXPECT_TRUE(changed);
  EXPECT_EQ(s, L"CHS 48,3x3,2");
}
