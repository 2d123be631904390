#pragma once
// UTF-8 at every byte boundary, UTF-32 (wchar_t) in memory. Decoding never fails: every byte that does not
// start or continue a well-formed sequence (overlong forms, surrogates and values above U+10FFFF included)
// becomes U+FFFD. Encoding writes U+FFFD for a wchar_t that is no Unicode scalar value.

#include <string>
#include <string_view>
#include <vdpattern/toolkit/VdToolkitExport.h>

VDTOOLKIT_EXPORT std::string VdToUtf8(std::wstring_view text);
VDTOOLKIT_EXPORT std::wstring VdFromUtf8(std::string_view bytes);
// Appends one code point, U+FFFD for a value that is no Unicode scalar value (a lone surrogate, say).
VDTOOLKIT_EXPORT void VdAppendUtf8(std::string& out, char32_t c);
