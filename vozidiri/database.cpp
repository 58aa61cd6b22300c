#include "database.h"

#include <sqlite3.h>

#include <filesystem>
#include <system_error>

#include "fault_injection.h"
#include "file_system.h"
#include "platform.h"

namespace rk {
namespace {

constexpr int kLockWaitMs = 3000;
constexpr unsigned char kEmptyRecord[1] = {0};
constexpr const char* kMissing = "missing";
constexpr const char* kLocked = "locked";
constexpr const char* kNotRecordDatabase = "not a record database";
constexpr const char* kInjectedError = "disk I/O error";

struct ConnectionPtrCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using ConnectionPtr = std::unique_ptr<sqlite3, ConnectionPtrCloser>;

ConnectionPtr openConnection(const std::string& path, int flags) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  ConnectionPtr db(raw);
  if (rc != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db.get(), kLockWaitMs);
  return db;
}

bool execOk(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
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

CDatabase::Outcome CDatabase::step(sqlite3_stmt* statement, eFault fault) {
  if (faultHits(fault)) {
    failed_ = true;
    lastError_ = kInjectedError;
    return Outcome::kFailed;
  }
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

bool CDatabase::bindKey(sqlite3_stmt* statement, const char* key) {
  return key && sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC) == SQLITE_OK;
}

bool CDatabase::open(const std::string& name, eOpenFlags mode) {
  const bool wasWriting = isOpen() && mode_ == eOpenWrite;
  if (!close() && wasWriting) return false;
  failed_ = false;
  if (mode != eOpenRead && mode != eOpenWrite) return fail("unknown open mode");
  if (faultHits(eFault::kOpen)) return fail(kInjectedError);

  CGlobalFileSystem* fileSystem = TSingleton<CGlobalFileSystem>::_instance;
  if (!fileSystem) return openFile(name, mode);
  if (mode == eOpenWrite) {
    if (!staysInside(name)) return fail(kMissing);
    return openFile(fileSystem->getPrimaryFactory()->diskPath(name), mode);
  }
  const TRefPointer<CFileFactory> factory = fileSystem->findFactory(name);
  if (!factory) return fail(kMissing);
  const std::string path = factory->diskPath(name);
  if (!path.empty()) return openFile(path, mode);

  // A pack entry: read whole into memory and opened from there, read-only.
  const TRefPointer<CStream> stream = factory->openRead(name, CStream::eBinary);
  const int size = stream ? stream->getSize() : -1;
  if (size < 0) return fail(kMissing);
  db_.reset(openConnection(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).release());
  if (!db_) return fail("out of memory");
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
    if (sqlite3_deserialize(db_.get(), "main", bytes, size, size,
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY) !=
        SQLITE_OK) {
      db_.reset();
      return fail(kNotRecordDatabase);
    }
  }
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
  db_.reset(openConnection(path, SQLITE_OPEN_READWRITE).release());
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

  exists_ = prepare("SELECT 1 FROM records WHERE key = ?");
  fetch_ = prepare("SELECT data FROM records WHERE key = ?");
  store_ = prepare("INSERT OR REPLACE INTO records(key, data) VALUES(?, ?)");
  remove_ = prepare("DELETE FROM records WHERE key = ?");
  walk_ = prepare("SELECT key FROM records ORDER BY key");
  hasTable_ = exists_ && fetch_ && store_ && remove_ && walk_;
  return hasTable_ || fail(kNotRecordDatabase);
}

bool CDatabase::close() {
  if (!db_) return true;
  exists_.reset();
  fetch_.reset();
  store_.reset();
  remove_.reset();
  walk_.reset();
  hasTable_ = false;
  walkKey_.clear();
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

bool CDatabase::exists(const char* key) {
  if (!usable() || !bindKey(exists_.get(), key)) return false;
  return stepOnce(exists_.get()) == Outcome::kRow;
}

bool CDatabase::fetch(const char* key, const void*& data, int& length) {
  if (!usable()) return false;
  // The previous fetch's row is given up only here, so its bytes stay valid
  // until the next call that is allowed to invalidate them.
  sqlite3_reset(fetch_.get());
  if (!bindKey(fetch_.get(), key)) return false;
  if (step(fetch_.get(), eFault::kFetch) != Outcome::kRow) {
    sqlite3_reset(fetch_.get());
    return false;
  }
  length = sqlite3_column_bytes(fetch_.get(), 0);
  data = sqlite3_column_blob(fetch_.get(), 0);
  if (!data) data = kEmptyRecord;
  return true;
}

bool CDatabase::store(const char* key, const void* data, int length) {
  if (!usable() || mode_ != eOpenWrite || length < 0 || (!data && length > 0)) return false;
  sqlite3_stmt* statement = store_.get();
  if (!bindKey(statement, key)) return false;
  // Copied at bind time: the bytes may be this database's own fetched record,
  // which the reset below gives up.
  const int rc = length == 0 ? sqlite3_bind_zeroblob(statement, 2, 0)
                             : sqlite3_bind_blob(statement, 2, data, length, SQLITE_TRANSIENT);
  sqlite3_reset(fetch_.get());
  if (rc != SQLITE_OK) return false;
  return stepOnce(statement, eFault::kStore) == Outcome::kDone;
}

bool CDatabase::remove(const char* key) {
  if (!usable() || mode_ != eOpenWrite || !bindKey(remove_.get(), key)) return false;
  sqlite3_reset(fetch_.get());
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
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(walk_.get(), 0));
  walkKey_.assign(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(walk_.get(), 0)));
  key = walkKey_.c_str();
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
