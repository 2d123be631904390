#include <vdpattern/catalog/VdPatternNames.h>

#include <cstdint>
#include <vector>

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The characters that only differ from an ASCII one in their code: the first rule.
wchar_t Plain(wchar_t c) {
  if ((c >= 0x2010 && c <= 0x2015) || c == 0x2212) return L'-';
  if (c == 0x2044) return L'/';
  if (c == L'\t' || c == 0x00A0 || c == 0x2007 || c == 0x2009 || c == 0x200A || c == 0x202F || c == 0x3000) return L' ';
  if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - L'a' + L'A');
  return c;
}

bool IsDimensionSign(wchar_t c) { return c == L'X' || c == L'*' || c == 0x00D7; }

// A cursor over the plain text.
struct Reader {
  const std::wstring& s;
  std::size_t i = 0;
  wchar_t At(std::size_t k) const { return k < s.size() ? s[k] : L'\0'; }
  bool IsDecimalMark(std::size_t k) const { return (At(k) == L'.' || At(k) == L',') && IsDigit(At(k + 1)); }
  // Whether a number starts at k: a digit, or a decimal mark before one that no digit precedes.
  bool NumberAt(std::size_t k) const { return IsDigit(At(k)) || (IsDecimalMark(k) && (k == 0 || !IsDigit(At(k - 1)))); }
  std::size_t SkipSpaces(std::size_t k) const {
    while (At(k) == L' ') ++k;
    return k;
  }
  std::wstring Digits() {
    std::wstring d;
    while (IsDigit(At(i))) d += s[i++];
    return d;
  }
};

// Up to 18 digits, as a whole number; false when longer (such a number is kept as its digits).
bool ToInteger(const std::wstring& digits, std::uint64_t& value) {
  if (digits.empty() || digits.size() > 18) return false;
  value = 0;
  for (wchar_t c : digits) value = value * 10 + static_cast<std::uint64_t>(c - L'0');
  return true;
}

// A number as whole digits and the digits after the point, without leading or trailing zeros.
std::wstring Canonical(std::wstring whole, std::wstring fraction) {
  const std::size_t first = whole.find_first_not_of(L'0');
  whole = first == std::wstring::npos ? std::wstring() : whole.substr(first);
  const std::size_t last = fraction.find_last_not_of(L'0');
  fraction = last == std::wstring::npos ? std::wstring() : fraction.substr(0, last + 1);
  if (fraction.empty()) return whole.empty() ? L"0" : whole;
  return whole + L"." + fraction;
}

// whole + numerator / denominator when that has a finite decimal form of at most 18 digits after the point.
bool FractionText(std::uint64_t whole, std::uint64_t numerator, std::uint64_t denominator, std::wstring& out) {
  if (denominator == 0) return false;
  whole += numerator / denominator;
  std::uint64_t rest = numerator % denominator;
  std::wstring fraction;
  while (rest != 0) {
    if (fraction.size() == 18) return false;  // 1/3 and the like: no finite decimal
    rest *= 10;
    fraction += static_cast<wchar_t>(L'0' + rest / denominator);
    rest %= denominator;
  }
  out = Canonical(std::to_wstring(whole), fraction);
  return true;
}

// Reads the number at r.i (NumberAt holds there) and returns its normal form.
std::wstring ReadNumber(Reader& r) {
  const std::wstring whole = r.Digits();
  if (r.IsDecimalMark(r.i)) {
    ++r.i;
    return Canonical(whole, r.Digits());
  }
  std::uint64_t a = 0, b = 0, c = 0;
  // A simple fraction: whole is its numerator.
  if (r.At(r.i) == L'/' && IsDigit(r.At(r.i + 1))) {
    Reader probe = r;
    ++probe.i;
    std::wstring text;
    if (ToInteger(whole, a) && ToInteger(probe.Digits(), b) && !probe.IsDecimalMark(probe.i) &&
        FractionText(0, a, b, text)) {
      r.i = probe.i;
      return text;
    }
    return Canonical(whole, L"");
  }
  // A mixed number: whole, '-' or spaces, then a simple fraction.
  const std::size_t gap = r.At(r.i) == L'-' ? r.i + 1 : r.SkipSpaces(r.i);
  if (gap != r.i && IsDigit(r.At(gap))) {
    Reader probe = r;
    probe.i = gap;
    const std::wstring numerator = probe.Digits();
    if (probe.At(probe.i) == L'/' && IsDigit(probe.At(probe.i + 1))) {
      ++probe.i;
      std::wstring text;
      if (ToInteger(whole, a) && ToInteger(numerator, b) && ToInteger(probe.Digits(), c) && b < c &&
          !probe.IsDecimalMark(probe.i) && FractionText(a, b, c, text)) {
        r.i = probe.i;
        return text;
      }
    }
  }
  return Canonical(whole, L"");
}

// One piece of the name: a number's normal form, or one other character; spaces are kept as single pieces
// until the rule about them is applied.
struct Piece {
  std::wstring text;
  bool number = false;
  bool space = false;
};

std::vector<Piece> Pieces(const std::wstring& plain) {
  std::vector<Piece> pieces;
  Reader r{plain};
  while (r.i < plain.size()) {
    if (r.NumberAt(r.i)) {
      pieces.push_back({ReadNumber(r), true, false});
      // A dimension sign between this number and the next joins them, spaces around it dropped.
      const std::size_t sign = r.SkipSpaces(r.i);
      const std::size_t next = r.SkipSpaces(sign + 1);
      if (IsDimensionSign(r.At(sign)) && r.NumberAt(next)) {
        pieces.push_back({L"X", false, false});
        r.i = next;
      }
      continue;
    }
    const wchar_t c = plain[r.i++];
    if (c == L' ' && !pieces.empty() && pieces.back().space) continue;
    pieces.push_back({std::wstring(1, c), false, c == L' '});
  }
  return pieces;
}

}  // namespace

std::wstring VdNormalName(std::wstring_view name) {
  std::wstring plain;
  plain.reserve(name.size());
  for (wchar_t c : name) plain += Plain(c);
  const std::vector<Piece> pieces = Pieces(plain);
  std::wstring out;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const Piece& p = pieces[k];
    if (p.space) {
      // Kept only inside the name and between two numbers or two things that are not numbers.
      if (k == 0 || k + 1 == pieces.size() || pieces[k - 1].number != pieces[k + 1].number) continue;
    }
    out += p.text;
  }
  return out;
}
