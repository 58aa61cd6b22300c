// Runs that take turns for the lock are the autopatch test's, which starts
// them together; here, a lock that is not had.

#include "vozidiri/write_lock.h"

#include <sqlite3.h>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/fault_injection.h"
#include "vozidiri/file_system.h"

namespace rk {
namespace {

TEST(WriteLockTest, ALockHeldLongerThanTheWaitIsNotHad) {
  testutil::CTempDir work;
  testutil::makeDatabase(work / "c.db", {{"n", "0"}});
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(work.path(), "");
  sqlite3* other = nullptr;  // another program writing it
  sqlite3_open((work / "c.db").c_str(), &other);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  setLockWaitMs(200);
  EXPECT_FALSE(CWriteLock("c.db").held());
  clearFaults();
  sqlite3_close(other);
}

}  // namespace
}  // namespace rk
