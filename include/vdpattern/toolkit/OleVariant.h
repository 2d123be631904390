#pragma once
// The platform's value wrappers: COleVariant (a VARIANT that owns its payload and deep-copies), COleCurrency
// and COleDateTime. They keep the platform's members (VARIANT::vt and its union, m_cur, m_dt, m_status) so host
// code written for it compiles unchanged.
//
// Dates are OLE dates: days since 1899-12-30 as a double; the fraction is the time of day, and for a negative
// date the fraction still counts forward from midnight (-1.25 is 1899-12-29 06:00).

#include <vdpattern/toolkit/OleAuto.h>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>

class VDTOOLKIT_EXPORT COleCurrency {
 public:
  enum CurrencyStatus { valid = 0, invalid = 1, null = 2 };

  COleCurrency() { m_cur.int64 = 0; }
  COleCurrency(CURRENCY cur) : m_cur(cur) {}
  // units and fractional units (ten-thousandths), as the platform's.
  COleCurrency(long units, long fractionalUnits);
  COleCurrency& operator=(CURRENCY cur) {
    m_cur = cur;
    m_status = valid;
    return *this;
  }
  CurrencyStatus GetStatus() const { return m_status; }
  void SetStatus(CurrencyStatus status) { m_status = status; }
  bool operator==(const COleCurrency& other) const { return m_cur.int64 == other.m_cur.int64; }
  bool operator!=(const COleCurrency& other) const { return !(*this == other); }

  CURRENCY m_cur;
  CurrencyStatus m_status = valid;
};

class VDTOOLKIT_EXPORT COleDateTime {
 public:
  enum DateTimeStatus { valid = 0, invalid = 1, null = 2, error = -1 };

  COleDateTime() = default;
  COleDateTime(DATE date) : m_dt(date) {}
  // An impossible date or time (month 13, second 60, ...) gives status invalid.
  COleDateTime(int year, int month, int day, int hour, int minute, int second);
  static COleDateTime GetCurrentTime();

  int SetDateTime(int year, int month, int day, int hour, int minute, int second);
  int SetDate(int year, int month, int day) { return SetDateTime(year, month, day, 0, 0, 0); }
  DateTimeStatus GetStatus() const { return m_status; }
  void SetStatus(DateTimeStatus status) { m_status = status; }
  operator DATE() const { return m_dt; }

  // Calendar fields of a valid date; -1 when the date is not valid.
  int GetYear() const;
  int GetMonth() const;
  int GetDay() const;
  int GetHour() const;
  int GetMinute() const;
  int GetSecond() const;
  int GetDayOfWeek() const;  // 1 = Sunday, as on the platform

  // ISO-8601: "YYYY-MM-DD", with " HH:MM:SS" when the time is not midnight; empty when not valid.
  CString FormatIso() const;
  // Parses "YYYY-MM-DD", "YYYY/MM/DD", with an optional "[ T]HH:MM[:SS[.fff]]"; false leaves the object as it was.
  bool ParseIso(const wchar_t* text);

  DATE m_dt = 0;
  DateTimeStatus m_status = valid;
};

// Date helpers shared by the wrappers and the database layer. VdDateFromParts is false for an impossible date.
VDTOOLKIT_EXPORT bool VdDateFromParts(int year, int month, int day, int hour, int minute, double second, DATE& out);
VDTOOLKIT_EXPORT bool VdDateToParts(DATE date, int& year, int& month, int& day, int& hour, int& minute, int& second);

class VDTOOLKIT_EXPORT COleVariant : public tagVARIANT {
 public:
  COleVariant() { VariantInit(this); }
  COleVariant(const VARIANT& source);
  COleVariant(LPCVARIANT source);
  COleVariant(const COleVariant& source);
  COleVariant(COleVariant&& source) noexcept;
  COleVariant(const wchar_t* text);
  // The platform's (text, type) form; VT_BSTR is the only type supported (anything else gives VT_BSTR too).
  COleVariant(const wchar_t* text, VARTYPE type);
  COleVariant(const CString& text);
  COleVariant(BYTE value);
  // VT_BOOL gives a boolean (any non-zero value is VARIANT_TRUE); otherwise VT_I2.
  COleVariant(short value, VARTYPE type = VT_I2);
  // VT_BOOL gives a boolean, VT_ERROR an error code; otherwise VT_I4 (the number is cut to 32 bits).
  COleVariant(long value, VARTYPE type = VT_I4);
  COleVariant(int value, VARTYPE type = VT_I4);
  COleVariant(const COleCurrency& value);
  COleVariant(float value);
  COleVariant(double value);
  COleVariant(const COleDateTime& value);
  ~COleVariant();

  COleVariant& operator=(const COleVariant& source);
  COleVariant& operator=(COleVariant&& source) noexcept;
  COleVariant& operator=(const VARIANT& source);
  COleVariant& operator=(LPCVARIANT source);
  COleVariant& operator=(const wchar_t* text);
  COleVariant& operator=(const CString& text);
  COleVariant& operator=(BYTE value);
  COleVariant& operator=(short value);
  COleVariant& operator=(long value);
  COleVariant& operator=(int value);
  COleVariant& operator=(float value);
  COleVariant& operator=(double value);
  COleVariant& operator=(const COleCurrency& value);
  COleVariant& operator=(const COleDateTime& value);

  // Content equality (VdVariantEquals).
  bool operator==(const VARIANT& other) const;
  bool operator!=(const VARIANT& other) const { return !(*this == other); }

  void Clear() { VariantClear(this); }
  // Takes over `source`'s payload (source becomes VT_EMPTY); Detach hands this one's payload out.
  void Attach(VARIANT& source);
  VARIANT Detach();

  operator LPCVARIANT() const { return this; }
  operator VARIANT*() { return this; }
};
