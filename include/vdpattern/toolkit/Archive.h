#pragma once
// CArchive: the platform's serialisation archive. Patterns serialise nothing, so it only has to exist for the
// Serialize(CArchive&) slots that hosts override.

#include <vdpattern/toolkit/VdToolkitExport.h>

class VDTOOLKIT_EXPORT CArchive {
 public:
  enum Mode { store = 0, load = 1 };
  explicit CArchive(Mode mode = store) : m_mode(mode) {}
  bool IsStoring() const { return m_mode == store; }
  bool IsLoading() const { return m_mode == load; }

 private:
  Mode m_mode;
};
