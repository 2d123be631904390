#pragma once
// CVdListIterator<T>: an iterator over its own copy of a std::list<T>. It never sees later changes to the
// source list; the items (pointers) are not owned, so an item removed from its source may be gone (the source's
// ownership rules say whether it is still alive).
//
// Positions: none (after construction, assignment or SetList), on an item, or at the end. Without a position
// IsDone() is true, CurrentItem() gives a null T and Next() does nothing, exactly as at the end.
// The caller of GetPoolIterator owns the iterator and deletes it through the public virtual destructor.

#include <list>
#include <vdpattern/pool/VdIterator.h>

template <typename T>
class CVdListIterator : public CVdIterator<T> {
 public:
  explicit CVdListIterator(const std::list<T>& items) : m_list(items), m_current(m_list.end()) {}
  CVdListIterator(const CVdListIterator& other)
      : CVdIterator<T>(other), m_list(other.m_list), m_current(m_list.end()) {}

  int GetCount() override { return static_cast<int>(m_list.size()); }
  bool IsEmpty() override { return GetCount() == 0; }
  void First() override { m_current = m_list.begin(); }
  void Next() override {
    if (m_current != m_list.end()) ++m_current;
  }
  bool IsDone() override { return m_current == m_list.end(); }
  T CurrentItem() override { return IsDone() ? T() : *m_current; }
  void Dump() override {
    for (First(); !IsDone(); Next())
      if (T item = CurrentItem()) item->Dump();
  }
  ~CVdListIterator() override = default;

  virtual CVdListIterator& operator=(const CVdListIterator& other) {
    if (this != &other) SetList(other.m_list);
    return *this;
  }
  virtual void SetList(const std::list<T>& items) {
    if (&items != &m_list) m_list = items;
    m_current = m_list.end();
  }

 private:
  std::list<T> m_list;
  typename std::list<T>::iterator m_current;
};
