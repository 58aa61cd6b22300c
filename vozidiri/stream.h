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

  // Size in bytes of what the stream reads; -1 when it is unknown or does
  // not fit in an int (a copy of -1 bytes takes everything there is).
  virtual int getSize() = 0;
  // Reads up to `count` bytes into `buffer`; returns how many were read
  // (fewer only at the end of the data or after a read error).
  [[nodiscard]] virtual int read(void* buffer, int count) = 0;
  // Writes `count` bytes; false when they could not all be written.
  [[nodiscard]] virtual bool write(const void* data, int count) = 0;
  // Copies `count` bytes from `source`'s current position into this stream;
  // a negative count copies everything up to the source's end. False: not
  // all of it was copied.
  virtual bool copyFrom(CStream* source, int count);
};

// A stream reading the regular file at `path`; null when it cannot be opened.
TRefPointer<CStream> openFileForRead(const std::string& path);

// A stream creating the file at `path`, atomically and without ever
// replacing a file. The bytes go to a temporary file beside `path`, created
// exclusively under a unique name, which takes the name `path` when the last
// reference to the stream is given back, if
//   - every write and the flush to disk succeeded,
//   - what copyFrom made is a record database (an empty file is one), and
//   - no file has the name `path` by then; one that took it meanwhile, for
//     instance the same copy made by another process, is kept.
// Otherwise the temporary file is removed, so an interrupted or failed copy
// never leaves a file behind, and `path` is left as it was.
//
// copyFrom of a whole plain file copies it as a record database when it is
// an SQLite file (copyDatabaseFile, so a live database in WAL mode or with a
// hot journal is copied consistently) and otherwise byte for byte with the
// kernel's help; neither is limited to 2 GiB. Other sources are copied
// through a buffer.
//
// Null when the temporary file cannot be created.
TRefPointer<CStream> openFileForWrite(const std::string& path);

}  // namespace rk
