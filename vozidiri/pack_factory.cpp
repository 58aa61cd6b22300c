#include "pack_factory.h"

#include <zip.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform.h"

namespace rk {
namespace {

struct EntryCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using EntryPtr = std::unique_ptr<zip_file_t, EntryCloser>;

constexpr size_t kChunk = 64 * 1024;

// A stored entry, read in place out of the archive.
class CStoredPages : public CPageFile {
 public:
  CStoredPages(TRefPointer<CPackFactory> pack, EntryPtr entry, uint64_t size)
      : pack_(std::move(pack)), entry_(std::move(entry)), size_(size) {}

  int64_t readAt(void* buffer, size_t size, uint64_t offset) override {
    if (offset >= size_) return 0;
    if (zip_fseek(entry_.get(), static_cast<zip_int64_t>(offset), SEEK_SET) != 0) return -1;
    auto* bytes = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
      const zip_int64_t got = zip_fread(entry_.get(), bytes + done, size - done);
      if (got < 0) return -1;
      if (got == 0) break;
      done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
  }
  int64_t size() override { return static_cast<int64_t>(size_); }

 private:
  // Declared first so that the entry is closed before the archive.
  TRefPointer<CPackFactory> pack_;
  EntryPtr entry_;
  uint64_t size_;
};

// A deflated entry, read out of the file it was inflated into.
class CInflatedPages : public CPageFile {
 public:
  explicit CInflatedPages(std::shared_ptr<std::FILE> file) : file_(std::move(file)) {}
  int64_t readAt(void* buffer, size_t size, uint64_t offset) override {
    return platform::readAt(file_.get(), buffer, size, offset);
  }
  int64_t size() override { return platform::fileSize(file_.get()); }

 private:
  std::shared_ptr<std::FILE> file_;
};

// An entry read from its start, through its pages.
class CPackStream : public CStream {
 public:
  explicit CPackStream(std::unique_ptr<CPageFile> pages) : pages_(std::move(pages)) {}

  int getSize() override {
    const int64_t size = pages_->size();
    return size < 0 || size > INT_MAX ? -1 : static_cast<int>(size);
  }
  int read(void* buffer, int count) override {
    if (count <= 0) return 0;
    const int64_t got = pages_->readAt(buffer, static_cast<size_t>(count), position_);
    if (got > 0) position_ += static_cast<uint64_t>(got);
    return static_cast<int>(got);
  }
  bool write(const void*, int) override { return false; }

 private:
  std::unique_ptr<CPageFile> pages_;
  uint64_t position_ = 0;
};

bool isZeros(const char* bytes, size_t size) {
  return size > 0 && bytes[0] == 0 && std::memcmp(bytes, bytes + 1, size - 1) == 0;
}

// The name as the archive spells it.
std::string entryName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  while (name.compare(0, 2, "./") == 0) name.erase(0, 2);
  return name;
}

}  // namespace

void CPackFactory::ArchiveCloser::operator()(zip* archive) const { zip_discard(archive); }

CPackFactory::CPackFactory(std::unique_ptr<zip, ArchiveCloser> archive, std::string path)
    : archive_(std::move(archive)), path_(std::move(path)) {}

CPackFactory::~CPackFactory() = default;

TRefPointer<CPackFactory> CPackFactory::open(const std::string& path) {
  int error = 0;
  std::unique_ptr<zip, ArchiveCloser> archive(
      zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
  if (!archive) return nullptr;
  return new CPackFactory(std::move(archive), path);
}

const CPackFactory::Entry* CPackFactory::find(const std::string& name) {
  const std::string wanted = entryName(name);
  if (wanted.empty() || wanted.back() == '/') return nullptr;
  const zip_int64_t found = zip_name_locate(archive_.get(), wanted.c_str(), ZIP_FL_ENC_RAW);
  if (found < 0) return nullptr;
  const auto index = static_cast<uint64_t>(found);
  auto known = entries_.find(index);
  if (known == entries_.end()) {
    // Reading the entry to its end is the only way to learn that libzip can
    // decrypt, inflate and CRC-check it; the answer is kept.
    Entry entry;
    entry.index = index;
    zip_stat_t stat;
    zip_stat_init(&stat);
    EntryPtr file;
    if (zip_stat_index(archive_.get(), index, 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE) &&
        (stat.valid & ZIP_STAT_COMP_METHOD)) {
      file.reset(zip_fopen_index(archive_.get(), index, 0));
    }
    const bool stored = stat.comp_method == ZIP_CM_STORE;
    std::shared_ptr<std::FILE> inflated;
    if (file && !stored) {
      if (FilePtr temporary = platform::createTemporaryFile()) {
        inflated.reset(temporary.release(), FileCloser());
      }
    }
    if (file && (stored || inflated)) {
      char buffer[kChunk];
      uint64_t total = 0;
      zip_int64_t got = 0;
      bool written = true;
      while (written && (got = zip_fread(file.get(), buffer, sizeof buffer)) > 0) {
        const auto size = static_cast<size_t>(got);
        // Runs of zeros stay holes, so that an entry that inflates to a
        // huge empty file costs no disk.
        if (inflated && !isZeros(buffer, size)) {
          written = platform::writeAt(inflated.get(), buffer, size, total);
        }
        total += size;
      }
      if (written && got == 0 && total == stat.size &&
          (!inflated || platform::truncateFile(inflated.get(), total))) {
        entry.size = static_cast<int64_t>(total);
        entry.inflated = std::move(inflated);
      }
    }
    known = entries_.emplace(index, std::move(entry)).first;
  }
  return known->second.size >= 0 ? &known->second : nullptr;
}

std::unique_ptr<CPageFile> CPackFactory::openPages(const std::string& name) {
  const Entry* entry = find(name);
  if (!entry) return nullptr;
  if (entry->inflated) return std::make_unique<CInflatedPages>(entry->inflated);
  EntryPtr file(zip_fopen_index(archive_.get(), entry->index, 0));
  if (!file) return nullptr;
  return std::make_unique<CStoredPages>(this, std::move(file), static_cast<uint64_t>(entry->size));
}

TRefPointer<CStream> CPackFactory::openRead(const std::string& name, int) {
  std::unique_ptr<CPageFile> pages = openPages(name);
  if (!pages) return nullptr;
  return new CPackStream(std::move(pages));
}

TRefPointer<CStream> CPackFactory::openWrite(const std::string&, int) { return nullptr; }

bool CPackFactory::prepareWrite(const std::string&, int) { return false; }

bool CPackFactory::hasFile(const std::string& name) { return find(name) != nullptr; }

std::string CPackFactory::diskPath(const std::string&) { return {}; }

}  // namespace rk
