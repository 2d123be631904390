#include "db/sqlite/SqliteDialect.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include "db/Connection.h"
#include "db/DbError.h"
#include "db/Rewrite.h"
#include "db/Statement.h"
#include "db/Utf8Fast.h"

namespace vdpattern::db {

namespace {

using Tok = TokenKind;
using Token = StatementToken;

// The emitter runs for every statement text a record set opens that matches no remembered shape, so it writes
// into buffers sized once for the worst case (see ScanState), without a bounds check per byte.

inline bool IsBlankByte(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
// SQLite's words begin at a letter, '_' or a character from U+0080 on; a digit or '$' before one is a character of
// its own (1.FROM is a number and the keyword FROM).
inline bool IsWordStart(unsigned char c) { return c >= 0x80 || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_'; }

// SQLite also takes form feed and vertical tab for blanks, which the shared tokens keep as punctuation.
bool IsLayout(const Token& t) {
  return !IsSignificant(t) || (t.kind == Tok::kPunct && (t.text[0] == '\f' || t.text[0] == '\v'));
}
bool IsBlankToken(const Token& t) {
  return t.kind == Tok::kBlank || (t.kind == Tok::kPunct && (t.text[0] == '\f' || t.text[0] == '\v'));
}

// Writes UTF-8 into a buffer that the caller sized for the worst case.
struct Writer {
  char* at;

  void Bytes(const char* text, std::size_t length) {
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

// Adds one byte to a packed word; returns false once the word can no longer be one of ours.
inline bool PackNext(std::uint64_t& v, std::size_t n, unsigned char c) {
  const unsigned lower = c | 0x20u;
  if (n >= 12 || lower < 'a' || lower > 'z') return false;
  v = v * 32 + (lower - 'a' + 1);
  return true;
}

// The packed word of the token `t`, or 0 when it is no word of ours.
std::uint64_t PackWord(const Token& t) {
  if (t.kind != Tok::kWord) return 0;
  std::uint64_t v = 0;
  for (std::size_t n = 0; n < t.text.size(); ++n)
    if (!PackNext(v, n, static_cast<unsigned char>(t.text[n]))) return 0;
  return v;
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

enum class StatementKind { kData, kSelect, kOther, kNone };

StatementKind KindOf(const Token& word) {
  switch (PackWord(word)) {
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

// The text read: its UTF-8 bytes, their tokens and what was left open at their end.
struct Source {
  std::string text;
  std::vector<Token> tokens;
  Unclosed unclosed;

  // Where token `k` ends: where the next one (or what was left open) begins.
  std::size_t End(std::size_t k) const {
    return k + 1 < tokens.size() ? tokens[k + 1].pos : unclosed.what ? unclosed.pos : text.size();
  }
  // The first token at or after `k` that is not layout.
  std::size_t Next(std::size_t k) const {
    while (k < tokens.size() && IsLayout(tokens[k])) ++k;
    return k;
  }
  // Whether only layout and semicolons follow token `k` (and nothing is left open but a comment).
  bool OnlyTrailing(std::size_t k) const {
    for (k = Next(k); k < tokens.size() && IsPunct(tokens[k], ";"); k = Next(k + 1)) {
    }
    return k == tokens.size() && (!unclosed.what || IsUnclosedComment(unclosed));
  }
};

void BareTable(std::string_view name, StatementText& out) {
  out.sql = kBareTableSelect;
  AppendQuotedName(out.sql, std::string(name));
  out.fromPos = kBareTableFromPos;
  out.cacheable = true;
  out.singleTableSelect = true;
}

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
inline std::size_t OperatorLength(const char* p, bool& compare) {
  const char c = p[0], next = p[1];
  compare = true;
  if (c == '<' || c == '>') {
    if (next == c) {
      compare = false;
      return 2;
    }
    return next == '=' || (c == '<' && next == '>') ? 2 : 1;
  }
  if (next == '=') return 2;
  if (c == '!') compare = false;
  return 1;
}

// What the steps of one scan share: where it reads, what it has written and what it has learnt of the
// statement so far.
struct ScanState {
  // Reading: the tokens, and the first byte not yet read (an operator may take the start of the token after it).
  const Source& src;
  const char* bytes;
  std::size_t cursor = 0;
  std::size_t charsBefore = 0, charsAt = 0;  // characters before byte charsAt, for the literals' spans
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

  ScanState(const Source& source, StatementKind kind, bool explain, bool foldTexts, StatementText& result);
  TermList& Innermost() { return terms[termLists - 1]; }
  // Whether the innermost list is read at the current depth (its separators are ours).
  bool AtListDepth() const { return termLists > 0 && terms[termLists - 1].depth == depth; }
  // The position in the host's text (in characters) of byte `pos`, for positions that only grow.
  std::uint32_t CharAt(std::size_t pos) {
    for (; charsAt < pos; ++charsAt)
      if ((static_cast<unsigned char>(bytes[charsAt]) & 0xC0) != 0x80) ++charsBefore;
    return static_cast<std::uint32_t>(charsBefore);
  }
};

// Sizes the scratch buffer once for the worst case, so that no write checks for room. Per byte: itself, or 5
// for the ?N that replaces a literal ('' is 2 bytes; N has at most 9 digits); "IsNull(" (7 bytes) becomes "(("
// and its ")" becomes ") IS NULL)". When folding, COLLATE NOCASE (16 bytes with its blank) goes in at most once
// per byte, at a comparison operator, a separator ending a sort term or the first letter of a keyword, each one
// byte itself: "X=><," folds four times in five bytes. The sort lists still open at the end add one each.
ScanState::ScanState(const Source& source, StatementKind kind, bool explain, bool foldTexts, StatementText& result)
    : src(source),
      bytes(source.text.c_str()),
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
  const std::size_t length = source.text.size();
  const std::size_t sqlRoom = (fold ? 1 + 16 : 5) * length + 16 * kMaxTermLists + 32;
  if (out.scratch.size() < sqlRoom + length) out.scratch.resize(sqlRoom + length);
  sqlBegin = out.scratch.data();
  literalsBegin = sqlBegin + sqlRoom;
  sql.at = sqlBegin;
  literals.at = literalsBegin;
}

// Steps of the emitter, one per kind of token; each writes the token's translation.
class Scanner {
 public:
  Scanner(const Source& src, StatementKind kind, bool explain, bool fold, StatementText& out)
      : s(src, kind, explain, fold, out) {}
  // Translates the statement from token `first` into `out`; false when folding and the text names a collation.
  bool Run(std::size_t first);

 private:
  // Layout.
  void Space();
  void EndWord();
  // Words: keywords, names and the IsNull( call.
  bool Words(std::size_t k);
  bool WordToken(std::size_t k, std::size_t begin, std::size_t end);
  Word ReadWord(std::size_t begin, std::size_t end);
  bool RewriteIsNull(std::size_t k);
  bool FoldAtWord(Word word, Word before, std::size_t k, std::size_t end);
  void FoldBeforeWord();
  void NoteSelectWord(Word word, bool wasAfterSelect);
  void NoteFrom();
  void NoteNestedWord(Word word, Word before);
  void EndNested(int depth);
  // Quoted tokens.
  void Literal(const Token& t, bool wasAfterAs);
  void Raw(std::size_t begin, std::size_t end);
  // Punctuation and operators.
  bool Punctuation(std::size_t k);
  bool Character(std::size_t& at);
  void OpenParen();
  void CloseParen();
  void Comma();
  std::size_t Comparison(std::size_t at);
  std::size_t Arrow(std::size_t at);
  void Other(std::size_t at);
  // Sort and grouping terms, which the folding follows.
  void MarkTerm();
  void CloseTerm(char* at);
  // The result.
  void Finish();

  ScanState s;
};

bool Scanner::Run(std::size_t first) {
  const std::vector<Token>& tokens = s.src.tokens;
  bool ended = false;  // by a semicolon
  for (std::size_t k = first; k < tokens.size() && !ended; ++k) {
    if (s.src.End(k) <= s.cursor) continue;  // taken by the operator or call before it
    const Token& t = tokens[k];
    switch (t.kind) {
      case Tok::kBlank:
      case Tok::kComment:
        Space();
        break;
      case Tok::kString: {
        const bool wasAfterAs = s.afterAs;
        EndWord();
        Literal(t, wasAfterAs);
        break;
      }
      case Tok::kName:
        EndWord();
        MarkTerm();
        Raw(t.pos, s.src.End(k));
        break;
      case Tok::kWord:
      case Tok::kNumber:
        if (!Words(k)) return false;
        break;
      case Tok::kPunct:
        ended = !Punctuation(k);
        break;
    }
  }
  // What was left open runs to the end: a comment is a blank, a quoted text or name is copied as written (SQLite
  // then reports the unrecognized token).
  const Unclosed& open = s.src.unclosed;
  if (!ended && open.what) {
    if (IsUnclosedComment(open)) {
      Space();
    } else {
      EndWord();
      MarkTerm();
      Raw(open.pos, s.src.text.size());
    }
  }
  Finish();
  return true;
}

// One blank stands for any run of blanks and comments, so that the cache key does not depend on layout.
void Scanner::Space() {
  if (s.sql.at != s.sqlBegin && s.sql.at[-1] != ' ') *s.sql.at++ = ' ';
}

// Any token but a word, a blank or a comment ends what a word before it started.
void Scanner::EndWord() {
  s.afterAs = s.afterSelect = false;
  s.previous = Word::kOther;
}

// A word or number token: SQLite's words in it, and the digits, dots and signs between them one by one.
bool Scanner::Words(std::size_t k) {
  const std::size_t end = s.src.End(k);
  for (std::size_t at = s.src.tokens[k].pos; at < end;) {
    if (!IsWordStart(static_cast<unsigned char>(s.bytes[at]))) {
      Character(at);  // a digit, '$', '.' or the sign of an exponent (which may begin ->)
      at = std::max(at, s.cursor);
      s.cursor = std::max(s.cursor, at);
      continue;
    }
    std::size_t to = at;
    while (to < end && IsWordByte(static_cast<unsigned char>(s.bytes[to]))) ++to;
    if (!WordToken(k, at, to)) return false;
    at = std::max(to, s.cursor);
  }
  return true;
}

// A name or keyword (bytes [begin, end) of token `k`); returns false when folding meets COLLATE.
bool Scanner::WordToken(std::size_t k, std::size_t begin, std::size_t end) {
  s.wordStart = s.sql.at;
  const Word word = ReadWord(begin, end);
  const bool wasAfterSelect = s.afterSelect;
  const Word before = s.previous;
  s.previous = word;
  s.afterAs = word == Word::kAs;
  s.afterSelect = false;
  const bool whole = end == s.src.End(k);  // the word ends its token, so the tokens after it follow it
  if (word == Word::kIsNull && whole && RewriteIsNull(k)) return true;
  if (s.fold && !FoldAtWord(word, before, k, whole ? end : std::string::npos)) return false;
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
Word Scanner::ReadWord(std::size_t begin, std::size_t end) {
  std::uint64_t packed = 0;
  bool keyword = true;
  for (std::size_t n = 0; keyword && begin + n < end; ++n)
    keyword = PackNext(packed, n, static_cast<unsigned char>(s.bytes[begin + n]));
  s.sql.Bytes(s.bytes + begin, end - begin);
  return keyword ? Classify(packed) : Word::kOther;
}

// Blanks may stand between IsNull and its parenthesis, not comments, as the engine's grammar has it.
bool OnlyBlanks(const Token& t) { return IsBlankToken(t); }

// IsNull(x): the call's closing parenthesis writes the rest (CloseParen). False when no parenthesis follows:
// the word is then an ordinary one.
bool Scanner::RewriteIsNull(std::size_t k) {
  const std::size_t open = IsNullCall(s.src.tokens, k + 1, s.src.tokens.size(), OnlyBlanks);
  if (open == s.src.tokens.size()) return false;
  s.sql.at = s.wordStart;
  s.sql.Bytes(kIsNullOpen, sizeof kIsNullOpen - 1);
  ++s.depth;
  s.isNullDepths.push_back(s.depth);
  s.cursor = s.src.tokens[open].pos + 1;
  MarkTerm();
  s.previous = Word::kOther;
  return true;
}

// What a word means for the folding: it may end a sort term, open a list of them, be a comparison that takes
// the collation before it (IN, BETWEEN, NOT IN, NOT BETWEEN), or start or end the SET list of an UPDATE, whose
// '=' assigns rather than compares. Returns false on COLLATE: the text then keeps its own collations. `end` is
// where the word ends when it ends its token (npos otherwise): what follows NOT is read from there.
bool Scanner::FoldAtWord(Word word, Word before, std::size_t k, std::size_t end) {
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
    const std::size_t n = end == std::string::npos ? s.src.tokens.size() : s.src.Next(k + 1);
    const std::uint64_t next = n < s.src.tokens.size() ? PackWord(s.src.tokens[n]) : 0;
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
// AS 'name', where no parameter can stand.
void Scanner::Literal(const Token& t, bool wasAfterAs) {
  MarkTerm();
  const char* const at = s.sql.at;
  const bool blobPrefix = at != s.sqlBegin && at[-1] != ' ' && IsWordByte(static_cast<unsigned char>(at[-1]));
  if (!s.lift || blobPrefix || wasAfterAs) {
    s.sql.Bytes(t.text.data(), t.text.size());
    return;
  }
  s.literals.at = UnquoteLiteral(t.text, s.literals.at);
  s.out.literalEnds.push_back(static_cast<std::uint32_t>(s.literals.at - s.literalsBegin));
  s.out.literalSpans.push_back(s.CharAt(t.pos));
  s.out.literalSpans.push_back(s.CharAt(t.pos + t.text.size() - 1));
  *s.sql.at++ = '?';
  s.sql.Number(s.out.literalEnds.size());
}

// A quoted name, or what was left open, copied as written.
void Scanner::Raw(std::size_t begin, std::size_t end) { s.sql.Bytes(s.bytes + begin, end - begin); }

// The characters of a punctuation token from the first one not yet read; an operator may run into the next
// token (<<= is a shift and a comparison). Returns false at the semicolon that ends the statement.
bool Scanner::Punctuation(std::size_t k) {
  const std::size_t end = s.src.End(k);
  std::size_t at = std::max(s.src.tokens[k].pos, s.cursor);
  while (at < end)
    if (!Character(at)) return false;
  s.cursor = std::max(s.cursor, at);
  return true;
}

// The character at `at`, or the operator that starts there; moves `at` past it. False at a semicolon.
bool Scanner::Character(std::size_t& at) {
  const char c = s.bytes[at];
  if (c == '\f' || c == '\v') {
    Space();
    ++at;
    return true;
  }
  if (c == ';') return false;
  EndWord();
  if (c == '(') {
    OpenParen();
    ++at;
  } else if (c == ')') {
    CloseParen();
    ++at;
  } else if (c == ',') {
    Comma();
    ++at;
  } else if (s.fold && (c == '=' || c == '<' || c == '>' || c == '!')) {
    at += Comparison(at);
  } else if (c == '-' && s.bytes[at + 1] == '>') {
    at += Arrow(at);
  } else {
    Other(at++);
  }
  return true;
}

void Scanner::OpenParen() {
  MarkTerm();
  ++s.depth;
  *s.sql.at++ = '(';
}

// Ends the sort list read at this depth, and an IsNull( call opened here.
void Scanner::CloseParen() {
  if (s.fold && s.AtListDepth()) {
    CloseTerm(s.sql.at);
    --s.termLists;
  }
  if (!s.nested.empty()) EndNested(s.depth);
  if (!s.isNullDepths.empty() && s.isNullDepths.back() == s.depth) {
    s.sql.Bytes(kIsNullClose, sizeof kIsNullClose - 1);
    s.isNullDepths.pop_back();
  } else {
    *s.sql.at++ = ')';
  }
  if (s.depth > 0) --s.depth;
  if (s.depth < s.setDepth) s.setDepth = -1;
  MarkTerm();
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
}

// = == <> != < <= > >= take the collation on their left; shifts, a lone ! and the '=' of a SET assignment
// (the engine also takes == there) do not. Returns the operator's length.
std::size_t Scanner::Comparison(std::size_t at) {
  bool compare;
  const std::size_t n = OperatorLength(s.bytes + at, compare);
  if (s.bytes[at] == '=' && s.depth == s.setDepth && s.expectAssign) {
    compare = false;
    s.expectAssign = false;
  }
  if (compare) {
    InsertFold(s.sql, s.sqlBegin, s.sql.at);
    s.out.folded = true;
  }
  s.sql.Bytes(s.bytes + at, n);
  return n;
}

// -> and ->>: not a comparison.
std::size_t Scanner::Arrow(std::size_t at) {
  const std::size_t n = s.bytes[at + 2] == '>' ? 3 : 2;
  s.sql.Bytes(s.bytes + at, n);
  MarkTerm();
  return n;
}

// Any other character (digits, the other operators, parameters): copied.
void Scanner::Other(std::size_t at) {
  MarkTerm();
  *s.sql.at++ = s.bytes[at];
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

// The kind of the statement that starts at token `first`: EXPLAIN [QUERY PLAN] <statement> reads as its
// statement, so the plan shown is the plan of the text that statement is translated into.
StatementKind KindAt(const Source& src, std::size_t first, bool& explain) {
  const std::vector<Token>& t = src.tokens;
  const StatementKind kind = KindOf(t[first]);
  if (PackWord(t[first]) != Pack("EXPLAIN")) return kind;
  std::size_t r = src.Next(first + 1);
  if (r < t.size() && PackWord(t[r]) == Pack("QUERY")) {
    r = src.Next(r + 1);
    if (r < t.size() && PackWord(t[r]) == Pack("PLAN")) r = src.Next(r + 1);
  }
  const bool word =
      r < t.size() && t[r].kind == Tok::kWord && IsWordStart(static_cast<unsigned char>(src.text[t[r].pos]));
  const StatementKind inner = word ? KindOf(t[r]) : kind;
  if (inner != StatementKind::kData && inner != StatementKind::kSelect) return kind;
  explain = true;
  return inner;
}

}  // namespace

void TranslateStatement(const wchar_t* text, StatementText& out) {
  out.Clear();
  Source src;
  if (text) AppendUtf8(src.text, text, std::wcslen(text));
  src.tokens = TokenizeStatement(src.text, src.unclosed);
  const std::vector<Token>& t = src.tokens;
  const std::size_t first = src.Next(0);
  if (first == t.size() ? !src.unclosed.what || IsUnclosedComment(src.unclosed) : IsPunct(t[first], ";"))
    ThrowDbError(kStateSyntax, L"The SQL text is empty: there is no statement to run.");

  StatementKind kind = StatementKind::kOther;
  bool explain = false;
  if (first < t.size()) {
    const Token& head = t[first];
    if (head.kind == Tok::kName && src.text[head.pos] == '[') {
      if (src.OnlyTrailing(first + 1)) return BareTable(head.text, out);
    } else if (head.kind == Tok::kWord && IsWordStart(static_cast<unsigned char>(src.text[head.pos]))) {
      kind = KindAt(src, first, explain);
      if (kind == StatementKind::kNone) {
        // Any other first word begins the name of a table, which runs to the end of the text.
        std::size_t end = src.text.size();
        while (end > head.pos &&
               (IsBlankByte(static_cast<unsigned char>(src.text[end - 1])) || src.text[end - 1] == ';'))
          --end;
        return BareTable(std::string_view(src.text).substr(head.pos, end - head.pos), out);
      }
    }
  }
  FirstStatementEnd(t, src.unclosed, IsLayout);
  if (!Scanner(src, kind, explain, true, out).Run(first)) Scanner(src, kind, explain, false, out).Run(first);
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
