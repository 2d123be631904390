#include <vdpattern/toolkit/OleVariant.h>

#include <new>
#include <utility>

namespace {

// Deep copy that surfaces failure as the platform does: by throwing.
void CopyOrThrow(VARIANT* dest, const VARIANT* src) {
  const HRESULT hr = VariantCopy(dest, src);
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
}

void SetText(VARIANT* var, const wchar_t* text, UINT length) {
  BSTR b = SysAllocStringLen(text, length);
  if (!b) throw std::bad_alloc();
  VariantClear(var);
  var->vt = VT_BSTR;
  var->bstrVal = b;
}

}  // namespace

COleCurrency::COleCurrency(long units, long fractionalUnits) {
  m_cur.int64 = static_cast<LONGLONG>(units) * 10000 + fractionalUnits;
}

COleVariant::COleVariant(const VARIANT& source) {
  VariantInit(this);
  CopyOrThrow(this, &source);
}

COleVariant::COleVariant(LPCVARIANT source) {
  VariantInit(this);
  if (source) CopyOrThrow(this, source);
}

COleVariant::COleVariant(const COleVariant& source) : tagVARIANT() {
  VariantInit(this);
  CopyOrThrow(this, &source);
}

COleVariant::COleVariant(COleVariant&& source) noexcept : tagVARIANT() {
  *static_cast<VARIANT*>(this) = source;
  VariantInit(&source);
}

COleVariant::COleVariant(const wchar_t* text) {
  VariantInit(this);
  const std::wstring_view t = text ? std::wstring_view(text) : std::wstring_view();
  SetText(this, t.data(), static_cast<UINT>(t.size()));
}

COleVariant::COleVariant(const wchar_t* text, VARTYPE) : COleVariant(text) {}

COleVariant::COleVariant(const CString& text) {
  VariantInit(this);
  SetText(this, text.GetString(), static_cast<UINT>(text.GetLength()));
}

COleVariant::COleVariant(BYTE value) {
  VariantInit(this);
  vt = VT_UI1;
  bVal = value;
}

COleVariant::COleVariant(short value, VARTYPE type) {
  VariantInit(this);
  if (type == VT_BOOL) {
    vt = VT_BOOL;
    boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    vt = VT_I2;
    iVal = value;
  }
}

COleVariant::COleVariant(long value, VARTYPE type) {
  VariantInit(this);
  if (type == VT_BOOL) {
    vt = VT_BOOL;
    boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (type == VT_ERROR) {
    vt = VT_ERROR;
    scode = static_cast<SCODE>(value);
  } else {
    vt = VT_I4;
    lVal = static_cast<LONG>(value);
  }
}

COleVariant::COleVariant(int value, VARTYPE type) : COleVariant(static_cast<long>(value), type) {}

COleVariant::COleVariant(const COleCurrency& value) {
  VariantInit(this);
  vt = VT_CY;
  cyVal = value.m_cur;
}

COleVariant::COleVariant(float value) {
  VariantInit(this);
  vt = VT_R4;
  fltVal = value;
}

COleVariant::COleVariant(double value) {
  VariantInit(this);
  vt = VT_R8;
  dblVal = value;
}

COleVariant::COleVariant(const COleDateTime& value) {
  VariantInit(this);
  vt = VT_DATE;
  date = value.m_dt;
}

COleVariant::~COleVariant() { VariantClear(this); }

COleVariant& COleVariant::operator=(const COleVariant& source) {
  CopyOrThrow(this, &source);
  return *this;
}

COleVariant& COleVariant::operator=(COleVariant&& source) noexcept {
  if (this != &source) {
    VariantClear(this);
    *static_cast<VARIANT*>(this) = source;
    VariantInit(&source);
  }
  return *this;
}

COleVariant& COleVariant::operator=(const VARIANT& source) {
  CopyOrThrow(this, &source);
  return *this;
}

COleVariant& COleVariant::operator=(LPCVARIANT source) {
  if (source)
    CopyOrThrow(this, source);
  else
    Clear();
  return *this;
}

COleVariant& COleVariant::operator=(const wchar_t* text) { return *this = COleVariant(text); }
COleVariant& COleVariant::operator=(const CString& text) { return *this = COleVariant(text); }
COleVariant& COleVariant::operator=(BYTE value) { return *this = COleVariant(value); }
COleVariant& COleVariant::operator=(short value) { return *this = COleVariant(value); }
COleVariant& COleVariant::operator=(long value) { return *this = COleVariant(value); }
COleVariant& COleVariant::operator=(int value) { return *this = COleVariant(value); }
COleVariant& COleVariant::operator=(float value) { return *this = COleVariant(value); }
COleVariant& COleVariant::operator=(double value) { return *this = COleVariant(value); }
COleVariant& COleVariant::operator=(const COleCurrency& value) { return *this = COleVariant(value); }
COleVariant& COleVariant::operator=(const COleDateTime& value) { return *this = COleVariant(value); }

bool COleVariant::operator==(const VARIANT& other) const { return VdVariantEquals(*this, other); }

void COleVariant::Attach(VARIANT& source) {
  VariantClear(this);
  *static_cast<VARIANT*>(this) = source;
  VariantInit(&source);
}

VARIANT COleVariant::Detach() {
  VARIANT out = *this;
  VariantInit(this);
  return out;
}
