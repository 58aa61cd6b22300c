#pragma once

#include <cstddef>
#include <string_view>

#include "sqlite_connection.h"

namespace rk {

// Looks keys up with a range scan that, after each lookup, stands on the
// first key at or after the key asked for. Lookups in ascending order (the
// comparison's, walking another database) step it forward instead of
// searching the B-tree anew; any other order searches, and so does a lookup
// further ahead than the steps allowed. The allowance, at most 32 rows,
// halves each time a lookup runs out of it (lookups far apart, as a patch's
// few keys out of many) and doubles with each one found close by.
//
// Keys compare as SQLite's BINARY collation orders text: bytes, then length.
class CLookupCursor {
 public:
  enum class eResult { kFound, kAbsent, kFailed };

  CLookupCursor() = default;
  // `statement` selects the key first, ordered by it, from a bound lower
  // limit: "SELECT key, ... FROM records WHERE key >= ? ORDER BY key".
  explicit CLookupCursor(StatementPtr statement) : statement_(std::move(statement)) {}

  // Moves to `key`. kFound: the key is stored, and row() is its row until
  // the next seek or forget. kFailed: SQLite failed (its error code and
  // message are the connection's).
  eResult seek(const char* key, size_t length);
  sqlite3_stmt* row() const { return statement_.get(); }
  // Lets go of the row: a write may put a key between the cursor and the one
  // it stands on, so the next seek must search.
  void forget();
  explicit operator bool() const { return statement_ != nullptr; }

 private:
  // Steps once and takes note of the key it then stands on.
  eResult advance();

  StatementPtr statement_;
  bool positioned_ = false;  // it stands on a row
  std::string_view key_;     // the key of that row, SQLite's until it steps
  static constexpr int kMaxSteps = 32;
  int stepLimit_ = kMaxSteps;  // steps forward before a lookup searches instead
};

}  // namespace rk
