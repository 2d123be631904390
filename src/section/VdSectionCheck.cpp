#include "vdpattern/section/VdSectionCheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "vdpattern/section/VdSection.h"
#include "vdpattern/toolkit/Utf8.h"
#include "vdpattern/toolkit/VdUnit.h"

namespace {

// The property column names a row may use, and the engine's name for each.
const std::map<std::string, std::string>& PropertyNames() {
  static const std::map<std::string, std::string> names{
      {"A", "A"},         {"Iy", "Iy"},      {"Iz", "Iz"},       {"Wy", "Wel,y"},    {"Wely", "Wel,y"},
      {"Wel,y", "Wel,y"}, {"Wz", "Wel,z"},   {"Welz", "Wel,z"},  {"Wel,z", "Wel,z"}, {"Wply", "Wpl,y"},
      {"Wpl,y", "Wpl,y"}, {"Wplz", "Wpl,z"}, {"Wpl,z", "Wpl,z"}, {"iy", "iy"},       {"iz", "iz"},
      {"i_y", "iy"},      {"i_z", "iz"},     {"It", "It"},       {"Iw", "Iw"},       {"Iu", "Iu"},
      {"Iv", "Iv"},       {"G", "G"},
  };
  return names;
}

// The engine's unit of each of its results, and so the kind of each property.
std::string EngineUnit(const std::string& engineName) {
  static const std::map<std::string, std::string> units = [] {
    std::map<std::string, std::string> m;
    VdSectionProperties any;
    any.hasIw = any.isAngle = true;
    for (const VdSectionValue& v : any.List()) m[v.name] = v.unit;
    return m;
  }();
  const auto it = units.find(engineName);
  return it == units.end() ? std::string() : it->second;
}

// How many SI units one value in `unitText` is.
bool SiFactor(const std::string& unitText, double& factor) {
  CVdUnit unit;
  if (unitText.empty() || CVdUnitManager::UnitFromString(CString(VdFromUtf8(unitText)), unit, 1.0) != 0) return false;
  factor = 1.0 / unit.GetCoef();
  return std::isfinite(factor) && factor > 0;
}

// Half a unit in the last decimal place the stored value shows, as its shortest text gives it.
double LastDigit(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  const std::string s = text;
  if (s.find('e') != std::string::npos) return 0;
  const auto dot = s.find('.');
  const int decimals = dot == std::string::npos ? 0 : int(s.size() - dot - 1);
  int trailingZeros = 0;  // "1000" shows only its leading digits as significant
  if (dot == std::string::npos)
    for (auto it = s.rbegin(); it != s.rend() && *it == '0'; ++it) ++trailingZeros;
  return 0.5 * std::pow(10.0, trailingZeros - decimals);
}

// A stored value far from the computed one by a power of ten: a unit slip.
std::string UnitCause(double stored, double computed, double tolerance) {
  if (stored == 0 || computed == 0) return "";
  const double ratio = stored / computed;
  for (double k : {10.0, 100.0, 1000.0, 1e4, 1e6}) {
    for (double r : {k, 1 / k}) {
      if (std::fabs(ratio / r - 1) <= std::max(tolerance, 0.02)) {
        char text[96];
        std::snprintf(text, sizeof text, "stored %s%g times the computed value: a unit off by that factor",
                      r > 1 ? "" : "1/", r > 1 ? r : 1 / r);
        return text;
      }
    }
  }
  return "";
}

// A row split into what the engine reads and the properties it stores.
struct Parsed {
  std::map<std::string, double> dims;                                    // in millimetres
  std::vector<std::pair<const VdSectionCell*, std::string>> properties;  // cell, engine name
  std::vector<VdSectionFinding> problems;                                // cells that cannot be used
};

Parsed Parse(const std::string& shape, const std::vector<VdSectionCell>& cells, bool withMissing) {
  Parsed p;
  const std::vector<std::string> known = CVdSection::Dimensions(shape);
  for (const VdSectionCell& cell : cells) {
    const bool isDimension = std::find(known.begin(), known.end(), cell.column) != known.end();
    const std::string property = CVdSectionCheck::PropertyOf(cell.column);
    if (!isDimension && property.empty()) continue;
    if (cell.kind == VdSectionCell::kMissing) {
      if (!isDimension && withMissing) p.properties.emplace_back(&cell, property);
      continue;
    }
    auto problem = [&](const std::string& why) {
      VdSectionFinding f;
      f.property = cell.column, f.cause = why;
      p.problems.push_back(f);
    };
    if (cell.kind != VdSectionCell::kNumber || !std::isfinite(cell.value)) {
      problem("not a number");
      continue;
    }
    double factor = 1;
    if (cell.column != "slope" && !SiFactor(cell.unit, factor)) {
      problem("the column has no unit, so its values cannot be compared");
      continue;
    }
    if (isDimension)
      p.dims[cell.column] = cell.column == "slope" ? cell.value : cell.value * factor * 1000;
    else if (!withMissing)
      p.properties.emplace_back(&cell, property);
  }
  return p;
}

bool Compute(const std::string& shape, const std::map<std::string, double>& dims,
             std::map<std::string, VdSectionValue>& results, std::string& why) {
  try {
    for (const VdSectionValue& r : CVdSection::Compute(shape, dims).List()) results[r.name] = r;
    return true;
  } catch (const std::invalid_argument& e) {
    why = e.what();
    return false;
  }
}

// An engine result in the unit of a column whose SI factor is `columnFactor`.
double InColumnUnit(const VdSectionValue& result, double columnFactor) {
  double engineFactor = 1;
  SiFactor(result.unit, engineFactor);
  return result.value * engineFactor / columnFactor;
}

// The row's dimensions with tw and tf exchanged, read as a table that exchanged them was read. Parallel
// flanges need nothing more. A tapered flange's tf is measured at u from the tip, and where u is the middle of
// the outstand (the American tables' average thickness) it is measured from the web, so it moves with tw; and
// where the tables give the point at which the root fillet ends on the web (k) rather than its radius, the
// radius was derived from tf: a second reading keeps that point and fits the radius to it.
std::vector<std::map<std::string, double>> Exchanged(const std::string& shape,
                                                     const std::map<std::string, double>& dims) {
  const auto tw = dims.find("tw"), tf = dims.find("tf");
  if (shape == "L" || tw == dims.end() || tf == dims.end() || tw->second == tf->second) return {};
  std::map<std::string, double> other = dims;
  std::swap(other["tw"], other["tf"]);
  const auto b = dims.find("b"), u = dims.find("u"), slope = dims.find("slope");
  if ((shape != "IT" && shape != "UT") || b == dims.end() || u == dims.end() || slope == dims.end()) return {other};
  const double parts = shape == "IT" ? 4 : 2;  // the middle of (b - tw)/2 beside an I web, of b - tw beside a U's
  const double middle = (b->second - tw->second) / parts;
  if (std::fabs(u->second - middle) <= 1e-6 * b->second) other["u"] = (b->second - other["tw"]) / parts;
  const char* radius = dims.count("r1") ? "r1" : dims.count("r") ? "r" : nullptr;
  if (!radius) return {other};
  // The root thickness is tf + slope (outstand - u); the fillet ends r tan(45° - atan(slope)/2) past it.
  const auto root = [&](const std::map<std::string, double>& d) {
    return d.at("tf") + d.at("slope") * ((d.at("b") - d.at("tw")) * 2 / parts - d.at("u"));
  };
  const double along = std::tan(0.78539816339744830962 - std::atan(slope->second) / 2);
  const double k = root(dims) + dims.at(radius) * along;
  std::map<std::string, double> fitted = other;
  fitted[radius] = (k - root(other)) / along;
  if (!(fitted[radius] > 0)) return {other};
  return {other, fitted};
}

std::string ShapeProblem(const std::string& shape) {
  std::string codes;
  for (const std::string& s : CVdSection::Shapes()) codes += (codes.empty() ? "" : ", ") + s;
  return "\"" + shape + "\" is not a shape code (" + codes + ")";
}

}  // namespace

std::string CVdSectionCheck::PropertyOf(const std::string& column) {
  const auto it = PropertyNames().find(column);
  return it == PropertyNames().end() ? std::string() : it->second;
}

std::vector<std::string> CVdSectionCheck::PropertyColumns() {
  // i_y and i_z, as a column of iy could not stand beside one of Iy: column names ignore case.
  return {"A", "Iy", "Iz", "Wely", "Welz", "Wply", "Wplz", "i_y", "i_z", "It", "Iw", "Iu", "Iv", "G"};
}

std::string CVdSectionCheck::PropertyUnit(const std::string& column, const std::vector<VdSectionCell>& cells) {
  const std::string property = PropertyOf(column);
  if (property.empty()) return "";
  const std::string kind = EngineUnit(property);
  double f;
  for (const VdSectionCell& cell : cells) {
    const std::string other = PropertyOf(cell.column);
    if (!other.empty() && EngineUnit(other) == kind && SiFactor(cell.unit, f)) return cell.unit;
  }
  return kind;
}

VdSectionRowCheck CVdSectionCheck::CheckRow(const std::string& shape, const std::vector<VdSectionCell>& cells,
                                            double tolerance) {
  if (!(tolerance >= 0) || !std::isfinite(tolerance)) tolerance = 0;
  VdSectionRowCheck check;
  if (!CVdSection::IsShape(shape)) {
    check.findings.push_back({"Shape", false, 0, 0, 0, ShapeProblem(shape)});
    return check;
  }
  Parsed row = Parse(shape, cells, false);
  if (!row.problems.empty()) {
    check.findings = std::move(row.problems);
    return check;
  }
  std::map<std::string, VdSectionValue> results;
  std::string why;
  if (!Compute(shape, row.dims, results, why)) {
    check.findings.push_back({"dimensions", false, 0, 0, 0, why});
    return check;
  }
  check.checked = true;
  // The same row with tw and tf exchanged, to recognise a swap.
  std::vector<std::map<std::string, VdSectionValue>> swapped;
  for (const std::map<std::string, double>& other : Exchanged(shape, row.dims)) {
    std::map<std::string, VdSectionValue> results;
    if (Compute(shape, other, results, why)) swapped.push_back(std::move(results));
  }
  std::vector<bool> swapHolds(swapped.size(), true);
  for (const auto& [cell, engineName] : row.properties) {
    const auto r = results.find(engineName);
    if (r == results.end()) continue;  // Iw of an angle, Iu of an I section: nothing to compare
    double factor = 1;
    SiFactor(cell->unit, factor);
    const double stored = cell->value;
    auto holds = [&](double c) {
      return std::fabs(c - stored) <= tolerance * std::fabs(stored) || std::fabs(c - stored) <= LastDigit(stored);
    };
    const double value = InColumnUnit(r->second, factor);
    if (holds(value)) continue;
    VdSectionFinding f;
    f.property = cell->column, f.hasValues = true, f.stored = stored, f.computed = value;
    f.differencePct = stored != 0 ? 100 * (value - stored) / std::fabs(stored) : 0;
    f.cause = UnitCause(stored, value, tolerance);
    for (std::size_t i = 0; i < swapped.size(); ++i) {
      const auto s = swapped[i].find(engineName);
      if (s == swapped[i].end() || !holds(InColumnUnit(s->second, factor))) swapHolds[i] = false;
    }
    check.findings.push_back(f);
  }
  if (std::find(swapHolds.begin(), swapHolds.end(), true) != swapHolds.end())
    for (VdSectionFinding& f : check.findings)
      if (f.cause.empty()) f.cause = "tw and tf swapped: the stored properties fit them exchanged";
  return check;
}

bool CVdSectionCheck::FillRow(const std::string& shape, const std::vector<VdSectionCell>& cells,
                              std::vector<VdSectionFill>& fills, std::string& why) {
  fills.clear();
  if (!CVdSection::IsShape(shape)) {
    why = ShapeProblem(shape);
    return false;
  }
  Parsed row = Parse(shape, cells, true);
  if (row.properties.empty()) return true;  // nothing to fill, whatever the rest holds
  for (const VdSectionFinding& p : row.problems) {
    if (PropertyOf(p.property).empty()) {  // a property stored badly is not ours to fill; a dimension is needed
      why = p.property + ": " + p.cause;
      return false;
    }
  }
  std::map<std::string, VdSectionValue> results;
  if (!Compute(shape, row.dims, results, why)) return false;
  for (const auto& [cell, engineName] : row.properties) {
    const auto r = results.find(engineName);
    if (r == results.end()) continue;
    double factor = 1;
    if (!SiFactor(cell->unit, factor)) {
      why = cell->column + ": the column has no unit to give its value in";
      return false;
    }
    fills.push_back({cell->column, InColumnUnit(r->second, factor)});
  }
  return true;
}
