#include "toolkit/db/sqlite/SqlDialect.h"

#include <cstring>
#include <cwchar>
#include "toolkit/db/DbError.h"
#include "toolkit/db/Utf8Fast.h"

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

// The words the scan looks at, up to 8 letters packed into one number so that a word compares in one step.
constexpr std::uint64_t Pack(const char* word) {
  std::uint64_t v = 0;
  for (; *word; ++word) v = (v << 8) | static_cast<unsigned char>(*word);
  return v;
}

enum class Word { kOther, kIsNull, kAs, kSelect, kFrom, kWhere, kOrder, kLimit, kJoin, kDistinct, kAll, kNotSimple };

Word Classify(const wchar_t* p, std::size_t n) {
  if (n < 2 || n > 9) return Word::kOther;
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < n && k < 8; ++k) {
    wchar_t c = p[k];
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (c < L'A' || c > L'Z') return Word::kOther;
    v = (v << 8) | static_cast<std::uint64_t>(c);
  }
  if (n == 9) {  // INTERSECT, the only longer word: its first eight letters and a T
    const bool t = p[8] == L'T' || p[8] == L't';
    return t && v == Pack("INTERSEC") ? Word::kNotSimple : Word::kOther;
  }
  switch (v) {
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
    case Pack("UNION"):
    case Pack("HAVING"):
    case Pack("WINDOW"):
    case Pack("EXCEPT"):
    case Pack("VALUES"):
      return Word::kNotSimple;
    default:
      return Word::kOther;
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

enum class StatementKind { kData, kSelect, kOther, kNone };

StatementKind KindOf(const wchar_t* word, std::size_t length) {
  static const char* const kData[] = {"WITH", "VALUES", "INSERT", "UPDATE", "DELETE", "REPLACE"};
  static const char* const kOther[] = {"CREATE",   "DROP",     "ALTER",     "PRAGMA",  "BEGIN",  "COMMIT",
                                       "END",      "ROLLBACK", "SAVEPOINT", "RELEASE", "ATTACH", "DETACH",
                                       "ANALYZE",  "VACUUM",   "REINDEX",   "EXPLAIN"};
  auto is = [word, length](const char* keyword) {
    std::size_t k = 0;
    for (; k < length && keyword[k]; ++k) {
      wchar_t c = word[k];
      if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
      if (c != static_cast<wchar_t>(keyword[k])) return false;
    }
    return k == length && !keyword[k];
  };
  if (is("SELECT")) return StatementKind::kSelect;
  for (const char* k : kData)
    if (is(k)) return StatementKind::kData;
  for (const char* k : kOther)
    if (is(k)) return StatementKind::kOther;
  return StatementKind::kNone;
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

void TranslateStatement(const wchar_t* text, StatementText& out) {
  out.Clear();
  const wchar_t* p = SkipBlanksAndComments(text ? text : L"");
  if (!*p || *p == L';') ThrowDbError(kStateSyntax, L"The SQL text is empty: there is no statement to run.");

  StatementKind kind = StatementKind::kOther;
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
  }

  const bool lift = kind == StatementKind::kData || kind == StatementKind::kSelect;
  const bool select = kind == StatementKind::kSelect;
  out.cacheable = lift;
  bool simple = select;
  bool inFrom = false;
  bool afterSelect = false;  // the previous token was a top-level SELECT
  bool afterAs = false;      // the previous token was AS
  int depth = 0;
  std::vector<int> isNullDepths;  // depths at which an IsNull( call was opened

  // Worst cases: 4 bytes per character; "IsNull(" (7 characters) grows to "((" plus ") IS NULL)"; an empty
  // literal '' (2 characters) becomes ?N with up to 7 digits.
  const std::size_t length = std::wcslen(p);
  out.sql.resize(4 * length + 16);
  out.literals.resize(4 * length);
  char* const sqlBegin = &out.sql[0];
  char* const literalsBegin = &out.literals[0];
  Writer sql{sqlBegin};
  Writer literals{literalsBegin};
  auto space = [&sql, sqlBegin]() {
    if (sql.at != sqlBegin && sql.at[-1] != ' ') *sql.at++ = ' ';
  };

  while (*p) {
    const wchar_t c = *p;
    if (IsBlank(c) || (c == L'-' && p[1] == L'-') || (c == L'/' && p[1] == L'*')) {
      p = SkipBlanksAndComments(p);
      space();
      continue;
    }
    if (c == L';') {
      if (!OnlyTrailing(p + 1))
        ThrowDbError(kStateSyntax,
                     L"The text holds more than one SQL statement; only one statement can be run at a time.");
      break;
    }
    const bool wasAfterAs = afterAs;
    const bool wasAfterSelect = afterSelect;
    afterAs = afterSelect = false;
    if (c == L'\'') {
      const wchar_t* close = ClosingQuote(p, L'\'', true);
      if (!close) {  // left open: SQLite reports it as an unrecognized token
        sql.Put(p, p + std::wcslen(p));
        break;
      }
      const bool blobPrefix = sql.at != sqlBegin && sql.at[-1] != ' ' &&
                              (static_cast<unsigned char>(sql.at[-1]) >= 0x80 ||
                               IsIdentChar(static_cast<wchar_t>(sql.at[-1])));
      if (lift && !blobPrefix && !wasAfterAs) {
        for (const wchar_t* q = p + 1; q < close; ++q) {
          literals.Put(*q);
          if (*q == L'\'') ++q;  // a doubled quote is one quote
        }
        out.literalEnds.push_back(static_cast<std::uint32_t>(literals.at - literalsBegin));
        *sql.at++ = '?';
        sql.Number(out.literalEnds.size());
      } else {
        sql.Put(p, close + 1);
      }
      p = close + 1;
      continue;
    }
    if (c == L'"' || c == L'`' || c == L'[') {
      const wchar_t* close = c == L'[' ? ClosingQuote(p, L']', false) : ClosingQuote(p, c, true);
      const wchar_t* end = close ? close + 1 : p + std::wcslen(p);
      sql.Put(p, end);
      p = end;
      continue;
    }
    if (IsIdentStart(c)) {
      const wchar_t* q = p;
      while (IsIdentChar(*q)) ++q;
      const Word word = Classify(p, static_cast<std::size_t>(q - p));
      if (word == Word::kIsNull) {
        const wchar_t* r = q;
        while (IsBlank(*r)) ++r;
        if (*r == L'(') {
          sql.Ascii("((", 2);
          ++depth;
          isNullDepths.push_back(depth);
          p = r + 1;
          continue;
        }
      }
      afterAs = word == Word::kAs;
      if (select && depth == 0) {
        switch (word) {
          case Word::kSelect:
            afterSelect = true;
            break;
          case Word::kFrom:
            if (out.fromPos == std::string::npos) {
              space();
              out.fromPos = static_cast<std::size_t>(sql.at - sqlBegin);
              inFrom = true;
            }
            break;
          case Word::kWhere:
          case Word::kOrder:
          case Word::kLimit:
            inFrom = false;
            break;
          case Word::kNotSimple:
            simple = false;
            break;
          case Word::kDistinct:
          case Word::kAll:
            if (wasAfterSelect) simple = false;
            break;
          case Word::kJoin:
            if (inFrom) simple = false;
            break;
          default:
            break;
        }
      }
      sql.Put(p, q);
      p = q;
      continue;
    }
    if (c == L'(') {
      ++depth;
      *sql.at++ = '(';
    } else if (c == L')') {
      if (!isNullDepths.empty() && isNullDepths.back() == depth) {
        sql.Ascii(") IS NULL)", 10);
        isNullDepths.pop_back();
      } else {
        *sql.at++ = ')';
      }
      if (depth > 0) --depth;
    } else {
      if (c == L',' && inFrom && depth == 0) simple = false;
      sql.Put(c);
    }
    ++p;
  }
  while (sql.at != sqlBegin && sql.at[-1] == ' ') --sql.at;
  out.sql.resize(static_cast<std::size_t>(sql.at - sqlBegin));
  out.literals.resize(static_cast<std::size_t>(literals.at - literalsBegin));
  out.singleTableSelect = simple && out.fromPos != std::string::npos;
}

}  // namespace vdpattern::db
