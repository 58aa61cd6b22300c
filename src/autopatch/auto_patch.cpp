#include "autopatch/auto_patch.h"

#include "common/fatal_error.h"
#include "common/output.h"
#include "diff/database_diff.h"
#include "support/primary_copy.h"
#include "vozidiri/database.h"
#include "vozidiri/file_system.h"

namespace {

constexpr const char* kClassName = "CAutoPatch";

// Copies each listed key's record from source to target, straight from the
// source's fetched bytes into the target's store.
void copyRecords(const CKeyList& keys, const char* progress, rk::CDatabase& source,
                 rk::CDatabase& target) {
  for (size_t i = 0; i < keys.size(); ++i) {
    const char* key = keys[i];
    printOutput(progress, key);
    const void* data = nullptr;
    int length = 0;
    if (!source.fetch(key, data, length)) fatalError("%s: fetch key %s failed", kClassName, key);
    if (!target.store(key, data, length)) fatalError("%s: store key %s failed", kClassName, key);
  }
}

}  // namespace

CAutoPatch::CAutoPatch(const std::string& oldFile, const std::string& newFile)
    : oldFile(oldFile), newFile(newFile) {}

void CAutoPatch::run() {
  printOutput("Patching %s\n\n", oldFile.c_str());
  // The lists below are decided from what the comparison reads: no other
  // run or program may write the target between that read and the writes.
  rk::CGlobalFileSystem* fileSystem = rk::TSingleton<rk::CGlobalFileSystem>::_instance;
  const bool locked = fileSystem && fileSystem->primaryFolder().lockForWriting(oldFile);
  CDatabaseDiff diff(oldFile, newFile);
  diff.run();

  // Declared in this order so that the source is closed before the target,
  // also while a fatal error unwinds; the target keeps what it stored.
  rk::CDatabase target;
  rk::CDatabase source;
  if (!locked || !ensurePrimaryCopy(oldFile) || !target.open(oldFile, rk::CDatabase::eOpenWrite)) {
    printOutput("Target file %s not found, skipping\n", oldFile.c_str());
    return;
  }
  if (!source.open(newFile, rk::CDatabase::eOpenRead)) {
    fatalError("%s: couldn't open %s", kClassName, newFile.c_str());
  }

  if (diff.keysOnlyIn2.empty() && diff.keysChanged.empty()) {
    printOutput("File is up-to-date\n");
  } else {
    copyRecords(diff.keysOnlyIn2, "Add: %s\n", source, target);
    copyRecords(diff.keysChanged, "Patch: %s\n", source, target);
    printOutput("\nFinished patch\n");
  }

  // A commit that fails must not pass for success.
  (void)source.close();
  if (!target.close()) fatalError("%s: couldn't save %s", kClassName, oldFile.c_str());
}
