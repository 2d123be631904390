#include <vdpattern/toolkit/DBTypes.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vdpattern/toolkit/VariantConv.h>
#include <vdpattern/toolkit/VdRecordset.h>

CDBVariant::CDBVariant(const CDBVariant& other) : CDBVariant() { *this = other; }

namespace {

// The union's bytes, whichever member is active: all members start at its address and none is wider than 8.
void CopyUnion(void* dest, const void* src) { std::memcpy(dest, src, sizeof(double)); }

}  // namespace

CDBVariant::CDBVariant(CDBVariant&& other) noexcept : m_dwType(other.m_dwType) {
  static_assert(sizeof(double) >= sizeof(void*), "the union copy must cover the pointer members");
  CopyUnion(&m_dblVal, &other.m_dblVal);
  other.m_dwType = DBVT_NULL;
  other.m_dblVal = 0;
}

CDBVariant& CDBVariant::operator=(const CDBVariant& other) {
  if (this == &other) return *this;
  Clear();
  switch (other.m_dwType) {
    case DBVT_DATE:
      if (other.m_pdate) m_pdate = new TIMESTAMP_STRUCT(*other.m_pdate);
      break;
    case DBVT_STRING:
    case DBVT_ASTRING:
    case DBVT_WSTRING:
      if (other.m_pstring) m_pstring = new CString(*other.m_pstring);
      break;
    case DBVT_BINARY:
      if (other.m_pbinary) m_pbinary = new CLongBinary(*other.m_pbinary);
      break;
    default:
      CopyUnion(&m_dblVal, &other.m_dblVal);
      break;
  }
  m_dwType = other.m_dwType;
  return *this;
}

CDBVariant& CDBVariant::operator=(CDBVariant&& other) noexcept {
  if (this == &other) return *this;
  Clear();
  m_dwType = other.m_dwType;
  CopyUnion(&m_dblVal, &other.m_dblVal);
  other.m_dwType = DBVT_NULL;
  other.m_dblVal = 0;
  return *this;
}

void CDBVariant::Clear() {
  switch (m_dwType) {
    case DBVT_DATE:
      delete m_pdate;
      break;
    case DBVT_STRING:
    case DBVT_ASTRING:
    case DBVT_WSTRING:
      delete m_pstring;
      break;
    case DBVT_BINARY:
      delete m_pbinary;
      break;
    default:
      break;
  }
  m_dwType = DBVT_NULL;
  m_dblVal = 0;
}

CException::~CException() = default;

BOOL CException::GetErrorMessage(wchar_t* text, UINT maxLength, UINT* helpContext) const {
  if (helpContext) *helpContext = 0;
  if (text && maxLength) *text = L'\0';
  return FALSE;
}

BOOL CDBException::GetErrorMessage(wchar_t* text, UINT maxLength, UINT* helpContext) const {
  if (helpContext) *helpContext = 0;
  if (!text || !maxLength) return FALSE;
  const std::size_t n = std::min<std::size_t>(m_strError.str().size(), maxLength - 1);
  std::wmemcpy(text, m_strError.GetString(), n);
  text[n] = L'\0';
  return m_strError.IsEmpty() ? FALSE : TRUE;
}

CString DBV_BSTRAll(CDBVariant* value) {
  if (!value) return CString();
  switch (value->m_dwType) {
    case DBVT_NULL:
      return CString();
    case DBVT_STRING:
    case DBVT_ASTRING:
    case DBVT_WSTRING:
      return value->m_pstring ? *value->m_pstring : CString();
    default: {
      const COleVariant ole = CVdRecordset::getOLEVariant(*value);
      return VariantToString(&ole, true);
    }
  }
}
