// import-shapes: the section tables users already have, read into new families of a catalog in one write.
//
// Three formats are read:
// - aisc: the AISC Shapes Database exported to CSV, US or SI edition. Each Type (W, M, S, HP, C, MC, L, WT,
//   MT, ST, 2L, HSS, PIPE) becomes a family; round HSS rows (those with an OD) a family "HSS_R" of their own.
//   A row is named by AISC_Manual_Label; EDI_Std_Nomenclature, where it is spelt otherwise, becomes an alias.
//   Both editions carry the same column names, so the edition is told by the rows themselves: W / A is the
//   steel's density, about 3.4 (lb/ft)/in² in the US file and 0.00785 (kg/m)/mm² in the SI file, 430 times
//   apart. --units may say it, and is refused when the rows say otherwise.
//   Each row records the Shape its dimensions give, with what the formulas need that the file leaves out,
//   written as computed here (ShapeDimensions) so that verify and compute read them like any dimension:
//   W, M, HP (I) and L: the root radius r (r1 of an angle) = kdes - tf (t), the fillet ending at the design k.
//   S (IT) and C (UT): flanges sloping 1 in 6 (slope 0.1666666667), tf the average thickness, i.e. measured
//     at u = the middle of the outstand from the tip, (bf - tw)/4 for S and (bf - tw)/2 for C; the root radius
//     r is the fillet whose tangent point on the web lies at kdes, r = (kdes - t_root) tan(45° + atan(1/6)/2)
//     with t_root the flange thickness at the web face; the toes are sharp (r2 = 0), since the file gives no
//     toe radius. On the one channel checked against its published figures this is within 1 %.
//   HSS, rectangular and square (RHS): the design wall tdes as t, corners of 2 tdes outside (ro) and tdes
//     inside (ri), the rule the database's properties are computed with. A polar radius of gyration given in
//     the file's ro column is kept there as ro_polar. Round HSS and PIPE are CHS of OD and tdes. The weight
//     W of every HSS and PIPE row is that of the nominal wall tnom, so it is stored as G_nom, not G.
//   MC: no shape; their flange slopes vary by size and the file does not give them (the summary says so).
//   Tees and double angles: no shape.
// - freecad: a profiles.csv of "Category,Name,Class,values..." in millimetres; each category becomes a family.
// - bolts: a .blt collection of the BOLTS part library (YAML; YamlFile.h reads it), whose profile classes
//   (HEA ... IPN, UPE, UAP, UPN, LNP angles, CHS, SHS, RHS, ZNP) hold each a table of designations and
//   dimensions in the units their parameter types say. Each known class becomes a family named by its series;
//   a class of another table is skipped and named in the summary. The designation is written as the catalog
//   writes it (BoltsName) and the table's key becomes its alias where that is spelt otherwise.
//
// Columns take the names and meanings of the shipped section families (h, b, tw, tf, r, A, Iy, Iz, Wy, Wz,
// Wply, Wplz, i_y, i_z, It, Iw, G; the table's x-x axis is the catalog's y-y), and each family gets Shape and
// Standard text columns. A blank or "–" cell is stored as NULL, never 0. Values are stored as the file writes
// them, in the file's units; the SI file's scaled units (10⁶ mm⁴ and the like) are stored as cm⁴, cm³ and cm⁶
// by moving the decimal point of the text, so no digit changes.
//
// Everything is one write group of the catalog: the families, their rows and the aliases are kept together or
// not at all. A family the catalog holds already takes the file's rows when every column the file gives that it
// has is of the same kind and unit (a newer edition adds its new sections to it); a column it lacks (one a newer
// importer gives, or the file's newer edition) is added to it, with its unit, in the same write. A row whose name the
// family holds is refused, with its line, unless --replace says to write it over; one refused row refuses the import. A
// row written over takes the file's values in the columns the file gives (a blank cell becomes NULL) and keeps its
// other columns. An alias the catalog holds already for the same row stays as it is.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <vdpattern/catalog/VdCatalogSchema.h>
#include <vdpattern/catalog/VdPatternNames.h>

#include "CsvFile.h"
#include "Tool.h"
#include "YamlFile.h"

namespace vdcatalog {
namespace {

// ---------------------------------------------------------------- what is read: families to make

struct OutColumn {
  std::string name;
  bool text = false;
  std::string unit;  // empty: none
};

struct OutRow {
  std::string name;
  std::size_t line = 0;
  std::map<std::size_t, std::string> cells;  // column index -> value text; a column absent here is NULL
};

struct OutFamily {
  std::string name;
  bool exists = false;               // in the catalog already: its rows are added to it, not made with it
  std::vector<std::size_t> lacking;  // of an existing family: the columns it is given
  std::vector<OutColumn> columns;    // Name excluded
  std::vector<OutRow> rows;
  std::map<std::wstring, std::size_t> folded;  // column name folded -> index
  std::set<std::wstring> names;                // row names folded

  // The index of column `name`, added when new. False when the name is taken with another type or unit.
  bool Column(const std::string& column, bool text, const std::string& unit, std::size_t& index) {
    const std::wstring key = Folded(Wide(column).str());
    const auto found = folded.find(key);
    if (found != folded.end()) {
      index = found->second;
      return columns[index].text == text && columns[index].unit == unit;
    }
    index = columns.size();
    columns.push_back({column, text, unit});
    folded[key] = index;
    return true;
  }
};

struct Tables {
  std::vector<OutFamily> families;
  std::vector<CVdPatternCatalog::Alias> aliases;
  std::string standard;  // what the Standard column says
  std::string notes;     // said after the import, e.g. the edition found
};

OutFamily& FamilyNamed(Tables& tables, const std::string& name) {
  for (OutFamily& f : tables.families)
    if (f.name == name) return f;
  tables.families.push_back(OutFamily{});
  tables.families.back().name = name;
  return tables.families.back();
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A cell the tables leave empty: nothing, or a dash of any width.
bool IsBlank(const std::string& cell) {
  return cell.empty() || cell == "-" || cell == "\xE2\x80\x93" || cell == "\xE2\x80\x94";
}

bool IsNumber(const std::string& text, double* value = nullptr) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return false;
  if (value) *value = v;
  return true;
}

// `text` (a number) times 10^shift, written exactly: the shift goes into the exponent, so strtod reads the
// decimal value itself, not a product rounded twice.
std::string Shifted(const std::string& text, int shift) {
  if (shift == 0) return text;
  std::string mantissa = text;
  long exponent = 0;
  const std::size_t e = text.find_first_of("eE");
  if (e != std::string::npos) {
    mantissa = text.substr(0, e);
    exponent = std::strtol(text.c_str() + e + 1, nullptr, 10);
  }
  return mantissa + "e" + std::to_string(exponent + shift);
}

// Adds `value` (a text, not blank) to `row` in a new or known column; false with `why` when it does not fit.
bool Put(OutFamily& family, OutRow& row, const std::string& column, bool text, const std::string& unit,
         const std::string& value, std::string& why) {
  std::size_t index = 0;
  if (!family.Column(column, text, unit, index)) {
    why = "column " + column + " of family " + family.name + " is given twice with different units";
    return false;
  }
  row.cells[index] = value;
  return true;
}

bool AddRow(OutFamily& family, OutRow row, const std::string& where, std::string& why) {
  if (row.name.empty()) {
    why = where + "a row without a name";
    return false;
  }
  if (!family.names.insert(Folded(Wide(row.name).str())).second) {
    why = where + Visible(row.name) + " is given twice in family " + family.name;
    return false;
  }
  family.rows.push_back(std::move(row));
  return true;
}

// ---------------------------------------------------------------- the AISC Shapes Database

enum class Quantity { kNone, kLength, kArea, kMass, kInertia, kModulus, kTorsion, kWarping };

struct UnitOf {
  const char* unit;
  int shift;  // powers of ten from the file's value to the stored one
};

UnitOf Unit(Quantity q, bool si) {
  switch (q) {
    case Quantity::kLength:
      return {si ? "mm" : "in", 0};
    case Quantity::kArea:
      return {si ? "mm2" : "in2", 0};
    case Quantity::kMass:
      return {si ? "kg/m" : "lb/ft", 0};
    case Quantity::kInertia:  // 10^6 mm4 = 10^2 cm4
      return {si ? "cm4" : "in4", si ? 2 : 0};
    case Quantity::kModulus:  // 10^3 mm3 = cm3
      return {si ? "cm3" : "in3", 0};
    case Quantity::kTorsion:  // 10^3 mm4 = 10^-1 cm4
      return {si ? "cm4" : "in4", si ? -1 : 0};
    case Quantity::kWarping:  // 10^9 mm6 = 10^3 cm6
      return {si ? "cm6" : "in6", si ? 3 : 0};
    case Quantity::kNone:
      break;
  }
  return {"", 0};
}

struct AiscColumn {
  const char* aisc;  // as the file's header spells it
  const char* name;  // the catalog's column
  Quantity quantity;
};

// The columns whose meaning the catalog names, in the order a family lists them. "b" and "h" of a rectangular
// HSS are its flat widths and are renamed there (FlatName).
const AiscColumn kAiscColumns[] = {
    {"d", "h", Quantity::kLength},         {"Ht", "h", Quantity::kLength},        {"OD", "d", Quantity::kLength},
    {"bf", "b", Quantity::kLength},        {"B", "b", Quantity::kLength},         {"b", "b", Quantity::kLength},
    {"tw", "tw", Quantity::kLength},       {"tf", "tf", Quantity::kLength},       {"t", "t", Quantity::kLength},
    {"tdes", "t", Quantity::kLength},      {"tnom", "tnom", Quantity::kLength},   {"ID", "ID", Quantity::kLength},
    {"kdes", "kdes", Quantity::kLength},   {"kdet", "kdet", Quantity::kLength},   {"k1", "k1", Quantity::kLength},
    {"A", "A", Quantity::kArea},           {"W", "G", Quantity::kMass},           {"Ix", "Iy", Quantity::kInertia},
    {"Sx", "Wy", Quantity::kModulus},      {"Zx", "Wply", Quantity::kModulus},    {"rx", "i_y", Quantity::kLength},
    {"Iy", "Iz", Quantity::kInertia},      {"Sy", "Wz", Quantity::kModulus},      {"Zy", "Wplz", Quantity::kModulus},
    {"ry", "i_z", Quantity::kLength},      {"Iw", "Iu", Quantity::kInertia},      {"Iz", "Iv", Quantity::kInertia},
    {"rz", "i_v", Quantity::kLength},      {"J", "It", Quantity::kTorsion},       {"Cw", "Iw", Quantity::kWarping},
    {"x", "x", Quantity::kLength},         {"y", "y", Quantity::kLength},         {"eo", "eo", Quantity::kLength},
    {"xp", "xp", Quantity::kLength},       {"yp", "yp", Quantity::kLength},       {"ro", "ro", Quantity::kLength},
    {"rts", "rts", Quantity::kLength},     {"ho", "ho", Quantity::kLength},       {"T", "T", Quantity::kLength},
    {"WGi", "WGi", Quantity::kLength},     {"WGo", "WGo", Quantity::kLength},     {"ddet", "ddet", Quantity::kLength},
    {"bfdet", "bfdet", Quantity::kLength}, {"twdet", "twdet", Quantity::kLength}, {"tfdet", "tfdet", Quantity::kLength},
    {"Qf", "Qf", Quantity::kModulus},      {"Qw", "Qw", Quantity::kModulus},      {"C", "C", Quantity::kModulus},
};

const AiscColumn* AiscKnown(const std::string& header) {
  for (const AiscColumn& c : kAiscColumns)
    if (header == c.aisc) return &c;
  return nullptr;
}

// The flange slope of S beams and C channels: 1 in 6 (16 2/3 %).
constexpr double kAmericanSlope = 1.0 / 6;
constexpr double kQuarterTurn = 0.78539816339744830962;  // 45° in radians

// The family a row of `type` goes to, and the shape code its dimensions give (empty: none the engine knows).
void AiscFamily(const std::string& type, bool round, std::string& family, std::string& shape) {
  family = type == "HSS" && round ? "HSS_R" : type;
  if (type == "W" || type == "M" || type == "HP")
    shape = "I";
  else if (type == "L")
    shape = "L";
  else if ((type == "HSS" && round) || type == "PIPE")
    shape = "CHS";
  else if (type == "HSS")
    shape = "RHS";
  else if (type == "S")
    shape = "IT";
  else if (type == "C")
    shape = "UT";
  else
    shape = std::string();  // tees and double angles; MC, whose flange slopes vary by size and are not given
}

// "v16.0" in the file's name ("aisc-shapes-database-v16.0.csv"), or empty.
std::string VersionInName(const std::string& path) {
  const std::string base = path.substr(path.find_last_of('/') + 1);
  for (std::size_t i = 0; i + 1 < base.size(); ++i) {
    if ((base[i] != 'v' && base[i] != 'V') || !std::isdigit(static_cast<unsigned char>(base[i + 1]))) continue;
    if (i > 0 && std::isalpha(static_cast<unsigned char>(base[i - 1]))) continue;
    std::size_t end = i + 1;
    while (end < base.size() &&
           (std::isdigit(static_cast<unsigned char>(base[end])) ||
            (base[end] == '.' && end + 1 < base.size() && std::isdigit(static_cast<unsigned char>(base[end + 1])))))
      ++end;
    return "v" + base.substr(i + 1, end - i - 1);
  }
  return std::string();
}

// A number the row holds in catalog column `column`.
bool RowNumber(const OutFamily& family, const OutRow& row, const std::string& column, double& value) {
  const auto c = family.folded.find(Folded(Wide(column).str()));
  if (c == family.folded.end()) return false;
  const auto v = row.cells.find(c->second);
  return v != row.cells.end() && IsNumber(v->second, &value);
}

bool PutNumber(OutFamily& family, OutRow& row, const std::string& column, const std::string& unit, double value,
               std::string& why) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  return Put(family, row, column, false, unit, text, why);
}

// The dimensions the shape's formulas need that the file does not give, by the rules its tables are computed
// with (see the file's header); `length` is the file's length unit. A row without what a rule reads is left
// as it is: verify then says which dimension is missing.
bool ShapeDimensions(OutFamily& family, OutRow& row, const std::string& shape, const std::string& length,
                     std::string& why) {
  double k = 0, t = 0, tf = 0, tw = 0, b = 0;
  if (shape == "I" || shape == "L") {
    // Parallel faces: the fillet ends its radius from the flange or leg face, at the design k.
    if (RowNumber(family, row, "kdes", k) && RowNumber(family, row, shape == "I" ? "tf" : "t", t) && k > t)
      return PutNumber(family, row, shape == "I" ? "r" : "r1", length, k - t, why);
    return true;
  }
  if (shape == "RHS") {
    if (!RowNumber(family, row, "t", t)) return true;
    return PutNumber(family, row, "ro", length, 2 * t, why) && PutNumber(family, row, "ri", length, t, why);
  }
  if (shape != "IT" && shape != "UT") return true;
  if (!RowNumber(family, row, "tf", tf) || !RowNumber(family, row, "tw", tw) || !RowNumber(family, row, "b", b) ||
      !(b > tw))
    return true;
  // tf is the average thickness: at the middle of the outstand, (b - tw)/2 wide on each side of an S beam's
  // web and b - tw beside a channel's.
  const double outstand = shape == "IT" ? (b - tw) / 2 : b - tw, u = outstand / 2;
  if (!PutNumber(family, row, "slope", "", kAmericanSlope, why) || !PutNumber(family, row, "u", length, u, why))
    return false;
  if (!RowNumber(family, row, "kdes", k)) return true;
  // The root fillet whose tangent point on the web lies at the design k. The flange face there is at
  // tf + slope * (outstand - u) from the outer face, and a fillet of radius r between the web and a face
  // sloping by atan(slope) ends r / tan(45° + atan(slope)/2) further along the web.
  const double root = tf + kAmericanSlope * (outstand - u);
  const double r1 = (k - root) * std::tan(kQuarterTurn + std::atan(kAmericanSlope) / 2);
  if (!(r1 > 0)) return true;
  return PutNumber(family, row, "r", length, r1, why) && PutNumber(family, row, "r2", length, 0, why);
}

bool ReadAisc(const std::string& path, const ImportShapesOptions& options, Tables& tables, std::string& why) {
  CsvReader reader;
  CsvRecord header;
  if (!reader.Open(path, why, ',') || !reader.Next(header, why)) {
    if (why.empty()) why = path + " is empty: it needs the database's header row";
    return false;
  }
  for (std::string& h : header.fields) h = Trimmed(h);
  if (!header.fields.empty() && header.fields[0].rfind("\xEF\xBB\xBF", 0) == 0) header.fields[0].erase(0, 3);
  std::map<std::string, std::size_t> at;
  for (std::size_t i = 0; i < header.fields.size(); ++i) at.emplace(header.fields[i], i);
  for (const char* needed : {"Type", "AISC_Manual_Label"})
    if (!at.count(needed)) {
      why = path + " has no column " + needed + ": it is not the AISC Shapes Database as exported to CSV";
      return false;
    }
  const std::size_t typeAt = at["Type"], labelAt = at["AISC_Manual_Label"];
  const std::size_t ediAt = at.count("EDI_Std_Nomenclature") ? at["EDI_Std_Nomenclature"] : std::size_t(-1);
  const std::size_t odAt = at.count("OD") ? at["OD"] : std::size_t(-1);

  std::vector<CsvRecord> records;
  CsvRecord record;
  while (reader.Next(record, why)) {
    for (std::string& f : record.fields) f = Trimmed(f);
    if (record.fields.size() == 1 && record.fields[0].empty()) continue;  // an empty line
    if (record.fields.size() > header.fields.size()) {
      why = path + ", line " + std::to_string(record.line) + ": more cells than the header has columns";
      return false;
    }
    records.push_back(record);
  }
  if (!why.empty()) return false;
  const auto cell = [](const CsvRecord& r, std::size_t i) {
    return i < r.fields.size() && !IsBlank(r.fields[i]) ? r.fields[i] : std::string();
  };

  // The edition, from the density every row with a weight and an area implies.
  int us = 0, si = 0;
  std::size_t odd = 0;
  if (at.count("W") && at.count("A"))
    for (const CsvRecord& r : records) {
      double w = 0, a = 0;
      if (!IsNumber(cell(r, at["W"]), &w) || !IsNumber(cell(r, at["A"]), &a) || a <= 0) continue;
      const double density = w / a;
      if (density > 2 && density < 5)
        ++us;
      else if (density > 0.004 && density < 0.012)
        ++si;
      else if (!odd)
        odd = r.line;
    }
  bool isSi = false;
  if (options.units == "us" || options.units == "si") {
    isSi = options.units == "si";
    if ((isSi && us) || (!isSi && si)) {
      why = "--units " + options.units + " does not fit the rows: their weight per area is that of the " +
            (isSi ? "US" : "SI") + " file";
      return false;
    }
  } else if (!options.units.empty()) {
    why = "--units must be us or si, not " + Visible(options.units);
    return false;
  } else if ((us > 0) == (si > 0)) {
    why = us ? "the rows' weight per area is that of the US file in some rows and of the SI file in others"
             : "no row gives both W and A, which tell the US file from the SI file; say --units us or si";
    return false;
  } else {
    isSi = si > 0;
  }
  if (odd) {
    why = path + ", line " + std::to_string(odd) + ": W / A is no steel's weight per area in either unit";
    return false;
  }
  const std::string version = VersionInName(path);
  if (!options.standard.empty())
    tables.standard = options.standard;
  else if (!version.empty())
    tables.standard = "AISC Shapes Database " + version + (isSi ? " (SI)" : " (US)");
  else {
    why = "the file's name says no version (as in aisc-shapes-database-v16.0.csv); give one with --standard";
    return false;
  }
  tables.notes = std::string(isSi ? "SI" : "US") + " units, told by the rows' weight per area";

  // Which columns hold text: a column that is not a number in some row (T_F's "T" and "F").
  std::vector<bool> text(header.fields.size(), false);
  for (const CsvRecord& r : records)
    for (std::size_t i = 0; i < r.fields.size(); ++i)
      if (!IsBlank(r.fields[i]) && !IsNumber(r.fields[i])) text[i] = true;

  bool channelsUnshaped = false;
  for (const CsvRecord& r : records) {
    const std::string where = path + ", line " + std::to_string(r.line) + ": ";
    const std::string type = cell(r, typeAt);
    if (type.empty()) {
      why = where + "a row without a Type";
      return false;
    }
    channelsUnshaped = channelsUnshaped || type == "MC";
    const bool round = !cell(r, odAt).empty();
    std::string familyName, shape;
    AiscFamily(type, round, familyName, shape);
    OutFamily& family = FamilyNamed(tables, options.prefix + familyName);
    OutRow row;
    row.name = cell(r, labelAt);
    row.line = r.line;
    if (!shape.empty() && !Put(family, row, "Shape", true, "", shape, why)) return false;
    if (!Put(family, row, "Standard", true, "", tables.standard, why)) return false;
    for (std::size_t i = 0; i < r.fields.size(); ++i) {
      if (i == typeAt || i == labelAt || i == ediAt) continue;
      const std::string value = cell(r, i);
      if (value.empty()) continue;
      const std::string& column = header.fields[i];
      const AiscColumn* known = AiscKnown(column);
      std::string name = known ? known->name : column;
      if (type == "HSS" && !round && (column == "b" || column == "h")) name = column + "_flat";
      // A tube's weight is the nominal wall's (tnom), its properties the design wall's (tdes = 0.93 tnom): the
      // weight is no G of the section the properties describe, and verify would hold it 7 % out.
      if ((type == "HSS" || type == "PIPE") && column == "W") name = "G_nom";
      // A tube's ro is its outer corner radius; a polar radius of gyration the file gave would keep its own.
      if (shape == "RHS" && column == "ro") name = "ro_polar";
      if (known && text[i]) {
        why = where + "column " + column + " holds " + Visible(value) + ", which is no number";
        return false;
      }
      const UnitOf unit = Unit(known ? known->quantity : Quantity::kNone, isSi);
      if (!Put(family, row, name, text[i], unit.unit, text[i] ? value : Shifted(value, unit.shift), why)) return false;
    }
    if (!ShapeDimensions(family, row, shape, Unit(Quantity::kLength, isSi).unit, why)) return false;
    const std::string edi = cell(r, ediAt);
    if (!edi.empty() && !row.name.empty() && VdNormalName(Wide(edi).str()) != VdNormalName(Wide(row.name).str()))
      tables.aliases.push_back({Wide(edi).str(), Wide(family.name).str(), Wide(row.name).str()});
    if (!AddRow(family, std::move(row), where, why)) return false;
  }
  if (channelsUnshaped) tables.notes += "; MC: no shape (flange slope not in the file)";
  return true;
}

// ---------------------------------------------------------------- a profiles.csv of "Category,Name,Class,..."

struct FreecadClass {
  const char* code;
  const char* shape;  // empty: none the engine knows
  std::vector<const char*> dims;
};

// The values of each class in the order the rows give them: the width first for H (IPE100,H,55,100,...), the
// depth first for U (UPE80,U,80,50,...) and RH, whose names say depth x width.
const FreecadClass kFreecadClasses[] = {
    {"C", "CHS", {"d", "t"}},          {"H", "I", {"b", "h", "tw", "tf"}}, {"U", "U", {"h", "b", "tw", "tf"}},
    {"RH", "RHS", {"h", "b", "t"}},    {"L", "L", {"b", "h", "t"}},        {"R", "", {"b", "h"}},
    {"T", "", {"b", "h", "tw", "tf"}},
};

bool ReadFreecad(const std::string& path, const ImportShapesOptions& options, Tables& tables, std::string& why) {
  if (!options.units.empty()) {
    why = "--units is for --from aisc; profiles.csv is in millimetres";
    return false;
  }
  tables.standard =
      options.standard.empty() ? "as profiles.csv gives it; the file names no standard" : options.standard;
  CsvReader reader;
  if (!reader.Open(path, why, ',')) return false;
  CsvRecord r;
  while (reader.Next(r, why)) {
    for (std::string& f : r.fields) f = Trimmed(f);
    if (r.fields.empty() || r.fields[0].rfind("#", 0) == 0) continue;
    bool empty = true;
    for (const std::string& f : r.fields) empty = empty && f.empty();
    if (empty) continue;
    const std::string where = path + ", line " + std::to_string(r.line) + ": ";
    if (r.fields.size() < 3) {
      why = where + "a row needs Category, Name and a class";
      return false;
    }
    const FreecadClass* kind = nullptr;
    for (const FreecadClass& c : kFreecadClasses)
      if (r.fields[2] == c.code) kind = &c;
    if (!kind) {
      why = where + "unknown profile class " + Visible(r.fields[2]);
      return false;
    }
    if (r.fields.size() != 3 + kind->dims.size()) {
      why = where + "class " + kind->code + " takes " + std::to_string(kind->dims.size()) + " values, not " +
            std::to_string(r.fields.size() - 3);
      return false;
    }
    OutFamily& family = FamilyNamed(tables, options.prefix + r.fields[0]);
    OutRow row;
    row.name = r.fields[1];
    row.line = r.line;
    if (*kind->shape && !Put(family, row, "Shape", true, "", kind->shape, why)) return false;
    if (!Put(family, row, "Standard", true, "", tables.standard, why)) return false;
    for (std::size_t i = 0; i < kind->dims.size(); ++i) {
      const std::string& value = r.fields[3 + i];
      if (IsBlank(value)) continue;
      if (!IsNumber(value)) {
        why = where + kind->dims[i] + " is " + Visible(value) + ", which is no number";
        return false;
      }
      if (!Put(family, row, kind->dims[i], false, "mm", value, why)) return false;
    }
    if (!AddRow(family, std::move(row), where, why)) return false;
  }
  return why.empty();
}

// ---------------------------------------------------------------- a BOLTS .blt collection of profiles

// How a table's keys become the catalog's designations, which the key then stays as an alias of where spelt
// otherwise: "HEA100" -> "HEA 100" (the same name to a lookup), "LNP50x30x5" -> "L 50x30x5", "21.3-2.3" ->
// "CHS 21.3x2.3", "60-5.0" -> "SHS 60x60x5.0", "200-100-6.3" -> "RHS 200x100x6.3".
enum class BoltsNames { kSpaced, kAngle, kCircle, kSquare, kRectangle };

struct BoltsClass {
  const char* id;      // the class id the collection gives it
  const char* family;  // before --prefix
  const char* shape;   // empty: none the engine knows
  BoltsNames names;
  std::vector<std::pair<const char*, const char*>> renamed;  // the table's column -> the catalog's
};

// The profile classes the collections ship. Tapered flanges (IPN, UPN) take the engine's defaults, which are
// those of the European tables (14 % and tf at b/4; 8 % or 5 % by depth). Hot-finished tubes are computed, as
// their standard computes them, with corners of 1.5 t outside and t inside. Z sections have no shape.
const BoltsClass kBoltsClasses[] = {
    {"ibeam_hea", "HEA", "I", BoltsNames::kSpaced, {}},
    {"ibeam_heaa", "HEAA", "I", BoltsNames::kSpaced, {}},
    {"ibeam_heb", "HEB", "I", BoltsNames::kSpaced, {}},
    {"ibeam_hem", "HEM", "I", BoltsNames::kSpaced, {}},
    {"ibeam_ipe", "IPE", "I", BoltsNames::kSpaced, {}},
    {"ibeam_ipe750", "IPE750", "I", BoltsNames::kSpaced, {}},
    {"ibeam_ipea", "IPEa", "I", BoltsNames::kSpaced, {}},
    {"ibeam_ipeo", "IPEo", "I", BoltsNames::kSpaced, {}},
    {"ibeam_iper", "IPEr", "I", BoltsNames::kSpaced, {}},
    {"ibeam_ipev", "IPEv", "I", BoltsNames::kSpaced, {}},
    {"inp", "IPN", "IT", BoltsNames::kSpaced, {{"g", "g_outer"}}},  // g would be G, the mass, to a lookup
    {"cbeam_upe", "UPE", "U", BoltsNames::kSpaced, {}},
    {"cbeam_uap", "UAP", "U", BoltsNames::kSpaced, {}},
    {"cbeam_upn", "UPN", "UT", BoltsNames::kSpaced, {}},
    {"lbeam_lnp_equal", "L", "L", BoltsNames::kAngle, {{"a", "h"}}},
    {"lbeam_lnp_unequal", "L_unequal", "L", BoltsNames::kAngle, {{"a", "h"}}},
    {"hollow_circle", "CHS", "CHS", BoltsNames::kCircle, {{"D", "d"}}},
    {"hollow_square", "SHS", "RHS", BoltsNames::kSquare, {}},
    {"hollow_rectangular", "RHS", "RHS", BoltsNames::kRectangle, {}},
    {"zbeam", "ZNP", "", BoltsNames::kSpaced, {{"c1", "b"}}},
};

// The numbers of `text` split at `sign`, or none when a part is no number.
std::vector<std::string> NumbersOf(const std::string& text, char sign) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(sign, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (!IsNumber(parts.back())) return {};
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::string BoltsName(BoltsNames style, const std::string& key) {
  std::size_t digit = 0;
  while (digit < key.size() && std::isalpha(static_cast<unsigned char>(key[digit]))) ++digit;
  if (style == BoltsNames::kSpaced)
    return digit > 0 && digit < key.size() && std::isdigit(static_cast<unsigned char>(key[digit]))
               ? key.substr(0, digit) + " " + key.substr(digit)
               : key;
  if (style == BoltsNames::kAngle) {
    const std::vector<std::string> n = NumbersOf(key.substr(digit), 'x');
    if (digit == 0 || n.size() < 2 || n.size() > 3) return key;
    return "L " + n[0] + "x" + (n.size() == 2 ? n[0] : n[1]) + "x" + n.back();
  }
  const std::vector<std::string> n = NumbersOf(key, '-');
  if (style == BoltsNames::kCircle && n.size() == 2) return "CHS " + n[0] + "x" + n[1];
  if (style == BoltsNames::kSquare && n.size() == 2) return "SHS " + n[0] + "x" + n[0] + "x" + n[1];
  if (style == BoltsNames::kRectangle && n.size() == 3) return "RHS " + n[0] + "x" + n[1] + "x" + n[2];
  return key;
}

// The standards a class names ("DIN 1025-5, EN 19-57"), a standard given as text or as {nice, safe}.
std::string BoltsStandards(const YamlNode& cls) {
  const YamlNode* standards = cls.Find("standards");
  if (!standards) return std::string();
  std::vector<const YamlNode*> each;
  if (standards->kind == YamlNode::kMap) each.push_back(standards);
  for (const YamlNode& s : standards->items) each.push_back(&s);
  std::string text;
  for (const YamlNode* s : each) {
    const YamlNode* name = s->Find("standard");
    if (name && name->kind == YamlNode::kMap) name = name->Find("nice");
    if (name && name->kind == YamlNode::kScalar) text += (text.empty() ? "" : ", ") + name->text;
  }
  return text;
}

// A column's unit from its parameter type: lengths in mm or in, plain numbers without one.
bool BoltsUnit(const std::string& type, std::string& unit) {
  if (type == "Length (mm)" || type == "Length (in)")
    unit = type == "Length (mm)" ? "mm" : "in";
  else if (type == "Number")
    unit.clear();
  else
    return false;
  return true;
}

bool ReadBoltsTable(const std::string& path, const YamlNode& table, const YamlNode* types, const BoltsClass& kind,
                    const std::string& standard, const ImportShapesOptions& options, Tables& tables, std::string& why) {
  const std::string where = path + ", line " + std::to_string(table.line) + ": class " + kind.id + ": ";
  const YamlNode* columns = table.Find("columns");
  const YamlNode* data = table.Find("data");
  if (table.kind != YamlNode::kMap || !columns || columns->kind != YamlNode::kList || !data ||
      data->kind != YamlNode::kMap) {
    why = where + "a table needs a list of columns and a mapping of data";
    return false;
  }
  std::vector<std::string> names, units;
  for (const YamlNode& c : columns->items) {
    const YamlNode* type = types && c.kind == YamlNode::kScalar ? types->Find(c.text) : nullptr;
    std::string unit;
    if (!type || type->kind != YamlNode::kScalar || !BoltsUnit(type->text, unit)) {
      why = where + "column " + Visible(c.text) + " is no length or number in the class's types";
      return false;
    }
    std::string name = c.text;
    for (const auto& [from, to] : kind.renamed)
      if (name == from) name = to;
    names.push_back(name);
    units.push_back(unit);
  }
  OutFamily& family = FamilyNamed(tables, options.prefix + kind.family);
  for (const auto& [key, values] : data->entries) {
    const std::string at = path + ", line " + std::to_string(values.line) + ": ";
    if (values.kind != YamlNode::kList || values.items.size() != names.size()) {
      why = at + Visible(key) + " needs a list of " + std::to_string(names.size()) + " values, as the columns say";
      return false;
    }
    OutRow row;
    row.name = BoltsName(kind.names, key);
    row.line = values.line;
    if (*kind.shape && !Put(family, row, "Shape", true, "", kind.shape, why)) return false;
    if (!Put(family, row, "Standard", true, "", standard, why)) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const YamlNode& v = values.items[i];
      if (v.kind == YamlNode::kNull || (v.kind == YamlNode::kScalar && IsBlank(v.text))) continue;
      if (v.kind != YamlNode::kScalar || !IsNumber(v.text)) {
        why = at + Visible(key) + ": " + names[i] + " is " +
              (v.kind == YamlNode::kScalar ? Visible(v.text) : "a list") + ", which is no number";
        return false;
      }
      if (!Put(family, row, names[i], false, units[i], v.text, why)) return false;
    }
    // What the shape reads that the table leaves to its name: the second leg of an equal angle, the depth of a
    // square tube, and a tube's corners.
    double t = 0, side = 0;
    const auto unitOf = [&family](const char* column) {  // each in the unit of the length it comes from
      const auto c = family.folded.find(Folded(Wide(column).str()));
      return c == family.folded.end() ? std::string() : family.columns[c->second].unit;
    };
    if (std::string(kind.shape) == "L" && !RowNumber(family, row, "b", side) && RowNumber(family, row, "h", side) &&
        !PutNumber(family, row, "b", unitOf("h"), side, why))
      return false;
    if (std::string(kind.shape) == "RHS") {
      if (!RowNumber(family, row, "h", side) && RowNumber(family, row, "b", side) &&
          !PutNumber(family, row, "h", unitOf("b"), side, why))
        return false;
      if (RowNumber(family, row, "t", t) && (!PutNumber(family, row, "ro", unitOf("t"), 1.5 * t, why) ||
                                             !PutNumber(family, row, "ri", unitOf("t"), t, why)))
        return false;
    }
    if (VdNormalName(Wide(key).str()) != VdNormalName(Wide(row.name).str()))
      tables.aliases.push_back({Wide(key).str(), Wide(family.name).str(), Wide(row.name).str()});
    if (!AddRow(family, std::move(row), at, why)) return false;
  }
  return true;
}

bool ReadBolts(const std::string& path, const ImportShapesOptions& options, Tables& tables, std::string& why) {
  if (!options.units.empty()) {
    why = "--units is for --from aisc; a .blt file gives each column's unit";
    return false;
  }
  YamlNode root;
  if (!ReadYamlFile(path, root, why)) return false;
  const YamlNode* classes = root.Find("classes");
  if (!classes || classes->kind != YamlNode::kList) {
    why = path + " has no list of classes: it is no BOLTS .blt collection";
    return false;
  }
  const YamlNode* id = root.Find("id");
  const std::string collection = id && id->kind == YamlNode::kScalar ? id->text : "collection";
  tables.standard = options.standard.empty() ? "as each class of " + collection + " names it" : options.standard;
  std::vector<std::string> skipped;
  std::set<std::string> unshaped;
  for (const YamlNode& cls : classes->items) {
    const YamlNode* classId = cls.Find("id");
    const YamlNode* parameters = cls.Find("parameters");
    const YamlNode* tableNodes = parameters ? parameters->Find("tables") : nullptr;
    if (!tableNodes) continue;  // a class without a table (a generic profile) has no rows to give
    if (!classId || classId->kind != YamlNode::kScalar) {
      why = path + ", line " + std::to_string(cls.line) + ": a class without an id";
      return false;
    }
    const BoltsClass* kind = nullptr;
    for (const BoltsClass& c : kBoltsClasses)
      if (classId->text == c.id) kind = &c;
    if (!kind) {
      skipped.push_back(classId->text);
      continue;
    }
    if (!*kind->shape) unshaped.insert(options.prefix + kind->family);
    std::string standard = options.standard;
    if (standard.empty()) {
      const std::string named = BoltsStandards(cls);
      standard = named.empty() ? "BOLTS " + collection + " (no standard named)" : named + " (BOLTS " + collection + ")";
    }
    std::vector<const YamlNode*> each;
    if (tableNodes->kind == YamlNode::kList)
      for (const YamlNode& t : tableNodes->items) each.push_back(&t);
    else
      each.push_back(tableNodes);
    for (const YamlNode* t : each)
      if (!ReadBoltsTable(path, *t, parameters->Find("types"), *kind, standard, options, tables, why)) return false;
  }
  std::string notes;
  if (!skipped.empty()) {
    notes = "skipped " + std::to_string(skipped.size()) + (skipped.size() == 1 ? " table" : " tables") +
            " of no profile this import knows:";
    for (const std::string& s : skipped) notes += " " + Visible(s);
  }
  for (const std::string& f : unshaped) notes += (notes.empty() ? "" : "; ") + f + ": no shape verify knows";
  tables.notes = notes;
  return true;
}

// ---------------------------------------------------------------- the write

// Column order: Shape and Standard, then the dimensions and properties in the order first met.
std::vector<CVdCatalogSchema::Column> SchemaColumns(const OutFamily& family) {
  std::vector<CVdCatalogSchema::Column> columns;
  for (const OutColumn& c : family.columns) {
    CVdCatalogSchema::Column s;
    s.name = Wide(c.name);
    s.type = c.text ? L"TEXT" : L"DOUBLE";
    s.unit = Wide(c.unit);
    columns.push_back(s);
  }
  return columns;
}

// The catalog's write group, undone unless Keep is reached.
class Group {
 public:
  explicit Group(CVdPatternCatalog& catalog) : m_catalog(catalog) { m_open = catalog.BeginWriteGroup(); }
  ~Group() {
    if (m_open) m_catalog.EndWriteGroup(false);
  }
  bool IsOpen() const { return m_open; }
  void Keep() {  // throws CDBException* when the COMMIT fails; nothing is kept then
    m_open = false;
    m_catalog.EndWriteGroup(true);
  }
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

 private:
  CVdPatternCatalog& m_catalog;
  bool m_open = false;
};

// Writes every family of `tables` inside the open group: false after a message. The families are made first,
// each recording its own change; the rows follow as one history batch, whose records are numbered at its end.
bool WriteFamilies(Session& session, CVdPatternCatalog& catalog, const Tables& tables) {
  CVdDatabase* db = session.Database(&catalog);
  for (const OutFamily& family : tables.families) {
    CString error;
    std::vector<CVdCatalogSchema::Column> columns = SchemaColumns(family);
    if (family.exists) {
      if (family.lacking.empty()) continue;
      std::vector<CVdCatalogSchema::Column> lacking;
      for (const std::size_t index : family.lacking) lacking.push_back(columns[index]);
      if (CVdCatalogSchema::AddColumnsInGroup(catalog, Wide(family.name), lacking, error)) continue;
    } else if (CVdCatalogSchema::AddFamilyInGroup(*db, Wide(family.name), Wide(family.name), columns, error)) {
      continue;
    }
    error.TrimRight();
    Error("family " + Visible(family.name) + ": " + Utf8(error) + " Nothing was imported.");
    return false;
  }
  // The catalog learns of the new families (reading their units again, which turns unit conversion back on),
  // and then writes values in their columns' units, as the file gives them.
  for (const OutFamily& family : tables.families) FamilyUnitsOf(catalog, family.name);
  catalog.SetHasUnits(false);
  catalog.BeginHistoryBatch();
  for (const OutFamily& family : tables.families) {
    std::vector<std::unique_ptr<CVdPattern>> owned;
    std::vector<CVdPattern*> patterns;
    for (const OutRow& row : family.rows) {
      owned.push_back(std::make_unique<CVdPattern>(1, Wide(row.name), Wide(family.name)));
      for (std::size_t index = 0; index < family.columns.size(); ++index) {
        const OutColumn& c = family.columns[index];
        const std::wstring folded = Folded(Wide(c.name).str());
        const auto cell = row.cells.find(index);
        if (cell == row.cells.end()) {  // a row written over loses what the file no longer gives
          if (family.exists) owned.back()->SetValue(0, folded, new CVdPatternValue());
          continue;
        }
        const std::string& value = cell->second;
        if (c.text)
          owned.back()->SetValue(0, folded, new CVdPatternValue(Wide(value), VT_BSTR));
        else
          owned.back()->SetValue(0, folded, new CVdPatternValue(std::strtod(value.c_str(), nullptr)));
      }
      patterns.push_back(owned.back().get());
    }
    if (!catalog.InsertPatterns(patterns, !family.exists)) {
      if (!session.Failed())
        Error("the catalog refused the rows of " + Visible(family.name) + "; nothing was imported");
      catalog.EndHistoryBatch(false);
      return false;
    }
  }
  // An alias already there for the same row is kept, so that a file imported again is not refused for it.
  std::vector<CVdPatternCatalog::Alias> present, fresh;
  if (!tables.aliases.empty() && !catalog.GetAliases(present)) {
    catalog.EndHistoryBatch(false);
    return false;
  }
  for (const CVdPatternCatalog::Alias& a : tables.aliases) {
    const bool kept = std::any_of(present.begin(), present.end(), [&](const CVdPatternCatalog::Alias& p) {
      return VdNormalName(p.alias) == VdNormalName(a.alias) && VdCompareNoCase(p.family, a.family) == 0 &&
             VdCompareNoCase(p.name, a.name) == 0;
    });
    if (!kept) fresh.push_back(a);
  }
  if (!fresh.empty()) {
    CString error;
    if (!catalog.AddAliases(fresh, error)) {
      error.TrimRight();
      Error("an alias was refused: " + Utf8(error) + " Nothing was imported.");
      catalog.EndHistoryBatch(false);
      return false;
    }
  }
  return true;
}

// The unit text a column of the catalog's family has, or empty.
std::string UnitText(const CVdPatternCatalog::FamilyUnits& units, const std::wstring& column) {
  const auto u = units.find(Folded(column));
  return u == units.end() ? std::string() : Utf8(u->second.unit.GetText());
}

constexpr std::size_t kRefusalsShown = 20;  // lines named before the rest are counted

// Marks the families of `tables` the catalog holds already and checks that the file's rows fit them: every
// column the file gives that the family has is of its kind and unit (one it lacks is noted, to be added), and a
// name the family holds is refused unless `replace` (then `replaced` counts them). kOk, or the status to end
// with once every refusal has been said.
int CheckExisting(Session& session, CVdPatternCatalog& catalog, bool replace, Tables& tables, std::size_t& replaced) {
  std::vector<std::string> refusals;
  for (OutFamily& family : tables.families) {
    if (!catalog.FindFamily(Wide(family.name))) continue;
    family.exists = true;
    const std::vector<Column> columns = FamilyColumns(session, &catalog, family.name);
    if (session.Failed()) return kError;
    const auto units = FamilyUnitsOf(catalog, family.name);
    for (std::size_t index = 0; index < family.columns.size(); ++index) {
      const OutColumn& c = family.columns[index];
      const Column* there = FindColumn(columns, Wide(c.name).str());
      const std::string where = "family " + Visible(family.name) + " ";
      if (!there) {
        family.lacking.push_back(index);
        continue;
      }
      const bool text = there->kind == Kind::kText;
      const std::string unit = UnitText(units, there->name);
      if (text != c.text)
        refusals.push_back(where + "holds " + (text ? "text" : "numbers") + " in column " + Visible(c.name) +
                           ", the file " + (c.text ? "text" : "numbers"));
      else if (unit != c.unit)
        refusals.push_back(where + "has column " + Visible(c.name) + " in " + (unit.empty() ? "no unit" : unit) +
                           ", the file in " + (c.unit.empty() ? "no unit" : c.unit));
    }
    std::vector<Row> rows;
    if (!ReadRows(session.Database(&catalog), family.name, columns, "", "", rows)) return kError;
    std::map<std::wstring, std::string> held;  // folded -> as the family spells it
    for (const Row& r : rows) held.emplace(Folded(Wide(r.name).str()), r.name);
    for (const OutRow& row : family.rows) {
      const auto found = held.find(Folded(Wide(row.name).str()));
      if (found == held.end()) continue;
      if (replace)
        ++replaced;
      else
        refusals.push_back("line " + std::to_string(row.line) + ": " + Visible(row.name) + " is in family " +
                           Visible(family.name) + " already" +
                           (found->second != row.name ? " as " + Visible(found->second) : std::string()));
    }
  }
  if (refusals.empty()) return kOk;
  for (std::size_t i = 0; i < refusals.size() && i < kRefusalsShown; ++i) Error(refusals[i]);
  if (refusals.size() > kRefusalsShown)
    Error("and " + std::to_string(refusals.size() - kRefusalsShown) + " more like these");
  Error("nothing was imported (--replace writes the rows the families hold over; --prefix makes new families)");
  return kNotFound;
}

}  // namespace

int ImportShapes(const std::string& file, const std::string& from, const std::string& source,
                 const ImportShapesOptions& options) {
  Tables tables;
  std::string why;
  bool read = false;
  if (from == "aisc")
    read = ReadAisc(source, options, tables, why);
  else if (from == "freecad")
    read = ReadFreecad(source, options, tables, why);
  else if (from == "bolts")
    read = ReadBolts(source, options, tables, why);
  else
    why = "--from must be aisc, freecad or bolts, not " + Visible(from);
  if (!read) {
    Error(why + "; nothing was imported");
    return kError;
  }
  if (tables.families.empty()) {
    Error(source + " holds no rows" + (tables.notes.empty() ? "" : " (" + tables.notes + ")") +
          "; nothing was imported");
    return kError;
  }

  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  if (!catalog->CanWrite()) {
    Error(Located(file) + " is read-only; nothing was imported");
    return kError;
  }
  std::size_t replaced = 0;
  if (const int status = CheckExisting(session, *catalog, options.replace, tables, replaced); status != kOk)
    return status;
  const bool onServer = OnServer(file);
  Group group(*catalog);
  if (!group.IsOpen()) return kError;
  try {
    if (!WriteFamilies(session, *catalog, tables)) return kError;
    if (catalog->IsWriteGroupLost() || !catalog->EndHistoryBatch(true)) {
      Error(onServer ? "the server undid the import after a failed write; nothing was imported"
                     : "nothing was imported: its history could not be written");
      return kError;
    }
    group.Keep();
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    reason.TrimRight();
    Error("nothing was imported: " + Utf8(reason));
    return kError;
  }
  std::size_t rows = 0;
  std::string counts;
  for (const OutFamily& f : tables.families) {
    rows += f.rows.size();
    counts += (counts.empty() ? "" : ", ") + f.name + " " + std::to_string(f.rows.size());
  }
  std::size_t made = 0;
  std::string added;  // the columns given to families the catalog held
  for (const OutFamily& f : tables.families) {
    made += !f.exists;
    for (const std::size_t index : f.lacking)
      added += (added.empty() ? "; columns added: " : ", ") + Visible(f.name + "." + f.columns[index].name);
  }
  const std::string replacedText =
      (replaced ? ", " + Counted(static_cast<long long>(replaced), "row") + " written over" : std::string()) + added;
  std::printf("imported %s into %s (%s; %zu new)%s, %s; Standard \"%s\"%s\n",
              Counted(static_cast<long long>(rows), "row").c_str(),
              Counted(static_cast<long long>(tables.families.size()), "family", "families").c_str(),
              Visible(counts).c_str(), made, replacedText.c_str(),
              Counted(static_cast<long long>(tables.aliases.size()), "alias", "aliases").c_str(),
              Visible(tables.standard).c_str(), tables.notes.empty() ? "" : ("; " + tables.notes).c_str());
  return session.Finish(kOk);
}

}  // namespace vdcatalog
