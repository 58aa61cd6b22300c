#pragma once

#include <string>

// What the front end needs of the platform. Each platform has its own file
// (platform_posix.cpp, platform_win32.cpp), chosen by the build.

// Readies the process before any job runs: a write beyond a file-size limit
// must fail like any other write, not end the process by a signal.
void prepareProcess();

// Shows a fatal error to the person at the console and waits until they
// dismiss it. Without a person at the console nothing is shown and nothing
// waits. Nothing is written to standard output or standard error.
void showErrorBox(const std::string& title, const std::string& message);
