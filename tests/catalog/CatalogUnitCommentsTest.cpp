// Units as column comments: on a server each family column with a unit carries it as its comment (read back
// with the server's own col_description), written with the change that makes the column and undone with it;
// upgrade and a copy give an older or copied catalog the comments it lacks. A file keeps none.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <map>
#include <memory>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/catalog/VdCatalogTransfer.h>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "catalog/CatalogFixture.h"
#include "support/TestDb.h"

namespace {

class CatalogUnitComments : public vdtest::DbTest {
 protected:
  // The comment of `column` of `table` in the catalog at `address`, by the server's col_description;
  // "<null>" for none, "<no column>" when the column is not there.
  static std::string Comment(const std::string& address, const std::string& table, const std::string& column) {
    const std::size_t query = address.find('?');
    const std::string schema = address.substr(address.find("catalog=") + 8);
    PGconn* conn = PQconnectdb(address.substr(0, query).c_str());
    const char* values[] = {schema.c_str(), table.c_str(), column.c_str()};
    PGresult* r = PQexecParams(conn,
                               "SELECT pg_catalog.col_description(a.attrelid, a.attnum) FROM pg_catalog.pg_attribute a "
                               "WHERE a.attrelid = pg_catalog.format('%I.%I', $1::text, $2::text)::pg_catalog.regclass "
                               "AND a.attname = $3 AND NOT a.attisdropped",
                               3, nullptr, values, nullptr, nullptr, 0);
    std::string out = PQresultStatus(r) != PGRES_TUPLES_OK ? "<failed: " + std::string(PQerrorMessage(conn)) + ">"
                      : PQntuples(r) == 0                  ? "<no column>"
                      : PQgetisnull(r, 0, 0)               ? "<null>"
                                                           : PQgetvalue(r, 0, 0);
    PQclear(r);
    PQfinish(conn);
    return out;
  }
  static CString W(const std::string& text) { return CString(VdFromUtf8(text).c_str()); }
};

}  // namespace

// A new family and columns added to it: each unit (one with a quote, on a column whose name holds a quote and a
// space) is its column's comment, a column without a unit has none; added columns undone with their group take
// their comments with them; on a file nothing of this exists and nothing fails.
TEST_F(CatalogUnitComments, NewFamiliesAndColumnsCarryTheirUnitsAndAnUndoneWriteLeavesNone) {
  const std::string address = NewDbAddress("units.db");
  CString error;
  ASSERT_TRUE(CVdCatalogSchema::CreateCatalog(W(address), L"VdCatalog", L"tests", 1, error)) << U8(error);
  ASSERT_TRUE(CVdCatalogSchema::AddFamily(
      W(address), L"IPE", L"I",
      {{L"h", L"DOUBLE", L"mm"}, {L"my \"odd\" col", L"DOUBLE", L"o'clock"}, {L"Series", L"TEXT", L""}}, error))
      << U8(error);
  {
    CVdPatternCatalog catalog(W(address).GetString(), nullptr, true);
    ASSERT_TRUE(catalog.IsOpened());
    ASSERT_TRUE(
        CVdCatalogSchema::AddColumnsInGroup(catalog, L"ipe", {{L"b", L"DOUBLE", L"cm"}, {L"c", L"DOUBLE", L""}}, error))
        << U8(error);
    // Added, then undone by the caller's group: neither the column nor its comment stays.
    catalog.BeginWriteGroup();
    ASSERT_TRUE(CVdCatalogSchema::AddColumnsInGroup(catalog, L"IPE", {{L"tf", L"DOUBLE", L"mm"}}, error)) << U8(error);
    catalog.EndWriteGroup(false);
    // Refused before anything is written: h is there already, so t's comment is not written either.
    EXPECT_FALSE(CVdCatalogSchema::AddColumnsInGroup(catalog, L"IPE",
                                                     {{L"t", L"DOUBLE", L"mm"}, {L"H", L"DOUBLE", L"m"}}, error));
  }
  CVdDatabase db;
  db.Open(W(address), 0, 0);
  std::map<std::wstring, std::map<std::wstring, std::wstring>> comments;
  if (!OnServer()) {
    EXPECT_FALSE(db.GetColumnComments(comments));
    EXPECT_TRUE(comments.empty());
    return;
  }
  EXPECT_EQ(Comment(address, "IPE", "h"), "mm");
  EXPECT_EQ(Comment(address, "IPE", "my \"odd\" col"), "o'clock");
  EXPECT_EQ(Comment(address, "IPE", "Series"), "<null>");
  EXPECT_EQ(Comment(address, "IPE", "Name"), "<null>");
  EXPECT_EQ(Comment(address, "IPE", "b"), "cm");
  EXPECT_EQ(Comment(address, "IPE", "c"), "<null>");
  EXPECT_EQ(Comment(address, "IPE", "tf"), "<no column>");
  EXPECT_EQ(Comment(address, "IPE", "t"), "<no column>");
  ASSERT_TRUE(db.GetColumnComments(comments));
  EXPECT_EQ(comments[L"IPE"].size(), 3u);
  EXPECT_EQ(comments[L"IPE"][L"b"], L"cm");

  // A comment that cannot be written undoes the statement it came with: the table is not made.
  db.BeginTrans();
  bool threw = false;
  try {
    db.ExecuteSQL(L"CREATE TABLE [Made] ([a] DOUBLE)", {{L"Made", L"nosuch", L"mm"}});
  } catch (CDBException* e) {
    threw = true;
    e->Delete();
  }
  EXPECT_TRUE(threw);
  CVdODBCTableDefInfo info;
  EXPECT_FALSE(db.GetTableDefInfo(L"Made", info));
  db.ExecuteSQL(L"CREATE TABLE [Made] ([a] DOUBLE)", {{L"Made", L"a", L"kg"}});  // the transaction goes on
  db.CommitTrans();
  EXPECT_EQ(Comment(address, "Made", "a"), "kg");
}

// A server catalog written without comments (by an earlier version, or by hand) gets them from "Units" by
// upgrade, once: family and column in another case than "Units" writes them, a unit of a missing family or
// column passed over; a copy of a file onto a server gets them too. A file's upgrade writes none.
TEST_F(CatalogUnitComments, UpgradeAndCopyGiveTheCommentsAnOlderCatalogLacks) {
  vdtest::CatalogBuilder old = cattest::StandardCatalog();
  old.SetUnits("beams", {{"WIDTH", "mm"}});  // a second row for Beams: the first row counts, as the catalog reads
  old.SetUnits("Gone", {{"Height", "m"}});
  old.SetUnits("Channels", {{"Flange", "mm"}});
  const std::string address = MakeCatalog("old.db", old);
  std::vector<std::wstring> added, leftAsIs;
  CString error;
  const CVdCatalogSchema::UpgradeResult result =
      CVdCatalogSchema::UpgradeCatalog(W(address), 10, added, leftAsIs, error);
  if (!OnServer()) {
    EXPECT_NE(result, CVdCatalogSchema::eFailed) << U8(error);  // a file gets its indexes, never comments
    return;
  }
  ASSERT_EQ(result, CVdCatalogSchema::eUpgraded) << U8(error);
  EXPECT_EQ(added, (std::vector<std::wstring>{L"Beams", L"Channels", L"vd_history"}));  // and the history it lacked
  EXPECT_EQ(Comment(address, "Beams", "Height"), "mm");
  EXPECT_EQ(Comment(address, "Beams", "Area"), "cm2");
  EXPECT_EQ(Comment(address, "Beams", "Width"), "<null>");
  EXPECT_EQ(Comment(address, "Channels", "Height"), "mm");
  EXPECT_EQ(CVdCatalogSchema::UpgradeCatalog(W(address), 10, added, leftAsIs, error), CVdCatalogSchema::eUpToDate)
      << U8(error);

  // A file copied onto the server.
  const std::string file = m_dir.File("copied.db");
  cattest::StandardCatalog().Write(file);
  CVdDatabase source, target;
  source.Open(W(file), 0, 1);
  target.CreateAndOpen(W(NewDbAddress("copy.db")));
  CVdCatalogTransfer::Counts counts;
  ASSERT_EQ(CVdCatalogTransfer::CopyCatalog(source, target, counts, error), CVdCatalogTransfer::eCopied) << U8(error);
  const std::string copy = NewDbAddress("copy.db");
  EXPECT_EQ(Comment(copy, "Beams", "Area"), "cm2");
  EXPECT_EQ(Comment(copy, "Channels", "Height"), "mm");
  EXPECT_EQ(Comment(copy, "Channels", "Width"), "<null>");
}

// A changed unit is read by the catalog and shown by the column's comment; a removed one leaves neither; a
// change undone by its group, or refused for a missing column, leaves the units as they were; undo refuses it.
TEST_F(CatalogUnitComments, AChangedUnitIsKeptInUnitsAndInTheComment) {
  const std::string address = NewDbAddress("changed.db");
  CString error;
  ASSERT_TRUE(CVdCatalogSchema::CreateCatalog(W(address), L"VdCatalog", L"tests", 1, error)) << U8(error);
  ASSERT_TRUE(CVdCatalogSchema::AddFamily(
      W(address), L"IPE", L"I", {{L"h", L"DOUBLE", L"mm"}, {L"A", L"DOUBLE", L"cm2"}, {L"m", L"DOUBLE", L""}}, error))
      << U8(error);
  CVdPatternCatalog catalog(W(address).GetString(), nullptr, true);
  ASSERT_TRUE(catalog.IsOpened());
  ASSERT_TRUE(CVdCatalogSchema::SetUnitsInGroup(catalog, L"ipe",
                                                {{L"H", L"", L"m"}, {L"a", L"", L""}, {L"M", L"", L"kg/m"}}, error))
      << U8(error);
  const auto Units = [](CVdPatternCatalog& c) {
    std::map<std::wstring, std::string> out;
    for (const auto& [column, info] : c.GetUnitsMap(L"IPE")) out[column] = U8(info.unit.GetText());
    return out;
  };
  const std::map<std::wstring, std::string> changed{{L"h", "m"}, {L"m", "kg/m"}};
  EXPECT_EQ(Units(catalog), changed);
  catalog.BeginWriteGroup();
  ASSERT_TRUE(CVdCatalogSchema::SetUnitsInGroup(catalog, L"IPE", {{L"h", L"", L"cm"}}, error)) << U8(error);
  catalog.EndWriteGroup(false);
  EXPECT_FALSE(CVdCatalogSchema::SetUnitsInGroup(catalog, L"IPE", {{L"h", L"", L"in"}, {L"tw", L"", L"mm"}}, error));
  EXPECT_NE(U8(error).find("no column \"tw\""), std::string::npos) << U8(error);
  std::vector<vdpattern::HistoryEntry> history;
  ASSERT_EQ(catalog.GetHistory(vdpattern::HistoryFilter(), history), CVdPatternCatalog::eChangesRead);
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(history.front().kind, L"units");
  EXPECT_FALSE(catalog.UndoChange(history.front().change, error));
  {
    // What a host opening the catalog now reads.
    CVdPatternCatalog again(W(address).GetString(), nullptr, true);
    EXPECT_EQ(Units(again), changed);
  }
  if (!OnServer()) return;
  EXPECT_EQ(Comment(address, "IPE", "h"), "m");
  EXPECT_EQ(Comment(address, "IPE", "A"), "<null>");
  EXPECT_EQ(Comment(address, "IPE", "m"), "kg/m");
}
