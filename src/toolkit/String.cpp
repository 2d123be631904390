#include <vdpattern/toolkit/String.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <ostream>
#include <vdpattern/toolkit/Collate.h>
#include <vdpattern/toolkit/Utf8.h>

namespace {

inline wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }
inline wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }
inline bool IsSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

std::size_t Clamp(int value, std::size_t max) {
  if (value < 0) return 0;
  return std::min(static_cast<std::size_t>(value), max);
}

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

}  // namespace

VdFormatArg::VdFormatArg(const wchar_t* v) : kind(kWide), ws(v), wsLen(v ? std::wcslen(v) : 0) {}

CString::CString(const wchar_t* text, int length) {
  if (text && length > 0) m_str.assign(text, static_cast<std::size_t>(length));
}

CString::CString(const char* utf8) {
  if (utf8) m_str = VdFromUtf8(utf8);
}

std::string CString::ToUtf8() const { return VdToUtf8(m_str); }

wchar_t CString::GetAt(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= m_str.size()) return 0;
  return m_str[static_cast<std::size_t>(index)];
}

void CString::SetAt(int index, wchar_t ch) {
  if (index >= 0 && static_cast<std::size_t>(index) < m_str.size()) m_str[static_cast<std::size_t>(index)] = ch;
}

int CString::Compare(const wchar_t* other) const {
  return Sign(std::wstring_view(m_str).compare(other ? std::wstring_view(other) : std::wstring_view()));
}

int CString::CompareNoCase(const wchar_t* other) const {
  return VdCompareNoCase(m_str, other ? std::wstring_view(other) : std::wstring_view());
}

int CString::CollateNoCase(const wchar_t* other) const {
  return VdCollateNoCase(m_str, other ? std::wstring_view(other) : std::wstring_view());
}

CString& CString::MakeUpper() {
  VdFoldUpper(m_str);
  return *this;
}

CString& CString::MakeLower() {
  VdFoldLower(m_str);
  return *this;
}

CString& CString::MakeReverse() {
  std::reverse(m_str.begin(), m_str.end());
  return *this;
}

int CString::Find(wchar_t ch, int start) const {
  const auto pos = m_str.find(ch, Clamp(start, m_str.size()));
  return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

int CString::Find(const wchar_t* sub, int start) const {
  if (!sub) return -1;
  if (start > GetLength()) return -1;
  const auto pos = m_str.find(sub, Clamp(start, m_str.size()));
  return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

int CString::ReverseFind(wchar_t ch) const {
  const auto pos = m_str.rfind(ch);
  return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

int CString::FindOneOf(const wchar_t* chars) const {
  if (!chars) return -1;
  const auto pos = m_str.find_first_of(chars);
  return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

CString CString::Left(int count) const { return CString(m_str.substr(0, Clamp(count, m_str.size()))); }

CString CString::Mid(int first) const { return CString(m_str.substr(Clamp(first, m_str.size()))); }

CString CString::Mid(int first, int count) const {
  const std::size_t from = Clamp(first, m_str.size());
  return CString(m_str.substr(from, Clamp(count, m_str.size() - from)));
}

CString CString::Right(int count) const {
  const std::size_t n = Clamp(count, m_str.size());
  return CString(m_str.substr(m_str.size() - n));
}

int CString::Replace(wchar_t oldCh, wchar_t newCh) {
  int count = 0;
  for (auto& c : m_str)
    if (c == oldCh) c = newCh, ++count;
  return count;
}

int CString::Replace(const wchar_t* oldText, const wchar_t* newText) {
  if (!oldText || !*oldText) return 0;
  const std::wstring_view from(oldText);
  const std::wstring_view to(newText ? newText : L"");
  std::wstring out;
  int count = 0;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = m_str.find(from, pos);
    if (hit == std::wstring::npos) break;
    out.append(m_str, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
    ++count;
  }
  if (count) {
    out.append(m_str, pos, std::wstring::npos);
    m_str.swap(out);
  }
  return count;
}

int CString::Remove(wchar_t ch) {
  const auto before = m_str.size();
  m_str.erase(std::remove(m_str.begin(), m_str.end(), ch), m_str.end());
  return static_cast<int>(before - m_str.size());
}

int CString::Insert(int index, wchar_t ch) {
  m_str.insert(Clamp(index, m_str.size()), 1, ch);
  return GetLength();
}

int CString::Insert(int index, const wchar_t* text) {
  if (text) m_str.insert(Clamp(index, m_str.size()), text);
  return GetLength();
}

int CString::Delete(int index, int count) {
  const std::size_t from = Clamp(index, m_str.size());
  m_str.erase(from, Clamp(count, m_str.size() - from));
  return GetLength();
}

CString& CString::TrimLeft() {
  std::size_t i = 0;
  while (i < m_str.size() && IsSpace(m_str[i])) ++i;
  m_str.erase(0, i);
  return *this;
}

CString& CString::TrimRight() {
  std::size_t n = m_str.size();
  while (n > 0 && IsSpace(m_str[n - 1])) --n;
  m_str.resize(n);
  return *this;
}

CString& CString::Trim() { return TrimRight().TrimLeft(); }

CString& CString::TrimLeft(wchar_t ch) {
  const auto pos = m_str.find_first_not_of(ch);
  m_str.erase(0, pos == std::wstring::npos ? m_str.size() : pos);
  return *this;
}

CString& CString::TrimRight(wchar_t ch) {
  const auto pos = m_str.find_last_not_of(ch);
  m_str.resize(pos == std::wstring::npos ? 0 : pos + 1);
  return *this;
}

CString& CString::Trim(wchar_t ch) { return TrimRight(ch).TrimLeft(ch); }

wchar_t* CString::GetBuffer(int minLength) {
  if (minLength > 0 && static_cast<std::size_t>(minLength) > m_str.size())
    m_str.resize(static_cast<std::size_t>(minLength), L'\0');
  return m_str.data();
}

wchar_t* CString::GetBufferSetLength(int length) {
  m_str.resize(length > 0 ? static_cast<std::size_t>(length) : 0, L'\0');
  return m_str.data();
}

void CString::ReleaseBuffer(int newLength) {
  if (newLength < 0)
    m_str.resize(std::wcslen(m_str.c_str()));
  else
    m_str.resize(std::min(static_cast<std::size_t>(newLength), m_str.size()));
}

// ---------------------------------------------------------------- Format

namespace {

struct Directive {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = -1, precision = -1;
  bool narrowText = false;  // %S, %hs
};

class ArgReader {
 public:
  ArgReader(const VdFormatArg* args, std::size_t count) : m_args(args), m_count(count) {}
  const VdFormatArg* Next() { return m_next < m_count ? &m_args[m_next++] : nullptr; }
  int NextInt() {
    const VdFormatArg* a = Next();
    if (!a) return 0;
    if (a->kind == VdFormatArg::kSigned) return static_cast<int>(std::clamp<long long>(a->i, -1000000, 1000000));
    if (a->kind == VdFormatArg::kUnsigned) return static_cast<int>(std::min<unsigned long long>(a->u, 1000000));
    return 0;
  }

 private:
  const VdFormatArg* m_args;
  std::size_t m_count;
  std::size_t m_next = 0;
};

long long AsSigned(const VdFormatArg* a) {
  if (!a) return 0;
  switch (a->kind) {
    case VdFormatArg::kSigned:
      return a->i;
    case VdFormatArg::kUnsigned:
      return static_cast<long long>(a->u);
    case VdFormatArg::kDouble:
      if (!(a->d == a->d)) return 0;
      if (a->d >= 9.2e18L) return INT64_MAX;
      if (a->d <= -9.2e18L) return INT64_MIN;
      return static_cast<long long>(a->d);
    default:
      return 0;
  }
}

long double AsDouble(const VdFormatArg* a) {
  if (!a) return 0;
  switch (a->kind) {
    case VdFormatArg::kSigned:
      return static_cast<long double>(a->i);
    case VdFormatArg::kUnsigned:
      return static_cast<long double>(a->u);
    case VdFormatArg::kDouble:
      return a->d;
    default:
      return 0;
  }
}

void Pad(std::wstring& out, std::wstring_view body, const Directive& dir) {
  const std::size_t width = dir.width > 0 ? static_cast<std::size_t>(dir.width) : 0;
  const std::size_t fill = width > body.size() ? width - body.size() : 0;
  if (!dir.left) out.append(fill, L' ');
  out.append(body);
  if (dir.left) out.append(fill, L' ');
}

// Numbers go through the C library's narrow formatter with a directive we rebuild ourselves, so only
// well-formed directives ever reach it.
void FormatNumber(std::wstring& out, const Directive& dir, char conv, const VdFormatArg* a) {
  char fmt[32];
  int n = 0;
  fmt[n++] = '%';
  if (dir.left) fmt[n++] = '-';
  if (dir.plus) fmt[n++] = '+';
  if (dir.space) fmt[n++] = ' ';
  if (dir.alt) fmt[n++] = '#';
  if (dir.zero) fmt[n++] = '0';
  fmt[n++] = '*';
  fmt[n++] = '.';
  fmt[n++] = '*';
  const bool floating = std::strchr("fFeEgGaA", conv) != nullptr;
  const bool isSigned = conv == 'd' || conv == 'i';
  if (floating)
    fmt[n++] = 'L';
  else if (conv != 'p')
    fmt[n++] = 'l', fmt[n++] = 'l';
  fmt[n++] = conv;
  fmt[n] = '\0';
  const int width = dir.width > 0 ? dir.width : 0;
  // Without an explicit precision the C default applies: -1 means "none" to printf.
  const int precision = dir.precision;
  char small[128];
  int len;
  auto print = [&](char* buf, std::size_t size) -> int {
    if (floating) return std::snprintf(buf, size, fmt, width, precision, AsDouble(a));
    if (conv == 'p')
      return std::snprintf(buf, size, fmt, width, precision, a && a->kind == VdFormatArg::kPointer ? a->p : nullptr);
    if (isSigned) return std::snprintf(buf, size, fmt, width, precision, AsSigned(a));
    return std::snprintf(buf, size, fmt, width, precision, static_cast<unsigned long long>(AsSigned(a)));
  };
  if (a && a->kind == VdFormatArg::kUnsigned && !floating && !isSigned) {
    // Keep the full unsigned range.
    len = std::snprintf(small, sizeof small, fmt, width, precision, a->u);
    if (len >= 0 && static_cast<std::size_t>(len) < sizeof small) {
      out.append(small, small + len);
      return;
    }
    std::string big(static_cast<std::size_t>(len) + 1, '\0');
    std::snprintf(big.data(), big.size(), fmt, width, precision, a->u);
    out.append(big.begin(), big.begin() + len);
    return;
  }
  len = print(small, sizeof small);
  if (len < 0) return;
  if (static_cast<std::size_t>(len) < sizeof small) {
    out.append(small, small + len);
    return;
  }
  std::string big(static_cast<std::size_t>(len) + 1, '\0');
  print(big.data(), big.size());
  out.append(big.begin(), big.begin() + len);
}

void FormatText(std::wstring& out, const Directive& dir, const VdFormatArg* a) {
  std::wstring owned;
  std::wstring_view text;
  if (!a) {
  } else if (a->kind == VdFormatArg::kWide) {
    text = a->ws ? std::wstring_view(a->ws, a->wsLen) : std::wstring_view(L"(null)");
  } else if (a->kind == VdFormatArg::kNarrow) {
    owned = a->s ? VdFromUtf8(a->s) : L"(null)";
    text = owned;
  } else if (a->kind == VdFormatArg::kPointer) {
    if (!a->p) text = L"(null)";
  } else {
    Directive plain;
    const char conv = a->kind == VdFormatArg::kDouble ? 'g' : (a->kind == VdFormatArg::kUnsigned ? 'u' : 'd');
    FormatNumber(owned, plain, conv, a);
    text = owned;
  }
  if (dir.precision >= 0 && static_cast<std::size_t>(dir.precision) < text.size())
    text = text.substr(0, static_cast<std::size_t>(dir.precision));
  Pad(out, text, dir);
}

void FormatChar(std::wstring& out, const Directive& dir, const VdFormatArg* a) {
  wchar_t c = static_cast<wchar_t>(AsSigned(a));
  if (a && (a->kind == VdFormatArg::kWide) && a->ws && a->wsLen) c = a->ws[0];
  const wchar_t buf[1] = {c};
  Pad(out, std::wstring_view(buf, 1), dir);
}

// Reads a directive's flags, width, precision and length prefixes from `p` (just after its '%') into `dir`;
// returns where its conversion character is.
const wchar_t* ReadDirective(const wchar_t* p, ArgReader& reader, Directive& dir) {
  for (;; ++p) {
    if (*p == L'-')
      dir.left = true;
    else if (*p == L'+')
      dir.plus = true;
    else if (*p == L' ')
      dir.space = true;
    else if (*p == L'#')
      dir.alt = true;
    else if (*p == L'0')
      dir.zero = true;
    else
      break;
  }
  if (*p == L'*') {
    int w = reader.NextInt();
    if (w < 0) dir.left = true, w = -w;
    dir.width = w;
    ++p;
  } else {
    int w = 0;
    bool any = false;
    while (*p >= L'0' && *p <= L'9') w = std::min(w * 10 + (*p++ - L'0'), 1000000), any = true;
    if (any) dir.width = w;
  }
  if (*p == L'.') {
    ++p;
    if (*p == L'*') {
      const int pr = reader.NextInt();
      dir.precision = pr < 0 ? -1 : pr;
      ++p;
    } else {
      int pr = 0;
      while (*p >= L'0' && *p <= L'9') pr = std::min(pr * 10 + (*p++ - L'0'), 1000000);
      dir.precision = pr;
    }
  }
  // Length prefixes: only "h" changes anything (a narrow text); the argument's own type gives the width.
  for (;;) {
    if (*p == L'h') {
      dir.narrowText = true;
      ++p;
    } else if (*p == L'l' || *p == L'L' || *p == L'z' || *p == L'j' || *p == L't' || *p == L'w') {
      ++p;
    } else if ((p[0] == L'I' && p[1] == L'6' && p[2] == L'4') || (p[0] == L'I' && p[1] == L'3' && p[2] == L'2')) {
      p += 3;
    } else {
      return p;
    }
  }
}

// Appends the next argument as conversion `conv` asks; false for a conversion it does not know.
bool Convert(std::wstring& out, const Directive& dir, wchar_t conv, ArgReader& reader) {
  if (conv != L'\0' && std::wcschr(L"diuoxXfFeEgGaAp", conv)) {
    FormatNumber(out, dir, static_cast<char>(conv), reader.Next());
  } else if (conv == L's' || conv == L'S') {
    FormatText(out, dir, reader.Next());
  } else if (conv == L'c' || conv == L'C') {
    FormatChar(out, dir, reader.Next());
  } else if (conv == L'n') {
    reader.Next();
  } else {
    return false;
  }
  return true;
}

}  // namespace

void CString::FormatArgs(const wchar_t* format, const VdFormatArg* args, std::size_t count) {
  std::wstring out;
  if (!format) {
    m_str.clear();
    return;
  }
  ArgReader reader(args, count);
  const wchar_t* p = format;
  while (*p) {
    if (*p != L'%') {
      const wchar_t* start = p;
      while (*p && *p != L'%') ++p;
      out.append(start, p);
      continue;
    }
    const wchar_t* directiveStart = p++;
    if (*p == L'%') {
      out += L'%';
      ++p;
      continue;
    }
    Directive dir;
    p = ReadDirective(p, reader, dir);
    const wchar_t conv = *p;
    if (conv == L'\0') {
      out.append(directiveStart, p);  // an unfinished directive is kept as text
      break;
    }
    ++p;
    if (!Convert(out, dir, conv, reader)) out.append(directiveStart, p);  // unknown conversion: kept as text
  }
  m_str.swap(out);
}

// ---------------------------------------------------------------- free functions

CString operator+(const CString& a, const CString& b) { return CString(a.str() + b.str()); }
CString operator+(const CString& a, const wchar_t* b) {
  CString r(a);
  r += b;
  return r;
}
CString operator+(const wchar_t* a, const CString& b) {
  CString r(a);
  r += b;
  return r;
}
CString operator+(const CString& a, wchar_t b) {
  CString r(a);
  r += b;
  return r;
}
CString operator+(wchar_t a, const CString& b) {
  CString r(a);
  r += b;
  return r;
}

std::ostream& operator<<(std::ostream& os, const CString& text) { return os << text.ToUtf8(); }
std::wostream& operator<<(std::wostream& os, const CString& text) { return os << text.str(); }

wchar_t* _wcslwr(wchar_t* text) {
  if (text)
    for (wchar_t* p = text; *p; ++p) *p = Lower(*p);
  return text;
}

wchar_t* _wcsupr(wchar_t* text) {
  if (text)
    for (wchar_t* p = text; *p; ++p) *p = Upper(*p);
  return text;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) {
  if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
  for (;; ++a, ++b) {
    const wchar_t ca = Lower(*a), cb = Lower(*b);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (!ca) return 0;
  }
}

int _wcsnicmp(const wchar_t* a, const wchar_t* b, std::size_t count) {
  if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
  for (; count > 0; ++a, ++b, --count) {
    const wchar_t ca = Lower(*a), cb = Lower(*b);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (!ca) return 0;
  }
  return 0;
}

void VdFoldLower(std::wstring& text) {
  for (auto& c : text) c = Lower(c);
}

void VdFoldUpper(std::wstring& text) {
  for (auto& c : text) c = Upper(c);
}

int VdCompareNoCase(std::wstring_view a, std::wstring_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const wchar_t ca = Lower(a[i]), cb = Lower(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
