// End-to-end checks of -autopatch: each case runs in a fresh folder whose
// data/ subfolder is the source data folder.

#include "autopatch/auto_patch.h"

#include <sqlite3.h>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/fault_injection.h"

namespace {

using rk::eFault;
using testutil::CTempDir;
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
  EXPECT_FALSE(testutil::fileExists(dir / "new.db"));
}

TEST(AutoPatchJobTest, PatchesTheCurrentFoldersTargetUnlessUpToDateOrLocked) {
  CTempDir dir;
  makeDatabase(dir / "here.db", {{"a", "current"}});
  makeDatabase(dir / "data/here.db", {{"a", "data folder"}});
  makeDatabase(dir / "data/sub/there.db", {{"a", "new"}, {"mine", "2"}});
  makeDatabase(dir / "data/sub/new.db", {{"a", "new"}});
  runTovrin({"-autopatch", "data", "here.db", "sub/new.db"}, dir.path());
  EXPECT_EQ(readDatabase(dir / "here.db"), (Records{{"a", "new"}}));
  EXPECT_EQ(readDatabase(dir / "data/here.db"), (Records{{"a", "data folder"}}));

  testutil::RunResult run =
      runTovrin({"-autopatch", "data", "sub/there.db", "sub/new.db"}, dir.path());
  EXPECT_EQ(run.out, "Patching sub/there.db\n\nFile is up-to-date\n");
  EXPECT_EQ(readDatabase(dir / "sub/there.db"), (Records{{"a", "new"}, {"mine", "2"}}));

  makeDatabase(dir / "here.db", {{"a", "old"}});
  sqlite3* holder = nullptr;  // another writer holds the target for the whole run
  ASSERT_EQ(sqlite3_open((dir / "here.db").c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  run = runTovrin({"-autopatch", "data", "here.db", "sub/new.db"}, dir.path());
  sqlite3_close(holder);
  EXPECT_EQ(run.out, "Patching here.db\n\nTarget file here.db not found, skipping\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_FALSE(run.hasErrorFile);
  EXPECT_EQ(readDatabase(dir / "here.db"), (Records{{"a", "old"}}));
}

TEST(AutoPatchJobTest, FailuresAfterTheComparisonLeaveTheTargetAsItWas) {
  struct Case {
    eFault fault;
    int nth;  // the diff opens two databases and fetches twice per key of the target
    std::string out, message;
  };
  const std::string added = "Patching old.db\n\nAdd: k1\n";
  const Case cases[] = {
      {eFault::kOpen, 4, "Patching old.db\n\n", "CAutoPatch: couldn't open new.db"},
      {eFault::kFetch, 2 * static_cast<int>(kTarget.size()) + 1, added,
       "CAutoPatch: fetch key k1 failed"},
      {eFault::kStore, 1, added, "CAutoPatch: store key k1 failed"},
      {eFault::kCommit, 1, added + "Patch: emptied\nPatch: grown\nPatch: k2\n\nFinished patch\n",
       "CAutoPatch: couldn't save old.db"},
  };
  for (const Case& c : cases) {
    CTempDir dir;
    makeDatabase(dir / "data/old.db", kTarget);
    makeDatabase(dir / "data/new.db", kSource);
    rk::injectFault(c.fault, c.nth);
    const testutil::RunResult run =
        testutil::runInProcess({"-autopatch", "data", "old.db", "new.db"}, dir.path());
    EXPECT_EQ(run.out, c.out) << c.message;
    EXPECT_EQ(run.exitStatus, 1) << c.message;
    EXPECT_EQ(run.errorFile, c.message);
    EXPECT_EQ(readDatabase(dir / "old.db"), kTarget) << c.message;
  }
}

}  // namespace
