#pragma once

#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace rk {

// SQLite connections and statements as every part of the library opens and
// owns them.

struct ConnectionCloser {
  void operator()(sqlite3* db) const;
};
using ConnectionPtr = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const;
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Opens the SQLite file at `path` with `flags` (SQLITE_OPEN_*; the file is
// never created unless they say so), through the VFS named `vfs` (null: the
// system's). Null when it cannot be opened.
ConnectionPtr openConnection(const std::string& path, int flags, const char* vfs = nullptr);
// Sets what every connection of the library shares: one thread per
// connection, and a lock held by another process is waited for as long as a
// normal job takes (a minute) before a call gives up with SQLITE_BUSY.
void configureConnection(sqlite3* db);

// Readies a connection for a write session: a database that has no pages
// yet gets the page size of the databases the library creates, and the
// session may keep up to 16 MiB of pages in memory.
void configureWriter(sqlite3* db);

[[nodiscard]] bool execOk(sqlite3* db, const char* sql);
// A prepared statement that lives as long as a session; null on an error,
// which sqlite3_errcode(db) then tells.
StatementPtr prepare(sqlite3* db, const char* sql);

}  // namespace rk
