// Plain SQL on a server catalog: psql, pandas or a BI tool sees ordinary text columns, on which =, LIKE, ILIKE
// and ORDER BY work and the name index serves = and LIKE 'prefix%', while the catalog's own lookups still ignore
// case. Upgrade gives a catalog of an earlier version, whose columns ignored case by their own collation, the
// same columns, its indexes kept case-blind; a table whose index cannot be made again stays as it is.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "catalog/CatalogFixture.h"
#include "support/ServerSql.h"
#include "support/TestDb.h"

namespace {

class CatalogPlainSql : public vdtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (!OnServer()) GTEST_SKIP() << "plain SQL tools reach server catalogs";
  }
  // The rows of `sql` run as a plain SQL tool runs it (search path set to the catalog's schema), one line per
  // row with its cells joined by '|'; "<failed: ...>" with the server's message.
  static std::string Sql(const std::string& address, const std::string& sql) {
    return vdtest::ServerSql(address, "SET enable_seqscan = off; " + sql);
  }
  // The rows the catalog's own dialect finds for `sql`.
  static long Count(const std::string& address, const wchar_t* sql) {
    CVdDatabase db;
    db.Open(CString(VdFromUtf8(address).c_str()), 0, 1);
    CVdRecordset rs(&db);
    rs.Open(0, sql, 0);
    long n = 0;
    for (; !rs.IsEOF(); rs.MoveNext()) ++n;
    rs.Close();
    return n;
  }
  static CString W(const std::string& text) { return CString(VdFromUtf8(text).c_str()); }
  // The collation of the first column of index `index`.
  static std::string IndexCollation(const std::string& address, const std::string& index) {
    return Sql(address,
               "SELECT c.collname FROM pg_index i JOIN pg_collation c ON c.oid = i.indcollation[0] WHERE "
               "i.indexrelid = '\"" +
                   index + "\"'::regclass");
  }
};

}  // namespace

TEST_F(CatalogPlainSql, TextColumnsTakeLikeAndTheCatalogStillIgnoresCase) {
  const std::string address = NewDbAddress("plain.db");
  CString error;
  ASSERT_TRUE(CVdCatalogSchema::CreateCatalog(W(address), L"VdCatalog", L"tests", 1, error)) << U8(error);
  ASSERT_TRUE(CVdCatalogSchema::AddFamily(W(address), L"IPE", L"I",
                                          {{L"h", L"DOUBLE", L"mm"}, {L"Grade", L"TEXT", L""}}, error))
      << U8(error);
  {
    CVdDatabase db;
    db.Open(W(address), 0, 0);
    db.ExecuteSQL(
        L"INSERT INTO IPE (Name, h, Grade) VALUES ('IPE 200', 200, 'S235'), ('IPE 220', 220, 's355'), "
        L"('IPE 300', 300, 'S355')");
  }
  EXPECT_EQ(Sql(address, "SELECT \"Name\" FROM \"IPE\" WHERE \"Name\" LIKE 'IPE 2%' ORDER BY \"Name\""),
            "IPE 200\nIPE 220");
  EXPECT_EQ(Sql(address, "SELECT \"Name\" FROM \"IPE\" WHERE \"Name\" ILIKE 'ipe 3%'"), "IPE 300");
  EXPECT_EQ(Sql(address, "SELECT count(*) FROM \"IPE\" WHERE \"Name\" = 'IPE 200'"), "1");
  EXPECT_EQ(Sql(address, "SELECT count(*) FROM \"IPE\" WHERE \"Grade\" = 'S355'"), "1");  // plain SQL is exact
  const std::string plan = Sql(address, "EXPLAIN SELECT * FROM \"IPE\" WHERE \"Name\" LIKE 'IPE 2%'");
  EXPECT_EQ(plan.find("Seq Scan"), std::string::npos) << plan;
  // The catalog's own statements ignore case, in comparisons, IN, sorts and DISTINCT, and use the index that
  // ignores case.
  EXPECT_EQ(Count(address, L"SELECT * FROM IPE WHERE Name = 'ipe 200'"), 1);
  EXPECT_EQ(Count(address, L"SELECT * FROM IPE WHERE Grade IN ('s355') AND Name <> 'ipe 220'"), 1);
  EXPECT_EQ(Count(address, L"SELECT DISTINCT Grade FROM IPE"), 2);
  EXPECT_EQ(Count(address, L"SELECT * FROM IPE WHERE Name LIKE 'ipe 2%'"), 2);
  CVdPatternCatalog catalog(W(address).GetString(), nullptr, true);
  ASSERT_TRUE(catalog.IsOpened());
  std::unique_ptr<CVdPattern> found(catalog.GetPattern(L"ipe 300", L"ipe"));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(U8(found->GetUserNameW()), "IPE 300");
}

TEST_F(CatalogPlainSql, UpgradeMakesAnEarlierCatalogsTextExactAndKeepsItsIndexesCaseBlind) {
  const std::string address = MakeCatalog("older.db", cattest::StandardCatalog());
  const std::string schema = address.substr(address.find("catalog=") + 8);
  const std::string noCase = "\"" + schema + "\".vd_nocase";
  // What an earlier version made: text columns under vd_nocase, a name index without a twin; and a table of
  // the host's own whose uniqueness ignores case through a constraint.
  ASSERT_EQ(Sql(address, "ALTER TABLE \"Beams\" ALTER COLUMN \"Name\" TYPE varchar COLLATE " + noCase +
                             ", ALTER COLUMN \"Series\" TYPE varchar COLLATE " + noCase +
                             "; CREATE INDEX \"old_name\" ON \"Beams\" (\"Name\"); CREATE TABLE \"Own\" (\"Key\" "
                             "varchar COLLATE " +
                             noCase + " UNIQUE); INSERT INTO \"Own\" VALUES ('x1'); SELECT 1"),
            "1");
  EXPECT_NE(Sql(address, "SELECT count(*) FROM \"Beams\" WHERE \"Name\" LIKE 'HE%'").find("failed"), std::string::npos);
  EXPECT_EQ(Count(address, L"SELECT * FROM Beams WHERE Name = 'he 100'"), 1);  // an older catalog still works

  std::vector<std::wstring> added, leftAsIs, exact;
  CString error;
  ASSERT_EQ(CVdCatalogSchema::UpgradeCatalog(W(address), 10, added, leftAsIs, error, &exact),
            CVdCatalogSchema::eUpgraded)
      << U8(error);
  EXPECT_EQ(exact, std::vector<std::wstring>{L"Beams"});
  EXPECT_EQ(leftAsIs, std::vector<std::wstring>{L"Own"});
  EXPECT_EQ(Sql(address, "SELECT count(*) FROM \"Beams\" WHERE \"Name\" LIKE 'HE%'"), "3");
  EXPECT_EQ(IndexCollation(address, "old_name"), "vd_nocase");
  EXPECT_EQ(Count(address, L"SELECT * FROM Beams WHERE Name = 'he 100' AND Series = 'hea'"), 1);
  EXPECT_NE(Sql(address, "SELECT count(*) FROM \"Own\" WHERE \"Key\" LIKE 'x%'").find("failed"), std::string::npos);
  EXPECT_EQ(CVdCatalogSchema::UpgradeCatalog(W(address), 10, added, leftAsIs, error, &exact),
            CVdCatalogSchema::eUpToDate)
      << U8(error);
}
