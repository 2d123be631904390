// CVdDatabase against real files: what it opens and refuses, the table list, read-only files, locks held by
// other connections and transactions.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include "support/TestDb.h"
#include "db/postgres/ServerAddress.h"

namespace {

using vdtest::RawDb;

class VdDatabaseTest : public vdtest::DbTest {
 protected:
  // A catalog-like file with one family table holding a few rows.
  std::string MakeCatalog(const std::string& name = "catalog.db") {
    return MakeDb(name,
                  "CREATE TABLE Beams (Name TEXT, h DOUBLE);"
                  "INSERT INTO Beams VALUES ('HEA 100', 96), ('HEA 120', 114);");
  }
  std::string Names(const std::string& path) { return RawDb(path).One("SELECT group_concat(Name, '|') FROM Beams"); }
};

// ------------------------------------------------------------------ opening

TEST_F(VdDatabaseTest, OpensAnSqliteFileAndAFailedOpenKeepsTheConnectionThatWasOpen) {
  const std::string path = MakeCatalog();
  CVdDatabase db;
  db.Open(CString(path.c_str()), 0, 0);
  EXPECT_TRUE(db.CanUpdate());
  EXPECT_EQ(U8(db.GetDatabaseName()), path);
  EXPECT_TRUE(CatchDb([&] { db.Open(CString(m_dir.File("nothing.db").c_str()), 0, 0); }).thrown);
  EXPECT_TRUE(db.IsOpen());
  EXPECT_EQ(U8(db.GetDatabaseName()), path);
  EXPECT_EQ(db.GetTableDefCount(), 1);
  db.Close();
  EXPECT_FALSE(db.IsOpen());
  EXPECT_TRUE(db.GetDatabaseName().IsEmpty());
}

TEST_F(VdDatabaseTest, RefusesMissingFilesAndFilesThatAreNoDatabase) {
  std::string disguised = vdtest::ReadBytes(MakeCatalog());
  disguised.replace(0, 19, std::string("\0\1\0\0Standard Jet DB", 19));  // an Access signature on SQLite pages
  const std::string big = vdtest::ReadBytes(
      MakeDb("big.db",
             "CREATE TABLE Beams (Name TEXT, Note TEXT); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
             "FROM n WHERE i < 2000) INSERT INTO Beams SELECT 'P' || i, hex(randomblob(40)) FROM n"));
  const std::string kNoFile = "<no file>";
  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"missing.mdb", kNoFile, ""},
      {"notes.mdb", "Name;h\nHEA 100;96\n", "not a database"},
      {"empty.mdb", "", "empty"},
      {"access.mdb", std::string("\0\1\0\0Standard Jet DB\0", 20) + std::string(200, '\0'), "Access"},
      {"disguised.mdb", disguised, ""},
      {"header.mdb", std::string("SQLite format 3\0", 16) + "short", "truncated"},
      {"cut.mdb", big.substr(0, big.size() / 2), "truncated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool exists = c.bytes != kNoFile;
    const std::string path = exists ? m_dir.Write(c.name, c.bytes) : m_dir.File(c.name);
    CVdDatabase db;
    const DbFailure f = CatchDb([&] { db.Open(CString(path.c_str()), 0, 0); });
    ASSERT_TRUE(f.thrown);
    EXPECT_EQ(f.retCode, SQL_ERROR);
    EXPECT_TRUE(f.HasState("08001")) << f.stateNativeOrigin;
    EXPECT_TRUE(f.Mentions(path)) << f.message;
    EXPECT_TRUE(f.Mentions(c.reason)) << testing::PrintToString(f.message);
    EXPECT_FALSE(db.IsOpen());
    EXPECT_EQ(std::filesystem::exists(path), exists);  // a missing file is not created
  }
}

// ------------------------------------------------------------------ table definitions

TEST_F(VdDatabaseTest, ListsTablesByNameIgnoringCaseAndMarksEngineAndMissingTables) {
  const std::string path = MakeDb("tables.db",
                                  "CREATE TABLE gamma (x); CREATE TABLE Alpha (x); CREATE TABLE beta (id INTEGER "
                                  "PRIMARY KEY AUTOINCREMENT); CREATE TABLE _under (x); CREATE VIEW v AS SELECT * "
                                  "FROM gamma; INSERT INTO beta DEFAULT VALUES;");
  CVdDatabase db;
  db.Open(CString(path.c_str()), 0, 0);
  ASSERT_EQ(db.GetTableDefCount(), 5);
  const char* expected[] = {"_under", "Alpha", "beta", "gamma", "sqlite_sequence"};
  CVdODBCTableDefInfo info;
  for (unsigned i = 0; i < 5; ++i) {
    EXPECT_TRUE(db.GetTableDefInfo(i, info));
    EXPECT_EQ(U8(info.m_strName), expected[i]);
    EXPECT_EQ((info.m_lAttributes & VD_TABLEDEF_SYSTEM) != 0, i == 4) << i;
  }
  EXPECT_TRUE(CatchDb([&] { db.GetTableDefInfo(5u, info); }).thrown);
  EXPECT_TRUE(db.GetTableDefInfo(L"ALPHA", info));
  EXPECT_EQ(U8(info.m_strName), "Alpha");
  EXPECT_EQ(info.m_lAttributes & VD_TABLEDEF_SYSTEM, 0);

  // A missing table is no failure and carries the system bit.
  info.m_strName = L"stale";
  int found = -1;
  EXPECT_FALSE(CatchDb([&] { found = db.GetTableDefInfo(L"Columns", info); }).thrown);
  EXPECT_EQ(found, 0);
  EXPECT_TRUE(info.m_strName.IsEmpty());
  EXPECT_NE(info.m_lAttributes & 4, 0);
  EXPECT_NE(info.m_lAttributes & VD_TABLEDEF_MISSING, 0);

  // The list follows schema changes of other connections and of this one.
  RawDb(path).Exec("CREATE TABLE Angles (Name TEXT)");
  ASSERT_EQ(db.GetTableDefCount(), 6);
  db.GetTableDefInfo(1u, info);
  EXPECT_EQ(U8(info.m_strName), "Alpha");
  db.GetTableDefInfo(2u, info);
  EXPECT_EQ(U8(info.m_strName), "Angles");
  db.ExecuteSQL(L"DROP TABLE [Angles]");
  EXPECT_EQ(db.GetTableDefCount(), 5);
  EXPECT_FALSE(db.GetTableDefInfo(L"Angles", info));
}

// ------------------------------------------------------------------ read-only files

// A file without write permission, one in a folder without it, and the read-only argument: every kind of write
// must throw and leave the file's bytes as they were.
TEST_F(VdDatabaseTest, ReadOnlyFilesRefuseEveryWriteAndStayUnchanged) {
  const std::string path = MakeCatalog();
  for (int how = 0; how < 3; ++how) {
    SCOPED_TRACE(how);
    if (how == 1) {
      ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    } else if (how == 2) {
      ASSERT_EQ(::chmod(path.c_str(), 0644) + ::chmod(m_dir.path().c_str(), 0555), 0);
    }
    const std::string before = vdtest::ReadBytes(path);
    CVdDatabase db;
    db.Open(CString(path.c_str()), 0, how == 0 ? 1 : 0);
    EXPECT_FALSE(db.CanUpdate());
    CVdRecordset rs(&db);
    rs.Open(0, L"Select * From [Beams] WHERE Name = 'HEA 100'", 0);
    ASSERT_EQ(rs.GetRecordCount(), 1);  // reading still works
    EXPECT_FALSE(rs.CanUpdate());
    const DbFailure edit = CatchDb([&] { rs.Edit(); });
    EXPECT_TRUE(edit.Mentions("read-only")) << testing::PrintToString(edit.message);
    EXPECT_TRUE(CatchDb([&] { rs.AddNew(); }).thrown);
    EXPECT_TRUE(CatchDb([&] { rs.Delete(); }).thrown);
    EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(L"DELETE FROM Beams"); }).thrown);
    EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(L"CREATE TABLE More (x)"); }).thrown);
    rs.Close();
    db.Close();
    EXPECT_EQ(vdtest::ReadBytes(path), before);
  }
}

// ------------------------------------------------------------------ failures and statement text

// Callers above the toolkit tell failures apart by category and write names and texts through one helper each:
// what they are told must hold whatever the engine's own words.
TEST_F(VdDatabaseTest, FailuresHaveCategoriesAndNamesAndTextsAreWrittenSafely) {
  const std::string path = MakeCatalog();
  CVdDatabase db;
  EXPECT_TRUE(CatchDb([&] { db.GetTableDefCount(); }).thrown);  // closed
  EXPECT_TRUE(CatchDb([&] { db.BeginTrans(); }).thrown);
  CVdRecordset closed(&db);
  EXPECT_TRUE(CatchDb([&] { closed.Open(0, L"SELECT 1", 0); }).thrown);
  db.Open(CString(path.c_str()), 0, 0);
  EXPECT_EQ(CatchDb([&] { db.ExecuteSQL(L"SELECT * FROM [Nowhere]"); }).category, CDBException::eNoSuchObject);
  db.ExecuteSQL(L"UPDATE [Beams] SET h = 100 WHERE Name = 'HEA 100';");  // a trailing semicolon is no statement
  EXPECT_EQ(RawDb(path).One("SELECT group_concat(h, '|') FROM Beams"), "100.0|114.0");

  CString out = L"unchanged";
  EXPECT_FALSE(VdBracketName(L"a]b", out));
  EXPECT_FALSE(VdBracketName(L"", out));
  EXPECT_FALSE(VdBracketName(CString(std::wstring(L"a\0b", 3)), out));
  EXPECT_EQ(out, CString(L"unchanged"));
  ASSERT_TRUE(VdBracketName(L"Select 1", out));
  EXPECT_EQ(out, CString(L"[Select 1]"));
  EXPECT_EQ(VdQuoteText(L"O'Neil''s"), CString(L"'O''Neil''''s'"));

  bool text = false;
  EXPECT_TRUE(VdIsKnownColumnType(L" varchar(50) ", &text));
  EXPECT_TRUE(text);
  EXPECT_TRUE(VdIsKnownColumnType(L"DOUBLE", &text));
  EXPECT_FALSE(text);
  EXPECT_FALSE(VdIsKnownColumnType(L"DOUBLE;DROP", &text));
}

// ------------------------------------------------------------------ locks of other connections

TEST_F(VdDatabaseTest, LocksOfAnotherConnectionMakeReadsAndWritesTimeOutAndChangeNothing) {
  const std::string path = MakeCatalog();
  CVdDatabase db;
  db.SetBusyTimeout(50);
  db.Open(CString(path.c_str()), 0, 0);
  RawDb other(path);
  other.Exec("BEGIN EXCLUSIVE");
  CVdRecordset rs(&db);
  const DbFailure f = CatchDb([&] { rs.Open(0, L"SELECT * FROM [Beams]", 0); });
  ASSERT_TRUE(f.thrown);
  EXPECT_TRUE(f.HasState("HYT00")) << testing::PrintToString(f.stateNativeOrigin);
  EXPECT_EQ(f.category, CDBException::eTimeout);
  EXPECT_TRUE(f.Mentions("locked")) << testing::PrintToString(f.message);
  EXPECT_FALSE(rs.IsOpen());
  other.Exec("ROLLBACK");

  rs.Open(0, L"Select * From [Beams] WHERE Name = 'HEA 100'", 0);
  other.Exec("BEGIN IMMEDIATE");
  rs.Edit();
  rs.SetFieldValue(L"h", COleVariant(97.0));
  EXPECT_TRUE(CatchDb([&] { rs.Update(); }).HasState("HYT00"));
  other.Exec("COMMIT");
  EXPECT_EQ(other.One("SELECT h FROM Beams WHERE Name = 'HEA 100'"), "96.0");

  // A write group outside a transaction is one: it holds the write lock, so another writer has to wait.
  db.BeginWriteGroup();
  db.ExecuteSQL(L"DELETE FROM Beams WHERE Name = 'HEA 120'");
  EXPECT_NE(other.TryExec("INSERT INTO Beams (Name) VALUES ('other')"), 0);
  db.EndWriteGroup(TRUE);
  EXPECT_EQ(Names(path), "HEA 100");
}

// ------------------------------------------------------------------ transactions

TEST_F(VdDatabaseTest, TransactionStatementsRunAgainAndAgainThroughExecuteSql) {
  const std::string path = MakeCatalog();
  CVdDatabase db;
  db.Open(CString(path.c_str()), 0, 0);
  for (int round = 0; round < 3; ++round) {  // the statements are kept prepared: each run must still act
    db.ExecuteSQL(L"BEGIN");
    EXPECT_TRUE(db.IsInTransaction());
    db.ExecuteSQL(L"UPDATE [Beams] SET h = h + 1 WHERE Name = 'HEA 100'");
    db.ExecuteSQL(round == 1 ? L"ROLLBACK" : L"COMMIT");
    EXPECT_FALSE(db.IsInTransaction());
  }
  EXPECT_EQ(RawDb(path).One("SELECT h FROM Beams WHERE Name = 'HEA 100'"), "98.0");
  for (const wchar_t* end : {L"COMMIT", L"ROLLBACK", L"COMMIT"}) {
    const DbFailure f = CatchDb([&] { db.ExecuteSQL(end); });
    EXPECT_EQ(f.retCode, SQL_ERROR);
    EXPECT_TRUE(f.Mentions(U8(end))) << f.message;
    EXPECT_TRUE(f.Mentions("no transaction is active")) << f.message;
  }
  db.ExecuteSQL(L"BEGIN");
  EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(L"BEGIN"); }).thrown);
  EXPECT_TRUE(db.IsInTransaction());
  db.ExecuteSQL(L"COMMIT");
  EXPECT_FALSE(db.IsInTransaction());
}

// A full disk makes the engine undo the whole transaction by itself. The writes after it must not run one by
// one as transactions of their own (an import did so, and kept the rows before the failing one): the transaction
// stays open and lost, as a server's lost connection leaves it, until the host ends it.
TEST_F(VdDatabaseTest, ATransactionTheEngineUndidOnAFullDiskFailsEveryCallUntilTheHostEndsIt) {
  const std::string path = MakeCatalog();
  CVdDatabase db;
  db.Open(CString(path.c_str()), 0, 0);
  db.ExecuteSQL(L"PRAGMA max_page_count = 1");  // no page beyond those the file has: a full disk
  const CString big = L"INSERT INTO [Beams] VALUES ('" + CString(std::wstring(20000, L'x').c_str()) + L"', 1)";
  for (const bool group : {false, true}) {
    SCOPED_TRACE(group ? "write group" : "transaction");
    if (group)
      db.BeginWriteGroup();
    else
      ASSERT_TRUE(db.BeginTrans());
    db.ExecuteSQL(L"UPDATE [Beams] SET h = 1 WHERE Name = 'HEA 100'");
    if (group) db.BeginWriteGroup();
    EXPECT_TRUE(CatchDb([&] { db.ExecuteSQL(big); }).Mentions("full"));
    for (int call = 0; call < 2; ++call) {
      const DbFailure lost = CatchDb([&] { db.ExecuteSQL(L"UPDATE [Beams] SET h = 2 WHERE Name = 'HEA 120'"); });
      EXPECT_TRUE(lost.Mentions("undid the open transaction")) << lost.message;
    }
    EXPECT_TRUE(db.IsInTransaction());
    EXPECT_TRUE(db.IsTransactionLost());
    if (group) {
      db.EndWriteGroup(FALSE);
      EXPECT_TRUE(CatchDb([&] { db.BeginWriteGroup(); }).thrown);
      EXPECT_TRUE(CatchDb([&] { db.EndWriteGroup(TRUE); }).thrown);
    } else {
      EXPECT_TRUE(CatchDb([&] { db.CommitTrans(); }).thrown);
      EXPECT_TRUE(db.Rollback());
    }
    EXPECT_FALSE(db.IsInTransaction());
    EXPECT_FALSE(db.IsTransactionLost());
    EXPECT_EQ(RawDb(path).One("SELECT group_concat(h, '|') FROM Beams"), "96.0|114.0");
  }
  db.ExecuteSQL(L"UPDATE [Beams] SET h = 97 WHERE Name = 'HEA 100'");  // and writes go on after
  EXPECT_EQ(RawDb(path).One("SELECT h FROM Beams WHERE Name = 'HEA 100'"), "97.0");
}

TEST_F(VdDatabaseTest, AStatementPastItsTimeLimitIsStoppedWithTimeoutState) {
  CVdDatabase db;
  db.SetQueryTimeout(1);
  db.Open(CString(MakeCatalog().c_str()), 0, 0);
  CVdRecordset rs(&db);
  const DbFailure f = CatchDb([&] {
    rs.Open(0, L"WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) SELECT count(*) FROM r", 0);
  });
  EXPECT_TRUE(f.HasState("HYT00")) << f.stateNativeOrigin;
  EXPECT_TRUE(f.Mentions("time limit of 1 s")) << f.message;
  rs.Open(0, L"SELECT count(*) FROM Beams", 0);  // the connection works on
  EXPECT_EQ(rs.GetRecordCount(), 1);
}

// ------------------------------------------------------------------ on every engine

class VdDatabaseEngineTest : public vdtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped()) return;
    m_address = MakeEmptyDb("catalog.mdb");
    m_db.Open(Address(), 0, 0);
    m_db.ExecuteSQL(L"CREATE TABLE Beams (Name TEXT(50), h DOUBLE)");
    m_db.ExecuteSQL(L"INSERT INTO Beams (Name, h) VALUES ('HEA 100', 96), ('HEA 120', 114)");
  }
  CString Address() const { return CString(VdFromUtf8(m_address).c_str()); }

  // The names in the table, in order, as another connection sees them.
  std::string Names() {
    CVdDatabase other;
    other.Open(Address(), 0, 1);
    return Column(other, L"SELECT Name FROM [Beams] ORDER BY Name");
  }
  void Add(const wchar_t* name) { m_db.ExecuteSQL(CString(L"INSERT INTO Beams (Name) VALUES ('") + name + L"')"); }

  std::string m_address;  // the file, or the catalog on the server
  CVdDatabase m_db;
};

TEST_F(VdDatabaseEngineTest, FailuresCarryTheSameStatesAndChangeNothing) {
  m_db.ExecuteSQL(L"CREATE UNIQUE INDEX ix ON Beams (Name)");
  EXPECT_EQ(CatchDb([&] { m_db.ExecuteSQL(L"SELECT * FROM WHERE"); }).category, CDBException::eSyntax);
  EXPECT_TRUE(CatchDb([&] { m_db.ExecuteSQL(L"SELECT * FROM [Nowhere]"); }).HasState("42S02"));
  EXPECT_TRUE(CatchDb([&] { m_db.ExecuteSQL(L"SELECT Width FROM [Beams]"); }).HasState("42S22"));
  const DbFailure duplicate = CatchDb([&] { Add(L"HEA 100"); });
  EXPECT_TRUE(duplicate.HasState("23000"));
  EXPECT_EQ(duplicate.category, CDBException::eConstraint);
  const DbFailure two = CatchDb([&] { m_db.ExecuteSQL(L"INSERT INTO Beams (Name) VALUES ('A'); DELETE FROM Beams"); });
  EXPECT_TRUE(two.HasState("42000"));
  EXPECT_EQ(Names(), "HEA 100|HEA 120");

  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT * FROM [Beams] WHERE Name = 'hea 120' AND IIF(h > 100, 1, 0) = 1 AND NOT IsNull(h)", 0);
  EXPECT_EQ(rs.GetRecordCount(), 1);
  EXPECT_EQ(rs.GetODBCFieldCount(), 2);  // the row identity is never shown
  CODBCFieldInfo info;
  rs.GetODBCFieldInfo(static_cast<short>(0), info);
  EXPECT_EQ(info.m_nSQLType, SQL_VARCHAR);
  rs.GetODBCFieldInfo(static_cast<short>(1), info);
  EXPECT_EQ(info.m_nSQLType, SQL_DOUBLE);
  EXPECT_EQ(CatchDb([&] { rs.Open(0, L"SELECT * FROM [Beams] WHERE 0", 0); }).thrown, false);
  EXPECT_EQ(rs.GetRecordCount(), 0);
}

TEST_F(VdDatabaseEngineTest, TransactionsAndWriteGroupsKeepOrUndoTheirOwnWrites) {
  CVdRecordset rs(&m_db);
  rs.Open(0, L"Beams", 0);
  ASSERT_TRUE(m_db.BeginTrans());
  EXPECT_FALSE(m_db.BeginTrans());
  Add(L"A");
  EXPECT_TRUE(CatchDb([&] { m_db.ExecuteSQL(L"INSERT INTO [Nowhere] (Name) VALUES ('x')"); }).thrown);
  rs.AddNew();  // a failed statement leaves the transaction usable, to record sets too
  rs.SetFieldValue(L"Name", L"B");
  rs.Update();
  EXPECT_EQ(Names(), "HEA 100|HEA 120");  // nothing visible outside yet
  ASSERT_TRUE(m_db.Rollback());
  EXPECT_FALSE(m_db.Rollback());
  EXPECT_EQ(Names(), "HEA 100|HEA 120");

  m_db.BeginWriteGroup();
  EXPECT_TRUE(m_db.IsInTransaction());
  Add(L"A");
  m_db.BeginWriteGroup();
  Add(L"B");
  m_db.EndWriteGroup(FALSE);
  m_db.EndWriteGroup(TRUE);
  EXPECT_FALSE(m_db.IsInTransaction());
  EXPECT_EQ(Names(), "A|HEA 100|HEA 120");

  ASSERT_TRUE(m_db.BeginTrans());
  Add(L"C");
  m_db.BeginWriteGroup();
  Add(L"D");
  m_db.EndWriteGroup(FALSE);
  EXPECT_TRUE(m_db.IsInTransaction());  // an undone group leaves the host's writes, and the host still decides
  m_db.BeginWriteGroup();
  Add(L"E");
  m_db.EndWriteGroup(TRUE);
  ASSERT_TRUE(m_db.CommitTrans());
  EXPECT_FALSE(m_db.CommitTrans());
  EXPECT_EQ(Names(), "A|C|E|HEA 100|HEA 120");

  // A table an undone group made leaves the table list, even when the next group changes the schema as often
  // (a file's schema version then comes back to the number the list was read at).
  for (const wchar_t* kept : {L"Kept1", L"Kept2"}) {
    const bool inHostTransaction = std::wstring(kept) == L"Kept2";
    if (inHostTransaction) {
      ASSERT_TRUE(m_db.BeginTrans());
    }
    CVdODBCTableDefInfo info;
    m_db.BeginWriteGroup();
    m_db.ExecuteSQL(L"CREATE TABLE [Undone] ([Name] TEXT)");
    EXPECT_TRUE(m_db.GetTableDefInfo(L"Undone", info));
    m_db.EndWriteGroup(FALSE);
    m_db.BeginWriteGroup();
    m_db.ExecuteSQL(CString(L"CREATE TABLE [") + kept + L"] ([Name] TEXT)");
    EXPECT_FALSE(m_db.GetTableDefInfo(L"Undone", info)) << kept;
    EXPECT_TRUE(m_db.GetTableDefInfo(kept, info)) << kept;
    m_db.EndWriteGroup(TRUE);
    if (inHostTransaction) {
      ASSERT_TRUE(m_db.CommitTrans());
    }
  }

  // Edits through a record set write exactly the current row.
  rs.Open(0, L"SELECT * FROM [Beams] WHERE Name = 'C'", 0);
  ASSERT_TRUE(rs.CanUpdate());
  rs.Edit();
  rs.SetFieldValue(L"Name", L"G");
  rs.SetFieldValue(L"h", COleVariant(5.5));
  rs.Update();
  rs.AddNew();
  rs.SetFieldValue(L"Name", L"F");
  rs.Update();
  EXPECT_EQ(Names(), "A|E|F|G|HEA 100|HEA 120");
  rs.MoveFirst();
  rs.Delete();
  EXPECT_EQ(Names(), "A|E|F|HEA 100|HEA 120");
}

TEST_F(VdDatabaseEngineTest, AReadGroupGoesOnAfterFailedReadsAndKeepsWhatRanBeforeThem) {
  const BOOL began = m_db.BeginReadGroup();
  ASSERT_TRUE(began);
  CVdRecordset rs(&m_db);
  for (int k = 0; k < 2; ++k) {  // twice: the second failure meets what the first one left
    rs.Open(0, L"SELECT * FROM [Beams] WHERE Name = 'HEA 100'", 0);
    EXPECT_EQ(rs.GetRecordCount(), 1);
    rs.Close();
    EXPECT_TRUE(CatchDb([&] { rs.Open(0, L"SELECT Width FROM [Beams]", 0); }).HasState("42S22"));
  }
  if (OnServer()) {
    // A setting made inside the group outlives a read that fails after it.
    m_db.SetBusyTimeout(1234);
    EXPECT_TRUE(CatchDb([&] { rs.Open(0, L"SELECT Width FROM [Beams]", 0); }).HasState("42S22"));
    EXPECT_EQ(Column(m_db, L"SELECT current_setting('lock_timeout') AS t FROM [Beams] WHERE Name = 'HEA 100'"),
              "1234ms");
  }
  rs.Open(0, L"SELECT Name FROM [Beams]", 0);
  EXPECT_EQ(rs.GetRecordCount(), 2);
  rs.Close();
  m_db.EndReadGroup(began);
  EXPECT_FALSE(m_db.IsInTransaction());
}

// A time-out set before or inside a write transaction that is then rolled back stays set: the server undoes the
// settings a transaction carried, and the connection sends them again.
TEST_F(VdDatabaseEngineTest, TimeOutsOutliveATransactionRolledBack) {
  const auto lockTimeout = [&] {
    return Column(m_db, L"SELECT current_setting('lock_timeout') AS t FROM [Beams] WHERE Name = 'HEA 100'");
  };
  if (!OnServer()) GTEST_SKIP() << "server sessions only";
  m_db.SetBusyTimeout(4321);  // sent with the BEGIN
  ASSERT_TRUE(m_db.BeginTrans());
  m_db.ExecuteSQL(L"UPDATE Beams SET h = 2 WHERE Name = 'HEA 100'");
  ASSERT_TRUE(m_db.Rollback());
  EXPECT_EQ(lockTimeout(), "4321ms");
  ASSERT_TRUE(m_db.BeginTrans());
  m_db.SetBusyTimeout(1234);  // sent at once, inside the transaction
  ASSERT_TRUE(m_db.Rollback());
  EXPECT_EQ(lockTimeout(), "1234ms");
}

TEST_F(VdDatabaseEngineTest, AWriteWaitingForAnotherWriterTimesOutAndChangesNothing) {
  CVdDatabase other;
  other.Open(Address(), 0, 0);
  ASSERT_TRUE(other.BeginTrans());
  other.ExecuteSQL(L"UPDATE Beams SET h = 1 WHERE Name = 'HEA 100'");
  m_db.SetBusyTimeout(50);
  const DbFailure f = CatchDb([&] { m_db.ExecuteSQL(L"UPDATE Beams SET h = 2 WHERE Name = 'HEA 100'"); });
  EXPECT_TRUE(f.HasState("HYT00")) << f.stateNativeOrigin;
  EXPECT_EQ(f.category, CDBException::eTimeout);
  ASSERT_TRUE(other.Rollback());
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT h FROM Beams WHERE Name = 'HEA 100'", 0);
  CDBVariant v;
  rs.GetFieldValue(static_cast<short>(0), v);
  EXPECT_EQ(v.m_dblVal, 96.0);
}

TEST_F(VdDatabaseEngineTest, ServerCatalogsAreSchemasReachedByAddressOrLinkFile) {
  if (!OnServer()) GTEST_SKIP() << "catalogs on a server only";
  const std::string base = vdtest::ServerBase();
  CVdDatabase db;
  const DbFailure missing = CatchDb([&] { db.Open(CString(VdFromUtf8(base + "?catalog=no_such_catalog").c_str())); });
  EXPECT_TRUE(missing.HasState("08001"));
  EXPECT_TRUE(missing.Mentions("no_such_catalog"));
  EXPECT_FALSE(db.IsOpen());
  EXPECT_TRUE(CatchDb([&] { CVdDatabase::CreateDatabase(Address()); }).HasState("08001"));

  vdtest::TempDir dir;
  const std::string link = dir.File("catalog.vdlink");
  vdpattern::db::WriteLinkFile(CString(VdFromUtf8(link).c_str()), VdFromUtf8(m_address));
  db.Open(CString(VdFromUtf8(link).c_str()));
  CVdODBCTableDefInfo info;
  EXPECT_EQ(db.GetTableDefCount(), 1);
  EXPECT_TRUE(db.GetTableDefInfo(L"beams", info));
  EXPECT_EQ(U8(info.m_strName), "Beams");
}

TEST_F(VdDatabaseEngineTest, ALostServerConnectionFailsOneCallAndTheNextReconnects) {
  if (!OnServer()) GTEST_SKIP() << "server connections only";
  const std::string pid = Column(m_db, L"SELECT pg_backend_pid()");
  CVdDatabase other;
  other.Open(Address());
  EXPECT_EQ(Column(other, VdFromUtf8("SELECT pg_terminate_backend(" + pid + ")").c_str()), "1");
  const DbFailure lost = CatchDb([&] { Column(m_db, L"SELECT count(*) FROM Beams"); });
  EXPECT_TRUE(lost.HasState("08S01")) << lost.stateNativeOrigin;
  EXPECT_EQ(lost.category, CDBException::eConnection);
  EXPECT_EQ(Column(m_db, L"SELECT count(*) FROM Beams"), "2");
  EXPECT_NE(Column(m_db, L"SELECT pg_backend_pid()"), pid);

  m_db.SetQueryTimeout(1);
  const DbFailure slow = CatchDb([&] { m_db.ExecuteSQL(L"SELECT pg_sleep(30)"); });
  EXPECT_TRUE(slow.HasState("HYT00")) << slow.stateNativeOrigin;
  EXPECT_TRUE(slow.Mentions("time limit of 1 s")) << slow.message;
}

TEST_F(VdDatabaseEngineTest, AConnectionLostInsideATransactionFailsEveryCallUntilTheHostEndsIt) {
  if (!OnServer()) GTEST_SKIP() << "server connections only";
  // The host's own transaction, and a write group with another nested in it (as an import row by row).
  for (const bool group : {false, true}) {
    SCOPED_TRACE(group ? "write group" : "transaction");
    const std::string pid = Column(m_db, L"SELECT pg_backend_pid()");
    if (group)
      m_db.BeginWriteGroup();
    else
      ASSERT_TRUE(m_db.BeginTrans());
    Add(L"HEA 140");
    if (group) m_db.BeginWriteGroup();
    CVdDatabase other;
    other.Open(Address());
    EXPECT_EQ(Column(other, VdFromUtf8("SELECT pg_terminate_backend(" + pid + ")").c_str()), "1");
    // Not only the first call: a call that reconnected would write outside the transaction.
    for (int call = 0; call < 3; ++call) {
      const DbFailure lost = CatchDb([&] { Add(L"HEA 160"); });
      EXPECT_TRUE(lost.HasState("08S01")) << lost.stateNativeOrigin;
      EXPECT_EQ(lost.category, CDBException::eConnection);
    }
    EXPECT_TRUE(CatchDb([&] { Column(m_db, L"SELECT count(*) FROM Beams"); }).HasState("08S01"));
    EXPECT_TRUE(m_db.IsInTransaction());
    EXPECT_TRUE(m_db.IsTransactionLost());
    if (group) {
      m_db.EndWriteGroup(FALSE);  // the inner group's writes went with the transaction
      EXPECT_TRUE(CatchDb([&] { m_db.BeginWriteGroup(); }).HasState("08S01"));
      EXPECT_TRUE(CatchDb([&] { m_db.EndWriteGroup(TRUE); }).HasState("08S01"));
    } else {
      EXPECT_TRUE(CatchDb([&] { m_db.CommitTrans(); }).HasState("08S01"));
      EXPECT_TRUE(m_db.Rollback());
    }
    EXPECT_FALSE(m_db.IsInTransaction());
    EXPECT_FALSE(m_db.IsTransactionLost());
    EXPECT_EQ(Names(), "HEA 100|HEA 120");
    EXPECT_NE(Column(m_db, L"SELECT pg_backend_pid()"), pid);
  }
}

TEST_F(VdDatabaseEngineTest, ANewServerCatalogIsMadeByItsFirstTransactionAndNothingIsLeftWhenThatEnds) {
  if (!OnServer()) GTEST_SKIP() << "catalogs on a server only (a file is made at once, under a temporary name)";
  const CString address(VdFromUtf8(NewDbAddress("made.mdb")).c_str());
  EXPECT_TRUE(CatchDb([&] { CVdDatabase().CreateAndOpen(Address()); }).Mentions("already exists"));
  // Undone by the host, by a lost connection (a stopped process or server ends it so), by a failed commit.
  for (const char* end : {"rollback", "lost connection", "failed statement"}) {
    SCOPED_TRACE(end);
    CVdDatabase made;
    made.CreateAndOpen(address);
    EXPECT_EQ(made.GetTableDefCount(), 0);
    made.BeginWriteGroup();
    made.ExecuteSQL(L"CREATE TABLE Beams (Name TEXT(50), h DOUBLE)");
    made.ExecuteSQL(L"INSERT INTO Beams (Name, h) VALUES ('IPE 80', 80)");
    EXPECT_EQ(made.GetTableDefCount(), 1);
    if (std::string(end) == "rollback") {
      made.EndWriteGroup(FALSE);
    } else if (std::string(end) == "lost connection") {
      const std::string pid = Column(made, L"SELECT pg_backend_pid()");
      EXPECT_EQ(Column(m_db, VdFromUtf8("SELECT pg_terminate_backend(" + pid + ")").c_str()), "1");
      EXPECT_TRUE(CatchDb([&] { made.EndWriteGroup(TRUE); }).HasState("08S01"));
    } else {
      EXPECT_TRUE(
          CatchDb([&] { made.ExecuteSQL(L"INSERT INTO Beams (Name, h) VALUES ('x', 'not a number')"); }).thrown);
      made.EndWriteGroup(FALSE);
    }
    EXPECT_FALSE(made.IsInTransaction());
    const DbFailure gone = CatchDb([&] { CVdDatabase().Open(address); });
    EXPECT_TRUE(gone.HasState("08001") && gone.Mentions("does not exist")) << gone.message;
    EXPECT_EQ(made.GetTableDefCount(), 0);
  }
  {
    CVdDatabase made;
    made.CreateAndOpen(address);
    ASSERT_TRUE(made.BeginTrans());
    made.ExecuteSQL(L"CREATE TABLE Beams (Name TEXT(50), h DOUBLE)");
    made.ExecuteSQL(L"INSERT INTO Beams (Name, h) VALUES ('IPE 80', 80)");
    made.CommitTrans();
    made.ExecuteSQL(L"INSERT INTO Beams (Name, h) VALUES ('IPE 100', 100)");  // later transactions make nothing
  }
  CVdDatabase reader;
  reader.Open(address);
  EXPECT_EQ(Column(reader, L"SELECT Name FROM Beams WHERE Name = 'ipe 80' OR h = 100 ORDER BY h"), "IPE 80|IPE 100");
  EXPECT_TRUE(CatchDb([&] { CVdDatabase().CreateAndOpen(address); }).Mentions("already exists"));
}

TEST_F(VdDatabaseEngineTest, AServerCatalogThatCannotBeWrittenSaysWhy) {
  if (!OnServer()) GTEST_SKIP() << "server rights and tables only";
  m_db.ExecuteSQL(L"CREATE TABLE Hand (Name TEXT(20))");
  m_db.ExecuteSQL(L"ALTER TABLE Hand DROP COLUMN vd_row");  // as made by hand, without the library
  m_db.ExecuteSQL(L"INSERT INTO Hand (Name) VALUES ('a')");
  {
    CVdRecordset rs(&m_db);
    rs.Open(0, L"SELECT * FROM Hand", 0);
    EXPECT_FALSE(rs.CanUpdate());
    const DbFailure refused = CatchDb([&] { rs.AddNew(); });
    EXPECT_TRUE(refused.Mentions("\"Hand\" was not made by the library") && refused.Mentions("vd_row"))
        << refused.message;
  }

  const std::string suffix = std::to_string(::getpid());
  const struct {
    const char* role;
    const char* grants;  // beyond USAGE on the schema and SELECT on its tables
    bool writable;
  } roles[] = {
      {"vdtest_reads_", "", false},
      {"vdtest_writes_", "GRANT INSERT, UPDATE, DELETE ON [catalog].[Beams] TO [%r]", true},
      {"vdtest_creates_", "GRANT CREATE ON SCHEMA [catalog] TO [%r]", true},
  };
  for (const auto& r : roles) {
    const std::string role = r.role + suffix;
    SCOPED_TRACE(role);
    auto sql = [&](std::string text) {
      for (std::size_t at; (at = text.find("%r")) != std::string::npos;) text.replace(at, 2, role);
      m_db.ExecuteSQL(VdFromUtf8(text).c_str());
    };
    sql("CREATE ROLE [%r] LOGIN");
    sql("GRANT USAGE ON SCHEMA [catalog] TO [%r]");
    sql("GRANT SELECT ON ALL TABLES IN SCHEMA [catalog] TO [%r]");
    if (*r.grants) sql(r.grants);
    {
      CVdDatabase as;
      as.Open(CString(VdFromUtf8(m_address + "&user=" + role).c_str()));
      EXPECT_EQ(as.CanUpdate() != FALSE, r.writable);
      const std::string reason = U8(as.GetReadOnlyReason());
      EXPECT_EQ(reason.find("The role \"" + role + "\" may only read") != std::string::npos, !r.writable) << reason;
      if (!r.writable) {
        CVdRecordset rs(&as);
        rs.Open(0, L"SELECT * FROM Beams", 0);
        EXPECT_TRUE(CatchDb([&] { rs.AddNew(); }).Mentions(reason));
      }
    }
    sql("DROP OWNED BY [%r]");
    sql("DROP ROLE [%r]");
  }
}

TEST_F(VdDatabaseEngineTest, ServerNumbersBeyondADoubleAndUuidsReadAsTheirExactText) {
  if (!OnServer()) GTEST_SKIP() << "server types only";
  m_db.ExecuteSQL(L"CREATE TABLE N (a numeric(40,20), b uuid, c numeric(10,2), d numeric, e CURRENCY)");
  m_db.ExecuteSQL(
      L"INSERT INTO N (a, b, c, d, e) VALUES ('12345678901234567890.12345678901234567890', "
      L"'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', 12.5, 0.25, 19.99)");
  const struct {
    const wchar_t* column;
    SWORD sqlType;
    const char* declared;
    const char* text;
  } cases[] = {
      {L"a", SQL_VARCHAR, "NUMERIC_TEXT(40,20)", "12345678901234567890.12345678901234567890"},
      {L"b", SQL_VARCHAR, "TEXT(36)", "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11"},
      {L"c", SQL_NUMERIC, "NUMERIC(10,2)", "12.5"},
      {L"d", SQL_NUMERIC, "NUMERIC", "0.25"},
      {L"e", SQL_DECIMAL, "CURRENCY", "19.99"},
  };
  CVdRecordset rs(&m_db);
  rs.Open(0, L"SELECT a, b, c, d, e FROM N", 0);
  for (short k = 0; k < static_cast<short>(std::size(cases)); ++k) {
    SCOPED_TRACE(U8(cases[k].column));
    CODBCFieldInfoEx info;
    rs.GetFieldInfoEx(k, info, 0);
    EXPECT_EQ(info.m_nSQLType, cases[k].sqlType);
    EXPECT_EQ(U8(info.m_strTypeName), cases[k].declared);
    CDBVariant v;
    rs.GetFieldValue(k, v);
    EXPECT_EQ(U8(DBV_BSTRAll(&v)), cases[k].text);
  }
  // Written back as text, kept to the last digit.
  rs.Edit();
  rs.SetFieldValue(L"a", L"-0.00000000000000000001");
  rs.Update();
  EXPECT_EQ(Column(m_db, L"SELECT a FROM N"), "-0.00000000000000000001");
  // In a column without a precision: a double written in full reads back as that double; a value that no
  // double holds is refused, not rounded.
  for (const double written : {0.1, 1e20, -1.5e-5, 1.0 / 3.0}) {
    rs.Requery();
    rs.Edit();
    rs.SetFieldValue(L"d", COleVariant(written));
    rs.Update();
    CVdRecordset back(&m_db);
    back.Open(0, L"SELECT d FROM N", 0);
    CDBVariant v;
    back.GetFieldValue(static_cast<short>(0), v);
    EXPECT_EQ(v.m_dblVal, written);
  }
  m_db.ExecuteSQL(L"UPDATE N SET d = 12345678901234567.5");
  const DbFailure inexact = CatchDb([&] { Column(m_db, L"SELECT d FROM N"); });
  EXPECT_TRUE(inexact.Mentions("\"d\" has more significant digits")) << inexact.message;
}

}  // namespace

TEST_F(VdDatabaseEngineTest, WritesSentAheadAreKeptWithTheirGroupAndOneThatFailsUndoesTheWholeTransaction) {
  m_db.ExecuteSQL(L"CREATE UNIQUE INDEX ix ON Beams (Name)");
  m_db.BeginWriteGroup();
  m_db.ExecuteSQLAhead(L"INSERT INTO Beams (Name) VALUES ('HEA 140')");
  m_db.ExecuteSQLAhead(L"INSERT INTO Beams (Name) VALUES ('HEA 160')");
  EXPECT_EQ(Column(m_db, L"SELECT count(*) FROM Beams"), "4");  // a read after them sees them
  m_db.ExecuteSQLAhead(L"INSERT INTO Beams (Name) VALUES ('HEA 180')");
  m_db.EndWriteGroup(TRUE);
  EXPECT_EQ(Names(), "HEA 100|HEA 120|HEA 140|HEA 160|HEA 180");
  if (!OnServer()) return;  // a file runs them at once: a failure is the statement's own
  // A failure is thrown by the next call (a write, or the group's end) with its own reason; what came before it
  // in the transaction goes too, and the write lock is free at once.
  for (const bool atEnd : {false, true}) {
    SCOPED_TRACE(atEnd ? "noticed at the end" : "noticed by the next write");
    m_db.BeginWriteGroup();
    Add(L"HEA 200");
    m_db.ExecuteSQLAhead(L"INSERT INTO Beams (Name) VALUES ('HEA 100')");
    if (!atEnd) {
      const DbFailure refused = CatchDb([&] { Add(L"HEA 220"); });
      EXPECT_TRUE(refused.HasState("23000")) << refused.stateNativeOrigin;
      EXPECT_TRUE(m_db.IsTransactionLost());
      EXPECT_TRUE(CatchDb([&] { Add(L"HEA 240"); }).HasState("08S01"));
    }
    CVdDatabase other;
    other.Open(Address(), 0, 0);
    other.BeginWriteGroup();  // not kept waiting for the failed writer's lock
    other.EndWriteGroup(FALSE);
    const DbFailure end = CatchDb([&] { m_db.EndWriteGroup(TRUE); });
    EXPECT_TRUE(end.Mentions("unique constraint \"ix\"")) << end.message;  // the reason, whoever says it
    EXPECT_FALSE(m_db.IsInTransaction());
    EXPECT_EQ(Names(), "HEA 100|HEA 120|HEA 140|HEA 160|HEA 180");
  }
  Add(L"HEA 260");  // the connection goes on
  EXPECT_EQ(Names(), "HEA 100|HEA 120|HEA 140|HEA 160|HEA 180|HEA 260");
}
