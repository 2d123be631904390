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

CDBException::Category CDBException::GetCategory() const {
  const std::wstring& text = m_strStateNativeOrigin.str();
  constexpr std::size_t kStateAt = 6;  // after "State:"
  if (text.compare(0, kStateAt, L"State:") != 0 || text.size() < kStateAt + 5) return eOther;
  // Whether the state is `state`, or begins with it when it is a class of two characters.
  const auto is = [&](const wchar_t* state) { return text.compare(kStateAt, std::wcslen(state), state) == 0; };
  if (is(L"HYT00") || is(L"HYT01")) return eTimeout;
  if (is(L"23")) return eConstraint;
  if (is(L"42S02") || is(L"42S12") || is(L"42S22")) return eNoSuchObject;
  if (is(L"42")) return eSyntax;
  if (is(L"08")) return eConnection;
  return eOther;
}

CString CDBException::GetReportText() const {
  if (!m_strError.IsEmpty()) return m_strError;
  CString text;
  text.Format(L"ERROR:CDBException\n\nRET_CODE        =%d\nERR_CODE        =%s\nDescription     =%s\n",
              static_cast<short>(m_nRetCode), m_strError, m_strStateNativeOrigin);
  return text;
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

bool VdBracketName(const CString& text, CString& out) {
  const std::wstring& name = text.str();
  if (name.empty() || name.find_first_of(std::wstring_view(L"]\0", 2)) != std::wstring_view::npos) return false;
  std::wstring bracketed;
  bracketed.reserve(name.size() + 2);
  bracketed.append(1, L'[').append(name).append(1, L']');
  out = CString(bracketed);
  return true;
}

void VdAppendQuotedBody(std::wstring& out, std::wstring_view text) {
  std::size_t from = 0;
  for (std::size_t quote; (quote = text.find(L'\'', from)) != std::wstring_view::npos; from = quote + 1)
    out.append(text.substr(from, quote + 1 - from)).append(1, L'\'');
  out.append(text.substr(from));
}

CString VdQuoteText(const CString& text) {
  std::wstring quoted;
  quoted.reserve(text.str().size() + 2);
  quoted += L'\'';
  VdAppendQuotedBody(quoted, text.str());
  quoted += L'\'';
  return CString(quoted);
}
