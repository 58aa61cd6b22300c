#include "vozidiri/database.h"

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/file_system.h"

namespace rk {
namespace {

using testutil::CScopedCurrentDir;
using testutil::CTempDir;
using testutil::fileExists;
using testutil::makeDatabase;
using testutil::readDatabase;
using testutil::Records;
using testutil::writeFile;

std::string fetched(CDatabase& db, const char* key) {
  const void* data = nullptr;
  int length = -1;
  if (!db.fetch(key, data, length)) return "<none>";
  EXPECT_NE(data, nullptr);
  return std::string(static_cast<const char*>(data), static_cast<size_t>(length));
}

std::vector<std::string> walk(CDatabase& db) {
  std::vector<std::string> keys;
  const char* key = nullptr;
  for (bool more = db.firstKey(key); more; more = db.nextKey(key)) keys.emplace_back(key);
  return keys;
}

long pragma(const std::string& path, const char* name) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, (std::string("PRAGMA ") + name).c_str(), -1, &statement, nullptr);
  sqlite3_step(statement);
  const long value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

TEST(DatabaseTest, OpenAcceptsOnlyRecordDatabasesAndNeverCreatesAFile) {
  CTempDir dir;
  CDatabase db;
  EXPECT_FALSE(db.open(dir / "missing.db", CDatabase::eOpenRead));
  EXPECT_FALSE(db.open(dir / "missing.db", CDatabase::eOpenWrite));
  EXPECT_FALSE(fileExists(dir / "missing.db"));

  EXPECT_EQ(db.lastError(), "missing");

  writeFile(dir / "text.db", "this is not a database at all, not even close to one....");
  EXPECT_FALSE(db.open(dir / "text.db", CDatabase::eOpenRead));
  EXPECT_FALSE(db.open(dir / "text.db", CDatabase::eOpenWrite));
  EXPECT_EQ(db.lastError(), "not a record database");

  sqlite3* other = nullptr;
  sqlite3_open((dir / "other.db").c_str(), &other);
  sqlite3_exec(other, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_FALSE(db.open(dir / "other.db", CDatabase::eOpenRead));
  EXPECT_FALSE(db.open(dir / "other.db", CDatabase::eOpenWrite));
  EXPECT_EQ(db.lastError(), "not a record database");

  // Made by someone else (no application id): still a record database.
  makeDatabase(dir / "foreign.db", {{"k", "v"}});
  EXPECT_TRUE(db.open(dir / "foreign.db", CDatabase::eOpenRead));
  EXPECT_EQ(fetched(db, "k"), "v");
  EXPECT_FALSE(db.open(dir / "foreign.db", static_cast<CDatabase::eOpenFlags>(3)));
  EXPECT_FALSE(db.isOpen());
}

TEST(DatabaseTest, EmptyFileIsAnEmptyDatabase) {
  CTempDir dir;
  writeFile(dir / "empty.db", "");
  {
    CDatabase db;
    ASSERT_TRUE(db.open(dir / "empty.db", CDatabase::eOpenRead));
    const char* key = nullptr;
    EXPECT_FALSE(db.firstKey(key));
    EXPECT_FALSE(db.exists("k"));
    EXPECT_FALSE(db.store("k", "v", 1));
    EXPECT_TRUE(db.close());
  }
  EXPECT_EQ(std::filesystem::file_size(dir / "empty.db"), 0u) << "reading changes nothing";

  CDatabase db;
  ASSERT_TRUE(db.open(dir / "empty.db", CDatabase::eOpenWrite));
  EXPECT_TRUE(db.store("k", "v", 1));
  EXPECT_TRUE(db.close());
  EXPECT_EQ(readDatabase(dir / "empty.db"), (Records{{"k", "v"}}));
  EXPECT_EQ(pragma(dir / "empty.db", "application_id"), 0x564F5A49);
  EXPECT_EQ(pragma(dir / "empty.db", "user_version"), 1);
}

TEST(DatabaseTest, StoresFetchesAndRemovesRecords) {
  CTempDir dir;
  makeDatabase(dir / "a.db", {{"old", "1"}, {"gone", "2"}});
  CDatabase db;
  ASSERT_TRUE(db.open(dir / "a.db", CDatabase::eOpenWrite));
  EXPECT_TRUE(db.store("old", "replaced", 8));
  EXPECT_TRUE(db.store("new", std::string("a\0b", 3).data(), 3));
  EXPECT_TRUE(db.store("empty", nullptr, 0));
  EXPECT_FALSE(db.store("bad", "x", -1));
  EXPECT_FALSE(db.store(nullptr, "x", 1));

  EXPECT_TRUE(db.exists("gone"));
  EXPECT_TRUE(db.remove("gone"));
  EXPECT_FALSE(db.exists("gone"));
  EXPECT_FALSE(db.remove("gone"));

  EXPECT_EQ(fetched(db, "old"), "replaced");
  EXPECT_EQ(fetched(db, "new"), std::string("a\0b", 3));
  EXPECT_EQ(fetched(db, "empty"), "");
  EXPECT_EQ(fetched(db, "gone"), "<none>");

  // A record fetched from this database may be stored back under another key.
  const void* data = nullptr;
  int length = 0;
  ASSERT_TRUE(db.fetch("old", data, length));
  EXPECT_TRUE(db.store("copy", data, length));
  EXPECT_TRUE(db.close());

  EXPECT_EQ(readDatabase(dir / "a.db"), (Records{{"old", "replaced"},
                                                 {"new", std::string("a\0b", 3)},
                                                 {"empty", ""},
                                                 {"copy", "replaced"}}));
}

TEST(DatabaseTest, WalkVisitsKeysInByteOrderUndisturbedByOtherCalls) {
  CTempDir dir;
  const std::string high = "\xc3\xa9";
  makeDatabase(dir / "a.db",
               {{"b", "1"}, {"a b", "2"}, {"B", "3"}, {"%d", "4"}, {high, "5"}, {"a", "6"}});
  makeDatabase(dir / "b.db", {{"a", "x"}});
  CDatabase a, b;
  ASSERT_TRUE(a.open(dir / "a.db", CDatabase::eOpenRead));
  ASSERT_TRUE(b.open(dir / "b.db", CDatabase::eOpenRead));

  std::vector<std::string> keys;
  const void* held = nullptr;
  int heldLength = 0;
  ASSERT_TRUE(b.fetch("a", held, heldLength));
  const char* key = nullptr;
  for (bool more = a.firstKey(key); more; more = a.nextKey(key)) {
    keys.emplace_back(key);
    const void* data = nullptr;
    int length = 0;
    EXPECT_TRUE(a.fetch(key, data, length));
    EXPECT_TRUE(a.exists(key));
    EXPECT_FALSE(b.exists(key) && keys.back() != "a");
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"%d", "B", "a", "a b", "b", high}));
  EXPECT_FALSE(a.nextKey(key)) << "a finished walk stays finished";
  EXPECT_FALSE(a.store("a", "w", 1)) << "read mode never writes";
  EXPECT_FALSE(a.remove("a"));
  EXPECT_EQ(std::string(static_cast<const char*>(held), static_cast<size_t>(heldLength)), "x")
      << "another database's fetched bytes stay valid";
}

TEST(DatabaseTest, SessionIsOneTransactionCommittedByClose) {
  CTempDir dir;
  makeDatabase(dir / "a.db", {{"k", "before"}});

  // A writer killed before close leaves the file as it was.
  const pid_t child = fork();
  if (child == 0) {
    CDatabase db;
    if (!db.open(dir / "a.db", CDatabase::eOpenWrite)) _exit(2);
    if (!db.store("k", "after", 5) || !db.store("extra", "x", 1)) _exit(3);
    _exit(0);  // no destructor, no close
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  {
    CDatabase db;
    ASSERT_TRUE(db.open(dir / "a.db", CDatabase::eOpenRead));
    EXPECT_EQ(walk(db), (std::vector<std::string>{"k"}));
    EXPECT_EQ(fetched(db, "k"), "before");
  }

  // Reopening on a new name commits the previous database; destruction too.
  makeDatabase(dir / "b.db", {});
  {
    CDatabase db;
    ASSERT_TRUE(db.open(dir / "a.db", CDatabase::eOpenWrite));
    EXPECT_TRUE(db.store("k", "after", 5));
    ASSERT_TRUE(db.open(dir / "b.db", CDatabase::eOpenWrite));
    EXPECT_TRUE(db.store("b", "1", 1));
  }
  EXPECT_EQ(readDatabase(dir / "a.db"), (Records{{"k", "after"}}));
  EXPECT_EQ(readDatabase(dir / "b.db"), (Records{{"b", "1"}}));
}

TEST(DatabaseTest, AnErrorMidSessionFailsEveryLaterCall) {
  CTempDir dir;
  Records records;
  for (int i = 0; i < 3000; ++i) records["k" + std::to_string(10000 + i)] = std::string(296, 'r');
  makeDatabase(dir / "a.db", records);
  std::string bytes = testutil::readFile(dir / "a.db");
  for (size_t i = 100 * 4096; i < 103 * 4096; ++i) bytes[i] = static_cast<char>(i * 7919 >> 3);
  writeFile(dir / "a.db", bytes);

  for (const auto mode : {CDatabase::eOpenRead, CDatabase::eOpenWrite}) {
    CDatabase db;
    ASSERT_TRUE(db.open(dir / "a.db", mode));
    const std::vector<std::string> keys = walk(db);
    EXPECT_GT(keys.size(), 0u);
    EXPECT_LT(keys.size(), records.size()) << "the walk stops at the damage";
    EXPECT_EQ(db.lastError(), "database disk image is malformed");
    EXPECT_FALSE(db.exists("k10000"));
    EXPECT_EQ(fetched(db, "k10000"), "<none>");
    EXPECT_FALSE(db.store("k10000", "x", 1));
    EXPECT_FALSE(db.close()) << "nothing passes for success after the error";
  }
  EXPECT_TRUE(testutil::readFile(dir / "a.db") == bytes);
}

TEST(DatabaseTest, WriterWaitsForALockThenGivesUp) {
  CTempDir dir;
  makeDatabase(dir / "a.db", {{"k", "v"}});
  CDatabase holder;
  ASSERT_TRUE(holder.open(dir / "a.db", CDatabase::eOpenWrite));
  CDatabase writer;
  EXPECT_FALSE(writer.open(dir / "a.db", CDatabase::eOpenWrite));
  EXPECT_EQ(writer.lastError(), "locked");
  EXPECT_TRUE(holder.close());
  EXPECT_TRUE(writer.open(dir / "a.db", CDatabase::eOpenWrite));
}

TEST(DatabaseTest, NamesAreFoundThroughTheGlobalFileSystemAndItsPacks) {
  CScopedCurrentDir cwd;
  CTempDir data;
  makeDatabase(data / "sub/only.db", {{"k", "data"}});
  makeDatabase(data / "both.db", {{"k", "data"}});
  makeDatabase("both.db", {{"k", "primary"}});
  makeDatabase(data / "packed.db", {{"k", "packed"}, {"k2", std::string(5000, 'x')}});
  testutil::makePack(data / "base.zq", {{"sub/packed.db", testutil::readFile(data / "packed.db")},
                                        {"empty.db", ""},
                                        {"text.db", "no database"}});
  std::filesystem::remove(data / "packed.db");
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(".", "");
  fs->initPath(data.path(), ".zq");

  CDatabase db;
  ASSERT_TRUE(db.open("sub/only.db", CDatabase::eOpenRead));
  EXPECT_EQ(fetched(db, "k"), "data");
  EXPECT_FALSE(db.open("sub/only.db", CDatabase::eOpenWrite)) << "writes only the primary folder";
  EXPECT_EQ(db.lastError(), "missing");
  ASSERT_TRUE(db.open("both.db", CDatabase::eOpenRead));
  EXPECT_EQ(fetched(db, "k"), "primary");

  // A packed database is read from memory; nothing is extracted.
  ASSERT_TRUE(db.open("sub\\packed.db", CDatabase::eOpenRead));
  EXPECT_EQ(walk(db), (std::vector<std::string>{"k", "k2"}));
  EXPECT_EQ(fetched(db, "k2"), std::string(5000, 'x'));
  EXPECT_FALSE(db.store("k", "w", 1));
  ASSERT_TRUE(db.open("empty.db", CDatabase::eOpenRead));
  const char* key = nullptr;
  EXPECT_FALSE(db.firstKey(key));
  EXPECT_FALSE(db.open("text.db", CDatabase::eOpenRead));
  EXPECT_EQ(db.lastError(), "not a record database");
  EXPECT_FALSE(db.open("sub/packed.db", CDatabase::eOpenWrite));
  EXPECT_EQ(std::vector<std::string>{"both.db"}, [] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(".")) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }());
}

}  // namespace
}  // namespace rk
