#pragma once

#include <string>

// What the front end needs of the platform. Each platform has its own file
// (console_posix.cpp, console_win32.cpp), chosen by the build.

// Readies the process before any job runs: a write beyond a file-size limit
// must fail like any other write, not end the process by a signal.
void prepareProcess();

// Shows a fatal error to the person at the console in a box titled `title`
// and waits until they dismiss it. Where nobody is there to dismiss it (a
// pipeline, a CI job, a test), writes it instead as the one line
// "<title>: <message>\n" to standard error, which is all the program ever
// writes there, and nothing waits.
void showErrorBox(const std::string& title, const std::string& message);
