#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <vector>

#include "app/console.h"
#include "vozidiri/file_ptr.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  if (lines.empty()) lines.emplace_back();
  return lines;
}

}  // namespace

void prepareProcess() { std::signal(SIGXFSZ, SIG_IGN); }

// A console has no windowing service, so the box is drawn on the controlling
// terminal when a person is at it: standard input and standard error are both
// terminals. Otherwise (pipelines, CI, tests) the message is one line on
// standard error, where logs and wrappers look for it, and nothing waits.
void showErrorBox(const std::string& title, const std::string& message) {
  rk::FilePtr tty(isatty(STDIN_FILENO) && isatty(STDERR_FILENO) ? std::fopen("/dev/tty", "r+")
                                                                : nullptr);
  if (!tty) {
    // One write, so that the line is not torn apart by other writers.
    const std::string line = title + ": " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return;
  }

  std::vector<std::string> body = linesOf(message);
  const std::string ok = "[ OK ]  (press Enter)";
  size_t width = std::max(title.size(), ok.size());
  for (const auto& line : body) width = std::max(width, line.size());
  const std::string rule = "+" + std::string(width + 2, '-') + "+\n";
  auto row = [&](const std::string& text) {
    std::fprintf(tty.get(), "| %s%s |\n", text.c_str(),
                 std::string(width - text.size(), ' ').c_str());
  };

  std::fputs(rule.c_str(), tty.get());
  row(title);
  std::fputs(rule.c_str(), tty.get());
  for (const auto& line : body) row(line);
  row("");
  row(ok);
  std::fputs(rule.c_str(), tty.get());
  std::fflush(tty.get());
  for (int c = std::fgetc(tty.get()); c != EOF && c != '\n'; c = std::fgetc(tty.get())) {
  }
}
