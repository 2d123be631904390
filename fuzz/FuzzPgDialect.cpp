// Statement texts from outside, as the server engine translates them. With literals lifted into parameters
// ($1, $2, ...), the text must mean what it meant with them in place: putting each value back, quoted, at its
// marker gives the text translated without lifting (blanks aside), every marker is there once and in order, and
// both translations accept or refuse the same texts. A refusal is always a 42000.
// This target reaches the translation directly, so it needs the static build (-DBUILD_SHARED_LIBS=OFF).

#include <string>
#include <vdpattern/toolkit/DBTypes.h>

#include "FuzzInput.h"
#include "db/postgres/PgDialect.h"

using vdfuzz::Check;
using vdpattern::db::PgNames;
using vdpattern::db::PgStatement;
using vdpattern::db::TranslateToPg;

namespace {

bool Translate(const std::wstring& text, PgStatement& out, bool lift) {
  // With the columns' kinds, so that the comparisons' and sorts' collation is put in too.
  static const PgNames names = {{"beams", "Beams"},
                                {"name", "Name"},
                                {"h", "h"},
                                {"odd;family -- x", "Odd;Family -- x"},
                                {vdpattern::db::TypeKey("Beams", "Name"), "t"},
                                {vdpattern::db::TypeKey("Beams", "h"), ""},
                                {vdpattern::db::TypeKey("Odd;Family -- x", "Name"), "t"}};
  try {
    TranslateToPg(text.c_str(), out, &names, lift, "Cat \"1");
    return true;
  } catch (CDBException* e) {
    Check(e->m_strStateNativeOrigin.Find(L"State:42000,") == 0);
    e->Delete();
    return false;
  }
}

// `sql` with each marker outside quotes replaced by its value as a quoted literal, and blanks outside quotes
// dropped; `next` counts the markers, which must come as $1, $2, ... in order.
std::string PutBack(const std::string& sql, const std::vector<std::string>& params) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t k = 0; k < sql.size();) {
    const char c = sql[k];
    if (c == '\'' || c == '"') {
      const std::size_t start = k++;
      while (k < sql.size() && !(sql[k] == c && (k + 1 >= sql.size() || sql[k + 1] != c))) k += sql[k] == c ? 2 : 1;
      out.append(sql, start, ++k - start);
    } else if (c == '$' && k + 1 < sql.size() && sql[k + 1] >= '1' && sql[k + 1] <= '9') {
      std::size_t end = k + 1;
      while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9') ++end;
      Check(sql.substr(k + 1, end - k - 1) == std::to_string(++next) && next <= params.size());
      out += '\'';
      for (char v : params[next - 1]) out.append(v == '\'' ? 2 : 1, v);
      out += '\'';
      k = end;
    } else {
      if (c != ' ') out += c;
      ++k;
    }
  }
  Check(next == params.size());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  vdfuzz::Input input(data, size);
  const std::wstring text = input.Text();
  PgStatement lifted, kept;
  const bool liftedOk = Translate(text, lifted, true);
  Check(liftedOk == Translate(text, kept, false));
  if (!liftedOk) return 0;
  Check(kept.params.empty() && lifted.params.size() <= 65535);
  if (lifted.params.empty())  // nothing lifted (a host's own $n stays as written)
    Check(lifted.sql == kept.sql);
  else
    Check(PutBack(lifted.sql, lifted.params) == PutBack(kept.sql, {}));
  return 0;
}
