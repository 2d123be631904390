// Damaged catalog files: the corpus of DamagedCatalogs.h, made from a good catalog (truncated at many points,
// bytes overwritten, empty, files of other types named .mdb, Access files cut short, SQLite files without the
// system tables or with odd ones). Each file is opened in a child process under an alarm, so that a crash or a
// hang shows as the child's death; the child tells through its exit status how the open ended. A file that
// cannot be a catalog must be refused cleanly: CVdDatabase::Open throws a CDBException, and the catalog does
// not open and reports the failure once through the report channel. A file whose damage lies where nothing
// reads it may open; what is read from it then must not crash either.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "reliability/DamagedCatalogs.h"
#include "support/ReportCapture.h"
#include "support/TestFiles.h"

namespace {

// Exit statuses of the child.
enum Outcome {
  kRefused = 10,          // Open threw, the catalog did not open and reported it once
  kOpened = 11,           // both opened; the reads that followed ended cleanly
  kRefusedSilently = 12,  // the catalog did not open but reported nothing (or more than once)
  kDisagree = 13,         // CVdDatabase refused the file but the catalog opened it
  kEscaped = 14,          // an exception left the library
};

// Generous enough for valgrind; a hang is a wait without end.
constexpr unsigned kAlarmSeconds = 30;

// What a host does with a catalog it has just opened; every failure must arrive as a CDBException or a report.
void ReadEverything(CVdPatternCatalog& catalog) {
  std::list<std::wstring> families;
  catalog.GetFamilies(families);
  for (const std::wstring& family : families) {
    CVdPatternPool pool;
    catalog.GetFamilyPattern(&pool, family.c_str(), nullptr);
    if (CVdPattern* first = pool.FindFirstPattern()) {
      std::unique_ptr<CVdPattern> again(catalog.GetPattern(first->GetUserNameW(), nullptr));
    }
    wchar_t code[64];
    catalog.GetFamilyCode(family.c_str(), code);
  }
  catalog.FindPattern(L"nothing", nullptr);
  try {
    catalog.GetTypeName();
    catalog.GetEditorName();
    catalog.GetVerNumber();
  } catch (CDBException* e) {
    e->Delete();
  }
}

// The child's side: opens the file both ways and exits with an Outcome.
[[noreturn]] void OpenInChild(const std::string& path) {
  alarm(kAlarmSeconds);
  int outcome = kEscaped;
  try {
    vdtest::ReportCapture capture;
    bool databaseOpened = false;
    {
      CVdDatabase db;
      try {
        db.Open(CString(path.c_str()));
        databaseOpened = true;
      } catch (CDBException* e) {
        const bool described = !e->m_strError.IsEmpty() && e->m_strStateNativeOrigin.Find(L"State:") == 0;
        e->Delete();
        if (!described) std::_Exit(kEscaped);
      }
    }
    bool opened = false;
    {
      CVdPatternCatalog catalog(VdFromUtf8(path).c_str());
      opened = catalog.IsOpened();
      if (opened) ReadEverything(catalog);
    }
    const bool reportedOnce =
        capture.reports.size() == 1 && capture.reports[0].caption == L"Erreur DB" && !capture.reports[0].text.empty();
    if (!databaseOpened && opened)
      outcome = kDisagree;
    else if (opened)
      outcome = kOpened;
    else
      outcome = reportedOnce ? kRefused : kRefusedSilently;
  } catch (...) {
    outcome = kEscaped;
  }
  std::_Exit(outcome);
}

std::string Describe(int status) {
  if (WIFSIGNALED(status))
    return WTERMSIG(status) == SIGALRM ? "hung (no answer within the alarm)"
                                       : "crashed with signal " + std::to_string(WTERMSIG(status));
  switch (WEXITSTATUS(status)) {
    case kRefused:
      return "refused";
    case kOpened:
      return "opened";
    case kRefusedSilently:
      return "refused without exactly one report";
    case kDisagree:
      return "refused by CVdDatabase but opened as a catalog";
    case kEscaped:
      return "let an exception escape";
    default:
      return "exited with status " + std::to_string(WEXITSTATUS(status));
  }
}

// Writes `bytes` to `path`, opens it in a child and gives the child's wait status.
int TryInChild(const std::string& path, const std::string& bytes) {
  vdtest::WriteAll(path, bytes);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) OpenInChild(path);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) status = -1;
  std::remove(path.c_str());
  std::remove((path + "-journal").c_str());
  return status;
}

bool Clean(int status) {
  return status != -1 && WIFEXITED(status) && (WEXITSTATUS(status) == kRefused || WEXITSTATUS(status) == kOpened);
}

}  // namespace

TEST(CorruptFiles, EveryDamagedCatalogOpensWithACleanFailureOrReadsCleanly) {
  vdtest::TempDir dir;
  const std::vector<vdtest::Damaged> corpus = vdtest::MakeCorpus(dir);
  ASSERT_GE(corpus.size(), 50u);
  int refused = 0, opened = 0;
  for (std::size_t k = 0; k < corpus.size(); ++k) {
    const vdtest::Damaged& file = corpus[k];
    const int status = TryInChild(dir.File("damaged-" + std::to_string(k) + ".mdb"), file.bytes);
    const bool clean = Clean(status);
    EXPECT_TRUE(clean) << file.name << ": " << Describe(status);
    if (clean && WEXITSTATUS(status) == kOpened) {
      EXPECT_FALSE(file.mustFail) << file.name << ": opened as a catalog";
      ++opened;
    } else if (clean) {
      ++refused;
    }
  }
  // A folder that carries the name, and a file that cannot be read.
  const std::string folder = dir.File("folder.mdb");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  {
    vdtest::ReportCapture capture;
    CVdPatternCatalog catalog(VdFromUtf8(folder).c_str());
    EXPECT_FALSE(catalog.IsOpened());
    EXPECT_EQ(capture.reports.size(), 1u);
  }
  std::printf("[ corrupt  ] files tried: %zu (%d refused, %d opened with their damage out of the way)\n",
              corpus.size() + 1, refused + 1, opened);
}

// Damaged copies of Access files of every version, 1997 to 2019: cut short, bytes overwritten in pages spread over
// the file, the catalog's page and another zeroed. No copy is a catalog, and none may crash or hang the reader.
TEST(CorruptFiles, DamagedAccessFilesOfEveryVersionAreRefusedCleanly) {
  const std::filesystem::path folder = VDPATTERN_ACCESS_DIR;
  VDTEST_REQUIRE_SAMPLE(folder.string());
  vdtest::TempDir dir;
  std::uint64_t state = 0x2545F4914F6CDD1Dull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  int tried = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string good = vdtest::ReadAll(entry.path().string());
    ASSERT_GT(good.size(), 0x14u);
    const std::size_t page = good[0x14] == 0 ? 2048 : 4096, pages = good.size() / page;
    std::vector<std::pair<std::string, std::string>> copies = {
        {"cut at a page", good.substr(0, pages / 2 * page)},
        {"cut inside a page", good.substr(0, good.size() / 3 + 77)}};
    for (std::size_t zeroed : {std::size_t{2}, 3 + next() % (pages - 3)}) {
      std::string copy = good;
      copy.replace(zeroed * page, page, page, '\0');
      copies.emplace_back("page " + std::to_string(zeroed) + " zeroed", copy);
    }
    for (int round = 0; round < 12; ++round) {
      std::string copy = good;
      const std::size_t at = (1 + next() % (pages - 1)) * page + next() % page, length = 1 + next() % 48;
      for (std::size_t k = at; k < std::min(copy.size(), at + length); ++k) copy[k] = static_cast<char>(next());
      copies.emplace_back(std::to_string(length) + " bytes overwritten at " + std::to_string(at), copy);
    }
    for (const auto& [what, bytes] : copies) {
      const int status = TryInChild(dir.File("access.mdb"), bytes);
      EXPECT_TRUE(Clean(status) && WEXITSTATUS(status) == kRefused)
          << entry.path().filename().string() << ", " << what << ": " << Describe(status);
      ++tried;
    }
  }
  std::printf("[ corrupt  ] damaged Access files tried: %d\n", tried);
}

TEST(CorruptFiles, AGarbageJournalBesideAGoodCatalogDoesNotBreakIt) {
  vdtest::TempDir dir;
  const std::string good = vdtest::GoodCatalog(dir, "good.mdb", vdtest::CatalogBuilder());
  vdtest::WriteAll(dir.File("good.mdb-journal"),
                   std::string("\xd9\xd5\x05\xf9\x20\xa1\x63\xd7", 8) + std::string(2000, '\x5a'));
  vdtest::ReportCapture capture;
  {
    CVdPatternCatalog catalog(VdFromUtf8(dir.File("good.mdb")).c_str());
    if (catalog.IsOpened()) {
      EXPECT_TRUE(catalog.FindPattern(L"HE 7", L"Beams"));
    } else {
      EXPECT_EQ(capture.reports.size(), 1u);
    }
  }
  const std::string check = vdtest::QueryText(dir.File("good.mdb"), "PRAGMA integrity_check");
  EXPECT_EQ(check, "ok");
}
