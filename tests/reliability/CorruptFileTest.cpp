// Damaged catalog files: a corpus made from a good catalog (truncated at many points, bytes overwritten, empty,
// files of other types named .mdb, Access files cut short, SQLite files without the system tables). Each file
// is opened in a child process under an alarm, so that a crash or a hang shows as the child's death; the child
// tells through its exit status how the open ended. A file that cannot be a catalog must be refused cleanly:
// CVdDatabase::Open throws a CDBException, and the catalog does not open and reports the failure once through
// the report channel. A file whose damage lies where nothing reads it may open; what is read from it then
// must not crash either.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "support/CatalogBuilder.h"
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

struct Damaged {
  std::string name;
  std::string bytes;
  bool mustFail;  // a file that can never be a catalog
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A good catalog of small pages, so that its families, long texts and index span many of them.
std::string GoodCatalog(const vdtest::TempDir& dir, const std::string& name, vdtest::CatalogBuilder builder) {
  const std::string path = dir.File(name);
  std::string rows;
  for (int k = 0; k < 120; ++k)
    rows += std::string(k ? ", " : "") + "('HE " + std::to_string(k) + "', " + std::to_string(k * 10) + ", '" +
            std::string(static_cast<std::size_t>(20 + k * 7), static_cast<char>('a' + k % 26)) + "')";
  builder.AddFamily("Beams", "HE", "Height DOUBLE, Note TEXT", rows)
      .AddFamily("Angles", "L", "Side DOUBLE", "('L 50', 50), ('L 60', 60)")
      .SetUnits("Beams", {{"Height", "mm"}})
      .AddSql("CREATE INDEX ix_beams ON Beams (Name);");
  vdtest::ExecSql(path, "PRAGMA page_size=1024;\n" + builder.Sql());
  return ReadAll(path);
}

std::string Repeat(const std::string& unit, std::size_t size) {
  std::string out;
  while (out.size() < size) out += unit;
  out.resize(size);
  return out;
}

std::vector<Damaged> MakeCorpus(const vdtest::TempDir& dir) {
  const std::string good = GoodCatalog(dir, "good.sqlite", vdtest::CatalogBuilder());
  std::vector<Damaged> corpus;
  auto add = [&corpus](std::string name, std::string bytes, bool mustFail) {
    corpus.push_back({std::move(name), std::move(bytes), mustFail});
  };

  // Cut short: in the signature, in the header, at and around page boundaries, one byte before the end.
  std::vector<std::size_t> cuts = {1, 8, 15, 16, 17, 50, 99, 100, 101, 511, 512, 1023, 1024, 1025, 1500};
  for (std::size_t at = 2048; at < good.size(); at += good.size() / 12) cuts.push_back(at / 1024 * 1024);
  cuts.push_back(good.size() / 2 + 7);
  cuts.push_back(good.size() - 1024);
  cuts.push_back(good.size() - 1);
  for (std::size_t at : cuts) add("truncated at " + std::to_string(at), good.substr(0, at), true);
  add("empty", "", true);

  // Overwritten bytes: a few anywhere, a few in the header, whole pages zeroed.
  std::mt19937 rng(20240607);
  for (int k = 0; k < 30; ++k) {
    std::string bytes = good;
    const int count = 1 + static_cast<int>(rng() % 16);
    const std::size_t span = k % 3 == 0 ? 100 : bytes.size();  // one file in three is hit in its header
    for (int n = 0; n < count; ++n) bytes[rng() % span] = static_cast<char>(rng() & 0xFF);
    add("bytes overwritten, seed " + std::to_string(k), bytes, false);
  }
  for (std::size_t page :
       {std::size_t(0), std::size_t(1), std::size_t(2), good.size() / 1024 / 2, good.size() / 1024 - 1}) {
    std::string bytes = good;
    const std::size_t from = page == 0 ? 100 : page * 1024;  // page 1 keeps its file header
    for (std::size_t i = from; i < (page + 1) * 1024 && i < bytes.size(); ++i) bytes[i] = '\0';
    add("page " + std::to_string(page + 1) + " zeroed", bytes, false);
  }
  {
    std::string bytes = good;
    bytes[16] = '\x03', bytes[17] = '\x00';  // a page size that is no power of two
    add("impossible page size", bytes, true);
    bytes = good;
    bytes[28] = '\x7f';  // a page count far beyond the file's end
    add("page count beyond the end", bytes, true);
    bytes = good;
    bytes[13] = '4';
    add("signature of another version", bytes, true);
  }

  // Files of other types under the catalog's extension.
  const std::string exe = ReadAll("/proc/self/exe").substr(0, 4096);
  add("an executable", exe, true);
  add("a PNG image", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + Repeat("\x01\x02", 600), true);
  add("a PDF document", "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n", true);
  add("a ZIP archive", std::string("PK\x03\x04\x14\0\0\0\x08\0", 10) + Repeat("zip", 900), true);
  add("a gzip stream", std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + Repeat("\xff\x00", 300), true);
  add("a text", "Name;Height\nHE 100;100\n", true);
  add("a JSON document", R"({"Definition": {"def_name": "VdCatalog"}, "Beams": []})", true);
  add("UTF-16 text", std::string("\xff\xfeS\0Q\0L\0i\0t\0e\0", 14), true);
  add("zeros", std::string(4096, '\0'), true);
  add("0xFF bytes", std::string(4096, '\xff'), true);
  add(
      "random bytes",
      [&rng] {
        std::string bytes(8192, '\0');
        for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
        return bytes;
      }(),
      true);
  add("an SQLite journal", std::string("\xd9\xd5\x05\xf9\x20\xa1\x63\xd7", 8) + std::string(504, '\0'), true);
  add("an SQLite write-ahead log", std::string("\x37\x7f\x06\x82\x00\x2d\xe2\x18", 8) + std::string(24, '\0'), true);
  add("an SQLite signature alone", std::string("SQLite format 3\0", 16), true);
  add("an SQLite header of zeros", std::string("SQLite format 3\0", 16) + std::string(84, '\0'), true);
  add("an SQLite header alone", good.substr(0, 100), true);

  // Access databases cut short: the signature is known, the rest is missing (and the format is not read yet).
  for (const char* engine : {"Standard Jet DB", "Standard ACE DB"}) {
    const std::string access = std::string("\0\x01\0\0", 4) + engine + std::string("\0\x01\0\0\0", 5) +
                               Repeat(std::string("\xb5\x6e\x03\x62\x60\x09\xc2\x55", 8), 2048 - 24);
    for (std::size_t at : {std::size_t(19), std::size_t(20), std::size_t(128), std::size_t(2048)})
      add(std::string(engine) + " cut at " + std::to_string(at), access.substr(0, at), true);
  }

  // Good SQLite files that lack what a catalog needs.
  add("no Definition table", GoodCatalog(dir, "nodef.sqlite", vdtest::CatalogBuilder().WithoutDefinitionTable()), true);
  add("no FamilyDescription table",
      GoodCatalog(dir, "nofam.sqlite", vdtest::CatalogBuilder().AddSql("DROP TABLE FamilyDescription;")), true);
  add("Definition is a view",
      GoodCatalog(dir, "view.sqlite",
                  vdtest::CatalogBuilder().WithoutDefinitionTable().AddSql(
                      "CREATE VIEW Definition AS SELECT 'VdCatalog' AS def_name, 1/0 AS def_version;")),
      false);
  add("an empty Definition",
      GoodCatalog(dir, "nodefrow.sqlite", vdtest::CatalogBuilder().AddSql("DELETE FROM Definition;")), false);
  add("no Units table", GoodCatalog(dir, "nounits.sqlite", vdtest::CatalogBuilder().WithoutUnitsTable()), false);
  return corpus;
}

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

}  // namespace

TEST(CorruptFiles, EveryDamagedCatalogOpensWithACleanFailureOrReadsCleanly) {
  vdtest::TempDir dir;
  const std::vector<Damaged> corpus = MakeCorpus(dir);
  ASSERT_GE(corpus.size(), 50u);
  int refused = 0, opened = 0;
  for (std::size_t k = 0; k < corpus.size(); ++k) {
    const Damaged& file = corpus[k];
    const std::string path = dir.File("damaged-" + std::to_string(k) + ".mdb");
    WriteAll(path, file.bytes);
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) OpenInChild(path);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const bool clean = WIFEXITED(status) && (WEXITSTATUS(status) == kRefused || WEXITSTATUS(status) == kOpened);
    EXPECT_TRUE(clean) << file.name << ": " << Describe(status);
    if (clean && WEXITSTATUS(status) == kOpened) {
      EXPECT_FALSE(file.mustFail) << file.name << ": opened as a catalog";
      ++opened;
    } else if (clean) {
      ++refused;
    }
    std::remove(path.c_str());
    std::remove((path + "-journal").c_str());
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

TEST(CorruptFiles, AGarbageJournalBesideAGoodCatalogDoesNotBreakIt) {
  vdtest::TempDir dir;
  const std::string good = GoodCatalog(dir, "good.mdb", vdtest::CatalogBuilder());
  WriteAll(dir.File("good.mdb-journal"),
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
