// Name lookups through CVdRecordset against the same work done with one prepared statement of the raw engine
// API, on the same file with the same connection settings:
//   recordset-lookup      normal file locking, as the library runs for real (every statement pays the lock);
//   recordset-lookup-cpu  both sides under locking_mode=EXCLUSIVE, which takes the locking cost away and
//                         leaves the library's own work in view.
// One benchmark iteration is one lookup of a different existing name; "all columns read" means every column
// of the found row lands in the caller's values (CDBVariant on one side, a tagged value on the other, texts
// as std::wstring on both).

#include "RawRow.h"
#include "ScratchDir.h"
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdRecordset.h>

namespace {

using rawbench::ReadRow;
using rawbench::Tagged;

constexpr int kRows = 2000;
constexpr int kLookups = 100000;

// A family table as catalogs have them: the name, a standard, seven dimensions and an integer, with the
// name indexed.
class Catalog {
 public:
  Catalog() {
    const std::string& dir = m_dir.path();
    m_path = dir + "/catalog.mdb";
    sqlite3* db = nullptr;
    sqlite3_open(m_path.c_str(), &db);
    Exec(db,
         "CREATE TABLE T (Name VARCHAR(50), Standard VARCHAR(20), h DOUBLE, b DOUBLE, tw DOUBLE, tf DOUBLE,"
         " r DOUBLE, A DOUBLE, Iy DOUBLE, Rev INTEGER)");
    Exec(db, "CREATE UNIQUE INDEX T_Name ON T (Name COLLATE NOCASE)");
    Exec(db, "BEGIN");
    for (int k = 0; k < kRows; ++k) {
      const std::string name = "PRF " + std::to_string(100 + k) + (k % 3 ? " A" : "");
      m_names.push_back(name);
      const double h = 100 + k;
      Exec(db, "INSERT INTO T VALUES ('" + name + "', 'EN 10365', " + std::to_string(h) + ", " + std::to_string(h / 2) +
                   ", 5.5, 8.25, 12, " + std::to_string(h * 0.21) + ", " + std::to_string(h * h * 3.5) + ", " +
                   std::to_string(k % 7) + ")");
    }
    Exec(db, "COMMIT");
    sqlite3_close(db);
    // The order of the lookups: every name in turn, in a scattered order.
    for (int k = 0; k < kLookups; ++k) m_order.push_back(static_cast<int>((static_cast<long long>(k) * 7919) % kRows));
  }

  const std::string& path() const { return m_path; }
  const std::vector<std::string>& names() const { return m_names; }
  int NameAt(std::int64_t lookup) const { return m_order[static_cast<std::size_t>(lookup % kLookups)]; }

  static void Exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error(message);
    }
  }

 private:
  bench::ScratchDir m_dir{"bench"};
  std::string m_path;
  std::vector<std::string> m_names;
  std::vector<int> m_order;
};

const Catalog& Data() {
  static const Catalog catalog;
  return catalog;
}

// ------------------------------------------------------------------ the library

void Library(benchmark::State& state, bool exclusive, double target) {
  const Catalog& data = Data();
  // The statement texts are the host's work, made before timing; the library gets a new text each time.
  std::vector<CString> texts;
  for (const std::string& name : data.names()) {
    CString text;
    text.Format(L"Select * From [T] WHERE Name = '%s'", VdFromUtf8(name));
    texts.push_back(text);
  }
  CVdDatabase db;
  db.Open(CString(data.path().c_str()), 0, 0);
  if (exclusive) db.ExecuteSQL(L"PRAGMA locking_mode=EXCLUSIVE");
  std::vector<CDBVariant> row(10);
  std::int64_t lookup = 0, found = 0;
  for (auto _ : state) {
    CVdRecordset rs(&db);
    rs.Open(0, texts[static_cast<std::size_t>(data.NameAt(lookup++))], 0);
    if (rs.GetRecordCount() > 0) {
      rs.MoveFirst();
      const short columns = rs.GetODBCFieldCount();
      for (short c = 0; c < columns; ++c) rs.GetFieldValue(c, row[static_cast<std::size_t>(c)]);
      ++found;
    }
    benchmark::DoNotOptimize(row.data());
  }
  if (found != lookup) state.SkipWithError("a lookup found no row");
  state.counters["target"] = target;
}

// ------------------------------------------------------------------ the raw engine

void Baseline(benchmark::State& state, bool exclusive) {
  const Catalog& data = Data();
  sqlite3* db = nullptr;
  // The library's connection settings (VdDatabase.h).
  if (sqlite3_open_v2(data.path().c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                      nullptr) != SQLITE_OK)
    return state.SkipWithError("open failed");
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, 5000);
  Catalog::Exec(db, "PRAGMA synchronous=FULL");
  if (exclusive) Catalog::Exec(db, "PRAGMA locking_mode=EXCLUSIVE");
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v3(db, "SELECT * FROM T WHERE Name = ?1 COLLATE NOCASE", -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                     nullptr);
  std::vector<Tagged> row(10);
  std::int64_t lookup = 0, found = 0;
  for (auto _ : state) {
    const std::string& name = data.names()[static_cast<std::size_t>(data.NameAt(lookup++))];
    sqlite3_bind_text(stmt, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      ReadRow(stmt, row);
      ++found;
    }
    sqlite3_reset(stmt);
    benchmark::DoNotOptimize(row.data());
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  if (found != lookup) state.SkipWithError("a lookup found no row");
}

// Registered in this order so that each ratio's two sides sit next to each other in the report.
const bool kRegistered = [] {
  benchmark::RegisterBenchmark("recordset-lookup/library", [](benchmark::State& s) {
    Library(s, false, 1.15);
  })->Iterations(kLookups);
  benchmark::RegisterBenchmark("recordset-lookup/baseline", [](benchmark::State& s) {
    Baseline(s, false);
  })->Iterations(kLookups);
  benchmark::RegisterBenchmark("recordset-lookup-cpu/library", [](benchmark::State& s) {
    Library(s, true, 1.4);
  })->Iterations(kLookups);
  benchmark::RegisterBenchmark("recordset-lookup-cpu/baseline", [](benchmark::State& s) {
    Baseline(s, true);
  })->Iterations(kLookups);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
