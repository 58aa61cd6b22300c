#include "private_copy.h"

#include <sqlite3.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "fault_injection.h"
#include "sqlite_connection.h"
#include "write_lock.h"

namespace rk {
namespace {

std::map<std::string, std::unique_ptr<CPrivateCopy>>& waitingCopies() {
  static std::map<std::string, std::unique_ptr<CPrivateCopy>> copies;
  return copies;
}

bool isSQLiteFile(const std::string& path) {
  static const char kMagic[16] = "SQLite format 3";  // with its terminating zero
  char header[sizeof kMagic] = {};
  const FilePtr file(std::fopen(path.c_str(), "rb"));
  return file && std::fread(header, 1, sizeof header, file.get()) == sizeof header &&
         std::memcmp(header, kMagic, sizeof kMagic) == 0;
}

// Copies the SQLite file at `fromPath` into `to` as SQLite sees it, inside
// one read transaction, which rolls a hot journal back (or fails when it
// cannot) and keeps writers from changing the file until it ends.
bool copyDatabaseFile(const std::string& fromPath, std::FILE* to, CPageFile& toPages) {
  // Opened first, so closed last: closing any descriptor of a file ends all
  // the POSIX locks this process holds on it, the read lock below included.
  const FilePtr from(std::fopen(fromPath.c_str(), "rb"));
  const ConnectionPtr source = from ? openConnection(fromPath, SQLITE_OPEN_READWRITE) : nullptr;
  if (!source || !execOk(source.get(), "BEGIN; SELECT count(*) FROM sqlite_master")) return false;
  bool wal = false;
  if (const StatementPtr mode = prepare(source.get(), "PRAGMA journal_mode");
      mode && sqlite3_step(mode.get()) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(mode.get(), 0));
    wal = text && std::strcmp(text, "wal") == 0;
  }
  bool ok = false;
  if (!wal) {
    // In rollback-journal mode the file itself is the database while the
    // read lock is held: its bytes are copied as they are.
    ok = platform::copyWholeFile(from.get(), to);
  } else {
    // Committed pages may still be in the WAL file: copy page by page
    // through SQLite, which reads them from wherever they are.
    sqlite3* raw = nullptr;
    const int rc = openPageFile(toPages, true, &raw);
    const ConnectionPtr target(raw);
    if (rc == SQLITE_OK && execOk(target.get(), "PRAGMA journal_mode = OFF")) {
      sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
      ok = backup && sqlite3_backup_step(backup, -1) == SQLITE_DONE;
      ok = sqlite3_backup_finish(backup) == SQLITE_OK && ok;
    }
  }
  (void)execOk(source.get(), "COMMIT");
  // The copy is read and written without a WAL: its header must say so.
  unsigned char versions[2] = {};
  if (ok && toPages.readAt(versions, 2, 18) == 2 && (versions[0] == 2 || versions[1] == 2)) {
    static const unsigned char kRollback[2] = {1, 1};
    ok = toPages.writeAt(kRollback, 2, 18);
  }
  return ok;
}

class CPrivateCopyStream : public CStream {
 public:
  CPrivateCopyStream(std::string path, std::unique_ptr<CPrivateCopy> copy, std::FILE* file)
      : path_(std::move(path)), copy_(std::move(copy)), file_(file) {}

  // A copy that went wrong anywhere is dropped here; a whole one waits for
  // its write session.
  ~CPrivateCopyStream() override {
    if (!failed_) waitingCopies()[path_] = std::move(copy_);
  }

  int getSize() override { return written_ > INT_MAX ? -1 : static_cast<int>(written_); }
  int read(void*, int) override { return -1; }
  bool write(const void* data, int count) override {
    if (failed_ || count < 0 ||
        !copy_->pages().writeAt(data, static_cast<size_t>(count), written_)) {
      failed_ = true;
      return false;
    }
    written_ += static_cast<uint64_t>(count);
    return true;
  }
  bool copyFrom(CStream* source, int count) override {
    const std::string from = source ? source->diskPath() : std::string();
    bool ok = false;
    if (!from.empty() && written_ == 0 && (count < 0 || count == source->getSize())) {
      if (isSQLiteFile(from)) {
        ok = copyDatabaseFile(from, file_, copy_->pages());
      } else {
        const FilePtr in(std::fopen(from.c_str(), "rb"));
        ok = in && platform::copyWholeFile(in.get(), file_);
      }
      written_ = ok ? static_cast<uint64_t>(copy_->pages().size()) : 0;
    } else {
      ok = CStream::copyFrom(source, count);
    }
    if (faultHits(eFault::kCopy)) ok = false;
    // A copy that stops short must not be taken for the whole file.
    if (!ok) failed_ = true;
    return ok;
  }

 private:
  std::string path_;
  std::unique_ptr<CPrivateCopy> copy_;
  std::FILE* file_;  // the copy's own
  uint64_t written_ = 0;
  bool failed_ = false;
};

}  // namespace

CPrivateCopy::CPrivateCopy(std::unique_ptr<platform::CUnpublishedFile> file,
                           std::shared_ptr<platform::CFolderLock> folderLock)
    : file_(std::move(file)), pages_(file_->file()), folderLock_(std::move(folderLock)) {}

CPrivateCopy::~CPrivateCopy() = default;

bool CPrivateCopy::publish() {
  const bool done = !faultHits(eFault::kPublish) && file_->publish();
  file_.reset();
  folderLock_.reset();
  return done;
}

TRefPointer<CStream> openPrivateCopy(const std::string& folder, const std::string& path) {
  std::shared_ptr<platform::CFolderLock> lock = lockFolder(folder);
  if (!lock) return nullptr;
  // Asked under the lock: a run that made the copy first has published it.
  std::error_code error;
  if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) return nullptr;
  if (faultHits(eFault::kCreate)) return nullptr;
  platform::removeLeftovers(path);
  std::unique_ptr<platform::CUnpublishedFile> file = platform::CUnpublishedFile::create(path);
  if (!file) return nullptr;
  std::FILE* stream = file->file();
  return new CPrivateCopyStream(
      path, std::make_unique<CPrivateCopy>(std::move(file), std::move(lock)), stream);
}

std::unique_ptr<CPrivateCopy> takePrivateCopy(const std::string& path) {
  const auto found = waitingCopies().find(path);
  if (found == waitingCopies().end()) return nullptr;
  std::unique_ptr<CPrivateCopy> copy = std::move(found->second);
  waitingCopies().erase(found);
  return copy;
}

}  // namespace rk
