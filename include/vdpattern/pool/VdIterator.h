#pragma once
// CVdIterator<T>: the library's abstract iterator interface, used over patterns (CVdPattern*) and over
// catalogs (CVdPatternCatalog*). CVdListIterator<T> is its one implementation.
//
// Usage: First(), then while !IsDone(): CurrentItem(), Next(). Iterators are used by one thread at a time.

template <typename T>
class CVdIterator {
 public:
  CVdIterator(const CVdIterator&) = default;
  virtual CVdIterator& operator=(const CVdIterator&) { return *this; }
  virtual int GetCount() = 0;
  virtual bool IsEmpty() = 0;
  virtual void First() = 0;
  virtual void Next() = 0;
  virtual bool IsDone() = 0;
  virtual T CurrentItem() = 0;
  virtual void Dump() = 0;

 protected:
  CVdIterator() = default;
  virtual ~CVdIterator() = default;
};
