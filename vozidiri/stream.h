#pragma once

#include <climits>
#include <cstdint>
#include <string>

#include "ref_count.h"

namespace rk {

// A sequence of bytes read or written from its current position.
class CStream : public CRefCount {
 public:
  // Flags of openRead/openWrite: streams are always binary; 32 changes nothing.
  enum eStreamFlags { eBinary = 32 };

  // Size in bytes of what the stream reads; -1 when it is unknown or does
  // not fit in an int (a copy of -1 bytes takes everything there is).
  virtual int getSize() = 0;
  // Reads up to `count` bytes into `buffer`: how many were read, 0 at the
  // end of the data, -1 on a read error.
  [[nodiscard]] virtual int read(void* buffer, int count) = 0;
  // Writes `count` bytes; false when they could not all be written.
  [[nodiscard]] virtual bool write(const void* data, int count) = 0;
  // Copies `count` bytes (a negative count: all) from `source`'s position
  // into this stream. False: not all of it was copied (a read or a write
  // failed, or the source ended first).
  virtual bool copyFrom(CStream* source, int count);
  // The plain file whose whole content the stream's unread bytes are, for a
  // writer that copies files better than byte by byte; empty otherwise.
  virtual std::string diskPath() const { return {}; }

 protected:
  // `size` as getSize answers it: -1 when negative or beyond an int.
  static int sizeAsInt(int64_t size) {
    return size < 0 || size > INT_MAX ? -1 : static_cast<int>(size);
  }
};

// A stream reading the regular file at `path`; null when it cannot be opened.
TRefPointer<CStream> openFileForRead(const std::string& path);

}  // namespace rk
