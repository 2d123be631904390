// Statement texts from outside: what a host hands to CVdRecordset::Open and CVdDatabase::ExecuteSQL passes the
// layer's own scanner (one statement only, IsNull rewritten, quoted literals lifted out as parameters) before
// the engine sees it. Two promises are checked here:
// - a text the scanner accepts holds one statement for the engine too: nothing follows it but blanks;
// - a text translated through the cache of statement shapes (a text equal to a remembered one outside its
//   literals) comes out exactly as the full scan makes it, so a cached shape can never change what runs.
// The input is two texts separated by U+0001: the first is remembered, the second translated both ways.
// This target reaches the scanner directly, so it needs the static build (-DBUILD_SHARED_LIBS=OFF).

#include <sqlite3.h>

#include <string>
#include <vdpattern/toolkit/DBTypes.h>

#include "FuzzInput.h"
#include "db/sqlite/SqliteDialect.h"

using vdfuzz::Check;
using vdpattern::db::StatementShapes;
using vdpattern::db::StatementText;
using vdpattern::db::TranslateStatement;

namespace {

sqlite3* g_db = nullptr;

bool Translate(const std::wstring& text, StatementText& out, StatementShapes* shapes) {
  try {
    if (shapes)
      TranslateStatement(text.c_str(), out, *shapes);
    else
      TranslateStatement(text.c_str(), out);
    return true;
  } catch (CDBException* e) {
    Check(e->m_strStateNativeOrigin.Find(L"State:42000,") == 0);
    e->Delete();
    return false;
  }
}

bool Same(const StatementText& a, const StatementText& b) {
  return a.sql == b.sql && a.literals == b.literals && a.literalEnds == b.literalEnds && a.fromPos == b.fromPos &&
         a.distinctPos == b.distinctPos && a.tailPos == b.tailPos && a.cacheable == b.cacheable &&
         a.singleTableSelect == b.singleTableSelect && a.folded == b.folded && a.nestedDistinct == b.nestedDistinct;
}

// What the engine makes of a translated text: when it compiles, nothing but blanks and ';' may follow.
void CheckOneStatement(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(g_db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) == SQLITE_OK && tail) {
    for (const char* p = tail; p < sql.c_str() + sql.size(); ++p)
      Check(*p == ' ' || *p == ';' || *p == '\t' || *p == '\n' || *p == '\r');
  }
  sqlite3_finalize(stmt);
}

// The layer adds the row id to a SELECT over one table at the position of its FROM: that must be the keyword.
void CheckTranslation(const StatementText& text) {
  CheckOneStatement(text.sql);
  // A DISTINCT that may become a grouping is the keyword, and its grouping goes before ORDER BY, LIMIT or the end.
  if (text.distinctPos != std::string::npos) {
    Check(text.distinctPos + 8 <= text.sql.size() &&
          sqlite3_strnicmp(text.sql.c_str() + text.distinctPos, "DISTINCT", 8) == 0);
    Check(text.tailPos > text.distinctPos && text.tailPos <= text.sql.size());
  }
  // So is each nested one, with its grouping's place after it.
  Check(text.nestedDistinct.size() % 2 == 0);
  for (std::size_t k = 0; k + 1 < text.nestedDistinct.size(); k += 2) {
    const std::size_t distinct = text.nestedDistinct[k], tail = text.nestedDistinct[k + 1];
    Check(distinct >= 7 && distinct + 8 <= text.sql.size() &&
          sqlite3_strnicmp(text.sql.c_str() + distinct, "DISTINCT", 8) == 0);
    Check(tail > distinct && tail <= text.sql.size());
  }
  if (text.fromPos == std::string::npos) return;
  Check(text.fromPos + 4 <= text.sql.size() && sqlite3_strnicmp(text.sql.c_str() + text.fromPos, "FROM", 4) == 0);
  if (!text.singleTableSelect) return;
  std::string withRowId = text.sql;
  withRowId.insert(text.fromPos, ", _rowid_ ");
  CheckOneStatement(withRowId);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Check(sqlite3_open(":memory:", &g_db) == SQLITE_OK);
  Check(sqlite3_exec(g_db,
                     "CREATE TABLE Beams (Name TEXT, Height DOUBLE, Series TEXT);"
                     "CREATE TABLE [Odd;Family -- x] (Name TEXT, Height DOUBLE);"
                     "CREATE TABLE Definition (def_name TEXT, def_version INTEGER);",
                     nullptr, nullptr, nullptr) == SQLITE_OK);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  vdfuzz::Input input(data, size);
  const std::wstring all = input.Text();
  const std::size_t split = all.find(L'\x01');
  const std::wstring first = all.substr(0, split);
  const std::wstring second = split == std::wstring::npos ? first : all.substr(split + 1);

  StatementShapes shapes;
  StatementText remembered, cached, full;
  if (Translate(first, remembered, &shapes)) CheckTranslation(remembered);
  const bool viaShapes = Translate(second, cached, &shapes);
  const bool viaScan = Translate(second, full, nullptr);
  Check(viaShapes == viaScan);
  if (viaScan) {
    Check(Same(cached, full));
    CheckTranslation(full);
  }
  return 0;
}
