// The stress runs against a catalog on a PostgreSQL server, where the writers are processes on other
// workstations: many writers and readers at once, and clients killed in the middle of a transaction.
//
// server-writers: `writers` processes each insert `writes` patterns of their own (one transaction each) and,
// every tenth write, overwrite one pattern all of them share, while `readers` processes search and read the
// family. Nothing may be lost: every own pattern is there once with its own payload; a write of the shared
// pattern either lands whole or fails with a lock time-out or a serialization failure, never another error.
// A reader must never fail.
//
// server-kills: clients each write a batch of rows in one transaction and are killed (SIGKILL) at a random
// moment; afterwards every batch is present whole or not at all.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "reliability/Stress.h"
#include "reliability/StressRuns.h"

namespace vdstress {
namespace {

// A fresh catalog `name` at the server `base` (an address without a catalog).
std::string FreshServerCatalog(const std::string& base, const std::string& name) {
  {
    CVdDatabase db;
    db.Open(CString(VdFromUtf8(base).c_str()));
    db.ExecuteSQL(VdFromUtf8("DROP SCHEMA IF EXISTS [" + name + "] CASCADE").c_str());
  }
  const std::string address = base + (base.find('?') == std::string::npos ? "?" : "&") + "catalog=" + name;
  CreateStressCatalog(address);
  return address;
}

// The first value of `sql` on `address`, as text.
std::string Scalar(const std::string& address, const std::string& sql) {
  CVdDatabase db;
  db.Open(CString(VdFromUtf8(address).c_str()));
  CVdRecordset rs(&db);
  rs.Open(0, VdFromUtf8(sql).c_str(), 0);
  CDBVariant v;
  rs.GetFieldValue(static_cast<short>(0), v);
  return VdToUtf8(DBV_BSTRAll(&v).str());
}

bool IsConflict(const std::string& failure) { return IsLockTimeout(failure) || failure.rfind("State:40001,", 0) == 0; }

// Runs `body` in a child process; its exit status says whether it passed.
template <typename Body>
pid_t Spawn(Body body) {
  const pid_t pid = ::fork();
  if (pid < 0) Fail("fork failed");
  if (pid > 0) return pid;
  int status = 1;
  try {
    status = body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vdstress child: %s\n", e.what());
  } catch (CDBException* e) {
    std::fprintf(stderr, "vdstress child: %s\n", e->m_strError.ToUtf8().c_str());
    e->Delete();
  }
  std::fflush(nullptr);
  ::_exit(status);
}

int Writer(const std::string& address, int id, int writes) {
  CKeepingCatalog catalog(CString(VdFromUtf8(address).c_str()));
  for (int n = 0; n < writes; ++n) {
    const std::string own = "W" + std::to_string(id) + " " + std::to_string(n);
    // A lock time-out says nothing was written: the write is tried again, so that nothing is lost.
    for (int attempt = 0;; ++attempt) {
      catalog.failures.clear();
      if (catalog.InsertPattern(MakePattern(own, n, id).get(), false)) break;
      if (attempt > 20 || catalog.failures.empty() || !IsConflict(catalog.failures.front()))
        Fail(own + " was not written: " + (catalog.failures.empty() ? "no failure" : catalog.failures.front()));
    }
    if (n % 10 != 0) continue;
    catalog.failures.clear();
    if (!catalog.InsertPattern(MakePattern("SHARED", n, id).get(), false)) {
      if (catalog.failures.empty() || !IsConflict(catalog.failures.front()))
        Fail("the shared pattern failed otherwise: " + (catalog.failures.empty() ? "" : catalog.failures.front()));
    }
  }
  return 0;
}

int Reader(const std::string& address, int writers, volatile sig_atomic_t& stop) {
  CKeepingCatalog catalog(CString(VdFromUtf8(address).c_str()));
  std::mt19937 random(static_cast<unsigned>(::getpid()));
  while (!stop) {
    const std::string name = "W" + std::to_string(random() % writers) + " " + std::to_string(random() % 50);
    catalog.FindPattern(VdFromUtf8(name).c_str(), nullptr);
    CVdPatternPool pool;
    catalog.GetFamilyPattern(&pool, kFamily, L"W0 1%");
    if (!catalog.failures.empty()) Fail("a reader failed: " + catalog.failures.front());
  }
  return 0;
}

volatile sig_atomic_t g_stop = 0;

}  // namespace

int RunServerWriters(const ServerOptions& options) {
  const std::string address = FreshServerCatalog(options.address, "vdstress_writers");
  const auto start = std::chrono::steady_clock::now();
  std::vector<pid_t> writers, readers;
  for (int id = 0; id < options.writers; ++id)
    writers.push_back(Spawn([&] { return Writer(address, id, options.writes); }));
  ::signal(SIGTERM, [](int) { g_stop = 1; });
  for (int id = 0; id < options.readers; ++id)
    readers.push_back(Spawn([&] { return Reader(address, options.writers, g_stop); }));
  int failed = 0;
  for (pid_t pid : writers) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (pid_t pid : readers) ::kill(pid, SIGTERM);
  for (pid_t pid : readers) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long expected = static_cast<long>(options.writers) * options.writes;
  const long own = std::stol(Scalar(address, "SELECT count(*) FROM Items WHERE Name LIKE 'W%'"));
  const long distinct = std::stol(Scalar(address, "SELECT count(DISTINCT Name) FROM Items WHERE Name LIKE 'W%'"));
  const long shared = std::stol(Scalar(address, "SELECT count(*) FROM Items WHERE Name = 'SHARED'"));
  const bool ok = failed == 0 && own == expected && distinct == expected && shared == 1;
  std::printf("server-writers: %d writers x %d writes with %d readers in %.1f s, %ld of %ld rows, %ld shared; %s\n",
              options.writers, options.writes, options.readers, seconds, own, expected, shared,
              ok ? "nothing lost" : "FAILED");
  return ok ? 0 : 1;
}

int RunServerKills(const ServerOptions& options) {
  const std::string address = FreshServerCatalog(options.address, "vdstress_kills");
  std::mt19937 random(options.seed);
  constexpr int kBatch = 40;
  int committed = 0;
  for (int k = 0; k < options.kills; ++k) {
    const pid_t pid = Spawn([&] {
      auto* db = new CVdDatabase;
      db->Open(CString(VdFromUtf8(address).c_str()));
      CKeepingCatalog catalog(db, nullptr, true);  // owns db from here
      db->BeginTrans();
      for (int n = 0; n < kBatch; ++n)
        if (!catalog.InsertPattern(MakePattern("K" + std::to_string(k) + " " + std::to_string(n), n, k).get(), false))
          return 1;
      return db->CommitTrans() ? 0 : 1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 400));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    committed += WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  int torn = 0, whole = 0;
  for (int k = 0; k < options.kills; ++k) {
    const long rows =
        std::stol(Scalar(address, "SELECT count(*) FROM Items WHERE Name LIKE 'K" + std::to_string(k) + " %'"));
    torn += rows != 0 && rows != kBatch;
    whole += rows == kBatch;
  }
  const bool ok = torn == 0 && whole >= committed;
  std::printf("server-kills: %d clients killed, %d batches whole, %d torn; %s\n", options.kills, whole, torn,
              ok ? "no partial write" : "FAILED");
  return ok ? 0 : 1;
}

}  // namespace vdstress
