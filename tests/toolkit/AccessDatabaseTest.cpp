// Access files through CVdDatabase and CVdRecordset, on the Northwind sample (a real Jet 3 file): the tables,
// their row counts, values of every column type the file holds, the statements a catalog runs, refused writes,
// the catalog's clean refusal, and damaged copies that must fail cleanly in bounded time.
//
// The expected values were taken from Debian's mdbtools (mdb-tables, mdb-count, mdb-export -b hex) and written
// here, so the test needs no command at run time. Where mdb-export prints less than the file holds, the test
// says so: it cuts binary values at their first zero byte (its bound text buffer is a C string), and rounds
// times to the second.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include "support/TestFiles.h"
#include "support/TestFiles.h"
#include "support/ReportCapture.h"
#include "toolkit/DbTestSupport.h"

namespace {

const std::string kSample = VDPATTERN_NWIND_MDB;

std::wstring W(const std::string& utf8) { return VdFromUtf8(utf8); }

#define SKIP_WITHOUT_SAMPLE() VDTEST_REQUIRE_SAMPLE(kSample)

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
    SKIP_WITHOUT_SAMPLE();
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

// mdb-tables -S and mdb-count: the user tables, then the system tables.
const std::vector<std::pair<std::string, long>> kUserTables = {
    {"Categories", 8}, {"Customers", 91}, {"Employees", 9},  {"Order Details", 2155}, {"Orders", 830},
    {"Products", 77},  {"Shippers", 3},   {"Suppliers", 29}, {"Umsätze", 830}};
const std::vector<std::pair<std::string, long>> kSystemTables = {
    {"MSysAccessObjects", 2705}, {"MSysACEs", 322},       {"MSysCmdbars", 1},   {"MSysIMEXColumns", 0},
    {"MSysIMEXSpecs", 0},        {"MSysModules", 0},      {"MSysModules2", 17}, {"MSysObjects", 106},
    {"MSysQueries", 318},        {"MSysRelationships", 7}};

TEST_F(AccessDatabaseTest, OpensReadOnlyAndListsTheUserTablesApartFromTheSystemTables) {
  EXPECT_TRUE(m_db.IsOpen());
  EXPECT_FALSE(m_db.CanUpdate());
  EXPECT_EQ(U8(m_db.GetDatabaseName()), kSample);
  std::vector<std::string> user, system;
  const int count = m_db.GetTableDefCount();
  for (int k = 0; k < count; ++k) {
    CVdODBCTableDefInfo info;
    m_db.GetTableDefInfo(static_cast<unsigned>(k), info);
    ((info.m_lAttributes & VD_TABLEDEF_SYSTEM) ? system : user).push_back(U8(info.m_strName));
  }
  std::vector<std::string> expectedUser, expectedSystem;
  for (const auto& t : kUserTables) expectedUser.push_back(t.first);
  for (const auto& t : kSystemTables) expectedSystem.push_back(t.first);
  EXPECT_EQ(user, expectedUser);  // in name order ignoring case, as for SQLite files
  EXPECT_EQ(system, expectedSystem);

  CVdODBCTableDefInfo info;
  ASSERT_TRUE(m_db.GetTableDefInfo(L"order details", info));
  EXPECT_EQ(U8(info.m_strName), "Order Details");
  EXPECT_EQ(info.m_lAttributes & VD_TABLEDEF_SYSTEM, 0);
  ASSERT_TRUE(m_db.GetTableDefInfo(L"MSysObjects", info));
  EXPECT_NE(info.m_lAttributes & VD_TABLEDEF_SYSTEM, 0);
  EXPECT_FALSE(m_db.GetTableDefInfo(L"Definition", info));  // not a catalog
}

TEST_F(AccessDatabaseTest, EveryTableHasAllItsRows) {
  for (const auto& tables : {kUserTables, kSystemTables})
    for (const auto& [name, rows] : tables) {
      EXPECT_EQ(Count(L"SELECT COUNT(*) FROM [" + W(name) + L"]"), rows) << name;
      // The bare table name reads every row too.
      CVdRecordset rs(&m_db);
      rs.Open(0, W(name).c_str(), 0);
      long seen = 0;
      for (; !rs.IsEOF(); rs.MoveNext()) ++seen;
      EXPECT_EQ(seen, rows) << name;
    }
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

TEST_F(AccessDatabaseTest, NumbersAndYesNoEqualWhatMdbExportPrints) {
  // Products: 1,"Chai",1,1,"10 boxes x 20 bags",18.0000,39,0,10,0
  //           5,"Chef Anton's Gumbo Mix",2,2,"36 boxes",21.3500,0,0,0,1
  auto chai = One(L"Select * From [Products] WHERE ProductID = 1");
  EXPECT_EQ(chai["ProductID"].m_dwType, DBVT_LONG);
  EXPECT_EQ(chai["ProductID"].m_lVal, 1);
  EXPECT_EQ(Text(chai["ProductName"]), "Chai");
  EXPECT_EQ(Text(chai["QuantityPerUnit"]), "10 boxes x 20 bags");
  EXPECT_EQ(chai["UnitPrice"].m_dwType, DBVT_DOUBLE);
  EXPECT_EQ(chai["UnitPrice"].m_dblVal, 18.0);
  EXPECT_EQ(chai["UnitsInStock"].m_dwType, DBVT_SHORT);
  EXPECT_EQ(chai["UnitsInStock"].m_iVal, 39);
  EXPECT_EQ(chai["ReorderLevel"].m_iVal, 10);
  EXPECT_EQ(chai["Discontinued"].m_dwType, DBVT_BOOL);
  EXPECT_FALSE(chai["Discontinued"].m_boolVal);
  auto gumbo = One(L"Select * From [Products] WHERE ProductID = 5");
  EXPECT_EQ(gumbo["UnitPrice"].m_dblVal, 21.35);
  EXPECT_TRUE(gumbo["Discontinued"].m_boolVal);
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM Products WHERE Discontinued <> 0"), 8);

  // Order Details: 10248,11,14.0000,12,0 and 10250,51,42.4000,35,0.15000001 (a Single)
  auto first = One(L"Select * From [Order Details] WHERE OrderID = 10248 AND ProductID = 11");
  EXPECT_EQ(first["UnitPrice"].m_dblVal, 14.0);
  EXPECT_EQ(first["Quantity"].m_iVal, 12);
  EXPECT_EQ(first["Discount"].m_dwType, DBVT_SINGLE);
  EXPECT_EQ(first["Discount"].m_fltVal, 0.0f);
  auto discounted = One(L"Select * From [Order Details] WHERE OrderID = 10250 AND ProductID = 51");
  EXPECT_EQ(discounted["UnitPrice"].m_dblVal, 42.4);
  EXPECT_EQ(discounted["Quantity"].m_iVal, 35);
  EXPECT_EQ(discounted["Discount"].m_fltVal, 0.15f);

  // Orders 10331: Freight 10.1900 (Currency)
  EXPECT_EQ(One(L"Select Freight From Orders WHERE OrderID = 10331")["Freight"].m_dblVal, 10.19);

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
}

TEST_F(AccessDatabaseTest, TextsDatesAndNullsEqualWhatMdbExportPrints) {
  // Orders: 10331,"BONAP",9,"1994-11-16 00:00:00","1994-12-28 00:00:00","1994-11-21 00:00:00",1,10.1900,
  //         "Bon app'","12, rue des Bouchers","Marseille",,"13008","France"
  auto order = One(L"Select * From [Orders] WHERE OrderID = 10331");
  EXPECT_EQ(Text(order["CustomerID"]), "BONAP");
  EXPECT_EQ(Text(order["ShipName"]), "Bon app'");
  EXPECT_EQ(Text(order["ShipAddress"]), "12, rue des Bouchers");
  EXPECT_EQ(order["ShipRegion"].m_dwType, DBVT_NULL);
  ASSERT_EQ(order["OrderDate"].m_dwType, DBVT_DATE);
  const TIMESTAMP_STRUCT& date = *order["OrderDate"].m_pdate;
  EXPECT_EQ(date.year, 1994);
  EXPECT_EQ(date.month, 11);
  EXPECT_EQ(date.day, 16);
  EXPECT_EQ(date.hour, 0);
  EXPECT_EQ(order["ShippedDate"].m_pdate->day, 21);
  // 11070: ShippedDate empty in mdb-export, a NULL; ShipCity "Frankfurt a.M. " keeps its trailing space.
  auto unshipped = One(L"Select * From [Orders] WHERE OrderID = 11070");
  EXPECT_EQ(unshipped["ShippedDate"].m_dwType, DBVT_NULL);
  EXPECT_EQ(Text(unshipped["ShipCity"]), "Frankfurt a.M. ");
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM Orders WHERE ShipRegion IS NULL"), 507);
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM Orders WHERE ShippedDate IS NULL"), 21);
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM Customers WHERE Region IS NULL"), 60);
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM Customers WHERE Fax IS NULL"), 22);

  // Non-ASCII texts (Jet 3: the Windows code page) and a table name with one.
  EXPECT_EQ(Text(One(L"Select Address From Customers WHERE CustomerID = 'ANATR'")["Address"]),
            "Avda. de la Constitución 2222");
  EXPECT_EQ(Text(One(L"Select CompanyName From Customers WHERE CustomerID = 'BERGS'")["CompanyName"]),
            "Berglunds snabbköp");
  EXPECT_EQ(Text(One(L"Select CompanyName From Suppliers WHERE SupplierID = 29")["CompanyName"]), "Forêts d'érables");
  EXPECT_EQ(Count(W("SELECT COUNT(*) FROM [Umsätze] WHERE ShipCountry = 'France'")),
            Count(L"SELECT COUNT(*) FROM Orders WHERE ShipCountry = 'France'"));

  // Employees 1: BirthDate 1948-12-08, an address over two lines.
  auto nancy = One(L"Select * From [Employees] WHERE EmployeeID = 1");
  EXPECT_EQ(Text(nancy["LastName"]), "Davolio");
  EXPECT_EQ(nancy["BirthDate"].m_pdate->year, 1948);
  EXPECT_EQ(nancy["BirthDate"].m_pdate->month, 12);
  EXPECT_EQ(nancy["BirthDate"].m_pdate->day, 8);
  EXPECT_EQ(Text(nancy["Address"]), "507 - 20th Ave. E.\r\nApt. 2A");
  EXPECT_EQ(nancy["ReportsTo"].m_lVal, 2);
  EXPECT_EQ(One(L"Select ReportsTo From Employees WHERE EmployeeID = 2")["ReportsTo"].m_dwType, DBVT_NULL);
}

TEST_F(AccessDatabaseTest, MemoAndOleValuesAreReadWhole) {
  // Lengths and FNV-1a hashes of what mdb-export -b hex prints.
  auto beverages = One(L"Select * From [Categories] WHERE CategoryID = 1");
  EXPECT_EQ(Text(beverages["Description"]), "Soft drinks, coffees, teas, beers, and ales");
  ASSERT_EQ(beverages["Picture"].m_dwType, DBVT_BINARY);
  EXPECT_EQ(beverages["Picture"].m_pbinary->m_data.size(), 10746u);
  EXPECT_EQ(Fnv1a(beverages["Picture"].m_pbinary->m_data), 0xeaad4faa3388935dull);
  EXPECT_EQ(Hex(beverages["Picture"]).substr(0, 32), "151C2F00020000000D000E0014002100");

  auto nancy = One(L"Select Photo, Notes From [Employees] WHERE EmployeeID = 1");
  ASSERT_EQ(nancy["Photo"].m_dwType, DBVT_BINARY);  // spans a chain of pages
  EXPECT_EQ(nancy["Photo"].m_pbinary->m_data.size(), 21626u);
  EXPECT_EQ(Fnv1a(nancy["Photo"].m_pbinary->m_data), 0x723bd3b06e34e9b7ull);
  const std::string notes = Text(nancy["Notes"]);
  EXPECT_EQ(notes.size(), 175u);
  EXPECT_EQ(Fnv1a(notes), 0xfc058c15c7a2e469ull);
  EXPECT_EQ(notes.substr(0, 50), "Education includes a BA in psychology from Colorad");

  const std::string andrew = Text(One(L"Select Notes From [Employees] WHERE EmployeeID = 2")["Notes"]);
  EXPECT_EQ(andrew.size(), 448u);
  EXPECT_EQ(Fnv1a(andrew), 0xc6e3f420598aa78bull);
  EXPECT_EQ(Text(One(L"Select HomePage From Suppliers WHERE SupplierID = 2")["HomePage"]), "#CAJUN.HTM#");
  EXPECT_EQ(One(L"Select HomePage From Suppliers WHERE SupplierID = 29")["HomePage"].m_dwType, DBVT_NULL);
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

// ---------------------------------------------------------------- the catalog's statements

TEST_F(AccessDatabaseTest, TheCatalogStatementsWork) {
  // Name lookups compare without case, as Access does.
  EXPECT_EQ(Rows(L"Select * From [Customers] WHERE CompanyName = 'Berglunds snabbköp'").size(), 1u);
  EXPECT_EQ(Rows(L"Select * From [Customers] WHERE CompanyName = 'BERGLUNDS snabbköp'").size(), 1u);
  EXPECT_EQ(Rows(L"Select * From [Shippers] WHERE CompanyName = 'speedy express'").size(), 1u);
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM Customers WHERE Country = 'germany'"), 11);
  EXPECT_EQ(Rows(L"Select * From [Shippers] WHERE CompanyName = 'Nobody'").size(), 0u);
  // Like, with % and _, without case.
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM Customers WHERE CompanyName Like 'a%'"), 4);
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM Customers WHERE CustomerID Like 'b_n_p'"), 1);
  // COUNT and MAX, and the IIF(IsNull(...)) form the catalog uses for an empty table.
  EXPECT_EQ(Count(L"SELECT MAX(OrderID) AS m FROM Orders"), 11077);
  EXPECT_EQ(One(L"SELECT MAX(Freight) AS m FROM Orders")["m"].m_dblVal, 1007.64);
  EXPECT_EQ(Count(L"SELECT IIF(IsNull(MAX(OrderID)), 0, MAX(OrderID)) AS m FROM Orders"), 11077);
  EXPECT_EQ(Count(L"SELECT IIF(IsNull(MAX(OrderID)), 0, MAX(OrderID)) AS m FROM Orders WHERE OrderID < 0"), 0);
  EXPECT_EQ(Count(L"SELECT COUNT(*) FROM Customers WHERE IIF(IsNull(Region), 1, 0) = 1"), 60);
  // Columns read back by name ignoring case.
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT COUNT(*) AS NrLines FROM [Order Details]", 0);
  CDBVariant n;
  rs.GetFieldValue(L"nrlines", n);
  EXPECT_EQ(n.m_lVal, 2155);
}

// ---------------------------------------------------------------- writes

TEST(AccessDatabaseWrites, EveryWriteThrowsAndTheFileIsUnchanged) {
  SKIP_WITHOUT_SAMPLE();
  vdtest::TempDir dir;
  const std::string path = dir.File("nwind.mdb");
  std::filesystem::copy_file(kSample, path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  const std::string before = ReadBytes(path);
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
      EXPECT_TRUE(failure.Mentions("read-only")) << failure.message;
      EXPECT_TRUE(failure.Mentions("Access")) << failure.message;
      EXPECT_TRUE(failure.Mentions("vdcatalog convert")) << failure.message;
    }
    EXPECT_TRUE(CatchDb([&] { rs.Update(); }).thrown);
    EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(L"DELETE FROM Shippers"); }).thrown);
    EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(L"UPDATE Shippers SET Phone = ''"); }).thrown);
    EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(L"CREATE TABLE More (x)"); }).thrown);
    EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(L"DROP TABLE Shippers"); }).thrown);
    // A transaction may be opened and closed, but holds nothing to write.
    EXPECT_TRUE(db.BeginTrans());
    EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(L"INSERT INTO Shippers (ShipperID) VALUES (4)"); }).thrown);
    EXPECT_TRUE(db.Rollback());
    rs.Requery();
    EXPECT_EQ(rs.GetRecordCount(), 1);
    EXPECT_EQ(Count(db, L"SELECT COUNT(*) FROM Shippers"), 3);
  }
  EXPECT_EQ(ReadBytes(path), before);
}

TEST(AccessDatabaseCatalog, OpeningItAsACatalogFailsWithOneReport) {
  SKIP_WITHOUT_SAMPLE();
  vdtest::ReportCapture capture;
  CVdPatternCatalog catalog;
  EXPECT_FALSE(catalog.Open(W(kSample).c_str()));
  ASSERT_EQ(capture.reports.size(), 1u);
  EXPECT_EQ(capture.reports[0].caption, L"Erreur DB");
  EXPECT_FALSE(catalog.IsOpened());
}

// ---------------------------------------------------------------- damaged files

// Runs `body` in a child process whose standard streams go to a file, under an alarm: the child ends with
// `body`'s code, or dies of a signal (a crash, or SIGALRM for a hang).
struct ChildResult {
  bool exited = false;
  int code = -1;
  int signal = 0;
  std::string output;
};

template <typename F>
ChildResult InChild(const vdtest::TempDir& dir, unsigned seconds, F&& body) {
  const std::string out = dir.File("child-output.txt");
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::alarm(seconds);
    const int code = body();
    std::fflush(nullptr);
    ::_exit(code);
  }
  ChildResult result;
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exited = WIFEXITED(status);
  result.code = result.exited ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.output = ReadBytes(out);
  return result;
}

constexpr int kOpened = 20;
constexpr int kCleanFailure = 21;    // CDBException, state 08001, naming the file
constexpr int kUncleanFailure = 22;  // CDBException without that state or name
constexpr int kOtherException = 23;

int TryOpen(const std::string& path) {
  try {
    CVdDatabase db;
    db.Open(CString(W(path)), 0, 0);
    // What opened must be readable through and through.
    for (int k = 0, n = db.GetTableDefCount(); k < n; ++k) {
      CVdODBCTableDefInfo info;
      db.GetTableDefInfo(static_cast<unsigned>(k), info);
      CVdRecordset rs(&db);
      rs.Open(0, info.m_strName, 0);
      for (; !rs.IsEOF(); rs.MoveNext())
        for (short c = 0; c < rs.GetODBCFieldCount(); ++c) {
          CDBVariant v;
          rs.GetFieldValue(c, v);
        }
    }
    return kOpened;
  } catch (CDBException* e) {
    const bool clean = U8(e->m_strStateNativeOrigin).rfind("State:08001,", 0) == 0 &&
                       U8(e->m_strError).find(path) != std::string::npos;
    e->Delete();
    return clean ? kCleanFailure : kUncleanFailure;
  } catch (...) {
    return kOtherException;
  }
}

class AccessDamagedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_SAMPLE();
    m_original = ReadBytes(kSample);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = m_dir.File(name);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  // The child must end on its own, print nothing, and give one of `allowed`.
  void ExpectCleanResult(const std::string& path, std::initializer_list<int> allowed) {
    const ChildResult r = InChild(m_dir, 60, [&] { return TryOpen(path); });
    ASSERT_TRUE(r.exited) << path << ": killed by signal " << r.signal << " (SIGALRM is a hang)\n" << r.output;
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), r.code), allowed.end()) << path << ": code " << r.code;
    EXPECT_EQ(r.output, "") << path;
  }

  vdtest::TempDir m_dir;
  std::string m_original;
};

TEST_F(AccessDamagedFileTest, TruncatedCopiesFailCleanly) {
  const std::size_t size = m_original.size();
  for (std::size_t length :
       {std::size_t{1}, std::size_t{19}, std::size_t{100}, std::size_t{2047}, std::size_t{2048}, std::size_t{3 * 2048},
        std::size_t{4096 + 1000}, size / 4, size / 2, size / 2 - size / 2 % 2048, size - 2048, size - 1})
    ExpectCleanResult(Write("cut-" + std::to_string(length) + ".mdb", m_original.substr(0, length)), {kCleanFailure});
}

TEST_F(AccessDamagedFileTest, EmptyTextAndSqliteFilesNamedMdbFailCleanly) {
  ExpectCleanResult(Write("empty.mdb", ""), {kCleanFailure});
  ExpectCleanResult(Write("text.mdb", "Name;h;b\nHEA 100;96;100\n"), {kCleanFailure});
  ExpectCleanResult(Write("header-only.mdb", m_original.substr(0, 2048) + std::string(2 * 2048, '\0')),
                    {kCleanFailure});
  const std::string sqlite = m_dir.File("sqlite.mdb");
  RawDb(sqlite).Exec("CREATE TABLE Beams (Name TEXT); INSERT INTO Beams VALUES ('HEA 100');");
  // An SQLite file is no Access file: it opens as what it is.
  ExpectCleanResult(sqlite, {kOpened});
  std::string disguised = ReadBytes(sqlite);
  disguised.replace(0, 19, m_original.substr(0, 19));  // an Access signature on SQLite pages
  ExpectCleanResult(Write("disguised.mdb", disguised), {kCleanFailure});
}

TEST_F(AccessDamagedFileTest, BytesChangedInTheMiddleFailCleanly) {
  // The catalog page, and a run of pages from the middle, overwritten.
  std::string catalog = m_original;
  for (std::size_t k = 2 * 2048 + 100; k < 3 * 2048; ++k) catalog[k] = static_cast<char>(k * 7);
  ExpectCleanResult(Write("catalog.mdb", catalog), {kCleanFailure});
  std::string middle = m_original;
  for (std::size_t k = middle.size() / 2; k < middle.size() / 2 + 256 * 1024; ++k) middle[k] = static_cast<char>(0xA5);
  ExpectCleanResult(Write("middle.mdb", middle), {kCleanFailure});
  // Random damage: whatever it hits, the file opens (its damage unseen) or fails cleanly.
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int round = 0; round < 16; ++round) {
    std::string copy = m_original;
    const std::size_t at = next() % copy.size();
    const std::size_t length = 1 + next() % (round % 3 == 0 ? 4096 : 16);
    for (std::size_t k = at; k < std::min(copy.size(), at + length); ++k) copy[k] = static_cast<char>(next());
    ExpectCleanResult(Write("random-" + std::to_string(round) + ".mdb", copy), {kOpened, kCleanFailure});
  }
}

TEST_F(AccessDamagedFileTest, EnvironmentVariablesChangeNothing) {
  const ChildResult r = InChild(m_dir, 60, [] {
    ::setenv("MDBOPTS", "debug_like:debug_write:debug_usage:debug_ole:debug_row:debug_props:use_index", 1);
    ::setenv("MDBICONV", "ISO-8859-1", 1);
    ::setenv("MDB_JET3_CHARSET", "CP437", 1);
    try {
      CVdDatabase db;
      db.Open(CString(W(kSample)), 0, 0);
      CVdRecordset rs(&db);
      rs.Open(0, L"Select Address From Customers WHERE CustomerID = 'ANATR'", 0);
      CDBVariant v;
      rs.GetFieldValue(short{0}, v);
      return Text(v) == "Avda. de la Constitución 2222" ? 0 : 1;
    } catch (CDBException* e) {
      e->Delete();
      return 2;
    }
  });
  ASSERT_TRUE(r.exited) << r.signal;
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.output, "");
}

TEST(AccessDatabaseSpeed, TheSampleOpensQuickly) {
  SKIP_WITHOUT_SAMPLE();
  double best = 1e9;
  for (int k = 0; k < 3; ++k) {
    const auto start = std::chrono::steady_clock::now();
    CVdDatabase db;
    db.Open(CString(W(kSample)), 0, 0);
    best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  RecordProperty("open_ms", std::to_string(best));
  std::printf("[ timing ] %s opens in %.1f ms\n", kSample.c_str(), best);
  // Tens of milliseconds in an optimised build; the bound leaves room for sanitizers and valgrind.
  EXPECT_LT(best, 5000.0);
}

}  // namespace
