// Access files through CVdDatabase and CVdRecordset, on the Northwind sample (a real Jet 3 file): the tables,
// values of every column type the file holds, the statements a catalog runs and refused writes. Damaged copies
// are the reliability suite's.
//
// The expected values were taken from Debian's mdbtools (mdb-tables, mdb-count, mdb-export -b hex) and written
// here, so the test needs no command at run time. Where mdb-export prints less than the file holds, the test
// says so: it cuts binary values at their first zero byte (its bound text buffer is a C string), and rounds
// times to the second.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "support/TestDb.h"

namespace {

const std::string kSample = VDPATTERN_NWIND_MDB;

std::wstring W(const std::string& utf8) { return VdFromUtf8(utf8); }

std::uint64_t Fnv1a(const std::vector<BYTE>& bytes) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (BYTE b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}
std::uint64_t Fnv1a(const std::string& bytes) { return Fnv1a(std::vector<BYTE>(bytes.begin(), bytes.end())); }

std::string Hex(const CDBVariant& v) {
  std::string out;
  if (v.m_dwType != DBVT_BINARY) return "<not binary>";
  static const char kDigits[] = "0123456789ABCDEF";
  for (BYTE b : v.m_pbinary->m_data) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string Text(const CDBVariant& v) { return U8(DBV_BSTRAll(const_cast<CDBVariant*>(&v))); }

// The one value of a one-row, one-column statement.
long Count(CVdDatabase& db, const std::wstring& sql) {
  CVdRecordset rs(&db);
  rs.Open(0, sql.c_str(), 0);
  if (rs.IsEOF()) return -1;
  CDBVariant v;
  rs.GetFieldValue(short{0}, v);
  return v.m_lVal;
}

class AccessDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VDTEST_REQUIRE_SAMPLE(kSample);
    m_db.Open(CString(W(kSample)), 0, 0);
  }

  // The rows of a statement, each column by name.
  std::vector<std::map<std::string, CDBVariant>> Rows(const std::wstring& sql) {
    CVdRecordset rs(&m_db);
    rs.Open(0, sql.c_str(), 0);
    std::vector<std::map<std::string, CDBVariant>> rows;
    const short count = rs.GetODBCFieldCount();
    while (!rs.IsEOF()) {
      auto& row = rows.emplace_back();
      for (short k = 0; k < count; ++k) {
        CODBCFieldInfo info;
        rs.GetODBCFieldInfo(k, info);
        rs.GetFieldValue(k, row[U8(info.m_strName)]);
      }
      rs.MoveNext();
    }
    return rows;
  }
  std::map<std::string, CDBVariant> One(const std::wstring& sql) {
    auto rows = Rows(sql);
    EXPECT_EQ(rows.size(), 1u) << U8(sql);
    return rows.empty() ? std::map<std::string, CDBVariant>() : rows[0];
  }
  long Count(const std::wstring& sql) { return ::Count(m_db, sql); }
  SWORD SqlType(const std::wstring& table, const wchar_t* column) {
    CVdRecordset rs(&m_db);
    rs.Open(0, (L"SELECT * FROM [" + table + L"]").c_str(), 0);
    CODBCFieldInfo info;
    rs.GetODBCFieldInfo(column, info);
    return info.m_nSQLType;
  }

  CVdDatabase m_db;
};

// ---------------------------------------------------------------- tables and rows

// mdb-tables -S: the user tables, then the system tables.
const std::vector<std::string> kUserTables = {"Categories", "Customers", "Employees", "Order Details", "Orders",
                                              "Products",   "Shippers",  "Suppliers", "Umsätze"};
const std::vector<std::string> kSystemTables = {
    "MSysAccessObjects", "MSysACEs",     "MSysCmdbars", "MSysIMEXColumns", "MSysIMEXSpecs",
    "MSysModules",       "MSysModules2", "MSysObjects", "MSysQueries",     "MSysRelationships"};

TEST_F(AccessDatabaseTest, OpensReadOnlyAndListsTheUserTablesApartFromTheSystemTables) {
  EXPECT_FALSE(m_db.CanUpdate());
  std::vector<std::string> user, system;
  const int count = m_db.GetTableDefCount();
  for (int k = 0; k < count; ++k) {
    CVdODBCTableDefInfo info;
    m_db.GetTableDefInfo(static_cast<unsigned>(k), info);
    ((info.m_lAttributes & VD_TABLEDEF_SYSTEM) ? system : user).push_back(U8(info.m_strName));
  }
  EXPECT_EQ(user, kUserTables);  // in name order ignoring case, as for SQLite files
  EXPECT_EQ(system, kSystemTables);

  CVdODBCTableDefInfo info;
  ASSERT_TRUE(m_db.GetTableDefInfo(L"order details", info));
  EXPECT_EQ(U8(info.m_strName), "Order Details");
  EXPECT_EQ(info.m_lAttributes & VD_TABLEDEF_SYSTEM, 0);
  ASSERT_TRUE(m_db.GetTableDefInfo(L"MSysObjects", info));
  EXPECT_NE(info.m_lAttributes & VD_TABLEDEF_SYSTEM, 0);
  EXPECT_FALSE(m_db.GetTableDefInfo(L"Definition", info));  // not a catalog
}

// ---------------------------------------------------------------- values of every column type

TEST_F(AccessDatabaseTest, ColumnTypesFollowTheToolkitTypeTable) {
  EXPECT_EQ(SqlType(L"Order Details", L"OrderID"), SQL_INTEGER);       // Long Integer
  EXPECT_EQ(SqlType(L"Order Details", L"Quantity"), SQL_SMALLINT);     // Integer
  EXPECT_EQ(SqlType(L"Order Details", L"Discount"), SQL_REAL);         // Single
  EXPECT_EQ(SqlType(L"Order Details", L"UnitPrice"), SQL_DECIMAL);     // Currency
  EXPECT_EQ(SqlType(L"Orders", L"CustomerID"), SQL_VARCHAR);           // Text (5)
  EXPECT_EQ(SqlType(L"Orders", L"OrderDate"), SQL_TYPE_TIMESTAMP);     // DateTime
  EXPECT_EQ(SqlType(L"Products", L"Discontinued"), SQL_BIT);           // Yes/No
  EXPECT_EQ(SqlType(L"Categories", L"Description"), SQL_LONGVARCHAR);  // Memo
  EXPECT_EQ(SqlType(L"Categories", L"Picture"), SQL_LONGVARBINARY);    // OLE
  EXPECT_EQ(SqlType(L"MSysQueries", L"Attribute"), SQL_TINYINT);       // Byte
  EXPECT_EQ(SqlType(L"MSysQueries", L"Order"), SQL_LONGVARBINARY);     // Binary
}

TEST_F(AccessDatabaseTest, ValuesEqualWhatMdbExportPrints) {
  // Each row's values with the types they must come as, and their texts as mdb-export prints them (numbers
  // shortest, dates without a time at midnight, NULL as nothing; Products.UnitPrice is a Currency, Order
  // Details.Discount a Single, texts of Jet 3 in the Windows code page).
  const struct {
    const wchar_t* row;
    std::vector<std::tuple<const char*, DWORD, const char*>> values;
  } cases[] = {
      {L"Products WHERE ProductID = 1",
       {{"ProductName", DBVT_WSTRING, "Chai"},
        {"QuantityPerUnit", DBVT_WSTRING, "10 boxes x 20 bags"},
        {"UnitPrice", DBVT_DOUBLE, "18"},
        {"UnitsInStock", DBVT_SHORT, "39"},

        {"Discontinued", DBVT_BOOL, "False"}}},
      {L"Products WHERE ProductID = 5", {{"UnitPrice", DBVT_DOUBLE, "21.35"}, {"Discontinued", DBVT_BOOL, "True"}}},
      {L"[Order Details] WHERE OrderID = 10248 AND ProductID = 11",
       {{"UnitPrice", DBVT_DOUBLE, "14"}, {"Quantity", DBVT_SHORT, "12"}, {"Discount", DBVT_SINGLE, "0"}}},
      {L"[Order Details] WHERE OrderID = 10250 AND ProductID = 51",
       {{"UnitPrice", DBVT_DOUBLE, "42.4"}, {"Discount", DBVT_SINGLE, "0.15"}}},
      {L"Orders WHERE OrderID = 10331",
       {{"OrderDate", DBVT_DATE, "1994-11-16"},
        {"ShippedDate", DBVT_DATE, "1994-11-21"},
        {"Freight", DBVT_DOUBLE, "10.19"},
        {"ShipName", DBVT_WSTRING, "Bon app'"},

        {"ShipRegion", DBVT_NULL, ""}}},
      {L"Orders WHERE OrderID = 11070",
       {{"ShippedDate", DBVT_NULL, ""}, {"ShipCity", DBVT_WSTRING, "Frankfurt a.M. "}}},
      {L"Customers WHERE CustomerID = 'ANATR'", {{"Address", DBVT_WSTRING, "Avda. de la Constitución 2222"}}},
      {L"Customers WHERE CustomerID = 'BERGS'", {{"CompanyName", DBVT_WSTRING, "Berglunds snabbköp"}}},
      {L"Suppliers WHERE SupplierID = 29",
       {{"CompanyName", DBVT_WSTRING, "Forêts d'érables"}, {"HomePage", DBVT_NULL, ""}}},
      {L"Employees WHERE EmployeeID = 1",
       {{"BirthDate", DBVT_DATE, "1948-12-08"},
        {"Address", DBVT_WSTRING, "507 - 20th Ave. E.\r\nApt. 2A"},
        {"ReportsTo", DBVT_LONG, "2"}}},
      {L"Employees WHERE EmployeeID = 2", {{"ReportsTo", DBVT_NULL, ""}}},
      {L"Categories WHERE CategoryID = 1",
       {{"Description", DBVT_WSTRING, "Soft drinks, coffees, teas, beers, and ales"}}},
      {L"Suppliers WHERE SupplierID = 2", {{"HomePage", DBVT_WSTRING, "#CAJUN.HTM#"}}},
  };
  for (const auto& c : cases) {
    auto row = One(std::wstring(L"SELECT * FROM ") + c.row);
    for (const auto& [column, type, text] : c.values) {
      SCOPED_TRACE(U8(c.row) + " " + column);
      EXPECT_EQ(row[column].m_dwType, type);
      EXPECT_EQ(Text(row[column]), text);
    }
  }

  // MSysQueries (Byte): -2147483595,0 / -2147483595,255 / -2147483595,1 in file order
  auto queries = Rows(L"SELECT ObjectId, Attribute, Flag FROM MSysQueries");
  ASSERT_GE(queries.size(), 3u);
  EXPECT_EQ(queries[0]["ObjectId"].m_lVal, -2147483595L);
  EXPECT_EQ(queries[0]["Attribute"].m_dwType, DBVT_UCHAR);
  EXPECT_EQ(queries[0]["Attribute"].m_chVal, 0);
  EXPECT_EQ(queries[1]["Attribute"].m_chVal, 255);
  EXPECT_EQ(queries[2]["Attribute"].m_chVal, 1);
  EXPECT_EQ(queries[2]["Flag"].m_iVal, 1);
  EXPECT_EQ(queries[0]["Flag"].m_dwType, DBVT_NULL);

  const struct {
    const wchar_t* sql;
    long count;
  } counts[] = {
      {L"SELECT COUNT(*) FROM Products WHERE Discontinued <> 0", 8},
      {L"SELECT COUNT(*) FROM Orders WHERE ShipRegion IS NULL", 507},
      {L"SELECT COUNT(*) FROM Orders WHERE ShippedDate IS NULL", 21},
      {L"SELECT COUNT(*) FROM Customers WHERE Region IS NULL", 60},
      {L"SELECT COUNT(*) FROM Customers WHERE Fax IS NULL", 22},
      {L"SELECT COUNT(*) FROM MSysObjects WHERE Type < 0", 48},  // Integer values beyond a byte, negative ones
  };
  for (const auto& c : counts) EXPECT_EQ(Count(c.sql), c.count) << U8(c.sql);
  // A table name beyond ASCII.
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM [Ums\u00e4tze] WHERE ShipCountry = 'France'"),
            Count(L"SELECT COUNT(*) FROM Orders WHERE ShipCountry = 'France'"));
}

TEST_F(AccessDatabaseTest, MemoAndOleValuesAreReadWhole) {
  // Lengths and FNV-1a hashes of what mdb-export -b hex prints.
  auto beverages = One(L"Select * From [Categories] WHERE CategoryID = 1");
  ASSERT_EQ(beverages["Picture"].m_dwType, DBVT_BINARY);
  EXPECT_EQ(beverages["Picture"].m_pbinary->m_data.size(), 10746u);
  EXPECT_EQ(Fnv1a(beverages["Picture"].m_pbinary->m_data), 0xeaad4faa3388935dull);

  auto nancy = One(L"Select Photo, Notes From [Employees] WHERE EmployeeID = 1");
  ASSERT_EQ(nancy["Photo"].m_dwType, DBVT_BINARY);  // spans a chain of pages
  EXPECT_EQ(nancy["Photo"].m_pbinary->m_data.size(), 21626u);
  EXPECT_EQ(Fnv1a(nancy["Photo"].m_pbinary->m_data), 0x723bd3b06e34e9b7ull);
  const std::string notes = Text(nancy["Notes"]);
  EXPECT_EQ(notes.size(), 175u);
  EXPECT_EQ(Fnv1a(notes), 0xfc058c15c7a2e469ull);

  const std::string andrew = Text(One(L"Select Notes From [Employees] WHERE EmployeeID = 2")["Notes"]);
  EXPECT_EQ(andrew.size(), 448u);
  EXPECT_EQ(Fnv1a(andrew), 0xc6e3f420598aa78bull);
}

TEST_F(AccessDatabaseTest, BinaryValuesKeepTheirZeroBytes) {
  // MSysACEs: SID "0301", then "0201", then 96 bytes starting 01DB8793...
  auto aces = Rows(L"SELECT SID, ACM, FInheritable FROM MSysACEs");
  ASSERT_GE(aces.size(), 3u);
  EXPECT_EQ(Hex(aces[0]["SID"]), "0301");
  EXPECT_EQ(aces[0]["ACM"].m_lVal, 393216);
  EXPECT_FALSE(aces[0]["FInheritable"].m_boolVal);
  EXPECT_EQ(Hex(aces[1]["SID"]), "0201");
  EXPECT_TRUE(aces[1]["FInheritable"].m_boolVal);
  EXPECT_EQ(Hex(aces[2]["SID"]).substr(0, 40), "01DB879320814FAB38DF561A17236A4B114D1B1A");
  // MSysQueries.Order holds 00000001 in its first row, where mdb-export prints nothing: its text stops at
  // the first zero byte.
  EXPECT_EQ(Hex(Rows(L"SELECT [Order] FROM MSysQueries")[0]["Order"]), "00000001");
}

// ---------------------------------------------------------------- writes

TEST(AccessDatabaseWrites, EveryWriteThrowsAndTheFileIsUnchanged) {
  VDTEST_REQUIRE_SAMPLE(kSample);
  vdtest::TempDir dir;
  const std::string path = dir.File("nwind.mdb");
  std::filesystem::copy_file(kSample, path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  const std::string before = vdtest::ReadBytes(path);
  {
    CVdDatabase db;
    db.Open(CString(W(path)), 0, 0);  // a writable file, still read-only
    EXPECT_FALSE(db.CanUpdate());
    CVdRecordset rs(&db);
    rs.Open(0, L"Select * From [Shippers] WHERE CompanyName = 'Speedy Express'", 0);
    ASSERT_EQ(rs.GetRecordCount(), 1);
    EXPECT_FALSE(rs.CanUpdate());
    for (auto write :
         std::vector<std::function<void()>>{[&] { rs.Edit(); }, [&] { rs.AddNew(); }, [&] { rs.Delete(); }}) {
      const DbFailure failure = CatchDb(write);
      EXPECT_TRUE(failure.thrown);
      for (const char* part : {"read-only", "Access", "vdcatalog convert"})
        EXPECT_TRUE(failure.Mentions(part)) << failure.message;
    }
    EXPECT_TRUE(CatchDb([&] { rs.Update(); }).thrown);
    for (const wchar_t* sql :
         {L"DELETE FROM Shippers", L"UPDATE Shippers SET Phone = ''", L"CREATE TABLE More (x)", L"DROP TABLE Shippers"})
      EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(sql); }).thrown) << U8(sql);
    // A transaction may be opened and closed, but holds nothing to write.
    EXPECT_TRUE(db.BeginTrans());
    EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(L"INSERT INTO Shippers (ShipperID) VALUES (4)"); }).thrown);
    EXPECT_TRUE(db.Rollback());
    rs.Requery();
    EXPECT_EQ(rs.GetRecordCount(), 1);
    EXPECT_EQ(Count(db, L"SELECT COUNT(*) FROM Shippers"), 3);
  }
  EXPECT_EQ(vdtest::ReadBytes(path), before);
}

}  // namespace
