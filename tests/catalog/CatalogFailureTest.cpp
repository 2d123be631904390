// Failures that must not look like "nothing there": a server that went away or was restarted, a backend killed
// under an open catalog, a catalog file deleted or made unreadable. Every failed read is reported once, a missing
// name is not, and the call after a failure connects again.

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vdpattern/manager/VdPatternManager.h>

#include "../bench/Relay.h"
#include "catalog/CatalogFixture.h"

using cattest::CatalogFile;

namespace {

class CatalogFailure : public CatalogFile {
 protected:
  // Ends every other session of the catalog's database, as an administrator or a server restart would.
  void KillSessions() {
    CVdDatabase admin;
    admin.Open(CString(Wide(m_file).c_str()));
    admin.ExecuteSQL(
        L"SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() AND pid <> "
        L"pg_backend_pid()");
  }
};

// The reads a host makes, each answering whether it found what it was asked for.
struct Read {
  const char* what;
  std::function<bool(CVdPatternCatalog&)> run;
};

std::vector<Read> Reads() {
  return {
      {"GetPattern in every family",
       [](CVdPatternCatalog& c) { return std::unique_ptr<CVdPattern>(c.GetPattern(L"HE 100", nullptr)) != nullptr; }},
      {"GetPattern in one family",
       [](CVdPatternCatalog& c) {
         return std::unique_ptr<CVdPattern>(c.GetPattern(L"UPN 80", L"Channels")) != nullptr;
       }},
      {"FindPattern", [](CVdPatternCatalog& c) { return c.FindPattern(L"L 50", nullptr); }},
      {"GetFamilyPattern",
       [](CVdPatternCatalog& c) {
         CVdPatternPool pool;
         return c.GetFamilyPattern(&pool, L"Beams", nullptr) && pool.GetCount() == 5;
       }},
      {"GetFamilyPatternSQL",
       [](CVdPatternCatalog& c) {
         CVdPatternPool pool;
         return c.GetFamilyPatternSQL(&pool, L"SELECT * FROM Channels", L"Channels") && pool.GetCount() == 3;
       }},
      {"GetFamilies",
       [](CVdPatternCatalog& c) {
         std::list<std::wstring> families;
         return c.GetFamilies(families) && families.size() == 3;
       }},
  };
}

}  // namespace

TEST_F(CatalogFailure, AKilledServerSessionFailsEachReadOnceWithAReportAndTheNextReadConnectsAgain) {
  if (!OnServer()) GTEST_SKIP() << "server sessions only";
  auto catalog = Open();
  ASSERT_TRUE(catalog->IsOpened());
  for (const Read& read : Reads()) {
    SCOPED_TRACE(read.what);
    vdtest::ReportCapture capture;
    KillSessions();
    EXPECT_FALSE(read.run(*catalog));
    ASSERT_EQ(capture.reports.size(), 1u);
    EXPECT_EQ(capture.reports[0].caption, L"Erreur DB");
    EXPECT_NE(capture.reports[0].text.find(L"connection"), std::wstring::npos) << U8(capture.reports[0].text);
    EXPECT_TRUE(read.run(*catalog));
    // A missing name on a live connection is no failure.
    EXPECT_EQ(catalog->GetPattern(L"NO SUCH 1", nullptr), nullptr);
    EXPECT_FALSE(catalog->FindPattern(L"NO SUCH 1", L"Beams"));
    EXPECT_EQ(capture.reports.size(), 1u);
  }
}

TEST_F(CatalogFailure, AServerThatIsDownFailsEveryReadWithAReportUntilItIsBack) {
  if (!OnServer()) GTEST_SKIP() << "server connections only";
  const char* host = std::getenv("PGHOST");
  const char* port = std::getenv("PGPORT");
  if (!host || host[0] != '/') GTEST_SKIP() << "the relay stands in front of the server's Unix socket";
  benchrelay::Relay relay(std::string(host) + "/.s.PGSQL." + (port ? port : "5432"), "", 0,
                          std::chrono::microseconds(0));
  // The same catalog, reached through the relay.
  const std::string database = m_file.substr(std::strlen("postgresql:///"), m_file.find('?') - 14);
  const std::wstring relayed =
      Wide("postgresql://127.0.0.1:" + std::to_string(relay.port()) + "/" + database + m_file.substr(m_file.find('?')));
  CVdPatternCatalog catalog(relayed.c_str());
  ASSERT_TRUE(catalog.IsOpened());
  CVdPatternManager manager(new CVdPatternFactory());
  ASSERT_TRUE(manager.AttachCatalog(new CVdPatternCatalog(relayed.c_str())));

  vdtest::ReportCapture capture;
  relay.SetDown(true);
  for (int round = 0; round < 2; ++round) {  // every call while it is down, not only the first
    for (const Read& read : Reads()) {
      SCOPED_TRACE(read.what);
      const std::size_t before = capture.reports.size();
      EXPECT_FALSE(read.run(catalog));
      EXPECT_EQ(capture.reports.size(), before + 1);
    }
  }
  // The manager's lookups go through its catalogs' reports.
  const std::size_t before = capture.reports.size();
  EXPECT_EQ(manager.GetPatternCatalog(CString(L"HE 100")), nullptr);
  CVdPatternPool pool;  // owns what it is given
  manager.GetPatternCatalog(CString(L"steel"), CString(L"Beams"), &pool);
  EXPECT_EQ(pool.GetCount(), 0);
  EXPECT_EQ(capture.reports.size(), before + 2);

  relay.SetDown(false);
  capture.reports.clear();
  for (const Read& read : Reads()) {
    SCOPED_TRACE(read.what);
    EXPECT_TRUE(read.run(catalog));
  }
  std::unique_ptr<CVdPattern> found(manager.GetPatternCatalog(CString(L"HE 100")));
  EXPECT_NE(found, nullptr);
  manager.GetPatternCatalog(CString(L"steel"), CString(L"Beams"), &pool);
  EXPECT_EQ(pool.GetCount(), 5);
  EXPECT_TRUE(capture.reports.empty()) << U8(capture.reports.front().text);
}

TEST_F(CatalogFailure, ACatalogFileDeletedOrMadeUnreadableUnderAnOpenCatalogIsReported) {
  VDTEST_FILE_ONLY();
  // A file without a read permission bit counts as unreadable, for the superuser too.
  for (const bool deleted : {true, false}) {
    SCOPED_TRACE(deleted ? "deleted" : "unreadable");
    Rewrite(cattest::StandardCatalog());
    auto catalog = Open();
    ASSERT_TRUE(catalog->IsOpened());
    vdtest::ReportCapture capture;
    if (deleted)
      std::filesystem::remove(m_file);
    else
      ::chmod(m_file.c_str(), 0);
    for (const Read& read : Reads()) {
      SCOPED_TRACE(read.what);
      const std::size_t before = capture.reports.size();
      EXPECT_FALSE(read.run(*catalog));
      EXPECT_EQ(capture.reports.size(), before + 1);
    }
    EXPECT_NE(capture.reports.back().text.find(deleted ? L"deleted" : L"unreadable"), std::wstring::npos)
        << U8(capture.reports.back().text);
    ::chmod(m_file.c_str(), 0644);
  }
}
