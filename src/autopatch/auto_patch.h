#pragma once

#include <string>

// Brings an older record database (the target, oldFile) up to date from a
// newer one (the source, newFile): adds the keys only the source holds and
// overwrites the keys whose data differ, never deleting. The work is found by
// comparing the two as the file system finds them; the target is then written
// in the writable folder, copied there first when only a data folder holds it.
// Progress goes to standard output; every failure is a fatal error. A target
// that cannot be opened for writing is skipped, which is not an error.
class CAutoPatch {
 public:
  CAutoPatch(const std::string& oldFile, const std::string& newFile);
  CAutoPatch(const CAutoPatch&) = delete;
  CAutoPatch& operator=(const CAutoPatch&) = delete;

  void run();

  std::string oldFile;
  std::string newFile;
};
