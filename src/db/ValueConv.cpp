#include "db/ValueConv.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/VariantConv.h>
#include "db/DbError.h"
#include "db/Utf8Fast.h"

namespace vdpattern::db {

namespace {

bool HoldsText(const CDBVariant& v) {
  return (v.m_dwType == DBVT_WSTRING || v.m_dwType == DBVT_STRING || v.m_dwType == DBVT_ASTRING) &&
         v.m_pstring != nullptr;
}

// The value types whose payload lives behind a pointer.
constexpr std::uint32_t kPointerTypes =
    1u << DBVT_DATE | 1u << DBVT_BINARY | 1u << DBVT_STRING | 1u << DBVT_ASTRING | 1u << DBVT_WSTRING;

void SetScalar(CDBVariant& v, DWORD type) {
  if (v.m_dwType < 32 && (kPointerTypes >> v.m_dwType & 1u)) v.Clear();
  v.m_dwType = type;
}

std::wstring& TextSlot(CDBVariant& v) {
  if (HoldsText(v)) {
    v.m_dwType = DBVT_WSTRING;
    return v.m_pstringW->str();
  }
  v.Clear();
  v.m_pstringW = new CString();
  v.m_dwType = DBVT_WSTRING;
  return v.m_pstringW->str();
}

TIMESTAMP_STRUCT& DateSlot(CDBVariant& v) {
  if (v.m_dwType != DBVT_DATE || !v.m_pdate) {
    v.Clear();
    v.m_pdate = new TIMESTAMP_STRUCT();
    v.m_dwType = DBVT_DATE;
  }
  return *v.m_pdate;
}

void SetLong(CDBVariant& v, LONG x) {
  SetScalar(v, DBVT_LONG);
  v.m_lVal = x;
}
void SetDouble(CDBVariant& v, double x) {
  SetScalar(v, DBVT_DOUBLE);
  v.m_dblVal = x;
}

std::string_view BytesOf(const Cell& cell, const char* arena) {
  return std::string_view(arena + cell.bytes.offset, cell.bytes.length);
}

void SetText(CDBVariant& v, std::string_view utf8) { AssignFromUtf8(TextSlot(v), utf8.data(), utf8.size()); }

void SetBinary(CDBVariant& v, std::string_view bytes) {
  if (v.m_dwType != DBVT_BINARY || !v.m_pbinary) {
    v.Clear();
    v.m_pbinary = new CLongBinary();
    v.m_dwType = DBVT_BINARY;
  }
  v.m_pbinary->m_data.assign(bytes.begin(), bytes.end());
  v.m_pbinary->m_dwDataLength = bytes.size();
}

bool FitsLong(std::int64_t i) { return i >= std::numeric_limits<LONG>::min() && i <= std::numeric_limits<LONG>::max(); }

// Integers a double holds exactly.
constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;

// An integer as the widest type that holds it exactly: LONG, then DOUBLE up to 2^53, then its digits.
void SetInteger(CDBVariant& v, std::int64_t i) {
  if (FitsLong(i)) return SetLong(v, static_cast<LONG>(i));
  if (i >= -kExactInDouble && i <= kExactInDouble) return SetDouble(v, static_cast<double>(i));
  std::wstring& text = TextSlot(v);
  text = std::to_wstring(i);
}

// A whole text that spells an integer (sign, digits, blanks around); false for anything else or beyond 64 bits
// (`overflow` then tells which).
bool ParseInteger(std::string_view t, std::int64_t& out, bool& overflow) {
  overflow = false;
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty() || t.front() == '+') return false;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), out);
  if (r.ptr != t.data() + t.size()) return false;
  overflow = r.ec == std::errc::result_out_of_range;
  return r.ec == std::errc();
}

// The value of a cell as a number: integers exactly, reals as they are, texts when the whole text is one.
struct Number {
  bool ok = false;
  bool integral = false;
  std::int64_t i = 0;
  double d = 0;
};

Number ToNumber(const Cell& cell, const char* arena) {
  Number n;
  switch (cell.kind) {
    case CellKind::kInteger:
      n.ok = n.integral = true;
      n.i = cell.i;
      n.d = static_cast<double>(cell.i);
      return n;
    case CellKind::kReal:
      n.ok = true;
      n.d = cell.d;
      break;
    case CellKind::kText: {
      std::wstring wide;
      const std::string_view bytes = BytesOf(cell, arena);
      bool overflow = false;
      if (ParseInteger(bytes, n.i, overflow)) {
        n.ok = n.integral = true;
        n.d = static_cast<double>(n.i);
        return n;
      }
      AssignFromUtf8(wide, bytes.data(), bytes.size());
      if (!VdParseDouble(wide.c_str(), n.d)) return n;
      n.ok = true;
      break;
    }
    default:
      return n;
  }
  if (std::isfinite(n.d) && n.d == std::floor(n.d) && std::fabs(n.d) < 9.2e18) {
    n.integral = true;
    n.i = static_cast<std::int64_t>(n.d);
  }
  return n;
}

// The value as its own storage class gives it.
void OwnType(const Cell& cell, const char* arena, CDBVariant& out) {
  switch (cell.kind) {
    case CellKind::kNull:
      out.Clear();
      return;
    case CellKind::kInteger:
      SetInteger(out, cell.i);
      return;
    case CellKind::kReal:
      SetDouble(out, cell.d);
      return;
    case CellKind::kText:
      SetText(out, BytesOf(cell, arena));
      return;
    case CellKind::kBlob:
      SetBinary(out, BytesOf(cell, arena));
      return;
  }
}

// Integer column types: the narrow type when the number is integral and fits, else a wider type.
void IntegerColumn(const Cell& cell, const char* arena, ValueKind kind, CDBVariant& out) {
  const Number n = ToNumber(cell, arena);
  if (!n.ok) return OwnType(cell, arena, out);
  if (!n.integral) return SetDouble(out, n.d);
  if (kind == ValueKind::kShort && n.i >= std::numeric_limits<short>::min() &&
      n.i <= std::numeric_limits<short>::max()) {
    SetScalar(out, DBVT_SHORT);
    out.m_iVal = static_cast<short>(n.i);
    return;
  }
  if (kind == ValueKind::kUChar && n.i >= 0 && n.i <= 255) {
    SetScalar(out, DBVT_UCHAR);
    out.m_chVal = static_cast<unsigned char>(n.i);
    return;
  }
  SetInteger(out, n.i);
}

bool EqualsNoCase(std::string_view a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t k = 0; k < n; ++k) {
    char c = a[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[k]) return false;
  }
  return true;
}

void BoolColumn(const Cell& cell, const char* arena, CDBVariant& out) {
  int value = -1;
  if (cell.kind == CellKind::kText) {
    const std::string_view t = BytesOf(cell, arena);
    if (EqualsNoCase(t, "true") || EqualsNoCase(t, "yes") || EqualsNoCase(t, "on")) value = 1;
    if (EqualsNoCase(t, "false") || EqualsNoCase(t, "no") || EqualsNoCase(t, "off")) value = 0;
  }
  if (value < 0) {
    const Number n = ToNumber(cell, arena);
    if (!n.ok) return OwnType(cell, arena, out);
    value = n.d != 0 ? 1 : 0;
  }
  SetScalar(out, DBVT_BOOL);
  out.m_boolVal = value ? TRUE : FALSE;
}

int Digits(std::string_view t, std::size_t& at, int count) {
  int v = 0;
  for (int k = 0; k < count; ++k, ++at) {
    if (at >= t.size() || t[at] < '0' || t[at] > '9') return -1;
    v = v * 10 + (t[at] - '0');
  }
  return v;
}

}  // namespace

bool ParseDateText(std::string_view t, TIMESTAMP_STRUCT& out) {
  std::size_t at = 0;
  while (at < t.size() && t[at] == ' ') ++at;
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
  std::uint32_t fraction = 0;
  const std::size_t start = at;
  const bool timeOnly = t.size() > start + 2 && t[start + 2] == ':';
  if (!timeOnly) {
    year = Digits(t, at, 4);
    if (year < 0 || at >= t.size() || (t[at] != '-' && t[at] != '/')) return false;
    const char sep = t[at++];
    month = Digits(t, at, 2);
    if (month < 0 || at >= t.size() || t[at++] != sep) return false;
    day = Digits(t, at, 2);
    if (day < 0) return false;
  }
  if (timeOnly || (at < t.size() && (t[at] == ' ' || t[at] == 'T'))) {
    if (!timeOnly) ++at;
    hour = Digits(t, at, 2);
    if (hour < 0 || at >= t.size() || t[at++] != ':') return false;
    minute = Digits(t, at, 2);
    if (minute < 0) return false;
    if (at < t.size() && t[at] == ':') {
      ++at;
      second = Digits(t, at, 2);
      if (second < 0) return false;
      if (at < t.size() && t[at] == '.') {
        ++at;
        std::uint32_t scale = 100000000;
        if (at >= t.size() || t[at] < '0' || t[at] > '9') return false;
        while (at < t.size() && t[at] >= '0' && t[at] <= '9') {
          fraction += static_cast<std::uint32_t>(t[at++] - '0') * scale;
          scale /= 10;
        }
      }
    }
  }
  if (at < t.size() && t[at] == 'Z') ++at;
  while (at < t.size() && t[at] == ' ') ++at;
  if (at != t.size()) return false;
  DATE check;
  if (!VdDateFromParts(year, month, day, hour, minute, second, check)) return false;
  out.year = static_cast<SQLSMALLINT>(year);
  out.month = static_cast<SQLUSMALLINT>(month);
  out.day = static_cast<SQLUSMALLINT>(day);
  out.hour = static_cast<SQLUSMALLINT>(hour);
  out.minute = static_cast<SQLUSMALLINT>(minute);
  out.second = static_cast<SQLUSMALLINT>(second);
  out.fraction = fraction;
  return true;
}

void CellToVariantSlow(const Cell& cell, const char* arena, ValueKind kind, CDBVariant& out) {
  // The common cases first: a value stored as its column declares it.
  switch (cell.kind) {
    case CellKind::kNull:
      return out.Clear();
    case CellKind::kReal:
      if (kind == ValueKind::kDouble || kind == ValueKind::kFromValue) return SetDouble(out, cell.d);
      break;
    case CellKind::kText:
      if (kind == ValueKind::kText || kind == ValueKind::kFromValue) return SetText(out, BytesOf(cell, arena));
      break;
    case CellKind::kInteger:
      if ((kind == ValueKind::kLong || kind == ValueKind::kBigInt || kind == ValueKind::kFromValue) && FitsLong(cell.i))
        return SetLong(out, static_cast<LONG>(cell.i));
      break;
    case CellKind::kBlob:
      break;
  }
  switch (kind) {
    case ValueKind::kFromValue:
      return OwnType(cell, arena, out);
    case ValueKind::kLong:
    case ValueKind::kBigInt:
    case ValueKind::kShort:
    case ValueKind::kUChar:
      return IntegerColumn(cell, arena, kind, out);
    case ValueKind::kBool:
      return BoolColumn(cell, arena, out);
    case ValueKind::kSingle:
    case ValueKind::kDouble: {
      if (cell.kind == CellKind::kReal) {
        if (kind == ValueKind::kDouble) return SetDouble(out, cell.d);
        SetScalar(out, DBVT_SINGLE);
        out.m_fltVal = static_cast<float>(cell.d);
        return;
      }
      const Number n = ToNumber(cell, arena);
      if (!n.ok) return OwnType(cell, arena, out);
      if (kind == ValueKind::kDouble) return SetDouble(out, n.d);
      SetScalar(out, DBVT_SINGLE);
      out.m_fltVal = static_cast<float>(n.d);
      return;
    }
    case ValueKind::kText:
      if (cell.kind == CellKind::kInteger) {
        TextSlot(out) = std::to_wstring(cell.i);
        return;
      }
      if (cell.kind == CellKind::kReal) {
        TextSlot(out) = VdDoubleToString(cell.d).str();
        return;
      }
      return OwnType(cell, arena, out);
    case ValueKind::kDate: {
      TIMESTAMP_STRUCT ts;
      if (cell.kind == CellKind::kText && ParseDateText(BytesOf(cell, arena), ts)) {
        DateSlot(out) = ts;
        return;
      }
      return OwnType(cell, arena, out);
    }
    case ValueKind::kBinary:
      return OwnType(cell, arena, out);
  }
}

CString CellToText(const Cell& cell, const char* arena, ValueKind kind) {
  CDBVariant value;
  CellToVariant(cell, arena, kind, value);
  return DBV_BSTRAll(&value);
}

void TextToPending(const wchar_t* text, PendingValue& out) {
  out.bytes.clear();
  if (!text) {
    out.kind = CellKind::kNull;
    return;
  }
  out.kind = CellKind::kText;
  AppendUtf8(out.bytes, text, std::wcslen(text));
}

void VariantToPending(const VARIANT& v, PendingValue& out) {
  out.bytes.clear();
  auto integer = [&out](std::int64_t i) {
    out.kind = CellKind::kInteger;
    out.i = i;
  };
  auto real = [&out](double d) {
    out.kind = CellKind::kReal;
    out.d = d;
  };
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR:  // the platform's "missing value"
      out.kind = CellKind::kNull;
      return;
    case VT_I1:
      return integer(v.cVal);
    case VT_UI1:
      return integer(v.bVal);
    case VT_I2:
      return integer(v.iVal);
    case VT_UI2:
      return integer(v.uiVal);
    case VT_I4:
      return integer(v.lVal);
    case VT_INT:
      return integer(v.intVal);
    case VT_UI4:
      return integer(v.ulVal);
    case VT_UINT:
      return integer(v.uintVal);
    case VT_I8:
      return integer(v.llVal);
    case VT_UI8:
      if (v.ullVal <= static_cast<ULONGLONG>(std::numeric_limits<std::int64_t>::max()))
        return integer(static_cast<std::int64_t>(v.ullVal));
      return real(static_cast<double>(v.ullVal));
    case VT_R4:
      return real(v.fltVal);
    case VT_R8:
      return real(v.dblVal);
    case VT_BOOL:
      return integer(v.boolVal != VARIANT_FALSE ? 1 : 0);
    case VT_CY:
      return real(static_cast<double>(v.cyVal.int64) / 10000.0);
    case VT_DATE: {
      const CString text = COleDateTime(v.date).FormatIso();
      if (text.IsEmpty()) ThrowDbError(kStateGeneral, L"The date value is out of the range that can be stored.");
      out.kind = CellKind::kText;
      AppendUtf8(out.bytes, text.GetString(), static_cast<std::size_t>(text.GetLength()));
      return;
    }
    case VT_BSTR:
      out.kind = CellKind::kText;
      if (v.bstrVal) AppendUtf8(out.bytes, v.bstrVal, SysStringLen(v.bstrVal));
      return;
    default:
      break;
  }
  if (v.vt == (VT_ARRAY | VT_UI1) && v.parray) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(v.parray, &data)))
      ThrowDbError(kStateGeneral, L"The byte block of the value cannot be read.");
    const std::size_t length = v.parray->rgsabound[0].cElements;
    out.kind = CellKind::kBlob;
    if (length) out.bytes.assign(static_cast<const char*>(data), length);
    SafeArrayUnaccessData(v.parray);
    return;
  }
  CString message;
  message.Format(L"A value of variant type %u cannot be stored in a column.", static_cast<unsigned>(v.vt));
  ThrowDbError(kStateGeneral, message);
}

namespace {

constexpr const char* kStateOutOfRange = "22003";
constexpr const char* kStateTooLong = "22001";

struct IntegerRange {
  std::int64_t low, high;
};

bool RangeOf(ValueKind kind, IntegerRange& range) {
  switch (kind) {
    case ValueKind::kUChar:
      range = {0, 255};
      return true;
    case ValueKind::kShort:
      range = {std::numeric_limits<short>::min(), std::numeric_limits<short>::max()};
      return true;
    case ValueKind::kLong:
      range = {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()};
      return true;
    case ValueKind::kBigInt:
      range = {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()};
      return true;
    default:
      return false;
  }
}

CString ColumnLabel(const ColumnInfo& column) {
  CString label = column.baseColumn.IsEmpty() ? column.name : column.baseColumn;
  if (!column.declaredType.IsEmpty())
    label += L"\" (" + column.declaredType + L")";
  else
    label += L"\"";
  return L"\"" + label;
}

// A value as a message shows it: texts quoted and, when long, their first characters only.
CString Shown(const PendingValue& value) {
  switch (value.kind) {
    case CellKind::kInteger:
      return CString(std::to_wstring(value.i).c_str());
    case CellKind::kReal:
      return VdDoubleToString(value.d);
    case CellKind::kText: {
      std::wstring text;
      AssignFromUtf8(text, value.bytes.data(), value.bytes.size());
      const bool cut = text.size() > 40;
      if (cut) text.resize(40);
      return CString((L"\"" + text + (cut ? L"...\"" : L"\"")).c_str());
    }
    default:
      return CString(L"(bytes)");
  }
}

[[noreturn]] void NotInRange(const ColumnInfo& column, const PendingValue& value, const IntegerRange& range,
                             const wchar_t* why) {
  CString message;
  message.Format(L"The value %s does not fit the column %s: %s; it takes whole numbers from %lld to %lld.",
                 Shown(value), ColumnLabel(column), why, static_cast<long long>(range.low),
                 static_cast<long long>(range.high));
  ThrowDbError(kStateOutOfRange, message);
}

// Whether a declared type is a text type whose "(n)" counts characters (TEXT(n), VARCHAR(n), CHAR(n), ...),
// not one that only holds text, such as a decimal kept as its digits with its precision in parentheses.
bool SizedText(const CString& declared) {
  const std::wstring& type = declared.str();
  std::size_t begin = 0;
  while (begin < type.size() && type[begin] == L' ') ++begin;
  std::size_t end = begin;
  while (end < type.size() && type[end] != L' ' && type[end] != L'(') ++end;
  if (end >= type.size() || type.find(L'(', end) == std::wstring::npos) return false;
  std::wstring word = type.substr(begin, end - begin);
  for (wchar_t& ch : word)
    if (ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - 32);
  for (const wchar_t* sized : {L"TEXT", L"VARCHAR", L"NVARCHAR", L"STRING", L"CHAR", L"CHARACTER", L"NCHAR"})
    if (word == sized) return true;
  return false;
}

std::size_t Characters(const std::string& utf8) {
  std::size_t count = 0;
  for (const char ch : utf8)
    if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++count;
  return count;
}

}  // namespace

void CheckFits(const ColumnInfo& column, PendingValue& value) {
  if (value.kind == CellKind::kNull) return;
  const ValueKind kind = column.type.kind;
  IntegerRange range;
  if (RangeOf(kind, range)) {
    std::int64_t i = 0;
    switch (value.kind) {
      case CellKind::kInteger:
        i = value.i;
        break;
      case CellKind::kReal: {
        const double d = value.d;
        if (!std::isfinite(d) || d != std::floor(d)) NotInRange(column, value, range, L"not a whole number");
        // 2^63 is the first double beyond the 64-bit range; every double below it converts exactly.
        if (d < -9223372036854775808.0 || d >= 9223372036854775808.0)
          NotInRange(column, value, range, L"out of its range");
        i = static_cast<std::int64_t>(d);
        break;
      }
      case CellKind::kText: {
        bool overflow = false;
        if (!ParseInteger(value.bytes, i, overflow)) {
          double d = 0;
          const bool number = !overflow && VdParseDouble(value.bytes.c_str(), d) && std::isfinite(d);
          if (number && d == std::floor(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            i = static_cast<std::int64_t>(d);
          } else {
            NotInRange(column, value, range,
                       overflow || (number && d == std::floor(d)) ? L"out of its range"
                       : number                                   ? L"not a whole number"
                                                                  : L"not a number");
          }
        }
        break;
      }
      default:
        return;  // a byte block: the engine's own rules
    }
    if (i < range.low || i > range.high) NotInRange(column, value, range, L"out of its range");
    value.kind = CellKind::kInteger;
    value.i = i;
    value.bytes.clear();
    return;
  }
  // A declared size is a limit on both engines; a text column without one takes any length.
  if (kind == ValueKind::kText && value.kind == CellKind::kText && column.type.precision > 0 &&
      value.bytes.size() > column.type.precision) {
    const std::size_t length = Characters(value.bytes);
    if (length > column.type.precision && SizedText(column.declaredType)) {
      CString message;
      message.Format(L"The text %s (%zu characters) does not fit the column %s: it takes at most %zu characters.",
                     Shown(value), length, ColumnLabel(column), static_cast<std::size_t>(column.type.precision));
      ThrowDbError(kStateTooLong, message);
    }
  }
}

}  // namespace vdpattern::db
