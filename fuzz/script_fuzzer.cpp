// libFuzzer target: the bytes are a patch script, run by the front end as
// `tovrin script.txt data` in a scratch folder whose data folder holds one
// record database. Fatal errors end each run as they end a real one.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/tovrin_main.h"
#include "vozidiri/database.h"

namespace fs = std::filesystem;

namespace {
fs::path gWork;     // the scratch folder, removed at exit
std::string gSeed;  // the bytes of data/t.db that every input starts from
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gWork = fs::temp_directory_path() / ("tovrin-script-fuzz-" + std::to_string(getpid()));
  std::atexit([] {
    std::error_code error;
    fs::remove_all(gWork, error);
  });
  fs::create_directories(gWork / "data");
  fs::current_path(gWork);
  std::ofstream(gWork / "data/t.db", std::ios::binary);  // an empty database
  rk::CDatabase db;
  if (db.open("data/t.db", rk::CDatabase::eOpenWrite)) {
    (void)db.store("k", "value", 5);
    (void)db.close();
  }
  std::ifstream seed(gWork / "data/t.db", std::ios::binary);
  gSeed.assign(std::istreambuf_iterator<char>(seed), {});
  // The jobs' progress lines would drown the fuzzer's own.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each input starts from the same folder, whatever the last one wrote
  // (a script may name data/t.db itself).
  for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
  fs::create_directory("data");
  std::ofstream(fs::path("data/t.db"), std::ios::binary) << gSeed;
  std::ofstream(fs::path("script.txt"), std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  char program[] = "tovrin";
  char script[] = "script.txt";
  char folder[] = "data";
  char* argv[] = {program, script, folder, nullptr};
  const int status = tovrinMain(3, argv);
  if (status != 0 && status != 1) std::abort();
  return 0;
}
