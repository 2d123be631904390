#include "factory/DBExceptionText.h"

#include <vdpattern/toolkit/DBTypes.h>

CString VdDBExceptionText(const CDBException* e) {
  if (!e) return CString();
  if (!e->m_strError.IsEmpty()) return e->m_strError;
  CString text;
  text.Format(L"ERROR:CDBException\n\nRET_CODE        =%d\nERR_CODE        =%s\nDescription     =%s\n",
              static_cast<short>(e->m_nRetCode), e->m_strError, e->m_strStateNativeOrigin);
  return text;
}
