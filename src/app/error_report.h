#pragma once

#include <string>

// The file that holds the message of the fatal error that ended the last run,
// in the current working directory. It exists only after a failed run.
inline constexpr const char* kErrorFileName = "tovrin.error";
inline constexpr const char* kErrorBoxTitle = "Tovrin has reported an error";

// Removes an error file left by an earlier run; a missing file is fine.
void removeErrorReport();

// Writes `message` exactly (no line end) into the error file and shows it in
// the error box. A file that cannot be written is not reported further.
void reportFatalError(const std::string& message);
