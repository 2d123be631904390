#include "db/access/AccessFile.h"

#include <fcntl.h>
#include <unistd.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vdpattern/toolkit/Utf8.h>

namespace vdpattern::db::access {

void Damaged(std::string what) { throw AccessDamage{std::move(what)}; }

std::string ShownName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      out += c;
      continue;
    }
    out += '\\';
    switch (u) {
      case 0:
        out += '0';
        break;
      case '\t':
        out += 't';
        break;
      case '\n':
        out += 'n';
        break;
      case '\r':
        out += 'r';
        break;
      default:
        out += 'x';
        out += kHex[u >> 4];
        out += kHex[u & 15];
    }
  }
  return out + "\"";
}

namespace {

constexpr unsigned kPageData = 0x01, kPageTable = 0x02, kPageUsage = 0x05;
constexpr unsigned kRowOffsetMask = 0x1FFF;
constexpr std::uint64_t kPageOfRow = 0xFFFFFF;
constexpr unsigned kRowDeleted = 0x8000;   // also set on the row a moved row now lives in
constexpr unsigned kRowOverflow = 0x4000;  // the row holds only the page and row it moved to
constexpr unsigned kMaxMoves = 8;          // Access moves a row once; more is a loop
constexpr std::size_t kLongHeader = 12;    // length and flags, page and row, 4 unused bytes
constexpr std::size_t kCalcHeader = 20;    // a calculated value's length sits at 16, its bytes at 20
constexpr std::uint64_t kRowCost = 16;     // what the copy spends on a row besides its values
constexpr std::uint64_t kClaimCost = 32;   // what remembering the owner of a long-value row costs

std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Le64(const unsigned char* p) {
  return static_cast<std::uint64_t>(Le32(p)) | (static_cast<std::uint64_t>(Le32(p + 4)) << 32);
}
template <typename T, typename Bits>
T FromBits(Bits bits) {
  T value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// ---------------------------------------------------------------- texts

// Windows-1252 from 0x80 to 0x9F (the rest is Latin-1), the code page of Western installations and of most
// Jet 3 files. The five unassigned bytes keep their value, as Windows converts them.
constexpr std::uint16_t kCp1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                       0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                       0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                       0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// UTF-16 code units to UTF-8; an unpaired surrogate becomes U+FFFD.
void Utf16ToUtf8(const std::vector<std::uint16_t>& units, std::string& out) {
  for (std::size_t k = 0; k < units.size(); ++k) {
    std::uint32_t c = units[k];
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < units.size() && units[k + 1] >= 0xDC00 && units[k + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[k + 1] - 0xDC00);
      ++k;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    VdAppendUtf8(out, c);
  }
}

// A Jet 3 text in another code page than 1252, through ICU; false when ICU does not know the code page.
bool CodePageText(unsigned codePage, const unsigned char* p, std::size_t n, std::string& out) {
  UErrorCode status = U_ZERO_ERROR;
  const std::string name = "windows-" + std::to_string(codePage);
  std::unique_ptr<UConverter, void (*)(UConverter*)> conv(ucnv_open(name.c_str(), &status), ucnv_close);
  if (U_FAILURE(status) || !conv) return false;
  std::vector<UChar> units(n * 2 + 2);
  const int32_t length = ucnv_toUChars(conv.get(), units.data(), static_cast<int32_t>(units.size()),
                                       reinterpret_cast<const char*>(p), static_cast<int32_t>(n), &status);
  if (U_FAILURE(status)) return false;
  Utf16ToUtf8(std::vector<std::uint16_t>(units.begin(), units.begin() + length), out);
  return true;
}

// ---------------------------------------------------------------- numbers and dates

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

// The toolkit's storage form of a date: the time only when there is one, its fraction only when not zero,
// `digits` fraction digits with the trailing zeros dropped.
std::string DateTimeText(std::int64_t days1970, std::int64_t seconds, std::int64_t fraction, int digits) {
  int y, m, d;
  CivilFromDays(days1970, y, m, d);
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  if (seconds != 0 || fraction != 0)
    n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), " %02d:%02d:%02d",
                       static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                       static_cast<int>(seconds % 60));
  if (fraction != 0) {
    n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), ".%0*lld", digits,
                       static_cast<long long>(fraction));
    while (buf[n - 1] == '0') --n;
  }
  return std::string(buf, static_cast<std::size_t>(n));
}

// An Access date is a count of days since 1899-12-30 whose fraction is the time of day; before that day the
// whole part counts back while the fraction still counts forward (-1.25 is 1899-12-29 06:00). Values outside
// Access's years 100 to 9999 give false.
bool DateText(double value, std::string& out) {
  if (!std::isfinite(value) || value < -657434.0 || value >= 2958466.0) return false;
  const double whole = std::trunc(value);
  std::int64_t days = static_cast<std::int64_t>(whole);
  std::int64_t ms = std::llround(std::fabs(value - whole) * 86400000.0);
  if (ms >= 86400000) {
    ++days;
    ms -= 86400000;
  }
  if (days > 2958465) return false;
  out = DateTimeText(days - 25569, ms / 1000, ms % 1000, 3);  // 1899-12-30 is day -25569 of 1970
  return true;
}

// Access 2019's extended date: ASCII digits, the days since 0001-01-01 (19), a separator, the seconds of the
// day (12), then the 100 ns units (7). False when the text is not that.
bool ExtDateText(const unsigned char* p, std::size_t n, std::string& out) {
  if (n < 39) return false;
  auto number = [p](std::size_t from, std::size_t count, std::int64_t& value) {
    value = 0;
    for (std::size_t k = from; k < from + count; ++k) {
      if (p[k] < '0' || p[k] > '9') return false;
      value = value * 10 + (p[k] - '0');
    }
    return true;
  };
  std::int64_t days, seconds, units;
  if (!number(0, 19, days) || !number(20, 12, seconds) || !number(32, 7, units)) return false;
  if (days > 3652058 || seconds >= 86400) return false;  // 9999-12-31 is day 3652058
  out = DateTimeText(days - 719162, seconds, units, 7);  // 1970-01-01 is day 719162 of year 1
  return true;
}

// A decimal as exact text, from its magnitude, sign and scale. Decimals are kept as text so that no digit is
// lost to a double (they have up to 28 significant digits).
std::string DecimalText(unsigned __int128 magnitude, bool negative, int scale) {
  char digits[48];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  bool zero = n == 1 && digits[0] == '0';
  while (n <= scale) digits[n++] = '0';
  std::string text = negative && !zero ? "-" : "";
  for (int k = n - 1; k >= 0; --k) {
    text += digits[k];
    if (k == scale && scale > 0) text += '.';
  }
  return text;
}

// A NUMERIC value as exact text. A stored value is a sign byte, then four little-endian 32-bit words, the most
// significant first, at the column's scale (17 bytes). A calculated one is laid out as an OLE DECIMAL (16
// bytes): a length, its own scale and sign, then the 96-bit magnitude as its high 32 bits and its low 64 bits,
// little-endian.
std::string NumericText(const unsigned char* p, bool calculated, int columnScale, const std::string& what) {
  if (calculated) {
    if (p[2] > 28) Damaged(what + " is damaged.");
    const unsigned __int128 magnitude = static_cast<unsigned __int128>(Le32(p + 4)) << 64 | Le64(p + 8);
    return DecimalText(magnitude, p[3] != 0, p[2]);
  }
  unsigned __int128 magnitude = 0;
  for (int w = 0; w < 4; ++w) magnitude = (magnitude << 32) | Le32(p + 1 + 4 * w);
  return DecimalText(magnitude, (p[0] & 0x80) != 0, columnScale);
}

std::string GuidText(const unsigned char* p) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", p[3], p[2],
                p[1], p[0], p[5], p[4], p[7], p[6], p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
  return buf;
}

// The header from 0x18 on is masked with RC4 under a fixed key; the code page and the encryption key are in it.
void UnmaskHeader(unsigned char* p, std::size_t n) {
  unsigned char s[256];
  const unsigned char key[4] = {0xC7, 0xDA, 0x39, 0x6B};
  for (int k = 0; k < 256; ++k) s[k] = static_cast<unsigned char>(k);
  for (int k = 0, j = 0; k < 256; ++k) {
    j = (j + s[k] + key[k % 4]) & 0xFF;
    std::swap(s[k], s[j]);
  }
  for (std::size_t k = 0, i = 0, j = 0; k < n; ++k) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    p[k] ^= s[(s[i] + s[j]) & 0xFF];
  }
}

// What a row's values take in the copy, as SQLite stores them: a header byte each, then integers in 0 to 8
// bytes by their size, reals in 8, texts and blobs in their bytes.
std::uint64_t StoredSize(const std::vector<AccessValue>& values) {
  std::uint64_t size = kRowCost;
  for (const AccessValue& v : values) {
    size += 1;
    if (v.kind == AccessValue::Kind::kInt) {
      const std::uint64_t m = v.i < 0 ? ~static_cast<std::uint64_t>(v.i) : static_cast<std::uint64_t>(v.i);
      size += v.i == 0 || v.i == 1 ? 0 : m < 0x80 ? 1 : m < 0x8000 ? 2 : m < 0x800000 ? 3 : m < 0x80000000ull ? 4 : 8;
    } else if (v.kind == AccessValue::Kind::kReal) {
      size += 8;
    } else {
      size += v.bytes.size();
    }
  }
  return size;
}

}  // namespace

// ---------------------------------------------------------------- checked views

// A run of bytes whose every read is checked against its length.
struct Bytes {
  const unsigned char* p = nullptr;
  std::size_t n = 0;
  const char* what = "";  // for the message: "the definition of the table ..." and so on

  void Need(std::size_t at, std::size_t count) const {
    if (at > n || count > n - at) Damaged(std::string(what) + " is damaged.");
  }
  unsigned U8(std::size_t at) const {
    Need(at, 1);
    return p[at];
  }
  unsigned U16(std::size_t at) const {
    Need(at, 2);
    return Le16(p + at);
  }
  std::uint32_t U32(std::size_t at) const {
    Need(at, 4);
    return Le32(p + at);
  }
  Bytes Sub(std::size_t at, std::size_t count) const {
    Need(at, count);
    return Bytes{p + at, count, what};
  }
};

// Where Jet 3 and Jet 4 and later keep the fields this reader needs.
struct Layout {
  unsigned pageSize;
  unsigned rowCount;     // data page: number of rows, then their offsets
  unsigned tdefRows;     // table definition: number of rows
  unsigned tdefColumns;  // number of columns
  unsigned tdefRealIndexes;
  unsigned tdefUsageMap;  // row and page of the map of the table's data pages
  unsigned tdefStart;     // end of the fixed part: real index entries, then columns, then names
  unsigned realIndexSize;
  unsigned columnSize;
  unsigned colNumber, colVarIndex, colFlags, colExtFlags, colFixedOffset, colLength, colPrecision, colScale;
  unsigned nameLength;      // bytes holding a column name's length
  unsigned rowColumnCount;  // bytes holding a row's column count
};

namespace {
constexpr unsigned kNone = 0xFFFF;
constexpr unsigned kAnyPage = 0x100;
const Layout kJet3{2048, 8, 12, 25, 31, 35, 43, 8, 18, 1, 3, 13, kNone, 14, 16, 11, 12, 1, 1};
const Layout kJet4{4096, 12, 16, 45, 51, 55, 63, 12, 25, 5, 7, 15, 16, 21, 23, 11, 12, 2, 2};
}  // namespace

// ---------------------------------------------------------------- the file

AccessFile::AccessFile(const std::string& path, std::uint64_t size, std::chrono::milliseconds timeLimit) {
  if (timeLimit.count() > 0) {
    m_limited = true;
    m_deadline = std::chrono::steady_clock::now() + timeLimit;
  }
  m_budget = size * kDecodedPerFileByte + kDecodedSlack;
  unsigned char header[0x80] = {};
  m_file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_file.fd < 0) Damaged(std::string("it cannot be read (") + std::strerror(errno) + ").");
  if (::pread(m_file.fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
    Damaged("the file is truncated (its header is incomplete).");
  const unsigned version = header[0x14];
  if (version > 6) Damaged("its header gives an unknown Access version.");
  m_jet3 = version == 0;
  m_layout = m_jet3 ? &kJet3 : &kJet4;
  // Page 2 holds the catalog; an Access file only ever grows by whole pages.
  m_pages = size / m_layout->pageSize;
  if (m_pages < 3 || size % m_layout->pageSize != 0) Damaged("the file is truncated.");
  UnmaskHeader(header + 0x18, sizeof header - 0x18);
  if (m_jet3) m_codePage = Le16(header + 0x3C);
  if (version <= 1 && Le32(header + 0x3E) != 0) Damaged("it is encrypted, which this reader cannot read.");
}

AccessFile::File::~File() {
  if (fd >= 0) ::close(fd);
}

// Page `page`, which must exist and be of `type` (or of any type: kAnyPage).
Bytes AccessFile::Page(std::uint32_t page, unsigned type) {
  const unsigned size = m_layout->pageSize;
  // Every loop of the reader reads pages, so this is where the time limit holds.
  if (m_limited && std::chrono::steady_clock::now() > m_deadline) throw AccessTimeout{};
  if (page == 0 || page >= m_pages) Damaged("a page number points outside the file.");
  if (m_loaded != page) {
    m_page.resize(size);
    m_loaded = 0;
    if (::pread(m_file.fd, m_page.data(), size, static_cast<off_t>(page) * size) != static_cast<ssize_t>(size))
      Damaged("a page cannot be read.");
    m_loaded = page;
  }
  if (type != kAnyPage && m_page[0] != type) Damaged("a page is not of the type that points to it expects.");
  return Bytes{m_page.data(), size, "a page"};
}

// Row (pageRow & 0xFF) of data page (pageRow >> 8), without its flags, which go to `flags`.
Bytes AccessFile::PageRow(std::uint32_t pageRow, unsigned& flags) {
  const Bytes page = Page(pageRow >> 8, kPageData);
  const unsigned row = pageRow & 0xFF, at = m_layout->rowCount;
  const unsigned count = page.U16(at);
  if (row >= count) Damaged("a row number points outside its page.");
  const unsigned first = at + 2 + 2 * count;  // the row data comes after the offsets
  const unsigned raw = page.U16(at + 2 + 2 * row);
  const unsigned start = raw & kRowOffsetMask;
  const unsigned end = row == 0 ? page.n : page.U16(at + 2 * row) & kRowOffsetMask;
  if (start < first || start > end || end > page.n) Damaged("a row lies outside its page.");
  flags = raw & ~kRowOffsetMask;
  return page.Sub(start, end - start);
}

AccessTable AccessFile::OpenTable(const std::string& name, std::uint32_t page) {
  const Layout& l = *m_layout;
  const std::string what = "the definition of the table " + ShownName(name);
  // Access allows no control character in a name, and the copy could not hold a NUL in one.
  if (name.find('\0') != std::string::npos) Damaged("the name of the table " + ShownName(name) + " holds a NUL.");
  // A long definition continues on further pages, each after an 8-byte header.
  std::vector<unsigned char> def;
  std::unordered_set<std::uint32_t> seen;
  for (std::uint32_t next = page; next != 0;) {
    if (!seen.insert(next).second) Damaged(what + " loops back on itself.");
    const Bytes p = Page(next, kPageTable);
    def.insert(def.end(), p.p + (def.empty() ? 0 : 8), p.p + p.n);
    next = p.U32(4);
  }
  const Bytes d{def.data(), def.size(), what.c_str()};
  AccessTable table;
  table.name = name;
  table.page = page;
  table.rowCount = d.U32(l.tdefRows);
  const unsigned columns = d.U16(l.tdefColumns);
  if (columns == 0 || columns > 255) Damaged(what + " gives an impossible number of columns.");
  std::size_t at = l.tdefStart + static_cast<std::size_t>(l.realIndexSize) * d.U32(l.tdefRealIndexes);
  std::size_t names = at + static_cast<std::size_t>(l.columnSize) * columns;
  for (unsigned k = 0; k < columns; ++k, at += l.columnSize) {
    const Bytes c = d.Sub(at, l.columnSize);
    AccessColumn col;
    col.type = c.U8(0);
    col.number = c.U16(l.colNumber);
    col.varIndex = c.U16(l.colVarIndex);
    col.fixed = (c.U8(l.colFlags) & 0x01) != 0;
    col.autoNumber = (c.U8(l.colFlags) & 0x04) != 0;
    col.calculated = l.colExtFlags != kNone && (c.U8(l.colExtFlags) & 0xC0) != 0;
    col.fixedOffset = c.U16(l.colFixedOffset);
    col.length = c.U16(l.colLength);
    if (col.type == kNumeric) {
      col.precision = static_cast<int>(c.U8(l.colPrecision));
      col.scale = static_cast<int>(c.U8(l.colScale));
      if (col.scale > 28 || col.precision > 28)
        Damaged("a column of the table " + ShownName(name) + " has an impossible scale.");
    }
    const std::size_t length = l.nameLength == 1 ? d.U8(names) : d.U16(names);
    names += l.nameLength;
    const Bytes n = d.Sub(names, length);
    col.name = Text(n.p, n.n);
    names += length;
    if (col.name.empty()) Damaged("a column of the table " + ShownName(name) + " has no name.");
    if (col.name.find('\0') != std::string::npos)
      Damaged("the name of the column " + ShownName(col.name) + " of the table " + ShownName(name) + " holds a NUL.");
    table.columns.push_back(std::move(col));
  }
  // The usage map: a row on a data page, listing the table's data pages.
  const std::uint32_t mapRow = d.U32(l.tdefUsageMap);
  unsigned flags = 0;
  const Bytes map = PageRow(mapRow, flags);
  const std::vector<unsigned char> copy(map.p, map.p + map.n);
  UsagePages(table, Bytes{copy.data(), copy.size(), "the page map of the table"}, table.dataPages);
  return table;
}

// The pages a usage map lists: either inline (a first page, then a bitmap) or through bitmap pages (their
// numbers, each covering (page size - 4) * 8 pages).
void AccessFile::UsagePages(const AccessTable& table, const Bytes& map, std::vector<std::uint32_t>& pages) {
  const std::string what = "the page map of the table " + ShownName(table.name) + " is damaged.";
  auto bitmap = [&](const unsigned char* bits, std::size_t n, std::uint64_t first) {
    for (std::size_t k = 0; k < n * 8; ++k)
      if (bits[k / 8] & (1u << (k % 8))) {
        const std::uint64_t page = first + k;
        if (page == 0 || page >= m_pages || page > kPageOfRow) Damaged(what);  // rows name pages in 24 bits
        pages.push_back(static_cast<std::uint32_t>(page));
      }
  };
  if (map.n < 5) Damaged(what);
  if (map.p[0] == 0) return bitmap(map.p + 5, map.n - 5, Le32(map.p + 1));
  if (map.p[0] != 1 || (map.n - 1) % 4 != 0) Damaged(what);
  const std::uint64_t span = (m_layout->pageSize - 4) * 8ull;
  for (std::size_t k = 0; k < (map.n - 1) / 4; ++k) {
    const std::uint32_t mapPage = Le32(map.p + 1 + 4 * k);
    if (mapPage == 0) continue;
    if (k * span >= m_pages) Damaged(what);
    const Bytes p = Page(mapPage, kPageUsage);
    const std::vector<unsigned char> bits(p.p + 4, p.p + p.n);
    bitmap(bits.data(), bits.size(), k * span);
  }
}

void AccessFile::ReadRows(const AccessTable& table, const std::function<void(const std::vector<AccessValue>&)>& row) {
  std::vector<AccessValue> values(table.columns.size());
  std::uint64_t read = 0;
  ++m_read;
  m_movedTo.clear();
  for (const std::uint32_t page : table.dataPages) {
    // A page of the map that is not one of the table's data pages holds none of its rows.
    const Bytes p = Page(page, kAnyPage);
    if (p.p[0] != kPageData || Le32(p.p + 4) != table.page) continue;
    const unsigned count = p.U16(m_layout->rowCount);
    for (unsigned k = 0; k < count; ++k) {
      unsigned flags = 0;
      Bytes r = PageRow((page << 8) | k, flags);
      if (flags & kRowDeleted) continue;
      // A moved row leaves its new page and row behind; the new row is marked deleted so scans skip it.
      for (unsigned moves = 0; flags & kRowOverflow; ++moves) {
        if (moves == kMaxMoves || r.n < 4) Damaged("a row of the table " + ShownName(table.name) + " is damaged.");
        const std::uint32_t to = (static_cast<std::uint32_t>(r.U16(1)) | (r.U8(3) << 16)) << 8 | r.U8(0);
        // Each moved row has a row of its own; rows that share one would read it once for each.
        if (!m_movedTo.insert(to).second)
          Damaged("two rows of the table " + ShownName(table.name) + " point to the same moved row.");
        r = PageRow(to, flags);
      }
      m_row.assign(r.p, r.p + r.n);
      ReadRow(table, Bytes{m_row.data(), m_row.size(), nullptr}, values);
      Spend(table, StoredSize(values));
      row(values);
      ++read;
    }
  }
  if (read < table.rowCount) {
    char detail[96];
    std::snprintf(detail, sizeof detail, " gives %llu of the %u rows it stores.", static_cast<unsigned long long>(read),
                  table.rowCount);
    Damaged("the table " + ShownName(table.name) + detail);
  }
}

// A row: its column count, the fixed-length values at their offsets, the variable-length values, their
// offsets table (from the end, before the null mask) and, last, the null mask, one bit per column number.
void AccessFile::ReadRow(const AccessTable& table, const Bytes& row, std::vector<AccessValue>& values) {
  const std::string what = "a row of the table " + ShownName(table.name);
  const Bytes r{row.p, row.n, what.c_str()};
  const unsigned countSize = m_layout->rowColumnCount;
  const unsigned columns = m_jet3 ? r.U8(0) : r.U16(0);
  const std::size_t maskSize = (columns + 7) / 8;
  r.Need(countSize, maskSize);
  const unsigned char* mask = r.p + r.n - maskSize;
  // Where the variable-length values start and end, for each of the row's variable-length columns.
  std::vector<unsigned> offsets;
  std::size_t tableStart = r.n - maskSize;  // the first byte of the offsets table
  const bool anyVariable =
      std::any_of(table.columns.begin(), table.columns.end(), [](const AccessColumn& c) { return !c.fixed; });
  if (anyVariable && m_jet3) {
    // One byte per offset, plus a "jump" byte each time the offsets pass a multiple of 256.
    const std::size_t end = r.n - 1;  // index of the row's last byte
    r.Need(0, maskSize + 1);
    const unsigned varCount = r.U8(end - maskSize);
    std::size_t jumps = (r.n - 1) / 256;
    if (end < maskSize + jumps + 1 + varCount) Damaged(what + " is damaged.");
    const std::size_t colOffset = end - maskSize - jumps - 1;
    if ((colOffset - varCount) / 256 < jumps) --jumps;
    std::size_t used = 0;
    for (unsigned k = 0; k <= varCount; ++k) {
      while (used < jumps && k == r.U8(end - maskSize - used - 1)) ++used;
      offsets.push_back(r.U8(colOffset - k) + static_cast<unsigned>(used * 256));
    }
    tableStart = colOffset - varCount;
  } else if (anyVariable) {
    r.Need(countSize, maskSize + 2);
    const unsigned varCount = r.U16(r.n - maskSize - 2);
    const std::size_t table2 = 2 * (static_cast<std::size_t>(varCount) + 1);
    r.Need(countSize, maskSize + 2 + table2);
    for (unsigned k = 0; k <= varCount; ++k) offsets.push_back(r.U16(r.n - maskSize - 4 - 2 * k));
    tableStart = r.n - maskSize - 2 - table2;
  }
  for (std::size_t k = 0; k < table.columns.size(); ++k) {
    const AccessColumn& col = table.columns[k];
    AccessValue& out = values[k];
    out.kind = AccessValue::Kind::kNull;
    out.bytes.clear();
    // Columns added after the row was written are beyond its mask: NULL, or No for a Yes/No.
    const bool set = col.number < columns && (mask[col.number / 8] & (1u << (col.number % 8))) != 0;
    if (col.type == kBool && !col.calculated) {  // a Yes/No value is its bit in the mask
      out.kind = AccessValue::Kind::kInt;
      out.i = set ? 1 : 0;
      continue;
    }
    if (!set) continue;
    if (col.fixed) {
      const std::size_t start = countSize + static_cast<std::size_t>(col.fixedOffset);
      if (start > tableStart || col.length > tableStart - start) Damaged(what + " is damaged.");
      Decode(table, col, r.Sub(start, col.length), out);
    } else if (col.varIndex + 1 < offsets.size()) {
      const unsigned start = offsets[col.varIndex], end = offsets[col.varIndex + 1];
      if (start < countSize || start > end || end > tableStart) Damaged(what + " is damaged.");
      Decode(table, col, r.Sub(start, end - start), out);
    }
  }
}

void AccessFile::Decode(const AccessTable& table, const AccessColumn& col, Bytes data, AccessValue& out) {
  using Kind = AccessValue::Kind;
  const std::string what = "a value of the column " + ShownName(col.name) + " of the table " + ShownName(table.name);
  data.what = what.c_str();
  auto need = [&](std::size_t bytes) {
    if (data.n < bytes) Damaged(what + " is too short.");
  };
  if (col.type == kMemo || col.type == kOle) {
    ReadLong(table, col, data, out.bytes);
    data = Bytes{reinterpret_cast<const unsigned char*>(out.bytes.data()), out.bytes.size(), what.c_str()};
  }
  std::string calc;
  if (col.calculated) {
    // The result of the expression, after a header whose bytes 16 to 19 give its length.
    if (data.n >= kCalcHeader) {
      const std::size_t length = std::min<std::size_t>(Le32(data.p + 16), data.n - kCalcHeader);
      calc.assign(reinterpret_cast<const char*>(data.p + kCalcHeader), length);
      data = Bytes{reinterpret_cast<const unsigned char*>(calc.data()), calc.size(), what.c_str()};
    }
    if (col.type == kBool) {
      out.kind = Kind::kInt;
      out.i = data.n > 0 && data.p[0] != 0;
      return;
    }
    if (data.n == 0 && col.type != kText && col.type != kMemo) return;  // an empty result is NULL
  }
  switch (col.type) {
    case kByte:
      need(1);
      out.kind = Kind::kInt;
      out.i = data.p[0];
      return;
    case kInt:
      need(2);
      out.kind = Kind::kInt;
      out.i = static_cast<std::int16_t>(Le16(data.p));
      return;
    case kLong:
    case kComplex:
      need(4);
      out.kind = Kind::kInt;
      out.i = static_cast<std::int32_t>(Le32(data.p));
      return;
    case kBigInt:
      need(8);
      out.kind = Kind::kInt;
      out.i = static_cast<std::int64_t>(Le64(data.p));
      return;
    case kMoney:
      need(8);
      // A fixed-point count of ten-thousandths; one correctly rounded division gives the nearest double.
      out.kind = Kind::kReal;
      out.d = static_cast<double>(static_cast<std::int64_t>(Le64(data.p))) / 10000.0;
      return;
    case kFloat:
      need(4);
      out.kind = Kind::kReal;
      out.d = FromBits<float>(Le32(data.p));
      return;
    case kDouble:
      need(8);
      out.kind = Kind::kReal;
      out.d = FromBits<double>(Le64(data.p));
      return;
    case kDateTime:
      need(8);
      out.d = FromBits<double>(Le64(data.p));
      // A date no Access could store is kept as its raw number rather than invented.
      out.kind = DateText(out.d, out.bytes) ? Kind::kText : Kind::kReal;
      return;
    case kExtDate:
      out.kind = Kind::kText;
      // A text that is not an extended date is kept as it is rather than refused.
      if (!ExtDateText(data.p, data.n, out.bytes)) out.bytes.assign(reinterpret_cast<const char*>(data.p), data.n);
      return;
    case kNumeric:
      need(col.calculated ? 16 : 17);
      out.kind = Kind::kText;
      out.bytes = NumericText(data.p, col.calculated, col.scale, what);
      return;
    case kGuid:
      need(16);
      out.kind = Kind::kText;
      out.bytes = GuidText(data.p);
      return;
    case kText:
    case kMemo:
      out.kind = Kind::kText;
      out.bytes = Text(data.p, data.n);
      return;
    case kOle:
      out.kind = Kind::kBlob;
      if (!calc.empty()) out.bytes = calc;
      return;
    default:  // Binary and types this reader does not know: their bytes
      out.kind = Kind::kBlob;
      out.bytes.assign(reinterpret_cast<const char*>(data.p), data.n);
      return;
  }
}

// A MEMO or OLE value: a 12-byte header in the row, then the bytes inline, in one row of another page, or in a
// chain of rows each starting with the page and row of the next. The loop is bounded by the declared length and
// a row seen twice is damage.
void AccessFile::ReadLong(const AccessTable& table, const AccessColumn& col, const Bytes& data, std::string& out) {
  out.clear();
  if (data.n == 0) return;
  auto damaged = [&](const char* what) {
    Damaged("the long value of the column " + ShownName(col.name) + " of the table " + ShownName(table.name) + " " +
            what);
  };
  if (data.n < kLongHeader) damaged("is too short.");
  const std::uint32_t head = Le32(data.p);
  const std::uint32_t length = head & 0x3FFFFFFF;
  if (length > m_pages * m_layout->pageSize) damaged("is longer than the file.");
  if (head & 0x80000000) {  // inline
    if (length > data.n - kLongHeader) damaged("is longer than its row.");
    out.assign(reinterpret_cast<const char*>(data.p + kLongHeader), length);
    return;
  }
  std::uint32_t pageRow = Le32(data.p + 4);
  unsigned flags = 0;
  if (head & 0x40000000) {  // one row of another page, all data
    Claim(table, col, pageRow);
    const Bytes r = PageRow(pageRow, flags);
    if (r.n < length) damaged("is damaged.");
    out.assign(reinterpret_cast<const char*>(r.p), length);
    return;
  }
  std::unordered_set<std::uint32_t> seen;
  out.reserve(length);
  while (out.size() < length) {
    if (pageRow == 0) damaged("ends early.");
    if (!seen.insert(pageRow).second) damaged("loops back on itself.");
    Claim(table, col, pageRow);
    const Bytes r = PageRow(pageRow, flags);
    if (r.n <= 4) damaged("is damaged.");
    out.append(reinterpret_cast<const char*>(r.p + 4),
               std::min(r.n - 4, static_cast<std::size_t>(length) - out.size()));
    pageRow = Le32(r.p);
  }
}

// A long value's rows belong to it alone: a row already read for another value of this read, or for a value of
// another table, is damage. A later read of the same table finds its own rows again and takes them over.
void AccessFile::Claim(const AccessTable& table, const AccessColumn& col, std::uint32_t pageRow) {
  const auto [owner, added] = m_longRows.try_emplace(pageRow, LongOwner{table.page, m_read});
  if (added) return Spend(table, kClaimCost);
  if (owner->second.table != table.page || owner->second.read == m_read)
    Damaged("the long value of the column " + ShownName(col.name) + " of the table " + ShownName(table.name) +
            " shares its pages with another value.");
  owner->second.read = m_read;
}

void AccessFile::Spend(const AccessTable& table, std::uint64_t cost) {
  if (cost > m_budget) {
    char detail[160];
    std::snprintf(detail, sizeof detail,
                  " decodes to more than %llu times the file's size plus %llu MiB, which no Access file does.",
                  static_cast<unsigned long long>(kDecodedPerFileByte),
                  static_cast<unsigned long long>(kDecodedSlack >> 20));
    Damaged("the table " + ShownName(table.name) + detail);
  }
  m_budget -= cost;
}

// A text value as stored: Jet 3 in the header's code page, Jet 4 and later in UTF-16, or "compressed" (a 0xFF
// 0xFE mark, then runs of one byte per character, each 0x00 switching between one and two bytes per character).
// A stray last byte is dropped.
std::string AccessFile::Text(const unsigned char* p, std::size_t n) const {
  std::string out;
  out.reserve(n + n / 2);
  if (m_jet3) {
    if (m_codePage != 1252 && m_codePage != 0 && CodePageText(m_codePage, p, n, out)) return out;
    for (std::size_t k = 0; k < n; ++k) VdAppendUtf8(out, p[k] >= 0x80 && p[k] < 0xA0 ? kCp1252[p[k] - 0x80] : p[k]);
    return out;
  }
  std::vector<std::uint16_t> units;
  units.reserve(n);
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    bool compressed = true;
    for (std::size_t k = 2; k < n;) {
      if (p[k] == 0) {
        compressed = !compressed;
        ++k;
      } else if (compressed) {
        units.push_back(p[k++]);
      } else if (k + 1 < n) {
        units.push_back(Le16(p + k));
        k += 2;
      } else {
        break;
      }
    }
  } else {
    for (std::size_t k = 0; k + 1 < n; k += 2) units.push_back(Le16(p + k));
  }
  Utf16ToUtf8(units, out);
  return out;
}

}  // namespace vdpattern::db::access
