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
// terminal. Without a person at standard input (pipelines, tests, CI) nothing
// is drawn and nothing waits: the error file and exit status carry the error.
void showErrorBox(const std::string& title, const std::string& message) {
  if (!isatty(STDIN_FILENO)) return;
  rk::FilePtr tty(std::fopen("/dev/tty", "r+"));
  if (!tty) return;

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
