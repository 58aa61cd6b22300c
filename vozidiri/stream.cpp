#include "stream.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <system_error>

#include "database.h"
#include "fault_injection.h"
#include "file_ptr.h"
#include "platform.h"

namespace rk {
namespace {

class CFileReadStream : public CStream {
 public:
  CFileReadStream(FilePtr file, std::string path)
      : file_(std::move(file)), path_(std::move(path)) {}

  int getSize() override {
    const int64_t size = platform::fileSize(file_.get());
    return size < 0 || size > INT_MAX ? -1 : static_cast<int>(size);
  }
  int read(void* buffer, int count) override {
    if (count <= 0) return 0;
    return static_cast<int>(std::fread(buffer, 1, static_cast<size_t>(count), file_.get()));
  }
  bool write(const void*, int) override { return false; }

  bool atStart() const { return std::ftell(file_.get()) == 0; }
  std::FILE* file() const { return file_.get(); }
  const std::string& path() const { return path_; }

 private:
  FilePtr file_;
  std::string path_;
};

bool isSQLiteFile(std::FILE* file) {
  static const char kMagic[16] = "SQLite format 3";  // with its terminating zero
  char header[sizeof kMagic] = {};
  const bool isSQLite = std::fread(header, 1, sizeof header, file) == sizeof header &&
                        std::memcmp(header, kMagic, sizeof kMagic) == 0;
  std::rewind(file);
  return isSQLite;
}

class CAtomicWriteStream : public CStream {
 public:
  CAtomicWriteStream(FilePtr file, std::string temporary, std::string final)
      : file_(std::move(file)), temporary_(std::move(temporary)), final_(std::move(final)) {}

  ~CAtomicWriteStream() override {
    bool ok = !failed_ && platform::flushToDisk(file_.get());
    ok = std::fclose(file_.release()) == 0 && ok;
    if (ok && isCopy_) ok = isRecordDatabaseFile(temporary_);
    if (ok && platform::renameNoReplace(temporary_, final_) == platform::RenameResult::kDone) {
      return;
    }
    std::remove(temporary_.c_str());
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
    written_ = static_cast<int>(std::min<int64_t>(int64_t{written_} + count, INT_MAX));
    return true;
  }
  bool copyFrom(CStream* source, int count) override {
    isCopy_ = true;
    auto* plain = dynamic_cast<CFileReadStream*>(source);
    bool ok = false;
    if (plain && plain->atStart() && (count < 0 || count == plain->getSize())) {
      ok = isSQLiteFile(plain->file())
               ? copyDatabaseFile(plain->file(), plain->path(), file_.get(), temporary_)
               : platform::copyWholeFile(plain->file(), file_.get());
    } else {
      ok = CStream::copyFrom(source, count);
    }
    if (faultHits(eFault::kCopy)) ok = false;
    // A copy that stops short must not be taken for the whole file.
    if (!ok) failed_ = true;
    return ok;
  }

 private:
  FilePtr file_;
  std::string temporary_;
  std::string final_;
  int written_ = 0;
  bool failed_ = false;
  bool isCopy_ = false;
};

}  // namespace

bool CStream::copyFrom(CStream* source, int count) {
  if (!source) return false;
  char buffer[64 * 1024];
  for (int64_t left = count < 0 ? INT64_MAX : count; left > 0;) {
    const int want = static_cast<int>(std::min<int64_t>(left, sizeof buffer));
    const int got = source->read(buffer, want);
    if (got <= 0) return count < 0;
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

TRefPointer<CStream> openFileForWrite(const std::string& path) {
  if (faultHits(eFault::kOpenWrite)) return nullptr;
  // A name of its own for each copy, so that concurrent runs never share one.
  static std::mt19937_64 random(std::random_device{}() ^ static_cast<uint64_t>(std::time(nullptr))
                                                             << 20);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    const std::string temporary = path + ".partial-" + suffix;
    bool nameTaken = false;
    if (FilePtr file = platform::createNewFile(temporary, nameTaken)) {
      return new CAtomicWriteStream(std::move(file), temporary, path);
    }
    if (!nameTaken) break;
  }
  return nullptr;
}

}  // namespace rk
