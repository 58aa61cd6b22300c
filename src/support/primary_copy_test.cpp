// The copy of a database into the current folder, end to end: what
// concurrent runs, live databases, large files and links do to it. What a
// copy holds, from a folder or a pack, is checked by the jobs' own tests.

#include "support/primary_copy.h"

#include <sqlite3.h>

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace {

using testutil::CTempDir;
using testutil::makeDatabase;
using testutil::readDatabase;
using testutil::readFile;
using testutil::Records;

// Runs `script` with `data` as the data folder in `work`; expects success.
void runScript(const CTempDir& data, const CTempDir& work, const std::string& script) {
  testutil::writeFile(work / "patch.txt", script);
  const testutil::RunResult run = testutil::runTovrin({"patch.txt", data.path()}, work.path());
  EXPECT_EQ(run.exitStatus, 0) << run.errorFile;
}

// A script that writes one record under `key` into `name`.
std::string scriptFor(const std::string& name, const std::string& key) {
  return "db : " + name + "\nstruct : sResDef\nkey : " + key +
         "\ndata\n\ttemplateName : t\n\tfileName : f\n";
}

TEST(PrimaryCopyJobTest, ConcurrentCopiesOfOneDatabaseNeverLoseRecords) {
  CTempDir data;
  Records records;
  for (int i = 0; i < 3000; ++i) records["key " + std::to_string(i)] = std::string(300, 'v');
  makeDatabase(data / "big.db", records);
  // Two runs in one folder, each adding its own key to the copy that one of
  // them makes: whatever the timing, both keys and every record end up there.
  for (int round = 0; round < 40 && !HasFailure(); ++round) {
    CTempDir work;
    testutil::writeFile(work / "one.txt", scriptFor("big.db", "one"));
    testutil::writeFile(work / "two.txt", scriptFor("big.db", "two"));
    const auto runs = testutil::runTovrinTogether(
        {{"one.txt", data.path()}, {"two.txt", data.path()}}, work.path());
    ASSERT_EQ(runs[0].exitStatus + runs[1].exitStatus, 0) << "round " << round;
    const Records result = readDatabase(work / "big.db");
    EXPECT_EQ(result.size(), records.size() + 2) << "round " << round;
    EXPECT_EQ(result.count("one") + result.count("two"), 2u) << "round " << round;
  }
}

TEST(PrimaryCopyJobTest, LiveDatabasesAreCopiedWithTheirCommittedPagesAndLeftAsTheyWere) {
  CTempDir data, work;
  makeDatabase(data / "w.db", {{"old", "1"}});
  sqlite3* writer = nullptr;  // holds committed rows in its WAL file
  ASSERT_EQ(sqlite3_open((data / "w.db").c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer,
                         "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
                         "INSERT INTO records VALUES('in wal', x'02')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  const auto before = testutil::filesIn(data.path());
  runScript(data, work, "db : w.db\nkey : old\ndelete\n");
  EXPECT_TRUE(testutil::filesIn(data.path()) == before) << "nothing of the data folder changed";
  sqlite3_close(writer);
  EXPECT_EQ(readDatabase(work / "w.db"), (Records{{"in wal", "\x02"}}));

  // A killed writer's journal would have to be rolled back into the data
  // folder's file first: it is refused instead.
  Records records;
  for (int i = 0; i < 500; ++i) records["k" + std::to_string(i)] = "committed";
  makeDatabase(data / "x.db", records);
  testutil::leaveHotJournal(data / "x.db", "UPDATE records SET data = 'uncommitted'");
  const auto hot = testutil::filesIn(data.path());
  testutil::writeFile(work / "patch.txt", "db : x.db\n");
  testutil::expectFatal({{"patch.txt", data.path()},
                         "Line 1: the database 'x.db' could not be opened",
                         "Open   : x.db\n"},
                        work.path());
  EXPECT_TRUE(testutil::filesIn(data.path()) == hot);
  EXPECT_FALSE(testutil::fileExists(work / "x.db"));
}

TEST(PrimaryCopyJobTest, ADatabaseBeyond2GiBIsCopiedWholeAndReadFromAPack) {
  CTempDir work;
  // Bigger than 2 GiB on its face, sparse on disk: SQLite trusts the page
  // count in its header, so the bytes after it are holes nobody reads.
  makeDatabase(work / "data/big.db", {{"k", "old"}});
  constexpr uintmax_t kSize = 2150000000u;
  std::filesystem::resize_file(work / "data/big.db", kSize);
  makeDatabase(work / "data/new.db", {{"k", "new"}});
  const testutil::RunResult run =
      testutil::runInProcess({"-autopatch", "data", "big.db", "new.db"}, work.path());
  EXPECT_EQ(run.out, "Patching big.db\n\nPatch: k\n\nFinished patch\n");
  EXPECT_EQ(readDatabase(work / "big.db"), (Records{{"k", "new"}}));
  EXPECT_EQ(std::filesystem::file_size(work / "big.db"), kSize);
  // Packed, and read from the pack in place; its zeros inflate to holes.
  testutil::makePack(work / "big.zq", {{"packed.db", "", false, false, work / "data/big.db"}});
  const testutil::RunResult diff =
      testutil::runInProcess({"-diff", "packed.db", "data/new.db"}, work.path());
  EXPECT_EQ(diff.exitStatus, 0) << diff.errorFile;
  EXPECT_EQ(diff.out.substr(diff.out.size() - 4), "-\nk\n") << "k differs, nothing else";
}

TEST(PrimaryCopyJobTest, ALinkTheUserPlacedIsFollowedButADanglingOneIsNot) {
  CTempDir data, work, elsewhere;
  makeDatabase(data / "x.db", {{"k", "v"}});
  makeDatabase(elsewhere / "real.db", {{"k", "v"}});
  std::error_code error;
  std::filesystem::create_symlink(elsewhere / "real.db", work / "linked.db", error);
  if (!error) std::filesystem::create_symlink(work / "victim", work / "x.db", error);
  if (error) GTEST_SKIP() << "This system does not let the test make a link: " << error.message();
  runScript(data, work, scriptFor("linked.db", "new"));
  EXPECT_EQ(readDatabase(elsewhere / "real.db").size(), 2u) << "the target of linked.db";
  EXPECT_TRUE(std::filesystem::is_symlink(work / "linked.db"));
  // A copy never goes where a link at its name points.
  testutil::writeFile(work / "patch.txt", scriptFor("x.db", "new"));
  testutil::expectFatal({{"patch.txt", data.path()},
                         "Line 1: the database 'x.db' could not be opened",
                         "Open   : x.db\n"},
                        work.path());
  EXPECT_FALSE(testutil::fileExists(work / "victim"));
}

}  // namespace
