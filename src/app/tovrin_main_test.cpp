// End-to-end checks of the command line: each form runs the real binary in a
// fresh folder and compares standard output, the exit status and the error
// file exactly.

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/fatal_error.h"
#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace {

using testutil::CTempDir;
using testutil::fileExists;
using testutil::makeDatabase;
using testutil::runTovrin;
using testutil::writeFile;

void expectFatal(const std::vector<std::string>& args, const std::string& message) {
  CTempDir dir;
  const testutil::RunResult run = runTovrin(args, dir.path());
  EXPECT_EQ(run.exitStatus, 1) << message;
  EXPECT_EQ(run.out, "") << message;
  EXPECT_EQ(run.err, "") << message;
  EXPECT_TRUE(run.hasErrorFile) << message;
  EXPECT_EQ(run.errorFile, message);
}

TEST(CommandLineTest, WrongArgumentCountsGiveTheirMessages) {
  const std::string diff = "You must specify two files to -diff";
  const std::string autopatch =
      "You must specify a source data directory and two files to -autopatch (dir oldFile "
      "newFile)";
  expectFatal({}, "You must specify a command or input file");
  expectFatal({"-diff"}, diff);
  expectFatal({"-diff", "a.db"}, diff);
  expectFatal({"-diff", "a.db", "b.db", "c.db"}, diff);
  expectFatal({"-autopatch", "data", "old.db"}, autopatch);
  expectFatal({"-autopatch", "data", "old.db", "new.db", "more"}, autopatch);
  expectFatal({"script.txt"}, "You must specify a source data directory");
}

TEST(CommandLineTest, AnythingElseIsAScriptName) {
  // Commands are matched exactly: "-DIFF" names a script that does not exist.
  expectFatal({"-DIFF", "a.db", "b.db"}, "Could not open file -DIFF");
  expectFatal({"missing.txt", "data", "ignored", "ignored"}, "Could not open file missing.txt");
  // Scripts that open but cannot be read: a folder, and a read that fails.
  const CTempDir folder;
  expectFatal({folder.path(), "data"}, "Could not open file " + folder.path());
#ifndef _WIN32  // a file that opens but fails to read
  expectFatal({"/proc/self/mem", "data"}, "Could not open file /proc/self/mem");
#endif
}

// Overwrites three pages in the middle of a database file with random bytes.
void damage(const std::string& path) {
  std::string bytes = testutil::readFile(path);
  std::mt19937 random(7);
  for (size_t i = 100 * 4096; i < 103 * 4096 && i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(random());
  }
  testutil::writeFile(path, bytes);
}

TEST(ReliabilityTest, ADamagedDatabaseFailsEveryJobAndIsNeverWritten) {
  CTempDir dir;
  testutil::Records records;
  for (int i = 0; i < 3000; ++i) records["k" + std::to_string(10000 + i)] = std::string(296, 'r');
  makeDatabase(dir / "one.db", records);
  records["added"] = "x";
  makeDatabase(dir / "data/new.db", records);
  std::filesystem::copy_file(dir / "one.db", dir / "cor.db");
  damage(dir / "cor.db");
  std::filesystem::copy_file(dir / "cor.db", dir / "data/old.db");
  const std::string damaged = testutil::readFile(dir / "cor.db");
  std::string script = "db : cor.db\n";
  for (int i = 0; i < 3000; i += 100)
    script += "key : k" + std::to_string(10000 + i) + "\ndelete\n";
  writeFile(dir / "patch.txt", script);

  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-diff", "cor.db", "one.db"}, "First key not found during diff"},
      {{"-diff", "one.db", "cor.db"}, "First key not found during extras"},
      {{"-autopatch", "data", "old.db", "new.db"}, "First key not found during diff"},
      {{"patch.txt", "data"}, "The database 'cor.db' could not be saved"},
  };
  for (const Case& c : cases) {
    const testutil::RunResult run = runTovrin(c.args, dir.path());
    EXPECT_EQ(run.exitStatus, 1) << c.message;
    EXPECT_EQ(run.errorFile, c.message);
  }
  EXPECT_TRUE(testutil::readFile(dir / "cor.db") == damaged);
  EXPECT_TRUE(testutil::readFile(dir / "data/old.db") == damaged);
  EXPECT_FALSE(fileExists(dir / "old.db"));
}

TEST(CommandLineTest, SuccessfulRunRemovesAnOldErrorFile) {
  CTempDir dir;
  writeFile(dir / "tovrin.error", "left by an earlier run");
  makeDatabase(dir / "a.db", {{"k", "v"}});
  const testutil::RunResult run = runTovrin({"-diff", "a.db", "a.db"}, dir.path());
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_FALSE(run.hasErrorFile);
}

TEST(PacksTest, EveryJobFindsDatabasesInsidePacks) {
  CTempDir dir;
  makeDatabase(dir / "old.db", {{"k1", "old"}, {"same", "s"}});
  makeDatabase(dir / "new.db", {{"k1", "new"}, {"k2", "added"}, {"same", "s"}});
  const std::string oldBytes = testutil::readFile(dir / "old.db");
  const std::string newBytes = testutil::readFile(dir / "new.db");
  testutil::makePack(dir / "data/base.zq", {{"old.db", oldBytes}, {"sub/new.db", newBytes, true}});
  testutil::makePack(dir / "local.zq", {{"a.db", oldBytes}, {"b.db", newBytes}});
  std::filesystem::remove(dir / "old.db");
  std::filesystem::remove(dir / "new.db");
  const std::string pack = testutil::readFile(dir / "data/base.zq");

  testutil::RunResult run = runTovrin({"-diff", "a.db", "b.db"}, dir.path());
  EXPECT_EQ(run.exitStatus, 0) << run.errorFile;
  EXPECT_NE(run.out.find("k2\n\nKeys containing data found to be different\n"), std::string::npos)
      << run.out;
  EXPECT_FALSE(fileExists(dir / "a.db")) << "reading leaves no file behind";

  run = runTovrin({"-autopatch", "data", "old.db", "sub/new.db"}, dir.path());
  EXPECT_EQ(run.out, "Patching old.db\n\nAdd: k2\nPatch: k1\n\nFinished patch\n");
  EXPECT_EQ(testutil::readDatabase(dir / "old.db"),
            (testutil::Records{{"k1", "new"}, {"k2", "added"}, {"same", "s"}}));

  writeFile(dir / "patch.txt", "db : sub/new.db\nkey : k1\ndelete\n");
  run = runTovrin({"patch.txt", "data"}, dir.path());
  EXPECT_EQ(run.out, "Open   : sub/new.db\nDelete : k1\n");
  EXPECT_EQ(testutil::readDatabase(dir / "sub/new.db"),
            (testutil::Records{{"k2", "added"}, {"same", "s"}}));
  EXPECT_TRUE(testutil::readFile(dir / "data/base.zq") == pack) << "packs are never written";
}

TEST(FatalErrorTest, FormatsAndCutsTheMessage) {
  EXPECT_EQ(
      testutil::fatalMessageOf([] { fatalError("Line %d: Invalid operation '%s'", 7, "dbx"); }),
      "Line 7: Invalid operation 'dbx'");
  const std::string longName(3000, 'n');
  EXPECT_EQ(testutil::fatalMessageOf([&] { fatalError("Could not open %s", longName.c_str()); }),
            "Could not open " + std::string(1023 - 15, 'n'));
}

}  // namespace
