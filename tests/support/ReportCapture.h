#pragma once
// Test support: captures the reports and traces of the library while an instance lives.

#include <string>
#include <vector>
#include <vdpattern/toolkit/Report.h>

namespace vdtest {

class ReportCapture {
 public:
  struct Report {
    std::wstring caption, text;
  };
  ReportCapture() {
    Current() = this;
    m_previousReport = VdSetReportHandler(&OnReport);
    m_previousTrace = VdSetTraceHandler(&OnTrace);
  }
  ~ReportCapture() {
    VdSetReportHandler(m_previousReport);
    VdSetTraceHandler(m_previousTrace);
    Current() = nullptr;
  }
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  std::vector<Report> reports;
  std::vector<std::wstring> traces;

 private:
  static ReportCapture*& Current() {
    static ReportCapture* current = nullptr;
    return current;
  }
  static void OnReport(const wchar_t* text, const wchar_t* caption) {
    if (Current()) Current()->reports.push_back({caption, text});
  }
  static void OnTrace(const wchar_t* text) {
    if (Current()) Current()->traces.push_back(text);
  }
  VdReportHandler m_previousReport;
  VdTraceHandler m_previousTrace;
};

}  // namespace vdtest
