// compute: fills the section properties a family lacks from its dimensions, in one transaction.
//
// The family says its shape in its "Shape" column, as verify reads it; CVdSectionCheck computes each missing
// (null) property cell in its column's unit. With --add-columns the property columns the family has none of are
// added first, as DOUBLE columns with the unit the family already uses for that kind (cm4 beside Iy in cm4),
// or the engine's; only those the family's shapes have (Iw for I sections and channels, Iu and Iv for angles).
// They are added by the library (CVdCatalogSchema::AddColumnsInGroup), on a file or a server, in the same write
// group and the same history set as the values. A row that cannot be computed names itself and nothing is written:
// neither the columns nor the values.

#include <cstdio>
#include <set>
#include <vdpattern/catalog/VdCatalogSchema.h>

#include "Tool.h"

namespace vdcatalog {
namespace {

// The engine's properties that a section of `shape` has.
std::set<std::string> PropertiesOf(const std::string& shape) {
  VdSectionProperties kinds;
  kinds.hasIw = shape == "I" || shape == "IT" || shape == "U" || shape == "UT";
  kinds.isAngle = shape == "L";
  std::set<std::string> names;
  for (const VdSectionValue& v : kinds.List()) names.insert(v.name);
  return names;
}

}  // namespace

int Compute(const std::string& file, const std::string& family, bool addColumns) {
  Session session;
  CVdPatternCatalog* catalog = nullptr;
  std::vector<Column> columns;
  if (const int status = OpenFamily(session, file, family, catalog, columns); status != kOk) return status;
  if (!catalog->CanWrite()) {
    Error(Located(file) + " is read-only");
    return kError;
  }
  const int shapeColumn = ShapeColumn(columns);
  if (shapeColumn < 0) {
    Error("family " + Visible(family) + " has no Shape column to say which section it is");
    return kError;
  }
  catalog->SetHasUnits(false);  // values are written in the columns' units, as computed
  CVdDatabase* db = session.Database(catalog);
  WriteScope scope(db);  // from the first read to the last write: all or nothing
  std::vector<Row> rows;
  if (!ReadRows(db, family, columns, "", "", rows)) return session.Finish(kError);
  const auto units = FamilyUnitsOf(*catalog, family);
  // The columns, their change and the values are one set of the history.
  catalog->BeginHistoryBatch();
  struct Batch {
    CVdPatternCatalog* catalog;
    bool open = true;
    ~Batch() {
      if (open) catalog->EndHistoryBatch(false);
    }
  } batch{catalog};
  std::vector<VdSectionCell> added;  // the new columns, missing in every row
  if (addColumns) {
    std::set<std::string> wanted, present;
    for (const Row& row : rows)
      for (const std::string& p : PropertiesOf(Text(&row.values[shapeColumn]))) wanted.insert(p);
    for (const Column& c : columns) present.insert(CVdSectionCheck::PropertyOf(VdToUtf8(c.name)));
    const std::vector<VdSectionCell> known =
        rows.empty() ? std::vector<VdSectionCell>() : SectionCells(columns, rows.front(), units);
    std::vector<CVdCatalogSchema::Column> schema;
    for (const std::string& column : CVdSectionCheck::PropertyColumns()) {
      const std::string property = CVdSectionCheck::PropertyOf(column);
      if (!wanted.count(property) || present.count(property)) continue;
      if (FindColumn(columns, Wide(column).str())) {  // "Wely" spelt in another case: not ours to retype
        Error("family " + Visible(family) + " has a column " + column + " in another spelling; nothing was added");
        return kError;
      }
      VdSectionCell cell;
      cell.column = column;
      cell.unit = CVdSectionCheck::PropertyUnit(column, known);
      schema.push_back({Wide(column), L"DOUBLE", Wide(cell.unit)});
      added.push_back(cell);
    }
    CString error;
    if (!schema.empty() && !CVdCatalogSchema::AddColumnsInGroup(*catalog, Wide(family), schema, error)) {
      if (!session.Failed()) Error("the columns were refused: " + Utf8(error) + " Nothing was written.");
      return kError;
    }
  }
  long values = 0, filledRows = 0;
  std::vector<std::string> refused;
  for (const Row& row : rows) {
    std::vector<VdSectionCell> cells = SectionCells(columns, row, units);
    cells.insert(cells.end(), added.begin(), added.end());
    std::vector<VdSectionFill> fills;
    std::string why;
    if (!CVdSectionCheck::FillRow(Text(&row.values[shapeColumn]), cells, fills, why)) {
      refused.push_back(row.name + ": " + why);
      continue;
    }
    if (fills.empty() || !refused.empty()) continue;
    // Only the filled columns are written: the factory leaves the others as they are.
    CVdPattern pattern(1, Wide(row.name), Wide(family));
    for (const VdSectionFill& f : fills)
      pattern.SetValue(0, Folded(Wide(f.column).str()), new CVdPatternValue(f.value));
    if (!catalog->InsertPattern(&pattern, false)) {
      if (!session.Failed()) Error("the catalog refused the values of " + Visible(row.name) + "; nothing was written");
      return kError;
    }
    values += long(fills.size());
    ++filledRows;
  }
  if (!refused.empty()) {
    for (const std::string& r : refused) Error(Visible(r));
    Error(std::to_string(refused.size()) + " rows of " + Visible(family) + " cannot be computed; nothing was written");
    return kError;
  }
  if (session.Failed()) return kError;
  batch.open = false;
  if (catalog->IsWriteGroupLost() || !catalog->EndHistoryBatch(true)) {
    if (!session.Failed()) Error("nothing was written: the history of the values could not be written");
    return kError;
  }
  scope.Keep();
  std::string columnsAdded;
  for (const VdSectionCell& c : added)
    columnsAdded += (columnsAdded.empty() ? "" : ", ") + c.column + " (" + c.unit + ")";
  std::printf("filled %s in %ld of %s of %s%s\n", Counted(values, "value").c_str(), filledRows,
              Counted(static_cast<long long>(rows.size()), "row").c_str(), Visible(family).c_str(),
              columnsAdded.empty() ? "" : ("; added columns " + columnsAdded).c_str());
  return session.Finish(kOk);
}

}  // namespace vdcatalog
