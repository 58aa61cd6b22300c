#include "sqlite_connection.h"

#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "fault_injection.h"
#include "platform.h"

namespace rk {
namespace {

// SQLite counts every allocation under a global lock unless told not to
// before it starts; nothing here reads the counts.
[[maybe_unused]] const int gMemoryStatusOff = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

bool isRegularFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

// `path` as the path of an SQLite URI: the characters a URI gives a meaning
// escaped, and '/' as the separator everywhere.
std::string uriPath(const std::string& path) {
  std::string uri;
  for (const char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c == '\\' ? '/' : c;
    }
  }
  return uri;
}

// `name` is a path, or a URI with SQLITE_OPEN_URI in `flags`.
ConnectionPtr openConnection(const std::string& name, int flags) {
  sqlite3* raw = nullptr;
  // One thread uses each connection: SQLite's own locking per call is waste.
  const int rc = sqlite3_open_v2(name.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, libraryVfs());
  ConnectionPtr db(raw);
  if (rc != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(raw, lockWaitMs());
  return db;
}

}  // namespace

const char* failureOf(sqlite3* db) {
  if (sqlite3_errcode(db) == SQLITE_BUSY) return "locked";
  if (sqlite3_extended_errcode(db) == SQLITE_READONLY_ROLLBACK) return "hot journal";
  return kNotRecordDatabase;
}

void ConnectionCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

void StatementFinalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

ConnectionPtr openPageConnection(CPageSource& pages, bool writable) {
  return openConnection(
      pagesName(pages),
      (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_URI);
}

ConnectionPtr openSnapshot(const std::string& path, bool writable, std::string& failure) {
  failure = kMissing;
  if (!isRegularFile(path)) return nullptr;
  ConnectionPtr db;
  if (writable) {
    db = openConnection(path, SQLITE_OPEN_READWRITE);
    if (db && !execOk(db.get(), "PRAGMA query_only = 1")) db.reset();
  } else {
    // Read-only without locks first, to learn the file's mode: SQLite would
    // create a missing WAL file, and a shared-memory file, for a WAL database.
    const std::string uri = "file:" + uriPath(path);
    db = openConnection(uri + "?mode=ro&immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    sqlite3_file* file = db ? mainFile(db.get()) : nullptr;
    unsigned char header[kHeaderBytes] = {};
    const bool stands = file && file->pMethods &&
                        file->pMethods->xRead(file, header, sizeof header, 0) == SQLITE_OK &&
                        isWalHeader(header) && !isRegularFile(path + "-wal");
    // Any other file is read with SQLite's locks, as any reader does, but
    // with its shared memory only read: nothing beside it is written.
    if (!stands) {
      db = openConnection(uri + "?mode=ro&readonly_shm=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    }
  }
  if (!db) return nullptr;
  // Reading the schema takes the snapshot; a file not SQLite at all fails.
  if (!execOk(db.get(), "BEGIN; SELECT count(*) FROM sqlite_master")) {
    failure = failureOf(db.get());
    return nullptr;
  }
  return db;
}

ConnectionPtr beginWrite(const std::string& path, std::string& failure) {
  ConnectionPtr db;
  // SQLite opens a file it cannot write read-only instead, and says so only
  // at the first write. On Windows a passing conflict does that too (another
  // run's handle, its copy just renamed into place), so it is tried a while.
  for (int attempt = 0;; ++attempt) {
    db = isRegularFile(path) ? openConnection(path, SQLITE_OPEN_READWRITE) : nullptr;
    if (!db) {
      failure = kMissing;
      return nullptr;
    }
    if (sqlite3_db_readonly(db.get(), "main") != 1) break;
    if (attempt == platform::kPassingTries) {
      failure = "read-only";
      return nullptr;
    }
    db.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(platform::kPassingWaitMs));
  }
  configureWriter(db.get());
  if (!execOk(db.get(), "BEGIN IMMEDIATE")) {
    failure = failureOf(db.get());
    return nullptr;
  }
  return db;
}

void configureWriter(sqlite3* db) {
  // The page size of new databases, and the session's cache: the README's
  // section on speed says what each was measured to buy.
  (void)execOk(db, "PRAGMA page_size = 4096");
  (void)execOk(db, "PRAGMA cache_size = -16384");
}

sqlite3_file* mainFile(sqlite3* db) {
  sqlite3_file* file = nullptr;  // stays null when there is none
  sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file);
  return file;
}

bool execOk(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

StatementPtr prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  return StatementPtr(statement);
}

std::string firstText(sqlite3* db, const char* sql) {
  const StatementPtr statement = prepare(db, sql);
  if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) return {};
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0));
  return text ? text : "";
}

}  // namespace rk
