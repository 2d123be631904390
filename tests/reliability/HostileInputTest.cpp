// Hostile names and statements: quotes, ']', ';', "--", NUL characters, 1 MB texts, invalid UTF-8 and
// characters outside the BMP, given to the catalog and to the record sets. No second statement may run, no
// reading call may change the file, nothing may crash, and the results are those of the quoting rules: texts
// go between single quotes with each quote doubled, family names between brackets as they are, so a family
// name holding ']' fails cleanly. A wide text ends at its first NUL, and what is no Unicode character is
// stored as U+FFFD.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VariantConv.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "support/CatalogBuilder.h"
#include "support/ReportCapture.h"
#include "support/TestFiles.h"

namespace {

constexpr std::size_t kMegabyte = 1 << 20;

CString WithNul(const wchar_t* before, const wchar_t* after) {
  std::wstring text(before);
  text += L'\0';
  text += after;
  return CString(std::move(text));
}

// The names every test throws at the catalog.
std::vector<CString> HostileNames() {
  std::vector<CString> names = {
      L"'",
      L"''",
      L"x' OR '1'='1",
      L"x'; DELETE FROM Victim; --",
      L"x'); DROP TABLE Victim; --",
      L"]",
      L"a]b",
      L"[Victim]",
      L";",
      L"a;b",
      L"--",
      L"a -- b",
      L"/* x",
      L"*/",
      L"\"",
      L"\"Victim\"",
      L"\\",
      L"%",
      L"_",
      L"IsNull(Name)",
      L"?1",
      L"\U0001D538\U0001F600 non-BMP",
  };
  names.push_back(WithNul(L"A", L"'; DELETE FROM Victim; --"));
  names.push_back(CString("\xff\xfe\xc0\x80 invalid UTF-8"));
  names.push_back(CString(std::wstring(1, static_cast<wchar_t>(0xD800))));    // a lone surrogate
  names.push_back(CString(std::wstring(1, static_cast<wchar_t>(0x110000))));  // beyond Unicode
  names.push_back(CString(std::wstring(1, static_cast<wchar_t>(-5))));        // wchar_t is signed here
  names.push_back(CString(std::wstring(kMegabyte, L'x')));
  names.push_back(CString(std::wstring(kMegabyte, L'\'')));
  return names;
}

// The text a name is stored and compared as: cut at its first NUL, with U+FFFD for what is no character.
std::wstring Stored(const CString& name) {
  std::wstring text(name.GetString());
  for (wchar_t& c : text) {
    const auto u = static_cast<std::uint32_t>(c);
    if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) c = static_cast<wchar_t>(0xFFFD);
  }
  return text;
}

std::string Shown(const CString& name) {
  const std::string text = name.ToUtf8();
  return text.size() > 40 ? text.substr(0, 40) + "... (" + std::to_string(text.size()) + " bytes)" : text;
}

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    vdtest::CatalogBuilder catalog;
    catalog.AddFamily("Beams", "HE", "Height DOUBLE, Series TEXT",
                      "('HE 100', 100, 'SA'), ('HE 200', 200, 'SB'), ('O''Neil', 300, 'SC')");
    catalog.AddFamily("Odd;Family -- x", "OD", "Height DOUBLE", "('OD 1', 1)");
    catalog.AddFamily("Quote'd", "QU", "Height DOUBLE", "('Q 1', 1)");
    catalog.AddTable("Victim", "Height DOUBLE", "('V 1', 1), ('V 2', 2)");
    catalog.Write(m_file);
  }

  std::unique_ptr<CVdPatternCatalog> Open() {
    auto catalog = std::make_unique<CVdPatternCatalog>(VdFromUtf8(m_file).c_str());
    EXPECT_TRUE(catalog->IsOpened());
    return catalog;
  }

  std::string Bytes() const {
    std::ifstream in(m_file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string Cell(const std::string& sql) const { return vdtest::QueryText(m_file, sql); }

  // Rows of `sql` with `text` bound as its one parameter, straight from the engine.
  long Count(const std::string& sql, const std::wstring& text) const {
    sqlite3* db = nullptr;
    sqlite3_open_v2(m_file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    long count = -1;
    const std::string utf8 = VdToUtf8(text);
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_bind_text(stmt, 1, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
      count = static_cast<long>(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count;
  }

  void ExpectVictimIntact() const { EXPECT_EQ(Cell("SELECT group_concat(Name) FROM Victim"), "V 1,V 2"); }

  vdtest::TempDir m_dir;
  std::string m_file = m_dir.File("hostile.mdb");
};

}  // namespace

TEST_F(HostileInput, ReadingCallsWithHostileNamesFollowTheQuotingAndChangeNothing) {
  vdtest::ReportCapture capture;
  const std::string before = Bytes();
  {
    auto catalog = Open();
    for (const CString& name : HostileNames()) {
      SCOPED_TRACE(Shown(name));
      const std::wstring stored = Stored(name);
      const long inBeams = Count("SELECT count(*) FROM Beams WHERE Name = ?1", stored);
      EXPECT_EQ(catalog->FindPattern(name, nullptr), inBeams > 0);
      EXPECT_EQ(catalog->FindPattern(name, L"Beams"), inBeams > 0);
      std::unique_ptr<CVdPattern> pattern(catalog->GetPattern(name, nullptr));
      EXPECT_EQ(pattern != nullptr, inBeams > 0);

      // The filter reaches the engine's Like as it is: its own wildcards work, its quotes are only text. A
      // pattern longer than the engine takes (50,000 bytes) is refused by it: the call fails, silently.
      CVdPatternPool pool;
      const bool tooLong = VdToUtf8(stored).size() > 50000;
      EXPECT_EQ(catalog->GetFamilyPattern(&pool, L"Beams", name), !tooLong);
      EXPECT_EQ(pool.GetCount(), tooLong ? 0 : Count("SELECT count(*) FROM Beams WHERE Name LIKE ?1", stored));

      CVdPatternValue key{COleVariant(name)};
      EXPECT_EQ(catalog->GetMaxValue(L"Beams", L"Height", L"Name", key),
                inBeams > 0 ? CVdPatternCatalog::eFunctionFound : CVdPatternCatalog::eFunctionNotFound);
      EXPECT_EQ(VariantToDouble(&key), 300.0);  // O'Neil's height, or the greatest height when not found

      EXPECT_FALSE(catalog->FindFamily(name));
    }
  }
  EXPECT_TRUE(capture.reports.empty()) << VdToUtf8(capture.reports.front().text);
  EXPECT_TRUE(Bytes() == before) << "the file changed";  // not a byte changed, so no row either
  std::printf("[ hostile  ] names tried through the reading calls: %zu\n", HostileNames().size());
}

TEST_F(HostileInput, FamilyNamesAreBracketedAsTheyAreAndOneHoldingABracketFailsCleanly) {
  auto catalog = Open();
  // Names with ';', "--" and a quote are just names between brackets.
  EXPECT_TRUE(catalog->FindPattern(L"OD 1", L"Odd;Family -- x"));
  EXPECT_TRUE(catalog->FindPattern(L"Q 1", L"Quote'd"));
  std::unique_ptr<CVdPattern> odd(catalog->GetPattern(L"OD 1", nullptr));
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->GetFamily(), L"odd;family -- x");
  CVdPatternPool quoted;
  EXPECT_TRUE(catalog->GetFamilyPattern(&quoted, L"Quote'd", nullptr));
  EXPECT_EQ(quoted.GetCount(), 1);

  vdtest::ReportCapture capture;
  const std::string before = Bytes();
  const std::vector<CString> families = {L"Beams]",
                                         L"Beams] --",
                                         L"Beams] WHERE 1=1 --",
                                         L"Beams] WHERE 1=1; DELETE FROM [Victim",
                                         L"Victim]; DROP TABLE [Victim",
                                         L"[Beams]",
                                         L"Beams'",
                                         L"Beams' --",
                                         L"\U0001D538",
                                         CString(std::wstring(kMegabyte, L']')),
                                         CString(std::wstring(kMegabyte, L'b'))};
  for (const CString& family : families) {
    SCOPED_TRACE(Shown(family));
    EXPECT_FALSE(catalog->FindPattern(L"HE 100", family));
    EXPECT_FALSE(catalog->FindPattern(L"nothing", family));
    std::unique_ptr<CVdPattern> pattern(catalog->GetPattern(L"HE 100", family));
    EXPECT_FALSE(pattern);
    CVdPatternPool pool;
    EXPECT_FALSE(catalog->GetFamilyPattern(&pool, family, nullptr));
    EXPECT_FALSE(catalog->GetFamilyPattern(&pool, family, L"%"));
    EXPECT_EQ(pool.GetCount(), 0);
    CVdPattern replacement(1, L"HE 100", family);
    replacement.SetParam(0, L"height", 1.0);
    EXPECT_FALSE(catalog->ModifyPattern(L"HE 100", family, &replacement));
    EXPECT_FALSE(catalog->RemovePattern(L"HE 100", family));
    EXPECT_FALSE(catalog->RemovePattern(L"nothing", family));
    EXPECT_FALSE(catalog->InsertPattern(&replacement, false));
    EXPECT_FALSE(catalog->InsertPattern(&replacement, true));
  }
  EXPECT_TRUE(Bytes() == before) << "the file changed";
  ExpectVictimIntact();
  EXPECT_EQ(Cell("SELECT count(*) FROM Beams"), "3");
  // Failures met on the way are reported like any database failure, never thrown.
  for (const auto& report : capture.reports) EXPECT_EQ(report.caption, L"Erreur DB");
  std::printf("[ hostile  ] family names tried: %zu\n", families.size() + 3);
}

TEST_F(HostileInput, HostileNamesAreWrittenReadAndRemovedAsTheirOwnText) {
  vdtest::ReportCapture capture;
  auto catalog = Open();
  for (const CString& name : HostileNames()) {
    SCOPED_TRACE(Shown(name));
    const std::wstring stored = Stored(name);
    CVdPattern pattern(1, name, L"Beams");
    pattern.SetParam(0, L"height", 42.0);
    pattern.SetParam(0, L"series", name);
    ASSERT_TRUE(catalog->InsertPattern(&pattern, false));
    EXPECT_EQ(Count("SELECT count(*) FROM Beams WHERE Name = ?1", stored), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM Beams WHERE Series = ?1", stored), 1);
    EXPECT_EQ(Cell("SELECT count(*) FROM Beams"), "4");

    std::unique_ptr<CVdPattern> read(catalog->GetPattern(name, nullptr));
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->GetUserNameW().str() == stored);
    double height = 0;
    EXPECT_TRUE(read->GetParam(0, L"height", height));
    EXPECT_EQ(height, 42.0);

    // Written again under the same name: the row is overwritten, not doubled.
    pattern.SetParam(0, L"height", 43.0);
    EXPECT_TRUE(catalog->InsertPattern(&pattern, false));
    pattern.SetParam(0, L"height", 44.0);
    EXPECT_TRUE(catalog->ModifyPattern(name, L"Beams", &pattern));
    EXPECT_EQ(Count("SELECT count(*) FROM Beams WHERE Name = ?1 AND Height = 44", stored), 1);
    EXPECT_EQ(Cell("SELECT count(*) FROM Beams"), "4");

    EXPECT_TRUE(catalog->RemovePattern(name, nullptr));
    EXPECT_EQ(Count("SELECT count(*) FROM Beams WHERE Name = ?1", stored), 0);
    EXPECT_EQ(Cell("SELECT group_concat(Name, '|') FROM Beams"), "HE 100|HE 200|O'Neil");
  }
  ExpectVictimIntact();
  EXPECT_TRUE(capture.reports.empty()) << VdToUtf8(capture.reports.front().text);
  std::printf("[ hostile  ] names tried through insert, read, modify and remove: %zu\n", HostileNames().size());
}

TEST_F(HostileInput, RecordsetsRunOneStatementAndNeverASecond) {
  const std::string before = Bytes();
  CVdDatabase db;
  db.Open(CString(m_file.c_str()));
  const std::vector<CString> refused = {
      L"SELECT * FROM Beams; DELETE FROM Victim",
      L"SELECT * FROM Beams WHERE Name = 'x'; DELETE FROM Victim; --'",
      L"SELECT * FROM [Beams]; DROP TABLE [Victim]",
      L"SELECT * FROM Beams -- comment\n; DELETE FROM Victim",
      L"SELECT * FROM Beams /* ; */ ; DELETE FROM Victim /* */",
      L"SELECT * FROM Beams;;; DELETE FROM Victim",
      L"DELETE FROM Victim; SELECT 1",
      L"Victim; DELETE FROM Victim",
      L"[Victim]; DELETE FROM Victim",
      L"SELECT * FROM Beams WHERE Name = 'unterminated; DELETE FROM Victim",
      L"SELECT * FROM [Beams; DELETE FROM Victim",
      L"SELECT * FROM \"Beams; DELETE FROM Victim",
      L"",
      L" ;; -- nothing\n",
      L"SELECT " + CString(std::wstring(100000, L'(')) + L"1" + CString(std::wstring(100000, L')')),
      L"SELECT " + CString(std::wstring(kMegabyte / 8, L'\'')) + L"; DELETE FROM Victim",
  };
  for (const CString& text : refused) {
    SCOPED_TRACE(Shown(text));
    CVdRecordset rs(&db);
    bool threw = false;
    try {
      rs.Open(0, text, 0);
    } catch (CDBException* e) {
      threw = true;
      EXPECT_FALSE(e->m_strError.IsEmpty());
      EXPECT_EQ(e->m_strStateNativeOrigin.Find(L"State:"), 0);
      e->Delete();
    }
    EXPECT_TRUE(threw);
    EXPECT_FALSE(rs.IsOpen());
    threw = false;
    try {
      db.ExecuteSQL(text);
    } catch (CDBException* e) {
      threw = true;
      e->Delete();
    }
    EXPECT_TRUE(threw);
  }
  EXPECT_TRUE(Bytes() == before) << "the file changed";

  // One statement with hostile text inside its quotes, brackets and comments runs, and reads what it says.
  struct Case {
    CString text;
    long rows;
  };
  const std::vector<Case> accepted = {
      {L"SELECT * FROM Beams WHERE Name = 'O''Neil'", 1},
      {L"SELECT * FROM Beams WHERE Name = 'x''; DELETE FROM Victim; --'", 0},
      {L"SELECT * FROM [Odd;Family -- x]", 1},
      {L"SELECT * FROM [Quote'd] WHERE Name = 'Q 1' -- ; DELETE FROM Victim", 1},
      {L"SELECT * FROM Beams /* ; DELETE FROM Victim */ WHERE IsNull(Series) = 0;", 3},
      {L"SELECT * FROM Beams WHERE Series = 'IsNull(Name)'", 0},
      {WithNul(L"SELECT * FROM Victim", L"; DELETE FROM Victim"), 2},
      {L"Odd;Family -- x", 1},  // a bare name is a table name, whatever it holds
      {L"SELECT * FROM Beams WHERE Name = '" + CString(std::wstring(kMegabyte, L'\'')) + L"'", 0},
      {L"SELECT * FROM Beams WHERE Name = '\U0001F600' OR Name = 'HE 100'", 1},
  };
  for (const Case& c : accepted) {
    SCOPED_TRACE(Shown(c.text));
    CVdRecordset rs(&db);
    try {
      rs.Open(0, c.text, 0);
      EXPECT_EQ(rs.GetRecordCount(), c.rows);
    } catch (CDBException* e) {
      ADD_FAILURE() << VdToUtf8(e->m_strError.str());
      e->Delete();
    }
  }
  db.Close();
  EXPECT_TRUE(Bytes() == before) << "the file changed";
  ExpectVictimIntact();
  std::printf("[ hostile  ] statements tried: %zu refused, %zu run alone\n", refused.size(), accepted.size());
}

TEST_F(HostileInput, StatementsHandedToTheCatalogRunAloneOrNotAtAll) {
  vdtest::ReportCapture capture;
  const std::string before = Bytes();
  {
    auto catalog = Open();
    CVdPatternPool pool;
    EXPECT_FALSE(catalog->GetFamilyPatternSQL(&pool, L"SELECT * FROM Beams; DELETE FROM Victim", L"Beams"));
    EXPECT_FALSE(catalog->GetFamilyPatternSQL(&pool, L"DELETE FROM Victim; SELECT * FROM Beams", L"Beams"));
    EXPECT_EQ(pool.GetCount(), 0);
    EXPECT_TRUE(
        catalog->GetFamilyPatternSQL(&pool, L"SELECT * FROM Beams WHERE Name = 'x''; DELETE FROM Victim'", L"Beams"));
    EXPECT_EQ(pool.GetCount(), 0);
    // Table and column names of GetMaxValue are SQL as given: a second statement there is refused too.
    CVdPatternValue key(COleVariant(L"HE 100"));
    EXPECT_EQ(catalog->GetMaxValue(L"Beams; DELETE FROM Victim", L"Height", L"Name", key),
              CVdPatternCatalog::eFunctionFailed);
    EXPECT_EQ(catalog->GetMaxValue(L"Beams", L"Height) FROM Beams; DELETE FROM Victim; --", L"Name", key),
              CVdPatternCatalog::eFunctionFailed);
  }
  EXPECT_TRUE(Bytes() == before) << "the file changed";
  ExpectVictimIntact();
  EXPECT_EQ(capture.reports.size(), 2u);  // the two failures of GetMaxValue; GetFamilyPatternSQL is silent
}
