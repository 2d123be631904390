#pragma once
// Cross-section properties of standard steel profiles, computed from their dimensions (an extension: no catalog
// and no database is involved).
//
// CVdSection::Compute takes a shape code and its dimensions in millimetres and returns the section's properties
// in millimetre units. Everything but the torsion and warping constants is computed exactly from the outline:
// the outline is a closed path of straight edges and circular arcs (root, toe and corner radii, a tube's
// circle), and area, first and second moments follow from Green's theorem over it, each arc adding or removing
// its circular segment (sector minus triangle) in closed form. Plastic moduli take the equal-area axis, found
// by bisection, and clip the same path at it exactly (arcs are split where the axis crosses them).
//
// Shapes (code: dimensions; a radius left out is 0 unless said otherwise):
//   I   I and H sections with parallel flanges: h, b, tw, tf, r (root radius).
//   IT  I sections with tapered flanges: h, b, tw, tf, r1 (root; r stands for it), r2 (toe, default 0.6 r1),
//       slope (default 0.14) and u, the distance from the flange tip at which tf is measured: default b/4, as
//       the European tables give it; the American tables give the average thickness, at u = (b - tw)/4.
//   U   channels with parallel flanges: h, b, tw, tf, r.
//   UT  channels with tapered flanges: h, b, tw, tf, r1 (r stands for it), r2 (default r1/2), slope and u, the
//       distance from the tip at which tf is measured. Defaults follow the European tables: slope 0.08 and
//       u = b/2 up to h = 300, slope 0.05 and u = (b - tw)/2 above.
//   L   angles, equal or unequal: h (leg along z), b (leg along y), t, r1 (root), r2 (toe, default r1/2, the
//       ratio of the European tables). tw or tf stand for t and r for r1, as sample catalogs spell them.
//   RHS rectangular and square hollow sections: h, b, t, ro (outer corner radius), ri (inner corner radius).
//   CHS circular hollow sections: d, t.
//
// Axes: y is horizontal (b runs along it), z vertical (h runs along it); Iy is about the y axis. Channels have
// their web on the left, angles their heel at the lower left. The centroid (yc, zc) is measured from the left
// and lower faces. The torsion constant It uses the textbook approximations with the fillet at each junction
// (El Darwish and Johnston, "Torsion of structural shapes", J. Struct. Div. ASCE 91, 1965, for I, channel and
// angle; Bredt's thin-walled tube with the corner allowance of the European hollow-section tables for RHS);
// Iw is the thin-walled warping constant (Iz (h - tf)^2 / 4 for I, the channel formula of Timoshenko and Gere,
// "Theory of Elastic Stability", with b and h measured to the wall middle lines) and is not given for angles and
// tubes, whose warping is negligible. Both usually lie within a few per cent of published tables.
//
// Stateless and thread-safe. Compute throws std::invalid_argument (a message naming the dimension) for an
// unknown shape, a missing or unknown dimension, a value that is not a finite positive number where one is
// needed, or dimensions that do not make a section (radii too large, walls thicker than the section).
// No pointers are handed out or taken.

#include <map>
#include <string>
#include <vector>

#include "vdpattern/VdPatternExport.h"

struct VdSectionValue {
  std::string name;  // "A", "Iy", "Wel,y", ... (see CVdSection::Compute)
  double value;
  std::string unit;  // a unit text CVdUnitManager reads: "mm2", "mm4", "kg/m", "rad"
};

struct VDPATTERN_EXPORT VdSectionProperties {
  double A = 0;               // mm²
  double Iy = 0, Iz = 0;      // mm⁴, about the centroidal axes parallel to y and z
  double Iyz = 0;             // mm⁴, product of area (0 for shapes symmetric about an axis)
  double Wely = 0, Welz = 0;  // mm³, to the extreme fibre farthest from the axis
  double Wply = 0, Wplz = 0;  // mm³
  double iy = 0, iz = 0;      // mm
  double It = 0;              // mm⁴
  double Iw = 0;              // mm⁶; 0 where hasIw is false
  bool hasIw = false;
  double yc = 0, zc = 0;  // mm, from the left and lower faces
  double Iu = 0, Iv = 0;  // mm⁴, principal axes (u the major one)
  double alpha = 0;       // rad, angle from y to u, counter-clockwise positive
  double G = 0;           // kg/m at the density asked for
  // The results by name with their units, in a fixed order: A, Iy, Iz, Wel,y, Wel,z, Wpl,y, Wpl,z, iy, iz, It,
  // Iw (I and channels), yc, zc, G, and for angles Iu, Iv, alpha.
  std::vector<VdSectionValue> List() const;
  bool isAngle = false;
};

class VDPATTERN_EXPORT CVdSection {
 public:
  static constexpr double kSteelDensity = 7850.0;  // kg/m³

  // `shape` is one of the codes above (exact case); `dims` are in millimetres (slope as a ratio).
  // `density` in kg/m³ gives G.
  static VdSectionProperties Compute(const std::string& shape, const std::map<std::string, double>& dims,
                                     double density = kSteelDensity);

  // Whether `shape` is a code Compute knows.
  static bool IsShape(const std::string& shape);
  // The codes Compute knows, in the order of the list above.
  static std::vector<std::string> Shapes();
  // The dimensions `shape` reads, aliases included (empty for an unknown shape).
  static std::vector<std::string> Dimensions(const std::string& shape);
};
