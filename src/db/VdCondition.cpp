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
        result += VdFromUtf8(t.text);
        break;
      case TokenKind::kString:
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
            result += upper;
            break;
          }
          const std::size_t next = k + 1 < tokens.size() && tokens[k + 1].kind == TokenKind::kBlank ? k + 2 : k + 1;
          if (next < tokens.size() && IsPunct(tokens[next], "(")) {
            if (std::find(std::begin(kFunctions), std::end(kFunctions), name) == std::end(kFunctions)) {
              error = "the function " + Shown(t.text) + " cannot be used in a condition";
              return false;
            }
            result += upper;
            break;
          }
        }
        const auto column = std::find_if(columns.begin(), columns.end(),
                                         [&](const std::wstring& c) { return VdCompareNoCase(c, word) == 0; });
        if (column == columns.end()) {
          error = "no column \"" + Shown(t.text) + "\" in the family";
          return false;
        }
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
  out = std::move(result);
  return true;
}

}  // namespace

}  // namespace vdpattern::db

bool VdRewriteCondition(const std::wstring& condition, const std::vector<std::wstring>& columns, std::wstring& out,
                        std::string& error) {
  return vdpattern::db::Rewrite(condition, columns, out, error);
}
