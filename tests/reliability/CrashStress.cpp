// Crash safety: a child process changes patterns of a catalog, alone and inside transactions, and logs each
// acknowledged change; the parent kills it with SIGKILL at a random moment, then checks that the catalog opens
// through the library, passes SQLite's integrity check, and holds every acknowledged change and no change of a
// rolled-back transaction. The one unit in flight at the kill may be there or not, but only whole.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/Report.h>

#include "reliability/StressRuns.h"
#include "reliability/Stress.h"

namespace vdstress {

namespace {

constexpr int kKeys = 24;

LineLog* g_childLog = nullptr;

// In the child, any report is a failure that the parent must see.
void ChildReport(const wchar_t* text, const wchar_t* caption) {
  if (g_childLog)
    g_childLog->Write("E report " + VdToUtf8(caption ? caption : L"") + ": " + VdToUtf8(text ? text : L""), true);
  std::_Exit(3);
}

[[noreturn]] void ChildFail(LineLog& log, const std::string& what) {
  log.Write("E " + what, true);
  std::_Exit(3);
}

bool RunOp(CKeepingCatalog& catalog, char op, const std::string& name, long version) {
  const std::wstring wide = VdFromUtf8(name);
  switch (op) {
    case 'I':
      return catalog.InsertPattern(MakePattern(name, version, 0).get(), false);
    case 'M':
      return catalog.ModifyPattern(wide.c_str(), kFamily, MakePattern(name, version, 0).get());
    default:
      return catalog.RemovePattern(wide.c_str(), kFamily);
  }
}

// The child: changes patterns until it is killed. Versions start at `firstVersion`, so every run writes
// values of its own.
[[noreturn]] void RunChild(const std::string& catalogPath, const std::string& logPath, unsigned seed,
                           long firstVersion) {
  const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) std::_Exit(4);
  LineLog log(fd);
  g_childLog = &log;
  VdSetReportHandler(&ChildReport);
  std::mt19937 rng(seed);
  long version = firstVersion;
  try {
    auto* db = new CVdDatabase();
    try {
      db->Open(CString(catalogPath.c_str()));
    } catch (...) {
      delete db;
      throw;
    }
    CKeepingCatalog catalog(db, new CVdPatternFactory(), true);  // takes over the connection
    if (!catalog.IsOpened()) ChildFail(log, "the catalog did not open");
    auto one = [&](bool durable) {
      const char op = "IIIMMR"[rng() % 6];
      const std::string name = "K" + std::to_string(rng() % kKeys);
      ++version;
      log.Write(std::string("S ") + op + " " + name + " " + std::to_string(version) + " 0", false);
      const bool result = RunOp(catalog, op, name, version);
      if (!catalog.failures.empty()) ChildFail(log, "failure reported: " + catalog.failures.front());
      log.Write(result ? "A 1" : "A 0", durable);
    };
    for (;;) {
      if (rng() % 10 < 6) {
        one(true);
        continue;
      }
      const bool commit = rng() % 4 != 0;
      log.Write(commit ? "B C" : "B R", false);
      if (!db->BeginTrans()) ChildFail(log, "BeginTrans refused");
      for (int n = 1 + static_cast<int>(rng() % 5); n > 0; --n) one(false);
      if (commit) {
        if (!db->CommitTrans()) ChildFail(log, "CommitTrans refused");
        log.Write("C", true);
      } else {
        if (!db->Rollback()) ChildFail(log, "Rollback refused");
        log.Write("X", true);
      }
    }
  } catch (CDBException* e) {
    const std::string what = e->m_strStateNativeOrigin.ToUtf8() + " " + e->m_strError.ToUtf8();
    e->Delete();
    ChildFail(log, "exception: " + what);
  }
}

std::vector<std::wstring> g_parentReports;
void ParentReport(const wchar_t* text, const wchar_t*) { g_parentReports.push_back(text ? text : L""); }

// The catalog as the library sees it after the kill: it opens without a report and reads the family; returns
// the number of patterns read.
std::size_t ReadThroughLibrary(const std::string& path) {
  g_parentReports.clear();
  const VdReportHandler previous = VdSetReportHandler(&ParentReport);
  std::string problem;
  std::size_t count = 0;
  {
    CVdPatternCatalog catalog(VdFromUtf8(path).c_str());
    CVdPatternPool pool;
    if (!catalog.IsOpened())
      problem = "the catalog does not open";
    else if (catalog.GetTypeName() != L"Stress")
      problem = "the catalog's definition is not readable";
    else if (!catalog.GetFamilyPattern(&pool, kFamily, nullptr))
      problem = "the family cannot be read";
    count = static_cast<std::size_t>(pool.GetCount());
  }
  VdSetReportHandler(previous);
  if (problem.empty() && !g_parentReports.empty()) problem = "reported: " + VdToUtf8(g_parentReports.front());
  if (!problem.empty()) Fail(problem);
  return count;
}

std::string Describe(const Rows& rows) {
  std::string text;
  for (const auto& [name, row] : rows) text += " " + name + "=" + std::to_string(row.version);
  return text.empty() ? " (none)" : text;
}

}  // namespace

int RunCrash(const CrashOptions& options) {
  const std::string path = options.dir + "/crash.mdb";
  const std::string logPath = options.dir + "/crash-child.log";
  CreateStressCatalog(path);
  std::mt19937 rng(options.seed);
  Rows model;
  long acknowledged = 0, rolledBack = 0, commits = 0, rollbacks = 0, inFlightKept = 0, inFlightLost = 0;
  int survived = 0;
  for (int run = 0; run < options.kills; ++run) {
    ::unlink(logPath.c_str());  // a child killed before it opens its log must not leave the last one in place
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) Fail("fork failed");
    if (pid == 0) RunChild(path, logPath, options.seed * 7919u + static_cast<unsigned>(run), (run + 1) * 1000000L);

    // Mostly while it writes; one kill in ten lands early, while it opens the catalog.
    const long delayUs = rng() % 10 == 0 ? static_cast<long>(rng() % 3000)
                                         : 2000 + static_cast<long>(rng() % (options.maxDelayMs * 1000L));
    const timespec pause{delayUs / 1000000, (delayUs % 1000000) * 1000};
    ::nanosleep(&pause, nullptr);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);

    const std::vector<std::string> lines = ReadLines(logPath);
    Replay replay(model);
    try {
      replay.Feed(lines);
      if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL)
        Fail("the child ended by itself (status " + std::to_string(status) + ")");
      // The library opens the file first, so that it is the one to meet a hot journal left by the kill.
      const std::size_t libraryRows = ReadThroughLibrary(path);
      Rows actual;
      std::string integrity;
      {
        RawDb raw(path);
        integrity = raw.IntegrityCheck();
        actual = raw.ReadItems();
      }
      if (integrity != "ok") Fail("integrity check: " + integrity);
      if (libraryRows != actual.size())
        Fail("the library reads " + std::to_string(libraryRows) + " patterns where the file holds " +
             std::to_string(actual.size()));
      const std::vector<Rows> candidates = replay.Candidates();
      std::size_t match = candidates.size();
      for (std::size_t k = 0; k < candidates.size(); ++k)
        if (candidates[k] == actual) match = k;
      if (match == candidates.size()) {
        std::string detail = "the catalog holds" + Describe(actual) + "; acknowledged:" + Describe(candidates[0]);
        if (candidates.size() > 1) detail += "; or with the unit in flight:" + Describe(candidates[1]);
        Fail(detail);
      }
      if (std::getenv("VDSTRESS_VERBOSE")) {
        std::fprintf(stderr, "kill %d: match %zu of %zu; actual:%s\n", run + 1, match, candidates.size(),
                     Describe(actual).c_str());
        for (const std::string& line : lines) std::fprintf(stderr, "  %s\n", line.c_str());
      }
      if (candidates.size() > 1) ++(match == 1 ? inFlightKept : inFlightLost);
      model = candidates[match];
    } catch (const std::exception& e) {
      std::fprintf(stderr, "crash: after kill %d (at %ld us): %s\n", run + 1, delayUs, e.what());
      std::fprintf(stderr, "crash: the child's log:\n");
      for (const std::string& line : lines) std::fprintf(stderr, "  %s\n", line.c_str());
      std::printf("crash: FAILED after %d of %d kills\n", survived, options.kills);
      return 1;
    }
    acknowledged += replay.acknowledged;
    rolledBack += replay.rolledBack;
    commits += replay.commits;
    rollbacks += replay.rollbacks;
    ++survived;
  }
  std::printf(
      "crash: kills survived %d/%d, writes checked %ld acknowledged + %ld rolled back "
      "(%ld commits, %ld rollbacks), in-flight units found whole %ld / absent %ld\n",
      survived, options.kills, acknowledged, rolledBack, commits, rollbacks, inFlightKept, inFlightLost);
  return 0;
}

}  // namespace vdstress
