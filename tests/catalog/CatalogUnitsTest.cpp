// Catalog units: the "Units" table read at opening, and the conversions it drives when reading and writing.

#include "catalog/CatalogFixture.h"

using cattest::CatalogFile;
using cattest::CRecordingFactory;
using cattest::Number;

namespace {

class CatalogUnits : public CatalogFile {
 protected:
  CVdUnitManager m_millimetres{1000.0};  // a host working in millimetres
};

}  // namespace

TEST_F(CatalogUnits, ReadsAndWritesConvertBetweenHostAndCatalogUnitsWhenTheFlagIsSet) {
  auto catalog = Open(new CRecordingFactory(&m_millimetres));
  ASSERT_TRUE(catalog->GetHasUnits());
  CVdPatternPool converted;
  ASSERT_TRUE(catalog->GetFamilyPattern(&converted, L"Beams", L"HE 200"));
  CVdPattern* p = converted.GetPatternByName(L"HE 200");
  ASSERT_NE(p, nullptr);
  EXPECT_DOUBLE_EQ(Number(*p, L"area"), 5380);   // 53.8 cm2 = 5380 mm2
  EXPECT_DOUBLE_EQ(Number(*p, L"height"), 200);  // mm stays mm
  EXPECT_DOUBLE_EQ(Number(*p, L"width"), 200);   // no unit

  catalog->SetHasUnits(false);
  CVdPatternPool raw;
  ASSERT_TRUE(catalog->GetFamilyPattern(&raw, L"Beams", L"HE 200"));
  EXPECT_DOUBLE_EQ(Number(*raw.GetPatternByName(L"HE 200"), L"area"), 53.8);

  // Written back in the catalog's units.
  catalog->SetHasUnits(true);
  p->SetParam(0, L"area", 6000.0);
  ASSERT_TRUE(catalog->InsertPattern(p, false));
  EXPECT_EQ(Cell("SELECT Area FROM Beams WHERE Name = 'HE 200'"), "60.0");
}

TEST_F(CatalogUnits, UnitsMapIsKeyedByUpperCaseFamilyAndLowerCaseColumn) {
  auto b = cattest::StandardCatalog();
  b.SetUnits("tubes", {{"Diameter", "MM"}});
  Rewrite(b);
  auto catalog = Open(new CRecordingFactory(&m_millimetres));
  const auto beams = catalog->GetUnitsMap(L"BEAMS");
  ASSERT_EQ(beams.size(), 2u);
  CVdUnit area = beams.at(L"area").unit;
  EXPECT_EQ(area.GetExponent(), 2);
  EXPECT_DOUBLE_EQ(area.GetCoef(), 1e4);
  EXPECT_DOUBLE_EQ(area.GetMetricsFactor(), 1000);
  EXPECT_EQ(beams.at(L"height").paramName, L"height");
  EXPECT_EQ(catalog->GetUnitsMap(L"TUBES").count(L"diameter"), 1u);
  EXPECT_TRUE(catalog->GetUnitsMap(L"Beams").empty());  // looked up as given
  EXPECT_TRUE(catalog->GetUnitsMap(L"NOWHERE").empty());
}

TEST_F(CatalogUnits, WithoutAFactoryOrAUnitsTableValuesAreReadAsStored) {
  auto unapplied = Open();
  EXPECT_TRUE(unapplied->GetHasUnits());
  EXPECT_EQ(unapplied->GetUnitsMap(L"BEAMS").size(), 2u);
  CVdPatternPool stored;
  ASSERT_TRUE(unapplied->GetFamilyPattern(&stored, L"Beams", L"HE 100"));
  EXPECT_DOUBLE_EQ(Number(*stored.GetPatternByName(L"HE 100"), L"area"), 26);
  unapplied.reset();

  auto b = cattest::StandardCatalog();
  b.WithoutUnitsTable();
  Rewrite(b);
  vdtest::ReportCapture capture;
  auto catalog = Open(new CRecordingFactory(&m_millimetres));
  ASSERT_TRUE(catalog->IsOpened());
  EXPECT_FALSE(catalog->GetHasUnits());
  EXPECT_TRUE(catalog->GetUnitsMap(L"BEAMS").empty());
  CVdPatternPool pool;
  ASSERT_TRUE(catalog->GetFamilyPattern(&pool, L"Beams", L"HE 100"));
  EXPECT_DOUBLE_EQ(Number(*pool.GetPatternByName(L"HE 100"), L"area"), 26);
  EXPECT_TRUE(capture.reports.empty());
  EXPECT_TRUE(capture.traces.empty());
}

TEST_F(CatalogUnits, UnknownUnitIsTracedOnceTheFirstRowOfAFamilyWinsAndANullFamilyIsSkipped) {
  vdtest::CatalogBuilder b;
  b.AddFamily("Beams", "he", "Height DOUBLE, Area DOUBLE, Mass DOUBLE");
  b.AddFamily("Posts", "p", "Height DOUBLE, Width DOUBLE");
  b.SetUnits("Beams", {{"Height", "bananas"}, {"Area", "cm2"}, {"Mass", "kg/m"}});
  b.SetUnits(std::nullopt, {{"Height", "m"}});
  b.SetUnits("Posts", {{"Height", "cm"}});
  b.SetUnits("POSTS", {{"Height", "mm"}, {"Width", "mm"}});
  Rewrite(b);
  vdtest::ReportCapture capture;
  auto catalog = Open(new CRecordingFactory(&m_millimetres));
  EXPECT_EQ(capture.traces, (std::vector<std::wstring>{L"Error in Units table: unknown unit\n"}));
  const auto beams = catalog->GetUnitsMap(L"BEAMS");
  EXPECT_EQ(beams.size(), 2u);  // the other columns count
  EXPECT_EQ(beams.count(L"height"), 0u);
  EXPECT_EQ(beams.count(L"mass"), 1u);
  const auto posts = catalog->GetUnitsMap(L"POSTS");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_DOUBLE_EQ(posts.at(L"height").unit.GetCoef(), 100);
  EXPECT_TRUE(catalog->GetUnitsMap(L"").empty());
  EXPECT_TRUE(capture.reports.empty());
}

TEST_F(CatalogUnits, ParameterUnitIsFoundByTheFactorysParameterName) {
  auto* factory = new CRecordingFactory(&m_millimetres);
  factory->renames[L"area"] = L"a";
  auto catalog = Open(factory);
  CVdUnit unit;
  EXPECT_TRUE(catalog->GetParamUnit(L"BEAMS", L"a", unit));
  EXPECT_DOUBLE_EQ(unit.GetCoef(), 1e4);
  EXPECT_FALSE(catalog->GetParamUnit(L"BEAMS", L"area", unit));
  EXPECT_TRUE(catalog->GetParamUnit(L"BEAMS", L"height", unit));
  EXPECT_DOUBLE_EQ(unit.GetCoef(), 1000);
  EXPECT_FALSE(catalog->GetParamUnit(L"BEAMS", L"Height", unit));  // exact match
  EXPECT_FALSE(catalog->GetParamUnit(L"CHANNELS", L"a", unit));
  EXPECT_FALSE(catalog->GetParamUnit(L"NOWHERE", L"", unit));
}
