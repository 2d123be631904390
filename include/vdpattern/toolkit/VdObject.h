#pragma once
// CVdObject: the toolkit's common base object. It carries a class name and offers the polymorphic clone,
// assignment, comparison and dump that derived toolkit objects build on.
//
// Choices: operator== is 1 when the class names are equal (case-sensitive) and 0 otherwise; Dump writes one
// trace line "<class name>" through OutputDebugStringW. GetClone returns a new object; the caller owns it and
// deletes it through the virtual destructor.
// Class names are interned: an object holds a pointer to one process-wide copy of each distinct name (the copies
// live until the process ends), so millions of values cost one pointer each for their class name.

#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>

class VDTOOLKIT_EXPORT CVdObject {
 public:
  CVdObject() = default;
  CVdObject(const CVdObject& other) = default;
  virtual ~CVdObject();

  void ClassName(const CString& name);
  const CString& ClassName() const { return *m_className; }

  virtual void Dump() const;
  virtual CVdObject* GetClone() const;  // caller deletes the result
  virtual CVdObject& operator=(const CVdObject& other);
  virtual int operator==(const CVdObject& other) const;
  virtual int operator!=(const CVdObject& other) const;

  // The process-wide copy of `name`; derived classes keep the result in a static to set their name without a
  // lookup per object.
  static const CString* InternClassName(const CString& name);

 protected:
  void SetInternedClassName(const CString* interned) { m_className = interned; }  // from InternClassName

 private:
  static const CString* EmptyName();

  const CString* m_className = EmptyName();
};
