#include "database.h"

#include <sqlite3.h>

#include <cctype>
#include <cstring>
#include <new>

#include "fault_injection.h"
#include "file_system.h"
#include "lookup_cursor.h"
#include "platform.h"
#include "sqlite_connection.h"

namespace rk {
namespace {

constexpr unsigned char kEmptyRecord[1] = {0};
constexpr const char* kNoSuchKey = "no such key";
constexpr const char* kInjectedError = "disk I/O error";
constexpr size_t kWriteBackBytes = 16 << 20;  // see CSession::stored

// The record table and the statements on it.
constexpr char kCreate[] =
    "CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL) WITHOUT ROWID;"
    "PRAGMA application_id = 0x564F5A49;"
    "PRAGMA user_version = 1;";
constexpr char kWalk[] = "SELECT key, data FROM records ORDER BY key";
constexpr char kExists[] = "SELECT key FROM records WHERE key >= ?1 ORDER BY key";
constexpr char kFetch[] = "SELECT key, data FROM records WHERE key >= ?1 ORDER BY key";
// A store inserts a key that is not stored and otherwise changes `data`
// alone, so that further columns keep what they hold. (An upsert would also
// read the old record: one more copy of a large record in memory.)
constexpr char kInsert[] = "INSERT OR IGNORE INTO records(key, data) VALUES(?1, ?2)";
constexpr char kUpdate[] = "UPDATE records SET data = ?2 WHERE key = ?1";
constexpr char kRemove[] = "DELETE FROM records WHERE key = ?1";

bool bindKey(sqlite3_stmt* statement, const char* key) {
  return sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC) == SQLITE_OK;
}

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// True when a column of declared type `type` keeps a bound text as text:
// TEXT or BLOB affinity, by SQLite's rules in their order, or ANY in a
// STRICT table. INTEGER, REAL and NUMERIC affinity would store "007" as 7.
bool keepsText(std::string type, bool strict) {
  for (char& c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (strict && type == "ANY") return true;
  if (contains(type, "INT")) return false;
  if (contains(type, "CHAR") || contains(type, "CLOB") || contains(type, "TEXT")) return true;
  return type.empty() || contains(type, "BLOB");
}

// The checks database.h names for files that other programs made.
bool isRecordDatabase(sqlite3* db) {
  if (firstText(db, "PRAGMA encoding") != "UTF-8") return false;
  const StatementPtr key = prepare(db,
                                   "SELECT i.name, i.coll FROM pragma_index_list('records') AS l, "
                                   "pragma_index_xinfo(l.name) AS i "
                                   "WHERE l.origin = 'pk' AND i.key = 1");
  if (!key || sqlite3_step(key.get()) != SQLITE_ROW) return false;
  const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(key.get(), 0));
  const auto* collation = reinterpret_cast<const char*>(sqlite3_column_text(key.get(), 1));
  if (!name || std::strcmp(name, "key") != 0 || !collation ||
      sqlite3_stricmp(collation, "BINARY") != 0 || sqlite3_step(key.get()) != SQLITE_DONE ||
      !keepsText(firstText(db, "SELECT type FROM pragma_table_xinfo('records') WHERE name = 'key'"),
                 firstText(db, "SELECT strict FROM pragma_table_list('records')") == "1")) {
    return false;
  }
  // BLOBs sort after every text, numbers and NULL before it: the two ends of
  // the key order tell whether any key is not text.
  for (const char* end : {"SELECT typeof(key) FROM records ORDER BY key LIMIT 1",
                          "SELECT typeof(key) FROM records ORDER BY key DESC LIMIT 1"}) {
    const StatementPtr type = prepare(db, end);
    const int rc = type ? sqlite3_step(type.get()) : SQLITE_ERROR;
    if (rc == SQLITE_DONE) return true;  // no keys at all
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(type.get(), 0));
    if (rc != SQLITE_ROW || !text || std::strcmp(text, "text") != 0) return false;
  }
  return true;
}

// True when the database file has no bytes, as SQLite finds it once the
// transaction has begun (which rolls back what a killed writer left).
bool hasNoPages(sqlite3* db) {
  sqlite3_file* file = mainFile(db);
  sqlite3_int64 size = -1;
  return file && file->pMethods && file->pMethods->xFileSize(file, &size) == SQLITE_OK && size == 0;
}

}  // namespace

// What an open database holds. Members end in the reverse order: statements
// before their connection, the connection before what it reads.
struct CDatabase::CSession {
  std::unique_ptr<CPageSource> pages;   // what `db` reads: a pack's entry
  std::unique_ptr<CDatabaseCopy> copy;  // the copy a write session fills, published at close
  ConnectionPtr db;                     // a disk file's read: its snapshot (openSnapshot)
  CLookupCursor exists, fetch;
  StatementPtr insert, update, remove, walk;
  CHoldings* holdings = nullptr;  // where a snapshot is kept at the end, under `identity`
  std::string identity;
  eOpenFlags mode = eOpenRead;
  bool hasTable = false;  // false for an empty database opened for reading
  bool failed = false;
  // A finished walk stays finished: SQLite would restart a done statement.
  bool walking = false;
  // The walk's row holds the record of walkKey until the walk steps or a
  // write changes the table.
  bool walkRowCurrent = false;
  const char* walkKey = nullptr;
  const void* lastFetched = nullptr;  // the record fetch last handed out
  int lastFetchedLength = 0;
  std::FILE* written = nullptr;  // a new database's file, in place (see stored)
  size_t unsent = 0;             // bytes stored since its pages were last sent on

  // A read session gives its snapshot back for the run's next read.
  ~CSession() {
    releaseStatements();
    if (mode == eOpenRead && holdings && !identity.empty() && db) {
      holdings->keepSnapshot(identity, std::move(db));
    }
  }

  // Before a write: a new key may fall between a cursor and the key it
  // stands on, and the walk's row no longer holds the key's record.
  void changing() {
    exists.forget();
    fetch.forget();
    walkRowCurrent = false;
  }

  // A new database's pages reach its file as SQLite's cache spills, long
  // before the commit, which waits until all are on disk: the disk is set
  // to work on them as they come. (The pages of a file that had some may
  // change again once gone out, and would be written twice.)
  void stored(int length) {
    if (!written || (unsent += static_cast<size_t>(length)) < kWriteBackBytes) return;
    platform::startWriteBack(written);
    unsent = 0;
  }

  // A statement still alive would keep the connection, and with it its
  // transaction and lock, after the close.
  void releaseStatements() {
    exists = CLookupCursor();
    fetch = CLookupCursor();
    for (StatementPtr* statement : {&insert, &update, &remove, &walk}) statement->reset();
  }

  // Reads the file at `path` through the run's snapshot of it, or a new one.
  bool readFile(const std::string& path, bool writable, std::string& failure) {
    if (holdings) db = holdings->takeSnapshot(identity);
    if (!db) db = openSnapshot(path, writable, failure);
    return db && keepFewPages();
  }

  // Reads `pages`, an entry of a pack.
  bool readPages(std::string& failure) {
    db = openPageConnection(*pages, false);
    failure = kNotRecordDatabase;
    return db && keepFewPages() && execOk(db.get(), "BEGIN");
  }

  // A walk uses each page once: a small cache keeps the pages it holds in
  // the processor's caches.
  bool keepFewPages() { return execOk(db.get(), "PRAGMA cache_size = 16"); }

  // Writes the database at `path`: the copy made for it, a transaction
  // begun for it early, or the file in place with a transaction of its own.
  bool writeFile(const std::string& path, std::string& failure) {
    if (holdings) {
      holdings->markWritten(identity);
      copy = holdings->takeCopy(identity);
      if (copy) {
        db = openPageConnection(copy->pages(), true);
        if (!db) return false;
        configureWriter(db.get());
        // Nobody sees the copy before it has its name: no journal; a failed
        // write drops it. The commit's sync says whether the last gathered
        // writes went out; the copy reaches the disk when it is published.
        failure = kNotRecordDatabase;
        return execOk(db.get(), "PRAGMA journal_mode = OFF; PRAGMA synchronous = NORMAL; BEGIN");
      }
      db = holdings->takeWrite(identity);
    }
    if (!db) db = beginWrite(path, failure);
    return db != nullptr;
  }

  // Checks the file and prepares the statements, inside the transaction
  // begun. False: not a record database, with the reason.
  bool start(std::string& failure) {
    sqlite3* connection = db.get();
    const std::string tables = firstText(connection, "SELECT count(*) FROM sqlite_master");
    if (tables.empty()) {
      failure = failureOf(connection);
      return false;
    }
    failure = kNotRecordDatabase;
    if (tables == "0" && hasNoPages(connection)) {
      if (mode == eOpenRead) return true;  // an empty database: no table to query
      if (!execOk(connection, kCreate)) return false;
      if (holdings && !copy) written = holdings->rawFile(identity, identity);
    } else if (!isRecordDatabase(connection)) {
      return false;
    }
    exists = CLookupCursor(prepare(connection, kExists));
    fetch = CLookupCursor(prepare(connection, kFetch));
    insert = prepare(connection, kInsert);
    update = prepare(connection, kUpdate);
    remove = prepare(connection, kRemove);
    walk = prepare(connection, kWalk);
    hasTable = exists && fetch && insert && update && remove && walk;
    return hasTable;
  }
};

CDatabase::CDatabase() = default;

CDatabase::~CDatabase() { (void)close(); }

bool CDatabase::fail(const std::string& reason) {
  lastError_ = reason;
  return false;
}

bool CDatabase::failSession(const std::string& reason) {
  session_->failed = true;
  return fail(reason);
}

bool CDatabase::open(const std::string& name, eOpenFlags mode) {
  const bool wasWriting = isOpen() && session_->mode == eOpenWrite;
  if (!close() && wasWriting) return false;
  if (mode != eOpenRead && mode != eOpenWrite) return fail("unknown open mode");
  if (faultHits(eFault::kOpen)) return fail(kInjectedError);
  if (faultHits(eFault::kNoMemory)) throw std::bad_alloc();
  auto session = std::make_unique<CSession>();
  session->mode = mode;
  std::string failure = kMissing;
  bool begun = false;
  CGlobalFileSystem* fileSystem = TSingleton<CGlobalFileSystem>::_instance;
  if (!fileSystem) {
    begun = mode == eOpenWrite ? session->writeFile(name, failure)
                               : session->readFile(name, true, failure);
  } else {
    CPrimaryFolder& primary = fileSystem->primaryFolder();
    session->holdings = &primary.holdings();
    const TRefPointer<CFileFactory> factory =
        mode == eOpenWrite ? TRefPointer<CFileFactory>() : fileSystem->findFactory(name);
    const std::string path = mode == eOpenWrite ? primary.writePath(name)
                             : factory          ? factory->diskPath(name)
                                                : "";
    if (!path.empty()) session->identity = identityOf(path);
    if (mode == eOpenWrite) {
      begun = !path.empty() && session->writeFile(path, failure);
    } else if (factory && path.empty()) {
      session->pages = factory->openPages(name);
      begun = session->pages && session->readPages(failure);
    } else if (factory) {
      // Only the folder the run writes is read as any reader reads it.
      const bool writable = factory.get() == &primary && !primary.writePath(name).empty();
      begun = session->readFile(path, writable, failure);
    }
  }
  if (!begun || !session->start(failure)) return fail(failure);
  session_ = std::move(session);
  return true;
}

bool CDatabase::close() {
  if (!session_) return true;
  CSession& session = *session_;
  bool ok = !session.failed;
  session.releaseStatements();
  sqlite3* db = session.db.get();
  if (session.mode == eOpenWrite && sqlite3_get_autocommit(db) == 0) {
    if (ok && faultHits(eFault::kCommit)) ok = fail(kInjectedError);
    if (ok && !execOk(db, "COMMIT")) ok = fail(sqlite3_errmsg(db));
    // A copy has no journal to roll back: it is dropped below instead.
    if (!ok && !session.copy) (void)execOk(db, "ROLLBACK");
  }
  if (session.mode == eOpenWrite) session.db.reset();  // a copy is published once closed
  if (session.copy && ok && !session.copy->publish()) ok = fail("the copy could not take its name");
  session_.reset();
  return ok;
}

bool CDatabase::usable(const char* key) {
  if (!session_) return fail("not open");
  if (session_->failed) return false;  // the error that failed the session stays the reason
  if (!key) return fail("no key");
  return session_->hasTable || fail(kNoSuchKey);
}

bool CDatabase::seek(CLookupCursor& cursor, const char* key) {
  const CLookupCursor::eResult result = cursor.seek(key, std::strlen(key));
  if (result == CLookupCursor::eResult::kFound) return true;
  return result == CLookupCursor::eResult::kAbsent
             ? fail(kNoSuchKey)
             : failSession(sqlite3_errmsg(session_->db.get()));
}

bool CDatabase::exists(const char* key) { return usable(key) && seek(session_->exists, key); }

bool CDatabase::fetch(const char* key, const void*& data, int& length) {
  if (!usable(key)) return false;
  CSession& session = *session_;
  if (faultHits(eFault::kFetch, key)) return failSession(kInjectedError);
  // The key the walk stands on: its row holds the record.
  sqlite3_stmt* row = session.walk.get();
  if (!session.walkRowCurrent ||
      (key != session.walkKey && std::strcmp(key, session.walkKey) != 0)) {
    if (!seek(session.fetch, key)) return false;
    row = session.fetch.row();
  }
  length = sqlite3_column_bytes(row, 1);
  data = sqlite3_column_blob(row, 1);
  if (!data) data = kEmptyRecord;
  session.lastFetched = data;
  session.lastFetchedLength = length;
  return true;
}

bool CDatabase::store(const char* key, const void* data, int length) {
  if (!usable(key)) return false;
  CSession& session = *session_;
  if (session.mode != eOpenWrite) return fail("opened for reading");
  if (length < 0 || (!data && length > 0)) return fail("no record");
  if (faultHits(eFault::kStore, key)) return failSession(kInjectedError);
  // Bytes this database fetched lie in its own pages, which the cursors give
  // up below and the write may move: those are copied first. Any other
  // bytes stay put until the statements have run.
  const auto* bytes = static_cast<const char*>(data);
  const auto* fetched = static_cast<const char*>(session.lastFetched);
  std::string own;
  if (fetched && bytes >= fetched && bytes < fetched + session.lastFetchedLength) {
    own.assign(bytes, static_cast<size_t>(length));
    data = own.data();
  }
  session.changing();
  sqlite3* db = session.db.get();
  int stepped = SQLITE_DONE;
  for (sqlite3_stmt* statement : {session.insert.get(), session.update.get()}) {
    const int bound = length == 0 ? sqlite3_bind_zeroblob(statement, 2, 0)
                                  : sqlite3_bind_blob(statement, 2, data, length, SQLITE_STATIC);
    if (bound != SQLITE_OK || !bindKey(statement, key)) return fail(sqlite3_errmsg(db));
    stepped = sqlite3_step(statement);
    sqlite3_reset(statement);
    // Where the key is stored already, the insert does nothing.
    if (stepped != SQLITE_DONE || sqlite3_changes(db) == 1) break;
  }
  if (stepped != SQLITE_DONE) return failSession(sqlite3_errmsg(db));
  // A trigger may have let the statement do nothing.
  if (sqlite3_changes(db) != 1) return failSession("the record was not stored");
  session.stored(length);
  return true;
}

bool CDatabase::remove(const char* key) {
  if (!usable(key)) return false;
  CSession& session = *session_;
  if (session.mode != eOpenWrite) return fail("opened for reading");
  if (faultHits(eFault::kRemove, key)) return failSession(kInjectedError);
  sqlite3* db = session.db.get();
  if (!bindKey(session.remove.get(), key)) return fail(sqlite3_errmsg(db));
  session.changing();
  const int stepped = sqlite3_step(session.remove.get());
  sqlite3_reset(session.remove.get());
  if (stepped != SQLITE_DONE) return failSession(sqlite3_errmsg(db));
  return sqlite3_changes(db) == 1 || fail(kNoSuchKey);
}

bool CDatabase::firstKey(const char*& key) {
  if (!usable("")) return false;
  sqlite3_reset(session_->walk.get());
  return stepWalk(key);
}

bool CDatabase::nextKey(const char*& key) {
  if (!session_ || session_->failed || !session_->walking) return false;
  return stepWalk(key);
}

bool CDatabase::stepWalk(const char*& key) {
  CSession& session = *session_;
  session.walking = session.walkRowCurrent = false;
  const int rc = sqlite3_step(session.walk.get());
  if (rc != SQLITE_ROW) {
    return rc == SQLITE_DONE ? fail(kNoSuchKey) : failSession(sqlite3_errmsg(session.db.get()));
  }
  // SQLite keeps the text until the walk steps again. A damaged file may
  // hold a NULL key, which reads as the empty one.
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(session.walk.get(), 0));
  session.walkKey = text ? text : "";
  if (std::strlen(session.walkKey) !=
      static_cast<size_t>(sqlite3_column_bytes(session.walk.get(), 0))) {
    return failSession("a key holds a zero byte");
  }
  session.walking = session.walkRowCurrent = true;
  key = session.walkKey;
  return true;
}

}  // namespace rk
