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

// A collation prefix of a text made only of printable ASCII characters (space to tilde); false, and nothing
// written, for any other text. The first 16 characters become bytes in `high` then `low` (most significant
// first, 0 past the end), so that comparing (high, low) pairs of two such texts orders them as
// VdCollateNoCase does whenever the pairs differ; equal pairs of texts of at most 16 characters mean the
// texts collate equal. An index compares names many times: a prefix kept beside each spares reading the
// names themselves.
VDTOOLKIT_EXPORT bool VdCollationPrefix(std::wstring_view text, unsigned long long& high, unsigned long long& low);
