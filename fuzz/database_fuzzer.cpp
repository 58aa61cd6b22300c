// libFuzzer target: the bytes are a database file, opened for reading and for
// writing, walked, looked up and written. Whatever the bytes, every call must
// answer, and a session that met an error (damage that cut a walk short, for
// one) must never close clean.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vozidiri/database.h"

namespace fs = std::filesystem;

namespace {

std::string gPath;

void exercise(rk::CDatabase::eOpenFlags mode) {
  rk::CDatabase db;
  if (!db.open(gPath, mode)) return;
  std::vector<std::string> keys;
  const char* key = nullptr;
  for (bool more = db.firstKey(key); more && keys.size() < 1000; more = db.nextKey(key)) {
    keys.emplace_back(key);
    const void* data = nullptr;
    int length = 0;
    if (db.fetch(key, data, length) && length > 0 && !data) std::abort();
  }
  for (const std::string& known : keys) (void)db.exists(known.c_str());
  (void)db.exists("no such key");
  if (mode == rk::CDatabase::eOpenWrite) {
    (void)db.store("fuzz", "bytes", 5);
    if (!keys.empty()) (void)db.remove(keys.front().c_str());
  }
  // Once a call failed on an error (an absent key or the end of a walk is
  // none), every later call answers false with that error, and close() too;
  // a close that fails always says why.
  const bool failed = !db.lastError().empty() && db.lastError() != "no such key";
  if (db.close() ? failed : db.lastError().empty()) std::abort();
}

void removeDatabase() {
  std::error_code error;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) fs::remove(gPath + suffix, error);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gPath =
      (fs::temp_directory_path() / ("tovrin-db-fuzz-" + std::to_string(getpid()) + ".db")).string();
  std::atexit(removeDatabase);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  removeDatabase();
  std::ofstream(gPath, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  exercise(rk::CDatabase::eOpenRead);
  exercise(rk::CDatabase::eOpenWrite);
  return 0;
}
