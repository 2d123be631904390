// The catalog against the raw engine API doing the same work, on one catalog built for the run: 40 families
// F00..F39 of 250 patterns (Name and 11 more columns, the name indexed ignoring case, as the library makes
// catalogs) and one family ZBig of 50,000 patterns (Name and 13 parameters), with "Definition",
// "FamilyDescription" and "Units". The baselines look names up ignoring case too, as the catalog does.
//   catalog-search       FindPattern(name, null family) of names held only by F39, so the search walks all 40
//                        families; the baseline probes the 40 tables in the same order with 40 prepared
//                        statements, reading the found row into tagged values. Normal file locking.
//   catalog-search-cpu   the same with locking_mode=EXCLUSIVE on both sides.
//   catalog-family-read  GetFamilyPattern of ZBig into a pool, against reading the same rows into a vector of
//                        rows of tagged values (texts as std::wstring). Each side runs in a fresh process (this
//                        program started again with --child), which measures the CPU time of the read alone.
//   name-spelling-vs-exact  GetPattern(spelling, null family) with spellings on ("s1000123" for "S 1000123"),
//                        against GetPattern of the exact name, in a catalog of 100,000 patterns in one family and
//                        750 in three more, its names indexed.
//   name-spelling-growth-10x  the spelling lookup in that catalog against the same in one of 10,000 patterns.
//   pattern-memory-kb    heap bytes per pattern held by the pool after that read, in KB (mallinfo2 before and
//                        after), as a ratio against a baseline of exactly 1. The figure does not vary from run to
//                        run, so one child measures it once per run of this program.
//   catalog-family-read-1m, pattern-memory-kb-1m  the same for ZHuge, 1,000,000 rows shaped like ZBig's, in a
//                        catalog file of its own, built on first need once per run of this program (some
//                        seconds). Its pairs run 5 repetitions whatever bench/run asks: a read of a million rows
//                        takes seconds, and the measured figure is the child's CPU time, little disturbed by load.
// bench/run compares the framework's CPU times, which cannot see a child's work. So a child is started with the
// timer paused, and what it measured is then spent as busy CPU time with the timer running: the child's CPU
// seconds for the reads, 10 ms per KB (against 10 ms) for the memory.

#include "RawRow.h"
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "ChildWork.h"
#include "ScratchDir.h"

namespace {

using rawbench::ReadRow;
using rawbench::Tagged;

constexpr int kFamilies = 40;
constexpr int kFamilyRows = 250;
constexpr int kBigRows = 50000;
constexpr int kHugeRows = 1000000;
constexpr int kSearches = 4000;
constexpr int kCpuSearches = 20000;
constexpr int kNameLookups = 3000;

std::string FamilyName(int f) {
  char name[8];
  std::snprintf(name, sizeof name, "F%02d", f);
  return name;
}

std::string PatternName(int f, int k) { return "P" + std::to_string(f) + "-" + std::to_string(100 + k); }

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "?";
    sqlite3_free(error);
    throw std::runtime_error(message + " in " + sql);
  }
}

// Opens the file with the library's connection settings (VdDatabase.h).
sqlite3* OpenRaw(const std::string& path, bool exclusive) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                      nullptr) != SQLITE_OK)
    throw std::runtime_error("cannot open " + path);
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, 5000);
  Exec(db, "PRAGMA synchronous=FULL");
  if (exclusive) Exec(db, "PRAGMA locking_mode=EXCLUSIVE");
  return db;
}

// A family read by the family-read benchmarks: its catalog file, table and row count.
struct FamilyFile {
  std::string path;
  const char* family;
  long rows;
};

// A catalog file in a temporary directory of its own, removed with the object.
class CatalogFile {
 public:
  // Creates the file with the system tables and leaves `db` in a transaction, for the caller's tables.
  explicit CatalogFile(sqlite3*& db) {
    const std::string& dir = m_dir.path();
    m_path = dir + "/catalog.mdb";
    if (sqlite3_open(m_path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot create " + m_path);
    Exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN");
    Exec(db,
         "CREATE TABLE Definition (def_name TEXT, def_version INTEGER, def_lastUpdate TEXT, def_editorName TEXT);"
         "INSERT INTO Definition VALUES ('Bench', 1, '2024/01/01', 'bench');"
         "CREATE TABLE FamilyDescription (Name TEXT, FamilyCode TEXT, Description TEXT);"
         "CREATE TABLE Units (Family TEXT, h TEXT, b TEXT, A TEXT, Iy TEXT)");
  }
  CatalogFile(const CatalogFile&) = delete;
  CatalogFile& operator=(const CatalogFile&) = delete;

  const std::string& path() const { return m_path; }

  // A table of Name and 13 parameters (Standard, 11 doubles, Rev), the name indexed, holding `rows` rows named
  // by `name`.
  template <typename Namer>
  static void AddBigFamily(sqlite3* db, const std::string& table, const std::string& code, int rows, Namer name) {
    Exec(db, "CREATE TABLE [" + table +
                 "] (Name VARCHAR(50), Standard VARCHAR(20), h DOUBLE, b DOUBLE, tw DOUBLE, tf DOUBLE,"
                 " r DOUBLE, A DOUBLE, G DOUBLE, Iy DOUBLE, Iz DOUBLE, Wy DOUBLE, Wz DOUBLE, Rev INTEGER);"
                 "CREATE UNIQUE INDEX [" +
                 table + "_Name] ON [" + table +
                 "] (Name COLLATE NOCASE);"
                 "INSERT INTO FamilyDescription VALUES ('" +
                 table + "', '" + code +
                 "', 'a big family');"
                 "INSERT INTO Units VALUES ('" +
                 table + "', 'mm', 'mm', 'cm2', 'cm4')");
    Insert(db, table, 14, rows, name);
  }

  // `columns` columns: Name, Standard, doubles, and an integer last.
  template <typename Namer>
  static void Insert(sqlite3* db, const std::string& table, int columns, int rows, Namer name) {
    std::string sql = "INSERT INTO [" + table + "] VALUES (?";
    for (int c = 1; c < columns; ++c) sql += ", ?";
    sql += ")";
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    for (int k = 0; k < rows; ++k) {
      const std::string n = name(k);
      sqlite3_bind_text(stmt, 1, n.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(stmt, 2, "EN 10365", -1, SQLITE_STATIC);
      const double h = 80 + (k % 900);
      for (int c = 3; c < columns; ++c) sqlite3_bind_double(stmt, c, h * (1 + 0.37 * c));
      sqlite3_bind_int(stmt, columns, k % 7);
      if (sqlite3_step(stmt) != SQLITE_DONE) throw std::runtime_error("insert failed");
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
  }

 private:
  bench::ScratchDir m_dir{"catbench"};
  std::string m_path;
};

class Catalog {
 public:
  Catalog() : m_file(m_db) {
    sqlite3* db = m_db;
    for (int f = 0; f < kFamilies; ++f) {
      const std::string family = FamilyName(f);
      Exec(db, "CREATE TABLE [" + family +
                   "] (Name VARCHAR(50), Standard VARCHAR(20), h DOUBLE, b DOUBLE, tw DOUBLE, tf DOUBLE, r DOUBLE,"
                   " A DOUBLE, G DOUBLE, Iy DOUBLE, Iz DOUBLE, Rev INTEGER);"
                   "CREATE UNIQUE INDEX [" +
                   family + "_Name] ON [" + family +
                   "] (Name COLLATE NOCASE);"
                   "INSERT INTO FamilyDescription VALUES ('" +
                   family + "', 'C" + family +
                   "', 'bench family');"
                   "INSERT INTO Units VALUES ('" +
                   family + "', 'mm', 'mm', 'cm2', 'cm4')");
      CatalogFile::Insert(db, family, 12, kFamilyRows, [f](int k) { return PatternName(f, k); });
    }
    CatalogFile::AddBigFamily(db, "ZBig", "ZB", kBigRows, [](int k) { return "Z " + std::to_string(100000 + k); });
    Exec(db, "COMMIT");
    sqlite3_close(db);

    for (int k = 0; k < kFamilyRows; ++k) m_lastFamilyNames.push_back(PatternName(kFamilies - 1, k));
  }

  const std::string& path() const { return m_file.path(); }
  // Names held only by the last of the 40 families.
  const std::vector<std::string>& lastFamilyNames() const { return m_lastFamilyNames; }
  FamilyFile big() const { return {path(), "ZBig", kBigRows}; }

 private:
  sqlite3* m_db = nullptr;  // open while the constructor fills the file
  CatalogFile m_file;
  std::vector<std::string> m_lastFamilyNames;
};

const Catalog& Data() {
  static const Catalog catalog;
  return catalog;
}

// The catalog of ZHuge alone. Its names are ZBig's scheme one digit wider, so the rows come in name order too.
class HugeCatalog {
 public:
  HugeCatalog() : m_file(m_db) {
    CatalogFile::AddBigFamily(m_db, "ZHuge", "ZH", kHugeRows, [](int k) { return "Z " + std::to_string(1000000 + k); });
    Exec(m_db, "COMMIT");
    sqlite3_close(m_db);
  }
  FamilyFile huge() const { return {m_file.path(), "ZHuge", kHugeRows}; }

 private:
  sqlite3* m_db = nullptr;
  CatalogFile m_file;
};

FamilyFile Huge() {
  static const HugeCatalog catalog;
  return catalog.huge();
}

// ------------------------------------------------------------------ tagged values of the raw side

// ------------------------------------------------------------------ search

void SearchLibrary(benchmark::State& state, bool exclusive, double target) {
  const Catalog& data = Data();
  std::vector<std::wstring> names;
  for (const std::string& name : data.lastFamilyNames()) names.push_back(VdFromUtf8(name));
  std::unique_ptr<CVdPatternCatalog> catalog;
  if (exclusive) {
    auto* db = new CVdDatabase();
    db->Open(CString(VdFromUtf8(data.path())), 1, 0);
    catalog = std::make_unique<CVdPatternCatalog>(db, nullptr, true);
  } else {
    catalog = std::make_unique<CVdPatternCatalog>(VdFromUtf8(data.path()).c_str());
  }
  if (!catalog->IsOpened()) return state.SkipWithError("the catalog did not open");
  std::size_t next = 0;
  std::int64_t found = 0;
  for (auto _ : state) {
    found += catalog->FindPattern(names[next++ % names.size()].c_str(), nullptr) ? 1 : 0;
  }
  if (found != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("a search found nothing");
  state.counters["target"] = target;
}

void SearchBaseline(benchmark::State& state, bool exclusive) {
  const Catalog& data = Data();
  sqlite3* db = OpenRaw(data.path(), exclusive);
  std::vector<sqlite3_stmt*> probes;
  for (int f = 0; f < kFamilies; ++f) {
    const std::string sql = "SELECT * FROM [" + FamilyName(f) + "] WHERE Name = ?1 COLLATE NOCASE";
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    probes.push_back(stmt);
  }
  std::vector<Tagged> row;
  std::size_t next = 0;
  std::int64_t found = 0;
  for (auto _ : state) {
    const std::string& name = data.lastFamilyNames()[next++ % data.lastFamilyNames().size()];
    for (sqlite3_stmt* stmt : probes) {
      sqlite3_bind_text(stmt, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
      const bool hit = sqlite3_step(stmt) == SQLITE_ROW;
      if (hit) ReadRow(stmt, row);
      sqlite3_reset(stmt);
      if (hit) {
        ++found;
        break;
      }
    }
    benchmark::DoNotOptimize(row.data());
  }
  for (sqlite3_stmt* stmt : probes) sqlite3_finalize(stmt);
  sqlite3_close(db);
  if (found != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("a search found nothing");
}

// ------------------------------------------------------------------ names as engineers write them

// A catalog of four families: ZS of `rows` patterns "S 1000000".. and three of 250, its names indexed by the
// library. A spelling ("s1000123") is a row's name without its space and in lower case.
class NamesCatalog {
 public:
  explicit NamesCatalog(int rows) : m_file(m_db), m_rows(rows) {
    for (int f = 0; f < 3; ++f)
      CatalogFile::AddBigFamily(m_db, FamilyName(f), "C" + FamilyName(f), kFamilyRows,
                                [f](int k) { return PatternName(f, k); });
    CatalogFile::AddBigFamily(m_db, "ZS", "ZS", rows, [](int k) { return "S " + std::to_string(1000000 + k); });
    Exec(m_db, "COMMIT");
    sqlite3_close(m_db);
    CVdPatternCatalog catalog(VdFromUtf8(m_file.path()).c_str());
    CString error;
    if (!catalog.IsOpened() || !catalog.RebuildNameIndex(error)) throw std::runtime_error("no name index");
  }
  const std::string& path() const { return m_file.path(); }
  // The k-th of `count` names spread over the whole family, as written or as a spelling.
  std::wstring Name(int k, int count, bool spelt) const {
    const std::string digits = std::to_string(1000000 + static_cast<long long>(k % count) * m_rows / count);
    return VdFromUtf8(spelt ? "s" + digits : "S " + digits);
  }

 private:
  sqlite3* m_db = nullptr;
  CatalogFile m_file;
  int m_rows;
};

const NamesCatalog& Names(int rows) {
  static const NamesCatalog small(10000), large(100000);
  return rows == 10000 ? small : large;
}

// GetPattern by name or by spelling, with spellings on: the exact name is asked first, as every lookup does.
void NameLookup(benchmark::State& state, int rows, bool spelt, double target) {
  const NamesCatalog& data = Names(rows);
  CVdPatternCatalog catalog(VdFromUtf8(data.path()).c_str());
  if (!catalog.IsOpened()) return state.SkipWithError("the catalog did not open");
  catalog.SetMatchSpellings(true);
  constexpr int kSpread = 1000;
  int next = 0;
  std::int64_t found = 0;
  for (auto _ : state) {
    std::unique_ptr<CVdPattern> pattern(catalog.GetPattern(data.Name(next++, kSpread, spelt).c_str(), nullptr));
    found += pattern ? 1 : 0;
  }
  if (found != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("a lookup found nothing");
  if (target > 0) state.counters["target"] = target;
}

// ------------------------------------------------------------------ family read, in a fresh process

struct ChildResult {
  double seconds = 0;
  double bytesPerPattern = 0;
  long rows = 0;
};

// The child's work: one side's read of `family`, timed; printed as "seconds bytes-per-pattern rows".
int RunChild(const std::string& side, const std::string& path, const std::string& family) {
  const bool library = side == "library";
  double seconds = 0, bytesPerPattern = 0;
  long rows = 0;
  if (library) {
    // Left to the end of the process: freeing a million patterns would only lengthen the run.
    auto* catalog = new CVdPatternCatalog(VdFromUtf8(path).c_str());
    auto* pool = new CVdPatternPool(true, nullptr);
    if (!catalog->IsOpened()) return 1;
    const struct mallinfo2 before = mallinfo2();
    const double start = benchcpu::ThreadSeconds();
    const bool read = catalog->GetFamilyPattern(pool, VdFromUtf8(family).c_str(), nullptr);
    seconds = benchcpu::ThreadSeconds() - start;
    const struct mallinfo2 after = mallinfo2();
    if (!read) return 1;
    rows = pool->GetCount();
    const double used =
        static_cast<double>(after.uordblks + after.hblkhd) - static_cast<double>(before.uordblks + before.hblkhd);
    bytesPerPattern = rows ? used / static_cast<double>(rows) : 0;
  } else {
    sqlite3* db = OpenRaw(path, false);
    auto* table = new std::vector<std::vector<Tagged>>();
    const double start = benchcpu::ThreadSeconds();
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, ("SELECT * FROM [" + family + "]").c_str(), -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      table->emplace_back();
      ReadRow(stmt, table->back());
    }
    sqlite3_finalize(stmt);
    seconds = benchcpu::ThreadSeconds() - start;
    rows = static_cast<long>(table->size());
    sqlite3_close(db);
  }
  std::printf("%.9f %.3f %ld\n", seconds, bytesPerPattern, rows);
  std::fflush(stdout);
  std::_Exit(0);
}

bool RunInChild(const std::string& side, const FamilyFile& file, ChildResult& result) {
  static const std::string self = benchcpu::SelfPath();
  const std::string command = "'" + self + "' --child " + side + " '" + file.path + "' " + file.family;
  FILE* child = popen(command.c_str(), "r");
  if (!child) return false;
  const int fields = std::fscanf(child, "%lf %lf %ld", &result.seconds, &result.bytesPerPattern, &result.rows);
  return pclose(child) == 0 && fields == 3 && result.rows == file.rows;
}

void FamilyRead(benchmark::State& state, FamilyFile (*file)(), const char* side, double target) {
  const FamilyFile family = file();
  for (auto _ : state) {
    state.PauseTiming();
    ChildResult result;
    const bool ran = RunInChild(side, family, result);
    state.ResumeTiming();
    if (!ran) return state.SkipWithError("the child process failed");
    benchcpu::Spend(result.seconds);
  }
  if (target > 0) state.counters["target"] = target;
}

// The KB per pattern of the library side as 10 ms of CPU time per KB, against a baseline of 10 ms. The heap
// a read leaves is the same every time: one child per family and run measures it.
void PatternMemory(benchmark::State& state, FamilyFile (*file)(), bool library, double target) {
  static std::map<std::string, double> measured;  // bytes per pattern by family
  const FamilyFile family = file();
  for (auto _ : state) {
    state.PauseTiming();
    bool ran = true;
    if (library && !measured.count(family.family)) {
      ChildResult result;
      ran = RunInChild("library", family, result);
      if (ran) measured[family.family] = result.bytesPerPattern;
    }
    state.ResumeTiming();
    if (!ran) return state.SkipWithError("the child process failed");
    benchcpu::Spend(library ? measured[family.family] / 1024.0 * 0.01 : 0.01);
  }
  if (library) state.counters["target"] = target;
}

FamilyFile Big() { return Data().big(); }

// Registers the family-read and memory pairs of one family; `repetitions` 0 leaves the count to the command line.
void RegisterFamily(const std::string& suffix, FamilyFile (*file)(), double readTarget, double memoryTarget,
                    int repetitions) {
  auto each = [repetitions](benchmark::internal::Benchmark* b) {
    b->Iterations(1)->Unit(benchmark::kMillisecond);
    if (repetitions > 0) b->Repetitions(repetitions);
  };
  each(benchmark::RegisterBenchmark(("catalog-family-read" + suffix + "/library").c_str(),
                                    [=](benchmark::State& s) { FamilyRead(s, file, "library", readTarget); }));
  each(benchmark::RegisterBenchmark(("catalog-family-read" + suffix + "/baseline").c_str(),
                                    [=](benchmark::State& s) { FamilyRead(s, file, "baseline", 0); }));
  each(benchmark::RegisterBenchmark(("pattern-memory-kb" + suffix + "/library").c_str(),
                                    [=](benchmark::State& s) { PatternMemory(s, file, true, memoryTarget); }));
  each(benchmark::RegisterBenchmark(("pattern-memory-kb" + suffix + "/baseline").c_str(),
                                    [=](benchmark::State& s) { PatternMemory(s, file, false, memoryTarget); }));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--child") == 0) return RunChild(argv[2], argv[3], argv[4]);

  benchmark::RegisterBenchmark("catalog-search/library", [](benchmark::State& s) {
    SearchLibrary(s, false, 0.2);
  })->Iterations(kSearches);
  benchmark::RegisterBenchmark("catalog-search/baseline", [](benchmark::State& s) {
    SearchBaseline(s, false);
  })->Iterations(kSearches);
  benchmark::RegisterBenchmark("catalog-search-cpu/library", [](benchmark::State& s) {
    SearchLibrary(s, true, 1.6);
  })->Iterations(kCpuSearches);
  benchmark::RegisterBenchmark("catalog-search-cpu/baseline", [](benchmark::State& s) {
    SearchBaseline(s, true);
  })->Iterations(kCpuSearches);
  // A spelling against an exact name in the same catalog, and a spelling's cost from 10,000 to 100,000 patterns.
  benchmark::RegisterBenchmark("name-spelling-vs-exact/library", [](benchmark::State& s) {
    NameLookup(s, 100000, true, 1.5);
  })->Iterations(kNameLookups);
  benchmark::RegisterBenchmark("name-spelling-vs-exact/baseline", [](benchmark::State& s) {
    NameLookup(s, 100000, false, 0);
  })->Iterations(kNameLookups);
  benchmark::RegisterBenchmark("name-spelling-growth-10x/library", [](benchmark::State& s) {
    NameLookup(s, 100000, true, 1.3);
  })->Iterations(kNameLookups);
  benchmark::RegisterBenchmark("name-spelling-growth-10x/baseline", [](benchmark::State& s) {
    NameLookup(s, 10000, true, 0);
  })->Iterations(kNameLookups);
  RegisterFamily("", Big, 2.5, 3.0, 0);
  RegisterFamily("-1m", Huge, 2.0, 1.2, 5);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
