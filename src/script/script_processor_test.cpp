#include "script/script_processor.h"

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/fault_injection.h"

namespace {

using rk::eFault;
using testutil::CTempDir;
using testutil::makeDatabase;
using testutil::readDatabase;
using testutil::Records;
using testutil::writeFile;

// The stored sResDef record of two texts and the little-endian bytes of fArg1 and fArg2.
std::string resDef(std::string templateName, const std::string& fileName,
                   const std::string& floats = std::string(8, '\0')) {
  templateName.resize(30, '\0');
  std::string record = templateName + fileName;
  record.resize(288, '\0');
  return record + floats;
}

TEST(ScriptJobTest, WritesCopiesOfTheDataFoldersDatabasesAndKeepsThemOnAnError) {
  CTempDir data, work;
  makeDatabase(data / "base.db", {{"gone", "y"}, {"old", "x"}});
  makeDatabase(data / "second.db", {});
  writeFile(work / "patch.txt",
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
            "delete\n"
            "db : second.db\n"
            "data\n"
            "\ttemplateName : T\n"
            "\tfileName : F\n"
            "bogus : x");
  testutil::expectFatal(
      {{"patch.txt", data.path()},
       "Line 27: Invalid operation 'bogus'",
       "Open   : base.db\nWrite  : tex/a\nWrite  : tex/b\nWrite  : tex/b\nDelete : gone\n"
       "Delete : never stored\nOpen   : second.db\nWrite  : never stored\n"},
      work.path());
  const Records patched{
      {"old", "x"},
      {"tex/a", resDef("Tmpl A", "a file.png", std::string("\0\0\xC0\x3F\0\0\0\xC0", 8))},
      {"tex/b", resDef("B2", "b2.png")}};
  EXPECT_EQ(patched, readDatabase(work / "base.db"));
  EXPECT_EQ((Records{{"never stored", resDef("T", "F")}}), readDatabase(work / "second.db"));
}

TEST(ScriptJobErrorTest, ReportsTheLineAndStopsTheRun) {
  const std::string prelude = "db : t.db\nstruct : sResDef\nkey : k\n";
  const std::string opened = "Open   : t.db\n";
  struct Case {
    std::string script;  // "$DATA" stands for the data folder
    std::string out;
    std::string message;
    const char* copy;  // the keys of the copy of t.db afterwards; null: no copy
    eFault fault = eFault::kNone;
  };
  const Case cases[] = {
      {"db : t.db\n\nstruct : sResdef\n", opened,
       "Line 3: Could not find a handler for struct 'sResdef'", "k"},
      {"# c\ndb : missing.db\n", "Open   : missing.db\n",
       "Line 2: the database 'missing.db' could not be opened", nullptr},
      // 'data' checks before it prints, 'delete' after.
      {"data\n", "", "Line 1: 'data' op requested, but no key has been defined", nullptr},
      {"key : k\ndelete\n", "Delete : k\n",
       "Line 2: 'delete' op requested, but no database has been opened", nullptr},
      {"db : t.db\nkey : k\ndata\n", opened,
       "Line 3: 'data' op requested, but no struct has been selected", "k"},
      // Only a tab starts a data line; the record is stored where its block ends.
      {prelude + "data\n  \ttemplateName : t\n", opened + "Write  : k\n",
       "Line 4: Handler 'CHandlerRes': the templateName field has not been filled in", "k"},
      // A data line without a value ends the block; the lines after it are operations.
      {prelude + "key : new\ndata\n\ttemplateName : t\n\tfileName : f\n\tfArg1 :1\n\tfArg2 : 2\n",
       opened + "Write  : new\n", "Line 9: Invalid operation 'fArg2'", "k,new"},
      {prelude + "data\n\tFileName : f\n", opened + "Write  : k\n",
       "Handler 'CHandlerRes' does not know how to process token 'FileName'", "k"},
      // A name outside the current folder is never written.
      {"db : $DATA/t.db\n", "Open   : $DATA/t.db\n",
       "Line 1: the database '$DATA/t.db' could not be opened", nullptr},
      // Faults on cue: a copy whose writes failed never takes its name.
      {"db : t.db\nkey : k\ndelete\n", opened + "Delete : k\n",
       "Line 3: 'delete' op could not delete the key 'k'", nullptr, eFault::kRemove},
      {"db : t.db\nkey : k\ndelete\ndb : u.db\n", opened + "Delete : k\nOpen   : u.db\n",
       "The database 't.db' could not be saved", nullptr, eFault::kCommit},
      {"db : t.db\n", opened, "Line 1: the database 't.db' could not be opened", nullptr,
       eFault::kCreate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    CTempDir data, work;
    makeDatabase(data / "t.db", {{"k", "v"}});
    const std::string original = testutil::readFile(data / "t.db");
    auto fill = [&](std::string text) {
      for (size_t at; (at = text.find("$DATA")) != std::string::npos;) {
        text.replace(at, 5, data.path());
      }
      return text;
    };
    writeFile(work / "patch.txt", fill(c.script));
    testutil::expectFatal({{"patch.txt", data.path()}, fill(c.message), fill(c.out), c.fault},
                          work.path());
    std::string keys;
    if (testutil::fileExists(work / "t.db")) {
      for (const auto& record : readDatabase(work / "t.db")) keys += "," + record.first;
    }
    EXPECT_EQ(c.copy ? std::string(",") + c.copy : "", keys);
    EXPECT_TRUE(original == testutil::readFile(data / "t.db"));
  }
}

}  // namespace
