#include "common/global_file_system.h"

rk::TRefPointer<rk::CFileSystem> gFileSystem = rk::CGlobalFileSystem::create(".", "");
