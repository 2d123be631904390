#pragma once
// PoolIndex: a pool's patterns by user name, in collation order, and by GUID, kept beside the pool's list so
// that adding, finding by name and testing a GUID cost O(log n) where the walk over the list costs O(n). It
// answers exactly as that walk would, or not at all: Ready() holds only while every pooled pattern is exactly a
// CVdPattern (its name, GUID and IsEqual are the base class's, so the index may read the fields in place), none
// has handed out a pointer to its name or GUID, and the list is in name order. Otherwise the pool walks.
//
// Ownership: borrows the pool's list, which must outlive the index, and keeps iterators into it; it never
// deletes a pattern. The pool reports each node it inserts or erases. A pooled pattern counts a change of its
// name or GUID (pattern/IdentityEpoch.h), and every index checks its list again before its next use. An index
// is used by one thread at a time, as its pool is.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vdpattern/pattern/VdPattern.h>

class PoolIndex {
 public:
  using List = std::list<CVdPattern*>;
  using Node = List::iterator;

  explicit PoolIndex(List& patterns);  // borrows the list
  ~PoolIndex();
  PoolIndex(const PoolIndex&) = delete;
  PoolIndex& operator=(const PoolIndex&) = delete;

  // Whether the index can hold `pattern` (not null), whatever the rest of the pool.
  static bool Holds(const CVdPattern& pattern);

  // Whether the index answers for the list now; after a reported change, the list is checked again here.
  bool Ready();

  // ---- questions, only while Ready(); each gives the walk's answer
  // The node before which `pattern`, one the index can hold, goes: the first of a greater name, or the end.
  Node UpperBound(const CVdPattern& pattern);
  // The first pooled pattern, in list order, whose name collates equal to `name`; null when none.
  CVdPattern* FindByName(const std::wstring& name);
  // The first pooled pattern, in list order, that `match` accepts among those whose names collate equal to
  // the name stored in `like`; null when none. Callers whose match needs names equal ignoring ASCII case
  // (IsEqual with names compared) lose nothing: such names collate equal.
  CVdPattern* FindByName(const CVdPattern& like, const std::function<bool(CVdPattern*)>& match);
  // How many pooled patterns hold `guid` (CompareNoCase): 0, 1, or 2 for several; `found` is the one when 1.
  int FindByGuid(std::wstring_view guid, Node& found);
  // Whether a pooled pattern holds the GUID of `pattern`, which the index must be able to hold.
  bool HoldsGuidOf(const CVdPattern& pattern);

  // ---- upkeep, at any time
  void Insert(Node node);  // the pool put `node` where UpperBound said (the only place that keeps the order)
  void Erase(Node node);   // the pool is about to erase `node`
  void Invalidate();       // the pool is about to drop every node at once
  // Empties the list without reading its patterns, and drops every entry: what the destructor of a pool that
  // does not own its patterns does.
  void ReleaseList();

 private:
  struct Names;
  struct NameProbe;  // a name looked for, with its collation prefix
  struct Guids;
  enum class State { kStale, kValid, kBlocked };

  void Check();
  void Block();
  Names& BuiltNames();
  Guids& BuiltGuids();
  Guids& BuildGuidsAhead();
  bool PastLast(const NameProbe& probe);

  List& m_patterns;
  State m_state = State::kStale;
  std::uint64_t m_epoch = 0;       // PooledIdentityEpoch() when the list was last checked
  std::unique_ptr<Names> m_names;  // null until a question needs it
  std::unique_ptr<Guids> m_guids;  // null until a question needs it
  std::size_t m_givenGuids = 0;    // pooled patterns whose GUID was given to them, not generated for them
};
