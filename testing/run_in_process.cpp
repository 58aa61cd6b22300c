#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

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
  // A fatal error shown to a person at the terminal waits for a key, which
  // would stop tests run by hand.
#ifdef _WIN32
  const int nullDevice = open("NUL", O_RDONLY);
#else
  const int nullDevice = open("/dev/null", O_RDONLY);
#endif
  const int savedStdin = dup(0);
  dup2(nullDevice, 0);
  close(nullDevice);

  RunResult result;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  result.exitStatus = tovrinMain(static_cast<int>(words.size()), argv.data());
  std::fflush(stdout);
  result.err = testing::internal::GetCapturedStderr();
  result.out = testing::internal::GetCapturedStdout();
  dup2(savedStdin, 0);
  close(savedStdin);
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
