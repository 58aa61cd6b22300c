#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "file_ptr.h"

// What the library needs of the operating system beyond C and C++, in one
// file per platform. Files are C streams used for their handle only: reads
// and writes go to explicit offsets, never through the buffer or position.
namespace rk::platform {

// A passing conflict (a virus scanner or an indexer holding a file a
// moment, a handle through which another run has just renamed its copy into
// place) is waited out: tried this many times, this far apart.
inline constexpr int kPassingTries = 40;
inline constexpr int kPassingWaitMs = 50;

// Reads up to `size` bytes at `offset`: the count read, fewer only at the
// end of the file; -1 on an error.
int64_t readAt(std::FILE* file, void* buffer, size_t size, uint64_t offset);
// Writes all `size` bytes at `offset`; false on an error (a full disk, a
// file-size limit).
[[nodiscard]] bool writeAt(std::FILE* file, const void* data, size_t size, uint64_t offset);
[[nodiscard]] bool truncateFile(std::FILE* file, uint64_t size);
// The size in bytes of the open file, or -1.
int64_t fileSize(std::FILE* file);

// Has the system start writing what `file` was given out to disk, without
// waiting for it; where it offers no such thing, does nothing.
void startWriteBack(std::FILE* file);

// Copies all of `from` over `to`, which ends the same size, with the
// kernel's help where offered and holes kept where the system can, beyond
// 2 GiB too. False: a read or write failed.
[[nodiscard]] bool copyWholeFile(std::FILE* from, std::FILE* to);

// A new file for bytes nobody else needs to see (a pack entry inflated to be
// read), in the folder TMPDIR names (TMP on Windows) or else the system's
// own, which leaves nothing behind however the process ends. Throws
// std::runtime_error naming the folders tried when neither can be used.
FilePtr createTemporaryFile();

// A new file that takes the name `path` only once complete. Until then no
// other process can open it, and it leaves nothing behind if the process
// ends first: on Linux it has no name (O_TMPFILE); where it cannot, it has
// the name `temporary`, locked while it lives (see removeIfNotHeld).
class CUnpublishedFile {
 public:
  // Null when the file cannot be created (a missing folder, no permission,
  // `temporary` taken).
  static std::unique_ptr<CUnpublishedFile> create(const std::string& path,
                                                  const std::string& temporary);
  CUnpublishedFile(const CUnpublishedFile&) = delete;
  CUnpublishedFile& operator=(const CUnpublishedFile&) = delete;
  // Drops the file, unless it was published.
  ~CUnpublishedFile();

  std::FILE* file() const { return file_.get(); }
  // True when the file has its temporary name rather than none.
  bool named() const { return !temporary_.empty(); }

  // Flushes the file to disk, then gives it the name `path`, but only if
  // nothing has that name yet. The new name is durable when it answers true.
  // False: not published, and the file is dropped.
  [[nodiscard]] bool publish();

 private:
  CUnpublishedFile(FilePtr file, std::string path, std::string temporary)
      : file_(std::move(file)), path_(std::move(path)), temporary_(std::move(temporary)) {}

  FilePtr file_;
  std::string path_;
  std::string temporary_;  // its name until published; empty when unnamed
  bool published_ = false;
};

// Removes the file at `path` unless a living process holds it as an
// unpublished file's temporary name; false when it was kept.
bool removeIfNotHeld(const std::string& path);

// The exclusive lock of a name among processes: while one process holds it,
// others wait in acquire. It ends with the object or the process, and it
// leaves no file behind. `name` is a short text of letters, digits and '-'.
class CNameLock {
 public:
  // Waits up to `waitMs` milliseconds; null when the lock was not had.
  static std::unique_ptr<CNameLock> acquire(const std::string& name, int waitMs);
  CNameLock(const CNameLock&) = delete;
  CNameLock& operator=(const CNameLock&) = delete;
  ~CNameLock();

 private:
  explicit CNameLock(intptr_t handle) : handle_(handle) {}
  intptr_t handle_;  // the platform's descriptor or handle
};

}  // namespace rk::platform
