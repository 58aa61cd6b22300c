#include "app/file_system.h"

rk::TRefPointer<rk::CFileSystem> gFileSystem = rk::CGlobalFileSystem::create(".", "");
