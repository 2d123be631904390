#pragma once
// Units of measure of catalog values.
//
// A catalog stores each value in its own unit; the host wants lengths in its own length unit and everything else
// in SI. CVdUnit describes a catalog unit by two numbers: e, the power of length it carries, and k, how many of
// it make one SI unit (metre^e, with the non-length part in N, kg, rad, and Pa taken as N/m²). A stored value
// becomes a host value through F = M^e / k, where M is the metrics factor: how many host length units make one
// metre (1 for a host in metres, 1000 for a host in millimetres). So "MPa" (e=-2, k=1e-6) has F = 1 for a host in
// millimetres, that is N/mm², and "cm4" (e=4, k=1e8) has F = 1e4 there.
//
// CVdUnitManager::UnitFromString reads a unit text:
//   - symbols: length mm cm dm m km in ft yd; mass g kg t lb; force N daN kN MN kgf tf lbf kip; pressure Pa kPa
//     MPa GPa psi ksi (length power -2); angle rad deg ° grad; percent %. "" and "-" are dimensionless.
//   - a power after a symbol: "^n", "**n" (n may be signed), attached digits "cm4" / "cm-4", or superscripts
//     "cm²" / "m⁻¹". Powers run from -99 to 99; 0 is refused (it is never a unit, most likely a stray number).
//   - products with '.', '*', '·' or '⋅'; quotients with '/'; all of them strictly left to right, so "kg/m.s" is
//     (kg/m)·s. A leading "1/" gives the inverse ("1/m").
//   - a force or mass symbol written directly before a length symbol multiplies it: "kNm", "kNcm", "Nmm", "tm".
//     "t" is always the tonne of mass (as in "t/m"), so "tm" is t·m; a tonne-force metre is "tfm" or "tf.m".
//   - surrounding spaces and tabs are ignored; any other space, a number in front ("10 cm"), a power without a
//     symbol, a dangling operator ("cm/"), a second power ("m^2^2") or any unknown character refuses the text.
//     So does a result whose length power leaves ±99 or whose k is not a normal positive number.
//   - case: the text is matched case-sensitively; only when that fails and all its letters share one case is it
//     matched again ignoring case, each symbol then having to be the only one of its spelling. "MM" and "KG/M"
//     are read, but "Mm" (never mm) and "mPa" (never MPa) are refused.
//   - k of the non-SI dimensionless units: deg 180/pi (degrees in a radian), grad 200/pi, % 100, "" and "-" 1.
//
// Name normalisation, applied to pattern names before they are looked up:
//   - EliminateUnitsSymbol(1, text) removes a unit made only of length symbols (with their powers) that follows a
//     number: "HEA 100 mm" -> "HEA 100", "L 50mmx50mmx5mm" -> "L 50x50x5". Kind 11 removes any unit the grammar
//     reads ("100 kN/m"), except the bare "-". Other kinds change nothing. The unit may be separated from the
//     number by spaces (removed with it) and must end the word: at the end, before a space or punctuation, or
//     before an 'x' that starts the next dimension. A one-letter unit is removed only in its exact case, so the
//     "M" of "HE 300 M" stays.
//   - ReplaceNumberSeparator(sep, text) turns every `sep` between two ASCII digits into the canonical decimal
//     separator ('.' unless changed by SetDecimalSeparator) and says whether the text changed.
//   Neither touches a text without digits.
//
// Status codes of UnitFromString: 0 recognised (the unit is filled), 2 a unit text the grammar does not read,
// 1 a metrics factor that is not a finite positive number. On any failure the unit is left as it was.
//
// Ownership and threads: plain values, no pointers. Everything is reentrant and free of locale and I/O. The one
// piece of shared state is the canonical decimal separator, an atomic setting meant to be chosen at start-up.

#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>

class VDTOOLKIT_EXPORT CVdUnit {
 public:
  // Dimensionless: e = 0, k = 1, M = 1.
  CVdUnit() = default;
  CVdUnit(double coef, int exponent, double metricsFactor = 1.0)
      : m_dCoef(coef), m_nExponent(exponent), m_dMetricsFactor(metricsFactor) {}
  CVdUnit(const CVdUnit&) = default;
  CVdUnit& operator=(const CVdUnit&) = default;
  virtual ~CVdUnit();

  double GetCoef() const { return m_dCoef; }
  int GetExponent() { return m_nExponent; }
  double GetMetricsFactor() const { return m_dMetricsFactor; }
  void SetMetricsFactor(double metricsFactor) { m_dMetricsFactor = metricsFactor; }
  // The text the unit was read from (empty for a unit made otherwise).
  const CString& GetText() const { return m_strText; }

  // F = M^e / k: multiply a stored value by it to read, divide to write.
  double GetFactor() const;

  static void EliminateUnitsSymbol(unsigned int kind, CString& text);
  static bool ReplaceNumberSeparator(wchar_t sep, CString& text);
  // The canonical decimal separator; a digit or NUL is refused (false, setting unchanged).
  static bool SetDecimalSeparator(wchar_t sep);
  static wchar_t GetDecimalSeparator();

  enum eEliminateKind : unsigned int { eLengthUnits = 1, eAllUnits = 11 };

  // A pattern name as catalogs are searched for it: its units removed (length units, then any unit) and its
  // decimal separators, '.' or ',', made canonical. "HEA 100 mm" -> "HEA 100", "CHS 48,3x3" -> "CHS 48.3x3".
  static CString NormalizedPatternName(const CString& name);

 private:
  friend class CVdUnitManager;

  double m_dCoef = 1.0;
  int m_nExponent = 0;
  double m_dMetricsFactor = 1.0;
  CString m_strText;
};

class VDTOOLKIT_EXPORT CVdUnitManager {
 public:
  enum statusCode { eUnitRecognized = 0, eInvalidMetricsFactor = 1, eUnknownUnit = 2 };

  CVdUnitManager() = default;
  explicit CVdUnitManager(double metricsFactor) : m_dMetricsFactor(metricsFactor) {}
  virtual ~CVdUnitManager();

  double GetMetricsFactor() const { return m_dMetricsFactor; }
  void SetMetricsFactor(double metricsFactor) { m_dMetricsFactor = metricsFactor; }

  // Reads `text` into `unit` (coefficient, exponent, text, and metricsFactor as its M); returns a statusCode.
  static int UnitFromString(CString text, CVdUnit& unit, const double& metricsFactor);

  // How many host length units make one metre; read directly by the library.
  double m_dMetricsFactor = 1.0;
};
