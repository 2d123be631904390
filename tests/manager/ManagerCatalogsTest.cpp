// The manager's catalogs and its own life: attaching and detaching by name and path, finding catalogs, the
// catalog cursor, Empty, and copies that share the pool, the catalogs and the factory.

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <memory>
#include <string>

#include <vdpattern/toolkit/VdDatabase.h>

#include "manager/ManagerFixture.h"

using namespace mgrtest;

namespace {

using Ptr = std::unique_ptr<CVdPattern>;
constexpr auto kCatalogType = CVdPattern::ePatternTypeCatalog;
constexpr auto kStandardType = CVdPattern::ePatternTypeStandard;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

// ---------------------------------------------------------------- attaching and detaching

TEST_F(ManagerTest, ACatalogWhoseNameIsTakenOrWhoseTypeItsFactoryRefusesIsNotAttachedAndStaysTheCallers) {
  VDTEST_FILE_ONLY();  // file names and copies of files
  {
    // A catalog on a connection to a bare file name keeps that name as its path.
    MakeCatalog("Delta", vdtest::CatalogBuilder());
    vdtest::CurrentDirectory inside(m_dir.path());
    auto* db = new CVdDatabase;
    db->Open(L"Delta");
    auto* bare = new CCountedCatalog(db, nullptr, true);
    ASSERT_EQ(Text(bare->GetPath()), L"Delta");
    ASSERT_TRUE(pm.manager.AttachCatalog(bare));
  }
  Attach(pm.manager, alpha);

  // A name that differs only in case, and a name that is an attached catalog's path.
  std::filesystem::create_directory(m_dir.path() / "other");
  const std::string upper = (m_dir.path() / "other" / "ALPHA.mdb").string();
  std::filesystem::copy_file(alpha, upper);
  const std::string delta = MakeCatalog("other/delta.mdb", vdtest::CatalogBuilder());
  for (const std::string& path : {upper, delta}) {
    auto refused = std::make_unique<CCountedCatalog>(CString(path.c_str()));
    ASSERT_TRUE(refused->IsOpened());
    const int destroyed = g_counts.catalogsDestroyed;
    EXPECT_FALSE(pm.manager.AttachCatalog(refused.get())) << path;
    EXPECT_EQ(g_counts.catalogsDestroyed, destroyed);
    EXPECT_TRUE(refused->IsOpened());  // still open and usable by its owner
  }
  EXPECT_EQ(g_counts.catalogsDestroyed, 2);
  EXPECT_EQ(pm.manager.GetCountCatalog(), 2);

  // A type the catalog's own factory refuses; without a factory of its own any type is accepted.
  const std::string foreign =
      MakeCatalog("Foreign.mdb", vdtest::CatalogBuilder().SetDefinition("Foreign", 1, "2001/01/01", "X"));
  CPlateFactory factory;
  CCountedCatalog judged(CString(foreign.c_str()), &factory, false);
  EXPECT_FALSE(pm.manager.AttachCatalog(&judged));
  EXPECT_TRUE(pm.manager.AttachCatalog(new CCountedCatalog(CString(foreign.c_str()))));
  EXPECT_EQ(pm.manager.GetCountCatalog(), 3);
}

TEST_F(ManagerTest, CatalogsAreFoundByNameOrPathAndDetachedByNameOnly) {
  CCountedCatalog* a = Attach(manager, alpha);
  CCountedCatalog* b = Attach(manager, beta);
  EXPECT_EQ(manager.GetCatalog(L"BETA"), b);
  EXPECT_EQ(manager.GetCatalog(CString(beta.c_str())), b);
  EXPECT_EQ(manager.GetCatalog(CString(Upper(alpha).c_str())), a);
  EXPECT_EQ(manager.GetCatalog(L"Gamma"), nullptr);
  EXPECT_EQ(manager.GetCatalogByPath(CString(beta.c_str())), b);
  EXPECT_EQ(manager.GetCatalogByPath(L"Beta"), nullptr);
  EXPECT_TRUE(manager.IsExistCatalog(CString(alpha.c_str())));
  EXPECT_FALSE(manager.IsExistCatalog(L"Gamma"));

  manager.DetachCatalog(CString(beta.c_str()));
  manager.DetachCatalog(L"Gamma");
  EXPECT_EQ(manager.GetCountCatalog(), 2);
  EXPECT_EQ(g_counts.catalogsDestroyed, 0);

  manager.DetachCatalog(L"bEtA");
  EXPECT_EQ(manager.GetCountCatalog(), 1);
  EXPECT_EQ(g_counts.catalogsDestroyed, 1);
  EXPECT_EQ(manager.GetCatalog(L"Beta"), nullptr);
  EXPECT_EQ(manager.FindFirstCatalog(), a);
}

// ---------------------------------------------------------------- the catalog cursor

TEST_F(ManagerTest, TheCatalogCursorWalksInAttachmentOrderAndEndsWhenItsCatalogLeaves) {
  EXPECT_EQ(manager.FindFirstCatalog(), nullptr);
  EXPECT_EQ(manager.FindNextCatalog(), nullptr);

  CCountedCatalog* g = Attach(manager, gamma);
  CCountedCatalog* a = Attach(manager, alpha);
  EXPECT_EQ(manager.FindNextCatalog(), nullptr);  // no walk started yet
  EXPECT_EQ(manager.FindFirstCatalog(), g);
  EXPECT_EQ(manager.FindNextCatalog(), a);
  EXPECT_EQ(manager.FindNextCatalog(), nullptr);
  EXPECT_EQ(manager.FindNextCatalog(), nullptr);
  EXPECT_EQ(manager.FindFirstCatalog(), g);

  Attach(manager, beta);  // Gamma, Alpha, Beta
  ASSERT_EQ(manager.FindFirstCatalog(), g);
  manager.DetachCatalog(L"Gamma");
  EXPECT_EQ(manager.FindNextCatalog(), nullptr);

  // Detaching another catalog keeps the walk going.
  ASSERT_EQ(manager.FindFirstCatalog(), a);
  manager.DetachCatalog(L"Beta");
  Attach(manager, gamma);
  EXPECT_EQ(Text(manager.FindNextCatalog()->GetName()), L"Gamma");

  manager.FindFirstCatalog();
  manager.Empty();
  EXPECT_EQ(manager.FindNextCatalog(), nullptr);
}

TEST_F(ManagerTest, FindCatalogNameByEditorNameComparesCatalogNames) {
  Attach(manager, gamma);  // its editor is called Alpha
  Attach(manager, beta);
  EXPECT_EQ(Text(manager.FindCatalogNameByEditorName(L"alpha")), L"");
  Attach(manager, alpha);
  EXPECT_EQ(Text(manager.FindCatalogNameByEditorName(L"aLPHA")), L"Alpha");
  EXPECT_EQ(Text(manager.FindCatalogNameByEditorName(L"Acme")), L"");  // Alpha's editor
  EXPECT_EQ(manager.FindNextCatalog(), nullptr);                       // the search walked the cursor to the end
}

// ---------------------------------------------------------------- Empty

TEST_F(ManagerTest, EmptyDropsThePoolAndTheCatalogsAndKeepsTheFactory) {
  AttachAll(manager);
  manager.AddPatternPool(new CPlate(1, 10), false);
  manager.AddPatternPool(new CPlate(2, 10), false);
  manager.SetMarkNewPattern(true);

  manager.Empty();
  EXPECT_EQ(manager.GetCountPool(), 0);
  EXPECT_EQ(manager.GetCountCatalog(), 0);
  EXPECT_EQ(g_counts.catalogsDestroyed, 3);
  EXPECT_EQ(g_counts.platesAlive, 0);
  EXPECT_EQ(g_counts.factoriesDestroyed, 0);
  EXPECT_EQ(manager.GetPatternFactoryPtr(), pm.factory);
  EXPECT_TRUE(manager.GetMarkNewPattern());

  // The fresh pool knows the factory, and the catalogs' names are free again.
  EXPECT_TRUE(manager.IsStandardName(L"PL 1x10"));
  auto check = CVdPattern::eCheckUserNameRefused;
  Ptr plate(manager.GetPattern(L"PL 1x10", kStandardType, &check));
  EXPECT_TRUE(dynamic_cast<CPlate*>(plate.get()));
  ASSERT_TRUE(manager.AddPatternPool(plate.release(), false));
  EXPECT_EQ(manager.GetPatternPool(CString(L"pl 1 x 10")), manager.FindPatternPool(0));
  Attach(manager, alpha);
  EXPECT_EQ(manager.GetCountCatalog(), 1);
}

// ---------------------------------------------------------------- copies share, the last one frees

TEST_F(ManagerTest, ACopySharesPoolCatalogsAndFactoryAndTheLastOneFreesThem) {
  auto* factory = new CPlateFactory;
  auto original = std::make_unique<CVdPatternManager>(factory);
  AttachAll(*original);
  CVdPattern* plate = new CPlate(10, 200);
  original->AddPatternPool(plate, false);

  auto copy = std::make_unique<CVdPatternManager>(*original);
  EXPECT_EQ(copy->GetCountCatalog(), 3);
  EXPECT_EQ(copy->GetCatalog(L"Beta"), original->GetCatalog(L"Beta"));
  EXPECT_EQ(copy->GetPatternFactoryPtr(), factory);
  copy->AddPatternPool(new CPlate(2, 10), false);
  EXPECT_EQ(original->GetCountPool(), 2);  // one pool, seen from both

  original.reset();
  EXPECT_EQ(g_counts.catalogsDestroyed, 0);
  EXPECT_EQ(g_counts.factoriesDestroyed, 0);
  EXPECT_EQ(g_counts.platesAlive, 2);
  auto check = CVdPattern::eCheckUserNameOk;
  EXPECT_EQ(CatalogOf(copy->GetPattern(L"HEA 100 mm", kCatalogType, &check)), L"Alpha");
  EXPECT_EQ(copy->GetPattern(L"pl 10 x 200", kCatalogType, &check), plate);
  EXPECT_EQ(copy->FindFirstCatalog(), copy->GetCatalog(L"Alpha"));
  Ptr standard(copy->GetPattern(L"PL 3x30", kStandardType, &check));
  EXPECT_TRUE(dynamic_cast<CPlate*>(standard.get()));
  standard.reset();

  copy.reset();
  EXPECT_EQ(g_counts.catalogsDestroyed, 3);
  EXPECT_EQ(g_counts.factoriesDestroyed, 1);
  EXPECT_EQ(g_counts.platesAlive, 0);
}

TEST_F(ManagerTest, AssignmentReleasesWhatTheTargetHeldExactlyOnce) {
  auto source = std::make_unique<PlateManager>();
  Attach(source->manager, alpha);
  Attach(source->manager, beta);
  {
    PlateManager target;
    Attach(target.manager, gamma);
    target.manager.AddPatternPool(new CPlate(1, 10), false);
    target.manager = source->manager;
    EXPECT_EQ(g_counts.factoriesDestroyed, 1);  // the target's own factory, catalog and pool
    EXPECT_EQ(g_counts.catalogsDestroyed, 1);
    EXPECT_EQ(g_counts.platesAlive, 0);
    EXPECT_EQ(target.manager.GetCountCatalog(), 2);
    EXPECT_EQ(target.manager.GetCatalog(L"Alpha"), source->manager.GetCatalog(L"Alpha"));
    EXPECT_EQ(target.manager.GetPatternFactoryPtr(), source->factory);
    EXPECT_EQ(target.manager.GetCatalog(L"Gamma"), nullptr);

    // Assigning again, and assigning to itself, releases nothing more.
    target.manager = source->manager;
    CVdPatternManager& same = target.manager;
    target.manager = same;
    EXPECT_EQ(target.manager.GetCountCatalog(), 2);
  }
  EXPECT_EQ(g_counts.catalogsDestroyed, 1);
  EXPECT_EQ(g_counts.factoriesDestroyed, 1);
  source.reset();
  EXPECT_EQ(g_counts.catalogsDestroyed, 3);
  EXPECT_EQ(g_counts.factoriesDestroyed, 2);
}

TEST_F(ManagerTest, ACopyHasItsOwnMarkFlagAndNoCatalogWalk) {
  AttachAll(pm.manager);
  pm.manager.SetMarkNewPattern(true);
  ASSERT_TRUE(pm.manager.FindFirstCatalog());

  CVdPatternManager copy(pm.manager);
  std::unique_ptr<CVdPatternManager> clone(pm.manager.GetClone());
  EXPECT_FALSE(copy.GetMarkNewPattern());
  EXPECT_FALSE(clone->GetMarkNewPattern());
  EXPECT_EQ(copy.FindNextCatalog(), nullptr);
  EXPECT_EQ(clone->FindNextCatalog(), nullptr);

  PlateManager target;
  target.manager.SetMarkNewPattern(true);
  target.manager = copy;
  EXPECT_TRUE(target.manager.GetMarkNewPattern());  // the flag is never copied
  EXPECT_EQ(target.manager.FindNextCatalog(), nullptr);
}

TEST_F(ManagerTest, DetachAndEmptyOnACopyLeaveTheOthersObjectsAlive) {
  CVdPatternManager& original = pm.manager;
  AttachAll(original);
  original.AddPatternPool(new CPlate(1, 10), false);
  {
    CVdPatternManager copy(original);
    copy.DetachCatalog(L"Alpha");
    EXPECT_EQ(copy.GetCountCatalog(), 2);
    EXPECT_EQ(original.GetCountCatalog(), 3);
    EXPECT_EQ(g_counts.catalogsDestroyed, 0);
    copy.Empty();
    EXPECT_EQ(copy.GetCountPool(), 0);
    EXPECT_EQ(original.GetCountPool(), 1);
    EXPECT_EQ(g_counts.catalogsDestroyed, 0);
    EXPECT_EQ(g_counts.platesAlive, 1);
  }
  auto check = CVdPattern::eCheckUserNameOk;
  EXPECT_EQ(CatalogOf(original.GetPattern(L"HEA 100", kCatalogType, &check)), L"Alpha");
  original.DetachCatalog(L"Alpha");
  EXPECT_EQ(g_counts.catalogsDestroyed, 1);  // the last holder let go
  EXPECT_EQ(g_counts.factoriesDestroyed, 0);
}
