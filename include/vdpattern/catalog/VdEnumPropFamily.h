#pragma once
// IEnumPropFamily: a reference-counted enumerator over the columns of a family (name, ODBC SQL type and
// precision), and CEnumPropFamily, its implementation filled from a record set's column descriptions.
//
// Ownership: the enumerator lives until its count returns to zero through Release. Each item that Next hands
// out is a new PROPFAMILYINFO that the caller deletes. Create leaves the count at zero: the first AddRef (or a
// QueryInterface) takes the first reference. The catalog hands none out (EnumerateProperties refuses), so a
// host creates one from a record set of its own. Used by one thread at a time.

#include <cstdint>
#include <list>
#include <string>
#include <vdpattern/VdPatternExport.h>
#include <vdpattern/toolkit/Unknown.h>

class CVdRecordset;

struct PROPFAMILYINFO {
  std::wstring name;
  short sqlType = 0;
  std::uint32_t precision = 0;
};

// {6A1F3C52-8E0B-4D7A-9B34-2C5E7D10F4A8}
inline constexpr IID IID_IEnumPropFamily = {
    0x6A1F3C52, 0x8E0B, 0x4D7A, {0x9B, 0x34, 0x2C, 0x5E, 0x7D, 0x10, 0xF4, 0xA8}};

struct IEnumPropFamily : public IUnknown {
  // One item per call into *item (caller deletes it); E_FAIL at the end, *item untouched.
  virtual HRESULT Next(ULONG unused, PROPFAMILYINFO** item) = 0;
  virtual HRESULT Skip() = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone() = 0;

 protected:
  ~IEnumPropFamily() = default;
};

class VDPATTERN_EXPORT CEnumPropFamily final : public IEnumPropFamily {
 public:
  // A new enumerator (count 0) over the columns of `recordSet` (borrowed for the call) in *out.
  // E_OUTOFMEMORY when it cannot be allocated, E_POINTER for a null argument, else S_OK.
  static HRESULT Create(CVdRecordset* recordSet, CEnumPropFamily** out);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT Next(ULONG unused, PROPFAMILYINFO** item) override;
  HRESULT Skip() override;
  HRESULT Reset() override;
  HRESULT Clone() override;

 private:
  CEnumPropFamily() = default;
  ~CEnumPropFamily() = default;

  std::int32_t m_refCount = 0;
  std::list<PROPFAMILYINFO> m_items;
  std::list<PROPFAMILYINFO>::iterator m_position = m_items.end();
  bool m_atStart = true;
};
