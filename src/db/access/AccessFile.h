#pragma once
// The pages of a Microsoft Access file, read by our own code: the header, table definitions, their columns, the
// rows of a table and the long values (MEMO, OLE) they point to. AccessLoader copies what it reads into SQLite;
// nothing else uses this class. One instance per open, on one thread.
//
// Why our own reader: libmdb, the obvious library, refuses the version word of Access 2010 and later files,
// swaps the precision and scale of decimal columns, misreads rows written before a column was deleted and
// rows moved to another page, and trusts the file it reads. The format is small enough to read ourselves, and
// then every page number, offset and length can be checked before it is used.
//
// Versions: the byte at header offset 0x14 names the engine: 0 Jet 3 (Access 97, 2 KB pages, texts in the
// code page named by the header), 1 Jet 4 (Access 2000-2003), 2 ACE 12 (2007), 3 ACE 14 (2010), 4 ACE 15
// (2013), 5 ACE 16 (2016), 6 ACE 17 (2019): all with 4 KB pages and UTF-16 texts, possibly "compressed". The
// byte after it carries other flags, which is why reading the four bytes as one version refuses valid files.
//
// Damage: anything that does not fit (a page outside the file, an offset outside its page or row, a page of
// the wrong type, a chain that loops) throws AccessDamage with a sentence for the user; never a crash, a hang
// or a read outside a buffer. Names in that sentence come through ShownName, so a control character in a name
// neither cuts the sentence (a NUL did) nor reaches the user's terminal raw.
//
// Bounds, so that a small hostile file cannot take the host's memory or time:
// - a long value (MEMO, OLE) owns the rows of its page chain: a row that a second value of the same read, or a
//   value of another table, also points to is damage (one 120 KB chain shared by 4,080 rows would otherwise
//   decode to 490 MB). Reading a table again (the loader does for its catalog and complex columns) is not;
// - rows moved to another page move once and alone: two rows that move to the same row are damage;
// - everything the rows of the file decode to, counted as the copy stores it (each value's bytes plus one, 16
//   bytes a row), may not exceed kDecodedPerFileByte times the file's size plus kDecodedSlack: beyond that the
//   file is refused as damaged. Real files decode to less than their size (UTF-16 texts shrink, indexes and
//   free space decode to nothing); the worst honest row, 255 Yes/No columns, to 8 times its bytes; the slack
//   covers small files. The copy in memory then stays near that bound, the reader's own needs being a page, a
//   row, the long value it reads and 32 bytes for each long-value row it has read;
// - with a time limit, every page read checks the clock and throws AccessTimeout once it has passed.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vdpattern::db::access {

struct AccessDamage {
  std::string what;
};

// Thrown when the time limit given to AccessFile has passed.
struct AccessTimeout {};

[[noreturn]] void Damaged(std::string what);

// `name` between double quotes for a message: NUL, tab, line breaks as \0 \t \n \r, other control characters
// (and DEL) as \xHH, everything else as it is.
std::string ShownName(const std::string& name);

inline constexpr std::uint64_t kDecodedPerFileByte = 16;
inline constexpr std::uint64_t kDecodedSlack = 1u << 20;

// Column types as stored in a table definition.
enum ColumnType : unsigned {
  kBool = 0x01,
  kByte = 0x02,
  kInt = 0x03,
  kLong = 0x04,
  kMoney = 0x05,
  kFloat = 0x06,
  kDouble = 0x07,
  kDateTime = 0x08,
  kBinary = 0x09,
  kText = 0x0A,
  kOle = 0x0B,
  kMemo = 0x0C,
  kGuid = 0x0F,
  kNumeric = 0x10,
  kComplex = 0x12,  // attachment, multi-value or version history: a key into a hidden table
  kBigInt = 0x13,
  kExtDate = 0x14,  // Access 2019's date/time to 100 ns, years 1 to 9999
};

struct AccessColumn {
  std::string name;
  unsigned type = 0;
  unsigned number = 0;  // its bit in a row's null mask; deleted columns leave gaps
  unsigned varIndex = 0;
  unsigned fixedOffset = 0;
  unsigned length = 0;
  bool fixed = false;
  bool autoNumber = false;
  bool calculated = false;  // holds the stored result of an expression, wrapped in a header
  int precision = 0;
  int scale = 0;
};

struct AccessTable {
  std::string name;
  std::uint32_t page = 0;
  std::uint32_t rowCount = 0;
  std::vector<AccessColumn> columns;  // in the order of the definition, which is Access's own
  std::vector<std::uint32_t> dataPages;
};

// A value as the loader stores it. Decimals and extended dates come as exact text.
struct AccessValue {
  enum class Kind { kNull, kInt, kReal, kText, kBlob } kind = Kind::kNull;
  std::int64_t i = 0;
  double d = 0;
  std::string bytes;
};

struct Bytes;
struct Layout;

class AccessFile {
 public:
  // Opens the file and checks its header; throws AccessDamage. Reading stops with AccessTimeout once
  // `timeLimit` has passed from here (zero: no limit).
  AccessFile(const std::string& path, std::uint64_t size, std::chrono::milliseconds timeLimit = {});
  AccessFile(const AccessFile&) = delete;
  AccessFile& operator=(const AccessFile&) = delete;

  bool Jet3() const { return m_jet3; }

  // A text as the file stores it (names, values, properties), in UTF-8.
  std::string Text(const unsigned char* p, std::size_t n) const;

  // The definition on `page` of the table `name`, its columns and its data pages, all checked.
  AccessTable OpenTable(const std::string& name, std::uint32_t page);

  // Calls `row` with the values of each row, in the table's column order, then checks that the table gave
  // every row its definition counts. The rows count against the file's decoding budget (see above).
  void ReadRows(const AccessTable& table, const std::function<void(const std::vector<AccessValue>&)>& row);

 private:
  Bytes Page(std::uint32_t page, unsigned type);
  Bytes PageRow(std::uint32_t pageRow, unsigned& flags);
  void UsagePages(const AccessTable& table, const Bytes& map, std::vector<std::uint32_t>& pages);
  void ReadRow(const AccessTable& table, const Bytes& row, std::vector<AccessValue>& values);
  void Decode(const AccessTable& table, const AccessColumn& col, Bytes data, AccessValue& out);
  void ReadLong(const AccessTable& table, const AccessColumn& col, const Bytes& data, std::string& out);
  void Claim(const AccessTable& table, const AccessColumn& col, std::uint32_t pageRow);
  void Spend(const AccessTable& table, std::uint64_t cost);

  struct File {
    int fd = -1;
    ~File();
  } m_file;  // a member, so that a constructor that throws closes it too
  bool m_jet3 = false;
  const Layout* m_layout = nullptr;
  std::uint64_t m_pages = 0;
  unsigned m_codePage = 1252;
  // One page in memory at a time: a row is copied out of it before its long values are read.
  std::vector<unsigned char> m_page;
  std::uint32_t m_loaded = 0;  // page 0 is never read through it
  std::vector<unsigned char> m_row;
  bool m_limited = false;
  std::chrono::steady_clock::time_point m_deadline;
  std::uint64_t m_budget = 0;  // bytes the rows may still decode to
  // The owner of each long-value row read so far: the table's definition page and the read (ReadRows call).
  struct LongOwner {
    std::uint32_t table;
    std::uint32_t read;
  };
  std::unordered_map<std::uint32_t, LongOwner> m_longRows;
  std::uint32_t m_read = 0;
  std::unordered_set<std::uint32_t> m_movedTo;  // rows that moved rows of the current read point to
};

}  // namespace vdpattern::db::access
