#pragma once

#include <string>

// Faults on cue, for tests: a test arms a point, and the library fails there
// as the disk or SQLite would (a database call with "disk I/O error", a page
// write with "database or disk is full", a copy that stops short), so every
// error path of its callers can be made to happen exactly once, where the
// test wants it.
//
// The points exist only in builds for tests (VOZIDIRI_FAULTS defined, as the
// build does for the test programs); elsewhere faultHits is a constant false
// that the compiler removes, and nothing of the seam is in the program.
namespace rk {

enum class eFault {
  kOpen,        // CDatabase::open
  kFetch,       // CDatabase::fetch, by key
  kStore,       // CDatabase::store, by key
  kRemove,      // CDatabase::remove, by key
  kCommit,      // the commit of a write session, at close
  kCreate,      // the file a copy is made in cannot be created
  kCopy,        // the copy of a database into it stops short
  kWrite,       // a write of SQLite's into a copy or a temporary file fails
  kPublish,     // a finished copy cannot take its name
  kNoMemory,    // CDatabase::open runs out of memory: throws std::bad_alloc
  kUnnamed,     // the system offers no file without a name (O_TMPFILE)
  kUnreadable,  // a pack cannot be read at all (no permission, no descriptor)
  kNone,        // no point: arming it does nothing
};

// How long a call waits for another process's lock: as long as a normal job
// takes.
inline constexpr int kLockWaitMs = 60000;

#ifdef VOZIDIRI_FAULTS

// Arms `point` to fail once: at the `nth` call that reaches it from now on
// (1: the next one), counted over every object; with a `key`, at the nth call
// for that key only ("the fetch of k1"). Arming a point again replaces what
// was armed there.
void injectFault(eFault point, int nth = 1, const std::string& key = {});
// Unarms every point and restores the lock wait.
void clearFaults();
// True when this call at `point` (about `key`, if it has one) is the one that
// must fail; the point is then unarmed.
[[nodiscard]] bool faultHits(eFault point, const char* key = nullptr);

// How long a call waits for another process's lock, in milliseconds; tests
// shorten it to see what happens when the wait runs out.
void setLockWaitMs(int milliseconds);
int lockWaitMs();

// Unarms every point and restores the lock wait when it ends, however the
// test that made it leaves: a test arms its faults through one.
class CFaultScope {
 public:
  CFaultScope() = default;
  CFaultScope(const CFaultScope&) = delete;
  CFaultScope& operator=(const CFaultScope&) = delete;
  ~CFaultScope() { clearFaults(); }

  const CFaultScope& inject(eFault point, int nth = 1, const std::string& key = {}) const {
    injectFault(point, nth, key);
    return *this;
  }
  const CFaultScope& lockWait(int milliseconds) const {
    setLockWaitMs(milliseconds);
    return *this;
  }
};

#else

constexpr bool faultHits(eFault, const char* = nullptr) { return false; }
constexpr int lockWaitMs() { return kLockWaitMs; }

#endif

}  // namespace rk
