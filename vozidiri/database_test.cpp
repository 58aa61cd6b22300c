#include "vozidiri/database.h"

#include <sqlite3.h>

#include <filesystem>

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
using testutil::runSql;
using testutil::writeFile;

std::string fetched(CDatabase& db, const char* key) {
  const void* data = nullptr;
  int length = -1;
  if (!db.fetch(key, data, length)) return "<none: " + db.lastError() + ">";
  EXPECT_NE(data, nullptr);
  return std::string(static_cast<const char*>(data), static_cast<size_t>(length));
}

std::vector<std::string> walk(CDatabase& db) {
  std::vector<std::string> keys;
  const char* key = nullptr;
  for (bool more = db.firstKey(key); more; more = db.nextKey(key)) keys.emplace_back(key);
  return keys;
}

TEST(DatabaseTest, OpenSaysWhyItFailsAndLeavesNothingLocked) {
  CTempDir dir;
  const std::string table = "CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB);";
  writeFile(dir / "text.db", "this is not a database at all, not even close to one....");
  runSql(dir / "other.db", "CREATE TABLE t(x)");
  runSql(dir / "nodata.db", "CREATE TABLE records(key TEXT PRIMARY KEY)");
  runSql(dir / "blob.db", table + "INSERT INTO records VALUES('a', 'x'), (x'62', 'y')");
  runSql(dir / "number.db",
         "CREATE TABLE records(key PRIMARY KEY, data); INSERT INTO records VALUES(1, 'x')");
  runSql(dir / "nocase.db", "CREATE TABLE records(key TEXT PRIMARY KEY COLLATE NOCASE, data)");
  runSql(dir / "twokeys.db", "CREATE TABLE records(key TEXT, data, PRIMARY KEY(key, data))");
  runSql(dir / "real.db", "CREATE TABLE records(key REAL PRIMARY KEY NOT NULL, data)");
  runSql(dir / "utf16.db", "PRAGMA encoding = 'UTF-16le';" + table);
  makeDatabase(dir / "held.db", {});
  makeDatabase(dir / "taken.db", {});
  sqlite3* holder = nullptr;  // writes one, and is committing the other
  sqlite3_open((dir / "held.db").c_str(), &holder);
  sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  sqlite3* committer = nullptr;
  sqlite3_open((dir / "taken.db").c_str(), &committer);
  sqlite3_exec(committer, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
  auto faults = std::make_unique<CFaultScope>();
  faults->lockWait(100);

  const std::pair<const char*, const char*> cases[] = {
      {"missing.db", "missing"},
      {"text.db", "not a record database"},
      {"other.db", "not a record database"},
      {"nodata.db", "not a record database"},
      // Keys the tool could not name, or that compare other than by bytes.
      {"blob.db", "not a record database"},
      {"number.db", "not a record database"},
      {"nocase.db", "not a record database"},
      {"twokeys.db", "not a record database"},
      // Keys a store would not keep as the texts they are.
      {"real.db", "not a record database"},
      {"utf16.db", "not a record database"},
      {"held.db", "locked"},  // after waiting for the lock
      {"taken.db", "locked"},
  };
  CDatabase db;
  for (const auto& [name, reason] : cases) {
    const auto mode =
        std::string(name) == "taken.db" ? CDatabase::eOpenRead : CDatabase::eOpenWrite;
    EXPECT_FALSE(db.open(dir / name, mode)) << name;
    EXPECT_EQ(db.lastError(), reason) << name;
  }
  EXPECT_FALSE(db.open(dir / "held.db", static_cast<CDatabase::eOpenFlags>(3)));
  EXPECT_FALSE(testutil::fileExists(dir / "missing.db"));
  EXPECT_EQ(readDatabase(dir / "utf16.db"), Records{}) << "nothing written";
  faults.reset();
  sqlite3_close(holder);
  sqlite3_close(committer);
  // A failed open keeps no lock: another writer gets in at once.
  for (const char* name : {"nodata.db", "blob.db", "nocase.db"}) {
    sqlite3* other = nullptr;
    sqlite3_open((dir / name).c_str(), &other);
    EXPECT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK) << name;
    sqlite3_close(other);
  }
}

TEST(DatabaseTest, AFileWithNoPagesIsAnEmptyDatabaseThatWritingMarks) {
  CTempDir dir;
  writeFile(dir / "empty.db", "");
  writeFile(dir / "killed.db", "");
  // The first write into it was killed after its pages reached the file.
  testutil::leaveHotJournal(dir / "killed.db",
                            "CREATE TABLE records(key TEXT PRIMARY KEY, data) WITHOUT ROWID;"
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                            "WHERE i < 2000) INSERT INTO records SELECT i, zeroblob(300) FROM n");
  ASSERT_GT(readFile(dir / "killed.db").size(), 0u);
  for (const char* name : {"empty.db", "killed.db"}) {
    CDatabase db;
    ASSERT_TRUE(db.open(dir / name, CDatabase::eOpenRead)) << name << ": " << db.lastError();
    const char* key = nullptr;
    EXPECT_FALSE(db.firstKey(key));
    EXPECT_TRUE(db.close());
    EXPECT_EQ(readFile(dir / name), "") << "reading changes nothing";

    ASSERT_TRUE(db.open(dir / name, CDatabase::eOpenWrite)) << name << ": " << db.lastError();
    EXPECT_TRUE(db.store("k", "v", 1));
    EXPECT_TRUE(db.close());
    EXPECT_EQ(readDatabase(dir / name), (Records{{"k", "v"}}));
    const std::string header = readFile(dir / name).substr(60, 12);
    EXPECT_EQ(header.substr(0, 4), std::string("\0\0\0\1", 4)) << "user_version";
    EXPECT_EQ(header.substr(8), "VOZI") << "application_id";
  }
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
  EXPECT_EQ(b.lastError(), "opened for reading");
  EXPECT_TRUE(a.remove("b"));
  EXPECT_FALSE(a.remove("b"));
  EXPECT_EQ(a.lastError(), "no such key");

  const void* held = nullptr;
  int heldLength = 0;
  ASSERT_TRUE(b.fetch("a", held, heldLength));
  std::vector<std::string> keys;
  const char* key = nullptr;
  for (bool more = a.firstKey(key); more; more = a.nextKey(key)) {
    keys.emplace_back(key);
    EXPECT_EQ(fetched(a, key).find("<none"), std::string::npos);
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
  EXPECT_EQ(fetched(a, "b"), "<none: no such key>");

  // The key a walk stands on, written meanwhile, is fetched as written.
  ASSERT_TRUE(a.firstKey(key));
  ASSERT_TRUE(a.store(key, "new", 3));
  EXPECT_EQ(fetched(a, key), "new");
  ASSERT_TRUE(a.nextKey(key) && a.remove(key));
  EXPECT_EQ(fetched(a, key), "<none: no such key>");
}

TEST(DatabaseTest, AStoreChangesDataAloneAndFailsWhenNothingIsStored) {
  CTempDir dir;
  const std::string table = "CREATE TABLE records(key TEXT PRIMARY KEY, data BLOB NOT NULL, ";
  runSql(dir / "extra.db", table + "note DEFAULT 'default') WITHOUT ROWID;" +
                               "INSERT INTO records VALUES('k', 'old', 'mine')");
  runSql(dir / "ignored.db", table + "note) WITHOUT ROWID; CREATE TRIGGER t BEFORE INSERT ON " +
                                 "records BEGIN SELECT RAISE(IGNORE); END");
  CDatabase db;
  ASSERT_TRUE(db.open(dir / "extra.db", CDatabase::eOpenWrite));
  EXPECT_TRUE(db.store("k", "new", 3) && db.close());
  EXPECT_EQ(readDatabase(dir / "extra.db"), (Records{{"k", "new"}}));
  EXPECT_EQ(testutil::sqlText(dir / "extra.db", "SELECT note FROM records"), "mine");
  ASSERT_TRUE(db.open(dir / "ignored.db", CDatabase::eOpenWrite));
  EXPECT_FALSE(db.store("k", "new", 3));
  EXPECT_EQ(db.lastError(), "the record was not stored");
  EXPECT_FALSE(db.close());
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
  const Records records = testutil::makeDamagedDatabase(dir / "a.db");
  const std::string bytes = readFile(dir / "a.db");
  // Another program's key that the tool could not name: the walk stops there.
  makeDatabase(dir / "zero.db", {{"a", "1"}, {std::string("a\0b", 3), "2"}, {"b", "3"}});

  for (const auto mode : {CDatabase::eOpenRead, CDatabase::eOpenWrite}) {
    CDatabase db;
    ASSERT_TRUE(db.open(dir / "a.db", mode));
    const size_t walked = walk(db).size();
    EXPECT_TRUE(walked > 0 && walked < records.size()) << "the walk stops at the damage";
    EXPECT_EQ(db.lastError(), "database disk image is malformed");
    EXPECT_FALSE(db.exists("k10000") || db.store("k10000", "x", 1));
    EXPECT_EQ(fetched(db, "k10000"), "<none: database disk image is malformed>");
    EXPECT_FALSE(db.close()) << "nothing passes for success after the error";

    ASSERT_TRUE(db.open(dir / "zero.db", mode));
    EXPECT_EQ(walk(db), std::vector<std::string>{"a"});
    EXPECT_EQ(db.lastError(), "a key holds a zero byte");
    EXPECT_FALSE(db.close());
  }
  EXPECT_TRUE(readFile(dir / "a.db") == bytes);

  // Another program cuts a file short while it is read: an error, never a
  // signal.
  makeDatabase(dir / "cut.db", records);
  CDatabase db;
  const char* key = nullptr;
  ASSERT_TRUE(db.open(dir / "cut.db", CDatabase::eOpenRead) && db.firstKey(key));
  std::filesystem::resize_file(dir / "cut.db", 8192);
  size_t walked = 1;
  while (db.nextKey(key)) ++walked;
  EXPECT_LT(walked, records.size());
  EXPECT_FALSE(db.close());
}

TEST(DatabaseTest, NamesAreFoundThroughTheGlobalFileSystemAndItsPacks) {
  CTempDir primary, data;
  makeDatabase(data / "sub/only.db", {{"k", "data"}});
  makeDatabase(data / "packed.db", {{"k", "packed"}, {"k2", std::string(5000, 'x')}});
  // Packed while in WAL mode, its last rows still in the WAL: what the
  // archive holds is its file as the last checkpoint left it.
  makeDatabase(data / "wal.db", {{"k", "wal"}});
  runSql(data / "wal.db", "PRAGMA journal_mode = WAL");
  const std::string packed = readFile(data / "packed.db");
  testutil::makePack(data / "base.zq", {{"sub/packed.db", packed},
                                        {"stored.db", packed, true},
                                        {"wal.db", readFile(data / "wal.db"), true},
                                        {"empty.db", ""},
                                        {"text.db", "no database"}});
  std::filesystem::remove(data / "packed.db");
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(primary.path(), "");
  fs->initPath(data.path(), ".zq");

  CDatabase db;
  ASSERT_TRUE(db.open("sub/only.db", CDatabase::eOpenRead));
  EXPECT_EQ(fetched(db, "k"), "data");
  EXPECT_FALSE(db.open("sub/only.db", CDatabase::eOpenWrite)) << "writes only the primary folder";

  // Packed databases are read in place.
  for (const char* name : {"sub\\packed.db", "stored.db"}) {
    ASSERT_TRUE(db.open(name, CDatabase::eOpenRead)) << name;
    EXPECT_EQ(walk(db), (std::vector<std::string>{"k", "k2"}));
    EXPECT_EQ(fetched(db, "k2"), std::string(5000, 'x'));
  }
  ASSERT_TRUE(db.open("wal.db", CDatabase::eOpenRead)) << db.lastError();
  EXPECT_EQ(fetched(db, "k"), "wal");
  ASSERT_TRUE(db.open("empty.db", CDatabase::eOpenRead));
  EXPECT_EQ(walk(db).size(), 0u);
  EXPECT_FALSE(db.open("text.db", CDatabase::eOpenRead));
  EXPECT_EQ(db.lastError(), "not a record database");
  EXPECT_FALSE(db.open("sub/packed.db", CDatabase::eOpenWrite));
  const auto files = std::filesystem::recursive_directory_iterator(primary.path());
  EXPECT_EQ(std::distance(begin(files), end(files)), 0) << "nothing is extracted";

  // A new database's pages are sent on to disk as they come, here at once.
  writeFile(primary / "new.db", "");
  const std::string large(17 << 20, 'x');
  ASSERT_TRUE(db.open("new.db", CDatabase::eOpenWrite)) << db.lastError();
  EXPECT_TRUE(db.store("big", large.data(), static_cast<int>(large.size())) && db.close());
  EXPECT_EQ(readDatabase(primary / "new.db"), (Records{{"big", large}}));
}

TEST(DatabaseTest, ReadsOutsideThePrimaryFolderInOneStateAndChangeNothingThere) {
  CTempDir primary, data;
  const Records records = {{"k", "1"}};
  makeDatabase(data / "plain.db", records);
  makeDatabase(data / "wal.db", records);  // in WAL mode, its WAL file gone with its last reader
  runSql(data / "wal.db", "PRAGMA journal_mode = WAL");
  makeDatabase(data / "live.db", records);  // in WAL mode, its writer still at work
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open((data / "live.db").c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  Records many;  // enough for a killed writer's pages to have reached the file
  for (int i = 0; i < 500; ++i) many["k" + std::to_string(i)] = "committed";
  makeDatabase(data / "hot.db", many);
  testutil::leaveHotJournal(data / "hot.db", "UPDATE records SET data = 'uncommitted'");
  std::map<std::string, std::string> before = testutil::filesIn(data.path());
  {
    TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(primary.path(), "");
    fs->initPath(data.path(), ".zq");
    CDatabase db;
    for (const char* name : {"plain.db", "wal.db", "live.db"}) {
      ASSERT_TRUE(db.open(name, CDatabase::eOpenRead)) << name << ": " << db.lastError();
      EXPECT_EQ(fetched(db, "k"), "1") << name;
    }
    // What another program commits meanwhile is not seen again in this run.
    ASSERT_EQ(sqlite3_exec(writer, "UPDATE records SET data = '2'", nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_TRUE(db.open("live.db", CDatabase::eOpenRead));
    EXPECT_EQ(fetched(db, "k"), "1");
    EXPECT_FALSE(db.open("hot.db", CDatabase::eOpenRead));
    EXPECT_EQ(db.lastError(), "hot journal");
  }
  std::map<std::string, std::string> after = testutil::filesIn(data.path());
  sqlite3_close(writer);
  for (const char* writers : {"live.db-wal", "live.db-shm"}) {  // the writer changes those
    EXPECT_EQ(after.count(writers), 1u);
    after[writers] = before[writers];
  }
  EXPECT_TRUE(after == before);
}

}  // namespace
}  // namespace rk
