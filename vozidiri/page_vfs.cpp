#include "page_vfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "fault_injection.h"
#include "platform.h"

namespace rk {
namespace {

// Reads that move forward by less than this are served from one read of
// this many bytes: a walk's pages lie mostly in file order, and a call into
// the system per page cost more than the pages themselves.
constexpr size_t kReadAhead = 256 * 1024;

const sqlite3_io_methods* pageMethods();

// An open page file as SQLite holds it: its memory is SQLite's, so the
// handle is built in place by xOpen and destroyed by xClose.
struct PageFileHandle {
  PageFileHandle(CPageSource* pages, bool writable) : pages(pages), writable(writable) {}

  sqlite3_file base{pageMethods()};  // first: SQLite sees only this
  CPageSource* pages;
  bool writable;
  // The bytes of the last read ahead, from `aheadOffset`, and where the last
  // read of SQLite's ended.
  std::unique_ptr<char[]> ahead;
  uint64_t aheadOffset = 0;
  size_t aheadSize = 0;
  uint64_t lastEnd = 0;

  int64_t read(void* buffer, size_t amount, uint64_t offset) {
    if (writable) return pages->readAt(buffer, amount, offset);
    if (offset >= aheadOffset && offset + amount <= aheadOffset + aheadSize) {
      std::memcpy(buffer, ahead.get() + (offset - aheadOffset), amount);
      lastEnd = offset + amount;
      return static_cast<int64_t>(amount);
    }
    const bool onward = offset >= lastEnd && offset - lastEnd < kReadAhead;
    lastEnd = offset + amount;
    if (!onward || amount >= kReadAhead) return pages->readAt(buffer, amount, offset);
    if (!ahead) ahead = std::make_unique<char[]>(kReadAhead);
    const int64_t got = pages->readAt(ahead.get(), kReadAhead, offset);
    aheadOffset = offset;
    aheadSize = got < 0 ? 0 : static_cast<size_t>(got);
    if (got < 0) return -1;
    const size_t taken = std::min(amount, aheadSize);
    std::memcpy(buffer, ahead.get(), taken);
    return static_cast<int64_t>(taken);
  }
};

PageFileHandle& handleOf(sqlite3_file* file) { return *reinterpret_cast<PageFileHandle*>(file); }

int pageClose(sqlite3_file* file) {
  handleOf(file).~PageFileHandle();
  return SQLITE_OK;
}

int pageRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  PageFileHandle& handle = handleOf(file);
  const int64_t got =
      handle.read(buffer, static_cast<size_t>(amount), static_cast<uint64_t>(offset));
  if (got < 0) return SQLITE_IOERR_READ;
  // Bytes that are only read are the whole database without a WAL file,
  // whatever their header says (a database packed while in WAL mode).
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (!handle.writable && offset == 0 && got >= static_cast<int64_t>(kHeaderBytes) &&
      isWalHeader(bytes)) {
    markRollbackMode(bytes);
  }
  if (got == amount) return SQLITE_OK;
  // SQLite reads past the end on purpose and expects zeros there.
  std::memset(bytes + got, 0, static_cast<size_t>(amount - got));
  return SQLITE_IOERR_SHORT_READ;
}

int pageWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
  PageFileHandle& handle = handleOf(file);
  if (!handle.writable) return SQLITE_READONLY;
  if (faultHits(eFault::kWrite)) return SQLITE_FULL;
  return handle.pages->writeAt(data, static_cast<size_t>(amount), static_cast<uint64_t>(offset))
             ? SQLITE_OK
             : SQLITE_IOERR_WRITE;
}

int pageTruncate(sqlite3_file* file, sqlite3_int64 size) {
  return handleOf(file).pages->truncate(static_cast<uint64_t>(size)) ? SQLITE_OK
                                                                     : SQLITE_IOERR_TRUNCATE;
}

// The owner makes the bytes durable in one step when they are complete.
int pageSync(sqlite3_file*, int) { return SQLITE_OK; }

int pageFileSize(sqlite3_file* file, sqlite3_int64* size) {
  const int64_t bytes = handleOf(file).pages->size();
  if (bytes < 0) return SQLITE_IOERR_FSTAT;
  *size = bytes;
  return SQLITE_OK;
}

// Nothing else can reach the bytes, so there is nothing to lock against.
int pageLock(sqlite3_file*, int) { return SQLITE_OK; }

int pageCheckReservedLock(sqlite3_file*, int* reserved) {
  *reserved = 0;
  return SQLITE_OK;
}

int pageFileControl(sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; }

int pageSectorSize(sqlite3_file*) { return 4096; }

int pageDeviceCharacteristics(sqlite3_file* file) {
  // Bytes that are only read never change under SQLite.
  return SQLITE_IOCAP_POWERSAFE_OVERWRITE | (handleOf(file).writable ? 0 : SQLITE_IOCAP_IMMUTABLE);
}

// Version 1 of the methods: the slots after xDeviceCharacteristics stay
// empty, as a file with no shared memory and no view of its own has them.
const sqlite3_io_methods* pageMethods() {
  static const sqlite3_io_methods methods = [] {
    sqlite3_io_methods slots{};
    slots.iVersion = 1;
    slots.xClose = pageClose;
    slots.xRead = pageRead;
    slots.xWrite = pageWrite;
    slots.xTruncate = pageTruncate;
    slots.xSync = pageSync;
    slots.xFileSize = pageFileSize;
    slots.xLock = pageLock;
    slots.xUnlock = pageLock;
    slots.xCheckReservedLock = pageCheckReservedLock;
    slots.xFileControl = pageFileControl;
    slots.xSectorSize = pageSectorSize;
    slots.xDeviceCharacteristics = pageDeviceCharacteristics;
    return slots;
  }();
  return &methods;
}

// The URI parameter that carries the address of the CPageSource to open:
// the opener hands it over directly, so nothing has to look it up.
constexpr char kPagesParameter[] = "pages";

int vfsOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  // SQLite asks for nothing else by this VFS but the journal it would roll
  // back, which never exists.
  const auto address = sqlite3_uri_int64(name, kPagesParameter, 0);
  if (!(flags & SQLITE_OPEN_MAIN_DB) || address == 0) return SQLITE_CANTOPEN;
  new (file) PageFileHandle(reinterpret_cast<CPageSource*>(static_cast<intptr_t>(address)),
                            (flags & SQLITE_OPEN_READWRITE) != 0);
  if (outFlags) *outFlags = flags;
  return SQLITE_OK;
}

int vfsDelete(sqlite3_vfs*, const char*, int) { return SQLITE_OK; }

int vfsAccess(sqlite3_vfs*, const char*, int, int* result) {
  *result = 0;
  return SQLITE_OK;
}

int vfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  if (static_cast<int>(std::strlen(name)) >= size) return SQLITE_CANTOPEN;
  std::strcpy(out, name);
  return SQLITE_OK;
}

// Registered once, the first time a page connection is opened; never the
// default. Randomness, time, sleep and the rest are the system VFS's, whose
// methods do not look at the VFS they are called through.
sqlite3_vfs* pageVfs() {
  static sqlite3_vfs* registered = [] {
    static sqlite3_vfs vfs = *sqlite3_vfs_find(nullptr);
    vfs.szOsFile = static_cast<int>(sizeof(PageFileHandle));
    vfs.zName = "vozidiri-pages";
    vfs.pNext = nullptr;
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

bool CPageSource::writeAt(const void*, size_t, uint64_t) { return false; }
bool CPageSource::truncate(uint64_t) { return false; }

int64_t CStreamPages::readAt(void* buffer, size_t size, uint64_t offset) {
  return platform::readAt(file_, buffer, size, offset);
}
bool CStreamPages::writeAt(const void* data, size_t size, uint64_t offset) {
  return platform::writeAt(file_, data, size, offset);
}
bool CStreamPages::truncate(uint64_t size) { return platform::truncateFile(file_, size); }
int64_t CStreamPages::size() { return platform::fileSize(file_); }

CConnectionPages::CConnectionPages(sqlite3* db) : file_(mainFile(db)) {
  sqlite3_int64 size = -1;
  if (file_ && file_->pMethods && file_->pMethods->xFileSize(file_, &size) == SQLITE_OK) {
    size_ = size;
  }
}

int64_t CConnectionPages::readAt(void* buffer, size_t size, uint64_t offset) {
  if (size_ < 0) return -1;
  if (offset >= static_cast<uint64_t>(size_)) return 0;
  const size_t wanted = std::min<uint64_t>({size, static_cast<uint64_t>(size_) - offset, INT_MAX});
  // A short read here means the file shrank under its lock: another program
  // that ignores locks cut it, and what it held is gone.
  return file_->pMethods->xRead(file_, buffer, static_cast<int>(wanted),
                                static_cast<sqlite3_int64>(offset)) == SQLITE_OK
             ? static_cast<int64_t>(wanted)
             : -1;
}

ConnectionPtr openPageConnection(CPageSource& pages, bool writable) {
  const std::string name = "file:vozidiri-pages?" + std::string(kPagesParameter) + "=" +
                           std::to_string(reinterpret_cast<intptr_t>(&pages));
  return openConnection(name,
                        (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_URI,
                        pageVfs()->zName);
}

}  // namespace rk
