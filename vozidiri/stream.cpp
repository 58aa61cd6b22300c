#include "stream.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace rk {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Flushes the C library's buffer and then the operating system's, so that a
// rename after it cannot expose a file whose bytes are not on disk yet.
bool flushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
#ifndef _WIN32
  if (fsync(fileno(file)) != 0) return false;
#endif
  return true;
}

class CFileReadStream : public CStream {
 public:
  explicit CFileReadStream(FilePtr file) : file_(std::move(file)) {}

  int getSize() override {
    const long here = std::ftell(file_.get());
    if (here < 0 || std::fseek(file_.get(), 0, SEEK_END) != 0) return -1;
    const long size = std::ftell(file_.get());
    if (std::fseek(file_.get(), here, SEEK_SET) != 0) return -1;
    return size > INT32_MAX ? -1 : static_cast<int>(size);
  }
  int read(void* buffer, int count) override {
    if (count <= 0) return 0;
    return static_cast<int>(std::fread(buffer, 1, static_cast<size_t>(count), file_.get()));
  }
  bool write(const void*, int) override { return false; }

 private:
  FilePtr file_;
};

class CAtomicWriteStream : public CStream {
 public:
  CAtomicWriteStream(FilePtr file, std::string temporary, std::string final)
      : file_(std::move(file)), temporary_(std::move(temporary)), final_(std::move(final)) {}

  ~CAtomicWriteStream() override {
    bool ok = !failed_ && flushToDisk(file_.get());
    ok = std::fclose(file_.release()) == 0 && ok;
    std::error_code error;
    if (ok) std::filesystem::rename(temporary_, final_, error);
    if (!ok || error) std::filesystem::remove(temporary_, error);
  }

  int getSize() override { return written_; }
  int read(void*, int) override { return 0; }
  bool write(const void* data, int count) override {
    if (failed_ || count < 0) return false;
    if (std::fwrite(data, 1, static_cast<size_t>(count), file_.get()) !=
        static_cast<size_t>(count)) {
      failed_ = true;
      return false;
    }
    written_ += count;
    return true;
  }
  // A copy that stops short must not be taken for the whole file either.
  int copyFrom(CStream* source, int count) override {
    const int copied = CStream::copyFrom(source, count);
    if (copied != count) failed_ = true;
    return copied;
  }

 private:
  FilePtr file_;
  std::string temporary_;
  std::string final_;
  int written_ = 0;
  bool failed_ = false;
};

}  // namespace

int CStream::copyFrom(CStream* source, int count) {
  if (!source) return 0;
  char buffer[64 * 1024];
  int copied = 0;
  while (copied < count) {
    const int want = std::min<int>(count - copied, sizeof buffer);
    const int got = source->read(buffer, want);
    if (got <= 0 || !write(buffer, got)) break;
    copied += got;
  }
  return copied;
}

TRefPointer<CStream> openFileForRead(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return nullptr;
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) return nullptr;
  return new CFileReadStream(std::move(file));
}

TRefPointer<CStream> openFileForWrite(const std::string& path) {
  const std::string temporary = path + ".partial";
  // A leftover from a run that was killed mid-copy is never a file anyone
  // wants; replace it.
  FilePtr file(std::fopen(temporary.c_str(), "wb"));
  if (!file) return nullptr;
  return new CAtomicWriteStream(std::move(file), temporary, path);
}

}  // namespace rk
