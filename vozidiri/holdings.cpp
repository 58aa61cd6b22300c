#include "holdings.h"

#include <filesystem>
#include <system_error>

#include "fault_injection.h"
#include "fingerprint.h"

namespace rk {

std::string identityOf(const std::string& path) {
  std::error_code error;
  std::filesystem::path identity = std::filesystem::weakly_canonical(path, error);
  if (error) identity = std::filesystem::absolute(path, error).lexically_normal();
  std::string text = identity.string();
  // "data" and "data/" are one folder.
  while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) text.pop_back();
  return text;
}

CHoldings::~CHoldings() {
  // Connections first, everywhere: a raw file of one entry may be the file
  // of another's connection under a second spelling.
  for (auto& [identity, held] : held_) {
    held.snapshot.reset();
    held.write.reset();
    held.copy.reset();
  }
}

std::shared_ptr<platform::CNameLock> CHoldings::lockName(const std::string& identity) {
  Held& held = held_[identity];
  if (std::shared_ptr<platform::CNameLock> lock = held.lock.lock()) return lock;
  // The identity may be longer than a lock's name can be.
  char name[48];
  std::snprintf(name, sizeof name, "tovrin-lock-%016llx%016llx",
                static_cast<unsigned long long>(fingerprint(identity, 1)),
                static_cast<unsigned long long>(fingerprint(identity, 2)));
  std::shared_ptr<platform::CNameLock> lock = platform::CNameLock::acquire(name, lockWaitMs());
  held.lock = lock;
  return lock;
}

void CHoldings::markWritten(const std::string& identity) {
  Held& held = held_[identity];
  held.written = true;
  held.snapshot.reset();
}

void CHoldings::keepSnapshot(const std::string& identity, ConnectionPtr db) {
  Held& held = held_[identity];
  if (!held.written) held.snapshot = std::move(db);
}

std::FILE* CHoldings::rawFile(const std::string& identity, const std::string& path) {
  Held& held = held_[identity];
  if (!held.file) held.file.reset(std::fopen(path.c_str(), "rb"));
  return held.file.get();
}

}  // namespace rk
