// Pattern names compared without case: every lookup by name of the catalog, on a file whose columns declare no
// collation (as earlier versions and other programs made them), and the indexes that serve those lookups in the
// catalogs the library makes.

#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "catalog/CatalogFixture.h"

using cattest::CatalogFile;
using cattest::Number;

namespace {

class CatalogCase : public CatalogFile {};

}  // namespace

TEST_F(CatalogCase, EveryLookupByNameIgnoresCase) {
  auto catalog = Open();
  EXPECT_TRUE(catalog->FindPattern(L"he 100", nullptr));
  EXPECT_TRUE(catalog->FindPattern(L"o'NEIL", L"Beams"));
  std::unique_ptr<CVdPattern> found(catalog->GetPattern(L"heb 300", nullptr));
  ASSERT_TRUE(found);
  EXPECT_EQ(Number(*found, L"height"), 300);

  // Without append, a name that differs only in case overwrites its row instead of adding one.
  CVdPattern renamed(1, L"he 100", L"Beams");
  renamed.SetParam(0, L"height", 101.0);
  EXPECT_TRUE(catalog->InsertPattern(&renamed, false));
  EXPECT_EQ(Cell("SELECT count(*) FROM Beams"), "5");
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE lower(Name) = 'he 100'"), "101.0");

  std::unique_ptr<CVdPattern> changed(catalog->GetPattern(L"HE 200", L"Beams"));
  ASSERT_TRUE(changed);
  changed->SetParam(0, L"height", 222.0);
  EXPECT_TRUE(catalog->ModifyPattern(L"he 200", L"beams", changed.get()));
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'HE 200'"), "222.0");

  CVdPatternValue key(COleVariant(L"he 200"));
  EXPECT_EQ(catalog->GetMaxValue(L"Beams", L"Height", L"Name", key), CVdPatternCatalog::eFunctionFound);
  EXPECT_EQ(VariantToDouble(&key), 222.0);

  EXPECT_TRUE(catalog->RemovePattern(L"upn 80", nullptr));
  EXPECT_EQ(Cell("SELECT count(*) FROM Channels WHERE Name IN ('UPN 100', 'SHARED 1')"), "2");
  EXPECT_EQ(Cell("SELECT count(*) FROM Channels"), "2");
}

// The statements the catalog runs for a name, as the toolkit prepares them, in a catalog made by the library:
// the search probe (FindPattern, GetPattern, InsertPattern, ModifyPattern and RemovePattern all go through it)
// and the key of GetMaxValue. Each reads the name index, never the whole family.
TEST(CatalogIndexes, EveryLookupByNameReadsTheNameIndex) {
  vdtest::TempDir dir;
  const CString path(dir.File("made.mdb").c_str());
  CString error;
  ASSERT_TRUE(CVdCatalogSchema::CreateCatalog(path, L"VdCatalog", L"tests", 1, error)) << VdToUtf8(error.str());
  ASSERT_TRUE(
      CVdCatalogSchema::AddFamily(path, L"IPE", L"I", {{L"h", L"DOUBLE", L"mm"}, {L"grade", L"TEXT", L""}}, error))
      << VdToUtf8(error.str());
  // The library's own tables are never families, so no family may take such a name.
  EXPECT_FALSE(CVdCatalogSchema::AddFamily(path, L"Vd_History", L"H", {{L"h", L"DOUBLE", L"mm"}}, error));
  EXPECT_NE(error.Find(L"library's own"), -1) << VdToUtf8(error.str());
  CVdDatabase db;
  db.Open(path, 0, 0);
  const std::string index = "SEARCH IPE USING INDEX ix_IPE_Name (Name=?)\n";
  EXPECT_EQ(Plan(db, L"Select * From [IPE] WHERE Name = 'ipe 200'"), index);
  EXPECT_EQ(Plan(db, L"SELECT COUNT(*) as NrLines, MAX([h]) as maxim \nFROM [IPE]\nWHERE [Name] = 'ipe 200'"), index);
  EXPECT_EQ(Plan(db, L"SELECT * FROM [IPE] WHERE Name Like 'ipe 2%'"),
            "SEARCH IPE USING INDEX ix_IPE_Name (Name>? AND Name<?)\n");

  // The file itself compares its texts ignoring case, for any program that reads it.
  db.ExecuteSQL(L"INSERT INTO [IPE] ([Name], [grade]) VALUES ('IPE 200', 'S235')");
  EXPECT_EQ(
      vdtest::QueryText(dir.File("made.mdb"), "SELECT count(*) FROM IPE WHERE Name = 'ipe 200' AND grade = 's235'"),
      "1");
}
