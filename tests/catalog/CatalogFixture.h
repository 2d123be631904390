#pragma once
// Shared by the catalog tests: a standard catalog file, a factory that records what the catalog hands it, and
// small helpers.

#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/VariantConv.h>

#include "support/ReportCapture.h"
#include "support/TestDb.h"

namespace cattest {

// A factory that records each row read ("FAMILY/CODE" as handed over, " units" when asked to convert), can
// refuse every write, accepts only catalogs of type "VdCatalog", can rename parameters, and counts its
// destruction.
class CRecordingFactory : public CVdPatternFactory {
 public:
  explicit CRecordingFactory(CVdUnitManager* units = nullptr, int* destroyed = nullptr) : m_destroyed(destroyed) {
    m_pUnitManager = units;
  }
  ~CRecordingFactory() override {
    if (m_destroyed) ++*m_destroyed;
  }

  CVdPattern* CreatePatternFromTable(CVdRecordset* rs, const wchar_t* family, const wchar_t* code,
                                     std::map<std::wstring, UNITINFO> units, bool useUnits) override {
    reads.push_back(std::wstring(family ? family : L"<null>") + L"/" + (code ? code : L"<null>") +
                    (useUnits ? L" units" : L""));
    return CVdPatternFactory::CreatePatternFromTable(rs, family, code, std::move(units), useUnits);
  }
  bool ModifyTableFromPattern(CVdRecordset* rs, CVdPattern* pattern, const wchar_t* code,
                              std::map<std::wstring, UNITINFO> units, bool useUnits) override {
    if (refuseWrites) return false;
    return CVdPatternFactory::ModifyTableFromPattern(rs, pattern, code, std::move(units), useUnits);
  }
  bool IsValidCatalog(CString typeName) const override { return typeName == L"VdCatalog"; }
  std::wstring GetMappedName(const wchar_t* column, unsigned int index) override {
    const auto it = renames.find(column ? column : L"");
    return it != renames.end() ? it->second : CVdPatternFactory::GetMappedName(column, index);
  }

  std::vector<std::wstring> reads;
  bool refuseWrites = false;
  std::map<std::wstring, std::wstring> renames;

 private:
  int* m_destroyed;
};

// Angles (no code), Beams (code "he"), Channels ("upn"), the special tables Types and Paste Errors, and units
// for Beams and Channels. "SHARED 1" is in Beams and Channels; "TYPE ONLY" and "PASTE ONLY" only in special
// tables. Tables are listed in name order: Angles, Beams, Channels.
inline vdtest::CatalogBuilder StandardCatalog() {
  vdtest::CatalogBuilder b;
  b.AddFamily("Beams", "he", "Height DOUBLE, Width DOUBLE, Area DOUBLE, Series TEXT",
              "('HE 100', 100, 100, 26, 'HEA'), ('HE 200', 200, 200, 53.8, 'HEA'), ('HEB 300', 300, 300, 149, 'HEB'),"
              " ('O''Neil', 1, 2, 3, 'X'), ('SHARED 1', 10, 10, 10, 'S')");
  b.AddFamily("Channels", "upn", "Height DOUBLE, Width DOUBLE",
              "('UPN 80', 80, 45), ('UPN 100', 100, 50), ('SHARED 1', 20, 20)");
  b.AddFamily("Angles", "", "Height DOUBLE", "('L 50', 50)");
  b.AddTable("Types", "Kind TEXT", "('TYPE ONLY', 'x')");
  b.AddTable("Paste Errors", "Kind TEXT", "('PASTE ONLY', 'x')");
  b.SetUnits("Beams", {{"Height", "mm"}, {"Area", "cm2"}});
  b.SetUnits("Channels", {{"Height", "mm"}});
  return b;
}

// The standard catalog in "steel.mdb".
class CatalogFile : public vdtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (!IsSkipped()) Rewrite(StandardCatalog());
  }

  std::unique_ptr<CVdPatternCatalog> Open(CVdPatternFactory* factory = nullptr, bool owns = true) {
    return std::make_unique<CVdPatternCatalog>(Wide(m_file).c_str(), factory, owns);
  }
  // Replaces the standard catalog file with another.
  void Rewrite(const vdtest::CatalogBuilder& builder) { m_file = MakeCatalog("steel.mdb", builder); }
  std::string Cell(const std::string& sql) const { return vdtest::QueryText(m_file, sql); }

  static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

  std::string m_file;
};

// Today's local date as the catalog stamps it.
inline std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y/%m/%d", &local);
  return text;
}

inline double Number(CVdPattern& p, const wchar_t* name) {
  CVdPatternValue* v = nullptr;
  if (!p.GetFixedParam(0, name, &v) || !v) return -1;
  return VariantToDouble(v);
}

}  // namespace cattest
