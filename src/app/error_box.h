#pragma once

#include <string>

// Shows a fatal error to the person at the console and waits until they
// dismiss it. Each platform has its own file; none of them writes to standard
// output or standard error.
void showErrorBox(const std::string& title, const std::string& message);
