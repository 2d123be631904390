#pragma once
// Conversions of OLE variants of every type, the toolkit's free functions.
//
// Choices (all in the C locale, whatever the process locale is):
// - Numbers to text: the shortest text that reads back exactly ("2.5", "10", "1e+20"); VT_R4 as a float.
//   Booleans: "True" / "False". Dates: ISO-8601 ("2009-03-07", "2009-03-07 14:30:00"). Currency: its decimal
//   amount without trailing zeros ("12.5"). Byte blocks: upper-case hexadecimal, two digits a byte.
//   VT_EMPTY, VT_NULL and types without a text give "".
// - Text to numbers: the whole text, spaces around it allowed, must be a decimal number ("2.5", "-1e3");
//   anything else ("12 mm", "abc", "") gives 0. Booleans give 1 and 0; dates their day number; currency its
//   amount; byte blocks 0.
// - VariantToLong rounds to the nearest integer (halves away from zero) and clamps to long's range; NaN is 0.
// - The bool argument of VariantToString and VariantToLPCSTR is accepted for the platform's signature; both
//   values give the same text.
// - VariantToLPCSTR: a text that stays valid while the variant lives and keeps its value. For VT_BSTR it is the
//   variant's own text; for other types a text kept for the variant's address until VariantClear runs on it
//   (COleVariant and CVdPatternValue do when destroyed or assigned), or until a call for a changed value of the
//   same variant. A plain VARIANT that is never cleared keeps its text until another variant at the same
//   address asks for one. Any thread may call it.
// - A null variant pointer is treated as VT_EMPTY.

#include <vdpattern/toolkit/OleAuto.h>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>

VDTOOLKIT_EXPORT double VariantToDouble(const VARIANT* var);
VDTOOLKIT_EXPORT long VariantToLong(const VARIANT* var);
VDTOOLKIT_EXPORT CString VariantToString(const VARIANT* var, bool invariant = true);
VDTOOLKIT_EXPORT const wchar_t* VariantToLPCSTR(const VARIANT* var, bool invariant = true);

// Stores a copy of `length` bytes as a one-dimensional VT_ARRAY | VT_UI1 block (lower bound 0) in `var`,
// releasing what it held. Returns 1 on success, 0 when `var` is null, `bytes` is null with a non-zero length,
// or memory runs out (then `var` is VT_EMPTY).
VDTOOLKIT_EXPORT int PutBinaryIntoVariant(VARIANT* var, unsigned char* bytes, unsigned long length);

// Text of a double / float as described above; shared by the database layer.
VDTOOLKIT_EXPORT CString VdDoubleToString(double value);
// Parses the whole text as a C-locale number; false (value 0) when it is none.
VDTOOLKIT_EXPORT bool VdParseDouble(const wchar_t* text, double& value);
// The same for a UTF-8 text (only ASCII characters can be part of a number).
VDTOOLKIT_EXPORT bool VdParseDouble(const char* text, double& value);
