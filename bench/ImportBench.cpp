// Importing CSV rows through vdcatalog's import path against the raw engine inserting the same rows.
//   import-growth   the import of 200,000 rows against the import of 100,000 (each into a new catalog): a
//                   linear import gives 2.
//   import-vs-raw   the import of 100,000 rows against the raw engine inserting them into the same empty family
//                   (same schema, same name index) with one prepared statement in one transaction.
//   import-history  the import of 100,000 rows into a catalog that keeps a history against the same import into
//                   one made before catalogs kept one (no history table): what recording the import costs.
//   server-import-history  the same on a PostgreSQL server (when VDPATTERN_TEST_PG names one, as bench/run's
//                   throwaway server does): each run into a new schema, with or without the history tables.
//                   Most of a server import's work is the server's, so its measure is the child's wall-clock
//                   time (on a Unix socket, the two processes' work and their short waits for each other).
//   write-history   one pattern of 13 numbers written over on an open catalog file that keeps a history,
//                   against the same writes on one without: what recording a single write costs (in the
//                   program's own CPU time; each write is a transaction of its own).
// Each import runs in a child process (the command's own work alone, measured with the child's CPU time and
// spent again as busy time with the timer running, since bench/run compares CPU times). Rows are a Name and 13
// numbers, as the sections of the sample catalog are.

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <vdpattern/vdpattern.h>

#include "Commands.h"
#include "ScratchDir.h"

namespace {

constexpr int kColumns = 13;
constexpr int kSmall = 100000;
constexpr int kLarge = 200000;

std::string Column(int c) { return "c" + std::to_string(c); }

// The rows' numbers: one text a cell, as they stand in the CSV file.
std::vector<std::vector<std::string>> MakeRows(int count) {
  std::vector<std::vector<std::string>> rows(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) {
    auto& row = rows[static_cast<std::size_t>(k)];
    row.push_back("P " + std::to_string(1000000 + k));
    for (int c = 0; c < kColumns; ++c) row.push_back(std::to_string((k % 997) * 0.5 + c));
  }
  return rows;
}

class Files {
 public:
  Files() {
    // The empty catalog every run starts from, made by the tool itself.
    std::vector<std::string> columns;
    for (int c = 0; c < kColumns; ++c) columns.push_back(Column(c) + ":DOUBLE");
    Quiet([&] {
      vdcatalog::Create(Empty(), "Bench", "bench", 1);
      return vdcatalog::AddFamily(Empty(), "Rows", "R", columns);
    });
    std::filesystem::copy_file(Empty(), WithoutHistory());
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(WithoutHistory().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "DROP TABLE vd_history; DROP TABLE vd_change", nullptr, nullptr, nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot make the catalog without a history");
    sqlite3_close(db);
    for (int count : {kSmall, kLarge}) {
      std::ofstream csv(Csv(count));
      csv << "Name";
      for (int c = 0; c < kColumns; ++c) csv << ',' << Column(c);
      csv << '\n';
      for (const auto& row : MakeRows(count)) {
        for (std::size_t i = 0; i < row.size(); ++i) csv << (i ? "," : "") << row[i];
        csv << '\n';
      }
    }
  }

  std::string Empty() const { return m_dir.path() + "/empty.mdb"; }
  std::string WithoutHistory() const { return m_dir.path() + "/no-history.mdb"; }
  std::string Csv(int count) const { return m_dir.path() + "/rows-" + std::to_string(count) + ".csv"; }
  // A fresh copy of the empty catalog.
  std::string Fresh(bool history = true) const {
    const std::string path = m_dir.path() + "/work.mdb";
    std::filesystem::remove(path);
    std::filesystem::copy_file(history ? Empty() : WithoutHistory(), path);
    return path;
  }

  // Runs `work` with standard output and errors sent to /dev/null.
  template <typename Work>
  static int Quiet(Work work) {
    std::fflush(stdout);
    const int out = dup(1), err = dup(2);
    FILE* null = std::fopen("/dev/null", "w");
    dup2(fileno(null), 1);
    dup2(fileno(null), 2);
    const int status = work();
    std::fflush(stdout);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    std::fclose(null);
    return status;
  }

 private:
  bench::ScratchDir m_dir{"importbench"};
};

// Runs `sql` on a connection of its own (libpq's environment names the server).
void Server(const std::string& sql) {
  PGconn* conn = PQconnectdb("");
  PGresult* r =
      PQstatus(conn) == CONNECTION_OK ? PQexec(conn, ("SET client_min_messages = warning; " + sql).c_str()) : nullptr;
  const bool ok = r && PQresultStatus(r) == PGRES_COMMAND_OK;
  const std::string error = PQerrorMessage(conn);
  PQclear(r);
  PQfinish(conn);
  if (!ok) throw std::runtime_error(error + " in " + sql);
}

Files& Data() {
  static Files files;
  return files;
}

// Busy CPU time, so the framework's CPU clock sees a child's seconds.
void SpendCpu(double seconds) {
  const std::clock_t end = std::clock() + static_cast<std::clock_t>(seconds * CLOCKS_PER_SEC);
  volatile unsigned sink = 0;
  while (std::clock() < end) sink = sink + 1;
}

// The CPU seconds of one import of `count` rows into a fresh catalog, in a child process.
double ImportInChild(int count, bool history = true) {
  const std::string catalog = Data().Fresh(history);
  const std::string csv = Data().Csv(count);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0)
    _exit(Files::Quiet([&] { return vdcatalog::Run([&] { return vdcatalog::Import(catalog, "Rows", csv, false); }); }));
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A server catalog of its own for each run: the schema made anew by the tool, the history tables dropped when
// `history` is false.
std::string FreshServerCatalog(bool history) {
  static const std::string schema = "vdimp_" + std::to_string(getpid());
  const std::string address = "postgresql:///?catalog=" + schema;
  const std::string quoted = "\"" + schema + "\"";
  Server("DROP SCHEMA IF EXISTS " + quoted + " CASCADE");
  std::vector<std::string> columns;
  for (int c = 0; c < kColumns; ++c) columns.push_back(Column(c) + ":DOUBLE");
  if (Files::Quiet([&] { return vdcatalog::Create(address, "Bench", "bench", 1); }) != 0 ||
      Files::Quiet([&] { return vdcatalog::AddFamily(address, "Rows", "R", columns); }) != 0)
    throw std::runtime_error("cannot make the server catalog " + schema);
  if (!history) Server("DROP TABLE " + quoted + ".vd_history; DROP TABLE " + quoted + ".vd_change");
  return address;
}

// The wall-clock seconds of one import of kSmall rows into a new server catalog, in a child process.
double ServerImportInChild(bool history) {
  const std::string catalog = FreshServerCatalog(history);
  const std::string csv = Data().Csv(kSmall);
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0)
    _exit(Files::Quiet([&] { return vdcatalog::Run([&] { return vdcatalog::Import(catalog, "Rows", csv, false); }); }));
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ServerImport(benchmark::State& state, double target, bool history) {
  Data();
  for (auto _ : state) {
    state.PauseTiming();
    double seconds = -1;
    try {
      seconds = ServerImportInChild(history);
    } catch (const std::exception& e) {
      state.ResumeTiming();
      return state.SkipWithError(e.what());
    }
    state.ResumeTiming();
    if (seconds < 0) return state.SkipWithError("the server import failed");
    SpendCpu(seconds);
  }
  if (target > 0) state.counters["target"] = target;
}

void Import(benchmark::State& state, int count, double target, bool history = true) {
  Data();
  for (auto _ : state) {
    state.PauseTiming();
    const double seconds = ImportInChild(count, history);
    state.ResumeTiming();
    if (seconds < 0) return state.SkipWithError("the import failed");
    SpendCpu(seconds);
  }
  if (target > 0) state.counters["target"] = target;
}

void WriteOver(benchmark::State& state, double target, bool history) {
  const std::string path = Data().Fresh(history);
  CVdPatternCatalog catalog(VdFromUtf8(path).c_str());
  CVdPattern pattern(1, L"P 1", L"Rows");
  for (int c = 0; c < kColumns; ++c) pattern.SetParam(0, VdFromUtf8(Column(c)), c + 0.5);
  if (!catalog.InsertPattern(&pattern, false)) return state.SkipWithError("the pattern was not written");
  double value = 0;
  for (auto _ : state) {
    pattern.SetParam(0, L"c0", value += 1);
    if (!catalog.ModifyPattern(L"P 1", L"Rows", &pattern)) return state.SkipWithError("the write failed");
  }
  if (target > 0) state.counters["target"] = target;
}

void RawInsert(benchmark::State& state) {
  const auto rows = MakeRows(kSmall);
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = Data().Fresh();
    state.ResumeTiming();
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=FULL; BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    std::string sql = "INSERT INTO [Rows] ([Name]";
    for (int c = 0; c < kColumns; ++c) sql += ", [" + Column(c) + "]";
    sql += ") VALUES (?";
    for (int c = 0; c < kColumns; ++c) sql += ", ?";
    sql += ")";
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    for (const auto& row : rows) {
      sqlite3_bind_text(stmt, 1, row[0].data(), static_cast<int>(row[0].size()), SQLITE_STATIC);
      for (int c = 0; c < kColumns; ++c) sqlite3_bind_double(stmt, c + 2, std::strtod(row[c + 1].c_str(), nullptr));
      if (sqlite3_step(stmt) != SQLITE_DONE) return state.SkipWithError("the raw insert failed");
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return state.SkipWithError("no commit");
    sqlite3_close(db);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("import-growth/library", [](benchmark::State& s) { Import(s, kLarge, 2.2); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("import-growth/baseline", [](benchmark::State& s) { Import(s, kSmall, 0); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("import-vs-raw/library", [](benchmark::State& s) { Import(s, kSmall, 4.0); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("import-history/library", [](benchmark::State& s) { Import(s, kSmall, 1.2); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("import-history/baseline", [](benchmark::State& s) { Import(s, kSmall, 0, false); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("import-vs-raw/baseline", RawInsert)->Iterations(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("write-history/library", [](benchmark::State& s) { WriteOver(s, 1.2, true); })
      ->Iterations(300)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("write-history/baseline", [](benchmark::State& s) { WriteOver(s, 0, false); })
      ->Iterations(300)
      ->Unit(benchmark::kMicrosecond);
  if (std::getenv("VDPATTERN_TEST_PG")) {
    benchmark::RegisterBenchmark("server-import-history/library",
                                 [](benchmark::State& s) { ServerImport(s, 1.2, true); })
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("server-import-history/baseline",
                                 [](benchmark::State& s) { ServerImport(s, 0, false); })
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
