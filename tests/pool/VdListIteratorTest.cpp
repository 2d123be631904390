#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <vector>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/pool/VdListIterator.h>
#include <vdpattern/pool/VdPatternPool.h>

namespace {

// Any item type with a Dump() works; catalogs are walked the same way as patterns.
struct CItem {
  int dumps = 0;
  void Dump() { ++dumps; }
};

template <typename T>
std::vector<T> Walk(CVdIterator<T>& it) {
  std::vector<T> items;
  for (it.First(); !it.IsDone(); it.Next()) items.push_back(it.CurrentItem());
  return items;
}

}  // namespace

TEST(VdListIterator, WalksItsOwnCopyAndIsDoneWithoutAPosition) {
  CVdListIterator<CItem*> empty{std::list<CItem*>()};
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_TRUE(Walk<CItem*>(empty).empty());

  CItem a, b, c;
  std::list<CItem*> source{&a, &b};
  CVdListIterator<CItem*> it(source);
  source.push_back(&c);  // the iterator holds its own copy
  source.pop_front();
  EXPECT_EQ(it.GetCount(), 2);
  it.Next();  // never started: as at the end, and Next does not start a walk
  EXPECT_TRUE(it.IsDone());
  EXPECT_EQ(Walk<CItem*>(it), (std::vector<CItem*>{&a, &b}));
  it.Next();  // at the end it stays there
  EXPECT_TRUE(it.IsDone());
  EXPECT_EQ(it.CurrentItem(), nullptr);

  CVdListIterator<CItem*> dumping({&a, &b, &a});
  dumping.Dump();
  EXPECT_EQ(a.dumps, 2);
  EXPECT_EQ(b.dumps, 1);
  EXPECT_TRUE(dumping.IsDone());
}

TEST(VdListIterator, SetListAndAssignmentReplaceTheListAndNeedFirstAgain) {
  CItem a, b, c;
  CVdListIterator<CItem*> it({&a});
  it.First();
  ASSERT_EQ(it.CurrentItem(), &a);
  it.SetList({&b, &c});
  EXPECT_EQ(it.CurrentItem(), nullptr);
  EXPECT_EQ(Walk<CItem*>(it), (std::vector<CItem*>{&b, &c}));

  CVdListIterator<CItem*> other({&c});
  other.First();
  other = it;
  EXPECT_TRUE(other.IsDone());
  EXPECT_EQ(Walk<CItem*>(other), (std::vector<CItem*>{&b, &c}));

  it.First();
  it = it;  // self-assignment keeps list and position
  EXPECT_EQ(it.CurrentItem(), &b);

  CVdListIterator<CItem*> copy(it);  // a copy has the list but no position
  EXPECT_TRUE(copy.IsDone());
  EXPECT_EQ(Walk<CItem*>(copy), (std::vector<CItem*>{&b, &c}));
}

TEST(VdListIterator, PoolIteratorKeepsYieldingPatternsRemovedFromThePool) {
  CVdPatternPool pool;
  pool.AddPattern(new CVdPattern(1, L"tube"), false);
  pool.AddPattern(new CVdPattern(1, L"beam"), false);
  std::unique_ptr<CVdListIterator<CVdPattern*>> it(pool.GetPoolIterator());
  CVdPattern* beam = pool.FindPattern(0);
  CVdPattern* tube = pool.FindPattern(1);

  std::unique_ptr<CVdPattern> erased(beam);  // ErasePattern without deletion hands it back
  ASSERT_TRUE(pool.ErasePattern(0, false));
  pool.AddPattern(new CVdPattern(1, L"angle"), false);

  EXPECT_EQ(Walk<CVdPattern*>(*it), (std::vector<CVdPattern*>{beam, tube}));

  CVdPatternPool none;
  std::unique_ptr<CVdListIterator<CVdPattern*>> fromEmpty(none.GetPoolIterator());
  EXPECT_TRUE(fromEmpty->IsEmpty());
}
