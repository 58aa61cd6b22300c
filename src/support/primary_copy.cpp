#include "support/primary_copy.h"

#include "vozidiri/file_system.h"

bool ensurePrimaryCopy(const std::string& name) {
  rk::CGlobalFileSystem* fileSystem = rk::TSingleton<rk::CGlobalFileSystem>::_instance;
  if (!fileSystem) return false;
  rk::TRefPointer<rk::CFileFactory> primary = fileSystem->getPrimaryFactory();
  if (primary->hasFile(name)) return true;

  rk::TRefPointer<rk::CStream> source = fileSystem->openRead(name, rk::CStream::eBinary);
  if (!source) return false;
  (void)fileSystem->prepareWrite(name, 0);
  if (rk::TRefPointer<rk::CStream> copy = primary->openWrite(name, rk::CStream::eBinary)) {
    copy->copyFrom(source.get(), source->getSize());
  }
  return true;
}
