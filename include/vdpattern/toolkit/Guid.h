#pragma once
// GUIDs with the platform's names. CoCreateGuid makes random (version 4, RFC 4122 variant) GUIDs from a
// generator seeded once per process from the system's entropy (reseeded in a forked child, so parent and
// child never share a sequence); it makes no system call per GUID and is safe to call from several threads.

#include <vdpattern/toolkit/VdToolkitExport.h>
#include <vdpattern/toolkit/WinTypes.h>

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

VDTOOLKIT_EXPORT HRESULT CoCreateGuid(GUID* guid);
// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hex, NUL-terminated) and returns 39, the
// characters written with the NUL; 0 when `size` is below 39 or `text` is null.
VDTOOLKIT_EXPORT int StringFromGUID2(REFGUID guid, LPOLESTR text, int size);
