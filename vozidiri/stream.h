#pragma once

#include <string>

#include "ref_count.h"

namespace rk {

// A sequence of bytes read or written from its current position.
class CStream : public CRefCount {
 public:
  // Flags of openRead/openWrite. Streams are always binary, so the value
  // callers pass (32) changes nothing; it is accepted for their sake.
  enum eStreamFlags { eBinary = 32 };

  // Size in bytes of what the stream reads, or -1 when it is unknown.
  virtual int getSize() = 0;
  // Reads up to `count` bytes into `buffer`; returns how many were read
  // (fewer only at the end of the data or after a read error).
  [[nodiscard]] virtual int read(void* buffer, int count) = 0;
  // Writes `count` bytes; false when they could not all be written.
  [[nodiscard]] virtual bool write(const void* data, int count) = 0;
  // Copies `count` bytes from `source`'s current position into this stream.
  // Returns the number of bytes copied.
  virtual int copyFrom(CStream* source, int count);
};

// A stream reading the file at `path`; null when it cannot be opened.
TRefPointer<CStream> openFileForRead(const std::string& path);

// A stream creating the file at `path`, atomically: the bytes go to a
// temporary file beside it, which replaces `path` when the last reference to
// the stream is given back, and only if every write and the flush to disk
// succeeded. Otherwise the temporary file is removed and `path` is left as it
// was, so an interrupted copy never leaves a half-written file behind.
// Null when the temporary file cannot be created.
TRefPointer<CStream> openFileForWrite(const std::string& path);

}  // namespace rk
