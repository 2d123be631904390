#include "db/Connection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string_view>
#include <thread>
#include <vdpattern/toolkit/Utf8.h>
#include "db/DbError.h"
#include "db/DbFile.h"
#include "db/postgres/ServerAddress.h"
#include "db/access/AccessLoader.h"
#include "db/postgres/PgConnection.h"
#include "db/sqlite/SqliteConnection.h"

namespace vdpattern::db {

namespace {

std::atomic<std::uint64_t> g_nextSerial{1};
std::atomic<std::uint64_t> g_statements{0};

[[noreturn]] void CannotOpen(const CString& path, const wchar_t* reason) {
  CString message;
  message.Format(L"Cannot open the database \"%s\": %s", path, reason);
  ThrowDbError(kStateCannotOpen, message);
}

}  // namespace

Connection::Connection(const CString& name, bool readOnly, const CString& readOnlyReason)
    : m_name(name), m_readOnly(readOnly), m_readOnlyReason(readOnlyReason), m_serial(g_nextSerial++) {}

Connection::~Connection() = default;

bool Connection::WaitForChangeNotice(int timeoutMs) {
  std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp(timeoutMs, 0, kChangePollMs)));
  return false;
}

void AppendColumnList(std::string& out, const ColumnSet& columns, const std::vector<char>& dirty) {
  std::size_t count = 0;
  for (std::size_t k = 0; k < columns.columns.size(); ++k) {
    if (!dirty[k]) continue;
    out += count++ ? "," : " (";
    AppendQuotedName(out, columns.columns[k].baseColumnUtf8);
  }
  out += ')';
}

std::size_t Connection::UpdateRows(RecordsetState& state) { return UpdateEach(state, 0, state.edits.size()); }

std::size_t Connection::UpdateEach(RecordsetState& state, std::size_t first, std::size_t end) {
  struct Restore {  // the current row, and no edit in hand, whichever way the writes end
    RecordsetState& state;
    long position;
    ~Restore() {
      state.position = position;
      state.mode = RecordsetState::Mode::kNone;
      state.pending.clear();
      state.dirty.clear();
    }
  } restore{state, state.position};
  for (std::size_t k = first; k < end; ++k) {
    RecordsetState::QueuedRow& edit = state.edits[k];
    state.position = static_cast<long>(edit.row);
    state.pending = std::move(edit.values);
    state.dirty = std::move(edit.dirty);
    state.mode = RecordsetState::Mode::kEdit;
    UpdateRow(state);
  }
  return end - first;
}

std::uint64_t StatementCount() { return g_statements.load(std::memory_order_relaxed); }
void CountStatements(std::uint64_t statements) { g_statements.fetch_add(statements, std::memory_order_relaxed); }

void AppendQuotedName(std::string& out, const std::string& name) {
  out += '"';
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void Connection::SortTables(std::vector<CVdODBCTableDefInfo>& tables) {
  std::sort(tables.begin(), tables.end(), [](const CVdODBCTableDefInfo& a, const CVdODBCTableDefInfo& b) {
    const int order = VdCompareNoCase(a.m_strName.str(), b.m_strName.str());
    return order != 0 ? order < 0 : a.m_strName.str() < b.m_strName.str();
  });
}

const CVdODBCTableDefInfo& Connection::TableIn(const std::vector<CVdODBCTableDefInfo>& tables,
                                               std::size_t index) const {
  if (index >= tables.size()) {
    CString message;
    message.Format(L"The database \"%s\" has no table at position %llu (it has %llu tables).", name(),
                   static_cast<unsigned long long>(index), static_cast<unsigned long long>(tables.size()));
    ThrowDbError(kStateNoTable, message);
  }
  return tables[index];
}

bool Connection::FindTable(const std::vector<CVdODBCTableDefInfo>& tables, const wchar_t* name,
                           CVdODBCTableDefInfo& info) {
  const std::wstring_view wanted(name ? name : L"");
  auto it = std::lower_bound(
      tables.begin(), tables.end(), wanted,
      [](const CVdODBCTableDefInfo& t, std::wstring_view n) { return VdCompareNoCase(t.m_strName.str(), n) < 0; });
  if (it == tables.end() || VdCompareNoCase(it->m_strName.str(), wanted) != 0) return false;
  info = *it;
  return true;
}

bool Connection::ColumnsOfTables(const std::vector<CString>&, std::map<std::wstring, std::vector<ColumnInfo>>&) {
  return false;
}

Connection::Probe Connection::FirstTableHolding(const std::function<bool(const CVdODBCTableDefInfo&)>&, const wchar_t*,
                                                const wchar_t*, CString&) {
  return Probe::kUnanswered;
}

bool Connection::ColumnSpelling(const wchar_t*, const wchar_t* column, CString& spelt) {
  spelt = column ? column : L"";
  return true;
}

// One opener per file format. A format that no engine reads directly (Access) is loaded into an in-memory SQLite
// database, read-only, which then serves every statement.
// A server address, or a link file that holds one, reaches a catalog on a server.
std::unique_ptr<Connection> OpenConnection(const CString& path, bool exclusive, bool readOnly, int busyTimeoutMs,
                                           unsigned long queryTimeout) {
  if (IsServerAddress(path.str()))
    return PgConnection::Open(path, ParseServerAddress(path.str()), readOnly, busyTimeoutMs);
  const DbFileProbe probe = ProbeDbFile(path);
  switch (probe.format) {
    case DbFormat::kSqlite3:
      return SqliteConnection::OpenFile(path, probe, readOnly, exclusive, busyTimeoutMs);
    case DbFormat::kAccess:
      return OpenAccessFile(path, probe, queryTimeout);
    case DbFormat::kLink:
      return PgConnection::Open(path, ReadLinkFile(path), readOnly, busyTimeoutMs);
    case DbFormat::kEmpty:
      CannotOpen(path, L"the file is empty, it is not a database.");
    case DbFormat::kUnknown:
      break;
  }
  CannotOpen(path, L"the file is not a database (its content is of no known database format).");
}

std::unique_ptr<Connection> CreateAndOpenConnection(const CString& path, int busyTimeoutMs) {
  if (IsServerAddress(path.str())) return PgConnection::OpenNew(path, ParseServerAddress(path.str()), busyTimeoutMs);
  SqliteConnection::CreateFile(path);
  return OpenConnection(path, false, false, busyTimeoutMs);
}

void CreateDatabase(const CString& path) {
  if (IsServerAddress(path.str()))
    PgConnection::Create(path, ParseServerAddress(path.str()));
  else
    SqliteConnection::CreateFile(path);
}

}  // namespace vdpattern::db
