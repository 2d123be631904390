// A lock held by another process for longer than the busy timeout: the catalog's search must report the
// timeout, not take it for a family without the name (which made an insert add a second row and a removal
// answer "not found" in silence). Found by vdstress concurrent.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "support/CatalogBuilder.h"
#include "support/ReportCapture.h"
#include "support/TestDb.h"
#include "support/TestFiles.h"

TEST(CatalogLockTimeout, ASearchThatTimesOutIsReportedAndNeverTakenForAMissingName) {
  vdtest::TempDir dir;
  const std::string file = dir.File("locked.mdb");
  vdtest::CatalogBuilder().AddFamily("Beams", "HE", "Height DOUBLE", "('HE 100', 100)").Write(file);
  auto* db = new CVdDatabase();
  db->SetBusyTimeout(20);
  db->Open(CString(file.c_str()));
  CVdPatternCatalog catalog(db, nullptr, true);  // takes over the connection
  ASSERT_TRUE(catalog.IsOpened());
  ASSERT_TRUE(catalog.FindPattern(L"HE 100", nullptr));  // the search of every family is now kept prepared

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  {
    vdtest::ReportCapture capture;
    CVdPattern pattern(1, L"HE 100", L"Beams");
    pattern.SetParam(0, L"height", 101.0);
    EXPECT_FALSE(catalog.RemovePattern(L"HE 100", L"Beams"));
    EXPECT_FALSE(catalog.InsertPattern(&pattern, false));
    EXPECT_FALSE(catalog.FindPattern(L"HE 100", L"Beams"));
    EXPECT_FALSE(catalog.FindPattern(L"HE 100", nullptr));
    // ModifyPattern reports nothing itself: the timeout reaches its caller.
    try {
      catalog.ModifyPattern(L"HE 100", L"Beams", &pattern);
      ADD_FAILURE() << "ModifyPattern under another process's lock did not throw";
    } catch (CDBException* e) {
      EXPECT_EQ(e->m_strStateNativeOrigin.Find(L"State:HYT00,"), 0);
      e->Delete();
    }
    ASSERT_EQ(capture.reports.size(), 4u);
    for (const auto& report : capture.reports)
      EXPECT_NE(report.text.find(L"is locked by another connection"), std::wstring::npos) << VdToUtf8(report.text);
    // The kept search gave up itself, rather than waiting a second time to make itself again.
    EXPECT_NE(capture.reports[3].text.find(L"SELECT 0 FROM [Beams]"), std::wstring::npos)
        << VdToUtf8(capture.reports[3].text);
  }
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);

  vdtest::ReportCapture capture;
  EXPECT_TRUE(catalog.FindPattern(L"HE 100", L"Beams"));
  EXPECT_EQ(vdtest::QueryText(file, "SELECT count(*) || ' ' || max(Height) FROM Beams"), "1 100.0");
  EXPECT_TRUE(capture.reports.empty());
}

class CatalogLockHolder : public vdtest::DbTest {};

// A writer that gives up says after how long and who holds the lock: on a file another process's id and
// program, on a server the holding session's program, role and transaction. The timeout comes from the
// default a connection made afterwards starts with.
TEST_F(CatalogLockHolder, AWriteThatGivesUpNamesTheHolderAndItsTimeOut) {
  const std::string path =
      MakeCatalog("held.mdb", vdtest::CatalogBuilder().AddFamily("Beams", "HE", "Height DOUBLE", "('HE 100', 100)"));
  const CString wide(VdFromUtf8(path).c_str());
  struct RestoreDefault {
    int was = CVdDatabase::GetDefaultBusyTimeout();
    ~RestoreDefault() { CVdDatabase::SetDefaultBusyTimeout(was); }
  } restore;
  CVdDatabase::SetDefaultBusyTimeout(300);

  // Opened first: opening reads the file's schema, which the holder's lock would stop.
  auto* db = new CVdDatabase();
  EXPECT_EQ(db->GetBusyTimeout(), 300);
  db->Open(wide);
  CVdPatternCatalog catalog(db, nullptr, true);
  ASSERT_TRUE(catalog.IsOpened());
  std::unique_ptr<CVdDatabase> session;  // the holder on a server: a transaction holds the write lock
  pid_t child = -1;                      // on a file: another process, since a lock of this one is not another's
  int ready[2] = {-1, -1}, release[2] = {-1, -1};
  if (OnServer()) {
    session = std::make_unique<CVdDatabase>();
    session->Open(wide);
    ASSERT_TRUE(session->BeginTrans());
  } else {
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(release[1]);  // the parent's closing it is the signal to end
      sqlite3* other = nullptr;
      char byte = 0;
      if (sqlite3_open(path.c_str(), &other) != SQLITE_OK ||
          sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK)
        byte = 1;
      if (::write(ready[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) < 0) _exit(1);
      _exit(0);
    }
    char byte = 1;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 0);
  }

  std::string text;
  {
    vdtest::ReportCapture capture;
    CVdPattern pattern(1, L"HE 200", L"Beams");
    pattern.SetParam(0, L"height", 200.0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(catalog.InsertPattern(&pattern, false));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.25);
    EXPECT_LT(waited, 4.0);  // not the 5 s a connection starts with by default
    ASSERT_EQ(capture.reports.size(), 1u);
    text = VdToUtf8(capture.reports[0].text);
  }
  EXPECT_NE(text.find("gave up waiting after 300 ms (the lock time-out)"), std::string::npos) << text;
  if (OnServer()) {
    EXPECT_NE(text.find("is locked by another connection held by \"vdpattern_tests ("), std::string::npos) << text;
    for (const char* fact : {" (role ", ", in a transaction since ", ", idle in transaction, server process "})
      EXPECT_NE(text.find(fact), std::string::npos) << fact << " in " << text;
    session->Rollback();
  } else {
    // The program is named as the system names it: under valgrind that is valgrind's own tool.
    const std::string holder = "is locked by another connection held by process " + std::to_string(child) + " (";
    const std::size_t at = text.find(holder);
    EXPECT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find(", user ", at == std::string::npos ? 0 : at + holder.size()), std::string::npos) << text;
    ::close(release[1]);
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], release[0]}) ::close(fd);
  }
  // Once the holder is gone the same write goes through.
  CVdPattern pattern(1, L"HE 200", L"Beams");
  pattern.SetParam(0, L"height", 200.0);
  EXPECT_TRUE(catalog.InsertPattern(&pattern, false));
}
