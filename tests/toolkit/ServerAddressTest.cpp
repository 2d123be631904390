#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vdpattern/toolkit/Utf8.h>

#include "support/TestFiles.h"
#include "support/TestDb.h"
#include "toolkit/db/ServerAddress.h"

using vdpattern::db::IsServerAddress;
using vdpattern::db::ParseServerAddress;
using vdpattern::db::ReadLinkFile;
using vdpattern::db::ServerAddress;
using vdpattern::db::WriteLinkFile;
using vdtest::ReadBytes;

namespace {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

}  // namespace

TEST(ServerAddress, TellsServerAddressesFromFilePaths) {
  const struct {
    const wchar_t* text;
    bool server;
  } cases[] = {
      {L"postgresql://db.example/beams", true},
      {L"POSTGRES://h", true},
      {L"  host=h dbname=d", true},
      {L"service = office", true},
      {L"catalog=beams", true},
      {L"beams.mdb", false},
      {L"/tmp/host=h.mdb", false},
      {L"a=b.mdb", false},
      {L"hostess=1", false},
      {L"host", false},
      {L"postgresql:/h", false},
      {L"", false},
      {L"höst=h", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsServerAddress(c.text), c.server) << VdToUtf8(c.text);
}

TEST(ServerAddress, TakesTheCatalogKeyOutBeforeLibpqSeesTheRest) {
  const struct {
    const wchar_t* text;
    const char* conninfo;
    const char* catalog;
  } cases[] = {
      {L"postgresql://u@h:5433/d?sslmode=disable&catalog=my%20beams&connect_timeout=5",
       "postgresql://u@h:5433/d?sslmode=disable&connect_timeout=5", "my beams"},
      {L"postgresql://h/d?catalog=beams", "postgresql://h/d", "beams"},
      {L"postgres://h/d", "postgres://h/d", ""},
      {L"host=h catalog = 'my \\'beams\\'' dbname='a b'", "host=h dbname='a b'", "my 'beams'"},
      {L"service=office catalog=Träger", "service=office", "Träger"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(VdToUtf8(c.text));
    const ServerAddress a = ParseServerAddress(c.text);
    EXPECT_EQ(a.conninfo, c.conninfo);
    EXPECT_EQ(a.catalog, c.catalog);
  }
  // A password may be given directly, never through a link file.
  EXPECT_EQ(ParseServerAddress(L"host=h password=secret").conninfo, "host=h password=secret");

  const struct {
    const wchar_t* text;
    bool forLink;
    const char* reason;
  } refused[] = {
      {L"host=h catalog=a catalog=b", false, "twice"},
      {L"postgresql://h/d?catalog=", false, "names no catalog"},
      {L"postgresql://h/d?catalog=%zz", false, "percent"},
      {L"host=h foo=1", false, "foo"},
      {L"host='h", false, "closing quote"},
      {L"host", false, "without \"=\""},
      {L"host=h password=secret", true, "password"},
      {L"postgresql://u:secret@h/d", true, "password"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(VdToUtf8(r.text));
    const DbFailure f = CatchDb([&] { ParseServerAddress(r.text, r.forLink); });
    EXPECT_TRUE(f.thrown && f.HasState("08001"));
    EXPECT_TRUE(f.Mentions(r.reason)) << f.message;
  }
}

TEST(ServerAddress, LinkFilesRoundTripAndNeverReplaceOtherFilesOrCarryPasswords) {
  vdtest::TempDir dir;
  const std::string link = dir.File("beams.mdb");
  WriteLinkFile(CString(VdFromUtf8(link)), L"postgresql://h/d?catalog=beams");
  EXPECT_EQ(ReadBytes(link).rfind("# vdpattern catalog link\n", 0), 0u);
  EXPECT_EQ(ReadLinkFile(CString(VdFromUtf8(link))).catalog, "beams");
  // A link is replaced by a link; a catalog (or any other file) of that name never is.
  WriteLinkFile(CString(VdFromUtf8(link)), L"host=other catalog=frames");
  EXPECT_EQ(ReadLinkFile(CString(VdFromUtf8(link))).conninfo, "host=other");
  const std::string other = dir.File("real.mdb");
  WriteText(other, "SQLite format 3");
  EXPECT_TRUE(CatchDb([&] { WriteLinkFile(CString(VdFromUtf8(other)), L"host=h"); }).Mentions("not a catalog link"));
  EXPECT_EQ(ReadBytes(other), "SQLite format 3");
  EXPECT_TRUE(CatchDb([&] { WriteLinkFile(CString(VdFromUtf8(link)), L"host=h password=x"); }).Mentions("password"));
  EXPECT_TRUE(CatchDb([&] { WriteLinkFile(CString(VdFromUtf8(dir.File("no/such/x.mdb"))), L"host=h"); }).thrown);

  const struct {
    const char* content;
    const char* reason;
  } bad[] = {
      {"# vdpattern catalog link\n# nothing\n\n", "no server address"},
      {"# vdpattern catalog link\nhost=a\nhost=b\n", "more than one"},
      {"# vdpattern catalog link\npostgresql://u:pw@h/d\n", "password"},
      {"# vdpattern catalog linked\nhost=a\n", "does not begin"},
      {"host=a\n", "does not begin"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.content);
    WriteText(link, b.content);
    EXPECT_TRUE(CatchDb([&] { ReadLinkFile(CString(VdFromUtf8(link))); }).Mentions(b.reason));
  }
  WriteText(link, "# vdpattern catalog link\r\n  # comment\r\n  host=a catalog=b  \r\n");
  EXPECT_EQ(ReadLinkFile(CString(VdFromUtf8(link))).conninfo, "host=a");
  WriteText(link, "# vdpattern catalog link\n" + std::string(70000, '#') + "\nhost=a\n");
  EXPECT_TRUE(CatchDb([&] { ReadLinkFile(CString(VdFromUtf8(link))); }).Mentions("too long"));
}
