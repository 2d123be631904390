#include <vdpattern/pool/VdPatternPool.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/toolkit/Collate.h>
#include <vdpattern/toolkit/Report.h>

#include "pattern/BaseSlot.h"

namespace {

// True when the pattern answers GetUserNameW(), GetGUID() and IsEqual with CVdPattern's own code, so its
// fields are what the ordered walk would read.
bool IsPlain(const CVdPattern* p) {
  using NameFn = CString (CVdPattern::*)();
  using EqualFn = int (CVdPattern::*)(const CVdPattern&, bool, bool) const;
  static const CVdPattern reference(0);
  return KeepsBaseSlot(*p, reference, static_cast<NameFn>(&CVdPattern::GetUserNameW)) &&
         KeepsBaseSlot(*p, reference, static_cast<NameFn>(&CVdPattern::GetGUID)) &&
         KeepsBaseSlot(*p, reference, static_cast<EqualFn>(&CVdPattern::IsEqual));
}

// A GUID is indexed under a hash of its text folded as CompareNoCase folds it; candidates under one hash are
// checked against the GUID itself, so a collision costs a comparison, never a wrong answer. A hash keeps the
// index at a few bytes a pattern instead of a second copy of the GUID text.
std::uint64_t GuidKey(std::wstring_view guid) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (wchar_t c : guid) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    hash = (hash ^ static_cast<std::uint32_t>(c)) * 1099511628211ull;
  }
  return hash;
}

// Nodes under 64-bit hashes, in one open-addressed array: a lookup reads one or two neighbouring slots where
// a node-based hash table follows pointers across the heap, which cost a family read more than the rest of
// the pool's work together.
template <typename Node>
class HashedNodes {
 public:
  bool Empty() const { return m_live == 0; }

  void Insert(std::uint64_t hash, Node node) {
    // Past three quarters used: twice the slots, or the same number when most used ones are removals.
    if ((m_used + 1) * 4 > m_slots.size() * 3)
      Rehash(m_live * 4 >= m_slots.size() ? m_slots.size() * 2 : m_slots.size());
    const std::uint64_t h = Stored(hash);
    std::size_t at = Home(h);
    while (m_slots[at].hash > kRemoved) at = (at + 1) & Mask();
    if (m_slots[at].hash == kFree) ++m_used;
    m_slots[at] = Slot{h, node};
    ++m_live;
  }

  // Calls visit(node) for each node under `hash` until it returns false.
  template <typename Visit>
  void Find(std::uint64_t hash, Visit visit) const {
    if (m_slots.empty()) return;
    const std::uint64_t h = Stored(hash);
    for (std::size_t at = Home(h); m_slots[at].hash != kFree; at = (at + 1) & Mask())
      if (m_slots[at].hash == h && !visit(m_slots[at].node)) return;
  }

  void Erase(std::uint64_t hash, Node node) {
    if (m_slots.empty()) return;
    const std::uint64_t h = Stored(hash);
    for (std::size_t at = Home(h); m_slots[at].hash != kFree; at = (at + 1) & Mask())
      if (m_slots[at].hash == h && m_slots[at].node == node) {
        m_slots[at].hash = kRemoved;
        --m_live;
        return;
      }
  }

  void Clear() {
    std::vector<Slot>().swap(m_slots);
    m_used = m_live = 0;
  }

 private:
  static constexpr std::uint64_t kFree = 0, kRemoved = 1;
  struct Slot {
    std::uint64_t hash = kFree;
    Node node{};
  };

  static std::uint64_t Stored(std::uint64_t hash) { return hash > kRemoved ? hash : hash + 2; }
  std::size_t Mask() const { return m_slots.size() - 1; }
  std::size_t Home(std::uint64_t h) const {
    h ^= h >> 31;  // the low bits pick the slot: fold the high ones in
    h *= 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32) & Mask();
  }

  // Moves the live nodes to `capacity` slots (a power of two; 16 for 0).
  void Rehash(std::size_t capacity) {
    if (capacity == 0) capacity = 16;
    std::vector<Slot> old(capacity);
    old.swap(m_slots);
    m_used = m_live = 0;
    for (const Slot& slot : old)
      if (slot.hash > kRemoved) {
        std::size_t at = Home(slot.hash);
        while (m_slots[at].hash != kFree) at = (at + 1) & Mask();
        m_slots[at] = slot;
        ++m_used;
        ++m_live;
      }
  }

  std::vector<Slot> m_slots;  // empty, or a power of two long
  std::size_t m_used = 0;     // slots not free (live or removed)
  std::size_t m_live = 0;
};

}  // namespace

// The index beside m_patterns. While `valid`, byName holds every node, ordered by its pattern's user name
// under the collation and, for equal names, in list order; byGuid holds every node under the hash of its GUID.
// An entry holds its list node and the collation prefix of the pattern's name, not a full sort key, which
// costs more to make than the few comparisons a lookup needs (and a read family arrives mostly in name order,
// where an add compares only with the last name). The prefix settles most comparisons without reading the
// name: in a pool of many thousand patterns the names lie all over memory, while an entry and its tree node
// fit one cache line. A renamed pattern moves the identity epoch, and the index is rebuilt before the stale
// entry is compared again.
struct CVdPatternPool::Index {
  // Bit 7 of a prefix byte is never set by VdCollationPrefix: the last byte of each half carries a flag.
  static constexpr unsigned long long kFlag = 0x80;

  struct Entry {
    Node node{};
    unsigned long long high = 0;  // kFlag: the name has at most 16 characters
    unsigned long long low = 0;   // kFlag: high and low hold the name's collation prefix
  };
  // A name looked for, with its prefix made once for the whole descent.
  struct Probe {
    const std::wstring* name;
    unsigned long long high = 0, low = 0;
  };

  static const std::wstring& NameOf(const Entry& e) { return (*e.node)->m_userName.str(); }
  static const std::wstring& NameOf(const Probe& p) { return *p.name; }

  template <typename Key>
  static Key Make(const std::wstring& name, Key key) {
    if (VdCollationPrefix(name, key.high, key.low)) {
      key.low |= kFlag;
      if (name.size() <= 16) key.high |= kFlag;
    }
    return key;
  }
  static Entry Of(Node node) { return Make((*node)->m_userName.str(), Entry{node}); }
  static Probe Of(const std::wstring& name) { return Make(name, Probe{&name}); }

  struct ByName {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      if (a.low & b.low & kFlag) {
        if ((a.high | kFlag) != (b.high | kFlag)) return (a.high | kFlag) < (b.high | kFlag);
        if (a.low != b.low) return a.low < b.low;
        if (a.high & b.high & kFlag) return false;  // the prefixes were the whole names
      }
      return VdCollateNoCase(NameOf(a), NameOf(b)) < 0;
    }
  };
  // Made, like byGuid, on first need: a family read in name order only ever compares with the last name.
  std::multiset<Entry, ByName> byName;
  bool namesBuilt = false;
  // Made on the first question about a GUID: adding patterns whose GUIDs are fresh (CVdPattern::m_guidFresh)
  // to a pool that holds no other kind needs no GUID check, and a read family is often never asked one.
  HashedNodes<Node> byGuid;
  bool guidsBuilt = false;
  std::size_t staleGuids = 0;  // indexed patterns whose GUID is not fresh
  bool valid = false;
  bool blocked = false;  // the last rebuild found a pattern or an order the index cannot serve
  bool removedSinceBlock = false;
  unsigned long long epoch = 0;  // CVdPattern::PooledIdentityEpoch() when last checked

  void Clear() {
    byName.clear();
    namesBuilt = false;
    byGuid.Clear();
    guidsBuilt = false;
    staleGuids = 0;
    valid = false;
  }
};

CVdPatternPool::CVdPatternPool(bool ownsPatterns, const CVdPatternFactory* factory)
    : m_cursor(m_patterns.end()), m_bOwnsPatterns(ownsPatterns), m_pFactory(factory), m_index(new Index) {}

CVdPatternPool::CVdPatternPool(const CVdPatternPool& other)
    : m_cursor(m_patterns.end()), m_bOwnsPatterns(true), m_pFactory(other.m_pFactory), m_index(new Index) {
  CVdPatternPool::operator=(other);
}

CVdPatternPool::~CVdPatternPool() {
  // A pool that does not own its patterns must not touch them here: they are shared with their owner, which
  // may be gone already. Their pool count stays raised, which costs at most a needless index check after a
  // rename.
  if (m_bOwnsPatterns) DeleteAllPattern();
}

CVdPatternPool& CVdPatternPool::operator=(const CVdPatternPool& other) {
  if (this == &other) return *this;
  for (CVdPattern* p : other.m_patterns) {
    if (!p) continue;
    CVdPattern* clone = p->GetClone();
    if (!AddPattern(clone, false)) delete clone;
  }
  m_cursor = m_patterns.end();
  return *this;
}

CVdPatternPool* CVdPatternPool::GetClone() const { return new CVdPatternPool(*this); }

CVdListIterator<CVdPattern*>* CVdPatternPool::GetPoolIterator() { return new CVdListIterator<CVdPattern*>(m_patterns); }

void CVdPatternPool::Dump() {
  for (CVdPattern* p : m_patterns)
    if (p) p->Dump();
}

// ---------------------------------------------------------------- index upkeep

bool CVdPatternPool::Indexed() {
  Index& ix = *m_index;
  const unsigned long long epoch = CVdPattern::PooledIdentityEpoch();
  if (ix.valid && epoch == ix.epoch) return true;
  if (!ix.valid && ix.blocked && epoch == ix.epoch && !ix.removedSinceBlock) return false;

  // Rebuild from the list; give up at the first pattern or order that the index cannot answer for.
  ix.Clear();
  ix.blocked = false;
  ix.removedSinceBlock = false;
  ix.epoch = epoch;
  for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node) {
    CVdPattern* p = *node;
    if (!p || !IsPlain(p) || p->m_identityExposed) {
      ix.blocked = true;
      break;
    }
    if (node != m_patterns.begin() && Index::ByName()(Index::Of(node), Index::Of(std::prev(node)))) {
      ix.blocked = true;
      break;
    }
    if (!p->m_guidFresh) ++ix.staleGuids;
  }
  if (ix.blocked)
    ix.Clear();
  else
    ix.valid = true;
  return ix.valid;
}

CVdPatternPool::Index& CVdPatternPool::Names() {
  Index& ix = *m_index;
  if (!ix.namesBuilt) {
    for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node)
      ix.byName.emplace_hint(ix.byName.end(), Index::Of(node));
    ix.namesBuilt = true;
  }
  return ix;
}

CVdPatternPool::Node CVdPatternPool::Insert(Node before, CVdPattern* pattern) {
  Node node = m_patterns.insert(before, pattern);
  ++pattern->m_poolCount;
  return node;
}

CVdPatternPool::Node CVdPatternPool::Remove(Node node) {
  Index& ix = *m_index;
  CVdPattern* p = *node;
  if (ix.valid && p && CVdPattern::PooledIdentityEpoch() == ix.epoch) {
    if (ix.namesBuilt) {
      auto range = ix.byName.equal_range(Index::Of(node));
      for (auto it = range.first; it != range.second; ++it)
        if (it->node == node) {
          ix.byName.erase(it);
          break;
        }
    }
    if (ix.guidsBuilt) {
      wchar_t guid[40];
      ix.byGuid.Erase(GuidKey(p->GuidText(guid)), node);
    }
    if (!p->m_guidFresh) --ix.staleGuids;
  } else {
    ix.Clear();
    ix.removedSinceBlock = true;
  }
  if (m_cursor == node) m_cursor = m_patterns.end();
  if (p) --p->m_poolCount;
  return m_patterns.erase(node);
}

// ---------------------------------------------------------------- adding

bool CVdPatternPool::AddPattern(CVdPattern* pattern, bool force) {
  if (!pattern) return false;
  if (Indexed()) {
    Index& ix = *m_index;
    const bool plain = IsPlain(pattern);
    // A plain pattern's name and GUID are read in place; another class answers through its own slots.
    const CString name = plain ? CString() : pattern->GetUserNameW();
    const std::wstring& key = plain ? pattern->m_userName.str() : name.str();
    // Past the last name (a family read in name order): nothing in the pool can be equal by name, and the
    // new node goes at the end.
    const Index::Probe probe = Index::Of(key);
    const bool last =
        m_patterns.empty() || (ix.namesBuilt ? Index::ByName()(*std::prev(ix.byName.end()), probe)
                                             : Index::ByName()(Index::Of(std::prev(m_patterns.end())), probe));
    if (!last || !plain) Names();
    if (!force) {
      // IsEqual with names compared needs names equal ignoring ASCII case, which collate equal: only the
      // patterns under the same name as the newcomer's stored name can refuse it.
      if (!last || !plain) {
        auto range = ix.byName.equal_range(plain ? probe : Index::Of(pattern->m_userName.str()));
        for (auto it = range.first; it != range.second; ++it)
          if ((*it->node)->IsEqual(*pattern, true, true)) return false;
      }
      Node sameGuid;
      if (!plain || !pattern->m_guidFresh || ix.staleGuids > 0) {
        wchar_t guid[40];
        if ((plain ? IndexedGuid(pattern->GuidText(guid), sameGuid) : IndexedGuid(pattern->GetGUID().str(), sameGuid)) >
            0)
          return false;
      }
    }
    const auto upper = last ? ix.byName.end() : ix.byName.upper_bound(probe);
    const Node node = Insert(upper == ix.byName.end() ? m_patterns.end() : upper->node, pattern);
    if (plain && !pattern->m_identityExposed) {
      if (ix.namesBuilt) {
        ix.byName.emplace_hint(upper, Index::Entry{node, probe.high, probe.low});
      }
      if (ix.guidsBuilt) {
        wchar_t guid[40];
        ix.byGuid.Insert(GuidKey(pattern->GuidText(guid)), node);
      }
      if (!pattern->m_guidFresh) ++ix.staleGuids;
    } else {
      ix.Clear();
      ix.blocked = true;
    }
    return true;
  }

  const CString name = pattern->GetUserNameW();
  if (!force) {
    for (CVdPattern* p : m_patterns)
      if (p && p->IsEqual(*pattern, true, true)) return false;
    if (IsExistPattern(pattern->GetGUID(), true)) return false;
  }
  Node before = m_patterns.begin();
  while (before != m_patterns.end() && !(*before && (*before)->GetUserNameW().CollateNoCase(name) > 0)) ++before;
  Insert(before, pattern);
  return true;
}

void CVdPatternPool::SetPattern(CVdPattern* pattern) {
  if (!pattern || AddPattern(pattern, false)) return;
  const Node node = FindByGuid(pattern->GetGUID());
  if (node != m_patterns.end()) **node = *pattern;  // keeps its place; a new name is noticed by the index
}

void CVdPatternPool::SetListPattern(const std::list<CVdPattern*>& patterns) {
  for (CVdPattern* p : patterns)
    if (p && !IsExistPattern(p->GetGUID(), true)) AddPattern(p, false);
}

// ---------------------------------------------------------------- finding

int CVdPatternPool::IndexedGuid(std::wstring_view guid, Node& found) {
  Index& ix = *m_index;
  wchar_t text[40];
  if (!ix.guidsBuilt) {
    for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node)
      ix.byGuid.Insert(GuidKey((*node)->GuidText(text)), node);
    ix.guidsBuilt = true;
  }
  int hits = 0;
  m_index->byGuid.Find(GuidKey(guid), [&](Node node) {
    if (VdCompareNoCase((*node)->GuidText(text), guid) != 0) return true;  // another GUID with the same hash
    found = node;
    return ++hits < 2;
  });
  return hits;
}

CVdPatternPool::Node CVdPatternPool::FindByGuid(const CString& guid) {
  if (Indexed()) {
    Node node = m_patterns.end();
    const int hits = IndexedGuid(guid.str(), node);
    if (hits < 2) return node;  // several share the GUID (forced adds): the first in pool order answers
  }
  for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node)
    if (*node && (*node)->GetGUID().CompareNoCase(guid) == 0) return node;
  return m_patterns.end();
}

CVdPattern* CVdPatternPool::GetPatternByName(const CString& name) {
  if (m_patterns.empty()) return nullptr;
  if (Indexed()) {
    const Index::Probe probe = Index::Of(name.str());
    const Index& ix = Names();
    const auto it = ix.byName.lower_bound(probe);
    if (it != ix.byName.end() && !Index::ByName()(probe, *it)) return *it->node;
    return nullptr;
  }
  for (CVdPattern* p : m_patterns) {
    if (!p) continue;
    const int c = p->GetUserNameW().CollateNoCase(name);
    if (c == 0) return p;
    if (c > 0) break;
  }
  return nullptr;
}

CVdPattern* CVdPatternPool::GetPattern(const CString& name) {
  if (m_patterns.empty()) return nullptr;
  if (CVdPattern* found = GetPatternByName(name)) return found;
  if (!m_pFactory) return nullptr;
  CVdPattern* standard = nullptr;
  const_cast<CVdPatternFactory*>(m_pFactory)->GetParamPatternFromStandardCode(name, &standard);
  if (!standard) return nullptr;
  std::unique_ptr<CVdPattern> owned(standard);
  auto matches = [&](CVdPattern* p) {
    return p && p->IsEqual(*standard, true, true) && standard->IsEqual(*p, true, true);
  };
  if (Indexed()) {
    auto range = Names().byName.equal_range(Index::Of(standard->m_userName.str()));
    for (auto it = range.first; it != range.second; ++it)
      if (matches(*it->node)) return *it->node;
    return nullptr;
  }
  for (CVdPattern* p : m_patterns)
    if (matches(p)) return p;
  return nullptr;
}

CVdPattern* CVdPatternPool::GetPatternByNameAndFamily(const CString& name, const CString& family) {
  if (m_patterns.empty() || name.IsEmpty() || family.IsEmpty()) return nullptr;
  for (CVdPattern* p : m_patterns)
    if (p && p->GetUserNameW().CompareNoCase(name) == 0 && p->GetFamily().CompareNoCase(family) == 0) return p;
  return nullptr;
}

CVdPattern* CVdPatternPool::GetPattern(const CString& guid, bool) {
  const Node node = FindByGuid(guid);
  return node == m_patterns.end() ? nullptr : *node;
}

CVdPattern* CVdPatternPool::GetPattern(const CString& guid, const CString& userName) {
  for (CVdPattern* p : m_patterns)
    if (p && p->GetGUID().CompareNoCase(guid) == 0 && p->GetUserNameW().CompareNoCase(userName) == 0) return p;
  return nullptr;
}

CVdPattern* CVdPatternPool::GetPattern(CVdPattern* pattern, bool compareNames, bool compareParams) {
  if (!pattern) return nullptr;
  if (compareNames && Indexed()) {
    auto range = Names().byName.equal_range(Index::Of(pattern->m_userName.str()));
    for (auto it = range.first; it != range.second; ++it)
      if ((*it->node)->IsEqual(*pattern, true, compareParams)) return *it->node;
    return nullptr;
  }
  for (CVdPattern* p : m_patterns)
    if (p && p->IsEqual(*pattern, compareNames, compareParams)) return p;
  return nullptr;
}

CVdPattern* CVdPatternPool::FindPattern(int index) {
  if (index < 0 || index >= GetCount()) return nullptr;
  return *std::next(m_patterns.begin(), index);
}

int CVdPatternPool::FindPatternPosition(const CVdPattern* pattern) {
  int position = 0;
  for (CVdPattern* p : m_patterns) {
    if (p == pattern) return position;
    ++position;
  }
  return -1;
}

CVdPattern* CVdPatternPool::FindFirstPattern() {
  m_cursor = m_patterns.begin();
  return m_cursor == m_patterns.end() ? nullptr : *m_cursor;
}

CVdPattern* CVdPatternPool::FindNextPattern() {
  if (m_cursor == m_patterns.end() || ++m_cursor == m_patterns.end()) return nullptr;
  return *m_cursor;
}

// ---------------------------------------------------------------- tests

bool CVdPatternPool::IsExistPattern(CVdPattern* pattern, bool compareNames, bool compareParams) {
  return GetPattern(pattern, compareNames, compareParams) != nullptr;
}

bool CVdPatternPool::IsExistPattern(const CString& guid, bool) { return FindByGuid(guid) != m_patterns.end(); }

bool CVdPatternPool::IsExistUserName(const CString& name) { return GetPattern(name) != nullptr; }

bool CVdPatternPool::IsStandardPatternName(const CString& name) {
  if (!m_pFactory) return false;
  CVdPattern* standard = nullptr;
  const auto check = const_cast<CVdPatternFactory*>(m_pFactory)->GetParamPatternFromStandardCode(name, &standard);
  delete standard;
  return check == CVdPattern::eCheckUserNameOk;
}

// ---------------------------------------------------------------- removing

void CVdPatternPool::DeleteAllPattern() {
  m_index->Clear();  // everything goes: no entry needs finding
  try {
    while (!m_patterns.empty()) {
      CVdPattern* p = m_patterns.front();
      Remove(m_patterns.begin());
      delete p;
    }
  } catch (...) {
    OutputDebugStringW(L"Exception in CVdPatternPool::DeleteAllPattern()\n");
  }
  m_index->Clear();
  m_cursor = m_patterns.end();
}

bool CVdPatternPool::DeletePattern(const CString& guid) {
  const Node node = FindByGuid(guid);
  if (node == m_patterns.end()) return false;
  CVdPattern* p = *node;
  Remove(node);
  delete p;
  return true;
}

bool CVdPatternPool::ErasePattern(int index, bool deletePattern) {
  if (index < 0 || index >= GetCount()) return false;
  const Node node = std::next(m_patterns.begin(), index);
  CVdPattern* p = *node;
  Remove(node);
  if (deletePattern) delete p;
  return true;
}

// ---------------------------------------------------------------- lists

bool CVdPatternPool::InFamily(CVdPattern* pattern, const CString& family) {
  return pattern && (family.IsEmpty() || pattern->GetFamily().CompareNoCase(family) == 0);
}

void CVdPatternPool::GetListUserName(std::list<CString>& names) {
  for (CVdPattern* p : m_patterns)
    if (p) names.push_back(p->GetUserNameW());
}

void CVdPatternPool::GetFamilyListUserName(std::list<CString>& names, const CString& family) {
  for (CVdPattern* p : m_patterns)
    if (InFamily(p, family)) names.push_back(p->GetUserNameW());
}

void CVdPatternPool::GetListPattern(std::list<CVdPattern*>& patterns, const CString& family) {
  for (CVdPattern* p : m_patterns)
    if (InFamily(p, family)) patterns.push_back(p);
}

void CVdPatternPool::GetFamilyPattern(CVdPatternPool& target, const CString& family, bool force) {
  if (&target == this) return;
  for (CVdPattern* p : m_patterns)
    if (InFamily(p, family)) target.AddPattern(p, force);
}
