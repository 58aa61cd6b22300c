// End-to-end checks of the command line: each form runs the real binary in a
// fresh folder and compares standard output, the exit status and the error
// file exactly.

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
}

TEST(CommandLineTest, SuccessfulRunRemovesAnOldErrorFile) {
  CTempDir dir;
  writeFile(dir / "tovrin.error", "left by an earlier run");
  makeDatabase(dir / "a.db", {{"k", "v"}});
  const testutil::RunResult run = runTovrin({"-diff", "a.db", "a.db"}, dir.path());
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_FALSE(run.hasErrorFile);
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
