#pragma once

#include "vozidiri/file_system.h"

// The global file system: created with "." as its primary (writable) folder
// during static initialisation, before main, and released after main returns.
extern rk::TRefPointer<rk::CFileSystem> gFileSystem;
