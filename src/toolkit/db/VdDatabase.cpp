#include <vdpattern/toolkit/VdDatabase.h>

#include <memory>
#include "toolkit/db/DbError.h"
#include "toolkit/db/DbFile.h"
#include "toolkit/db/access/AccessLoader.h"
#include "toolkit/db/RecordsetState.h"
#include "toolkit/db/sqlite/SqlDialect.h"
#include "toolkit/db/sqlite/SqliteConnection.h"
#include "toolkit/db/sqlite/SqliteQuery.h"

using vdpattern::db::DbFileProbe;
using vdpattern::db::DbFormat;
using vdpattern::db::SqliteConnection;

namespace {

[[noreturn]] void CannotOpen(const CString& path, const wchar_t* reason) {
  CString message;
  message.Format(L"Cannot open the database \"%s\": %s", path, reason);
  vdpattern::db::ThrowDbError(vdpattern::db::kStateCannotOpen, message);
}

// One opener per file format. Every format ends up as an SQLite connection: a format SQLite cannot read
// directly is to be loaded into an in-memory database, made read-only, that then serves every statement.
std::unique_ptr<SqliteConnection> OpenConnection(const CString& path, bool exclusive, bool readOnly,
                                                 int busyTimeoutMs) {
  const DbFileProbe probe = vdpattern::db::ProbeDbFile(path);
  switch (probe.format) {
    case DbFormat::kSqlite3:
      return SqliteConnection::OpenFile(path, probe, readOnly, exclusive, busyTimeoutMs);
    case DbFormat::kAccess:
      return vdpattern::db::OpenAccessFile(path, probe);
    case DbFormat::kEmpty:
      CannotOpen(path, L"the file is empty, it is not a database.");
    case DbFormat::kUnknown:
      break;
  }
  CannotOpen(path, L"the file is not a database (its content is of no known database format).");
}

}  // namespace

CVdDatabase::CVdDatabase() = default;

void CVdDatabase::CreateDatabase(const CString& path) { SqliteConnection::CreateFile(path); }

CVdDatabase::~CVdDatabase() { delete m_pConnection; }

int CVdDatabase::Open(const CString& path, int exclusive, int readOnly) {
  std::unique_ptr<SqliteConnection> opened = OpenConnection(path, exclusive != 0, readOnly != 0, m_nBusyTimeout);
  delete m_pConnection;
  m_pConnection = opened.release();
  m_pConnection->SetQueryTimeout(m_dwQueryTimeout);
  m_strPath = path;
  m_nWriteGroups = 0;
  m_bGroupOwnsTransaction = false;
  return TRUE;
}

void CVdDatabase::Close() {
  delete m_pConnection;
  m_pConnection = nullptr;
  m_nWriteGroups = 0;
  m_bGroupOwnsTransaction = false;
  m_strPath.Empty();
}

BOOL CVdDatabase::IsOpen() const { return m_pConnection != nullptr; }

BOOL CVdDatabase::CanUpdate() const { return m_pConnection && !m_pConnection->readOnly(); }

CString CVdDatabase::GetDatabaseName() const { return m_strPath; }

namespace {

SqliteConnection& Require(SqliteConnection* connection) {
  if (!connection) vdpattern::db::ThrowDbError(vdpattern::db::kStateGeneral, L"The database is not open.");
  return *connection;
}

}  // namespace

int CVdDatabase::GetTableDefCount() { return Require(m_pConnection).TableCount(); }

int CVdDatabase::GetTableDefInfo(const unsigned int& index, CVdODBCTableDefInfo& info) {
  info = Require(m_pConnection).TableAt(index);
  return TRUE;
}

int CVdDatabase::GetTableDefInfo(const wchar_t* name, CVdODBCTableDefInfo& info) {
  if (Require(m_pConnection).TableByName(name, info)) return TRUE;
  info.m_strName.Empty();
  info.m_lAttributes = VD_TABLEDEF_SYSTEM | VD_TABLEDEF_MISSING;
  info.m_strTableType.Empty();
  return FALSE;
}

BOOL CVdDatabase::BeginTrans() { return Require(m_pConnection).Begin() ? TRUE : FALSE; }
BOOL CVdDatabase::CommitTrans() { return Require(m_pConnection).Commit() ? TRUE : FALSE; }
BOOL CVdDatabase::Rollback() { return Require(m_pConnection).Rollback() ? TRUE : FALSE; }
BOOL CVdDatabase::IsInTransaction() const { return m_pConnection && m_pConnection->InTransaction(); }

namespace {

// BEGIN and COMMIT run around every catalog search; kept prepared by the connection, they are not parsed anew
// each time. They give no rows and take no parameters, and fail the same way on either path.
bool IsTransactionControl(const vdpattern::db::StatementText& text) {
  if (text.cacheable || !text.literalEnds.empty()) return false;
  for (const char* word : {"BEGIN", "COMMIT", "ROLLBACK", "END"})
    if (text.sql == word) return true;
  return false;
}

}  // namespace

void CVdDatabase::ExecuteSQL(const wchar_t* text) {
  SqliteConnection& connection = Require(m_pConnection);
  std::unique_ptr<vdpattern::db::SqliteRecordsetState> state = connection.TakeState();
  connection.Translate(text, state->text);
  if (IsTransactionControl(state->text))
    connection.Exec(state->text.sql);
  else
    vdpattern::db::RunQuery(connection, *state);
  connection.ReturnState(std::move(state));
}

void CVdDatabase::BeginWriteGroup() {
  SqliteConnection& connection = Require(m_pConnection);
  if (m_nWriteGroups == 0 && !connection.InTransaction()) {
    connection.Begin();
    m_bGroupOwnsTransaction = true;
  } else {
    connection.Exec("SAVEPOINT vd_write_group");
  }
  ++m_nWriteGroups;
}

void CVdDatabase::EndWriteGroup(BOOL keep) {
  if (m_nWriteGroups == 0) return;
  const bool outermost = --m_nWriteGroups == 0;
  const bool ownsTransaction = outermost && m_bGroupOwnsTransaction;
  if (outermost) m_bGroupOwnsTransaction = false;
  SqliteConnection& connection = Require(m_pConnection);
  if (ownsTransaction) {
    if (!keep) {
      connection.Rollback();
      return;
    }
    try {
      connection.Commit();
    } catch (CDBException*) {
      // A COMMIT that failed (a full disk, a lock) leaves the transaction open: undo it, then report.
      try {
        connection.Rollback();
      } catch (CDBException* again) {
        again->Delete();
      }
      throw;
    }
    return;
  }
  if (!connection.InTransaction()) return;  // the host ended its transaction inside the group
  if (!keep) connection.Exec("ROLLBACK TO vd_write_group");
  connection.Exec("RELEASE vd_write_group");
}

BOOL CVdDatabase::BeginReadGroup() {
  if (!m_pConnection || m_pConnection->InTransaction()) return FALSE;
  try {
    m_pConnection->Exec("BEGIN");  // deferred: no lock until the first read
    return TRUE;
  } catch (CDBException* e) {
    e->Delete();
    return FALSE;
  }
}

void CVdDatabase::EndReadGroup(BOOL began) {
  if (!began || !m_pConnection || !m_pConnection->InTransaction()) return;
  for (const char* end : {"COMMIT", "ROLLBACK"}) {
    try {
      m_pConnection->Exec(end);
      return;
    } catch (CDBException* e) {
      e->Delete();
    }
  }
}

void CVdDatabase::SetQueryTimeout(DWORD seconds) {
  m_dwQueryTimeout = seconds;
  if (m_pConnection) m_pConnection->SetQueryTimeout(seconds);
}

void CVdDatabase::SetBusyTimeout(int milliseconds) {
  m_nBusyTimeout = milliseconds < 0 ? 0 : milliseconds;
  if (m_pConnection) m_pConnection->SetBusyTimeout(m_nBusyTimeout);
}

int CVdDatabase::GetBusyTimeout() const { return m_nBusyTimeout; }
