// A small tour of the pattern model: build two steel sections, copy one, compare, and print them.

#include <iostream>
#include <memory>
#include <sstream>
#include <vdpattern/vdpattern.h>

namespace {

// A host's pattern class: it names its parameters as it stores them.
class CSectionPattern : public CVdPattern {
 public:
  CSectionPattern(const wchar_t* name) : CVdPattern(1, name, L"IPE") {}
  CSectionPattern& operator=(const CSectionPattern&) = default;
  CVdPattern* GetClone() const override { return new CSectionPattern(*this); }
  bool UpdateDescription(int group, const std::wstring& name, CVdPatternValue* value) override {
    return SetMatchingDescription(group, name, value, L"h", L"Height", L"h") ||
           SetMatchingDescription(group, name, value, L"b", L"Width", L"b") ||
           SetMatchingDescription(group, name, value, L"tw", L"Web thickness", L"tw");
  }

 private:
  CSectionPattern(const CSectionPattern& other) : CVdPattern(other) {}
};

void Print(const wchar_t* title, const CVdPattern& pattern) {
  std::wostringstream text;
  text << pattern;
  std::cout << CString(title).ToUtf8() << "\n" << CString(text.str()).ToUtf8();
}

}  // namespace

int main() {
  CSectionPattern ipe200(L"IPE 200");
  ipe200.SetParam(0, L"H", 200.0);
  ipe200.SetParam(0, L"B", 100.0);
  ipe200.SetParam(0, L"tw", 5.6);
  ipe200.SetParam(0, L"Grade", L"S235");

  CSectionPattern ipe220(L"IPE 220");
  ipe220 = ipe200;  // same content, own GUID
  ipe220.SetUserName(L"IPE 220");
  ipe220.SetParam(0, L"h", 220.0);
  ipe220.SetParam(0, L"b", 110.0);

  std::unique_ptr<CVdPattern> copy(ipe200.GetClone());

  Print(L"IPE 200:", ipe200);
  Print(L"IPE 220 (assigned from IPE 200, then changed):", ipe220);

  CVdPatternValue* height = nullptr;
  ipe220.GetValue(0, L"H", &height);
  std::cout << "IPE 220 height value: " << *height << " = " << VariantToString(height).ToUtf8() << "\n";

  std::cout << "clone equal by content: " << ipe200.IsEqual(*copy, true, true) << "\n";
  std::cout << "clone has its own GUID: " << (copy->GetGUID() != ipe200.GetGUID() ? "yes" : "no") << "\n";
  std::cout << "IPE 200 vs IPE 220 by content: " << ipe200.IsEqual(ipe220, false, true) << "\n";
  std::cout << "IPE 200 sorts before IPE 220: " << (ipe200 < ipe220 ? "yes" : "no") << "\n";
  return 0;
}
