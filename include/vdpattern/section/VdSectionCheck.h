#pragma once
// Checking and completing the section properties a catalog row stores (an extension beside CVdSection; no
// database is involved: the caller reads the row and hands in its cells with their columns' units).
//
// A row says its shape by a code of CVdSection (a family's text column "Shape" in the tool's catalogs). Its
// dimensions are the cells named as CVdSection::Dimensions(shape) lists them; its properties are the cells
// named A, Iy, Iz, Wy or Wely or Wel,y, Wz or Welz or Wel,z, Wply or Wpl,y, Wplz or Wpl,z, iy or i_y, iz or
// i_z, It, Iw, Iu, Iv and G (exact case: tables write Iy and iy apart). Every dimension and property needs a unit text
// that CVdUnitManager reads ("mm", "cm4", "kg/m"); values are compared in their column's unit, dimensions passed to
// CVdSection in millimetres (a slope is a ratio whatever its unit says). Cells of other names are ignored.
//
// A stored value holds when it lies within the tolerance of the computed one, or when the two agree to the
// digits stored (tables round small values to two or three digits). A value outside is reported with the likely
// cause when it is a known one: a unit off by 10, 100, 1000, 10^4 or 10^6, or tw and tf exchanged (every
// property outside holds with the two swapped; for tapered flanges whose tf is measured at the middle of the
// outstand, u moves with tw, and a second reading keeps the point where the root fillet meets the web and fits
// its radius to it, as tables that give that point rather than the radius are read).
//
// Stateless and thread-safe; nothing throws (a row CVdSection refuses is a finding). No pointers are handed out
// or taken.

#include <map>
#include <string>
#include <vector>

#include "vdpattern/VdPatternExport.h"

// One cell of a row: its column, its value and its column's unit.
struct VdSectionCell {
  enum Kind { kMissing, kNumber, kOther };
  std::string column;    // as the family spells it
  Kind kind = kMissing;  // kMissing: a null cell; kOther: a value that is not a number
  double value = 0;      // for kNumber
  std::string unit;      // the column's unit text; empty when it has none
};

struct VdSectionFinding {
  std::string property;             // the column, or "Shape", or "dimensions" when the section cannot be computed
  bool hasValues = false;           // stored, computed and differencePct are set
  double stored = 0, computed = 0;  // in the column's unit
  double differencePct = 0;         // (computed - stored) / |stored|, in per cent
  std::string cause;                // the likely cause, or why the row cannot be checked; may be empty
};

struct VdSectionRowCheck {
  bool checked = false;  // the section was computed and its stored properties compared
  std::vector<VdSectionFinding> findings;
};

// A property a row lacks, computed: the value to store in `column`'s unit.
struct VdSectionFill {
  std::string column;
  double value = 0;
};

class VDPATTERN_EXPORT CVdSectionCheck {
 public:
  static constexpr double kDefaultTolerance = 0.01;  // 1 %: two of the European channel tables miss 0.5 %

  // The engine's name of a property column ("Wy" -> "Wel,y"), or empty for a column that is none.
  static std::string PropertyOf(const std::string& column);
  // The property column names, in the engine's order, one spelling each (A, Iy, Iz, Wely, Welz, Wply, Wplz, i_y,
  // i_z, It, Iw, Iu, Iv, G): those a family that lacks them is given. Radii are i_y and i_z, since column names
  // ignore case and iy could not stand beside Iy.
  static std::vector<std::string> PropertyColumns();
  // The unit a property column is given when it is added to a row of `cells`: the unit another property of
  // the same kind already has there (cm4 for Iz when Iy is in cm4), else the engine's (mm2, mm4, mm3, mm, mm6,
  // kg/m). Empty for a column that is no property.
  static std::string PropertyUnit(const std::string& column, const std::vector<VdSectionCell>& cells);

  // Compares the stored properties of a row of `shape` with those computed from its dimensions. `tolerance`
  // is a fraction (0.01 is 1 %); a negative or non-finite one is taken as 0.
  static VdSectionRowCheck CheckRow(const std::string& shape, const std::vector<VdSectionCell>& cells,
                                    double tolerance = kDefaultTolerance);

  // The missing (kMissing) property cells of a row, computed from its dimensions in their columns' units.
  // False, with `why`, when the row cannot be computed (an unknown shape, a dimension that is no number or has
  // no unit, dimensions CVdSection refuses) or a missing property's column has no unit it can be given in.
  // Properties the shape does not have (Iw of an angle) stay missing.
  static bool FillRow(const std::string& shape, const std::vector<VdSectionCell>& cells,
                      std::vector<VdSectionFill>& fills, std::string& why);
};
