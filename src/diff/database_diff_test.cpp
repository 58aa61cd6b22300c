// End-to-end checks of -diff, each in a fresh folder.

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/fault_injection.h"

namespace {

using testutil::CTempDir;
using testutil::makeDatabase;

TEST(DiffJobTest, ListsKeysInWalkOrderAndComparesEveryByte) {
  CTempDir dir;
  makeDatabase(dir / "data/one.db", {{"100%d done", "same"},
                                     {"a key", std::string("\0\0\1", 3)},
                                     {"empty", ""},
                                     {"prefix", "abcd"},
                                     {"z only 1", "x"},
                                     {"m only 1", "x"}});
  makeDatabase(dir / "two.db", {{"100%d done", "same"},
                                {"a key", std::string("\0\0\2", 3)},
                                {"empty", ""},
                                {"prefix", "abcde"},
                                {"%s only 2", ""},
                                {"b only 2", "y"}});
  // (2) is read out of a pack in the current folder.
  testutil::makePack(dir / "p.zq", {{"data/two.db", testutil::readFile(dir / "two.db")}});
  std::filesystem::remove(dir / "two.db");
  testutil::writeFile(dir / "tovrin.error", "left by an earlier run");
  const testutil::RunResult run =
      testutil::runInProcess({"-diff", "data/one.db", "data/two.db"}, dir.path());
  EXPECT_EQ(run.out,
            "DIFF REPORT\n"
            "-----------\n"
            "\n"
            "Compare\n"
            " (1) data/one.db\n"
            " (2) data/two.db\n"
            "\n"
            "Keys found in (1) that were not present in (2)\n"
            "------------------------------------------------------------------------------\n"
            "m only 1\n"
            "z only 1\n"
            "\n"
            "Keys found in (2) that were not present in (1)\n"
            "------------------------------------------------------------------------------\n"
            "%s only 2\n"
            "b only 2\n"
            "\n"
            "Keys containing data found to be different\n"
            "------------------------------------------------------------------------------\n"
            "a key\n"
            "prefix\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(run.hasErrorFile) << "a successful run removes an old one";
}

TEST(DiffJobTest, FailuresPrintNoReport) {
  CTempDir dir;
  makeDatabase(dir / "a.db", {{"k", "v"}});
  testutil::writeFile(dir / "empty.db", "");
  const testutil::FatalRun cases[] = {
      {{"-diff", "missing.db", "also-missing.db"}, "Could not open missing.db"},
      {{"-diff", "a.db", "missing.db"}, "Could not open missing.db"},
      {{"-diff", "empty.db", "a.db"}, "First key not found during extras"},
      {{"-diff", "a.db", "a.db"}, "Fetch error during diff", "", rk::eFault::kFetch},
      // A failed fetch from (2) is not taken for a missing key.
      {{"-diff", "a.db", "a.db"}, "Fetch error during diff", "", rk::eFault::kFetch, 2},
      // Anything but a fatal error that reaches the front end is reported too.
      {{"-diff", "a.db", "a.db"}, "Unexpected error: std::bad_alloc", "", rk::eFault::kNoMemory},
  };
  for (const testutil::FatalRun& run : cases) testutil::expectFatal(run, dir.path());
}

TEST(DiffJobTest, MemoryStaysBoundedByTheRecordsNotByTheDifferences) {
#if defined(TOVRIN_SANITIZED) || defined(_WIN32)
  GTEST_SKIP() << "The sanitizers' memory, or a system that does not count it.";
#endif
  CTempDir dir;
  // Two million keys of 17 bytes, each in one database only.
  for (const char* name : {"a", "b"}) {
    testutil::runSql(dir / (std::string(name) + ".db"),
                     "CREATE TABLE records(key TEXT PRIMARY KEY, data BLOB) WITHOUT ROWID;"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                     "WHERE i < 1000000) INSERT INTO records SELECT printf('" +
                         std::string(name) + "%016d', i), x'00' FROM n");
  }
  EXPECT_LT(testutil::peakMemoryMiB({"-diff", "a.db", "b.db"}, dir.path()), 64);
  // Records of 64 MiB that differ in their last byte.
  for (const char* name : {"big1", "big2"}) {
    testutil::runSql(dir / (std::string(name) + ".db"),
                     "CREATE TABLE records(key TEXT PRIMARY KEY, data BLOB) WITHOUT ROWID;"
                     "INSERT INTO records VALUES('k', zeroblob(67108863) || x'0" +
                         std::string(name).substr(3) + "')");
  }
  EXPECT_LT(testutil::peakMemoryMiB({"-diff", "big1.db", "big2.db"}, dir.path()), 2.5 * 64 + 32);
}

}  // namespace
