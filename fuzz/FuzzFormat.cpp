// CString::Format: the format text comes from the input and meets a fixed set of typed arguments (every kind a
// caller may pass, extreme values included), and also no argument at all. Whatever the text asks for, Format
// may only read the arguments it was given.

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vdpattern/toolkit/String.h>

#include "FuzzInput.h"

using vdfuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Widths and precisions go up to a million characters each: a long text of such directives is slow
  // without being any more interesting.
  if (size > 256) return 0;
  vdfuzz::Input input(data, size);
  const std::wstring format = input.Text();
  static int anchor = 0;
  static const CString name(L"IPE 200 \U0001F600");
  static const std::wstring wide(L"wide \u00e9");
  static const std::string narrow("narrow \xc3\xa9");

  CString out;
  out.Format(format.c_str());
  out.Format(format.c_str(), 42, -7LL, 3.5, L"text", "utf-8", name, L'c', &anchor, 4000000000u, -1e300, wide, narrow,
             static_cast<unsigned char>(200), 1.5f, true, static_cast<std::size_t>(7), static_cast<short>(-3), 'x');
  out.Format(format.c_str(), std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), -0.0,
             std::numeric_limits<long long>::min(), std::numeric_limits<unsigned long long>::max(),
             std::numeric_limits<long double>::max(), static_cast<const char*>(nullptr),
             static_cast<const wchar_t*>(nullptr), nullptr, std::numeric_limits<int>::min());
  // Only what Format writes itself comes out: a text without '%' is copied as it is.
  if (format.find(L'%') == std::wstring::npos) Check(out.str() == std::wstring(format.c_str()));
  CString more(L"prefix ");
  more.AppendFormat(format.c_str(), 1, 2.0, L"three");
  Check(more.str().compare(0, 7, L"prefix ") == 0);
  return 0;
}
