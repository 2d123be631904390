#pragma once
// CSV reading and writing for vdcatalog, over libcsv (RFC 4180: quoted fields may hold commas, quotes and line
// breaks). Texts are UTF-8.

#include <cstdio>
#include <string>
#include <vector>

namespace vdcatalog {

struct CsvRecord {
  std::size_t line = 0;  // line of the file where the record starts
  std::vector<std::string> fields;
};

// All records of a file; false with a message when the file cannot be read or is malformed.
bool ReadCsv(const std::string& path, std::vector<CsvRecord>& records, std::string& error);

// One record, every field quoted, ended by CRLF-free "\n".
void WriteCsvRecord(std::FILE* out, const std::vector<std::string>& fields);

}  // namespace vdcatalog
