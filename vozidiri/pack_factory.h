#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "file_factory.h"
#include "file_ptr.h"

struct zip;

namespace rk {

// A pack: a ZIP archive (made and read with the standard zip tools) whose
// entries are read-only files.
//
// A name is an entry's path with '/' separators; '\' separators and a
// leading "./" find the same entry. Folders in the archive are not files.
// Stored and deflated entries are read, of any size. An entry that cannot be
// read back whole (encrypted, compressed by an unknown method, failing its
// CRC) is not a file: hasFile is false and openRead null, as for a name the
// pack does not hold. Each entry is read through once, the first time it is
// asked for, to find that out; a deflated entry is inflated then, into a
// temporary file that leaves nothing behind (runs of zeros stay holes), and
// read from there afterwards. Memory stays small whatever the entries hold.
//
// A database inside a pack is read in place (openPages): a stored entry
// straight out of the archive, a deflated one out of its inflated file.
//
// Packs are never written.
class CPackFactory : public CFileFactory {
 public:
  // The pack at `path`; null when it is not a ZIP archive that can be opened
  // (corrupt, truncated, not ZIP, unreadable).
  static TRefPointer<CPackFactory> open(const std::string& path);
  ~CPackFactory() override;

  const std::string& path() const { return path_; }

  // The stream keeps the pack open for as long as it lives.
  TRefPointer<CStream> openRead(const std::string& name, int flags) override;
  TRefPointer<CStream> openWrite(const std::string& name, int flags) override;
  bool prepareWrite(const std::string& name, int flags) override;
  bool hasFile(const std::string& name) override;
  std::string diskPath(const std::string& name) override;
  // The pages keep the pack open for as long as they live.
  std::unique_ptr<CPageFile> openPages(const std::string& name) override;

 private:
  struct ArchiveCloser {
    void operator()(zip* archive) const;
  };
  // What reading an entry through found.
  struct Entry {
    uint64_t index = 0;
    int64_t size = -1;                    // -1: not readable whole
    std::shared_ptr<std::FILE> inflated;  // a deflated entry's bytes
  };

  CPackFactory(std::unique_ptr<zip, ArchiveCloser> archive, std::string path);
  // The named entry when it is a file that reads back whole; null otherwise.
  const Entry* find(const std::string& name);

  std::unique_ptr<zip, ArchiveCloser> archive_;
  std::string path_;
  std::map<uint64_t, Entry> entries_;  // entries read through so far
};

}  // namespace rk
