#pragma once

#include <string>

// Faults on cue, for tests: a test arms a point, and the library fails there
// as the disk or SQLite would, once, where the test wants it. The points
// exist only in the tests' builds (VOZIDIRI_FAULTS); elsewhere faultHits is
// a constant false that the compiler removes.
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

// How long a call waits for another process's lock: a normal job's time.
inline constexpr int kLockWaitMs = 60000;

#ifdef VOZIDIRI_FAULTS

// True when this call at `point` (about `key`, if it has one) is the one that
// must fail; the point is then unarmed.
[[nodiscard]] bool faultHits(eFault point, const char* key = nullptr);
int lockWaitMs();

// A test's faults: armed through it, and all unarmed (the lock wait
// restored) when it ends, however the test leaves.
class CFaultScope {
 public:
  CFaultScope() = default;
  CFaultScope(const CFaultScope&) = delete;
  CFaultScope& operator=(const CFaultScope&) = delete;
  ~CFaultScope();

  // Arms `point` to fail once: at the `nth` call that reaches it from now on
  // (1: the next one), counted over every object; with a `key`, at the nth
  // call for that key only ("the fetch of k1"). Arming a point again
  // replaces what was armed there.
  void inject(eFault point, int nth = 1, const std::string& key = {}) const;
  // Shortens the lock wait, to see what happens when it runs out.
  void lockWait(int milliseconds) const;
};

#else

constexpr bool faultHits(eFault, const char* = nullptr) { return false; }
constexpr int lockWaitMs() { return kLockWaitMs; }

#endif

}  // namespace rk
