// The Python module against the C++ library doing the same read, on one catalog built for the run: a family
// ZBig of 50,000 patterns (Name and 13 parameters, four of them with units), read in host units (millimetres).
//   python-family-read  Catalog.frame("ZBig") through the module, a pandas DataFrame of every column, against
//                       GetFamilyPattern of the same family into a pool. Each side runs in a fresh process (the
//                       Python script bench/python_family_read.py, or this program started again with
//                       --child), which measures the CPU time of the read alone: not the interpreter's start,
//                       its imports or the catalog's opening, which the C++ side does not pay either.
// As in catalog_bench, a child is started with the timer paused and its CPU seconds are then spent as busy CPU
// time with the timer running, since bench/run compares the framework's CPU times.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>
#include <vdpattern/vdpattern.h>
#include <vdpattern/toolkit/Utf8.h>

#include "ChildWork.h"
#include "ScratchDir.h"

namespace {

constexpr int kRows = 50000;
constexpr const char* kFamily = "ZBig";

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "?";
    sqlite3_free(error);
    throw std::runtime_error(message + " in " + sql);
  }
}

// The catalog, in a temporary directory removed with the object: the library makes the schema, the rows go in
// through the engine in one transaction (50,000 inserts through the catalog would take most of the run).
class CatalogFile {
 public:
  CatalogFile() {
    const std::string& dir = m_dir.path();
    m_path = dir + "/catalog.mdb";
    const CString path(VdFromUtf8(m_path).c_str());
    CString error;
    std::vector<CVdCatalogSchema::Column> columns{{L"Standard", L"TEXT", L""}};
    for (const wchar_t* name : {L"h", L"b", L"tw", L"tf", L"r", L"A", L"G", L"Iy", L"Iz", L"Wy", L"Wz"}) {
      const std::wstring n = name;
      columns.push_back({name, L"DOUBLE", n == L"A" ? L"cm2" : n == L"Iy" ? L"cm4" : n.size() == 1 ? L"mm" : L""});
    }
    columns.push_back({L"Rev", L"INTEGER", L""});
    if (!CVdCatalogSchema::CreateCatalog(path, L"Bench", L"bench", 1, error) ||
        !CVdCatalogSchema::AddFamily(path, VdFromUtf8(kFamily).c_str(), L"Z", columns, error))
      throw std::runtime_error(error.ToUtf8());
    sqlite3* db = nullptr;
    if (sqlite3_open(m_path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot open " + m_path);
    Exec(db, "BEGIN");
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO [ZBig] VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", -1, &stmt, nullptr);
    for (int k = 0; k < kRows; ++k) {
      const std::string name = "Z " + std::to_string(100000 + k);
      sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(stmt, 2, "EN 10365", -1, SQLITE_STATIC);
      const double h = 80 + (k % 900);
      for (int c = 3; c <= 13; ++c) sqlite3_bind_double(stmt, c, h * (1 + 0.37 * c));
      sqlite3_bind_int(stmt, 14, k % 7);
      if (sqlite3_step(stmt) != SQLITE_DONE) throw std::runtime_error("insert failed");
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    Exec(db, "COMMIT");
    sqlite3_close(db);
  }
  CatalogFile(const CatalogFile&) = delete;
  CatalogFile& operator=(const CatalogFile&) = delete;

  const std::string& path() const { return m_path; }

 private:
  bench::ScratchDir m_dir{"pybench"};
  std::string m_path;
};

const CatalogFile& Catalog() {
  static const CatalogFile file;
  return file;
}

class HostFactory : public CVdPatternFactory {
 public:
  explicit HostFactory(CVdUnitManager* units) { m_pUnitManager = units; }
};

// The C++ side in a child: the family into a pool, in millimetres; prints "seconds rows".
int RunChild(const std::string& path, const std::string& family) {
  // Left to the end of the process, as the Python side leaves its frame.
  auto* units = new CVdUnitManager(1000.0);
  auto* catalog = new CVdPatternCatalog(VdFromUtf8(path).c_str(), new HostFactory(units), true);
  if (!catalog->IsOpened()) return 1;
  catalog->SetHasUnits(true);
  auto* pool = new CVdPatternPool(true, catalog->GetFactory());
  const double start = benchcpu::ProcessSeconds();
  const bool read = catalog->GetFamilyPattern(pool, VdFromUtf8(family).c_str(), nullptr);
  const double seconds = benchcpu::ProcessSeconds() - start;
  if (!read) return 1;
  std::printf("%.9f %d\n", seconds, pool->GetCount());
  std::fflush(stdout);
  std::_Exit(0);
}

// Runs one side in a fresh process; its CPU seconds of the read, or a negative number when it failed.
double RunSide(bool python) {
  static const std::string self = benchcpu::SelfPath();
  const std::string& path = Catalog().path();
  const std::string command = python ? "PYTHONPATH='" VDPATTERN_PYTHONPATH "' '" VDPATTERN_PYTHON
                                       "' '" VDPATTERN_PYTHON_SCRIPT "' '" +
                                           path + "' " + kFamily
                                     : "'" + self + "' --child '" + path + "' " + kFamily;
  FILE* child = popen(command.c_str(), "r");
  if (!child) return -1;
  double seconds = 0;
  long rows = 0;
  const int fields = std::fscanf(child, "%lf %ld", &seconds, &rows);
  return pclose(child) == 0 && fields == 2 && rows == kRows ? seconds : -1;
}

void FamilyRead(benchmark::State& state, bool python, double target) {
  Catalog();  // built before the first measurement
  for (auto _ : state) {
    state.PauseTiming();
    const double seconds = RunSide(python);
    state.ResumeTiming();
    if (seconds < 0) return state.SkipWithError("the child process failed");
    benchcpu::Spend(seconds);
  }
  if (target > 0) state.counters["target"] = target;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return RunChild(argv[2], argv[3]);
  benchmark::RegisterBenchmark("python-family-read/library", [](benchmark::State& s) { FamilyRead(s, true, 1.5); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("python-family-read/baseline", [](benchmark::State& s) { FamilyRead(s, false, 0); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
