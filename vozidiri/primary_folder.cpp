#include "primary_folder.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "fault_injection.h"

namespace rk {
namespace {

class CCopyStream : public CStream {
 public:
  CCopyStream(CHoldings& holdings, std::string identity, std::unique_ptr<CDatabaseCopy> copy)
      : holdings_(holdings), identity_(std::move(identity)), copy_(std::move(copy)) {}

  ~CCopyStream() override {
    if (!failed_) holdings_.keepCopy(identity_, std::move(copy_));
  }

  int getSize() override { return sizeAsInt(copy_->pages().size()); }
  int read(void*, int) override { return -1; }
  bool write(const void* data, int count) override {
    const int64_t end = copy_->pages().size();
    failed_ = failed_ || count < 0 || end < 0 ||
              !copy_->pages().writeAt(data, static_cast<size_t>(count), static_cast<uint64_t>(end));
    return !failed_;
  }
  bool copyFrom(CStream* source, int count) override {
    const std::string path = source ? source->diskPath() : std::string();
    const bool whole = count < 0 || (source && count == source->getSize());
    const bool ok = copy_->pages().size() == 0 && whole && isDatabaseFile(path)
                        ? copyDatabase(path)
                        : CStream::copyFrom(source, count) && copy_->markRollbackMode();
    // A copy that stops short must not be taken for the whole file.
    failed_ = failed_ || !ok || faultHits(eFault::kCopy);
    return !failed_;
  }

 private:
  bool isDatabaseFile(const std::string& path) {
    std::FILE* file = path.empty() ? nullptr : holdings_.rawFile(identityOf(path), path);
    char magic[sizeof kSQLiteMagic] = {};
    return file && platform::readAt(file, magic, sizeof magic, 0) == sizeof magic &&
           std::memcmp(magic, kSQLiteMagic, sizeof magic) == 0;
  }
  // Copies the database at `path` as the run's snapshot of it sees it.
  bool copyDatabase(const std::string& path) {
    const std::string identity = identityOf(path);
    ConnectionPtr snapshot = holdings_.takeSnapshot(identity);
    std::string failure;
    if (!snapshot) snapshot = openSnapshot(path, false, failure);
    const bool ok =
        snapshot && copy_->copyDatabase(snapshot.get(), holdings_.rawFile(identity, path));
    holdings_.keepSnapshot(identity, std::move(snapshot));
    return ok;
  }

  CHoldings& holdings_;
  std::string identity_;
  std::unique_ptr<CDatabaseCopy> copy_;
  bool failed_ = false;
};

// True when `name` is relative and does not climb out of the folder it is
// relative to: "a/../b" stays inside, "/x", "../x" and "a/../../x" do not.
bool staysInside(const std::string& name) {
  const std::filesystem::path path(name);
  if (name.empty() || path.has_root_name() || path.has_root_directory()) return false;
  int depth = 0;
  for (const auto& part : path) {
    if (part == "..") {
      if (--depth < 0) return false;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
  }
  return true;
}

}  // namespace

std::string CPrimaryFolder::writePath(const std::string& name) const {
  if (allowed_.count(name)) return pathOf(name);
  if (!staysInside(name)) return {};
  const std::string path = pathOf(name);
  // A link the user placed is followed, but a ".." after one climbs from
  // where it points: the folder such a name leads to must lie inside.
  const std::filesystem::path parts(name);
  if (std::find(parts.begin(), parts.end(), "..") != parts.end()) {
    const std::filesystem::path inside(identityOf(folder()));
    const std::filesystem::path real(
        identityOf(std::filesystem::path(path).parent_path().string()));
    if (std::mismatch(inside.begin(), inside.end(), real.begin(), real.end()).first !=
        inside.end()) {
      return {};
    }
  }
  return path;
}

TRefPointer<CStream> CPrimaryFolder::openWrite(const std::string& name, int) {
  const std::string path = writePath(name);
  if (path.empty()) return nullptr;
  const std::string identity = identityOf(path);
  std::shared_ptr<platform::CNameLock> lock = holdings_.lockName(identity);
  if (!lock) return nullptr;
  // Made under the lock: a run that made a copy first has published it.
  std::unique_ptr<CDatabaseCopy> copy = CDatabaseCopy::create(path, std::move(lock));
  if (!copy) return nullptr;
  return new CCopyStream(holdings_, identity, std::move(copy));
}

bool CPrimaryFolder::prepareWrite(const std::string& name, int) { return !writePath(name).empty(); }

bool CPrimaryFolder::lockForWriting(const std::string& name) {
  const std::string path = writePath(name);
  if (path.empty()) return false;
  const std::string identity = identityOf(path);
  // Whether the folder holds the name is asked under the name's lock, so
  // that a copy another run is making cannot take the name in between.
  std::shared_ptr<platform::CNameLock> lock = holdings_.lockName(identity);
  if (!lock) return false;
  holdings_.markWritten(identity);
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    holdings_.keepLock(identity, std::move(lock));  // until the run ends
    return true;
  }
  // A name once there stays there: its own lock is enough from here on.
  lock.reset();
  std::string failure;
  ConnectionPtr db = beginWrite(path, failure);
  if (!db) return false;
  holdings_.keepWrite(identity, std::move(db));
  return true;
}

}  // namespace rk
