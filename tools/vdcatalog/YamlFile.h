#pragma once
// The small part of YAML that data tables are written in (the .blt files of profile libraries), read into a
// tree: block mappings and sequences (an item may open a mapping on its own line, "- id: x"), flow lists and
// maps ([1, 2], {a: 1}) that may run over lines, plain, single- and double-quoted scalars, literal and folded
// block scalars (their blank lines are not kept), comments, and the --- and ... markers of one document.
// Anchors, aliases, tags and complex keys are refused rather than guessed at. Every failure names the file and
// the line; nesting and the file's size are bounded, so no input exhausts the stack or the memory. Nothing
// throws but std::bad_alloc.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vdcatalog {

struct YamlNode {
  enum Kind { kNull, kScalar, kList, kMap };
  Kind kind = kNull;  // kNull: nothing, "~" or "null" unquoted
  std::string text;   // kScalar: the value, quotes and escapes resolved
  std::size_t line = 0;
  std::vector<YamlNode> items;                            // kList
  std::vector<std::pair<std::string, YamlNode>> entries;  // kMap, in the file's order; keys are unique

  // The value of `key` in a mapping; null when absent or when this is no mapping.
  const YamlNode* Find(const std::string& key) const;
};

// Reads `path` (a file or a pipe, at most 16 MiB): false with `error` ("PATH, line N: why") when it cannot be
// read or is not in the subset above.
bool ReadYamlFile(const std::string& path, YamlNode& root, std::string& error);
// The same for `text` already read; `name` is what messages call it.
bool ParseYaml(const std::string& text, const std::string& name, YamlNode& root, std::string& error);

}  // namespace vdcatalog
