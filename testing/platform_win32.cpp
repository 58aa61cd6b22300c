// The test helpers that differ by platform: temporary folders and running the
// binary.

// clang-format off
#include <windows.h>  // first: the headers after it rely on its definitions
// clang-format on

#include <filesystem>
#include <random>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace testutil {
namespace {

// One argument as the C runtime splits a command line: quoted, with the
// backslashes before a quote doubled.
std::string asArgument(const std::string& arg) {
  std::string text = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    text += c;
  }
  return text.append(2 * backslashes, '\\') + "\"";
}

HANDLE inheritable(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Windows programs write CR LF; the tests compare what the tool means.
std::string withLineFeeds(std::string text) {
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

}  // namespace

CTempDir::CTempDir() {
  std::random_device seed;
  for (;;) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("tovrin-test-" + std::to_string(seed()));
    if (std::filesystem::create_directory(path)) {
      path_ = path.generic_string();
      return;
    }
  }
}

std::vector<RunResult> runTovrinTogether(const std::vector<std::vector<std::string>>& runs,
                                         const std::string& cwd, long /*fileSizeLimit*/) {
  // The build runs under Wine, which shows the host's root as drive Z:.
  std::string binary = TOVRIN_BINARY;
  if (binary.front() == '/') binary = "Z:" + binary;
  CTempDir capture;
  std::vector<PROCESS_INFORMATION> children(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    std::string command = asArgument(binary);
    for (const std::string& arg : runs[i]) command += " " + asArgument(arg);
    HANDLE in = inheritable("NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = inheritable(capture / ("out" + std::to_string(i)), GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = inheritable(capture / ("err" + std::to_string(i)), GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(),
                        &startup, &children[i])) {
      ADD_FAILURE() << "could not run " << command;
      children[i].hProcess = nullptr;
    }
    for (HANDLE handle : {in, out, err}) CloseHandle(handle);
  }
  std::vector<RunResult> results(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    if (!children[i].hProcess) continue;
    WaitForSingleObject(children[i].hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(children[i].hProcess, &status);
    CloseHandle(children[i].hProcess);
    CloseHandle(children[i].hThread);
    results[i].exitStatus = static_cast<int>(status);
    results[i].out = withLineFeeds(readFile(capture / ("out" + std::to_string(i))));
    results[i].err = readFile(capture / ("err" + std::to_string(i)));
    collectErrorFile(results[i], cwd);
  }
  return results;
}

}  // namespace testutil
