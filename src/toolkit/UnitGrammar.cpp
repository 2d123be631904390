#include "toolkit/UnitGrammar.h"

#include <cmath>
#include <cstddef>

namespace vdunit {

namespace {

enum class Quantity { Length, Mass, Force, Pressure, Angle, Ratio };

struct Symbol {
  std::wstring_view text;
  Quantity quantity;
  int exponent;  // power of length in SI: Pa = N/m² carries -2
  double coef;   // how many of the symbol make one SI unit
};

constexpr double kPi = 3.14159265358979323846;
constexpr double kInch = 0.0254;                                       // m
constexpr double kFoot = 0.3048;                                       // m
constexpr double kYard = 0.9144;                                       // m
constexpr double kPound = 0.45359237;                                  // kg
constexpr double kGravity = 9.80665;                                   // m/s², defines kgf and tf
constexpr double kPoundForce = kPound * kGravity;                      // N
constexpr double kPoundPerSquareInch = kPoundForce / (kInch * kInch);  // Pa

constexpr Symbol kSymbols[] = {
    {L"mm", Quantity::Length, 1, 1000.0},
    {L"cm", Quantity::Length, 1, 100.0},
    {L"dm", Quantity::Length, 1, 10.0},
    {L"m", Quantity::Length, 1, 1.0},
    {L"km", Quantity::Length, 1, 1e-3},
    {L"in", Quantity::Length, 1, 1.0 / kInch},
    {L"ft", Quantity::Length, 1, 1.0 / kFoot},
    {L"yd", Quantity::Length, 1, 1.0 / kYard},
    {L"g", Quantity::Mass, 0, 1000.0},
    {L"kg", Quantity::Mass, 0, 1.0},
    {L"t", Quantity::Mass, 0, 1e-3},
    {L"lb", Quantity::Mass, 0, 1.0 / kPound},
    {L"N", Quantity::Force, 0, 1.0},
    {L"daN", Quantity::Force, 0, 0.1},
    {L"kN", Quantity::Force, 0, 1e-3},
    {L"MN", Quantity::Force, 0, 1e-6},
    {L"kgf", Quantity::Force, 0, 1.0 / kGravity},
    {L"tf", Quantity::Force, 0, 1.0 / (1000.0 * kGravity)},
    {L"lbf", Quantity::Force, 0, 1.0 / kPoundForce},
    {L"kip", Quantity::Force, 0, 1.0 / (1000.0 * kPoundForce)},
    {L"Pa", Quantity::Pressure, -2, 1.0},
    {L"kPa", Quantity::Pressure, -2, 1e-3},
    {L"MPa", Quantity::Pressure, -2, 1e-6},
    {L"GPa", Quantity::Pressure, -2, 1e-9},
    {L"psi", Quantity::Pressure, -2, 1.0 / kPoundPerSquareInch},
    {L"ksi", Quantity::Pressure, -2, 1.0 / (1000.0 * kPoundPerSquareInch)},
    {L"rad", Quantity::Angle, 0, 1.0},
    {L"deg", Quantity::Angle, 0, 180.0 / kPi},
    {L"\u00B0", Quantity::Angle, 0, 180.0 / kPi},
    {L"grad", Quantity::Angle, 0, 200.0 / kPi},
    {L"%", Quantity::Ratio, 0, 100.0},
};

constexpr int kMaxPower = 99;

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool IsProductSign(wchar_t c) { return c == L'.' || c == L'*' || c == L'\u00B7' || c == L'\u22C5'; }

// A partial result: the power of length and the coefficient.
struct Term {
  int exponent = 0;
  double coef = 1.0;
};

Term Raise(const Symbol& symbol, int power) { return {symbol.exponent * power, PowInt(symbol.coef, power)}; }

// The language has no nesting, so a flat loop reads it: a running result and a position, every step consuming at
// least one character. Nothing recurses, and the work is linear in the length of the text.
class Parser {
 public:
  Parser(std::wstring_view text, bool fold) : m_text(text), m_fold(fold) {}

  bool Run(ParsedUnit& out) {
    if (m_text.empty() || m_text == L"-") {
      out = ParsedUnit{};
      return true;
    }
    Term result;
    bool dividing = false;
    if (m_text.size() >= 2 && m_text[0] == L'1' && m_text[1] == L'/') {
      m_pos = 2;
      dividing = true;
    }
    for (;;) {
      Term term;
      if (!ReadTerm(term) || !Combine(result, term, dividing)) return false;
      if (m_pos == m_text.size()) break;
      const wchar_t op = m_text[m_pos++];
      if (IsProductSign(op))
        dividing = false;
      else if (op == L'/')
        dividing = true;
      else
        return false;
    }
    out.exponent = result.exponent;
    out.coef = result.coef;
    out.lengthOnly = m_lengthOnly;
    return true;
  }

 private:
  // symbol [length symbol] [power]; the power belongs to the last symbol ("kNm2" is kN·m²).
  bool ReadTerm(Term& term) {
    const Symbol* first = ReadSymbol();
    if (!first) return false;
    const Symbol* second = nullptr;
    if (first->quantity == Quantity::Force || first->quantity == Quantity::Mass) {
      const std::size_t mark = m_pos;
      second = ReadSymbol();
      if (second && second->quantity != Quantity::Length) {
        second = nullptr;
        m_pos = mark;
      }
    }
    int power = 1;
    if (!ReadPower(power)) return false;
    if (second) {
      const Term tail = Raise(*second, power);
      term = {first->exponent + tail.exponent, first->coef * tail.coef};
    } else {
      term = Raise(*first, power);
    }
    return true;
  }

  // The longest symbol at the position, or null. When folding case, two symbols of that length spelt alike
  // make the text ambiguous: nothing is read.
  const Symbol* ReadSymbol() {
    const Symbol* best = nullptr;
    bool ambiguous = false;
    for (const Symbol& symbol : kSymbols) {
      if (!Matches(symbol.text)) continue;
      if (!best || symbol.text.size() > best->text.size()) {
        best = &symbol;
        ambiguous = false;
      } else if (symbol.text.size() == best->text.size()) {
        ambiguous = true;
      }
    }
    if (!best || ambiguous) return nullptr;
    m_pos += best->text.size();
    if (best->quantity != Quantity::Length) m_lengthOnly = false;
    return best;
  }

  bool Matches(std::wstring_view symbol) const {
    if (m_text.size() - m_pos < symbol.size()) return false;
    for (std::size_t i = 0; i < symbol.size(); ++i) {
      const wchar_t c = m_text[m_pos + i];
      if (c != symbol[i] && !(m_fold && FoldAscii(c) == FoldAscii(symbol[i]))) return false;
    }
    return true;
  }

  // At most one power; `power` stays 1 when there is none. False on a malformed or out-of-range power.
  bool ReadPower(int& power) {
    if (m_pos == m_text.size()) return true;
    const wchar_t c = m_text[m_pos];
    const wchar_t next = m_pos + 1 < m_text.size() ? m_text[m_pos + 1] : L'\0';
    bool negative = false;
    bool superscript = false;
    if (c == L'^' || (c == L'*' && next == L'*')) {
      m_pos += c == L'^' ? 1 : 2;
      if (m_pos < m_text.size() && (m_text[m_pos] == L'+' || m_text[m_pos] == L'-')) {
        negative = m_text[m_pos] == L'-';
        ++m_pos;
      }
    } else if (c == L'-' && IsAsciiDigit(next)) {
      negative = true;
      ++m_pos;
    } else if (IsAsciiDigit(c)) {
      // attached digits
    } else if (c == L'\u207A' || c == L'\u207B' || SuperscriptDigit(c) >= 0) {
      superscript = true;
      if (c == L'\u207A' || c == L'\u207B') {
        negative = c == L'\u207B';
        ++m_pos;
      }
    } else {
      return true;  // no power
    }
    int value = 0;
    int digits = 0;
    for (; m_pos < m_text.size(); ++m_pos) {
      const int d =
          superscript ? SuperscriptDigit(m_text[m_pos]) : (IsAsciiDigit(m_text[m_pos]) ? m_text[m_pos] - L'0' : -1);
      if (d < 0) break;
      if (value <= kMaxPower) value = value * 10 + d;  // stops growing once out of range
      ++digits;
    }
    if (digits == 0 || value == 0 || value > kMaxPower) return false;
    power = negative ? -value : value;
    return true;
  }

  static bool Combine(Term& result, const Term& term, bool dividing) {
    const int exponent = dividing ? result.exponent - term.exponent : result.exponent + term.exponent;
    const double coef = dividing ? result.coef / term.coef : result.coef * term.coef;
    if (exponent < -kMaxPower || exponent > kMaxPower || !std::isnormal(coef) || coef < 0) return false;
    result = {exponent, coef};
    return true;
  }

  std::wstring_view m_text;
  bool m_fold;
  std::size_t m_pos = 0;
  bool m_lengthOnly = true;
};

bool HasSingleCase(std::wstring_view text) {
  bool upper = false, lower = false;
  for (const wchar_t c : text) {
    upper = upper || (c >= L'A' && c <= L'Z');
    lower = lower || (c >= L'a' && c <= L'z');
  }
  return !(upper && lower);
}

}  // namespace

int SuperscriptDigit(wchar_t c) {
  switch (c) {
    case L'\u2070':
      return 0;
    case L'\u00B9':
      return 1;
    case L'\u00B2':
      return 2;
    case L'\u00B3':
      return 3;
    default:
      return (c >= L'\u2074' && c <= L'\u2079') ? static_cast<int>(c - L'\u2074') + 4 : -1;
  }
}

double PowInt(double base, int n) {
  // The magnitude as unsigned so that INT_MIN does not overflow.
  unsigned int m = n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
  double result = 1.0;
  for (double square = base; m != 0; m >>= 1) {
    if (m & 1u) result *= square;
    square *= square;
  }
  return n < 0 ? 1.0 / result : result;
}

bool ParseUnit(std::wstring_view text, CaseRule rule, ParsedUnit& out) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (Parser(text, false).Run(out)) return true;
  return rule == CaseRule::FoldIfUniform && HasSingleCase(text) && Parser(text, true).Run(out);
}

}  // namespace vdunit
