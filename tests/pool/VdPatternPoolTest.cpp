#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <list>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/pool/VdPatternPool.h>

namespace {

// A pattern that counts its destructions, to prove who deletes what. Being of a derived class, it keeps pools
// on their walk; tests of what the index answers use plain patterns.
int g_destroyed = 0;
class CCountedPattern : public CVdPattern {
 public:
  explicit CCountedPattern(const wchar_t* name, double w = 1.0, const wchar_t* family = L"beams")
      : CVdPattern(1, name, family) {
    SetParam(0, L"w", w);
  }
  ~CCountedPattern() override { ++g_destroyed; }
  CVdPattern* GetClone() const override { return new CCountedPattern(*this); }
};

std::unique_ptr<CVdPattern> Counted(const wchar_t* name, double w = 1.0, const wchar_t* family = L"beams") {
  return std::make_unique<CCountedPattern>(name, w, family);
}

std::unique_ptr<CVdPattern> Plain(const wchar_t* name, double w = 1.0, const wchar_t* family = L"beams") {
  auto p = std::make_unique<CVdPattern>(1, name, family);
  p->SetParam(0, L"w", w);
  return p;
}

// Hands the pattern to the pool; keeps it with the caller when refused.
bool Add(CVdPatternPool& pool, std::unique_ptr<CVdPattern>& p, bool force = false) {
  if (!pool.AddPattern(p.get(), force)) return false;
  p.release();
  return true;
}
bool Add(CVdPatternPool& pool, std::unique_ptr<CVdPattern>&& p, bool force = false) { return Add(pool, p, force); }

std::vector<std::wstring> Names(CVdPatternPool& pool) {
  std::list<CString> names;
  pool.GetListUserName(names);
  std::vector<std::wstring> out;
  for (const CString& n : names) out.push_back(n.str());
  return out;
}

double Width(CVdPattern* p) {
  double w = 0;
  p->GetParam(0, L"w", w);
  return w;
}

CString Lower(CString text) { return text.MakeLower(); }

}  // namespace

// ---------------------------------------------------------------- order and lookup by name

TEST(VdPatternPool, KeepsPatternsInCollationOrderWithEqualNamesInInsertionOrder) {
  CVdPatternPool pool;
  for (const wchar_t* name : {L"beam", L"Angle", L"tube"}) Add(pool, Plain(name));
  EXPECT_EQ(Names(pool), (std::vector<std::wstring>{L"Angle", L"beam", L"tube"}));
  EXPECT_TRUE(Add(pool, Plain(L"angle", 2.0)));  // a different pattern of an equal name goes after
  EXPECT_TRUE(Add(pool, Plain(L"ANGLE", 3.0)));
  EXPECT_EQ(Names(pool), (std::vector<std::wstring>{L"Angle", L"angle", L"ANGLE", L"beam", L"tube"}));
  EXPECT_EQ(Width(pool.GetPatternByName(L"aNgLe")), 1.0);  // the first of the equal names
  EXPECT_EQ(pool.GetPatternByName(L"BEAM"), pool.FindPattern(3));
  EXPECT_EQ(pool.GetPatternByName(L"beams"), nullptr);

  // The name search stops at the first greater name.
  CVdPatternPool broken;
  for (const wchar_t* name : {L"angle", L"tube", L"zulu"}) Add(broken, Plain(name));
  CVdPattern* last = broken.FindPattern(2);
  last->SetUserName(L"beam");  // now out of order, behind tube
  EXPECT_EQ(Names(broken), (std::vector<std::wstring>{L"angle", L"tube", L"beam"}));
  EXPECT_EQ(broken.GetPatternByName(L"beam"), nullptr);  // the walk gave up at tube
  EXPECT_EQ(broken.GetPattern(last->GetGUID(), true), last);
  EXPECT_EQ(broken.GetPatternByName(L"tube"), broken.FindPattern(1));
  CVdPatternPool empty;
  EXPECT_EQ(empty.GetPatternByName(L""), nullptr);
}

// A rename seen by two pools. Names and GUIDs the host writes through exposed pointers are otherwise the
// differential test's, whose patterns never hold a generated GUID.
TEST(VdPatternPool, RenamedPatternIsFoundUnderItsNewNameOnlyInEveryPoolHoldingIt) {
  CVdPatternPool owner;
  for (const wchar_t* name : {L"angle", L"beam", L"tube"}) Add(owner, Plain(name));
  CVdPatternPool sharing(false);
  owner.GetFamilyPattern(sharing, L"", false);
  CVdPattern* beam = owner.GetPatternByName(L"beam");
  ASSERT_EQ(sharing.GetPatternByName(L"beam"), beam);  // both pools have looked it up before the rename

  beam->SetUserName(L"bar");  // stays in order
  for (CVdPatternPool* pool : {&owner, &sharing}) {
    EXPECT_EQ(pool->GetPatternByName(L"BAR"), beam);
    EXPECT_EQ(pool->GetPatternByName(L"beam"), nullptr);
  }
  // A generated GUID handed out is the text written through its pointer from then on.
  CString* guid = nullptr;
  beam->GetGUID(&guid);
  *guid = L"{new}";
  for (CVdPatternPool* pool : {&owner, &sharing}) EXPECT_EQ(pool->GetPattern(L"{NEW}", true), beam);
}

// ---------------------------------------------------------------- duplicates

TEST(VdPatternPool, AddRefusesPatternEqualToAPooledOne) {
  g_destroyed = 0;
  CVdPatternPool pool;
  Add(pool, Counted(L"beam", 1.0, L"beams"));
  auto same = Counted(L"BEAM", 1.0, L"Beams");  // equal ignoring case
  EXPECT_FALSE(Add(pool, same));
  EXPECT_EQ(pool.GetCount(), 1);
  EXPECT_EQ(g_destroyed, 0);  // a refused pattern stays the caller's

  EXPECT_TRUE(Add(pool, Counted(L"beam", 2.0)));              // other parameters
  EXPECT_TRUE(Add(pool, Counted(L"beam", 1.0, L"columns")));  // other family
  EXPECT_TRUE(Add(pool, Counted(L"béam", 1.0)));              // other name
  EXPECT_TRUE(Add(pool, same, true));                         // forced
  EXPECT_EQ(pool.GetCount(), 5);
  EXPECT_FALSE(pool.AddPattern(pool.FindPattern(0), false));  // already pooled
  EXPECT_FALSE(pool.AddPattern(nullptr, true));
  EXPECT_EQ(pool.GetCount(), 5);
}

TEST(VdPatternPool, AddRefusesPatternWithPooledGuid) {
  g_destroyed = 0;
  CVdPatternPool pool;
  Add(pool, Counted(L"beam"));
  const CString guid = pool.FindPattern(0)->GetGUID();
  auto twin = Counted(L"angle", 5.0);
  twin->SetGUID(Lower(guid));
  EXPECT_FALSE(Add(pool, twin));
  EXPECT_EQ(pool.GetCount(), 1);
  EXPECT_EQ(g_destroyed, 0);
  CVdPattern* forced = twin.get();
  EXPECT_TRUE(Add(pool, twin, true));
  EXPECT_EQ(Names(pool), (std::vector<std::wstring>{L"angle", L"beam"}));
  // Lookups by a shared GUID answer the first in pool order.
  EXPECT_EQ(pool.GetPattern(guid, true), forced);
  EXPECT_TRUE(pool.DeletePattern(guid));
  EXPECT_EQ(pool.GetPattern(Lower(guid), true)->GetUserNameW(), CString(L"beam"));
}

TEST(VdPatternPool, FreshGuidsStillMeetTheirCopies) {
  CVdPattern a(1, L"zeta"), b(1, L"alpha"), c(1, L"omega");
  b.SetGUID(a.GetGUID());
  CVdPatternPool pool(false);
  EXPECT_TRUE(pool.AddPattern(&b, false));
  EXPECT_FALSE(pool.AddPattern(&a, false));  // past the last name and never given a GUID, yet b holds a copy
  EXPECT_TRUE(pool.AddPattern(&c, false));
  CVdPatternPool other(false);
  EXPECT_TRUE(other.AddPattern(&a, false));
  EXPECT_FALSE(other.AddPattern(&b, false));

  // Adds that needed no GUID check still leave every GUID findable, and removals keep it so.
  CVdPatternPool owning;
  std::vector<CString> guids;
  for (int k = 0; k < 200; ++k) {
    auto* p = new CVdPattern(1, (L"IPE " + std::to_wstring(1000 + k)).c_str());
    guids.push_back(p->GetGUID());
    ASSERT_TRUE(owning.AddPattern(p, false));
  }
  for (int k = 0; k < 200; k += 2) EXPECT_TRUE(owning.DeletePattern(Lower(guids[k])));
  for (int k = 0; k < 200; ++k) EXPECT_EQ(owning.IsExistPattern(guids[k], true), k % 2 == 1) << k;
  CVdPattern late(1, L"IPE 9999");
  late.SetGUID(guids[1]);
  EXPECT_FALSE(owning.AddPattern(&late, false));
}

TEST(VdPatternPool, LargePoolsKeepTheirOrderThroughRandomAddsAndDeletes) {
  // Enough patterns for the index to split and merge its storage many times, names repeated in other cases.
  std::vector<int> numbers(3000);
  for (int k = 0; k < 3000; ++k) numbers[k] = k % 1000;
  std::mt19937 rng(11);
  std::shuffle(numbers.begin(), numbers.end(), rng);
  CVdPatternPool pool;
  std::multiset<std::wstring> expected;
  std::vector<CVdPattern*> added;
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    const std::wstring name = (k % 2 ? L"HEA " : L"hea ") + std::to_wstring(1000 + numbers[k]);
    added.push_back(new CVdPattern(1, name.c_str()));
    ASSERT_TRUE(pool.AddPattern(added.back(), true));
    expected.insert(Lower(CString(name.c_str())).str());
  }
  for (std::size_t k = 0; k < added.size(); k += 1 + rng() % 2) {
    expected.erase(expected.find(Lower(added[k]->GetUserNameW()).str()));
    ASSERT_TRUE(pool.DeletePattern(added[k]->GetGUID()));
  }
  ASSERT_EQ(pool.GetCount(), static_cast<int>(expected.size()));
  int k = 0;
  for (const std::wstring& name : expected) EXPECT_EQ(Lower(pool.FindPattern(k++)->GetUserNameW()).str(), name);
  for (int n = 0; n < 1000; ++n) {
    const std::wstring name = L"HEA " + std::to_wstring(1000 + n);
    EXPECT_EQ(pool.GetPatternByName(name.c_str()) != nullptr, expected.count(Lower(name.c_str()).str()) > 0);
  }
}

// ---------------------------------------------------------------- other finders

TEST(VdPatternPool, FindersByGuidNameAndFamilyAndStructureAnswerAsDocumented) {
  CVdPatternPool pool;
  for (const wchar_t* name : {L"beam", L"tube"}) Add(pool, Plain(name));
  CVdPattern* tube = pool.FindPattern(1);
  tube->SetGUID(L"{ABCXYZ-É}");
  EXPECT_TRUE(pool.IsExistPattern(L"{abcxyz-É}", false));
  EXPECT_FALSE(pool.IsExistPattern(L"{abcxyz-é}", true));  // only A-Z fold
  EXPECT_EQ(pool.GetPattern(L"{AbCxYz-É}", true), tube);
  EXPECT_EQ(pool.GetPattern(L"{abcxyz-É}", CString(L"TUBE")), tube);
  EXPECT_EQ(pool.GetPattern(L"{abcxyz-É}", CString(L"beam")), nullptr);
  EXPECT_EQ(pool.GetPattern(L"{nothing}", true), nullptr);

  // Name and family: both needed, compared without collation.
  CVdPatternPool named;
  Add(named, Plain(L"beam", 1.0, L"Rails"));
  Add(named, Plain(L"Beam", 1.0, L"Beams"));
  Add(named, Plain(L"béam", 1.0, L"beams"));
  EXPECT_EQ(named.GetPatternByNameAndFamily(L"BEAM", L"beams"), named.FindPattern(1));
  EXPECT_EQ(named.GetPatternByNameAndFamily(L"BÉAM", L"beams"), nullptr);  // É is not folded
  EXPECT_EQ(named.GetPatternByNameAndFamily(L"beam", L""), nullptr);
  EXPECT_EQ(named.GetPatternByNameAndFamily(L"", L"beams"), nullptr);

  // Structure: by the comparison asked for.
  CVdPatternPool structural;
  Add(structural, Plain(L"beam", 1.0));
  Add(structural, Plain(L"tube", 2.0));
  CVdPattern probe(1, L"other", L"beams");
  probe.SetParam(0, L"w", 2.0);
  EXPECT_FALSE(structural.IsExistPattern(&probe, true, true));
  EXPECT_EQ(structural.GetPattern(&probe, false, true), structural.FindPattern(1));
  EXPECT_EQ(structural.GetPattern(&probe, false, false), structural.FindPattern(0));
  probe.SetUserName(L"TUBE");
  EXPECT_EQ(structural.GetPattern(&probe, true, true), structural.FindPattern(1));
  EXPECT_EQ(structural.GetPattern(nullptr, true, true), nullptr);

  // Positions outside the pool give null or false.
  CVdPatternPool positions;
  EXPECT_EQ(positions.FindPattern(0), nullptr);
  for (const wchar_t* name : {L"beam", L"angle"}) Add(positions, Plain(name));
  EXPECT_EQ(positions.FindPattern(-1), nullptr);
  EXPECT_EQ(positions.FindPattern(positions.GetCount()), nullptr);
  EXPECT_FALSE(positions.ErasePattern(-1, true));
  EXPECT_FALSE(positions.ErasePattern(2, true));
  EXPECT_EQ(positions.GetCount(), 2);
  EXPECT_EQ(positions.FindPatternPosition(positions.FindPattern(1)), 1);
  CVdPattern twin(1, L"beam", L"beams");  // equal content is not identity
  EXPECT_EQ(positions.FindPatternPosition(&twin), -1);
  EXPECT_EQ(positions.FindPatternPosition(nullptr), -1);
}

TEST(VdPatternPool, CursorWalksOnceAndEndsWhenItsPatternLeaves) {
  CVdPatternPool pool;
  EXPECT_EQ(pool.FindNextPattern(), nullptr);  // never set
  EXPECT_EQ(pool.FindFirstPattern(), nullptr);
  for (const wchar_t* name : {L"b", L"a", L"c"}) Add(pool, Plain(name));
  EXPECT_EQ(pool.FindNextPattern(), nullptr);
  EXPECT_EQ(pool.FindFirstPattern(), pool.FindPattern(0));
  EXPECT_EQ(pool.FindNextPattern(), pool.FindPattern(1));
  EXPECT_EQ(pool.FindNextPattern(), pool.FindPattern(2));
  EXPECT_EQ(pool.FindNextPattern(), nullptr);
  EXPECT_EQ(pool.FindNextPattern(), nullptr);

  pool.FindFirstPattern();
  EXPECT_EQ(pool.FindNextPattern()->GetUserNameW(), CString(L"b"));
  EXPECT_TRUE(pool.DeletePattern(pool.FindPattern(1)->GetGUID()));
  EXPECT_EQ(pool.FindNextPattern(), nullptr);
}

// ---------------------------------------------------------------- ownership

TEST(VdPatternPool, DeleteAlwaysDeletesAndEraseOnlyOnRequest) {
  g_destroyed = 0;
  CVdPatternPool pool(false);
  for (const wchar_t* name : {L"beam", L"tube"}) Add(pool, Counted(name));
  const CString guid = pool.FindPattern(1)->GetGUID();
  EXPECT_FALSE(pool.DeletePattern(L"{missing}"));
  EXPECT_TRUE(pool.DeletePattern(Lower(guid)));
  EXPECT_EQ(g_destroyed, 1);
  EXPECT_FALSE(pool.DeletePattern(guid));
  EXPECT_EQ(Names(pool), std::vector<std::wstring>{L"beam"});
  pool.FindFirstPattern();
  pool.DeleteAllPattern();
  EXPECT_EQ(g_destroyed, 2);
  EXPECT_TRUE(pool.IsEmpty());
  EXPECT_EQ(pool.FindNextPattern(), nullptr);  // the cursor does not outlive its pattern
  EXPECT_TRUE(Add(pool, Counted(L"a")));       // the name index was emptied with the list
  EXPECT_EQ(pool.GetPatternByName(L"A"), pool.FindPattern(0));
  pool.DeleteAllPattern();

  // ErasePattern deletes only on request.
  g_destroyed = 0;
  CVdPatternPool owning;
  for (const wchar_t* name : {L"a", L"b", L"c"}) Add(owning, Counted(name));
  std::unique_ptr<CVdPattern> kept(owning.FindPattern(1));
  EXPECT_TRUE(owning.ErasePattern(1, false));
  EXPECT_EQ(g_destroyed, 0);
  EXPECT_EQ(owning.FindPatternPosition(kept.get()), -1);
  EXPECT_EQ(owning.GetPattern(kept->GetGUID(), true), nullptr);
  EXPECT_TRUE(owning.ErasePattern(0, true));
  EXPECT_EQ(g_destroyed, 1);
  EXPECT_EQ(Names(owning), std::vector<std::wstring>{L"c"});
  EXPECT_TRUE(Add(owning, kept));  // an erased pattern can come back
  EXPECT_EQ(Names(owning), (std::vector<std::wstring>{L"b", L"c"}));
}

TEST(VdPatternPool, DestructorDeletesOnlyWhenThePoolOwnsAndASharingPoolMayOutliveTheOwner) {
  g_destroyed = 0;
  auto* a = new CCountedPattern(L"a");  // deleted by the owning pool only
  for (bool owns : {false, true}) {
    CVdPatternPool pool(owns);
    pool.AddPattern(a, false);
  }
  EXPECT_EQ(g_destroyed, 1);

  g_destroyed = 0;
  CVdPatternPool sharing(false);  // must not touch its borrowed patterns when it goes after the owner
  {
    CVdPatternPool owner;
    Add(owner, Counted(L"beam", 1.0, L"beams"));
    Add(owner, Counted(L"tube", 1.0, L"tubes"));
    Add(owner, Counted(L"rail", 1.0, L"Beams"));
    owner.GetFamilyPattern(sharing, L"BEAMS", false);
    EXPECT_EQ(Names(sharing), (std::vector<std::wstring>{L"beam", L"rail"}));
    EXPECT_EQ(sharing.FindPattern(0), owner.FindPattern(0));  // shared, not copied
  }
  EXPECT_EQ(g_destroyed, 3);
}

TEST(VdPatternPool, SetPatternOverwritesThePooledPatternInPlace) {
  g_destroyed = 0;
  CVdPatternPool pool;
  for (const wchar_t* name : {L"Angle", L"beam", L"tube"}) Add(pool, Counted(name));
  CVdPattern* beam = pool.FindPattern(1);
  const CString guid = beam->GetGUID();

  auto update = Counted(L"zed", 9.0);
  update->SetGUID(Lower(guid));
  pool.SetPattern(update.get());
  EXPECT_EQ(pool.FindPatternPosition(update.get()), -1);  // not taken
  EXPECT_EQ(pool.FindPattern(1), beam);
  EXPECT_EQ(beam->GetGUID(), guid);
  EXPECT_EQ(Width(beam), 9.0);
  EXPECT_EQ(Names(pool), (std::vector<std::wstring>{L"Angle", L"zed", L"tube"}));
  EXPECT_EQ(pool.GetPatternByName(L"zed"), beam);
  EXPECT_EQ(g_destroyed, 0);

  auto fresh = Counted(L"bar");
  CVdPattern* taken = fresh.get();
  pool.SetPattern(fresh.release());
  EXPECT_EQ(pool.FindPatternPosition(taken), 1);

  auto equal = Counted(L"ANGLE");  // equal to a pooled pattern, GUID unknown: neither taken nor copied
  pool.SetPattern(equal.get());
  EXPECT_EQ(pool.GetCount(), 4);
  pool.SetPattern(nullptr);
  EXPECT_EQ(g_destroyed, 0);
}

TEST(VdPatternPool, SetListPatternPassesOverKnownGuids) {
  CVdPatternPool pool;
  Add(pool, Plain(L"beam"));
  auto known = Plain(L"other", 3.0);
  known->SetGUID(Lower(pool.FindPattern(0)->GetGUID()));
  auto equal = Plain(L"beam");
  auto fresh = Plain(L"angle");
  pool.SetListPattern({known.get(), equal.get(), fresh.get(), nullptr});
  EXPECT_EQ(Names(pool), (std::vector<std::wstring>{L"angle", L"beam"}));
  EXPECT_EQ(Width(pool.FindPattern(1)), 1.0);  // not overwritten
  CVdPattern* taken = fresh.get();
  if (pool.FindPatternPosition(taken) >= 0) fresh.release();
  EXPECT_EQ(pool.FindPattern(0), taken);
}

TEST(VdPatternPool, AssignmentAndCopiesAddClonesInOrderAndOwnThem) {
  g_destroyed = 0;
  CVdPatternPool source;
  for (const wchar_t* name : {L"tube", L"angle", L"beam"}) Add(source, Counted(name));
  CVdPatternPool target;
  Add(target, Counted(L"BEAM"));  // equal to source's beam: that clone is refused
  CVdPattern* own = target.FindPattern(0);
  target.FindFirstPattern();
  target = source;
  EXPECT_EQ(g_destroyed, 1);  // the refused clone
  EXPECT_EQ(Names(target), (std::vector<std::wstring>{L"angle", L"BEAM", L"tube"}));
  EXPECT_EQ(target.FindPattern(1), own);
  EXPECT_EQ(target.FindNextPattern(), nullptr);  // cursor reset
  for (int i : {0, 2}) EXPECT_NE(target.FindPattern(i), source.FindPattern(i));
  target = target;
  EXPECT_EQ(target.GetCount(), 3);
  target.DeleteAllPattern();
  EXPECT_EQ(g_destroyed, 4);
  EXPECT_EQ(source.GetCount(), 3);

  // Copies own their clones.
  g_destroyed = 0;
  CCountedPattern tube(L"tube"), angle(L"angle");  // outlive the pool that borrows them
  CVdPatternPool borrowing(false);
  borrowing.AddPattern(&tube, false);
  borrowing.AddPattern(&angle, false);
  {
    CVdPatternPool copy(borrowing);
    std::unique_ptr<CVdPatternPool> clone(borrowing.GetClone());
    EXPECT_EQ(Names(copy), (std::vector<std::wstring>{L"angle", L"tube"}));
    EXPECT_EQ(Names(*clone), Names(copy));
    EXPECT_NE(clone->FindPattern(0), borrowing.FindPattern(0));
    EXPECT_EQ(copy.GetFactory(), nullptr);
  }
  EXPECT_EQ(g_destroyed, 4);
  EXPECT_EQ(Names(borrowing), (std::vector<std::wstring>{L"angle", L"tube"}));
}

// ---------------------------------------------------------------- lists

TEST(VdPatternPool, ListsAppendInPoolOrderAndFilterByFamily) {
  CVdPatternPool pool;
  Add(pool, Plain(L"tube", 1.0, L"Tubes"));
  Add(pool, Plain(L"beam", 1.0, L"beams"));
  Add(pool, Plain(L"angle", 1.0, L"TUBES"));
  std::list<CString> names{L"kept"};
  pool.GetFamilyListUserName(names, L"tubes");
  EXPECT_EQ(names, (std::list<CString>{L"kept", L"angle", L"tube"}));
  names.clear();
  pool.GetFamilyListUserName(names, L"");
  EXPECT_EQ(names, (std::list<CString>{L"angle", L"beam", L"tube"}));
  pool.GetListUserName(names);
  EXPECT_EQ(names.size(), 6u);

  std::list<CVdPattern*> patterns;
  pool.GetListPattern(patterns, L"BEAMS");
  EXPECT_EQ(patterns, std::list<CVdPattern*>{pool.FindPattern(1)});
  pool.GetListPattern(patterns, L"");
  EXPECT_EQ(patterns.size(), 4u);
}

// ---------------------------------------------------------------- standard names through a factory

namespace {

// Builds the standard pattern "HEA 100" (w 100) for the code HEA100; refuses "BAD" after building it anyway.
class CStandardFactory : public CVdPatternFactory {
 public:
  CVdPattern::enumCheckUserName GetParamPatternFromStandardCode(const wchar_t* code, CVdPattern** pattern) override {
    ++calls;
    *pattern = nullptr;
    const std::wstring c = code;
    if (c == L"HEA100" || c == L"BAD") *pattern = new CCountedPattern(L"HEA 100", 100.0, L"hea");
    return c == L"HEA100" ? CVdPattern::eCheckUserNameOk : CVdPattern::eCheckUserNameRefused;
  }
  int calls = 0;
};

}  // namespace

TEST(VdPatternPool, StandardCodesFindThePatternEqualBothWaysAndAreThoseTheFactoryAccepts) {
  CStandardFactory factory;
  CVdPatternPool pool(true, &factory);
  EXPECT_EQ(pool.GetPattern(L"HEA100"), nullptr);  // an empty pool asks nobody
  EXPECT_EQ(factory.calls, 0);

  auto wider = Counted(L"HEA 100", 100.0, L"hea");  // holds one parameter more than the standard
  wider->SetParam(0, L"h", 5.0);
  CVdPattern* superset = wider.get();
  Add(pool, wider);
  Add(pool, Counted(L"hea 100", 100.0, L"HEA"), true);
  CVdPattern* exact = pool.FindPattern(1);
  Add(pool, Counted(L"beam"));

  g_destroyed = 0;
  EXPECT_EQ(pool.GetPattern(L"HEA100"), exact);      // not the superset: equal only one way
  EXPECT_EQ(g_destroyed, 1);                         // the standard pattern is deleted
  EXPECT_EQ(pool.GetPattern(L"hea 100"), superset);  // the name itself wins without asking
  EXPECT_EQ(pool.GetPattern(L"nothing"), nullptr);   // the factory builds nothing
  EXPECT_EQ(factory.calls, 2);
  EXPECT_TRUE(pool.IsExistUserName(L"HEA100"));
  EXPECT_FALSE(pool.IsExistUserName(L"nothing"));

  EXPECT_TRUE(pool.DeletePattern(exact->GetGUID()));
  g_destroyed = 0;
  EXPECT_EQ(pool.GetPattern(L"HEA100"), nullptr);
  EXPECT_EQ(g_destroyed, 1);

  // Standard names are those the factory accepts; a copy keeps the factory.
  CStandardFactory standards;
  CVdPatternPool withFactory(true, &standards);
  g_destroyed = 0;
  EXPECT_TRUE(withFactory.IsStandardPatternName(L"HEA100"));
  EXPECT_FALSE(withFactory.IsStandardPatternName(L"BAD"));
  EXPECT_FALSE(withFactory.IsStandardPatternName(L"nothing"));
  EXPECT_EQ(g_destroyed, 2);  // both built patterns deleted

  Add(withFactory, Counted(L"HEA 100", 100.0, L"hea"));
  CVdPatternPool copied(withFactory);  // a copied keeps the standards, so it still knows standard codes
  EXPECT_EQ(copied.GetFactory(), &standards);
  EXPECT_EQ(copied.GetPattern(L"HEA100"), copied.FindPattern(0));
}

// ---------------------------------------------------------------- the index answers as the walk does

namespace {

// Same answers as CVdPattern, but overriding IsEqual makes a pool walk its list instead of using its index.
class CWalkedPattern : public CVdPattern {
 public:
  CWalkedPattern(const wchar_t* name, const wchar_t* family) : CVdPattern(1, name, family) {}
  int IsEqual(const CVdPattern& other, bool names, bool params) const override {
    return CVdPattern::IsEqual(other, names, params);
  }
};

// One pool and the patterns the test made for it, each known by an id shared with the twin pool.
struct CSide {
  explicit CSide(bool walked) : walked(walked) {}
  bool walked;
  CVdPatternPool pool;
  std::map<const CVdPattern*, int> ids;
  std::vector<std::unique_ptr<CVdPattern>> aside;  // erased without deletion

  std::unique_ptr<CVdPattern> Make(int id, const std::wstring& name, const std::wstring& family, double w,
                                   const std::wstring& guid) {
    std::unique_ptr<CVdPattern> p(walked ? new CWalkedPattern(name.c_str(), family.c_str())
                                         : new CVdPattern(1, name.c_str(), family.c_str()));
    p->SetParam(0, L"w", w);
    p->SetGUID(guid);
    ids[p.get()] = id;
    return p;
  }
  int Id(const CVdPattern* p) const { return p ? ids.at(p) : -1; }
  bool Add(std::unique_ptr<CVdPattern> p, bool force) {
    if (pool.AddPattern(p.get(), force)) {
      p.release();
      return true;
    }
    ids.erase(p.get());
    return false;
  }
  std::vector<std::pair<std::wstring, int>> State() {
    std::vector<std::pair<std::wstring, int>> state;
    for (int i = 0; i < pool.GetCount(); ++i)
      state.emplace_back(pool.FindPattern(i)->GetUserNameW().str(), Id(pool.FindPattern(i)));
    return state;
  }
};

std::wstring FoldAll(std::wstring text, bool beyondAscii) {
  for (wchar_t& c : text)
    if ((c >= L'A' && c <= L'Z') || (beyondAscii && c >= 0xC0 && c <= 0xDE && c != 0xD7)) c += 32;
  return text;
}

}  // namespace

TEST(VdPatternPool, IndexedPoolAnswersExactlyAsTheWalkingPool) {
  // Names that collate equal without being equal ignoring case (accented capitals, an ignorable soft hyphen,
  // full-width letters), names that differ only by an accent, an empty name.
  const std::vector<std::wstring> names = {
      L"beam", L"Beam", L"BEAM", L"béam", L"BÉAM", L"be\u00ADam", L"ｂｅａｍ", L"angle", L"Angle", L"ângle", L"tube",
      L"Tube", L"IPE 100", L"ipe 100", L"IPE 200", L"Église", L"eglise", L"", L"zeta",
      // Past 16 characters only the names themselves tell these apart; some end where the prefix ends.
      L"HEA 100 x 200 x 300 A", L"hea 100 x 200 x 300 a", L"HEA 100 x 200 x 300 B", L"HEA 100 x 200 x 30",
      L"HEA 100 x 200 x", L"HEA 100 x 200 x ", L"hea 100 x 200 x 3"};
  std::vector<std::wstring> lookups = names;
  lookups.insert(lookups.end(), {L"BEAm", L"none", L"IPE 150", L"ÉGLISE", L"HEA 100 x 200 x 300 C"});
  const std::vector<std::wstring> families = {L"beams", L"Beams", L"tubes"};

  std::mt19937 rng(20240611);
  auto pick = [&](std::size_t n) { return static_cast<int>(rng() % n); };
  int nextId = 0, nextGuid = 0;
  // Every GUID handed out: free texts, some with a non-ASCII letter, and GUIDs in the brace form (which the
  // index compares by their bits): the nil one, GUIDs a few bits apart, and some with one digit out of range.
  std::vector<std::wstring> guids;
  auto freshGuid = [&] {
    const int n = nextGuid++;
    if (n % 2) {
      guids.push_back(L"{GUID-" + std::to_wstring(n) + (n % 3 ? L"-AB}" : L"-É}"));
    } else if (n == 0) {
      guids.push_back(L"{00000000-0000-0000-0000-000000000000}");
    } else {
      const unsigned m = static_cast<unsigned>(n / 2);
      wchar_t text[48];
      std::swprintf(text, 48, L"{%08X-%04X-4%03X-A0B0-%012X}", m % 5 ? m * 2654435761u : 0u, m % 3, m % 7, m);
      guids.push_back(text);
      if (m % 6 == 5) guids.back()[m % 4 ? 20 : 36] = L'G';
    }
    return guids.back();
  };
  auto someGuid = [&] {
    const std::wstring& g = guids[pick(guids.size())];
    const int how = pick(3);
    return how == 0 ? g : FoldAll(g, how == 2);
  };
  auto someName = [&] { return names[pick(names.size())]; };

  CSide indexed(false), walked(true);
  CSide* sides[] = {&indexed, &walked};
  std::set<int> exposed;  // ids whose name or GUID pointer was handed out

  for (int step = 0; step < 4000; ++step) {
    const int count = indexed.pool.GetCount();
    int op = pick(100);
    if (count > 60 && op < 34) op = 56 + pick(15);  // keep the pools small enough for many duplicates
    std::vector<long long> answers;
    const char* what = "";

    if (op < 30) {
      what = "add";
      const int id = nextId++;
      const std::wstring name = someName(), family = families[pick(families.size())];
      const double w = 1.0 + pick(2);
      const std::wstring guid = guids.empty() || pick(4) ? freshGuid() : someGuid();
      const bool force = pick(5) == 0;
      for (CSide* s : sides) answers.push_back(s->Add(s->Make(id, name, family, w, guid), force));
    } else if (op < 34) {
      what = "add again";
      if (indexed.aside.empty()) continue;
      const int j = pick(indexed.aside.size());
      const bool force = pick(4) == 0;
      for (CSide* s : sides) {
        std::unique_ptr<CVdPattern> p = std::move(s->aside[j]);
        s->aside.erase(s->aside.begin() + j);
        answers.push_back(s->Add(std::move(p), force));
      }
    } else if (op < 46) {
      what = "find by name";
      const std::wstring name = lookups[pick(lookups.size())];
      for (CSide* s : sides) answers.push_back(s->Id(s->pool.GetPatternByName(name.c_str())));
    } else if (op < 52) {
      what = "find by GUID";
      if (guids.empty()) continue;
      const std::wstring guid = someGuid();
      for (CSide* s : sides) {
        answers.push_back(s->pool.IsExistPattern(guid.c_str(), true));
        answers.push_back(s->Id(s->pool.GetPattern(guid.c_str(), false)));
      }
    } else if (op < 56) {
      what = "find equal";
      CVdPattern probe(1, someName().c_str(), families[pick(families.size())].c_str());
      probe.SetParam(0, L"w", 1.0 + pick(2));
      for (CSide* s : sides) {
        answers.push_back(s->Id(s->pool.GetPattern(&probe, true, true)));
        answers.push_back(s->pool.IsExistPattern(&probe, true, false));
      }
    } else if (op < 63) {
      what = "delete";
      if (guids.empty()) continue;
      const std::wstring guid = someGuid();
      for (CSide* s : sides) {
        CVdPattern* victim = s->pool.GetPattern(guid.c_str(), true);
        answers.push_back(s->Id(victim));
        answers.push_back(s->pool.DeletePattern(guid.c_str()));
        s->ids.erase(victim);
      }
    } else if (op < 71) {
      what = "erase";
      const int i = pick(count + 2) - 1;
      const bool del = pick(2) == 0;
      for (CSide* s : sides) {
        CVdPattern* victim = s->pool.FindPattern(i);
        answers.push_back(s->pool.ErasePattern(i, del));
        if (victim && del) s->ids.erase(victim);
        if (victim && !del) s->aside.emplace_back(victim);
      }
    } else if (op < 79) {
      what = "set";
      const int id = nextId++;
      const std::wstring guid = guids.empty() || !pick(4) ? freshGuid() : someGuid();
      // An overwrite mostly keeps the name up to case; sometimes it brings any name, which may break the order.
      CVdPattern* target = indexed.pool.GetPattern(guid.c_str(), true);
      const std::wstring name = target && pick(5) ? FoldAll(target->GetUserNameW().str(), pick(2)) : someName();
      const std::wstring family = families[pick(families.size())];
      const double w = 1.0 + pick(2);
      for (CSide* s : sides) {
        std::unique_ptr<CVdPattern> p = s->Make(id, name, family, w, guid);
        s->pool.SetPattern(p.get());
        const bool taken = s->pool.FindPatternPosition(p.get()) >= 0;
        answers.push_back(taken);
        if (taken)
          p.release();
        else
          s->ids.erase(p.get());
      }
    } else if (op < 89) {
      what = "rename";
      if (!count) continue;
      const int i = pick(count);
      // Mostly a change of letter case, which keeps the order; sometimes any name, which may break it.
      std::wstring name = indexed.pool.FindPattern(i)->GetUserNameW().str();
      name = pick(5) ? (pick(2) ? FoldAll(name, true) : CString(name).MakeUpper().str()) : someName();
      for (CSide* s : sides) s->pool.FindPattern(i)->SetUserName(name.c_str());
    } else if (op < 91) {
      // Hand out the name or the GUID; the pools look it up, then it is changed through the pointer.
      what = "expose";
      const bool aside = !indexed.aside.empty() && pick(3) == 0;
      const int i = aside ? pick(indexed.aside.size()) : (count ? pick(count) : -1);
      if (i < 0) continue;
      const bool byName = pick(2), write = pick(3);
      const std::wstring text = byName ? someName() : freshGuid();
      for (CSide* s : sides) {
        CVdPattern* p = aside ? s->aside[i].get() : s->pool.FindPattern(i);
        exposed.insert(s->Id(p));
        CString* field = nullptr;
        if (byName)
          p->GetUserNameW(field);
        else
          p->GetGUID(&field);
        for (int round = 0; round < (write ? 2 : 1); ++round) {
          if (round) *field = text.c_str();
          answers.push_back(s->Id(byName ? s->pool.GetPatternByName(*field) : s->pool.GetPattern(*field, true)));
        }
      }
    } else if (op < 92) {
      what = "new GUID";
      if (!count || guids.empty()) continue;
      const int i = pick(count);
      const std::wstring guid = pick(2) ? someGuid() : freshGuid();
      for (CSide* s : sides) s->pool.FindPattern(i)->SetGUID(guid.c_str());
    } else {
      // Remove what keeps the index out of use, so that long stretches of the run are answered by it: patterns
      // with exposed fields, and all but the longest ordered run (patterns inserted into a list out of order
      // spread the disorder).
      what = "repair";
      std::vector<CString> listed;
      for (int k = 0; k < count; ++k) listed.push_back(indexed.pool.FindPattern(k)->GetUserNameW());
      std::vector<int> run(count, 1), from(count, -1);
      int best = -1;
      for (int k = 0; k < count; ++k) {
        for (int j = 0; j < k; ++j)
          if (listed[j].CollateNoCase(listed[k]) <= 0 && run[j] + 1 > run[k]) run[k] = run[j] + 1, from[k] = j;
        if (best < 0 || run[k] > run[best]) best = k;
      }
      std::vector<bool> keep(count, false);
      for (int k = best; k >= 0; k = from[k]) keep[k] = !exposed.count(indexed.Id(indexed.pool.FindPattern(k)));
      for (CSide* s : sides)
        for (int k = count - 1; k >= 0; --k)
          if (!keep[k]) {
            s->ids.erase(s->pool.FindPattern(k));
            answers.push_back(s->pool.ErasePattern(k, true));
          }
    }

    const std::size_t half = answers.size() / 2;
    ASSERT_TRUE(std::equal(answers.begin(), answers.begin() + half, answers.begin() + half))
        << "answers differ at step " << step << " (" << what << ")";
    ASSERT_EQ(indexed.State(), walked.State()) << "order differs at step " << step << " (" << what << ")";
  }
}
