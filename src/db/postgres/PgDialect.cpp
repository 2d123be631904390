#include "db/postgres/PgDialect.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>
#include <vdpattern/toolkit/Utf8.h>
#include "db/Connection.h"
#include "db/DbError.h"
#include "db/Rewrite.h"
#include "db/Statement.h"

namespace vdpattern::db {

namespace {

using Tok = TokenKind;
using Token = StatementToken;

bool Is(const Token& t, const char* word) { return IsKeyword(t, word); }

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& ch : u)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
  return u;
}

std::string Lower(std::string_view s) {
  std::string u(s);
  for (char& ch : u)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  return u;
}

}  // namespace

std::string NoCase(std::string_view schema) {
  std::string out;
  if (!schema.empty()) {
    AppendQuotedName(out, std::string(schema));
    out += '.';
  }
  return out + kPgNoCase;
}

namespace {

bool Significant(const Token& t) { return IsSignificant(t); }

[[noreturn]] void ThrowUnclosed(const char* what) {
  CString message;
  message.Format(L"The SQL text has %S that is never closed.", what);
  ThrowDbError(kStateSyntax, message);
}

// Whether a quoted literal ('...') holds an even number of hex digits and nothing else.
bool IsHexLiteral(const std::string& quoted) {
  if (quoted.size() < 2 || quoted.size() % 2 != 0) return false;
  for (std::size_t k = 1; k + 1 < quoted.size(); ++k)
    if (!std::isxdigit(static_cast<unsigned char>(quoted[k]))) return false;
  return true;
}

std::vector<Token> Scan(const std::string& s) {
  Unclosed unclosed;
  std::vector<Token> tokens = TokenizeStatement(s, unclosed);
  if (unclosed.what) ThrowUnclosed(unclosed.what);
  return tokens;
}

std::size_t Next(const std::vector<Token>& t, std::size_t k, std::size_t end) { return NextSignificant(t, k, end); }
std::size_t Matching(const std::vector<Token>& t, std::size_t open, std::size_t end) {
  return MatchingParen(t, open, end);
}

// The ranges between the top-level commas of (begin, end).
std::vector<std::pair<std::size_t, std::size_t>> SplitArgs(const std::vector<Token>& t, std::size_t begin,
                                                           std::size_t end) {
  std::vector<std::pair<std::size_t, std::size_t>> args;
  int depth = 0;
  std::size_t start = begin;
  for (std::size_t k = begin; k < end; ++k) {
    if (t[k].kind != Tok::kPunct) continue;
    if (t[k].text == "(") ++depth;
    if (t[k].text == ")") --depth;
    if (t[k].text == "," && depth == 0) {
      args.emplace_back(start, k);
      start = k + 1;
    }
  }
  args.emplace_back(start, end);
  return args;
}

bool EndsCondition(const Token& t) {
  if (t.kind == Tok::kPunct) return t.text == ")" || t.text == ";";
  for (const char* word : {"ORDER", "GROUP", "LIMIT", "OFFSET", "UNION", "EXCEPT", "INTERSECT", "HAVING", "WINDOW"})
    if (Is(t, word)) return true;
  return false;
}

// Marks the tokens of the statement [first, end) that name a table: after FROM (of a query, not of a call such
// as EXTRACT(YEAR FROM d)) and the commas and JOINs of its list, INTO, UPDATE, CREATE/DROP/ALTER TABLE or
// VIEW, DROP/ALTER INDEX, CREATE INDEX ... ON and REFERENCES. A name already qualified (followed by '.'), a function
// in a FROM list and a name the statement's WITH defines are not tables of the schema.
std::vector<char> TablePlaces(const std::vector<Token>& t, std::size_t first, std::size_t end) {
  std::vector<char> table(t.size(), 0);
  struct Level {
    bool query;     // the level of a SELECT, DELETE, ... (the top) or of a subquery
    bool fromList;  // inside its FROM list
  };
  std::vector<Level> levels{{true, false}};
  std::vector<std::string> withNames;
  const bool with = first < end && Is(t[first], "WITH");
  bool createIndex = false, dropList = false, expect = false, callIsTable = false;
  const Token* previous = nullptr;
  for (std::size_t k = first; k < end; ++k) {
    const Token& x = t[k];
    if (!Significant(x)) continue;
    const Token* before = previous;
    previous = &x;
    Level& level = levels.back();
    if (x.kind == Tok::kPunct) {
      if (x.text == "(") {
        const std::size_t n = Next(t, k + 1, end);
        const bool subquery = n < end && (Is(t[n], "SELECT") || Is(t[n], "WITH") || Is(t[n], "VALUES"));
        // (a INNER JOIN b ON ...) where a table is expected is a list of tables of its own.
        levels.push_back({subquery, expect && !subquery});
        if (subquery) expect = false;
      } else if (x.text == ")") {
        if (levels.size() > 1) levels.pop_back();
        expect = false;
      } else if (x.text == ",") {
        expect = level.fromList || (dropList && levels.size() == 1);
        callIsTable = false;
      } else {
        expect = false;
      }
      continue;
    }
    // WITH a AS (...), b AS (...): a and b are the statement's own.
    if ((x.kind == Tok::kWord || x.kind == Tok::kName) && with && levels.size() == 1 && !expect) {
      const std::size_t n = Next(t, k + 1, end);
      if (n < end && Is(t[n], "AS")) withNames.push_back(Lower(x.text));
    }
    if (x.kind == Tok::kWord) {
      if (expect && (Is(x, "IF") || Is(x, "NOT") || Is(x, "EXISTS") || Is(x, "ONLY") || Is(x, "LATERAL"))) continue;
      const bool afterHead = before && (Is(*before, "CREATE") || Is(*before, "DROP") || Is(*before, "ALTER") ||
                                        Is(*before, "UNIQUE") || Is(*before, "TRUNCATE"));
      bool keyword = true, place = false, call = false;
      if (Is(x, "FROM") && level.query) {
        level.fromList = place = true;
      } else if (Is(x, "JOIN") && level.fromList) {
        place = true;
      } else if (Is(x, "ON")) {
        place = call = createIndex && levels.size() == 1;
      } else if (Is(x, "INTO") || Is(x, "REFERENCES") || (Is(x, "UPDATE") && k == first)) {
        place = call = true;
      } else if ((Is(x, "TABLE") || Is(x, "INDEX") || Is(x, "VIEW")) && afterHead) {
        if (Is(x, "INDEX") && Is(t[first], "CREATE")) {
          createIndex = true;  // the index's own name cannot be qualified: it goes where its table is
        } else {
          place = call = true;
          dropList = Is(t[first], "DROP");
        }
      } else if (Is(x, "WHERE") || Is(x, "GROUP") || Is(x, "ORDER") || Is(x, "HAVING") || Is(x, "LIMIT") ||
                 Is(x, "OFFSET") || Is(x, "UNION") || Is(x, "EXCEPT") || Is(x, "INTERSECT") || Is(x, "WINDOW") ||
                 Is(x, "FOR") || Is(x, "RETURNING") || Is(x, "SET") || Is(x, "SELECT") || Is(x, "USING")) {
        level.fromList = false;
      } else {
        keyword = false;
      }
      if (keyword || !expect) {
        expect = place;
        callIsTable = call;
        continue;
      }
    } else if (x.kind != Tok::kName || !expect) {
      expect = false;
      continue;
    }
    // The name where a table is expected.
    const std::size_t n = Next(t, k + 1, end);
    const bool qualified = n < end && t[n].kind == Tok::kPunct && t[n].text == ".";
    const bool call = n < end && t[n].kind == Tok::kPunct && t[n].text == "(";
    const bool defined = std::find(withNames.begin(), withNames.end(), Lower(x.text)) != withNames.end();
    if (!qualified && (!call || callIsTable) && !defined) table[k] = 1;
    expect = false;
  }
  return table;
}

// The significant tokens of [first, end), read by their places among them.
struct Significants {
  Significants(const std::vector<Token>& tokens, std::size_t first, std::size_t end) : t(tokens) {
    for (std::size_t k = first; k < end; ++k)
      if (Significant(t[k])) at.push_back(k);
  }
  std::size_t size() const { return at.size(); }
  const Token& operator[](std::size_t p) const { return t[at[p]]; }
  bool Word(std::size_t p, const char* word) const { return p < at.size() && Is(t[at[p]], word); }
  bool Punct(std::size_t p, const char* text) const {
    return p < at.size() && t[at[p]].kind == Tok::kPunct && t[at[p]].text == text;
  }

  const std::vector<Token>& t;
  std::vector<std::size_t> at;  // each one's place among all tokens
};

class Emitter {
 public:
  Emitter(const std::vector<Token>& tokens, PgStatement& out, const PgNames* names, std::string_view schema = {},
          const std::vector<char>* tables = nullptr)
      : m_t(tokens), m_out(out), m_names(names), m_schema(schema), m_tables(tables) {}

  // The table `written` as the schema spells it, qualified with the schema when the schema holds that name
  // (or no names are known): the search path holds only the server's own schemas (PgConnection.h), where any
  // other name (pg_prepared_statements) is found.
  void AppendTable(const std::string& written) {
    const std::string& name = ResolveTable(written);
    const bool own = !m_names || m_names->count(kPgTableKey + Lower(written)) || m_names->count(Lower(written));
    if (own && !m_schema.empty()) {
      AppendQuotedName(m_out.sql, std::string(m_schema));
      m_out.sql += '.';
    }
    AppendQuotedName(m_out.sql, name);
    if (own) m_out.tables.push_back(name);
  }

  // A name as the schema spells it, among the names under `key`, when it holds one that differs only in case,
  // else as written.
  const std::string& Resolve(const std::string& written, const std::string& key) const {
    if (!m_names) return written;
    const auto range = m_names->equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
      if (it->second == written) return written;
    return range.first != range.second ? range.first->second : written;
  }
  const std::string& Resolve(const std::string& written) const { return Resolve(written, Lower(written)); }
  // Names known without their tables' keys (a caller's own list) take the tables from the whole list.
  const std::string& ResolveTable(const std::string& written) const {
    return m_names ? Resolve(written, KindKey(written, true)) : written;
  }
  // The key of `written` among the tables (a qualifier) or the columns, where the names are kept by kind.
  std::string KindKey(const std::string& written, bool qualifier) const {
    std::string key = (qualifier ? kPgTableKey : kPgColumnKey) + Lower(written);
    return m_names->count(key) ? key : Lower(written);
  }

  void Emit(std::size_t begin, std::size_t end, bool topLevel) {
    int depth = 0;
    for (std::size_t k = begin; k < end; ++k) {
      EscapeAt(k);
      const Token& t = m_t[k];
      switch (t.kind) {
        case Tok::kBlank:
          if (!m_out.sql.empty() && m_out.sql.back() != ' ') m_out.sql += ' ';
          break;
        case Tok::kComment:
          break;
        case Tok::kName:
          if (IsTable(k))
            AppendTable(t.text);
          else
            AppendQuotedName(m_out.sql, Resolve(t.text));
          CaseBlindAt(k);
          break;
        case Tok::kString:
          if (m_lift && LiftablePlace(k)) {
            // A literal may touch a word ('a'AND), a marker may not: the server would read $1AND as one token.
            if (!m_out.sql.empty() && IsWordByte(static_cast<unsigned char>(m_out.sql.back()))) m_out.sql += ' ';
            m_out.params.push_back(UnquoteLiteral(t.text));
            m_out.sql += '$' + std::to_string(m_out.params.size());
            if (k + 1 < end && (m_t[k + 1].kind == Tok::kWord || m_t[k + 1].kind == Tok::kNumber)) m_out.sql += ' ';
          } else {
            m_out.sql += t.text;
          }
          break;
        case Tok::kNumber:
          m_out.sql += t.text;
          break;
        case Tok::kPunct:
          if (t.text == "(") ++depth;
          if (t.text == ")") --depth;
          m_out.sql += t.text == "==" ? "=" : t.text == "!=" ? "<>" : t.text;
          break;
        case Tok::kWord: {
          const std::size_t word = k;
          k = Word(k, end, topLevel && depth == 0);
          if (k == word) CaseBlindAt(k);
          break;
        }
      }
    }
    EscapeAt(end);
  }

 private:
  // Whether the literal at `k` stands where any value may: after an operator, a parenthesis or a comma, or after
  // a word that ends an operand. A word such as DATE or E before it would make the two one typed literal.
  bool LiftablePlace(std::size_t k) const {
    while (k > 0 && !Significant(m_t[k - 1])) --k;
    if (k == 0) return false;
    const Token& before = m_t[k - 1];
    if (before.kind == Tok::kPunct) return before.text != "." && before.text != ")";
    for (const char* word :
         {"LIKE", "AND", "OR", "NOT", "IN", "VALUES", "THEN", "ELSE", "WHEN", "SELECT", "BETWEEN", "SET", "IS", "FROM"})
      if (Is(before, word)) return true;
    return false;
  }

  // Emits the word at `k` (and what it rewrites); returns the last token used.
  std::size_t Word(std::size_t k, std::size_t end, bool topLevel) {
    const Token& t = m_t[k];
    const std::size_t next = Next(m_t, k + 1, end);
    const bool call = next < end && m_t[next].kind == Tok::kPunct && m_t[next].text == "(";
    const bool isNull =
        Is(t, "ISNULL") && IsNullCall(m_t, k + 1, end, [](const Token& x) { return !Significant(x); }) == next;
    if (call && (Is(t, "IIF") || isNull)) {
      const std::size_t close = Matching(m_t, next, end);
      if (close == end) ThrowDbError(kStateSyntax, L"The SQL text has a parenthesis that is never closed.");
      const auto args = SplitArgs(m_t, next + 1, close);
      if (isNull) {
        if (args.size() != 1) ThrowDbError(kStateSyntax, L"IsNull takes one argument.");
        m_out.sql += kIsNullOpen;
        Emit(args[0].first, args[0].second, false);
        m_out.sql += kIsNullClose;
      } else {
        if (args.size() != 3) ThrowDbError(kStateSyntax, L"IIF takes three arguments.");
        m_out.sql += "(CASE WHEN ";
        Emit(args[0].first, args[0].second, false);
        m_out.sql += " THEN ";
        Emit(args[1].first, args[1].second, false);
        m_out.sql += " ELSE ";
        Emit(args[2].first, args[2].second, false);
        m_out.sql += " END)";
      }
      return close;
    }
    // x'0A1B', the file engine's byte literal, is the server's '\x0A1B'::bytea (hex digits only: anything else
    // is left for the server to refuse).
    if (Is(t, "X") && k + 1 < end && m_t[k + 1].kind == Tok::kString && IsHexLiteral(m_t[k + 1].text)) {
      m_out.sql += "'\\x" + m_t[k + 1].text.substr(1) + "::bytea";
      return k + 1;
    }
    // The file engine's collation that ignores case is the schema's own here.
    if (Is(t, "COLLATE") && next < end && Is(m_t[next], "NOCASE")) {
      m_out.sql += "COLLATE ";
      m_out.sql += NoCase(m_schema);
      return next;
    }
    // The collation by its own name (DROP COLLATION vd_nocase) is the schema's too.
    if (Lower(t.text) == kPgNoCase && !(next < end && m_t[next].kind == Tok::kPunct && m_t[next].text == ".") &&
        !(k > 0 && m_t[k - 1].kind == Tok::kPunct && m_t[k - 1].text == ".")) {
      m_out.sql += NoCase(m_schema);
      return k;
    }
    if (Is(t, "LIKE") || (Is(t, "NOT") && next < end && Is(m_t[next], "LIKE"))) {
      if (!m_out.sql.empty() && m_out.sql.back() != ' ') m_out.sql += ' ';
      m_out.sql += "COLLATE \"und-x-icu\" ";
      m_out.sql += Is(t, "NOT") ? "NOT ILIKE" : "ILIKE";
      const std::size_t like = Is(t, "NOT") ? next : k;
      // The file engine's LIKE has no escape character: a backslash is only itself there. ESCAPE '' gives the
      // server the same meaning, unless the text names an escape character of its own.
      const std::size_t after = PatternEnd(like + 1, end);
      if (after == end || !Is(m_t[after], "ESCAPE")) m_escapes.push_back(after);
      return like;
    }
    if ((Is(t, "WHERE") || Is(t, "HAVING") || Is(t, "ON")) && next < end && m_t[next].kind == Tok::kNumber) {
      const std::size_t after = Next(m_t, next + 1, end);
      if (after == end || EndsCondition(m_t[after])) {
        m_out.sql += t.text;
        m_out.sql += std::strtod(m_t[next].text.c_str(), nullptr) != 0 ? " true" : " false";
        return next;
      }
    }
    if (topLevel && Is(t, "FROM") && m_out.fromPos == std::string::npos) m_out.fromPos = m_out.sql.size();
    // After INTO, UPDATE, TABLE, FROM, JOIN or ON, a name followed by '(' is a table and its columns.
    std::size_t before = k;
    while (before > 0 && !Significant(m_t[before - 1])) --before;
    const bool tablePlace =
        before > 0 && (Is(m_t[before - 1], "INTO") || Is(m_t[before - 1], "UPDATE") || Is(m_t[before - 1], "TABLE") ||
                       Is(m_t[before - 1], "FROM") || Is(m_t[before - 1], "JOIN") || Is(m_t[before - 1], "ON"));
    if (IsTable(k))
      AppendTable(t.text);
    else if ((!call || tablePlace) && m_names && m_names->count(Lower(t.text)))
      AppendQuotedName(m_out.sql, Resolve(t.text, KindKey(t.text, next < end && m_t[next].kind == Tok::kPunct &&
                                                                      m_t[next].text == ".")));
    else
      m_out.sql += t.text;
    return k;
  }

  // The first significant token after the pattern that starts at `k`: LIKE binds tighter than comparisons,
  // IS, NOT, AND and OR, and looser than arithmetic, || and COLLATE.
  std::size_t PatternEnd(std::size_t k, std::size_t end) const {
    int depth = 0;
    for (k = Next(m_t, k, end); k < end; k = Next(m_t, k + 1, end)) {
      const Token& t = m_t[k];
      if (t.kind == Tok::kPunct) {
        if (t.text == "(") ++depth;
        if (t.text == ")" && --depth < 0) return k;
        if (depth == 0 && (t.text == "," || t.text == ";" || t.text == "=" || t.text == "==" || t.text == "<" ||
                           t.text == ">" || t.text == "<=" || t.text == ">=" || t.text == "<>" || t.text == "!="))
          return k;
        continue;
      }
      if (depth > 0 || t.kind != Tok::kWord) continue;
      if (EndsCondition(t)) return k;
      for (const char* word :
           {"AND", "OR",   "NOT",  "IS",   "ISNULL", "NOTNULL", "ESCAPE", "LIKE", "ILIKE", "SIMILAR", "BETWEEN",
            "IN",  "THEN", "ELSE", "WHEN", "END",    "ASC",     "DESC",   "AS",   "FROM",  "WHERE"})
        if (Is(t, word)) return k;
    }
    return end;
  }

  // Writes the ESCAPE clause of a LIKE whose pattern ends before token `k`.
  void EscapeAt(std::size_t k) {
    for (auto it = m_escapes.begin(); it != m_escapes.end();) {
      if (*it != k) {
        ++it;
        continue;
      }
      if (!m_out.sql.empty() && m_out.sql.back() != ' ') m_out.sql += ' ';
      m_out.sql += "ESCAPE ''";
      if (k < m_t.size() && m_t[k].kind != Tok::kPunct) m_out.sql += ' ';
      it = m_escapes.erase(it);
    }
  }

  void CaseBlindAt(std::size_t k) {
    if (k < m_caseBlind.size() && m_caseBlind[k]) {
      m_out.sql += " COLLATE ";
      m_out.sql += NoCase(m_schema);
      if (m_caseBlind[k] == 2) {
        m_out.sql += " AS ";
        AppendQuotedName(m_out.sql, Resolve(m_t[k].text, KindKey(m_t[k].text, false)));
      }
    }
  }

  // Whether the token at `k` is a column of the statement's tables that holds text in each of them that has it.
  bool TextColumnAt(std::size_t k, const std::vector<std::string>& tables) const {
    const Token& x = m_t[k];
    if (x.kind != Tok::kName && x.kind != Tok::kWord) return false;
    if (x.kind == Tok::kWord && !m_names->count(Lower(x.text))) return false;
    const std::string& column = Resolve(x.text, KindKey(x.text, false));
    bool text = false;
    for (const std::string& table : tables) {
      const auto it = m_names->find(TypeKey(table, column));
      if (it == m_names->end()) continue;
      if (it->second.empty()) return false;
      text = true;
    }
    return text;
  }

  const std::vector<Token>& m_t;
  PgStatement& m_out;
  bool IsTable(std::size_t k) const { return m_tables && k < m_tables->size() && (*m_tables)[k]; }

  const PgNames* m_names;  // borrowed; null: names as written
  std::string_view m_schema;
  const std::vector<char>* m_tables;  // borrowed; null: no table is qualified
  bool m_lift = false;
  std::vector<std::size_t> m_escapes;  // tokens before which a LIKE's ESCAPE clause is due
  std::vector<char> m_caseBlind;       // tokens after which COLLATE vd_nocase goes (2: and AS the column)

 public:
  void LiftLiterals(bool on) { m_lift = on; }

  // Marks the text columns of [first, end) that the server must compare ignoring case, as the catalogs' columns
  // compare on every engine: the operands of = <> < <= > >= IN and BETWEEN (not the column a SET assigns) and
  // the terms of ORDER BY (unless the statement has a compound part, whose ORDER BY may name only what is
  // selected), and the plain columns DISTINCT selects. GROUP BY stays exact: an expression of a grouped column
  // in the select list would no longer be one. A statement that names a collation of its own
  // (other than NOCASE) is taken as written, so no two explicit collations meet.
  void MarkCaseBlind(std::size_t first, std::size_t end) {
    if (!m_names || !m_tables) return;
    const Significants sig(m_t, first, end);
    const std::size_t n = sig.size();
    const auto punct = [&](std::size_t p, const char* text) { return sig.Punct(p, text); };
    const auto word = [&](std::size_t p, const char* text) { return sig.Word(p, text); };
    std::vector<std::string> tables;
    bool ordered = true;
    for (std::size_t p = 0; p < n; ++p) {
      if (IsTable(sig.at[p])) tables.push_back(ResolveTable(sig[p].text));
      if (word(p, "UNION") || word(p, "EXCEPT") || word(p, "INTERSECT")) ordered = false;
      if (word(p, "COLLATE") && !word(p + 1, "NOCASE") && !(p + 1 < n && Lower(sig[p + 1].text) == kPgNoCase)) return;
    }
    if (tables.empty()) return;
    const auto compares = [&](std::size_t p) {
      if (p >= n) return false;
      const Token& x = sig[p];
      if (x.kind == Tok::kPunct)
        return x.text == "=" || x.text == "==" || x.text == "<>" || x.text == "!=" || x.text == "<" || x.text == ">" ||
               x.text == "<=" || x.text == ">=";
      return Is(x, "IN") || Is(x, "BETWEEN") || (Is(x, "NOT") && (word(p + 1, "IN") || word(p + 1, "BETWEEN")));
    };
    // The '=' of each SET a = ..., and the column it assigns.
    std::vector<char> assigned(n, 0);
    for (std::size_t p = 0; p < n; ++p) {
      if (!word(p, "SET")) continue;
      int depth = 0;
      for (std::size_t head = p + 1; head < n;) {
        if (punct(head + 1, "=")) assigned[head] = assigned[head + 1] = 1;
        std::size_t j = head;
        for (; j < n; ++j) {
          if (punct(j, "(")) ++depth;
          if (punct(j, ")") && --depth < 0) break;
          if (depth == 0 && (punct(j, ",") || word(j, "WHERE") || word(j, "FROM") || word(j, "RETURNING"))) break;
        }
        if (!punct(j, ",")) break;
        head = j + 1;
      }
    }
    // Whether the reference starting at sig[p] ends a term of ORDER BY: BY, then whole terms, lie before it.
    const auto sortTerm = [&](std::size_t p) {
      int depth = 0;
      for (std::size_t j = p; j-- > 0;) {
        if (punct(j, ")")) ++depth;
        if (punct(j, "(") && --depth < 0) return false;
        if (depth > 0) continue;
        if (word(j, "BY")) return j > 0 && word(j - 1, "ORDER");
        for (const char* clause : {"SELECT", "FROM",      "WHERE",  "GROUP",     "HAVING", "ON",    "JOIN",  "SET",
                                   "VALUES", "RETURNING", "WINDOW", "PARTITION", "AND",    "OR",    "WHEN",  "THEN",
                                   "ELSE",   "CASE",      "END",    "AS",        "INTO",   "LIMIT", "OFFSET"})
          if (word(j, clause)) return false;
      }
      return false;
    };
    m_caseBlind.assign(end, 0);
    for (std::size_t p = 0; p < n; ++p) {
      if (assigned[p] || punct(p + 1, "(") || punct(p + 1, ".") || !TextColumnAt(sig.at[p], tables)) continue;
      const std::size_t start = p >= 2 && punct(p - 1, ".") ? p - 2 : p;  // its qualifier, when it has one
      const bool leftOperand = compares(p + 1);
      const bool rightOperand = start > 0 && compares(start - 1) && !assigned[start - 1] && !word(start - 1, "NOT") &&
                                !punct(p + 1, "::") && !word(p + 1, "COLLATE");
      const bool term = ordered && start > 0 &&
                        (p + 1 == n || punct(p + 1, ",") || punct(p + 1, ")") || word(p + 1, "ASC") ||
                         word(p + 1, "DESC") || word(p + 1, "NULLS") || word(p + 1, "LIMIT") || word(p + 1, "OFFSET") ||
                         word(p + 1, "FETCH") || word(p + 1, "FOR") || punct(p + 1, ";")) &&
                        sortTerm(start);
      if (leftOperand || rightOperand || term) m_caseBlind[sig.at[p]] = 1;
    }
    // The plain columns DISTINCT selects compare ignoring case too, under their own names; an ORDER BY term
    // then names the same expression.
    for (std::size_t p = 0; p < n; ++p) {
      if (!word(p, "DISTINCT") || word(p + 1, "ON")) continue;
      for (std::size_t item = p + 1; item < n;) {
        const std::size_t column = punct(item + 1, ".") ? item + 2 : item;
        if (column < n && (punct(column + 1, ",") || word(column + 1, "FROM") || column + 1 == n) &&
            TextColumnAt(sig.at[column], tables))
          m_caseBlind[sig.at[column]] = 2;
        int depth = 0;
        std::size_t j = item;
        for (; j < n; ++j) {
          if (punct(j, "(")) ++depth;
          if (punct(j, ")") && --depth < 0) break;
          if (depth == 0 && (punct(j, ",") || word(j, "FROM"))) break;
        }
        if (!punct(j, ",")) break;
        item = j + 1;
      }
    }
  }
};

// Whether a SELECT of plain columns of one table (the tokens up to the end of the statement), and which table.
bool SingleTable(const std::vector<Token>& t, std::size_t end, std::string& table) {
  std::vector<std::size_t> top;
  int depth = 0;
  for (std::size_t k = 0; k < end; ++k) {
    if (!Significant(t[k])) continue;
    if (t[k].kind == Tok::kPunct && t[k].text == "(") {
      ++depth;
      if (depth == 1) top.push_back(k);
      continue;
    }
    if (t[k].kind == Tok::kPunct && t[k].text == ")") {
      --depth;
      continue;
    }
    if (depth == 0) top.push_back(k);
  }
  if (top.size() < 4 || !Is(t[top[0]], "SELECT")) return false;
  std::size_t k = 1;
  // The select list: names, '.', ',', '*' and AS aliases only.
  for (; k < top.size() && !Is(t[top[k]], "FROM"); ++k) {
    const Token& x = t[top[k]];
    if (Is(x, "DISTINCT") || Is(x, "ALL") || Is(x, "TOP") || Is(x, "CASE")) return false;
    if (x.kind == Tok::kPunct && x.text != "." && x.text != "," && x.text != "*") return false;
    if (x.kind == Tok::kString || x.kind == Tok::kNumber) return false;
  }
  if (k + 1 >= top.size()) return false;
  const Token& name = t[top[++k]];
  if (name.kind != Tok::kName && name.kind != Tok::kWord) return false;
  table = name.text;
  ++k;
  if (k < top.size() && t[top[k]].kind == Tok::kPunct && t[top[k]].text == ".") return false;  // schema-qualified
  if (k < top.size() && Is(t[top[k]], "AS")) ++k;
  if (k < top.size() && (t[top[k]].kind == Tok::kName || (t[top[k]].kind == Tok::kWord && !Is(t[top[k]], "WHERE") &&
                                                          !Is(t[top[k]], "ORDER") && !Is(t[top[k]], "LIMIT"))))
    ++k;
  for (; k < top.size(); ++k) {
    const Token& x = t[top[k]];
    for (const char* word : {"GROUP", "HAVING", "UNION", "EXCEPT", "INTERSECT", "JOIN", "WINDOW", "FOR", "INTO"})
      if (Is(x, word)) return false;
    if (x.kind == Tok::kPunct && x.text == ",") return false;
  }
  return true;
}

bool IsStatementWord(const Token& t) {
  for (const char* word : {"BEGIN", "COMMIT", "ROLLBACK", "END", "VACUUM", "ANALYZE", "CHECKPOINT"})
    if (Is(t, word)) return true;
  return false;
}

// One column of CREATE TABLE, from its name at `head`: the name quoted, the server's type for the declared one
// (a byte keeps its range with a CHECK), then the rest of the definition as written.
void EmitColumn(const std::vector<Token>& t, std::size_t head, std::size_t stop, Emitter& emitter, PgStatement& out) {
  const Token& h = t[head];
  AppendQuotedName(out.sql, h.text);
  // The type: its word and an optional (n[,m]).
  std::size_t k = Next(t, head + 1, stop);
  std::string declared;
  if (k < stop && t[k].kind == Tok::kWord) {
    declared = t[k].text;
    std::size_t after = Next(t, k + 1, stop);
    // Two-word types the catalogs may write.
    if (after < stop && (Is(t[k], "DOUBLE") && Is(t[after], "PRECISION"))) {
      after = Next(t, after + 1, stop);
    }
    if (after < stop && t[after].kind == Tok::kPunct && t[after].text == "(") {
      const std::size_t rp = Matching(t, after, stop);
      for (std::size_t j = after; j <= rp && j < stop; ++j)
        if (Significant(t[j])) declared += t[j].text;
      after = rp + 1;
    }
    k = after;
    const std::string type = PgTypeOf(declared);
    out.sql += ' ';
    out.sql += type;
    // A text column already has its collation; a second COLLATE would be refused.
    const std::size_t collate = Next(t, k, stop);
    if (type.find(" COLLATE ") != std::string::npos && collate < stop && Is(t[collate], "COLLATE")) {
      const std::size_t which = Next(t, collate + 1, stop);
      if (which < stop && Is(t[which], "NOCASE")) k = which + 1;
    }
    if (Upper(declared) == "BYTE" || Upper(declared) == "TINYINT") {
      out.sql += " CHECK (";
      AppendQuotedName(out.sql, h.text);
      out.sql += " BETWEEN 0 AND 255)";
    }
  }
  if (k < stop) {
    out.sql += ' ';
    emitter.Emit(k, stop, false);
  }
}

// The logs the library keeps of its own writes (the change records and the history): rows are only ever added
// and read (and pruned by a DELETE of a range), never edited through a record set, so they go without the row
// identity, whose sequence and index would add a third of their cost to every row an import records.
bool IsAppendOnlyLog(std::string_view table) { return table == "vd_change" || table == "vd_history"; }

// CREATE TABLE name ( elements ) rest: the elements with the server's types and the row identity added.
void EmitCreateTable(const std::vector<Token>& t, std::size_t start, std::size_t end, PgStatement& out,
                     const PgNames* names, std::string_view schema) {
  const std::vector<char> tables = TablePlaces(t, start, end);
  Emitter emitter(t, out, names, schema, &tables);
  std::size_t open = 0;
  while (open < end && !(t[open].kind == Tok::kPunct && t[open].text == "(")) ++open;
  const std::size_t close = Matching(t, open, end);
  if (open == end || close == end) {
    emitter.Emit(0, end, true);
    return;
  }
  // The new table's name keeps the case it is written in, as the file engine keeps it.
  std::size_t tableName = open;
  while (tableName > 0 && !Significant(t[tableName - 1])) --tableName;
  if (tableName > 0 && (t[tableName - 1].kind == Tok::kWord || t[tableName - 1].kind == Tok::kName)) {
    emitter.Emit(0, tableName - 1, false);
    if (!schema.empty()) {
      AppendQuotedName(out.sql, std::string(schema));
      out.sql += '.';
    }
    AppendQuotedName(out.sql, t[tableName - 1].text);
    out.tables.push_back(t[tableName - 1].text);
    out.sql += " (";
  } else {
    emitter.Emit(0, open + 1, false);
  }
  bool hasPrimaryKey = false;
  bool hasRowId = !out.tables.empty() && IsAppendOnlyLog(out.tables.back());
  for (std::size_t k = open; k < close; ++k)
    if (Is(t[k], "PRIMARY")) hasPrimaryKey = true;
  const auto elements = SplitArgs(t, open + 1, close);
  bool first = true;
  for (const auto& [begin, stop] : elements) {
    if (!first) out.sql += ", ";
    first = false;
    const std::size_t head = Next(t, begin, stop);
    if (head == stop) continue;
    const Token& h = t[head];
    if (Is(h, "PRIMARY") || Is(h, "UNIQUE") || Is(h, "CONSTRAINT") || Is(h, "CHECK") || Is(h, "FOREIGN")) {
      emitter.Emit(head, stop, false);
      continue;
    }
    if ((h.kind == Tok::kName || h.kind == Tok::kWord) && h.text == kPgRowId) hasRowId = true;
    EmitColumn(t, head, stop, emitter, out);
  }
  if (!hasRowId) {
    out.sql += ", \"";
    out.sql += kPgRowId;
    out.sql += hasPrimaryKey ? "\" bigint GENERATED ALWAYS AS IDENTITY UNIQUE NOT NULL"
                             : "\" bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY";
  }
  out.sql += ')';
  emitter.Emit(close + 1, end, false);
}

// ALTER TABLE name ADD [COLUMN] column type ...: the new column as CREATE TABLE writes one (its name in the case
// written, the server's type, text ignoring case). False, nothing written, for any other statement.
bool EmitAddColumn(const std::vector<Token>& t, std::size_t first, std::size_t end, PgStatement& out,
                   const PgNames* names, std::string_view schema) {
  const auto isName = [&](std::size_t k) { return k < end && (t[k].kind == Tok::kName || t[k].kind == Tok::kWord); };
  const std::size_t table = Next(t, first + 1, end);
  if (table == end || !Is(t[table], "TABLE")) return false;
  const std::size_t name = Next(t, table + 1, end);
  const std::size_t add = isName(name) ? Next(t, name + 1, end) : end;
  if (add == end || !Is(t[add], "ADD")) return false;
  std::size_t column = Next(t, add + 1, end);
  if (column < end && Is(t[column], "COLUMN")) column = Next(t, column + 1, end);
  if (!isName(column)) return false;
  for (const char* word : {"IF", "CONSTRAINT", "PRIMARY", "UNIQUE", "CHECK", "FOREIGN"})
    if (t[column].kind == Tok::kWord && Is(t[column], word)) return false;
  const std::vector<char> tables = TablePlaces(t, first, end);
  Emitter emitter(t, out, names, schema, &tables);
  emitter.Emit(first, column, true);
  EmitColumn(t, column, end, emitter, out);
  return true;
}

// CREATE INDEX name ON table (column COLLATE NOCASE): the case-blind index serves the catalogs' comparisons,
// and a twin under the column's own collation serves plain SQL's = and LIKE 'prefix%' (PgDialect.h). The
// server names the twin, so it never clashes with a table's name.
void ExactTwin(const std::vector<Token>& t, std::size_t first, std::size_t end, PgStatement& out, const PgNames* names,
               std::string_view schema) {
  const Significants sig(t, first, end);
  if (sig.size() != 10 || !sig.Word(0, "CREATE") || !sig.Word(1, "INDEX") || !sig.Word(3, "ON") || !sig.Punct(5, "(") ||
      !sig.Word(7, "COLLATE") || !sig.Word(8, "NOCASE") || !sig.Punct(9, ")") || out.tables.size() != 1)
    return;
  const Token& column = sig[6];
  if (column.kind != Tok::kName && column.kind != Tok::kWord) return;
  // The library's own tables (vd_...) are read by the library alone: a twin would only slow their writes.
  if (PgLibraryTable(out.tables.front())) return;
  std::string twin = "CREATE INDEX ON ";
  if (!schema.empty()) {
    AppendQuotedName(twin, std::string(schema));
    twin += '.';
  }
  AppendQuotedName(twin, out.tables.front());
  twin += " (";
  std::string spelt = column.text;  // as the table spells it, when the names know the table
  if (names) {
    const auto range = names->equal_range(Lower(column.text));
    for (auto it = range.first; it != range.second; ++it)
      if (names->count(TypeKey(out.tables.front(), it->second))) spelt = it->second;
  }
  AppendQuotedName(twin, spelt);
  out.also.push_back(twin + ')');
}

}  // namespace

std::string PgTypeOf(std::string_view declared) {
  const std::string upper = Upper(declared);
  const std::size_t paren = upper.find('(');
  const std::string word = upper.substr(0, paren);
  const std::string args = paren == std::string::npos ? std::string() : upper.substr(paren);
  const std::string collate = std::string(" COLLATE ") + kPgExact;
  if (word == "TEXT" || word == "VARCHAR" || word == "NVARCHAR" || word == "STRING")
    return (args.empty() ? "varchar" : "varchar" + args) + collate;
  if (word == "CHAR" || word == "CHARACTER" || word == "NCHAR") return "char" + args + collate;
  if (word == "MEMO" || word == "LONGTEXT" || word == "LONGCHAR" || word == "CLOB") return "text" + collate;
  if (word == "LONG" || word == "INTEGER" || word == "INT") return "integer";
  if (word == "COUNTER" || word == "AUTOINCREMENT") return "integer GENERATED BY DEFAULT AS IDENTITY";
  if (word == "SHORT" || word == "SMALLINT") return "smallint";
  if (word == "BYTE" || word == "TINYINT") return "smallint";
  if (word == "BIGINT") return "bigint";
  if (word == "BIT" || word == "BOOLEAN" || word == "BOOL" || word == "YESNO" || word == "LOGICAL") return "boolean";
  if (word == "SINGLE" || word == "REAL" || word == "FLOAT") return "real";
  if (word == "DOUBLE" || word == "DOUBLEPRECISION" || word == "NUMBER") return "double precision";
  if (word == "CURRENCY" || word == "MONEY") return "numeric(19,4)";
  if (word == "NUMERIC" || word == "DECIMAL" || word == "NUMERIC_TEXT") return "numeric" + args;
  if (word == "DATETIME" || word == "DATE" || word == "TIMESTAMP" || word == "TIME") return "timestamp";
  if (word == "LONGBINARY" || word == "BLOB" || word == "BINARY" || word == "VARBINARY" || word == "IMAGE" ||
      word == "OLEOBJECT")
    return "bytea";
  if (word == "GUID" || word == "UNIQUEIDENTIFIER") return "uuid";
  return std::string(declared);
}

std::string DeclaredTypeOf(unsigned oid, int typmod) {
  switch (oid) {
    case 16:
      return "BIT";
    case 17:
      return "LONGBINARY";
    case 20:
      return "BIGINT";
    case 21:
      return "SHORT";
    case 23:
      return "LONG";
    case 25:
      return "MEMO";
    case 700:
      return "SINGLE";
    case 701:
      return "DOUBLE";
    case 1042:
      return typmod > 4 ? "CHAR(" + std::to_string(typmod - 4) + ")" : "CHAR";
    case 1043:
      return typmod > 4 ? "TEXT(" + std::to_string(typmod - 4) + ")" : "TEXT";
    case 1082:
    case 1114:
    case 1184:
      return "DATETIME";
    case 1700: {
      if (typmod == ((19 << 16) | 4) + 4) return "CURRENCY";
      if (typmod < 4) return "NUMERIC";  // no precision: what the catalogs' NUMERIC and DECIMAL make
      const std::string sizes =
          "(" + std::to_string(((typmod - 4) >> 16) & 0xffff) + "," + std::to_string((typmod - 4) & 0xffff) + ")";
      return (PgNumericAsText(typmod) ? "NUMERIC_TEXT" : "NUMERIC") + sizes;
    }
    case 2950:
      // A uuid reads as the server writes it (36 characters); the catalogs' GUID type is no text type.
      return "TEXT(36)";
    default:
      return std::string();
  }
}

void TranslateToPg(const wchar_t* text, PgStatement& out, const PgNames* names, bool liftLiterals,
                   std::string_view schema) {
  out = PgStatement();
  const std::vector<Token> tokens = Scan(VdToUtf8(text ? text : L""));
  const std::size_t end = FirstStatementEnd(tokens);
  const std::size_t first = Next(tokens, 0, end);
  if (first == end) ThrowDbError(kStateSyntax, L"The SQL text holds no statement.");
  const std::size_t second = Next(tokens, first + 1, end);
  if (second == end &&
      (tokens[first].kind == Tok::kName || (tokens[first].kind == Tok::kWord && !IsStatementWord(tokens[first])))) {
    out.sql = kBareTableSelect;
    out.fromPos = kBareTableFromPos;
    Emitter emitter(tokens, out, names, schema);
    out.table = emitter.ResolveTable(tokens[first].text);
    emitter.AppendTable(out.table);
    out.singleTableSelect = true;
    out.preparable = true;
    return;
  }
  const Token& head = tokens[first];
  out.changesSchema = Is(head, "CREATE") || Is(head, "DROP") || Is(head, "ALTER");
  out.createTable = Is(head, "CREATE") && second < end && Is(tokens[second], "TABLE");
  out.preparable = Is(head, "SELECT") || Is(head, "INSERT") || Is(head, "UPDATE") || Is(head, "DELETE");
  if (out.createTable) {
    EmitCreateTable(tokens, first, end, out, names, schema);
  } else if (!Is(head, "ALTER") || !EmitAddColumn(tokens, first, end, out, names, schema)) {
    const std::vector<char> tables = TablePlaces(tokens, first, end);
    Emitter emitter(tokens, out, names, schema, &tables);
    // A host's own $n would collide with the lifted ones, and the server takes at most 65,535 parameters.
    const auto last = tokens.begin() + static_cast<long>(end);
    const bool hostParameters = std::any_of(tokens.begin(), last, [](const Token& t) {
      return t.kind != Tok::kString && t.kind != Tok::kName && t.text.find('$') != std::string::npos;
    });
    const auto literals = std::count_if(tokens.begin(), last, [](const Token& t) { return t.kind == Tok::kString; });
    emitter.LiftLiterals(liftLiterals && out.preparable && !hostParameters && literals <= 65535);
    if (out.preparable || Is(head, "WITH") || Is(head, "EXPLAIN")) emitter.MarkCaseBlind(first, end);
    emitter.Emit(first, end, true);
    ExactTwin(tokens, first, end, out, names, schema);
    out.singleTableSelect = SingleTable(tokens, end, out.table) && out.fromPos != std::string::npos;
    if (out.singleTableSelect) out.table = Emitter(tokens, out, names).ResolveTable(out.table);
  }
  while (!out.sql.empty() && out.sql.back() == ' ') out.sql.pop_back();
}

}  // namespace vdpattern::db
