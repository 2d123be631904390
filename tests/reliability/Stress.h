#pragma once
// Shared by the crash and concurrency stress runs of vdstress: the catalog they work on, the rows they write,
// a catalog that keeps the failures it is handed instead of showing them, and raw SQLite reads for checking.
//
// Every stress catalog has one family, "Items" (code "IT"): Name, Version (the number of the write that made
// the row, unique over a run), Writer (which process wrote it) and Payload, a text computed from the three
// others, long enough to span several cells of a page and holding a quote and a character outside the BMP, so
// that a torn or mixed row cannot pass for a whole one.

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VdDatabase.h>

namespace vdstress {

inline const wchar_t* const kFamily = L"Items";

// What one row of "Items" holds, as the checker compares it.
struct Row {
  long version = 0;
  long writer = 0;
  bool operator==(const Row& other) const { return version == other.version && writer == other.writer; }
  bool operator!=(const Row& other) const { return !(*this == other); }
};
using Rows = std::map<std::string, Row>;  // by name (UTF-8)

inline std::wstring Payload(const std::string& name, long version, long writer) {
  const std::wstring unit =
      VdFromUtf8(name) + L"'v" + std::to_wstring(version) + L"w" + std::to_wstring(writer) + L"\U0001D538|";
  std::wstring text;
  while (text.size() < 600) text += unit;
  return text;
}

inline void Fail(const std::string& message) { throw std::runtime_error(message); }

// A new catalog at `path` with the family "Items".
inline void CreateStressCatalog(const std::string& path) {
  const CString file(path.c_str());
  std::vector<CVdCatalogSchema::Column> columns(3);
  columns[0].name = L"Version", columns[0].type = L"INTEGER";
  columns[1].name = L"Writer", columns[1].type = L"INTEGER";
  columns[2].name = L"Payload", columns[2].type = L"TEXT";
  CString error;
  if (!CVdCatalogSchema::CreateCatalog(file, L"Stress", L"vdstress", 1, error) ||
      !CVdCatalogSchema::AddFamily(file, kFamily, L"IT", columns, error))
    Fail("cannot create the catalog " + path + ": " + error.ToUtf8());
}

// A catalog that keeps the database failures handed to it (state and message) rather than reporting them.
class CKeepingCatalog : public CVdPatternCatalog {
 public:
  using CVdPatternCatalog::CVdPatternCatalog;
  std::vector<std::string> failures;

 protected:
  void OnDBException(CDBException* e) override {
    failures.push_back(e->m_strStateNativeOrigin.ToUtf8() + " " + e->m_strError.ToUtf8());
  }
};

// The same for the factory, whose failures would otherwise be reported with the caption "Erreur DAO".
class CKeepingFactory : public CVdPatternFactory {
 public:
  std::vector<std::string> failures;
  void OnDBException(CDBException* e) override {
    failures.push_back(e->m_strStateNativeOrigin.ToUtf8() + " " + e->m_strError.ToUtf8());
  }
};

inline bool IsLockTimeout(const std::string& failure) { return failure.rfind("State:HYT00,", 0) == 0; }

// The pattern written for `name` at `version` by `writer`.
inline std::unique_ptr<CVdPattern> MakePattern(const std::string& name, long version, long writer) {
  auto pattern = std::make_unique<CVdPattern>(1, VdFromUtf8(name).c_str(), kFamily);
  pattern->SetParam(0, L"version", version);
  pattern->SetParam(0, L"writer", writer);
  pattern->SetParam(0, L"payload", Payload(name, version, writer));
  return pattern;
}

// Raw SQLite access for the checkers, which must not trust the library they check.
class RawDb {
 public:
  explicit RawDb(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
      sqlite3_close(m_db);
      Fail("sqlite3 cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(m_db, 10000);
  }
  ~RawDb() { sqlite3_close(m_db); }
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;

  // Every row of "Items" by name; a name present twice, or a payload that does not match its row, fails.
  Rows ReadItems() {
    Rows rows;
    sqlite3_stmt* stmt = Prepare("SELECT Name, Version, Writer, Payload FROM Items");
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      const std::string name = Text(stmt, 0);
      const Row row{static_cast<long>(sqlite3_column_int64(stmt, 1)), static_cast<long>(sqlite3_column_int64(stmt, 2))};
      const std::string payload = Text(stmt, 3);
      if (payload != VdToUtf8(Payload(name, row.version, row.writer))) {
        sqlite3_finalize(stmt);
        Fail("the row " + name + " holds a payload that is not its own");
      }
      if (!rows.emplace(name, row).second) {
        sqlite3_finalize(stmt);
        Fail("the name " + name + " is present twice");
      }
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) Fail(std::string("reading Items failed: ") + sqlite3_errmsg(m_db));
    return rows;
  }

  std::string IntegrityCheck() {
    sqlite3_stmt* stmt = Prepare("PRAGMA integrity_check");
    std::string result;
    while (sqlite3_step(stmt) == SQLITE_ROW) result += (result.empty() ? "" : "; ") + Text(stmt, 0);
    sqlite3_finalize(stmt);
    return result;
  }

 private:
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      Fail(std::string("cannot prepare ") + sql + ": " + sqlite3_errmsg(m_db));
    }
    return stmt;
  }
  static std::string Text(sqlite3_stmt* stmt, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column))) : std::string();
  }

  sqlite3* m_db = nullptr;
};

// Appends whole lines to a file, each line one write(2); `durable` adds an fsync, for the acknowledgements.
class LineLog {
 public:
  explicit LineLog(int fd) : m_fd(fd) {}
  void Write(const std::string& line, bool durable) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(m_fd, text.data() + done, text.size() - done);
      if (n <= 0) std::_Exit(90);
      done += static_cast<std::size_t>(n);
    }
    if (durable && ::fsync(m_fd) != 0) std::_Exit(91);
  }

 private:
  int m_fd;
};

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return lines;
  std::string line;
  for (int c; (c = std::fgetc(f)) != EOF;) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  std::fclose(f);
  // A last line without its newline was cut by the kill: it was never written whole.
  return lines;
}

// The log both stress runs write, one record a line:
//   S <op> <name> <version> <writer>   an operation starts (op: I insert, M modify, R remove)
//   A <0|1>                            it was acknowledged, with its result
//   B <C|R>                            a transaction starts, meant to be committed (C) or rolled back (R)
//   C                                  CommitTrans returned
//   X                                  Rollback returned (a transaction meant to be committed may be given up)
//   E <text>                           the process met a failure it should never meet
//   END <figures>                      the process finished its run
// Replay applies the acknowledged changes to a model of the rows, checking each result against the model
// (a modify or remove succeeds exactly when the name is present), and tells what the one unit still in flight
// at the end of the log may have left: the model as it is, or with the unit applied whole.
class Replay {
 public:
  explicit Replay(Rows model) : m_state(std::move(model)) {}

  void Feed(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) Line(line);
  }

  const Rows& State() const { return m_state; }
  // The states the file may be in: the model, then (when a unit was in flight) the model with that unit.
  std::vector<Rows> Candidates() const {
    std::vector<Rows> candidates{m_state};
    if (!m_inBatch && m_pending) {
      Rows with = m_state;
      Apply(with, m_op, /*checkResult=*/false, false);
      candidates.push_back(std::move(with));
    } else if (m_inBatch && m_batchMode == 'C' && !m_pending) {
      candidates.push_back(m_batch);
    }
    return candidates;
  }

  long acknowledged = 0;  // changes acknowledged outside transactions, and in committed ones
  long rolledBack = 0;    // changes made in transactions that were rolled back
  long commits = 0;
  long rollbacks = 0;
  std::string end;  // the END record's figures, when there is one

 private:
  struct Op {
    char kind = 0;
    std::string name;
    long version = 0, writer = 0;
  };

  static void Apply(Rows& rows, const Op& op, bool checkResult, bool result) {
    const bool present = rows.count(op.name) != 0;
    if (checkResult && op.kind != 'I' && result != present)
      Fail(std::string(op.kind == 'M' ? "modify" : "remove") + " of " + op.name + " returned " +
           (result ? "true" : "false") + " while the name was " + (present ? "present" : "absent"));
    if (checkResult && op.kind == 'I' && !result) Fail("insert of " + op.name + " returned false");
    if (op.kind == 'I' || (op.kind == 'M' && present)) rows[op.name] = Row{op.version, op.writer};
    if (op.kind == 'R') rows.erase(op.name);
  }

  void Line(const std::string& line) {
    if (line.empty()) return;
    const char kind = line[0];
    const std::string rest = line.size() > 2 ? line.substr(2) : std::string();
    if (line.rfind("END", 0) == 0) {
      end = line.size() > 4 ? line.substr(4) : std::string();
      return;
    }
    if (kind == 'E') Fail("the process reported: " + rest);
    switch (kind) {
      case 'S': {
        if (m_pending) Fail("two operations in flight at once");
        char op = 0;
        char name[128] = "";
        long version = 0, writer = 0;
        if (std::sscanf(rest.c_str(), "%c %127s %ld %ld", &op, name, &version, &writer) != 4)
          Fail("bad log record: " + line);
        m_op = Op{op, name, version, writer};
        m_pending = true;
        return;
      }
      case 'A': {
        if (!m_pending) Fail("an acknowledgement without an operation");
        Apply(m_inBatch ? m_batch : m_state, m_op, true, rest == "1");
        m_pending = false;
        ++(m_inBatch ? m_batchChanges : acknowledged);
        return;
      }
      case 'B':
        if (m_inBatch || m_pending) Fail("a transaction started inside another or during an operation");
        m_inBatch = true;
        m_batchMode = rest.empty() ? '?' : rest[0];
        m_batch = m_state;
        m_batchChanges = 0;
        return;
      case 'C':
        if (!m_inBatch || m_batchMode != 'C' || m_pending) Fail("a commit out of place");
        m_state = m_batch;
        acknowledged += m_batchChanges;
        ++commits;
        m_inBatch = false;
        return;
      case 'X':
        if (!m_inBatch) Fail("a rollback out of place");
        rolledBack += m_batchChanges;
        ++rollbacks;
        m_inBatch = m_pending = false;
        return;
      default:
        Fail("bad log record: " + line);
    }
  }

  Rows m_state;
  Rows m_batch;
  Op m_op;
  bool m_pending = false;
  bool m_inBatch = false;
  char m_batchMode = 0;
  long m_batchChanges = 0;
};

}  // namespace vdstress
