#include <windows.h>

#include "app/console.h"

void prepareProcess() {}

void showErrorBox(const std::string& title, const std::string& message) {
  // Only a person at a console can dismiss the box; a pipeline, a scheduled
  // job or a test would wait for ever. The error file and the exit status
  // carry the error in any case.
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return;
  MessageBoxA(nullptr, message.c_str(), title.c_str(), MB_OK | MB_ICONERROR);  // style 16
}
