// Concurrent writers: two writer processes and one reader process work on one catalog file for a bounded time.
// The writers use short lock timeouts on purpose, so that they meet the other's locks: the only failure they may
// see is a lock timeout (state HYT00), which they retry. The reader checks that every row it reads is whole.
// At the end every acknowledged write must be in the file, and nothing else.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/Report.h>
#include <vdpattern/toolkit/VdRecordset.h>

#include "reliability/Stress.h"
#include "reliability/StressRuns.h"

namespace vdstress {

namespace {

constexpr int kKeysPerWriter = 30;
constexpr int kWriters = 2;

using Clock = std::chrono::steady_clock;

LineLog* g_log = nullptr;

void ChildReport(const wchar_t* text, const wchar_t* caption) {
  if (g_log) g_log->Write("E report " + VdToUtf8(caption ? caption : L"") + ": " + VdToUtf8(text ? text : L""), true);
  std::_Exit(3);
}

[[noreturn]] void ChildFail(const std::string& what) {
  if (g_log) g_log->Write("E " + what, true);
  std::_Exit(3);
}

void Nap(std::mt19937& rng, int maxMicroseconds) {
  const long us = static_cast<long>(rng() % static_cast<unsigned>(maxMicroseconds));
  const timespec pause{0, us * 1000};
  ::nanosleep(&pause, nullptr);
}

// Opens the catalog for a child, waiting generously for the others' locks while it reads the system tables.
CVdDatabase* OpenDatabase(const std::string& path) {
  auto* db = new CVdDatabase();
  db->SetBusyTimeout(10000);
  try {
    db->Open(CString(path.c_str()));
  } catch (CDBException* e) {
    const std::string what = e->m_strStateNativeOrigin.ToUtf8() + " " + e->m_strError.ToUtf8();
    e->Delete();
    delete db;
    ChildFail("cannot open the catalog: " + what);
  }
  return db;
}

// Hands a failure over to the caller's retry when it is a lock timeout; any other failure ends the process.
struct LockTimeout {};

void CheckFailures(std::vector<std::string>& failures) {
  if (failures.empty()) return;
  for (const std::string& failure : failures)
    if (!IsLockTimeout(failure)) ChildFail("a failure other than a lock timeout: " + failure);
  failures.clear();
  throw LockTimeout{};
}

// ---------------------------------------------------------------- writer

class Writer {
 public:
  Writer(const std::string& path, int id, unsigned seed)
      : m_id(id),
        m_rng(seed),
        m_db(OpenDatabase(path)),
        m_factory(new CKeepingFactory()),
        m_catalog(m_db, m_factory, true) {
    if (!m_catalog.IsOpened()) ChildFail("the catalog did not open");
  }

  void Run(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
      if (m_rng() % 10 < 7)
        Single();
      else
        Batch();
    }
    g_log->Write("END " + std::to_string(m_acknowledged) + " " + std::to_string(m_timeouts) + " " +
                     std::to_string(m_batches) + " " + std::to_string(m_batchRetries),
                 true);
  }

 private:
  struct Op {
    char kind;
    std::string name;
    long version;
    bool anyFamily;  // searched over every family rather than in "Items"
  };

  Op NextOp() {
    const char kind = "IIIMMR"[m_rng() % 6];
    const std::string name = "W" + std::to_string(m_id) + "-" + std::to_string(m_rng() % kKeysPerWriter);
    return Op{kind, name, m_id * 100000000L + ++m_version, m_rng() % 4 == 0};
  }

  void LogStart(const Op& op) {
    g_log->Write(
        std::string("S ") + op.kind + " " + op.name + " " + std::to_string(op.version) + " " + std::to_string(m_id),
        false);
  }

  // One attempt; throws LockTimeout when the attempt met a lock timeout (and may or may not have written).
  bool Attempt(const Op& op) {
    // A different, short wait each time, so that the two writers often give up on each other's locks.
    m_db->SetBusyTimeout(1 + static_cast<int>(m_rng() % 40));
    const std::wstring name = VdFromUtf8(op.name);
    const wchar_t* family = op.anyFamily ? nullptr : kFamily;
    bool result = false;
    try {
      switch (op.kind) {
        case 'I':
          result = m_catalog.InsertPattern(MakePattern(op.name, op.version, m_id).get(), false);
          break;
        case 'M':
          result = m_catalog.ModifyPattern(name.c_str(), family, MakePattern(op.name, op.version, m_id).get());
          break;
        default:
          result = m_catalog.RemovePattern(name.c_str(), family);
          break;
      }
    } catch (CDBException* e) {  // ModifyPattern lets database failures through
      m_catalog.failures.push_back(e->m_strStateNativeOrigin.ToUtf8() + " " + e->m_strError.ToUtf8());
      e->Delete();
    }
    CheckFailures(m_catalog.failures);
    CheckFailures(m_factory->failures);
    return result;
  }

  // Checks a result given without any failure against the model, and applies it.
  static void Acknowledge(Rows& model, const Op& op, bool result, bool timedOutBefore, long writer) {
    const bool present = model.count(op.name) != 0;
    if (op.kind == 'I' && !result) ChildFail("insert of " + op.name + " returned false without a failure");
    if (op.kind == 'M' && result != present)
      ChildFail("modify of " + op.name + " returned " + (result ? "true" : "false") + " without a failure");
    if (op.kind == 'R' && result != present && !(present && timedOutBefore))
      ChildFail("remove of " + op.name + " returned " + (result ? "true" : "false") + " without a failure");
    if (op.kind == 'I' || (op.kind == 'M' && present)) model[op.name] = Row{op.version, writer};
    if (op.kind == 'R') model.erase(op.name);
  }

  // An operation on its own, retried until it is acknowledged.
  void Single() {
    const Op op = NextOp();
    LogStart(op);
    bool timedOutBefore = false;
    for (;;) {
      try {
        const bool result = Attempt(op);
        // A remove whose earlier attempt timed out after deleting finds nothing now: it was done then.
        const bool done = op.kind == 'R' && !result && timedOutBefore && m_model.count(op.name) ? true : result;
        Acknowledge(m_model, op, result, timedOutBefore, m_id);
        g_log->Write(done ? "A 1" : "A 0", false);
        ++m_acknowledged;
        return;
      } catch (LockTimeout) {
        ++m_timeouts;
        timedOutBefore = true;
        Nap(m_rng, 2000);
      }
    }
  }

  // A transaction of a few operations, begun again from the start when it meets a lock timeout.
  void Batch() {
    std::vector<Op> ops;
    for (int n = 2 + static_cast<int>(m_rng() % 4); n > 0; --n) ops.push_back(NextOp());
    ++m_batches;
    for (;;) {
      g_log->Write("B C", false);
      Rows model = m_model;
      try {
        try {
          m_db->SetBusyTimeout(1 + static_cast<int>(m_rng() % 40));
          if (!m_db->BeginTrans()) ChildFail("BeginTrans refused");
          for (const Op& op : ops) {
            LogStart(op);
            const bool result = Attempt(op);
            Acknowledge(model, op, result, false, m_id);
            g_log->Write(result ? "A 1" : "A 0", false);
          }
          Commit();
        } catch (CDBException* e) {
          const std::string failure = e->m_strStateNativeOrigin.ToUtf8() + " " + e->m_strError.ToUtf8();
          e->Delete();
          if (!IsLockTimeout(failure)) ChildFail("a failure other than a lock timeout: " + failure);
          throw LockTimeout{};
        }
        g_log->Write("C", false);
        m_model = std::move(model);
        m_acknowledged += static_cast<long>(ops.size());
        return;
      } catch (LockTimeout) {
        ++m_timeouts;
        ++m_batchRetries;
        try {
          if (m_db->IsInTransaction()) m_db->Rollback();
        } catch (CDBException* e) {
          const std::string failure = e->m_strStateNativeOrigin.ToUtf8() + " " + e->m_strError.ToUtf8();
          e->Delete();
          ChildFail("Rollback failed: " + failure);
        }
        g_log->Write("X", false);
        Nap(m_rng, 5000);
      }
    }
  }

  // A commit that meets a reader's lock fails and leaves the transaction open: it is tried again a few times.
  void Commit() {
    for (int attempt = 0;; ++attempt) {
      try {
        if (!m_db->CommitTrans()) ChildFail("CommitTrans refused");
        return;
      } catch (CDBException* e) {
        const std::string failure = e->m_strStateNativeOrigin.ToUtf8() + " " + e->m_strError.ToUtf8();
        e->Delete();
        if (!IsLockTimeout(failure)) ChildFail("a failure other than a lock timeout: " + failure);
        ++m_timeouts;
        if (attempt == 20 || !m_db->IsInTransaction()) throw LockTimeout{};
        Nap(m_rng, 2000);
      }
    }
  }

  int m_id;
  std::mt19937 m_rng;
  CVdDatabase* m_db;           // owned by m_catalog
  CKeepingFactory* m_factory;  // owned by m_catalog
  CKeepingCatalog m_catalog;
  Rows m_model;
  long m_version = 0;
  long m_acknowledged = 0, m_timeouts = 0, m_batches = 0, m_batchRetries = 0;
};

// ---------------------------------------------------------------- reader

class Reader {
 public:
  Reader(const std::string& path, unsigned seed)
      : m_rng(seed), m_db(OpenDatabase(path)), m_factory(new CKeepingFactory()), m_catalog(m_db, m_factory, true) {
    if (!m_catalog.IsOpened()) ChildFail("the catalog did not open");
  }

  void Run(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
      m_db->SetBusyTimeout(1 + static_cast<int>(m_rng() % 40));
      ++m_reads;
      try {
        switch (m_rng() % 3) {
          case 0:
            ReadRecordset();
            break;
          case 1:
            ReadFamily();
            break;
          default:
            ReadOne();
            break;
        }
      } catch (LockTimeout) {
        ++m_timeouts;
      }
    }
    g_log->Write("END " + std::to_string(m_reads) + " " + std::to_string(m_rows) + " " + std::to_string(m_timeouts) +
                     " " + std::to_string(m_familyRefused),
                 true);
  }

 private:
  void CheckRow(const std::string& name, long version, long writer, const std::wstring& payload) {
    if (payload != Payload(name, version, writer))
      ChildFail("the row " + name + " was read with a payload that is not its own (version " + std::to_string(version) +
                ", writer " + std::to_string(writer) + ")");
    ++m_rows;
  }

  void CheckPattern(CVdPattern& pattern) {
    long version = 0, writer = 0;
    CString payload;
    if (!pattern.GetParam(0, L"version", version) || !pattern.GetParam(0, L"writer", writer) ||
        !pattern.GetParam(0, L"payload", payload))
      ChildFail("a pattern was read without all of its values");
    CheckRow(pattern.GetUserNameW().ToUtf8(), version, writer, payload.str());
  }

  void ReadRecordset() {
    CVdRecordset rs(m_db);
    try {
      rs.Open(0, L"SELECT Name, Version, Writer, Payload FROM Items");
      for (; !rs.IsEOF(); rs.MoveNext()) {
        CDBVariant name, version, writer, payload;
        rs.GetFieldValue(short(0), name);
        rs.GetFieldValue(short(1), version);
        rs.GetFieldValue(short(2), writer);
        rs.GetFieldValue(short(3), payload);
        if (name.m_dwType != DBVT_WSTRING || version.m_dwType != DBVT_LONG || writer.m_dwType != DBVT_LONG ||
            payload.m_dwType != DBVT_WSTRING)
          ChildFail("a row was read with values of the wrong types");
        CheckRow(name.m_pstringW->ToUtf8(), version.m_lVal, writer.m_lVal, payload.m_pstringW->str());
      }
    } catch (CDBException* e) {
      std::vector<std::string> failures{e->m_strStateNativeOrigin.ToUtf8() + " " + e->m_strError.ToUtf8()};
      e->Delete();
      CheckFailures(failures);
    }
  }

  // GetFamilyPattern releases database failures silently: a refusal is counted, and what it reads is checked.
  void ReadFamily() {
    CVdPatternPool pool;
    if (!m_catalog.GetFamilyPattern(&pool, kFamily, nullptr)) {
      ++m_familyRefused;
      return;
    }
    for (CVdPattern* pattern = pool.FindFirstPattern(); pattern; pattern = pool.FindNextPattern())
      CheckPattern(*pattern);
  }

  void ReadOne() {
    const std::string name =
        "W" + std::to_string(1 + m_rng() % kWriters) + "-" + std::to_string(m_rng() % kKeysPerWriter);
    std::unique_ptr<CVdPattern> pattern(
        m_catalog.GetPattern(VdFromUtf8(name).c_str(), m_rng() % 2 ? kFamily : nullptr));
    CheckFailures(m_catalog.failures);
    CheckFailures(m_factory->failures);
    if (pattern) CheckPattern(*pattern);
  }

  std::mt19937 m_rng;
  CVdDatabase* m_db;           // owned by m_catalog
  CKeepingFactory* m_factory;  // owned by m_catalog
  CKeepingCatalog m_catalog;
  long m_reads = 0, m_rows = 0, m_timeouts = 0, m_familyRefused = 0;
};

// The three children open the catalog first and start together: the run's time is spent working, not waiting
// for a lock to open the file.
struct StartLine {
  int ready[2];
  int go[2];
};

Clock::time_point WaitForStart(const StartLine& line, double seconds) {
  char c = 'r';
  if (::write(line.ready[1], &c, 1) != 1 || ::read(line.go[0], &c, 1) != 1) ChildFail("the start signal was lost");
  return Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

[[noreturn]] void RunChild(const std::string& logPath, const std::function<void()>& body) {
  const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) std::_Exit(4);
  LineLog log(fd);
  g_log = &log;
  VdSetReportHandler(&ChildReport);
  try {
    body();
  } catch (const std::exception& e) {
    ChildFail(e.what());
  }
  std::_Exit(0);
}

}  // namespace

int RunConcurrent(const ConcurrentOptions& options) {
  const std::string path = options.dir + "/concurrent.mdb";
  CreateStressCatalog(path);
  StartLine start{};
  if (::pipe(start.ready) != 0 || ::pipe(start.go) != 0) Fail("pipe failed");

  std::vector<pid_t> children;
  std::vector<std::string> logs;
  for (int k = 0; k <= kWriters; ++k) {
    const std::string log =
        options.dir + (k < kWriters ? "/writer-" + std::to_string(k + 1) : std::string("/reader")) + ".log";
    logs.push_back(log);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) Fail("fork failed");
    if (pid == 0) {
      const unsigned seed = options.seed * 7919u + static_cast<unsigned>(k);
      if (k < kWriters)
        RunChild(log, [&] {
          Writer writer(path, k + 1, seed);
          writer.Run(WaitForStart(start, options.seconds));
        });
      else
        RunChild(log, [&] {
          Reader reader(path, seed);
          reader.Run(WaitForStart(start, options.seconds));
        });
    }
    children.push_back(pid);
  }

  // Once every child has opened the catalog (or a minute has passed), they start together.
  std::string failure;
  for (std::size_t k = 0; k < children.size(); ++k) {
    pollfd ready{start.ready[0], POLLIN, 0};
    char c;
    if (::poll(&ready, 1, 60000) != 1 || ::read(start.ready[0], &c, 1) != 1) {
      failure += " a child did not open the catalog within a minute;";
      break;
    }
  }
  const std::string go(children.size(), 'g');
  if (::write(start.go[1], go.data(), go.size()) != static_cast<ssize_t>(go.size())) Fail("write failed");

  // Every child stops by itself at the deadline; one that is still running a minute later hangs.
  const Clock::time_point limit =
      Clock::now() + std::chrono::milliseconds(static_cast<long>(options.seconds * 1000)) + std::chrono::seconds(60);
  for (std::size_t done = 0; done < children.size();) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      ++done;
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        failure += " a child ended with status " + std::to_string(status) + ";";
      continue;
    }
    if (Clock::now() > limit) {
      for (pid_t child : children) ::kill(child, SIGKILL);
      while (::waitpid(-1, &status, 0) > 0) {
      }
      failure += " a child was still running a minute after the deadline;";
      break;
    }
    const timespec pause{0, 20 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }

  try {
    Rows expected;
    long acknowledged = 0, timeouts = 0, batches = 0, retries = 0;
    for (int k = 0; k < kWriters; ++k) {
      Replay replay({});
      replay.Feed(ReadLines(logs[static_cast<std::size_t>(k)]));
      if (replay.end.empty()) Fail("writer " + std::to_string(k + 1) + " did not finish");
      if (replay.Candidates().size() != 1) Fail("writer " + std::to_string(k + 1) + " finished inside a change");
      for (const auto& row : replay.State()) expected.insert(row);
      long a = 0, t = 0, b = 0, r = 0;
      std::sscanf(replay.end.c_str(), "%ld %ld %ld %ld", &a, &t, &b, &r);
      if (a != replay.acknowledged) Fail("writer " + std::to_string(k + 1) + "'s log lost acknowledgements");
      acknowledged += a, timeouts += t, batches += b, retries += r;
    }
    Replay reader({});
    reader.Feed(ReadLines(logs.back()));
    if (reader.end.empty()) Fail("the reader did not finish");
    long reads = 0, rows = 0, readerTimeouts = 0, refused = 0;
    std::sscanf(reader.end.c_str(), "%ld %ld %ld %ld", &reads, &rows, &readerTimeouts, &refused);
    if (!failure.empty()) Fail(failure);

    RawDb raw(path);
    const std::string integrity = raw.IntegrityCheck();
    if (integrity != "ok") Fail("integrity check: " + integrity);
    const Rows actual = raw.ReadItems();
    if (actual != expected) {
      std::string detail = "the file does not hold exactly the acknowledged writes:";
      for (const auto& [name, row] : expected) {
        const auto it = actual.find(name);
        if (it == actual.end())
          detail += " " + name + " missing;";
        else if (it->second != row)
          detail += " " + name + " has version " + std::to_string(it->second.version) + " for " +
                    std::to_string(row.version) + ";";
      }
      for (const auto& [name, row] : actual)
        if (!expected.count(name)) detail += " " + name + " should not be there;";
      Fail(detail);
    }
    if (acknowledged == 0 || rows == 0) Fail("nothing was written or read");
    std::printf(
        "concurrent: %d writers + 1 reader for %.0f s: writes checked %ld acknowledged (%zu rows at the end, "
        "%ld transactions), lock timeouts retried %ld (%ld transactions begun again); reader: %ld reads, "
        "%ld rows checked whole, %ld lock timeouts, %ld family reads refused\n",
        kWriters, options.seconds, acknowledged, actual.size(), batches, timeouts, retries, reads, rows, readerTimeouts,
        refused);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "concurrent: %s\n", e.what());
    std::printf("concurrent: FAILED\n");
    return 1;
  }
}

}  // namespace vdstress
