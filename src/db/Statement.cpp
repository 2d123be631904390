#include "db/Statement.h"

#include <cstring>
#include "db/DbError.h"

namespace vdpattern::db {

namespace {

bool IsWordChar(unsigned char ch) { return IsWordByte(ch); }

}  // namespace

std::vector<StatementToken> TokenizeStatement(std::string_view s, Unclosed& unclosed) {
  unclosed = Unclosed();
  std::vector<StatementToken> tokens;
  std::size_t k = 0;
  const auto open = [&](const char* what, std::size_t start) {
    unclosed = {what, start};
    return tokens;
  };
  while (k < s.size()) {
    const unsigned char ch = static_cast<unsigned char>(s[k]);
    const std::size_t start = k;
    if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r') {
      while (k < s.size() && (s[k] == ' ' || s[k] == '\t' || s[k] == '\n' || s[k] == '\r')) ++k;
      tokens.push_back({TokenKind::kBlank, " ", start});
    } else if (ch == '-' && k + 1 < s.size() && s[k + 1] == '-') {
      while (k < s.size() && s[k] != '\n') ++k;
      tokens.push_back({TokenKind::kComment, "", start});
    } else if (ch == '/' && k + 1 < s.size() && s[k + 1] == '*') {
      const std::size_t end = s.find("*/", k + 2);
      if (end == std::string_view::npos) return open("a comment", start);
      k = end + 2;
      tokens.push_back({TokenKind::kComment, "", start});
    } else if (ch == '\'') {
      ++k;
      for (;;) {
        if (k >= s.size()) return open("a quoted text", start);
        if (s[k] == '\'') {
          if (k + 1 < s.size() && s[k + 1] == '\'') {
            k += 2;
            continue;
          }
          ++k;
          break;
        }
        ++k;
      }
      tokens.push_back({TokenKind::kString, std::string(s.substr(start, k - start)), start});
    } else if (ch == '"' || ch == '`') {
      std::string name;
      ++k;
      for (;;) {
        if (k >= s.size()) return open("a quoted name", start);
        if (s[k] == static_cast<char>(ch)) {
          if (k + 1 < s.size() && s[k + 1] == static_cast<char>(ch)) {
            name += s[k];
            k += 2;
            continue;
          }
          ++k;
          break;
        }
        name += s[k++];
      }
      tokens.push_back({TokenKind::kName, std::move(name), start});
    } else if (ch == '[') {
      const std::size_t end = s.find(']', k + 1);
      if (end == std::string_view::npos) return open("a bracketed name", start);
      tokens.push_back({TokenKind::kName, std::string(s.substr(k + 1, end - k - 1)), start});
      k = end + 1;
    } else if ((ch >= '0' && ch <= '9') || (ch == '.' && k + 1 < s.size() && s[k + 1] >= '0' && s[k + 1] <= '9')) {
      while (k < s.size() && (IsWordChar(static_cast<unsigned char>(s[k])) || s[k] == '.')) {
        // The sign of an exponent, but not the start of a comment (1e--x).
        if ((s[k] == 'e' || s[k] == 'E') && k + 1 < s.size() &&
            (s[k + 1] == '+' || (s[k + 1] == '-' && !(k + 2 < s.size() && s[k + 2] == '-'))))
          ++k;
        ++k;
      }
      tokens.push_back({TokenKind::kNumber, std::string(s.substr(start, k - start)), start});
    } else if (IsWordChar(ch)) {
      while (k < s.size() && IsWordChar(static_cast<unsigned char>(s[k]))) ++k;
      tokens.push_back({TokenKind::kWord, std::string(s.substr(start, k - start)), start});
    } else {
      ++k;
      // Two-character operators stay together, so "<" and ">" are never read as brackets of anything.
      if (k < s.size() &&
          ((ch == '<' && (s[k] == '>' || s[k] == '=')) || (ch == '>' && s[k] == '=') || (ch == '!' && s[k] == '=') ||
           (ch == '=' && s[k] == '=') || (ch == ':' && s[k] == ':') || (ch == '|' && s[k] == '|')))
        ++k;
      tokens.push_back({TokenKind::kPunct, std::string(s.substr(start, k - start)), start});
    }
  }
  return tokens;
}

bool IsKeyword(const StatementToken& t, const char* word) {
  if (t.kind != TokenKind::kWord || t.text.size() != std::strlen(word)) return false;
  for (std::size_t k = 0; k < t.text.size(); ++k) {
    char ch = t.text[k];
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    if (ch != word[k]) return false;
  }
  return true;
}

std::size_t NextSignificant(const std::vector<StatementToken>& t, std::size_t k, std::size_t end) {
  while (k < end && !IsSignificant(t[k])) ++k;
  return k;
}

std::size_t MatchingParen(const std::vector<StatementToken>& t, std::size_t open, std::size_t end) {
  int depth = 0;
  for (std::size_t k = open; k < end; ++k) {
    if (t[k].kind != TokenKind::kPunct) continue;
    if (t[k].text == "(") ++depth;
    if (t[k].text == ")" && --depth == 0) return k;
  }
  return end;
}

void ThrowMoreThanOneStatement() {
  ThrowDbError(kStateSyntax, L"The text holds more than one SQL statement; only one statement can be run at a time.");
}

bool IsUnclosedComment(const Unclosed& u) { return u.what && std::strcmp(u.what, "a comment") == 0; }

std::size_t FirstStatementEnd(const std::vector<StatementToken>& t) {
  return FirstStatementEnd(t, Unclosed(), [](const StatementToken& x) { return !IsSignificant(x); });
}

std::size_t FirstStatementEnd(const std::vector<StatementToken>& t, const Unclosed& unclosed,
                              bool (*layout)(const StatementToken&)) {
  std::size_t end = 0;
  while (end < t.size() && !IsPunct(t[end], ";")) ++end;
  for (std::size_t k = end; k < t.size(); ++k)
    if (!layout(t[k]) && !IsPunct(t[k], ";")) ThrowMoreThanOneStatement();
  if (end < t.size() && unclosed.what && !IsUnclosedComment(unclosed)) ThrowMoreThanOneStatement();
  return end;
}

}  // namespace vdpattern::db
