#include "database_copy.h"

#include <sqlite3.h>

#include <cinttypes>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

#include "fault_injection.h"
#include "fingerprint.h"

namespace rk {
namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

// SQLite takes a journal or WAL file beside a database for that database's.
bool hasSideFile(const std::string& path) {
  return exists(path + "-journal") || exists(path + "-wal");
}

// Where no file can be without a name, the copy is "<name>.partial-" and 16
// hex digits: 8 random, 8 checking them against the name, so that killed
// runs' leftovers are told from anything a user named alike.
std::string partialName(const std::string& path, uint32_t random) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".partial-%08" PRIx32 "%08" PRIx32, random,
                static_cast<uint32_t>(fingerprint(fs::path(path).filename().string(), random)));
  return path + suffix;
}

// Removes what killed runs left of copies that were to take the name `path`.
void removeLeftovers(const std::string& path) {
  const fs::path target(path);
  const std::string prefix = target.filename().string() + ".partial-";
  std::error_code error;
  fs::path folder = target.parent_path();
  for (fs::directory_iterator entry(folder.empty() ? "." : folder, error), end;
       !error && entry != end; entry.increment(error)) {
    // Only a name partialName gives, for its own random part.
    const std::string name = entry->path().filename().string();
    if (name.size() == prefix.size() + 16 && name.compare(0, prefix.size(), prefix) == 0 &&
        name == partialName(target.filename().string(),
                            std::strtoul(name.substr(prefix.size(), 8).c_str(), nullptr, 16))) {
      (void)platform::removeIfNotHeld(entry->path().string());
    }
  }
}

// Creates the folders `path` needs; those made are added, the outermost first.
bool createFolders(const std::string& path, std::vector<std::string>& made) {
  std::vector<fs::path> missing;
  std::error_code error;
  for (fs::path folder = fs::path(path).parent_path(); !folder.empty() && !exists(folder.string());
       folder = folder.parent_path()) {
    missing.push_back(folder);
  }
  for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
    if (!fs::create_directory(*folder, error)) return false;
    made.push_back(folder->string());
  }
  return true;
}

void removeFolders(const std::vector<std::string>& folders) {
  std::error_code error;
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    fs::remove(*folder, error);  // only while empty
  }
}

}  // namespace

CDatabaseCopy::CDatabaseCopy(std::unique_ptr<platform::CUnpublishedFile> file, std::string path,
                             std::shared_ptr<platform::CNameLock> lock,
                             std::vector<std::string> folders)
    : file_(std::move(file)),
      pages_(file_->file()),
      path_(std::move(path)),
      lock_(std::move(lock)),
      folders_(std::move(folders)) {}

CDatabaseCopy::~CDatabaseCopy() {
  if (published_) return;
  file_.reset();
  removeFolders(folders_);
}

std::unique_ptr<CDatabaseCopy> CDatabaseCopy::create(const std::string& path,
                                                     std::shared_ptr<platform::CNameLock> lock) {
  if (exists(path) || hasSideFile(path) || faultHits(eFault::kCreate)) return nullptr;
  std::vector<std::string> folders;
  std::unique_ptr<platform::CUnpublishedFile> file;
  // A temporary name is taken only once; another try gets another.
  for (int attempt = 0; attempt < 3 && !file && createFolders(path, folders); ++attempt) {
    file = platform::CUnpublishedFile::create(path, partialName(path, std::random_device{}()));
  }
  if (!file) {
    removeFolders(folders);
    return nullptr;
  }
  if (file->named()) removeLeftovers(path);
  return std::unique_ptr<CDatabaseCopy>(
      new CDatabaseCopy(std::move(file), path, std::move(lock), std::move(folders)));
}

bool CDatabaseCopy::copyDatabase(sqlite3* source, std::FILE* sourceFile) {
  bool ok = false;
  if (sqlite3_stricmp(firstText(source, "PRAGMA journal_mode").c_str(), "wal") == 0) {
    // Committed pages may still be in the WAL file: SQLite reads them from
    // wherever they are.
    const ConnectionPtr target = openPageConnection(pages_, true);
    if (target && execOk(target.get(), "PRAGMA journal_mode = OFF")) {
      sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source, "main");
      ok = backup && sqlite3_backup_step(backup, -1) == SQLITE_DONE;
      ok = sqlite3_backup_finish(backup) == SQLITE_OK && ok;
    }
  } else {
    // Under the snapshot's read lock the file itself is the database.
    ok = sourceFile && platform::copyWholeFile(sourceFile, file_->file());
  }
  return ok && markRollbackMode();
}

bool CDatabaseCopy::markRollbackMode() {
  unsigned char header[kHeaderBytes] = {};
  if (pages_.readAt(header, sizeof header, 0) != static_cast<int64_t>(sizeof header) ||
      !isWalHeader(header)) {
    return true;
  }
  rk::markRollbackMode(header);
  return pages_.writeAt(header + kVersionOffset, 2, kVersionOffset);
}

bool CDatabaseCopy::publish() {
  published_ = !hasSideFile(path_) && !faultHits(eFault::kPublish) && file_->publish();
  lock_.reset();
  if (!published_) {
    file_.reset();
    removeFolders(folders_);
  }
  return published_;
}

}  // namespace rk
