#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform.h"

namespace rk::platform {
namespace {

// Makes a rename or a new name durable: the folder's entry is on disk too.
void flushFolderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

bool writeAll(int fd, const char* data, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
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

FilePtr createNewFile(const std::string& path, bool& nameTaken) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  nameTaken = fd < 0 && errno == EEXIST;
  if (fd < 0) return nullptr;
  FilePtr file(fdopen(fd, "wb"));
  if (!file) {
    close(fd);
    unlink(path.c_str());
  }
  return file;
}

bool flushToDisk(std::FILE* file) { return std::fflush(file) == 0 && fsync(fileno(file)) == 0; }

RenameResult renameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    flushFolderOf(to);
    return RenameResult::kDone;
  }
  if (errno == EEXIST) return RenameResult::kTaken;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return RenameResult::kFailed;
  // A file system without the flag: a hard link fails as well when the name
  // is taken, and the temporary name is dropped after.
  if (link(from.c_str(), to.c_str()) != 0) {
    return errno == EEXIST ? RenameResult::kTaken : RenameResult::kFailed;
  }
  unlink(from.c_str());
  flushFolderOf(to);
  return RenameResult::kDone;
}

bool copyWholeFile(std::FILE* from, std::FILE* to) {
  if (std::fflush(to) != 0) return false;
  const int in = fileno(from);
  const int out = fileno(to);
  struct stat info {};
  if (fstat(in, &info) != 0) return false;
  const off_t size = info.st_size;
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
  return ftruncate(out, size) == 0 && lseek(out, 0, SEEK_END) == size;
}

int64_t fileSize(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return -1;
  return info.st_size;
}

}  // namespace rk::platform
