// Waiting for a change: a write committed on another connection wakes a waiting catalog at once (a server's
// notice at commit, a file's frequent look), and a wait with nothing written ends at its time-out.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vdpattern/catalog/VdPatternCatalog.h>
#include <vdpattern/pattern/VdPattern.h>

#include "support/CatalogBuilder.h"
#include "support/TestDb.h"

namespace {

using Clock = std::chrono::steady_clock;

class CatalogWait : public vdtest::DbTest {};

long long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

bool Insert(CVdPatternCatalog& catalog, const wchar_t* name, double h) {
  CVdPattern p(1, name, L"IPE");
  p.SetParam(0, L"h", h);
  return catalog.InsertPattern(&p, false);
}

}  // namespace

TEST_F(CatalogWait, AWriteOfAnotherConnectionWakesTheWaiterAtOnce) {
  const std::string path =
      MakeCatalog("wait.mdb", vdtest::CatalogBuilder().AddFamily("IPE", "I", "h DOUBLE", "('IPE 200', 200)"));
  CVdPatternCatalog waiter{CString(path.c_str())}, writer{CString(path.c_str())};
  ASSERT_TRUE(waiter.IsOpened() && writer.IsOpened());
  ASSERT_TRUE(Insert(writer, L"IPE 220", 220));  // the change records exist from here on
  long long last = 0, newest = 0;
  ASSERT_EQ(waiter.GetLastChange(last), CVdPatternCatalog::eChangesRead);

  // Records past the number given: no wait at all.
  Clock::time_point start = Clock::now();
  EXPECT_EQ(waiter.WaitForChange(last - 1, 5000, newest), CVdPatternCatalog::eChangesRead);
  EXPECT_EQ(newest, last);
  EXPECT_LT(Ms(Clock::now() - start), 1000);

  // Nothing written: the wait lasts its time-out and reports no newer record.
  start = Clock::now();
  EXPECT_EQ(waiter.WaitForChange(last, 150, newest), CVdPatternCatalog::eChangesRead);
  EXPECT_EQ(newest, last);
  EXPECT_GE(Ms(Clock::now() - start), 150);

  // Writes of another connection, each while the waiter sleeps: each wakes it well within the 500 ms a watch
  // would otherwise wait, and the number it learns is that of the write.
  for (int round = 0; round < 3; ++round) {
    Clock::time_point committed;
    bool written = false;
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      written = Insert(writer, (L"IPE " + std::to_wstring(300 + round)).c_str(), 300 + round);
      committed = Clock::now();
    });
    start = Clock::now();
    const CVdPatternCatalog::eChanges got = waiter.WaitForChange(last, 5000, newest);
    const Clock::time_point woken = Clock::now();
    other.join();
    ASSERT_TRUE(written);
    EXPECT_EQ(got, CVdPatternCatalog::eChangesRead);
    EXPECT_EQ(newest, last + 1) << "round " << round;
    EXPECT_GE(Ms(woken - start), 150) << "woken before the write";
    EXPECT_LT(Ms(woken - committed), 150) << "round " << round;
    last = newest;
  }
}
