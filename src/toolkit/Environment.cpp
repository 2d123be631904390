#include "toolkit/Environment.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cwchar>
#include <vector>
#include <vdpattern/toolkit/Utf8.h>

std::wstring VdCurrentDirectory() {
  std::vector<char> buffer(4096);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return std::wstring();
    buffer.resize(buffer.size() * 2);
  }
  return VdFromUtf8(buffer.data());
}

const wchar_t* VdDateStamp() {
  thread_local wchar_t stamp[12] = L"";
  thread_local std::time_t validUntil = 0;
  const std::time_t now = std::time(nullptr);
  if (!stamp[0] || now >= validUntil || now < validUntil - 60) {
    std::tm local{};
    localtime_r(&now, &local);
    std::wcsftime(stamp, 12, L"%Y/%m/%d", &local);
    // Until the next minute or local midnight, whichever comes first (and anew when the clock is set back).
    const long toMidnight = 86400L - (local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec);
    validUntil = now + std::clamp(toMidnight, 1L, 60L);
  }
  return stamp;
}
