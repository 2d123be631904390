#pragma once
// CSV reading and writing for vdcatalog, over libcsv (RFC 4180: quoted fields may hold commas, quotes and line
// breaks). Texts are UTF-8. Reading streams: a file of any size is read in fixed chunks, record by record, so an
// import of millions of rows holds one chunk and the records not yet taken.

#include <csv.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace vdcatalog {

// Opens `path` for reading when it is a file or a pipe (never a device, a terminal or a folder), without
// waiting on a pipe nobody writes to: the stream (the caller's, to fclose), or null with `error`. `size`, when
// given, is a file's size (0 for a pipe).
std::FILE* OpenInput(const std::string& path, std::string& error, std::size_t* size = nullptr);

struct CsvRecord {
  std::size_t line = 0;  // line of the file where the record starts
  std::vector<std::string> fields;
};

class CsvReader {
 public:
  CsvReader() = default;
  CsvReader(const CsvReader&) = delete;
  CsvReader& operator=(const CsvReader&) = delete;
  ~CsvReader();

  // False with a message (the system's reason included) when the file cannot be opened, or is neither a regular
  // file nor a pipe (a device, a folder, a socket). A pipe is read without waiting for a writer to appear: a FIFO
  // nobody writes to reads as empty.
  // `delimiter` separates fields; 0 chooses from the first line: ';' when it holds ';' and no ',', else ','.
  bool Open(const std::string& path, std::string& error, char delimiter = ',');
  // The separator in use; known once the first record has been read.
  char Delimiter() const { return m_delimiter; }
  // The next record: true with it, false at the end of the file or on a failure (then `error` says why). A quoted
  // field still open at the end of the file is a failure that names the line where it began.
  bool Next(CsvRecord& record, std::string& error);
  // Bytes read so far and the file's size, for a progress display.
  std::size_t BytesRead() const { return m_bytesRead; }
  std::size_t Size() const { return m_size; }

  // Called by the parser.
  void AddField(const char* text, std::size_t length);
  void EndRecord();

 private:
  bool Fill(std::string& error);
  // Whether the parser is inside a quoted field, its closing quote not seen yet. libcsv keeps the state in its
  // public struct: a quoted field that has begun (state 2) and not met a possibly closing quote (state 3).
  bool InQuotes() const { return m_parser.quoted && m_parser.pstate == 2; }

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_file{nullptr, &std::fclose};
  std::string m_path;
  csv_parser m_parser{};
  bool m_parserReady = false;
  bool m_finished = false;
  bool m_first = true;
  char m_delimiter = ',';
  std::size_t m_bytesRead = 0;
  std::size_t m_size = 0;
  std::size_t m_line = 1;         // line being fed to the parser
  std::size_t m_recordStart = 1;  // line at which the record being read started
  std::size_t m_quoteLine = 0;    // line at which the quoted field still open began
  std::size_t m_records = 0;      // records ended so far
  CsvRecord m_current;
  std::deque<CsvRecord> m_ready;
  std::vector<char> m_buffer;
};

// Text cells that a spreadsheet would run as a formula (they begin with '=', '+', '-', '@', a tab or a carriage
// return) are written with a leading apostrophe, which spreadsheets show as "this is text"; so that the guard
// itself stays exact, a text already beginning with an apostrophe gets one more. An import takes exactly one
// apostrophe off a text cell whose next character is one of those: export then import gives back every text.
// Only texts are guarded: numbers ("-5") are written as they are and stay numbers.
std::string GuardedCsvText(const std::string& text);
// Whether `cell` of a text column carries the guard: an apostrophe, then a character the guard protects.
bool IsGuardedCsvText(const std::string& cell);

// One record, every field quoted, ended by CRLF-free "\n". Write errors are left in the stream's error flag.
void WriteCsvRecord(std::FILE* out, const std::vector<std::string>& fields);

}  // namespace vdcatalog
