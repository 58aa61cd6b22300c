#include "script/script_processor.h"

#include <filesystem>
#include <sstream>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace {

using testutil::CTempDir;
using testutil::Records;

TEST(ScriptProcessorTest, ReadLineCountsLinesAndLeavesTokenAndValueAtAComment) {
  CScriptProcessor processor;
  std::istringstream script("key : v\n#x : y\n\n");
  std::string token, value;
  EXPECT_TRUE(processor.readLine(script, token, value));
  EXPECT_TRUE(processor.readLine(script, token, value));
  EXPECT_EQ("key v", token + " " + value);
  EXPECT_FALSE(processor.readLine(script, token, value));
  EXPECT_EQ(" v", token + " " + value);
  EXPECT_EQ(3, processor.lineNumber());
}

TEST(ScriptProcessorTest, RegisterHandlerDestroysTheHandlerItReplaces) {
  CScriptProcessor processor;
  ASSERT_NE(nullptr, processor.findHandler("sResDef"));
  EXPECT_STREQ("CHandlerRes", processor.findHandler("sResDef")->getName());
  EXPECT_EQ(nullptr, processor.findHandler("sresdef"));

  struct CTracked : CHandler {
    explicit CTracked(bool& destroyed) : destroyed(destroyed) {}
    ~CTracked() override { destroyed = true; }
    bool& destroyed;
  };
  bool destroyed = false;
  auto tracked = std::make_unique<CTracked>(destroyed);
  CHandler* first = tracked.get();
  processor.registerHandler("sResDef", std::move(tracked));
  EXPECT_EQ(first, processor.findHandler("sResDef"));
  processor.registerHandler("sResDef", std::make_unique<CHandler>());
  EXPECT_TRUE(destroyed);
}

// The stored sResDef record of two texts and the little-endian bytes of fArg1 and fArg2.
std::string resDef(std::string templateName, const std::string& fileName,
                   const std::string& floats = std::string(8, '\0')) {
  templateName.resize(30, '\0');
  std::string record = templateName + fileName;
  record.resize(288, '\0');
  return record + floats;
}

// Runs scripts with a fresh working folder and data folder.
class ScriptJobTest : public ::testing::Test {
 protected:
  testutil::RunResult runScript(const std::string& script) {
    testutil::writeFile(work_ / "patch.txt", script);
    testutil::RunResult result = testutil::runTovrin({"patch.txt", data_.path()}, work_.path());
    EXPECT_EQ("", result.err);
    return result;
  }

  CTempDir data_;
  CTempDir work_;
};

TEST_F(ScriptJobTest, WritesAndDeletesRecordsInACopyOfTheDataFoldersDatabase) {
  const Records original{{"gone", "y"}, {"old", "x"}};
  testutil::makeDatabase(data_ / "base.db", original);
  const testutil::RunResult result = runScript(
      "# patch of base.db\n"
      "db : base.db\r\n"
      "struct : sResDef\n"
      "key : tex/a\n"
      "data\n"
      "\ttemplateName : Tmpl A\r\n"
      "\tfileName : a file.png\n"
      "\tfArg1 : 1.5\n"
      "\tfArg2 : -2\n"
      "# a comment ends the block\n"
      "key : tex/b\n"
      "data\n"
      "\ttemplateName : B\n"
      "\tfileName : b.png\n"
      "\n"
      "data\n"
      "\ttemplateName : B2\n"
      "\tfileName : b2.png\n"
      "key : gone\n"
      "delete\n"
      "key : never stored\n"
      "delete");
  EXPECT_EQ(0, result.exitStatus);
  EXPECT_FALSE(result.hasErrorFile);
  EXPECT_EQ(
      "Open   : base.db\nWrite  : tex/a\nWrite  : tex/b\nWrite  : tex/b\nDelete : gone\n"
      "Delete : never stored\n",
      result.out);
  const Records patched{
      {"old", "x"},
      {"tex/a", resDef("Tmpl A", "a file.png", std::string("\0\0\xC0\x3F\0\0\0\xC0", 8))},
      {"tex/b", resDef("B2", "b2.png")}};
  EXPECT_EQ(patched, testutil::readDatabase(work_ / "base.db"));
  EXPECT_EQ(original, testutil::readDatabase(data_ / "base.db"));
}

TEST_F(ScriptJobTest, SwitchesDatabasesAndKeepsWhatWasStoredBeforeAnError) {
  testutil::makeDatabase(work_ / "first.db", {{"k", "old"}});
  testutil::makeDatabase(data_ / "first.db", {{"k", "data copy"}});
  testutil::makeDatabase(data_ / "second.db", {});
  const testutil::RunResult result = runScript(
      "db : first.db\nstruct : sResDef\nkey : k\ndata\n\ttemplateName : T\n\tfileName : F\n"
      "db : second.db\ndata\n\ttemplateName : T2\n\tfileName : F2\nbogus : x\n");
  EXPECT_EQ(1, result.exitStatus);
  EXPECT_EQ("Line 11: Invalid operation 'bogus'", result.errorFile);
  EXPECT_EQ("Open   : first.db\nWrite  : k\nOpen   : second.db\nWrite  : k\n", result.out);
  EXPECT_EQ((Records{{"k", resDef("T", "F")}}), testutil::readDatabase(work_ / "first.db"));
  EXPECT_EQ((Records{{"k", resDef("T2", "F2")}}), testutil::readDatabase(work_ / "second.db"));
  EXPECT_EQ((Records{{"k", "data copy"}}), testutil::readDatabase(data_ / "first.db"));
  EXPECT_EQ(Records{}, testutil::readDatabase(data_ / "second.db"));
}

TEST_F(ScriptJobTest, NeverWritesOutsideTheCurrentFolder) {
  testutil::makeDatabase(data_ / "t.db", {{"k", "v"}});
  const std::string original = testutil::readFile(data_ / "t.db");
  const std::string up = "../" + std::filesystem::path(data_.path()).filename().string() + "/t.db";
  for (const std::string& name : {data_ / "t.db", up, std::string("../elsewhere.db")}) {
    const testutil::RunResult result =
        runScript("db : " + name + "\nstruct : sResDef\nkey : k\ndata\n\ttemplateName : t\n");
    EXPECT_EQ(1, result.exitStatus) << name;
    EXPECT_EQ("Line 1: the database '" + name + "' could not be opened", result.errorFile);
  }
  EXPECT_TRUE(original == testutil::readFile(data_ / "t.db"));
  EXPECT_FALSE(testutil::fileExists(work_ / "../elsewhere.db"));
}

TEST_F(ScriptJobTest, AFileSizeLimitIsAFailedWriteThatChangesNothing) {
  testutil::makeDatabase(work_ / "t.db", {{"k", "v"}});
  const std::string original = testutil::readFile(work_ / "t.db");
  std::string script = "db : t.db\nstruct : sResDef\n";
  for (int i = 0; i < 500; ++i) {
    script += "key : k" + std::to_string(i) + "\ndata\n\ttemplateName : t\n\tfileName : f\n";
  }
  testutil::writeFile(work_ / "patch.txt", script);
  const testutil::RunResult result =
      testutil::runTovrin({"patch.txt", data_.path()}, work_.path(), 64 * 1024);
  EXPECT_EQ(1, result.exitStatus);
  EXPECT_EQ("The database 't.db' could not be saved", result.errorFile);
  EXPECT_TRUE(original == testutil::readFile(work_ / "t.db"));
}

TEST(ScriptJobErrorTest, ReportsTheLineAndStopsTheRun) {
  const std::string prelude = "db : t.db\nstruct : sResDef\nkey : k\n";
  const std::string opened = "Open   : t.db\n";
  struct Case {
    std::string script;
    std::string out;
    std::string message;
  };
  const Case cases[] = {
      {"db : t.db\n\nstruct : sResdef\n", opened,
       "Line 3: Could not find a handler for struct 'sResdef'"},
      {"# c\ndb : missing.db\n", "Open   : missing.db\n",
       "Line 2: the database 'missing.db' could not be opened"},
      {"data\n", "", "Line 1: 'data' op requested, but no key has been defined"},
      {"key : k\ndata\n", "", "Line 2: 'data' op requested, but no database has been opened"},
      {"db : t.db\nkey : k\ndata\n", opened,
       "Line 3: 'data' op requested, but no struct has been selected"},
      {"delete\n", "Delete : \n", "Line 1: 'delete' op requested, but no key has been defined"},
      {"key : k\ndelete\n", "Delete : k\n",
       "Line 2: 'delete' op requested, but no database has been opened"},
      {prelude + "data\n\ttemplateName : t\n\tfArg1 : 1\n\n", opened + "Write  : k\n",
       "Line 6: Handler 'CHandlerRes': the fileName field has not been filled in"},
      {prelude + "data\n  \ttemplateName : t\n", opened + "Write  : k\n",
       "Line 4: Handler 'CHandlerRes': the templateName field has not been filled in"},
      // A data line without a value ends the block; the lines after it are operations.
      {prelude + "data\n\ttemplateName : t\n\tfileName : f\n\tfArg1 :1\n\tfArg2 : 2\n",
       opened + "Write  : k\n", "Line 8: Invalid operation 'fArg2'"},
      {prelude + "data\n\tFileName : f\n", opened + "Write  : k\n",
       "Handler 'CHandlerRes' does not know how to process token 'FileName'"},
  };
  for (const Case& c : cases) {
    CTempDir data;
    CTempDir work;
    testutil::makeDatabase(data / "t.db", {});
    testutil::writeFile(work / "patch.txt", c.script);
    const testutil::RunResult result = testutil::runTovrin({"patch.txt", data.path()}, work.path());
    EXPECT_EQ(1, result.exitStatus) << c.script;
    EXPECT_EQ(c.message, result.errorFile) << c.script;
    EXPECT_EQ(c.out, result.out) << c.script;
    EXPECT_EQ("", result.err) << c.script;
  }
}

}  // namespace
