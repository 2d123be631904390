#include "db/sqlite/SqliteConnection.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vdpattern/toolkit/Utf8.h>
#include "db/DbError.h"
#include "db/Utf8Fast.h"
#include "db/TypeMap.h"

namespace vdpattern::db {

namespace {

constexpr std::size_t kStatementCacheSize = 128;
constexpr std::size_t kInternalCacheSize = 64;
constexpr std::size_t kSpareStates = 4;
// Spare states that grew beyond this (a whole large table read once) are freed rather than kept.
constexpr std::size_t kSpareArenaLimit = 1 << 20;
constexpr std::size_t kSpareCellLimit = 1 << 16;

std::uint32_t BigEndian(const unsigned char* p, int bytes) {
  std::uint32_t v = 0;
  for (int k = 0; k < bytes; ++k) v = (v << 8) | p[k];
  return v;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The header of an SQLite file announces its page size and, when written by a recent engine, its size in
// pages; a file shorter than that has lost its end. A hot journal or a write-ahead log may legitimately hold
// the missing pages, so the check is skipped when either exists.
void CheckHeader(const CString& path, const std::string& native, const DbFileProbe& probe) {
  CString what;
  what.Format(L"Cannot open the database \"%s\": ", path);
  if (probe.headerLength < 100) {
    what += L"the file is truncated (its header is incomplete).";
    ThrowDbError(kStateCannotOpen, what);
  }
  std::uint32_t pageSize = BigEndian(probe.header + 16, 2);
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) {
    what += L"the file is damaged (its header gives an impossible page size).";
    ThrowDbError(kStateCannotOpen, what);
  }
  const std::uint32_t changeCounter = BigEndian(probe.header + 24, 4);
  const std::uint32_t pages = BigEndian(probe.header + 28, 4);
  const std::uint32_t validFor = BigEndian(probe.header + 92, 4);
  if (validFor != changeCounter || pages == 0) return;
  const std::uint64_t expected = static_cast<std::uint64_t>(pages) * pageSize;
  if (probe.size >= expected || Exists(native + "-journal") || Exists(native + "-wal")) return;
  CString detail;
  detail.Format(L"the file is truncated (%llu of the %llu bytes its header announces).",
                static_cast<unsigned long long>(probe.size), static_cast<unsigned long long>(expected));
  what += detail;
  ThrowDbError(kStateCannotOpen, what);
}

// Who else holds a lock on the file at `path` (or on its -shm file, where a write-ahead log keeps its locks),
// as a phrase for the message of a lock time-out: "held by process 123 (sqlite3, user ann)". The file's locks
// are read from /proc/locks, never by opening the file: closing any descriptor of it would drop this
// process's own locks on it. A writer's lock is named before a reader's; empty when nothing can be told.
std::string FileLockHolder(const char* path) {
  if (!path || !*path) return std::string();
  std::vector<std::string> inodes;
  for (const std::string& file : {std::string(path), std::string(path) + "-shm"}) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) continue;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    inodes.push_back(id);
  }
  std::ifstream locks("/proc/locks");
  std::string line;
  long holder = -1;
  bool writer = false;
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string number, kind, how, mode, pid, inode;
    words >> number >> kind;
    if (kind == "->") continue;  // a waiter, not a holder
    words >> how >> mode >> pid >> inode;
    if (std::find(inodes.begin(), inodes.end(), inode) == inodes.end()) continue;
    const long p = std::strtol(pid.c_str(), nullptr, 10);
    if (p <= 0 || p == static_cast<long>(::getpid())) continue;
    if (holder < 0 || (!writer && mode == "WRITE")) holder = p, writer = mode == "WRITE";
  }
  if (holder < 0) return std::string();
  std::string program;
  std::ifstream(("/proc/" + std::to_string(holder) + "/comm").c_str()) >> program;
  std::string phrase = "held by process " + std::to_string(holder);
  struct stat proc {};
  std::string user;
  if (::stat(("/proc/" + std::to_string(holder)).c_str(), &proc) == 0) {
    const passwd* owner = getpwuid(proc.st_uid);
    user = owner && owner->pw_name ? owner->pw_name : std::to_string(proc.st_uid);
  }
  if (!program.empty() || !user.empty())
    phrase +=
        " (" + program + (program.empty() || user.empty() ? "" : ", ") + (user.empty() ? "" : "user " + user) + ")";
  return phrase;
}

// The milliseconds of a time-out, as a message says them.
std::string Duration(int ms) { return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms"; }

}  // namespace

StatementReset::~StatementReset() {
  if (!m_stmt) return;
  sqlite3_reset(m_stmt);
  sqlite3_clear_bindings(m_stmt);
}

SqliteConnection::SqliteConnection(const CString& name, bool readOnly, const CString& readOnlyReason)
    : Connection(name, readOnly, readOnlyReason) {
  m_spareStates.reserve(kSpareStates);  // ReturnState never allocates, so never throws
}

void SqliteConnection::CreateFile(const CString& path) {
  const std::string native = VdToUtf8(path.str());
  CString what;
  what.Format(L"Cannot create the database \"%s\"", path);
  // Reserve the name first, so an existing file (or one made at the same moment) is never taken over.
  const int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    CString message;
    const int reason = errno;
    if (reason == EEXIST)
      message.Format(L"%s: the file already exists", what);
    else
      message.Format(L"%s: the file cannot be created (%s)", what, VdFromUtf8(std::strerror(reason)));
    ThrowDbError(kStateCannotOpen, message);
  }
  ::close(fd);
  // As in OpenFile: a relative name starting with "file:" is a path, not a URI.
  const std::string opened = native.compare(0, 5, "file:") == 0 ? "./" + native : native;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(opened.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                           nullptr);
  // An empty file is no database yet: writing a table and dropping it gives the file its header.
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "CREATE TABLE vd_init(x); DROP TABLE vd_init;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    CDBException* e = NewSqliteException(rc, db ? sqlite3_errmsg(db) : nullptr, SqliteStage::kOpen, what);
    sqlite3_close_v2(db);
    ::unlink(native.c_str());
    throw e;
  }
  sqlite3_close_v2(db);
}

std::unique_ptr<SqliteConnection> SqliteConnection::OpenFile(const CString& path, const DbFileProbe& probe,
                                                             bool readOnly, bool exclusive, int busyTimeoutMs) {
  std::string native = VdToUtf8(path.str());
  CheckHeader(path, native, probe);
  // The engine reads a name starting with "file:" as a URI; a relative path must stay a path.
  if (native.compare(0, 5, "file:") == 0) native.insert(0, "./");

  const bool writeable = probe.writable && !readOnly;
  std::unique_ptr<SqliteConnection> c(new SqliteConnection(path, !writeable, CString()));
  const int flags =
      (writeable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  CString what;
  what.Format(L"Cannot open the database \"%s\"", path);
  const int rc = sqlite3_open_v2(native.c_str(), &c->m_db, flags, nullptr);
  if (rc != SQLITE_OK) {
    CDBException* e = NewSqliteException(rc, c->m_db ? sqlite3_errmsg(c->m_db) : nullptr, SqliteStage::kOpen, what);
    sqlite3_close_v2(c->m_db);
    c->m_db = nullptr;
    throw e;
  }
  sqlite3_extended_result_codes(c->m_db, 1);
  struct stat opened {};
  if (::stat(native.c_str(), &opened) == 0) {
    c->m_file = native;
    c->m_fileDevice = opened.st_dev;
    c->m_fileInode = opened.st_ino;
  }
  c->SetBusyTimeout(busyTimeoutMs);
  c->Exec("PRAGMA synchronous=FULL", SqliteStage::kOpen);
  if (exclusive) c->Exec("PRAGMA locking_mode=EXCLUSIVE", SqliteStage::kOpen);
  // Reading the schema now turns a damaged file into a failure of Open rather than of a later statement.
  c->RefreshTables(SqliteStage::kOpen);
  return c;
}

std::unique_ptr<SqliteConnection> SqliteConnection::AdoptLoaded(const CString& name, sqlite3* db,
                                                                const CString& readOnlyReason,
                                                                std::vector<std::wstring> systemTables) {
  std::unique_ptr<SqliteConnection> c(new SqliteConnection(name, true, readOnlyReason));
  c->m_db = db;
  c->m_systemTables = std::move(systemTables);
  sqlite3_extended_result_codes(db, 1);
  c->RefreshTables(SqliteStage::kOpen);
  return c;
}

SqliteConnection::~SqliteConnection() {
  DropTableProbe();
  for (auto& entry : m_cache) sqlite3_finalize(entry.second.stmt);
  for (auto& entry : m_internal) sqlite3_finalize(entry.second);
  if (m_db) sqlite3_close_v2(m_db);
}

void SqliteConnection::SetBusyTimeout(int milliseconds) {
  m_busyTimeoutMs = std::max(0, milliseconds);
  if (m_db) sqlite3_busy_timeout(m_db, std::max(0, milliseconds));
}

void SqliteConnection::SetQueryTimeout(unsigned long seconds) {
  m_queryLimit = std::chrono::seconds(seconds);
  if (!m_db) return;
  if (seconds == 0) {
    sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    return;
  }
  // Called every few thousand virtual machine steps: reading the clock that often costs nothing measurable,
  // and a statement stuck in a recursive query or a huge computed value is stopped within milliseconds.
  sqlite3_progress_handler(
      m_db, 4096,
      [](void* self) -> int {
        const auto* c = static_cast<const SqliteConnection*>(self);
        return std::chrono::steady_clock::now() > c->m_queryDeadline ? 1 : 0;
      },
      this);
}

void SqliteConnection::StartClock() {
  if (m_transactionLost) ThrowLostTransaction();
  CheckFile();
  if (m_queryLimit.count()) m_queryDeadline = std::chrono::steady_clock::now() + m_queryLimit;
}

void SqliteConnection::CheckFile() const {
  // Inside a transaction the statements go on, so that it can still be ended; its BEGIN was checked.
  if (!m_file.empty() && sqlite3_get_autocommit(m_db)) {
    struct stat now {};
    const bool gone = ::stat(m_file.c_str(), &now) != 0 || now.st_dev != m_fileDevice || now.st_ino != m_fileInode;
    if (gone || !(now.st_mode & (S_IRUSR | S_IRGRP | S_IROTH))) {
      CString message;
      message.Format(L"The database \"%s\" %s while it was open: open it again once the file is back", name(),
                     gone ? L"was deleted, moved or replaced" : L"was made unreadable");
      throw NewDbException("08S01", message, 0, L"[vdpattern][SQLite]");
    }
  }
}

void SqliteConnection::ThrowLostTransaction() const {
  CString what;
  what.Format(
      L"The database \"%s\" undid the open transaction after an error (%s): every statement fails "
      L"until the transaction is rolled back",
      name(), VdFromUtf8(m_lostReason));
  throw NewSqliteException(SQLITE_ABORT, "the transaction was undone", SqliteStage::kStatement, what);
}

CachedStatement* SqliteConnection::Find(const std::string& key) {
  auto it = m_cache.find(key);
  if (it == m_cache.end()) return nullptr;
  it->second.lastUse = ++m_clock;
  return &it->second;
}

CachedStatement& SqliteConnection::Insert(const std::string& key, CachedStatement entry) {
  if (m_cache.size() >= kStatementCacheSize) {
    auto oldest = m_cache.begin();
    for (auto it = m_cache.begin(); it != m_cache.end(); ++it)
      if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    sqlite3_finalize(oldest->second.stmt);
    m_cache.erase(oldest);
  }
  entry.lastUse = ++m_clock;
  auto [it, inserted] = m_cache.emplace(key, std::move(entry));
  if (!inserted) {  // never expected: callers look up first; keep the one already cached
    sqlite3_finalize(entry.stmt);
  }
  return it->second;
}

void SqliteConnection::Evict(const std::string& key) {
  auto it = m_cache.find(key);
  if (it == m_cache.end()) return;
  sqlite3_finalize(it->second.stmt);
  m_cache.erase(it);
}

sqlite3_stmt* SqliteConnection::Internal(const std::string& sql, SqliteStage stage) {
  auto it = m_internal.find(sql);
  if (it != m_internal.end()) return it->second;
  if (m_internal.size() >= kInternalCacheSize) {
    for (auto& entry : m_internal) sqlite3_finalize(entry.second);
    m_internal.clear();
  }
  sqlite3_stmt* stmt = nullptr;
  const int rc =
      sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    Fail(rc, sql, stage);
  }
  m_internal.emplace(sql, stmt);
  return stmt;
}

void SqliteConnection::Exec(const std::string& sql, SqliteStage stage) {
  sqlite3_stmt* stmt = Internal(sql, stage);
  StatementReset reset(stmt);
  StartClock();
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) Fail(rc, sql, stage);
}

void SqliteConnection::Fail(int resultCode, const std::string& sql, SqliteStage stage) const {
  if (m_transactionOpen && !m_transactionLost && m_db && sqlite3_get_autocommit(m_db)) {
    m_transactionLost = true;
    const char* reason = sqlite3_errmsg(m_db);
    m_lostReason = reason ? reason : "";
  }
  CString what;
  if ((resultCode & 0xff) == SQLITE_BUSY || (resultCode & 0xff) == SQLITE_LOCKED) {
    // A lock of this connection's own process (another connection of the host) is not in /proc/locks as
    // another's: the message then names nobody.
    const std::string holder = FileLockHolder(m_db ? sqlite3_db_filename(m_db, "main") : nullptr);
    what.Format(
        L"The database \"%s\" is locked by another connection%s; the statement \"%s\" gave up waiting after %s "
        L"(the lock time-out)",
        name(), VdFromUtf8(holder.empty() ? holder : " " + holder), VdFromUtf8(sql),
        VdFromUtf8(Duration(m_busyTimeoutMs)));
  } else if ((resultCode & 0xff) == SQLITE_INTERRUPT && m_queryLimit.count()) {
    what.Format(L"The statement \"%s\" on the database \"%s\" was stopped after its time limit of %ld s",
                VdFromUtf8(sql), name(),
                static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(m_queryLimit).count()));
  } else if (stage == SqliteStage::kOpen) {
    what.Format(L"Cannot open the database \"%s\"", name());
  } else {
    what.Format(L"The statement \"%s\" failed on the database \"%s\"", VdFromUtf8(sql), name());
  }
  throw NewSqliteException(resultCode, m_db ? sqlite3_errmsg(m_db) : nullptr, stage, what);
}

std::int64_t SqliteConnection::SchemaVersion(SqliteStage stage) {
  static const std::string kVersion = "PRAGMA schema_version";
  CheckFile();  // a table list is answered from this number
  sqlite3_stmt* version = Internal(kVersion, stage);
  StatementReset reset(version);
  const int rc = sqlite3_step(version);
  if (rc != SQLITE_ROW) Fail(rc, kVersion, stage);
  return sqlite3_column_int64(version, 0);
}

bool SqliteConnection::IsNumericColumn(std::string_view name) {
  const std::int64_t current = SchemaVersion(SqliteStage::kStatement);
  if (current != m_columnsVersion) {
    static const std::string kColumns =
        "SELECT p.name, p.type FROM sqlite_master AS m, pragma_table_info(m.name) AS p WHERE m.type = 'table'";
    m_numericColumns.clear();
    sqlite3_stmt* columns = Internal(kColumns);
    StatementReset reset(columns);
    int rc;
    while ((rc = sqlite3_step(columns)) == SQLITE_ROW) {
      const auto* column = reinterpret_cast<const char*>(sqlite3_column_text(columns, 0));
      const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(columns, 1));
      if (!column) continue;
      std::string key(column, static_cast<std::size_t>(sqlite3_column_bytes(columns, 0)));
      for (char& ch : key) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + 32 : ch);
      bool numeric = false;
      switch (MapDeclaredType(type ? type : "").kind) {
        case ValueKind::kLong:
        case ValueKind::kBigInt:
        case ValueKind::kShort:
        case ValueKind::kUChar:
        case ValueKind::kBool:
        case ValueKind::kSingle:
        case ValueKind::kDouble:
        case ValueKind::kDate:
          numeric = true;
          break;
        default:
          break;
      }
      auto [it, inserted] = m_numericColumns.emplace(std::move(key), numeric);
      if (!inserted) it->second = it->second && numeric;
    }
    // A schema that cannot be listed leaves every comparison ignoring case, which is never wrong.
    if (rc != SQLITE_DONE) m_numericColumns.clear();
    m_columnsVersion = current;
    m_schemaReadInTransaction = m_schemaReadInTransaction || (InTransaction() && !m_readTransaction);
  }
  std::string key(name);
  for (char& ch : key) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + 32 : ch);
  const auto it = m_numericColumns.find(key);
  return it != m_numericColumns.end() && it->second;
}

void SqliteConnection::RefreshTables(SqliteStage stage) {
  static const std::string kList = "SELECT name FROM sqlite_master WHERE type='table'";
  const std::int64_t current = SchemaVersion(stage);
  if (current == m_tablesVersion) return;

  std::vector<CVdODBCTableDefInfo> tables;
  sqlite3_stmt* list = Internal(kList, stage);
  StatementReset reset(list);
  int rc;
  while ((rc = sqlite3_step(list)) == SQLITE_ROW) {
    CVdODBCTableDefInfo info;
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(list, 0));
    AssignFromUtf8(info.m_strName.str(), name ? name : "", static_cast<std::size_t>(sqlite3_column_bytes(list, 0)));
    bool system = info.m_strName.str().size() >= 7 && _wcsnicmp(info.m_strName, L"sqlite_", 7) == 0;
    for (const std::wstring& name : m_systemTables) system = system || VdCompareNoCase(info.m_strName.str(), name) == 0;
    info.m_lAttributes = system ? VD_TABLEDEF_SYSTEM : 0;
    info.m_strTableType = system ? L"SYSTEM TABLE" : L"TABLE";
    tables.push_back(std::move(info));
  }
  if (rc != SQLITE_DONE) Fail(rc, kList, stage);
  SortTables(tables);
  m_tables = std::move(tables);
  m_tablesVersion = current;
  m_schemaReadInTransaction = m_schemaReadInTransaction || (InTransaction() && !m_readTransaction);
}

int SqliteConnection::TableCount() {
  RefreshTables(SqliteStage::kStatement);
  return static_cast<int>(m_tables.size());
}

const CVdODBCTableDefInfo& SqliteConnection::TableAt(std::size_t index) {
  // A walk over the positions reads the list that TableCount checked: one snapshot, and no schema check per
  // table (each check is a read transaction on the file).
  if (m_tablesVersion < 0) RefreshTables(SqliteStage::kStatement);
  return TableIn(m_tables, index);
}

bool SqliteConnection::TableByName(const wchar_t* name, CVdODBCTableDefInfo& info) {
  RefreshTables(SqliteStage::kStatement);
  return FindTable(m_tables, name, info);
}

// A transaction the engine undid by itself stays open to the host, as a lost one on a server does, until Rollback.
bool SqliteConnection::InTransaction() const { return m_transactionLost || (m_db && !sqlite3_get_autocommit(m_db)); }

bool SqliteConnection::Begin() {
  if (InTransaction()) return false;
  // IMMEDIATE takes the write lock now, so a transaction that reads and then writes cannot fail half-way
  // on a lock upgrade.
  Exec(readOnly() ? "BEGIN" : "BEGIN IMMEDIATE");
  m_schemaReadInTransaction = m_readTransaction = false;
  m_transactionOpen = true;
  return true;
}

bool SqliteConnection::BeginRead() {
  if (InTransaction()) return false;
  Exec("BEGIN");
  m_schemaReadInTransaction = false;
  m_readTransaction = true;
  m_transactionOpen = true;
  return true;
}

bool SqliteConnection::Commit() {
  if (m_transactionLost) ThrowLostTransaction();  // nothing is left to commit
  if (!InTransaction()) return false;
  Exec("COMMIT");
  m_schemaReadInTransaction = m_readTransaction = m_transactionOpen = false;
  return true;
}

bool SqliteConnection::Rollback() {
  if (m_transactionLost) {
    // The engine undid it already, with whatever schema it had read.
    m_transactionLost = m_transactionOpen = m_schemaReadInTransaction = m_readTransaction = false;
    ForgetSchema();
    return true;
  }
  m_transactionOpen = false;
  if (!InTransaction()) return false;
  Exec("ROLLBACK");
  if (m_schemaReadInTransaction) ForgetSchema();
  m_schemaReadInTransaction = m_readTransaction = false;
  return true;
}

// An undone transaction or savepoint takes the schema's version number back with it, and a later change can
// bring the same number back with other tables: what was read inside the undone transaction is read again.
void SqliteConnection::ForgetSchema() {
  m_tablesVersion = m_columnsVersion = -1;
  DropTableProbe();
}

// One name for every level: ROLLBACK TO and RELEASE act on the innermost savepoint of that name.
void SqliteConnection::BeginSavepoint() { Exec("SAVEPOINT vd_write_group"); }

void SqliteConnection::EndSavepoint(bool keep) {
  if (m_transactionLost) {
    if (keep) ThrowLostTransaction();  // the group's writes are gone
    return;                            // undone already; the outermost Rollback ends the transaction
  }
  if (!keep) {
    Exec("ROLLBACK TO vd_write_group");
    if (m_schemaReadInTransaction) ForgetSchema();
  }
  Exec("RELEASE vd_write_group");
}

std::unique_ptr<SqliteRecordsetState> SqliteConnection::TakeState() {
  if (m_spareStates.empty()) return std::make_unique<SqliteRecordsetState>();
  std::unique_ptr<SqliteRecordsetState> state = std::move(m_spareStates.back());
  m_spareStates.pop_back();
  return state;
}

void SqliteConnection::ReturnState(std::unique_ptr<RecordsetState> state) {
  if (!state || m_spareStates.size() >= kSpareStates || state->arena.capacity() > kSpareArenaLimit ||
      state->cells.Capacity() > kSpareCellLimit)
    return;
  // Only states of this connection come back here (the record set checks the serial first).
  std::unique_ptr<SqliteRecordsetState> own(static_cast<SqliteRecordsetState*>(state.release()));
  own->text.Clear();
  own->Reset();
  m_spareStates.push_back(std::move(own));
}

}  // namespace vdpattern::db
