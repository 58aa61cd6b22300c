#pragma once

#include <string>

#include "diff/key_list.h"
#include "vozidiri/database.h"

// Compares two record databases, (1) and (2), key by key.
//
// run() opens both for reading and sorts what it finds into three lists, each
// in the walk order of the database it came from: keys only (1) holds, keys
// only (2) holds, and keys both hold whose records differ in length or in any
// byte. The lists own copies of the key texts, so they outlive the databases.
// An object is run once; every failure is a fatal error.
class CDatabaseDiff {
 public:
  CDatabaseDiff(const std::string& file1, const std::string& file2);
  CDatabaseDiff(const CDatabaseDiff&) = delete;
  CDatabaseDiff& operator=(const CDatabaseDiff&) = delete;

  void run();
  // Prints the diff report on standard output; call after run().
  void printReport() const;

  CKeyList keysOnlyIn1;
  CKeyList keysOnlyIn2;
  CKeyList keysChanged;
  std::string file1;
  std::string file2;

 private:
  static void collectExtras(rk::CDatabase& walked, rk::CDatabase& other, CKeyList& list);
  static void collectDiffs(rk::CDatabase& db1, rk::CDatabase& db2, CKeyList& list);
  static void printKeyList(const CKeyList& list);
};
