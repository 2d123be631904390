#pragma once
// The OLE Automation value model with the platform's names: VARIANT, BSTR, SAFEARRAY, CY and DATE, and the
// API functions that create, copy and release them.
//
// Ownership is the platform's: a VARIANT owns its BSTR or SAFEARRAY payload; VariantClear releases it and
// leaves VT_EMPTY; VariantCopy deep-copies texts and arrays (a VT_BYREF variant is copied as the reference).
// A BSTR is a length-prefixed, NUL-terminated UTF-32 text from SysAllocString*; SysFreeString(nullptr) is
// allowed. Arrays hold fixed-size elements of the numeric types, dates, currency and BSTR (freed with the array).
// No function throws; failures are returned as HRESULT codes.

#include <cstdint>
#include <vdpattern/toolkit/VdToolkitExport.h>
#include <vdpattern/toolkit/WinTypes.h>

typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
typedef double DATE;
typedef OLECHAR* BSTR;

// Currency: a 64-bit amount scaled by 10,000.
union CY {
  struct {
    ULONG Lo;
    LONG Hi;
  };
  LONGLONG int64;
};
typedef CY CURRENCY;

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};
typedef SAFEARRAY* LPSAFEARRAY;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0xfff,
};

struct tagVARIANT;
typedef tagVARIANT VARIANT;

struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    ULONGLONG ullVal;
    LONG lVal;
    ULONG ulVal;
    BYTE bVal;
    char cVal;
    SHORT iVal;
    USHORT uiVal;
    int intVal;
    UINT uintVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    SAFEARRAY* parray;
    void* byref;
  };
};
typedef VARIANT VARIANTARG;
typedef const VARIANT* LPCVARIANT;

// BSTR texts. SysAllocString(nullptr) and SysAllocStringLen(nullptr, n) give an empty (n = 0) or zero-filled text.
VDTOOLKIT_EXPORT BSTR SysAllocString(const OLECHAR* text);
VDTOOLKIT_EXPORT BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
VDTOOLKIT_EXPORT void SysFreeString(BSTR text);
VDTOOLKIT_EXPORT UINT SysStringLen(BSTR text);

// Variants. VariantInit does not release; VariantClear does. VariantCopy clears dest first (dest == src is a
// no-op); on failure dest is left VT_EMPTY.
VDTOOLKIT_EXPORT void VariantInit(VARIANT* var);
VDTOOLKIT_EXPORT HRESULT VariantClear(VARIANT* var);
VDTOOLKIT_EXPORT HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);

// One-dimensional arrays. SafeArrayCreateVector returns null for an element type it cannot hold; the caller
// owns the array (SafeArrayDestroy, or through the VARIANT that holds it). SafeArrayDestroy refuses a locked
// array (DISP_E_ARRAYISLOCKED).
VDTOOLKIT_EXPORT SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
VDTOOLKIT_EXPORT HRESULT SafeArrayCopy(const SAFEARRAY* source, SAFEARRAY** copy);
VDTOOLKIT_EXPORT HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
VDTOOLKIT_EXPORT HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
VDTOOLKIT_EXPORT HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound);
VDTOOLKIT_EXPORT HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound);
VDTOOLKIT_EXPORT HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
VDTOOLKIT_EXPORT HRESULT SafeArrayDestroy(SAFEARRAY* array);

// Content equality of two variants: same type tag and same content (numbers, dates and currency exactly,
// texts code unit by code unit, booleans by value, arrays by element type, size and bytes).
VDTOOLKIT_EXPORT bool VdVariantEquals(const VARIANT& a, const VARIANT& b);
