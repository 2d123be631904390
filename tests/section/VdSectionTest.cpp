#include "vdpattern/section/VdSection.h"
#include "vdpattern/section/VdSectionCheck.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/SectionPolygon.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

using vdtest::Arc;
using vdtest::P;
using vdtest::Poly;
using vdtest::PolygonProps;
using vdtest::Props;
using vdtest::RoundedRect;

std::vector<Poly> IOutline(double h, double b, double tw, double tf, double r) {
  Poly p{{-b / 2, -h / 2}, {b / 2, -h / 2}, {b / 2, -h / 2 + tf}};
  Arc(p, tw / 2 + r, -h / 2 + tf + r, r, 270, 180);
  Arc(p, tw / 2 + r, h / 2 - tf - r, r, 180, 90);
  p.insert(p.end(), {{b / 2, h / 2 - tf}, {b / 2, h / 2}, {-b / 2, h / 2}, {-b / 2, h / 2 - tf}});
  Arc(p, -tw / 2 - r, h / 2 - tf - r, r, 90, 0);
  Arc(p, -tw / 2 - r, -h / 2 + tf + r, r, 0, -90);
  p.push_back({-b / 2, -h / 2 + tf});
  return {p};
}

std::vector<Poly> UOutline(double h, double b, double tw, double tf, double r) {
  Poly p{{0, -h / 2}, {b, -h / 2}, {b, -h / 2 + tf}};
  Arc(p, tw + r, -h / 2 + tf + r, r, 270, 180);
  Arc(p, tw + r, h / 2 - tf - r, r, 180, 90);
  p.insert(p.end(), {{b, h / 2 - tf}, {b, h / 2}, {0, h / 2}});
  return {p};
}

std::vector<Poly> LOutline(double h, double b, double t, double r1, double r2) {
  Poly p{{0, 0}, {b, 0}};
  Arc(p, b - r2, t - r2, r2, 0, 90);
  Arc(p, t + r1, t + r1, r1, 270, 180);
  Arc(p, t - r2, h - r2, r2, 0, 90);
  p.push_back({0, h});
  return {p};
}

void ExpectNear(double got, double want, double pct, const std::string& what) {
  EXPECT_LE(std::fabs(got - want), std::fabs(want) * pct / 100) << what << ": " << got << " against " << want;
}

void ExpectMatches(const VdSectionProperties& s, const Props& p, const std::string& what) {
  const double pct = 0.01;  // only the polygon's chords differ
  ExpectNear(s.A, p.A, pct, what + " A");
  ExpectNear(s.Iy, p.Iy, pct, what + " Iy");
  ExpectNear(s.Iz, p.Iz, pct, what + " Iz");
  ExpectNear(s.Wely, p.Wely, pct, what + " Wel,y");
  ExpectNear(s.Welz, p.Welz, pct, what + " Wel,z");
  ExpectNear(s.Wply, p.Wply, pct, what + " Wpl,y");
  ExpectNear(s.Wplz, p.Wplz, pct, what + " Wpl,z");
}

}  // namespace

// Every shape with right-angled fillets against the finely divided polygon: the exact arcs and their clipping
// at the plastic axis (which crosses the fillets of the channel and the angle) must agree with it.
TEST(VdSectionTest, ShapesAgreeWithAFinelyDividedPolygon) {
  struct Case {
    const char* shape;
    std::map<std::string, double> dims;
    std::vector<Poly> outline;
  };
  const std::vector<Case> cases{
      {"I", {{"h", 200}, {"b", 100}, {"tw", 5.6}, {"tf", 8.5}, {"r", 12}}, IOutline(200, 100, 5.6, 8.5, 12)},
      {"I", {{"h", 1138}, {"b", 410}, {"tw", 31}, {"tf", 55}, {"r", 30}}, IOutline(1138, 410, 31, 55, 30)},
      {"U", {{"h", 200}, {"b", 80}, {"tw", 6}, {"tf", 11}, {"r", 13}}, UOutline(200, 80, 6, 11, 13)},
      {"L", {{"h", 120}, {"b", 80}, {"t", 10}, {"r1", 11}, {"r2", 5.5}}, LOutline(120, 80, 10, 11, 5.5)},
      {"L", {{"h", 50}, {"b", 50}, {"t", 5}, {"r1", 7}}, LOutline(50, 50, 5, 7, 3.5)},
      {"RHS",
       {{"h", 200}, {"b", 100}, {"t", 8}, {"ro", 16}, {"ri", 8}},
       {RoundedRect(200, 100, 16, false), RoundedRect(184, 84, 8, true)}},
      {"CHS",
       {{"d", 168.3}, {"t", 6.3}},
       {RoundedRect(168.3, 168.3, 84.15, false), RoundedRect(155.7, 155.7, 77.85, true)}},
  };
  for (const Case& c : cases) {
    const VdSectionProperties s = CVdSection::Compute(c.shape, c.dims);
    ExpectMatches(s, PolygonProps(c.outline), c.shape);
  }
}

// Tapered flanges with tf measured where the tables measure it (a quarter of b from the tip by default, the
// middle of the outstand when u says so) and tube corners by the hollow-section rule (outside 2t, inside t),
// against polygons drawn from the thickness at u and fillets found from offset lines.
TEST(VdSectionTest, TaperedFlangesAndTubeCornersAgreeWithThePolygon) {
  using vdtest::TaperedI;
  using vdtest::TaperedU;
  const double s = 1.0 / 6;
  struct Case {
    const char* what;
    const char* shape;
    std::map<std::string, double> dims;
    std::vector<Poly> outline;
  };
  const std::vector<Case> cases{
      {"S beam, average tf",
       "IT",
       {{"h", 305}, {"b", 133}, {"tw", 11.7}, {"tf", 16.7}, {"r1", 12}, {"r2", 0}, {"slope", s}, {"u", 30.325}},
       TaperedI(305, 133, 11.7, 16.7, s, (133 - 11.7) / 4, 12, 0)},
      {"S beam with toe radii",
       "IT",
       {{"h", 152}, {"b", 85}, {"tw", 5.9}, {"tf", 9.1}, {"r", 7}, {"r2", 3}, {"slope", s}, {"u", 19.775}},
       TaperedI(152, 85, 5.9, 9.1, s, (85 - 5.9) / 4, 7, 3)},
      {"IPN, default u and radii",
       "IT",
       {{"h", 200}, {"b", 90}, {"tw", 7.5}, {"tf", 11.3}, {"r", 7.5}},
       TaperedI(200, 90, 7.5, 11.3, 0.14, 90 / 4.0, 7.5, 4.5)},
      {"C channel, u mid-outstand",
       "UT",
       {{"h", 254}, {"b", 77}, {"tw", 17.1}, {"tf", 11.1}, {"r", 11}, {"r2", 0}, {"slope", s}, {"u", 29.95}},
       TaperedU(254, 77, 17.1, 11.1, s, (77 - 17.1) / 2, 11, 0)},
      {"square tube, 2t and t corners",
       "RHS",
       {{"h", 152.4}, {"b", 152.4}, {"t", 8.84}, {"ro", 17.68}, {"ri", 8.84}},
       {RoundedRect(152.4, 152.4, 17.68, false), RoundedRect(152.4 - 17.68, 152.4 - 17.68, 8.84, true)}},
      {"tube with sharp inner corners",
       "RHS",
       {{"h", 250}, {"b", 150}, {"t", 10}, {"ro", 15}},
       {RoundedRect(250, 150, 15, false), RoundedRect(230, 130, 0, true)}},
  };
  for (const Case& c : cases) ExpectMatches(CVdSection::Compute(c.shape, c.dims), PolygonProps(c.outline), c.what);

  // tf measured nearer the tip thickens each outstand by slope x (b/4 - u) all along; the fillets move with it.
  std::map<std::string, double> dims = cases[0].dims;
  const double mid = CVdSection::Compute("IT", dims).A;
  dims.erase("u");
  EXPECT_NEAR(mid - CVdSection::Compute("IT", dims).A, 2 * s * (133 / 4.0 - 30.325) * (133 - 11.7), 1e-6 * mid);
  dims["u"] = 61;  // beyond the outstand of (133 - 11.7) / 2
  EXPECT_THROW(CVdSection::Compute("IT", dims), std::invalid_argument);
}

// The figures the sample catalog carries, as the published tables round them: every row of every family within
// 0.5 % or the table's last digit, whichever is looser. Two tapered channel figures sit just beyond that (the
// tables' toe radius and slope are not stated per row); they are listed in the data README and held to 1 %.
TEST(VdSectionTest, SampleCatalogFiguresHold) {
  for (const char* file : {"IPE", "HEA", "HEB", "UPN", "L"}) {
    std::ifstream in(std::string(VDPATTERN_SECTIONS_DIR "/") + file + ".csv");
    ASSERT_TRUE(in) << file;
    std::string line;
    std::getline(in, line);
    int rows = 0;
    while (std::getline(in, line)) {
      std::stringstream ss(line);
      std::string name, cell;
      std::getline(ss, name, ',');
      std::vector<std::string> text;
      while (std::getline(ss, cell, ',')) text.push_back(cell);
      ASSERT_EQ(text.size(), 12u) << line;  // h ... G, then the shape
      const std::string shape = text.back();
      std::vector<double> v;
      for (std::size_t k = 0; k < 11; ++k) v.push_back(std::stod(text[k]));
      std::map<std::string, double> dims{{"h", v[0]}, {"b", v[1]}, {"tw", v[2]}, {"tf", v[3]}, {"r", v[4]}};
      const VdSectionProperties s = CVdSection::Compute(shape, dims);
      const double got[] = {s.A / 1e2, s.Iy / 1e4, s.Wely / 1e3, s.Iz / 1e4, s.Welz / 1e3, s.G};
      for (int k = 0; k < 6; ++k) {
        const std::string& t = text[5 + k];
        const auto dot = t.find('.');
        const double lastDigit = dot == std::string::npos ? 1 : std::pow(10.0, -double(t.size() - dot - 1));
        const bool known = (name == "UPN 140" && k == 4) || (name == "UPN 400" && k == 3);
        const double slack = std::max(v[5 + k] * (known ? 0.01 : 0.005), lastDigit * 0.5 + 1e-9);
        EXPECT_LE(std::fabs(got[k] - v[5 + k]), slack) << name << " column " << 5 + k << ": " << got[k];
      }
      ++rows;
    }
    EXPECT_GT(rows, 10) << file;
  }
}

// Published torsion and warping constants of one section per shape, within 3 %, and the principal axes of an
// unequal angle against their closed form.
TEST(VdSectionTest, TorsionWarpingAndPrincipalAxes) {
  const VdSectionProperties ipe =
      CVdSection::Compute("I", {{"h", 200}, {"b", 100}, {"tw", 5.6}, {"tf", 8.5}, {"r", 12}});
  ExpectNear(ipe.It, 6.98e4, 3, "IPE 200 It");
  ExpectNear(ipe.Iw, 12.99e9, 3, "IPE 200 Iw");
  EXPECT_EQ(ipe.Iyz, 0);
  EXPECT_EQ(ipe.alpha, 0);
  const VdSectionProperties chs = CVdSection::Compute("CHS", {{"d", 100}, {"t", 5}});
  ExpectNear(chs.It, 2 * chs.Iy, 1e-6, "CHS It");
  ExpectNear(chs.Wply, (1e6 - 90.0 * 90 * 90) / 6, 1e-6, "CHS Wpl");

  const VdSectionProperties l = CVdSection::Compute("L", {{"h", 120}, {"b", 80}, {"t", 10}, {"r1", 11}, {"r2", 5.5}});
  EXPECT_LT(l.Iyz, 0);  // legs along +y and +z from the heel
  ExpectNear(l.Iu + l.Iv, l.Iy + l.Iz, 1e-9, "invariant");
  ExpectNear(std::tan(2 * l.alpha), 2 * l.Iyz / (l.Iz - l.Iy), 1e-6, "principal angle");
  EXPECT_GT(l.alpha, 0);
  EXPECT_LT(l.alpha, kPi / 4);  // the long leg is vertical, so u leans towards z less than 45 degrees from it
  const VdSectionProperties eq = CVdSection::Compute("L", {{"h", 100}, {"b", 100}, {"t", 10}, {"r1", 12}});
  ExpectNear(eq.alpha, kPi / 4, 1e-9, "equal angle");
  ExpectNear(eq.yc, eq.zc, 1e-9, "equal angle centroid");
}

// Dimensions that make no section, or that the shape does not have, are refused with a reason.
TEST(VdSectionTest, BadDimensionsAreRefused) {
  const std::vector<std::pair<const char*, std::map<std::string, double>>> bad{
      {"I", {{"h", 200}, {"b", 100}, {"tw", 5.6}}},                          // tf missing
      {"I", {{"h", 200}, {"b", 100}, {"tw", 5.6}, {"tf", 120}}},             // flanges overlap
      {"I", {{"h", 200}, {"b", 100}, {"tw", 5.6}, {"tf", 8.5}, {"r", 60}}},  // radius too large
      {"I", {{"h", 200}, {"b", 100}, {"tw", 5.6}, {"tf", 8.5}, {"d", 5}}},   // unknown dimension
      {"I", {{"h", NAN}, {"b", 100}, {"tw", 5.6}, {"tf", 8.5}}},             // not a number
      {"L", {{"h", 50}, {"b", 50}, {"tw", 5}, {"tf", 6}}},                   // two thicknesses
      {"CHS", {{"d", 10}, {"t", 5}}},                                        // no bore
      {"Z", {{"h", 1}}},                                                     // unknown shape
  };
  for (const auto& [shape, dims] : bad) EXPECT_THROW(CVdSection::Compute(shape, dims), std::invalid_argument) << shape;
}

// A row checked and completed in its columns' own units: IPE 200 with A in cm2 and Iy in mm4.
TEST(VdSectionTest, RowsAreCheckedAndFilledInTheirColumnsUnits) {
  using C = VdSectionCell;
  auto number = [](const char* column, double value, const char* unit) { return C{column, C::kNumber, value, unit}; };
  const std::vector<C> dims{number("h", 200, "mm"),  number("b", 10, "cm"), number("tw", 5.6, "mm"),
                            number("tf", 8.5, "mm"), number("r", 12, "mm"), C{"Standard", C::kOther, 0, ""}};
  std::vector<C> row = dims;
  row.push_back(number("A", 28.48, "cm2"));
  row.push_back(number("Iy", 19.43e6, "mm4"));
  EXPECT_TRUE(CVdSectionCheck::CheckRow("I", row).checked);
  EXPECT_TRUE(CVdSectionCheck::CheckRow("I", row).findings.empty());
  row.back().value = 1943;  // cm4 figures under a mm4 label
  const VdSectionRowCheck slip = CVdSectionCheck::CheckRow("I", row);
  ASSERT_EQ(slip.findings.size(), 1u);
  EXPECT_EQ(slip.findings[0].property, "Iy");
  EXPECT_NEAR(slip.findings[0].computed, 19.43e6, 0.01e6);
  EXPECT_NE(slip.findings[0].cause.find("10000"), std::string::npos) << slip.findings[0].cause;

  // Rows that cannot be checked say why, and count as not checked.
  struct Bad {
    const char* shape;
    std::vector<C> cells;
    const char* property;
  };
  const std::vector<Bad> bad{{"Z", dims, "Shape"},
                             {"I", {number("h", 200, ""), number("b", 100, "mm")}, "h"},
                             {"I", {number("h", 200, "mm"), number("b", 100, "mm")}, "dimensions"}};
  for (const Bad& b : bad) {
    const VdSectionRowCheck check = CVdSectionCheck::CheckRow(b.shape, b.cells);
    EXPECT_FALSE(check.checked) << b.property;
    ASSERT_EQ(check.findings.size(), 1u) << b.property;
    EXPECT_EQ(check.findings[0].property, b.property);
    EXPECT_FALSE(check.findings[0].cause.empty());
  }

  // Only the missing properties are filled, each in its column's unit; a new column takes its kind's unit.
  row = dims;
  row.push_back(number("Iy", 1943, "cm4"));
  row.push_back(C{"Iz", C::kMissing, 0, "cm4"});
  row.push_back(C{"Wy", C::kMissing, 0, "mm3"});
  EXPECT_EQ(CVdSectionCheck::PropertyUnit("It", row), "cm4");
  EXPECT_EQ(CVdSectionCheck::PropertyUnit("G", row), "kg/m");
  EXPECT_EQ(CVdSectionCheck::PropertyUnit("h", row), "");
  std::vector<VdSectionFill> fills;
  std::string why;
  ASSERT_TRUE(CVdSectionCheck::FillRow("I", row, fills, why)) << why;
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].column, "Iz");
  EXPECT_NEAR(fills[0].value, 142.4, 0.2);
  EXPECT_EQ(fills[1].column, "Wy");
  EXPECT_NEAR(fills[1].value, 194.3e3, 0.2e3);
  row[0].kind = C::kOther;
  EXPECT_FALSE(CVdSectionCheck::FillRow("I", row, fills, why));
  EXPECT_NE(why.find("h"), std::string::npos);
}
