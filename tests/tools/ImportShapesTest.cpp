// vdcatalog import-shapes on small tables written in the formats it reads (examples/sections/import): what the
// rows become, that verify holds on them, and that a refused import leaves the catalog as it was.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "support/SectionPolygon.h"
#include "support/TestDb.h"
#include "support/TestFiles.h"

namespace {

struct Output {
  int status;
  std::string out;
};

Output Tool(const std::string& args) {
  Output r{-1, ""};
  FILE* p = popen(("timeout 60 '" VDCATALOG_PATH "' " + args + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

const std::string kDir = VDPATTERN_SECTIONS_DIR "/import/";

// The rows of a family by name, as list --json gives them.
std::map<std::string, nlohmann::json> Rows(const std::string& db, const std::string& family) {
  const Output o = Tool("list '" + db + "' '" + family + "' --json");
  std::map<std::string, nlohmann::json> rows;
  if (o.status != 0) return rows;
  for (const auto& row : nlohmann::json::parse(o.out)) rows[row["Name"].get<std::string>()] = row;
  return rows;
}

std::string NewCatalog(vdtest::TempDir& dir, const std::string& name) {
  const std::string db = dir.File(name);
  EXPECT_EQ(Tool("create '" + db + "' --type t").status, 0);
  return db;
}

}  // namespace

TEST(ImportShapesTest, BothEditionsBecomeFamiliesInTheirUnitsThatVerify) {
  vdtest::TempDir dir;
  // US: values as written, in in / lb/ft; "–" is NULL; kdes - tf gives the fillet; the EDI spelling an alias.
  const std::string us = NewCatalog(dir, "us.mdb");
  const Output imported = Tool("import-shapes '" + us + "' --from aisc '" + kDir + "aisc-shapes-v16.0-us.csv'");
  ASSERT_EQ(imported.status, 0) << imported.out;
  EXPECT_NE(imported.out.find("US units"), std::string::npos) << imported.out;
  auto w = Rows(us, "W");
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w["W14X90"]["Iy"], 994.8);  // the table's Ix: the catalog's y-y is the strong axis
  EXPECT_EQ(w["W14X90"]["Iz"], 360.9);
  EXPECT_EQ(w["W14X90"]["Standard"], "AISC Shapes Database v16.0 (US)");
  EXPECT_NEAR(w["W14X90"]["r"].get<double>(), 0.6, 1e-12);
  EXPECT_TRUE(w["W10X12"]["A"].is_null());
  EXPECT_TRUE(w["W10X12"]["It"].is_null());
  EXPECT_EQ(w["W10X12"]["T_F"], "F");
  EXPECT_EQ(Rows(us, "HSS_R").count("HSS6.625X.280"), 1u);  // round HSS apart from rectangular ones
  EXPECT_TRUE(Rows(us, "HSS")["HSS14X10X5/8"]["b_flat"].is_number());
  EXPECT_EQ(Rows(us, "HSS")["HSS14X10X5/8"]["b"], 10.0);
  EXPECT_EQ(Rows(us, "C")["C10X30"]["Shape"], "UT");
  const Output pipe = Tool("show '" + us + "' Pipe6SCH40");
  EXPECT_NE(pipe.out.find("Pipe6STD (alias Pipe6SCH40)"), std::string::npos) << pipe.out;
  EXPECT_EQ(Tool("show '" + us + "' HSS14X10X.625").status, 0);  // the decimal spelling of 5/8

  // SI: the scaled units are stored as cm4, cm3 and cm6 with the file's digits.
  const std::string si = NewCatalog(dir, "si.mdb");
  ASSERT_EQ(Tool("import-shapes '" + si + "' --from aisc '" + kDir + "aisc-shapes-v16.0-si.csv'").status, 0);
  auto m = Rows(si, "W")["W360X134"];
  EXPECT_EQ(m["Iy"], 41510.0);    // 415.1 x 10^6 mm4
  EXPECT_EQ(m["Wy"], 2332.0);     // 10^3 mm3 = cm3
  EXPECT_EQ(m["It"], 168.1);      // 1681 x 10^3 mm4
  EXPECT_EQ(m["Iw"], 4307000.0);  // 4307 x 10^9 mm6
  EXPECT_EQ(m["A"], 17060.0);

  for (const std::string& db : {us, si}) {
    const Output v = Tool("verify '" + db + "' --json");
    ASSERT_EQ(v.status, 0) << v.out;
    EXPECT_GE(nlohmann::json::parse(v.out)["rows_checked"].get<int>(), 3) << v.out;
  }
}

TEST(ImportShapesTest, RefusedImportsLeaveTheCatalogAsItWas) {
  vdtest::TempDir dir;
  const std::string db = NewCatalog(dir, "c.mdb");
  const std::string us = kDir + "aisc-shapes-v16.0-us.csv";
  ASSERT_EQ(Tool("import-shapes '" + db + "' --from aisc '" + us + "'").status, 0);
  const std::string families = Tool("families '" + db + "'").out;
  const std::string header = "Type,EDI_Std_Nomenclature,AISC_Manual_Label,W,A,d,bf,tw,tf,Ix\n";
  const struct {
    std::string args, file, text, expected;
    int status;
  } cases[] = {
      {"--from aisc", us, "", "line 2: W14X90 is in family W already", 1},
      {"--from aisc --units si --prefix X_", us, "", "does not fit", 2},
      {"--from aisc --prefix X_", "", "plain.csv", "--standard", 2},
      {"--from aisc --prefix X_", "", "bad-v1.csv", "no number", 2},
      {"--from aisc --prefix X_", "", "dup-v1.csv", "given twice", 2},
      // The last row's alias is another row's name: refused after both families and their rows were written,
      // so all of them go.
      {"--from aisc --prefix X_", "", "clash-v1.csv", "alias", 2},
      {"--from freecad --prefix X_", "", "short.csv", "takes 4 values", 2},
      {"--from step", us, "", "--from must be", 2},
  };
  const std::map<std::string, std::string> texts = {
      {"plain.csv", header + "W,W8X10,W8X10,10,2.96,7.89,3.94,0.17,0.205,30.8\n"},
      {"bad-v1.csv", header + "W,W8X10,W8X10,10,2.96,7.89,3.94,0.17,0.205,abc\n"},
      {"dup-v1.csv",
       header + "W,W8X10,W8X10,10,2.96,7.89,3.94,0.17,0.205,30.8\nW,W8X10,W8X10,10,2.96,7.89,3.94,0.17,0.205,30.8\n"},
      {"clash-v1.csv", header + "C,C8X10,C8X10,10,2.96,7.89,3.94,0.17,0.205,30.8\n"
                                "W,W8X10,W8X10,10,2.96,7.89,3.94,0.17,0.205,30.8\n"
                                "W,W8X10,W8X15,15,4.44,8.11,4.01,0.245,0.315,48\n"},
      {"short.csv", "HEA,HEA100,H,100,96,5\n"},
  };
  for (const auto& c : cases) {
    const std::string file = c.file.empty() ? dir.Write(c.text, texts.at(c.text)) : c.file;
    const Output o = Tool("import-shapes '" + db + "' '" + file + "' " + c.args);
    EXPECT_EQ(o.status, c.status) << c.text << ": " << o.out;
    EXPECT_NE(o.out.find(c.expected), std::string::npos) << c.text << ": " << o.out;
    EXPECT_NE(o.out.find("othing was imported"), std::string::npos) << c.text << ": " << o.out;
    EXPECT_EQ(Tool("families '" + db + "'").out, families) << c.text;
  }
  EXPECT_EQ(Tool("show '" + db + "' C8X10").status, 1);
  // An edition the rows cannot tell is asked for, and the option then decides.
  const std::string unweighed = dir.Write("unweighed-v1.csv", header + "W,W8X10,W8X10,10,,7.89,3.94,0.17,0.205,30.8\n");
  EXPECT_EQ(Tool("import-shapes '" + db + "' '" + unweighed + "' --from aisc --prefix Y_").status, 2);
  EXPECT_EQ(Tool("import-shapes '" + db + "' '" + unweighed + "' --from aisc --prefix Y_ --units us").status, 0);
}

// A newer edition into the families an earlier one made: new rows are added, rows the families hold are
// refused by line unless --replace, which writes the file's values over them (a blank cell becomes NULL) and
// keeps a column the file does not give; a column of another unit refuses it all.
TEST(ImportShapesTest, AnImportIntoExistingFamiliesAddsRowsAndWritesOverOnlyWhenAsked) {
  vdtest::TempDir dir;
  const std::string db = NewCatalog(dir, "c.mdb");
  const std::string header = "Type,EDI_Std_Nomenclature,AISC_Manual_Label,W,A,d,bf,tw,tf,Ix\n";
  const std::string v1 = dir.Write("e-v1.csv", header + "W,W8X10,W8X10,10,2.96,7.89,3.94,0.17,0.205,30.8\n");
  ASSERT_EQ(Tool("import-shapes '" + db + "' '" + v1 + "' --from aisc").status, 0);
  ASSERT_EQ(Tool("add-family '" + db + "' Z --code Z --column x:DOUBLE:mm").status, 0);
  ASSERT_EQ(Tool("import '" + db + "' Z " + dir.Write("z.csv", "Name,x\nz1,1\n")).status, 0);
  const std::string v2 = dir.Write("e-v2.csv", header +
                                                   "W,W8X13,W8X13,13,3.84,7.99,4,0.23,0.255,39.6\n"
                                                   "W,W8X10,W8X10,10,2.96,7.9,3.94,0.17,0.205,\n");
  const Output refused = Tool("import-shapes '" + db + "' '" + v2 + "' --from aisc");
  EXPECT_EQ(refused.status, 1) << refused.out;
  EXPECT_NE(refused.out.find("line 3: W8X10 is in family W already"), std::string::npos) << refused.out;
  EXPECT_EQ(refused.out.find("line 2"), std::string::npos) << refused.out;
  EXPECT_EQ(Rows(db, "W").size(), 1u);
  EXPECT_EQ(Rows(db, "W")["W8X10"]["h"], 7.89);

  const Output replaced = Tool("import-shapes '" + db + "' '" + v2 + "' --from aisc --replace");
  ASSERT_EQ(replaced.status, 0) << replaced.out;
  EXPECT_NE(replaced.out.find("1 row written over"), std::string::npos) << replaced.out;
  auto w = Rows(db, "W");
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w["W8X10"]["h"], 7.9);
  EXPECT_TRUE(w["W8X10"]["Iy"].is_null());
  EXPECT_EQ(w["W8X10"]["Standard"], "AISC Shapes Database v2 (US)");
  EXPECT_EQ(w["W8X13"]["Iy"], 39.6);

  // The SI edition's W is in mm where the family is in in: refused, nothing written.
  const std::string si = dir.Write("e-v3.csv", header + "W,W200X15,W200X15,15,1910,200,100,4.3,5.2,12.8\n");
  const Output o = Tool("import-shapes '" + db + "' '" + si + "' --from aisc --replace");
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.out.find("has column h in in, the file in mm"), std::string::npos) << o.out;
  EXPECT_EQ(Rows(db, "W").size(), 2u);
  // A family without some of the file's columns is given them, with their units, in the same write.
  const std::string z = dir.Write("z-v1.csv", header + "Z,z2,z2,10,2.96,7.89,3.94,0.17,0.205,30.8\n");
  const Output given = Tool("import-shapes '" + db + "' '" + z + "' --from aisc");
  ASSERT_EQ(given.status, 0) << given.out;
  EXPECT_NE(given.out.find("columns added: Z.Standard"), std::string::npos) << given.out;
  auto zRows = Rows(db, "Z");
  ASSERT_EQ(zRows.size(), 2u);
  EXPECT_EQ(zRows["z2"]["h"], 7.89);
  EXPECT_EQ(zRows["z2"]["Standard"], "AISC Shapes Database v1 (US)");
  EXPECT_TRUE(zRows["z1"]["h"].is_null());
  EXPECT_EQ(zRows["z1"]["x"], 1.0);
  // The columns it was given fit the file in kind and unit: the same file again is refused only for its row.
  const Output again = Tool("import-shapes '" + db + "' '" + z + "' --from aisc");
  EXPECT_EQ(again.status, 1) << again.out;
  EXPECT_NE(again.out.find("line 2: z2 is in family Z already"), std::string::npos) << again.out;
  EXPECT_EQ(again.out.find("has column"), std::string::npos) << again.out;
}

TEST(ImportShapesTest, ProfilesCsvKeepsEachClassesOrderOfValues) {
  vdtest::TempDir dir;
  const std::string db = NewCatalog(dir, "fc.mdb");
  const Output o = Tool("import-shapes '" + db + "' --from freecad '" + kDir + "profiles.csv'");
  ASSERT_EQ(o.status, 0) << o.out;
  auto hea = Rows(db, "HEA")["HEA100"];  // width first for H
  EXPECT_EQ(hea["b"], 100.0);
  EXPECT_EQ(hea["h"], 96.0);
  EXPECT_TRUE(hea["r"].is_null() || !hea.contains("r"));
  auto upe = Rows(db, "UPE")["UPE80"];  // depth first for U
  EXPECT_EQ(upe["h"], 80.0);
  EXPECT_EQ(upe["b"], 50.0);
  EXPECT_EQ(Rows(db, "CHS").size(), 2u);
  EXPECT_FALSE(Rows(db, "Tee")["T50"].contains("Shape"));
  const Output v = Tool("verify '" + db + "' --json");
  EXPECT_EQ(v.status, 0) << v.out;
}

namespace {

std::string Num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.7g", v);
  return text;
}

// A row of the US file's columns below from a section's outline, properties as the polygon gives them.
std::string ShapeRow(const std::string& type, const std::string& name, const std::string& dims,
                     const vdtest::Props& p) {
  return type + "," + name + "," + name + "," + Num(3.4 * p.A) + "," + Num(p.A) + "," + dims + "," + Num(p.Iy) + "," +
         Num(p.Wply) + "," + Num(p.Wely) + "," + Num(std::sqrt(p.Iy / p.A)) + "," + Num(p.Iz) + "," + Num(p.Wplz) +
         "," + Num(p.Welz) + "," + Num(std::sqrt(p.Iz / p.A)) + "\n";
}

// The import of the made-up rows into `db` and what verify says of them.
void ImportAndVerifyMadeRows(const std::string& db, const std::string& source, double s, double t) {
  const Output imported = Tool("import-shapes '" + db + "' --from aisc '" + source + "'");
  ASSERT_EQ(imported.status, 0) << imported.out;
  EXPECT_NE(imported.out.find("MC: no shape (flange slope not in the file)"), std::string::npos) << imported.out;
  auto sRow = Rows(db, "S")["S12X35"];
  EXPECT_EQ(sRow["Shape"], "IT");
  EXPECT_NEAR(sRow["slope"].get<double>(), s, 1e-9);
  EXPECT_NEAR(sRow["u"].get<double>(), (5.25 - 0.46) / 4, 1e-9);
  EXPECT_NEAR(sRow["r"].get<double>(), 0.55, 1e-5);
  EXPECT_EQ(sRow["r2"], 0.0);
  auto cRow = Rows(db, "C")["C9X13"];
  EXPECT_EQ(cRow["Shape"], "UT");
  EXPECT_NEAR(cRow["u"].get<double>(), (2.6 - 0.24) / 2, 1e-9);
  EXPECT_NEAR(cRow["r"].get<double>(), 0.35, 1e-5);
  auto tube = Rows(db, "HSS")["HSS8X4X5/16"];
  EXPECT_EQ(tube["Shape"], "RHS");
  EXPECT_EQ(tube["ro"], 2 * t);
  EXPECT_EQ(tube["ri"], t);
  EXPECT_EQ(tube["b"], 4.0);
  EXPECT_FALSE(tube.contains("G"));  // the nominal wall's weight, not the design section's
  EXPECT_TRUE(tube["G_nom"].is_number());
  EXPECT_FALSE(Rows(db, "MC")["MC8X20"].contains("Shape"));

  const Output v = Tool("verify '" + db + "' --json --tolerance 0.5");
  EXPECT_EQ(v.status, 1) << v.out;
  const nlohmann::json report = nlohmann::json::parse(v.out);
  EXPECT_EQ(report["rows_checked"], 6) << v.out;
  EXPECT_EQ(report["rows_outside"], 1) << v.out;
  for (const auto& family : report["families"]) {
    const std::string name = family["family"].get<std::string>();
    if (name == "MC") {
      EXPECT_TRUE(family.contains("skipped")) << v.out;
      continue;
    }
    EXPECT_EQ(family["checked"], family["rows"]) << name;
    for (const auto& finding : family["outside"]) {
      EXPECT_EQ(finding["name"], "C9X13SWAPPED") << v.out;
      // Its u and r were derived from the exchanged tw and tf; the swap is named all the same.
      EXPECT_NE(finding["cause"].get<std::string>().find("swapped"), std::string::npos) << v.out;
    }
  }
}

}  // namespace

// Every kind of row the importer gives a shape, made up here with properties from a finely divided outline:
// the tapered S and C flanges (1:6, tf at the middle of the outstand, the root fillet ending at kdes, sharp
// toes), rectangular tubes with corners of 2t and t, and round ones. verify holds them at 0.5 % (torsion is
// not given), flags a row whose tw and tf are exchanged, and skips MC, which the summary says.
TEST(ImportShapesTest, TaperedFlangesAndTubesAreShapedAndVerify) {
  using vdtest::PolygonProps;
  const double s = 1.0 / 6, theta = std::atan(s);
  // Where a fillet of radius r between the web and a face sloping by theta meets the web, past the face.
  const auto along = [](double r, double slope) { return r * std::tan(M_PI / 4 - slope / 2); };
  std::string csv =
      "Type,EDI_Std_Nomenclature,AISC_Manual_Label,W,A,d,Ht,OD,bf,B,b,h,tw,tf,tdes,kdes,"
      "Ix,Zx,Sx,rx,Iy,Zy,Sy,ry\n";
  // W: parallel flanges, r = kdes - tf.
  csv += ShapeRow("W", "W12X28", "12.1,–,–,6.5,–,–,–,0.3,0.44,–,0.94",
                  PolygonProps(vdtest::TaperedI(12.1, 6.5, 0.3, 0.44, 0, 0, 0.5, 0)));
  // S: the face at the web is (bf - tw)/4 x slope thicker than tf.
  const double sRoot = 0.66 + s * (5.25 - 0.46) / 4, sK = sRoot + along(0.55, theta);
  csv += ShapeRow("S", "S12X35", "12,–,–,5.25,–,–,–,0.46,0.66,–," + Num(sK),
                  PolygonProps(vdtest::TaperedI(12, 5.25, 0.46, 0.66, s, (5.25 - 0.46) / 4, 0.55, 0)));
  // C, and the same channel with tw and tf exchanged in the row.
  const double cRoot = 0.41 + s * (2.6 - 0.24) / 2, cK = cRoot + along(0.35, theta);
  const vdtest::Props channel = PolygonProps(vdtest::TaperedU(9, 2.6, 0.24, 0.41, s, (2.6 - 0.24) / 2, 0.35, 0));
  csv += ShapeRow("C", "C9X13", "9,–,–,2.6,–,–,–,0.24,0.41,–," + Num(cK), channel);
  csv += ShapeRow("C", "C9X13SWAPPED", "9,–,–,2.6,–,–,–,0.41,0.24,–," + Num(cK), channel);
  csv += "MC,MC8X20,MC8X20,20,5.88,8,–,–,3.03,–,–,–,0.4,0.5,–,1,–,–,–,–,–,–,–,–\n";
  // Tubes: design wall tdes, corners 2t outside and t inside; the flat widths are stored apart.
  const double t = 0.291;
  csv += ShapeRow(
      "HSS", "HSS8X4X5/16", "–,8,–,–,4," + Num(4 - 3 * t) + "," + Num(8 - 3 * t) + ",–,–," + Num(t) + ",–",
      PolygonProps({vdtest::RoundedRect(8, 4, 2 * t, false), vdtest::RoundedRect(8 - 2 * t, 4 - 2 * t, t, true)}));
  const double od = 5, id = 5 - 2 * 0.233, a = M_PI / 4 * (od * od - id * id),
               i = M_PI / 64 * (std::pow(od, 4) - std::pow(id, 4));
  const vdtest::Props round{a,
                            i,
                            i,
                            i / (od / 2),
                            i / (od / 2),
                            (std::pow(od, 3) - std::pow(id, 3)) / 6,
                            (std::pow(od, 3) - std::pow(id, 3)) / 6};
  csv += ShapeRow("HSS", "HSS5X.250", "–,–,5,–,–,–,–,–,–,0.233,–", round);

  vdtest::TempDir dir;
  const std::string source = dir.Write("made-v1.csv", csv);
  std::vector<std::string> catalogs{NewCatalog(dir, "shapes.mdb")};
  std::unique_ptr<vdtest::ServerDatabase> server;  // and a catalog on the server when the run has one
  if (!vdtest::ServerBase().empty()) {
    server = std::make_unique<vdtest::ServerDatabase>();
    catalogs.push_back(server->Address("shapes"));
    EXPECT_EQ(Tool("create '" + catalogs.back() + "' --type t").status, 0);
  }
  for (const std::string& db : catalogs) {
    SCOPED_TRACE(db);
    ImportAndVerifyMadeRows(db, source, s, t);
  }
}

// A .blt collection in the part library's layout: each profile table it knows becomes a family named as the
// catalog names sections, the table's key an alias where spelt otherwise; a table of another class is skipped
// with a word; a damaged file is refused with its line and changes nothing.
TEST(ImportShapesTest, BoltsCollectionsBecomeFamiliesAndDamageIsNamedByLine) {
  vdtest::TempDir dir;
  const std::string db = NewCatalog(dir, "b.mdb");
  const std::string head = "---\nid: profile_test\nblt-version: 0.4\nclasses:\n";
  const std::string ipe =
      "  - id: ibeam_ipe\n"
      "    standards:\n"
      "      - {body: DIN, standard: DIN 1025-5}\n"
      "      - body: EN\n"
      "        standard: EN 19-57\n"
      "    parameters:\n"
      "        types: {type: Table Index, h: Length (mm), b: Length (mm), tw: Length (mm), tf: Length (mm),\n"
      "                r: Length (mm)}\n"
      "        tables:\n"
      "            index: type\n"
      "            columns: [h,b,tw,tf,r]\n"
      "            data:\n"
      "                #type   [  h    b    tw    tf   r ]\n"
      "                IPE200: [ 200, 100, 5.6, 8.5, 12 ]\n"
      "                \"IPE220\" : [ 220, 110, 5.9, 9.2, 12, ]  # a trailing comma is YAML too\n";
  const std::string rest =
      "  - id: hollow_square\n"
      "    parameters:\n"
      "        types:\n"
      "          type: Table Index\n"
      "          b: Length (mm)\n"
      "          t: Length (mm)\n"
      "        tables:\n"
      "          - index: type\n"
      "            columns: [b, t]\n"
      "            data:\n"
      "                60-5.0: [ 60, 5.0 ]\n"
      "                100-8.0: [ 100, 8.0 ]\n"
      "  - id: hexagonnut1\n"
      "    parameters:\n"
      "        types: {key: Table Index, s: Length (mm)}\n"
      "        tables: {index: key, columns: [s], data: {M10: [16]}}\n"
      "...\n";
  const Output o = Tool("import-shapes '" + db + "' '" + dir.Write("p.blt", head + ipe + rest) + "' --from bolts");
  ASSERT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("skipped 1 table of no profile this import knows: hexagonnut1"), std::string::npos) << o.out;
  auto ipeRows = Rows(db, "IPE");
  ASSERT_EQ(ipeRows.size(), 2u);
  EXPECT_EQ(ipeRows["IPE 220"]["tf"], 9.2);
  EXPECT_EQ(ipeRows["IPE 200"]["Standard"], "DIN 1025-5, EN 19-57 (BOLTS profile_test)");
  auto shs = Rows(db, "SHS")["SHS 100x100x8.0"];
  EXPECT_EQ(shs["Shape"], "RHS");
  EXPECT_EQ(shs["h"], 100.0);
  EXPECT_EQ(shs["ro"], 12.0);  // 1.5 t, as the tube's standard computes it
  const Output alias = Tool("show '" + db + "' 60-5.0");
  EXPECT_NE(alias.out.find("SHS 60x60x5.0 (alias 60-5.0)"), std::string::npos) << alias.out;
  const Output v = Tool("verify '" + db + "' --json");
  ASSERT_EQ(v.status, 0) << v.out;
  EXPECT_EQ(nlohmann::json::parse(v.out)["rows_checked"], 4) << v.out;

  const std::string families = Tool("families '" + db + "'").out;
  const std::string good = "                IPE200: [ 200, 100, 5.6, 8.5, 12 ]\n";
  const struct {
    std::string row, expected;
  } damaged[] = {
      {"                IPE200: [ 200, 100, 5.6, 8.5, 12\n", "line 18: a [ or { opened here is never closed"},
      {"                IPE200: [ 200, 100, 5.6 ]\n", "line 18: IPE200 needs a list of 5 values"},
      {"                IPE200: [ 200, 1OO, 5.6, 8.5, 12 ]\n", "line 18: IPE200: b is 1OO, which is no number"},
      {"               IPE200: [ 200, 100, 5.6, 8.5, 12 ]\n", "line 19: this line is indented more"},
      {good + good, "line 19: \"IPE200\" is given twice"},
      {"                IPE200: *row\n", "line 18: anchors, aliases and tags"},
  };
  for (const auto& d : damaged) {
    std::string text = head + ipe + rest;
    text.replace(text.find(good), good.size(), d.row);
    const std::string file = dir.Write("d.blt", text);
    const Output r = Tool("import-shapes '" + db + "' '" + file + "' --from bolts --prefix X_");
    EXPECT_EQ(r.status, 2) << d.expected << ": " << r.out;
    EXPECT_NE(r.out.find(file + ", " + d.expected), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("nothing was imported"), std::string::npos) << r.out;
    EXPECT_EQ(Tool("families '" + db + "'").out, families) << d.expected;
  }
}
