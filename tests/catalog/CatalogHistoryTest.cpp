// The history: what each library write records, reading it back, undo and its refusals, pruning, batches, and a
// catalog without a history.

#include <algorithm>
#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/catalog/VdCatalogTransfer.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "catalog/CatalogFixture.h"
#include "support/ServerSql.h"

using cattest::CatalogFile;
using vdpattern::HistoryEntry;
using vdpattern::HistoryFilter;
using vdpattern::HistoryValue;

namespace {

class CatalogHistory : public CatalogFile {
 protected:
  void SetUp() override {
    CatalogFile::SetUp();
    if (IsSkipped()) return;
    CString error;
    ASSERT_TRUE(CVdCatalogSchema::AddHistory(CString(Wide(m_file).c_str()), error)) << error.ToUtf8();
  }
  std::vector<HistoryEntry> History(CVdPatternCatalog& catalog, HistoryFilter filter = {}) {
    std::vector<HistoryEntry> entries;
    EXPECT_EQ(catalog.GetHistory(filter, entries), CVdPatternCatalog::eChangesRead);
    return entries;
  }
  static const vdpattern::HistoryColumn* Column(const HistoryEntry& e, const wchar_t* name) {
    for (const auto& c : e.columns)
      if (CString(c.column.c_str()).CompareNoCase(name) == 0) return &c;
    return nullptr;
  }
  std::string Height(const std::string& name) { return Cell("SELECT Height FROM Beams WHERE Name = '" + name + "'"); }
};

}  // namespace

TEST_F(CatalogHistory, EachWriteRecordsWhoWhenAndEveryTouchedColumnTyped) {
  auto catalog = Open();
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"Beams"));
  ASSERT_TRUE(p);
  p->SetParam(0, L"height", 111.5);
  ASSERT_TRUE(catalog->ModifyPattern(L"HE 100", L"Beams", p.get()));
  CVdPattern fresh(1, L"HE 400", L"Beams");
  fresh.SetParam(0, L"height", 400.0);
  ASSERT_TRUE(catalog->InsertPattern(&fresh, false));
  ASSERT_TRUE(catalog->RemovePattern(L"UPN 80", L"Channels"));

  const std::vector<HistoryEntry> all = History(*catalog);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_GT(all[0].change, all[1].change);  // newest first
  EXPECT_GT(all[1].change, all[2].change);
  for (const HistoryEntry& e : all) {
    EXPECT_EQ(e.set, e.change);  // one write, one set
    EXPECT_EQ(e.at.size(), 20u) << VdToUtf8(e.at);
    EXPECT_EQ(e.at.back(), L'Z');
    EXPECT_FALSE(e.who.empty());
    EXPECT_FALSE(e.program.empty());
  }
  struct Expect {
    const wchar_t *kind, *name, *column;
    HistoryValue before, after;
  } const expected[] = {
      {L"remove", L"UPN 80", L"Width", {HistoryValue::eReal, L"45.0"}, {}},
      {L"insert", L"HE 400", L"Height", {}, {HistoryValue::eReal, L"400.0"}},
      {L"insert", L"HE 400", L"Name", {}, {HistoryValue::eText, L"HE 400"}},
      {L"modify", L"HE 100", L"Height", {HistoryValue::eReal, L"100.0"}, {HistoryValue::eReal, L"111.5"}},
  };
  for (const Expect& x : expected) {
    SCOPED_TRACE(VdToUtf8(x.name) + " " + VdToUtf8(x.column));
    const HistoryEntry* e = nullptr;
    for (const HistoryEntry& candidate : all)
      if (candidate.name == x.name) e = &candidate;
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, x.kind);
    const auto* c = Column(*e, x.column);
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->before == x.before) << VdToUtf8(c->before.text);
    EXPECT_TRUE(c->after == x.after) << VdToUtf8(c->after.text);
  }
  // A modify records only what changed; NULL stays NULL (Series of a new row never set).
  EXPECT_EQ(Column(all[2], L"Width"), nullptr);
  EXPECT_EQ(Column(all[1], L"Series"), nullptr);

  // The change records and the history count with one numbering.
  long long last = 0;
  ASSERT_EQ(catalog->GetLastChange(last), CVdPatternCatalog::eChangesRead);
  EXPECT_EQ(last, all[0].change);

  HistoryFilter only;
  only.name = L"he 100";
  ASSERT_EQ(History(*catalog, only).size(), 1u);
  only = {};
  only.family = L"channels";
  EXPECT_EQ(History(*catalog, only).size(), 1u);
  only = {};
  only.since = L"2999-01-01";
  EXPECT_TRUE(History(*catalog, only).empty());
  only = {};
  only.by = L"nobody-at-all";
  EXPECT_TRUE(History(*catalog, only).empty());
}

TEST_F(CatalogHistory, UndoPutsBackWhatAChangeDidAsANewChangeAndRefusesWhenLaterWritesCameBetween) {
  auto catalog = Open();
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"Beams"));
  ASSERT_TRUE(p);
  p->SetParam(0, L"height", 111.5);
  ASSERT_TRUE(catalog->ModifyPattern(L"HE 100", L"Beams", p.get()));
  const long long first = History(*catalog)[0].change;
  p->SetParam(0, L"height", 122.5);
  ASSERT_TRUE(catalog->ModifyPattern(L"HE 100", L"Beams", p.get()));
  const long long second = History(*catalog)[0].change;

  CString error;
  EXPECT_FALSE(catalog->UndoChange(first, error));
  EXPECT_NE(error.Find(std::to_wstring(second).c_str()), -1) << error.ToUtf8();  // names the later change
  EXPECT_EQ(Height("HE 100"), "122.5");
  EXPECT_FALSE(catalog->UndoChange(999999, error));

  ASSERT_TRUE(catalog->UndoChange(second, error)) << error.ToUtf8();
  EXPECT_EQ(Height("HE 100"), "111.5");
  ASSERT_TRUE(catalog->UndoChange(first, error)) << error.ToUtf8();
  EXPECT_EQ(Height("HE 100"), "100.0");
  EXPECT_EQ(History(*catalog)[0].kind, L"undo");

  // Insert and remove undo as removal and re-insertion, with every value as it was.
  CVdPattern fresh(1, L"HE 400", L"Beams");
  fresh.SetParam(0, L"height", 400.0);
  ASSERT_TRUE(catalog->InsertPattern(&fresh, false));
  ASSERT_TRUE(catalog->UndoChange(History(*catalog)[0].change, error)) << error.ToUtf8();
  EXPECT_EQ(Cell("SELECT count(*) FROM Beams WHERE Name = 'HE 400'"), "0");
  ASSERT_TRUE(catalog->RemovePattern(L"HE 200", L"Beams"));
  ASSERT_TRUE(catalog->UndoChange(History(*catalog)[0].change, error)) << error.ToUtf8();
  EXPECT_EQ(Height("HE 200"), "200.0");
  EXPECT_EQ(Cell("SELECT Series FROM Beams WHERE Name = 'HE 200'"), "HEA");

  // A value another program wrote is no recorded change's: refused, nothing changed.
  p->SetParam(0, L"height", 133.5);
  ASSERT_TRUE(catalog->ModifyPattern(L"HE 100", L"Beams", p.get()));
  const long long third = History(*catalog)[0].change;
  vdtest::RawDb(m_file).Exec("UPDATE Beams SET Height = 5 WHERE Name = 'HE 100'");
  EXPECT_FALSE(catalog->UndoChange(third, error));
  EXPECT_NE(error.Find(L"another program"), -1) << error.ToUtf8();
  EXPECT_EQ(Height("HE 100"), "5.0");

  // Reals compare by value: a change recorded with 17 digits (older histories) matches the shorter text read now.
  p->SetParam(0, L"height", 0.1);
  ASSERT_TRUE(catalog->ModifyPattern(L"HE 100", L"Beams", p.get()));
  const long long fourth = History(*catalog)[0].change;
  const HistoryEntry recorded = History(*catalog)[0];
  ASSERT_EQ(recorded.columns.size(), 1u);
  EXPECT_TRUE((recorded.columns[0].after == HistoryValue{HistoryValue::eReal, L"0.1"}));
  vdtest::RawDb(m_file).Exec("UPDATE vd_history SET columns = '[[\"" + VdToUtf8(recorded.columns[0].column) +
                             "\",5.0,0.10000000000000001]]' WHERE seq = " + std::to_string(fourth));
  EXPECT_EQ(Column(History(*catalog)[0], L"Height")->after.text, L"0.10000000000000001");
  ASSERT_TRUE(catalog->UndoChange(fourth, error)) << error.ToUtf8();
  EXPECT_EQ(Height("HE 100"), "5.0");
  EXPECT_FALSE((HistoryValue{HistoryValue::eReal, L"0.0"} == HistoryValue{HistoryValue::eReal, L"-0.0"}));
}

TEST_F(CatalogHistory, ABatchIsOneSetUndoneInOneGoAndPruningIsRecorded) {
  auto catalog = Open();
  long long before = 0;
  ASSERT_EQ(catalog->GetLastChange(before), CVdPatternCatalog::eChangesRead);
  catalog->BeginHistoryBatch();
  for (int i = 0; i < 450; ++i) {  // more rows than one statement carries
    CVdPattern row(1, CString(L"B ") + CString(std::to_wstring(i).c_str()), L"Beams");
    row.SetParam(0, L"height", double(i));
    ASSERT_TRUE(catalog->InsertPattern(&row, false));
  }
  ASSERT_TRUE(catalog->EndHistoryBatch(true));
  const std::vector<HistoryEntry> all = History(*catalog);
  ASSERT_EQ(all.size(), 450u);
  for (const HistoryEntry& e : all) EXPECT_EQ(e.set, before + 1);
  std::vector<CVdPatternCatalog::PatternChange> changes;
  ASSERT_EQ(catalog->GetChanges(before, changes), CVdPatternCatalog::eChangesRead);
  EXPECT_EQ(changes.size(), 450u);

  CString error;
  ASSERT_TRUE(catalog->UndoChange(all[100].change, error)) << error.ToUtf8();
  EXPECT_EQ(Cell("SELECT count(*) FROM Beams"), "5");
  const std::vector<HistoryEntry> undone = History(*catalog);
  ASSERT_EQ(undone.size(), 900u);
  EXPECT_EQ(undone[0].set, undone[449].set);  // the undo is one set too
  HistoryFilter ofSet;                        // each set read whole, and alone, beside the other
  for (const long long change : {all[100].change, undone[10].change}) {
    ofSet.change = change;
    const std::vector<HistoryEntry> set = History(*catalog, ofSet);
    ASSERT_EQ(set.size(), 450u);
    EXPECT_EQ(set.front().set, set.back().set);
  }

  long long removed = 0;
  ASSERT_TRUE(catalog->PruneHistory(L"2999-01-01", removed, error)) << error.ToUtf8();
  EXPECT_EQ(removed, 900);
  const std::vector<HistoryEntry> left = History(*catalog);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].kind, L"prune");
}

// A batch's texts travel joined by a control character on a server: names holding such characters, and rows of
// several families and kinds, must come back exactly and in order.
TEST_F(CatalogHistory, ABatchKeepsEveryNameFamilyAndKindWhateverTheNamesHold) {
  auto catalog = Open();
  const std::wstring names[] = {L"S \x1f one's", L"S \x1f\x1e\x1d\x1c\x1b\x1a\x19\x18 all"};
  for (const std::wstring& name : names) {  // the second holds every separator the batch could pick
    catalog->BeginHistoryBatch();
    CVdPattern row(1, CString(name.c_str()), L"Beams");
    row.SetParam(0, L"height", 1.0);
    ASSERT_TRUE(catalog->InsertPattern(&row, false));
    if (name == names[0]) {  // another family and kind in the same batch
      ASSERT_TRUE(catalog->RemovePattern(L"UPN 80", L"Channels"));
    }
    ASSERT_TRUE(catalog->EndHistoryBatch(true));
  }
  const std::vector<HistoryEntry> all = History(*catalog);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].name, names[1]);
  EXPECT_EQ(all[1].family, L"Channels");
  EXPECT_EQ(all[1].name, L"UPN 80");
  EXPECT_EQ(all[2].name, names[0]);
  EXPECT_EQ(all[2].family, L"Beams");
  EXPECT_NE(all[1].kind, all[2].kind);
  EXPECT_EQ(all[1].set, all[2].set);
  EXPECT_EQ(all[1].change, all[2].change + 1);
  ASSERT_TRUE(Column(all[2], L"height"));
  EXPECT_EQ(Column(all[2], L"height")->after, (HistoryValue{HistoryValue::eReal, L"1.0"}));
}

// A long batch is written in parts while it goes on, as one set; the records of a write that failed go with its
// rows, so that the same rows written again one by one are recorded once.
TEST_F(CatalogHistory, ALongBatchIsOneSetInPartsAndAFailedWriteLeavesNoRecords) {
  auto catalog = Open();
  catalog->BeginHistoryBatch();
  std::vector<std::unique_ptr<CVdPattern>> rows;
  for (int part = 0; part < 2; ++part) {
    std::vector<CVdPattern*> batch;
    for (int i = 0; i < 3000; ++i) {
      rows.push_back(std::make_unique<CVdPattern>(1, CString(L"B " + std::to_wstring(part * 3000 + i)), L"Beams"));
      rows.back()->SetParam(0, L"height", 1.0 + i);
      batch.push_back(rows.back().get());
    }
    ASSERT_TRUE(catalog->InsertPatterns(batch, true));
  }
  // "HE 100" is written over after "B new" is inserted, and refused by the index.
  vdtest::ExecSql(m_file, "CREATE UNIQUE INDEX by_width ON Beams (Width)");
  CVdPattern fresh(1, L"B new", L"Beams"), clash(1, L"HE 100", L"Beams");
  fresh.SetParam(0, L"width", 7.0);
  clash.SetParam(0, L"width", 200.0);  // HE 200's
  EXPECT_FALSE(catalog->InsertPatterns({&fresh, &clash}, false));
  ASSERT_TRUE(catalog->InsertPattern(&fresh, false));
  ASSERT_TRUE(catalog->EndHistoryBatch(true));
  const std::vector<HistoryEntry> all = History(*catalog);
  ASSERT_EQ(all.size(), 6001u);
  EXPECT_EQ(all.front().name, L"B new");
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].set, all.back().change);
    EXPECT_EQ(all[i].change, all.back().change + static_cast<long long>(all.size() - 1 - i));
  }
}

// Rows written over in one call are written together, and each write is recorded from the row it found: a name
// given twice chains its two records, and every record names its own row.
TEST_F(CatalogHistory, RowsWrittenOverTogetherRecordEachWriteFromTheRowItFound) {
  auto catalog = Open();
  CVdPattern first(1, L"he 100", L"Beams"), other(1, L"HEB 300", L"Beams"), second(1, L"HE 100", L"Beams");
  first.SetParam(0, L"height", 1.0);
  other.SetParam(0, L"height", 3.0);
  second.SetParam(0, L"height", 2.0);
  ASSERT_TRUE(catalog->InsertPatterns({&first, &other, &second}, false));
  const std::vector<HistoryEntry> all = History(*catalog);
  ASSERT_EQ(all.size(), 3u);
  std::map<std::wstring, std::vector<std::pair<std::wstring, std::wstring>>> heights;  // oldest first
  for (auto e = all.rbegin(); e != all.rend(); ++e) {
    EXPECT_EQ(e->kind, L"modify");
    const auto* c = Column(*e, L"Height");
    ASSERT_TRUE(c);
    heights[CString(e->name.c_str()).MakeUpper().GetString()].emplace_back(c->before.text, c->after.text);
  }
  using Pairs = std::vector<std::pair<std::wstring, std::wstring>>;
  EXPECT_EQ(heights[L"HE 100"], (Pairs{{L"100.0", L"1.0"}, {L"1.0", L"2.0"}}));
  EXPECT_EQ(heights[L"HEB 300"], (Pairs{{L"300.0", L"3.0"}}));
  EXPECT_EQ(Height("HE 100"), "2.0");
}

TEST_F(CatalogHistory, AliasesAFamilyAndACopyAreChangesOfTheirOwnThatUndoLeavesAlone) {
  CString error;
  const CString path(Wide(m_file).c_str());
  ASSERT_TRUE(
      CVdCatalogSchema::AddFamily(path, L"Plates", L"pl", {{L"t", L"DOUBLE", L"mm"}, {L"grade", L"TEXT", L""}}, error))
      << error.ToUtf8();
  auto catalog = Open();
  ASSERT_TRUE(catalog->AddAlias(L"HEA 100", L"HE 100", L"Beams", error)) << error.ToUtf8();
  ASSERT_TRUE(catalog->RemoveAlias(L"HEA 100", error)) << error.ToUtf8();

  const std::vector<HistoryEntry> all = History(*catalog);
  ASSERT_EQ(all.size(), 3u);
  struct Expect {
    const wchar_t *kind, *family, *name, *column;
    HistoryValue before, after;
  } const expected[] = {
      {L"alias", L"Beams", L"HE 100", L"alias", {HistoryValue::eText, L"HEA 100"}, {}},
      {L"alias", L"Beams", L"HE 100", L"alias", {}, {HistoryValue::eText, L"HEA 100"}},
      {L"family", L"Plates", L"", L"t unit", {}, {HistoryValue::eText, L"mm"}},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    const Expect& x = expected[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(all[i].kind, x.kind);
    EXPECT_EQ(CString(all[i].family.c_str()).CompareNoCase(x.family), 0) << VdToUtf8(all[i].family);
    EXPECT_EQ(all[i].name, x.name);
    const auto* c = Column(all[i], x.column);
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->before == x.before) << VdToUtf8(c->before.text);
    EXPECT_TRUE(c->after == x.after) << VdToUtf8(c->after.text);
  }
  EXPECT_TRUE(Column(all[2], L"grade")->after == (HistoryValue{HistoryValue::eText, L"TEXT"}));
  EXPECT_EQ(Column(all[2], L"grade unit"), nullptr);
  // Pools and watchers see them through the change records.
  long long last = 0;
  ASSERT_EQ(catalog->GetLastChange(last), CVdPatternCatalog::eChangesRead);
  EXPECT_EQ(last, all[0].change);
  // Undo puts back row values only: an alias or a family is refused by name, nothing written.
  for (const HistoryEntry& e : all) {
    EXPECT_FALSE(catalog->UndoChange(e.change, error));
    EXPECT_NE(error.Find(L"cannot be undone"), -1) << error.ToUtf8();
  }
  EXPECT_EQ(History(*catalog).size(), 3u);

  // A copy begins the target's own history with one change for the whole copy, however many rows it took.
  vdtest::TempDir dir;
  const std::string copy = dir.File("copy.db");
  {
    CVdDatabase from, to;
    from.Open(path, 0, 1);
    CVdDatabase::CreateDatabase(CString(copy.c_str()));
    to.Open(CString(copy.c_str()), 0, 0);
    CVdCatalogTransfer::Counts counts;
    ASSERT_EQ(CVdCatalogTransfer::CopyCatalog(from, to, counts, error), CVdCatalogTransfer::eCopied) << error.ToUtf8();
  }
  CVdPatternCatalog target(Wide(copy).c_str(), nullptr, true);
  std::vector<HistoryEntry> copied;
  ASSERT_EQ(target.GetHistory({}, copied), CVdPatternCatalog::eChangesRead);
  ASSERT_EQ(copied.size(), 1u);
  EXPECT_EQ(copied[0].kind, L"convert");
  ASSERT_TRUE(Column(copied[0], L"rows"));
  EXPECT_EQ(Column(copied[0], L"rows")->after.type, HistoryValue::eInteger);
  EXPECT_GT(std::stoi(Column(copied[0], L"rows")->after.text), 8);
}

TEST_F(CatalogHistory, AddedColumnsAreAllOrNothingOneRecordedChangeAndUsableAtOnce) {
  auto catalog = Open();
  const std::string before = Cell("SELECT count(*) FROM vd_history");
  using Columns = std::vector<CVdCatalogSchema::Column>;
  CString error;
  // Each refusal is checked before anything is written, a late one included: no column, no unit, no change.
  const Columns refused[] = {
      {{L"Depth", L"DOUBLE", L"mm"}, {L"height", L"DOUBLE", L"mm"}},  // there already, in another case
      {{L"Depth", L"DOUBLE", L"mm"}, {L"DEPTH", L"DOUBLE", L""}},     // repeated
      {{L"Depth", L"DOUBLE", L"mm"}, {L"Grade", L"TEXT; DROP TABLE Beams", L""}},
      {{L"Depth", L"DOUBLE", L"mm"}, {L"a]b", L"DOUBLE", L""}},
      {},
  };
  for (const Columns& columns : refused) {
    EXPECT_FALSE(CVdCatalogSchema::AddColumnsInGroup(*catalog, L"Beams", columns, error));
    EXPECT_FALSE(error.IsEmpty());
  }
  EXPECT_FALSE(CVdCatalogSchema::AddColumnsInGroup(*catalog, L"Girders", {{L"Depth", L"DOUBLE", L""}}, error));
  EXPECT_NE(error.Find(L"Girders"), -1) << error.ToUtf8();
  EXPECT_FALSE(CVdCatalogSchema::AddColumnsInGroup(*catalog, L"vd_history", {{L"Depth", L"DOUBLE", L""}}, error));
  EXPECT_EQ(Cell("SELECT count(*) FROM vd_history"), before);
  {
    auto fresh = Open();  // what another reader sees: the family as it was
    std::unique_ptr<CVdPattern> p(fresh->GetPattern(L"HE 100", L"Beams"));
    ASSERT_TRUE(p);
    CVdPatternValue* v = nullptr;
    EXPECT_FALSE(p->GetFixedParam(0, L"Depth", &v));
  }

  ASSERT_TRUE(CVdCatalogSchema::AddColumnsInGroup(*catalog, L"Beams",
                                                  {{L"Depth", L"DOUBLE", L"mm"}, {L"Grade", L"TEXT", L""}}, error))
      << error.ToUtf8();
  const std::vector<HistoryEntry> all = History(*catalog);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all[0].kind, L"columns");
  EXPECT_EQ(Cell("SELECT count(*) FROM vd_history"), std::to_string(std::stoi(before) + 1));
  ASSERT_TRUE(Column(all[0], L"Depth unit"));
  EXPECT_TRUE(Column(all[0], L"Depth unit")->after == (HistoryValue{HistoryValue::eText, L"mm"}));
  EXPECT_TRUE(Column(all[0], L"Grade")->after == (HistoryValue{HistoryValue::eText, L"TEXT"}));
  EXPECT_EQ(Column(all[0], L"Grade unit"), nullptr);
  EXPECT_EQ(catalog->GetUnitsMap(L"BEAMS").count(L"depth"), 1u);  // kept under the family upper-cased
  EXPECT_FALSE(catalog->UndoChange(all[0].change, error));
  EXPECT_NE(error.Find(L"cannot be undone"), -1) << error.ToUtf8();

  // The same catalog object writes and reads the new columns at once, and a second call finds them there.
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"Beams"));
  ASSERT_TRUE(p);
  p->SetParam(0, L"Depth", 96.0);
  ASSERT_TRUE(catalog->ModifyPattern(L"HE 100", L"Beams", p.get()));
  EXPECT_EQ(Cell("SELECT Depth FROM Beams WHERE Name = 'HE 100'"), "96.0");
  EXPECT_FALSE(CVdCatalogSchema::AddColumnsInGroup(*catalog, L"Beams", {{L"depth", L"DOUBLE", L""}}, error));
}

TEST_F(CatalogFile, ACatalogWithoutAHistoryWritesAsBeforeAndSaysSo) {
  auto catalog = Open();
  EXPECT_FALSE(catalog->HasHistory());
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"Beams"));
  ASSERT_TRUE(p);
  ASSERT_TRUE(catalog->ModifyPattern(L"HE 100", L"Beams", p.get()));
  std::vector<HistoryEntry> entries;
  EXPECT_EQ(catalog->GetHistory({}, entries), CVdPatternCatalog::eChangesNotKept);
  long long last = 0;
  EXPECT_EQ(catalog->GetLastChange(last), CVdPatternCatalog::eChangesRead);
  EXPECT_EQ(last, 1);
  CString error;
  EXPECT_FALSE(catalog->UndoChange(1, error));
  EXPECT_NE(error.Find(L"no history"), -1);
}

// An older server catalog: upgrade gives it a history when the schema's owner runs it, and takes from logs made
// with a row number each (and the history's cset index) what they no longer need; the rows stay, and writes,
// undo and a set's read work on what is left. A second upgrade changes nothing.
TEST_F(CatalogFile, UpgradeGivesAnOlderServerCatalogAHistoryAndLighterLogs) {
  if (!OnServer()) GTEST_SKIP() << "a file's logs never had a row number";
  const CString path(Wide(m_file).c_str());
  std::vector<std::wstring> added, leftAsIs, trimmed;
  CString error;
  ASSERT_EQ(CVdCatalogSchema::UpgradeCatalog(path, 10, added, leftAsIs, error, nullptr, &trimmed),
            CVdCatalogSchema::eUpgraded)
      << error.ToUtf8();
  EXPECT_NE(std::find(added.begin(), added.end(), L"vd_history"), added.end());
  EXPECT_TRUE(trimmed.empty());
  // Writes HE 100's height and gives the history then (empty when either failed).
  const auto written = [&](CVdPatternCatalog& catalog, double height) {
    std::vector<HistoryEntry> entries;
    std::unique_ptr<CVdPattern> p(catalog.GetPattern(L"HE 100", L"Beams"));
    if (!p) return entries;
    p->SetParam(0, L"Height", height);
    if (catalog.ModifyPattern(L"HE 100", L"Beams", p.get())) catalog.GetHistory({}, entries);
    return entries;
  };
  EXPECT_EQ(written(*Open(), 7.0).size(), 1u);
  // The logs as an earlier version made them.
  const std::string old =
      vdtest::ServerSql(m_file,
                        "ALTER TABLE vd_change ADD COLUMN vd_row bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY; "
                        "ALTER TABLE vd_history ADD COLUMN vd_row bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY; "
                        "CREATE INDEX vd_history_cset ON vd_history (cset)");
  ASSERT_EQ(old, "");
  const auto columns = [&] {
    return vdtest::ServerSql(m_file,
                             "SELECT count(*) FROM pg_attribute WHERE attname = 'vd_row' AND NOT attisdropped AND "
                             "attrelid IN ('vd_change'::regclass, 'vd_history'::regclass) UNION ALL SELECT count(*) "
                             "FROM pg_index WHERE indrelid = 'vd_history'::regclass AND indexrelid::regclass::text = "
                             "'vd_history_cset'");
  };
  ASSERT_EQ(columns(), "2\n1");
  ASSERT_EQ(CVdCatalogSchema::UpgradeCatalog(path, 10, added, leftAsIs, error, nullptr, &trimmed),
            CVdCatalogSchema::eUpgraded)
      << error.ToUtf8();
  EXPECT_EQ(trimmed, (std::vector<std::wstring>{L"vd_change", L"vd_history"}));
  EXPECT_EQ(columns(), "0\n0");
  auto catalog = Open();
  const std::vector<HistoryEntry> entries = written(*catalog, 8.0);
  ASSERT_EQ(entries.size(), 2u);
  ASSERT_TRUE(catalog->UndoChange(entries[0].change, error)) << error.ToUtf8();
  EXPECT_EQ(Cell("SELECT Height FROM Beams WHERE Name = 'HE 100'"), "7.0");
  HistoryFilter one;
  one.change = entries[1].change;
  std::vector<HistoryEntry> set;
  ASSERT_EQ(catalog->GetHistory(one, set), CVdPatternCatalog::eChangesRead);
  EXPECT_EQ(set.size(), 1u);
  catalog.reset();
  EXPECT_EQ(CVdCatalogSchema::UpgradeCatalog(path, 10, added, leftAsIs, error, nullptr, &trimmed),
            CVdCatalogSchema::eUpToDate)
      << error.ToUtf8();
}

// A single write's records go without waiting for their answer: one the server refuses fails the write with
// nothing of it left, and inside the host's transaction it undoes only that write.
TEST_F(CatalogHistory, AWriteWhoseRecordTheServerRefusesFailsAloneAndLeavesNothing) {
  if (!OnServer()) GTEST_SKIP() << "a file's writes wait for every statement";
  ASSERT_EQ(vdtest::ServerSql(m_file, "ALTER TABLE vd_history ADD CONSTRAINT no_x CHECK (name <> 'X 1')"), "");
  auto* connection = new CVdDatabase;  // the catalog's from below
  connection->Open(CString(Wide(m_file).c_str()));
  CVdDatabase& db = *connection;
  auto catalog = std::make_unique<CVdPatternCatalog>(connection, nullptr, false);
  std::unique_ptr<CVdPattern> p(catalog->GetPattern(L"HE 100", L"Beams"));
  ASSERT_TRUE(p);
  ASSERT_TRUE(db.BeginTrans());
  p->SetParam(0, L"Height", 55.0);
  ASSERT_TRUE(catalog->ModifyPattern(L"HE 100", L"Beams", p.get()));
  p->SetUserName(L"X 1");
  EXPECT_FALSE(catalog->InsertPattern(p.get(), false));
  EXPECT_FALSE(db.IsTransactionLost());
  db.CommitTrans();
  EXPECT_EQ(Height("HE 100"), "55.0");
  EXPECT_EQ(Cell("SELECT count(*) FROM Beams WHERE Name = 'X 1'"), "0");
  // On its own: the write's transaction is undone at its end, and the catalog does not take the name for held.
  EXPECT_FALSE(catalog->InsertPattern(p.get(), false));
  EXPECT_EQ(Cell("SELECT count(*) FROM Beams WHERE Name = 'X 1'"), "0");
  EXPECT_EQ(std::unique_ptr<CVdPattern>(catalog->GetPattern(L"X 1", L"Beams")), nullptr);
  EXPECT_FALSE(catalog->FindPattern(L"X 1", nullptr));
  const std::vector<HistoryEntry> all = History(*catalog);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, L"HE 100");
}
