// clang-format off
#define NOMINMAX
#include <windows.h>  // first: the headers after it rely on its definitions
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "platform.h"

namespace rk::platform {
namespace {

HANDLE handleOf(std::FILE* file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }

OVERLAPPED at(uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

FilePtr streamOf(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FilePtr file(_fdopen(fd, "r+b"));
  if (!file) _close(fd);
  return file;
}

bool flushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const HANDLE handle = handleOf(file);
  return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

// A file in `folder` that Windows deletes when its last handle closes, also
// when the process is killed; null when none can be made there.
FilePtr temporaryFileIn(const std::string& folder) {
  char name[MAX_PATH + 1];
  if (GetTempFileNameA(folder.c_str(), "tvr", 0, name) == 0) return nullptr;
  const HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  // GetTempFileNameA made the file: it must not stay when it cannot be opened.
  if (handle == INVALID_HANDLE_VALUE) DeleteFileA(name);
  return streamOf(handle);
}

}  // namespace

int64_t readAt(std::FILE* file, void* buffer, size_t size, uint64_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    OVERLAPPED overlapped = at(offset + done);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    if (!ReadFile(handleOf(file), bytes + done, want, &got, &overlapped)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

bool writeAt(std::FILE* file, const void* data, size_t size, uint64_t offset) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    OVERLAPPED overlapped = at(offset);
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!WriteFile(handleOf(file), bytes, want, &put, &overlapped) || put == 0) return false;
    bytes += put;
    size -= put;
    offset += put;
  }
  return true;
}

bool truncateFile(std::FILE* file, uint64_t size) {
  return _chsize_s(_fileno(file), static_cast<long long>(size)) == 0;
}

int64_t fileSize(std::FILE* file) { return _filelengthi64(_fileno(file)); }

void startWriteBack(std::FILE*) {}

bool copyWholeFile(std::FILE* from, std::FILE* to) {
  // SQLite locks bytes at 1 GiB in the files it has open, and Windows
  // refuses to read locked bytes through any other handle, this process's
  // too. The page holding them is never part of a database: it is copied as
  // zeros when they cannot be read.
  constexpr uint64_t kLockBytes = uint64_t{1} << 30;
  constexpr size_t kLockLength = 512;
  std::vector<char> buffer(1 << 20);
  uint64_t offset = 0;
  for (;;) {
    int64_t got = readAt(from, buffer.data(), buffer.size(), offset);
    if (got < 0 && GetLastError() == ERROR_LOCK_VIOLATION && offset <= kLockBytes &&
        kLockBytes < offset + buffer.size()) {
      const size_t before = static_cast<size_t>(kLockBytes - offset);
      const size_t after = before + kLockLength;
      std::fill(buffer.begin() + static_cast<ptrdiff_t>(before),
                buffer.begin() + static_cast<ptrdiff_t>(after), '\0');
      const int64_t head = readAt(from, buffer.data(), before, offset);
      const int64_t tail =
          readAt(from, buffer.data() + after, buffer.size() - after, kLockBytes + kLockLength);
      got = head == static_cast<int64_t>(before) && tail >= 0 ? static_cast<int64_t>(after) + tail
                                                              : -1;
    }
    if (got < 0) return false;
    if (got > 0 && !writeAt(to, buffer.data(), static_cast<size_t>(got), offset)) return false;
    offset += static_cast<uint64_t>(got);
    if (static_cast<size_t>(got) < buffer.size()) return truncateFile(to, offset);
  }
}

FilePtr createTemporaryFile() {
  // TMP (or TEMP), then the system's own folder when that one cannot be used.
  char chosen[MAX_PATH + 1];
  char system[MAX_PATH + 1];
  std::vector<std::string> folders;
  if (GetTempPathA(sizeof chosen, chosen) != 0) folders.emplace_back(chosen);
  if (GetWindowsDirectoryA(system, sizeof system) != 0)
    folders.push_back(system + std::string("\\Temp"));
  std::string tried;
  for (const std::string& folder : folders) {
    if (FilePtr file = temporaryFileIn(folder)) return file;
    tried += (tried.empty() ? "" : " nor in ") + folder;
  }
  throw std::runtime_error("could not make a temporary file in " + tried);
}

std::unique_ptr<CUnpublishedFile> CUnpublishedFile::create(const std::string& path,
                                                           const std::string& temporary) {
  // No sharing: while this handle is open nobody else can open or remove the
  // file, which is how removeIfNotHeld tells a living run's file apart.
  // CREATE_NEW fails on an existing name, a link included.
  const HANDLE handle = CreateFileA(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  FilePtr file = streamOf(handle);
  if (!file) {
    if (handle != INVALID_HANDLE_VALUE) DeleteFileA(temporary.c_str());
    return nullptr;
  }
  return std::unique_ptr<CUnpublishedFile>(new CUnpublishedFile(std::move(file), path, temporary));
}

CUnpublishedFile::~CUnpublishedFile() {
  if (!file_) return;  // published, or dropped when it could not be
  file_.reset();
  DeleteFileA(temporary_.c_str());
}

bool CUnpublishedFile::publish() {
  if (!flushToDisk(file_.get())) return false;
  // The handle goes first: a file cannot be renamed while it is open without
  // delete sharing. Nobody takes the unlocked file meanwhile, since leftovers
  // are only removed under the name's lock, which the publisher holds.
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
  const bool closed = std::fclose(file_.release()) == 0;
  // A virus scanner or an indexer may hold the new file for a moment: that
  // is waited for a little, a name already taken is not.
  for (int attempt = 0; closed && !published_; ++attempt) {
    published_ = MoveFileExA(temporary_.c_str(), path_.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    const DWORD error = GetLastError();
    if (published_ || attempt == kPassingTries ||
        (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
      break;
    }
    Sleep(kPassingWaitMs);
  }
  // Without the handle the bytes cannot be reached again: they are dropped.
  if (!published_) DeleteFileA(temporary_.c_str());
  return published_;
}

bool removeIfNotHeld(const std::string& path) {
  // A run still going holds its file open without sharing, so that this fails.
  return DeleteFileA(path.c_str()) != 0;
}

std::unique_ptr<CNameLock> CNameLock::acquire(const std::string& name, int waitMs) {
  // A named mutex: the system releases one whose owner has ended, and it
  // leaves no file behind.
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (!mutex) return nullptr;
  const DWORD waited = WaitForSingleObject(mutex, static_cast<DWORD>(waitMs));
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return nullptr;
  }
  return std::unique_ptr<CNameLock>(new CNameLock(reinterpret_cast<intptr_t>(mutex)));
}

CNameLock::~CNameLock() {
  const auto mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

}  // namespace rk::platform
