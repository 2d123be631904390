#include "CsvFile.h"

#include <csv.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace vdcatalog {

namespace {

struct Reader {
  std::vector<CsvRecord>* records;
  CsvRecord current;
  std::size_t line = 1;         // line being fed to the parser
  std::size_t recordStart = 1;  // line at which the record being read started
};

void OnField(void* data, std::size_t length, void* context) {
  auto* r = static_cast<Reader*>(context);
  const char* text = static_cast<const char*>(data);
  r->current.fields.emplace_back(text ? text : "", text ? length : 0);
}

void OnRecord(int, void* context) {
  auto* r = static_cast<Reader*>(context);
  r->current.line = r->recordStart;
  r->recordStart = r->line + 1;  // input is fed line by line: the next record starts on the next line
  r->records->push_back(std::move(r->current));
  r->current = CsvRecord();
}

}  // namespace

bool ReadCsv(const std::string& path, std::vector<CsvRecord>& records, std::string& error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    error = "cannot read " + path;
    return false;
  }
  csv_parser parser;
  if (csv_init(&parser, CSV_STRICT | CSV_APPEND_NULL | CSV_EMPTY_IS_NULL) != 0) {
    error = "out of memory";
    return false;
  }
  Reader reader{&records, CsvRecord(), 1, 1};
  char buffer[65536];
  std::size_t n;
  bool ok = true;
  bool first = true;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    std::size_t start = 0;
    if (first && n >= 3 && static_cast<unsigned char>(buffer[0]) == 0xEF &&
        static_cast<unsigned char>(buffer[1]) == 0xBB && static_cast<unsigned char>(buffer[2]) == 0xBF)
      start = 3;  // a UTF-8 byte-order mark is no data
    first = false;
    // Feed line by line so each record knows the line it started on.
    for (std::size_t i = start; i < n;) {
      const char* end = static_cast<const char*>(std::memchr(buffer + i, '\n', n - i));
      const std::size_t chunk = end ? static_cast<std::size_t>(end - (buffer + i)) + 1 : n - i;
      if (csv_parse(&parser, buffer + i, chunk, OnField, OnRecord, &reader) != chunk) {
        ok = false;
        break;
      }
      if (end) ++reader.line;
      i += chunk;
    }
    if (!ok) break;
  }
  if (ok && csv_fini(&parser, OnField, OnRecord, &reader) != 0) ok = false;
  if (!ok)
    error = std::string("malformed CSV in ") + path + " near line " + std::to_string(reader.line) + ": " +
            csv_strerror(csv_error(&parser));
  csv_free(&parser);
  return ok;
}

void WriteCsvRecord(std::FILE* out, const std::vector<std::string>& fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) std::fputc(',', out);
    const std::string& f = fields[i];
    const bool quote =
        f.find_first_of(",\"\r\n") != std::string::npos || (!f.empty() && (f.front() == ' ' || f.back() == ' '));
    if (quote)
      csv_fwrite(out, f.data(), f.size());
    else
      std::fwrite(f.data(), 1, f.size(), out);
  }
  std::fputc('\n', out);
}

}  // namespace vdcatalog
