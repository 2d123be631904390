#pragma once
// The web page's files, compiled into the tool (WebFiles.cpp is generated from tools/vdcatalog/web/ at build
// time), so that serve needs nothing on disk and serves nothing else.

#include <cstddef>

namespace vdcatalog {

struct WebFile {
  const char* path;  // as requested, e.g. "/index.html"
  const char* type;  // its Content-Type
  const unsigned char* data;
  std::size_t size;
};

extern const WebFile kWebFiles[];
extern const std::size_t kWebFileCount;

}  // namespace vdcatalog
