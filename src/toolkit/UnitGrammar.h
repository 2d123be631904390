#pragma once
// The grammar of unit texts, shared by CVdUnitManager::UnitFromString and CVdUnit::EliminateUnitsSymbol.
// The language it reads is described in VdUnit.h. Pure functions over a view: no state, no allocation.

#include <string_view>

namespace vdunit {

struct ParsedUnit {
  int exponent = 0;         // power of length
  double coef = 1.0;        // how many of the unit make one SI unit
  bool lengthOnly = false;  // at least one symbol, and every symbol a length
};

enum class CaseRule {
  Exact,         // symbols in their own case only
  FoldIfUniform  // then, if that fails and the letters share one case, ignoring case
};

// Reads the whole of `text` (surrounding spaces and tabs ignored); false when it is not a unit.
bool ParseUnit(std::wstring_view text, CaseRule rule, ParsedUnit& out);

// base^n by repeated squaring; n may be any int, a negative n gives 1 / base^|n|.
double PowInt(double base, int n);

inline bool IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
inline bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
// Value of a superscript digit (⁰ to ⁹), or -1.
int SuperscriptDigit(wchar_t c);

}  // namespace vdunit
