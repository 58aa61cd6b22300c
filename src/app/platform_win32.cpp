#include <windows.h>

#include "app/platform.h"

void prepareProcess() {}

void showErrorBox(const std::string& title, const std::string& message) {
  MessageBoxA(nullptr, message.c_str(), title.c_str(), MB_OK | MB_ICONERROR);  // style 16
}
