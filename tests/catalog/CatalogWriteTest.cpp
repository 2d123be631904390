// Pattern writing: insert (overwrite and append), modify, remove, the date stamp, and a read-only file.

#include <sys/stat.h>

#include "catalog/CatalogFixture.h"

using cattest::CatalogFile;
using cattest::CRecordingFactory;
using cattest::Today;

namespace {

class CatalogWrite : public CatalogFile {
 protected:
  std::string Stamp() const { return Cell("SELECT def_lastUpdate FROM Definition"); }
  std::string Rows(const std::string& table) const { return Cell("SELECT count(*) FROM [" + table + "]"); }
};

class CatalogReadOnlyFile : public CatalogFile {
 protected:
  void SetUp() override {
    if (OnServer()) GTEST_SKIP() << "a read-only file";
    CatalogFile::SetUp();
    chmod(m_file.c_str(), 0444);
  }
};

}  // namespace

TEST_F(CatalogWrite, InsertOverwritesAnExistingNameAddsANewOneAndStampsTheDate) {
  auto catalog = Open();
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"Beams"));
  ASSERT_TRUE(p);
  p->SetParam(0, L"height", 111.5);
  EXPECT_TRUE(catalog->InsertPattern(p.get(), false));
  EXPECT_EQ(Rows("Beams"), "5");
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'HE 100'"), "111.5");
  EXPECT_EQ(Stamp(), Today());
  EXPECT_EQ(catalog->GetLastUpdateDate(), CString(Wide(Today())));

  CVdPattern fresh(1, L"HE 400", L"Beams");
  fresh.SetParam(0, L"height", 400.0);
  EXPECT_TRUE(catalog->InsertPattern(&fresh, false));
  EXPECT_EQ(Rows("Beams"), "6");
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'HE 400'"), "400.0");
  EXPECT_TRUE(catalog->FindPattern(L"HE 400", nullptr));

  // Append adds a row on every call, even for a name already there.
  std::unique_ptr<CVdPattern> upn(catalog->GetPattern(L"UPN 80", L"Channels"));
  ASSERT_TRUE(upn);
  EXPECT_TRUE(catalog->InsertPattern(upn.get(), true));
  EXPECT_TRUE(catalog->InsertPattern(upn.get(), true));
  EXPECT_EQ(Rows("Channels"), "5");
  EXPECT_EQ(Cell("SELECT count(*) FROM Channels WHERE Name = 'UPN 80' AND Width = 45"), "3");
}

TEST_F(CatalogWrite, FamilyWithoutACodeOrAMissingNameWritesNothingWithoutAReport) {
  vdtest::ReportCapture capture;
  auto catalog = Open();
  CVdPattern fresh(1, L"L 60", L"Angles");
  for (const bool append : {false, true}) EXPECT_FALSE(catalog->InsertPattern(&fresh, append));
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"Beams"));
  EXPECT_FALSE(catalog->ModifyPattern(L"L 50", L"Angles", p.get()));
  EXPECT_EQ(Rows("Angles"), "1");
  EXPECT_EQ(Cell("SELECT Height FROM Angles"), "50.0");
  EXPECT_EQ(Stamp(), "2001/01/01");
  EXPECT_TRUE(capture.reports.empty());

  // Changes of a missing name are false without a report either; an append to a missing table is reported.
  CVdPattern missing(1, L"HE 100", L"Beams");
  EXPECT_FALSE(catalog->ModifyPattern(L"HE 999", nullptr, &missing));
  EXPECT_FALSE(catalog->ModifyPattern(L"HE 100", L"Channels", &missing));
  EXPECT_FALSE(catalog->RemovePattern(L"HE 999", nullptr));
  EXPECT_FALSE(catalog->RemovePattern(L"HE 100", L"Nowhere"));
  EXPECT_EQ(Stamp(), "2001/01/01");
  EXPECT_TRUE(capture.reports.empty());
  CVdPattern nowhere(1, L"X 1", L"Nowhere");
  EXPECT_FALSE(catalog->InsertPattern(&nowhere, true));
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].caption, L"Erreur DB");
}

TEST_F(CatalogWrite, FactoryRefusalCancelsTheRowAndLeavesTheDate) {
  auto* factory = new CRecordingFactory();
  auto catalog = Open(factory);
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"Beams"));
  ASSERT_TRUE(p);
  p->SetParam(0, L"height", 1.0);
  factory->refuseWrites = true;
  for (const bool append : {false, true}) EXPECT_FALSE(catalog->InsertPattern(p.get(), append));
  CVdPattern fresh(1, L"HE 999", L"Beams");
  EXPECT_FALSE(catalog->InsertPattern(&fresh, false));
  EXPECT_FALSE(catalog->ModifyPattern(L"HE 200", L"Beams", p.get()));
  EXPECT_EQ(Rows("Beams"), "5");
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'HE 100'"), "100.0");
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'HE 200'"), "200.0");
  EXPECT_EQ(Stamp(), "2001/01/01");
  EXPECT_EQ(catalog->GetLastUpdateDate(), L"2001/01/01");
  // The cancelled edit leaves nothing pending: the next accepted write goes through.
  factory->refuseWrites = false;
  EXPECT_TRUE(catalog->ModifyPattern(L"HE 100", L"Beams", p.get()));
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'HE 100'"), "1.0");
}

// ---------------------------------------------------------------- read-only file

TEST_F(CatalogReadOnlyFile, WritesFailThroughTheReportAndTheFileIsUnchanged) {
  const std::string before = vdtest::ReadBytes(m_file);
  auto catalog = Open();
  ASSERT_TRUE(catalog->IsOpened());
  EXPECT_FALSE(catalog->CanWrite());
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"Beams"));
  ASSERT_TRUE(p);
  CVdPattern fresh(1, L"HE 400", L"Beams");

  vdtest::ReportCapture capture;
  EXPECT_FALSE(catalog->InsertPattern(p.get(), false));
  for (const bool append : {false, true}) EXPECT_FALSE(catalog->InsertPattern(&fresh, append));
  EXPECT_FALSE(catalog->RemovePattern(L"HE 200", L"Beams"));
  ASSERT_EQ(capture.reports.size(), 4u);
  for (const auto& report : capture.reports) {
    EXPECT_EQ(report.caption, L"Erreur DB");
    EXPECT_NE(report.text.find(L"read-only"), std::wstring::npos) << CString(report.text);
  }

  // ModifyPattern and the metadata setters leave the failure to the caller.
  EXPECT_TRUE(CatchDb([&] { catalog->ModifyPattern(L"HE 100", nullptr, p.get()); }).thrown);
  EXPECT_TRUE(CatchDb([&] { catalog->SetName(L"Renamed"); }).thrown);
  EXPECT_TRUE(CatchDb([&] { catalog->SetEditorName(L"Bob"); }).thrown);
  EXPECT_EQ(capture.reports.size(), 4u);
  EXPECT_FALSE(catalog->SetFamilyDescriptionField(L"Description", L"x"));
  EXPECT_EQ(catalog->GetLastUpdateDate(), L"2001/01/01");
  catalog.reset();
  EXPECT_EQ(vdtest::ReadBytes(m_file), before);
}

TEST_F(CatalogWrite, AWriteThatFailsAfterItsRowIsUndoneWhole) {
  // Without a "Definition" row the date stamp fails once the row is written: nothing of the call may stay.
  vdtest::ExecSql(m_file, "DELETE FROM Definition");
  auto catalog = Open();
  const std::string before = Cell("SELECT count(*) || '/' || sum(Height) || '/' || max(Name) FROM Beams");
  vdtest::ReportCapture capture;
  CVdPattern fresh(1, L"HE 900", L"Beams");
  fresh.SetParam(0, L"height", 900.0);
  for (const bool append : {false, true}) EXPECT_FALSE(catalog->InsertPattern(&fresh, append));
  EXPECT_FALSE(catalog->RemovePattern(L"HE 100", L"Beams"));
  EXPECT_TRUE(CatchDb([&] { catalog->ModifyPattern(L"HE 100", L"Beams", &fresh); }).thrown)
      << "ModifyPattern hid the failed stamp";
  EXPECT_EQ(capture.reports.size(), 3u);
  EXPECT_EQ(Cell("SELECT count(*) || '/' || sum(Height) || '/' || max(Name) FROM Beams"), before);
}
