#include <vdpattern/catalog/VdEnumPropFamily.h>

#include <cstring>
#include <new>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/VdRecordset.h>

HRESULT CEnumPropFamily::Create(CVdRecordset* recordSet, CEnumPropFamily** out) {
  if (!out) return E_POINTER;
  *out = new (std::nothrow) CEnumPropFamily();
  if (!*out) return E_OUTOFMEMORY;
  if (!recordSet) return S_OK;
  CODBCFieldInfo info;
  for (short i = 0, n = recordSet->GetODBCFieldCount(); i < n; ++i) {
    recordSet->GetODBCFieldInfo(i, info);
    (*out)->m_items.push_back(
        PROPFAMILYINFO{info.m_strName.str(), info.m_nSQLType, static_cast<std::uint32_t>(info.m_nPrecision)});
  }
  (*out)->m_position = (*out)->m_items.end();
  return S_OK;
}

HRESULT CEnumPropFamily::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid != IID_IUnknown && iid != IID_IEnumPropFamily) return E_NOINTERFACE;
  *object = static_cast<IEnumPropFamily*>(this);
  AddRef();
  return S_OK;
}

ULONG CEnumPropFamily::AddRef() { return static_cast<ULONG>(++m_refCount); }

ULONG CEnumPropFamily::Release() {
  const std::int32_t count = --m_refCount;
  if (count <= 0) {
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count);
}

HRESULT CEnumPropFamily::Next(ULONG, PROPFAMILYINFO** item) {
  if (m_atStart) {
    m_atStart = false;
    m_position = m_items.begin();
  } else if (m_position != m_items.end()) {
    ++m_position;
  }
  if (m_position == m_items.end()) return E_FAIL;
  if (!item) return E_POINTER;
  *item = new PROPFAMILYINFO(*m_position);
  return S_OK;
}

HRESULT CEnumPropFamily::Skip() { return E_NOTIMPL; }

HRESULT CEnumPropFamily::Reset() {
  m_atStart = true;
  return S_OK;
}

HRESULT CEnumPropFamily::Clone() { return E_NOTIMPL; }
