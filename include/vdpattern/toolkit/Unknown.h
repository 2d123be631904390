#pragma once
// IUnknown with the platform's names: the root of reference-counted interfaces. QueryInterface hands out an
// interface pointer with a new reference (the caller releases it); Release destroys the object at zero.

#include <vdpattern/toolkit/Guid.h>
#include <vdpattern/toolkit/VdToolkitExport.h>
#include <vdpattern/toolkit/WinTypes.h>

// {00000000-0000-0000-C000-000000000046}, as on the platform.
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;  // released through Release, never deleted directly
};
