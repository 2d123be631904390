#pragma once
// The texts VariantToLPCSTR hands out for variants that hold no text of their own: each belongs to the variant's
// address and stays valid until that variant is cleared (VariantClear, which every COleVariant runs when it is
// destroyed or assigned) or asked again after its value changed. A plain VARIANT that is never cleared keeps its
// text until another variant at the same address asks for one.

#include <vdpattern/toolkit/OleAuto.h>
#include <vdpattern/toolkit/String.h>

namespace vdpattern::toolkit {

// The text kept for `var`: `text` itself, or the equal text kept before (so a pointer handed out earlier for
// the same value stays valid).
const wchar_t* KeepVariantText(const VARIANT* var, CString text);
// Drops the text kept for `var`, if any. Costs one atomic load while no text is kept.
void ForgetVariantText(const VARIANT* var);

}  // namespace vdpattern::toolkit
