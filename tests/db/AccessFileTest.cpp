// Access files of every version, 1997 to 2019 (the shared data folder's access/, from Jackcess's test corpus),
// read through CVdDatabase and compared value by value with what Access shows, as Jackcess's own tests record
// it (DatabaseTest, CalcFieldTest, ExtendedDateTest, ComplexColumnTest): deleted columns, moved rows, tables
// with many indexes, decimals, calculated fields, extended dates and complex columns. Then hostile files made in
// code (support/AccessBuilder.h): long values shared by rows, tables listed twice, moved rows that meet, files
// that decode to far more than their size, names with control characters, and the time limit.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include "support/AccessBuilder.h"
#include "support/TestDb.h"
#include "support/TestFiles.h"

namespace {

const std::string kFolder = VDPATTERN_ACCESS_DIR;

using Rows = std::vector<std::vector<std::string>>;

// A value as Access shows it, enough to compare: dates as "yyyy-mm-dd[ hh:mm:ss[.fffffff]]".
std::string Shown(CDBVariant& v) {
  switch (v.m_dwType) {
    case DBVT_NULL:
      return "NULL";
    case DBVT_BOOL:
      return v.m_boolVal ? "true" : "false";
    case DBVT_DATE: {
      const TIMESTAMP_STRUCT& t = *v.m_pdate;
      char buf[48];
      int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
      if (t.hour || t.minute || t.second || t.fraction)
        n += std::snprintf(buf + n, sizeof buf - n, " %02d:%02d:%02d", t.hour, t.minute, t.second);
      if (t.fraction) std::snprintf(buf + n, sizeof buf - n, ".%07u", static_cast<unsigned>(t.fraction / 100));
      return buf;
    }
    default:
      return U8(DBV_BSTRAll(&v));
  }
}

class AccessFileTest : public ::testing::Test {
 protected:
  void Open(const std::string& file) {
    const std::string path = kFolder + "/" + file;
    VDTEST_REQUIRE_SAMPLE(path);
    m_db.Close();
    m_db.Open(CString(path.c_str()), 0, 1);
  }
  Rows Query(const std::wstring& sql) {
    CVdRecordset rs(&m_db);
    rs.Open(0, sql.c_str(), 0);
    Rows rows;
    for (; !rs.IsEOF(); rs.MoveNext()) {
      auto& row = rows.emplace_back();
      for (short k = 0; k < rs.GetODBCFieldCount(); ++k) {
        CDBVariant v;
        rs.GetFieldValue(k, v);
        row.push_back(Shown(v));
      }
    }
    return rows;
  }
  std::vector<std::string> UserTables() {
    std::vector<std::string> names;
    for (int k = 0; k < m_db.GetTableDefCount(); ++k) {
      CVdODBCTableDefInfo info;
      m_db.GetTableDefInfo(static_cast<unsigned>(k), info);
      if (!(info.m_lAttributes & VD_TABLEDEF_SYSTEM)) names.push_back(U8(info.m_strName));
    }
    return names;
  }

  CVdDatabase m_db;
};

TEST_F(AccessFileTest, TheSameTablesReadAlikeFromAccess97To2010) {
  const std::vector<std::string> kTables = {"Table1", "Table2", "Table3", "Table4"};
  for (const char* file : {"V1997_testV1997.mdb", "V2007_testV2007.accdb", "V2010_testV2010.accdb"}) {
    SCOPED_TRACE(file);
    Open(file);
    if (HasFatalFailure() || IsSkipped()) return;
    EXPECT_EQ(UserTables(), kTables);
    EXPECT_EQ(Query(L"SELECT * FROM Table2").size(), 0u);
    CVdRecordset wide(&m_db);
    wide.Open(0, L"SELECT * FROM Table2", 0);
    EXPECT_EQ(wide.GetODBCFieldCount(), 89);  // a definition over two pages
    EXPECT_EQ(Query(L"SELECT * FROM Table1 ORDER BY A"),
              (Rows{{"a", "b", "0", "0", "0", "0", "1981-12-12", "0", "false"},
                    {"abcdefg", "hijklmnop", "2", "222", "333333333", "444.555", "1974-09-21", "3.5", "true"}}));
  }
}

TEST_F(AccessFileTest, DeletedColumnsMovedRowsAndManyIndexesReadWhole) {
  Open("V2000_delColTestV2000.mdb");
  if (IsSkipped()) return;
  EXPECT_EQ(Query(L"SELECT id, id2, data, data2 FROM Table1"),
            (Rows{{"0", "2", "foo", "foo2"}, {"3", "5", "bar", "bar2"}}));

  // Seven rows; the third and the fifth moved to another page when they grew.
  Open("V2000_overflowTestV2000.mdb");
  const Rows rows = Query(L"SELECT * FROM Table1");
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[2],
            (std::vector<std::string>{"NULL", "row3col3", "NULL", "NULL", "NULL", "NULL", "NULL", "row3col9", "NULL"}));
  EXPECT_EQ(rows[4],
            (std::vector<std::string>{"NULL", "row5col2", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL"}));

  Open("V2000_indexTestV2000.mdb");
  EXPECT_EQ(UserTables(), (std::vector<std::string>{"Table1", "Table2", "Table3"}));
  EXPECT_EQ(Query(L"SELECT id, otherfk1, otherfk2, data, otherfk3 FROM Table1 ORDER BY id"),
            (Rows{{"0", "0", "10", "baz0", "0"},
                  {"1", "1", "11", "baz11", "0"},
                  {"2", "1", "11", "baz11-2", "0"},
                  {"3", "2", "13", "baz13", "0"}}));
  EXPECT_EQ(Query(L"SELECT data FROM Table3 ORDER BY id"), (Rows{{"bar10"}, {"bar11"}, {"bar12"}, {"bar13"}}));
}

TEST_F(AccessFileTest, DecimalsKeepTheirPrecisionScaleAndEveryDigit) {
  Open("V2000_fixedNumericTestV2000.mdb");
  if (IsSkipped()) return;
  EXPECT_EQ(Query(L"SELECT * FROM test"), (Rows{{"some data", "1", "0", "0", "4", "-1", "1"}}));
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT col2 FROM test", 0);
  CODBCFieldInfo info;
  rs.GetODBCFieldInfo(short{0}, info);
  EXPECT_EQ(info.m_nPrecision, 18u);
  EXPECT_EQ(info.m_nScale, 0);

  // Calculated decimals carry their own scale: 28 significant digits survive.
  Open("V2010_calcFieldTestV2010.accdb");
  EXPECT_EQ(
      Query(L"SELECT Popularity, DecimalTest, BigNumTest, WeeklySalary FROM Table1 ORDER BY ID"),
      (Rows{{"50.325000", "50.325000", "56505085819.424791296572280180", "19230.7692307692"},
            {"-36.222200", "-36.222200", "-0.0784734499180612994241100748", "-0.0192307692307692"},
            {"0.012300", "0.012300", "0.00000000", "0"},
            {"102030405060.654321", "102030405060.654321", "0.0000002787019289824216980830", "1.92307692307692"}}));
}

TEST_F(AccessFileTest, CalculatedFieldsGiveTheirStoredResults) {
  Open("V2010_calcFieldTestV2010.accdb");
  if (IsSkipped()) return;
  // Currency results are doubles, shown as the toolkit writes them (1e+06).
  EXPECT_EQ(Query(L"SELECT LastFirst, LastFirstLen, Salary, MonthlySalary, IsRich, AllNames, SalaryTest, BoolTest "
                  L"FROM Table1 ORDER BY ID"),
            (Rows{{"Wayne, Bruce", "12", "1e+06", "83333.3333", "true", "Wayne, Bruce=Wayne, Bruce", "1e+06", "true"},
                  {"Simpson, Bart", "13", "-1", "-0.0833", "false", "Simpson, Bart=Simpson, Bart", "-1", "true"},
                  {"Doe, John", "9", "0", "0", "false", "Doe, John=Doe, John", "0", "true"},
                  {"User, Test", "10", "100", "8.3333", "false", "User, Test=User, Test", "100", "true"}}));
}

TEST_F(AccessFileTest, ExtendedDatesKeepTheir100NanosecondsAndEarlyYears) {
  Open("V2019_extDateTestV2019.accdb");
  if (IsSkipped()) return;
  // DateExtStr holds what Access shows for DateExt, as M/d/yyyy[ h:mm:ss.fffffff AM].
  int compared = 0;
  for (const auto& row : Query(L"SELECT DateExt, DateExtStr FROM Table1")) {
    if (row[1] == "NULL") {
      EXPECT_EQ(row[0], "NULL");
      continue;
    }
    int y, mo, d, h = 0, mi = 0, s = 0;
    char fraction[8] = "0000000", half[3] = "AM";
    std::sscanf(row[1].c_str(), "%d/%d/%d %d:%d:%d.%7[0-9] %2s", &mo, &d, &y, &h, &mi, &s, fraction, half);
    h = h % 12 + (half[0] == 'P' ? 12 : 0);
    char expected[48];
    int n = std::snprintf(expected, sizeof expected, "%04d-%02d-%02d", y, mo, d);
    if (h || mi || s || std::string(fraction) != "0000000")
      n += std::snprintf(expected + n, sizeof expected - n, " %02d:%02d:%02d", h, mi, s);
    if (std::string(fraction) != "0000000") std::snprintf(expected + n, sizeof expected - n, ".%s", fraction);
    EXPECT_EQ(row[0], expected) << row[1];
    ++compared;
  }
  EXPECT_EQ(compared, 8);
}

TEST_F(AccessFileTest, ComplexColumnsReadAsTextAndTheirTablesAreHidden) {
  Open("V2010_complexDataTestV2010.accdb");
  if (IsSkipped()) return;
  EXPECT_EQ(UserTables(), std::vector<std::string>{"Table1"});
  EXPECT_EQ(Query(L"SELECT id, [memo-data], [append-memo-data], [multi-value-data], [attach-data], "
                  L"[VersionHistory_F5F8918F-0A3F-4DA9-AE71-184EE5012880] FROM Table1 ORDER BY id"),
            (Rows{{"row1", "NULL", "NULL", "NULL", "NULL", "NULL"},
                  {"row2", "row2-memo", "row2-memo", "value1; value4", "test_data.txt; test_data2.txt",
                   "2011-09-12 21:21:02.334: row2-memo"},
                  {"row3", "row3-memo", "row3-memo-again", "value1; value2; value3; value4", "NULL",
                   "2011-09-12 21:21:19.126: row3-memo\n2011-09-12 21:22:33.077: row3-memo-revised\n"
                   "2011-09-12 21:22:45.382: row3-memo-again"},
                  {"row4", "row4-memo", "row4-memo", "NULL", "test_data2.txt", "2011-09-12 21:22:25.758: row4-memo"}}));
}

// ---------------------------------------------------------------- hostile files made in code

namespace ax = vdtest::access;

const std::vector<ax::Column>& kNotes = ax::NotesColumns();

// Opens `bytes` as an Access file: the failure's message, or "" when it opened (then `query`, if given, runs).
std::string Refusal(const std::string& bytes, const std::wstring& query = L"", Rows* rows = nullptr) {
  vdtest::TempDir dir;
  const std::string path = dir.Write("hostile.accdb", bytes);
  CVdDatabase db;
  try {
    db.Open(CString(path.c_str()), 0, 1);
    if (!query.empty()) {
      CVdRecordset rs(&db);
      rs.Open(0, query.c_str(), 0);
      for (; !rs.IsEOF(); rs.MoveNext()) {
        auto& row = rows->emplace_back();
        for (short k = 0; k < rs.GetODBCFieldCount(); ++k) {
          CDBVariant v;
          rs.GetFieldValue(k, v);
          row.push_back(Shown(v));
        }
      }
    }
  } catch (CDBException* e) {
    std::string message = U8(e->m_strError);
    e->Delete();
    return message.empty() ? "(no message)" : message;
  }
  return "";
}

// A table "Notes" whose rows (Id, then a MEMO) point to long values where `layout` puts them.
std::string NotesFile(const std::function<std::vector<std::string>(ax::Builder&)>& layout,
                      const std::string& name = "Notes", const std::vector<ax::Column>& columns = kNotes) {
  ax::Builder b;
  const std::uint32_t table = b.NewPage();
  const std::vector<std::string> rows = layout(b);
  std::vector<std::uint32_t> pages;
  for (std::size_t k = 0; k < rows.size(); k += 140)
    pages.push_back(
        b.DataPage(table, std::vector<std::string>(rows.begin() + k, rows.begin() + std::min(rows.size(), k + 140))));
  b.Table(columns, static_cast<std::uint32_t>(rows.size()), pages, table);
  b.List(name, table);
  return b.Bytes();
}

std::string NoteRow(std::uint32_t id, std::uint32_t length, std::uint32_t first, bool oneRow = false) {
  return ax::Row(kNotes, {ax::Le32(id), ax::LongRef(length, first, oneRow)});
}

TEST(AccessHostileFiles, ALongValueOwnsItsRows) {
  const std::string part = ax::Utf16(std::string(1000, 'x')), half = ax::Utf16(std::string(500, 'x'));
  // Each row its own chain, one of them 3,000 rows deep: read whole.
  Rows rows;
  EXPECT_EQ(Refusal(NotesFile([&](ax::Builder& b) {
                      const std::uint32_t deep = b.Chain(std::vector<std::string>(3000, ax::Utf16("ab")), 60);
                      const std::uint32_t other = b.Chain({part, part});
                      return std::vector<std::string>{NoteRow(1, 12000, deep), NoteRow(2, 4000, other)};
                    }),
                    L"SELECT Id, LENGTH(Note) FROM Notes ORDER BY Id", &rows),
            "");
  EXPECT_EQ(rows, (Rows{{"1", "6000"}, {"2", "2000"}}));

  const struct {
    const char* what;
    std::function<std::vector<std::string>(ax::Builder&)> layout;
    const char* message;
  } kCases[] = {
      {"two rows share one single-row value",
       [&](ax::Builder& b) {
         const std::uint32_t one = ax::PageRow(b.DataPage(0, {part}), 0);
         return std::vector<std::string>{NoteRow(1, 2000, one, true), NoteRow(2, 2000, one, true)};
       },
       "shares its pages with another value"},
      {"a chain joins another half way",
       [&](ax::Builder& b) {
         const std::uint32_t page = b.NewPage();
         b.DataPage(0,
                    {ax::Le32(ax::PageRow(page, 1)) + half, ax::Le32(0) + half, ax::Le32(ax::PageRow(page, 1)) + half},
                    {}, page);
         return std::vector<std::string>{NoteRow(1, 2000, ax::PageRow(page, 0)),
                                         NoteRow(2, 2000, ax::PageRow(page, 2))};
       },
       "shares its pages with another value"},
      {"a chain loops back",
       [&](ax::Builder& b) {
         const std::uint32_t page = b.NewPage();
         b.DataPage(0, {ax::Le32(ax::PageRow(page, 1)) + part, ax::Le32(ax::PageRow(page, 0)) + part}, {}, page);
         return std::vector<std::string>{NoteRow(1, 20000, ax::PageRow(page, 0))};
       },
       "loops back on itself"},
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(Refusal(ax::SharedLongValueFile(4080, 60)).find("shares its pages"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "4,080 rows on one 120 KB chain";
  for (const auto& c : kCases) {
    const std::string message = Refusal(NotesFile(c.layout));
    EXPECT_NE(message.find("the Access file is damaged"), std::string::npos) << c.what << ": " << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
  }

  // Two tables whose rows point to one chain.
  ax::Builder b;
  const std::uint32_t chain = b.Chain({part, part});
  for (const char* name : {"First", "Second"}) {
    const std::uint32_t table = b.NewPage();
    b.Table(kNotes, 1, {b.DataPage(table, {NoteRow(1, 4000, chain)})}, table);
    b.List(name, table);
  }
  EXPECT_NE(Refusal(b.Bytes()).find("of the table \"Second\" shares its pages"), std::string::npos);
}

TEST(AccessHostileFiles, TheCatalogListsEachTableOnceAndMovedRowsMoveAlone) {
  Rows rows;
  ax::Builder two;
  for (const char* name : {"A", "B"}) {
    const std::uint32_t table = two.NewPage();
    two.Table(kNotes, 1, {two.DataPage(table, {ax::Row(kNotes, {ax::Le32(7), std::nullopt})})}, table);
    two.List(name, table);
  }
  EXPECT_EQ(Refusal(two.Bytes(), L"SELECT (SELECT Id FROM A) + (SELECT Id FROM B)", &rows), "");
  EXPECT_EQ(rows, (Rows{{"14"}}));
  EXPECT_NE(Refusal(ax::ListedFile(2)).find("lists the table \"T0\" twice, also as \"T1\""), std::string::npos);
  EXPECT_NE(Refusal(ax::ListedFile(1500, 60)).find("lists the table \"T0\" twice"), std::string::npos);

  // A row that moved leaves its new place behind; two that name one place would read it twice.
  auto moved = [](bool meet) {
    ax::Builder b;
    const std::uint32_t table = b.NewPage();
    const std::uint32_t to = b.DataPage(
        table, {ax::Row(kNotes, {ax::Le32(41), std::nullopt}), ax::Row(kNotes, {ax::Le32(42), std::nullopt})},
        {ax::kDeleted, ax::kDeleted});
    auto at = [to](unsigned row) {
      return std::string{static_cast<char>(row), static_cast<char>(to & 0xFF), static_cast<char>(to >> 8), '\0'};
    };
    const std::uint32_t from = b.DataPage(table, {at(0), at(meet ? 0 : 1)}, {ax::kMoved, ax::kMoved});
    b.Table(kNotes, 2, {to, from}, table);
    b.List("Notes", table);
    return b.Bytes();
  };
  rows.clear();
  EXPECT_EQ(Refusal(moved(false), L"SELECT Id FROM Notes ORDER BY Id", &rows), "");
  EXPECT_EQ(rows, (Rows{{"41"}, {"42"}}));
  EXPECT_NE(Refusal(moved(true)).find("two rows of the table \"Notes\" point to the same moved row"),
            std::string::npos);
}

TEST(AccessHostileFiles, WhatAFileDecodesToStaysWithinAMultipleOfItsSize) {
  // 16 pages of 18-byte rows that each decode to 64 dates: 4.2 MB from an 84 KB file.
  const std::string bomb = ax::DatesFile(true, 16);
  const std::string message = Refusal(bomb);
  EXPECT_NE(message.find("the table \"Dates\" decodes to more than 16 times the file's size plus 1 MiB"),
            std::string::npos)
      << message;
  // The same rows in a file ten times larger are within its bound; so are honest rows.
  Rows rows;
  EXPECT_EQ(Refusal(ax::DatesFile(true, 16, 200), L"SELECT COUNT(*), MAX(d63) FROM Dates", &rows), "");
  EXPECT_EQ(rows, (Rows{{"3264", "2023-03-15 12:00:00"}}));
  EXPECT_EQ(Refusal(ax::DatesFile(false, 16)), "");
}

TEST(AccessHostileFiles, TheTimeLimitHoldsInsideTheReader) {
  // 480,000 honest rows on 12,000 pages (48 MB): seconds of reading on a test machine.
  const std::vector<ax::Column> columns = {{"Id", ax::kLong, true, 0, 4}, {"Text", ax::kText, false, 0, 510}};
  ax::Builder b;
  const std::uint32_t table = b.NewPage();
  std::vector<std::string> rows;
  for (std::uint32_t k = 0; k < 40; ++k)
    rows.push_back(ax::Row(columns, {ax::Le32(k), ax::Utf16(std::string(40, 'r'))}));
  std::vector<std::uint32_t> pages;
  for (int k = 0; k < 12000; ++k) pages.push_back(b.DataPage(table, rows));
  b.Table(columns, 480000, pages, table);
  b.List("Big", table);
  vdtest::TempDir dir;
  const std::string path = dir.Write("slow.accdb", b.Bytes());

  CVdDatabase db;
  db.SetQueryTimeout(1);
  const auto start = std::chrono::steady_clock::now();
  try {
    db.Open(CString(path.c_str()), 0, 1);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_LT(took, std::chrono::milliseconds(1500)) << "the read ran past its limit";
    GTEST_SKIP() << "this machine reads the file within the limit";
  } catch (CDBException* e) {
    const std::string message = U8(e->m_strError), state = U8(e->m_strStateNativeOrigin);
    e->Delete();
    EXPECT_NE(message.find("was stopped after its time limit of 1 s"), std::string::npos) << message;
    EXPECT_NE(state.find("HYT00"), std::string::npos) << state;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}

TEST(AccessHostileFiles, NamesShowWholeInMessages) {
  const struct {
    std::string table;
    std::string column;
    bool shared;  // damage elsewhere, so that the message names the table
    const char* shown;
  } kCases[] = {
      {std::string("Ta\0ble", 6), "Note", false, R"(the name of the table "Ta\0ble" holds a NUL)"},
      {"Notes", std::string("No\0te", 5), false, R"(the name of the column "No\0te" of the table "Notes" holds a NUL)"},
      {"Ev\nil\x1b[31m\t\x7f", "Note", true, R"(of the table "Ev\nil\x1B[31m\t\x7F" shares)"},
      {"Plain", "Co\r\x01l", true, R"(the column "Co\r\x01l" of the table "Plain" shares)"},
  };
  const std::string part = ax::Utf16("abc");
  for (const auto& c : kCases) {
    const std::vector<ax::Column> columns = {{"Id", ax::kLong, true, 0, 4}, {c.column, ax::kMemo, false}};
    const std::string message = Refusal(NotesFile(
        [&](ax::Builder& b) {
          const std::uint32_t one = ax::PageRow(b.DataPage(0, {part}), 0);
          std::vector<std::string> rows = {ax::Row(columns, {ax::Le32(1), ax::LongRef(6, one, true)})};
          if (c.shared) rows.push_back(rows[0]);
          return rows;
        },
        c.table, columns));
    EXPECT_NE(message.find(c.shown), std::string::npos) << message;
    for (char ch : message) EXPECT_FALSE(static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) << message;
  }
}

}  // namespace
