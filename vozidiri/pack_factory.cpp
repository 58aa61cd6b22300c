#include "pack_factory.h"

#include <zip.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "fault_injection.h"
#include "platform.h"

namespace rk {
namespace {

struct EntryCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using EntryPtr = std::unique_ptr<zip_file_t, EntryCloser>;

constexpr size_t kChunk = 64 * 1024;

// A stored entry, read in place out of the archive, which it keeps open.
class CStoredPages : public CPageSource {
 public:
  CStoredPages(CPackFactory::ArchivePtr archive, EntryPtr entry, uint64_t size)
      : archive_(std::move(archive)), entry_(std::move(entry)), size_(size) {}

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
  CPackFactory::ArchivePtr archive_;
  EntryPtr entry_;
  uint64_t size_;
};

// A deflated entry, read out of the file it was inflated into, which it keeps.
class CInflatedPages : public CStreamPages {
 public:
  explicit CInflatedPages(std::shared_ptr<std::FILE> file)
      : CStreamPages(file.get()), file_(std::move(file)) {}

 private:
  std::shared_ptr<std::FILE> file_;
};

// An entry read from its start, through its pages.
class CPackStream : public CStream {
 public:
  explicit CPackStream(std::unique_ptr<CPageSource> pages) : pages_(std::move(pages)) {}

  int getSize() override { return sizeAsInt(pages_->size()); }
  int read(void* buffer, int count) override {
    if (count <= 0) return 0;
    const int64_t got = pages_->readAt(buffer, static_cast<size_t>(count), position_);
    if (got > 0) position_ += static_cast<uint64_t>(got);
    return static_cast<int>(got);
  }
  bool write(const void*, int) override { return false; }

 private:
  std::unique_ptr<CPageSource> pages_;
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

// Reads `file` to its end, into `inflated` when there is one; true when it
// read back whole as `size` bytes (libzip checks the CRC at the end).
bool readWhole(zip_file_t* file, std::FILE* inflated, uint64_t size) {
  char buffer[kChunk];
  uint64_t total = 0;
  zip_int64_t got = 0;
  while ((got = zip_fread(file, buffer, sizeof buffer)) > 0) {
    const auto length = static_cast<size_t>(got);
    // Runs of zeros stay holes, so that an entry that inflates to a huge
    // empty file costs no disk.
    if (inflated && !isZeros(buffer, length) &&
        !platform::writeAt(inflated, buffer, length, total)) {
      return false;
    }
    total += length;
  }
  return got == 0 && total == size && (!inflated || platform::truncateFile(inflated, total));
}

}  // namespace

void CPackFactory::ArchiveCloser::operator()(zip* archive) const { zip_discard(archive); }

CPackFactory::~CPackFactory() = default;

TRefPointer<CPackFactory> CPackFactory::open(const std::string& path) {
  TRefPointer<CPackFactory> pack(new CPackFactory(path));
  std::error_code error;
  pack->size_ = std::filesystem::file_size(path, error);
  pack->modified_ = std::filesystem::last_write_time(path, error);
  int code = 0;
  ArchivePtr archive(faultHits(eFault::kUnreadable)
                         ? (code = ZIP_ER_OPEN, nullptr)
                         : zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
  if (!archive) {
    if (code == ZIP_ER_OPEN || code == ZIP_ER_READ || code == ZIP_ER_SEEK ||
        code == ZIP_ER_MEMORY || code == ZIP_ER_TELL) {
      zip_error_t reason;
      zip_error_init_with_code(&reason, code);
      const std::string message =
          "could not read the pack " + path + ": " + zip_error_strerror(&reason);
      zip_error_fini(&reason);
      throw std::runtime_error(message);
    }
    return nullptr;  // not a ZIP archive
  }
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    const auto index = static_cast<uint64_t>(i);
    if (zip_stat_index(archive.get(), index, ZIP_FL_ENC_RAW, &stat) != 0 ||
        !(stat.valid & ZIP_STAT_NAME) || !(stat.valid & ZIP_STAT_SIZE) ||
        !(stat.valid & ZIP_STAT_COMP_METHOD)) {
      continue;
    }
    const std::string name = stat.name;
    if (name.empty() || name.back() == '/') continue;  // a folder
    Entry entry;
    entry.index = index;
    entry.size = stat.size;
    entry.stored = stat.comp_method == ZIP_CM_STORE;
    pack->entries_.emplace(name, entry);  // the first of two alike, as libzip finds it
  }
  return pack;
}

CPackFactory::ArchivePtr CPackFactory::reopen() const {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path_, error);
  const auto modified = std::filesystem::last_write_time(path_, error);
  int code = 0;
  ArchivePtr archive;
  if (!error && size == size_ && modified == modified_) {
    archive.reset(zip_open(path_.c_str(), ZIP_RDONLY, &code));
  }
  if (!archive) throw std::runtime_error("the pack " + path_ + " changed while the run read it");
  return archive;
}

const CPackFactory::Entry* CPackFactory::readThrough(const std::string& name) {
  const auto found = entries_.find(entryName(name));
  if (found == entries_.end()) return nullptr;
  Entry& entry = found->second;
  if (!entry.checked) {
    // Reading the entry to its end is the only way to learn that libzip can
    // decrypt, inflate and CRC-check it; the answer is kept.
    entry.checked = true;
    const ArchivePtr archive = reopen();
    const EntryPtr file(zip_fopen_index(archive.get(), entry.index, 0));
    std::shared_ptr<std::FILE> inflated;
    if (file && !entry.stored)
      inflated.reset(platform::createTemporaryFile().release(), FileCloser());
    entry.whole = file && readWhole(file.get(), inflated.get(), entry.size);
    if (entry.whole) entry.inflated = std::move(inflated);
  }
  return entry.whole ? &entry : nullptr;
}

std::unique_ptr<CPageSource> CPackFactory::openPages(const std::string& name) {
  const Entry* entry = readThrough(name);
  if (!entry) return nullptr;
  if (entry->inflated) return std::make_unique<CInflatedPages>(entry->inflated);
  ArchivePtr archive = reopen();
  EntryPtr file(zip_fopen_index(archive.get(), entry->index, 0));
  if (!file) return nullptr;
  return std::make_unique<CStoredPages>(std::move(archive), std::move(file), entry->size);
}

TRefPointer<CStream> CPackFactory::openRead(const std::string& name, int) {
  std::unique_ptr<CPageSource> pages = openPages(name);
  if (!pages) return nullptr;
  return new CPackStream(std::move(pages));
}

bool CPackFactory::hasFile(const std::string& name) { return readThrough(name) != nullptr; }

}  // namespace rk
