#include "sqlite_vfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "fault_injection.h"
#include "platform.h"

namespace rk {
namespace {

constexpr char kVfsName[] = "vozidiri-pages";
// Names handed to SQLite for page files; SQLite asks for nothing else by
// these names but the journal it would roll back, which never exists.
constexpr char kNamePrefix[] = "vozidiri-pages:";

bool isPageFileName(const char* name) {
  return name && std::strncmp(name, kNamePrefix, sizeof kNamePrefix - 1) == 0;
}

// The page files being opened, by the name SQLite is given for each.
std::map<std::string, CPageFile*>& openingFiles() {
  static std::map<std::string, CPageFile*> files;
  return files;
}

struct PageFileHandle {
  sqlite3_file base;  // first: SQLite sees only this
  CPageFile* pages;
  bool writable;
};

CPageFile& pagesOf(sqlite3_file* file) { return *reinterpret_cast<PageFileHandle*>(file)->pages; }

int pageClose(sqlite3_file*) { return SQLITE_OK; }

int pageRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  const int64_t got =
      pagesOf(file).readAt(buffer, static_cast<size_t>(amount), static_cast<uint64_t>(offset));
  if (got < 0) return SQLITE_IOERR_READ;
  // A database packed while in WAL mode is read without its WAL, which the
  // pack does not hold: its pages are whole without one.
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (!reinterpret_cast<PageFileHandle*>(file)->writable && offset == 0 && got >= 20 &&
      std::memcmp(bytes, "SQLite format 3", 16) == 0 && bytes[18] == 2 && bytes[19] == 2) {
    bytes[18] = bytes[19] = 1;
  }
  if (got == amount) return SQLITE_OK;
  // SQLite reads past the end on purpose and expects zeros there.
  std::memset(static_cast<char*>(buffer) + got, 0, static_cast<size_t>(amount - got));
  return SQLITE_IOERR_SHORT_READ;
}

int pageWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
  if (!reinterpret_cast<PageFileHandle*>(file)->writable) return SQLITE_READONLY;
  if (faultHits(eFault::kWrite)) return SQLITE_FULL;
  return pagesOf(file).writeAt(data, static_cast<size_t>(amount), static_cast<uint64_t>(offset))
             ? SQLITE_OK
             : SQLITE_IOERR_WRITE;
}

int pageTruncate(sqlite3_file* file, sqlite3_int64 size) {
  return pagesOf(file).truncate(static_cast<uint64_t>(size)) ? SQLITE_OK : SQLITE_IOERR_TRUNCATE;
}

// The owner makes the file durable in one step when it is complete.
int pageSync(sqlite3_file*, int) { return SQLITE_OK; }

int pageFileSize(sqlite3_file* file, sqlite3_int64* size) {
  const int64_t bytes = pagesOf(file).size();
  if (bytes < 0) return SQLITE_IOERR_FSTAT;
  *size = bytes;
  return SQLITE_OK;
}

// Nobody else can reach the file, so there is nothing to lock against.
int pageLock(sqlite3_file*, int) { return SQLITE_OK; }
int pageCheckReservedLock(sqlite3_file*, int* reserved) {
  *reserved = 0;
  return SQLITE_OK;
}
int pageFileControl(sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; }
int pageSectorSize(sqlite3_file*) { return 4096; }
int pageDeviceCharacteristics(sqlite3_file* file) {
  // A file that is only read never changes under SQLite.
  return SQLITE_IOCAP_POWERSAFE_OVERWRITE |
         (reinterpret_cast<PageFileHandle*>(file)->writable ? 0 : SQLITE_IOCAP_IMMUTABLE);
}

const sqlite3_io_methods kPageMethods = {
    1,
    pageClose,
    pageRead,
    pageWrite,
    pageTruncate,
    pageSync,
    pageFileSize,
    pageLock,
    pageLock,
    pageCheckReservedLock,
    pageFileControl,
    pageSectorSize,
    pageDeviceCharacteristics,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

sqlite3_vfs* systemVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

int vfsOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  if (!isPageFileName(name))
    return systemVfs(vfs)->xOpen(systemVfs(vfs), name, file, flags, outFlags);
  const auto found = openingFiles().find(name);
  if (found == openingFiles().end()) return SQLITE_CANTOPEN;
  auto* handle = reinterpret_cast<PageFileHandle*>(file);
  handle->base.pMethods = &kPageMethods;
  handle->pages = found->second;
  handle->writable = (flags & SQLITE_OPEN_READWRITE) != 0;
  if (outFlags) *outFlags = flags;
  return SQLITE_OK;
}

int vfsDelete(sqlite3_vfs* vfs, const char* name, int syncFolder) {
  if (isPageFileName(name)) return SQLITE_OK;
  return systemVfs(vfs)->xDelete(systemVfs(vfs), name, syncFolder);
}

int vfsAccess(sqlite3_vfs* vfs, const char* name, int flags, int* result) {
  if (!isPageFileName(name)) return systemVfs(vfs)->xAccess(systemVfs(vfs), name, flags, result);
  *result = 0;
  return SQLITE_OK;
}

int vfsFullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  if (!isPageFileName(name)) {
    return systemVfs(vfs)->xFullPathname(systemVfs(vfs), name, size, out);
  }
  if (static_cast<int>(std::strlen(name)) >= size) return SQLITE_CANTOPEN;
  std::strcpy(out, name);
  return SQLITE_OK;
}

// A VFS named `name` that is the system's but for the calls given; each
// fills in what the system VFS needs (pAppData is the system VFS).
sqlite3_vfs makeVfs(const char* name, int fileSize) {
  sqlite3_vfs* system = sqlite3_vfs_find(nullptr);
  return sqlite3_vfs{
      2,
      fileSize,
      system->mxPathname,
      nullptr,
      name,
      system,
      [](sqlite3_vfs* vfs, const char* file, sqlite3_file* out, int flags, int* outFlags) {
        return systemVfs(vfs)->xOpen(systemVfs(vfs), file, out, flags, outFlags);
      },
      [](sqlite3_vfs* vfs, const char* file, int syncFolder) {
        return systemVfs(vfs)->xDelete(systemVfs(vfs), file, syncFolder);
      },
      [](sqlite3_vfs* vfs, const char* file, int flags, int* result) {
        return systemVfs(vfs)->xAccess(systemVfs(vfs), file, flags, result);
      },
      [](sqlite3_vfs* vfs, const char* file, int size, char* out) {
        return systemVfs(vfs)->xFullPathname(systemVfs(vfs), file, size, out);
      },
      [](sqlite3_vfs* vfs, const char* file) {
        return systemVfs(vfs)->xDlOpen(systemVfs(vfs), file);
      },
      [](sqlite3_vfs* vfs, int size, char* message) {
        systemVfs(vfs)->xDlError(systemVfs(vfs), size, message);
      },
      [](sqlite3_vfs* vfs, void* library, const char* symbol) {
        return systemVfs(vfs)->xDlSym(systemVfs(vfs), library, symbol);
      },
      [](sqlite3_vfs* vfs, void* library) { systemVfs(vfs)->xDlClose(systemVfs(vfs), library); },
      [](sqlite3_vfs* vfs, int size, char* out) {
        return systemVfs(vfs)->xRandomness(systemVfs(vfs), size, out);
      },
      [](sqlite3_vfs* vfs, int microseconds) {
        return systemVfs(vfs)->xSleep(systemVfs(vfs), microseconds);
      },
      [](sqlite3_vfs* vfs, double* now) {
        return systemVfs(vfs)->xCurrentTime(systemVfs(vfs), now);
      },
      [](sqlite3_vfs* vfs, int size, char* message) {
        return systemVfs(vfs)->xGetLastError(systemVfs(vfs), size, message);
      },
      [](sqlite3_vfs* vfs, sqlite3_int64* now) {
        return systemVfs(vfs)->xCurrentTimeInt64(systemVfs(vfs), now);
      },
      nullptr,
      nullptr,
      nullptr,
  };
}

// Registered once, the first time a page file is opened; never the default.
sqlite3_vfs* pageVfs() {
  static sqlite3_vfs* registered = [] {
    static sqlite3_vfs vfs = makeVfs(kVfsName, std::max(static_cast<int>(sizeof(PageFileHandle)),
                                                        sqlite3_vfs_find(nullptr)->szOsFile));
    vfs.xOpen = vfsOpen;
    vfs.xDelete = vfsDelete;
    vfs.xAccess = vfsAccess;
    vfs.xFullPathname = vfsFullPathname;
    sqlite3_vfs_register(&vfs, 0);
    return &vfs;
  }();
  return registered;
}

// A database file read through a view: the system's file, opened, locked
// and mapped by the system VFS, lies right after this header.
struct ViewedFile {
  sqlite3_file base;  // first: SQLite sees only this
  sqlite3_file* inner;
};

constexpr int kViewedHeader = (sizeof(ViewedFile) + 7) / 8 * 8;
// As much of the file as the system VFS will map.
constexpr sqlite3_int64 kViewSize = sqlite3_int64{1} << 40;

sqlite3_file* innerOf(sqlite3_file* file) { return reinterpret_cast<ViewedFile*>(file)->inner; }
const sqlite3_io_methods& innerMethods(sqlite3_file* file) { return *innerOf(file)->pMethods; }

// The system VFS maps the file with its own descriptor, which also keeps
// SQLite's locks: a second descriptor of the process's, once closed, would
// end them all (POSIX locks belong to the process and the file). It keeps
// the view true to the file across writes and truncations, too.
int viewedRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  sqlite3_file* inner = innerOf(file);
  void* view = nullptr;
  if (inner->pMethods->iVersion >= 3 &&
      inner->pMethods->xFetch(inner, offset, amount, &view) == SQLITE_OK && view) {
    std::memcpy(buffer, view, static_cast<size_t>(amount));
    return inner->pMethods->xUnfetch(inner, offset, view);
  }
  return inner->pMethods->xRead(inner, buffer, amount, offset);
}

// SQLite's pager sets the file's map size to its own (none, unless a
// connection asks for PRAGMA mmap_size): the view keeps its own instead.
int viewedFileControl(sqlite3_file* file, int op, void* arg) {
  if (op != SQLITE_FCNTL_MMAP_SIZE) return innerMethods(file).xFileControl(innerOf(file), op, arg);
  sqlite3_int64 size = kViewSize;
  return innerMethods(file).xFileControl(innerOf(file), op, &size);
}

const sqlite3_io_methods kViewedMethods = {
    3,
    [](sqlite3_file* f) { return innerMethods(f).xClose(innerOf(f)); },
    viewedRead,
    [](sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
      return innerMethods(f).xWrite(innerOf(f), data, amount, offset);
    },
    [](sqlite3_file* f, sqlite3_int64 size) { return innerMethods(f).xTruncate(innerOf(f), size); },
    [](sqlite3_file* f, int flags) { return innerMethods(f).xSync(innerOf(f), flags); },
    [](sqlite3_file* f, sqlite3_int64* size) {
      return innerMethods(f).xFileSize(innerOf(f), size);
    },
    [](sqlite3_file* f, int level) { return innerMethods(f).xLock(innerOf(f), level); },
    [](sqlite3_file* f, int level) { return innerMethods(f).xUnlock(innerOf(f), level); },
    [](sqlite3_file* f, int* out) { return innerMethods(f).xCheckReservedLock(innerOf(f), out); },
    viewedFileControl,
    [](sqlite3_file* f) { return innerMethods(f).xSectorSize(innerOf(f)); },
    [](sqlite3_file* f) { return innerMethods(f).xDeviceCharacteristics(innerOf(f)); },
    [](sqlite3_file* f, int page, int size, int extend, void volatile** out) {
      return innerMethods(f).xShmMap(innerOf(f), page, size, extend, out);
    },
    [](sqlite3_file* f, int offset, int count, int flags) {
      return innerMethods(f).xShmLock(innerOf(f), offset, count, flags);
    },
    [](sqlite3_file* f) { innerMethods(f).xShmBarrier(innerOf(f)); },
    [](sqlite3_file* f, int remove) { return innerMethods(f).xShmUnmap(innerOf(f), remove); },
    [](sqlite3_file* f, sqlite3_int64 offset, int size, void** out) {
      return innerMethods(f).xFetch(innerOf(f), offset, size, out);
    },
    [](sqlite3_file* f, sqlite3_int64 offset, void* page) {
      return innerMethods(f).xUnfetch(innerOf(f), offset, page);
    },
};

int viewedOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  auto* viewed = reinterpret_cast<ViewedFile*>(file);
  viewed->inner = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kViewedHeader);
  const int rc = systemVfs(vfs)->xOpen(systemVfs(vfs), name, viewed->inner, flags, outFlags);
  // Without methods SQLite does not close the file: the system's is not open.
  const sqlite3_io_methods* methods = rc == SQLITE_OK ? viewed->inner->pMethods : nullptr;
  viewed->base.pMethods = methods ? &kViewedMethods : nullptr;
  return rc;
}

}  // namespace

bool CPageFile::writeAt(const void*, size_t, uint64_t) { return false; }
bool CPageFile::truncate(uint64_t) { return false; }

int64_t CFilePages::readAt(void* buffer, size_t size, uint64_t offset) {
  return platform::readAt(file_, buffer, size, offset);
}
bool CFilePages::writeAt(const void* data, size_t size, uint64_t offset) {
  return platform::writeAt(file_, data, size, offset);
}
bool CFilePages::truncate(uint64_t size) { return platform::truncateFile(file_, size); }
int64_t CFilePages::size() { return platform::fileSize(file_); }

const char* viewedVfs() {
  static sqlite3_vfs* registered = [] {
    static sqlite3_vfs vfs =
        makeVfs("vozidiri-viewed", kViewedHeader + sqlite3_vfs_find(nullptr)->szOsFile);
    vfs.xOpen = viewedOpen;
    sqlite3_vfs_register(&vfs, 0);
    return &vfs;
  }();
  return registered->zName;
}

int openPageFile(CPageFile& file, bool writable, sqlite3** db) {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<void*>(&file));
  const std::string name = kNamePrefix + std::string(address);
  openingFiles()[name] = &file;
  // One thread uses each connection: SQLite's own locking per call is waste.
  const int rc = sqlite3_open_v2(
      name.c_str(), db,
      (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX,
      pageVfs()->zName);
  openingFiles().erase(name);
  return rc;
}

}  // namespace rk
