// vdcatalog verify on a small catalog made for it: rows that hold, rows whose tw and tf were exchanged (parallel
// and tapered flanges), a value stored in the wrong unit, and a family without a shape.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

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

}  // namespace

TEST(VerifyToolTest, FindsSwapsUnitSlipsAndSkipsFamiliesWithoutShape) {
  vdtest::TempDir dir;
  const std::string db = dir.File("v.mdb");
  ASSERT_EQ(Tool("create '" + db + "' --type t").status, 0);
  ASSERT_EQ(Tool("add-family '" + db +
                 "' IPE --code I --column Shape:TEXT --column h:DOUBLE:mm --column b:DOUBLE:mm "
                 "--column tw:DOUBLE:mm --column tf:DOUBLE:mm --column r:DOUBLE:mm --column A:DOUBLE:cm2 "
                 "--column Iy:DOUBLE:cm4 --column Wy:DOUBLE:cm3")
                .status,
            0);
  // IPE 200 as published; IPE 220 with its tw and tf exchanged against its properties (its area happens to
  // hold either way); IPE 240 with Iy in mm4
  // under a cm4 label (10^4 times).
  const std::string csv = dir.Write("ipe.csv",
                                    "Name,Shape,h,b,tw,tf,r,A,Iy,Wy\n"
                                    "IPE 200,I,200,100,5.6,8.5,12,28.48,1943,194.3\n"
                                    "IPE 220,I,220,110,9.2,5.9,12,33.37,2772,252.0\n"
                                    "IPE 240,I,240,120,6.2,9.8,15,39.12,38920000,324.3\n");
  ASSERT_EQ(Tool("import '" + db + "' IPE '" + csv + "'").status, 0);
  ASSERT_EQ(Tool("add-family '" + db + "' Plates --code P --column h:DOUBLE:mm").status, 0);
  const std::string plain = dir.Write("plain.csv", "Name,h\nPL 10,10\n");
  ASSERT_EQ(Tool("import '" + db + "' Plates '" + plain + "'").status, 0);

  const Output all = Tool("verify '" + db + "' --json");
  ASSERT_EQ(all.status, 1) << all.out;
  const auto j = nlohmann::json::parse(all.out);
  EXPECT_EQ(j["rows_checked"], 3);
  EXPECT_EQ(j["rows_outside"], 2);
  std::map<std::string, std::string> causes;
  for (const auto& family : j["families"]) {
    if (family["family"] == "Plates") {
      EXPECT_TRUE(family.contains("skipped"));
      continue;
    }
    for (const auto& f : family["outside"])
      causes[f["name"].get<std::string>() + "/" + f["property"].get<std::string>()] = f["cause"];
  }
  EXPECT_EQ(causes.count("IPE 200/A") + causes.count("IPE 200/Iy") + causes.count("IPE 200/Wy"), 0u);
  EXPECT_NE(causes["IPE 220/Iy"].find("swapped"), std::string::npos) << all.out;
  EXPECT_NE(causes["IPE 240/Iy"].find("10000"), std::string::npos) << all.out;
  EXPECT_EQ(causes.count("IPE 240/A"), 0u);

  // Tapered flanges (an S beam and a C channel) with tf measured at the middle of the outstand: exchanging tw
  // and tf there moves u with tw, as the table that exchanged them placed it.
  ASSERT_EQ(Tool("add-family '" + db +
                 "' SC --code S --column Shape:TEXT --column h:DOUBLE:in --column b:DOUBLE:in --column tw:DOUBLE:in "
                 "--column tf:DOUBLE:in --column r:DOUBLE:in --column r2:DOUBLE:in --column slope:DOUBLE "
                 "--column u:DOUBLE:in --column A:DOUBLE:in2 --column Iy:DOUBLE:in4 --column Iz:DOUBLE:in4")
                .status,
            0);
  const std::string sc = dir.Write("sc.csv",
                                   "Name,Shape,h,b,tw,tf,r,r2,slope,u\n"
                                   "S12X35,IT,12,5.25,0.46,0.66,0.55,0,0.1666666667,1.1975\n"
                                   "C9X13,UT,9,2.6,0.24,0.41,0.35,0,0.1666666667,1.18\n");
  ASSERT_EQ(Tool("import '" + db + "' SC '" + sc + "'").status, 0);
  ASSERT_EQ(Tool("compute '" + db + "' SC").status, 0);
  ASSERT_EQ(Tool("verify '" + db + "' SC").status, 0);
  ASSERT_EQ(Tool("set '" + db + "' SC S12X35 tw=0.66 tf=0.46 u=1.1475").status, 0);
  ASSERT_EQ(Tool("set '" + db + "' SC C9X13 tw=0.41 tf=0.24 u=1.095").status, 0);
  const auto tapered = nlohmann::json::parse(Tool("verify '" + db + "' SC --json").out);
  for (const char* name : {"S12X35", "C9X13"}) {
    std::size_t found = 0;
    for (const auto& f : tapered["families"][0]["outside"])
      if (f["name"] == name) found += f["cause"].get<std::string>().find("swapped") != std::string::npos ? 1 : 100;
    EXPECT_GE(found, 1u) << name << ": " << tapered.dump();
    EXPECT_LT(found, 100u) << name << ": " << tapered.dump();
  }

  // A looser tolerance does not forgive a swap, and one family alone can be asked for.
  EXPECT_EQ(Tool("verify '" + db + "' IPE --tolerance 5").status, 1);
  EXPECT_EQ(Tool("verify '" + db + "' Plates").status, 0);
  EXPECT_EQ(Tool("verify '" + db + "' Nothing").status, 1);
  EXPECT_EQ(Tool("verify '" + db + "' IPE --tolerance -1").status, 2);
}

// compute fills only what is missing, in the columns' units, adds the property columns a family lacks when
// asked, and writes nothing when one row cannot be computed.
TEST(VerifyToolTest, ComputeFillsMissingPropertiesAllOrNothing) {
  vdtest::TempDir dir;
  const std::string db = dir.File("c.mdb");
  ASSERT_EQ(Tool("create '" + db + "' --type t").status, 0);
  ASSERT_EQ(Tool("add-family '" + db +
                 "' IPE --code I --column Shape:TEXT --column h:DOUBLE:mm --column b:DOUBLE:mm "
                 "--column tw:DOUBLE:mm --column tf:DOUBLE:mm --column r:DOUBLE:mm --column A:DOUBLE:cm2 "
                 "--column Iy:DOUBLE:cm4")
                .status,
            0);
  const std::string csv = dir.Write("ipe.csv",
                                    "Name,Shape,h,b,tw,tf,r,A,Iy\n"
                                    "IPE 200,I,200,100,5.6,8.5,12,,1943\n"
                                    "IPE 220,I,220,110,5.9,9.2,12,33.37,\n");
  ASSERT_EQ(Tool("import '" + db + "' IPE '" + csv + "'").status, 0);
  auto value = [&](const std::string& name, const std::string& column) {
    const auto j = nlohmann::json::parse(Tool("show '" + db + "' '" + name + "' --json").out, nullptr, false);
    for (const auto& p : j.value("parameters", nlohmann::json::array()))
      if (p.value("name", "") == column) return p["value"].is_number() ? p["value"].get<double>() : -1.0;
    return -2.0;  // no such column
  };
  const Output filled = Tool("compute '" + db + "' IPE");
  ASSERT_EQ(filled.status, 0) << filled.out;
  EXPECT_NE(filled.out.find("filled 2 values"), std::string::npos) << filled.out;
  EXPECT_NEAR(value("IPE 200", "A"), 28.48, 0.03);
  EXPECT_NEAR(value("IPE 220", "Iy"), 2772, 3);
  EXPECT_EQ(value("IPE 220", "A"), 33.37);  // stored values stay as they are

  // A row that cannot be computed: neither columns nor values are written.
  ASSERT_EQ(Tool("set '" + db + "' IPE 'IPE 80' Shape=Z h=80").status, 0);
  const Output refused = Tool("compute '" + db + "' IPE --add-columns");
  EXPECT_EQ(refused.status, 2) << refused.out;
  EXPECT_NE(refused.out.find("IPE 80"), std::string::npos) << refused.out;
  EXPECT_EQ(value("IPE 200", "Iz"), -2.0);
  ASSERT_EQ(Tool("rm '" + db + "' 'IPE 80'").status, 0);

  const Output added = Tool("compute '" + db + "' IPE --add-columns");
  ASSERT_EQ(added.status, 0) << added.out;
  EXPECT_NEAR(value("IPE 200", "Iz"), 142.4, 0.3);  // cm4, as Iy is
  EXPECT_NEAR(value("IPE 200", "i_y"), 82.6, 0.2);  // mm, the engine's
  EXPECT_EQ(Tool("verify '" + db + "' IPE").status, 0);
  EXPECT_EQ(Tool("compute '" + db + "' Nothing").status, 1);
}
