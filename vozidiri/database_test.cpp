#include "vozidiri/database.h"

#include <sqlite3.h>

#include <filesystem>
#include <random>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/fault_injection.h"
#include "vozidiri/file_system.h"

namespace rk {
namespace {

using testutil::CTempDir;
using testutil::makeDatabase;
using testutil::readDatabase;
using testutil::readFile;
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
}

TEST(DatabaseTest, EmptyFileIsAnEmptyDatabaseThatWritingMarks) {
  CTempDir dir;
  writeFile(dir / "empty.db", "");
  CDatabase db;
  ASSERT_TRUE(db.open(dir / "empty.db", CDatabase::eOpenRead));
  const char* key = nullptr;
  EXPECT_FALSE(db.firstKey(key));
  EXPECT_TRUE(db.close());
  EXPECT_EQ(readFile(dir / "empty.db"), "") << "reading changes nothing";

  ASSERT_TRUE(db.open(dir / "empty.db", CDatabase::eOpenWrite));
  EXPECT_TRUE(db.store("k", "v", 1));
  EXPECT_TRUE(db.close());
  EXPECT_EQ(readDatabase(dir / "empty.db"), (Records{{"k", "v"}}));
  const std::string header = readFile(dir / "empty.db").substr(60, 12);
  EXPECT_EQ(header.substr(0, 4), std::string("\0\0\0\1", 4)) << "user_version";
  EXPECT_EQ(header.substr(8), "VOZI") << "application_id";
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
  EXPECT_FALSE(a.store("bad", "x", -1) || a.store(nullptr, "x", 1));
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
  int at = 990;
  for (int i = 0; i < 5000; ++i) {
    // Mostly small steps up, sometimes back or far ahead, past both ends.
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
  makeDatabase(dir / "b.db", {});
  {
    CDatabase db;
    ASSERT_TRUE(db.open(dir / "a.db", CDatabase::eOpenWrite));
    EXPECT_TRUE(db.store("k", "after", 5));
    EXPECT_EQ(readDatabase(dir / "a.db"), (Records{{"k", "before"}})) << "not before close";
    // Opening another database commits this one; destruction the other.
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
  std::string bytes = readFile(dir / "a.db");
  for (size_t i = 100 * 4096; i < 103 * 4096; ++i) bytes[i] = static_cast<char>(i * 7919 >> 3);
  writeFile(dir / "a.db", bytes);

  for (const auto mode : {CDatabase::eOpenRead, CDatabase::eOpenWrite}) {
    CDatabase db;
    ASSERT_TRUE(db.open(dir / "a.db", mode));
    const size_t walked = walk(db).size();
    EXPECT_TRUE(walked > 0 && walked < records.size()) << "the walk stops at the damage";
    EXPECT_EQ(db.lastError(), "database disk image is malformed");
    EXPECT_FALSE(db.exists("k10000") || db.store("k10000", "x", 1));
    EXPECT_EQ(fetched(db, "k10000"), "<none>");
    EXPECT_FALSE(db.close()) << "nothing passes for success after the error";
  }
  EXPECT_TRUE(readFile(dir / "a.db") == bytes);
}

TEST(DatabaseTest, NamesAreFoundThroughTheGlobalFileSystemAndItsPacks) {
  CTempDir primary, data;
  makeDatabase(data / "sub/only.db", {{"k", "data"}});
  makeDatabase(data / "both.db", {{"k", "data"}});
  makeDatabase(primary / "both.db", {{"k", "primary"}});
  makeDatabase(data / "packed.db", {{"k", "packed"}, {"k2", std::string(5000, 'x')}});
  testutil::makePack(data / "base.zq", {{"sub/packed.db", readFile(data / "packed.db")},
                                        {"empty.db", ""},
                                        {"text.db", "no database"}});
  std::filesystem::remove(data / "packed.db");
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(primary.path(), "");
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
  const auto files = std::filesystem::recursive_directory_iterator(primary.path());
  EXPECT_EQ(std::distance(begin(files), end(files)), 1) << "only both.db";
}

}  // namespace
}  // namespace rk
