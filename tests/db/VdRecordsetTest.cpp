// CVdRecordset against real files: the value types of every declared column type, the Access dialect the
// catalog writes, the one-statement rule, edits of exactly the current row, and what an open record set leaves
// to other connections.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vdpattern/toolkit/VariantConv.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include "db/Connection.h"
#include "support/TestDb.h"

namespace {

using vdtest::RawDb;

class VdRecordsetTest : public vdtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped()) return;
    m_path = MakeEmptyDb("catalog.mdb");
    m_db.Open(CString(VdFromUtf8(m_path).c_str()), 0, 0);
    for (const wchar_t* sql :
         {L"CREATE TABLE Beams (Name TEXT, h DOUBLE, b DOUBLE, Note VARCHAR(50))",
          L"INSERT INTO Beams VALUES ('HEA 100', 96, 100, NULL), ('HEA 120', 114, 120, 'x'),"
          L"  ('IPE 100', 100, 55, NULL), ('ipe 120', 120, 64, 'O''Neil')",
          L"CREATE TABLE Dup (Name TEXT, v INTEGER)", L"INSERT INTO Dup VALUES ('A', 1), ('A', 1), ('A', 1), ('B', 1)",
          L"CREATE TABLE Empty (Name TEXT, h DOUBLE)"})
      m_db.ExecuteSQL(sql);
  }

  // The value of a column (by name or position) in the current row, and its text as UTF-8.
  template <typename Column>
  static CDBVariant Value(CVdRecordset& rs, Column column) {
    CDBVariant v;
    rs.GetFieldValue(column, v);
    return v;
  }
  template <typename Column>
  static std::string Text(CVdRecordset& rs, Column column) {
    CDBVariant v = Value(rs, column);
    return U8(DBV_BSTRAll(&v));
  }
  // The first value of a query, read through another connection (as text).
  std::string Raw(const std::string& sql) { return RawDb(m_path).One(sql); }
  long Count(const wchar_t* sql) {
    CVdRecordset rs(&m_db);
    rs.Open(0, sql, 0);
    return rs.GetRecordCount();
  }

  std::string m_path;  // the file, or the server address
  CVdDatabase m_db;
};

// ------------------------------------------------------------------ value types

struct TypeCase {
  const char* declared;
  const char* literal;
  SWORD sqlType;
  DWORD dbvt;
  VARTYPE vt;
  const wchar_t* text;
};

const TypeCase kTypeCases[] = {
    {"INTEGER", "42", SQL_INTEGER, DBVT_LONG, VT_I4, L"42"},
    {"INT", "-7", SQL_INTEGER, DBVT_LONG, VT_I4, L"-7"},
    {"LONG", "2147483647", SQL_INTEGER, DBVT_LONG, VT_I4, L"2147483647"},
    {"COUNTER", "5", SQL_INTEGER, DBVT_LONG, VT_I4, L"5"},
    {"[AUTOINCREMENT]", "6", SQL_INTEGER, DBVT_LONG, VT_I4, L"6"},
    {"BIGINT", "1234", SQL_BIGINT, DBVT_LONG, VT_I4, L"1234"},
    {"BIGINT", "5000000000", SQL_BIGINT, DBVT_DOUBLE, VT_R8, L"5e+09"},
    {"SMALLINT", "-300", SQL_SMALLINT, DBVT_SHORT, VT_I2, L"-300"},
    {"SHORT", "12", SQL_SMALLINT, DBVT_SHORT, VT_I2, L"12"},
    {"TINYINT", "200", SQL_TINYINT, DBVT_UCHAR, VT_UI1, L"200"},
    {"BYTE", "7", SQL_TINYINT, DBVT_UCHAR, VT_UI1, L"7"},
    {"BIT", "1", SQL_BIT, DBVT_BOOL, VT_BOOL, L"True"},
    {"BOOLEAN", "0", SQL_BIT, DBVT_BOOL, VT_BOOL, L"False"},
    {"BOOL", "1", SQL_BIT, DBVT_BOOL, VT_BOOL, L"True"},
    {"YESNO", "-1", SQL_BIT, DBVT_BOOL, VT_BOOL, L"True"},
    {"LOGICAL", "1", SQL_BIT, DBVT_BOOL, VT_BOOL, L"True"},
    {"REAL", "2.5", SQL_REAL, DBVT_SINGLE, VT_R4, L"2.5"},
    {"SINGLE", "0.5", SQL_REAL, DBVT_SINGLE, VT_R4, L"0.5"},
    {"FLOAT", "1.25", SQL_FLOAT, DBVT_SINGLE, VT_R4, L"1.25"},
    {"DOUBLE", "0.1", SQL_DOUBLE, DBVT_DOUBLE, VT_R8, L"0.1"},
    {"DOUBLE PRECISION", "3.75", SQL_DOUBLE, DBVT_DOUBLE, VT_R8, L"3.75"},
    {"NUMBER", "1000", SQL_DOUBLE, DBVT_DOUBLE, VT_R8, L"1000"},
    {"NUMERIC(10,2)", "12.5", SQL_NUMERIC, DBVT_DOUBLE, VT_R8, L"12.5"},
    {"DECIMAL", "7", SQL_DECIMAL, DBVT_DOUBLE, VT_R8, L"7"},
    {"CURRENCY", "19.99", SQL_DECIMAL, DBVT_DOUBLE, VT_R8, L"19.99"},
    {"MONEY", "1.5", SQL_DECIMAL, DBVT_DOUBLE, VT_R8, L"1.5"},
    {"CHAR(10)", "'ab'", SQL_CHAR, DBVT_WSTRING, VT_BSTR, L"ab"},
    {"CHARACTER", "'c'", SQL_CHAR, DBVT_WSTRING, VT_BSTR, L"c"},
    {"NCHAR", "'n'", SQL_WCHAR, DBVT_WSTRING, VT_BSTR, L"n"},
    {"VARCHAR(50)", "'HEA 100'", SQL_VARCHAR, DBVT_WSTRING, VT_BSTR, L"HEA 100"},
    {"TEXT", "'H\xC3\xB6he \xCE\xBC \xF0\x9D\x94\xB8'", SQL_VARCHAR, DBVT_WSTRING, VT_BSTR,
     L"H\u00f6he \u03bc \U0001D538"},
    {"NVARCHAR", "'x'", SQL_VARCHAR, DBVT_WSTRING, VT_BSTR, L"x"},
    {"STRING", "''", SQL_VARCHAR, DBVT_WSTRING, VT_BSTR, L""},
    {"MEMO", "'m'", SQL_LONGVARCHAR, DBVT_WSTRING, VT_BSTR, L"m"},
    {"LONGTEXT", "'l'", SQL_LONGVARCHAR, DBVT_WSTRING, VT_BSTR, L"l"},
    {"LONGCHAR", "'c'", SQL_LONGVARCHAR, DBVT_WSTRING, VT_BSTR, L"c"},
    {"CLOB", "'b'", SQL_LONGVARCHAR, DBVT_WSTRING, VT_BSTR, L"b"},
    {"DATE", "'2009-03-07'", SQL_TYPE_TIMESTAMP, DBVT_DATE, VT_DATE, L"2009-03-07"},
    {"DATETIME", "'2009-03-07 14:30:00'", SQL_TYPE_TIMESTAMP, DBVT_DATE, VT_DATE, L"2009-03-07 14:30:00"},
    {"TIMESTAMP", "'2009-03-07T14:30:05'", SQL_TYPE_TIMESTAMP, DBVT_DATE, VT_DATE, L"2009-03-07 14:30:05"},
    {"TIME", "'14:30:00'", SQL_TYPE_TIMESTAMP, DBVT_DATE, VT_DATE, L"1899-12-30 14:30:00"},
    {"BLOB", "x'0102'", SQL_LONGVARBINARY, DBVT_BINARY, VT_ARRAY | VT_UI1, L"0102"},
    {"BINARY", "x'ff'", SQL_LONGVARBINARY, DBVT_BINARY, VT_ARRAY | VT_UI1, L"FF"},
    {"VARBINARY", "x'00'", SQL_LONGVARBINARY, DBVT_BINARY, VT_ARRAY | VT_UI1, L"00"},
    {"LONGBINARY", "x'10'", SQL_LONGVARBINARY, DBVT_BINARY, VT_ARRAY | VT_UI1, L"10"},
    {"IMAGE", "x'20'", SQL_LONGVARBINARY, DBVT_BINARY, VT_ARRAY | VT_UI1, L"20"},
    {"OLEOBJECT", "x'30'", SQL_LONGVARBINARY, DBVT_BINARY, VT_ARRAY | VT_UI1, L"30"},
    {"", "42", SQL_INTEGER, DBVT_LONG, VT_I4, L"42"},
    {"", "2.5", SQL_DOUBLE, DBVT_DOUBLE, VT_R8, L"2.5"},
    {"", "'t'", SQL_VARCHAR, DBVT_WSTRING, VT_BSTR, L"t"},
    {"", "x'abcd'", SQL_LONGVARBINARY, DBVT_BINARY, VT_ARRAY | VT_UI1, L"ABCD"},
};

TEST_F(VdRecordsetTest, EveryDeclaredTypeGivesItsOdbcTypeValueTypeAndOleType) {
  VDTEST_FILE_ONLY();
  std::string create = "CREATE TABLE Types (", values = "INSERT INTO Types VALUES (",
              nulls = "INSERT INTO Types VALUES (";
  const std::size_t n = std::size(kTypeCases);
  for (std::size_t k = 0; k < n; ++k) {
    const char* sep = k ? ", " : "";
    create += sep + std::string("c") + std::to_string(k) + " " + kTypeCases[k].declared;
    values += sep + std::string(kTypeCases[k].literal);
    nulls += sep + std::string("NULL");
  }
  RawDb(m_path).Exec(create + "); " + values + "); " + nulls + ");");

  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT * FROM [Types]", 0);
  ASSERT_EQ(rs.GetODBCFieldCount(), static_cast<short>(n));
  for (std::size_t k = 0; k < n; ++k) {
    const TypeCase& c = kTypeCases[k];
    SCOPED_TRACE(std::string(c.declared) + " " + c.literal);
    CODBCFieldInfo info;
    rs.GetODBCFieldInfo(static_cast<short>(k), info);
    EXPECT_EQ(info.m_nSQLType, c.sqlType);
    CDBVariant value = Value(rs, static_cast<short>(k));
    EXPECT_EQ(value.m_dwType, c.dbvt);
    EXPECT_EQ(CVdRecordset::getOLEVariant(value).vt, c.vt);
    EXPECT_EQ(U8(DBV_BSTRAll(&value)), U8(c.text));
  }
  rs.MoveNext();
  for (std::size_t k = 0; k < n; ++k) {
    CDBVariant value = Value(rs, static_cast<short>(k));
    EXPECT_EQ(value.m_dwType, DBVT_NULL) << kTypeCases[k].declared;
    EXPECT_EQ(CVdRecordset::getOLEVariant(value).vt, VT_NULL);
    EXPECT_TRUE(DBV_BSTRAll(&value).IsEmpty());
  }
}

TEST_F(VdRecordsetTest, ValuesAreExactInTheirOwnTypes) {
  VDTEST_FILE_ONLY();
  RawDb(m_path).Exec(
      "CREATE TABLE V (i INTEGER, s SMALLINT, d DOUBLE, r REAL, t DATETIME, n NUMERIC(10,3), c VARCHAR(20));"
      "INSERT INTO V VALUES (-2147483648, 32767, 0.1, 0.1, '2009-03-07 14:30:05.25', 1.5, 'abc');");
  CVdRecordset rs(&m_db);
  rs.Open(0, L"V", 0);
  EXPECT_EQ(Value(rs, L"i").m_lVal, -2147483647 - 1);
  EXPECT_EQ(Value(rs, L"s").m_iVal, 32767);
  EXPECT_EQ(Value(rs, L"d").m_dblVal, 0.1);
  EXPECT_EQ(Value(rs, L"r").m_fltVal, 0.1f);
  const CDBVariant v = Value(rs, L"t");
  ASSERT_EQ(v.m_dwType, DBVT_DATE);
  const TIMESTAMP_STRUCT& t = *v.m_pdate;
  EXPECT_EQ(std::vector<long>({t.year, t.month, t.day, t.hour, t.minute, t.second, long(t.fraction)}),
            std::vector<long>({2009, 3, 7, 14, 30, 5, 250000000}));
  CODBCFieldInfo info;
  rs.GetODBCFieldInfo(L"n", info);
  EXPECT_EQ(info.m_nPrecision, 10u);
  EXPECT_EQ(info.m_nScale, 3);
  rs.GetODBCFieldInfo(L"c", info);
  EXPECT_EQ(info.m_nPrecision, 20u);
  EXPECT_EQ(info.m_nNullability, SQL_NULLABLE);
}

TEST_F(VdRecordsetTest, AValueThatDoesNotFitItsColumnComesBackAsItsOwnType) {
  VDTEST_FILE_ONLY();
  RawDb(m_path).Exec(
      "CREATE TABLE M (i INTEGER, s SMALLINT, u TINYINT, d DOUBLE, t DATE, b BIT, x BLOB);"
      "INSERT INTO M VALUES ('abc', 70000, -1, 'wide', 'not a date', 'maybe', 'plain');"
      "INSERT INTO M VALUES ('12', '-5', 2.0, '2.5', '2009-02-30', 'true', 7);"
      "INSERT INTO M VALUES (2.5, 1e10, 300, x'01', 3, 2, 1.5);");
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT * FROM M", 0);
  const DWORD expected[3][7] = {
      {DBVT_WSTRING, DBVT_LONG, DBVT_LONG, DBVT_WSTRING, DBVT_WSTRING, DBVT_WSTRING, DBVT_WSTRING},
      {DBVT_LONG, DBVT_SHORT, DBVT_UCHAR, DBVT_DOUBLE, DBVT_WSTRING, DBVT_BOOL, DBVT_LONG},
      {DBVT_DOUBLE, DBVT_DOUBLE, DBVT_LONG, DBVT_BINARY, DBVT_LONG, DBVT_BOOL, DBVT_DOUBLE},
  };
  const wchar_t* columns[] = {L"i", L"s", L"u", L"d", L"t", L"b", L"x"};
  for (int row = 0; row < 3; ++row, rs.MoveNext())
    for (int c = 0; c < 7; ++c)
      EXPECT_EQ(Value(rs, columns[c]).m_dwType, expected[row][c]) << "row " << row << " column " << c;
}

TEST_F(VdRecordsetTest, RequestedValueTypesConvertTheColumnValue) {
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Select * From [Beams] WHERE Name = 'HEA 120'", 0);
  CDBVariant v;
  rs.GetFieldValue(L"h", v, SQL_C_WCHAR);
  ASSERT_EQ(v.m_dwType, DBVT_WSTRING);
  EXPECT_EQ(U8(*v.m_pstringW), "114");
  rs.GetFieldValue(L"h", v, SQL_C_SLONG);
  EXPECT_EQ(v.m_dwType, DBVT_LONG);
  EXPECT_EQ(v.m_lVal, 114);
  rs.GetFieldValue(L"Name", v, SQL_C_DOUBLE);
  EXPECT_EQ(v.m_dwType, DBVT_DOUBLE);
  EXPECT_EQ(v.m_dblVal, 0.0);
}

// ------------------------------------------------------------------ the Access dialect

// The catalog's COUNT, MAX and IIF(IsNull(...)) statement is tested through GetMaxValue.
TEST_F(VdRecordsetTest, LikeMatchesWithoutAsciiCaseAndIsNullIsRewrittenOutsideTextsAndBracketedNamesOnly) {
  EXPECT_EQ(Count(L"SELECT * FROM [Beams] WHERE Name Like 'hea%'"), 2);
  EXPECT_EQ(Count(L"SELECT * FROM [Beams] WHERE Name Like 'IPE _00'"), 1);
  EXPECT_EQ(Count(L"SELECT * FROM [Beams] WHERE Name Like 'ipe ___'"), 2);
  CVdRecordset rs(&m_db);
  m_db.ExecuteSQL(L"CREATE TABLE Odd ([IsNull(x)] TEXT)");
  m_db.ExecuteSQL(L"INSERT INTO Odd VALUES ('kept')");
  EXPECT_EQ(Count(L"SELECT Name FROM [Beams] WHERE IsNull(Note)"), 2);
  EXPECT_EQ(Count(L"SELECT Name FROM [Beams] WHERE NOT ISNULL ( IIF(IsNull(Note), NULL, h) )"), 2);
  rs.Open(0, L"SELECT 'IsNull(a)' AS t, [IsNull(x)] FROM Odd", 0);
  EXPECT_EQ(Text(rs, L"t"), "IsNull(a)");
  EXPECT_EQ(Text(rs, L"IsNull(x)"), "kept");
}

TEST_F(VdRecordsetTest, ColumnsAreFoundByNameIgnoringCaseAndABareTableNameReadsTheTable) {
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Select * From [Beams] WHERE Name = 'HEA 100'", 0);
  EXPECT_EQ(Text(rs, L"NAME"), "HEA 100");
  CDBVariant v;
  const DbFailure noColumn = CatchDb([&] { rs.GetFieldValue(L"Width", v); });
  EXPECT_TRUE(noColumn.HasState("42S22"));
  EXPECT_TRUE(noColumn.Mentions("Width"));
  EXPECT_TRUE(CatchDb([&] { rs.GetFieldValue(static_cast<short>(4), v); }).thrown);

  EXPECT_EQ(Count(L"Beams"), 4);
  EXPECT_EQ(Count(L"  [Beams] ; "), 4);
  const DbFailure missing = CatchDb([&] { rs.Open(0, L"Girders", 0); });
  EXPECT_EQ(missing.retCode, SQL_ERROR);
  EXPECT_TRUE(missing.HasState("42S02"));
  if (!OnServer()) {
    EXPECT_EQ(missing.stateNativeOrigin, "State:42S02,Native:1,Origin:[vdpattern][SQLite]");
  }
  EXPECT_TRUE(missing.Mentions("Girders"));
}

// ------------------------------------------------------------------ text compared without case

// A file made by another program, without any collation: every comparison still ignores ASCII case, as the
// catalogs' first engine did. Letters beyond ASCII compare exactly.
TEST_F(VdRecordsetTest, ComparisonsSortsGroupsAndDistinctIgnoreAsciiCaseOnAFileWithoutCollations) {
  VDTEST_FILE_ONLY();
  RawDb(m_path).Exec(
      "CREATE TABLE Parts (Name TEXT, Grade TEXT, n INTEGER);"
      "INSERT INTO Parts VALUES ('IPE 200', 'a', 1), ('ipe 200', 'A', 2), ('Ipe 300', 'b', 3), ('HEA 100', 'B', 4),"
      "  ('\xC3\x89"
      "crou', 'c', 5), ('\xC3\xA9"
      "crou', 'c', 6);");
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Name = 'ipe 200'"), 2);
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE 'IPE 200' = Name"), 2);
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Name <> 'IPE 200' AND Name != 'hea 100'"), 3);
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Name < 'i'"), 1);  // byte order would put 'IPE' before 'i' too
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Name >= 'IPE 3'"), 3);
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Grade IN ('a', 'b')"), 4);
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Grade NOT IN ('A', 'B')"), 2);
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Name BETWEEN 'hea' AND 'ipe 250'"), 3);
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Grade IN (SELECT Grade FROM Parts WHERE n = 4)"), 2);
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE n = '2'"), 1);
  // LIKE was already blind to ASCII case; a collation the statement names is taken as written.
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Name LIKE 'ipe%'"), 3);
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Name = 'ipe 200' COLLATE BINARY"), 1);
  // Only ASCII letters fold: an accented capital is another letter than its small form.
  EXPECT_EQ(Count(L"SELECT * FROM Parts WHERE Name = '\u00e9crou'"), 1);
  EXPECT_EQ(Column(m_db, L"SELECT Name FROM Parts WHERE Name = '\u00c9CROU'"),
            "\xC3\x89"
            "crou");

  EXPECT_EQ(Column(m_db, L"SELECT Name FROM Parts WHERE n < 5 ORDER BY Name, n"), "HEA 100|IPE 200|ipe 200|Ipe 300");
  EXPECT_EQ(Column(m_db, L"SELECT Name FROM Parts WHERE n < 5 ORDER BY Name DESC, n DESC"),
            "Ipe 300|ipe 200|IPE 200|HEA 100");
  EXPECT_EQ(Column(m_db, L"SELECT Grade, COUNT(*) FROM Parts GROUP BY Grade ORDER BY 1"), "a|b|c");
  EXPECT_EQ(Column(m_db, L"SELECT COUNT(*) FROM Parts GROUP BY Grade"), "2|2|2");
  EXPECT_EQ(Count(L"SELECT DISTINCT Name FROM Parts"), 5);
  EXPECT_EQ(Count(L"select distinct Grade, Name from Parts where n < 5"), 3);
  EXPECT_EQ(Column(m_db, L"SELECT DISTINCT Grade FROM Parts ORDER BY Grade DESC LIMIT 2"), "c|b");
  // DISTINCT keeps the types of its columns; an aggregate among them leaves it as written.
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT DISTINCT n, Grade FROM Parts WHERE Grade = 'A'", 0);
  EXPECT_EQ(rs.GetRecordCount(), 2);
  EXPECT_EQ(Value(rs, short(0)).m_dwType, DBVT_LONG);
  EXPECT_EQ(Column(m_db, L"SELECT DISTINCT COUNT(*) FROM Parts"), "6");

  // Writes find their rows the same way; a SET assignment is left an assignment.
  m_db.ExecuteSQL(L"UPDATE Parts SET Grade = 'z' WHERE Name = 'IPE 200'");
  EXPECT_EQ(Raw("SELECT count(*) FROM Parts WHERE Grade = 'z'"), "2");
  m_db.ExecuteSQL(L"DELETE FROM Parts WHERE Name = 'IPE 300'");
  EXPECT_EQ(Raw("SELECT count(*) FROM Parts"), "5");
}

// Comparisons ignoring case still use an index that ignores case, and numbers keep their plain indexes.
// A DISTINCT below the top level ignores case as the top-level one does, on every engine; one the grouping
// cannot stand for (an aggregate, a correlated subquery) still runs as written.
TEST_F(VdRecordsetTest, NestedDistinctIgnoresCaseAsTheTopLevelOneDoes) {
  m_db.ExecuteSQL(L"CREATE TABLE Nd (Name TEXT, Grade TEXT, n INTEGER)");
  m_db.ExecuteSQL(L"INSERT INTO Nd VALUES ('IPE 200', 'a', 1), ('ipe 200', 'A', 2), ('HEA 100', 'b', 3)");
  m_db.ExecuteSQL(L"CREATE TABLE Nd2 (Name TEXT)");
  const std::pair<const wchar_t*, const char*> cases[] = {
      {L"SELECT COUNT(*) FROM (SELECT DISTINCT Name FROM Nd) AS x", "2"},
      {L"SELECT COUNT(*) FROM (SELECT DISTINCT Name, Grade FROM Nd WHERE n < 9) AS x", "2"},
      {L"SELECT COUNT(*) FROM (SELECT DISTINCT Name FROM Nd ORDER BY Name LIMIT 5) AS x", "2"},
      {L"SELECT COUNT(*) FROM (SELECT * FROM (SELECT DISTINCT Grade FROM Nd) AS y) AS x", "2"},
      {L"SELECT COUNT(*) FROM (SELECT DISTINCT Name FROM (SELECT DISTINCT Name, n FROM Nd) AS y) AS x", "2"},
      {L"WITH w AS (SELECT DISTINCT Name FROM Nd) SELECT COUNT(*) FROM w", "2"},
      // The second differs only in its literal: its remembered shape keeps the nested DISTINCT's place.
      {L"SELECT COUNT(*) FROM (SELECT DISTINCT Name FROM Nd WHERE Grade <> 'z') AS x", "2"},
      {L"SELECT COUNT(*) FROM (SELECT DISTINCT Name FROM Nd WHERE Grade <> 'b') AS x", "1"},
      {L"SELECT (SELECT COUNT(*) FROM (SELECT DISTINCT Grade FROM Nd) AS y), COUNT(*) FROM Nd", "2"},
      {L"SELECT COUNT(*) FROM (SELECT DISTINCT COUNT(*) FROM Nd) AS x", "1"},
      {L"SELECT COUNT(*) FROM (SELECT Name FROM Nd UNION SELECT DISTINCT Name FROM Nd) AS x",
       OnServer() ? "2" : "3"},  // UNION compares as the engine does; left as written
      {L"SELECT n FROM Nd a WHERE EXISTS (SELECT DISTINCT Name FROM Nd b WHERE b.n = a.n AND b.n = 3)", "3"},
  };
  for (const auto& [sql, expected] : cases) {
    std::string got;
    const DbFailure failure = CatchDb([&, sql = sql] { got = Column(m_db, sql); });
    EXPECT_EQ(got, expected) << U8(sql) << ": " << failure.message;
  }
  m_db.ExecuteSQL(L"INSERT INTO Nd2 SELECT DISTINCT Name FROM Nd");
  EXPECT_EQ(Count(L"SELECT * FROM Nd2"), 2);
}

TEST_F(VdRecordsetTest, ComparisonsIgnoringCaseKeepTheirIndexes) {
  VDTEST_FILE_ONLY();
  RawDb(m_path).Exec(
      "CREATE TABLE Parts (Name TEXT, n INTEGER, d DATE, Note TEXT);"
      "CREATE INDEX ix_name ON Parts (Name COLLATE NOCASE); CREATE INDEX ix_n ON Parts (n);"
      "CREATE INDEX ix_d ON Parts (d); CREATE INDEX ix_note ON Parts (Note);");
  EXPECT_EQ(Plan(m_db, L"SELECT * FROM Parts WHERE Name = 'ipe 200'"), "SEARCH Parts USING INDEX ix_name (Name=?)\n");
  EXPECT_EQ(Plan(m_db, L"SELECT * FROM Parts WHERE Name IN ('a', 'b')"), "SEARCH Parts USING INDEX ix_name (Name=?)\n");
  EXPECT_EQ(Plan(m_db, L"SELECT * FROM Parts WHERE n = '5'"), "SEARCH Parts USING INDEX ix_n (n=?)\n");
  EXPECT_EQ(Plan(m_db, L"SELECT * FROM Parts WHERE Parts.[n] > 5"), "SEARCH Parts USING INDEX ix_n (n>?)\n");
  EXPECT_EQ(Plan(m_db, L"SELECT * FROM Parts WHERE d = '2024-01-01'"), "SEARCH Parts USING INDEX ix_d (d=?)\n");
  EXPECT_EQ(Plan(m_db, L"SELECT * FROM Parts ORDER BY Name"), "SCAN Parts USING INDEX ix_name\n");
  EXPECT_EQ(Plan(m_db, L"SELECT n FROM Parts ORDER BY n"), "SCAN Parts USING COVERING INDEX ix_n\n");
  // A text index made by another program compares exactly: it cannot answer a question that ignores case.
  EXPECT_EQ(Plan(m_db, L"SELECT * FROM Parts WHERE Note = 'x'"), "SCAN Parts\n");
}

// ------------------------------------------------------------------ one statement only

// The hostile statements of the reliability suite, here after statements of the same shape: a remembered
// translation must not let a second statement through, nor refuse a quote or comment that only looks like one.
TEST_F(VdRecordsetTest, TextAfterTheFirstStatementIsRefusedEvenInTheShapeOfARememberedStatement) {
  const std::wstring refused[] = {
      L"SELECT * FROM [Beams]; DROP TABLE Beams",
      L"Select * From [Beams] WHERE Name = 'x'; DROP TABLE Beams; --'",
      L"Select * From [Beams]]; DROP TABLE Beams",
      std::wstring(L"Select * From [Beams] WHERE Name = 'HEA") + L'\0' + L"'; DROP TABLE Beams; --",
  };
  EXPECT_EQ(Count(L"Select * From [Beams] WHERE Name = 'HEA 100'"), 1);
  EXPECT_EQ(Count(L"SELECT * FROM [Beams]"), 4);
  for (const std::wstring& text : refused) {
    CVdRecordset rs(&m_db);
    const DbFailure f = CatchDb([&] { rs.Open(0, text.c_str(), 0); });
    EXPECT_TRUE(f.thrown) << testing::PrintToString(text);
    EXPECT_FALSE(rs.IsOpen());
  }
  EXPECT_EQ(Count(L"Select * From [Beams] WHERE Name = 'a''; DROP TABLE Beams; --'"), 0);
  EXPECT_EQ(Count(L"SELECT * FROM [Beams] /* ; DROP TABLE Beams */ ;;  "), 4);
  EXPECT_EQ(
      Count((std::wstring(L"Select * From [Beams] WHERE Name = 'HEA 100'") + L'\0' + L"; DROP TABLE Beams").c_str()),
      1);
  EXPECT_EQ(Raw("SELECT count(*) FROM Beams"), "4");
}

// ------------------------------------------------------------------ the statement cache

TEST_F(VdRecordsetTest, StatementsThatDifferOnlyInLiteralsKeepTheirOwnValues) {
  CVdRecordset rs(&m_db);
  for (const wchar_t* name : {L"HEA 100", L"HEA 120", L"IPE 100", L"HEA 100"}) {
    CString text;
    text.Format(L"Select * From [Beams] WHERE Name = '%s'", name);
    rs.Open(0, text, 0);
    ASSERT_EQ(rs.GetRecordCount(), 1);
    EXPECT_EQ(Text(rs, L"Name"), U8(name));
  }
  rs.Open(0, L"Select * From [Dup] WHERE Name = 'A'", 0);  // the same shape over another table
  EXPECT_EQ(rs.GetRecordCount(), 3);
  rs.Open(0, L"SELECT Name FROM Beams WHERE Note = 'x' AND Name = 'HEA 120'", 0);
  EXPECT_EQ(rs.GetRecordCount(), 1);
  rs.Open(0, L"SELECT Name FROM Beams WHERE Note = 'HEA 120' AND Name = 'x'", 0);
  EXPECT_EQ(rs.GetRecordCount(), 0);
  EXPECT_EQ(Count(L"SELECT'a'AS t FROM Beams WHERE Name='IPE 100'AND h=100"), 1);  // literals touching words
  // Literals whose type only their place tells, sent twice: a server runs the second by a prepared name.
  for (int round = 0; round < 2; ++round) {
    rs.Open(0, L"SELECT IIF(h > 100, 'big', 'small') AS size, 'a' || 'b' AS ab FROM Beams WHERE Name = 'IPE 100'", 0);
    EXPECT_EQ(Text(rs, L"size"), "small");
    EXPECT_EQ(Text(rs, L"ab"), "ab");
  }
}

TEST_F(VdRecordsetTest, RememberedShapesNeverStandInForAnotherStatement) {
  CVdRecordset rs(&m_db);
  // More shapes than are remembered, each differing from the others before its first quote only in a number
  // deep inside a long common text: shapes are pushed out and found again, and each keeps its own.
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 600; ++k) {
      CString text;
      text.Format(L"SELECT Name, %d AS n FROM Beams WHERE Name = '%s'", k, k % 2 ? L"HEA 120" : L"IPE 100");
      ASSERT_EQ(Count(text), 1);  // sent twice in a row: a server prepares it
      rs.Open(0, text, 0);
      ASSERT_EQ(rs.GetRecordCount(), 1) << round << " " << k;
      EXPECT_EQ(Text(rs, L"n"), std::to_string(k));
      EXPECT_EQ(Text(rs, L"Name"), k % 2 ? "HEA 120" : "IPE 100");
    }
  }
  // The same text up to the first quote, so the same place among the shapes, but different statements.
  for (int round = 0; round < 3; ++round) {
    for (int limit = 0; limit < 24; ++limit) {
      CString text;
      text.Format(L"Select * From [Beams] WHERE Name = 'HEA 100' AND h > %d", 90 + limit);
      EXPECT_EQ(Count(text), limit < 6 ? 1 : 0) << limit;
    }
    EXPECT_EQ(Count(L"Select * From [Beams] WHERE Name = 'HEA 100'"), 1);
    EXPECT_EQ(Count(L"Select * From [Beams] WHERE Name = 'HEA 100' OR Name = 'IPE 100'"), 2);
    EXPECT_EQ(Count(L"Select * From [Beams] WHERE Name = 'HEA 100'''"), 0);
  }
  if (OnServer()) {  // the statements kept prepared on the server are bounded too
    rs.Open(0, L"SELECT count(*) FROM pg_prepared_statements", 0);
    EXPECT_LE(std::stoi(Text(rs, static_cast<short>(0))), 512);
  }
}

TEST_F(VdRecordsetTest, ACachedStatementSeesColumnsAddedByAnotherConnection) {
  EXPECT_EQ(Count(L"SELECT * FROM [Beams]"), 4);
  EXPECT_EQ(Count(L"SELECT * FROM [Beams]"), 4);  // a server keeps a text sent twice prepared
  RawDb(m_path).Exec("ALTER TABLE Beams ADD COLUMN w INTEGER DEFAULT 5");
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT * FROM [Beams]", 0);
  ASSERT_EQ(rs.GetODBCFieldCount(), 5);
  EXPECT_EQ(Text(rs, L"w"), "5");
  rs.Edit();  // the new description still addresses the row
  rs.SetFieldValue(L"w", COleVariant(6.0));
  rs.Update();
  EXPECT_EQ(Raw("SELECT w FROM Beams WHERE Name = 'HEA 100'"), "6");
}

// ------------------------------------------------------------------ no lock while open

TEST_F(VdRecordsetTest, AnOpenRecordSetLetsOtherConnectionsWriteAndRequeryReadsAgain) {
  VDTEST_FILE_ONLY();
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Select * From [Beams] WHERE Name = 'HEA 100'", 0);
  CVdRecordset all(&m_db);
  all.Open(1, L"SELECT * FROM [Beams]", 0);
  RawDb other(m_path);  // no busy timeout: any lock left would fail at once
  EXPECT_EQ(other.TryExec("BEGIN EXCLUSIVE; UPDATE Beams SET h = 1; COMMIT"), SQLITE_OK);
  EXPECT_EQ(Text(rs, L"h"), "96");
  EXPECT_EQ(all.GetRecordCount(), 4);
  rs.Requery();
  EXPECT_EQ(Text(rs, L"h"), "1");
}

// ------------------------------------------------------------------ navigation

TEST_F(VdRecordsetTest, NavigationWalksEveryRowOnceAndAnEmptyResultHasNoRow) {
  CVdRecordset rs(&m_db);
  rs.Open(1, L"SELECT Name FROM Beams", 0);
  EXPECT_EQ(rs.GetRecordCount(), 4);
  std::string names;
  for (rs.MoveFirst(); !rs.IsEOF(); rs.MoveNext()) names += Text(rs, L"Name") + "|";
  EXPECT_EQ(names, "HEA 100|HEA 120|IPE 100|ipe 120|");
  EXPECT_TRUE(CatchDb([&] { rs.MoveNext(); }).thrown);
  rs.MoveLast();
  EXPECT_EQ(Text(rs, L"Name"), "ipe 120");

  // An empty result stands at its end and has no values.
  rs.Open(0, L"Select * From [Beams] WHERE Name = 'none'", 0);
  EXPECT_EQ(rs.GetRecordCount(), 0);
  EXPECT_TRUE(rs.IsEOF());
  EXPECT_TRUE(rs.IsBOF());
  EXPECT_FALSE(CatchDb([&] { rs.MoveFirst(); }).thrown);
  EXPECT_TRUE(rs.IsEOF());
  EXPECT_EQ(rs.GetODBCFieldCount(), 4);
  CDBVariant v;
  EXPECT_TRUE(CatchDb([&] { rs.GetFieldValue(L"Name", v); }).thrown);
  EXPECT_TRUE(CatchDb([&] { rs.Edit(); }).thrown);
  EXPECT_TRUE(CatchDb([&] { rs.Delete(); }).Mentions("no current row"));  // never a row found by chance
  EXPECT_EQ(Raw("SELECT count(*) FROM Beams"), "4");
}

// ------------------------------------------------------------------ edits

TEST_F(VdRecordsetTest, EditChangesExactlyTheCurrentRowAmongDuplicates) {
  VDTEST_FILE_ONLY();
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT * FROM Dup WHERE Name = 'A'", 0);
  ASSERT_TRUE(rs.CanUpdate());
  rs.MoveNext();
  rs.Edit();
  rs.SetFieldValue(L"v", COleVariant(2L));
  EXPECT_TRUE(rs.Update());
  EXPECT_EQ(Raw("SELECT group_concat(v, ',') FROM (SELECT v FROM Dup ORDER BY rowid)"), "1,2,1,1");
  EXPECT_EQ(Text(rs, L"v"), "2");
  rs.Delete();
  EXPECT_EQ(Raw("SELECT group_concat(rowid || ':' || v, ',') FROM (SELECT rowid, v FROM Dup ORDER BY rowid)"),
            "1:1,3:1,4:1");
  EXPECT_EQ(rs.GetRecordCount(), 2);
  EXPECT_FALSE(rs.IsEOF());  // the row after the deleted one is current
  rs.MoveNext();
  EXPECT_TRUE(rs.IsEOF());
}

TEST_F(VdRecordsetTest, SetFieldValueFormsWriteTextsVariantsAndNullIntoTheRowTheyAddress) {
  VDTEST_FILE_ONLY();
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Select * From [Beams] WHERE Name = 'HEA 120'", 0);
  rs.Edit();
  rs.SetFieldValue(L"Name", L"HEA 120 A");
  rs.SetFieldValue(1, COleVariant(115.5));
  rs.SetFieldValue(L"b", COleVariant(static_cast<short>(121)));
  rs.SetFieldValue(L"Note", COleVariant());
  rs.Update();
  EXPECT_EQ(Raw("SELECT Name || '|' || h || '|' || b || '|' || ifnull(Note, 'null') FROM Beams WHERE rowid = 2"),
            "HEA 120 A|115.5|121.0|null");
  EXPECT_EQ(Value(rs, L"Note").m_dwType, DBVT_NULL);

  // A table with an integer key: its rows are addressed by it.
  RawDb(m_path).Exec("CREATE TABLE K (id INTEGER PRIMARY KEY, Name TEXT); INSERT INTO K VALUES (10, 'a'), (20, 'a')");
  rs.Open(0, L"SELECT Name FROM K WHERE Name = 'a'", 0);
  rs.MoveLast();
  rs.Edit();
  rs.SetFieldValue(L"Name", L"b");
  rs.Update();
  EXPECT_EQ(Raw("SELECT group_concat(id || Name, ',') FROM K"), "10a,20b");
}

TEST_F(VdRecordsetTest, AddNewAppendsARowWhoseUnsetColumnsAreNull) {
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Beams", 0);
  rs.AddNew();
  rs.SetFieldValue(L"Name", L"HEB 100");
  rs.Update();
  EXPECT_EQ(rs.GetRecordCount(), 5);
  EXPECT_EQ(Text(rs, L"Name"), "HEA 100");  // the current row did not move
  rs.MoveLast();
  EXPECT_EQ(Text(rs, L"Name"), "HEB 100");
  EXPECT_EQ(Value(rs, L"h").m_dwType, DBVT_NULL);
  EXPECT_EQ(Raw("SELECT count(*) FROM Beams WHERE Name = 'HEB 100' AND h IS NULL AND Note IS NULL"), "1");

  rs.Open(0, L"Empty", 0);
  rs.AddNew();
  EXPECT_TRUE(rs.Update());  // nothing set: a row of defaults
  EXPECT_EQ(Raw("SELECT count(*) FROM Empty"), "1");
}

// Written rows are read back when first used: several writes in a row, a deletion in between and the file's
// own conversions and defaults must all show in the right rows.
TEST_F(VdRecordsetTest, WrittenRowsShowWhatTheFileHolds) {
  VDTEST_FILE_ONLY();
  RawDb(m_path).Exec("CREATE TABLE Parts (Name TEXT, h DOUBLE, n INTEGER DEFAULT 7)");
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Parts", 0);
  for (const wchar_t* name : {L"A", L"B", L"C"}) {
    rs.AddNew();
    rs.SetFieldValue(L"Name", name);
    rs.SetFieldValue(L"h", COleVariant(L"12.5", VT_BSTR));  // the column's affinity stores a number
    rs.Update();
  }
  rs.MoveFirst();
  rs.Edit();
  rs.SetFieldValue(L"n", COleVariant(1L, VT_I4));
  rs.Update();
  rs.MoveNext();
  rs.Delete();  // B goes; C moves up into its place
  rs.MoveFirst();
  EXPECT_EQ(Text(rs, L"Name") + "/" + std::to_string(Value(rs, L"n").m_lVal), "A/1");
  rs.MoveNext();
  EXPECT_EQ(Text(rs, L"Name"), "C");
  EXPECT_EQ(Value(rs, L"h").m_dwType, DBVT_DOUBLE);
  EXPECT_EQ(Value(rs, L"h").m_dblVal, 12.5);
  EXPECT_EQ(Value(rs, L"n").m_lVal, 7);

  // A row nobody read before its database closed cannot be shown: that is an error, not a row of nulls.
  rs.AddNew();
  rs.SetFieldValue(L"Name", L"D");
  rs.Update();
  rs.MoveLast();
  m_db.Close();
  EXPECT_TRUE(CatchDb([&] { Text(rs, L"Name"); }).thrown);
}

// Queued edits are merged per row, written together (a few thousand rows a statement on a server), then show
// what the database holds; they keep their order against Update and Delete, and a row gone meanwhile fails them.
TEST_F(VdRecordsetTest, QueuedEditsAreMergedPerRowWrittenTogetherAndShowWhatTheDatabaseHolds) {
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT * FROM Beams ORDER BY Name", 0);  // HEA 100, HEA 120, IPE 100, ipe 120
  const auto queue = [&](const wchar_t* column, const COleVariant& value) {
    rs.Edit();
    rs.SetFieldValue(column, value);
    rs.QueueEdit();
  };
  queue(L"h", COleVariant(1.5));
  queue(L"b", COleVariant(10.0));  // merged into the row's first edit
  rs.MoveNext();
  rs.Edit();
  rs.QueueEdit();  // nothing set: nothing queued
  rs.MoveNext();
  queue(L"h", COleVariant(2.5));
  rs.MoveNext();
  queue(L"Note", COleVariant(L"it's"));
  EXPECT_EQ(rs.GetQueuedEditCount(), 3u);
  EXPECT_EQ(Text(rs, L"Note"), "O'Neil");  // not written yet
  rs.Edit();
  rs.SetFieldValue(L"h", COleVariant(3.0));
  EXPECT_TRUE(CatchDb([&] { rs.Update(); }).thrown);  // it would be written before the queued edit
  rs.CancelUpdate();
  EXPECT_TRUE(CatchDb([&] { rs.Delete(); }).thrown);
  rs.WriteQueuedEdits();
  EXPECT_EQ(rs.GetQueuedEditCount(), 0u);
  EXPECT_EQ(Text(rs, L"Note"), "it's");
  const auto heights = [&] {
    std::string out;
    for (rs.MoveFirst(); !rs.IsEOF(); rs.MoveNext())
      out += std::to_string(Value(rs, L"h").m_dblVal) + "/" + std::to_string(Value(rs, L"b").m_dblVal) + " ";
    return out;
  };
  const std::string shown = heights();
  EXPECT_EQ(shown, "1.500000/10.000000 114.000000/120.000000 2.500000/55.000000 120.000000/64.000000 ");
  rs.Requery();
  EXPECT_EQ(heights(), shown);

  std::wstring rows = L"INSERT INTO Empty VALUES ('r 0', 0)";
  for (int i = 1; i < 3000; ++i) rows += L", ('r " + std::to_wstring(i) + L"', 0)";
  m_db.ExecuteSQL(rows.c_str());
  rs.Open(0, L"SELECT * FROM Empty", 0);
  for (long i = 0; !rs.IsEOF(); rs.MoveNext(), ++i) queue(L"h", COleVariant(double(i)));
  m_db.BeginWriteGroup();  // a file's one transaction, not one per row
  const std::uint64_t before = vdpattern::db::StatementCount();
  rs.WriteQueuedEdits();
  if (OnServer()) {
    EXPECT_EQ(vdpattern::db::StatementCount() - before, 1u);
  }
  m_db.EndWriteGroup(true);
  EXPECT_EQ(::Column(m_db, L"SELECT sum(h) FROM Empty"), "4498500");
  rs.MoveFirst();
  queue(L"h", COleVariant(-1.0));
  rs.MoveNext();
  queue(L"h", COleVariant(-2.0));
  RawDb(m_path).Exec("DELETE FROM Empty WHERE Name = 'r 1'");
  EXPECT_TRUE(CatchDb([&] { rs.WriteQueuedEdits(); }).Mentions("no longer exists"));
}

// Rows queued and written together show what the database holds: read back whole where the server may change
// a value (a NUMERIC rounds) or fills a column itself (a DEFAULT), and made from the values sent where it
// stores them as they are; either way as a fresh read shows them.
TEST_F(VdRecordsetTest, QueuedRowsKeptByTheirInsertShowWhatTheDatabaseHolds) {
  RawDb(m_path).Exec(
      "CREATE TABLE Kinds (Name TEXT, r DOUBLE, i INTEGER, big BIGINT, ok BOOLEAN, note VARCHAR(20), m "
      "NUMERIC(6,1)); CREATE TABLE Filled (Name TEXT, h DOUBLE, n INTEGER DEFAULT 7)");
  const auto shown = [](CVdRecordset& rs) {
    std::string out;
    for (rs.MoveFirst(); !rs.IsEOF(); rs.MoveNext()) {
      for (short k = 0; k < rs.GetODBCFieldCount(); ++k) {
        CDBVariant v = Value(rs, k);
        out += std::to_string(v.m_dwType) + ":" + U8(DBV_BSTRAll(&v)) +
               (v.m_dwType == DBVT_DOUBLE && std::signbit(v.m_dblVal) ? "-" : "") + " ";
      }
      out += "\n";
    }
    return out;
  };
  const auto write = [&](const wchar_t* table,
                         const std::vector<std::vector<std::pair<const wchar_t*, COleVariant>>>& rows) {
    CVdRecordset rs(&m_db);
    rs.Open(0, (std::wstring(L"SELECT * FROM ") + table + L" WHERE 0 = 1").c_str(), 0);
    for (const auto& row : rows) {
      rs.AddNew();
      for (const auto& [column, value] : row) rs.SetFieldValue(column, value);
      rs.QueueNew();
    }
    EXPECT_EQ(rs.WriteQueuedKeepingRows(), OnServer());
    if (!OnServer()) return;
    const std::string kept = shown(rs);
    CVdRecordset fresh(&m_db);
    fresh.Open(0, (std::wstring(L"SELECT * FROM ") + table).c_str(), 0);
    EXPECT_EQ(kept, shown(fresh)) << "table " << U8(table);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), static_cast<long>(rows.size()));
  };
  COleVariant huge;
  huge.vt = VT_I8;
  huge.llVal = (1LL << 53) + 1;  // no double holds it: stored rounded to the nearest
  write(L"Kinds", {{{L"Name", COleVariant(L"a")},
                    {L"r", COleVariant(0.1)},
                    {L"i", COleVariant(-7L)},
                    {L"big", huge},
                    {L"ok", COleVariant(1L)},
                    {L"note", COleVariant(L"\u00d8 2\u00bd it's")}},
                   {{L"Name", COleVariant(L"b")}, {L"r", COleVariant(-0.0)}, {L"ok", COleVariant(0L)}},
                   {{L"Name", COleVariant(L"c")}, {L"r", huge}, {L"note", COleVariant(L"")}},
                   {{L"Name", COleVariant(L"d")}, {L"r", COleVariant(1e308)}, {L"m", COleVariant(100.26)}}});
  write(L"Filled", {{{L"Name", COleVariant(L"x")}, {L"h", COleVariant(2.5)}}, {{L"Name", COleVariant(L"y")}}});
  EXPECT_EQ(Raw("SELECT m FROM Kinds WHERE Name = 'd'"), OnServer() ? "100.3" : "100.26");
  EXPECT_EQ(Raw("SELECT sum(n) FROM Filled"), "14");
}

TEST_F(VdRecordsetTest, UpdateNeedsEditOrAddNewAndCancelUpdateDropsTheChange) {
  VDTEST_FILE_ONLY();
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Beams", 0);
  EXPECT_TRUE(CatchDb([&] { rs.Update(); }).thrown);
  EXPECT_TRUE(CatchDb([&] { rs.SetFieldValue(L"h", COleVariant(1.0)); }).thrown);
  rs.Edit();
  EXPECT_FALSE(rs.Update());  // nothing set, nothing written
  rs.Edit();
  rs.SetFieldValue(L"h", COleVariant(1.0));
  rs.CancelUpdate();
  EXPECT_TRUE(CatchDb([&] { rs.Update(); }).thrown);
  EXPECT_EQ(Raw("SELECT h FROM Beams WHERE rowid = 1"), "96.0");
}

TEST_F(VdRecordsetTest, ResultsThatAreNotOneTablesRowsAreReadOnly) {
  VDTEST_FILE_ONLY();
  RawDb(m_path).Exec(
      "CREATE VIEW BeamView AS SELECT * FROM Beams; CREATE TABLE Shadow (_rowid_ TEXT, rowid TEXT, OID TEXT, v)");
  const wchar_t* readOnly[] = {
      L"SELECT Beams.Name, Dup.v FROM Beams, Dup",
      L"SELECT Beams.* FROM Beams JOIN Dup ON Dup.v = 1",
      L"SELECT Name, h * 2 AS h2 FROM Beams",
      L"SELECT DISTINCT Name FROM Beams",
      L"SELECT Name FROM Beams GROUP BY Name",
      L"SELECT Name FROM Beams UNION SELECT Name FROM Dup",
      L"SELECT * FROM BeamView",
      L"SELECT * FROM (SELECT * FROM Beams)",
      L"SELECT * FROM Shadow",
  };
  RawDb(m_path).Exec("INSERT INTO Shadow VALUES ('s', 's', 's', 1)");
  for (const wchar_t* text : readOnly) {
    CVdRecordset rs(&m_db);
    rs.Open(0, text, 0);
    ASSERT_GT(rs.GetRecordCount(), 0) << testing::PrintToString(std::wstring(text));
    EXPECT_FALSE(rs.CanUpdate()) << testing::PrintToString(std::wstring(text));
    EXPECT_TRUE(CatchDb([&] { rs.Edit(); }).thrown);
    EXPECT_TRUE(CatchDb([&] { rs.AddNew(); }).thrown);
    EXPECT_TRUE(CatchDb([&] { rs.Delete(); }).thrown);
  }
}

// ------------------------------------------------------------------ descriptions

TEST_F(VdRecordsetTest, FieldInfoNamesTheTableOfEachColumn) {
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT Name AS n, h * 2 AS h2 FROM [beams]", 0);
  CODBCFieldInfoEx info;
  rs.GetFieldInfoEx(0, info, 3);
  EXPECT_EQ(U8(info.m_strTableName), "Beams");
  EXPECT_EQ(U8(info.m_strName), "n");
  EXPECT_EQ(U8(info.m_strBaseColumnName), "Name");
  EXPECT_EQ(info.m_nSQLType, SQL_VARCHAR);
  rs.GetFieldInfoEx(1, info, 0);
  EXPECT_TRUE(info.m_strTableName.IsEmpty());
  EXPECT_EQ(info.m_nSQLType, SQL_DOUBLE);  // computed: from its value
  EXPECT_EQ(info.m_nNullability, SQL_NULLABLE_UNKNOWN);
}

// ------------------------------------------------------------------ lifetime

TEST_F(VdRecordsetTest, ARecordSetOutlivingItsConnectionKeepsItsRowsButCannotWrite) {
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Beams", 0);
  m_db.Close();
  EXPECT_EQ(Text(rs, L"Name"), "HEA 100");
  EXPECT_TRUE(CatchDb([&] { rs.Requery(); }).thrown);
  m_db.Open(CString(m_path.c_str()), 0, 0);  // a new connection is not the one that read the rows
  EXPECT_FALSE(rs.CanUpdate());
  EXPECT_TRUE(CatchDb([&] { rs.Edit(); }).thrown);
  rs.Close();
  EXPECT_FALSE(rs.IsOpen());
}

class FailingRecordset : public CVdRecordset {
 public:
  using CVdRecordset::CVdRecordset;
  using CVdRecordset::GetFieldValue;
  void GetFieldValue(short, CDBVariant&, short) override {
    auto* e = new CDBException(SQL_ERROR);
    e->m_strError = L"injected";
    throw e;
  }
};

TEST_F(VdRecordsetTest, ReadingByNameGoesThroughTheOverridablePositionForm) {
  FailingRecordset rs(&m_db);
  rs.Open(0, L"Beams", 0);
  CDBVariant v;
  EXPECT_TRUE(CatchDb([&] { rs.GetFieldValue(L"Name", v); }).Mentions("injected"));
}

// ------------------------------------------------------------------ value helpers

TEST(VdDbVariantTest, CopiesAreDeepAndMovesHandOver) {
  CDBVariant text;
  text.m_dwType = DBVT_WSTRING;
  text.m_pstringW = new CString(L"HEA 100");
  CDBVariant copy(text);
  text.m_pstringW->str() = L"changed";
  EXPECT_EQ(U8(*copy.m_pstringW), "HEA 100");
  CDBVariant moved(std::move(copy));
  EXPECT_EQ(copy.m_dwType, DBVT_NULL);
  EXPECT_EQ(U8(*moved.m_pstringW), "HEA 100");
  moved = text;
  EXPECT_EQ(U8(*moved.m_pstringW), "changed");
  moved.Clear();
  EXPECT_EQ(moved.m_dwType, DBVT_NULL);
  EXPECT_TRUE(DBV_BSTRAll(nullptr).IsEmpty());
  EXPECT_TRUE(DBV_BSTRAll(&moved).IsEmpty());
}

TEST_F(VdRecordsetTest, ByteAndTruthLiteralsAreBytesAndBooleansOnEveryEngine) {
  m_db.ExecuteSQL(L"CREATE TABLE Lit (b LONGBINARY, f BIT)");
  m_db.ExecuteSQL(L"INSERT INTO Lit VALUES (x'0A1b', TRUE), (x'', FALSE)");
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT b, f FROM Lit WHERE f = TRUE", 0);
  EXPECT_EQ(Text(rs, L"b"), "0A1B");
  EXPECT_EQ(Text(rs, L"f"), "True");
  EXPECT_EQ(Count(L"SELECT * FROM Lit WHERE b = x'0a1B' OR b = x''"), 2);
}

// ------------------------------------------------------------------ limits alike on every engine

// A value one engine would store and another refuse is refused by both before it is sent: the column, the
// value and the limit named, the column left unset, nothing written.
TEST_F(VdRecordsetTest, ValuesBeyondTheirColumnsRangeOrSizeAreRefusedAlikeAndBigIntegersStayExact) {
  m_db.ExecuteSQL(L"CREATE TABLE Lim (Name TEXT, b BYTE, s SMALLINT, i INTEGER, g BIGINT, t TEXT(5))");
  const auto big = [](long long v) {
    COleVariant ole;
    ole.vt = VT_I8;
    ole.llVal = v;
    return ole;
  };
  struct Case {
    const wchar_t* column;
    COleVariant value;
    const char* state;  // null: stored as `expected` (SQL literal); else refused, the message holding it
    const char* expected;
  };
  const Case cases[] = {
      {L"b", COleVariant(255L, VT_I4), nullptr, "255"},
      {L"b", COleVariant(256L, VT_I4), "22003", "0 to 255"},
      {L"b", COleVariant(-1L, VT_I4), "22003", "0 to 255"},
      {L"s", COleVariant(-32768L, VT_I4), nullptr, "-32768"},
      {L"s", COleVariant(40000L, VT_I4), "22003", "-32768 to 32767"},
      {L"s", COleVariant(L"40000", VT_BSTR), "22003", "-32768 to 32767"},
      {L"i", COleVariant(L" 2147483647 ", VT_BSTR), nullptr, "2147483647"},
      {L"i", big(2147483648LL), "22003", "-2147483648 to 2147483647"},
      {L"i", COleVariant(2.5), "22003", "not a whole number"},
      {L"i", COleVariant(L"wide", VT_BSTR), "22003", "not a number"},
      {L"g", big(4294967296LL), nullptr, "4294967296"},
      {L"g", big(9007199254740993LL), nullptr, "9007199254740993"},  // 2^53 + 1: no double holds it
      {L"g", big(INT64_MAX), nullptr, "9223372036854775807"},
      {L"g", COleVariant(L"-9223372036854775808", VT_BSTR), nullptr, "-9223372036854775808"},
      {L"g", COleVariant(L"9223372036854775808", VT_BSTR), "22003", "out of its range"},
      {L"g", COleVariant(9.3e18), "22003", "out of its range"},
      {L"g", COleVariant(1e15), nullptr, "1000000000000000"},
      {L"t", COleVariant(L"abcde", VT_BSTR), nullptr, "'abcde'"},
      {L"t", COleVariant(L"\u00e9\u00e9\u00e9\u00e9\U0001D538", VT_BSTR), nullptr,
       "'\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xF0\x9D\x94\xB8'"},  // five characters, twelve bytes
      {L"t", COleVariant(L"abcdef", VT_BSTR), "22001", "at most 5 characters"},
      {L"t", COleVariant(L"abcd ", VT_BSTR), nullptr, "'abcd '"},
      {L"t", COleVariant(L"abcde ", VT_BSTR), "22001", "(6 characters)"},  // no blank is cut either
  };
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Lim", 0);
  int row = 0;
  for (const Case& c : cases) {
    const std::string name = "row " + std::to_string(row++), column = U8(c.column);
    SCOPED_TRACE(name + " " + column + " " + c.expected);
    rs.AddNew();
    rs.SetFieldValue(L"Name", VdFromUtf8(name).c_str());
    rs.SetFieldValue(c.column, column == "t" ? COleVariant(L"ok", VT_BSTR) : COleVariant(7L, VT_I4));
    const DbFailure f = CatchDb([&] { rs.SetFieldValue(c.column, c.value); });
    rs.Update();  // the row is written without the refused value, and without the one set before it
    const std::string select = "SELECT COUNT(*) FROM Lim WHERE Name = '" + name + "' AND " + column;
    if (!c.state) {
      EXPECT_FALSE(f.thrown) << f.message;
      EXPECT_EQ(::Column(m_db, VdFromUtf8(select + " = " + c.expected)), "1");
      rs.MoveLast();
      const long long number = std::strtoll(c.expected, nullptr, 10);
      if (number > (1LL << 53) || number < -(1LL << 53)) {
        EXPECT_EQ(Text(rs, c.column), c.expected);  // its digits, no double
      }
    } else {
      EXPECT_TRUE(f.HasState(c.state)) << f.stateNativeOrigin << " " << f.message;
      EXPECT_TRUE(f.Mentions("\"" + column + "\"") && f.Mentions(c.expected)) << f.message;
      EXPECT_EQ(::Column(m_db, VdFromUtf8(select + " IS NULL")), "1");
    }
  }
  // A type that only holds text counts no characters, whatever its parentheses say (exact decimals of Access).
  if (OnServer()) return;
  m_db.ExecuteSQL(L"CREATE TABLE Dec (d NUMERIC_TEXT(3,0))");
  CVdRecordset dec(&m_db);
  dec.Open(0, L"Dec", 0);
  dec.AddNew();
  EXPECT_FALSE(CatchDb([&] { dec.SetFieldValue(L"d", COleVariant(L"12345.678", VT_BSTR)); }).thrown);
}

// The file engine's LIKE knows no escape character; the server is given the same meaning, and an ESCAPE of the
// statement's own still works on both.
TEST_F(VdRecordsetTest, LikePatternsMeanTheSameOnEveryEngine) {
  m_db.ExecuteSQL(L"CREATE TABLE Pat (Name TEXT)");
  m_db.ExecuteSQL(
      L"INSERT INTO Pat VALUES ('x\\'), ('IPE\\200'), ('IPE%'), ('IPE 200'), ('a_b'), ('axb'), ('O''Neil'), "
      L"('50%')");
  const struct {
    const wchar_t* where;
    const char* names;
  } cases[] = {
      {L"Name LIKE 'x\\'", "x\\"},
      {L"Name LIKE 'IPE\\%'", "IPE\\200"},
      {L"Name LIKE 'ipe\\___'", "IPE\\200"},
      {L"Name LIKE 'IPE%' AND Name NOT LIKE 'IPE\\%'", "IPE 200|IPE%"},
      {L"Name LIKE 'a_b'", "a_b|axb"},
      {L"Name LIKE 'a!_b' ESCAPE '!'", "a_b"},
      {L"Name LIKE '%!%' ESCAPE '!' OR Name LIKE 'o''%'", "50%|IPE%|O'Neil"},
      {L"(Name LIKE ('x' || '\\')) OR Name = 'axb'", "axb|x\\"},
      {L"IIF(Name LIKE '%\\', 1, 0) = 1", "x\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(U8(c.where));
    EXPECT_EQ(::Column(m_db, std::wstring(L"SELECT Name FROM Pat WHERE ") + c.where + L" ORDER BY Name"), c.names);
  }
}

// A table may hold columns named like the file engine's row id: its rows stay editable through a name left free.
TEST_F(VdRecordsetTest, ColumnsNamedLikeTheRowIdKeepATableEditable) {
  m_db.ExecuteSQL(L"CREATE TABLE Odd (Name TEXT, [_rowid_] TEXT, [ROWID] INTEGER)");
  m_db.ExecuteSQL(L"INSERT INTO Odd VALUES ('a', 'x', 5), ('b', 'y', 5)");
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT * FROM Odd ORDER BY Name", 0);
  ASSERT_TRUE(rs.CanUpdate());
  rs.MoveNext();
  rs.Edit();
  rs.SetFieldValue(L"_rowid_", L"z");
  rs.Update();
  EXPECT_EQ(Text(rs, L"_rowid_"), "z");
  rs.AddNew();
  rs.SetFieldValue(L"Name", L"c");
  rs.SetFieldValue(L"rowid", COleVariant(5L, VT_I4));
  rs.Update();
  rs.MoveFirst();
  rs.Delete();
  EXPECT_EQ(::Column(m_db, L"SELECT Name FROM Odd ORDER BY Name"), "b|c");
  EXPECT_EQ(::Column(m_db, L"SELECT [_rowid_] FROM Odd WHERE Name = 'b'"), "z");
  EXPECT_EQ(::Column(m_db, L"SELECT [ROWID] FROM Odd WHERE Name = 'c'"), "5");
}

// A table the engine cannot hold, or would hold with its names cut, is refused before it is made; just within
// the limits it is made and stays editable.
TEST_F(VdRecordsetTest, TableShapesAreCheckedAgainstTheEnginesRealLimits) {
  const std::size_t most = OnServer() ? 1599 : 1999;
  std::vector<CString> columns{L"Name"};
  while (columns.size() < most) columns.push_back(CString(L"c") + CString(std::to_wstring(columns.size()).c_str()));
  CString error;
  ASSERT_TRUE(VdCheckTableShape(m_db, L"Wide", columns, error)) << U8(error);
  CString create = L"CREATE TABLE Wide (Name TEXT";
  for (std::size_t k = 1; k < columns.size(); ++k) create += L", " + columns[k] + L" INTEGER";
  m_db.ExecuteSQL(create + L")");
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Wide", 0);
  rs.AddNew();
  rs.SetFieldValue(columns.back(), COleVariant(3L, VT_I4));
  rs.Update();
  EXPECT_EQ(::Column(m_db, L"SELECT " + columns.back().str() + L" FROM Wide"), "3");
  columns.push_back(L"one_more");
  EXPECT_FALSE(VdCheckTableShape(m_db, L"Wider", columns, error));
  EXPECT_NE(U8(error).find("at most " + std::to_string(most)), std::string::npos) << U8(error);

  // Names: 63 bytes of UTF-8 on a server (31 two-byte letters and one more), any length in a file.
  const CString longest = CString(std::wstring(31, L'\u00e9').c_str()) + L"a";
  const CString tooLong = CString(std::wstring(32, L'\u00e9').c_str());
  EXPECT_TRUE(VdCheckTableShape(m_db, longest, {L"Name", longest}, error)) << U8(error);
  EXPECT_EQ(VdCheckTableShape(m_db, L"T", {L"Name", tooLong}, error), !OnServer());
  EXPECT_EQ(VdCheckTableShape(m_db, tooLong, {L"Name"}, error), !OnServer());
  // The server's hidden row identity, and the file engine's row id names when none is left free.
  EXPECT_EQ(VdCheckTableShape(m_db, L"T", {L"Name", L"VD_row"}, error), !OnServer());
  EXPECT_TRUE(VdCheckTableShape(m_db, L"T", {L"oid", L"rowid"}, error));
  EXPECT_EQ(VdCheckTableShape(m_db, L"T", {L"oid", L"rowid", L"_ROWID_"}, error), OnServer());
}

}  // namespace
