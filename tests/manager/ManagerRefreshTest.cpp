// Refreshing a pool from the change records: a second connection (another workstation) edits the catalog and
// the first one's next refresh brings its pooled patterns up to date in place.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <vdpattern/catalog/VdCatalogSchema.h>

#include "manager/ManagerFixture.h"

using namespace mgrtest;

namespace {

class ManagerRefresh : public ManagerTest {
 protected:
  // Pools the catalog pattern `name` on A's manager and returns the pool's object.
  CVdPattern* Pool(const wchar_t* name) {
    CVdPattern* p = manager.GetPatternCatalog(CString(name));
    EXPECT_NE(p, nullptr) << U8(name);
    if (p && !manager.AddPatternPool(p, false)) {
      delete p;
      return nullptr;
    }
    return p;
  }
  // B's edit: `name` of `family` stored with the height `h`.
  static bool SetHeight(CVdPatternCatalog& b, const wchar_t* name, const wchar_t* family, double h) {
    std::unique_ptr<CVdPattern> p(b.GetPattern(name, family));
    if (!p) return false;
    p->SetParam(0, L"height", h);
    return b.ModifyPattern(name, family, p.get());
  }
};

}  // namespace

TEST_F(ManagerRefresh, AnEditOnAnotherConnectionIsSeenByTheNextRefreshInPlace) {
  Attach(manager, beta);
  CVdPattern* ipe = Pool(L"IPE 200");
  CVdPattern* hea = Pool(L"HEA 100");
  ASSERT_TRUE(ipe && hea);
  const CString ipeGuid = ipe->GetGUID(), heaGuid = hea->GetGUID();

  // A catalog never written keeps no change records: nothing to refresh, nothing read.
  g_counts.catalogLookups = 0;
  CVdPatternManager::PoolRefresh r = manager.RefreshPool();
  EXPECT_TRUE(r.updated.empty() && r.removed.empty() && r.failed.empty());
  EXPECT_EQ(g_counts.catalogLookups, 0);

  CVdPatternCatalog b{CString(beta.c_str())};  // workstation B: a connection of its own
  ASSERT_TRUE(b.IsOpened());
  ASSERT_TRUE(SetHeight(b, L"IPE 200", L"IPE", 201));
  ASSERT_TRUE(b.RemovePattern(L"HEA 100", L"HEA"));

  // The first refresh with records re-reads every pooled pattern of the catalog.
  r = manager.RefreshPool();
  ASSERT_EQ(r.updated.size(), 1u);
  EXPECT_EQ(r.updated[0], ipe);
  EXPECT_EQ(ipe->GetGUID(), ipeGuid);
  EXPECT_EQ(Height(ipe), 201);
  EXPECT_EQ(Text(ipe->GetUserNameW()), L"IPE 200");
  EXPECT_EQ(r.removed, std::vector<CString>{heaGuid});
  EXPECT_EQ(manager.GetCountPool(), 1);

  // Later refreshes read only what changed: an insert of a name not pooled costs no lookup, an edit one.
  std::unique_ptr<CVdPattern> added(new CVdPattern(1, L"IPE 220", L"IPE"));
  added->SetParam(0, L"height", 220.0);
  ASSERT_TRUE(b.InsertPattern(added.get(), false));
  ASSERT_TRUE(SetHeight(b, L"IPE 200", L"IPE", 202));
  g_counts.catalogLookups = 0;
  r = manager.RefreshPool();
  EXPECT_EQ(r.updated, std::vector<CVdPattern*>{ipe});
  EXPECT_EQ(Height(ipe), 202);
  EXPECT_EQ(g_counts.catalogLookups, 1);

  // Nothing changed: one statement, no lookup, nothing reported.
  g_counts.catalogLookups = 0;
  r = manager.RefreshPool();
  EXPECT_TRUE(r.updated.empty() && r.removed.empty() && r.failed.empty());
  EXPECT_EQ(g_counts.catalogLookups, 0);
  EXPECT_EQ(manager.GetCountPool(), 1);
}

TEST_F(ManagerRefresh, WritesRecordTheirChangesInOrderAndAFailedWriteNone) {
  CVdPatternCatalog b{CString(beta.c_str())};
  ASSERT_TRUE(b.IsOpened());
  std::vector<CVdPatternCatalog::PatternChange> changes;
  EXPECT_EQ(b.GetChanges(0, changes), CVdPatternCatalog::eChangesNotKept);

  ASSERT_TRUE(SetHeight(b, L"IPE 200", L"IPE", 201));
  std::unique_ptr<CVdPattern> added(new CVdPattern(1, L"IPE 220", L"IPE"));
  ASSERT_TRUE(b.InsertPattern(added.get(), false));
  ASSERT_TRUE(b.InsertPattern(added.get(), false));  // the same name again: an overwrite
  ASSERT_TRUE(b.RemovePattern(L"PL 10x200", nullptr));
  EXPECT_FALSE(b.RemovePattern(L"no such", L"IPE"));

  ASSERT_EQ(b.GetChanges(0, changes), CVdPatternCatalog::eChangesRead);
  struct Expected {
    const wchar_t *family, *name, *kind;
  };
  const Expected expected[] = {{L"IPE", L"IPE 200", L"modify"},
                               {L"IPE", L"IPE 220", L"insert"},
                               {L"IPE", L"IPE 220", L"modify"},
                               {L"Plates", L"PL 10x200", L"remove"}};
  ASSERT_EQ(changes.size(), std::size(expected));
  for (std::size_t i = 0; i < changes.size(); ++i) {
    EXPECT_EQ(changes[i].sequence, static_cast<long long>(i + 1));
    EXPECT_EQ(changes[i].family, expected[i].family) << i;
    EXPECT_EQ(changes[i].name, expected[i].name) << i;
    EXPECT_EQ(changes[i].kind, expected[i].kind) << i;
  }
  long long last = 0;
  EXPECT_EQ(b.GetLastChange(last), CVdPatternCatalog::eChangesRead);
  EXPECT_EQ(last, 4);
  changes.clear();
  EXPECT_EQ(b.GetChanges(3, changes), CVdPatternCatalog::eChangesRead);
  EXPECT_EQ(changes.size(), 1u);

  // A family added by the schema class is a change too.
  CString error;
  ASSERT_TRUE(CVdCatalogSchema::AddFamily(CString(beta.c_str()), L"HEB", L"HEB", {{L"h", L"DOUBLE", L"mm"}}, error))
      << U8(error);
  changes.clear();
  ASSERT_EQ(b.GetChanges(4, changes), CVdPatternCatalog::eChangesRead);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].family + L"/" + changes[0].name + L"/" + changes[0].kind, L"HEB//family");
}
