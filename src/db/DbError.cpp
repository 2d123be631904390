#include "db/DbError.h"

namespace vdpattern::db {

CDBException* NewDbException(const char* state, const CString& message, int native, const wchar_t* origin) {
  auto* e = new CDBException(SQL_ERROR);
  e->m_strError = message;
  e->m_strStateNativeOrigin.Format(L"State:%S,Native:%d,Origin:%s", state, native, origin);
  return e;
}

void ThrowDbError(const char* state, const CString& message) {
  throw NewDbException(state, message, 0, L"[vdpattern]");
}

}  // namespace vdpattern::db
