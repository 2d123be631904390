// Lookups through the manager: the three sources (pool, factory standard patterns, catalogs) in the order each
// overload gives, name normalisation before a catalog lookup, lookups into a caller's pool, family names.

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "manager/ManagerFixture.h"

using namespace mgrtest;

namespace {

using Ptr = std::unique_ptr<CVdPattern>;
constexpr auto kCatalogType = CVdPattern::ePatternTypeCatalog;
constexpr auto kStandardType = CVdPattern::ePatternTypeStandard;
constexpr auto kOk = CVdPattern::eCheckUserNameOk;
constexpr auto kRefused = CVdPattern::eCheckUserNameRefused;
// The caller's value before a lookup. The test factory writes Ok for every plate it makes, so finding this value
// afterwards where a plate name was looked up shows that no factory was asked.
constexpr auto kUntouched = CVdPattern::eCheckUserNameRefused;

class ManagerLookup : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    if (IsSkipped()) return;
    AttachAll(manager);
  }
  // A pattern of the manager's pool.
  CVdPattern* Pool(CVdPattern* p) {
    EXPECT_TRUE(manager.AddPatternPool(p, false));
    return p;
  }
};

std::vector<std::wstring> Catalogs(CVdPatternPool& pool) {
  std::vector<std::wstring> out;
  for (CVdPattern* p = pool.FindFirstPattern(); p; p = pool.FindNextPattern()) out.push_back(Text(p->GetCatalog()));
  return out;
}

}  // namespace

// ---------------------------------------------------------------- lookup orders

TEST_F(ManagerLookup, CatalogTypeAsksTheCatalogsFirstAndStandardTypeTheFactory) {
  auto check = kUntouched;
  Ptr p(manager.GetPattern(L"PL 10x200", kCatalogType, &check));
  ASSERT_TRUE(p);
  EXPECT_EQ(Text(p->GetCatalog()), L"Beta");
  EXPECT_EQ(p->GetPatternType(), kCatalogType);
  EXPECT_EQ(pm.factory->newStandardCalls, 0);
  EXPECT_EQ(check, kUntouched);

  const int lookups = g_counts.catalogLookups;
  Ptr standard(manager.GetPattern(L"PL 10x200", kStandardType, &check));
  ASSERT_TRUE(dynamic_cast<CPlate*>(standard.get()));
  EXPECT_TRUE(standard->GetCatalog().IsEmpty());
  EXPECT_EQ(standard->GetPatternType(), kStandardType);
  EXPECT_EQ(check, kOk);
  EXPECT_EQ(g_counts.catalogLookups, lookups);
}

TEST_F(ManagerLookup, EachOrderFallsBackToTheOtherSourceAndAnUnknownNameGivesNull) {
  auto check = kUntouched;
  Ptr plate(manager.GetPattern(L"PL 5x50", kCatalogType, &check));
  ASSERT_TRUE(dynamic_cast<CPlate*>(plate.get()));
  EXPECT_EQ(Text(plate->GetUserNameW()), L"PL 5x50");
  EXPECT_EQ(g_counts.catalogLookups, 3);  // every catalog was asked first

  check = kOk;
  EXPECT_EQ(CatalogOf(manager.GetPattern(L"IPE 200", kStandardType, &check)), L"Beta");
  EXPECT_EQ(check, kRefused);  // what the factory wrote when it refused the name

  EXPECT_EQ(manager.GetPattern(L"HEB 900", kCatalogType, &check), nullptr);
  EXPECT_EQ(manager.GetPattern(L"HEB 900", kStandardType, &check), nullptr);
  CString name = L"HEB 900";
  EXPECT_EQ(manager.GetPattern(L"", name, check), nullptr);
  EXPECT_EQ(manager.GetPatternCatalog(CString(L"HEB 900")), nullptr);
}

TEST_F(ManagerLookup, TheNamedOverloadLooksUpItsSecondArgumentStandardFirst) {
  auto check = kUntouched;
  CString name = L"PL 10x200";
  Ptr plate(manager.GetPattern(L"IPE 200", name, check));
  ASSERT_TRUE(dynamic_cast<CPlate*>(plate.get()));
  EXPECT_EQ(Text(name), L"PL 10x200");
  EXPECT_EQ(check, kOk);

  CString ipe = L"IPE 200";
  EXPECT_EQ(CatalogOf(manager.GetPattern(L"PL 10x200", ipe, check)), L"Beta");
  EXPECT_EQ(check, kRefused);

  CString spaced = L"HEA 100 mm";  // normalised like the other catalog-first lookups
  Ptr hea(manager.GetPattern(L"", spaced, check));
  ASSERT_TRUE(hea);
  EXPECT_EQ(Text(hea->GetUserNameW()), L"HEA 100 mm");
}

// ---------------------------------------------------------------- the manager's pool

TEST_F(ManagerLookup, APoolPatternAnswersEveryLookupAndNoOtherSourceIsAsked) {
  CVdPattern* hea = Pool(new CVdPattern(1, L"HEA 100", L"HEA"));
  CVdPattern* plate = Pool(new CPlate(10, 200));
  auto check = kUntouched;
  EXPECT_EQ(manager.GetPattern(L"HEA 100", kCatalogType, &check), hea);
  EXPECT_EQ(manager.GetPattern(L"hea 100", kStandardType, &check), hea);
  EXPECT_EQ(manager.GetPattern(L"PL 10x200", kStandardType, &check), plate);
  CString name = L"HEA 100";
  EXPECT_EQ(manager.GetPattern(L"", name, check), hea);
  EXPECT_EQ(manager.GetPatternPool(CString(L"hea 100"), CString(L"Hea")), hea);  // the family checked too
  EXPECT_EQ(manager.GetPatternPool(CString(L"HEA 100"), CString(L"IPE")), nullptr);
  EXPECT_EQ(manager.GetPatternPool(CString(L"HEA 200"), CString(L"HEA")), nullptr);

  // Into a caller's pool: the pool's own objects, not copies, and each only once.
  CVdPatternPool target(false, nullptr);
  EXPECT_TRUE(manager.GetPattern(L"HEA 100", &target, check));
  EXPECT_TRUE(manager.GetPattern(L"HEA 100", &target, check));
  EXPECT_TRUE(manager.GetPatternByName(L"HEA 100", &target, check));
  EXPECT_TRUE(manager.GetPatternByName(L"PL 10x200", &target, check));
  ASSERT_EQ(target.GetCount(), 2);
  EXPECT_EQ(target.FindPattern(0), hea);
  EXPECT_EQ(target.FindPattern(1), plate);

  EXPECT_EQ(g_counts.catalogLookups, 0);
  EXPECT_EQ(pm.factory->newStandardCalls, 0);
  EXPECT_EQ(check, kUntouched);
  EXPECT_EQ(manager.GetCountPool(), 2);
}

TEST_F(ManagerLookup, APoolPatternIsFoundByItsStandardCodeExceptByGetPatternByName) {
  CVdPattern* plate = Pool(new CPlate(10, 200));
  auto check = kUntouched;
  EXPECT_EQ(manager.GetPattern(L"pl 10 X 200", kCatalogType, &check), plate);
  EXPECT_EQ(manager.GetPatternPool(CString(L"pl10x200")), plate);

  CVdPatternPool shared(false, nullptr);
  EXPECT_TRUE(manager.GetPattern(L"pl10x200", &shared, check));
  EXPECT_EQ(shared.FindPattern(0), plate);

  // By user name only: the pool misses, so the factory makes a fresh plate for the target.
  CVdPatternPool target(true, nullptr);
  EXPECT_FALSE(manager.GetPatternByName(L"pl10x200", &target, check));
  ASSERT_EQ(target.GetCount(), 1);
  EXPECT_NE(target.FindPattern(0), plate);
  EXPECT_EQ(Text(target.FindPattern(0)->GetUserNameW()), L"PL 10x200");
  EXPECT_EQ(pm.factory->newStandardCalls, 1);
}

TEST_F(ManagerLookup, LookupsNeverFillTheManagersPool) {
  auto check = kUntouched;
  Ptr hea(manager.GetPattern(L"HEA 100", kCatalogType, &check));
  Ptr plate(manager.GetPattern(L"PL 1x2", kStandardType, &check));
  CString name = L"IPE 200";
  Ptr ipe(manager.GetPattern(L"", name, check));
  Ptr chs(manager.GetPatternCatalog(CString(L"CHS 48.3x3.2")));
  ASSERT_TRUE(hea && plate && ipe && chs);
  CVdPatternPool target(true, nullptr);
  manager.GetPattern(L"HEA 120", &target, check);
  manager.GetPatternByName(L"PL 3x4", &target, check);
  manager.GetPatternCatalog(L"Alpha", L"HEA", &target);
  EXPECT_GE(target.GetCount(), 3);
  EXPECT_EQ(manager.GetCountPool(), 0);
  EXPECT_TRUE(manager.IsEmptyPool());
}

// ---------------------------------------------------------------- catalogs and name normalisation

TEST_F(ManagerLookup, CatalogNamesAreFoundIgnoringCaseAndNormalisedAndReturnedUnderTheCallersName) {
  auto check = kUntouched;
  Ptr p(manager.GetPattern(L"ipe 200", kCatalogType, &check));
  ASSERT_TRUE(p);
  EXPECT_EQ(Text(p->GetCatalog()), L"Beta");
  EXPECT_EQ(Height(p.get()), 200);

  Ptr hea(manager.GetPattern(L"HEA 100 mm", kCatalogType, &check));
  ASSERT_TRUE(hea);
  EXPECT_EQ(Text(hea->GetUserNameW()), L"HEA 100 mm");
  EXPECT_EQ(Text(hea->GetCatalog()), L"Alpha");
  EXPECT_EQ(Height(hea.get()), 96.0);

  Ptr chs(manager.GetPattern(L"CHS 48,3x3,2", kCatalogType, &check));
  ASSERT_TRUE(chs);
  EXPECT_EQ(Text(chs->GetUserNameW()), L"CHS 48,3x3,2");
  EXPECT_EQ(Text(chs->GetFamily()), L"chs");

  Ptr direct(manager.GetPatternCatalog(CString(L"CHS 48,3mmx3,2mm")));
  ASSERT_TRUE(direct);
  EXPECT_EQ(Text(direct->GetUserNameW()), L"CHS 48,3mmx3,2mm");
}

TEST_F(ManagerLookup, ALookupInOneCatalogTakesTheNameAsGivenAndOtherwiseTheFirstCatalogAnswers) {
  EXPECT_EQ(manager.GetPatternCatalog(L"Alpha", L"HEA 100 mm"), nullptr);
  Ptr byName(manager.GetPatternCatalog(L"alpha", L"HEA 100"));
  ASSERT_TRUE(byName);
  EXPECT_EQ(Height(byName.get()), 96.0);
  Ptr byPath(manager.GetPatternCatalog(CString(beta.c_str()), L"HEA 100"));
  ASSERT_TRUE(byPath);
  EXPECT_EQ(Height(byPath.get()), 100.0);
  EXPECT_EQ(manager.GetPatternCatalog(L"Delta", L"HEA 100"), nullptr);

  auto check = kUntouched;
  const int lookups = g_counts.catalogLookups;
  EXPECT_EQ(CatalogOf(manager.GetPattern(L"HEA 100", kCatalogType, &check)), L"Alpha");
  EXPECT_EQ(g_counts.catalogLookups, lookups + 1);  // later catalogs are not asked
  manager.DetachCatalog(L"Alpha");
  Ptr second(manager.GetPattern(L"HEA 100", kCatalogType, &check));
  EXPECT_EQ(Text(second->GetCatalog()), L"Beta");
  EXPECT_EQ(Height(second.get()), 100.0);
}

// ---------------------------------------------------------------- lookups into a caller's pool

TEST_F(ManagerLookup, TargetLookupsCollectFromEveryCatalogAndReportOnlyPoolHits) {
  CVdPatternPool target(true, nullptr);
  auto check = kUntouched;
  EXPECT_FALSE(manager.GetPattern(L"HEA 100", &target, check));
  EXPECT_EQ(Catalogs(target), (std::vector<std::wstring>{L"Alpha", L"Beta"}));

  EXPECT_FALSE(manager.GetPattern(L"PL 10x200", &target, check));  // the factory answers: no catalog plate
  EXPECT_FALSE(manager.GetPatternByName(L"IPE 200", &target, check));
  EXPECT_EQ(Catalogs(target), (std::vector<std::wstring>{L"Alpha", L"Beta", L"Beta", L""}));

  // Catalog patterns are added without the duplicate check, so asking again adds them again.
  manager.GetPatternCatalog(CString(L"HEA 100"), &target);
  EXPECT_EQ(target.GetCount(), 6);

  // Unknown names, and names that only match once normalised, add nothing.
  EXPECT_FALSE(manager.GetPattern(L"HEA 100 mm", &target, check));
  EXPECT_FALSE(manager.GetPatternByName(L"HEB 900", &target, check));
  EXPECT_EQ(target.GetCount(), 6);

  // A standard pattern the target refuses as a duplicate is freed.
  EXPECT_EQ(g_counts.platesAlive, 1);
  const int made = pm.factory->newStandardCalls;
  EXPECT_FALSE(manager.GetPattern(L"pl 10x200", &target, check));
  EXPECT_FALSE(manager.GetPatternByName(L"PL10x200", &target, check));
  EXPECT_EQ(pm.factory->newStandardCalls, made + 2);
  EXPECT_EQ(target.GetCount(), 6);
  EXPECT_EQ(g_counts.platesAlive, 1);
}

// ---------------------------------------------------------------- factories

TEST_F(ManagerTest, AManagerWithoutAFactorySkipsTheStandardStep) {
  CVdPatternManager bare(nullptr);
  AttachAll(bare);
  auto check = kUntouched;
  EXPECT_EQ(bare.GetPattern(L"PL 5x50", kStandardType, &check), nullptr);
  EXPECT_EQ(CatalogOf(bare.GetPattern(L"PL 10x200", kStandardType, &check)), L"Beta");
  CString name = L"IPE 200";
  EXPECT_EQ(CatalogOf(bare.GetPattern(L"", name, check)), L"Beta");

  CVdPatternPool target(true, nullptr);
  EXPECT_FALSE(bare.GetPattern(L"HEA 100", &target, check));
  EXPECT_FALSE(bare.GetPatternByName(L"PL 1x2", &target, check));
  EXPECT_EQ(target.GetCount(), 2);
  EXPECT_EQ(check, kUntouched);

  EXPECT_EQ(bare.GetPatternFactoryPtr(), nullptr);
  EXPECT_EQ(bare.GetPatternFactory().NewStandard(L"PL 10x200", &check), nullptr);  // a default factory
  EXPECT_FALSE(bare.IsStandardName(L"PL 10x200"));
  CVdPattern* pooled = new CVdPattern(1, L"HEA 100", L"HEA");
  ASSERT_TRUE(bare.AddPatternPool(pooled, false));
  EXPECT_EQ(bare.GetPattern(L"hea 100", kCatalogType, &check), pooled);
}

// ---------------------------------------------------------------- families

TEST_F(ManagerLookup, AFamilyIsReadFromTheNamedCatalogOnly) {
  CVdPatternPool target(true, nullptr);
  manager.GetPatternCatalog(L"Beta", L"HEA", &target);
  EXPECT_EQ(Catalogs(target), (std::vector<std::wstring>{L"Beta"}));
  manager.GetPatternCatalog(CString(alpha.c_str()), L"HEA", &target);
  EXPECT_EQ(target.GetCount(), 3);
  manager.GetPatternCatalog(L"Delta", L"HEA", &target);
  EXPECT_EQ(target.GetCount(), 3);

  std::list<std::wstring> families{L"first"};
  manager.GetFamiliesCatalog(L"GAMMA", families);
  manager.GetFamiliesCatalog(L"Delta", families);
  EXPECT_EQ(families, (std::list<std::wstring>{L"first", L"Angles", L"Beams"}));
}

TEST_F(ManagerLookup, FamilyNamesAreMergedCaseSensitivelyAfterWhatTheListHeldAndPoolFamiliesListedOnce) {
  std::list<std::wstring> pooled{L"x"};
  manager.GetFamiliesPool(pooled);
  EXPECT_EQ(pooled, (std::list<std::wstring>{L"x"}));
  Pool(new CVdPattern(1, L"B 9", L"Beams"));
  Pool(new CVdPattern(1, L"B 8", L"BEAMS"));
  Pool(new CVdPattern(1, L"HEA 300", L"HEA"));
  manager.GetFamiliesPool(pooled);
  EXPECT_EQ(pooled, (std::list<std::wstring>{L"x", L"beams", L"hea"}));

  std::list<std::wstring> families{L"Beams"};
  manager.GetFamilies(families);
  EXPECT_EQ(families,
            (std::list<std::wstring>{L"Beams", L"CHS", L"HEA", L"IPE", L"Plates", L"Angles", L"beams", L"hea"}));
}

// ---------------------------------------------------------------- derived managers

namespace {

// A host's manager that answers catalog lookups itself and keeps a list of extra catalog names.
class CRedirectingManager : public CVdPatternManager {
 public:
  using CVdPatternManager::CVdPatternManager;
  CVdPattern* GetPatternCatalog(const CString& name) override {
    ++catalogLookups;
    return name.CompareNoCase(L"host-made") == 0 ? new CVdPattern(1, L"host-made", L"Host") : nullptr;
  }
  using CVdPatternManager::GetPatternCatalog;
  CVdPatternCatalog* GetCatalog(const CString& nameOrPath) override {
    if (nameOrPath.CompareNoCase(L"Reserved") == 0) return FindFirstCatalog();
    return CVdPatternManager::GetCatalog(nameOrPath);
  }
  int catalogLookups = 0;
};

}  // namespace

TEST_F(ManagerTest, ADerivedManagersOverridesTakeEffectInsideItsOperations) {
  CRedirectingManager host(new CPlateFactory);
  Attach(host, alpha);
  auto check = kUntouched;
  Ptr hostMade(host.GetPattern(L"host-made", kCatalogType, &check));
  ASSERT_TRUE(hostMade);
  EXPECT_EQ(Text(hostMade->GetFamily()), L"host");
  EXPECT_EQ(host.GetPattern(L"HEA 100", kStandardType, &check), nullptr);  // no catalog is reached
  EXPECT_EQ(host.catalogLookups, 2);

  // AttachCatalog tests names through IsExistCatalog, and that through GetCatalog.
  CCountedCatalog reserved(
      CString(MakeCatalog("Reserved.mdb", vdtest::CatalogBuilder().AddFamily("HEA", "HEA", "Height DOUBLE")).c_str()));
  ASSERT_TRUE(host.IsExistCatalog(L"Reserved"));
  EXPECT_FALSE(host.AttachCatalog(&reserved));
}
