#pragma once
// Locale-collated comparison without case, the order of CString::CollateNoCase: the Unicode root collation at
// secondary strength, without numeric ordering. The collator is opened once per process. A sort key compares
// (as bytes, std::string's operator<) exactly as VdCollateNoCase compares the texts it was made from, so a
// hot path that compares one text many times computes its key once.

#include <string>
#include <string_view>
#include <vdpattern/toolkit/VdToolkitExport.h>

VDTOOLKIT_EXPORT int VdCollateNoCase(std::wstring_view a, std::wstring_view b);
VDTOOLKIT_EXPORT std::string VdCollationKey(std::wstring_view text);
