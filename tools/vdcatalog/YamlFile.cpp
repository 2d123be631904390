#include "YamlFile.h"

#include "CsvFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace vdcatalog {

namespace {

constexpr std::size_t kMaxBytes = std::size_t(16) << 20;
constexpr int kMaxDepth = 64;  // nested collections; real tables use five or six

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A logical line: one line of the file, or several when a quote or a bracket stays open over them.
struct Line {
  std::size_t number = 0;  // where it starts
  std::size_t indent = 0;
  std::string text;  // comments removed, trailing blanks trimmed
  bool raw = false;  // a line of a block scalar, kept as written
};

// A block scalar's header as a value: "|", ">-", "|2" and the like.
bool IsBlockHeader(const std::string& value) {
  if (value.empty() || (value[0] != '|' && value[0] != '>')) return false;
  return value.find_first_not_of("+-0123456789", 1) == std::string::npos;
}

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6)), out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12)), out += char(0x80 | ((cp >> 6) & 0x3F)), out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18)), out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F)), out += char(0x80 | (cp & 0x3F));
  }
}

class Parser {
 public:
  explicit Parser(const std::string& name) : m_name(name) {}

  bool Split(const std::string& text);
  bool Parse(YamlNode& root);
  std::string error;

 private:
  bool Fail(std::size_t line, const std::string& why) {
    error = m_name + ", line " + std::to_string(line) + ": " + why;
    return false;
  }
  bool Block(std::size_t indent, YamlNode& out, int depth);
  bool Sequence(std::size_t indent, YamlNode& out, int depth);
  bool Mapping(std::size_t indent, YamlNode& out, int depth);
  bool BlockScalar(YamlNode& out);
  bool Inline(const std::string& text, std::size_t line, YamlNode& out, int depth);
  bool Value(const std::string& s, std::size_t& p, bool flow, std::size_t line, YamlNode& out, int depth);
  bool Quoted(const std::string& s, std::size_t& p, std::size_t line, std::string& out);
  bool KeyOf(const Line& l, std::string& key, std::string& value);
  bool More() const { return m_at < m_lines.size(); }

  std::string m_name;
  std::vector<Line> m_lines;
  std::size_t m_at = 0;
};

bool IsItem(const std::string& text) { return text == "-" || text.rfind("- ", 0) == 0; }

// Cuts the text into logical lines. Quotes and brackets are told only where a scalar may begin (a quote inside
// "Johannes's" opens nothing), so that comments and line joins are decided as YAML decides them.
bool Parser::Split(const std::string& text) {
  if (const std::size_t nul = text.find('\0'); nul != std::string::npos)
    return Fail(1 + std::count(text.begin(), text.begin() + nul, '\n'), "a NUL byte: this is no text file");
  std::size_t pos = 0, number = 0, blockIndent = std::string::npos;
  bool started = false, content = false, open = false, scalarStart = true;
  char quote = 0;
  int depth = 0;
  Line current;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    std::size_t indent = 0;
    while (indent < line.size() && line[indent] == ' ') ++indent;
    const bool blank = line.find_first_not_of(" \t") == std::string::npos;
    if (blockIndent != std::string::npos) {
      if (blank) continue;
      if (indent > blockIndent) {
        const std::size_t last = line.find_last_not_of(" \t");
        m_lines.push_back({number, indent, line.substr(indent, last + 1 - indent), true});
        continue;
      }
      blockIndent = std::string::npos;
    }
    std::size_t i = indent;
    if (!open) {
      if (blank) continue;
      if (line[indent] == '\t') return Fail(number, "a tab in the indentation (YAML indents with spaces)");
      if (indent == 0 && line.rfind("---", 0) == 0 && (line.size() == 3 || IsBlank(line[3]))) {
        if (content || started) return Fail(number, "a second document: the file holds one");
        started = true;
        const std::size_t rest = line.find_first_not_of(" \t", 3);
        if (rest != std::string::npos && line[rest] != '#') return Fail(number, "text after ---");
        continue;
      }
      if (indent == 0 && line.rfind("...", 0) == 0 && (line.size() == 3 || IsBlank(line[3]))) break;
      if (indent == 0 && line[0] == '%' && !content && !started) continue;  // a directive
      current = Line{number, indent, std::string(), false};
      scalarStart = true;
    } else {
      current.text += ' ';
      scalarStart = scalarStart || depth > 0;
      while (i < line.size() && IsBlank(line[i])) ++i;
    }
    for (; i < line.size(); ++i) {
      const char c = line[i], next = i + 1 < line.size() ? line[i + 1] : '\0';
      if (quote == '"') {
        current.text += c;
        if (c == '\\' && next)
          current.text += next, ++i;
        else if (c == '"')
          quote = 0, scalarStart = false;
        continue;
      }
      if (quote == '\'') {
        current.text += c;
        if (c == '\'' && next == '\'')
          current.text += next, ++i;
        else if (c == '\'')
          quote = 0, scalarStart = false;
        continue;
      }
      if (c == '#' && (current.text.empty() || IsBlank(current.text.back()))) break;
      const bool separated = next == '\0' || IsBlank(next);
      if (scalarStart && (c == '"' || c == '\'')) {
        quote = c, scalarStart = false;
      } else if (scalarStart && (c == '[' || c == '{')) {
        if (++depth > kMaxDepth) return Fail(current.number, "lists and maps nested too deep");
      } else if (depth > 0 && (c == ']' || c == '}')) {
        --depth, scalarStart = false;
      } else if (depth > 0 && c == ',') {
        scalarStart = true;
      } else if (c == ':' && (separated || (depth > 0 && std::strchr(",]}", next)))) {
        scalarStart = true;
      } else if (c == '-' && scalarStart && separated && depth == 0) {
        // an item's dash: a scalar may still begin
      } else if (!IsBlank(c)) {
        scalarStart = false;
      }
      current.text += c;
    }
    open = quote != 0 || depth > 0;
    if (open) continue;
    const std::size_t last = current.text.find_last_not_of(" \t");
    current.text.erase(last == std::string::npos ? 0 : last + 1);
    if (current.text.empty()) continue;
    content = true;
    const std::size_t space = current.text.find_last_of(' ');
    const std::string tail = space == std::string::npos ? current.text : current.text.substr(space + 1);
    if (IsBlockHeader(tail) && (space == std::string::npos ||
                                (space > 0 && (current.text[space - 1] == ':' || current.text[space - 1] == '-'))))
      blockIndent = current.indent;
    m_lines.push_back(std::move(current));
  }
  if (open) return Fail(current.number, std::string(quote ? "a quote" : "a [ or {") + " opened here is never closed");
  return true;
}

bool Parser::Parse(YamlNode& root) {
  root = YamlNode{};
  if (m_lines.empty()) return true;
  if (!Block(m_lines[0].indent, root, 0)) return false;
  if (More()) return Fail(m_lines[m_at].number, "this line's indentation fits nothing above it");
  return true;
}

bool Parser::Block(std::size_t indent, YamlNode& out, int depth) {
  if (depth > kMaxDepth) return Fail(m_lines[m_at].number, "nested too deep");
  const Line& l = m_lines[m_at];
  if (l.raw) return Fail(l.number, "a block scalar's line where none is open");
  std::string key, value;
  if (IsItem(l.text)) return Sequence(indent, out, depth);
  if (KeyOf(l, key, value)) return Mapping(indent, out, depth);
  if (!error.empty()) return false;
  ++m_at;
  if (IsBlockHeader(l.text)) return BlockScalar(out);
  return Inline(l.text, l.number, out, depth);
}

bool Parser::Sequence(std::size_t indent, YamlNode& out, int depth) {
  out.kind = YamlNode::kList;
  out.line = m_lines[m_at].number;
  while (More() && !m_lines[m_at].raw && m_lines[m_at].indent == indent && IsItem(m_lines[m_at].text)) {
    Line& l = m_lines[m_at];
    std::size_t skip = 1;
    while (skip < l.text.size() && l.text[skip] == ' ') ++skip;
    YamlNode item;
    item.line = l.number;
    if (skip == l.text.size()) {
      ++m_at;
      if (More() && m_lines[m_at].indent > indent && !Block(m_lines[m_at].indent, item, depth + 1)) return false;
    } else {
      // "- id: x" opens a mapping at the column of "id": the line is read again as that.
      l.indent += skip;
      l.text.erase(0, skip);
      if (!Block(l.indent, item, depth + 1)) return false;
    }
    out.items.push_back(std::move(item));
  }
  if (More() && m_lines[m_at].indent > indent)
    return Fail(m_lines[m_at].number, "this line is indented more than the list item above it");
  return true;
}

bool Parser::Mapping(std::size_t indent, YamlNode& out, int depth) {
  out.kind = YamlNode::kMap;
  out.line = m_lines[m_at].number;
  std::set<std::string> keys;  // a table of many rows is one mapping: no quadratic search
  while (More() && m_lines[m_at].indent == indent) {
    const Line& l = m_lines[m_at];
    std::string key, value;
    if (l.raw || IsItem(l.text) || !KeyOf(l, key, value))
      return error.empty() ? Fail(l.number, "expected \"key: value\" like the lines above it") : false;
    if (!keys.insert(key).second) return Fail(l.number, "\"" + key + "\" is given twice in the same mapping");
    YamlNode node;
    node.line = l.number;
    const std::size_t number = l.number;
    ++m_at;
    if (value.empty()) {
      if (More() && !m_lines[m_at].raw && m_lines[m_at].indent > indent) {
        if (!Block(m_lines[m_at].indent, node, depth + 1)) return false;
      } else if (More() && !m_lines[m_at].raw && m_lines[m_at].indent == indent && IsItem(m_lines[m_at].text)) {
        if (!Sequence(indent, node, depth + 1)) return false;
      }
    } else if (IsBlockHeader(value)) {
      if (!BlockScalar(node)) return false;
    } else {
      if (!Inline(value, number, node, depth)) return false;
      // A plain scalar may go on over the lines indented below its key.
      const bool plain =
          node.kind != YamlNode::kList && node.kind != YamlNode::kMap && value[0] != '"' && value[0] != '\'';
      while (plain && More() && !m_lines[m_at].raw && m_lines[m_at].indent > indent) {
        node.kind = YamlNode::kScalar;
        node.text += ' ' + m_lines[m_at++].text;
      }
      if (More() && m_lines[m_at].indent > indent)
        return Fail(m_lines[m_at].number, "this line is indented more than the key above it, which has a value");
    }
    out.entries.emplace_back(std::move(key), std::move(node));
  }
  return true;
}

bool Parser::BlockScalar(YamlNode& out) {
  out.kind = YamlNode::kScalar;
  while (More() && m_lines[m_at].raw) {
    if (!out.text.empty()) out.text += '\n';
    out.text += m_lines[m_at++].text;
  }
  return true;
}

// "key: value" at the start of a line: the key (a quoted one resolved) and the value's text.
bool Parser::KeyOf(const Line& l, std::string& key, std::string& value) {
  const std::string& t = l.text;
  std::size_t p = 0;
  if (t[0] == '"' || t[0] == '\'') {
    if (!Quoted(t, p, l.number, key)) return false;
    while (p < t.size() && IsBlank(t[p])) ++p;
    if (p >= t.size() || t[p] != ':' || (p + 1 < t.size() && !IsBlank(t[p + 1]))) return false;
  } else {
    if (t[0] == '[' || t[0] == '{') return false;
    if (t[0] == '?' && (t.size() == 1 || IsBlank(t[1]))) return Fail(l.number, "complex keys (\"? \") are not read");
    for (p = 0; p < t.size(); ++p)
      if (t[p] == ':' && (p + 1 == t.size() || IsBlank(t[p + 1]))) break;
    if (p == t.size()) return false;
    key = t.substr(0, p);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key.empty()) return Fail(l.number, "a key is empty");
  }
  const std::size_t v = t.find_first_not_of(" \t", p + 1);
  value = v == std::string::npos ? std::string() : t.substr(v);
  return true;
}

bool Parser::Inline(const std::string& text, std::size_t line, YamlNode& out, int depth) {
  std::size_t p = 0;
  if (!Value(text, p, false, line, out, depth)) return false;
  while (p < text.size() && IsBlank(text[p])) ++p;
  if (p < text.size()) return Fail(line, "unexpected \"" + text.substr(p, 20) + "\" after a value");
  return true;
}

bool Parser::Value(const std::string& s, std::size_t& p, bool flow, std::size_t line, YamlNode& out, int depth) {
  if (depth > kMaxDepth) return Fail(line, "nested too deep");
  while (p < s.size() && IsBlank(s[p])) ++p;
  out.line = line;
  if (p >= s.size()) return true;
  const char c = s[p];
  if (c == '&' || c == '*' || c == '!') return Fail(line, "anchors, aliases and tags (&, *, !) are not read");
  if (c == '[' || c == '{') {
    const char close = c == '[' ? ']' : '}';
    out.kind = c == '[' ? YamlNode::kList : YamlNode::kMap;
    std::set<std::string> keys;
    ++p;
    for (;;) {
      while (p < s.size() && IsBlank(s[p])) ++p;
      if (p >= s.size()) return Fail(line, std::string("a ") + c + " is never closed");
      if (s[p] == close) {
        ++p;
        return true;
      }
      YamlNode item;
      if (!Value(s, p, true, line, item, depth + 1)) return false;
      if (c == '{') {
        if (item.kind != YamlNode::kScalar) return Fail(line, "a key in { } is no plain text");
        while (p < s.size() && IsBlank(s[p])) ++p;
        if (p >= s.size() || s[p] != ':') return Fail(line, "a key in { } has no \":\" after it");
        YamlNode value;
        if (!Value(s, ++p, true, line, value, depth + 1)) return false;
        if (!keys.insert(item.text).second) return Fail(line, "\"" + item.text + "\" is given twice in the same { }");
        out.entries.emplace_back(item.text, std::move(value));
      } else {
        out.items.push_back(std::move(item));
      }
      while (p < s.size() && IsBlank(s[p])) ++p;
      if (p < s.size() && s[p] == ',') {
        ++p;
      } else if (p >= s.size() || s[p] != close) {
        return Fail(line, std::string("expected \",\" or \"") + close + "\" in a " + (c == '[' ? "[ ]" : "{ }"));
      }
    }
  }
  if (c == '"' || c == '\'') {
    out.kind = YamlNode::kScalar;
    return Quoted(s, p, line, out.text);
  }
  // A plain scalar: in a flow, up to the next indicator; in a block, the rest (comments are gone already).
  std::size_t end = p;
  if (flow)
    while (end < s.size() && !std::strchr(",]}", s[end]) &&
           !(s[end] == ':' && (end + 1 == s.size() || std::strchr(" \t,]}", s[end + 1]))))
      ++end;
  else
    end = s.size();
  std::string text = s.substr(p, end - p);
  text.erase(text.find_last_not_of(" \t") + 1);
  p = end;
  if (text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL") return true;
  out.kind = YamlNode::kScalar;
  out.text = std::move(text);
  return true;
}

bool Parser::Quoted(const std::string& s, std::size_t& p, std::size_t line, std::string& out) {
  const char q = s[p++];
  out.clear();
  while (p < s.size()) {
    const char c = s[p++];
    if (q == '\'') {
      if (c != '\'') {
        out += c;
      } else if (p < s.size() && s[p] == '\'') {
        out += '\'', ++p;
      } else {
        return true;
      }
      continue;
    }
    if (c == '"') return true;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (p >= s.size()) break;
    const char e = s[p++];
    static const char kPlain[] = "\"\\/ ";
    static const char kFrom[] = "0abtnvfre", kTo[] = "\0\a\b\t\n\v\f\r\x1b";
    if (std::strchr(kPlain, e)) {
      out += e;
    } else if (const char* f = std::strchr(kFrom, e)) {
      out += kTo[f - kFrom];
    } else if (e == 'x' || e == 'u' || e == 'U') {
      const std::size_t digits = e == 'x' ? 2 : e == 'u' ? 4 : 8;
      if (p + digits > s.size() || s.find_first_not_of("0123456789abcdefABCDEF", p) < p + digits)
        return Fail(line, std::string("\\") + e + " takes " + std::to_string(digits) + " hex digits");
      const unsigned long cp = std::strtoul(s.substr(p, digits).c_str(), nullptr, 16);
      p += digits;
      if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return Fail(line, "an escape that is no character");
      AppendUtf8(out, cp);
    } else {
      return Fail(line, std::string("unknown escape \\") + e + " in a quoted text");
    }
  }
  return Fail(line, "a quoted text is never closed");
}

}  // namespace

const YamlNode* YamlNode::Find(const std::string& key) const {
  for (const auto& e : entries)
    if (e.first == key) return &e.second;
  return nullptr;
}

bool ParseYaml(const std::string& text, const std::string& name, YamlNode& root, std::string& error) {
  Parser parser(name);
  if (parser.Split(text) && parser.Parse(root)) return true;
  error = parser.error;
  root = YamlNode{};
  return false;
}

bool ReadYamlFile(const std::string& path, YamlNode& root, std::string& error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenInput(path, error), &std::fclose);
  if (!file) return false;
  std::string text;
  char buffer[1 << 16];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (text.size() + n > kMaxBytes) {
      error = path + " is larger than 16 MiB, more than a table of sections needs";
      return false;
    }
    text.append(buffer, n);
  }
  if (std::ferror(file.get())) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  return ParseYaml(text, path, root, error);
}

}  // namespace vdcatalog
