// The vdpattern Python module (_vdpattern, re-exported by the vdpattern package): patterns, catalogs and a
// manager as Python objects, errors as Python exceptions, the library's reports and traces in Python's logging.
//
// Ownership, object by object:
// - Pattern: Python owns every Pattern it sees, alone (a std::unique_ptr holder). A lookup that returns an object
//   owned elsewhere (a pool hit of the manager) hands Python a copy with the same GUID; Manager.keep gives the
//   pool a copy. No C++ pool ever holds a pattern that Python holds, so each is freed exactly once.
// - Catalog: owns its CVdPatternCatalog (std::unique_ptr), which owns its factory; the wrapper owns the unit
//   manager the factory borrows, declared first so that it outlives the catalog.
// - Manager: owns its CVdPatternManager, which owns the factory and every attached catalog; the wrapper owns the
//   unit manager, declared first. Attached catalogs are reached through the manager only, never handed to Python.
// - Column arrays and frames: NumPy arrays owning their memory, filled from a pool that the call owns and frees.
// Threads: every database call runs with the GIL released; the report and trace handlers take it back to log.
// A Catalog or Manager is used only by the thread that made it, as the library's objects are single-threaded:
// another thread gets RuntimeError (as Python's sqlite3 does) instead of racing a call that runs without the
// GIL. Catalog.insert copies the pattern while it holds the GIL, so a thread changing it cannot race the write.
//
// Nothing is stored other than as given: a str holding a NUL is refused wherever it enters (the library's texts
// end there), a Python int is held as a 64-bit integer (or a double that equals it exactly), and a write stores a
// value only in a column that holds it exactly: every parameter needs a column, a number goes into a numeric
// column within its range, text into a text or date column. What does not fit raises KeyError, ValueError or
// OverflowError naming the parameter, and nothing is written.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <thread>
#include <vector>
#include <vdpattern/vdpattern.h>
#include <vdpattern/toolkit/Report.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VariantConv.h>

namespace py = pybind11;

namespace {

// ---------------------------------------------------------------- errors

// The last database failure seen on this thread by a catalog or factory of the module: the library answers
// false after reporting it, and the binding turns the answer and this record into an exception.
struct Failure {
  bool set = false;
  std::string state;
  std::string text;
};
thread_local Failure t_failure;

void Record(CDBException* e) {
  if (!e) return;
  t_failure.set = true;
  // "State:HYT00,Native:...,Origin:...": the five characters after "State:".
  const std::wstring& origin = e->m_strStateNativeOrigin.str();
  t_failure.state = origin.compare(0, 6, L"State:") == 0 ? VdToUtf8(origin.substr(6, 5)) : std::string();
  t_failure.text = e->GetReportText().ToUtf8();
}

py::handle g_databaseError;  // vdpattern.DatabaseError, alive as long as the module

[[noreturn]] void RaiseDatabaseError(const std::string& text, const std::string& state) {
  py::object error = py::reinterpret_borrow<py::object>(g_databaseError)(text);
  error.attr("state") = state;
  PyErr_SetObject(g_databaseError.ptr(), error.ptr());
  throw py::error_already_set();
}

// Raises DatabaseError for the failure recorded since the last Clear, or with `fallback` when none was.
[[noreturn]] void RaiseFailure(const std::string& fallback) {
  if (t_failure.set) RaiseDatabaseError(fallback + ": " + t_failure.text, t_failure.state);
  RaiseDatabaseError(fallback, "");
}

void ClearFailure() { t_failure = Failure(); }

// Why a write was refused before anything was stored: a parameter without a column, or a value its column cannot
// hold exactly. Recorded by the factory while the write runs without the GIL, raised by the binding after it.
enum class Refused { kNone, kKey, kValue, kOverflow };
struct Refusal {
  Refused kind = Refused::kNone;
  std::string text;
};
thread_local Refusal t_refusal;

bool Refuse(Refused kind, const std::string& text) {
  if (t_refusal.kind == Refused::kNone) t_refusal = Refusal{kind, text};  // the first reason stands
  return false;
}

// Raises the recorded refusal, if any (and clears it).
void RaiseRefusal() {
  const Refusal refusal = std::exchange(t_refusal, Refusal());
  switch (refusal.kind) {
    case Refused::kNone:
      return;
    case Refused::kKey:
      throw py::key_error(refusal.text);
    case Refused::kValue:
      throw py::value_error(refusal.text);
    case Refused::kOverflow:
      PyErr_SetString(PyExc_OverflowError, refusal.text.c_str());
      throw py::error_already_set();
  }
}

// ---------------------------------------------------------------- reports and traces into logging

bool PythonAlive() { return Py_IsInitialized() && !_Py_IsFinalizing(); }

void Log(const char* level, const std::string& text) {
  if (!PythonAlive()) return;
  py::gil_scoped_acquire gil;
  try {
    py::module_::import("logging").attr("getLogger")("vdpattern").attr(level)("%s", text);
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("vdpattern report handler");  // a handler must not throw
  }
}

void ReportToLogging(const wchar_t* text, const wchar_t* caption) {
  Log("error", VdToUtf8(caption ? caption : L"") + ": " + VdToUtf8(text ? text : L""));
}

void TraceToLogging(const wchar_t* text) { Log("debug", VdToUtf8(text ? text : L"")); }

// ---------------------------------------------------------------- text

// `text` as given; ValueError when it holds a NUL, where every text the library takes ends. `what` names the
// argument.
const std::string& Whole(const std::string& text, const char* what) {
  if (text.find('\0') != std::string::npos) throw py::value_error(std::string(what) + " holds a NUL character");
  return text;
}

std::wstring Wide(const std::string& text) { return VdFromUtf8(text); }
CString WideC(const std::string& text) { return CString(VdFromUtf8(text).c_str()); }
// Wide strings are UTF-32: Python takes them as they are, with no UTF-8 pass between.
py::str Str(const wchar_t* text, std::size_t length) {
  PyObject* s = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text, static_cast<Py_ssize_t>(length));
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}
py::str Str(const std::wstring& text) { return Str(text.data(), text.size()); }

// ---------------------------------------------------------------- unit labels

// A value read with a metrics factor is in host units: lengths in the host's length unit, everything else in
// SI (N, kg, rad; a pressure in N per host length squared). Its label says so, in the unit grammar the catalogs
// use, so that "cm2" of a host in millimetres reads "mm2" and "MPa" reads "N/mm2".

// The symbol of the host length unit, or a text naming it through the metre when it has none.
std::wstring LengthSymbol(double metrics) {
  static const std::pair<double, const wchar_t*> kNames[] = {
      {1e-3, L"km"}, {1, L"m"},           {10, L"dm"},         {100, L"cm"},
      {1000, L"mm"}, {1 / 0.0254, L"in"}, {1 / 0.3048, L"ft"}, {1 / 0.9144, L"yd"}};
  for (const auto& [factor, symbol] : kNames)
    if (std::fabs(metrics - factor) <= 1e-12 * factor) return symbol;
  return L"(m/" + VdDoubleToString(metrics).str() + L")";
}

// Powers of the four base quantities of a host unit.
struct Dimension {
  int length = 0, force = 0, mass = 0, angle = 0;
  void Add(const Dimension& d, int sign) {
    length += sign * d.length, force += sign * d.force, mass += sign * d.mass, angle += sign * d.angle;
  }
};

// The dimension of one symbol of the grammar (case ignored: catalogs keep their unit texts in lower case).
std::optional<Dimension> SymbolDimension(const std::wstring& symbol) {
  static const std::map<std::wstring, Dimension> kSymbols = [] {
    std::map<std::wstring, Dimension> m;
    for (const wchar_t* s : {L"mm", L"cm", L"dm", L"m", L"km", L"in", L"ft", L"yd"}) m[s] = {1, 0, 0, 0};
    for (const wchar_t* s : {L"n", L"dan", L"kn", L"mn", L"kgf", L"tf", L"lbf", L"kip"}) m[s] = {0, 1, 0, 0};
    for (const wchar_t* s : {L"g", L"kg", L"t", L"lb"}) m[s] = {0, 0, 1, 0};
    for (const wchar_t* s : {L"pa", L"kpa", L"mpa", L"gpa", L"psi", L"ksi"}) m[s] = {-2, 1, 0, 0};
    for (const wchar_t* s : {L"rad", L"deg", L"\u00b0", L"grad"}) m[s] = {0, 0, 0, 1};
    for (const wchar_t* s : {L"%", L"-"}) m[s] = {};
    return m;
  }();
  std::wstring folded = symbol;
  for (wchar_t& c : folded)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  if (const auto found = kSymbols.find(folded); found != kSymbols.end()) return found->second;
  // A force or mass written directly before a length: "kNm", "Nmm", "tm".
  for (std::size_t cut = 1; cut < folded.size(); ++cut) {
    const auto head = kSymbols.find(folded.substr(0, cut));
    const auto tail = kSymbols.find(folded.substr(cut));
    if (head == kSymbols.end() || tail == kSymbols.end() || tail->second.length != 1) continue;
    if (head->second.force != 1 && head->second.mass != 1) continue;
    Dimension d = head->second;
    d.Add(tail->second, 1);
    return d;
  }
  return std::nullopt;
}

// The power written after a symbol ("2", "-4", "^2", "**3", "²", "⁻¹"), split off `token`; 1 without one.
std::optional<int> SplitPower(std::wstring& token) {
  static const std::wstring kSuper = L"\u2070\u00b9\u00b2\u00b3\u2074\u2075\u2076\u2077\u2078\u2079";
  std::size_t end = token.size();
  int value = 0, scale = 1;
  while (end > 0) {
    const wchar_t c = token[end - 1];
    const std::size_t super = kSuper.find(c);
    const int digit = c >= L'0' && c <= L'9' ? c - L'0' : super != std::wstring::npos ? static_cast<int>(super) : -1;
    if (digit < 0) break;
    value += digit * scale, scale *= 10, --end;
  }
  if (end == token.size()) return 1;
  if (end > 0 && (token[end - 1] == L'-' || token[end - 1] == L'\u207b')) value = -value, --end;
  if (end > 0 && token[end - 1] == L'+') --end;
  if (end > 0 && token[end - 1] == L'^')
    --end;
  else if (end > 1 && token.compare(end - 2, 2, L"**") == 0)
    end -= 2;
  if (end == 0 || value == 0) return std::nullopt;
  token.resize(end);
  return value;
}

// The dimension of a unit text, read left to right as the grammar reads it; nullopt for a text it cannot
// take apart.
std::optional<Dimension> TextDimension(const std::wstring& text) {
  Dimension out;
  std::wstring token;
  int sign = 1;
  std::wstring rest = text;
  while (!rest.empty() && (rest.front() == L' ' || rest.front() == L'\t')) rest.erase(0, 1);
  while (!rest.empty() && (rest.back() == L' ' || rest.back() == L'\t')) rest.pop_back();
  if (rest.compare(0, 2, L"1/") == 0) rest.erase(0, 1);  // "1/m": the quotient of nothing by m
  auto flush = [&]() -> bool {
    if (token.empty()) return true;
    const std::optional<int> power = SplitPower(token);
    const std::optional<Dimension> d = power ? SymbolDimension(token) : std::nullopt;
    if (!d) return false;
    for (int i = 0; i < std::abs(*power); ++i) out.Add(*d, *power < 0 ? -sign : sign);
    token.clear();
    return true;
  };
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const wchar_t c = rest[i];
    const bool power = c == L'*' && i + 1 < rest.size() && rest[i + 1] == L'*';
    if (power) {
      token += L"**";
      ++i;
    } else if (c == L'.' || c == L'*' || c == L'\u00b7' || c == L'\u22c5' || c == L'/') {
      if (!flush()) return std::nullopt;
      sign = c == L'/' ? -1 : 1;
    } else {
      token += c;
    }
  }
  if (!flush()) return std::nullopt;
  return out;
}

// The label of values read in host units from a column whose unit is `stored`.
std::wstring HostUnitLabel(const CString& stored, double metrics) {
  const std::optional<Dimension> d = TextDimension(stored.str());
  if (!d) return stored.str();
  std::wstring up, down;
  auto term = [&](const std::wstring& symbol, int power) {
    if (power == 0) return;
    std::wstring text = symbol + (std::abs(power) == 1 ? L"" : std::to_wstring(std::abs(power)));
    if (power > 0)
      up += (up.empty() ? L"" : L".") + text;
    else
      down += L"/" + text;
  };
  term(L"N", d->force);
  term(L"kg", d->mass);
  term(LengthSymbol(metrics), d->length);
  term(L"rad", d->angle);
  if (up.empty() && !down.empty()) up = L"1";
  return up + down;
}

// ---------------------------------------------------------------- what a column holds

enum class Holds { kBool, kInteger, kReal, kSingle, kText, kDate, kBinary, kAny };

Holds HoldsOf(SWORD sqlType) {
  switch (sqlType) {
    case SQL_BIT:
      return Holds::kBool;
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return Holds::kInteger;
    case SQL_REAL:
    case SQL_FLOAT:  // both are stored as single precision by the file engine and the server
      return Holds::kSingle;
    case SQL_DOUBLE:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return Holds::kReal;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
      return Holds::kText;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
    case SQL_DATETIME:
      return Holds::kDate;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return Holds::kBinary;
    default:
      return Holds::kAny;  // a column without a declared type holds what it is given
  }
}

// The range of an integer column of `sqlType` and its words for messages.
struct Range {
  long long low, high;
  const char* words;
};
Range RangeOf(SWORD sqlType) {
  switch (sqlType) {
    case SQL_TINYINT:
      return {0, 255, "a byte, 0 to 255"};
    case SQL_SMALLINT:
      return {INT16_MIN, INT16_MAX, "16-bit"};
    case SQL_INTEGER:
      return {INT32_MIN, INT32_MAX, "32-bit"};
    default:
      return {INT64_MIN, INT64_MAX, "64-bit"};
  }
}

// The whole number a variant holds, if it holds an integer.
std::optional<long long> IntegerOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1:
      return v.cVal;
    case VT_UI1:
      return v.bVal;
    case VT_I2:
      return v.iVal;
    case VT_UI2:
      return v.uiVal;
    case VT_I4:
      return v.lVal;
    case VT_INT:
      return v.intVal;
    case VT_UI4:
      return v.ulVal;
    case VT_UINT:
      return v.uintVal;
    case VT_I8:
      return v.llVal;
    default:
      return std::nullopt;
  }
}

// Whether `d`, a whole number, is within the range of a long long (2^63 itself is not).
bool InLongLong(double d) { return d >= -9223372036854775808.0 && d < 9223372036854775808.0; }

// The value as a message shows it: a number as itself, else its kind.
std::string Shown(const VARIANT& v) {
  if (const std::optional<long long> integer = IntegerOf(v)) return std::to_string(*integer);
  if (v.vt == VT_R8) return VdDoubleToString(v.dblVal).ToUtf8();
  if (v.vt == VT_R4) return VdDoubleToString(v.fltVal).ToUtf8();
  if (v.vt == VT_BSTR) return "text";
  if (v.vt == VT_BOOL) return v.boolVal != VARIANT_FALSE ? "True" : "False";
  if (v.vt == VT_DATE) return "a date";
  if (v.vt == VT_CY) return "a currency amount";
  return "bytes";
}

// Makes `value` of parameter `param` what a column of `sqlType` stores exactly: a whole number within the range
// of an integer column, a number a double (or single) holds exactly, a date parsed from ISO text. False, with
// the refusal recorded, when it cannot be; a value already of the column's kind is left as it is.
bool Fit(COleVariant& value, SWORD sqlType, const std::string& param) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL) return true;
  const std::string who = "parameter " + param + ": ";
  const Holds holds = HoldsOf(sqlType);
  const std::optional<long long> integer = IntegerOf(value);
  const bool real = value.vt == VT_R8 || value.vt == VT_R4;
  const double number = value.vt == VT_R8 ? value.dblVal : value.vt == VT_R4 ? value.fltVal : 0.0;
  if (real && !std::isfinite(number))
    return Refuse(Refused::kValue, who + "NaN and infinities are not stored (None is a missing value)");
  auto mismatch = [&](const char* column) {
    return Refuse(Refused::kValue, who + "its column holds " + column + ", not " + Shown(value));
  };
  switch (holds) {
    case Holds::kBool:
      if (value.vt == VT_BOOL) return true;
      if (integer && (*integer == 0 || *integer == 1)) {
        value = COleVariant(static_cast<short>(*integer), VT_BOOL);
        return true;
      }
      return mismatch("a boolean (True, False or None)");
    case Holds::kInteger: {
      long long whole = 0;
      if (integer) {
        whole = *integer;
      } else if (value.vt == VT_BOOL) {
        whole = value.boolVal != VARIANT_FALSE;
      } else if (real) {
        if (number != std::trunc(number)) return mismatch("whole numbers");
        if (!InLongLong(number)) return Refuse(Refused::kOverflow, who + "beyond the range of its 64-bit column");
        whole = static_cast<long long>(number);
      } else {
        return mismatch("whole numbers");
      }
      const Range range = RangeOf(sqlType);
      if (whole < range.low || whole > range.high)
        return Refuse(Refused::kOverflow,
                      who + std::to_string(whole) + " is beyond the range of its column (" + range.words + ")");
      VARIANT exact{};
      exact.vt = VT_I8;
      exact.llVal = whole;
      value = exact;
      return true;
    }
    case Holds::kReal:
    case Holds::kSingle: {
      const bool single = holds == Holds::kSingle;
      if (real) {
        if (single && std::fabs(number) > FLT_MAX)
          return Refuse(Refused::kOverflow, who + "beyond the range of its single-precision column");
        return true;
      }
      if (value.vt == VT_CY) return true;  // read from a currency column; the engines store it as a number
      if (!integer && value.vt != VT_BOOL) return mismatch("numbers");
      // Stored as a double, so that the column's unit applies to it as to any number.
      const long long whole = integer ? *integer : value.boolVal != VARIANT_FALSE;
      const double d = single ? static_cast<double>(static_cast<float>(whole)) : static_cast<double>(whole);
      if (!InLongLong(d) || static_cast<long long>(d) != whole)
        return Refuse(Refused::kOverflow, who + std::to_string(whole) + " has no exact value in its " +
                                              (single ? "single-precision column (whole numbers exactly up to 2**24)"
                                                      : "double column (whole numbers exactly up to 2**53)"));
      value = d;
      return true;
    }
    case Holds::kText:
      if (value.vt != VT_BSTR) return mismatch("text");
      return true;
    case Holds::kDate: {
      if (value.vt == VT_DATE) return true;
      COleDateTime date;
      if (value.vt != VT_BSTR || !date.ParseIso(value.bstrVal ? value.bstrVal : L""))
        return Refuse(Refused::kValue, who + "its column holds dates (text YYYY-MM-DD [HH:MM:SS])");
      value = date;
      return true;
    }
    case Holds::kBinary:
      if (value.vt == (VT_ARRAY | VT_UI1)) return true;
      return mismatch("bytes (only as read from a catalog)");
    case Holds::kAny:
      return true;
  }
  return true;
}

// ---------------------------------------------------------------- factory and catalog

// The host's factory: its unit manager holds the metrics factor (host length units per metre); its database
// failures are recorded for the binding besides being reported. Its writes refuse what would not be stored
// exactly (see Fit): the catalog then cancels the row, and the binding raises the refusal.
class HostFactory : public CVdPatternFactory {
 public:
  // A missing value reads as None (NaN in arrays), never as its column type's zero.
  explicit HostFactory(CVdUnitManager* units) {
    m_pUnitManager = units;
    m_bKeepNulls = true;
  }

  // The columns of the last result read, as the table spells and orders them ("Name" first).
  const std::vector<std::wstring>& Described() const { return m_described; }
  void Forget() { m_described.clear(); }

  bool ModifyTableFromPattern(CVdRecordset* recordSet, CVdPattern* pattern, const wchar_t* familyCode,
                              std::map<std::wstring, UNITINFO> units, bool useUnits) override {
    if (!recordSet || !pattern) return false;
    m_types.clear();
    m_taken.clear();
    try {
      CODBCFieldInfo info;
      for (short i = 0, count = recordSet->GetODBCFieldCount(); i < count; ++i) {
        recordSet->GetODBCFieldInfo(i, info);
        m_types.push_back(info.m_nSQLType);
      }
    } catch (CDBException* e) {
      OnDBException(e);
      e->Delete();
      return false;
    }
    if (!CVdPatternFactory::ModifyTableFromPattern(recordSet, pattern, familyCode, std::move(units), useUnits) ||
        t_refusal.kind != Refused::kNone)
      return false;
    // A parameter that no column took would be lost (a typo of a column's name, most likely).
    std::wstring name;
    CVdPatternValue* value = nullptr;
    for (bool more = pattern->FindFirstParam(0, name, value); more; more = pattern->FindNextParam(name, value)) {
      if (m_taken.count(value)) continue;
      if (VdCompareNoCase(name, L"Name") == 0)
        return Refuse(Refused::kKey, "parameter name: the Name column holds the pattern's name (Pattern.name)");
      return Refuse(Refused::kKey,
                    "parameter " + VdToUtf8(name) + " is not a column of family " + pattern->GetFamily().ToUtf8());
    }
    return true;
  }

 protected:
  bool GetPatternValue(CVdPattern* pattern, const wchar_t* columnName, unsigned int column,
                       COleVariant* value) override {
    if (!CVdPatternFactory::GetPatternValue(pattern, columnName, column, value)) return false;
    const std::wstring name = GetMappedName(columnName, column);
    CVdPatternValue* stored = nullptr;
    if (pattern->GetValue(pattern->GetMapOfAttribute(name.c_str()), name, &stored)) m_taken.insert(stored);
    if (t_refusal.kind != Refused::kNone) return false;  // the row is cancelled anyway
    return column >= m_types.size() || Fit(*value, m_types[column], VdToUtf8(name));
  }

  void OnDBException(CDBException* e) override {
    Record(e);
    CVdPatternFactory::OnDBException(e);
  }

  void OnColumnsDescribed(const std::vector<std::wstring>& names) override { m_described = names; }

 private:
  std::vector<std::wstring> m_described;
  std::vector<SWORD> m_types;                // of the columns of the row being written
  std::set<const CVdPatternValue*> m_taken;  // the values a column took; borrowed from the pattern
};

// pandas, imported when a call that gives a DataFrame needs it; ImportError saying what needs it otherwise.
py::module_ Pandas(const char* needs, const char* instead = "") {
  try {
    return py::module_::import("pandas");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    throw py::import_error(std::string(needs) + " needs pandas (Debian package python3-pandas)" + instead);
  }
}

// A value the history kept, as Python types it: None, bool, int, float, str (texts and ISO dates) or bytes.
py::object HistoryObject(const vdpattern::HistoryValue& v) {
  const py::str text(VdToUtf8(v.text));
  switch (v.type) {
    case vdpattern::HistoryValue::eNull:
      return py::none();
    case vdpattern::HistoryValue::eBool:
      return py::bool_(v.text == L"true");
    case vdpattern::HistoryValue::eInteger:
      return py::int_(text);  // Python reads the C-locale digits whatever the process's locale
    case vdpattern::HistoryValue::eReal:
      return py::float_(text);
    case vdpattern::HistoryValue::eBytes:
      return py::module_::import("builtins").attr("bytes").attr("fromhex")(text);
    case vdpattern::HistoryValue::eText:
    case vdpattern::HistoryValue::eDate:
      break;
  }
  return std::move(text);
}

class HostCatalog : public CVdPatternCatalog {
 public:
  using CVdPatternCatalog::CVdPatternCatalog;

 protected:
  void OnDBException(CDBException* e) override {
    Record(e);
    CVdPatternCatalog::OnDBException(e);
  }
};

// The KeyError text of a name not found: the name, or "X matches A and B" when its spelling reaches several rows.
std::string Candidates(const std::string& name, const std::vector<std::wstring>& names) {
  if (names.size() < 2) return name;
  std::string text = name + " matches ";
  for (std::size_t i = 0; i < names.size(); ++i)
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + VdToUtf8(names[i]);
  return text;
}

// A catalog opened on `path` with `factory`; raises DatabaseError when it cannot be opened. Opened after
// construction, so that the override of OnDBException sees the failure.
std::unique_ptr<HostCatalog> OpenCatalog(const std::string& path, CVdPatternFactory* factory, bool ownsFactory) {
  auto catalog = std::make_unique<HostCatalog>(static_cast<const wchar_t*>(nullptr), factory, ownsFactory);
  const CString wide = WideC(Whole(path, "path"));
  ClearFailure();
  bool opened;
  {
    py::gil_scoped_release release;
    opened = catalog->Open(wide) && catalog->IsOpened();
  }
  if (!opened) RaiseFailure(path + " cannot be opened as a catalog");
  catalog->SetHasUnits(true);  // reads give host units, writes store catalog units
  return catalog;
}

// The factor that turns a stored value of `family`'s parameter into host units, or nullopt without a unit.
std::optional<double> HostFactor(CVdPatternCatalog& catalog, const std::wstring& family, const std::wstring& param) {
  const CVdPatternCatalog::FamilyUnits units = catalog.GetUnitsMap(CString(family.c_str()).MakeUpper().str());
  const auto found = units.find(param);
  if (found == units.end() || !catalog.GetFactory()) return std::nullopt;
  return catalog.GetFactory()->GetUnitFactor(found->second.unit);
}

// A single pattern's read (GetPattern) gives stored values; this turns them into host units as family reads do.
void ToHostUnits(CVdPatternCatalog& catalog, CVdPattern& pattern) {
  const std::wstring family = pattern.GetFamily().str();
  std::wstring name;
  CVdPatternValue* value = nullptr;
  for (bool more = pattern.FindFirstParam(0, name, value); more; more = pattern.FindNextParam(name, value)) {
    if (!value || value->vt != VT_R8 || value->dblVal == 0) continue;
    if (const auto factor = HostFactor(catalog, family, name)) value->dblVal *= *factor;
  }
}

// ---------------------------------------------------------------- values

py::object ToPython(const VARIANT* v) {
  if (!v) return py::none();
  switch (v->vt) {
    case VT_EMPTY:
    case VT_NULL:
      return py::none();
    case VT_R8:
      return py::float_(v->dblVal);
    case VT_R4:
      return py::float_(v->fltVal);
    case VT_I2:
      return py::int_(v->iVal);
    case VT_I4:
    case VT_INT:
      return py::int_(v->lVal);
    case VT_I8:
      return py::int_(v->llVal);
    case VT_UI1:
      return py::int_(v->bVal);
    case VT_BOOL:
      return py::bool_(v->boolVal != 0);
    case VT_BSTR:
      return v->bstrVal ? Str(v->bstrVal, SysStringLen(v->bstrVal)) : py::str("");
    default:
      return Str(VariantToString(v).str());
  }
}

// Sets parameter `name` from a Python value (float, int, bool, str or None); the pattern owns the new value. An
// int is held as a 64-bit integer, or beyond that as a double only when the double equals it; NaN, infinities
// and a str holding a NUL are refused here, before any write.
void SetParam(CVdPattern& pattern, const std::string& name, const py::handle& value) {
  const std::wstring key = Wide(Whole(name, "a parameter name"));
  const std::string who = "parameter " + name;
  bool stored = false;
  if (value.is_none()) {
    VARIANT null{};
    null.vt = VT_NULL;
    stored = pattern.SetValue(0, key, new CVdPatternValue(null));
  } else if (py::isinstance<py::bool_>(value)) {
    stored = pattern.SetValue(0, key, new CVdPatternValue(static_cast<short>(value.cast<bool>()), VT_BOOL));
  } else if (py::isinstance<py::int_>(value)) {
    int overflow = 0;
    const long long whole = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (!overflow) {
      if (whole == -1 && PyErr_Occurred()) throw py::error_already_set();
      VARIANT exact{};
      exact.vt = VT_I8;
      exact.llVal = whole;
      stored = pattern.SetValue(0, key, new CVdPatternValue(exact));
    } else {
      // Beyond 64 bits it is kept only as a double equal to it; Python compares an int and a float exactly.
      const double d = PyLong_AsDouble(value.ptr());
      const bool exact = !(d == -1.0 && PyErr_Occurred()) && py::float_(d).equal(value);
      PyErr_Clear();
      if (!exact) {
        PyErr_SetString(PyExc_OverflowError, (who + ": the int is beyond 64 bits, and no double equals it").c_str());
        throw py::error_already_set();
      }
      stored = pattern.SetParam(0, key, d);
    }
  } else if (py::isinstance<py::float_>(value)) {
    const double d = value.cast<double>();
    if (!std::isfinite(d)) throw py::value_error(who + ": NaN and infinities are not stored (None is a missing value)");
    stored = pattern.SetParam(0, key, d);
  } else if (py::isinstance<py::str>(value)) {
    stored = pattern.SetParam(0, key, Wide(Whole(value.cast<std::string>(), ("the value of " + who).c_str())));
  } else {
    throw py::type_error("a parameter value is a float, an int, a bool, a str or None, not " +
                         std::string(py::str(value.get_type().attr("__name__"))));
  }
  if (!stored) throw py::value_error("the pattern refused " + who);
}

py::dict Params(CVdPattern& pattern) {
  py::dict out;
  std::wstring name;
  CVdPatternValue* value = nullptr;
  for (bool more = pattern.FindFirstParam(0, name, value); more; more = pattern.FindNextParam(name, value))
    out[Str(name)] = ToPython(value);
  return out;
}

// A copy that keeps the GUID: what Python receives for a pattern another owner keeps.
std::unique_ptr<CVdPattern> Copy(CVdPattern& pattern) {
  std::unique_ptr<CVdPattern> copy(pattern.GetClone());
  copy->SetGUID(pattern.GetGUID());
  copy->SetPatternType(pattern.GetPatternType());
  copy->SetCatalog(pattern.GetCatalog());
  return copy;
}

// The units of `family`'s parameters as its patterns are read, by parameter name: the catalog's own ("h": "cm")
// without metrics, else the host's ("h": "mm" for metrics 1000).
py::dict UnitsOf(CVdPatternCatalog& catalog, const std::wstring& family) {
  const CVdPatternFactory* factory = catalog.GetFactory();
  const CVdUnitManager* host = factory ? factory->GetUnitManager() : nullptr;
  py::dict out;
  for (const auto& [param, info] : catalog.GetUnitsMap(CString(family.c_str()).MakeUpper().str()))
    out[Str(param)] =
        Str(host ? HostUnitLabel(info.unit.GetText(), host->GetMetricsFactor()) : info.unit.GetText().str());
  return out;
}

// The Python object of a pattern that Python now owns, with the units its catalog stores it in (Pattern.units).
py::object Wrap(std::unique_ptr<CVdPattern> pattern, const py::dict& units) {
  py::object out = py::cast(std::move(pattern));
  out.attr("__dict__")["_units"] = py::dict(units);  // a copy per pattern: each may be changed alone
  return out;
}

// ---------------------------------------------------------------- columns of a family

// A family read into NumPy columns: "name" first, then each parameter. Numbers (and booleans, and integers
// with a missing value) become float64 with NaN for a missing value, integers int64, the rest object arrays
// of str or None. The numeric columns are filled in one pass over the pool with the GIL released.
struct Columns {
  std::vector<std::wstring> names;  // parameter names, in the patterns' order
  std::vector<py::array> arrays;    // "name" first, then one per parameter
  std::map<std::wstring, std::string> units;
};

enum class Kind { kDouble, kInteger, kObject };

Kind KindOf(VARTYPE vt) {
  switch (vt) {
    case VT_R8:
    case VT_R4:
    case VT_BOOL:
      return Kind::kDouble;
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_I8:
    case VT_UI1:
      return Kind::kInteger;
    default:
      return Kind::kObject;
  }
}

bool IsNull(const VARIANT* v) { return !v || v->vt == VT_NULL || v->vt == VT_EMPTY; }

double AsDouble(const VARIANT* v) {
  if (IsNull(v)) return std::numeric_limits<double>::quiet_NaN();
  switch (v->vt) {
    case VT_R8:
      return v->dblVal;
    case VT_R4:
      return v->fltVal;
    case VT_BOOL:
      return v->boolVal ? 1.0 : 0.0;
    case VT_I2:
      return v->iVal;
    case VT_I4:
    case VT_INT:
      return v->lVal;
    case VT_I8:
      return static_cast<double>(v->llVal);
    case VT_UI1:
      return v->bVal;
    default:
      return std::numeric_limits<double>::quiet_NaN();
  }
}

long long AsInteger(const VARIANT* v) {
  switch (v->vt) {
    case VT_I2:
      return v->iVal;
    case VT_I4:
    case VT_INT:
      return v->lVal;
    case VT_I8:
      return v->llVal;
    case VT_UI1:
      return v->bVal;
    default:
      return 0;
  }
}

// The values of each pattern by parameter (null where a pattern lacks one); borrowed from the pool.
struct Grid {
  std::vector<CVdPattern*> patterns;
  std::vector<std::wstring> params;                 // in first-seen order
  std::vector<std::vector<const VARIANT*>> values;  // one per parameter, one entry per pattern
  const VARIANT* at(std::size_t row, std::size_t col) const { return values[col][row]; }
};

// `patterns` in natural order of their names; ties (names equal but for case) by the names' code points.
void SortNaturally(std::vector<CVdPattern*>& patterns) {
  struct Keyed {
    std::wstring folded;
    const std::wstring* name;
    CVdPattern* pattern;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(patterns.size());
  for (CVdPattern* p : patterns) {
    CString* name = nullptr;
    p->GetUserNameW(name);
    keyed.push_back({name->str(), &name->str(), p});
    VdFoldLower(keyed.back().folded);
  }
  auto less = [](const Keyed& a, const Keyed& b) {
    return VdNaturalLessFolded(a.folded, b.folded) || (!VdNaturalLessFolded(b.folded, a.folded) && *a.name < *b.name);
  };
  if (std::is_sorted(keyed.begin(), keyed.end(), less)) return;
  std::stable_sort(keyed.begin(), keyed.end(), less);
  for (std::size_t i = 0; i < keyed.size(); ++i) patterns[i] = keyed[i].pattern;
}

// One pass over the pool. Patterns of one family share their names, so each value usually belongs to the
// column after the previous one; only a pattern that differs costs a lookup.
void FillGrid(CVdPatternPool& pool, Grid& grid) {
  for (CVdPattern* p = pool.FindFirstPattern(); p; p = pool.FindNextPattern()) grid.patterns.push_back(p);
  SortNaturally(grid.patterns);
  const std::size_t rows = grid.patterns.size();
  std::map<std::wstring, std::size_t> index;
  std::wstring name;
  CVdPatternValue* value = nullptr;
  for (std::size_t row = 0; row < rows; ++row) {
    CVdPattern& p = *grid.patterns[row];
    std::size_t col = 0;
    for (bool more = p.FindFirstParam(0, name, value); more; more = p.FindNextParam(name, value), ++col) {
      if (col >= grid.params.size() || grid.params[col] != name) {
        auto found = index.find(name);
        if (found == index.end()) {
          found = index.emplace(name, grid.params.size()).first;
          grid.params.push_back(name);
          grid.values.emplace_back(rows, nullptr);
        }
        col = found->second;
      }
      grid.values[col][row] = value;
    }
  }
}

// An object array of `rows` items made by `make(row)`. NumPy starts an object array with null slots (or None);
// each slot takes over the reference that `make` returns.
template <typename Make>
py::array Objects(std::size_t rows, Make&& make) {
  py::array a(py::dtype("O"), py::array::ShapeContainer{static_cast<py::ssize_t>(rows)});
  auto** slots = static_cast<PyObject**>(a.mutable_data());
  for (std::size_t row = 0; row < rows; ++row) {
    PyObject* item = make(row).release().ptr();
    Py_XDECREF(slots[row]);
    slots[row] = item;
  }
  return a;
}

// The thread that made an object; every call from another thread is refused (see the header comment).
class OwnThread {
 public:
  explicit OwnThread(const char* what) : m_what(what) {}
  void Check() const {
    if (std::this_thread::get_id() != m_thread)
      throw std::runtime_error(std::string("a vdpattern.") + m_what + " is used only by the thread that made it");
  }

 private:
  const char* m_what;
  std::thread::id m_thread = std::this_thread::get_id();
};

// ---------------------------------------------------------------- Catalog

class Catalog {
 public:
  Catalog(const std::string& path, std::optional<double> metrics)
      : m_units(std::make_unique<CVdUnitManager>(metrics.value_or(1.0))) {
    if (metrics && !(*metrics > 0 && std::isfinite(*metrics)))
      throw py::value_error("metrics is the number of host length units per metre: a positive number");
    // Without metrics no unit manager: values stay as the catalog stores them.
    auto* factory = new HostFactory(metrics ? m_units.get() : nullptr);
    m_catalog = OpenCatalog(path, factory, true);  // owns the factory; deletes it when construction fails
    // Names as engineers write them, as the tool reads them: a name not found as given is found by its alias
    // or spelling when that reaches one row ("HE 300 B" is HEB 300). Not under a manager, which asks every
    // catalog for the exact name first (Manager).
    m_catalog->SetMatchSpellings(true);
    m_factory = factory;
  }

  HostCatalog& Open() {
    m_thread.Check();
    if (!m_catalog) throw py::value_error("the catalog is closed");
    return *m_catalog;
  }

  void Close() {
    m_thread.Check();
    if (!m_catalog) return;
    py::gil_scoped_release release;
    m_catalog.reset();
  }

  std::string Path() { return Open().GetPath().ToUtf8(); }
  std::string Name() { return Open().GetName().ToUtf8(); }

  std::vector<std::string> Families() {
    HostCatalog& catalog = Open();
    std::list<std::wstring> families;
    ClearFailure();
    bool read;
    {
      py::gil_scoped_release release;
      read = catalog.GetFamilies(families);
    }
    if (!read) RaiseFailure("the families cannot be read");
    std::vector<std::string> out;
    for (const std::wstring& f : families) out.push_back(VdToUtf8(f));
    return out;
  }

  // The family's patterns in a pool that the caller owns; KeyError for a family the catalog does not have.
  std::unique_ptr<CVdPatternPool> Read(const std::string& family) {
    HostCatalog& catalog = Open();
    const std::wstring wide = Wide(Whole(family, "family"));
    auto pool = std::make_unique<CVdPatternPool>(true, catalog.GetFactory());
    m_factory->Forget();  // an empty family describes no columns: none of another family's stay
    ClearFailure();
    bool exists, read = false;
    {
      py::gil_scoped_release release;
      exists = catalog.FindFamily(wide.c_str());
      if (exists) read = catalog.GetFamilyPattern(pool.get(), wide.c_str(), nullptr);
    }
    if (!exists && !t_failure.set) throw py::key_error(family);
    if (!exists || !read) RaiseFailure("family " + family + " cannot be read");
    return pool;
  }

  py::list Family(const std::string& family) {
    std::unique_ptr<CVdPatternPool> pool = Read(family);
    py::list out;
    const py::dict units = UnitsOf(Open(), Wide(family));
    // The pool gives each pattern up to Python: erased without deleting, then owned by its Python object.
    std::vector<CVdPattern*> patterns;
    while (CVdPattern* p = pool->FindPattern(0)) {
      pool->ErasePattern(0, false);
      patterns.push_back(p);
    }
    SortNaturally(patterns);
    for (CVdPattern* p : patterns) out.append(Wrap(std::unique_ptr<CVdPattern>(p), units));
    return out;
  }

  py::object Get(const std::string& name, const std::optional<std::string>& family) {
    HostCatalog& catalog = Open();
    const std::wstring wideName = Wide(Whole(name, "name"));
    const std::wstring wideFamily = family ? Wide(Whole(*family, "family")) : std::wstring();
    ClearFailure();
    std::unique_ptr<CVdPattern> found;
    {
      py::gil_scoped_release release;
      found.reset(catalog.GetPattern(wideName.c_str(), family ? wideFamily.c_str() : nullptr));
      if (found) ToHostUnits(catalog, *found);
    }
    if (!found && t_failure.set) RaiseFailure("pattern " + name + " cannot be read");
    if (!found) {
      std::vector<CVdPatternCatalog::NameMatch> matches;
      std::vector<std::wstring> names;
      if (catalog.FindNames(wideName.c_str(), family ? wideFamily.c_str() : nullptr, matches))
        for (const auto& m : matches) names.push_back(m.name);
      throw py::key_error(Candidates(name, names));
    }
    const py::dict units = UnitsOf(catalog, found->GetFamily().str());
    return Wrap(std::move(found), units);
  }

  void Insert(CVdPattern& pattern) {
    HostCatalog& catalog = Open();
    if (pattern.GetFamily().IsEmpty()) throw py::value_error("the pattern has no family");
    const std::unique_ptr<CVdPattern> copy = Copy(pattern);  // what is written, whatever other threads do
    ClearFailure();
    t_refusal = Refusal();
    bool written;
    {
      py::gil_scoped_release release;
      written = catalog.InsertPattern(copy.get(), false);
    }
    if (written) return;
    RaiseRefusal();
    RaiseFailure("pattern " + pattern.GetUserNameW().ToUtf8() + " cannot be written");
  }

  void Remove(const std::string& name, const std::optional<std::string>& family) {
    HostCatalog& catalog = Open();
    const std::wstring wideName = Wide(Whole(name, "name"));
    const std::wstring wideFamily = family ? Wide(Whole(*family, "family")) : std::wstring();
    const wchar_t* familyText = family ? wideFamily.c_str() : nullptr;
    ClearFailure();
    bool exists = false, removed = false;
    {
      py::gil_scoped_release release;
      exists = catalog.FindPattern(wideName.c_str(), familyText);
      if (exists) removed = catalog.RemovePattern(wideName.c_str(), familyText);
    }
    if (!exists && !t_failure.set) throw py::key_error(name);
    if (!removed) RaiseFailure("pattern " + name + " cannot be removed");
  }

  py::dict Units(const std::string& family) {
    HostCatalog& catalog = Open();
    return UnitsOf(catalog, Wide(Whole(family, "family")));
  }

  // Every column of the family as NumPy arrays, "name" first.
  py::dict Columns(const std::string& family) {
    std::unique_ptr<CVdPatternPool> pool = Read(family);
    Grid grid;
    {
      py::gil_scoped_release release;
      FillGrid(*pool, grid);
    }
    const std::size_t rows = grid.patterns.size();
    const std::size_t cols = grid.params.size();
    // Every column starts as numbers, and each value is read once, converted as its kind is found: the values
    // lie all over the heap, and a second pass to convert them waited on each again. A frame of 50,000
    // patterns took 182-184 ms of CPU time instead of 189-197. Arrays are allocated with the GIL, filled
    // without it.
    std::vector<py::array_t<double>> numbers(cols);
    std::vector<double*> doubles(cols);
    for (std::size_t col = 0; col < cols; ++col) {
      numbers[col] = py::array_t<double>(static_cast<py::ssize_t>(rows));
      doubles[col] = numbers[col].mutable_data();
    }
    std::vector<Kind> kinds(cols, Kind::kObject);
    std::vector<char> anyNull(cols, 0);
    {
      py::gil_scoped_release release;
      for (std::size_t col = 0; col < cols; ++col) {
        bool seen = false;
        for (std::size_t row = 0; row < rows; ++row) {
          const VARIANT* v = grid.at(row, col);
          doubles[col][row] = AsDouble(v);
          if (IsNull(v)) {
            anyNull[col] = 1;
            continue;
          }
          const Kind k = KindOf(v->vt);
          if (!seen)
            kinds[col] = k, seen = true;
          else if (k != kinds[col])
            kinds[col] = (k == Kind::kObject || kinds[col] == Kind::kObject) ? Kind::kObject : Kind::kDouble;
          if (kinds[col] == Kind::kObject) break;
        }
        if (!seen) kinds[col] = Kind::kDouble;  // only missing values: NaN
        if (kinds[col] == Kind::kInteger && anyNull[col]) kinds[col] = Kind::kDouble;
      }
    }
    std::vector<py::array> arrays(cols);
    for (std::size_t col = 0; col < cols; ++col) {
      if (kinds[col] == Kind::kDouble) arrays[col] = numbers[col];
      if (kinds[col] != Kind::kInteger) continue;
      // Integers beyond 2^53 do not survive a double: read again.
      py::array_t<long long> a(static_cast<py::ssize_t>(rows));
      long long* integers = a.mutable_data();
      arrays[col] = a;
      py::gil_scoped_release release;
      for (std::size_t row = 0; row < rows; ++row) integers[row] = AsInteger(grid.at(row, col));
    }
    numbers.clear();
    // The family's columns in its table's order and spelling; a parameter no column names (none, as read) last.
    const std::vector<std::wstring>& described = m_factory->Described();
    std::map<std::wstring, std::size_t> byName;
    for (std::size_t col = 0; col < cols; ++col) byName.emplace(grid.params[col], col);
    std::vector<std::pair<std::wstring, std::size_t>> order;
    std::vector<char> placed(cols, 0);
    for (std::size_t i = 1; i < described.size(); ++i) {
      std::wstring folded = described[i];
      VdFoldLower(folded);
      const auto found = byName.find(folded);
      if (found == byName.end() || placed[found->second]) continue;
      order.emplace_back(described[i], found->second);
      placed[found->second] = 1;
    }
    for (std::size_t col = 0; col < cols; ++col)
      if (!placed[col]) order.emplace_back(grid.params[col], col);
    py::dict out;
    std::wstring name;
    out[Str(described.empty() ? std::wstring(L"Name") : described[0])] = Objects(rows, [&](std::size_t row) {
      grid.patterns[row]->GetUserNameW(name);
      return Str(name);
    });
    for (const auto& [spelled, col] : order) {
      if (kinds[col] == Kind::kObject)
        arrays[col] = Objects(rows, [&, col = col](std::size_t row) { return ToPython(grid.at(row, col)); });
      out[Str(spelled)] = arrays[col];
    }
    {
      py::gil_scoped_release release;
      pool.reset();
    }
    return out;
  }

  py::array Column(const std::string& family, const std::string& param) {
    std::wstring key = Wide(Whole(param, "param"));
    VdFoldLower(key);  // names are compared as patterns compare them, ignoring case
    py::dict columns = Columns(family);
    bool first = true;
    for (const auto& [column, values] : columns) {
      std::wstring folded = Wide(py::str(column));
      VdFoldLower(folded);
      if (folded == key && !first) return py::reinterpret_borrow<py::array>(values);
      first = false;  // the names, not a parameter
    }
    throw py::key_error(param);
  }

  py::object Frame(const std::string& family) {
    const py::module_ pandas =
        Pandas("Catalog.frame", "; Catalog.columns gives the same data as NumPy arrays without it");
    py::dict columns = Columns(family);
    py::object frame = pandas.attr("DataFrame")(columns, py::arg("copy") = false);
    // Units by the frame's own column names.
    const py::dict folded = Units(family);
    py::dict units;
    for (const auto& [column, values] : columns) {
      std::wstring key = Wide(py::str(column));
      VdFoldLower(key);
      if (folded.contains(Str(key))) units[column] = folded[Str(key)];
    }
    frame.attr("attrs")["units"] = units;
    frame.attr("attrs")["family"] = family;
    return frame;
  }

  // Extension: the stored section properties that disagree with those computed from the stored dimensions, as
  // vdcatalog verify finds them (CVdSectionCheck), one row per finding. Values are compared as stored: a
  // family read gives host units, which are turned back with the factor the read applied.
  py::object Verify(const std::optional<std::string>& family, double tolerancePct) {
    if (!(tolerancePct >= 0) || !std::isfinite(tolerancePct))
      throw py::value_error("tolerance is a percentage of at least 0");
    const py::module_ pandas = Pandas("Catalog.verify");
    const std::vector<std::string> families = family ? std::vector<std::string>{*family} : Families();
    py::list records;
    for (const std::string& f : families) {
      const py::dict columns = Columns(f);
      std::vector<std::wstring> names;
      std::vector<py::list> values;
      int shape = -1;
      for (const auto& [column, array] : columns) {
        names.push_back(Wide(py::str(column)));
        values.push_back(array.attr("tolist")().cast<py::list>());
        if (names.size() > 1 && VdCompareNoCase(names.back(), L"Shape") == 0) shape = int(names.size() - 1);
      }
      if (shape < 0) {
        if (family) throw py::value_error("family " + f + " has no Shape column to say which section it is");
        continue;  // the other families hold no sections
      }
      HostCatalog& catalog = Open();
      std::wstring upper = Wide(f);
      VdFoldUpper(upper);
      const CVdPatternCatalog::FamilyUnits units = catalog.GetUnitsMap(upper);
      const std::size_t rows = values.empty() ? 0 : values[0].size();
      for (std::size_t row = 0; row < rows; ++row) {
        std::vector<VdSectionCell> cells;
        for (std::size_t col = 1; col < names.size(); ++col) {
          VdSectionCell cell;
          cell.column = VdToUtf8(names[col]);
          std::wstring folded = names[col];
          VdFoldLower(folded);
          const auto unit = units.find(folded);
          if (unit != units.end()) cell.unit = unit->second.unit.GetText().ToUtf8();
          const py::handle v = values[col][row];
          if (py::isinstance<py::float_>(v) || py::isinstance<py::int_>(v)) {
            const double number = v.cast<double>();
            if (!std::isnan(number)) {
              const auto factor = HostFactor(catalog, upper, folded);
              cell.kind = VdSectionCell::kNumber;
              cell.value = factor && *factor != 0 ? number / *factor : number;
            }
          } else if (!v.is_none()) {
            cell.kind = VdSectionCell::kOther;
          }
          cells.push_back(cell);
        }
        const py::handle shapeValue = values[shape][row];
        const std::string code = py::isinstance<py::str>(shapeValue) ? shapeValue.cast<std::string>() : "";
        for (const VdSectionFinding& finding : CVdSectionCheck::CheckRow(code, cells, tolerancePct / 100).findings) {
          py::dict r;
          r["family"] = f;
          r["name"] = values[0][row];
          r["property"] = finding.property;
          const double nan = std::numeric_limits<double>::quiet_NaN();
          r["stored"] = finding.hasValues ? finding.stored : nan;
          r["computed"] = finding.hasValues ? finding.computed : nan;
          r["difference_pct"] = finding.hasValues ? finding.differencePct : nan;
          r["cause"] = finding.cause;
          records.append(r);
        }
      }
    }
    py::list order;
    for (const char* c : {"family", "name", "property", "stored", "computed", "difference_pct", "cause"})
      order.append(c);
    return pandas.attr("DataFrame")(records, py::arg("columns") = order);
  }

  // Extension: the catalog's history (VdPatternHistory.h), newest first, one row per column a change touched
  // (a change that touched none, such as a prune, has one row with column None).
  py::object History(const std::optional<std::string>& name, const std::optional<std::string>& family,
                     const std::optional<std::string>& since, const std::optional<std::string>& by) {
    const py::module_ pandas = Pandas("Catalog.history");
    HostCatalog& catalog = Open();
    vdpattern::HistoryFilter filter;
    if (name) filter.name = Wide(Whole(*name, "name"));
    if (family) filter.family = Wide(Whole(*family, "family"));
    if (since) filter.since = Wide(Whole(*since, "since"));
    if (by) filter.by = Wide(Whole(*by, "by"));
    std::vector<vdpattern::HistoryEntry> entries;
    ClearFailure();
    CVdPatternCatalog::eChanges read;
    {
      py::gil_scoped_release release;
      read = catalog.GetHistory(filter, entries);
    }
    if (read == CVdPatternCatalog::eChangesFailed) RaiseFailure("the history cannot be read");
    if (read == CVdPatternCatalog::eChangesNotKept) {
      const CString distrust = catalog.GetHistoryDistrust();
      throw py::value_error(distrust.IsEmpty() ? "the catalog keeps no history (vdcatalog upgrade adds one to a file)"
                                               : distrust.ToUtf8());
    }
    static const char* const kColumns[] = {"change", "set",  "at",   "who",    "host",   "program",
                                           "family", "name", "kind", "column", "before", "after"};
    py::list records;
    for (const vdpattern::HistoryEntry& e : entries) {
      const auto record = [&](py::object column, py::object before, py::object after) {
        py::dict r;
        r["change"] = e.change;
        r["set"] = e.set;
        r["at"] = VdToUtf8(e.at);
        r["who"] = VdToUtf8(e.who);
        r["host"] = VdToUtf8(e.host);
        r["program"] = VdToUtf8(e.program);
        r["family"] = VdToUtf8(e.family);
        r["name"] = VdToUtf8(e.name);
        r["kind"] = VdToUtf8(e.kind);
        r["column"] = column;
        r["before"] = before;
        r["after"] = after;
        records.append(r);
      };
      if (e.columns.empty()) record(py::none(), py::none(), py::none());
      for (const vdpattern::HistoryColumn& c : e.columns)
        record(py::str(VdToUtf8(c.column)), HistoryObject(c.before), HistoryObject(c.after));
    }
    py::list order;
    for (const char* c : kColumns) order.append(c);
    // Values of every type share the before and after columns: an object frame keeps each as it is, where
    // pandas would otherwise make 2 a float and None a NaN beside a real.
    py::dict numbers;
    numbers["change"] = "int64";
    numbers["set"] = "int64";
    return pandas.attr("DataFrame")(records, py::arg("columns") = order, py::arg("dtype") = py::str("object"))
        .attr("astype")(numbers);
  }

 private:
  std::unique_ptr<CVdUnitManager> m_units;  // owned; borrowed by the catalog's factory, so declared first
  std::unique_ptr<HostCatalog> m_catalog;   // owned; null once closed
  HostFactory* m_factory = nullptr;         // owned by the catalog
  OwnThread m_thread{"Catalog"};
};

// ---------------------------------------------------------------- Manager

class Manager {
 public:
  explicit Manager(double metrics) : m_units(std::make_unique<CVdUnitManager>(metrics)) {
    if (!(metrics > 0 && std::isfinite(metrics)))
      throw py::value_error("metrics is the number of host length units per metre: a positive number");
    m_factory = new HostFactory(m_units.get());
    m_manager = std::make_unique<CVdPatternManager>(m_factory);  // owns the factory
    m_manager->SetMatchSpellings(true);                          // as each catalog's lookups (OpenCatalog)
  }
  ~Manager() {
    py::gil_scoped_release release;  // closing catalogs may touch the database
    m_manager.reset();
  }

  std::string Attach(const std::string& path) {
    m_thread.Check();
    std::unique_ptr<HostCatalog> catalog = OpenCatalog(path, m_factory, false);
    const std::string name = catalog->GetName().ToUtf8();
    if (!m_manager->AttachCatalog(catalog.get()))
      throw py::value_error("a catalog named " + name + " is attached already");
    catalog.release();  // the manager's now
    return name;
  }

  void Detach(const std::string& name) {
    m_thread.Check();
    if (!m_manager->IsExistCatalog(WideC(Whole(name, "name")))) throw py::key_error(name);
    py::gil_scoped_release release;
    m_manager->DetachCatalog(WideC(name));
  }

  std::vector<std::string> Catalogs() {
    m_thread.Check();
    std::vector<std::string> out;
    for (CVdPatternCatalog* c = m_manager->FindFirstCatalog(); c; c = m_manager->FindNextCatalog())
      out.push_back(c->GetName().ToUtf8());
    return out;
  }

  py::object Get(const std::string& name) {
    m_thread.Check();
    const CString wide = WideC(Whole(name, "name"));
    ClearFailure();
    std::unique_ptr<CVdPattern> result;
    {
      py::gil_scoped_release release;
      CVdPattern::enumCheckUserName check = CVdPattern::eCheckUserNameOk;
      CVdPattern* found = m_manager->GetPattern(wide, CVdPattern::ePatternTypeCatalog, &check);
      if (found && m_manager->FindPatternPositionPool(found) >= 0) {
        result = Copy(*found);  // the pool keeps its own
      } else {
        result.reset(found);
        if (result) {
          if (CVdPatternCatalog* source = m_manager->GetCatalog(result->GetCatalog())) ToHostUnits(*source, *result);
        }
      }
    }
    if (!result && t_failure.set) RaiseFailure("pattern " + name + " cannot be read");
    if (!result) {
      std::vector<CVdPatternManager::NameMatch> matches;
      std::vector<std::wstring> names;
      if (m_manager->FindNames(wide, nullptr, matches))
        for (const auto& m : matches) names.push_back(m.match.name);
      throw py::key_error(Candidates(name, names));
    }
    CVdPatternCatalog* source = m_manager->GetCatalog(result->GetCatalog());
    const py::dict units = source ? UnitsOf(*source, result->GetFamily().str()) : py::dict();
    return Wrap(std::move(result), units);
  }

  // The pool keeps a copy (same GUID); false when it refuses one (a pattern of that name or GUID is pooled).
  bool Keep(CVdPattern& pattern) {
    m_thread.Check();
    std::unique_ptr<CVdPattern> copy = Copy(pattern);
    if (!m_manager->AddPatternPool(copy.get(), false)) return false;
    copy.release();  // the pool's now
    return true;
  }

  int PoolSize() {
    m_thread.Check();
    return m_manager->GetCountPool();
  }

  // The pool brought up to date with the catalogs' change records: {"updated": user names, "removed": GUIDs,
  // "failed": catalogs that could not be asked}. Re-read patterns get the host's units again, as Get gives them.
  py::dict Refresh() {
    m_thread.Check();
    ClearFailure();
    CVdPatternManager::PoolRefresh r;
    {
      py::gil_scoped_release release;
      r = m_manager->RefreshPool();
      for (CVdPattern* p : r.updated)
        if (CVdPatternCatalog* source = m_manager->GetCatalog(p->GetCatalog())) ToHostUnits(*source, *p);
    }
    py::list updated, removed, failed;
    for (CVdPattern* p : r.updated) updated.append(Str(p->GetUserNameW().str()));
    for (const CString& guid : r.removed) removed.append(Str(guid.str()));
    for (const CString& name : r.failed) failed.append(Str(name.str()));
    py::dict out;
    out["updated"] = updated;
    out["removed"] = removed;
    out["failed"] = failed;
    return out;
  }

  std::vector<std::string> Families() {
    m_thread.Check();
    std::list<std::wstring> families;
    {
      py::gil_scoped_release release;
      m_manager->GetFamilies(families);
    }
    std::vector<std::string> out;
    for (const std::wstring& f : families) out.push_back(VdToUtf8(f));
    return out;
  }

  double Metrics() const { return m_units->GetMetricsFactor(); }

 private:
  std::unique_ptr<CVdUnitManager> m_units;       // owned; borrowed by the factory, so declared first
  HostFactory* m_factory = nullptr;              // owned by the manager
  std::unique_ptr<CVdPatternManager> m_manager;  // owned; owns the factory and the attached catalogs
  OwnThread m_thread{"Manager"};
};

}  // namespace

PYBIND11_MODULE(_vdpattern, m) {
  m.doc() = "Patterns, pattern catalogs and a pattern manager of the vdpattern library (see the vdpattern package)";
  m.attr("__version__") = VDPATTERN_VERSION;

  g_databaseError = PyErr_NewExceptionWithDoc("vdpattern.DatabaseError",
                                              "A database failure; .state holds its five-character state (e.g. HYT00).",
                                              nullptr, nullptr);
  m.attr("DatabaseError") = g_databaseError;

  VdSetReportHandler(ReportToLogging);
  VdSetTraceHandler(TraceToLogging);
  // The handlers call into Python: restored to the library's defaults before the interpreter goes.
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    VdSetReportHandler(nullptr);
    VdSetTraceHandler(nullptr);
  }));

  py::class_<CVdPattern, std::unique_ptr<CVdPattern>>(m, "Pattern",
                                                      "A named standard item of a family (\"IPE 200\" of IPE) and "
                                                      "its typed, named parameters.\n\n"
                                                      "p[\"h\"] reads a parameter (names ignore case; None is a "
                                                      "missing value), p[\"h\"] = 200.0 sets one; p.params gives "
                                                      "them all, p.units the unit each is in. A pattern read from "
                                                      "a catalog is Python's alone: changing it changes nothing "
                                                      "stored until Catalog.insert writes it.",
                                                      py::dynamic_attr())
      .def(py::init([](const std::string& name, const std::string& family, const py::dict& params) {
             auto p = std::make_unique<CVdPattern>(1, Wide(Whole(name, "name")).c_str(),
                                                   Wide(Whole(family, "family")).c_str());
             for (const auto& [key, value] : params) SetParam(*p, py::str(key), value);
             return p;
           }),
           py::arg("name"), py::arg("family"), py::arg("params") = py::dict(),
           "TypeError for a value that is no float, int, bool, str or None; ValueError for NaN, an infinity or a "
           "NUL in a text; OverflowError for an int beyond 64 bits that no double equals.")
      .def_property(
          "name", [](CVdPattern& p) { return Str(p.GetUserNameW().str()); },
          [](CVdPattern& p, const std::string& name) { p.SetUserName(WideC(Whole(name, "name"))); })
      .def_property_readonly(
          "family", [](CVdPattern& p) { return Str(p.GetFamily().str()); }, "The family, in lower case.")
      .def_property_readonly(
          "guid", [](CVdPattern& p) { return Str(p.GetGUID().str()); }, "The pattern's GUID, as text.")
      .def_property_readonly(
          "catalog", [](CVdPattern& p) { return Str(p.GetCatalog().str()); },
          "The name of the catalog it was read from (empty for a pattern made in Python).")
      .def_property_readonly("params", &Params,
                             "Every parameter by its lower-case name: float, int, bool, str, or None where the "
                             "catalog holds no value.")
      // The unit each parameter is stored in by its catalog (values are in host units when metrics were given);
      // empty for a pattern made in Python until it is set.
      .def_property(
          "units",
          [](py::object self) -> py::object {
            py::dict attributes = self.attr("__dict__");
            if (!attributes.contains("_units")) attributes["_units"] = py::dict();
            return attributes["_units"];
          },
          [](py::object self, const py::dict& units) { self.attr("__dict__")["_units"] = units; },
          "The unit each parameter's value is in, by parameter name: the catalog's units when it was opened "
          "without metrics, else the host's (mm, mm2, N/mm2 for metrics 1000).")
      .def("__getitem__",
           [](CVdPattern& p, const std::string& name) {
             CVdPatternValue* value = nullptr;
             if (!p.GetValue(0, Wide(Whole(name, "a parameter name")), &value)) throw py::key_error(name);
             return ToPython(value);
           })
      .def("__setitem__", &SetParam, "As the constructor's params: TypeError, ValueError or OverflowError.")
      .def("__contains__",
           [](CVdPattern& p, const std::string& name) {
             CVdPatternValue* value = nullptr;
             return p.GetValue(0, Wide(Whole(name, "a parameter name")), &value);
           })
      .def("__len__", [](CVdPattern& p) { return p.GetSizeParam(0); })
      .def("__repr__", [](CVdPattern& p) {
        return "<Pattern " + p.GetUserNameW().ToUtf8() + " of " + p.GetFamily().ToUtf8() + ">";
      });

  py::class_<Catalog>(m, "Catalog",
                      "A catalog opened on a path: a SQLite file, an Access file (read-only), a link file, or a "
                      "server address (postgresql://...).\n\n"
                      "metrics is the host's length units per metre (1000 for millimetres): values are then "
                      "read and written in host units, and units() names them; without it, as stored.\n\n"
                      "    with vdpattern.Catalog(\"sections.mdb\", metrics=1000) as c:\n"
                      "        p = c.get(\"IPE 200\")          # p[\"h\"] == 200.0, p.units[\"h\"] == \"mm\"\n"
                      "        df = c.frame(\"IPE\")           # the family as a pandas DataFrame\n\n"
                      "Families and patterns not found raise KeyError; database failures DatabaseError.")
      .def(py::init<const std::string&, std::optional<double>>(), py::arg("path"), py::arg("metrics") = py::none(),
           "Opens the catalog; DatabaseError when it cannot be opened, ValueError for metrics that are not a "
           "positive number.")
      .def(
          "__enter__", [](Catalog& c) -> Catalog& { return c; }, py::return_value_policy::reference)
      .def("__exit__", [](Catalog& c, const py::args&) { c.Close(); })
      .def("close", &Catalog::Close, "Closes the catalog (also at the end of a with block); later calls raise.")
      .def_property_readonly("path", &Catalog::Path, "The path or address it was opened on.")
      .def_property_readonly("name", &Catalog::Name, "The catalog's name (its file name without the extension).")
      .def("families", &Catalog::Families, "The names of its families.")
      .def("family", &Catalog::Family, py::arg("family"),
           "Every pattern of the family, in natural order of their names (IPE 80 before IPE 100); KeyError for "
           "a family the catalog does not have.")
      .def("get", &Catalog::Get, py::arg("name"), py::arg("family") = py::none(),
           "The pattern of that name (in that family when one is given); KeyError when there is none. Names are "
           "looked up as the library normalises them (\"IPE 200 mm\" finds \"IPE 200\"), then by the catalog's "
           "aliases and equivalent spellings (\"HE 300 B\", \"heb300\" find \"HEB 300\"): the pattern then "
           "carries the row's real name, and a spelling of several rows raises KeyError naming them.")
      .def("insert", &Catalog::Insert, py::arg("pattern"),
           "Writes the pattern's row, or nothing: KeyError for a parameter without a column, ValueError for a "
           "value of another kind than its column's, OverflowError for a number its column cannot hold exactly, "
           "DatabaseError when the catalog fails.")
      .def("remove", &Catalog::Remove, py::arg("name"), py::arg("family") = py::none(),
           "Removes the pattern's row; KeyError when there is none.")
      .def("units", &Catalog::Units, py::arg("family"),
           "The unit of each parameter of the family that has one, by lower-case name, as values are read: the "
           "host's with metrics (\"mm2\"), the catalog's without.")
      .def("columns", &Catalog::Columns, py::arg("family"),
           "The family as NumPy arrays by column, in the table's order and spelling, the names first; rows in "
           "natural order. Numbers are float64 with NaN for a missing value (int64 when whole and none is "
           "missing); text is an object array of str, with None for a missing value.")
      .def("column", &Catalog::Column, py::arg("family"), py::arg("param"),
           "One column of columns() (its name ignores case); KeyError when the family has none of that name.")
      .def("frame", &Catalog::Frame, py::arg("family"),
           "The family as a pandas DataFrame of columns(); attrs[\"units\"] names each column's unit, "
           "attrs[\"family\"] the family. Needs pandas.")
      .def("verify", &Catalog::Verify, py::arg("family") = py::none(), py::arg("tolerance") = 1.0,
           "Extension: the stored section properties of `family` (default: every family with a Shape column) "
           "outside `tolerance` per cent of those computed from the stored dimensions, as vdcatalog verify finds "
           "them: a DataFrame of family, name, property, stored, computed, difference_pct (in the column's "
           "unit; NaN for a row that cannot be checked) and the likely cause. ValueError for a negative "
           "tolerance or a named family without a Shape column; KeyError for no such family. Needs pandas.")
      .def("history", &Catalog::History, py::arg("name") = py::none(), py::arg("family") = py::none(),
           py::arg("since") = py::none(), py::arg("by") = py::none(),
           "Extension: the edits the library recorded, newest first, as vdcatalog history shows them: a DataFrame "
           "with one row per column a change touched (change, set, at in UTC as ISO text, who, host, program, "
           "family, name, kind, column, before, after). Values are as stored, in the catalog's units, typed "
           "(None for NULL). `name` and `family` ignore case; `since` is an ISO date or time; `by` the writer. "
           "ValueError when the catalog keeps no history (or, on a server, one it cannot trust); DatabaseError on "
           "a failure. Needs pandas.");

  py::class_<Manager>(m, "Manager",
                      "Resolves patterns by name: its pool first, then the attached catalogs in the order they "
                      "were attached, aliases and equivalent spellings understood. Values are in host units (metrics: "
                      "host length units per metre, 1 for "
                      "metres).\n\n"
                      "    m = vdpattern.Manager(metrics=1000)\n"
                      "    m.attach(\"sections.mdb\")\n"
                      "    m.get(\"IPE 200\")[\"h\"]   # 200.0 (mm)")
      .def(py::init<double>(), py::arg("metrics") = 1.0, "ValueError for metrics that are not a positive number.")
      .def_property_readonly("metrics", &Manager::Metrics, "Host length units per metre.")
      .def("attach", &Manager::Attach, py::arg("path"),
           "Opens and attaches the catalog at path and returns its name; DatabaseError when it cannot be "
           "opened, ValueError when a catalog of that name is attached already.")
      .def("detach", &Manager::Detach, py::arg("name"), "Detaches and closes a catalog; KeyError for no such name.")
      .def("catalogs", &Manager::Catalogs, "The names of the attached catalogs, in search order.")
      .def("families", &Manager::Families, "The families of every attached catalog.")
      .def("get", &Manager::Get, py::arg("name"),
           "The first pattern of that name: a copy of the pooled one, else read from the catalogs, where a name "
           "not found as given is found by an alias or an equivalent spelling that reaches one row (\"heb300\" "
           "is \"HEB 300\"); KeyError when none has it.")
      .def("keep", &Manager::Keep, py::arg("pattern"),
           "Puts a copy (same GUID) in the pool, which later lookups find first; False when the pool holds a "
           "pattern of that name or GUID already.")
      .def("refresh", &Manager::Refresh,
           "Extension: re-reads in place (same GUIDs) the pooled patterns that other connections changed; returns "
           "{\"updated\": names, \"removed\": GUIDs, \"failed\": catalogs}.")
      .def("__len__", &Manager::PoolSize, "The number of pooled patterns.");

  m.def(
      "create_catalog",
      [](const std::string& path, const std::string& type, const std::string& editor, int version) {
        Whole(path, "path"), Whole(type, "type"), Whole(editor, "editor");
        CString error;
        bool made;
        {
          py::gil_scoped_release release;
          made = CVdCatalogSchema::CreateCatalog(WideC(path), WideC(type), WideC(editor), version, error);
        }
        if (!made) RaiseDatabaseError(error.ToUtf8(), "");
      },
      py::arg("path"), py::arg("type"), py::arg("editor") = "", py::arg("version") = 1,
      "Creates an empty catalog file (or server schema) at path, of the catalog type given; never over an "
      "existing one (DatabaseError).");
  m.def(
      "add_family",
      [](const std::string& path, const std::string& family, const std::string& code,
         const std::vector<std::tuple<std::string, std::string, std::string>>& columns) {
        Whole(path, "path"), Whole(family, "family"), Whole(code, "code");
        std::vector<CVdCatalogSchema::Column> wide;
        for (const auto& [name, type, unit] : columns)
          wide.push_back({WideC(Whole(name, "a column name")), WideC(Whole(type, "a column type")),
                          WideC(Whole(unit, "a column unit"))});
        CString error;
        bool made;
        {
          py::gil_scoped_release release;
          made = CVdCatalogSchema::AddFamily(WideC(path), WideC(family), WideC(code), wide, error);
        }
        if (!made) RaiseDatabaseError(error.ToUtf8(), "");
      },
      py::arg("path"), py::arg("family"), py::arg("code"), py::arg("columns"),
      "Adds a family to the catalog at path: columns are (name, type, unit) with a declared type (DOUBLE, "
      "INTEGER, TEXT, DATE, ...) and a unit text (\"mm\", \"cm4\", \"\" for none). DatabaseError when it "
      "cannot.");
  // Extension: the section-property engine, pure computation.
  m.def(
      "section_properties",
      [](const std::string& shape, double density, const py::kwargs& dims) {
        std::map<std::string, double> values;
        for (const auto& [key, value] : dims) values[py::str(key)] = value.cast<double>();
        py::dict out;
        for (const VdSectionValue& v : CVdSection::Compute(shape, values, density).List())
          out[py::str(v.name)] = py::make_tuple(v.value, v.unit);
        return out;
      },
      py::arg("shape"), py::arg("density") = CVdSection::kSteelDensity,
      "The properties of a section from its dimensions in mm (CVdSection): {name: (value, unit)}. ValueError for an "
      "unknown shape or dimension, or dimensions that make no section.");
}
