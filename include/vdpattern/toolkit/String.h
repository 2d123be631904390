#pragma once
// CString: the platform's wide string, a thin value class over std::wstring. Texts are UTF-32 in memory; the
// narrow constructor and the stream output use UTF-8.
//
// Case rules follow the platform's C runtime: MakeUpper/MakeLower, _wcsupr/_wcslwr fold only the ASCII letters,
// and CompareNoCase/_wcsicmp compare code units after folding A-Z to a-z (so "_" sorts before letters).
// CollateNoCase is the locale-collated comparison without case: the Unicode root collation at secondary
// strength (case ignored, accents not, no numeric ordering), the same whatever the process locale is.
//
// Format is type-safe: it takes its arguments as a parameter pack, not through C varargs, so a format that asks
// for more arguments than it is given, or for another type, can never read stray memory. Supported: the
// flags "-+ 0#", width and precision (also "*"), the length prefixes h hh l ll I64 z j t L, and the
// conversions d i u o x X c C s S f F e E g G a A p %. As on the platform's wide formatter, "%s" and "%ls"
// take a wide string, "%S" and "%hs" a narrow (UTF-8) one; a CString or std::wstring may be passed directly.
// A missing argument formats as nothing; an argument of another kind is converted (a number for "%s" is
// written in decimal, a text for "%d" formats as 0). "%n" writes nothing and is skipped.
//
// Instances are values; one instance is not to be used by two threads at once.

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <type_traits>
#include <vdpattern/toolkit/VdToolkitExport.h>
#include <vdpattern/toolkit/WinTypes.h>

class CString;

// One argument of CString::Format, captured by kind. Texts are borrowed: they must outlive the Format call
// (temporaries in the call expression do).
struct VDTOOLKIT_EXPORT VdFormatArg {
  enum Kind { kNone, kSigned, kUnsigned, kDouble, kWide, kNarrow, kPointer };
  Kind kind = kNone;
  long long i = 0;
  unsigned long long u = 0;
  long double d = 0;
  const wchar_t* ws = nullptr;
  std::size_t wsLen = 0;
  const char* s = nullptr;
  const void* p = nullptr;

  VdFormatArg() = default;
  VdFormatArg(bool v) : kind(kSigned), i(v ? 1 : 0) {}
  VdFormatArg(char v) : kind(kSigned), i(v) {}
  VdFormatArg(signed char v) : kind(kSigned), i(v) {}
  VdFormatArg(unsigned char v) : kind(kUnsigned), u(v) {}
  VdFormatArg(wchar_t v) : kind(kSigned), i(static_cast<long long>(v)) {}
  VdFormatArg(short v) : kind(kSigned), i(v) {}
  VdFormatArg(unsigned short v) : kind(kUnsigned), u(v) {}
  VdFormatArg(int v) : kind(kSigned), i(v) {}
  VdFormatArg(unsigned v) : kind(kUnsigned), u(v) {}
  VdFormatArg(long v) : kind(kSigned), i(v) {}
  VdFormatArg(unsigned long v) : kind(kUnsigned), u(v) {}
  VdFormatArg(long long v) : kind(kSigned), i(v) {}
  VdFormatArg(unsigned long long v) : kind(kUnsigned), u(v) {}
  VdFormatArg(float v) : kind(kDouble), d(v) {}
  VdFormatArg(double v) : kind(kDouble), d(v) {}
  VdFormatArg(long double v) : kind(kDouble), d(v) {}
  VdFormatArg(const wchar_t* v);
  VdFormatArg(wchar_t* v) : VdFormatArg(static_cast<const wchar_t*>(v)) {}
  VdFormatArg(const char* v) : kind(kNarrow), s(v) {}
  VdFormatArg(char* v) : kind(kNarrow), s(v) {}
  VdFormatArg(const std::wstring& v) : kind(kWide), ws(v.c_str()), wsLen(v.size()) {}
  VdFormatArg(const std::string& v) : kind(kNarrow), s(v.c_str()) {}
  VdFormatArg(const CString& v);
  VdFormatArg(std::nullptr_t) : kind(kPointer) {}
  template <typename T, typename = std::enable_if_t<std::is_enum_v<T>>>
  VdFormatArg(T v) : VdFormatArg(static_cast<std::underlying_type_t<T>>(v)) {}
  template <typename T>
  VdFormatArg(const T* v) : kind(kPointer), p(v) {}
};

class VDTOOLKIT_EXPORT CString {
 public:
  CString() = default;
  CString(const wchar_t* text) : m_str(text ? text : L"") {}
  CString(const wchar_t* text, int length);
  CString(const std::wstring& text) : m_str(text) {}
  CString(std::wstring&& text) : m_str(std::move(text)) {}
  CString(std::wstring_view text) : m_str(text) {}
  CString(wchar_t ch, int repeat = 1) : m_str(repeat > 0 ? static_cast<std::size_t>(repeat) : 0, ch) {}
  // UTF-8 text; invalid bytes become U+FFFD.
  CString(const char* utf8);
  CString(const CString&) = default;
  CString(CString&&) noexcept = default;
  CString& operator=(const CString&) = default;
  CString& operator=(CString&&) noexcept = default;
  CString& operator=(const wchar_t* text) {
    m_str = text ? text : L"";
    return *this;
  }
  CString& operator=(const std::wstring& text) {
    m_str = text;
    return *this;
  }
  CString& operator=(wchar_t ch) {
    m_str.assign(1, ch);
    return *this;
  }

  operator const wchar_t*() const { return m_str.c_str(); }
  const wchar_t* GetString() const { return m_str.c_str(); }
  const std::wstring& str() const { return m_str; }
  std::wstring& str() { return m_str; }
  std::string ToUtf8() const;

  int GetLength() const { return static_cast<int>(m_str.size()); }
  bool IsEmpty() const { return m_str.empty(); }
  void Empty() { m_str.clear(); }
  wchar_t GetAt(int index) const;
  void SetAt(int index, wchar_t ch);
  wchar_t operator[](int index) const { return GetAt(index); }

  // Comparisons: <0, 0 or >0, as the platform's.
  int Compare(const wchar_t* other) const;
  int CompareNoCase(const wchar_t* other) const;
  int CollateNoCase(const wchar_t* other) const;

  CString& MakeUpper();
  CString& MakeLower();
  CString& MakeReverse();

  // Searching: 0-based positions, -1 when absent. A negative start counts as 0.
  int Find(wchar_t ch, int start = 0) const;
  int Find(const wchar_t* sub, int start = 0) const;
  int ReverseFind(wchar_t ch) const;
  int FindOneOf(const wchar_t* chars) const;

  // Extraction: counts and positions are clamped into the string, as the platform does.
  CString Left(int count) const;
  CString Mid(int first) const;
  CString Mid(int first, int count) const;
  CString Right(int count) const;

  // Editing; Replace returns the number of replacements (0 for an empty or null text to find).
  int Replace(wchar_t oldCh, wchar_t newCh);
  int Replace(const wchar_t* oldText, const wchar_t* newText);
  int Remove(wchar_t ch);
  int Insert(int index, wchar_t ch);
  int Insert(int index, const wchar_t* text);
  int Delete(int index, int count = 1);
  CString& Trim();
  CString& TrimLeft();
  CString& TrimRight();
  CString& Trim(wchar_t ch);
  CString& TrimLeft(wchar_t ch);
  CString& TrimRight(wchar_t ch);

  // Direct buffer access as on the platform: GetBuffer grows the string to at least minLength characters and
  // returns its buffer (minLength + 1 writable characters); ReleaseBuffer(-1) cuts at the first NUL.
  wchar_t* GetBuffer(int minLength = 0);
  wchar_t* GetBufferSetLength(int length);
  void ReleaseBuffer(int newLength = -1);

  template <typename... Args>
  void Format(const wchar_t* format, const Args&... args) {
    const VdFormatArg list[sizeof...(Args) + 1] = {VdFormatArg(args)..., VdFormatArg()};
    FormatArgs(format, list, sizeof...(Args));
  }
  template <typename... Args>
  void AppendFormat(const wchar_t* format, const Args&... args) {
    CString more;
    more.Format(format, args...);
    m_str += more.m_str;
  }
  void FormatArgs(const wchar_t* format, const VdFormatArg* args, std::size_t count);

  CString& operator+=(const CString& other) {
    m_str += other.m_str;
    return *this;
  }
  CString& operator+=(const wchar_t* text) {
    if (text) m_str += text;
    return *this;
  }
  CString& operator+=(wchar_t ch) {
    m_str += ch;
    return *this;
  }
  CString& operator+=(const std::wstring& text) {
    m_str += text;
    return *this;
  }

 private:
  std::wstring m_str;
};

inline VdFormatArg::VdFormatArg(const CString& v) : kind(kWide), ws(v.GetString()), wsLen(v.str().size()) {}

VDTOOLKIT_EXPORT CString operator+(const CString& a, const CString& b);
VDTOOLKIT_EXPORT CString operator+(const CString& a, const wchar_t* b);
VDTOOLKIT_EXPORT CString operator+(const wchar_t* a, const CString& b);
VDTOOLKIT_EXPORT CString operator+(const CString& a, wchar_t b);
VDTOOLKIT_EXPORT CString operator+(wchar_t a, const CString& b);

inline bool operator==(const CString& a, const CString& b) { return a.str() == b.str(); }
inline bool operator==(const CString& a, const wchar_t* b) { return a.Compare(b) == 0; }
inline bool operator==(const wchar_t* a, const CString& b) { return b.Compare(a) == 0; }
inline bool operator!=(const CString& a, const CString& b) { return !(a == b); }
inline bool operator!=(const CString& a, const wchar_t* b) { return !(a == b); }
inline bool operator!=(const wchar_t* a, const CString& b) { return !(a == b); }
inline bool operator<(const CString& a, const CString& b) { return a.str() < b.str(); }
inline bool operator<(const CString& a, const wchar_t* b) { return a.Compare(b) < 0; }
inline bool operator<(const wchar_t* a, const CString& b) { return b.Compare(a) > 0; }
inline bool operator>(const CString& a, const CString& b) { return b < a; }
inline bool operator<=(const CString& a, const CString& b) { return !(b < a); }
inline bool operator>=(const CString& a, const CString& b) { return !(a < b); }

// UTF-8 on narrow streams, as is on wide ones.
VDTOOLKIT_EXPORT std::ostream& operator<<(std::ostream& os, const CString& text);
VDTOOLKIT_EXPORT std::wostream& operator<<(std::wostream& os, const CString& text);

template <>
struct std::hash<CString> {
  std::size_t operator()(const CString& s) const noexcept { return std::hash<std::wstring>()(s.str()); }
};

// The platform's C runtime case helpers (ASCII folding only; see above). Null texts are tolerated: the folders
// return null, the comparisons order null before any text.
VDTOOLKIT_EXPORT wchar_t* _wcslwr(wchar_t* text);
VDTOOLKIT_EXPORT wchar_t* _wcsupr(wchar_t* text);
VDTOOLKIT_EXPORT int _wcsicmp(const wchar_t* a, const wchar_t* b);
VDTOOLKIT_EXPORT int _wcsnicmp(const wchar_t* a, const wchar_t* b, std::size_t count);

// The same folding and comparison on standard strings (embedded NULs compared too).
VDTOOLKIT_EXPORT void VdFoldLower(std::wstring& text);
VDTOOLKIT_EXPORT void VdFoldUpper(std::wstring& text);
VDTOOLKIT_EXPORT int VdCompareNoCase(std::wstring_view a, std::wstring_view b);
