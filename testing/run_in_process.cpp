#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>

#include "app/error_report.h"
#include "app/tovrin_main.h"
#include "common/global_file_system.h"
#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/fault_injection.h"

namespace testutil {
namespace {

// Sends what this process writes to standard output or error into a file
// for as long as it lives, beneath the C library's stream, so that the
// program's own writes to the descriptor are caught too.
class CCapture {
 public:
  CCapture(std::FILE* stream, const std::string& path)
      : stream_(stream), file_(std::fopen(path.c_str(), "w+b")) {
    std::fflush(stream_);
    saved_ = dup(fileno(stream_));
    if (!file_ || saved_ < 0 || dup2(fileno(file_), fileno(stream_)) < 0) {
      ADD_FAILURE() << "cannot capture into " << path;
    }
  }
  CCapture(const CCapture&) = delete;
  CCapture& operator=(const CCapture&) = delete;
  ~CCapture() {
    if (saved_ >= 0) finish();
  }

  // Gives the descriptor back and returns all that was written to it.
  std::string finish() {
    std::fflush(stream_);
    dup2(saved_, fileno(stream_));
    close(saved_);
    saved_ = -1;
    std::string text;
    if (!file_) return text;
    std::rewind(file_);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) text.append(buffer, n);
    std::fclose(file_);
    file_ = nullptr;
    return text;
  }

 private:
  std::FILE* stream_;
  std::FILE* file_;
  int saved_ = -1;
};

}  // namespace

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
  {
    const CTempDir capture;
    CCapture out(stdout, capture / "out"), err(stderr, capture / "err");
    result.exitStatus = tovrinMain(static_cast<int>(words.size()), argv.data());
    result.err = err.finish();
    result.out = out.finish();
  }
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
    const rk::CFaultScope faults;
    if (run.fault) faults.inject(*run.fault, run.nth, run.key);
    result = runInProcess(run.args, cwd);
  }
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorFile, run.message);
  EXPECT_EQ(result.out, run.out);
  EXPECT_EQ(result.err, std::string(kErrorBoxTitle) + ": " + run.message + "\n");
}

}  // namespace testutil
