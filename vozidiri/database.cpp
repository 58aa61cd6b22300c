#include "database.h"

#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "fault_injection.h"
#include "file_system.h"
#include "private_copy.h"
#include "sqlite_vfs.h"
#include "write_lock.h"

namespace rk {
namespace {

constexpr unsigned char kEmptyRecord[1] = {0};
constexpr const char* kMissing = "missing";
constexpr const char* kLocked = "locked";
constexpr const char* kNotRecordDatabase = "not a record database";
constexpr const char* kNoSuchKey = "no such key";
constexpr const char* kInjectedError = "disk I/O error";

bool bindKey(sqlite3_stmt* statement, const char* key) {
  return sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC) == SQLITE_OK;
}

int64_t singleNumber(sqlite3* db, const char* sql) {
  const StatementPtr statement = prepare(db, sql);
  return statement && sqlite3_step(statement.get()) == SQLITE_ROW
             ? sqlite3_column_int64(statement.get(), 0)
             : -1;
}

// True when every key of the records table is one the lookups and walks
// agree on: text, compared by its bytes, and the one primary key.
bool keysAreText(sqlite3* db) {
  const StatementPtr key = prepare(db,
                                   "SELECT i.name, i.coll FROM pragma_index_list('records') AS l, "
                                   "pragma_index_xinfo(l.name) AS i "
                                   "WHERE l.origin = 'pk' AND i.key = 1");
  if (!key || sqlite3_step(key.get()) != SQLITE_ROW) return false;
  const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(key.get(), 0));
  const auto* collation = reinterpret_cast<const char*>(sqlite3_column_text(key.get(), 1));
  if (!name || std::strcmp(name, "key") != 0 || !collation ||
      sqlite3_stricmp(collation, "BINARY") != 0 || sqlite3_step(key.get()) != SQLITE_DONE) {
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
  sqlite3_file* file = nullptr;
  sqlite3_int64 size = -1;
  return sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK && file &&
         file->pMethods && file->pMethods->xFileSize(file, &size) == SQLITE_OK && size == 0;
}

}  // namespace

CDatabase::CDatabase() = default;

CDatabase::~CDatabase() { (void)close(); }

bool CDatabase::fail(const std::string& reason) {
  lastError_ = reason;
  return false;
}

bool CDatabase::failSession(const std::string& reason) {
  failed_ = true;
  return fail(reason);
}

bool CDatabase::abandon(const std::string& reason) {
  endSession();
  return fail(reason);
}

bool CDatabase::open(const std::string& name, eOpenFlags mode) {
  const bool wasWriting = isOpen() && mode_ == eOpenWrite;
  if (!close() && wasWriting) return false;
  if (mode != eOpenRead && mode != eOpenWrite) return fail("unknown open mode");
  if (faultHits(eFault::kOpen)) return fail(kInjectedError);
  if (faultHits(eFault::kNoMemory)) throw std::bad_alloc();
  mode_ = mode;

  CGlobalFileSystem* fileSystem = TSingleton<CGlobalFileSystem>::_instance;
  if (!fileSystem) return openFile(name);
  if (mode == eOpenWrite) {
    const std::string path = fileSystem->primaryFolder().writePath(name);
    if (path.empty()) return fail(kMissing);
    if (std::unique_ptr<CPrivateCopy> copy = takePrivateCopy(path))
      return openCopy(std::move(copy));
    return openFile(path);
  }
  const TRefPointer<CFileFactory> factory = fileSystem->findFactory(name);
  if (!factory) return fail(kMissing);
  const std::string path = factory->diskPath(name);
  return path.empty() ? openPackEntry(*factory, name) : openFile(path);
}

bool CDatabase::openFile(const std::string& path) {
  if (mode_ == eOpenWrite) {
    // A transaction this process's write lock holds is this session's.
    std::string failure;
    db_ = takeHeldWrite(path);
    if (!db_) db_ = beginWrite(path, failure);
    return db_ ? startSession() : fail(failure);
  }
  std::error_code error;
  // Read mode opens read-write too, with query_only set: a read-only
  // connection could not roll back the journal that a killed writer left.
  if (std::filesystem::is_regular_file(path, error)) {
    db_ = openConnection(path, SQLITE_OPEN_READWRITE, viewedVfs());
  }
  if (!db_) return fail(kMissing);
  if (!execOk(db_.get(), "PRAGMA query_only = 1; BEGIN")) return abandon(kNotRecordDatabase);
  if (!startSession()) return false;
  // The session's read lock keeps writers out of a file in rollback-journal
  // mode, so a second connection walking it sees what this one sees; a file
  // in WAL mode would let them differ.
  const StatementPtr journal = prepare(db_.get(), "PRAGMA journal_mode");
  if (hasTable_ && journal && sqlite3_step(journal.get()) == SQLITE_ROW &&
      sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(journal.get(), 0)),
                      "wal") != 0) {
    streamPath_ = path;
  }
  return true;
}

bool CDatabase::openPackEntry(CFileFactory& factory, const std::string& name) {
  pages_ = factory.openPages(name);
  if (!pages_) return fail(kMissing);
  sqlite3* raw = nullptr;
  const int rc = openPageFile(*pages_, false, &raw);
  db_.reset(raw);
  if (rc != SQLITE_OK || !execOk(raw, "BEGIN")) return abandon(kNotRecordDatabase);
  configureConnection(raw);
  return startSession();
}

bool CDatabase::openCopy(std::unique_ptr<CPrivateCopy> copy) {
  copy_ = std::move(copy);
  sqlite3* raw = nullptr;
  const int rc = openPageFile(copy_->pages(), true, &raw);
  db_.reset(raw);
  if (rc != SQLITE_OK) return abandon(kNotRecordDatabase);
  configureConnection(raw);
  configureWriter(raw);
  // Nobody else sees the copy until it has its name, so a journal would
  // protect nothing: after a failed write the copy is dropped instead.
  if (!execOk(raw, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; BEGIN")) {
    return abandon(kNotRecordDatabase);
  }
  return startSession();
}

bool CDatabase::startSession() {
  sqlite3* db = db_.get();
  // Reading the schema takes the snapshot that the session keeps (rolling
  // back what a killed writer left first), and fails for a file that is not
  // SQLite at all.
  const int64_t tables = singleNumber(db, "SELECT count(*) FROM sqlite_master");
  if (tables < 0) return abandon(sqlite3_errcode(db) == SQLITE_BUSY ? kLocked : kNotRecordDatabase);
  if (tables == 0 && hasNoPages(db)) {
    if (mode_ == eOpenRead) return true;  // an empty database: no table to query
    if (!execOk(db,
                "CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL) "
                "WITHOUT ROWID;"
                "PRAGMA application_id = 0x564F5A49;"
                "PRAGMA user_version = 1;")) {
      return abandon(sqlite3_errmsg(db));
    }
  } else if (!keysAreText(db)) {
    return abandon(sqlite3_errcode(db) == SQLITE_BUSY ? kLocked : kNotRecordDatabase);
  }

  exists_ = CLookupCursor(prepare(db, "SELECT key FROM records WHERE key >= ? ORDER BY key"));
  fetch_ = CLookupCursor(prepare(db, "SELECT key, data FROM records WHERE key >= ? ORDER BY key"));
  store_ = prepare(db, "INSERT OR REPLACE INTO records(key, data) VALUES(?, ?)");
  remove_ = prepare(db, "DELETE FROM records WHERE key = ?");
  walk_ = prepare(db, "SELECT key, data FROM records ORDER BY key");
  if (!exists_ || !fetch_ || !store_ || !remove_ || !walk_) {
    return abandon(sqlite3_errcode(db) == SQLITE_BUSY ? kLocked : kNotRecordDatabase);
  }
  hasTable_ = true;
  return true;
}

void CDatabase::releaseStatements() {
  // The stream reads under this connection's lock: it ends first.
  stream_.reset();
  streamDb_.reset();
  // A statement still alive would keep the connection, and with it its
  // transaction and lock, after the close.
  exists_ = CLookupCursor();
  fetch_ = CLookupCursor();
  store_.reset();
  remove_.reset();
  walk_.reset();
}

void CDatabase::endSession() {
  releaseStatements();
  streamPath_.clear();
  db_.reset();
  copy_.reset();
  pages_.reset();
  hasTable_ = false;
  failed_ = false;
  walking_ = false;
  walkRowCurrent_ = false;
  lastFetched_ = nullptr;
}

bool CDatabase::close() {
  if (!db_) return true;
  bool ok = !failed_;
  releaseStatements();
  sqlite3* db = db_.get();
  if (sqlite3_get_autocommit(db) == 0) {
    if (ok && mode_ == eOpenWrite && faultHits(eFault::kCommit)) ok = fail(kInjectedError);
    if (ok && !execOk(db, "COMMIT")) ok = fail(sqlite3_errmsg(db));
    // A copy has no journal to roll back: it is dropped below instead.
    if (!ok && !copy_) (void)execOk(db, "ROLLBACK");
  }
  db_.reset();
  if (copy_ && ok && !copy_->publish()) ok = fail("the copy could not take its name");
  endSession();
  return ok;
}

bool CDatabase::usable(const char* key) {
  if (failed_) return false;  // the error that failed the session stays the reason
  if (!key) return fail("no key");
  return hasTable_ || fail(db_ ? kNoSuchKey : "not open");
}

bool CDatabase::exists(const char* key) {
  if (!usable(key)) return false;
  switch (exists_.seek(key, std::strlen(key))) {
    case CLookupCursor::eResult::kFound:
      return true;
    case CLookupCursor::eResult::kAbsent:
      return fail(kNoSuchKey);
    default:
      return failSession(sqlite3_errmsg(db_.get()));
  }
}

bool CDatabase::fetch(const char* key, const void*& data, int& length) {
  if (!usable(key)) return false;
  if (faultHits(eFault::kFetch, key)) return failSession(kInjectedError);
  sqlite3_stmt* row = nullptr;
  if (walkRowCurrent_ && (key == walkKey_ || std::strcmp(key, walkKey_) == 0)) {
    // The key the walk stands on: the walk's own row holds its record.
    if (stream_) {
      data = streamRow_.data;
      length = streamRow_.length;
      lastFetched_ = nullptr;  // not in this connection's pages
      return true;
    }
    row = walk_.get();
  } else {
    switch (fetch_.seek(key, std::strlen(key))) {
      case CLookupCursor::eResult::kFound:
        row = fetch_.row();
        break;
      case CLookupCursor::eResult::kAbsent:
        return fail(kNoSuchKey);
      default:
        return failSession(sqlite3_errmsg(db_.get()));
    }
  }
  length = sqlite3_column_bytes(row, 1);
  data = sqlite3_column_blob(row, 1);
  if (!data) data = kEmptyRecord;
  lastFetched_ = data;
  lastFetchedLength_ = length;
  return true;
}

bool CDatabase::store(const char* key, const void* data, int length) {
  if (!usable(key)) return false;
  if (mode_ != eOpenWrite) return fail("opened for reading");
  if (length < 0 || (!data && length > 0)) return fail("no record");
  if (faultHits(eFault::kStore, key)) return failSession(kInjectedError);
  sqlite3_stmt* statement = store_.get();
  // Bytes this database fetched lie in its own pages, which the cursors give
  // up below and the write may move: those are copied at bind time. Any
  // other bytes stay put until the statement has run.
  const auto* bytes = static_cast<const char*>(data);
  const auto* fetched = static_cast<const char*>(lastFetched_);
  const bool own = fetched && bytes >= fetched && bytes < fetched + lastFetchedLength_;
  const int rc = length == 0 ? sqlite3_bind_zeroblob(statement, 2, 0)
                             : sqlite3_bind_blob(statement, 2, data, length,
                                                 own ? SQLITE_TRANSIENT : SQLITE_STATIC);
  if (rc != SQLITE_OK || !bindKey(statement, key)) return fail(sqlite3_errmsg(db_.get()));
  // A new key may fall between a cursor and the key it stands on, and the
  // walk's row no longer holds the key's record.
  exists_.forget();
  fetch_.forget();
  walkRowCurrent_ = false;
  const int stepped = sqlite3_step(statement);
  sqlite3_reset(statement);
  return stepped == SQLITE_DONE || failSession(sqlite3_errmsg(db_.get()));
}

bool CDatabase::remove(const char* key) {
  if (!usable(key)) return false;
  if (mode_ != eOpenWrite) return fail("opened for reading");
  if (faultHits(eFault::kRemove, key)) return failSession(kInjectedError);
  if (!bindKey(remove_.get(), key)) return fail(sqlite3_errmsg(db_.get()));
  exists_.forget();
  fetch_.forget();
  walkRowCurrent_ = false;
  const int stepped = sqlite3_step(remove_.get());
  sqlite3_reset(remove_.get());
  if (stepped != SQLITE_DONE) return failSession(sqlite3_errmsg(db_.get()));
  return sqlite3_changes(db_.get()) == 1 || fail(kNoSuchKey);
}

bool CDatabase::firstKey(const char*& key) {
  if (failed_) return false;
  if (!hasTable_) return fail(db_ ? kNoSuchKey : "not open");
  stream_.reset();
  if (!streamPath_.empty() && !streamDb_) streamDb_ = CWalkStream::openConnection(streamPath_);
  if (streamDb_) stream_ = CWalkStream::start(streamDb_.get());
  sqlite3_reset(walk_.get());
  walking_ = true;
  return stepWalk(key);
}

bool CDatabase::nextKey(const char*& key) {
  if (failed_ || !walking_) return false;
  return stepWalk(key);
}

bool CDatabase::stepWalk(const char*& key) {
  walkRowCurrent_ = false;
  size_t length = 0;
  if (stream_) {
    const CWalkStream::eNext next = stream_->next(streamRow_);
    if (next != CWalkStream::eNext::kRow) {
      walking_ = false;
      return next == CWalkStream::eNext::kEnd ? fail(kNoSuchKey) : failSession(stream_->error());
    }
    walkKey_ = streamRow_.key;
    length = streamRow_.keyLength;
  } else {
    const int rc = sqlite3_step(walk_.get());
    if (rc != SQLITE_ROW) {
      walking_ = false;
      return rc == SQLITE_DONE ? fail(kNoSuchKey) : failSession(sqlite3_errmsg(db_.get()));
    }
    // SQLite keeps the text until the walk steps again. A damaged file may
    // hold a NULL key, which reads as the empty one.
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(walk_.get(), 0));
    walkKey_ = text ? text : "";
    length = static_cast<size_t>(sqlite3_column_bytes(walk_.get(), 0));
  }
  if (std::strlen(walkKey_) != length) {
    walking_ = false;
    return failSession("a key holds a zero byte");
  }
  walkRowCurrent_ = true;
  key = walkKey_;
  return true;
}

}  // namespace rk
