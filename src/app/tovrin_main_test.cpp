// End-to-end checks of the command line and of what every job does when its
// databases are damaged or its writes fail.

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace {

using testutil::CTempDir;
using testutil::expectFatal;
using testutil::FatalRun;
using testutil::makeDatabase;
using testutil::readFile;
using testutil::Records;
using testutil::writeFile;

TEST(CommandLineTest, WrongArgumentsGiveTheirMessages) {
  const std::string diff = "You must specify two files to -diff";
  const std::string autopatch =
      "You must specify a source data directory and two files to -autopatch (dir oldFile "
      "newFile)";
  const CTempDir dir;
  const FatalRun cases[] = {
      {{}, "You must specify a command or input file"},
      {{"-diff", "a.db"}, diff},
      {{"-diff", "a.db", "b.db", "c.db"}, diff},
      {{"-autopatch", "data", "old.db"}, autopatch},
      {{"-autopatch", "data", "old.db", "new.db", "more"}, autopatch},
      {{"script.txt"}, "You must specify a source data directory"},
      // --help and --version are answered only as the one argument.
      {{"--HELP"}, "You must specify a source data directory"},
      {{"--help", "data"}, "Could not open file --help"},
      {{"-h", "data", "--version"}, "Could not open file -h"},
      // Anything else names a script: commands are matched exactly.
      {{"-DIFF", "a.db", "b.db"}, "Could not open file -DIFF"},
      {{"missing.txt", "data", "ignored"}, "Could not open file missing.txt"},
      // A folder, which POSIX systems open and then fail to read.
      {{dir.path(), "data"}, "Could not open file " + dir.path()},
      // Messages are cut to 1,023 characters.
      {{"-diff", std::string(3000, 'n'), "b.db"}, "Could not open " + std::string(1008, 'n')},
  };
  for (const FatalRun& run : cases) expectFatal(run, dir.path());
}

TEST(CommandLineTest, HelpAndVersionAnswerAndLeaveTheErrorFileAlone) {
  const CTempDir dir;
  writeFile(dir / "tovrin.error", "an earlier run's");
  const std::string usage = R"(Usage: tovrin SCRIPT DATADIR\n[\s\S]*\nSee man tovrin[\s\S]*)";
  const struct {
    std::vector<std::string> args;
    std::string outPattern;
  } cases[] = {
      {{"--help"}, usage},
      {{"-h"}, usage},
      {{"--version"}, "tovrin [0-9]+\\.[0-9]+\\.[0-9]+\n"},
  };
  for (const auto& run : cases) {
    SCOPED_TRACE(run.args[0]);
    const testutil::RunResult result = testutil::runInProcess(run.args, dir.path());
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_TRUE(std::regex_match(result.out, std::regex(run.outPattern))) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.errorFile, "an earlier run's");
  }
}

TEST(CommandLineTest, TheMessageReachesStandardErrorWhenTheErrorFileCannotBeWritten) {
  const CTempDir dir;
  // A folder that holds a file stands where the error file would be.
  std::filesystem::create_directory(dir / "tovrin.error");
  writeFile(dir / "tovrin.error/kept", "");
  const testutil::RunResult run = testutil::runTovrin({"-diff"}, dir.path());
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "Tovrin has reported an error: You must specify two files to -diff\n");
  EXPECT_TRUE(testutil::fileExists(dir / "tovrin.error/kept"));
}

TEST(ReliabilityTest, DamagedDatabasesAndFailedWritesFailEveryJob) {
  CTempDir dir;
  Records records = testutil::makeDamagedDatabase(dir / "cor.db");
  const std::string damaged = readFile(dir / "cor.db");
  makeDatabase(dir / "one.db", records);
  records["added"] = "x";
  makeDatabase(dir / "data/new.db", records);
  writeFile(dir / "data/old.db", damaged);
  std::string script = "db : cor.db\n", deletes = "Open   : cor.db\n";
  for (int i = 10000; i < 13000; i += 100) {
    script += "key : k" + std::to_string(i) + "\ndelete\n";
    deletes += "Delete : k" + std::to_string(i) + "\n";
  }
  writeFile(dir / "patch.txt", script);
  // 14 + 4,082 + 4,096 bytes of output: the last write fails, and leaves the
  // final flush nothing to fail on.
  const std::string a(4072, 'a'), b(4086, 'b'),
      block = "\ndata\n\ttemplateName : t\n\tfileName : f\n";
  writeFile(dir / "long.txt",
            "db : one.db\nstruct : sResDef\nkey : " + a + block + "key : " + b + block);

  const FatalRun onDamage[] = {
      {{"-diff", "cor.db", "one.db"}, "First key not found during diff"},
      {{"-diff", "one.db", "cor.db"}, "First key not found during extras"},
      {{"-autopatch", "data", "old.db", "new.db"},
       "First key not found during diff",
       "Patching old.db\n\n"},
      {{"patch.txt", "data"}, "The database 'cor.db' could not be saved", deletes},
  };
  for (const FatalRun& run : onDamage) expectFatal(run, dir.path());
  EXPECT_TRUE(readFile(dir / "cor.db") == damaged);
  EXPECT_TRUE(readFile(dir / "data/old.db") == damaged);
  EXPECT_FALSE(testutil::fileExists(dir / "old.db"));

#ifdef _WIN32
  GTEST_SKIP() << "Windows has no always-full device, nor a limit on the size of files written.";
#endif
  // What the jobs wrote is kept; a job that failed keeps its own message.
  const std::string full = "Could not write to standard output: No space left on device";
  const FatalRun toFullDevice[] = {
      {{"-diff", "one.db", "data/new.db"}, full},  // fails at the final flush
      {{"-autopatch", "data", "one.db", "new.db"}, full},
      {{"long.txt", "data"}, full},
      {{"patch.txt", "data"}, "The database 'cor.db' could not be saved"},
  };
  for (const FatalRun& run : toFullDevice) expectFatal(run, dir.path(), -1, "/dev/full");
  EXPECT_EQ(testutil::readDatabase(dir / "one.db").size(), records.size() + 2);
  // A write beyond the limit fails like any other, rather than end the run,
  // and the database holds what it held (once SQLite has rolled back what
  // the failed commit could not undo itself).
  const Records before = testutil::readDatabase(dir / "one.db");
  writeFile(dir / "long.txt", "db : one.db\nstruct : sResDef\nkey : " + a + block +
                                  "\tfArg1 : 2\n" + "key : " + b + block);
  expectFatal({{"long.txt", "data"},
               "The database 'one.db' could not be saved",
               "Open   : one.db\nWrite  : " + a + "\nWrite  : " + b + "\n"},
              dir.path(), 65536);
  testutil::runSql(dir / "one.db", "PRAGMA quick_check");
  EXPECT_TRUE(testutil::readDatabase(dir / "one.db") == before);
}

}  // namespace
