#include "lookup_cursor.h"

#include <sqlite3.h>

#include <algorithm>

namespace rk {

CLookupCursor::eResult CLookupCursor::advance() {
  const int rc = sqlite3_step(statement_.get());
  positioned_ = rc == SQLITE_ROW;
  if (rc == SQLITE_DONE) return eResult::kAbsent;
  if (rc != SQLITE_ROW) return eResult::kFailed;
  // A damaged file may hold a NULL key, which compares as the empty one.
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_.get(), 0));
  key_ = {text ? text : "", static_cast<size_t>(sqlite3_column_bytes(statement_.get(), 0))};
  return eResult::kFound;
}

CLookupCursor::eResult CLookupCursor::seek(const char* key, size_t length) {
  // The cursor stands on the first key at or after the last one asked for.
  // A key at or after the one it stands on is found by stepping forward; one
  // passed over while stepping is not stored.
  for (int steps = 0; positioned_; ++steps) {
    const int order = key_.compare({key, length});
    if (order == 0 || (order > 0 && steps > 0)) {
      stepLimit_ = std::min(stepLimit_ * 2, kMaxSteps);
      return order == 0 ? eResult::kFound : eResult::kAbsent;
    }
    if (order > 0) break;  // it may lie behind: search
    if (steps == stepLimit_) {
      stepLimit_ = std::max(stepLimit_ / 2, 1);
      break;
    }
    const eResult result = advance();
    if (result != eResult::kFound) return result;  // no key at or after it
  }
  // Backwards, far ahead, or after the end: a search from the root.
  sqlite3_reset(statement_.get());
  positioned_ = false;
  if (sqlite3_bind_text(statement_.get(), 1, key, static_cast<int>(length), SQLITE_TRANSIENT) !=
      SQLITE_OK) {
    return eResult::kFailed;
  }
  const eResult result = advance();
  if (result != eResult::kFound) return result;
  return key_ == std::string_view(key, length) ? eResult::kFound : eResult::kAbsent;
}

void CLookupCursor::forget() {
  // One that stands on no row holds no cursor open: writes, many of them in
  // a row, need not reset it every time.
  if (!positioned_) return;
  sqlite3_reset(statement_.get());
  positioned_ = false;
}

}  // namespace rk
