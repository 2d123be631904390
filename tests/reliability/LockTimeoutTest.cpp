// A lock held by another process for longer than the busy timeout: the catalog's search must report the
// timeout, not take it for a family without the name (which made an insert add a second row and a removal
// answer "not found" in silence). Found by vdstress concurrent.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "support/CatalogBuilder.h"
#include "support/ReportCapture.h"
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
