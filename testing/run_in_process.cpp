#include <cstdio>
#include <filesystem>

#include "app/file_system.h"
#include "app/tovrin_main.h"
#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/fault_injection.h"

namespace testutil {

RunResult runInProcess(const std::vector<std::string>& args, const std::string& cwd) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(cwd);
  gFileSystem = nullptr;  // the old one first: it unsets the global instance
  gFileSystem = rk::CGlobalFileSystem::create(".", "");
  std::vector<std::string> words{"tovrin"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  RunResult result;
  testing::internal::CaptureStdout();
  result.exitStatus = tovrinMain(static_cast<int>(words.size()), argv.data());
  std::fflush(stdout);
  result.out = testing::internal::GetCapturedStdout();
  rk::clearFaults();
  collectErrorFile(result, ".");
  std::filesystem::current_path(previous);
  return result;
}

}  // namespace testutil
