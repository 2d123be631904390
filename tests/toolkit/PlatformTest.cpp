#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vdpattern/toolkit/Guid.h>
#include <vdpattern/toolkit/Report.h>

namespace {

std::wstring GuidText() {
  GUID g;
  EXPECT_EQ(CoCreateGuid(&g), S_OK);
  wchar_t text[39];
  EXPECT_EQ(StringFromGUID2(g, text, 39), 39);
  return text;
}

std::wstring g_reports;
std::wstring g_traces;
void CaptureReport(const wchar_t* text, const wchar_t* caption) {
  g_reports += std::wstring(caption) + L"|" + text + L"\n";
}
void CaptureTrace(const wchar_t* text) { g_traces += text; }

}  // namespace

TEST(Guid, RandomVersionFourInBraceForm) {
  std::set<std::wstring> seen;
  for (int i = 0; i < 20000; ++i) {
    const std::wstring t = GuidText();
    ASSERT_EQ(t.size(), 38u);
    ASSERT_EQ(t[0], L'{');
    ASSERT_EQ(t[37], L'}');
    ASSERT_EQ(t[9], L'-');
    ASSERT_EQ(t[15], L'4');                                            // version
    ASSERT_NE(std::wstring(L"89AB").find(t[20]), std::wstring::npos);  // variant
    for (wchar_t c : t)
      ASSERT_TRUE(c == L'{' || c == L'}' || c == L'-' || (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'));
    seen.insert(t);
  }
  EXPECT_EQ(seen.size(), 20000u);
  wchar_t small[38];
  GUID g{};
  EXPECT_EQ(StringFromGUID2(g, small, 38), 0);
  EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

TEST(Guid, ForkedChildDoesNotRepeatTheParentsSequence) {
  GuidText();  // the generator is seeded before the fork
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    const std::wstring t = GuidText();
    const ssize_t n = write(fds[1], t.data(), t.size() * sizeof(wchar_t));
    _exit(n > 0 ? 0 : 1);
  }
  close(fds[1]);
  const std::wstring mine = GuidText();
  wchar_t buf[38];
  ASSERT_EQ(read(fds[0], buf, sizeof buf), static_cast<ssize_t>(sizeof buf));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_NE(std::wstring(buf, 38), mine);
}

TEST(Report, HandlersAreReplaceableAndRestorable) {
  const VdReportHandler previous = VdSetReportHandler(&CaptureReport);
  g_reports.clear();
  EXPECT_EQ(MessageBoxW(nullptr, L"no such table", L"Erreur DB", MB_OK), IDOK);
  MessageBoxW(nullptr, nullptr, nullptr, MB_OK);
  EXPECT_EQ(g_reports, L"Erreur DB|no such table\n|\n");
  EXPECT_EQ(VdSetReportHandler(nullptr), &CaptureReport);
  const VdReportHandler restored = VdSetReportHandler(previous);
  EXPECT_TRUE(restored && restored != &CaptureReport);  // null restored the default

  const VdTraceHandler previousTrace = VdSetTraceHandler(&CaptureTrace);
  g_traces.clear();
  OutputDebugStringW(L"line\n");
  OutputDebugStringW(nullptr);
  EXPECT_EQ(g_traces, L"line\n");
  VdSetTraceHandler(previousTrace);
}
