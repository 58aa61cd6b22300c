// End-to-end checks of -diff: the real binary in a fresh folder.

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace {

using testutil::CTempDir;
using testutil::makeDatabase;
using testutil::runTovrin;

const char kRule[] =
    "------------------------------------------------------------------------------\n";

std::string report(const std::string& file1, const std::string& file2, const std::string& only1,
                   const std::string& only2, const std::string& changed) {
  return "DIFF REPORT\n-----------\n\nCompare\n (1) " + file1 + "\n (2) " + file2 +
         "\n\nKeys found in (1) that were not present in (2)\n" + kRule + only1 +
         "\nKeys found in (2) that were not present in (1)\n" + kRule + only2 +
         "\nKeys containing data found to be different\n" + kRule + changed;
}

TEST(DiffJobTest, PrintsTheReportExactly) {
  CTempDir dir;
  makeDatabase(dir / "a.db", {{"k1", "1"}, {"k2", "2"}, {"k3", "3"}});
  makeDatabase(dir / "b.db", {{"k2", "two"}, {"k3", "4"}});
  const testutil::RunResult run = runTovrin({"-diff", "a.db", "b.db"}, dir.path());
  EXPECT_EQ(run.out,
            "DIFF REPORT\n"
            "-----------\n"
            "\n"
            "Compare\n"
            " (1) a.db\n"
            " (2) b.db\n"
            "\n"
            "Keys found in (1) that were not present in (2)\n"
            "------------------------------------------------------------------------------\n"
            "k1\n"
            "\n"
            "Keys found in (2) that were not present in (1)\n"
            "------------------------------------------------------------------------------\n"
            "Nothing found\n"
            "\n"
            "Keys containing data found to be different\n"
            "------------------------------------------------------------------------------\n"
            "k2\n"
            "k3\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(run.hasErrorFile);
}

TEST(DiffJobTest, ListsKeysInWalkOrderAndComparesEveryByte) {
  CTempDir dir;
  makeDatabase(dir / "data/one.db", {{"100%d done", "same"},
                                     {"a key", std::string("\0\0\1", 3)},
                                     {"empty", ""},
                                     {"prefix", "abcd"},
                                     {"z only 1", "x"},
                                     {"m only 1", "x"}});
  makeDatabase(dir / "data/two.db", {{"100%d done", "same"},
                                     {"a key", std::string("\0\0\2", 3)},
                                     {"empty", ""},
                                     {"prefix", "abcde"},
                                     {"%s only 2", ""},
                                     {"b only 2", "y"}});
  const testutil::RunResult run = runTovrin({"-diff", "data/one.db", "data/two.db"}, dir.path());
  EXPECT_EQ(run.out, report("data/one.db", "data/two.db", "m only 1\nz only 1\n",
                            "%s only 2\nb only 2\n", "a key\nprefix\n"));
  EXPECT_EQ(run.exitStatus, 0);

  const testutil::RunResult same = runTovrin({"-diff", "data/one.db", "data/one.db"}, dir.path());
  EXPECT_EQ(same.out, report("data/one.db", "data/one.db", "Nothing found\n", "Nothing found\n",
                             "Nothing found\n"));
}

TEST(DiffJobTest, FailuresPrintNoReport) {
  CTempDir dir;
  makeDatabase(dir / "a.db", {{"k", "v"}});
  testutil::writeFile(dir / "empty.db", "");
  struct Case {
    std::string file1, file2, message;
  };
  const Case cases[] = {
      {"missing.db", "also-missing.db", "Could not open missing.db"},
      {"a.db", "missing.db", "Could not open missing.db"},
      {"empty.db", "a.db", "First key not found during extras"},
      {"a.db", "empty.db", "First key not found during extras"},
  };
  for (const Case& c : cases) {
    const testutil::RunResult run = runTovrin({"-diff", c.file1, c.file2}, dir.path());
    EXPECT_EQ(run.out, "") << c.message;
    EXPECT_EQ(run.exitStatus, 1) << c.message;
    EXPECT_EQ(run.errorFile, c.message);
  }
}

}  // namespace
