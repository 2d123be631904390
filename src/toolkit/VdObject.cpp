#include <vdpattern/toolkit/Report.h>
#include <vdpattern/toolkit/VdObject.h>

#include <mutex>
#include <unordered_set>

const CString* CVdObject::InternClassName(const CString& name) {
  static std::mutex mutex;
  static std::unordered_set<CString> names;
  std::lock_guard<std::mutex> lock(mutex);
  return &*names.insert(name).first;  // node-based: the element never moves
}

const CString* CVdObject::EmptyName() {
  static const CString empty;
  return &empty;
}

CVdObject::~CVdObject() = default;

void CVdObject::ClassName(const CString& name) { m_className = InternClassName(name); }

void CVdObject::Dump() const { OutputDebugStringW(*m_className + L"\n"); }

CVdObject* CVdObject::GetClone() const { return new CVdObject(*this); }

CVdObject& CVdObject::operator=(const CVdObject& other) {
  m_className = other.m_className;
  return *this;
}

int CVdObject::operator==(const CVdObject& other) const {
  return (m_className == other.m_className || *m_className == *other.m_className) ? 1 : 0;
}

int CVdObject::operator!=(const CVdObject& other) const { return (*this == other) ? 0 : 1; }
