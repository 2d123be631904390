#include <vdpattern/toolkit/VdServerAddress.h>

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
