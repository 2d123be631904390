// vdcatalog watch: the changes another connection commits are printed while the command runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pattern/VdPattern.h>

#include "support/CatalogBuilder.h"
#include "support/TestDb.h"

namespace {

class CatalogWatchTool : public vdtest::DbTest {};

}  // namespace

TEST_F(CatalogWatchTool, PrintsTheChangesOfAnotherConnectionAsTheyAreCommitted) {
  const std::string catalog =
      MakeCatalog("watched.mdb", vdtest::CatalogBuilder().AddFamily("IPE", "I", "h DOUBLE", "('IPE 200', 200)"));
  // From record 0, so that the edits below are printed whether they land before or after the first look.
  const std::string command = std::string("timeout -k 5 60 '") + VDCATALOG_PATH + "' watch '" + catalog +
                              "' --since 0 --count 2 --interval 20 2>&1";
  FILE* watch = popen(command.c_str(), "r");
  ASSERT_NE(watch, nullptr);
  {
    CVdPatternCatalog other{CString(catalog.c_str())};
    ASSERT_TRUE(other.IsOpened());
    CVdPattern added(1, L"IPE 220", L"IPE");
    added.SetParam(0, L"h", 220.0);
    ASSERT_TRUE(other.InsertPattern(&added, false));
    ASSERT_TRUE(other.RemovePattern(L"IPE 200", L"IPE"));
  }
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, watch)) out += buffer;
  EXPECT_EQ(pclose(watch), 0) << out;
  EXPECT_EQ(out, "1\tinsert\tIPE\tIPE 220\n2\tremove\tIPE\tIPE 200\n");
}
