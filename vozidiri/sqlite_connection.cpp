#include "sqlite_connection.h"

#include <sqlite3.h>

#include "fault_injection.h"

namespace rk {

void ConnectionCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

void StatementFinalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

ConnectionPtr openConnection(const std::string& path, int flags, const char* vfs) {
  sqlite3* raw = nullptr;
  // One thread uses each connection: SQLite's own locking per call is waste.
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, vfs);
  ConnectionPtr db(raw);
  if (rc != SQLITE_OK) return nullptr;
  configureConnection(db.get());
  return db;
}

void configureConnection(sqlite3* db) { sqlite3_busy_timeout(db, lockWaitMs()); }

void setNewPageSize(sqlite3* db) {
  // SQLite's usual 4 KiB, as other programs make them: a patch that changes
  // a few keys spread over the file rewrites (and journals) only the pages
  // that hold them, where large pages would take most of the file with them.
  (void)execOk(db, "PRAGMA page_size = 4096");
}

bool execOk(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

StatementPtr prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  return StatementPtr(statement);
}

}  // namespace rk
