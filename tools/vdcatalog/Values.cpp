#include "Tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <cwctype>
#include <climits>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vdpattern/vdpattern.h>

#include "CsvFile.h"
#include "Output.h"

namespace vdcatalog {

// ---------------------------------------------------------------- columns and values

double HostValue(double converted) {
  if (!std::isfinite(converted)) return converted;
  char text[40];
  const auto written = std::to_chars(text, text + sizeof text, converted, std::chars_format::general, 15);
  double rounded = converted;
  std::from_chars(text, written.ptr, rounded);
  return rounded;
}

Kind KindOf(short sqlType) {
  switch (sqlType) {
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
      return Kind::kInteger;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return Kind::kReal;
    case SQL_BIT:
      return Kind::kBool;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_DATETIME:
      return Kind::kDate;
    case SQL_LONGVARBINARY:
    case SQL_VARBINARY:
    case SQL_BINARY:
      return Kind::kBinary;
    default:
      return Kind::kText;
  }
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kInteger:
      return "integer";
    case Kind::kReal:
      return "double";
    case Kind::kBool:
      return "boolean";
    case Kind::kDate:
      return "date";
    case Kind::kBinary:
      return "binary";
    default:
      return "text";
  }
}
namespace {

bool Set(CVdPatternValue& out, const CVdPatternValue& value) {
  out = value;
  return true;
}

}  // namespace

// The value a text gives for a column of `kind` (`sqlType`: its exact type), in `out`; false with a reason when
// it does not fit. An empty text is a null value. The library checks the narrower integer types' ranges.
bool ParseValue(Kind kind, short sqlType, const std::string& text, CVdPatternValue& out, std::string& why) {
  if (text.empty()) {
    out = CVdPatternValue();
    return true;
  }
  switch (kind) {
    case Kind::kInteger: {
      const bool wide = sqlType == SQL_BIGINT;
      long long v = 0;
      const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
      if (r.ec != std::errc() || r.ptr != text.data() + text.size() || (!wide && (v < INT32_MIN || v > INT32_MAX))) {
        why = wide ? "not a whole number in the 64-bit range" : "not a whole number in the 32-bit range";
        return false;
      }
      if (!wide) return Set(out, CVdPatternValue(static_cast<long>(v), VT_I4));
      VARIANT exact;
      VariantInit(&exact);
      exact.vt = VT_I8;
      exact.llVal = v;
      return Set(out, CVdPatternValue(exact));
    }
    case Kind::kReal: {
      double v = 0;
      if (!VdParseDouble(text.c_str(), v)) {
        // A number too large for a double is no typing error: say what is wrong with it.
        char* end = nullptr;
        errno = 0;
        std::strtod(text.c_str(), &end);
        const bool tooLarge = errno == ERANGE && end == text.c_str() + text.size();
        why = tooLarge ? "out of the range of a double (at most about 1.8e308)" : "not a number";
        return false;
      }
      return Set(out, CVdPatternValue(v));
    }
    case Kind::kBool: {
      const std::wstring f = Folded(Wide(text).str());
      if (f == L"1" || f == L"true" || f == L"yes") return Set(out, CVdPatternValue(short(1), VT_BOOL));
      if (f == L"0" || f == L"false" || f == L"no") return Set(out, CVdPatternValue(short(0), VT_BOOL));
      why = "not a boolean (true/false, yes/no, 1/0)";
      return false;
    }
    case Kind::kDate: {
      COleDateTime date;
      if (!date.ParseIso(Wide(text))) {
        why = "not a date (YYYY-MM-DD [HH:MM:SS])";
        return false;
      }
      return Set(out, CVdPatternValue(date));
    }
    case Kind::kBinary: {
      if (text.size() % 2 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        why = "not hexadecimal bytes";
        return false;
      }
      std::vector<unsigned char> bytes(text.size() / 2);
      for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
      return Set(out, CVdPatternValue(bytes.data(), static_cast<unsigned long>(bytes.size())));
    }
    default:
      return Set(out, CVdPatternValue(Wide(text).GetString(), VT_BSTR));
  }
}

// Invalid UTF-8 from a damaged file is shown as U+FFFD rather than failing the whole output.
std::string JsonText(const json& value) { return value.dump(2, ' ', false, json::error_handler_t::replace); }

// `kind`: the value's column. A 64-bit integer beyond what a double holds exactly is read as its digits; in an
// integer column it is written as the number it is.
json ToJson(const VARIANT* v, Kind kind) {
  if (!v) return nullptr;
  if (kind == Kind::kInteger && v->vt == VT_BSTR && v->bstrVal) {
    const std::string digits = Utf8(CString(v->bstrVal));
    long long exact = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), exact);
    if (r.ec == std::errc() && r.ptr == digits.data() + digits.size() && !digits.empty()) return exact;
  }
  switch (v->vt) {
    case VT_EMPTY:
    case VT_NULL:
      return nullptr;
    case VT_I2:
    case VT_I4:
    case VT_UI1:
      return VariantToLong(v);
    case VT_R4:
    case VT_R8:
    case VT_CY:
      return VariantToDouble(v);
    case VT_BOOL:
      return v->boolVal != VARIANT_FALSE;
    default:
      return Utf8(VariantToString(v, true));
  }
}

}  // namespace vdcatalog
