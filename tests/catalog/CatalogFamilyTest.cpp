// Families: which tables are families, family codes and their cache, the "FamilyDescription" fields.

#include "catalog/CatalogFixture.h"

using cattest::CatalogFile;

namespace {

class CatalogFamilies : public CatalogFile {
 protected:
  // The standard catalog plus every table that is never a family, one of the library's own (vd_...) and an
  // engine table (sqlite_sequence).
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped()) return;
    auto b = cattest::StandardCatalog();
    b.AddTable("CorespondenceTable", "")
        .AddTable("Regulations", "")
        .AddTable("Steel Curves", "")
        .AddTable("VD_Alias", "");
    if (!OnServer())  // SQLite's own table sqlite_sequence, which is no family
      b.AddSql(
          "CREATE TABLE Counter (id INTEGER PRIMARY KEY AUTOINCREMENT); INSERT INTO Counter DEFAULT VALUES;"
          "DROP TABLE Counter;");
    Rewrite(b);
  }
};

class CatalogFamilyCodes : public CatalogFile {};

std::wstring Code(CVdPatternCatalog& catalog, const wchar_t* family) {
  wchar_t code[64] = L"unchanged";
  return catalog.GetFamilyCode(family, code) ? code : L"<none:" + std::wstring(code) + L">";
}

}  // namespace

TEST_F(CatalogFamilies, OnlyFamilyTablesAreListedInNameOrderAndAppendedWithoutRemovingDuplicates) {
  if (!OnServer()) {
    ASSERT_EQ(Cell("SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_sequence'"), "1");
  }
  auto catalog = Open();
  std::list<std::wstring> families{L"Beams"};
  ASSERT_TRUE(catalog->GetFamilies(families));
  ASSERT_TRUE(catalog->GetFamilies(families));
  EXPECT_EQ(families,
            (std::list<std::wstring>{L"Beams", L"Angles", L"Beams", L"Channels", L"Angles", L"Beams", L"Channels"}));
}

TEST_F(CatalogFamilies, FindFamilyRefusesOnlySystemTablesAndMissingOnesWithoutAReport) {
  vdtest::ReportCapture capture;
  auto catalog = Open();
  // Only the three system tables are refused by name: the other tables that are no family are found.
  for (const wchar_t* found : {L"Beams", L"bEAMS", L"Types", L"Paste Errors"})
    EXPECT_TRUE(catalog->FindFamily(found)) << CString(found);
  for (const wchar_t* refused :
       {L"units", L"DEFINITION", L"FamilyDescription", L"vd_alias", L"sqlite_sequence", L"Nowhere", L""})
    EXPECT_FALSE(catalog->FindFamily(refused)) << CString(refused);
  EXPECT_FALSE(catalog->FindFamily(nullptr));
  EXPECT_TRUE(capture.reports.empty());
}

TEST_F(CatalogFamilyCodes, CodesAreFoundIgnoringCaseHandedOutUpperCasedOrMissingAndKeptUntilClearFamiliesCode) {
  auto b = cattest::StandardCatalog();
  b.AddTable("Tubes", "D DOUBLE");  // no description row
  Rewrite(b);
  auto catalog = Open();
  EXPECT_EQ(Code(*catalog, L"Beams"), L"HE");
  EXPECT_EQ(Code(*catalog, L"bEaMs"), L"HE");
  EXPECT_EQ(Code(*catalog, L"CHANNELS"), L"UPN");
  EXPECT_EQ(Code(*catalog, L"Angles"), L"<none:>");  // an empty code
  EXPECT_EQ(Code(*catalog, L"Tubes"), L"<none:>");
  EXPECT_EQ(Code(*catalog, nullptr), L"<none:>");

  // A code once found is kept, even across a new connection, until ClearFamiliesCode.
  vdtest::ExecSql(m_file, "UPDATE FamilyDescription SET FamilyCode = 'hx' WHERE Name = 'Beams';");
  catalog->CloseDB();
  ASSERT_EQ(catalog->OpenDB(), CVdPatternCatalog::eOpenDBOpened);
  EXPECT_EQ(Code(*catalog, L"Beams"), L"HE");
  catalog->ClearFamiliesCode();
  EXPECT_EQ(Code(*catalog, L"Beams"), L"HX");
}

TEST_F(CatalogFamilyCodes, FirstDescriptionRowWinsAndACodeOfSixtyFourCharactersIsRefused) {
  vdtest::CatalogBuilder b;
  b.AddFamily("Beams", "first", "H DOUBLE").AddDescription("BEAMS", "second").AddDescription("Angles", "");
  b.AddDescription("angles", "late");
  b.AddFamily("Fits", std::string(63, 'c'), "H DOUBLE", "('F 1', 1)");
  b.AddFamily("Long", std::string(64, 'c'), "H DOUBLE", "('L 1', 1)");
  Rewrite(b);
  auto catalog = Open();
  EXPECT_EQ(Code(*catalog, L"Beams"), L"FIRST");
  EXPECT_EQ(Code(*catalog, L"Angles"), L"LATE");  // an empty code is no entry, so a later row counts
  EXPECT_EQ(Code(*catalog, L"Fits"), std::wstring(63, L'C'));
  EXPECT_EQ(Code(*catalog, L"Long"), L"<none:>");
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"L 1", L"Long"));
  EXPECT_FALSE(p);
}

TEST_F(CatalogFamilyCodes, DescriptionFieldsAreReadAndWrittenOnTheCurrentRowWithoutADateStamp) {
  auto catalog = Open();
  ASSERT_NE(catalog->GetFamilyDescriptionRS(), nullptr);
  COleVariant value;
  ASSERT_TRUE(catalog->GetFamilyDescriptionField(L"Description", value));
  EXPECT_EQ(VariantToString(&value, true), L"The Beams family");
  ASSERT_TRUE(catalog->GetFamilyDescriptionField(1, value));
  EXPECT_EQ(VariantToString(&value, true), L"he");
  EXPECT_FALSE(catalog->GetFamilyDescriptionField(L"NoSuchColumn", value));

  EXPECT_TRUE(catalog->SetFamilyDescriptionField(L"Description", L"Rolled beams"));
  EXPECT_TRUE(catalog->SetFamilyDescriptionField(1, L"hb"));
  EXPECT_TRUE(catalog->SetFamilyDescriptionField(L"Description", COleVariant(L"Wide flange")));
  EXPECT_FALSE(catalog->SetFamilyDescriptionField(L"NoSuchColumn", L"x"));
  EXPECT_EQ(Cell("SELECT Description || '/' || FamilyCode FROM FamilyDescription WHERE Name = 'Beams'"),
            "Wide flange/hb");
  EXPECT_EQ(Code(*catalog, L"Beams"), L"HB");
  EXPECT_EQ(Cell("SELECT def_lastUpdate FROM Definition"), "2001/01/01");
}

// A family that another connection adds after the catalog was opened, with its description and units, is
// found, read and searched at once, without reopening and without a report.
TEST_F(CatalogFamilyCodes, AFamilyAddedByAnotherConnectionAfterOpeningIsFoundReadAndSearched) {
  auto catalog = Open();
  ASSERT_TRUE(catalog->IsOpened());
  ASSERT_EQ(Code(*catalog, L"Beams"), L"HE");  // the descriptions are read
  std::unique_ptr<CVdPattern> before(catalog->GetPattern(L"HE 100", nullptr));
  ASSERT_NE(before, nullptr);  // and the table list
  for (const char* sql :
       {"CREATE TABLE Pipes (Name VARCHAR(50), Height DOUBLE)", "INSERT INTO Pipes VALUES ('P 10', 10)",
        "INSERT INTO FamilyDescription (Name, FamilyCode) VALUES ('Pipes', 'pi')",
        "INSERT INTO Units (Family, Height) VALUES ('Pipes', 'mm')"})
    vdtest::ExecSql(m_file, sql);
  EXPECT_TRUE(catalog->FindFamily(L"Pipes"));
  EXPECT_EQ(Code(*catalog, L"Pipes"), L"PI");
  for (const wchar_t* family : {L"Pipes", static_cast<const wchar_t*>(nullptr)}) {
    std::unique_ptr<CVdPattern> pattern(catalog->GetPattern(L"P 10", family));
    ASSERT_NE(pattern, nullptr) << (family ? "in its family" : "searched");
    EXPECT_EQ(CString(pattern->GetFamily()).CompareNoCase(L"Pipes"), 0);
  }
  CVdUnit unit;
  EXPECT_TRUE(catalog->GetParamUnit(L"PIPES", L"height", unit));
}
