#pragma once
// Shared pieces of the manager tests: a factory that makes flat plates ("PL 10x200") from their standard names,
// a catalog and a factory that count what happens to them, and three small catalog files built per test.
//
// The catalogs (families listed in name order by the toolkit):
//   Alpha: Beams (B 1), CHS (CHS 48.3x3.2), HEA (HEA 100 height 96, HEA 120)
//   Beta:  HEA (HEA 100 height 100), IPE (IPE 200), Plates (PL 10x200)
//   Gamma: Angles (L 50x50x5), Beams (B 2)
// so "HEA 100" is in two catalogs, and "PL 10x200" is both a catalog row and a standard plate.

#include <cwchar>
#include <cwctype>
#include <memory>
#include <string>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/factory/VdPatternFactory.h>
#include <vdpattern/manager/VdPatternManager.h>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/pool/VdPatternPool.h>

#include "support/TestDb.h"

namespace mgrtest {

// What the counting classes saw; reset before every test.
struct Counts {
  int factoriesDestroyed = 0;
  int catalogsDestroyed = 0;
  int catalogLookups = 0;  // CCountedCatalog::GetPattern calls
  int platesAlive = 0;     // CPlate objects not yet destroyed
};
inline Counts g_counts;

// A standard flat plate: family Plates, parameters thickness and width, the canonical name "PL <t>x<w>".
class CPlate : public CVdPattern {
 public:
  CPlate(double thickness, double width) : CVdPattern(1, nullptr, L"Plates") {
    wchar_t name[64];
    std::swprintf(name, 64, L"PL %gx%g", thickness, width);
    SetUserName(name);
    SetParam(0, L"thickness", thickness);
    SetParam(0, L"width", width);
    ++g_counts.platesAlive;
  }
  CPlate(const CPlate& other) : CVdPattern(other) { ++g_counts.platesAlive; }
  ~CPlate() override { --g_counts.platesAlive; }
  CVdPattern* GetClone() const override { return new CPlate(*this); }
};

// Reads "PL <t>x<w>" ignoring case and blanks: "pl10X200" and "PL 10 x 200" are the same plate.
inline bool ParsePlate(const wchar_t* text, double& thickness, double& width) {
  std::wstring s;
  for (const wchar_t* c = text ? text : L""; *c; ++c)
    if (*c != L' ') s += static_cast<wchar_t>(std::towlower(*c));
  if (s.compare(0, 2, L"pl") != 0) return false;
  wchar_t* end = nullptr;
  thickness = std::wcstod(s.c_str() + 2, &end);
  if (end == s.c_str() + 2 || *end != L'x') return false;
  const wchar_t* second = end + 1;
  width = std::wcstod(second, &end);
  return end != second && *end == L'\0' && thickness > 0 && width > 0;
}

// A host's factory: plates are standard patterns; catalogs of the type "Foreign" are refused.
class CPlateFactory : public CVdPatternFactory {
 public:
  ~CPlateFactory() override { ++g_counts.factoriesDestroyed; }

  CVdPattern* NewStandard(const CString& name, CVdPattern::enumCheckUserName* check) const override {
    ++newStandardCalls;
    double t = 0, w = 0;
    if (!ParsePlate(name, t, w)) {
      if (check) *check = CVdPattern::eCheckUserNameRefused;
      return nullptr;
    }
    if (check) *check = CVdPattern::eCheckUserNameOk;
    return new CPlate(t, w);
  }
  CVdPattern::enumCheckUserName GetParamPatternFromStandardCode(const wchar_t* code, CVdPattern** pattern) override {
    double t = 0, w = 0;
    if (!ParsePlate(code, t, w)) return CVdPattern::eCheckUserNameRefused;
    if (pattern) *pattern = new CPlate(t, w);
    return CVdPattern::eCheckUserNameOk;
  }
  bool IsValidCatalog(CString typeName) const override { return typeName.CompareNoCase(L"Foreign") != 0; }

  mutable int newStandardCalls = 0;
};

// A catalog that counts its destruction and the pattern lookups it answers.
class CCountedCatalog : public CVdPatternCatalog {
 public:
  using CVdPatternCatalog::CVdPatternCatalog;
  ~CCountedCatalog() override { ++g_counts.catalogsDestroyed; }
  CVdPattern* GetPattern(const wchar_t* name, const wchar_t* family) override {
    ++g_counts.catalogLookups;
    return CVdPatternCatalog::GetPattern(name, family);
  }
};

// The height parameter of a catalog pattern (-1 when missing).
inline double Height(CVdPattern* p) {
  double h = -1;
  if (p) p->GetParam(0, L"height", h);
  return h;
}

inline std::wstring Text(const CString& s) { return s.str(); }

// The catalog of a pattern a lookup made, which is deleted here; "<none>" when the lookup found nothing.
inline std::wstring CatalogOf(CVdPattern* made) {
  std::unique_ptr<CVdPattern> p(made);
  return p ? Text(p->GetCatalog()) : L"<none>";
}

// A manager built on a counting plate factory, which it owns; `factory` stays valid while the manager lives.
struct PlateManager {
  CPlateFactory* factory = new CPlateFactory;
  CVdPatternManager manager{factory};
};

class ManagerTest : public vdtest::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    if (IsSkipped()) return;
    g_counts = Counts();
    alpha = MakeCatalog("Alpha.mdb", vdtest::CatalogBuilder()
                                         .SetDefinition("VdCatalog", 3, "2001/01/01", "Acme")
                                         .AddFamily("HEA", "HEA", "Height DOUBLE", "('HEA 100', 96), ('HEA 120', 114)")
                                         .AddFamily("CHS", "CHS", "D DOUBLE, T DOUBLE", "('CHS 48.3x3.2', 48.3, 3.2)")
                                         .AddFamily("Beams", "BM", "Height DOUBLE", "('B 1', 1)"));
    beta = MakeCatalog("Beta.mdb",
                       vdtest::CatalogBuilder()
                           .SetDefinition("VdCatalog", 3, "2001/01/01", "Bolt & Co")
                           .AddFamily("HEA", "HEA", "Height DOUBLE", "('HEA 100', 100)")
                           .AddFamily("IPE", "IPE", "Height DOUBLE", "('IPE 200', 200)")
                           .AddFamily("Plates", "PL", "Thickness DOUBLE, Width DOUBLE", "('PL 10x200', 10, 200)"));
    gamma = MakeCatalog("Gamma.mdb", vdtest::CatalogBuilder()
                                         .SetDefinition("VdCatalog", 3, "2001/01/01", "Alpha")
                                         .AddFamily("Angles", "L", "Height DOUBLE", "('L 50x50x5', 50)")
                                         .AddFamily("Beams", "BM", "Height DOUBLE", "('B 2', 2)"));
  }

  // Opens the catalog file and attaches it; the test fails when the manager refuses it.
  CCountedCatalog* Attach(CVdPatternManager& target, const std::string& path) {
    auto catalog = std::make_unique<CCountedCatalog>(CString(path.c_str()));
    EXPECT_TRUE(catalog->IsOpened()) << path;
    if (!target.AttachCatalog(catalog.get())) {
      ADD_FAILURE() << "refused: " << path;
      return nullptr;
    }
    return catalog.release();
  }
  void AttachAll(CVdPatternManager& target) {
    Attach(target, alpha);
    Attach(target, beta);
    Attach(target, gamma);
  }

  std::string alpha, beta, gamma;
  PlateManager pm;  // the manager most tests use, empty until they attach catalogs
  CVdPatternManager& manager = pm.manager;
};

}  // namespace mgrtest
