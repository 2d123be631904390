#include <vdpattern/pool/VdPatternPool.h>

#include <cstdint>
#include <map>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/toolkit/Collate.h>
#include <vdpattern/toolkit/Report.h>

namespace {

// True when the pattern answers GetUserNameW(), GetGUID() and IsEqual with CVdPattern's own code, so its
// fields are what the ordered walk would read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpmf-conversions"
bool IsPlain(const CVdPattern* p) {
  using NameFn = CString (CVdPattern::*)();
  using EqualFn = int (CVdPattern::*)(const CVdPattern&, bool, bool) const;
  auto* q = const_cast<CVdPattern*>(p);
  static CVdPattern reference(0);
  return reinterpret_cast<void*>(q->*static_cast<NameFn>(&CVdPattern::GetUserNameW)) ==
             reinterpret_cast<void*>(reference.*static_cast<NameFn>(&CVdPattern::GetUserNameW)) &&
         reinterpret_cast<void*>(q->*static_cast<NameFn>(&CVdPattern::GetGUID)) ==
             reinterpret_cast<void*>(reference.*static_cast<NameFn>(&CVdPattern::GetGUID)) &&
         reinterpret_cast<void*>(p->*static_cast<EqualFn>(&CVdPattern::IsEqual)) ==
             reinterpret_cast<void*>(reference.*static_cast<EqualFn>(&CVdPattern::IsEqual));
}
#pragma GCC diagnostic pop
#else
bool IsPlain(const CVdPattern* p) { return typeid(*p) == typeid(CVdPattern); }
#endif

// A GUID is indexed under a hash of its text folded as CompareNoCase folds it; candidates under one hash are
// checked against the GUID itself, so a collision costs a comparison, never a wrong answer. A hash keeps the
// index at a few bytes a pattern instead of a second copy of the GUID text.
std::uint64_t GuidKey(const CString& guid) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (wchar_t c : guid.str()) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    hash = (hash ^ static_cast<std::uint32_t>(c)) * 1099511628211ull;
  }
  return hash;
}

}  // namespace

// The index beside m_patterns. While `valid`, byName holds every node under the collation key of its
// pattern's user name in list order, and byGuid every node under the hash of its GUID.
struct CVdPatternPool::Index {
  std::multimap<std::string, Node> byName;
  std::unordered_multimap<std::uint64_t, Node> byGuid;
  bool valid = false;
  bool blocked = false;  // the last rebuild found a pattern or an order the index cannot serve
  bool removedSinceBlock = false;
  unsigned long long epoch = 0;  // CVdPattern::PooledIdentityEpoch() when last checked

  void Clear() {
    byName.clear();
    byGuid.clear();
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
  const std::string* previous = nullptr;
  for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node) {
    CVdPattern* p = *node;
    if (!p || !IsPlain(p) || p->m_identityExposed) {
      ix.blocked = true;
      break;
    }
    auto it = ix.byName.emplace_hint(ix.byName.end(), VdCollationKey(p->m_userName.str()), node);
    if (previous && it->first < *previous) {
      ix.blocked = true;
      break;
    }
    previous = &it->first;
    ix.byGuid.emplace(GuidKey(p->m_guid), node);
  }
  if (ix.blocked)
    ix.Clear();
  else
    ix.valid = true;
  return ix.valid;
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
    auto range = ix.byName.equal_range(VdCollationKey(p->m_userName.str()));
    for (auto it = range.first; it != range.second; ++it)
      if (it->second == node) {
        ix.byName.erase(it);
        break;
      }
    auto guids = ix.byGuid.equal_range(GuidKey(p->m_guid));
    for (auto it = guids.first; it != guids.second; ++it)
      if (it->second == node) {
        ix.byGuid.erase(it);
        break;
      }
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
  const CString name = pattern->GetUserNameW();
  if (Indexed()) {
    Index& ix = *m_index;
    const bool plain = IsPlain(pattern);
    std::string key = VdCollationKey(name.str());
    if (!force) {
      // IsEqual with names compared needs names equal ignoring ASCII case, which collate equal: only the
      // patterns under the same key as the newcomer's stored name can refuse it.
      auto range = ix.byName.equal_range(plain ? key : VdCollationKey(pattern->m_userName.str()));
      for (auto it = range.first; it != range.second; ++it)
        if ((*it->second)->IsEqual(*pattern, true, true)) return false;
      Node sameGuid;
      if (IndexedGuid(pattern->GetGUID(), sameGuid) > 0) return false;
    }
    const auto upper = ix.byName.upper_bound(key);
    const Node node = Insert(upper == ix.byName.end() ? m_patterns.end() : upper->second, pattern);
    if (plain && !pattern->m_identityExposed) {
      ix.byName.emplace_hint(upper, std::move(key), node);
      ix.byGuid.emplace(GuidKey(pattern->m_guid), node);
    } else {
      ix.Clear();
      ix.blocked = true;
    }
    return true;
  }

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

int CVdPatternPool::IndexedGuid(const CString& guid, Node& found) {
  int hits = 0;
  auto range = m_index->byGuid.equal_range(GuidKey(guid));
  for (auto it = range.first; it != range.second && hits < 2; ++it) {
    if ((*it->second)->m_guid.CompareNoCase(guid) != 0) continue;  // another GUID with the same hash
    found = it->second;
    ++hits;
  }
  return hits;
}

CVdPatternPool::Node CVdPatternPool::FindByGuid(const CString& guid) {
  if (Indexed()) {
    Node node = m_patterns.end();
    const int hits = IndexedGuid(guid, node);
    if (hits < 2) return node;  // several share the GUID (forced adds): the first in pool order answers
  }
  for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node)
    if (*node && (*node)->GetGUID().CompareNoCase(guid) == 0) return node;
  return m_patterns.end();
}

CVdPattern* CVdPatternPool::GetPatternByName(const CString& name) {
  if (m_patterns.empty()) return nullptr;
  if (Indexed()) {
    const auto it = m_index->byName.lower_bound(VdCollationKey(name.str()));
    if (it != m_index->byName.end() && (*it->second)->GetUserNameW().CollateNoCase(name) == 0) return *it->second;
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
    auto range = m_index->byName.equal_range(VdCollationKey(standard->m_userName.str()));
    for (auto it = range.first; it != range.second; ++it)
      if (matches(*it->second)) return *it->second;
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
    auto range = m_index->byName.equal_range(VdCollationKey(pattern->m_userName.str()));
    for (auto it = range.first; it != range.second; ++it)
      if ((*it->second)->IsEqual(*pattern, true, compareParams)) return *it->second;
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
