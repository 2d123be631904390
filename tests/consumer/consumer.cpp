// An outside program built against an installed copy: it derives a pattern class and checks that the library
// calls its overrides.
#include <cstdio>
#include <vdpattern/vdpattern.h>

namespace {

class CHostPattern : public CVdPattern {
 public:
  CHostPattern() : CVdPattern(2, L"PL 10x200", L"Plates") {}
  CHostPattern& operator=(const CHostPattern&) = default;
  bool UpdateDescription(int, const std::wstring&, CVdPatternValue*) override {
    ++described;
    return true;
  }
  int GetMapOfAttribute(const wchar_t* attribute) override { return attribute[0] == L'g' ? 1 : 0; }
  int described = 0;
};

}  // namespace

int main() {
  CHostPattern a;
  a.SetParam(a.GetMapOfAttribute(L"t"), L"t", 10.0);
  a.SetParam(a.GetMapOfAttribute(L"grade"), L"grade", L"S235");
  CHostPattern b;
  b = a;
  const bool ok = a.described == 2 && b.described == 2 && b.GetSizeParam(1) == 1 && b.IsEqual(a, true, true) == 1;
  std::printf("%s\n", ok ? "consumer ok" : "consumer FAILED");
  return ok ? 0 : 1;
}
