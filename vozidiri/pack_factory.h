#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "file_factory.h"
#include "file_ptr.h"

struct zip;

namespace rk {

// A pack: a ZIP archive (made with the standard zip tools) whose entries are
// read-only files. A name is an entry's path with '/' separators; '\' and a
// leading "./" find the same entry; folders are not files. Stored and
// deflated entries of any size are read; one that does not read back whole
// (encrypted, an unknown method, a failed CRC) is not a file. Each entry is
// read through once, when first asked for, to find that out; a deflated one
// is inflated then into a temporary file (runs of zeros stay holes) and read
// from there, a stored one in place. The archive is open only while it is
// read, so a run holds few descriptors however many packs it searches; one
// that another program replaced meanwhile is an error, not another pack.
class CPackFactory : public CFileFactory {
 public:
  // The pack at `path`; null when the file is not a ZIP archive (not ZIP,
  // corrupt, cut short). Throws std::runtime_error when the file cannot be
  // read at all (no permission, no descriptor left): a pack that may hold a
  // name must not pass for one that does not.
  static TRefPointer<CPackFactory> open(const std::string& path);
  ~CPackFactory() override;

  // The stream keeps the entry open for as long as it lives.
  TRefPointer<CStream> openRead(const std::string& name, int flags) override;
  bool hasFile(const std::string& name) override;
  // The pages keep the entry open for as long as they live.
  std::unique_ptr<CPageSource> openPages(const std::string& name) override;

  struct ArchiveCloser {
    void operator()(zip* archive) const;
  };
  using ArchivePtr = std::unique_ptr<zip, ArchiveCloser>;

 private:
  struct Entry {
    uint64_t index = 0;
    uint64_t size = 0;
    bool stored = false;
    bool checked = false;                 // read through once
    bool whole = false;                   // and found whole
    std::shared_ptr<std::FILE> inflated;  // a deflated entry's bytes
  };

  explicit CPackFactory(std::string path) : path_(std::move(path)) {}
  // The archive again, as it was when its directory was read; throws when
  // it is gone or was replaced.
  ArchivePtr reopen() const;
  // The named entry, read through the first time it is asked for; null when
  // the pack holds no such entry that reads back whole.
  const Entry* readThrough(const std::string& name);

  std::string path_;
  uintmax_t size_ = 0;
  std::filesystem::file_time_type modified_;
  std::map<std::string, Entry> entries_;  // by the name the archive gives
};

}  // namespace rk
