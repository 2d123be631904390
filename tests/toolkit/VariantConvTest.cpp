#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/VariantConv.h>

TEST(VariantConv, NumbersBecomeTheShortestExactText) {
  EXPECT_EQ(VariantToString(COleVariant(2.5), true), L"2.5");
  EXPECT_EQ(VariantToString(COleVariant(10.0), true), L"10");
  EXPECT_EQ(VariantToString(COleVariant(0.1), true), L"0.1");
  EXPECT_EQ(VariantToString(COleVariant(2.3f), true), L"2.3");  // a float, not 2.299999952316284
  EXPECT_EQ(VariantToString(COleVariant(-7L), true), L"-7");
  EXPECT_EQ(VariantToString(COleVariant(short(1), VT_BOOL), true), L"True");
  EXPECT_EQ(VariantToString(COleVariant(COleCurrency(-12, -5000)), true), L"-12.5");
  EXPECT_EQ(VariantToString(COleVariant(COleDateTime(2009, 3, 7, 0, 0, 0)), true), L"2009-03-07");
  EXPECT_EQ(VariantToString(nullptr, true), L"");
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  EXPECT_EQ(VariantToString(&null, true), L"");

  // Every double reads back exactly from its text.
  for (double v : {1.0 / 3, 1e-300, 123456789.125, -0.0, 6.02214076e23}) {
    double back = 0;
    ASSERT_TRUE(VdParseDouble(VariantToString(COleVariant(v), true), back));
    EXPECT_EQ(back, v);
  }
}

TEST(VariantConv, TextsParseInTheCLocaleOnlyWhenWhollyNumeric) {
  const std::pair<const wchar_t*, double> texts[] = {{L" 2.5 ", 2.5}, {L"-1e3", -1000.0}, {L"+4", 4.0}, {L"12 mm", 0.0},
                                                     {L"12,5", 0.0},  {L"abc", 0.0},      {L"", 0.0},   {L"nan", 0.0}};
  for (const auto& [text, number] : texts) EXPECT_EQ(VariantToDouble(COleVariant(text)), number) << CString(text);
  EXPECT_EQ(VariantToLong(COleVariant(L"12")), 12);
  EXPECT_EQ(VariantToDouble(COleVariant(COleCurrency(3, 2500))), 3.25);
  EXPECT_EQ(VariantToDouble(COleVariant(short(1), VT_BOOL)), 1.0);
}

TEST(VariantConv, LongsRoundHalfAwayFromZeroAndClamp) {
  EXPECT_EQ(VariantToLong(COleVariant(2.5)), 3);
  EXPECT_EQ(VariantToLong(COleVariant(-2.5)), -3);
  EXPECT_EQ(VariantToLong(COleVariant(2.49)), 2);
  EXPECT_EQ(VariantToLong(COleVariant(L"7.6")), 8);
  EXPECT_EQ(VariantToLong(COleVariant(std::nan(""))), 0);
  EXPECT_EQ(VariantToLong(COleVariant(1e300)), std::numeric_limits<long>::max());
  EXPECT_EQ(VariantToLong(COleVariant(-1e300)), std::numeric_limits<long>::min());
  EXPECT_EQ(VariantToLong(COleVariant(COleCurrency(-2, -5000))), -3);
}

TEST(VariantConv, ByteBlocksRoundTripAndPrintAsHex) {
  unsigned char bytes[] = {0x00, 0xAB, 0x10};
  COleVariant block;
  EXPECT_EQ(PutBinaryIntoVariant(&block, bytes, 3), 1);
  EXPECT_EQ(block.vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(VariantToString(&block, true), L"00AB10");
  EXPECT_EQ(VariantToDouble(&block), 0.0);
  // Storing again releases the previous block; a null source with a length is refused.
  EXPECT_EQ(PutBinaryIntoVariant(&block, bytes, 0), 1);
  EXPECT_EQ(VariantToString(&block, true), L"");
  EXPECT_EQ(PutBinaryIntoVariant(&block, nullptr, 4), 0);
  EXPECT_EQ(block.vt, VT_EMPTY);
  EXPECT_EQ(PutBinaryIntoVariant(nullptr, bytes, 3), 0);
}

TEST(VariantConv, LpcstrTextsLiveAsLongAsTheirVariants) {
  // A hundred live variants of every kind of value: each text must still read right after all the calls.
  std::vector<std::unique_ptr<COleVariant>> variants;
  std::vector<const wchar_t*> texts;
  std::vector<std::wstring> expected;
  const std::function<COleVariant*(int)> kinds[] = {
      [](int i) { return new COleVariant(i + 0.5); }, [](int i) { return new COleVariant(static_cast<long>(i)); },
      [](int i) { return new COleVariant(short(i % 2), VT_BOOL); },
      [](int i) { return new COleVariant(COleDateTime(2000 + i, 1, 2, 0, 0, 0)); },
      [](int i) { return new COleVariant(CString(std::to_wstring(i).c_str())); }};
  for (int i = 0; i < 100; ++i) {
    std::unique_ptr<COleVariant> v(kinds[i % 5](i));
    expected.push_back(VariantToString(v.get(), true).str());
    texts.push_back(VariantToLPCSTR(v.get(), true));
    EXPECT_EQ(VariantToLPCSTR(v.get(), true), texts.back()) << "a second call moved the text of an unchanged value";
    variants.push_back(std::move(v));
  }
  for (std::size_t k = 0; k < texts.size(); ++k) EXPECT_EQ(std::wstring(texts[k]), expected[k]) << k;
  EXPECT_EQ(VariantToLPCSTR(variants[4].get(), true), variants[4]->bstrVal);  // a text is the variant's own

  // A changed value gets its own text; a cleared variant leaves nothing behind.
  *variants[0] = COleVariant(7.25);
  EXPECT_STREQ(VariantToLPCSTR(variants[0].get(), true), L"7.25");
  variants.clear();
  VARIANT plain;
  VariantInit(&plain);
  EXPECT_STREQ(VariantToLPCSTR(&plain, true), L"");
}
