#pragma once
// The date a catalog is stamped with when it is made or changed: the local date as "year/month/day".

namespace vdpattern::catalog {

// Today's stamp, e.g. L"2026/12/06". The text lives in a per-thread buffer until the thread's next call.
// The local time is looked up at most once a minute (a bulk write stamps the catalog once per row).
const wchar_t* DateStamp();

}  // namespace vdpattern::catalog
