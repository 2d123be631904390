#include "CsvFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace vdcatalog {

namespace {

constexpr std::size_t kChunk = 1 << 16;

void OnField(void* data, std::size_t length, void* context) {
  const char* text = static_cast<const char*>(data);
  static_cast<CsvReader*>(context)->AddField(text ? text : "", text ? length : 0);
}

void OnRecord(int, void* context) { static_cast<CsvReader*>(context)->EndRecord(); }

}  // namespace

std::FILE* OpenInput(const std::string& path, std::string& error, std::size_t* size) {
  // Opened without waiting, so that a FIFO nobody writes to is read as empty rather than blocking the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
    // A device would be read without end (/dev/zero) or wait for a person to type (a terminal).
    error = "cannot read " + path + ": " +
            (S_ISDIR(st.st_mode) ? "it is a folder" : "it is neither a file nor a pipe from another program");
    ::close(fd);
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(fd, "rb");
  if (!file) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  if (size) *size = S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0;
  return file;
}

CsvReader::~CsvReader() {
  if (m_parserReady) csv_free(&m_parser);
}

bool CsvReader::Open(const std::string& path, std::string& error, char delimiter) {
  m_path = path;
  m_delimiter = delimiter;
  std::size_t size = 0;
  m_file.reset(OpenInput(path, error, &size));
  if (!m_file) return false;
  m_size = size;
  if (csv_init(&m_parser, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL | CSV_EMPTY_IS_NULL) != 0) {
    error = "out of memory";
    return false;
  }
  m_parserReady = true;
  m_buffer.resize(kChunk);
  return true;
}

void CsvReader::AddField(const char* text, std::size_t length) { m_current.fields.emplace_back(text, length); }

void CsvReader::EndRecord() {
  ++m_records;
  m_current.line = m_recordStart;
  m_recordStart = m_line + 1;  // input is fed line by line: the next record starts on the next line
  m_ready.push_back(std::move(m_current));
  m_current = CsvRecord();
}

// Parses the next chunk of the file; at the end of the file, ends the parse.
bool CsvReader::Fill(std::string& error) {
  const std::size_t n = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file.get());
  if (n == 0) {
    if (std::ferror(m_file.get())) {
      error = "cannot read " + m_path + ": " + std::strerror(errno);
      return false;
    }
    m_finished = true;
    if (InQuotes()) {
      // Taking the rest of the file as one text would import rows that are not there, or hide rows that are.
      error = "malformed CSV in " + m_path + ": the quoted field that begins on line " + std::to_string(m_quoteLine) +
              " is never closed";
      return false;
    }
    if (csv_fini(&m_parser, OnField, OnRecord, this) != 0) {
      error = "malformed CSV in " + m_path + " near line " + std::to_string(m_line) + ": " +
              csv_strerror(csv_error(&m_parser));
      return false;
    }
    return true;
  }
  m_bytesRead += n;
  const char* buffer = m_buffer.data();
  std::size_t start = 0;
  if (m_first && n >= 3 && static_cast<unsigned char>(buffer[0]) == 0xEF &&
      static_cast<unsigned char>(buffer[1]) == 0xBB && static_cast<unsigned char>(buffer[2]) == 0xBF)
    start = 3;  // a UTF-8 byte-order mark is no data
  if (m_first) {
    if (m_delimiter == 0) {
      // The header is names: a ';' there and no ',' is a file that a spreadsheet wrote for a decimal comma.
      const char* end = static_cast<const char*>(std::memchr(buffer + start, '\n', n - start));
      const std::string_view header(buffer + start, end ? static_cast<std::size_t>(end - (buffer + start)) : n - start);
      m_delimiter =
          header.find(';') != std::string_view::npos && header.find(',') == std::string_view::npos ? ';' : ',';
    }
    csv_set_delim(&m_parser, static_cast<unsigned char>(m_delimiter));
  }
  m_first = false;
  // Fed line by line so each record knows the line it started on.
  for (std::size_t i = start; i < n;) {
    const char* end = static_cast<const char*>(std::memchr(buffer + i, '\n', n - i));
    const std::size_t chunk = end ? static_cast<std::size_t>(end - (buffer + i)) + 1 : n - i;
    // A field quoted at the end of this piece began on this line unless it was already open before it, in the
    // same field (no field and no record ended in between).
    const bool wasInQuotes = InQuotes();
    const std::size_t fields = m_current.fields.size(), records = m_records;
    if (csv_parse(&m_parser, buffer + i, chunk, OnField, OnRecord, this) != chunk) {
      error = "malformed CSV in " + m_path + " near line " + std::to_string(m_line) + ": " +
              csv_strerror(csv_error(&m_parser));
      return false;
    }
    if (InQuotes() && !(wasInQuotes && fields == m_current.fields.size() && records == m_records)) m_quoteLine = m_line;
    if (end) ++m_line;
    i += chunk;
  }
  return true;
}

bool CsvReader::Next(CsvRecord& record, std::string& error) {
  error.clear();
  while (m_ready.empty()) {
    if (m_finished || !m_file) return false;
    if (!Fill(error)) return false;
  }
  record = std::move(m_ready.front());
  m_ready.pop_front();
  return true;
}

namespace {

bool NeedsGuard(char first) { return first && std::strchr("=+-@\t\r'", first) != nullptr; }

}  // namespace

std::string GuardedCsvText(const std::string& text) { return !text.empty() && NeedsGuard(text[0]) ? "'" + text : text; }

bool IsGuardedCsvText(const std::string& cell) { return cell.size() >= 2 && cell[0] == '\'' && NeedsGuard(cell[1]); }

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
