// End-to-end checks of -autopatch: each case runs in a fresh folder whose
// data/ subfolder is the source data folder.

#include "autopatch/auto_patch.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/fault_injection.h"

namespace {

using rk::eFault;
using testutil::CTempDir;
using testutil::makeDatabase;
using testutil::readDatabase;
using testutil::Records;
using testutil::runInProcess;

const Records kSource = {{"k1", "new"}, {"k2", "two, changed"}, {"grown", "abcde"},
                         {"empty", ""}, {"emptied", ""},        {"same", "same"}};
const Records kTarget = {{"k2", "two"},       {"grown", "abcd"}, {"empty", ""},
                         {"emptied", "full"}, {"same", "same"},  {"target only", "kept"}};

// `target` brought up to date from `source`, as one run leaves it.
Records patched(Records target, const Records& source) {
  for (const auto& [key, data] : source) target[key] = data;
  return target;
}

TEST(AutoPatchJobTest, CopiesTheTargetThenAddsAndPatchesItsKeys) {
  CTempDir dir;
  makeDatabase(dir / "data/old.db", kTarget);
  // The source is read out of a pack in the data folder.
  makeDatabase(dir / "new.db", kSource);
  testutil::makePack(dir / "data/base.zq", {{"new.db", testutil::readFile(dir / "new.db")}});
  std::filesystem::remove(dir / "new.db");
  const testutil::RunResult run =
      runInProcess({"-autopatch", "data", "old.db", "new.db"}, dir.path());
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
  EXPECT_EQ(readDatabase(dir / "old.db"), patched(kTarget, kSource));
  EXPECT_EQ(readDatabase(dir / "data/old.db"), kTarget) << "the data folder is never written";
  EXPECT_FALSE(testutil::fileExists(dir / "new.db"));
}

TEST(AutoPatchJobTest, PatchesTheCurrentFoldersTargetUnlessUpToDateOrLocked) {
  CTempDir dir;
  makeDatabase(dir / "here.db", {{"a", "current"}});
  makeDatabase(dir / "data/here.db", {{"a", "data folder"}});
  makeDatabase(dir / "data/sub/there.db", {{"a", "new"}, {"mine", "2"}});
  makeDatabase(dir / "data/sub/new.db", {{"a", "new"}});
  testutil::RunResult run =
      runInProcess({"-autopatch", "data", "here.db", "sub/new.db"}, dir.path());
  EXPECT_EQ(run.out, "Patching here.db\n\nPatch: a\n\nFinished patch\n") << run.errorFile;
  EXPECT_EQ(readDatabase(dir / "here.db"), (Records{{"a", "new"}}));

  run = runInProcess({"-autopatch", "data", "sub/there.db", "sub/new.db"}, dir.path());
  EXPECT_EQ(run.out, "Patching sub/there.db\n\nFile is up-to-date\n");
  EXPECT_EQ(readDatabase(dir / "sub/there.db"), (Records{{"a", "new"}, {"mine", "2"}}));

  // A target named on the command line is written where it lies.
  const CTempDir elsewhere;
  makeDatabase(elsewhere / "res.db", {{"a", "old"}});
  run = runInProcess({"-autopatch", "data", elsewhere / "res.db", "sub/new.db"}, dir.path());
  EXPECT_EQ(run.exitStatus, 0) << run.errorFile;
  EXPECT_EQ(readDatabase(elsewhere / "res.db"), (Records{{"a", "new"}}));

  // Another program writes the target for longer than the run waits.
  makeDatabase(dir / "here.db", {{"a", "old"}});
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "here.db").c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  rk::CFaultScope faults;
  faults.lockWait(200);
  run = runInProcess({"-autopatch", "data", "here.db", "sub/new.db"}, dir.path());
  EXPECT_EQ(run.out, "Patching here.db\n\nTarget file here.db not found, skipping\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_FALSE(run.hasErrorFile);

  // One that writes it, then reads it, each for a while, is waited for.
  faults.lockWait(10000);
  std::thread other([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(holder, "COMMIT; BEGIN; SELECT count(*) FROM records", nullptr, nullptr, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
  });
  run = runInProcess({"-autopatch", "data", "here.db", "sub/new.db"}, dir.path());
  other.join();
  sqlite3_close(holder);
  EXPECT_EQ(run.out, "Patching here.db\n\nPatch: a\n\nFinished patch\n") << run.errorFile;
  EXPECT_EQ(readDatabase(dir / "here.db"), (Records{{"a", "new"}}));
}

TEST(AutoPatchJobTest, AFailureAfterTheComparisonKeepsWhatWasStoredUnlessAWriteFailed) {
  // A fatal error ends the run where it happens; the target keeps the keys
  // stored before it. A failed write keeps nothing of the run: a target in
  // place is rolled back, a copy never takes the name.
  struct Case {
    bool inPlace;
    testutil::FatalRun run;       // what it prints after "Patching old.db\n\n"
    std::optional<Records> left;  // what old.db holds afterwards; none: no old.db
  };
  const std::string added = "Add: k1\nPatch: emptied\n";
  const std::string done = added + "Patch: grown\nPatch: k2\n\nFinished patch\n";
  const std::string stored = "CAutoPatch: store key emptied failed";
  const std::string saved = "CAutoPatch: couldn't save old.db";
  // The comparison opens both databases and fetches each key twice.
  const Case cases[] = {
      {false, {{}, "CAutoPatch: couldn't open new.db", "", eFault::kOpen, 4}, kTarget},
      {false,
       {{}, "CAutoPatch: fetch key emptied failed", added, eFault::kFetch, 3, "emptied"},
       patched(kTarget, {{"k1", "new"}})},
      {false, {{}, stored, added, eFault::kStore, 1, "emptied"}, std::nullopt},
      {true, {{}, stored, added, eFault::kStore, 1, "emptied"}, kTarget},
      {false, {{}, saved, done, eFault::kCommit}, std::nullopt},
      {true, {{}, saved, done, eFault::kCommit}, kTarget},
  };
  for (const Case& c : cases) {
    CTempDir dir;
    makeDatabase(dir / (c.inPlace ? "old.db" : "data/old.db"), kTarget);
    makeDatabase(dir / "data/new.db", kSource);
    testutil::FatalRun run = c.run;
    run.args = {"-autopatch", "data", "old.db", "new.db"};
    run.out = "Patching old.db\n\n" + run.out;
    testutil::expectFatal(run, dir.path());
    const std::string old = dir / "old.db";
    EXPECT_EQ(testutil::fileExists(old) ? std::optional(readDatabase(old)) : std::nullopt, c.left)
        << run.message;
  }
}

TEST(AutoPatchJobTest, RunsWritingOneTargetEndAsIfOneRanAfterTheOther) {
  // The target's keys come in pairs: each source changes one key of a pair
  // and agrees with the target on the other, and a script changes both. Any
  // order of whole runs leaves each pair in a state of its own; a run that
  // decided its writes from what it read before another run's commit leaves
  // one that no order gives. Rounds are repeated because a run may also end
  // before the other begins.
  Records target, a, b;
  std::string script = "db : old.db\nstruct : sResDef\n";
  for (int i = 0; i < 1000; ++i) {
    const std::string x = "x" + std::to_string(i), y = "y" + std::to_string(i);
    target[x] = target[y] = "t";
    a[x] = "a", a[y] = "t";
    b[x] = "t", b[y] = "b";
    script += "key : " + x + "\ndata\n\ttemplateName : s\n\tfileName : s\n";
    script += "key : " + y + "\ndata\n\ttemplateName : s\n\tfileName : s\n";
  }
  // The script's record: templateName and fileName "s", nothing else.
  const std::string record = "s" + std::string(29, '\0') + "s" + std::string(265, '\0');
  Records scripted = target;
  for (auto& entry : scripted) entry.second = record;
  CTempDir dir;
  makeDatabase(dir / "data/a.db", a);
  makeDatabase(dir / "data/b.db", b);
  testutil::writeFile(dir / "patch.txt", script);
  const std::vector<std::string> runA{"-autopatch", "data", "old.db", "a.db"};
  const std::vector<std::string> runB{"-autopatch", "data", "old.db", "b.db"};
  const std::vector<std::string> runS{"patch.txt", "data"};
  for (const auto& other : {runB, runS}) {
    for (int round = 0; round < 6; ++round) {
      // Every other round the target is first copied out of the data folder.
      std::filesystem::remove(dir / "old.db");
      makeDatabase(dir / (round % 2 ? "old.db" : "data/old.db"), target);
      const auto runs = testutil::runTovrinTogether({runA, other}, dir.path());
      ASSERT_EQ(runs[0].exitStatus + runs[1].exitStatus, 0)
          << runs[0].errorFile << runs[1].errorFile;
      const Records result = readDatabase(dir / "old.db");
      const Records second = other == runB ? b : scripted;
      const Records aFirst = patched(patched(target, a), second);
      // The later autopatch undoes what the earlier run changed where its
      // source agrees with the target it read.
      const Records otherFirst = patched(patched(target, second), a);
      EXPECT_TRUE(result == aFirst || result == otherFirst) << "round " << round;
    }
  }
}

}  // namespace
