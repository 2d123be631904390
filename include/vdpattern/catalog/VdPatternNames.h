#pragma once
// Names as engineers write them (extension). One normal form of a pattern name, so that the spellings people use
// for one section find its row: "heb300", "HE 300 B" and "HEB 300" compare equal to the names they stand for.
// The normal form only ever widens a lookup that found nothing under the exact name; it never decides between two
// rows: a lookup whose normal form reaches more than one row fails and lists them (see
// CVdPatternCatalog::FindNames).
//
// Rules, applied in this order (each with an example of two spellings that meet):
// - Unicode dashes (U+2010 to U+2015, U+2212) read as '-', the fraction slash U+2044 as '/', and non-breaking,
//   thin and ideographic spaces and tabs as a space:      "3‑1/2" (U+2011) = "3-1/2".
// - ASCII letters compare without case; other letters are kept as they are:        "heb 300" = "HEB 300".
// - A decimal comma between digits is a decimal point:                               "33,7" = "33.7".
// - A number is written without leading zeros in its whole part and without trailing zeros after the point:
//                                                        "CHS 33.7x4.0" = "CHS 33.7x4", "0.625" = ".625".
// - A simple fraction whose value has a finite decimal form is that decimal, and a mixed number (whole, '-' or a
//   space, fraction) is their sum:                        "5/8" = ".625", "3-1/2" = "3 1/2" = "3.5".
//   Other fractions ("1/3") stay as written.
// - 'x', 'X', '×' and '*' between two numbers are one dimension sign, spaces around it dropped:
//                                                        "120 x 12" = "120×12" = "120*12" = "120X12".
// - A space between a number and anything but a number is dropped, other runs of spaces become one, and leading
//   and trailing spaces go:                              "HEB300" = "HEB 300", "HE 300 B" = "HE300B",
//                                                        "Ø 20" = "Ø20"; "10 20" stays apart from "1020".
// Names that are not dimensions at all ("Gusset plate left") only lose their case and extra spaces.
// Every other character (quotes, '%', '_', '[', '/', '-' between words) is kept, so it still tells names apart.
//
// Pure code: no database, no state; safe from any thread.

#include <string>
#include <string_view>
#include <vdpattern/VdPatternExport.h>

// The normal form of `name` by the rules above; the empty text for an empty name.
VDPATTERN_EXPORT std::wstring VdNormalName(std::wstring_view name);

// Natural order of names (extension), the order the tool, the module and the page list names in: "IPE 80" before
// "IPE 100". Runs of ASCII digits compare by their value (leading zeros do not count), everything else by code
// point. `x` and `y` must already be folded to lower case (VdFoldLower), so a caller that sorts folds each name
// once.
VDPATTERN_EXPORT bool VdNaturalLessFolded(std::wstring_view x, std::wstring_view y);

// Natural order of two names as written: case ignored, and names equal but for case ordered by code point, so the
// order is total and the same on every run.
VDPATTERN_EXPORT bool VdNaturalLess(std::wstring_view a, std::wstring_view b);
