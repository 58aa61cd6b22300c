#include "vozidiri/primary_folder.h"

#include <sqlite3.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/database.h"
#include "vozidiri/fault_injection.h"
#include "vozidiri/file_system.h"

namespace rk {
namespace {

using testutil::CTempDir;

#ifndef _WIN32  // starting processes that share this one's state needs fork
// Reads the counter of `name`, then stores it plus one, under the lock, as a
// job that decides its writes from its reads does: copying the database out
// of the data folder first when the primary folder lacks it.
bool increment(CFileSystem& fs, const std::string& name) {
  CDatabase db;
  const void* data = nullptr;
  int length = 0;
  if (!fs.primaryFolder().lockForWriting(name) || !db.open(name, CDatabase::eOpenRead) ||
      !db.fetch("n", data, length)) {
    return false;
  }
  const std::string next = std::to_string(
      std::stoi(std::string(static_cast<const char*>(data), static_cast<size_t>(length))) + 1);
  if (!db.close()) return false;
  if (!fs.primaryFolder().hasFile(name)) {
    const TRefPointer<CStream> in = fs.openRead(name, CStream::eBinary);
    const TRefPointer<CStream> out = fs.openWrite(name, CStream::eBinary);
    if (out) out->copyFrom(in.get(), in->getSize());
  }
  return db.open(name, CDatabase::eOpenWrite) &&
         db.store("n", next.data(), static_cast<int>(next.size())) && db.close();
}

TEST(PrimaryFolderTest, RunsThatReadThenWriteTakeTurns) {
  // Four processes increment one counter at once: none may lose another's
  // update, whether the database is copied out or already in place.
  for (const bool inPlace : {false, true}) {
    CTempDir data, work;
    testutil::makeDatabase((inPlace ? work : data) / "c.db", {{"n", "0"}});
    TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(work.path(), "");
    fs->initPath(data.path(), "");
    for (int child = 0; child < 4; ++child) {
      if (fork() == 0) _exit(increment(*fs, "c.db") ? 0 : 1);
    }
    for (int child = 0; child < 4; ++child) {
      int status = 0;
      wait(&status);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "in place: " << inPlace;
    }
    EXPECT_EQ(testutil::readDatabase(work / "c.db"), (testutil::Records{{"n", "4"}}))
        << "in place: " << inPlace;
  }
}

TEST(PrimaryFolderTest, RunsThatWriteDifferentNamesDoNotWaitForEachOther) {
  CTempDir data, work;
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(work.path(), "");
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready) + pipe(release), 0);
  if (fork() == 0) {  // another run, about to copy a.db into the folder
    char held = fs->primaryFolder().lockForWriting("a.db") ? 'y' : 'n';
    close(release[1]);
    if (write(ready[1], &held, 1) != 1 || read(release[0], &held, 1) < 0) _exit(1);
    _exit(0);  // once the test lets go of `release`
  }
  char held = 0;
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  EXPECT_EQ(held, 'y');
  CFaultScope faults;
  faults.lockWait(200);
  EXPECT_TRUE(fs->primaryFolder().lockForWriting("b.db"));
  EXPECT_FALSE(fs->primaryFolder().lockForWriting("a.db")) << "the same name waits";
  for (const int end : {ready[0], ready[1], release[0], release[1]}) close(end);
  wait(nullptr);
}
#endif

TEST(PrimaryFolderTest, ALockHeldLongerThanTheWaitIsNotHad) {
  CTempDir work;
  testutil::makeDatabase(work / "c.db", {{"n", "0"}});
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(work.path(), "");
  sqlite3* other = nullptr;  // another program writing it
  sqlite3_open((work / "c.db").c_str(), &other);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  CFaultScope faults;
  faults.lockWait(200);
  EXPECT_FALSE(fs->primaryFolder().lockForWriting("c.db"));
  sqlite3_close(other);
}

}  // namespace
}  // namespace rk
