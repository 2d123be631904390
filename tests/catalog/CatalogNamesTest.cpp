// Names as engineers write them in a catalog: spellings and aliases, opted into; the refusals that keep an alias
// from misleading; the name index kept by the library's writes; names with any character; on every engine.

#include <vdpattern/catalog/VdPatternNames.h>
#include <vdpattern/manager/VdPatternManager.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "catalog/CatalogFixture.h"
#include "catalog/NameTables.h"
#include "db/Connection.h"

using cattest::CatalogFile;
using cattest::Number;

namespace {

class CatalogNames : public CatalogFile {
 protected:
  std::unique_ptr<CVdPatternCatalog> OpenMatching() {
    auto catalog = Open();
    catalog->SetMatchSpellings(true);
    return catalog;
  }
  // The alias "HE 300 B" of HEB 300 and the families' name indexes, as the library makes them; `db` is left
  // open on the file.
  void AliasAndNameIndexes(CVdDatabase& db) {
    {
      auto catalog = Open();
      CString error;
      ASSERT_TRUE(catalog->AddAlias(L"HE 300 B", L"HEB 300", nullptr, error)) << VdToUtf8(error.str());
    }
    db.Open(CString(Wide(m_file).c_str()), 0, 0);
    for (const wchar_t* family : {L"Beams", L"Channels"})
      db.ExecuteSQL(
          (std::wstring(L"CREATE INDEX [") + family + L"_name] ON [" + family + L"] ([Name] COLLATE NOCASE)").c_str());
  }
  static std::string Found(CVdPatternCatalog& catalog, const wchar_t* name, const wchar_t* family = nullptr) {
    std::unique_ptr<CVdPattern> p(catalog.GetPattern(name, family));
    return p ? VdToUtf8(p->GetUserNameW().str()) + "/" + VdToUtf8(p->GetFamily().str()) : "-";
  }
  static std::string Matches(CVdPatternCatalog& catalog, const wchar_t* name) {
    std::vector<CVdPatternCatalog::NameMatch> found;
    if (!catalog.FindNames(name, nullptr, found)) return "failed";
    std::string text;
    for (const auto& m : found)
      text += (text.empty() ? "" : ", ") + VdToUtf8(m.name) + (m.alias.empty() ? "" : " <" + VdToUtf8(m.alias) + ">");
    return text;
  }
};

}  // namespace

TEST_F(CatalogNames, SpellingsAndAliasesFindOneRowOnlyWhenAskedFor) {
  auto catalog = Open();
  // The fixed contract: exact names (ignoring case) only.
  EXPECT_EQ(Found(*catalog, L"heb300"), "-");
  EXPECT_FALSE(catalog->FindPattern(L"HE 300 B", nullptr));
  CString error;
  ASSERT_TRUE(catalog->AddAlias(L"HE 300 B", L"heb 300", nullptr, error)) << VdToUtf8(error.str());
  ASSERT_TRUE(catalog->AddAlias(L"IPB 300", L"HEB 300", L"beams", error)) << VdToUtf8(error.str());
  EXPECT_EQ(Found(*catalog, L"IPB 300"), "-");

  catalog->SetMatchSpellings(true);
  EXPECT_EQ(Found(*catalog, L"heb300"), "HEB 300/beams");
  EXPECT_EQ(Found(*catalog, L"HE300B"), "HEB 300/beams");  // an alias, spelt another way
  EXPECT_EQ(Found(*catalog, L"ipb 300", L"Beams"), "HEB 300/beams");
  EXPECT_EQ(Found(*catalog, L"ipb 300", L"Channels"), "-");  // not in the family asked for
  EXPECT_TRUE(catalog->FindPattern(L"IPB300", nullptr));
  EXPECT_EQ(Matches(*catalog, L"he 300 b"), "HEB 300 <HE 300 B>");
  // A spelling that two rows share is never decided: both are listed, and the lookup answers not found.
  EXPECT_EQ(Matches(*catalog, L"shared1"), "SHARED 1, SHARED 1");
  EXPECT_EQ(Found(*catalog, L"shared1"), "-");
  EXPECT_FALSE(catalog->FindPattern(L"shared1", nullptr));
  EXPECT_EQ(Found(*catalog, L"shared1", L"Channels"), "SHARED 1/channels");

  // Read again by a new opening, and listed.
  auto again = OpenMatching();
  std::vector<CVdPatternCatalog::Alias> aliases;
  ASSERT_TRUE(again->GetAliases(aliases));
  ASSERT_EQ(aliases.size(), 2u);
  EXPECT_EQ(VdToUtf8(aliases[0].alias + L"=" + aliases[0].family + L"/" + aliases[0].name), "HE 300 B=Beams/HEB 300");
  EXPECT_EQ(Found(*again, L"IPB-300"), "-");  // '-' between words is kept
  ASSERT_TRUE(again->RemoveAlias(L"ipb300", error)) << VdToUtf8(error.str());
  EXPECT_EQ(Found(*again, L"IPB 300"), "-");
  EXPECT_FALSE(again->RemoveAlias(L"IPB 300", error));
}

TEST_F(CatalogNames, AnAliasThatWouldMisleadIsRefusedAndChangesNothing) {
  auto catalog = Open();
  CString error;
  ASSERT_TRUE(catalog->AddAlias(L"HE 300 B", L"HEB 300", nullptr, error)) << VdToUtf8(error.str());
  const struct {
    const wchar_t *alias, *name, *family, *why;
  } refused[] = {
      {L"he 100", L"HEB 300", nullptr, L"name of a pattern"},   // a real name
      {L"HE100", L"HEB 300", nullptr, L"spelling"},             // a real name spelt another way
      {L"HE300B", L"HE 100", nullptr, L"alias"},                // another alias
      {L"IPB 300", L"HEB 301", nullptr, L"not a pattern"},      // pointing at nothing
      {L"IPB 300", L"HEB 300", L"Channels", L"not a pattern"},  // not in that family
      {L"IPB 300", L"HEB 300", L"NoSuchFamily", L"not a pattern"},
      {L" ", L"HEB 300", nullptr, L"empty"},
  };
  for (const auto& r : refused) {
    error.Empty();
    EXPECT_FALSE(catalog->AddAlias(r.alias, r.name, r.family, error)) << VdToUtf8(r.alias);
    EXPECT_NE(error.Find(r.why), -1) << VdToUtf8(error.str());
  }
  // A list of aliases is all or nothing: the good first one is not kept when the second is refused.
  EXPECT_FALSE(catalog->AddAliases({{L"IPB 300", L"", L"HEB 300"}, {L"UPN 100", L"", L"UPN 80"}}, error));
  std::vector<CVdPatternCatalog::Alias> aliases;
  ASSERT_TRUE(catalog->GetAliases(aliases));
  EXPECT_EQ(aliases.size(), 1u);
}

TEST_F(CatalogNames, WritesKeepTheNameIndexAndRemovalsTakeTheirAliases) {
  auto catalog = OpenMatching();
  CString error;
  ASSERT_TRUE(catalog->AddAlias(L"UPN80 alt", L"UPN 80", nullptr, error)) << VdToUtf8(error.str());
  CVdPattern added(1, L"HSS12X3-1/2X.375", L"Beams");
  added.SetParam(0, L"height", 304.8);
  ASSERT_TRUE(catalog->InsertPattern(&added, true));
  auto other = OpenMatching();  // another opening reads the index from the catalog
  EXPECT_EQ(Found(*other, L"hss12x3.5x3/8"), "HSS12X3-1/2X.375/beams");
  ASSERT_TRUE(catalog->RemovePattern(L"UPN 80", nullptr));
  ASSERT_TRUE(catalog->RemovePattern(L"HSS12X3-1/2X.375", nullptr));
  EXPECT_EQ(Found(*other, L"hss12x3.5x3/8"), "-");
  EXPECT_EQ(Found(*other, L"upn80alt"), "-");
  std::vector<CVdPatternCatalog::Alias> aliases;
  ASSERT_TRUE(other->GetAliases(aliases));
  EXPECT_TRUE(aliases.empty());
  // A row another program adds is checked before it is answered, and indexed again on request.
  EXPECT_TRUE(catalog->RebuildNameIndex(error)) << VdToUtf8(error.str());
  EXPECT_EQ(Found(*other, L"UPN100"), "UPN 100/channels");
}

// Names with quotes, wildcards, brackets, '/' and letters beyond ASCII: found as written and by a spelling.
TEST_F(CatalogNames, NamesWithAnyCharacterAreFound) {
  auto catalog = OpenMatching();
  const wchar_t* names[] = {L"HSS12X3-1/2X.375", L"Pipe 3-1/2 SCH40", L"W8X10", L"L 4x4x1/4", L"\u00d8 20",
                            L"Plate 10\" 'x'",   L"TAB 5%",           L"TAB_5", L"[A] 1"};
  for (const wchar_t* name : names) {
    CVdPattern p(1, name, L"Beams");
    p.SetParam(0, L"height", 1.0);
    ASSERT_TRUE(catalog->InsertPattern(&p, false)) << VdToUtf8(name);
  }
  for (const wchar_t* name : names) {
    EXPECT_EQ(Found(*catalog, name), VdToUtf8(name) + "/beams");
    EXPECT_EQ(Matches(*catalog, VdNormalName(name).c_str()), VdToUtf8(name));
  }
  EXPECT_EQ(Found(*catalog, L"TAB 5_"), "-");  // '_' is no wildcard here
  EXPECT_EQ(Found(*catalog, L"pipe 3.5 sch40"), "Pipe 3-1/2 SCH40/beams");
  EXPECT_EQ(Found(*catalog, L"L 4 x 4 x .25"), "L 4x4x1/4/beams");
}

// The lookups of a spelling and of an alias read their indexes, never the whole table.
TEST_F(CatalogNames, SpellingsAndAliasesReadTheirIndexes) {
  if (OnServer()) GTEST_SKIP() << "the plans asserted are the file engine's";
  CVdDatabase db;
  ASSERT_NO_FATAL_FAILURE(AliasAndNameIndexes(db));
  EXPECT_EQ(Plan(db, L"SELECT [family], [name], '' AS [alias] FROM [vd_name] WHERE [normal] = 'HEB300'"),
            "SEARCH vd_name USING INDEX vd_name_normal (normal=?)\n");
  EXPECT_EQ(Plan(db, L"SELECT [family], [name], [alias] FROM [vd_alias] WHERE [normal] = 'HE300B'"),
            "SEARCH vd_alias USING INDEX vd_alias_normal (normal=?)\n");
}

// Under a manager, every catalog is asked for the exact name before any spelling is tried, and a spelling that
// rows of two catalogs share is never decided.
TEST_F(CatalogNames, ManagerTriesExactNamesInEveryCatalogFirst) {
  vdtest::CatalogBuilder other;
  other.AddFamily("Profiles", "pr", "Height DOUBLE", "('HEB300', 301), ('IPE 200', 200)");
  const std::string second = MakeCatalog("other.mdb", other);
  CVdPatternManager manager(nullptr);
  ASSERT_TRUE(manager.AttachCatalog(Open().release()));
  ASSERT_TRUE(manager.AttachCatalog(new CVdPatternCatalog(Wide(second).c_str())));
  manager.SetMatchSpellings(true);
  std::unique_ptr<CVdPattern> exact(manager.GetPatternCatalog(CString(L"heb300")));
  ASSERT_TRUE(exact);
  EXPECT_EQ(Number(*exact, L"height"), 301);
  EXPECT_FALSE(std::unique_ptr<CVdPattern>(manager.GetPatternCatalog(CString(L"HEB  300.0"))));
  std::vector<CVdPatternManager::NameMatch> matches;
  ASSERT_TRUE(manager.FindNames(L"HEB  300.0", nullptr, matches));
  EXPECT_EQ(matches.size(), 2u);
  std::unique_ptr<CVdPattern> spelt(manager.GetPatternCatalog(CString(L"ipe200")));
  ASSERT_TRUE(spelt);
  EXPECT_EQ(VdToUtf8(spelt->GetUserNameW().str()), "IPE 200");
  manager.SetMatchSpellings(false);
  EXPECT_FALSE(std::unique_ptr<CVdPattern>(manager.GetPatternCatalog(CString(L"ipe200"))));
}

// A spelling or an alias costs one statement (on a server one round trip) more than the exact name: its
// candidates come checked against their rows, so one whose row another program removed is never answered, and a
// family whose name column was made in another case is checked by that spelling.
TEST_F(CatalogNames, ASpellingCostsOneStatementMoreThanTheExactName) {
  {
    CVdDatabase db;
    db.Open(CString(Wide(m_file).c_str()), 0, 0);
    db.ExecuteSQL(L"CREATE TABLE [Plates] ([NAME] TEXT, [t] DOUBLE)");
    db.ExecuteSQL(L"INSERT INTO [Plates] ([NAME], [t]) VALUES ('PL 10', 10)");
  }
  auto catalog = OpenMatching();
  CString error;
  ASSERT_TRUE(catalog->RebuildNameIndex(error)) << VdToUtf8(error.str());
  ASSERT_TRUE(catalog->AddAlias(L"HE 300 B", L"HEB 300", nullptr, error)) << VdToUtf8(error.str());
  const auto cost = [&](const wchar_t* name, const char* expected) {
    const std::uint64_t before = vdpattern::db::StatementCount();
    EXPECT_EQ(Found(*catalog, name), expected) << VdToUtf8(name);
    return vdpattern::db::StatementCount() - before;
  };
  cost(L"heb300", "HEB 300/beams");  // the first lookup learns the catalog's tables
  const std::uint64_t exact = cost(L"HEB 300", "HEB 300/beams");
  for (const wchar_t* name : {L"heb300", L"he300b", L"HEB 300.0"})
    EXPECT_LE(cost(name, "HEB 300/beams"), exact + 1) << VdToUtf8(name) << " against " << exact;
  std::vector<CVdPatternCatalog::NameMatch> found;
  ASSERT_TRUE(catalog->FindNames(L"pl10", nullptr, found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(VdToUtf8(found[0].name), "PL 10");
  // Removed through a second connection: the index still names the row, the check does not answer it.
  CVdDatabase db;
  db.Open(CString(Wide(m_file).c_str()), 0, 0);
  db.ExecuteSQL(L"DELETE FROM [Beams] WHERE [Name] = 'HEB 300'");
  db.Close();
  EXPECT_EQ(Found(*catalog, L"heb300"), "-");
  EXPECT_EQ(Found(*catalog, L"he300b"), "-");
}

// The statement of a spelling reads the name index, the alias index and, per family, its name index: no table
// is read whole, however many rows it holds.
TEST_F(CatalogNames, TheCheckedSpellingStatementReadsOnlyIndexes) {
  CVdDatabase db;
  ASSERT_NO_FATAL_FAILURE(AliasAndNameIndexes(db));
  const std::wstring statement =
      vdpattern::catalog::CheckedCandidatesStatement(L"HEB300", true, {{L"Beams", L"Name"}, {L"Channels", L"Name"}});
  if (OnServer()) {
    // The tables are a few rows, where a scan is cheapest: with scans priced out, the planner still scans a
    // table whose index cannot serve the comparison, so no scan in the plan means every probe has its index.
    db.ExecuteSQL(L"SET enable_seqscan = off");
    std::string plan;
    CVdRecordset rs(&db);
    rs.Open(0, (L"EXPLAIN " + statement).c_str(), 0);
    for (; !rs.IsEOF(); rs.MoveNext()) {
      CDBVariant v;
      rs.GetFieldValue(static_cast<short>(0), v);
      plan += VdToUtf8(DBV_BSTRAll(&v).str()) + "\n";
    }
    EXPECT_EQ(plan.find("Seq Scan"), std::string::npos) << plan;
    for (const char* table : {"on vd_name", "on vd_alias", "on \"Beams\"", "on \"Channels\""})
      EXPECT_NE(plan.find(table), std::string::npos) << table << "\n" << plan;
    return;
  }
  const std::string plan = Plan(db, statement);
  EXPECT_NE(plan.find("SEARCH vd_name USING INDEX vd_name_normal (normal=?)"), std::string::npos) << plan;
  EXPECT_NE(plan.find("SEARCH vd_alias USING INDEX vd_alias_normal (normal=?)"), std::string::npos) << plan;
  std::size_t searches = 0;
  for (std::size_t at = plan.find("SEARCH vd_f USING"); at != std::string::npos; at = plan.find("SEARCH vd_f", at + 1))
    ++searches;
  EXPECT_EQ(searches, 2u) << plan;  // one per family, each through its index
  for (const char* scanned : {"SCAN vd_name", "SCAN vd_alias", "SCAN vd_f", "SCAN Beams", "SCAN Channels"})
    EXPECT_EQ(plan.find(scanned), std::string::npos) << plan;
}

namespace {

// "name/family" of each near name, with " <alias>" and " =" (the exact name) where they apply, sorted.
std::string Near(CVdPatternCatalog& catalog, const wchar_t* name, const wchar_t* family, std::uint64_t& statements) {
  std::vector<CVdPatternCatalog::NearName> near;
  const std::uint64_t before = vdpattern::db::StatementCount();
  const bool answered = catalog.GetNearNames(name, family, 64, near);
  statements = vdpattern::db::StatementCount() - before;
  if (!answered) return "failed";
  std::vector<std::string> texts;
  for (const auto& n : near) {
    std::wstring family = n.family;
    VdFoldLower(family);  // as the engine spells the table: the test's names differ in case only
    texts.push_back(VdToUtf8(n.name + L"/" + family) + (n.alias.empty() ? "" : " <" + VdToUtf8(n.alias) + ">") +
                    (n.exact ? " =" : ""));
  }
  std::sort(texts.begin(), texts.end());
  texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
  std::string out;
  for (const std::string& t : texts) out += (out.empty() ? "" : ", ") + t;
  return out;
}

}  // namespace

// A missing name's neighbours come in one statement, whatever the number of families: from each family's own
// names when the catalog keeps no name index (a family whose name column was made in another case included), and
// from the indexes of names and aliases once it does; for one family, from that family only. The engine says
// which rows are exactly the name asked for.
TEST_F(CatalogNames, NearNamesAreOneStatementFromTheFamiliesOrTheIndexes) {
  {
    CVdDatabase db;
    db.Open(CString(Wide(m_file).c_str()), 0, 0);
    db.ExecuteSQL(L"CREATE TABLE [Plates] ([NAME] TEXT, [t] DOUBLE)");
    db.ExecuteSQL(L"INSERT INTO [Plates] ([NAME], [t]) VALUES ('PL 10', 10), ('UPN 90', 1)");
  }
  auto catalog = Open();
  std::uint64_t statements = 0;
  Near(*catalog, L"UPN 90", nullptr, statements);  // the first call learns the catalog's tables
  const std::string channels = Near(*catalog, L"UPN 90", nullptr, statements);
  EXPECT_EQ(statements, 1u);
  for (const char* name : {"UPN 80/channels", "UPN 100/channels", "UPN 90/plates =", "L 50/angles", "PL 10/plates"})
    EXPECT_NE(channels.find(name), std::string::npos) << name << " in " << channels;
  EXPECT_EQ(Near(*catalog, L"SHARED 1", L"channels", statements).find("beams"), std::string::npos);
  EXPECT_NE(Near(*catalog, L"SHARED 1", nullptr, statements).find("SHARED 1/beams =, SHARED 1/channels ="),
            std::string::npos);
  EXPECT_EQ(statements, 1u);
  // Written in small letters, the capitals' neighbours are found too.
  EXPECT_NE(Near(*catalog, L"upn 90", nullptr, statements).find("UPN 80/channels"), std::string::npos);

  CString error;
  ASSERT_TRUE(catalog->AddAlias(L"HE 300 B", L"HEB 300", nullptr, error)) << VdToUtf8(error.str());
  const std::string indexed = Near(*catalog, L"HE 300 C", nullptr, statements);
  EXPECT_EQ(statements, 1u);
  EXPECT_NE(indexed.find("HEB 300/beams <HE 300 B>"), std::string::npos) << indexed;
  EXPECT_NE(indexed.find("HEB 300/beams,"), std::string::npos) << indexed;  // its own entry, by normal form
  const std::string one = Near(*catalog, L"UPN 90", L"Channels", statements);
  EXPECT_EQ(statements, 1u);
  EXPECT_EQ(one, "SHARED 1/channels, UPN 100/channels, UPN 80/channels") << one;
}

// Each part of the near names' statement reads one range of an index: no family, nor table of names, is read
// whole, however many rows it holds.
TEST_F(CatalogNames, TheNearNamesStatementReadsOnlyIndexRanges) {
  if (OnServer()) GTEST_SKIP() << "the plans asserted are the file engine's";
  CVdDatabase db;
  ASSERT_NO_FATAL_FAILURE(AliasAndNameIndexes(db));
  const std::string plan = Plan(db, vdpattern::catalog::NearNamesStatement(
                                        L"heb 250", L"", 8, true, true, {{L"Beams", L"Name"}, {L"Channels", L"Name"}}));
  for (const char* range :
       {"SEARCH vd_name USING INDEX vd_name_normal (normal<?)", "SEARCH vd_name USING INDEX vd_name_normal (normal>?)",
        "SEARCH vd_alias USING INDEX vd_alias_normal (normal<?)",
        "SEARCH vd_alias USING INDEX vd_alias_normal (normal>?)", "INDEX Beams_name (Name<?)",
        "INDEX Beams_name (Name>?)", "INDEX Channels_name (Name<?)"})
    EXPECT_NE(plan.find(range), std::string::npos) << range << " in\n" << plan;
  for (const char* scanned : {"SCAN vd_name", "SCAN vd_alias", "SCAN Beams", "SCAN Channels", "TEMP B-TREE"})
    EXPECT_EQ(plan.find(scanned), std::string::npos) << plan;
}
