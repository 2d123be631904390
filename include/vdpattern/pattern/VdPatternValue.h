#pragma once
// CVdPatternValue: the value of one pattern parameter, an OLE variant (number, text, date, currency, byte
// block, ...) with a free-text description and a short abbreviation. A value knows neither its parameter's name
// (the key under which a pattern stores it) nor its unit (applied by the factory before the value is made).
//
// Ownership: the value owns its variant payload (a BSTR or SAFEARRAY is released when the value is cleared,
// overwritten or destroyed). Patterns hold values by pointer and own them. GetClone returns a new value that
// the caller owns and deletes through the virtual destructor. Instances are used by one thread at a time.
//
// Choices:
// - operator== compares the description and the abbreviation ignoring case, never the contents; content
//   equality is CVdPattern::IsEqual's.
// - The narrow stream output writes UTF-8, so every wide character has a narrow form.
// - The (text, type) constructor always makes VT_BSTR.

#include <iosfwd>
#include <memory>
#include <string>
#include <vdpattern/VdPatternExport.h>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/VdObject.h>

class VDPATTERN_EXPORT CVdPatternValue : public COleVariant, public CVdObject {
 public:
  CVdPatternValue();
  CVdPatternValue(const VARIANT& source);
  CVdPatternValue(const COleVariant& source);
  CVdPatternValue(const VARIANT* source);
  CVdPatternValue(unsigned char value);
  // VT_BOOL gives a boolean (non-zero is true); any other type gives VT_I2.
  CVdPatternValue(short value, unsigned short type);
  // Always VT_I4: the type is accepted and not consulted.
  CVdPatternValue(long value, unsigned short type);
  CVdPatternValue(const COleCurrency& value);
  CVdPatternValue(float value);
  CVdPatternValue(double value);
  // VT_DATE with the date's day number; its validity status is not carried over.
  CVdPatternValue(const COleDateTime& value);
  CVdPatternValue(const wchar_t* text, unsigned short type);
  // A one-dimensional VT_ARRAY | VT_UI1 block holding a copy of the bytes (borrowed for the call).
  CVdPatternValue(unsigned char* bytes, unsigned long length);
  ~CVdPatternValue() override;

  CVdObject* GetClone() const override;  // caller deletes the result
  virtual CVdPatternValue& operator=(const CVdPatternValue& other);
  virtual bool operator==(const CVdPatternValue& other) const;
  virtual bool operator!=(const CVdPatternValue& other) const;
  using CVdObject::operator=;

  void GetDescription(std::wstring& out) const;
  void GetAbrev(std::wstring& out) const;
  void SetDescription(const std::wstring& text);
  void SetAbrev(const std::wstring& text);

  // Copies the byte block of `var` (or of this value when `var` is null) into a new array stored in *out and
  // returns its length; the caller deletes *out with delete[]. Returns 0 and leaves *out unwritten when the
  // variant is not VT_ARRAY | VT_UI1 (a block of 0 bytes returns 0 with *out set to an empty array).
  unsigned long GetStruct(unsigned char** out, VARIANT* var);

 protected:
  // An empty value without a class name that takes everything from `other` through the virtual operator=.
  CVdPatternValue(const CVdPatternValue& other);

 private:
  // Most values carry neither text: both live in one block made on the first non-empty text, so a value
  // costs a pointer for them instead of two strings.
  struct Annotation {
    std::wstring description;
    std::wstring abrev;
  };
  const std::wstring& Description() const;
  const std::wstring& Abrev() const;
  Annotation& Annotate();

  std::unique_ptr<Annotation> m_annotation;  // owned; null while both texts are empty
};

// "<class name> Desc=<description>, ShortName=<abbreviation>", UTF-8, no line end.
VDPATTERN_EXPORT std::ostream& operator<<(std::ostream& os, const CVdPatternValue& value);
