#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "file_factory.h"

struct zip;

namespace rk {

// A pack: a ZIP archive (made and read with the standard zip tools) whose
// entries are read-only files.
//
// A name is an entry's path with '/' separators; '\' separators and a
// leading "./" find the same entry. Folders in the archive are not files.
// Stored and deflated entries are read. An entry that cannot be read back
// whole (encrypted, compressed by an unknown method, failing its CRC, or
// larger than a stream's int size) is not a file: hasFile is false and
// openRead null, as for a name the pack does not hold. Each entry is read
// through once, the first time it is asked for, to find that out.
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

 private:
  struct ArchiveCloser {
    void operator()(zip* archive) const;
  };

  CPackFactory(std::unique_ptr<zip, ArchiveCloser> archive, std::string path);
  // The size of the named entry when it is a file that reads back whole,
  // with its index; -1 otherwise.
  int readableSize(const std::string& name, uint64_t& index);

  std::unique_ptr<zip, ArchiveCloser> archive_;
  std::string path_;
  std::map<uint64_t, int> sizes_;  // entries read through so far: size, or -1
};

}  // namespace rk
