// verify: recomputes the section properties a family stores from its stored dimensions and lists what disagrees.
//
// A family says its shape in a text column "Shape" holding a code of CVdSection (I, IT, U, UT, L, RHS, CHS), read
// row by row; a family without one is skipped with a word. Dimensions are the columns named as the shape reads
// them; properties are the columns named A, Iy, Iz, Wy or Wely or Wel,y, Wz or Welz or Wel,z, Wply or Wpl,y,
// Wplz or Wpl,z, iy, iz, It, Iw, Iu, Iv and G. Every dimension and property needs a unit: a value is compared in
// its column's unit. A stored value holds when it is within the tolerance of the computed one, or when the two
// agree to the digits stored (tables round small values to two or three digits).

#include <cmath>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "Tool.h"

namespace vdcatalog {
namespace {

// The property column names verify knows, and the engine's name for each.
const std::map<std::string, std::string>& PropertyNames() {
  static const std::map<std::string, std::string> names{
      {"A", "A"},         {"Iy", "Iy"},      {"Iz", "Iz"},       {"Wy", "Wel,y"},    {"Wely", "Wel,y"},
      {"Wel,y", "Wel,y"}, {"Wz", "Wel,z"},   {"Welz", "Wel,z"},  {"Wel,z", "Wel,z"}, {"Wply", "Wpl,y"},
      {"Wpl,y", "Wpl,y"}, {"Wplz", "Wpl,z"}, {"Wpl,z", "Wpl,z"}, {"iy", "iy"},       {"iz", "iz"},
      {"It", "It"},       {"Iw", "Iw"},      {"Iu", "Iu"},       {"Iv", "Iv"},       {"G", "G"},
  };
  return names;
}

// How many of a unit's SI units one stored value is: 1/k (the factor for a host in metres).
bool SiFactor(const CString& unitText, double& factor) {
  CVdUnit unit;
  if (unitText.IsEmpty() || CVdUnitManager::UnitFromString(unitText, unit, 1.0) != 0) return false;
  factor = 1.0 / unit.GetCoef();
  return std::isfinite(factor) && factor > 0;
}

// A stored number as a double; false for a value of any other type.
bool ToDouble(const VARIANT& v, double& out) {
  switch (v.vt) {
    case VT_R8:
      out = v.dblVal;
      return true;
    case VT_R4:
      out = v.fltVal;
      return true;
    case VT_I4:
      out = v.lVal;
      return true;
    case VT_I2:
      out = v.iVal;
      return true;
    case VT_I8:
      out = double(v.llVal);
      return true;
    default:
      return false;
  }
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

struct Finding {
  std::string name, property, cause;
  double stored = 0, computed = 0;
  bool hasValues = true;
};

std::string Number(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// The known causes of a stored value far from the computed one: a unit off by a power of ten.
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

}  // namespace

int Verify(const std::string& file, const std::string& onlyFamily, double tolerancePct, const Options& options) {
  if (!(tolerancePct >= 0) || !std::isfinite(tolerancePct)) {
    Error("--tolerance must be a percentage of at least 0");
    return kError;
  }
  const double tolerance = tolerancePct / 100;
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  std::list<std::wstring> families;
  if (!onlyFamily.empty()) {
    if (!HasFamily(*catalog, onlyFamily)) return kNotFound;
    families.push_back(VdFromUtf8(onlyFamily));
  } else {
    if (!catalog->GetFamilies(families)) return session.Finish(kError);
    SortNaturally(families);
  }
  CVdDatabase* db = session.Database(catalog);
  const auto& propertyNames = PropertyNames();
  json jsonFamilies = json::array();
  Table table({"Family", "Name", "Property", "Stored", "Computed", "Difference", "Likely cause"});
  long checkedRows = 0, outsideRows = 0, checkedFamilies = 0;
  for (const std::wstring& wfamily : families) {
    const std::string family = VdToUtf8(wfamily);
    json jsonFamily{{"family", family}};
    auto skip = [&](const std::string& why) {
      if (!options.json) std::printf("skipped %s: %s\n", Visible(family).c_str(), Visible(why).c_str());
      jsonFamily["skipped"] = why;
      jsonFamilies.push_back(jsonFamily);
    };
    const std::vector<Column> columns = FamilyColumns(session, catalog, family);
    if (session.Failed()) return session.Finish(kError);
    int shapeColumn = -1;
    for (std::size_t i = 0; i < columns.size(); ++i)
      if (VdCompareNoCase(columns[i].name, L"Shape") == 0) shapeColumn = int(i);
    if (shapeColumn < 0) {
      skip("no Shape column says which section it is");
      continue;
    }
    std::wstring upper = wfamily;
    VdFoldUpper(upper);
    const auto units = catalog->GetUnitsMap(upper);
    // Column index -> SI factor, for the columns that have a usable unit.
    std::map<std::size_t, double> factor;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const auto u = units.find(Folded(columns[i].name));
      double f;
      if (u != units.end() && SiFactor(u->second.unit.GetText(), f)) factor[i] = f;
    }
    std::vector<Row> rows;
    if (!ReadRows(db, family, columns, "", "", rows)) return session.Finish(kError);
    ++checkedFamilies;
    std::vector<Finding> findings;
    std::set<std::string> badRows;
    long checked = 0;
    for (const Row& row : rows) {
      auto fail = [&](const std::string& property, const std::string& cause) {
        Finding f;
        f.name = row.name, f.property = property, f.cause = cause, f.hasValues = false;
        findings.push_back(f);
        badRows.insert(row.name);
      };
      const std::string shape = Text(&row.values[shapeColumn]);
      if (!CVdSection::IsShape(shape)) {
        fail("Shape", "\"" + shape + "\" is not a shape code (I, IT, U, UT, L, RHS, CHS)");
        continue;
      }
      const std::vector<std::string> known = CVdSection::Dimensions(shape);
      std::map<std::string, double> dims;
      std::vector<std::pair<std::size_t, std::string>> properties;  // column, engine name
      bool usable = true;
      for (std::size_t i = 1; i < columns.size(); ++i) {
        const std::string name = VdToUtf8(columns[i].name);
        const VARIANT& v = row.values[i];
        const bool isDimension = std::find(known.begin(), known.end(), name) != known.end();
        const auto property = propertyNames.find(name);
        if (!isDimension && property == propertyNames.end()) continue;
        if (v.vt == VT_NULL || v.vt == VT_EMPTY) continue;
        double number;
        if (!ToDouble(v, number) || !std::isfinite(number)) {
          fail(name, "not a number");
          usable = false;
          continue;
        }
        if (!factor.count(i) && name != "slope") {
          fail(name, "the column has no unit, so its values cannot be compared");
          usable = false;
          continue;
        }
        if (isDimension) {
          // The engine takes millimetres; a slope is a ratio whatever unit it carries.
          dims[name] = name == "slope" ? number : number * factor[i] * 1000;
        } else {
          properties.emplace_back(i, property->second);
        }
      }
      if (!usable) continue;
      VdSectionProperties computed;
      try {
        computed = CVdSection::Compute(shape, dims);
      } catch (const std::invalid_argument& e) {
        fail("dimensions", e.what());
        continue;
      }
      ++checked;
      std::map<std::string, VdSectionValue> results;
      for (const VdSectionValue& r : computed.List()) results[r.name] = r;
      // The same row with tw and tf exchanged, to recognise a swap.
      std::map<std::string, VdSectionValue> swapped;
      if (dims.count("tw") && dims.count("tf") && dims["tw"] != dims["tf"] && shape != "L") {
        std::map<std::string, double> other = dims;
        std::swap(other["tw"], other["tf"]);
        try {
          for (const VdSectionValue& r : CVdSection::Compute(shape, other).List()) swapped[r.name] = r;
        } catch (const std::invalid_argument&) {
        }
      }
      std::vector<Finding> rowFindings;
      bool allSwapHold = !swapped.empty();
      for (const auto& [i, engineName] : properties) {
        const auto r = results.find(engineName);
        if (r == results.end()) continue;  // Iw of an angle, Iu of an I section: nothing to compare
        double stored = 0;
        ToDouble(row.values[i], stored);
        double engineFactor = 1;
        SiFactor(Wide(r->second.unit), engineFactor);
        const double value = r->second.value * engineFactor / factor[i];  // in the column's unit
        auto holds = [&](double c) {
          return std::fabs(c - stored) <= tolerance * std::fabs(stored) || std::fabs(c - stored) <= LastDigit(stored);
        };
        if (holds(value)) continue;
        Finding f;
        f.name = row.name, f.property = VdToUtf8(columns[i].name), f.stored = stored, f.computed = value;
        f.cause = UnitCause(stored, value, tolerance);
        const auto s = swapped.find(engineName);
        if (s == swapped.end() || !holds(s->second.value * engineFactor / factor[i])) allSwapHold = false;
        rowFindings.push_back(f);
      }
      if (!rowFindings.empty() && allSwapHold)
        for (Finding& f : rowFindings)
          if (f.cause.empty()) f.cause = "tw and tf swapped: the stored properties fit them exchanged";
      if (!rowFindings.empty()) badRows.insert(row.name);
      findings.insert(findings.end(), rowFindings.begin(), rowFindings.end());
    }
    checkedRows += checked;
    outsideRows += long(badRows.size());
    json jsonFindings = json::array();
    for (const Finding& f : findings) {
      json j{{"name", f.name}, {"property", f.property}, {"cause", f.cause}};
      if (f.hasValues) {
        const double diff = f.stored != 0 ? 100 * (f.computed - f.stored) / std::fabs(f.stored) : 0;
        j["stored"] = f.stored, j["computed"] = f.computed, j["difference_pct"] = diff;
        char pct[32];
        std::snprintf(pct, sizeof pct, "%+.2f %%", diff);
        table.Add({family, f.name, f.property, Number(f.stored), Number(f.computed), pct, f.cause});
      } else {
        table.Add({family, f.name, f.property, "", "", "", f.cause});
      }
      jsonFindings.push_back(j);
    }
    jsonFamily["rows"] = long(rows.size());
    jsonFamily["checked"] = checked;
    jsonFamily["outside"] = jsonFindings;
    jsonFamilies.push_back(jsonFamily);
  }
  if (options.json) {
    std::printf("%s\n", json{{"tolerance_pct", tolerancePct},
                             {"families", jsonFamilies},
                             {"rows_checked", checkedRows},
                             {"rows_outside", outsideRows}}
                            .dump(2)
                            .c_str());
  } else {
    if (!table.IsEmpty()) table.Print();
    std::printf("%ld rows of %ld families checked: %ld outside %g %%\n", checkedRows, checkedFamilies, outsideRows,
                tolerancePct);
  }
  return session.Finish(outsideRows > 0 ? kNotFound : kOk);
}

}  // namespace vdcatalog
