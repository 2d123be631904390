#include <vdpattern/toolkit/OleAuto.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include "toolkit/VariantText.h"

// A BSTR is allocated with its length in bytes in front of the text, as on the platform, so SysStringLen is
// O(1) and texts may contain NULs.
namespace {

struct BstrHeader {
  std::uint64_t bytes;  // keeps the text 8-byte aligned
};

// A SAFEARRAY is allocated behind a header that remembers its element type.
struct ArrayBlock {
  VARTYPE vt;
  SAFEARRAY array;
};

ArrayBlock* BlockOf(SAFEARRAY* array) {
  return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(array) - offsetof(ArrayBlock, array));
}

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_BSTR:
      return sizeof(BSTR);
    default:
      return 0;
  }
}

std::size_t ElementCount(const SAFEARRAY* array) { return array->cDims ? array->rgsabound[0].cElements : 0; }

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  void* raw = std::malloc(sizeof(BstrHeader) + (static_cast<std::size_t>(length) + 1) * sizeof(OLECHAR));
  if (!raw) return nullptr;
  auto* header = static_cast<BstrHeader*>(raw);
  header->bytes = static_cast<std::uint64_t>(length) * sizeof(OLECHAR);
  auto* chars = reinterpret_cast<OLECHAR*>(header + 1);
  if (text)
    std::wmemcpy(chars, text, length);
  else
    std::wmemset(chars, L'\0', length);
  chars[length] = L'\0';
  return chars;
}

BSTR SysAllocString(const OLECHAR* text) {
  return SysAllocStringLen(text, text ? static_cast<UINT>(std::wcslen(text)) : 0);
}

void SysFreeString(BSTR text) {
  if (text) std::free(reinterpret_cast<BstrHeader*>(text) - 1);
}

UINT SysStringLen(BSTR text) {
  return text ? static_cast<UINT>((reinterpret_cast<BstrHeader*>(text) - 1)->bytes / sizeof(OLECHAR)) : 0;
}

void VariantInit(VARIANT* var) {
  if (!var) return;
  var->vt = VT_EMPTY;
  var->wReserved1 = var->wReserved2 = var->wReserved3 = 0;
  var->llVal = 0;
}

HRESULT VariantClear(VARIANT* var) {
  if (!var) return E_INVALIDARG;
  vdpattern::toolkit::ForgetVariantText(var);
  if (!(var->vt & VT_BYREF)) {
    if (var->vt == VT_BSTR) {
      SysFreeString(var->bstrVal);
    } else if (var->vt & VT_ARRAY) {
      if (var->parray) {
        var->parray->cLocks = 0;  // the variant owns the array outright
        SafeArrayDestroy(var->parray);
      }
    }
  }
  VariantInit(var);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (dest == src) return S_OK;
  VARIANT copy = *src;
  if (!(src->vt & VT_BYREF)) {
    if (src->vt == VT_BSTR) {
      if (src->bstrVal) {
        copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (!copy.bstrVal) {
          VariantClear(dest);
          return E_OUTOFMEMORY;
        }
      }
    } else if (src->vt & VT_ARRAY) {
      if (src->parray) {
        SAFEARRAY* a = nullptr;
        const HRESULT hr = SafeArrayCopy(src->parray, &a);
        if (FAILED(hr)) {
          VariantClear(dest);
          return hr;
        }
        copy.parray = a;
      }
    }
  }
  VariantClear(dest);
  *dest = copy;
  return S_OK;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
  const ULONG size = ElementSize(vt);
  if (!size) return nullptr;
  auto* block = static_cast<ArrayBlock*>(std::calloc(1, sizeof(ArrayBlock)));
  if (!block) return nullptr;
  block->vt = vt;
  SAFEARRAY* a = &block->array;
  a->cDims = 1;
  a->cbElements = size;
  a->rgsabound[0].cElements = elements;
  a->rgsabound[0].lLbound = lowerBound;
  // One byte at least, so an empty array still has a data pointer to lock.
  a->pvData = std::calloc(elements ? elements : 1, size);
  if (!a->pvData) {
    std::free(block);
    return nullptr;
  }
  return a;
}

HRESULT SafeArrayCopy(const SAFEARRAY* source, SAFEARRAY** copy) {
  if (!source || !copy) return E_INVALIDARG;
  *copy = nullptr;
  const VARTYPE vt = BlockOf(const_cast<SAFEARRAY*>(source))->vt;
  const std::size_t n = ElementCount(source);
  SAFEARRAY* a = SafeArrayCreateVector(vt, source->cDims ? source->rgsabound[0].lLbound : 0, static_cast<ULONG>(n));
  if (!a) return E_OUTOFMEMORY;
  if (vt == VT_BSTR) {
    auto* from = static_cast<BSTR*>(source->pvData);
    auto* to = static_cast<BSTR*>(a->pvData);
    for (std::size_t i = 0; i < n; ++i) {
      if (from[i] && !(to[i] = SysAllocStringLen(from[i], SysStringLen(from[i])))) {
        SafeArrayDestroy(a);
        return E_OUTOFMEMORY;
      }
    }
  } else if (n) {
    std::memcpy(a->pvData, source->pvData, n * source->cbElements);
  }
  *copy = a;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
  if (!array || !data) return E_INVALIDARG;
  ++array->cLocks;
  *data = array->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
  if (!array) return E_INVALIDARG;
  if (array->cLocks == 0) return E_FAIL;
  --array->cLocks;
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound) {
  if (!array || !bound || dim < 1 || dim > array->cDims) return E_INVALIDARG;
  *bound = array->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound) {
  if (!array || !bound || dim < 1 || dim > array->cDims) return E_INVALIDARG;
  *bound = static_cast<LONG>(static_cast<std::int64_t>(array->rgsabound[0].lLbound) +
                             static_cast<std::int64_t>(array->rgsabound[0].cElements) - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
  if (!array || !vt) return E_INVALIDARG;
  *vt = BlockOf(array)->vt;
  return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
  if (!array) return S_OK;
  if (array->cLocks) return DISP_E_ARRAYISLOCKED;
  if (BlockOf(array)->vt == VT_BSTR) {
    auto* items = static_cast<BSTR*>(array->pvData);
    for (std::size_t i = 0, n = ElementCount(array); i < n; ++i) SysFreeString(items[i]);
  }
  std::free(array->pvData);
  std::free(BlockOf(array));
  return S_OK;
}

bool VdVariantEquals(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  if (a.vt & VT_BYREF) return a.byref == b.byref;
  if (a.vt & VT_ARRAY) {
    if (!a.parray || !b.parray) return a.parray == b.parray;
    if (BlockOf(a.parray)->vt != BlockOf(b.parray)->vt) return false;
    const std::size_t n = ElementCount(a.parray);
    if (n != ElementCount(b.parray)) return false;
    if (BlockOf(a.parray)->vt == VT_BSTR) {
      auto* x = static_cast<BSTR*>(a.parray->pvData);
      auto* y = static_cast<BSTR*>(b.parray->pvData);
      for (std::size_t i = 0; i < n; ++i) {
        const UINT lx = SysStringLen(x[i]);
        if (lx != SysStringLen(y[i]) || (lx && std::wmemcmp(x[i], y[i], lx) != 0)) return false;
      }
      return true;
    }
    return n == 0 || std::memcmp(a.parray->pvData, b.parray->pvData, n * a.parray->cbElements) == 0;
  }
  switch (a.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return true;
    case VT_I1:
      return a.cVal == b.cVal;
    case VT_UI1:
      return a.bVal == b.bVal;
    case VT_I2:
      return a.iVal == b.iVal;
    case VT_UI2:
      return a.uiVal == b.uiVal;
    case VT_BOOL:
      return (a.boolVal != VARIANT_FALSE) == (b.boolVal != VARIANT_FALSE);
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      return a.lVal == b.lVal;
    case VT_UI4:
    case VT_UINT:
      return a.ulVal == b.ulVal;
    case VT_I8:
    case VT_UI8:
      return a.llVal == b.llVal;
    case VT_R4:
      return a.fltVal == b.fltVal;
    case VT_R8:
      return a.dblVal == b.dblVal;
    case VT_DATE:
      return a.date == b.date;
    case VT_CY:
      return a.cyVal.int64 == b.cyVal.int64;
    case VT_BSTR: {
      const UINT la = SysStringLen(a.bstrVal);
      return la == SysStringLen(b.bstrVal) && (la == 0 || std::wmemcmp(a.bstrVal, b.bstrVal, la) == 0);
    }
    default:
      return a.llVal == b.llVal;
  }
}
