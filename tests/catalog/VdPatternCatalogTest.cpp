// Catalog lifecycle: opening and paths, recognition, metadata and the date stamp, OpenDB, closed catalogs,
// copies and factory ownership, and the database-failure report.

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

TEST_F(CatalogOpening, BareNameIsCompletedWithTheCurrentDirectoryAndTheExtension) {
  cattest::CurrentDirectory cd(m_dir.path());
  const std::wstring cwd = std::filesystem::current_path().wstring();
  CVdPatternCatalog catalog(L"steel");
  ASSERT_TRUE(catalog.IsOpened());
  EXPECT_EQ(catalog.GetPath(), CString(cwd + L"/steel.mdb"));
  EXPECT_EQ(catalog.GetName(), L"steel");
  EXPECT_TRUE(catalog.FindPattern(L"HE 100", L"Beams"));
}

TEST_F(CatalogOpening, FullPathIsOpenedAsGiven) {
  auto catalog = Open();
  ASSERT_TRUE(catalog->IsOpened());
  EXPECT_TRUE(catalog->CanWrite());
  EXPECT_EQ(catalog->GetPath(), CString(Wide(m_file)));
}

TEST_F(CatalogOpening, FolderWithADotAndFileWithoutExtensionOpensThePathAndStoresItWithTheExtension) {
  const auto folder = m_dir.path() / "v1.2";
  std::filesystem::create_directory(folder);
  const std::string file = (folder / "profiles").string();
  cattest::StandardCatalog().Write(file);
  CVdPatternCatalog catalog(Wide(file).c_str());
  ASSERT_TRUE(catalog.IsOpened());
  EXPECT_EQ(catalog.GetPath(), CString(Wide(file) + L".mdb"));
  EXPECT_EQ(catalog.GetName(), L"profiles");
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

TEST_F(CatalogOpening, FileWithoutSystemTablesIsReportedAndLeftClosed) {
  const std::string plain = m_dir.File("plain.mdb");
  vdtest::ExecSql(plain, "CREATE TABLE Beams (Name TEXT);");
  auto catalog = Open();
  vdtest::ReportCapture capture;
  EXPECT_FALSE(catalog->Open(Wide(plain).c_str()));
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].caption, L"Erreur DB");
  EXPECT_FALSE(catalog->IsOpened());
  EXPECT_TRUE(catalog->GetPath().IsEmpty());
  EXPECT_TRUE(catalog->GetName().IsEmpty());
}

TEST_F(CatalogOpening, OpenDBReturnCodes) {
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
  std::filesystem::remove(m_file);
  EXPECT_EQ(catalog->OpenDB(), CVdPatternCatalog::eOpenDBFailed);
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].caption, L"Erreur DB");
}

TEST_F(CatalogOpening, CloseForgetsPathNameUnitsAndCodesButKeepsTheUnitsFlag) {
  auto catalog = Open();
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
  auto* db = new CVdDatabase();
  db->Open(CString(Wide(m_file)), 0, 0);
  CVdPatternCatalog catalog(db, nullptr, true);
  ASSERT_TRUE(catalog.IsOpened());
  EXPECT_EQ(catalog.GetPath(), CString(Wide(m_file)));
  EXPECT_EQ(catalog.GetName(), L"steel");
  EXPECT_FALSE(catalog.GetHasUnits());
  EXPECT_TRUE(catalog.GetUnitsMap(L"BEAMS").empty());
  EXPECT_TRUE(catalog.FindPattern(L"UPN 100", nullptr));
}

TEST_F(CatalogOpening, ConnectionConstructorOnANonCatalogReportsAndReleasesTheConnection) {
  const std::string plain = m_dir.File("plain.mdb");
  vdtest::ExecSql(plain, "CREATE TABLE Beams (Name TEXT);");
  auto* db = new CVdDatabase();
  db->Open(CString(Wide(plain)), 0, 0);
  vdtest::ReportCapture capture;
  CVdPatternCatalog catalog(db, nullptr, true);
  EXPECT_FALSE(catalog.IsOpened());
  EXPECT_TRUE(catalog.GetPath().IsEmpty());
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].caption, L"Erreur DB");
}

TEST_F(CatalogOpening, ConnectionConstructorWithARelativeNameLeavesTheNameEmpty) {
  cattest::CurrentDirectory cd(m_dir.path());
  auto* db = new CVdDatabase();
  db->Open(L"steel.mdb", 0, 0);
  CVdPatternCatalog catalog(db, nullptr, true);
  ASSERT_TRUE(catalog.IsOpened());
  EXPECT_EQ(catalog.GetPath(), L"steel.mdb");
  EXPECT_TRUE(catalog.GetName().IsEmpty());
}

TEST_F(CatalogOpening, EmptyFamilyDescriptionOpens) {
  vdtest::CatalogBuilder b;
  b.AddTable("Beams", "Height DOUBLE", "('HE 100', 100)");
  Rewrite(b);
  auto catalog = Open();
  ASSERT_TRUE(catalog->IsOpened());
  wchar_t code[64];
  EXPECT_FALSE(catalog->GetFamilyCode(L"Beams", code));
  COleVariant value;
  EXPECT_FALSE(catalog->GetFamilyDescriptionField(L"Name", value));
  EXPECT_TRUE(catalog->FindPattern(L"HE 100", nullptr));
}

// ---------------------------------------------------------------- closed catalog

TEST(CatalogClosed, GettersAreEmptyAndOperationsFailWithoutAReport) {
  vdtest::ReportCapture capture;
  CVdPatternCatalog catalog;
  EXPECT_FALSE(catalog.IsOpened());
  EXPECT_FALSE(catalog.CanWrite());
  EXPECT_EQ(catalog.GetFactory(), nullptr);
  EXPECT_EQ(catalog.GetVerNumber(), 0);
  EXPECT_TRUE(catalog.GetTypeName().IsEmpty());
  EXPECT_TRUE(catalog.GetEditorName().IsEmpty());
  EXPECT_TRUE(catalog.GetLastUpdateDate().IsEmpty());
  catalog.SetName(L"x");
  catalog.SetEditorName(L"x");
  EXPECT_TRUE(catalog.GetTypeName().IsEmpty());
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
  EXPECT_FALSE(catalog.InsertPattern(&pattern, false));
  EXPECT_FALSE(catalog.InsertPattern(&pattern, true));
  EXPECT_FALSE(catalog.ModifyPattern(L"HE 100", nullptr, &pattern));
  EXPECT_FALSE(catalog.RemovePattern(L"HE 100", nullptr));
  EXPECT_FALSE(CVdPatternCatalog::CompactDatabase(L"x.mdb", true));
  EXPECT_EQ(catalog.CreateLike(L"x.mdb", nullptr, true), nullptr);
  EXPECT_TRUE(capture.reports.empty());
}

// ---------------------------------------------------------------- recognition and metadata

TEST_F(CatalogMetadata, IsCatalogAsksTheFactoryAboutTheTypeName) {
  auto plain = Open();
  EXPECT_TRUE(plain->IsCatalog());  // no factory: every catalog is accepted
  auto checked = Open(new CRecordingFactory());
  EXPECT_TRUE(checked->IsCatalog());
  checked->SetName(L"Something else");
  EXPECT_FALSE(checked->IsCatalog());
}

TEST_F(CatalogMetadata, DefinitionRowIsReadBack) {
  Rewrite(vdtest::CatalogBuilder().SetDefinition("Steel tables", -7, "1999/12/31", "Ann O'Hara"));
  auto catalog = Open();
  EXPECT_EQ(catalog->GetTypeName(), L"Steel tables");
  EXPECT_EQ(catalog->GetVerNumber(), -7);
  EXPECT_EQ(catalog->GetLastUpdateDate(), L"1999/12/31");
  EXPECT_EQ(catalog->GetEditorName(), L"Ann O'Hara");
}

TEST_F(CatalogMetadata, SettersWriteTheDefinitionRowAndStampTheDate) {
  auto catalog = Open();
  catalog->SetName(L"Renamed");
  EXPECT_EQ(catalog->GetTypeName(), L"Renamed");
  EXPECT_EQ(catalog->GetName(), L"steel");  // the type name, not the file's name
  EXPECT_EQ(catalog->GetLastUpdateDate(), CString(Wide(Today())));
  catalog->SetEditorName(L"Bob");
  EXPECT_EQ(catalog->GetEditorName(), L"Bob");
  EXPECT_EQ(Cell("SELECT def_name || '|' || def_editorName || '|' || def_lastUpdate FROM Definition"),
            "Renamed|Bob|" + Today());
}

TEST_F(CatalogMetadata, ExceptionTextIsTheMessageOrTheFixedForm) {
  CDBException withMessage;
  withMessage.m_strError = L"disk on fire";
  withMessage.m_strStateNativeOrigin = L"State:HY000";
  EXPECT_EQ(CVdPatternCatalog::GetDBExceptionString(&withMessage), L"disk on fire");
  CDBException bare(SQL_ERROR);
  bare.m_strStateNativeOrigin = L"State:42S02,Native:1,Origin:[x]";
  EXPECT_EQ(CVdPatternCatalog::GetDBExceptionString(&bare),
            L"ERROR:CDBException\n\nRET_CODE        =-1\nERR_CODE        =\nDescription     "
            L"=State:42S02,Native:1,Origin:[x]\n");
}

// ---------------------------------------------------------------- copies and factory ownership

TEST_F(CatalogOwnership, CopySharesTheConnectionAndOutlivesTheClosedSource) {
  auto source = Open();
  CVdPatternCatalog copy(*source);
  source->Close();
  EXPECT_FALSE(source->IsOpened());
  ASSERT_TRUE(copy.IsOpened());
  EXPECT_EQ(copy.GetName(), L"steel");
  EXPECT_EQ(copy.GetTypeName(), L"VdCatalog");
  EXPECT_TRUE(copy.FindPattern(L"HE 100", nullptr));
  source.reset();
  EXPECT_TRUE(copy.FindPattern(L"UPN 80", L"Channels"));
}

TEST_F(CatalogOwnership, AssignedCatalogReleasesItsOwnConnectionAndSharesTheOther) {
  const std::string other = m_dir.File("other.mdb");
  vdtest::CatalogBuilder().AddFamily("Tubes", "t", "D DOUBLE", "('T 1', 1)").Write(other);
  CVdPatternCatalog target(Wide(other).c_str());
  {
    auto source = Open();
    target = *source;
  }
  EXPECT_EQ(target.GetName(), L"steel");
  EXPECT_TRUE(target.FindPattern(L"HE 100", nullptr));
  EXPECT_FALSE(target.FindPattern(L"T 1", nullptr));
}

TEST_F(CatalogOwnership, OwnedFactoryIsDestroyedOnceByTheLastCopy) {
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
}

TEST_F(CatalogOwnership, FactoryNotOwnedIsNeverDestroyed) {
  int destroyed = 0;
  CRecordingFactory factory(nullptr, &destroyed);
  {
    auto catalog = Open(&factory, false);
    CVdPatternCatalog copy(*catalog);
    std::unique_ptr<CVdPattern> p(copy.GetPattern(L"HE 100", nullptr));
    EXPECT_TRUE(p);
  }
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(factory.reads.size(), 1u);
}

TEST_F(CatalogOwnership, AttachFactoryDestroysAnOwnedFactoryAndLetsAnotherGo) {
  int first = 0, second = 0;
  CVdPatternCatalog catalog(static_cast<const wchar_t*>(nullptr), new CRecordingFactory(nullptr, &first), true);
  auto* replacement = new CRecordingFactory(nullptr, &second);
  catalog.AttachFactory(replacement, false);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(catalog.GetFactory(), replacement);
  catalog.AttachFactory(nullptr, true);
  EXPECT_EQ(second, 0);
  delete replacement;
}

TEST_F(CatalogOwnership, AttachingTheOwnedFactoryAgainKeepsItAlive) {
  int destroyed = 0;
  auto* factory = new CRecordingFactory(nullptr, &destroyed);
  {
    auto catalog = Open(factory, true);
    catalog->AttachFactory(factory, true);
    EXPECT_EQ(destroyed, 0);
    std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", nullptr));
    ASSERT_TRUE(p);
    EXPECT_EQ(factory->reads.size(), 1u);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST_F(CatalogOwnership, FactoryMadeOnDemandBelongsToTheCatalog) {
  auto catalog = Open();
  EXPECT_EQ(catalog->GetFactory(), nullptr);
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", nullptr));
  ASSERT_TRUE(p);
  EXPECT_NE(catalog->GetFactory(), nullptr);  // made, stored and released by the catalog (checked by the leak run)
}
