// The YAML subset vdcatalog reads section collections in (import-shapes --from bolts): whatever the bytes, the
// reader ends with a tree or with an error that names the line, never a crash, a hang or unbounded memory; a
// tree's mapping keys are unique, and every node's line lies within the text.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "FuzzInput.h"
#include "YamlFile.h"

using vdfuzz::Check;

namespace {

void CheckNode(const vdcatalog::YamlNode& node, std::size_t lines) {
  Check(node.line <= lines);
  std::set<std::string> keys;
  for (const auto& [key, value] : node.entries) {
    Check(keys.insert(key).second);
    CheckNode(value, lines);
  }
  for (const vdcatalog::YamlNode& item : node.items) CheckNode(item, lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vdcatalog::YamlNode root;
  std::string error;
  if (vdcatalog::ParseYaml(text, "input", root, error)) {
    std::size_t lines = 1;
    for (const char c : text) lines += c == '\n';
    CheckNode(root, lines);
  } else {
    Check(error.rfind("input, line ", 0) == 0);  // every failure names its line
  }
  return 0;
}
