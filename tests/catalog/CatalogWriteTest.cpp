// Pattern writing: insert (overwrite and append), modify, remove, the date stamp, and a read-only file.

#include <sys/stat.h>

#include <memory>
#include <vector>

#include "catalog/CatalogFixture.h"
#include "db/Connection.h"

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

// ---------------------------------------------------------------- many writes as one

TEST_F(CatalogWrite, ABatchOfPatternsIsFewStatementsWholeOrNothingAndJoinsTheHostsGroup) {
  auto* factory = new CRecordingFactory();
  auto catalog = Open(factory);
  EXPECT_EQ(catalog->CountPatterns(L"Beams"), 5);
  EXPECT_EQ(catalog->CountPatterns(L"Beams", 1), 1);
  EXPECT_EQ(catalog->CountPatterns(L"Nothing"), -1);

  constexpr int kRows = 10000;
  std::vector<std::unique_ptr<CVdPattern>> owned;
  std::vector<CVdPattern*> batch;
  const auto add = [&](const std::wstring& name, double height) {
    owned.push_back(std::make_unique<CVdPattern>(1, name.c_str(), L"Beams"));
    owned.back()->SetParam(0, L"height", height);
    batch.push_back(owned.back().get());
  };
  for (int i = 0; i < kRows; ++i) add(L"B " + std::to_wstring(i), i + 0.1);
  add(L"HE 100", 7.25);  // a name the family holds: overwritten
  add(L"b 5", -5.5);     // a name given twice: the last one wins

  // Refused by the factory: nothing is left.
  factory->refuseWrites = true;
  EXPECT_FALSE(catalog->InsertPatterns(batch, false));
  factory->refuseWrites = false;
  EXPECT_EQ(Rows("Beams"), "5");
  EXPECT_EQ(Stamp(), "2001/01/01");

  ASSERT_TRUE(catalog->BeginWriteGroup());
  const std::uint64_t before = vdpattern::db::StatementCount();
  ASSERT_TRUE(catalog->InsertPatterns(batch, false));
  const std::uint64_t statements = vdpattern::db::StatementCount() - before;
  catalog->EndWriteGroup(true);
  // A few statements per thousand rows, whatever the engine; the two rows written on their own add theirs.
  EXPECT_LE(statements, 3u * kRows / 1000 + 20) << statements;
  EXPECT_EQ(Rows("Beams"), std::to_string(kRows + 5));
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'B 9999'"), "9999.1");
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'HE 100'"), "7.25");
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'b 5'"), "-5.5");
  EXPECT_EQ(Cell("SELECT count(*) FROM vd_change WHERE kind = 'insert'"), std::to_string(kRows));
  EXPECT_EQ(Cell("SELECT count(DISTINCT seq) FROM vd_change"), Cell("SELECT count(*) FROM vd_change"));
  EXPECT_EQ(Stamp(), Today());
  std::unique_ptr<CVdPattern> read(catalog->GetPattern(L"B 1234", L"Beams"));
  ASSERT_TRUE(read);
  // Names the family holds are written over together, their rows read together, each recorded: on a server a
  // statement or two for the lot, on a file a statement each (no round trip).
  std::vector<std::unique_ptr<CVdPattern>> again;
  std::vector<CVdPattern*> over;
  for (int i = 0; i < 1000; ++i) {
    again.push_back(std::make_unique<CVdPattern>(1, (L"b " + std::to_wstring(i)).c_str(), L"Beams"));
    again.back()->SetParam(0, L"height", -1.0 - i);
    over.push_back(again.back().get());
  }
  const std::uint64_t overBefore = vdpattern::db::StatementCount();
  ASSERT_TRUE(catalog->InsertPatterns(over, false));
  EXPECT_LE(vdpattern::db::StatementCount() - overBefore, OnServer() ? 20u : 1000u + 20u);
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'b 999'"), "-1000.0");
  EXPECT_EQ(Cell("SELECT count(*) FROM vd_change WHERE kind = 'modify'"), "1002");
  EXPECT_EQ(Rows("Beams"), std::to_string(kRows + 5));

  // Undone with the host's group: the batch goes with it.
  for (CVdPattern* p : batch) p->SetUserName((p->GetUserNameW() + L" x").GetString());
  ASSERT_TRUE(catalog->BeginWriteGroup());
  EXPECT_TRUE(catalog->InsertPatterns(batch, false));
  catalog->EndWriteGroup(false);
  EXPECT_EQ(Rows("Beams"), std::to_string(kRows + 5));

  // Appended to a family the caller found empty: no lookup, the same rows.
  batch.resize(kRows);
  for (int i = 0; i < kRows; ++i) batch[i]->SetFamily(L"Channels");
  catalog->BeginWriteGroup();
  EXPECT_EQ(catalog->CountPatterns(L"Channels"), 3);
  const std::uint64_t appendBefore = vdpattern::db::StatementCount();
  ASSERT_TRUE(catalog->InsertPatterns(batch, true));
  EXPECT_LE(vdpattern::db::StatementCount() - appendBefore, 3u * kRows / 1000 + 6);
  catalog->EndWriteGroup(true);
  EXPECT_EQ(Rows("Channels"), std::to_string(kRows + 3));
}
