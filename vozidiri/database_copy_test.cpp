// The copy of a database into the primary folder: what takes the name,
// when, and what a run that ends badly leaves behind.

#include "vozidiri/database_copy.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/database.h"
#include "vozidiri/fault_injection.h"
#include "vozidiri/file_system.h"

namespace rk {
namespace {

using testutil::CTempDir;
using testutil::fileExists;
using testutil::Records;

const Records kSource = {{"a", "1"}, {"b", std::string(100000, 'b')}};

// The names of the files in `folder`.
std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& [name, content] : testutil::filesIn(folder)) names.push_back(name);
  return names;
}

// Copies `name` of the data folder into the primary one, as ensurePrimaryCopy
// does, `count` bytes of it (-2: what getSize says).
bool copy(CFileSystem& fs, const std::string& name, int count = -2) {
  const TRefPointer<CStream> in = fs.openRead(name, CStream::eBinary);
  const TRefPointer<CStream> out = fs.openWrite(name, CStream::eBinary);
  return in && out && out->copyFrom(in.get(), count == -2 ? in->getSize() : count);
}

TEST(DatabaseCopyTest, TakesItsNameOnlyWhenItsWriteSessionEndsWhole) {
  struct Case {
    const char* what;
    const char* source;  // in the data folder
    int count;
    eFault fault;
    const char* key;          // stored during the session
    bool named;               // the copy has taken its name after the close
    const char* beside = "";  // a file left beside the name, which stays as it is
  };
  const Case cases[] = {
      {"whole", "x.db", -2, eFault::kNone, "k", true},
      {"to the end", "x.db", -1, eFault::kNone, "k", true},
      {"nothing stored", "x.db", -2, eFault::kNone, nullptr, true},
      {"empty", "empty.db", -2, eFault::kNone, "k", true},
      {"packed", "packed.db", -2, eFault::kNone, "k", true},
      {"packed in WAL mode", "wal.db", -2, eFault::kNone, "k", true},
      {"stops short", "x.db", 100, eFault::kNone, "k", false},
      {"not a database", "text.db", -2, eFault::kNone, "k", false},
      {"copy fails", "sub/x.db", -2, eFault::kCopy, "k", false},
      {"page write fails", "x.db", -2, eFault::kWrite, "k", false},
      {"store fails", "sub/x.db", -2, eFault::kStore, "k", false},
      {"name not taken", "x.db", -2, eFault::kPublish, "k", false},
      // SQLite would roll a journal or WAL file found beside the name into it.
      {"journal beside", "x.db", -2, eFault::kNone, "k", false, "x.db-journal"},
      {"WAL beside", "x.db", -2, eFault::kNone, "k", false, "x.db-wal"},
  };
  for (const Case& c : cases) {
    CTempDir data, work;
    testutil::makeDatabase(data / "x.db", kSource);
    testutil::makeDatabase(data / "sub/x.db", kSource);
    testutil::writeFile(data / "empty.db", "");
    testutil::writeFile(data / "text.db", "short, and no database");
    testutil::makeDatabase(data / "wal.db", kSource);
    testutil::runSql(data / "wal.db", "PRAGMA journal_mode = WAL");
    testutil::makePack(data / "p.zq", {{"packed.db", testutil::readFile(data / "x.db")},
                                       {"wal.db", testutil::readFile(data / "wal.db"), true}});
    if (*c.beside) testutil::writeFile(work / c.beside, "left by a killed run");
    TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(work.path(), "");
    fs->initPath(data.path(), ".zq");
    CFaultScope faults;
    faults.inject(c.fault);

    const bool copied = copy(*fs, c.source, c.count);
    EXPECT_EQ(copied, c.fault != eFault::kCopy && !*c.beside) << c.what;
    std::vector<std::string> before = filesIn(work.path());
#ifdef _WIN32
    // Windows has no file without a name: until then the copy has a temporary one.
    const std::string temporary = std::string(c.source) + ".partial-";
    before.erase(
        std::remove_if(before.begin(), before.end(),
                       [&](const std::string& name) { return name.rfind(temporary, 0) == 0; }),
        before.end());
#endif
    const std::vector<std::string> left =
        *c.beside ? std::vector<std::string>{c.beside} : std::vector<std::string>{};
    EXPECT_TRUE(before == left || before == std::vector<std::string>{"sub"})
        << c.what << ": nothing has a name before the close";
    CDatabase db;
    bool ok = db.open(c.source, CDatabase::eOpenWrite);
    if (ok && c.key) ok = db.store(c.key, "v", 1);
    ok = db.close() && ok;
    EXPECT_EQ(ok, c.named) << c.what << ": " << db.lastError();
    if (c.named) {
      Records expected = std::string(c.source) == "empty.db" ? Records{} : kSource;
      if (c.key) expected[c.key] = "v";
      EXPECT_EQ(testutil::readDatabase(work / c.source), expected) << c.what;
    }
    EXPECT_EQ(filesIn(work.path()), c.named ? std::vector<std::string>{c.source} : left)
        << c.what << ": no folder made for a copy that was dropped";
  }
}

#ifndef _WIN32
TEST(DatabaseCopyTest, AKilledRunLeavesTheNameAsItWasAndNothingBehind) {
  // Where the system offers no file without a name, the copy has a
  // temporary one, which the next copy made there removes once its run has
  // ended.
  for (const bool unnamed : {true, false}) {
    CTempDir data, work;
    Records records;
    for (int i = 0; i < 2000; ++i) records["k" + std::to_string(i)] = std::string(300, 'r');
    testutil::makeDatabase(data / "x.db", records);
    TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(work.path(), "");
    fs->initPath(data.path(), "");
    if (fork() == 0) {
      const CFaultScope faults;
      if (!unnamed) faults.inject(eFault::kUnnamed);
      CDatabase db;
      if (!copy(*fs, "x.db") || !db.open("x.db", CDatabase::eOpenWrite)) _exit(1);
      for (const auto& record : records) (void)db.store(record.first.c_str(), "new", 3);
      raise(SIGKILL);  // mid-session, its pages written to the copy
    }
    int status = 0;
    wait(&status);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child did not get as far as its writes";
    const std::vector<std::string> left = filesIn(work.path());
    ASSERT_EQ(left.size(), unnamed ? 0u : 1u);
    EXPECT_TRUE(unnamed || left.front().rfind("x.db.partial-", 0) == 0) << left.front();

    // A user's files of like names are not the tool's to remove.
    const std::vector<std::string> users = {"x.db.partial-notes.txt",
                                            "x.db.partial-0123456789abcdef"};
    for (const std::string& name : users) testutil::writeFile(work / name, "mine");
    CFaultScope faults;
    if (!unnamed) faults.inject(eFault::kUnnamed);
    CDatabase db;
    ASSERT_TRUE(copy(*fs, "x.db") && db.open("x.db", CDatabase::eOpenWrite) && db.close());
    EXPECT_EQ(filesIn(work.path()), (std::vector<std::string>{"x.db", users[1], users[0]}));
    EXPECT_EQ(testutil::readDatabase(work / "x.db"), records);
  }
}
#endif

}  // namespace
}  // namespace rk
