// vdcatalog's read commands on arbitrary bytes: the bytes become a catalog file, and every command that reads
// one runs on it through vdcatalog::Run, the guard the tool runs each command in: info, families, list and
// export (CSV and JSON, to a file) of each family, show of a name and max. Whatever the file holds, a command
// must end with one of the tool's statuses; an exception that escapes the guard, a crash or a sanitizer report
// stops the fuzzer. Standard output goes to /dev/null; the commands' messages go to standard error, which
// tests/reliability/run closes with -close_fd_mask=2 (libFuzzer keeps its own output).

#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pool/VdPatternPool.h>
#include <vdpattern/toolkit/Report.h>

#include "Commands.h"
#include "FuzzInput.h"

using vdfuzz::Check;

namespace {

std::string g_dir;
std::string g_path;
std::string g_out;

void RemoveFiles() {
  for (const std::string& file : {g_path, g_path + "-journal", g_path + "-wal", g_path + "-shm", g_out})
    std::remove(file.c_str());
}

void Cleanup() {
  RemoveFiles();
  ::rmdir(g_dir.c_str());
}

// One command through the guard; its status must be one of the tool's.
void Command(const std::function<int()>& command) {
  const int status = vdcatalog::Run(command);
  Check(status >= 0 && status <= 2);
  std::remove(g_out.c_str());
}

// The families and a pattern name to ask for, read as a host would; the commands must cope with whatever
// this finds, or with nothing when the file does not open.
void Names(std::list<std::wstring>& families, std::string& name) {
  const VdReportHandler previous = VdSetReportHandler([](const wchar_t*, const wchar_t*) {});
  {
    CVdPatternCatalog catalog(VdFromUtf8(g_path).c_str());
    if (catalog.IsOpened()) {
      catalog.GetFamilies(families);
      if (!families.empty()) {
        CVdPatternPool pool;
        catalog.GetFamilyPattern(&pool, families.front().c_str(), nullptr);
        if (CVdPattern* first = pool.FindFirstPattern()) name = first->GetUserNameW().ToUtf8();
      }
    }
  }
  VdSetReportHandler(previous);
  while (families.size() > 4) families.pop_back();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = vdfuzz::MakeScratchFolder("vdpattern-fuzz-tool");
  g_path = g_dir + "/fuzz.mdb";
  g_out = g_dir + "/out";
  std::atexit(&Cleanup);
  const int null = ::open("/dev/null", O_WRONLY);
  Check(null >= 0 && ::dup2(null, 1) == 1);
  ::close(null);
  vdcatalog::InstallReportHandler();
  vdfuzz::QuietFileTarget();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RemoveFiles();
  vdfuzz::WriteFile(g_path, data, size);

  std::list<std::wstring> families;
  std::string name = "HE 100";
  Names(families, name);
  const std::string& file = g_path;
  vdcatalog::Options text, json;
  json.json = true;
  Command([&] { return vdcatalog::Info(file, text); });
  Command([&] { return vdcatalog::Info(file, json); });
  Command([&] { return vdcatalog::Families({file}, json); });
  for (const std::wstring& wide : families) {
    const std::string family = VdToUtf8(wide);
    Command([&] { return vdcatalog::List(file, family, "", false, "", text); });
    Command([&] { return vdcatalog::List(file, family, "%1%", false, "", json); });
    Command([&] { return vdcatalog::Export(file, family, "csv", g_out); });
    Command([&] { return vdcatalog::Export(file, family, "json", g_out); });
    Command([&] { return vdcatalog::Max(file, family, "Name", "Name", name, json); });
  }
  Command([&] { return vdcatalog::Export(file, "", "json", g_out); });
  Command([&] { return vdcatalog::Show({file}, name, "", 1000.0, true, json); });
  Command([&] { return vdcatalog::Show({file}, "nothing like it", "", 1.0, false, text); });
  return 0;
}
