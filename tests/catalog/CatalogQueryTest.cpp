// Pattern queries: the search over families, reading one pattern, a family, a statement, and GetMaxValue.
// Names with quotes and other hostile texts are tried by the reliability suite (HostileInputTest).

#include "catalog/CatalogFixture.h"

using cattest::CatalogFile;
using cattest::CRecordingFactory;
using cattest::Number;

namespace {

class CatalogSearch : public CatalogFile {};
class CatalogFamilyRead : public CatalogFile {};
class CatalogMaxValue : public CatalogFile {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped()) return;
    vdtest::CatalogBuilder b;
    b.AddTable("Parts", "Serial INTEGER, Batch TEXT", "('a', 7, 'B1'), ('b', 12, 'B2'), ('c', 9, 'B2')");
    b.AddTable("Empty", "Serial INTEGER");
    Rewrite(b);
  }
};

std::vector<std::wstring> Names(CVdPatternPool& pool) {
  std::vector<std::wstring> names;
  for (CVdPattern* p = pool.FindFirstPattern(); p; p = pool.FindNextPattern()) names.push_back(p->GetUserNameW().str());
  return names;
}

}  // namespace

// ---------------------------------------------------------------- search

TEST_F(CatalogSearch, SearchWithoutAFamilySkipsSpecialTablesAndAMissingFamilyIsSkippedSilently) {
  vdtest::ReportCapture capture;
  auto catalog = Open();
  EXPECT_FALSE(catalog->FindPattern(L"TYPE ONLY", nullptr));
  EXPECT_FALSE(catalog->FindPattern(L"PASTE ONLY", nullptr));
  EXPECT_TRUE(catalog->FindPattern(L"TYPE ONLY", L"Types"));  // a named table is searched whatever it is
  EXPECT_FALSE(catalog->FindPattern(L"HE 1", nullptr));       // equality, not a prefix
  std::unique_ptr<CVdPattern> channel(catalog->GetPattern(L"SHARED 1", L"Channels"));
  ASSERT_TRUE(channel);
  EXPECT_EQ(Number(*channel, L"height"), 20);
  EXPECT_FALSE(catalog->FindPattern(L"HE 100", L"Nowhere"));
  EXPECT_FALSE(catalog->FindPattern(L"HE 100", L""));
  EXPECT_EQ(catalog->GetPattern(L"HE 100", L"Nowhere"), nullptr);
  EXPECT_TRUE(capture.reports.empty());

  // A catalog without families finds nothing.
  Rewrite(vdtest::CatalogBuilder());
  auto empty = Open();
  EXPECT_FALSE(empty->FindPattern(L"HE 100", nullptr));
  EXPECT_EQ(empty->GetPattern(L"HE 100", nullptr), nullptr);
}

TEST_F(CatalogSearch, SearchGoesOnWhileAnotherConnectionHoldsTheWriteLock) {
  VDTEST_FILE_ONLY();
  auto catalog = Open();
  vdtest::RawDb writer(m_file);
  writer.Exec("BEGIN IMMEDIATE; UPDATE Channels SET Width = 99 WHERE Name = 'UPN 80';");
  vdtest::ReportCapture capture;
  catalog->CloseDB();  // a fresh connection, so nothing is read from before the lock
  ASSERT_EQ(catalog->OpenDB(), CVdPatternCatalog::eOpenDBOpened);
  EXPECT_TRUE(catalog->FindPattern(L"UPN 80", nullptr));
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"UPN 80", nullptr));
  ASSERT_TRUE(p);
  EXPECT_EQ(Number(*p, L"width"), 45);  // the uncommitted change is not seen
  EXPECT_TRUE(capture.reports.empty());
}

TEST_F(CatalogSearch, FamiliesCreatedOrDroppedByAnotherConnectionAreSeenByTheNextSearch) {
  vdtest::ReportCapture capture;
  auto catalog = Open();
  EXPECT_TRUE(catalog->FindPattern(L"UPN 80", nullptr));
  EXPECT_FALSE(catalog->FindPattern(L"ZED 1", nullptr));
  CVdDatabase other;
  other.Open(CString(Wide(m_file).c_str()));
  other.ExecuteSQL(L"CREATE TABLE Zeds (Name TEXT, Height DOUBLE)");
  other.ExecuteSQL(L"INSERT INTO Zeds (Name, Height) VALUES ('ZED 1', 5)");
  EXPECT_TRUE(catalog->FindPattern(L"ZED 1", nullptr));
  EXPECT_TRUE(catalog->FindPattern(L"UPN 80", nullptr));
  other.ExecuteSQL(L"DROP TABLE Zeds");
  EXPECT_FALSE(catalog->FindPattern(L"ZED 1", nullptr));
  other.ExecuteSQL(L"CREATE TABLE Zeds (Name TEXT)");
  other.ExecuteSQL(L"INSERT INTO Zeds (Name) VALUES ('ZED 2')");
  EXPECT_FALSE(catalog->FindPattern(L"ZED 1", nullptr));
  EXPECT_TRUE(catalog->FindPattern(L"ZED 2", nullptr));

  // A family without a Name column first in the list answers nothing, and the search goes on in list order.
  other.ExecuteSQL(L"CREATE TABLE Aaa (Code TEXT)");
  for (int round = 0; round < 2; ++round) {
    std::unique_ptr<CVdPattern> shared(catalog->GetPattern(L"shared 1", nullptr));
    ASSERT_TRUE(shared);
    EXPECT_EQ(Number(*shared, L"height"), 10);  // the row of Beams, not of Channels
    EXPECT_TRUE(catalog->FindPattern(L"ZED 2", nullptr));
    EXPECT_FALSE(catalog->FindPattern(L"ZED 3", nullptr));
  }
  EXPECT_TRUE(capture.reports.empty());
}

TEST_F(CatalogSearch, GetPatternStampsCatalogTypeAndUpperCasedFamilyWithoutUnitsAndGivesNoPatternWithoutACode) {
  CVdUnitManager millimetres(1000.0);
  auto* factory = new CRecordingFactory(&millimetres);
  auto catalog = Open(factory);
  ASSERT_TRUE(catalog->GetHasUnits());
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"beams"));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->GetCatalog(), L"steel");
  EXPECT_EQ(p->GetPatternType(), CVdPattern::ePatternTypeCatalog);
  EXPECT_EQ(Number(*p, L"area"), 26);  // stored cm2, never converted here
  std::unique_ptr<CVdPattern> q(catalog->GetPattern(L"UPN 80", nullptr));
  ASSERT_TRUE(q);

  // A family without a code is searched, but no pattern is made of its rows.
  EXPECT_TRUE(catalog->FindPattern(L"L 50", nullptr));
  EXPECT_EQ(catalog->GetPattern(L"L 50", nullptr), nullptr);
  EXPECT_EQ(catalog->GetPattern(L"L 50", L"Angles"), nullptr);
  CVdPatternPool pool;
  EXPECT_FALSE(catalog->GetFamilyPattern(&pool, L"Angles", nullptr));
  EXPECT_EQ(pool.GetCount(), 0);
  EXPECT_EQ(factory->reads, (std::vector<std::wstring>{L"BEAMS/HE", L"CHANNELS/UPN"}));
}

// ---------------------------------------------------------------- whole families

TEST_F(CatalogFamilyRead, AFamilyIsReadByLikeUnderTheCallersNameAndAStatementUnderItsUpperCasedNameAndCode) {
  auto* factory = new CRecordingFactory();
  auto catalog = Open(factory);
  CVdPatternPool filtered, none, all;
  ASSERT_TRUE(catalog->GetFamilyPattern(&filtered, L"Beams", L"HE%"));
  EXPECT_EQ(Names(filtered), (std::vector<std::wstring>{L"HE 100", L"HE 200", L"HEB 300"}));
  ASSERT_TRUE(catalog->GetFamilyPattern(&none, L"Beams", L"Z%"));
  EXPECT_EQ(none.GetCount(), 0);
  factory->reads.clear();
  ASSERT_TRUE(catalog->GetFamilyPattern(&all, L"cHaNnElS", L""));  // an empty filter reads all
  EXPECT_EQ(factory->reads, std::vector<std::wstring>(3, L"cHaNnElS/UPN units"));
  CVdPattern* p = all.GetPatternByName(L"UPN 80");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->GetCatalog(), L"steel");
  EXPECT_EQ(Number(*p, L"width"), 45);

  factory->reads.clear();
  CVdPatternPool selected;
  ASSERT_TRUE(catalog->GetFamilyPatternSQL(&selected, L"SELECT * FROM Beams WHERE Height > 150", L"beams"));
  EXPECT_EQ(Names(selected), (std::vector<std::wstring>{L"HE 200", L"HEB 300"}));
  EXPECT_EQ(factory->reads, (std::vector<std::wstring>(2, L"BEAMS/HE units")));
  // A family without a code is read all the same.
  CVdPatternPool angles;
  ASSERT_TRUE(catalog->GetFamilyPatternSQL(&angles, L"SELECT * FROM Angles", L"Angles"));
  EXPECT_EQ(angles.GetCount(), 1);
}

TEST_F(CatalogFamilyRead, EmptyOrMissingFamilyAndAFailingStatementFailSilentlyAndKeepThePool) {
  auto catalog = Open();
  CVdPatternPool pool;
  EXPECT_FALSE(catalog->GetFamilyPattern(&pool, L"", nullptr));
  EXPECT_FALSE(catalog->GetFamilyPattern(&pool, nullptr, nullptr));
  vdtest::ReportCapture capture;
  EXPECT_FALSE(catalog->GetFamilyPattern(&pool, L"Nowhere", nullptr));
  EXPECT_EQ(pool.GetCount(), 0);
  ASSERT_TRUE(catalog->GetFamilyPatternSQL(&pool, L"SELECT * FROM Channels", L"Channels"));
  EXPECT_FALSE(catalog->GetFamilyPatternSQL(&pool, L"SELECT * FROM Nowhere", L""));
  EXPECT_TRUE(capture.reports.empty());
  EXPECT_EQ(pool.GetCount(), 3);
}

TEST_F(CatalogFamilyRead, StatementOverSeveralFamiliesTakesEachRowsFamilyFromColumnZero) {
  auto* factory = new CRecordingFactory();
  auto catalog = Open(factory);
  CVdPatternPool pool;
  ASSERT_TRUE(catalog->GetFamilyPatternSQL(
      &pool, L"SELECT 'Beams' AS Fam, Name, Height FROM Beams UNION ALL SELECT 'Channels', Name, Height FROM Channels",
      L""));
  EXPECT_EQ(pool.GetCount(), 8);
  std::list<CVdPattern*> beams, channels;
  pool.GetListPattern(beams, L"beams");
  pool.GetListPattern(channels, L"channels");
  EXPECT_EQ(beams.size(), 5u);
  EXPECT_EQ(channels.size(), 3u);
  for (CVdPattern* p : beams) {
    EXPECT_EQ(p->GetPatternType(), CVdPattern::ePatternTypeCatalog);
    EXPECT_EQ(p->GetCatalog(), L"steel");
  }
  ASSERT_EQ(factory->reads.size(), 8u);
  EXPECT_EQ(factory->reads.front(), L"BEAMS/ units");  // rows named by column 0 get no code
  EXPECT_EQ(factory->reads.back(), L"CHANNELS/ units");
}

// ---------------------------------------------------------------- GetMaxValue

TEST_F(CatalogMaxValue, AKeyGivesItsRowsValueElseTheColumnMaximumADuplicateKeyFailsSilentlyAFailureLoudly) {
  auto catalog = Open();
  vdtest::ReportCapture capture;
  CVdPatternValue value(COleVariant(L"a"));
  EXPECT_EQ(catalog->GetMaxValue(L"Parts", L"Serial", L"Name", value), CVdPatternCatalog::eFunctionFound);
  EXPECT_EQ(VariantToLong(&value), 7);
  CVdPatternValue missing(COleVariant(L"zz"));
  EXPECT_EQ(catalog->GetMaxValue(L"Parts", L"Serial", L"Name", missing), CVdPatternCatalog::eFunctionNotFound);
  EXPECT_EQ(VariantToLong(&missing), 12);
  CVdPatternValue none(COleVariant(L"zz"));
  EXPECT_EQ(catalog->GetMaxValue(L"Empty", L"Serial", L"Name", none), CVdPatternCatalog::eFunctionNotFound);
  EXPECT_EQ(none.vt == VT_NULL ? -1 : VariantToLong(&none), 0);
  CVdPatternValue duplicate(COleVariant(L"B2"));
  EXPECT_EQ(catalog->GetMaxValue(L"Parts", L"Serial", L"Batch", duplicate), CVdPatternCatalog::eFunctionFailed);
  EXPECT_EQ(duplicate.vt, VT_BSTR);
  EXPECT_EQ(VariantToString(&duplicate), L"B2");
  EXPECT_TRUE(capture.reports.empty());

  // A database failure is reported, and leaves the value as it was.
  CVdPatternValue failed(COleVariant(L"a"));
  EXPECT_EQ(catalog->GetMaxValue(L"Parts", L"NoColumn", L"Name", failed), CVdPatternCatalog::eFunctionFailed);
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].caption, L"Erreur DB");
  EXPECT_EQ(VariantToString(&failed), L"a");
}

// ---------------------------------------------------------------- counting families

TEST_F(CatalogSearch, CountFamiliesCountsEveryFamilyAtOnceAndLeavesOutWhatItCannotCount) {
  vdtest::ReportCapture capture;
  auto catalog = Open();
  std::list<std::wstring> families;
  ASSERT_TRUE(catalog->GetFamilies(families));
  std::map<std::wstring, long> counts;
  EXPECT_TRUE(catalog->CountFamilies(families, counts));
  EXPECT_EQ(counts, (std::map<std::wstring, long>{{L"Angles", 1}, {L"Beams", 5}, {L"Channels", 3}}));
  // A missing family fails the statement it is in, and a name holding ']' cannot be written: neither is
  // counted, nor is anything of a failed statement, and a missing family is no database failure.
  counts.clear();
  EXPECT_FALSE(catalog->CountFamilies({L"Beams", L"Nowhere"}, counts));
  EXPECT_TRUE(counts.empty());
  EXPECT_FALSE(catalog->CountFamilies({L"Be]ams", L"channels"}, counts));
  EXPECT_EQ(counts, (std::map<std::wstring, long>{{L"channels", 3}}));
  EXPECT_TRUE(capture.reports.empty());
}
