#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <vdpattern/pattern/VdPatternValue.h>
#include <vdpattern/toolkit/VariantConv.h>

TEST(VdPatternValue, EqualityComparesAnnotationsIgnoringCaseNotContents) {
  CVdPatternValue one(1.0), two(2.0);
  one.SetDescription(L"Width");
  two.SetDescription(L"WIDTH");
  one.SetAbrev(L"b");
  two.SetAbrev(L"B");
  EXPECT_TRUE(one == two);
  EXPECT_FALSE(one != two);
  two.SetAbrev(L"c");  // the short name alone differs
  EXPECT_TRUE(one != two);
  two.SetAbrev(L"b");
  two.SetDescription(L"Height");  // the description alone differs
  EXPECT_FALSE(one == two);
  EXPECT_EQ(CVdPatternValue(short(5), VT_BOOL).boolVal, VARIANT_TRUE);  // any non-zero is true
}

TEST(VdPatternValue, ClonesAndAssignmentsAreIndependentDeepCopies) {
  CVdPatternValue source(L"S355", VT_BSTR);
  source.SetDescription(L"Grade");
  source.SetAbrev(L"g");
  std::unique_ptr<CVdPatternValue> clone(dynamic_cast<CVdPatternValue*>(source.GetClone()));
  ASSERT_TRUE(clone);
  EXPECT_STREQ(clone->bstrVal, L"S355");
  EXPECT_NE(clone->bstrVal, source.bstrVal);  // its own copy of the text
  EXPECT_TRUE(*clone == source);
  clone->SetDescription(L"Changed");
  std::wstring d;
  source.GetDescription(d);
  EXPECT_EQ(d, L"Grade");

  // Assigning over a text value releases the old text (checked by the leak checkers).
  CVdPatternValue target(L"old", VT_BSTR);
  target = source;
  EXPECT_STREQ(target.bstrVal, L"S355");
  target = target;
  EXPECT_STREQ(target.bstrVal, L"S355");
}

TEST(VdPatternValue, GetStructCopiesByteBlocks) {
  unsigned char bytes[] = {1, 2, 250};
  CVdPatternValue block(bytes, 3);
  EXPECT_EQ(block.vt, VT_ARRAY | VT_UI1);
  unsigned char* out = nullptr;
  ASSERT_EQ(block.GetStruct(&out, nullptr), 3u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 250);
  delete[] out;

  unsigned char sentinel = 0;
  out = &sentinel;
  CVdPatternValue number(2.0);
  EXPECT_EQ(number.GetStruct(&out, nullptr), 0u);
  EXPECT_EQ(out, &sentinel);  // not written

  // A second variant is read instead of the value's own.
  unsigned char other[] = {9, 8};
  VARIANT var;
  VariantInit(&var);
  PutBinaryIntoVariant(&var, other, 2);
  EXPECT_EQ(number.GetStruct(&out, &var), 2u);
  EXPECT_EQ(out[1], 8);
  delete[] out;
  VariantClear(&var);

  // An empty block returns 0 with an empty array that the caller frees.
  CVdPatternValue empty(bytes, 0);
  out = nullptr;
  EXPECT_EQ(empty.GetStruct(&out, nullptr), 0u);
  EXPECT_NE(out, nullptr);
  delete[] out;
}

TEST(VdPatternValue, NarrowStreamWritesClassNameDescriptionAndShortNameInUtf8) {
  CVdPatternValue v(200.0);
  std::ostringstream fresh, os;
  fresh << v;
  EXPECT_EQ(fresh.str(), "CVdPatternValue Desc=, ShortName=");
  v.SetDescription(L"Höhe \U0001F600");
  v.SetAbrev(L"h");
  os << v;
  EXPECT_EQ(os.str(), "CVdPatternValue Desc=H\xC3\xB6he \xF0\x9F\x98\x80, ShortName=h");
}
