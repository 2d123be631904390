#pragma once
// Internal to the libraries: the pool's name index compares names many times, and a prefix kept beside each
// spares reading the names themselves. Exported from vdtoolkit for vdpattern only; no installed header
// declares it.

#include <string_view>
#include <vdpattern/toolkit/VdToolkitExport.h>

// A collation prefix of a text made only of printable ASCII characters (space to tilde); false, and nothing
// written, for any other text. The first 16 characters become bytes in `high` then `low` (most significant
// first, 0 past the end), so that comparing (high, low) pairs of two such texts orders them as
// VdCollateNoCase does whenever the pairs differ; equal pairs of texts of at most 16 characters mean the
// texts collate equal. Bit 7 of every byte is clear.
VDTOOLKIT_EXPORT bool VdCollationPrefix(std::wstring_view text, unsigned long long& high, unsigned long long& low);
