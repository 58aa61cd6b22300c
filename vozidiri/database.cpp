#include "database.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "fault_injection.h"
#include "file_system.h"
#include "platform.h"

namespace rk {
namespace {

constexpr int kLockWaitMs = 3000;
// A lookup this many keys ahead of the last one searches instead of stepping.
constexpr int kMaxSteps = 32;
constexpr unsigned char kEmptyRecord[1] = {0};
constexpr const char* kMissing = "missing";
constexpr const char* kLocked = "locked";
constexpr const char* kNotRecordDatabase = "not a record database";
constexpr const char* kInjectedError = "disk I/O error";

using ConnectionPtr = std::unique_ptr<sqlite3, CDatabase::ConnectionCloser>;

ConnectionPtr openConnection(const std::string& path, int flags) {
  sqlite3* raw = nullptr;
  // One thread uses each connection: SQLite's own locking per call is waste.
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  ConnectionPtr db(raw);
  if (rc != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db.get(), kLockWaitMs);
  return db;
}

bool execOk(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool bindKey(sqlite3_stmt* statement, const char* key) {
  return key && sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC) == SQLITE_OK;
}

}  // namespace

void CDatabase::ConnectionCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void CDatabase::StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

CDatabase::CDatabase() = default;

CDatabase::~CDatabase() { (void)close(); }

bool CDatabase::fail(const std::string& reason) {
  lastError_ = reason;
  return false;
}

CDatabase::Statement CDatabase::prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  return Statement(statement);
}

bool CDatabase::injected(eFault fault) {
  if (!faultHits(fault)) return false;
  failed_ = true;
  lastError_ = kInjectedError;
  return true;
}

CDatabase::Outcome CDatabase::step(sqlite3_stmt* statement, eFault fault) {
  if (injected(fault)) return Outcome::kFailed;
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) return Outcome::kRow;
  if (rc == SQLITE_DONE) return Outcome::kDone;
  failed_ = true;
  lastError_ = sqlite3_errmsg(db_.get());
  return Outcome::kFailed;
}

CDatabase::Outcome CDatabase::stepOnce(sqlite3_stmt* statement, eFault fault) {
  const Outcome outcome = step(statement, fault);
  sqlite3_reset(statement);
  return outcome;
}

bool CDatabase::open(const std::string& name, eOpenFlags mode) {
  const bool wasWriting = isOpen() && mode_ == eOpenWrite;
  if (!close() && wasWriting) return false;
  failed_ = false;
  if (mode != eOpenRead && mode != eOpenWrite) return fail("unknown open mode");
  if (injected(eFault::kOpen)) return false;
  if (faultHits(eFault::kNoMemory)) throw std::bad_alloc();

  CGlobalFileSystem* fileSystem = TSingleton<CGlobalFileSystem>::_instance;
  if (!fileSystem) return openFile(name, mode);
  if (mode == eOpenWrite) {
    if (!staysInside(name)) return fail(kMissing);
    return openFile(fileSystem->getPrimaryFactory()->diskPath(name), mode);
  }
  const TRefPointer<CFileFactory> factory = fileSystem->findFactory(name);
  if (!factory) return fail(kMissing);
  const std::string path = factory->diskPath(name);
  return path.empty() ? openPackEntry(*factory, name) : openFile(path, mode);
}

bool CDatabase::openPackEntry(CFileFactory& factory, const std::string& name) {
  const TRefPointer<CStream> stream = factory.openRead(name, CStream::eBinary);
  const int size = stream ? stream->getSize() : -1;
  if (size < 0) return fail(kMissing);
  ConnectionPtr db = openConnection(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!db) return fail("out of memory");
  if (size > 0) {
    auto* bytes = static_cast<unsigned char*>(sqlite3_malloc64(static_cast<sqlite3_uint64>(size)));
    if (!bytes) return fail("out of memory");
    int got = 0;
    for (int n = 1; got < size && n > 0; got += n) n = stream->read(bytes + got, size - got);
    if (got != size) {
      sqlite3_free(bytes);
      return fail("could not read the pack entry");
    }
    // A database packed while in WAL mode: memory has no WAL to read, and the
    // pages are whole without one.
    if (size > 19 && bytes[18] == 2 && bytes[19] == 2) bytes[18] = bytes[19] = 1;
    if (sqlite3_deserialize(db.get(), "main", bytes, size, size,
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY) !=
        SQLITE_OK) {
      return fail(kNotRecordDatabase);
    }
  }
  db_ = std::move(db);
  if (!startSession(eOpenRead, size == 0)) {
    db_.reset();
    return false;
  }
  return true;
}

bool CDatabase::openFile(const std::string& path, eOpenFlags mode) {
  std::error_code error;
  if (path.empty() || !std::filesystem::is_regular_file(path, error)) return fail(kMissing);
  const bool emptyFile = std::filesystem::file_size(path, error) == 0 && !error;
  // Read mode opens read-write too, with query_only set: a read-only
  // connection could not roll back the journal that a killed writer left.
  db_ = openConnection(path, SQLITE_OPEN_READWRITE);
  if (!db_) return fail(kMissing);
  if (!startSession(mode, emptyFile)) {
    db_.reset();
    return false;
  }
  return true;
}

bool CDatabase::startSession(eOpenFlags mode, bool emptyFile) {
  sqlite3* db = db_.get();
  mode_ = mode;
  // Large pages for a database this opening creates: walks read the file in
  // fewer, larger pieces, and the B-tree is shallower for lookups. It must
  // be set before the transaction touches the file.
  if (emptyFile && mode == eOpenWrite) execOk(db, "PRAGMA page_size = 65536");
  const char* begin = mode == eOpenWrite ? "BEGIN IMMEDIATE" : "PRAGMA query_only = 1; BEGIN";
  if (!execOk(db, begin)) {
    const int code = sqlite3_errcode(db);
    return fail(code == SQLITE_BUSY     ? kLocked
                : code == SQLITE_NOTADB ? kNotRecordDatabase
                                        : sqlite3_errmsg(db));
  }

  // Reading the schema takes the snapshot that the session keeps, and fails
  // for a file that is not SQLite at all.
  Statement schema = prepare("SELECT count(*) FROM sqlite_master");
  if (!schema) return fail(kNotRecordDatabase);
  const int rc = sqlite3_step(schema.get());
  if (rc == SQLITE_BUSY) return fail(kLocked);
  if (rc != SQLITE_ROW) return fail(kNotRecordDatabase);
  const bool noTables = sqlite3_column_int64(schema.get(), 0) == 0;
  schema.reset();

  if (emptyFile && noTables) {
    if (mode == eOpenRead) {
      hasTable_ = false;
      return true;
    }
    if (!execOk(db,
                "CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL) "
                "WITHOUT ROWID;"
                "PRAGMA application_id = 0x564F5A49;"
                "PRAGMA user_version = 1;")) {
      return fail(sqlite3_errmsg(db));
    }
  }

  exists_.statement = prepare("SELECT key FROM records WHERE key >= ? ORDER BY key");
  fetch_.statement = prepare("SELECT key, data FROM records WHERE key >= ? ORDER BY key");
  store_ = prepare("INSERT OR REPLACE INTO records(key, data) VALUES(?, ?)");
  remove_ = prepare("DELETE FROM records WHERE key = ?");
  walk_ = prepare("SELECT key, data FROM records ORDER BY key");
  hasTable_ = exists_.statement && fetch_.statement && store_ && remove_ && walk_;
  return hasTable_ || fail(kNotRecordDatabase);
}

bool CDatabase::close() {
  if (!db_) return true;
  exists_ = Cursor();
  fetch_ = Cursor();
  store_.reset();
  remove_.reset();
  walk_.reset();
  hasTable_ = false;
  walkKey_ = nullptr;
  walking_ = false;
  bool ok = !failed_;
  if (sqlite3_get_autocommit(db_.get()) == 0) {
    if (ok && mode_ == eOpenWrite && faultHits(eFault::kCommit)) ok = fail(kInjectedError);
    if (ok && !execOk(db_.get(), "COMMIT")) ok = fail(sqlite3_errmsg(db_.get()));
    if (!ok) execOk(db_.get(), "ROLLBACK");
  }
  db_.reset();
  failed_ = false;
  return ok;
}

namespace {

// Keys as SQLite's BINARY collation orders them: bytes, then length.
int compareKeys(const char* a, size_t aLength, const char* b, size_t bLength) {
  const int order = std::memcmp(a, b, std::min(aLength, bLength));
  return order != 0 ? order : (aLength < bLength ? -1 : aLength > bLength ? 1 : 0);
}

}  // namespace

CDatabase::Outcome CDatabase::seek(Cursor& cursor, const char* key, eFault fault) {
  if (injected(fault)) return Outcome::kFailed;
  sqlite3_stmt* statement = cursor.statement.get();
  const size_t keyLength = std::strlen(key);
  // Steps the cursor and takes note of the key it then stands on.
  auto advance = [&] {
    const Outcome outcome = step(statement);
    cursor.positioned = outcome == Outcome::kRow;
    if (cursor.positioned) {
      // A damaged file may hold a NULL key, which compares as the empty one.
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      cursor.key = text ? text : "";
      cursor.keyLength = static_cast<size_t>(sqlite3_column_bytes(statement, 0));
    }
    return outcome;
  };
  // The cursor stands on the first key at or after the last one asked for.
  // A key at or after the one it stands on is found by stepping forward; one
  // passed over while stepping is not stored.
  for (int steps = 0; cursor.positioned && steps < kMaxSteps; ++steps) {
    const int order = compareKeys(cursor.key, cursor.keyLength, key, keyLength);
    if (order == 0) return Outcome::kRow;
    if (order > 0) {
      if (steps > 0) return Outcome::kDone;
      break;  // it may lie behind: search
    }
    const Outcome outcome = advance();
    if (outcome != Outcome::kRow) return outcome;  // no key at or after it
  }
  // Backwards, far ahead, or after the end: a search from the root.
  sqlite3_reset(statement);
  cursor.positioned = false;
  if (sqlite3_bind_text(statement, 1, key, static_cast<int>(keyLength), SQLITE_TRANSIENT) !=
      SQLITE_OK) {
    return Outcome::kDone;
  }
  const Outcome outcome = advance();
  if (outcome != Outcome::kRow) return outcome;
  return compareKeys(cursor.key, cursor.keyLength, key, keyLength) == 0 ? Outcome::kRow
                                                                        : Outcome::kDone;
}

void CDatabase::forgetCursors() {
  for (Cursor* cursor : {&exists_, &fetch_}) {
    if (!cursor->positioned) continue;
    sqlite3_reset(cursor->statement.get());
    cursor->positioned = false;
  }
}

bool CDatabase::exists(const char* key) {
  return usable() && key && seek(exists_, key, eFault::kNone) == Outcome::kRow;
}

bool CDatabase::fetch(const char* key, const void*& data, int& length) {
  if (!usable() || !key) return false;
  sqlite3_stmt* row = nullptr;
  if (walking_ && (key == walkKey_ || std::strcmp(key, walkKey_) == 0)) {
    // The key the walk stands on: the walk's own row holds its record.
    if (injected(eFault::kFetch)) return false;
    row = walk_.get();
  } else if (seek(fetch_, key, eFault::kFetch) == Outcome::kRow) {
    row = fetch_.statement.get();
  } else {
    return false;
  }
  length = sqlite3_column_bytes(row, 1);
  data = sqlite3_column_blob(row, 1);
  if (!data) data = kEmptyRecord;
  lastFetched_ = data;
  lastFetchedLength_ = length;
  return true;
}

bool CDatabase::store(const char* key, const void* data, int length) {
  if (!usable() || mode_ != eOpenWrite || length < 0 || (!data && length > 0)) return false;
  sqlite3_stmt* statement = store_.get();
  if (!bindKey(statement, key)) return false;
  // Bytes this database fetched lie in its own pages, which the cursors give
  // up below and the write may move: those are copied at bind time. Any
  // other bytes stay put until the statement has run.
  const auto* bytes = static_cast<const char*>(data);
  const auto* fetched = static_cast<const char*>(lastFetched_);
  const bool own = fetched && bytes >= fetched && bytes < fetched + lastFetchedLength_;
  const int rc = length == 0 ? sqlite3_bind_zeroblob(statement, 2, 0)
                             : sqlite3_bind_blob(statement, 2, data, length,
                                                 own ? SQLITE_TRANSIENT : SQLITE_STATIC);
  // A new key may fall between a cursor and the key it stands on.
  forgetCursors();
  if (rc != SQLITE_OK) return false;
  return stepOnce(statement, eFault::kStore) == Outcome::kDone;
}

bool CDatabase::remove(const char* key) {
  if (!usable() || mode_ != eOpenWrite || !bindKey(remove_.get(), key)) return false;
  forgetCursors();
  return stepOnce(remove_.get(), eFault::kRemove) == Outcome::kDone &&
         sqlite3_changes(db_.get()) == 1;
}

bool CDatabase::firstKey(const char*& key) {
  if (!usable()) return false;
  sqlite3_reset(walk_.get());
  walking_ = true;
  return stepWalk(key);
}

bool CDatabase::nextKey(const char*& key) {
  if (!usable() || !walking_) return false;
  return stepWalk(key);
}

bool CDatabase::stepWalk(const char*& key) {
  if (step(walk_.get()) != Outcome::kRow) {
    walking_ = false;
    return false;
  }
  // SQLite keeps the text until the walk steps again.
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(walk_.get(), 0));
  walkKey_ = text ? text : "";
  key = walkKey_;
  return true;
}

bool isRecordDatabaseFile(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (error) return false;
  if (size == 0) return true;
  const ConnectionPtr db = openConnection(path, SQLITE_OPEN_READONLY);
  sqlite3_stmt* statement = nullptr;
  const bool ok = db && sqlite3_prepare_v2(db.get(), "SELECT key, data FROM records LIMIT 0", -1,
                                           &statement, nullptr) == SQLITE_OK;
  sqlite3_finalize(statement);
  return ok;
}

bool copyDatabaseFile(std::FILE* from, const std::string& fromPath, std::FILE* to,
                      const std::string& toPath) {
  const ConnectionPtr source = openConnection(fromPath, SQLITE_OPEN_READWRITE);
  // The read transaction rolls back a hot journal first (or fails when it
  // cannot), and keeps writers from changing the file until it ends.
  if (!source || !execOk(source.get(), "BEGIN; SELECT count(*) FROM sqlite_master")) {
    return false;
  }
  sqlite3_stmt* statement = nullptr;
  bool wal = false;
  if (sqlite3_prepare_v2(source.get(), "PRAGMA journal_mode", -1, &statement, nullptr) ==
          SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    wal = mode && std::string(mode) == "wal";
  }
  sqlite3_finalize(statement);

  bool ok = false;
  if (!wal) {
    // In rollback-journal mode the file itself is the database while the
    // read lock is held: its bytes are copied as they are.
    ok = platform::copyWholeFile(from, to);
  } else if (const ConnectionPtr target = openConnection(toPath, SQLITE_OPEN_READWRITE)) {
    // Committed pages may still be in the WAL file: copy page by page
    // through SQLite, which reads them from wherever they are.
    sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
    ok = backup && sqlite3_backup_step(backup, -1) == SQLITE_DONE;
    ok = sqlite3_backup_finish(backup) == SQLITE_OK && ok;
    ok = ok && execOk(target.get(), "PRAGMA journal_mode = DELETE");
  }
  execOk(source.get(), "COMMIT");
  return ok;
}

}  // namespace rk
