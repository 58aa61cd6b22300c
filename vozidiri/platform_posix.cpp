#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
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

// A file with no name in `folder`, or one whose name is gone at once (only
// a kill in between leaves it); -1 with errno set when neither can be made.
int anonymousFileIn(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = folder + "/tovrin-XXXXXX";
  const int named = mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) unlink(name.c_str());
  return named;
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

void startWriteBack(std::FILE* file) {
  (void)sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

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
  std::vector<std::string> folders;
  if (const char* chosen = std::getenv("TMPDIR"); chosen && *chosen) folders.emplace_back(chosen);
  folders.emplace_back("/tmp");
  std::string tried;
  int reason = 0;
  for (const std::string& folder : folders) {
    if (FilePtr file = streamOf(anonymousFileIn(folder))) return file;
    reason = errno;
    tried += (tried.empty() ? "" : " nor in ") + folder;
  }
  throw std::runtime_error("could not make a temporary file in " + tried + ": " +
                           std::strerror(reason));
}

std::unique_ptr<CUnpublishedFile> CUnpublishedFile::create(const std::string& path,
                                                           const std::string& temporary) {
  errno = EOPNOTSUPP;
  const int fd = faultHits(eFault::kUnnamed)
                     ? -1
                     : open(folderOf(path).c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0666);
  // Linking needs the file's entry in /proc; without it the file has a name.
  if (fd >= 0 && access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) == 0) {
    FilePtr file = streamOf(fd);
    if (!file) return nullptr;
    return std::unique_ptr<CUnpublishedFile>(new CUnpublishedFile(std::move(file), path, {}));
  }
  if (fd >= 0) {
    close(fd);
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return nullptr;  // the folder is missing or closed to us: a name would fail too
  }
  // A name of its own, locked while the file lives: removeIfNotHeld tells a
  // living run's file from a dead one's by that lock.
  const int named =
      open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (named < 0) return nullptr;
  FilePtr file = flock(named, LOCK_EX | LOCK_NB) == 0 ? streamOf(named) : (close(named), nullptr);
  if (!file) {
    unlink(temporary.c_str());
    return nullptr;
  }
  return std::unique_ptr<CUnpublishedFile>(new CUnpublishedFile(std::move(file), path, temporary));
}

CUnpublishedFile::~CUnpublishedFile() {
  if (!published_ && !temporary_.empty()) unlink(temporary_.c_str());
}

bool CUnpublishedFile::publish() {
  std::FILE* file = file_.get();
  bool done = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
  if (done && temporary_.empty()) {
    done = linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fileno(file))).c_str(), AT_FDCWD,
                  path_.c_str(), AT_SYMLINK_FOLLOW) == 0;
  } else if (done) {
    done = renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) == 0;
    if (!done && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      // A file system without the flag: a hard link fails as well when the
      // name is taken, and the temporary name is dropped after.
      done = link(temporary_.c_str(), path_.c_str()) == 0;
      if (done) unlink(temporary_.c_str());
    }
  }
  if (!done) return false;  // EEXIST: something has the name
  published_ = true;
  // The new name is durable once the folder's entry is on disk too.
  const int folder = open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    (void)fsync(folder);
    close(folder);
  }
  return true;
}

bool removeIfNotHeld(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  // The lock is free only when the run that made the file has ended.
  const bool removed = flock(fd, LOCK_EX | LOCK_NB) == 0 && unlink(path.c_str()) == 0;
  close(fd);
  return removed;
}

std::unique_ptr<CNameLock> CNameLock::acquire(const std::string& name, int waitMs) {
  // A socket bound to an abstract name: one process at a time binds it, the
  // kernel drops it when the process ends however it ends, and no file is made.
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const int length =
      std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "%s", name.c_str());
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    if (errno != EADDRINUSE || std::chrono::steady_clock::now() > deadline) {
      close(fd);
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::unique_ptr<CNameLock>(new CNameLock(fd));
}

CNameLock::~CNameLock() { close(static_cast<int>(handle_)); }

}  // namespace rk::platform
