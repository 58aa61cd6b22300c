#pragma once

#include <string>

// Makes sure the primary (writable) factory of the global file system holds
// the named file before it is opened for writing: when it does not, the first
// factory that can read the name is copied into it. The source is never
// written. False: nothing can read the name (or there is no global file
// system); callers treat that like a failed open for writing. A failed copy
// leaves no file behind, so the open after it fails instead of taking a half
// copy.
[[nodiscard]] bool ensurePrimaryCopy(const std::string& name);
