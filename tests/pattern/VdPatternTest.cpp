#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <vdpattern/pattern/VdPattern.h>

#include "toolkit/BaseSlot.h"

namespace {

// A value that counts its destructions, to prove ownership: each destroyed exactly once.
int g_destroyed = 0;
class CCountedValue : public CVdPatternValue {
 public:
  explicit CCountedValue(double v) : CVdPatternValue(v) {}
  ~CCountedValue() override { ++g_destroyed; }
};

// A host pattern that records its hooks.
class CRecordingPattern : public CVdPattern {
 public:
  explicit CRecordingPattern(int groups = 1) : CVdPattern(groups, L"rec", L"fam") {}
  void UpdateParamMap(int group) override {
    ++fills;
    if (fillOnDemand) SetParam(group, L"filled", 1.0);
  }
  bool UpdateDescription(int group, const std::wstring& name, CVdPatternValue* value) override {
    described.push_back(name);
    return SetMatchingDescription(group, name, value, L"width", L"Width", L"b");
  }
  int fills = 0;
  bool fillOnDemand = false;
  std::vector<std::wstring> described;
};

std::vector<std::wstring> Names(CVdPattern& p, int group) {
  std::vector<std::wstring> names;
  std::wstring name;
  CVdPatternValue* value = nullptr;
  for (bool ok = p.FindFirstParam(group, name, value); ok; ok = p.FindNextParam(name, value)) names.push_back(name);
  return names;
}

// A pattern "p" of family "f" holding one parameter.
template <typename T>
std::unique_ptr<CVdPattern> With(const wchar_t* name, T value) {
  auto p = std::make_unique<CVdPattern>(1, L"p", L"f");
  p->SetParam(0, name, value);
  return p;
}

std::wstring Text(const CVdPattern& p) {
  std::wostringstream os;
  os << p;
  return os.str();
}

}  // namespace

TEST(VdPattern, NamesAreFoldedToLowerCaseAndOrderedByCodeUnit) {
  CVdPattern p;
  p.SetParam(0, L"Width", 10.0);
  double w = 0;
  EXPECT_TRUE(p.GetParam(0, L"WIDTH", w));
  EXPECT_EQ(w, 10.0);
  EXPECT_TRUE(p.GetFixedParam(0, L"width", w));
  // Only A-Z fold: É stays upper case and sorts after ASCII.
  for (const wchar_t* name : {L"beta", L"alpha", L"gamma", L"_u", L"9z", L"Ébène"}) p.SetParam(0, name, 1L);
  EXPECT_EQ(Names(p, 0), (std::vector<std::wstring>{L"9z", L"_u", L"alpha", L"beta", L"gamma", L"width", L"Ébène"}));
}

TEST(VdPattern, StoringOwnsValuesAndReplacesExactlyOnce) {
  g_destroyed = 0;
  {
    CVdPattern p(2);
    auto* first = new CCountedValue(1.0);
    EXPECT_TRUE(p.SetValue(0, L"h", first));
    EXPECT_TRUE(p.SetValue(0, L"h", first));  // the very value again: kept, not destroyed
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_TRUE(p.SetValue(0, L"H", new CCountedValue(2.0)));  // replaces: first destroyed
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(p.GetSizeParam(0), 1);
    double h = 0;
    p.GetParam(0, L"h", h);
    EXPECT_EQ(h, 2.0);

    // Bad group indices: nothing touched, and the value handed over is not leaked.
    for (int bad : {2, -1}) EXPECT_FALSE(p.SetValue(bad, L"x", new CCountedValue(3.0)));
    EXPECT_EQ(g_destroyed, 3);
    EXPECT_EQ(p.GetSizeParam(2), 0);

    p.SetValue(1, L"a", new CCountedValue(1.0));
    p.SetValue(1, L"b", new CCountedValue(1.0));
    p.SetValue(1, L"null", nullptr);  // an entry without a value
    EXPECT_EQ(p.GetSizeParam(1), 3);
    EXPECT_TRUE(p.RemoveValue(1, L"null"));  // removed like any other entry
    EXPECT_TRUE(p.RemoveValue(1));
    EXPECT_EQ(g_destroyed, 5);
    EXPECT_EQ(p.GetSizeParam(1), 0);
    EXPECT_EQ(p.GetSizeVectorParam(), 2);
    EXPECT_FALSE(p.RemoveValue(1, L"a"));
    EXPECT_FALSE(p.RemoveValue(2));
    p.SetValue(1, L"c", new CCountedValue(1.0));
  }
  EXPECT_EQ(g_destroyed, 7);  // the destructor destroyed the last two
}

TEST(VdPattern, TypedReadersConvertOrRefuseAsDocumented) {
  CVdPattern p;
  p.SetParam(0, L"d", 2.5);
  p.SetParam(0, L"n", 3L);
  p.SetParam(0, L"t", std::wstring(L"12"));
  p.SetParam(0, L"s", CString(L"Grade S235"));

  double* pd = reinterpret_cast<double*>(1);
  EXPECT_FALSE(p.GetParam(0, L"n", &pd));
  EXPECT_EQ(pd, nullptr);
  EXPECT_TRUE(p.GetParam(0, L"d", &pd));
  *pd = 4.0;  // writes through into the stored value
  double d = 0;
  p.GetParam(0, L"d", d);
  EXPECT_EQ(d, 4.0);

  int* pi = nullptr;
  EXPECT_FALSE(p.GetFixedParam(0, L"d", &pi));
  ASSERT_TRUE(p.GetFixedParam(0, L"n", &pi));
  *pi = 4;
  long n = 0;
  EXPECT_TRUE(p.GetParam(0, L"n", n));
  EXPECT_EQ(n, 4);
  EXPECT_TRUE(p.GetParam(0, L"t", n));  // a text converts as the toolkit converts it
  EXPECT_EQ(n, 12);
  EXPECT_TRUE(p.GetParam(0, L"n", d));  // not VT_R8: converted
  EXPECT_EQ(d, 4.0);

  wchar_t** bstr = nullptr;
  EXPECT_FALSE(p.GetParam(0, L"d", &bstr));
  ASSERT_TRUE(p.GetParam(0, L"s", &bstr));
  EXPECT_STREQ(*bstr, L"Grade S235");

  // wcsncpy semantics: padded with zeros when shorter, unterminated when as long.
  wchar_t buf[6] = {L'x', L'x', L'x', L'x', L'x', L'x'};
  EXPECT_TRUE(p.GetParam(0, L"t", buf, 4));
  EXPECT_EQ(std::wstring(buf, 6), std::wstring(L"12\0\0xx", 6));
  EXPECT_TRUE(p.GetParam(0, L"s", buf, 5));
  EXPECT_EQ(std::wstring(buf, 6), std::wstring(L"Gradex", 6));
  EXPECT_FALSE(p.GetParam(0, L"missing", buf, 5));
  EXPECT_EQ(buf[0], L'\0');

  CString cs(L"old");
  EXPECT_FALSE(p.GetParam(0, L"missing", cs));
  EXPECT_TRUE(cs.IsEmpty());
  std::wstring ws = L"unchanged";
  EXPECT_FALSE(p.GetFixedParam(0, L"missing", ws));
  EXPECT_EQ(ws, L"unchanged");
  EXPECT_TRUE(p.GetFixedParam(0, L"d", ws));
  EXPECT_EQ(ws, L"4");
  for (std::wstring name : {L"D", L"n"}) EXPECT_EQ(p.IsParamValueDouble(0, name), name == L"D");

  // Out-of-range groups report false, also for the group count itself.
  for (int group : {1, -1}) {
    EXPECT_FALSE(p.GetParam(group, L"d", d));
    EXPECT_FALSE(p.GetFixedParam(group, L"d", d));
    EXPECT_FALSE(p.RemoveValue(group, L"d"));
    std::wstring found;
    CVdPatternValue* v = nullptr;
    EXPECT_FALSE(p.FindFirstParam(group, found, v));
  }
}

TEST(VdPattern, CursorWalksOneGroupEndsSafelyAndKeepsItsEntryWhileOthersComeAndGo) {
  CVdPattern p;
  std::wstring name;
  CVdPatternValue* v = nullptr;
  EXPECT_FALSE(p.FindNextParam(name, v));  // never started
  EXPECT_FALSE(p.FindFirstParam(0, name, v));
  p.SetParam(0, L"a", 1.0);
  p.SetParam(0, L"b", 2.0);
  EXPECT_EQ(Names(p, 0), (std::vector<std::wstring>{L"a", L"b"}));
  EXPECT_FALSE(p.FindNextParam(name, v));  // and stays ended

  // Removing or replacing the entry under the cursor ends the walk instead of leaving a dangling position;
  // replacing another entry, or storing the very value again, does not.
  ASSERT_TRUE(p.FindFirstParam(0, name, v));
  p.SetParam(0, L"b", 3.0);
  p.SetValue(0, L"a", v);
  ASSERT_TRUE(p.FindNextParam(name, v));
  ASSERT_TRUE(p.FindFirstParam(0, name, v));
  p.SetParam(0, L"a", 4.0);
  EXPECT_FALSE(p.FindNextParam(name, v));
  ASSERT_TRUE(p.FindFirstParam(0, name, v));
  p.RemoveValue(0, L"a");
  EXPECT_FALSE(p.FindNextParam(name, v));
  ASSERT_TRUE(p.FindFirstParam(0, name, v));
  p.RemoveAll();
  EXPECT_FALSE(p.FindNextParam(name, v));

  // The cursor keeps its entry while others come and go.
  for (const wchar_t* n : {L"c", L"e", L"g"}) p.SetParam(0, n, 1.0);
  ASSERT_TRUE(p.FindFirstParam(0, name, v));
  ASSERT_TRUE(p.FindNextParam(name, v));
  ASSERT_EQ(name, L"e");
  p.SetParam(0, L"a", 2.0);  // before the cursor
  p.SetParam(0, L"f", 2.0);  // just after it
  p.RemoveValue(0, L"c");    // before it
  p.SetParam(1, L"b", 2.0);  // another group (out of range here: changes nothing)
  std::vector<std::wstring> rest;
  while (p.FindNextParam(name, v)) rest.push_back(name);
  EXPECT_EQ(rest, (std::vector<std::wstring>{L"f", L"g"}));
}

// A description hook that stores more parameters while the first store is under way.
class CChainingPattern : public CVdPattern {
 public:
  bool UpdateDescription(int group, const std::wstring& name, CVdPatternValue* value) override {
    if (name.size() < 12) SetParam(group, name + L"x", 1.0);  // each store adds a longer name before returning
    seen.push_back(name);
    return CVdPattern::UpdateDescription(group, name, value);
  }
  std::vector<std::wstring> seen;
};

TEST(VdPattern, HookThatStoresMoreSeesStableNames) {
  CChainingPattern p;
  p.SetParam(0, L"Section", 1.0);
  EXPECT_EQ(p.GetSizeParam(0), 6);  // section, sectionx ... sectionxxxxx
  ASSERT_EQ(p.seen.size(), 6u);
  EXPECT_EQ(p.seen.back(), L"section");  // the outermost store ends last, its name intact
}

TEST(VdPattern, DerivedHooksFillAnEmptyGroupOnLookupAndDescribeOnStoreAndOnAssignment) {
  CRecordingPattern p;
  CVdPatternValue* v = nullptr;
  EXPECT_FALSE(p.GetValue(0, L"x", &v));
  EXPECT_FALSE(p.GetValue(0, L"x", &v));
  EXPECT_EQ(p.fills, 2);  // once per call while the group is empty
  EXPECT_FALSE(p.GetFixedParam(0, L"x", &v));
  EXPECT_EQ(p.fills, 2);  // the fixed readers never fill
  p.fillOnDemand = true;
  double d = 0;
  EXPECT_TRUE(p.GetParam(0, L"filled", d));
  EXPECT_TRUE(p.GetValue(0, L"filled", &v));
  EXPECT_EQ(p.fills, 3);  // not again once the group holds entries

  p.SetParam(0, L"Width", 100.0);
  ASSERT_EQ(p.described, (std::vector<std::wstring>{L"filled", L"width"}));
  ASSERT_TRUE(p.GetFixedParam(0, L"width", &v));
  std::wstring text;
  v->GetDescription(text);
  EXPECT_EQ(text, L"Width");

  // Assigned as a pattern, so that the target's own record is what its hooks wrote.
  CRecordingPattern target;
  static_cast<CVdPattern&>(target) = p;
  EXPECT_EQ(target.described, p.described);

  EXPECT_TRUE(p.SetMatchingDescription(0, L"HEIGHT", v, L"height", L"Height", L"h"));
  EXPECT_FALSE(p.SetMatchingDescription(0, L"height", v, L"width", L"Other", L"o"));
  v->GetDescription(text);
  EXPECT_EQ(text, L"Height");
}

TEST(VdPattern, CopiesGetNewGuidsAndIndependentValues) {
  CVdPattern a(1, L"IPE 200", L"IPE");
  CVdPattern b(1, L"IPE 200", L"IPE");
  EXPECT_NE(a.GetGUID(), b.GetGUID());
  EXPECT_EQ(a.GetGUID().GetLength(), 38);

  a.SetCatalog(L"sections");
  a.SetPatternType(CVdPattern::ePatternTypeCatalog);
  a.SetIsNewPattern(true);
  a.SetParam(0, L"h", 200.0);
  a.SetParam(0, L"grade", L"S235");
  std::unique_ptr<CVdPattern> clone(a.GetClone());
  EXPECT_NE(clone->GetGUID(), a.GetGUID());
  EXPECT_EQ(clone->IsEqual(a, true, true), 1);
  EXPECT_EQ(clone->GetCatalog(), L"sections");
  EXPECT_TRUE(clone->GetIsNewPattern());

  const CString bGuid = b.GetGUID();
  b = a;
  EXPECT_EQ(b.GetGUID(), bGuid);  // keeps its own GUID
  EXPECT_EQ(b.GetPatternType(), CVdPattern::ePatternTypeCatalog);
  EXPECT_TRUE(b.GetIsNewPattern());
  double* h = nullptr;
  ASSERT_TRUE(b.GetParam(0, L"h", &h));
  *h = 999.0;
  double original = 0;
  a.GetParam(0, L"h", original);
  EXPECT_EQ(original, 200.0);

  a = a;  // self-assignment keeps the parameters
  EXPECT_EQ(a.GetSizeParam(0), 2);

  // Assignment from a pattern with more groups grows the target; comparisons treat a missing group as a
  // difference instead of reading past the groups.
  CVdPattern wide(3, L"IPE 200", L"IPE");
  wide.SetParam(2, L"x", 1.0);
  CVdPattern narrow(1, L"IPE 200", L"IPE");
  EXPECT_EQ(narrow.IsEqual(wide, true, true), 0);
  EXPECT_FALSE(narrow == wide);
  EXPECT_EQ(wide.IsEqual(narrow, true, true), 1);
  narrow = wide;
  EXPECT_EQ(narrow.GetSizeVectorParam(), 3);
  EXPECT_EQ(narrow.IsEqual(wide, true, true), 1);
}

TEST(VdPattern, ComparisonsAreOneSided) {
  CVdPattern small(1, L"beam", L"Beams"), big(1, L"BEAM", L"beams");
  small.SetParam(0, L"width", 10.0);
  big.SetParam(0, L"width", 10.0);
  big.SetParam(0, L"height", 5.0);
  EXPECT_EQ(big.IsEqual(small, false, true), 1);  // only small's entries are looked for
  EXPECT_EQ(small.IsEqual(big, false, true), 0);
  EXPECT_EQ(small.IsEqual(big, true, false), 1);  // names compared without case

  // "color" is skipped by content but not by annotation; other contents are compared exactly, type and letter
  // case included.
  EXPECT_EQ(With(L"Color", L"red")->IsEqual(*With(L"color", L"blue"), true, true), 1);
  EXPECT_TRUE(*With(L"Color", L"red") == *With(L"color", L"blue"));
  EXPECT_EQ(With(L"n", 10.0)->IsEqual(*With(L"n", 10L), true, true), 0);
  EXPECT_EQ(With(L"g", L"S235")->IsEqual(*With(L"g", L"s235"), true, true), 0);

  // operator== compares annotations: different numbers with equal descriptions are equal.
  auto one = With(L"h", 1.0), two = With(L"h", 2.0);
  EXPECT_TRUE(*one == *two);
  EXPECT_EQ(one->IsEqual(*two, true, true), 0);
  CVdPatternValue* v = nullptr;
  two->GetFixedParam(0, L"h", &v);
  v->SetDescription(L"Height");
  EXPECT_TRUE(*one != *two);

  EXPECT_FALSE(CVdPattern(1, L"p", L"other") == *one);
  EXPECT_TRUE(CVdPattern(1, L"beam") < CVdPattern(1, L"Column"));
  EXPECT_FALSE(CVdPattern(1, L"Column") < CVdPattern(1, L"beam"));
  EXPECT_FALSE(CVdPattern(1, L"beam") < CVdPattern(1, L"BEAM"));
}

TEST(VdPattern, IdentityFoldsTheFamilyExposesTheStoredNameAndRefusesANegativeGroupCount) {
  CVdPattern p(1, nullptr, nullptr);
  EXPECT_TRUE(p.GetUserNameW().IsEmpty());
  p.SetFamily(L"Beams");
  EXPECT_EQ(p.GetFamily(), L"beams");
  CString* stored = nullptr;
  p.SetUserName(L"HEA 100");
  p.GetUserNameW(stored);
  *stored = L"HEA 120";  // the exposed field is the stored name itself
  EXPECT_EQ(p.GetUserNameW(), L"HEA 120");
  EXPECT_THROW(CVdPattern(-1), std::length_error);
}

TEST(VdPattern, WideStreamWritesIdentityThenOneLinePerEntry) {
  CVdPattern empty(1, L"IPE 200", L"IPE");
  EXPECT_EQ(Text(empty), L"IPE 200, " + empty.GetGUID().str() + L", IPE\n\n");

  CVdPattern p(2, L"HEA 100", L"HEA");
  p.SetParam(0, L"h", 96.0);
  p.SetParam(0, L"b", 100.0);
  p.SetParam(1, L"grade", L"S235");
  EXPECT_EQ(Text(p), L"HEA 100, " + p.GetGUID().str() + L", HEA\n(b, 100)\n(h, 96)\n\n(grade, S235)\n\n");
}

TEST(VdPattern, PatternsStoringTheSameNamesKeepTheirOwnEntries) {
  // More distinct names than a thread keeps at hand for sharing, stored in two patterns: each keeps every name
  // it stored whatever the other one does.
  std::vector<std::wstring> names;
  for (int k = 0; k < 700; ++k) names.push_back(L"p" + std::to_wstring(k));
  auto a = std::make_unique<CVdPattern>(1, L"a", L"Fam");
  CVdPattern b(1, L"b", L"Fam");
  for (const std::wstring& name : names) {
    a->SetParam(0, name, 1.0);
    b.SetParam(0, name, 2.0);
  }
  for (std::size_t k = 0; k < names.size(); k += 2) a->RemoveValue(0, names[k]);
  EXPECT_EQ(a->GetSizeParam(0), 350);
  EXPECT_EQ(a->GetFamily(), L"fam");  // folds a's family, not b's
  a.reset();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(Names(b, 0), names);
  double v = 0;
  EXPECT_TRUE(b.GetParam(0, L"p0", v));
  EXPECT_EQ(v, 2.0);
  EXPECT_EQ(Text(b).rfind(L"b, " + b.GetGUID().str() + L", Fam\n(p0, 2)\n", 0), 0u);  // b's family unfolded
}

TEST(VdPattern, PatternsSharingNamesMayEndOnAnotherThread) {
  // Patterns made on this thread share its names; another thread destroys them while this one makes more
  // with the same names.
  for (int round = 0; round < 20; ++round) {
    std::vector<std::unique_ptr<CVdPattern>> batch;
    for (int k = 0; k < 200; ++k) {
      batch.push_back(std::make_unique<CVdPattern>(1, L"p", L"Fam"));
      for (const wchar_t* name : {L"standard", L"h", L"b", L"tw", L"tf", L"iy"}) batch.back()->SetParam(0, name, 1.0);
    }
    std::thread reaper([&batch] { batch.clear(); });
    CVdPattern kept(1, L"k", L"Fam");
    for (const wchar_t* name : {L"standard", L"h", L"b", L"tw", L"tf", L"iy"}) kept.SetParam(0, name, 2.0);
    reaper.join();
    EXPECT_EQ(Names(kept, 0), (std::vector<std::wstring>{L"b", L"h", L"iy", L"standard", L"tf", L"tw"}));
  }
}

// The shortcuts of pools and catalogs rest on this answer: a class that overrides a slot must never be taken
// for one that keeps the base's code, and one that only adds behaviour should keep its shortcuts.
namespace {
class RenamingPattern : public CVdPattern {
 public:
  CString GetUserNameW() override { return L"always this"; }
};
class AddingPattern : public CVdPattern {
 public:
  CVdPattern* GetClone() const override { return new AddingPattern(*this); }
};
}  // namespace

TEST(BaseSlot, TellsAnOverrideFromAnInheritedSlot) {
  using NameFn = CString (CVdPattern::*)();
  const CVdPattern reference(0);
  const RenamingPattern renaming;
  const AddingPattern adding;
  const auto name = static_cast<NameFn>(&CVdPattern::GetUserNameW);
  const auto guid = static_cast<NameFn>(&CVdPattern::GetGUID);
  EXPECT_TRUE(KeepsBaseSlot<CVdPattern>(reference, reference, name));
  EXPECT_FALSE(KeepsBaseSlot<CVdPattern>(renaming, reference, name));
  EXPECT_TRUE(KeepsBaseSlot<CVdPattern>(renaming, reference, guid));
  EXPECT_TRUE(KeepsBaseSlot<CVdPattern>(adding, reference, name));
}
