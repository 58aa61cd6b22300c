#include <cstdio>
#include <filesystem>

#include "app/tovrin_main.h"
#include "common/global_file_system.h"
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
  // The tool shows a fatal error to a person at a terminal on standard input
  // and waits for a key; tests started by hand must not wait.
#ifdef _WIN32
  if (!std::freopen("NUL", "r", stdin)) ADD_FAILURE() << "no null device";
#else
  if (!std::freopen("/dev/null", "r", stdin)) ADD_FAILURE() << "no null device";
#endif

  RunResult result;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  result.exitStatus = tovrinMain(static_cast<int>(words.size()), argv.data());
  std::fflush(stdout);
  result.err = testing::internal::GetCapturedStderr();
  result.out = testing::internal::GetCapturedStdout();
  rk::clearFaults();
  collectErrorFile(result, ".");
  std::filesystem::current_path(previous);
  return result;
}

void expectFatal(const FatalRun& run, const std::string& cwd, long fileSizeLimit,
                 const std::string& outPath) {
  SCOPED_TRACE(run.message);
  RunResult result;
  if (fileSizeLimit >= 0 || !outPath.empty()) {
    EXPECT_FALSE(run.fault) << "a fault is armed in this process only";
    result = runTovrin(run.args, cwd, fileSizeLimit, outPath);
  } else {
    if (run.fault) rk::injectFault(*run.fault, run.nth, run.key);
    result = runInProcess(run.args, cwd);
  }
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorFile, run.message);
  EXPECT_EQ(result.out, run.out);
  EXPECT_EQ(result.err, "");
}

}  // namespace testutil
