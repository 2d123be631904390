#include <vdpattern/pattern/VdPatternValue.h>

#include <algorithm>
#include <new>
#include <ostream>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VariantConv.h>

namespace {

const CString* ValueClassName() {
  static const CString* name = CVdObject::InternClassName(L"CVdPatternValue");
  return name;
}

// Clears a temporary VARIANT on every path out of a scope.
struct VariantGuard {
  VARIANT var;
  VariantGuard() { VariantInit(&var); }
  ~VariantGuard() { VariantClear(&var); }
};

}  // namespace

CVdPatternValue::CVdPatternValue() { SetInternedClassName(ValueClassName()); }

CVdPatternValue::CVdPatternValue(const VARIANT& source) : COleVariant(source) {
  SetInternedClassName(ValueClassName());
}

CVdPatternValue::CVdPatternValue(const COleVariant& source) : COleVariant(source) {
  SetInternedClassName(ValueClassName());
}

CVdPatternValue::CVdPatternValue(const VARIANT* source) : COleVariant(source) {
  SetInternedClassName(ValueClassName());
}

CVdPatternValue::CVdPatternValue(unsigned char value) : COleVariant(static_cast<BYTE>(value)) {
  SetInternedClassName(ValueClassName());
}

CVdPatternValue::CVdPatternValue(short value, unsigned short type) : COleVariant(value, type) {
  SetInternedClassName(ValueClassName());
}

CVdPatternValue::CVdPatternValue(long value, unsigned short) : COleVariant(value, VT_I4) {
  SetInternedClassName(ValueClassName());
}

CVdPatternValue::CVdPatternValue(const COleCurrency& value) : COleVariant(value) {
  SetInternedClassName(ValueClassName());
}

CVdPatternValue::CVdPatternValue(float value) : COleVariant(value) { SetInternedClassName(ValueClassName()); }

CVdPatternValue::CVdPatternValue(double value) : COleVariant(value) { SetInternedClassName(ValueClassName()); }

CVdPatternValue::CVdPatternValue(const COleDateTime& value) : COleVariant(value) {
  SetInternedClassName(ValueClassName());
}

CVdPatternValue::CVdPatternValue(const wchar_t* text, unsigned short type) : COleVariant(text, type) {
  SetInternedClassName(ValueClassName());
}

CVdPatternValue::CVdPatternValue(unsigned char* bytes, unsigned long length) {
  SetInternedClassName(ValueClassName());
  VariantGuard block;
  PutBinaryIntoVariant(&block.var, bytes, length);
  const CVdPatternValue temporary(block.var);
  *this = temporary;
}

CVdPatternValue::CVdPatternValue(const CVdPatternValue& other) : COleVariant(), CVdObject() { *this = other; }

CVdPatternValue::~CVdPatternValue() = default;

CVdObject* CVdPatternValue::GetClone() const {
  auto clone = std::make_unique<CVdPatternValue>();
  *clone = *this;
  return clone.release();
}

CVdPatternValue& CVdPatternValue::operator=(const CVdPatternValue& other) {
  if (this == &other) return *this;
  COleVariant::operator=(static_cast<const VARIANT&>(other));
  CVdObject::operator=(other);
  m_annotation = other.m_annotation ? std::make_unique<Annotation>(*other.m_annotation) : nullptr;
  return *this;
}

bool CVdPatternValue::operator==(const CVdPatternValue& other) const {
  return VdCompareNoCase(Description(), other.Description()) == 0 && VdCompareNoCase(Abrev(), other.Abrev()) == 0;
}

namespace {
const std::wstring& EmptyText() {
  static const std::wstring empty;
  return empty;
}
}  // namespace

const std::wstring& CVdPatternValue::Description() const {
  return m_annotation ? m_annotation->description : EmptyText();
}

const std::wstring& CVdPatternValue::Abrev() const { return m_annotation ? m_annotation->abrev : EmptyText(); }

CVdPatternValue::Annotation& CVdPatternValue::Annotate() {
  if (!m_annotation) m_annotation = std::make_unique<Annotation>();
  return *m_annotation;
}

void CVdPatternValue::GetDescription(std::wstring& out) const { out = Description(); }
void CVdPatternValue::GetAbrev(std::wstring& out) const { out = Abrev(); }

void CVdPatternValue::SetDescription(const std::wstring& text) {
  if (!text.empty() || m_annotation) Annotate().description = text;
}

void CVdPatternValue::SetAbrev(const std::wstring& text) {
  if (!text.empty() || m_annotation) Annotate().abrev = text;
}

bool CVdPatternValue::operator!=(const CVdPatternValue& other) const { return !operator==(other); }

unsigned long CVdPatternValue::GetStruct(unsigned char** out, VARIANT* var) {
  const VARIANT* v = var ? var : static_cast<const VARIANT*>(this);
  if (!out || v->vt != (VT_ARRAY | VT_UI1) || !v->parray) return 0;
  SAFEARRAY* array = v->parray;
  const unsigned long n = array->cDims ? array->rgsabound[0].cElements : 0;
  auto* bytes = new (std::nothrow) unsigned char[n];
  if (!bytes) return 0;
  *out = bytes;
  void* data = nullptr;
  if (n && SUCCEEDED(SafeArrayAccessData(array, &data))) {
    std::copy_n(static_cast<const unsigned char*>(data), n, bytes);
    SafeArrayUnaccessData(array);
  }
  return n;
}

std::ostream& operator<<(std::ostream& os, const CVdPatternValue& value) {
  std::wstring description, abrev;
  value.GetDescription(description);
  value.GetAbrev(abrev);
  return os << value.ClassName().ToUtf8() << " Desc=" << VdToUtf8(description) << ", ShortName=" << VdToUtf8(abrev);
}
