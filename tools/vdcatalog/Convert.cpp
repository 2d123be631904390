#include "Tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <cwctype>
#include <climits>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vdpattern/vdpattern.h>

#include "CsvFile.h"
#include "Output.h"

namespace vdcatalog {

// ---------------------------------------------------------------- convert

namespace {

// Copies every table of `source` but the engine's own into `out`, in one write group, with a bar per table;
// false after a message (the copy undone), a database failure thrown after undoing it.
bool CopyCatalog(CVdDatabase& source, CVdDatabase& out, std::size_t& tables, std::size_t& rows) {
  std::string table;              // the bar's name; outlives the bar, which points into it
  std::unique_ptr<Progress> bar;  // of the table being copied
  const auto step = [&](const CString& name, std::size_t copied, std::size_t total) {
    if (copied == 0) {
      bar.reset();
      table = Utf8(name);
      bar = std::make_unique<Progress>(table.c_str(), total);
    } else if (bar) {
      bar->Step(copied);
    }
  };
  CVdCatalogTransfer::Counts counts;
  CString error;
  const CVdCatalogTransfer::CopyResult result = CVdCatalogTransfer::CopyCatalog(source, out, counts, error, step);
  bar.reset();
  if (result != CVdCatalogTransfer::eCopied) {
    Error(result == CVdCatalogTransfer::eTooLarge ? Clause(Utf8(error)) + "; nothing was converted" : Utf8(error));
    return false;
  }
  tables = counts.tables;
  rows = counts.rows;
  return true;
}

// A new catalog on a server, copied in one transaction that makes its schema too: a copy that fails, is
// stopped, or loses its server leaves no schema behind to block the next one.
bool ConvertToServer(CVdDatabase& source, const std::string& address, std::size_t& tables, std::size_t& rows) {
  CVdDatabase out;
  out.SetQueryTimeout(g_timeLimit);
  out.CreateAndOpen(Wide(address));  // refused when the catalog exists
  return CopyCatalog(source, out, tables, rows);
}

// A new file, made under a temporary name in the target's folder and given its name only when complete, so a
// failed or killed convert leaves no file that would block the next one.
bool ConvertToFile(CVdDatabase& source, const std::string& outPath, std::size_t& tables, std::size_t& rows) {
  const std::size_t slash = outPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : outPath.substr(0, slash == 0 ? 1 : slash);
  std::string temporary = folder + "/.vdcatalog-convert-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    Error("cannot write " + outPath + ": " + std::strerror(errno));
    return false;
  }
  close(fd);
  unlink(temporary.c_str());  // CreateDatabase never writes over a file
  SignalCleanup signals("nothing was converted; the unfinished copy was removed");
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) signals.Add(temporary + suffix);
  struct Cleanup {
    const std::string& path;
    ~Cleanup() {
      for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    }
  } cleanup{temporary};
  const CString target = Wide(temporary);
  {
    CVdDatabase out;
    out.SetQueryTimeout(g_timeLimit);
    CVdDatabase::CreateDatabase(target);
    out.Open(target, 0, 0);
    if (!CopyCatalog(source, out, tables, rows)) return false;
    out.Close();
  }
  std::string error;
  if (!signals.Settle([&] { return LinkNew(temporary, outPath, error); })) {
    Error(error);
    return false;
  }
  return true;
}

}  // namespace

int Link(const std::string& file, const std::string& address) {
  if (!IsAddress(address)) {
    Error("\"" + address +
          "\" is not a server address: write postgresql://[user@]host[:port]/database?catalog=NAME or "
          "\"host=... dbname=... catalog=NAME\"");
    return kError;
  }
  const CString wide = Wide(address);
  try {
    VdCheckServerAddress(wide, false);
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    Error(Utf8(reason.TrimRight()));
    return kError;
  }
  try {
    VdCheckServerAddress(wide, true);  // what a link may hold: no password, only naming keys
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    Error(Utf8(reason.TrimRight()) + "; no link was written");
    return kError;
  }
  // Nobody is pointed at a catalog that does not open. A server that answers without the catalog is a
  // refusal (status 1); one that cannot be asked, or refuses the connection, a database failure (2).
  try {
    CVdDatabase db;
    db.SetQueryTimeout(g_timeLimit);
    db.Open(wide, 0, 1);
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    const bool missing = reason.Find(L"does not exist on the server") >= 0;
    Error(Utf8(reason.TrimRight()) + "; no link was written");
    return missing ? kNotFound : kError;
  }
  Session session;
  CVdPatternCatalog* catalog = session.Open(address);
  if (!catalog) {
    Error("no link was written");
    return kNotFound;
  }
  std::list<std::wstring> families;
  catalog->GetFamilies(families);
  try {
    VdWriteLinkFile(Wide(file), wide);
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    Error(Utf8(reason.TrimRight()));
    return kError;
  }
  std::printf("linked %s to catalog %s (%s)\n", Visible(file).c_str(), Visible(Utf8(catalog->GetName())).c_str(),
              Counted(static_cast<long long>(families.size()), "family", "families").c_str());
  return session.Finish(kOk);
}

int Convert(const std::string& in, const std::string& outPath) {
  const bool toServer = IsAddress(outPath);
  if (toServer ? ServerCatalogExists(outPath) : !IsNewPath(outPath)) {
    Error(outPath + (toServer            ? " already exists; convert never writes over a catalog"
                     : OnServer(outPath) ? " is a catalog link; convert to the address it holds, a new catalog"
                     : SpecialKind(outPath).empty()
                         ? " already exists; convert never writes over a file"
                         : " already exists as " + SpecialKind(outPath) + "; convert writes a new file"));
    return kNotFound;
  }
  if (!IsCatalogFile(in)) return kError;
  CVdDatabase source;
  source.SetQueryTimeout(g_timeLimit);
  std::size_t tables = 0, rows = 0;
  try {
    try {
      source.Open(Wide(Located(in)), 0, 1);
    } catch (CDBException* e) {
      const std::string why = IsAddress(in) ? std::string() : UnreadableWhy(Located(in));
      if (why.empty()) throw;
      e->Delete();
      Error(in + " cannot be read: " + Clause(why) + "; nothing was converted");
      return kError;
    }
    if (!(toServer ? ConvertToServer(source, outPath, tables, rows) : ConvertToFile(source, outPath, tables, rows)))
      return kError;
  } catch (CDBException* e) {
    CString reason = e->m_strError;
    e->Delete();
    reason.TrimRight();
    Error(Clause(Utf8(reason)) + "; nothing was converted");
    return kError;
  }
  std::printf("converted %s: %s, %s into %s\n", Masked(in).c_str(),
              Counted(static_cast<long long>(tables), "table").c_str(),
              Counted(static_cast<long long>(rows), "row").c_str(), Masked(outPath).c_str());
  return kOk;
}

}  // namespace vdcatalog
