// Catalog files brought up to date and copied whole: the name index an old file lacks, a copy that is whole or
// absent, and the public calls for server addresses and link files.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/catalog/VdCatalogTransfer.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdServerAddress.h>

#include "db/Connection.h"
#include "support/TestDb.h"
#include "support/TestFiles.h"

namespace {

// A catalog file with the families IPE (two rows) and Bars, made by the library.
std::string MakeSteel(vdtest::TempDir& dir, const char* name = "steel.db") {
  const std::string file = dir.File(name);
  CString error;
  EXPECT_TRUE(CVdCatalogSchema::CreateCatalog(CString(file.c_str()), L"VdCatalog", L"tests", 1, error));
  EXPECT_TRUE(CVdCatalogSchema::AddFamily(CString(file.c_str()), L"IPE", L"I", {{L"h", L"DOUBLE", L"mm"}}, error));
  EXPECT_TRUE(CVdCatalogSchema::AddFamily(CString(file.c_str()), L"Bars", L"B", {{L"d", L"DOUBLE", L""}}, error));
  CVdDatabase db;
  db.Open(CString(file.c_str()), 0, 0);
  db.ExecuteSQL(L"INSERT INTO [IPE] ([Name], [h]) VALUES ('IPE 200', 200), ('IPE 300', 300)");
  return file;
}

std::string PlanOf(const std::string& file, const std::wstring& sql) {
  CVdDatabase db;
  db.Open(CString(file.c_str()), 0, 1);
  return Plan(db, sql);
}

}  // namespace

TEST(CatalogUpgrade, AddsTheMissingNameIndexesOnceAndRefusesWhatItCannotUpgrade) {
  vdtest::TempDir dir;
  const std::string file = MakeSteel(dir);
  {
    // As an earlier version left it: no name index on IPE; on Bars one that compares exactly and holds the name.
    CVdDatabase db;
    db.Open(CString(file.c_str()), 0, 0);
    db.ExecuteSQL(L"DROP INDEX [ix_IPE_Name]");
    db.ExecuteSQL(L"DROP INDEX [ix_Bars_Name]");
    db.ExecuteSQL(L"CREATE INDEX [ix_Bars_Name] ON [Bars] ([Name] COLLATE BINARY)");
  }
  std::vector<std::wstring> added, leftAsIs;
  CString error;
  ASSERT_EQ(CVdCatalogSchema::UpgradeCatalog(CString(file.c_str()), 10, added, leftAsIs, error),
            CVdCatalogSchema::eUpgraded)
      << VdToUtf8(error.str());
  EXPECT_EQ(added.size(), 2u);
  EXPECT_TRUE(leftAsIs.empty());
  EXPECT_EQ(PlanOf(file, L"SELECT * FROM [IPE] WHERE Name = 'ipe 200'"),
            "SEARCH IPE USING INDEX ix_IPE_Name (Name=?)\n");
  EXPECT_EQ(PlanOf(file, L"SELECT * FROM [Bars] WHERE Name = 'b 1'"),
            "SEARCH Bars USING INDEX ix_Bars_Name_nocase (Name=?)\n");
  EXPECT_EQ(CVdCatalogSchema::UpgradeCatalog(CString(file.c_str()), 10, added, leftAsIs, error),
            CVdCatalogSchema::eUpToDate);
  EXPECT_TRUE(added.empty());

  const std::string empty = dir.File("empty.db");
  CVdDatabase::CreateDatabase(CString(empty.c_str()));
  EXPECT_EQ(CVdCatalogSchema::UpgradeCatalog(CString(empty.c_str()), 10, added, leftAsIs, error),
            CVdCatalogSchema::eNotCatalog);
  EXPECT_EQ(CVdCatalogSchema::UpgradeCatalog(CString(dir.File("none.db").c_str()), 10, added, leftAsIs, error),
            CVdCatalogSchema::eFailed);
  EXPECT_FALSE(error.IsEmpty());
  EXPECT_EQ(CVdCatalogSchema::UpgradeCatalog(L"host=/tmp dbname=x catalog=steel", 10, added, leftAsIs, error),
            CVdCatalogSchema::eFailed);
  EXPECT_NE(error.Find(L"server"), -1) << VdToUtf8(error.str());
}

TEST(CatalogTransfer, CopiesEveryTableWithItsNameIndexOrNothing) {
  vdtest::TempDir dir;
  const std::string source = MakeSteel(dir);
  const std::string copy = dir.File("copy.db");
  {
    CVdDatabase from, to;
    from.Open(CString(source.c_str()), 0, 1);
    CVdDatabase::CreateDatabase(CString(copy.c_str()));
    to.Open(CString(copy.c_str()), 0, 0);
    CVdCatalogTransfer::Counts counts;
    CString error;
    std::vector<std::string> steps;
    const auto progress = [&](const CString& table, std::size_t copied, std::size_t total) {
      steps.push_back(VdToUtf8(table.str()) + " " + std::to_string(copied) + "/" + std::to_string(total));
    };
    ASSERT_EQ(CVdCatalogTransfer::CopyCatalog(from, to, counts, error, progress), CVdCatalogTransfer::eCopied)
        << VdToUtf8(error.str());
    EXPECT_EQ(counts.tables, 5u);  // Definition, FamilyDescription, Units, IPE, Bars
    EXPECT_EQ(counts.rows, 1u + 2u + 1u + 2u);
    EXPECT_NE(std::find(steps.begin(), steps.end(), "IPE 2/2"), steps.end());
  }
  EXPECT_EQ(vdtest::QueryText(copy, "SELECT h FROM IPE WHERE Name = 'ipe 300'"), "300.0");
  EXPECT_EQ(PlanOf(copy, L"SELECT * FROM [IPE] WHERE Name = 'ipe 200'"),
            "SEARCH IPE USING INDEX ix_IPE_Name (Name=?)\n");

  // A table whose name cannot be bracketed is found before anything is made: the target stays empty.
  {
    CVdDatabase db;
    db.Open(CString(source.c_str()), 0, 0);
    db.ExecuteSQL(L"CREATE TABLE \"odd]name\" (x INTEGER)");
  }
  const std::string second = dir.File("second.db");
  CVdDatabase from, to;
  from.Open(CString(source.c_str()), 0, 1);
  CVdDatabase::CreateDatabase(CString(second.c_str()));
  to.Open(CString(second.c_str()), 0, 0);
  CVdCatalogTransfer::Counts counts;
  CString error;
  EXPECT_EQ(CVdCatalogTransfer::CopyCatalog(from, to, counts, error), CVdCatalogTransfer::eRefusedName);
  EXPECT_NE(error.Find(L"holds ']'"), -1) << VdToUtf8(error.str());
  EXPECT_EQ(to.GetTableDefCount(), 0);
}

TEST(ServerAddressHeader, TellsAddressesApartAndWritesOnlyLinksWithoutSecrets) {
  for (const wchar_t* address : {L"postgresql://localhost/db?catalog=steel", L"host=/tmp dbname=db catalog=steel"}) {
    EXPECT_TRUE(VdIsServerAddress(address));
    EXPECT_EQ(VdServerCatalogName(address), CString(L"steel"));
  }
  for (const wchar_t* path : {L"steel.db", L"/data/host=x.db", L""}) EXPECT_FALSE(VdIsServerAddress(path));
  EXPECT_EQ(VdServerCatalogName(L"postgresql://localhost/db"), CString(L""));

  const wchar_t* secret = L"host=/tmp dbname=db password=hunter2 catalog=steel";
  EXPECT_NO_THROW(VdCheckServerAddress(secret));  // the user's own address may hold one
  vdtest::TempDir dir;
  const std::string link = dir.File("steel.link");
  bool refused = false;
  try {
    VdWriteLinkFile(CString(link.c_str()), secret);
  } catch (CDBException* e) {
    refused = true;
    e->Delete();
  }
  EXPECT_TRUE(refused);
  EXPECT_FALSE(std::ifstream(link).good());

  VdWriteLinkFile(CString(link.c_str()), L"host=/tmp dbname=db catalog=steel");
  std::ifstream in(link, std::ios::binary);
  std::string head(64, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  EXPECT_TRUE(
      VdIsLinkFileHeader(reinterpret_cast<const unsigned char*>(head.data()), static_cast<std::size_t>(in.gcount())));
  EXPECT_FALSE(VdIsLinkFileHeader(reinterpret_cast<const unsigned char*>("SQLite format 3"), 15));
}

// A large family is copied in a few multi-row statements, every row and value arriving: on a server each
// statement is a round trip, so a copy row by row cost one per row.
TEST(CatalogTransfer, CopiesManyRowsInFewStatements) {
  vdtest::TempDir dir;
  const std::string source = MakeSteel(dir);
  constexpr int kRows = 12000;  // more than one batch, and a last one that is not full
  {
    CVdDatabase db;
    db.Open(CString(source.c_str()), 0, 0);
    db.ExecuteSQL(
        L"WITH RECURSIVE k(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM k WHERE n < 11999) INSERT INTO [Bars] "
        L"([Name], [d]) SELECT 'B ' || n, n * 0.5 FROM k");
  }
  const std::string copy = dir.File("many.db");
  CVdDatabase from, to;
  from.Open(CString(source.c_str()), 0, 1);
  CVdDatabase::CreateDatabase(CString(copy.c_str()));
  to.Open(CString(copy.c_str()), 0, 0);
  CVdCatalogTransfer::Counts counts;
  CString error;
  std::vector<std::size_t> reported;
  const auto progress = [&](const CString& table, std::size_t copied, std::size_t) {
    if (table == L"Bars") reported.push_back(copied);
  };
  const std::uint64_t before = vdpattern::db::StatementCount();
  ASSERT_EQ(CVdCatalogTransfer::CopyCatalog(from, to, counts, error, progress), CVdCatalogTransfer::eCopied)
      << VdToUtf8(error.str());
  EXPECT_LT(vdpattern::db::StatementCount() - before, 60u);
  EXPECT_EQ(counts.rows, 1u + 2u + 1u + 2u + kRows);
  ASSERT_FALSE(reported.empty());
  EXPECT_EQ(reported.back(), static_cast<std::size_t>(kRows));
  EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
  EXPECT_EQ(vdtest::QueryText(copy, "SELECT COUNT(*) || ' ' || SUM(d) || ' ' || MAX(Name) FROM Bars"),
            "12000 35997000.0 B 9999");
}
