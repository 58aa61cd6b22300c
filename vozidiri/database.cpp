#include "database.h"

#include <sqlite3.h>

#include <filesystem>
#include <system_error>

#include "file_system.h"

namespace rk {
namespace {

constexpr int kLockWaitMs = 3000;
constexpr unsigned char kEmptyRecord[1] = {0};

// The one place where SQLite's result codes become the library's answers:
// a row, the end of a statement, or a failure (which the callers report as
// false; there is nothing more a caller could do with the code).
enum class Outcome { kRow, kDone, kFailed };

Outcome outcomeOf(int rc) {
  switch (rc) {
    case SQLITE_ROW:
      return Outcome::kRow;
    case SQLITE_OK:
    case SQLITE_DONE:
      return Outcome::kDone;
    default:
      return Outcome::kFailed;
  }
}

Outcome exec(sqlite3* db, const char* sql) {
  return outcomeOf(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

// Steps a statement that was bound for one lookup and resets it, keeping
// nothing of the row.
Outcome stepOnce(sqlite3_stmt* statement) {
  const Outcome outcome = outcomeOf(sqlite3_step(statement));
  sqlite3_reset(statement);
  return outcome;
}

bool bindKey(sqlite3_stmt* statement, const char* key) {
  return key &&
         outcomeOf(sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC)) == Outcome::kDone;
}

// Where the named database lies on disk, or empty when nothing holds it.
std::string pathOf(const std::string& name, CDatabase::eOpenFlags mode) {
  CGlobalFileSystem* fileSystem = TSingleton<CGlobalFileSystem>::_instance;
  if (!fileSystem) return name;
  if (mode == CDatabase::eOpenWrite) return fileSystem->getPrimaryFactory()->diskPath(name);
  return fileSystem->diskPath(name);
}

}  // namespace

void CDatabase::ConnectionCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void CDatabase::StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

CDatabase::CDatabase() = default;

CDatabase::~CDatabase() { (void)close(); }

CDatabase::Statement CDatabase::prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  return Statement(statement);
}

bool CDatabase::open(const std::string& name, eOpenFlags mode) {
  if (!close()) return false;
  if (mode != eOpenRead && mode != eOpenWrite) return false;
  const std::string path = pathOf(name, mode);
  if (path.empty()) return false;
  std::error_code error;
  const bool emptyFile = std::filesystem::file_size(path, error) == 0 && !error;

  // Read mode opens read-write too, with query_only set: a read-only
  // connection could not roll back the journal that a killed writer left.
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  db_.reset(raw);
  if (outcomeOf(rc) == Outcome::kFailed || !startSession(mode, emptyFile)) {
    db_.reset();
    return false;
  }
  return true;
}

bool CDatabase::startSession(eOpenFlags mode, bool emptyFile) {
  sqlite3* db = db_.get();
  mode_ = mode;
  sqlite3_busy_timeout(db, kLockWaitMs);
  const char* begin = mode == eOpenWrite ? "BEGIN IMMEDIATE" : "PRAGMA query_only = 1; BEGIN";
  if (exec(db, begin) == Outcome::kFailed) return false;

  // Reading the schema takes the snapshot that the session keeps, and fails
  // for a file that is not SQLite at all.
  Statement schema = prepare("SELECT count(*) FROM sqlite_master");
  if (!schema || outcomeOf(sqlite3_step(schema.get())) != Outcome::kRow) return false;
  const bool noTables = sqlite3_column_int64(schema.get(), 0) == 0;
  schema.reset();

  if (emptyFile && noTables) {
    if (mode == eOpenRead) {
      hasTable_ = false;
      return true;
    }
    if (exec(db,
             "CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL) "
             "WITHOUT ROWID;"
             "PRAGMA application_id = 0x564F5A49;"
             "PRAGMA user_version = 1;") == Outcome::kFailed) {
      return false;
    }
  }

  exists_ = prepare("SELECT 1 FROM records WHERE key = ?");
  fetch_ = prepare("SELECT data FROM records WHERE key = ?");
  store_ = prepare("INSERT OR REPLACE INTO records(key, data) VALUES(?, ?)");
  remove_ = prepare("DELETE FROM records WHERE key = ?");
  walk_ = prepare("SELECT key FROM records ORDER BY key");
  hasTable_ = exists_ && fetch_ && store_ && remove_ && walk_;
  return hasTable_;
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
  bool committed = true;
  if (sqlite3_get_autocommit(db_.get()) == 0) {
    committed = exec(db_.get(), "COMMIT") != Outcome::kFailed;
    if (!committed) exec(db_.get(), "ROLLBACK");
  }
  db_.reset();
  return committed || mode_ == eOpenRead;
}

bool CDatabase::exists(const char* key) {
  if (!hasTable_ || !bindKey(exists_.get(), key)) return false;
  return stepOnce(exists_.get()) == Outcome::kRow;
}

bool CDatabase::fetch(const char* key, const void*& data, int& length) {
  if (!hasTable_) return false;
  // The previous fetch's row is given up only here, so its bytes stay valid
  // until the next call that is allowed to invalidate them.
  sqlite3_reset(fetch_.get());
  if (!bindKey(fetch_.get(), key)) return false;
  if (outcomeOf(sqlite3_step(fetch_.get())) != Outcome::kRow) {
    sqlite3_reset(fetch_.get());
    return false;
  }
  length = sqlite3_column_bytes(fetch_.get(), 0);
  data = sqlite3_column_blob(fetch_.get(), 0);
  if (!data) data = kEmptyRecord;
  return true;
}

bool CDatabase::store(const char* key, const void* data, int length) {
  if (!hasTable_ || mode_ != eOpenWrite || length < 0 || (!data && length > 0)) return false;
  sqlite3_stmt* statement = store_.get();
  if (!bindKey(statement, key)) return false;
  // Copied at bind time: the bytes may be this database's own fetched record,
  // which the reset below gives up.
  const int rc = length == 0 ? sqlite3_bind_zeroblob(statement, 2, 0)
                             : sqlite3_bind_blob(statement, 2, data, length, SQLITE_TRANSIENT);
  sqlite3_reset(fetch_.get());
  if (outcomeOf(rc) == Outcome::kFailed) return false;
  return stepOnce(statement) == Outcome::kDone;
}

bool CDatabase::remove(const char* key) {
  if (!hasTable_ || mode_ != eOpenWrite || !bindKey(remove_.get(), key)) return false;
  sqlite3_reset(fetch_.get());
  return stepOnce(remove_.get()) == Outcome::kDone && sqlite3_changes(db_.get()) == 1;
}

bool CDatabase::firstKey(const char*& key) {
  if (!hasTable_) return false;
  sqlite3_reset(walk_.get());
  walking_ = true;
  return stepWalk(key);
}

bool CDatabase::nextKey(const char*& key) {
  if (!hasTable_ || !walking_) return false;
  return stepWalk(key);
}

bool CDatabase::stepWalk(const char*& key) {
  if (outcomeOf(sqlite3_step(walk_.get())) != Outcome::kRow) {
    walking_ = false;
    return false;
  }
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(walk_.get(), 0));
  walkKey_.assign(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(walk_.get(), 0)));
  key = walkKey_.c_str();
  return true;
}

}  // namespace rk
