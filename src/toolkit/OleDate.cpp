#include <cmath>
#include <cstdio>
#include <ctime>
#include <vdpattern/toolkit/OleVariant.h>

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

constexpr long long kOleEpochFromUnix = -25569;  // 1899-12-30 in days from 1970-01-01
constexpr double kMaxDate = 2958465.99999999;    // 9999-12-31 23:59:59
constexpr double kMinDate = -657434.0;           // 0100-01-01

}  // namespace

bool VdDateFromParts(int year, int month, int day, int hour, int minute, double second, DATE& out) {
  if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || !(second >= 0 && second < 60)) return false;
  const long long days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kOleEpochFromUnix;
  const double time = (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
  // OLE dates count the time of day forward from midnight even before the epoch: -1.25 is the day -1 at 06:00.
  out = days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
  return true;
}

bool VdDateToParts(DATE date, int& year, int& month, int& day, int& hour, int& minute, int& second) {
  if (!(date >= kMinDate && date <= kMaxDate + 1)) return false;
  double whole;
  double frac = std::modf(date, &whole);
  frac = std::fabs(frac);
  long long seconds = std::llround(frac * 86400.0);
  long long days = static_cast<long long>(whole);
  if (seconds >= 86400) {
    // Rounded up to the next midnight: time counts forward from the day's midnight on both sides of the
    // epoch, so that is always the next calendar day.
    seconds -= 86400;
    days += 1;
  }
  long long y;
  unsigned m, d;
  CivilFromDays(days + kOleEpochFromUnix, y, m, d);
  if (y < 100 || y > 9999) return false;
  year = static_cast<int>(y);
  month = static_cast<int>(m);
  day = static_cast<int>(d);
  hour = static_cast<int>(seconds / 3600);
  minute = static_cast<int>(seconds / 60 % 60);
  second = static_cast<int>(seconds % 60);
  return true;
}

COleDateTime::COleDateTime(int year, int month, int day, int hour, int minute, int second) {
  SetDateTime(year, month, day, hour, minute, second);
}

COleDateTime COleDateTime::GetCurrentTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return COleDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

int COleDateTime::SetDateTime(int year, int month, int day, int hour, int minute, int second) {
  DATE d;
  if (VdDateFromParts(year, month, day, hour, minute, second, d)) {
    m_dt = d;
    m_status = valid;
  } else {
    m_dt = 0;
    m_status = invalid;
  }
  return m_status == valid ? 0 : 1;
}

namespace {

struct Parts {
  int y = -1, mo = -1, d = -1, h = -1, mi = -1, s = -1;
};

Parts Split(const COleDateTime& dt) {
  Parts p;
  if (dt.m_status != COleDateTime::valid || !VdDateToParts(dt.m_dt, p.y, p.mo, p.d, p.h, p.mi, p.s)) return Parts();
  return p;
}

}  // namespace

int COleDateTime::GetYear() const { return Split(*this).y; }
int COleDateTime::GetMonth() const { return Split(*this).mo; }
int COleDateTime::GetDay() const { return Split(*this).d; }
int COleDateTime::GetHour() const { return Split(*this).h; }
int COleDateTime::GetMinute() const { return Split(*this).mi; }
int COleDateTime::GetSecond() const { return Split(*this).s; }

int COleDateTime::GetDayOfWeek() const {
  const Parts p = Split(*this);
  if (p.y < 0) return -1;
  const long long days = DaysFromCivil(p.y, static_cast<unsigned>(p.mo), static_cast<unsigned>(p.d));
  // 1970-01-01 was a Thursday (5 when Sunday is 1).
  return static_cast<int>(((days % 7) + 7 + 4) % 7) + 1;
}

CString COleDateTime::FormatIso() const {
  const Parts p = Split(*this);
  if (p.y < 0) return CString();
  char buf[32];
  if (p.h || p.mi || p.s)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.y, p.mo, p.d, p.h, p.mi, p.s);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.y, p.mo, p.d);
  return CString(buf);
}

bool COleDateTime::ParseIso(const wchar_t* text) {
  if (!text) return false;
  const wchar_t* p = text;
  while (*p == L' ') ++p;
  auto number = [&p](int digits, int& out) {
    out = 0;
    for (int i = 0; i < digits; ++i, ++p) {
      if (*p < L'0' || *p > L'9') return false;
      out = out * 10 + (*p - L'0');
    }
    return true;
  };
  int y, mo, d, h = 0, mi = 0;
  double s = 0;
  if (!number(4, y)) return false;
  const wchar_t sep = *p;
  if (sep != L'-' && sep != L'/') return false;
  ++p;
  if (!number(2, mo) || *p++ != sep || !number(2, d)) return false;
  if (*p == L' ' || *p == L'T') {
    ++p;
    if (!number(2, h) || *p++ != L':' || !number(2, mi)) return false;
    if (*p == L':') {
      ++p;
      int whole;
      if (!number(2, whole)) return false;
      s = whole;
      if (*p == L'.') {
        ++p;
        double scale = 0.1;
        if (*p < L'0' || *p > L'9') return false;
        while (*p >= L'0' && *p <= L'9') s += (*p++ - L'0') * scale, scale /= 10;
      }
    }
  }
  while (*p == L' ') ++p;
  if (*p) return false;
  DATE out;
  if (!VdDateFromParts(y, mo, d, h, mi, s, out)) return false;
  m_dt = out;
  m_status = valid;
  return true;
}
