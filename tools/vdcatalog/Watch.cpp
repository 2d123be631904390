// watch: prints a catalog's changes as other connections commit them, from its change records.
#include "Tool.h"

#include <cstdio>
#include <vdpattern/vdpattern.h>

#include "Output.h"

namespace vdcatalog {

namespace {

// One line a change: its number, kind, family and name, tab-separated so that a script can cut them apart.
bool PrintChange(const CVdPatternCatalog::PatternChange& change) {
  return std::printf("%lld\t%s\t%s\t%s\n", change.sequence, Visible(Utf8(change.kind)).c_str(),
                     Visible(Utf8(change.family)).c_str(), Visible(Utf8(change.name)).c_str()) >= 0 &&
         std::fflush(stdout) == 0;
}

}  // namespace

int Watch(const std::string& file, long long count, unsigned intervalMs, long long since) {
  Session session;
  CVdPatternCatalog* catalog = session.Open(file);
  if (!catalog) return kError;
  long long last = since;
  if (since < 0 && catalog->GetLastChange(last) == CVdPatternCatalog::eChangesFailed) return session.Finish(kError);
  // Between reads of the records the catalog waits for a change: on a server a writer's notice at commit wakes
  // it (so a change is printed within milliseconds, and an idle watch costs one statement an interval); on a
  // file it looks every 20 ms, each look a read of pages that the file's own cache answers while nobody writes.
  for (long long printed = 0; count <= 0 || printed < count;) {
    std::vector<CVdPatternCatalog::PatternChange> changes;
    if (catalog->GetChanges(last, changes) == CVdPatternCatalog::eChangesFailed) return session.Finish(kError);
    for (const auto& change : changes) {
      if (!PrintChange(change)) {
        Error("the changes cannot be written to standard output");
        return kError;
      }
      last = change.sequence;
      if (count > 0 && ++printed >= count) break;
    }
    long long newest = 0;
    if ((count <= 0 || printed < count) &&
        catalog->WaitForChange(last, intervalMs, newest) == CVdPatternCatalog::eChangesFailed)
      return session.Finish(kError);
  }
  return session.Finish(kOk);
}

}  // namespace vdcatalog
