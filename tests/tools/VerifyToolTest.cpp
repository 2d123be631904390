// vdcatalog verify on a small catalog made for it: rows that hold, a row whose tw and tf were exchanged, a value
// stored in the wrong unit, and a family without a shape.

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

  // A looser tolerance does not forgive a swap, and one family alone can be asked for.
  EXPECT_EQ(Tool("verify '" + db + "' IPE --tolerance 5").status, 1);
  EXPECT_EQ(Tool("verify '" + db + "' Plates").status, 0);
  EXPECT_EQ(Tool("verify '" + db + "' Nothing").status, 1);
  EXPECT_EQ(Tool("verify '" + db + "' IPE --tolerance -1").status, 2);
}
