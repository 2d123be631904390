// verify: recomputes the section properties a family stores from its stored dimensions and lists what disagrees.
//
// A family says its shape in a text column "Shape" holding a code of CVdSection (I, IT, U, UT, L, RHS, CHS), read
// row by row; a family without one is skipped with a word. What a row's cells mean, and when a value holds, is
// CVdSectionCheck's: the tool reads the rows and the columns' units and prints the findings.

#include <cmath>
#include <cstdio>
#include <set>

#include "Tool.h"

namespace vdcatalog {
namespace {

std::string Number(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

}  // namespace

int ShapeColumn(const std::vector<Column>& columns) {
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (VdCompareNoCase(columns[i].name, L"Shape") == 0) return int(i);
  return -1;
}

CVdPatternCatalog::FamilyUnits FamilyUnitsOf(CVdPatternCatalog& catalog, const std::string& family) {
  std::wstring upper = VdFromUtf8(family);
  VdFoldUpper(upper);
  return catalog.GetUnitsMap(upper);
}

std::vector<VdSectionCell> SectionCells(const std::vector<Column>& columns, const Row& row,
                                        const CVdPatternCatalog::FamilyUnits& units) {
  std::vector<VdSectionCell> cells;
  for (std::size_t i = 1; i < columns.size() && i < row.values.size(); ++i) {
    VdSectionCell cell;
    cell.column = VdToUtf8(columns[i].name);
    const VARIANT& v = row.values[i];
    switch (v.vt) {
      case VT_NULL:
      case VT_EMPTY:
        break;
      case VT_R8:
      case VT_R4:
      case VT_I8:
      case VT_I4:
      case VT_I2:
        cell.kind = VdSectionCell::kNumber;
        cell.value = VariantToDouble(&v);
        break;
      default:
        cell.kind = VdSectionCell::kOther;
    }
    const auto u = units.find(Folded(columns[i].name));
    if (u != units.end()) cell.unit = Utf8(u->second.unit.GetText());
    cells.push_back(cell);
  }
  return cells;
}

VdSectionRowCheck CheckRow(const std::vector<Column>& columns, int shapeColumn, const Row& row,
                           const CVdPatternCatalog::FamilyUnits& units, double tolerance) {
  return CVdSectionCheck::CheckRow(Text(&row.values[shapeColumn]), SectionCells(columns, row, units), tolerance);
}

json FindingJson(const VdSectionFinding& f) {
  json j{{"property", f.property}, {"cause", f.cause}};
  if (f.hasValues) j["stored"] = f.stored, j["computed"] = f.computed, j["difference_pct"] = f.differencePct;
  return j;
}

json SectionCheckJson(CVdPatternCatalog* catalog, const std::string& family, const std::vector<Column>& columns,
                      const Row& row) {
  json findings = json::array(), provenance = json::object();
  for (std::size_t i = 0; i < columns.size() && i < row.values.size(); ++i)
    for (const wchar_t* name : {L"Shape", L"Standard"})
      if (VdCompareNoCase(columns[i].name, name) == 0 && row.values[i].vt != VT_NULL && row.values[i].vt != VT_EMPTY)
        provenance[VdToUtf8(name)] = Text(&row.values[i]);
  const int shape = ShapeColumn(columns);
  if (shape >= 0)
    for (const VdSectionFinding& f :
         CheckRow(columns, shape, row, FamilyUnitsOf(*catalog, family), CVdSectionCheck::kDefaultTolerance).findings)
      findings.push_back(FindingJson(f));
  return {{"findings", findings}, {"provenance", provenance}};
}

int Verify(const std::string& file, const std::string& onlyFamily, double tolerancePct, const Options& options) {
  if (!(tolerancePct >= 0) || !std::isfinite(tolerancePct)) {
    Error("--tolerance must be a percentage of at least 0");
    return kError;
  }
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
  json jsonFamilies = json::array();
  Table table({"Family", "Name", "Property", "Stored", "Computed", "Difference", "Likely cause"});
  long checkedRows = 0, outsideRows = 0, checkedFamilies = 0;
  for (const std::wstring& wfamily : families) {
    const std::string family = VdToUtf8(wfamily);
    json jsonFamily{{"family", family}};
    const std::vector<Column> columns = FamilyColumns(session, catalog, family);
    if (session.Failed()) return session.Finish(kError);
    const int shapeColumn = ShapeColumn(columns);
    if (shapeColumn < 0) {
      const std::string why = "no Shape column says which section it is";
      if (!options.json) std::printf("skipped %s: %s\n", Visible(family).c_str(), why.c_str());
      jsonFamily["skipped"] = why;
      jsonFamilies.push_back(jsonFamily);
      continue;
    }
    const auto units = FamilyUnitsOf(*catalog, family);
    std::vector<Row> rows;
    if (!ReadRows(session.Database(catalog), family, columns, "", "", rows)) return session.Finish(kError);
    ++checkedFamilies;
    json jsonFindings = json::array();
    long checked = 0;
    for (const Row& row : rows) {
      const VdSectionRowCheck check = CheckRow(columns, shapeColumn, row, units, tolerancePct / 100);
      checked += check.checked;
      outsideRows += !check.findings.empty();
      for (const VdSectionFinding& f : check.findings) {
        json j = FindingJson(f);
        j["name"] = row.name;
        jsonFindings.push_back(j);
        char pct[32];
        std::snprintf(pct, sizeof pct, "%+.2f %%", f.differencePct);
        if (f.hasValues)
          table.Add({family, row.name, f.property, Number(f.stored), Number(f.computed), pct, f.cause});
        else
          table.Add({family, row.name, f.property, "", "", "", f.cause});
      }
    }
    checkedRows += checked;
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
    std::printf("%s of %s checked: %ld outside %g %%\n", Counted(checkedRows, "row").c_str(),
                Counted(checkedFamilies, "family", "families").c_str(), outsideRows, tolerancePct);
  }
  return session.Finish(outsideRows > 0 ? kNotFound : kOk);
}

}  // namespace vdcatalog
