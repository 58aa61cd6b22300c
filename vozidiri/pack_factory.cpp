#include "pack_factory.h"

#include <zip.h>

#include <algorithm>
#include <climits>

namespace rk {
namespace {

struct EntryCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using EntryPtr = std::unique_ptr<zip_file_t, EntryCloser>;

class CPackStream : public CStream {
 public:
  CPackStream(TRefPointer<CPackFactory> pack, EntryPtr entry, int size)
      : pack_(std::move(pack)), entry_(std::move(entry)), size_(size) {}

  int getSize() override { return size_; }
  int read(void* buffer, int count) override {
    if (count <= 0) return 0;
    const zip_int64_t got = zip_fread(entry_.get(), buffer, static_cast<zip_uint64_t>(count));
    return got < 0 ? 0 : static_cast<int>(got);
  }
  bool write(const void*, int) override { return false; }

 private:
  // Declared first so that the entry is closed before the archive.
  TRefPointer<CPackFactory> pack_;
  EntryPtr entry_;
  int size_;
};

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

int CPackFactory::readableSize(const std::string& name, uint64_t& index) {
  const std::string wanted = entryName(name);
  if (wanted.empty() || wanted.back() == '/') return -1;
  const zip_int64_t found = zip_name_locate(archive_.get(), wanted.c_str(), ZIP_FL_ENC_RAW);
  if (found < 0) return -1;
  index = static_cast<uint64_t>(found);
  const auto known = sizes_.find(index);
  if (known != sizes_.end()) return known->second;

  // Reading the entry to its end is the only way to learn that libzip can
  // decrypt, inflate and CRC-check it; the answer is kept.
  int size = -1;
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive_.get(), index, 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE) &&
      stat.size <= INT_MAX) {
    EntryPtr entry(zip_fopen_index(archive_.get(), index, 0));
    if (entry) {
      char buffer[64 * 1024];
      zip_uint64_t total = 0;
      zip_int64_t got = 0;
      while ((got = zip_fread(entry.get(), buffer, sizeof buffer)) > 0) {
        total += static_cast<zip_uint64_t>(got);
      }
      if (got == 0 && total == stat.size) size = static_cast<int>(stat.size);
    }
  }
  sizes_[index] = size;
  return size;
}

TRefPointer<CStream> CPackFactory::openRead(const std::string& name, int) {
  uint64_t index = 0;
  const int size = readableSize(name, index);
  if (size < 0) return nullptr;
  EntryPtr entry(zip_fopen_index(archive_.get(), index, 0));
  if (!entry) return nullptr;
  return new CPackStream(this, std::move(entry), size);
}

TRefPointer<CStream> CPackFactory::openWrite(const std::string&, int) { return nullptr; }

bool CPackFactory::prepareWrite(const std::string&, int) { return false; }

bool CPackFactory::hasFile(const std::string& name) {
  uint64_t index = 0;
  return readableSize(name, index) >= 0;
}

std::string CPackFactory::diskPath(const std::string&) { return {}; }

}  // namespace rk
