#pragma once
// Output of vdcatalog: aligned tables for people, JSON for programs, messages on stderr, and a progress bar
// that appears only on a terminal and only for work that takes longer than a second.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include <vdpattern/toolkit/String.h>

namespace vdcatalog {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kNotFound = 1;  // not found or refused
constexpr int kError = 2;     // usage or database error

std::string Utf8(const CString& text);
std::string Utf8(const std::wstring& text);

// Prints "vdcatalog: <message>" on stderr.
void Error(const std::string& message);

class Table {
 public:
  explicit Table(std::vector<std::string> headers) : m_headers(std::move(headers)) {}
  void Add(std::vector<std::string> row) { m_rows.push_back(std::move(row)); }
  bool IsEmpty() const { return m_rows.empty(); }
  // Columns padded to their widest cell (counted in characters, not bytes).
  void Print(std::FILE* out = stdout) const;

 private:
  std::vector<std::string> m_headers;
  std::vector<std::vector<std::string>> m_rows;
};

// Key-value lines ("Name     IPE 200") aligned on the longest key.
void PrintFields(const std::vector<std::pair<std::string, std::string>>& fields);

class Progress {
 public:
  Progress(const char* what, std::size_t total);
  ~Progress();
  void Step(std::size_t done);

 private:
  const char* m_what;
  std::size_t m_total;
  std::chrono::steady_clock::time_point m_start;
  bool m_terminal;
  bool m_shown = false;
  int m_lastPercent = -1;
};

}  // namespace vdcatalog
