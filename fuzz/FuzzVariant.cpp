// Variant conversions: values of every type, built from the bytes as they come, through VariantToDouble,
// VariantToLong, VariantToString, VariantToLPCSTR, the number parser, and the copies and comparisons that
// carry variants around.

#include <cmath>
#include <limits>
#include <string>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/VariantConv.h>

#include "FuzzInput.h"

using vdfuzz::Check;

namespace {

bool HoldsNaN(const VARIANT& v) {
  return (v.vt == VT_R8 && std::isnan(v.dblVal)) || (v.vt == VT_DATE && std::isnan(v.date)) ||
         (v.vt == VT_R4 && std::isnan(v.fltVal));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vdfuzz::Input input(data, size);
  const std::uint8_t type = input.Byte();
  const std::uint64_t raw = input.U64();
  const double real = input.Double();
  VARIANT v;
  VariantInit(&v);
  static const VARTYPE kTypes[] = {VT_EMPTY, VT_NULL,          VT_I2, VT_I4,  VT_R4,  VT_R8,  VT_CY, VT_DATE, VT_BSTR,
                                   VT_ERROR, VT_BOOL,          VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8,  VT_INT,
                                   VT_UINT,  VT_ARRAY | VT_UI1};
  const VARTYPE vt = kTypes[type % (sizeof kTypes / sizeof kTypes[0])];
  switch (vt) {
    case VT_BSTR: {
      const std::wstring text = input.Text(type / 32);
      v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      break;
    }
    case VT_ARRAY | VT_UI1: {
      std::string bytes(reinterpret_cast<const char*>(data) + (size - input.Left()), input.Left());
      Check(PutBinaryIntoVariant(&v, reinterpret_cast<unsigned char*>(bytes.data()),
                                 static_cast<unsigned long>(bytes.size())) == 1);
      break;
    }
    case VT_R4:
      v.fltVal = static_cast<float>(real);
      break;
    case VT_R8:
      v.dblVal = real;
      break;
    case VT_DATE:
      v.date = real;
      break;
    default:
      v.ullVal = raw;
      break;
  }
  v.vt = vt;

  const double number = VariantToDouble(&v);
  const long rounded = VariantToLong(&v);
  const CString text = VariantToString(&v, true);
  const wchar_t* lpc = VariantToLPCSTR(&v, false);
  Check(lpc != nullptr);
  if (vt != VT_BSTR) Check(text.str() == lpc);
  Check(VariantToString(&v, false).str() == text.str());

  // A finite number's text reads back as the same number.
  if (vt == VT_R8 && std::isfinite(v.dblVal)) {
    double back = 0;
    Check(VdParseDouble(text, back) && back == v.dblVal);
  }
  if (vt == VT_R8 || vt == VT_R4 || vt == VT_DATE) {
    if (std::isnan(number))
      Check(rounded == 0);
    else if (number >= 1e19)
      Check(rounded == std::numeric_limits<long>::max());
    else if (number <= -1e19)
      Check(rounded == std::numeric_limits<long>::min());
    else if (std::fabs(number) < 9e18)
      Check(std::fabs(static_cast<double>(rounded) - number) <= 0.5);
  }
  // Text: a number only when the whole text is one, and then VariantToDouble gives it.
  if (vt == VT_BSTR) {
    double parsed = -1;
    if (VdParseDouble(v.bstrVal, parsed))
      Check(parsed == number || (std::isnan(parsed) && std::isnan(number)));
    else
      Check(number == 0 && parsed == 0);
  }

  // Copies hold the same value, and clearing them frees what they hold.
  if (!HoldsNaN(v)) {
    COleVariant copy(&v);
    Check(VdVariantEquals(copy, v));
    VARIANT second;
    VariantInit(&second);
    Check(VariantCopy(&second, &v) == S_OK && VdVariantEquals(second, v));
    VariantClear(&second);
  }
  Check(VariantClear(&v) == S_OK && v.vt == VT_EMPTY);
  return 0;
}
