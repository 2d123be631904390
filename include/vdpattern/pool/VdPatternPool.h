#pragma once
// CVdPatternPool: the in-memory collection of patterns. A catalog fills one when it reads a family, a manager
// keeps one as its working set. Patterns are kept in ascending order of user name under CString::CollateNoCase
// (equal names in insertion order); duplicates (equal by IsEqual, or sharing a GUID) are refused unless forced.
//
// Ownership: the pool stores pointers. AddPattern, SetPattern and SetListPattern take the patterns they keep;
// a refused pattern stays the caller's. DeleteAllPattern and DeletePattern delete what they remove, whatever
// the ownership flag says; ErasePattern deletes only on request; the destructor deletes the patterns only when
// the pool owns them (ownsPatterns). Finders return pointers that stay the pool's. GetPoolIterator and
// GetClone return new objects that the caller deletes. The factory is borrowed (may be null) and must outlive
// the pool. A pool is used by one thread at a time.
//
// Choices:
// - A pool made by copying (copy constructor, GetClone) owns its clones and refers to the source's factory.
// - SetPattern gives no sign of whether it took the pattern; FindPatternPosition(pattern) tells.
// - A null pattern is never added.
// - Speed: beside m_patterns the pool keeps an index by user name (in collation order) and by GUID, so adding,
//   finding by name and testing a GUID cost O(log n) with results identical to the ordered walk; adding past
//   the last name, as a family read in name order does, costs one comparison. The index is used while every
//   pooled pattern is exactly a CVdPattern (a derived class may answer GetUserNameW(), GetGUID() or IsEqual
//   its own way), no pooled pattern has handed out a pointer to its name or GUID, and the list is in name
//   order (SetPattern and renames can break the order). Otherwise the pool walks its list, as the index would
//   answer. A pattern renamed while pooled is noticed and the index rebuilt before the next use.

#include <cstddef>
#include <list>
#include <memory>
#include <vdpattern/VdPatternExport.h>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/pool/VdListIterator.h>
#include <vdpattern/toolkit/String.h>

class CVdPatternFactory;
class PoolIndex;

class VDPATTERN_EXPORT CVdPatternPool {
 public:
  CVdPatternPool(bool ownsPatterns = true, const CVdPatternFactory* factory = nullptr);
  CVdPatternPool(const CVdPatternPool& other);
  virtual ~CVdPatternPool();
  // Adds clones of `other`'s patterns (refused clones are deleted); this pool's own patterns stay.
  virtual CVdPatternPool& operator=(const CVdPatternPool& other);
  virtual CVdPatternPool* GetClone() const;                 // caller deletes the result
  virtual CVdListIterator<CVdPattern*>* GetPoolIterator();  // caller deletes the result
  virtual void Dump();

  const CVdPatternFactory* GetFactory() const { return m_pFactory; }
  int GetCount() const { return static_cast<int>(m_patterns.size()); }
  bool IsEmpty() const { return m_patterns.empty(); }

  // ---- adding
  bool AddPattern(CVdPattern* pattern, bool force);
  void SetPattern(CVdPattern* pattern);
  void SetListPattern(const std::list<CVdPattern*>& patterns);

  // ---- finding (results stay the pool's)
  CVdPattern* GetPatternByName(const CString& name);
  CVdPattern* GetPattern(const CString& name);
  CVdPattern* GetPatternByNameAndFamily(const CString& name, const CString& family);
  CVdPattern* GetPattern(const CString& guid, bool unused);
  CVdPattern* GetPattern(const CString& guid, const CString& userName);
  CVdPattern* GetPattern(CVdPattern* pattern, bool compareNames, bool compareParams);
  CVdPattern* FindPattern(int index);
  int FindPatternPosition(const CVdPattern* pattern);
  CVdPattern* FindFirstPattern();
  CVdPattern* FindNextPattern();

  // ---- tests
  bool IsExistPattern(CVdPattern* pattern, bool compareNames, bool compareParams);
  bool IsExistPattern(const CString& guid, bool unused);
  bool IsExistUserName(const CString& name);
  bool IsStandardPatternName(const CString& name);

  // ---- removing
  void DeleteAllPattern();
  bool DeletePattern(const CString& guid);
  bool ErasePattern(int index, bool deletePattern);

  // ---- lists (appended to; pool order; an empty family selects every pattern)
  void GetListUserName(std::list<CString>& names);
  void GetFamilyListUserName(std::list<CString>& names, const CString& family);
  void GetListPattern(std::list<CVdPattern*>& patterns, const CString& family);
  // Shares the selected patterns with `target`, which must not own them (ownsPatterns false).
  void GetFamilyPattern(CVdPatternPool& target, const CString& family, bool force);

 private:
  using Node = std::list<CVdPattern*>::iterator;

  Node Insert(Node before, CVdPattern* pattern);
  Node Remove(Node node);
  bool Indexed(const CVdPattern& pattern);  // whether the index answers for the pool and `pattern` now
  Node Position(CVdPattern& pattern);       // where AddPattern puts `pattern`
  bool HoldsGuidOf(CVdPattern& pattern);
  Node FindByGuid(const CString& guid);
  bool InFamily(CVdPattern* pattern, const CString& family);

  std::list<CVdPattern*> m_patterns;
  Node m_cursor;
  bool m_bOwnsPatterns;
  const CVdPatternFactory* m_pFactory;  // borrowed
  std::unique_ptr<PoolIndex> m_index;   // owned; borrows m_patterns, so it is declared after it
};
