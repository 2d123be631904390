// Round trips of the catalog on a PostgreSQL server, counted through a delaying relay on 127.0.0.1 (Relay.h)
// in front of the server that VDPATTERN_TEST_PG names (bench/run starts one with scripts/with-pg-server.sh).
// A count is deterministic: each benchmark reports it as the counter "count" beside its "target", and bench/run
// prints it as it is (no baseline to divide by). The counter "kb_received" is what the client downloaded.
//
// The data, made for the run (schemas of their own, dropped at the end):
// - a catalog of 40 families F00..F39 of 5,000 patterns each (Name and 5 numbers), with its name index;
// - a catalog with one empty family IMP, for import;
// - a catalog with one family HIS of 5,000 patterns that keeps a history, for a single write against one in a
//   catalog without (F00 of the first);
// - a SQLite file of two families of 1,000 rows each, for convert to a new server catalog.
// Measured: the library's calls (opening a catalog, an exact lookup, a missing one, one pattern written over
// with and without a history), and the tool as a process (vdcatalog info, families, show, show of a missing
// name, import of 2,000 rows, the same import again over them, convert), each command paying its own
// connection, its SSL request included. A round trip is counted when the server answers, so the
// closing Terminate, which no answer follows and no client waits for, is none.
// VDPATTERN_RELAY_DELAY_US sets the relay's delay per chunk (default 2,000: 2 ms each way).

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

#include "Relay.h"
#include "ScratchDir.h"

namespace {

constexpr int kFamilies = 40;
constexpr int kRows = 5000;
constexpr int kImportRows = 2000;
constexpr int kConvertFamilies = 2;
constexpr int kConvertRows = 1000;

std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string FamilyName(int f) {
  char name[8];
  std::snprintf(name, sizeof name, "F%02d", f);
  return name;
}

void Exec(PGconn* conn, const std::string& sql) {
  PGresult* r = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(r);
  const std::string error = PQresultErrorMessage(r);
  PQclear(r);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw std::runtime_error(error + " in " + sql);
}

void Execute(CVdDatabase& db, const std::string& sql) { db.ExecuteSQL(VdFromUtf8(sql).c_str()); }

std::string Direct(const std::string& schema) { return std::string("postgresql:///?catalog=") + schema; }

// Runs `sql` on a connection of its own, straight to the server.
void DirectSql(const std::string& sql) {
  PGconn* conn = PQconnectdb("");
  if (PQstatus(conn) == CONNECTION_OK) {
    PGresult* r = PQexec(conn, ("SET client_min_messages = warning; " + sql).c_str());
    PQclear(r);
  }
  PQfinish(conn);
}

// The relay, in front of the server's Unix socket (PGHOST, PGPORT as with-pg-server.sh sets them).
benchrelay::Relay& TheRelay() {
  static benchrelay::Relay relay = [] {
    const char* host = std::getenv("PGHOST");
    const char* port = std::getenv("PGPORT");
    const char* delay = std::getenv("VDPATTERN_RELAY_DELAY_US");
    const std::chrono::microseconds us(delay ? std::atol(delay) : 2000);
    if (host && host[0] == '/')
      return benchrelay::Relay(std::string(host) + "/.s.PGSQL." + (port ? port : "5432"), "", 0, us);
    return benchrelay::Relay("", host ? host : "127.0.0.1", port ? std::atoi(port) : 5432, us);
  }();
  return relay;
}

std::string Relayed(const std::string& schema) {
  return "postgresql://127.0.0.1:" + std::to_string(TheRelay().port()) + "/?catalog=" + schema;
}

// Families of their own schema, made through the library (so they are what it makes), filled by the server.
struct Data {
  std::string big, small, converted, history;
  std::string sqlite, csv;
  bench::ScratchDir dir{"roundtrip"};

  Data() {
    const std::string id = std::to_string(::getpid());
    big = "vdrt_" + id;
    small = "vdrt_" + id + "_imp";
    converted = "vdrt_" + id + "_conv";
    history = "vdrt_" + id + "_his";
    MakeCatalog(big, kFamilies, "F");
    MakeCatalog(small, 1, "IMP");
    MakeCatalog(history, 1, "HIS");
    PGconn* conn = PQconnectdb("");
    if (PQstatus(conn) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn));
    Exec(conn, "SET client_min_messages = warning");
    for (int f = 0; f < kFamilies; ++f)
      Exec(conn, "INSERT INTO " + Quoted(big) + "." + Quoted(FamilyName(f)) +
                     " (\"Name\", h, b, tw, tf, \"A\") SELECT 'P" + std::to_string(f) +
                     "-' || (100000 + k), 100 + k % 500, 50 + k % 300, 5.1, 8.2, k * 0.5 FROM generate_series(0, " +
                     std::to_string(kRows - 1) + ") AS k");
    Exec(conn, "INSERT INTO " + Quoted(history) +
                   ".\"HIS\" (\"Name\", h, b, tw, tf, \"A\") SELECT 'P' || k, 100, 50, "
                   "5.1, 8.2, k FROM generate_series(0, " +
                   std::to_string(kRows - 1) + ") AS k");
    Exec(conn, "VACUUM ANALYZE");
    PQfinish(conn);
    {
      CVdPatternCatalog catalog(VdFromUtf8(Direct(big)).c_str());
      CString error;
      if (!catalog.RebuildNameIndex(error)) throw std::runtime_error("name index: " + VdToUtf8(error.str()));
    }
    CString error;
    if (!CVdCatalogSchema::AddHistory(CString(VdFromUtf8(Direct(history)).c_str()), error))
      throw std::runtime_error("history: " + VdToUtf8(error.str()));
    // The file for convert.
    sqlite = dir.path() + "/convert.mdb";
    CVdDatabase::CreateDatabase(CString(VdFromUtf8(sqlite).c_str()));
    {
      CVdDatabase db;
      db.Open(CString(VdFromUtf8(sqlite).c_str()));
      Tables(db, kConvertFamilies, "C");
      db.BeginTrans();
      for (int f = 0; f < kConvertFamilies; ++f)
        for (int k = 0; k < kConvertRows; ++k)
          Execute(db, "INSERT INTO [C" + std::to_string(f) + "] (Name, h, b, tw, tf, A) VALUES ('C" +
                          std::to_string(f) + "-" + std::to_string(k) + "', 100, 50, 5.1, 8.2, " + std::to_string(k) +
                          ")");
      db.CommitTrans();
    }
    csv = dir.path() + "/import.csv";
    std::ofstream out(csv);
    out << "Name,h,b,tw,tf,A\n";
    for (int k = 0; k < kImportRows; ++k) out << "I " << k << ",100,50,5.1,8.2," << k << "\n";
    out.close();
    if (!out) throw std::runtime_error("cannot write " + csv);
  }
  ~Data() {
    PGconn* conn = PQconnectdb("");
    if (PQstatus(conn) == CONNECTION_OK) {
      PQclear(PQexec(conn, "SET client_min_messages = warning"));
      for (const std::string* s : {&big, &small, &converted, &history}) {
        PGresult* r = PQexec(conn, ("DROP SCHEMA IF EXISTS " + Quoted(*s) + " CASCADE").c_str());
        PQclear(r);
      }
    }
    PQfinish(conn);
  }
  Data(const Data&) = delete;
  Data& operator=(const Data&) = delete;

  static void Tables(CVdDatabase& db, int families, const std::string& prefix) {
    Execute(db,
            "CREATE TABLE Definition (def_name TEXT, def_version INTEGER, def_lastUpdate TEXT, def_editorName TEXT)");
    Execute(db, "INSERT INTO Definition VALUES ('Bench', 1, '2024/01/01', 'bench')");
    Execute(db, "CREATE TABLE FamilyDescription (Name TEXT, FamilyCode TEXT, Description TEXT)");
    Execute(db, "CREATE TABLE Units (Family TEXT, h TEXT, b TEXT, tw TEXT, tf TEXT, A TEXT)");
    for (int f = 0; f < families; ++f) {
      const std::string family = prefix == "F" ? FamilyName(f) : families == 1 ? prefix : prefix + std::to_string(f);
      Execute(db,
              "CREATE TABLE [" + family + "] (Name VARCHAR(50), h DOUBLE, b DOUBLE, tw DOUBLE, tf DOUBLE, A DOUBLE)");
      Execute(db, "CREATE UNIQUE INDEX [" + family + "_Name] ON [" + family + "] (Name)");
      Execute(db, "INSERT INTO FamilyDescription VALUES ('" + family + "', 'K" + family + "', 'bench family')");
      Execute(db, "INSERT INTO Units VALUES ('" + family + "', 'mm', 'mm', 'mm', 'mm', 'cm2')");
    }
  }
  static void MakeCatalog(const std::string& schema, int families, const std::string& prefix) {
    CVdDatabase::CreateDatabase(CString(VdFromUtf8(Direct(schema)).c_str()));
    CVdDatabase db;
    db.Open(CString(VdFromUtf8(Direct(schema)).c_str()));
    Tables(db, families, prefix);
  }
};

Data& TheData() {
  static Data data;
  return data;
}

// Runs the tool with `args`, its output thrown away; its exit status.
int Tool(const std::vector<std::string>& args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 1);
      if (!std::getenv("VDPATTERN_BENCH_TRACE")) ::dup2(null, 2);
    }
    std::vector<char*> argv;
    std::string tool = VDPATTERN_TOOL;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(tool.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Counts `work` through the relay and reports it against `target`.
template <typename Work>
void Counted(benchmark::State& state, double target, double per, bool kilobytes, Work work) {
  if (!std::getenv("VDPATTERN_TEST_PG")) return state.SkipWithError("no server: run through scripts/with-pg-server.sh");
  benchrelay::Counts counts;
  for (auto _ : state) {
    TheRelay().Reset();
    if (!work()) return state.SkipWithError("the measured work failed");
    counts = TheRelay().Get();
  }
  state.counters["count"] =
      kilobytes ? static_cast<double>(counts.received) / 1024.0 : static_cast<double>(counts.roundTrips) / per;
  state.counters["target"] = target;
  state.counters["kb_received"] = static_cast<double>(counts.received) / 1024.0;
  state.counters["kb_sent"] = static_cast<double>(counts.sent) / 1024.0;
}

std::wstring Wide(const std::string& s) { return VdFromUtf8(s); }

// `kilobytes`: the count is the kilobytes the client received instead of its round trips.
void Register(const char* name, double target, double per, std::function<bool()> work, bool kilobytes = false) {
  benchmark::RegisterBenchmark(name, [=](benchmark::State& s) { Counted(s, target, per, kilobytes, work); })
      ->Iterations(1)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string last = "P39-104999";
  Register("roundtrips-open/count", 3, 1, [] {
    CVdPatternCatalog catalog(Wide(Relayed(TheData().big)).c_str());
    return catalog.IsOpened();
  });
  Register("roundtrips-lookup/count", 2, 1, [&] {
    CVdPatternCatalog catalog(Wide(Relayed(TheData().big)).c_str());
    TheRelay().Reset();
    std::unique_ptr<CVdPattern> p(catalog.GetPattern(Wide(last).c_str(), L"F39"));
    return p != nullptr;
  });
  Register("roundtrips-find-missing/count", 2, 1, [] {
    CVdPatternCatalog catalog(Wide(Relayed(TheData().big)).c_str());
    TheRelay().Reset();
    return !catalog.FindPattern(L"Q-nothing", nullptr);
  });
  // One pattern written over on an open catalog, and the same write where the catalog keeps a history: what
  // recording it costs in round trips (its records go with the write's own statements).
  const auto modify = [](const std::string& schema, const wchar_t* family, const wchar_t* name) {
    CVdPatternCatalog catalog(Wide(Relayed(schema)).c_str());
    std::unique_ptr<CVdPattern> p(catalog.GetPattern(name, family));
    if (!p) return false;
    double h = 0;
    p->GetParam(0, L"h", h);
    p->SetParam(0, L"h", h + 1);
    // The first write of a catalog may make its change records; the write counted is the next one.
    if (!catalog.ModifyPattern(name, family, p.get())) return false;
    p->SetParam(0, L"h", h + 2);
    TheRelay().Reset();
    return catalog.ModifyPattern(name, family, p.get()) != FALSE;
  };
  Register("roundtrips-modify/count", 5, 1, [&] { return modify(TheData().big, L"F00", L"P0-100007"); });
  Register("roundtrips-modify-history/count", 5, 1, [&] { return modify(TheData().history, L"HIS", L"P7"); });
  Register("roundtrips-tool-info/count", 4, 1, [] { return Tool({"info", Relayed(TheData().big)}) == 0; });
  Register("roundtrips-tool-families/count", 3, 1, [] { return Tool({"families", Relayed(TheData().big)}) == 0; });
  Register("roundtrips-tool-show/count", 5, 1, [&] { return Tool({"show", Relayed(TheData().big), last}) == 0; });
  Register("roundtrips-tool-show-missing/count", 6, 1, [] {
    return Tool({"show", Relayed(TheData().big), "P39-10499"}) == 1;
  });
  Register(
      "received-kb-tool-show-missing/count", 64, 1,
      [] {
        return Tool({"show", Relayed(TheData().big), "P39-10499"}) == 1;
      },
      true);
  // Each repetition starts from the same state: the family empty, the converted catalog not there (said to the
  // server directly, not through the relay).
  Register("roundtrips-tool-import-per-1000/count", 6, kImportRows / 1000.0, [] {
    DirectSql("DELETE FROM " + Quoted(TheData().small) + ".\"IMP\"");
    TheRelay().Reset();
    return Tool({"import", Relayed(TheData().small), "IMP", TheData().csv}) == 0;
  });
  // The same rows imported again over the family that holds them: each is written over.
  Register("roundtrips-tool-reimport-per-1000/count", 6, kImportRows / 1000.0, [] {
    DirectSql("DELETE FROM " + Quoted(TheData().small) + ".\"IMP\"");
    if (Tool({"import", Direct(TheData().small), "IMP", TheData().csv}) != 0) return false;
    TheRelay().Reset();
    return Tool({"import", Relayed(TheData().small), "IMP", TheData().csv}) == 0;
  });
  Register("roundtrips-tool-convert/count",
           10.0 * (3 + kConvertFamilies) + 6.0 * kConvertFamilies * kConvertRows / 1000, 1, [] {
             DirectSql("DROP SCHEMA IF EXISTS " + Quoted(TheData().converted) + " CASCADE");
             TheRelay().Reset();
             return Tool({"convert", TheData().sqlite, Relayed(TheData().converted)}) == 0;
           });
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  try {
    if (std::getenv("VDPATTERN_TEST_PG")) TheData();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "roundtrip_bench: the catalogs could not be made: %s\n", e.what());
    return 1;
  } catch (CDBException* e) {
    std::fprintf(stderr, "roundtrip_bench: the catalogs could not be made: %s\n",
                 VdToUtf8(e->m_strError.str()).c_str());
    e->Delete();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
