#include <vdpattern/pool/VdPatternPool.h>

#include <string>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/toolkit/Report.h>

#include "pool/PoolIndex.h"

CVdPatternPool::CVdPatternPool(bool ownsPatterns, const CVdPatternFactory* factory)
    : m_cursor(m_patterns.end()),
      m_bOwnsPatterns(ownsPatterns),
      m_pFactory(factory),
      m_index(std::make_unique<PoolIndex>(m_patterns)) {}

CVdPatternPool::CVdPatternPool(const CVdPatternPool& other)
    : m_cursor(m_patterns.end()),
      m_bOwnsPatterns(true),
      m_pFactory(other.m_pFactory),
      m_index(std::make_unique<PoolIndex>(m_patterns)) {
  CVdPatternPool::operator=(other);
}

CVdPatternPool::~CVdPatternPool() {
  // A pool that does not own its patterns must not touch them here: they are shared with their owner, which
  // may be gone already. Their pool count stays raised, which costs at most a needless index check after a
  // rename.
  if (m_bOwnsPatterns)
    DeleteAllPattern();
  else
    m_index->ReleaseList();
}

CVdPatternPool& CVdPatternPool::operator=(const CVdPatternPool& other) {
  if (this == &other) return *this;
  for (CVdPattern* p : other.m_patterns) {
    if (!p) continue;
    std::unique_ptr<CVdPattern> clone(p->GetClone());
    if (AddPattern(clone.get(), false)) clone.release();
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

// ---------------------------------------------------------------- the list and its index

bool CVdPatternPool::Indexed(const CVdPattern& pattern) { return m_index->Ready() && PoolIndex::Holds(pattern); }

CVdPatternPool::Node CVdPatternPool::Insert(Node before, CVdPattern* pattern) {
  const Node node = m_patterns.insert(before, pattern);
  try {
    m_index->Insert(node);
  } catch (...) {
    // Nothing added: the index is rebuilt from the list when next needed, and the caller keeps the pattern.
    m_index->Invalidate();
    Remove(node);
    throw;
  }
  return node;
}

CVdPatternPool::Node CVdPatternPool::Remove(Node node) {
  m_index->Erase(node);
  if (m_cursor == node) m_cursor = m_patterns.end();
  return m_patterns.erase(node);
}

// Before the first pattern of a greater name: equal names stay in insertion order.
CVdPatternPool::Node CVdPatternPool::Position(CVdPattern& pattern) {
  if (Indexed(pattern)) return m_index->UpperBound(pattern);
  const CString name = pattern.GetUserNameW();
  Node before = m_patterns.begin();
  while (before != m_patterns.end() && !(*before && (*before)->GetUserNameW().CollateNoCase(name) > 0)) ++before;
  return before;
}

bool CVdPatternPool::HoldsGuidOf(CVdPattern& pattern) {
  if (Indexed(pattern)) return m_index->HoldsGuidOf(pattern);
  return FindByGuid(pattern.GetGUID()) != m_patterns.end();
}

// ---------------------------------------------------------------- adding

bool CVdPatternPool::AddPattern(CVdPattern* pattern, bool force) {
  if (!pattern) return false;
  if (!force && (GetPattern(pattern, true, true) || HoldsGuidOf(*pattern))) return false;
  Insert(Position(*pattern), pattern);
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

CVdPatternPool::Node CVdPatternPool::FindByGuid(const CString& guid) {
  if (m_index->Ready()) {
    Node node = m_patterns.end();
    const int hits = m_index->FindByGuid(guid.str(), node);
    if (hits < 2) return node;  // several share the GUID (forced adds): the first in pool order answers
  }
  for (Node node = m_patterns.begin(); node != m_patterns.end(); ++node)
    if (*node && (*node)->GetGUID().CompareNoCase(guid) == 0) return node;
  return m_patterns.end();
}

CVdPattern* CVdPatternPool::GetPatternByName(const CString& name) {
  if (m_patterns.empty()) return nullptr;
  if (m_index->Ready()) return m_index->FindByName(name.str());
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
  if (m_index->Ready()) return m_index->FindByName(*standard, matches);
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
  if (compareNames && m_index->Ready())
    return m_index->FindByName(*pattern, [&](CVdPattern* p) { return p->IsEqual(*pattern, true, compareParams); });
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
  const std::unique_ptr<CVdPattern> made(standard);  // the caller's to delete
  return check == CVdPattern::eCheckUserNameOk;
}

// ---------------------------------------------------------------- removing

void CVdPatternPool::DeleteAllPattern() {
  m_index->Invalidate();  // everything goes: no entry needs finding
  try {
    while (!m_patterns.empty()) {
      CVdPattern* p = m_patterns.front();
      Remove(m_patterns.begin());
      delete p;
    }
  } catch (...) {
    OutputDebugStringW(L"Exception in CVdPatternPool::DeleteAllPattern()\n");
  }
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
