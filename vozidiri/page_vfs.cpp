#include "page_vfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "fault_injection.h"
#include "platform.h"

namespace rk {
namespace {

// Reads moving forward by less than this are served from one read of this
// many bytes: a walk's pages lie mostly in file order, and a call per page
// into the system costs more than the page.
constexpr size_t kReadAhead = 256 * 1024;
// Writes that continue one another, as a commit's pages do, are gathered up
// to this many bytes (the system VFS on POSIX writes < 128 KiB a call).
constexpr size_t kWriteBehind = 64 * 1024;

// A page source's name, its address in the URI parameter "pages". Nothing
// else by this name (a journal beside it) exists.
constexpr char kPagesName[] = "vozidiri-pages:";

bool isPagesName(const char* name) {
  return name && std::strncmp(name, kPagesName, sizeof kPagesName - 1) == 0;
}

const sqlite3_io_methods* fileMethods();

// An open file in SQLite's memory, built by xOpen, destroyed by xClose: a
// page source (`pages`), which takes no locks and keeps no journal, or a file
// of the system VFS (`system`, laid out right after it), to which all but
// reads and writes pass on.
struct FileHandle {
  sqlite3_file base{fileMethods()};  // first: SQLite sees only this
  CPageSource* pages = nullptr;
  sqlite3_file* system = nullptr;
  bool writable = false;
  // Bytes read ahead: whole blocks of kReadAhead bytes at multiples of it,
  // the last used first. Two are kept because a B-tree that grew by splits
  // puts some of a walk's next pages just behind the ones it read before.
  // They take every write, so they stay the file's bytes until a call that
  // lets another process change it. `lastEnd`: where SQLite's last read ended.
  struct Block {
    std::unique_ptr<char[]> bytes;
    uint64_t offset = 0;
    size_t size = 0;
  };
  Block blocks[2];
  uint64_t lastEnd = 0;
  // Writes gathered, from `behindOffset`, not yet written.
  std::unique_ptr<char[]> behind;
  uint64_t behindOffset = 0;
  size_t behindSize = 0;

  const sqlite3_io_methods& inner() const { return *system->pMethods; }

  // As CPageSource::readAt, for either kind of file.
  int64_t readUpTo(void* buffer, size_t size, uint64_t offset) {
    if (pages) return pages->readAt(buffer, size, offset);
    sqlite3_int64 end = 0;
    if (inner().xFileSize(system, &end) != SQLITE_OK) return -1;
    const auto count = static_cast<int>(
        std::min<uint64_t>(size, end > static_cast<sqlite3_int64>(offset) ? end - offset : 0));
    return count == 0 || inner().xRead(system, buffer, count, offset) == SQLITE_OK ? count : -1;
  }

  int read(void* buffer, size_t amount, uint64_t offset) {
    const uint64_t start = offset / kReadAhead * kReadAhead;
    const bool inOneBlock = offset + amount <= start + kReadAhead;
    Block* found = nullptr;
    for (Block& block : blocks) {
      if (block.size > 0 && block.offset == start && offset + amount <= start + block.size) {
        found = &block;
        break;
      }
    }
    int64_t got = -1;
    if (!found && inOneBlock && offset >= lastEnd && offset - lastEnd < kReadAhead) {
      // Moving forward: the whole block, into the slot used least lately.
      found = blocks[0].offset == start ? &blocks[0] : &blocks[1];
      if (!found->bytes) found->bytes = std::make_unique<char[]>(kReadAhead);
      const int64_t filled = readUpTo(found->bytes.get(), kReadAhead, start);
      found->offset = start;
      found->size = filled < 0 ? 0 : static_cast<size_t>(filled);
      if (filled < 0) found = nullptr;
    }
    lastEnd = offset + amount;
    if (found) {
      if (found != &blocks[0]) std::swap(blocks[0], blocks[1]);
      const size_t at = static_cast<size_t>(offset - start);
      got = static_cast<int64_t>(std::min(amount, blocks[0].size > at ? blocks[0].size - at : 0));
      std::memcpy(buffer, blocks[0].bytes.get() + at, static_cast<size_t>(got));
    } else {
      if (!pages) return inner().xRead(system, buffer, static_cast<int>(amount), offset);
      got = pages->readAt(buffer, amount, offset);
    }
    if (got < 0) return SQLITE_IOERR_READ;
    if (static_cast<size_t>(got) == amount) return SQLITE_OK;
    // SQLite reads past the end on purpose and expects zeros there.
    std::memset(static_cast<char*>(buffer) + got, 0, amount - static_cast<size_t>(got));
    return SQLITE_IOERR_SHORT_READ;
  }

  int writeNow(const void* data, size_t amount, uint64_t offset) {
    if (system) return inner().xWrite(system, data, static_cast<int>(amount), offset);
    if (faultHits(eFault::kWrite)) return SQLITE_FULL;
    return pages->writeAt(data, amount, offset) ? SQLITE_OK : SQLITE_IOERR_WRITE;
  }

  // Writes what was gathered, before any call but a write continuing it, so
  // that SQLite's order of writes, syncs and locks holds and errors reach it.
  int flush() {
    if (behindSize == 0) return SQLITE_OK;
    const size_t size = std::exchange(behindSize, 0);
    return writeNow(behind.get(), size, behindOffset);
  }

  int write(const void* data, size_t amount, uint64_t offset) {
    for (Block& block : blocks) {
      const uint64_t from = std::max(offset, block.offset);
      const uint64_t to = std::min(offset + amount, block.offset + block.size);
      if (from < to) {
        std::memcpy(block.bytes.get() + (from - block.offset),
                    static_cast<const char*>(data) + (from - offset),
                    static_cast<size_t>(to - from));
      }
    }
    if (behindSize > 0 && offset == behindOffset + behindSize &&
        behindSize + amount <= kWriteBehind) {
      std::memcpy(behind.get() + behindSize, data, amount);
      behindSize += amount;
      return SQLITE_OK;
    }
    if (const int rc = flush(); rc != SQLITE_OK) return rc;
    if (amount >= kWriteBehind) return writeNow(data, amount, offset);
    if (!behind) behind = std::make_unique<char[]>(kWriteBehind);
    std::memcpy(behind.get(), data, amount);
    behindOffset = offset;
    behindSize = amount;
    return SQLITE_OK;
  }

  // Before anything but a read or write: the gathered writes go out, and
  // what was read ahead is forgotten where the call may let the file change.
  int settle(bool changes) {
    if (changes) blocks[0].size = blocks[1].size = 0;
    return flush();
  }
};

FileHandle& handleOf(sqlite3_file* file) { return *reinterpret_cast<FileHandle*>(file); }

int fileClose(sqlite3_file* file) {
  FileHandle& handle = handleOf(file);
  int rc = handle.settle(true);
  if (handle.system && handle.inner().xClose(handle.system) != SQLITE_OK) rc = SQLITE_IOERR_CLOSE;
  handle.~FileHandle();
  return rc;
}

int fileRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  FileHandle& handle = handleOf(file);
  if (const int rc = handle.settle(false); rc != SQLITE_OK) return rc;
  const int rc = handle.read(buffer, static_cast<size_t>(amount), static_cast<uint64_t>(offset));
  // A database packed while in WAL mode: see libraryVfs.
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (handle.pages && !handle.writable && offset == 0 && rc == SQLITE_OK &&
      amount >= static_cast<int>(kHeaderBytes) && isWalHeader(bytes)) {
    markRollbackMode(bytes);
  }
  return rc;
}

int fileWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
  FileHandle& handle = handleOf(file);
  if (handle.pages && !handle.writable) return SQLITE_READONLY;
  return handle.write(data, static_cast<size_t>(amount), static_cast<uint64_t>(offset));
}

// Passes a call on to a system file once the handle has settled (`kChanges`:
// the call may let the file change); `kOtherwise` is a page source's answer.
// Locks decide what other processes may have changed, and let them see what
// this one wrote; nothing else reaches a page source to lock against.
template <auto kMethod, bool kChanges, int kOtherwise, class... TArgs>
int passOn(sqlite3_file* file, TArgs... args) {
  FileHandle& handle = handleOf(file);
  if (const int rc = handle.settle(kChanges); rc != SQLITE_OK) return rc;
  return handle.system ? (handle.inner().*kMethod)(handle.system, args...) : kOtherwise;
}

int fileTruncate(sqlite3_file* file, sqlite3_int64 size) {
  const int rc = passOn<&sqlite3_io_methods::xTruncate, true, SQLITE_OK>(file, size);
  CPageSource* pages = handleOf(file).pages;
  return rc != SQLITE_OK || !pages || pages->truncate(static_cast<uint64_t>(size))
             ? rc
             : SQLITE_IOERR_TRUNCATE;
}

int fileSize(sqlite3_file* file, sqlite3_int64* size) {
  const int rc = passOn<&sqlite3_io_methods::xFileSize, false, SQLITE_OK>(file, size);
  CPageSource* pages = handleOf(file).pages;
  if (rc != SQLITE_OK || !pages) return rc;
  *size = pages->size();
  return *size < 0 ? SQLITE_IOERR_FSTAT : SQLITE_OK;
}

int fileDeviceCharacteristics(sqlite3_file* file) {
  FileHandle& handle = handleOf(file);
  if (handle.system) return handle.inner().xDeviceCharacteristics(handle.system);
  // Bytes that are only read never change under SQLite.
  return SQLITE_IOCAP_POWERSAFE_OVERWRITE | (handle.writable ? 0 : SQLITE_IOCAP_IMMUTABLE);
}

// Version 2 of the methods: the slots after xShmUnmap stay empty, so that
// SQLite never asks a file for a view of its own. A page source's owner
// makes its bytes durable in one step when complete, and it never shares
// memory with another process, as a database read through a WAL file does.
const sqlite3_io_methods* fileMethods() {
  using M = sqlite3_io_methods;
  static const M methods = [] {
    M slots{};
    slots.iVersion = 2;
    slots.xClose = fileClose;
    slots.xRead = fileRead;
    slots.xWrite = fileWrite;
    slots.xTruncate = fileTruncate;
    slots.xSync = passOn<&M::xSync, false, SQLITE_OK>;
    slots.xFileSize = fileSize;
    slots.xLock = passOn<&M::xLock, true, SQLITE_OK>;
    slots.xUnlock = passOn<&M::xUnlock, true, SQLITE_OK>;
    slots.xCheckReservedLock = [](sqlite3_file* f, int* reserved) {
      *reserved = 0;
      return passOn<&M::xCheckReservedLock, false, SQLITE_OK>(f, reserved);
    };
    slots.xFileControl = passOn<&M::xFileControl, true, SQLITE_NOTFOUND>;
    slots.xSectorSize = [](sqlite3_file* f) {
      const FileHandle& handle = handleOf(f);
      return handle.system ? handle.inner().xSectorSize(handle.system) : 4096;
    };
    slots.xDeviceCharacteristics = fileDeviceCharacteristics;
    slots.xShmMap = passOn<&M::xShmMap, false, SQLITE_IOERR_SHMMAP>;
    slots.xShmLock = passOn<&M::xShmLock, true, SQLITE_OK>;
    slots.xShmBarrier = [](sqlite3_file* f) {
      if (handleOf(f).system) handleOf(f).inner().xShmBarrier(handleOf(f).system);
    };
    slots.xShmUnmap = passOn<&M::xShmUnmap, false, SQLITE_OK>;
    return slots;
  }();
  return &methods;
}

constexpr int kHandleSize = (sizeof(FileHandle) + 7) / 8 * 8;

sqlite3_vfs* systemVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

int vfsOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  auto& handle = *new (file) FileHandle();
  if (isPagesName(name)) {
    handle.pages =
        reinterpret_cast<CPageSource*>(static_cast<intptr_t>(sqlite3_uri_int64(name, "pages", 0)));
    handle.writable = (flags & SQLITE_OPEN_READWRITE) != 0;
    if (outFlags) *outFlags = flags;
    if (handle.pages && (flags & SQLITE_OPEN_MAIN_DB)) return SQLITE_OK;
  } else {
    handle.system = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kHandleSize);
    const int rc = systemVfs(vfs)->xOpen(systemVfs(vfs), name, handle.system, flags, outFlags);
    if (rc == SQLITE_OK && handle.system->pMethods) return SQLITE_OK;
    if (handle.system->pMethods) handle.inner().xClose(handle.system);
  }
  // Without methods SQLite does not close the file: it is undone here.
  handle.~FileHandle();
  file->pMethods = nullptr;
  return SQLITE_CANTOPEN;
}

int vfsDelete(sqlite3_vfs* vfs, const char* name, int syncFolder) {
  return isPagesName(name) ? SQLITE_OK : systemVfs(vfs)->xDelete(systemVfs(vfs), name, syncFolder);
}

int vfsAccess(sqlite3_vfs* vfs, const char* name, int flags, int* result) {
  *result = 0;
  return isPagesName(name) ? SQLITE_OK
                           : systemVfs(vfs)->xAccess(systemVfs(vfs), name, flags, result);
}

int vfsFullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  if (!isPagesName(name)) return systemVfs(vfs)->xFullPathname(systemVfs(vfs), name, size, out);
  if (static_cast<int>(std::strlen(name)) >= size) return SQLITE_CANTOPEN;
  std::strcpy(out, name);
  return SQLITE_OK;
}

// Registered once, never the default. Randomness, time, sleep and the rest
// are the system VFS's, whose methods ignore the VFS they are called through.
sqlite3_vfs* registeredVfs() {
  static sqlite3_vfs* registered = [] {
    sqlite3_vfs* system = sqlite3_vfs_find(nullptr);
    static sqlite3_vfs vfs = *system;
    vfs.szOsFile = kHandleSize + system->szOsFile;
    vfs.zName = "vozidiri";
    vfs.pNext = nullptr;
    vfs.pAppData = system;
    vfs.xOpen = vfsOpen;
    vfs.xDelete = vfsDelete;
    vfs.xAccess = vfsAccess;
    vfs.xFullPathname = vfsFullPathname;
    sqlite3_vfs_register(&vfs, 0);
    return &vfs;
  }();
  return registered;
}

}  // namespace

int64_t CStreamPages::readAt(void* buffer, size_t size, uint64_t offset) {
  return platform::readAt(file_, buffer, size, offset);
}
bool CStreamPages::writeAt(const void* data, size_t size, uint64_t offset) {
  return platform::writeAt(file_, data, size, offset);
}
bool CStreamPages::truncate(uint64_t size) { return platform::truncateFile(file_, size); }
int64_t CStreamPages::size() { return platform::fileSize(file_); }

const char* libraryVfs() { return registeredVfs()->zName; }

std::string pagesName(CPageSource& pages) {
  return std::string("file:") + kPagesName +
         "?pages=" + std::to_string(reinterpret_cast<intptr_t>(&pages));
}

bool isWalHeader(const unsigned char* header) {
  return std::memcmp(header, kSQLiteMagic, sizeof kSQLiteMagic) == 0 &&
         (header[kVersionOffset] == 2 || header[kVersionOffset + 1] == 2);
}

void markRollbackMode(unsigned char* header) {
  header[kVersionOffset] = header[kVersionOffset + 1] = 1;
}

}  // namespace rk
