#include <vdpattern/toolkit/Collate.h>

#include <unicode/ucol.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "toolkit/CollationPrefix.h"

namespace {

struct CollatorCloser {
  void operator()(UCollator* c) const { ucol_close(c); }
};

// The root collator at secondary strength, opened once. ICU collators may be used from several threads for
// comparisons and sort keys once they are set up.
UCollator* Collator() {
  static std::unique_ptr<UCollator, CollatorCloser> collator = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* c = ucol_open("", &status);
    if (U_FAILURE(status)) return std::unique_ptr<UCollator, CollatorCloser>();
    ucol_setStrength(c, UCOL_SECONDARY);
    ucol_setAttribute(c, UCOL_NUMERIC_COLLATION, UCOL_OFF, &status);
    return std::unique_ptr<UCollator, CollatorCloser>(c);
  }();
  return collator.get();
}

// UTF-32 to UTF-16, on the stack for the short texts that names are; the heap only for long ones. A
// comparison is the pool's inner step, and two heap buffers per comparison cost more than ICU's own work.
class Utf16 {
 public:
  explicit Utf16(std::wstring_view text) {
    UChar* out = m_inline;
    if (text.size() * 2 > kInline) {
      m_heap.resize(text.size() * 2);
      out = m_heap.data();
    }
    m_data = out;
    for (wchar_t ch : text) {
      auto c = static_cast<char32_t>(ch);
      if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
      if (c < 0x10000) {
        *out++ = static_cast<UChar>(c);
      } else {
        c -= 0x10000;
        *out++ = static_cast<UChar>(0xD800 + (c >> 10));
        *out++ = static_cast<UChar>(0xDC00 + (c & 0x3FF));
      }
    }
    m_size = static_cast<int32_t>(out - m_data);
  }
  Utf16(const Utf16&) = delete;
  Utf16& operator=(const Utf16&) = delete;
  const UChar* data() const { return m_data; }
  int32_t size() const { return m_size; }

 private:
  static constexpr std::size_t kInline = 128;
  UChar m_inline[kInline];
  std::vector<UChar> m_heap;
  const UChar* m_data = nullptr;
  int32_t m_size = 0;
};

int Ordinal(std::wstring_view a, std::wstring_view b) { return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1); }

// The printable ASCII characters (space to tilde) in the collator's order, the two cases of a letter sharing
// a rank. The root collation gives each of them one primary weight of its own, without contractions or
// expansions, and the same secondary weight; so at secondary strength two texts made of them compare as
// their rank sequences do, a proper prefix first. Names are mostly such texts, and the pool compares names
// in its inner loop, where ICU's general path costs some twenty times more. The ranks come from the
// collator itself; if it ever tells apart two characters that share a rank, or confuses two that do not,
// the shortcut stays off.
struct AsciiOrder {
  static constexpr wchar_t kFirst = 0x20, kLast = 0x7E;
  bool usable = false;
  std::array<unsigned char, kLast - kFirst + 1> rank{};
};

const AsciiOrder& Ascii() {
  static const AsciiOrder order = [] {
    AsciiOrder o;
    UCollator* c = Collator();
    if (!c) return o;
    std::array<UChar, AsciiOrder::kLast - AsciiOrder::kFirst + 1> chars{};
    for (std::size_t k = 0; k < chars.size(); ++k) chars[k] = static_cast<UChar>(AsciiOrder::kFirst + k);
    auto compare = [c](UChar x, UChar y) { return ucol_strcoll(c, &x, 1, &y, 1); };
    std::stable_sort(chars.begin(), chars.end(), [&](UChar x, UChar y) { return compare(x, y) == UCOL_LESS; });
    unsigned char rank = 0;
    for (std::size_t k = 0; k < chars.size(); ++k) {
      if (k > 0 && compare(chars[k - 1], chars[k]) != UCOL_EQUAL) ++rank;
      o.rank[chars[k] - AsciiOrder::kFirst] = rank;
    }
    auto fold = [](UChar x) { return x >= u'A' && x <= u'Z' ? static_cast<UChar>(x + 32) : x; };
    for (std::size_t k = 1; k < chars.size(); ++k)
      if ((o.rank[chars[k] - AsciiOrder::kFirst] == o.rank[chars[k - 1] - AsciiOrder::kFirst]) !=
          (fold(chars[k]) == fold(chars[k - 1])))
        return o;
    o.usable = true;
    return o;
  }();
  return order;
}

bool Printable(std::wstring_view text) {
  for (wchar_t ch : text)
    if (ch < AsciiOrder::kFirst || ch > AsciiOrder::kLast) return false;
  return true;
}

}  // namespace

int VdCollateNoCase(std::wstring_view a, std::wstring_view b) {
  UCollator* c = Collator();
  if (!c) return Ordinal(a, b);
  if (const AsciiOrder& ascii = Ascii(); ascii.usable && Printable(a) && Printable(b)) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t k = 0; k < n; ++k) {
      const unsigned char ra = ascii.rank[a[k] - AsciiOrder::kFirst], rb = ascii.rank[b[k] - AsciiOrder::kFirst];
      if (ra != rb) return ra < rb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  }
  const Utf16 ua(a), ub(b);
  switch (ucol_strcoll(c, ua.data(), ua.size(), ub.data(), ub.size())) {
    case UCOL_LESS:
      return -1;
    case UCOL_GREATER:
      return 1;
    default:
      return 0;
  }
}

bool VdCollationPrefix(std::wstring_view text, unsigned long long& high, unsigned long long& low) {
  const AsciiOrder& ascii = Ascii();
  if (!Collator() || !ascii.usable || !Printable(text)) return false;
  unsigned long long part[2] = {0, 0};
  for (std::size_t k = 0; k < text.size() && k < 16; ++k)
    part[k / 8] |= static_cast<unsigned long long>(ascii.rank[text[k] - AsciiOrder::kFirst] + 1) << (56 - 8 * (k % 8));
  high = part[0];
  low = part[1];
  return true;
}

std::string VdCollationKey(std::wstring_view text) {
  UCollator* c = Collator();
  if (!c) {
    // Without ICU data the order falls back to code units; keep keys consistent with VdCollateNoCase.
    std::string key;
    for (wchar_t ch : text)
      for (int shift = 24; shift >= 0; shift -= 8)
        key += static_cast<char>((static_cast<uint32_t>(ch) >> shift) & 0xFF);
    return key;
  }
  const Utf16 u(text);
  std::string key(u.size() * 3 + 16, '\0');
  int32_t needed =
      ucol_getSortKey(c, u.data(), u.size(), reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
  if (needed > static_cast<int32_t>(key.size())) {
    key.assign(static_cast<std::size_t>(needed), '\0');
    needed = ucol_getSortKey(c, u.data(), u.size(), reinterpret_cast<uint8_t*>(key.data()), needed);
  }
  // The key ends with a NUL byte that ICU counts; drop it so keys compare as plain byte strings.
  key.resize(needed > 0 ? static_cast<std::size_t>(needed - 1) : 0);
  return key;
}
