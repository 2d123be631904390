#include "db/sqlite/SqliteDialect.h"

#include <cstring>
#include <cwchar>
#include "db/DbError.h"
#include "db/Statement.h"
#include "db/Utf8Fast.h"

namespace vdpattern::db {

namespace {

// This scan runs for every statement a record set opens, so it works on a character class table and writes
// into buffers sized once for the worst case (4 bytes per character, plus room for the few rewrites that
// grow the text), without a bounds check per character.

enum : unsigned char { kBlank = 1, kIdentStart = 2, kIdentChar = 4 };

struct ClassTable {
  unsigned char c[128] = {};
  constexpr ClassTable() {
    for (int k = 'A'; k <= 'Z'; ++k) c[k] = kIdentStart | kIdentChar;
    for (int k = 'a'; k <= 'z'; ++k) c[k] = kIdentStart | kIdentChar;
    c[static_cast<int>('_')] = kIdentStart | kIdentChar;
    for (int k = '0'; k <= '9'; ++k) c[k] = kIdentChar;
    c[static_cast<int>('$')] = kIdentChar;
    for (char b : {' ', '\t', '\n', '\r', '\f', '\v'}) c[static_cast<int>(b)] = kBlank;
  }
};
constexpr ClassTable kClasses;

// Every character from U+0080 on may be part of an identifier, as in SQLite.
inline unsigned char ClassOf(wchar_t c) {
  return static_cast<std::uint32_t>(c) < 0x80 ? kClasses.c[c] : static_cast<unsigned char>(kIdentStart | kIdentChar);
}
inline bool IsBlank(wchar_t c) { return ClassOf(c) & kBlank; }
inline bool IsIdentStart(wchar_t c) { return ClassOf(c) & kIdentStart; }
inline bool IsIdentChar(wchar_t c) { return ClassOf(c) & kIdentChar; }

// Writes UTF-8 into a buffer that the caller sized for the worst case.
struct Writer {
  char* at;

  void Put(wchar_t c) {
    auto u = static_cast<std::uint32_t>(c);
    if (u < 0x80) {
      *at++ = static_cast<char>(u);
      return;
    }
    if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) u = 0xFFFD;
    if (u < 0x800) {
      *at++ = static_cast<char>(0xC0 | (u >> 6));
    } else if (u < 0x10000) {
      *at++ = static_cast<char>(0xE0 | (u >> 12));
      *at++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    } else {
      *at++ = static_cast<char>(0xF0 | (u >> 18));
      *at++ = static_cast<char>(0x80 | ((u >> 12) & 0x3F));
      *at++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    }
    *at++ = static_cast<char>(0x80 | (u & 0x3F));
  }
  void Put(const wchar_t* begin, const wchar_t* end) {
    for (const wchar_t* p = begin; p < end; ++p) Put(*p);
  }
  void Ascii(const char* text, std::size_t length) {
    std::memcpy(at, text, length);
    at += length;
  }
  void Number(std::size_t n) {
    char digits[24];
    int k = 0;
    do {
      digits[k++] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n);
    while (k) *at++ = digits[--k];
  }
};

// Words are compared as numbers: up to 12 ASCII letters, 5 bits each (case folded), so a word compares in
// one step whatever its length. 0 stands for anything else.
constexpr std::uint64_t Pack(const char* word) {
  std::uint64_t v = 0;
  for (; *word; ++word) v = v * 32 + static_cast<std::uint64_t>((*word | 0x20) - 'a' + 1);
  return v;
}

// Adds one character to a packed word; returns false once the word can no longer be one of ours.
inline bool PackNext(std::uint64_t& v, std::size_t n, std::uint32_t c) {
  const std::uint32_t lower = c | 0x20;
  if (n >= 12 || lower < 'a' || lower > 'z') return false;
  v = v * 32 + (lower - 'a' + 1);
  return true;
}

enum class Word {
  kOther,
  kIsNull,
  kAs,
  kSelect,
  kFrom,
  kWhere,
  kOrder,
  kLimit,
  kJoin,
  kDistinct,
  kAll,
  kGroup,
  kHaving,
  kWindow,
  kCompound,  // UNION, EXCEPT, INTERSECT
  kValues,
  kBy,
  kPartition,
  kAsc,    // also DESC and NULLS: they end a sort term
  kFrame,  // ROWS, RANGE, GROUPS: a window's frame follows its ORDER BY
  kNot,
  kIn,  // also BETWEEN
  kSet,
  kReturning,
  kCollate,
};

Word Classify(std::uint64_t packed) {
  switch (packed) {
    case Pack("AS"):
      return Word::kAs;
    case Pack("ALL"):
      return Word::kAll;
    case Pack("FROM"):
      return Word::kFrom;
    case Pack("JOIN"):
      return Word::kJoin;
    case Pack("WHERE"):
      return Word::kWhere;
    case Pack("ORDER"):
      return Word::kOrder;
    case Pack("LIMIT"):
      return Word::kLimit;
    case Pack("SELECT"):
      return Word::kSelect;
    case Pack("ISNULL"):
      return Word::kIsNull;
    case Pack("DISTINCT"):
      return Word::kDistinct;
    case Pack("GROUP"):
      return Word::kGroup;
    case Pack("HAVING"):
      return Word::kHaving;
    case Pack("WINDOW"):
      return Word::kWindow;
    case Pack("UNION"):
    case Pack("EXCEPT"):
    case Pack("INTERSECT"):
      return Word::kCompound;
    case Pack("VALUES"):
      return Word::kValues;
    case Pack("BY"):
      return Word::kBy;
    case Pack("PARTITION"):
      return Word::kPartition;
    case Pack("ASC"):
    case Pack("DESC"):
    case Pack("NULLS"):
      return Word::kAsc;
    case Pack("ROWS"):
    case Pack("RANGE"):
    case Pack("GROUPS"):
      return Word::kFrame;
    case Pack("NOT"):
      return Word::kNot;
    case Pack("IN"):
    case Pack("BETWEEN"):
      return Word::kIn;
    case Pack("SET"):
      return Word::kSet;
    case Pack("RETURNING"):
      return Word::kReturning;
    case Pack("COLLATE"):
      return Word::kCollate;
    default:
      return Word::kOther;
  }
}

// Whether a word ends the list of sort or grouping terms it follows at the same depth.
bool EndsTerms(Word word) {
  switch (word) {
    case Word::kLimit:
    case Word::kHaving:
    case Word::kWindow:
    case Word::kOrder:
    case Word::kCompound:
    case Word::kFrame:
    case Word::kWhere:
    case Word::kFrom:
    case Word::kReturning:
      return true;
    default:
      return false;
  }
}

// Skips blanks and comments; an unterminated block comment runs to the end, as in SQLite.
const wchar_t* SkipBlanksAndComments(const wchar_t* p) {
  for (;;) {
    if (IsBlank(*p)) {
      ++p;
    } else if (p[0] == L'-' && p[1] == L'-') {
      while (*p && *p != L'\n') ++p;
    } else if (p[0] == L'/' && p[1] == L'*') {
      p += 2;
      while (*p && !(p[0] == L'*' && p[1] == L'/')) ++p;
      if (*p) p += 2;
    } else {
      return p;
    }
  }
}

// The end of a quoted token starting at `p` (the closing quote), or null when it is not closed. `doubled`
// says whether a doubled quote stands for one quote inside the token.
const wchar_t* ClosingQuote(const wchar_t* p, wchar_t close, bool doubled) {
  for (const wchar_t* q = p + 1; *q; ++q) {
    if (*q != close) continue;
    if (doubled && q[1] == close) {
      ++q;
      continue;
    }
    return q;
  }
  return nullptr;
}

// The packed word starting at `p` after blanks and comments, or 0 when none of ours starts there.
std::uint64_t PeekWord(const wchar_t* p) {
  p = SkipBlanksAndComments(p);
  std::uint64_t v = 0;
  std::size_t n = 0;
  for (; IsIdentChar(*p); ++p, ++n)
    if (!PackNext(v, n, static_cast<std::uint32_t>(*p))) return 0;
  return v;
}

enum class StatementKind { kData, kSelect, kOther, kNone };

StatementKind KindOf(const wchar_t* word, std::size_t length) {
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < length; ++k)
    if (!PackNext(v, k, static_cast<std::uint32_t>(word[k]))) return StatementKind::kNone;
  switch (v) {
    case Pack("SELECT"):
      return StatementKind::kSelect;
    case Pack("WITH"):
    case Pack("VALUES"):
    case Pack("INSERT"):
    case Pack("UPDATE"):
    case Pack("DELETE"):
    case Pack("REPLACE"):
      return StatementKind::kData;
    case Pack("CREATE"):
    case Pack("DROP"):
    case Pack("ALTER"):
    case Pack("PRAGMA"):
    case Pack("BEGIN"):
    case Pack("COMMIT"):
    case Pack("END"):
    case Pack("ROLLBACK"):
    case Pack("SAVEPOINT"):
    case Pack("RELEASE"):
    case Pack("ATTACH"):
    case Pack("DETACH"):
    case Pack("ANALYZE"):
    case Pack("VACUUM"):
    case Pack("REINDEX"):
    case Pack("EXPLAIN"):
      return StatementKind::kOther;
    default:
      return StatementKind::kNone;
  }
}

// Whether only blanks, comments and semicolons follow.
bool OnlyTrailing(const wchar_t* p) {
  for (;;) {
    p = SkipBlanksAndComments(p);
    if (*p != L';') return *p == L'\0';
    ++p;
  }
}

void BareTable(const wchar_t* begin, const wchar_t* end, StatementText& out) {
  static const char kSelect[] = "SELECT * FROM \"";
  out.sql.resize(sizeof kSelect + 8 * static_cast<std::size_t>(end - begin) + 2);
  Writer w{&out.sql[0]};
  w.Ascii(kSelect, sizeof kSelect - 1);
  for (const wchar_t* p = begin; p < end; ++p) {
    if (*p == L'"') w.Put(L'"');
    w.Put(*p);
  }
  w.Put(L'"');
  out.sql.resize(static_cast<std::size_t>(w.at - &out.sql[0]));
  out.fromPos = 9;
  out.cacheable = true;
  out.singleTableSelect = true;
}

}  // namespace

namespace {

constexpr char kFold[] = "COLLATE NOCASE ";
constexpr std::size_t kFoldLength = sizeof kFold - 1;
constexpr int kMaxTermLists = 8;  // nested ORDER BY / GROUP BY lists followed; deeper ones are left as written

// Puts COLLATE NOCASE at `at` (a position in the output up to its end), moving what follows.
inline void InsertFold(Writer& sql, const char* sqlBegin, char* at) {
  const bool lead = at != sqlBegin && at[-1] != ' ';
  const std::size_t n = kFoldLength + (lead ? 1 : 0);
  std::memmove(at + n, at, static_cast<std::size_t>(sql.at - at));
  if (lead) *at++ = ' ';
  std::memcpy(at, kFold, kFoldLength);
  sql.at += n;
}

// The length of the operator at `p` (one of = < > !), and whether it compares: shifts and a lone ! do not.
inline std::size_t OperatorLength(const wchar_t* p, bool& compare) {
  const wchar_t c = p[0], next = p[1];
  compare = true;
  if (c == L'<' || c == L'>') {
    if (next == c) {
      compare = false;
      return 2;
    }
    return next == L'=' || (c == L'<' && next == L'>') ? 2 : 1;
  }
  if (next == L'=') return 2;
  if (c == L'!') compare = false;
  return 1;
}

// What the steps of one scan share: where it reads, what it has written and what it has learnt of the
// statement so far.
struct ScanState {
  // Reading: the whole text (literal spans are measured from it) and the next character.
  const wchar_t* text;
  const wchar_t* p;
  // Writing: the SQL and the lifted literals' values, each in its own part of the result's scratch buffer.
  StatementText& out;
  char* sqlBegin;
  char* literalsBegin;
  Writer sql;
  Writer literals;
  char* wordStart = nullptr;  // where the word being read was written (moved by a COLLATE put before it)
  // The statement.
  bool lift;                 // 'quoted' literals become parameters
  bool select;               // a SELECT, whose top-level structure is noted
  bool fold;                 // comparisons and sort terms get COLLATE NOCASE
  bool simple;               // still a SELECT over one table that can carry row ids
  bool distinctOk;           // DISTINCT may become GROUP BY: no grouping, window or compound at the top
  bool inFrom = false;       // in the top-level FROM list
  bool afterSelect = false;  // the previous token was a top-level SELECT
  bool afterAs = false;      // the previous token was AS
  Word previous = Word::kOther;
  // Nesting.
  int depth = 0;
  int setDepth = -1;              // depth of the SET list of an UPDATE being read, or -1
  bool expectAssign = false;      // the next '=' at setDepth assigns a column
  std::vector<int> isNullDepths;  // depths at which an IsNull( call was opened
  // The ORDER BY / GROUP BY / PARTITION BY lists open around the current token, innermost last.
  struct TermList {
    int depth;
    bool open;  // a term has begun and has no COLLATE yet
    bool done;  // the term has its COLLATE and its ASC / DESC / NULLS part follows
  } terms[kMaxTermLists];
  int termLists = 0;
  // The nested SELECTs open around the current token, innermost last: their DISTINCT may become a GROUP BY.
  struct Nested {
    int depth;
    std::size_t distinctPos;
    std::size_t tailPos;
    bool from;  // its FROM was read
    bool ok;    // no grouping, window or compound part of its own
  };
  std::vector<Nested> nested;

  ScanState(const wchar_t* source, const wchar_t* start, StatementKind kind, bool explain, bool foldTexts,
            StatementText& result);
  TermList& Innermost() { return terms[termLists - 1]; }
  // Whether the innermost list is read at the current depth (its separators are ours).
  bool AtListDepth() const { return termLists > 0 && terms[termLists - 1].depth == depth; }
};

// Sizes the scratch buffer once for the worst case, so that no write checks for room. Per character: 4 bytes
// of UTF-8, or 5 for the ?N that replaces a literal ('' is 2 characters; N has at most 9 digits); "IsNull(" (7
// characters) becomes "((" and its ")" becomes ") IS NULL)". When folding, COLLATE NOCASE (16 bytes with its
// blank) goes in at most once per character, at a comparison operator, a separator ending a sort term or the
// first letter of a keyword, each one byte itself: "X=><," folds four times in five characters. The sort lists
// still open at the end add one each.
ScanState::ScanState(const wchar_t* source, const wchar_t* start, StatementKind kind, bool explain, bool foldTexts,
                     StatementText& result)
    : text(source),
      p(start),
      out(result),
      sqlBegin(nullptr),
      literalsBegin(nullptr),
      sql{nullptr},
      literals{nullptr},
      lift(kind == StatementKind::kData || kind == StatementKind::kSelect),
      select(kind == StatementKind::kSelect),
      fold(foldTexts && lift),
      simple(select && !explain),
      distinctOk(select) {
  out.Clear();
  out.cacheable = lift;
  const std::size_t length = std::wcslen(p);
  const std::size_t sqlRoom = (fold ? 1 + 16 : 5) * length + 16 * kMaxTermLists + 32;
  if (out.scratch.size() < sqlRoom + 4 * length) out.scratch.resize(sqlRoom + 4 * length);
  sqlBegin = out.scratch.data();
  literalsBegin = sqlBegin + sqlRoom;
  sql.at = sqlBegin;
  literals.at = literalsBegin;
}

// Steps of the scan, one per kind of token; each starts at the token's first character and leaves `p` after it.
class Scanner {
 public:
  Scanner(const wchar_t* text, const wchar_t* p, StatementKind kind, bool explain, bool fold, StatementText& out)
      : s(text, p, kind, explain, fold, out) {}
  // Translates the statement into `out`; false when folding and the text names a collation itself.
  bool Run();

 private:
  // Layout.
  void Space();
  void Blanks();
  void Comment();
  void Semicolon();
  // Words: keywords, names and the IsNull( call.
  bool WordToken();
  Word ReadWord();
  bool RewriteIsNull();
  bool FoldAtWord(Word word, Word before);
  void FoldBeforeWord();
  void NoteSelectWord(Word word, bool wasAfterSelect);
  void NoteFrom();
  void NoteNestedWord(Word word, Word before);
  void EndNested(int depth);
  // Quoted tokens.
  bool Literal(bool wasAfterAs);
  void QuotedName(wchar_t open);
  // Punctuation and operators.
  void OpenParen();
  void CloseParen();
  void Comma();
  void Comparison();
  void Arrow();
  void Other(wchar_t c);
  // Sort and grouping terms, which the folding follows.
  void MarkTerm();
  void CloseTerm(char* at);
  // The result.
  void Finish();

  ScanState s;
};

bool Scanner::Run() {
  for (;;) {
    const wchar_t c = *s.p;
    const unsigned char cls = ClassOf(c);
    if (cls & kIdentStart) {
      if (!WordToken()) return false;
      continue;
    }
    if (cls & kBlank) {
      Blanks();
      continue;
    }
    if (c == L'\0') break;
    if ((c == L'-' && s.p[1] == L'-') || (c == L'/' && s.p[1] == L'*')) {
      Comment();
      continue;
    }
    if (c == L';') {
      Semicolon();
      break;
    }
    // Any other token ends what a word before it started.
    const bool wasAfterAs = s.afterAs;
    s.afterAs = s.afterSelect = false;
    s.previous = Word::kOther;
    if (c == L'\'') {
      if (!Literal(wasAfterAs)) break;
    } else if (c == L'"' || c == L'`' || c == L'[') {
      QuotedName(c);
    } else if (c == L'(') {
      OpenParen();
    } else if (c == L')') {
      CloseParen();
    } else if (c == L',') {
      Comma();
    } else if (s.fold && (c == L'=' || c == L'<' || c == L'>' || c == L'!')) {
      Comparison();
    } else if (c == L'-' && s.p[1] == L'>') {
      Arrow();
    } else {
      Other(c);
    }
  }
  Finish();
  return true;
}

// One blank stands for any run of blanks and comments, so that the cache key does not depend on layout.
void Scanner::Space() {
  if (s.sql.at != s.sqlBegin && s.sql.at[-1] != ' ') *s.sql.at++ = ' ';
}

void Scanner::Blanks() {
  ++s.p;
  while (IsBlank(*s.p)) ++s.p;
  Space();
}

void Scanner::Comment() {
  s.p = SkipBlanksAndComments(s.p);
  Space();
}

// Ends the statement: only blanks, comments and semicolons may follow.
void Scanner::Semicolon() {
  if (!OnlyTrailing(s.p + 1)) ThrowMoreThanOneStatement();
}

// A name or keyword; returns false when folding meets COLLATE.
bool Scanner::WordToken() {
  s.wordStart = s.sql.at;
  const Word word = ReadWord();
  const bool wasAfterSelect = s.afterSelect;
  const Word before = s.previous;
  s.previous = word;
  s.afterAs = word == Word::kAs;
  s.afterSelect = false;
  if (word == Word::kIsNull && RewriteIsNull()) return true;
  if (s.fold && !FoldAtWord(word, before)) return false;
  if (s.select && s.depth == 0)
    NoteSelectWord(word, wasAfterSelect);
  else if (s.lift)
    NoteNestedWord(word, before);
  return true;
}

// The structure of a SELECT below the top level, noted as NoteSelectWord notes the top-level one.
void Scanner::NoteNestedWord(Word word, Word before) {
  if (word == Word::kSelect) {
    EndNested(s.depth);
    s.nested.push_back({s.depth, std::string::npos, std::string::npos, false, true});
    return;
  }
  if (s.nested.empty() || s.nested.back().depth != s.depth) return;
  ScanState::Nested& n = s.nested.back();
  const auto at = static_cast<std::size_t>(s.wordStart - s.sqlBegin);
  switch (word) {
    case Word::kDistinct:
      if (before == Word::kSelect && n.distinctPos == std::string::npos) n.distinctPos = at;
      break;
    case Word::kFrom:
      n.from = n.distinctPos != std::string::npos;
      break;
    case Word::kOrder:
    case Word::kLimit:
      if (n.tailPos == std::string::npos) n.tailPos = at;
      break;
    case Word::kGroup:
    case Word::kHaving:
    case Word::kWindow:
    case Word::kCompound:
    case Word::kValues:
      n.ok = false;
      break;
    default:
      break;
  }
}

// Ends the nested SELECTs read at `depth` or deeper; the GROUP BY of one without ORDER BY or LIMIT goes where
// the output is now (its closing parenthesis, or the end).
void Scanner::EndNested(int depth) {
  while (!s.nested.empty() && s.nested.back().depth >= depth) {
    const ScanState::Nested& n = s.nested.back();
    const auto tail = n.tailPos != std::string::npos ? n.tailPos : static_cast<std::size_t>(s.sql.at - s.sqlBegin);
    if (n.ok && n.from && n.distinctPos != std::string::npos && tail > n.distinctPos) {
      s.out.nestedDistinct.push_back(static_cast<std::uint32_t>(n.distinctPos));
      s.out.nestedDistinct.push_back(static_cast<std::uint32_t>(tail));
    }
    s.nested.pop_back();
  }
}

// Copies the word while reading it; the packed word tells the few keywords the scan cares about.
// Works on local copies of the positions: the bytes written could alias the state, which would otherwise be
// read again after each one.
Word Scanner::ReadWord() {
  const wchar_t* p = s.p;
  Writer sql = s.sql;
  std::uint64_t packed = 0;
  bool keyword = true;
  for (std::size_t n = 0;; ++p, ++n) {
    const auto u = static_cast<std::uint32_t>(*p);
    if (u < 0x80) {
      if (!(kClasses.c[u] & kIdentChar)) break;
      *sql.at++ = static_cast<char>(u);
    } else {
      sql.Put(*p);
    }
    if (keyword) keyword = PackNext(packed, n, u);
  }
  s.p = p;
  s.sql = sql;
  return keyword ? Classify(packed) : Word::kOther;
}

// IsNull(x) becomes ((x) IS NULL): SQLite reads ISNULL as a postfix operator. The call's closing parenthesis
// writes the rest (CloseParen). False when no parenthesis follows: the word is then an ordinary one.
bool Scanner::RewriteIsNull() {
  const wchar_t* r = s.p;
  while (IsBlank(*r)) ++r;
  if (*r != L'(') return false;
  s.sql.at = s.wordStart;
  s.sql.Ascii("((", 2);
  ++s.depth;
  s.isNullDepths.push_back(s.depth);
  s.p = r + 1;
  MarkTerm();
  s.previous = Word::kOther;
  return true;
}

// What a word means for the folding: it may end a sort term, open a list of them, be a comparison that takes
// the collation before it (IN, BETWEEN, NOT IN, NOT BETWEEN), or start or end the SET list of an UPDATE, whose
// '=' assigns rather than compares. Returns false on COLLATE: the text then keeps its own collations.
bool Scanner::FoldAtWord(Word word, Word before) {
  if (word == Word::kCollate) return false;
  if (s.AtListDepth()) {
    if (word == Word::kAsc) {
      if (s.Innermost().open) FoldBeforeWord();
      s.Innermost().open = false;
      s.Innermost().done = true;
    } else if (EndsTerms(word)) {
      if (s.Innermost().open) FoldBeforeWord();
      --s.termLists;
    }
  }
  if (word == Word::kBy && (before == Word::kOrder || before == Word::kGroup || before == Word::kPartition)) {
    if (s.termLists < kMaxTermLists) s.terms[s.termLists++] = {s.depth, false, false};
  } else if (word == Word::kIn && before != Word::kNot && before != Word::kFrame) {
    FoldBeforeWord();
  } else if (word == Word::kNot) {
    const std::uint64_t next = PeekWord(s.p);
    if (next == Pack("IN") || next == Pack("BETWEEN")) FoldBeforeWord();
  } else if (word == Word::kSet) {
    s.setDepth = s.depth;
    s.expectAssign = true;
  } else if (s.depth == s.setDepth && (word == Word::kWhere || word == Word::kFrom || word == Word::kReturning)) {
    s.setDepth = -1;
  }
  if (word != Word::kBy && word != Word::kAsc && !EndsTerms(word)) MarkTerm();
  return true;
}

// Puts COLLATE NOCASE before the word just written, which moves it.
void Scanner::FoldBeforeWord() {
  char* const end = s.sql.at;
  InsertFold(s.sql, s.sqlBegin, s.wordStart);
  s.wordStart += (s.sql.at - end);
  s.out.folded = true;
}

// The top-level structure of a SELECT: where its FROM, DISTINCT and ORDER BY / LIMIT are, and whether it reads
// one table without grouping, window or compound parts.
void Scanner::NoteSelectWord(Word word, bool wasAfterSelect) {
  switch (word) {
    case Word::kSelect:
      s.afterSelect = true;
      break;
    case Word::kFrom:
      NoteFrom();
      break;
    case Word::kWhere:
      s.inFrom = false;
      break;
    case Word::kOrder:
    case Word::kLimit:
      s.inFrom = false;
      if (s.out.tailPos == std::string::npos && s.out.fromPos != std::string::npos)
        s.out.tailPos = static_cast<std::size_t>(s.wordStart - s.sqlBegin);
      break;
    case Word::kGroup:
    case Word::kHaving:
    case Word::kWindow:
    case Word::kCompound:
    case Word::kValues:
      s.simple = false;
      s.distinctOk = false;
      break;
    case Word::kDistinct:
      if (wasAfterSelect) {
        s.simple = false;
        if (s.out.distinctPos == std::string::npos)
          s.out.distinctPos = static_cast<std::size_t>(s.wordStart - s.sqlBegin);
      }
      break;
    case Word::kAll:
      if (wasAfterSelect) s.simple = false;
      break;
    case Word::kJoin:
      if (s.inFrom) s.simple = false;
      break;
    default:
      break;
  }
}

// The first top-level FROM: its position is where the row id column goes.
void Scanner::NoteFrom() {
  if (s.out.fromPos != std::string::npos) return;
  char* const from = s.wordStart;
  if (from != s.sqlBegin && from[-1] != ' ') {  // "*FROM": make room for a column before it
    std::memmove(from + 1, from, 4);
    *from = ' ';
    ++s.sql.at;
    s.out.fromPos = static_cast<std::size_t>(from + 1 - s.sqlBegin);
  } else {
    s.out.fromPos = static_cast<std::size_t>(from - s.sqlBegin);
  }
  s.inFrom = true;
}

// A 'quoted' text. Lifted into the next parameter ?N unless it is the body of an X'..' blob or the alias of
// AS 'name', where no parameter can stand. Returns false when it is left open, which ends the scan.
bool Scanner::Literal(bool wasAfterAs) {
  MarkTerm();
  const char* const at = s.sql.at;
  const bool blobPrefix = at != s.sqlBegin && at[-1] != ' ' &&
                          (static_cast<unsigned char>(at[-1]) >= 0x80 || IsIdentChar(static_cast<wchar_t>(at[-1])));
  const bool liftThis = s.lift && !blobPrefix && !wasAfterAs;
  // Copy the literal's value while looking for its end; a doubled quote is one quote.
  Writer value{liftThis ? s.literals.at : s.sql.at};
  if (!liftThis) value.Put(L'\'');
  const wchar_t* q = s.p + 1;
  for (;; ++q) {
    const wchar_t ch = *q;
    if (ch == L'\'') {
      if (q[1] != L'\'') break;
      value.Put(L'\'');
      if (!liftThis) value.Put(L'\'');
      ++q;
    } else if (ch == L'\0') {
      break;
    } else {
      value.Put(ch);
    }
  }
  if (!*q) {  // left open: SQLite reports it as an unrecognized token
    s.sql.Put(s.p, q);
    return false;
  }
  if (liftThis) {
    s.literals.at = value.at;
    s.out.literalEnds.push_back(static_cast<std::uint32_t>(s.literals.at - s.literalsBegin));
    s.out.literalSpans.push_back(static_cast<std::uint32_t>(s.p - s.text));
    s.out.literalSpans.push_back(static_cast<std::uint32_t>(q - s.text));
    *s.sql.at++ = '?';
    s.sql.Number(s.out.literalEnds.size());
  } else {
    s.sql.at = value.at;
    *s.sql.at++ = '\'';
  }
  s.p = q + 1;
  return true;
}

// A [bracketed], "quoted" or `quoted` name, copied as written (to the end of the text when left open).
void Scanner::QuotedName(wchar_t open) {
  MarkTerm();
  const wchar_t* close = open == L'[' ? ClosingQuote(s.p, L']', false) : ClosingQuote(s.p, open, true);
  const wchar_t* end = close ? close + 1 : s.p + std::wcslen(s.p);
  s.sql.Put(s.p, end);
  s.p = end;
}

void Scanner::OpenParen() {
  MarkTerm();
  ++s.depth;
  *s.sql.at++ = '(';
  ++s.p;
}

// Ends the sort list read at this depth, and an IsNull( call opened here.
void Scanner::CloseParen() {
  if (s.fold && s.AtListDepth()) {
    CloseTerm(s.sql.at);
    --s.termLists;
  }
  if (!s.nested.empty()) EndNested(s.depth);
  if (!s.isNullDepths.empty() && s.isNullDepths.back() == s.depth) {
    s.sql.Ascii(") IS NULL)", 10);
    s.isNullDepths.pop_back();
  } else {
    *s.sql.at++ = ')';
  }
  if (s.depth > 0) --s.depth;
  if (s.depth < s.setDepth) s.setDepth = -1;
  MarkTerm();
  ++s.p;
}

// Ends a sort term and a SET assignment; a second table makes the SELECT one that carries no row ids.
void Scanner::Comma() {
  if (s.fold && s.AtListDepth()) {
    CloseTerm(s.sql.at);
    s.Innermost().done = false;
  }
  if (s.depth == s.setDepth) s.expectAssign = true;
  if (s.inFrom && s.depth == 0) s.simple = false;
  *s.sql.at++ = ',';
  ++s.p;
}

// = == <> != < <= > >= take the collation on their left; shifts, a lone ! and the '=' of a SET assignment
// (the engine also takes == there) do not.
void Scanner::Comparison() {
  bool compare;
  const std::size_t n = OperatorLength(s.p, compare);
  if (*s.p == L'=' && s.depth == s.setDepth && s.expectAssign) {
    compare = false;
    s.expectAssign = false;
  }
  if (compare) {
    InsertFold(s.sql, s.sqlBegin, s.sql.at);
    s.out.folded = true;
  }
  s.sql.Put(s.p, s.p + n);
  s.p += n;
}

// -> and ->>: not a comparison.
void Scanner::Arrow() {
  const std::size_t n = s.p[2] == L'>' ? 3 : 2;
  s.sql.Put(s.p, s.p + n);
  s.p += n;
  MarkTerm();
}

// Any other character (digits, the other operators, parameters): copied.
void Scanner::Other(wchar_t c) {
  MarkTerm();
  s.sql.Put(c);
  ++s.p;
}

// A token other than a separator was written at the current depth: it begins (or continues) a sort term.
void Scanner::MarkTerm() {
  if (s.termLists > 0 && s.depth >= s.Innermost().depth && !s.Innermost().done) s.Innermost().open = true;
}

// Ends the open term of the innermost list; its COLLATE goes at `at`.
void Scanner::CloseTerm(char* at) {
  if (s.termLists == 0 || !s.Innermost().open) return;
  InsertFold(s.sql, s.sqlBegin, at);
  s.Innermost().open = false;
  s.out.folded = true;
}

// Closes the terms still open, trims the last blank and hands the buffers' contents to the result.
void Scanner::Finish() {
  char*& at = s.sql.at;
  if (s.fold) {
    while (at != s.sqlBegin && at[-1] == ' ') --at;
    for (; s.termLists > 0; --s.termLists) CloseTerm(at);
  }
  while (at != s.sqlBegin && at[-1] == ' ') --at;
  EndNested(0);
  StatementText& out = s.out;
  out.sql.assign(s.sqlBegin, at);
  out.literals.assign(s.literalsBegin, s.literals.at);
  out.singleTableSelect = s.simple && out.fromPos != std::string::npos;
  // The DISTINCT must be that of the SELECT whose FROM, ORDER BY and LIMIT were noted (any other text is no
  // statement the engine takes, but must not lead the rewrite astray).
  if (!s.distinctOk || out.distinctPos == std::string::npos || out.fromPos == std::string::npos ||
      out.fromPos < out.distinctPos || (out.tailPos != std::string::npos && out.tailPos < out.fromPos)) {
    out.distinctPos = out.tailPos = std::string::npos;
  } else if (out.tailPos == std::string::npos) {
    out.tailPos = out.sql.size();
  }
}

// One scan of the statement at `p` (the start of `text`'s first word or token). With `fold`, comparisons and
// sort terms get COLLATE NOCASE; returns false when the text names a collation itself, which asks for a scan
// without `fold`.
bool Scan(const wchar_t* text, const wchar_t* p, StatementKind kind, bool explain, bool fold, StatementText& out) {
  return Scanner(text, p, kind, explain, fold, out).Run();
}

}  // namespace

void TranslateStatement(const wchar_t* text, StatementText& out) {
  out.Clear();
  const wchar_t* p = SkipBlanksAndComments(text ? text : L"");
  if (!*p || *p == L';') ThrowDbError(kStateSyntax, L"The SQL text is empty: there is no statement to run.");

  StatementKind kind = StatementKind::kOther;
  bool explain = false;
  if (*p == L'[') {
    const wchar_t* close = ClosingQuote(p, L']', false);
    if (close && OnlyTrailing(close + 1)) return BareTable(p + 1, close, out);
  } else if (IsIdentStart(*p)) {
    const wchar_t* q = p;
    while (IsIdentChar(*q)) ++q;
    kind = KindOf(p, static_cast<std::size_t>(q - p));
    if (kind == StatementKind::kNone) {
      const wchar_t* end = p + std::wcslen(p);
      while (end > p && (IsBlank(end[-1]) || end[-1] == L';')) --end;
      return BareTable(p, end, out);
    }
    if (kind == StatementKind::kOther && PeekWord(p) == Pack("EXPLAIN")) {
      // EXPLAIN [QUERY PLAN] reads as the statement it explains.
      const wchar_t* r = SkipBlanksAndComments(q);
      if (PeekWord(r) == Pack("QUERY")) {
        while (IsIdentChar(*r)) ++r;
        r = SkipBlanksAndComments(r);
        if (PeekWord(r) == Pack("PLAN"))
          while (IsIdentChar(*r)) ++r;
      }
      r = SkipBlanksAndComments(r);
      const wchar_t* e = r;
      while (IsIdentChar(*e)) ++e;
      const StatementKind inner = IsIdentStart(*r) ? KindOf(r, static_cast<std::size_t>(e - r)) : kind;
      if (inner == StatementKind::kData || inner == StatementKind::kSelect) {
        kind = inner;
        explain = true;
      }
    }
  }
  if (!Scan(text, p, kind, explain, true, out)) Scan(text, p, kind, explain, false, out);
}

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;

inline std::uint64_t Round(std::uint64_t lane, std::uint64_t word) {
  lane += word * kPrime2;
  lane = (lane << 31) | (lane >> 33);
  return lane * kPrime1;
}

// Appends a literal's characters as UTF-8, as the full scan writes them: an ASCII run is written in place,
// one character a byte, the rest through the encoder.
inline void AppendLiteral(std::string& out, const wchar_t* begin, const wchar_t* end) {
  const std::size_t base = out.size();
  out.resize(base + static_cast<std::size_t>(end - begin));
  char* at = &out[base];
  const wchar_t* q = begin;
  for (; q < end && static_cast<std::uint32_t>(*q) < 0x80; ++q) *at++ = static_cast<char>(*q);
  if (q == end) return;
  out.resize(base + static_cast<std::size_t>(q - begin));
  for (; q < end; ++q) {
    if (static_cast<std::uint32_t>(*q) < 0x80)
      out.push_back(static_cast<char>(*q));
    else
      AppendUtf8(out, q, 1);
  }
}

}  // namespace

// The text up to its first quote (or its end), read 16 bytes at a time in two independent lanes: it is hashed
// on every statement a record set opens, and the head of a catalog's probe is some 35 characters long.
std::size_t StatementShapes::HashOf(const wchar_t* text, std::size_t length) {
  const wchar_t* quote = std::wmemchr(text, L'\'', length);
  const std::size_t head = quote ? static_cast<std::size_t>(quote - text) : length;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  std::size_t bytes = head * sizeof(wchar_t);
  std::uint64_t a = kPrime1 ^ head, b = kPrime2;
  for (; bytes >= 16; p += 16, bytes -= 16) {
    std::uint64_t w[2];
    std::memcpy(w, p, 16);
    a = Round(a, w[0]);
    b = Round(b, w[1]);
  }
  if (bytes) {
    std::uint64_t w[2] = {0, 0};
    std::memcpy(w, p, bytes);
    a = Round(a, w[0]);
    b = Round(b, w[1]);
  }
  std::uint64_t h = a ^ ((b << 17) | (b >> 47));
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  return static_cast<std::size_t>(h);
}

bool StatementShapes::Match(const wchar_t* text, StatementText& out) {
  if (!text || m_slots.empty()) return false;
  const std::size_t length = std::wcslen(text);
  const std::size_t hash = HashOf(text, length);
  Shape* const set = &m_slots[(hash & (kSets - 1)) * kWays];
  for (std::size_t way = 0; way < kWays; ++way) {
    Shape& shape = set[way];
    if (shape.hash != hash || shape.source.empty() || !MatchShape(shape, text, length, out)) continue;
    shape.lastUse = ++m_clock;
    return true;
  }
  return false;
}

bool StatementShapes::MatchShape(const Shape& shape, const wchar_t* text, std::size_t length, StatementText& out) {
  const wchar_t* const source = shape.source.data();
  const std::size_t literals = shape.spans.size() / 2;
  out.literals.clear();
  out.literalEnds.clear();
  std::size_t from = 0;  // position in the source of the part compared next
  std::size_t at = 0;    // the same position in the text
  for (std::size_t k = 0;; ++k) {
    // The source up to and including the next opening quote, or to its end.
    const std::size_t to = k < literals ? shape.spans[2 * k] + 1 : shape.source.size();
    const std::size_t n = to - from;
    if (length - at < n || std::wmemcmp(text + at, source + from, n) != 0) return false;
    at += n;
    if (k == literals) break;
    // The literal itself, read as the full scan reads it; a doubled quote is one quote.
    for (;;) {
      const wchar_t* quote = std::wmemchr(text + at, L'\'', length - at);
      if (!quote) return false;
      AppendLiteral(out.literals, text + at, quote);
      at = static_cast<std::size_t>(quote - text);
      if (at + 1 >= length || text[at + 1] != L'\'') break;
      out.literals.push_back('\'');
      at += 2;
    }
    out.literalEnds.push_back(static_cast<std::uint32_t>(out.literals.size()));
    from = shape.spans[2 * k + 1];  // the closing quote starts the next part
  }
  if (at != length) return false;
  out.sql = shape.sql;
  out.literalSpans.clear();
  out.nestedDistinct = shape.nestedDistinct;
  out.fromPos = shape.fromPos;
  out.distinctPos = shape.distinctPos;
  out.tailPos = shape.tailPos;
  out.cacheable = true;
  out.singleTableSelect = shape.singleTableSelect;
  out.folded = shape.folded;
  return true;
}

void StatementShapes::Remember(const wchar_t* text, const StatementText& translated) {
  const std::size_t length = std::wcslen(text);
  if (!translated.cacheable || length == 0 || length > kLongestSource) return;
  if (m_slots.empty()) m_slots.resize(kSets * kWays);
  const std::size_t hash = HashOf(text, length);
  Shape* const set = &m_slots[(hash & (kSets - 1)) * kWays];
  Shape* slot = set;
  for (std::size_t way = 0; way < kWays; ++way) {
    if (set[way].source.empty()) {
      slot = &set[way];
      break;
    }
    if (set[way].lastUse < slot->lastUse) slot = &set[way];
  }
  slot->source.assign(text, length);
  slot->spans = translated.literalSpans;
  slot->sql = translated.sql;
  slot->nestedDistinct = translated.nestedDistinct;
  slot->fromPos = translated.fromPos;
  slot->distinctPos = translated.distinctPos;
  slot->tailPos = translated.tailPos;
  slot->folded = translated.folded;
  slot->hash = hash;
  slot->lastUse = ++m_clock;
  slot->singleTableSelect = translated.singleTableSelect;
}

void TranslateStatement(const wchar_t* text, StatementText& out, StatementShapes& shapes) {
  if (shapes.Match(text, out)) return;
  TranslateStatement(text, out);
  shapes.Remember(text, out);
}

}  // namespace vdpattern::db
