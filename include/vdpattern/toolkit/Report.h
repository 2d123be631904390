#pragma once
// Reports and traces with the platform's names. MessageBoxW hands its report to a replaceable handler (by
// default one line "caption: text" on stderr, UTF-8) and returns IDOK. OutputDebugStringW hands its trace to
// its own handler (by default silent, unless the environment variable VDPATTERN_TRACE is set: then the text on
// stderr). Setting a handler returns the previous one; null restores the default. Handlers are process-wide
// and may be swapped from any thread; a handler must not throw.

#include <vdpattern/toolkit/VdToolkitExport.h>
#include <vdpattern/toolkit/WinTypes.h>

using VdReportHandler = void (*)(const wchar_t* text, const wchar_t* caption);
using VdTraceHandler = void (*)(const wchar_t* text);

constexpr UINT MB_OK = 0x0;
constexpr UINT MB_ICONERROR = 0x10;
constexpr int IDOK = 1;

VDTOOLKIT_EXPORT VdReportHandler VdSetReportHandler(VdReportHandler handler);
VDTOOLKIT_EXPORT VdTraceHandler VdSetTraceHandler(VdTraceHandler handler);
VDTOOLKIT_EXPORT int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
VDTOOLKIT_EXPORT void OutputDebugStringW(LPCWSTR text);
