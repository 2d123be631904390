#pragma once
// Access files made in code, for the reader's hostile-file tests: 4 KB pages under an Access 2007 header, a
// catalog of tables on page 2, and tables whose definitions, rows and long values a test lays out itself, down
// to the page and row each one points to, so that a test can build what Access never writes (a long value
// shared by many rows, a table listed under many names, moved rows that meet).
//
// Only what the reader needs is written: no indexes, no global page map, no properties.

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vdtest::access {

constexpr std::size_t kPage = 4096;
constexpr unsigned kLong = 0x04, kDate = 0x08, kText = 0x0A, kMemo = 0x0C;
constexpr unsigned kDeleted = 0x8000, kMoved = 0x4000;  // flags on a row's offset

inline void Put16(std::string& s, std::size_t at, unsigned v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& s, std::size_t at, std::uint32_t v) {
  Put16(s, at, v & 0xFFFF);
  Put16(s, at + 2, v >> 16);
}
inline std::string Le32(std::uint32_t v) {
  std::string s(4, '\0');
  Put32(s, 0, v);
  return s;
}
// A text as Access stores it from 2000 on: UTF-16LE (the tests use ASCII and control characters).
inline std::string Utf16(const std::string& text) {
  std::string out;
  for (char c : text) out += std::string{c, '\0'};
  return out;
}
inline std::uint32_t PageRow(std::uint32_t page, unsigned row) { return page << 8 | row; }

struct Column {
  std::string name;
  unsigned type;
  bool fixed;
  unsigned offset = 0;  // a fixed column's place among the fixed values
  unsigned length = 0;  // in bytes
};

// A MEMO or OLE value's 12 bytes in its row: its length, whether it lies in one row, where its first row is.
inline std::string LongRef(std::uint32_t length, std::uint32_t first, bool oneRow = false) {
  return Le32(length | (oneRow ? 0x40000000u : 0u)) + Le32(first) + Le32(0);
}

// A row of `columns`: each cell its raw bytes (a fixed one exactly its length) or nullopt for NULL.
inline std::string Row(const std::vector<Column>& columns, const std::vector<std::optional<std::string>>& cells) {
  std::string fixed, variable;
  std::vector<unsigned> starts;
  std::string mask((columns.size() + 7) / 8, '\0');
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const Column& c = columns[k];
    if (c.fixed) fixed.resize(std::max<std::size_t>(fixed.size(), c.offset + c.length), '\0');
    if (!cells[k]) continue;
    mask[k / 8] = static_cast<char>(mask[k / 8] | (1 << (k % 8)));
    if (c.fixed) fixed.replace(c.offset, c.length, *cells[k]);
  }
  std::string row(2, '\0');
  Put16(row, 0, static_cast<unsigned>(columns.size()));
  row += fixed;
  bool anyVariable = false;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    if (columns[k].fixed) continue;
    anyVariable = true;
    starts.push_back(static_cast<unsigned>(row.size()));
    if (cells[k]) row += *cells[k];
  }
  if (anyVariable) {
    starts.push_back(static_cast<unsigned>(row.size()));
    // The offsets from the last (the end of the values) to the first, then their count.
    for (std::size_t k = starts.size(); k-- > 0;) row += std::string(2, '\0'), Put16(row, row.size() - 2, starts[k]);
    row += std::string(2, '\0');
    Put16(row, row.size() - 2, static_cast<unsigned>(starts.size() - 1));
  }
  return row + mask;
}

class Builder {
 public:
  Builder() : m_file(3 * kPage, '\0') {
    const char kSignature[] = "\x00\x01\x00\x00Standard ACE DB";
    std::memcpy(&m_file[0], kSignature, sizeof kSignature);
    m_file[0x14] = 2;  // Access 2007: no encryption word to mask
  }

  // A new page, blank; its number.
  std::uint32_t NewPage() {
    m_file.resize(m_file.size() + kPage, '\0');
    return static_cast<std::uint32_t>(m_file.size() / kPage - 1);
  }
  std::size_t Pages() const { return m_file.size() / kPage; }

  // Fills data page `page` (new when 0) owned by the table defined on `owner` with `rows`, each with its
  // offset flags (rows that do not fit throw std::length_error). Gives the page's number.
  std::uint32_t DataPage(std::uint32_t owner, const std::vector<std::string>& rows,
                         const std::vector<unsigned>& flags = {}, std::uint32_t page = 0) {
    if (page == 0) page = NewPage();
    std::string p(kPage, '\0');
    p[0] = 1, p[1] = 1;
    Put32(p, 4, owner);
    Put16(p, 12, static_cast<unsigned>(rows.size()));
    std::size_t end = kPage;
    for (std::size_t k = 0; k < rows.size(); ++k) {
      if (rows[k].size() + 14 + 2 * rows.size() > end) throw std::length_error("the rows do not fit their page");
      end -= rows[k].size();
      p.replace(end, rows[k].size(), rows[k]);
      Put16(p, 14 + 2 * k, static_cast<unsigned>(end) | (k < flags.size() ? flags[k] : 0));
    }
    Put16(p, 2, static_cast<unsigned>(end - 14 - 2 * rows.size()));  // free space
    m_file.replace(page * kPage, kPage, p);
    return page;
  }

  // Pages of long-value rows holding `parts`, chained in order (the last points nowhere): the first row's page
  // and row. Rows go `perPage` to a page (two of up to 2,000 bytes fit), so that a chain moves between pages.
  std::uint32_t Chain(const std::vector<std::string>& parts, std::size_t perPage = 2) {
    std::vector<std::uint32_t> at;
    const std::uint32_t first = static_cast<std::uint32_t>(Pages());
    for (std::size_t k = 0; k < parts.size(); ++k)
      at.push_back(PageRow(first + static_cast<std::uint32_t>(k / perPage), static_cast<unsigned>(k % perPage)));
    for (std::size_t k = 0; k < parts.size(); k += perPage) {
      std::vector<std::string> rows;
      for (std::size_t j = k; j < parts.size() && j < k + perPage; ++j)
        rows.push_back(Le32(j + 1 < parts.size() ? at[j + 1] : 0) + parts[j]);
      DataPage(0x4C41564C, rows);  // "LVAL"
    }
    return at.empty() ? 0 : at[0];
  }

  // The definition of a table on page `page` (new when 0) with `columns` and `rowCount` rows on `dataPages`:
  // its page.
  std::uint32_t Table(const std::vector<Column>& columns, std::uint32_t rowCount,
                      const std::vector<std::uint32_t>& dataPages, std::uint32_t page = 0) {
    if (page == 0) page = NewPage();
    // The page map: an inline bitmap from the first data page, in a row of a page of its own.
    std::uint32_t from = dataPages.empty() ? 1 : dataPages[0];
    for (std::uint32_t p : dataPages) from = std::min(from, p);
    std::string map = std::string(1, '\0') + Le32(from);
    for (std::uint32_t p : dataPages) {
      const std::size_t bit = p - from;
      if (map.size() < 5 + bit / 8 + 1) map.resize(5 + bit / 8 + 1, '\0');
      map[5 + bit / 8] = static_cast<char>(map[5 + bit / 8] | (1 << (bit % 8)));
    }
    if (map.size() == 5) map += '\0';
    const std::uint32_t mapPage = DataPage(0, {map});
    std::string d(63, '\0');
    d[0] = 2, d[1] = 1;
    Put32(d, 16, rowCount);
    Put16(d, 45, static_cast<unsigned>(columns.size()));
    Put32(d, 55, PageRow(mapPage, 0));
    unsigned varIndex = 0;
    for (std::size_t k = 0; k < columns.size(); ++k) {
      const Column& c = columns[k];
      std::string desc(25, '\0');
      desc[0] = static_cast<char>(c.type);
      Put16(desc, 5, static_cast<unsigned>(k));
      Put16(desc, 7, c.fixed ? 0 : varIndex++);
      desc[15] = c.fixed ? 1 : 0;
      Put16(desc, 21, c.offset);
      Put16(desc, 23, c.length);
      d += desc;
    }
    for (const Column& c : columns) {
      const std::string name = Utf16(c.name);
      d += std::string(2, '\0');
      Put16(d, d.size() - 2, static_cast<unsigned>(name.size()));
      d += name;
    }
    d.resize(kPage, '\0');  // a test's definition fits one page
    m_file.replace(page * kPage, kPage, d);
    return page;
  }

  // Lists the table defined on `page` in the catalog under `name`.
  void List(const std::string& name, std::uint32_t page) { m_listed.emplace_back(name, page); }

  // The file's bytes, with the catalog written on page 2 and its rows on pages of their own.
  std::string Bytes() {
    const std::vector<Column> catalog = {{"Id", kLong, true, 0, 4},
                                         {"Name", kText, false, 0, 510},
                                         {"Type", 0x03, true, 4, 2},
                                         {"Flags", kLong, true, 6, 4}};
    std::vector<std::uint32_t> pages;
    std::vector<std::string> rows;
    std::size_t used = 14;
    auto flush = [&] {
      if (!rows.empty()) pages.push_back(DataPage(2, rows));
      rows.clear();
      used = 14;
    };
    for (const auto& [name, page] : m_listed) {
      std::string row = Row(catalog, {Le32(page), Utf16(name), std::string("\x01\x00", 2), Le32(0)});
      if (used + row.size() + 2 > kPage) flush();
      used += row.size() + 2;
      rows.push_back(std::move(row));
    }
    flush();
    Table(catalog, static_cast<std::uint32_t>(m_listed.size()), pages, 2);
    return m_file;
  }

 private:
  std::string m_file;
  std::vector<std::pair<std::string, std::uint32_t>> m_listed;
};

// ---------------------------------------------------------------- files built to take memory and time

inline const std::vector<Column>& NotesColumns() {
  static const std::vector<Column> columns = {{"Id", kLong, true, 0, 4}, {"Note", kMemo, false}};
  return columns;
}

// A table "Notes" of `rows` rows whose MEMO values all point to one chain of `chainRows` rows of 2,000 bytes.
inline std::string SharedLongValueFile(std::uint32_t rows, std::size_t chainRows) {
  Builder b;
  const std::uint32_t chain = b.Chain(std::vector<std::string>(chainRows, Utf16(std::string(1000, 'x'))));
  const std::uint32_t table = b.NewPage();
  std::vector<std::uint32_t> pages;
  std::vector<std::string> page;
  for (std::uint32_t k = 0; k < rows; ++k) {
    page.push_back(Row(NotesColumns(), {Le32(k), LongRef(static_cast<std::uint32_t>(chainRows * 2000), chain)}));
    if (page.size() == 140 || k + 1 == rows) pages.push_back(b.DataPage(table, page)), page.clear();
  }
  b.Table(NotesColumns(), rows, pages, table);
  b.List("Notes", table);
  return b.Bytes();
}

// One table of `pages` pages of text rows, listed in the catalog under `names` names (T0, T1, ...).
inline std::string ListedFile(int names, int pages = 1) {
  const std::vector<Column> columns = {{"Id", kLong, true, 0, 4}, {"Text", kText, false, 0, 510}};
  Builder b;
  const std::uint32_t table = b.NewPage();
  std::vector<std::uint32_t> data;
  for (int p = 0; p < pages; ++p)
    data.push_back(
        b.DataPage(table, std::vector<std::string>(8, Row(columns, {Le32(7), Utf16(std::string(240, 'y'))}))));
  b.Table(columns, static_cast<std::uint32_t>(8 * pages), data, table);
  for (int k = 0; k < names; ++k) b.List("T" + std::to_string(k), table);
  return b.Bytes();
}

// A table "Dates" of 64 date columns over `pages` full data pages; `overlap` puts every column on the same 8
// bytes, so that an 18-byte row decodes to 64 dates. `padding` blank pages make the file larger. The table's
// definition page goes to `tablePage`.
inline std::string DatesFile(bool overlap, int pages, int padding = 0, std::uint32_t* tablePage = nullptr) {
  std::vector<Column> columns;
  for (unsigned k = 0; k < 64; ++k) columns.push_back({"d" + std::to_string(k), kDate, true, overlap ? 0 : 8 * k, 8});
  std::string date(8, '\0');
  const double value = 45000.5;  // 2023-03-15 12:00:00
  std::memcpy(&date[0], &value, 8);
  const std::string row = Row(columns, std::vector<std::optional<std::string>>(64, date));
  Builder b;
  const std::uint32_t table = b.NewPage();
  std::vector<std::uint32_t> data;
  const std::size_t perPage = (kPage - 14) / (row.size() + 2);
  for (int k = 0; k < pages; ++k) data.push_back(b.DataPage(table, std::vector<std::string>(perPage, row)));
  b.Table(columns, static_cast<std::uint32_t>(perPage * pages), data, table);
  b.List("Dates", table);
  for (int k = 0; k < padding; ++k) b.NewPage();
  if (tablePage) *tablePage = table;
  return b.Bytes();
}

}  // namespace vdtest::access
