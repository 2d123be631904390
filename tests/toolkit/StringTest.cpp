#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <vector>
#include <vdpattern/toolkit/Collate.h>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/Utf8.h>

#include "toolkit/CollationPrefix.h"

TEST(CString, CaseFoldingTouchesOnlyAsciiLetters) {
  CString s(L"Ébène_Z9z");
  s.MakeLower();
  EXPECT_EQ(s, L"Ébène_z9z");
  s.MakeUpper();
  EXPECT_EQ(s, L"ÉBèNE_Z9Z");

  // Folding goes to lower case, so '_' (0x5F) sorts before the letters, as with the platform's _wcsicmp.
  EXPECT_LT(_wcsicmp(L"_x", L"A"), 0);
  EXPECT_EQ(_wcsicmp(L"Width", L"wIDTH"), 0);
  EXPECT_NE(_wcsicmp(L"é", L"É"), 0);
  EXPECT_LT(CString(L"beam").CompareNoCase(L"Column"), 0);
  EXPECT_GT(CString(L"Column").CompareNoCase(L"beam"), 0);
  EXPECT_LT(_wcsicmp(nullptr, L""), 0);
  EXPECT_EQ(_wcsnicmp(L"IPE 200", L"ipe 300", 4), 0);
}

TEST(CString, CollateNoCaseIgnoresCaseButNotAccents) {
  EXPECT_EQ(CString(L"Beam").CollateNoCase(L"bEAM"), 0);
  EXPECT_NE(CString(L"e").CollateNoCase(L"é"), 0);
  // "Éa" sorts between "e" and "eb": accents weigh less than the letters that follow.
  EXPECT_GT(CString(L"Éa").CollateNoCase(L"e"), 0);
  EXPECT_LT(CString(L"Éa").CollateNoCase(L"eb"), 0);
  // No numeric ordering: "IPE 100" sorts before "IPE 80".
  EXPECT_LT(CString(L"IPE 100").CollateNoCase(L"IPE 80"), 0);

  // Sort keys order exactly as the comparison does, non-BMP characters included.
  std::vector<std::wstring> names = {L"tube", L"Angle", L"beam",       L"angle", L"Éa",      L"eb",
                                     L"e",    L"_x",    L"\U0001F600", L"",      L"HEA 100", L"hea 100"};
  for (const auto& a : names)
    for (const auto& b : names) {
      const int byCompare = VdCollateNoCase(a, b);
      const std::string ka = VdCollationKey(a), kb = VdCollationKey(b);
      const int byKey = ka < kb ? -1 : (ka == kb ? 0 : 1);
      EXPECT_EQ(byCompare, byKey) << VdToUtf8(a) << " / " << VdToUtf8(b);
    }

  // Plain ASCII names take a shortcut; it must order as ICU's sort keys do, punctuation, case pairs and
  // prefixes included, and agree at the boundary with texts that leave ASCII.
  std::mt19937 random(11);
  const std::wstring alphabet = L" !\"#$%&'()*+,-./09:;<=>?@AZ[\\]^_`az{|}~Mm5\t\u00e9";
  for (int k = 0; k < 4000; ++k) {
    std::wstring a, b;
    for (std::size_t n = random() % 5; n > 0; --n) a += alphabet[random() % alphabet.size()];
    b = random() % 3 ? a.substr(0, random() % (a.size() + 1)) : std::wstring();
    for (std::size_t n = random() % 4; n > 0; --n) b += alphabet[random() % alphabet.size()];
    const std::string ka = VdCollationKey(a), kb = VdCollationKey(b);
    const int expected = ka < kb ? -1 : (ka == kb ? 0 : 1);
    ASSERT_EQ(VdCollateNoCase(a, b), expected) << VdToUtf8(a) << " / " << VdToUtf8(b);
    // Prefixes, where both texts have one, decide as the comparison does (the texts here are shorter than 16).
    unsigned long long ha = 0, la = 0, hb = 0, lb = 0;
    if (VdCollationPrefix(a, ha, la) && VdCollationPrefix(b, hb, lb)) {
      const auto pa = std::make_pair(ha, la), pb = std::make_pair(hb, lb);
      ASSERT_EQ(pa < pb ? -1 : (pa == pb ? 0 : 1), expected) << VdToUtf8(a) << " / " << VdToUtf8(b);
    }
  }
  unsigned long long high = 0, low = 0;
  EXPECT_FALSE(VdCollationPrefix(L"caf\u00e9", high, low));  // not printable ASCII: no prefix
}

TEST(CString, FormatTakesTypedArgumentsSafely) {
  CString s;
  s.Format(L"Select * From [%s] WHERE Name = '%s'", CString(L"IPE"), std::wstring(L"IPE 200"));
  EXPECT_EQ(s, L"Select * From [IPE] WHERE Name = 'IPE 200'");
  s.Format(L"%d|%5d|%-5d|%05.1f|%x|%s|%S|%c|%%", -3, 42, 7, 2.25, 255u, L"wide", "narrow é", L'Z');
  EXPECT_EQ(s, L"-3|   42|7    |002.2|ff|wide|narrow é|Z|%");
  s.Format(L"RET_CODE        =%d", static_cast<short>(-1));
  EXPECT_EQ(s, L"RET_CODE        =-1");
  s.Format(L"%.3s|%6.2s|%lld|%I64d|%lu", L"abcdef", L"xyz", 1LL << 40, -5LL, 9UL);
  EXPECT_EQ(s, L"abc|    xy|1099511627776|-5|9");
  s.Format(L"%*d|%-*s|", 4, 1, 3, L"a");
  EXPECT_EQ(s, L"   1|a  |");

  // Hostile formats: missing, mismatched and unknown directives never read stray memory.
  s.Format(L"%s and %d and %f");
  EXPECT_EQ(s, L" and 0 and 0.000000");
  s.Format(L"%d|%s|%n|%q|%", L"text", 12, 1);
  EXPECT_EQ(s, L"0|12||%q|%");
  s.Format(L"%s", static_cast<const wchar_t*>(nullptr));
  EXPECT_EQ(s, L"(null)");
  s.Format(L"%999999999d|", 1);  // a huge width is clamped, not an overflow
  EXPECT_EQ(s.Right(2), L"1|");
  s.Format(nullptr);
  EXPECT_TRUE(s.IsEmpty());
}

TEST(CString, ExtractionAndEditingClampToTheText) {
  const CString s(L"HEA 100 mm");
  EXPECT_EQ(s.Left(3), L"HEA");
  EXPECT_EQ(s.Left(-1), L"");
  EXPECT_EQ(s.Left(99), s);
  EXPECT_EQ(s.Mid(4, 3), L"100");
  EXPECT_EQ(s.Mid(-2, 3), L"HEA");
  EXPECT_EQ(s.Mid(20), L"");
  EXPECT_EQ(s.Right(2), L"mm");
  EXPECT_EQ(s.Find(L' '), 3);
  EXPECT_EQ(s.Find(L"mm", 9), -1);
  EXPECT_EQ(s.Find(L"", 99), -1);
  EXPECT_EQ(s.ReverseFind(L' '), 7);
  EXPECT_EQ(s.GetAt(99), L'\0');

  CString q(L"O'Neil's");
  EXPECT_EQ(q.Replace(L"'", L"''"), 2);
  EXPECT_EQ(q, L"O''Neil''s");
  EXPECT_EQ(q.Replace(L"", L"x"), 0);
  CString t(L"  a b  ");
  EXPECT_EQ(t.Trim(), L"a b");
  EXPECT_EQ(CString(L"x") + L"y" + CString(L"z") + L'!', L"xyz!");

  CString b;
  wchar_t* buf = b.GetBuffer(8);
  wcscpy(buf, L"abc");
  b.ReleaseBuffer();
  EXPECT_EQ(b.GetLength(), 3);
}

TEST(Utf8, InvalidBytesBecomeReplacementCharacters) {
  const std::wstring text = L"Ø 48,3 \U0001F600 ±";
  EXPECT_EQ(VdFromUtf8(VdToUtf8(text)), text);
  // Stray continuation, truncated sequence, overlong form, encoded surrogate, value above U+10FFFF.
  EXPECT_EQ(VdFromUtf8(std::string("a\x80") + "b"), L"a\uFFFDb");
  EXPECT_EQ(VdFromUtf8("\xE2\x82"), L"\uFFFD\uFFFD");
  EXPECT_EQ(VdFromUtf8("\xC0\xAF"), L"\uFFFD\uFFFD");
  EXPECT_EQ(VdFromUtf8("\xE0\x80\xAF"), L"\uFFFD\uFFFD\uFFFD");  // overlong in three bytes
  EXPECT_EQ(VdFromUtf8("\xED\xA0\x80").find(L'\uFFFD'), 0u);
  EXPECT_EQ(VdFromUtf8("\xF4\x90\x80\x80")[0], L'\uFFFD');
  // Code points that are no Unicode scalar value are written as U+FFFD.
  const wchar_t bad[] = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(VdToUtf8(bad), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(CString("IPE é").GetLength(), 5);

  std::ostringstream os;
  os << CString(L"é");
  EXPECT_EQ(os.str(), "\xC3\xA9");
}
