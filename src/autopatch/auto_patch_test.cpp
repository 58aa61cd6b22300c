// End-to-end checks of -autopatch: each case runs the real binary in a fresh
// folder whose data/ subfolder is the source data folder.

#include "autopatch/auto_patch.h"

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/database.h"

namespace {

using testutil::CTempDir;
using testutil::fileExists;
using testutil::makeDatabase;
using testutil::readDatabase;
using testutil::Records;
using testutil::runTovrin;

const Records kSource = {{"k1", "new"}, {"k2", "two, changed"}, {"grown", "abcde"},
                         {"empty", ""}, {"emptied", ""},        {"same", "same"}};
const Records kTarget = {{"k2", "two"},       {"grown", "abcd"}, {"empty", ""},
                         {"emptied", "full"}, {"same", "same"},  {"target only", "kept"}};

TEST(AutoPatchJobTest, CopiesTheTargetThenAddsAndPatchesItsKeys) {
  CTempDir dir;
  makeDatabase(dir / "data/old.db", kTarget);
  makeDatabase(dir / "data/new.db", kSource);
  const testutil::RunResult run = runTovrin({"-autopatch", "data", "old.db", "new.db"}, dir.path());
  EXPECT_EQ(run.out,
            "Patching old.db\n"
            "\n"
            "Add: k1\n"
            "Patch: emptied\n"
            "Patch: grown\n"
            "Patch: k2\n"
            "\n"
            "Finished patch\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(run.hasErrorFile);

  Records expected = kSource;
  expected["target only"] = "kept";
  EXPECT_EQ(readDatabase(dir / "old.db"), expected);
  EXPECT_EQ(readDatabase(dir / "data/old.db"), kTarget) << "the data folder is never written";
  EXPECT_FALSE(fileExists(dir / "new.db"));

  const testutil::RunResult diff = runTovrin({"-diff", "old.db", "data/new.db"}, dir.path());
  EXPECT_NE(diff.out.find("Keys found in (2) that were not present in (1)\n"
                          "------------------------------------------------------------------"
                          "------------\nNothing found\n\n"
                          "Keys containing data found to be different\n"
                          "------------------------------------------------------------------"
                          "------------\nNothing found\n"),
            std::string::npos)
      << diff.out;
}

TEST(AutoPatchJobTest, UpToDateTargetIsStillCopiedIntoTheCurrentFolder) {
  CTempDir dir;
  makeDatabase(dir / "data/sub/old.db", {{"a", "1"}, {"mine", "2"}});
  makeDatabase(dir / "data/sub/new.db", {{"a", "1"}});
  const testutil::RunResult run =
      runTovrin({"-autopatch", "data", "sub/old.db", "sub/new.db"}, dir.path());
  EXPECT_EQ(run.out, "Patching sub/old.db\n\nFile is up-to-date\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(readDatabase(dir / "sub/old.db"), (Records{{"a", "1"}, {"mine", "2"}}));
}

TEST(AutoPatchJobTest, TargetInTheCurrentFolderIsPatchedInPlace) {
  CTempDir dir;
  makeDatabase(dir / "old.db", {{"a", "current"}});
  makeDatabase(dir / "data/old.db", {{"a", "data folder"}});
  makeDatabase(dir / "data/new.db", {{"a", "new"}});
  const testutil::RunResult run = runTovrin({"-autopatch", "data", "old.db", "new.db"}, dir.path());
  EXPECT_EQ(run.out, "Patching old.db\n\nPatch: a\n\nFinished patch\n");
  EXPECT_EQ(readDatabase(dir / "old.db"), (Records{{"a", "new"}}));
  EXPECT_EQ(readDatabase(dir / "data/old.db"), (Records{{"a", "data folder"}}));
}

TEST(AutoPatchJobTest, LockedTargetIsSkippedWithNothingWritten) {
  CTempDir dir;
  makeDatabase(dir / "old.db", {{"a", "old"}});
  makeDatabase(dir / "data/new.db", {{"a", "new"}});
  rk::CDatabase holder;  // another writer holds the target for the whole run
  ASSERT_TRUE(holder.open(dir / "old.db", rk::CDatabase::eOpenWrite));
  const testutil::RunResult run = runTovrin({"-autopatch", "data", "old.db", "new.db"}, dir.path());
  EXPECT_TRUE(holder.close());
  EXPECT_EQ(run.out, "Patching old.db\n\nTarget file old.db not found, skipping\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_FALSE(run.hasErrorFile);
  EXPECT_EQ(readDatabase(dir / "old.db"), (Records{{"a", "old"}}));
}

TEST(AutoPatchJobTest, ComparisonFailuresEndTheRunWithNothingWritten) {
  CTempDir dir;
  makeDatabase(dir / "data/old.db", {{"a", "old"}});
  makeDatabase(dir / "data/new.db", {{"a", "new"}});
  testutil::writeFile(dir / "data/empty.db", "");
  struct Case {
    std::string oldFile, newFile, message;
  };
  const Case cases[] = {
      {"missing.db", "new.db", "Could not open missing.db"},
      {"old.db", "missing.db", "Could not open missing.db"},
      {"empty.db", "new.db", "First key not found during extras"},
      {"old.db", "empty.db", "First key not found during extras"},
  };
  for (const Case& c : cases) {
    const testutil::RunResult run =
        runTovrin({"-autopatch", "data", c.oldFile, c.newFile}, dir.path());
    EXPECT_EQ(run.out, "Patching " + c.oldFile + "\n\n") << c.message;
    EXPECT_EQ(run.exitStatus, 1) << c.message;
    EXPECT_EQ(run.errorFile, c.message);
    EXPECT_FALSE(fileExists(dir / c.oldFile)) << "nothing is copied before the comparison";
  }
}

}  // namespace
