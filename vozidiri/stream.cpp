#include "stream.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "file_ptr.h"
#include "platform.h"

namespace rk {
namespace {

class CFileReadStream : public CStream {
 public:
  CFileReadStream(FilePtr file, std::string path)
      : file_(std::move(file)), path_(std::move(path)) {}

  int getSize() override { return sizeAsInt(platform::fileSize(file_.get())); }
  int read(void* buffer, int count) override {
    if (count <= 0) return 0;
    const size_t got = std::fread(buffer, 1, static_cast<size_t>(count), file_.get());
    started_ = true;
    return got == 0 && std::ferror(file_.get()) ? -1 : static_cast<int>(got);
  }
  bool write(const void*, int) override { return false; }
  std::string diskPath() const override { return started_ ? std::string() : path_; }

 private:
  FilePtr file_;
  std::string path_;
  bool started_ = false;
};

}  // namespace

bool CStream::copyFrom(CStream* source, int count) {
  if (!source) return false;
  char buffer[64 * 1024];
  for (int64_t left = count < 0 ? INT64_MAX : count; left > 0;) {
    const int want = static_cast<int>(std::min<int64_t>(left, sizeof buffer));
    const int got = source->read(buffer, want);
    if (got < 0) return false;
    if (got == 0) return count < 0;
    if (!write(buffer, got)) return false;
    left -= got;
  }
  return true;
}

TRefPointer<CStream> openFileForRead(const std::string& path) {
  // A folder opens on some systems; it is not a file to read.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return nullptr;
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) return nullptr;
  return new CFileReadStream(std::move(file), path);
}

}  // namespace rk
