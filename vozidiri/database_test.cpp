#include "vozidiri/database.h"

#include <sqlite3.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <random>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/file_system.h"

namespace rk {
namespace {

using testutil::CTempDir;
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

TEST(DatabaseTest, OpenSaysWhyItFailsAndNeverCreatesAFile) {
  CTempDir dir;
  writeFile(dir / "text.db", "this is not a database at all, not even close to one....");
  sqlite3* other = nullptr;
  sqlite3_open((dir / "other.db").c_str(), &other);
  sqlite3_exec(other, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  makeDatabase(dir / "held.db", {});
  CDatabase holder;
  ASSERT_TRUE(holder.open(dir / "held.db", CDatabase::eOpenWrite));
  injectFault(eFault::kOpen, 5);

  const std::pair<const char*, const char*> cases[] = {
      {"missing.db", "missing"},
      {"text.db", "not a record database"},
      {"other.db", "not a record database"},
      {"held.db", "locked"},  // after waiting for the lock a few seconds
      {"other.db", "disk I/O error"},
  };
  CDatabase db;
  for (const auto& [name, reason] : cases) {
    EXPECT_FALSE(db.open(dir / name, CDatabase::eOpenWrite)) << name;
    EXPECT_EQ(db.lastError(), reason) << name;
  }
  EXPECT_FALSE(db.open(dir / "held.db", static_cast<CDatabase::eOpenFlags>(3)));
  EXPECT_FALSE(testutil::fileExists(dir / "missing.db"));
  // Made by someone else (no application id): still a record database.
  makeDatabase(dir / "foreign.db", {{"k", "v"}});
  EXPECT_TRUE(db.open(dir / "foreign.db", CDatabase::eOpenRead));
  EXPECT_EQ(fetched(db, "k"), "v");
}

TEST(DatabaseTest, EmptyFileIsAnEmptyDatabaseThatWritingMarks) {
  CTempDir dir;
  writeFile(dir / "empty.db", "");
  CDatabase db;
  ASSERT_TRUE(db.open(dir / "empty.db", CDatabase::eOpenRead));
  const char* key = nullptr;
  EXPECT_FALSE(db.firstKey(key));
  EXPECT_FALSE(db.store("k", "v", 1));
  EXPECT_TRUE(db.close());
  EXPECT_EQ(std::filesystem::file_size(dir / "empty.db"), 0u) << "reading changes nothing";

  ASSERT_TRUE(db.open(dir / "empty.db", CDatabase::eOpenWrite));
  EXPECT_TRUE(db.store("k", "v", 1));
  EXPECT_TRUE(db.close());
  EXPECT_EQ(readDatabase(dir / "empty.db"), (Records{{"k", "v"}}));
  sqlite3* check = nullptr;
  sqlite3_open((dir / "empty.db").c_str(), &check);
  sqlite3_stmt* marks = nullptr;
  sqlite3_prepare_v2(check, "SELECT * FROM pragma_application_id, pragma_user_version", -1, &marks,
                     nullptr);
  ASSERT_EQ(sqlite3_step(marks), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int64(marks, 0), 0x564F5A49);
  EXPECT_EQ(sqlite3_column_int64(marks, 1), 1);
  sqlite3_finalize(marks);
  sqlite3_close(check);
}

TEST(DatabaseTest, RecordsRoundTripAndWalkInByteOrderUndisturbed) {
  CTempDir dir;
  const std::string high = "\xc3\xa9";
  makeDatabase(dir / "a.db", {{"b", "1"}, {"a b", "2"}, {"B", "3"}, {"%d", "4"}, {high, "5"}});
  makeDatabase(dir / "b.db", {{"a", "x"}});
  CDatabase a, b;
  ASSERT_TRUE(a.open(dir / "a.db", CDatabase::eOpenWrite));
  ASSERT_TRUE(b.open(dir / "b.db", CDatabase::eOpenRead));
  EXPECT_TRUE(a.store("a", std::string("a\0b", 3).data(), 3));
  EXPECT_TRUE(a.store("empty", nullptr, 0));
  EXPECT_FALSE(a.store("bad", "x", -1));
  EXPECT_FALSE(a.store(nullptr, "x", 1));
  EXPECT_FALSE(b.store("a", "w", 1)) << "read mode never writes";
  EXPECT_TRUE(a.remove("b"));
  EXPECT_FALSE(a.remove("b"));

  const void* held = nullptr;
  int heldLength = 0;
  ASSERT_TRUE(b.fetch("a", held, heldLength));
  std::vector<std::string> keys;
  const char* key = nullptr;
  for (bool more = a.firstKey(key); more; more = a.nextKey(key)) {
    keys.emplace_back(key);
    EXPECT_NE(fetched(a, key), "<none>");
    EXPECT_TRUE(a.exists(key));
    EXPECT_EQ(b.exists(key), keys.back() == "a");
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"%d", "B", "a", "a b", "empty", high}));
  EXPECT_FALSE(a.nextKey(key)) << "a finished walk stays finished";
  EXPECT_EQ(std::string(static_cast<const char*>(held), static_cast<size_t>(heldLength)), "x")
      << "another database's fetched bytes stay valid";

  // A record fetched from this database may be stored back under another key.
  const void* data = nullptr;
  int length = 0;
  ASSERT_TRUE(a.fetch("a", data, length));
  EXPECT_TRUE(a.store("copy", data, length));
  EXPECT_EQ(fetched(a, "copy"), std::string("a\0b", 3));
  EXPECT_EQ(fetched(a, "empty"), "");
  EXPECT_EQ(fetched(a, "b"), "<none>");
}

TEST(DatabaseTest, LookupsInAnyOrderAgreeWithAModel) {
  // Lookups step a cursor forward while they ascend; every other order, and
  // writes between them, must give the same answers as a plain map.
  CTempDir dir;
  Records model;
  for (int i = 0; i < 400; i += 2) model["k" + std::to_string(1000 + i)] = std::to_string(i);
  makeDatabase(dir / "a.db", model);
  CDatabase db;
  ASSERT_TRUE(db.open(dir / "a.db", CDatabase::eOpenWrite));
  std::mt19937 random(11);
  const char* walked = nullptr;
  bool walking = db.firstKey(walked);
  for (int i = 0; i < 5000; ++i) {
    // Mostly small steps up, sometimes back or far ahead, past both ends.
    static int at = 990;
    const int move = static_cast<int>(random() % 100);
    at += move < 70 ? move % 4 : move < 85 ? -static_cast<int>(random() % 50) : move - 40;
    if (at < 990 || at > 1410) at = 990 + static_cast<int>(random() % 420);
    const std::string key = "k" + std::to_string(at);
    if (move == 99) {  // a write between lookups
      model[key] = "stored";
      ASSERT_TRUE(db.store(key.c_str(), "stored", 6));
      walking = false;
    }
    const auto known = model.find(key);
    ASSERT_EQ(db.exists(key.c_str()), known != model.end()) << key;
    ASSERT_EQ(fetched(db, key.c_str()), known != model.end() ? known->second : "<none>") << key;
    if (walking && i % 3 == 0) {
      ASSERT_EQ(fetched(db, walked), model[walked]) << "the walk's own key";
      walking = db.nextKey(walked);
    }
  }
}

TEST(DatabaseTest, SessionIsOneTransactionCommittedByClose) {
  CTempDir dir;
  makeDatabase(dir / "a.db", {{"k", "before"}});
#ifndef _WIN32  // the kill needs fork; Windows has no such way to stop a writer midway
  // A writer killed before close leaves the file as it was.
  const pid_t child = fork();
  if (child == 0) {
    CDatabase db;
    if (!db.open(dir / "a.db", CDatabase::eOpenWrite) || !db.store("k", "after", 5)) _exit(2);
    _exit(0);  // no destructor, no close
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(readDatabase(dir / "a.db"), (Records{{"k", "before"}}));
#endif

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
    const size_t walked = walk(db).size();
    EXPECT_TRUE(walked > 0 && walked < records.size()) << "the walk stops at the damage";
    EXPECT_EQ(db.lastError(), "database disk image is malformed");
    EXPECT_FALSE(db.exists("k10000"));
    EXPECT_EQ(fetched(db, "k10000"), "<none>");
    EXPECT_FALSE(db.store("k10000", "x", 1));
    EXPECT_FALSE(db.close()) << "nothing passes for success after the error";
  }
  EXPECT_TRUE(testutil::readFile(dir / "a.db") == bytes);
}

TEST(DatabaseTest, NamesAreFoundThroughTheGlobalFileSystemAndItsPacks) {
  testutil::CScopedCurrentDir cwd;
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
  ASSERT_TRUE(db.open("both.db", CDatabase::eOpenRead));
  EXPECT_EQ(fetched(db, "k"), "primary");

  // A packed database is read from memory; nothing is extracted.
  ASSERT_TRUE(db.open("sub\\packed.db", CDatabase::eOpenRead));
  EXPECT_EQ(walk(db), (std::vector<std::string>{"k", "k2"}));
  EXPECT_EQ(fetched(db, "k2"), std::string(5000, 'x'));
  ASSERT_TRUE(db.open("empty.db", CDatabase::eOpenRead));
  EXPECT_EQ(walk(db).size(), 0u);
  EXPECT_FALSE(db.open("text.db", CDatabase::eOpenRead));
  EXPECT_EQ(db.lastError(), "not a record database");
  EXPECT_FALSE(db.open("sub/packed.db", CDatabase::eOpenWrite));
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::recursive_directory_iterator(".")) {
    ++files;
  }
  EXPECT_EQ(files, 1u) << "only both.db";
}

}  // namespace
}  // namespace rk
