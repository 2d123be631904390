// A minimal host of the library: a factory of its own that makes flat plates ("PL 10x200") on the fly, a
// manager, two catalogs, lookups through the manager, and a purge of what the host no longer uses.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <string>
#include <vdpattern/vdpattern.h>

namespace {

// Plates are not stored anywhere: their name says everything ("PL <thickness>x<width>", in mm).
class CPlateFactory : public CVdPatternFactory {
 public:
  explicit CPlateFactory(CVdUnitManager* units) { m_pUnitManager = units; }

  CVdPattern* NewStandard(const CString& name, CVdPattern::enumCheckUserName* check) const override {
    double t = 0, b = 0;
    if (!Parse(name, t, b)) {
      if (check) *check = CVdPattern::eCheckUserNameRefused;
      return nullptr;
    }
    auto* plate = new CVdPattern(1, name, L"PL");
    plate->SetParam(0, L"t", t);
    plate->SetParam(0, L"b", b);
    plate->SetParam(0, L"A", t * b / 100.0);  // cm2
    if (check) *check = CVdPattern::eCheckUserNameOk;
    return plate;
  }

  // Recognises plate names without making a pattern.
  CVdPattern::enumCheckUserName GetParamPatternFromStandardCode(const wchar_t* code, CVdPattern**) override {
    double t = 0, b = 0;
    return Parse(code, t, b) ? CVdPattern::eCheckUserNameOk : CVdPattern::eCheckUserNameRefused;
  }

 private:
  static bool Parse(const wchar_t* name, double& t, double& b) {
    wchar_t rest = 0;
    return name && std::swscanf(name, L"PL %lfx%lf%lc", &t, &b, &rest) == 2 && t > 0 && b > 0;
  }
};

// Writes a small catalog with one family through the library.
std::string MakeCatalog(const std::string& folder, const wchar_t* stem, const wchar_t* family, const wchar_t* code,
                        const std::vector<std::pair<const wchar_t*, double>>& patterns) {
  const std::string path = folder + "/" + CString(stem).ToUtf8() + ".mdb";
  CString error;
  CVdCatalogSchema::CreateCatalog(CString(path.c_str()), L"Steel sections", L"host demo", 1, error);
  CVdCatalogSchema::AddFamily(CString(path.c_str()), family, code, {{L"h", L"DOUBLE", L"mm"}}, error);
  CVdPatternCatalog catalog(CString(path.c_str()));
  for (const auto& [name, h] : patterns) {
    CVdPattern p(1, name, family);
    p.SetParam(0, L"h", h);
    catalog.InsertPattern(&p, false);
  }
  return path;
}

std::vector<bool> UnusedExceptIpe200(std::wstring family, std::vector<std::wstring> names) {
  std::printf("  purge asks about %zu patterns of family \"%s\"\n", names.size(), CString(family).ToUtf8().c_str());
  std::vector<bool> removable;
  for (const auto& n : names) removable.push_back(n != L"IPE 200");
  return removable;
}

void Print(const char* what, CVdPattern* p) {
  if (!p) {
    std::printf("%-22s not found\n", what);
    return;
  }
  double h = 0, t = 0;
  p->GetParam(0, L"h", h);
  p->GetParam(0, L"t", t);
  std::printf("%-22s %s (family %s, catalog \"%s\", h=%g, t=%g)\n", what, p->GetUserNameW().ToUtf8().c_str(),
              p->GetFamily().ToUtf8().c_str(), p->GetCatalog().ToUtf8().c_str(), h, t);
}

}  // namespace

int main() {
  char folderTemplate[] = "/tmp/vdpattern-host-XXXXXX";
  const std::string folder = mkdtemp(folderTemplate);
  const std::string first = MakeCatalog(folder, L"beams", L"IPE", L"I", {{L"IPE 200", 200.0}, {L"IPE 220", 220.0}});
  const std::string second = MakeCatalog(folder, L"columns", L"HEA", L"HA", {{L"HEA 100", 96.0}, {L"IPE 200", 999.0}});

  // The host works in millimetres: 1000 host units per metre.
  CVdUnitManager units(1000.0);
  auto* factory = new CPlateFactory(&units);
  CVdPatternManager manager(factory);  // owns the factory
  manager.AttachCatalog(new CVdPatternCatalog(CString(first.c_str()), factory, false));
  manager.AttachCatalog(new CVdPatternCatalog(CString(second.c_str()), factory, false));
  std::printf("%d catalogs attached\n", manager.GetCountCatalog());

  CVdPattern::enumCheckUserName check = CVdPattern::eCheckUserNameOk;
  // Catalog patterns come from the first catalog that has them; the caller owns them.
  std::unique_ptr<CVdPattern> ipe(manager.GetPattern(L"IPE 200", CVdPattern::ePatternTypeCatalog, &check));
  Print("IPE 200:", ipe.get());
  // Units and decimal commas in a name are normalised before the catalogs are asked.
  std::unique_ptr<CVdPattern> hea(manager.GetPattern(L"HEA 100 mm", CVdPattern::ePatternTypeCatalog, &check));
  Print("HEA 100 mm:", hea.get());
  // Standard patterns are made by the factory.
  std::unique_ptr<CVdPattern> plate(manager.GetPattern(L"PL 10x200", CVdPattern::ePatternTypeStandard, &check));
  Print("PL 10x200:", plate.get());

  // The pool keeps what the host uses; a lookup answers from it first.
  manager.AddPatternPool(ipe.release(), false);
  manager.AddPatternPool(hea.release(), false);
  manager.AddPatternPool(plate.release(), false);
  std::printf("pool holds %d patterns\n", manager.GetCountPool());
  Print("IPE 200 (pool):", manager.GetPattern(L"IPE 200", CVdPattern::ePatternTypeCatalog, &check));

  int count = 0;
  manager.Purge(std::wstring(), &UnusedExceptIpe200, count);
  std::printf("purged %d patterns, pool holds %d\n", count, manager.GetCountPool());

  std::filesystem::remove_all(folder);
  return manager.GetCountPool() == 1 ? EXIT_SUCCESS : EXIT_FAILURE;
}
