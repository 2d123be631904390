#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vdpattern/toolkit/Utf8.h>

#include "support/TestFiles.h"
#include "support/TestDb.h"
#include "db/postgres/ServerAddress.h"

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
  for (const wchar_t* address :
       {L"postgresql://db.example/beams", L"POSTGRES://h", L"  host=h dbname=d", L"service = office", L"catalog=beams"})
    EXPECT_TRUE(IsServerAddress(address)) << VdToUtf8(address);
  for (const wchar_t* path :
       {L"beams.mdb", L"/tmp/host=h.mdb", L"a=b.mdb", L"hostess=1", L"host", L"postgresql:/h", L"", L"höst=h"})
    EXPECT_FALSE(IsServerAddress(path)) << VdToUtf8(path);
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
      {L"host=h password=secret", "host=h password=secret", ""},  // a password may be given here, not in a link
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(VdToUtf8(c.text));
    const ServerAddress a = ParseServerAddress(c.text);
    EXPECT_EQ(a.conninfo, c.conninfo);
    EXPECT_EQ(a.catalog, c.catalog);
  }

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

TEST(ServerAddress, ALinkHoldsOnlyKeysThatNameItsServerWhileTheUsersOwnAddressMayHoldAny) {
  for (const wchar_t* kept : {L"host=h hostaddr=127.0.0.1 port=5433 dbname=d user=u catalog=c",
                              L"host=h connect_timeout=5", L"host=h application_name=beams sslmode=require",
                              L"postgresql://u@h:5433/d?sslmode=verify-full&catalog=c", L"host=/tmp sslmode=prefer"}) {
    SCOPED_TRACE(VdToUtf8(kept));
    EXPECT_FALSE(CatchDb([&] { ParseServerAddress(kept, true); }).thrown);
  }
  const struct {
    const wchar_t* text;
    const char* named;
  } refused[] = {
      {L"host=h passfile=/etc/shadow", "\"passfile\""},
      {L"postgresql://h/d?passfile=%2Fetc%2Fshadow&catalog=c", "\"passfile\""},
      {L"host=h options='-c search_path=evil'", "\"options\""},
      {L"host=h sslmode=disable", "\"sslmode=disable\""},
      {L"host=h sslmode=allow", "\"sslmode=allow\""},
      {L"host=h sslrootcert=/home/me/.postgresql/root.crt", "\"sslrootcert\""},
      {L"host=h sslkey=/tmp/k", "\"sslkey\""},
      {L"service=office", "\"service\""},
      {L"host=h gssencmode=disable", "\"gssencmode\""},
      {L"host=h target_session_attrs=any", "\"target_session_attrs\""},
  };
  vdtest::TempDir dir;
  const std::string link = dir.File("beams.vdlink");
  for (const auto& r : refused) {
    SCOPED_TRACE(VdToUtf8(r.text));
    const DbFailure f = CatchDb([&] { ParseServerAddress(r.text, true); });
    EXPECT_TRUE(f.HasState("08001") && f.Mentions(r.named)) << f.message;
    EXPECT_TRUE(CatchDb([&] { WriteLinkFile(CString(VdFromUtf8(link)), r.text); }).Mentions(r.named));
    WriteText(link, std::string(vdpattern::db::kLinkFileFirstLine) + "\n" + VdToUtf8(r.text) + "\n");
    const DbFailure read = CatchDb([&] { ReadLinkFile(CString(VdFromUtf8(link))); });
    EXPECT_TRUE(read.Mentions(r.named) && read.Mentions(link)) << read.message;
    // Given by the user directly, the same address is the user's own.
    EXPECT_FALSE(CatchDb([&] { ParseServerAddress(r.text); }).thrown);
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
    std::string content;
    const char* reason;
  } bad[] = {
      {"# vdpattern catalog link\n# nothing\n\n", "no server address"},
      {"# vdpattern catalog link\nhost=a\nhost=b\n", "more than one"},
      {"# vdpattern catalog link\npostgresql://u:pw@h/d\n", "password"},
      {"# vdpattern catalog linked\nhost=a\n", "does not begin"},
      {"host=a\n", "does not begin"},
      {"# vdpattern catalog link\n" + std::string(70000, '#') + "\nhost=a\n", "too long"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.content.substr(0, 60));
    WriteText(link, b.content);
    EXPECT_TRUE(CatchDb([&] { ReadLinkFile(CString(VdFromUtf8(link))); }).Mentions(b.reason));
  }
  WriteText(link, "# vdpattern catalog link\r\n  # comment\r\n  host=a catalog=b  \r\n");
  EXPECT_EQ(ReadLinkFile(CString(VdFromUtf8(link))).conninfo, "host=a");
}
