#include <gtest/gtest.h>

#include <cmath>
#include <vdpattern/toolkit/OleVariant.h>

TEST(OleAuto, BstrKeepsItsLengthAndEmbeddedNuls) {
  const wchar_t text[] = {L'a', L'\0', L'b'};
  BSTR b = SysAllocStringLen(text, 3);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(b[1], L'\0');
  EXPECT_EQ(b[3], L'\0');
  SysFreeString(b);
  SysFreeString(nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  BSTR empty = SysAllocString(nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
}

TEST(OleAuto, VariantCopyIsDeepAndClearReleases) {
  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(L"IPE 200");
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &text), S_OK);
  EXPECT_NE(copy.bstrVal, text.bstrVal);
  EXPECT_TRUE(VdVariantEquals(copy, text));
  EXPECT_EQ(VariantCopy(&copy, &copy), S_OK);  // self-copy keeps the content
  EXPECT_STREQ(copy.bstrVal, L"IPE 200");

  // Copying over a variant that holds an array releases the array (checked by the leak checkers).
  VARIANT block;
  VariantInit(&block);
  block.vt = VT_ARRAY | VT_UI1;
  block.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  ASSERT_EQ(VariantCopy(&block, &text), S_OK);
  EXPECT_EQ(block.vt, VT_BSTR);
  VariantClear(&block);
  VariantClear(&copy);
  VariantClear(&text);
  EXPECT_EQ(text.vt, VT_EMPTY);
}

TEST(OleAuto, SafeArrayBoundsLocksAndCopies) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 2, 3);
  ASSERT_NE(a, nullptr);
  LONG lo = 0, hi = 0;
  ASSERT_TRUE(SafeArrayGetLBound(a, 1, &lo) == S_OK && SafeArrayGetUBound(a, 1, &hi) == S_OK);
  EXPECT_EQ(hi - lo, 2);
  EXPECT_EQ(lo, 2);
  EXPECT_EQ(SafeArrayGetUBound(a, 2, &hi), E_INVALIDARG);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(a, &data), S_OK);
  static_cast<unsigned char*>(data)[2] = 7;
  EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
  SafeArrayUnaccessData(a);
  SAFEARRAY* b = nullptr;
  ASSERT_EQ(SafeArrayCopy(a, &b), S_OK);
  EXPECT_EQ(static_cast<unsigned char*>(b->pvData)[2], 7);
  EXPECT_EQ(SafeArrayDestroy(a), S_OK);
  EXPECT_EQ(SafeArrayDestroy(b), S_OK);
  EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 1), nullptr);

  // An empty block is a valid array with no elements.
  SAFEARRAY* empty = SafeArrayCreateVector(VT_UI1, 0, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SafeArrayGetUBound(empty, 1, &hi), S_OK);
  EXPECT_EQ(hi, -1);
  SafeArrayDestroy(empty);
}

TEST(COleVariant, ConstructionNormalisesAndAssignmentOwnsItsPayload) {
  for (long n : {5, 0}) {  // any non-zero is true
    EXPECT_EQ(COleVariant(short(n), VT_BOOL).boolVal, n ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(COleVariant(n, VT_BOOL).boolVal, n ? VARIANT_TRUE : VARIANT_FALSE);
  }
  EXPECT_EQ(COleVariant(COleCurrency(12, 5000)).cyVal.int64, 125000);
  EXPECT_STREQ(COleVariant(static_cast<const wchar_t*>(nullptr)).bstrVal, L"");

  COleVariant a(L"first");
  COleVariant b(L"second");
  a = b;  // the old text is released, the new one duplicated
  EXPECT_NE(a.bstrVal, b.bstrVal);
  EXPECT_TRUE(a == b);
  a = a;
  EXPECT_STREQ(a.bstrVal, L"second");
  a = 3.0;  // overwriting a text with a number releases the text
  EXPECT_EQ(a.vt, VT_R8);
  COleVariant moved(std::move(b));
  EXPECT_EQ(b.vt, VT_EMPTY);
  EXPECT_STREQ(moved.bstrVal, L"second");
  VARIANT raw = moved.Detach();
  EXPECT_EQ(moved.vt, VT_EMPTY);
  COleVariant owner;
  owner.Attach(raw);
  EXPECT_EQ(raw.vt, VT_EMPTY);
  EXPECT_STREQ(owner.bstrVal, L"second");
  owner.Clear();
  EXPECT_EQ(owner.vt, VT_EMPTY);
}

TEST(COleDateTime, DayNumbersFollowTheOleCalendar) {
  EXPECT_EQ(COleDateTime(1899, 12, 30, 0, 0, 0).m_dt, 0.0);
  EXPECT_EQ(COleDateTime(1900, 1, 1, 12, 0, 0).m_dt, 2.5);
  // Before the epoch the fraction still counts forward from midnight.
  const COleDateTime before(1899, 12, 29, 6, 0, 0);
  EXPECT_EQ(before.m_dt, -1.25);
  EXPECT_EQ(before.GetDay(), 29);
  EXPECT_EQ(before.GetHour(), 6);
  EXPECT_EQ(COleDateTime(-0.25).GetDay(), 30);

  const COleDateTime d(2009, 3, 7, 14, 30, 5);
  EXPECT_EQ(d.GetYear() * 10000 + d.GetMonth() * 100 + d.GetDay(), 20090307);
  EXPECT_EQ(d.GetMinute() * 100 + d.GetSecond(), 3005);
  EXPECT_EQ(d.GetDayOfWeek(), 7);  // a Saturday
  EXPECT_EQ(d.FormatIso(), L"2009-03-07 14:30:05");
  // Just below midnight rounds to the next day's midnight, not to 24:00:00.
  EXPECT_EQ(COleDateTime(COleDateTime(2009, 3, 7, 0, 0, 0).m_dt + 0.9999999999).FormatIso(), L"2009-03-08");

  for (int year : {2009, 2008, 1900, 2000})  // centuries leap by 400
    EXPECT_EQ(COleDateTime(year, 2, 29, 0, 0, 0).GetStatus() == COleDateTime::valid, year % 400 == 0 || year == 2008);
  EXPECT_EQ(COleDateTime(2009, 1, 1, 24, 0, 0).GetStatus(), COleDateTime::invalid);
  EXPECT_EQ(COleDateTime(1e12).GetYear(), -1);

  COleDateTime parsed;
  EXPECT_TRUE(parsed.ParseIso(L"2009/03/07"));
  EXPECT_EQ(parsed.m_dt, COleDateTime(2009, 3, 7, 0, 0, 0).m_dt);
  EXPECT_TRUE(parsed.ParseIso(L"1850-06-01T10:15:30.5"));
  EXPECT_EQ(parsed.GetYear(), 1850);
  for (const wchar_t* bad : {L"2009-13-01", L"2009-03-07x", L"2009-03/07"}) EXPECT_FALSE(parsed.ParseIso(bad)) << bad;
  EXPECT_EQ(parsed.GetYear(), 1850);  // a failed parse leaves the value as it was
}
