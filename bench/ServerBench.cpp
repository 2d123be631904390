// The catalog on a PostgreSQL server against raw libpq doing the same work, on two catalogs (schemas of their own,
// dropped at the end) built for the run on the server that VDPATTERN_TEST_PG names (bench/run starts one with
// scripts/with-pg-server.sh): one of 40 families F00..F39 of 250 patterns (Name and 11 more columns), and one of
// the family ZBig alone, 50,000 patterns (Name and 13 parameters); each family with a unique index on Name, each
// catalog with "Definition", "FamilyDescription" and "Units". The tables are made through the library, so they are what
// it makes on a server (text columns ignoring case, the hidden row identity); the rows are filled by one server-side
// INSERT per family.
//   server-lookup             GetPattern(name, "ZBig") of 2,000 different names, against PQexecPrepared of
//                             one statement prepared once, the found row read into tagged values.
//   server-search-roundtrips  statements the library sends per FindPattern(name, null family) of a name held
//                             only by F39 (so the search walks all 40 families), as a ratio against exactly 1.
//   server-search-roundtrips-missing  the same for names held by no family.
//   server-family-read        GetFamilyPattern of ZBig into a pool, against PQexec of "SELECT *" of the same
//                             table and every value read with PQgetvalue into rows of tagged values (numbers
//                             converted, texts as std::wstring).
//
// Time is the CPU time of both processes of the conversation: this program's (the framework's CPU time) and
// that of the server process that serves its connection, read from /proc/<pid>/schedstat around the measured
// work and then spent here as busy CPU time with the timer running, as CatalogBench.cpp does for its children.
// A round trip costs CPU on both sides, and CPU time is what a loaded, shared machine does not distort; the
// wall-clock time is shown as the counter "wall_ms". On a server on another machine only this program's time
// counts (the counter "server_cpu" is then 0).
//
// Statements are counted where they leave this process: the program defines libpq's sending functions itself,
// counts, and forwards to libpq's (dlsym RTLD_NEXT). The library's calls reach these definitions because the
// program exports them and comes first in the dynamic linker's search order. Statements sent as one text are
// counted one by one; the counter "roundtrips" shows the calls.
// bench/run compares CPU times, so a count is spent as 1 ms of CPU time per statement, against 1 ms.
// VDPATTERN_BENCH_TRACE=1 prints the counted texts.

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "ChildWork.h"

// ------------------------------------------------------------------ statements leaving the process

namespace {

struct StatementCount {
  bool on = false;
  bool trace = std::getenv("VDPATTERN_BENCH_TRACE") != nullptr;  // prints each counted text to stderr
  std::int64_t statements = 0;
  std::int64_t calls = 0;
};
StatementCount g_count;

// Statements in one text: its parts between semicolons outside quotes that hold more than blanks.
std::int64_t StatementsIn(const char* text) {
  if (!text) return 0;
  std::int64_t n = 0;
  bool content = false;
  char quote = 0;
  for (const char* p = text; *p; ++p) {
    if (quote) {
      if (*p == quote) quote = 0;
    } else if (*p == '\'' || *p == '"') {
      quote = *p;
      content = true;
    } else if (*p == ';') {
      n += content ? 1 : 0;
      content = false;
    } else if (*p != ' ' && *p != '\n' && *p != '\t' && *p != '\r') {
      content = true;
    }
  }
  return n + (content ? 1 : 0);
}

// libpq's own functions call one another (PQexec sends with PQsendQuery), and those calls reach the
// definitions below too: only the outermost call of a nest is counted.
int g_depth = 0;
struct Nest {
  Nest() { ++g_depth; }
  ~Nest() { --g_depth; }
  Nest(const Nest&) = delete;
  Nest& operator=(const Nest&) = delete;
};

void Count(std::int64_t statements, const char* text) {
  if (!g_count.on || g_depth > 1) return;
  if (g_count.trace) std::fprintf(stderr, "server_bench: %s\n", text ? text : "(prepared)");
  ++g_count.calls;
  g_count.statements += statements;
}

template <typename F>
F Next(const char* name) {
  void* f = dlsym(RTLD_NEXT, name);
  if (!f) {
    std::fprintf(stderr, "server_bench: libpq's %s was not found\n", name);
    std::abort();
  }
  return reinterpret_cast<F>(f);
}

}  // namespace

extern "C" {

// Exported (the build hides symbols by default), so that the library's calls resolve to them.
#define VD_EXPORTED __attribute__((visibility("default")))

VD_EXPORTED PGresult* PQexec(PGconn* conn, const char* query) {
  const Nest nest;
  static const auto next = Next<PGresult* (*)(PGconn*, const char*)>("PQexec");
  Count(StatementsIn(query), query);
  return next(conn, query);
}

VD_EXPORTED PGresult* PQexecParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                                   const char* const* paramValues, const int* paramLengths, const int* paramFormats,
                                   int resultFormat) {
  const Nest nest;
  static const auto next =
      Next<PGresult* (*)(PGconn*, const char*, int, const Oid*, const char* const*, const int*, const int*, int)>(
          "PQexecParams");
  Count(1, command);
  return next(conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat);
}

VD_EXPORTED PGresult* PQprepare(PGconn* conn, const char* stmtName, const char* query, int nParams,
                                const Oid* paramTypes) {
  const Nest nest;
  static const auto next = Next<PGresult* (*)(PGconn*, const char*, const char*, int, const Oid*)>("PQprepare");
  Count(1, query);
  return next(conn, stmtName, query, nParams, paramTypes);
}

VD_EXPORTED PGresult* PQexecPrepared(PGconn* conn, const char* stmtName, int nParams, const char* const* paramValues,
                                     const int* paramLengths, const int* paramFormats, int resultFormat) {
  const Nest nest;
  static const auto next =
      Next<PGresult* (*)(PGconn*, const char*, int, const char* const*, const int*, const int*, int)>("PQexecPrepared");
  Count(1, nullptr);
  return next(conn, stmtName, nParams, paramValues, paramLengths, paramFormats, resultFormat);
}

VD_EXPORTED PGresult* PQdescribePrepared(PGconn* conn, const char* stmt) {
  const Nest nest;
  static const auto next = Next<PGresult* (*)(PGconn*, const char*)>("PQdescribePrepared");
  Count(1, nullptr);
  return next(conn, stmt);
}

VD_EXPORTED int PQsendQuery(PGconn* conn, const char* query) {
  const Nest nest;
  static const auto next = Next<int (*)(PGconn*, const char*)>("PQsendQuery");
  Count(StatementsIn(query), query);
  return next(conn, query);
}

VD_EXPORTED int PQsendQueryParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                                  const char* const* paramValues, const int* paramLengths, const int* paramFormats,
                                  int resultFormat) {
  const Nest nest;
  static const auto next =
      Next<int (*)(PGconn*, const char*, int, const Oid*, const char* const*, const int*, const int*, int)>(
          "PQsendQueryParams");
  Count(1, command);
  return next(conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat);
}

VD_EXPORTED int PQsendPrepare(PGconn* conn, const char* stmtName, const char* query, int nParams,
                              const Oid* paramTypes) {
  const Nest nest;
  static const auto next = Next<int (*)(PGconn*, const char*, const char*, int, const Oid*)>("PQsendPrepare");
  Count(1, query);
  return next(conn, stmtName, query, nParams, paramTypes);
}

VD_EXPORTED int PQsendQueryPrepared(PGconn* conn, const char* stmtName, int nParams, const char* const* paramValues,
                                    const int* paramLengths, const int* paramFormats, int resultFormat) {
  const Nest nest;
  static const auto next =
      Next<int (*)(PGconn*, const char*, int, const char* const*, const int*, const int*, int)>("PQsendQueryPrepared");
  Count(1, nullptr);
  return next(conn, stmtName, nParams, paramValues, paramLengths, paramFormats, resultFormat);
}

}  // extern "C"

namespace {

constexpr int kFamilies = 40;
constexpr int kFamilyRows = 250;
constexpr int kBigRows = 50000;
constexpr int kLookups = 2000;
constexpr int kSearches = 20;
constexpr double kSecondsPerStatement = 0.001;

constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701, kNumeric = 1700;

std::string FamilyName(int f) {
  char name[8];
  std::snprintf(name, sizeof name, "F%02d", f);
  return name;
}

std::string PatternName(int f, int k) { return "P" + std::to_string(f) + "-" + std::to_string(100 + k); }
std::string BigName(int k) { return "Z " + std::to_string(100000 + k); }

std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string ServerBase() {
  const char* base = std::getenv("VDPATTERN_TEST_PG");
  return base ? base : "";
}

// A raw connection to the server, its search path the catalog's schema when one is given.
struct Raw {
  PGconn* conn = nullptr;
  explicit Raw(const std::string& schema = "") {
    conn = PQconnectdb(ServerBase().c_str());
    if (PQstatus(conn) != CONNECTION_OK)
      throw std::runtime_error(std::string("cannot reach the server: ") + PQerrorMessage(conn));
    Exec("SET client_min_messages = warning");  // no notice for each table a DROP ... CASCADE drops
    if (!schema.empty()) Exec("SET search_path TO " + Quoted(schema));
  }
  ~Raw() { PQfinish(conn); }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;

  void Exec(const std::string& sql) {
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    const std::string error = PQresultErrorMessage(r);
    PQclear(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw std::runtime_error(error + " in " + sql);
  }
  int BackendOf(const std::string& applicationName) {
    const char* values[] = {applicationName.c_str()};
    PGresult* r = PQexecParams(conn, "SELECT pid FROM pg_stat_activity WHERE application_name = $1", 1, nullptr, values,
                               nullptr, nullptr, 0);
    const int pid = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? std::atoi(PQgetvalue(r, 0, 0)) : 0;
    PQclear(r);
    return pid;
  }
};

void Execute(CVdDatabase& db, const std::string& sql) { db.ExecuteSQL(VdFromUtf8(sql).c_str()); }

// A catalog of the run (a schema), made on first need and dropped when the program ends: the 40 families, or
// ZBig alone.
class Catalog {
 public:
  enum Kind { kSearched, kBig };

  explicit Catalog(Kind kind) {
    m_schema = "vdbench_" + std::to_string(::getpid()) + (kind == kBig ? "_big" : "");
    const std::string address = AddressWith("");
    CVdDatabase::CreateDatabase(CString(VdFromUtf8(address).c_str()));
    {
      CVdDatabase db;
      db.Open(CString(VdFromUtf8(address).c_str()));
      Execute(db,
              "CREATE TABLE Definition (def_name TEXT, def_version INTEGER, def_lastUpdate TEXT, "
              "def_editorName TEXT)");
      Execute(db, "INSERT INTO Definition VALUES ('Bench', 1, '2024/01/01', 'bench')");
      Execute(db, "CREATE TABLE FamilyDescription (Name TEXT, FamilyCode TEXT, Description TEXT)");
      Execute(db, "CREATE TABLE Units (Family TEXT, h TEXT, b TEXT, A TEXT, Iy TEXT)");
      for (int f = 0; kind == kSearched && f < kFamilies; ++f) {
        const std::string family = FamilyName(f);
        Execute(db, "CREATE TABLE [" + family +
                        "] (Name VARCHAR(50), Standard VARCHAR(20), h DOUBLE, b DOUBLE, tw DOUBLE, tf DOUBLE,"
                        " r DOUBLE, A DOUBLE, G DOUBLE, Iy DOUBLE, Iz DOUBLE, Rev INTEGER)");
        AddFamilyRows(db, family, "C" + family);
      }
      if (kind == kBig) {
        Execute(db,
                "CREATE TABLE [ZBig] (Name VARCHAR(50), Standard VARCHAR(20), h DOUBLE, b DOUBLE, tw DOUBLE,"
                " tf DOUBLE, r DOUBLE, A DOUBLE, G DOUBLE, Iy DOUBLE, Iz DOUBLE, Wy DOUBLE, Wz DOUBLE,"
                " Rev INTEGER)");
        AddFamilyRows(db, "ZBig", "ZB");
      }
    }
    // The rows, written by the server itself: 60,000 single inserts would take longer than the benchmarks.
    Raw raw(m_schema);
    for (int f = 0; kind == kSearched && f < kFamilies; ++f)
      raw.Exec(Fill(FamilyName(f), "'P" + std::to_string(f) + "-' || (100 + k)", kFamilyRows, 9));
    if (kind == kBig) raw.Exec(Fill("ZBig", "'Z ' || (100000 + k)", kBigRows, 11));
    raw.Exec("VACUUM ANALYZE");
  }
  ~Catalog() {
    try {
      Raw raw;
      raw.Exec("DROP SCHEMA " + Quoted(m_schema) + " CASCADE");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "server_bench: the catalog %s was not dropped: %s\n", m_schema.c_str(), e.what());
    }
  }
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  const std::string& schema() const { return m_schema; }
  // The catalog's address; a connection opened with it shows `applicationName` in pg_stat_activity.
  std::string AddressWith(const std::string& applicationName) const {
    const std::string base = ServerBase();
    std::string address = base + (base.find('?') == std::string::npos ? "?" : "&") + "catalog=" + m_schema;
    if (!applicationName.empty()) address += "&application_name=" + applicationName;
    return address;
  }

 private:
  static void AddFamilyRows(CVdDatabase& db, const std::string& family, const std::string& code) {
    Execute(db, "CREATE UNIQUE INDEX [" + family + "_Name] ON [" + family + "] (Name)");
    Execute(db, "INSERT INTO FamilyDescription VALUES ('" + family + "', '" + code + "', 'bench family')");
    Execute(db, "INSERT INTO Units VALUES ('" + family + "', 'mm', 'mm', 'cm2', 'cm4')");
  }
  // Rows k = 0..rows-1: the name, 'EN 10365', `doubles` numbers, an integer; as CatalogBench.cpp's.
  static std::string Fill(const std::string& table, const std::string& name, int rows, int doubles) {
    std::string sql = "INSERT INTO " + Quoted(table) + " (\"Name\", \"Standard\", ";
    static const char* const columns[] = {"h", "b", "tw", "tf", "r", "A", "G", "Iy", "Iz", "Wy", "Wz"};
    for (int c = 0; c < doubles; ++c) sql += Quoted(columns[c]) + ", ";
    sql += "\"Rev\") SELECT " + name + ", 'EN 10365', ";
    for (int c = 0; c < doubles; ++c) sql += "(80 + k % 900) * (1 + 0.37 * " + std::to_string(c + 3) + "), ";
    sql += "k % 7 FROM generate_series(0, " + std::to_string(rows - 1) + ") AS k";
    return sql;
  }

  std::string m_schema;
};

const Catalog& Searched() {
  static const Catalog catalog(Catalog::kSearched);
  return catalog;
}

const Catalog& Big() {
  static const Catalog catalog(Catalog::kBig);
  return catalog;
}

// ------------------------------------------------------------------ CPU time of the server's side

// CPU seconds a process has run (its first schedstat field, in nanoseconds); 0 when it cannot be read.
double ProcessCpu(int pid) {
  if (pid <= 0) return 0;
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  unsigned long long ns = 0;
  return in >> ns ? static_cast<double>(ns) * 1e-9 : 0;
}

// Times one piece of work on both sides: the framework sees this program's CPU time, and the CPU time the
// server process `backend` spent meanwhile is added as busy time.
class BothSides {
 public:
  BothSides(benchmark::State& state, int backend) : m_state(state), m_backend(backend) {}
  template <typename Work>
  void Measure(Work work) {
    m_state.PauseTiming();
    const double server = ProcessCpu(m_backend);
    const auto start = std::chrono::steady_clock::now();
    m_state.ResumeTiming();
    work();
    m_state.PauseTiming();
    m_wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double spent = ProcessCpu(m_backend) - server;
    m_server += spent;
    m_state.ResumeTiming();
    benchcpu::Spend(spent);
  }
  void Report() {
    m_state.counters["wall_ms"] = m_wall * 1e3;
    m_state.counters["server_cpu_ms"] = m_server * 1e3;
    m_state.counters["server_cpu"] = m_backend > 0 && m_server > 0 ? 1 : 0;
  }

 private:
  benchmark::State& m_state;
  int m_backend;
  double m_wall = 0, m_server = 0;
};

// A catalog of the run opened through the library, and the server process that serves it.
struct LibraryCatalog {
  std::unique_ptr<CVdPatternCatalog> catalog;
  int backend = 0;

  explicit LibraryCatalog(const Catalog& data) {
    static int opened = 0;
    const std::string application = "vdbench_" + std::to_string(::getpid()) + "_" + std::to_string(opened++);
    catalog = std::make_unique<CVdPatternCatalog>(VdFromUtf8(data.AddressWith(application)).c_str());
    Raw monitor;
    backend = monitor.BackendOf(application);
  }
};

// ------------------------------------------------------------------ tagged values of the raw side

struct Tagged {
  int kind = 0;  // 0 null, 1 integer, 2 real, 3 text
  std::int64_t i = 0;
  double d = 0;
  std::wstring text;
};

void AssignUtf8(std::wstring& out, const char* p, std::size_t n) {
  std::size_t ascii = 0;
  while (ascii < n && static_cast<unsigned char>(p[ascii]) < 0x80) ++ascii;
  out.resize(ascii);
  for (std::size_t k = 0; k < ascii; ++k) out[k] = static_cast<unsigned char>(p[k]);
  if (ascii < n) out += VdFromUtf8(std::string_view(p + ascii, n - ascii));
}

// Row `r` of a text-format result, converted by the columns' server types.
void ReadRow(const PGresult* result, int r, std::vector<Tagged>& row) {
  const int columns = PQnfields(result);
  row.resize(static_cast<std::size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    Tagged& value = row[static_cast<std::size_t>(c)];
    if (PQgetisnull(result, r, c)) {
      value.kind = 0;
      continue;
    }
    const char* text = PQgetvalue(result, r, c);
    switch (PQftype(result, c)) {
      case kBool:
        value.kind = 1;
        value.i = text[0] == 't';
        break;
      case kInt2:
      case kInt4:
      case kInt8:
        value.kind = 1;
        value.i = std::strtoll(text, nullptr, 10);
        break;
      case kFloat4:
      case kFloat8:
      case kNumeric:
        value.kind = 2;
        value.d = std::strtod(text, nullptr);
        break;
      default:
        value.kind = 3;
        AssignUtf8(value.text, text, static_cast<std::size_t>(PQgetlength(result, r, c)));
        break;
    }
  }
}

bool NoServer(benchmark::State& state) {
  if (!ServerBase().empty()) return false;
  state.SkipWithError("no server: VDPATTERN_TEST_PG is not set (run through scripts/with-pg-server.sh)");
  return true;
}

// ------------------------------------------------------------------ lookup

// Names of ZBig for one run of a side: different on every call, so no statement text repeats within a run.
std::vector<std::string> LookupNames() {
  static int run = 0;
  std::vector<std::string> names;
  const int start = (run++ * kLookups) % kBigRows;
  for (int k = 0; k < kLookups; ++k) names.push_back(BigName((start + k * 7) % kBigRows));
  return names;
}

void LookupLibrary(benchmark::State& state) {
  if (NoServer(state)) return;
  LibraryCatalog library(Big());
  if (!library.catalog->IsOpened()) return state.SkipWithError("the catalog did not open");
  std::vector<std::wstring> names;
  for (const std::string& name : LookupNames()) names.push_back(VdFromUtf8(name));
  delete library.catalog->GetPattern(L"Z 100000", L"ZBig");  // the first read of the catalog's tables
  BothSides measure(state, library.backend);
  std::int64_t found = 0;
  g_count = StatementCount{};
  g_count.on = true;
  for (auto _ : state) {
    measure.Measure([&] {
      for (const std::wstring& name : names) {
        CVdPattern* pattern = library.catalog->GetPattern(name.c_str(), L"ZBig");
        found += pattern ? 1 : 0;
        delete pattern;
      }
    });
  }
  g_count.on = false;
  measure.Report();
  state.counters["statements"] =
      static_cast<double>(g_count.statements) / static_cast<double>(state.iterations() * kLookups);
  if (found != static_cast<std::int64_t>(state.iterations()) * kLookups) state.SkipWithError("a lookup failed");
  state.counters["target"] = 1.3;
}

void LookupBaseline(benchmark::State& state) {
  if (NoServer(state)) return;
  Raw raw(Big().schema());
  const std::vector<std::string> names = LookupNames();
  PGresult* prepared = PQprepare(raw.conn, "lookup", "SELECT * FROM \"ZBig\" WHERE \"Name\" = $1", 1, nullptr);
  const bool ok = PQresultStatus(prepared) == PGRES_COMMAND_OK;
  PQclear(prepared);
  if (!ok) return state.SkipWithError(PQerrorMessage(raw.conn));
  BothSides measure(state, PQbackendPID(raw.conn));
  std::vector<Tagged> row;
  std::int64_t found = 0;
  for (auto _ : state) {
    measure.Measure([&] {
      for (const std::string& name : names) {
        const char* values[] = {name.c_str()};
        PGresult* result = PQexecPrepared(raw.conn, "lookup", 1, values, nullptr, nullptr, 0);
        if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1) {
          ReadRow(result, 0, row);
          ++found;
        }
        PQclear(result);
        benchmark::DoNotOptimize(row.data());
      }
    });
  }
  measure.Report();
  if (found != static_cast<std::int64_t>(state.iterations()) * kLookups) state.SkipWithError("a lookup failed");
}

// ------------------------------------------------------------------ statements per search

void SearchStatements(benchmark::State& state, bool present) {
  if (NoServer(state)) return;
  LibraryCatalog library(Searched());
  if (!library.catalog->IsOpened()) return state.SkipWithError("the catalog did not open");
  auto name = [present](int k) {
    return VdFromUtf8(present ? PatternName(kFamilies - 1, k) : "Q-" + std::to_string(k));
  };
  // The first two searches do what a connection does once (read the schema's names; prepare, at their second
  // sending, the statements it sends again: one more statement per statement text); the measured ones are the next.
  library.catalog->FindPattern(name(kFamilyRows - 1).c_str(), nullptr);
  library.catalog->FindPattern(name(kFamilyRows - 2).c_str(), nullptr);
  std::int64_t found = 0;
  g_count = StatementCount{};
  g_count.on = true;
  for (int k = 0; k < kSearches; ++k) found += library.catalog->FindPattern(name(k).c_str(), nullptr) ? 1 : 0;
  g_count.on = false;
  if (found != (present ? kSearches : 0)) return state.SkipWithError("a search answered wrongly");
  if (g_count.statements == 0) return state.SkipWithError("no statement was counted: the counter is not in use");
  const double perSearch = static_cast<double>(g_count.statements) / kSearches;
  // One spell per statement, as the baseline's one, so that what a spell overshoots cancels out in the ratio.
  for (auto _ : state) {
    double left = perSearch;
    for (; left >= 1; left -= 1) benchcpu::Spend(kSecondsPerStatement);
    if (left > 0) benchcpu::Spend(left * kSecondsPerStatement);
  }
  state.counters["statements"] = perSearch;
  state.counters["roundtrips"] = static_cast<double>(g_count.calls) / kSearches;
  state.counters["target"] = 2;
}

void SearchStatementsBaseline(benchmark::State& state) {
  for (auto _ : state) benchcpu::Spend(kSecondsPerStatement);
}

// ------------------------------------------------------------------ family read

void FamilyReadLibrary(benchmark::State& state) {
  if (NoServer(state)) return;
  LibraryCatalog library(Big());
  if (!library.catalog->IsOpened()) return state.SkipWithError("the catalog did not open");
  BothSides measure(state, library.backend);
  long rows = 0;
  for (auto _ : state) {
    auto pool = std::make_unique<CVdPatternPool>(true, nullptr);
    bool read = false;
    measure.Measure([&] { read = library.catalog->GetFamilyPattern(pool.get(), L"ZBig", nullptr); });
    state.PauseTiming();
    if (read) rows = pool->GetCount();
    pool.reset();
    state.ResumeTiming();
    if (!read) return state.SkipWithError("the family was not read");
  }
  measure.Report();
  if (rows != kBigRows) state.SkipWithError("the pool does not hold every row");
  state.counters["target"] = 2.5;
}

void FamilyReadBaseline(benchmark::State& state) {
  if (NoServer(state)) return;
  Raw raw(Big().schema());
  BothSides measure(state, PQbackendPID(raw.conn));
  long rows = 0;
  for (auto _ : state) {
    auto table = std::make_unique<std::vector<std::vector<Tagged>>>();
    bool read = false;
    measure.Measure([&] {
      PGresult* result = PQexec(raw.conn, "SELECT * FROM \"ZBig\"");
      read = PQresultStatus(result) == PGRES_TUPLES_OK;
      const int n = read ? PQntuples(result) : 0;
      table->resize(static_cast<std::size_t>(n));
      for (int r = 0; r < n; ++r) ReadRow(result, r, (*table)[static_cast<std::size_t>(r)]);
      PQclear(result);
    });
    state.PauseTiming();
    rows = static_cast<long>(table->size());
    table.reset();
    state.ResumeTiming();
    if (!read) return state.SkipWithError(PQerrorMessage(raw.conn));
  }
  measure.Report();
  if (rows != kBigRows) state.SkipWithError("the result does not hold every row");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("server-lookup/library", LookupLibrary)->Iterations(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("server-lookup/baseline", LookupBaseline)->Iterations(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("server-search-roundtrips/library",
                               [](benchmark::State& s) { SearchStatements(s, true); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("server-search-roundtrips/baseline", SearchStatementsBaseline)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("server-search-roundtrips-missing/library",
                               [](benchmark::State& s) { SearchStatements(s, false); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("server-search-roundtrips-missing/baseline", SearchStatementsBaseline)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("server-family-read/library", FamilyReadLibrary)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("server-family-read/baseline", FamilyReadBaseline)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  try {
    if (!ServerBase().empty()) {  // made before the first measurement, dropped at exit
      Searched();
      Big();
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "server_bench: the catalog could not be made: %s\n", e.what());
    return 1;
  } catch (CDBException* e) {
    std::fprintf(stderr, "server_bench: the catalog could not be made: %s\n", VdToUtf8(e->m_strError.str()).c_str());
    e->Delete();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
