#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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
  EXPECT_EQ(VariantToDouble(COleVariant(L" 2.5 ")), 2.5);
  EXPECT_EQ(VariantToDouble(COleVariant(L"-1e3")), -1000.0);
  EXPECT_EQ(VariantToDouble(COleVariant(L"+4")), 4.0);
  EXPECT_EQ(VariantToDouble(COleVariant(L"12 mm")), 0.0);
  EXPECT_EQ(VariantToDouble(COleVariant(L"12,5")), 0.0);
  EXPECT_EQ(VariantToDouble(COleVariant(L"abc")), 0.0);
  EXPECT_EQ(VariantToDouble(COleVariant(L"")), 0.0);
  EXPECT_EQ(VariantToDouble(COleVariant(L"nan")), 0.0);
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
  EXPECT_EQ(VariantToLong(COleVariant(COleCurrency(2, 5000))), 3);
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

TEST(VariantConv, LpcstrTextsStayValidAsDocumented) {
  const COleVariant text(L"IPE 200");
  EXPECT_EQ(VariantToLPCSTR(&text, true), text.bstrVal);  // the variant's own text

  const COleVariant number(2.5);
  const wchar_t* first = VariantToLPCSTR(&number, true);
  for (int i = 0; i < 15; ++i) VariantToLPCSTR(COleVariant(static_cast<double>(i)), true);
  EXPECT_STREQ(first, L"2.5");  // still intact after 15 more conversions
}
