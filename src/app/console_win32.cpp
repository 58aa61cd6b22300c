#include <windows.h>

#include "app/console.h"

void prepareProcess() {}

void showErrorBox(const std::string& title, const std::string& message) {
  // Only a person at a console can dismiss the box; a pipeline, a scheduled
  // job or a test would wait for ever, so they get the message as one line
  // on standard error, when there is one (a program started from a window
  // has none).
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    MessageBoxA(nullptr, message.c_str(), title.c_str(), MB_OK | MB_ICONERROR);  // style 16
    return;
  }
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  // Written as it stands, as the error file is: the message and a line feed.
  const std::string line = title + ": " + message + "\n";
  DWORD written = 0;
  WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
