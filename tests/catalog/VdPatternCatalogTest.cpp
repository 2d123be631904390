// Catalog lifecycle: opening and paths, recognition, metadata and the date stamp, OpenDB, closed catalogs,
// copies and factory ownership.

#include <sys/stat.h>

#include <vdpattern/toolkit/VdDatabase.h>

#include "catalog/CatalogFixture.h"

using cattest::CatalogFile;
using cattest::CRecordingFactory;
using cattest::Today;

namespace {

class CatalogOpening : public CatalogFile {};
class CatalogMetadata : public CatalogFile {};
class CatalogOwnership : public CatalogFile {};

}  // namespace

// ---------------------------------------------------------------- opening and paths

TEST_F(CatalogOpening, PathsAreCompletedWithTheCurrentDirectoryAndTheExtensionOnlyWhereMissing) {
  VDTEST_FILE_ONLY();  // paths of files
  auto full = Open();
  ASSERT_TRUE(full->IsOpened());
  EXPECT_TRUE(full->CanWrite());
  EXPECT_EQ(full->GetPath(), CString(Wide(m_file)));

  {
    vdtest::CurrentDirectory cd(m_dir.path());
    const std::wstring cwd = std::filesystem::current_path().wstring();
    CVdPatternCatalog bare(L"steel");
    ASSERT_TRUE(bare.IsOpened());
    EXPECT_EQ(bare.GetPath(), CString(cwd + L"/steel.mdb"));
    EXPECT_EQ(bare.GetName(), L"steel");
    EXPECT_TRUE(bare.FindPattern(L"HE 100", L"Beams"));
  }

  // A folder with a dot and a file without an extension: the path is opened, and stored with the extension.
  const auto folder = m_dir.path() / "v1.2";
  std::filesystem::create_directory(folder);
  const std::string file = (folder / "profiles").string();
  cattest::StandardCatalog().Write(file);
  CVdPatternCatalog dotted(Wide(file).c_str());
  ASSERT_TRUE(dotted.IsOpened());
  EXPECT_EQ(dotted.GetPath(), CString(Wide(file) + L".mdb"));
  EXPECT_EQ(dotted.GetName(), L"profiles");
  EXPECT_FALSE(std::filesystem::exists(file + ".mdb"));
}

TEST_F(CatalogOpening, MissingFileIsReportedAndLeavesAnOpenCatalogAsItWas) {
  auto catalog = Open();
  vdtest::ReportCapture capture;
  EXPECT_FALSE(catalog->Open(Wide(m_dir.File("absent.mdb")).c_str()));
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].caption, L"Erreur DB");
  EXPECT_NE(capture.reports[0].text.find(L"absent.mdb"), std::wstring::npos);
  EXPECT_TRUE(catalog->IsOpened());
  EXPECT_EQ(catalog->GetName(), L"steel");
  EXPECT_TRUE(catalog->FindPattern(L"UPN 80", nullptr));
}

TEST_F(CatalogOpening, FileWithoutSystemTablesIsReportedAndLeftClosedWhateverWayItIsOpened) {
  const std::string plain = MakeDb("plain.mdb", "CREATE TABLE Beams (Name TEXT);");
  auto catalog = Open();
  vdtest::ReportCapture capture;
  EXPECT_FALSE(catalog->Open(Wide(plain).c_str()));
  EXPECT_FALSE(catalog->IsOpened());
  EXPECT_TRUE(catalog->GetPath().IsEmpty());
  EXPECT_TRUE(catalog->GetName().IsEmpty());

  auto* db = new CVdDatabase();  // handed over: the catalog releases it
  db->Open(CString(Wide(plain)), 0, 0);
  CVdPatternCatalog onConnection(db, nullptr, true);
  EXPECT_FALSE(onConnection.IsOpened());
  EXPECT_TRUE(onConnection.GetPath().IsEmpty());
  ASSERT_EQ(capture.reports.size(), 2u);
  for (const auto& report : capture.reports) EXPECT_EQ(report.caption, L"Erreur DB");
}

TEST_F(CatalogOpening, OpenDBReturnCodesAndCloseForgetsPathNameUnitsAndCodesButKeepsTheUnitsFlag) {
  VDTEST_FILE_ONLY();  // paths of files
  vdtest::ReportCapture capture;
  CVdPatternCatalog never;
  EXPECT_EQ(never.OpenDB(), CVdPatternCatalog::eOpenDBFailed);

  auto catalog = Open();
  EXPECT_EQ(catalog->OpenDB(), CVdPatternCatalog::eOpenDBAlreadyOpen);
  catalog->CloseDB();
  EXPECT_FALSE(catalog->IsOpened());
  EXPECT_EQ(catalog->GetName(), L"steel");  // CloseDB keeps path and name
  EXPECT_EQ(catalog->OpenDB(), CVdPatternCatalog::eOpenDBOpened);
  EXPECT_TRUE(catalog->FindPattern(L"HE 200", L"Beams"));
  EXPECT_EQ(catalog->GetTypeName(), L"VdCatalog");
  EXPECT_TRUE(capture.reports.empty());

  catalog->CloseDB();
  std::filesystem::rename(m_file, m_file + ".away");
  EXPECT_EQ(catalog->OpenDB(), CVdPatternCatalog::eOpenDBFailed);
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].caption, L"Erreur DB");
  std::filesystem::rename(m_file + ".away", m_file);

  ASSERT_EQ(catalog->OpenDB(), CVdPatternCatalog::eOpenDBOpened);
  wchar_t code[64];
  ASSERT_TRUE(catalog->GetFamilyCode(L"Beams", code));
  catalog->Close();
  EXPECT_FALSE(catalog->IsOpened());
  EXPECT_TRUE(catalog->GetPath().IsEmpty());
  EXPECT_TRUE(catalog->GetName().IsEmpty());
  EXPECT_TRUE(catalog->GetUnitsMap(L"BEAMS").empty());
  EXPECT_FALSE(catalog->GetFamilyCode(L"Beams", code));
  EXPECT_TRUE(catalog->GetHasUnits());
  EXPECT_EQ(catalog->OpenDB(), CVdPatternCatalog::eOpenDBFailed);
}

TEST_F(CatalogOpening, ConnectionConstructorTakesTheDatabaseOverWithoutUnits) {
  VDTEST_FILE_ONLY();  // paths of files
  auto* db = new CVdDatabase();
  db->Open(CString(Wide(m_file)), 0, 0);
  CVdPatternCatalog catalog(db, nullptr, true);
  ASSERT_TRUE(catalog.IsOpened());
  EXPECT_EQ(catalog.GetPath(), CString(Wide(m_file)));
  EXPECT_EQ(catalog.GetName(), L"steel");
  EXPECT_FALSE(catalog.GetHasUnits());
  EXPECT_TRUE(catalog.GetUnitsMap(L"BEAMS").empty());
  EXPECT_TRUE(catalog.FindPattern(L"UPN 100", nullptr));

  // A relative name is kept as the path, and leaves the name empty.
  vdtest::CurrentDirectory cd(m_dir.path());
  auto* relative = new CVdDatabase();
  relative->Open(L"steel.mdb", 0, 0);
  CVdPatternCatalog onRelative(relative, nullptr, true);
  ASSERT_TRUE(onRelative.IsOpened());
  EXPECT_EQ(onRelative.GetPath(), L"steel.mdb");
  EXPECT_TRUE(onRelative.GetName().IsEmpty());
}

// ---------------------------------------------------------------- closed catalog

TEST(CatalogClosed, GettersAreEmptyAndOperationsFailWithoutAReport) {
  vdtest::ReportCapture capture;
  CVdPatternCatalog catalog;
  EXPECT_FALSE(catalog.IsOpened());
  EXPECT_FALSE(catalog.CanWrite());
  EXPECT_EQ(catalog.GetVerNumber(), 0);
  catalog.SetName(L"x");
  catalog.SetEditorName(L"x");
  EXPECT_TRUE(catalog.GetTypeName().IsEmpty());
  EXPECT_TRUE(catalog.GetEditorName().IsEmpty());
  EXPECT_TRUE(catalog.GetLastUpdateDate().IsEmpty());
  EXPECT_TRUE(catalog.IsCatalog());

  std::list<std::wstring> families{L"kept"};
  EXPECT_FALSE(catalog.GetFamilies(families));
  EXPECT_EQ(families.size(), 1u);
  EXPECT_FALSE(catalog.FindFamily(L"Beams"));
  EXPECT_FALSE(catalog.FindPattern(L"HE 100", nullptr));
  EXPECT_EQ(catalog.GetPattern(L"HE 100", nullptr), nullptr);
  CVdPatternPool pool;
  EXPECT_FALSE(catalog.GetFamilyPattern(&pool, L"Beams", nullptr));
  EXPECT_FALSE(catalog.GetFamilyPatternSQL(&pool, L"SELECT * FROM Beams", L"Beams"));
  EXPECT_EQ(pool.GetCount(), 0);
  EXPECT_EQ(catalog.GetFamilyDescriptionRS(), nullptr);
  COleVariant value;
  EXPECT_FALSE(catalog.GetFamilyDescriptionField(0, value));
  EXPECT_FALSE(catalog.SetFamilyDescriptionField(0, L"x"));
  CVdPattern pattern(1, L"HE 100", L"Beams");
  for (const bool append : {false, true}) EXPECT_FALSE(catalog.InsertPattern(&pattern, append));
  EXPECT_FALSE(catalog.ModifyPattern(L"HE 100", nullptr, &pattern));
  EXPECT_FALSE(catalog.RemovePattern(L"HE 100", nullptr));
  EXPECT_FALSE(CVdPatternCatalog::CompactDatabase(L"x.mdb", true));
  EXPECT_EQ(catalog.CreateLike(L"x.mdb", nullptr, true), nullptr);
  EXPECT_TRUE(capture.reports.empty());
}

// ---------------------------------------------------------------- recognition and metadata

TEST_F(CatalogMetadata, DefinitionRowIsReadBackAndSettersWriteItAndStampTheDate) {
  Rewrite(vdtest::CatalogBuilder().SetDefinition("Steel tables", -7, "1999/12/31", "Ann O'Hara"));
  auto catalog = Open();
  EXPECT_EQ(catalog->GetTypeName(), L"Steel tables");
  EXPECT_EQ(catalog->GetVerNumber(), -7);
  EXPECT_EQ(catalog->GetLastUpdateDate(), L"1999/12/31");
  EXPECT_EQ(catalog->GetEditorName(), L"Ann O'Hara");

  catalog->SetName(L"Renamed");
  EXPECT_EQ(catalog->GetTypeName(), L"Renamed");
  EXPECT_EQ(catalog->GetName(), L"steel");  // the type name, not the file's name
  EXPECT_EQ(catalog->GetLastUpdateDate(), CString(Wide(Today())));
  catalog->SetEditorName(L"Bob's");
  EXPECT_EQ(catalog->GetEditorName(), L"Bob's");
  EXPECT_EQ(Cell("SELECT def_name || '|' || def_editorName || '|' || def_lastUpdate FROM Definition"),
            "Renamed|Bob's|" + Today());
}

// ---------------------------------------------------------------- copies and factory ownership

TEST_F(CatalogOwnership, CopiesShareTheConnectionOutliveTheSourceAndAssignmentReleasesTheTargetsOwn) {
  auto source = Open();
  CVdPatternCatalog copy(*source);
  source->Close();
  EXPECT_FALSE(source->IsOpened());
  ASSERT_TRUE(copy.IsOpened());
  EXPECT_EQ(copy.GetName(), L"steel");
  EXPECT_EQ(copy.GetTypeName(), L"VdCatalog");
  source.reset();
  EXPECT_TRUE(copy.FindPattern(L"UPN 80", L"Channels"));

  const std::string other =
      MakeCatalog("other.mdb", vdtest::CatalogBuilder().AddFamily("Tubes", "t", "D DOUBLE", "('T 1', 1)"));
  CVdPatternCatalog target(Wide(other).c_str());
  target = copy;
  EXPECT_EQ(target.GetName(), L"steel");
  EXPECT_TRUE(target.FindPattern(L"HE 100", nullptr));
  EXPECT_FALSE(target.FindPattern(L"T 1", nullptr));
}

TEST_F(CatalogOwnership, OwnedFactoryIsDestroyedOnceByTheLastCopyAndOneNotOwnedNever) {
  int destroyed = 0;
  auto source = Open(new CRecordingFactory(nullptr, &destroyed), true);
  auto copy = std::make_unique<CVdPatternCatalog>(*source);
  CVdPatternCatalog assigned;
  assigned = *copy;
  EXPECT_EQ(copy->GetFactory(), source->GetFactory());
  source.reset();
  copy.reset();
  EXPECT_EQ(destroyed, 0);
  std::unique_ptr<CVdPattern> p(assigned.GetPattern(L"HE 100", nullptr));
  EXPECT_TRUE(p);
  assigned.Close();
  EXPECT_EQ(destroyed, 0);  // the factory survives Close
  assigned.AttachFactory(nullptr, true);
  EXPECT_EQ(destroyed, 1);

  int borrowedDestroyed = 0;
  CRecordingFactory borrowed(nullptr, &borrowedDestroyed);
  {
    auto catalog = Open(&borrowed, false);
    CVdPatternCatalog again(*catalog);
    std::unique_ptr<CVdPattern> q(again.GetPattern(L"HE 100", nullptr));
    EXPECT_TRUE(q);
  }
  EXPECT_EQ(borrowedDestroyed, 0);
  EXPECT_EQ(borrowed.reads.size(), 1u);
}

TEST_F(CatalogOwnership, AttachFactoryDestroysAnOwnedFactoryExceptTheSameOneAndLetsAnotherGo) {
  int first = 0, second = 0;
  auto* factory = new CRecordingFactory(nullptr, &first);
  {
    auto catalog = Open(factory, true);
    catalog->AttachFactory(factory, true);  // attached again: kept alive
    EXPECT_EQ(first, 0);
    std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", nullptr));
    ASSERT_TRUE(p);
    EXPECT_EQ(factory->reads.size(), 1u);

    auto* replacement = new CRecordingFactory(nullptr, &second);
    catalog->AttachFactory(replacement, false);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(catalog->GetFactory(), replacement);
    catalog->AttachFactory(nullptr, true);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(catalog->GetFactory(), nullptr);
    delete replacement;

    // A factory made on demand belongs to the catalog (released by it, checked by the leak run).
    std::unique_ptr<CVdPattern> q(catalog->GetPattern(L"HE 100", nullptr));
    ASSERT_TRUE(q);
    EXPECT_NE(catalog->GetFactory(), nullptr);
  }
  EXPECT_EQ(first, 1);
}
