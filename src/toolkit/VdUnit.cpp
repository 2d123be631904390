#include <vdpattern/toolkit/VdUnit.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

#include "toolkit/UnitGrammar.h"

using vdunit::IsAsciiDigit;
using vdunit::IsAsciiLetter;

namespace {

std::atomic<wchar_t> g_decimalSeparator{L'.'};

// Longest unit text looked at after a number: enough for "kN.m/m2" and the like, and it keeps the work per
// number bounded whatever the input.
constexpr std::size_t kMaxUnitLength = 16;

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\u00A0' || c == L'\u202F'; }

bool IsUnitStart(wchar_t c) { return IsAsciiLetter(c) || c == L'\u00B0' || c == L'%'; }

bool IsPowerSign(wchar_t c) { return c == L'\u207A' || c == L'\u207B'; }

// A character that may appear inside a unit text.
bool IsUnitChar(wchar_t c) {
  if (IsUnitStart(c) || IsAsciiDigit(c) || vdunit::SuperscriptDigit(c) >= 0 || IsPowerSign(c)) return true;
  switch (c) {
    case L'.':
    case L'*':
    case L'/':
    case L'^':
    case L'-':
    case L'+':
    case L'\u00B7':
    case L'\u22C5':
      return true;
    default:
      return false;
  }
}

// Whether a unit may end just before `pos`: the end, a character that cannot continue a symbol or its power, or
// an 'x' starting the next dimension ("50mmx50").
bool EndsWord(const std::wstring& s, std::size_t pos) {
  if (pos == s.size()) return true;
  const wchar_t c = s[pos];
  if (c == L'x' || c == L'X' || c == L'\u00D7') return pos + 1 < s.size() && IsAsciiDigit(s[pos + 1]);
  return !IsUnitStart(c) && !IsAsciiDigit(c) && vdunit::SuperscriptDigit(c) < 0 && !IsPowerSign(c);
}

int CountLetters(std::wstring_view text) {
  int count = 0;
  for (const wchar_t c : text) count += IsAsciiLetter(c) ? 1 : 0;
  return count;
}

// Length of the unit of the given kind that starts at `start` and ends a word, or 0. The longest unit there
// decides: if it is not of the kind, nothing shorter is taken instead ("m.kN" is no length followed by ".kN").
std::size_t UnitAt(const std::wstring& s, std::size_t start, unsigned int kind) {
  if (start >= s.size() || !IsUnitStart(s[start])) return 0;
  std::size_t run = 0;
  while (start + run < s.size() && run < kMaxUnitLength && IsUnitChar(s[start + run])) ++run;
  for (std::size_t length = run; length > 0; --length) {
    if (!EndsWord(s, start + length)) continue;
    const std::wstring_view candidate(s.data() + start, length);
    // A lone capital after a number names a series ("HE 300 M"), so one letter must match in its own case.
    const auto rule = CountLetters(candidate) >= 2 ? vdunit::CaseRule::FoldIfUniform : vdunit::CaseRule::Exact;
    vdunit::ParsedUnit unit;
    if (!vdunit::ParseUnit(candidate, rule, unit)) continue;
    return (kind == CVdUnit::eAllUnits || unit.lengthOnly) ? length : 0;
  }
  return 0;
}

}  // namespace

CVdUnit::~CVdUnit() = default;

double CVdUnit::GetFactor() const { return vdunit::PowInt(m_dMetricsFactor, m_nExponent) / m_dCoef; }

void CVdUnit::EliminateUnitsSymbol(unsigned int kind, CString& text) {
  if (kind != eLengthUnits && kind != eAllUnits) return;
  const std::wstring& s = text.str();
  // Built anew rather than erased in place, so that many units cost linear time.
  std::wstring result;
  std::size_t copied = 0;  // s[0, copied) is dealt with
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool endsNumber = IsAsciiDigit(s[i]) && !(i + 1 < s.size() && IsAsciiDigit(s[i + 1]));
    if (!endsNumber) continue;
    std::size_t start = i + 1;
    while (start < s.size() && IsSpace(s[start])) ++start;
    const std::size_t length = UnitAt(s, start, kind);
    if (length == 0) continue;
    result.append(s, copied, i + 1 - copied);
    copied = start + length;
    i = copied - 1;
  }
  if (copied == 0) return;
  result.append(s, copied, std::wstring::npos);
  text.str() = std::move(result);
}

CString CVdUnit::NormalizedPatternName(const CString& name) {
  CString normalized = name;
  EliminateUnitsSymbol(eLengthUnits, normalized);
  EliminateUnitsSymbol(eAllUnits, normalized);
  ReplaceNumberSeparator(L'.', normalized);
  ReplaceNumberSeparator(L',', normalized);
  return normalized;
}

bool CVdUnit::ReplaceNumberSeparator(wchar_t sep, CString& text) {
  const wchar_t canonical = GetDecimalSeparator();
  if (sep == canonical || IsAsciiDigit(sep)) return false;
  std::wstring& s = text.str();
  bool changed = false;
  for (std::size_t i = 1; i + 1 < s.size(); ++i) {
    if (s[i] == sep && IsAsciiDigit(s[i - 1]) && IsAsciiDigit(s[i + 1])) {
      s[i] = canonical;
      changed = true;
    }
  }
  return changed;
}

bool CVdUnit::SetDecimalSeparator(wchar_t sep) {
  if (sep == L'\0' || IsAsciiDigit(sep)) return false;
  g_decimalSeparator.store(sep);
  return true;
}

wchar_t CVdUnit::GetDecimalSeparator() { return g_decimalSeparator.load(); }

CVdUnitManager::~CVdUnitManager() = default;

int CVdUnitManager::UnitFromString(CString text, CVdUnit& unit, const double& metricsFactor) {
  const double factor = metricsFactor;  // read before `unit` changes, in case they share storage
  if (!std::isfinite(factor) || factor <= 0) return eInvalidMetricsFactor;
  vdunit::ParsedUnit parsed;
  if (!vdunit::ParseUnit(text.str(), vdunit::CaseRule::FoldIfUniform, parsed)) return eUnknownUnit;
  unit.m_dCoef = parsed.coef;
  unit.m_nExponent = parsed.exponent;
  unit.m_dMetricsFactor = factor;
  unit.m_strText = std::move(text);
  return eUnitRecognized;
}
