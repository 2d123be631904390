#include <vdpattern/toolkit/VdCondition.h>

#include <algorithm>
#include <iterator>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/Utf8.h>
#include "db/Statement.h"

namespace vdpattern::db {

namespace {

// At most `limit` characters of UTF-8 `text` from byte `pos`, control characters shown as '?', "..." after a
// longer text: a refused condition may hold anything.
std::string Shown(std::string_view text, std::size_t pos = 0, std::size_t limit = 60, bool ellipsis = true) {
  std::string out;
  std::size_t characters = 0;
  for (std::size_t i = pos; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80 && characters++ == limit) return ellipsis ? out + "..." : out;
    out += c < 0x20 ? '?' : text[i];
  }
  return out;
}

// Digits and points, then an optional exponent: what the engines read as one number.
bool IsNumber(const std::string& t) {
  std::size_t k = 0;
  while (k < t.size() && ((t[k] >= '0' && t[k] <= '9') || t[k] == '.')) ++k;
  if (k < t.size() && (t[k] == 'e' || t[k] == 'E')) {
    ++k;
    if (k < t.size() && (t[k] == '+' || t[k] == '-')) ++k;
    const std::size_t digits = k;
    while (k < t.size() && t[k] >= '0' && t[k] <= '9') ++k;
    if (k == digits) return false;
  }
  return k == t.size();
}

// Folded edits between two column names, for "did you mean".
std::size_t Distance(std::wstring a, std::wstring b) {
  VdFoldLower(a);
  VdFoldLower(b);
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "; did you mean h?" with the columns nearest `word` (at most three, a third of its letters apart and fewer
// than all of them), or nothing.
std::string ColumnHint(const std::wstring& word, const std::vector<std::wstring>& columns) {
  const std::size_t limit = std::min(std::max<std::size_t>(1, word.size() / 3), word.size() - 1);
  std::size_t best = limit + 1;
  std::vector<std::wstring> nearest;
  for (const std::wstring& column : columns) {
    const std::size_t d = Distance(word, column);
    if (d > limit) continue;
    if (d < best) best = d, nearest.clear();
    if (d == best && nearest.size() < 3) nearest.push_back(column);
  }
  std::string hint;
  for (std::size_t i = 0; i < nearest.size(); ++i)
    hint += (i == 0 ? "" : i + 1 == nearest.size() ? " or " : ", ") + Shown(VdToUtf8(nearest[i]));
  return hint.empty() ? hint : "; did you mean " + hint + "?";
}

// A token of a condition that passed the word checks: what it is for the grammar, and its text as typed.
struct Piece {
  enum Kind { kValue, kKeyword, kFunction, kSymbol } kind;
  std::string key;    // the keyword or function upper case, the symbol itself; empty for a value
  std::string typed;  // as the condition spells it, for messages
};

// Whether the pieces make one condition, read by precedence as the engines do:
//   or := and {OR and}            and := not {AND not}           not := NOT not | sum [tail]
//   tail := comparison sum | [NOT] LIKE sum [ESCAPE sum] | [NOT] IN ( or {, or} ) | [NOT] BETWEEN sum AND sum
//         | IS [NOT] NULL
//   sum := term {(+ | - | ||) term}  term := unary {(* | / | %) unary}  unary := (+ | -) unary | primary
//   primary := value | NULL | function ( or {, or} ) | ( or )
// A statement the engine could not parse would otherwise come back as the engine's words on the whole statement.
class Grammar {
 public:
  explicit Grammar(const std::vector<Piece>& pieces) : m_p(pieces) {}

  bool Check(std::string& error) {
    if (Or() && m_k < m_p.size()) Unexpected();
    error = m_error;
    return m_error.empty();
  }

 private:
  bool Is(const char* key) const { return m_k < m_p.size() && m_p[m_k].kind != Piece::kValue && m_p[m_k].key == key; }
  bool Take(const char* key) {
    if (!Is(key)) return false;
    ++m_k;
    return true;
  }
  bool Unexpected() {
    if (m_k == m_p.size())
      m_error = "it is incomplete after \"" + Shown(m_p.back().typed) + "\"";
    else if (m_k == 0)
      m_error = "it cannot begin with \"" + Shown(m_p[0].typed) + "\"";
    else
      m_error = "\"" + Shown(m_p[m_k].typed) + "\" cannot follow \"" + Shown(m_p[m_k - 1].typed) + "\"";
    return false;
  }
  bool Expect(const char* key) { return Take(key) || Unexpected(); }

  bool Or() {
    if (!And()) return false;
    while (Take("OR"))
      if (!And()) return false;
    return true;
  }
  bool And() {
    if (!Not()) return false;
    while (Take("AND"))
      if (!Not()) return false;
    return true;
  }
  bool Not() {
    if (Take("NOT")) return Not();
    return Sum() && Tail();
  }
  bool Tail() {
    static const char* const kComparisons[] = {"=", "==", "<>", "!=", "<", "<=", ">", ">="};
    for (const char* comparison : kComparisons)
      if (Take(comparison)) return Sum();
    if (Take("IS")) {
      Take("NOT");
      return Expect("NULL");
    }
    const bool negated = Take("NOT");
    if (Take("LIKE")) return Sum() && (!Take("ESCAPE") || Sum());
    if (Take("IN")) return Expect("(") && List() >= 0 && Expect(")");
    if (Take("BETWEEN")) return Sum() && Expect("AND") && Sum();
    return !negated || Unexpected();
  }
  bool Sum() {
    if (!Term()) return false;
    while (Take("+") || Take("-") || Take("||"))
      if (!Term()) return false;
    return true;
  }
  bool Term() {
    if (!Unary()) return false;
    while (Take("*") || Take("/") || Take("%"))
      if (!Unary()) return false;
    return true;
  }
  bool Unary() {
    if (Take("+") || Take("-")) return Unary();
    if (m_k < m_p.size() && m_p[m_k].kind == Piece::kValue) return ++m_k, true;
    if (Take("NULL")) return true;
    if (Take("(")) return Or() && Expect(")");
    if (m_k < m_p.size() && m_p[m_k].kind == Piece::kFunction) return Call();
    return Unexpected();
  }
  // A function and its values, counted against what it takes.
  bool Call() {
    const std::string name = m_p[m_k++].key;
    int count = 0;
    if (!Expect("(") || (count = List()) < 0 || !Expect(")")) return false;
    const int least = name == "IIF" ? 3 : 1;
    const int most = name == "IIF" ? 3 : name == "ROUND" || name == "TRIM" ? 2 : 1;
    if (count >= least && count <= most) return true;
    static const char* const kCounts[] = {"no value", "one value", "two values", "three values"};
    m_error = "the function " + name + " takes " +
              (least == most ? kCounts[least] : std::string(kCounts[least]) + " or " + kCounts[most]) + ", not " +
              std::to_string(count);
    return false;
  }
  // Conditions apart by commas: how many, or -1 after an error.
  int List() {
    int count = 0;
    do {
      if (!Or()) return -1;
      ++count;
    } while (Take(","));
    return count;
  }

  const std::vector<Piece>& m_p;
  std::size_t m_k = 0;
  std::string m_error;
};

bool Rewrite(const std::wstring& condition, const std::vector<std::wstring>& columns, std::wstring& out,
             std::string& error) {
  static const char* const kKeywords[] = {"AND", "OR", "NOT", "LIKE", "IN", "BETWEEN", "IS", "NULL", "ESCAPE"};
  static const char* const kFunctions[] = {"ABS", "ROUND", "LOWER", "UPPER", "LENGTH", "TRIM", "ISNULL", "IIF"};
  static const char* const kOperators[] = {"<>", "<=", ">=", "!=", "==", "||", "=", "<", ">",
                                           "+",  "-",  "*",  "/",  "%",  "(",  ")", ","};
  const std::string text = VdToUtf8(condition);
  Unclosed unclosed;
  const std::vector<StatementToken> tokens = TokenizeStatement(text, unclosed);
  const auto notAllowed = [&](std::size_t pos) {
    error = "\"" + Shown(text, pos, 10, false) + "\" is not allowed in a condition";
    return false;
  };
  std::wstring result;
  std::vector<Piece> pieces;
  int depth = 0;
  for (std::size_t k = 0; k < tokens.size(); ++k) {
    const StatementToken& t = tokens[k];
    if (t.kind == TokenKind::kBlank) continue;
    if (!result.empty()) result += L' ';
    switch (t.kind) {
      case TokenKind::kNumber:
        if (!IsNumber(t.text)) {
          error = "\"" + Shown(t.text) + "\" is not a number";
          return false;
        }
        pieces.push_back({Piece::kValue, {}, t.text});
        result += VdFromUtf8(t.text);
        break;
      case TokenKind::kString:
        pieces.push_back({Piece::kValue, {}, t.text});
        result += VdFromUtf8(t.text);
        break;
      case TokenKind::kWord:
      case TokenKind::kName: {
        const std::wstring word = VdFromUtf8(t.text);
        if (t.kind == TokenKind::kWord) {
          std::wstring upper = word;
          VdFoldUpper(upper);
          const std::string name = VdToUtf8(upper);
          if (std::find(std::begin(kKeywords), std::end(kKeywords), name) != std::end(kKeywords)) {
            pieces.push_back({Piece::kKeyword, name, t.text});
            result += upper;
            break;
          }
          const std::size_t next = k + 1 < tokens.size() && tokens[k + 1].kind == TokenKind::kBlank ? k + 2 : k + 1;
          if (next < tokens.size() && IsPunct(tokens[next], "(")) {
            if (std::find(std::begin(kFunctions), std::end(kFunctions), name) == std::end(kFunctions)) {
              error = "the function " + Shown(t.text) + " cannot be used in a condition";
              return false;
            }
            pieces.push_back({Piece::kFunction, name, t.text});
            result += upper;
            break;
          }
        }
        const auto column = std::find_if(columns.begin(), columns.end(),
                                         [&](const std::wstring& c) { return VdCompareNoCase(c, word) == 0; });
        if (column == columns.end()) {
          error = "no column \"" + Shown(t.text) + "\" in the family" + ColumnHint(word, columns);
          return false;
        }
        pieces.push_back({Piece::kValue, {}, t.text});
        result += L"[" + *column + L"]";
        break;
      }
      case TokenKind::kPunct:
        if (std::find(std::begin(kOperators), std::end(kOperators), t.text) == std::end(kOperators))
          return notAllowed(t.pos);
        if (t.text == "(") ++depth;
        if (t.text == ")" && --depth < 0) {
          error = "a ')' has no '('";
          return false;
        }
        pieces.push_back({Piece::kSymbol, t.text, t.text});
        result += VdFromUtf8(t.text);
        break;
      default:  // a comment
        return notAllowed(t.pos);
    }
  }
  if (unclosed.what) {
    if (std::string_view(unclosed.what) == "a comment") return notAllowed(unclosed.pos);
    error = std::string(unclosed.what) + " is not closed";
    return false;
  }
  if (depth != 0) {
    error = "a '(' is not closed";
    return false;
  }
  if (result.empty()) {
    error = "the condition is empty";
    return false;
  }
  if (!Grammar(pieces).Check(error)) return false;
  out = std::move(result);
  return true;
}

}  // namespace

}  // namespace vdpattern::db

bool VdRewriteCondition(const std::wstring& condition, const std::vector<std::wstring>& columns, std::wstring& out,
                        std::string& error) {
  return vdpattern::db::Rewrite(condition, columns, out, error);
}
