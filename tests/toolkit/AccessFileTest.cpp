// Access files of every version, 1997 to 2019 (the shared data folder's access/, from Jackcess's test corpus),
// read through CVdDatabase and compared value by value with what Access shows, as Jackcess's own tests record
// it (DatabaseTest, CalcFieldTest, ExtendedDateTest, ComplexColumnTest): deleted columns, moved rows, tables
// with many indexes, decimals, calculated fields, extended dates and complex columns.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include "support/TestDb.h"

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

}  // namespace
