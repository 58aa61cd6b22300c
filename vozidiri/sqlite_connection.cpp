#include "sqlite_connection.h"

#include <sqlite3.h>

#include "fault_injection.h"

namespace rk {
namespace {

// SQLite counts every allocation under a global lock unless told not to
// before it starts; nothing here reads the counts.
[[maybe_unused]] const int gMemoryStatusOff = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

}  // namespace

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

void configureWriter(sqlite3* db) {
  // 16 KiB: a script fills a new database fastest with large pages, but a
  // patch that changes a few keys spread over the file rewrites (and
  // journals) every page that holds one, which with large pages is most of
  // the file. Measured on a million records, 16 KiB filled the database in
  // 2.5 s where 4 KiB took 3.1 s, and patched 2% of its keys in place in
  // about the time 4 KiB took, where 64 KiB took half as long again.
  (void)execOk(db, "PRAGMA page_size = 16384");
  // SQLite's default cache of 2 MB holds the inner pages of a B-tree of a
  // million records, but not of ten million: there, every spill of the
  // cache wrote them again, after a sync of the journal where there is
  // one. With 16 MiB a patch of 2% of ten million records took 20.4 s in
  // place, not 25.0 s (224 syncs instead of 1,908), and 12.6-15.5 s on a
  // copy, not 27.1 s; at a million it changed nothing.
  (void)execOk(db, "PRAGMA cache_size = -16384");
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
