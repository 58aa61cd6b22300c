// The test helpers that differ by platform: temporary folders and running the
// binary.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace testutil {

CTempDir::CTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tovrin-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) std::abort();
  path_ = pattern;
}

std::vector<RunResult> runTovrinTogether(const std::vector<std::vector<std::string>>& runs,
                                         const std::string& cwd, long fileSizeLimit) {
  static char binary[] = TOVRIN_BINARY;
  CTempDir capture;
  std::vector<pid_t> children;
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string out = capture / ("out" + std::to_string(i));
    const std::string err = capture / ("err" + std::to_string(i));
    std::vector<char*> argv{binary};
    for (const std::string& arg : runs[i]) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
    const pid_t child = fork();
    if (child == 0) {
      // Only async-signal-safe calls between fork and exec.
      const int in = open("/dev/null", O_RDONLY);
      const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in < 0 || outFd < 0 || errFd < 0 || dup2(in, 0) < 0 || dup2(outFd, 1) < 0 ||
          dup2(errFd, 2) < 0 || chdir(cwd.c_str()) != 0 ||
          (fileSizeLimit >= 0 && setrlimit(RLIMIT_FSIZE, &limit) != 0)) {
        _exit(127);
      }
      execv(binary, argv.data());
      _exit(127);
    }
    children.push_back(child);
  }
  std::vector<RunResult> results(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    int status = 0;
    if (children[i] < 0 || waitpid(children[i], &status, 0) != children[i]) {
      ADD_FAILURE() << "could not run " << TOVRIN_BINARY;
      continue;
    }
    results[i].exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    results[i].out = readFile(capture / ("out" + std::to_string(i)));
    results[i].err = readFile(capture / ("err" + std::to_string(i)));
    collectErrorFile(results[i], cwd);
  }
  return results;
}

}  // namespace testutil
