#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "fault_injection.h"
#include "platform.h"

namespace rk::platform {
namespace {

std::string folderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

// Makes a new name in the folder durable: its entry is on disk too.
void flushFolderOf(const std::string& path) {
  const int fd = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

bool writeAll(int fd, const char* bytes, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = pwrite(fd, bytes, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

FilePtr streamOf(int fd) {
  if (fd < 0) return nullptr;
  FilePtr file(fdopen(fd, "r+b"));
  if (!file) close(fd);
  return file;
}

// Copies the bytes [from, to) of `in` to the same offsets of `out`.
bool copyRange(int in, int out, off_t from, off_t to) {
  off_t inPos = from;
  off_t outPos = from;
  bool kernel = true;
  std::vector<char> buffer;
  while (inPos < to) {
    const size_t want = static_cast<size_t>(std::min<off_t>(to - inPos, off_t{1} << 30));
    if (kernel) {
      const ssize_t n = copy_file_range(in, &inPos, out, &outPos, want, 0);
      if (n > 0) continue;
      if (n == 0) return false;  // the source is shorter than it was
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
          errno != EPERM) {
        return false;
      }
      kernel = false;  // file systems that cannot: copy through a buffer
      buffer.resize(1 << 20);
      continue;
    }
    const ssize_t n = pread(in, buffer.data(), std::min(want, buffer.size()), inPos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !writeAll(out, buffer.data(), static_cast<size_t>(n), outPos)) return false;
    inPos += n;
    outPos += n;
  }
  return true;
}

}  // namespace

int64_t readAt(std::FILE* file, void* buffer, size_t size, uint64_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t n =
        pread(fileno(file), bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool writeAt(std::FILE* file, const void* data, size_t size, uint64_t offset) {
  return writeAll(fileno(file), static_cast<const char*>(data), size, static_cast<off_t>(offset));
}

bool truncateFile(std::FILE* file, uint64_t size) {
  return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

int64_t fileSize(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return -1;
  return info.st_size;
}

bool flushToDisk(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

bool copyWholeFile(std::FILE* from, std::FILE* to) {
  const int in = fileno(from);
  const int out = fileno(to);
  const int64_t size = fileSize(from);
  if (size < 0) return false;
  // Only the extents that hold data are copied; the final size makes the
  // holes between them.
  for (off_t pos = 0; pos < size;) {
    off_t data = lseek(in, pos, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // nothing but a hole up to the end
      data = pos;                 // no hole support: copy everything
    }
    off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0 || hole > size) hole = size;
    if (!copyRange(in, out, data, hole)) return false;
    pos = hole;
  }
  return ftruncate(out, size) == 0;
}

FilePtr createTemporaryFile() {
  const std::string folder = std::filesystem::temp_directory_path().string();
  const int fd = open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
  if (fd >= 0) return streamOf(fd);
  // A named file, unlinked at once: only a kill in between leaves it.
  std::string name = folder + "/tovrin-XXXXXX";
  const int named = mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) unlink(name.c_str());
  return streamOf(named);
}

std::unique_ptr<CUnpublishedFile> CUnpublishedFile::create(const std::string& path) {
  const std::string folder = folderOf(path);
  errno = EOPNOTSUPP;
  const int fd =
      faultHits(eFault::kUnnamed) ? -1 : open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0666);
  // Linking needs the file's entry in /proc; without it the file has a name.
  if (fd >= 0 && access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) == 0) {
    if (FilePtr file = streamOf(fd)) {
      return std::unique_ptr<CUnpublishedFile>(new CUnpublishedFile(std::move(file), path, {}));
    }
    return nullptr;
  }
  if (fd >= 0) {
    close(fd);
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return nullptr;  // the folder is missing or closed to us: a name would fail too
  }

  // A name of its own, locked while the file lives: removeLeftovers tells a
  // living run's file from a dead one's by that lock.
  static std::mt19937_64 random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    const std::string temporary = path + ".partial-" + suffix;
    const int named =
        open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (named < 0 && errno == EEXIST) continue;
    if (named < 0 || flock(named, LOCK_EX | LOCK_NB) != 0) break;
    if (FilePtr file = streamOf(named)) {
      return std::unique_ptr<CUnpublishedFile>(
          new CUnpublishedFile(std::move(file), path, temporary));
    }
    unlink(temporary.c_str());
    break;
  }
  return nullptr;
}

CUnpublishedFile::~CUnpublishedFile() {
  if (!published_ && !temporary_.empty()) unlink(temporary_.c_str());
}

bool CUnpublishedFile::publish() {
  if (!flushToDisk(file_.get())) return false;
  const int fd = fileno(file_.get());
  int rc = 0;
  if (temporary_.empty()) {
    rc = linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), AT_FDCWD, path_.c_str(),
                AT_SYMLINK_FOLLOW);
  } else {
    rc = renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      // A file system without the flag: a hard link fails as well when the
      // name is taken, and the temporary name is dropped after.
      rc = link(temporary_.c_str(), path_.c_str());
      if (rc == 0) unlink(temporary_.c_str());
    }
  }
  if (rc != 0) return false;  // EEXIST: something has the name
  published_ = true;
  flushFolderOf(path_);
  return true;
}

void removeLeftovers(const std::string& path) {
  const std::filesystem::path target(path);
  const std::string prefix = target.filename().string() + ".partial-";
  std::error_code error;
  for (std::filesystem::directory_iterator entry(folderOf(path), error), end;
       !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const int fd = open(entry->path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    // The lock is free only when the run that made the file has ended.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) unlink(entry->path().c_str());
    close(fd);
  }
}

std::unique_ptr<CFolderLock> CFolderLock::acquire(const std::string& folder, int waitMs) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
      close(fd);
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::unique_ptr<CFolderLock>(new CFolderLock(fd));
}

CFolderLock::~CFolderLock() { close(static_cast<int>(handle_)); }

}  // namespace rk::platform
