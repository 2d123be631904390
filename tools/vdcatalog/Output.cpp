#include "Output.h"

#include <unistd.h>

#include <algorithm>
#include <vdpattern/toolkit/Utf8.h>

namespace vdcatalog {

std::string Utf8(const CString& text) { return text.ToUtf8(); }
std::string Utf8(const std::wstring& text) { return VdToUtf8(text); }

void Error(const std::string& message) { std::fprintf(stderr, "vdcatalog: %s\n", message.c_str()); }

namespace {

// Characters shown, counting each UTF-8 sequence once.
std::size_t Width(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void PrintRow(std::FILE* out, const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) {
  std::string line;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    const std::string cell = i < cells.size() ? cells[i] : std::string();
    line += cell;
    if (i + 1 < widths.size()) line.append(widths[i] - Width(cell) + 2, ' ');
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::fprintf(out, "%s\n", line.c_str());
}

}  // namespace

void Table::Print(std::FILE* out) const {
  std::vector<std::size_t> widths(m_headers.size());
  for (std::size_t i = 0; i < m_headers.size(); ++i) widths[i] = Width(m_headers[i]);
  for (const auto& row : m_rows)
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
  PrintRow(out, m_headers, widths);
  std::vector<std::string> rule;
  for (std::size_t w : widths) rule.push_back(std::string(w, '-'));
  PrintRow(out, rule, widths);
  for (const auto& row : m_rows) PrintRow(out, row, widths);
}

void PrintFields(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::size_t width = 0;
  for (const auto& f : fields) width = std::max(width, Width(f.first));
  for (const auto& f : fields)
    std::printf("%s%s  %s\n", f.first.c_str(), std::string(width - Width(f.first), ' ').c_str(), f.second.c_str());
}

Progress::Progress(const char* what, std::size_t total)
    : m_what(what), m_total(total), m_start(std::chrono::steady_clock::now()), m_terminal(isatty(STDERR_FILENO)) {}

Progress::~Progress() {
  if (m_shown) std::fprintf(stderr, "\r%s: done%*s\n", m_what, 40, "");
}

void Progress::Step(std::size_t done) {
  if (!m_terminal || m_total == 0) return;
  if (!m_shown && std::chrono::steady_clock::now() - m_start < std::chrono::seconds(1)) return;
  const int percent = static_cast<int>(done * 100 / m_total);
  if (percent == m_lastPercent) return;
  m_shown = true;
  m_lastPercent = percent;
  const int filled = percent * 30 / 100;
  std::fprintf(stderr, "\r%s [%s%s] %3d%% (%zu/%zu)", m_what, std::string(filled, '#').c_str(),
               std::string(30 - filled, ' ').c_str(), percent, done, m_total);
  std::fflush(stderr);
}

}  // namespace vdcatalog
