#pragma once
// The statement language's tokens, shared by the engines' translations and the condition checker.
//
// A text is read once into tokens: blanks (one token per run), comments, 'texts' (kept with their quotes),
// names in [brackets], "quotes" or `backquotes` (kept unquoted), numbers, words and punctuation (the
// two-character operators <> <= >= != == :: || stay one token). Both engines' translations and the condition
// checker read these tokens; the rewrites they share are in Rewrite.h.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vdpattern::db {

// Whether a byte of UTF-8 may be part of a word (any byte of a character from U+0080 on may).
inline bool IsWordByte(unsigned char ch) {
  return ch >= 0x80 || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
         ch == '$';
}

enum class TokenKind { kWord, kName, kString, kNumber, kPunct, kBlank, kComment };

struct StatementToken {
  TokenKind kind;
  std::string text;     // a kName holds the name unquoted; a kBlank is " ", a kComment empty
  std::size_t pos = 0;  // of its first byte in the text read
};

// What a text left open, for TokenizeStatement: null when nothing was.
struct Unclosed {
  const char* what = nullptr;  // "a comment", "a quoted text", "a quoted name" or "a bracketed name"
  std::size_t pos = 0;         // where it starts
};

// The tokens of the UTF-8 text `text`. A token left open ends the reading: it is reported in `unclosed` and
// not among the tokens.
std::vector<StatementToken> TokenizeStatement(std::string_view text, Unclosed& unclosed);

// Whether `t` is the word `upper` (ASCII upper case), whatever its case.
bool IsKeyword(const StatementToken& t, const char* upper);
inline bool IsSignificant(const StatementToken& t) {
  return t.kind != TokenKind::kBlank && t.kind != TokenKind::kComment;
}
inline bool IsPunct(const StatementToken& t, const char* text) { return t.kind == TokenKind::kPunct && t.text == text; }

// The next significant token at or after `k`, or `end`.
std::size_t NextSignificant(const std::vector<StatementToken>& t, std::size_t k, std::size_t end);
// The position of the ')' matching the '(' at `open`, or `end`.
std::size_t MatchingParen(const std::vector<StatementToken>& t, std::size_t open, std::size_t end);

// The end of the text's first statement (its ';' or the end); throws CDBException (42000) when anything but
// blanks, comments and semicolons follows it.
std::size_t FirstStatementEnd(const std::vector<StatementToken>& t);
// The same for tokens read up to what `unclosed` left open, where `layout` tells the tokens that separate others
// (SQLite's blanks include form feed and vertical tab): what was left open after the first statement begins a
// second one, unless it is a comment.
std::size_t FirstStatementEnd(const std::vector<StatementToken>& t, const Unclosed& unclosed,
                              bool (*layout)(const StatementToken&));
bool IsUnclosedComment(const Unclosed& u);
[[noreturn]] void ThrowMoreThanOneStatement();

}  // namespace vdpattern::db
