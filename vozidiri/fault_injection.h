#pragma once

// Faults on cue, for tests: a test arms a point, and the library fails there
// as the disk or SQLite would (a database call with "disk I/O error", a copy
// that stops short, a file that cannot be created), so every error path of
// its callers can be made to happen exactly once, where the test wants it.
// Nothing arms a point outside tests; an unarmed point costs one compare.
namespace rk {

enum class eFault {
  kOpen,       // CDatabase::open
  kFetch,      // CDatabase::fetch
  kStore,      // CDatabase::store
  kRemove,     // CDatabase::remove
  kCommit,     // the commit of a database opened for writing, at close
  kOpenWrite,  // openFileForWrite: the temporary file is not created
  kCopy,       // CStream::copyFrom into a new file stops short
  kNoMemory,   // CDatabase::open runs out of memory: throws std::bad_alloc
  kNone        // no point: never fails
};

// Arms `fault`: of the calls that reach it from now on, counted over every
// object, the `nth` (1: the next one) fails. Each point fails once, then is
// unarmed again.
void injectFault(eFault fault, int nth);
// Unarms every point.
void clearFaults();
// Counts one call at `fault`; true when it is the one that must fail. Called
// by the library at each point.
[[nodiscard]] bool faultHits(eFault fault);

}  // namespace rk
