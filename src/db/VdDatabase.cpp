#include <vdpattern/toolkit/VdDatabase.h>

#include <atomic>
#include <memory>
#include "db/Connection.h"
#include "db/DbError.h"

using vdpattern::db::Connection;
using vdpattern::db::CountStatements;

CVdDatabase::CVdDatabase() = default;

void CVdDatabase::CreateDatabase(const CString& path) { vdpattern::db::CreateDatabase(path); }

CVdDatabase::~CVdDatabase() { delete m_pConnection; }

int CVdDatabase::Open(const CString& path, int exclusive, int readOnly) {
  return Adopt(
      vdpattern::db::OpenConnection(path, exclusive != 0, readOnly != 0, m_nBusyTimeout, m_dwQueryTimeout).release(),
      path);
}

int CVdDatabase::CreateAndOpen(const CString& path) {
  return Adopt(vdpattern::db::CreateAndOpenConnection(path, m_nBusyTimeout).release(), path);
}

int CVdDatabase::Adopt(Connection* opened, const CString& path) {
  delete m_pConnection;
  m_pConnection = opened;
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

CString CVdDatabase::GetReadOnlyReason() const { return m_pConnection ? m_pConnection->readOnlyReason() : CString(); }

namespace {

Connection& Require(Connection* connection) {
  if (!connection) vdpattern::db::ThrowDbError(vdpattern::db::kStateGeneral, L"The database is not open.");
  return *connection;
}

}  // namespace

int CVdDatabase::GetTableDefCount() { return Require(m_pConnection).TableCount(); }

int CVdDatabase::GetTableDefInfo(const unsigned int& index, CVdODBCTableDefInfo& info) {
  info = Require(m_pConnection).TableAt(index);
  return TRUE;
}

int CVdDatabase::FindFirstTableHolding(const std::function<bool(const CVdODBCTableDefInfo&)>& isCandidate,
                                       const wchar_t* column, const wchar_t* value, CString& table) {
  using Probe = vdpattern::db::Connection::Probe;
  switch (Require(m_pConnection).FirstTableHolding(isCandidate, column, value, table)) {
    case Probe::kFound:
      return 1;
    case Probe::kNotFound:
      return 0;
    case Probe::kUnanswered:
      break;
  }
  return -1;
}

BOOL CVdDatabase::GetColumnSpelling(const wchar_t* table, const wchar_t* column, CString& spelt) {
  return Require(m_pConnection).ColumnSpelling(table, column, spelt) ? TRUE : FALSE;
}

void CVdDatabase::GetColumnsOfTables(const std::vector<CString>& tables,
                                     std::map<std::wstring, std::vector<CODBCFieldInfo>>& columns) {
  std::map<std::wstring, std::vector<vdpattern::db::ColumnInfo>> described;
  if (!Require(m_pConnection).ColumnsOfTables(tables, described)) return;
  for (auto& [table, list] : described) {
    std::vector<CODBCFieldInfo>& out = columns[table];
    out.clear();
    for (const vdpattern::db::ColumnInfo& c : list) {
      CODBCFieldInfo info;
      info.m_strName = c.name;
      info.m_nSQLType = c.type.sqlType;
      info.m_nPrecision = c.type.precision;
      info.m_nScale = c.type.scale;
      info.m_nNullability = c.nullability;
      out.push_back(std::move(info));
    }
  }
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
BOOL CVdDatabase::IsTransactionLost() const { return m_pConnection && m_pConnection->TransactionLost(); }

void CVdDatabase::NoteChangeRecorded() {
  if (m_pConnection) m_pConnection->NoteChangeRecorded();
}

BOOL CVdDatabase::WaitForChangeNotice(int timeoutMs) { return Require(m_pConnection).WaitForChangeNotice(timeoutMs); }

void CVdDatabase::ExecuteSQL(const wchar_t* text) {
  CountStatements();
  Require(m_pConnection).Execute(text);
}

void CVdDatabase::ExecuteSQL(const wchar_t* text, const std::vector<VdColumnComment>& comments) {
  CountStatements();
  Require(m_pConnection).ExecuteCommenting(text, comments);
}

void CVdDatabase::ExecuteSQLAhead(const wchar_t* text) {
  CountStatements();
  // A failure sent ahead loses the whole transaction: inside the host's, where a group is only a savepoint
  // whose undo must leave the host's earlier writes, the statement runs at once.
  if (m_nWriteGroups > 0 && !m_bGroupOwnsTransaction) {
    Require(m_pConnection).Execute(text);
    return;
  }
  Require(m_pConnection).ExecuteAhead(text);
}

BOOL CVdDatabase::MakeTextColumnsExact(std::vector<std::wstring>& made, std::vector<std::wstring>& leftAsIs) {
  return Require(m_pConnection).MakeTextExact(made, leftAsIs) ? TRUE : FALSE;
}

BOOL CVdDatabase::TrimLibraryLogs(std::vector<std::wstring>& trimmed) {
  return Require(m_pConnection).TrimLogs(trimmed) ? TRUE : FALSE;
}

BOOL CVdDatabase::GetColumnComments(std::map<std::wstring, std::map<std::wstring, std::wstring>>& comments) {
  return Require(m_pConnection).ColumnComments(comments) ? TRUE : FALSE;
}

void CVdDatabase::BeginWriteGroup() {
  Connection& connection = Require(m_pConnection);
  CountStatements();
  if (m_nWriteGroups == 0 && !connection.InTransaction()) {
    connection.Begin();
    m_bGroupOwnsTransaction = true;
  } else {
    connection.BeginSavepoint();
  }
  ++m_nWriteGroups;
}

void CVdDatabase::EndWriteGroup(BOOL keep) {
  if (m_nWriteGroups == 0) return;
  const bool outermost = --m_nWriteGroups == 0;
  const bool ownsTransaction = outermost && m_bGroupOwnsTransaction;
  if (outermost) m_bGroupOwnsTransaction = false;
  Connection& connection = Require(m_pConnection);
  CountStatements();
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
  connection.EndSavepoint(keep != FALSE);
}

BOOL CVdDatabase::BeginReadGroup() {
  if (!m_pConnection) return FALSE;
  try {
    return m_pConnection->BeginRead() ? TRUE : FALSE;
  } catch (CDBException* e) {
    e->Delete();
    return FALSE;
  }
}

BOOL CVdDatabase::BeginSavingReadGroup() {
  return m_pConnection && m_pConnection->ReadGroupsSave() ? BeginReadGroup() : FALSE;
}

void CVdDatabase::EndReadGroup(BOOL began) {
  if (!began || !m_pConnection || !m_pConnection->InTransaction()) return;
  try {
    m_pConnection->Commit();
    return;
  } catch (CDBException* e) {
    e->Delete();
  }
  try {
    m_pConnection->Rollback();
  } catch (CDBException* e) {
    e->Delete();
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

namespace {
std::atomic<int> g_defaultBusyTimeout{5000};
}  // namespace

void CVdDatabase::SetDefaultBusyTimeout(int milliseconds) {
  g_defaultBusyTimeout = milliseconds < 0 ? 0 : milliseconds;
}

int CVdDatabase::GetDefaultBusyTimeout() { return g_defaultBusyTimeout; }
