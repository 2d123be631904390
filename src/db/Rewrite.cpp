#include "db/Rewrite.h"

namespace vdpattern::db {

std::size_t IsNullCall(const std::vector<StatementToken>& t, std::size_t after, std::size_t end,
                       bool (*between)(const StatementToken&)) {
  std::size_t n = after;
  while (n < end && between(t[n])) ++n;
  return n < end && IsPunct(t[n], "(") ? n : end;
}

char* UnquoteLiteral(std::string_view quoted, char* out) {
  for (std::size_t k = 1; k + 1 < quoted.size(); ++k) {
    *out++ = quoted[k];
    if (quoted[k] == '\'' && quoted[k + 1] == '\'') ++k;
  }
  return out;
}

std::string UnquoteLiteral(std::string_view quoted) {
  std::string value(quoted.size(), '\0');
  value.resize(static_cast<std::size_t>(UnquoteLiteral(quoted, &value[0]) - value.data()));
  return value;
}

}  // namespace vdpattern::db
