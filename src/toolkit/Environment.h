#pragma once
// Internal to the libraries: what the catalog asks of the machine it runs on, in one place, so that the code
// above the toolkit makes no system call of its own. Exported from vdtoolkit for vdpattern only; no installed
// header declares it.

#include <string>
#include <vdpattern/toolkit/VdToolkitExport.h>

// The process's current folder, without a trailing separator unless it is the root; empty when it cannot be
// read (removed, or not reachable by this process).
VDTOOLKIT_EXPORT std::wstring VdCurrentDirectory();

// Today's local date as a catalog stamps it, "year/month/day" (e.g. L"2026/12/06"). The text lives in a
// per-thread buffer until the thread's next call. The local time is looked up at most once a minute, because
// a bulk write stamps the catalog once per row.
VDTOOLKIT_EXPORT const wchar_t* VdDateStamp();
