// End-to-end checks of the command line: each form runs the real binary in a
// fresh folder and compares standard output, the exit status and the error
// file exactly.

#include <filesystem>
#include <string>
#include <vector>

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
      // Messages are cut to 1,023 characters.
      {{"-diff", std::string(3000, 'n'), "b.db"}, "Could not open " + std::string(1008, 'n')},
  };
  for (const auto& [args, message] : cases) {
    CTempDir dir;
    const testutil::RunResult run = runTovrin(args, dir.path());
    EXPECT_EQ(run.exitStatus, 1) << message;
    EXPECT_EQ(run.out + run.err, "") << message;
    EXPECT_EQ(run.errorFile, message);
  }
}

TEST(ReliabilityTest, DamagedDatabasesAndFailedWritesFailEveryJob) {
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
  // 14 + 4,082 + 4,096 bytes of output: the last write fails, and leaves the
  // final flush nothing to fail on.
  const std::string block = "\ndata\n\ttemplateName : t\n\tfileName : f\n";
  writeFile(dir / "long.txt", "db : one.db\nstruct : sResDef\nkey : " + std::string(4072, 'a') +
                                  block + "key : " + std::string(4086, 'b') + block);

  using Cases = std::vector<std::pair<std::vector<std::string>, std::string>>;
  auto expectFailures = [&](const Cases& cases, const std::string& out, long fileSizeLimit = -1) {
    for (const auto& [args, message] : cases) {
      const testutil::RunResult run = runTovrin(args, dir.path(), fileSizeLimit, out);
      EXPECT_EQ(run.exitStatus, 1) << message;
      EXPECT_EQ(run.errorFile, message);
    }
  };
  expectFailures({{{"-diff", "cor.db", "one.db"}, "First key not found during diff"},
                  {{"-diff", "one.db", "cor.db"}, "First key not found during extras"},
                  {{"-autopatch", "data", "old.db", "new.db"}, "First key not found during diff"},
                  {{"patch.txt", "data"}, "The database 'cor.db' could not be saved"}},
                 "");
  EXPECT_TRUE(readFile(dir / "cor.db") == damaged);
  EXPECT_TRUE(readFile(dir / "data/old.db") == damaged);
  EXPECT_FALSE(testutil::fileExists(dir / "old.db"));

#ifdef _WIN32
  GTEST_SKIP() << "Windows has no always-full device, nor a limit on the size of files written.";
#endif
  // What the jobs wrote is kept; a job that failed keeps its own message.
  const std::string full = "Could not write to standard output: No space left on device";
  expectFailures({{{"-diff", "one.db", "data/new.db"}, full},  // fails at the final flush
                  {{"-autopatch", "data", "one.db", "new.db"}, full},
                  {{"long.txt", "data"}, full},
                  {{"patch.txt", "data"}, "The database 'cor.db' could not be saved"}},
                 "/dev/full");
  EXPECT_EQ(testutil::readDatabase(dir / "one.db").size(), records.size() + 2);
  // A write beyond the limit fails like any other, rather than end the run.
  const std::string before = readFile(dir / "one.db");
  expectFailures({{{"long.txt", "data"}, "The database 'one.db' could not be saved"}}, "", 65536);
  EXPECT_TRUE(readFile(dir / "one.db") == before);
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
