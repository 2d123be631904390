// Purging the manager's pool: by family with the host's callback, over all families, by a list of names, and
// one pattern at a time with DeleteIfUnused.

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "manager/ManagerFixture.h"

using namespace mgrtest;

namespace {

using Names = std::vector<std::wstring>;

// The host's callback records what it was asked and gives the answer prepared by the test.
struct Host {
  int calls = 0;
  std::wstring family = L"<never asked>";
  Names names;
  std::vector<bool> answer;
  bool fails = false;
};
Host g_host;

std::vector<bool> Ask(std::wstring family, std::vector<std::wstring> names) {
  ++g_host.calls;
  g_host.family = family;
  g_host.names = names;
  if (g_host.fails) throw std::runtime_error("host failure");
  return g_host.answer;
}

class ManagerPurge : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    if (IsSkipped()) return;
    g_host = Host();
    for (double t : {3.0, 1.0, 2.0}) manager.AddPatternPool(new CPlate(t, 10), false);
    manager.AddPatternPool(new CVdPattern(1, L"HEA 100", L"HEA"), false);
  }
  Names Pool() {
    std::list<CString> names;
    manager.GetListUserName(names);
    Names out;
    for (const CString& n : names) out.push_back(n.str());
    return out;
  }
};

}  // namespace

// ---------------------------------------------------------------- by family

TEST_F(ManagerPurge, AFamilyIsOfferedInNameOrderAndTheFlaggedPatternsGo) {
  g_host.answer = {true, false, true};
  int count = -1;
  EXPECT_EQ(manager.Purge(L"plates", &Ask, count), CVdPatternManager::PURGE_OK);  // family ignoring case
  EXPECT_EQ(g_host.calls, 1);
  EXPECT_EQ(g_host.family, L"plates");
  EXPECT_EQ(g_host.names, (Names{L"PL 1x10", L"PL 2x10", L"PL 3x10"}));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(Pool(), (Names{L"HEA 100", L"PL 2x10"}));
  EXPECT_EQ(g_counts.platesAlive, 1);  // removed patterns are destroyed
}

TEST_F(ManagerPurge, NothingIsPurgedWithoutAFlagOrSomeoneToAskAndMissingFlagsKeepTheirPatterns) {
  int count = 42;
  EXPECT_EQ(manager.Purge(L"IPE", &Ask, count), CVdPatternManager::PURGE_NOTHING_TO_PURGE);  // no pool pattern
  EXPECT_EQ(manager.Purge(L"Plates", nullptr, count), CVdPatternManager::PURGE_NOTHING_TO_PURGE);
  EXPECT_EQ(manager.Purge(nullptr), CVdPatternManager::PURGE_NOTHING_TO_PURGE);
  EXPECT_EQ(g_host.calls, 0);
  EXPECT_EQ(count, 42);

  g_host.answer = {false, false, false};
  EXPECT_EQ(manager.Purge(L"Plates", &Ask, count), CVdPatternManager::PURGE_NOTHING_TO_PURGE);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(manager.GetCountPool(), 4);

  // Missing flags keep their patterns and extra flags are ignored.
  g_host.answer = {true};
  EXPECT_EQ(manager.Purge(L"Plates", &Ask, count), CVdPatternManager::PURGE_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Pool(), (Names{L"HEA 100", L"PL 2x10", L"PL 3x10"}));

  g_host.answer = {false, true, true, true, true};
  EXPECT_EQ(manager.Purge(L"Plates", &Ask, count), CVdPatternManager::PURGE_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Pool(), (Names{L"HEA 100", L"PL 2x10"}));
}

TEST_F(ManagerPurge, PurgeWithOnlyACallbackOffersEveryPatternUnderAnEmptyFamily) {
  g_host.answer = {true, false, false, true};
  EXPECT_EQ(manager.Purge(&Ask), CVdPatternManager::PURGE_OK);
  EXPECT_EQ(g_host.family, L"");
  EXPECT_EQ(g_host.names, (Names{L"HEA 100", L"PL 1x10", L"PL 2x10", L"PL 3x10"}));
  EXPECT_EQ(Pool(), (Names{L"PL 1x10", L"PL 2x10"}));
}

TEST_F(ManagerPurge, ACallbackThatThrowsLeavesThePoolUnchanged) {
  g_host.fails = true;
  int count = 42;
  EXPECT_THROW(manager.Purge(L"Plates", &Ask, count), std::runtime_error);
  EXPECT_THROW(manager.Purge(&Ask), std::runtime_error);
  EXPECT_THROW(manager.DeleteIfUnused(L"PL 1x10", &Ask), std::runtime_error);
  EXPECT_EQ(count, 42);
  EXPECT_EQ(manager.GetCountPool(), 4);
  EXPECT_EQ(g_counts.platesAlive, 3);
}

TEST_F(ManagerPurge, ANameSharedByTwoPatternsRemovesTheOneTheNameLookupFinds) {
  CVdPattern* first = new CVdPattern(1, L"X 1", L"Left");
  CVdPattern* second = new CVdPattern(1, L"X 1", L"Right");
  second->SetParam(0, L"side", 2.0);
  ASSERT_TRUE(manager.AddPatternPool(first, false));
  ASSERT_TRUE(manager.AddPatternPool(second, false));
  g_host.answer = {true};
  int count = 0;
  EXPECT_EQ(manager.Purge(L"right", &Ask, count), CVdPatternManager::PURGE_OK);
  EXPECT_EQ(g_host.names, (Names{L"X 1"}));
  EXPECT_EQ(manager.FindPatternPositionPool(second), 4);
  EXPECT_EQ(manager.GetPatternPool(CString(L"X 1"), CString(L"Right")), second);
  EXPECT_EQ(manager.GetCountPool(), 5);
}

// ---------------------------------------------------------------- by list

TEST_F(ManagerPurge, AListOfNamesIsRemovedWithoutAskingUnknownNamesSkippedAndCatalogsLeftAlone) {
  EXPECT_EQ(manager.Purge(Names{}), CVdPatternManager::PURGE_NOTHING_TO_PURGE);
  EXPECT_EQ(manager.Purge(Names{L"PL 1x10", L"HEB 900", L"pl 3 X 10"}), CVdPatternManager::PURGE_OK);
  EXPECT_EQ(Pool(), (Names{L"HEA 100", L"PL 2x10"}));  // the last one by its standard code
  EXPECT_EQ(manager.Purge(Names{L"HEB 900"}), CVdPatternManager::PURGE_OK);
  EXPECT_EQ(manager.GetCountPool(), 2);
  EXPECT_EQ(g_host.calls, 0);

  // A purged catalog pattern stays in its catalog.
  Attach(manager, beta);
  auto check = CVdPattern::eCheckUserNameOk;
  CVdPattern* ipe = manager.GetPattern(L"IPE 200", CVdPattern::ePatternTypeCatalog, &check);
  ASSERT_TRUE(ipe && manager.AddPatternPool(ipe, false));
  EXPECT_EQ(manager.Purge(Names{L"IPE 200"}), CVdPatternManager::PURGE_OK);
  EXPECT_FALSE(manager.IsExistUserNamePool(L"IPE 200"));
  std::unique_ptr<CVdPattern> again(manager.GetPattern(L"IPE 200", CVdPattern::ePatternTypeCatalog, &check));
  ASSERT_TRUE(again);
  EXPECT_EQ(Height(again.get()), 200.0);
  EXPECT_EQ(vdtest::QueryText(beta, "SELECT COUNT(*) FROM IPE"), "1");
}

// ---------------------------------------------------------------- one pattern

TEST_F(ManagerPurge, DeleteIfUnusedRemovesOnlyAnUnusedPatternThePoolHolds) {
  EXPECT_EQ(manager.DeleteIfUnused(L"HEB 900", nullptr), CVdPatternManager::DELETE_NOT_FOUND);
  g_host.answer = {true};
  EXPECT_EQ(manager.DeleteIfUnused(L"HEB 900", &Ask), CVdPatternManager::DELETE_NOT_FOUND);

  g_host.answer = {false};
  EXPECT_EQ(manager.DeleteIfUnused(L"PL 1x10", &Ask), CVdPatternManager::DELETE_IN_USE);
  EXPECT_EQ(g_host.names, (Names{L"PL 1x10"}));
  g_host.answer = {};  // no answer: in use
  EXPECT_EQ(manager.DeleteIfUnused(L"PL 1x10", &Ask), CVdPatternManager::DELETE_IN_USE);
  EXPECT_EQ(manager.GetCountPool(), 4);

  g_host.answer = {true};
  EXPECT_EQ(manager.DeleteIfUnused(L"hea 100", &Ask), CVdPatternManager::DELETE_OK);
  EXPECT_EQ(g_host.family, L"");  // whatever the pattern's family
  EXPECT_EQ(manager.DeleteIfUnused(L"PL1x10", nullptr), CVdPatternManager::DELETE_OK);
  EXPECT_EQ(Pool(), (Names{L"PL 2x10", L"PL 3x10"}));
  EXPECT_EQ(g_counts.platesAlive, 2);
}

// ---------------------------------------------------------------- derived managers

namespace {

// A host's manager that protects one pattern from every removal and logs the lists it is asked to purge.
class CGuardedManager : public CVdPatternManager {
 public:
  using CVdPatternManager::CVdPatternManager;
  using CVdPatternManager::Purge;
  PURGE_STATUS Purge(std::vector<std::wstring> names) override {
    lists.push_back(names);
    return CVdPatternManager::Purge(names);
  }
  bool DeletePatternPool(const CString& guid) override {
    CVdPattern* p = GetPatternPool(guid, true);
    if (p && p->GetUserNameW().CompareNoCase(L"keep") == 0) return false;
    return CVdPatternManager::DeletePatternPool(guid);
  }
  void GetFamilyPatternPool(CVdPatternPool& target, const CString& family, bool force) const override {
    CVdPatternManager::GetFamilyPatternPool(target, family.IsEmpty() ? CString(L"Plates") : family, force);
  }
  std::vector<Names> lists;
};

}  // namespace

TEST_F(ManagerTest, PurgeGoesThroughADerivedManagersOverrides) {
  g_host = Host();
  CGuardedManager guarded(new CPlateFactory);
  guarded.AddPatternPool(new CVdPattern(1, L"keep", L"Plates"), false);
  guarded.AddPatternPool(new CVdPattern(1, L"drop", L"Plates"), false);
  guarded.AddPatternPool(new CVdPattern(1, L"other", L"Angles"), false);
  g_host.answer = {true, true};
  int count = 0;
  EXPECT_EQ(guarded.Purge(std::wstring(), &Ask, count), CVdPatternManager::PURGE_OK);
  EXPECT_EQ(g_host.names, (Names{L"drop", L"keep"}));
  ASSERT_EQ(guarded.lists.size(), 1u);
  EXPECT_EQ(guarded.lists[0], (Names{L"drop", L"keep"}));
  EXPECT_EQ(guarded.DeleteIfUnused(L"keep", nullptr), CVdPatternManager::DELETE_OK);
  std::list<CString> left;
  guarded.GetListUserName(left);
  EXPECT_EQ(left, (std::list<CString>{L"keep", L"other"}));
}
