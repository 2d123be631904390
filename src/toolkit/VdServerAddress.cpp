#include <vdpattern/toolkit/VdServerAddress.h>

#include <vdpattern/toolkit/DBTypes.h>

#include "db/postgres/ServerAddress.h"

bool VdIsServerAddress(const CString& text) { return vdpattern::db::IsServerAddress(text.str()); }

bool VdIsLinkFileHeader(const unsigned char* bytes, std::size_t length) {
  return bytes && vdpattern::db::IsLinkFileHeader(bytes, length);
}

void VdCheckServerAddress(const CString& address, bool forLinkFile) {
  vdpattern::db::ParseServerAddress(address.str(), forLinkFile);
}

CString VdServerCatalogName(const CString& address) {
  return CString(vdpattern::db::ParseServerAddress(address.str(), false).catalog.c_str());
}

void VdWriteLinkFile(const CString& path, const CString& address) { vdpattern::db::WriteLinkFile(path, address.str()); }

std::vector<CString> VdListServerCatalogs(const CString& address, std::size_t limit) {
  std::vector<CString> names;
  try {
    for (const std::string& name :
         vdpattern::db::ServerCatalogs(vdpattern::db::ParseServerAddress(address.str()), limit))
      names.emplace_back(name.c_str());
  } catch (CDBException* e) {
    e->Delete();
  }
  return names;
}
