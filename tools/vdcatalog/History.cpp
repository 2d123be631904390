// history, blame and undo: a catalog's record of its edits, who set each value of a pattern, and putting a
// change back.
#include "Tool.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <vdpattern/vdpattern.h>

#include "Output.h"

namespace vdcatalog {

namespace {

using vdpattern::HistoryEntry;
using vdpattern::HistoryFilter;
using vdpattern::HistoryValue;

// A value as a reader takes it in at a glance: NULL spelt out, texts quoted only when they could be misread.
std::string Shown(const HistoryValue& v) {
  if (v.type == HistoryValue::eNull) return "NULL";
  const std::string text = Visible(Utf8(v.text));
  if (v.type == HistoryValue::eText && (text.empty() || text == "NULL")) return "\"" + text + "\"";
  if (v.type == HistoryValue::eReal) {  // kept with every digit; shown as show and list print the value
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && *end == '\0') {
      const COleVariant number(value);
      return Text(&number);
    }
  }
  return text;
}

json Json(const HistoryValue& v) {
  const std::string text = Utf8(v.text);
  switch (v.type) {
    case HistoryValue::eNull:
      return nullptr;
    case HistoryValue::eBool:
      return v.text == L"true";
    case HistoryValue::eInteger:
      return json::parse(text, nullptr, false).is_number() ? json::parse(text) : json(text);
    case HistoryValue::eReal: {
      const json number = json::parse(text, nullptr, false);
      return number.is_number() ? number : json({{"real", text}});
    }
    case HistoryValue::eText:
      return text;
    case HistoryValue::eDate:
      return {{"date", text}};
    case HistoryValue::eBytes:
      return {{"bytes", text}};
  }
  return nullptr;
}

}  // namespace

json HistoryColumnsJson(const vdpattern::HistoryEntry& e) {
  json columns = json::array();
  for (const auto& c : e.columns)
    columns.push_back({{"column", Utf8(c.column)}, {"before", Json(c.before)}, {"after", Json(c.after)}});
  return columns;
}

namespace {

json Json(const HistoryEntry& e) {
  const json columns = HistoryColumnsJson(e);
  return {{"change", e.change},       {"set", e.set},         {"at", Utf8(e.at)},
          {"who", Utf8(e.who)},       {"host", Utf8(e.host)}, {"program", Utf8(e.program)},
          {"family", Utf8(e.family)}, {"name", Utf8(e.name)}, {"kind", Utf8(e.kind)},
          {"columns", columns}};
}

bool PrintEntry(const HistoryEntry& e) {
  std::string head = "change " + std::to_string(e.change);
  if (e.set != e.change) head += " (set " + std::to_string(e.set) + ")";
  head += "  " + Utf8(e.at) + "  " + Visible(Utf8(e.who)) + "@" + Visible(Utf8(e.host)) + " (" +
          Visible(Utf8(e.program)) + ")  " + Utf8(e.kind);
  if (!e.family.empty()) head += "  " + Visible(Utf8(e.family));
  if (!e.name.empty()) head += " / " + Visible(Utf8(e.name));
  if (std::printf("%s\n", head.c_str()) < 0) return false;
  for (const auto& c : e.columns)
    if (std::printf("    %s: %s \u2192 %s\n", Visible(Utf8(c.column)).c_str(), Shown(c.before).c_str(),
                    Shown(c.after).c_str()) < 0)
      return false;
  return true;
}

// A date or time as the history writes them: YYYY-MM-DD, optionally followed by a time.
bool IsDate(const std::string& text) {
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// Opens a catalog that must keep a history; null after the message.
CVdPatternCatalog* OpenWithHistory(Session& session, const std::string& file) {
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return nullptr;
  if (!catalog->HasHistory()) {
    const CString distrust = catalog->GetHistoryDistrust();
    Error(distrust.IsEmpty() ? file + " keeps no history (vdcatalog upgrade adds one to a catalog file)"
                             : Located(file) + ": " + Utf8(distrust));
    return nullptr;
  }
  return catalog;
}

}  // namespace

int History(const std::string& file, const std::string& name, const HistoryQuery& query, const Options& options) {
  for (const std::string* date : {&query.since, &query.pruneBefore}) {
    if (!date->empty() && !IsDate(*date)) {
      Error("\"" + Shown(*date) + "\" is not a date: give YYYY-MM-DD, optionally with a time (UTC)");
      return kError;
    }
  }
  Session session;
  CVdPatternCatalog* catalog = OpenWithHistory(session, file);
  if (!catalog) return kError;
  if (!query.pruneBefore.empty()) {
    if (!name.empty() || !query.family.empty() || !query.since.empty() || !query.by.empty()) {
      Error("--prune-before takes no name, --family, --since or --by: it prunes the whole history");
      return kError;
    }
    long long removed = 0;
    CString error;
    if (!catalog->PruneHistory(Wide(query.pruneBefore), removed, error)) {
      Error("nothing was pruned: " + Utf8(error));
      return kError;
    }
    std::printf("pruned %lld entr%s recorded before %s; the pruning is on record\n", removed,
                removed == 1 ? "y" : "ies", query.pruneBefore.c_str());
    return session.Finish(kOk);
  }
  HistoryFilter filter;
  filter.name = Wide(name).str();
  filter.family = Wide(query.family).str();
  filter.since = Wide(query.since).str();
  filter.by = Wide(query.by).str();
  std::vector<HistoryEntry> entries;
  if (catalog->GetHistory(filter, entries) != CVdPatternCatalog::eChangesRead) return session.Finish(kError);
  if (options.json) {
    json out = json::array();
    for (const HistoryEntry& e : entries) out.push_back(Json(e));
    std::printf("%s\n", JsonText(out).c_str());
    return session.Finish(kOk);
  }
  for (const HistoryEntry& e : entries)
    if (!PrintEntry(e)) return kError;
  if (entries.empty()) std::printf("no change on record\n");
  return session.Finish(entries.empty() && !name.empty() ? kNotFound : kOk);
}

int Blame(const std::string& file, const std::string& name, const std::string& family, const Options& options) {
  Session session;
  CVdPatternCatalog* catalog = OpenWithHistory(session, file);
  if (!catalog) return kError;
  HistoryFilter filter;
  filter.name = Wide(name).str();
  filter.family = Wide(family).str();
  std::vector<HistoryEntry> entries;
  if (catalog->GetHistory(filter, entries) != CVdPatternCatalog::eChangesRead) return session.Finish(kError);
  // Newest first: the first entry that wrote a column set its current value; the row's history ends where it
  // was made (or removed: what came before belongs to a row that no longer is).
  struct Line {
    std::string column, value;
    const HistoryEntry* by;
  };
  std::vector<Line> lines;
  std::set<std::wstring> seen;
  for (const HistoryEntry& e : entries) {
    if (e.kind == L"remove" && lines.empty()) {
      Error("\"" + Shown(name) + "\" was removed by change " + std::to_string(e.change) + " (" + Utf8(e.who) + ", " +
            Utf8(e.at) + ")");
      return session.Finish(kNotFound);
    }
    bool made = false;
    for (const auto& c : e.columns) {
      if (VdCompareNoCase(c.column, L"Name") == 0 && c.before.type == HistoryValue::eNull) made = true;
      if (c.after.type == HistoryValue::eNull && c.before.type == HistoryValue::eNull) continue;
      if (seen.insert(Folded(c.column)).second) lines.push_back({Utf8(c.column), Shown(c.after), &e});
    }
    if (made) break;
  }
  if (lines.empty()) {
    Error("no change of \"" + Shown(name) + "\" is on record");
    return session.Finish(kNotFound);
  }
  if (options.json) {
    json out = json::array();
    for (const Line& l : lines)
      out.push_back({{"column", l.column},
                     {"value", l.value},
                     {"change", l.by->change},
                     {"at", Utf8(l.by->at)},
                     {"who", Utf8(l.by->who)},
                     {"kind", Utf8(l.by->kind)}});
    std::printf("%s\n", JsonText(out).c_str());
    return session.Finish(kOk);
  }
  Table table({"Column", "Value", "Change", "At", "Who", "Kind"});
  for (const Line& l : lines)
    table.Add({Visible(l.column), l.value, std::to_string(l.by->change), Utf8(l.by->at), Visible(Utf8(l.by->who)),
               Utf8(l.by->kind)});
  table.Print();
  return session.Finish(kOk);
}

int Undo(const std::string& file, long long change) {
  Session session;
  CVdPatternCatalog* catalog = OpenWithHistory(session, file);
  if (!catalog) return kError;
  CString error;
  if (!catalog->UndoChange(change, error)) {
    Error("nothing was undone: " + Utf8(error));
    return session.Failed() ? kError : kNotFound;
  }
  long long last = 0;
  catalog->GetLastChange(last);
  std::printf("undid change %lld and the changes written with it; the undo is on record (up to change %lld)\n", change,
              last);
  return session.Finish(kOk);
}

}  // namespace vdcatalog
