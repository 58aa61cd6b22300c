#pragma once

#include <memory>
#include <string>

#include "page_vfs.h"

struct sqlite3;
struct sqlite3_file;
struct sqlite3_stmt;

namespace rk {

// SQLite connections and statements as every part of the library opens and
// owns them. Each connection opens through the library's VFS (page_vfs.h)
// and waits for another process's lock as long as a normal job takes before
// a call gives up with SQLITE_BUSY.

struct ConnectionCloser {
  void operator()(sqlite3* db) const;
};
using ConnectionPtr = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const;
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Opens a connection on `pages`, which must outlive it, read-only or
// read-write; null when it cannot be opened. One that writes must turn the
// journal off (journal_mode = OFF) before its first write.
ConnectionPtr openPageConnection(CPageSource& pages, bool writable);

// Opens the database file at `path` for reading and takes its snapshot: a
// read transaction held until the connection ends. A file in the folder the
// run writes (`writable`) opens as any SQLite reader opens it, a killed
// writer's hot journal rolled back first. Any other file is only read, and
// nothing beside it is created or removed: a hot journal makes it unreadable,
// and a file in WAL mode without a WAL file is read as it stands. Null when
// not opened; `failure` then says why: "missing", "locked", "hot journal",
// "not a record database".
ConnectionPtr openSnapshot(const std::string& path, bool writable, std::string& failure);

// Opens the database file at `path` and begins a write transaction at once,
// waiting for another's lock, set up as configureWriter says. Null when not
// begun; `failure` then says why: "missing", "read-only", "locked", "not a
// record database".
ConnectionPtr beginWrite(const std::string& path, std::string& failure);
// Readies a connection for a write session: a file with no pages yet gets
// the page size of the databases the library creates; the session a cache.
void configureWriter(sqlite3* db);

// The main database file of `db` as SQLite's VFS holds it; null when none.
sqlite3_file* mainFile(sqlite3* db);

// Reasons a database did not open, as `failure` and lastError() give them.
inline constexpr char kMissing[] = "missing";
inline constexpr char kNotRecordDatabase[] = "not a record database";
// Why `db` could not begin a transaction, or read its schema: "locked" when
// another process held the lock longer than the wait, "hot journal" for a
// file only read that a killed writer left, otherwise kNotRecordDatabase.
const char* failureOf(sqlite3* db);

[[nodiscard]] bool execOk(sqlite3* db, const char* sql);
// A prepared statement that lives as long as a session; null on an error,
// which sqlite3_errcode(db) then tells.
StatementPtr prepare(sqlite3* db, const char* sql);
// The first row's first column as text; empty when there is none.
std::string firstText(sqlite3* db, const char* sql);

}  // namespace rk
