// Pattern lookups through the manager against the same probe sequence done with prepared statements of the raw
// engine API, on the same files with the same connection settings:
//   manager-lookup      normal file locking, as the library runs for real;
//   manager-lookup-cpu  both sides under locking_mode=EXCLUSIVE, which takes the locking cost away and leaves
//                       the library's own work in view.
// Three catalogs of 40 families x 250 patterns (12 columns) are attached. One benchmark iteration resolves one
// name with GetPattern(name, ePatternTypeCatalog, &check); every name is found only in the last family of the
// last catalog, so each lookup walks all 120 families. The baseline probes the same 120 tables in the same
// order with one prepared statement each and reads the found row into tagged values (texts as std::wstring).
// Under normal locking the baseline pays the file lock on every probe, while a catalog search holds one read
// transaction across its walk: hence a target below 1 there.

#include "RawRow.h"
#include "ScratchDir.h"
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/manager/VdPatternManager.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

namespace {

using rawbench::ReadRow;
using rawbench::Tagged;

constexpr int kCatalogs = 3;
constexpr int kFamilies = 40;
constexpr int kPatterns = 250;
constexpr int kLookups = 10000;

std::string FamilyName(int f) { return "F" + std::string(f < 10 ? "0" : "") + std::to_string(f); }

std::string PatternName(int c, int f, int k) {
  return "S" + std::to_string(c) + FamilyName(f) + " " + std::to_string(100 + k);
}

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "?";
    sqlite3_free(error);
    throw std::runtime_error(message);
  }
}

// Three catalog files in a temporary folder, removed at exit. Family tables F00..F39 (the order in which a
// catalog lists them), each with the name indexed as catalogs have it.
class Catalogs {
 public:
  Catalogs() {
    const std::string& dir = m_dir.path();
    for (int c = 0; c < kCatalogs; ++c) {
      m_paths.push_back(dir + "/cat" + std::to_string(c) + ".mdb");
      Write(m_paths.back(), c);
    }
    // The names to resolve: every pattern of the last family of the last catalog, in a scattered order.
    for (int k = 0; k < kLookups; ++k)
      m_names.push_back(PatternName(kCatalogs - 1, kFamilies - 1, (k * 7919) % kPatterns));
  }

  const std::vector<std::string>& paths() const { return m_paths; }
  const std::string& Name(std::int64_t lookup) const { return m_names[static_cast<std::size_t>(lookup % kLookups)]; }

 private:
  static void Write(const std::string& path, int c) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "BEGIN");
    Exec(db, "CREATE TABLE Definition (def_name TEXT, def_version INTEGER, def_lastUpdate TEXT, def_editorName TEXT)");
    Exec(db, "INSERT INTO Definition VALUES ('VdCatalog', 3, '2001/01/01', 'Bench')");
    Exec(db, "CREATE TABLE FamilyDescription (Name TEXT, FamilyCode TEXT, Description TEXT)");
    Exec(db, "CREATE TABLE Units (Family TEXT)");
    for (int f = 0; f < kFamilies; ++f) {
      const std::string family = FamilyName(f);
      Exec(db, "INSERT INTO FamilyDescription VALUES ('" + family + "', 'C" + family + "', 'Family " + family + "')");
      Exec(db, "CREATE TABLE [" + family +
                   "] (Name VARCHAR(50), Standard VARCHAR(20), h DOUBLE, b DOUBLE, tw DOUBLE, tf DOUBLE, r DOUBLE,"
                   " A DOUBLE, Iy DOUBLE, Iz DOUBLE, G DOUBLE, Rev INTEGER)");
      Exec(db, "CREATE UNIQUE INDEX [" + family + "_Name] ON [" + family + "] (Name COLLATE NOCASE)");
      for (int k = 0; k < kPatterns; ++k) {
        const double h = 100 + k;
        Exec(db, "INSERT INTO [" + family + "] VALUES ('" + PatternName(c, f, k) + "', 'EN 10365', " +
                     std::to_string(h) + ", " + std::to_string(h / 2) + ", 5.5, 8.25, 12, " + std::to_string(h * 0.21) +
                     ", " + std::to_string(h * h * 3.5) + ", " + std::to_string(h * h * 0.7) + ", " +
                     std::to_string(h * 0.17) + ", " + std::to_string(k % 7) + ")");
      }
    }
    Exec(db, "COMMIT");
    sqlite3_close(db);
  }

  bench::ScratchDir m_dir{"bench"};
  std::vector<std::string> m_paths;
  std::vector<std::string> m_names;
};

const Catalogs& Data() {
  static const Catalogs catalogs;
  return catalogs;
}

// ------------------------------------------------------------------ the library

void Library(benchmark::State& state, bool exclusive, double target) {
  const Catalogs& data = Data();
  std::vector<CString> names;  // the host's texts, made before timing
  for (int k = 0; k < kLookups; ++k) names.push_back(CString(VdFromUtf8(data.Name(k))));
  CVdPatternManager manager(new CVdPatternFactory);
  for (const std::string& path : data.paths()) {
    auto* db = new CVdDatabase;
    db->Open(CString(path.c_str()), exclusive ? 1 : 0, 0);
    if (!manager.AttachCatalog(new CVdPatternCatalog(db, nullptr, true))) return state.SkipWithError("attach failed");
  }
  auto check = CVdPattern::eCheckUserNameOk;
  std::int64_t lookup = 0, found = 0;
  for (auto _ : state) {
    std::unique_ptr<CVdPattern> pattern(manager.GetPattern(names[static_cast<std::size_t>(lookup++ % kLookups)],
                                                           CVdPattern::ePatternTypeCatalog, &check));
    if (pattern) ++found;
    benchmark::DoNotOptimize(pattern.get());
  }
  if (found != lookup) state.SkipWithError("a lookup found no pattern");
  state.counters["target"] = target;
}

// ------------------------------------------------------------------ the raw engine

void Baseline(benchmark::State& state, bool exclusive) {
  const Catalogs& data = Data();
  std::vector<sqlite3*> dbs;
  std::vector<std::vector<sqlite3_stmt*>> probes;  // per catalog, per family
  for (const std::string& path : data.paths()) {
    sqlite3* db = nullptr;
    // The library's connection settings (VdDatabase.h).
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                        nullptr) != SQLITE_OK)
      return state.SkipWithError("open failed");
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 5000);
    Exec(db, "PRAGMA synchronous=FULL");
    if (exclusive) Exec(db, "PRAGMA locking_mode=EXCLUSIVE");
    dbs.push_back(db);
    probes.emplace_back();
    for (int f = 0; f < kFamilies; ++f) {
      const std::string sql = "SELECT * FROM [" + FamilyName(f) + "] WHERE Name = ?1 COLLATE NOCASE";
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
      probes.back().push_back(stmt);
    }
  }
  std::vector<Tagged> row;
  std::int64_t lookup = 0, found = 0;
  for (auto _ : state) {
    const std::string& name = data.Name(lookup++);
    bool hit = false;
    for (std::size_t c = 0; c < probes.size() && !hit; ++c) {
      for (sqlite3_stmt* stmt : probes[c]) {
        sqlite3_bind_text(stmt, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        if (sqlite3_step(stmt) == SQLITE_ROW) {
          ReadRow(stmt, row);
          hit = true;
        }
        sqlite3_reset(stmt);
        if (hit) break;
      }
    }
    if (hit) ++found;
    benchmark::DoNotOptimize(row.data());
  }
  for (auto& statements : probes)
    for (sqlite3_stmt* stmt : statements) sqlite3_finalize(stmt);
  for (sqlite3* db : dbs) sqlite3_close(db);
  if (found != lookup) state.SkipWithError("a lookup found no row");
}

}  // namespace

BENCHMARK_CAPTURE(Library, manager - lookup / library, false, 0.25)
    ->Name("manager-lookup/library")
    ->Iterations(kLookups);
BENCHMARK_CAPTURE(Baseline, manager - lookup / baseline, false)->Name("manager-lookup/baseline")->Iterations(kLookups);
BENCHMARK_CAPTURE(Library, manager - lookup - cpu / library, true, 1.6)
    ->Name("manager-lookup-cpu/library")
    ->Iterations(kLookups);
BENCHMARK_CAPTURE(Baseline, manager - lookup - cpu / baseline, true)
    ->Name("manager-lookup-cpu/baseline")
    ->Iterations(kLookups);

BENCHMARK_MAIN();
