#include <vdpattern/toolkit/VariantConv.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/Utf8.h>
#include "toolkit/VariantText.h"

namespace {

CString AsciiToCString(const char* begin, const char* end) {
  std::wstring w(begin, end);
  return CString(std::move(w));
}

CString FloatToString(float value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return AsciiToCString(buf, r.ptr);
}

CString IntegerToString(long long value) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return AsciiToCString(buf, r.ptr);
}

CString UnsignedToString(unsigned long long value) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return AsciiToCString(buf, r.ptr);
}

CString CurrencyToString(LONGLONG amount) {
  // Scaled by 10,000; print the integer part and the fraction without trailing zeros.
  const bool negative = amount < 0;
  const unsigned long long magnitude =
      negative ? static_cast<unsigned long long>(-(amount + 1)) + 1 : static_cast<unsigned long long>(amount);
  CString text = UnsignedToString(magnitude / 10000);
  unsigned frac = static_cast<unsigned>(magnitude % 10000);
  if (frac) {
    wchar_t digits[6] = L".0000";
    for (int i = 4; i >= 1; --i, frac /= 10) digits[i] = static_cast<wchar_t>(L'0' + frac % 10);
    std::wstring f(digits);
    while (f.back() == L'0') f.pop_back();
    text += f;
  }
  return negative ? L"-" + text : text;
}

CString BytesToHex(const SAFEARRAY* array) {
  static const wchar_t hex[] = L"0123456789ABCDEF";
  if (!array || !array->cDims || array->cbElements != 1) return CString();
  const auto* bytes = static_cast<const unsigned char*>(array->pvData);
  std::wstring out;
  out.reserve(array->rgsabound[0].cElements * 2);
  for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) {
    out += hex[bytes[i] >> 4];
    out += hex[bytes[i] & 15];
  }
  return CString(std::move(out));
}

long ClampToLong(double v) {
  if (std::isnan(v)) return 0;
  const double r = std::round(v);  // halves away from zero
  if (r >= static_cast<double>(std::numeric_limits<long>::max())) return std::numeric_limits<long>::max();
  if (r <= static_cast<double>(std::numeric_limits<long>::min())) return std::numeric_limits<long>::min();
  return static_cast<long>(r);
}

}  // namespace

CString VdDoubleToString(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return AsciiToCString(buf, r.ptr);
}

namespace {

template <typename Char>
bool ParseDouble(const Char* text, double& value) {
  value = 0;
  if (!text) return false;
  const Char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  // Copy the ASCII number characters; anything else ends the number.
  char buf[128];
  std::size_t n = 0;
  const Char* q = p;
  if (*q == '+') ++q;  // from_chars does not take a leading '+'
  for (; *q && n < sizeof buf - 1; ++q) {
    const Char c = *q;
    if ((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')
      buf[n++] = static_cast<char>(c);
    else
      break;
  }
  const Char* rest = q;
  while (*rest == ' ' || *rest == '\t') ++rest;
  if (n == 0 || *rest) return false;
  double v = 0;
  const auto r = std::from_chars(buf, buf + n, v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != buf + n) return false;
  value = v;
  return true;
}

}  // namespace

bool VdParseDouble(const wchar_t* text, double& value) { return ParseDouble(text, value); }
bool VdParseDouble(const char* text, double& value) { return ParseDouble(text, value); }

double VariantToDouble(const VARIANT* var) {
  if (!var) return 0;
  switch (var->vt) {
    case VT_I1:
      return var->cVal;
    case VT_UI1:
      return var->bVal;
    case VT_I2:
      return var->iVal;
    case VT_UI2:
      return var->uiVal;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      return var->lVal;
    case VT_UI4:
    case VT_UINT:
      return var->ulVal;
    case VT_I8:
      return static_cast<double>(var->llVal);
    case VT_UI8:
      return static_cast<double>(var->ullVal);
    case VT_R4:
      return var->fltVal;
    case VT_R8:
      return var->dblVal;
    case VT_DATE:
      return var->date;
    case VT_CY:
      return static_cast<double>(var->cyVal.int64) / 10000.0;
    case VT_BOOL:
      return var->boolVal != VARIANT_FALSE ? 1.0 : 0.0;
    case VT_BSTR: {
      double v;
      return VdParseDouble(var->bstrVal, v) ? v : 0.0;
    }
    default:
      return 0;
  }
}

long VariantToLong(const VARIANT* var) {
  if (!var) return 0;
  switch (var->vt) {
    case VT_I1:
      return var->cVal;
    case VT_UI1:
      return var->bVal;
    case VT_I2:
      return var->iVal;
    case VT_UI2:
      return var->uiVal;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      return var->lVal;
    case VT_UI4:
    case VT_UINT:
      return static_cast<long>(var->ulVal);
    case VT_I8:
      return static_cast<long>(var->llVal);
    case VT_UI8:
      return var->ullVal > static_cast<ULONGLONG>(std::numeric_limits<long>::max()) ? std::numeric_limits<long>::max()
                                                                                    : static_cast<long>(var->ullVal);
    case VT_CY: {
      // Round the scaled amount without going through a double, so large amounts stay exact.
      const LONGLONG a = var->cyVal.int64;
      const LONGLONG q = a / 10000, r = a % 10000;
      return static_cast<long>(r >= 5000 ? q + 1 : (r <= -5000 ? q - 1 : q));
    }
    default:
      return ClampToLong(VariantToDouble(var));
  }
}

CString VariantToString(const VARIANT* var, bool) {
  if (!var) return CString();
  if (var->vt == (VT_ARRAY | VT_UI1)) return BytesToHex(var->parray);
  switch (var->vt) {
    case VT_I1:
      return IntegerToString(var->cVal);
    case VT_UI1:
      return IntegerToString(var->bVal);
    case VT_I2:
      return IntegerToString(var->iVal);
    case VT_UI2:
      return IntegerToString(var->uiVal);
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      return IntegerToString(var->lVal);
    case VT_UI4:
    case VT_UINT:
      return UnsignedToString(var->ulVal);
    case VT_I8:
      return IntegerToString(var->llVal);
    case VT_UI8:
      return UnsignedToString(var->ullVal);
    case VT_R4:
      return FloatToString(var->fltVal);
    case VT_R8:
      return VdDoubleToString(var->dblVal);
    case VT_CY:
      return CurrencyToString(var->cyVal.int64);
    case VT_DATE:
      return COleDateTime(var->date).FormatIso();
    case VT_BOOL:
      return var->boolVal != VARIANT_FALSE ? L"True" : L"False";
    case VT_BSTR:
      return CString(var->bstrVal, static_cast<int>(SysStringLen(var->bstrVal)));
    default:
      return CString();
  }
}

const wchar_t* VariantToLPCSTR(const VARIANT* var, bool invariant) {
  if (var && var->vt == VT_BSTR) return var->bstrVal ? var->bstrVal : L"";
  if (!var || var->vt == VT_EMPTY || var->vt == VT_NULL) return L"";
  return vdpattern::toolkit::KeepVariantText(var, VariantToString(var, invariant));
}

int PutBinaryIntoVariant(VARIANT* var, unsigned char* bytes, unsigned long length) {
  if (!var) return 0;
  VariantClear(var);
  if ((!bytes && length) || length > std::numeric_limits<ULONG>::max()) return 0;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length));
  if (!array) return 0;
  void* data = nullptr;
  SafeArrayAccessData(array, &data);
  if (length) std::memcpy(data, bytes, length);
  SafeArrayUnaccessData(array);
  var->vt = VT_ARRAY | VT_UI1;
  var->parray = array;
  return 1;
}
