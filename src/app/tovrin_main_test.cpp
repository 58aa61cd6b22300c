// End-to-end checks of the command line: each form runs the real binary in a
// fresh folder and compares standard output, the exit status and the error
// file exactly.

#include <filesystem>
#include <string>
#include <vector>

#include "app/fatal_error.h"
#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace {

using testutil::CTempDir;
using testutil::makeDatabase;
using testutil::readFile;
using testutil::Records;
using testutil::runTovrin;
using testutil::writeFile;

TEST(CommandLineTest, WrongArgumentsGiveTheirMessages) {
  const std::string diff = "You must specify two files to -diff";
  const std::string autopatch =
      "You must specify a source data directory and two files to -autopatch (dir oldFile "
      "newFile)";
  const CTempDir folder;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "You must specify a command or input file"},
      {{"-diff", "a.db"}, diff},
      {{"-diff", "a.db", "b.db", "c.db"}, diff},
      {{"-autopatch", "data", "old.db"}, autopatch},
      {{"-autopatch", "data", "old.db", "new.db", "more"}, autopatch},
      {{"script.txt"}, "You must specify a source data directory"},
      // Anything else names a script: commands are matched exactly.
      {{"-DIFF", "a.db", "b.db"}, "Could not open file -DIFF"},
      {{"missing.txt", "data", "ignored"}, "Could not open file missing.txt"},
      // Scripts that open but cannot be read.
      {{folder.path(), "data"}, "Could not open file " + folder.path()},
#ifndef _WIN32
      {{"/proc/self/mem", "data"}, "Could not open file /proc/self/mem"},
#endif
  };
  for (const auto& [args, message] : cases) {
    CTempDir dir;
    const testutil::RunResult run = runTovrin(args, dir.path());
    EXPECT_EQ(run.exitStatus, 1) << message;
    EXPECT_EQ(run.out + run.err, "") << message;
    EXPECT_EQ(run.errorFile, message);
  }
  const std::string longName(3000, 'n');
  EXPECT_EQ(testutil::fatalMessageOf([&] { fatalError("Could not open %s", longName.c_str()); }),
            "Could not open " + std::string(1023 - 15, 'n'));
}

TEST(ReliabilityTest, ADamagedDatabaseFailsEveryJobAndIsNeverWritten) {
  CTempDir dir;
  Records records;
  std::string script = "db : cor.db\n";
  for (int i = 0; i < 3000; ++i) {
    records["k" + std::to_string(10000 + i)] = std::string(296, 'r');
    if (i % 100 == 0) script += "key : k" + std::to_string(10000 + i) + "\ndelete\n";
  }
  makeDatabase(dir / "one.db", records);
  records["added"] = "x";
  makeDatabase(dir / "data/new.db", records);
  // Three pages in the middle overwritten.
  std::string damaged = readFile(dir / "one.db");
  for (size_t i = 100 * 4096; i < 103 * 4096; ++i) damaged[i] = static_cast<char>(i * 7919 >> 3);
  writeFile(dir / "cor.db", damaged);
  writeFile(dir / "data/old.db", damaged);
  writeFile(dir / "patch.txt", script);

  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-diff", "cor.db", "one.db"}, "First key not found during diff"},
      {{"-diff", "one.db", "cor.db"}, "First key not found during extras"},
      {{"-autopatch", "data", "old.db", "new.db"}, "First key not found during diff"},
      {{"patch.txt", "data"}, "The database 'cor.db' could not be saved"},
  };
  for (const auto& [args, message] : cases) {
    const testutil::RunResult run = runTovrin(args, dir.path());
    EXPECT_EQ(run.exitStatus, 1) << message;
    EXPECT_EQ(run.errorFile, message);
  }
  EXPECT_TRUE(readFile(dir / "cor.db") == damaged);
  EXPECT_TRUE(readFile(dir / "data/old.db") == damaged);
  EXPECT_FALSE(testutil::fileExists(dir / "old.db"));
}

TEST(ReliabilityTest, OutputThatCannotBeWrittenFailsEveryJob) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no device that is always full to send standard output to.";
#endif
  CTempDir dir;
  Records many;
  for (int i = 0; i < 500; ++i) many["key " + std::to_string(i)] = "v";
  makeDatabase(dir / "many.db", many);
  makeDatabase(dir / "one.db", {{"key 0", "w"}});
  makeDatabase(dir / "t.db", {});
  // 14 + 4,082 + 4,096 bytes: the output ends on a buffer boundary, so that
  // the final flush has nothing left to fail on.
  const std::string block = "\ndata\n\ttemplateName : t\n\tfileName : f\n";
  const std::string key1(4072, 'a'), key2(4086, 'b');
  writeFile(dir / "ok.txt",
            "db : t.db\nstruct : sResDef\nkey : " + key1 + block + "key : " + key2 + block);
  writeFile(dir / "bad.txt", "db : t.db\nkey : k\ndelete\nbogus : x\n");
  const std::string full = "Could not write to standard output: No space left on device";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-diff", "many.db", "one.db"}, full},  // fails while printing
      {{"-diff", "one.db", "one.db"}, full},   // fails only when flushed at the end
      {{"ok.txt", "."}, full},
      {{"-autopatch", ".", "one.db", "many.db"}, full},
      {{"bad.txt", "."}, "Line 4: Invalid operation 'bogus'"},  // the job's own failure
  };
  for (const auto& [args, message] : cases) {
    const testutil::RunResult run = runTovrin(args, dir.path(), -1, "/dev/full");
    EXPECT_EQ(run.exitStatus, 1) << message;
    EXPECT_EQ(run.errorFile, message);
  }
  // What the jobs wrote stays as they left it.
  EXPECT_EQ(testutil::readDatabase(dir / "t.db").size(), 2u);
  EXPECT_EQ(testutil::readDatabase(dir / "one.db"), many);
}

TEST(PacksTest, JobsFindDatabasesInsidePacksAndNeverWriteThem) {
  CTempDir dir;
  makeDatabase(dir / "old.db", {{"k1", "old"}, {"same", "s"}});
  makeDatabase(dir / "new.db", {{"k1", "new"}, {"k2", "added"}, {"same", "s"}});
  const std::string oldBytes = readFile(dir / "old.db");
  const std::string newBytes = readFile(dir / "new.db");
  testutil::makePack(dir / "data/base.zq", {{"old.db", oldBytes}, {"sub/new.db", newBytes, true}});
  testutil::makePack(dir / "local.zq", {{"a.db", oldBytes}, {"b.db", newBytes}});
  std::filesystem::remove(dir / "old.db");
  std::filesystem::remove(dir / "new.db");
  const std::string pack = readFile(dir / "data/base.zq");

  testutil::RunResult run = runTovrin({"-diff", "a.db", "b.db"}, dir.path());
  EXPECT_EQ(run.exitStatus, 0) << run.errorFile;
  EXPECT_NE(run.out.find("k2\n\nKeys containing data found to be different\n"), std::string::npos)
      << run.out;
  EXPECT_FALSE(testutil::fileExists(dir / "a.db")) << "reading leaves no file behind";

  run = runTovrin({"-autopatch", "data", "old.db", "sub/new.db"}, dir.path());
  EXPECT_EQ(run.out, "Patching old.db\n\nAdd: k2\nPatch: k1\n\nFinished patch\n");
  EXPECT_EQ(testutil::readDatabase(dir / "old.db"),
            (Records{{"k1", "new"}, {"k2", "added"}, {"same", "s"}}));
  EXPECT_TRUE(readFile(dir / "data/base.zq") == pack);
}

}  // namespace
