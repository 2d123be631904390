// The unit grammar and the name normalisation helpers: UnitFromString reads whatever a catalog's "Units" table
// holds, and EliminateUnitsSymbol / ReplaceNumberSeparator edit every name a host looks up.

#include <cmath>
#include <string>
#include <vdpattern/toolkit/VdUnit.h>

#include "FuzzInput.h"

using vdfuzz::Check;

namespace {

bool IsScalar(wchar_t c) {
  const auto u = static_cast<std::uint32_t>(c);
  return u < 0xD800 || (u > 0xDFFF && u <= 0x10FFFF);
}

// Whether `part` can be had from `whole` by leaving characters out.
bool IsSubsequence(const std::wstring& part, const std::wstring& whole) {
  std::size_t k = 0;
  for (wchar_t c : whole)
    if (k < part.size() && part[k] == c) ++k;
  return k == part.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vdfuzz::Input input(data, size);
  const wchar_t separator = static_cast<wchar_t>(input.Byte());
  const std::wstring text = input.Text();

  for (const double metrics : {1.0, 1000.0, 0.0254, 0.0, -1.0}) {
    CVdUnit unit(7.0, 3, 2.0);
    const int status = CVdUnitManager::UnitFromString(CString(text), unit, metrics);
    if (status == CVdUnitManager::eUnitRecognized) {
      Check(std::isnormal(unit.GetCoef()) && unit.GetCoef() > 0);
      Check(unit.GetExponent() >= -99 && unit.GetExponent() <= 99);
      Check(unit.GetMetricsFactor() == metrics && unit.GetText().str() == text);
      Check(!std::isnan(unit.GetFactor()));
    } else {
      Check(status == (metrics > 0 ? CVdUnitManager::eUnknownUnit : CVdUnitManager::eInvalidMetricsFactor));
      Check(unit.GetCoef() == 7.0 && unit.GetExponent() == 3 && unit.GetMetricsFactor() == 2.0);  // untouched
    }
  }

  for (const unsigned kind : {0u, 1u, 11u, 12u}) {
    CString name(text);
    CVdUnit::EliminateUnitsSymbol(kind, name);
    if (kind != 1u && kind != 11u)
      Check(name.str() == text);
    else
      Check(IsSubsequence(name.str(), text));  // units are only ever taken out
  }

  {
    CString name(text);
    const bool changed = CVdUnit::ReplaceNumberSeparator(separator, name);
    Check(name.str().size() == text.size() && changed == (name.str() != text));
  }

  // UTF-8 both ways gives the text back, with U+FFFD for what is no character.
  const std::wstring back = VdFromUtf8(VdToUtf8(text));
  Check(back.size() == text.size());
  for (std::size_t k = 0; k < text.size(); ++k) Check(back[k] == (IsScalar(text[k]) ? text[k] : L'\uFFFD'));
  return 0;
}
