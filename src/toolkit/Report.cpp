#include <vdpattern/toolkit/Report.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vdpattern/toolkit/Utf8.h>

namespace {

void DefaultReport(const wchar_t* text, const wchar_t* caption) {
  const std::string line = VdToUtf8(caption ? caption : L"") + ": " + VdToUtf8(text ? text : L"") + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void DefaultTrace(const wchar_t* text) {
  static const bool enabled = std::getenv("VDPATTERN_TRACE") != nullptr;
  if (!enabled || !text) return;
  const std::string line = VdToUtf8(text);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::atomic<VdReportHandler> g_report{&DefaultReport};
std::atomic<VdTraceHandler> g_trace{&DefaultTrace};

}  // namespace

VdReportHandler VdSetReportHandler(VdReportHandler handler) {
  return g_report.exchange(handler ? handler : &DefaultReport);
}

VdTraceHandler VdSetTraceHandler(VdTraceHandler handler) { return g_trace.exchange(handler ? handler : &DefaultTrace); }

int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
  g_report.load()(text ? text : L"", caption ? caption : L"");
  return IDOK;
}

void OutputDebugStringW(LPCWSTR text) { g_trace.load()(text ? text : L""); }
